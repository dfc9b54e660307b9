// CIMDlg: the chat window of one session: history view, input box, press-to-talk and Send, member area.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>
#include <QPointer>
#include <QTextCharFormat>
#include <QTimer>
#include <set>

#include "ui/chat/chat_session_registry.h"

class QComboBox;
class QLabel;
class QListWidget;
class QMenu;
class QMenuBar;
class QStackedWidget;
class QToolBar;
class QToolButton;
class QAction;
class CFormatRichEdit;
class CChatRichEdit;
class CShapedButton;
class CIMSkinPanel;
class CSplitterBar;
class CSkinToolBar;

namespace chat {
// ANSI bytes (the messaging and history code page) to and from the window's text.
QString FromAnsi(const std::string& text);
std::string ToAnsi(const QString& text);
// An [im_dlg]-style text of the language file.
QString ChatText(const char* section, const char* key, const char* english);
// Where a chat window opens: left and top at least 1, moved back onto the screen (27 pixels kept free at
// the bottom for the task bar), never smaller than 540 x 390.
QRect PlaceChatWindow(int left, int top, int width, int height, const QRect& screen);
// Asks before opening a link from a peer or a server; only http, https and mailto are ever opened.
bool ConfirmAndOpenLink(QWidget* parent, const QString& link);
// Opens a web or mail address; asks first only with ask (the user's own input box does not ask).
bool OpenLink(QWidget* parent, const QString& link, bool ask);
// Replaced by tests: the question asked before a link opens and the opener.
void SetLinkHooks(std::function<bool(const QString&)> confirm, std::function<void(const QUrl&)> open);
// The main window's chat font: a new chat window's input starts with it; the font chooser replaces it.
struct ChatFontSetting {
    QFont font;
    QColor colour;
    bool chosen = false;  // false: the application's own font
};
ChatFontSetting& AppChatFont();
// The font chooser of the chat window: a font with its style, size, effects and a colour; without
// styles it offers no style choice (the font keeps its own).
bool ChooseChatFont(QWidget* parent, QFont* font, QColor* colour, bool styles = true);
// Replaced by tests: runs instead of the chooser.
void SetFontChooserHook(std::function<bool(QFont*, QColor*)> hook);
// Replaced by tests: runs instead of the head-picture chooser (modal).
void SetHeadPictureHook(std::function<void(QWidget* parent)> hook);
}  // namespace chat

// What the chat window asks of the program around it.
struct ChatWindowHookSet {
    std::function<void(int peer)> viewRecords;  // show the chat records of a peer (0: all)
    std::function<void(const PresenceBuddyRecord& member)> callMember;  // place a call to a member
    // A member's place in the address book by its node id: -1 not there, 0 there, 1 there and blocked.
    std::function<int(const std::string& userId)> bookState;
    // Queues a block (13) or unblock (14) request; true when queued.
    std::function<bool(int command, const std::string& userId)> sendBlock;
    // Makes the chat invitation dialog for the window's members (not yet run); invite is the window's
    // InviteUsers. The window runs it, deletes it, and while it runs sends it the buddy notices
    // (WM_PRESENCE_BUDDY) and language changes (0x7E8) it hears, as window messages.
    using InviteFn = std::function<void(const std::vector<const PresenceBuddyRecord*>&, const std::string&)>;
    std::function<QDialog*(QWidget* parent, Account* account, std::set<int32_t> members, InviteFn invite)> invite;
    // Gives the invitation dialog its header, caption, confirm and cancel texts.
    std::function<void(QDialog* dialog, const QStringList& texts)> inviteTexts;
    // The contact-detail dialog of a member (modal), by its address-book id.
    std::function<void(QWidget* parent, const std::string& userId)> contactDetails;
};
ChatWindowHookSet& ChatWindowHooks();

class CIMDlg : public QDialog, public ChatWindowBase {
    Q_OBJECT
public:
    explicit CIMDlg(QWidget* parent = nullptr);
    ~CIMDlg() override;

    // ChatWindowBase
    bool CreateChatWindow() override;
    void ShowChatWindow() override;
    void BringToTop() override;
    bool IsActiveChatWindow() const override;
    LRESULT SendChatMessage(UINT message, WPARAM wParam, LPARAM lParam) override;
    void DestroyLater() override;
    void CloseWindow() override { close(); }

    // The capture probe (0 usable, 1 no device, 2 busy); replaceable for tests.
    static void SetCaptureProbe(std::function<int()> probe);
    // Whether Enter sends (1) or Ctrl+Enter (0).
    int m_bEnterSends = 1;
    // Set while the shell runs the window modally in its test mode.
    int m_bModal = 0;
    // The test mode: the peer's pane collapsed, the bar beside the member area gone while the skin hides it.
    void EnterTestMode();

