// Skin pictures read at run time.
#include "ui/controls/skin.h"

#include <QFile>
#include <QImageReader>

namespace ctl {

namespace {
std::string g_skinType = "default";
std::string g_resourceFolder = "res";
constexpr int kMaxSide = 4096;  // skin files are untrusted; no picture is anywhere near this
}  // namespace

void SetSkinType(const std::string& type) { g_skinType = type; }
std::string SkinType() { return g_skinType; }

std::string SkinFilePath(const std::string& type, const std::string& name) {
  return "skin/" + type + "/" + name;
}
std::string SkinFilePath(const std::string& name) { return SkinFilePath(g_skinType, name); }
std::string SkinIniPath() { return SkinFilePath("corvina.ini"); }

void SetResourceFolder(const std::string& folder) { g_resourceFolder = folder; }
QString ResourcePath(int id) {
  return QString::fromStdString(g_resourceFolder) + QStringLiteral("/%1.bmp").arg(id);
}
QString ResourceFile(const QString& name) {
  return QString::fromStdString(g_resourceFolder) + QLatin1Char('/') + name;
}

std::optional<QCursor> ResourceCursor(int id) {
  for (const QString& path : {ResourceFile(QStringLiteral("%1.cur").arg(id)), ResourcePath(id)}) {
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || size.width() > 256 || size.height() > 256) continue;
    const QImage image = reader.read();
    if (image.isNull()) continue;
    const QPoint hot = CursorHotSpot(path, image.size());
    return QCursor(QPixmap::fromImage(image), hot.x(), hot.y());
  }
  return std::nullopt;
}

QPoint CursorHotSpot(const QString& path, const QSize& size) {
  // A cursor file's first directory entry holds it (after the 6-byte header: width, height, colours,
  // reserved, then x and y); a bitmap has none.
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  const QByteArray head = f.read(14);
  if (head.size() < 14) return {};
  auto word = [&head](int at) { return int(uchar(head[at])) | int(uchar(head[at + 1])) << 8; };
  if (word(0) != 0 || word(2) != 2 || word(4) < 1) return {};
  const int x = word(10), y = word(12);
  if (x >= size.width() || y >= size.height()) return {};  // outside the picture: the file is wrong
  return {x, y};
}

QImage LoadBitmapFile(const QString& path) {
  if (path.isEmpty()) return {};
  QImageReader reader(path);
  const QSize size = reader.size();
  if (!size.isValid() || size.width() > kMaxSide || size.height() > kMaxSide) return {};
  QImage image = reader.read();
  if (image.isNull()) return {};
  return image.convertToFormat(QImage::Format_ARGB32);
}

QPixmap KeyedPixmap(const QImage& image, COLORREF key) {
  if (image.isNull()) return {};
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  const QRgb k = qRgb(GetRValue(key), GetGValue(key), GetBValue(key));
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x)
      if ((line[x] & 0x00FFFFFF) == (k & 0x00FFFFFF)) line[x] = 0;
  }
  return QPixmap::fromImage(out);
}

QList<QPixmap> CutStrip(const QImage& strip, int w, int h, COLORREF key) {
  QList<QPixmap> cells;
  if (strip.isNull() || w <= 0 || h <= 0 || strip.height() < h) return cells;
  for (int x = 0; x + w <= strip.width(); x += w) cells.append(KeyedPixmap(strip.copy(x, 0, w, h), key));
  return cells;
}

QImage MapPixels(const QImage& image, COLORREF (*f)(COLORREF), COLORREF keep) {
  QImage out = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < out.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
    for (int x = 0; x < out.width(); ++x) {
      const COLORREF c = RGB(qRed(line[x]), qGreen(line[x]), qBlue(line[x]));
      if (qAlpha(line[x]) == 0 || c == keep) continue;
      const COLORREF m = f(c);
      line[x] = qRgba(GetRValue(m), GetGValue(m), GetBValue(m), qAlpha(line[x]));
    }
  }
  return out;
}

}  // namespace ctl
