// SPDX-License-Identifier: MIT
#include "engine/office/copy_names.h"

#include <stdexcept>

namespace tessaro::office {

namespace {

std::u16string cut(const std::u16string& s, std::size_t length)
{
    if (s.size() <= length)
        return s;
    // A high surrogate at the cut would be left without its partner.
    if (length > 0 && s[length - 1] >= 0xD800 && s[length - 1] <= 0xDBFF)
        --length;
    return s.substr(0, length);
}

} // namespace

std::u16string copySheetName(const std::u16string& original, const std::function<bool(const std::u16string&)>& taken)
{
    const std::u16string plain = cut(original, kMaxSheetNameLength);
    if (!taken(plain))
        return plain;
    for (int k = 2; k < 100000; ++k) {
        std::u16string suffix = u" (";
        for (char c : std::to_string(k))
            suffix.push_back(static_cast<char16_t>(c));
        suffix.push_back(u')');
        std::u16string name = cut(original, kMaxSheetNameLength - suffix.size()) + suffix;
        if (!taken(name))
            return name;
    }
    throw std::runtime_error("no free name for a copy of the sheet");
}

} // namespace tessaro::office
