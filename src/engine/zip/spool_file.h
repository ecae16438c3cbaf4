// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro::xlsx {

// An unnamed temporary file for bytes too many to hold in memory, read back by offset. It
// has no name from the start, so it vanishes when closed, a crash included. Throws
// std::system_error when the file cannot be made, written or read.
class SpoolFile {
public:
    SpoolFile();
    ~SpoolFile();
    SpoolFile(const SpoolFile&) = delete;
    SpoolFile& operator=(const SpoolFile&) = delete;

    void append(const char* data, std::size_t size);
    // Up to `size` bytes from `offset`; fewer only at the end of the file.
    std::size_t readAt(std::uint64_t offset, char* out, std::size_t size) const;
    std::uint64_t size() const { return size_; }
    int descriptor() const { return fd_; }

private:
    int fd_ = -1;
    std::uint64_t size_ = 0;
};

} // namespace tessaro::xlsx
