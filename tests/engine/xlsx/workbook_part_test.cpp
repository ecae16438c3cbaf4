// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "engine/sml/workbook_part.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;

namespace {

const char* kRels =
    "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
    "<Relationship Id=\"rId1\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId2\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet\" Target=\"chartsheets/sheet1.xml\"/>"
    "<Relationship Id=\"rId3\" Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet\" Target=\"worksheets/sheet3.xml\"/>"
    "</Relationships>";

std::string workbook(const std::string& views, const std::string& names)
{
    return "<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
           "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\">"
           "<bookViews>" + views + "</bookViews><sheets>"
           "<sheet name=\"One\" sheetId=\"4\" r:id=\"rId1\"/><sheet name=\"Chart\" sheetId=\"9\" r:id=\"rId2\"/>"
           "<sheet name=\"Three\" sheetId=\"2\" state=\"hidden\" r:id=\"rId3\"/></sheets>"
           "<definedNames>" + names + "</definedNames><calcPr calcId=\"1\"/><extLst><ext uri=\"k\"/></extLst></workbook>";
}

WorkbookPart load(const std::string& xml)
{
    Relationships rels("/xl/workbook.xml");
    rels.load(kRels, "f");
    WorkbookPart w;
    w.load(xml, "book.xlsx", "xl/workbook.xml", rels, [](const std::string&) { return true; });
    return w;
}

pugi::xml_document reparse(const WorkbookPart& w)
{
    pugi::xml_document d;
    d.load_string(w.serialize().c_str());
    return d;
}

} // namespace

TEST(WorkbookPart, ListsSheetsWithKindStateAndPart)
{
    auto w = load(workbook("<workbookView/>", ""));
    ASSERT_EQ(w.sheets().size(), 3u);
    EXPECT_EQ(w.sheets()[1].kind, SheetKind::Chartsheet);
    EXPECT_EQ(w.sheets()[2].state, "hidden");
    EXPECT_EQ(w.sheets()[2].part, "/xl/worksheets/sheet3.xml");
    EXPECT_EQ(w.windowCount(), 1u);
}

TEST(WorkbookPart, FindsRelationshipIdsDeclaredOnEachSheet)
{
    auto w = load("<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"><sheets>"
                  "<sheet xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" name=\"One\" sheetId=\"1\" r:id=\"rId1\"/>"
                  "<sheet xmlns:rel=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" name=\"Three\" sheetId=\"2\" rel:id=\"rId3\"/>"
                  "</sheets></workbook>");
    ASSERT_EQ(w.sheets().size(), 2u);
    EXPECT_EQ(w.sheets()[1].part, "/xl/worksheets/sheet3.xml");
    w.insertSheet(2, "New", "rId9", "/p.xml", SheetKind::Worksheet, "visible");
    auto d = reparse(w);
    auto added = d.first_element_by_path("workbook/sheets").last_child();
    EXPECT_STREQ(added.attribute("r:id").value(), "rId9");
    EXPECT_STREQ(d.document_element().attribute("xmlns:r").value(),
                 "http://schemas.openxmlformats.org/officeDocument/2006/relationships");
}

TEST(WorkbookPart, InsertingShiftsScopedNamesAndKeepsTheActiveTab)
{
    auto w = load(workbook("<workbookView activeTab=\"2\" firstSheet=\"1\"/>",
                           "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"0\">One!$A$1</definedName>"
                           "<definedName name=\"_xlnm.Print_Area\" localSheetId=\"2\">Three!$A$1</definedName>"
                           "<definedName name=\"Global\">One!$B$2</definedName>"));
    std::uint32_t h = w.insertSheet(1, "New", "rId9", "/xl/worksheets/sheet9.xml", SheetKind::Worksheet, "visible");
    EXPECT_EQ(w.indexOf(h), 1);
    auto d = reparse(w);
    auto wbv = d.first_element_by_path("workbook/bookViews/workbookView");
    EXPECT_EQ(std::string(wbv.attribute("activeTab").value()), "3");
    EXPECT_EQ(std::string(wbv.attribute("firstSheet").value()), "1") << "the new visible sheet takes that place";
    std::vector<std::string> ids;
    for (auto n : d.first_element_by_path("workbook/definedNames").children("definedName"))
        ids.push_back(n.attribute("localSheetId").value());
    EXPECT_EQ(ids, (std::vector<std::string>{"0", "3", ""}));
    auto added = d.first_element_by_path("workbook/sheets").child("sheet").next_sibling();
    EXPECT_EQ(std::string(added.attribute("name").value()), "New");
    EXPECT_EQ(std::string(added.attribute("sheetId").value()), "10") << "one more than the largest id";
    EXPECT_EQ(std::string(added.attribute("r:id").value()), "rId9");
    EXPECT_NE(w.serialize().find("<extLst><ext uri=\"k\"/></extLst>"), std::string::npos);
}

TEST(WorkbookPart, InsertingInFrontMovesAnImplicitActiveTab)
{
    auto w = load(workbook("<workbookView/>", ""));
    w.insertSheet(0, "First", "rId9", "/p.xml", SheetKind::Worksheet, "visible");
    auto d = reparse(w);
    EXPECT_EQ(std::string(d.first_element_by_path("workbook/bookViews/workbookView").attribute("activeTab").value()), "1");
}

