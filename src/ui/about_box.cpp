// SPDX-License-Identifier: MIT
#include "ui/about_box.h"

#include "platform/host.h"
#include "state/build_info.h"
#include "ui/icons.h"
#include "ui/twips.h"

#include <QBitmap>
#include <QGroupBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPushButton>

namespace tessaro::ui {

namespace {

QFont arial(double points)
{
    QFont font(QStringLiteral("Arial"));
    font.setPointSizeF(points);
    return font;
}

// A pointing hand of our own for the two links.
QCursor linkCursor()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath hand;
    hand.moveTo(10, 2);
    hand.cubicTo(12, 0, 14, 2, 14, 4);
    hand.lineTo(14, 13);
    hand.lineTo(22, 14);
    hand.cubicTo(26, 15, 27, 17, 26, 21);
    hand.lineTo(24, 29);
    hand.lineTo(12, 29);
    hand.lineTo(5, 19);
    hand.cubicTo(4, 16, 7, 15, 9, 17);
    hand.lineTo(10, 18);
    hand.closeSubpath();
    p.setPen(QPen(Qt::black, 1.5));
    p.setBrush(Qt::white);
    p.drawPath(hand);
    p.end();
    return QCursor(pixmap, 11, 1);
}

} // namespace

QString homePageUrl() { return QStringLiteral("http://") + QString::fromLatin1(kHomePage); }

void LinkLabel::mouseReleaseEvent(QMouseEvent* event)
{
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint()))
        emit clicked();
}

AboutBox::AboutBox(Host& host, QWidget* parent) : QDialog(parent)
{
    setObjectName(QStringLiteral("Dialog1"));
    setWindowTitle(QStringLiteral("About us"));
    setWindowIcon(pictureIcon(Picture::AppIcon));
    setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint |
                   Qt::CustomizeWindowHint);
    setFont(arial(8.4));
    setFixedSize(twips(4908), twips(4116));
    move(twips(2760), twips(3600));

    OKButton = new QPushButton(QStringLiteral("OK"), this);
    OKButton->setGeometry(twipsRect(120, 3600, 1215, 375));
    OKButton->setDefault(true);
    Label1 = new QLabel(QStringLiteral("Tessaro"), this);
    Label1->setGeometry(twipsRect(840, 240, 2055, 255));
    QFont bold = font();
    bold.setBold(true);
    Label1->setFont(bold);
    Label4 = new QLabel(QStringLiteral("Version:") + QString::fromLatin1(kVersion), this);
    Label4->setGeometry(twipsRect(840, 480, 1455, 255));
    Label5 = new QLabel(QStringLiteral("Warning: this program is protected by copyright law. Copying or distributing "
                                       "it, in whole or in part, without the maker's permission is unlawful and "
                                       "may be prosecuted."),
                        this);
    Label5->setGeometry(twipsRect(120, 2280, 4695, 1095));
    Label5->setWordWrap(true);
    Label5->setAlignment(Qt::AlignLeft | Qt::AlignTop);

    Frame1 = new QGroupBox(this);
    Frame1->setGeometry(twipsRect(240, 960, 4450, 1090));
    Label3 = new QLabel(QStringLiteral("Technical Support:"), Frame1);
    Label3->setGeometry(twipsRect(120, 240, 1690, 250));
    Label2 = new LinkLabel(QString::fromLatin1(kSupportAddress), Frame1);
    // Wider than drawn (2290) so that the whole address fits at 9.6 pt.
    Label2->setGeometry(twipsRect(1800, 240, 2590, 250));
    Label7 = new QLabel(QStringLiteral(" Website:"), Frame1);
    Label7->setGeometry(twipsRect(120, 480, 850, 250));
    Label8 = new LinkLabel(QString::fromLatin1(kHomePage), Frame1);
    Label8->setGeometry(twipsRect(1800, 480, 2590, 250)); // wider than drawn (1930), as Label2
    Label6 = new QLabel(QStringLiteral("\u00A9 2026 Orvandel. All rights reserved."), Frame1);
    Label6->setGeometry(twipsRect(120, 720, 3135, 255));

    const QCursor pointer = linkCursor();
    for (LinkLabel* link : {Label2, Label8}) {
        link->setFont(arial(9.6));
        QPalette palette = link->palette();
        palette.setColor(QPalette::WindowText, palette.color(QPalette::Highlight));
        link->setPalette(palette);
        link->setCursor(pointer);
    }

    connect(OKButton, &QPushButton::clicked, this, &QDialog::accept);
    connect(Label2, &LinkLabel::clicked, this,
            [&host] { host.openWithDesktop(std::string("mailto:") + kSupportAddress); });
    connect(Label8, &LinkLabel::clicked, this, [&host] { host.openWithDesktop(homePageUrl().toStdString()); });
}

void AboutBox::paintEvent(QPaintEvent* event)
{
    QDialog::paintEvent(event);
    QPainter p(this);
    p.drawPixmap(QPoint(0, 0), pictureIcon(Picture::AppIcon).pixmap(32, 32));
}

} // namespace tessaro::ui
