// Draws the shell's own pictures and sounds into an installation folder: splash, login banner, tray
// icons, head pictures, emoticons, the program icon and the two notification sounds.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QtMath>
#include <cstdio>

namespace {

QString g_root;
const QColor kBlue(0x2F, 0x6F, 0xD6), kBlueDark(0x16, 0x3F, 0x8C), kTrayKey(0xEC, 0xE9, 0xD8);

bool Save(const QImage& image, const QString& folder, const QString& name) {
    QDir().mkpath(g_root + "/" + folder);
    const QString path = g_root + "/" + folder + "/" + name;
    const bool png = name.endsWith(".png");
    if (!image.convertToFormat(png ? QImage::Format_ARGB32 : QImage::Format_RGB888).save(path, png ? "PNG" : "BMP")) {
        std::fprintf(stderr, "installgen: cannot write %s\n", qPrintable(path));
        return false;
    }
    return true;
}

// The product mark: a speech bubble with a sound wave.
void Mark(QPainter& p, QRectF r, const QColor& fill, const QColor& wave) {
    QPainterPath bubble;
    const qreal w = r.width(), h = r.height();
    bubble.addRoundedRect(QRectF(r.left(), r.top(), w, h * 0.8), w * 0.24, w * 0.24);
    QPainterPath tail;
    tail.moveTo(r.left() + w * 0.22, r.top() + h * 0.7);
    tail.lineTo(r.left() + w * 0.16, r.bottom());
    tail.lineTo(r.left() + w * 0.46, r.top() + h * 0.76);
    p.setPen(Qt::NoPen);
    p.setBrush(fill);
    p.drawPath(bubble.united(tail));
    p.setPen(QPen(wave, qMax<qreal>(1.2, w * 0.075), Qt::SolidLine, Qt::RoundCap));
    const qreal cy = r.top() + h * 0.4;
    const qreal heights[] = {0.16, 0.34, 0.5, 0.3, 0.18};
    for (int i = 0; i < 5; ++i) {
        const qreal x = r.left() + w * (0.26 + i * 0.12);
        p.drawLine(QPointF(x, cy - h * heights[i] / 2), QPointF(x, cy + h * heights[i] / 2));
    }
}

QImage Splash() {
    QImage img(420, 260, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 420, 260);
    g.setColorAt(0, QColor(0x35, 0x79, 0xE0));
    g.setColorAt(1, kBlueDark);
    p.fillRect(img.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 18));
    p.drawEllipse(QPointF(380, 30), 150, 150);
    p.drawEllipse(QPointF(40, 250), 110, 110);
    Mark(p, QRectF(172, 46, 76, 70), Qt::white, kBlue);
    QFont f("WenQuanYi Micro Hei");
    f.setPixelSize(34);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(0, 126, 420, 44), Qt::AlignCenter, "Tessaly");
    f.setBold(false);
    f.setPixelSize(11);
    p.setFont(f);
    p.setPen(QColor(0xB4, 0xC9, 0xEE));
    p.drawText(QRect(0, 226, 410, 20), Qt::AlignRight | Qt::AlignVCenter, "0.9.6");
    return img;
}

QImage LoginBanner() {
    QImage img(380, 96, QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient g(0, 0, 380, 96);
    g.setColorAt(0, QColor(0x35, 0x79, 0xE0));
    g.setColorAt(1, kBlueDark);
    p.fillRect(img.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 18));
    p.drawEllipse(QPointF(350, 10), 80, 80);
    Mark(p, QRectF(28, 22, 50, 46), Qt::white, kBlue);
    QFont f("WenQuanYi Micro Hei");
    f.setPixelSize(24);
    f.setBold(true);
    p.setFont(f);
    p.setPen(Qt::white);
    p.drawText(QRect(92, 24, 260, 30), Qt::AlignLeft | Qt::AlignVCenter, "Tessaly");
    return img;
}

