// SPDX-License-Identifier: MIT
// A copy session's first and last steps: what the sheet's relationships settle before the
// sheet is rewritten, and the commit into the destination.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sml/object_ids.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/styles.h"
#include "engine/sml/workbook.h"
#include "engine/xml/xml_dom.h"

#include <cctype>
#include <random>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

using session::fold;
using session::folderOf;

std::string newGuid()
{
    static thread_local std::mt19937_64 rng{std::random_device{}()};
    std::uint64_t a = rng(), b = rng();
    a = (a & ~0xF000ull) | 0x4000ull;             // version 4
    b = (b & ~(0xC000ull << 48)) | (0x8000ull << 48);  // variant 1
    return fmt::format("{{{:08X}-{:04X}-{:04X}-{:04X}-{:012X}}}", static_cast<std::uint32_t>(a >> 32),
                       static_cast<std::uint32_t>((a >> 16) & 0xFFFF), static_cast<std::uint32_t>(a & 0xFFFF),
                       static_cast<std::uint32_t>(b >> 48), b & 0xFFFFFFFFFFFFull);
}

} // namespace

CopySession::CopySession(Workbook& source, const SheetEntry& entry, std::size_t sourceIndex, Workbook& destination,
                         std::string copyName, std::size_t position, const SheetCopyOptions& options)
    : src_(source), options_(options), entry_(entry), srcIndex_(sourceIndex), dst_(destination), copyName_(std::move(copyName)),
      position_(position), same_(&source == &destination)
{
    srcNames_ = src_.workbookPart().definedNames();
    for (std::size_t i = 0; i < srcNames_.size(); ++i) {
        const DefinedNameEntry& d = srcNames_[i];
        if (d.localSheetId == -1)
            globalNames_.emplace(fold(d.name), i);
        else if (d.localSheetId == static_cast<long>(srcIndex_))
            ownNames_.insert(fold(d.name));
    }
    namesDoc_.append_child("names");
}

CopySession::~CopySession() = default;

std::string CopySession::dirOfWorkbook(const Workbook& w) const { return folderOf(w.workbookPartName()); }

long CopySession::dateShift() const
{
    bool from = src_.workbookPart().date1904(), to = dst_.workbookPart().date1904();
    if (from == to)
        return 0;
    return from ? 1462 : -1462;
}

// ---------------------------------------------------------------- before the sheet part

void CopySession::prepare()
{
    if (entry_.kind == SheetKind::Chartsheet)
        sheetPart_ = dst_.reservePartName(dirOfWorkbook(dst_) + "chartsheets/sheet1.xml");
    else
        sheetPart_ = dst_.newWorksheetPartName();

    const SheetRelationships kinds = keepRelationships();
    if (kinds.hasTables)
        nameTables();
    claimShapeBlocks(kinds.vmlParts);
    renewThreadIds(kinds.threadedParts);

    bool userNames = false;
    for (const auto& [f, i] : globalNames_)
        if (f.rfind("_xlnm.", 0) != 0)
            userNames = true;
    mayUseNames_ = kinds.hasTables || (!same_ && (userNames || !src_.tables().empty()));
}

CopySession::SheetRelationships CopySession::keepRelationships()
{
    Package& pkg = src_.package();
    Relationships& rels = pkg.relationships(entry_.part);
    SheetRelationships kinds;
    for (const Relationship& r : rels.all()) {
        if (r.external) {
            sheetRels_.push_back(r);
            keptIds_.push_back(r.id);
            continue;
        }
        // A slicer or a timeline needs a cache in the workbook that only its own workbook
        // has; it is left out, with the extension that shows it.
        if (r.type == rel_type::kSlicer || r.type == rel_type::kTimeline)
            continue;
        std::string part = rels.resolve(r);
        if (!pkg.hasPart(part))
            continue;
        if (r.type == rel_type::kPivotTable && options_.links == SheetLinks::Values && !same_) {
            // Its cells already show what it showed; without its data it would only be refreshed
            // empty.
            if (auto elsewhere = pivotSourceElsewhere(part)) {
                note(fmt::format("\"{}\": a pivot table reading \"{}\" is left out; its cells keep the values it "
                                 "showed",
                                 copyName_, *elsewhere));
                continue;
            }
        }
        Relationship own = r;
        own.target = part;
        sheetRels_.push_back(own);
        keptIds_.push_back(r.id);
        if (r.type == rel_type::kVmlDrawing)
            kinds.vmlParts.push_back(part);
        else if (r.type == rel_type::kThreadedComment)
            kinds.threadedParts.push_back(part);
        else if (r.type == rel_type::kTable)
            kinds.hasTables = true;
    }
    return kinds;
}

