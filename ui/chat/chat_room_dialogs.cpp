// The chat-room list, joining, and the wait dialog.
#include "ui/chat/chat_room_dialogs.h"

#include <algorithm>

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "common/debug.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_closing.h"
#include "ui/chat/chat_placement.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/skin.h"
#include "ui/controls/styled_button.h"
#include "ui/shell/identity_dialogs.h"

namespace {

std::function<int(QDialog*)> g_exec;
std::function<void(const QString&)> g_box;
std::function<void(CChatWaitDlg*)> g_waiting;
std::function<void()> g_listRequest;

QString Lang(const char* section, const char* key, const char* english) { return chat::ChatText(section, key, english); }

// The room icon (205) of the dialog, its Enter button and every room of the tree; the stop icon (221) of
// the Cancel and Stop buttons.
constexpr int kRoomIcon = 205;
constexpr int kStopIcon = 221;
QIcon RoomIcon() { return QIcon(ctl::ResourceFile(QStringLiteral("%1.ico").arg(kRoomIcon))); }

int Exec(QDialog* dialog) { return g_exec ? g_exec(dialog) : dialog->exec(); }

void Box(QWidget* parent, const QString& text) {
    if (g_box) {
        g_box(text);
        return;
    }
    chat::ModalScope scope(parent ? parent->window() : nullptr);
    QMessageBox::information(parent, Lang("dlg_common", "tip", "tip"), text);
}

// The wait dialog's animation (220): the frames of the program's picture strip, 32 pixels square and
// magenta-keyed, played from the first to the last and again without end.
class Animation : public QWidget {
public:
    explicit Animation(QWidget* parent) : QWidget(parent) {
        setObjectName("animation");
        setFixedSize(kFrame, kFrame);
        const QImage strip = ctl::LoadBitmapFile(ctl::ResourceFile(QStringLiteral("220_anim.bmp")));
        if (!strip.isNull() && strip.height() >= kFrame) {
            const QPixmap keyed = ctl::KeyedPixmap(strip, RGB(255, 0, 255));
            for (int x = 0; x + kFrame <= strip.width(); x += kFrame) frames_.push_back(keyed.copy(x, 0, kFrame, kFrame));
        }
        connect(&timer_, &QTimer::timeout, this, [this] {
            if (frames_.isEmpty()) return;
            frame_ = (frame_ + 1) % frames_.size();
            update();
        });
        timer_.start(100);
    }
    void Stop() { timer_.stop(); }
    bool Running() const { return timer_.isActive(); }
    int Frames() const { return static_cast<int>(frames_.size()); }

protected:
    void paintEvent(QPaintEvent*) override {
        if (frames_.isEmpty()) return;
        QPainter p(this);
        p.drawPixmap(0, 0, frames_[frame_]);
    }

private:
    static constexpr int kFrame = 32;
    QList<QPixmap> frames_;
    QTimer timer_;
    int frame_ = 0;
};

}  // namespace

void CChatRoomDlg::SetHooks(std::function<int(QDialog*)> exec, std::function<void(const QString&)> box,
                            std::function<void(CChatWaitDlg*)> waiting) {
    g_exec = std::move(exec);
    g_box = std::move(box);
    g_waiting = std::move(waiting);
}

void CChatRoomDlg::SetListRequest(std::function<void()> request) { g_listRequest = std::move(request); }

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
    auto* stop = new CStyledButton(this);
    stop->SetIconIds(kStopIcon, CStyledButton::kOutNone);
    button_ = stop;
    button_->setText(Lang("chatwait_dlg", "cancel", "&Stop"));
    button_->setAutoDefault(false);
    animation_ = new Animation(this);
    auto* top = new QHBoxLayout;
    top->addWidget(animation_);
    top->addWidget(label_, 1);
    layout->addLayout(top);
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
    timer_.start(100);
    if (registry_) registry_->waitDialog = this;
    if (!parent) chat::PlaceWithinScreen(this);
}

