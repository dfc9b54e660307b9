// A host that records what the address-book windows ask of the frame, for the widget tests.
#pragma once

#include <QDialog>
#include <QStringList>
#include <functional>
#include <string>
#include <vector>

#include "common/addrbook.h"
#include "ui/contacts/addrbook_host.h"

namespace booktest {

class FakeHost : public contacts::BookHost {
public:
    struct Command {
        int command;
        std::string s1, s2, s3, s4;
        int i1, i2;
    };
    struct Request {
        int command;
        void* data;
        uint32_t kind;
    };
    int status = 0;
    bool dialEnabled = true;
    bool busyCall = false;
    bool talkingCall = true;  // with busyCall: the call is talking, not still calling out
    std::string callPageNumber;
    std::vector<std::string> log;
    std::vector<Command> commands;
    std::vector<Request> requests;
    std::vector<std::pair<QString, QString>> boxes;
    std::vector<int> boxIcons;
    std::vector<QString> urls;
    std::vector<QString> questions;
    std::vector<bool> answers;  // Ask's answers in turn; Yes once they run out
    int dialButtons = -1;       // last SetDialButtons: dial + 2 * hangup
    // Runs a modal dialog: the test fills it and answers.
    std::function<int(QDialog*)> exec = [](QDialog*) { return int(QDialog::Rejected); };
    // Where SendCommand and PostRequest go besides the record (the real client in end-to-end tests).
    std::function<int(const Command&)> sendThrough;
    std::function<int(const Request&)> postThrough;

    int PresenceStatus() const override { return status; }
    bool DialEnabled() const override { return dialEnabled; }
    bool BusyCallPage() const override { return busyCall; }
    bool AnyCallPage() const override { return busyCall; }
    bool TalkingCallPage() const override { return busyCall && talkingCall; }
    bool IsCallingSelf(const QString& number) override { return number == "alice"; }
    bool ShowCallPage(const QString& number) override {
        if (number.toStdString() != callPageNumber) return false;
        log.push_back("show call page " + callPageNumber);
        return true;
    }
    void CallContact(AddrNode* contact, uint32_t type, const QString& number) override {
        log.push_back("call " + std::string(contact && contact->id ? contact->id : "-") + " " + std::to_string(type) + " " +
                      number.toStdString());
    }
    void OpenChat(int type, const std::vector<AddrNode*>& identities) override {
        std::string s = "chat " + std::to_string(type);
        for (AddrNode* i : identities) s += " " + std::string(i->id);
        log.push_back(s);
    }
    int SendGroupText(const QString& text, const std::vector<AddrNode*>& identities) override {
        std::string s = "group text " + text.toStdString() + " to";
        for (AddrNode* i : identities) s += " " + std::string(i->id);
        log.push_back(s);
        return groupTextResult;
    }
    int groupTextResult = 0;
    void OpenSms(int op, const std::string& id) override { log.push_back("sms " + std::to_string(op) + " " + id); }
    void FrameCommand(int command, AddrNode* node) override {
        log.push_back("frame " + std::to_string(command) + " " + std::string(node && node->id ? node->id : "-"));
    }
    int SendCommand(int command, const char* s1, const char* s2, int i1, const char* s3, const char* s4, int i2) override {
        auto t = [](const char* s) { return std::string(s ? s : "(null)"); };
        commands.push_back({command, t(s1), t(s2), t(s3), t(s4), i1, i2});
        return sendThrough ? sendThrough(commands.back()) : 1;
    }
    int PostRequest(int command, void* data, uint32_t kind) override {
        requests.push_back({command, data, kind});
        return postThrough ? postThrough(requests.back()) : 1;
    }
    void OpenUrl(const QString& url) override { urls.push_back(url); }
    void Box(const QString& text, const QString& title, int icon = BOX_WARNING) override {
        boxes.push_back({text, title});
        boxIcons.push_back(icon);
    }
    bool Ask(const QString& text, const QString&) override {
        questions.push_back(text);
        if (answers.empty()) return true;
        const bool a = answers.front();
        answers.erase(answers.begin());
        return a;
    }
    void SetDialButtons(bool dial, bool hangup) override { dialButtons = (dial ? 1 : 0) + (hangup ? 2 : 0); }
    int Exec(QDialog* dialog) override { return exec(dialog); }
    void BroadcastToChats(unsigned message, uintptr_t wParam, const std::string& id) override {
        log.push_back("broadcast " + std::to_string(message) + " " + std::to_string(wParam) + " " + id);
    }
    bool AskGroupMessage(QString* text) override {
        *text = "hello all";
        return true;
    }
    void PressDialButton() override { log.push_back("dial button"); }
};

}  // namespace booktest
