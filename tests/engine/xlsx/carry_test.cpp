// SPDX-License-Identifier: MIT
// Everything a sheet brings with it, through the automation interface on workbooks written
// part by part and on corpus workbooks: tables, comments and their drawings, charts,
// pictures, links to the source's other sheets, names, dates, threaded comments, pivot
// tables, chartsheets - and a destination that keeps all of its own.
#include "engine/opc/engine_context.h"
#include "engine/sheet_copy/external_links.h"
#include "engine/xlsx/native_engine.h"

#include "support/shared_dir.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <regex>

using namespace tessaro;
using namespace tessaro::xlsx;
using tessaro::test::TempDir;
using ::testing::HasSubstr;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

const std::string kRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const std::string kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const std::string kCt = "application/vnd.openxmlformats-officedocument.";

std::string rel(const std::string& id, const std::string& type, const std::string& target)
{
    return "<Relationship Id=\"" + id + "\" Type=\"" + kRel + "/" + type + "\" Target=\"" + target + "\"/>";
}

std::string override(const std::string& part, const std::string& type)
{
    return "<Override PartName=\"" + part + "\" ContentType=\"" + kCt + type + "\"/>";
}

std::string drawingWithChart()
{
    return "<xdr:wsDr xmlns:xdr=\"http://schemas.openxmlformats.org/drawingml/2006/spreadsheetDrawing\" "
           "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><xdr:twoCellAnchor>"
           "<xdr:from><xdr:col>3</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>1</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:from>"
           "<xdr:to><xdr:col>8</xdr:col><xdr:colOff>0</xdr:colOff><xdr:row>12</xdr:row><xdr:rowOff>0</xdr:rowOff></xdr:to>"
           "<xdr:graphicFrame macro=\"\"><xdr:nvGraphicFramePr><xdr:cNvPr id=\"2\" name=\"Chart 1\"/><xdr:cNvGraphicFramePr/>"
           "</xdr:nvGraphicFramePr><xdr:xfrm><a:off x=\"0\" y=\"0\"/><a:ext cx=\"0\" cy=\"0\"/></xdr:xfrm><a:graphic>"
           "<a:graphicData uri=\"http://schemas.openxmlformats.org/drawingml/2006/chart\"><c:chart "
           "xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" xmlns:r=\"" + kRel + "\" r:id=\"rId1\"/>"
           "</a:graphicData></a:graphic></xdr:graphicFrame><xdr:clientData/></xdr:twoCellAnchor></xdr:wsDr>";
}

std::string chart(const std::string& categories, const std::string& values)
{
    return "<c:chartSpace xmlns:c=\"http://schemas.openxmlformats.org/drawingml/2006/chart\" "
           "xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\" xmlns:r=\"" + kRel + "\"><c:chart><c:plotArea>"
           "<c:layout/><c:barChart><c:barDir val=\"col\"/><c:grouping val=\"clustered\"/><c:ser><c:idx val=\"0\"/>"
           "<c:order val=\"0\"/><c:spPr><a:solidFill><a:schemeClr val=\"accent1\"><a:lumMod val=\"75000\"/></a:schemeClr>"
           "</a:solidFill></c:spPr><c:cat><c:numRef><c:f>" + categories + "</c:f></c:numRef></c:cat><c:val><c:numRef><c:f>" +
           values + "</c:f><c:numCache><c:formatCode>General</c:formatCode><c:ptCount val=\"2\"/><c:pt idx=\"0\"><c:v>3</c:v>"
           "</c:pt><c:pt idx=\"1\"><c:v>4</c:v></c:pt></c:numCache></c:numRef></c:val></c:ser><c:axId val=\"1\"/>"
           "<c:axId val=\"2\"/></c:barChart><c:catAx><c:axId val=\"1\"/><c:scaling><c:orientation val=\"minMax\"/></c:scaling>"
           "<c:delete val=\"0\"/><c:axPos val=\"b\"/><c:crossAx val=\"2\"/></c:catAx><c:valAx><c:axId val=\"2\"/><c:scaling>"
           "<c:orientation val=\"minMax\"/></c:scaling><c:delete val=\"0\"/><c:axPos val=\"l\"/><c:crossAx val=\"1\"/></c:valAx>"
           "</c:plotArea></c:chart></c:chartSpace>";
}

std::string comments(const std::string& author, const std::string& text)
{
    return "<comments xmlns=\"" + kMainNs + "\"><authors><author>" + author + "</author></authors><commentList>"
           "<comment ref=\"A1\" authorId=\"0\"><text><t>" + text + "</t></text></comment></commentList></comments>";
}

std::string vml(long block)
{
    return "<xml xmlns:v=\"urn:schemas-microsoft-com:vml\" xmlns:o=\"urn:schemas-microsoft-com:office:office\" "
           "xmlns:x=\"urn:schemas-microsoft-com:office:excel\"><o:shapelayout v:ext=\"edit\"><o:idmap v:ext=\"edit\" data=\"" +
           std::to_string(block) + "\"/></o:shapelayout><v:shapetype id=\"_x0000_t202\" coordsize=\"21600,21600\" o:spt=\"202\" "
           "path=\"m,l,21600r21600,l21600,xe\"/><v:shape id=\"_x0000_s" + std::to_string(block * 1024 + 1) +
           "\" type=\"#_x0000_t202\" style=\"position:absolute;visibility:hidden\" fillcolor=\"#ffffe1\" o:insetmode=\"auto\">"
           "<x:ClientData ObjectType=\"Note\"><x:Row>0</x:Row><x:Column>0</x:Column></x:ClientData></v:shape></xml>";
}

std::string table(long id, const std::string& name, const std::string& ref)
{
    return "<table xmlns=\"" + kMainNs + "\" id=\"" + std::to_string(id) + "\" name=\"" + name + "\" displayName=\"" + name +
           "\" ref=\"" + ref + "\" totalsRowShown=\"0\"><autoFilter ref=\"" + ref + "\"/><tableColumns count=\"2\">"
           "<tableColumn id=\"1\" name=\"Item\"/><tableColumn id=\"2\" name=\"Amount\"/></tableColumns>"
           "<tableStyleInfo name=\"TableStyleMedium2\" showFirstColumn=\"0\" showLastColumn=\"0\" showRowStripes=\"1\" "
           "showColumnStripes=\"0\"/></table>";
}

