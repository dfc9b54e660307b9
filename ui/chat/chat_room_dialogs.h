// The chat-room list, the joining of a room and the "Please wait..." dialog that lasts until the room answers.
#pragma once

#include <QDialog>
#include <QPointer>
#include <QTimer>
#include <functional>
#include <string>
#include <vector>

#include "ui/chat/chat_session_registry.h"

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

// One room of the access server's list.
struct ChatRoomEntry {
    std::string id;
    QString name;
    int passwordFlag = 0;  // 1: the room asks for a password
};

class CChatWaitDlg : public QDialog {
    Q_OBJECT
public:
    static constexpr int kTimeoutMs = 60000;
    explicit CChatWaitDlg(CChatSessionRegistry* registry, QWidget* parent = nullptr);
    ~CChatWaitDlg() override;
    void SetText(const QString& text);
    // Set when the user stopped the wait or it timed out.
    bool m_bEndedByUser = false;
    // One timer tick: the progress bar steps by 100 of its 60000; full, the wait has timed out.
    void Tick();
    int Progress() const;
    // The busy picture runs while the dialog waits.
    bool Animating() const;
    QString ButtonText() const;
    QString Text() const;
    // Ends the wait because the room answered.
    void Answered();
    // The window of the room joined: only its answer ends the wait.
    void SetRoomWindow(const void* window) { roomWindow_ = window; }
    bool WaitsFor(const void* window) const { return window && window == roomWindow_; }
    void done(int r) override;

private:
    CChatSessionRegistry* registry_;
    const void* roomWindow_ = nullptr;
    QTimer timer_;
    QLabel* label_;
    QProgressBar* progress_;
    QPushButton* button_;
    QWidget* animation_;
};

// Joins a room (null: none chosen, which is said in a box): asks for the identity to enter under (and the
// password of a room that has one), opens the room's chat window, hides the room list that started it and
// waits for the room's answer; a wait the user ends closes the room's window. False when abandoned before
// the room's window was asked for.
bool CChatRoomJoin(QWidget* parent, CChatSessionRegistry* registry, const ChatRoomEntry* room, const QString& itemText);

class CChatRoomDlg : public QDialog {
    Q_OBJECT
public:
    CChatRoomDlg(CChatSessionRegistry* registry, QPointer<CChatRoomDlg>* ownerSlot = nullptr, QWidget* parent = nullptr);
    ~CChatRoomDlg() override;
    // The list answer: code 0 with a list fills the tree with its rooms (none for an empty list); an
    // error or a missing list says there are no rooms.
    void OnRoomList(int code, const std::vector<ChatRoomEntry>* rooms);
    // Joins the selected room: asks what is needed, opens the room's window, waits for its answer.
    void Join();
    void OnLanguageChanged();
    // Escape: the frame's list goes away, as closing it does.
    void reject() override;
    QTreeWidget* Tree() const { return tree_; }

    // Replaceable for tests: how the identity and password dialogs run (their exec), the boxes and the wait.
    static void SetHooks(std::function<int(QDialog*)> exec, std::function<void(const QString&)> box,
                         std::function<void(CChatWaitDlg*)> waiting);
    // Sends the list request; replaceable for tests.
    static void SetListRequest(std::function<void()> request);

private:
    CChatSessionRegistry* registry_;
    QPointer<CChatRoomDlg>* ownerSlot_;
    QTreeWidget* tree_;
    QLabel* tip_;
    QPushButton *enter_, *cancel_;
    std::vector<ChatRoomEntry> rooms_;
};