    void OnSend();
    void OnPttPress();
    void OnPttRelease();
    void OnLanguageChanged();
    void InsertEmoticon(int index);
    // Turns emoticon codes in the input box from character position start over the given length into pictures;
    // returns 0 when it made a picture, else 1; removed (optional) gets the characters the pictures took less one each.
    int InsertEmoticonImages(int start, int length, int* removed = nullptr);
    // The input box's paste (0x812): the text goes in at the selection with its codes as pictures.
    LRESULT OnPasteText(const char* text);
    // The input box changed: codes near the caret become pictures; nothing passes 275 characters.
    void OnInputChange();
    // The picture menu (0x81F) and its commands 1311 to 1314.
    void ShowPictureMenu(int which, const QPoint& at);
    void OnPictureCommand(int id);
    CIMSkinPanel* PeerPanel() const { return peerPanel_; }
    CIMSkinPanel* OwnPanel() const { return ownPanel_; }
    void SetPeerPaneCollapsed(bool collapsed);
    void SetOwnPaneCollapsed(bool collapsed);
    bool MemberAreaShown() const;
    void ReloadPanelImage() override;
    void SetOneMemberTitle(void* unused) override;
    // The edit commands' enabling (copy, cut, paste, delete, undo).
    void RefreshEditCommands();
    QMenu* ContextMenuFor(QWidget* view);  // the menu a right click over the view shows (tests)
    bool LastClickInHistory() const { return lastClickInHistory_; }
    // What the window sees of a press or a key anywhere in it before the control does: the last click's
    // view, and characters typed outside the input box, which go to the input box. True: taken.
    bool PreTranslate(QObject* watched, QEvent* e);
    QString HintText() const;
    void ChooseFont();

    // Room control and the commands that reach beyond the window.
    void InviteUsers(const std::vector<PresenceBuddyRecord>& users, const std::string& extra);
    void OnInvite();
    void OnKick();
    void OnEnd();
    void OnCall();
    void OnBlock();
    // The font of the input box, used for the message bodies of the history as well.
    void ApplyInputFont(const QFont& font, const QColor& color = QColor());
    bool BlockPending() const { return blockPending_; }
    QAction* CommandAction(int id) const { auto it = actions_.find(id); return it == actions_.end() ? nullptr : it->second; }

    CChatRichEdit* Input() const { return input_; }
    CFormatRichEdit* History() const { return history_; }
    QComboBox* RecipientBox() const { return recipient_; }
    QListWidget* MemberList() const { return memberList_; }
    QString HistoryText() const;
    QString Caption() const { return windowTitle(); }
    QString TitleText() const;

protected:
    void ViewHeader(const std::string& sender, const std::string& receiver, int64_t time, bool priv) override;
    void ViewBody(const std::string& text) override;
    void ViewSystemNotice(const std::string& text, int64_t time, bool headed) override;
    void ViewNoticeHeader(int64_t time) override;
    void ViewLine(const std::string& text) override;
    void ViewOffline() override;
    void ViewSessionTimeout(const std::string& text) override;
    void ViewHeaderLine(const std::string& text) override;
    void ViewVoice(VoiceMessageEntry* entry, const std::string& line) override;
    void ViewMembersChanged() override;
    void ViewSessionTitle() override;
    void ViewInvitation(const std::string& invitation, int64_t time, bool headed) override;
    void ViewRoomClosed() override;
    void ViewShowMemberArea(bool show) override;
    void ViewSessionSetUp() override;
    void ViewFocusInput() override;
    RecipientChoice ViewRecipientChoice() const override;
    void PlayVoice(int messageId) override;
    void StopVoiceRecording() override;
    std::string Text(const char* key, const char* english) const override;

    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;
    void showEvent(QShowEvent* e) override;
    // Escape closes the window as its close box does.
    void reject() override;

private:
    void BuildWindow();
    // The title line, and the caption: im_title, then " - " and the title when it has one.
    void SetTitle(const QString& title, bool caption);
    // The title the texts give the session when they are loaded.
    QString LanguageTitle();
    void RefreshCommands();
    void AppendBody(const QString& text);
    void EndLine();
    QTextCursor NewHistoryLine();
    void OpenEmoticonPicker();
    void ViewRecords();
    void OnHistoryClick(const QString& anchor);
    void OnInputClick(const QPoint& at);
    void RefreshHint();
    void RefreshPanels();
    void FitSide();
    void MarkInputLinks();
    void SystemNotice(const std::string& text);
    // The format of notices: the input's, bold and 300 twips taller.
    QTextCharFormat NoticeFormat() const;
    // An <img> of the program's picture `id` for the history view ("" when the picture is missing).
    QString HistoryPicture(int id);
    void ApplyPlacement();
    void LayoutPanes();
    void LoadStateButtons();
    QIcon MemberIcon(const PresenceBuddyRecord& m, bool own) const;
    // Shows or hides the member area, without a word on the splitter beside it.
    void ShowMemberPane(bool show);
    // Whether the selected text of the input box mixes bold or italic states.
    bool InputSelectionMixesStyles() const;

