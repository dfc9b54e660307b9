// CFormatRichEdit and CChatRichEdit.
#include "ui/controls/rich_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMimeData>
#include <QPointer>
#include <QSaveFile>
#include <QTextBlock>
#include <QTextCursor>
#include <QTextDocumentFragment>
#include <QTextList>
#include <algorithm>
#include <cmath>
#include <map>
#include <optional>

#include "platform/codepage.h"
#include "ui/controls/chat_text.h"
#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

namespace {

constexpr int kProtectedProperty = QTextFormat::UserProperty + 1;
constexpr int kCodeProperty = CChatRichEdit::kImageCodeProperty;
std::function<void(const QString&)> g_messageHook;
std::map<int, QString> g_fileMessages;

bool HasBit(const QTextCharFormat& f, int bit) {
  switch (bit) {
    case 0: return f.fontWeight() >= QFont::Bold;
    case 1: return f.fontItalic();
    case 2: return f.fontUnderline();
    case 3: return f.fontStrikeOut();
    case 4: return f.boolProperty(kProtectedProperty);
    default: return f.isAnchor();
  }
}

// Calls f for the character format of every character of the selection (the cursor's format
// when nothing is selected).
template <typename F>
void ForEachFormat(const QTextCursor& c, F&& f) {
  if (!c.hasSelection()) {
    f(c.charFormat());
    return;
  }
  const int start = c.selectionStart(), end = c.selectionEnd();
  for (QTextBlock b = c.document()->findBlock(start); b.isValid() && b.position() < end; b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment frag = it.fragment();
      if (frag.position() + frag.length() <= start || frag.position() >= end) continue;
      f(frag.charFormat());
    }
  }
}

// --- A small RTF reader and writer: text, paragraphs and their alignment, bold, italic, underline,
// strike-out, font face, size and colour.

struct RtfState {
  bool bold = false, italic = false, underline = false, strike = false, protect = false;
  bool skip = false;
  int uc = 1;
  int font = -1;    // index into the font table; -1: the default
  int size = 0;     // half-points; 0: the default
  int colour = 0;   // index into the colour table; 0: automatic
  enum class Table { None, Fonts, Colours } table = Table::None;
};

