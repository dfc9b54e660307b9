// The embedded web page host.
#include "ui/controls/web/web_host.h"

#include <QCoreApplication>
#include <QFile>
#include <QQuickWindow>
#include <QFileInfo>
#include <QGuiApplication>
#include <QMenu>
#include <QOpenGLContext>
#include <QSurfaceFormat>
#include <QRegularExpression>
#include <QResizeEvent>
#include <QStringDecoder>
#include <QTextBrowser>
#include <QTextFrame>
#include <QTimer>
#include <QWebChannel>
#include <QWebEnginePage>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <QWindow>
#include <filesystem>
#include <system_error>
#include <type_traits>

#include "ui/controls/control_messages.h"
#include "ui/controls/external_dispatch.h"

QT_BEGIN_NAMESPACE
Q_GUI_EXPORT QOpenGLContext* qt_gl_global_share_context();
Q_GUI_EXPORT void qt_gl_set_global_share_context(QOpenGLContext* context);
QT_END_NAMESPACE

namespace {
QPointer<CExternalDispatch> g_external;

// The engine draws through an OpenGL context shared with the windows, which it would make as the
// application starts, loading the whole GL stack for windows that may never show a page. The program
// puts an empty context in its place at start (the engine then makes none); the context is made when
// the engine first starts.
QOpenGLContext* g_deferredContext = nullptr;

void DropDeferredContext() {
  if (qt_gl_global_share_context() == g_deferredContext) qt_gl_set_global_share_context(nullptr);
  delete g_deferredContext;
  g_deferredContext = nullptr;
}

void ShareOpenGLContexts() {
  QOpenGLContext* shared = qt_gl_global_share_context();
  if (!shared) {
    g_deferredContext = shared = new QOpenGLContext;
    qAddPostRoutine(DropDeferredContext);
    qt_gl_set_global_share_context(shared);
  }
  // A context that cannot be made leaves the engine drawing without the GPU, as it does without one.
  if (!shared->isValid()) {
    shared->setScreen(QGuiApplication::primaryScreen());  // made before the application: no screen yet
    shared->setFormat(QSurfaceFormat::defaultFormat());
    shared->create();
  }
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
}

// The channel's client script, then the hand-over of the application's object as window.external.
QString ExternalScript() {
  QFile f(QStringLiteral(":/qtwebchannel/qwebchannel.js"));
  QString js;
  if (f.open(QIODevice::ReadOnly)) js = QString::fromUtf8(f.readAll());
  js += QStringLiteral(
      "\nnew QWebChannel(qt.webChannelTransport, function (channel) {"
      "  var object = channel.objects.external;"
      // Every name that begins as the object's one name does (width folded) reads that property.
      "  window.external = new Proxy(object, {get: function (target, name) {"
      "    if (typeof name === 'string' && name.normalize('NFKC').slice(0, 3) === 'xxy') return target.xxyyzz;"
      "    return target[name];"
      "  }});"
      "  document.dispatchEvent(new Event('externalready'));"
      "});\n");
  return js;
}

// The hosting window decides about the context menu; an answer of 0 means no browser menu.
template <class View>
void TakeContextMenu(View* view, QWidget* host) {
  view->setContextMenuPolicy(Qt::CustomContextMenu);
  QObject::connect(view, &QWidget::customContextMenuRequested, host, [view, host](const QPoint& at) {
    ContextMenuQuery q;
    q.screenPoint = view->mapToGlobal(at);
    if (!SendCustomControlSiteMsg(host, kSiteContextMenu, &q) || q.result != 0) {
      QMenu* menu;  // no window took it: the browser's own
      if constexpr (std::is_same_v<View, QTextBrowser>)
        menu = view->createStandardContextMenu(at);
      else
        menu = view->createStandardContextMenu();
      menu->setAttribute(Qt::WA_DeleteOnClose);
      menu->popup(q.screenPoint);
    }
  });
}

// A page drawn without the engine is small: anything larger goes to the engine, which streams it.
constexpr qint64 kMaxPlainPage = 64 * 1024;
}  // namespace