// The chat window's picture-pane bars: a light panel with a soft frame, its corners in the key colour.
// A chat pane's bar, 14 pixels wide: the left cap, two middle columns that stretch and the right cap.
QImage ChatBar(const QColor& top, const QColor& bottom) {
    QImage img(14, 220, QImage::Format_RGB32);
    img.fill(QColor(255, 0, 255));
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing, false);
    QLinearGradient g(0, 0, 0, img.height());
    g.setColorAt(0, top);
    g.setColorAt(1, bottom);
    p.setPen(QColor(0xB9, 0xCB, 0xE2));
    p.setBrush(g);
    p.drawRoundedRect(QRectF(0, 0, img.width() - 1, img.height() - 1), 5, 5);
    return img;
}

// The arrow that folds a pane away, on the key colour.
QImage ChatArrow() {
    QImage img(8, 10, QImage::Format_RGB32);
    img.fill(QColor(255, 0, 255));
    QPainter p(&img);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x5A, 0x7E, 0xB0));
    p.drawPolygon(QPolygonF{{1, 0}, {7, 5}, {1, 10}});
    return img;
}

QImage Tray(const QColor& dot, bool ring) {
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(kTrayKey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    Mark(p, QRectF(0.5, 1, 13, 13), kBlue, Qt::white);
    p.setPen(QPen(Qt::white, 1));
    p.setBrush(dot);
    p.drawEllipse(QRectF(9, 9, 6.5, 6.5));
    if (ring) {
        p.setPen(QPen(QColor(0xF5, 0xB4, 0x3C), 1.5));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QRectF(0.8, 0.8, 14.4, 14.4));
    }
    return img;
}

QImage Head(int index, int size) {
    static const QColor backs[] = {{0x5B, 0x8D, 0xEF}, {0x3C, 0xB3, 0x71}, {0xF0, 0x8A, 0x4B}, {0x9B, 0x6B, 0xD9},
                                   {0xE0, 0x5A, 0x7A}, {0x2B, 0xB0, 0xC4}, {0x6C, 0x7A, 0x89}, {0xD4, 0xA0, 0x29}};
    QImage img(size, size, QImage::Format_RGB32);
    const QColor back = backs[index % 8];
    QLinearGradient g(0, 0, 0, size);
    g.setColorAt(0, back.lighter(115));
    g.setColorAt(1, back);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.fillRect(img.rect(), g);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(255, 255, 255, 230));
    p.drawEllipse(QRectF(size * 0.32, size * 0.18, size * 0.36, size * 0.36));
    QPainterPath body;
    body.addEllipse(QRectF(size * 0.14, size * 0.6, size * 0.72, size * 0.62));
    p.drawPath(body);
    return img;
}

