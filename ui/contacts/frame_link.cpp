// The address book's place in the running frame.
#include "ui/contacts/frame_link.h"

#include <QApplication>
#include <QTimer>

#include "common/account.h"
#include "common/addrbook.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "ui/contacts/addrbook_logic.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/contacts/addrbook_replies.h"
#include "ui/contacts/addrbook_results.h"
#include "ui/contacts/book_dialogs.h"
#include "service/login_fsm.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/book_results.h"
#include "ui/shell/dialog_box.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/main_frame.h"

namespace contacts {

void ShowCounts() {
    CMainFrame* frame = MainFrame();
    if (!frame || !frame->StartPage()) return;
    const auto* root = static_cast<const AddrCounted*>(g_addrBookRoots[0]);
    frame->StartPage()->Links()->SetOnlineCount(static_cast<int>(root->onlineCount));
}

bool MenuCommand(int id) {
    CAddressBookDlg* page = BookPage();
    // The address-book commands act on the Contacts page, which comes to the front first.
    if (CMainFrame* frame = MainFrame(); frame && page && frame->Sheet() && id != MENU_BLOCK_LIST && id != MENU_NICKNAME)
        frame->Sheet()->setCurrentWidget(page);
    BookHost* host = page ? page->Host() : DefaultHost();
    switch (id) {
        case MENU_ADD_CONTACT:
        case MENU_ADD_CONTACT2: OnAddContact(host); return true;
        case MENU_NEW_USER: OnNewUser(host); return true;
        case MENU_NEW_GROUP: OnNewGroup(host); return true;
        case MENU_BLOCK_LIST: OnBlockList(host); return true;
        case MENU_NICKNAME: OnModifyNickname(host, FromAnsi(Own().displayName.c_str())); return true;
        case MENU_DELETE_GROUP: {
            if (!page) return true;
            page->ShowContactPane();
            AddrNode* n = page->GetSelectedItemData();
            if (n && n->kind == ADDR_KIND_GROUP) OnDeleteNode(host, n);
            return true;
        }
        case MENU_DELETE_USER: {
            AddrNode* n = page ? page->GetSelectedItemData() : nullptr;
            if (n && (n->kind == ADDR_KIND_CONTACT || n->kind == ADDR_KIND_LIST)) OnDeleteNode(host, n);
            return true;
        }
        default: return false;
    }
}

void InstallInFrame() {
    BookHooks().createPage = []() -> CNqPropertyPage* {
        auto* page = new CAddressBookDlg;
        // The synchronisation has filled the store by now.
        page->RebuildBuddyTree(nullptr);
        return page;
    };
    BookHooks().filter = &FilterFrameMessage;
    BookHooks().closeWindows = &CloseSearch;
    BookHooks().selectionKind = []() -> int {
        CAddressBookDlg* page = BookPage();
        const AddrNode* n = page ? page->GetSelectedItemData() : nullptr;
        return n ? static_cast<int>(n->kind) : 0;
    };
    BookHooks().refresh = [](unsigned rebuild) {
        CAddressBookDlg* page = BookPage();
        if (!page) return;
        if (rebuild & shell::REBUILD_BUDDIES) page->RebuildBuddyTree(nullptr);
        if (rebuild & shell::REBUILD_CARDS) page->RebuildContactTree(nullptr);
        if (rebuild & shell::REBUILD_GROUPS) page->RebuildGroupTree(nullptr);
    };
}

bool FilterFrameMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_AS_RESULT: {
            auto* r = reinterpret_cast<AsRequest*>(lParam);
            if (!r) return false;
            if (r->command == AS_SYN) {
                // Read here, then the frame takes its accounts, profiles and texts from the same record.
                if (r->result == 0 && r->kind == AS_DATA_SYNC && r->data) {
                    CreateDefaultGroups();
                    std::vector<Account*> added;
                    const int failed = FillFromSync(static_cast<CAsSyncResult*>(r->data), r->result, &added);
                    // The open accounts dialog lists the accounts the sync brought.
                    for (Account* a : added)
                        if (shell::g_pAccountsDlg) shell::g_pAccountsDlg->OnAccountListChanged(29, a);
                    if (CAddressBookDlg* page = BookPage()) {
                        page->RebuildBuddyTree(nullptr);
                        page->RebuildContactTree(nullptr);
                        page->RebuildGroupTree(nullptr);
                    }
                    if (failed) {
                        // An address book that could not be read is no successful sign-in.
                        const QString text = shell::LangText("as_code", "error_syn", "The address book could not be loaded.");
                        STA_PostEvent(EV_login_off);
                        if (shell::g_interactiveLogin) shell::DialogBox(MainFrame(), text, shell::LangText("login_err", "title", "Sign-in"));
                        AS_FreeRequest(r);
                        return true;
                    }
                }
                return false;
            }
            return OnAddressBookResult(r, BookPage() ? BookPage()->Host() : nullptr);
        }
        case WM_AS_GROUP_LIST:
            if (wParam != 0) return false;  // an answered quit queue is the frame's
            OnGroupList(reinterpret_cast<GroupRecord*>(lParam));
            return true;
        case WM_LANGUAGE_CHANGED:
            // After the frame has switched the language files.
            if (CSearchDlg* search = SearchDialog()) QTimer::singleShot(0, search, &CSearchDlg::OnLanguageChanged);
            for (QWidget* w : QApplication::topLevelWidgets())  // an open contact's details
                if (auto* detail = qobject_cast<CContactDetailDlg*>(w))
                    QTimer::singleShot(0, detail, &CContactDetailDlg::OnLanguageChanged);
            return false;
        case WM_PRESENCE_BUDDY:
            if (ApplyPresence(reinterpret_cast<const PresenceConnection*>(wParam), reinterpret_cast<const PresenceBuddyRecord*>(lParam)))
                ShowCounts();
            return false;
        case WM_PRESENCE_LIST_END:
            if (CAddressBookDlg* page = BookPage()) page->RebuildBuddyTree(nullptr);
            ShowCounts();
            return false;
        case 0x0111:  // WM_COMMAND
            switch (static_cast<int>(wParam)) {
                case ID_DIAL: {
                    // The dial button on the Contacts page calls the selection.
                    CAddressBookDlg* page = BookPage();
                    CMainFrame* frame = MainFrame();
                    if (!page || !frame || frame->Sheet()->currentWidget() != page) return false;
                    if (ChooseDial(page->GetSelectedItemData(), 0).action == DIAL_NONE) return false;
                    page->Dispatch(WM_CALL_DIAL, 0, 0);
                    return true;
                }
                case ID_SEARCH: OpenSearch(nullptr); return true;
                case MENU_ADD_CONTACT:
                case MENU_ADD_CONTACT2:
                case MENU_DELETE_USER:
                case MENU_NEW_GROUP:
                case MENU_DELETE_GROUP:
                case MENU_NEW_USER:
                case MENU_BLOCK_LIST:
                case MENU_NICKNAME: return MenuCommand(static_cast<int>(wParam));
                case ID_ADD_CONTACT: return MenuCommand(MENU_ADD_CONTACT);
                case ID_SHOW_BOOK:  // the page with its contact pane
                    if (CAddressBookDlg* page = BookPage()) {
                        if (CMainFrame* frame = MainFrame(); frame && frame->Sheet()) frame->Sheet()->setCurrentWidget(page);
                        page->ShowContactPane();
                    }
                    return true;
                case ID_DELETE_ITEM:
                    if (CAddressBookDlg* page = BookPage()) {
                        if (CMainFrame* frame = MainFrame(); frame && frame->Sheet()) frame->Sheet()->setCurrentWidget(page);
                        page->DeleteSelectedItem();
                    }
                    return true;
                default: return false;
            }
        default: return false;
    }
}

}  // namespace contacts
