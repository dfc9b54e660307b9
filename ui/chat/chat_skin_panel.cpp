// CIMSkinPanel: the picture panes of a chat window, drawn on the skin's bar pictures or the window's own colours.
#include "ui/chat/chat_skin_panel.h"

#include <QApplication>
#include <QFileInfo>
#include <QMouseEvent>
#include <QPainter>
#include <QToolButton>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"

namespace chat {

namespace {
constexpr size_t kPathMax = 510;

// Without a "disable" file the picture itself stands in, loaded in black and white.
QImage Monochrome(const QImage& image) {
    return image.convertToFormat(QImage::Format_Mono, Qt::MonoOnly | Qt::ThresholdDither).convertToFormat(QImage::Format_RGB32);
}
}  // namespace

HeadPictureFiles LoadHeadPicture(const std::string& folder, const std::string& name) {
    HeadPictureFiles out;
    if (name.empty() || name.find('/') != std::string::npos || name.find('\\') != std::string::npos) return out;
    const std::string path = folder + "/" + name;
    if (path.size() > kPathMax) return out;
    out.colour = ctl::LoadBitmapFile(path);
    if (out.colour.isNull()) return out;
    const std::string greyPath = folder + "/disable" + name;
    if (greyPath.size() <= kPathMax) out.grey = ctl::LoadBitmapFile(greyPath);
    if (out.grey.isNull()) out.grey = Monochrome(out.colour);
    return out;
}

HeadPictureFiles LoadHeadPictureOrDefault(const std::string& folder, const std::string& name, const std::string& fallback) {
    HeadPictureFiles p = LoadHeadPicture(folder, name);
    return p.colour.isNull() ? LoadHeadPicture(folder, fallback) : p;
}

QIcon StateButtonIcon(const char* picture, const char* selected) {
    const QImage normal = ctl::LoadBitmapFile(shell::SkinFile(picture));
    if (normal.isNull()) return QIcon();
    QIcon icon;
    auto add = [&icon](const char* name, QIcon::Mode mode) {
        const QImage img = ctl::LoadBitmapFile(shell::SkinFile(name));
        if (!img.isNull()) icon.addPixmap(ctl::KeyedPixmap(img, RGB(255, 0, 255)), mode);
        const QImage grey = ctl::LoadBitmapFile(shell::SkinFile((std::string("disable") + name).c_str()));
        if (!grey.isNull() && mode == QIcon::Normal) icon.addPixmap(ctl::KeyedPixmap(grey, RGB(255, 0, 255)), QIcon::Disabled);
    };
    add(picture, QIcon::Normal);
    add(selected, QIcon::Active);
    return icon;
}

}  // namespace chat

namespace {
const QColor kRaisedFrame(0x44, 0x60, 0x97);  // 0x976044 as a COLORREF
const QColor kInner(0xEB, 0xF1, 0xFA);         // 0xFAF1EB
}  // namespace

CIMSkinPanel::CIMSkinPanel(Kind kind, QWidget* owner) : QWidget(owner), kind_(kind), owner_(owner) {
    setObjectName(kind == Peer ? "peerPanel" : "ownPanel");
    setMinimumWidth(kWidth);
    setMaximumWidth(kWidth);
    arrowButton_ = new QToolButton(this);
    arrowButton_->setObjectName("panelArrow");
    arrowButton_->setAutoRaise(true);
    arrowButton_->setStyleSheet("QToolButton { padding: 0; border: none; background: transparent; }");
    arrowButton_->setFixedSize(kStrip, 22);
    arrowButton_->setCursor(ctl::ResourceCursor(ctl::kHandCursor).value_or(QCursor(Qt::PointingHandCursor)));
    connect(arrowButton_, &QToolButton::clicked, this, [this] { emit stateClicked(); });
    LoadSkin();
    OnLanguageChanged();
    SetCollapsed(false);
}

void CIMSkinPanel::LoadSkin() {
    background_ = ctl::LoadBitmapFile(shell::SkinFile(kind_ == Peer ? "im_top.bmp" : "im_bottom.bmp"));
    arrow_ = ctl::LoadBitmapFile(shell::SkinFile("im_arrow.bmp"));
}

void CIMSkinPanel::SetPictureName(const std::string& name) {
    pictureName_ = name;
    ReloadPicture();
}

void CIMSkinPanel::ReloadPicture() {
    const shell::ShellPaths& p = shell::Paths();
    picture_ = chat::LoadHeadPictureOrDefault(p.headPicFolder, pictureName_, p.defaultHeadPic);
    LoadSkin();
    update();
}

void CIMSkinPanel::SetOnline(bool online) {
    if (online_ == online) return;
    online_ = online;
    update();
}

void CIMSkinPanel::SetTexts(const QString& name, const QString& state) {
    name_ = name;
    state_ = state;
    update();
}

