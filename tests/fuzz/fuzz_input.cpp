// SPDX-License-Identifier: MIT
#include "fuzz_input.h"

#include "engine/zip/compression.h"
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"
#include "engine/zip/output_file.h"
#include "engine/zip/zip_writer.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <memory>
#include <system_error>

#include <unistd.h>
#include <zlib.h>

namespace tessaro::fuzz {
namespace {

namespace fs = std::filesystem;

// Collects a zip archive in memory.
class MemoryOutput final : public xlsx::OutputFile {
public:
    void write(const void* data, std::size_t size) override { bytes.append(static_cast<const char*>(data), size); }
    void copyFrom(int fd, std::uint64_t offset, std::uint64_t size) override
    {
        std::string chunk(static_cast<std::size_t>(size), '\0');
        std::size_t done = 0;
        while (done < chunk.size()) {
            ssize_t n = ::pread(fd, chunk.data() + done, chunk.size() - done, static_cast<off_t>(offset + done));
            if (n <= 0)
                throw std::system_error(EIO, std::generic_category(), "read");
            done += static_cast<std::size_t>(n);
        }
        bytes += chunk;
    }
    void sync() override {}
    std::uint64_t position() const override { return bytes.size(); }
    std::string bytes;
};

xlsx::StoredPart storedAsIs(std::string_view content)
{
    xlsx::StoredPart p;
    auto chunks = std::make_shared<xlsx::ByteChunks>();
    chunks->append(content);
    p.bytes = std::move(chunks);
    p.crc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    p.size = content.size();
    p.method = xlsx::StoredPart::Method::Stored;
    return p;
}

const char* const kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const std::string kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const std::string kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const std::string kPkgRel = "http://schemas.openxmlformats.org/package/2006/relationships";
const std::string kTypes = "http://schemas.openxmlformats.org/package/2006/content-types";
const std::string kSheetMl = "application/vnd.openxmlformats-officedocument.spreadsheetml.";

std::string rels(const std::vector<std::tuple<std::string, std::string, std::string>>& list)
{
    std::string out = std::string(kDecl) + "<Relationships xmlns=\"" + kPkgRel + "\">";
    for (const auto& [id, type, target] : list) {
        out += "<Relationship Id=\"" + id + "\" Type=\"" + type + "\" Target=\"" + target + "\"";
        if (target.rfind("http", 0) == 0)
            out += " TargetMode=\"External\"";
        out += "/>";
    }
    return out + "</Relationships>";
}

// A workbook that uses most of what a sheet copy has to carry.
std::vector<std::pair<std::string, std::string>> richWorkbook()
{
    std::vector<std::pair<std::string, std::string>> p;
    p.emplace_back("[Content_Types].xml",
                   std::string(kDecl) + "<Types xmlns=\"" + kTypes + "\">" +
                       "<Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                       "<Default Extension=\"xml\" ContentType=\"application/xml\"/>"
                       "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" + kSheetMl + "sheet.main+xml\"/>"
                       "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" + kSheetMl + "worksheet+xml\"/>"
                       "<Override PartName=\"/xl/worksheets/sheet2.xml\" ContentType=\"" + kSheetMl + "worksheet+xml\"/>"
                       "<Override PartName=\"/xl/styles.xml\" ContentType=\"" + kSheetMl + "styles+xml\"/>"
                       "<Override PartName=\"/xl/sharedStrings.xml\" ContentType=\"" + kSheetMl + "sharedStrings+xml\"/>"
                       "<Override PartName=\"/xl/theme/theme1.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.theme+xml\"/>"
                       "<Override PartName=\"/docProps/app.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.extended-properties+xml\"/>"
                       "</Types>");
    p.emplace_back("_rels/.rels", rels({{"rId1", kRel + "/officeDocument", "xl/workbook.xml"},
                                        {"rId2", kRel + "/extended-properties", "docProps/app.xml"}}));
    p.emplace_back("xl/workbook.xml",
                   std::string(kDecl) + "<workbook xmlns=\"" + kMain + "\" xmlns:r=\"" + kRel + "\">" +
                       "<workbookPr date1904=\"0\"/><bookViews><workbookView activeTab=\"0\" firstSheet=\"0\"/></bookViews>"
                       "<sheets><sheet name=\"Data\" sheetId=\"1\" r:id=\"rId1\"/>"
                       "<sheet name=\"Notes &amp; more\" sheetId=\"4\" state=\"hidden\" r:id=\"rId2\"/></sheets>"
                       "<definedNames><definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">Data!$A$1:$D$6</definedName>"
                       "<definedName name=\"Rate\">'Notes &amp; more'!$B$1</definedName></definedNames>"
                       "<calcPr calcId=\"191029\"/></workbook>");
    p.emplace_back("xl/_rels/workbook.xml.rels",
                   rels({{"rId1", kRel + "/worksheet", "worksheets/sheet1.xml"},
                         {"rId2", kRel + "/worksheet", "worksheets/sheet2.xml"},
                         {"rId3", kRel + "/styles", "styles.xml"},
                         {"rId4", kRel + "/sharedStrings", "sharedStrings.xml"},
                         {"rId5", kRel + "/theme", "theme/theme1.xml"}}));
    p.emplace_back(
        "xl/worksheets/sheet1.xml",
        std::string(kDecl) + "<worksheet xmlns=\"" + kMain + "\" xmlns:r=\"" + kRel + "\">" +
            "<sheetPr><tabColor theme=\"4\" tint=\"-0.25\"/><outlinePr summaryBelow=\"0\"/></sheetPr>"
            "<dimension ref=\"A1:E6\"/><sheetViews><sheetView tabSelected=\"1\" zoomScale=\"90\" workbookViewId=\"0\">"
            "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"
            "<selection pane=\"bottomLeft\" activeCell=\"B3\" sqref=\"B3\"/></sheetView></sheetViews>"
            "<sheetFormatPr defaultRowHeight=\"15\"/><cols><col min=\"1\" max=\"1\" width=\"20\" customWidth=\"1\"/>"
            "<col min=\"2\" max=\"3\" width=\"12\" style=\"2\" customWidth=\"1\"/></cols><sheetData>"
            "<row r=\"1\" ht=\"24\" customHeight=\"1\"><c r=\"A1\" s=\"1\" t=\"s\"><v>0</v></c><c r=\"B1\" s=\"1\"/>"
            "<c r=\"C1\" s=\"1\" t=\"s\"><v>1</v></c></row>"
            "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>2</v></c><c r=\"B2\" s=\"2\"><v>44000</v></c><c r=\"C2\" s=\"3\"><v>1234.5</v></c>"
            "<c r=\"D2\" t=\"b\"><v>1</v></c><c r=\"E2\" t=\"e\"><v>#DIV/0!</v></c></row>"
            "<row r=\"3\" s=\"3\" customFormat=\"1\"><c r=\"A3\" t=\"s\"><v>3</v></c><c r=\"C3\" s=\"3\"><f>C2*2+Rate</f><v>2469</v></c>"
            "<c r=\"D3\" t=\"str\"><f>A2&amp;\"!\"</f><v>x!</v></c>"
            "<c r=\"E3\" t=\"inlineStr\"><is><r><rPr><b/></rPr><t>in</t></r><r><t>line</t></r></is></c></row>"
            "<row r=\"4\" hidden=\"1\" outlineLevel=\"1\"><c r=\"A4\"><v>10</v></c><c r=\"C4\"><f t=\"shared\" ref=\"C4:C5\" si=\"0\">A4*3</f><v>30</v></c></row>"
            "<row r=\"5\"><c r=\"A5\"><v>20</v></c><c r=\"C5\"><f t=\"shared\" si=\"0\"/><v>60</v></c>"
            "<c r=\"D5\"><f>SUM(Data!A4:A5)+'Notes &amp; more'!B1</f><v>31</v></c></row>"
            "<row r=\"6\"><c r=\"A6\"><f t=\"array\" ref=\"A6:B6\">A4:B4*2</f><v>20</v></c></row>"
            "</sheetData><sheetProtection sheet=\"1\" objects=\"1\"/><autoFilter ref=\"A1:C5\"/>"
            "<mergeCells count=\"1\"><mergeCell ref=\"A1:B1\"/></mergeCells>"
            "<conditionalFormatting sqref=\"C2:C5\"><cfRule type=\"cellIs\" dxfId=\"0\" priority=\"1\" operator=\"greaterThan\">"
            "<formula>1000</formula></cfRule></conditionalFormatting>"
            "<dataValidations count=\"1\"><dataValidation type=\"list\" allowBlank=\"1\" sqref=\"D2\">"
            "<formula1>Data!$A$2:$A$3</formula1></dataValidation></dataValidations>"
            "<hyperlinks><hyperlink ref=\"A2\" r:id=\"rId1\"/><hyperlink ref=\"A3\" location=\"'Notes &amp; more'!A1\"/></hyperlinks>"
            "<pageMargins left=\"0.5\" right=\"0.5\" top=\"1\" bottom=\"1\" header=\"0.3\" footer=\"0.3\"/>"
            "<pageSetup paperSize=\"9\" orientation=\"landscape\"/><headerFooter><oddHeader>&amp;LLeft</oddHeader></headerFooter>"
            "</worksheet>");
    p.emplace_back("xl/worksheets/_rels/sheet1.xml.rels", rels({{"rId1", kRel + "/hyperlink", "https://example.org/"}}));
    p.emplace_back("xl/worksheets/sheet2.xml",
                   std::string(kDecl) + "<worksheet xmlns=\"" + kMain + "\"><sheetData><row r=\"1\">" +
                       "<c r=\"A1\" t=\"s\"><v>3</v></c><c r=\"B1\" s=\"3\"><v>0.25</v></c>"
                       "<c r=\"C1\"><f>Data!C3*B1</f><v>617.25</v></c></row></sheetData></worksheet>");
    p.emplace_back("xl/styles.xml",
                   std::string(kDecl) + "<styleSheet xmlns=\"" + kMain + "\">" +
                       "<numFmts count=\"1\"><numFmt numFmtId=\"164\" formatCode=\"yyyy\\-mm\\-dd\"/></numFmts>"
                       "<fonts count=\"2\"><font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><scheme val=\"minor\"/></font>"
                       "<font><b/><sz val=\"13\"/><color rgb=\"FFFFFFFF\"/><name val=\"Calibri\"/></font></fonts>"
                       "<fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/></fill>"
                       "<fill><patternFill patternType=\"solid\"><fgColor theme=\"5\" tint=\"0.4\"/><bgColor indexed=\"64\"/></patternFill></fill></fills>"
                       "<borders count=\"2\"><border><left/><right/><top/><bottom/><diagonal/></border>"
                       "<border><left style=\"thin\"><color auto=\"1\"/></left><right/><top style=\"medium\"><color indexed=\"10\"/></top><bottom/><diagonal/></border></borders>"
                       "<cellStyleXfs count=\"2\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/>"
                       "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"2\" borderId=\"0\"/></cellStyleXfs>"
                       "<cellXfs count=\"4\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
                       "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"2\" borderId=\"1\" xfId=\"1\" applyFont=\"1\"><alignment horizontal=\"center\"/></xf>"
                       "<xf numFmtId=\"164\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
                       "<xf numFmtId=\"4\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"><protection locked=\"0\"/></xf></cellXfs>"
                       "<cellStyles count=\"2\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/><cellStyle name=\"Heading\" xfId=\"1\"/></cellStyles>"
                       "<dxfs count=\"1\"><dxf><font><color rgb=\"FF9C0006\"/></font><fill><patternFill><bgColor theme=\"6\"/></patternFill></fill></dxf></dxfs>"
                       "</styleSheet>");
    p.emplace_back("xl/sharedStrings.xml",
                   std::string(kDecl) + "<sst xmlns=\"" + kMain + "\" count=\"5\" uniqueCount=\"4\">" +
                       "<si><t>Name</t></si><si><t xml:space=\"preserve\"> Amount </t></si>"
                       "<si><r><rPr><b/><color theme=\"4\"/></rPr><t>rich</t></r><r><t> text</t></r></si>"
                       "<si><t>w&#246;rld &amp; more</t><rPh sb=\"0\" eb=\"1\"><t>x</t></rPh></si></sst>");
    std::string scheme;
    const char* slots[] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2", "accent3", "accent4", "accent5", "accent6",
                           "hlink", "folHlink"};
    const char* colours[] = {"000000", "FFFFFF", "44546A", "E7E6E6", "4472C4", "ED7D31",
                             "A5A5A5", "FFC000", "5B9BD5", "70AD47", "0563C1", "954F72"};
    for (int i = 0; i < 12; ++i)
        scheme += std::string("<a:") + slots[i] + "><a:srgbClr val=\"" + colours[i] + "\"/></a:" + slots[i] + ">";
    p.emplace_back("xl/theme/theme1.xml",
                   std::string(kDecl) + "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" name=\"T\">" +
                       "<a:themeElements><a:clrScheme name=\"T\">" + scheme + "</a:clrScheme>"
                       "<a:fontScheme name=\"T\"><a:majorFont><a:latin typeface=\"Calibri Light\"/></a:majorFont>"
                       "<a:minorFont><a:latin typeface=\"Calibri\"/></a:minorFont></a:fontScheme><a:fmtScheme name=\"T\"/>"
                       "</a:themeElements></a:theme>");
    p.emplace_back("docProps/app.xml",
                   std::string(kDecl) +
                       "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
                       "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\">"
                       "<HeadingPairs><vt:vector size=\"2\" baseType=\"variant\"><vt:variant><vt:lpstr>Worksheets</vt:lpstr></vt:variant>"
                       "<vt:variant><vt:i4>2</vt:i4></vt:variant></vt:vector></HeadingPairs>"
                       "<TitlesOfParts><vt:vector size=\"2\" baseType=\"lpstr\"><vt:lpstr>Data</vt:lpstr><vt:lpstr>Notes &amp; more</vt:lpstr>"
                       "</vt:vector></TitlesOfParts></Properties>");
    return p;
}

// The smallest workbook: one sheet, no styles or strings, its main namespace on a prefix.
std::vector<std::pair<std::string, std::string>> bareWorkbook()
{
    return {
        {"[Content_Types].xml", "<Types xmlns=\"" + kTypes + "\"><Default Extension=\"rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                                "<Override PartName=\"/xl/workbook.xml\" ContentType=\"" + kSheetMl + "sheet.main+xml\"/>"
                                "<Override PartName=\"/xl/worksheets/sheet1.xml\" ContentType=\"" + kSheetMl + "worksheet+xml\"/></Types>"},
        {"_rels/.rels", rels({{"rId1", kRel + "/officeDocument", "xl/workbook.xml"}})},
        {"xl/workbook.xml", "<x:workbook xmlns:x=\"" + kMain + "\" xmlns:r=\"" + kRel + "\"><x:sheets>"
                            "<x:sheet name=\"Only\" sheetId=\"1\" r:id=\"rId1\"/></x:sheets></x:workbook>"},
        {"xl/_rels/workbook.xml.rels", rels({{"rId1", kRel + "/worksheet", "worksheets/sheet1.xml"}})},
        {"xl/worksheets/sheet1.xml", "<x:worksheet xmlns:x=\"" + kMain + "\"><x:sheetData><x:row r=\"1\"><x:c r=\"A1\"><x:v>1</x:v></x:c>"
                                     "<x:c r=\"B1\" t=\"inlineStr\"><x:is><x:t>one</x:t></x:is></x:c></x:row></x:sheetData></x:worksheet>"},
    };
}

} // namespace

