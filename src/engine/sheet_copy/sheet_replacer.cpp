// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/sheet_copier.h"

#include "engine/opc/relationships.h"
#include "engine/sml/formula_refs.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/workbook.h"
#include "engine/xml/xml_dom.h"
#include "platform/engine_error.h"

#include <pugixml.hpp>

#include <algorithm>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// Folded part name -> the name as the package spells it.
using PartSet = std::map<std::string, std::string>;

// Every part `from` leads to through relationships inside the package, `from` included.
void reach(Package& package, const std::string& from, PartSet& seen)
{
    std::vector<std::string> todo{from};
    while (!todo.empty()) {
        const std::string part = std::move(todo.back());
        todo.pop_back();
        if (!seen.emplace(foldAscii(part), part).second)
            continue;
        if (part != "/" && !package.hasPart(part))
            continue;
        Relationships& rels = package.relationships(part);
        for (const Relationship& r : rels.all())
            if (!r.external)
                todo.push_back(rels.resolve(r));
    }
}

std::vector<std::string> partsOfType(Package& package, const PartSet& parts, std::string_view relType,
                                     std::string_view fromType = {})
{
    std::vector<std::string> out;
    for (const auto& [key, part] : parts) {
        if (part == "/" || !package.hasPart(part))
            continue;
        if (!fromType.empty() && package.contentTypes().typeOf(part).value_or("") != fromType)
            continue;
        Relationships& rels = package.relationships(part);
        for (const Relationship& r : rels.all())
            if (!r.external && r.type == relType)
                out.push_back(rels.resolve(r));
    }
    return out;
}

constexpr std::string_view kPivotTableType = "application/vnd.openxmlformats-officedocument.spreadsheetml.pivotTable+xml";

// What a removed sheet leaves behind for the rest of the workbook to mend.
struct Removed {
    std::vector<std::string> tables; // names of the tables it had
    std::vector<std::string> pivots; // names of its pivot tables
};

// The names of the pivot tables a sheet part has.
std::vector<std::string> pivotTableNames(Workbook& book, const std::string& sheetPart)
{
    std::vector<std::string> names;
    Package& package = book.package();
    if (!package.hasPart(sheetPart))
        return names;
    Relationships& rels = package.relationships(sheetPart);
    for (const Relationship& r : rels.all()) {
        if (r.external || r.type != rel_type::kPivotTable)
            continue;
        const std::string part = rels.resolve(r);
        if (!package.hasPart(part))
            continue;
        pugi::xml_document doc;
        loadXml(doc, package.readPart(part), book.displayPath(), part.substr(1));
        names.emplace_back(doc.document_element().attribute("name").value());
    }
    return names;
}

const char* kindName(SheetKind kind)
{
    switch (kind) {
    case SheetKind::Worksheet:
        return "worksheet";
    case SheetKind::Chartsheet:
        return "chartsheet";
    case SheetKind::Dialogsheet:
        return "dialog sheet";
    case SheetKind::Macrosheet:
        return "macro sheet";
    case SheetKind::Other:
        break;
    }
    return "sheet of another kind";
}

// The parts the sheet leads to, itself included. Slicers and timelines are tied to the
// workbook's caches by sheet ids and names that removing the sheet would leave dangling: such
// a sheet is not replaced.
PartSet removableParts(Workbook& book, const SheetEntry& old)
{
    PartSet own;
    if (!old.usable())
        return own;
    Package& package = book.package();
    reach(package, old.part, own);
    for (const auto& [key, part] : own) {
        if (part == "/" || !package.hasPart(part))
            continue;
        for (const Relationship& r : package.relationships(part).all())
            if (r.type == rel_type::kSlicer || r.type == rel_type::kTimeline)
                throw EngineError(ErrorCode::PartUnsupported, book.displayPath(),
                                  fmt::format("its sheet \"{}\" has slicers or timelines, which a replacement "
                                              "cannot take out",
                                              old.name));
    }
    return own;
}

