// SPDX-License-Identifier: MIT
// The engine through the automation interface, on workbooks written part by part: what a
// person would check after copying a sheet.
#include "engine/opc/engine_context.h"
#include "platform/engine_error.h"
#include "engine/xlsx/native_engine.h"

#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <pugixml.hpp>

#include <sys/stat.h>

using namespace tessaro;
using namespace tessaro::xlsx;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

const std::string kDataSheet =
    "<sheetPr><tabColor rgb=\"FF00B050\"/><outlinePr summaryBelow=\"0\"/></sheetPr>"
    "<dimension ref=\"A1:F8\"/>"
    "<sheetViews><sheetView tabSelected=\"1\" zoomScale=\"90\" workbookViewId=\"0\">"
    "<pane ySplit=\"1\" topLeftCell=\"A2\" activePane=\"bottomLeft\" state=\"frozen\"/>"
    "<selection pane=\"bottomLeft\" activeCell=\"B3\" sqref=\"B3\"/></sheetView></sheetViews>"
    "<sheetFormatPr defaultRowHeight=\"15\"/>"
    "<cols><col min=\"1\" max=\"1\" width=\"20.5\" customWidth=\"1\"/><col min=\"2\" max=\"3\" width=\"12\" style=\"4\" customWidth=\"1\"/>"
    "<col min=\"6\" max=\"6\" width=\"5\" hidden=\"1\" outlineLevel=\"1\" customWidth=\"1\"/></cols>"
    "<sheetData>"
    "<row r=\"1\" ht=\"24\" customHeight=\"1\"><c r=\"A1\" s=\"1\" t=\"s\"><v>0</v></c><c r=\"B1\" s=\"1\"/><c r=\"C1\" s=\"1\" t=\"s\"><v>1</v></c></row>"
    "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>2</v></c><c r=\"B2\" s=\"2\"><v>44000</v></c><c r=\"C2\" s=\"3\"><v>1234.5</v></c>"
    "<c r=\"D2\"><v>1</v></c><c r=\"E2\" t=\"b\"><v>1</v></c><c r=\"F2\" t=\"e\"><v>#DIV/0!</v></c></row>"
    "<row r=\"3\" s=\"5\" customFormat=\"1\"><c r=\"A3\" t=\"s\"><v>3</v></c><c r=\"B3\" s=\"2\"><v>44001</v></c>"
    "<c r=\"C3\" s=\"3\"><f>C2*2</f><v>2469</v></c><c r=\"D3\" t=\"str\"><f>A2&amp;\"!\"</f><v>plain!</v></c>"
    "<c r=\"E3\" t=\"inlineStr\"><is><r><rPr><b/><sz val=\"11\"/></rPr><t>in</t></r><r><t>line</t></r></is></c></row>"
    "<row r=\"4\" hidden=\"1\" outlineLevel=\"1\"><c r=\"A4\" s=\"4\"><v>10</v></c><c r=\"C4\" s=\"3\"><f t=\"shared\" ref=\"C4:C5\" si=\"0\">A4*3</f><v>30</v></c></row>"
    "<row r=\"5\"><c r=\"A5\" s=\"4\"><v>20</v></c><c r=\"C5\" s=\"3\"><f t=\"shared\" si=\"0\"/><v>60</v></c></row>"
    "<row r=\"6\"><c r=\"A6\"><f t=\"array\" ref=\"A6:A7\">A4:A5*2</f><v>20</v></c><c r=\"B6\" t=\"s\"><v>2</v></c></row>"
    "<row r=\"7\"><c r=\"A7\"><v>40</v></c></row>"
    "<row r=\"8\"><c r=\"A8\" s=\"6\"><v>0.25</v></c></row>"
    "</sheetData>"
    "<sheetProtection sheet=\"1\" objects=\"1\" scenarios=\"1\"/>"
    "<autoFilter ref=\"A1:C5\"/>"
    "<mergeCells count=\"1\"><mergeCell ref=\"A1:B1\"/></mergeCells>"
    "<conditionalFormatting sqref=\"C2:C5\"><cfRule type=\"cellIs\" dxfId=\"0\" priority=\"1\" operator=\"greaterThan\">"
    "<formula>1000</formula></cfRule></conditionalFormatting>"
    "<dataValidations count=\"1\"><dataValidation type=\"whole\" operator=\"between\" allowBlank=\"1\" sqref=\"D2\">"
    "<formula1>0</formula1><formula2>9</formula2></dataValidation></dataValidations>"
    "<pageMargins left=\"0.5\" right=\"0.5\" top=\"1\" bottom=\"1\" header=\"0.3\" footer=\"0.3\"/>"
    "<pageSetup paperSize=\"9\" orientation=\"landscape\"/>"
    "<headerFooter><oddHeader>&amp;LLeft&amp;RRight</oddHeader></headerFooter>"
    "<extLst><ext uri=\"{tessaro-test}\" xmlns:tt=\"urn:tessaro:test\"><tt:keep value=\"unmodelled\"/></ext></extLst>";

