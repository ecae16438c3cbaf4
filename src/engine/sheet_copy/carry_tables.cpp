// SPDX-License-Identifier: MIT
// Carriers of tables, query tables, pivot tables and pivot caches.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/styles.h"
#include "engine/xml/xml_dom.h"

#include <fmt/format.h>

namespace tessaro::xlsx {

using session::fold;
using session::forEachElement;

void CopySession::processTable(pugi::xml_document& doc, const std::string& newPart)
{
    pugi::xml_node t = doc.document_element();
    std::string display = t.attribute("displayName").value();
    if (display.empty())
        display = t.attribute("name").value();
    std::string fresh = tableRenames_.count(fold(display)) ? tableRenames_[fold(display)] : display;
    if (pugi::xml_attribute a = t.attribute("name"))
        a.set_value(fresh.c_str());
    if (pugi::xml_attribute a = t.attribute("displayName"))
        a.set_value(fresh.c_str());
    long id = nextTableId_++;
    if (pugi::xml_attribute a = t.attribute("id"))
        a.set_value(id);
    mapDifferentialFormats(t);
    TableFacts f;
    f.part = newPart;
    f.sheetPart = sheetPart_;
    f.name = f.displayName = fresh;
    f.id = id;
    f.ref = t.attribute("ref").value();
    place_ = "a table";
    forEachElement(t, [&](pugi::xml_node n) {
        std::string_view local = localNameOf(n.name());
        if (local == "calculatedColumnFormula" || local == "totalsRowFormula")
            translateText(n);
        else if (local == "tableStyleInfo" && !same_)
            merger().tableStyle(n.attribute("name").value());
        else if (local == "tableColumn")
            f.columns.emplace_back(n.attribute("name").value());
    });
    f.headerRows = t.attribute("headerRowCount") ? t.attribute("headerRowCount").as_int(1) : 1;
    f.totalsRows = t.attribute("totalsRowCount").as_int(0);
    newTables_.push_back(std::move(f));
}

void CopySession::processQueryTable(pugi::xml_document& doc)
{
    pugi::xml_node q = doc.document_element();
    pugi::xml_attribute id = q.attribute("connectionId");
    if (!id)
        return;
    long mapped = copyConnection(id.as_llong(-1));
    if (mapped > 0)
        id.set_value(mapped);
}

bool CopySession::sharesPivotCache(const std::string& part)
{
    if (!same_)
        return false;
    pugi::xml_document doc;
    loadXml(doc, src_.package().readPart(part), src_.displayPath(), part.substr(1));
    bool share = true;
    forEachElement(doc.document_element(), [&](pugi::xml_node n) {
        if (localNameOf(n.name()) != "worksheetSource")
            return;
        if (pugi::xml_attribute s = n.attribute("sheet"); s && sameSheetName(s.value(), entry_.name))
            share = false;
        if (pugi::xml_attribute nm = n.attribute("name"); nm && tableRenames_.count(fold(nm.value())))
            share = false;
    });
    return share;
}

void CopySession::processPivotTable(pugi::xml_document& doc, const std::vector<Relationship>& rels)
{
    pugi::xml_node root = doc.document_element();
    for (const Relationship& r : rels) {
        if (r.external || r.type != rel_type::kPivotCacheDefinition)
            continue;
        if (auto it = cacheIds_.find(r.target); it != cacheIds_.end())
            root.attribute("cacheId").set_value(it->second);
    }
    if (same_)
        return;
    mapDifferentialFormats(root);
    StyleMerger& m = merger();
    forEachElement(root, [&](pugi::xml_node n) {
        if (pugi::xml_attribute f = n.attribute("numFmtId"))
            f.set_value(m.numberFormatId(f.as_llong(0)));
        if (localNameOf(n.name()) == "pivotTableStyleInfo")
            m.tableStyle(n.attribute("name").value());
    });
}

std::optional<std::string> CopySession::pivotSourceElsewhere(const std::string& pivotPart)
{
    Package& pkg = src_.package();
    Relationships& rels = pkg.relationships(pivotPart);
    for (const Relationship& r : rels.all()) {
        if (r.external || r.type != rel_type::kPivotCacheDefinition)
            continue;
        const std::string cachePart = rels.resolve(r);
        if (!pkg.hasPart(cachePart))
            continue;
        pugi::xml_document doc;
        loadXml(doc, pkg.readPart(cachePart), src_.displayPath(), cachePart.substr(1));
        std::optional<std::string> found;
        forEachElement(doc.document_element(), [&](pugi::xml_node n) {
            if (found || localNameOf(n.name()) != "worksheetSource")
                return;
            for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
                if (std::string_view(a.name()).size() > 3 && localNameOf(a.name()) == "id")
                    return;  // another workbook's data, read from there whatever the choice
            if (pugi::xml_attribute sheet = n.attribute("sheet")) {
                if (!sameSheetName(sheet.value(), entry_.name))
                    found = sheet.value();
            } else if (pugi::xml_attribute name = n.attribute("name")) {
                const TableFacts* t = src_.tableNamed(name.value());
                if (t ? t->sheetPart != entry_.part : readsOtherSheets(name.value()))
                    found = name.value();
            }
        });
        return found;
    }
    return std::nullopt;
}

void CopySession::processPivotCache(pugi::xml_document& doc, const std::string& newPart, NewPart& part)
{
    long cacheId = dst_.nextPivotCacheId();
    cacheIds_[newPart] = cacheId;
    newCaches_.emplace_back(cacheId, newPart);
    pugi::xml_node root = doc.document_element();
    auto relNs = NsNames::of(root, ns::kOfficeRels);
    forEachElement(root, [&](pugi::xml_node n) {
        if (pugi::xml_attribute f = n.attribute("numFmtId"); f && !same_)
            f.set_value(merger().numberFormatId(f.as_llong(0)));
        // The id by which slicers find a cache; no slicer travels, and the source's cache
        // keeps it.
        if (n != root && localNameOf(n.name()) == "pivotCacheDefinition")
            n.remove_attribute("pivotCacheId");
        if (localNameOf(n.name()) != "worksheetSource")
            return;
        bool external = false;
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute())
            if (std::string_view(a.name()).size() > 3 && localNameOf(a.name()) == "id")
                external = true;
        if (external)
            return;  // already another book's data; its link travelled with the part
        pugi::xml_attribute sheet = n.attribute("sheet");
        pugi::xml_attribute name = n.attribute("name");
        bool elsewhere = false;
        if (sheet) {
            if (sameSheetName(sheet.value(), entry_.name))
                sheet.set_value(copyName_.c_str());
            else
                elsewhere = !same_;
        } else if (name) {
            if (auto it = tableRenames_.find(fold(name.value())); it != tableRenames_.end())
                name.set_value(it->second.c_str());
            else
                elsewhere = !same_;
        }
        if (!elsewhere)
            return;
        if (options_.links == SheetLinks::Destination) {
            place_ = "a pivot table's source";
            if (!sheet) {
                noteFallback(name.value(), "since only a sheet's range can be read there");
            } else if (auto local = destinationSheet(sheet.value())) {
                sheet.set_value(local->c_str());
                return;
            } else {
                noteFallback(sheet.value(), "since this workbook has no sheet of that name");
            }
        }
        // The data stay in the source workbook: the cache reads them from that file.
        std::string id = "rId1";
        for (int k = 1;; ++k) {
            id = fmt::format("rId{}", k);
            bool taken = false;
            for (const Relationship& r : part.rels)
                taken = taken || r.id == id;
            if (!taken)
                break;
        }
        part.rels.push_back(Relationship{id, std::string(rel_type::kExternalLinkPath), fileUrl(src_.origin()), true});
        std::string prefix = relNs ? relNs->prefix() : std::string();
        if (prefix.empty()) {
            n.append_attribute("xmlns:r").set_value(std::string(ns::kOfficeRels).c_str());
            prefix = "r:";
        }
        n.append_attribute((prefix + "id").c_str()).set_value(id.c_str());
    });
}

} // namespace tessaro::xlsx
