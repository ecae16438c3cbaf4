// SPDX-License-Identifier: MIT
// The parts of the destination workbook a copy adds to rather than carries: cell metadata,
// connections and persons.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/cell_metadata.h"
#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/styles.h"
#include "engine/xml/xml_dom.h"

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

using session::fold;
using session::forEachElement;
using session::workbookLevelPart;

constexpr std::string_view kThreadedNs = "http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments";

} // namespace

std::unique_ptr<pugi::xml_document> session::workbookLevelPart(Workbook& book, std::string_view relType)
{
    auto doc = std::make_unique<pugi::xml_document>();
    Relationships& rels = book.package().relationships(book.workbookPartName());
    if (const Relationship* r = rels.firstOfType(relType)) {
        std::string part = rels.resolve(*r);
        if (book.package().hasPart(part))
            loadXml(*doc, book.package().readPart(part), book.displayPath(), part.substr(1));
    }
    return doc;
}

// ---------------------------------------------------------------- cell metadata

std::size_t CopySession::cellMetadata(std::size_t cm)
{
    if (auto it = cellMetadata_.find(cm); it != cellMetadata_.end())
        return it->second;
    cellMetadata_[cm] = 0;
    if (!sourceMetadata_)
        sourceMetadata_ = workbookLevelPart(src_, rel_type::kSheetMetadata);
    auto record = dynamicArrayRecord(sourceMetadata_->document_element(), cm);
    if (!record)
        return 0;
    LoadedPart& part = metadataPart();
    std::size_t mapped = mergeDynamicArrayRecord(part.doc.document_element(), *record);
    part.changed = true;
    cellMetadata_[cm] = mapped;
    return mapped;
}

CopySession::LoadedPart& CopySession::metadataPart()
{
    if (!metadata_)
        metadata_.reset(destinationPart(rel_type::kSheetMetadata, dirOfWorkbook(dst_) + "metadata.xml",
                                        fmt::format("<metadata xmlns=\"{}\"/>", ns::kMain)));
    return *metadata_;
}

std::string CopySession::metadataSignature() const
{
    // Dynamic arrays map to the destination's one record for them, whose number depends on
    // the destination only through what it already holds.
    if (same_)
        return {};
    std::string s = "m";
    Workbook& d = dst_;
    Relationships& rels = d.package().relationships(d.workbookPartName());
    if (const Relationship* r = rels.firstOfType(rel_type::kSheetMetadata))
        s += d.package().partIdentity(rels.resolve(*r));
    return s;
}

CopySession::LoadedPart* CopySession::destinationPart(std::string_view relType, std::string_view model, std::string_view rootXml)
{
    auto lp = std::make_unique<LoadedPart>();
    Relationships& rels = dst_.package().relationships(dst_.workbookPartName());
    const Relationship* r = rels.firstOfType(relType);
    if (r && dst_.package().hasPart(rels.resolve(*r))) {
        lp->part = rels.resolve(*r);
        loadXml(lp->doc, dst_.package().readPart(lp->part), dst_.displayPath(), lp->part.substr(1));
    } else {
        lp->part = dst_.reservePartName(model);
        lp->created = true;
        std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n" + std::string(rootXml);
        loadXml(lp->doc, xml, dst_.displayPath(), lp->part.substr(1));
    }
    return lp.release();
}

