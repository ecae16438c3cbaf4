// SPDX-License-Identifier: MIT
#pragma once

#include <QRect>
#include <QtGlobal>

namespace tessaro::ui {

// The layout is drawn in twips, 15 to a pixel at 96 dpi. Qt scales logical pixels on
// high-density screens itself.
inline int twips(int t) { return qRound(t / 15.0); }
inline QRect twipsRect(int left, int top, int width, int height)
{
    return QRect(twips(left), twips(top), twips(width), twips(height));
}

} // namespace tessaro::ui