void RtfRead(const std::string& rtf, QTextCursor& cursor) {
  std::vector<RtfState> stack{RtfState{}};
  std::string pendingBytes;  // \'hh bytes in the ANSI code page
  std::map<int, QString> fonts;
  int tableFont = -1;
  std::string fontName;
  std::vector<std::optional<QColor>> colours;
  int red = 0, green = 0, blue = 0;
  bool colourSet = false;
  Qt::Alignment align = Qt::AlignLeft;
  bool bullet = false;
  QTextList* list = nullptr;
  auto fmt = [&] {
    QTextCharFormat f;
    const RtfState& s = stack.back();
    f.setFontWeight(s.bold ? QFont::Bold : QFont::Normal);
    f.setFontItalic(s.italic);
    f.setFontUnderline(s.underline);
    f.setFontStrikeOut(s.strike);
    if (s.protect) f.setProperty(kProtectedProperty, true);
    if (const auto it = fonts.find(s.font); it != fonts.end() && !it->second.isEmpty()) f.setFontFamilies({it->second});
    if (s.size > 0) f.setFontPointSize(s.size / 2.0);
    if (s.colour > 0 && s.colour < static_cast<int>(colours.size()) && colours[s.colour]) f.setForeground(*colours[s.colour]);
    return f;
  };
  auto alignBlock = [&] {
    QTextBlockFormat bf = cursor.blockFormat();
    if ((bf.alignment() & Qt::AlignHorizontal_Mask) != align) {
      bf.setAlignment(align);
      cursor.setBlockFormat(bf);
    }
    // A bulleted paragraph joins the list of the bulleted one before it.
    const QTextBlock block = cursor.block();
    if (bullet && !block.textList()) {
      if (list && block.previous().isValid() && block.previous().textList() == list) {
        list->add(block);
      } else {
        QTextListFormat lf;
        lf.setStyle(QTextListFormat::ListDisc);
        lf.setIndent(1);
        list = cursor.createList(lf);
      }
    } else if (!bullet && block.textList()) {
      block.textList()->remove(block);
      QTextBlockFormat plain = cursor.blockFormat();
      plain.setIndent(0);
      cursor.setBlockFormat(plain);
    }
  };
  auto flush = [&] {
    if (pendingBytes.empty()) return;
    const RtfState& s = stack.back();
    if (s.table == RtfState::Table::Fonts) {
      fontName += pendingBytes;  // the name runs to its ';'
      const size_t semi = fontName.find(';');
      if (semi != std::string::npos) {
        if (tableFont >= 0 && fonts.size() < 256)
          fonts[tableFont] = QString::fromStdU16String(plat::ToUtf16(fontName.substr(0, semi), CP_ACP)).trimmed().left(31);
        fontName.clear();
      }
    } else if (s.table == RtfState::Table::Colours) {
      for (char ch : pendingBytes) {
        if (ch != ';' || colours.size() >= 256) continue;
        colours.push_back(colourSet ? std::optional<QColor>(QColor(red, green, blue)) : std::nullopt);
        red = green = blue = 0;
        colourSet = false;
      }
    } else if (!s.skip) {
      alignBlock();
      cursor.insertText(QString::fromStdU16String(plat::ToUtf16(pendingBytes, CP_ACP)), fmt());
    }
    pendingBytes.clear();
  };
  auto put = [&](const QString& s) {
    flush();
    if (!stack.back().skip) {
      alignBlock();
      cursor.insertText(s, fmt());
    }
  };
  auto inTable = [&] { return stack.back().table != RtfState::Table::None; };
  size_t i = 0;
  int skipChars = 0;
  while (i < rtf.size()) {
    const char c = rtf[i];
    if (c == '{') {
      flush();
      if (stack.size() >= 256) break;  // nesting this deep is no document
      stack.push_back(stack.back());
      ++i;
      if (rtf.compare(i, 2, "\\*") == 0) {
        stack.back().skip = true;
        stack.back().table = RtfState::Table::None;
      }
      continue;
    }
    if (c == '}') {
      flush();
      if (stack.size() > 1) stack.pop_back();
      ++i;
      continue;
    }
    if (c == '\r' || c == '\n') { ++i; continue; }
    if (c != '\\') {
      if (skipChars > 0) { --skipChars; ++i; continue; }
      if (!stack.back().skip || inTable()) pendingBytes.push_back(c);
      ++i;
      continue;
    }
    // A control symbol or word.
    ++i;
    if (i >= rtf.size()) break;
    const char n = rtf[i];
    if (n == '\\' || n == '{' || n == '}') {
      if (!stack.back().skip) pendingBytes.push_back(n);
      ++i;
      continue;
    }
    if (n == '\'') {
      if (i + 2 < rtf.size()) {
        const std::string hex = rtf.substr(i + 1, 2);
        char* end = nullptr;
        const long v = std::strtol(hex.c_str(), &end, 16);
        if (end && *end == '\0' && hex.size() == 2) {
          if (skipChars > 0) --skipChars;
          else if (!stack.back().skip || inTable()) pendingBytes.push_back(static_cast<char>(v));
        }
      }
      i += 3;
      continue;
    }
    if (!std::isalpha(static_cast<unsigned char>(n))) { ++i; continue; }
    size_t w = i;
    while (w < rtf.size() && std::isalpha(static_cast<unsigned char>(rtf[w])) && w - i < 32) ++w;
    const std::string word = rtf.substr(i, w - i);
    bool hasParam = false;
    long param = 0;
    size_t p = w;
    if (p < rtf.size() && (rtf[p] == '-' || std::isdigit(static_cast<unsigned char>(rtf[p])))) {
      const size_t ps = p;
      ++p;
      while (p < rtf.size() && std::isdigit(static_cast<unsigned char>(rtf[p])) && p - ps < 10) ++p;
      param = std::strtol(rtf.substr(ps, p - ps).c_str(), nullptr, 10);
      hasParam = true;
    }
    if (p < rtf.size() && rtf[p] == ' ') ++p;
    i = p;
    RtfState& s = stack.back();
    const bool on = !hasParam || param != 0;
    if (word == "fonttbl") {
      flush();
      s.skip = true;
      s.table = RtfState::Table::Fonts;
    } else if (word == "colortbl") {
      flush();
      s.skip = true;
      s.table = RtfState::Table::Colours;
    } else if (word == "stylesheet" || word == "info" || word == "pict" || word == "pntext") {
      flush();
      s.skip = true;
      s.table = RtfState::Table::None;
    } else if (s.table == RtfState::Table::Fonts) {
      if (word == "f" && hasParam) {
        flush();
        tableFont = static_cast<int>(param);
        fontName.clear();
      }
    } else if (s.table == RtfState::Table::Colours) {
      flush();  // the entries ended so far
      const int v = static_cast<int>(std::clamp(param, 0L, 255L));
      if (word == "red") { red = v; colourSet = true; }
      else if (word == "green") { green = v; colourSet = true; }
      else if (word == "blue") { blue = v; colourSet = true; }
    } else if (word == "par" || word == "line") {
      flush();
      if (!s.skip) {
        alignBlock();
        if (word == "par") cursor.insertBlock(); else cursor.insertText(QStringLiteral("\n"), fmt());
      }
    } else if (word == "tab") {
      put(QStringLiteral("\t"));
    } else if (word == "b") { flush(); s.bold = on; }
    else if (word == "i") { flush(); s.italic = on; }
    else if (word == "ul") { flush(); s.underline = on; }
    else if (word == "ulnone") { flush(); s.underline = false; }
    else if (word == "strike") { flush(); s.strike = on; }
    else if (word == "plain") { flush(); s.bold = s.italic = s.underline = s.strike = s.protect = false; s.font = -1; s.size = 0; s.colour = 0; }
    else if (word == "f" && hasParam) { flush(); s.font = static_cast<int>(param); }
    else if (word == "fs" && hasParam) { flush(); s.size = static_cast<int>(std::clamp(param, 0L, 3276L)); }
    else if (word == "cf" && hasParam) { flush(); s.colour = static_cast<int>(std::clamp(param, 0L, 255L)); }
    else if (word == "protect") { flush(); s.protect = on; }
    else if (word == "pnlvlblt") { flush(); bullet = true; }
    else if (word == "pard") { flush(); align = Qt::AlignLeft; bullet = false; }
    else if (word == "ql") { flush(); align = Qt::AlignLeft; }
    else if (word == "qr") { flush(); align = Qt::AlignRight; }
    else if (word == "qc") { flush(); align = Qt::AlignHCenter; }
    else if (word == "qj") { flush(); align = Qt::AlignJustify; }
    else if (word == "uc" && hasParam) { s.uc = static_cast<int>(std::clamp(param, 0L, 10L)); }
    else if (word == "u" && hasParam) {
      put(QString(QChar(static_cast<char16_t>(param < 0 ? param + 65536 : param))));
      skipChars = s.uc;
    }
  }
  flush();
  alignBlock();
}

