// Tests of the web page host: the external object from page script, the site chain, lazy creation, local
// pages drawn without the engine, and the page dialog.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <QApplication>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBrowser>
#include <QWindow>
#include <QWebEnginePage>
#include <QWebEngineSettings>
#include <QWebEngineView>

#include "ui/controls/control_messages.h"
#include "ui/controls/external_dispatch.h"
#include "ui/controls/web/web_host.h"

namespace {

// A window that answers the site request (or declines it).
class SiteWindow : public QWidget {
 public:
  explicit SiteWindow(bool answers, QWidget* parent = nullptr) : QWidget(parent), answers_(answers) {}
  CWebControlSite site;
  int asked = 0;

 protected:
  bool event(QEvent* e) override {
    if (e->type() == WindowMessageEvent::eventType()) {
      auto* m = static_cast<WindowMessageEvent*>(e);
      if (m->message == CustomControlSiteMsg()) {
        ++asked;
        if (answers_ && m->wParam == kSiteCreate) {
          reinterpret_cast<CtrlSiteQuery*>(m->lParam)->site = &site;
          m->result = 1;
        }
        return true;
      }
    }
    return QWidget::event(e);
  }

 private:
  bool answers_;
};

QUrl WritePage(const QTemporaryDir& dir, const QString& name, const QString& body) {
  const QString path = dir.filePath(name);
  QFile f(path);
  EXPECT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(body.toUtf8());
  return QUrl::fromLocalFile(path);
}

bool WaitFor(const std::function<bool()>& done, int ms = 30000) {
  QElapsedTimer t;
  t.start();
  while (!done()) {
    if (t.elapsed() > ms) return false;
    QTest::qWait(20);
  }
  return true;
}

class WebHostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static CExternalDispatch external;
    SetExternalDispatch(&external);
  }
  QTemporaryDir dir;
};

TEST(ExternalDispatchTest, NamesStartingLikeTheOneNameGetItsId) {
  EXPECT_EQ(CExternalDispatch::GetIDsOfNames(QStringLiteral("xxyyzz")), CExternalDispatch::kDispId);
  EXPECT_EQ(CExternalDispatch::GetIDsOfNames(QStringLiteral("xxyanything")), CExternalDispatch::kDispId);
  EXPECT_EQ(CExternalDispatch::GetIDsOfNames(QString::fromUtf16(u"\uFF58\uFF58\uFF59")), CExternalDispatch::kDispId);
  EXPECT_EQ(CExternalDispatch::GetIDsOfNames(QStringLiteral("xx")), CExternalDispatch::kDispIdUnknown);
  EXPECT_EQ(CExternalDispatch::GetIDsOfNames(QStringLiteral("title")), CExternalDispatch::kDispIdUnknown);
}

TEST_F(WebHostTest, PageScriptReadsTheExternalObject) {
  const QUrl page = WritePage(dir, "page.html",
                              "<html><body><script>"
                              "function check() {"
                              "  if (window.external && window.external.xxyyzz)"
                              "    document.title = window.external.xxyyzz + '/' + window.external.xxyOther;"
                              "  else setTimeout(check, 10);"
                              "}"
                              "check();"
                              "</script></body></html>");
  CWebPageDlg dlg(QStringLiteral("page"), page);
  dlg.show();
  ASSERT_TRUE(WaitFor([&] { return dlg.Browser()->View() && dlg.Browser()->View()->title() == "Wibble/Wibble"; }))
      << (dlg.Browser()->View() ? dlg.Browser()->View()->title().toStdString() : "no view");
  // about:blank first, then the page once; a later load changes nothing.
  ASSERT_EQ(dlg.Browser()->Navigations().size(), 2);
  EXPECT_EQ(dlg.Browser()->Navigations()[0], QUrl("about:blank"));
  EXPECT_EQ(dlg.Browser()->Navigations()[1], page);
  QSignalSpy loaded(dlg.Browser(), &CWebBrowserHost::downloadComplete);
  dlg.Browser()->View()->reload();
  ASSERT_TRUE(loaded.wait(30000));
  EXPECT_EQ(dlg.Browser()->Navigations().size(), 2);
  // The page gets no browser context menu and, here, no scroll bars.
  EXPECT_EQ(dlg.Browser()->View()->contextMenuPolicy(), Qt::CustomContextMenu);
  EXPECT_FALSE(dlg.Browser()->View()->page()->settings()->testAttribute(QWebEngineSettings::ShowScrollBars));
}

TEST_F(WebHostTest, BrowserIsCreatedOnFirstShowWithTheOuterWindowsSite) {
  SiteWindow outer(true);
  auto* inner = new SiteWindow(false, &outer);
  auto* host = new CWebBrowserHost(inner);
  host->hide();
  outer.show();
  EXPECT_EQ(host->View(), nullptr);  // nothing until the page is shown
  host->show();
  ASSERT_NE(host->View(), nullptr);
  EXPECT_EQ(inner->asked, 1);
  EXPECT_EQ(host->Site(), &outer.site);
}

