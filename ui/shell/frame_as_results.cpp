// The frame's access-server results: synchronisation, group lists and each request's answer.
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


#include "ui/shell/frame_internal.h"

using frame_internal::Ansi;
using frame_internal::ForEachAccount;
using frame_internal::Q;

void CMainFrame::ApplySync(CAsSyncResult* sync) {
    if (sync->displayName && *sync->displayName) alias_ = Ansi(sync->displayName);
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAccountMutex);
        for (AsServiceRecord* s : sync->services) {
            if (!s || !s->account || (s->serviceId != 1 && s->serviceId != 2)) continue;
            const uint32_t type = static_cast<uint32_t>(s->serviceId);
            Account* a = Account_Find(s->account, type);
            if (!a) {
                a = Account_New(s->account, type);
                if (!a) continue;
                if (!Account_Add(a)) {
                    Account_Free(a);
                    continue;
                }
            }
            Account_SetPassword(a, s->password);
            if (sync->displayName) Account_SetAlias(a, sync->displayName);
        }
    }
    AS_InstallProfiles(sync);
    // The registered address book has taken the synchronisation already.
    int buddies = 0;
    for (CAsBuddy* b : sync->buddies) buddies += b && b->uid;
    syncedBuddies_ = buddies;
}

LRESULT CMainFrame::OnAsResult(WPARAM, LPARAM lParam) {
    auto* request = reinterpret_cast<AsRequest*>(lParam);
    if (!request) return 1;
    switch (request->command) {
        case AS_LGN:
            if (request->result == 0) {
                AS_PostRequest(AS_SYN, nullptr, AS_DATA_NONE);
            } else if (request->result == AS_RESULT_NONE) {
                STA_PostEvent(EV_unreachable);
            } else {
                OnLoginRefused();
            }
            break;
        case AS_SYN:
            if (request->result == 0 && request->kind == AS_DATA_SYNC && request->data) {
                ApplySync(static_cast<CAsSyncResult*>(request->data));
                STA_PostEvent(EV_profilelogin_succeed);
            } else {
                OnSyncFailed();
            }
            break;
        case AS_REA:
            if (request->result == 0 && request->kind == AS_DATA_PARAMS && request->data) {
                auto* p = static_cast<AsParams*>(request->data);
                if (p->str3 && *p->str3) {
                    alias_ = Ansi(p->str3);
                    ApplyLanguage();
                }
            }
            break;
        default: {
            const shell::BookResultEffect e = shell::ApplyBookResult(request);
            if (e.boxKey)
                Box(shell::FillFormat(shell::LangFormatText(e.boxSection, e.boxKey, e.boxDefault), {Ansi(e.boxArg.c_str())}),
                    LangText("profile_status", "fail_title", ""));
            if (e.rebuild && BookHooks().refresh) BookHooks().refresh(e.rebuild);
            if (e.onlineCount) UpdateOnlineCount();
            if (e.counterChanged) m_navigatePage->Links()->ShowContactCounter(shell::g_contactCounter);
            // The chat windows see the rest, and a removed contact or a new panel picture as well.
            if (ChatHooks().asResult && (!e.handled || !e.removedContact.empty() || e.panelChanged))
                ChatHooks().asResult(request);
            break;
        }
    }
    if (request->extra) free(request->extra);
    request->extra = nullptr;
    AS_FreeRequest(request);
    return 1;
}

// Group lists reach the address book first, which applies wParam 0 to its group trees itself; an
// answered quit queue (wParam 3) refreshes the joined queues. A failed request's record changes nothing.
LRESULT CMainFrame::OnAsGroupList(WPARAM wParam, LPARAM lParam) {
    auto* record = reinterpret_cast<GroupRecord*>(lParam);
    if (!record || record->words[0] != 0) {
        GroupRecord_Free(record);
        return 0;
    }
    if (wParam == 3) AS_PostRequest(AS_SYJQ, nullptr, AS_DATA_NONE);
    else if (wParam != 0) DebugTrace(MOD_SYSTEM, 2, "Group list of unknown kind %d dropped", static_cast<int>(wParam));
    GroupRecord_Free(record);
    return 1;
}

void CMainFrame::ShowAsErrorBox(int code) {
    static const std::pair<int, std::pair<const char*, const char*>> texts[] = {
        {201, {"nogroupID", "There is no such group."}},
        {202, {"gid_not_in_group", "You are not a member of this group."}},
        {203, {"reject_look", "The group does not let you see its members."}},
        {204, {"reject_join", "The group did not let you join."}},
        {301, {"uid_not_exist", "There is no such user."}},
    };
    QString text;
    for (const auto& [c, key] : texts)
        if (c == code) text = LangText("addrbook_dialog", key.first, key.second);
    const QString title = LangText("update", "msgboxtitle", "Update");
    if (showBox) {
        showBox(text, title);
        return;
    }
    QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, this);
    box.exec();
}
