// SPDX-License-Identifier: MIT
#include "hostile_files.h"

#include "support/temp_dir.h"

#include <zlib.h>

#include <algorithm>
#include <stdexcept>

namespace tessaro::xlsx::test {
namespace {

void put16(std::string& s, std::uint32_t v)
{
    s.push_back(static_cast<char>(v & 0xFF));
    s.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void put32(std::string& s, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

void set16(std::string& s, std::size_t at, std::uint32_t v)
{
    s[at] = static_cast<char>(v & 0xFF);
    s[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void set32(std::string& s, std::size_t at, std::uint32_t v)
{
    for (std::size_t i = 0; i < 4; ++i)
        s[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::uint32_t crcOf(const std::string& s)
{
    return static_cast<std::uint32_t>(::crc32(0, reinterpret_cast<const Bytef*>(s.data()), static_cast<uInt>(s.size())));
}

} // namespace

CraftedEntry craftedEntry(std::string name, std::string content, bool deflate)
{
    CraftedEntry e;
    e.name = std::move(name);
    e.content = std::move(content);
    e.deflate = deflate;
    return e;
}

std::vector<CraftedEntry> craftedEntries(const Parts& parts)
{
    std::vector<CraftedEntry> out;
    for (const auto& [name, content] : parts)
        out.push_back(craftedEntry(name, content));
    return out;
}

CraftedEntry& entryNamed(std::vector<CraftedEntry>& entries, const std::string& name)
{
    for (auto& e : entries)
        if (e.name == name)
            return e;
    throw std::logic_error("no entry " + name);
}

std::string deflateWithFill(const std::string& head, char fill, std::uint64_t count, const std::string& tail,
                            std::uint32_t& crc)
{
    z_stream zs{};
    if (deflateInit2(&zs, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflateInit2");
    std::string out;
    std::string buffer(1 << 16, '\0');
    crc = 0;
    auto feed = [&](const std::string& in, int flush) {
        crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(in.data()), static_cast<uInt>(in.size())));
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
        zs.avail_in = static_cast<uInt>(in.size());
        do {
            zs.next_out = reinterpret_cast<Bytef*>(buffer.data());
            zs.avail_out = static_cast<uInt>(buffer.size());
            deflate(&zs, flush);
            out.append(buffer.data(), buffer.size() - zs.avail_out);
        } while (zs.avail_out == 0 || zs.avail_in > 0);
    };
    feed(head, Z_NO_FLUSH);
    const std::string block(1 << 20, fill);
    while (count > 0) {
        std::uint64_t n = std::min<std::uint64_t>(count, block.size());
        feed(n == block.size() ? block : block.substr(0, static_cast<std::size_t>(n)), Z_NO_FLUSH);
        count -= n;
    }
    feed(tail, Z_FINISH);
    deflateEnd(&zs);
    return out;
}

std::string craftZip(const std::vector<CraftedEntry>& entries)
{
    std::string out, central;
    for (const auto& e : entries) {
        std::string data = e.compressed ? *e.compressed : e.content;
        if (!e.compressed && e.deflate) {
            std::uint32_t ignored = 0;
            data = deflateWithFill(e.content, ' ', 0, "", ignored);
        }
        const std::uint32_t method = e.deflate ? 8 : 0;
        const std::uint32_t crc = e.statedCrc.value_or(crcOf(e.content));
        const std::uint32_t csize = e.statedCompressedSize.value_or(static_cast<std::uint32_t>(data.size()));
        const std::uint32_t size = e.statedSize.value_or(static_cast<std::uint32_t>(e.content.size()));
        const auto offset = static_cast<std::uint32_t>(out.size());
        std::string h;
        put32(h, 0x04034b50);
        put16(h, 20);
        put16(h, 0);
        put16(h, method);
        put16(h, 0);
        put16(h, 0x21);
        put32(h, crc);
        put32(h, csize);
        put32(h, size);
        put16(h, static_cast<std::uint32_t>(e.name.size()));
        put16(h, 0);
        out += h + e.name + data;
        std::string c;
        put32(c, 0x02014b50);
        put16(c, 20);
        put16(c, 20);
        put16(c, 0);
        put16(c, method);
        put16(c, 0);
        put16(c, 0x21);
        put32(c, crc);
        put32(c, csize);
        put32(c, size);
        put16(c, static_cast<std::uint32_t>(e.name.size()));
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put16(c, 0);
        put32(c, 0);
        put32(c, e.statedOffset.value_or(offset));
        central += c + e.name;
    }
    std::string end;
    put32(end, 0x06054b50);
    put16(end, 0);
    put16(end, 0);
    put16(end, static_cast<std::uint32_t>(entries.size()));
    put16(end, static_cast<std::uint32_t>(entries.size()));
    put32(end, static_cast<std::uint32_t>(central.size()));
    put32(end, static_cast<std::uint32_t>(out.size()));
    put16(end, 0);
    return out + central + end;
}

std::string compoundDocument(const std::vector<std::u16string>& streams)
{
    // 512-byte sectors: the header, sector 0 for the allocation table, the directory from
    // sector 1 on (four entries a sector), then one sector of filler per stream.
    std::vector<std::u16string> names = {u"Root Entry"};
    names.insert(names.end(), streams.begin(), streams.end());
    const std::size_t dirSectors = (names.size() + 3) / 4;
    const std::size_t dataStart = 1 + dirSectors;
    const std::size_t sectors = dataStart + streams.size();
    std::string f(512 * (1 + sectors), '\0');
    const unsigned char magic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    for (std::size_t i = 0; i < 8; ++i)
        f[i] = static_cast<char>(magic[i]);
    set16(f, 0x18, 0x3E);
    set16(f, 0x1A, 3);
    set16(f, 0x1C, 0xFFFE);
    set16(f, 0x1E, 9);
    set16(f, 0x20, 6);
    set32(f, 0x2C, 1);           // one allocation-table sector
    set32(f, 0x30, 1);           // the directory starts in sector 1
    set32(f, 0x38, 512);         // mini stream cutoff: every stream lives in regular sectors
    set32(f, 0x3C, 0xFFFFFFFE);  // no mini allocation table
    set32(f, 0x44, 0xFFFFFFFE);  // no further DIFAT sectors
    set32(f, 0x4C, 0);
    for (std::size_t i = 1; i < 109; ++i)
        set32(f, 0x4C + 4 * i, 0xFFFFFFFF);
    const std::size_t fat = 512;
    for (std::size_t i = 0; i < 128; ++i)
        set32(f, fat + 4 * i, 0xFFFFFFFF);
    set32(f, fat, 0xFFFFFFFD);
    for (std::size_t s = 1; s < dataStart; ++s)
        set32(f, fat + 4 * s, s + 1 < dataStart ? static_cast<std::uint32_t>(s + 1) : 0xFFFFFFFE);
    for (std::size_t s = dataStart; s < sectors; ++s)
        set32(f, fat + 4 * s, 0xFFFFFFFE);
    for (std::size_t e = 0; e < names.size(); ++e) {
        const std::size_t at = 512 * 2 + 128 * e;
        for (std::size_t i = 0; i < names[e].size() && i < 31; ++i)
            set16(f, at + 2 * i, names[e][i]);
        set16(f, at + 0x40, static_cast<std::uint32_t>((std::min<std::size_t>(names[e].size(), 31) + 1) * 2));
        f[at + 0x42] = e == 0 ? 5 : 2;  // root storage, then streams
        f[at + 0x43] = 1;                // black
        set32(f, at + 0x44, 0xFFFFFFFF);
        set32(f, at + 0x48, e + 1 < names.size() && e > 0 ? static_cast<std::uint32_t>(e + 1) : 0xFFFFFFFF);
        set32(f, at + 0x4C, e == 0 && names.size() > 1 ? 1 : 0xFFFFFFFF);
        if (e == 0) {
            set32(f, at + 0x74, 0xFFFFFFFE);
        } else {
            set32(f, at + 0x74, static_cast<std::uint32_t>(dataStart + e - 1));
            set32(f, at + 0x78, 512);
            for (std::size_t i = 0; i < 512; ++i)
                f[512 * (1 + dataStart + e - 1) + i] = static_cast<char>('a' + (i + e) % 26);
        }
    }
    return f;
}

Snapshot snapshot(const std::filesystem::path& dir)
{
    Snapshot files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir))
        files[e.path()] = e.is_regular_file() ? std::hash<std::string>{}(tessaro::test::readFile(e.path())) : 0;
    return files;
}

std::string changes(const Snapshot& before, const Snapshot& after)
{
    std::string out;
    for (const auto& [p, h] : before) {
        auto it = after.find(p);
        if (it == after.end())
            out += " removed " + p.filename().string();
        else if (it->second != h)
            out += " changed " + p.filename().string();
    }
    for (const auto& [p, h] : after)
        if (!before.count(p))
            out += " made " + p.filename().string();
    return out;
}

} // namespace tessaro::xlsx::test
