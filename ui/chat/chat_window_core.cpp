// The chat window's session logic: members, sending, receiving, voice messages, room notices, history.
#include "ui/chat/chat_window_core.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "common/account.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "service/presence_core.h"
#include "ui/chat/chat_book.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_transport.h"

namespace {

int g_robotId = 0;
std::function<std::string()> g_nicknameSource;

std::string Trim(const std::string& text) {
    size_t b = text.find_first_not_of(" \t\r\n");
    if (b == std::string::npos) return {};
    size_t e = text.find_last_not_of(" \t\r\n");
    return text.substr(b, e - b + 1);
}

std::string Field(const char* text, size_t size) { return std::string(text, strnlen(text, size)); }

}  // namespace

std::string ChatTimeStamp(int64_t time, int64_t now) {
    const time_t when = static_cast<time_t>(time == -1 ? now : time);
    const time_t today = static_cast<time_t>(now);
    struct tm a {}, b {};
    localtime_r(&when, &a);
    localtime_r(&today, &b);
    const bool sameDay = a.tm_year == b.tm_year && a.tm_yday == b.tm_yday;
    char out[48];
    strftime(out, sizeof out, sameDay ? "(%H:%M:%S)" : "(%H:%M:%S, %Y-%m-%d)", &a);
    return out;
}

ChatWindowCore::ChatWindowCore() = default;
ChatWindowCore::~ChatWindowCore() = default;

void ChatWindowCore::SetRobotId(int id) { g_robotId = id; }
int ChatWindowCore::RobotId() { return g_robotId; }

void ChatWindowCore::SetNicknameSource(std::function<std::string()> source) { g_nicknameSource = std::move(source); }

std::string ChatWindowCore::RoomNickname() {
    std::string name = g_nicknameSource ? g_nicknameSource() : std::string();
    if (name.empty()) name = g_strUserId;
    return name.substr(0, 255);
}

int ChatWindowCore::OwnUid() const { return m_pAccount ? presence_setting_get_int(&m_pAccount->settings, "uid", 0) : 0; }

PresenceConnectionRec* ChatWindowCore::Connection() const {
    return m_pAccount && m_pAccount->connection ? presence_rec(m_pAccount->connection) : nullptr;
}

bool ChatWindowCore::StillRegistered() const {
    auto* self = dynamic_cast<const ChatWindowBase*>(this);
    return !registry_ || (self && registry_->ContainsDialog(self));
}

void ChatWindowCore::Record(int peer, int voice, int priv, const std::string& sender, const std::string& receivers,
                            int64_t time, const std::string& content, int nameChoice, const std::string& name) const {
    if (records_) records_->Append(peer, voice, priv, sender, receivers, time, content, nameChoice, name);
}

bool ChatWindowCore::AddMember(const PresenceBuddyRecord* record) {
    if (!record) return false;
    // The user is the window's own row, never one of its members.
    if (FindMember(record->id) || (record->id != 0 && record->id == OwnUid())) return true;
    if (m_members.size() >= kChatMaxMembers) {
        DebugTrace(MOD_QZ, 3, "Max user(%d) limit ", static_cast<int>(kChatMaxMembers));
        return false;
    }
    if (m_members.size() == 1 && m_chatType == CHAT_ONE) {
        m_chatType = CHAT_SEVERAL;
        ViewShowMemberArea(true);
    }
    PresenceBuddyRecord copy = *record;
    copy.status[0] = 0;
    m_members.push_back(copy);
    ViewMembersChanged();
    return true;
}

int ChatWindowCore::AddMembers(const std::vector<PresenceBuddyRecord>& records) {
    int added = 0;
    for (const auto& r : records) {
        bool present = FindMember(r.id) != nullptr || (r.id != 0 && r.id == OwnUid());
        if (!AddMember(&r)) break;
        if (!present) ++added;
    }
    return added;
}

const PresenceBuddyRecord* ChatWindowCore::FindMember(int userId) const {
    for (const auto& m : m_members)
        if (m.id == userId) return &m;
    return nullptr;
}

