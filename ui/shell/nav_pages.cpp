// The start page's summary (missed calls, contacts online, balance query, prepayment, newer version)
// and the service page's browser with its local page, remote page and fall-back.
#include "ui/shell/nav_pages.h"

#include <QGridLayout>
#include <QLabel>
#include <QPainter>
#include <QPushButton>
#include <QResizeEvent>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QTimer>
#include <QVBoxLayout>
#include <QWebEngineView>

#include "common/debug.h"
#include "platform/ini.h"
#include "service/settings_xml.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/links.h"
#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "common/appenv.h"
#include "platform/msgqueue.h"
#include "ui/controls/web/web_host.h"
#include "ui/shell/shell_config.h"

namespace shell {

namespace {
// The start page's texts hold at most 32 characters.
QString NavText(const char* key, const char* builtIn) { return LangText("navigate_dialog", key, builtIn).left(32); }
}  // namespace

QString MissedCallText(int count) {
    if (count == 0) return NavText("tip2", "No Missed Call");
    return QString::number(count) + " " + NavText("tip3", "Missed Call");
}

QString OnlineContactText(int count) {
    if (count == 0) return NavText("txt_no_contact_online", "No Contact Online");
    return QString::number(count) + " " +
           (count == 1 ? NavText("txt_one_contact_online", "Contact Online")
                       : NavText("txt_contact_online", "Contacts Online"));
}

QString UpdateVersionText(int major, int minor, int build) {
    const QString fmt = LangFormatText("navigate_dialog", "update_version", "", "ddd").left(512);
    return FillFormat(fmt, {QString::number(major), QString::number(minor), QString::number(build)});
}

QString ContactCounterText(int counter) {
    return FillFormat(LangFormatText("navigate_dialog", "ucount", "", "d").left(256), {QString::number(counter)});
}

NavigateVisibility NavigateModeTable(int mode, bool haveUpdate) {
    switch (mode) {
        case 0:
            return {{NAV_LOGIN},
                    {NAV_MISSED, NAV_MISSED_PIC, NAV_QUERY, NAV_PREPAY, NAV_TIP, NAV_ONLINE, NAV_ONLINE_PIC, NAV_LOGINING,
                     NAV_UPDATE_PIC, NAV_UPDATE, NAV_COUNTER}};
        case 1: {
            NavigateVisibility v{{NAV_MISSED, NAV_MISSED_PIC, NAV_TIP, NAV_ONLINE, NAV_QUERY, NAV_PREPAY, NAV_ONLINE_PIC,
                                  NAV_COUNTER},
                                 {NAV_LOGIN, NAV_LOGINING}};
            if (haveUpdate) v.shown.insert(v.shown.end(), {NAV_UPDATE_PIC, NAV_UPDATE});
            return v;
        }
        case 2:
            return {{NAV_LOGINING},
                    {NAV_MISSED, NAV_LOGIN, NAV_MISSED_PIC, NAV_TIP, NAV_ONLINE, NAV_QUERY, NAV_PREPAY, NAV_ONLINE_PIC,
                     NAV_COUNTER}};
        case 3:
            return {{NAV_MISSED, NAV_MISSED_PIC, NAV_QUERY, NAV_PREPAY, NAV_TIP, NAV_ONLINE, NAV_ONLINE_PIC},
                    {NAV_LOGIN, NAV_LOGINING}};
        default: return {};
    }
}

// ---------------------------------------------------------------------------------------------
void ServicePageNavigator::Init() {
    if (navigate) navigate(local);
}

void ServicePageNavigator::DownloadComplete() {
    if (!m_bFirstLoad) return;
    m_bFirstLoad = false;
    if (startTimer) startTimer();
}

void ServicePageNavigator::Timer() {
    if (!remote.isEmpty() && navigate) navigate(remote);
}

void ServicePageNavigator::NavigateError(const QUrl& failing) {
    if (failing == local || !navigate) return;
    navigate(local);
}

void ServicePageNavigator::Loaded(const QUrl& url, bool ok) {
    // A missing local page still leads on to the service's page after its (failed) first load.
    if (!ok) NavigateError(url);
    DownloadComplete();
}

// ---------------------------------------------------------------------------------------------
CNavigateLinks::CNavigateLinks(QWidget* parent) : QWidget(parent) {
    setObjectName("navigateLinks");
    // One column down the page's left: each picture beside its link, the balance and top-up links
    // under them; the newer version's line is kept clear at the bottom (LayOutUpdateLine).
    auto* g = new QGridLayout(this);
    g->setContentsMargins(kLeft, 20, 20, kUpdateBottom + kUpdatePicture + 16);
    g->setHorizontalSpacing(10);
    g->setVerticalSpacing(10);
    QFont body = font();
    body.setPixelSize(13);
    QFont large = font();
    large.setPixelSize(15);
    auto picture = [&](int id, const char* file) {
        auto* l = new QLabel(this);
        l->setFixedSize(16, 16);
        l->setProperty("skinFile", file);
        controls_.push_back({id, l});
        return l;
    };
    auto link = [&](int id, const QFont& f) {
        auto* l = new CHyperLink(this, Qt::AlignLeft | Qt::AlignVCenter);
        l->setObjectName(QString("navLink%1").arg(id));
        l->setFont(f);
        l->SetColours(RGB(0x1b, 0x4f, 0xa8), RGB(0x1b, 0x4f, 0xa8), RGB(0x2f, 0x6f, 0xd6));
        controls_.push_back({id, l});
        return l;
    };
    auto text = [&](int id, const char* name, const QFont& f) {
        auto* l = new QLabel(this);
        l->setObjectName(name);
        l->setFont(f);
        controls_.push_back({id, l});
        return l;
    };
    const auto left = Qt::AlignLeft | Qt::AlignVCenter;
    g->addWidget(link(NAV_LOGIN, large), 0, 0, 1, 2, left);
    g->addWidget(text(NAV_LOGINING, "navLogining", large), 1, 0, 1, 2, left);
    g->addWidget(text(NAV_TIP, "navTip", body), 2, 0, 1, 2, left);
    g->addWidget(picture(NAV_MISSED_PIC, "startmiss.bmp"), 3, 0, Qt::AlignCenter);
    g->addWidget(link(NAV_MISSED, large), 3, 1, left);
    g->addWidget(picture(NAV_ONLINE_PIC, "startonline.bmp"), 4, 0, Qt::AlignCenter);
    g->addWidget(link(NAV_ONLINE, large), 4, 1, left);
    auto* row = new QHBoxLayout;
    row->setContentsMargins(0, 6, 0, 0);
    row->setSpacing(18);
    row->addWidget(link(NAV_QUERY, body), 0, left);
    row->addWidget(link(NAV_PREPAY, body), 0, left);
    row->addStretch();
    // The balance button reads "prepay" and asks for the balance, as the query link does; no sign-in
    // mode shows it, so it stays hidden.
    auto* prepayButton = new QPushButton(this);
    prepayButton->setObjectName("navPrepayButton");
    prepayButton->setCursor(Qt::PointingHandCursor);
    prepayButton->hide();
    controls_.push_back({NAV_PREPAY_BUTTON, prepayButton});
    row->addWidget(prepayButton);
    g->addLayout(row, 5, 1);
    g->addWidget(text(NAV_COUNTER, "navCounter", body), 6, 1, left);
    g->setColumnMinimumWidth(0, 16);
    g->setColumnStretch(1, 1);
    g->setRowStretch(7, 1);
    // The newer version: the program's own bitmap 214, its key colour keyed out, and its link, both
    // outside the grid.
    auto* up = new CPaintedStatic(this);
    up->SetBitmapFile(ctl::ResourcePath(214));
    up->setGeometry(kLeft - 2, 0, kUpdatePicture, kUpdatePicture);
    controls_.push_back({NAV_UPDATE_PIC, up});
    link(NAV_UPDATE, body)->SetAutoSize(false);
    connect(Link(NAV_MISSED), &CUrlLink::linkClicked, this, [this] {
        ClearMissedCalls();
        emit showMissedCalls();
    });
    connect(Link(NAV_ONLINE), &CUrlLink::linkClicked, this, &CNavigateLinks::showContacts);
    connect(Link(NAV_QUERY), &CUrlLink::linkClicked, this, &CNavigateLinks::queryBalance);
    connect(Link(NAV_PREPAY), &CUrlLink::linkClicked, this, &CNavigateLinks::openPrepay);
    connect(Link(NAV_UPDATE), &CUrlLink::linkClicked, this, &CNavigateLinks::updateNow);
    connect(prepayButton, &QPushButton::clicked, this, &CNavigateLinks::queryBalance);
    connect(Link(NAV_LOGIN), &CUrlLink::linkClicked, this, [this] {
        emit login();
        if (g_hMainWnd) PostMessage(g_hMainWnd, 0x0111 /* WM_COMMAND */, 2919 /* log in */, 0);
    });
    OnSkinChanged();
    Retext();
    SetMode(0);
    // Q or F2 on the page asks for the balance while signed in; the key then goes on as usual.
    if (qApp) qApp->installEventFilter(this);
}

bool CNavigateLinks::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() != QEvent::KeyPress || !watched->isWidgetType()) return false;
    const int key = static_cast<QKeyEvent*>(e)->key();
    if (key != Qt::Key_Q && key != Qt::Key_F2) return false;
    auto* w = static_cast<QWidget*>(watched);
    // Only the key's first receiver: a key nobody takes travels on to the parents, once more each.
    QWidget* first = QApplication::focusWidget() ? QApplication::focusWidget() : w->window();
    if (w != first) return false;
    QWidget* page = parentWidget() ? parentWidget() : this;
    if (w != page && !page->isAncestorOf(w)) return false;
    // Not while the status bar shows offline (without a frame: while signed out).
    const bool offline = statusOffline ? statusOffline() : !(mode_ == 1 || mode_ == 3);
    if (!offline) emit queryBalance();
    return false;
}

