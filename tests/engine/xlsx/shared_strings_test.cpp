// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "engine/sml/shared_strings.h"
#include "engine/sml/theme.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;

namespace {
const std::string kNs = "xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"";

SharedStrings table(const std::string& xml)
{
    SharedStrings s;
    s.load(xml, "book.xlsx", "xl/sharedStrings.xml");
    return s;
}
} // namespace

TEST(SharedStrings, ItemsTravelAsTheXmlTheyAre)
{
    auto s = table("<?xml version=\"1.0\"?><sst " + kNs + " count=\"3\" uniqueCount=\"2\">"
                   "<si><t xml:space=\"preserve\"> lead</t></si>"
                   "<si><r><rPr><b/></rPr><t>bold</t></r><r><t>&amp;plain</t></r><rPh sb=\"0\" eb=\"1\"><t>x</t></rPh></si></sst>");
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s.canonicalItem(0), "<si><t xml:space=\"preserve\"> lead</t></si>");
    EXPECT_EQ(s.canonicalItem(1), "<si><r><rPr><b/></rPr><t>bold</t></r><r><t>&amp;plain</t></r><rPh sb=\"0\" eb=\"1\"><t>x</t></rPh></si>");
}

TEST(SharedStrings, InternReusesEqualItemsAndAppendsNewOnes)
{
    auto s = table("<sst " + kNs + " count=\"5\" uniqueCount=\"2\"><si><t>a</t></si><si><t>b</t></si></sst>");
    EXPECT_EQ(s.intern("<si><t>b</t></si>"), 1u);
    EXPECT_FALSE(s.modified());
    EXPECT_EQ(s.intern("<si><t>c</t></si>"), 2u);
    EXPECT_EQ(s.intern("<si><t>c</t></si>"), 2u);
    s.addReferences(4);
    auto back = table(s.serialize());
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back.canonicalItem(2), "<si><t>c</t></si>");
    std::string xml = s.serialize();
    EXPECT_NE(xml.find("count=\"9\""), std::string::npos) << xml;
    EXPECT_NE(xml.find("uniqueCount=\"3\""), std::string::npos) << xml;
}

TEST(SharedStrings, NewItemsGoBeforeWhatFollowsTheItems)
{
    auto s = table("<sst " + kNs + "><si><t>a</t></si><extLst><ext uri=\"u\"/></extLst></sst>");
    s.intern("<si><t>z</t></si>");
    std::string xml = s.serialize();
    EXPECT_LT(xml.find("<si><t>z</t></si>"), xml.find("<extLst>"));
    EXPECT_EQ(xml.find("count="), std::string::npos) << "no counts are invented";
}

TEST(SharedStrings, PrefixedTablesTakeItemsInTheirOwnPrefix)
{
    auto s = table("<x:sst xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" uniqueCount=\"1\">"
                   "<x:si><x:t>a</x:t></x:si></x:sst>");
    EXPECT_EQ(s.canonicalItem(0), "<si><t>a</t></si>");
    EXPECT_EQ(s.intern("<si><t>a</t></si>"), 0u);
    s.intern("<si><r><t>b</t></r></si>");
    std::string xml = s.serialize();
    EXPECT_NE(xml.find("<x:si><x:r><x:t>b</x:t></x:r></x:si></x:sst>"), std::string::npos) << xml;
}

TEST(SharedStrings, AnEmptyTableGrows)
{
    auto s = table("<sst " + kNs + " count=\"0\" uniqueCount=\"0\"/>");
    s.intern("<si><t>first</t></si>");
    auto back = table(s.serialize());
    EXPECT_EQ(back.size(), 1u);
    SharedStrings fresh;
    fresh.loadEmpty();
    EXPECT_FALSE(fresh.modified());
    EXPECT_EQ(fresh.intern("<si><t>x</t></si>"), 0u);
    EXPECT_EQ(table(fresh.serialize()).canonicalItem(0), "<si><t>x</t></si>");
}

TEST(SharedStrings, RollbackForgetsAppendedItems)
{
    auto s = table("<sst " + kNs + "><si><t>a</t></si></sst>");
    auto mark = s.mark();
    s.intern("<si><t>b</t></si>");
    s.rollback(mark);
    EXPECT_EQ(s.size(), 1u);
    EXPECT_FALSE(s.modified());
    EXPECT_EQ(s.intern("<si><t>b</t></si>"), 1u);
}

TEST(SharedStrings, BrokenTablesAreRefused)
{
    EXPECT_THROW(table("<sst " + kNs + "><si><t>a</si></sst>"), EngineError);
    EXPECT_THROW(table("<sst " + kNs + "><si><t>a</t></si>"), EngineError);
    EXPECT_THROW(table("<other " + kNs + "/>"), EngineError);
    try {
        table("<!DOCTYPE sst [<!ENTITY e \"x\">]><sst " + kNs + "/>");
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::XmlDoctype);
    }
}

TEST(SharedStringFormatting, RunColoursFollowTheSourceThemeAndSchemeFontsTheirName)
{
    ThemeInfo dst = defaultTheme();
    dst.colors[0] = "222222";
    dst.minorFont = "Georgia";
    ColorTranslator c(defaultTheme(), dst, {}, {});
    std::string out = translateItemFormatting(
        "<si><r><rPr><b/><color theme=\"1\"/><rFont val=\"Calibri\"/><scheme val=\"minor\"/></rPr><t>x</t></r></si>", c);
    EXPECT_EQ(out, "<si><r><rPr><b/><color rgb=\"FF000000\"/><rFont val=\"Calibri\"/></rPr><t>x</t></r></si>");
    std::string plain = "<si><t>theme=\"1\"</t></si>";
    EXPECT_EQ(translateItemFormatting(plain, ColorTranslator()), plain);
}
