// SPDX-License-Identifier: MIT
// Content types, relationships and the package that holds them.
#include "engine/opc/content_types.h"
#include "platform/engine_error.h"
#include "engine/opc/package.h"
#include "engine/opc/relationships.h"

#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;
using tessaro::test::TempDir;
namespace t = tessaro::xlsx::test;

namespace {
const char* kTypes =
    "<?xml version=\"1.0\"?><Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
    "<Default Extension=\"XML\" ContentType=\"application/xml\"/>"
    "<Default Extension=\"png\" ContentType=\"image/png\"/>"
    "<Override PartName=\"/xl/Workbook.xml\" ContentType=\"main\"/></Types>";
}

TEST(ContentTypes, OverridesWinAndNamesIgnoreCase)
{
    ContentTypes ct;
    ct.load(kTypes, "f");
    EXPECT_EQ(ct.typeOf("/xl/workbook.xml").value(), "main");
    EXPECT_EQ(ct.typeOf("/xl/other.xml").value(), "application/xml");
    EXPECT_EQ(ct.typeOf("/media/a.PNG").value(), "image/png");
    EXPECT_FALSE(ct.typeOf("/xl/noext").has_value());
}

TEST(ContentTypes, AddsAndRemovesOverridesKeepingTheRest)
{
    ContentTypes ct;
    ct.load(kTypes, "f");
    ct.setOverride("/xl/worksheets/sheet9.xml", "sheet");
    ct.removeOverride("/XL/workbook.xml");
    EXPECT_TRUE(ct.modified());
    ContentTypes back;
    back.load(ct.serialize(), "f");
    EXPECT_EQ(back.typeOf("/xl/worksheets/sheet9.xml").value(), "sheet");
    EXPECT_EQ(back.typeOf("/xl/workbook.xml").value(), "application/xml");
    EXPECT_EQ(back.typeOf("/a.png").value(), "image/png");
}

TEST(Relationships, ResolvesRelativeAbsoluteAndEscapedTargets)
{
    Relationships r("/xl/workbook.xml");
    r.load("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"a\" Type=\"t\" Target=\"worksheets/sheet1.xml\"/>"
           "<Relationship Id=\"b\" Type=\"t\" Target=\"/xl/worksheets/sheet2.xml\"/>"
           "<Relationship Id=\"c\" Type=\"t\" Target=\"../customXml/item1.xml\"/>"
           "<Relationship Id=\"d\" Type=\"t\" Target=\"worksheets/my%20sheet.xml\"/>"
           "<Relationship Id=\"e\" Type=\"h\" Target=\"http://example.com/\" TargetMode=\"External\"/>"
           "</Relationships>",
           "f");
    EXPECT_EQ(r.partName(), "/xl/_rels/workbook.xml.rels");
    EXPECT_EQ(r.resolve(*r.byId("a")), "/xl/worksheets/sheet1.xml");
    EXPECT_EQ(r.resolve(*r.byId("b")), "/xl/worksheets/sheet2.xml");
    EXPECT_EQ(r.resolve(*r.byId("c")), "/customXml/item1.xml");
    EXPECT_EQ(r.resolve(*r.byId("d")), "/xl/worksheets/my sheet.xml");
    EXPECT_TRUE(r.byId("e")->external);
    EXPECT_EQ(r.firstOfType("h"), nullptr) << "external targets are not parts";
    EXPECT_EQ(r.relativeTarget("/xl/worksheets/sheet5.xml"), "worksheets/sheet5.xml");
}

TEST(Relationships, NewIdsNeverCollide)
{
    Relationships r("/xl/workbook.xml");
    r.load("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\">"
           "<Relationship Id=\"rId7\" Type=\"t\" Target=\"a.xml\"/><Relationship Id=\"rId2\" Type=\"t\" Target=\"b.xml\"/>"
           "</Relationships>",
           "f");
    std::string a = r.add("t", "c.xml");
    std::string b = r.add("t", "d.xml");
    EXPECT_EQ(a, "rId8");
    EXPECT_EQ(b, "rId9");
    r.remove("rId2");
    EXPECT_EQ(r.byId("rId2"), nullptr);
    Relationships back("/xl/workbook.xml");
    back.load(r.serialize(), "f");
    EXPECT_EQ(back.all().size(), 3u);
    EXPECT_FALSE(r.addExternal("rId7", "h", "x"));
}

