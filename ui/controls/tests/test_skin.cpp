// A test skin in a temporary folder.
#include "test_skin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtEndian>
#include <gtest/gtest.h>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"
#include "ui/controls/trel_menu.h"

QByteArray MenuTemplate(std::initializer_list<MenuEntry> entries) {
  QByteArray out(4, '\0');
  auto word = [&](quint16 w) {
    char b[2];
    qToLittleEndian(w, b);
    out.append(b, 2);
  };
  for (const MenuEntry& e : entries) {
    word(e.option);
    if (!(e.option & MF_POPUP)) word(e.id);
    for (char16_t c : QString::fromUtf8(e.text).toStdU16String()) word(c);
    word(0);
  }
  return out;
}

void WriteRes(const QString& name, const QByteArray& data) {
  QFile f(QDir::currentPath() + "/res/" + name);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.write(data);
}

TestSkin::TestSkin() : previous_(QDir::currentPath()) {
  QDir(dir_.path()).mkpath(QStringLiteral("skin/test"));
  QDir(dir_.path()).mkpath(QStringLiteral("res"));
  QDir::setCurrent(dir_.path());
  ctl::SetSkinType("test");
  ctl::SetResourceFolder((dir_.path() + QStringLiteral("/res")).toStdString());
}

TestSkin::~TestSkin() {
  QDir::setCurrent(previous_);
  ctl::SetSkinType("default");
  ctl::SetResourceFolder("res");
}

QString TestSkin::Path(const QString& name) const {
  return name.contains(QLatin1Char('/')) ? dir_.filePath(name) : dir_.filePath(QStringLiteral("skin/test/") + name);
}

QString TestSkin::Write(const QString& name, const QImage& image) {
  const QString path = Path(name);
  image.convertToFormat(QImage::Format_RGB888).save(path, "BMP");
  return path;
}

void TestSkin::WriteIni(const QByteArray& text) {
  QFile f(dir_.filePath(QStringLiteral("skin/test/corvina.ini")));
  if (f.open(QIODevice::WriteOnly)) f.write(text);
}

QImage TestSkin::Solid(int w, int h, const QColor& c) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(c);
  return img;
}

QColor PixelOf(QWidget* w, int x, int y) { return w->grab().toImage().pixelColor(x, y); }

std::vector<MessageOwner::Message> MessageOwner::Take(UINT msg) {
  QCoreApplication::sendPostedEvents();
  std::vector<Message> out;
  for (const Message& m : messages)
    if (m.msg == msg) out.push_back(m);
  return out;
}

bool MessageOwner::event(QEvent* e) {
  if (e->type() == WindowMessageEvent::eventType()) {
    auto* m = static_cast<WindowMessageEvent*>(e);
    messages.push_back({m->message, m->wParam, m->lParam});
    if (onMessage) onMessage(m->message, m->lParam);
    m->result = answer;
    return true;
  }
  return QWidget::event(e);
}
