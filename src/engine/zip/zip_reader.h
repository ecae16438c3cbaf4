// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessaro::xlsx {

// One entry of a zip archive, as the central directory describes it once the local header
// has been checked against it.
struct ZipEntry {
    std::string name;
    std::uint16_t versionMadeBy = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint16_t dosTime = 0;
    std::uint16_t dosDate = 0;
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint32_t externalAttributes = 0;
    std::uint64_t dataOffset = 0;
};

// How much reading one archive may inflate. Real workbook parts expand up to about 150
// times their stored size; a crafted entry can expand a thousand times over and claim any
// size at all, so a small hostile file must not turn into gigabytes of work.
struct InflateLimits {
    // A part may expand to this many times its stored size...
    std::uint64_t maxRatio = 500;
    // ...once it is larger than this; small parts may be as compressible as they like.
    std::uint64_t ratioAllowance = 1u << 20;
    // All the parts read from one archive together (each counted once, however often it is
    // read again).
    std::uint64_t maxTotal = 4ull << 30;
};

// A zip archive opened for reading. It keeps the file open, so the file may be replaced on
// disk (a save renames over it) while entries are still copied from it. Every defect of the
// structure is an EngineError naming `displayPath`.
class ZipReader {
public:
    // Reads and checks the whole directory. Names must be safe relative paths and unique
    // without regard to letter case, as package part names are.
    ZipReader(const std::filesystem::path& file, std::string displayPath, InflateLimits limits = {});
    ~ZipReader();
    ZipReader(const ZipReader&) = delete;
    ZipReader& operator=(const ZipReader&) = delete;

    const std::vector<ZipEntry>& entries() const { return entries_; }
    // The entry of that name, compared without regard to ASCII letter case; null if none.
    const ZipEntry* find(std::string_view name) const;

    // The whole uncompressed content, checked against its length and CRC. An entry longer
    // than `limit` is refused as too large. Reading, whole or as a stream, counts against
    // the archive's inflate limits and is refused beyond them.
    std::string read(const ZipEntry& entry, std::uint64_t limit) const;

    // Reads an entry piece by piece, for parts too big to hold.
    class Stream {
    public:
        Stream(const ZipReader& zip, const ZipEntry& entry);
        ~Stream();
        Stream(const Stream&) = delete;
        Stream& operator=(const Stream&) = delete;
        // Up to `capacity` bytes; 0 only at the end, after the length and CRC were checked.
        std::size_t read(char* out, std::size_t capacity);

    private:
        struct Impl;
        std::unique_ptr<Impl> impl_;
    };

    int descriptor() const { return fd_; }
    const std::string& displayPath() const { return displayPath_; }
    // Identity of the file that was opened: device, inode, size and modification time.
    const std::string& identity() const { return identity_; }

private:
    // Refuses to start inflating an entry beyond the limits, and counts it.
    void admit(const ZipEntry& entry) const;
    // Where the central directory is, from the end record (and its zip64 form).
    struct DirectoryPlace {
        std::uint64_t entries = 0;
        std::uint64_t start = 0;  // in the file
        std::uint64_t size = 0;
        std::uint64_t shift = 0;  // bytes prepended to the archive
    };
    void readDirectory();
    DirectoryPlace findDirectory() const;
    // Reads the directory's entries; returns where each one's local header is.
    std::vector<std::uint64_t> readEntries(const DirectoryPlace& place);
    void checkLocalHeaders(const std::vector<std::uint64_t>& localOffsets, std::uint64_t directoryStart);
    void checkOverlaps(const std::vector<std::uint64_t>& localOffsets) const;
    [[noreturn]] void damaged(const std::string& detail) const;
    void readAt(std::uint64_t offset, void* out, std::size_t size) const;

    int fd_ = -1;
    std::uint64_t fileSize_ = 0;
    std::string displayPath_;
    std::string identity_;
    std::vector<ZipEntry> entries_;
    std::unordered_map<std::string, std::size_t> byFoldedName_;
    InflateLimits limits_;
    mutable std::vector<bool> admitted_;
    mutable std::uint64_t admittedTotal_ = 0;
};

// ASCII lower case, as package part names compare.
std::string foldAscii(std::string_view s);

} // namespace tessaro::xlsx
