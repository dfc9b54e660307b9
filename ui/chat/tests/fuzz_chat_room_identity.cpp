// Fuzz target: room command texts from chosen identities, in any order, against an open room. Each line
// of the input is one message: a byte naming the sender (the robot, the room's thread, a stranger, a
// member), a byte naming the chat id (the room's first id, the thread's, a member's line, a private line,
// a new chat) and the text. Only the first answer to the room's own START, on its own chat id, may move
// the room to a thread (its sender), and only the robot or that thread may kick the user or change the
// members.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/account.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"

namespace {

constexpr int kRobot = 900;

class RoomWindow : public ChatWindowBase {
 public:
    LRESULT SendChatMessage(UINT message, WPARAM wParam, LPARAM lParam) override {
        auto* record = reinterpret_cast<PresenceMessageRecord*>(lParam);
        if (message == WM_PRESENCE_TEXT) return OnReceiveText(reinterpret_cast<const char*>(wParam), record);
        return 0;
    }
    void DestroyLater() override { delete this; }

 protected:
    void ViewHeader(const std::string&, const std::string&, int64_t, bool) override {}
    void ViewBody(const std::string&) override {}
    void ViewSystemNotice(const std::string&, int64_t, bool) override {}
    void ViewOffline() override {}
    void ViewVoice(VoiceMessageEntry*, const std::string&) override {}
    void PlayVoice(int) override {}
    RecipientChoice ViewRecipientChoice() const override { return {}; }
};

int Swallow(PresenceConnectionRec*, const char*, std::vector<PresenceBuddyRecord>* recipients, const char*, int) {
    recipients->clear();
    return 0;
}

struct Setup {
    Setup() {
        account = Account_New("10001", ACCOUNT_TYPE_SERVICE);
        presence_setting_set_int(&account->settings, "uid", nullptr, 10001);
        Account_Add(account);
        ChatSetSendFunction(Swallow);
        ChatWindowCore::SetRobotId(kRobot);
    }
    Account* account;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Setup setup;
    CChatSessionRegistry registry;
    registry.SetFactory([] { return new RoomWindow; });
    if (registry.OpenChat(CHAT_ROOM, nullptr, "R12", nullptr, 1) != 1) __builtin_trap();
    ChatWindowBase* room = registry.Windows().back();
    const std::string first = room->m_szChatId;
    std::string_view input(reinterpret_cast<const char*>(data), size);
    for (int n = 0; n < 32 && input.size() >= 2; ++n) {
        const size_t end = input.find('\n');
        const std::string_view line = input.substr(0, end);
        input = end == std::string_view::npos ? std::string_view() : input.substr(end + 1);
        if (line.size() < 2) continue;
        const int senders[] = {kRobot, room->m_threadNumber ? room->m_threadNumber : 9001, 5, 31, 0, 9002};
        const int sender = senders[static_cast<uint8_t>(line[0]) % 6];
        const std::string thread = std::to_string(room->m_threadNumber ? room->m_threadNumber : 9001);
        const std::string chatIds[] = {first, thread + "#", thread + "#31", thread + "#SMSG#31", "0_20002_9", "4_10001_3"};
        const std::string& chatId = chatIds[static_cast<uint8_t>(line[1]) % 6];
        PresenceMessageRecord r;
        presence_copy_field(r.chatId, sizeof r.chatId, chatId.c_str());
        r.sender.id = sender;
        presence_copy_field(r.sender.name, sizeof r.sender.name, "x");
        const int threadBefore = room->m_threadNumber;
        const int kickedBefore = room->m_bKicked;
        const size_t membersBefore = room->m_roomMembers.size();
        const bool awaited = room->m_awaitingStart;
        char* text = static_cast<char*>(malloc(line.size() - 1));
        memcpy(text, line.data() + 2, line.size() - 2);
        text[line.size() - 2] = '\0';
        RouteIncomingMessage(&registry, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(text), &r);
        if (!registry.ContainsDialog(room)) break;
        // The answer the room waits for is taken from whoever sends it on the room's own chat id.
        const bool trusted = sender == kRobot || (threadBefore != 0 && sender == threadBefore) ||
                             (awaited && chatId == first);
        // The thread is taken once, from the first answer to the room's own START on its own chat id,
        // and it is that answer's sender.
        if (room->m_threadNumber != threadBefore &&
            (!awaited || threadBefore != 0 || chatId != first || room->m_threadNumber != sender)) __builtin_trap();
        if (room->m_bKicked != kickedBefore && !trusted) __builtin_trap();
        if (room->m_roomMembers.size() != membersBefore && !trusted) __builtin_trap();
    }
    registry.CloseAll(0);
    return 0;
}
