// The conference chooser and the chat invitation dialog.
#include "ui/calls/invite_dialogs.h"
#include "ui/calls/ansi_text.h"
#include "ui/calls/control_events.h"

#include <strings.h>

#include <QCheckBox>
#include <QCloseEvent>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMessageBox>
#include <QMouseEvent>
#include <QVBoxLayout>

#include "common/addrbook.h"
#include "platform/codepage.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/presence_notice.h"
#include "ui/calls/control_events.h"
#include "ui/controls/skin.h"
#include "ui/shell/main_frame.h"
#include "ui/shell/shell_config.h"

namespace calls {
namespace {

QString T(const char* key, const char* def) { return shell::LangText("multiconf_dialog", key, def); }
QPixmap OnlineIcon(bool online) {
    return ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(online ? "addr_useronline.bmp" : "addr_useroffline.bmp")),
                            RGB(0xEC, 0xE9, 0xD8));
}
const char* kListStyle =
    "QListWidget{border:1px solid #d5dde8;border-radius:4px;background:white}"
    "QListWidget::item{padding:4px}QListWidget::item:selected{background:#dbe8fa;color:#1d3a63}";

// The message edit takes at most this many bytes of the ANSI code page, as the system's edit
// counts them: 64 Chinese characters fill it.
constexpr size_t kMessageBytes = 128;

// Takes back the characters just typed or pasted (those before the cursor) until the text fits.
void KeepAnsiBytes(QLineEdit* edit, size_t limit) {
    QString text = edit->text();
    if (ToAnsi(text).size() <= limit) return;
    int cursor = edit->cursorPosition();
    while (cursor > 0 && ToAnsi(text).size() > limit) {
        const int n = cursor >= 2 && text[cursor - 1].isLowSurrogate() && text[cursor - 2].isHighSurrogate() ? 2 : 1;
        text.remove(cursor - n, n);
        cursor -= n;
    }
    while (ToAnsi(text).size() > limit) text.chop(1);
    edit->setText(text);
    edit->setCursorPosition(cursor);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
CConfInviteDlg::CConfInviteDlg(QWidget* parent, int mode, std::function<void(bool)> result)
    : QDialog(parent), mode_(mode), result_(std::move(result)) {
    setModal(false);
    candidates_ = new QListWidget(this);
    chosen_ = new QListWidget(this);
    for (QListWidget* l : {candidates_, chosen_}) {
        l->setStyleSheet(kListStyle);
        l->setIconSize(QSize(16, 16));
        l->setMinimumSize(170, 220);
    }
    invite_ = new QPushButton(this);
    reject_ = new QPushButton(this);
    ok_ = new QPushButton(this);
    cancel_ = new QPushButton(this);
    buddyLabel_ = new QLabel(this);
    inviteLabel_ = new QLabel(this);
    group_ = new QGroupBox(this);
    check_ = new QCheckBox(this);
    auto* grid = new QGridLayout;
    grid->addWidget(buddyLabel_, 0, 0);
    grid->addWidget(inviteLabel_, 0, 2);
    grid->addWidget(candidates_, 1, 0);
    auto* arrows = new QVBoxLayout;
    arrows->addStretch();
    arrows->addWidget(invite_);
    arrows->addWidget(reject_);
    arrows->addStretch();
    grid->addLayout(arrows, 1, 1);
    grid->addWidget(chosen_, 1, 2);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(check_);
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    group_->setLayout(grid);
    auto* v = new QVBoxLayout(this);
    v->addWidget(group_);
    v->addLayout(buttons);
    invite_->setEnabled(false);
    reject_->setEnabled(false);
    connect(invite_, &QPushButton::clicked, this, &CConfInviteDlg::Invite);
    connect(reject_, &QPushButton::clicked, this, &CConfInviteDlg::Reject);
    connect(ok_, &QPushButton::clicked, this, &CConfInviteDlg::Confirm);
    connect(cancel_, &QPushButton::clicked, this, [this] { if (result_) result_(false); });
    connect(candidates_, &QListWidget::itemClicked, this, [this] { ListClicked(0, candidates_->currentItem() != nullptr); });
    connect(chosen_, &QListWidget::itemClicked, this, [this] { ListClicked(1, chosen_->currentItem() != nullptr); });
    candidates_->viewport()->installEventFilter(this);
    chosen_->viewport()->installEventFilter(this);
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    OnLanguageChanged();
}

void CConfInviteDlg::ListClicked(int list, bool selected) {
    if (list == 0) {
        if (!selected) {
            invite_->setEnabled(false);
            return;
        }
        reject_->setEnabled(false);
        invite_->setEnabled(true);
        chosen_->setCurrentItem(nullptr);
        return;
    }
    if (!selected) {
        reject_->setEnabled(false);
        return;
    }
    reject_->setEnabled(true);
    invite_->setEnabled(false);
    candidates_->setCurrentItem(nullptr);
}

// A click on a list's empty space leaves it without a selection, as a list view does: its arrow
// button goes off.
bool CConfInviteDlg::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::MouseButtonRelease) {
        QListWidget* list = watched == candidates_->viewport() ? candidates_ : watched == chosen_->viewport() ? chosen_ : nullptr;
        if (list && !list->itemAt(static_cast<QMouseEvent*>(e)->position().toPoint())) {
            list->setCurrentItem(nullptr);
            list->clearSelection();
            ListClicked(list == candidates_ ? 0 : 1, false);
        }
    }
    return QDialog::eventFilter(watched, e);
}

