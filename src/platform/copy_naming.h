// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tessaro {

// Sheet names are at most this many UTF-16 code units long, as spreadsheet applications
// count them.
inline constexpr std::size_t kMaxSheetNameLength = 31;

// The name a copy of the sheet `original` takes in a workbook, the same for every engine:
// the name itself when no sheet there has it, else "Name (2)", "Name (3)"... (the first one
// free), the base cut short so the whole keeps kMaxSheetNameLength; a character is never cut
// in half. `taken` says whether a name is in use (letter case ignored by the caller's
// comparison). Throws std::runtime_error when no number up to 99999 is free.
std::string copyName(std::string_view utf8, const std::function<bool(std::string_view)>& taken);
std::u16string copyName(std::u16string_view original, const std::function<bool(const std::u16string&)>& taken);

} // namespace tessaro
