// SPDX-License-Identifier: MIT
#pragma once

#include "platform/workbook_format.h"

#include <filesystem>
#include <string>

namespace tessaro::office {

using tessaro::WorkbookFormat;

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