CChatWaitDlg::~CChatWaitDlg() {
    if (registry_ && registry_->waitDialog == this) registry_->waitDialog = nullptr;
}

void CChatWaitDlg::SetText(const QString& text) { label_->setText(text.left(1023)); }

void CChatWaitDlg::Tick() {
    if (!timer_.isActive()) return;
    progress_->setValue(std::min(kTimeoutMs, progress_->value() + 100));
    if (progress_->value() >= kTimeoutMs) {
        m_bEndedByUser = true;
        timer_.stop();
        button_->setText(Lang("chatwait_dlg", "finish", "Finish"));
        label_->setText(Lang("chatwait_dlg", "timeout", "Request timeout"));
    }
}

int CChatWaitDlg::Progress() const { return progress_->value(); }
bool CChatWaitDlg::Animating() const { return static_cast<Animation*>(animation_)->Running(); }
QString CChatWaitDlg::ButtonText() const { return button_->text(); }
QString CChatWaitDlg::Text() const { return label_->text(); }

void CChatWaitDlg::Answered() { done(QDialog::Accepted); }

void CChatWaitDlg::done(int r) {
    if (registry_ && registry_->waitDialog == this) registry_->waitDialog = nullptr;
    timer_.stop();
    static_cast<Animation*>(animation_)->Stop();
    progress_->setValue(kTimeoutMs);
    QDialog::done(r);
}

// ---------------------------------------------------------------------------------------------
CChatRoomDlg::CChatRoomDlg(CChatSessionRegistry* registry, QPointer<CChatRoomDlg>* ownerSlot, QWidget* parent)
    : QDialog(parent), registry_(registry), ownerSlot_(ownerSlot) {
    setObjectName("chatRoomDlg");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(RoomIcon());
    auto* layout = new QVBoxLayout(this);
    tip_ = new QLabel(this);
    tip_->setWordWrap(true);
    tree_ = new QTreeWidget(this);
    tree_->setObjectName("roomTree");
    tree_->setHeaderHidden(true);
    tree_->setRootIsDecorated(false);
    tree_->setIconSize(QSize(16, 16));
    auto* enter = new CStyledButton(this);
    enter->SetIconIds(kRoomIcon, CStyledButton::kOutNone);
    enter_ = enter;
    enter_->setDefault(true);
    auto* cancel = new CStyledButton(this);
    cancel->SetIconIds(kStopIcon, CStyledButton::kOutNone);
    cancel_ = cancel;
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
    if (!parent) chat::PlaceWithinScreen(this);
    if (g_listRequest) g_listRequest();
    else AS_SendCommand(AS_GCR, nullptr, nullptr, 0, nullptr, nullptr, 0);
}

CChatRoomDlg::~CChatRoomDlg() {
    if (ownerSlot_ && *ownerSlot_ == this) *ownerSlot_ = nullptr;  // a newer window may hold the slot by now
}

void CChatRoomDlg::reject() {
    QDialog::reject();
    if (ownerSlot_) deleteLater();
}

void CChatRoomDlg::OnLanguageChanged() {
    setWindowTitle(Lang("chatroom_dlg", "title", "chat room"));
    tip_->setText(Lang("chatroom_dlg", "txt_tip", "tip"));
    enter_->setText(Lang("chatroom_dlg", "enter", "&Enter Chatroom"));
    cancel_->setText(Lang("dlg_common", "IDCANCEL", "&Cancel"));
}

void CChatRoomDlg::OnRoomList(int code, const std::vector<ChatRoomEntry>* rooms) {
    if (code != 0 || !rooms) {
        Box(this, Lang("chatroom_dlg", "nochatroom", "Not chatroom currently"));
        return;
    }
    rooms_ = *rooms;
    // The old rows go with the old list: a row left over would name a room the new list has not.
    tree_->clear();
    for (size_t i = 0; i < rooms_.size(); ++i) {
        auto* item = new QTreeWidgetItem(tree_, {rooms_[i].name});
        item->setIcon(0, RoomIcon());
        item->setData(0, Qt::UserRole, static_cast<int>(i));
    }
}

