// CSystemTray: the program's icon in the notification area with its animation, tip and menu; the
// status bar's status menu.
#pragma once

#include <QIcon>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QPoint>
#include <QString>
#include <QTimer>
#include <functional>

#include "platform/wintypes.h"

class QSystemTrayIcon;
#include <QWidget>
class TrelMenu;

namespace shell {

inline constexpr int kTrayTipMax = 63;          // characters of a tip, the terminator aside
inline constexpr int kTrayAnimationTimer = 4567;
inline constexpr UINT kTrayLButtonDblClk = 0x0203;  // the mouse messages the icon reports
inline constexpr UINT kTrayRButtonUp = 0x0205;
inline constexpr UINT kTrayMButtonUp = 0x0208;

// The status bar's menu: Online (3114) and Offline (3115) with the skin's "onlinemi.bmp" and
// "offlinemi.bmp". Signed out or in, the item of the status shown is checked and grey; signing in
// or out, both are grey. Null when a picture cannot be loaded (no menu then).
TrelMenu* BuildStatusMenu(QWidget* owner, int loginState, int status);
// The tray's menu: the status submenu (3114 "trayOnline.bmp", 3115 "trayOffline.bmp"), show the
// window (2041), a separator, exit (2042). Null when a status picture cannot be loaded.
TrelMenu* BuildTrayMenu(QWidget* owner, bool frameExists, int loginState, int status);
// A tip as the notification area holds it: at most 63 characters.
QString CutTrayTip(const QString& tip);

}  // namespace shell

class CSystemTray : public QObject {
    Q_OBJECT
public:
    explicit CSystemTray(QObject* parent = nullptr);
    ~CSystemTray() override;

    // Adds the icon with its tip when the system has a notification area (m_bIconCreated). Without one
    // the icon's state is still kept (icon, tip, animation) but nothing is shown.
    bool Create(QWidget* parent, UINT callbackMessage, const QString& tip, const QIcon& icon, UINT id);
    void RemoveIcon();
    // Taken away for a while and put back (the notification area was re-created).
    void HideIcon();
    void ShowIcon();
    bool SetIcon(const QIcon& icon);
    QIcon GetIcon() const { return m_icon; }
    bool SetTipText(const QString& tip);
    QString GetTipText() const { return m_tip; }

    // One frame per icon; the animation shows them in turn every delay ms, for seconds (0 or less:
    // until stopped), then the icon shown before it again.
    void SetAnimationFrames(const QList<QIcon>& frames);
    bool StartAnimation(int delayMs, int seconds);
    void NextAnimationFrame();
    void StopAnimation();
    bool Animating() const { return m_nAnimationTimer != 0; }
    int FrameIndex() const { return m_nFrameIndex; }
    // One tick of the animation timer (the timer calls it; tests call it with the test clock).
    void OnAnimationTick();

    // A mouse message on the icon: a double click brings the window to the front, the right button
    // opens the tray menu. 1 for the icon's own id, 0 for another.
    virtual LRESULT OnIconNotify(WPARAM id, LPARAM message);

    // The frame's sign-in state and status for the menu; unset: no frame.
    std::function<bool(int* loginState, int* status)> frameState;
    // A command of the menu (and 2041 for the double click) goes to the frame.
    std::function<void(int command)> onCommand;
    // Shows the menu at the point; tests replace it to look at the menu (it is deleted afterwards).
    std::function<void(TrelMenu* menu, const QPoint& at)> trackMenu;
    QSystemTrayIcon* Icon() const { return m_pIcon; }

    int m_bIconCreated = 0;
    int m_bIconHidden = 0;
    UINT m_uCallbackMessage = 0;
    UINT m_uID = 0;
    int m_nDefaultMenuItem = 0;
    int m_bDefaultItemByPosition = 1;

private:
    void Show(const QIcon& icon);
    QSystemTrayIcon* m_pIcon = nullptr;
    QPointer<QWidget> m_owner;  // the frame, brought forward for the right button's menu
    QIcon m_icon;
    QString m_tip;
    QList<QIcon> m_animationFrames;
    QTimer m_timer;
    int m_nAnimationTimer = 0;
    int m_nFrameIndex = 0;
    DWORD m_animationStart = 0;
    int m_nAnimationSeconds = 0;
    QIcon m_hIconBeforeAnimation;
};
