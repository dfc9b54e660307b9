// Draws the default skin's pictures (skin/default) and the program's own pictures (res) into a build folder.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QTextStream>
#include <cmath>
#include <cstdio>
#include <functional>

namespace {

const QColor kMagenta(255, 0, 255);
const QColor kMenuKey(236, 233, 216);  // 0xD8E9EC
const QColor kTipKey(0, 255, 0);
const QColor kBlue(47, 123, 217);
const QColor kBlueDark(29, 88, 168);
const QColor kBlueLight(225, 237, 252);
const QColor kInk(52, 64, 84);
const QColor kGreen(46, 170, 98);
const QColor kRed(222, 76, 68);
const QColor kAmber(240, 164, 40);
const QColor kGrey(150, 156, 166);
const QColor kFace(240, 240, 240);

QString g_root;
int g_written = 0;

bool Save(const QImage& image, const QString& folder, const QString& name) {
  QDir().mkpath(g_root + "/" + folder);
  const QString path = g_root + "/" + folder + "/" + name;
  if (!image.convertToFormat(QImage::Format_RGB888).save(path, "BMP")) {
    std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(path));
    return false;
  }
  ++g_written;
  return true;
}

// Renders with antialiasing over a transparent canvas, then makes every pixel opaque: mostly
// transparent pixels take the key colour, the rest are blended over the colour they will be shown on.
QImage Keyed(int w, int h, const QColor& key, const QColor& shownOn, const std::function<void(QPainter&)>& draw) {
  QImage canvas(w, h, QImage::Format_ARGB32_Premultiplied);
  canvas.fill(Qt::transparent);
  {
    QPainter p(&canvas);
    p.setRenderHint(QPainter::Antialiasing);
    draw(p);
  }
  QImage out(w, h, QImage::Format_RGB32);
  for (int y = 0; y < h; ++y) {
    for (int x = 0; x < w; ++x) {
      const QColor c = QColor::fromRgba(canvas.pixel(x, y));
      const double a = c.alphaF();
      if (a < 0.45) {
        out.setPixelColor(x, y, key);
      } else {
        auto mix = [a](int fg, int bg) { return static_cast<int>(std::lround(fg * a + bg * (1 - a))); };
        QColor m(mix(c.red(), shownOn.red()), mix(c.green(), shownOn.green()), mix(c.blue(), shownOn.blue()));
        if (m == key) m = m.lighter(101);  // never the key by accident
        out.setPixelColor(x, y, m);
      }
    }
  }
  return out;
}

QImage Strip(const QList<QImage>& cells) {
  int w = 0, h = 0;
  for (const QImage& c : cells) { w += c.width(); h = std::max(h, c.height()); }
  QImage out(w, h, QImage::Format_RGB32);
  QPainter p(&out);
  int x = 0;
  for (const QImage& c : cells) { p.drawImage(x, 0, c); x += c.width(); }
  return out;
}

// --- Glyphs, drawn in a 20 x 20 box scaled to the cell.

using Glyph = std::function<void(QPainter&, const QColor&)>;

void Phone(QPainter& p, const QColor& c) {
  QPainterPath path;
  path.moveTo(5, 3);
  path.cubicTo(3, 4, 2.5, 6, 3.5, 8.5);
  path.cubicTo(5.5, 13, 8, 15.5, 12, 17);
  path.cubicTo(14.5, 18, 16.5, 17, 17.5, 15);
  path.lineTo(14.5, 12.5);
  path.lineTo(12.5, 14);
  path.cubicTo(10, 13, 7.5, 10.5, 6.5, 8);
  path.lineTo(8, 6);
  path.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path);
}
void Hangup(QPainter& p, const QColor& c) {
  p.save();
  p.translate(10, 10);
  p.rotate(135);
  p.translate(-10, -10);
  Phone(p, c);
  p.restore();
}
void Person(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(6.5, 2.5, 7, 7));
  QPainterPath body;
  body.moveTo(3, 18);
  body.cubicTo(3, 12.5, 6.5, 10.5, 10, 10.5);
  body.cubicTo(13.5, 10.5, 17, 12.5, 17, 18);
  body.closeSubpath();
  p.drawPath(body);
}
void People(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c.lighter(135));
  p.drawEllipse(QRectF(11, 3, 6, 6));
  QPainterPath b2;
  b2.moveTo(9, 16);
  b2.cubicTo(9.5, 11.5, 12, 10, 14, 10);
  b2.cubicTo(16.5, 10, 19, 11.5, 19, 16);
  b2.closeSubpath();
  p.drawPath(b2);
  p.setBrush(c);
  p.drawEllipse(QRectF(3.5, 4.5, 6.5, 6.5));
  QPainterPath b1;
  b1.moveTo(1, 18);
  b1.cubicTo(1, 13.5, 4, 11.5, 6.75, 11.5);
  b1.cubicTo(9.5, 11.5, 12.5, 13.5, 12.5, 18);
  b1.closeSubpath();
  p.drawPath(b1);
}
void Bubble(QPainter& p, const QColor& c) {
  QPainterPath path;
  path.addRoundedRect(QRectF(2, 3, 16, 11), 3.5, 3.5);
  QPainterPath tail;
  tail.moveTo(5, 13);
  tail.lineTo(4.5, 18);
  tail.lineTo(9.5, 13);
  tail.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path.united(tail));
  p.setBrush(Qt::white);
  for (int i = 0; i < 3; ++i) p.drawEllipse(QRectF(5.6 + i * 3.6, 7.6, 1.9, 1.9));
}
void Clock(QPainter& p, const QColor& c) {
  p.setPen(QPen(c, 2));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(3, 3, 14, 14));
  p.setPen(QPen(c, 1.8, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(10, 10), QPointF(10, 5.8));
  p.drawLine(QPointF(10, 10), QPointF(13, 11.5));
}
void Gear(QPainter& p, const QColor& c) {
  QPainterPath path;
  for (int i = 0; i < 8; ++i) {
    p.save();
    QTransform t;
    t.translate(10, 10);
    t.rotate(i * 45);
    path.addPolygon(t.map(QPolygonF(QRectF(-1.8, -8.5, 3.6, 4))));
    p.restore();
  }
  path.addEllipse(QPointF(10, 10), 6, 6);
  path.setFillRule(Qt::WindingFill);
  QPainterPath hole;
  hole.addEllipse(QPointF(10, 10), 2.5, 2.5);
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path.simplified().subtracted(hole));
}
void Envelope(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(2, 4.5, 16, 11.5), 2, 2);
  p.setPen(QPen(Qt::white, 1.5));
  p.drawPolyline(QPolygonF({QPointF(3.5, 6), QPointF(10, 11), QPointF(16.5, 6)}));
}
void Microphone(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(7, 2, 6, 10.5), 3, 3);
  p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(4.5, 5.5, 11, 10), 200 * 16, 140 * 16);
  p.drawLine(QPointF(10, 15.5), QPointF(10, 18));
  p.drawLine(QPointF(7, 18), QPointF(13, 18));
}
void Home(QPainter& p, const QColor& c) {
  QPainterPath path;
  path.moveTo(10, 2.5);
  path.lineTo(18, 9.5);
  path.lineTo(15.5, 9.5);
  path.lineTo(15.5, 17);
  path.lineTo(11.8, 17);
  path.lineTo(11.8, 12.5);
  path.lineTo(8.2, 12.5);
  path.lineTo(8.2, 17);
  path.lineTo(4.5, 17);
  path.lineTo(4.5, 9.5);
  path.lineTo(2, 9.5);
  path.closeSubpath();
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawPath(path);
}
void KeypadGlyph(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  for (int r = 0; r < 4; ++r)
    for (int k = 0; k < 3; ++k)
      if (r < 3 || k == 1) p.drawRoundedRect(QRectF(3.2 + k * 5, 1.8 + r * 4.3, 3.6, 3.2), 1, 1);
}
void Globe(QPainter& p, const QColor& c) {
  p.setPen(QPen(c, 1.6));
  p.setBrush(Qt::NoBrush);
  p.drawEllipse(QRectF(3, 3, 14, 14));
  p.drawEllipse(QRectF(7, 3, 6, 14));
  p.drawLine(QPointF(3, 10), QPointF(17, 10));
}
void Plus(QPainter& p, const QColor& c) {
  p.setPen(QPen(c, 2.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(10, 4), QPointF(10, 16));
  p.drawLine(QPointF(4, 10), QPointF(16, 10));
}
void Cross(QPainter& p, const QColor& c) {
  p.setPen(QPen(c, 2.4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(5, 5), QPointF(15, 15));
  p.drawLine(QPointF(15, 5), QPointF(5, 15));
}
void Card(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(2, 4, 16, 12), 2, 2);
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(4.5, 6.5, 4.5, 4.5));
  p.drawRect(QRectF(11, 7, 5, 1.5));
  p.drawRect(QRectF(11, 10.5, 4, 1.5));
  p.drawRect(QRectF(4.5, 12.5, 4.5, 1.2));
}
void Smile(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(2.5, 2.5, 15, 15));
  p.setBrush(Qt::white);
  p.drawEllipse(QRectF(6.5, 7, 2, 2.4));
  p.drawEllipse(QRectF(11.5, 7, 2, 2.4));
  p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(6, 7, 8, 7), 200 * 16, 140 * 16);
}
void Font(QPainter& p, const QColor& c) {
  QFont f(QStringLiteral("DejaVu Sans"));
  f.setPixelSize(15);
  f.setBold(true);
  p.setFont(f);
  p.setPen(c);
  p.drawText(QRectF(0, 0, 20, 20), Qt::AlignCenter, QStringLiteral("A"));
}
void Dot(QPainter& p, const QColor& c) {
  QRadialGradient g(QPointF(8.5, 8), 8);
  g.setColorAt(0, c.lighter(140));
  g.setColorAt(1, c);
  p.setPen(QPen(c.darker(125), 1));
  p.setBrush(g);
  p.drawEllipse(QRectF(4, 4, 12, 12));
}

