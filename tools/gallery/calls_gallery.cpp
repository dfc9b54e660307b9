// Gallery of the calls windows: dial page, call pages (ringing, talking, conference, ended), call log,
// keypad, conference chooser and chat invitation, idle and during a call, in English and Chinese.
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QImage>
#include <QLineEdit>
#include <QTemporaryDir>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <unistd.h>

#include "tools/gallery/gallery_support.h"
#include "common/account.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "ui/calls/call_page.h"
#include "ui/calls/calls_shell_hook.h"
#include "ui/calls/calls_windows.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/app_start.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/shell_messages.h"
#include "ui/shell/pages.h"
#include "ui/shell/shell_config.h"

namespace {

int64_t g_now = 1765360000;
uint64_t g_ticks = 0;

void Save(QWidget* w, const QString& name) { gallery::Save(w, name); }

// The dial bar's page drawn before the picture is taken (at most a few seconds).
void WaitForBarPage(QWidget* top) {
    auto* bar = top->findChild<calls::CDialBar*>();
    if (!bar) return;
    // The page in the browser engine reports its load.
    bool done = false;
    QObject::connect(bar->Page(), &CWebBrowserHost::downloadComplete, bar, [&done] { done = true; });
    QElapsedTimer t;
    t.start();
    while (!done && t.elapsed() < 8000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);  // painted
}

struct Silent : calls::SoundPlayer {
    void Play(const std::string&, bool) override {}
    void Stop() override {}
};

// The program keeps texts in the ANSI code page.
std::string A(const char* utf8) { return plat::Utf8ToAnsi(utf8); }

void AddLog(uint32_t flags, const char* number, const char* name, uint32_t duration, int64_t ago) {
    CallLogNode* n = CallLog_AllocEntry();
    n->record.typeFlags = flags;
    n->record.duration = duration;
    n->record.startTime = static_cast<uint32_t>(g_now - ago);
    n->record.id = CallLog_NextId();
    std::strncpy(n->record.number, number, 63);
    std::strncpy(n->record.name, A(name).c_str(), 63);
    CallLog_Insert(n);
}

void Language(const std::string& appFolder, const std::string& profile, const std::string& code) {
    const QString sfx = "_" + QString::fromStdString(code);
    const bool zh = code == "chs";
    shell::LoadConfigPaths(appFolder, profile, zh);
    shell::ApplyLanguageCode(code);
    ctl::SetSkinType(shell::Paths().skinType);
    g_strUserId = "alice";

    CallLog_Clear();
    AddLog(CALLLOG_INCOMING, "erin@example.com", zh ? "李艾琳" : "Erin Lee", 95, 3600 * 75);
    AddLog(CALLLOG_OUTGOING, "bob@example.com", zh ? "王博" : "Bob Walker", 40, 3600 * 50);
    AddLog(CALLLOG_INCOMING, "dave@example.com", "", 3725, 3600 * 26);
    AddLog(CALLLOG_MISSED, "carol@example.com", zh ? "陈卡萝" : "Carol Chen", 0, 3600 * 3);
    AddLog(CALLLOG_OUTGOING, "bob@example.com", zh ? "王博" : "Bob Walker", 754, 600);

    Silent silent;
    QWidget frame;
    frame.setWindowTitle("Tessaly");
    frame.resize(380, 560);
    auto* sheet = new CChildView(&frame);
    sheet->setGeometry(0, 0, 380, 452);
    auto* bar = new calls::CDialBar(&frame);
    bar->setGeometry(0, 452, 380, 108);
    bar->Navigate();
    calls::CallsWindows windows(sheet, &frame, &silent);
    windows.SetDialBar(bar);
    windows.box = [](const std::string&, const std::string&) {};
    windows.ask = [](const std::string&, const std::string&) { return true; };
    windows.Calls().now = [] { return g_now; };
    windows.Calls().ticks = [] { return g_ticks; };
    calls::CDialDialog* dial = windows.MakeDialPage();
    calls::CSyslogDlg* log = windows.MakeCallLogPage();
    sheet->AddPage(dial);
    sheet->AddPage(log);
    frame.show();
    WaitForBarPage(&frame);

    // Idle: the dial page with a number typed, then the call log.
    sheet->setCurrentWidget(dial);
    dial->Number()->addItem("carol@example.com");
    dial->Number()->setEditText("bob@example.com");
    dial->ButtonState();
    Save(&frame, "dial_idle" + sfx);
    sheet->setCurrentWidget(log);
    log->List()->setCurrentRow(0);
    Save(&frame, "call_log" + sfx);
    log->SetDirection(calls::ID_LOG_MISSED);
    Save(&frame, "call_log_missed" + sfx);
    log->SetDirection(calls::ID_LOG_ALL);

    // An incoming call ringing.
    calls::CallPageModel* in = windows.Calls().OpenPage("carol@example.com", shell::Paths().skinFolder + "/usericondef.bmp", 0);
    in->displayName = A(zh ? "陈卡萝" : "Carol Chen");
    in->UpdateCallStatus(calls::CALL_CALLING);
    in->ShowStateTip(5);
    windows.PageChanged(in);
    Save(&frame, "call_incoming" + sfx);
    in->UpdateCallStatus(calls::CALL_ENDED);
    windows.PageChanged(in);
    Save(&frame, "call_ended" + sfx);
    windows.Calls().PageEnded(in);

    // An outgoing call talking for 3 min 27 s.
    calls::CallPageModel* out = windows.Calls().OpenPage("bob@example.com", shell::Paths().skinFolder + "/usericondef.bmp", 1);
    out->displayName = A(zh ? "王博" : "Bob Walker");
    out->callId = 0;
    out->AddCnx(0);
    out->UpdateCallStatus(calls::CALL_PREPARING);
    out->UpdateCallStatus(calls::CALL_CALLING);
    out->ShowStateTip(1);
    windows.PageChanged(out);
    Save(&frame, "call_ringing" + sfx);
    out->UpdateCallStatus(calls::CALL_TALKING);
    g_now += 207;
    g_ticks += 1000;
    out->RunTimers();
    windows.PageChanged(out);
    Save(&frame, "call_talking" + sfx);
    sheet->setCurrentWidget(dial);
    dial->Number()->setEditText("dave@example.com");
    dial->ButtonState();
    Save(&frame, "dial_during_call" + sfx);

    // The call becomes a conference of four.
    sheet->setCurrentWidget(windows.PageOf(out));
    out->conference = out->hosting = true;
    out->AddAttendeePicture(-1, "alice@example.com", A(zh ? "我" : "Alice"), "", 1);
    out->SetMemberPictureState("alice@example.com", calls::Text("multiconf_dialog", "conf_chairman", "chairman"));
    out->AddAttendeePicture(0, "bob@example.com", out->displayName, out->DirectionBitmapPath(true), 1);
    out->SetMemberPictureState("bob@example.com", calls::Text("multiconf_dialog", "conf_talking", "Talking..."));
    out->AddAttendeePicture(1, "carol@example.com", A(zh ? "陈卡萝" : "Carol Chen"), out->DirectionBitmapPath(false), 0);
    out->SetMemberPictureState("carol@example.com", calls::Text("multiconf_dialog", "conf_talking", "Talking..."));
    out->AddAttendeePicture(2, "dave@example.com", "dave", out->DirectionBitmapPath(true), 1);
    out->SetMemberPictureState("dave@example.com", calls::Text("ondial_dialog", "TIP_CALLEERING", "Ring..."));
    windows.PageChanged(out);
    Save(&frame, "call_conference" + sfx);

    // The keypad beside the window, fully out.
    windows.ShowKeypad(0);
    if (calls::CKeypadDlg* k = windows.Keypad()) {
        while (k->Sliding()) k->SlideStep();
        for (int key : {1117 + 2, 1117 + 0, 1117 + 4, 1117 + 11}) k->PressKey(key);  // answering a menu
        Save(k, "keypad" + sfx);
    }

    // The conference chooser.
    windows.OpenConferenceChooser(1);
    if (calls::CConfInviteDlg* c = windows.Chooser()) {
        std::vector<std::unique_ptr<CInvitee>> people;
        for (const char* n : {"erin@example.com", "frank@example.com", "grace@example.com", "heidi@example.com"}) {
            auto inv = std::make_unique<CInvitee>();
            inv->SetNumber(n);
            people.push_back(std::move(inv));
        }
        c->SetCandidates(std::move(people));
        c->Candidates()->setCurrentRow(1);
        c->Invite();
        c->adjustSize();
        Save(c, "conference_chooser" + sfx);
    }

    // The chat invitation.
    calls::CInviteToConfDlg invite(&frame, nullptr, {}, nullptr);
    for (auto [id, name, online] : {std::tuple{11, zh ? "王博" : "Bob Walker", 1}, std::tuple{12, zh ? "陈卡萝" : "Carol Chen", 0},
                                    std::tuple{13, "dave", 1}}) {
        PresenceBuddyRecord r;
        r.id = id;
        std::snprintf(r.name, sizeof r.name, "%s", A(name).c_str());
        r.online = online;
        invite.AddCandidate(r);
    }
    // The texts the chat window gives it.
    invite.SetTexts(shell::LangText("invite_dlg", "header", ""), shell::LangText("invite_dlg", "title", ""),
                    shell::LangText("invite_dlg", "confirm", ""), shell::LangText("invite_dlg", "cancel", ""));
    invite.Message()->setText(zh ? QString::fromUtf8("一起讨论一下发布计划") : "Let's talk about the release");
    invite.adjustSize();
    invite.show();
    Save(&invite, "chat_invite" + sfx);
    windows.Calls().CloseAll();
    invite.hide();
    frame.hide();

    // The main window with the calls windows behind its hook, at its smallest size: the start page
    // with its whole summary, the dial page, then a call.
    {
        CMainFrame main;
        main.resize(380, 560);
        main.LogoffReset(LOGIN_SIGNED_IN);
        main.SetStatusText("txt_online");
        main.show();
        WaitForBarPage(&main);
        CNqNavigatePage* start = main.StartPage();
        start->SetOnlineCount(3);
        start->Links()->AddMissedCall();
        start->Links()->AddMissedCall();
        start->Links()->SetUpdateAnswer();
        start->Links()->ShowUpdateVersion(1, 0, 2);
        main.Sheet()->setCurrentIndex(0);
        Save(&main, "main_start" + sfx);
        main.Command(ID_SHOW_DIAL);
        Save(&main, "main_dial" + sfx);
        main.Command(ID_SHOW_LOG);
        Save(&main, "main_call_log" + sfx);
        main.hide();
        main.LogoffReset(LOGIN_SIGNED_OUT);
    }
    CallLog_Clear();
}

}  // namespace

int main(int argc, char** argv) {
    gallery::UseOffscreen();
    // The dial bar's page runs in the browser engine, as in the program.
    if (::geteuid() == 0) qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
    qputenv("QTWEBENGINE_CHROMIUM_FLAGS", "--disable-gpu");
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    QApplication app(argc, argv);
    const QString root = gallery::Start(app, argc, argv, "calls");
    calls::RegisterWithShell();
    QTemporaryDir profile;
    plat::SetBaseFolder(profile.path().toStdString());
    for (const char* code : {"eng", "chs"}) Language(root.toStdString(), profile.path().toStdString(), code);
    return 0;
}
