// The record browser's view of one record.
#include "ui/chat/chat_record_view.h"

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QTextCursor>
#include <QTextDocument>

#include <algorithm>
#include <utility>

#include "common/account.h"
#include "service/presence_core.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_window.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"

namespace {
std::function<void(int)> g_play;
QString T(const char* key, const char* english) { return chat::ChatText("chatrecord_dlg", key, english); }
}  // namespace

void CChatRecordView::SetPlayHook(std::function<void(int)> hook) { g_play = std::move(hook); }

void CChatRecordView::Play(int number) {
    if (number < 1) return;
    if (g_play) {
        g_play(number);
        return;
    }
    Account* account = Account_FindByType(ACCOUNT_TYPE_SERVICE);
    if (account && account->connection) presence_serv_play_message(presence_rec(account->connection), number);
}

CChatRecordView::CChatRecordView(QWidget* parent) : QWidget(parent) {
    setObjectName("chatRecordView");
    senderLabel_ = new QLabel(this);
    receiversLabel_ = new QLabel(this);
    senderLabel_->setStyleSheet("font-weight: 700;");
    receiversLabel_->setStyleSheet("font-weight: 700;");
    sender_ = new QLabel(this);
    receivers_ = new QLabel(this);
    edit_ = new CChatRichEdit(this);
    edit_->setObjectName("recordView");
    edit_->setReadOnly(true);
    edit_->viewport()->installEventFilter(this);
    edit_->viewport()->setMouseTracking(true);
    OnLanguageChanged();
}

void CChatRecordView::resizeEvent(QResizeEvent*) {
    // The header row: label (51 pixels), sender (153), label (51), the receivers up to 3 pixels before
    // the right edge, none past it; the record below from y 26, one pixel wider on each side.
    const int top = 3, height = 20, limit = width() - 3;
    int x = 0;
    for (auto [label, w] : {std::pair<QLabel*, int>{senderLabel_, 51}, {sender_, 153}, {receiversLabel_, 51}}) {
        label->setGeometry(x, top, std::max(0, std::min(w, limit - x)), height);
        x += w;
    }
    receivers_->setGeometry(x, top, std::max(0, limit - x), height);
    edit_->setGeometry(-1, 26, width() + 2, std::max(0, this->height() - 25));
}

void CChatRecordView::paintEvent(QPaintEvent*) {
    // The header row is set off from the record by a two-colour line at 27 pixels: the button highlight
    // above, the button shadow below.
    QPainter p(this);
    const QPalette& pal = palette();
    p.setPen(pal.color(QPalette::Light));
    p.drawLine(0, 27, width() - 1, 27);
    p.drawLine(0, 27, 0, 28);
    p.setPen(pal.color(QPalette::Dark));
    p.drawLine(1, 28, width() - 1, 28);
    p.drawLine(width() - 1, 27, width() - 1, 28);
}

void CChatRecordView::OnLanguageChanged() {
    senderLabel_->setText(T("col_sender", "Sender") + ":");
    receiversLabel_->setText(T("col_recver", "Rever") + ":");
}

void CChatRecordView::SetHeader(const QString& sender, const QString& receivers) {
    sender_->setText(sender);
    receivers_->setText(receivers);
}

void CChatRecordView::Clear() {
    SetHeader(QString(), QString());
    ShowContent(-1, QString());
}

void CChatRecordView::ShowContent(int kind, const QString& text) {
    edit_->clear();
    voice_ = 0;
    QTextCursor c(edit_->document());
    if (kind == 1) {
        voice_ = text.toInt();
        // The voice picture (bitmap 201 of the program's pictures).
        edit_->document()->addResource(QTextDocument::ImageResource, QUrl("res:201"), ctl::LoadBitmapFile(ctl::ResourcePath(201)));
        c.insertHtml(QString("<br>&nbsp;&nbsp;<a href=\"voice:%1\"><img src=\"res:201\"></a>&nbsp;&nbsp;%2")
                         .arg(voice_)
                         .arg(T("oneptt", "A PTT message").toHtmlEscaped()));
        return;
    }
    if (kind != 0) return;
    // One edit for the whole record, so the view lays it out once rather than once per picture.
    c.beginEditBlock();
    const std::u16string_view view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
    for (const chat::TextPiece& piece : chat::SplitEmoticons(view)) {
        if (piece.emoticon < 0)
            c.insertText(text.mid(static_cast<qsizetype>(piece.start), static_cast<qsizetype>(piece.length)));
        else
            edit_->InsertImageAt(c, chat::EmoticonImage(piece.emoticon, 19), chat::EmoticonTable()[piece.emoticon].code,
                                 QString("emoticon:%1").arg(piece.emoticon));
    }
    c.endEditBlock();
}

bool CChatRecordView::eventFilter(QObject* watched, QEvent* e) {
    if (watched == edit_->viewport()) {
        if (e->type() == QEvent::MouseButtonPress && static_cast<QMouseEvent*>(e)->button() == Qt::LeftButton) {
            const QString anchor = edit_->anchorAt(static_cast<QMouseEvent*>(e)->position().toPoint());
            if (anchor.startsWith("voice:")) {
                Play(voice_);
                return true;
            }
        } else if (e->type() == QEvent::MouseMove) {
            const bool link = !edit_->anchorAt(static_cast<QMouseEvent*>(e)->position().toPoint()).isEmpty();
            edit_->viewport()->setCursor(link ? Qt::PointingHandCursor : Qt::IBeamCursor);
        }
    }
    return QWidget::eventFilter(watched, e);
}
