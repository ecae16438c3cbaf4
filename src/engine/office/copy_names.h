// SPDX-License-Identifier: MIT
#pragma once

#include <functional>
#include <string>

namespace tessaro::office {

// Sheet names are at most this many UTF-16 code units long, as Excel counts them.
inline constexpr std::size_t kMaxSheetNameLength = 31;

// The name a copy of the sheet `original` takes: the name itself when no sheet of the
// destination has it, else "Name (2)", "Name (3)"... (the first one free), the base cut
// short so the whole keeps kMaxSheetNameLength. `taken` says whether a name is in use, letter
// case ignored. Never cuts a surrogate pair in two.
std::u16string copySheetName(const std::u16string& original, const std::function<bool(const std::u16string&)>& taken);

} // namespace tessaro::office