// A 1904 workbook whose sheet "Data" carries a table, a comment, a chart (reading "Rates"),
// a link to itself, a workbook name and formulas that read "Rates" and the table.
t::BookSpec sourceBook()
{
    t::BookSpec s;
    t::SheetSpec data(
        "Data",
        "<sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c><c r=\"B1\"><f>Rates!B2*2</f><v>6</v></c>"
        "<c r=\"C1\"><f>SUM(Sales[Amount])</f><v>30</v></c><c r=\"D1\"><f>Total+1</f><v>8</v></c>"
        "<c r=\"E1\" s=\"1\"><v>1000</v></c><c r=\"F1\" s=\"2\"><v>0.5</v></c><c r=\"G1\"><v>1000</v></c></row>"
        "<row r=\"3\"><c r=\"A3\" t=\"inlineStr\"><is><t>Item</t></is></c><c r=\"B3\" t=\"inlineStr\"><is><t>Amount</t></is></c></row>"
        "<row r=\"4\"><c r=\"A4\"><v>1</v></c><c r=\"B4\"><v>10</v></c></row>"
        "<row r=\"5\"><c r=\"A5\"><v>2</v></c><c r=\"B5\"><v>20</v></c></row></sheetData>"
        "<hyperlinks><hyperlink ref=\"A1\" location=\"Data!B4\" display=\"here\"/></hyperlinks>"
        "<drawing r:id=\"rId1\"/><legacyDrawing r:id=\"rId2\"/><tableParts count=\"1\"><tablePart r:id=\"rId3\"/></tableParts>");
    data.rels = rel("rId1", "drawing", "../drawings/drawing1.xml") + rel("rId2", "vmlDrawing", "../drawings/vmlDrawing1.vml") +
                rel("rId3", "table", "../tables/table1.xml") + rel("rId4", "comments", "../comments1.xml");
    s.sheets = {data, {"Rates", "<sheetData><row r=\"1\"><c r=\"A1\"><v>7</v></c></row><row r=\"2\"><c r=\"B2\"><v>3</v></c>"
                                "</row><row r=\"3\"><c r=\"B3\"><v>4</v></c></row></sheetData>"}};
    s.cellXfs += "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>"
                 "<xf numFmtId=\"20\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"/>";
    s.workbookPr = "date1904=\"1\"";
    s.theme = t::officeTheme();
    s.definedNames = "<definedName name=\"Total\">Rates!$A$1</definedName>";
    s.extraParts = {{"xl/drawings/drawing1.xml", drawingWithChart()},
                    {"xl/drawings/_rels/drawing1.xml.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                                                                rel("rId1", "chart", "../charts/chart1.xml") + "</Relationships>"},
                    {"xl/charts/chart1.xml", chart("Data!$A$4:$A$5", "Rates!$B$2:$B$3")},
                    {"xl/drawings/vmlDrawing1.vml", vml(1)},
                    {"xl/comments1.xml", comments("Ann", "Note on A1")},
                    {"xl/tables/table1.xml", table(1, "Sales", "A3:B5")}};
    s.extraTypes = "<Default Extension=\"vml\" ContentType=\"" + kCt + "vmlDrawing\"/>" +
                   override("/xl/drawings/drawing1.xml", "drawing+xml") + override("/xl/charts/chart1.xml", "drawingml.chart+xml") +
                   override("/xl/comments1.xml", "spreadsheetml.comments+xml") +
                   override("/xl/tables/table1.xml", "spreadsheetml.table+xml");
    return s;
}

// A 1900 workbook with another theme, whose sheet "Main" has a table also called "Sales",
// a comment, a chart and a formula reading another workbook.
t::BookSpec destinationBook()
{
    t::BookSpec d;
    t::SheetSpec main("Main",
                      "<sheetData><row r=\"1\"><c r=\"A1\"><f>[1]Sheet1!A1</f><v>5</v></c></row>"
                      "<row r=\"3\"><c r=\"A3\" t=\"inlineStr\"><is><t>Item</t></is></c><c r=\"B3\" t=\"inlineStr\"><is><t>Amount</t>"
                      "</is></c></row><row r=\"4\"><c r=\"A4\"><v>9</v></c><c r=\"B4\"><v>90</v></c></row></sheetData>"
                      "<drawing r:id=\"rId1\"/><legacyDrawing r:id=\"rId2\"/><tableParts count=\"1\"><tablePart r:id=\"rId3\"/></tableParts>");
    main.rels = rel("rId1", "drawing", "../drawings/drawing1.xml") + rel("rId2", "vmlDrawing", "../drawings/vmlDrawing1.vml") +
                rel("rId3", "table", "../tables/table1.xml") + rel("rId4", "comments", "../comments1.xml");
    d.sheets = {main};
    d.theme = t::otherTheme();
    d.workbookRels = rel("rId100", "externalLink", "externalLinks/externalLink1.xml");
    d.externalReferences = "<externalReference r:id=\"rId100\"/>";
    d.extraParts = {{"xl/drawings/drawing1.xml", drawingWithChart()},
                    {"xl/drawings/_rels/drawing1.xml.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">" +
                                                                rel("rId1", "chart", "../charts/chart1.xml") + "</Relationships>"},
                    {"xl/charts/chart1.xml", chart("Main!$A$4:$A$4", "Main!$B$4:$B$4")},
                    {"xl/drawings/vmlDrawing1.vml", vml(1)},
                    {"xl/comments1.xml", comments("Bo", "Mine")},
                    {"xl/tables/table1.xml", table(1, "Sales", "A3:B4")},
                    {"xl/externalLinks/externalLink1.xml",
                     "<externalLink xmlns=\"" + kMainNs + "\"><externalBook xmlns:r=\"" + kRel + "\" r:id=\"rId1\"><sheetNames>"
                     "<sheetName val=\"Sheet1\"/></sheetNames><sheetDataSet><sheetData sheetId=\"0\"><row r=\"1\"><cell r=\"A1\">"
                     "<v>5</v></cell></row></sheetData></sheetDataSet></externalBook></externalLink>"},
                    {"xl/externalLinks/_rels/externalLink1.xml.rels",
                     "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"><Relationship Id=\"rId1\" "
                     "Type=\"" + kRel + "/externalLinkPath\" Target=\"other.xlsx\" TargetMode=\"External\"/></Relationships>"}};
    d.extraTypes = "<Default Extension=\"vml\" ContentType=\"" + kCt + "vmlDrawing\"/>" +
                   override("/xl/drawings/drawing1.xml", "drawing+xml") + override("/xl/charts/chart1.xml", "drawingml.chart+xml") +
                   override("/xl/comments1.xml", "spreadsheetml.comments+xml") +
                   override("/xl/tables/table1.xml", "spreadsheetml.table+xml") +
                   override("/xl/externalLinks/externalLink1.xml", "spreadsheetml.externalLink+xml");
    return d;
}

pugi::xml_document xml(const std::map<std::string, std::string>& parts, const std::string& name)
{
    pugi::xml_document doc;
    auto it = parts.find(name);
    EXPECT_NE(it, parts.end()) << name;
    if (it != parts.end()) {
        EXPECT_TRUE(doc.load_string(it->second.c_str())) << name;
    }
    return doc;
}

// The part the relationship `id` of `owner` points at, as a zip entry name.
std::string target(const std::map<std::string, std::string>& parts, const std::string& owner, const std::string& id)
{
    std::string dir = owner.substr(0, owner.rfind('/') + 1);
    auto rels = xml(parts, dir + "_rels/" + owner.substr(owner.rfind('/') + 1) + ".rels");
    std::string t = rels.select_node(("//*[@Id='" + id + "']").c_str()).node().attribute("Target").value();
    return fs::path(dir + t).lexically_normal().generic_string();
}

std::string cellFormula(const pugi::xml_document& sheet, const std::string& ref)
{
    return sheet.select_node(("//c[@r='" + ref + "']/f").c_str()).node().text().get();
}

std::string cellValue(const pugi::xml_document& sheet, const std::string& ref)
{
    return sheet.select_node(("//c[@r='" + ref + "']/v").c_str()).node().text().get();
}

// The copy's part: the sheet the workbook lists under `name`.
std::string sheetPart(const std::map<std::string, std::string>& parts, const std::string& name)
{
    auto wb = xml(parts, "xl/workbook.xml");
    std::string id = wb.select_node(("//sheet[@name=\"" + name + "\"]").c_str()).node().attribute("r:id").value();
    return target(parts, "xl/workbook.xml", id);
}

class Carry : public ::testing::Test {
protected:
    TempDir dir;
    fs::path src = dir / "source.xlsx";
    fs::path dst = dir / "destination.xlsx";
    SpreadsheetAutomationFactory factory = nativeAutomationFactory();

    void SetUp() override
    {
        t::writeWorkbook(src, sourceBook());
        t::writeWorkbook(dst, destinationBook());
    }

    void copy(const std::string& sheet, int count = 1)
    {
        auto server = factory();
        auto s = server->open(src);
        auto d = server->open(dst);
        for (int i = 0; i < count; ++i)
            server->copySheet(server->worksheet(s, sheet), Placement::After, server->sheet(d, server->sheetCount(d)));
        server->save(d);
        server->quit();
    }
};

} // namespace

