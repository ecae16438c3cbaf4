// SPDX-License-Identifier: MIT
// The parts of the LibreOffice backend that need no office: how an export is committed, how
// a workbook's format is told from its content, and how a formula LibreOffice read from an .xls
// gets its error constants back, and what an .xlsb prints.
#include "engine/office/file_ops.h"
#include "engine/office/ods_numbers.h"
#include "engine/office/workbook_format.h"
#include "engine/office/xls_cells.h"
#include "engine/office/xlsb_print_ranges.h"
#include "support/shared_dir.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <map>
#include <set>

#include <sys/stat.h>

namespace tessaro::office {
namespace {

namespace fs = std::filesystem;
using test::TempDir;
using test::readFile;
using test::writeFile;

TEST(ReplacementFile, WithoutCommitOrWithNothingWrittenLeavesTheTargetAndNoLitter)
{
    TempDir dir;
    const fs::path target = dir / "book.ods";
    writeFile(target, "old");
    {
        ReplacementFile out(target);
        writeFile(out.path(), "half");
    }
    {
        ReplacementFile out(target);
        EXPECT_THROW(out.commit(), std::system_error);
    }
    EXPECT_EQ(readFile(target), "old");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);
}

void writeZip(const fs::path& file, const std::vector<std::pair<std::string, std::string>>& entries)
{
    int error = 0;
    zip_t* zip = zip_open(file.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &error);
    ASSERT_NE(zip, nullptr);
    for (const auto& [name, data] : entries) {
        zip_source_t* src = zip_source_buffer(zip, data.data(), data.size(), 0);
        ASSERT_GE(zip_file_add(zip, name.c_str(), src, ZIP_FL_ENC_UTF_8), 0);
    }
    ASSERT_EQ(zip_close(zip), 0);
}

TEST(WorkbookFormat, ToldByContentNotByExtension)
{
    TempDir dir;
    writeZip(dir / "sheet.xls", {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"},
                                 {"content.xml", "<x/>"}});
    EXPECT_EQ(detectWorkbookFormat(dir / "sheet.xls"), WorkbookFormat::Ods);
    writeZip(dir / "text.ods", {{"mimetype", "application/vnd.oasis.opendocument.text"}});
    EXPECT_EQ(detectWorkbookFormat(dir / "text.ods"), WorkbookFormat::Unknown);
    writeZip(dir / "binary.xlsx",
             {{"[Content_Types].xml",
               "<Types><Default Extension=\"bin\" "
               "ContentType=\"application/vnd.ms-excel.sheet.binary.macroEnabled.main\"/></Types>"}});
    EXPECT_EQ(detectWorkbookFormat(dir / "binary.xlsx"), WorkbookFormat::Xlsb);
    writeZip(dir / "book.xlsb", {{"[Content_Types].xml", "<Types/>"}, {"xl/workbook.xml", "<workbook/>"}});
    EXPECT_EQ(detectWorkbookFormat(dir / "book.xlsb"), WorkbookFormat::Ooxml);
    writeZip(dir / "plain.zip", {{"readme.txt", "hello"}});
    EXPECT_EQ(detectWorkbookFormat(dir / "plain.zip"), WorkbookFormat::Unknown);
}

TEST(WorkbookFormat, UnknownForWhatIsNoWorkbookAtAll)
{
    TempDir dir;
    EXPECT_EQ(detectWorkbookFormat(dir / "missing.xls"), WorkbookFormat::Unknown);
    EXPECT_EQ(detectWorkbookFormat(dir.path()), WorkbookFormat::Unknown);
    writeFile(dir / "empty.xls", "");
    EXPECT_EQ(detectWorkbookFormat(dir / "empty.xls"), WorkbookFormat::Unknown);
    writeFile(dir / "text.xls", "id;amount\n1;2\n");
    EXPECT_EQ(detectWorkbookFormat(dir / "text.xls"), WorkbookFormat::Unknown);
    // A compound file header whose directory cannot be read.
    writeFile(dir / "cut.xls", std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(100, '\0'));
    EXPECT_EQ(detectWorkbookFormat(dir / "cut.xls"), WorkbookFormat::Unknown);
}

TEST(WorkbookFormat, ACutDirectoryThatNamesTheWorkbookStreamIsXls)
{
    // The directory of this file ends in a sector the file does not have, after its Workbook
    // entry: LibreOffice, not the native engine, is the one to say whether it can be read.
    const auto shared = test::sharedDir();
    if (!shared)
        GTEST_SKIP() << "no shared corpus beside the project";
    const fs::path cut = *shared / "corpus-wide" / "files" / "cal__tests__OOM_alloc3.xls";
    if (!fs::exists(cut))
        GTEST_SKIP() << "no " << cut;
    EXPECT_EQ(detectWorkbookFormat(cut), WorkbookFormat::Xls);
}

TEST(WorkbookFormat, BareBiffStreamsOfOldExcelVersionsAreXls)
{
    TempDir dir;
    // BOF records as Excel 2.1, 3.0, 4.0 and 5.0 wrote them at the start of a stream file.
    const std::pair<const char*, std::string> streams[] = {
        {"v2.XLS", std::string("\x09\x00\x04\x00\x00\x00\x10\x00", 8)},
        {"v3.xls", std::string("\x09\x02\x06\x00\x00\x00\x10\x00\x00\x00", 10)},
        {"v4.xls", std::string("\x09\x04\x06\x00\x00\x00\x00\x01\x00\x00", 10)},
        {"v5.xls", std::string("\x09\x08\x08\x00\x00\x05\x10\x00\x00\x00\x00\x00", 12)}};
    for (const auto& [name, bytes] : streams) {
        writeFile(dir / name, bytes + std::string(40, '\0'));
        EXPECT_EQ(detectWorkbookFormat(dir / name), WorkbookFormat::Xls) << name;
    }
    // The same record id with a length no BOF has is not taken for one.
    writeFile(dir / "tab.xls", std::string("\x09\x04\x30\x00", 4) + std::string(40, 'x'));
    EXPECT_EQ(detectWorkbookFormat(dir / "tab.xls"), WorkbookFormat::Unknown);
}

TEST(WorkbookFormat, CorpusLegacyWorkbooks)
{
    const auto shared = test::sharedDir();
    if (!shared)
        GTEST_SKIP() << "no shared corpus beside the project";
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(*shared / "corpus")) {
        const std::string ext = entry.path().extension().string();
        const WorkbookFormat f = detectWorkbookFormat(entry.path());
        if (ext == ".xls") {
            EXPECT_EQ(f, WorkbookFormat::Xls) << entry.path();
            ++seen;
        } else if (ext == ".ods") {
            EXPECT_EQ(f, WorkbookFormat::Ods) << entry.path();
            ++seen;
        } else if (ext == ".xlsx" || ext == ".xlsm") {
            EXPECT_EQ(f, WorkbookFormat::Ooxml) << entry.path();
        }
    }
    EXPECT_GT(seen, 0);
}