bool CConfInviteDlg::Message(UINT message, WPARAM wParam, LPARAM) {
    if (message != kMsgInviteSelect) return false;
    if (wParam == 0 || wParam == 1) ListClicked(static_cast<int>(wParam), true);
    return true;
}

bool CConfInviteDlg::event(QEvent* e) {
    UINT msg;
    WPARAM w;
    LPARAM l;
    if (ControlMessage(e, &msg, &w, &l) && Message(msg, w, l)) return true;
    return QDialog::event(e);
}

void CConfInviteDlg::OnLanguageChanged() {
    setWindowTitle(T(mode_ == 0 ? "estab_title" : "invite_title", "Invite buddy"));
    ok_->setText(T("ok_btn", "Ok (&O)"));
    cancel_->setText(T("cancel_btn", "Return (&R)"));
    reject_->setText(T("reject_btn", "<<Reject (&O)"));
    invite_->setText(T("invite_btn", "Invite (&I)>>"));
    group_->setTitle(T("group", "Invite buddy to join conference"));
    buddyLabel_->setText(T("buddy_static", "Buddy List"));
    inviteLabel_->setText(T("invite_static", "Invite List"));
    candidates_->setToolTip(T("buddy_list_tipinfo", ""));
    chosen_->setToolTip(T("invite_list_tipinfo", ""));
    reject_->setToolTip(T("reject_btn_tipinfo", ""));
    invite_->setToolTip(T("invite_btn_tipinfo", ""));
    check_->setToolTip(T("check_tipinfo", ""));
}

QListWidgetItem* CConfInviteDlg::MakeItem(const Candidate& c) const {
    const CInvitee& inv = *c.invitee;
    const bool online = inv.Contact() && inv.ContactOnline();
    auto* item = new QListWidgetItem(QIcon(OnlineIcon(online)), AnsiQ(inv.Number()));
    item->setData(Qt::UserRole, c.handle);
    return item;
}

void CConfInviteDlg::SetCandidates(std::vector<std::unique_ptr<CInvitee>> people) {
    for (Candidate& c : DedupCandidates(std::move(people), &nextHandle_)) candidates.push_back(std::move(c));
    candidates_->clear();
    for (const Candidate& c : candidates) candidates_->insertItem(0, MakeItem(c));
}