std::string RtfEscape(const QString& text) {
  std::string out;
  for (QChar ch : text) {
    const char16_t u = ch.unicode();
    if (u == '\\' || u == '{' || u == '}') { out += '\\'; out += static_cast<char>(u); }
    else if (u == '\t') out += "\\tab ";
    else if (u == QChar::LineSeparator || u == '\n') out += "\\line ";
    else if (u < 0x80) out += static_cast<char>(u);
    else out += "\\u" + std::to_string(static_cast<int16_t>(u)) + "?";
  }
  return out;
}

std::string RtfWrite(const QTextDocument* doc) {
  // The tables first: every face and colour the text uses.
  std::vector<QString> fonts{doc->defaultFont().family()};
  std::vector<QColor> colours;
  auto fontIndex = [&fonts](const QString& family) {
    for (size_t k = 0; k < fonts.size(); ++k)
      if (fonts[k] == family) return static_cast<int>(k);
    fonts.push_back(family);
    return static_cast<int>(fonts.size()) - 1;
  };
  auto colourIndex = [&colours](const QColor& c) {
    for (size_t k = 0; k < colours.size(); ++k)
      if (colours[k].rgb() == c.rgb()) return static_cast<int>(k) + 1;
    colours.push_back(c);
    return static_cast<int>(colours.size());
  };
  std::string body;
  bool first = true;
  for (QTextBlock b = doc->begin(); b.isValid(); b = b.next()) {
    if (!first) body += "\\par\n";
    first = false;
    body += "\\pard";
    if (b.textList()) body += "{\\*\\pn\\pnlvlblt\\pnindent160{\\pntxtb\\'b7}}{\\pntext\\'b7\\tab}";
    const Qt::Alignment a = b.blockFormat().alignment() & Qt::AlignHorizontal_Mask;
    if (a == Qt::AlignRight) body += "\\qr";
    else if (a == Qt::AlignHCenter) body += "\\qc";
    else if (a == Qt::AlignJustify) body += "\\qj";
    else body += "\\ql";
    body += ' ';
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment frag = it.fragment();
      const QTextCharFormat f = frag.charFormat();
      std::string open;
      const QStringList families = f.fontFamilies().toStringList();
      if (!families.isEmpty() && !families.first().isEmpty()) open += "\\f" + std::to_string(fontIndex(families.first()));
      if (f.fontPointSize() > 0) open += "\\fs" + std::to_string(static_cast<int>(std::lround(f.fontPointSize() * 2)));
      if (f.hasProperty(QTextFormat::ForegroundBrush) && f.foreground().style() != Qt::NoBrush)
        open += "\\cf" + std::to_string(colourIndex(f.foreground().color()));
      if (f.fontWeight() >= QFont::Bold) open += "\\b";
      if (f.fontItalic()) open += "\\i";
      if (f.fontUnderline()) open += "\\ul";
      if (f.fontStrikeOut()) open += "\\strike";
      if (f.boolProperty(kProtectedProperty)) open += "\\protect";
      body += open.empty() ? RtfEscape(frag.text()) : "{" + open + " " + RtfEscape(frag.text()) + "}";
    }
  }
  std::string out = "{\\rtf1\\ansi\\ansicpg936\\deff0{\\fonttbl";
  for (size_t k = 0; k < fonts.size(); ++k) out += "{\\f" + std::to_string(k) + "\\fnil " + RtfEscape(fonts[k]) + ";}";
  out += "}";
  if (!colours.empty()) {
    out += "{\\colortbl ;";
    for (const QColor& c : colours)
      out += "\\red" + std::to_string(c.red()) + "\\green" + std::to_string(c.green()) + "\\blue" + std::to_string(c.blue()) + ";";
    out += "}";
  }
  out += "\\uc1 " + body + "}";
  return out;
}

}  // namespace

