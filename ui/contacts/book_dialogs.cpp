// The address book's dialogs.
#include "ui/contacts/book_dialogs.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QContextMenuEvent>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHelpEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRadioButton>
#include <QToolTip>
#include <QTreeWidget>
#include <QPainter>
#include <QVBoxLayout>
#include <cstring>
#include <mutex>
#include <string>

#include "common/account.h"
#include "common/addrbook.h"
#include "common/appenv.h"
#include "common/debug.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "service/as_records.h"
#include "service/settings_xml.h"
#include "ui/contacts/addrbook_host.h"
#include "ui/contacts/addrbook_page.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/identity_dialogs.h"
#include "ui/shell/shell_config.h"

namespace contacts {

namespace {

QString Lang(const char* section, const char* key, const char* builtIn) { return shell::LangText(section, key, builtIn); }
QString Fill(const char* section, const char* key, const char* builtIn, const QStringList& args) {
    return shell::FillFormat(shell::LangFormatText(section, key, builtIn), args);
}
BookHost* HostOr(BookHost* host) { return host ? host : DefaultHost(); }

void Buttons(QDialog* d, QBoxLayout* layout, QPushButton** ok, QPushButton** cancel, const char* okText = nullptr,
             const char* cancelText = nullptr) {
    auto* row = new QHBoxLayout;
    row->addStretch();
    *ok = new QPushButton(okText ? Lang("dlg_common", "IDOK", okText) : Lang("dlg_common", "IDOK", "&OK"), d);
    *cancel = new QPushButton(cancelText ? QString::fromUtf8(cancelText) : Lang("dlg_common", "IDCANCEL", "&Cancel"), d);
    (*ok)->setDefault(true);
    (*ok)->setMinimumWidth(84);
    (*cancel)->setMinimumWidth(84);
    row->addWidget(*ok);
    row->addWidget(*cancel);
    layout->addLayout(row);
    QObject::connect(*ok, &QPushButton::clicked, d, &QDialog::accept);
    QObject::connect(*cancel, &QPushButton::clicked, d, &QDialog::reject);
}

QLineEdit* MakeEdit(QWidget* parent, int maxLength, const char* name) {
    auto* e = new QLineEdit(parent);
    if (maxLength > 0) e->setMaxLength(maxLength);
    e->setObjectName(name);
    e->setMinimumWidth(200);
    return e;
}

// Fields the user reads but does not type in.
void ReadOnly(QLineEdit* e) {
    e->setReadOnly(true);
    e->setStyleSheet(QStringLiteral("QLineEdit { background: #f4f6f9; color: #3a4454; }"));
}

CBlockListDlg* g_blockList = nullptr;
CSearchDlg* g_search = nullptr;

}  // namespace

// ---------------------------------------------------------------------------------------------

CAddUserDlg::CAddUserDlg(bool editMode, QWidget* parent, BookHost* host) : QDialog(parent), editMode_(editMode), host_(HostOr(host)) {
    setObjectName("addUserDialog");
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    form->setLabelAlignment(Qt::AlignRight);
    name_ = MakeEdit(this, 30, "name");
    home_ = MakeEdit(this, 30, "home");
    office_ = MakeEdit(this, 30, "office");
    mobile_ = MakeEdit(this, 30, "mobile");
    email_ = MakeEdit(this, 30, "email");
    service_ = MakeEdit(this, 0, "service");
    voip_ = MakeEdit(this, 32, "voip");
    nameLabel_ = new QLabel(this);
    homeLabel_ = new QLabel(this);
    officeLabel_ = new QLabel(this);
    mobileLabel_ = new QLabel(this);
    mailLabel_ = new QLabel(this);
    serviceLabel_ = new QLabel(this);
    voipLabel_ = new QLabel(this);
    form->addRow(nameLabel_, name_);
    form->addRow(mobileLabel_, mobile_);
    form->addRow(officeLabel_, office_);
    form->addRow(homeLabel_, home_);
    form->addRow(mailLabel_, email_);
    form->addRow(serviceLabel_, service_);
    form->addRow(voipLabel_, voip_);
    layout->addLayout(form);
    Buttons(this, layout, &ok_, &cancel_);
    Retext();
}

void CAddUserDlg::Retext() {
    setWindowTitle(Lang("add_user_dialog", editMode_ ? "edit_local_contact" : "add_local_contact", ""));
    nameLabel_->setText(Lang("add_user_dialog", "name", "name"));
    homeLabel_->setText(Lang("add_user_dialog", "home_phone", "Home phone"));
    officeLabel_->setText(Lang("add_user_dialog", "office_phone", "Office phone"));
    mobileLabel_->setText(Lang("add_user_dialog", "mobile", "Mobile"));
    mailLabel_->setText(QStringLiteral("Email"));  // the one label the dialog's template keeps in every language
    serviceLabel_->setText(Lang("add_user_dialog", "qz", "QZ"));
    voipLabel_->setText(Lang("add_user_dialog", "sip", "VoIP"));
}

QLineEdit* CAddUserDlg::Edit(int id) const {
    switch (id) {
        case 1022: return name_;
        case 1024: return office_;
        case 1025: return home_;
        case 1026: return mobile_;
        case 1027: return email_;
        case 1028: return service_;
        case 1030: return voip_;
        default: return nullptr;
    }
}

void CAddUserDlg::SetFields(const AddUserFields& f) {
    fields_ = f;
    email_->setText(f.email);
    mobile_->setText(f.mobile);
    name_->setText(f.name);
    office_->setText(f.office);
    home_->setText(f.home);
    service_->setText(f.serviceId);
    voip_->setText(f.voip);
}

void CAddUserDlg::SetCard(const CardFields& c) {
    AddUserFields f;
    f.name = c.name;
    f.email = c.email;
    f.mobile = c.mobile;
    f.office = c.office;
    f.home = c.home;
    f.voip = c.voip;
    f.serviceId = c.serviceId;
    SetFields(f);
}

CardFields CAddUserDlg::Card() const {
    return {fields_.name, fields_.email, fields_.mobile, fields_.office, fields_.home, fields_.voip, fields_.serviceId};
}

void CAddUserDlg::accept() {
    AddUserFields f;
    f.email = email_->text();
    f.mobile = mobile_->text();
    f.name = name_->text();
    f.office = office_->text();
    f.home = home_->text();
    f.serviceId = service_->text();
    f.voip = voip_->text();
    const AddUserCheck check = CheckAddUser(f, editMode_, g_addrBookRoots[2], Account_FindByType(ACCOUNT_TYPE_SIP) != nullptr,
                                            Account_FindByType(ACCOUNT_TYPE_SERVICE) != nullptr);
    const QString title = Lang("add_user_dialog", "title_err", "");
    switch (check) {
        case ADDUSER_EMPTY_NAME: host_->Box(Lang("add_user_dialog", "no_empty", "The user name is empty."), title); return;
        case ADDUSER_DUPLICATE:
            host_->Box(Fill("profile_status", "fail_move_contact_duplicate", "", {f.name}), title);
            return;
        case ADDUSER_NO_SIP: host_->Box(Lang("accounts_dialog", "txt_no_sip_account", ""), title); return;
        case ADDUSER_NO_SERVICE: host_->Box(Lang("accounts_dialog", "txt_no_qz_account", ""), title); return;
        case ADDUSER_OK: break;
    }
    SetFields(f);
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------

CAddBrindleContactDlg::CAddBrindleContactDlg(QWidget* parent, BookHost* host) : QDialog(parent), host_(HostOr(host)) {
    setObjectName("addBuddyDialog");
    setMinimumWidth(320);
    setWindowTitle(Lang("add_brindle_contact_dialog", "title", "add user"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    edit_ = MakeEdit(this, 32, "accountId");
    form->addRow(new QLabel(Lang("add_brindle_contact_dialog", "txt_username", "name"), this), edit_);
    layout->addLayout(form);
    QPushButton *ok, *cancel;
    Buttons(this, layout, &ok, &cancel);
}

void CAddBrindleContactDlg::accept() {
    id_ = edit_->text();
    if (id_.isEmpty()) {
        host_->Box(Lang("add_brindle_contact_dialog", "txt_empty_brindleid", ""), Lang("add_brindle_contact_dialog", "title", ""));
        return;
    }
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------

CNicknameDlg::CNicknameDlg(const QString& oldNickname, QWidget* parent) : QDialog(parent) {
    setObjectName("nicknameDialog");
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    setMinimumWidth(320);
    setWindowTitle(Lang("modify_nickname_dlg", "title", "Modify Nickname"));
    auto* layout = new QVBoxLayout(this);
    auto* form = new QFormLayout;
    old_ = MakeEdit(this, 0, "oldNickname");
    old_->setText(oldNickname);
    ReadOnly(old_);
    new_ = MakeEdit(this, 64, "newNickname");
    form->addRow(new QLabel(Lang("modify_nickname_dlg", "old_nickname", "Old Nickname"), this), old_);
    form->addRow(new QLabel(Lang("modify_nickname_dlg", "new_nickname", "New Nickname"), this), new_);
    layout->addLayout(form);
    QPushButton *ok, *cancel;
    Buttons(this, layout, &ok, &cancel);
}

QString CNicknameDlg::NewNickname() const { return new_->text(); }

// ---------------------------------------------------------------------------------------------

CBlockListDlg* OpenBlockList() { return g_blockList; }

CBlockListDlg::CBlockListDlg(BookHost* host, QWidget* parent) : QDialog(parent), host_(HostOr(host)) {
    setObjectName("blockListDialog");
    setWindowTitle(Lang("block_dialog", "title", "Block list management"));
    auto* layout = new QVBoxLayout(this);
    auto* frame = new QGroupBox(Lang("block_dialog", "group", "Member List"), this);
    auto* grid = new QGridLayout(frame);
    access_ = new QListWidget(frame);
    blocked_ = new QListWidget(frame);
    access_->setObjectName("accessList");
    blocked_->setObjectName("blockedList");
    access_->setMinimumSize(170, 220);
    blocked_->setMinimumSize(170, 220);
    auto* toBlock = new QPushButton(Lang("block_dialog", "block_btn", "&Block >>"), frame);
    auto* toAccess = new QPushButton(Lang("block_dialog", "access_btn", "<< &Access"), frame);
    toBlock->setObjectName("blockButton");
    toAccess->setObjectName("accessButton");
    auto* middle = new QVBoxLayout;
    middle->addStretch();
    middle->addWidget(toBlock);
    middle->addWidget(toAccess);
    middle->addStretch();
    grid->addWidget(new QLabel(Lang("block_dialog", "access_static", "My access list"), frame), 0, 0);
    grid->addWidget(new QLabel(Lang("block_dialog", "block_static", "My block list"), frame), 0, 2);
    grid->addWidget(access_, 1, 0);
    grid->addLayout(middle, 1, 1);
    grid->addWidget(blocked_, 1, 2);
    layout->addWidget(frame);
    auto* row = new QHBoxLayout;
    // The check box and the first button only carry their texts: nothing acts on them.
    popedom_ = new QCheckBox(Lang("block_dialog", "check_pope", "&Popedom"), this);
    popedom_->setObjectName("popedomCheck");
    row->addWidget(popedom_);
    row->addStretch();
    ok_ = new QPushButton(Lang("block_dialog", "ok_btn", ""), this);
    ok_->setObjectName("okButton");
    ok_->setAutoDefault(false);
    row->addWidget(ok_);
    auto* close = new QPushButton(Lang("block_dialog", "cancel_btn", "&Close"), this);
    row->addWidget(close);
    layout->addLayout(row);
    connect(toBlock, &QPushButton::clicked, this, &CBlockListDlg::Block);
    connect(toAccess, &QPushButton::clicked, this, &CBlockListDlg::Unblock);
    connect(close, &QPushButton::clicked, this, [this] { done(0); });
    Fill();
    g_blockList = this;
}

CBlockListDlg::~CBlockListDlg() {
    if (g_blockList == this) g_blockList = nullptr;
}

void CBlockListDlg::Fill() {
    accessEntries_.clear();
    blockedEntries_.clear();
    std::vector<AddrNode*> stack{g_addrBookRoots[0]};
    std::vector<AddrNode*> order;
    while (!stack.empty()) {
        AddrNode* n = stack.back();
        stack.pop_back();
        if (n->kind == ADDR_KIND_CONTACT) order.push_back(n);
        std::vector<AddrNode*> children;
        for (AddrNode* c = n->child; c; c = c->next) children.push_back(c);
        for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(*it);
    }
    for (AddrNode* c : order) {
        NamedEntry e{FromAnsi(c->id), FromAnsi(AddrBook_GetDisplayName(c))};
        ((c->flags & ADDR_FLAG_BLOCKED) ? blockedEntries_ : accessEntries_).push_back(e);
    }
    ShowLists();
}

void CBlockListDlg::ShowLists() {
    access_->clear();
    blocked_->clear();
    for (const NamedEntry& e : accessEntries_) access_->addItem(e.name);
    for (const NamedEntry& e : blockedEntries_) blocked_->addItem(e.name);
}

void CBlockListDlg::Block() {
    // Only a selected line counts; the list's focus may rest on a line that is not.
    const int row = access_->currentItem() && access_->currentItem()->isSelected() ? access_->currentRow() : -1;
    if (row < 0 || row >= static_cast<int>(accessEntries_.size())) return;
    const std::string id = ToAnsi(accessEntries_[row].id);
    if (host_->SendCommand(AS_BLK, id.c_str(), nullptr, 0, nullptr, nullptr, 0)) host_->BroadcastToChats(WM_BLOCK_BROADCAST, 13, id);
}

void CBlockListDlg::Unblock() {
    const int row = blocked_->currentItem() && blocked_->currentItem()->isSelected() ? blocked_->currentRow() : -1;
    if (row < 0 || row >= static_cast<int>(blockedEntries_.size())) return;
    const std::string id = ToAnsi(blockedEntries_[row].id);
    if (host_->SendCommand(AS_UBLK, id.c_str(), nullptr, 0, nullptr, nullptr, 0)) host_->BroadcastToChats(WM_BLOCK_BROADCAST, 14, id);
}

int CBlockListDlg::OnResult(int what, const QString& id) {
    if (what != 13 && what != 14) return 1;
    auto& from = what == 13 ? accessEntries_ : blockedEntries_;
    auto& to = what == 13 ? blockedEntries_ : accessEntries_;
    QListWidget* fromList = what == 13 ? access_ : blocked_;
    QListWidget* toList = what == 13 ? blocked_ : access_;
    // Only the moved lines change: the other lines keep their selection and the lists their scrolling.
    MoveEntries(&from, &to, id, [&](int row) { toList->addItem(fromList->takeItem(row)); });
    return 1;
}

// ---------------------------------------------------------------------------------------------

CContactDetailDlg::CContactDetailDlg(QWidget* parent, BookHost* host) : QDialog(parent), host_(HostOr(host)) {
    setObjectName("contactDetailDialog");
    auto* layout = new QVBoxLayout(this);
    form_ = new QFormLayout;
    form_->setLabelAlignment(Qt::AlignRight);
    displayName_ = MakeEdit(this, 63, "displayName");
    nickname_ = MakeEdit(this, 0, "nickname");
    account_ = MakeEdit(this, 0, "account");
    mobile_ = MakeEdit(this, 0, "mobile");
    office_ = MakeEdit(this, 0, "office");
    home_ = MakeEdit(this, 0, "home");
    email_ = MakeEdit(this, 0, "email");
    introduction_ = MakeEdit(this, 0, "introduction");
    for (QLineEdit* e : {nickname_, account_, mobile_, office_, home_, email_, introduction_}) ReadOnly(e);
    link_ = new CHyperLink(this);
    link_->SetClickMessage(0x824);
    connect(link_, &CUrlLink::linkClicked, this, &CContactDetailDlg::OpenWebsite);
    for (QWidget* field : std::initializer_list<QWidget*>{displayName_, nickname_, account_, mobile_, office_, home_, email_, link_,
                                                         introduction_})
        form_->addRow(new QLabel(this), field);
    layout->addLayout(form_);
    Buttons(this, layout, &ok_, &cancel_);
    OnLanguageChanged();
}

void CContactDetailDlg::OnLanguageChanged() {
    setWindowTitle(Lang("contact_detail", "caption", "Contact detail"));
    const struct {
        QWidget* field;
        const char *key, *def;
    } rows[] = {{displayName_, "desc_name", "Display name"}, {nickname_, "nick_name", "Nickname"},
                {account_, "user_name", "Username"},       {mobile_, "mobile_phone", "Mobile"},
                {office_, "comp_phone", "Office phone"},   {home_, "home_phone", "Home phone"},
                {email_, "email", "eMail"},                {link_, "website", "Website"},
                {introduction_, "introduction", "Introduction"}};
    for (const auto& r : rows)
        if (auto* label = qobject_cast<QLabel*>(form_->labelForField(r.field))) label->setText(Lang("contact_detail", r.key, r.def));
    ok_->setText(Lang("contact_detail", "ok_btn", "Ok"));
    cancel_->setText(Lang("contact_detail", "cancel_btn", "Cancel"));
}

void CContactDetailDlg::SetDetails(const ContactDetails& d) {
    displayName_->setText(d.displayName);
    nickname_->setText(d.nickname);
    account_->setText(d.account);
    mobile_->setText(d.mobile);
    office_->setText(d.office);
    home_->setText(d.home);
    email_->setText(d.email);
    introduction_->setText(d.introduction);
    website_ = d.website;
    link_->SetLinkText(d.website);
    link_->SetURL(d.website);
}

ContactDetails CContactDetailDlg::Details() const {
    return {displayName_->text(), nickname_->text(), account_->text(), mobile_->text(), office_->text(),
            home_->text(),        email_->text(),    introduction_->text(), website_};
}

void CContactDetailDlg::OpenWebsite() {
    if (!website_.isEmpty() && IsOpenableAddress(website_, false)) host_->OpenUrl(website_);
}

void CContactDetailDlg::accept() {
    if (!IsValidDisplayName(displayName_->text())) {
        host_->Box(Lang("contact_detail", "too_long", "Please enter no more than 40 characters."), windowTitle());
        displayName_->setFocus();
        return;
    }
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
// Search.

CBusyMark::CBusyMark(QWidget* parent) : QWidget(parent) {
    setMinimumSize(40, 32);
    constexpr COLORREF kKey = RGB(255, 0, 255);
    const QImage idle = ctl::LoadBitmapFile(ctl::ResourcePath(245));
    if (!idle.isNull()) idle_ = ctl::KeyedPixmap(idle, kKey);
    const QImage strip = ctl::LoadBitmapFile(ctl::ResourcePath(246));
    const int side = strip.height();
    if (side > 0 && side <= 256)
        for (int x = 0; x + side <= strip.width() && frames_.size() < 64; x += side)
            frames_.push_back(ctl::KeyedPixmap(strip.copy(x, 0, side, side), kKey));
}

void CBusyMark::SetStep(int step) {
    step_ = step;
    update();
}

QPixmap CBusyMark::Shown() const {
    if (step_ < 0) return idle_;
    return frames_.empty() ? QPixmap() : frames_[static_cast<size_t>(step_) % frames_.size()];
}

void CBusyMark::paintEvent(QPaintEvent*) {
    const QPixmap shown = Shown();
    if (shown.isNull()) return;
    QPainter p(this);
    p.drawPixmap((width() - shown.width()) / 2, (height() - shown.height()) / 2, shown);
}

CSearchDlg* SearchDialog() { return g_search; }

void CloseSearch() {
    CSearchDlg* search = g_search;
    g_search = nullptr;
    if (!search) return;
    search->hide();
    search->deleteLater();
}

CSearchDlg* OpenSearch(BookHost* host) {
    if (!g_search) g_search = new CSearchDlg(host);
    g_search->show();
    return g_search;
}

CSearchDlg::CSearchDlg(BookHost* host, QWidget* parent) : QDialog(parent), host_(HostOr(host)) {
    setObjectName("searchDialog");
    setWindowIcon(QIcon(shell::ProgramIconFile()));
    setAttribute(Qt::WA_DeleteOnClose);
    conditionBox_ = new QGroupBox(this);
    auto* cond = new QVBoxLayout(conditionBox_);
    contactRadio_ = new QRadioButton(conditionBox_);
    groupRadio_ = new QRadioButton(conditionBox_);
    cond->addWidget(contactRadio_);
    cond->addWidget(groupRadio_);
    busyLabel_ = new CBusyMark(this);
    advanced_ = new QPushButton(this);
    close_ = new QPushButton(this);
    styleBox_ = new QGroupBox(this);
    byUid_ = new QRadioButton(styleBox_);
    byNick_ = new QRadioButton(styleBox_);
    byGid_ = new QRadioButton(styleBox_);
    byGname_ = new QRadioButton(styleBox_);
    // Two exclusive pairs: the user criteria and the group criteria.
    for (QRadioButton* r : {byUid_, byNick_, byGid_, byGname_}) r->setAutoExclusive(false);
    uid_ = MakeEdit(styleBox_, kSearchTextMax, "uid");
    uname_ = MakeEdit(styleBox_, kSearchTextMax, "uname");
    gid_ = MakeEdit(styleBox_, kSearchTextMax, "gid");
    gname_ = MakeEdit(styleBox_, kSearchTextMax, "gname");
    for (QLineEdit* e : {uid_, uname_, gid_, gname_}) e->setMinimumWidth(0);
    findUsers_ = new QPushButton(styleBox_);
    findGroups_ = new QPushButton(styleBox_);
    add_ = new QPushButton(styleBox_);
    tip_ = new QLabel(styleBox_);
    tip_->setWordWrap(true);
    list_ = new QTreeWidget(this);
    list_->setObjectName("searchResults");
    list_->setRootIsDecorated(false);
    list_->setIconSize(QSize(16, 16));
    // A picture the skin lacks is left out.
    for (const char* file : {"addr_useroffline.bmp", "addr_useronline.bmp"}) {
        const QImage image = ctl::LoadBitmapFile(QString::fromStdString(ctl::SkinFilePath(file)));
        if (!image.isNull()) rowImages_.emplace_back(ctl::KeyedPixmap(image, RGB(0xEC, 0xE9, 0xD8)));
    }
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setAllColumnsShowFocus(true);
    list_->setContextMenuPolicy(Qt::DefaultContextMenu);
    list_->viewport()->installEventFilter(this);
    busy_.setInterval(100);
    connect(&busy_, &QTimer::timeout, this, &CSearchDlg::BusyTick);
    connect(contactRadio_, &QRadioButton::clicked, this, &CSearchDlg::SetContactMode);
    connect(groupRadio_, &QRadioButton::clicked, this, &CSearchDlg::SetGroupMode);
    auto criterion = [](QRadioButton* chosen, QRadioButton* other, QLineEdit* edit, QLineEdit* otherEdit) {
        chosen->setChecked(true);
        other->setChecked(false);
        otherEdit->clear();
        otherEdit->setReadOnly(true);
        edit->setReadOnly(false);
    };
    connect(byUid_, &QRadioButton::clicked, this, [=, this] { criterion(byUid_, byNick_, uid_, uname_); });
    connect(byNick_, &QRadioButton::clicked, this, [=, this] { criterion(byNick_, byUid_, uname_, uid_); });
    connect(byGid_, &QRadioButton::clicked, this, [=, this] { criterion(byGid_, byGname_, gid_, gname_); });
    connect(byGname_, &QRadioButton::clicked, this, [=, this] { criterion(byGname_, byGid_, gname_, gid_); });
    connect(findUsers_, &QPushButton::clicked, this, &CSearchDlg::FindUsers);
    connect(findGroups_, &QPushButton::clicked, this, &CSearchDlg::FindGroups);
    connect(add_, &QPushButton::clicked, this, &CSearchDlg::AddBuddy);
    connect(close_, &QPushButton::clicked, this, &QDialog::reject);
    for (QPushButton* b : {findUsers_, findGroups_, advanced_, add_, close_}) b->setAutoDefault(false);
    connect(advanced_, &QPushButton::clicked, this, [this] {
        const QString url = QString::fromStdString(contactMode_ ? g_serviceSettings.searchBuddy : g_serviceSettings.searchGroup);
        if (IsOpenableSettingsAddress(url)) host_->OpenUrl(url);
        else if (!url.isEmpty()) DebugTrace(MOD_SYSTEM, 1, "address not opened (not a web or mail address): %.200s", url.toUtf8().constData());
    });
    connect(list_, &QTreeWidget::itemSelectionChanged, this, &CSearchDlg::UpdateAddButton);
    // The shell's password prompt refuses an empty password itself and stays open.
    askPassword = [this](QString* password) {
        CPasswordDlg dialog(this);
        if (host_->Exec(&dialog) != QDialog::Accepted) return false;
        *password = dialog.m_strPassword;
        return true;
    };
    askIdentity = [this](bool needPassword, int* index, QString* password) {
        CSelectIdentityDlg dialog(this, needPassword);
        if (host_->Exec(&dialog) != QDialog::Accepted) return false;
        // The chooser shows the first row as chosen until another is clicked.
        QTreeWidgetItem* row = dialog.List()->currentItem() ? dialog.List()->currentItem() : dialog.List()->topLevelItem(0);
        if (!row) return false;
        const void* entry = row->data(0, Qt::UserRole).value<void*>();
        *index = -1;
        int i = 0;
        for (const AsProfileEntry* p : g_profileList.entries) {
            if (p == entry) *index = i;
            ++i;
        }
        *password = dialog.m_strPassword;
        return *index >= 0;
    };
    byUid_->setChecked(true);
    byGid_->setChecked(true);
    groupRadio_->setChecked(true);
    Retext();
    SetGroupMode();
    add_->setEnabled(false);
    uname_->setReadOnly(true);
    gname_->setReadOnly(true);
    StopBusy();
    resize(600, 440);
    LayoutControls();
    // The window is never made smaller than the search box with a few result rows below it.
    setMinimumSize(styleBox_->geometry().right() + 1 + 32, styleBox_->geometry().bottom() + 1 + 128);
}

void CSearchDlg::resizeEvent(QResizeEvent* e) {
    QDialog::resizeEvent(e);
    LayoutControls();
}

QString CSearchDlg::InfoTipAt(const QPoint& viewportPos) const {
    const QModelIndex index = list_->indexAt(viewportPos);
    if (!index.isValid() || index.column() != 0) return QString();
    QStyleOptionViewItem option;
    option.initFrom(list_->viewport());
    option.font = list_->font();
    option.decorationSize = list_->iconSize();
    option.features = QStyleOptionViewItem::HasDisplay;
    if (!index.data(Qt::DecorationRole).isNull()) option.features |= QStyleOptionViewItem::HasDecoration;
    const int needed = list_->itemDelegateForIndex(index)->sizeHint(option, index).width();
    return needed > list_->visualRect(index).width() ? index.data(Qt::DisplayRole).toString() : QString();
}

bool CSearchDlg::eventFilter(QObject* watched, QEvent* e) {
    if (watched == list_->viewport() && e->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(e);
        const QString tip = InfoTipAt(help->pos());
        if (tip.isEmpty()) QToolTip::hideText();
        else QToolTip::showText(help->globalPos(), tip, list_->viewport(), list_->visualRect(list_->indexAt(help->pos())));
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

int CSearchDlg::ButtonWidth() const {
    int b = kSearchButtonWidth;
    for (QPushButton* button : {findUsers_, findGroups_, advanced_, add_, close_}) b = std::max(b, button->sizeHint().width());
    return b;
}

void CSearchDlg::LayoutControls() {
    const int W = width(), H = height();
    const int m = kSearchMargin, b = ButtonWidth();
    const int bh = std::max(24, advanced_->sizeHint().height());
    const int eh = std::max(22, uid_->sizeHint().height());
    const int row1 = 24, row2 = row1 + eh + 8, rowButtons = row2 + eh + 10, rowTip = rowButtons + bh + 8;
    // The button column at the right, the busy mark centred above its buttons.
    const int column = W - m - b;
    busyLabel_->setGeometry(column + (b - 40) / 2, m, 40, 32);
    advanced_->setGeometry(column, m + 36, b, bh);
    close_->setGeometry(column, m + 36 + bh + 6, b, bh);
    // The two boxes end left of the button column.
    conditionBox_->setGeometry(m, m, std::max(0, W - 2 * m - b - m), 76);
    const int x = m;
    styleBox_->setGeometry(x, m + 82, std::max(0, W - m - b - 2 * x), rowTip + 2 * tip_->fontMetrics().height() + 8);
    // Inside the search box: two columns of a criterion and its edit.
    int r = 0;
    for (QRadioButton* radio : {byUid_, byNick_, byGid_, byGname_}) r = std::max(r, radio->sizeHint().width());
    const int g = m + 2;
    const int e = std::max(0, (styleBox_->width() - 2 * r - 3 * g) / 2);
    byUid_->setGeometry(g, row1, r, eh);
    byNick_->setGeometry(g, row2, r, eh);
    uid_->setGeometry(g + r, row1, e, eh);
    uname_->setGeometry(g + r, row2, e, eh);
    const int second = g + r + e + g;
    byGid_->setGeometry(second, row1, r, eh);
    byGname_->setGeometry(second, row2, r, eh);
    gid_->setGeometry(second + r, row1, e, eh);
    gname_->setGeometry(second + r, row2, e, eh);
    add_->setGeometry(g + r + e - b, rowButtons, b, bh);
    // The find button ends m left of the add button; in a narrow box it gives up width, not its place.
    const int findEnd = g + r + e - b - m;
    const int findLeft = std::max(g, findEnd - b);
    findUsers_->setGeometry(findLeft, rowButtons, std::max(0, findEnd - findLeft), bh);
    findGroups_->setGeometry(second + r + e - b, rowButtons, b, bh);
    tip_->setGeometry(g, rowTip, std::max(0, styleBox_->width() - 2 * g), styleBox_->height() - rowTip - 4);
    // The results fill the rest.
    const int top = styleBox_->geometry().bottom() + 1 + 6;
    list_->setGeometry(m, top, std::max(0, W - 2 * m), std::max(0, H - m - top));
}

CSearchDlg::~CSearchDlg() {
    ReleaseGroups();
    if (g_search == this) g_search = nullptr;
}

void CSearchDlg::OnLanguageChanged() {
    Retext();
    LayoutControls();  // the buttons take the new texts' width
    const QStringList user = {Lang("search_dlg", "ulistcol1", "Name"), Lang("search_dlg", "ulistcol2", "Nick name")};
    const QStringList group = {Lang("search_dlg", "glistcol1", "Name"), Lang("search_dlg", "glistcol2", "Nick name"),
                               Lang("search_dlg", "glistcol3", "Name"), Lang("search_dlg", "glistcol4", "Nick name"),
                               Lang("search_dlg", "glistcol5", "Nick name")};
    list_->setHeaderLabels(contactMode_ ? user : group);
}

void CSearchDlg::Retext() {
    setWindowTitle(Lang("search_dlg", "title", "Search"));
    conditionBox_->setTitle(Lang("search_dlg", "type", "Condition"));
    styleBox_->setTitle(Lang("search_dlg", "where", "Find Style"));
    contactRadio_->setText(Lang("search_dlg", "contact", "&Contact"));
    groupRadio_->setText(Lang("search_dlg", "group", "&Group"));
    byUid_->setText(Lang("search_dlg", "uid", "&UID"));
    byNick_->setText(Lang("search_dlg", "uname", "&Nickname"));
    byGid_->setText(Lang("search_dlg", "gid", "&Group ID"));
    byGname_->setText(Lang("search_dlg", "gname", "&Group Name"));
    tip_->setText(Lang("search_dlg", "tip", "Note: UserID must equal, but nickname maybe find illegibility"));
    findUsers_->setText(Lang("search_dlg", "btnufind", "&Find"));
    findGroups_->setText(Lang("search_dlg", "btngfind", "&Find"));
    advanced_->setText(Lang("search_dlg", "btnfindadv", "&Find"));
    add_->setText(Lang("search_dlg", "menu_contact_2_buddy", "Add &Buddy"));
    close_->setText(Lang("dlg_common", "IDCANCEL", "&Cancel"));
}

void CSearchDlg::SetContactMode() {
    contactMode_ = true;
    contactRadio_->setChecked(true);
    ReleaseGroups();
    list_->clear();
    list_->setColumnCount(2);
    list_->setHeaderLabels({Lang("search_dlg", "ulistcol1", "Name"), Lang("search_dlg", "ulistcol2", "Nick name")});
    QHeaderView* header = list_->header();
    header->setStretchLastSection(false);
    const int widths[2] = {160, 320};
    for (int i = 0; i < 2; ++i) {
        header->setSectionResizeMode(i, QHeaderView::Interactive);
        header->resizeSection(i, widths[i]);
    }
    for (QRadioButton* r : {byUid_, byNick_}) r->setEnabled(true);
    QLineEdit* edit = byUid_->isChecked() ? uid_ : uname_;
    edit->setReadOnly(false);
    edit->setFocus();
    findUsers_->setEnabled(true);
    gid_->clear();
    gname_->clear();
    gid_->setReadOnly(true);
    gname_->setReadOnly(true);
    for (QWidget* w : std::initializer_list<QWidget*>{byGid_, byGname_, findGroups_}) w->setEnabled(false);
    UpdateAddButton();
}

void CSearchDlg::SetGroupMode() {
    contactMode_ = false;
    groupRadio_->setChecked(true);
    list_->clear();
    list_->setColumnCount(5);
    list_->setHeaderLabels({Lang("search_dlg", "glistcol1", "Name"), Lang("search_dlg", "glistcol2", "Nick name"),
                            Lang("search_dlg", "glistcol3", "Name"), Lang("search_dlg", "glistcol4", "Nick name"),
                            Lang("search_dlg", "glistcol5", "Nick name")});
    QHeaderView* header = list_->header();
    header->setStretchLastSection(false);
    const int widths[5] = {80, 120, 150, 180, 100};
    for (int i = 0; i < 5; ++i) {
        header->setSectionResizeMode(i, QHeaderView::Interactive);
        header->resizeSection(i, widths[i]);
    }
    for (QRadioButton* r : {byGid_, byGname_}) r->setEnabled(true);
    QLineEdit* edit = byGid_->isChecked() ? gid_ : gname_;
    edit->setReadOnly(false);
    edit->setFocus();
    findGroups_->setEnabled(true);
    uid_->clear();
    uname_->clear();
    uid_->setReadOnly(true);
    uname_->setReadOnly(true);
    for (QWidget* w : std::initializer_list<QWidget*>{byUid_, byNick_, findUsers_, add_}) w->setEnabled(false);
}

void CSearchDlg::StartBusy() {
    ticks_ = 0;
    busy_.start();
    BusyTick();
    ticks_ = 0;
}

void CSearchDlg::StopBusy() {
    busy_.stop();
    busyLabel_->SetStep(-1);
}

void CSearchDlg::BusyTick() {
    if (++ticks_ >= 180) {
        StopBusy();
        return;
    }
    busyLabel_->SetStep(ticks_);
}

void CSearchDlg::ReleaseGroups() {
    // The rows go with the records they show; a user answer's rows stay.
    for (int i = list_->topLevelItemCount() - 1; i >= 0; --i)
        if (list_->topLevelItem(i)->data(0, Qt::UserRole).isValid()) delete list_->takeTopLevelItem(i);
    groups_.clear();
}

void CSearchDlg::UpdateAddButton() { add_->setEnabled(contactMode_ && list_->currentItem() && list_->currentItem()->isSelected()); }

void CSearchDlg::FindUsers() {
    QRadioButton* radio = byUid_->isChecked() ? byUid_ : byNick_;
    QLineEdit* edit = byUid_->isChecked() ? uid_ : uname_;
    const QString text = edit->text();
    if (text.isEmpty()) {
        host_->Box(Fill("search_dlg", "namenull", "Please input '%s'", {radio->text()}), Lang("dlg_common", "tip", "tip"), BookHost::BOX_INFORMATION);
        edit->setFocus();
        return;
    }
    StartBusy();
    const std::string ansi = ToAnsi(text.left(kSearchTextMax));
    list_->clear();
    add_->setEnabled(false);
    host_->SendCommand(byUid_->isChecked() ? AS_SRB : AS_SRUL, ansi.c_str(), nullptr, 0, nullptr, nullptr, 0);
}

void CSearchDlg::FindGroups() {
    QRadioButton* radio = byGid_->isChecked() ? byGid_ : byGname_;
    QLineEdit* edit = byGid_->isChecked() ? gid_ : gname_;
    const QString text = edit->text();
    if (text.isEmpty()) {
        host_->Box(Fill("search_dlg", "namenull", "Please input '%s'", {radio->text()}), Lang("dlg_common", "tip", "tip"), BookHost::BOX_INFORMATION);
        edit->setFocus();
        return;
    }
    ReleaseGroups();
    StartBusy();
    const std::string ansi = ToAnsi(text.left(kSearchTextMax));
    list_->clear();
    host_->SendCommand(byGid_->isChecked() ? AS_SQI : AS_SQN, ansi.c_str(), nullptr, 0, nullptr, nullptr, 0);
}

void CSearchDlg::AddBuddy() {
    QTreeWidgetItem* row = list_->currentItem();
    if (!contactMode_ || !row || !row->isSelected()) return;
    const std::string id = ToAnsi(row->text(0).left(32));
    host_->SendCommand(AS_ADD, "", "", 0, id.c_str(), nullptr, 0);
}

void CSearchDlg::OnUserResult(int code, CAsNameList* result) {
    std::unique_ptr<CAsNameList> owned(result);
    StopBusy();
    const QString title = Lang("dlg_common", "tip", "tip");
    if (code != 0) {
        const TextKey k = UserSearchFailure(code);
        host_->Box(Lang(k.section, k.key, "No result, find error'"), title, BookHost::BOX_INFORMATION);
        return;
    }
    if (!result) return;
    if (result->results.empty()) {
        host_->Box(Lang("findcontact_dlg", "findnone", "No result, find error'"), title, BookHost::BOX_INFORMATION);
        return;
    }
    for (const AsNameResult* r : result->results) {
        if (!r) continue;
        auto* item = new QTreeWidgetItem({FromAnsi(r->id), FromAnsi(r->name)});
        if (!rowImages_.empty()) item->setIcon(0, rowImages_[0]);
        list_->insertTopLevelItem(0, item);
    }
}

void CSearchDlg::OnGroupResult(int code, CAsResultList* result) {
    std::unique_ptr<CAsResultList> owned(result);
    std::vector<std::unique_ptr<CAsChatQueue>> records;
    if (result)
        for (void* r : result->records) records.emplace_back(static_cast<CAsChatQueue*>(r));
    StopBusy();
    const QString title = Lang("update", "msgboxtitle", "");
    if (code != 0) {
        const TextKey k = GroupSearchFailure(code);
        host_->Box(Lang(k.section, k.key, code == 300 ? "No result accord with your request!" : "search group failed!"), title,
                   BookHost::BOX_PLAIN);
        return;
    }
    ReleaseGroups();
    groups_ = std::move(records);
    if (groups_.empty()) {
        host_->Box(Lang("find_group_dlg", "zero_search_rusult", "No result accord with your request!"), title, BookHost::BOX_PLAIN);
        return;
    }
    // After the rows already listed, this answer's rows newest first.
    const int at = list_->topLevelItemCount();
    for (size_t i = 0; i < groups_.size(); ++i) {
        const CAsChatQueue* q = groups_[i].get();
        auto* item = new QTreeWidgetItem({FromAnsi(q->name), FromAnsi(q->displayName), FromAnsi(q->description),
                                          FromAnsi(q->founderName), QString::number(q->memberCount)});
        item->setData(0, Qt::UserRole, static_cast<int>(i));
        if (!rowImages_.empty()) item->setIcon(0, rowImages_[0]);
        list_->insertTopLevelItem(at, item);
    }
}

void CSearchDlg::OnJoinResult(int code, CAsChatQueue* queue) {
    std::unique_ptr<CAsChatQueue> owned(queue);
    if (!queue) {
        DebugTrace(MOD_QZ, 2, "Search Dialog Rcv NULL Param !");
        return;
    }
    const TextKey k = JoinOutcome(code);
    host_->Box(Fill(k.section, k.key, code == 204 ? "已经超过群组%s的成员数限制" : "", {FromAnsi(queue->name)}),
               Lang("group_search", "title", ""));
}

std::vector<CSearchDlg::MenuEntry> CSearchDlg::MenuEntries() const {
    std::vector<MenuEntry> out;
    const bool selected = !list_->selectedItems().isEmpty();
    if (contactMode_) {
        out.push_back({32885, Lang("search_dlg", "menu_contact_2_buddy", "加为好友(&B)"), selected});
        return out;
    }
    int n = 0;
    for (const AsProfileEntry* p : g_profileList.entries) {
        if (n == kMaxJoinIdentities) break;
        out.push_back({32886 + n, Fill("search_dlg", "menu_join_by", "以 %s 身份加入群组", {FromAnsi(p && p->name ? p->name : "")}), selected});
        ++n;
    }
    out.push_back({32891, Lang("search_dlg", "menu_join_all", "查看身份列表(&V)"), true});
    return out;
}

void CSearchDlg::contextMenuEvent(QContextMenuEvent* e) {
    if (!list_->geometry().contains(e->pos())) return;
    TrelMenu menu(this);
    const auto entries = MenuEntries();
    for (size_t i = 0; i < entries.size(); ++i) {
        if (entries[i].command == 32891 && i > 0) menu.AppendMenu(MF_SEPARATOR, 0, {});
        menu.AppendMenu(entries[i].enabled ? 0 : MF_GRAYED, entries[i].command, entries[i].text);
    }
    QAction* chosen = menu.exec(e->globalPos());
    if (!chosen || !chosen->data().isValid()) return;
    const int command = chosen->data().toInt();
    if (command == 32885) AddBuddy();
    else if (command == 32891) JoinWith(-1);
    else if (command >= 32886 && command <= 32890) JoinWith(command - 32886);
}

void CSearchDlg::JoinWith(int n) {
    QTreeWidgetItem* row = list_->currentItem();
    if (!row || contactMode_) return;
    // A user answer's row carries no group.
    const QVariant data = row->data(0, Qt::UserRole);
    if (!data.isValid()) return;
    const int index = data.toInt();
    if (index < 0 || index >= static_cast<int>(groups_.size())) return;
    const CAsChatQueue& queue = *groups_[index];
    auto profileAt = [](int i) -> const AsProfileEntry* {
        if (i < 0) return nullptr;
        for (const AsProfileEntry* p : g_profileList.entries)
            if (i-- == 0) return p;
        return nullptr;
    };
    QString password;
    const AsProfileEntry* profile = nullptr;
    if (n >= 0) {
        profile = profileAt(n);
        if (!profile) return;
        if (queue.type == 1 && !askPassword(&password)) return;
    } else {
        // The identity chooser asks for the password itself when the group needs one.
        int chosen = -1;
        if (!askIdentity(queue.type == 1, &chosen, &password)) return;
        profile = profileAt(chosen);
        if (!profile) return;
    }
    CAsChatQueue* record = JoinRecord(queue, profile->id, password);
    if (!host_->PostRequest(AS_JNQ, record, AS_DATA_JOIN)) delete record;
}

void CSearchDlg::accept() {
    if (contactMode_) FindUsers();
    else FindGroups();
}

void CSearchDlg::reject() {
    // Cancel, Escape and the title bar's close all end here: the frame forgets the window, which goes.
    if (g_search == this) g_search = nullptr;
    QDialog::reject();
}

void CSearchDlg::keyPressEvent(QKeyEvent* e) {
    const bool enter = e->key() == Qt::Key_Return || e->key() == Qt::Key_Enter;
    if (!enter || (e->modifiers() & ~Qt::KeypadModifier)) return QDialog::keyPressEvent(e);
    // Enter presses the button that has the focus; anywhere else it is the find of the current mode.
    if (auto* button = qobject_cast<QPushButton*>(focusWidget())) {
        if (button->isEnabled()) button->click();
        return;
    }
    accept();
}

// ---------------------------------------------------------------------------------------------
// The frame's contact commands.

void OnNewUser(BookHost* host) {
    host = HostOr(host);
    if (CAddressBookDlg* page = BookPage()) page->ShowCardPane();
    CAddUserDlg dialog(false, nullptr, host);
    CardFields blank;
    blank.name = Lang("addrbook_dialog", "newuser", "User");
    dialog.SetCard(blank);
    if (host->Exec(&dialog) != QDialog::Accepted) return;
    host->PostRequest(AS_ADL, CardListFromFields("", dialog.Card()), AS_DATA_LIST);
}

void OnAddContact(BookHost* host) {
    host = HostOr(host);
    if (CAddressBookDlg* page = BookPage()) page->ShowContactPane();
    CAddBrindleContactDlg dialog(nullptr, host);
    if (host->Exec(&dialog) != QDialog::Accepted) return;
    const std::string id = ToAnsi(dialog.AccountId());
    const QString title = Lang("add_contact_dialog", "title_error", "");
    if (!strcasecmp(id.c_str(), g_strUserId.c_str())) {
        host->Box(Lang("add_contact_dialog", "err_addcuruid", "Can't Add Current Account"), title);
        return;
    }
    std::vector<AddrNode*> stack{g_addrBookRoots[0]};
    while (!stack.empty()) {
        AddrNode* n = stack.back();
        stack.pop_back();
        if (n->kind == ADDR_KIND_CONTACT && n->id && !strcasecmp(n->id, id.c_str())) {
            host->Box(Lang("add_contact_dialog", "err_dupcontact", "Contact have exist"), title);
            return;
        }
        for (AddrNode* c = n->child; c; c = c->next) stack.push_back(c);
    }
    host->SendCommand(AS_ADD, "", "", 0, id.c_str(), nullptr, 0);
}

void OnModifyNickname(BookHost* host, const QString& current) {
    host = HostOr(host);
    CNicknameDlg dialog(current);
    if (host->Exec(&dialog) != QDialog::Accepted) return;
    const std::string nick = ToAnsi(dialog.NewNickname());
    host->SendCommand(AS_REA, "", "", 0, nick.c_str(), nullptr, 0);
}

void OnBlockList(BookHost* host) {
    host = HostOr(host);
    CBlockListDlg dialog(host);
    host->Exec(&dialog);
}

void OnDeleteNode(BookHost* host, AddrNode* node) {
    host = HostOr(host);
    if (!node || !node->id) return;
    const QString title = Lang("addrbook_dialog", "title_confirm", "");
    // Copied before the questions: an answer that arrives meanwhile may free the node.
    const std::string id = node->id;
    const std::string name = NodeName(node) ? NodeName(node) : "";
    switch (node->kind) {
        case ADDR_KIND_CONTACT: {
            // The server removes the buddy from the group it stands in.
            const std::string group = node->parent && node->parent->id ? node->parent->id : "0";
            if (!host->Ask(Lang("addrbook_dialog", "del_user", "Are you sure to delete the user?"), title)) return;
            host->SendCommand(AS_REM, id.c_str(), name.c_str(), 0, group.c_str(), nullptr, 0);
            return;
        }
        case ADDR_KIND_LIST:
            if (!host->Ask(Lang("addrbook_dialog", "del_card", "Are you sure to delete the card?"), title)) return;
            host->SendCommand(AS_RML, id.c_str(), "", 0, name.c_str(), nullptr, 0);
            return;
        case ADDR_KIND_GROUP: {
            const bool members = node->child != nullptr;
            if (!host->Ask(Lang("addrbook_dialog", "del_group1", "Are you sure to delete the group?"), title)) return;
            if (members && !host->Ask(Lang("addrbook_dialog", "del_group2",
                                           "The group has users, and the user will be delete too, continue or not?"),
                                      title))
                return;
            host->SendCommand(AS_RMG, id.c_str(), "", 0, name.c_str(), nullptr, 0);
            return;
        }
        default: return;
    }
}

std::string FreeGroupName(const std::string& base) {
    std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
    auto taken = [](const std::string& name) {
        for (AddrNode* n = g_addrBookRoots[0] ? g_addrBookRoots[0]->child : nullptr; n; n = n->next) {
            const char* own = n->kind == ADDR_KIND_GROUP ? NodeName(n) : nullptr;
            if (own && name == own) return true;
        }
        return false;
    };
    std::string name = base;
    for (int i = 1; taken(name); ++i) name = base + std::to_string(i);
    return name;
}

void OnNewGroup(BookHost* host) {
    host = HostOr(host);
    if (CAddressBookDlg* page = BookPage()) page->ShowContactPane();
    const std::string name = FreeGroupName(ToAnsi(Lang("addrbook_dialog", "newgroup", "Group")));
    // The server's answer carries the new group's id.
    host->SendCommand(AS_ADG, "", "0", 0, name.c_str(), nullptr, 0);
}

}  // namespace contacts
