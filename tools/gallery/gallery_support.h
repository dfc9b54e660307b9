// What every window gallery shares: the offscreen application with the shell's look, and writing a PNG.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFont>
#include <QImage>
#include <QString>
#include <QWidget>

#include <cstdio>

#include "ui/shell/app_start.h"

namespace gallery {

// Folder the pictures go to; set by Start.
inline QString g_out;

// Offscreen platform; call before the application object is made.
inline void UseOffscreen() { qputenv("QT_QPA_PLATFORM", "offscreen"); }

// The shell's style and font; pictures go to <root>/gallery/<sub> (root: argv[1], else the build
// folder), which also becomes the current folder's parent for skin and language files. Returns root.
inline QString Start(QApplication& app, int argc, char** argv, const char* sub) {
    app.setStyle("Fusion");
    app.setStyleSheet(shell::ShellStyleSheet());
    QFont f("WenQuanYi Micro Hei");
    f.setPixelSize(12);
    app.setFont(f);
    const QString root = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(TESSALY_BINARY_DIR);
    g_out = root + "/gallery/" + sub;
    QDir().mkpath(g_out);
    QDir::setCurrent(root);
    return root;
}

// Writes the widget as <name>.png, sized to its contents first when adjust is set.
inline void Save(QWidget* w, const QString& name, bool adjust = false) {
    if (adjust) w->adjustSize();
    QApplication::processEvents();
    const QImage img = w->grab().toImage();
    const QString path = g_out + "/" + name + ".png";
    if (!img.save(path)) std::fprintf(stderr, "gallery: cannot write %s\n", qPrintable(path));
    else std::printf("%s\n", qPrintable(path));
}

}  // namespace gallery