QWidget* CNavigateLinks::Control(int id) const {
    for (const auto& [cid, w] : controls_)
        if (cid == id) return w;
    return nullptr;
}

CHyperLink* CNavigateLinks::Link(int id) const { return qobject_cast<CHyperLink*>(Control(id)); }

void CNavigateLinks::SetMode(int mode) {
    const NavigateVisibility v = NavigateModeTable(mode, haveUpdateAnswer_);
    if (v.shown.empty() && v.hidden.empty()) return;
    mode_ = mode;
    for (int id : v.hidden)
        if (QWidget* w = Control(id)) w->setVisible(false);
    for (int id : v.shown)
        if (QWidget* w = Control(id)) w->setVisible(true);
    const bool counter = !static_cast<QLabel*>(Control(NAV_COUNTER))->text().isEmpty();
    if (Control(NAV_COUNTER)->isVisibleTo(this) && !counter) Control(NAV_COUNTER)->setVisible(false);
}

void CNavigateLinks::SetOnlineCount(int count) {
    m_nOnlineContacts = count;
    Link(NAV_ONLINE)->SetLinkText(OnlineContactText(count));
}

void CNavigateLinks::ClearMissedCalls() {
    m_nMissedCalls = 0;
    Link(NAV_MISSED)->SetLinkText(MissedCallText(0));
}

