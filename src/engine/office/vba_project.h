// SPDX-License-Identifier: MIT
#pragma once

#include "engine/office/sheet_view.h"

#include <filesystem>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessaro {

// An .xls workbook's VBA project, carried across a save by LibreOffice.
//
// LibreOffice loads .xls workbooks without their macros here (with them, LibreOffice 7.4
// ends itself when a sheet is inserted), so the file it saves holds no project. The
// project's storage is then put back byte for byte from the file that was opened, and the
// records that bind it to the workbook (OBJPROJ, and the code name of the workbook and of
// each sheet it had) are written into the new Workbook stream. A sheet the copy added has no
// code name, as a sheet new to a workbook has until the project is next saved.

struct VbaProjectError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// The records of a BIFF8 Workbook stream that bind a VBA project to it, whole (header and
// body): OBJPROJ and CODENAME of the workbook globals, and each sheet's CODENAME by the
// sheet's name (UTF-16).
struct VbaBinding {
    std::string objProj;
    std::string workbookCodeName;
    std::map<std::u16string, std::string> sheetCodeNames;
};

VbaBinding readVbaBinding(std::string_view workbookStream);

// `saved` with the binding's records put where a spreadsheet application writes them, for
// every sheet of the same name, and each stream position the stream records (sheet offsets,
// row-block and shared-string indexes) moved by what was inserted before it. Records the
// saved stream already has are not written twice. Throws VbaProjectError when the stream
// cannot be read as BIFF8.
std::string withVbaBinding(std::string_view saved, const VbaBinding& binding);

// Writes into `saved` (a compound file LibreOffice wrote of `original`) the VBA project
// storage of `original`, byte for byte, and the records binding it. Throws VbaProjectError
// saying what stood in the way; `saved` is then unusable and must be dropped.
void keepVbaProject(const std::filesystem::path& original, const std::filesystem::path& saved);

// LibreOffice writes an .xls sheet's view (frozen panes, grid lines, zoom) only from a window or
// from the file it read, so a sheet it copies into an .xls has the default one. These read the
// views from an .xls (by sheet name) and put them into the sheets of one it saved (panes a
// sheet has already, or beyond what BIFF8 addresses, are left alone). Throw VbaProjectError
// when the stream cannot be read as BIFF8.
std::map<std::u16string, SheetView> sheetViewsOf(std::string_view workbookStream);
std::string withSheetViews(std::string_view saved, const std::map<std::u16string, SheetView>& views);
std::map<std::u16string, SheetView> sheetViewsOfFile(const std::filesystem::path& xls);
void writeSheetViews(const std::filesystem::path& saved, const std::map<std::u16string, SheetView>& views);

} // namespace tessaro