// ---------------------------------------------------------------------------
// CFormatRichEdit

CFormatRichEdit::CFormatRichEdit(QWidget* parent) : QTextEdit(parent) { setAcceptRichText(false); }

void CFormatRichEdit::SetMessageBoxHook(std::function<void(const QString&)> hook) { g_messageHook = std::move(hook); }

void CFormatRichEdit::SetFileMessageText(int id, const QString& text) {
  if (text.isEmpty()) g_fileMessages.erase(id);
  else g_fileMessages[id] = text;
}

QString CFormatRichEdit::FileMessageText(int id) {
  if (auto it = g_fileMessages.find(id); it != g_fileMessages.end()) return it->second;
  switch (id) {
    case kInvalidFileNameText: return QStringLiteral("无效的文件名。");
    case kOpenFailedText: return QStringLiteral("打开文档失败。");
    case kSaveFailedText: return QStringLiteral("保存文档失败。");
    default: return QString();
  }
}

void CFormatRichEdit::messageBox(const QString& text) {
  if (g_messageHook) g_messageHook(text);
  else QMessageBox::warning(nullptr, QString(), text);
}

int CFormatRichEdit::query(Bit bit) const {
  int state = -2;
  ForEachFormat(textCursor(), [&](const QTextCharFormat& f) {
    const int v = HasBit(f, static_cast<int>(bit)) ? 1 : 0;
    state = state == -2 ? v : (state == v ? v : -1);
  });
  return state == -2 ? 0 : state;
}

