// The My-cards tree: its menus and their commands.
#include "ui/contacts/card_tree.h"

#include "common/addrbook_query.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/book_tree_support.h"
#include "ui/controls/trel_menu.h"

namespace contacts {

using namespace booktree;

void CContactTreeCtrl::BuildMenu(TrelMenu* menu, AddrNode* node) {
    const bool dialOn = page_->Host()->DialEnabled();
    if (!node) {
        menu->AppendMenu(0, 32907, MenuText(31, "menucardadd", "创建新名片(&A)"));
        return;
    }
    if (node->kind == ADDR_KIND_IDENTITY) {
        switch (node->type) {
            case 4: menu->AppendMenu(0, 32879, MenuText(31, "menuemail", "Send E-Mail"), SkinPath("addr_email.bmp")); break;
            case 2: menu->AppendMenu(0, 32880, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            case 3: menu->AppendMenu(0, 32881, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            case 5: menu->AppendMenu(0, 32882, MenuText(31, "menucontactdial", "拨打电话(&P)"), SkinPath("addr_phone.bmp")); break;
            default: break;
        }
        return;
    }
    if (node->kind != ADDR_KIND_LIST) return;
    AddDialEntries(menu, node, !dialOn);
    menu->AppendMenu(AddrBook_HasIdentityType(node, 4) ? 0 : MF_GRAYED, 32879, MenuText(31, "menuemail", "Send E-Mail"),
                     SkinPath("addr_email.bmp"));
    menu->AppendMenu(MF_SEPARATOR, 0, {});
    menu->AppendMenu(0, 32883, MenuText(31, "menucardmod", "修改名片(&M)"));
    menu->AppendMenu(0, 32801, MenuText(31, "menucarddel", "删除名片(&D)"));
    menu->AppendMenu(MF_SEPARATOR, 0, {});
    menu->AppendMenu(0, 32800, MenuText(31, "menucardadd", "创建新名片(&A)"));
}

void CContactTreeCtrl::OnMenuCommand(int command) {
    auto dial = [&](intptr_t type) {
        if (page_->Host()->DialEnabled()) PostToPage(page_, WM_CALL_DIAL, 0, type);
    };
    switch (command) {
        case 32800: page_->AddByKind(); break;
        case 32801: page_->DeleteSelectedItem(); break;
        case 32877: page_->SendSmsToSelection(); break;
        case 32879: dial(4); break;
        case 32880: dial(2); break;
        case 32881: dial(3); break;
        case 32882: dial(5); break;
        case 32883: page_->EditSelectedCard(); break;
        case 32907: page_->Host()->FrameCommand(CMD_NEW_USER, nullptr); break;
        default: break;
    }
}

}  // namespace contacts