QImage Face(int n) {
    QImage img(19, 19, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor face = QColor::fromHsv((40 + n * 7) % 60 + 30, 200, 250);
    p.setPen(QPen(face.darker(150), 1));
    p.setBrush(face);
    p.drawEllipse(QRectF(1.5, 1.5, 16, 16));
    p.setBrush(QColor(0x3A, 0x2A, 0x10));
    p.setPen(Qt::NoPen);
    p.drawEllipse(QRectF(6, 6.5, 2, 2.5));
    p.drawEllipse(QRectF(11, 6.5, 2, 2.5));
    p.setPen(QPen(QColor(0x3A, 0x2A, 0x10), 1.2, Qt::SolidLine, Qt::RoundCap));
    p.setBrush(Qt::NoBrush);
    const int mood = n % 4;
    if (mood == 0) p.drawArc(QRectF(5.5, 8, 8, 6), 200 * 16, 140 * 16);
    else if (mood == 1) p.drawLine(QPointF(6.5, 13), QPointF(12.5, 13));
    else if (mood == 2) p.drawArc(QRectF(6, 11.5, 7, 5), 20 * 16, 140 * 16);
    else p.drawEllipse(QRectF(8, 11, 3, 3));
    return img;
}

// The newer version's picture of the start page (bitmap 214): an arrow pointing up in a circle, on
// the key colour.
QImage UpdatePicture() {
    QImage img(20, 20, QImage::Format_RGB32);
    img.fill(kTrayKey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(kBlue);
    p.drawEllipse(QRectF(1, 1, 18, 18));
    p.setPen(QPen(Qt::white, 2.2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawLine(QPointF(10, 15), QPointF(10, 6));
    p.drawPolyline(QPolygonF({QPointF(6, 9.5), QPointF(10, 5.5), QPointF(14, 9.5)}));
    return img;
}

// The start page's picture where a skin has none of its own (bitmap 180): a small card.
QImage PlainPicture() {
    QImage img(16, 16, QImage::Format_RGB32);
    img.fill(kTrayKey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(kBlueDark, 1));
    p.setBrush(QColor(0xE8, 0xF0, 0xFC));
    p.drawRoundedRect(QRectF(1.5, 2.5, 13, 11), 2, 2);
    p.setPen(QPen(kBlue, 1.4, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(4.5, 6), QPointF(11.5, 6));
    p.drawLine(QPointF(4.5, 9.5), QPointF(9.5, 9.5));
    return img;
}

QImage AppIcon() {
    QImage img(64, 64, QImage::Format_ARGB32);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    Mark(p, QRectF(4, 6, 56, 54), kBlue, Qt::white);
    return img;
}

// A short two-tone chime as 16-bit mono PCM at 22050 Hz.
void Chime(const QString& name, double f1, double f2) {
    const int rate = 22050, n = rate * 35 / 100;
    QByteArray pcm;
    for (int i = 0; i < n; ++i) {
        const double t = double(i) / rate;
        const double f = i < n / 2 ? f1 : f2;
        const double env = std::exp(-6.0 * std::fmod(t, 0.175)) * (i < 200 ? i / 200.0 : 1.0);
        const auto v = static_cast<int16_t>(9000 * env * std::sin(2 * M_PI * f * t));
        pcm.append(static_cast<char>(v & 0xFF));
        pcm.append(static_cast<char>((v >> 8) & 0xFF));
    }
    auto le32 = [](uint32_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    auto le16 = [](uint16_t v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    QByteArray wav = "RIFF" + le32(36 + pcm.size()) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(rate) +
                     le32(rate * 2) + le16(2) + le16(16) + "data" + le32(pcm.size()) + pcm;
    // The frame plays its notice sounds from the skin folder.
    QDir().mkpath(g_root + "/skin/default");
    QFile f(g_root + "/skin/default/" + name);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(wav);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: tessaly_installgen <installation folder>\n");
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    bool ok = Save(Splash(), "skin/default", "splash.bmp") && Save(LoginBanner(), "skin/default", "login.bmp");
    ok = ok && Save(Tray(QColor(0x3C, 0xCF, 0x6E), false), "skin/default", "trayOnline.bmp");
    ok = ok && Save(ChatBar(QColor(0xFB, 0xFD, 0xFF), QColor(0xEB, 0xF1, 0xFA)), "skin/default", "im_top.bmp");
    ok = ok && Save(ChatBar(QColor(0xFB, 0xFD, 0xFF), QColor(0xE6, 0xEE, 0xF8)), "skin/default", "im_bottom.bmp");
    ok = ok && Save(ChatArrow(), "skin/default", "im_arrow.bmp");
    ok = ok && Save(Tray(QColor(0xB8, 0xC2, 0xCF), false), "skin/default", "trayOffline.bmp");
    ok = ok && Save(Tray(QColor(0xF0, 0x56, 0x4A), false), "skin/default", "trayBusy.bmp");
    ok = ok && Save(Tray(QColor(0x3C, 0xCF, 0x6E), true), "skin/default", "trayAnimateFrame1.bmp");
    ok = ok && Save(Tray(QColor(0xF5, 0xB4, 0x3C), false), "skin/default", "trayAnimateFrame2.bmp");
    for (int i = 0; i < 32; ++i) ok = ok && Save(Head(i, 64), "headpics", QStringLiteral("%1.bmp").arg(i, 2, 10, QChar('0')));
    for (int i = 1; i <= 49; ++i) ok = ok && Save(Face(i), "face", QStringLiteral("%1.bmp").arg(i, 2, 10, QChar('0')));
    ok = ok && Save(AppIcon(), "res", "128.png");
    ok = ok && Save(UpdatePicture(), "res", "214.bmp") && Save(PlainPicture(), "res", "180.bmp");
    Chime("msg.wav", 880, 1320);
    Chime("system.wav", 660, 990);
    return ok ? 0 : 1;
}