t::BookSpec sourceBook()
{
    t::BookSpec s;
    s.sheets = {{"Data", kDataSheet},
                {"Notes", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>3</v></c></row></sheetData>"},
                {"Secret", "<sheetData><row r=\"1\"><c r=\"A1\"><v>7</v></c></row></sheetData>", "hidden"}};
    s.numFmts = "<numFmt numFmtId=\"164\" formatCode=\"yyyy\\-mm\\-dd\"/><numFmt numFmtId=\"165\" formatCode=\"#,##0.00 &quot;kg&quot;\"/>";
    s.fonts = "<font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme val=\"minor\"/></font>"
              "<font><b/><sz val=\"13\"/><color rgb=\"FFFFFFFF\"/><name val=\"Calibri\"/><family val=\"2\"/></font>"
              "<font><i/><sz val=\"11\"/><color theme=\"4\"/><name val=\"Calibri\"/><family val=\"2\"/><scheme val=\"minor\"/></font>";
    s.fills += "<fill><patternFill patternType=\"solid\"><fgColor rgb=\"FF1F4E78\"/><bgColor indexed=\"64\"/></patternFill></fill>"
               "<fill><patternFill patternType=\"solid\"><fgColor theme=\"5\" tint=\"0.5999938962981048\"/><bgColor indexed=\"64\"/></patternFill></fill>";
    s.borders += "<border><left style=\"thin\"><color auto=\"1\"/></left><right style=\"thin\"><color auto=\"1\"/></right>"
                 "<top style=\"medium\"><color rgb=\"FFFF0000\"/></top><bottom/><diagonal/></border>";
    s.cellXfs += "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"2\" borderId=\"1\" xfId=\"0\" applyFont=\"1\" applyFill=\"1\" applyBorder=\"1\" "
                 "applyAlignment=\"1\"><alignment horizontal=\"center\" vertical=\"center\" wrapText=\"1\"/></xf>"
                 "<xf numFmtId=\"164\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
                 "<xf numFmtId=\"165\" fontId=\"2\" fillId=\"3\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\" applyFont=\"1\" applyFill=\"1\"/>"
                 "<xf numFmtId=\"3\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\" applyProtection=\"1\">"
                 "<protection locked=\"0\"/></xf>"
                 "<xf numFmtId=\"0\" fontId=\"2\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\"/>"
                 "<xf numFmtId=\"10\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>";
    s.dxfs = "<dxf><font><b/><color rgb=\"FF9C0006\"/></font><fill><patternFill><bgColor rgb=\"FFFFC7CE\"/></patternFill></fill></dxf>";
    s.strings = {"<t>Title</t>", "<t>Figures</t>", "<t xml:space=\"preserve\"> plain </t>",
                 "<r><rPr><b/><sz val=\"11\"/><color theme=\"1\"/><rFont val=\"Calibri\"/><scheme val=\"minor\"/></rPr><t>rich</t></r>"
                 "<r><rPr><sz val=\"11\"/><color rgb=\"FFFF0000\"/><rFont val=\"Calibri\"/></rPr><t> text</t></r>"};
    s.theme = t::officeTheme();
    s.definedNames = "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">Data!$A$1:$C$5</definedName>"
                     "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">Data!$A$1:$F$8</definedName>"
                     "<definedName name=\"Total\">Data!$A$4</definedName>";
    s.bookViews = "<workbookView activeTab=\"0\"/>";
    return s;
}

// Three sheets, one named like the source sheet; Arial 10 as the default font; a custom
// number format id that the source uses for another code; a print area on the last sheet;
// the second sheet active; a calculation chain.
t::BookSpec destinationBook(bool otherTheme = false)
{
    t::BookSpec d;
    d.sheets = {{"Jan", "<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews><sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c>"
                        "<c r=\"B1\"><v>5</v></c></row></sheetData>"},
                {"DATA", "<sheetViews><sheetView tabSelected=\"1\" workbookViewId=\"0\"/></sheetViews><sheetData>"
                         "<row r=\"1\"><c r=\"A1\" s=\"1\"><v>3</v></c></row></sheetData>"},
                {"Feb", "<sheetData><row r=\"1\"><c r=\"A1\"><f>Jan!B1*2</f><v>10</v></c></row></sheetData>"}};
    d.numFmts = "<numFmt numFmtId=\"164\" formatCode=\"0.0%\"/>";
    d.fonts = "<font><sz val=\"10\"/><color theme=\"1\"/><name val=\"Arial\"/><family val=\"2\"/></font>";
    d.cellXfs += "<xf numFmtId=\"164\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>";
    d.strings = {"<t>Plain</t>", "<t>Title</t>"};
    d.theme = otherTheme ? t::otherTheme() : t::officeTheme();
    d.definedNames = "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"2\">Feb!$A$1:$B$2</definedName>";
    d.bookViews = "<workbookView activeTab=\"1\" firstSheet=\"0\"/>";
    d.calcChain = true;
    return d;
}

// What openpyxl sees of a sheet: every cell's value and effective format (but for the
// hidden interior cells of merged ranges, which openpyxl replaces by placeholders carrying
// the workbook's default format whatever the file says), merged ranges,
// column widths, row heights, frozen panes, protection, filter, validations, conditional
// formats, margins, page setup, header, tab colour and state.
const char* kDump = R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
ws = wb[sys.argv[2]]
def col(c):
    if c is None: return None
    return (c.type, c.rgb if c.type == "rgb" else c.value, round(c.tint or 0, 6))
out = []
for row in ws.iter_rows():
    for c in row:
        if c.value is None and not c.has_style: continue
        if type(c).__name__ == "MergedCell": continue
        f, fl, b, a, p = c.font, c.fill, c.border, c.alignment, c.protection
        out.append(("cell", c.coordinate, repr(c.value), c.data_type, c.number_format, f.name, f.sz, f.b, f.i, col(f.color),
                    fl.fill_type, col(fl.fgColor), tuple((s.style, col(s.color)) for s in (b.left, b.right, b.top, b.bottom)),
                    a.horizontal, a.vertical, a.wrap_text, p.locked))
out.append(("merged", sorted(str(r) for r in ws.merged_cells.ranges)))
for k, d in sorted(ws.column_dimensions.items()):
    out.append(("col", k, d.min, d.max, d.width, d.hidden, d.outlineLevel))
for k, d in sorted(ws.row_dimensions.items()):
    out.append(("row", k, d.height, d.hidden, d.outlineLevel))
out.append(("freeze", ws.freeze_panes, ws.sheet_view.zoomScale))
out.append(("protect", ws.protection.sheet, ws.auto_filter.ref))
out.append(("dv", [(str(v.sqref), v.type, v.formula1, v.formula2) for v in ws.data_validations.dataValidation]))
out.append(("cf", [(str(r.sqref), [(x.type, x.operator, x.formula, x.dxf.font.b if x.dxf and x.dxf.font else None) for x in rules])
                   for r, rules in ws.conditional_formatting._cf_rules.items()]))
m = ws.page_margins
out.append(("page", m.left, m.right, m.top, ws.page_setup.orientation, ws.page_setup.paperSize, ws.oddHeader.left.text))
out.append(("tab", col(ws.sheet_properties.tabColor), ws.sheet_state))
for x in out: print(x)
)PY";

std::string dump(const fs::path& file, const std::string& sheet)
{
    return t::python(kDump, {file.string(), sheet});
}

std::vector<std::string> sheetNames(const fs::path& file)
{
    std::string out = t::python("import sys, warnings\nwarnings.simplefilter('ignore')\nimport openpyxl\n"
                                "print('\\n'.join(openpyxl.load_workbook(sys.argv[1]).sheetnames))",
                                {file.string()});
    std::vector<std::string> names;
    std::size_t pos = 0;
    while (pos < out.size()) {
        std::size_t nl = out.find('\n', pos);
        names.push_back(out.substr(pos, nl - pos));
        pos = nl == std::string::npos ? out.size() : nl + 1;
    }
    return names;
}

pugi::xml_document xmlOf(const fs::path& file, const std::string& part)
{
    pugi::xml_document d;
    auto all = t::readZip(file);
    EXPECT_TRUE(all.count(part)) << part << " missing from " << file;
    d.load_string(all[part].c_str());
    return d;
}

struct NativeEngineCopy : ::testing::Test {
    TempDir dir;
    fs::path src = dir / "source.xlsx";
    fs::path dst = dir / "dest.xlsx";
    SpreadsheetAutomationFactory factory = nativeAutomationFactory();

    void SetUp() override
    {
        t::writeWorkbook(src, sourceBook());
        t::writeWorkbook(dst, destinationBook());
    }

    // Copies `sheet` of the source `count` times into the destination, after its last sheet
    // or before its first, and saves.
    void copy(const std::string& sheet, Placement where, int count = 1, const fs::path& into = {})
    {
        fs::path target = into.empty() ? dst : into;
        auto server = factory();
        auto s = server->open(src);
        auto d = target == src ? s : server->open(target);
        server->setDisplayAlerts(false);
        auto sh = server->worksheet(s, sheet);
        int front = 1, end = server->sheetCount(d);
        for (int i = 0; i < count; ++i) {
            if (where == Placement::Before)
                server->copySheet(sh, Placement::Before, server->sheet(d, front++));
            else
                server->copySheet(sh, Placement::After, server->sheet(d, end++));
        }
        server->save(d);
        server->quit();
    }
};

