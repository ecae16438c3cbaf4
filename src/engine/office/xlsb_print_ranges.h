// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::office {

// A block of cells, rows and columns from 0, last ones included.
struct CellBlock {
    std::uint32_t firstRow = 0;
    std::uint32_t lastRow = 0;
    std::uint32_t firstColumn = 0;
    std::uint32_t lastColumn = 0;
    bool operator==(const CellBlock&) const = default;
};

// What a sheet prints: its print area (in parts) and the rows and columns repeated on every page.
struct PrintRanges {
    std::vector<CellBlock> areas;
    std::optional<CellBlock> titleRows;
    std::optional<CellBlock> titleColumns;
    bool operator==(const PrintRanges&) const = default;
};

// LibreOffice 7.4 reads no print area and no print titles from an .xlsb (its sheets print
// whole, and its .xlsx conversion holds the built-in names without a definition). They are
// read here from the workbook stream's built-in names: by sheet name, for the names that read
// blocks of their own sheet. A name written otherwise is left out.
std::map<std::u16string, PrintRanges> printRangesOfWorkbookStream(std::string_view stream);

// The same for the .xlsb at `file`; none when it has no workbook stream at xl/workbook.bin.
// Throws when the file cannot be read as an archive.
std::map<std::u16string, PrintRanges> printRangesOfXlsb(const std::filesystem::path& file);

} // namespace tessaro::office
