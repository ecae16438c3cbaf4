// SPDX-License-Identifier: MIT
#include "engine/sml/styles.h"
#include "platform/engine_error.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>

using namespace tessaro::xlsx;

namespace {

const std::string kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";

std::string styles(const std::string& prefix, const std::string& body)
{
    std::string p = prefix.empty() ? "" : prefix + ":";
    std::string decl = prefix.empty() ? "xmlns" : "xmlns:" + prefix;
    std::string out;
    // Prefix every element of the body.
    for (std::size_t i = 0; i < body.size(); ++i) {
        out.push_back(body[i]);
        if (body[i] == '<') {
            if (body[i + 1] == '/') {
                out.push_back('/');
                ++i;
            }
            out += p;
        }
    }
    return "<" + p + "styleSheet " + decl + "=\"" + kMain + "\">" + out + "</" + p + "styleSheet>";
}

const std::string kSource =
    "<numFmts count=\"2\"><numFmt numFmtId=\"164\" formatCode=\"0.000\"/><numFmt numFmtId=\"170\" formatCode=\"#,##0.0\"/></numFmts>"
    "<fonts count=\"2\"><font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><scheme val=\"minor\"/></font>"
    "<font><b/><sz val=\"14\"/><color theme=\"4\" tint=\"-0.25\"/><name val=\"Calibri\"/><scheme val=\"minor\"/></font></fonts>"
    "<fills count=\"3\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/></fill>"
    "<fill><patternFill patternType=\"solid\"><fgColor rgb=\"FFFFFF00\"/><bgColor indexed=\"64\"/></patternFill></fill></fills>"
    "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
    "<cellStyleXfs count=\"2\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/>"
    "<xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
    "<cellXfs count=\"4\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
    "<xf numFmtId=\"164\" fontId=\"1\" fillId=\"2\" borderId=\"0\" xfId=\"0\" applyNumberFormat=\"1\"><alignment horizontal=\"center\"/></xf>"
    "<xf numFmtId=\"170\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"1\"/>"
    "<xf numFmtId=\"14\" fontId=\"0\" fillId=\"1\" borderId=\"0\" xfId=\"0\"/></cellXfs>"
    "<cellStyles count=\"2\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/><cellStyle name=\"Heading 1\" xfId=\"1\" builtinId=\"16\"/></cellStyles>"
    "<dxfs count=\"1\"><dxf><font><color theme=\"5\"/></font></dxf></dxfs>";

// A destination whose default font differs and which already has "0.000" under another id.
const std::string kDestination =
    "<numFmts count=\"1\"><numFmt numFmtId=\"200\" formatCode=\"0.000\"/></numFmts>"
    "<fonts count=\"1\"><font><sz val=\"10\"/><name val=\"Arial\"/></font></fonts>"
    "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/></fill></fills>"
    "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
    "<cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs>"
    "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
    "<extLst><ext uri=\"{kept}\"><keep/></ext></extLst>";

struct Pair {
    Stylesheet src, dst;
    Pair(const std::string& dstPrefix = "")
    {
        src.load(styles("", kSource), "src", "styles.xml");
        dst.load(styles(dstPrefix, kDestination), "dst", "styles.xml");
    }
};

pugi::xml_node child(const pugi::xml_document& d, const char* path)
{
    return d.first_element_by_path(path);
}

std::vector<pugi::xml_node> records(const pugi::xml_document& d, const char* path)
{
    std::vector<pugi::xml_node> out;
    for (auto r : child(d, path).children())
        out.push_back(r);
    return out;
}

std::string replaced(std::string text, const std::string& what, const std::string& with)
{
    text.replace(text.find(what), what.size(), with);
    return text;
}

} // namespace

