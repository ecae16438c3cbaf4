// SPDX-License-Identifier: MIT
#include "ui/icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace tessaro::ui {
namespace {

// Every picture is drawn on a 48-unit square and scaled to the size asked for.
void drawSheet(QPainter& p, QRectF r, QColor accent)
{
    p.setPen(QPen(QColor(60, 60, 60), 1.5));
    p.setBrush(Qt::white);
    QPainterPath page;
    const qreal fold = r.width() * 0.28;
    page.moveTo(r.left(), r.top());
    page.lineTo(r.right() - fold, r.top());
    page.lineTo(r.right(), r.top() + fold);
    page.lineTo(r.right(), r.bottom());
    page.lineTo(r.left(), r.bottom());
    page.closeSubpath();
    p.drawPath(page);
    // A band of cells in the sheet's colour, with grid lines.
    const QRectF grid(r.left() + r.width() * 0.14, r.top() + r.height() * 0.32, r.width() * 0.72,
                      r.height() * 0.56);
    p.fillRect(QRectF(grid.left(), grid.top(), grid.width(), grid.height() / 4), accent);
    p.setPen(QPen(accent.darker(140), 1));
    for (int i = 0; i <= 4; ++i) {
        const qreal y = grid.top() + grid.height() * i / 4;
        p.drawLine(QPointF(grid.left(), y), QPointF(grid.right(), y));
    }
    for (int i = 0; i <= 3; ++i) {
        const qreal x = grid.left() + grid.width() * i / 3;
        p.drawLine(QPointF(x, grid.top()), QPointF(x, grid.bottom()));
    }
}

void drawFolder(QPainter& p, QRectF r)
{
    p.setPen(QPen(QColor(150, 110, 20), 1.5));
    p.setBrush(QColor(240, 196, 80));
    QPainterPath back;
    back.moveTo(r.left(), r.top() + r.height() * 0.15);
    back.lineTo(r.left() + r.width() * 0.38, r.top() + r.height() * 0.15);
    back.lineTo(r.left() + r.width() * 0.46, r.top() + r.height() * 0.28);
    back.lineTo(r.right(), r.top() + r.height() * 0.28);
    back.lineTo(r.right(), r.bottom());
    back.lineTo(r.left(), r.bottom());
    back.closeSubpath();
    p.drawPath(back);
    p.setBrush(QColor(250, 214, 110));
    p.drawRect(QRectF(r.left(), r.top() + r.height() * 0.40, r.width(), r.height() * 0.60));
}

void drawBadge(QPainter& p, QPointF centre, qreal radius, QColor colour, bool plus)
{
    p.setPen(QPen(Qt::white, 2));
    p.setBrush(colour);
    p.drawEllipse(centre, radius, radius);
    p.setPen(QPen(Qt::white, radius * 0.38, Qt::SolidLine, Qt::RoundCap));
    const qreal a = radius * 0.55;
    p.drawLine(QPointF(centre.x() - a, centre.y()), QPointF(centre.x() + a, centre.y()));
    if (plus)
        p.drawLine(QPointF(centre.x(), centre.y() - a), QPointF(centre.x(), centre.y() + a));
}

void drawCross(QPainter& p, QPointF centre, qreal a, QColor colour)
{
    p.setPen(QPen(colour, a * 0.45, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(centre.x() - a, centre.y() - a), QPointF(centre.x() + a, centre.y() + a));
    p.drawLine(QPointF(centre.x() - a, centre.y() + a), QPointF(centre.x() + a, centre.y() - a));
}

void drawArrow(QPainter& p, qreal angleDegrees, QColor colour)
{
    p.save();
    p.translate(24, 24);
    p.rotate(angleDegrees);
    QPainterPath arrow; // pointing right
    arrow.moveTo(-16, -6);
    arrow.lineTo(2, -6);
    arrow.lineTo(2, -15);
    arrow.lineTo(18, 0);
    arrow.lineTo(2, 15);
    arrow.lineTo(2, 6);
    arrow.lineTo(-16, 6);
    arrow.closeSubpath();
    p.setPen(QPen(colour.darker(150), 1.5));
    p.setBrush(colour);
    p.drawPath(arrow);
    p.restore();
}

} // namespace

void paintPicture(QPainter& p, Picture picture)
{
    const QColor green(33, 130, 70);
    switch (picture) {
    case Picture::WorkbookFile:
        drawSheet(p, QRectF(8, 3, 32, 42), green);
        break;
    case Picture::Folder:
        drawFolder(p, QRectF(3, 6, 42, 36));
        break;
    case Picture::MissingPath:
        p.setOpacity(0.45);
        drawSheet(p, QRectF(8, 3, 32, 42), QColor(128, 128, 128));
        p.setOpacity(1);
        drawCross(p, QPointF(24, 26), 11, QColor(200, 30, 30));
        break;
    case Picture::AppIcon:
        drawSheet(p, QRectF(3, 3, 28, 36), green);
        drawSheet(p, QRectF(17, 9, 28, 36), QColor(40, 100, 170));
        break;
    case Picture::AddWorkbook:
        drawSheet(p, QRectF(6, 2, 30, 40), green);
        drawBadge(p, QPointF(36, 36), 10, QColor(40, 150, 60), true);
        break;
    case Picture::AddFolder:
        drawFolder(p, QRectF(2, 6, 38, 32));
        drawBadge(p, QPointF(36, 36), 10, QColor(40, 150, 60), true);
        break;
    case Picture::Remove:
        drawSheet(p, QRectF(6, 2, 30, 40), QColor(150, 150, 150));
        drawBadge(p, QPointF(36, 36), 10, QColor(200, 40, 40), false);
        break;
    case Picture::Exit: {
        p.setPen(QPen(QColor(90, 60, 30), 1.5));
        p.setBrush(QColor(170, 120, 70));
        p.drawRect(QRectF(8, 4, 22, 40));
        p.setBrush(QColor(230, 200, 120));
        p.drawEllipse(QPointF(25, 25), 2, 2);
        drawArrow(p, 0, QColor(200, 50, 50));
        break;
    }
    case Picture::Up:
        drawArrow(p, -90, QColor(40, 110, 200));
        break;
    case Picture::Down:
        drawArrow(p, 90, QColor(40, 110, 200));
        break;
    case Picture::AddSheet:
        drawArrow(p, 0, QColor(40, 150, 60));
        break;
    case Picture::RemoveSheet:
        drawArrow(p, 180, QColor(200, 60, 50));
        break;
    case Picture::Copy:
        drawSheet(p, QRectF(3, 2, 28, 36), green);
        drawSheet(p, QRectF(17, 10, 28, 36), green);
        break;
    }
}

namespace {

QPixmap render(Picture picture, int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 48.0, size / 48.0);
    paintPicture(p, picture);
    return pixmap;
}

} // namespace

QIcon pictureIcon(Picture picture)
{
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 96})
        icon.addPixmap(render(picture, size));
    return icon;
}

} // namespace tessaro::ui
