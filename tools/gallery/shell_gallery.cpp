// Gallery of the shell's windows: the main window signed out and signed in, a call,
// the login dialog and the splash, in English and Chinese, grabbed to PNG files.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QPainter>
#include <QTemporaryDir>
#include <cstdio>

#include "tools/gallery/gallery_support.h"
#include "common/appenv.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/app_start.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/shell_messages.h"
#include "ui/shell/splash.h"
#include "ui/shell/update_dialog.h"

namespace {


void Save(QWidget* w, const QString& name) { gallery::Save(w, name, true); }

void Language(const std::string& appFolder, const std::string& profile, const std::string& code) {
    const QString suffix = QString::fromStdString(code);
    shell::LoadConfigPaths(appFolder, profile, code == "chs");
    shell::ApplyLanguageCode(code);
    ctl::SetSkinType(shell::Paths().skinType);

    {
        CMainFrame frame;
        frame.resize(380, 560);
        frame.SetPresenceStatus(STATUS_OFFLINE);
        frame.LogoffReset(LOGIN_SIGNED_OUT);
        frame.show();
        Save(&frame, "main_signed_out_" + suffix);

        g_strUserId = "alice";
        shell::g_strPassword = "alice123";
        frame.LogoffReset(LOGIN_SIGNING_IN);
        frame.SetStatusText("txt_sip");
        Save(&frame, "main_signing_in_" + suffix);

        frame.LogoffReset(LOGIN_SIGNED_IN);
        CNqNavigatePage* start = frame.StartPage();
        start->SetOnlineCount(2);
        start->Links()->AddMissedCall();
        start->Links()->ShowContactCounter(80012345);
        frame.SetStatusText("txt_online");
        frame.Sheet()->setCurrentIndex(0);
        Save(&frame, "main_signed_in_" + suffix);
        frame.ToolBar()->Button(ID_SEARCH)->SetHot(true);  // the hover look
        Save(&frame, "main_tool_hover_" + suffix);
        frame.ToolBar()->Button(ID_SEARCH)->SetHot(false);
        frame.hide();
        g_strUserId.clear();
    }
    {
        shell::SavedLoginStore& store = shell::SavedLogins();
        shell::resetLoginInfo(store);
        store.savePassword = true;
        store.logins.push_back({"alice", "alice123", 1});
        store.logins.push_back({"bob", "bob123", 1});
        shell::saveLoginInfo(store, shell::Paths().savedLoginsPath);
        CLoginDlg dlg;
        dlg.show();
        Save(&dlg, "login_" + suffix);
        dlg.hide();
    }
    QLabel splash;
    splash.setPixmap(CSplashWindow::Picture());
    Save(&splash, "splash_" + suffix);
    {
        // The update dialog while it asks the service, then with the newer version it found.
        CUpdateVersionInfo found;
        found.major = 0, found.minor = 9, found.build = 7, found.needUpdate = 1, found.fetched = 1;
        const CUpdateVersionInfo* answer = nullptr;
        CUpdateDialog dlg;
        dlg.frameAnswer = [&] { return answer; };
        dlg.askThread = [](HWND) { return true; };
        dlg.cancelThread = nullptr;
        dlg.show();
        Save(&dlg, "update_checking_" + suffix);
        answer = &found;
        dlg.OnUpdateCheck(0, reinterpret_cast<LPARAM>(&found));
        Save(&dlg, "update_found_" + suffix);
        dlg.OnUpdateCheck(2, 0);
        Save(&dlg, "update_timeout_" + suffix);
        dlg.hide();
    }
}

}  // namespace

int main(int argc, char** argv) {
    gallery::UseOffscreen();
    QApplication app(argc, argv);
    const QString root = gallery::Start(app, argc, argv, "shell");
    QTemporaryDir profile;
    for (const char* code : {"eng", "chs"}) Language(root.toStdString(), profile.path().toStdString(), code);
    return 0;
}
