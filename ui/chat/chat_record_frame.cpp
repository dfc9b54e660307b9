// The chat-record browser and its query dialog.
#include "ui/chat/chat_record_frame.h"

#include <QApplication>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDateEdit>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSplitter>
#include <QStatusBar>
#include <QTextCursor>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "common/account.h"
#include "platform/fs.h"
#include "service/presence_core.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_closing.h"
#include "ui/chat/chat_placement.h"
#include "ui/chat/chat_record_view.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"

using chat::FromAnsi;

namespace {

enum {
    ID_QUERY = 32867, ID_CLOSE = 32868, ID_EXPORT = 32900, ID_COPY = 32870, ID_CUT = 32871, ID_DELETE = 32869,
    ID_SELECT_ALL = 32872, ID_PLAY = 32873, ID_PREV = 32874, ID_NEXT = 32875, ID_REFRESH = 32876, ID_SEARCH = 32903,
};
enum ItemKind { kRoot = 1, kPeer = 2, kTime = 3, kQuery = 4 };
constexpr int kKindRole = Qt::UserRole, kDataRole = Qt::UserRole + 1, kRowRole = Qt::UserRole + 2;

std::function<void(const QString&)> g_box;
std::function<int(QFileDialog*)> g_runExport;

QString Text(const char* section, const char* key, const char* english) { return chat::ChatText(section, key, english); }

void PlayMessage(int number) { CChatRecordView::Play(number); }

// A picture of the tree's and list's image list, from the skin folder, on the list key colour.
QIcon ListIcon(const char* file) { return QIcon(ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(file)), RGB(0xEC, 0xE9, 0xD8))); }

