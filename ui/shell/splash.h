// CSplashWindow: the splash picture shown while the frame is created; a click or key closes it.
#pragma once

#include <QPixmap>
#include <QWidget>

class CSplashWindow : public QWidget {
    Q_OBJECT
public:
    static void EnableSplash(bool on);
    static bool Enabled();
    // Shows the one splash when enabled and none exists, when the skin has its picture; it hides itself
    // after 3000 ms.
    static CSplashWindow* ShowSplash(QWidget* parent);
    static CSplashWindow* Current();
    static void HideSplash();
    // The picture: the skin's splash.bmp with the slogan in the program's language (one drawn in its
    // place for the gallery when the skin has none).
    static QPixmap Picture();
    // The application-wide filter: a key or button press while the splash shows hides it and is eaten.
    static bool FilterAppMessage(QEvent* event);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    explicit CSplashWindow(QWidget* parent);
    ~CSplashWindow() override;
    QPixmap picture_;
};
