// The sheet and its pages: the start page and the service page, and the sheet that holds every page.
#include "ui/shell/pages.h"
#include "ui/shell/nav_pages.h"

#include <QAbstractButton>
#include <QMenu>
#include <QVBoxLayout>

#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "ui/shell/shell_config.h"
#include "ui/shell/main_frame.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/book_results.h"

using shell::LangText;

// ---------------------------------------------------------------------------------------------
CNqNavigatePage::CNqNavigatePage(QWidget* parent) : CNqPropertyPage(PAGE_START, parent) {
    setObjectName("startPage");
    // White under every control, whatever the style sheet; the texts draw on it without a background.
    QPalette white = palette();
    white.setColor(QPalette::Window, Qt::white);
    setPalette(white);
    setAutoFillBackground(true);
    setAttribute(Qt::WA_StyledBackground, true);  // the style sheet's white, where there is one
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    v->setSpacing(0);
    // ---- the summary links: missed calls, contacts online, balance, prepayment, newer version. They
    // cover the whole page, which lays the newer version's line out against the page's bottom.
    links_ = new shell::CNavigateLinks(this);
    links_->statusOffline = [] {
        return !MainFrame() || !MainFrame()->StatusBar() || MainFrame()->StatusBar()->GetStatus() == STATUS_OFFLINE;
    };
    v->addWidget(links_, 1);
}

QString CNqNavigatePage::TabTitle() const { return LangText("navigate_dialog", "title", "Start").left(32); }

void CNqNavigatePage::SetMode(int loginState) {
    // The modes follow the frame's sign-in state: without a frame there is none to follow.
    if (!MainFrame()) return;
    links_->SetMode(loginState);
}

void CNqNavigatePage::SetOnlineCount(int count) { links_->SetOnlineCount(count); }

void CNqNavigatePage::OnLanguageChanged() {
    links_->Retext();
    links_->ShowContactCounter(shell::g_contactCounter);
}
void CNqNavigatePage::OnSkinChanged() { links_->OnSkinChanged(); }

// ---------------------------------------------------------------------------------------------
CPageService::CPageService(QWidget* parent) : CNqPropertyPage(PAGE_SERVICE, parent) {
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(0, 0, 0, 0);
    browser_ = new shell::CServiceBrowser(this);
    v->addWidget(browser_);
}

QString CPageService::TabTitle() const { return LangText("service_page", "title", "服务").left(128); }
void CPageService::OnSkinChanged() {}
void CPageService::OnLanguageChanged() {}

// ---------------------------------------------------------------------------------------------
CNqPropertySheet::CNqPropertySheet(QWidget* parent) : QTabWidget(parent) {
    m_tabCtrl = new CSkinTabCtrl(this);
    setTabBar(m_tabCtrl);
    m_tabCtrl->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_tabCtrl, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { OnContextMenu(m_tabCtrl->mapToGlobal(at)); });
}

CNqPropertySheet::~CNqPropertySheet() { delete m_popupMenu; }

bool CNqPropertySheet::OnContextMenu(const QPoint& screenPoint) {
    const QPoint at = m_tabCtrl->mapFromGlobal(screenPoint);
    // The tabs from the first call tab on carry the menu; the fixed pages before them never do.
    if (m_tabCtrl->count() <= m_nFirstCallTab) return false;
    int tab = -1;
    for (int i = std::max(m_nFirstCallTab, 0); i < m_tabCtrl->count(); ++i)
        if (m_tabCtrl->tabRect(i).contains(at)) {
            tab = i;
            break;
        }
    if (tab < 0) return false;
    setCurrentIndex(tab);
    delete m_popupMenu;
    m_popupMenu = BuildCallMenu(activeCallHeld && activeCallHeld());
    if (!m_popupMenu) return false;
    if (trackMenu) {
        trackMenu(m_popupMenu, screenPoint);
    } else {
        m_popupMenu->exec(screenPoint);
    }
    delete m_popupMenu;
    m_popupMenu = nullptr;
    return true;
}

TrelMenu* CNqPropertySheet::BuildCallMenu(bool held) {
    struct Row {
        const char *key, *picture;
        int command;
    };
    static const Row rows[] = {{"hangup", "hangupmi.bmp", ID_SHEET_HANGUP},
                               {"hold", "menusendim.bmp", ID_SHEET_HOLD},
                               {"unhold", "menusendim.bmp", ID_SHEET_UNHOLD}};
    auto* menu = new TrelMenu(this);
    for (const Row& row : rows) {
        if (row.command == (held ? ID_SHEET_HOLD : ID_SHEET_UNHOLD)) continue;
        const QImage picture = ctl::LoadBitmapFile(shell::SkinFile(row.picture));
        if (picture.isNull()) {
            delete menu;
            return nullptr;
        }
        QAction* a = menu->AppendBitmapMenu(MF_OWNERDRAW, row.command, LangText("sheet_popup_menu", row.key, "error").left(32),
                                            picture);
        const int command = row.command;
        connect(a, &QAction::triggered, this, [this, command] {
            emit callCommand(command);
            if (command == ID_SHEET_HANGUP) emit endCallRequested();
        });
    }
    // Hold and resume are the call page's own menu's; here they only show the call's state.
    for (int command : {ID_SHEET_HOLD, ID_SHEET_UNHOLD})
        if (QAction* a = menu->FindCommand(command)) a->setEnabled(false);
    return menu;
}

