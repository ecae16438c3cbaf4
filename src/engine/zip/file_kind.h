// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace tessaro::xlsx {

// Looks at the first bytes of a file (and, for an OLE compound document, at the names in
// its directory) and throws the EngineError that says what the file is when it is not a
// zip archive: a legacy workbook, an encrypted workbook, another compound document, an XML
// Spreadsheet 2003 file, an empty file, a folder, a missing file. Returns normally for
// anything that starts like a zip archive.
void requireZipArchive(const std::filesystem::path& file, const std::string& displayPath);

// What an OLE compound document holds, judged by the stream names in its directory.
enum class CompoundKind { LegacyWorkbook, EncryptedPackage, Other, Unreadable };
CompoundKind classifyCompoundFile(const std::filesystem::path& file);

} // namespace tessaro::xlsx
