// The chat window's history view: headers, message bodies, notices, voice lines and clicks on links.
#include "ui/chat/chat_window.h"

#include <QApplication>
#include <QRegularExpression>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocument>
#include <QTimer>
#include <QUrl>
#include <set>

#include "service/presence_core.h"
#include "ui/chat/chat_art.h"
#include "ui/controls/chat_text.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/skin.h"
#include "ui/controls/statics.h"
#include "ui/shell/shell_config.h"

#include "ui/chat/chat_window_internal.h"

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;
using namespace chatwin;

namespace {

// Plain text at the cursor with its web and mail addresses as links; line ends stay inside the body's
// paragraph.
void InsertLinked(QTextCursor& c, QString text, const QTextCharFormat& body, QTextCharFormat link) {
    text.replace("\r\n", QString(QChar::LineSeparator)).replace('\n', QChar::LineSeparator).replace('\r', QChar::LineSeparator);
    qsizetype last = 0;
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const QRegularExpressionMatch m = it.next();
        if (m.capturedStart() > last) c.insertText(text.mid(last, m.capturedStart() - last), body);
        link.setAnchorHref(m.captured());
        c.insertText(m.captured(), link);
        last = m.capturedEnd();
    }
    if (last < text.size()) c.insertText(text.mid(last), body);
}

}  // namespace

void CIMDlg::EndLine() {
    history_->moveCursor(QTextCursor::End);
    history_->verticalScrollBar()->setValue(history_->verticalScrollBar()->maximum());
}

void CIMDlg::ViewHeader(const std::string& sender, const std::string& receiver, int64_t time, bool priv) {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    const bool own = sender == ownName_;
    const QString colour = own ? "#0000a0" : "#008000";
    // "name 对 receiver 说(Privacy): (time)": the name in its colour, the rest in the header's grey.
    QString html = QString("<span style=\"color:%1;\">%2</span>").arg(colour, Escape(FromAnsi(sender)));
    QString rest;
    if (!receiver.empty()) {
        const QString say = ChatText("im_dlg", "im_privacy2", "说");
        rest += " " + ChatText("im_dlg", "im_privacy1", "对") + " " + FromAnsi(receiver) + (say.isEmpty() ? QString() : " " + say);
        if (priv) rest += ChatText("im_dlg", "im_privacy", "(Privacy)");
    }
    rest += ": " + TimeText(time);
    html += QString("<span style=\"color:#808080;\">%1</span>").arg(Escape(rest));
    if (!history_->document()->isEmpty()) c.insertBlock();
    QTextBlockFormat block;
    block.setTopMargin(history_->document()->isEmpty() ? 0 : 8);
    c.setBlockFormat(block);
    c.insertHtml(html);
    EndLine();
}

void CIMDlg::AppendBody(const QString& text) {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    // Written piece by piece in one edit, so the history lays the body out once; going through HTML took
    // time growing with the square of the pictures.
    c.beginEditBlock();
    c.insertBlock();
    QTextBlockFormat block;
    block.setLeftMargin(kBodyIndent);
    c.setBlockFormat(block);
    const QTextCharFormat body = BodyFormat(inputFormat_);
    QTextCharFormat link = body;
    link.setForeground(history_->palette().link());
    link.setFontUnderline(true);
    link.setAnchor(true);
    // Emoticon codes become pictures; everything else is text with its links.
    std::set<int> pictures;
    const std::u16string_view view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size()));
    for (const chat::TextPiece& piece : chat::SplitEmoticons(view)) {
        if (piece.emoticon < 0) {
            InsertLinked(c, text.mid(static_cast<qsizetype>(piece.start), static_cast<qsizetype>(piece.length)), body, link);
            continue;
        }
        const QString name = QString("emoticon:%1").arg(piece.emoticon);
        if (pictures.insert(piece.emoticon).second)
            history_->document()->addResource(QTextDocument::ImageResource, QUrl(name), chat::EmoticonImage(piece.emoticon, 22));
        QTextImageFormat picture;
        picture.merge(body);
        picture.setName(name);
        picture.setWidth(22);
        picture.setHeight(22);
        c.insertImage(picture);
    }
    c.endEditBlock();
    EndLine();
}

void CIMDlg::ViewBody(const std::string& text) {
    const QString body = FromAnsi(text).trimmed();
    if (!body.isEmpty()) AppendBody(body);
}

void CIMDlg::ViewLine(const std::string& text) { AppendBody(FromAnsi(text)); }

QTextCharFormat CIMDlg::NoticeFormat() const {
    // The input's format made bold, 300 twips (15 points) taller than it.
    QTextCharFormat f = BodyFormat(inputFormat_);
    const double size = f.fontPointSize() > 0 ? f.fontPointSize() : QFontInfo(history_->font()).pointSizeF();
    f.setFontPointSize(size + 15);
    f.setFontWeight(QFont::Bold);
    return f;
}

void CIMDlg::ViewNoticeHeader(int64_t time) {
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    c.insertText(ChatText("im_dlg", "im_systip", "System tip") + " : " + TimeText(time), NoticeFormat());
    EndLine();
}