AutomationError openError(const fs::path& p)
{
    auto server = nativeAutomationFactory()();
    try {
        server->open(p);
    } catch (const AutomationError& e) {
        return e;
    }
    ADD_FAILURE() << p << " opened";
    return AutomationError(ErrorCode::InternalFault, "");
}

} // namespace

TEST(NativeEngineOpen, EveryRefusalNamesTheFileAndWhatIsWrong)
{
    TempDir dir;
    struct Case {
        std::string name;
        std::string expect;
    };
    writeFile(dir / "text.xlsx", "plain text");
    t::BookSpec binary;
    binary.sheets = {{"S", "<sheetData/>"}};
    binary.contentTypeOfWorkbook = "application/vnd.ms-excel.sheet.binary.macroEnabled.main";
    t::writeWorkbook(dir / "binary.xlsx", binary);
    t::writeZip(dir / "doc.xlsx", {{"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                                                          "<Override PartName=\"/word/document.xml\" ContentType=\"application/vnd.openxmlformats-officedocument.wordprocessingml.document.main+xml\"/></Types>"},
                                   {"_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
                                                   "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument\" Target=\"word/document.xml\"/></Relationships>"},
                                   {"word/document.xml", "<w/>"}});
    std::vector<std::pair<std::string, std::string>> cases = {
        {"absent.xlsx", "does not exist"},
        {"text.xlsx", "not a workbook package (it is not a zip archive)"},
        {"binary.xlsx", "binary workbook (.xlsb)"},
        {"doc.xlsx", "not a workbook"},
    };
    for (const auto& [file, expect] : cases) {
        AutomationError e = openError(dir / file);
        EXPECT_NE(e.code(), ErrorCode::InternalFault) << file;
        EXPECT_THAT(e.description(), HasSubstr((dir / file).string())) << "the full path as given";
        EXPECT_THAT(e.description(), HasSubstr(expect));
    }
}

TEST(NativeEngineOpen, HostileXmlIsRefusedNotExpanded)
{
    TempDir dir;
    t::BookSpec s;
    s.sheets = {{"S", "<sheetData/>"}};
    auto parts = t::buildWorkbook(s);
    for (auto& [name, content] : parts)
        if (name == "xl/workbook.xml")
            content = "<?xml version=\"1.0\"?><!DOCTYPE workbook [<!ENTITY a \"aaaaaaaaaa\"><!ENTITY b \"&a;&a;&a;&a;&a;\">]>" +
                      content.substr(content.find("<workbook"));
    t::writeZip(dir / "evil.xlsx", parts);
    AutomationError e = openError(dir / "evil.xlsx");
    EXPECT_EQ(e.code(), ErrorCode::XmlDoctype);
    EXPECT_THAT(e.description(), HasSubstr("document type declaration"));
}

TEST_F(NativeEngineCopy, ListsWorksheetsAndCountsEverySheet)
{
    t::BookSpec b = sourceBook();
    b.sheets.insert(b.sheets.begin() + 1, t::SheetSpec{"Chart", "<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews>", "", true});
    t::writeWorkbook(src, b);
    auto server = factory();
    auto book = server->open(src);
    EXPECT_EQ(server->worksheetCount(book), 3);
    EXPECT_EQ(server->worksheetName(book, 1), "Data");
    EXPECT_EQ(server->worksheetName(book, 2), "Notes") << "worksheets only: the chartsheet is not counted";
    EXPECT_EQ(server->sheetCount(book), 4);
    EXPECT_EQ(server->sheet(book, 2), server->sheet(book, 2));
    EXPECT_EQ(server->worksheet(book, "notes"), server->sheet(book, 3)) << "names compare without letter case";
    EXPECT_EQ(server->worksheet(book, "chart"), server->sheet(book, 2))
        << "with no worksheet of that name, a chartsheet answers to it";
    try {
        server->worksheet(book, "Nowhere");
        FAIL();
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr("Nowhere"));
        EXPECT_THAT(e.description(), HasSubstr(src.string()));
    }
    EXPECT_THROW(server->sheet(book, 0), AutomationError);
    EXPECT_THROW(server->sheet(book, 5), AutomationError);
    EXPECT_THROW(server->worksheetName(book, 4), AutomationError);
    server->copySheet(server->sheet(book, 2), Placement::After, server->sheet(book, 4));
    EXPECT_EQ(server->sheetCount(book), 5) << "a chartsheet copies too";
    EXPECT_EQ(server->worksheetCount(book), 3) << "and is not counted as a worksheet";
    server->quit();
    EXPECT_THROW(server->worksheetCount(book), AutomationError) << "quit closes every workbook";
}

TEST_F(NativeEngineCopy, CopiesGoBehindTheLastSheetOrInFrontWithFreeNames)
{
    copy("Data", Placement::After, 2);
    EXPECT_THAT(sheetNames(dst), ElementsAre("Jan", "DATA", "Feb", "Data (2)", "Data (3)"));
    t::writeWorkbook(dst, destinationBook());
    copy("Notes", Placement::Before, 3);
    EXPECT_THAT(sheetNames(dst), ElementsAre("Notes", "Notes (2)", "Notes (3)", "Jan", "DATA", "Feb"));
}

TEST_F(NativeEngineCopy, TheCopyLooksAndReadsLikeTheSource)
{
    copy("Data", Placement::After);
    std::string original = dump(src, "Data");
    std::string copied = dump(dst, "Data (2)");
    EXPECT_EQ(copied, original);
    EXPECT_THAT(original, HasSubstr("'yyyy\\\\-mm\\\\-dd'")) << "the dump really covers number formats";
    EXPECT_THAT(original, HasSubstr("('merged', ['A1:B1'])"));
}

TEST_F(NativeEngineCopy, UnformattedCellsKeepTheSourceDefaultWhereTheDestinationsDiffers)
{
    copy("Data", Placement::After);
    std::string copied = dump(dst, "Data (2)");
    // D2 has no format in the source; the destination's default is Arial 10.
    EXPECT_THAT(copied, HasSubstr("('cell', 'D2', '1', 'n', 'General', 'Calibri', 11.0"));
    auto sheet = xmlOf(dst, "xl/worksheets/sheet4.xml");
    auto d2 = sheet.select_node("//c[@r='D2']").node();
    EXPECT_TRUE(d2.attribute("s")) << "an s attribute was inserted";
}

TEST_F(NativeEngineCopy, HiddenCellsUnderAMergeKeepTheirOwnFormat)
{
    copy("Data", Placement::After);
    auto sheet = xmlOf(dst, "xl/worksheets/sheet4.xml");
    auto styles = xmlOf(dst, "xl/styles.xml");
    std::string s = sheet.select_node("//c[@r='B1']/@s").attribute().value();
    ASSERT_FALSE(s.empty());
    auto xf = styles.select_node(("//cellXfs/xf[" + std::to_string(std::stoi(s) + 1) + "]").c_str()).node();
    auto font = styles.select_node(("//fonts/font[" + std::to_string(std::stoi(xf.attribute("fontId").value()) + 1) + "]").c_str()).node();
    EXPECT_STREQ(font.child("sz").attribute("val").value(), "13");
    EXPECT_TRUE(font.child("b"));
}