// The sheet's formulas may name its tables, so their new names are settled before the
// sheet is rewritten.
void CopySession::nameTables()
{
    Package& pkg = src_.package();
    nextTableId_ = dst_.nextTableId();
    for (const Relationship& r : sheetRels_) {
        if (r.external || r.type != rel_type::kTable)
            continue;
        pugi::xml_document doc;
        loadXml(doc, pkg.readPart(r.target), src_.displayPath(), r.target.substr(1));
        pugi::xml_node t = doc.document_element();
        std::string display = t.attribute("displayName").value();
        if (display.empty())
            display = t.attribute("name").value();
        std::string fresh = newTableName(display);
        takenTableNames_.insert(fold(fresh));
        tableRenames_[fold(display)] = fresh;
        std::string name = t.attribute("name").value();
        if (!name.empty() && fold(name) != fold(display))
            tableRenames_[fold(name)] = fresh;
    }
}

// Shape ids of the copy's VML drawings move to blocks nobody else uses.
void CopySession::claimShapeBlocks(const std::vector<std::string>& vmlParts)
{
    std::set<long> old;
    for (const std::string& part : vmlParts)
        collectShapeBlocks(src_.package().readPart(part), old);
    if (old.empty())
        return;
    std::set<long>& used = dst_.vmlBlocks();
    long next = 1;
    for (long b : old) {
        while (used.count(next))
            ++next;
        used.insert(next);
        vmlBlocks_[b] = next;
    }
}

// A thread keeps its id unless the destination already has a thread of that id (the
// sheet's own workbook, an earlier copy).
void CopySession::renewThreadIds(const std::vector<std::string>& threadedParts)
{
    if (threadedParts.empty())
        return;
    std::set<std::string>& taken = dst_.threadedCommentIds();
    std::vector<std::string> ids;
    for (const std::string& part : threadedParts)
        for (std::string& id : threadIds(src_.package().readPart(part)))
            ids.push_back(std::move(id));
    bool clash = false;
    for (const std::string& id : ids)
        clash = clash || taken.count(id);
    for (const std::string& id : ids) {
        std::string fresh = clash ? newGuid() : id;
        guids_.emplace(id, fresh);
        newThreadIds_.push_back(fresh);
    }
}

std::size_t CopySession::shapeId(std::size_t id) const { return movedShapeId(id, vmlBlocks_); }

std::string CopySession::shapeSignature() const
{
    std::string s;
    for (const auto& [a, b] : vmlBlocks_)
        s += fmt::format("{}>{};", a, b);
    return s;
}

std::string CopySession::newTableName(const std::string& base)
{
    auto taken = [&](const std::string& n) { return takenTableNames_.count(fold(n)) || !dst_.tableNameFree(n); };
    if (!same_ && !taken(base))
        return base;
    std::string stem = base;
    while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
        stem.pop_back();
    long n = 2;
    if (stem.size() < base.size() && base.size() - stem.size() < 9)
        n = std::stol(base.substr(stem.size())) + 1;
    if (stem.empty())
        stem = base + "_";
    for (;; ++n) {
        std::string candidate = stem + std::to_string(n);
        if (isCellReference(candidate))
            candidate = base + "_" + std::to_string(n);
        if (!taken(candidate))
            return candidate;
    }
}

// ---------------------------------------------------------------- commit

std::uint32_t CopySession::commit(StoredPart sheet, std::uint64_t stringCells, bool cellMetadata)
{
    const SheetsOfKind before = sheetsOfKind();
    const bool hadNames = !dst_.workbookPart().definedNames().empty();
    std::uint32_t handle = insertSheet(std::move(sheet));
    writeParts();
    writeLinks();
    writeWorkbookParts(cellMetadata);

    for (TableFacts& t : newTables_)
        dst_.addTable(std::move(t));
    if (!newThreadIds_.empty())
        dst_.threadedCommentIds().insert(newThreadIds_.begin(), newThreadIds_.end());
    if (stringCells > 0)
        dst_.sharedStrings().addReferences(stringCells);

    std::vector<std::string> titles = addNames();
    if (AppProperties* app = dst_.appProperties()) {
        app->addSheet(entry_.kind == SheetKind::Chartsheet ? "Charts" : "Worksheets", before.names, before.position,
                      copyName_);
        for (const std::string& t : titles)
            app->addNamedRange(t, !hadNames);
    }
    dst_.dropCalculationChain();
    return handle;
}

// The names of the destination's sheets of the copy's kind before the insertion, and the
// copy's place among them, for the document properties.
CopySession::SheetsOfKind CopySession::sheetsOfKind() const
{
    SheetsOfKind out;
    const auto& sheets = dst_.workbookPart().sheets();
    for (std::size_t i = 0; i < sheets.size(); ++i) {
        if (sheets[i].kind != entry_.kind)
            continue;
        if (i < position_)
            ++out.position;
        out.names.push_back(sheets[i].name);
    }
    return out;
}

