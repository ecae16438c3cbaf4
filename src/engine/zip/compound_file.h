// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// The first eight bytes of every OLE compound file (legacy workbooks, encrypted packages,
// other office documents).
bool startsAsCompoundFile(std::string_view head);

// The stream and storage names in a compound file's directory. Just enough of the format is
// read for that: the allocation table (from the header and the DIFAT chain) and the
// directory's sector chain, each walk bounded by the file's sector count so that a looping
// or cut file ends it instead of hanging. `complete` is false when the file is not a
// compound file or a sector it needs is missing; `names` then holds what was found before.
struct CompoundDirectory {
    std::vector<std::u16string> names;
    bool complete = false;

    // Directory names compare without regard to ASCII case.
    bool has(std::u16string_view name) const;
};
CompoundDirectory readCompoundDirectory(const std::filesystem::path& file);

} // namespace tessaro::xlsx
