// The call log page: the stored calls as two-line entries, filtered by direction and by peer.
#pragma once

#include <QComboBox>
#include <QListWidget>
#include <QStyledItemDelegate>
#include <QToolBar>
#include <vector>

#include "common/calllog.h"
#include "ui/shell/pages.h"

namespace calls {

class CallsWindows;

// Toolbar and menu commands of the page.
enum : int {
    ID_LOG_ALL = 32830, ID_LOG_MISSED = 32777, ID_LOG_IN = 32776, ID_LOG_OUT = 32778, ID_LOG_PEER = 32789,
    ID_LOG_REMOVE = 32774, ID_LOG_RECORDS = 2850, ID_LOG_CALL = 32773, ID_LOG_SENDIM = 32836,
    ID_LOG_ADDCONTACT = 32835, ID_LOG_DELETE = 32775,
};

// The call log's tool bar: the buttons' pictures are cut from one strip of 16 x 15 images.
class CDlgToolBar : public QToolBar {
    Q_OBJECT
public:
    explicit CDlgToolBar(QWidget* parent = nullptr);
    // Cuts the strip, its key colour made transparent; false (nothing kept) when it does not load.
    bool LoadImageStrip(const QString& path);
    int ImageCount() const { return static_cast<int>(images_.size()); }
    // The image at that index of the strip; null past its end.
    QPixmap Image(int index) const;

private:
    std::vector<QPixmap> images_;
};

// The call log's list: one two-line entry per record beside its direction icon.
class CSyslogListCtrl : public QListWidget {
    Q_OBJECT
public:
    explicit CSyslogListCtrl(QWidget* parent = nullptr);
};

class CSyslogDlg : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit CSyslogDlg(CallsWindows* windows, QWidget* parent = nullptr);
    QString TabTitle() const override;
    int TabImage() const override { return 3; }
    void OnLanguageChanged() override;
    void OnSkinChanged() override;

    void LoadCallLog();                 // reload from the call log
    void RefreshList();                 // refill with the filters
    void SetDirection(int command);     // one of the four direction buttons
    void ShowMissedCalls();
    int DialSelected();                 // WM_CALL_DIAL
    void OnHangup();                    // WM_CALL_HANGUP
    void ChatWithSelected();
    void AddSelectedAsContact();
    void DeleteSelected();
    void ButtonState();
    uint32_t Direction() const { return direction_; }
    QComboBox* PeerFilter() const { return peers_; }
    QListWidget* List() const { return list_; }
    CDlgToolBar* Bar() const { return bar_; }
    const CallLogEntry* RecordAt(int row) const;
    // The wheel moves the selection by its steps; true when the new entry is wholly in view.
    bool WheelSelect(int delta);

protected:
    void showEvent(QShowEvent*) override;
    void contextMenuEvent(QContextMenuEvent*) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    const CallLogEntry* Selected() const;
    // The button pictures: from the strip, else each from its own file.
    void LoadBarImages();
    CallsWindows* windows_;
    CDlgToolBar* bar_;
    QComboBox* peers_;
    CSyslogListCtrl* list_;
    std::vector<CallLogEntry> records_;
    uint32_t direction_ = CALLLOG_ALL;
};

}  // namespace calls
