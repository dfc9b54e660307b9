// The chat side of the program: one registry and one record store, wired into the main frame.
#include <QApplication>
#include <QMessageBox>

#include "common/appenv.h"
#include "common/debug.h"
#include "platform/msgqueue.h"
#include "service/settings_xml.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_closing.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_sms_dialogs.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "ui/chat/chat_window.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

ChatWindowHookSet& ChatWindowHooks() {
    static ChatWindowHookSet hooks;
    return hooks;
}

namespace chat {

namespace {
std::string g_ownName;
// Frame messages: call a member (wParam the member's record), the SMS window (wParam 0 group, 1 contact,
// 2 card; lParam the node's id text), the chat records (wParam the peer, 0 none).
constexpr UINT WM_CALL_MEMBER = 0x802;
constexpr UINT WM_OPEN_SMS = 0x81A;
constexpr UINT WM_CHATRECORD_QUERY = 0x81C;
}

CChatSessionRegistry* Registry() {
    static CChatSessionRegistry* registry = [] {
        auto* r = new CChatSessionRegistry;
        // Members of incoming messages take their names, contact ids and pictures from the address book.
        r->SetNameLookup([](int userId, PresenceBuddyRecord* member) { return BookSenderByUid(userId, member); });
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
    // Private messages: the history is closed to other users, also that of older versions.
    if (!recordsRoot.empty() && !Records()->KeepPrivate())
        DebugTrace(MOD_QZ, 2, "chat records: cannot make %s private", recordsRoot.c_str());
    g_ownName = ownName;
    ChatWindowCore::SetRobotId(g_serviceSettings.robot);
    if (g_serviceSettings.robot <= 0) DebugTrace(MOD_QZ, 1, "The settings file names no chat robot: chat rooms and groups cannot start");
}

QPointer<CChatRecordFrame> g_browser;

// The one record browser; a peer's folder is selected when one is asked for (0: the own folder).
void ShowRecords(int peer, bool select) {
    if (!g_browser) {
        g_browser = new CChatRecordFrame(
            Records(), [](int number) { return number == 0 ? g_ownName : BookNameByUid(number); }, &g_browser);
    } else {
        g_browser->RebuildTree();
    }
    g_browser->show();
    g_browser->raise();
    g_browser->activateWindow();
    if (select) g_browser->SelectRecordOwner(peer);
}

namespace {
QPointer<CChatRoomDlg> g_roomDlg;
QPointer<CSendSmsDlg> g_smsDlg;
}

void OpenSms(int kind, const char* id) {
    if (!g_smsDlg) g_smsDlg = new CSendSmsDlg(&g_smsDlg);
    // 0: the numbers of a contact, 1 to 3: one recipient, 4: nothing added, only shown.
    if (id && kind == 0) g_smsDlg->AddContactNumbers(id);
    else if (id && kind >= 1 && kind <= 3) g_smsDlg->AddRecipient(id);
    if (!g_smsDlg) return;  // signed out while its box said the list is full
    g_smsDlg->show();
    g_smsDlg->raise();
}

void ShowChatRooms() {
    if (!g_roomDlg) g_roomDlg = new CChatRoomDlg(Registry(), &g_roomDlg);
    g_roomDlg->show();
    g_roomDlg->raise();
}

namespace {

// Signed out: the chat-room list, the SMS window and the record browser go, with them what they showed
// of the user who signed out. A dialog or box of theirs that is still open ends first.
void CloseSignedOutWindows() {
    for (QWidget* w : {static_cast<QWidget*>(g_roomDlg.data()), static_cast<QWidget*>(g_smsDlg.data()),
                       static_cast<QWidget*>(g_browser.data())})
        CloseWhenIdle(w);
    g_roomDlg = nullptr;
    g_smsDlg = nullptr;
    g_browser = nullptr;
}

}  // namespace

namespace {

// The frame's messages of the chat side.
bool FrameMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_OPEN_SMS: OpenSms(static_cast<int>(wParam), reinterpret_cast<const char*>(lParam)); return true;
        case WM_CHATRECORD_QUERY: ShowRecords(static_cast<int>(wParam), true); return true;
        default: return false;
    }
}

}  // namespace

