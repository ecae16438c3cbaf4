// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "engine/sml/theme.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;

namespace {
ThemeInfo themeWith(std::string dk1, std::string accent1)
{
    ThemeInfo t = defaultTheme();
    t.colors[0] = std::move(dk1);
    t.colors[4] = std::move(accent1);
    return t;
}
} // namespace

TEST(Tint, LightensAndDarkensInHlsSpace)
{
    // Reference values from Python's colorsys with the same tint rule.
    EXPECT_EQ(applyTint("4472C4", 0.0), "4472C4");
    EXPECT_EQ(applyTint("4472C4", 0.3999755851924192), "8FAADC");
    EXPECT_EQ(applyTint("4472C4", -0.249977111117893), "2F5597");
    EXPECT_EQ(applyTint("FFFFFF", -0.1499984740745262), "D9D9D9");
    EXPECT_EQ(applyTint("FF000000", 0.5), "808080");
}

TEST(Theme, ReadsTheColourSchemeAndFonts)
{
    const char* xml =
        "<a:theme xmlns:a=\"http://schemas.openxmlformats.org/drawingml/2006/main\"><a:themeElements>"
        "<a:clrScheme name=\"x\"><a:dk1><a:sysClr val=\"windowText\" lastClr=\"111111\"/></a:dk1>"
        "<a:lt1><a:sysClr val=\"window\"/></a:lt1><a:accent1><a:srgbClr val=\"abcdef\"/></a:accent1></a:clrScheme>"
        "<a:fontScheme name=\"f\"><a:majorFont><a:latin typeface=\"Head\"/></a:majorFont>"
        "<a:minorFont><a:latin typeface=\"Body\"/></a:minorFont></a:fontScheme></a:themeElements></a:theme>";
    ThemeInfo t = parseTheme(xml, "f", "theme1.xml");
    EXPECT_EQ(t.colors[0], "111111");
    EXPECT_EQ(t.colors[1], "FFFFFF");
    EXPECT_EQ(t.colors[4], "ABCDEF");
    EXPECT_EQ(t.colors[5], defaultTheme().colors[5]) << "slots the theme leaves out keep the default";
    EXPECT_EQ(t.majorFont, "Head");
    EXPECT_EQ(t.minorFont, "Body");
    EXPECT_THROW(parseTheme("<a:theme", "f", "theme1.xml"), EngineError);
}

TEST(ColorTranslator, LeavesColoursAloneWhenBothWorkbooksAgree)
{
    ColorTranslator same(defaultTheme(), defaultTheme(), {}, {});
    EXPECT_FALSE(same.active());
    EXPECT_FALSE(same.translate("4", std::nullopt, std::nullopt).has_value());
}

TEST(ColorTranslator, GivesThemeColoursAsTheSourceShowedThem)
{
    ThemeInfo src = themeWith("102030", "4472C4"), dst = themeWith("000000", "C00000");
    ColorTranslator c(src, dst, {}, {});
    ASSERT_TRUE(c.translatesTheme());
    // Index 1 is the dark text colour (dk1), index 4 accent 1; 0 is lt1.
    EXPECT_EQ(c.translate("1", std::nullopt, std::nullopt).value(), "FF102030");
    EXPECT_EQ(c.translate("4", "0.3999755851924192", std::nullopt).value(), "FF8FAADC");
    EXPECT_EQ(c.translate("0", std::nullopt, std::nullopt).value(), "FFFFFFFF");
    EXPECT_FALSE(c.translate(std::nullopt, std::nullopt, "10").has_value()) << "palettes are the same";
}

TEST(ColorTranslator, GivesPaletteColoursFromTheSourcePalette)
{
    std::vector<std::string> custom = defaultIndexedPalette();
    custom[10] = "123456";
    ColorTranslator c(defaultTheme(), defaultTheme(), custom, {});
    ASSERT_TRUE(c.translatesPalette());
    EXPECT_EQ(c.translate(std::nullopt, std::nullopt, "10").value(), "FF123456");
    EXPECT_FALSE(c.translate(std::nullopt, std::nullopt, "64").has_value()) << "system colours stay";
    EXPECT_NE(c.signature(), ColorTranslator(defaultTheme(), defaultTheme(), {}, {}).signature());
}