TEST(StyleMerger, AppendsWhatIsMissingAndReusesWhatExists)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator());
    std::size_t a = m.cellFormat(1);
    EXPECT_EQ(a, 1u);
    std::size_t zero = m.cellFormat(0);
    EXPECT_EQ(zero, 2u) << "the source default (Calibri 11) is not the destination's (Arial 10)";
    EXPECT_EQ(m.cellFormat(1), a) << "asked again, the same answer";
    std::size_t count = p.dst.cellFormatCount();
    StyleMerger again(p.src, p.dst, ColorTranslator());
    EXPECT_EQ(again.cellFormat(1), a) << "a second merge finds the first one's records";
    EXPECT_EQ(p.dst.cellFormatCount(), count) << "copying the same formats again must not grow the styles";
}

TEST(StyleMerger, MapsCustomNumberFormatsByTheirCode)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.cellFormat(1);  // 164 "0.000" exists in the destination as 200
    m.cellFormat(2);  // 170 "#,##0.0" is new
    m.cellFormat(3);  // built-in 14 stays 14
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    auto xfs = child(d, "styleSheet/cellXfs");
    std::vector<std::string> ids;
    for (auto x : xfs.children("xf"))
        ids.push_back(x.attribute("numFmtId").value());
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_EQ(ids[1], "200");
    EXPECT_EQ(ids[2], "201");
    EXPECT_EQ(ids[3], "14");
    auto fmts = child(d, "styleSheet/numFmts");
    EXPECT_EQ(std::string(fmts.attribute("count").value()), "2");
    EXPECT_EQ(std::string(fmts.last_child().attribute("formatCode").value()), "#,##0.0");
}

TEST(StyleMerger, NeverMapsARealFillOntoTheTwoReservedOnes)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.cellFormat(1);
    m.cellFormat(3);  // uses fill 1 (gray125): stays 1
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    std::vector<std::string> fills;
    for (auto x : child(d, "styleSheet/cellXfs").children("xf"))
        fills.push_back(x.attribute("fillId").value());
    ASSERT_EQ(fills.size(), 3u);
    EXPECT_EQ(fills[1], "2");
    EXPECT_EQ(fills[2], "1");
}

TEST(StyleMerger, NoFillStaysNoFillWhereTheDestinationWritesItsFirstFillAsSolid)
{
    // Spreadsheet applications show the first fill as none whatever it holds; openpyxl shows it solid.
    Stylesheet src, dst;
    src.load(styles("", kSource), "src", "styles.xml");
    dst.load(styles("", replaced(kDestination, "<fill><patternFill patternType=\"none\"/></fill>",
                                 "<fill><patternFill patternType=\"solid\"><fgColor rgb=\"FF000000\"/></patternFill></fill>")),
             "dst", "styles.xml");
    StyleMerger m(src, dst, ColorTranslator());
    std::size_t plain = m.cellFormat(0), gray = m.cellFormat(3);
    pugi::xml_document d;
    d.load_string(dst.serialize().c_str());
    const auto xfs = records(d, "styleSheet/cellXfs"), fills = records(d, "styleSheet/fills");
    std::size_t fill = xfs.at(plain).attribute("fillId").as_uint();
    ASSERT_GE(fill, 2u);
    EXPECT_STREQ(fills.at(fill).first_child().attribute("patternType").value(), "none");
    EXPECT_TRUE(xfs.at(plain).attribute("applyFill").as_bool());
    EXPECT_EQ(xfs.at(gray).attribute("fillId").as_uint(), 1u) << "the destination's second fill is gray125 as written";
}