TEST_F(NativeEngineCopy, OtherSheetsAndUntouchedPartsStayByteForByte)
{
    auto before = t::readZipRaw(dst);
    copy("Data", Placement::Before);
    auto after = t::readZipRaw(dst);
    for (const char* part : {"xl/worksheets/sheet1.xml", "xl/worksheets/sheet2.xml", "xl/worksheets/sheet3.xml",
                             "xl/theme/theme1.xml"}) {
        ASSERT_TRUE(after.count(part)) << part;
        EXPECT_EQ(after[part].bytes, before[part].bytes) << part << " was rewritten";
        EXPECT_EQ(after[part].crc, before[part].crc);
    }
    auto srcAfter = t::readZipRaw(src);
    EXPECT_EQ(readFile(src), readFile(src)) << "the source is only read";
}

TEST_F(NativeEngineCopy, NamesViewsAndPropertiesFollowTheSheets)
{
    copy("Data", Placement::Before);
    auto wb = xmlOf(dst, "xl/workbook.xml");
    std::vector<std::string> names;
    for (auto n : wb.select_nodes("/workbook/definedNames/definedName"))
        names.push_back(std::string(n.node().attribute("name").value()) + "@" + n.node().attribute("localSheetId").value() +
                        "=" + n.node().text().get());
    EXPECT_THAT(names, ElementsAre("_xlnm._FilterDatabase@0='Data (2)'!$A$1:$C$5",
                                   "_xlnm.Print_Area@0='Data (2)'!$A$1:$F$8", "_xlnm.Print_Area@3=Feb!$A$1:$B$2"));
    auto view = wb.select_node("/workbook/bookViews/workbookView").node();
    EXPECT_STREQ(view.attribute("activeTab").value(), "2") << "the sheet that was active stays active";
    std::vector<std::string> ids;
    for (auto s : wb.select_nodes("/workbook/sheets/sheet"))
        ids.push_back(s.node().attribute("sheetId").value());
    EXPECT_THAT(ids, ElementsAre("4", "1", "2", "3"));

    auto app = xmlOf(dst, "docProps/app.xml");
    std::vector<std::string> titles;
    for (auto n : app.select_nodes("//*[local-name()='TitlesOfParts']/*/*"))
        titles.push_back(n.node().text().get());
    EXPECT_THAT(titles, ElementsAre("Data (2)", "Jan", "DATA", "Feb"));
    EXPECT_STREQ(app.select_node("//*[local-name()='HeadingPairs']//*[local-name()='i4']").node().text().get(), "4");

    auto sheet = xmlOf(dst, "xl/worksheets/sheet4.xml");
    EXPECT_FALSE(sheet.select_node("//sheetView/@tabSelected")) << "two selected tabs would group the sheets";
}

TEST_F(NativeEngineCopy, CopiedPrintAreaNamesTheCopy)
{
    copy("Data", Placement::After, 2);
    auto wb = xmlOf(dst, "xl/workbook.xml");
    EXPECT_TRUE(wb.select_node("//definedName[@name='_xlnm.Print_Area'][@localSheetId='3'][text()=\"'Data (2)'!$A$1:$F$8\"]"));
    EXPECT_TRUE(wb.select_node("//definedName[@name='_xlnm.Print_Area'][@localSheetId='4'][text()=\"'Data (3)'!$A$1:$F$8\"]"));
    EXPECT_FALSE(wb.select_node("//definedName[@name='Total']")) << "workbook-scoped names are not this stage's to bring";
}

TEST_F(NativeEngineCopy, ThePackageStaysConsistent)
{
    copy("Data", Placement::After);
    auto all = t::readZip(dst);
    EXPECT_EQ(all.count("xl/calcChain.xml"), 0u) << "the calculation chain is dropped";
    auto ct = xmlOf(dst, "[Content_Types].xml");
    EXPECT_FALSE(ct.select_node("//*[@PartName='/xl/calcChain.xml']"));
    EXPECT_TRUE(ct.select_node("//*[@PartName='/xl/worksheets/sheet4.xml'][@ContentType='application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml']"));
    auto rels = xmlOf(dst, "xl/_rels/workbook.xml.rels");
    EXPECT_FALSE(rels.select_node("//*[contains(@Type,'calcChain')]"));
    std::set<std::string> ids;
    for (auto r : rels.select_nodes("//*[local-name()='Relationship']")) {
        EXPECT_TRUE(ids.insert(r.node().attribute("Id").value()).second) << "duplicate relationship id";
        std::string target = "xl/" + std::string(r.node().attribute("Target").value());
        EXPECT_TRUE(all.count(target)) << target << " is named but missing";
    }
}

TEST_F(NativeEngineCopy, RepeatedCopiesDoNotGrowStylesOrStrings)
{
    copy("Data", Placement::After, 1);
    auto styles1 = xmlOf(dst, "xl/styles.xml");
    auto sst1 = xmlOf(dst, "xl/sharedStrings.xml");
    std::size_t xfs1 = styles1.select_nodes("//cellXfs/xf").size();
    std::size_t items1 = sst1.select_nodes("//si").size();
    copy("Data", Placement::After, 5);
    auto styles6 = xmlOf(dst, "xl/styles.xml");
    auto sst6 = xmlOf(dst, "xl/sharedStrings.xml");
    EXPECT_EQ(styles6.select_nodes("//cellXfs/xf").size(), xfs1);
    EXPECT_EQ(sst6.select_nodes("//si").size(), items1);
    EXPECT_EQ(items1, 5u) << "two destination strings + three new ones (\"Title\" was already there)";
    EXPECT_STREQ(sst6.child("sst").attribute("uniqueCount").value(), "5");
    EXPECT_STREQ(styles6.select_node("//cellXfs").node().attribute("count").value(), std::to_string(xfs1).c_str());
    // The custom formats are mapped by code: the destination's 164 is another format.
    EXPECT_TRUE(styles6.select_node("//numFmt[@numFmtId='164'][@formatCode='0.0%']"));
    EXPECT_TRUE(styles6.select_node("//numFmt[@numFmtId='165'][@formatCode='yyyy\\-mm\\-dd']"));
}

// How each formatted position of a sheet looks (cells, rows with a format of their own,
// formatted columns), read from the file: once as readers that honour the apply flags of a
// cell format see it (a group whose flag is not set comes from the cell style), once from the
// format's own attributes. openpyxl itself always gives the latter, so the former is worked
// out here from the styles part.
const char* kLook = R"PY(
import sys, zipfile, posixpath
import xml.etree.ElementTree as ET
from openpyxl.styles.numbers import BUILTIN_FORMATS
M = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
R = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"
z = zipfile.ZipFile(sys.argv[1])
st = ET.fromstring(z.read("xl/styles.xml"))
def items(tag, item):
    c = st.find(M + tag)
    return [] if c is None else c.findall(M + item)
codes = {int(n.get("numFmtId")): n.get("formatCode") for n in items("numFmts", "numFmt")}
def canon(e):
    if e is None: return ""
    return e.tag.replace(M, "") + str(sorted(e.attrib.items())) + "".join(canon(c) for c in e)
fonts, fills, borders = [[canon(e) for e in items(t, i)] for t, i in
                         (("fonts", "font"), ("fills", "fill"), ("borders", "border"))]