long CopySession::copyConnection(long id)
{
    if (!sourceConnections_) {
        sourceConnections_ = workbookLevelPart(src_, rel_type::kConnections);
    }
    pugi::xml_node sroot = sourceConnections_->document_element();
    pugi::xml_node conn;
    for (pugi::xml_node c = sroot.first_child(); c; c = c.next_sibling())
        if (localNameOf(c.name()) == "connection" && c.attribute("id").as_llong(-1) == id)
            conn = c;
    if (!conn)
        return -1;
    if (!connections_)
        connections_.reset(destinationPart(rel_type::kConnections, dirOfWorkbook(dst_) + "connections.xml",
                                           fmt::format("<connections xmlns=\"{}\"/>", ns::kMain)));
    pugi::xml_node droot = connections_->doc.document_element();
    NsNames dn = NsNames::of(droot, ns::kMain).value_or(NsNames(""));
    long next = 1;
    std::set<std::string> names;
    for (pugi::xml_node c = droot.first_child(); c; c = c.next_sibling()) {
        if (!dn.names(c, "connection"))
            continue;
        next = std::max(next, static_cast<long>(c.attribute("id").as_llong(0)) + 1);
        names.insert(fold(c.attribute("name").value()));
    }
    std::string sprefix = NsNames::of(sroot, ns::kMain).value_or(NsNames("")).prefix();
    pugi::xml_node before;
    for (pugi::xml_node c = droot.first_child(); c; c = c.next_sibling())
        if (c.type() == pugi::node_element && !dn.names(c, "connection")) {
            before = c;  // extLst stays last
            break;
        }
    pugi::xml_node copy = copyElement(droot, conn, sprefix, dn.prefix(), before);
    copy.attribute("id").set_value(next);
    std::string name = copy.attribute("name").value();
    for (int k = 2; names.count(fold(name)); ++k)
        name = fmt::format("{} ({})", copy.attribute("name").value(), k);
    copy.attribute("name").set_value(name.c_str());
    // A query parameter that reads a cell reads the copy's cell; one that read another
    // sheet of the source asks for its value instead.
    forEachElement(copy, [&](pugi::xml_node n) {
        if (localNameOf(n.name()) != "parameter")
            return;
        pugi::xml_attribute cell = n.attribute("cell");
        if (!cell)
            return;
        place_ = "a query parameter";
        std::string t = translated(cell.value());
        if (t.find('[') != std::string::npos) {
            n.remove_attribute(cell);
            if (pugi::xml_attribute type = n.attribute("parameterType"))
                type.set_value("prompt");
            else
                n.append_attribute("parameterType").set_value("prompt");
        } else {
            cell.set_value(t.c_str());
        }
    });
    connections_->changed = true;
    return next;
}

pugi::xml_node CopySession::sourcePersons()
{
    if (!sourcePersons_) {
        sourcePersons_ = workbookLevelPart(src_, rel_type::kPerson);
    }
    return sourcePersons_->document_element();
}

void CopySession::ensurePerson(const std::string& id)
{
    if (same_ || id.empty())
        return;
    if (!persons_)
        persons_.reset(destinationPart(
            rel_type::kPerson, dirOfWorkbook(dst_) + "persons/person.xml",
            fmt::format("<personList xmlns=\"{}\" xmlns:x=\"{}\"/>", kThreadedNs, ns::kMain)));
    pugi::xml_node droot = persons_->doc.document_element();
    for (pugi::xml_node p = droot.first_child(); p; p = p.next_sibling())
        if (localNameOf(p.name()) == "person" && id == p.attribute("id").value())
            return;
    pugi::xml_node sroot = sourcePersons();
    for (pugi::xml_node p = sroot.first_child(); p; p = p.next_sibling()) {
        if (localNameOf(p.name()) != "person" || id != p.attribute("id").value())
            continue;
        std::string_view qn = droot.name();
        std::string dprefix(qn.substr(0, qn.size() - localNameOf(droot.name()).size()));
        std::string_view sq = sroot.name();
        std::string sprefix(sq.substr(0, sq.size() - localNameOf(sroot.name()).size()));
        pugi::xml_node before;
        for (pugi::xml_node c = droot.first_child(); c; c = c.next_sibling())
            if (c.type() == pugi::node_element && localNameOf(c.name()) == "extLst")
                before = c;
        copyElement(droot, p, sprefix, dprefix, before);
        persons_->changed = true;
        return;
    }
}

} // namespace tessaro::xlsx
