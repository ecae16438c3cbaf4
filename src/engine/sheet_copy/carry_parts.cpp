// SPDX-License-Identifier: MIT
// Carrying the parts a sheet points at: which ones are copied, shared or left out, under
// what names, and which carrier edits each kind.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/styles.h"
#include "engine/xml/xml_dom.h"

namespace tessaro::xlsx {

using session::forEachElement;

namespace {

constexpr std::string_view kCtrlPropRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/ctrlProp";
constexpr std::string_view kDrawingTypePrefix = "application/vnd.openxmlformats-officedocument.drawing";

bool isMedia(const std::string& relType, const std::string& contentType)
{
    return relType == rel_type::kImage || contentType.rfind("image/", 0) == 0;
}

} // namespace

// ---------------------------------------------------------------- parts

std::string CopySession::sourceType(const std::string& part) const
{
    return src_.package().contentTypes().typeOf(part).value_or("application/octet-stream");
}

StyleMerger& CopySession::merger() { return dst_.mergerFrom(src_); }

void CopySession::carryParts()
{
    for (Relationship& r : sheetRels_) {
        if (r.external)
            continue;
        std::string carried = carry(r.target, r.type);
        r.target = carried;
    }
    std::erase_if(sheetRels_, [](const Relationship& r) { return !r.external && r.target.empty(); });
}

std::string CopySession::carry(const std::string& part, const std::string& relType)
{
    std::string key = foldAscii(part);
    if (auto it = carried_.find(key); it != carried_.end())
        return it->second;
    if (!src_.package().hasPart(part))
        return {};
    std::string type = sourceType(part);
    std::string identity;
    if (auto reused = reuseCarried(part, relType, type, identity)) {
        carried_[key] = *reused;
        return *reused;
    }
    NewPart np;
    np.name = dst_.reservePartName(part);
    np.type = type;
    // Recorded before the part's own relationships are followed, so that a cycle of
    // relationships ends here.
    carried_[key] = np.name;
    if (!identity.empty())
        sharedAfterCommit_[identity] = np.name;
    carryRelationships(part, np);
    if (std::optional<std::string> content = edited(part, relType, type, np))
        np.content = std::move(*content);
    else
        np.asStoredIn = part;
    parts_.push_back(std::move(np));
    return carried_[key];
}

// The part the copy can point at instead of a copy of its own, if any; `identity` is set
// for a picture that will be shared by later copies into the same workbook.
std::optional<std::string> CopySession::reuseCarried(const std::string& part, const std::string& relType,
                                                     const std::string& type, std::string& identity)
{
    // Pictures are never edited: a copy in the same workbook shows the same part, and
    // copies into another workbook share the first one carried there.
    if (isMedia(relType, type)) {
        if (same_)
            return part;
        identity = src_.package().partIdentity(part);
        if (auto it = dst_.sharedCopies().find(identity); it != dst_.sharedCopies().end() &&
                                                         dst_.package().hasPart(it->second))
            return it->second;
    }
    if (relType == rel_type::kPivotCacheDefinition && sharesPivotCache(part))
        return part;
    return std::nullopt;
}

void CopySession::carryRelationships(const std::string& part, NewPart& np)
{
    Relationships& rels = src_.package().relationships(part);
    for (const Relationship& r : rels.all()) {
        if (r.external) {
            np.rels.push_back(r);
            continue;
        }
        std::string child = carry(rels.resolve(r), r.type);
        if (child.empty())
            continue;
        Relationship c = r;
        c.target = child;
        np.rels.push_back(std::move(c));
    }
}

// The part's content as the copy needs it, edited by the carrier of its kind; nothing for a
// part that is not XML and that no carrier edits (a picture, a printer's settings, an embedded
// file), which is copied as the source stores it without being read.
std::optional<std::string> CopySession::edited(const std::string& part, const std::string& relType,
                                               const std::string& type, NewPart& np)
{
    const bool xml = type.find("xml") != std::string::npos || part.ends_with(".xml") || part.ends_with(".vml") ||
                     part.ends_with(".rels");
    std::string content;
    if (xml || relType == rel_type::kVmlDrawing || relType == rel_type::kComments)
        content = src_.package().readPart(part);
    bool editedHere = false;
    auto withDoc = [&](auto&& edit) {
        pugi::xml_document doc;
        loadXml(doc, content, src_.displayPath(), part.substr(1));
        edit(doc);
        content = saveXml(doc);
        editedHere = true;
    };
    if (relType == rel_type::kTable) {
        withDoc([&](pugi::xml_document& d) { processTable(d, np.name); });
    } else if (relType == rel_type::kQueryTable) {
        withDoc([&](pugi::xml_document& d) { processQueryTable(d); });
    } else if (relType == rel_type::kPivotTable) {
        withDoc([&](pugi::xml_document& d) { processPivotTable(d, np.rels); });
    } else if (relType == rel_type::kPivotCacheDefinition) {
        withDoc([&](pugi::xml_document& d) { processPivotCache(d, np.name, np); });
    } else if (relType == rel_type::kChart) {
        withDoc([&](pugi::xml_document& d) { processChart(d); });
    } else if (relType == rel_type::kDrawing || relType == rel_type::kChartUserShapes ||
               (type.rfind(kDrawingTypePrefix, 0) == 0 && type.find("xml") != std::string::npos &&
                type.find("vmlDrawing") == std::string::npos)) {
        withDoc([&](pugi::xml_document& d) { processDrawing(d); });
    } else if (relType == rel_type::kVmlDrawing) {
        content = processVml(std::move(content));
        editedHere = true;
    } else if (relType == rel_type::kThreadedComment) {
        withDoc([&](pugi::xml_document& d) { processThreaded(d); });
    } else if (relType == rel_type::kComments) {
        content = processComments(std::move(content));
        editedHere = true;
    } else if (relType == kCtrlPropRel) {
        withDoc([&](pugi::xml_document& d) { processControl(d); });
    }
    if (!editedHere && !xml)
        return std::nullopt;
    return content;
}

void CopySession::mapDifferentialFormats(pugi::xml_node root)
{
    if (same_)
        return;
    StyleMerger& m = merger();
    forEachElement(root, [&](pugi::xml_node n) {
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
            std::string_view an = a.name();
            if (an.size() < 5 || an.substr(an.size() - 5) != "dxfId" || an.find(':') != std::string_view::npos)
                continue;
            long v = a.as_llong(-1);
            if (v >= 0)
                a.set_value(static_cast<unsigned long long>(m.differentialFormat(static_cast<std::size_t>(v))));
        }
    });
}

} // namespace tessaro::xlsx
