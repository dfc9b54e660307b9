// Gallery of the chat windows: a one-to-one chat with pictures, emoticons and a voice message, a chat room,
// a multi-user chat and the emoticon picker, in English and Chinese, grabbed to PNG files.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QTemporaryDir>
#include <QGuiApplication>
#include <QPainter>
#include <QScreen>
#include <QToolButton>
#include <QTreeWidget>
#include <QMenu>
#include <QPainter>
#include <QTimer>
#include <QSplitter>
#include <cstdio>
#include <cstring>

#include "tools/gallery/gallery_support.h"
#include "common/account.h"
#include "common/addrbook.h"
#include "platform/codepage.h"
#include "platform/fs.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/chat/chat_record_frame.h"
#include "ui/chat/chat_record_view.h"
#include "ui/chat/chat_room_dialogs.h"
#include "ui/chat/chat_skin_panel.h"
#include "ui/chat/chat_sms_dialogs.h"
#include <QLineEdit>
#include <QPlainTextEdit>
#include "ui/chat/chat_transport.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/rich_edit.h"
#include "ui/shell/book_results.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/app_start.h"
#include "ui/shell/shell_app.h"
#include "tools/testsupport/install_copy.h"

namespace {


void Save(QWidget* w, const QString& name) { gallery::Save(w, name); }

int Accept(PresenceConnectionRec*, const char*, std::vector<PresenceBuddyRecord>* r, const char*, int) {
    r->clear();
    return 0;
}

// A buddy with a card in the address book whose picture is one of the head-picture folder's files.
PresenceBuddyRecord Buddy(int id, const QString& name, int online = 1) {
    PresenceBuddyRecord b;
    b.id = id;
    b.online = online;
    presence_copy_field(b.name, sizeof b.name, chat::ToAnsi(name).c_str());
    const std::string card = "card-" + std::to_string(id);
    presence_copy_field(b.userId, sizeof b.userId, card.c_str());
    bool known = false;
    for (AddrNode* n = g_addrBookRoots[0]->child; n; n = n->next) known = known || (n->id && card == n->id);
    if (!known) {
        AddrContact* c = AddrBook_NewContact(chat::ToAnsi(name).c_str(), nullptr, card.c_str());
        AddrNode* last = g_addrBookRoots[0]->child;
        while (last && last->next) last = last->next;
        AddrBook_AttachContact(c, g_addrBookRoots[0], last);
        char picture[16];
        std::snprintf(picture, sizeof picture, "%02d.bmp", (id * 7) % 31);
        AddrBook_SetContactExtra(c, picture);
    }
    return b;
}

void Deliver(CChatSessionRegistry* reg, const std::string& chatId, const PresenceBuddyRecord& from, const QString& text,
             int secondsAgo) {
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, chatId.c_str());
    r.sender = from;
    r.time = static_cast<int32_t>(time(nullptr) - secondsAgo);
    RouteIncomingMessage(reg, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(chat::ToAnsi(text).c_str())), &r);
}

