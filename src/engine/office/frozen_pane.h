// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace tessaro {

// A sheet's frozen panes: the columns and rows that stay in view, and the first column and row
// of the pane that scrolls.
struct FrozenPane {
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    std::uint32_t firstColumn = 0;
    std::uint32_t firstRow = 0;
    bool operator==(const FrozenPane&) const = default;
};

} // namespace tessaro
