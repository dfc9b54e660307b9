// Draws the calls windows' skin pictures and writes their sounds into <build>/skin/default, and the
// program's own pictures that stand in for missing skin files into <build>/res.
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <cmath>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

QString g_root;
const QColor kMagenta(255, 0, 255);
const QColor kListKey(0xEC, 0xE9, 0xD8);
const QColor kBlue(47, 123, 217);
const QColor kGreen(46, 170, 98);
const QColor kRed(222, 76, 68);
const QColor kInk(34, 48, 71);
const QColor kBarFace(238, 242, 247);  // the dial bar's background

bool Save(const QImage& img, const QString& name) {
    const QString dir = g_root + "/skin/default";
    QDir().mkpath(dir);
    return img.convertToFormat(QImage::Format_RGB32).save(dir + "/" + name, "BMP");
}

// One of the program's own pictures (a bitmap resource by number).
bool SaveResource(const QImage& img, int id) {
    const QString dir = g_root + "/res";
    QDir().mkpath(dir);
    return img.convertToFormat(QImage::Format_RGB32).save(QStringLiteral("%1/%2.bmp").arg(dir).arg(id), "BMP");
}

QImage Canvas(int w, int h, const QColor& bg) {
    QImage img(w, h, QImage::Format_RGB32);
    img.fill(bg);
    return img;
}

void PhoneGlyph(QPainter& p, QRectF r, const QColor& c, bool down) {
    p.save();
    p.translate(r.center());
    p.rotate(down ? 135 : 0);
    const qreal s = std::min(r.width(), r.height()) / 24.0;
    p.scale(s, s);
    QPainterPath path;
    path.moveTo(-8, -9);
    path.cubicTo(-11, -6, -11, 2, -4, 8);
    path.cubicTo(2, 13, 8, 12, 10, 9);
    path.lineTo(6, 4);
    path.lineTo(2, 6);
    path.cubicTo(-1, 4, -4, 1, -5, -3);
    path.lineTo(-3, -6);
    path.closeSubpath();
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawPath(path);
    p.restore();
}

