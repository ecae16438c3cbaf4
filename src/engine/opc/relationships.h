// SPDX-License-Identifier: MIT
#pragma once

#include <pugixml.hpp>

#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

namespace rel_type {
inline constexpr std::string_view kOfficeDocument =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument";
inline constexpr std::string_view kStrictOfficeDocument =
    "http://purl.oclc.org/ooxml/officeDocument/relationships/officeDocument";
inline constexpr std::string_view kExtendedProperties =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties";
inline constexpr std::string_view kWorksheet = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet";
inline constexpr std::string_view kChartsheet = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartsheet";
inline constexpr std::string_view kDialogsheet = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/dialogsheet";
inline constexpr std::string_view kMacrosheet = "http://schemas.microsoft.com/office/2006/relationships/xlMacrosheet";
inline constexpr std::string_view kIntlMacrosheet = "http://schemas.microsoft.com/office/2006/relationships/xlIntlMacrosheet";
inline constexpr std::string_view kStyles = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/styles";
inline constexpr std::string_view kSharedStrings =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/sharedStrings";
inline constexpr std::string_view kTheme = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/theme";
inline constexpr std::string_view kCalcChain = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/calcChain";
inline constexpr std::string_view kHyperlink = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/hyperlink";
inline constexpr std::string_view kDrawing = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/drawing";
inline constexpr std::string_view kVmlDrawing = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/vmlDrawing";
inline constexpr std::string_view kComments = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/comments";
inline constexpr std::string_view kTable = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/table";
inline constexpr std::string_view kQueryTable = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/queryTable";
inline constexpr std::string_view kConnections = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/connections";
inline constexpr std::string_view kPivotTable = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/pivotTable";
inline constexpr std::string_view kPivotCacheDefinition =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/pivotCacheDefinition";
inline constexpr std::string_view kPivotCacheRecords =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/pivotCacheRecords";
inline constexpr std::string_view kChart = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/chart";
inline constexpr std::string_view kChartUserShapes =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/chartUserShapes";
inline constexpr std::string_view kImage = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/image";
inline constexpr std::string_view kExternalLink = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/externalLink";
inline constexpr std::string_view kExternalLinkPath =
    "http://schemas.openxmlformats.org/officeDocument/2006/relationships/externalLinkPath";
inline constexpr std::string_view kSheetMetadata = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/sheetMetadata";
inline constexpr std::string_view kThreadedComment = "http://schemas.microsoft.com/office/2017/10/relationships/threadedComment";
inline constexpr std::string_view kPerson = "http://schemas.microsoft.com/office/2017/10/relationships/person";
inline constexpr std::string_view kSlicer = "http://schemas.microsoft.com/office/2007/relationships/slicer";
inline constexpr std::string_view kTimeline = "http://schemas.microsoft.com/office/2011/relationships/timeline";
} // namespace rel_type

struct Relationship {
    std::string id;
    std::string type;
    std::string target;  // as written
    bool external = false;
};

// The relationships of one part (or of the package, whose source is "/"). Targets resolve
// against the source part's folder; absolute targets are accepted too.
class Relationships {
public:
    // An empty set for a part that has no relationships part.
    explicit Relationships(std::string sourcePart);
    void load(std::string_view xml, const std::string& file);

    const std::string& sourcePart() const { return source_; }
    // The part name of the relationships part itself, e.g. "/xl/_rels/workbook.xml.rels".
    std::string partName() const;
    const std::vector<Relationship>& all() const { return rels_; }
    const Relationship* byId(std::string_view id) const;
    const Relationship* firstOfType(std::string_view type) const;
    // The absolute part name a relationship points at ("/xl/worksheets/sheet1.xml").
    std::string resolve(const Relationship& r) const;
    // A target written relative to the source part's folder for the part `partName`
    // ("sheet2.xml", "../drawings/drawing3.xml").
    std::string relativeTarget(std::string_view partName) const;

    // Adds a relationship with a fresh id ("rIdN") and returns the id.
    std::string add(std::string_view type, std::string_view target);
    // Adds a relationship to a target outside the package under a given id (an id that is
    // taken is left as it is and false returned).
    bool addExternal(std::string_view id, std::string_view type, std::string_view target);
    // Adds a relationship under a given id, inside or outside the package; false when the id
    // is taken.
    bool addWithId(std::string_view id, std::string_view type, std::string_view target, bool external);
    void remove(std::string_view id);
    // Keeps `add` from giving out an id that the source part names with no relationship
    // behind it: the name must not come to mean a part added later.
    void reserve(std::string_view id) { reserved_.emplace_back(id); }

    bool modified() const { return modified_; }
    void markSaved() { modified_ = false; }
    bool empty() const { return rels_.empty(); }
    std::string serialize() const;

private:
    std::string source_;
    pugi::xml_document doc_;
    std::string prefix_;
    std::vector<Relationship> rels_;
    std::vector<std::string> reserved_;
    bool modified_ = false;
};

// "/a/b/../c/./d.xml" -> "/a/c/d.xml"; never climbs above the root.
std::string normalisePartName(std::string_view path);

} // namespace tessaro::xlsx