void CIMDlg::ViewSystemNotice(const std::string& text, int64_t time, bool headed) {
    if (text.empty()) return;
    // "System tip : (time)", and the notice on the next line.
    if (!headed) ViewNoticeHeader(time);
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat body;
    body.setLeftMargin(kBodyIndent);
    c.setBlockFormat(body);
    c.insertText(FromAnsi(text), NoticeFormat());
    EndLine();
}

void CIMDlg::SystemNotice(const std::string& text) {
    // The warning picture, the "not sent" header, and the notice as a message body.
    QTextCursor c = NewHistoryLine();
    c.insertHtml(QString("<a href=\"notice:\">%1</a> <span style=\"color:#808080;\">%2</span>")
                     .arg(HistoryPicture(202), Escape(ChatText("im_dlg", "im_warn", "以下消息未被发送"))));
    AppendBody(FromAnsi(text).trimmed());
    EndLine();
    if (!isActiveWindow()) QApplication::alert(this);
}

QString CIMDlg::HistoryPicture(int id) {
    // The program's picture by number, registered with the history once; "" when it cannot be read.
    const QString name = QString("res:%1").arg(id);
    if (!history_->document()->resource(QTextDocument::ImageResource, QUrl(name)).isValid()) {
        const QImage picture = ctl::LoadBitmapFile(ctl::ResourcePath(id));
        if (picture.isNull()) return {};
        history_->document()->addResource(QTextDocument::ImageResource, QUrl(name), picture);
    }
    return QString("<img src=\"%1\">").arg(name);
}

// A cursor at the history's end, on a line of its own.
QTextCursor CIMDlg::NewHistoryLine() {
    QTextCursor c(history_->document());
    c.movePosition(QTextCursor::End);
    if (!history_->document()->isEmpty()) c.insertBlock();
    return c;
}

void CIMDlg::ViewHeaderLine(const std::string& text) {
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    c.insertHtml(QString("<span style=\"color:#808080;\">%1</span>").arg(Escape(FromAnsi(text))));
    EndLine();
}

void CIMDlg::ViewOffline() {
    QTextCursor c = NewHistoryLine();
    c.insertHtml(QString("%1 <span style=\"color:#808080;\">%2</span>")
                     .arg(HistoryPicture(208), Escape(ChatText("im_dlg", "im_offline", "您已经下线，请重新登陆"))));
    EndLine();
}

void CIMDlg::ViewSessionTimeout(const std::string& text) {
    // Indented as a message body, in the input's format; no header and no time.
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setLeftMargin(kBodyIndent);
    c.setBlockFormat(block);
    c.insertText(FromAnsi(text), BodyFormat(inputFormat_));
    EndLine();
}

void CIMDlg::ViewVoice(VoiceMessageEntry* entry, const std::string& line) {
    QTextCursor c = NewHistoryLine();
    QTextBlockFormat block;
    block.setTopMargin(8);
    c.setBlockFormat(block);
    entry->first = c.position();
    c.insertHtml(QString("<a href=\"voice:%1\">%2</a>").arg(entry->id).arg(HistoryPicture(201)));
    entry->last = c.position();
    // The line as it is made, its blanks kept; a line end inside a name would break it.
    QString text = FromAnsi(line);
    text.replace(QRegularExpression("[\r\n\t]"), " ");
    if (!text.isEmpty()) c.insertHtml(QString("&nbsp;<span style=\"color:#808080;white-space:pre;\">%1</span>").arg(Escape(text)));
    EndLine();
}

void CIMDlg::PlayVoice(int messageId) {
    if (PresenceConnectionRec* c = Connection()) presence_serv_play_message(c, messageId);
}

QString CIMDlg::HistoryText() const { return history_->toPlainText(); }

void CIMDlg::OnHistoryClick(const QString& anchor) {
    if (anchor.startsWith("agree:") || anchor.startsWith("reject:")) {
        const int n = anchor.section(':', 1).toInt();
        if (n < 0 || n >= static_cast<int>(invitationsAnswered_.size()) || invitationsAnswered_[n]) return;
        // An answer that did not go out says so and leaves the invitation open to be answered again.
        const bool agree = anchor.startsWith("agree:");
        if (agree && AcceptInvitation() != 0) {
            ViewNotice(Text("im_warn", "以下消息未被发送"));
            return;
        }
        invitationsAnswered_[n] = true;
        // Both answers leave the text once one is taken; later ranges move up by what was cut.
        const auto [from, to] = invitationLinks_[static_cast<size_t>(n)];
        QTextCursor c(history_->document());
        c.setPosition(from);
        c.setPosition(std::min(to, history_->document()->characterCount() - 1), QTextCursor::KeepAnchor);
        c.removeSelectedText();
        const int cut = to - from;
        for (auto& r : invitationLinks_)
            if (r.first >= to) r = {r.first - cut, r.second - cut};
        for (auto& e : m_voiceMsgs)
            if (e.first >= to) e.first -= cut, e.last -= cut;
        if (!agree) QTimer::singleShot(0, this, [this] { close(); });
        return;
    }
    if (anchor.startsWith("voice:")) {
        int id = anchor.mid(6).toInt();
        for (const auto& e : m_voiceMsgs)
            if (e.id == id && e.count >= 2) PlayVoice(id);
        return;
    }
    if (anchor.startsWith("notice:")) return;
    chat::ModalScope scope(this);
    chat::ConfirmAndOpenLink(this, anchor);
}
