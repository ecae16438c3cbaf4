// SPDX-License-Identifier: MIT
#pragma once

#include <pugixml.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tessaro::xlsx {

namespace content_type {
inline constexpr std::string_view kWorkbook = "application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml";
inline constexpr std::string_view kMacroWorkbook = "application/vnd.ms-excel.sheet.macroEnabled.main+xml";
inline constexpr std::string_view kTemplate = "application/vnd.openxmlformats-officedocument.spreadsheetml.template.main+xml";
inline constexpr std::string_view kMacroTemplate = "application/vnd.ms-excel.template.macroEnabled.main+xml";
inline constexpr std::string_view kAddIn = "application/vnd.ms-excel.addin.macroEnabled.main+xml";
inline constexpr std::string_view kBinaryWorkbook = "application/vnd.ms-excel.sheet.binary.macroEnabled.main";
inline constexpr std::string_view kWorksheet = "application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml";
inline constexpr std::string_view kSharedStrings =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sharedStrings+xml";
inline constexpr std::string_view kChartsheet = "application/vnd.openxmlformats-officedocument.spreadsheetml.chartsheet+xml";
inline constexpr std::string_view kExternalLink =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.externalLink+xml";
inline constexpr std::string_view kPivotCacheDefinition =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotCacheDefinition+xml";
inline constexpr std::string_view kConnections = "application/vnd.openxmlformats-officedocument.spreadsheetml.connections+xml";
inline constexpr std::string_view kPersons = "application/vnd.ms-excel.person+xml";
inline constexpr std::string_view kSheetMetadata =
    "application/vnd.openxmlformats-officedocument.spreadsheetml.sheetMetadata+xml";
inline constexpr std::string_view kVmlDrawing = "application/vnd.openxmlformats-officedocument.vmlDrawing";
} // namespace content_type

// [Content_Types].xml: the type of every part, by exact part name (Override) or by
// extension (Default). Names and extensions compare without regard to ASCII case. Edits
// change the document in place, so whatever else it holds is written back as it was.
class ContentTypes {
public:
    void load(std::string_view xml, const std::string& file);

    // The type of a part such as "/xl/workbook.xml"; nothing when neither an Override nor
    // a Default covers it.
    std::optional<std::string> typeOf(std::string_view partName) const;

    void setOverride(std::string_view partName, std::string_view type);
    void removeOverride(std::string_view partName);
    // Makes a new part read as `type`: nothing when it already does, a Default for its
    // extension when none exists (media, printer settings), else an Override.
    void ensureType(std::string_view partName, std::string_view type);

    bool modified() const { return modified_; }
    void markSaved() { modified_ = false; }
    std::string serialize() const;

private:
    pugi::xml_document doc_;
    std::string prefix_;
    std::unordered_map<std::string, pugi::xml_node> overrides_;   // folded part name
    std::unordered_map<std::string, std::string> defaults_;       // folded extension
    bool modified_ = false;
};

} // namespace tessaro::xlsx