styles, xfs = items("cellStyleXfs", "xf"), items("cellXfs", "xf")
groups = [("numFmt", "applyNumberFormat", lambda x: codes.get(int(x.get("numFmtId", "0")),
                                                            BUILTIN_FORMATS.get(int(x.get("numFmtId", "0"))))),
          ("font", "applyFont", lambda x: fonts[int(x.get("fontId", "0"))]),
          ("fill", "applyFill", lambda x: fills[int(x.get("fillId", "0"))]),
          ("border", "applyBorder", lambda x: borders[int(x.get("borderId", "0"))]),
          ("alignment", "applyAlignment", lambda x: canon(x.find(M + "alignment"))),
          ("protection", "applyProtection", lambda x: canon(x.find(M + "protection")))]
def look(i, honour):
    xf = xfs[i]
    style = styles[int(xf.get("xfId", "0"))]
    return " ".join("%s=%s" % (g, value(xf if not honour or xf.get(flag) in ("1", "true") else style))
                    for g, flag, value in groups)
wb = ET.fromstring(z.read("xl/workbook.xml"))
rid = [s for s in wb.iter(M + "sheet") if s.get("name") == sys.argv[2]][0].get(R + "id")
rels = ET.fromstring(z.read("xl/_rels/workbook.xml.rels"))
target = [r for r in rels if r.get("Id") == rid][0].get("Target")
sheet = ET.fromstring(z.read(posixpath.normpath(posixpath.join("xl", target))))
places = []
for col in sheet.iter(M + "col"):
    places.append(("col %s-%s" % (col.get("min"), col.get("max")), int(col.get("style", "0"))))
for row in sheet.iter(M + "row"):
    if row.get("customFormat") in ("1", "true"):
        places.append(("row " + row.get("r"), int(row.get("s", "0"))))
    for c in row.findall(M + "c"):
        places.append(("cell " + c.get("r"), int(c.get("s", "0"))))
for where, i in places:
    for honour in (True, False):
        print(where, "flags" if honour else "own", look(i, honour))
)PY";

TEST_F(NativeEngineCopy, EveryCellLooksAsInTheSourceWhateverTheReaderMakesOfApplyFlags)
{
    // The source's default look is Century Gothic 9; "Note" is a named style of its own.
    // Formats without flags take what their style gives, as in a workbook an office
    // application saved.
    t::BookSpec s;
    s.fonts = "<font><sz val=\"9\"/><name val=\"Century Gothic\"/><family val=\"2\"/></font>"
              "<font><b/><sz val=\"12\"/><name val=\"Arial\"/></font><font><i/><sz val=\"8\"/><name val=\"Courier New\"/></font>";
    s.fills += "<fill><patternFill patternType=\"solid\"><fgColor rgb=\"FFFF0000\"/></patternFill></fill>";
    s.borders += "<border><left style=\"thin\"/><right/><top/><bottom/><diagonal/></border>";
    s.numFmts = "<numFmt numFmtId=\"164\" formatCode=\"0.000\"/>";
    s.cellStyleXfs += "<xf numFmtId=\"164\" fontId=\"2\" fillId=\"2\" borderId=\"1\"><alignment wrapText=\"1\"/></xf>";
    s.cellStyles += "<cellStyle name=\"Note\" xfId=\"1\"/>";
    s.cellXfs += "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\"/>"
                 "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"2\" borderId=\"0\" xfId=\"0\" applyFill=\"1\"/>"
                 "<xf numFmtId=\"164\" fontId=\"0\" fillId=\"0\" borderId=\"1\" xfId=\"0\" applyNumberFormat=\"1\" applyBorder=\"1\"/>"
                 "<xf numFmtId=\"164\" fontId=\"2\" fillId=\"2\" borderId=\"1\" xfId=\"1\"><alignment wrapText=\"1\"/></xf>"
                 "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"0\" applyAlignment=\"1\">"
                 "<alignment horizontal=\"center\"/></xf>";
    s.sheets = {{"Look", "<cols><col min=\"2\" max=\"3\" width=\"12\" style=\"2\" customWidth=\"1\"/></cols><sheetData>"
                         "<row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\" s=\"1\"><v>2</v></c><c r=\"C1\" s=\"2\"><v>3</v></c>"
                         "<c r=\"D1\" s=\"3\"><v>4</v></c><c r=\"E1\" s=\"4\"><v>5</v></c><c r=\"F1\" s=\"5\"><v>6</v></c></row>"
                         "<row r=\"2\" s=\"3\" customFormat=\"1\"><c r=\"A2\" s=\"0\"><v>7</v></c></row>"
                         "<row r=\"3\"><c r=\"A3\" s=\"4\"><v>8</v></c><c r=\"B3\" s=\"4\"/><c r=\"C3\" s=\"1\"/></row>"
                         "<row r=\"4\" customFormat=\"1\"><c r=\"A4\" s=\"1\"><v>9</v></c></row>"
                         "</sheetData><mergeCells count=\"1\"><mergeCell ref=\"A3:C3\"/></mergeCells>"}};
    t::writeWorkbook(src, s);
    // The destination's default is Calibri 11, and its "Note" is another style.
    t::BookSpec d;
    d.sheets = {{"Jan", "<sheetData><row r=\"1\"><c r=\"A1\"><v>0</v></c></row></sheetData>"}};
    d.fonts += "<font><sz val=\"10\"/><name val=\"Tahoma\"/></font>";
    d.cellStyleXfs += "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\"/>";
    d.cellStyles += "<cellStyle name=\"Note\" xfId=\"1\"/>";
    t::writeWorkbook(dst, d);
    copy("Look", Placement::After);
    std::string before = t::python(kLook, {src.string(), "Look"});
    std::string after = t::python(kLook, {dst.string(), "Look"});
    EXPECT_THAT(before, HasSubstr("cell A1 flags numFmt=General font=font[]sz[('val', '9')]name[('val', 'Century Gothic')]"));
    EXPECT_EQ(after, before);
}

// Into a workbook without a theme part too: readers show theme colours there as black or as
// their own default theme, whatever the source showed.
TEST_F(NativeEngineCopy, AnotherThemeOrNoneGetsTheColoursTheSourceShowed)
{
    for (const bool none : {false, true}) {
        SCOPED_TRACE(none ? "no theme" : "another theme");
        t::BookSpec d = destinationBook(true);
        if (none)
            d.theme.clear();
        t::writeWorkbook(dst, d);
        copy("Data", Placement::After);
        auto styles = xmlOf(dst, "xl/styles.xml");
        // Font 2 of the source is accent 1 (4472C4 in the source's theme), italic.
        EXPECT_TRUE(styles.select_node("//fonts/font[i][color/@rgb='FF4472C4']"));
        EXPECT_TRUE(styles.select_node("//fills/fill/patternFill/fgColor[@rgb='FFF8CBAD']"))
            << "accent 2 (ED7D31) lightened by 0.6";
        EXPECT_FALSE(styles.select_node("//fonts/font[i]/color/@theme"));
        auto sst = xmlOf(dst, "xl/sharedStrings.xml");
        EXPECT_TRUE(sst.select_node("//si/r/rPr[b]/color[@rgb='FF000000']")) << "rich-text runs follow too";
    }
}

