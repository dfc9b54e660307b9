// The call page: single view (photo, name, status, tip or clock) and member view (tiles), its menu.
#include "ui/calls/call_page.h"
#include "ui/calls/ansi_text.h"

#include <strings.h>

#include <algorithm>
#include <cstdlib>

#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>

#include "common/addrbook.h"
#include "common/addrbook_query.h"
#include "common/appenv.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"
#include "ui/shell/shell_config.h"

namespace calls {
namespace {

QString Q(const std::string& s) { return AnsiQ(s); }

}  // namespace

void MarqueeAdvance(const QByteArray& bytes, int* offset, int* dir) {
    if (*dir == 1) {
        *offset += 2;
        if (bytes.size() - *offset < 18) *dir = 0;
    } else {
        *offset = 0;
        *dir = 1;
    }
    if (*offset >= 2 && *offset <= bytes.size()) {
        const auto b2 = static_cast<unsigned char>(bytes[*offset - 2]);
        const auto b1 = static_cast<unsigned char>(bytes[*offset - 1]);
        if (b2 < 0x80 && b1 > 0x80) --*offset;  // would split a double-byte character
    }
}

// ---------------------------------------------------------------------------------------------
CAttendeePic::CAttendeePic(QWidget* parent) : QWidget(parent) {
    resize(100, 105);
    face_ = Q(Text("multiconf_dialog", "font_name", ""));
    fontHeight_ = std::abs(std::atoi(Text("multiconf_dialog", "font_height", "").c_str()));
    back_ = palette().color(QPalette::Button);
    nameTimer_.setInterval(1000);
    stateTimer_.setInterval(1000);
    connect(&nameTimer_, &QTimer::timeout, this, [this] { MarqueeStep(1); });
    connect(&stateTimer_, &QTimer::timeout, this, [this] { MarqueeStep(2); });
}

void CAttendeePic::SetNameText(const QString& t) {
    if (t != name_) nameOffset_ = 0, nameDir_ = 1;
    name_ = t;
    update();
}
void CAttendeePic::SetStateText(const QString& t) {
    if (t != state_) stateOffset_ = 0, stateDir_ = 1;
    state_ = t;
    update();
}
void CAttendeePic::SetImagePath(const QString& path) {
    image_ = path;
    update();
}

void CAttendeePic::SetBackColor(const QColor& c) {
    back_ = c;
    update();
}

QFont CAttendeePic::LineFont(int) const {
    // One font for both lines: the language file's face and height, the default for either not named.
    QFont f = font();
    if (!face_.isEmpty()) f.setFamily(face_);
    if (fontHeight_ > 0) f.setPixelSize(fontHeight_);
    f.setWeight(QFont::Normal);
    return f;
}

void CAttendeePic::MarqueeStep(int line) {
    const QByteArray bytes = QByteArray::fromStdString(ToAnsi(line == 1 ? name_ : state_));
    if (line == 1) MarqueeAdvance(bytes, &nameOffset_, &nameDir_);
    else MarqueeAdvance(bytes, &stateOffset_, &stateDir_);
    update();
}

int CAttendeePic::TextHeight() const { return QFontMetrics(LineFont(1)).height(); }

void CAttendeePic::MoveTo(int x, int y) {
    // Tall enough for the two lines under the picture.
    setGeometry(x, y, 100, std::max(105, 2 * TextHeight() + 104));
    update();
}

bool CAttendeePic::LineScrolls(int line) const {
    return QFontMetrics(LineFont(line)).horizontalAdvance(line == 1 ? name_ : state_) >= kMarqueeWidth;
}

void CAttendeePic::paintEvent(QPaintEvent*) {
    const QImage picture = ctl::LoadBitmapFile(image_.isEmpty() ? shell::SkinFile("usericondef.bmp") : image_);
    if (picture.isNull()) return;  // no picture: nothing of the tile is drawn
    QPainter p(this);
    p.drawPixmap(0, 0, ctl::KeyedPixmap(picture, RGB(255, 0, 255)));
    const int t = TextHeight();
    auto line = [&](int which, const QString& text, const QRect& band, const QRect& clear, int offset, QTimer& timer) {
        p.setFont(LineFont(which));
        p.setPen(Qt::black);
        if (!LineScrolls(which)) {
            timer.stop();
            if (!text.isEmpty()) p.drawText(band, Qt::AlignCenter, text);
            return;
        }
        if (!timer.isActive()) timer.start();
        p.fillRect(clear, back_);
        const QByteArray b = QByteArray::fromStdString(ToAnsi(text));
        const QString shown = offset > 0 ? AnsiQ(b.mid(offset, 18).toStdString()) : text;
        p.drawText(band, Qt::AlignLeft | Qt::AlignVCenter, shown);
    };
    // A scrolling line's band is cleared with the tile's colour before its 18 bytes are drawn.
    line(1, name_, QRect(0, 100, 100, t + 2), QRect(0, 100, 102, t - 2), nameOffset_, nameTimer_);
    line(2, state_, QRect(0, t + 102, 100, t + 2), QRect(0, t + 100, 102, t + 2), stateOffset_, stateTimer_);
}

// ---------------------------------------------------------------------------------------------
COnDialDlg::COnDialDlg(CallPageModel* model, QWidget* parent) : CNqPropertyPage(PAGE_CALL, parent), model_(model) {
    setAutoFillBackground(true);
    QPalette pal = palette();
    pal.setColor(QPalette::Window, Qt::white);
    setPalette(pal);
    photo_ = new QLabel(this);
    photo_->setFixedSize(96, 96);
    direction_ = new QLabel(this);
    direction_->setFixedSize(24, 24);
    name_ = new QLabel(this);
    status_ = new QLabel(this);
    tip_ = new QLabel(this);
    for (QLabel* l : {name_, status_, tip_}) l->setAlignment(Qt::AlignCenter);
    // Black text on the page's white.
    for (QLabel* l : {name_, status_, tip_}) {
        QPalette p = l->palette();
        p.setColor(QPalette::WindowText, Qt::black);
        l->setPalette(p);
    }
    QFont big = font();
    big.setPixelSize(20);
    big.setBold(true);
    name_->setFont(big);
    QFont clock = font();
    clock.setPixelSize(26);
    tip_->setFont(clock);
    scroll_ = new QScrollBar(Qt::Vertical, this);
    scroll_->hide();
    connect(scroll_, &QScrollBar::valueChanged, this, [this](int v) {
        const int d = v - scrollPos_;
        scrollPos_ = v;
        for (CAttendeePic* t : tiles_) t->move(t->x(), t->y() - d);
    });
    Refresh();
}

QString COnDialDlg::TabTitle() const { return model_ ? Q(model_->TabCaption()) : QString(); }
int COnDialDlg::TabImage() const { return model_ ? model_->TabIcon() : 5; }

void COnDialDlg::OnLanguageChanged() {
    if (model_) model_->OnLanguageChanged();
    Refresh();
}
void COnDialDlg::OnSkinChanged() {
    if (model_) model_->OnSkinChanged();
    Refresh();
}

void COnDialDlg::Refresh() {
    if (!model_) return;
    m_nState = model_->State();
    const bool conf = model_->MemberView();
    for (QWidget* w : std::initializer_list<QWidget*>{photo_, direction_, name_, status_, tip_}) w->setVisible(!conf);
    if (!conf) {
        // A photo that does not load leaves the picture as it was.
        if (!model_->photoPath.empty()) {
            const QImage photo = ctl::LoadBitmapFile(Q(model_->photoPath));
            if (!photo.isNull()) {
                photo_->setFixedSize(photo.size());  // the picture control takes the bitmap's size
                photo_->setPixmap(QPixmap::fromImage(photo));
            }
        }
        const char* dir = model_->callType == 0 ? "callin.bmp" : model_->callType == 1 ? "callout.bmp" : nullptr;
        direction_->setPixmap(dir ? ctl::KeyedPixmap(ctl::LoadBitmapFile(shell::SkinFile(dir)), RGB(255, 0, 255)) : QPixmap());
        name_->setText(Q(model_->NameLine()));
        status_->setText(Q(model_->StatusText()));
        tip_->setText(Q(model_->TipText()));
    }
    const auto& members = model_->Members();
    while (tiles_.size() > members.size()) {
        delete tiles_.back();
        tiles_.pop_back();
    }
    while (tiles_.size() < members.size()) {
        auto* t = new CAttendeePic(this);
        t->show();
        tiles_.push_back(t);
    }
    for (size_t i = 0; i < members.size(); ++i) {
        const MemberPicture& m = members[i];
        tiles_[i]->SetNameText(Q(m.name));
        tiles_[i]->SetStateText(Q(m.stateText));
        tiles_[i]->SetImagePath(Q(m.image));
        tiles_[i]->SetItemData(m.itemValue);
        tiles_[i]->SetBackColor(Qt::white);
    }
    // The tiles are laid out again (and the scroll bar put back to the top) only when members come
    // or go; a state line or the clock changing leaves the view where the user scrolled it.
    std::vector<std::string> shown;
    for (const MemberPicture& m : members) shown.push_back(m.number);
    if (shown != laidOut_ || conf != laidOutConference_) Layout();
    else LayoutSingle();
    update();
}

void COnDialDlg::LayoutSingle() {
    // The single view's controls keep their heights and are centred across the page.
    const int w = width();
    const int top = 30;
    photo_->move((w - photo_->width()) / 2, top);
    direction_->move((w - direction_->width()) / 2 + 40, top + 96 - 22);
    name_->setGeometry(0, top + 106, w, 30);
    status_->setGeometry(0, top + 138, w, 20);
    tip_->setGeometry(0, top + 166, w, 40);
}

void COnDialDlg::Layout() {
    LayoutSingle();
    if (!model_) return;
    const int w = width(), h = height();
    laidOut_.clear();
    for (const MemberPicture& m : model_->Members()) laidOut_.push_back(m.number);
    laidOutConference_ = model_->MemberView();
    model_->Relayout(w, h, scroll_->sizeHint().width());
    const TileLayout& l = model_->Layout();
    scroll_->setGeometry(w - scroll_->sizeHint().width(), 0, scroll_->sizeHint().width(), h);
    scroll_->setVisible(model_->MemberView() && l.scroll);
    scroll_->setRange(0, l.range);
    scroll_->setSingleStep(28);
    scroll_->setPageStep(28);
    scrollPos_ = 0;
    scroll_->setValue(0);
    for (size_t i = 0; i < tiles_.size() && i < l.places.size(); ++i) tiles_[i]->MoveTo(l.places[i].first, l.places[i].second);
}

void COnDialDlg::resizeEvent(QResizeEvent*) { Layout(); }

void COnDialDlg::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.fillRect(rect(), Qt::white);
}