std::string partsText(const std::vector<std::pair<std::string, std::string>>& parts, bool deflate)
{
    std::string out;
    for (const auto& [name, content] : parts) {
        out += deflate ? "@@! " : "@@ ";
        out += name;
        out += "\n";
        out += content;
        out += "\n";
    }
    return out;
}

std::string workbookBytes(std::string_view input)
{
    if (input.size() >= 2 && input[0] == 'P' && input[1] == 'K')
        return std::string(input);
    MemoryOutput out;
    xlsx::ZipWriter zip(out);
    std::size_t pos = 0;
    // Text before the first part marker is ignored.
    while (pos < input.size()) {
        std::size_t marker = input.compare(pos, 2, "@@") == 0 ? pos : input.find("\n@@", pos);
        if (marker == std::string_view::npos)
            break;
        if (marker != pos)
            marker += 1;
        std::size_t lineEnd = input.find('\n', marker);
        if (lineEnd == std::string_view::npos)
            lineEnd = input.size();
        std::string_view header = input.substr(marker + 2, lineEnd - marker - 2);
        bool deflate = !header.empty() && header.front() == '!';
        if (deflate)
            header.remove_prefix(1);
        if (!header.empty() && header.front() == ' ')
            header.remove_prefix(1);
        std::size_t contentStart = std::min(lineEnd + 1, input.size());
        std::size_t next = input.find("\n@@", contentStart);
        std::size_t contentEnd = next == std::string_view::npos ? input.size() : next;
        std::string_view content = input.substr(contentStart, contentEnd - contentStart);
        zip.add(header, deflate ? xlsx::compressPart(content, 1) : storedAsIs(content));
        pos = next == std::string_view::npos ? input.size() : next + 1;
    }
    zip.finish();
    return std::move(out.bytes);
}