void CIMSkinPanel::SetCollapsed(bool collapsed) {
    collapsed_ = collapsed;
    const int w = collapsed ? kStrip + 2 : kWidth;
    setMinimumWidth(w);
    setMaximumWidth(w);
    // The arrow points the way the pane will move: the skin's arrow, else a drawn one.
    if (!arrow_.isNull()) {
        QIcon icon(ctl::KeyedPixmap(collapsed ? arrow_.mirrored(true, false) : arrow_, RGB(255, 0, 255)));
        const QImage grey = ctl::LoadBitmapFile(shell::SkinFile("disableim_arrow.bmp"));
        if (!grey.isNull()) icon.addPixmap(ctl::KeyedPixmap(collapsed ? grey.mirrored(true, false) : grey, RGB(255, 0, 255)), QIcon::Disabled);
        arrowButton_->setIcon(icon);
    } else {
        QPixmap pm(8, 10);
        pm.fill(Qt::transparent);
        QPainter p(&pm);
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(palette().color(QPalette::ButtonText));
        const QPolygonF right{{1, 0}, {7, 5}, {1, 10}}, left{{7, 0}, {1, 5}, {7, 10}};
        p.drawPolygon(collapsed ? left : right);
        p.end();
        arrowButton_->setIcon(QIcon(pm));
    }
    arrowButton_->setIconSize(QSize(8, 10));
    resizeEvent(nullptr);
    update();
}

void CIMSkinPanel::OnLanguageChanged() {
    arrowButton_->setToolTip(shell::LangText("im_tooltip", "im_button", "隐藏或显示当前窗口"));
    setToolTip(collapsed_ ? QString() : shell::LangText("im_tooltip", "im_popupmenu", "单击此处查看选项"));
}

QRect CIMSkinPanel::PictureRect() const {
    const int top = kind_ == Peer ? 18 : 12;
    return QRect((width() - kPicture) / 2, top, kPicture, kPicture);
}

QImage CIMSkinPanel::ShownPicture() const {
    const QImage& img = online_ ? picture_.colour : picture_.grey;
    return img.isNull() ? img : img.scaled(kPicture, kPicture, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void CIMSkinPanel::resizeEvent(QResizeEvent*) {
    arrowButton_->move(collapsed_ ? 1 : width() - kStrip - 3, 3);
}

void CIMSkinPanel::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRect r = rect().adjusted(0, 0, -1, -1);
    if (!background_.isNull()) {
        // The bar's picture: a 6-pixel left cap, a 6-pixel right cap taken from 8 pixels into the picture,
        // and the middle column between them stretched over the rest.
        const QPixmap bar = ctl::KeyedPixmap(background_, RGB(255, 0, 255));
        const int h = height(), bh = bar.height();
        p.drawPixmap(QRect(0, 0, 6, h), bar, QRect(0, 0, 6, bh));
        p.drawPixmap(QRect(6, 0, std::max(0, width() - 12), h), bar, QRect(6, 0, 2, bh));
        p.drawPixmap(QRect(width() - 6, 0, 6, h), bar, QRect(8, 0, 6, bh));
    } else {
        // No skin picture: the raised frame and the inner fill of the bar's own colours.
        p.setRenderHint(QPainter::Antialiasing, false);
        p.setPen(QPen(kRaisedFrame, 1));
        p.setBrush(kInner);
        p.drawRect(r);
        p.setRenderHint(QPainter::Antialiasing);
    }
    if (collapsed_) return;
    const QRect pic = PictureRect();
    const QImage img = ShownPicture();
    // The picture on the window colour in a frame of the button shadow.
    p.setRenderHint(QPainter::Antialiasing, false);
    p.setPen(QPen(palette().color(QPalette::Dark), 1));
    p.setBrush(palette().color(QPalette::Base));
    p.drawRect(pic.adjusted(-4, -4, 3, 3));
    if (!img.isNull()) p.drawPixmap(pic, ctl::KeyedPixmap(img, RGB(255, 255, 255)));
    QFont f = font();
    int y = pic.bottom() + 12;
    if (!name_.isEmpty()) {
        f.setBold(true);
        p.setFont(f);
        p.setPen(palette().color(QPalette::WindowText));
        const QRect nameRect(6, y, width() - 12, 18);
        p.drawText(nameRect, Qt::AlignHCenter | Qt::AlignVCenter, p.fontMetrics().elidedText(name_, Qt::ElideRight, nameRect.width()));
        y += 18;
    }
    if (!state_.isEmpty()) {
        f.setBold(false);
        p.setFont(f);
        p.setPen(palette().color(QPalette::WindowText));
        const QRect stateRect(6, y, width() - 12, 18);
        p.drawText(stateRect, Qt::AlignHCenter | Qt::AlignVCenter, p.fontMetrics().elidedText(state_, Qt::ElideRight, stateRect.width()));
    }
}

void CIMSkinPanel::mousePressEvent(QMouseEvent* e) {
    if (collapsed_) {
        if (e->button() == Qt::LeftButton) emit stateClicked();
        return;
    }
    // A click on the picture asks the window for the picture menu (0x81F): wParam 0 the peer's, 1 the own;
    // lParam the point in the window's client area, x in the high word.
    if (PictureRect().adjusted(-4, -4, 4, 4).contains(e->position().toPoint()) && owner_) {
        const QPoint at = mapTo(window(), e->position().toPoint());
        WindowMessageEvent m(0x81F, kind_ == Peer ? 0 : 1, static_cast<LPARAM>((at.x() << 16) | (at.y() & 0xFFFF)));
        QApplication::sendEvent(window(), &m);
        return;
    }
    QWidget::mousePressEvent(e);
}