TEST_F(Carry, TheDestinationKeepsEveryPartOfItsOwn)
{
    auto before = t::readZip(dst);
    copy("Data", 2);
    auto after = t::readZip(dst);
    for (const char* part : {"xl/worksheets/sheet1.xml", "xl/worksheets/_rels/sheet1.xml.rels", "xl/tables/table1.xml",
                             "xl/comments1.xml", "xl/drawings/vmlDrawing1.vml", "xl/drawings/drawing1.xml",
                             "xl/drawings/_rels/drawing1.xml.rels", "xl/charts/chart1.xml",
                             "xl/externalLinks/externalLink1.xml", "xl/externalLinks/_rels/externalLink1.xml.rels"})
        EXPECT_EQ(after.at(part), before.at(part)) << part;
    auto wb = xml(after, "xl/workbook.xml");
    EXPECT_EQ(wb.select_nodes("//externalReference").size(), 2u) << "one link of its own, one to the source";
    auto first = wb.select_node("//externalReference").node().attribute("r:id").value();
    EXPECT_EQ(target(after, "xl/workbook.xml", first), "xl/externalLinks/externalLink1.xml") << "its own link stays [1]";
}

TEST_F(Carry, TablesGetFreeNamesAndIdsAndTheCopysFormulasFollowThem)
{
    copy("Data", 2);
    auto parts = t::readZip(dst);
    std::set<std::string> names, ids;
    for (const std::string sheet : {"Data", "Data (2)"}) {
        std::string part = sheetPart(parts, sheet);
        auto s = xml(parts, part);
        std::string tablePart = target(parts, part, s.select_node("//tablePart").node().attribute("r:id").value());
        auto tbl = xml(parts, tablePart);
        std::string name = tbl.document_element().attribute("displayName").value();
        EXPECT_EQ(name, tbl.document_element().attribute("name").value());
        names.insert(name);
        ids.insert(tbl.document_element().attribute("id").value());
        EXPECT_EQ(cellFormula(s, "C1"), "SUM(" + name + "[Amount])") << sheet;
    }
    EXPECT_EQ(names, (std::set<std::string>{"Sales2", "Sales3"})) << "the destination has a Sales already";
    EXPECT_EQ(ids, (std::set<std::string>{"2", "3"}));
}

