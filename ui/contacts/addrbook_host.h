// What the address-book windows ask of the main frame: presence, the dial bar, calls, chats, SMS,
// frame commands, access-server requests, message boxes and modal runs. The frame's own host
// reaches the real frame and services; tests put a recording host in its place.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

struct AddrNode;
class QDialog;
class QWidget;

namespace contacts {

// Frame commands the page and trees invoke (the numbers of the menus that name them).
enum BookCommand : int {
    CMD_NEW_GROUP = 32905,
    CMD_ADD_CONTACT = 32906,
    CMD_NEW_USER = 32907,
    CMD_DELETE_GROUP = 40001,
    CMD_DELETE_USER = 40002,
    CMD_START_CONFERENCE = 32837,
    CMD_ADD_TO_CONFERENCE = 32838,
    CMD_INVITE_TO_CONFERENCE = 32839,
    CMD_SEARCH = 2847,
    CMD_BLOCK_LIST = 40003,
    CMD_MODIFY_NICKNAME = 40004,
};

// Window messages of the address book (numbers of the frame's table).
inline constexpr unsigned WM_ADDRBOOK_CHAT = 0x4D0;
inline constexpr unsigned WM_ADDRBOOK_TOGGLE_BLOCK = 0x4DA;
inline constexpr unsigned WM_ADDRBOOK_DETAILS = 0x4DB;
inline constexpr unsigned WM_ADDRBOOK_CALL = 0x4DC;
inline constexpr unsigned WM_ADDRBOOK_IM = 0x4DD;
inline constexpr unsigned WM_ADDRBOOK_SHARE_LINK = 0x81D;
inline constexpr unsigned WM_SEARCH_USERS_RESULT = 0x817;
inline constexpr unsigned WM_SEARCH_GROUPS_RESULT = 0x818;
inline constexpr unsigned WM_OPEN_SMS = 0x81A;
inline constexpr unsigned WM_BLOCK_BROADCAST = 0x823;

class BookHost {
public:
    virtual ~BookHost() = default;
    // Presence status of the status bar (1 = offline).
    virtual int PresenceStatus() const;
    virtual bool DialEnabled() const;
    // A call page that is talking or still calling; any call page.
    virtual bool BusyCallPage() const;
    virtual bool AnyCallPage() const;
    // A call page whose call is talking (answered, not ended).
    virtual bool TalkingCallPage() const;
    // True when the number is the user's own (the frame has said so).
    virtual bool IsCallingSelf(const QString& number);
    // True when a call page of that number exists; it is then made the active page.
    virtual bool ShowCallPage(const QString& number);
    virtual void CallContact(AddrNode* contact, uint32_t type, const QString& number);
    // A one-to-one (type 0) or several-user (type 4) chat with these messaging identities.
    virtual void OpenChat(int type, const std::vector<AddrNode*>& identities);
    // A text to the messaging identities of a group's members, one chat id for all.
    // -1 when the message could not be sent.
    virtual int SendGroupText(const QString& text, const std::vector<AddrNode*>& identities);
    // The SMS window with the numbers of a group (0), contact (1) or card (2).
    virtual void OpenSms(int op, const std::string& id);
    virtual void FrameCommand(int command, AddrNode* node);
    virtual int SendCommand(int command, const char* s1, const char* s2, int i1, const char* s3, const char* s4, int i2);
    virtual int PostRequest(int command, void* data, uint32_t kind);
    // Opens a checked http(s) or mailto address.
    virtual void OpenUrl(const QString& url);
    // A message box on the main window; icon: BOX_WARNING (exclamation), BOX_INFORMATION or BOX_PLAIN.
    enum BoxIcon : int { BOX_WARNING = 0, BOX_INFORMATION = 1, BOX_PLAIN = 2 };
    virtual void Box(const QString& text, const QString& title, int icon = BOX_WARNING);
    // A Yes/No question; true for Yes.
    virtual bool Ask(const QString& text, const QString& title);
    // Runs a modal dialog; the dialog's result.
    virtual int Exec(QDialog* dialog);
    // Tells the open chat windows (block and unblock requests).
    virtual void BroadcastToChats(unsigned message, uintptr_t wParam, const std::string& id);
    // The group message dialog of the chat windows: the text to send, false when cancelled.
    virtual bool AskGroupMessage(QString* text);
    // The dial bar's dial and hang-up buttons while the Contacts page is the current page.
    virtual void SetDialButtons(bool dial, bool hangup);
    // Presses the dial button of the dial bar (double-click on an item).
    virtual void PressDialButton();
};

// The host the page uses unless one is given.
BookHost* DefaultHost();
// The chat windows belong to the chat subsystem; it installs how a chat is opened.
std::function<void(int type, const std::vector<AddrNode*>& identities)>& ChatOpener();
// The group message dialog and the sending of a group message belong to the chat subsystem too.
struct GroupMessageHooks {
    std::function<bool(QWidget* parent, QString* text)> ask;  // false when cancelled
    std::function<int(const QString& text, const std::vector<AddrNode*>& identities)> send;
};
GroupMessageHooks& GroupMessenger();

}  // namespace contacts
