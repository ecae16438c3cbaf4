// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <string_view>

namespace tessaro::xlsx {

class Workbook;

// Reads a worksheet part to its end and says how far it reaches: last row and column,
// longest cell text (shared strings looked up) and how many cell formats it uses. A
// chartsheet reaches nowhere. Throws EngineError for a part that cannot be read.
SheetExtent measureWorksheet(Workbook& book, std::string_view sheetPart);

} // namespace tessaro::xlsx
