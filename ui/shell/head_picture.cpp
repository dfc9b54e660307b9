// CHeadPicDlg: chooses the user's head picture from the head-picture folder and asks the access
// server to use it.
#include "ui/shell/head_picture.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPainter>
#include <QPushButton>
#include <QStyledItemDelegate>
#include <QVBoxLayout>

#include "common/debug.h"
#include "service/as_client.h"
#include "service/as_commands.h"
#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"

using shell::LangText;

HeadPicRowColours HeadPicRowColoursFor(bool selected, bool listFocused) {
    if (!selected) return {QPalette::Base, QPalette::ButtonText};
    if (listFocused) return {QPalette::Highlight, QPalette::HighlightedText};
    return {QPalette::Button, QPalette::ButtonText};
}

namespace {
// Draws each row itself: the picture in its icon place, the label's place filled with the row's colours,
// the text 3 pixels right and 1 down, and a focus frame around the label while the list has the focus.
class HeadPicRowDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;
    void paint(QPainter* p, const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* view = opt.widget;
        QStyle* style = view ? view->style() : QApplication::style();
        const QRect iconRect = style->subElementRect(QStyle::SE_ItemViewItemDecoration, &opt, view);
        const QRect labelRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, view);
        const bool listFocused = view && view->hasFocus();
        const HeadPicRowColours c = HeadPicRowColoursFor(opt.state & QStyle::State_Selected, listFocused);
        p->save();
        opt.icon.paint(p, iconRect, Qt::AlignCenter);
        p->fillRect(labelRect, opt.palette.color(QPalette::Active, c.background));
        p->setPen(opt.palette.color(QPalette::Active, c.text));
        p->drawText(labelRect.translated(3, 1), Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine, opt.text);
        if (listFocused && (opt.state & QStyle::State_HasFocus)) {
            QStyleOptionFocusRect focus;
            focus.QStyleOption::operator=(opt);
            focus.rect = labelRect;
            focus.backgroundColor = opt.palette.color(QPalette::Active, c.background);
            style->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, p, view);
        }
        p->restore();
    }
};
}  // namespace

std::vector<HeadPicEntry> ListHeadPictures(const std::string& folder) {
    std::vector<HeadPicEntry> out;
    const QDir dir(QString::fromStdString(folder));
    // In the order the folder gives its files.
    for (const QString& name : dir.entryList({"*.bmp"}, QDir::Files, QDir::Unsorted)) {
        const int at = name.indexOf(".bmp");
        if (at < 0) continue;
        const QByteArray key = name.left(at).toUtf8();
        const QString text = LangText("heads_pic", key.constData(), "");
        if (text.isEmpty()) continue;
        // Only a plain name goes to the server.
        const std::string file = name.toStdString();
        if (shell::SafeNameComponent(file) != file) continue;
        out.push_back({file, text});
    }
    return out;
}

CHeadPicDlg::CHeadPicDlg(const QString& current, QWidget* parent) : QDialog(parent) {
    setObjectName("headPicDlg");
    setWindowTitle(LangText("heads_pic", "title", ""));
    auto* v = new QVBoxLayout(this);
    v->setContentsMargins(16, 14, 16, 12);
    v->setSpacing(8);
    label_ = new QLabel(LangText("heads_pic", "choose_pic", ""), this);
    v->addWidget(label_);
    auto* h = new QHBoxLayout;
    h->setSpacing(14);
    list_ = new QListWidget(this);
    list_->setObjectName("headPicList");
    list_->setViewMode(QListView::ListMode);
    list_->setIconSize(QSize(32, 32));
    list_->setSelectionMode(QAbstractItemView::SingleSelection);
    list_->setSpacing(1);
    list_->setMinimumSize(200, 260);
    list_->setItemDelegate(new HeadPicRowDelegate(list_));
    h->addWidget(list_, 1);
    auto* side = new QVBoxLayout;
    previewLabel_ = new QLabel(LangText("heads_pic", "preview", ""), this);
    preview_ = new QLabel(this);
    preview_->setObjectName("headPicPreview");
    preview_->setFixedSize(76, 76);
    preview_->setAlignment(Qt::AlignCenter);
    preview_->setFrameShape(QFrame::Panel);
    preview_->setFrameShadow(QFrame::Sunken);
    preview_->hide();
    side->addWidget(previewLabel_);
    side->addWidget(preview_);
    side->addStretch();
    h->addLayout(side);
    v->addLayout(h, 1);
    auto* box = new QDialogButtonBox(this);
    ok_ = box->addButton(LangText("heads_pic", "ok", ""), QDialogButtonBox::AcceptRole);
    cancel_ = box->addButton(LangText("heads_pic", "cancel", ""), QDialogButtonBox::RejectRole);
    connect(box, &QDialogButtonBox::accepted, this, &CHeadPicDlg::OnOK);
    connect(box, &QDialogButtonBox::rejected, this, &QDialog::reject);
    v->addWidget(box);

    sendPicture = [](const std::string& file) {
        AS_SendCommand(AS_REL, nullptr, nullptr, 0, file.c_str(), nullptr, 0);
    };
    const std::string folder = shell::Paths().headPicFolder;
    for (const HeadPicEntry& e : ListHeadPictures(folder)) {
        const QImage img = ctl::LoadBitmapFile(QString::fromStdString(folder + "/" + e.file));
        if (img.isNull()) continue;
        auto* item = new QListWidgetItem(QIcon(ctl::KeyedPixmap(img.scaled(32, 32), RGB(255, 0, 255))), e.text, list_);
        item->setData(Qt::UserRole, QString::fromStdString(e.file));
        if (QString::fromStdString(e.file) == current) ShowPreview(QString::fromStdString(e.file));
    }
    connect(list_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item && item->isSelected()) ShowPreview(item->data(Qt::UserRole).toString());
    });
    connect(list_, &QListWidget::itemSelectionChanged, this, [this] {
        const auto items = list_->selectedItems();
        if (!items.isEmpty()) ShowPreview(items.first()->data(Qt::UserRole).toString());
    });
}

void CHeadPicDlg::ShowPreview(const QString& file) {
    const QImage img = ctl::LoadBitmapFile(QString::fromStdString(shell::Paths().headPicFolder) + "/" + file);
    if (img.isNull()) return;
    preview_->setPixmap(ctl::KeyedPixmap(img.scaled(64, 64, Qt::IgnoreAspectRatio, Qt::SmoothTransformation),
                                         RGB(255, 255, 255)));
    preview_->show();
}

void CHeadPicDlg::OnOK() {
    const auto items = list_->selectedItems();
    if (!items.isEmpty()) sendPicture(items.first()->data(Qt::UserRole).toString().toStdString());
    accept();
}

void CHeadPicDlg::OnLanguageChanged() {
    setWindowTitle(LangText("heads_pic", "title", "Choose head"));
    label_->setText(LangText("heads_pic", "choose_pic", "choose head"));
    previewLabel_->setText(LangText("heads_pic", "preview", "Preview"));
    ok_->setText(LangText("heads_pic", "ok", "OK"));
    cancel_->setText(LangText("heads_pic", "cancel", "Cancel"));
    for (int i = 0; i < list_->count(); ++i) {
        const QString key = i < 10 ? QString("0%1").arg(i) : QString::number(i);
        list_->item(i)->setText(LangText("heads_pic", key.toUtf8().constData(), std::to_string(i).c_str()));
    }
}