TEST_F(Carry, CommentShapesTakeABlockOfIdsNoOtherDrawingUses)
{
    copy("Data", 2);
    auto parts = t::readZip(dst);
    std::set<std::string> blocks = {"1"};
    for (const std::string sheet : {"Data", "Data (2)"}) {
        std::string part = sheetPart(parts, sheet);
        auto s = xml(parts, part);
        std::string vmlPart = target(parts, part, s.select_node("//legacyDrawing").node().attribute("r:id").value());
        const std::string& text = parts.at(vmlPart);
        std::smatch m;
        ASSERT_TRUE(std::regex_search(text, m, std::regex("data=\"([0-9]+)\"")));
        std::string block = m[1];
        EXPECT_TRUE(blocks.insert(block).second) << "block " << block << " is used twice";
        EXPECT_THAT(text, HasSubstr("_x0000_s" + std::to_string(std::stol(block) * 1024 + 1)));
        std::string commentsPart;
        auto rels = xml(parts, part.substr(0, part.rfind('/') + 1) + "_rels/" + part.substr(part.rfind('/') + 1) + ".rels");
        for (auto r : rels.select_nodes("//*[local-name()='Relationship']"))
            if (std::string_view(r.node().attribute("Type").value()).ends_with("/comments"))
                commentsPart = target(parts, part, r.node().attribute("Id").value());
        EXPECT_THAT(parts.at(commentsPart), HasSubstr("Note on A1"));
    }
}

TEST_F(Carry, FormulasReadingOtherSheetsReadTheSourceFileWithItsValuesCached)
{
    copy("Data");
    auto parts = t::readZip(dst);
    auto s = xml(parts, sheetPart(parts, "Data"));
    EXPECT_EQ(cellFormula(s, "B1"), "[2]Rates!B2*2");
    EXPECT_EQ(cellFormula(s, "D1"), "Total+1");
    auto wb = xml(parts, "xl/workbook.xml");
    auto total = wb.select_node("//definedName[@name='Total']").node();
    ASSERT_TRUE(total) << "the workbook name the copy's formulas use comes along";
    EXPECT_FALSE(total.attribute("localSheetId"));
    EXPECT_STREQ(total.text().get(), "[2]Rates!$A$1");
    std::string linkId = wb.select_nodes("//externalReference")[1].node().attribute("r:id").value();
    std::string link = target(parts, "xl/workbook.xml", linkId);
    auto model = xml(parts, link);
    EXPECT_TRUE(model.select_node("//sheetName[@val='Rates']"));
    EXPECT_STREQ(model.select_node("//cell[@r='B2']/v").node().text().get(), "3");
    EXPECT_STREQ(model.select_node("//cell[@r='A1']/v").node().text().get(), "7") << "the name's cell too";
    EXPECT_STREQ(model.select_node("//cell[@r='B3']/v").node().text().get(), "4") << "and the chart's";
    std::string bookId = model.select_node("//externalBook").node().attribute("r:id").value();
    std::string rels = link.substr(0, link.rfind('/') + 1) + "_rels/" + link.substr(link.rfind('/') + 1) + ".rels";
    auto relsDoc = xml(parts, rels);
    auto bookRel = relsDoc.select_node(("//*[@Id='" + bookId + "']").c_str()).node();
    EXPECT_EQ(std::string(bookRel.attribute("Target").value()), fileUrl(fs::absolute(src)));
    EXPECT_STREQ(bookRel.attribute("TargetMode").value(), "External");
    auto types = xml(parts, "[Content_Types].xml");
    EXPECT_TRUE(types.select_node(("//*[@PartName='/" + link + "']").c_str()));
}

TEST_F(Carry, ALinkThroughATemporaryCopyNamesTheFileTheSourceCameFrom)
{
    fs::path temp = dir / "app" / "(source)_myorvandels.xlsx";
    fs::create_directories(temp.parent_path());
    auto server = factory();
    auto s = server->open(src);
    server->saveAs(s, temp);
    server->close(s);
    s = server->open(temp);
    auto d = server->open(dst);
    server->copySheet(server->worksheet(s, "Data"), Placement::Before, server->sheet(d, 1));
    server->save(d);
    server->quit();
    fs::remove(temp);
    auto parts = t::readZip(dst);
    EXPECT_THAT(parts.at("xl/externalLinks/_rels/externalLink2.xml.rels"), HasSubstr(fileUrl(fs::absolute(src))));
    EXPECT_THAT(parts.at("xl/externalLinks/_rels/externalLink2.xml.rels"), ::testing::Not(HasSubstr("myorvandels")));
}

TEST(CarryOrigin, AFileWrittenAgainAtTheTemporaryPathIsItself)
{
    TempDir dir;
    fs::path a = dir / "a.xlsx", b = dir / "b.xlsx";
    t::writeWorkbook(a, sourceBook());
    t::writeWorkbook(b, sourceBook());
    EngineContext ctx{EngineOptions{}};
    ctx.setOrigin(b, a);
    EXPECT_EQ(ctx.originOf(b), fs::absolute(a).lexically_normal());
    t::BookSpec other = sourceBook();
    other.sheets.pop_back();
    t::writeWorkbook(b, other);
    EXPECT_EQ(ctx.originOf(b), fs::absolute(b).lexically_normal()) << "another file now lies there";
}

TEST_F(Carry, DatesKeepTheDayTheyShowAcrossDateSystems)
{
    copy("Data");
    auto parts = t::readZip(dst);
    auto s = xml(parts, sheetPart(parts, "Data"));
    EXPECT_EQ(cellValue(s, "E1"), "2462") << "a date: 1462 days later in the 1900 system";
    EXPECT_EQ(cellValue(s, "F1"), "0.5") << "a time of day is no date";
    EXPECT_EQ(cellValue(s, "G1"), "1000") << "a plain number";
    // Back from 1900 into 1904.
    fs::path back = dir / "back.xlsx";
    t::BookSpec b = sourceBook();
    b.sheets.pop_back();
    b.sheets[0].body = "<sheetData/>";
    b.sheets[0].rels.clear();
    t::writeWorkbook(back, b);
    auto server = factory();
    auto from = server->open(dst);
    auto to = server->open(back);
    server->copySheet(server->worksheet(from, "Data"), Placement::After, server->sheet(to, 1));
    server->save(to);
    server->quit();
    auto parts2 = t::readZip(back);
    auto s2 = xml(parts2, sheetPart(parts2, "Data (2)"));
    EXPECT_EQ(cellValue(s2, "E1"), "1000");
    // A 1900 date before 1904 has no day in the 1904 system: it keeps its number, and says so.
    fs::path early = dir / "early.xlsx";
    t::BookSpec e = sourceBook();
    e.workbookPr.clear();
    e.definedNames.clear();
    e.extraParts.clear();
    e.extraTypes.clear();
    e.sheets = {t::SheetSpec("Early", "<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><v>100</v></c>"
                                      "<c r=\"B1\" s=\"1\"><v>40000</v></c></row></sheetData>")};
    t::writeWorkbook(early, e);
    server = factory();
    from = server->open(early);
    to = server->open(back);
    server->copySheet(server->worksheet(from, "Early"), Placement::After, server->sheet(to, 1));
    EXPECT_THAT(server->takeCopyNotes(),
                ::testing::ElementsAre(HasSubstr("\"Early\": A1 holds a date before the first day of this workbook's "
                                                 "date system (1904), which it cannot show, so it keeps its number")));
    server->save(to);
    server->quit();
    auto parts3 = t::readZip(back);
    auto s3 = xml(parts3, sheetPart(parts3, "Early"));
    EXPECT_EQ(cellValue(s3, "A1"), "100");
    EXPECT_EQ(cellValue(s3, "B1"), "38538");
}