// Takes the sheet at `position` out of the workbook with every part only it used: its own
// part, drawings, pictures, charts, comments, tables, pivot tables (and their caches when
// no other pivot table reads them), controls and printer settings, each with its
// relationships and content type (`own`: what removableParts found). Parts something else
// still reaches stay.
Removed removeSheet(Workbook& book, std::size_t position, const PartSet& own)
{
    Package& package = book.package();
    const SheetEntry old = book.workbookPart().sheets()[position];

    Removed removed;
    for (const TableFacts& t : book.tables())
        if (foldAscii(t.sheetPart) == foldAscii(old.part))
            removed.tables.push_back(t.name);
    if (old.usable())
        removed.pivots = pivotTableNames(book, old.part);

    Relationships& bookRels = package.relationships(book.workbookPartName());
    book.workbookPart().removeSheet(position);
    if (!old.relId.empty() && bookRels.byId(old.relId))
        bookRels.remove(old.relId);

    // A pivot cache goes with the last pivot table that reads it.
    PartSet rest;
    reach(package, "/", rest);
    std::set<std::string> stillRead;
    for (const std::string& cache : partsOfType(package, rest, rel_type::kPivotCacheDefinition, kPivotTableType))
        stillRead.insert(foldAscii(cache));
    std::set<std::string> ownCaches;
    for (const std::string& cache : partsOfType(package, own, rel_type::kPivotCacheDefinition, kPivotTableType))
        ownCaches.insert(foldAscii(cache));
    bool droppedCache = false;
    for (const auto& [cacheId, relId] : book.workbookPart().pivotCaches()) {
        const Relationship* r = bookRels.byId(relId);
        if (!r || r->external)
            continue;
        const std::string part = foldAscii(bookRels.resolve(*r));
        if (ownCaches.contains(part) && !stillRead.contains(part)) {
            book.workbookPart().removePivotCache(relId);
            bookRels.remove(relId);
            droppedCache = true;
        }
    }
    if (droppedCache) {
        rest.clear();
        reach(package, "/", rest);
    }

    std::set<std::string> gone;
    for (const auto& [key, part] : own) {
        if (rest.contains(key) || part == "/")
            continue;
        package.removeRelationships(part);
        if (package.hasPart(part))
            package.removePart(part);
        package.contentTypes().removeOverride(part);
        gone.insert(key);
    }
    book.forgetRemovedSheet(old.part, gone);
    book.dropCalculationChain();
    return removed;
}

// Turns references to tables that are gone into #REF!, as deleting a table does.
class DeadTables final : public FormulaRules {
public:
    explicit DeadTables(const std::set<std::string>& folded) : dead_(folded) {}
    std::optional<std::string> prefix(const PrefixedReference&) override { return std::nullopt; }
    std::optional<std::string> table(std::string_view name, std::string_view) override { return dead(name); }
    std::optional<std::string> name(std::string_view name) override { return dead(name); }

private:
    std::optional<std::string> dead(std::string_view name) const
    {
        if (dead_.contains(foldSheetName(name)))
            return std::string("#REF!");
        return std::nullopt;
    }
    const std::set<std::string>& dead_;
};

bool mentionsAny(std::string_view text, const std::set<std::string>& folded)
{
    const std::string lower = foldSheetName(text);
    return std::any_of(folded.begin(), folded.end(), [&](const std::string& n) { return lower.find(n) != std::string::npos; });
}

// Where a formula element sits, for the note: the cell, or the kind of rule.
std::string placeOf(pugi::xml_node formula)
{
    const pugi::xml_node parent = formula.parent();
    if (localNameOf(parent.name()) == "c")
        return parent.attribute("r").value();
    for (pugi::xml_node n = parent; n; n = n.parent()) {
        const std::string_view local = localNameOf(n.name());
        if (local == "dataValidation")
            return fmt::format("the data validation of {}", n.attribute("sqref").value());
        if (local == "conditionalFormatting")
            return fmt::format("the conditional format of {}", n.attribute("sqref").value());
    }
    return "a formula";
}

