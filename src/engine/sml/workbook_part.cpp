// SPDX-License-Identifier: MIT
#include "engine/sml/workbook_part.h"

#include "platform/engine_error.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/styles.h"

#include <algorithm>
#include <cstdlib>
#include <set>
#include <stdexcept>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

constexpr std::string_view kWorkbookOrder[] = {
    "fileVersion", "fileSharing", "workbookPr", "workbookProtection", "bookViews", "sheets", "functionGroups",
    "externalReferences", "definedNames", "calcPr", "oleSize", "customWorkbookViews", "pivotCaches",
    "smartTagPr", "smartTagTypes", "webPublishing", "fileRecoveryPr", "webPublishObjects", "extLst"};

// The relationship id of an element, whatever prefix binds the relationships namespace
// and wherever it is declared (some writers declare it on every sheet element).
std::string relationshipIdOf(pugi::xml_node n)
{
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
        std::string_view name = a.name();
        std::size_t colon = name.find(':');
        if (colon == std::string_view::npos || name.substr(colon + 1) != "id")
            continue;
        std::string_view prefix = name.substr(0, colon);
        if (prefix == "xmlns")
            continue;
        auto uri = namespaceOf(n, prefix);
        if (uri && (*uri == ns::kOfficeRels || *uri == ns::kStrictOfficeRels))
            return a.value();
    }
    return {};
}

SheetKind kindOf(std::string_view type)
{
    if (type == rel_type::kWorksheet)
        return SheetKind::Worksheet;
    if (type == rel_type::kChartsheet)
        return SheetKind::Chartsheet;
    if (type == rel_type::kDialogsheet)
        return SheetKind::Dialogsheet;
    if (type == rel_type::kMacrosheet || type == rel_type::kIntlMacrosheet)
        return SheetKind::Macrosheet;
    return SheetKind::Other;
}

} // namespace

void WorkbookPart::load(std::string_view xml, const std::string& file, const std::string& part,
                        const Relationships& rels, const std::function<bool(const std::string&)>& partExists)
{
    loadXml(doc_, xml, file, part);
    pugi::xml_node root = doc_.document_element();
    if (localNameOf(root.name()) != "workbook")
        throw EngineError(ErrorCode::WorkbookInvalid, file, part + " is not a workbook part");
    auto names = NsNames::of(root, ns::kMain);
    if (!names || !names->names(root, "workbook"))
        throw EngineError(ErrorCode::WorkbookInvalid, file, part + " is not a workbook part");
    n_ = *names;
    auto r = NsNames::of(root, ns::kOfficeRels);
    relPrefix_ = r ? r->prefix() : std::string();
    sheetsNode_ = root.child(n_("sheets").c_str());
    if (!sheetsNode_)
        throw EngineError(ErrorCode::WorkbookInvalid, file, "it has no list of sheets");
    sheets_.clear();
    std::set<std::string> seen;
    for (pugi::xml_node s = sheetsNode_.first_child(); s; s = s.next_sibling()) {
        if (!n_.names(s, "sheet"))
            continue;
        SheetEntry e;
        e.handle = nextHandle_++;
        e.node = s;
        e.name = s.attribute("name").value();
        e.relId = relationshipIdOf(s);
        std::string_view state = s.attribute("state").value();
        e.state = state.empty() ? "visible" : std::string(state);
        if (e.name.empty())
            throw EngineError(ErrorCode::WorkbookInvalid, file, "a sheet has no name");
        if (!seen.insert(foldSheetName(e.name)).second)
            throw EngineError(ErrorCode::WorkbookInvalid, file, fmt::format("two sheets are named \"{}\"", e.name));
        const Relationship* rel = e.relId.empty() ? nullptr : rels.byId(e.relId);
        if (e.relId.empty()) {
            e.fault = fmt::format("the sheet \"{}\" names no relationship", e.name);
        } else if (!rel) {
            e.fault = fmt::format("the sheet \"{}\" points at a relationship that does not exist", e.name);
        } else if (rel->external) {
            e.fault = fmt::format("the sheet \"{}\" points outside the workbook", e.name);
        } else if (std::string target = rels.resolve(*rel); !partExists(target)) {
            e.fault = fmt::format("{} (sheet \"{}\")", target.substr(1), e.name);
            e.faultCode = ErrorCode::PartMissing;
        } else {
            e.part = std::move(target);
            e.kind = kindOf(rel->type);
        }
        sheets_.push_back(std::move(e));
    }
    if (sheets_.empty())
        throw EngineError(ErrorCode::WorkbookInvalid, file, "it has no sheets");
    modified_ = false;
}