// Image n of the tool bar's bitmap (resource 258: 16 x 15 cells, the tool-bar grey transparent).
QIcon ToolImage(int n) {
    const QImage strip = ctl::LoadBitmapFile(ctl::ResourcePath(258));
    if (strip.isNull() || (n + 1) * 16 > strip.width()) return {};
    return QIcon(ctl::KeyedPixmap(strip.copy(n * 16, 0, 16, 15), RGB(192, 192, 192)));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
CChatQueryDlg::CChatQueryDlg(const std::vector<std::pair<int, QString>>& peers, QWidget* parent) : QDialog(parent) {
    setObjectName("chatQueryDlg");
    setWindowTitle(Text("chatquery_dlg", "caption", "Please input where"));
    auto* form = new QFormLayout(this);
    peers_ = new QComboBox(this);
    for (const auto& [number, name] : peers) peers_->addItem(name, number);
    from_ = new QDateEdit(QDate::currentDate(), this);
    to_ = new QDateEdit(QDate::currentDate(), this);
    // Dates read as the browser shows them, and the calendar speaks the window's language.
    const QLocale locale = QString::fromStdString(shell::Paths().langType).compare("chs", Qt::CaseInsensitive) == 0
                               ? QLocale(QLocale::Chinese, QLocale::China)
                               : QLocale(QLocale::English, QLocale::UnitedKingdom);
    for (QDateEdit* edit : {from_, to_}) {
        edit->setLocale(locale);
        edit->setDisplayFormat("yyyy-MM-dd");
        edit->setCalendarPopup(true);
    }
    voice_ = new QRadioButton(this);
    text_ = new QRadioButton(this);
    all_ = new QRadioButton(this);
    all_->setChecked(true);
    auto* kinds = new QHBoxLayout;
    kinds->addWidget(voice_);
    kinds->addWidget(text_);
    kinds->addWidget(all_);
    auto* dates = new QHBoxLayout;
    dates->addWidget(from_);
    toLabel_ = new QLabel(this);
    dates->addWidget(toLabel_);
    dates->addWidget(to_);
    form->addRow(new QLabel(this), peers_);
    form->addRow(new QLabel(this), dates);
    form->addRow(new QLabel(this), kinds);
    form_ = form;
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    form->addRow(buttons_);
    OnLanguageChanged();
}

void CChatQueryDlg::OnLanguageChanged() {
    setWindowTitle(Text("chatquery_dlg", "caption", "Please input where"));
    voice_->setText(Text("chatquery_dlg", "btn_ptt", "PTT"));
    text_->setText(Text("chatquery_dlg", "btn_text", "Text"));
    all_->setText(Text("chatquery_dlg", "btn_all", "All"));
    toLabel_->setText(Text("chatquery_dlg", "to", "To"));
    const char* rows[][2] = {{"speaker", "Sender"}, {"date", "Date: From"}, {"type", "Type: "}};
    for (int i = 0; i < 3; ++i)
        if (auto* label = qobject_cast<QLabel*>(form_->itemAt(i, QFormLayout::LabelRole)->widget()))
            label->setText(Text("chatquery_dlg", rows[i][0], rows[i][1]));
    buttons_->button(QDialogButtonBox::Ok)->setText(Text("dlg_common", "IDOK", "&Ok"));
    buttons_->button(QDialogButtonBox::Cancel)->setText(Text("dlg_common", "IDCANCEL", "&Cancel"));
}

void CChatQueryDlg::accept() {
    if (peers_->currentIndex() >= 0) m_peer = peers_->currentData().toInt();
    m_from = from_->date();
    m_to = to_->date();
    m_kind = all_->isChecked() ? 2 : voice_->isChecked() ? 1 : 0;
    QDialog::accept();
}

// ---------------------------------------------------------------------------------------------
void CChatRecordFrame::SetBoxHook(std::function<void(const QString&)> hook) { g_box = std::move(hook); }
void CChatRecordFrame::SetExportRunner(std::function<int(QFileDialog*)> run) { g_runExport = std::move(run); }

QString CChatRecordFrame::T(const char* key, const char* english) const { return Text("chatrecord_dlg", key, english); }

CChatRecordFrame::CChatRecordFrame(ChatRecordFile* records, std::function<std::string(int)> ownerName,
                                   QPointer<CChatRecordFrame>* ownerSlot, QWidget* parent)
    : QMainWindow(parent), records_(records), ownerName_(std::move(ownerName)), ownerSlot_(ownerSlot) {
    setObjectName("chatRecordFrame");
    setAttribute(Qt::WA_DeleteOnClose);
    resize(820, 560);
    setStyleSheet("QToolBar { spacing: 4px; padding: 3px; }");
    auto make = [this](QMenu* menu, int id, int image, std::function<void()> run) {
        QAction* a = menu->addAction(ToolImage(image), QString());
        connect(a, &QAction::triggered, this, [run] { run(); });
        actions_[id] = a;
        return a;
    };
    QMenu* file = menuBar()->addMenu(QString());
    make(file, ID_QUERY, 0, [this] {
        std::vector<std::pair<int, QString>> peers;
        for (int i = 0; root_ && i < root_->childCount(); ++i)
            peers.push_back({root_->child(i)->data(0, kDataRole).toInt(), root_->child(i)->text(0)});
        chat::ModalScope scope(this);
        CChatQueryDlg dlg(peers, this);
        queryDlg_ = &dlg;  // a language change reaches it while it is open
        if (dlg.exec() == QDialog::Accepted && !scope.Closed()) Query(dlg.m_peer, dlg.m_from, dlg.m_to, dlg.m_kind);
    });
    make(file, ID_CLOSE, 9, [this] { close(); });
    make(file, ID_EXPORT, 8, [this] {
        // The dialog adds the ".txt" itself, so an existing file is asked about before it is replaced.
        chat::ModalScope scope(this);
        QFileDialog dialog(this, QString(), QString(), "Text File(*.txt)");
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setFileMode(QFileDialog::AnyFile);
        dialog.setDefaultSuffix("txt");
        const int answer = g_runExport ? g_runExport(&dialog) : dialog.exec();
        if (answer == QDialog::Accepted && !scope.Closed() && !dialog.selectedFiles().isEmpty())
            ExportTo(dialog.selectedFiles().first());
    });
    QMenu* edit = menuBar()->addMenu(QString());
    make(edit, ID_COPY, 1, [this] { QApplication::clipboard()->setText(CopyText()); });
    make(edit, ID_CUT, 2, [this] { DeleteSelected(true); });
    make(edit, ID_DELETE, 3, [this] { DeleteSelected(false); });
    make(edit, ID_SELECT_ALL, 10, [this] {
        list_->selectAll();
        list_->setFocus();
    });
    QMenu* action = menuBar()->addMenu(QString());
    make(action, ID_PLAY, 4, [this] {
        // The first selected row, in list order.
        for (int i = 0; i < list_->topLevelItemCount(); ++i) {
            QTreeWidgetItem* item = list_->topLevelItem(i);
            if (!item->isSelected()) continue;
            const ChatRecordRow& row = rows_[item->data(0, kRowRole).toInt()];
            if (row.voice) PlayMessage(std::atoi(row.content.c_str()));
            break;
        }
    });
    make(action, ID_PREV, 5, [this] { StepDay(1); });
    make(action, ID_NEXT, 6, [this] { StepDay(-1); });
    make(action, ID_REFRESH, 7, [this] { OnTreeSelChanged(); });

    QToolBar* bar = addToolBar("records");
    bar->setMovable(false);
    bar->setIconSize(QSize(16, 15));
    // The commands show their pictures and tips; only the search button carries its text.
    bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
    bar->setObjectName("recordsBar");
    for (int id : {ID_QUERY, ID_COPY, ID_CUT, ID_DELETE, ID_PLAY, ID_PREV, ID_NEXT, ID_REFRESH}) bar->addAction(actions_[id]);
    // The keyword search on the same bar: a label of 100 pixels and an edit of 128, then its button.
    bar->addSeparator();
    keywordLabel_ = new QLabel(bar);
    keywordLabel_->setFixedWidth(100);
    bar->addWidget(keywordLabel_);
    keywordEdit_ = new QLineEdit(bar);
    keywordEdit_->setObjectName("keyword");
    keywordEdit_->setMaxLength(128);
    keywordEdit_->setFixedWidth(128);
    keywordEdit_->setFont(bar->font());
    keywordLabel_->setFont(bar->font());
    bar->addWidget(keywordEdit_);
    QAction* search = bar->addAction(ToolImage(11), QString());
    actions_[ID_SEARCH] = search;
    if (auto* button = qobject_cast<QToolButton*>(bar->widgetForAction(search))) button->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
    connect(search, &QAction::triggered, this, [this] { Search(keywordEdit_->text()); });

    auto* split = new QSplitter(Qt::Horizontal, this);
    tree_ = new QTreeWidget(split);
    tree_->setObjectName("recordTree");
    tree_->setHeaderHidden(true);
    tree_->setMinimumWidth(180);
    auto* right = new QSplitter(Qt::Vertical, split);
    list_ = new QTreeWidget(right);
    list_->setObjectName("recordList");
    list_->setRootIsDecorated(false);
    list_->setUniformRowHeights(true);  // a search can list tens of thousands of rows
    list_->setSelectionMode(QAbstractItemView::ExtendedSelection);
    list_->setColumnCount(5);
    list_->header()->resizeSection(0, 120);
    list_->header()->resizeSection(1, 180);
    list_->header()->resizeSection(2, 160);
    list_->header()->resizeSection(3, 80);
    list_->header()->resizeSection(4, 100);
    list_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(list_, &QWidget::customContextMenuRequested, this, [this, action](const QPoint& p) {
        RefreshCommands();
        // Here Play asks for exactly one selected row.
        if (list_->selectedItems().size() != 1) actions_[ID_PLAY]->setEnabled(false);
        chat::ModalScope scope(this);
        action->exec(list_->viewport()->mapToGlobal(p));
        RefreshCommands();
    });
    recordView_ = new CChatRecordView(right);
    view_ = recordView_->Edit();
    right->setStretchFactor(0, 3);
    right->setStretchFactor(1, 2);
    // The view asks for no size of its own: without shares the splitter leaves it a line's height.
    right->setSizes({300, 200});
    split->setStretchFactor(1, 1);
    setCentralWidget(split);
    for (auto*& pane : panes_) pane = new QLabel(this);
    statusBar()->addWidget(panes_[0], 1);
    statusBar()->addPermanentWidget(panes_[1]);
    statusBar()->addPermanentWidget(panes_[2]);
    connect(tree_, &QTreeWidget::currentItemChanged, this, [this] { OnTreeSelChanged(); });
    connect(list_, &QTreeWidget::itemSelectionChanged, this, [this] {
        OnListSelChanged();
        RefreshCommands();
    });
    queryFrom_ = queryTo_ = QDate::currentDate();
    OnLanguageChanged();
    panes_[1]->setText(QDate::currentDate().toString("yyyy-MM-dd"));
    if (!parent) chat::PlaceWithinScreen(this);
}

CChatRecordFrame::~CChatRecordFrame() {
    WriteBackChanges();
    if (ownerSlot_ && *ownerSlot_ == this) *ownerSlot_ = nullptr;  // a newer window may hold the slot by now
}

void CChatRecordFrame::closeEvent(QCloseEvent* e) {
    WriteBackChanges();
    QMainWindow::closeEvent(e);
}

void CChatRecordFrame::Box(const QString& text) {
    if (g_box) {
        g_box(text);
        return;
    }
    chat::ModalScope scope(this);
    QMessageBox::information(this, Text("dlg_common", "tip", "tip"), text);
}

void CChatRecordFrame::OnLanguageChanged() {
    setWindowTitle(T("title", "Message management"));
    QList<QAction*> menus = menuBar()->actions();
    const char* keys[][2] = {{"record_menu0", "&File"}, {"record_menu1", "&Edit"}, {"record_menu2", "&Action"}};
    for (int i = 0; i < 3 && i < menus.size(); ++i) menus[i]->setText(Text("chatrecord_menu", keys[i][0], keys[i][1]));
    auto set = [this](int id, const char* key, const char* english, const char* tipKey, const char* tip) {
        const QString text = Text("chatrecord_menu", key, english);
        actions_[id]->setText(text);
        QString plain = text;
        plain.remove(QRegularExpression(R"(\(&\w\))")).remove('&').remove("...");
        actions_[id]->setIconText(plain);
        if (tipKey) actions_[id]->setToolTip(T(tipKey, tip));
    };
    set(ID_QUERY, "record_menu0_0", "&Query", "TipQuery", "Query records");
    set(ID_CLOSE, "record_menu0_1", "&Close", nullptr, nullptr);
    set(ID_EXPORT, "record_menu0_2", "&Export", nullptr, nullptr);
    set(ID_COPY, "record_menu1_0", "&Copy", "TipCopy", "Copy selected records");
    set(ID_CUT, "record_menu1_1", "C&ut", "TipCut", "Cut selected records");
    set(ID_DELETE, "record_menu1_2", "&Delete", "TipDelete", "Delete selected records");
    set(ID_SELECT_ALL, "record_menu1_3", "&Select All", nullptr, nullptr);
    set(ID_PLAY, "record_menu2_0", "&Play", "TipPlay", "Play PTT");
    set(ID_PREV, "record_menu2_1", "Pre&v day", "TipPrevDay", "Prev day");
    set(ID_NEXT, "record_menu2_2", "&Next day", "TipNextDay", "Next day");
    set(ID_REFRESH, "record_menu2_3", "&Refresh", "TipRefresh", "Refresh record");
    actions_[ID_SEARCH]->setText(T("search", "Search"));
    keywordLabel_->setText(T("bykeyword", "Search by keyword:"));
    list_->setHeaderLabels({T("col_sender", "From"), T("col_recver", "To"), T("col_time", "Time"),
                            T("col_type", "Message type"), T("col_prop", "Property")});
    recordView_->OnLanguageChanged();
    if (queryDlg_) queryDlg_->OnLanguageChanged();
    RebuildTree();
}

QString CChatRecordFrame::GetOwnerName(int peer) const {
    if (ownerName_) {
        std::string name = ownerName_(peer);
        if (!name.empty()) return FromAnsi(name.substr(0, 127));
    }
    std::string name = records_ ? records_->GetOwnerName(peer) : std::string();
    return name.empty() ? QString::number(peer) : FromAnsi(name);
}

void CChatRecordFrame::RebuildTree() {
    ClearRecords();
    const bool hadQuery = queryItem_ != nullptr;
    tree_->blockSignals(true);
    tree_->clear();
    queryItem_ = nullptr;
    root_ = new QTreeWidgetItem(tree_, {T("mycontact", "My Contact")});
    root_->setData(0, kKindRole, kRoot);
    root_->setIcon(0, ListIcon("addr_closed.bmp"));
    if (records_ && !records_->root().empty()) {
        const char* nodes[][2] = {{"timenode1", "Today"}, {"timenode2", "Yesterday"}, {"timenode3", "The day before yesterday"},
                                  {"timenode4", "Inner three days"}, {"timenode5", "Inner a week"}, {"timenode6", "Inner a month"}};
        const int days[] = {0, 1, 2, 3, 7, 30};
        for (int peer : records_->ListPeers()) {
            auto* item = new QTreeWidgetItem(root_, {GetOwnerName(peer)});
            item->setData(0, kKindRole, kPeer);
            item->setData(0, kDataRole, peer);
            item->setIcon(0, ListIcon("addr_useronline.bmp"));
            for (int i = 0; i < 6; ++i) {
                auto* node = new QTreeWidgetItem(item, {T(nodes[i][0], nodes[i][1])});
                node->setData(0, kKindRole, kTime);
                node->setData(0, kDataRole, days[i]);
                node->setIcon(0, ListIcon("record_time.bmp"));
            }
        }
        if (hadQuery) {
            queryItem_ = new QTreeWidgetItem(tree_, {T("query", "Query reslut")});
            queryItem_->setData(0, kKindRole, kQuery);
            queryItem_->setIcon(0, ListIcon("record_query.bmp"));
        }
    }
    root_->setExpanded(true);
    tree_->blockSignals(false);
    tree_->setCurrentItem(root_);
    OnTreeSelChanged();
}

bool CChatRecordFrame::SelectRecordOwner(int peer) {
    for (int i = 0; root_ && i < root_->childCount(); ++i) {
        if (root_->child(i)->data(0, kDataRole).toInt() == peer) {
            tree_->setCurrentItem(root_->child(i));
            return true;
        }
    }
    Box(T("null_record", "It is not chat record!"));
    return false;
}

void CChatRecordFrame::ClearRecords() {
    WriteBackChanges();
    rows_.clear();
    list_->clear();
    recordView_->Clear();
    UpdateCount();
}

void CChatRecordFrame::WriteBackChanges() {
    if (deleted_.empty() || !records_) return;
    records_->RemoveRecords(deleted_);
    deleted_.clear();
}

void CChatRecordFrame::AddRows(std::vector<ChatRecordRow> rows) {
    // A search can list tens of thousands of rows: texts and icons are looked up once, and the rows
    // go into the list in one insertion.
    const QString voiceLabel = T("pttmsg", "PTT"), textLabel = T("textmsg", "Text"), privacy = T("privacy", "Privacy");
    const QIcon rowIcon = ListIcon("record_item.bmp");
    QList<QTreeWidgetItem*> items;
    items.reserve(static_cast<qsizetype>(rows.size()));
    rows_.reserve(rows_.size() + rows.size());
    for (auto& row : rows) {
        auto* item = new QTreeWidgetItem({FromAnsi(row.sender), FromAnsi(row.receivers), QString::fromStdString(row.time),
                                          row.voice ? voiceLabel : textLabel, row.priv ? privacy : QString()});
        item->setIcon(0, rowIcon);
        item->setData(0, kRowRole, static_cast<int>(rows_.size()));
        item->setData(0, kDataRole, row.voice);
        items.push_back(item);
        rows_.push_back(std::move(row));
    }
    list_->addTopLevelItems(items);
    UpdateCount();
}

void CChatRecordFrame::UpdateCount() {
    panes_[2]->setText(QString("%1: %2").arg(T("num", "Num")).arg(list_->topLevelItemCount()));
    RefreshCommands();
}

QString CChatRecordFrame::StatusText(int pane) const { return pane >= 0 && pane < 3 ? panes_[pane]->text() : QString(); }

void CChatRecordFrame::ShowDay(int peer, int daysBack, int kind) {
    ClearRecords();
    std::vector<ChatRecordRow> rows;
    records_->ReadDay(peer, QDate::currentDate().addDays(-daysBack).toString("yyyy-MM-dd").toStdString(), kind, &rows);
    peer_ = peer;
    daysBack_ = daysBack;
    AddRows(std::move(rows));
}

void CChatRecordFrame::ShowRange(int peer, const QDate& from, const QDate& to, int kind) {
    ClearRecords();
    panes_[1]->setText(QString("%1 %2 %3").arg(from.toString("yyyy-MM-dd"), T("splitdate", "To"), to.toString("yyyy-MM-dd")));
    std::vector<ChatRecordRow> rows;
    for (QDate d = from; d <= to; d = d.addDays(1))
        records_->ReadDay(peer, d.toString("yyyy-MM-dd").toStdString(), kind, &rows);
    peer_ = peer;
    queryFrom_ = from;
    queryTo_ = to;
    AddRows(std::move(rows));
}

void CChatRecordFrame::SearchAll(const QString& keyword) {
    if (!records_ || records_->root().empty()) return;
    ClearRecords();
    AddRows(records_->SearchAll(chat::ToAnsi(keyword)));
    emit SearchDone();
}

void CChatRecordFrame::Search(const QString& text) {
    keyword_ = text.trimmed();
    if (keyword_.isEmpty()) {
        Box(T("null_keyword", "Please input keyword!"));
        return;
    }
    if (!records_ || records_->root().empty()) return;
    if (!queryItem_) {
        queryItem_ = new QTreeWidgetItem(tree_, {T("query", "Query reslut")});
        queryItem_->setData(0, kKindRole, kQuery);
        queryItem_->setIcon(0, ListIcon("record_query.bmp"));
    }
    if (tree_->currentItem() != queryItem_) tree_->setCurrentItem(queryItem_);
    else OnTreeSelChanged();
}

void CChatRecordFrame::Query(int peer, const QDate& from, const QDate& to, int kind) {
    keyword_.clear();
    peer_ = peer;
    queryFrom_ = from;
    queryTo_ = to;
    queryKind_ = kind;
    if (!queryItem_) {
        queryItem_ = new QTreeWidgetItem(tree_, {T("query", "Query reslut")});
        queryItem_->setData(0, kKindRole, kQuery);
        queryItem_->setIcon(0, ListIcon("record_query.bmp"));
    }
    if (tree_->currentItem() != queryItem_) tree_->setCurrentItem(queryItem_);
    else OnTreeSelChanged();
}

void CChatRecordFrame::OnTreeSelChanged() {
    QTreeWidgetItem* item = tree_->currentItem();
    const int kind = item ? item->data(0, kKindRole).toInt() : 0;
    const int data = item ? item->data(0, kDataRole).toInt() : 0;
    const QDate today = QDate::currentDate();
    if (kind == kQuery) {
        panes_[0]->setText(item->text(0));
        if (keyword_.isEmpty()) {
            ShowRange(peer_, queryFrom_, queryTo_, queryKind_);
        } else {
            panes_[1]->setText(QString("%1 %2").arg(T("keyword", "Keyword:"), keyword_));
            SearchAll(keyword_);
        }
    } else if (kind == kTime) {
        const int peer = item->parent()->data(0, kDataRole).toInt();
        panes_[0]->setText(item->parent()->text(0) + "\\" + item->text(0));
        if (data < 3) {
            panes_[1]->setText(today.addDays(-data).toString("yyyy-MM-dd"));
            ShowDay(peer, data, 2);
        } else {
            ShowRange(peer, today.addDays(-data), today, 2);
            daysBack_ = 0;
        }
    } else if (kind == kPeer) {
        panes_[0]->setText(item->text(0));
        ShowRange(data, today.addDays(-7), today, 2);
        daysBack_ = 0;
    } else {
        ClearRecords();
        panes_[0]->setText(item ? item->text(0) : QString());
        panes_[1]->clear();
        panes_[2]->setText("0");
    }
    RefreshCommands();
}

void CChatRecordFrame::OnListSelChanged() {
    auto items = list_->selectedItems();
    if (items.isEmpty()) return;
    const ChatRecordRow& row = rows_[items[0]->data(0, kRowRole).toInt()];
    recordView_->SetHeader(FromAnsi(row.sender), FromAnsi(row.receivers));
    recordView_->ShowContent(row.voice ? 1 : 0, FromAnsi(row.content));
}

void CChatRecordFrame::StepDay(int delta) {
    int next = daysBack_ + delta;
    if (next < 0 || next > 27) return;
    daysBack_ = next;
    panes_[1]->setText(QDate::currentDate().addDays(-daysBack_).toString("yyyy-MM-dd"));
    ShowDay(peer_, daysBack_, 2);
}

QString CChatRecordFrame::CopyText() const {
    QStringList lines;
    auto items = list_->selectedItems();
    if (items.isEmpty()) return {};
    lines << QStringList{list_->headerItem()->text(0), list_->headerItem()->text(1), list_->headerItem()->text(2),
                         list_->headerItem()->text(3), list_->headerItem()->text(4), T("col_content", "Message content")}
                 .join('\t');
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (!item->isSelected()) continue;
        const ChatRecordRow& row = rows_[item->data(0, kRowRole).toInt()];
        lines << QStringList{item->text(0), item->text(1), item->text(2), item->text(3), item->text(4), FromAnsi(row.content)}
                     .join('\t');
    }
    return lines.join("\r\n") + "\r\n";
}

