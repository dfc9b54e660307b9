// The embedded web page host.
#include "ui/controls/web/web_host.h"

#include <QCoreApplication>
#include <QFile>
#include <QMenu>
#include <QResizeEvent>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "ui/controls/control_messages.h"
#include "ui/controls/external_dispatch.h"

namespace {
QPointer<CExternalDispatch> g_external;

// The channel's client script, then the hand-over of the application's object as window.external.
QString ExternalScript() {
  QFile f(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  QString js;
  if (f.open(QIODevice::ReadOnly)) js = QString::fromUtf8(f.readAll());
  js += QStringLiteral(
      "\nnew QWebChannel(qt.webChannelTransport, function (channel) {"
      "  window.external = channel.objects.external;"
      "  document.dispatchEvent(new Event('externalready'));"
      "});\n");
  return js;
}
}  // namespace

UINT CustomControlSiteMsg() {
  static const UINT id = static_cast<UINT>(QEvent::registerEventType()) | 0xC000;
  return id;
}

bool SendCustomControlSiteMsg(QWidget* window, WPARAM wParam, void* record) {
  for (QWidget* w = window; w; w = w->parentWidget()) {
    WindowMessageEvent ev(CustomControlSiteMsg(), wParam, reinterpret_cast<LPARAM>(record));
    QCoreApplication::sendEvent(w, &ev);
    if (ev.result != 0) return true;
  }
  return false;
}

void SetExternalDispatch(CExternalDispatch* external) { g_external = external; }
CExternalDispatch* ExternalDispatch() { return g_external; }

void CWebControlSite::Attach(QWebEngineView* view, QWidget* host) {
  QWebEnginePage* page = view->page();
  page->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, scrollBars_);
  // The hosting window decides about the context menu; an answer of 0 means no browser menu.
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(view, &QWidget::customContextMenuRequested, host, [view, host](const QPoint& at) {
    ContextMenuQuery q;
    q.screenPoint = view->mapToGlobal(at);
    if (!SendCustomControlSiteMsg(host, kSiteContextMenu, &q) || q.result != 0) {
      QMenu* menu = view->createStandardContextMenu();  // no window took it: the browser's own
      menu->setAttribute(Qt::WA_DeleteOnClose);
      menu->popup(q.screenPoint);
    }
  });
  if (CExternalDispatch* external = ExternalDispatch()) {
    auto* channel = new QWebChannel(page);
    channel->registerObject(QStringLiteral("external"), external);
    page->setWebChannel(channel, QWebEngineScript::MainWorld);
    QWebEngineScript script;
    script.setName(QStringLiteral("tessaly-external"));
    script.setInjectionPoint(QWebEngineScript::DocumentCreation);
    script.setWorldId(QWebEngineScript::MainWorld);
    script.setRunsOnSubFrames(false);
    script.setSourceCode(ExternalScript());
    page->scripts().insert(script);
  }
}

// ---------------------------------------------------------------------------

CWebBrowserHost::CWebBrowserHost(QWidget* parent) : QWidget(parent) {}

CWebBrowserHost::~CWebBrowserHost() = default;

void CWebBrowserHost::create() {
  if (view_) return;
  view_ = new QWebEngineView(this);
  CtrlSiteQuery query;
  query.container = this;
  if (SendCustomControlSiteMsg(this, kSiteCreate, &query)) site_ = query.site;
  if (site_) site_->Attach(view_, this);
  connect(view_, &QWebEngineView::loadFinished, this, &CWebBrowserHost::downloadComplete);
  view_->setGeometry(rect());
  view_->show();
  emit viewCreated();
  if (pending_.isValid()) view_->load(pending_);
}

void CWebBrowserHost::Navigate(const QUrl& url) {
  navigations_.append(url);
  pending_ = url;
  if (view_) view_->load(url);
}

void CWebBrowserHost::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  create();
}

void CWebBrowserHost::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (view_) view_->setGeometry(rect());
}

// ---------------------------------------------------------------------------

CWebPageDlg::CWebPageDlg(QWidget* parent) : QDialog(parent), browser_(new CWebBrowserHost(this)) { init(); }

CWebPageDlg::CWebPageDlg(const QString& title, const QUrl& url, QWidget* parent)
    : QDialog(parent), firstDownload_(true), url_(url), browser_(new CWebBrowserHost(this)) {
  setWindowTitle(title);
  init();
}

void CWebPageDlg::init() {
  if (windowTitle().isEmpty()) setWindowTitle(QStringLiteral("内嵌网页"));
  // The page takes no dropped files or links: a drop would navigate away from it.
  connect(browser_, &CWebBrowserHost::viewCreated, this, [this] { browser_->View()->setAcceptDrops(false); });
  resize(1024, 740);  // centred over its parent when first shown
  connect(browser_, &CWebBrowserHost::downloadComplete, this, [this] {
    if (!firstDownload_) return;
    firstDownload_ = false;
    timer_.start(60, this);
  });
  browser_->Navigate(QUrl(QStringLiteral("about:blank")));
}

bool CWebPageDlg::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::eventType()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    if (m->message == CustomControlSiteMsg()) {
      if (m->wParam == kSiteCreate && m->lParam) {
        auto* q = reinterpret_cast<CtrlSiteQuery*>(m->lParam);
        q->site = &site_;
        m->result = 1;
      } else if (m->wParam == kSiteContextMenu && m->lParam) {
        reinterpret_cast<ContextMenuQuery*>(m->lParam)->result = 0;
        m->result = 1;
      }
      return true;
    }
  }
  return QDialog::event(e);
}

void CWebPageDlg::timerEvent(QTimerEvent* e) {
  if (e->timerId() != timer_.timerId()) return QDialog::timerEvent(e);
  timer_.stop();
  browser_->Navigate(url_);
}

void CWebPageDlg::resizeEvent(QResizeEvent* e) {
  QDialog::resizeEvent(e);
  const int b = 1;  // one border width
  browser_->setGeometry(b, b, width() - 2, height() - 2);
}
