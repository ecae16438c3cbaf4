// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>

namespace tessaro::ui {

// The program's pictures, drawn by the program itself so they scale with the screen.
enum class Picture {
    WorkbookFile, // small image 1 of the entry lists
    Folder,       // small image 2
    MissingPath,  // small image 3
    AppIcon,
    AddWorkbook,
    AddFolder,
    Remove,
    Exit,
    Up,
    Down,
    AddSheet,
    RemoveSheet,
    Copy,
};

QIcon pictureIcon(Picture picture);

} // namespace tessaro::ui
