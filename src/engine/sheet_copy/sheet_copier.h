// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tessaro::xlsx {

class Workbook;

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

} // namespace tessaro::xlsx
