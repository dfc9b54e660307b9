// CSystemTray: the program's icon in the notification area with its animation, tip and menu; the
// status bar's status menu.
#include "ui/shell/system_tray.h"

#include <algorithm>

#include <QAction>
#include <QCursor>
#include <QSystemTrayIcon>
#include <QWidget>

#include "platform/sync.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"

namespace shell {

namespace {

// Menu texts are at most 32 characters.
QString MenuText(const char* section, const char* key, const char* builtIn) {
    return LangText(section, key, builtIn).left(32);
}

void Apply(TrelMenu* menu, int command, const MenuItemState& m) {
    if (QAction* a = menu->FindCommand(command)) {
        a->setCheckable(m.checked);
        a->setChecked(m.checked);
        a->setEnabled(m.enabled);
    }
}

}  // namespace

TrelMenu* BuildStatusMenu(QWidget* owner, int loginState, int status) {
    static const char* const pictures[2] = {"onlinemi.bmp", "offlinemi.bmp"};
    auto* menu = new TrelMenu(owner);
    for (int i = 0; i < 2; ++i) {
        const QImage picture = ctl::LoadBitmapFile(SkinFile(pictures[i]));
        if (picture.isNull()) {
            delete menu;
            return nullptr;
        }
        menu->AppendBitmapMenu(MF_OWNERDRAW, ID_STATUS_ONLINE + i,
                               MenuText("status_popup_menu", i == 0 ? "0" : "1", "error"), picture);
    }
    // The item of the status shown, by position: busy and the others have none here.
    for (int i = 0; i < 2; ++i) Apply(menu, ID_STATUS_ONLINE + i, StatusMenuItem(i, loginState, status));
    return menu;
}

TrelMenu* BuildTrayMenu(QWidget* owner, bool frameExists, int loginState, int status) {
    const QImage online = ctl::LoadBitmapFile(SkinFile("trayOnline.bmp"));
    const QImage offline = ctl::LoadBitmapFile(SkinFile("trayOffline.bmp"));
    if (online.isNull() || offline.isNull()) return nullptr;
    auto* menu = new TrelMenu(owner);
    TrelMenu* sub = menu->AppendPopup(MenuText("tray_popup_menu", "0", "更改状态(&W)"));
    sub->AppendBitmapMenu(MF_OWNERDRAW, ID_STATUS_ONLINE, MenuText("tray_popup_menu", "00", "上线(&O)"), online);
    sub->AppendBitmapMenu(MF_OWNERDRAW, ID_STATUS_OFFLINE, MenuText("tray_popup_menu", "01", "离线(&F)"), offline);
    menu->AppendMenu(MF_OWNERDRAW, ID_SHOW_WINDOW, MenuText("tray_popup_menu", "1", "显示 Brindle(&Y)"));
    menu->AppendMenu(MF_SEPARATOR, 0, QString());
    menu->AppendMenu(MF_OWNERDRAW, ID_CLOSE_ALL, MenuText("tray_popup_menu", "2", "退出(&Z)"));
    for (int i = 0; i < 2; ++i) Apply(menu, ID_STATUS_ONLINE + i, TrayMenuItem(i, frameExists, loginState, status));
    return menu;
}

QString CutTrayTip(const QString& tip) {
    if (tip.size() <= kTrayTipMax) return tip;
    QString cut = tip.left(kTrayTipMax);
    if (cut.back().isHighSurrogate()) cut.chop(1);  // never half a character
    return cut;
}

}  // namespace shell

// ---------------------------------------------------------------------------------------------
CSystemTray::CSystemTray(QObject* parent) : QObject(parent) {
    connect(&m_timer, &QTimer::timeout, this, &CSystemTray::OnAnimationTick);
}

CSystemTray::~CSystemTray() {
    StopAnimation();
    RemoveIcon();
    m_animationFrames.clear();
}

bool CSystemTray::Create(QWidget* parent, UINT callbackMessage, const QString& tip, const QIcon& icon, UINT id) {
    m_owner = parent;
    m_uCallbackMessage = callbackMessage;
    m_uID = id;
    m_icon = icon;
    m_tip = shell::CutTrayTip(tip);
    m_bIconCreated = 0;
    if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
    if (!m_pIcon) {
        m_pIcon = new QSystemTrayIcon(this);
        connect(m_pIcon, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason r) {
            // Desktops send one activation for a click (most never a double click): it does what the
            // double click does.
            switch (r) {
                case QSystemTrayIcon::DoubleClick:
                case QSystemTrayIcon::Trigger: OnIconNotify(m_uID, shell::kTrayLButtonDblClk); break;
                case QSystemTrayIcon::Context: OnIconNotify(m_uID, shell::kTrayRButtonUp); break;
                case QSystemTrayIcon::MiddleClick: OnIconNotify(m_uID, shell::kTrayMButtonUp); break;
                default: break;
            }
        });
    }
    m_pIcon->setIcon(m_icon);
    m_pIcon->setToolTip(m_tip);
    m_pIcon->show();
    m_bIconCreated = 1;
    m_bIconHidden = 0;
    return true;
}

