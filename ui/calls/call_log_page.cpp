// The call log page: toolbar filters, the peer filter, the two-line list, its menu and commands.
#include "ui/calls/call_log_page.h"
#include "ui/calls/ansi_text.h"

#include <strings.h>

#include <QAction>
#include <QActionGroup>
#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QPainter>
#include <QVBoxLayout>
#include <QWheelEvent>

#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "ui/calls/calls_logic.h"
#include "ui/calls/calls_windows.h"
#include "ui/controls/flat_combo.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace calls {
namespace {

QString T(const char* section, const char* key, const char* def) { return shell::LangText(section, key, def); }
constexpr int kRecordRole = Qt::UserRole + 1;

// Two lines per entry: the peer, then the date and the talk time; the direction icon on the left.
class EntryDelegate : public QStyledItemDelegate {
public:
    explicit EntryDelegate(QObject* parent) : QStyledItemDelegate(parent) {}
    QSize sizeHint(const QStyleOptionViewItem&, const QModelIndex&) const override { return QSize(200, 36); }
    void paint(QPainter* p, const QStyleOptionViewItem& opt, const QModelIndex& index) const override {
        p->save();
        p->fillRect(opt.rect, opt.state & QStyle::State_Selected ? QColor(0xC6, 0xE3, 0xE7) : QColor(Qt::white));
        const QPixmap icon = index.data(Qt::DecorationRole).value<QPixmap>();
        const QRect iconRect(opt.rect.left(), opt.rect.top(), 32, 32);
        if (!icon.isNull()) p->drawPixmap(iconRect.topLeft(), icon);
        // The label: line one from 3 pixels below its top to two fifths of its height above its bottom.
        const QRect label(iconRect.right() + 1, opt.rect.top(), opt.rect.right() - iconRect.right(), opt.rect.height());
        const int split = label.bottom() + 1 - label.height() * 2 / 5;
        QFont f(QStringLiteral("MS Sans Serif"));
        f.setPixelSize(15);
        f.setWeight(QFont::Normal);
        p->setFont(f);
        p->setPen(Qt::black);
        p->drawText(QRect(label.left(), label.top() + 3, label.width(), split - label.top() - 3),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, index.data(Qt::DisplayRole).toString());
        f.setPixelSize(10);
        p->setFont(f);
        p->setPen(QColor(0x80, 0x80, 0x80));
        p->drawText(QRect(label.left(), split, label.width(), label.bottom() + 1 - split),
                    Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, index.data(Qt::UserRole + 3).toString());
        p->restore();
    }
};

// A skin picture, or the program's own picture of that number when the skin lacks the file.
QImage SkinOrResource(const char* file, int resource) {
    const QImage img = ctl::LoadBitmapFile(shell::SkinFile(file));
    return img.isNull() ? ctl::LoadBitmapFile(ctl::ResourcePath(resource)) : img;
}
QPixmap Icon(const char* file, int resource) { return ctl::KeyedPixmap(SkinOrResource(file, resource), RGB(0xEC, 0xE9, 0xD8)); }

// The peer filter: its open list is at most 100 pixels high and scrolls beyond that.
class PeerFilterBox : public CCJFlatComboBox {
public:
    explicit PeerFilterBox(QWidget* parent) : CCJFlatComboBox(parent, false) {}
    void showPopup() override {
        CCJFlatComboBox::showPopup();
        QWidget* list = view()->window();
        if (list == window() || list->height() <= kOpenListHeight) return;
        const QRect g = list->geometry();
        // A list opened above the box keeps its bottom edge against the box.
        const bool above = g.top() < mapToGlobal(QPoint(0, 0)).y();
        list->setGeometry(g.left(), above ? g.bottom() + 1 - kOpenListHeight : g.top(), g.width(), kOpenListHeight);
        view()->scrollTo(view()->currentIndex());
    }
    static constexpr int kOpenListHeight = 100;
};

// The bar's buttons: command and image of the strip.
struct BarButton {
    int command;
    int image;
};
constexpr BarButton kBarButtons[] = {{ID_LOG_ALL, 0}, {ID_LOG_MISSED, 1}, {ID_LOG_IN, 2},
                                     {ID_LOG_OUT, 3}, {ID_LOG_REMOVE, 4}, {ID_LOG_RECORDS, 5}};

}  // namespace

CDlgToolBar::CDlgToolBar(QWidget* parent) : QToolBar(parent) { setIconSize(QSize(16, 15)); }