long WorkbookPart::indexOf(std::uint32_t handle) const
{
    for (std::size_t i = 0; i < sheets_.size(); ++i)
        if (sheets_[i].handle == handle)
            return static_cast<long>(i);
    return -1;
}

std::size_t WorkbookPart::windowCount() const
{
    std::size_t n = 0;
    pugi::xml_node views = doc_.document_element().child(n_("bookViews").c_str());
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling())
        if (n_.names(v, "workbookView"))
            ++n;
    return n;
}

bool WorkbookPart::date1904() const
{
    std::string_view v = doc_.document_element().child(n_("workbookPr").c_str()).attribute("date1904").value();
    return v == "1" || v == "true";
}

std::optional<long> WorkbookPart::freeSheetId() const
{
    long maxId = 0;
    std::set<long> used;
    for (const auto& s : sheets_) {
        long id = toLong(s.node.attribute("sheetId").value(), 0);
        used.insert(id);
        maxId = std::max(maxId, id);
    }
    if (maxId < kMostSheetIds)
        return maxId + 1;
    long id = 1;
    while (used.count(id))
        ++id;
    if (id > kMostSheetIds)
        return std::nullopt;
    return id;
}

std::uint32_t WorkbookPart::insertSheet(std::size_t position, const std::string& name, const std::string& relId,
                                        const std::string& part, SheetKind kind, std::string_view state)
{
    pugi::xml_node root = doc_.document_element();
    ensureRelPrefix();
    const std::optional<long> freeId = freeSheetId();
    // Callers ask canTakeAnotherSheet first, so running out here is a fault of the caller.
    if (!freeId)
        throw std::logic_error("a sheet was inserted into a workbook that has no sheet id left");
    const long sheetId = *freeId;
    pugi::xml_node node = position < sheets_.size()
                              ? sheetsNode_.insert_child_before(n_("sheet").c_str(), sheets_[position].node)
                              : sheetsNode_.append_child(n_("sheet").c_str());
    node.append_attribute("name").set_value(name.c_str());
    node.append_attribute("sheetId").set_value(sheetId);
    if (!state.empty() && state != "visible")
        node.append_attribute("state").set_value(std::string(state).c_str());
    node.append_attribute((relPrefix_ + "id").c_str()).set_value(relId.c_str());

    // Scoped names follow their sheets.
    pugi::xml_node dn = root.child(n_("definedNames").c_str());
    for (pugi::xml_node d = dn.first_child(); d; d = d.next_sibling()) {
        if (!n_.names(d, "definedName"))
            continue;
        pugi::xml_attribute a = d.attribute("localSheetId");
        long id = toLong(a.value(), -1);
        if (a && id >= 0 && static_cast<std::size_t>(id) >= position)
            a.set_value(id + 1);
    }
    // The active tab stays on the sheet it was; the first shown tab too, unless the new
    // sheet takes its place and can be shown.
    bool visible = state.empty() || state == "visible";
    pugi::xml_node views = root.child(n_("bookViews").c_str());
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling()) {
        if (!n_.names(v, "workbookView"))
            continue;
        long active = toLong(v.attribute("activeTab").value(), 0);
        if (active >= 0 && static_cast<std::size_t>(active) >= position) {
            if (!v.attribute("activeTab"))
                v.append_attribute("activeTab");
            v.attribute("activeTab").set_value(active + 1);
        }
        long first = toLong(v.attribute("firstSheet").value(), 0);
        if (first >= 0 && (static_cast<std::size_t>(first) > position ||
                           (static_cast<std::size_t>(first) == position && !visible && v.attribute("firstSheet")))) {
            v.attribute("firstSheet").set_value(first + 1);
        }
    }

    SheetEntry e;
    e.handle = nextHandle_++;
    e.node = node;
    e.name = name;
    e.relId = relId;
    e.part = part;
    e.kind = kind;
    e.state = state.empty() ? "visible" : std::string(state);
    sheets_.insert(sheets_.begin() + static_cast<std::ptrdiff_t>(std::min(position, sheets_.size())), e);
    modified_ = true;
    return e.handle;
}

