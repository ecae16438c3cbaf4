// SPDX-License-Identifier: MIT
// A copy session's formula rules for references that leave the sheet: to other sheets of
// the source and to other workbooks, which become links, and the values those links cache.
#include "engine/sheet_copy/copy_session.h"

#include "engine/sheet_copy/session_helpers.h"
#include "engine/sheet_copy/structured_refs.h"
#include "engine/sml/sheet_names.h"

#include <algorithm>
#include <cstdlib>

#include <fmt/format.h>

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
        if (auto local = localPrefix(a, a))
            return local;
        std::size_t n = selfLink();
        noteArea(a, ref.target);
        return externalPrefix(std::to_string(n), sheetNameAt(a));
    }
    long b = wb.indexOfName(ref.last);
    if (a < 0 || b < 0 || same_)
        return std::nullopt;
    if (auto local = localPrefix(a, b))
        return local;
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
    if (auto local = localPrefix(sheet, sheet))
        return *local + *area;
    std::size_t n = selfLink();
    noteArea(sheet, *area);
    return externalPrefix(std::to_string(n), sheetNameAt(sheet)) + *area;
}

// ---------------------------------------------------------------- the destination's sheets

std::optional<std::string> CopySession::destinationSheet(std::string_view name) const
{
    const std::string f = fold(name);
    for (const SheetEntry& s : dst_.workbookPart().sheets())
        if (fold(s.name) == f)
            return s.name;
    return std::nullopt;
}

std::optional<std::string> CopySession::localPrefix(long first, long last)
{
    if (options_.links == SheetLinks::External)
        return std::nullopt;
    if (options_.links == SheetLinks::Values) {
        noteFallback(sheetNameAt(first), "since only a cell keeps the value it showed");
        return std::nullopt;
    }
    auto x = destinationSheet(sheetNameAt(first));
    if (!x) {
        noteFallback(sheetNameAt(first), "since this workbook has no sheet of that name");
        return std::nullopt;
    }
    if (first == last)
        return quoteSheetName(*x) + "!";
    auto y = destinationSheet(sheetNameAt(last));
    if (!y) {
        noteFallback(sheetNameAt(last), "since this workbook has no sheet of that name");
        return std::nullopt;
    }
    // A range of sheets is quoted whole when either end needs it.
    if (quoteSheetName(*x) == *x && quoteSheetName(*y) == *y)
        return *x + ":" + *y + "!";
    return quoteSheetName(*x + ":" + *y) + "!";
}

void CopySession::note(std::string text)
{
    if (options_.notes && noted_.insert(text).second)
        options_.notes->push_back(std::move(text));
}

void CopySession::noteFallback(std::string_view sheet, std::string_view why)
{
    const std::string place = place_.empty() ? std::string("a formula") : place_;
    // Cells are one kind of place: the first one found stands for the rest.
    const std::string kind = isCellReference(place) ? std::string("cells") : place;
    if (!noted_.insert(fold(sheet) + '\x1f' + kind).second)
        return;
    note(fmt::format("\"{}\": the reference to \"{}\" in {} reads the source workbook, {}", copyName_, sheet, place,
                     why));
}

void CopySession::noteEmptiedCells(const std::vector<std::string>& cells)
{
    if (cells.empty())
        return;
    std::string list = cells.front();
    if (cells.size() == 2)
        list += " and " + cells[1];
    else if (cells.size() > 2)
        list += fmt::format(" and {} other cells", cells.size() - 1);
    note(fmt::format("\"{}\": {} read another sheet but showed no value to keep, so {} left empty", copyName_, list,
                     cells.size() == 1 ? "it is" : "they are"));
}

void CopySession::noteDatesKept(std::uint64_t count, const std::string& first)
{
    if (count == 0)
        return;
    const std::string cells = count == 1 ? first : fmt::format("{} and {} other cells", first, count - 1);
    note(fmt::format("\"{}\": {} {} a date before the first day of this workbook's date system ({}), which it "
                     "cannot show, so {} {} number and {} another date",
                     copyName_, cells, count == 1 ? "holds" : "hold", dateShift() < 0 ? "1904" : "1900",
                     count == 1 ? "it keeps" : "they keep", count == 1 ? "its" : "their",
                     count == 1 ? "shows" : "show"));
}

void CopySession::noteUndefinedFormats(std::uint64_t count, const std::string& first)
{
    if (count == 0)
        return;
    note(fmt::format("\"{}\": {} {} a cell format the source workbook does not define, so {} the default "
                     "format in the copy",
                     copyName_, count == 1 ? first : fmt::format("{} and {} other places", first, count - 1),
                     count == 1 ? "uses" : "use", count == 1 ? "it has" : "they have"));
}

// Asks nothing of the copy: only finds out whether a formula reads outside the copied sheet.
class OutsideProbe final : public FormulaRules {
public:
    OutsideProbe(CopySession& s, int depth) : s_(s), depth_(depth) {}
    bool outside = false;

    std::optional<std::string> prefix(const PrefixedReference& ref) override
    {
        if (ref.book) {
            if (*ref.book != "0")
                outside = true;
            else if (ref.first.empty())
                name(ref.target);
            return std::nullopt;
        }
        if (ref.first.empty())
            return std::nullopt;
        const WorkbookPart& wb = s_.src_.workbookPart();
        const long self = static_cast<long>(s_.srcIndex_);
        long a = wb.indexOfName(ref.first);
        long b = ref.last.empty() ? a : wb.indexOfName(ref.last);
        // A sheet the source does not have reads nothing anywhere.
        if (a >= 0 && b >= 0 && (a != self || b != self))
            outside = true;
        return std::nullopt;
    }

    std::optional<std::string> table(std::string_view name, std::string_view) override
    {
        if (const TableFacts* t = s_.src_.tableNamed(name); t && t->sheetPart != s_.entry_.part)
            outside = true;
        return std::nullopt;
    }

    std::optional<std::string> name(std::string_view name) override
    {
        if (s_.nameReadsOtherSheets(name, depth_ + 1))
            outside = true;
        return std::nullopt;
    }

private:
    CopySession& s_;
    int depth_;
};

bool CopySession::readsOtherSheets(std::string_view formula)
{
    OutsideProbe probe(*this, 0);
    translateFormula(formula, probe);
    return probe.outside;
}

bool CopySession::nameReadsOtherSheets(std::string_view name, int depth)
{
    // Names that name each other in a circle, or too deep to follow, are taken as reading out.
    constexpr int kDeepest = 16;
    const std::string f = fold(name);
    if (auto it = namesReadingOut_.find(f); it != namesReadingOut_.end())
        return it->second;
    const DefinedNameEntry* d = nullptr;
    for (const DefinedNameEntry& x : srcNames_)
        if (fold(x.name) == f && (x.localSheetId == static_cast<long>(srcIndex_) || (!d && x.localSheetId == -1)))
            d = &x;
    if (!d)
        return false;
    if (depth > kDeepest)
        return true;
    namesReadingOut_[f] = true;
    OutsideProbe probe(*this, depth);
    translateFormula(d->text, probe);
    namesReadingOut_[f] = probe.outside;
    return probe.outside;
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
        const std::filesystem::path& base = src_.linkBase();
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
