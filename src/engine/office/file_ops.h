// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>

namespace tessaro::office {

// Enough of a file's identity to tell whether it changed since it was looked at.
struct FileStamp {
    std::uintmax_t size = 0;
    std::int64_t modifiedNs = 0;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    friend bool operator==(const FileStamp&, const FileStamp&) = default;
};
std::optional<FileStamp> stampOf(const std::filesystem::path& file);

// A file that takes the place of `target` only when committed, so that a failure never
// leaves a half-written workbook: it is created beside the target (beside the file a
// symbolic link points at, so the link stays a link), and commit() gives it the target's
// permissions, flushes it to disk, renames it over the target and flushes the folder.
// Without a commit the destructor removes it. Errors are std::system_error.
class ReplacementFile {
public:
    explicit ReplacementFile(const std::filesystem::path& target);
    ~ReplacementFile();
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Where the new content goes; it exists, empty, from construction.
    const std::filesystem::path& path() const { return temp_; }
    // The file that will be replaced (the target with symbolic links resolved).
    const std::filesystem::path& finalPath() const { return final_; }

    // Fails (and keeps the target untouched) when the new content is empty.
    void commit();

private:
    std::filesystem::path final_;
    std::filesystem::path temp_;
    unsigned createdMode_ = 0;
    bool done_ = false;
};

// Copies a file's bytes to `to` through a ReplacementFile.
void copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// A name no other process of this machine picks at the same moment: a prefix, this process
// and a per-process counter, and random bits.
std::string uniqueToken();

} // namespace tessaro::office