void WorkbookPart::removeSheet(std::size_t position)
{
    if (position >= sheets_.size())
        throw std::logic_error("a sheet that is not in the workbook was removed");
    pugi::xml_node root = doc_.document_element();
    sheetsNode_.remove_child(sheets_[position].node);
    sheets_.erase(sheets_.begin() + static_cast<std::ptrdiff_t>(position));

    pugi::xml_node dn = root.child(n_("definedNames").c_str());
    for (pugi::xml_node d = dn.first_child(); d;) {
        pugi::xml_node next = d.next_sibling();
        if (n_.names(d, "definedName")) {
            pugi::xml_attribute a = d.attribute("localSheetId");
            const long id = toLong(a.value(), -1);
            if (a && id >= 0 && static_cast<std::size_t>(id) == position)
                dn.remove_child(d);
            else if (a && id >= 0 && static_cast<std::size_t>(id) > position)
                a.set_value(id - 1);
        }
        d = next;
    }
    if (dn && !dn.first_child())
        root.remove_child(dn);

    const long last = static_cast<long>(sheets_.size()) - 1;
    pugi::xml_node views = root.child(n_("bookViews").c_str());
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling()) {
        if (!n_.names(v, "workbookView"))
            continue;
        for (const char* attr : {"activeTab", "firstSheet"}) {
            pugi::xml_attribute a = v.attribute(attr);
            const long at = toLong(a.value(), 0);
            if (a && at > static_cast<long>(position))
                a.set_value(at - 1);
            else if (a && at > last)
                a.set_value(std::max(last, 0L));
        }
    }
    modified_ = true;
}

bool WorkbookPart::isActiveTab(std::size_t position) const
{
    pugi::xml_node views = doc_.document_element().child(n_("bookViews").c_str());
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling())
        if (n_.names(v, "workbookView"))
            return toLong(v.attribute("activeTab").value(), 0) == static_cast<long>(position);
    return position == 0;
}

void WorkbookPart::setActiveTab(std::size_t position)
{
    pugi::xml_node views = doc_.document_element().child(n_("bookViews").c_str());
    for (pugi::xml_node v = views.first_child(); v; v = v.next_sibling()) {
        if (!n_.names(v, "workbookView"))
            continue;
        pugi::xml_attribute a = v.attribute("activeTab");
        if (!a)
            a = v.append_attribute("activeTab");
        a.set_value(static_cast<long>(position));
        break;
    }
    modified_ = true;
}

void WorkbookPart::removePivotCache(const std::string& relId)
{
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node caches = root.child(n_("pivotCaches").c_str());
    for (pugi::xml_node c = caches.first_child(); c; c = c.next_sibling()) {
        if (n_.names(c, "pivotCache") && relationshipIdOf(c) == relId) {
            caches.remove_child(c);
            modified_ = true;
            break;
        }
    }
    if (caches && !caches.first_child())
        root.remove_child(caches);
}

void WorkbookPart::setNameText(pugi::xml_node name, const std::string& text)
{
    name.text().set(text.c_str());
    modified_ = true;
}