std::vector<std::string> seedWorkbooks()
{
    auto rich = richWorkbook();
    std::vector<std::string> seeds = {partsText(rich), partsText(bareWorkbook()), partsText(rich, false)};
    // The rich workbook with its main namespace on a prefix, as some producers write it.
    auto prefixed = rich;
    for (auto& [name, content] : prefixed) {
        if (name != "xl/worksheets/sheet2.xml")
            continue;
        content = "<x:worksheet xmlns:x=\"" + kMain + "\"><x:sheetData><x:row r=\"2\" s=\"1\"><x:c r=\"A2\" s=\"2\" t=\"s\">"
                  "<x:v>2</x:v></x:c></x:row></x:sheetData></x:worksheet>";
    }
    seeds.push_back(partsText(prefixed));
    return seeds;
}

const std::filesystem::path& scratch()
{
    static const fs::path dir = [] {
        fs::path base = fs::is_directory("/dev/shm") ? fs::path("/dev/shm") : fs::temp_directory_path();
        fs::path d = base / ("tessaro-fuzz-" + std::to_string(::getpid()));
        fs::create_directories(d);
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(scratch(), ec);
        });
        return d;
    }();
    return dir;
}

std::filesystem::path writeScratch(const std::string& name, std::string_view bytes)
{
    fs::path p = scratch() / name;
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out)
        violated("cannot write the scratch file " + p.string());
    return p;
}