QImage GlyphCell(int w, int h, const QColor& key, const QColor& shownOn, const Glyph& glyph, const QColor& c,
                 double scale = 1.0) {
  return Keyed(w, h, key, shownOn, [&](QPainter& p) {
    const double s = std::min(w, h) / 20.0 * scale;
    p.translate((w - 20 * s) / 2, (h - 20 * s) / 2);
    p.scale(s, s);
    glyph(p, c);
  });
}

// --- Pictures.

void Keypad() {
  const char* names[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "star", "0", "pound"};
  const char* labels[12] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#"};
  const char* letters[12] = {"", "ABC", "DEF", "GHI", "JKL", "MNO", "PQRS", "TUV", "WXYZ", "", "+", ""};
  const int size = 48;
  struct Look { const char* suffix; QColor fill, edge, text, sub; };
  const Look looks[4] = {
      {"", QColor(248, 250, 253), QColor(196, 208, 226), kInk, QColor(128, 140, 158)},
      {"sel", kBlue, kBlueDark, Qt::white, QColor(214, 230, 250)},
      {"focus", kBlueLight, QColor(126, 170, 228), kBlueDark, QColor(92, 128, 180)},
      {"disabled", QColor(242, 242, 242), QColor(214, 214, 214), QColor(178, 178, 178), QColor(200, 200, 200)}};
  for (int k = 0; k < 12; ++k) {
    for (const Look& look : looks) {
      // Drawn opaque on white: the white corners around the key drop presses.
      QImage img(size, size, QImage::Format_RGB32);
      img.fill(Qt::white);
      QPainter p(&img);
      p.setRenderHint(QPainter::Antialiasing);
      QLinearGradient g(0, 0, 0, size);
      g.setColorAt(0, look.fill.lighter(103));
      g.setColorAt(1, look.fill.darker(103));
      p.setPen(QPen(look.edge, 1.2));
      p.setBrush(g);
      p.drawEllipse(QRectF(2.5, 2.5, size - 5, size - 5));
      QFont f(QStringLiteral("DejaVu Sans"));
      f.setPixelSize(k == 9 ? 22 : 17);
      p.setFont(f);
      p.setPen(look.text);
      const bool hasSub = letters[k][0] != 0;
      p.drawText(QRectF(0, hasSub ? 8 : 4, size, hasSub ? 22 : 38), Qt::AlignCenter, QString::fromLatin1(labels[k]));
      if (hasSub) {
        QFont s(QStringLiteral("DejaVu Sans"));
        s.setPixelSize(8);
        p.setFont(s);
        p.setPen(look.sub);
        p.drawText(QRectF(0, 29, size, 10), Qt::AlignCenter, QString::fromLatin1(letters[k]));
      }
      p.end();
      // Keep pure white only outside the key: lift white pixels inside the disk.
      for (int y = 0; y < size; ++y)
        for (int x = 0; x < size; ++x) {
          const double dx = x + 0.5 - size / 2.0, dy = y + 0.5 - size / 2.0;
          if (dx * dx + dy * dy < (size / 2.0 - 3) * (size / 2.0 - 3) && img.pixelColor(x, y) == QColor(Qt::white))
            img.setPixelColor(x, y, QColor(254, 254, 254));
        }
      Save(img, "skin/default", QStringLiteral("dialkey%1%2.bmp").arg(names[k], look.suffix));
    }
  }
}

void PillButtons() {
  struct Btn { const char* name; QColor colour; Glyph glyph; };
  const Btn buttons[] = {{"dialcall", kGreen, Phone}, {"dialhangup", kRed, Hangup}, {"imsend", kBlue, Envelope}};
  const int w = 76, h = 30;
  for (const Btn& b : buttons) {
    struct St { const char* suffix; QColor c; };
    const St states[] = {{"", b.colour}, {"sel", b.colour.darker(118)}, {"focus", b.colour.lighter(112)},
                         {"disabled", QColor(198, 202, 208)}};
    for (const St& s : states) {
      const QImage img = Keyed(w, h, kMagenta, kFace, [&](QPainter& p) {
        QLinearGradient g(0, 0, 0, h);
        g.setColorAt(0, s.c.lighter(108));
        g.setColorAt(1, s.c.darker(106));
        p.setPen(QPen(s.c.darker(125), 1));
        p.setBrush(g);
        p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), h / 2.0 - 1, h / 2.0 - 1);
        p.translate(w / 2.0 - 10 * 0.95, h / 2.0 - 10 * 0.95);
        p.scale(0.95, 0.95);
        b.glyph(p, Qt::white);
      });
      Save(img, "skin/default", QStringLiteral("%1%2.bmp").arg(b.name, s.suffix));
    }
  }
}

// A pill-shaped button picture on the face colour: a vertical gradient inside an edge, and the glyph in a
// disc of the edge colour (d across) at the left, so the caption can start right of it.
QImage Pill(int w, int h, const QColor& top, const QColor& bottom, const QColor& edge, double d, double scale,
            const Glyph& glyph, const QColor& icon) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(kFace);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 0, h);
  g.setColorAt(0, top);
  g.setColorAt(1, bottom);
  p.setPen(QPen(edge, 1.2));
  p.setBrush(g);
  p.drawRoundedRect(QRectF(1, 1, w - 2, h - 2), h / 2.0 - 1, h / 2.0 - 1);
  p.setPen(Qt::NoPen);
  p.setBrush(edge);
  p.drawEllipse(QRectF(4, (h - d) / 2, d, d));
  p.translate(4 + d / 2 - 10 * scale, h / 2.0 - 10 * scale);
  p.scale(scale, scale);
  glyph(p, icon);
  return img;
}

// The two-colour mask of a pill: black inside, white outside.
QImage PillMask(int w, int h) {
  QImage mask(w, h, QImage::Format_RGB32);
  mask.fill(Qt::white);
  {
    QPainter p(&mask);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(Qt::black);
    p.drawRoundedRect(QRectF(0.5, 0.5, w - 1, h - 1), h / 2.0, h / 2.0);
  }
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) mask.setPixelColor(x, y, qGray(mask.pixel(x, y)) < 128 ? Qt::black : Qt::white);
  return mask;
}