void WorkbookPart::calculateOnLoad()
{
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node calc = root.child(n_("calcPr").c_str());
    if (!calc)
        calc = insertInOrder(root, n_, "calcPr", kWorkbookOrder);
    if (!calc.attribute("fullCalcOnLoad"))
        calc.append_attribute("fullCalcOnLoad");
    calc.attribute("fullCalcOnLoad").set_value("1");
    modified_ = true;
}

void WorkbookPart::ensureRelPrefix()
{
    if (!relPrefix_.empty())
        return;
    // No prefix is bound to the relationships namespace yet: bind "r" on the root.
    pugi::xml_node root = doc_.document_element();
    std::string p = "r";
    while (root.attribute(("xmlns:" + p).c_str()))
        p += "r";
    root.append_attribute(("xmlns:" + p).c_str()).set_value(std::string(ns::kOfficeRels).c_str());
    relPrefix_ = p + ":";
}

std::vector<DefinedNameEntry> WorkbookPart::definedNames() const
{
    std::vector<DefinedNameEntry> out;
    pugi::xml_node dn = doc_.document_element().child(n_("definedNames").c_str());
    for (pugi::xml_node d = dn.first_child(); d; d = d.next_sibling()) {
        if (!n_.names(d, "definedName"))
            continue;
        DefinedNameEntry e;
        e.node = d;
        e.name = d.attribute("name").value();
        e.localSheetId = d.attribute("localSheetId") ? toLong(d.attribute("localSheetId").value(), -2) : -1;
        e.text = d.text().get();
        out.push_back(std::move(e));
    }
    return out;
}

long WorkbookPart::indexOfName(std::string_view name) const
{
    for (std::size_t i = 0; i < sheets_.size(); ++i)
        if (sameSheetName(sheets_[i].name, name))
            return static_cast<long>(i);
    return -1;
}

std::vector<std::string> WorkbookPart::externalReferences() const
{
    std::vector<std::string> out;
    pugi::xml_node refs = doc_.document_element().child(n_("externalReferences").c_str());
    for (pugi::xml_node r = refs.first_child(); r; r = r.next_sibling())
        if (n_.names(r, "externalReference"))
            out.push_back(relationshipIdOf(r));
    return out;
}

std::size_t WorkbookPart::addExternalReference(const std::string& relId)
{
    ensureRelPrefix();
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node refs = root.child(n_("externalReferences").c_str());
    if (!refs)
        refs = insertInOrder(root, n_, "externalReferences", kWorkbookOrder);
    pugi::xml_node r = refs.append_child(n_("externalReference").c_str());
    r.append_attribute((relPrefix_ + "id").c_str()).set_value(relId.c_str());
    modified_ = true;
    return externalReferences().size();
}

std::vector<std::pair<long, std::string>> WorkbookPart::pivotCaches() const
{
    std::vector<std::pair<long, std::string>> out;
    pugi::xml_node caches = doc_.document_element().child(n_("pivotCaches").c_str());
    for (pugi::xml_node c = caches.first_child(); c; c = c.next_sibling())
        if (n_.names(c, "pivotCache"))
            out.emplace_back(toLong(c.attribute("cacheId").value(), -1), relationshipIdOf(c));
    return out;
}

void WorkbookPart::addPivotCache(long cacheId, const std::string& relId)
{
    ensureRelPrefix();
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node caches = root.child(n_("pivotCaches").c_str());
    if (!caches)
        caches = insertInOrder(root, n_, "pivotCaches", kWorkbookOrder);
    pugi::xml_node c = caches.append_child(n_("pivotCache").c_str());
    c.append_attribute("cacheId").set_value(cacheId);
    c.append_attribute((relPrefix_ + "id").c_str()).set_value(relId.c_str());
    modified_ = true;
}

void WorkbookPart::addScopedName(pugi::xml_node source, std::string_view sourcePrefix, std::size_t localSheetId,
                                 const std::string& text)
{
    addName(source, sourcePrefix, localSheetId, text);
}