void CNavigateLinks::AddMissedCall() {
    ++m_nMissedCalls;
    Link(NAV_MISSED)->SetLinkText(MissedCallText(m_nMissedCalls));
}

void CNavigateLinks::SetUpdateAnswer() {
    haveUpdateAnswer_ = true;
    SetMode(mode_);
}

void CNavigateLinks::ShowUpdateVersion(int major, int minor, int build) {
    update_[0] = major, update_[1] = minor, update_[2] = build;
    Link(NAV_UPDATE)->SetLinkText(major >= 0 ? UpdateVersionText(major, minor, build) : QString());
    SetMode(mode_);
    LayOutUpdateLine();
}

void CNavigateLinks::resizeEvent(QResizeEvent* e) {
    QWidget::resizeEvent(e);
    LayOutUpdateLine();
}

void CNavigateLinks::LayOutUpdateLine() {
    // The picture keeps its left and size and sits 10 pixels above the bottom; its link follows 5
    // pixels to the right, on the same bottom, to the right edge.
    QWidget* pic = Control(NAV_UPDATE_PIC);
    QWidget* link = Control(NAV_UPDATE);
    QRect p = pic->geometry();
    p.moveTop(height() - kUpdateBottom - p.height());
    pic->setGeometry(p);
    const int x = p.x() + p.width() + 5;
    const int h = link->sizeHint().height();
    link->setGeometry(x, p.y() + p.height() - h, std::max(0, width() - x), h);
}

void CNavigateLinks::ShowContactCounter(int counter) {
    counter_ = counter;
    static_cast<QLabel*>(Control(NAV_COUNTER))->setText(ContactCounterText(counter));
    ConfigWrite("common", "ucountnumber", std::to_string(counter));
    SetMode(mode_);
}

void CNavigateLinks::OnSkinChanged() {
    for (int id : {NAV_MISSED_PIC, NAV_ONLINE_PIC}) {
        auto* l = static_cast<QLabel*>(Control(id));
        QImage img = ctl::LoadBitmapFile(SkinFile(l->property("skinFile").toByteArray().constData()));
        if (img.isNull()) img = ctl::LoadBitmapFile(ctl::ResourcePath(180));  // the program's own picture
        // Shown as they come, the control as large as its picture.
        const QPixmap pm = img.isNull() ? QPixmap() : QPixmap::fromImage(img);
        l->setFixedSize(pm.isNull() ? QSize(16, 16) : pm.size());
        l->setPixmap(pm);
    }
}

