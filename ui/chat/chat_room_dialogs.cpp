// The chat-room list, joining, and the wait dialog.
#include "ui/chat/chat_room_dialogs.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QRegularExpression>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_window.h"

namespace {

std::function<bool(const QString&, std::string*)> g_askPassword;
std::function<void(const QString&)> g_box;
std::function<void(CChatWaitDlg*)> g_waiting;
std::function<void()> g_listRequest;
std::function<qint64()> g_clock;

qint64 NowMs() {
    if (g_clock) return g_clock();
    static QElapsedTimer steady = [] {
        QElapsedTimer t;
        t.start();
        return t;
    }();
    return steady.elapsed();
}

QString Lang(const char* section, const char* key, const char* english) { return chat::ChatText(section, key, english); }

QString Plain(QString text) {
    text.remove(QRegularExpression(R"(\(&\w\))"));
    return text.remove('&');
}

}  // namespace

void CChatRoomDlg::SetHooks(std::function<bool(const QString&, std::string*)> askPassword,
                            std::function<void(const QString&)> box, std::function<void(CChatWaitDlg*)> waiting) {
    g_askPassword = std::move(askPassword);
    g_box = std::move(box);
    g_waiting = std::move(waiting);
}

void CChatRoomDlg::SetListRequest(std::function<void()> request) { g_listRequest = std::move(request); }

void CChatWaitDlg::SetClock(std::function<qint64()> clock) { g_clock = std::move(clock); }

// ---------------------------------------------------------------------------------------------
CChatWaitDlg::CChatWaitDlg(CChatSessionRegistry* registry, QWidget* parent) : QDialog(parent), registry_(registry) {
    setObjectName("chatWaitDlg");
    setWindowTitle(Lang("chatwait_dlg", "title", "Please wait..."));
    auto* layout = new QVBoxLayout(this);
    label_ = new QLabel(Lang("chatwait_dlg", "tip", "Please wait..."), this);
    label_->setWordWrap(true);
    progress_ = new QProgressBar(this);
    progress_->setRange(0, kTimeoutMs);
    progress_->setTextVisible(false);
    progress_->setValue(0);
    button_ = new QPushButton(Plain(Lang("chatwait_dlg", "cancel", "&Stop")), this);
    button_->setAutoDefault(false);
    layout->addWidget(label_);
    layout->addWidget(progress_);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(button_);
    layout->addLayout(row);
    resize(360, 130);
    connect(button_, &QPushButton::clicked, this, [this] {
        m_bEndedByUser = true;
        hide();
        done(QDialog::Rejected);
    });
    connect(&timer_, &QTimer::timeout, this, &CChatWaitDlg::Tick);
    timer_.setTimerType(Qt::PreciseTimer);
    started_ = NowMs();
    timer_.start(100);
    if (registry_) registry_->waitDialog = this;
}

CChatWaitDlg::~CChatWaitDlg() {
    if (registry_ && registry_->waitDialog == this) registry_->waitDialog = nullptr;
}

void CChatWaitDlg::SetText(const QString& text) { label_->setText(text.left(1023)); }

void CChatWaitDlg::Tick() {
    if (!timer_.isActive()) return;
    const qint64 waited = NowMs() - started_;
    progress_->setValue(static_cast<int>(std::min<qint64>(kTimeoutMs, std::max<qint64>(progress_->value() + 100, waited))));
    if (progress_->value() >= kTimeoutMs) {
        m_bEndedByUser = true;
        timer_.stop();
        button_->setText(Lang("chatwait_dlg", "finish", "Finish"));
        label_->setText(Lang("chatwait_dlg", "timeout", "Request timeout"));
    }
}

int CChatWaitDlg::Progress() const { return progress_->value(); }
QString CChatWaitDlg::ButtonText() const { return button_->text(); }
QString CChatWaitDlg::Text() const { return label_->text(); }

void CChatWaitDlg::Answered() { done(QDialog::Accepted); }

void CChatWaitDlg::done(int r) {
    if (registry_ && registry_->waitDialog == this) registry_->waitDialog = nullptr;
    timer_.stop();
    progress_->setValue(kTimeoutMs);
    QDialog::done(r);
}

