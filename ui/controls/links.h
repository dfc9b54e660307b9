// CUrlLink and CHyperLink: a static text made into a link; the hyperlink posts its owner's message on a click.
#pragma once

#include <QCursor>
#include <QLabel>
#include <optional>

#include "platform/wintypes.h"
#include "ui/controls/colour.h"

class CUrlLink : public QLabel {
  Q_OBJECT
 public:
  // The alignment is the static's: Qt::AlignVCenter stands for a centred image (the window shrinks
  // evenly from top and bottom when fitted); a plain static keeps its top.
  explicit CUrlLink(QWidget* parent = nullptr, Qt::Alignment align = Qt::AlignLeft | Qt::AlignTop);

  void SetURL(const QString& url);
  QString GetURL() const { return url_; }
  void SetColours(COLORREF link, COLORREF visited, COLORREF hover = COLORREF(-1));
  COLORREF GetLinkColour() const { return link_; }
  COLORREF GetVisitedColour() const { return visited_; }
  COLORREF GetHoverColour() const { return hover_; }
  void SetVisited(bool on);
  bool GetVisited() const { return visitedFlag_; }
  void SetUnderline(bool on);
  bool GetUnderline() const { return underline_; }
  void SetAutoSize(bool on);
  bool GetAutoSize() const { return autoSize_; }
  // No cursor: the program's hand.
  void SetLinkCursor(const std::optional<QCursor>& cursor = std::nullopt);
  QCursor GetLinkCursor() const { return linkCursor_; }
  void SetLinkText(const QString& text);  // the window text
  bool Hovering() const { return hovering_; }
  // Gallery: force the hover colour.
  void SetHovering(bool on) { hovering_ = on; applyColour(); }
  // Fits the window to its text, keeping a centred or right-aligned one anchored.
  void FitToText();

 signals:
  void linkClicked();

 protected:
  virtual void FollowLink();
  virtual int GotoURL(const QString& url, int showCommand);
  void mouseMoveEvent(QMouseEvent*) override;
  void mousePressEvent(QMouseEvent*) override;
  void mouseDoubleClickEvent(QMouseEvent*) override;
  void leaveEvent(QEvent*) override;
  void showEvent(QShowEvent*) override;

 private:
  void applyColour();
  COLORREF link_ = RGB(0, 0, 238), visited_ = RGB(85, 26, 139), hover_ = RGB(255, 92, 0);
  bool hovering_ = false, visitedFlag_ = false, underline_ = true, autoSize_ = true;
  QString url_;
  QCursor linkCursor_{Qt::PointingHandCursor};
};

class CHyperLink : public CUrlLink {
  Q_OBJECT
 public:
  using CUrlLink::CUrlLink;
  void SetClickMessage(UINT message) { clickMessage_ = message; }

 protected:
  void FollowLink() override;

 private:
  UINT clickMessage_ = UINT(-1);
};
