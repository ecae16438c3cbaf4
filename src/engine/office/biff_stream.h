// SPDX-License-Identifier: MIT
#pragma once

// Reading and editing the Workbook stream of a BIFF8 (.xls) file in place: what LibreOffice
// saves is mended record by record, never written anew.

#include "engine/office/vba_project.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro::biff {

constexpr std::uint16_t kBof = 0x0809;
constexpr std::uint16_t kEof = 0x000A;
constexpr std::uint16_t kBoundSheet = 0x0085;
constexpr std::uint16_t kIndex = 0x020B;
constexpr std::uint16_t kDbCell = 0x00D7;
constexpr std::uint16_t kRow = 0x0208;
constexpr std::uint16_t kExtSst = 0x00FF;

struct Record {
    std::uint16_t type;
    std::size_t offset; // of the header
    std::size_t size;   // of the body
    std::size_t end() const { return offset + 4 + size; }
};

std::uint32_t u16(std::string_view s, std::size_t at);
std::uint32_t u32(std::string_view s, std::size_t at);
void put16(std::string& s, std::size_t at, std::uint32_t v);
void put32(std::string& s, std::size_t at, std::uint32_t v);
std::string le16(std::uint32_t v);

// The records of a BIFF8 stream with the sheets' substreams found through the globals.
struct Layout {
    std::vector<Record> records;
    std::size_t globalsEnd = 0; // index of the globals' EOF
    struct Sheet {
        std::size_t entry; // index of its BOUNDSHEET8 record
        std::size_t bof;
        std::size_t eof;
    };
    std::vector<Sheet> sheets;
};

// Throw VbaProjectError when the stream cannot be read as BIFF8.
Layout layoutOf(std::string_view s);
std::u16string sheetNameOf(std::string_view s, const Record& boundSheet);
// Nothing for an entry whose name runs past its record, which LibreOffice reads and writes
// back as it was: such a sheet is left as it is.
std::optional<std::u16string> readableSheetName(std::string_view s, const Layout& l, const Layout::Sheet& sheet);
// The sheet's own records (not those of a chart inside it) of a type.
std::vector<std::size_t> ownRecords(const Layout& l, const Layout::Sheet& sheet, std::uint16_t type);

struct Edits {
    // Bytes to put before the byte at a stream position.
    std::vector<std::pair<std::size_t, std::string>> inserts;
    // Whole records to put in the place of a record (by its index); empty drops it.
    std::map<std::size_t, std::string> replaced;
};

// `saved` with the edits made, and each stream position the stream records (sheet offsets,
// row-block indexes and their DBCELLs, shared-string indexes) moved with what it points at.
// `edit` may change a record that is not replaced, in place, as it is copied.
std::string withEdits(std::string_view saved, const Layout& l, Edits edits, const char* what,
                      const std::function<void(const Record&, std::string&, std::size_t)>& edit = {});

// The Workbook stream of an .xls file.
std::string workbookStreamOf(const std::filesystem::path& xls);
// Rewrites the compound file `saved` with its Workbook stream passed through `workbook`.
void rewriteWorkbookStream(const std::filesystem::path& saved, const std::function<std::string(std::string)>& workbook);

} // namespace tessaro::biff
