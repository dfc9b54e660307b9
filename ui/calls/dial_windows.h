// The dial page with its number history and keypad, the DTMF keypad window, and the dial bar.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QUrl>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "ui/calls/calls_logic.h"
#include "ui/shell/pages.h"

class CDialComboBox;
class CRoundSkinButton;
class CSkinButton;
class CStyledButton;
class CWebBrowserHost;
class CWebControlSite;

namespace calls {

class CallsWindows;

class CDialDialog : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit CDialDialog(CallsWindows* windows, QWidget* parent = nullptr);
    QString TabTitle() const override;
    int TabImage() const override { return 2; }
    void OnLanguageChanged() override;
    void OnSkinChanged() override;

    int OnDialBarDial();                 // WM_CALL_DIAL
    void OnDialBarHangup();              // WM_CALL_HANGUP
    void OnKeypadDigit(int key);         // WM_KEYPAD_DIGIT
    void ButtonState();                  // dial bar buttons for this page
    CDialComboBox* Number() const { return number_; }
    const DialHistory& History() const { return history_; }
    CRoundSkinButton* Key(int index) const { return keys_[index]; }
    CStyledButton* DeleteButton() const { return delete_; }
    QLabel* HintLine() const { return hint_; }

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent*) override;
    void showEvent(QShowEvent*) override;
    void paintEvent(QPaintEvent*) override;

private:
    void SyncHistory();
    CallsWindows* windows_;
    CDialComboBox* number_;
    CRoundSkinButton* keys_[12];
    CStyledButton* delete_;
    QLabel* hint_;
    DialHistory history_;
    unsigned selection_ = 0;  // the field's remembered edit selection
};

// The DTMF keypad beside the main window.
class CKeypadDlg : public QDialog {
    Q_OBJECT
public:
    CKeypadDlg(QWidget* owner, std::function<void(int wParam, int lParam)> send);
    void SetCnxId(int id) { cnx_ = id; }
    int GetCnxId() const { return cnx_; }
    int ShownWidth() const { return shown_; }
    int FullWidth() const { return fullWidth_; }
    bool Sliding() const { return slide_.isActive(); }
    void SlideStep();       // one tick of the slide-out
    void StickToOwner();    // back to the owner's right edge
    QPoint Place() const;   // the owner's right edge, kept within the screen's available area
    void PressKey(int controlId);
    CSkinButton* Key(int value) const { return keys_[value]; }

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void moveEvent(QMoveEvent* e) override;

private:
    QWidget* owner_;
    std::function<void(int, int)> send_;
    CSkinButton* keys_[12];
    QTimer slide_;
    int cnx_ = -1, shown_ = 0, fullWidth_ = 0, fullHeight_ = 0;
    bool sticking_ = false;
};

// The bar with the dial and hang-up buttons and the small status page below them.
class CDialBar : public QWidget {
    Q_OBJECT
public:
    explicit CDialBar(QWidget* parent = nullptr);
    ~CDialBar() override;
    CSkinButton* DialButton() const { return dial_; }
    CSkinButton* HangupButton() const { return hangup_; }
    CWebBrowserHost* Page() const { return page_; }
    // The status address; without one set here the settings file's is used.
    void SetStatusUrl(const QString& url) { statusUrl_ = url, ownStatusUrl_ = true; }
    QString StatusUrl() const;
    // The status page, or the skin's local page when there is no status address.
    void Navigate();
    QUrl LocalPage() const;
    QString ShownPage() const { return shown_.isLocalFile() ? shown_.toLocalFile() : shown_.toString(); }
    void OnNavigateError();  // a page that cannot be loaded gives way to the local page
    void OnSkinChanged();    // the buttons' pictures and the page again
    bool busy = false;  // the frame is busy: both buttons stay off
    void EnableDialButton(bool on);
    void EnableHangupButton(bool on);

protected:
    bool event(QEvent* e) override;
    void resizeEvent(QResizeEvent*) override;

private:
    void Show(const QUrl& url);
    CSkinButton *dial_, *hangup_;
    CWebBrowserHost* page_;
    std::unique_ptr<CWebControlSite> site_;
    QString statusUrl_;
    bool ownStatusUrl_ = false;
    QUrl shown_;
};

}  // namespace calls
