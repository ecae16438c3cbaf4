// SPDX-License-Identifier: MIT
#include "engine/office/workbook_format.h"

#include <zip.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string_view>
#include <vector>

namespace tessaro::office {

namespace {

constexpr std::array<unsigned char, 8> kOleSignature = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
constexpr std::uint32_t kMaxRegularSector = 0xFFFFFFFAu;

std::uint16_t le16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }
std::uint32_t le32(const unsigned char* p)
{
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

// Just enough of the compound file format to read the names in its directory: the FAT (from
// the header's DIFAT and its chain) and the directory's sector chain. Every chain is bounded
// by the file's sector count, so a looping or truncated file ends the walk instead of hanging.
class CompoundFile {
public:
    explicit CompoundFile(std::ifstream& in, std::uint64_t size) : in_(in), size_(size) {}

    bool readDirectoryNames(std::vector<std::u16string>& names)
    {
        unsigned char header[512];
        if (!readAt(0, header, sizeof header))
            return false;
        const unsigned shift = le16(header + 0x1E);
        if (shift != 9 && shift != 12)
            return false;
        sectorSize_ = std::uint64_t{1} << shift;
        sectorCount_ = size_ / sectorSize_;

        std::vector<std::uint32_t> fatSectors;
        for (int i = 0; i < 109; ++i) {
            const std::uint32_t s = le32(header + 0x4C + 4 * i);
            if (s <= kMaxRegularSector)
                fatSectors.push_back(s);
        }
        std::uint32_t difat = le32(header + 0x44);
        std::vector<unsigned char> sector(sectorSize_);
        for (std::uint64_t guard = 0; difat <= kMaxRegularSector && guard < sectorCount_; ++guard) {
            if (!readSector(difat, sector.data()))
                return false;
            const std::size_t perSector = sectorSize_ / 4 - 1;
            for (std::size_t i = 0; i < perSector; ++i) {
                const std::uint32_t s = le32(sector.data() + 4 * i);
                if (s <= kMaxRegularSector)
                    fatSectors.push_back(s);
            }
            difat = le32(sector.data() + 4 * perSector);
        }
        for (std::uint32_t s : fatSectors) {
            if (!readSector(s, sector.data()))
                return false;
            for (std::size_t i = 0; i < sectorSize_ / 4; ++i)
                fat_.push_back(le32(sector.data() + 4 * i));
        }

        std::uint32_t dir = le32(header + 0x30);
        for (std::uint64_t guard = 0; dir <= kMaxRegularSector && guard < sectorCount_; ++guard) {
            if (!readSector(dir, sector.data()))
                return false;
            for (std::size_t off = 0; off + 128 <= sectorSize_; off += 128) {
                const unsigned char* e = sector.data() + off;
                const std::uint16_t bytes = le16(e + 0x40);
                if (e[0x42] == 0 || bytes < 2 || bytes > 64)
                    continue;
                std::u16string name;
                for (std::size_t i = 0; i + 2 < bytes; i += 2)
                    name.push_back(static_cast<char16_t>(le16(e + i)));
                names.push_back(std::move(name));
            }
            if (dir >= fat_.size())
                break;
            dir = fat_[dir];
            if (dir == kEndOfChain)
                break;
        }
        return true;
    }

private:
    bool readAt(std::uint64_t offset, unsigned char* out, std::size_t n)
    {
        if (offset + n > size_)
            return false;
        in_.seekg(static_cast<std::streamoff>(offset));
        in_.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(n));
        return static_cast<std::size_t>(in_.gcount()) == n;
    }
    bool readSector(std::uint32_t s, unsigned char* out)
    {
        return readAt((std::uint64_t{s} + 1) * sectorSize_, out, sectorSize_);
    }

    std::ifstream& in_;
    std::uint64_t size_;
    std::uint64_t sectorSize_ = 512;
    std::uint64_t sectorCount_ = 0;
    std::vector<std::uint32_t> fat_;
};

bool equalsIgnoreAsciiCase(const std::u16string& a, std::u16string_view b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = static_cast<char16_t>(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z')
            y = static_cast<char16_t>(y - u'a' + u'A');
        if (x != y)
            return false;
    }
    return true;
}

WorkbookFormat classifyNames(const std::vector<std::u16string>& names)
{
    bool workbook = false;
    for (const auto& n : names) {
        // An encrypted OOXML package is a compound file too; it is not a legacy workbook.
        if (equalsIgnoreAsciiCase(n, u"EncryptedPackage"))
            return WorkbookFormat::Unknown;
        if (equalsIgnoreAsciiCase(n, u"Workbook") || equalsIgnoreAsciiCase(n, u"Book"))
            workbook = true;
    }
    return workbook ? WorkbookFormat::Xls : WorkbookFormat::Unknown;
}

std::vector<std::u16string> compoundNames(const std::filesystem::path& file)
{
    std::vector<std::u16string> names;
    std::error_code ec;
    const std::uint64_t size = std::filesystem::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    unsigned char magic[8] = {};
    if (ec || !in.read(reinterpret_cast<char*>(magic), sizeof magic) ||
        std::memcmp(magic, kOleSignature.data(), kOleSignature.size()) != 0)
        return names;
    CompoundFile cf(in, size);
    cf.readDirectoryNames(names);
    return names;
}

WorkbookFormat classifyCompound(std::ifstream& in, std::uint64_t size)
{
    std::vector<std::u16string> names;
    CompoundFile cf(in, size);
    if (!cf.readDirectoryNames(names))
        return WorkbookFormat::Unknown;
    return classifyNames(names);
}

std::string readEntry(zip_t* zip, const char* name, std::size_t limit)
{
    const zip_int64_t index = zip_name_locate(zip, name, 0);
    if (index < 0)
        return {};
    std::unique_ptr<zip_file_t, decltype(&zip_fclose)> file(zip_fopen_index(zip, static_cast<zip_uint64_t>(index), 0),
                                                             &zip_fclose);
    if (!file)
        return {};
    std::string out(limit, '\0');
    std::size_t got = 0;
    while (got < limit) {
        const zip_int64_t n = zip_fread(file.get(), out.data() + got, limit - got);
        if (n <= 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    out.resize(got);
    return out;
}

WorkbookFormat classifyZip(const std::filesystem::path& file)
{
    int error = 0;
    std::unique_ptr<zip_t, decltype(&zip_discard)> zip(zip_open(file.c_str(), ZIP_RDONLY, &error), &zip_discard);
    if (!zip)
        return WorkbookFormat::Unknown;
    const std::string mimetype = readEntry(zip.get(), "mimetype", 200);
    if (mimetype == "application/vnd.oasis.opendocument.spreadsheet")
        return WorkbookFormat::Ods;
    if (zip_name_locate(zip.get(), "[Content_Types].xml", 0) < 0)
        return WorkbookFormat::Unknown;
    const std::string types = readEntry(zip.get(), "[Content_Types].xml", 1 << 20);
    if (types.find("application/vnd.ms-excel.sheet.binary.macroEnabled.main") != std::string::npos)
        return WorkbookFormat::Xlsb;
    return WorkbookFormat::Ooxml;
}

} // namespace

WorkbookFormat detectWorkbookFormat(const std::filesystem::path& file)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return WorkbookFormat::Unknown;
    const std::uint64_t size = std::filesystem::file_size(file, ec);
    if (ec)
        return WorkbookFormat::Unknown;
    std::ifstream in(file, std::ios::binary);
    unsigned char magic[8] = {};
    if (!in.read(reinterpret_cast<char*>(magic), sizeof magic))
        return WorkbookFormat::Unknown;
    if (std::memcmp(magic, kOleSignature.data(), kOleSignature.size()) == 0)
        return classifyCompound(in, size);
    if (magic[0] == 'P' && magic[1] == 'K') {
        in.close();
        return classifyZip(file);
    }
    return WorkbookFormat::Unknown;
}

bool startsAsZip(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    char magic[2] = {};
    return in.read(magic, sizeof magic) && magic[0] == 'P' && magic[1] == 'K';
}

bool holdsVbaProject(const std::filesystem::path& file)
{
    for (const auto& n : compoundNames(file))
        if (equalsIgnoreAsciiCase(n, u"_VBA_PROJECT_CUR"))
            return true;
    return false;
}

std::string describeFormat(WorkbookFormat format)
{
    switch (format) {
    case WorkbookFormat::Ooxml:
        return "an Excel workbook (.xlsx)";
    case WorkbookFormat::Xls:
        return "an Excel 97-2003 workbook (.xls)";
    case WorkbookFormat::Xlsb:
        return "an Excel binary workbook (.xlsb)";
    case WorkbookFormat::Ods:
        return "an OpenDocument spreadsheet (.ods)";
    case WorkbookFormat::Unknown:
        break;
    }
    return "a file of unknown format";
}

std::string cannotWriteXlsb(const std::filesystem::path& file)
{
    return file.string() + ": LibreOffice cannot write Excel binary workbooks (.xlsb), so no sheet can be copied into "
                           "it. Save it as .xlsx or .xls in a spreadsheet program first.";
}

std::string usualExtension(WorkbookFormat format)
{
    switch (format) {
    case WorkbookFormat::Ooxml:
        return "xlsx";
    case WorkbookFormat::Xls:
        return "xls";
    case WorkbookFormat::Xlsb:
        return "xlsb";
    case WorkbookFormat::Ods:
        return "ods";
    case WorkbookFormat::Unknown:
        break;
    }
    return {};
}

} // namespace tessaro::office