TEST(StyleMerger, BuiltInFormatsAndMissingIndicesKeepTheSourcesMeaningWhereTheDestinationGivesThemAnother)
{
    // Seen in real files: a destination that defines format 0 as a date, and formats without a font index.
    Stylesheet src, dst;
    src.load(styles("", replaced(kSource, "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>",
                                 "<xf xfId=\"0\"/>")),
             "src", "styles.xml");
    dst.load(styles("", replaced(kDestination, "<numFmts count=\"1\">",
                                 "<numFmts count=\"2\"><numFmt numFmtId=\"0\" formatCode=\"dd.mm.yyyy\"/>")),
             "dst", "styles.xml");
    StyleMerger m(src, dst, ColorTranslator());
    std::size_t plain = m.cellFormat(0);
    pugi::xml_document d;
    d.load_string(dst.serialize().c_str());
    const auto xfs = records(d, "styleSheet/cellXfs"), fonts = records(d, "styleSheet/fonts");
    std::map<long, std::string> codes;
    for (auto f : records(d, "styleSheet/numFmts"))
        codes[f.attribute("numFmtId").as_int()] = f.attribute("formatCode").value();
    const pugi::xml_node xf = xfs.at(plain);
    const long format = xf.attribute("numFmtId").as_int();
    EXPECT_EQ(codes.count(format) ? codes[format] : "built-in", "General");
    const std::size_t font = xf.attribute("fontId").as_uint();
    EXPECT_STREQ(fonts.at(font).child("name").attribute("val").value(), "Calibri") << "the source's font 0, not the destination's";
}

TEST(StyleMerger, BringsNamedStylesByNameAndKeepsEachStyleItsOwnRecord)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.cellFormat(2);  // xfId 1 = "Heading 1", which the destination lacks
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    auto styles = child(d, "styleSheet/cellStyles");
    ASSERT_EQ(std::distance(styles.children("cellStyle").begin(), styles.children("cellStyle").end()), 2);
    auto heading = styles.last_child();
    EXPECT_EQ(std::string(heading.attribute("name").value()), "Heading 1");
    EXPECT_EQ(std::string(heading.attribute("builtinId").value()), "16");
    EXPECT_EQ(std::string(heading.attribute("xfId").value()), "1");
    EXPECT_EQ(std::string(child(d, "styleSheet/cellXfs").last_child().attribute("xfId").value()), "1");
    EXPECT_EQ(std::string(child(d, "styleSheet/cellStyles").attribute("count").value()), "2");
}

TEST(StyleMerger, WritesThemeColoursAsRgbWhenTheThemesDiffer)
{
    Pair p;
    ThemeInfo src = defaultTheme(), dst = defaultTheme();
    dst.colors[4] = "112233";
    dst.minorFont = "Verdana";
    StyleMerger m(p.src, p.dst, ColorTranslator(src, dst, {}, {}));
    m.cellFormat(1);
    m.differentialFormat(0);
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    auto font = child(d, "styleSheet/fonts").last_child();
    EXPECT_EQ(std::string(font.child("color").attribute("rgb").value()), "FF" + applyTint("4472C4", -0.25));
    EXPECT_FALSE(font.child("color").attribute("theme"));
    EXPECT_FALSE(font.child("scheme")) << "the theme's body font differs, so the font keeps its own name";
    auto dxf = child(d, "styleSheet/dxfs").first_child();
    EXPECT_EQ(std::string(dxf.child("font").child("color").attribute("rgb").value()), "FFED7D31");
}

TEST(StyleMerger, KeepsThemeColoursWhenTheThemesAgree)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator(defaultTheme(), defaultTheme(), {}, {}));
    m.cellFormat(1);
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    auto font = child(d, "styleSheet/fonts").last_child();
    EXPECT_EQ(std::string(font.child("color").attribute("theme").value()), "4");
}

TEST(StyleMerger, WritesIntoAPrefixedStylesheetWithItsPrefix)
{
    Pair p("x");
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.cellFormat(1);
    m.differentialFormat(0);
    std::string xml = p.dst.serialize();
    EXPECT_NE(xml.find("<x:font><x:b/>"), std::string::npos) << xml;
    EXPECT_EQ(xml.find("<font>"), std::string::npos);
    EXPECT_NE(xml.find("<x:dxfs"), std::string::npos) << "a missing container is created in the same namespace";
}

