// SPDX-License-Identifier: MIT
#pragma once

#include <QIcon>

class QPainter;

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

// Paints the picture on a 48-unit square at the painter's origin, for any paint device: the
// installed icon files are made from the same strokes.
void paintPicture(QPainter& painter, Picture picture);

} // namespace tessaro::ui
