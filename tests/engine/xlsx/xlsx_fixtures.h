// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <string>
#include <utility>
#include <vector>

// Helpers for the engine's tests: workbooks written part by part (so a test controls every
// byte of the XML), zips written and read by code other than the engine's own (zlib for
// writing, libzip for reading), and a way to ask openpyxl what a result looks like.
namespace tessaro::xlsx::test {

namespace fs = std::filesystem;

using Parts = std::vector<std::pair<std::string, std::string>>;

enum class Storage { Deflated, Stored };
// Writes the entries in order as a zip archive.
void writeZip(const fs::path& file, const Parts& parts, Storage storage = Storage::Deflated);

// Every entry's uncompressed content, read with libzip.
std::map<std::string, std::string> readZip(const fs::path& file);

// Every entry as stored: compressed bytes, method and CRC, read with libzip.
struct RawEntry {
    std::string bytes;
    std::uint16_t method = 0;
    std::uint32_t crc = 0;
};
std::map<std::string, RawEntry> readZipRaw(const fs::path& file);

struct SheetSpec {
    SheetSpec(std::string n, std::string b, std::string st = {}, bool chart = false)
        : name(std::move(n)), body(std::move(b)), state(std::move(st)), chartsheet(chart) {}
    std::string name;
    std::string body;         // the worksheet's children (sheetData and the rest)
    std::string state;        // "", "hidden", "veryHidden"
    bool chartsheet = false;  // a chartsheet part instead of a worksheet
    std::string rels;         // Relationship elements of the sheet's own rels part, if any
    std::string rootAttributes;  // extra namespace declarations on the root
};

struct BookSpec {
    std::string prefix;                 // "" or "x": the prefix of the main namespace
    std::vector<SheetSpec> sheets;
    std::string fonts = "<font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/>"
                        "<scheme val=\"minor\"/></font>";
    std::string fills = "<fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/></fill>";
    std::string borders = "<border><left/><right/><top/><bottom/><diagonal/></border>";
    std::string numFmts;                // numFmt elements
    std::string cellStyleXfs = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/>";
    std::string cellXfs = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>";
    std::string cellStyles = "<cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/>";
    std::string dxfs;
    std::string stylesTail;             // elements after dxfs (tableStyles, colors, extLst)
    bool noStyles = false;
    std::vector<std::string> strings;   // sst items' inner XML, e.g. "<t>text</t>"
    bool noSharedStrings = false;
    std::vector<std::string> theme;     // 12 RRGGBB colours (dk1 lt1 dk2 lt2 accent1-6 hlink folHlink); none if empty
    std::string themeMinorFont = "Calibri";
    std::string definedNames;           // definedName elements
    std::string bookViews = "<workbookView activeTab=\"0\"/>";
    std::string workbookPr;             // attributes of workbookPr
    bool app = true;
    bool calcChain = false;
    std::string contentTypeOfWorkbook = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
    Parts extraParts;
    std::string extraTypes;             // Default/Override elements for the extra parts
    std::string workbookRels;           // more Relationship elements of the workbook (ids from rId100)
    std::string externalReferences;     // externalReference elements
    std::string workbookTail;           // elements after calcPr (pivotCaches)
};

// The parts of a workbook as described; sheets are xl/worksheets/sheetN.xml with rIdN.
Parts buildWorkbook(const BookSpec& spec);
void writeWorkbook(const fs::path& file, const BookSpec& spec);

// The default Office colour scheme, and a clearly different one.
std::vector<std::string> officeTheme();
std::vector<std::string> otherTheme();

// Runs `script` with the distribution's Python (which has openpyxl) and the given
// arguments; returns what it printed. Fails the calling test when Python fails.
std::string python(const std::string& script, const std::vector<std::string>& args);

} // namespace tessaro::xlsx::test
