// The sheet's right-click menu on a real call tab of the calls windows, with call control below them,
// and the dial button held off while the status shows offline; offscreen.
#include <QApplication>
#include <QContextMenuEvent>
#include <QTest>

#include "ui/calls/call_page.h"
#include "ui/calls/calls_windows.h"
#include "ui/calls/dial_windows.h"
#include "ui/calls/tests/calls_test_support.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/statics.h"
#include "ui/controls/trel_menu.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_config.h"

using namespace callstest;

namespace {

class CallTab : public CallPages {
protected:
    std::unique_ptr<QWidget> frame;
    CChildView* sheet = nullptr;
    CDialBar* bar = nullptr;
    std::unique_ptr<CallsWindows> windows;
    // Each menu the sheet shows: its commands and whether each is enabled.
    std::vector<std::vector<std::pair<int, bool>>> menus;

    CallController* MakeController() override {
        shell::LoadConfigPaths(TESSALY_BINARY_DIR, base, false);
        shell::ApplyLanguageCode("eng");
        QDir::setCurrent(TESSALY_BINARY_DIR);
        frame = std::make_unique<QWidget>();
        frame->resize(420, 600);
        sheet = new CChildView(frame.get());
        sheet->setGeometry(0, 0, 420, 480);
        bar = new CDialBar(frame.get());
        bar->setGeometry(0, 480, 420, 120);
        bar->Page()->hide();  // no browser engine for these tests
        windows = std::make_unique<CallsWindows>(sheet, frame.get(), &sounds);
        windows->SetDialBar(bar);
        windows->box = [](const std::string&, const std::string&) {};
        windows->warn = [](const std::string&, const std::string&) {};
        sheet->AddPage(windows->MakeDialPage());
        sheet->AddPage(windows->MakeCallLogPage());
        sheet->m_nFirstCallTab = sheet->count();  // as the frame records it once the fixed pages are in
        sheet->trackMenu = [this](TrelMenu* menu, const QPoint&) {
            std::vector<std::pair<int, bool>> rows;
            for (QAction* a : menu->actions()) rows.push_back({a->data().toInt(), a->isEnabled()});
            menus.push_back(rows);
            if (pick) {
                if (QAction* a = menu->FindCommand(pick)) a->trigger();
            }
        };
        frame->show();
        return &windows->Calls();
    }
    void DropController() override {
        windows.reset();
        frame.reset();
    }
    void Events() {
        QApplication::processEvents();
        PumpAll();
        QApplication::processEvents();
    }
    // A right click on tab i as the user makes it: the button goes down and up on the tab.
    void RightClickTab(int i) {
        CSkinTabCtrl* tabs = sheet->Tabs();
        const QPoint at = tabs->tabRect(i).center();
        QTest::mouseClick(tabs, Qt::RightButton, {}, at);
        QContextMenuEvent e(QContextMenuEvent::Mouse, at, tabs->mapToGlobal(at));
        if (menus.size() == before_) QApplication::sendEvent(tabs, &e);  // where the platform sends no menu event
        QApplication::processEvents();
    }
    void Mark() { before_ = menus.size(); }
    int pick = 0;

private:
    size_t before_ = 0;
};

using Rows = std::vector<std::pair<int, bool>>;

}  // namespace

TEST_F(CallTab, RightClickOnACallTabShowsEndCallAndTheHoldState) {
    sheet->setCurrentWidget(windows->DialPage());
    windows->DialPage()->Number()->setEditText("bob@example.com");
    windows->DialPage()->ButtonState();
    windows->OnDialButton(false);
    Events();
    auto* page = qobject_cast<calls::COnDialDlg*>(sheet->currentWidget());
    ASSERT_NE(nullptr, page);
    const int tab = sheet->indexOf(page);
    ASSERT_EQ(2, tab) << "after the dial and call-log pages";

    // The fixed pages carry no menu.
    Mark();
    RightClickTab(0);
    EXPECT_TRUE(menus.empty());

    sheet->setCurrentIndex(1);
    Mark();
    RightClickTab(tab);
    ASSERT_EQ(1u, menus.size());
    EXPECT_EQ((Rows{{ID_SHEET_HANGUP, true}, {ID_SHEET_HOLD, false}}), menus[0]);
    EXPECT_EQ(page, sheet->currentWidget()) << "the tab clicked is selected";

    // Answered and held from the page's own menu: the sheet's menu offers resume, greyed.
    const int cnx = page->Model()->cnxIds[0];
    Answer(cnx, "10.0.0.2", 30000, 0);
    Events();
    page->RunMenuCommand(ID_CALL_HOLD);
    Events();
    ASSERT_TRUE(page->Model()->Held());
    Mark();
    RightClickTab(tab);
    ASSERT_EQ(2u, menus.size());
    EXPECT_EQ((Rows{{ID_SHEET_HANGUP, true}, {ID_SHEET_UNHOLD, false}}), menus[1]);

    // End call from the menu asks the frame to end the active call.
    int ended = 0;
    QObject::connect(sheet, &CChildView::endCallRequested, [&] { ++ended; });
    pick = ID_SHEET_HANGUP;
    Mark();
    RightClickTab(tab);
    EXPECT_EQ(1, ended);
}

TEST_F(CallTab, DialButtonStaysOffWhileTheStatusShowsOffline) {
    int status = 1;
    windows->presenceStatus = [&] { return status; };
    sheet->setCurrentWidget(windows->DialPage());
    windows->DialPage()->Number()->setEditText("bob@example.com");
    windows->DialPage()->ButtonState();
    EXPECT_FALSE(bar->DialButton()->isEnabled()) << "offline";
    status = 0;
    windows->DialPage()->ButtonState();
    EXPECT_TRUE(bar->DialButton()->isEnabled());
}
