// Time to show one received message of emoticon codes (and, beside it, plain words) in a chat window, and
// a record of the same in the record browser's view: chat_show_bench [sizes in bytes...]
// Runs offscreen unless QT_QPA_PLATFORM says otherwise; the window is open and shown before the message
// comes, so its layout and painting are counted and its making is not.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/account.h"
#include "platform/codepage.h"
#include "service/presence_notice.h"
#include "ui/chat/chat_record_store.h"
#include "ui/chat/chat_record_view.h"
#include "ui/chat/chat_session_registry.h"
#include "ui/chat/chat_window.h"
#include "ui/shell/shell_config.h"
#include "tools/testsupport/install_copy.h"

namespace {

double Seconds(const std::chrono::steady_clock::time_point& since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

std::string Repeat(const std::string& unit, size_t bytes) {
    std::string text;
    while (text.size() + unit.size() <= bytes) text += unit;
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    std::vector<size_t> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(static_cast<size_t>(std::atol(argv[i])));
    if (sizes.empty()) sizes = {8000, 65535};
    testsupport::InstallCopy install;
    char tmpl[] = "/tmp/chatshowXXXXXX";
    if (!mkdtemp(tmpl)) return 1;
    const std::string root = tmpl;
    shell::LoadConfigPaths(install.Path(), root, false);
    shell::ApplyLanguageCode("eng");
    ChatRecordFile records(root + "/records");
    Account* account = Account_New("10001", ACCOUNT_TYPE_SERVICE);
    Account_Add(account);
    CChatSessionRegistry registry;
    registry.SetFactory([&] {
        auto* w = new CIMDlg;
        w->SetRecords(&records);
        return static_cast<ChatWindowBase*>(w);
    });
    registry.SetPresenter([](ChatWindowBase* w, bool) { w->ShowChatWindow(); });
    int chat = 0;
    for (size_t size : sizes) {
        for (const char* unit : {"/:)", "word "}) {
            const std::string text = Repeat(unit, size);
            PresenceMessageRecord r;
            presence_copy_field(r.chatId, sizeof r.chatId, ("0_20002_" + std::to_string(++chat)).c_str());
            r.sender.id = 5 + chat;
            presence_copy_field(r.sender.name, sizeof r.sender.name, "Ann");
            r.time = 1173089700;
            // The window is open with a first line; only the long message is timed.
            PresenceMessageRecord first = r;
            RouteIncomingMessage(&registry, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup("hi /:)")), &first);
            QApplication::processEvents();
            const auto start = std::chrono::steady_clock::now();
            RouteIncomingMessage(&registry, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(text.c_str())), &r);
            QApplication::processEvents();
            std::printf("chat window, %zu bytes of \"%s\": %.3f s\n", text.size(), unit, Seconds(start));
            std::fflush(stdout);
        }
    }
    CChatRecordView view;
    view.resize(480, 320);
    view.show();
    view.ShowContent(0, "hi /:)");
    QApplication::processEvents();
    for (size_t size : sizes) {
        for (const char* unit : {"/:)", "word "}) {
            const QString text = QString::fromLatin1(Repeat(unit, size));
            const auto start = std::chrono::steady_clock::now();
            view.ShowContent(0, text);
            QApplication::processEvents();
            std::printf("record view, %lld characters of \"%s\": %.3f s\n", static_cast<long long>(text.size()), unit,
                        Seconds(start));
            std::fflush(stdout);
        }
    }
    registry.CloseAll(0);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    Account_Remove(account);
    Account_Free(account);
    std::system(("rm -rf " + root).c_str());
    return 0;
}
