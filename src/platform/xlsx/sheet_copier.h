// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro::xlsx {

class Workbook;

// Inserts a copy of the worksheet `handle` of `source` into `destination` at tab position
// `position` (0-based, over all sheets), as a spreadsheet application's own copy does:
// the cells, formats, strings and sheet settings travel; the copy gets a free name, a new
// sheetId, its part, relationship and content type, its scoped names; every other sheet's
// scoped names, the active tab and the document properties stay right. The two may be the
// same workbook. On failure the destination is as it was. Returns the new sheet's handle.
std::uint32_t copyWorksheet(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position);

} // namespace tessaro::xlsx
