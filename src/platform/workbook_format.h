// SPDX-License-Identifier: MIT
#pragma once

namespace tessaro {

// What a workbook file holds, judged by its content (never by its extension): the engine
// that opens it and the format it is written back in depend on this.
enum class WorkbookFormat {
    Ooxml,   // an Office Open XML package: .xlsx, .xlsm, .xltx, .xltm
    Xls,     // Excel 97-2003 (BIFF8, and BIFF5) in an OLE compound file
    Xlsb,    // Excel binary workbook (an OOXML package with binary parts)
    Ods,     // OpenDocument spreadsheet
    Unknown, // missing, unreadable, encrypted, or something else altogether
};

} // namespace tessaro