TEST_F(NativeEngineCopy, ACopyIntoItsOwnWorkbookRenamesItsSelfReferences)
{
    t::BookSpec b = sourceBook();
    b.sheets[1].body = "<sheetData><row r=\"1\"><c r=\"A1\"><f>Notes!B1+Data!A4</f><v>10</v></c><c r=\"B1\"><v>0</v></c></row></sheetData>";
    t::writeWorkbook(src, b);
    copy("Notes", Placement::After, 1, src);
    EXPECT_THAT(sheetNames(src), ElementsAre("Data", "Notes", "Secret", "Notes (2)"));
    auto sheet = xmlOf(src, "xl/worksheets/sheet4.xml");
    EXPECT_STREQ(sheet.select_node("//c[@r='A1']/f").node().text().get(), "'Notes (2)'!B1+Data!A4");
    auto wb = xmlOf(src, "xl/workbook.xml");
    EXPECT_TRUE(wb.select_node("//definedName[@name='_xlnm.Print_Area'][@localSheetId='0']")) << "Data keeps its own";
    EXPECT_EQ(wb.select_nodes("//definedName").size(), 3u);
}

TEST_F(NativeEngineCopy, AHiddenSheetStaysHiddenAndTheCopyInFrontLeavesTheFirstTabAlone)
{
    copy("Secret", Placement::Before);
    auto wb = xmlOf(dst, "xl/workbook.xml");
    EXPECT_STREQ(wb.select_node("//sheets/sheet").node().attribute("state").value(), "hidden");
    EXPECT_STREQ(wb.select_node("//workbookView").node().attribute("firstSheet").value(), "1");
}

TEST_F(NativeEngineCopy, PartsTheSheetPointsAtTravelAndWhatCannotTravelIsLeftOut)
{
    t::BookSpec b = sourceBook();
    b.sheets[1].body = "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>"
                       "<hyperlinks><hyperlink ref=\"A1\" r:id=\"rId2\"/><hyperlink ref=\"A2\" location=\"Data!A1\" display=\"x\"/></hyperlinks>"
                       "<pageSetup orientation=\"portrait\" r:id=\"rId3\"/><drawing r:id=\"rId1\"/><picture r:id=\"rId4\"/>"
                       "<extLst><ext uri=\"{3A4CF648-6AED-40f4-86FF-DC5316D8AED3}\" "
                       "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\">"
                       "<x14:slicerList><x14:slicer r:id=\"rId5\"/></x14:slicerList></ext></extLst>";
    b.sheets[1].rels =
        "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing\" Target=\"../drawings/drawing1.xml\"/>"
        "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink\" "
        "Target=\"https://example.com/a%20b\" TargetMode=\"External\"/>"
        "<Relationship Id=\"rId3\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/printerSettings\" Target=\"../printerSettings/p1.bin\"/>"
        "<Relationship Id=\"rId4\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/image\" Target=\"../media/missing.png\"/>"
        "<Relationship Id=\"rId5\" Type=\"http://schemas.microsoft.com/office/2007/relationships/slicer\" Target=\"../slicers/slicer1.xml\"/>";
    b.extraParts = {{"xl/drawings/drawing1.xml", "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\"/>"},
                    {"xl/printerSettings/p1.bin", "binary"},
                    {"xl/slicers/slicer1.xml", "<slicers xmlns=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\"/>"}};
    t::writeWorkbook(src, b);
    copy("Notes", Placement::After);
    auto parts = t::readZip(dst);
    auto sheet = xmlOf(dst, "xl/worksheets/sheet4.xml");
    auto rels = xmlOf(dst, "xl/worksheets/_rels/sheet4.xml.rels");
    auto target = [&](const char* element) -> std::string {
        auto id = sheet.select_node((std::string("//") + element).c_str()).node().attribute("r:id").value();
        return rels.select_node(("//*[@Id='" + std::string(id) + "']").c_str()).node().attribute("Target").value();
    };
    EXPECT_EQ(target("drawing"), "../drawings/drawing1.xml") << "the destination had no drawing of that name";
    EXPECT_EQ(parts.at("xl/drawings/drawing1.xml"), b.extraParts[0].second);
    EXPECT_EQ(target("pageSetup"), "../printerSettings/p1.bin");
    EXPECT_EQ(parts.at("xl/printerSettings/p1.bin"), "binary");
    EXPECT_TRUE(sheet.select_node("//pageSetup[@orientation='portrait']"));
    EXPECT_FALSE(sheet.select_node("//picture")) << "its picture is not in the package";
    EXPECT_FALSE(sheet.select_node("//extLst")) << "a slicer needs its workbook's cache: left out with its list";
    EXPECT_FALSE(parts.count("xl/slicers/slicer2.xml"));
    EXPECT_TRUE(sheet.select_node("//hyperlink[@ref='A2'][@location='Data!A1']"));
    auto link = sheet.select_node("//hyperlink[@ref='A1']").node();
    ASSERT_TRUE(link) << "links to outside the package travel with their relationship";
    auto rel = rels.select_node(("//*[@Id='" + std::string(link.attribute("r:id").value()) + "']").c_str()).node();
    EXPECT_STREQ(rel.attribute("Target").value(), "https://example.com/a%20b");
    EXPECT_STREQ(rel.attribute("TargetMode").value(), "External");
    EXPECT_EQ(rels.select_nodes("//*[local-name()='Relationship']").size(), 3u);
    auto types = xmlOf(dst, "[Content_Types].xml");
    EXPECT_TRUE(types.select_node("//*[@Extension='bin']")) << "printer settings get a type by their extension";
}

TEST_F(NativeEngineCopy, CloseDropsChangesAndSaveOfAnUnchangedWorkbookLeavesTheFile)
{
    std::string original = readFile(dst);
    struct stat before {};
    ::stat(dst.c_str(), &before);
    auto server = factory();
    auto s = server->open(src);
    auto d = server->open(dst);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(d, 3));
    server->close(d);
    EXPECT_EQ(readFile(dst), original);
    d = server->open(dst);
    server->save(d);
    server->quit();
    struct stat after {};
    ::stat(dst.c_str(), &after);
    EXPECT_EQ(readFile(dst), original);
    EXPECT_EQ(before.st_ino, after.st_ino) << "nothing to write, so nothing was written";
}

// A factory keeps the workbooks its instances closed unchanged, so that the next open of the
// same file skips reading it; whatever happened to the file meanwhile must still be seen.
TEST_F(NativeEngineCopy, AWorkbookOpenedAgainIsTheFileAsItIsNow)
{
    copy("Data", Placement::After);
    ASSERT_THAT(sheetNames(dst), ElementsAre("Jan", "DATA", "Feb", "Data (2)"));

    // Rewritten in place by another program (same file, other content).
    std::string other = readFile(src);
    writeFile(dst, other);
    auto server = factory();
    auto d = server->open(dst);
    EXPECT_EQ(server->sheetCount(d), 3);
    EXPECT_EQ(server->worksheetName(d, 1), "Data");
    server->quit();

    // Replaced by another file under the same name.
    fs::path elsewhere = dir / "replacement.xlsx";
    t::writeWorkbook(elsewhere, destinationBook());
    fs::rename(elsewhere, dst);
    copy("Notes", Placement::Before);
    EXPECT_THAT(sheetNames(dst), ElementsAre("Notes", "Jan", "DATA", "Feb"));

    // Gone.
    fs::remove(dst);
    server = factory();
    try {
        server->open(dst);
        ADD_FAILURE() << "a deleted workbook opened";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(dst.string()));
    }
}

