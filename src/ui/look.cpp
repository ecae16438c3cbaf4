// SPDX-License-Identifier: MIT
#include "ui/look.h"

#include <QApplication>
#include <QFont>
#include <QStyleFactory>

namespace tessaro::ui {

void applyApplicationLook(QApplication& app)
{
    QApplication::setApplicationName(QStringLiteral("Tessaro"));
    QApplication::setApplicationDisplayName(QStringLiteral("Tessaro"));
    // Message boxes show the application's name as their title; no window adds its own.
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion")))
        QApplication::setStyle(fusion);
    QFont font(QStringLiteral("Liberation Sans"));
    font.setPointSize(8);
    QApplication::setFont(font);
    (void)app;
}

} // namespace tessaro::ui
