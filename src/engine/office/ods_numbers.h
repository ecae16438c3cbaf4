// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace tessaro::office {

// The number a cell of the named sheet holds, by row and column from 0; nothing when it holds
// none.
using NumberAt = std::function<std::optional<double>(const std::string& sheet, std::uint32_t row, std::uint32_t column)>;

// LibreOffice writes the numbers of an .ods with no more than 20 decimals, so one below
// 0.00001 loses significant digits (1.2345678901234567E-14 is written 0.00000000000001234568),
// in the workbook's own sheets as in the copies. `content` (an .ods's content.xml) with every
// number so cut written whole, as `numberAt` gives it; nothing when none was cut. `mended`
// counts the cells written again.
std::optional<std::string> withNumbersWhole(std::string_view content, const NumberAt& numberAt, std::uint64_t& mended);

// The same for the .ods LibreOffice wrote at `written`, which is rewritten in place when a
// number was cut. Throws when it cannot be read or rewritten.
std::uint64_t keepNumbersWhole(const std::filesystem::path& written, const NumberAt& numberAt);

} // namespace tessaro::office
