// The chat window's sending side: the input box (emoticons, pastes, the length limit, links), Send,
// press-to-talk and the input font.
#include "ui/chat/chat_window.h"

#include <QTextBlock>
#include <QTextCursor>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>

#include "service/presence_core.h"
#include "ui/chat/chat_art.h"
#include "ui/chat/chat_emoticon_popup.h"
#include "ui/controls/chat_text.h"
#include "ui/controls/rich_edit.h"
#include "ui/controls/shaped_button.h"
#include "ui/controls/skin_toolbar.h"
#include "ui/shell/capture_probe.h"

#include "ui/chat/chat_window_internal.h"

using chat::ChatText;
using chat::FromAnsi;
using chat::ToAnsi;
using namespace chatwin;

namespace {
std::function<int()> g_captureProbe;
}  // namespace

RecipientChoice CIMDlg::ViewRecipientChoice() const {
    RecipientChoice c;
    if (m_chatType == CHAT_ONE || recipient_->currentIndex() < 0) return c;
    c.selected = true;
    c.userId = recipient_->currentData().toInt();
    c.entryText = ToAnsi(recipient_->currentText());
    return c;
}

void CIMDlg::ViewFocusInput() {
    if (isActiveWindow()) input_->setFocus();
}

void CIMDlg::OnSend() {
    // Signed in but no account to send with: only the selection goes.
    const bool noAccount = m_bOnline && !m_pAccount;
    std::string text = input_->GetTextWithImageCodes(false, nullptr);
    SendOutcome outcome = SendText(text);
    // A busy lock or nobody to address keeps the typed text (it went nowhere and is shown nowhere);
    // everything else empties the box.
    if (noAccount) input_->textCursor().removeSelectedText();
    else if (outcome != SendOutcome::Busy && outcome != SendOutcome::NoRecipient) input_->clear();
    input_->document()->clearUndoRedoStacks();
    input_->setFocus();
}

void CIMDlg::SetCaptureProbe(std::function<int()> probe) { g_captureProbe = std::move(probe); }

void CIMDlg::OnPttPress() {
    const int code = g_captureProbe ? g_captureProbe() : shell::HasWaveInDevice();
    PttPress(code, GetTickCount());
    // Removed from the room: what was typed goes too.
    if (code == 0 && m_pAccount && m_bKicked) input_->clear();
}

void CIMDlg::OnPttRelease() {
    uint32_t wait = 0;
    if (!PttRelease(GetTickCount(), &wait) || !m_pAccount) return;
    if (m_bKicked) {
        input_->clear();  // removed from the room: what was typed goes too
        return;
    }
    ptt_->setEnabled(false);
    // The recording lasts at least half a second; the button comes back a second after the stop.
    pttStopTimer_.start(static_cast<int>(wait));
}

void CIMDlg::StopVoiceRecording() {
    if (PresenceConnectionRec* c = Connection()) presence_serv_stop_audio(c);
}

void CIMDlg::InsertEmoticon(int index) {
    const auto& table = chat::EmoticonTable();
    if (index < 0 || index >= static_cast<int>(table.size())) return;
    // The new length: the input's characters, less the selection it replaces, plus the code.
    int selected = 0;
    if (input_->textCursor().hasSelection()) {
        const std::string sel = input_->GetTextWithImageCodes(true, nullptr);
        selected = ctl::CountUnits(sel) / 2;
    }
    const int units = input_->CountTextUnits(nullptr, nullptr);
    if (units - selected + static_cast<int>(table[index].code.size()) > ctl::kChatCharLimit) return;
    input_->InsertImage(chat::EmoticonImage(index, 22), table[index].code);
    input_->setFocus();
}