std::vector<std::pair<int, bool>> COnDialDlg::MenuItems(const QPoint& at) {
    std::vector<std::pair<int, bool>> items;
    if (!model_ || model_->callId == -1) return items;
    const bool talking = model_->State() == CALL_TALKING;  // hold and resume
    if (model_->conference) {
        CAttendeePic* hit = nullptr;
        size_t index = 0;
        for (size_t i = 0; i < tiles_.size(); ++i)
            if (tiles_[i]->geometry().contains(at)) hit = tiles_[i], index = i;
        if (!hit || index >= model_->Members().size()) return items;
        const MemberPicture& m = model_->Members()[index];
        model_->targetCnx = m.cnxId;
        model_->selectedNumber = m.number;
        if (m.cnxId == -1) return items;
        items = {{ID_CALL_HANGUP, true}, {ID_CALL_HOLD, talking}, {ID_CALL_SENDIM, true}, {ID_CALL_KEYPAD, true}};
        if (!model_->host()->IsConfCall(model_->callId)) items[0].second = false;
        return items;
    }
    items = {{ID_CALL_HANGUP, true}, {ID_CALL_HOLD, talking}, {ID_CALL_SENDIM, false}, {ID_CALL_ADDCONTACT, false}, {ID_CALL_KEYPAD, true}};
    const std::string& number = model_->remoteNumber;
    const size_t at_ = number.find('@');
    if (at_ != std::string::npos) {
        std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
        const bool contact = AddrBook_FindContactById(g_addrBookRoots[0], number.substr(0, at_).c_str()) != nullptr;
        items[2].second = contact;
        items[3].second = !contact;
    }
    return items;
}