TEST_F(Carry, ChartsReadTheSourceAndKeepTheirColoursUnderAnotherTheme)
{
    copy("Data");
    auto parts = t::readZip(dst);
    std::string part = sheetPart(parts, "Data");
    auto s = xml(parts, part);
    std::string drawing = target(parts, part, s.select_node("//drawing").node().attribute("r:id").value());
    EXPECT_NE(drawing, "xl/drawings/drawing1.xml");
    std::string chartPart = target(parts, drawing, "rId1");
    EXPECT_NE(chartPart, "xl/charts/chart1.xml");
    auto c = xml(parts, chartPart);
    auto refs = c.select_nodes("//c:f");
    ASSERT_EQ(refs.size(), 2u);
    EXPECT_STREQ(refs[0].node().text().get(), "Data!$A$4:$A$5");
    EXPECT_STREQ(refs[1].node().text().get(), "[2]Rates!$B$2:$B$3");
    EXPECT_FALSE(c.select_node("//a:schemeClr"));
    auto colour = c.select_node("//a:srgbClr[@val='4472C4']/a:lumMod[@val='75000']");
    EXPECT_TRUE(colour) << "accent 1 of the source's theme, its shade kept";
    auto types = xml(parts, "[Content_Types].xml");
    EXPECT_TRUE(types.select_node(("//*[@PartName='/" + chartPart + "']").c_str()));
    EXPECT_TRUE(types.select_node(("//*[@PartName='/" + drawing + "']").c_str()));
}

TEST_F(Carry, OpenpyxlReadsTheResultAndSeesWhatTheSourceHad)
{
    copy("Data", 2);
    std::string out = t::python(R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import openpyxl
wb = openpyxl.load_workbook(sys.argv[1])
for name in ("Data", "Data (2)"):
    ws = wb[name]
    print(name, sorted(ws.tables.keys()), ws["A1"].comment.text if ws["A1"].comment else None, len(ws._charts),
          ws["A1"].hyperlink.location if ws["A1"].hyperlink else None)
print(sorted(wb.defined_names.definedName[i].name for i in range(len(wb.defined_names.definedName))))
)PY", {dst.string()});
    EXPECT_THAT(out, HasSubstr("Data ['Sales2'] Note on A1 1 Data!B4"));
    EXPECT_THAT(out, HasSubstr("Data (2) ['Sales3'] Note on A1 1 'Data (2)'!B4"));
    EXPECT_THAT(out, HasSubstr("['Total']"));
}

TEST_F(Carry, IntoItsOwnWorkbookReferencesStayInsideIt)
{
    auto server = factory();
    auto s = server->open(src);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(s, 2));
    server->save(s);
    server->quit();
    auto parts = t::readZip(src);
    auto sheet = xml(parts, sheetPart(parts, "Data (2)"));
    EXPECT_EQ(cellFormula(sheet, "B1"), "Rates!B2*2");
    EXPECT_EQ(cellFormula(sheet, "C1"), "SUM(Sales2[Amount])");
    EXPECT_EQ(cellValue(sheet, "E1"), "1000") << "the same date system";
    EXPECT_TRUE(sheet.select_node("//hyperlink[@location=\"'Data (2)'!B4\"]"));
    auto wb = xml(parts, "xl/workbook.xml");
    EXPECT_FALSE(wb.select_node("//externalReferences"));
    EXPECT_EQ(wb.select_nodes("//definedName[@name='Total']").size(), 1u);
    std::string part = sheetPart(parts, "Data (2)");
    std::string vmlPart = target(parts, part, sheet.select_node("//legacyDrawing").node().attribute("r:id").value());
    EXPECT_THAT(parts.at(vmlPart), HasSubstr("data=\"2\""));
    EXPECT_THAT(parts.at(vmlPart), HasSubstr("_x0000_s2049"));
}

TEST_F(Carry, ASheetCopiedIntoItsOwnWorkbookFirstStillBringsItsNamesElsewhere)
{
    // A sheet without tables, so that within its own workbook no formula needs reading;
    // one factory, so the later copies find what the first one learnt about the sheet.
    t::BookSpec b = sourceBook();
    b.sheets[0].body = "<sheetData><row r=\"1\"><c r=\"D1\"><f>Total+1</f><v>8</v></c></row></sheetData>";
    b.sheets[0].rels.clear();
    t::writeWorkbook(src, b);
    fs::path second = dir / "second.xlsx";
    t::writeWorkbook(second, destinationBook());
    auto server = factory();
    auto s = server->open(src);
    server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(s, 2));
    server->close(s);
    for (const fs::path& into : {dst, second}) {
        s = server->open(src);
        auto d = server->open(into);
        server->copySheet(server->worksheet(s, "Data"), Placement::After, server->sheet(d, 1));
        server->save(d);
        server->close(d);
        server->close(s);
    }
    server->quit();
    for (const fs::path& into : {dst, second}) {
        auto parts = t::readZip(into);
        auto wb = xml(parts, "xl/workbook.xml");
        EXPECT_STREQ(wb.select_node("//definedName[@name='Total']").node().text().get(), "[2]Rates!$A$1") << into;
    }
}