TEST_F(WebHostTest, AnEngineWantedAfterTheWindowIsDrawnStartsThenWithThePageAskedBefore) {
  SiteWindow outer(true);
  auto* host = new CWebBrowserHost(&outer);
  host->SetEngineAfterWindowDrawn(true);
  QTemporaryDir dir;
  const QString file = dir.filePath("page.htm");
  {
    QFile f(file);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("<html><body>page</body></html>");
  }
  const QUrl page = QUrl::fromLocalFile(file);
  host->Navigate(page);
  outer.show();
  EXPECT_EQ(host->View(), nullptr) << "the first picture is not held back";
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&outer));
  ASSERT_TRUE(QTest::qWaitFor([&] { return host->View() != nullptr; }, 20000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return host->View()->url() == page; }, 20000));
  EXPECT_EQ(host->Site(), &outer.site);
}

TEST_F(WebHostTest, ThePageDialogAnswersOnlyRequestsItCanServe) {
  CWebPageDlg dlg;
  EXPECT_TRUE(dlg.windowTitle().isEmpty());  // made without a title: it shows none
  CtrlSiteQuery noContainer;
  EXPECT_FALSE(SendCustomControlSiteMsg(&dlg, kSiteCreate, &noContainer));
  EXPECT_EQ(noContainer.site, nullptr);
  CtrlSiteQuery query;
  query.container = dlg.Browser();
  EXPECT_TRUE(SendCustomControlSiteMsg(&dlg, kSiteCreate, &query));
  EXPECT_NE(query.site, nullptr);
  ContextMenuQuery menu;
  EXPECT_TRUE(SendCustomControlSiteMsg(&dlg, kSiteContextMenu, &menu));
  EXPECT_EQ(menu.result, 0);
  EXPECT_FALSE(SendCustomControlSiteMsg(&dlg, 3, &menu));
}

TEST_F(WebHostTest, WithoutASiteThePageIsPlain) {
  SiteWindow lone(false);
  auto* host = new CWebBrowserHost(&lone);
  lone.show();
  ASSERT_NE(host->View(), nullptr);
  EXPECT_FALSE(host->HasCustomSite());
  EXPECT_TRUE(host->View()->page()->webChannel() == nullptr);
}

TEST_F(WebHostTest, ResizeKeepsTheBrowserOneBorderInAndTwoPixelsSmaller) {
  CWebPageDlg dlg;
  dlg.resize(300, 200);
  dlg.show();
  EXPECT_EQ(dlg.Browser()->geometry(), QRect(1, 1, 298, 198));
  // The page dialog's browser is no drop target; a plain host's still is.
  ASSERT_NE(dlg.Browser()->View(), nullptr);
  EXPECT_FALSE(dlg.Browser()->View()->acceptDrops());
  SiteWindow lone(false);
  auto* host = new CWebBrowserHost(&lone);
  lone.show();
  ASSERT_NE(host->View(), nullptr);
  EXPECT_TRUE(host->View()->acceptDrops());
}

// Local pages without script are drawn as rich text; the engine is for everything else. A file that cannot
// be read (or would block the reader) is a failed load.
TEST_F(WebHostTest, OnlyPagesThatNeedTheEngineGoToIt) {
  struct Case {
    const char* name;
    QString body;
    PageNeeds needs;
  } cases[] = {
      {"plain.htm", "<html><body style=\"background:#eef2f7\"><b>Tessaly</b><br>Calls</body></html>", PageNeeds::Plain},
      {"link.htm", "<a href=\"http://service.example/\">the service</a>", PageNeeds::Plain},  // followed when clicked
      {"words.htm", "<p>Turn the phone on; online = ready; a script of the call</p>", PageNeeds::Plain},
      {"script.htm", "<html><body><SCRIPT>document.title='x'</SCRIPT></body></html>", PageNeeds::Engine},
      {"handler.htm", "<body onload=\"go()\">x</body>", PageNeeds::Engine},
      {"jslink.htm", "<a href=\"JavaScript:go()\">x</a>", PageNeeds::Engine},
      {"frame.htm", "<iframe src=\"a.htm\"></iframe>", PageNeeds::Engine},
      {"remote.htm", "<img src=\"http://ads.example/b.gif\">", PageNeeds::Engine},
      {"remotecss.htm", "<div style=\"background:url('https://ads.example/y.png')\">x</div>", PageNeeds::Engine},
      {"refresh.htm", "<meta http-equiv=\"refresh\" content=\"0;url=http://ads.example/\">", PageNeeds::Engine},
      {"big.htm", "<p>" + QString(70 * 1024, 'x') + "</p>", PageNeeds::Engine},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.needs, ClassifyPage(WritePage(dir, c.name, c.body)));
  }
  QString html;
  EXPECT_EQ(PageNeeds::Plain, ClassifyPage(WritePage(dir, "chs.htm", QString::fromUtf16(u"<meta charset=\"utf-8\">\u901a\u8bdd")), &html));
  EXPECT_TRUE(html.contains(QString::fromUtf16(u"\u901a\u8bdd")));
  EXPECT_EQ(PageNeeds::Plain, ClassifyPage(QUrl("about:blank")));
  EXPECT_EQ(PageNeeds::Engine, ClassifyPage(QUrl("http://127.0.0.1:9/status.htm")));
  EXPECT_EQ(PageNeeds::Engine, ClassifyPage(QUrl("https://service.example/status")));
  EXPECT_EQ(PageNeeds::Unreadable, ClassifyPage(QUrl::fromLocalFile(dir.filePath("missing.htm"))));
  EXPECT_EQ(PageNeeds::Unreadable, ClassifyPage(QUrl::fromLocalFile(dir.path())));
  const QString fifo = dir.filePath("fifo.htm");
  ASSERT_EQ(0, ::mkfifo(fifo.toLocal8Bit().constData(), 0600));
  EXPECT_EQ(PageNeeds::Unreadable, ClassifyPage(QUrl::fromLocalFile(fifo)));
}