TEST(WorkbookFormat, VbaProjectsInCorpusXlsFiles)
{
    const auto shared = test::sharedDir();
    if (!shared)
        GTEST_SKIP() << "no shared corpus beside the project";
    const fs::path corpus = *shared / "corpus";
    for (const char* name : {"sheetjs_comments_vba.xls", "sheetjs_chartsheet_macrosheet_vba.xls",
                             "poi_external_name_vba_charts.xls"}) {
        if (fs::exists(corpus / name)) {
            EXPECT_TRUE(holdsVbaProject(corpus / name)) << name;
        }
    }
    for (const char* name : {"sheetjs_merged_cells.xls", "sheetjs_biff5_defined_names.xls", "calamine_annotations.ods"}) {
        if (fs::exists(corpus / name)) {
            EXPECT_FALSE(holdsVbaProject(corpus / name)) << name;
        }
    }
}

// The texts are LibreOffice's, of formulas it read from an .xls holding the constants.
TEST(XlsFormulaText, ErrorConstantsGoBackWhereTheirOperandsWereLeftEmpty)
{
    using K = FormulaOperand::Kind;
    const FormulaOperand x{}, none{K::Missing, 0}, call{K::Call, 0}, na{K::Error, 0x2A};
    const auto error = [](std::uint8_t code) { return FormulaOperand{K::Error, code}; };
    const struct {
        const char* read;
        std::vector<FormulaOperand> operands;
        const char* back; // nullptr: left as read
    } cases[] = {
        {"=IF(A1>0;;2)", {x, x, error(0x0F), x}, "=IF(A1>0;#VALUE!;2)"},
        {"=SUM()/", {error(0x1D), error(0x24)}, "=SUM(#NAME?)/#NUM!"},
        {"=-", {error(0x00)}, "=-#NULL!"},
        {"=ISNA(NA())+ISERR()", {na, error(0x07)}, "=ISNA(NA())+ISERR(#DIV/0!)"},
        {"=ROUND(;)", {error(0x0F), none}, "=ROUND(#VALUE!;)"},
        {"=IF(A1>0;\"a ;b\";)&\"x\"", {x, x, x, error(0x0F), x}, "=IF(A1>0;\"a ;b\";#VALUE!)&\"x\""},
        {"=1.5E+300*PI()+", {x, call, error(0x24)}, "=1.5E+300*PI()+#NUM!"},
        {"=SUM('a;b'.$A1:$IV2;{1;2};)", {x, x, x, error(0x17)}, "=SUM('a;b'.$A1:$IV2;{1;2};#REF!)"},
        {"=TRUE()+#REF!+", {x, x, error(0x07)}, "=TRUE()+#REF!+#DIV/0!"},
        // What does not match the tokens one for one is left alone.
        {"=+1", {error(0x0F), x}, nullptr},
        {"=SUM(A1;)", {error(0x07), error(0x07)}, nullptr},
        {"=ISNA()", {na}, nullptr},
        {"=IF(A1>0;;2)", {x, x, none, x}, nullptr},
    };
    for (const auto& c : cases) {
        const auto back = withErrorConstants(c.read, c.operands);
        EXPECT_EQ(back.value_or("(left)"), c.back ? c.back : "(left)") << c.read;
    }
}