// Changes closed without saving are gone for the next open too, and a workbook kept between
// opens takes copies and saves like a fresh one.
TEST_F(NativeEngineCopy, AKeptWorkbookHoldsNoUnsavedChangesAndSavesLikeAFreshOne)
{
    auto server = factory();
    auto s = server->open(src);
    auto d = server->open(dst);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(d, 3));
    server->close(d);
    d = server->open(dst);
    EXPECT_EQ(server->sheetCount(d), 3);
    server->quit();

    for (int round = 0; round < 3; ++round)
        copy("Data", Placement::After);
    EXPECT_THAT(sheetNames(dst), ElementsAre("Jan", "DATA", "Feb", "Data (2)", "Data (3)", "Data (4)"));
    auto fresh = nativeAutomationFactory()();
    auto f = fresh->open(dst);
    EXPECT_EQ(fresh->sheetCount(f), 6);
    fresh->quit();
}

// A sheet big enough to be read ahead on a thread of its own copies whole, and a fault in its
// compressed data still fails the copy with the file named and the destination untouched.
TEST(NativeEngineBigSheet, CopiesWholeAndADamagedOneFailsCleanly)
{
    TempDir dir;
    std::string rows;
    const int kRows = 150000;
    for (int r = 1; r <= kRows; ++r)
        rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><v>" + std::to_string(r * 7) +
                "</v></c><c r=\"B" + std::to_string(r) + "\"><v>0.5</v></c></row>";
    t::BookSpec big;
    big.sheets = {{"Big", "<sheetData>" + rows + "</sheetData>"}};
    fs::path src = dir / "big.xlsx", dst = dir / "dest.xlsx";
    t::writeWorkbook(src, big);
    t::writeWorkbook(dst, destinationBook());

    auto copyInto = [&](const fs::path& from) {
        auto server = nativeAutomationFactory()();
        auto s = server->open(from);
        auto d = server->open(dst);
        server->copySheet(server->worksheet(s, "Big"), Placement::After, server->sheet(d, 3));
        server->save(d);
        server->quit();
    };
    copyInto(src);
    auto parts = t::readZip(dst);
    std::string copied;
    for (const auto& [name, content] : parts)
        if (name.rfind("xl/worksheets/", 0) == 0 && content.find("r=\"A150000\"") != std::string::npos)
            copied = content;
    ASSERT_GT(copied.size(), 8u << 20) << "the sheet is big enough to be read ahead";
    EXPECT_NE(copied.find("<v>1050000</v>"), std::string::npos) << "the last row arrived";
    EXPECT_NE(copied.find("<v>7</v>"), std::string::npos) << "and the first";

    // Damage the compressed data in its middle: the checksum (or the stream) gives it away.
    std::string bytes = readFile(src);
    std::size_t at = bytes.find("xl/worksheets/sheet1.xml");
    ASSERT_NE(at, std::string::npos);
    for (std::size_t i = at + bytes.size() / 2; i < at + bytes.size() / 2 + 64 && i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(bytes[i] ^ 0x5A);
    fs::path damaged = dir / "damaged.xlsx";
    writeFile(damaged, bytes);
    std::string before = readFile(dst);
    try {
        copyInto(damaged);
        ADD_FAILURE() << "a damaged sheet was copied";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(damaged.string()));
    }
    EXPECT_EQ(readFile(dst), before);
}

TEST_F(NativeEngineCopy, SaveAsWritesACompleteWorkbookAndBindsToIt)
{
    fs::path copyPath = dir / "elsewhere.xlsx";
    std::string original = readFile(src);
    auto server = factory();
    auto s = server->open(src);
    server->saveAs(s, copyPath);
    server->copySheet(server->worksheet(s, "Notes"), Placement::After, server->sheet(s, 3));
    server->save(s);
    server->quit();
    EXPECT_EQ(readFile(src), original) << "after SaveAs the workbook belongs to the new file";
    EXPECT_THAT(sheetNames(copyPath), ElementsAre("Data", "Notes", "Secret", "Notes (2)"));
}

TEST_F(NativeEngineCopy, AFailedSaveLeavesTheFileAsItWasAndNoTemporaryFile)
{
    std::string original = readFile(dst);
    ::chmod(dst.c_str(), 0640);
    EngineOptions options;
    options.outputWrapper = [](std::unique_ptr<OutputFile> inner) {
        return std::make_unique<FailingOutputFile>(std::move(inner), 2000, ENOSPC);
    };
    auto server = nativeAutomationFactory(options)();
    auto s = server->open(src);
    auto d = server->open(dst);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(d, 3));
    try {
        server->save(d);
        FAIL() << "the full disk went unnoticed";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(dst.string()));
        EXPECT_THAT(e.description(), HasSubstr("left as it was"));
        EXPECT_THAT(e.description(), HasSubstr("No space left on device"));
    }
    server->quit();
    EXPECT_EQ(readFile(dst), original);
    std::size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir.path()))
        ++files;
    EXPECT_EQ(files, 2u) << "the temporary file was removed";
    // And a save that works keeps the permissions.
    copy("Data", Placement::After);
    struct stat st {};
    ::stat(dst.c_str(), &st);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

TEST_F(NativeEngineCopy, AFaultOfTheProgramIsToldAsTessarosNotTheWorkbooks)
{
    std::string original = readFile(dst);
    EngineOptions options;
    options.outputWrapper = [](std::unique_ptr<OutputFile>) -> std::unique_ptr<OutputFile> {
        throw std::out_of_range("vector index 7 of 3");
    };
    auto server = nativeAutomationFactory(options)();
    auto s = server->open(src);
    auto d = server->open(dst);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(d, 3));
    try {
        server->save(d);
        FAIL() << "the fault went unnoticed";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.code(), ErrorCode::InternalFault);
        EXPECT_EQ(e.description().rfind(dst.string() + ": Tessaro itself failed", 0), 0u) << e.description();
        EXPECT_THAT(e.description(), HasSubstr("while saving it: vector index 7 of 3"));
    }
    server->quit();
    EXPECT_EQ(readFile(dst), original);
}

TEST_F(NativeEngineCopy, OneDistinctSheetIsCompressedOnceForManyDestinations)
{
    for (int i = 0; i < 4; ++i)
        t::writeWorkbook(dir / ("d" + std::to_string(i) + ".xlsx"), destinationBook());
    auto ctx = std::make_shared<EngineContext>(EngineOptions{});
    auto make = nativeAutomationFactory(ctx);
    auto server = make();
    auto s = server->open(src);
    auto sheet = server->worksheet(s, "Data");
    for (int i = 0; i < 4; ++i) {
        auto d = server->open(dir / ("d" + std::to_string(i) + ".xlsx"));
        server->copySheet(sheet, Placement::After, server->sheet(d, 3));
        server->save(d);
        server->close(d);
    }
    server->quit();
    auto stats = ctx->stats();
    EXPECT_EQ(stats.rewrites, 1u);
    EXPECT_EQ(stats.reusedRewrites, 3u);
    auto first = t::readZipRaw(dir / "d0.xlsx"), last = t::readZipRaw(dir / "d3.xlsx");
    EXPECT_EQ(first["xl/worksheets/sheet4.xml"].bytes, last["xl/worksheets/sheet4.xml"].bytes);
    EXPECT_EQ(first["xl/styles.xml"].bytes, last["xl/styles.xml"].bytes);
}