void CFormatRichEdit::toggle(Bit bit) {
  const bool all = query(bit) == 1;
  QTextCharFormat f;
  switch (bit) {
    case Bit::Bold: f.setFontWeight(all ? QFont::Normal : QFont::Bold); break;
    case Bit::Italic: f.setFontItalic(!all); break;
    case Bit::Underline: f.setFontUnderline(!all); break;
    case Bit::StrikeOut: f.setFontStrikeOut(!all); break;
    case Bit::Protected: f.setProperty(kProtectedProperty, !all); break;
    case Bit::Link: f.setAnchor(!all); break;
  }
  mergeCurrentCharFormat(f);
}

int CFormatRichEdit::IsSelectionBold() const { return query(Bit::Bold); }
int CFormatRichEdit::IsSelectionItalic() const { return query(Bit::Italic); }
int CFormatRichEdit::IsSelectionUnderline() const { return query(Bit::Underline); }
int CFormatRichEdit::IsSelectionStrikeOut() const { return query(Bit::StrikeOut); }
int CFormatRichEdit::IsSelectionProtected() const { return query(Bit::Protected); }
int CFormatRichEdit::IsSelectionLink() const { return query(Bit::Link); }
void CFormatRichEdit::ToggleSelectionBold() { toggle(Bit::Bold); }
void CFormatRichEdit::ToggleSelectionItalic() { toggle(Bit::Italic); }
void CFormatRichEdit::ToggleSelectionUnderline() { toggle(Bit::Underline); }
void CFormatRichEdit::ToggleSelectionStrikeOut() { toggle(Bit::StrikeOut); }
void CFormatRichEdit::ToggleSelectionProtected() { toggle(Bit::Protected); }
void CFormatRichEdit::ToggleSelectionLink() { toggle(Bit::Link); }

int CFormatRichEdit::GetSelectionFontSize() const {
  double size = -1;
  bool mixed = false;
  ForEachFormat(textCursor(), [&](const QTextCharFormat& f) {
    const double s = f.fontPointSize() > 0 ? f.fontPointSize() : document()->defaultFont().pointSizeF();
    if (size < 0) size = s;
    else if (s != size) mixed = true;
  });
  return mixed || size < 0 ? 0 : static_cast<int>(size * 20) / 20;
}

void CFormatRichEdit::SetSelectionFontSize(int points) {
  QTextCharFormat f;
  f.setFontPointSize(points);
  mergeCurrentCharFormat(f);
}

QString CFormatRichEdit::GetSelectionFaceName() const {
  QString face;
  bool mixed = false, any = false;
  ForEachFormat(textCursor(), [&](const QTextCharFormat& f) {
    const QStringList fam = f.fontFamilies().toStringList();
    const QString s = fam.isEmpty() ? document()->defaultFont().family() : fam.first();
    if (!any) face = s;
    else if (s != face) mixed = true;
    any = true;
  });
  return mixed ? QString() : face;
}

void CFormatRichEdit::SetSelectionFaceName(const QString& name) {
  QTextCharFormat f;
  f.setFontFamilies({name.left(31)});
  mergeCurrentCharFormat(f);
}

void CFormatRichEdit::SetSelectionColor(COLORREF colour) {
  QTextCharFormat f;
  f.setForeground(ctl::ToQColor(colour));
  mergeCurrentCharFormat(f);
}

int CFormatRichEdit::alignmentIs(Qt::Alignment a) const {
  const QTextCursor c = textCursor();
  const QTextBlock first = document()->findBlock(c.selectionStart());
  const QTextBlock last = document()->findBlock(c.selectionEnd());
  const Qt::Alignment want = first.blockFormat().alignment() & Qt::AlignHorizontal_Mask;
  for (QTextBlock b = first; b.isValid(); b = b.next()) {
    if ((b.blockFormat().alignment() & Qt::AlignHorizontal_Mask) != want) return -1;
    if (b == last) break;
  }
  const Qt::Alignment norm = (want == Qt::AlignLeading || want == 0) ? Qt::AlignLeft : want;
  return norm == a ? 1 : 0;
}

