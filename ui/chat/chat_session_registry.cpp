// The chat-session registry and the incoming-message routing.
#include "ui/chat/chat_session_registry.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <strings.h>

#include "common/account.h"
#include "common/presence_link.h"
#include "common/debug.h"
#include "service/presence_core.h"

namespace {
constexpr size_t kChatIdMax = 32;
constexpr size_t kPeerMax = 127;
constexpr UINT kLanguageChanged = WM_USER + 1000;
}  // namespace

CChatSessionRegistry::CChatSessionRegistry(void* owner) : owner_(owner) {
    // The first serial comes from the system's random source, not from the clock: one read off the start
    // time would let anyone name this side's next chat before it is made.
    std::random_device source;
    counter_ = static_cast<uint16_t>(source() & 0x7fff);
}

CChatSessionRegistry::~CChatSessionRegistry() { windows_.clear(); }

BOOL CChatSessionRegistry::Lock() {
    // The program's chat semaphore once the start has made it; a registry run without the start has its own.
    plat::Semaphore* semaphore = shared_ ? shared_() : nullptr;
    if (!semaphore) semaphore = &semaphore_;
    if (semaphore->wait(2000) == WAIT_TIMEOUT) return TRUE;
    taken_ = semaphore;
    return FALSE;
}

void CChatSessionRegistry::Unlock() {
    plat::Semaphore* semaphore = taken_;
    if (!semaphore) return;
    taken_ = nullptr;
    semaphore->release(1);
}

Account* CChatSessionRegistry::GetOwnAccount() {
    ownAccount_ = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    return ownAccount_;
}

std::string CChatSessionRegistry::MakeChatId(int type) {
    Account* account = GetOwnAccount();
    char buf[128];
    if (account && account->userName)
        std::snprintf(buf, sizeof buf, "%d_%s_%d", type, account->userName, counter_);
    else
        std::snprintf(buf, sizeof buf, "%d_null_%d", type, counter_);
    ++counter_;
    std::string id(buf);
    // A long user id would pass the 32 characters a chat id travels in: keep the serial, cut the id.
    if (id.size() > kChatIdMax) {
        std::string serial = id.substr(id.rfind('_'));
        id = id.substr(0, kChatIdMax - serial.size()) + serial;
    }
    return id;
}

std::string CChatSessionRegistry::ChatIdBase(const std::string& chatId) { return chatId.substr(0, chatId.find('#')); }

std::string CChatSessionRegistry::SplitChatId(const std::string& chatId, int* number, int* privateFlag) {
    size_t hash = chatId.find('#');
    int n = 0, priv = 0;
    if (hash != std::string::npos) {
        n = std::atoi(chatId.c_str() + hash + 1);
        if (n == 0) {
            size_t second = chatId.find('#', hash + 1);
            if (second != std::string::npos) {
                n = std::atoi(chatId.c_str() + second + 1);
                priv = 1;
            }
        }
    }
    if (number) *number = n;
    if (privateFlag) *privateFlag = priv;
    return chatId.substr(0, hash);
}

ChatWindowBase* CChatSessionRegistry::CreateChatDialog(int type, int openedByUser, const char* peerKey) {
    // Checked before anything is made, so nothing is left behind without an account.
    Account* account = GetOwnAccount();
    if (!account || !factory_) return nullptr;
    std::string chatId = MakeChatId(type);
    ChatWindowBase* window = factory_();
    if (!window) return nullptr;
    if (peerKey) {
        if (!openedByUser) chatId = std::string(peerKey).substr(0, kChatIdMax);
        window->m_szPeer = std::string(peerKey).substr(0, kPeerMax);
    }
    DebugTrace(MOD_QZ, 3, "Create ChatID %s", chatId.c_str());
    window->m_pAccount = account;
    window->m_bInitiator = openedByUser;
    window->m_chatType = type;
    window->m_szChatId = chatId;
    window->PrepareRoomPacket();
    window->SetRegistry(this);
    if (!window->CreateChatWindow()) {
        window->DestroyLater();
        return nullptr;
    }
    windows_.push_back(window);
    return window;
}

