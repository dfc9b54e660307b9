// The My-cards tree: business cards with their numbers and addresses, and the card commands.
#pragma once

#include "ui/contacts/book_tree.h"

namespace contacts {

class CContactTreeCtrl : public CBookTree {
    Q_OBJECT
public:
    explicit CContactTreeCtrl(CAddressBookDlg* page) : CBookTree(TREE_CARD, page) {}
    void BuildMenu(TrelMenu* menu, AddrNode* node) override;
    void OnMenuCommand(int command) override;
};

}  // namespace contacts
