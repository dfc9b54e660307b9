// The chat window's session logic below the widgets: members, sending, receiving, voice messages, room
// notices and the history copies. The window (CIMDlg) supplies the drawing through the view operations.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/wintypes.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_record_store.h"
#include "ui/chat/chat_room_command.h"

struct Account;
class CChatSessionRegistry;

// Chat types of a session.
enum ChatType : int { CHAT_ONE = 0, CHAT_TEMP_GROUP = 1, CHAT_GROUP = 2, CHAT_ROOM = 3, CHAT_SEVERAL = 4 };

inline constexpr size_t kChatMaxMembers = 20;
// Rows of a room's member list: every entry redraws the whole list, so entries without end would hang the window.
inline constexpr size_t kRoomMembersMax = 1000;
inline constexpr UINT WM_IM_CLOSE = 0x800;
inline constexpr UINT WM_VOICE_ECHO = 0x801;

// What an opener hands to OpenChat for a group or room.
struct ChatSessionRecord {
    int32_t isNew = 1;       // cleared when the session had a window already
    char name[65] = {};      // group or room name
    char tail[128] = {};     // " " for a group
    char lead[128] = {};     // room password or empty
    char identity[256] = {};  // the identity a room is entered under
    void* window = nullptr;  // the new chat-room window (a ChatWindowBase*)
};

// One voice message of the window: the first arrival (message or echo) registers it, later ones show it.
struct VoiceMessageEntry {
    int id = 0;
    int first = 0;
    int last = 0;
    int count = 0;
};

// The recipient chooser's state.
struct RecipientChoice {
    bool selected = false;   // an entry is chosen
    int userId = 0;          // 0: everyone
    std::string entryText;   // the chosen entry's text
};

enum class SendOutcome { Sent, Empty, NotSent, Busy, Refused, NoRecipient };

// The time stamp of a history line: "(%H:%M:%S)" for a time of today or no time (-1: now), else
// "(%H:%M:%S, %Y-%m-%d)"; now is the current time (seconds since 1970, local time).
std::string ChatTimeStamp(int64_t time, int64_t now);

class ChatWindowCore {
 public:
    ChatWindowCore();
    virtual ~ChatWindowCore();

    // Session fields the registry reads and writes.
    Account* m_pAccount = nullptr;
    std::vector<PresenceBuddyRecord> m_members;
    std::vector<PresenceBuddyRecord> m_roomMembers;  // the member panel's list of a room (LIST entries)
    // The decimal value a room entry carries after the name, by member id (0 when it gave none).
    int RoomMemberValue(int userId) const;
    int m_bInitiator = 1;
    int m_bKicked = 0;
    int m_bSessionActive = 0;
    int m_bOnline = 1;
    int m_bAutoPlay = 0;
    std::string m_szChatId;    // at most 32 characters
    std::string m_szPeer;      // at most 127 characters
    std::string m_szRoomName;  // at most 255 characters
    int m_chatType = CHAT_SEVERAL;
    CChatRoomPacket m_roomCmd;
    std::vector<VoiceMessageEntry> m_voiceMsgs;
    uint32_t m_pttPressTick = 0;
    int m_threadNumber = 0;
    // Set by a START or ACCEPT sent, cleared by its first answer or the wait's end: only that answer
    // may name the room's thread.
    bool m_awaitingStart = false;

    // Services the window is given by its creator.
    void SetRegistry(CChatSessionRegistry* registry) { registry_ = registry; }
    void SetRecords(const ChatRecordFile* records) { records_ = records; }
    void SetOwnName(std::string name) { ownName_ = std::move(name); }
    const std::string& OwnName() const { return ownName_; }
    static void SetRobotId(int id);
    static int RobotId();
    // Where the user's chat-room name comes from: the first identity of the profile list.
    static void SetNicknameSource(std::function<std::string()> source);
    // The name START and ACCEPT carry: the first identity's name, the user id while there is none.
    static std::string RoomNickname();

    // Member rules: no two equal ids, at most 20; a second member makes a one-to-one chat multi-user.
    bool AddMember(const PresenceBuddyRecord* record);
    int AddMembers(const std::vector<PresenceBuddyRecord>& records);
    const PresenceBuddyRecord* FindMember(int userId) const;
    // Names of the members with an id, joined by ";" (in a group or room: the room's member rows).
    std::string ReceiversText() const;
    // The members the member list shows: a group's or room's member rows, else the session's members.
    const std::vector<PresenceBuddyRecord>& ListedMembers() const;

    // Fills the session (the registry's SetupSession): members for types 0, 1, 4, key for 2 and 3.
    void SetupSession(const std::vector<PresenceBuddyRecord>* members, const char* key, ChatSessionRecord* record);
    // Readies the room packet as the window opens: the chat id as its thread, the robot as its target,
    // so that a window the router made (an invitation) answers the robot in its session.
    void PrepareRoomPacket();
    // Starts a group or room session at the robot (START), when this side opened it.
    int StartSession(const ChatSessionRecord* record);
    void SetThreadNumber(int thread, bool keepChatId);