TEST_F(Carry, ANameTheDestinationGivesAnotherMeaningStaysTheSourcesForTheCopy)
{
    t::BookSpec d = destinationBook();
    d.definedNames = "<definedName name=\"Total\">Main!$B$4</definedName>";
    t::writeWorkbook(dst, d);
    copy("Data");
    auto parts = t::readZip(dst);
    auto wb = xml(parts, "xl/workbook.xml");
    EXPECT_STREQ(wb.select_node("//definedName[@name='Total'][not(@localSheetId)]").node().text().get(), "Main!$B$4");
    auto scoped = wb.select_node("//definedName[@name='Total'][@localSheetId='1']").node();
    ASSERT_TRUE(scoped) << "the copy's formulas keep reading the source's Total";
    EXPECT_STREQ(scoped.text().get(), "[2]Rates!$A$1");
}

TEST_F(Carry, ANameTheSourceDefinesTwiceForTheSheetComesOnceAndTheReportSaysSo)
{
    t::BookSpec s = sourceBook();
    s.definedNames += "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\" hidden=\"1\">Data!$A$3:$B$5</definedName>"
                      "<definedName name=\"_xlnm._FilterDatabase\" localSheetId=\"0\">Data!$A$3:$B$4</definedName>";
    t::writeWorkbook(src, s);
    auto server = factory();
    auto d = server->open(dst);
    server->copySheet(server->worksheet(server->open(src), "Data"), Placement::After, server->sheet(d, 1));
    EXPECT_THAT(server->takeCopyNotes(), ::testing::Contains(HasSubstr("\"Data\": the source defines the name "
                                                                      "\"_xlnm._FilterDatabase\" more than once")));
    server->save(d);
    server->quit();
    auto parts = t::readZip(dst);
    auto names = xml(parts, "xl/workbook.xml").select_nodes("//definedName[@name='_xlnm._FilterDatabase']");
    ASSERT_EQ(names.size(), 1u);
    EXPECT_STREQ(names.first().node().text().get(), "Data!$A$3:$B$5");
}

TEST_F(Carry, ANameOfNoDefinitionRefersToNothingInTheCopyAndTheReportSaysSo)
{
    t::BookSpec s = sourceBook();
    s.definedNames = "<definedName name=\"Total\"></definedName><definedName name=\"Blank\" localSheetId=\"0\"> </definedName>";
    t::writeWorkbook(src, s);
    auto server = factory();
    auto d = server->open(dst);
    server->copySheet(server->worksheet(server->open(src), "Data"), Placement::After, server->sheet(d, 1));
    const auto notes = server->takeCopyNotes();
    for (const char* name : {"Total", "Blank"})
        EXPECT_THAT(notes, ::testing::Contains(HasSubstr(std::string("\"Data\": the source gives the name \"") + name +
                                                         "\" no definition")));
    server->save(d);
    server->quit();
    auto wb = xml(t::readZip(dst), "xl/workbook.xml");
    EXPECT_STREQ(wb.select_node("//definedName[@name='Total']").node().text().get(), "#REF!");
    EXPECT_STREQ(wb.select_node("//definedName[@name='Blank'][@localSheetId='1']").node().text().get(), "#REF!");
}

// Copies of corpus sheets into a new workbook of one empty sheet, "Target".
struct CarryCorpus : ::testing::Test {
    std::optional<fs::path> shared = tessaro::test::sharedDir();
    TempDir dir;
    fs::path dst = dir / "d.xlsx";
    std::unique_ptr<SpreadsheetAutomation> server = nativeAutomationFactory()();

    void SetUp() override
    {
        if (!shared)
            GTEST_SKIP() << "no shared corpus";
        t::BookSpec d;
        d.sheets = {{"Target", "<sheetData/>"}};
        t::writeWorkbook(dst, d);
    }
};

TEST_F(CarryCorpus, ThreadedCommentsBringTheirPeople)
{
    auto s = server->open(*shared / "corpus" / "sheetjs_threaded_comments.xlsx");
    auto book = server->open(dst);
    for (int i = 0; i < 2; ++i)
        server->copySheet(server->worksheet(s, "Sheet1"), Placement::After, server->sheet(book, server->sheetCount(book)));
    server->save(book);
    server->quit();
    auto parts = t::readZip(dst);
    auto wb = xml(parts, "xl/_rels/workbook.xml.rels");
    auto personRel = wb.select_node("//*[contains(@Type, '/person')]").node();
    ASSERT_TRUE(personRel);
    auto persons = xml(parts, "xl/" + std::string(personRel.attribute("Target").value()));
    EXPECT_EQ(persons.select_nodes("//*[local-name()='person']").size(), 2u);
    std::set<std::string> ids;
    std::set<std::string> people;
    for (auto p : persons.select_nodes("//*[local-name()='person']"))
        people.insert(p.node().attribute("id").value());
    int threads = 0;
    for (const auto& [name, content] : parts) {
        if (name.rfind("xl/threadedComments/", 0) != 0)
            continue;
        ++threads;
        pugi::xml_document doc;
        doc.load_string(content.c_str());
        for (auto c : doc.select_nodes("//*[local-name()='threadedComment']")) {
            EXPECT_TRUE(ids.insert(c.node().attribute("id").value()).second) << "a thread id is used twice";
            EXPECT_TRUE(people.count(c.node().attribute("personId").value()));
        }
    }
    EXPECT_EQ(threads, 2);
}