// Every formula of the workbook's other sheets and names that reads a table the replaced
// sheet took with it now reads #REF!; each place is noted.
void breakDeadTableReferences(Workbook& book, const std::vector<std::string>& tables, std::uint32_t copy,
                              std::vector<std::string>* notes)
{
    std::set<std::string> dead;
    for (const std::string& t : tables)
        if (!book.tableNamed(t))
            dead.insert(foldSheetName(t));
    if (dead.empty())
        return;
    DeadTables rules(dead);
    bool changed = false;
    auto note = [&](const std::string& where) {
        if (notes)
            notes->push_back(where + " read a table of the replaced sheet that the new sheet does not have, and now "
                                     "shows #REF!");
    };
    for (const SheetEntry& s : book.workbookPart().sheets()) {
        if (s.handle == copy || s.kind != SheetKind::Worksheet || !s.usable())
            continue;
        std::string text = book.package().readPart(s.part);
        if (!mentionsAny(text, dead))
            continue;
        pugi::xml_document doc;
        loadXml(doc, text, book.displayPath(), s.part.substr(1));
        text.clear();
        std::vector<std::string> places;
        for (pugi::xpath_node x : doc.select_nodes("//*[local-name()='f' or local-name()='formula' or "
                                                   "local-name()='formula1' or local-name()='formula2']")) {
            pugi::xml_node f = x.node();
            if (auto translated = translateFormula(f.text().get(), rules)) {
                f.text().set(translated->c_str());
                places.push_back(placeOf(f));
            }
        }
        if (places.empty())
            continue;
        book.package().putPart(s.part, saveXml(doc));
        changed = true;
        const std::size_t shown = std::min<std::size_t>(places.size(), 10);
        std::string list;
        for (std::size_t i = 0; i < shown; ++i)
            list += (i ? ", " : "") + places[i];
        if (places.size() > shown)
            list += fmt::format(" and {} more", places.size() - shown);
        note(fmt::format("\"{}\": {}", s.name, list));
    }
    for (const DefinedNameEntry& n : book.workbookPart().definedNames()) {
        if (auto translated = translateFormula(n.text, rules)) {
            book.workbookPart().setNameText(n.node, *translated);
            changed = true;
            note(fmt::format("the name \"{}\"", n.name));
        }
    }
    if (changed)
        book.workbookPart().calculateOnLoad();
}

