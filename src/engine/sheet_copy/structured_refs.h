// SPDX-License-Identifier: MIT
#pragma once

#include "engine/sml/workbook.h"

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// The cells a structured reference to `table` covers, as an absolute area ("$B$3:$C$9", or
// "$B$3" for one cell), for a formula that must read the table from another workbook where
// no table of that name exists. `spec` is the bracketed part after the table's name
// ("[Amount]", "[[#Headers],[A]:[C]]", "[]"). Nothing when the reference depends on the
// formula's own row (@, #This Row), names a column the table lacks, or names rows the table
// has none of.
std::optional<std::string> structuredReferenceArea(const TableFacts& table, std::string_view spec);

} // namespace tessaro::xlsx