// A host for plain local pages draws them without the engine, with the site's looks, and reports each
// load; a page that needs the engine starts it only once the window has been drawn; a plain page after it
// lets the engine's view go.
TEST_F(WebHostTest, PlainLocalPagesAreDrawnWithoutTheEngine) {
  SiteWindow outer(true);
  auto* host = new CWebBrowserHost(&outer);
  host->SetPlainLocalPages(true);
  host->resize(300, 60);
  QSignalSpy loads(host, &CWebBrowserHost::downloadComplete);
  const QUrl page = WritePage(dir, "adv.htm", "<html><body style=\"background:#eef2f7\">Calls</body></html>");
  host->Navigate(page);
  outer.show();
  ASSERT_TRUE(WaitFor([&] { return loads.count() == 1; }));
  EXPECT_TRUE(loads.at(0).at(0).toBool());
  EXPECT_EQ(nullptr, host->View());
  ASSERT_NE(nullptr, host->PlainView());
  EXPECT_TRUE(host->PlainView()->isVisible());
  EXPECT_EQ(host->rect(), host->PlainView()->geometry());
  EXPECT_TRUE(host->PlainView()->toPlainText().contains("Calls"));
  EXPECT_EQ(QColor(0xee, 0xf2, 0xf7), host->PlainView()->palette().color(QPalette::Base));  // the page's own
  EXPECT_EQ(Qt::ScrollBarAlwaysOff, host->PlainView()->verticalScrollBarPolicy());           // the site's
  EXPECT_EQ(Qt::CustomContextMenu, host->PlainView()->contextMenuPolicy());
  EXPECT_EQ(1, outer.asked);

  // A link shows its target here; a page that cannot be read is a failed load, still without the engine.
  emit host->PlainView()->anchorClicked(QUrl("missing.htm"));
  EXPECT_EQ(QUrl::fromLocalFile(dir.filePath("missing.htm")), host->Navigations().back());
  ASSERT_TRUE(WaitFor([&] { return loads.count() == 2; }));
  EXPECT_FALSE(loads.at(1).at(0).toBool());
  EXPECT_EQ(nullptr, host->View());

  // A page with script goes to the engine.
  const QUrl script =
      WritePage(dir, "script.htm", "<html><head><script>document.title = 'Scripted';</script></head><body></body></html>");
  host->Navigate(script);
  ASSERT_TRUE(WaitFor([&] { return host->View() && host->View()->title() == "Scripted"; }));
  EXPECT_FALSE(host->PlainView()->isVisible());
  EXPECT_EQ(1, outer.asked);  // one site for both views

  // Back to the local page: drawn at once, the engine's view let go.
  host->Navigate(page);
  EXPECT_EQ(nullptr, host->View());
  EXPECT_TRUE(host->PlainView()->isVisible());
}

// The engine never holds back a window: for a page that needs it, it starts after the window is drawn.
TEST_F(WebHostTest, TheEngineStartsAfterTheWindowIsDrawn) {
  QWidget top;
  auto* host = new CWebBrowserHost(&top);
  host->SetPlainLocalPages(true);
  QSignalSpy loads(host, &CWebBrowserHost::downloadComplete);
  host->Navigate(QUrl("http://127.0.0.1:9/status.htm"));
  EXPECT_EQ(nullptr, host->View());  // not shown: nothing
  top.show();
  EXPECT_EQ(nullptr, host->View());  // shown, not yet drawn
  ASSERT_TRUE(WaitFor([&] { return host->View() != nullptr; }));
  EXPECT_TRUE(top.windowHandle()->isExposed());
  // The address cannot be reached: a failed load, for the window to fall back on its local page.
  ASSERT_TRUE(WaitFor([&] { return loads.count() > 0; }));
  EXPECT_FALSE(loads.last().at(0).toBool());
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
  // As in the program: the engine's shared GL context is made for the first view.
  DeferEngineGraphics();
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