// The tab of a hidden sheet cannot be the active one: as when the active sheet is hidden,
// the next shown sheet (else the one before) becomes active and selected.
void activateNearestShown(Workbook& book, std::size_t position)
{
    const auto& sheets = book.workbookPart().sheets();
    std::optional<std::size_t> chosen;
    for (std::size_t i = position + 1; i < sheets.size() && !chosen; ++i)
        if (sheets[i].state == "visible" && sheets[i].usable())
            chosen = i;
    for (std::size_t i = position; i-- > 0 && !chosen;)
        if (sheets[i].state == "visible" && sheets[i].usable())
            chosen = i;
    if (!chosen)
        return;
    book.workbookPart().setActiveTab(*chosen);
    // The first view of the sheet is the one the first window shows.
    const std::string& part = sheets[*chosen].part;
    std::string text = book.package().readPart(part);
    static const std::regex view(R"(<([A-Za-z_][\w.\-]*:)?sheetView(?=[\s/>]))");
    std::smatch m;
    if (!std::regex_search(text, m, view))
        return;
    const std::size_t nameEnd = static_cast<std::size_t>(m.position(0) + m.length(0));
    const std::size_t tagEnd = text.find('>', nameEnd);
    if (tagEnd == std::string::npos)
        return;
    const std::string tag = text.substr(nameEnd, tagEnd - nameEnd);
    static const std::regex selected(R"(\stabSelected\s*=\s*("[^"]*"|'[^']*'))");
    std::smatch sm;
    if (std::regex_search(tag, sm, selected))
        text.replace(nameEnd + static_cast<std::size_t>(sm.position(0)), static_cast<std::size_t>(sm.length(0)),
                     " tabSelected=\"1\"");
    else
        text.insert(nameEnd, " tabSelected=\"1\"");
    book.package().putPart(part, std::move(text));
}

// A pivot chart names its pivot table as "[file]Sheet!Name". One whose pivot table went with
// the replaced sheet, and that the new sheet does not bring, becomes a plain chart of the
// data it shows, as a pivot chart does when its pivot table is deleted.
void unpivotChartsOf(Workbook& book, const std::string& sheetName, const std::vector<std::string>& oldPivots,
                     std::uint32_t copy, std::vector<std::string>* notes)
{
    if (oldPivots.empty())
        return;
    std::set<std::string> dead;
    for (const std::string& n : oldPivots)
        dead.insert(foldSheetName(n));
    for (const SheetEntry& s : book.workbookPart().sheets())
        if (s.handle == copy)
            for (const std::string& n : pivotTableNames(book, s.part))
                dead.erase(foldSheetName(n));
    if (dead.empty())
        return;
    Package& package = book.package();
    for (const std::string& part : package.partNames()) {
        if (package.contentTypes().typeOf(part).value_or("") !=
            "application/vnd.openxmlformats-officedocument.drawingml.chart+xml")
            continue;
        std::string text = package.readPart(part);
        if (text.find("pivotSource") == std::string::npos)
            continue;
        pugi::xml_document doc;
        loadXml(doc, text, book.displayPath(), part.substr(1));
        pugi::xml_node space = doc.document_element();
        pugi::xml_node source;
        for (pugi::xml_node n = space.first_child(); n; n = n.next_sibling())
            if (localNameOf(n.name()) == "pivotSource")
                source = n;
        if (!source)
            continue;
        std::string name;
        for (pugi::xml_node n = source.first_child(); n; n = n.next_sibling())
            if (localNameOf(n.name()) == "name")
                name = n.text().get();
        const std::size_t bang = name.rfind('!');
        if (bang == std::string::npos)
            continue;
        std::string sheet = name.substr(0, bang);
        if (const std::size_t close = sheet.rfind(']'); close != std::string::npos)
            sheet = sheet.substr(close + 1);
        if (sheet.size() >= 2 && sheet.front() == '\'' && sheet.back() == '\'')
            sheet = sheet.substr(1, sheet.size() - 2);
        const std::string pivot = name.substr(bang + 1);
        if (!sameSheetName(sheet, sheetName) || !dead.contains(foldSheetName(pivot)))
            continue;
        space.remove_child(source);
        for (pugi::xml_node chart = space.first_child(); chart; chart = chart.next_sibling()) {
            if (localNameOf(chart.name()) != "chart")
                continue;
            for (pugi::xml_node n = chart.first_child(); n;) {
                pugi::xml_node next = n.next_sibling();
                if (localNameOf(n.name()) == "pivotFmts")
                    chart.remove_child(n);
                n = next;
            }
        }
        for (pugi::xpath_node x : doc.select_nodes("//*[local-name()='ext'][*[local-name()='pivotOptions']]"))
            x.node().parent().remove_child(x.node());
        package.putPart(part, saveXml(doc));
        if (notes)
            notes->push_back(fmt::format("a pivot chart of the pivot table \"{}\" keeps the data it showed as a plain "
                                         "chart, since that pivot table went with the replaced sheet",
                                         pivot));
    }
}

// A worksheet source with a relationship id reads a sheet of another workbook.
bool readsAnotherFile(pugi::xml_node worksheetSource)
{
    for (pugi::xml_attribute a = worksheetSource.first_attribute(); a; a = a.next_attribute())
        if (localNameOf(a.name()) == "id")
            return true;
    return false;
}

// Pivot caches that read the replaced sheet describe its old data: they are refreshed when
// the workbook is next opened.
void refreshCachesReading(Workbook& book, const std::string& sheetName)
{
    Package& package = book.package();
    Relationships& rels = package.relationships(book.workbookPartName());
    for (const auto& [cacheId, relId] : book.workbookPart().pivotCaches()) {
        const Relationship* r = rels.byId(relId);
        if (!r || r->external)
            continue;
        const std::string part = rels.resolve(*r);
        if (!package.hasPart(part))
            continue;
        pugi::xml_document doc;
        loadXml(doc, package.readPart(part), book.displayPath(), part.substr(1));
        pugi::xml_node root = doc.document_element();
        bool reads = false;
        for (pugi::xml_node source = root.first_child(); source; source = source.next_sibling()) {
            if (localNameOf(source.name()) != "cacheSource")
                continue;
            for (pugi::xml_node w = source.first_child(); w; w = w.next_sibling())
                if (localNameOf(w.name()) == "worksheetSource" && !readsAnotherFile(w) &&
                    sameSheetName(w.attribute("sheet").value(), sheetName))
                    reads = true;
        }
        if (!reads || std::string_view(root.attribute("refreshOnLoad").value()) == "1")
            continue;
        if (!root.attribute("refreshOnLoad"))
            root.append_attribute("refreshOnLoad");
        root.attribute("refreshOnLoad").set_value("1");
        package.putPart(part, saveXml(doc));
    }
}

} // namespace

