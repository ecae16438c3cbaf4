// SPDX-License-Identifier: MIT
#pragma once

class QApplication;

namespace tessaro::ui {

// The application's name and look: the Fusion style and the windows' default font,
// Liberation Sans 8 pt, the size the layout was drawn for.
void applyApplicationLook(QApplication& app);

} // namespace tessaro::ui