void Arrow(QPainter& p, QRectF r, const QColor& c, bool in) {
    p.save();
    p.setPen(QPen(c, r.width() / 7, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF a = in ? r.topRight() + QPointF(-r.width() * 0.2, r.height() * 0.2) : r.bottomLeft() + QPointF(r.width() * 0.2, -r.height() * 0.2);
    const QPointF b = in ? r.bottomLeft() + QPointF(r.width() * 0.25, -r.height() * 0.25) : r.topRight() + QPointF(-r.width() * 0.25, r.height() * 0.25);
    p.drawLine(a, b);
    const qreal k = r.width() * 0.32;
    if (in) {
        p.drawLine(b, b + QPointF(k, 0));
        p.drawLine(b, b + QPointF(0, -k));
    } else {
        p.drawLine(b, b + QPointF(-k, 0));
        p.drawLine(b, b + QPointF(0, k));
    }
    p.restore();
}

// A round key: digit and letters; selected keys are filled blue.
void Key(const QString& base, const QString& digit, const QString& letters) {
    for (int state = 0; state < 2; ++state) {
        QImage img = Canvas(40, 40, Qt::white);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        p.setRenderHint(QPainter::TextAntialiasing);
        QRadialGradient g(QPointF(20, 14), 24);
        g.setColorAt(0, state ? kBlue.lighter(115) : QColor(252, 253, 255));
        g.setColorAt(1, state ? kBlue : QColor(232, 238, 247));
        p.setBrush(g);
        p.setPen(QPen(state ? kBlue.darker(120) : QColor(200, 210, 226), 1));
        p.drawEllipse(QRectF(1.5, 1.5, 37, 37));
        QFont f("DejaVu Sans");
        f.setPixelSize(letters.isEmpty() ? 18 : 16);
        f.setBold(true);
        p.setFont(f);
        p.setPen(state ? Qt::white : kInk);
        p.drawText(QRectF(0, letters.isEmpty() ? 0 : -4, 40, 40), Qt::AlignCenter, digit);
        if (!letters.isEmpty()) {
            f.setPixelSize(7);
            f.setBold(false);
            p.setFont(f);
            p.setPen(state ? QColor(225, 236, 252) : QColor(120, 132, 150));
            p.drawText(QRectF(0, 25, 40, 9), Qt::AlignCenter, letters);
        }
        p.end();
        Save(img, base + (state ? "sel.bmp" : ".bmp"));
    }
}

// The dial page's delete button (25 x 19 on the list key colour): a back-space key, filled blue
// when the pointer is over it.
void DeleteKey(const QString& name, bool hover) {
    QImage img = Canvas(25, 19, kListKey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath key;
    key.moveTo(2, 9.5);
    key.lineTo(8, 2.5);
    key.lineTo(22.5, 2.5);
    key.lineTo(22.5, 16.5);
    key.lineTo(8, 16.5);
    key.closeSubpath();
    p.setPen(QPen(hover ? kBlue.darker(120) : QColor(120, 132, 150), 1.2));
    p.setBrush(hover ? kBlue : QColor(250, 251, 253));
    p.drawPath(key);
    p.setPen(QPen(hover ? Qt::white : kInk, 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(11.5, 6.5), QPointF(17.5, 12.5));
    p.drawLine(QPointF(17.5, 6.5), QPointF(11.5, 12.5));
    p.end();
    Save(img, name);
}

// A wide pill button of the dial bar.
void BarButton(const QString& base, const QColor& colour, bool hangup) {
    const struct {
        const char* suffix;
        QColor fill;
    } states[] = {{"", colour}, {"sel", colour.darker(115)}, {"focus", colour.lighter(110)}, {"disabled", QColor(196, 202, 212)}};
    for (const auto& s : states) {
        QImage img = Canvas(76, 30, kBarFace);  // drawn on the bar's own colour: no keyed fringe
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        QLinearGradient g(0, 0, 0, 30);
        g.setColorAt(0, s.fill.lighter(112));
        g.setColorAt(1, s.fill);
        p.setBrush(g);
        p.setPen(QPen(s.fill.darker(112), 1));
        p.drawRoundedRect(QRectF(0.5, 0.5, 75, 29), 14.5, 14.5);
        PhoneGlyph(p, QRectF(26, 3, 24, 24), Qt::white, hangup);
        p.end();
        Save(img, base + s.suffix + ".bmp");
    }
}

void Direction(const QString& name, const QColor& c, bool in, int size, const QColor& key) {
    QImage img = Canvas(size, size, key);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::NoPen);
    p.setBrush(c);
    p.drawEllipse(QRectF(0.5, 0.5, size - 1, size - 1));
    Arrow(p, QRectF(size * 0.2, size * 0.2, size * 0.6, size * 0.6), Qt::white, in);
    p.end();
    Save(img, name);
}

// A member tile's picture: the skin's default head picture with the direction of the member's call
// as a badge in its lower right corner.
void MemberPicture(const QString& name, const QColor& c, bool in) {
    QImage img(g_root + "/skin/default/usericondef.bmp");
    if (img.isNull()) img = Canvas(64, 64, QColor(200, 214, 236));
    img = img.convertToFormat(QImage::Format_RGB32);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal d = img.width() * 0.38;
    const QRectF badge(img.width() - d - 2, img.height() - d - 2, d, d);
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(c);
    p.drawEllipse(badge);
    Arrow(p, badge.adjusted(d * 0.22, d * 0.22, -d * 0.22, -d * 0.22), Qt::white, in);
    p.end();
    Save(img, name);
}

// The call log's tool bar strip: thirteen 16 x 15 images, the first six the bar's buttons.
QImage g_logBar;

// A call log picture at 32 x 32; with a strip index the same drawing also goes into the strip.
// The same picture is also the program's own resource when one is given.
void LogIcon(const QString& name, const std::function<void(QPainter&, QRectF)>& draw, const QColor& bg, int stripIndex = -1,
             int resource = 0) {
    auto paint = [&](QPainter& p) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setPen(Qt::NoPen);
        p.setBrush(bg);
        p.drawRoundedRect(QRectF(1, 1, 30, 30), 9, 9);
        draw(p, QRectF(6, 6, 20, 20));
    };
    QImage img = Canvas(32, 32, kListKey);
    QPainter p(&img);
    paint(p);
    p.end();
    Save(img, name);
    if (resource) SaveResource(img, resource);
    if (stripIndex < 0) return;
    if (g_logBar.isNull()) g_logBar = Canvas(16 * 13, 15, kListKey);
    QPainter s(&g_logBar);
    s.translate(stripIndex * 16, 0);
    s.scale(15.0 / 32, 15.0 / 32);
    paint(s);
}

void Presence(const QString& name, const QColor& c) {
    QImage img = Canvas(16, 16, kListKey);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(QPen(c.darker(120), 1));
    p.setBrush(c);
    p.drawEllipse(QRectF(5, 1.5, 6, 6));
    p.drawChord(QRectF(2, 8.5, 12, 12), 0, 180 * 16);
    p.end();
    Save(img, name);
}

// 16-bit mono tones: each part is {frequency A, frequency B (0: none), milliseconds, on}.
struct Part {
    double f1, f2;
    int ms;
    bool on;
};
void Tone(const QString& name, const std::vector<Part>& parts, double volume = 0.25) {
    const int rate = 8000;
    std::vector<int16_t> pcm;
    for (const Part& part : parts) {
        const int n = rate * part.ms / 1000;
        for (int i = 0; i < n; ++i) {
            double v = 0;
            if (part.on) {
                const double t = static_cast<double>(i) / rate;
                v = std::sin(2 * M_PI * part.f1 * t);
                if (part.f2 > 0) v = (v + std::sin(2 * M_PI * part.f2 * t)) / 2;
                const double edge = std::min(1.0, std::min(i, n - i) / 80.0);  // no clicks
                v *= edge * volume;
            }
            pcm.push_back(static_cast<int16_t>(v * 32767));
        }
    }
    auto le16 = [](int v) { return QByteArray(reinterpret_cast<const char*>(&v), 2); };
    auto le32 = [](int v) { return QByteArray(reinterpret_cast<const char*>(&v), 4); };
    const QByteArray data(reinterpret_cast<const char*>(pcm.data()), static_cast<int>(pcm.size() * 2));
    const QByteArray wav = "RIFF" + le32(36 + data.size()) + "WAVEfmt " + le32(16) + le16(1) + le16(1) + le32(rate) +
                           le32(rate * 2) + le16(2) + le16(16) + "data" + le32(data.size()) + data;
    QFile f(g_root + "/skin/default/" + name);
    if (f.open(QIODevice::WriteOnly | QIODevice::Truncate)) f.write(wav);
}

}  // namespace

int main(int argc, char** argv) {
    QGuiApplication app(argc, argv);
    if (argc < 2) {
        std::fprintf(stderr, "usage: callsgen <build folder>\n");
        return 2;
    }
    g_root = QString::fromLocal8Bit(argv[1]);
    const char* letters[10] = {"+", "", "ABC", "DEF", "GHI", "JKL", "MNO", "PQRS", "TUV", "WXYZ"};
    for (int d = 0; d < 10; ++d) Key(QStringLiteral("bdn%1").arg(d), QString::number(d), letters[d]);
    Key("bdnstar", "*", "");
    Key("bdnsharp", "#", "");
    DeleteKey("dial_delete.bmp", false);
    DeleteKey("dial_deletesel.bmp", true);
    BarButton("dial", kGreen, false);
    BarButton("hangup", kRed, true);
    Direction("callin.bmp", kGreen, true, 24, kMagenta);
    Direction("callout.bmp", kBlue, false, 24, kMagenta);
    MemberPicture("conf_callin.bmp", kGreen, true);
    MemberPicture("conf_callout.bmp", kBlue, false);
    LogIcon("calllogin.bmp", [](QPainter& p, QRectF r) { Arrow(p, r, Qt::white, true); }, kGreen, 2, 172);
    LogIcon("calllogout.bmp", [](QPainter& p, QRectF r) { Arrow(p, r, Qt::white, false); }, kBlue, 3, 173);
    LogIcon("calllogmiss.bmp", [](QPainter& p, QRectF r) { PhoneGlyph(p, r, Qt::white, true); }, kRed, 1, 171);
    LogIcon("calllogall.bmp", [](QPainter& p, QRectF r) { PhoneGlyph(p, r, Qt::white, false); }, QColor(110, 124, 146), 0);
    LogIcon("calllogdel.bmp", [](QPainter& p, QRectF r) {
        p.setPen(QPen(Qt::white, 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(r.topLeft() + QPointF(3, 3), r.bottomRight() - QPointF(3, 3));
        p.drawLine(r.topRight() + QPointF(-3, 3), r.bottomLeft() + QPointF(3, -3));
    }, QColor(150, 158, 172), 4);
    LogIcon("calllogrecord.bmp", [](QPainter& p, QRectF r) {
        p.setPen(QPen(Qt::white, 2));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(r.adjusted(1, 2, -1, -4), 3, 3);
        p.drawLine(QPointF(r.left() + 5, r.top() + 8), QPointF(r.right() - 5, r.top() + 8));
        p.drawLine(QPointF(r.left() + 5, r.top() + 12), QPointF(r.right() - 8, r.top() + 12));
    }, QColor(240, 164, 40), 5);
    Save(g_logBar, "calllogbar.bmp");
    SaveResource(g_logBar, 170);
    // Menu pictures (16 x 16 on the menus' key colour); the call log's also as its own resources.
    auto menuIcon = [](const QString& name, const std::function<void(QPainter&)>& draw, int resource = 0) {
        QImage img = Canvas(16, 16, kListKey);
        QPainter p(&img);
        p.setRenderHint(QPainter::Antialiasing);
        draw(p);
        p.end();
        if (!name.isEmpty()) Save(img, name);
        if (resource) SaveResource(img, resource);
    };
    menuIcon("menudial.bmp", [](QPainter& p) { PhoneGlyph(p, QRectF(1, 1, 14, 14), kGreen, false); }, 212);
    menuIcon("menuaddcontact.bmp", [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawEllipse(QRectF(3, 1, 6, 6));
        p.drawChord(QRectF(0, 8, 12, 12), 0, 180 * 16);
        p.setPen(QPen(kGreen, 2));
        p.drawLine(QPointF(12, 6), QPointF(12, 14));
        p.drawLine(QPointF(8, 10), QPointF(16, 10));
    }, 211);
    menuIcon("menudel.bmp", [](QPainter& p) {
        p.setPen(QPen(kRed, 2.2, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(4, 4), QPointF(12, 12));
        p.drawLine(QPointF(12, 4), QPointF(4, 12));
    }, 210);
    // The message picture of the skin comes with the skin's menu pictures; the call log keeps its own.
    menuIcon("", [](QPainter& p) {
        p.setPen(Qt::NoPen);
        p.setBrush(kBlue);
        p.drawRoundedRect(QRectF(1, 2, 14, 9), 3, 3);
        QPainterPath tail;
        tail.moveTo(4, 10);
        tail.lineTo(4, 14);
        tail.lineTo(8, 10);
        tail.closeSubpath();
        p.drawPath(tail);
    }, 213);
    Presence("addr_useronline.bmp", kGreen);
    Presence("addr_useroffline.bmp", QColor(170, 176, 186));
    // Sounds: ring-in (two-tone bursts), ring-back, busy, hang-up, key click.
    Tone("ringin.wav", {{440, 480, 400, true}, {0, 0, 200, false}, {440, 480, 400, true}, {0, 0, 1000, false}});
    Tone("ringout.wav", {{425, 0, 1000, true}, {0, 0, 500, false}}, 0.2);
    Tone("ringbusy.wav", {{425, 0, 350, true}, {0, 0, 350, false}}, 0.2);
    Tone("HANGUP.wav", {{620, 0, 120, true}, {0, 0, 40, false}, {480, 0, 180, true}}, 0.2);
    Tone("keydown.wav", {{1209, 697, 60, true}}, 0.15);
    // The dial bar's local page.
    for (auto [file, line] : {std::pair{"adv.htm", "Calls, conferences and messages"}}) {
        QFile adv(g_root + "/skin/default/" + file);
        if (!adv.open(QIODevice::WriteOnly | QIODevice::Truncate)) continue;
        adv.write("<html><head><meta charset=\"utf-8\"></head>"
                  "<body style=\"margin:0;background:#eef2f7;font-family:sans-serif;font-size:11px;color:#52607a\">"
                  "<div style=\"text-align:center;padding-top:8px\"><b style=\"color:#2f7bd9\">Tessaly</b><br>");
        adv.write(QString(line).toUtf8());
        adv.write("</div></body></html>");
    }
    return 0;
}
