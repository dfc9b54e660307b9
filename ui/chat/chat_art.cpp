// The chat windows' own pictures, drawn with QPainter so they scale and need no skin file.
#include "ui/chat/chat_art.h"

#include <QPainter>
#include <QPainterPath>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <map>

#include "platform/fs.h"
#include "ui/controls/skin.h"
#include "ui/shell/shell_config.h"

namespace chat {

const std::vector<Emoticon>& EmoticonTable() {
    static const std::vector<Emoticon> table = [] {
        const char* names[] = {"smile", "grin", "wink", "sad", "tongue", "surprised", "speechless", "kiss", "angry",
                               "shy", "cry", "sleepy", "cool", "confused", "silent", "shocked", "puzzled", "love",
                               "proud", "awkward", "happy", "calm", "glasses", "dizzy", "sick", "tired", "laugh",
                               "sigh", "sweat", "question", "wave", "hug", "rose", "heart", "broken heart", "star",
                               "sun", "moon", "coffee", "cake", "gift", "thumbs up", "thumbs down", "clap", "ok",
                               "no", "music", "phone", "mail"};
        const std::vector<std::string>& codes = EmoticonCodes();
        std::vector<Emoticon> t;
        for (size_t i = 0; i < codes.size() && i < sizeof names / sizeof names[0]; ++i) t.push_back({codes[i], names[i]});
        return t;
    }();
    return table;
}

int EmoticonAt(const QString& text, int at, int* codeLength) {
    if (at < 0) {
        if (codeLength) *codeLength = 0;
        return -1;
    }
    return EmoticonCodeAt(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()), static_cast<size_t>(text.size())),
                          static_cast<size_t>(at), codeLength);
}

namespace {

void Face(QPainter& p, double s, const QColor& fill) {
    QRadialGradient g(s * 0.4, s * 0.35, s * 0.7);
    g.setColorAt(0, fill.lighter(125));
    g.setColorAt(1, fill);
    p.setBrush(g);
    p.setPen(QPen(fill.darker(150), s / 20));
    p.drawEllipse(QRectF(s * 0.06, s * 0.06, s * 0.88, s * 0.88));
}

}  // namespace

QImage FaceFile(int index) {
    const std::string& folder = shell::Paths().appFolder;
    if (folder.empty() || index < 0 || index >= shell::kEmoticonCount) return {};
    char name[32];
    std::snprintf(name, sizeof name, "face/%02d.bmp", index + 1);
    return ctl::LoadBitmapFile(QString::fromStdString(plat::PathJoin(folder, name)));
}

int EmoticonCount() {
    const int table = static_cast<int>(EmoticonTable().size());
    const std::string& folder = shell::Paths().appFolder;
    return folder.empty() ? table : std::min(table, shell::CountEmoticons(folder));
}

QString EmoticonTip(int index) {
    if (index < 0 || index >= static_cast<int>(EmoticonTable().size())) return {};
    const QByteArray fallback = EmoticonTable()[index].name.toUtf8();
    return shell::LangText("action_tip", std::to_string(index).c_str(), fallback.constData());
}