ChatWindowBase* CChatSessionRegistry::FindByChatId(const std::string& chatId) {
    if (chatId.size() > kChatIdMax || chatId.empty()) return nullptr;
    int type = chatId[0] - '0';
    std::string incoming = ChatIdBase(chatId);
    for (ChatWindowBase* window : windows_) {
        std::string own = ChatIdBase(window->m_szChatId);
        if (own == incoming) {
            DebugTrace(MOD_QZ, 3, "Rcv Match Dialog %s", chatId.c_str());
            return window;
        }
        if (type == CHAT_SEVERAL && !own.empty() && incoming.substr(1) == own.substr(1)) {
            DebugTrace(MOD_QZ, 3, "Rcv Match Dialog %s", chatId.c_str());
            if (window->m_chatType == CHAT_ONE) {
                window->m_chatType = CHAT_SEVERAL;
                window->ShowMemberArea(true);
            }
            return window;
        }
    }
    return nullptr;
}

int CChatSessionRegistry::MembersEqual(const std::vector<PresenceBuddyRecord>& a,
                                       const std::vector<PresenceBuddyRecord>& b) {
    for (const auto& m : a)
        if (std::none_of(b.begin(), b.end(), [&](const PresenceBuddyRecord& o) { return o.id == m.id; })) return 0;
    return 1;
}

ChatWindowBase* CChatSessionRegistry::FindByMembers(int type, const std::vector<PresenceBuddyRecord>* members,
                                                    const char* key, const PresenceBuddyRecord* extra) {
    if (type > CHAT_SEVERAL || type < 0) return nullptr;
    if (type == CHAT_GROUP || type == CHAT_ROOM) {
        if (!key) return nullptr;
        for (ChatWindowBase* window : windows_)
            if (window->m_szPeer == key) return window;
        return nullptr;
    }
    std::vector<PresenceBuddyRecord> candidates;
    if (type == CHAT_ONE && extra) {
        candidates.push_back(*extra);
    } else {
        if (!members) return nullptr;
        candidates = *members;
        if (type == CHAT_SEVERAL && extra) candidates.push_back(*extra);
    }
    for (ChatWindowBase* window : windows_) {
        if (window->m_members.size() == candidates.size() && MembersEqual(window->m_members, candidates) &&
            window->m_chatType == type)
            return window;
    }
    return nullptr;
}

int CChatSessionRegistry::OpenChat(int type, const std::vector<PresenceBuddyRecord>* members, const char* key,
                                   ChatSessionRecord* record, int show) {
    if (Lock()) return 0;
    ChatWindowBase* window = FindByMembers(type, members, key, nullptr);
    if (window) {
        if (record) record->isNew = 0;
        window->ShowChatWindow();
        window->BringToTop();
        Unlock();
        return 1;
    }
    bool keyed = type == CHAT_GROUP || type == CHAT_ROOM;
    window = CreateChatDialog(type, show, keyed ? key : nullptr);
    if (!window) {
        Unlock();
        return 0;
    }
    if (type == CHAT_ROOM && record) record->window = window;
    window->SetupSession(keyed ? nullptr : members, keyed ? key : nullptr, record);
    Unlock();
    if (show == 0 || type == CHAT_ROOM) return 1;
    window->ShowChatWindow();
    if (!window->IsActiveChatWindow()) window->BringToTop();
    return 1;
}

int CChatSessionRegistry::ResolveMembers(int type, const PresenceMessageRecord* record,
                                         std::vector<PresenceBuddyRecord>* out) {
    if (!record || !out) return 0;
    auto resolve = [&](PresenceBuddyRecord member, bool sender) {
        PresenceBuddyRecord found = member;
        const int known = lookup_ ? lookup_(member.id, &found) : 0;
        // The book gives the name and, through the identity's contact, the contact id and its picture;
        // the rest stays as the message gave it.
        if (known != 0) std::memcpy(member.name, found.name, sizeof member.name);
        if (known == 1) {
            std::memcpy(member.userId, found.userId, sizeof member.userId);
            std::memcpy(member.status, found.status, sizeof member.status);
        } else {
            member.status[0] = 0;
            DebugTrace(MOD_QZ, 3, "%d Not Find In Local Address", member.id);
        }
        // The sender is online, having just sent this.
        if (sender) member.online = 1;
        out->push_back(member);
    };
    resolve(record->sender, true);
    if (type == CHAT_SEVERAL)
        for (const auto& m : record->recipients) resolve(m, false);
    return 1;
}