void CConfInviteDlg::Move(QListWidget* from, std::vector<Candidate>& source, QListWidget* to, std::vector<Candidate>& target) {
    QListWidgetItem* item = from->currentItem();
    if (from->count() == 0 || !item) return;
    const int handle = item->data(Qt::UserRole).toInt();
    auto it = std::find_if(source.begin(), source.end(), [&](const Candidate& c) { return c.handle == handle; });
    if (it == source.end()) return;
    target.push_back(std::move(*it));
    source.erase(it);
    to->insertItem(0, MakeItem(target.back()));
    delete from->takeItem(from->row(item));
    from->setCurrentItem(nullptr);
    invite_->setEnabled(false);
    reject_->setEnabled(false);
}

void CConfInviteDlg::Invite() { Move(candidates_, candidates, chosen_, chosen); }
void CConfInviteDlg::Reject() { Move(chosen_, chosen, candidates_, candidates); }

void CConfInviteDlg::Confirm() {
    if (chosen.empty()) {
        const QString text = T("conf_no_selected", "Please select invite buddy!");
        if (box) box(text);
        else QMessageBox(QMessageBox::NoIcon, QString(), text, QMessageBox::Ok, this).exec();
        return;
    }
    if (result_) result_(true);
}

void CConfInviteDlg::GetSelected(std::vector<std::unique_ptr<CInvitee>>* out) {
    for (Candidate& c : chosen) out->push_back(std::move(c.invitee));
    chosen.clear();
    chosen_->clear();
}

void CConfInviteDlg::closeEvent(QCloseEvent* e) {
    e->ignore();  // the frame destroys the chooser
    if (result_) result_(false);
}
void CConfInviteDlg::reject() {
    if (result_) result_(false);
}

// ---------------------------------------------------------------------------------------------
CInviteToConfDlg::CInviteToConfDlg(QWidget* parent, Account* account, std::set<int32_t> members,
                                   std::function<void(const std::vector<const PresenceBuddyRecord*>&, const std::string&)> invite)
    : QDialog(parent), members_(std::move(members)), invite_(std::move(invite)) {
    header_ = new QLabel(this);
    header_->setWordWrap(true);
    list_ = new QListWidget(this);
    list_->setViewMode(QListView::ListMode);
    list_->setFlow(QListView::TopToBottom);  // a plain list: columns side by side
    list_->setWrapping(true);
    list_->setResizeMode(QListView::Adjust);
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setStyleSheet(kListStyle);
    list_->setMinimumSize(260, 200);
    text_ = new QLineEdit(this);
    connect(text_, &QLineEdit::textEdited, this, [this] { KeepAnsiBytes(text_, kMessageBytes); });
    ok_ = new QPushButton(this);
    cancel_ = new QPushButton(this);
    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(ok_);
    buttons->addWidget(cancel_);
    auto* v = new QVBoxLayout(this);
    v->addWidget(header_);
    v->addWidget(list_);
    v->addWidget(text_);
    v->addLayout(buttons);
    connect(ok_, &QPushButton::clicked, this, &CInviteToConfDlg::Confirm);
    connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    // A contact the server confirmed removed leaves the list, so it cannot be invited any more.
    previousAsResult_ = ChatHooks().asResult;
    ChatHooks().asResult = [this, next = previousAsResult_](const AsRequest* request) {
        if (request && request->result == 0 && request->command == AS_REM && request->kind == AS_DATA_PARAMS && request->data)
            if (const char* id = static_cast<const AsParams*>(request->data)->str1) OnPresenceBuddy(id, nullptr);
        if (next) next(request);
    };
    if (!account) return;
    std::vector<IdentityRecord> ids;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        ids = AddrBook_CollectIdentityRecords(g_addrBookRoots[0], account);
    }
    for (const IdentityRecord& id : ids) {
        if (members_.count(static_cast<int32_t>(id.uid))) continue;
        PresenceBuddyRecord r;
        r.id = static_cast<int32_t>(id.uid);
        AddCandidate(r);
    }
}

CInviteToConfDlg::~CInviteToConfDlg() {
    ChatHooks().asResult = previousAsResult_;
}

