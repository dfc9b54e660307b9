// Calls windows for frame tests: plain dial, call-log and call pages, and a hook that makes them and counts what the frame asks.
#pragma once

#include <QPointer>
#include <QString>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ui/shell/call_windows_hook.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/pages.h"

namespace fakecalls {

// A page of the given type with a title: a dial or call-log page, or a call page in a state.
class Page : public CNqPropertyPage {
public:
    Page(int type, const QString& title, int state = 6) : CNqPropertyPage(type), title_(title) { m_nState = state; }
    QString TabTitle() const override { return title_; }
    int TabImage() const override { return m_nType == PAGE_CALL ? 5 : m_nType == PAGE_DIAL ? 2 : 3; }

private:
    QString title_;
};

// The hook: makes the pages, reports the call pages it is given, counts the frame's requests by name.
class Hook : public shell::CallWindowsHook {
public:
    explicit Hook(std::map<std::string, int>* seen = nullptr) : seen_(seen) {}
    CNqPropertyPage* MakeDialPage() override { return Keep(new Page(PAGE_DIAL, "Dial")); }
    CNqPropertyPage* MakeCallLogPage() override { return Keep(new Page(PAGE_LOG, "Calls")); }
    void DropPages() override {
        for (auto& p : pages_)
            if (p) p->deleteLater();
        pages_.clear();
    }
    void OnVoipEvent(const VOIP_UI_MSG*) override { Count("voip"); }
    void OnDialButton(bool) override { Count("dial"); }
    void OnHangupButton() override { Count("hangup"); }
    int CallNumber(const std::string& number) override {
        Count("call " + number);
        return 0;
    }
    bool AnyCallPage() override { return !!Live(); }
    bool AnyTalking() override { return AnyIn(1); }
    bool AnyUnanswered() override { return AnyIn(0); }
    bool DialBarBusy() override { return busy; }
    bool busy = false;
    bool ShowCallPageFor(const std::string& number) override {
        for (Page* p : calls_)
            if (p && p->m_nState != 3 && p->TabTitle().compare(QString::fromStdString(number), Qt::CaseInsensitive) == 0) {
                if (MainFrame() && MainFrame()->Sheet()) MainFrame()->Sheet()->setCurrentWidget(p);
                return true;
            }
        return false;
    }
    bool OwnsPage(const CNqPropertyPage* page) override {
        for (auto& p : pages_)
            if (p == page) return true;
        return false;
    }
    void ActivePageChanged() override {}
    void CloseAll() override { Count("close all"); }
    void HoldActiveCall() override { Count("hold"); }
    void UnholdActiveCall() override { Count("resume"); }
    void MergeActiveCall() override { Count("merge"); }
    void ShowConnectionError(int code) override { Count("error " + std::to_string(code)); }

    // A call page of the number in a state (0 calling, 1 talking, 3 ended), added to the frame's sheet.
    Page* AddCall(const QString& number, int state) {
        auto* p = new Page(PAGE_CALL, number, state);
        Keep(p);
        calls_.push_back(p);
        if (MainFrame() && MainFrame()->Sheet()) MainFrame()->Sheet()->AddPage(p);
        return p;
    }

private:
    Page* Keep(Page* p) {
        pages_.emplace_back(p);
        return p;
    }
    bool AnyIn(int state) const {
        for (Page* p : calls_)
            if (p && p->m_nState == state) return true;
        return false;
    }
    Page* Live() const {
        for (Page* p : calls_)
            if (p && p->m_nState != 3) return p;
        return nullptr;
    }
    void Count(const std::string& what) {
        if (seen_) ++(*seen_)[what];
    }
    std::map<std::string, int>* seen_;
    std::vector<QPointer<Page>> pages_, calls_;
};

// Registers the hook for the frames made while it lives; the last one made is reachable.
class Registered {
public:
    explicit Registered(std::map<std::string, int>* seen = nullptr) {
        shell::CallWindowsFactoryRef() = [this, seen](CMainFrame*, CChildView*, QAbstractButton*, QAbstractButton*) {
            auto hook = std::make_unique<Hook>(seen);
            last = hook.get();
            return hook;
        };
    }
    ~Registered() { shell::CallWindowsFactoryRef() = nullptr; }
    Registered(const Registered&) = delete;
    Registered& operator=(const Registered&) = delete;
    Hook* last = nullptr;
};

}  // namespace fakecalls