void CNavigateLinks::Retext() {
    static_cast<QLabel*>(Control(NAV_TIP))->setText(NavText("tip1", "You have"));
    static_cast<QLabel*>(Control(NAV_LOGINING))->setText(NavText("msg_logining", "Login..."));
    Link(NAV_LOGIN)->SetLinkText(NavText("msg_login", "Click here to login"));
    Link(NAV_QUERY)->SetLinkText(NavText("qz_query", "Query"));
    Link(NAV_PREPAY)->SetLinkText(NavText("qz_prepay", "Prepay"));
    static_cast<QPushButton*>(Control(NAV_PREPAY_BUTTON))->setText(NavText("qz_prepay", "Prepay"));
    Link(NAV_MISSED)->SetLinkText(MissedCallText(m_nMissedCalls));
    Link(NAV_ONLINE)->SetLinkText(OnlineContactText(m_nOnlineContacts));
    Link(NAV_UPDATE)->SetLinkText(update_[0] >= 0 ? UpdateVersionText(update_[0], update_[1], update_[2]) : QString());
    static_cast<QLabel*>(Control(NAV_COUNTER))->setText(ContactCounterText(counter_));
}

// ---------------------------------------------------------------------------------------------
CServiceBrowser::CServiceBrowser(QWidget* parent) : QWidget(parent) {
    auto* v = new QVBoxLayout(this);
    const int b = 1;  // the border width
    v->setContentsMargins(b, b, b, b);
    timer_ = new QTimer(this);
    timer_->setSingleShot(true);
    timer_->setInterval(60);
    nav_.local = LocalPage();
    nav_.remote = QUrl(QString::fromStdString(g_serviceSettings.service));
    nav_.navigate = [this](const QUrl& url) {
        if (host_) host_->Navigate(url);
    };
    nav_.startTimer = [this] { timer_->start(); };
    connect(timer_, &QTimer::timeout, this, [this] { nav_.Timer(); });
    m_bHasScroll = static_cast<int>(GetPrivateProfileIntA("page_service", "has_scroll", 1, shell::Paths().skinIni.c_str()));
    CreateHost();
}

void CServiceBrowser::SwallowRightButtonIn(QWidget* w) {
    w->installEventFilter(this);
    for (QWidget* child : w->findChildren<QWidget*>()) child->installEventFilter(this);
}

bool CServiceBrowser::eventFilter(QObject* watched, QEvent* e) {
    // The browser puts its input widget in later: it is watched as it comes.
    if (e->type() == QEvent::ChildAdded)
        if (auto* w = qobject_cast<QWidget*>(static_cast<QChildEvent*>(e)->child())) SwallowRightButtonIn(w);
    if (m_bHasScroll == 1) {
        const bool rightClick = (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseButtonDblClick) &&
                                static_cast<QMouseEvent*>(e)->button() == Qt::RightButton;
        if (rightClick || e->type() == QEvent::ContextMenu) {
            if (host_) host_->update();
            return true;
        }
    }
    return QWidget::eventFilter(watched, e);
}

bool CServiceBrowser::event(QEvent* e) {
    if (e->type() == WindowMessageEvent::eventType()) {
        auto* m = static_cast<WindowMessageEvent*>(e);
        if (m->message == CustomControlSiteMsg()) {
            m->result = 0;
            if (m_bHasScroll == 1) return true;
            if (m->wParam == kSiteCreate) {
                if (!site_) site_ = std::make_unique<CWebControlSite>();
                reinterpret_cast<CtrlSiteQuery*>(m->lParam)->site = site_.get();
                m->result = 1;
            } else if (m->wParam == kSiteContextMenu) {
                reinterpret_cast<ContextMenuQuery*>(m->lParam)->result = 0;
                m->result = 1;
            }
            return true;
        }
    }
    return QWidget::event(e);
}

CServiceBrowser::~CServiceBrowser() = default;

QUrl CServiceBrowser::LocalPage() {
    // The one local page holds both languages; the fragment tells it which to show.
    QUrl url = QUrl::fromLocalFile(SkinFile("service.htm"));
    url.setFragment(QString::fromStdString(Paths().langType).toLower() == "chs" ? "chs" : "eng");
    return url;
}

void CServiceBrowser::CreateHost() {
    if (host_) return;
    host_ = new CWebBrowserHost(this);
    layout()->addWidget(host_);
    // With the ordinary site the right button still brings no browser menu.
    connect(host_, &CWebBrowserHost::viewCreated, this, [this] {
        if (host_->View()) SwallowRightButtonIn(host_->View());
    });
    connect(host_, &CWebBrowserHost::downloadComplete, this, [this](bool ok) {
        const QUrl shown = host_->Navigations().isEmpty() ? QUrl() : host_->Navigations().back();
        if (ok)
            DebugTrace(MOD_SYSTEM, 2, "Service page shown: %s, title \"%s\"", shown.toString().toUtf8().constData(),
                       host_->View() ? host_->View()->title().toUtf8().constData() : "");
        else
            DebugTrace(MOD_SYSTEM, 1, "Service page could not load %s", shown.toString().toUtf8().constData());
        nav_.Loaded(shown, ok);
    });
    nav_.Init();
}

}  // namespace shell