void CChatRecordFrame::DeleteSelected(bool copyFirst) {
    if (!Enabled(ID_DELETE)) return;
    if (copyFirst) QApplication::clipboard()->setText(CopyText());
    for (int i = list_->topLevelItemCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* item = list_->topLevelItem(i);
        if (!item->isSelected()) continue;
        deleted_.push_back(rows_[item->data(0, kRowRole).toInt()]);
        delete list_->takeTopLevelItem(i);
    }
    UpdateCount();
}

bool CChatRecordFrame::ExportTo(const QString& path) const {
    // The records' own code page, as they are stored: their bytes go out unchanged.
    const std::string to = chat::ToAnsi(T("to", "To")), speak = chat::ToAnsi(T("speak", "Speak")),
                      ptt = chat::ToAnsi(T("oneptt", "A PTT message"));
    std::string out;
    for (int i = 0; i < list_->topLevelItemCount(); ++i) {
        const ChatRecordRow& row = rows_[list_->topLevelItem(i)->data(0, kRowRole).toInt()];
        out += row.sender + " " + to + " " + row.receivers + " " + speak + "  [" + row.time + "]\r\n";
        out += row.voice ? ptt : row.content;
        out += "\r\n\r\n";
    }
    // Through a temporary file: a failed export leaves a file it replaces whole.
    // An ordinary file of the user's choosing: the system's default permissions, written whole or not at all.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly)) return false;
    if (file.write(out.data(), static_cast<qint64>(out.size())) != static_cast<qint64>(out.size())) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

void CChatRecordFrame::RunCommand(int command) {
    if (auto it = actions_.find(command); it != actions_.end() && it->second->isEnabled()) it->second->trigger();
}

bool CChatRecordFrame::Enabled(int command) const {
    const int rows = list_->topLevelItemCount();
    const auto selected = list_->selectedItems();
    QTreeWidgetItem* item = tree_->currentItem();
    const int kind = item ? item->data(0, kKindRole).toInt() : 0;
    switch (command) {
        case ID_EXPORT:
        case ID_SELECT_ALL: return rows > 0;
        case ID_COPY: return !selected.isEmpty();
        // A keyword result lists only some records: deleting from it is not offered. A peer or a time
        // range chosen after a search lists every record again.
        case ID_CUT:
        case ID_DELETE: return !selected.isEmpty() && (keyword_.isEmpty() || item != queryItem_ || !queryItem_);
        case ID_PLAY:
            // The first selected row is a voice record.
            for (int i = 0; i < rows; ++i)
                if (list_->topLevelItem(i)->isSelected()) return list_->topLevelItem(i)->data(0, kDataRole).toInt() == 1;
            return false;
        case ID_PREV: return (kind == kPeer || kind == kTime) && daysBack_ < 27;
        case ID_NEXT: return (kind == kPeer || kind == kTime) && daysBack_ > 0;
        default: return true;
    }
}

void CChatRecordFrame::RefreshCommands() {
    for (auto& [id, action] : actions_) action->setEnabled(Enabled(id));
}
