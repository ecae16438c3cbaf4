// SPDX-License-Identifier: MIT
#include "engine/zip/zip_writer.h"

#include <ctime>
#include <stdexcept>

namespace tessaro::xlsx {
namespace {

constexpr std::uint32_t kMax32 = 0xFFFFFFFFu;

class Bytes {
public:
    void u16(std::uint32_t v)
    {
        b_.push_back(static_cast<char>(v & 0xFF));
        b_.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    void u32(std::uint64_t v)
    {
        for (int i = 0; i < 4; ++i)
            b_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void u64(std::uint64_t v)
    {
        for (int i = 0; i < 8; ++i)
            b_.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    }
    void str(std::string_view s) { b_.append(s.data(), s.size()); }
    const std::string& data() const { return b_; }
    void clear() { b_.clear(); }

private:
    std::string b_;
};

std::uint16_t versionNeeded(std::uint16_t method, bool zip64)
{
    if (zip64)
        return 45;
    return method == 8 ? 20 : 10;
}

} // namespace

ZipWriter::ZipWriter(OutputFile& out) : out_(out)
{
    std::time_t now = std::time(nullptr);
    std::tm local{};
    ::localtime_r(&now, &local);
    int year = local.tm_year + 1900;
    if (year < 1980)
        year = 1980;
    nowDate_ = static_cast<std::uint16_t>(((year - 1980) << 9) | ((local.tm_mon + 1) << 5) | local.tm_mday);
    nowTime_ = static_cast<std::uint16_t>((local.tm_hour << 11) | (local.tm_min << 5) | (local.tm_sec / 2));
}

void ZipWriter::writeLocalHeader(const Record& r)
{
    bool big = r.size >= kMax32 || r.compressedSize >= kMax32;
    Bytes h;
    h.u32(0x04034b50);
    h.u16(versionNeeded(r.method, big));
    h.u16(r.flags);
    h.u16(r.method);
    h.u16(r.dosTime);
    h.u16(r.dosDate);
    h.u32(r.crc);
    h.u32(big ? kMax32 : r.compressedSize);
    h.u32(big ? kMax32 : r.size);
    h.u16(static_cast<std::uint32_t>(r.name.size()));
    h.u16(big ? 20u : 0u);
    h.str(r.name);
    if (big) {
        h.u16(0x0001);
        h.u16(16);
        h.u64(r.size);
        h.u64(r.compressedSize);
    }
    out_.write(h.data().data(), h.data().size());
}

void ZipWriter::addRaw(const ZipReader& from, const ZipEntry& entry)
{
    // Bit 3 (sizes after the data) is dropped because the header now carries them; bit 11
    // (UTF-8 name) and the level bits stay.
    Record r{entry.name, entry.versionMadeBy, static_cast<std::uint16_t>(entry.flags & 0x0806),
             entry.method, entry.dosTime, entry.dosDate, entry.crc, entry.compressedSize, entry.size,
             entry.externalAttributes, out_.position()};
    writeLocalHeader(r);
    out_.copyFrom(from.descriptor(), entry.dataOffset, entry.compressedSize);
    records_.push_back(std::move(r));
}

void ZipWriter::addRaw(const ZipReader& from, const ZipEntry& entry, std::string_view name)
{
    bool ascii = true;
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    Record r{std::string(name), entry.versionMadeBy,
             static_cast<std::uint16_t>((entry.flags & 0x0006) | (ascii ? 0 : 0x0800)), entry.method, entry.dosTime,
             entry.dosDate, entry.crc, entry.compressedSize, entry.size, entry.externalAttributes, out_.position()};
    writeLocalHeader(r);
    out_.copyFrom(from.descriptor(), entry.dataOffset, entry.compressedSize);
    records_.push_back(std::move(r));
}

void ZipWriter::add(std::string_view name, const StoredPart& part)
{
    bool ascii = true;
    for (char c : name)
        if (static_cast<unsigned char>(c) >= 0x80)
            ascii = false;
    std::uint16_t flags = static_cast<std::uint16_t>((ascii ? 0 : 0x0800) |
                                                     (part.method == StoredPart::Method::Deflated ? part.levelFlags : 0));
    Record r{std::string(name), 20, flags, static_cast<std::uint16_t>(part.method), nowTime_, nowDate_,
             part.crc, part.bytes->size(), part.size, 0, out_.position()};
    writeLocalHeader(r);
    if (part.bytes->descriptor() >= 0)
        out_.copyFrom(part.bytes->descriptor(), 0, part.bytes->size());
    else
        part.bytes->forEachPiece([&](std::string_view piece) { out_.write(piece.data(), piece.size()); });
    records_.push_back(std::move(r));
}

void ZipWriter::finish()
{
    if (finished_)
        throw std::logic_error("zip archive finished twice");
    finished_ = true;
    std::uint64_t cdStart = out_.position();
    Bytes h;
    for (const Record& r : records_) {
        h.clear();
        bool bigSize = r.size >= kMax32 || r.compressedSize >= kMax32;
        bool bigOffset = r.offset >= kMax32;
        std::uint16_t extraLen = static_cast<std::uint16_t>((bigSize ? 16 : 0) + (bigOffset ? 8 : 0));
        h.u32(0x02014b50);
        h.u16(r.versionMadeBy);
        h.u16(versionNeeded(r.method, bigSize || bigOffset));
        h.u16(r.flags);
        h.u16(r.method);
        h.u16(r.dosTime);
        h.u16(r.dosDate);
        h.u32(r.crc);
        h.u32(bigSize ? kMax32 : r.compressedSize);
        h.u32(bigSize ? kMax32 : r.size);
        h.u16(static_cast<std::uint32_t>(r.name.size()));
        h.u16(extraLen ? extraLen + 4u : 0u);
        h.u16(0);  // comment
        h.u16(0);  // disk
        h.u16(0);  // internal attributes
        h.u32(r.externalAttributes);
        h.u32(bigOffset ? kMax32 : r.offset);
        h.str(r.name);
        if (extraLen) {
            h.u16(0x0001);
            h.u16(extraLen);
            if (bigSize) {
                h.u64(r.size);
                h.u64(r.compressedSize);
            }
            if (bigOffset)
                h.u64(r.offset);
        }
        out_.write(h.data().data(), h.data().size());
    }
    std::uint64_t cdEnd = out_.position();
    std::uint64_t cdSize = cdEnd - cdStart;
    std::uint64_t count = records_.size();
    bool zip64 = count >= 0xFFFF || cdStart >= kMax32 || cdSize >= kMax32;
    h.clear();
    if (zip64) {
        h.u32(0x06064b50);
        h.u64(44);
        h.u16(45);
        h.u16(45);
        h.u32(0);
        h.u32(0);
        h.u64(count);
        h.u64(count);
        h.u64(cdSize);
        h.u64(cdStart);
        h.u32(0x07064b50);
        h.u32(0);
        h.u64(cdEnd);
        h.u32(1);
    }
    h.u32(0x06054b50);
    h.u16(0);
    h.u16(0);
    h.u16(zip64 ? 0xFFFFu : static_cast<std::uint32_t>(count));
    h.u16(zip64 ? 0xFFFFu : static_cast<std::uint32_t>(count));
    h.u32(zip64 ? kMax32 : cdSize);
    h.u32(zip64 ? kMax32 : cdStart);
    h.u16(0);
    out_.write(h.data().data(), h.data().size());
}

} // namespace tessaro::xlsx