QImage EmoticonImage(int index, int size) {
    static std::map<std::pair<int, int>, QImage> cache;
    static std::string cachedFolder;
    if (shell::Paths().appFolder != cachedFolder) {
        cache.clear();
        cachedFolder = shell::Paths().appFolder;
    }
    auto key = std::make_pair(index, size);
    if (auto it = cache.find(key); it != cache.end()) return it->second;
    // The installation's picture of the emoticon ("face/NN.bmp", white transparent), as the main window
    // loads it; drawn here only where there is no installation to read it from.
    if (const QImage face = FaceFile(index); !face.isNull()) {
        QImage img = ctl::KeyedPixmap(face, RGB(255, 255, 255))
                         .toImage()
                         .scaled(size, size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
        cache[key] = img;
        return img;
    }
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    const QColor yellow(0xff, 0xcc, 0x33), ink(0x5a, 0x3a, 0x10);
    QPen pen(ink, s / 14, Qt::SolidLine, Qt::RoundCap);
    if (index < 30) {
        QColor fill = index == 8 ? QColor(0xf0, 0x70, 0x50) : index == 9 ? QColor(0xff, 0xb0, 0x90) : yellow;
        Face(p, s, fill);
        p.setPen(pen);
        p.setBrush(ink);
        // eyes
        bool closed = index == 2 || index == 11 || index == 20 || index == 26;
        if (closed) {
            p.drawArc(QRectF(s * 0.27, s * 0.32, s * 0.16, s * 0.12), 0, 180 * 16);
            if (index == 2) p.drawEllipse(QPointF(s * 0.66, s * 0.38), s * 0.05, s * 0.06);
            else p.drawArc(QRectF(s * 0.57, s * 0.32, s * 0.16, s * 0.12), 0, 180 * 16);
        } else if (index == 12 || index == 22) {
            p.setBrush(QColor(0x20, 0x20, 0x30));
            p.drawRoundedRect(QRectF(s * 0.2, s * 0.3, s * 0.26, s * 0.14), s * 0.05, s * 0.05);
            p.drawRoundedRect(QRectF(s * 0.54, s * 0.3, s * 0.26, s * 0.14), s * 0.05, s * 0.05);
        } else {
            double r = index == 5 || index == 15 ? s * 0.07 : s * 0.05;
            p.drawEllipse(QPointF(s * 0.36, s * 0.38), r, r * 1.2);
            p.drawEllipse(QPointF(s * 0.64, s * 0.38), r, r * 1.2);
        }
        p.setBrush(Qt::NoBrush);
        // mouth
        int mood = index % 6;
        if (index == 3 || index == 10 || index == 27) mood = 1;
        if (index == 5 || index == 15) mood = 2;
        if (index == 6 || index == 14 || index == 21) mood = 3;
        if (index == 0 || index == 1 || index == 20 || index == 26) mood = 0;
        switch (mood) {
            case 1: p.drawArc(QRectF(s * 0.32, s * 0.6, s * 0.36, s * 0.22), 20 * 16, 140 * 16); break;
            case 2: p.drawEllipse(QPointF(s * 0.5, s * 0.68), s * 0.08, s * 0.1); break;
            case 3: p.drawLine(QPointF(s * 0.36, s * 0.68), QPointF(s * 0.64, s * 0.68)); break;
            default:
                if (index == 1 || index == 26) {
                    p.setBrush(ink);
                    p.drawChord(QRectF(s * 0.28, s * 0.45, s * 0.44, s * 0.34), 180 * 16, 180 * 16);
                } else {
                    p.drawArc(QRectF(s * 0.3, s * 0.44, s * 0.4, s * 0.3), 200 * 16, 140 * 16);
                }
        }
        if (index == 10) {  // a tear
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(0x4a, 0x9a, 0xf0));
            p.drawEllipse(QPointF(s * 0.3, s * 0.55), s * 0.05, s * 0.08);
        }
        if (index == 9 || index == 17) {
            p.setPen(Qt::NoPen);
            p.setBrush(QColor(255, 90, 90, 110));
            p.drawEllipse(QPointF(s * 0.24, s * 0.55), s * 0.08, s * 0.05);
            p.drawEllipse(QPointF(s * 0.76, s * 0.55), s * 0.08, s * 0.05);
        }
    } else {
        // Things: drawn as simple coloured symbols.
        static const QColor colours[] = {QColor(0x3d, 0x8b, 0xe0), QColor(0xe8, 0x5a, 0x8a), QColor(0xd0, 0x30, 0x40),
                                         QColor(0xe0, 0x40, 0x50), QColor(0x80, 0x50, 0x60), QColor(0xf0, 0xb0, 0x20),
                                         QColor(0xf8, 0xa0, 0x10), QColor(0x70, 0x70, 0xc0), QColor(0x8a, 0x5a, 0x30),
                                         QColor(0xf0, 0x90, 0xb0), QColor(0xd0, 0x50, 0x40), QColor(0x40, 0xa0, 0x50),
                                         QColor(0xc0, 0x60, 0x40), QColor(0xf0, 0xb0, 0x30), QColor(0x40, 0xa0, 0x60),
                                         QColor(0xc0, 0x40, 0x40), QColor(0x60, 0x60, 0xd0), QColor(0x30, 0x90, 0x90),
                                         QColor(0x40, 0x80, 0xd0)};
        QColor c = colours[(index - 30) % 19];
        p.setPen(QPen(c.darker(140), s / 18));
        p.setBrush(c);
        QPainterPath path;
        int kind = index - 30;
        if (kind == 3 || kind == 4 || kind == 1) {  // hearts and the rose
            path.moveTo(s * 0.5, s * 0.85);
            path.cubicTo(s * 0.05, s * 0.5, s * 0.2, s * 0.1, s * 0.5, s * 0.32);
            path.cubicTo(s * 0.8, s * 0.1, s * 0.95, s * 0.5, s * 0.5, s * 0.85);
            p.drawPath(path);
            if (kind == 4) {
                p.setPen(QPen(Qt::white, s / 12));
                p.drawLine(QPointF(s * 0.5, s * 0.32), QPointF(s * 0.42, s * 0.55));
                p.drawLine(QPointF(s * 0.42, s * 0.55), QPointF(s * 0.55, s * 0.8));
            }
        } else if (kind == 5 || kind == 6) {  // star, sun
            const int points = kind == 5 ? 5 : 12;
            for (int i = 0; i < points * 2; ++i) {
                double r = (i % 2 ? (kind == 5 ? 0.2 : 0.3) : 0.44) * s;
                double a = 3.14159265 * i / points - 3.14159265 / 2;
                QPointF pt(s * 0.5 + r * std::cos(a), s * 0.5 + r * std::sin(a));
                if (i == 0) path.moveTo(pt);
                else path.lineTo(pt);
            }
            path.closeSubpath();
            p.drawPath(path);
        } else if (kind == 7) {  // moon
            path.addEllipse(QRectF(s * 0.12, s * 0.12, s * 0.76, s * 0.76));
            QPainterPath cut;
            cut.addEllipse(QRectF(s * 0.32, s * 0.04, s * 0.7, s * 0.7));
            p.drawPath(path.subtracted(cut));
        } else {
            p.drawRoundedRect(QRectF(s * 0.14, s * 0.18, s * 0.72, s * 0.64), s * 0.16, s * 0.16);
            p.setPen(QPen(Qt::white, s / 12, Qt::SolidLine, Qt::RoundCap));
            p.setFont(QFont("Sans", static_cast<int>(s * 0.34), QFont::Bold));
            static const char* marks[] = {"~", "", "", "", "", "", "", "", "C", "*", "G", "+", "-", "!", "ok", "x", "#", "T", "@"};
            p.drawText(QRectF(0, 0, s, s), Qt::AlignCenter, QString::fromLatin1(marks[kind % 19]));
        }
    }
    p.end();
    cache[key] = img;
    return img;
}