void PressToTalk() {
  const int w = 132, h = 38;
  // The icon stays left of the caption, which starts 30 pixels in.
  auto pill = [&](const QColor& top, const QColor& bottom, const QColor& edge, const QColor& icon) {
    return Pill(w, h, top, bottom, edge, 24, 0.95, Microphone, icon);
  };
  Save(pill(QColor(250, 251, 253), QColor(232, 238, 246), kBlue, Qt::white), "skin/default", "ptt.bmp");
  Save(pill(kBlue.lighter(110), kBlueDark, kBlueDark.darker(115), Qt::white), "skin/default", "pttdown.bmp");
  Save(pill(QColor(238, 245, 255), QColor(214, 230, 250), kBlue.lighter(108), Qt::white), "skin/default", "ptthover.bmp");
  Save(pill(QColor(244, 244, 244), QColor(232, 232, 232), QColor(190, 190, 190), QColor(240, 240, 240)), "skin/default",
       "pttdisabled.bmp");
  Save(pill(QColor(250, 251, 253), QColor(232, 238, 246), kBlueDark, Qt::white), "skin/default", "pttfocus.bmp");
  Save(PillMask(w, h), "skin/default", "pttmask.bmp");
}

// Play: a triangle in a round button (voice messages played by hand).
void Play(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawEllipse(QRectF(2, 2, 16, 16));
  p.setBrush(Qt::white);
  p.drawPolygon(QPolygonF({QPointF(8, 6), QPointF(14.5, 10), QPointF(8, 14)}));
}
// Invite to the conference: two people and a plus.
void InvitePeople(QPainter& p, const QColor& c) {
  p.save();
  p.translate(-1, 1);
  p.scale(0.85, 0.85);
  People(p, c);
  p.restore();
  p.setPen(QPen(kGreen, 2.4, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(16, 2), QPointF(16, 9));
  p.drawLine(QPointF(12.5, 5.5), QPointF(19.5, 5.5));
}
// Adjust audio: three sliders.
void Sliders(QPainter& p, const QColor& c) {
  const double knobs[3] = {12, 6, 10};
  for (int i = 0; i < 3; ++i) {
    const double x = 4.5 + i * 5.5;
    p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(x, 3), QPointF(x, 17));
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(c);
    p.drawRoundedRect(QRectF(x - 2.6, knobs[i] - 1.8, 5.2, 3.6), 1.2, 1.2);
  }
}

// The customisable tool-bar's pictures, in its commands' order.
const QList<std::pair<Glyph, QColor>>& ToolbarGlyphs() {
  static const QList<std::pair<Glyph, QColor>> glyphs = {
      {Play, kGreen}, {Font, kInk}, {Smile, kAmber}, {InvitePeople, kBlue}, {Sliders, QColor(40, 150, 160)}};
  return glyphs;
}