PageNeeds ClassifyPage(const QUrl& url, QString* html) {
  if (html) html->clear();
  if (url == QUrl(QStringLiteral("about:blank"))) return PageNeeds::Plain;
  if (!url.isLocalFile()) return PageNeeds::Engine;
  const QString path = url.toLocalFile();
  // Only a regular file is read: a FIFO in the page's place would block the window.
  std::error_code ec;
  if (!std::filesystem::is_regular_file(std::filesystem::path(path.toStdString()), ec)) return PageNeeds::Unreadable;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return PageNeeds::Unreadable;
  if (f.size() > kMaxPlainPage) return PageNeeds::Engine;
  const QByteArray bytes = f.read(kMaxPlainPage + 1);
  if (bytes.size() > kMaxPlainPage) return PageNeeds::Engine;
  QStringDecoder decoder = QStringDecoder::decoderForHtml(bytes);
  const QString text = decoder.isValid() ? QString(decoder(bytes)) : QString::fromUtf8(bytes);
  // Script, frames, plug-ins, forms, a refresh, style sheets of their own and anything fetched from the
  // network are the engine's.
  static const QRegularExpression engine(
      QStringLiteral(R"(<\s*(script|iframe|frame|frameset|object|embed|applet|form|link)\b)"
                     R"(|<[^<>]*\son[a-z]+\s*=|(java|vb)script\s*:|http-equiv|@import)"
                     R"(|(src|background|data)\s*=\s*["']?\s*(https?:|ftp:|//))"
                     R"(|url\(\s*["']?\s*(https?:|ftp:|//))"),
      QRegularExpression::CaseInsensitiveOption);
  if (engine.match(text).hasMatch()) return PageNeeds::Engine;
  if (html) *html = text;
  return PageNeeds::Plain;
}

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

void DeferEngineGraphics() {
  if (qt_gl_global_share_context()) return;
  g_deferredContext = new QOpenGLContext;
  qAddPostRoutine(DropDeferredContext);
  qt_gl_set_global_share_context(g_deferredContext);
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts, false);
}

void SetExternalDispatch(CExternalDispatch* external) { g_external = external; }
CExternalDispatch* ExternalDispatch() { return g_external; }