bool CDlgToolBar::LoadImageStrip(const QString& path) {
    images_.clear();
    const QImage strip = ctl::LoadBitmapFile(path);
    if (strip.isNull() || strip.height() < 15 || strip.width() < 16) return false;
    const QPixmap keyed = ctl::KeyedPixmap(strip, RGB(0xEC, 0xE9, 0xD8));
    for (int x = 0; x + 16 <= keyed.width(); x += 16) images_.push_back(keyed.copy(x, 0, 16, 15));
    return true;
}

QPixmap CDlgToolBar::Image(int index) const {
    return index >= 0 && index < ImageCount() ? images_[static_cast<size_t>(index)] : QPixmap();
}

CSyslogListCtrl::CSyslogListCtrl(QWidget* parent) : QListWidget(parent) {
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setItemDelegate(new EntryDelegate(this));
    setFrameShape(QFrame::NoFrame);
    setContextMenuPolicy(Qt::NoContextMenu);
}

CSyslogDlg::CSyslogDlg(CallsWindows* windows, QWidget* parent) : CNqPropertyPage(PAGE_LOG, parent), windows_(windows) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    bar_ = new CDlgToolBar(this);
    bar_->setStyleSheet("QToolBar{background:white;border:none}");  // flat, transparent buttons on the white page
    auto* group = new QActionGroup(this);
    for (int id : {ID_LOG_ALL, ID_LOG_MISSED, ID_LOG_IN, ID_LOG_OUT}) {
        QAction* a = bar_->addAction(QString());
        a->setCheckable(true);
        a->setData(id);
        group->addAction(a);
        const int cmd = id;
        connect(a, &QAction::triggered, this, [this, cmd] { SetDirection(cmd); });
    }
    group->actions().first()->setChecked(true);
    peers_ = new PeerFilterBox(bar_);  // a drop-down list, drawn flat
    peers_->setObjectName("32789");
    peers_->setFixedWidth(100);  // over a 100-pixel separator of the bar
    bar_->addWidget(peers_);
    connect(peers_, &QComboBox::activated, this, [this] { RefreshList(); });
    QAction* remove = bar_->addAction(QString());
    remove->setData(ID_LOG_REMOVE);
    connect(remove, &QAction::triggered, this, &CSyslogDlg::DeleteSelected);
    QAction* records = bar_->addAction(QString());
    records->setData(ID_LOG_RECORDS);
    connect(records, &QAction::triggered, this, [this] {
        if (windows_->queryChatRecords) windows_->queryChatRecords();
    });
    v->addWidget(bar_);
    LoadBarImages();
    list_ = new CSyslogListCtrl(this);
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        if (isVisible()) ButtonState();
    });
    connect(list_, &QListWidget::itemDoubleClicked, this, [this] {
        if (windows_->IsDialButtonEnabled()) DialSelected();
    });
    list_->viewport()->installEventFilter(this);
    v->addWidget(list_);
    OnLanguageChanged();
    LoadCallLog();
}

QString CSyslogDlg::TabTitle() const { return T("log_dialog", "title", "Call List"); }

void CSyslogDlg::OnLanguageChanged() {
    const std::pair<int, std::pair<const char*, const char*>> tips[] = {
        {ID_LOG_ALL, {"AllTip", "All Calls"}},          {ID_LOG_MISSED, {"MissTip", "Missed Calls"}},
        {ID_LOG_IN, {"InTip", "Incoming Calls"}},       {ID_LOG_OUT, {"OutTip", "Outgoing Calls"}},
        {ID_LOG_REMOVE, {"DelTip", "Remove Selected Call log"}}, {ID_LOG_RECORDS, {"ChatRecord", "Query im record"}}};
    for (QAction* a : bar_->actions())
        for (const auto& [id, t] : tips)
            if (a->data().toInt() == id) a->setToolTip(T("log_dialog", t.first, t.second).left(79));
    peers_->setToolTip(T("log_dialog", "ComBoxTip", "Pick a user to see only that person's calls, or <All> for everybody").left(79));
    if (peers_->count() > 0) {
        peers_->setItemText(0, "<" + T("log_dialog", "select", "All") + ">");
        peers_->setCurrentIndex(0);  // the first item, "<All>", is selected again
    }
    LoadBarImages();
    RefreshList();
}

void CSyslogDlg::LoadBarImages() {
    if (!bar_->LoadImageStrip(shell::SkinFile("calllogbar.bmp"))) bar_->LoadImageStrip(ctl::ResourcePath(170));
    for (QAction* a : bar_->actions())
        for (const BarButton& b : kBarButtons)
            if (a->data().toInt() == b.command) a->setIcon(QIcon(bar_->Image(b.image)));
}

void CSyslogDlg::OnSkinChanged() {
    LoadBarImages();
    RefreshList();
}

