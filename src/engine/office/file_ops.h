// SPDX-License-Identifier: MIT
#pragma once

#include "platform/atomic_file.h"
#include "platform/file_identity.h"

#include <filesystem>
#include <map>
#include <string>

namespace tessaro::xlsx {
class ZipReader;
}

namespace tessaro::office {

// A file that LibreOffice writes by name and that takes the place of `target` only when
// committed, so that a failure never leaves a half-written workbook (see
// AtomicReplacement). Without a commit the destructor removes it.
class ReplacementFile {
public:
    explicit ReplacementFile(const std::filesystem::path& target);

    // Where the new content goes; it exists, empty, from construction.
    const std::filesystem::path& path() const { return replacement_.temporaryPath(); }

    // Fails (and keeps the target untouched) when the new content is empty: an export that
    // wrote nothing has failed, whatever LibreOffice said.
    void commit();

    // See AtomicReplacement::requireTargetStill.
    void requireTargetStill(std::string identityKey) { replacement_.requireTargetStill(std::move(identityKey)); }

private:
    AtomicReplacement replacement_;
};

// Copies a file's bytes to `to` through a ReplacementFile.
void copyFileReplacing(const std::filesystem::path& from, const std::filesystem::path& to);

// A name no other process of this machine picks at the same moment: a prefix, this process
// and a per-process counter, and random bits.
std::string uniqueToken();

// Writes the archive `saved` (open on `written`) again in place of `written`, with the parts
// named in `changed` holding their new content and every other entry copied as it is stored.
void rewriteArchive(const xlsx::ZipReader& saved, const std::filesystem::path& written,
                    const std::map<std::string, std::string>& changed);

} // namespace tessaro::office