const std::vector<PresenceBuddyRecord>& ChatWindowCore::ListedMembers() const {
    const bool room = m_chatType == CHAT_TEMP_GROUP || m_chatType == CHAT_GROUP || m_chatType == CHAT_ROOM;
    return room ? m_roomMembers : m_members;
}

int ChatWindowCore::RoomMemberValue(int userId) const {
    auto it = roomValues_.find(userId);
    return it == roomValues_.end() ? 0 : it->second;
}

std::string ChatWindowCore::ReceiversText() const {
    std::string out;
    for (const auto& m : ListedMembers()) {
        if (m.id == 0 || (m.id == OwnUid() && m.id != 0)) continue;
        if (!out.empty()) out += ';';
        out += Field(m.name, sizeof m.name);
    }
    return out;
}

void ChatWindowCore::SetupSession(const std::vector<PresenceBuddyRecord>* members, const char* key,
                                  ChatSessionRecord* record) {
    m_members.clear();
    m_roomCmd.ClearArgs();
    m_sessionTicks = -1;
    // A one-to-one or several-user window takes its kind from the people given: one is a one-to-one chat.
    if ((m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL) && members) {
        std::vector<int> ids;
        for (const PresenceBuddyRecord& m : *members)
            if ((m.id == 0 || m.id != OwnUid()) && std::find(ids.begin(), ids.end(), m.id) == ids.end()) ids.push_back(m.id);
        if (ids.size() == 1) m_chatType = CHAT_ONE;
        else if (ids.size() > 1) m_chatType = CHAT_SEVERAL;
    }
    if (m_chatType == CHAT_GROUP || m_chatType == CHAT_ROOM) {
        if (key) m_szPeer = std::string(key).substr(0, 127);
        m_szRoomName = record ? Field(record->name, sizeof record->name) : m_szPeer;  // a record without a name names none
        if (m_bInitiator) StartSession(record);
    } else if (m_chatType == CHAT_TEMP_GROUP) {
        // Only the side that opens a temporary group asks people in: the members online now.
        if (m_bInitiator) {
            if (members) {
                std::vector<PresenceBuddyRecord> online;
                for (const PresenceBuddyRecord& m : *members)
                    if (m.online == 1) online.push_back(m);
                AddMembers(online);
            }
            StartSession(record);
        }
    } else {
        if (members) AddMembers(*members);
        m_bSessionActive = 1;
    }
    ViewSessionSetUp();
    ViewMembersChanged();
    ViewSessionTitle();
}

void ChatWindowCore::PrepareRoomPacket() {
    m_roomCmd.SetThid(m_szChatId);
    m_roomCmd.SetRecipient(g_robotId);
}

int ChatWindowCore::StartSession(const ChatSessionRecord* record) {
    PrepareRoomPacket();
    m_roomCmd.ClearArgs();
    if (m_chatType == CHAT_TEMP_GROUP) {
        for (const auto& m : m_members) m_roomCmd.AppendId(m.id);
        m_roomCmd.BuildStart(1, "", RoomNickname(), "");
    } else {
        m_roomCmd.SetKey(m_szPeer);
        if (record)
            // A room is entered under the identity its join chose.
            m_roomCmd.BuildStart(m_chatType, Field(record->lead, sizeof record->lead),
                                 record->identity[0] ? Field(record->identity, sizeof record->identity) : RoomNickname(),
                                 Field(record->tail, sizeof record->tail));
        else
            m_roomCmd.BuildStart(m_chatType, "", RoomNickname(), " ");
    }
    m_sessionTicks = 0;
    m_awaitingStart = true;
    // Nobody will answer a START without a robot: the wait runs out and says so.
    if (m_roomCmd.recipient() <= 0) DebugTrace(MOD_QZ, 1, "No chat robot in the settings file: START for %s goes to nobody", m_szPeer.c_str());
    return m_roomCmd.Send(Connection(), nullptr, 0);
}

bool ChatWindowCore::SessionTick() {
    if (m_sessionTicks < 0) return false;
    if (++m_sessionTicks < kSessionTicks) return true;
    m_sessionTicks = -1;
    m_awaitingStart = false;
    ViewSessionTimeout(Text("im_session_timeout", "会话建立超时"));
    return false;
}

