// The start page's summary (missed calls, contacts online, balance query, prepayment, newer version)
// and the service page's browser with its local page, remote page and fall-back.
#pragma once

#include <QUrl>
#include <QWidget>
#include <functional>
#include <memory>
#include <vector>

class CHyperLink;
class CWebBrowserHost;
class CWebControlSite;
class QLabel;
class QTimer;

namespace shell {

// The texts of the summary's links.
QString MissedCallText(int count);
QString OnlineContactText(int count);
// Empty when the language gives no format (or one with other conversions).
QString UpdateVersionText(int major, int minor, int build);
QString ContactCounterText(int counter);

// Start page control ids and which of them each sign-in mode shows and hides.
enum NavigateControl : int {
    NAV_TIP = 1038, NAV_MISSED = 1039, NAV_LOGIN = 1040, NAV_ONLINE = 1041, NAV_QUERY = 1042, NAV_MISSED_PIC = 1043,
    NAV_ONLINE_PIC = 1044, NAV_PREPAY = 1045, NAV_LOGINING = 1095, NAV_UPDATE_PIC = 1110, NAV_UPDATE = 1111,
    NAV_COUNTER = 1137, NAV_PREPAY_BUTTON = 1138,
};
struct NavigateVisibility {
    std::vector<int> shown, hidden;
};
// Modes 0 signed out, 1 signed in, 2 signing in, 3; other modes change nothing (both lists empty).
NavigateVisibility NavigateModeTable(int mode, bool haveUpdate);

// The service page's navigation: the local page first; 60 ms after its first load the remote page
// when there is one; a failing remote page falls back to the local one. A failing local page is not
// loaded again (it would fail for ever).
class ServicePageNavigator {
public:
    QUrl local, remote;
    std::function<void(const QUrl&)> navigate;
    std::function<void()> startTimer;  // one shot, 60 ms, then Timer()
    bool m_bFirstLoad = true;
    void Init();
    void DownloadComplete();
    void Timer();
    void NavigateError(const QUrl& failing);
    // The end of a load, ok or failed: a failed load reports the error first, and completes as well.
    void Loaded(const QUrl& url, bool ok);
};

// The summary block of the start page.
class CNavigateLinks : public QWidget {
    Q_OBJECT
public:
    explicit CNavigateLinks(QWidget* parent = nullptr);
    void SetMode(int mode);
    void SetOnlineCount(int count);
    void ClearMissedCalls();
    void AddMissedCall();
    // A newer version to offer (major < 0: none).
    // The frame holds an update answer (newer or not): signed in, the update line shows.
    void SetUpdateAnswer();
    void ShowUpdateVersion(int major, int minor, int build);
    void ShowContactCounter(int counter);
    void Retext();
    // The two pictures from the skin, the program's own picture where the skin has none.
    void OnSkinChanged();
    int MissedCalls() const { return m_nMissedCalls; }
    CHyperLink* Link(int id) const;
    // Whether the status bar shows offline (Q and F2 ask for the balance only when not); unset: signed out.
    std::function<bool()> statusOffline;
    QWidget* Control(int id) const;
    // The newer version's line against the bottom: its picture's bottom this far above it.
    static constexpr int kUpdateBottom = 10;
signals:
    void showMissedCalls();
    void showContacts();
    void queryBalance();
    void openPrepay();
    void updateNow();
    void login();

protected:
    void resizeEvent(QResizeEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    static constexpr int kLeft = 24, kUpdatePicture = 20;
    void LayOutUpdateLine();
    int mode_ = 0;
    int m_nMissedCalls = 0;
    int m_nOnlineContacts = 0;
    int counter_ = 0;
    bool haveUpdateAnswer_ = false;
    int update_[3] = {-1, 0, 0};
    std::vector<std::pair<int, QWidget*>> controls_;
};

// The browser of the service page.
class CServiceBrowser : public QWidget {
    Q_OBJECT
public:
    explicit CServiceBrowser(QWidget* parent = nullptr);
    ~CServiceBrowser() override;
    ServicePageNavigator& Navigator() { return nav_; }
    // The skin's local page, in the program's language.
    static QUrl LocalPage();
    CWebBrowserHost* Host() const { return host_; }

    // The site answer of the page: with scroll bars (the skin's [page_service] has_scroll, default 1) the
    // browser keeps its ordinary site; without, the page's own site and no browser menu.
    int m_bHasScroll = 1;
    // With scroll bars, right-button presses and double-clicks on w and the widgets it gets are
    // swallowed (the browser shows no menu and the page sees no right click).
    void SwallowRightButtonIn(QWidget* w);

protected:
    bool event(QEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void CreateHost();
    std::unique_ptr<CWebControlSite> site_;
    CWebBrowserHost* host_ = nullptr;
    QTimer* timer_;
    ServicePageNavigator nav_;
};

}  // namespace shell
