// A test skin: plain pictures written to a temporary folder that becomes the current folder.
#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QTemporaryDir>
#include <QWidget>
#include <QByteArray>
#include <functional>
#include <initializer_list>
#include <vector>

#include "platform/wintypes.h"

class TestSkin {
 public:
  TestSkin();   // current folder = the temporary folder; skin type "test"; resources in res/
  ~TestSkin();  // back to the previous folder
  // Writes skin/test/<name> (or any relative path) as a bitmap.
  QString Write(const QString& name, const QImage& image);
  QString Path(const QString& name) const;
  void WriteIni(const QByteArray& text);
  static QImage Solid(int w, int h, const QColor& c);

 private:
  QTemporaryDir dir_;
  QString previous_;
};

// A menu template resource: a header, then for each entry its option word, its command (not for
// popups) and its text.
struct MenuEntry {
  quint16 option;
  quint16 id;
  const char* text;
};
QByteArray MenuTemplate(std::initializer_list<MenuEntry> entries);
// Writes res/<name> under the current folder (the test skin's).
void WriteRes(const QString& name, const QByteArray& data);

// The colour of a pixel of a widget as drawn.
QColor PixelOf(QWidget* w, int x, int y);

// A parent that records the window messages it gets.
class MessageOwner : public QWidget {
 public:
  struct Message {
    UINT msg;
    WPARAM wParam;
    LPARAM lParam;
  };
  std::vector<Message> messages;
  LRESULT answer = 0;
  std::function<void(UINT, LPARAM)> onMessage;  // runs while a sent message is delivered
  std::vector<Message> Take(UINT msg);  // delivers posted events first

 protected:
  bool event(QEvent* e) override;
};
