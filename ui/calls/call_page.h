// The call page of the main sheet: one call or conference shown from its page model.
#pragma once

#include <QLabel>
#include <QPointer>
#include <QScrollBar>
#include <QTimer>
#include <functional>
#include <memory>
#include <vector>

#include "ui/calls/call_page_model.h"
#include "ui/shell/pages.h"

class TrelMenu;

namespace calls {

// Menu commands of the call page.
enum : int { ID_CALL_HANGUP = 2035, ID_CALL_SENDIM = 2036, ID_CALL_ADDCONTACT = 2037, ID_CALL_HOLD = 2038, ID_CALL_KEYPAD = 2065 };

// One member tile: picture, name and state, each line scrolling when it is too wide.
class CAttendeePic : public QWidget {
    Q_OBJECT
public:
    explicit CAttendeePic(QWidget* parent = nullptr);
    void SetNameText(const QString& t);
    void SetStateText(const QString& t);
    void SetImagePath(const QString& path);
    void SetBackColor(const QColor& c);
    QColor BackColor() const { return back_; }
    // The font of the name (1) or state (2) line: the language file's face and height when it names them.
    QFont LineFont(int line) const;
    void SetItemData(int v) { item_ = v; }
    int GetItemData() const { return item_; }
    void MoveTo(int x, int y);
    // Height of a text line (t): the name's band starts at 100, the state's at t + 102.
    int TextHeight() const;
    // Whether the name (1) or state (2) line is too wide to stand still and scrolls.
    bool LineScrolls(int line) const;
    bool MarqueeRunning(int line) const { return (line == 1 ? nameTimer_ : stateTimer_).isActive(); }
    static constexpr int kMarqueeWidth = 103;
    QString NameText() const { return name_; }
    QString StateText() const { return state_; }
    // One step of the name or state marquee (timers 1 and 2); the offset in bytes of the text.
    void MarqueeStep(int line);
    int MarqueeOffset(int line) const { return line == 1 ? nameOffset_ : stateOffset_; }

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString name_, state_, image_;
    QString face_;
    int fontHeight_ = 0;
    QColor back_;
    int item_ = 1;
    int nameDir_ = 1, stateDir_ = 1, nameOffset_ = 0, stateOffset_ = 0;
    QTimer nameTimer_, stateTimer_;
};

// Marquee step over the text's bytes: 2-byte steps in an 18-byte window, never inside a
// double-byte character; dir 1 advancing, 0 returning to the start.
void MarqueeAdvance(const QByteArray& bytes, int* offset, int* dir);

class COnDialDlg : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit COnDialDlg(CallPageModel* model, QWidget* parent = nullptr);
    CallPageModel* Model() const { return model_; }
    void Detach() { model_ = nullptr; }  // the model is going away
    void Refresh();
    QString TabTitle() const override;
    int TabImage() const override;
    void OnLanguageChanged() override;
    void OnSkinChanged() override;
    // What the right-click menu would hold: command -> enabled (empty: no menu).
    std::vector<std::pair<int, bool>> MenuItems(const QPoint& at);
    // The right-click menu at a point: its items with their texts and the skin's pictures (none:
    // no items there, or a picture is missing).
    std::unique_ptr<TrelMenu> BuildMenu(const QPoint& at);
    void RunMenuCommand(int command);
    const std::vector<CAttendeePic*>& Tiles() const { return tiles_; }
    QLabel* TipLine() const { return tip_; }
    QLabel* StatusLine() const { return status_; }
    QLabel* NameLine() const { return name_; }
    QLabel* DirectionPicture() const { return direction_; }

    // Actions of the page's menu commands that reach the frame.
    std::function<void(const std::string& number)> sendMessage;
    std::function<void(const std::string& number)> addContact;
    std::function<void(int cnxId)> showKeypad;  // the keypad window for a connection of the call
    std::function<void()> closeKeypad;          // before the page's menu opens
    // The tab's text and picture as the sheet last showed them.
    QString shownTabTitle;
    int shownTabImage = -1;

protected:
    void resizeEvent(QResizeEvent*) override;
    void mousePressEvent(QMouseEvent*) override;
    void paintEvent(QPaintEvent*) override;

private:
    void Layout();        // the single view and the tiles, the scroll bar back at the top
    void LayoutSingle();  // the single view's controls only
    CallPageModel* model_;
    QLabel *photo_, *direction_, *name_, *status_, *tip_;
    QScrollBar* scroll_;
    std::vector<CAttendeePic*> tiles_;
    int scrollPos_ = 0;
    std::vector<std::string> laidOut_;  // the members the tiles were last laid out for
    bool laidOutConference_ = false;
};

}  // namespace calls
