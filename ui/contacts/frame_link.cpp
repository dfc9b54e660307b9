// The address book's place in the running frame.
#include "ui/contacts/frame_link.h"

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
#include "ui/shell/main_frame.h"

namespace contacts {

void InstallInFrame() {
    BookHooks().createPage = []() -> CNqPropertyPage* {
        auto* page = new CAddressBookDlg;
        // The synchronisation has filled the store by now.
        page->RebuildBuddyTree(nullptr);
        return page;
    };
    BookHooks().filter = &FilterFrameMessage;
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
                    FillFromSync(static_cast<CAsSyncResult*>(r->data), r->result);
                    if (CAddressBookDlg* page = BookPage()) {
                        page->RebuildBuddyTree(nullptr);
                        page->RebuildContactTree(nullptr);
                        page->RebuildGroupTree(nullptr);
                    }
                }
                return false;
            }
            return OnAddressBookResult(r);
        }
        case WM_AS_GROUP_LIST: OnGroupList(reinterpret_cast<GroupRecord*>(lParam)); return true;
        case WM_PRESENCE_BUDDY:
            ApplyPresence(reinterpret_cast<const PresenceConnection*>(wParam), reinterpret_cast<const PresenceBuddyRecord*>(lParam));
            return false;
        case WM_PRESENCE_LIST_END:
            if (CAddressBookDlg* page = BookPage()) page->RebuildBuddyTree(nullptr);
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
                case ID_ADD_CONTACT: OnAddContact(nullptr); return true;
                case ID_DELETE_ITEM:
                    if (CAddressBookDlg* page = BookPage()) page->DeleteSelectedItem();
                    return true;
                default: return false;
            }
        default: return false;
    }
}

}  // namespace contacts
