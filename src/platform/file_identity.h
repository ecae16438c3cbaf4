// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaro {

// What tells one file at a path from another written there later, or from the same file
// after someone changed it: a replacement gets a new inode, an edit in place a new size or
// modification time.
struct FileIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uintmax_t size = 0;
    std::int64_t modifiedNs = 0;
    friend bool operator==(const FileIdentity&, const FileIdentity&) = default;
    // The same facts as one string, for keys and for comparing with a stored identity.
    std::string key() const;
};

// Symbolic links are followed; nothing when the file cannot be looked at.
std::optional<FileIdentity> identityOfFile(const std::filesystem::path& file);
std::optional<FileIdentity> identityOfDescriptor(int fd);

// How many names (hard links) the file has; 0 when it cannot be looked at.
std::uint64_t linkCountOf(const std::filesystem::path& file);

} // namespace tessaro
