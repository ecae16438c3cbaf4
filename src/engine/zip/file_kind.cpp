// SPDX-License-Identifier: MIT
#include "engine/zip/file_kind.h"

#include "engine/zip/compound_file.h"
#include "platform/engine_error.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <system_error>

namespace tessaro::xlsx {

CompoundKind classifyCompoundFile(const std::filesystem::path& file)
{
    const CompoundDirectory dir = readCompoundDirectory(file);
    if (dir.has(u"EncryptedPackage") || dir.has(u"EncryptionInfo"))
        return CompoundKind::EncryptedPackage;
    if (dir.has(u"Workbook") || dir.has(u"Book"))
        return CompoundKind::LegacyWorkbook;
    if (dir.names.empty())
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
    if (startsAsCompoundFile(head)) {
        switch (classifyCompoundFile(file)) {
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