void CSyslogDlg::LoadCallLog() {
    peers_->clear();
    peers_->addItem("<" + T("log_dialog", "select", "All") + ">", -1);
    records_.clear();
    const int count = CallLog_CountByType(CALLLOG_ALL);
    if (count > 0) {
        records_.resize(static_cast<size_t>(count));
        int n = 0;
        CallLog_GetByType(CALLLOG_ALL, records_.data(), count, &n);
        records_.resize(static_cast<size_t>(n));
    }
    for (size_t i : PeerFilterEntries(records_)) peers_->addItem(AnsiQ(PeerText(records_[i])), static_cast<int>(i));
    peers_->setCurrentIndex(0);
    RefreshList();
}

void CSyslogDlg::RefreshList() {
    list_->clear();
    const int peer = peers_->currentData().isValid() ? peers_->currentData().toInt() : -1;
    const CallLogEntry* chosen = peer >= 0 && peer < static_cast<int>(records_.size()) ? &records_[static_cast<size_t>(peer)] : nullptr;
    const QPixmap icons[3] = {Icon("calllogin.bmp", 172), Icon("calllogout.bmp", 173), Icon("calllogmiss.bmp", 171)};
    const std::string word = ToAnsi(T("log_dialog", "duration", "Duration"));
    for (size_t i : FilterRecords(records_, chosen, direction_)) {
        const CallLogEntry& r = records_[i];
        auto* item = new QListWidgetItem(AnsiQ(PeerText(r)));
        item->setData(Qt::DecorationRole, icons[DirectionIcon(r.typeFlags)]);
        item->setData(kRecordRole, static_cast<int>(i));
        item->setData(Qt::UserRole + 3, AnsiQ(EntryLineTwo(r, word)));
        list_->addItem(item);
    }
}

const CallLogEntry* CSyslogDlg::RecordAt(int row) const {
    QListWidgetItem* item = list_->item(row);
    if (!item) return nullptr;
    const int i = item->data(kRecordRole).toInt();
    return i >= 0 && i < static_cast<int>(records_.size()) ? &records_[static_cast<size_t>(i)] : nullptr;
}

const CallLogEntry* CSyslogDlg::Selected() const {
    for (int row = 0; row < list_->count(); ++row)
        if (list_->item(row)->isSelected()) return RecordAt(row);
    return nullptr;
}

bool CSyslogDlg::WheelSelect(int delta) {
    if (list_->count() == 0) return false;
    int highest = 0;
    for (int row = 0; row < list_->count(); ++row)
        if (list_->item(row)->isSelected()) highest = row;
    const int row = std::clamp(highest - delta / 120, 0, list_->count() - 1);
    list_->clearSelection();
    list_->item(row)->setSelected(true);
    list_->setCurrentRow(row, QItemSelectionModel::Current);
    return list_->viewport()->rect().contains(list_->visualItemRect(list_->item(row)));
}

bool CSyslogDlg::eventFilter(QObject* watched, QEvent* e) {
    if (watched == list_->viewport() && e->type() == QEvent::Wheel)
        return WheelSelect(static_cast<QWheelEvent*>(e)->angleDelta().y());  // out of view: the list scrolls too
    return CNqPropertyPage::eventFilter(watched, e);
}

void CSyslogDlg::SetDirection(int command) {
    direction_ = command == ID_LOG_MISSED ? CALLLOG_MISSED : command == ID_LOG_IN ? CALLLOG_INCOMING
                 : command == ID_LOG_OUT  ? CALLLOG_OUTGOING : CALLLOG_ALL;
    for (QAction* a : bar_->actions())
        if (a->isCheckable()) a->setChecked(a->data().toInt() == command);
    RefreshList();
}

void CSyslogDlg::ShowMissedCalls() {
    SetDirection(ID_LOG_MISSED);
    if (windows_->Sheet()) windows_->Sheet()->setCurrentWidget(this);
    peers_->setCurrentIndex(0);
    RefreshList();
}

int CSyslogDlg::DialSelected() {
    const CallLogEntry* r = Selected();
    if (!r) return 0;
    const std::string number(r->number, strnlen(r->number, sizeof r->number));
    CallController& calls = windows_->Calls();
    if (calls.IsCallingSelf(CallBackAddress(number, calls.domainSuffix))) return 0;
    if (CallPageModel* page = calls.FindCallPageByNumber(number)) {
        windows_->ActivatePage(page);
        return 1;
    }
    calls.CallNumber(number);
    return 1;
}

void CSyslogDlg::OnHangup() {
    CallController& calls = windows_->Calls();
    if (CallPageModel* p = calls.FindTalkingCallPage()) p->OnHangup(0);
    else if (CallPageModel* u = calls.FindUnansweredCallPage()) u->OnHangup(0);
}

