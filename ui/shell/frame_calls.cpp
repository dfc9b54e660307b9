// The frame's call events: incoming and outgoing calls, their pages and the dial requests.
#include "ui/shell/main_frame.h"

#include <QAction>
#include <QDesktopServices>
#include <QFileInfo>
#include <QProcess>
#include <QUrl>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QScreen>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QVBoxLayout>
#include <QDialog>
#include <cstdlib>
#include <thread>
#include <cstring>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/calllog.h"
#include "common/debug.h"
#include "common/grouprecord.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "platform/msgqueue.h"
#include "platform/sound.h"
#include "platform/wave.h"
#include "platform/thread.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/bootstrap.h"
#include "service/login_fsm.h"
#include "service/presence_core.h"
#include "service/presence_notice.h"
#include "service/service_msgs.h"
#include "service/settings_xml.h"
#include "service/update_check.h"
#include "ui/shell/book_results.h"
#include "ui/shell/call_lookup.h"
#include "ui/controls/skin.h"
#include "ui/controls/skin_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/about_box.h"
#include "ui/shell/accounts_dialogs.h"
#include "ui/shell/frame_logic.h"
#include "ui/shell/frame_menus.h"
#include "ui/shell/nav_pages.h"
#include "ui/shell/login_dialog.h"
#include "ui/shell/saved_logins.h"
#include "ui/shell/shell_app.h"
#include "ui/shell/shell_config.h"
#include "voip/CC_Main.h"
#include "voip/CM_Main.h"
#include "voip/VoipUi.h"

using shell::LangText;


#include "ui/shell/capture_probe.h"
#include "ui/shell/frame_internal.h"

using frame_internal::Ansi;
using frame_internal::Q;

// ---------------------------------------------------------------------------------------------
// Calls.

// Calls are placed and shown by the calls windows; without them there is no call to place.
int CMainFrame::CallNumber(const QString& number) {
    if (!m_calls) return -1;
    const int r = m_calls->CallNumber(number.left(64).toStdString());
    RefreshMenus();
    return r;
}

LRESULT CMainFrame::OnVoipEvent(WPARAM, LPARAM lParam) {
    auto* msg = reinterpret_cast<VOIP_UI_MSG*>(lParam);
    if (!msg) return 1;
    if (msg->iEvent == VOIPEVT_TIMEOUT || msg->iEvent == VOIPEVT_START || msg->iEvent == VOIPEVT_STOP) {
        OnCallServiceEvent(msg->iEvent);
        VOIP_FreeUiMsg(msg);
        RefreshMenus();
        return 1;
    }
    QString text;
    if (msg->iEvent == VOIPEVT_REMOTE_NEWCALL && !AcceptIncomingCall(msg, &text)) {
        VOIP_FreeUiMsg(msg);
        return 1;
    }
    if (m_calls) m_calls->OnVoipEvent(msg);
    VOIP_FreeUiMsg(msg);
    RefreshMenus();
    return 1;
}

bool CMainFrame::AcceptIncomingCall(const VOIP_UI_MSG* msg, QString* caller) {
    if (msg->iCallId < 0 || msg->iCnxId < 0) return false;
    const char* text = static_cast<const char*>(msg->pValue);
    const std::string address = text ? std::string(text, strnlen(text, 128)) : std::string();
    auto refuse = [&](const char* why) {
        DebugTrace(MOD_QZ, 3, "Call from %s refused: %s", address.c_str(), why);
        CM_SendEvent(msg->iCallId, msg->iCnxId, CMEVT_DISCONNECT, -1, -1, nullptr);
        return false;
    };
    if (address.empty()) return refuse("no caller address");
    const bool blocked = shell::IsBlockedCaller(address);
    if (blocked) return refuse("the contact is blocked");
    *caller = Q(address.c_str());
    return true;
}

void CMainFrame::OnCallServiceEvent(int event) {
    const int state = event == VOIPEVT_START ? 1 : 0;
    if (state == 1) {
        STA_PostEvent(EV_SIP_register_Succeed);
    } else {
        if (m_nLoginState == LOGIN_SIGNED_IN) {
            shell::g_loginPending = true;
            DebugTrace(MOD_SYSTEM, 3, "SIP Timeout Or ERROR, Set Reconnection Flag");
        }
        STA_PostEvent(EV_unreachable);
    }
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        if (Account* sip = Account_FindByType(ACCOUNT_TYPE_SIP)) {
            Account_SetConnectionParam(sip, state);
            if (shell::g_pAccountsDlg) shell::g_pAccountsDlg->OnAccountState(state, sip);
        }
    }
}

