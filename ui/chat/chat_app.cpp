// The chat side of the program: one registry and one record store, wired into the main frame.
#include "common/debug.h"
#include "service/settings_xml.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_sms_dialogs.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "ui/chat/chat_window.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_messages.h"

ChatWindowHookSet& ChatWindowHooks() {
    static ChatWindowHookSet hooks;
    return hooks;
}

namespace chat {

namespace {
std::string g_ownName;
}

CChatSessionRegistry* Registry() {
    static CChatSessionRegistry* registry = [] {
        auto* r = new CChatSessionRegistry;
        r->SetFactory([] {
            auto* w = new CIMDlg;
            w->SetRecords(Records());
            w->SetOwnName(g_ownName);
            return static_cast<ChatWindowBase*>(w);
        });
        return r;
    }();
    return registry;
}

ChatRecordFile* Records() {
    static ChatRecordFile records;
    return &records;
}

void SetSignedIn(const std::string& recordsRoot, const std::string& ownName) {
    Records()->SetRoot(recordsRoot);
    g_ownName = ownName;
    ChatWindowCore::SetRobotId(g_serviceSettings.robot);
}

// The one record browser; opened for a peer's folder (0: the own folder).
void ShowRecords(int peer) {
    static QPointer<CChatRecordFrame> browser;
    if (!browser) {
        browser = new CChatRecordFrame(Records(), [](int number) { return number == 0 ? g_ownName : std::string(); }, &browser);
    } else {
        browser->RebuildTree();
    }
    browser->show();
    browser->raise();
    browser->activateWindow();
    if (peer != 0) browser->SelectRecordOwner(peer);
}

namespace {
QPointer<CChatRoomDlg> g_roomDlg;
QPointer<CSendSmsDlg> g_smsDlg;
}

void OpenSms(int kind, const char* id) {
    if (!g_smsDlg) g_smsDlg = new CSendSmsDlg(&g_smsDlg);
    if (kind == 0) g_smsDlg->AddContactNumbers(id);
    else g_smsDlg->AddRecipient(id);
    g_smsDlg->show();
    g_smsDlg->raise();
}

void ShowChatRooms() {
    if (!g_roomDlg) g_roomDlg = new CChatRoomDlg(Registry(), &g_roomDlg);
    g_roomDlg->show();
    g_roomDlg->raise();
}

void InstallChat() {
    ChatWindowHooks().viewRecords = ShowRecords;
    ChatFrameHooks& hooks = ChatHooks();
    hooks.openRecords = ShowRecords;
    hooks.openChatRooms = ShowChatRooms;
    // The room list goes to the open room dialog; with none open it is dropped (the frame frees it).
    hooks.asResult = [](const AsRequest* request) {
        if (request->command == AS_SND && g_smsDlg) g_smsDlg->OnSmsResult(request->result);
        if (request->command != AS_GCR || !g_roomDlg) return;
        std::vector<ChatRoomEntry> rooms;
        if (request->result == 0 && request->data) {
            for (void* p : static_cast<CAsResultList*>(request->data)->records) {
                auto* e = static_cast<AsLcrEntry*>(p);
                if (!e || !e->queueId) continue;
                rooms.push_back({e->queueId, FromAnsi(e->queueName ? e->queueName : e->queueId), e->type == 1 ? 1 : 0});
            }
        }
        g_roomDlg->OnRoomList(request->result, rooms);
    };
    hooks.incoming = [](UINT message, WPARAM wParam, LPARAM lParam) {
        return RouteIncomingMessage(Registry(), message, wParam, reinterpret_cast<PresenceMessageRecord*>(lParam));
    };
    hooks.loginState = [](int mode, const std::string& root, const std::string& ownName) {
        if (mode == LOGIN_SIGNED_IN) SetSignedIn(root, ownName);
        else if (mode == LOGIN_SIGNED_OUT) Registry()->CloseAll(1);
    };
    hooks.closeAll = [](int flag) { Registry()->CloseAll(flag); };
    hooks.languageChanged = [] {
        CChatSessionRegistry* r = Registry();
        if (r->Lock()) return;
        r->BroadcastLanguageChanged();
        r->Unlock();
    };
}

}  // namespace chat