TEST_F(CarryCorpus, PivotTablesGetTheirOwnCacheReadingTheSourceFile)
{
    fs::path source = *shared / "corpus" / "poi_pivot_from_table.xlsx";
    auto s = server->open(source);
    auto book = server->open(dst);
    server->copySheet(server->worksheet(s, "Tabelle2"), Placement::After, server->sheet(book, 1));
    server->save(book);
    server->quit();
    auto parts = t::readZip(dst);
    auto wb = xml(parts, "xl/workbook.xml");
    auto cache = wb.select_node("//pivotCache").node();
    ASSERT_TRUE(cache);
    std::string part = sheetPart(parts, "Tabelle2");
    auto rels = xml(parts, part.substr(0, part.rfind('/') + 1) + "_rels/" + part.substr(part.rfind('/') + 1) + ".rels");
    auto pivotRel = rels.select_node("//*[contains(@Type, '/pivotTable')]").node();
    ASSERT_TRUE(pivotRel);
    std::string pivotPart = target(parts, part, pivotRel.attribute("Id").value());
    auto pivot = xml(parts, pivotPart);
    EXPECT_STREQ(pivot.document_element().attribute("cacheId").value(), cache.attribute("cacheId").value());
    std::string cachePart = target(parts, "xl/workbook.xml", cache.attribute("r:id").value());
    EXPECT_EQ(target(parts, pivotPart, "rId1"), cachePart) << "the pivot table and the workbook name the same cache";
    auto def = xml(parts, cachePart);
    auto source_ = def.select_node("//*[local-name()='worksheetSource']").node();
    std::string id = source_.attribute("r:id").value();
    ASSERT_FALSE(id.empty()) << "its data stay in the source workbook";
    std::string defRels = cachePart.substr(0, cachePart.rfind('/') + 1) + "_rels/" + cachePart.substr(cachePart.rfind('/') + 1) + ".rels";
    EXPECT_THAT(parts.at(defRels), HasSubstr(fileUrl(source)));
    std::string out = t::python("import sys, openpyxl\nwb = openpyxl.load_workbook(sys.argv[1])\n"
                                "print(len(wb['Tabelle2']._pivots))\n", {dst.string()});
    EXPECT_THAT(out, HasSubstr("1"));
}

TEST_F(CarryCorpus, DynamicArraysKeepTheirCellMetadata)
{
    auto s = server->open(*shared / "corpus" / "sheetjs_dynamic_arrays_2019.xlsx");
    auto book = server->open(dst);
    server->copySheet(server->worksheet(s, "Sheet1"), Placement::After, server->sheet(book, 1));
    server->save(book);
    server->quit();
    auto parts = t::readZip(dst);
    auto sheet = xml(parts, sheetPart(parts, "Sheet1"));
    EXPECT_TRUE(sheet.select_node("//c[@r='B9'][@cm='1']")) << "a dynamic array formula stays one";
    EXPECT_FALSE(sheet.select_node("//c[@vm]")) << "rich values of another workbook are left out";
    auto wbRels = xml(parts, "xl/_rels/workbook.xml.rels");
    auto meta = wbRels.select_node("//*[contains(@Type, '/sheetMetadata')]").node();
    ASSERT_TRUE(meta);
    auto m = xml(parts, "xl/" + std::string(meta.attribute("Target").value()));
    EXPECT_TRUE(m.select_node("//*[local-name()='metadataType'][@name='XLDAPR']"));
    EXPECT_TRUE(m.select_node("//*[local-name()='cellMetadata']/*[local-name()='bk']/*[local-name()='rc'][@t='1'][@v='0']"));
}

TEST_F(CarryCorpus, AChartsheetCopiesWithItsChart)
{
    auto s = server->open(*shared / "corpus" / "rxw_chartsheets_bar.xlsx");
    auto book = server->open(dst);
    server->copySheet(server->worksheet(s, "Chart1"), Placement::After, server->sheet(book, 1));
    EXPECT_EQ(server->worksheetCount(book), 1);
    EXPECT_EQ(server->sheetCount(book), 2);
    server->save(book);
    server->quit();
    auto parts = t::readZip(dst);
    std::string part = sheetPart(parts, "Chart1");
    EXPECT_EQ(part.rfind("xl/chartsheets/", 0), 0u);
    auto cs = xml(parts, part);
    std::string drawing = target(parts, part, cs.select_node("//drawing").node().attribute("r:id").value());
    std::string chartPart = target(parts, drawing, "rId1");
    auto c = xml(parts, chartPart);
    EXPECT_THAT(std::string(c.select_node("//c:f").node().text().get()), HasSubstr("[1]Sheet1!"));
    auto types = xml(parts, "[Content_Types].xml");
    EXPECT_STREQ(types.select_node(("//*[@PartName='/" + part + "']").c_str()).node().attribute("ContentType").value(),
                 "application/vnd.openxmlformats-officedocument.spreadsheetml.chartsheet+xml");
    auto app = xml(parts, "docProps/app.xml");
    EXPECT_TRUE(app.select_node("//vt:lpstr[.='Charts']"));
    EXPECT_TRUE(app.select_node("//vt:i4[.='1']"));
}