TEST(StyleMerger, CreatesMissingContainersInSchemaOrderAndKeepsUnknownMarkup)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.differentialFormat(0);
    std::string xml = p.dst.serialize();
    std::size_t dxfs = xml.find("<dxfs"), ext = xml.find("<extLst"), styles = xml.find("<cellStyles");
    ASSERT_NE(dxfs, std::string::npos);
    EXPECT_LT(styles, dxfs);
    EXPECT_LT(dxfs, ext);
    EXPECT_NE(xml.find("<ext uri=\"{kept}\"><keep/></ext>"), std::string::npos);
}

TEST(StyleMerger, AFormatTheSourceLacksIsTheSourcesFault)
{
    Pair p;
    StyleMerger m(p.src, p.dst, ColorTranslator(), "/data/source.xlsx");
    for (const auto& merge : {std::function<void()>([&] { m.cellFormat(99); }),
                              std::function<void()>([&] { m.differentialFormat(5); })}) {
        try {
            merge();
            ADD_FAILURE() << "an undefined format was merged";
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), ErrorCode::StyleIndexOutOfRange);
            EXPECT_EQ(e.file(), "/data/source.xlsx");
        }
    }
}

TEST(Stylesheet, WithoutCellFormatsFormatZeroIsTheDefaultAndCopiesBothWays)
{
    const std::string kOrder[] = {"numFmts", "fonts", "fills", "borders", "cellStyleXfs", "cellXfs", "cellStyles"};
    for (const std::string& body : {std::string(), std::string("<fonts count=\"1\"><font><sz val=\"9\"/><name val=\"Arial\"/></font></fonts>"
                                                                "<cellXfs count=\"0\"/>")}) {
        Stylesheet empty;
        empty.load(styles("", body), "empty", "styles.xml");
        EXPECT_EQ(empty.cellFormatCount(), 1u) << body;

        Stylesheet dst;
        dst.load(styles("", kDestination), "dst", "styles.xml");
        StyleMerger out(empty, dst, ColorTranslator());
        EXPECT_EQ(out.cellFormat(0), 1u) << "the default is not the destination's Arial 10: " << body;

        Pair p;
        StyleMerger in(p.src, empty, ColorTranslator());
        EXPECT_FALSE(empty.modified());
        EXPECT_EQ(in.cellFormat(1), 1u);
        EXPECT_TRUE(empty.modified()) << "a part that only implied its default is written whole";
        pugi::xml_document d;
        d.load_string(empty.serialize().c_str());
        pugi::xml_node root = d.document_element();
        std::size_t at = 0;
        for (pugi::xml_node c : root.children()) {
            while (at < std::size(kOrder) && kOrder[at] != c.name())
                ++at;
            ASSERT_LT(at, std::size(kOrder)) << c.name() << " out of order: " << empty.serialize();
            EXPECT_TRUE(c.first_child()) << c.name() << " has a record";
            EXPECT_EQ(c.attribute("count").as_ullong(), std::distance(c.children().begin(), c.children().end()));
        }
        EXPECT_EQ(root.child("fills").first_child().child("patternFill").attribute("patternType").value(), std::string("none"));
        EXPECT_EQ(root.child("cellStyles").child("cellStyle").attribute("xfId").as_int(-1), 0);
    }
}