int CIMDlg::InsertEmoticonImages(int start, int length, int* removed) {
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    int made = 0, taken = 0;
    QTextCursor c(input_->document());
    QString all = input_->toPlainText();
    int end = std::min<int>(all.size(), start + length);
    for (int i = std::max(0, start); i < end;) {
        int len = 0;
        int index = chat::EmoticonAt(all, i, &len);
        if (index < 0 || i + len > end) {
            ++i;
            continue;
        }
        c.setPosition(i);
        c.setPosition(i + len, QTextCursor::KeepAnchor);
        const QTextCharFormat keep = c.charFormat();
        c.removeSelectedText();
        input_->setTextCursor(c);
        input_->InsertImage(chat::EmoticonImage(index, 22), chat::EmoticonTable()[index].code);
        input_->setCurrentCharFormat(keep);
        all = input_->toPlainText();
        end -= len - 1;
        taken += len - 1;
        ++i;
        ++made;
    }
    if (removed) *removed = taken;
    input_->SetNotifyMask(mask);
    return made > 0 ? 0 : 1;
}

LRESULT CIMDlg::OnPasteText(const char* text) {
    if (!text) return 0;
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    QTextCursor c = input_->textCursor();
    const int start = c.selectionStart();
    const QString pasted = FromAnsi(text);
    c.insertText(pasted);
    input_->setTextCursor(c);
    InsertEmoticonImages(start, static_cast<int>(pasted.size()));
    input_->ClearPastePosition();
    input_->SetNotifyMask(mask);
    MarkInputLinks();
    return 0;
}

void CIMDlg::OnInputChange() {
    if (inInputChange_) return;
    inInputChange_ = true;
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    // Codes typed or pasted next to the caret become pictures: 8 characters either side.
    QTextCursor caret = input_->textCursor();
    const int size = input_->document()->characterCount() - 1;
    if (!caret.hasSelection()) {
        const int paste = input_->PastePosition();
        const int from = std::max(0, (paste >= 0 ? std::min(paste, caret.position()) : caret.position()) - 8);
        const int to = std::min(size, caret.position() + 8);
        const int before = input_->document()->characterCount();
        InsertEmoticonImages(from, to - from);
        const int shrunk = before - input_->document()->characterCount();
        QTextCursor c(input_->document());
        c.setPosition(std::clamp(caret.position() - shrunk, 0, input_->document()->characterCount() - 1));
        if (shrunk > 0) input_->setTextCursor(c);
    }
    input_->ClearPastePosition();
    // Nothing passes 275 characters (a picture counts as its code).
    if (input_->CountTextUnits(nullptr, nullptr) > ctl::kChatCharLimit) {
        int units = 0, cutAt = -1;
        for (QTextBlock b = input_->document()->begin(); b.isValid() && cutAt < 0; b = b.next()) {
            for (auto it = b.begin(); !it.atEnd() && cutAt < 0; ++it) {
                const QTextFragment f = it.fragment();
                const QByteArray code = f.charFormat().isImageFormat() ? f.charFormat().property(CChatRichEdit::kImageCodeProperty).toByteArray()
                                                                       : QByteArray();
                const QString t = f.text();
                for (int k = 0; k < t.size(); ++k) {
                    const int u = f.charFormat().isImageFormat() ? ctl::CountUnits(code.toStdString())
                                                                 : ctl::CountUnits(ToAnsi(QString(t[k])));
                    if (units + u > ctl::kChatUnitLimit) {
                        cutAt = f.position() + k;
                        break;
                    }
                    units += u;
                }
            }
            if (cutAt < 0 && b.next().isValid()) units += 2;  // the line break
            if (cutAt < 0 && units >= ctl::kChatUnitLimit && b.next().isValid()) cutAt = b.next().position() - 1;
        }
        if (cutAt >= 0) {
            const QTextCursor keep = input_->textCursor();
            QTextCursor c(input_->document());
            c.setPosition(cutAt);
            c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
            c.removeSelectedText();
            QTextCursor back(input_->document());
            const int last = input_->document()->characterCount() - 1;
            back.setPosition(std::min(keep.anchor(), last));
            back.setPosition(std::min(keep.position(), last), QTextCursor::KeepAnchor);
            input_->setTextCursor(back);
        }
    }
    // The box takes no more than what is left beside its pictures.
    int pictures = 0;
    for (QTextBlock b = input_->document()->begin(); b.isValid(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it)
            if (it.fragment().charFormat().isImageFormat()) pictures += it.fragment().length();
    input_->SetTextLimit(ctl::kChatCharLimit - pictures);
    MarkInputLinks();
    input_->SetNotifyMask(mask);
    inInputChange_ = false;
}

void CIMDlg::OpenEmoticonPicker() {
    CEmoticonPopup::OpenBelow(this, format_->Button(ID_EMOTICONS), 1);
}

void CIMDlg::MarkInputLinks() {
    // Addresses in the input box read as links (the text itself is left as typed).
    QList<QTextEdit::ExtraSelection> marks;
    const QString text = input_->toPlainText();
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        QTextEdit::ExtraSelection sel;
        sel.cursor = QTextCursor(input_->document());
        sel.cursor.setPosition(static_cast<int>(m.capturedStart()));
        sel.cursor.setPosition(static_cast<int>(m.capturedEnd()), QTextCursor::KeepAnchor);
        sel.format.setForeground(input_->palette().link());
        sel.format.setFontUnderline(true);
        marks << sel;
    }
    input_->setExtraSelections(marks);
}