void ChatWindowCore::SetThreadNumber(int thread, bool keepChatId) {
    m_threadNumber = thread;
    m_roomCmd.SetRecipient(thread);
    if (!keepChatId) {
        m_szChatId = std::to_string(thread) + "#";
        m_roomCmd.SetThid(m_szChatId);
    }
}

SendOutcome ChatWindowCore::SendText(const std::string& typed) {
    if (!m_bOnline || !m_pAccount) {
        ViewOffline();
        return SendOutcome::Refused;
    }
    if (m_bKicked) {
        ViewHeaderLine(Text("im_kickme", "You are kicked by admin or starter"));
        return SendOutcome::Refused;
    }
    std::string text = Trim(typed);
    if (text.empty()) return SendOutcome::Empty;
    if (registry_ && registry_->Lock()) return SendOutcome::Busy;
    struct Release {
        CChatSessionRegistry* r;
        ~Release() {
            if (r) r->Unlock();
        }
    } release{registry_};

    // No entry chosen sends to everyone, without a header line or a record.
    RecipientChoice choice = ViewRecipientChoice();
    if (!choice.selected) choice.userId = 0;
    std::vector<PresenceBuddyRecord> recipients;
    if (m_chatType == CHAT_ONE) {
        if (!m_members.empty()) recipients.push_back(m_members[0]);
    } else if (m_chatType == CHAT_SEVERAL) {
        if (choice.userId != 0) {
            if (const PresenceBuddyRecord* m = FindMember(choice.userId)) recipients.push_back(*m);
        } else {
            recipients = m_members;
        }
    }
    const bool direct = m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL;
    if (direct && recipients.empty()) {
        ViewNotice(Text("im_norecipient", "No recipient: the message was not sent"));
        return SendOutcome::NoRecipient;
    }
    if (!StillRegistered()) return SendOutcome::NotSent;

    int result = -1;
    if (direct) {
        result = ChatSendIm(Connection(), ChatUserText(text).c_str(), &recipients, m_szChatId.c_str(), 0);
    } else if (m_roomCmd.BuildText(text)) {
        if (choice.userId != 0) {
            std::string thread = m_szChatId + "SMSG#" + std::to_string(choice.userId);
            result = m_roomCmd.Send(Connection(), thread.c_str(), 0);
        } else {
            result = m_roomCmd.Send(Connection(), nullptr, 0);
        }
    }
    // Anything but 0 is a send that did not go out (-1 without a link, 1 with no session at the core).
    if (result != 0) {
        // Shown as not sent and never recorded as sent.
        ViewNotice(Text("im_warn", "以下消息未被发送"));
        ViewBody(text);
        return SendOutcome::NotSent;
    }

    if (m_chatType == CHAT_ONE) {
        const PresenceBuddyRecord& peer = m_members[0];
        std::string name = Field(peer.name, sizeof peer.name);
        ViewHeader(ownName_, name, -1, false);
        Record(0, 0, 0, ownName_, name, -1, text, 0, {});
        Record(peer.id, 0, 0, ownName_, name, -1, text, 1, name);
    } else if (!choice.selected) {
        // Nobody chosen: the body alone, kept nowhere.
    } else if (choice.userId == 0) {
        std::string receivers = ReceiversText();
        ViewHeader(ownName_, choice.entryText, -1, false);
        Record(0, 0, 0, ownName_, receivers, -1, text, 0, {});
        // Each member's folder keeps the line, a room's members included.
        for (const auto& m : ListedMembers())
            if (m.id != 0 && m.id != OwnUid()) Record(m.id, 0, 0, ownName_, receivers, -1, text, 1, Field(m.name, sizeof m.name));
    } else {
        ViewHeader(ownName_, choice.entryText, -1, true);
        Record(0, 0, 1, ownName_, choice.entryText, -1, text, 0, {});
        Record(choice.userId, 0, 0, ownName_, choice.entryText, -1, text, 1, choice.entryText);
    }
    ViewBody(text);
    ViewFocusInput();
    return SendOutcome::Sent;
}