void CInviteToConfDlg::OnLanguageChanged() {
    header_->setText(headerText_);
    header_->setVisible(!headerText_.isEmpty());
    setWindowTitle(captionText_);
    ok_->setText(okText_);
    cancel_->setText(cancelText_);
}

void CInviteToConfDlg::SetTexts(const QString& header, const QString& caption, const QString& ok, const QString& cancel) {
    headerText_ = header;
    captionText_ = caption;
    okText_ = ok;
    cancelText_ = cancel;
}

void CInviteToConfDlg::showEvent(QShowEvent* e) {
    OnLanguageChanged();
    QDialog::showEvent(e);
}

QString CInviteToConfDlg::HeaderText() const { return header_->text(); }
QString CInviteToConfDlg::ConfirmText() const { return ok_->text(); }
QString CInviteToConfDlg::CancelText() const { return cancel_->text(); }

bool CInviteToConfDlg::event(QEvent* e) {
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    if (ControlMessage(e, &message, &wParam, &lParam)) {
        if (message == WM_PRESENCE_BUDDY)
            OnPresenceBuddy(reinterpret_cast<const char*>(wParam), reinterpret_cast<const PresenceBuddyRecord*>(lParam));
        else if (message == WM_LANGUAGE_CHANGED)
            OnLanguageChanged();
        return true;
    }
    return QDialog::event(e);
}

bool CInviteToConfDlg::Listed(int32_t uid) const {
    for (int row = 0; row < list_->count(); ++row)
        if (RecordAt(row).id == uid) return true;
    return false;
}

void CInviteToConfDlg::AddCandidate(const PresenceBuddyRecord& record) {
    PresenceBuddyRecord copy = record;
    copy.status[0] = '\0';
    std::string contactId;
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        if (AddrNode* node = AddrBook_FindIdentityByUid(g_addrBookRoots[0], record.id)) {
            AddrNode* contact = node->kind == 4 && node->parent ? node->parent : node;
            if (contact->id) contactId = contact->id;
            presence_copy_field(copy.name, 64, AddrBook_GetDisplayName(node));
            if (contact->kind == 2) {
                const auto* c = static_cast<const AddrContact*>(contact);
                if (c->nick) presence_copy_field(copy.userId, 128, c->nick);
                if (c->extra) presence_copy_field(copy.status, sizeof copy.status, c->extra);
            }
            copy.online = AddrBook_IsIdentityOnline(node) ? 1 : 0;
        }
    }
    records_.push_back(copy);
    contactIds_.push_back(contactId);
    auto* item = new QListWidgetItem(QIcon(OnlineIcon(copy.online != 0)), AnsiQ(copy.name));
    item->setData(Qt::UserRole, static_cast<int>(records_.size() - 1));
    list_->addItem(item);
}

void CInviteToConfDlg::OnPresenceBuddy(const char* alias, const PresenceBuddyRecord* record) {
    if (!record) {
        if (!alias) return;
        // The removal names the contact by its alias or, from the server's answer, by its book id.
        for (int row = list_->count() - 1; row >= 0; --row) {
            const size_t index = static_cast<size_t>(list_->item(row)->data(Qt::UserRole).toInt());
            if (strcasecmp(RecordAt(row).userId, alias) == 0 || contactIds_[index] == alias) {
                delete list_->takeItem(row);
                return;
            }
        }
        return;
    }
    if (members_.count(record->id) || Listed(record->id)) return;
    AddCandidate(*record);
}

void CInviteToConfDlg::Confirm() {
    std::vector<const PresenceBuddyRecord*> chosen;
    for (int row = 0; row < list_->count(); ++row)
        if (list_->item(row)->isSelected()) chosen.push_back(&RecordAt(row));
    std::string text = ToAnsi(text_->text());
    text.resize(plat::DbcsCutLength(text, 255));  // at most 255 bytes, never half a character
    if (invite_) invite_(chosen, text);
    accept();
}

}  // namespace calls