void WorkbookPart::addName(pugi::xml_node source, std::string_view sourcePrefix, std::optional<std::size_t> localSheetId,
                           const std::string& text)
{
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node dn = root.child(n_("definedNames").c_str());
    if (!dn)
        dn = insertInOrder(root, n_, "definedNames", kWorkbookOrder);
    // Names are kept sorted by name, then by the sheet they belong to (workbook names first).
    auto key = [](pugi::xml_node d, long sheet) {
        return std::make_pair(foldSheetName(d.attribute("name").value()), sheet);
    };
    auto mine = key(source, localSheetId ? static_cast<long>(*localSheetId) : -1L);
    pugi::xml_node before;
    for (pugi::xml_node d = dn.first_child(); d; d = d.next_sibling()) {
        if (n_.names(d, "definedName") && key(d, toLong(d.attribute("localSheetId").value(), -1)) > mine) {
            before = d;
            break;
        }
    }
    pugi::xml_node copy = copyElement(dn, source, sourcePrefix, n_.prefix(), before);
    pugi::xml_attribute id = copy.attribute("localSheetId");
    if (localSheetId) {
        if (!id)
            id = copy.append_attribute("localSheetId");
        id.set_value(static_cast<unsigned long long>(*localSheetId));
    } else if (id) {
        copy.remove_attribute(id);
    }
    while (copy.first_child())
        copy.remove_child(copy.first_child());
    copy.append_child(pugi::node_pcdata).set_value(text.c_str());
    modified_ = true;
}

std::string WorkbookPart::serialize() const
{
    return saveXml(doc_);
}

void AppProperties::load(std::string_view xml, const std::string& file, const std::string& part)
{
    loadXml(doc_, xml, file, part);
    modified_ = false;
}

struct AppProperties::Lists {
    std::optional<NsNames> vt;
    pugi::xml_node pairs, titles;
    std::vector<pugi::xml_node> titleNodes;
    struct Group {
        std::string name;
        pugi::xml_node nameVariant, countNode;
        std::size_t offset = 0, count = 0;
    };
    std::vector<Group> groups;
};

bool AppProperties::lists(Lists& l)
{
    pugi::xml_node root = doc_.document_element();
    auto p = NsNames::of(root, ns::kExtendedProperties);
    l.vt = NsNames::of(root, ns::kDocPropsVTypes);
    if (!p || !l.vt)
        return false;
    l.pairs = root.child((*p)("HeadingPairs").c_str()).child((*l.vt)("vector").c_str());
    l.titles = root.child((*p)("TitlesOfParts").c_str()).child((*l.vt)("vector").c_str());
    if (!l.pairs || !l.titles)
        return false;
    for (pugi::xml_node t = l.titles.first_child(); t; t = t.next_sibling())
        if (t.type() == pugi::node_element)
            l.titleNodes.push_back(t);
    // Pairs of variants: (group name, count).
    std::vector<pugi::xml_node> variants;
    for (pugi::xml_node v = l.pairs.first_child(); v; v = v.next_sibling())
        if (l.vt->names(v, "variant"))
            variants.push_back(v);
    std::size_t offset = 0;
    for (std::size_t g = 0; g + 1 < variants.size(); g += 2) {
        Lists::Group group;
        group.nameVariant = variants[g];
        pugi::xml_node countNode = variants[g + 1].first_child();
        while (countNode && countNode.type() != pugi::node_element)
            countNode = countNode.next_sibling();
        long count = toLong(countNode.text().get(), -1);
        if (count < 0)
            return false;
        for (pugi::xml_node c = variants[g].first_child(); c; c = c.next_sibling())
            if (c.type() == pugi::node_element)
                group.name = c.text().get();
        group.countNode = countNode;
        group.offset = offset;
        group.count = static_cast<std::size_t>(count);
        offset += group.count;
        l.groups.push_back(group);
    }
    return offset <= l.titleNodes.size();
}

