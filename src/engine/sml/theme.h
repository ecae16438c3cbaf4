// SPDX-License-Identifier: MIT
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// The parts of a workbook's theme that decide how its cells look: the twelve scheme
// colours (as RRGGBB, in the order dk1 lt1 dk2 lt2 accent1-6 hlink folHlink) and the
// heading and body fonts.
// A workbook without a theme part (`stored` false) shows its theme colours and fonts as each
// reader pleases (black, or its own default theme), so it agrees with no other workbook: a
// copy into it keeps what the source showed as RGB colours and font names.
struct ThemeInfo {
    std::array<std::string, 12> colors;
    std::string majorFont;
    std::string minorFont;
    bool stored = false;
    bool sameColors(const ThemeInfo& o) const { return stored == o.stored && colors == o.colors; }
    bool sameFonts(const ThemeInfo& o) const
    {
        return stored == o.stored && majorFont == o.majorFont && minorFont == o.minorFont;
    }
};

// The theme a workbook without a theme part is shown with.
ThemeInfo defaultTheme();
// Reads a theme part; throws EngineError naming `file` and `part` when it is not XML.
ThemeInfo parseTheme(std::string_view xml, const std::string& file, const std::string& part);

// RRGGBB lightened (tint > 0) or darkened (tint < 0) in HLS space, as spreadsheet
// applications apply a colour's tint.
std::string applyTint(std::string_view rgb, double tint);

// The standard 64-colour palette that `indexed` colours refer to when a workbook defines
// none of its own (RRGGBB).
const std::vector<std::string>& defaultIndexedPalette();

// Turns colours that depend on the workbook (theme index, palette index) into the RGB
// colours they show in the source, for a copy into a workbook whose theme or palette
// differs. Colours that mean the same in both workbooks are left alone.
class ColorTranslator {
public:
    ColorTranslator() = default;
    ColorTranslator(const ThemeInfo& source, const ThemeInfo& destination, std::vector<std::string> sourcePalette,
                    const std::vector<std::string>& destinationPalette);

    bool active() const { return themes_ || palettes_; }
    bool translatesTheme() const { return themes_; }
    bool translatesPalette() const { return palettes_; }
    // True when fonts tied to the theme's heading/body font should keep their own name.
    bool fontsDiffer() const { return fontsDiffer_; }

    // The ARGB ("FFRRGGBB") to write instead of a colour given by these attributes (any may
    // be absent), or nothing when the colour is to stay as written.
    std::optional<std::string> translate(std::optional<std::string_view> theme, std::optional<std::string_view> tint,
                                         std::optional<std::string_view> indexed) const;

    // A short text that identifies what this translator does, for cache keys.
    std::string signature() const;

private:
    ThemeInfo source_;
    std::vector<std::string> sourcePalette_;
    bool themes_ = false;
    bool palettes_ = false;
    bool fontsDiffer_ = false;
};

} // namespace tessaro::xlsx
