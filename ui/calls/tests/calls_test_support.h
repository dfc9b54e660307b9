// Shared fixture of the calls tests: call control with doubles below it (voip test support), a
// signed-in SIP account, the real call log in a temporary folder, and the test clock.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <functional>

#include "common/account.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "platform/fs.h"
#include "ui/calls/call_controller.h"
#include "ui/calls/calls_logic.h"
#include "voip/tests/voip_test_support.h"

namespace callstest {

using namespace calls;
using namespace voiptest;

struct FakeUi : CallUi {
    std::vector<CallPageModel*> created, removed;
    std::vector<std::string> boxes, questions;
    bool answer = true;
    std::function<void()> whileAsking;  // runs while the question is open, as the event loop does
    int missed = 0, logChanged = 0, tray = 0, front = 0;
    std::vector<int> activatedTypes;
    int dial = -2, hangup = -2;
    void PageCreated(CallPageModel* p) override { created.push_back(p); }
    void PageRemoved(CallPageModel* p) override { removed.push_back(p); }
    void PageChanged(CallPageModel*) override {}
    void ActivatePage(CallPageModel*) override {}
    void ActivatePageOfType(int t) override { activatedTypes.push_back(t); }
    void ShowBox(const std::string& text, const std::string&) override { boxes.push_back(text); }
    bool AskYesNo(const std::string& text, const std::string&) override {
        questions.push_back(text);
        if (whileAsking) whileAsking();
        return answer;
    }
    void MissedCall() override { ++missed; }
    void CallLogChanged() override { ++logChanged; }
    void StopTrayAnimation() override { ++tray; }
    void BringToFront() override { ++front; }
    void EnableDialBar(int d, int h) override {
        dial = d;
        hangup = h;
    }
};

struct FakeSounds : SoundPlayer {
    std::vector<std::string> log;    // "ringin.wav", "stop"
    std::vector<std::string> paths;  // every file played, whole
    void Play(const std::string& path, bool) override {
        log.push_back(path.substr(path.rfind('/') + 1));
        paths.push_back(path);
    }
    void Stop() override { log.push_back("stop"); }
    int Count(const std::string& s) const { return static_cast<int>(std::count(log.begin(), log.end(), s)); }
};

constexpr int64_t kEpoch = 1765000000;

class CallPages : public CallControlTest {
protected:
    FakeUi ui;
    FakeSounds sounds;
    std::unique_ptr<CallController> own;
    CallController* calls = nullptr;
    HWND hWnd = nullptr;
    std::string base;
    Account* sip = nullptr;

    static CallController*& Current() {
        static CallController* c = nullptr;
        return c;
    }
    static LRESULT Handler(HWND, UINT msg, WPARAM, LPARAM lParam) {
        if (msg != WM_VOIP_EVENT) return 0;
        auto* m = reinterpret_cast<VOIP_UI_MSG*>(lParam);
        if (Current()) Current()->OnVoipEvent(m);
        VOIP_FreeUiMsg(m);
        return 0;
    }

    void SetUp() override {
        CallControlTest::SetUp();
        char tmpl[] = "/tmp/tessaly-calls-XXXXXX";
        base = mkdtemp(tmpl);
        plat::SetBaseFolder(base);
        g_strUserId = "alice";
        CallLog_Init();
        sip = Account_New("alice@example.com", ACCOUNT_TYPE_SIP);
        Account_Add(sip);
        calls = MakeController();
        calls->now = [] { return kEpoch + static_cast<int64_t>(plat::NowMs() / 1000); };
        calls->ticks = [] { return plat::NowMs(); };
        calls->domainSuffix = "@example.com";
        Current() = calls;
        hWnd = plat::RegisterWindowTarget(Handler);
        VOIP_SetUiWindow(hWnd);
    }
    void TearDown() override {
        calls->CloseAll();
        PumpAll();
        Current() = nullptr;
        DropController();
        calls = nullptr;
        VOIP_SetUiWindow(hFrame);
        plat::PumpWindowMessages(hWnd);
        plat::UnregisterWindowTarget(hWnd);
        Account_Remove(sip);
        Account_Free(sip);
        CallLog_Clear();
        g_strUserId.clear();
        CallControlTest::TearDown();
        std::string cmd = "rm -rf '" + base + "'";
        if (system(cmd.c_str()) != 0) {
        }
    }
    // The controller under test (the widget tests take the windows' own).
    virtual CallController* MakeController() {
        own = std::make_unique<CallController>(&ui, &sounds, "/skin");
        return own.get();
    }
    virtual void DropController() { own.reset(); }
    void PumpAll() {
        for (int i = 0; i < 100; ++i) {
            int n = CC_PumpEvents();
            size_t m = plat::PumpWindowMessages(hWnd);
            if (n == 0 && m == 0) break;
        }
    }
    // Lets time pass in 100 ms steps, running connection and page timers.
    void Wait(uint64_t ms) {
        for (uint64_t t = 0; t < ms; t += 100) {
            clock->advance(100);
            CC_ThreadRound(0);
            PumpAll();
            calls->RunTimers();
        }
    }
    CallPageModel* Only() { return calls->Pages().size() == 1 ? calls->Pages()[0].get() : nullptr; }
    // Calls `who` and has the peer answer: the call's only page, or null when no single page opened.
    CallPageModel* AnsweredCall(const char* who) {
        calls->CallNumber(who);
        PumpAll();
        CallPageModel* page = Only();
        if (!page) return nullptr;
        Answer(page->cnxIds[0]);
        PumpAll();
        return page;
    }
    std::vector<CallLogEntry> Log() {
        std::vector<CallLogEntry> v(CALLLOG_MAX_ENTRIES);
        int n = 0;
        CallLog_GetByType(CALLLOG_ALL, v.data(), static_cast<int>(v.size()), &n);
        v.resize(static_cast<size_t>(n));
        return v;
    }
    void IncomingCall(const char* from, int* call, int* cnx) {
        Incoming(call, cnx, from);
        PumpAll();
    }
};

}  // namespace callstest