TEST_F(NativeEngineCopy, CopiesUnderAnotherNameReuseTheBytesWhenNoFormulaNamesASheet)
{
    auto ctx = std::make_shared<EngineContext>(EngineOptions{});
    auto server = nativeAutomationFactory(ctx)();
    auto s = server->open(src);
    auto d = server->open(dst);
    for (int i = 0; i < 3; ++i)
        server->copySheet(server->worksheet(s, "Notes"), Placement::Before, server->sheet(d, 1));
    server->save(d);
    server->quit();
    EXPECT_THAT(sheetNames(dst), ElementsAre("Notes (3)", "Notes (2)", "Notes", "Jan", "DATA", "Feb"));
    EXPECT_EQ(ctx->stats().rewrites, 1u);
    EXPECT_EQ(ctx->stats().reusedRewrites, 2u);
}

TEST_F(NativeEngineCopy, PrefixedWorkbooksTakeCopiesInTheirOwnPrefix)
{
    t::BookSpec d = destinationBook();
    d.prefix = "x";
    for (auto& sh : d.sheets) {
        std::string out;
        for (std::size_t i = 0; i < sh.body.size(); ++i) {
            out.push_back(sh.body[i]);
            if (sh.body[i] == '<') {
                if (sh.body[i + 1] == '/') {
                    out.push_back('/');
                    ++i;
                }
                out += "x:";
            }
        }
        sh.body = out;
    }
    t::writeWorkbook(dst, d);
    copy("Data", Placement::Before);
    EXPECT_THAT(sheetNames(dst), ElementsAre("Data (2)", "Jan", "DATA", "Feb"));
    auto all = t::readZip(dst);
    EXPECT_THAT(all["xl/workbook.xml"], HasSubstr("<x:sheet name=\"Data (2)\""));
    EXPECT_THAT(all["xl/styles.xml"], HasSubstr("<x:fonts count=\"4\">"));
    EXPECT_THAT(all["xl/sharedStrings.xml"], HasSubstr("<x:si><x:t>Figures</x:t></x:si>"));
    EXPECT_EQ(dump(dst, "Data (2)"), dump(src, "Data"));
}

TEST_F(NativeEngineCopy, PartsThatOpenWithAByteOrderMarkAreRead)
{
    auto writeMarked = [](const fs::path& file, const t::BookSpec& spec) {
        t::Parts parts = t::buildWorkbook(spec);
        for (auto& [name, xml] : parts) {
            // The shared strings without a declaration, so the mark stands right before the root.
            if (name == "xl/sharedStrings.xml")
                xml.erase(0, xml.find("?>\n") + 3);
            xml.insert(0, "\xEF\xBB\xBF");
        }
        t::writeZip(file, parts);
    };
    writeMarked(src, sourceBook());
    t::BookSpec d;
    d.prefix = "x";
    d.sheets = {{"Jan", "<x:sheetData><x:row r=\"1\"><x:c r=\"A1\" t=\"s\"><x:v>0</x:v></x:c></x:row></x:sheetData>"}};
    d.strings = {"<t>Plain</t>"};
    d.theme = t::officeTheme(); // the source's, so that its theme colours stay as they are
    writeMarked(dst, d);
    copy("Data", Placement::After);
    EXPECT_EQ(dump(dst, "Data"), dump(src, "Data"));
    EXPECT_THAT(dump(dst, "Jan"), HasSubstr("'Plain'"));
}

TEST_F(NativeEngineCopy, WorkbooksWithoutCellFormatsCopyInAndOut)
{
    // One without a styles part and one whose styles part is empty: both have format 0, the
    // application's default.
    t::BookSpec bare;
    bare.sheets = {{"Plain", "<sheetData><row r=\"1\"><c r=\"A1\" s=\"0\"><v>5</v></c></row></sheetData>"}};
    bare.noStyles = true;
    bare.theme = t::officeTheme(); // the source's, so that its theme colours stay as they are
    const t::Parts noPart = t::buildWorkbook(bare);
    bare.noStyles = false;
    t::Parts emptyPart = t::buildWorkbook(bare);
    for (auto& [name, xml] : emptyPart)
        if (name == "xl/styles.xml")
            xml = "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>";
    const fs::path file = dir / "bare.xlsx";
    for (const t::Parts& parts : {noPart, emptyPart}) {
        t::writeZip(file, parts);
        t::writeWorkbook(dst, destinationBook());
        auto server = factory();
        auto b = server->open(file);
        auto d = server->open(dst);
        server->copySheet(server->worksheet(b, "Plain"), Placement::After, server->sheet(d, 3));
        server->copySheet(server->worksheet(server->open(src), "Data"), Placement::After, server->sheet(b, 1));
        server->save(d);
        server->save(b);
        server->quit();
        EXPECT_THAT(dump(dst, "Plain"), HasSubstr("('cell', 'A1', '5', 'n', 'General', 'Calibri', 11.0"))
            << "the default font, not the destination's Arial 10";
        EXPECT_EQ(dump(file, "Data"), dump(src, "Data"));
    }
}

TEST(NativeEngineOpenpyxl, CopiesBetweenWorkbooksOpenpyxlWrote)
{
    TempDir dir;
    t::python(R"PY(
import sys
import openpyxl
from openpyxl.styles import Font, PatternFill, Alignment
src = openpyxl.Workbook()
ws = src.active
ws.title = "Report"
ws["A1"] = "Heading"
ws["A1"].font = Font(bold=True, size=14, color="FF0000FF")
ws["A1"].fill = PatternFill("solid", fgColor="FFFFFF00")
ws.merge_cells("A1:C1")
ws["A2"] = 3.25
ws["A2"].number_format = "0.000"
ws["B2"] = "=A2*2"
ws["C2"] = "text"
ws["C2"].alignment = Alignment(horizontal="right")
ws.column_dimensions["A"].width = 30
ws.row_dimensions[2].height = 40
ws.freeze_panes = "A2"
src.create_sheet("Other")
src.save(sys.argv[1])
dst = openpyxl.Workbook()
dst.active.title = "Report"
dst.active["A1"] = "mine"
dst.create_sheet("Second")
dst.save(sys.argv[2])
)PY",
              {(dir / "src.xlsx").string(), (dir / "dst.xlsx").string()});
    auto server = nativeAutomationFactory()();
    auto s = server->open(dir / "src.xlsx");
    auto d = server->open(dir / "dst.xlsx");
    EXPECT_EQ(server->worksheetCount(s), 2);
    server->copySheet(server->worksheet(s, "report"), Placement::After, server->sheet(d, 2));
    server->copySheet(server->worksheet(s, "Report"), Placement::Before, server->sheet(d, 1));
    server->save(d);
    server->quit();
    EXPECT_THAT(sheetNames(dir / "dst.xlsx"), ElementsAre("Report (3)", "Report", "Second", "Report (2)"));
    EXPECT_EQ(dump(dir / "dst.xlsx", "Report (2)"), dump(dir / "src.xlsx", "Report"));
    EXPECT_EQ(dump(dir / "dst.xlsx", "Report (3)"), dump(dir / "src.xlsx", "Report"));
}