void CSyslogDlg::ChatWithSelected() {
    const CallLogEntry* r = Selected();
    if (!r || !windows_->sendMessage) return;
    windows_->sendMessage(CallBackAddress(std::string(r->number, strnlen(r->number, sizeof r->number)),
                                          windows_->Calls().domainSuffix));
}

void CSyslogDlg::AddSelectedAsContact() {
    const CallLogEntry* r = Selected();
    if (!r) return;
    std::string id(r->number, strnlen(r->number, sizeof r->number));
    id = id.substr(0, id.find('@'));
    const std::string caption = ToAnsi(T("add_contact_dialog", "title_error", ""));
    if (strcasecmp(id.c_str(), g_strUserId.c_str()) == 0) {
        windows_->ShowWarning(ToAnsi(T("add_contact_dialog", "err_addcuruid", "Can't Add Current Account")), caption);
        return;
    }
    {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        if (AddrBook_FindContactById(g_addrBookRoots[0], id.c_str())) {
            windows_->ShowWarning(ToAnsi(T("add_contact_dialog", "err_dupcontact", "Contact have exist")), caption);
            return;
        }
    }
    if (windows_->addContact) windows_->addContact(id);
}

void CSyslogDlg::DeleteSelected() {
    for (int row = 0; row < list_->count(); ++row)
        if (list_->item(row)->isSelected())
            if (const CallLogEntry* r = RecordAt(row)) CallLog_RemoveById(r->id);
    CallLog_Save();
    LoadCallLog();
    if (windows_->clearMissedCalls) windows_->clearMissedCalls();
}

void CSyslogDlg::ButtonState() {
    CallController& calls = windows_->Calls();
    bool dial, hangup;
    CallLogButtons(calls.FindTalkingCallPage() != nullptr, calls.FindUnansweredCallPage() != nullptr,
                   static_cast<int>(list_->selectedItems().size()), &dial, &hangup);
    windows_->EnableDialBar(dial ? 1 : 0, hangup ? 1 : 0);
}

void CSyslogDlg::showEvent(QShowEvent* e) {
    CNqPropertyPage::showEvent(e);
    ButtonState();
}

void CSyslogDlg::contextMenuEvent(QContextMenuEvent* e) {
    // The entry menu belongs to the list, not to the toolbar above it.
    if (!list_->geometry().contains(e->pos())) return;
    const QPoint at = list_->viewport()->mapFrom(this, e->pos());
    QListWidgetItem* item = list_->itemAt(at);
    if (!item) item = list_->selectedItems().size() == 1 ? list_->selectedItems()[0] : list_->itemAt(15, 15);
    if (!item) return;
    list_->clearSelection();
    item->setSelected(true);
    list_->setCurrentItem(item);
    const CallLogEntry* r = Selected();
    TrelMenu menu(this);
    const bool offline = windows_->presenceStatus && windows_->presenceStatus() == 1;
    auto entry = [&](int cmd, const char* key, const char* def, const char* picture, int resource) {
        return menu.AppendBitmapMenu(0, cmd, T("log_dialog", key, def), SkinOrResource(picture, resource));
    };
    QAction* call = entry(ID_LOG_CALL, "0", "", "menudial.bmp", 212);
    QAction* im = entry(ID_LOG_SENDIM, "1", "", "menusendim.bmp", 213);
    QAction* add = entry(ID_LOG_ADDCONTACT, "2", "", "menuaddcontact.bmp", 211);
    entry(ID_LOG_DELETE, "3", "", "menudel.bmp", 210);
    call->setEnabled(!offline && windows_->IsDialButtonEnabled());
    const std::string number = r ? std::string(r->number, strnlen(r->number, sizeof r->number)) : std::string();
    const size_t atSign = number.find('@');
    bool contact = false;
    if (atSign != std::string::npos) {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        contact = AddrBook_FindContactById(g_addrBookRoots[0], number.substr(0, atSign).c_str()) != nullptr;
    }
    add->setEnabled(atSign != std::string::npos && !contact);
    im->setEnabled(atSign != std::string::npos && contact);
    QAction* chosen = menu.exec(e->globalPos());
    if (!chosen) return;
    switch (chosen->data().toInt()) {
        case ID_LOG_CALL: DialSelected(); break;
        case ID_LOG_SENDIM: ChatWithSelected(); break;
        case ID_LOG_ADDCONTACT: AddSelectedAsContact(); break;
        case ID_LOG_DELETE: DeleteSelected(); break;
        default: break;
    }
}

}  // namespace calls