QImage GlyphImage(Glyph glyph, int size, const QColor& colour) {
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QPen pen(colour, s / 11, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    auto person = [&](double x, double y, double k) {
        p.setBrush(colour);
        p.drawEllipse(QPointF(x, y - s * 0.16 * k), s * 0.13 * k, s * 0.13 * k);
        p.drawChord(QRectF(x - s * 0.25 * k, y + s * 0.02 * k, s * 0.5 * k, s * 0.45 * k), 0, 180 * 16);
        p.setBrush(Qt::NoBrush);
    };
    switch (glyph) {
        case Glyph::Invite:
            person(s * 0.4, s * 0.45, 1.0);
            p.drawLine(QPointF(s * 0.72, s * 0.3), QPointF(s * 0.72, s * 0.62));
            p.drawLine(QPointF(s * 0.56, s * 0.46), QPointF(s * 0.88, s * 0.46));
            break;
        case Glyph::Person: person(s * 0.5, s * 0.45, 1.2); break;
        case Glyph::Room: {
            const QColor back = colour.lighter(150);
            auto head = [&](double x, double y, double k, const QColor& c) {
                p.setPen(QPen(Qt::white, s / 24));
                p.setBrush(c);
                p.drawEllipse(QPointF(x, y - s * 0.17 * k), s * 0.12 * k, s * 0.12 * k);
                p.drawChord(QRectF(x - s * 0.22 * k, y + s * 0.0 * k, s * 0.44 * k, s * 0.44 * k), 0, 180 * 16);
            };
            head(s * 0.27, s * 0.52, 0.8, back);
            head(s * 0.73, s * 0.52, 0.8, back);
            head(s * 0.5, s * 0.5, 1.0, colour);
            p.setBrush(Qt::NoBrush);
            break;
        }
        case Glyph::Kick:
            person(s * 0.38, s * 0.45, 1.0);
            p.setPen(QPen(QColor(0xd0, 0x40, 0x40), s / 10, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(s * 0.62, s * 0.3), QPointF(s * 0.88, s * 0.56));
            p.drawLine(QPointF(s * 0.88, s * 0.3), QPointF(s * 0.62, s * 0.56));
            break;
        case Glyph::Call: {
            QPainterPath path;
            path.moveTo(s * 0.25, s * 0.15);
            path.cubicTo(s * 0.05, s * 0.35, s * 0.5, s * 0.95, s * 0.85, s * 0.75);
            p.setPen(QPen(colour, s / 6, Qt::SolidLine, Qt::RoundCap));
            p.drawPath(path);
            break;
        }
        case Glyph::End:
            p.setBrush(QColor(0xd0, 0x40, 0x40));
            p.setPen(Qt::NoPen);
            p.drawRoundedRect(QRectF(s * 0.22, s * 0.22, s * 0.56, s * 0.56), s * 0.1, s * 0.1);
            break;
        case Glyph::Block:
            p.drawEllipse(QRectF(s * 0.16, s * 0.16, s * 0.68, s * 0.68));
            p.drawLine(QPointF(s * 0.28, s * 0.72), QPointF(s * 0.72, s * 0.28));
            break;
        case Glyph::History:
            p.drawEllipse(QRectF(s * 0.14, s * 0.14, s * 0.72, s * 0.72));
            p.drawLine(QPointF(s * 0.5, s * 0.5), QPointF(s * 0.5, s * 0.28));
            p.drawLine(QPointF(s * 0.5, s * 0.5), QPointF(s * 0.66, s * 0.6));
            break;
        case Glyph::AutoPlay:
        case Glyph::Voice: {
            p.setBrush(colour);
            QPolygonF horn({QPointF(s * 0.14, s * 0.4), QPointF(s * 0.3, s * 0.4), QPointF(s * 0.5, s * 0.22),
                            QPointF(s * 0.5, s * 0.78), QPointF(s * 0.3, s * 0.6), QPointF(s * 0.14, s * 0.6)});
            p.drawPolygon(horn);
            p.setBrush(Qt::NoBrush);
            p.drawArc(QRectF(s * 0.44, s * 0.32, s * 0.2, s * 0.36), -60 * 16, 120 * 16);
            p.drawArc(QRectF(s * 0.44, s * 0.2, s * 0.38, s * 0.6), -60 * 16, 120 * 16);
            break;
        }
        case Glyph::Font:
            p.setFont(QFont("Serif", static_cast<int>(s * 0.55), QFont::Bold));
            p.drawText(QRectF(0, 0, s, s), Qt::AlignCenter, "A");
            break;
        case Glyph::Smile:
            p.drawEllipse(QRectF(s * 0.14, s * 0.14, s * 0.72, s * 0.72));
            p.drawArc(QRectF(s * 0.32, s * 0.36, s * 0.36, s * 0.3), 200 * 16, 140 * 16);
            p.setBrush(colour);
            p.drawEllipse(QPointF(s * 0.38, s * 0.4), s * 0.03, s * 0.03);
            p.drawEllipse(QPointF(s * 0.62, s * 0.4), s * 0.03, s * 0.03);
            break;
        case Glyph::Send: {
            p.setBrush(colour);
            QPolygonF plane({QPointF(s * 0.12, s * 0.46), QPointF(s * 0.88, s * 0.16), QPointF(s * 0.62, s * 0.86),
                             QPointF(s * 0.48, s * 0.58)});
            p.drawPolygon(plane);
            break;
        }
        case Glyph::Talk:
            p.drawRoundedRect(QRectF(s * 0.36, s * 0.1, s * 0.28, s * 0.48), s * 0.14, s * 0.14);
            p.drawArc(QRectF(s * 0.24, s * 0.3, s * 0.52, s * 0.42), 180 * 16, 180 * 16);
            p.drawLine(QPointF(s * 0.5, s * 0.72), QPointF(s * 0.5, s * 0.88));
            break;
        case Glyph::Warn:
            p.setBrush(QColor(0xf0, 0xa0, 0x20));
            p.setPen(Qt::NoPen);
            p.drawPolygon(QPolygonF({QPointF(s * 0.5, s * 0.1), QPointF(s * 0.92, s * 0.86), QPointF(s * 0.08, s * 0.86)}));
            p.setPen(QPen(Qt::white, s / 9, Qt::SolidLine, Qt::RoundCap));
            p.drawLine(QPointF(s * 0.5, s * 0.38), QPointF(s * 0.5, s * 0.6));
            p.drawPoint(QPointF(s * 0.5, s * 0.74));
            break;
        case Glyph::Search:
            p.drawEllipse(QRectF(s * 0.14, s * 0.14, s * 0.5, s * 0.5));
            p.drawLine(QPointF(s * 0.56, s * 0.56), QPointF(s * 0.86, s * 0.86));
            break;
        case Glyph::Export:
            p.drawLine(QPointF(s * 0.5, s * 0.14), QPointF(s * 0.5, s * 0.62));
            p.drawLine(QPointF(s * 0.32, s * 0.44), QPointF(s * 0.5, s * 0.62));
            p.drawLine(QPointF(s * 0.68, s * 0.44), QPointF(s * 0.5, s * 0.62));
            p.drawLine(QPointF(s * 0.18, s * 0.84), QPointF(s * 0.82, s * 0.84));
            break;
        case Glyph::Lock:
            p.drawArc(QRectF(s * 0.3, s * 0.12, s * 0.4, s * 0.44), 0, 180 * 16);
            p.drawLine(QPointF(s * 0.3, s * 0.34), QPointF(s * 0.3, s * 0.46));
            p.drawLine(QPointF(s * 0.7, s * 0.34), QPointF(s * 0.7, s * 0.46));
            p.setBrush(colour);
            p.drawRoundedRect(QRectF(s * 0.2, s * 0.44, s * 0.6, s * 0.44), s * 0.08, s * 0.08);
            break;
        case Glyph::Delete:
            p.drawRect(QRectF(s * 0.28, s * 0.3, s * 0.44, s * 0.56));
            p.drawLine(QPointF(s * 0.18, s * 0.24), QPointF(s * 0.82, s * 0.24));
            p.drawLine(QPointF(s * 0.42, s * 0.14), QPointF(s * 0.58, s * 0.14));
            break;
    }
    p.end();
    return img;
}

QIcon GlyphIcon(Glyph glyph, const QColor& colour) {
    QIcon icon;
    for (int size : {16, 24, 32}) {
        icon.addPixmap(QPixmap::fromImage(GlyphImage(glyph, size, colour)));
        // On a selected row's highlight the glyph is drawn in white, or it would vanish into the blue.
        icon.addPixmap(QPixmap::fromImage(GlyphImage(glyph, size, Qt::white)), QIcon::Selected);
    }
    icon.addPixmap(QPixmap::fromImage(GlyphImage(glyph, 24, QColor(0xa0, 0xa8, 0xb4))), QIcon::Disabled);
    return icon;
}

QImage HeadPicture(const QString& name, int id, int size) {
    static const QColor palette[] = {QColor(0x4a, 0x90, 0xe2), QColor(0x50, 0xb8, 0x7a), QColor(0xe2, 0x8a, 0x3c),
                                     QColor(0x9b, 0x6b, 0xd6), QColor(0xd6, 0x5b, 0x7a), QColor(0x3c, 0xa8, 0xb8)};
    QImage img(size, size, QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::transparent);
    QPainter p(&img);
    p.setRenderHint(QPainter::Antialiasing);
    QColor c = palette[static_cast<unsigned>(id) % 6];
    QLinearGradient g(0, 0, 0, size);
    g.setColorAt(0, c.lighter(120));
    g.setColorAt(1, c.darker(110));
    p.setBrush(g);
    p.setPen(Qt::NoPen);
    p.drawRoundedRect(QRectF(0, 0, size, size), size * 0.18, size * 0.18);
    p.setPen(Qt::white);
    QFont f("Sans");
    f.setPixelSize(size * 45 / 100);
    f.setBold(true);
    p.setFont(f);
    p.drawText(QRectF(0, 0, size, size), Qt::AlignCenter, name.isEmpty() ? QString("?") : name.left(1).toUpper());
    return img;
}

}  // namespace chat