void CFormatRichEdit::setAlignmentTo(Qt::Alignment a) { setAlignment(a); }

int CFormatRichEdit::IsParagraphLeft() const { return alignmentIs(Qt::AlignLeft); }
int CFormatRichEdit::IsParagraphRight() const { return alignmentIs(Qt::AlignRight); }
int CFormatRichEdit::IsParagraphCenter() const { return alignmentIs(Qt::AlignHCenter); }
int CFormatRichEdit::IsParagraphJustify() const { return alignmentIs(Qt::AlignJustify); }
void CFormatRichEdit::SetParagraphLeft() { setAlignmentTo(Qt::AlignLeft); }
void CFormatRichEdit::SetParagraphRight() { setAlignmentTo(Qt::AlignRight); }
void CFormatRichEdit::SetParagraphCenter() { setAlignmentTo(Qt::AlignHCenter); }
void CFormatRichEdit::SetParagraphJustify() { setAlignmentTo(Qt::AlignJustify); }

int CFormatRichEdit::IsParagraphBulleted() const {
  const QTextCursor c = textCursor();
  const QTextBlock first = document()->findBlock(c.selectionStart());
  const QTextBlock last = document()->findBlock(c.selectionEnd());
  const bool want = first.textList() != nullptr;
  for (QTextBlock b = first; b.isValid(); b = b.next()) {
    if ((b.textList() != nullptr) != want) return -1;
    if (b == last) break;
  }
  return want ? 1 : 0;
}

void CFormatRichEdit::ToggleParagraphBullet() {
  QTextCursor c = textCursor();
  if (IsParagraphBulleted() == 1) {
    const QTextBlock first = document()->findBlock(c.selectionStart());
    const QTextBlock last = document()->findBlock(c.selectionEnd());
    for (QTextBlock b = first; b.isValid(); b = b.next()) {
      if (QTextList* l = b.textList()) l->remove(b);
      QTextCursor bc(b);
      QTextBlockFormat bf = b.blockFormat();
      bf.setIndent(0);
      bc.setBlockFormat(bf);
      if (b == last) break;
    }
    return;
  }
  QTextListFormat lf;
  lf.setStyle(QTextListFormat::ListDisc);
  lf.setIndent(1);  // an offset of 160 twips: one step
  c.createList(lf);
}

void CFormatRichEdit::SetContent(const std::string& content) {
  clear();
  if (content.rfind("{\\rtf", 0) == 0) {
    QTextCursor c(document());
    RtfRead(content, c);
  } else {
    setPlainText(QString::fromStdU16String(plat::ToUtf16(content, CP_ACP)));
  }
}

void CFormatRichEdit::SetContentBytes(const std::vector<char>& bytes) { SetContent(std::string(bytes.begin(), bytes.end())); }

bool CFormatRichEdit::LoadResourceContent(int resourceId) {
  QFile f(QStringLiteral(":/RTF/%1").arg(resourceId));
  if (!f.open(QIODevice::ReadOnly)) return false;
  const QByteArray data = f.readAll();
  if (data.isEmpty()) return false;
  SetContentBytes(std::vector<char>(data.begin(), data.end()));
  return true;
}

bool CFormatRichEdit::LoadFile(const QString& path) {
  const QFileInfo info(path);
  if (path.isEmpty() || !info.exists() || info.isDir()) {
    messageBox(FileMessageText(kInvalidFileNameText));
    return false;
  }
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) {
    messageBox(FileMessageText(kOpenFailedText));
    return false;
  }
  // One byte past the bound tells a larger file (or an endless device) from one that fits.
  const QByteArray data = f.read(kMaxLoadFileBytes + 1);
  if (data.size() > kMaxLoadFileBytes) {
    qWarning("document %s refused: larger than %lld bytes", qPrintable(path), static_cast<long long>(kMaxLoadFileBytes));
    messageBox(FileMessageText(kOpenFailedText));
    return false;
  }
  SetContent(data.toStdString());
  return true;
}

void CFormatRichEdit::GetContent(std::string* out, bool rtf) const {
  out->clear();
  if (rtf) *out = RtfWrite(document());
  else *out = plat::FromUtf16(toPlainText().toStdU16String(), CP_ACP);
}

