// The registry of open chat windows: chat ids, finding the window of a session, opening chats, the chat
// lock, broadcasts to every window.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>
#include <set>
#include <string>
#include <vector>

#include "platform/sync.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_window_core.h"

// What the registry needs of a window beyond its session logic.
class ChatWindowBase : public ChatWindowCore {
 public:
    // Makes the (hidden) window; false when it cannot be made.
    virtual bool CreateChatWindow() { return true; }
    virtual void ShowChatWindow() {}
    virtual void BringToTop() {}
    virtual bool IsActiveChatWindow() const { return false; }
    virtual bool HasWindowHandle() const { return true; }
    virtual LRESULT SendChatMessage(UINT message, WPARAM wParam, LPARAM lParam) { (void)message, (void)wParam, (void)lParam; return 0; }
    virtual void ReloadPanelImage() {}
    // The title of a window made for a message whose members could not be resolved: one participant.
    virtual void SetOneMemberTitle(void* unused) { (void)unused; }
    // Closes the window as its own close button does (it leaves its room and the registry).
    virtual void CloseWindow() {}
    // Ends the window once the current message has been handled (never from inside its own handler).
    virtual void DestroyLater() { delete this; }
};

class CChatSessionRegistry {
 public:
    using Factory = std::function<ChatWindowBase*()>;

    explicit CChatSessionRegistry(void* owner = nullptr);
    virtual ~CChatSessionRegistry();

    void SetFactory(Factory factory) { factory_ = std::move(factory); }
    void SetCounter(uint16_t counter) { counter_ = counter; }
    uint16_t Counter() const { return counter_; }

    // TRUE when the 2000 ms wait timed out; the lock is not re-entrant, so a nested Lock times out too.
    BOOL Lock();
    void Unlock();
    // Where the program-wide chat semaphore comes from; while it answers none the registry uses its own.
    void UseSharedSemaphore(std::function<plat::Semaphore*()> shared) { shared_ = std::move(shared); }

    Account* GetOwnAccount();
    std::string MakeChatId(int type);
    static std::string ChatIdBase(const std::string& chatId);
    static std::string SplitChatId(const std::string& chatId, int* number, int* privateFlag);

    ChatWindowBase* CreateChatDialog(int type, int openedByUser, const char* peerKey);
    ChatWindowBase* FindByChatId(const std::string& chatId);
    ChatWindowBase* FindByMembers(int type, const std::vector<PresenceBuddyRecord>* members, const char* key,
                                  const PresenceBuddyRecord* extra);
    static int MembersEqual(const std::vector<PresenceBuddyRecord>& a, const std::vector<PresenceBuddyRecord>& b);
    int OpenChat(int type, const std::vector<PresenceBuddyRecord>* members, const char* key, ChatSessionRecord* record,
                 int show);
    int ResolveMembers(int type, const PresenceMessageRecord* record, std::vector<PresenceBuddyRecord>* out);
    int ContainsDialog(const ChatWindowBase* window) const;
    int RemoveDialog(ChatWindowBase* window);
    void Clear() { windows_.clear(); }
    void Broadcast(UINT message, WPARAM wParam, LPARAM lParam);
    void BroadcastLanguageChanged();
    void ReloadPanelImages();
    // Sign-out has begun or the messaging link is gone: the windows keep no account, so nothing they do
    // from here on (a room's leave on closing included) reaches the service or reads an account that the
    // sign-out frees.
    void ForgetAccount();
    // Closes every window. flag 1, going offline: the windows forget the account first and close without
    // a word to the service; 0, the frame closes while still signed in: a room is left as usual.
    void CloseAll(int flag);

    const std::vector<ChatWindowBase*>& Windows() const { return windows_; }
    void* waitDialog = nullptr;

    // Name lookup of ResolveMembers (the address book); null keeps the incoming names. Answers 0 when the
    // book has no identity with that uid, 1 when it filled the name, contact id and picture name, 2 when
    // it filled the name only (the identity has no parent contact).
    using NameLookup = std::function<int(int userId, PresenceBuddyRecord* member)>;
    void SetNameLookup(NameLookup lookup) { lookup_ = std::move(lookup); }
    // A room's thread still sends here though no window is in the room (the program ended without
    // leaving it): leave it, once per thread. False when it was left already.
    bool LeaveStaleRoom(int thread, Account* account);
    // A window joined the thread (again).
    void RoomJoined(int thread) { leftThreads_.erase(thread); }
    // How a window that received a message comes forward (created: the message made it). Unset: shown
    // at once, unless it is the active window.
    using Presenter = std::function<void(ChatWindowBase* window, bool created)>;
    void SetPresenter(Presenter presenter) { presenter_ = std::move(presenter); }
    void Present(ChatWindowBase* window, bool created);

 private:
    [[maybe_unused]] void* owner_ = nullptr;  // the window that made the registry
    uint16_t counter_ = 0;
    std::vector<ChatWindowBase*> windows_;
    Account* ownAccount_ = nullptr;
    Factory factory_;
    NameLookup lookup_;
    Presenter presenter_;
    std::set<int> leftThreads_;
    plat::Semaphore semaphore_{1, 1};
    plat::Semaphore* taken_ = nullptr;  // the semaphore Lock took
    std::function<plat::Semaphore*()> shared_;
};

int OpenGroupChat(CChatSessionRegistry* registry, const char* key, const char* name);
int OpenChatWithUsers(CChatSessionRegistry* registry, const std::vector<PresenceBuddyRecord>& members);

// The main window's incoming-message routing: finds or creates the window and hands it the message.
// Takes the text (malloc). Chat-room commands are obeyed only when they come from the robot, from the
// thread of an open room, or as the first answer to a window's own START while it waits (whose sender,
// on a THUPDATE, becomes the thread); INVITE, a question to the user, and THUPDATE, SMSG and JOIN,
// which carry nothing to obey, are taken from anyone.
LRESULT RouteIncomingMessage(CChatSessionRegistry* registry, UINT message, WPARAM wParam, PresenceMessageRecord* record);
