// The sheet and its pages: the start page and the service page, and the sheet that holds every page.
#pragma once

#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTreeWidget>
#include <QWidget>
#include <QElapsedTimer>
#include <QTimer>
#include <functional>
#include <string>

#include "ui/shell/shell_messages.h"

class QMenu;
class CSkinTabCtrl;
class TrelMenu;
namespace shell {
class CNavigateLinks;
class CServiceBrowser;
}

// Base of every page of the sheet: its type and, for call pages, the call's state.
class CNqPropertyPage : public QWidget {
    Q_OBJECT
public:
    explicit CNqPropertyPage(int type, QWidget* parent = nullptr) : QWidget(parent), m_nType(type) {}
    int m_nType;
    int m_nState = 6;  // call pages: 0 calling, 1 talking, 3 ended
    int m_nFlag = 0;   // the derived page's own use
    virtual void OnLanguageChanged() {}
    virtual void OnSkinChanged() {}
    virtual QString TabTitle() const = 0;
    virtual int TabImage() const = 0;
};

class CNqNavigatePage : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit CNqNavigatePage(QWidget* parent = nullptr);
    void SetMode(int loginState);
    // Contacts online: the summary's link text for none, one or more.
    void SetOnlineCount(int count);
    void OnLanguageChanged() override;
    void OnSkinChanged() override;
    QString TabTitle() const override;
    int TabImage() const override { return 0; }
    shell::CNavigateLinks* Links() const { return links_; }  // ---- the summary links

private:
    shell::CNavigateLinks* links_ = nullptr;
};

class CPageService : public CNqPropertyPage {
    Q_OBJECT
public:
    explicit CPageService(QWidget* parent = nullptr);
    QString TabTitle() const override;
    int TabImage() const override { return 4; }
    void OnSkinChanged() override;
    void OnLanguageChanged() override;
    shell::CServiceBrowser* Browser() const { return browser_; }

private:
    shell::CServiceBrowser* browser_;  // ---- the service's web page
};

// Commands of the right-click menu of a call tab.
enum : int { ID_SHEET_HANGUP = 2061, ID_SHEET_HOLD = 2062, ID_SHEET_UNHOLD = 2063 };

// The sheet's base: skinned tabs, and the right-click menu of the call tabs.
class CNqPropertySheet : public QTabWidget {
    Q_OBJECT
public:
    explicit CNqPropertySheet(QWidget* parent = nullptr);
    ~CNqPropertySheet() override;
    CSkinTabCtrl* Tabs() const { return m_tabCtrl; }
    // The index of the first call tab: the tabs before it are the fixed pages (start, contacts, dial,
    // call log, service). The frame sets it to the page count when it has added them at sign-in.
    int m_nFirstCallTab = 5;
    // The right-click menu at a point of the tab row (screen co-ordinates): on a call tab, selects
    // it and shows end-call and hold (or resume, when the frame holds the active call), the second
    // always grey. False when no menu was shown (not a call tab, a picture missing).
    bool OnContextMenu(const QPoint& screenPoint);
    // The menu itself; null when a picture cannot be loaded.
    TrelMenu* BuildCallMenu(bool held);
    // Whether the active call is held, as the frame knows it; unset: not held.
    std::function<bool()> activeCallHeld;
    // Shows the menu at the point; tests replace it to look at the menu (it is deleted afterwards).
    std::function<void(TrelMenu* menu, const QPoint& at)> trackMenu;
signals:
    void endCallRequested();           // 2061
    void callCommand(int command);     // 2061, 2062, 2063

protected:
    CSkinTabCtrl* m_tabCtrl;
    TrelMenu* m_popupMenu = nullptr;
};

// The main sheet: the pages, the call pages among them, and the hand-on of language and skin changes.
class CChildView : public CNqPropertySheet {
    Q_OBJECT
public:
    explicit CChildView(QWidget* parent = nullptr);
    int AddPage(CNqPropertyPage* page);
    void RemovePage(CNqPropertyPage* page);
    CNqPropertyPage* PageAt(int i) const;
    // A call page of a call not yet ended; ended pages stay until closed but block nothing.
    bool AnyCallPage() const;
    // Whether any page is a call page, ended or not.
    bool HasCallPage() const;
    bool AnyTalking() const;
    // Closes a call page and returns to the last non-call page.
    void ClosePage(CNqPropertyPage* page);
    void ClosePageAt(int index);
    void ReloadTabs();
    // Every page takes the new texts (or pictures), the tabs follow and the active page is selected
    // again, so that it sets the dial bar's buttons anew.
    void OnLanguageChanged();
    void OnSkinChanged();
    void ReselectActivePage();
    int LastActivePage() const { return lastNonCall_; }
signals:
    void callPageAdded();

private:
    int lastNonCall_ = 0;
};

namespace shell {
// The frame's dial bar and the main sheet's call pages, from anywhere; nothing without a frame.
// The buttons stay disabled while the status bar shows offline and while the frame is busy.
void EnableDialBarButton(int buttonId, bool enable);
inline void EnableDialButton(bool enable) { EnableDialBarButton(ID_DIAL, enable); }
inline void EnableHangupButton(bool enable) { EnableDialBarButton(ID_HANGUP, enable); }
bool IsDialBarButtonEnabled(int buttonId);
inline bool IsDialButtonEnabled() { return IsDialBarButtonEnabled(ID_DIAL); }
// The first page of the main sheet that is a call page talking (state 1), not yet answered (state 0),
// or any call page.
CNqPropertyPage* FindTalkingCallPage();
CNqPropertyPage* FindUnansweredCallPage();
CNqPropertyPage* FindAnyCallPage();
}  // namespace shell