void InstallChat() {
    // The window's requests go to the frame as messages, as the other windows' do.
    ChatWindowHooks().viewRecords = [](int peer) {
        if (HWND frame = g_hMainWnd.load()) PostMessage(frame, WM_CHATRECORD_QUERY, static_cast<WPARAM>(peer), 0);
        else ShowRecords(peer, true);
    };
    ChatWindowHooks().callMember = [](const PresenceBuddyRecord& member) {
        if (HWND frame = g_hMainWnd.load()) SendMessage(frame, WM_CALL_MEMBER, reinterpret_cast<WPARAM>(&member), 0);
    };
    ChatWindowHooks().bookState = BookState;
    // The frame's call of a member (WM_CALL_CONTACT).
    ChatWindowHooks().sendBlock = [](int command, const std::string& userId) {
        return AS_SendCommand(command == 14 ? AS_UBLK : AS_BLK, userId.c_str(), nullptr, 0, nullptr, nullptr, 0) != 0;
    };
    // The chat-room name is the first identity of the profile list, as a room's join names its identity.
    ChatWindowCore::SetNicknameSource([] {
        const AsProfileEntry* first = g_profileList.entries.empty() ? nullptr : g_profileList.entries.front();
        if (!first) return std::string();
        const char* text = first->name && *first->name ? first->name : first->id;
        return std::string(text ? text : "");
    });
    // The frame and the chat windows share the program's chat semaphore.
    Registry()->UseSharedSemaphore([] { return shell::g_hChatSemaphore.get(); });
    ChatFrameHooks& hooks = ChatHooks();
    hooks.frameMessage = FrameMessage;
    hooks.closeWindows = CloseSignedOutWindows;
    // A buddy state the frame has checked and applied reaches every chat window.
    hooks.buddyState = [](WPARAM connection, LPARAM record) {
        CChatSessionRegistry* r = Registry();
        if (!record || r->Lock()) return;
        r->Broadcast(WM_PRESENCE_BUDDY, connection, record);
        r->Unlock();
    };
    hooks.blockNotice = [](UINT message, WPARAM wParam, const std::string& id) {
        CChatSessionRegistry* r = Registry();
        if (r->Lock()) return;
        r->Broadcast(message, wParam, reinterpret_cast<LPARAM>(id.c_str()));
        r->Unlock();
    };
    hooks.openGroupChat = [](const char* id, const char* name) { OpenGroupChat(Registry(), id, name); };
    // Help while the settings ask for the test mode: a chat window of no session and no parent, run modally.
    hooks.runTestWindow = [] {
        CIMDlg window;
        window.EnterTestMode();
        window.exec();
    };
    // A chat a message opened waits hidden behind the frame's message icon, also when more messages come;
    // any other window comes forward and flashes unless it is the active one.
    Registry()->SetPresenter([](ChatWindowBase* window, bool created) {
        auto* dialog = dynamic_cast<CIMDlg*>(window);
        CMainFrame* frame = MainFrame();
        if (created && dialog && frame) {
            frame->AddMessageNotice(dialog);
        } else if (!(dialog && frame && frame->NoticePending(dialog)) && (created || !window->IsActiveChatWindow())) {
            window->ShowChatWindow();
            if (dialog) QApplication::alert(dialog);
        }
    });
    hooks.openRecords = [](int peer) { ShowRecords(peer, false); };
    hooks.openChatRooms = ShowChatRooms;
    // The room list goes to the open room dialog; with none open it is dropped (the frame frees it).
    hooks.asResult = [](const AsRequest* request) {
        if (request->command == AS_SND && g_smsDlg) g_smsDlg->OnSmsResult(request->result);
        // A contact removed from the book: every chat window hears (id, 0). A new panel picture: reloaded.
        if (request->result == 0 && request->command == AS_REM && request->kind == AS_DATA_PARAMS && request->data)
            if (const char* id = static_cast<const AsParams*>(request->data)->str1; id && !Registry()->Lock()) {
                Registry()->Broadcast(WM_PRESENCE_BUDDY, reinterpret_cast<WPARAM>(id), 0);
                Registry()->Unlock();
            }
        if (request->result == 0 && request->command == AS_REL) Registry()->ReloadPanelImages();
        if (request->command != AS_GCR || !g_roomDlg) return;
        std::vector<ChatRoomEntry> rooms;
        const bool listed = request->data != nullptr;
        if (request->result == 0 && listed) {
            for (void* p : static_cast<CAsResultList*>(request->data)->records) {
                auto* e = static_cast<AsLcrEntry*>(p);
                if (!e || !e->queueId) continue;
                rooms.push_back({e->queueId, FromAnsi(e->queueName ? e->queueName : e->queueId), e->type == 1 ? 1 : 0});
            }
        }
        g_roomDlg->OnRoomList(request->result, listed ? &rooms : nullptr);
    };
    hooks.incoming = [](UINT message, WPARAM wParam, LPARAM lParam) {
        return RouteIncomingMessage(Registry(), message, wParam, reinterpret_cast<PresenceMessageRecord*>(lParam));
    };
    hooks.loginState = [](int mode, const std::string& root, const std::string& ownName) {
        if (mode == LOGIN_SIGNED_IN) SetSignedIn(root, ownName);
        else if (mode == LOGIN_SIGNING_OUT) Registry()->ForgetAccount();  // the windows stay until signed out
        else if (mode == LOGIN_SIGNED_OUT) Registry()->CloseAll(1);
    };
    hooks.closeAll = [](int flag) { Registry()->CloseAll(flag); };
    hooks.languageChanged = [] {
        CChatSessionRegistry* r = Registry();
        // The chat windows only under the lock; the dialogs hold no registry state and change regardless.
        if (!r->Lock()) {
            r->BroadcastLanguageChanged();
            r->Unlock();
        }
        if (g_smsDlg) g_smsDlg->OnLanguageChanged();
        if (g_roomDlg) g_roomDlg->OnLanguageChanged();
        if (g_browser) g_browser->OnLanguageChanged();
    };
}

}  // namespace chat