void COnDialDlg::RunMenuCommand(int command) {
    if (!model_) return;
    switch (command) {
        case ID_CALL_HANGUP: model_->OnMenuHangup(); break;
        case ID_CALL_HOLD: model_->host()->HoldRequest(model_, !model_->Held()); break;
        case ID_CALL_SENDIM: {
            const std::string number = model_->conference ? model_->selectedNumber : model_->remoteNumber;
            model_->selectedNumber.clear();
            if (sendMessage) sendMessage(number);
            break;
        }
        case ID_CALL_ADDCONTACT: {
            const std::string id = model_->remoteNumber.substr(0, model_->remoteNumber.find('@'));
            QString refusal;
            if (strcasecmp(id.c_str(), g_strUserId.c_str()) == 0) {
                refusal = shell::LangText("add_contact_dialog", "err_addcuruid", "Can't Add Current Account");
            } else {
                std::lock_guard<plat::RecursiveMutex> lock(g_hAddrBookMutex);
                if (AddrBook_FindContactById(g_addrBookRoots[0], id.c_str()))
                    refusal = shell::LangText("add_contact_dialog", "err_dupcontact", "Contact have exist");
            }
            if (!refusal.isEmpty()) model_->host()->ShowWarning(ToAnsi(refusal), id);
            else if (addContact) addContact(id);
            break;
        }
        case ID_CALL_KEYPAD: {
            // The keys go to the member chosen, or to the single call's party.
            const int cnx = model_->conference ? model_->targetCnx : model_->cnxCount > 0 ? model_->cnxIds[0] : -1;
            model_->targetCnx = -1;
            if (showKeypad) showKeypad(cnx);
            break;
        }
        default: break;
    }
    Refresh();
}

