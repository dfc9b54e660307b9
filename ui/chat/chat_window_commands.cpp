// The chat window's commands and menus: the texts of menus, bars and buttons, which commands are open,
// the records command, the context menus, the edit commands and the picture menu.
#include "ui/chat/chat_window.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QLabel>
#include <QCoreApplication>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMimeData>
#include <QRegularExpression>
#include <QToolButton>

#include "ui/chat/chat_skin_panel.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/shell/book_results.h"
#include "ui/shell/head_picture.h"
#include "ui/shell/shell_config.h"

#include "ui/chat/chat_window_internal.h"

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;
using namespace chatwin;

void CIMDlg::OnLanguageChanged() {
    auto set = [this](int id, const char* key, const char* chinese) {
        if (!actions_.count(id)) return;
        QAction* a = actions_[id];
        a->setText(WithoutShortcutText(ChatText("im_dlg", key, chinese), a->shortcut()));
    };
    QList<QAction*> menus = menuBar_->actions();
    const char* menuKeys[][2] = {{"im_menu0", "文件(&F)"}, {"im_menu1", "编辑(&E)"}, {"im_menu2", "动作(&V)"}, {"im_menu3", "设置(&Z)"}};
    for (int i = 0; i < menus.size() && i < 4; ++i) menus[i]->setText(ChatText("im_dlg", menuKeys[i][0], menuKeys[i][1]));
    set(ID_VIEW_RECORDS, "im_menu0_0", "查看聊天记录(&I)");
    set(ID_CLOSE, "im_menu0_1", "关闭(&C)");
    set(ID_UNDO, "im_menu1_0", "撤销(&Z)");
    set(ID_COPY, "im_menu1_1", "拷贝(&C)");
    set(ID_CUT, "im_menu1_2", "剪切(&X)");
    set(ID_PASTE, "im_menu1_3", "粘贴(&V)");
    set(ID_DELETE, "im_menu1_4", "删除(&D)");
    set(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    set(ID_FONT_MENU, "im_menu1_6", "字体(&F)");
    set(ID_INVITE, "im_menu2_0", "邀请加入对话(&T)");
    set(ID_KICK, "im_menu2_1", "踢出用户(&K)");
    set(ID_END, "im_menu2_2", "结束会话(&E)");
    set(ID_BLOCK, "im_menu2_3", "阻止用户(&B)");
    set(ID_ENTER_SENDS, "im_menu3_0", "按Enter发送");
    set(ID_CTRL_ENTER_SENDS, "im_menu3_1", "按Ctrl+Enter发送");
    auto bar = [this](int id, const char* key, const char* chinese, const char* tipKey, const char* tip) {
        QAction* a = actions_.count(id + 100000) ? actions_[id + 100000] : actions_[id];
        if (!a) return;
        a->setText(ChatText("im_dlg", key, chinese));
        a->setToolTip(ChatText("im_tooltip", tipKey, tip));
    };
    bar(ID_INVITE, "im_bar_invite", "邀请", "im_bar_invite", "邀请其他人加入当前会议");
    bar(ID_CALL, "im_bar_call", "呼叫", "im_bar_call", "播打电话");
    bar(ID_KICK, "im_bar_kick", "踢出用户", "im_bar_kick", "将选中的人员从当前会话中踢出");
    bar(ID_END, "im_bar_end", "结束会话", "im_bar_end", "结束当前会话");
    bar(ID_BLOCK, "im_bar_block", "阻止", "im_bar_block", "将选中的人员加入黑名单");
    bar(ID_AUTOPLAY, "im_bar_autoplay", "自动播放", "im_bar_autoptt", "选中自动播放语音短信状态");
    bar(ID_FONT, "im_bar_font", "字体", "im_bar_font", "修改文本窗口中的文字字体");
    bar(ID_EMOTICONS, "im_bar_action", "表情", "im_bar_action", "表情菜单");
    send_->setText(ChatText("im_dlg", "im_send", "发送(&S)"));
    send_->setToolTip(ChatText("im_tooltip", "im_sendbutton", "单击这里以发送消息"));
    ptt_->setText(Plain(ChatText("im_dlg", "im_bar_ptt", "按住讲话")));
    ptt_->setToolTip(ChatText("im_tooltip", "im_bar_ptt", "一直按住鼠标左键，发送语音信息"));
    memberLabel_->setText(ChatText("im_dlg", "im_privacy1", "To") + " ");
    recipientLabel_->setText(ChatText("im_dlg", "im_privacy2", "") + " ");
    // A blank label would only take a row from the member list.
    recipientLabel_->setVisible(!recipientLabel_->text().trimmed().isEmpty());
    peerPanel_->OnLanguageChanged();
    ownPanel_->OnLanguageChanged();
    inviteTexts_ = QStringList{
        ChatText("invite_dlg", "header",
                 "选择要将其添加到对话框中的人，然后单击“确定”(若选择多个人，请在单击的同时按住Ctrl或Shift键)"),
        ChatText("invite_dlg", "title", "邀请加入会议"), ChatText("invite_dlg", "confirm", "确定(&O)"),
        ChatText("invite_dlg", "cancel", "取消(&C)")};
    if (inviteDialog_) {
        if (ChatWindowHooks().inviteTexts) ChatWindowHooks().inviteTexts(inviteDialog_, inviteTexts_);
        WindowMessageEvent changed(WM_USER + 1000, 0, 0);
        QCoreApplication::sendEvent(inviteDialog_, &changed);
    }
    memberStrip_->setToolTip(ChatText("im_tooltip", "im_button", "隐藏或显示当前窗口"));
    RefreshCommands();
    // The caption is im_title alone until a set-up names the session in it again.
    setWindowTitle(ChatText("im_dlg", "im_title", "QZ文本消息"));
    title_->setText(LanguageTitle());
    ViewMembersChanged();
}

void CIMDlg::RefreshCommands() {
    auto enable = [this](int id, bool on) {
        if (actions_.count(id)) actions_[id]->setEnabled(on);
        if (actions_.count(id + 100000)) actions_[id + 100000]->setEnabled(on);
    };
    // The buttons and menu items each kind of chat has: a one-to-one or several-user chat has no room to
    // end or to kick from; a room's session is the robot's to end; blocking is for people, not rooms.
    auto show = [this](int id, bool bar, bool menu) {
        if (actions_.count(id + 100000)) actions_[id + 100000]->setVisible(bar);
        if (actions_.count(id)) actions_[id]->setVisible(menu);
    };
    const bool direct = m_chatType == CHAT_ONE || m_chatType == CHAT_SEVERAL;
    show(ID_END, !direct && m_chatType != CHAT_ROOM, !direct && m_chatType != CHAT_ROOM);
    // A room's Action menu keeps no item: its invite and kick are the bar's alone.
    show(ID_KICK, !direct, !direct && m_chatType != CHAT_ROOM);
    show(ID_INVITE, true, m_chatType != CHAT_ROOM);
    show(ID_BLOCK, direct, direct);
    show(ID_CALL, m_chatType != CHAT_GROUP, true);
    enable(ID_INVITE, m_bSessionActive && m_chatType != CHAT_ROOM);
    // Kick: some rows chosen; a single one must be somebody other than the user.
    const QList<QListWidgetItem*> chosen = memberList_->selectedItems();
    enable(ID_KICK, !chosen.isEmpty() && (chosen.size() != 1 || chosen[0]->data(Qt::UserRole).toInt() != 0));
    enable(ID_END, m_chatType == CHAT_TEMP_GROUP ? m_bInitiator != 0 : m_chatType == CHAT_GROUP);
    enable(ID_CALL, m_chatType == CHAT_ONE ? (!m_members.empty() && m_members[0].online == 1) : [this] {
        const auto rows = memberList_->selectedItems();
        if (rows.size() != 1) return false;
        const PresenceBuddyRecord* m = RowMember(rows[0]->data(Qt::UserRole).toInt());
        return m && m->id > 0 && m->online == 1;
    }());
    // Block: a target with an id that the address book holds, and no answer outstanding.
    const PresenceBuddyRecord* target = blockPending_ ? nullptr : BlockTarget();
    const int state = target && target->id != 0 && target->userId[0] && ChatWindowHooks().bookState
                          ? ChatWindowHooks().bookState(target->userId) : -1;
    enable(ID_BLOCK, state >= 0);
    if (actions_.count(ID_BLOCK)) {
        const bool unblock = state == 1;
        actions_[ID_BLOCK]->setText(unblock ? ChatText("addrbook_dialog", "menucontactunblock", "解除阻止此用户(&B)")
                                            : ChatText("im_dlg", "im_menu2_3", "阻止用户(&B)"));
        if (QAction* button = actions_.count(ID_BLOCK + 100000) ? actions_[ID_BLOCK + 100000] : nullptr) {
            button->setText(unblock ? ChatText("im_dlg", "im_bar_unblock", "解除阻止") : ChatText("im_dlg", "im_bar_block", "阻止用户"));
            button->setToolTip(unblock ? ChatText("im_tooltip", "im_bar_unblock", "将选中的人员从黑名单中解除")
                                       : ChatText("im_tooltip", "im_bar_block", "将选中的人员加入黑名单"));
        }
    }
    actions_[ID_ENTER_SENDS]->setChecked(m_bEnterSends == 1);
    actions_[ID_CTRL_ENTER_SENDS]->setChecked(m_bEnterSends == 0);
    actions_[ID_AUTOPLAY]->setChecked(m_bAutoPlay != 0);
}

void CIMDlg::ViewRecords() {
    int peer = 0;
    if (m_chatType == CHAT_ONE && !m_members.empty()) peer = m_members[0].id;
    else if (auto items = memberList_->selectedItems(); !items.isEmpty()) peer = std::max(0, items[0]->data(Qt::UserRole).toInt());
    if (ChatWindowHooks().viewRecords) ChatWindowHooks().viewRecords(peer);
}

QMenu* CIMDlg::ContextMenuFor(QWidget* view) {
    const bool history = view == history_;
    QMenu*& menu = history ? historyMenu_ : inputMenu_;
    if (!menu) menu = new QMenu(this);
    menu->clear();
    RefreshEditCommands();
    auto item = [&](int id, const char* key, const char* chinese) {
        QAction* a = menu->addAction(ChatText("im_dlg", key, chinese).left(63));
        a->setEnabled(actions_[id]->isEnabled());
        QAction* target = actions_[id];
        connect(a, &QAction::triggered, this, [this, target, history] {
            lastClickInHistory_ = history;
            target->trigger();
        });
    };
    if (history) {
        lastClickInHistory_ = true;
        RefreshEditCommands();
        item(ID_COPY, "im_menu1_1", "拷贝(&C)");
        menu->addSeparator();
        item(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    } else {
        lastClickInHistory_ = false;
        RefreshEditCommands();
        item(ID_UNDO, "im_menu1_0", "撤销(&Z)");
        menu->addSeparator();
        item(ID_CUT, "im_menu1_2", "剪切(&X)");
        item(ID_COPY, "im_menu1_1", "拷贝(&C)");
        item(ID_PASTE, "im_menu1_3", "粘贴(&V)");
        item(ID_DELETE, "im_menu1_4", "删除(&D)");
        menu->addSeparator();
        item(ID_SELECT_ALL, "im_menu1_5", "全选(&A)");
    }
    return menu;
}

void CIMDlg::RefreshEditCommands() {
    auto holds = [](const QTextEdit* e) { return e->textCursor().hasSelection(); };
    const bool inputSel = holds(input_);
    actions_[ID_UNDO]->setEnabled(input_->document()->isUndoAvailable());
    actions_[ID_COPY]->setEnabled(lastClickInHistory_ ? holds(history_) : inputSel);
    actions_[ID_CUT]->setEnabled(inputSel);
    actions_[ID_DELETE]->setEnabled(inputSel);
    const QMimeData* clip = QApplication::clipboard() ? QApplication::clipboard()->mimeData() : nullptr;
    actions_[ID_PASTE]->setEnabled(clip && clip->hasText());
    actions_[ID_SELECT_ALL]->setEnabled(true);
}

void CIMDlg::ShowPictureMenu(int which, const QPoint& at) {
    QMenu menu(this);
    menu.setObjectName("pictureMenu");
    auto item = [&](int id, const char* key, const char* chinese) {
        QAction* a = menu.addAction(ChatText("im_dlg", key, chinese));
        a->setData(id);
    };
    if (which == 0) {
        item(1311, "im_contact_detail", "查看详细信息(&V)");
        const bool known = m_chatType == CHAT_ONE && !m_members.empty() && m_members[0].userId[0] && ChatWindowHooks().bookState &&
                           ChatWindowHooks().bookState(m_members[0].userId) >= 0;
        menu.actions().back()->setEnabled(known);
        menu.addSeparator();
        item(1312, "im_photo_hide", "隐藏(&H)");
    } else {
        item(1313, "im_select_photo", "更改显示图片(&C)...");
        menu.addSeparator();
        item(1314, "im_photo_hide", "隐藏(&H)");
    }
    chat::ModalScope scope(this);
    QAction* chosen = menu.exec(mapToGlobal(at));
    if (chosen && !scope.Closed()) OnPictureCommand(chosen->data().toInt());
}

void CIMDlg::OnPictureCommand(int id) {
    switch (id) {
        case 1311:
            if (m_chatType == CHAT_ONE && !m_members.empty() && ChatWindowHooks().contactDetails) {
                const std::string userId = m_members[0].userId;
                chat::ModalScope scope(this);
                ChatWindowHooks().contactDetails(this, userId);
            }
            break;
        case 1312: SetPeerPaneCollapsed(true); break;
        case 1313: {
            chat::ModalScope scope(this);
            if (HeadPictureHook()) {
                HeadPictureHook()(this);
            } else {
                CHeadPicDlg dialog(QString::fromStdString(shell::g_panelPicture), this);
                dialog.exec();
            }
            break;
        }
        case 1314: SetOwnPaneCollapsed(true); break;
        default: break;
    }
}
