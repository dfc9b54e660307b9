// Gallery of the shell's remaining windows: the menus, the accounts dialogs, the identity and password
// dialogs, the about box and the head-picture chooser, in English and Chinese, grabbed to PNG files.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <cstdio>
#include <cstring>
#include <memory>

#include "tools/gallery/gallery_support.h"
#include "common/account.h"
#include "common/appenv.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "service/as_records.h"
#include "ui/controls/skin.h"
#include "ui/shell/about_box.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/app_start.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/system_tray.h"
#include "ui/controls/trel_menu.h"

namespace {


void Save(QWidget* w, const QString& name, bool adjust = true) {
    w->show();
    gallery::Save(w, name, adjust);
    w->hide();
}

void AddAccount(const char* user, uint32_t type, const char* server, int port) {
    shell::AccountValues v{user, "secret", "", server, port, true};
    shell::AddAccount(type, v);
}

void Language(const std::string& appFolder, const std::string& profile, const std::string& code) {
    const QString suffix = QString::fromStdString(code);
    const bool zh = code == "chs";
    shell::LoadConfigPaths(appFolder, profile, zh);
    shell::ApplyLanguageCode(code);
    ctl::SetSkinType(shell::Paths().skinType);

    {  // The main window's menus, open, and the start page with its summary.
        CMainFrame frame;
        frame.resize(380, 560);
        frame.SetPresenceStatus(STATUS_OFFLINE);
        frame.LogoffReset(LOGIN_SIGNED_OUT);
        frame.show();
        QApplication::processEvents();
        int i = 0;
        for (QAction* a : frame.menuBar()->actions()) {
            QMenu* m = a->menu();
            if (!m) continue;
            m->popup(QPoint(0, 0));
            QApplication::processEvents();
            const QImage img = m->grab().toImage();
            const QString path = gallery::g_out + QStringLiteral("/menu_%1_%2.png").arg(i++).arg(suffix);
            if (img.save(path)) std::printf("%s\n", qPrintable(path));
            m->hide();
        }
        g_strUserId = "alice";
        frame.LogoffReset(LOGIN_SIGNED_IN);
        frame.SetPresenceStatus(STATUS_ONLINE);
        {  // The status bar's menu and the tray's menu with its status submenu, signed in and online.
            auto grab = [&](QMenu* m, const QString& name) {
                m->popup(QPoint(0, 0));
                QApplication::processEvents();
                const QImage img = m->grab().toImage();
                const QString path = gallery::g_out + "/" + name + "_" + suffix + ".png";
                if (img.save(path)) std::printf("%s\n", qPrintable(path));
                m->hide();
            };
            std::unique_ptr<TrelMenu> status(frame.StatusBar()->MakeStatusMenu());
            if (status) grab(status.get(), "status_menu");
            std::unique_ptr<TrelMenu> tray(shell::BuildTrayMenu(nullptr, true, LOGIN_SIGNED_IN, STATUS_ONLINE));
            if (tray) {
                grab(tray.get(), "tray_menu");
                if (QMenu* sub = tray->actions().value(0)->menu()) grab(sub, "tray_status_menu");
            }
        }
        // The start page in each of its modes: signed in with a newer version, then the third mode
        // (which leaves the counter and the newer version as they were), signing in and signed out.
        CNqNavigatePage* start = frame.StartPage();
        start->SetOnlineCount(1);
        start->Links()->AddMissedCall();
        start->Links()->AddMissedCall();
        start->Links()->ShowContactCounter(80012345);
        start->Links()->SetUpdateAnswer();
        start->Links()->ShowUpdateVersion(1, 0, 2);
        frame.SetPresenceStatus(STATUS_ONLINE);
        frame.Sheet()->setCurrentIndex(0);
        Save(&frame, "main_start_summary_" + suffix, false);
        for (int mode : {3, 2, 0}) {
            start->SetMode(mode);
            Save(&frame, QStringLiteral("main_start_mode%1_").arg(mode) + suffix, false);
        }
        frame.hide();
        g_strUserId.clear();
    }
    {  // Accounts: the list with two accounts, the type chooser and both editors.
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        while (Account* a = g_accountList) {
            Account_Remove(a);
            Account_Free(a);
        }
    }
    AddAccount("alice", ACCOUNT_TYPE_SERVICE, "127.0.0.1", 9999);
    AddAccount("alice", ACCOUNT_TYPE_SIP, "127.0.0.1", 5060);
    AddAccount("8001", ACCOUNT_TYPE_SIP, "sip.example.net", 5060);
    {
        shell::CAccountsDlg dlg;
        dlg.List()->setCurrentItem(dlg.List()->topLevelItem(1));
        Save(&dlg, "accounts_" + suffix);
        shell::CAccountTypeDlg type;
        Save(&type, "account_type_" + suffix);
        shell::CServiceAccountDlg svc;
        svc.Load({"", "", "", "127.0.0.1", 9999, false});
        Save(&svc, "account_service_new_" + suffix);
        shell::CSipAccountDlg sip;
        sip.Load({"8001", "secret", zh ? QString::fromUtf8("前台") : "Front desk", "sip.example.net", 5060, true});
        Save(&sip, "account_sip_edit_" + suffix);
    }
    {  // Identities and the password prompt.
        g_profileList.Clear();
        for (const char* n : {"Alice", zh ? "市场部" : "Sales team", zh ? "客服中心" : "Support desk"}) {
            auto* e = new AsProfileEntry;
            e->name = strdup(plat::Utf8ToAnsi(n).c_str());  // as the access server's answer holds it
            g_profileList.entries.push_back(e);
        }
        CSelectIdentityDlg dlg(nullptr, true);
        Save(&dlg, "identity_" + suffix);
        CPasswordDlg pwd;
        Save(&pwd, "password_" + suffix);
        g_profileList.Clear();
    }
    {
        CAboutDlg about;
        Save(&about, "about_" + suffix);
    }
    {
        CHeadPicDlg heads("05.bmp");
        heads.List()->setCurrentRow(5);
        heads.resize(380, 360);
        Save(&heads, "head_picture_" + suffix, false);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gallery::UseOffscreen();
    QApplication app(argc, argv);
    const QString root = gallery::Start(app, argc, argv, "shell");
    QTemporaryDir profile;
    plat::SetBaseFolder(profile.path().toStdString());
    for (const char* code : {"eng", "chs"}) Language(root.toStdString(), profile.path().toStdString(), code);
    return 0;
}