void CWebControlSite::Attach(QWebEngineView* view, QWidget* host) {
  QWebEnginePage* page = view->page();
  page->settings()->setAttribute(QWebEngineSettings::ShowScrollBars, false);
  TakeContextMenu(view, host);
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

void CWebControlSite::Attach(QTextBrowser* view, QWidget* host) {
  view->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  view->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  TakeContextMenu(view, host);
}

// ---------------------------------------------------------------------------

CWebBrowserHost::CWebBrowserHost(QWidget* parent) : QWidget(parent) {}

CWebBrowserHost::~CWebBrowserHost() = default;

void CWebBrowserHost::askSite() {
  if (siteAsked_) return;
  siteAsked_ = true;
  CtrlSiteQuery query;
  query.container = this;
  if (SendCustomControlSiteMsg(this, kSiteCreate, &query)) site_ = query.site;
}

void CWebBrowserHost::create() {
  if (view_) return;
  askSite();
  // The view draws through Qt Quick's software renderer: a view drawn through the graphics stack turns
  // its whole window into one, which re-creates the window (it leaves the screen for a moment), and a
  // window made that way from the start loads the graphics driver with the program, doubling its memory.
  QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
  ShareOpenGLContexts();
  view_ = new QWebEngineView(this);
  if (site_) site_->Attach(view_, this);
  connect(view_, &QWebEngineView::loadFinished, this, &CWebBrowserHost::downloadComplete);
  view_->setGeometry(rect());
  view_->show();
  if (plain_) plain_->hide();
  emit viewCreated();
  if (pending_.isValid()) view_->load(pending_);
}

bool CWebBrowserHost::showPlain(const QUrl& url) {
  QString html;
  const PageNeeds needs = ClassifyPage(url, &html);
  if (needs == PageNeeds::Engine) return false;
  askSite();
  if (!plain_) {
    plain_ = new QTextBrowser(this);
    plain_->setFrameShape(QFrame::NoFrame);
    plain_->setOpenLinks(false);
    plain_->document()->setDocumentMargin(0);
    // A link goes where a link in the browser goes: this page shows its target.
    connect(plain_, &QTextBrowser::anchorClicked, this, [this](const QUrl& link) { Navigate(pending_.resolved(link)); });
    if (site_) site_->Attach(plain_, this);
    plain_->setGeometry(rect());
  }
  // The engine of an earlier page is let go; the window's own engine start is no longer wanted.
  engineWanted_ = false;
  if (view_) {
    view_->hide();
    view_->deleteLater();
    view_ = nullptr;
  }
  if (url.isLocalFile()) plain_->setSearchPaths({QFileInfo(url.toLocalFile()).absolutePath()});
  plain_->setHtml(html);
  // The page's own background fills the strip, as in the browser (white when it names none).
  const QBrush back = plain_->document()->rootFrame()->frameFormat().background();
  QPalette pal = plain_->palette();
  pal.setColor(QPalette::Base, back.style() == Qt::NoBrush ? QColor(Qt::white) : back.color());
  plain_->setPalette(pal);
  plain_->show();
  // Reported from the event loop, as the browser reports its loads; a newer page makes it stale.
  const bool ok = needs == PageNeeds::Plain;
  const qsizetype serial = navigations_.size();
  QTimer::singleShot(0, this, [this, ok, serial] {
    if (navigations_.size() == serial) emit downloadComplete(ok);
  });
  return true;
}

void CWebBrowserHost::startEngineWhenDrawn() {
  // The engine starts after the window has been drawn, so that it never holds back the window.
  QWindow* top = window()->windowHandle();
  if (!top || top->isExposed()) {
    create();
    return;
  }
  if (!waitingForWindow_) {
    waitingForWindow_ = true;
    top->installEventFilter(this);
  }
}

bool CWebBrowserHost::eventFilter(QObject* watched, QEvent* e) {
  if (waitingForWindow_ && e->type() == QEvent::Expose && watched->isWindowType() &&
      static_cast<QWindow*>(watched)->isExposed()) {
    waitingForWindow_ = false;
    watched->removeEventFilter(this);
    QTimer::singleShot(0, this, [this] {
      if ((engineWanted_ || afterDrawn_) && isVisible()) create();
    });
  }
  return QWidget::eventFilter(watched, e);
}

void CWebBrowserHost::Navigate(const QUrl& url) {
  navigations_.append(url);
  pending_ = url;
  if (plainLocal_) {
    if (showPlain(url)) return;
    engineWanted_ = true;
    if (!view_) {
      if (isVisible()) startEngineWhenDrawn();
      return;
    }
    if (plain_) plain_->hide();
    view_->show();
  }
  if (view_) view_->load(url);
}

void CWebBrowserHost::showEvent(QShowEvent* e) {
  QWidget::showEvent(e);
  if (!plainLocal_ && !afterDrawn_)
    create();
  else if ((engineWanted_ || afterDrawn_) && !view_)
    startEngineWhenDrawn();
}

void CWebBrowserHost::resizeEvent(QResizeEvent* e) {
  QWidget::resizeEvent(e);
  if (view_) view_->setGeometry(rect());
  if (plain_) plain_->setGeometry(rect());
}

// ---------------------------------------------------------------------------

CWebPageDlg::CWebPageDlg(QWidget* parent) : QDialog(parent), browser_(new CWebBrowserHost(this)) { init(); }

CWebPageDlg::CWebPageDlg(const QString& title, const QUrl& url, QWidget* parent)
    : QDialog(parent), firstDownload_(true), url_(url), browser_(new CWebBrowserHost(this)) {
  setWindowTitle(title);
  init();
}

void CWebPageDlg::init() {
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
      if (m->wParam == kSiteCreate && m->lParam && reinterpret_cast<CtrlSiteQuery*>(m->lParam)->container) {
        reinterpret_cast<CtrlSiteQuery*>(m->lParam)->site = &site_;
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