int ChatWindowCore::PttPress(int deviceCode, uint32_t nowTick) {
    if (deviceCode != 0) {
        if (deviceCode == 1) ViewNotice(Text("im_audio_nodevice", "No Audio device!"));
        else if (deviceCode == 2) ViewNotice(Text("im_audio_working", "Capture Audio Device is Working!"));
        else ViewNotice(Text("im_audio_unknown", "Capture Audio Device is Unknown Error!"));
        m_pttPressTick = 0;
        return 0;
    }
    if (!m_pAccount) return 1;
    if (m_bKicked) {
        ViewHeaderLine(Text("im_kickme", "You are kicked by admin or starter"));
        return 1;
    }
    if (registry_ && registry_->Lock()) return 1;
    struct Release {
        CChatSessionRegistry* r;
        ~Release() {
            if (r) r->Unlock();
        }
    } release{registry_};
    m_pttPressTick = nowTick ? nowTick : 1;
    RecipientChoice choice = ViewRecipientChoice();
    if (!choice.selected) choice.userId = 0;
    int result = -1;
    if (m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL) {
        std::vector<PresenceBuddyRecord> recipients;
        if (m_chatType == CHAT_ONE) {
            if (!m_members.empty()) recipients.push_back(m_members[0]);
        } else if (choice.userId != 0) {
            if (const PresenceBuddyRecord* m = FindMember(choice.userId)) recipients.push_back(*m);
        } else {
            recipients = m_members;
        }
        if (!recipients.empty()) result = ChatSendIm(Connection(), "", &recipients, m_szChatId.c_str(), 3);
    } else {
        m_roomCmd.BuildText("");
        std::string thread = m_szChatId + "SMSG#" + std::to_string(choice.userId);
        result = m_roomCmd.Send(Connection(), choice.userId ? thread.c_str() : nullptr, 3);
    }
    // Any answer but 0 (no link, no session, already recording, busy) started no recording.
    if (result != 0) {
        ViewNotice(Text("im_warn", "以下消息未被发送"));
        m_pttPressTick = 0;  // nothing is recording, so the release has nothing to stop
    }
    return 1;
}

int ChatWindowCore::PttRelease(uint32_t nowTick, uint32_t* waitMs) {
    if (waitMs) *waitMs = 0;
    if (m_pttPressTick < 1) return 0;
    if (!m_pAccount) return 1;
    if (m_bKicked) {
        ViewHeaderLine(Text("im_kickme", "You are kicked by admin or starter"));
        return 1;
    }
    uint32_t elapsed = nowTick - m_pttPressTick;
    if (waitMs && elapsed < 500) *waitMs = 500 - elapsed;
    return 1;
}

std::string ChatWindowCore::SenderName(const PresenceMessageRecord* record) const {
    if (!record) return "Unknown";
    // The address book's name for the sender first, as the user knows the contact.
    if (std::string book = chat::BookNameByUid(record->sender.id); !book.empty()) return book;
    return Field(record->sender.name, sizeof record->sender.name);
}

const PresenceBuddyRecord* ChatWindowCore::RoomSpeaker(const PresenceMessageRecord* record, int* uid, int* priv) const {
    CChatSessionRegistry::SplitChatId(Field(record->chatId, sizeof record->chatId), uid, priv);
    if (*uid <= 0) return nullptr;
    auto it = std::find_if(m_roomMembers.begin(), m_roomMembers.end(), [&](auto& m) { return m.id == *uid; });
    return it != m_roomMembers.end() ? &*it : nullptr;
}

std::string ChatWindowCore::ResultText(int command, const std::string& number) const {
    int n = std::atoi(number.c_str());
    switch (n) {
        case 0:
            if (command == CRC_KICK) return Text("im_kick", "You kick users succeeded");
            if (m_chatType == CHAT_TEMP_GROUP || m_chatType == CHAT_GROUP) return Text("im_start", "You invite succeeded");
            if (m_chatType == CHAT_ROOM) return Text("im_join", "You are join session succeeded, please speak any time");
            return Text("im_retsucc", "You are join session succeeded, please speak any time");
        case 1: return Text("im_popeerr", "Authentication failed, because else reason");
        case 2: return Text("im_elseerr", "Else error");
        case 11: return Text("im_overmember", "Member mor than limitation");
        case 12: return Text("im_blocklist", "You are in block list");
        case 13: return Text("im_invalidpasswd", "Password is invalid");
        case 15: return Text("im_sysbudy", "Server budy");
        case 22: return Text("im_nogroup", "No Group");
        default: return Text("im_unkerr", "Unknown error");
    }
}