void CopySession::addRelationships(const std::string& from, const std::vector<Relationship>& list)
{
    if (list.empty())
        return;
    Relationships& own = dst_.package().relationships(from);
    for (const Relationship& r : list)
        own.addWithId(r.id, r.type, r.external ? r.target : own.relativeTarget(r.target), r.external);
}

std::uint32_t CopySession::insertSheet(StoredPart sheet)
{
    Package& pkg = dst_.package();
    Relationships& wbRels = pkg.relationships(dst_.workbookPartName());
    const bool chart = entry_.kind == SheetKind::Chartsheet;
    std::string relId = wbRels.add(chart ? rel_type::kChartsheet : rel_type::kWorksheet,
                                   wbRels.relativeTarget(sheetPart_));
    std::uint32_t handle =
        dst_.workbookPart().insertSheet(position_, copyName_, relId, sheetPart_, entry_.kind, entry_.state);
    pkg.putStoredPart(sheetPart_, std::move(sheet));
    pkg.contentTypes().setOverride(sheetPart_, chart ? content_type::kChartsheet : content_type::kWorksheet);
    addRelationships(sheetPart_, sheetRels_);
    return handle;
}

void CopySession::writeParts()
{
    Package& pkg = dst_.package();
    for (NewPart& p : parts_) {
        if (p.asStoredIn.empty())
            pkg.putPart(p.name, std::move(p.content));
        else
            pkg.putPartFrom(p.name, src_.package(), p.asStoredIn);
        pkg.contentTypes().ensureType(p.name, p.type);
        addRelationships(p.name, p.rels);
    }
    for (auto& [identity, part] : sharedAfterCommit_)
        dst_.sharedCopies()[identity] = part;

    Relationships& wbRels = pkg.relationships(dst_.workbookPartName());
    for (const auto& [cacheId, part] : newCaches_) {
        std::string id = wbRels.add(rel_type::kPivotCacheDefinition, wbRels.relativeTarget(part));
        dst_.workbookPart().addPivotCache(cacheId, id);
    }
}

void CopySession::writeLinks()
{
    Package& pkg = dst_.package();
    Relationships& wbRels = pkg.relationships(dst_.workbookPartName());
    for (NewLink& l : newLinks_) {
        pkg.putPart(l.part, l.model->serialize());
        pkg.contentTypes().ensureType(l.part, content_type::kExternalLink);
        addRelationships(l.part, l.rels);
        std::string id = wbRels.add(rel_type::kExternalLink, wbRels.relativeTarget(l.part));
        dst_.workbookPart().addExternalReference(id);
        ExternalBookFacts f;
        f.relId = id;
        f.part = l.part;
        for (const Relationship& r : l.rels)
            if (r.type == rel_type::kExternalLinkPath)
                f.target = r.target;
        f.resolved = l.resolved;
        dst_.addExternalBook(std::move(f));
    }
    for (auto& [index, model] : changedLinks_)
        pkg.putPart(dst_.externalBooks()[index - 1].part, model->serialize());
}

void CopySession::writeWorkbookParts(bool cellMetadata)
{
    Package& pkg = dst_.package();
    Relationships& wbRels = pkg.relationships(dst_.workbookPartName());
    auto writeLoaded = [&](std::unique_ptr<LoadedPart>& lp, std::string_view relType, std::string_view type) {
        if (!lp || !lp->changed)
            return;
        pkg.putPart(lp->part, saveXml(lp->doc));
        if (lp->created) {
            pkg.contentTypes().ensureType(lp->part, type);
            wbRels.add(relType, wbRels.relativeTarget(lp->part));
        }
    };
    writeLoaded(persons_, rel_type::kPerson, content_type::kPersons);
    writeLoaded(connections_, rel_type::kConnections, content_type::kConnections);
    if (cellMetadata)
        writeLoaded(metadata_, rel_type::kSheetMetadata, content_type::kSheetMetadata);
}

// Adds the names the copy brings; returns the titles the document properties list for them.
std::vector<std::string> CopySession::addNames()
{
    std::vector<std::string> titles;
    for (PendingName& n : names_) {
        std::optional<std::size_t> scope;
        if (n.scoped)
            scope = position_;
        dst_.workbookPart().addName(n.source, n.sourcePrefix, scope, n.text);
        std::string name = n.source.attribute("name").value();
        bool hidden = n.source.attribute("hidden").as_bool(false);
        if (hidden || (name.rfind("_xlnm.", 0) == 0 && name != "_xlnm.Print_Area" && name != "_xlnm.Print_Titles"))
            continue;
        if (name.rfind("_xlnm.", 0) == 0)
            name = name.substr(6);
        titles.push_back(n.scoped ? quoteSheetName(copyName_) + "!" + name : name);
    }
    return titles;
}

} // namespace tessaro::xlsx