void CChatRoomDlg::Join() {
    QTreeWidgetItem* item = tree_->currentItem();
    const int index = item ? item->data(0, Qt::UserRole).toInt() : -1;
    const ChatRoomEntry* room = index >= 0 && index < static_cast<int>(rooms_.size()) ? &rooms_[index] : nullptr;
    CChatRoomJoin(this, registry_, room, item ? item->text(0) : QString());
}

bool CChatRoomJoin(QWidget* parent, CChatSessionRegistry* registry, const ChatRoomEntry* room, const QString& itemText) {
    if (!room) {
        Box(parent, Lang("chatroom_dlg", "select", "Please select chat room"));
        return false;
    }
    // Sign-out may close the window that started the join while one of the dialogs below runs.
    chat::ModalScope scope(parent ? parent->window() : nullptr);
    ChatSessionRecord record;
    record.isNew = 1;
    presence_copy_field(record.name, sizeof record.name, chat::ToAnsi(room->name).substr(0, 63).c_str());
    presence_copy_field(record.tail, sizeof record.tail, " ");
    // The identity to enter under: chosen when there are several (or none), the only one otherwise.
    const AsProfileEntry* identity = nullptr;
    std::string password;
    const bool needPassword = room->passwordFlag == 1;
    if (g_profileList.entries.size() != 1) {
        CSelectIdentityDlg dlg(parent, needPassword);
        if (Exec(&dlg) != QDialog::Accepted || scope.Closed()) return false;
        password = chat::ToAnsi(dlg.m_strPassword);
        // The row carries its profile; without a row, the name shown in the dialog's field.
        if (QTreeWidgetItem* chosen = dlg.List()->currentItem())
            identity = static_cast<const AsProfileEntry*>(chosen->data(0, Qt::UserRole).value<void*>());
        for (const AsProfileEntry* e : g_profileList.entries)
            if (!identity && e && e->name && chat::FromAnsi(e->name) == dlg.m_strIdentity) identity = e;
    } else {
        if (needPassword) {
            CPasswordDlg dlg(parent);
            if (Exec(&dlg) != QDialog::Accepted || scope.Closed()) return false;
            password = chat::ToAnsi(dlg.m_strPassword);
        }
        identity = g_profileList.entries.front();
    }
    if (!identity) {
        DebugTrace(MOD_QZ, 2, "Chat room %s: no identity to enter under", room->id.c_str());
        return false;
    }
    if (needPassword) presence_copy_field(record.lead, sizeof record.lead, password.substr(0, 31).c_str());
    const char* entered = identity->name && *identity->name ? identity->name : identity->id;
    presence_copy_field(record.identity, sizeof record.identity, entered ? entered : "");
    if (!registry) return false;
    registry->OpenChat(CHAT_ROOM, nullptr, room->id.c_str(), &record, 1);
    if (auto* list = qobject_cast<CChatRoomDlg*>(parent)) list->hide();
    CChatWaitDlg wait(registry, parent);
    // The room's window, new or already open: another room's answer is not this one's.
    wait.SetRoomWindow(registry->FindByMembers(CHAT_ROOM, nullptr, room->id.c_str(), nullptr));
    QString tip = Lang("chatroom_dlg", "entertip", "Joining [%s] chatroom, please wait...");
    wait.SetText(tip.replace("%s", itemText));
    if (g_waiting) g_waiting(&wait);
    else wait.exec();
    if (scope.Closed()) return true;
    if (wait.m_bEndedByUser && record.window) {
        auto* window = static_cast<ChatWindowBase*>(record.window);
        if (registry->ContainsDialog(window)) window->CloseWindow();
    }
    return true;
}
