// Skin pictures read at run time: paths built from the skin's name, key-colour masks and image strips.
#pragma once

#include <QColor>
#include <QCursor>
#include <QImage>
#include <QList>
#include <QPixmap>
#include <QString>
#include <optional>
#include <string>

#include "ui/controls/colour.h"

namespace ctl {

// The current skin's name (the skin type); "default" until set.
void SetSkinType(const std::string& type);
std::string SkinType();
// "skin/<type>/<name>", relative to the current folder; any length.
std::string SkinFilePath(const std::string& type, const std::string& name);
std::string SkinFilePath(const std::string& name);
// The skin's settings file "skin/<type>/corvina.ini".
std::string SkinIniPath();
// Folder of the program's own pictures (bitmap resources by number); "res" until set.
void SetResourceFolder(const std::string& folder);
QString ResourcePath(int id);
// Any other file of that folder (menu templates, tool-bar resources, icons, the string table).
QString ResourceFile(const QString& name);

// The program's cursor resource `id` (<id>.cur with its hot spot, else <id>.bmp with the hot spot at
// the top-left); none when missing or unreadable.
std::optional<QCursor> ResourceCursor(int id);
// The hot spot that a cursor file gives for a picture of `size`; the top-left for any other file, or
// when the file's hot spot lies outside the picture.
QPoint CursorHotSpot(const QString& path, const QSize& size);
// The program's hand, over links and buttons that act at a click.
constexpr int kHandCursor = 106;

// A bitmap file, or a null image when it is missing or unreadable (never reported).
QImage LoadBitmapFile(const QString& path);
inline QImage LoadBitmapFile(const std::string& path) { return LoadBitmapFile(QString::fromStdString(path)); }
// The image with every pixel of the key colour made transparent.
QPixmap KeyedPixmap(const QImage& image, COLORREF key);
// Cuts a strip into images of w x h, keyed; an image with no full cell gives none.
QList<QPixmap> CutStrip(const QImage& strip, int w, int h, COLORREF key);
// A copy of the image with each pixel mapped through f (alpha and the key colour kept).
QImage MapPixels(const QImage& image, COLORREF (*f)(COLORREF), COLORREF keep);

inline QColor ToQColor(COLORREF c) { return QColor(GetRValue(c), GetGValue(c), GetBValue(c)); }
inline COLORREF ToColorRef(const QColor& c) { return RGB(c.red(), c.green(), c.blue()); }

}  // namespace ctl