TEST(NormalisePartName, NeverClimbsAboveTheRoot)
{
    EXPECT_EQ(normalisePartName("/a/b/../c/./d.xml"), "/a/c/d.xml");
    EXPECT_EQ(normalisePartName("/../../x.xml"), "/x.xml");
}

TEST(Package, EditsStayInMemoryUntilSavedAndUntouchedPartsStayIdentical)
{
    TempDir dir;
    t::BookSpec spec;
    spec.sheets = {{"One", "<sheetData/>"}};
    t::writeWorkbook(dir / "b.xlsx", spec);
    auto before = t::readZipRaw(dir / "b.xlsx");
    auto ctx = std::make_shared<EngineContext>(EngineOptions{});
    Package p(dir / "b.xlsx", "b.xlsx", ctx);
    p.putPart("/xl/extra.xml", "<extra/>");
    p.removePart("/docProps/app.xml");
    EXPECT_TRUE(p.hasPart("/xl/EXTRA.xml"));
    EXPECT_FALSE(p.hasPart("/docProps/app.xml"));
    EXPECT_EQ(t::readZipRaw(dir / "b.xlsx").size(), before.size()) << "nothing written before save";
    p.save();
    auto after = t::readZipRaw(dir / "b.xlsx");
    EXPECT_EQ(after.count("docProps/app.xml"), 0u);
    EXPECT_EQ(t::readZip(dir / "b.xlsx")["xl/extra.xml"], "<extra/>");
    for (const auto& [name, raw] : before) {
        if (name != "docProps/app.xml") {
            EXPECT_EQ(after[name].bytes, raw.bytes) << name << " changed";
        }
    }
    EXPECT_EQ(p.readPart("/xl/extra.xml"), "<extra/>") << "the package reads the file it saved";
}

TEST(Package, AZipWithoutContentTypesIsNotAWorkbook)
{
    TempDir dir;
    t::writeZip(dir / "x.xlsx", {{"word/document.xml", "<w/>"}});
    t::writeZip(dir / "y.ods", {{"mimetype", "application/vnd.oasis.opendocument.spreadsheet"}, {"content.xml", "<x/>"}});
    auto ctx = std::make_shared<EngineContext>(EngineOptions{});
    try {
        Package p(dir / "x.xlsx", "x.xlsx", ctx);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::NotSpreadsheetPackage);
    }
    try {
        Package p(dir / "y.ods", "y.ods", ctx);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::OpenDocument);
    }
}

TEST(Package, ANewRelationshipsPartAlwaysHasAContentType)
{
    TempDir dir;
    t::writeZip(dir / "p.xlsx",
                {{"[Content_Types].xml", "<Types xmlns=\"http://schemas.openxmlformats.org/package/2006/content-types\">"
                                         "<Override PartName=\"/_rels/.rels\" ContentType=\"application/vnd.openxmlformats-package.relationships+xml\"/>"
                                         "<Override PartName=\"/a.xml\" ContentType=\"x\"/></Types>"},
                 {"_rels/.rels", "<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"/>"},
                 {"a.xml", "<a/>"}});
    auto ctx = std::make_shared<EngineContext>(EngineOptions{});
    Package p(dir / "p.xlsx", "p.xlsx", ctx);
    p.relationships("/a.xml").addExternal("rId1", "t", "http://example.com/");
    p.save();
    ContentTypes ct;
    ct.load(t::readZip(dir / "p.xlsx")["[Content_Types].xml"], "p");
    EXPECT_EQ(ct.typeOf("/_rels/a.xml.rels").value_or(""), "application/vnd.openxmlformats-package.relationships+xml");
    EXPECT_EQ(t::readZip(dir / "p.xlsx").count("_rels/a.xml.rels"), 1u);
}