    // Sending: the text as typed (picture codes included). Only a sent text is echoed and recorded.
    SendOutcome SendText(const std::string& text);
    // Press-to-talk: deviceCode as the capture probe gives it. Returns the handler's result.
    int PttPress(int deviceCode, uint32_t nowTick);
    // Returns 0 when no press is pending; waitMs receives how long to wait before stopping. The press
    // stays pending: only a press the device refused clears it.
    int PttRelease(uint32_t nowTick, uint32_t* waitMs);

    // Receiving (synchronous from the router, under the chat lock). 0 when the text or record is
    // missing, else 1.
    int OnReceiveText(const char* text, const PresenceMessageRecord* record);
    int OnReceiveVoice(int messageId, const PresenceMessageRecord* record);
    int OnVoiceEcho(int messageId, const PresenceMessageRecord* record);
    // kind 1: one LIST entry; kind 2: a NOTIFY (code = notice kind).
    void OnRoomNotice(int kind, int code, const std::string& text);
    // Closing: a group session leaves its room.
    void LeaveSession();
    // The user agrees to an invitation: ACCEPT with the own nickname goes to the room.
    int AcceptInvitation();
    // 0 before the room has answered, 1 once it has (or the user ended it), 2 when it is over.
    int m_roomState = 0;
    // The wait for a group or room session to start: one tick every 100 ms from the START on; at 600
    // ticks without an answer the window says the session could not be set up. True while it waits.
    static constexpr int kSessionTicks = 600;
    bool SessionTick();
    int m_sessionTicks = -1;  // -1: not waiting

    void ShowMemberArea(bool show) { ViewShowMemberArea(show); }
    // A text of [im_dlg] (the window reads the language file).
    std::string ImText(const char* key, const char* english) const { return Text(key, english); }

    // Result text of RESULT, START and KICK answers.
    std::string ResultText(int command, const std::string& number) const;
    std::string NotifyText(int code, const std::string& text) const;

 protected:
    // View operations, drawn by the window.
    virtual void ViewHeader(const std::string& sender, const std::string& receiver, int64_t time, bool priv) { (void)sender, (void)receiver, (void)time, (void)priv; }
    virtual void ViewBody(const std::string& text) { (void)text; }
    // A system notice: "System tip : (time)" (-1: now) and the text on the next line; headed: the
    // heading is there already (a room's own line), the text alone follows.
    void ViewNotice(const std::string& text) { ViewSystemNotice(text, -1, false); }
    virtual void ViewSystemNotice(const std::string& text, int64_t time, bool headed) { (void)text, (void)time, (void)headed; }
    // The heading alone, for a room's own line (no speaker) at the line's time.
    virtual void ViewNoticeHeader(int64_t time) { (void)time; }
    virtual void ViewLine(const std::string& text) { (void)text; }
    virtual void ViewOffline() {}
    // The session could not be set up in time: a line in the body's place.
    virtual void ViewSessionTimeout(const std::string& text) { ViewNotice(text); }
    // A line in the header's form without a time (the kicked notice).
    virtual void ViewHeaderLine(const std::string& text) { ViewNotice(text); }
    // A voice message: its icon (positions kept in the entry) and its line.
    virtual void ViewVoice(VoiceMessageEntry* entry, const std::string& line) { (void)entry, (void)line; }
    virtual void ViewMembersChanged() {}
    // The session was set up: the window's title and caption follow it (a group or room: the caption
    // without the title, which names the kind and the group or room).
    virtual void ViewSessionTitle() {}
    // An invitation (INVITE's argument) with its agree and reject answers.
    virtual void ViewInvitation(const std::string& invitation, int64_t time, bool headed) {
        ViewSystemNotice(invitation, time, headed);
    }
    // The room is over (NOTIFY 5 or 6): the window closes.
    virtual void ViewRoomClosed() {}
    virtual void ViewShowMemberArea(bool show) { (void)show; }
    // The session has been filled for its kind (the end of SetupSession, before the members are shown).
    virtual void ViewSessionSetUp() {}
    virtual void ViewFocusInput() {}
    virtual RecipientChoice ViewRecipientChoice() const { return {}; }
    virtual void PlayVoice(int messageId) { (void)messageId; }
    virtual void StopVoiceRecording() {}
    // A text of [im_dlg] (the window reads the language file).
    virtual std::string Text(const char* key, const char* english) const { (void)key; return english; }

    PresenceConnectionRec* Connection() const;
    // The user's own id at the messaging service (0 while unknown).
    int OwnUid() const;
    bool StillRegistered() const;
    void Record(int peer, int voice, int priv, const std::string& sender, const std::string& receivers, int64_t time,
                const std::string& content, int nameChoice, const std::string& name) const;
    // The sender's name of an incoming record.
    std::string SenderName(const PresenceMessageRecord* record) const;
    // The room member who spoke a room line (its id and private flag from the chat id); null when unknown.
    const PresenceBuddyRecord* RoomSpeaker(const PresenceMessageRecord* record, int* uid, int* priv) const;
    VoiceMessageEntry* Arrival(int messageId, bool* show);

    CChatSessionRegistry* registry_ = nullptr;
    const ChatRecordFile* records_ = nullptr;
    std::string ownName_;
    std::map<int, int> roomValues_;  // with the rows of m_roomMembers
};
