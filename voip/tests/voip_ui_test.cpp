// Notices to the main frame: the record handed over, the answers without a frame or a post, the trace line.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/debug.h"
#include "platform/msgqueue.h"
#include "voip/VoipUi.h"

namespace {

std::vector<std::pair<unsigned, std::string>>& Lines() {
    static std::vector<std::pair<unsigned, std::string>> lines;
    return lines;
}
void Capture(unsigned module, const char* text) { Lines().emplace_back(module, text); }

class VoipUiNotice : public ::testing::Test {
protected:
    DebugOutputFn savedOutput = nullptr;
    int32_t savedEnable = 0, savedAll = 0;
    unsigned savedLevel = 0;
    void SetUp() override {
        savedOutput = g_debugOutput.load();
        savedEnable = debug_enable.load();
        savedAll = debug_all.load();
        savedLevel = DebugGetModLevel(MOD_QZ);
        g_debugOutput = &Capture;
        debug_enable = 1;
        debug_all = 0;
        DebugSetModLevel(MOD_QZ, 2);
        Lines().clear();
    }
    void TearDown() override {
        VOIP_SetUiWindow(nullptr);
        g_debugOutput = savedOutput;
        debug_enable = savedEnable;
        debug_all = savedAll;
        DebugSetModLevel(MOD_QZ, static_cast<int>(savedLevel));
    }
    bool Traced(const std::string& text) const {
        for (const auto& [module, line] : Lines())
            if (module == MOD_QZ && line.find(text) != std::string::npos) return true;
        return false;
    }
};

TEST_F(VoipUiNotice, TheFrameGetsTheSixFieldsAndOwnsTheText) {
    std::vector<VOIP_UI_MSG> got;
    std::vector<std::string> texts;
    static std::vector<VOIP_UI_MSG>* sink = nullptr;
    static std::vector<std::string>* textSink = nullptr;
    sink = &got;
    textSink = &texts;
    HWND frame = plat::RegisterWindowTarget([](HWND, UINT msg, WPARAM w, LPARAM l) -> LRESULT {
        if (msg != WM_VOIP_EVENT || w != 0) return 0;
        auto* m = reinterpret_cast<VOIP_UI_MSG*>(l);
        sink->push_back(*m);
        textSink->push_back(m->pValue ? static_cast<const char*>(m->pValue) : "(null)");
        VOIP_FreeUiMsg(m);
        return 1;
    });
    VOIP_SetUiWindow(frame);
    EXPECT_EQ(0, PostVoipEventToUi(3, 7, VOIPEVT_REMOTE_NEWCALL, 1001, 5, strdup("bob@example.com")));
    EXPECT_EQ(0, PostVoipEventToUi(3, 7, VOIPEVT_RELEASE_CALL, -1, -1, nullptr));
    plat::PumpWindowMessages(frame);
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(3, got[0].iCallId);
    EXPECT_EQ(7, got[0].iCnxId);
    EXPECT_EQ(VOIPEVT_REMOTE_NEWCALL, got[0].iEvent);
    EXPECT_EQ(1001, got[0].iParam3);
    EXPECT_EQ(5, got[0].iParam4);
    EXPECT_EQ("bob@example.com", texts[0]);
    EXPECT_EQ("(null)", texts[1]);
    // Module 5 at level 2, the text or NULL.
    EXPECT_TRUE(Traced("UI Receive Message: (3, 7), VOIPEVT_REMOTE_NEWCALL, 1001, 5, bob@example.com"));
    EXPECT_TRUE(Traced("UI Receive Message: (3, 7), VOIPEVT_RELEASE_CALL, -1, -1, NULL"));
    plat::UnregisterWindowTarget(frame);
}

TEST_F(VoipUiNotice, WithoutAFrameTheNoticeIsTracedAndDroppedButAFailedPostIsAnError) {
    // No frame yet: traced, freed, and no error for the call manager.
    VOIP_SetUiWindow(nullptr);
    EXPECT_EQ(0, PostVoipEventToUi(1, 2, VOIPEVT_REMOTE_NEWCALL, 1001, 0, strdup("carol@example.com")));
    EXPECT_TRUE(Traced("UI Receive Message: (1, 2), VOIPEVT_REMOTE_NEWCALL, 1001, 0, carol@example.com"));
    // A frame window that is gone: the post fails, the record and its text are freed, -1.
    HWND gone = plat::RegisterWindowTarget([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
    plat::UnregisterWindowTarget(gone);
    VOIP_SetUiWindow(gone);
    EXPECT_EQ(-1, PostVoipEventToUi(1, 2, VOIPEVT_START, 0, 0, strdup("x")));
    // An unknown event number is traced by the table's last name.
    Lines().clear();
    VOIP_SetUiWindow(nullptr);
    EXPECT_EQ(0, PostVoipEventToUi(1, 2, 99, 0, 0, nullptr));
    ASSERT_EQ(1u, Lines().size());
    EXPECT_EQ(std::string::npos, Lines()[0].second.find("VOIPEVT_STOP"));
}

TEST_F(VoipUiNotice, BelowLevelTwoNothingIsTraced) {
    DebugSetModLevel(MOD_QZ, 1);
    EXPECT_EQ(0, PostVoipEventToUi(1, 2, VOIPEVT_REMOTE_ALERT, 0, 0, nullptr));
    EXPECT_TRUE(Lines().empty());
}

}  // namespace