std::string ChatWindowCore::NotifyText(int code, const std::string& text) const {
    CChatRoomMessage split;
    split.SplitFields(text, ',');
    std::string name = split.GetSecondEntry(1);
    auto fill = [&](std::string format) {
        size_t at = format.find("%s");
        if (at != std::string::npos) format.replace(at, 2, name);
        return format;
    };
    switch (code) {
        case 1: return fill(Text("im_enter", "%s come in"));
        case 2: return fill(Text("im_leave", "%s leave"));
        case 3: return fill(Text("im_kickout", "%s kicked"));
        case 7: return Text("im_kickme", "You are kicked by admin or starter");
        default: return {};
    }
}

void ChatWindowCore::OnRoomNotice(int kind, int code, const std::string& text) {
    if (kind == 2) {
        m_bKicked = code == 7 ? 1 : 0;
        CChatRoomMessage split;
        split.SplitFields(text, ',');
        int id = std::atoi(split.GetSecondEntry(0).c_str());
        if (code == 7) {
            m_roomMembers.clear();
            roomValues_.clear();
        } else if (code == 4 && id > 0) {
            for (auto& m : m_roomMembers)
                if (m.id == id) presence_copy_field(m.name, sizeof m.name, split.GetSecondEntry(1).substr(0, 64).c_str());
        } else if (code == 5 || code == 6) {
            m_roomState = 2;
            ViewMembersChanged();
            ViewRoomClosed();
            return;
        } else if ((code == 2 || code == 3) && id > 0) {
            m_roomMembers.erase(std::remove_if(m_roomMembers.begin(), m_roomMembers.end(),
                                               [&](const PresenceBuddyRecord& m) { return m.id == id; }),
                                m_roomMembers.end());
            roomValues_.erase(id);
        } else if (code == 1 && id > 0) {
            OnRoomNotice(1, 0, text);
            return;
        }
        ViewMembersChanged();
        return;
    }
    if (kind == 1) {
        if (!text.empty() && m_roomState == 0) m_roomState = 1;  // the room lists its members: there is a room to end
        if (text.empty()) {
            // The user's own row.
            PresenceBuddyRecord self;
            presence_copy_field(self.name, sizeof self.name, ownName_.c_str());
            if (std::none_of(m_roomMembers.begin(), m_roomMembers.end(), [](auto& m) { return m.id == 0; }))
                m_roomMembers.insert(m_roomMembers.begin(), self);
        } else {
            // A member entry: "uid,name[,value]".
            CChatRoomMessage split;
            split.SplitFields(text, ',');
            PresenceBuddyRecord m;
            m.id = std::atoi(split.GetSecondEntry(0).c_str());
            if (m.id <= 0 || m.id == OwnUid()) return;  // the user has the own row
            presence_copy_field(m.name, sizeof m.name, split.GetSecondEntry(1).c_str());
            m.online = 1;
            // A member the address book knows carries its contact: its picture and its blocked mark.
            PresenceBuddyRecord book;
            if (chat::BookMemberByUid(m.id, &book)) std::memcpy(m.userId, book.userId, sizeof m.userId);
            const int value = std::atoi(split.GetSecondEntry(2).c_str());
            auto it = std::find_if(m_roomMembers.begin(), m_roomMembers.end(), [&](auto& r) { return r.id == m.id; });
            if (it != m_roomMembers.end()) *it = m;
            else if (m_roomMembers.size() < kRoomMembersMax) m_roomMembers.push_back(m);
            else {
                DebugTrace(MOD_QZ, 2, "Room member %d not listed: the list is full", m.id);
                return;
            }
            roomValues_[m.id] = value;
        }
        ViewMembersChanged();
    }
}

