// SPDX-License-Identifier: MIT
#include "engine/zip/file_kind.h"

#include "platform/engine_error.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <system_error>
#include <vector>

namespace tessaro::xlsx {
namespace {

constexpr unsigned char kCompoundMagic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
// Compound files carrying workbooks are small enough to read whole for this look; bigger
// ones are judged by what the first part holds.
constexpr std::size_t kCompoundReadLimit = 64u << 20;

std::uint32_t le32(const std::string& b, std::size_t at)
{
    if (at + 4 > b.size())
        return 0xFFFFFFFFu;
    auto u = [&](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(b[at + i])); };
    return u(0) | (u(1) << 8) | (u(2) << 16) | (u(3) << 24);
}

std::uint16_t le16(const std::string& b, std::size_t at)
{
    if (at + 2 > b.size())
        return 0xFFFF;
    return static_cast<std::uint16_t>(static_cast<unsigned char>(b[at]) |
                                      (static_cast<unsigned char>(b[at + 1]) << 8));
}

} // namespace

CompoundKind classifyCompoundFile(const std::string& b)
{
    if (b.size() < 512 || std::memcmp(b.data(), kCompoundMagic, 8) != 0)
        return CompoundKind::Unreadable;
    unsigned shift = le16(b, 0x1E);
    if (shift != 9 && shift != 12)
        return CompoundKind::Unreadable;
    std::size_t sectorSize = std::size_t{1} << shift;
    std::size_t sectorCount = b.size() / sectorSize;  // an upper bound for every chain
    auto sectorOffset = [&](std::uint32_t s) { return (static_cast<std::size_t>(s) + 1) * sectorSize; };

    // The sector allocation table, gathered from the header's list and the DIFAT chain.
    std::vector<std::uint32_t> fatSectors;
    for (std::size_t i = 0; i < 109; ++i) {
        std::uint32_t s = le32(b, 0x4C + 4 * i);
        if (s >= 0xFFFFFFFAu)
            break;
        fatSectors.push_back(s);
    }
    std::uint32_t difat = le32(b, 0x44);
    std::size_t guard = 0;
    while (difat < 0xFFFFFFFAu && guard++ < sectorCount) {
        std::size_t at = sectorOffset(difat);
        if (at + sectorSize > b.size())
            break;
        for (std::size_t i = 0; i + 1 < sectorSize / 4; ++i) {
            std::uint32_t s = le32(b, at + 4 * i);
            if (s < 0xFFFFFFFAu)
                fatSectors.push_back(s);
        }
        difat = le32(b, at + sectorSize - 4);
    }
    auto next = [&](std::uint32_t s) -> std::uint32_t {
        std::size_t perSector = sectorSize / 4;
        std::size_t which = s / perSector;
        if (which >= fatSectors.size())
            return 0xFFFFFFFEu;
        return le32(b, sectorOffset(fatSectors[which]) + 4 * (s % perSector));
    };

    std::set<std::u16string> names;
    std::uint32_t dir = le32(b, 0x30);
    guard = 0;
    while (dir < 0xFFFFFFFAu && guard++ < sectorCount) {
        std::size_t at = sectorOffset(dir);
        if (at + sectorSize > b.size())
            break;
        for (std::size_t e = 0; e + 128 <= sectorSize; e += 128) {
            std::size_t len = le16(b, at + e + 0x40);
            if (len < 2 || len > 64)
                continue;
            std::u16string name;
            for (std::size_t i = 0; i + 2 <= len && i < 64; i += 2)
                name.push_back(static_cast<char16_t>(le16(b, at + e + i)));
            while (!name.empty() && name.back() == 0)
                name.pop_back();
            names.insert(name);
        }
        dir = next(dir);
    }
    if (names.count(u"EncryptedPackage") || names.count(u"EncryptionInfo"))
        return CompoundKind::EncryptedPackage;
    if (names.count(u"Workbook") || names.count(u"Book"))
        return CompoundKind::LegacyWorkbook;
    if (names.empty())
        return CompoundKind::Unreadable;
    return CompoundKind::Other;
}

void requireZipArchive(const std::filesystem::path& file, const std::string& displayPath)
{
    std::error_code ec;
    auto st = std::filesystem::status(file, ec);
    if (ec || !std::filesystem::exists(st)) {
        if (ec && ec != std::errc::no_such_file_or_directory)
            throw EngineError(ErrorCode::FileUnreadable, displayPath, ec.message());
        throw EngineError(ErrorCode::FileNotFound, displayPath);
    }
    if (std::filesystem::is_directory(st))
        throw EngineError(ErrorCode::IsFolder, displayPath);
    std::ifstream in(file, std::ios::binary);
    if (!in)
        throw EngineError(ErrorCode::FileUnreadable, displayPath, std::strerror(errno));
    std::string head(4096, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<std::size_t>(in.gcount()));
    if (head.empty())
        throw EngineError(ErrorCode::EmptyFile, displayPath);
    if (head.size() >= 4 && head[0] == 'P' && head[1] == 'K' &&
        ((head[2] == 3 && head[3] == 4) || (head[2] == 5 && head[3] == 6) || (head[2] == 7 && head[3] == 8)))
        return;
    if (head.size() >= 8 && std::memcmp(head.data(), kCompoundMagic, 8) == 0) {
        in.clear();
        in.seekg(0);
        // Only as much as the file holds: an .xls is usually far smaller than the limit.
        std::error_code sizeError;
        const std::uintmax_t size = std::filesystem::file_size(file, sizeError);
        std::string all;
        all.resize(sizeError ? kCompoundReadLimit
                             : static_cast<std::size_t>(std::min<std::uintmax_t>(size, kCompoundReadLimit)));
        in.read(all.data(), static_cast<std::streamsize>(all.size()));
        all.resize(static_cast<std::size_t>(in.gcount()));
        switch (classifyCompoundFile(all)) {
        case CompoundKind::EncryptedPackage:
            throw EngineError(ErrorCode::EncryptedWorkbook, displayPath);
        case CompoundKind::LegacyWorkbook:
            throw EngineError(ErrorCode::LegacyWorkbook, displayPath);
        case CompoundKind::Other:
        case CompoundKind::Unreadable:
            throw EngineError(ErrorCode::OtherCompoundFile, displayPath);
        }
    }
    if (head.find("progid=\"Excel.Sheet\"") != std::string::npos ||
        head.find("urn:schemas-microsoft-com:office:spreadsheet") != std::string::npos)
        throw EngineError(ErrorCode::XmlSpreadsheet2003, displayPath);
    throw EngineError(ErrorCode::NotZip, displayPath);
}

} // namespace tessaro::xlsx