bool CChatSessionRegistry::LeaveStaleRoom(int thread, Account* account) {
    if (thread <= 0 || !leftThreads_.insert(thread).second) return false;
    CChatRoomPacket quit(thread);
    quit.SetThid(std::to_string(thread) + "#");
    quit.BuildQuit();
    PresenceConnectionRec* connection = account && account->connection ? presence_rec(account->connection) : nullptr;
    const int sent = quit.Send(connection, nullptr, 0);
    DebugTrace(MOD_QZ, 2, "Room thread %d is in no window here: left it (%d)", thread, sent);
    return true;
}

int CChatSessionRegistry::ContainsDialog(const ChatWindowBase* window) const {
    if (!window) return 0;
    return std::find(windows_.begin(), windows_.end(), window) != windows_.end() ? 1 : 0;
}

int CChatSessionRegistry::RemoveDialog(ChatWindowBase* window) {
    // Removal goes on even when the lock is busy; the window itself is ended only after the current
    // message, so a broadcast or routing pass on this thread never meets a deleted window.
    BOOL timedOut = Lock();
    auto it = std::find(windows_.begin(), windows_.end(), window);
    if (it != windows_.end()) {
        windows_.erase(it);
        window->DestroyLater();
    }
    if (!timedOut) Unlock();
    return 0;
}

void CChatSessionRegistry::Broadcast(UINT message, WPARAM wParam, LPARAM lParam) {
    std::vector<ChatWindowBase*> snapshot = windows_;
    for (ChatWindowBase* window : snapshot)
        if (window && ContainsDialog(window)) window->SendChatMessage(message, wParam, lParam);
}

void CChatSessionRegistry::BroadcastLanguageChanged() {
    std::vector<ChatWindowBase*> snapshot = windows_;
    for (ChatWindowBase* window : snapshot)
        if (ContainsDialog(window) && window->HasWindowHandle()) window->SendChatMessage(kLanguageChanged, 0, 0);
}

void CChatSessionRegistry::Present(ChatWindowBase* window, bool created) {
    if (presenter_) presenter_(window, created);
    else if (created || !window->IsActiveChatWindow()) window->ShowChatWindow();
}

void CChatSessionRegistry::ReloadPanelImages() {
    for (ChatWindowBase* window : windows_) window->ReloadPanelImage();
}

void CChatSessionRegistry::ForgetAccount() {
    // Runs even when the lock is busy: the accounts go whether or not a router holds it.
    BOOL timedOut = Lock();
    for (ChatWindowBase* window : windows_) window->m_pAccount = nullptr;
    ownAccount_ = nullptr;
    if (!timedOut) Unlock();
}

void CChatSessionRegistry::CloseAll(int flag) {
    if (flag == 1) ForgetAccount();
    BOOL timedOut = Lock();
    Broadcast(WM_IM_CLOSE, static_cast<WPARAM>(flag), 0);
    std::vector<ChatWindowBase*> left = windows_;
    Clear();
    for (ChatWindowBase* window : left) window->DestroyLater();
    if (!timedOut) Unlock();
}

int OpenGroupChat(CChatSessionRegistry* registry, const char* key, const char* name) {
    if (!registry || !key) return 0;
    ChatSessionRecord record;
    presence_copy_field(record.name, sizeof record.name, name ? name : "");
    presence_copy_field(record.tail, sizeof record.tail, " ");
    return registry->OpenChat(CHAT_GROUP, nullptr, key, &record, 1);
}

int OpenChatWithUsers(CChatSessionRegistry* registry, const std::vector<PresenceBuddyRecord>& members) {
    if (!registry) return 0;
    return registry->OpenChat(members.size() == 1 ? CHAT_ONE : CHAT_SEVERAL, &members, nullptr, nullptr, 1);
}