void CFormatRichEdit::GetContentBytes(std::vector<char>* out, bool rtf) const {
  std::string content;
  GetContent(&content, rtf);
  out->assign(content.begin(), content.end());
}

bool CFormatRichEdit::SaveFile(const QString& path, bool rtf) {
  std::string content;
  GetContent(&content, rtf);
  // Written beside the file and renamed over it, so that a failed write leaves the old file whole.
  QSaveFile f(path);
  f.setDirectWriteFallback(true);  // a folder that takes no new file: written in place, as before
  if (!f.open(QIODevice::WriteOnly) ||
      f.write(content.data(), static_cast<qint64>(content.size())) != static_cast<qint64>(content.size()) ||
      !f.commit()) {
    f.cancelWriting();
    messageBox(FileMessageText(kSaveFailedText));
    return false;
  }
  return true;
}

void CFormatRichEdit::SetWordWrap(bool wrap, int lineWidth) {
  // The target-device line width without a device: 0 wraps at the window edge, 1 does not wrap, any
  // other width is in twips (1440 to the inch).
  const int width = wrap || lineWidth != 0 ? lineWidth : 1;
  if (width == 0) {
    setLineWrapMode(QTextEdit::WidgetWidth);
  } else if (width == 1) {
    setLineWrapMode(QTextEdit::NoWrap);
  } else {
    setLineWrapMode(QTextEdit::FixedPixelWidth);
    setLineWrapColumnOrWidth(std::max(1, static_cast<int>(std::lround(width * static_cast<double>(logicalDpiX()) / 1440.0))));
  }
}

// ---------------------------------------------------------------------------
// CChatRichEdit

struct PictureAt {
  size_t position;
  std::string code;
};

CChatRichEdit::CChatRichEdit(QWidget* parent) : CFormatRichEdit(parent) {}

void CChatRichEdit::InsertImage(const QImage& image, const std::string& code) {
  if (image.isNull()) return;
  QTextCursor c = textCursor();
  InsertImageAt(c, image, code);
  setTextCursor(c);
  ensureCursorVisible();
  setFocus();
}

void CChatRichEdit::InsertImageAt(QTextCursor& cursor, const QImage& image, const std::string& code, const QString& name) {
  if (image.isNull()) return;
  const QString resource = name.isEmpty() ? QStringLiteral("tessaly-picture:%1").arg(++nextImage_) : name;
  document()->addResource(QTextDocument::ImageResource, QUrl(resource), image);
  QTextImageFormat f;
  f.setName(resource);
  f.setWidth(image.width());
  f.setHeight(image.height());
  if (!code.empty()) {
    imageCodes_.push_back(ctl::MakeImageCode(code));
    f.setProperty(kCodeProperty, QByteArray::fromStdString(imageCodes_.back()));
  }
  cursor.insertImage(f);
}

bool CChatRichEdit::InsertImageFile(const QString& path, const std::string& code) {
  const QImage img = ctl::LoadBitmapFile(path);
  if (img.isNull()) return false;
  InsertImage(img, code);
  return true;
}

std::u16string CChatRichEdit::rawText(std::vector<PictureAt>* pictures) const {
  std::u16string text;
  for (QTextBlock b = document()->begin(); b.isValid(); b = b.next()) {
    if (b != document()->begin()) text += u'\n';
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextFragment frag = it.fragment();
      const QTextCharFormat f = frag.charFormat();
      if (f.isImageFormat()) {
        const QByteArray code = f.property(kCodeProperty).toByteArray();
        for (int k = 0; k < frag.length(); ++k) {
          pictures->push_back({static_cast<size_t>(frag.position() + k), code.toStdString()});
          text += u'\xFFFC';
        }
      } else {
        text += frag.text().toStdU16String();
      }
    }
  }
  return text;
}

std::string CChatRichEdit::GetTextWithImageCodes(bool selectionOnly, int* expansion) const {
  std::vector<PictureAt> pics;
  const std::u16string text = rawText(&pics);
  std::vector<ctl::PictureCode> codes;
  for (const auto& p : pics) codes.push_back({p.position, p.code});
  const QTextCursor c = textCursor();
  return ctl::CodedText(text, codes, selectionOnly, static_cast<size_t>(c.selectionStart()),
                        static_cast<size_t>(c.selectionEnd()), expansion);
}