bool AppProperties::insertTitle(Lists& l, std::size_t group, std::size_t offsetInGroup, const std::string& title)
{
    Lists::Group& g = l.groups[group];
    std::size_t at = g.offset + std::min(offsetInGroup, g.count);
    pugi::xml_node model = l.titleNodes.empty() ? pugi::xml_node() : l.titleNodes.front();
    std::string tag = model ? model.name() : (*l.vt)("lpstr");
    pugi::xml_node next = at < l.titleNodes.size() ? l.titleNodes[at] : pugi::xml_node();
    pugi::xml_node added = next ? l.titles.insert_child_before(tag.c_str(), next) : l.titles.append_child(tag.c_str());
    added.append_child(pugi::node_pcdata).set_value(title.c_str());
    g.countNode.text().set(static_cast<unsigned long long>(g.count + 1));
    if (pugi::xml_attribute size = l.titles.attribute("size"))
        size.set_value(static_cast<unsigned long long>(l.titleNodes.size() + 1));
    modified_ = true;
    return true;
}

bool AppProperties::addGroup(Lists& l, std::size_t beforeGroup, std::string_view name, const std::string& title)
{
    const NsNames& vt = *l.vt;
    pugi::xml_node before = beforeGroup < l.groups.size() ? l.groups[beforeGroup].nameVariant : pugi::xml_node();
    auto variant = [&]() {
        return before ? l.pairs.insert_child_before(vt("variant").c_str(), before) : l.pairs.append_child(vt("variant").c_str());
    };
    variant().append_child(vt("lpstr").c_str()).append_child(pugi::node_pcdata).set_value(std::string(name).c_str());
    pugi::xml_node count = variant().append_child(vt("i4").c_str());
    count.append_child(pugi::node_pcdata).set_value("0");
    if (pugi::xml_attribute size = l.pairs.attribute("size"))
        size.set_value(static_cast<unsigned long long>(l.groups.size() * 2 + 2));
    Lists::Group g;
    g.name = name;
    g.countNode = count;
    g.offset = beforeGroup < l.groups.size() ? l.groups[beforeGroup].offset : l.titleNodes.size();
    l.groups.insert(l.groups.begin() + static_cast<std::ptrdiff_t>(std::min(beforeGroup, l.groups.size())), g);
    return insertTitle(l, std::min(beforeGroup, l.groups.size() - 1), 0, title);
}

bool AppProperties::addSheet(std::string_view group, const std::vector<std::string>& before, std::size_t position,
                             const std::string& name)
{
    Lists l;
    if (!lists(l))
        return false;
    for (std::size_t g = 0; g < l.groups.size(); ++g) {
        const auto& grp = l.groups[g];
        bool matches = grp.count == before.size() && grp.offset + before.size() <= l.titleNodes.size();
        bool listed = matches;
        for (std::size_t i = 0; listed && i < before.size(); ++i)
            listed = l.titleNodes[grp.offset + i].text().get() == before[i];
        if ((listed && (!before.empty() || grp.name == group)) || (matches && grp.name == group))
            return insertTitle(l, g, position, name);
    }
    if (!before.empty())
        return false;
    // The first sheet of its kind: its group goes before the names (worksheets first).
    std::size_t at = l.groups.size();
    for (std::size_t g = 0; g < l.groups.size(); ++g) {
        bool later = l.groups[g].name == "Named Ranges" || (group == "Worksheets" && l.groups[g].name == "Charts");
        if (later) {
            at = g;
            break;
        }
    }
    return addGroup(l, at, group, name);
}

bool AppProperties::addNamedRange(const std::string& title, bool createGroup)
{
    Lists l;
    if (!lists(l))
        return false;
    for (std::size_t g = 0; g < l.groups.size(); ++g)
        if (l.groups[g].name == "Named Ranges")
            return insertTitle(l, g, l.groups[g].count, title);
    if (!createGroup)
        return false;
    return addGroup(l, l.groups.size(), "Named Ranges", title);
}

std::string AppProperties::serialize() const
{
    return saveXml(doc_);
}

} // namespace tessaro::xlsx
