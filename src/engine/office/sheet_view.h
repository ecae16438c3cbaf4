// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>

namespace tessaro {

// What a sheet's view shows that a copy must keep: its frozen panes (the columns and rows that
// stay in view, and the first column and row of the pane that scrolls), whether its grid lines
// are hidden, and its zoom in percent.
struct SheetView {
    std::uint32_t columns = 0;
    std::uint32_t rows = 0;
    std::uint32_t firstColumn = 0;
    std::uint32_t firstRow = 0;
    bool gridHidden = false;
    std::uint32_t zoom = 100;
    bool frozen() const { return columns > 0 || rows > 0; }
    // Whether it differs from the view every new sheet gets.
    bool any() const { return frozen() || gridHidden || zoom != 100; }
    bool operator==(const SheetView&) const = default;
};

} // namespace tessaro