void CSystemTray::RemoveIcon() {
    if (!m_bIconCreated) return;
    if (m_pIcon) m_pIcon->hide();
    m_bIconCreated = 0;
}

void CSystemTray::HideIcon() {
    if (!m_bIconCreated || m_bIconHidden) return;
    if (m_pIcon) m_pIcon->hide();
    m_bIconHidden = 1;
}

void CSystemTray::ShowIcon() {
    if (!m_bIconCreated || !m_bIconHidden) return;
    Show(m_icon);
    m_bIconHidden = 0;
}

void CSystemTray::Show(const QIcon& icon) {
    if (!m_pIcon) return;
    m_pIcon->setIcon(icon);
    m_pIcon->setToolTip(m_tip);
    m_pIcon->show();
}

bool CSystemTray::SetIcon(const QIcon& icon) {
    m_icon = icon;
    if (m_bIconCreated && !m_bIconHidden && m_pIcon) m_pIcon->setIcon(icon);
    return m_bIconCreated != 0;
}

bool CSystemTray::SetTipText(const QString& tip) {
    m_tip = shell::CutTrayTip(tip);
    if (m_bIconCreated && m_pIcon) m_pIcon->setToolTip(m_tip);
    return m_bIconCreated != 0;
}

void CSystemTray::SetAnimationFrames(const QList<QIcon>& frames) { m_animationFrames = frames; }

bool CSystemTray::StartAnimation(int delayMs, int seconds) {
    // Without frames there is no next one to take (its index is taken modulo their number).
    if (m_animationFrames.isEmpty()) return false;
    StopAnimation();
    m_nFrameIndex = 0;
    m_animationStart = GetTickCount();
    m_nAnimationSeconds = seconds;
    m_hIconBeforeAnimation = m_icon;
    m_nAnimationTimer = shell::kTrayAnimationTimer;
    m_timer.start(std::max(delayMs, 10));  // the system's shortest timer
    return true;
}

void CSystemTray::OnAnimationTick() {
    if (!m_nAnimationTimer) return;
    if (m_nAnimationSeconds > 0 &&
        plat::TickElapsed(GetTickCount(), m_animationStart) >= static_cast<DWORD>(m_nAnimationSeconds) * 1000u) {
        StopAnimation();
        return;
    }
    NextAnimationFrame();
}

void CSystemTray::NextAnimationFrame() {
    if (m_animationFrames.isEmpty()) return;
    m_nFrameIndex = (m_nFrameIndex + 1) % static_cast<int>(m_animationFrames.size());
    const QIcon frame = m_animationFrames[m_nFrameIndex];
    if (m_bIconCreated && !m_bIconHidden && m_pIcon) m_pIcon->setIcon(frame);
}

void CSystemTray::StopAnimation() {
    if (!m_nAnimationTimer) return;
    m_timer.stop();
    m_nAnimationTimer = 0;
    SetIcon(m_hIconBeforeAnimation);
}

LRESULT CSystemTray::OnIconNotify(WPARAM id, LPARAM message) {
    if (id != m_uID) return 0;
    if (message == shell::kTrayLButtonDblClk) {
        if (onCommand) onCommand(ID_SHOW_WINDOW);
    } else if (message == shell::kTrayRButtonUp) {
        // The frame comes to the foreground as the menu opens; one hidden to the tray stays hidden.
        // The frame makes its tray without a parent: then the frame is the running program's.
        QWidget* owner = m_owner ? m_owner.data() : static_cast<QWidget*>(MainFrame());
        if (owner && owner->isVisible()) {
            owner->raise();
            owner->activateWindow();
        }
        int loginState = LOGIN_SIGNED_OUT, status = STATUS_OFFLINE;
        const bool frame = frameState && frameState(&loginState, &status);
        TrelMenu* menu = shell::BuildTrayMenu(nullptr, frame, loginState, status);
        if (!menu) return 1;
        connect(menu, &QMenu::triggered, this, [this](QAction* a) {
            if (onCommand && a->data().isValid()) onCommand(a->data().toInt());
        });
        if (trackMenu) {
            trackMenu(menu, QCursor::pos());
            delete menu;
        } else {
            connect(menu, &QMenu::aboutToHide, menu, &QObject::deleteLater);
            menu->popup(QCursor::pos());
        }
    }
    return 1;
}
