// Tests of the web page host: the external object from page script, the site chain, lazy creation and the page dialog.
#include <gtest/gtest.h>

#include <QApplication>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
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
  CWebControlSite site{false};
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
                              "  if (window.external && window.external.xxyyzz) document.title = window.external.xxyyzz;"
                              "  else setTimeout(check, 10);"
                              "}"
                              "check();"
                              "</script></body></html>");
  CWebPageDlg dlg(QStringLiteral("page"), page);
  dlg.show();
  ASSERT_TRUE(WaitFor([&] { return dlg.Browser()->View() && dlg.Browser()->View()->title() == "Wibble"; }))
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

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  if (qEnvironmentVariableIsEmpty("QTWEBENGINE_CHROMIUM_FLAGS"))
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--no-sandbox --disable-gpu");
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
