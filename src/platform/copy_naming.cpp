// SPDX-License-Identifier: MIT
#include "platform/copy_naming.h"

#include <stdexcept>

namespace tessaro {

namespace {

constexpr unsigned kLastNumber = 99999;

// How many bytes of `s` hold at most `units` UTF-16 code units. A byte that does not start
// a well-formed sequence counts as one unit on its own.
std::size_t prefixWithin(std::string_view s, std::size_t units)
{
    std::size_t i = 0, used = 0;
    while (i < s.size()) {
        const auto c = static_cast<unsigned char>(s[i]);
        std::size_t length = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
        if (i + length > s.size())
            length = 1;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80)
                length = 1;
        const std::size_t width = length == 4 ? 2 : 1;
        if (used + width > units)
            break;
        used += width;
        i += length;
    }
    return i;
}

std::size_t prefixWithin(std::u16string_view s, std::size_t units)
{
    if (s.size() <= units)
        return s.size();
    // A high surrogate at the cut would be left without its partner.
    if (units > 0 && s[units - 1] >= 0xD800 && s[units - 1] <= 0xDBFF)
        --units;
    return units;
}

template <class Char, class Taken>
std::basic_string<Char> pickName(std::basic_string_view<Char> original, const Taken& taken)
{
    std::basic_string<Char> plain(original.substr(0, prefixWithin(original, kMaxSheetNameLength)));
    if (!taken(plain))
        return plain;
    for (unsigned k = 2; k <= kLastNumber; ++k) {
        const std::string digits = " (" + std::to_string(k) + ")";
        const std::basic_string<Char> suffix(digits.begin(), digits.end());
        std::basic_string<Char> name(original.substr(0, prefixWithin(original, kMaxSheetNameLength - suffix.size())));
        name += suffix;
        if (!taken(name))
            return name;
    }
    throw std::runtime_error("no free name for a copy of the sheet");
}

} // namespace

std::string copyName(std::string_view utf8, const std::function<bool(std::string_view)>& taken)
{
    return pickName(utf8, taken);
}

std::u16string copyName(std::u16string_view original, const std::function<bool(const std::u16string&)>& taken)
{
    return pickName(original, taken);
}

} // namespace tessaro