// ---------------------------------------------------------------------------------------------
CChatRoomDlg::CChatRoomDlg(CChatSessionRegistry* registry, QPointer<CChatRoomDlg>* ownerSlot, QWidget* parent)
    : QDialog(parent), registry_(registry), ownerSlot_(ownerSlot) {
    setObjectName("chatRoomDlg");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(chat::GlyphIcon(chat::Glyph::Room));
    auto* layout = new QVBoxLayout(this);
    tip_ = new QLabel(this);
    tip_->setWordWrap(true);
    tree_ = new QTreeWidget(this);
    tree_->setObjectName("roomTree");
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(false);
    tree_->setIconSize(QSize(18, 18));
    enter_ = new QPushButton(this);
    enter_->setIcon(chat::GlyphIcon(chat::Glyph::Invite));
    enter_->setDefault(true);
    cancel_ = new QPushButton(this);
    layout->addWidget(tip_);
    layout->addWidget(tree_, 1);
    auto* row = new QHBoxLayout;
    row->addStretch();
    row->addWidget(enter_);
    row->addWidget(cancel_);
    layout->addLayout(row);
    resize(320, 380);
    connect(enter_, &QPushButton::clicked, this, &CChatRoomDlg::Join);
    connect(tree_, &QTreeWidget::itemDoubleClicked, this, [this] { Join(); });
    connect(cancel_, &QPushButton::clicked, this, &QDialog::close);
    OnLanguageChanged();
    if (g_listRequest) g_listRequest();
    else AS_SendCommand(AS_GCR, nullptr, nullptr, 0, nullptr, nullptr, 0);
}

CChatRoomDlg::~CChatRoomDlg() {
    if (ownerSlot_) *ownerSlot_ = nullptr;
}

void CChatRoomDlg::OnLanguageChanged() {
    setWindowTitle(Lang("chatroom_dlg", "title", "chat room"));
    tip_->setText(Lang("chatroom_dlg", "txt_tip", "tip"));
    enter_->setText(Lang("chatroom_dlg", "enter", "&Enter Chatroom"));
    cancel_->setText(Lang("dlg_common", "IDCANCEL", "&Cancel"));
}

void CChatRoomDlg::OnRoomList(int code, const std::vector<ChatRoomEntry>& rooms) {
    if (code != 0 || rooms.empty()) {
        if (g_box) g_box(Lang("chatroom_dlg", "nochatroom", "Not chatroom currently"));
        else QMessageBox::information(this, Lang("dlg_common", "tip", "tip"), Lang("chatroom_dlg", "nochatroom", "Not chatroom currently"));
        return;
    }
    rooms_ = rooms;
    tree_->clear();
    for (size_t i = 0; i < rooms_.size(); ++i) {
        auto* item = new QTreeWidgetItem(tree_, {rooms_[i].name});
        item->setIcon(0, chat::GlyphIcon(rooms_[i].passwordFlag ? chat::Glyph::Lock : chat::Glyph::Room));
        item->setData(0, Qt::UserRole, static_cast<int>(i));
    }
}

void CChatRoomDlg::Join() {
    QTreeWidgetItem* item = tree_->currentItem();
    if (!item) {
        const QString text = Lang("chatroom_dlg", "select", "Please select chat room");
        if (g_box) g_box(text);
        else QMessageBox::information(this, Lang("dlg_common", "tip", "tip"), text);
        return;
    }
    const ChatRoomEntry room = rooms_[item->data(0, Qt::UserRole).toInt()];
    ChatSessionRecord record;
    record.isNew = 1;
    presence_copy_field(record.name, sizeof record.name, chat::ToAnsi(room.name).substr(0, 63).c_str());
    presence_copy_field(record.tail, sizeof record.tail, " ");
    if (room.passwordFlag == 1) {
        std::string password;
        bool ok = false;
        if (g_askPassword) {
            ok = g_askPassword(room.name, &password);
        } else {
            QString typed = QInputDialog::getText(this, room.name, Lang("chatroom_dlg", "password", "Password:"),
                                                  QLineEdit::Password, QString(), &ok);
            password = chat::ToAnsi(typed);
            ok = ok && !typed.isEmpty();
        }
        if (!ok) return;
        presence_copy_field(record.lead, sizeof record.lead, password.substr(0, 31).c_str());
    }
    if (!registry_) return;
    registry_->OpenChat(CHAT_ROOM, nullptr, room.id.c_str(), &record, 1);
    hide();
    CChatWaitDlg wait(registry_, parentWidget());
    QString tip = Lang("chatroom_dlg", "entertip", "Joining [%s] chatroom, please wait...");
    wait.SetText(tip.replace("%s", item->text(0)));
    if (g_waiting) g_waiting(&wait);
    else wait.exec();
    if (wait.m_bEndedByUser && record.window) {
        auto* window = static_cast<ChatWindowBase*>(record.window);
        if (registry_->ContainsDialog(window)) window->CloseWindow();
    }
}