namespace {

// The workbook as the strict class spells it: every namespace and relationship type under
// purl.oclc.org, and the workbook saying which class it is.
t::Parts strictly(t::Parts parts)
{
    static const std::pair<std::string, std::string> kSpelling[] = {
        {"http://schemas.openxmlformats.org/spreadsheetml/2006/main", "http://purl.oclc.org/ooxml/spreadsheetml/main"},
        {"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties",
         "http://purl.oclc.org/ooxml/officeDocument/relationships/extendedProperties"},
        {"http://schemas.openxmlformats.org/officeDocument/2006/relationships",
         "http://purl.oclc.org/ooxml/officeDocument/relationships"},
        {"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties",
         "http://purl.oclc.org/ooxml/officeDocument/extendedProperties"},
        {"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes",
         "http://purl.oclc.org/ooxml/officeDocument/docPropsVTypes"},
        {"http://schemas.openxmlformats.org/drawingml/2006/", "http://purl.oclc.org/ooxml/drawingml/"},
    };
    for (auto& [name, text] : parts) {
        for (const auto& [from, to] : kSpelling)
            for (std::size_t at; (at = text.find(from)) != std::string::npos;)
                text.replace(at, from.size(), to);
        if (name == "xl/workbook.xml")
            text = std::regex_replace(text, std::regex("<(\\w+:)?workbook "), "$& conformance=\"strict\" ",
                                      std::regex_constants::format_first_only);
    }
    return parts;
}

// Namespaces and relationship types in the package's XML that belong to the other class.
std::vector<std::string> foreignUris(const std::map<std::string, std::string>& parts, bool strict)
{
    static const std::regex transitional(R"(http://schemas\.openxmlformats\.org/(spreadsheetml|drawingml|officeDocument)/[^"']*)");
    static const std::regex strictUri(R"(http://purl\.oclc\.org/ooxml/[^"']*)");
    std::vector<std::string> found;
    for (const auto& [name, text] : parts) {
        if (!name.ends_with(".xml") && !name.ends_with(".rels"))
            continue;
        const std::regex& foreign = strict ? transitional : strictUri;
        for (std::sregex_iterator it(text.begin(), text.end(), foreign), end; it != end; ++it)
            found.push_back(name + ": " + it->str());
    }
    return found;
}

class CarryStrict : public Carry {
protected:
    void write(const fs::path& file, const t::BookSpec& spec, bool strict)
    {
        t::writeZip(file, strict ? strictly(t::buildWorkbook(spec)) : t::buildWorkbook(spec));
    }

    // What the engine reads back of the copy "Data": its sheets, and what the copy's sheet
    // points at - its table, comment and the chart's references.
    std::string readBack()
    {
        auto server = factory();
        auto d = server->open(dst);
        std::string seen;
        for (int i = 1; i <= server->worksheetCount(d); ++i)
            seen += server->worksheetName(d, i) + ";";
        server->quit();
        auto parts = t::readZip(dst);
        std::string part = sheetPart(parts, "Data");
        auto s = xml(parts, part);
        seen += " B1=" + cellFormula(s, "B1") + " E1=" + cellValue(s, "E1");
        seen += " table=" + std::string(xml(parts, target(parts, part, s.select_node("//tablePart").node().attribute("r:id").value()))
                                            .document_element().attribute("name").value());
        std::string comments;
        for (auto r : xml(parts, part.substr(0, part.rfind('/') + 1) + "_rels/" + part.substr(part.rfind('/') + 1) + ".rels")
                          .select_nodes("//Relationship"))
            if (std::string_view(r.node().attribute("Type").value()).ends_with("/comments"))
                comments = target(parts, part, r.node().attribute("Id").value());
        seen += " comment=" + std::string(xml(parts, comments).select_node("//t").node().text().get());
        std::string drawing = target(parts, part, s.select_node("//drawing").node().attribute("r:id").value());
        for (auto f : xml(parts, target(parts, drawing, "rId1")).select_nodes("//c:f"))
            seen += std::string(" chart=") + f.node().text().get();
        return seen;
    }
};

constexpr const char* kCopySeen =
    "Main;Data; B1=[2]Rates!B2*2 E1=2462 table=Sales2 comment=Note on A1 chart=Data!$A$4:$A$5 chart=[2]Rates!$B$2:$B$3";

} // namespace

// The cell the copy's formula reads in "Rates" holds a date as ISO 8601 text, as strict
// workbooks may write dates; the link to the source caches it as that date.
TEST_F(CarryStrict, AStrictSourceGoesIntoATransitionalWorkbookInTransitionalMarkup)
{
    t::BookSpec source = sourceBook();
    std::string& rates = source.sheets[1].body;
    const std::string number = "<c r=\"B2\"><v>3</v>";
    rates.replace(rates.find(number), number.size(), "<c r=\"B2\" t=\"d\"><v>2024-03-01T00:00:00</v>");
    write(src, source, true);
    copy("Data");
    auto parts = t::readZip(dst);
    EXPECT_THAT(foreignUris(parts, false), ::testing::IsEmpty());
    EXPECT_THAT(parts.at("xl/externalLinks/externalLink2.xml"),
                HasSubstr("<cell r=\"B2\" t=\"d\"><v>2024-03-01T00:00:00</v></cell>"));
    EXPECT_EQ(readBack(), kCopySeen);
    std::string out = t::python(R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import openpyxl
ws = openpyxl.load_workbook(sys.argv[1])["Data"]
print(sorted(ws.tables.keys()), ws["A1"].comment.text, len(ws._charts), ws["A1"].hyperlink.location, ws["B4"].value)
)PY", {dst.string()});
    EXPECT_THAT(out, HasSubstr("['Sales2'] Note on A1 1 Data!B4 10"));
}

TEST_F(CarryStrict, AStrictWorkbookTakesATransitionalSheetInStrictMarkup)
{
    write(dst, destinationBook(), true);
    copy("Data");
    auto parts = t::readZip(dst);
    EXPECT_THAT(foreignUris(parts, true), ::testing::IsEmpty());
    EXPECT_THAT(parts.at("xl/workbook.xml"), HasSubstr("conformance=\"strict\""));
    EXPECT_EQ(readBack(), kCopySeen);
}

// Both strict, copied twice; LibreOffice, which reads the strict class, opens the result.
TEST_F(CarryStrict, StrictIntoStrictStaysStrictAndOpensInLibreOffice)
{
    write(src, sourceBook(), true);
    write(dst, destinationBook(), true);
    copy("Data", 2);
    EXPECT_THAT(foreignUris(t::readZip(dst), true), ::testing::IsEmpty());
    EXPECT_EQ(readBack().substr(0, 19), "Main;Data;Data (2);");
    if (!fs::exists("/usr/lib/libreoffice/program/soffice"))
        GTEST_SKIP() << "LibreOffice is not installed";
    std::string out = t::python(R"PY(
import sys
sys.path.insert(0, sys.argv[2])
import office_books
with office_books.Office() as office:
    doc = office.load(sys.argv[1])
    for name in ("Data", "Data (2)"):
        sheet = doc.Sheets.getByName(name)
        print(name, sheet.getCellRangeByName("B4").getValue(), sheet.getCellRangeByName("B1").getFormula(),
              sheet.getCellRangeByName("A3").getString(), sheet.DrawPage.Count)
    doc.close(True)
)PY", {dst.string(), (fs::path(TESSARO_SOURCE_DIR) / "tests" / "support").string()});
    EXPECT_THAT(out, HasSubstr("Data 10.0 "));
    EXPECT_THAT(out, HasSubstr("Data (2) 10.0 "));
    EXPECT_THAT(out, HasSubstr(" Item "));
}