void CIMDlg::OnInputClick(const QPoint& at) {
    const int pos = input_->cursorForPosition(at).position();
    const QString text = input_->toPlainText();
    auto it = LinkPattern().globalMatch(text);
    while (it.hasNext()) {
        const auto m = it.next();
        if (pos >= m.capturedStart() && pos < m.capturedEnd()) {
            chat::OpenLink(this, m.captured(), false);
            return;
        }
    }
}

void CIMDlg::ApplyInputFont(const QFont& font, const QColor& color) {
    QTextCharFormat f;
    f.setFont(font);
    if (color.isValid()) f.setForeground(color);
    inputFormat_ = f;
    // The whole input box takes it; the selection stays where it was.
    const unsigned mask = input_->NotifyMask();
    input_->SetNotifyMask(mask & ~ENM_CHANGE);
    const QTextCursor keep = input_->textCursor();
    QTextCursor all(input_->document());
    all.select(QTextCursor::Document);
    all.mergeCharFormat(f);
    input_->setTextCursor(keep);
    input_->setCurrentCharFormat(f);
    input_->SetNotifyMask(mask);
}

bool CIMDlg::InputSelectionMixesStyles() const {
    const QTextCursor sel = input_->textCursor();
    if (!sel.hasSelection()) return false;
    int bold = -1, italic = -1;
    for (QTextBlock b = input_->document()->findBlock(sel.selectionStart()); b.isValid() && b.position() < sel.selectionEnd(); b = b.next())
        for (auto it = b.begin(); !it.atEnd(); ++it) {
            const QTextFragment f = it.fragment();
            if (f.position() + f.length() <= sel.selectionStart() || f.position() >= sel.selectionEnd()) continue;
            const int fb = f.charFormat().fontWeight() >= QFont::Bold ? 1 : 0, fi = f.charFormat().fontItalic() ? 1 : 0;
            if ((bold >= 0 && fb != bold) || (italic >= 0 && fi != italic)) return true;
            bold = fb;
            italic = fi;
        }
    return false;
}

void CIMDlg::ChooseFont() {
    QFont font = inputFormat_.hasProperty(QTextFormat::FontFamilies) ? inputFormat_.font() : input_->currentFont();
    QColor colour = inputFormat_.foreground().style() != Qt::NoBrush ? inputFormat_.foreground().color() : QColor(Qt::black);
    chat::ModalScope scope(this);
    if (!chat::ChooseChatFont(this, &font, &colour, !InputSelectionMixesStyles()) || scope.Closed()) return;
    ApplyInputFont(font, colour);
    // The main window keeps it for the next chat window.
    chat::ChatFontSetting& app = chat::AppChatFont();
    app.font = font;
    app.colour = colour;
    app.chosen = true;
}
