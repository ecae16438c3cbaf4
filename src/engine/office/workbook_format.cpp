// SPDX-License-Identifier: MIT
#include "engine/office/workbook_format.h"

#include "engine/zip/compound_file.h"

#include <zip.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <string_view>

namespace tessaro::office {

namespace {

WorkbookFormat classifyCompound(const std::filesystem::path& file)
{
    const xlsx::CompoundDirectory dir = xlsx::readCompoundDirectory(file);
    // An encrypted OOXML package is a compound file too; it is not a legacy workbook.
    if (dir.has(u"EncryptedPackage"))
        return WorkbookFormat::Unknown;
    // A directory cut short still names the workbook stream when it comes first, as it does in
    // the files spreadsheet programs write; LibreOffice reads many such files whole, and says
    // so when it cannot.
    return dir.has(u"Workbook") || dir.has(u"Book") ? WorkbookFormat::Xls : WorkbookFormat::Unknown;
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

// Excel 2.x to 5.0 could also write a workbook or worksheet as a bare record stream, without
// the compound file around it: it starts with a BOF record (id 0x0009, 0x0209, 0x0409 or
// 0x0809) of the length its version gives. LibreOffice's Excel filter reads those too.
bool startsAsBiffStream(const unsigned char* head)
{
    const unsigned id = head[0] | (head[1] << 8);
    const unsigned length = head[2] | (head[3] << 8);
    switch (id) {
    case 0x0009:
        return length == 4;
    case 0x0209:
    case 0x0409:
        return length == 6;
    case 0x0809:
        return length == 8 || length == 16;
    default:
        return false;
    }
}

} // namespace

WorkbookFormat detectWorkbookFormat(const std::filesystem::path& file)
{
    std::error_code ec;
    if (!std::filesystem::is_regular_file(file, ec))
        return WorkbookFormat::Unknown;
    std::ifstream in(file, std::ios::binary);
    char magic[8] = {};
    if (!in.read(magic, sizeof magic))
        return WorkbookFormat::Unknown;
    in.close();
    if (xlsx::startsAsCompoundFile(std::string_view(magic, sizeof magic)))
        return classifyCompound(file);
    if (magic[0] == 'P' && magic[1] == 'K')
        return classifyZip(file);
    if (startsAsBiffStream(reinterpret_cast<const unsigned char*>(magic)))
        return WorkbookFormat::Xls;
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
    return xlsx::readCompoundDirectory(file).has(u"_VBA_PROJECT_CUR");
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