// The frame's tool-bar strip in its button order: add contact, delete, speaker, microphone, search,
// home page; 20 x 19 cells on magenta.
QImage FrameBar(bool disabled) {
  QImage img(20 * 6, 19, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  {
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  const QColor ink = disabled ? QColor(0xB0, 0xB8, 0xC4) : QColor(0x2F, 0x6F, 0xD6);
  const QColor red = disabled ? ink : QColor(0xE5, 0x48, 0x3D), green = disabled ? ink : QColor(0x2F, 0xB4, 0x63);
  auto cell = [&](int i) { p.resetTransform(); p.translate(20 * i, 0); };
  QPen pen(ink, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  // Add contact.
  cell(0);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  p.drawEllipse(QRectF(4, 2.5, 7, 7));
  QPainterPath body;
  body.moveTo(1.5, 17);
  body.cubicTo(1.5, 11, 13.5, 11, 13.5, 17);
  p.drawPath(body);
  p.setPen(QPen(green, 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(15.5, 5), QPointF(15.5, 11));
  p.drawLine(QPointF(12.5, 8), QPointF(18.5, 8));
  // Delete.
  cell(1);
  p.setPen(QPen(red, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
  p.setBrush(Qt::NoBrush);
  p.drawLine(QPointF(4, 5), QPointF(16, 5));
  p.drawLine(QPointF(8, 5), QPointF(8.5, 3));
  p.drawLine(QPointF(8.5, 3), QPointF(11.5, 3));
  p.drawLine(QPointF(11.5, 3), QPointF(12, 5));
  p.drawRoundedRect(QRectF(5.5, 5.5, 9, 11.5), 1.5, 1.5);
  p.drawLine(QPointF(8.5, 8), QPointF(8.5, 14.5));
  p.drawLine(QPointF(11.5, 8), QPointF(11.5, 14.5));
  // Speaker.
  cell(2);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  QPolygonF cone;
  cone << QPointF(2.5, 7) << QPointF(6, 7) << QPointF(10.5, 3) << QPointF(10.5, 16) << QPointF(6, 12) << QPointF(2.5, 12);
  p.drawPolygon(cone);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(8, 5, 6, 9), -50 * 16, 100 * 16);
  p.drawArc(QRectF(8, 2, 10, 15), -50 * 16, 100 * 16);
  // Microphone.
  cell(3);
  p.setPen(Qt::NoPen);
  p.setBrush(ink);
  p.drawRoundedRect(QRectF(7, 1.5, 6, 10), 3, 3);
  p.setPen(pen);
  p.setBrush(Qt::NoBrush);
  p.drawArc(QRectF(4.5, 4, 11, 10), 180 * 16, 180 * 16);
  p.drawLine(QPointF(10, 14), QPointF(10, 17));
  p.drawLine(QPointF(7, 17.2), QPointF(13, 17.2));
  // Search.
  cell(4);
  p.setPen(QPen(ink, 2, Qt::SolidLine, Qt::RoundCap));
  p.drawEllipse(QRectF(3, 2.5, 9.5, 9.5));
  p.drawLine(QPointF(11.5, 11.5), QPointF(16.5, 16.5));
  // Home page.
  cell(5);
  p.setPen(pen);
  QPolygonF roof;
  roof << QPointF(2.5, 9) << QPointF(10, 2.5) << QPointF(17.5, 9);
  p.drawPolyline(roof);
  p.drawRect(QRectF(5, 8.5, 10, 8.5));
  p.setBrush(ink);
  p.drawRect(QRectF(8.5, 12, 3, 5));
  }
  // Keyed pictures have no partial transparency: edges go to the face or to the key, never a blend
  // with magenta.
  QImage out(img.size(), QImage::Format_RGB32);
  const QColor face(0xF4, 0xF8, 0xFD);
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QColor c = img.pixelColor(x, y);
      if (c.alpha() < 70) {
        out.setPixelColor(x, y, QColor(255, 0, 255));
        continue;
      }
      const qreal a = c.alphaF();
      out.setPixelColor(x, y, QColor::fromRgbF(c.redF() * a + face.redF() * (1 - a), c.greenF() * a + face.greenF() * (1 - a),
                          c.blueF() * a + face.blueF() * (1 - a)));
    }
  return out;
}

void Toolbars() {
  Save(FrameBar(false), "skin/default", "mainframebar.bmp");
  Save(FrameBar(true), "skin/default", "mainframebar_disable.bmp");
  Save(FrameBar(false), "res", "169.bmp");  // the built-in bar a skin without its own falls back to
  // The customisable tool-bar's strips, in the order of its commands: manual play, font, emoticons,
  // invite to the conference, adjust audio.
  QList<QImage> small, large;
  for (const auto& [glyph, colour] : ToolbarGlyphs()) {
    small.append(GlyphCell(16, 16, kMagenta, QColor(236, 242, 250), glyph, colour, 0.95));
    large.append(GlyphCell(32, 32, kMagenta, QColor(236, 242, 250), glyph, colour, 0.95));
  }
  Save(Strip(small), "skin/default", "toolbar16.bmp");
  Save(Strip(large), "skin/default", "toolbar32.bmp");
  QImage bg(8, 40, QImage::Format_RGB32);
  {
    QPainter p(&bg);
    QLinearGradient g(0, 0, 0, 40);
    g.setColorAt(0, QColor(236, 242, 250));
    g.setColorAt(0.5, QColor(221, 231, 245));
    g.setColorAt(1, QColor(204, 218, 238));
    p.fillRect(bg.rect(), g);
    p.setPen(QColor(255, 255, 255));
    p.drawLine(0, 0, 8, 0);
  }
  Save(bg, "skin/default", "toolbarbg.bmp");
  // The drop arrow: a small dark triangle.
  Save(Keyed(7, 4, kMagenta, QColor(236, 242, 250), [](QPainter& p) {
         p.setRenderHint(QPainter::Antialiasing, false);
         p.setPen(Qt::NoPen);
         p.setBrush(kInk);
         p.drawPolygon(QPolygon({QPoint(0, 0), QPoint(7, 0), QPoint(3, 4)}));
       }),
       "res", "32738.bmp");
}

void MenuPictures() {
  const QColor shownOn(250, 250, 250);
  struct Item { const char* name; Glyph glyph; QColor colour; };
  const Item items[] = {
      {"onlinemi", Dot, kGreen}, {"offlinemi", Dot, kGrey}, {"busymi", Dot, kRed}, {"leavemi", Dot, kAmber},
      {"hangupmi", Hangup, kRed}, {"menusendim", Bubble, kBlue}, {"callmi", Phone, kGreen},
      {"addcontactmi", Plus, kGreen}, {"deletemi", Cross, kRed}, {"propertiesmi", Card, kBlue},
      {"historymi", Clock, QColor(118, 96, 196)}, {"settingsmi", Gear, kGrey}};
  QList<QImage> cells;
  for (const Item& it : items) {
    const QImage img = GlyphCell(16, 15, kMenuKey, shownOn, it.glyph, it.colour, 0.95);
    Save(img, "skin/default", QStringLiteral("%1.bmp").arg(it.name));
    cells.append(img);
  }
  Save(Strip(cells), "skin/default", "menuimages.bmp");
}

void TabPictures() {
  const QList<std::pair<Glyph, QColor>> tabs = {{Home, kBlue},   {Person, kBlue}, {KeypadGlyph, kInk},
                                                {Clock, QColor(118, 96, 196)}, {Globe, QColor(40, 150, 160)},
                                                {Phone, kGreen},
                                                // 6 and 7 are shown by no page: the call page's picture
                                                // stands in them, so the conference page's stands at 8.
                                                {Phone, kGreen}, {Phone, kGreen}, {People, kGreen}};
  QList<QImage> cells;
  for (const auto& [g, c] : tabs) cells.append(GlyphCell(24, 23, kMagenta, kFace, g, c, 0.78));
  Save(Strip(cells), "skin/default", "propertypicon.bmp");
}

void StatusPictures() {
  const std::pair<const char*, QColor> status[] = {{"online", kGreen}, {"offline", kGrey}, {"busy", kRed},
                                                   {"leave", kAmber}, {"notavailable", QColor(196, 80, 160)}};
  for (const auto& [name, c] : status) {
    const QColor key = QString::fromLatin1(name) == QLatin1String("online") ? kMagenta : kMenuKey;
    Save(GlyphCell(16, 16, key, kFace, Dot, c, 1.1), "skin/default", QStringLiteral("%1.bmp").arg(name));
  }
  // The start page shows its two pictures as they are, on its white: drawn on white. The program's own
  // picture 180 stands in for either where a skin has none.
  Save(GlyphCell(16, 16, Qt::white, Qt::white, Person, kGreen, 0.95), "skin/default", "startonline.bmp");
  Save(GlyphCell(16, 16, Qt::white, Qt::white, Phone, kRed, 0.95), "skin/default", "startmiss.bmp");
  Save(GlyphCell(16, 16, Qt::white, Qt::white, Person, kGrey, 0.95), "res", "180.bmp");
}

void HeadPicture() {
  QImage img(64, 64, QImage::Format_RGB32);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient g(0, 0, 0, 64);
  g.setColorAt(0, QColor(214, 228, 248));
  g.setColorAt(1, QColor(178, 202, 236));
  p.fillRect(img.rect(), g);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(255, 255, 255, 235));
  p.drawEllipse(QRectF(21, 12, 22, 22));
  p.drawEllipse(QRectF(9, 38, 46, 40));
  p.end();
  Save(img, "skin/default", "usericondef.bmp");
}

void TipFrames() {
  const int w = 22, h = 22;
  QImage bg(w, h, QImage::Format_RGB32);
  {
    QPainter p(&bg);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(bg.rect(), QColor(255, 251, 232));
    p.setPen(QColor(232, 200, 120));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(0.5, 0.5, w - 1, h - 1));
  }
  Save(bg, "res", "237.bmp");
  // The message icon's two blink images: the envelope lit, then dimmed.
  Save(Keyed(16, 16, kMenuKey, QColor(236, 233, 216), [](QPainter& p) {
         p.scale(0.8, 0.8);
         Envelope(p, kAmber);
       }),
       "res", "215.bmp");
  Save(Keyed(16, 16, kMenuKey, QColor(236, 233, 216), [](QPainter& p) {
         p.scale(0.8, 0.8);
         Envelope(p, kAmber.lighter(135));
       }),
       "res", "216.bmp");
  const int ids[12] = {181, 182, 259, 220, 229, 230, 231, 232, 233, 234, 235, 236};
  for (int i = 0; i < 12; ++i) {
    // An envelope with a badge that swells and settles: twelve steps of one cycle.
    const double phase = i / 12.0 * 2 * M_PI;
    const QImage img = Keyed(w, h, kTipKey, QColor(255, 251, 232), [&](QPainter& p) {
      p.save();
      p.translate(1, 3 + std::sin(phase) * 0.8);
      p.scale(0.9, 0.9);
      Envelope(p, kAmber);
      p.restore();
      const double r = 2.6 + 1.4 * (0.5 + 0.5 * std::sin(phase));
      p.setPen(QPen(Qt::white, 1));
      p.setBrush(kRed);
      p.drawEllipse(QPointF(w - 5, 5), r, r);
    });
    Save(img, "res", QStringLiteral("%1.bmp").arg(ids[i]));
  }
}

// The service page's local copy: the first view of the service tab and its fall-back when the service's
// own page cannot be reached. One page for both languages; the program names the language in the
// address's fragment (#chs or #eng) and the page shows that half.
void ServicePage() {
  QDir().mkpath(g_root + "/skin/default");
  QFile f(g_root + "/skin/default/service.htm");
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
    std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(f.fileName()));
    return;
  }
  struct Lang {
    const char *id, *title, *lead, *items[4][2], *foot;
  };
  const Lang langs[2] = {
      {"eng", "Tessaly services", "Everything your account offers, in one place.",
       {{"Calls", "Call a contact or any number from the dial bar; hold, keypad tones and conferences of up to "
                  "five are on the call page."},
        {"Messages and push-to-talk", "Write to a contact or a chat room; hold the talk button for a voice message."},
        {"Your account", "Ask for your balance and top up from the Home page (or press Q or F2)."},
        {"Your contacts", "Find people and chat groups with Search; keep contacts in groups of your own."}},
       "News from the service appears on this page when the service publishes it."},
      {"chs", "Tessaly 服务", "账户提供的各项服务，尽在此页。",
       {{"通话", "在拨号栏呼叫联系人或任意号码；通话页可保持、发按键音，并召开最多五人的会议。"},
        {"消息与对讲", "与联系人或聊天室交谈；按住对讲按钮即可发送语音消息。"},
        {"我的账户", "在首页查询余额并充值（也可按 Q 或 F2）。"},
        {"联系人", "用“查找”寻找用户和聊天群组，并把联系人分组管理。"}},
       "服务发布的新消息将显示在此页。"}};
  QString html = QStringLiteral(
      "<!DOCTYPE html>\n<html>\n<head>\n<meta charset=\"utf-8\">\n<title>Tessaly</title>\n<style>\n"
      "html,body{margin:0;padding:0;background:#f4f7fc;color:#344054;"
      "font-family:'Noto Sans CJK SC','WenQuanYi Micro Hei','DejaVu Sans',sans-serif;font-size:12px}\n"
      ".band{background:linear-gradient(135deg,#3579e0,#163f8c);color:#fff;padding:12px 16px 11px}\n"
      ".band h1{margin:0;font-size:17px;font-weight:bold}\n"
      ".band p{margin:3px 0 0;color:#dbe7fb}\n"
      ".cards{padding:9px 10px 2px}\n"
      ".card{background:#fff;border:1px solid #dbe3ef;border-radius:7px;padding:7px 10px;margin:0 0 7px}\n"
      ".card h2{margin:0 0 2px;font-size:13px;color:#1d58a8}\n"
      ".card p{margin:0;line-height:1.35}\n"
      ".foot{padding:0 12px 10px;color:#7a8699;font-size:11px}\n"
      "section{display:none}\n"
      "</style>\n</head>\n<body>\n");
  for (const Lang& l : langs) {
    html += QStringLiteral("<section id=\"%1\">\n<div class=\"band\"><h1>%2</h1><p>%3</p></div>\n<div class=\"cards\">\n")
                .arg(QLatin1String(l.id), QString::fromUtf8(l.title), QString::fromUtf8(l.lead));
    for (const auto& item : l.items)
      html += QStringLiteral("<div class=\"card\"><h2>%1</h2><p>%2</p></div>\n")
                  .arg(QString::fromUtf8(item[0]), QString::fromUtf8(item[1]));
    html += QStringLiteral("</div>\n<div class=\"foot\">%1</div>\n</section>\n").arg(QString::fromUtf8(l.foot));
  }
  html += QStringLiteral(
      "<script>\n"
      "function show(){var l=location.hash.replace('#','');if(l!=='chs')l='eng';"
      "var s=document.getElementsByTagName('section');"
      "for(var i=0;i<s.length;++i)s[i].style.display=s[i].id===l?'block':'none';"
      "document.title=l==='chs'?'Tessaly 服务':'Tessaly services';}\n"
      "window.addEventListener('hashchange',show);show();\n"
      "</script>\n</body>\n</html>\n");
  f.write(html.toUtf8());
}