void CMainFrame::CallContact(const AddrNode* contact, uint32_t identityType) {
    const std::string number = shell::ContactNumber(contact, identityType ? identityType : 8);
    if (number.empty()) {
        DebugTrace(MOD_QZ, 3, "The contact has no number of type %u to call", identityType);
        return;
    }
    CallNumber(Q(number.c_str()));
}

// ---------------------------------------------------------------------------------------------
// A chat window calls a member: the telephone number of the member's contact.

LRESULT CMainFrame::OnCallContact(WPARAM wParam, LPARAM) {
    const auto* record = reinterpret_cast<const PresenceBuddyRecord*>(wParam);
    if (!record) return 1;
    const std::string number = shell::MemberPhoneNumber(record->id);
    if (number.empty()) {
        DebugTrace(MOD_QZ, 3, "No telephone number to call for member %d", record->id);
        return 1;
    }
    const QString n = Q(number.c_str()).left(64);
    if (m_calls && m_calls->ShowCallPageFor(number)) return 1;
    if (AnyCall()) {
        Box(LangText("ondial_dialog", "ExistedCallError", "existed call in current,cann't call again!"), LangText("ondial_dialog", "MSG_TITLE", "Tip"));
        return 1;
    }
    CallNumber(n);
    return 1;
}

// ---------------------------------------------------------------------------------------------
// The active call page's commands and the capture probe.

int CMainFrame::HasWaveInDevice() { return shell::HasWaveInDevice(); }

int shell::HasWaveInDevice() {
    if (waveInGetNumDevs() == 0) return 1;
    WAVEFORMATEX format{WAVE_FORMAT_PCM, 1, 22050, 44100, 2, 16, 0};
    HWAVEIN device = nullptr;
    const MMRESULT r = waveInOpen(&device, WAVE_MAPPER, &format, 0, 0, CALLBACK_NULL);
    if (r == MMSYSERR_NOERROR) {
        waveInClose(device);
        return 0;
    }
    DebugTrace(MOD_QZ, 3, "The capture device cannot be opened (%u)", static_cast<unsigned>(r));
    switch (r) {
        case MMSYSERR_BADDEVICEID:
        case MMSYSERR_ALLOCATED:
        case MMSYSERR_NODRIVER:
        case MMSYSERR_NOMEM:
        case WAVERR_BADFORMAT: return 2;
        default: return 0;
    }
}

void CMainFrame::ShowConnectionError(int code) {
    if (m_calls) {
        m_calls->ShowConnectionError(code);
        return;
    }
    const char* key = code == -2 ? "msg_mic_inuse" : code == -1 ? "msg_cnx_failed" : "msg_unknown";
    Box(LangText("dial_dialog", key, ""), LangText("multiconf_dialog", "conf_info", "Infomation"));
}

bool CMainFrame::IsPageCallCurrent() { return m_calls && m_calls->IsPageCallCurrent(); }
void CMainFrame::HoldActiveCall() {
    if (m_calls) m_calls->HoldActiveCall();
    RefreshMenus();
}
void CMainFrame::UnholdActiveCall() {
    if (m_calls) m_calls->UnholdActiveCall();
    RefreshMenus();
}
void CMainFrame::MergeActiveCall() {
    if (m_calls) m_calls->MergeActiveCall();
    RefreshMenus();
}

int CMainFrame::DialRequest(const std::string& number) {
    const bool shown = m_nLoginState == LOGIN_SIGNED_IN && m_calls && m_calls->ShowCallPageFor(number);
    const int result = shell::DialDecision(m_nLoginState, shown, m_navigatePage != nullptr, m_calls && m_calls->AnyTalking());
    if (result == 3) CallNumber(QString::fromStdString(number).left(64));
    DebugTrace(MOD_SYSTEM, 2, "Dial request %s answered %d", number.c_str(), result);
    return result;
}