int ChatWindowCore::OnReceiveText(const char* textArg, const PresenceMessageRecord* record) {
    if (!textArg || !record) return 0;
    std::string text = textArg;
    std::string sender = SenderName(record);
    std::string all = Text("im_all", "All");
    const int64_t time = record->time;
    const int senderId = record->sender.id;
    bool headed = false;  // a room's own line: its notice heading is drawn, its notices follow it
    switch (m_chatType) {
        case CHAT_ONE:
            ViewHeader(sender, ownName_, time, false);
            Record(senderId, 0, 0, sender, ownName_, time, text, 0, {});
            Record(0, 0, 0, sender, ownName_, time, text, 1, ownName_);
            break;
        case CHAT_SEVERAL: {
            bool priv = m_members.size() > 1 && record->recipients.empty();
            if (!priv) {
                std::string receivers = ownName_;
                for (const auto& r : record->recipients) receivers += ";" + Field(r.name, sizeof r.name);
                ViewHeader(sender, all, time, false);
                Record(senderId, 0, 0, sender, receivers, time, text, 0, {});
                Record(0, 0, 0, sender, receivers, time, text, 1, ownName_);
            } else {
                ViewHeader(sender, ownName_, time, true);
                Record(senderId, 0, 1, sender, ownName_, time, text, 0, {});
                Record(0, 0, 1, sender, ownName_, time, text, 1, ownName_);
            }
            break;
        }
        default: {
            int uid = 0, priv = 0;
            const PresenceBuddyRecord* member = RoomSpeaker(record, &uid, &priv);
            if (uid > 0) {
                if (!member) return 1;
                std::string name = Field(member->name, sizeof member->name);
                ViewHeader(name, priv ? ownName_ : all, time, priv != 0);
                Record(uid, 0, priv, name, ownName_, time, text, 0, {});
            } else {
                ViewNoticeHeader(time);
                headed = true;
            }
            break;
        }
    }
    const auto notice = [&](const std::string& line) { ViewSystemNotice(line, time, headed); };
    switch (record->command) {
        case CRC_INVITE: ViewInvitation(text, time, headed); break;
        case CRC_START:
            m_bSessionActive = 1;
            m_sessionTicks = -1;
            if (std::atoi(text.c_str()) == 0 && m_roomState == 0) m_roomState = 1;
            notice(ResultText(record->command, text));
            OnRoomNotice(1, 0, std::string());  // the user's own row
            break;
        case CRC_RESULT:
            m_sessionTicks = -1;
            notice(ResultText(record->command, text));
            break;
        case CRC_KICK: notice(ResultText(record->command, text)); break;
        case CRC_NOTIFY: notice(NotifyText(record->room, text)); break;
        default: ViewBody(text); break;
    }
    ViewFocusInput();
    return 1;
}

VoiceMessageEntry* ChatWindowCore::Arrival(int messageId, bool* show) {
    for (auto& e : m_voiceMsgs)
        if (e.id == messageId) {
            ++e.count;
            *show = true;
            return &e;
        }
    m_voiceMsgs.push_back({messageId, 0, 0, 1});
    *show = false;
    return &m_voiceMsgs.back();
}

