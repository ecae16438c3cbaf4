// SPDX-License-Identifier: MIT
// A copy session's formula rules for references that leave the sheet: to other sheets of
// the source and to other workbooks, which become links, and the values those links cache.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sheet_copy/structured_refs.h"
#include "engine/sml/sheet_names.h"

#include <algorithm>
#include <cstdlib>

namespace tessaro::xlsx {

using session::fold;

namespace {

// Cached values an external link carries for one copy, at most (a reference to whole
// columns of a big sheet would otherwise copy the sheet).
constexpr std::size_t kMostCachedCells = 200000;

} // namespace

// ---------------------------------------------------------------- formula rules

std::string CopySession::sheetNameAt(long index) const
{
    return src_.workbookPart().sheets()[static_cast<std::size_t>(index)].name;
}

void CopySession::noteArea(long sheet, const std::string& target)
{
    if (auto a = parseArea(target)) {
        auto& list = areas_[sheet];
        for (const auto& x : list)
            if (x.firstRow == a->firstRow && x.firstCol == a->firstCol && x.lastRow == a->lastRow &&
                x.lastCol == a->lastCol)
                return;
        list.push_back(*a);
        return;
    }
    if (target.empty() || target.front() == '#')
        return;
    // A name scoped to that sheet: the link lists it.
    for (const auto& e : externalNames_)
        if (e.first == sheet && e.second == target)
            return;
    areas_[sheet];
    externalNames_.emplace_back(sheet, target);
}

std::optional<std::string> CopySession::prefix(const PrefixedReference& ref)
{
    if (ref.book) {
        if (*ref.book == "0") {
            if (ref.first.empty())
                useName(ref.target);
            return std::nullopt;
        }
        if (same_)
            return std::nullopt;
        char* end = nullptr;
        long k = std::strtol(ref.book->c_str(), &end, 10);
        if (!end || *end != '\0')
            return std::nullopt;
        std::size_t m = mapBook(k);
        if (m == 0 || static_cast<long>(m) == k)
            return std::nullopt;
        return externalPrefix(std::to_string(m), ref.first, ref.last);
    }
    if (ref.first.empty())
        return std::nullopt;
    const WorkbookPart& wb = src_.workbookPart();
    long a = wb.indexOfName(ref.first);
    if (ref.last.empty()) {
        if (a == static_cast<long>(srcIndex_)) {
            if (copyName_ == entry_.name)
                return std::nullopt;
            return quoteSheetName(copyName_) + "!";
        }
        if (a < 0 || same_)
            return std::nullopt;
        std::size_t n = selfLink();
        noteArea(a, ref.target);
        return externalPrefix(std::to_string(n), sheetNameAt(a));
    }
    long b = wb.indexOfName(ref.last);
    if (a < 0 || b < 0 || same_)
        return std::nullopt;
    std::size_t n = selfLink();
    for (long i = std::min(a, b); i <= std::max(a, b); ++i)
        if (wb.sheets()[static_cast<std::size_t>(i)].kind == SheetKind::Worksheet)
            noteArea(i, ref.target);
    return externalPrefix(std::to_string(n), sheetNameAt(a), sheetNameAt(b));
}

std::optional<std::string> CopySession::table(std::string_view name, std::string_view spec)
{
    const TableFacts* t = src_.tableNamed(name);
    if (!t)
        return std::nullopt;
    if (t->sheetPart == entry_.part) {
        auto it = tableRenames_.find(fold(name));
        if (it == tableRenames_.end() || it->second == name)
            return std::nullopt;
        return it->second + std::string(spec);
    }
    if (same_)
        return std::nullopt;
    long sheet = -1;
    const auto& sheets = src_.workbookPart().sheets();
    for (std::size_t i = 0; i < sheets.size(); ++i)
        if (sheets[i].part == t->sheetPart)
            sheet = static_cast<long>(i);
    auto area = sheet < 0 ? std::nullopt : structuredReferenceArea(*t, spec);
    if (!area)
        return std::string("#REF!");
    std::size_t n = selfLink();
    noteArea(sheet, *area);
    return externalPrefix(std::to_string(n), sheetNameAt(sheet)) + *area;
}

// ---------------------------------------------------------------- links to other books

std::size_t CopySession::findLink(const std::string& resolved)
{
    if (resolved.empty())
        return 0;
    const auto& books = dst_.externalBooks();
    for (std::size_t i = 0; i < books.size(); ++i)
        if (books[i].resolved == resolved)
            return i + 1;
    for (std::size_t j = 0; j < newLinks_.size(); ++j)
        if (newLinks_[j].resolved == resolved)
            return books.size() + j + 1;
    return 0;
}

ExternalLinkModel& CopySession::linkModel(std::size_t index)
{
    const auto& books = dst_.externalBooks();
    if (index > books.size())
        return *newLinks_[index - books.size() - 1].model;
    auto& slot = changedLinks_[index];
    if (!slot) {
        const ExternalBookFacts& b = books[index - 1];
        slot = std::make_unique<ExternalLinkModel>(dst_.package().readPart(b.part), dst_.displayPath(),
                                                   b.part.substr(1));
    }
    return *slot;
}

std::size_t CopySession::selfLink()
{
    if (selfLink_)
        return *selfLink_;
    std::string resolved = src_.origin().lexically_normal().string();
    std::size_t i = findLink(resolved);
    if (i > 0 && i <= dst_.externalBooks().size() && dst_.externalBooks()[i - 1].part.empty())
        i = 0;
    if (i == 0) {
        NewLink l;
        l.part = dst_.reservePartName(dirOfWorkbook(dst_) + "externalLinks/externalLink1.xml");
        l.resolved = resolved;
        l.rels.push_back(Relationship{"rId1", std::string(rel_type::kExternalLinkPath), fileUrl(src_.origin()), true});
        l.model = std::make_unique<ExternalLinkModel>("rId1");
        newLinks_.push_back(std::move(l));
        i = dst_.externalBooks().size() + newLinks_.size();
    }
    selfLink_ = i;
    return i;
}

std::size_t CopySession::mapBook(long book)
{
    if (auto it = books_.find(book); it != books_.end())
        return it->second;
    books_[book] = 0;
    const auto& srcBooks = src_.externalBooks();
    if (book < 1 || static_cast<std::size_t>(book) > srcBooks.size())
        return 0;
    const ExternalBookFacts& b = srcBooks[static_cast<std::size_t>(book - 1)];
    if (b.part.empty() || !src_.package().hasPart(b.part))
        return 0;
    ExternalLinkModel source(src_.package().readPart(b.part), src_.displayPath(), b.part.substr(1));
    std::size_t i = findLink(b.resolved);
    if (i > 0 && i <= dst_.externalBooks().size() && dst_.externalBooks()[i - 1].part.empty())
        i = 0;
    if (i > 0) {
        linkModel(i).mergeFrom(source);
    } else {
        NewLink l;
        l.part = dst_.reservePartName(dirOfWorkbook(dst_) + "externalLinks/externalLink1.xml");
        l.resolved = b.resolved;
        // A relative path names a file beside the source; from elsewhere it needs the whole path.
        std::filesystem::path base = src_.origin().parent_path();
        for (const Relationship& r : src_.package().relationships(b.part).all()) {
            Relationship c = r;
            if (r.external && r.type == rel_type::kExternalLinkPath) {
                std::string resolved = resolveExternalTarget(r.target, base);
                if (!resolved.empty() && resolved.front() == '/' && r.target.find(':') == std::string::npos &&
                    r.target.front() != '/')
                    c.target = fileUrl(resolved);
            }
            if (c.external)
                l.rels.push_back(std::move(c));
        }
        l.model = std::make_unique<ExternalLinkModel>(src_.package().readPart(b.part), src_.displayPath(),
                                                      b.part.substr(1));
        newLinks_.push_back(std::move(l));
        i = dst_.externalBooks().size() + newLinks_.size();
    }
    books_[book] = i;
    return i;
}

void CopySession::finishLinks()
{
    if (!selfLink_)
        return;
    ExternalLinkModel& model = linkModel(*selfLink_);
    std::size_t budget = kMostCachedCells;
    const auto& sheets = src_.workbookPart().sheets();
    std::map<long, std::size_t> ids;
    for (const auto& [sheet, areas] : areas_) {
        std::size_t id = model.ensureSheet(sheetNameAt(sheet));
        ids[sheet] = id;
        if (areas.empty() || budget == 0)
            continue;
        CachedCells cells = readCachedCells(src_, sheets[static_cast<std::size_t>(sheet)].part, areas, budget);
        budget -= std::min(budget, cells.size());
        model.addCells(id, cells);
    }
    for (const auto& [sheet, name] : externalNames_) {
        for (const DefinedNameEntry& d : srcNames_)
            if (d.localSheetId == sheet && fold(d.name) == fold(name))
                model.ensureName(d.name, "=" + d.text, static_cast<long>(ids[sheet]));
    }
}

} // namespace tessaro::xlsx
