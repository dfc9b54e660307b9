// Test helpers of the service tests: a stand-in for the frame window that records what reaches it.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "common/appenv.h"
#include "common/tests/store_fixture.h"
#include "platform/msgqueue.h"
#include "service/as_client.h"
#include "service/bootstrap.h"
#include "service/service_msgs.h"

namespace servicetest {

// The frame: a pumped window target on the test thread; records each message and frees the records
// the service hands over.
class FrameDouble {
public:
    struct Message {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
    };

    FrameDouble() {
        m_window = plat::RegisterWindowTarget([this](HWND, UINT m, WPARAM w, LPARAM l) -> LRESULT {
            m_messages.push_back({m, w, l});
            if (keepRecords) return 0;
            Free(m, w, l);
            return 0;
        });
        g_hMainWnd = m_window;
    }
    ~FrameDouble() {
        g_hMainWnd = nullptr;
        plat::PumpWindowMessages(m_window);
        plat::UnregisterWindowTarget(m_window);
        if (keepRecords)
            for (const Message& m : m_messages) Free(m.message, m.wParam, m.lParam);
    }
    HWND Window() const { return m_window; }
    // Runs what has been posted so far.
    const std::vector<Message>& Pump() {
        plat::PumpWindowMessages(m_window);
        return m_messages;
    }
    std::vector<Message> Of(UINT message) {
        std::vector<Message> out;
        for (const Message& m : Pump())
            if (m.message == message) out.push_back(m);
        return out;
    }
    std::vector<int> States() {
        std::vector<int> out;
        for (const Message& m : Of(WM_LOGIN_STATE)) out.push_back(static_cast<int>(m.wParam));
        return out;
    }
    std::vector<std::pair<int, int>> Notices() {
        std::vector<std::pair<int, int>> out;
        for (const Message& m : Of(WM_LOGIN_NOTICE)) out.push_back({static_cast<int>(m.wParam), static_cast<int>(m.lParam)});
        return out;
    }
    void Clear() {
        Pump();
        if (keepRecords)
            for (const Message& m : m_messages) Free(m.message, m.wParam, m.lParam);
        m_messages.clear();
    }
    // Keep the records of WM_BOOT_REQUEST and WM_AS_RESULT until the frame goes away.
    bool keepRecords = false;

private:
    static void Free(UINT m, WPARAM w, LPARAM l) {
        if (m == WM_BOOT_REQUEST) delete reinterpret_cast<CBootRequest*>(w);
        if (m == WM_AS_RESULT) AS_FreeRequest(reinterpret_cast<AsRequest*>(l));
    }
    HWND m_window = nullptr;
    std::vector<Message> m_messages;
};

}  // namespace servicetest
