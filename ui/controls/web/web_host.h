// The embedded web page host: CWebControlSite, the browser host created on first show, and CWebPageDlg.
#pragma once

#include <QBasicTimer>
#include <QDialog>
#include <QPointer>
#include <QUrl>
#include <QWidget>

#include "platform/wintypes.h"

class QTextBrowser;
class QWebChannel;
class QWebEngineView;
class CExternalDispatch;

// The registered message "CustomControlSiteMsg": wParam 1 asks for a site (lParam: CtrlSiteQuery*),
// wParam 2 asks what to do with a context menu (lParam: ContextMenuQuery*).
UINT CustomControlSiteMsg();
inline constexpr WPARAM kSiteCreate = 1;
inline constexpr WPARAM kSiteContextMenu = 2;

class CWebControlSite;
struct CtrlSiteQuery {
  QWidget* container = nullptr;     // in
  CWebControlSite* site = nullptr;  // out; owned by the container
};
struct ContextMenuQuery {
  QPoint screenPoint;
  int result = 1;  // out: 0 = taken (no browser menu)
};

// Sends the message to the window and then up its parents until one answers non-zero.
bool SendCustomControlSiteMsg(QWidget* window, WPARAM wParam, void* record);

// Called before the application object: the engine's shared GL context is made when the engine first
// starts rather than with the application.
void DeferEngineGraphics();

// The application's external object reached by page script as window.external (set once at start).
void SetExternalDispatch(CExternalDispatch* external);
CExternalDispatch* ExternalDispatch();

// The host behaviour a window supplies for its pages: no border, no scroll bars, no browser
// context menu, and the external object.
class CWebControlSite {
 public:
  bool ScrollBars() const { return false; }
  // Applies the site to a freshly created view.
  void Attach(QWebEngineView* view, QWidget* host);
  void Attach(QTextBrowser* view, QWidget* host);
};

// What a page needs to be drawn: a local page without script, frames, plug-ins or anything from the
// network is drawn as rich text; every other page needs the browser engine.
enum class PageNeeds { Plain, Engine, Unreadable };
PageNeeds ClassifyPage(const QUrl& url, QString* html = nullptr);

// A placeholder that creates the browser the first time it is shown, so that windows that never
// show a page cost nothing.
class CWebBrowserHost : public QWidget {
  Q_OBJECT
 public:
  explicit CWebBrowserHost(QWidget* parent = nullptr);
  ~CWebBrowserHost() override;
  void Navigate(const QUrl& url);
  // Local pages without script are drawn as rich text, and the browser engine starts only for a page
  // that needs it, once the window has been drawn.
  void SetPlainLocalPages(bool on) { plainLocal_ = on; }
  // The engine starts once the window has been drawn, not when the page is first shown: a page in a
  // window that opens with the program then never holds back its first picture.
  void SetEngineAfterWindowDrawn(bool on) { afterDrawn_ = on; }
  QWebEngineView* View() const { return view_; }
  // The rich-text view of a plain local page (null until one is shown).
  QTextBrowser* PlainView() const { return plain_; }
  bool HasCustomSite() const { return site_ != nullptr; }
  CWebControlSite* Site() const { return site_; }
  // Every address given to Navigate, in order.
  const QList<QUrl>& Navigations() const { return navigations_; }

 signals:
  void viewCreated();
  // The page finished loading (ok = false: a navigation error).
  void downloadComplete(bool ok);

 protected:
  void showEvent(QShowEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  bool eventFilter(QObject* watched, QEvent* e) override;

 private:
  void create();
  void askSite();
  bool showPlain(const QUrl& url);
  void startEngineWhenDrawn();
  QWebEngineView* view_ = nullptr;
  QTextBrowser* plain_ = nullptr;
  CWebControlSite* site_ = nullptr;
  bool siteAsked_ = false;
  bool plainLocal_ = false;
  bool afterDrawn_ = false;
  bool waitingForWindow_ = false;
  bool engineWanted_ = false;  // the page given last needs the browser engine
  QUrl pending_;
  QList<QUrl> navigations_;
};

// A dialog that shows one page: about:blank first, then the page 60 ms after the first load.
class CWebPageDlg : public QDialog {
  Q_OBJECT
 public:
  explicit CWebPageDlg(QWidget* parent = nullptr);
  CWebPageDlg(const QString& title, const QUrl& url, QWidget* parent = nullptr);
  CWebBrowserHost* Browser() const { return browser_; }

 protected:
  bool event(QEvent*) override;
  void resizeEvent(QResizeEvent*) override;
  void timerEvent(QTimerEvent*) override;

 private:
  void init();
  bool firstDownload_ = false;
  QUrl url_;
  CWebBrowserHost* browser_;
  QBasicTimer timer_;
  CWebControlSite site_;
};