// A cursor file: one 32 x 32 image, 32 bits with its AND mask, and the hot spot in the directory entry.
bool SaveCursor(const QImage& drawn, int hotX, int hotY, const QString& name) {
  const QImage img = drawn.convertToFormat(QImage::Format_ARGB32);
  const int w = img.width(), h = img.height();
  QByteArray dib;
  auto put16 = [&dib](int v) { dib.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
  auto put32 = [&](quint32 v) { put16(int(v & 0xFFFF)); put16(int(v >> 16)); };
  put32(40); put32(quint32(w)); put32(quint32(h * 2)); put16(1); put16(32); put32(0);
  put32(0); put32(0); put32(0); put32(0); put32(0);
  for (int y = h - 1; y >= 0; --y)
    for (int x = 0; x < w; ++x) {
      const QRgb c = img.pixel(x, y);
      dib.append(char(qBlue(c))).append(char(qGreen(c))).append(char(qRed(c))).append(char(qAlpha(c)));
    }
  const int maskStride = ((w + 31) / 32) * 4;
  for (int y = h - 1; y >= 0; --y) {
    QByteArray row(maskStride, '\0');
    for (int x = 0; x < w; ++x)
      if (qAlpha(img.pixel(x, y)) < 128) row[x / 8] = char(row[x / 8] | (0x80 >> (x % 8)));
    dib.append(row);
  }
  QByteArray file;
  auto f16 = [&file](int v) { file.append(char(v & 0xFF)).append(char((v >> 8) & 0xFF)); };
  auto f32 = [&](quint32 v) { f16(int(v & 0xFFFF)); f16(int(v >> 16)); };
  f16(0); f16(2); f16(1);  // reserved, type 2 (cursor), one image
  file.append(char(w & 0xFF)).append(char(h & 0xFF)).append('\0').append('\0');
  f16(hotX); f16(hotY); f32(quint32(dib.size())); f32(6 + 16);
  file.append(dib);
  QDir().mkpath(g_root + "/res");
  QFile out(g_root + "/res/" + name);
  if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(file) != file.size()) {
    std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(out.fileName()));
    return false;
  }
  ++g_written;
  return true;
}

// The program's cursors: the hand over links and buttons, the two sizing cursors of the splitter bars.
void Cursors() {
  auto canvas = [] {
    QImage img(32, 32, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    return img;
  };
  const QPen outline(Qt::black, 1.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
  {
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath hand;  // the forefinger up, its tip at (6, 1)
    hand.moveTo(4.5, 3);
    hand.cubicTo(4.5, 0.5, 8, 0.5, 8, 3);
    hand.lineTo(8, 10);
    hand.cubicTo(8, 8.5, 11.5, 8.5, 11.5, 10.5);
    hand.cubicTo(11.5, 9, 15, 9, 15, 11.5);
    hand.cubicTo(15, 10, 18.5, 10, 18.5, 12.5);
    hand.lineTo(18.5, 17);
    hand.cubicTo(18.5, 20, 17, 22, 16, 23.5);
    hand.lineTo(7, 23.5);
    hand.cubicTo(5.5, 21, 3, 18.5, 1.5, 15.5);
    hand.cubicTo(0.5, 13.5, 2.5, 12, 4.5, 13.5);
    hand.closeSubpath();
    p.setPen(outline);
    p.setBrush(Qt::white);
    p.drawPath(hand);
    p.drawLine(QPointF(11.5, 10.5), QPointF(11.5, 15));
    p.drawLine(QPointF(15, 11.5), QPointF(15, 15));
    p.end();
    SaveCursor(img, 6, 1, "106.cur");
  }
  // Two parallel lines with an arrow away from each: sideways for a vertical bar (206), up and down for a
  // horizontal one (205).
  for (const bool vertical : {true, false}) {
    QImage img = canvas();
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    if (!vertical) {
      p.translate(16, 16);
      p.rotate(90);
      p.translate(-16, -16);
    }
    QPainterPath arrows;
    arrows.moveTo(4, 16);
    arrows.lineTo(9, 11);
    arrows.lineTo(9, 14.5);
    arrows.lineTo(14, 14.5);
    arrows.lineTo(14, 6);
    arrows.lineTo(18, 6);
    arrows.lineTo(18, 14.5);
    arrows.lineTo(23, 14.5);
    arrows.lineTo(23, 11);
    arrows.lineTo(28, 16);
    arrows.lineTo(23, 21);
    arrows.lineTo(23, 17.5);
    arrows.lineTo(18, 17.5);
    arrows.lineTo(18, 26);
    arrows.lineTo(14, 26);
    arrows.lineTo(14, 17.5);
    arrows.lineTo(9, 17.5);
    arrows.lineTo(9, 21);
    arrows.closeSubpath();
    p.setPen(QPen(Qt::white, 1.2, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.setBrush(Qt::black);
    p.drawPath(arrows);
    p.end();
    SaveCursor(img, 16, 16, vertical ? "206.cur" : "205.cur");
  }
}

void SkinIni() {
  QDir().mkpath(g_root + "/skin/default");
  QFile f(g_root + "/skin/default/corvina.ini");
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate)) return;
  // The ini is in the ANSI code page (GBK); the name's Chinese text is written as GBK bytes.
  const QByteArray chs("\xC4\xAC\xC8\xCF", 4);  // "默认"
  f.write("[skinname]\r\nchs=" + chs + "\r\neng=Default\r\n\r\n[dial_dialog]\r\ncircle_button=1\r\n\r\n"
          "[page_service]\r\nhas_scroll=0\r\n\r\n"
          // A first chat window opens beside the main window rather than over it at the screen's corner.
          "[imconfig]\r\nleft=470\r\ntop=100\r\n");
}

}  // namespace

// --- Address book: tree images (16 x 16 on the image-list key), pane headers and the page's corner picture.

void Folder(QPainter& p, const QColor& c, bool open) {
  p.setPen(QPen(c.darker(135), 1));
  p.setBrush(c.lighter(112));
  QPainterPath back;
  back.moveTo(2, 5);
  back.lineTo(7, 5);
  back.lineTo(9, 7);
  back.lineTo(18, 7);
  back.lineTo(18, 16);
  back.lineTo(2, 16);
  back.closeSubpath();
  p.drawPath(back);
  p.setBrush(c);
  if (open) {
    QPainterPath front;
    front.moveTo(4, 9.5);
    front.lineTo(19.5, 9.5);
    front.lineTo(17.5, 16);
    front.lineTo(2, 16);
    front.closeSubpath();
    p.drawPath(front);
  } else {
    p.drawRoundedRect(QRectF(2, 8.5, 16, 7.5), 1, 1);
  }
}

void Mobile(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(6, 2, 8.5, 16), 2, 2);
  p.setBrush(QColor(214, 232, 250));
  p.drawRect(QRectF(7.4, 4, 5.7, 9.5));
  p.setBrush(Qt::white);
  p.drawEllipse(QPointF(10.25, 15.7), 0.9, 0.9);
}

