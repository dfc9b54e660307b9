// A test skin in a temporary folder.
#include "test_skin.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

#include "ui/controls/control_messages.h"
#include "ui/controls/skin.h"

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