// An .xlsb workbook stream: records of a kind and a length, each written seven bits a byte.
std::string xlsbRecord(unsigned kind, const std::string& body)
{
    std::string r;
    for (unsigned v : {kind, static_cast<unsigned>(body.size())}) {
        do {
            r.push_back(static_cast<char>((v & 0x7F) | (v > 0x7F ? 0x80 : 0)));
            v >>= 7;
        } while (v);
    }
    return r + body;
}

std::string le(std::uint64_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

std::string wide(const std::string& ascii)
{
    std::string s = le(ascii.size(), 4);
    for (char c : ascii)
        s += std::string{c, '\0'};
    return s;
}

TEST(XlsbPrintRanges, BlocksOfTheSheetsOwnNamesAndNothingFromACutOrUnknownStream)
{
    const auto area = [](int ixti, int r1, int r2, int c1, int c2) {
        return "\x3B" + le(ixti, 2) + le(r1, 4) + le(r2, 4) + le(c1, 2) + le(c2, 2);
    };
    const auto name = [](int sheet, const std::string& n, const std::string& tokens) {
        return xlsbRecord(39, le(0x20, 4) + '\0' + le(sheet, 4) + wide(n) + le(tokens.size(), 4) + tokens + le(0, 4) +
                                  le(0xFFFFFFFF, 4));
    };
    const std::string blocks = area(0, 0, 1, 0, 1) + area(0, 0, 3, 3, 3) + "\x10";
    std::string stream = xlsbRecord(156, le(0, 8) + wide("rId1") + wide("First")) +
                         xlsbRecord(156, le(0, 8) + wide("rId2") + wide("Second")) + xlsbRecord(357, "") +
                         xlsbRecord(362, le(2, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(0, 4) + le(1, 4) + le(1, 4)) +
                         name(0, "Print_Area", "\x29" + le(blocks.size(), 2) + blocks) +
                         name(0, "Print_Titles", area(0, 0, 0xFFFFF, 2, 2) + area(0, 4, 5, 0, 0x3FFF) + "\x10") +
                         name(1, "Print_Area", area(0, 0, 0, 0, 0)) +          // reads the first sheet
                         name(1, "Print_Titles", area(1, 0, 0, 0, 0x3FFF) + "\x03"); // adds: no reference
    const auto ranges = printRangesOfWorkbookStream(stream);
    ASSERT_EQ(ranges.size(), 1u);
    const PrintRanges& first = ranges.at(u"First");
    EXPECT_EQ(first.areas, (std::vector<CellBlock>{{0, 1, 0, 1}, {0, 3, 3, 3}}));
    EXPECT_EQ(first.titleColumns, (CellBlock{0, 0xFFFFF, 2, 2}));
    EXPECT_EQ(first.titleRows, (CellBlock{4, 5, 0, 0x3FFF}));
    for (std::size_t cut = 0; cut < stream.size(); ++cut)
        EXPECT_LE(printRangesOfWorkbookStream(stream.substr(0, cut)).size(), 1u) << cut;
}

TEST(OdsNumbers, ANumberCutToTwentyDecimalsIsWrittenWholeAtItsCell)
{
    const std::string content =
        "<office:spreadsheet><table:table table:name=\"A\"><table:table-column table:number-columns-repeated=\"4\"/>"
        "<table:table-row table:number-rows-repeated=\"2\"><table:table-cell table:number-columns-repeated=\"3\"/>"
        "<table:table-cell office:value-type=\"float\" office:value=\"0.00000000000001234568\"/></table:table-row>"
        "<table:table-header-rows><table:table-row><table:covered-table-cell/>"
        "<table:table-cell office:value=\"-0.0000000187440459126\"><text:p>x</text:p></table:table-cell>"
        "<table:table-cell office:value=\"0.000001\"/><table:table-cell office:value=\"0.00000123456789012346\"/>"
        "</table:table-row></table:table-header-rows></table:table>"
        "<table:table table:name=\"B&amp;C\"><table:table-row><table:table-cell office:value=\"0.00000000012\"/>"
        "<table:table-cell office:value=\"0.00000000034567890123\"/>"
        "</table:table-row></table:table></office:spreadsheet>";
    std::vector<std::string> asked;
    const NumberAt numberAt = [&](const std::string& sheet, std::uint32_t row, std::uint32_t column) -> std::optional<double> {
        asked.push_back(sheet + "!" + std::to_string(row) + ":" + std::to_string(column));
        const std::map<std::string, double> whole = {{"A!0:3", 1.2345678901234567e-14}, {"A!2:1", -1.8744045912598e-08},
                                                     {"A!2:2", 1e-6}, {"A!2:3", 1.2345678901234567e-6},
                                                     // not the number written there: another cell's
                                                     {"B&C!0:1", 3.4567890133333e-10}};
        const auto it = whole.find(asked.back());
        return it == whole.end() ? std::nullopt : std::optional<double>(it->second);
    };
    std::uint64_t mended = 0;
    const auto out = withNumbersWhole(content, numberAt, mended);
    ASSERT_TRUE(out);
    EXPECT_EQ(mended, 2u);
    EXPECT_EQ(asked, (std::vector<std::string>{"A!0:3", "A!2:1", "A!2:2", "A!2:3", "B&C!0:0", "B&C!0:1"}));
    std::string expected = content;
    for (const auto& [cut, whole] : {std::pair<std::string, std::string>{"0.00000000000001234568", "1.2345678901234567e-14"},
                                     {"-0.0000000187440459126", "-1.8744045912598e-08"}})
        expected.replace(expected.find(cut), cut.size(), whole);
    EXPECT_EQ(*out, expected) << "a number of fifteen digits, or of fewer, stays as written";
    mended = 0;
    EXPECT_FALSE(withNumbersWhole(*out, numberAt, mended));
    EXPECT_EQ(mended, 0u);
}

} // namespace
} // namespace tessaro::office