int CChatRichEdit::CountTextUnits(int* cutPosition, int* expansion) const {
  int grown = 0;
  const std::string coded = GetTextWithImageCodes(false, &grown);
  const ctl::CountResult r = ctl::CountTextUnits(coded, grown, cutPosition != nullptr);
  if (cutPosition) *cutPosition = r.cutPosition;
  if (expansion) *expansion = grown;
  return r.characters;
}

int CChatRichEdit::PasteWithinLimit() {
  const QClipboard* clip = QApplication::clipboard();
  if (!clip) return 0;
  return PasteTextWithinLimit(clip->text());
}

int CChatRichEdit::PasteTextWithinLimit(const QString& pasted) {
  int selExpansion = 0;
  const std::string selected = GetTextWithImageCodes(true, &selExpansion);
  const int selectionChars = textCursor().hasSelection() ? ctl::CountUnits(selected) / 2 : 0;
  const int allowed = ctl::PasteAllowance(selectionChars, CountTextUnits(nullptr, nullptr));
  if (allowed < 1) return 1;
  std::string text = plat::FromUtf16(pasted.toStdU16String(), CP_ACP);
  if (text.size() > 1023) text.resize(1023);
  const std::string cut = ctl::CutToCharacters(text, allowed);
  const LRESULT answer = ctl::SendOwnerMessage(this, WM_CHAT_PASTE, 0, reinterpret_cast<LPARAM>(cut.c_str()));
  if (answer != 0) return 0;
  int expansion = 0;
  CountTextUnits(nullptr, &expansion);
  limit_ = ctl::kChatCharLimit - expansion;
  return 1;
}

namespace {
// A selection with coded pictures: the coded text for the clipboard and other windows, and the
// selection itself for a drag that ends in the control it came from.
class PictureSelection : public QMimeData {
 public:
  QPointer<const QObject> origin;
  QTextDocumentFragment fragment;
};
}  // namespace

QMimeData* CChatRichEdit::createMimeDataFromSelection() const {
  int expansion = 0;
  const std::string coded = GetTextWithImageCodes(true, &expansion);
  if (expansion < 1) return CFormatRichEdit::createMimeDataFromSelection();
  auto* mime = new PictureSelection;
  mime->setText(QString::fromStdU16String(plat::ToUtf16(coded, CP_ACP)));
  mime->origin = this;
  mime->fragment = textCursor().selection();
  return mime;
}

void CChatRichEdit::insertFromMimeData(const QMimeData* source) {
  // Where the control's own paste began is noted for the owner's change handling (a drop is not a
  // paste); the owner's paste command is PasteWithinLimit.
  if (!dropping_) pastePosition_ = textCursor().selectionStart();
  // Only a cut or copy turns pictures into their codes: a drag within the control keeps them.
  const auto* own = dynamic_cast<const PictureSelection*>(source);
  if (dropping_ && own && own->origin == this) {
    QTextCursor c = textCursor();
    c.insertFragment(own->fragment);
    setTextCursor(c);
    ensureCursorVisible();
    return;
  }
  CFormatRichEdit::insertFromMimeData(source);
}

void CChatRichEdit::dropEvent(QDropEvent* event) {
  dropping_ = true;
  CFormatRichEdit::dropEvent(event);
  dropping_ = false;
}

void CChatRichEdit::keyPressEvent(QKeyEvent* event) {
  // Once a paste set the limit, typing stops at it (the control's own characters, a picture counts one).
  const QString t = event->text();
  const bool typing = !t.isEmpty() && t[0].isPrint() && !(event->modifiers() & Qt::ControlModifier);
  if (typing && limit_ > 0 && !textCursor().hasSelection() &&
      (document()->characterCount() - 1 >= limit_ || CountTextUnits(nullptr, nullptr) >= ctl::kChatCharLimit)) {
    event->accept();
    return;
  }
  CFormatRichEdit::keyPressEvent(event);
}