// ---------------------------------------------------------------------------------------------
CChildView::CChildView(QWidget* parent) : CNqPropertySheet(parent) {
    setDocumentMode(true);
    // The skinned tabs paint their whole title: squeezed tabs would overlap, so a full row scrolls.
    setUsesScrollButtons(true);
    setElideMode(Qt::ElideNone);
    connect(this, &QTabWidget::currentChanged, this, [this](int i) {
        if (CNqPropertyPage* p = PageAt(i); p && p->m_nType != PAGE_CALL) lastNonCall_ = i;
    });
    ReloadTabs();
}

int CChildView::AddPage(CNqPropertyPage* page) {
    const int i = addTab(page, page->TabTitle());
    ReloadTabs();
    if (page->m_nType == PAGE_CALL) emit callPageAdded();
    return i;
}

void CChildView::RemovePage(CNqPropertyPage* page) {
    const int i = indexOf(page);
    if (i >= 0) removeTab(i);
    ReloadTabs();
}

CNqPropertyPage* CChildView::PageAt(int i) const { return qobject_cast<CNqPropertyPage*>(widget(i)); }

// Any page of a call counts, ended or not.
bool CChildView::AnyCallPage() const { return HasCallPage(); }

bool CChildView::HasCallPage() const {
    for (int i = 0; i < count(); ++i)
        if (CNqPropertyPage* p = PageAt(i); p && p->m_nType == PAGE_CALL) return true;
    return false;
}

bool CChildView::AnyTalking() const {
    for (int i = 0; i < count(); ++i)
        if (CNqPropertyPage* p = PageAt(i); p && p->m_nType == PAGE_CALL && p->m_nState == 1) return true;
    return false;
}

void CChildView::ClosePage(CNqPropertyPage* page) {
    const int i = indexOf(page);
    if (i < 0) return;
    // The last page used is selected before the call page goes: removing the current tab would select
    // its neighbour (the last page of the sheet) and count it as used.
    int back = lastNonCall_ < count() ? lastNonCall_ : 0;
    if (PageAt(back) && PageAt(back)->m_nType == PAGE_CALL) back = 0;
    QWidget* backPage = widget(back);
    setCurrentWidget(backPage);
    removeTab(indexOf(page));
    page->deleteLater();
    setCurrentWidget(backPage);
    ReloadTabs();
}

void CChildView::ClosePageAt(int index) {
    if (CNqPropertyPage* p = PageAt(index)) ClosePage(p);
}

void CChildView::OnLanguageChanged() {
    for (int p = 0; p < count(); ++p)
        if (CNqPropertyPage* page = PageAt(p)) page->OnLanguageChanged();
    ReloadTabs();
    ReselectActivePage();
}

void CChildView::OnSkinChanged() {
    for (int p = 0; p < count(); ++p)
        if (CNqPropertyPage* page = PageAt(p)) page->OnSkinChanged();
    ReloadTabs();
    ReselectActivePage();
}

void CChildView::ReselectActivePage() {
    // Selecting the page shown again runs what a newly shown page runs (the dial bar's buttons).
    if (currentIndex() >= 0) emit currentChanged(currentIndex());
}

void CChildView::ReloadTabs() {
    const QList<QPixmap> strip =
        ctl::CutStrip(ctl::LoadBitmapFile(shell::SkinFile("propertypicon.bmp")), 24, 23, RGB(255, 0, 255));
    QList<QPixmap> images;
    for (int i = 0; i < count(); ++i) {
        CNqPropertyPage* p = PageAt(i);
        if (!p) continue;
        setTabText(i, p->TabTitle());
        const int img = p->TabImage();
        images.append(img < strip.size() ? strip[img] : QPixmap());
    }
    m_tabCtrl->SetImages(images);
}

// ---------------------------------------------------------------------------------------------
namespace shell {
namespace {
QAbstractButton* DialBarButton(int buttonId) {
    CMainFrame* frame = MainFrame();
    if (!frame) return nullptr;
    const char* name = buttonId == ID_DIAL ? "dialBarCall" : buttonId == ID_HANGUP ? "dialBarHangup" : nullptr;
    return name ? frame->findChild<QAbstractButton*>(name) : nullptr;
}

CNqPropertyPage* FindPage(const std::function<bool(const CNqPropertyPage*)>& match) {
    CChildView* sheet = MainFrame() ? MainFrame()->Sheet() : nullptr;
    if (!sheet) return nullptr;
    for (int i = 0; i < sheet->count(); ++i)
        if (CNqPropertyPage* p = sheet->PageAt(i); p && match(p)) return p;
    return nullptr;
}
}  // namespace

void EnableDialBarButton(int buttonId, bool enable) {
    QAbstractButton* button = DialBarButton(buttonId);
    if (!button) return;
    if (MainFrame()->StatusBar() && MainFrame()->StatusBar()->GetStatus() == STATUS_OFFLINE)
        enable = false;
    if (MainFrame()->Calls() && MainFrame()->Calls()->DialBarBusy()) enable = false;
    if (button->isEnabled() != enable) {
        button->setEnabled(enable);
        button->update();
    }
}

bool IsDialBarButtonEnabled(int buttonId) {
    QAbstractButton* button = DialBarButton(buttonId);
    return button && button->isEnabled();
}

CNqPropertyPage* FindTalkingCallPage() {
    return FindPage([](const CNqPropertyPage* p) { return p->m_nType == PAGE_CALL && p->m_nState == 1; });
}
CNqPropertyPage* FindUnansweredCallPage() {
    return FindPage([](const CNqPropertyPage* p) { return p->m_nType == PAGE_CALL && p->m_nState == 0; });
}
CNqPropertyPage* FindAnyCallPage() {
    return FindPage([](const CNqPropertyPage* p) { return p->m_nType == PAGE_CALL; });
}

}  // namespace shell