std::unique_ptr<TrelMenu> COnDialDlg::BuildMenu(const QPoint& at) {
    const auto items = MenuItems(at);
    if (items.empty()) return nullptr;
    // Not a child of the page: the page may close while the menu runs, and must not take the menu with it.
    auto menu = std::make_unique<TrelMenu>();
    struct Item {
        int id;
        const char *key, *picture;
    };
    const Item texts[] = {{ID_CALL_HANGUP, "hangup", "hangupmi.bmp"},
                          {ID_CALL_SENDIM, "sendim", "menusendim.bmp"},
                          {ID_CALL_ADDCONTACT, "addcontact", "menuaddcontact.bmp"},
                          {ID_CALL_HOLD, model_->Held() ? "unhold" : "hold", "menusendim.bmp"},
                          {ID_CALL_KEYPAD, "keyboard", model_->conference ? "menuaddcontact.bmp" : "menusendim.bmp"}};
    for (const auto& [cmd, enabled] : items) {
        for (const Item& t : texts) {
            if (t.id != cmd) continue;
            const QImage picture = ctl::LoadBitmapFile(shell::SkinFile(t.picture));
            if (picture.isNull()) return nullptr;
            QAction* a = menu->AppendBitmapMenu(enabled ? 0 : MF_GRAYED, cmd, shell::LangText("ondial_popup_menu", t.key, "error").left(31), picture);
            if (a) a->setEnabled(enabled);
        }
    }
    return menu;
}

void COnDialDlg::mousePressEvent(QMouseEvent* e) {
    if (e->button() != Qt::RightButton || !model_ || model_->callId == -1) return;
    if (closeKeypad) closeKeypad();
    const std::unique_ptr<TrelMenu> menu = BuildMenu(e->pos());
    if (!menu) return;
    // A call that ends while the menu is open closes the page: the menu closes with it, and nothing
    // of the page is touched afterwards.
    const QPointer<COnDialDlg> self(this);
    connect(this, &QObject::destroyed, menu.get(), &QMenu::close);
    QAction* chosen = menu->exec(e->globalPosition().toPoint());
    if (self && chosen) RunMenuCommand(chosen->data().toInt());
}

}  // namespace calls