SheetReplacement replaceSheet(Workbook& source, std::uint32_t handle, Workbook& destination,
                              const SheetCopyOptions& options)
{
    const long srcIndex = source.workbookPart().indexOf(handle);
    if (srcIndex < 0)
        throw EngineError(ErrorCode::SheetIndexOutOfRange, source.displayPath(), "the sheet is no longer there");
    const SheetEntry entry = source.workbookPart().sheets()[static_cast<std::size_t>(srcIndex)];
    if (!destination.unfitToSave().empty())
        throw EngineError(ErrorCode::SaveFailed, destination.displayPath(), destination.unfitToSave());
    const long at = destination.workbookPart().indexOfName(entry.name);
    if (at < 0) {
        const std::size_t end = destination.workbookPart().sheets().size();
        return {copySheet(source, handle, destination, end, options), end, false};
    }
    const std::size_t position = static_cast<std::size_t>(at);
    const SheetEntry old = destination.workbookPart().sheets()[position];
    if (&source == &destination || source.package().fileIdentity() == destination.package().fileIdentity())
        throw EngineError(ErrorCode::ReplaceItself, destination.displayPath(), fmt::format("\"{}\"", entry.name));
    if (!old.usable())
        throw EngineError(old.faultCode, destination.displayPath(), old.fault);
    if (old.kind != entry.kind)
        throw EngineError(ErrorCode::ReplaceOtherKind, destination.displayPath(),
                          fmt::format("\"{}\" is a {} there and a {} in {}", old.name, kindName(old.kind),
                                      kindName(entry.kind), source.displayPath()));
    checkCopyable(source, entry);
    const PartSet own = removableParts(destination, old);

    const bool active = destination.workbookPart().isActiveTab(position);
    const bool shown = entry.state.empty() || entry.state == "visible";
    // From here the destination is changed in memory before the copy is made; a copy that
    // fails leaves it unfit to be saved, and the caller closes it unsaved.
    destination.setUnfitToSave("a sheet replacement failed halfway");
    const Removed removed = removeSheet(destination, position, own);
    const std::uint32_t copy = copySheetAs(source, handle, destination, position, old.name, active && shown, options);
    if (active && shown)
        destination.workbookPart().setActiveTab(position);
    else if (active)
        activateNearestShown(destination, position);
    breakDeadTableReferences(destination, removed.tables, copy, options.notes);
    unpivotChartsOf(destination, old.name, removed.pivots, copy, options.notes);
    refreshCachesReading(destination, old.name);
    destination.setUnfitToSave({});
    return {copy, position, true};
}

} // namespace tessaro::xlsx