TEST(WorkbookPart, AHiddenSheetInFrontDoesNotBecomeTheFirstShownTab)
{
    auto w = load(workbook("<workbookView firstSheet=\"1\" activeTab=\"1\"/>", ""));
    w.insertSheet(1, "Secret", "rId9", "/p.xml", SheetKind::Worksheet, "hidden");
    auto d = reparse(w);
    auto v = d.first_element_by_path("workbook/bookViews/workbookView");
    EXPECT_EQ(std::string(v.attribute("firstSheet").value()), "2");
    EXPECT_EQ(std::string(v.attribute("activeTab").value()), "2");
    EXPECT_EQ(std::string(d.first_element_by_path("workbook/sheets").child("sheet").next_sibling().attribute("state").value()),
              "hidden");
}

TEST(WorkbookPart, ScopedNamesAreAddedInSortedPlace)
{
    auto w = load(workbook("<workbookView/>", "<definedName name=\"Alpha\">1</definedName><definedName name=\"Zeta\">2</definedName>"));
    pugi::xml_document src;
    src.load_string("<definedName name=\"_xlnm.Print_Titles\" localSheetId=\"7\" hidden=\"0\">old</definedName>");
    w.addScopedName(src.first_child(), "", 3, "'New'!$1:$1");
    auto d = reparse(w);
    std::vector<std::string> order;
    for (auto n : d.first_element_by_path("workbook/definedNames").children("definedName"))
        order.push_back(n.attribute("name").value());
    EXPECT_EQ(order, (std::vector<std::string>{"_xlnm.Print_Titles", "Alpha", "Zeta"}));
    auto added = d.first_element_by_path("workbook/definedNames").first_child();
    EXPECT_EQ(std::string(added.attribute("localSheetId").value()), "3");
    EXPECT_EQ(std::string(added.attribute("hidden").value()), "0");
    EXPECT_EQ(std::string(added.text().get()), "'New'!$1:$1");
}

TEST(WorkbookPart, RefusesBrokenWorkbooks)
{
    EXPECT_THROW(load("<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>"), EngineError);
    EXPECT_THROW(load("<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                      "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\"><sheets>"
                      "<sheet name=\"A\" sheetId=\"1\" r:id=\"rId1\"/><sheet name=\"a\" sheetId=\"2\" r:id=\"rId3\"/></sheets></workbook>"),
                 EngineError)
        << "two sheets with the same name";
    // Strict markup is translated by the package; a workbook part still in it came from a
    // package that does not say it is strict.
    try {
        load("<workbook xmlns=\"http://purl.oclc.org/ooxml/spreadsheetml/main\"><sheets/></workbook>");
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::WorkbookInvalid);
    }
}

TEST(AppProperties, AddsTheWorksheetTitleAndCount)
{
    AppProperties a;
    a.load("<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
           "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\"><HeadingPairs>"
           "<vt:vector size=\"4\" baseType=\"variant\"><vt:variant><vt:lpstr>Arbeitsblätter</vt:lpstr></vt:variant>"
           "<vt:variant><vt:i4>2</vt:i4></vt:variant><vt:variant><vt:lpstr>Benannte Bereiche</vt:lpstr></vt:variant>"
           "<vt:variant><vt:i4>1</vt:i4></vt:variant></vt:vector></HeadingPairs><TitlesOfParts>"
           "<vt:vector size=\"3\" baseType=\"lpstr\"><vt:lpstr>A</vt:lpstr><vt:lpstr>B</vt:lpstr><vt:lpstr>A!Druckbereich</vt:lpstr>"
           "</vt:vector></TitlesOfParts></Properties>",
           "f", "docProps/app.xml");
    ASSERT_TRUE(a.addSheet("Worksheets", {"A", "B"}, 2, "C"));
    pugi::xml_document d;
    d.load_string(a.serialize().c_str());
    auto titles = d.first_element_by_path("Properties/TitlesOfParts/vt:vector");
    std::vector<std::string> t;
    for (auto n : titles.children())
        t.push_back(n.text().get());
    EXPECT_EQ(t, (std::vector<std::string>{"A", "B", "C", "A!Druckbereich"}));
    EXPECT_EQ(std::string(titles.attribute("size").value()), "4");
    auto counts = d.first_element_by_path("Properties/HeadingPairs/vt:vector");
    EXPECT_EQ(std::string(counts.child("vt:variant").next_sibling().child("vt:i4").text().get()), "3");
}

TEST(AppProperties, LeavesListsItCannotMatchAlone)
{
    AppProperties a;
    std::string xml = "<Properties xmlns=\"http://schemas.openxmlformats.org/officeDocument/2006/extended-properties\" "
                      "xmlns:vt=\"http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes\"><HeadingPairs>"
                      "<vt:vector size=\"2\" baseType=\"variant\"><vt:variant><vt:lpstr>Sheets</vt:lpstr></vt:variant>"
                      "<vt:variant><vt:i4>1</vt:i4></vt:variant></vt:vector></HeadingPairs><TitlesOfParts>"
                      "<vt:vector size=\"1\" baseType=\"lpstr\"><vt:lpstr>Stale</vt:lpstr></vt:vector></TitlesOfParts></Properties>";
    a.load(xml, "f", "docProps/app.xml");
    EXPECT_FALSE(a.addSheet("Worksheets", {"A", "B"}, 0, "C"));
    EXPECT_FALSE(a.modified());
}