TEST(Stylesheet, CellFormatsInAlternateContentCountAsTheBranchAnApplicationTakes)
{
    const std::string mc = " xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\"";
    const std::string xfs =
        "<cellXfs count=\"4\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
        "<mc:AlternateContent" + mc + " xmlns:x14ac=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac\">"
        "<mc:Choice Requires=\"x14ac\"><xf numFmtId=\"164\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></mc:Choice>"
        "<mc:Fallback><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></mc:Fallback></mc:AlternateContent>"
        "<mc:AlternateContent" + mc + " xmlns:zz=\"urn:tessaro:unknown\">"
        "<mc:Choice Requires=\"zz\"><xf numFmtId=\"0\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></mc:Choice>"
        "<mc:Fallback><xf numFmtId=\"14\" fontId=\"0\" fillId=\"2\" borderId=\"0\" xfId=\"0\"/></mc:Fallback></mc:AlternateContent>"
        "<xf numFmtId=\"170\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs>";
    std::string source = kSource;
    source.replace(source.find("<cellXfs"), source.find("</cellXfs>") + 10 - source.find("<cellXfs"), xfs);
    Stylesheet src;
    src.load(styles("", source), "src", "styles.xml");
    ASSERT_EQ(src.cellFormatCount(), 4u);

    Pair p;
    StyleMerger m(src, p.dst, ColorTranslator());
    std::size_t chosen = m.cellFormat(1), fallback = m.cellFormat(2), last = m.cellFormat(3);
    pugi::xml_document d;
    d.load_string(p.dst.serialize().c_str());
    auto nth = [&](const char* list, std::size_t i) {
        for (pugi::xml_node x : d.document_element().child(list).children())
            if (i-- == 0)
                return x;
        return pugi::xml_node();
    };
    auto xf = [&](std::size_t i) { return nth("cellXfs", i); };
    auto font = [&](std::size_t i) { return nth("fonts", i); };
    EXPECT_EQ(std::string(xf(chosen).attribute("numFmtId").value()), "200") << "the Choice: \"0.000\" by its code";
    EXPECT_TRUE(font(xf(chosen).attribute("fontId").as_uint()).child("b")) << "and the bold font";
    EXPECT_EQ(std::string(xf(fallback).attribute("numFmtId").value()), "14") << "an unknown namespace: the Fallback";
    EXPECT_EQ(xf(fallback).attribute("fillId").as_int(), 2);
    EXPECT_EQ(std::string(xf(last).attribute("numFmtId").value()), "201") << "the record after them is the fourth";

    // As a destination, new records are counted after the alternatives.
    Pair q;
    StyleMerger into(q.src, src, ColorTranslator());
    EXPECT_EQ(into.cellFormat(3), 4u);
}

TEST(Stylesheet, RollbackTakesBackEverythingAppended)
{
    Pair p;
    std::string before = p.dst.serialize();
    auto mark = p.dst.mark();
    StyleMerger m(p.src, p.dst, ColorTranslator());
    m.cellFormat(1);
    m.cellFormat(2);
    m.differentialFormat(0);
    p.dst.rollback(mark);
    EXPECT_FALSE(p.dst.modified());
    EXPECT_EQ(p.dst.cellFormatCount(), 1u);
    EXPECT_EQ(p.dst.differentialFormatCount(), 0u);
}

TEST(Stylesheet, ReadsACustomPalette)
{
    Stylesheet s;
    s.load(styles("", "<cellXfs><xf/></cellXfs><colors><indexedColors><rgbColor rgb=\"FF00FF00\"/>"
                      "<rgbColor rgb=\"ff123abc\"/></indexedColors></colors>"),
           "f", "styles.xml");
    ASSERT_EQ(s.palette().size(), 2u);
    EXPECT_EQ(s.palette()[1], "123ABC");
}

TEST(StyleMerger, ACraftedDeeplyNestedRecordIsRefusedNotAStackOverflow)
{
    std::string deep = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\">";
    for (int i = 0; i < 20000; ++i)
        deep += "<extLst>";
    for (int i = 0; i < 20000; ++i)
        deep += "</extLst>";
    deep += "</xf>";
    Stylesheet src, dst;
    src.load(styles("", "<fonts><font/></fonts><fills><fill/><fill/></fills><borders><border/></borders><cellXfs>" + deep +
                            "</cellXfs>"),
             "src", "styles.xml");
    dst.load(styles("", kDestination), "dst", "styles.xml");
    StyleMerger m(src, dst, ColorTranslator());
    EXPECT_THROW(m.cellFormat(0), std::runtime_error);
}
