// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>

namespace tessaro::office {

// What a workbook file holds, judged by its content (never by its extension): the engine
// that opens it and the format it is written back in depend on this.
enum class WorkbookFormat {
    Ooxml,   // an Office Open XML package: .xlsx, .xlsm, .xltx, .xltm
    Xls,     // Excel 97-2003 (BIFF8, and BIFF5) in an OLE compound file
    Xlsb,    // Excel binary workbook (an OOXML package with binary parts)
    Ods,     // OpenDocument spreadsheet
    Unknown, // missing, unreadable, encrypted, or something else altogether
};

WorkbookFormat detectWorkbookFormat(const std::filesystem::path& file);

// Whether an .xls holds macros (a VBA project storage in its compound file).
bool holdsVbaProject(const std::filesystem::path& file);

// How a message names the format: "an Excel 97-2003 workbook (.xls)".
std::string describeFormat(WorkbookFormat format);

// The file name extension a format is usually saved with, without the dot.
std::string usualExtension(WorkbookFormat format);

// The refusal of a copy into an .xlsb workbook, which no engine here can write.
std::string cannotWriteXlsb(const std::filesystem::path& file);

// Whether the file begins as a zip archive does (the .xlsx, .xlsb and .ods kinds).
bool startsAsZip(const std::filesystem::path& file);

// Whether LibreOffice opens this format for Tessaro (everything but OOXML, which the
// native engine owns, and Unknown).
inline bool isLegacyFormat(WorkbookFormat f)
{
    return f == WorkbookFormat::Xls || f == WorkbookFormat::Xlsb || f == WorkbookFormat::Ods;
}

} // namespace tessaro::office
