// SPDX-License-Identifier: MIT
// Hostile and broken workbook files, made byte by byte so a test controls every field a
// reader trusts: zip headers that lie, decompression bombs, compound documents.
#pragma once

#include "xlsx_fixtures.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaro::xlsx::test {

// One entry of a crafted zip. The stated fields, when set, replace the true ones in both
// the local header and the central directory.
struct CraftedEntry {
    std::string name;
    std::string content;            // uncompressed
    bool deflate = true;
    std::optional<std::string> compressed;  // stored bytes to use instead of compressing `content`
    std::optional<std::uint32_t> statedSize;
    std::optional<std::uint32_t> statedCompressedSize;
    std::optional<std::uint32_t> statedCrc;
    std::optional<std::uint32_t> statedOffset;  // where the central directory says the entry is
};

CraftedEntry craftedEntry(std::string name, std::string content, bool deflate = true);
std::vector<CraftedEntry> craftedEntries(const Parts& parts);
CraftedEntry& entryNamed(std::vector<CraftedEntry>& entries, const std::string& name);

// The bytes of a zip archive holding the entries in order.
std::string craftZip(const std::vector<CraftedEntry>& entries);

// Raw deflate of `head`, then `fill` repeated `count` times, then `tail`, made in pieces so
// a bomb of hundreds of megabytes costs no memory to make. `crc` receives the CRC-32 of the
// whole uncompressed text.
std::string deflateWithFill(const std::string& head, char fill, std::uint64_t count, const std::string& tail,
                            std::uint32_t& crc);

// An OLE compound document whose directory holds the given stream names (what an .xls or
// an encrypted OOXML workbook is made of), with some filler content.
std::string compoundDocument(const std::vector<std::u16string>& streams);

// Every file under a folder with a digest of its bytes, and the difference of two such
// snapshots in words ("changed a.xlsx made .a.xlsx.tessaro-1f2e"), empty when none.
using Snapshot = std::map<std::filesystem::path, std::size_t>;
Snapshot snapshot(const std::filesystem::path& dir);
std::string changes(const Snapshot& before, const Snapshot& after);

} // namespace tessaro::xlsx::test
