// CSplashWindow: the splash picture shown while the frame is created; a click or key closes it.
#include "ui/shell/splash.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QTimer>

#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"

namespace {
bool g_enabled = false;
CSplashWindow* g_splash = nullptr;
}  // namespace

void CSplashWindow::EnableSplash(bool on) { g_enabled = on; }
bool CSplashWindow::Enabled() { return g_enabled; }
CSplashWindow* CSplashWindow::Current() { return g_splash; }

QPixmap CSplashWindow::Picture() {
    // The skin's picture as it stands; the gallery draws a plain band for a skin without one.
    const QImage img = ctl::LoadBitmapFile(shell::SkinFile("splash.bmp"));
    if (!img.isNull()) return QPixmap::fromImage(img);
    QPixmap pm(420, 260);
    QPainter p(&pm);
    QLinearGradient g(0, 0, 420, 260);
    g.setColorAt(0, QColor(0x2F, 0x6F, 0xD6));
    g.setColorAt(1, QColor(0x16, 0x3F, 0x8C));
    p.fillRect(pm.rect(), g);
    QFont f(QStringLiteral("WenQuanYi Micro Hei"));
    f.setPixelSize(34);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 126, 420, 44), Qt::AlignCenter, "Tessaly");
    return pm;
}

CSplashWindow* CSplashWindow::ShowSplash(QWidget* parent) {
    if (!g_enabled || g_splash) return g_splash;
    if (ctl::LoadBitmapFile(shell::SkinFile("splash.bmp")).isNull()) return nullptr;  // a skin without one has no splash
    g_splash = new CSplashWindow(parent);
    g_splash->show();
    g_splash->repaint();
    QTimer::singleShot(3000, g_splash, [] { HideSplash(); });
    return g_splash;
}

void CSplashWindow::HideSplash() {
    if (!g_splash) return;
    g_splash->hide();
    g_splash->deleteLater();
    g_splash = nullptr;
}

bool CSplashWindow::FilterAppMessage(QEvent* event) {
    if (!g_splash || !g_splash->isVisible()) return false;
    switch (event->type()) {
        case QEvent::KeyPress:
        case QEvent::MouseButtonPress:
        case QEvent::NonClientAreaMouseButtonPress:
            HideSplash();
            return true;
        default: return false;
    }
}

CSplashWindow::CSplashWindow(QWidget* parent)
    : QWidget(parent, Qt::SplashScreen | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), picture_(Picture()) {
    setObjectName("splash");
    setFixedSize(picture_.size());
    if (QScreen* s = QGuiApplication::primaryScreen()) move(s->geometry().center() - rect().center());
}

CSplashWindow::~CSplashWindow() {
    if (g_splash == this) g_splash = nullptr;
}

void CSplashWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.drawPixmap(0, 0, picture_);
}
