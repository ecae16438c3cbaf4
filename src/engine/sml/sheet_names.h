// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// A sheet name folded for comparison: spreadsheet applications treat names that differ
// only in letter case as the same, in every script that has case.
std::string foldSheetName(std::string_view utf8);
bool sameSheetName(std::string_view a, std::string_view b);

// Length as spreadsheet applications count it (UTF-16 code units).
std::size_t sheetNameLength(std::string_view utf8);

// What makes a sheet name one that spreadsheet applications refuse (empty, longer than 31
// characters, holding one of : \ / ? * [ ], or beginning or ending with an apostrophe), in
// words for a message; nothing for a valid name.
std::optional<std::string> sheetNameProblem(std::string_view name);

// The sheet name as a formula writes it before "!": bare when it is a plain identifier that
// cannot be read as a cell reference, else in apostrophes with inner apostrophes doubled.
std::string quoteSheetName(std::string_view name);

// Reads the name quoted at `open` (an apostrophe) in `formula` into `name`, doubled
// apostrophes undone; returns where the closing apostrophe is (the end when it has none).
std::size_t unquoteSheetName(std::string_view formula, std::size_t open, std::string& name);

// Rewrites references to sheet `from` (in any letter case) as references to `to` in a
// formula as it is stored (without "="), outside string literals. External references
// ([1]Sheet!A1) and 3-D ranges (A:B!A1) are left alone. Nothing when no reference changed.
std::optional<std::string> renameSheetInFormula(std::string_view formula, std::string_view from, std::string_view to);

} // namespace tessaro::xlsx