std::string readScratch(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

SpreadsheetAutomationFactory fuzzEngine()
{
    xlsx::EngineOptions options;
    options.wholePartLimit = 8u << 20;
    options.inflateLimits.maxTotal = 32u << 20;
    options.cacheBudget = 16u << 20;
    options.lockWait = std::chrono::milliseconds(0);
    return xlsx::nativeAutomationFactory(options);
}

void violated(const std::string& what)
{
    std::fprintf(stderr, "\n*** invariant violated: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

} // namespace tessaro::fuzz

namespace tessaro::fuzz {

std::vector<std::string> outline(SpreadsheetAutomation& server, WorkbookRef book)
{
    std::vector<std::string> out;
    for (int i = 1; i <= server.worksheetCount(book); ++i)
        out.push_back(server.worksheetName(book, i));
    out.push_back("(" + std::to_string(server.sheetCount(book)) + " sheets)");
    return out;
}

void expectReopens(const std::filesystem::path& file, const std::vector<std::string>& expected)
{
    auto server = fuzzEngine()();
    try {
        WorkbookRef book = server->open(file);
        if (outline(*server, book) != expected)
            violated("a saved workbook opens with other sheets than it was saved with: " + file.string());
    } catch (const AutomationError& e) {
        violated("a workbook the engine saved does not open again: " + e.description());
    }
    server->quit();
}

void expectUsableError(const AutomationError& e)
{
    if (e.code() == ErrorCode::InternalFault)
        violated("a fault of the program rather than of the input: " + e.description());
    if (e.description().find(": ") == std::string::npos || e.description().find(scratch().string()) != 0)
        violated("an error that names no file: " + e.description());
}

} // namespace tessaro::fuzz
