// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace tessaro::xlsx {

// Integers as zip archives and compound files store them, read from bytes that the caller
// has checked are there.
inline std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

inline std::uint64_t le64(const unsigned char* p)
{
    return le32(p) | (static_cast<std::uint64_t>(le32(p + 4)) << 32);
}

} // namespace tessaro::xlsx