int ChatWindowCore::OnReceiveVoice(int messageId, const PresenceMessageRecord* record) {
    if (!record) return 0;
    if (!m_pAccount) {
        ViewOffline();
        return 1;
    }
    const std::string time = ChatTimeStamp(record->time, static_cast<int64_t>(::time(nullptr)));
    std::string sender = SenderName(record);
    bool show = false;
    VoiceMessageEntry* entry = Arrival(messageId, &show);
    if (!show) return 1;
    std::string idText = std::to_string(messageId);
    const int64_t when = record->time;
    const std::string pttmsg = Text("im_pttmsg", "发送语音短信");
    const std::string to = Text("im_privacyto", "To").substr(0, 15);
    const std::string privacy = Text("im_privacy", " privacy ").substr(0, 127);
    switch (m_chatType) {
        case CHAT_ONE:
            ViewVoice(entry, "  " + sender + pttmsg + time);
            Record(record->sender.id, 1, 0, sender, ownName_, when, idText, 0, {});
            Record(0, 1, 0, sender, ownName_, when, idText, 1, ownName_);
            break;
        case CHAT_SEVERAL: {
            bool priv = m_members.size() > 1 && record->recipients.empty();
            std::string receivers = ownName_;
            if (!priv) {
                for (const auto& r : record->recipients) receivers += ";" + Field(r.name, sizeof r.name);
                ViewVoice(entry, "  " + sender + pttmsg + time);
            } else {
                ViewVoice(entry, " " + sender + privacy + pttmsg + to + ownName_ + " " + time);
            }
            Record(record->sender.id, 1, 0, sender, receivers, when, idText, 0, {});
            Record(0, 1, 0, sender, receivers, when, idText, 1, ownName_);
            break;
        }
        default: {
            int uid = 0, priv = 0;
            CChatSessionRegistry::SplitChatId(Field(record->chatId, sizeof record->chatId), &uid, &priv);
            // A line with no speaker shows the icon alone.
            if (uid <= 0) {
                ViewVoice(entry, std::string());
                break;
            }
            auto it = std::find_if(m_roomMembers.begin(), m_roomMembers.end(), [&](auto& m) { return m.id == uid; });
            std::string name = it != m_roomMembers.end() ? Field(it->name, sizeof it->name) : std::string();
            ViewVoice(entry, priv ? " " + name + privacy + pttmsg + to + ownName_ + " " + time : " " + name + pttmsg + " " + time);
            Record(uid, 1, priv, name, ownName_, when, idText, 0, {});
            break;
        }
    }
    ViewFocusInput();
    if (m_bAutoPlay) PlayVoice(messageId);
    return 1;
}

int ChatWindowCore::OnVoiceEcho(int messageId, const PresenceMessageRecord* record) {
    (void)record;
    if (!m_pAccount) {
        ViewOffline();
        return 1;
    }
    const std::string time = ChatTimeStamp(-1, static_cast<int64_t>(::time(nullptr)));
    bool show = false;
    VoiceMessageEntry* entry = Arrival(messageId, &show);
    if (!show) return 1;
    std::string idText = std::to_string(messageId);
    const std::string authorPtt = Text("im_authorptt", "发送了一条语音消息");
    RecipientChoice choice = ViewRecipientChoice();
    if (m_chatType == CHAT_ONE) {
        std::string peer = m_members.empty() ? std::string() : Field(m_members[0].name, sizeof m_members[0].name);
        ViewVoice(entry, "  " + ownName_ + " " + authorPtt + time);
        Record(0, 1, 0, ownName_, peer, -1, idText, 0, {});
        if (!m_members.empty()) Record(m_members[0].id, 1, 0, ownName_, peer, -1, idText, 1, peer);
    } else if (!choice.selected) {
        // No recipient chosen: the icon alone, with no line and no record.
        ViewVoice(entry, std::string());
    } else if (choice.userId == 0) {
        std::string receivers = ReceiversText();
        ViewVoice(entry, "  " + ownName_ + " " + authorPtt + " " + time);
        Record(0, 1, 0, ownName_, receivers, -1, idText, 0, {});
        for (const auto& m : ListedMembers())
            if (m.id != 0 && m.id != OwnUid()) Record(m.id, 1, 0, ownName_, receivers, -1, idText, 1, Field(m.name, sizeof m.name));
    } else {
        const std::string to = Text("im_privacyto", "To").substr(0, 15);
        const std::string privacy = Text("im_privacy", " Privacy ").substr(0, 511);
        ViewVoice(entry, " " + ownName_ + privacy + authorPtt + to + choice.entryText + " " + time);
        Record(0, 1, 1, ownName_, choice.entryText, -1, idText, 0, {});
        Record(choice.userId, 1, 0, ownName_, choice.entryText, -1, idText, 1, choice.entryText);
    }
    return 1;
}

int ChatWindowCore::AcceptInvitation() {
    if (!m_roomCmd.BuildAccept(RoomNickname())) return -1;
    m_awaitingStart = true;
    return m_roomCmd.Send(Connection(), nullptr, 0);
}

void ChatWindowCore::LeaveSession() {
    m_bSessionActive = 0;
    if (m_chatType != CHAT_ONE && m_chatType != CHAT_SEVERAL && m_pAccount) {
        m_roomCmd.BuildQuit();
        m_roomCmd.Send(Connection(), nullptr, 0);
    }
}
