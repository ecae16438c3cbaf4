// SPDX-License-Identifier: MIT
#include "engine/sml/theme.h"

#include "engine/xml/xml_dom.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace tessaro::xlsx {
namespace {

// Theme index in cell formats -> position in the colour scheme (lt and dk swap places).
constexpr int kThemeIndexToScheme[12] = {1, 0, 3, 2, 4, 5, 6, 7, 8, 9, 10, 11};

std::string upper(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    return out;
}

double fmod1(double x)
{
    double r = std::fmod(x, 1.0);
    return r < 0 ? r + 1.0 : r;
}

void rgbToHls(double r, double g, double b, double& h, double& l, double& s)
{
    double maxc = std::max({r, g, b}), minc = std::min({r, g, b});
    double sumc = maxc + minc, rangec = maxc - minc;
    l = sumc / 2.0;
    if (minc == maxc) {
        h = 0.0;
        s = 0.0;
        return;
    }
    s = l <= 0.5 ? rangec / sumc : rangec / (2.0 - maxc - minc);
    double rc = (maxc - r) / rangec, gc = (maxc - g) / rangec, bc = (maxc - b) / rangec;
    if (r == maxc)
        h = bc - gc;
    else if (g == maxc)
        h = 2.0 + rc - bc;
    else
        h = 4.0 + gc - rc;
    h = fmod1(h / 6.0);
}

double hueValue(double m1, double m2, double hue)
{
    hue = fmod1(hue);
    if (hue < 1.0 / 6.0)
        return m1 + (m2 - m1) * hue * 6.0;
    if (hue < 0.5)
        return m2;
    if (hue < 2.0 / 3.0)
        return m1 + (m2 - m1) * (2.0 / 3.0 - hue) * 6.0;
    return m1;
}

void hlsToRgb(double h, double l, double s, double& r, double& g, double& b)
{
    if (s == 0.0) {
        r = g = b = l;
        return;
    }
    double m2 = l <= 0.5 ? l * (1.0 + s) : l + s - (l * s);
    double m1 = 2.0 * l - m2;
    r = hueValue(m1, m2, h + 1.0 / 3.0);
    g = hueValue(m1, m2, h);
    b = hueValue(m1, m2, h - 1.0 / 3.0);
}

std::string lastSix(std::string_view argb)
{
    return upper(argb.size() > 6 ? argb.substr(argb.size() - 6) : argb);
}

} // namespace

ThemeInfo defaultTheme()
{
    ThemeInfo t;
    t.colors = {"000000", "FFFFFF", "44546A", "E7E6E6", "4472C4", "ED7D31",
                "A5A5A5", "FFC000", "5B9BD5", "70AD47", "0563C1", "954F72"};
    t.majorFont = "Calibri Light";
    t.minorFont = "Calibri";
    return t;
}

ThemeInfo parseTheme(std::string_view xml, const std::string& file, const std::string& part)
{
    pugi::xml_document doc;
    loadXml(doc, xml, file, part);
    ThemeInfo t = defaultTheme();
    t.stored = true;
    auto a = NsNames::of(doc.document_element(), ns::kDrawingMain).value_or(NsNames("a:"));
    pugi::xml_node elements = doc.document_element().child(a("themeElements").c_str());
    pugi::xml_node scheme = elements.child(a("clrScheme").c_str());
    static constexpr std::string_view kSlots[12] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2",
                                                    "accent3", "accent4", "accent5", "accent6", "hlink", "folHlink"};
    for (int i = 0; i < 12; ++i) {
        pugi::xml_node slot = scheme.child(a(kSlots[i]).c_str());
        if (!slot)
            continue;
        for (pugi::xml_node c = slot.first_child(); c; c = c.next_sibling()) {
            if (a.names(c, "srgbClr")) {
                t.colors[static_cast<std::size_t>(i)] = upper(c.attribute("val").value());
                break;
            }
            if (a.names(c, "sysClr")) {
                std::string_view last = c.attribute("lastClr").value();
                if (!last.empty())
                    t.colors[static_cast<std::size_t>(i)] = upper(last);
                else
                    t.colors[static_cast<std::size_t>(i)] =
                        std::string_view(c.attribute("val").value()) == "windowText" ? "000000" : "FFFFFF";
                break;
            }
        }
    }
    pugi::xml_node fonts = elements.child(a("fontScheme").c_str());
    if (fonts) {
        t.majorFont = fonts.child(a("majorFont").c_str()).child(a("latin").c_str()).attribute("typeface").value();
        t.minorFont = fonts.child(a("minorFont").c_str()).child(a("latin").c_str()).attribute("typeface").value();
    }
    return t;
}

