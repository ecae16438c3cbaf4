// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro {

// What LibreOffice 7.4 writes into an .xls otherwise than it holds it: a cell holding an error
// value becomes a formula of that error, which LibreOffice reads back as Err:520 (so formulas
// reading the cell change too), a formula holding an error constant anywhere becomes the
// formula #N/A, and some functions become calls of names. These put the cells back, in the
// file it saved, as a spreadsheet application writes them.

// A cell: row and column, from 0.
using CellAt = std::pair<std::uint32_t, std::uint32_t>;
using CellsBySheet = std::map<std::u16string, std::set<CellAt>>;

// `saved` with the cells of `errorValues` (by sheet name) that it holds as a formula of one
// error written as that error value, and, in each sheet that `original` (the stream before,
// or empty) has under the same name, each formula that reads nothing but that sheet's cells
// written as `original` has it, with its result. Throws VbaProjectError when a stream cannot
// be read as BIFF8.
std::string withCellsKept(std::string_view saved, std::string_view original, const CellsBySheet& errorValues);
// The same on files: `original` may be empty, or an .xls whose stream is not BIFF8.
void keepCells(const std::filesystem::path& original, const std::filesystem::path& saved, const CellsBySheet& errorValues);

// The formulas holding an error constant that withCellsKept cannot put back, by sheet: those
// naming another sheet, a name, or an array.
struct FormulasNotKept {
    std::u16string sheet;
    std::uint64_t cells = 0;
    CellAt first;
};
std::vector<FormulasNotKept> formulasNotKept(std::string_view original);
// Of an .xls file; none for a stream that is not BIFF8 (LibreOffice writes those anew).
std::vector<FormulasNotKept> formulasNotKeptInFile(const std::filesystem::path& xls);

} // namespace tessaro