void DeskPhone(QPainter& p, const QColor& c) {
  p.setPen(Qt::NoPen);
  p.setBrush(c);
  p.drawRoundedRect(QRectF(2, 3, 16, 4.5), 2.2, 2.2);
  p.drawRect(QRectF(5, 6, 2.5, 3));
  p.drawRect(QRectF(12.5, 6, 2.5, 3));
  p.drawRoundedRect(QRectF(3, 9, 14, 8), 2, 2);
  p.setBrush(Qt::white);
  for (int r = 0; r < 2; ++r)
    for (int k = 0; k < 3; ++k) p.drawRect(QRectF(6 + k * 3, 11 + r * 3, 1.6, 1.6));
}

void NoSign(QPainter& p) {
  p.setPen(QPen(Qt::white, 1.2));
  p.setBrush(QColor(222, 76, 68));
  p.drawEllipse(QRectF(11, 11, 8.5, 8.5));
  p.setPen(QPen(Qt::white, 1.6, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(13, 15.25), QPointF(17.5, 15.25));
}

void AddressBookPictures() {
  const QColor key = kMenuKey;
  const QColor on(255, 255, 255);
  auto cell = [&](const Glyph& g, const QColor& c, double scale = 0.95) { return GlyphCell(16, 16, key, on, g, c, scale); };
  auto overlay = [&](const Glyph& g, const QColor& c) {
    return Keyed(16, 16, key, on, [&](QPainter& p) {
      p.scale(0.8, 0.8);
      g(p, c);
      NoSign(p);
    });
  };
  const QColor folder(240, 180, 60), voip(40, 150, 160), web(40, 150, 160);
  const std::pair<const char*, QImage> cells[] = {
      {"addr_opened.bmp", cell([](QPainter& p, const QColor& c) { Folder(p, c, true); }, folder)},
      {"addr_closed.bmp", cell([](QPainter& p, const QColor& c) { Folder(p, c, false); }, folder)},
      {"addr_useronline.bmp", cell(Person, kGreen)},
      {"addr_useroffline.bmp", cell(Person, kGrey)},
      {"addr_userbusy.bmp", cell(Person, kRed)},  // the red of the status menu's Busy
      {"addr_qzonline.bmp", cell(Bubble, kBlue)},
      {"addr_qzoffline.bmp", cell(Bubble, kGrey)},
      {"addr_phone.bmp", cell(Phone, kInk)},
      {"addr_mobile.bmp", cell(Mobile, kInk)},
      {"addr_email.bmp", cell(Envelope, kAmber)},
      {"addr_officephone.bmp", cell(DeskPhone, kInk)},
      {"addr_voip.bmp", cell(Phone, voip)},
      {"addr_bussinesscard.bmp", cell(Card, kBlue)},
      {"addr_blockonline.bmp", overlay(Person, kGreen)},
      {"addr_blockoffline.bmp", overlay(Person, kGrey)},
      {"addr_group.bmp", cell(Person, kBlue)},
      {"addr_myweb.bmp", cell(Globe, web)},
      {"menudial.bmp", cell(Phone, kGreen)},
      {"menudel.bmp", cell(Cross, kRed)},
      {"menuaddcontact.bmp", cell(Plus, kGreen)},
  };
  for (const auto& [name, img] : cells) Save(img, "skin/default", name);
  // The program's own tree pictures, shown where a skin lacks one; keyed in pure red.
  const QColor resKey(255, 0, 0);
  auto own = [&](const Glyph& g, const QColor& c) { return GlyphCell(16, 16, resKey, on, g, c, 0.95); };
  const std::pair<int, QImage> builtIn[] = {
      {221, own([](QPainter& p, const QColor& c) { Folder(p, c, true); }, folder)},
      {222, own([](QPainter& p, const QColor& c) { Folder(p, c, false); }, folder)},
      {223, own(Person, kGreen)},
      {224, own(Person, kGrey)},
      {198, own(Bubble, kBlue)},
      {199, own(Bubble, kGrey)},
      {225, own(Phone, kInk)},
      {226, own(Mobile, kInk)},
      {227, own(Envelope, kAmber)},
      {228, own(DeskPhone, kInk)},
      {193, own(Person, kBlue)},
  };
  for (const auto& [id, img] : builtIn) Save(img, "res", QStringLiteral("%1.bmp").arg(id));
  // Pane headers: a 20 x 20 glyph, plain and selected.
  const std::pair<const char*, Glyph> headers[] = {{"contact", People}, {"card", Card}, {"group_u", Bubble}, {"add_contact", Plus}};
  for (const auto& [name, glyph] : headers) {
    const QString base = QString::fromLatin1(name);
    const QString selected = base == "group_u" ? QStringLiteral("group_d") : base + "sel";
    Save(GlyphCell(20, 20, key, kFace, glyph, base == "add_contact" ? kGreen : kBlueDark, 0.9), "skin/default", base + ".bmp");
    Save(GlyphCell(20, 20, key, kBlueLight, glyph, base == "add_contact" ? kGreen.darker(115) : kBlue, 0.9), "skin/default",
         selected + ".bmp");
  }
  // The corner picture beside the "Send to buddy" link: two people and a heart.
  Save(Keyed(40, 40, kMagenta, Qt::white,
             [](QPainter& p) {
               p.scale(1.7, 1.7);
               People(p, kBlue);
               p.setPen(Qt::NoPen);
               p.setBrush(kRed);
               QPainterPath heart;
               heart.moveTo(18, 21);
               heart.cubicTo(12, 17, 13, 12.5, 16, 13);
               heart.cubicTo(17, 13.2, 18, 14, 18, 15);
               heart.cubicTo(18, 14, 19, 13.2, 20, 13);
               heart.cubicTo(23, 12.5, 24, 17, 18, 21);
               p.drawPath(heart);
             }),
       "skin/default", "commend.bmp");
}

// The search dialog's pictures: the idle mark (245) and the busy animation (246), a strip of square
// frames of a magnifier circling over a page; keyed in magenta.
void SearchPictures() {
  auto page = [](QPainter& p) {
    p.setPen(QPen(kGrey, 1.2));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(5.5, 3.5, 17, 23));
    p.setPen(QPen(QColor(196, 208, 226), 1.5));
    for (int i = 0; i < 5; ++i) p.drawLine(QPointF(8.5, 8.5 + i * 4), QPointF(19.5, 8.5 + i * 4));
  };
  auto lens = [](QPainter& p, QPointF c) {
    p.setPen(QPen(kBlue, 2.4));
    p.setBrush(QColor(225, 237, 252, 200));
    p.drawEllipse(c, 6, 6);
    p.setPen(QPen(kBlueDark, 3.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(c + QPointF(4.5, 4.5), c + QPointF(9.5, 9.5));
  };
  Save(Keyed(32, 32, kMagenta, kFace, [&](QPainter& p) { page(p); lens(p, QPointF(16, 16)); }), "res", "245.bmp");
  QList<QImage> frames;
  constexpr int kFrames = 8;
  for (int i = 0; i < kFrames; ++i) {
    const double a = 2 * M_PI * i / kFrames;
    frames.append(Keyed(32, 32, kMagenta, kFace, [&](QPainter& p) {
      page(p);
      lens(p, QPointF(15 + 5 * std::cos(a), 15 + 5 * std::sin(a)));
    }));
  }
  Save(Strip(frames), "res", "246.bmp");
}

// The chat-record browser's tree and list pictures (16 x 16 on the list key colour): a time node, a
// record row and the query result.
void ChatRecordPictures() {
  auto magnifier = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 2.2));
    p.setBrush(QColor(225, 237, 252));
    p.drawEllipse(QRectF(3, 3, 10, 10));
    p.setPen(QPen(c, 3, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(12, 12), QPointF(17, 17));
  };
  Save(GlyphCell(16, 16, kMenuKey, Qt::white, Clock, kBlue, 0.95), "skin/default", "record_time.bmp");
  Save(GlyphCell(16, 16, kMenuKey, Qt::white, Bubble, kBlueDark, 0.95), "skin/default", "record_item.bmp");
  Save(GlyphCell(16, 16, kMenuKey, Qt::white, magnifier, kInk, 0.95), "skin/default", "record_query.bmp");
  // The browser's tool-bar bitmap (258): 16 x 15 cells on the tool-bar grey (192, 192, 192), in order
  // query, copy, cut, delete, play, previous day, next day, refresh, export, close, select all, search.
  auto pages = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 1.4));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 2, 9, 11));
    p.drawRect(QRectF(8, 7, 9, 11));
  };
  auto scissors = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 1.6));
    p.setBrush(Qt::NoBrush);
    p.drawEllipse(QRectF(2.5, 12, 5, 5));
    p.drawEllipse(QRectF(12.5, 12, 5, 5));
    p.drawLine(QPointF(6.5, 12.5), QPointF(13, 2));
    p.drawLine(QPointF(13.5, 12.5), QPointF(7, 2));
  };
  auto arrow = [](bool left) {
    return [left](QPainter& p, const QColor& c) {
      p.setPen(Qt::NoPen);
      p.setBrush(c);
      p.drawPolygon(left ? QPolygonF{{3, 10}, {10, 3}, {10, 7}, {17, 7}, {17, 13}, {10, 13}, {10, 17}}
                         : QPolygonF{{17, 10}, {10, 3}, {10, 7}, {3, 7}, {3, 13}, {10, 13}, {10, 17}});
    };
  };
  auto refresh = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(3.5, 3.5, 13, 13), 60 * 16, 280 * 16);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(QPolygonF{{11, 1}, {17, 4}, {11, 8}});
  };
  auto save = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 1.4));
    p.setBrush(Qt::white);
    p.drawRect(QRectF(3, 2, 14, 16));
    p.setPen(QPen(c, 1.2));
    for (int y = 6; y <= 14; y += 4) p.drawLine(QPointF(6, y), QPointF(14, y));
  };
  auto all = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c, 1.4, Qt::DashLine));
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRectF(2.5, 2.5, 15, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawRect(QRectF(6, 6, 8, 8));
  };
  const QColor grey(192, 192, 192);
  auto tool = [&](const Glyph& g, const QColor& c) { return GlyphCell(16, 15, grey, QColor(236, 233, 216), g, c, 0.9); };
  Save(Strip({tool(magnifier, kBlueDark), tool(pages, kInk), tool(scissors, kInk), tool(Cross, kRed), tool(Play, kGreen),
              tool(arrow(true), kBlue), tool(arrow(false), kBlue), tool(refresh, kGreen), tool(save, kBlueDark),
              tool(Cross, kInk), tool(all, kBlueDark), tool(magnifier, kInk)}),
       "res", "258.bmp");
}