std::string applyTint(std::string_view rgbIn, double tint)
{
    std::string rgb = lastSix(rgbIn);
    if (rgb.size() != 6)
        rgb = "000000";
    if (tint == 0.0)
        return rgb;
    auto channel = [&](std::size_t i) {
        return static_cast<double>(std::strtol(rgb.substr(i, 2).c_str(), nullptr, 16)) / 255.0;
    };
    double h, l, s;
    rgbToHls(channel(0), channel(2), channel(4), h, l, s);
    l = tint < 0 ? l * (1.0 + tint) : l * (1.0 - tint) + tint;
    double r, g, b;
    hlsToRgb(h, l, s, r, g, b);
    auto byte = [](double x) {
        double v = std::nearbyint(x * 255.0);
        return static_cast<int>(std::clamp(v, 0.0, 255.0));
    };
    char buf[8];
    std::snprintf(buf, sizeof buf, "%02X%02X%02X", byte(r), byte(g), byte(b));
    return buf;
}

const std::vector<std::string>& defaultIndexedPalette()
{
    static const std::vector<std::string> palette = {
        "000000", "FFFFFF", "FF0000", "00FF00", "0000FF", "FFFF00", "FF00FF", "00FFFF",
        "000000", "FFFFFF", "FF0000", "00FF00", "0000FF", "FFFF00", "FF00FF", "00FFFF",
        "800000", "008000", "000080", "808000", "800080", "008080", "C0C0C0", "808080",
        "9999FF", "993366", "FFFFCC", "CCFFFF", "660066", "FF8080", "0066CC", "CCCCFF",
        "000080", "FF00FF", "FFFF00", "00FFFF", "800080", "800000", "008080", "0000FF",
        "00CCFF", "CCFFFF", "CCFFCC", "FFFF99", "99CCFF", "FF99CC", "CC99FF", "FFCC99",
        "3366FF", "33CCCC", "99CC00", "FFCC00", "FF9900", "FF6600", "666699", "969696",
        "003366", "339966", "003300", "333300", "993300", "993366", "333399", "333333",
    };
    return palette;
}

ColorTranslator::ColorTranslator(const ThemeInfo& source, const ThemeInfo& destination,
                                 std::vector<std::string> sourcePalette,
                                 const std::vector<std::string>& destinationPalette)
    : source_(source), sourcePalette_(std::move(sourcePalette))
{
    themes_ = !source.sameColors(destination);
    fontsDiffer_ = !source.sameFonts(destination);
    const auto& dst = destinationPalette.empty() ? defaultIndexedPalette() : destinationPalette;
    const auto& src = sourcePalette_.empty() ? defaultIndexedPalette() : sourcePalette_;
    palettes_ = src != dst;
    if (sourcePalette_.empty())
        sourcePalette_ = defaultIndexedPalette();
}

std::optional<std::string> ColorTranslator::translate(std::optional<std::string_view> theme,
                                                      std::optional<std::string_view> tint,
                                                      std::optional<std::string_view> indexed) const
{
    double t = tint ? std::strtod(std::string(*tint).c_str(), nullptr) : 0.0;
    std::string base;
    if (theme && themes_) {
        long i = std::strtol(std::string(*theme).c_str(), nullptr, 10);
        int pos = i >= 0 && i < 12 ? kThemeIndexToScheme[i] : 0;
        base = source_.colors[static_cast<std::size_t>(pos)];
    } else if (!theme && indexed && palettes_) {
        long i = std::strtol(std::string(*indexed).c_str(), nullptr, 10);
        // 64 and 65 are the system foreground and background: the same everywhere.
        if (i == 64 || i == 65 || i < 0)
            return std::nullopt;
        base = static_cast<std::size_t>(i) < sourcePalette_.size() ? sourcePalette_[static_cast<std::size_t>(i)]
                                                                     : std::string("000000");
    } else {
        return std::nullopt;
    }
    return "FF" + applyTint(base, t);
}

std::string ColorTranslator::signature() const
{
    std::string s = themes_ ? "T" : "t";
    s += palettes_ ? "P" : "p";
    s += fontsDiffer_ ? "F" : "f";
    if (themes_)
        for (const auto& c : source_.colors)
            s += c;
    if (palettes_)
        for (const auto& c : sourcePalette_)
            s += c;
    return s;
}

} // namespace tessaro::xlsx