    QMenuBar* menuBar_ = nullptr;
    CSkinToolBar* upper_ = nullptr;
    CSkinToolBar* format_ = nullptr;
    QLabel* title_ = nullptr;
    CIMSkinPanel* peerPanel_ = nullptr;
    CIMSkinPanel* ownPanel_ = nullptr;
    QToolButton* memberStrip_ = nullptr;
    QToolButton* memberArrow_ = nullptr;
    bool memberAreaShown_ = true;
    bool lastClickInHistory_ = false;
    bool inInputChange_ = false;
    int savedHistoryHeight_ = -1;  // postion
    int savedColumnWidth_ = -1;    // postion2
    QMenu* historyMenu_ = nullptr;
    QMenu* inputMenu_ = nullptr;
    QWidget* body_ = nullptr;
    QWidget* historyRow_ = nullptr;
    QWidget* composeRow_ = nullptr;
    CSplitterBar* bar1086_ = nullptr;  // between the history row and the input row
    CSplitterBar* bar1088_ = nullptr;  // between the history view and the member area
    int historyHeight_ = 160;          // as dragged; cut to the window when laid out
    int columnWidth_ = 400;
    bool hideHistory_ = false;
    bool sideBar_ = true;  // splitter 1088 beside a shown member area
    static constexpr int kMinColumn = 128, kMinMembers = 138;
    CFormatRichEdit* history_ = nullptr;
    CChatRichEdit* input_ = nullptr;
    CShapedButton* ptt_ = nullptr;
    CShapedButton* send_ = nullptr;
    QStackedWidget* side_ = nullptr;
    QListWidget* memberList_ = nullptr;
    QComboBox* recipient_ = nullptr;
    QLabel* memberLabel_ = nullptr;
    QLabel* recipientLabel_ = nullptr;
    QLabel* hint_ = nullptr;
    std::map<int, QAction*> actions_;
    QTimer pttTimer_;
    QTimer pttStopTimer_;  // the rest of a voice message's least half second
    QTimer sessionTimer_;
    bool closedByRegistry_ = false;
    std::vector<bool> invitationsAnswered_;
    // The character range of each invitation's two answer links, removed once it is answered.
    std::vector<std::pair<int, int>> invitationLinks_;
    bool leaving_ = false;
    // The participants word after a count: the texts' word once they were loaded in a several-user window.
    QString chatCount_ = QString::fromUtf8("个参与者");
    // A chooser entry's text since a block answer relabelled it ("name (Block)"), by member id.
    std::map<int, QString> chooserText_;
    // The member a block command or request is waiting for (-1: none).
    bool blockPending_ = false;
    int blockMember_ = -1;
    // The target of the block command: the only selected row, or the peer of a one-to-one chat.
    const PresenceBuddyRecord* BlockTarget() const;
    // The member a member-list row shows (a room's rows are its listed members).
    const PresenceBuddyRecord* RowMember(int id) const;
    LRESULT OnBlockRequest(const char* userId);
    // A member's presence changed (the frame's buddy notice): rows, title and commands follow it.
    LRESULT OnPresenceChange(WPARAM wParam, const PresenceBuddyRecord* record);
    // The open invitation dialog and its texts ([invite_dlg] header, title, confirm, cancel).
    QPointer<QDialog> inviteDialog_;
    QStringList inviteTexts_;
    LRESULT OnBlockResult(bool unblock, WPARAM result, const char* userId);
    QString BookSuffix(const PresenceBuddyRecord& m) const;
    QTextCharFormat inputFormat_;  // set by the font chooser; empty: the default look
};

// The chat side of the program: the registry, the records and the hooks into the main frame.
namespace chat {
CChatSessionRegistry* Registry();
ChatRecordFile* Records();
// Made at sign-in: the records root below the profile and the own names.
void SetSignedIn(const std::string& recordsRoot, const std::string& ownName);
// Opens the chat-record browser; with select, on a peer's folder (0: the own folder).
void ShowRecords(int peer, bool select);
// Opens the one SMS dialog with the numbers of an address-book node (kind 0 group, 1 contact, 2 card).
void OpenSms(int kind, const char* id);
// Opens the one chat-room list.
void ShowChatRooms();
// Installs the chat windows into the main frame's incoming-message routing and close-all.
void InstallChat();
}  // namespace chat