LRESULT RouteIncomingMessage(CChatSessionRegistry* registry, UINT message, WPARAM wParam, PresenceMessageRecord* record) {
    const bool voice = message == WM_PRESENCE_VOICE;
    char* text = voice ? nullptr : reinterpret_cast<char*>(wParam);
    struct FreeText {
        char* t;
        ~FreeText() { free(t); }
    } owned{text};
    if (!registry || !record) return 0;
    // The members: the recipients and the sender.
    DebugTrace(MOD_QZ, 3, "Rcv %s Msg, ChatUID %s User %d", voice ? "PTT" : "TEXT", record->chatId,
               static_cast<int>(record->recipients.size()) + 1);
    if (registry->Lock()) return 0;
    struct Release {
        CChatSessionRegistry* r;
        ~Release() { r->Unlock(); }
    } release{registry};

    std::string chatId(record->chatId, strnlen(record->chatId, sizeof record->chatId));
    // The messaging service lists every recipient, this user included: keep only the others. The own
    // id is the account's "uid" setting, or learnt from a message: its one recipient, or the recipient
    // the service names by this account's user name.
    if (record->account || registry->GetOwnAccount()) {
        Account* account = record->account ? record->account : registry->GetOwnAccount();
        int own = presence_setting_get_int(&account->settings, "uid", 0);
        if (own == 0 && record->sender.id != 0) {
            if (record->recipients.size() == 1) own = record->recipients[0].id;
            for (const auto& r : record->recipients)
                if (own == 0 && account->userName && *account->userName &&
                    (strcasecmp(r.name, account->userName) == 0 || strcasecmp(r.account, account->userName) == 0))
                    own = r.id;
            if (own != 0) presence_setting_set_int(&account->settings, "uid", nullptr, own);
        }
        if (own != 0)
            record->recipients.erase(std::remove_if(record->recipients.begin(), record->recipients.end(),
                                                    [own](const PresenceBuddyRecord& r) { return r.id == own; }),
                                     record->recipients.end());
    }
    if (record->sender.id == 0) {
        // The echo of an own message.
        if (voice)
            if (ChatWindowBase* window = registry->FindByChatId(chatId))
                window->SendChatMessage(WM_VOICE_ECHO, wParam, reinterpret_cast<LPARAM>(record));
        DebugTrace(MOD_QZ, 3, "Rcv Msg Echo %s", chatId.c_str());
        return 1;
    }
    // Commands count from the robot, or from the thread of a group or room window. A window waiting for
    // the answer to its own START (or ACCEPT) takes the first START or RESULT on its own chat id from
    // whoever sends it, since the room's thread answers from an id of its own; after that only the robot
    // and the thread are heard, so nobody can take over a room that is running.
    ChatWindowBase* window = registry->FindByChatId(chatId);
    const int robot = ChatWindowCore::RobotId();
    const bool fromRobot = robot > 0 && record->sender.id == robot;
    const bool roomWindow = window && window->m_chatType >= CHAT_TEMP_GROUP && window->m_chatType <= CHAT_ROOM;
    CChatRoomMessage parsed;
    int code = CRC_PLAIN;
    if (text) {
        parsed.SetRawText(text);
        code = parsed.Parse();
    }
    const bool answer = window && window->m_awaitingStart && record->sender.id > 0 && chatId == window->m_szChatId &&
                        (code == CRC_START || code == CRC_RESULT);
    const bool trusted = fromRobot || answer ||
                         (roomWindow && window->m_threadNumber != 0 && window->m_threadNumber == record->sender.id);
    // THUPDATE, SMSG and JOIN carry nothing to obey: their text goes to the window as it came. An
    // invitation only asks the user, whose answer goes to the robot. Any other command from anyone but
    // the robot or the room's thread is not taken.
    const bool rawCommand = code == CRC_THUPDATE || code == CRC_SMSG || code == CRC_JOIN;
    if (code != CRC_PLAIN && !rawCommand) {
        if (!trusted && code != CRC_INVITE) {
            DebugTrace(MOD_QZ, 2, "Room command from %d not taken: %s", record->sender.id, text);
            return 1;
        }
        if (code == CRC_QUIT || code == CRC_END) {
            DebugTrace(MOD_QZ, 3, "Quit or End %s", text);
            return 1;
        }
        // Too long for its list: a member list keeps the entries that fit; half of any other command is
        // not obeyed, nor shown as the raw command text.
        if (parsed.Cut() && code != CRC_LIST) {
            DebugTrace(MOD_QZ, 2, "Room command too long, dropped: %.64s", text);
            return 1;
        }
    }
    if (answer) window->m_awaitingStart = false;
    // A room's line ("<thread>#...") with no window here: this side is not in that room any more.
    const std::string base = CChatSessionRegistry::ChatIdBase(chatId);
    if (!window && code != CRC_INVITE && base.size() < chatId.size() && !base.empty() &&
        base.find_first_not_of("0123456789") == std::string::npos) {
        if (!registry->LeaveStaleRoom(std::atoi(base.c_str()), record->account ? record->account : registry->GetOwnAccount()))
            DebugTrace(MOD_QZ, 3, "Line of the left room %s dropped", chatId.c_str());
        return 1;
    }
    record->command = 13;
    record->room = 0;
    if (!window) {
        int type = record->recipients.empty() ? CHAT_ONE : CHAT_SEVERAL;
        window = registry->FindByMembers(type, &record->recipients, nullptr, &record->sender);
        if (!window) {
            std::vector<PresenceBuddyRecord> members;
            int resolved = registry->ResolveMembers(type, record, &members);
            window = registry->CreateChatDialog(type, 0, chatId.c_str());
            if (!window) return 0;
            window->m_threadNumber = record->sender.id;
            if (resolved) window->SetupSession(&members, nullptr, nullptr);
            else window->SetOneMemberTitle(nullptr);
            DebugTrace(MOD_QZ, 3, "%d User. Create New Window %s ", static_cast<int>(members.size()), chatId.c_str());
            registry->Present(window, true);
        }
    } else {
        for (const auto& m : record->recipients) window->AddMember(&m);
        if (window->m_chatType == CHAT_ONE || window->m_chatType == CHAT_SEVERAL) window->AddMember(&record->sender);
        registry->Present(window, false);
    }
    if (voice) {
        if (wParam) window->SendChatMessage(WM_PRESENCE_VOICE, wParam, reinterpret_cast<LPARAM>(record));
        return 1;
    }
    std::string pass = text ? text : "";
    record->command = code;
    switch (code) {
        case CRC_INVITE:
        case CRC_RESULT:
        case CRC_START:
        case CRC_ACCEPT:
        case CRC_KICK:
            pass = parsed.GetListEntry(0);
            if (code == CRC_START && strcasecmp(parsed.GetListEntry(1).c_str(), "THUPDATE") == 0) {
                // The thread is the sender of the answer to this window's own START, and only that one.
                if (!answer) {
                    DebugTrace(MOD_QZ, 2, "Thread update from %d not taken", record->sender.id);
                } else {
                    window->m_chatType = window->m_chatType == CHAT_ONE || window->m_chatType == CHAT_SEVERAL
                                             ? CHAT_ROOM
                                             : window->m_chatType;
                    window->SetThreadNumber(record->sender.id, false);
                    registry->RoomJoined(record->sender.id);
                }
            }
            break;
        case CRC_NOTIFY:
            record->room = std::atoi(parsed.GetListEntry(0).c_str());
            pass = parsed.GetListEntry(1);
            window->OnRoomNotice(2, record->room, pass);
            break;
        case CRC_LIST: {
            const bool room = window->m_chatType == CHAT_ROOM;
            if (!room) {
                pass = window->ImText("im_acceptlist", "You join succeeded");
                window->OnRoomNotice(1, 0, std::string());
            }
            for (int i = 0; i < parsed.GetFieldCount(); ++i) {
                std::string entry = parsed.GetListEntry(i);
                if (entry.empty()) break;
                window->OnRoomNotice(1, i, entry);
            }
            // A room's member list carries no text for the window.
            if (room) return 1;
            break;
        }
        default:
            record->command = -1;
            break;
    }
    window->SendChatMessage(WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(pass.c_str()), reinterpret_cast<LPARAM>(record));
    return 1;
}