void Language(const std::string& appFolder, const std::string& profile, const std::string& code) {
    const bool zh = code == "chs";
    const QString suffix = QString::fromStdString(code);
    shell::LoadConfigPaths(appFolder, profile, zh);
    shell::ApplyLanguageCode(code);
    auto tr = [zh](const char* en, const char* cn) { return zh ? QString::fromUtf8(cn) : QString::fromUtf8(en); };
    ChatRecordFile records(profile + "/chatrecord-" + code);
    AddrBook_Destroy();
    AddrBook_Init();
    shell::g_panelPicture = "09.bmp";
    CChatSessionRegistry reg;
    reg.SetFactory([&] {
        auto* w = new CIMDlg;
        w->SetRecords(&records);
        w->SetOwnName(chat::ToAnsi(tr("Alice", "爱丽丝")));
        return static_cast<ChatWindowBase*>(w);
    });
    ChatWindowCore::SetRobotId(900);

    // One-to-one: text both ways, emoticons, a link, a voice message.
    std::vector<PresenceBuddyRecord> bob{Buddy(5, tr("Bob", "张伟"))};
    reg.OpenChat(CHAT_ONE, &bob, nullptr, nullptr, 1);
    auto* one = static_cast<CIMDlg*>(reg.Windows().back());
    one->resize(660, 470);
    Deliver(&reg, one->m_szChatId, bob[0], tr("Hi Alice! Are we still on for the review at three? /:)", "爱丽丝，下午三点的评审会还开吗？/:)"), 300);
    one->Input()->insertPlainText(tr("Yes — I booked room 4. Agenda: http://intranet.example.com/review /:D",
                                     "开，我订了四号会议室。议程在这里：http://intranet.example.com/review /:D"));
    one->InsertEmoticonImages(0, 1000);
    one->OnSend();
    PresenceMessageRecord voice;
    presence_copy_field(voice.chatId, sizeof voice.chatId, one->m_szChatId.c_str());
    voice.sender = bob[0];
    voice.time = static_cast<int32_t>(time(nullptr));  // after the message just sent
    RouteIncomingMessage(&reg, WM_PRESENCE_VOICE, 42, &voice);
    RouteIncomingMessage(&reg, WM_PRESENCE_VOICE, 42, &voice);
    Deliver(&reg, one->m_szChatId, bob[0], tr("Great, see you there /:P", "好的，到时见 /:P"), 0);
    one->Input()->insertPlainText(tr("I'll bring the slides /;)", "我带上幻灯片 /;)"));
    one->InsertEmoticonImages(0, 1000);
    Save(one, "chat_one_" + suffix);

    // The picture menu over the peer's picture, and the user's own.
    for (int which : {0, 1}) {
        CIMSkinPanel* panel = which == 0 ? one->PeerPanel() : one->OwnPanel();
        const QPoint at = panel->mapTo(one, panel->PictureRect().center());
        QTimer::singleShot(200, [one, which, suffix] {
            for (QWidget* top : QApplication::topLevelWidgets())
                if (auto* menu = qobject_cast<QMenu*>(top); menu && menu->isVisible()) {
                    // The window with its menu open, as the user sees it.
                    // Room for a menu that opens past the window's edge.
                    const QPoint at = one->mapFromGlobal(menu->pos());
                    QImage shot(std::max(one->width(), at.x() + menu->width() + 4), one->height(), QImage::Format_ARGB32);
                    shot.fill(Qt::transparent);
                    QPainter p(&shot);
                    p.drawPixmap(0, 0, one->grab());
                    p.drawPixmap(at, menu->grab());
                    p.end();
                    shot.save(gallery::g_out + "/chat_picture_menu_" + (which == 0 ? "peer_" : "own_") + suffix + ".png");
                    std::printf("%s\n", qPrintable(gallery::g_out + "/chat_picture_menu_" + (which == 0 ? "peer_" : "own_") + suffix + ".png"));
                    menu->close();
                }
        });
        one->ShowPictureMenu(which, at);
    }
    // Both picture panes folded away.
    one->SetPeerPaneCollapsed(true);
    one->SetOwnPaneCollapsed(true);
    Save(one, "chat_one_folded_" + suffix);
    one->SetPeerPaneCollapsed(false);
    one->SetOwnPaneCollapsed(false);

    // Emoticon picker over the window.
    {
        CEmoticonPopup popup(nullptr, 1);
        popup.show();
        Save(&popup, "emoticon_picker_" + suffix);
    }
    // The window at the right edge of the screen: the picker opens from its emoticon arrow and moves left
    // to stay wholly on the screen. The picture is that corner of the screen.
    {
        const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
        QToolButton* smile = nullptr;
        for (auto* b : one->findChildren<QToolButton*>())
            if (b->popupMode() == QToolButton::MenuButtonPopup) smile = b;
        if (smile) {
            const QPoint inWindow = smile->mapTo(one, QPoint(smile->width(), 0));
            one->move(area.right() + 1 - inWindow.x() - 24, area.top() + 20);
            one->show();
            QApplication::processEvents();
            CEmoticonPopup* popup = CEmoticonPopup::OpenBelow(one, smile, 0);
            QApplication::processEvents();
            const QRect corner(area.right() + 1 - 720, area.top(), 720, one->height() + 80);
            QImage screen(corner.size(), QImage::Format_ARGB32);
            screen.fill(QColor(0x3a, 0x5f, 0x8a));
            QPainter p(&screen);
            p.drawPixmap(one->frameGeometry().topLeft() - corner.topLeft(), one->grab());
            p.setPen(QColor(0, 0, 0, 60));
            p.drawRect(QRect(popup->pos() - corner.topLeft(), popup->size()).adjusted(1, 1, 1, 1));
            p.drawPixmap(popup->pos() - corner.topLeft(), popup->grab());
            p.end();
            screen.save(gallery::g_out + "/emoticon_picker_right_edge_" + suffix + ".png");
            std::printf("%s\n", qPrintable(gallery::g_out + "/emoticon_picker_right_edge_" + suffix + ".png"));
            popup->close();
        }
    }

    // Several users.
    std::vector<PresenceBuddyRecord> team{Buddy(5, tr("Bob", "张伟")), Buddy(6, tr("Carol", "李娜")), Buddy(7, tr("Dave", "王强"), 0)};
    reg.OpenChat(CHAT_SEVERAL, &team, nullptr, nullptr, 1);
    auto* several = static_cast<CIMDlg*>(reg.Windows().back());
    several->resize(660, 470);
    PresenceMessageRecord r;
    presence_copy_field(r.chatId, sizeof r.chatId, several->m_szChatId.c_str());
    r.sender = team[1];
    r.recipients = {team[0], team[2]};
    r.time = static_cast<int32_t>(time(nullptr) - 120);
    RouteIncomingMessage(&reg, WM_PRESENCE_TEXT, reinterpret_cast<WPARAM>(strdup(chat::ToAnsi(tr("The build is green again /:)", "构建又通过了 /:)")).c_str())), &r);
    several->Input()->insertPlainText(tr("Thanks Carol, shipping tonight.", "谢谢李娜，今晚发布。"));
    several->OnSend();
    Save(several, "chat_several_" + suffix);

    // A chat room joined through the robot.
    ChatSessionRecord room;
    presence_copy_field(room.name, sizeof room.name, chat::ToAnsi(tr("Product Lounge", "产品交流室")).c_str());
    presence_copy_field(room.tail, sizeof room.tail, " ");
    reg.OpenChat(CHAT_ROOM, nullptr, "R12", &room, 1);
    auto* lounge = static_cast<CIMDlg*>(reg.Windows().back());
    lounge->resize(660, 470);
    PresenceBuddyRecord robot = Buddy(900, "robot");
    Deliver(&reg, lounge->m_szChatId, robot, "#@#START#0#THUPDATE", 200);
    Deliver(&reg, "900#", robot, tr("#@#LIST#31,Erin#32,Frank#33,Grace", "#@#LIST#31,小红#32,老周#33,阿杰"), 190);
    Deliver(&reg, "900#31", robot, tr("Welcome! Today's topic: the new release /:D", "欢迎！今天聊新版本 /:D"), 100);
    Deliver(&reg, "900#", robot, tr("#@#NOTIFY#1#34,Heidi", "#@#NOTIFY#1#34,小美"), 80);
    Deliver(&reg, "900#SMSG#32", robot, tr("(private) Can you look at my notes later?", "（悄悄话）一会儿帮我看看笔记？"), 40);
    lounge->show();
    Save(lounge, "chat_room_" + suffix);
    // The same room at the window's least size: the member list keeps its rows.
    lounge->resize(540, 390);
    QApplication::processEvents();
    Save(lounge, "chat_room_small_" + suffix);

    // An invitation into a room, from the robot: the window it opens shows the two answers.
    Deliver(&reg, "9001#", robot, tr("#@#INVITE#9001,Bob,1002,Developers", "#@#INVITE#9001,张伟,1002,开发讨论"), 10);
    auto* invited = static_cast<CIMDlg*>(reg.Windows().back());
    invited->resize(660, 470);
    invited->show();
    Save(invited, "chat_invitation_" + suffix);
    reg.CloseAll(0);
    QApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);

    // The dialogs.
    {
        CChatRoomDlg::SetListRequest([] {});
        CChatRoomDlg rooms(&reg);
        const std::vector<ChatRoomEntry> list{{"q-dev", tr("Developers", "开发讨论"), 0}, {"q-family", tr("Family", "家庭"), 1},
                                              {"q-lunch", tr("Lunch club", "午餐俱乐部"), 0}};
        rooms.OnRoomList(0, &list);
        rooms.show();
        Save(&rooms, "chat_rooms_" + suffix);
        CChatWaitDlg wait(&reg);
        wait.SetText(QString(chat::ChatText("chatroom_dlg", "entertip", "Joining [%s] chatroom, please wait...")).replace("%s", tr("Developers", "开发讨论")));
        for (int i = 0; i < 180; ++i) wait.Tick();
        wait.show();
        Save(&wait, "chat_wait_" + suffix);
        CSendSmsDlg sms;
        sms.AppendNumbers({"13800138000", "13900139000"});
        sms.Text()->setPlainText(tr("The review moved to 4 pm, room 4.", "评审会改到下午四点，四号会议室。"));
        sms.show();
        Save(&sms, "sms_" + suffix);
        CSelectRecipientsDlg chooser({{chat::ToAnsi(tr("Bob", "张伟")), "13800138000"}, {chat::ToAnsi(tr("Carol", "李娜")), "13900139000"},
                                      {chat::ToAnsi(tr("Dave", "王强")), "13700137000"}}, "13800138000", nullptr);
        chooser.show();
        Save(&chooser, "sms_recipients_" + suffix);
        CGroupMessageDlg group;
        group.Edit()->setPlainText(tr("Team lunch on Friday at noon!", "周五中午聚餐！"));
        group.show();
        Save(&group, "group_message_" + suffix);
        CChatQueryDlg query({{5, tr("Bob", "张伟")}, {6, tr("Carol", "李娜")}});
        query.show();
        Save(&query, "chat_query_" + suffix);
    }

    // The record browser over what the windows above wrote.
    {
        CChatRecordFrame browser(&records, [&](int n) { return n == 0 ? chat::ToAnsi(tr("Alice", "爱丽丝")) : std::string(); });
        browser.resize(860, 560);
        browser.show();
        browser.SelectRecordOwner(5);
        if (browser.List()->topLevelItemCount() > 0) browser.List()->topLevelItem(0)->setSelected(true);
        Save(&browser, "chat_records_" + suffix);
        // A voice record: the picture that plays it.
        for (int i = 0; i < browser.List()->topLevelItemCount() && browser.RecordView()->VoiceNumber() == 0; ++i) {
            browser.List()->clearSelection();
            browser.List()->topLevelItem(i)->setSelected(true);
        }
        Save(&browser, "chat_records_voice_" + suffix);
    }
}

}  // namespace

int main(int argc, char** argv) {
    gallery::UseOffscreen();
    QApplication app(argc, argv);
    const QString root = gallery::Start(app, argc, argv, "chat");
    ChatSetSendFunction(Accept);
    Account* account = Account_New("alice", ACCOUNT_TYPE_SERVICE);
    Account_Add(account);
    QTemporaryDir profile;
    testsupport::InstallCopy install(root.toStdString());  // the windows write beside what they read
    for (const char* code : {"eng", "chs"}) {
        shell::LoadConfigPaths(install.Path(), profile.path().toStdString(), code == std::string("chs"));
        Language(install.Path(), profile.path().toStdString(), code);
    }
    return 0;
}
