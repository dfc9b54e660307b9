// CFormatRichEdit and CChatRichEdit: formatted text with selection queries, content transfer, and chat pictures that keep their codes.
#pragma once

#include <QImage>
#include <QTextEdit>
#include <functional>
#include <string>
#include <vector>

#include "ui/controls/colour.h"

// Event-mask bits of a rich edit (SetNotifyMask): change notices and link notices.
inline constexpr unsigned ENM_CHANGE = 0x00000001;
inline constexpr unsigned ENM_LINK = 0x04000000;

class CFormatRichEdit : public QTextEdit {
  Q_OBJECT
 public:
  explicit CFormatRichEdit(QWidget* parent = nullptr);

  // -1 when the selection is mixed, else 1 or 0.
  int IsSelectionBold() const;
  int IsSelectionItalic() const;
  int IsSelectionUnderline() const;
  int IsSelectionStrikeOut() const;
  int IsSelectionProtected() const;
  int IsSelectionLink() const;
  void ToggleSelectionBold();
  void ToggleSelectionItalic();
  void ToggleSelectionUnderline();
  void ToggleSelectionStrikeOut();
  void ToggleSelectionProtected();
  void ToggleSelectionLink();
  int GetSelectionFontSize() const;  // points; 0 when mixed
  void SetSelectionFontSize(int points);
  QString GetSelectionFaceName() const;  // empty when mixed
  void SetSelectionFaceName(const QString& name);
  void SetSelectionColor(COLORREF colour);
  int IsParagraphLeft() const;
  int IsParagraphRight() const;
  int IsParagraphCenter() const;
  int IsParagraphJustify() const;
  void SetParagraphLeft();
  void SetParagraphRight();
  void SetParagraphCenter();
  void SetParagraphJustify();
  int IsParagraphBulleted() const;
  void ToggleParagraphBullet();

  // Content as RTF (when it begins with "{\rtf") or plain text in the ANSI code page.
  void SetContent(const std::string& content);
  void SetContentBytes(const std::vector<char>& bytes);
  // An "RTF" resource of the program (":/RTF/<id>"); nothing when missing or empty.
  bool LoadResourceContent(int resourceId);
  bool LoadFile(const QString& path);
  void GetContent(std::string* out, bool rtf) const;
  void GetContentBytes(std::vector<char>* out, bool rtf) const;
  bool SaveFile(const QString& path, bool rtf);
  void SetWordWrap(bool wrap, int lineWidth);

  // Message boxes of the file operations go here when set (tests); else a warning box.
  static void SetMessageBoxHook(std::function<void(const QString&)> hook);
  // The file operations' messages by their string ids; the owner gives them in the program's language
  // (an empty text gives the built-in one back).
  static constexpr int kInvalidFileNameText = 61696;
  static constexpr int kOpenFailedText = 61697;
  static constexpr int kSaveFailedText = 61698;
  static void SetFileMessageText(int id, const QString& text);
  static QString FileMessageText(int id);
  // The largest file LoadFile takes: the control's default limit of 32,767 characters, as RTF with
  // its markup, stays well inside it.
  static constexpr qint64 kMaxLoadFileBytes = 1 << 20;

 protected:
  enum class Bit { Bold, Italic, Underline, StrikeOut, Protected, Link };
  int query(Bit bit) const;
  void toggle(Bit bit);
  int alignmentIs(Qt::Alignment a) const;
  void setAlignmentTo(Qt::Alignment a);
  static void messageBox(const QString& text);
};

class CChatRichEdit : public CFormatRichEdit {
  Q_OBJECT
 public:
  // The text-format property under which a picture keeps its code.
  static constexpr int kImageCodeProperty = QTextFormat::UserProperty + 2;
  explicit CChatRichEdit(QWidget* parent = nullptr);

  // Inserts a picture at the selection, tagged with its code (cut to 31 bytes; empty: no code).
  void InsertImage(const QImage& image, const std::string& code);
  // The same at the given cursor, leaving the caret, the view and the focus alone (many pictures in one
  // edit block: the text is laid out once). A picture given a name is kept once under it, however often
  // it is inserted.
  void InsertImageAt(QTextCursor& cursor, const QImage& image, const std::string& code, const QString& name = QString());
  bool InsertImageFile(const QString& path, const std::string& code);
  // The text (ANSI) of the selection or the whole control with each coded picture replaced by its code.
  std::string GetTextWithImageCodes(bool selectionOnly, int* expansion) const;
  // Characters of the message; cutPosition: where the message would be cut at the limit.
  int CountTextUnits(int* cutPosition, int* expansion) const;
  // Pastes the clipboard text cut to what fits; the owner gets WM_CHAT_PASTE with the text.
  int PasteWithinLimit();
  // The same for a given text (the clipboard's).
  int PasteTextWithinLimit(const QString& text);
  int TextLimit() const { return limit_; }
  // Characters the control takes from typing (a picture counts one); 0: no limit.
  void SetTextLimit(int characters) { limit_ = characters; }
  // Which notices the control gives (ENM_CHANGE: textChanged reaches the owner's handler).
  void SetNotifyMask(unsigned mask) { notifyMask_ = mask; }
  unsigned NotifyMask() const { return notifyMask_; }
  // The start of the control's last own paste (-1: none); the owner clears it once it has handled the change.
  void ClearPastePosition() { pastePosition_ = -1; }
  // A drop or paste of the given data, as the control takes it (tests).
  void insertFromMimeDataForTest(const QMimeData* source) { insertFromMimeData(source); }
  int PastePosition() const { return pastePosition_; }
  size_t ImageCodeCount() const { return imageCodes_.size(); }

 protected:
  QMimeData* createMimeDataFromSelection() const override;
  void insertFromMimeData(const QMimeData* source) override;
  void dropEvent(QDropEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

 private:
  std::u16string rawText(std::vector<struct PictureAt>* pictures) const;
  std::vector<std::string> imageCodes_;  // kept for the control's life
  int pastePosition_ = -1;
  int limit_ = 0;
  unsigned notifyMask_ = ENM_CHANGE;
  int nextImage_ = 0;
  bool dropping_ = false;
};
