// SPDX-License-Identifier: MIT
#include "engine/zip/compound_file.h"

#include "engine/zip/little_endian.h"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace tessaro::xlsx {

namespace {

constexpr unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFAu;
constexpr std::size_t kHeaderFatEntries = 109;
constexpr std::size_t kDirectoryEntrySize = 128;

char16_t upperAscii(char16_t c)
{
    return c >= u'a' && c <= u'z' ? static_cast<char16_t>(c - u'a' + u'A') : c;
}

class Reader {
public:
    Reader(std::ifstream& in, std::uint64_t size) : in_(in), size_(size) {}

    void readDirectory(CompoundDirectory& out)
    {
        unsigned char header[512];
        if (!readAt(0, header, sizeof header) || std::memcmp(header, kSignature, sizeof kSignature) != 0)
            return;
        const unsigned shift = le16(header + 0x1E);
        if (shift != 9 && shift != 12)
            return;
        sectorSize_ = std::size_t{1} << shift;
        sectorCount_ = size_ / sectorSize_;
        sector_.resize(sectorSize_);
        // A cut allocation table still leaves the directory's first sector to look at.
        const bool tableRead = readAllocationTable(header);
        const bool directoryRead = readDirectorySectors(le32(header + 0x30), out);
        out.complete = tableRead && directoryRead;
    }

private:
    bool readAllocationTable(const unsigned char* header)
    {
        std::vector<std::uint32_t> fatSectors;
        for (std::size_t i = 0; i < kHeaderFatEntries; ++i) {
            const std::uint32_t s = le32(header + 0x4C + 4 * i);
            if (s <= kMaxRegularSector)
                fatSectors.push_back(s);
        }
        std::uint32_t difat = le32(header + 0x44);
        const std::size_t perDifatSector = sectorSize_ / 4 - 1;
        for (std::uint64_t guard = 0; difat <= kMaxRegularSector && guard < sectorCount_; ++guard) {
            if (!readSector(difat))
                return false;
            for (std::size_t i = 0; i < perDifatSector; ++i) {
                const std::uint32_t s = le32(sector_.data() + 4 * i);
                if (s <= kMaxRegularSector)
                    fatSectors.push_back(s);
            }
            difat = le32(sector_.data() + 4 * perDifatSector);
        }
        for (const std::uint32_t s : fatSectors) {
            if (!readSector(s))
                return false;
            for (std::size_t i = 0; i < sectorSize_ / 4; ++i)
                fat_.push_back(le32(sector_.data() + 4 * i));
        }
        return true;
    }

    bool readDirectorySectors(std::uint32_t dir, CompoundDirectory& out)
    {
        for (std::uint64_t guard = 0; dir <= kMaxRegularSector && guard < sectorCount_; ++guard) {
            if (!readSector(dir))
                return false;
            for (std::size_t off = 0; off + kDirectoryEntrySize <= sectorSize_; off += kDirectoryEntrySize) {
                const unsigned char* e = sector_.data() + off;
                const std::uint16_t bytes = le16(e + 0x40);
                // An unused entry has type 0; a name is at most 31 characters and its NUL.
                if (e[0x42] == 0 || bytes < 2 || bytes > 64)
                    continue;
                std::u16string name;
                for (std::size_t i = 0; i + 2 < bytes; i += 2)
                    name.push_back(static_cast<char16_t>(le16(e + i)));
                out.names.push_back(std::move(name));
            }
            // A sector past the allocation table has no successor: the chain ends there.
            if (dir >= fat_.size())
                return true;
            dir = fat_[dir];
            if (dir == kEndOfChain)
                return true;
        }
        return dir > kMaxRegularSector;
    }

    bool readAt(std::uint64_t offset, unsigned char* out, std::size_t n)
    {
        if (offset + n > size_)
            return false;
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
        return static_cast<std::size_t>(in_.gcount()) == n;
    }

    bool readSector(std::uint32_t s) { return readAt((std::uint64_t{s} + 1) * sectorSize_, sector_.data(), sectorSize_); }

    std::ifstream& in_;
    std::uint64_t size_;
    std::size_t sectorSize_ = 512;
    std::uint64_t sectorCount_ = 0;
    std::vector<unsigned char> sector_;
    std::vector<std::uint32_t> fat_;
};

} // namespace

bool startsAsCompoundFile(std::string_view head)
{
    return head.size() >= sizeof kSignature && std::memcmp(head.data(), kSignature, sizeof kSignature) == 0;
}

bool CompoundDirectory::has(std::u16string_view name) const
{
    for (const auto& n : names) {
        if (n.size() != name.size())
            continue;
        std::size_t i = 0;
        while (i < n.size() && upperAscii(n[i]) == upperAscii(name[i]))
            ++i;
        if (i == n.size())
            return true;
    }
    return false;
}

CompoundDirectory readCompoundDirectory(const std::filesystem::path& file)
{
    CompoundDirectory out;
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(file, ec);
    if (ec)
        return out;
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return out;
    Reader(in, size).readDirectory(out);
    return out;
}

} // namespace tessaro::xlsx