// The chat window's state buttons (14 x 18, on the key colour): an arrow pointing left (the member area
// comes back) or right (it goes), plain and selected, and the grey "disable" form of each picture.
void ChatStateButtons() {
  auto button = [](bool right, bool selected, bool disabled) {
    const QColor face = disabled ? QColor(236, 237, 239) : selected ? QColor(221, 233, 248) : QColor(247, 250, 255);
    const QColor edge = disabled ? QColor(204, 207, 212) : selected ? kBlue.lighter(130) : QColor(213, 224, 238);
    const QColor ink = disabled ? QColor(176, 181, 189) : selected ? kBlueDark : QColor(90, 126, 176);
    return Keyed(14, 18, kMagenta, Qt::white, [=](QPainter& p) {
      p.setPen(QPen(edge, 1));
      p.setBrush(face);
      p.drawRoundedRect(QRectF(0.5, 0.5, 13, 17), 3, 3);
      p.setPen(Qt::NoPen);
      p.setBrush(ink);
      p.drawPolygon(right ? QPolygonF{{5, 5}, {10, 9}, {5, 13}} : QPolygonF{{9, 5}, {4, 9}, {9, 13}});
    });
  };
  for (bool right : {false, true})
    for (bool selected : {false, true}) {
      const QString name = QStringLiteral("im_state_%1%2.bmp").arg(right ? "right" : "", selected ? "select" : "normal");
      Save(button(right, selected, false), "skin/default", name);
      Save(button(right, selected, true), "skin/default", "disable" + name);
    }
  // The panes' bars, "im_top.bmp" beside the history and "im_bottom.bmp" beside the input box: a frame of
  // 0x976044 round a light fill that deepens downwards, 14 pixels wide: a 6-pixel cap either side of
  // the two middle columns that stretch.
  auto bar = [](int h, const QColor& low) {
    return Keyed(14, h, kMagenta, Qt::white, [=](QPainter& p) {
      p.setRenderHint(QPainter::Antialiasing, false);
      QLinearGradient g(0, 0, 0, h);
      g.setColorAt(0, QColor(0xfb, 0xfd, 0xff));
      g.setColorAt(1, low);
      p.fillRect(QRect(0, 0, 14, h), g);
      p.setPen(QPen(QColor(0x44, 0x60, 0x97).lighter(150), 1));
      p.setBrush(Qt::NoBrush);
      p.drawRect(QRect(0, 0, 13, h - 1));
    });
  };
  Save(bar(118, QColor(0xeb, 0xf1, 0xfa)), "skin/default", "im_top.bmp");
  Save(bar(98, QColor(0xe4, 0xec, 0xf7)), "skin/default", "im_bottom.bmp");
  // The grey form of the panes' fold arrow (im_arrow.bmp itself comes with the installation's pictures).
  Save(Keyed(8, 10, kMagenta, Qt::white, [](QPainter& p) {
         p.setPen(Qt::NoPen);
         p.setBrush(QColor(176, 181, 189));
         p.drawPolygon(QPolygonF{{1, 0}, {7, 5}, {1, 10}});
       }),
       "skin/default", "disableim_arrow.bmp");
}

