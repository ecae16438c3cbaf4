// SPDX-License-Identifier: MIT
#pragma once

#include "engine/sml/theme.h"
#include "engine/xml/xml_dom.h"

#include <pugixml.hpp>

#include <cstddef>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace tessaro::xlsx {

// A workbook's styles part: number formats, fonts, fills, borders, cell style records,
// cell formats, named styles and differential formats. Records are appended in place, so
// everything the engine does not model is written back as it was.
class Stylesheet {
public:
    void load(std::string_view xml, const std::string& file, const std::string& part);
    // The styles of a workbook that has no styles part: one default of everything.
    void loadDefault();

    std::size_t cellFormatCount() const { return xfs_.size(); }
    std::size_t differentialFormatCount() const { return dxfs_.size(); }
    // The workbook's own indexed-colour palette (RRGGBB), empty when it uses the standard one.
    const std::vector<std::string>& palette() const { return palette_; }
    // For each cell format, whether it shows a number as a date (times of day and durations
    // do not count).
    std::vector<bool> dateFormats() const;

    bool modified() const { return modified_; }
    void markSaved() { modified_ = false; }
    std::string serialize() const;

    // Everything appended after a mark can be taken back, for a copy that fails halfway.
    struct Mark {
        std::size_t numFmts, fonts, fills, borders, styleXfs, xfs, cellStyles, dxfs;
        bool modified;
    };
    Mark mark() const;
    void rollback(const Mark& m);

private:
    friend class StyleMerger;
    void index();
    void supplyDefaults();
    void ensureKeys();
    pugi::xml_node container(std::string_view local);

    pugi::xml_document doc_;
    NsNames n_;
    std::vector<pugi::xml_node> numFmts_, fonts_, fills_, borders_, styleXfs_, xfs_, cellStyles_, dxfs_;
    std::map<long, std::string> numFmtCodes_;
    std::vector<std::string> palette_;
    // Canonical text of each record -> its index; built on the first merge into this sheet.
    bool keyed_ = false;
    std::unordered_map<std::string, long> numFmtByCode_;
    std::unordered_map<std::string, std::size_t> fontKeys_, fillKeys_, borderKeys_, styleXfKeys_, xfKeys_, dxfKeys_;
    std::unordered_map<std::string, std::size_t> cellStyleByName_;  // folded name -> xfId
    long maxNumFmtId_ = 163;
    // The workbook's formats are defaults it did not write (no styles part, or one without
    // cell formats): the part is written out once a copy uses them.
    bool implicitDefault_ = false;
    bool modified_ = false;
};

// Maps the formats of one workbook onto another, appending what the destination lacks and
// reusing what it has, so copying the same sheet many times does not grow the styles. Each
// mapping is remembered, so a format costs its merge once.
class StyleMerger {
public:
    // `sourceFile` is what a fault in the source's formats names.
    StyleMerger(const Stylesheet& source, Stylesheet& destination, ColorTranslator colors, std::string sourceFile = {});

    // The destination cell format for a source cell format index; a format the source does
    // not define is the source's fault (StyleIndexOutOfRange).
    std::size_t cellFormat(std::size_t sourceIndex);
    std::size_t differentialFormat(std::size_t sourceIndex);
    // The destination's id for a source number format id (pivot fields name them by id).
    long numberFormatId(long sourceId);
    // Brings a custom table or pivot style the source defines under `name` (nothing for the
    // built-in ones, or when the destination has a style of that name).
    void tableStyle(const std::string& name);
    void forget();

private:
    long numberFormat(long sourceId);
    std::size_t font(std::size_t i);
    std::size_t fill(std::size_t i);
    std::size_t border(std::size_t i);
    std::size_t styleRecord(std::size_t i);
    // Points a copied format record at the destination's number format, font, fill and border.
    void remapParts(pugi::xml_node x);
    // The source record as it is written into the destination (colours translated, theme
    // fonts named), in the scratch document; the caller discards it.
    pugi::xml_node preparedFont(std::size_t i);
    pugi::xml_node preparedRecord(const std::vector<pugi::xml_node>& list, std::size_t i);
    unsigned styleDrift(std::size_t sourceStyle, std::size_t destinationStyle);
    void pinAttributes(pugi::xml_node xf, std::size_t sourceStyle, std::size_t destinationStyle);
    pugi::xml_node scratchCopy(pugi::xml_node src);
    void discard(pugi::xml_node n);
    void translateColors(pugi::xml_node n, int depth = 0);
    std::size_t findOrAppend(std::unordered_map<std::string, std::size_t>& keys, std::vector<pugi::xml_node>& list,
                             std::string_view container, pugi::xml_node record, std::size_t firstReusable = 0);

    [[noreturn]] void undefined(std::string_view what, std::size_t index, std::size_t defined) const;

    const Stylesheet& src_;
    Stylesheet& dst_;
    ColorTranslator colors_;
    std::string sourceFile_;
    pugi::xml_document scratch_;
    std::unordered_map<std::size_t, std::size_t> xfMap_, dxfMap_, fontMap_, fillMap_, borderMap_, styleXfMap_;
    std::unordered_map<long, long> numFmtMap_;
    std::map<std::pair<std::size_t, std::size_t>, unsigned> driftMap_;
};

// A comparison text of an element: names without the namespace prefix `prefix`,
// attributes sorted, whitespace-only text left out.
std::string canonicalText(pugi::xml_node element, std::string_view prefix);

// Appends a deep copy of `src` to `parent` (before `before` when given), renaming elements
// of the source's main namespace to the destination's prefix and declaring any other
// namespace the destination does not bind the same way.
pugi::xml_node copyElement(pugi::xml_node parent, pugi::xml_node src, std::string_view srcPrefix,
                           std::string_view dstPrefix, pugi::xml_node before = {});

} // namespace tessaro::xlsx
