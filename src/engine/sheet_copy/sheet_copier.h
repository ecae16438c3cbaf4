// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::xlsx {

class Workbook;
struct SheetEntry;

// Inserts a copy of the worksheet or chartsheet `handle` of `source` into `destination` at
// tab position `position` (0-based, over all sheets), as a spreadsheet application's own
// copy does: the cells, formats, strings and sheet settings travel, and so does everything
// the sheet points at (drawings, pictures, charts, comments, tables, pivot tables,
// embedded objects...), under new part names. The copy gets a free name, a new sheetId,
// its part, relationship and content type, its scoped names and the workbook names its
// formulas use; formulas that point at other sheets of the source point at the source
// file. Every other sheet's scoped names, the active tab and the document properties stay
// right. The two may be the same workbook. On failure the destination is as it was.
// Returns the new sheet's handle.
struct SheetCopyOptions {
    // What the copy's references to other sheets of the source read.
    SheetLinks links = SheetLinks::External;
    // Where what the user should know of the copy goes, each a sentence naming the place.
    std::vector<std::string>* notes = nullptr;
};
std::uint32_t copySheet(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position,
                        const SheetCopyOptions& options = {});

// The same copy under a name the caller chose (free in the destination); `selected` makes
// its tab the selected one.
std::uint32_t copySheetAs(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position,
                          const std::string& name, bool selected, const SheetCopyOptions& options = {});

// Throws when the sheet cannot be copied at all (it cannot be read, or it is of a kind that
// is not copied).
void checkCopyable(Workbook& source, const SheetEntry& entry);

// Puts a copy of the sheet in the place of the destination's sheet of the same name (letter
// case ignored), under that sheet's name, after taking that sheet out with every part only
// it used; references elsewhere in the destination read the copy by the name. References to
// tables the old sheet had and the copy has not become #REF! (each place noted), and pivot
// caches that read the sheet are refreshed on the next open. The active tab stays on the
// place. A destination without such a sheet gets the copy after its last sheet. Throws
// ReplaceItself when the destination is the source's own file, ReplaceOtherKind for a
// worksheet against a chartsheet. A failure after the old sheet was taken out leaves the
// destination unfit to be saved.
struct SheetReplacement {
    std::uint32_t handle = 0;
    std::size_t position = 0; // 0-based
    bool replaced = false;
};
SheetReplacement replaceSheet(Workbook& source, std::uint32_t handle, Workbook& destination,
                              const SheetCopyOptions& options = {});

} // namespace tessaro::xlsx
