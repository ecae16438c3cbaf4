// SPDX-License-Identifier: MIT
// The application icon as the files a desktop looks up (hicolor theme: one SVG, PNGs of the
// usual sizes), drawn by the same code as the window's own icon.
//   app_icon_files write DIR   (re)writes DIR/scalable/apps/tessaro.svg and DIR/NxN/apps/tessaro.png
//   app_icon_files check DIR   fails when a file in DIR differs from what write would make
#include "ui/icons.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

using tessaro::ui::Picture;

constexpr int kPngSizes[] = {16, 22, 24, 32, 48, 64, 128, 256};

QByteArray svg()
{
    QBuffer buffer;
    QSvgGenerator generator;
    generator.setOutputDevice(&buffer);
    generator.setSize(QSize(48, 48));
    generator.setViewBox(QRect(0, 0, 48, 48));
    generator.setTitle(QStringLiteral("Tessaro"));
    QPainter painter(&generator);
    painter.setRenderHint(QPainter::Antialiasing);
    tessaro::ui::paintPicture(painter, Picture::AppIcon);
    painter.end();
    return buffer.data();
}

QImage png(int size)
{
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.scale(size / 48.0, size / 48.0);
    tessaro::ui::paintPicture(painter, Picture::AppIcon);
    painter.end();
    return image.convertToFormat(QImage::Format_ARGB32);
}

QString svgPath(const QString& dir) { return dir + QStringLiteral("/scalable/apps/tessaro.svg"); }

QString pngPath(const QString& dir, int size)
{
    return dir + QStringLiteral("/%1x%1/apps/tessaro.png").arg(size);
}

bool write(const QString& dir)
{
    QDir().mkpath(QFileInfo(svgPath(dir)).path());
    QFile file(svgPath(dir));
    if (!file.open(QIODevice::WriteOnly) || file.write(svg()) < 0)
        return false;
    for (int size : kPngSizes) {
        QDir().mkpath(QFileInfo(pngPath(dir, size)).path());
        if (!png(size).save(pngPath(dir, size), "PNG"))
            return false;
    }
    return true;
}

bool check(const QString& dir)
{
    bool same = true;
    const auto differs = [&same](const QString& path) {
        std::fprintf(stderr, "%s is not what the program draws\n", qPrintable(path));
        same = false;
    };
    QFile file(svgPath(dir));
    if (!file.open(QIODevice::ReadOnly) || file.readAll() != svg())
        differs(svgPath(dir));
    for (int size : kPngSizes) {
        const QImage stored(pngPath(dir, size));
        if (stored.isNull() || stored.convertToFormat(QImage::Format_ARGB32) != png(size))
            differs(pngPath(dir, size));
    }
    if (!same)
        std::fprintf(stderr, "remake them with: app_icon_files write %s\n", qPrintable(dir));
    return same;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "write") != 0 && std::strcmp(argv[1], "check") != 0)) {
        std::fprintf(stderr, "usage: app_icon_files write|check DIR\n");
        return 2;
    }
    if (!std::getenv("QT_QPA_PLATFORM"))
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QGuiApplication app(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[2]);
    if (std::strcmp(argv[1], "write") == 0)
        return write(dir) ? 0 : 1;
    return check(dir) ? 0 : 1;
}