// The chat window's pictures: its upper tool-bar strip (32 x 32 cells on magenta, and the disabled
// strip), the format bar's strip (16 x 15 cells on white), the Send and press-to-talk pictures with
// their shared mask, and the history's voice icon, system-notice sign and offline sign.
void ChatWindowPictures() {
  const QColor barFace(236, 242, 250);
  auto kick = [](QPainter& p, const QColor& c) {
    p.save();
    p.scale(0.85, 0.85);
    Person(p, c);
    p.restore();
    p.setPen(QPen(kRed, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13, 3), QPointF(18.5, 8.5));
    p.drawLine(QPointF(18.5, 3), QPointF(13, 8.5));
  };
  auto block = [](QPainter& p, const QColor& c) {
    Person(p, c);
    NoSign(p);
  };
  // The upper bar in its button order: invite, call, kick, end, block.
  const QList<std::pair<Glyph, QColor>> upper = {
      {InvitePeople, kBlue}, {Phone, kGreen}, {kick, kInk}, {Hangup, kRed}, {block, kInk}};
  QList<QImage> on, off;
  for (const auto& [glyph, colour] : upper) {
    on.append(GlyphCell(32, 32, kMagenta, barFace, glyph, colour, 0.9));
    off.append(GlyphCell(32, 32, kMagenta, barFace, glyph, kGrey.lighter(115), 0.9));
  }
  Save(Strip(on), "skin/default", "qzBar.bmp");
  Save(Strip(off), "skin/default", "qzBar_disable.bmp");
  // The format bar: auto-play, font, emoticons, and the hidden button's cell.
  const QList<std::pair<Glyph, QColor>> format = {{Play, kGreen}, {Font, kInk}, {Smile, kAmber}, {Bubble, kBlue}};
  QList<QImage> cells;
  for (const auto& [glyph, colour] : format) cells.append(GlyphCell(16, 15, Qt::white, barFace, glyph, colour, 0.95));
  Save(Strip(cells), "skin/default", "chatbar2.bmp");

  // Send (205 normal, 206 down) and press-to-talk (219 normal, 218 down) share the mask 207.
  const int w = 100, h = 30;
  auto pill = [&](const QColor& top, const QColor& bottom, const QColor& edge, const Glyph& glyph, const QColor& icon) {
    return Pill(w, h, top, bottom, edge, 20, 0.8, glyph, icon);
  };
  // Send: a paper plane.
  auto plane = [](QPainter& p, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(QPolygonF({QPointF(2, 9.5), QPointF(18, 3), QPointF(12.5, 17.5), QPointF(9.5, 11)}));
    p.setBrush(c.darker(130));
    p.drawPolygon(QPolygonF({QPointF(9.5, 11), QPointF(18, 3), QPointF(10.5, 15.5)}));
  };
  const QColor blue = kBlue.lighter(105);
  Save(pill(blue, kBlueDark, kBlueDark.darker(110), plane, Qt::white), "res", "205.bmp");
  Save(pill(kBlueDark, kBlueDark.darker(115), kBlueDark.darker(130), plane, Qt::white), "res", "206.bmp");
  Save(pill(QColor(250, 251, 253), QColor(232, 238, 246), kBlue, Microphone, Qt::white), "res", "219.bmp");
  Save(pill(kBlue.lighter(110), kBlueDark, kBlueDark.darker(115), Microphone, Qt::white), "res", "218.bmp");
  Save(PillMask(w, h), "res", "207.bmp");

  // The history view's pictures, drawn on its white background.
  auto voice = [](QPainter& p, const QColor& c) {
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPolygon(QPolygonF({QPointF(2, 7.5), QPointF(6, 7.5), QPointF(11, 3), QPointF(11, 17), QPointF(6, 12.5),
                             QPointF(2, 12.5)}));
    p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(8, 6, 6, 8), -60 * 16, 120 * 16);
    p.drawArc(QRectF(8, 3, 10, 14), -60 * 16, 120 * 16);
  };
  auto warn = [](QPainter& p, const QColor& c) {
    p.setPen(QPen(c.darker(115), 1, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(c);
    p.drawPolygon(QPolygonF({QPointF(10, 2), QPointF(18.5, 17.5), QPointF(1.5, 17.5)}));
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(10, 7.5), QPointF(10, 12));
    p.drawPoint(QPointF(10, 15));
  };
  auto offline = [](QPainter& p, const QColor& c) {
    Person(p, c);
    p.setPen(QPen(Qt::white, 1.2));
    p.setBrush(kRed);
    p.drawEllipse(QRectF(11, 11, 8.5, 8.5));
    p.setPen(QPen(Qt::white, 1.5, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(13.2, 13.2), QPointF(17.3, 17.3));
    p.drawLine(QPointF(17.3, 13.2), QPointF(13.2, 17.3));
  };
  Save(GlyphCell(22, 22, Qt::white, Qt::white, voice, kBlue, 0.95), "res", "201.bmp");
  Save(GlyphCell(16, 16, Qt::white, Qt::white, warn, kAmber, 0.95), "res", "202.bmp");
  Save(GlyphCell(16, 16, Qt::white, Qt::white, offline, kGrey, 0.95), "res", "208.bmp");
}

// The chat-room dialogs' icons (205: a room, two speech bubbles; 221: stop, a red disc with a cross) as
// 32 x 32 icon files, and the wait dialog's animation.
void ChatRoomIcons() {
  auto icon = [](const std::function<void(QPainter&)>& draw, const QString& name) {
    QImage img(32, 32, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(1.6, 1.6);
    draw(p);
    p.end();
    QDir().mkpath(g_root + "/res");
    const QString path = g_root + "/res/" + name;
    if (!img.convertToFormat(QImage::Format_ARGB32).save(path, "ICO")) {
      std::fprintf(stderr, "skingen: cannot write %s\n", qPrintable(path));
      return;
    }
    ++g_written;
  };
  icon([](QPainter& p) {
         p.save();
         p.translate(3, 3);
         p.scale(0.85, 0.85);
         Bubble(p, kBlue.lighter(125));
         p.restore();
         p.translate(-1, -1);
         p.scale(0.85, 0.85);
         Bubble(p, kBlueDark);
       },
       "205.ico");
  icon([](QPainter& p) {
         p.setPen(QPen(kRed.darker(130), 1));
         p.setBrush(kRed);
         p.drawEllipse(QRectF(1.5, 1.5, 17, 17));
         p.scale(0.7, 0.7);
         p.translate(4.3, 4.3);
         Cross(p, Qt::white);
       },
       "221.ico");
  // Bitmap 201, the voice picture, is the chat window's own (ChatWindowPictures).
  // The wait dialog's animation (220): a strip of 16 frames of 32 x 32, a message going from one speech
  // bubble to the other, on the dialog's face colour.
  QList<QImage> frames;
  for (int i = 0; i < 16; ++i) {
    frames.push_back(Keyed(32, 32, kMagenta, QColor(240, 240, 240), [i](QPainter& p) {
      p.save();
      p.scale(0.8, 0.8);
      Bubble(p, kBlueDark);
      p.restore();
      p.save();
      p.translate(16, 16);
      p.scale(0.8, 0.8);
      Bubble(p, kBlue.lighter(120));
      p.restore();
      const double t = i / 15.0;
      p.setPen(Qt::NoPen);
      p.setBrush(kRed);
      p.drawEllipse(QPointF(8 + 16 * t, 12 + 10 * t), 2.2, 2.2);
    }));
  }
  Save(Strip(frames), "res", "220_anim.bmp");
  // The SMS dialog's recipients button draws bitmap 205, the chat window's Send picture.
}

// The about box's three pictures, shown on its white face: 163 the band across the top, 164 the
// product's mark, 165 the product's name.
void AboutPictures() {
  {
    QImage band(420, 56, QImage::Format_RGB32);
    QPainter p(&band);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 420, 56);
    g.setColorAt(0, kBlueDark);
    g.setColorAt(1, kBlue.lighter(115));
    p.fillRect(band.rect(), g);
    // Sound waves fading to the right.
    p.setBrush(Qt::NoBrush);
    for (int i = 0; i < 4; ++i) {
      p.setPen(QPen(QColor(255, 255, 255, 70 - i * 14), 2));
      p.drawArc(QRectF(250 + i * 24, -32, 120, 120), -60 * 16, 120 * 16);
    }
    p.end();
    Save(band, "res", "163.bmp");
  }
  Save(Keyed(56, 56, Qt::white, Qt::white, [](QPainter& p) {
         QLinearGradient g(0, 0, 0, 56);
         g.setColorAt(0, kBlue.lighter(112));
         g.setColorAt(1, kBlueDark);
         p.setPen(Qt::NoPen);
         p.setBrush(g);
         p.drawRoundedRect(QRectF(2, 2, 52, 52), 12, 12);
         QPainterPath bubble;
         bubble.addRoundedRect(QRectF(11, 13, 34, 25), 8, 8);
         QPainterPath tail;
         tail.moveTo(18, 36), tail.lineTo(15, 46), tail.lineTo(27, 37.5);
         p.setBrush(Qt::white);
         p.drawPath(bubble.united(tail));
         p.setPen(QPen(kBlueDark, 2.6, Qt::SolidLine, Qt::RoundCap));
         for (int i = 0; i < 4; ++i) {
           const double h = (i == 1 || i == 2) ? 12 : 6;
           p.drawLine(QPointF(21.5 + i * 4.5, 25.5 - h / 2), QPointF(21.5 + i * 4.5, 25.5 + h / 2));
         }
       }),
       "res", "164.bmp");
  Save(Keyed(200, 56, Qt::white, Qt::white, [](QPainter& p) {
         QFont f(QStringLiteral("DejaVu Sans"));
         f.setPixelSize(30);
         f.setBold(true);
         p.setFont(f);
         p.setPen(kBlueDark);
         p.drawText(QRect(4, 2, 196, 40), Qt::AlignLeft | Qt::AlignVCenter, QStringLiteral("Tessaly"));
         p.setPen(Qt::NoPen);
         p.setBrush(kBlue.lighter(125));
         p.drawRoundedRect(QRectF(6, 44, 120, 3), 1.5, 1.5);
       }),
       "res", "165.bmp");
}

int main(int argc, char** argv) {
  QGuiApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: tessaly_skingen <output folder>\n");
    return 2;
  }
  g_root = QString::fromLocal8Bit(argv[1]);
  Keypad();
  PillButtons();
  PressToTalk();
  Toolbars();
  MenuPictures();
  TabPictures();
  StatusPictures();
  HeadPicture();
  TipFrames();
  Cursors();
  AddressBookPictures();
  SearchPictures();
  ChatStateButtons();
  ChatRecordPictures();
  ChatWindowPictures();
  ChatRoomIcons();
  ServicePage();
  AboutPictures();
  SkinIni();
  std::printf("skingen: %d pictures in %s\n", g_written, qPrintable(g_root));
  return 0;
}
