// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/copy_session.h"

#include "platform/engine_error.h"
#include "engine/sml/sheet_names.h"
#include "engine/sml/styles.h"
#include "engine/sml/workbook.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <cctype>
#include <random>
#include <regex>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// A part the workbook points at (cell metadata, connections, persons), parsed; an empty
// document when the workbook has none.
std::unique_ptr<pugi::xml_document> workbookLevelPart(Workbook& book, std::string_view relType)
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

// Cached values an external link carries for one copy, at most (a reference to whole
// columns of a big sheet would otherwise copy the sheet).
constexpr std::size_t kMostCachedCells = 200000;
constexpr long kShapesPerBlock = 1024;

constexpr std::string_view kCtrlPropRel = "http://schemas.openxmlformats.org/officeDocument/2006/relationships/ctrlProp";
constexpr std::string_view kThreadedNs = "http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments";
constexpr std::string_view kDrawingTypePrefix = "application/vnd.openxmlformats-officedocument.drawing";

std::string fold(std::string_view s) { return foldSheetName(s); }

// Every element under `root` (itself included), in document order, without recursion.
template <typename F>
void forEachElement(pugi::xml_node root, F&& f)
{
    pugi::xml_node n = root;
    while (n) {
        if (n.type() == pugi::node_element)
            f(n);
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n && n != root && !n.next_sibling())
            n = n.parent();
        if (!n || n == root)
            break;
        n = n.next_sibling();
    }
}

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

std::string areaText(const CellArea& a)
{
    std::string first = "$" + columnLetters(a.firstCol) + "$" + std::to_string(a.firstRow);
    if (a.firstRow == a.lastRow && a.firstCol == a.lastCol)
        return first;
    return first + ":$" + columnLetters(a.lastCol) + "$" + std::to_string(a.lastRow);
}

std::string folderOf(std::string_view part) { return std::string(part.substr(0, part.rfind('/') + 1)); }

// The colour scheme slot a DrawingML scheme colour names (with the usual mapping of
// text and background to dark and light); -1 for placeholders and unknown names.
int schemeSlot(std::string_view v)
{
    static constexpr std::string_view kSlots[12] = {"dk1", "lt1", "dk2", "lt2", "accent1", "accent2",
                                                    "accent3", "accent4", "accent5", "accent6", "hlink", "folHlink"};
    if (v == "tx1")
        return 0;
    if (v == "bg1")
        return 1;
    if (v == "tx2")
        return 2;
    if (v == "bg2")
        return 3;
    for (int i = 0; i < 12; ++i)
        if (kSlots[i] == v)
            return i;
    return -1;
}

bool isMedia(const std::string& relType, const std::string& contentType)
{
    return relType == rel_type::kImage || contentType.rfind("image/", 0) == 0;
}

// Unescapes a structured reference item ("Col'[1']" -> "Col[1]").
std::string unescapeItem(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\'' && i + 1 < s.size())
            ++i;
        out.push_back(s[i]);
    }
    while (!out.empty() && out.front() == ' ')
        out.erase(out.begin());
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

} // namespace

CopySession::CopySession(Workbook& source, const SheetEntry& entry, std::size_t sourceIndex, Workbook& destination,
                         std::string copyName, std::size_t position)
    : src_(source), entry_(entry), srcIndex_(sourceIndex), dst_(destination), copyName_(std::move(copyName)),
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

    Package& pkg = src_.package();
    Relationships& rels = pkg.relationships(entry_.part);
    std::vector<std::string> vmlParts, threadedParts;
    bool hasTables = false;
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
        Relationship own = r;
        own.target = part;
        sheetRels_.push_back(own);
        keptIds_.push_back(r.id);
        if (r.type == rel_type::kVmlDrawing)
            vmlParts.push_back(part);
        else if (r.type == rel_type::kThreadedComment)
            threadedParts.push_back(part);
        else if (r.type == rel_type::kTable)
            hasTables = true;
    }

    if (hasTables) {
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
    static const std::regex idmap(R"(idmap\b[^>]*\bdata\s*=\s*["']([0-9, ]*)["'])");
    static const std::regex spid(R"(_x0000_s([0-9]{1,9}))");
    std::set<long> old;
    for (const std::string& part : vmlParts) {
        std::string text = pkg.readPart(part);
        for (std::sregex_iterator it(text.begin(), text.end(), idmap), end; it != end; ++it) {
            std::string list = (*it)[1];
            std::size_t i = 0;
            while (i < list.size()) {
                std::size_t j = list.find(',', i);
                if (j == std::string::npos)
                    j = list.size();
                std::string item = list.substr(i, j - i);
                item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
                if (!item.empty() && item.size() < 9)
                    old.insert(std::stol(item));
                i = j + 1;
            }
        }
        for (std::sregex_iterator it(text.begin(), text.end(), spid), end; it != end; ++it)
            old.insert(std::stol((*it)[1]) / kShapesPerBlock);
    }
    if (!old.empty()) {
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
    if (!threadedParts.empty()) {
        std::set<std::string>& taken = dst_.threadedCommentIds();
        std::vector<std::string> ids;
        for (const std::string& part : threadedParts) {
            pugi::xml_document doc;
            loadXml(doc, pkg.readPart(part), src_.displayPath(), part.substr(1));
            forEachElement(doc.document_element(), [&](pugi::xml_node n) {
                if (localNameOf(n.name()) == "threadedComment")
                    if (std::string id = n.attribute("id").value(); !id.empty())
                        ids.push_back(id);
            });
        }
        bool clash = false;
        for (const std::string& id : ids)
            clash = clash || taken.count(id);
        for (const std::string& id : ids) {
            std::string fresh = clash ? newGuid() : id;
            guids_.emplace(id, fresh);
            newThreadIds_.push_back(fresh);
        }
    }

    bool userNames = false;
    for (const auto& [f, i] : globalNames_)
        if (f.rfind("_xlnm.", 0) != 0)
            userNames = true;
    mayUseNames_ = hasTables || (!same_ && (userNames || !src_.tables().empty()));
}

std::size_t CopySession::shapeId(std::size_t id) const
{
    long block = static_cast<long>(id) / kShapesPerBlock;
    auto it = vmlBlocks_.find(block);
    if (it == vmlBlocks_.end())
        return id;
    return static_cast<std::size_t>(static_cast<long>(id) + (it->second - block) * kShapesPerBlock);
}

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

// ---------------------------------------------------------------- cell metadata

std::size_t CopySession::cellMetadata(std::size_t cm)
{
    if (auto it = cellMetadata_.find(cm); it != cellMetadata_.end())
        return it->second;
    std::size_t mapped = 0;
    cellMetadata_[cm] = 0;
    if (!sourceMetadata_) {
        sourceMetadata_ = workbookLevelPart(src_, rel_type::kSheetMetadata);
    }
    pugi::xml_node sroot = sourceMetadata_->document_element();
    auto n = NsNames::of(sroot, ns::kMain);
    if (!sroot || !n)
        return 0;
    auto children = [&](pugi::xml_node parent, std::string_view local) {
        std::vector<pugi::xml_node> out;
        for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
            if (n->names(c, local))
                out.push_back(c);
        return out;
    };
    auto types = children(sroot.child((*n)("metadataTypes").c_str()), "metadataType");
    auto blocks = children(sroot.child((*n)("cellMetadata").c_str()), "bk");
    if (cm < 1 || cm > blocks.size())
        return 0;
    // Only dynamic-array formulas are carried: their record is the same in every workbook.
    std::vector<pugi::xml_node> records = children(blocks[cm - 1], "rc");
    if (records.size() != 1)
        return 0;
    long t = records[0].attribute("t").as_int(0), v = records[0].attribute("v").as_int(-1);
    if (t < 1 || static_cast<std::size_t>(t) > types.size() || v < 0)
        return 0;
    pugi::xml_node type = types[static_cast<std::size_t>(t - 1)];
    if (std::string_view(type.attribute("name").value()) != "XLDAPR")
        return 0;
    pugi::xml_node future;
    for (pugi::xml_node f : children(sroot, "futureMetadata"))
        if (std::string_view(f.attribute("name").value()) == "XLDAPR")
            future = f;
    auto futureBlocks = children(future, "bk");
    if (static_cast<std::size_t>(v) >= futureBlocks.size())
        return 0;

    if (!metadata_) {
        std::string model = dirOfWorkbook(dst_) + "metadata.xml";
        metadata_.reset(destinationPart(rel_type::kSheetMetadata, model,
                                        fmt::format("<metadata xmlns=\"{}\"/>", ns::kMain)));
    }
    pugi::xml_node droot = metadata_->doc.document_element();
    NsNames dn = NsNames::of(droot, ns::kMain).value_or(NsNames(""));
    auto dchildren = [&](pugi::xml_node parent, std::string_view local) {
        std::vector<pugi::xml_node> out;
        for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
            if (dn.names(c, local))
                out.push_back(c);
        return out;
    };
    static constexpr std::string_view kOrder[] = {"metadataTypes", "metadataStrings", "mdxMetadata", "futureMetadata",
                                                  "cellMetadata", "valueMetadata", "extLst"};
    auto container = [&](std::string_view local) {
        pugi::xml_node c = droot.child(dn(local).c_str());
        return c ? c : insertInOrder(droot, dn, local, kOrder);
    };
    auto recount = [&](pugi::xml_node c, std::string_view local) {
        pugi::xml_attribute a = c.attribute("count");
        if (!a)
            a = c.append_attribute("count");
        a.set_value(static_cast<unsigned long long>(dchildren(c, local).size()));
    };
    std::string sprefix = n->prefix();
    // The type.
    pugi::xml_node dtypes = container("metadataTypes");
    long dt = 0;
    auto dtypeList = dchildren(dtypes, "metadataType");
    for (std::size_t i = 0; i < dtypeList.size(); ++i)
        if (std::string_view(dtypeList[i].attribute("name").value()) == "XLDAPR")
            dt = static_cast<long>(i + 1);
    if (dt == 0) {
        copyElement(dtypes, type, sprefix, dn.prefix());
        dt = static_cast<long>(dtypeList.size() + 1);
        recount(dtypes, "metadataType");
    }
    // The future record.
    pugi::xml_node dfuture;
    for (pugi::xml_node f : dchildren(droot, "futureMetadata"))
        if (std::string_view(f.attribute("name").value()) == "XLDAPR")
            dfuture = f;
    if (!dfuture) {
        dfuture = container("futureMetadata");
        if (dfuture.attribute("name") && std::string_view(dfuture.attribute("name").value()) != "XLDAPR") {
            pugi::xml_node fresh = droot.insert_child_after(dn("futureMetadata").c_str(), dfuture);
            dfuture = fresh;
        }
        if (!dfuture.attribute("name"))
            dfuture.append_attribute("name").set_value("XLDAPR");
    }
    std::string want = canonicalText(futureBlocks[static_cast<std::size_t>(v)], sprefix);
    long dv = -1;
    auto dblocks = dchildren(dfuture, "bk");
    for (std::size_t i = 0; i < dblocks.size(); ++i)
        if (canonicalText(dblocks[i], dn.prefix()) == want)
            dv = static_cast<long>(i);
    if (dv < 0) {
        copyElement(dfuture, futureBlocks[static_cast<std::size_t>(v)], sprefix, dn.prefix());
        dv = static_cast<long>(dblocks.size());
        recount(dfuture, "bk");
    }
    // The cell record.
    pugi::xml_node dcells = container("cellMetadata");
    auto cblocks = dchildren(dcells, "bk");
    for (std::size_t i = 0; i < cblocks.size() && mapped == 0; ++i) {
        auto rcs = dchildren(cblocks[i], "rc");
        if (rcs.size() == 1 && rcs[0].attribute("t").as_int(0) == dt && rcs[0].attribute("v").as_int(-1) == dv)
            mapped = i + 1;
    }
    if (mapped == 0) {
        pugi::xml_node bk = dcells.append_child(dn("bk").c_str());
        pugi::xml_node rc = bk.append_child(dn("rc").c_str());
        rc.append_attribute("t").set_value(dt);
        rc.append_attribute("v").set_value(dv);
        mapped = cblocks.size() + 1;
        recount(dcells, "bk");
    }
    metadata_->changed = true;
    cellMetadata_[cm] = mapped;
    return mapped;
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

std::optional<std::string> CopySession::structuredArea(const TableFacts& t, std::string_view spec) const
{
    auto whole = parseArea(t.ref);
    if (!whole || spec.size() < 2)
        return std::nullopt;
    std::string_view inner = spec.substr(1, spec.size() - 2);
    std::vector<std::string> items;
    std::vector<char> separators;
    if (inner.find('[') == std::string_view::npos) {
        if (!inner.empty())
            items.push_back(unescapeItem(inner));
    } else {
        std::size_t i = 0;
        while (i < inner.size()) {
            char c = inner[i];
            if (c == '[') {
                std::size_t j = i + 1;
                std::string raw;
                while (j < inner.size() && inner[j] != ']') {
                    if (inner[j] == '\'' && j + 1 < inner.size())
                        raw.push_back(inner[j++]);
                    raw.push_back(inner[j++]);
                }
                items.push_back(unescapeItem(raw));
                i = j + 1;
            } else if (c == ',' || c == ':') {
                separators.push_back(c);
                ++i;
            } else {
                ++i;
            }
        }
    }
    bool all = false, headers = false, data = false, totals = false;
    std::vector<std::string> columns;
    bool columnRange = false;
    for (std::size_t k = 0; k < items.size(); ++k) {
        const std::string& it = items[k];
        std::string up;
        for (char c : it)
            up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        if (it.empty() || it.front() == '@' || up == "#THIS ROW")
            return std::nullopt;
        if (up == "#ALL")
            all = true;
        else if (up == "#HEADERS")
            headers = true;
        else if (up == "#DATA")
            data = true;
        else if (up == "#TOTALS")
            totals = true;
        else if (it.front() == '#')
            return std::nullopt;
        else
            columns.push_back(it);
    }
    for (char s : separators)
        if (s == ':')
            columnRange = true;
    long firstRow = whole->firstRow, lastRow = whole->lastRow;
    long dataFirst = whole->firstRow + t.headerRows, dataLast = whole->lastRow - t.totalsRows;
    if (all) {
        // the whole table
    } else if (headers || totals || data) {
        if ((headers && t.headerRows == 0) || (totals && t.totalsRows == 0))
            return std::nullopt;
        firstRow = headers ? whole->firstRow : data ? dataFirst : dataLast + 1;
        lastRow = totals ? whole->lastRow : data ? dataLast : whole->firstRow + t.headerRows - 1;
    } else {
        firstRow = dataFirst;
        lastRow = dataLast;
    }
    if (lastRow < firstRow)
        return std::nullopt;
    long firstCol = whole->firstCol, lastCol = whole->lastCol;
    if (!columns.empty()) {
        auto indexOf = [&](const std::string& c) -> long {
            for (std::size_t i = 0; i < t.columns.size(); ++i)
                if (fold(t.columns[i]) == fold(c))
                    return static_cast<long>(i);
            return -1;
        };
        long x = indexOf(columns.front()), y = indexOf(columns.back());
        if (x < 0 || y < 0 || (columns.size() > 2) || (columns.size() == 2 && !columnRange))
            return std::nullopt;
        firstCol = whole->firstCol + std::min(x, y);
        lastCol = whole->firstCol + std::max(x, y);
    }
    CellArea a{firstRow, firstCol, lastRow, lastCol};
    return areaText(a);
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
    auto area = sheet < 0 ? std::nullopt : structuredArea(*t, spec);
    if (!area)
        return std::string("#REF!");
    std::size_t n = selfLink();
    noteArea(sheet, *area);
    return externalPrefix(std::to_string(n), sheetNameAt(sheet)) + *area;
}

std::optional<std::string> CopySession::name(std::string_view name)
{
    useName(name);
    return std::nullopt;
}

void CopySession::useName(std::string_view name)
{
    if (same_)
        return;
    std::string f = fold(name);
    if (ownNames_.count(f) || !globalNames_.count(f))
        return;
    if (namesSeen_.insert(f).second)
        namesToBring_.push_back(f);
}

std::string CopySession::translated(const std::string& formula)
{
    return translateFormula(formula, *this).value_or(formula);
}

void CopySession::translateAttribute(pugi::xml_attribute a)
{
    if (!a || !*a.value())
        return;
    if (auto t = translateFormula(a.value(), *this))
        a.set_value(t->c_str());
}

void CopySession::translateText(pugi::xml_node n)
{
    std::string text = n.text().get();
    if (text.empty())
        return;
    if (auto t = translateFormula(text, *this))
        n.text().set(t->c_str());
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

// ---------------------------------------------------------------- names

void CopySession::bringNames()
{
    const std::vector<DefinedNameEntry> dstNames = dst_.workbookPart().definedNames();
    std::string srcPrefix = src_.workbookPart().names().prefix();
    // The sheet's own names come with it.
    for (const DefinedNameEntry& d : srcNames_)
        if (d.localSheetId == static_cast<long>(srcIndex_))
            names_.push_back(PendingName{d.node, srcPrefix, true, translated(d.text)});
    // Workbook names its formulas use: the destination's own when it means the same, else
    // the source's, for the copy alone when the destination gives the name another meaning.
    for (std::size_t k = 0; k < namesToBring_.size(); ++k) {
        const DefinedNameEntry& d = srcNames_[globalNames_.at(namesToBring_[k])];
        std::string text = translated(d.text);
        std::string f = fold(d.name);
        const DefinedNameEntry* existing = nullptr;
        for (const DefinedNameEntry& x : dstNames)
            if (x.localSheetId == -1 && fold(x.name) == f)
                existing = &x;
        if (existing && fold(existing->text) == fold(text))
            continue;
        if (!existing && dst_.tableNamed(d.name))
            continue;  // a table holds the name there; the copy's formulas read that table
        names_.push_back(PendingName{d.node, srcPrefix, existing != nullptr, std::move(text)});
    }
}

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

std::string CopySession::carry(const std::string& part, const std::string& relType)
{
    std::string key = foldAscii(part);
    if (auto it = carried_.find(key); it != carried_.end())
        return it->second;
    Package& pkg = src_.package();
    if (!pkg.hasPart(part))
        return {};
    std::string type = sourceType(part);
    // Pictures are never edited: a copy in the same workbook shows the same part, and
    // copies into another workbook share the first one carried there.
    std::string identity;
    if (isMedia(relType, type)) {
        if (same_) {
            carried_[key] = part;
            return part;
        }
        identity = pkg.partIdentity(part);
        if (auto it = dst_.sharedCopies().find(identity); it != dst_.sharedCopies().end() &&
                                                         dst_.package().hasPart(it->second)) {
            carried_[key] = it->second;
            return it->second;
        }
    }
    if (relType == rel_type::kPivotCacheDefinition && sharesPivotCache(part)) {
        carried_[key] = part;
        return part;
    }
    NewPart np;
    np.name = dst_.reservePartName(part);
    np.type = type;
    carried_[key] = np.name;
    if (!identity.empty())
        sharedAfterCommit_[identity] = np.name;

    Relationships& rels = pkg.relationships(part);
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

    std::string content = pkg.readPart(part);
    const std::string& file = src_.displayPath();
    auto withDoc = [&](auto&& edit) {
        pugi::xml_document doc;
        loadXml(doc, content, file, part.substr(1));
        edit(doc);
        content = saveXml(doc);
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
    } else if (relType == rel_type::kThreadedComment) {
        withDoc([&](pugi::xml_document& d) { processThreaded(d); });
    } else if (relType == rel_type::kComments) {
        content = processComments(std::move(content));
    } else if (relType == kCtrlPropRel) {
        withDoc([&](pugi::xml_document& d) { processControl(d); });
    }
    np.content = std::move(content);
    parts_.push_back(std::move(np));
    return carried_[key];
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

void CopySession::drawingColours(pugi::xml_node root)
{
    if (same_)
        return;
    const ThemeInfo& from = src_.theme();
    const ThemeInfo& to = dst_.theme();
    bool colours = !from.sameColors(to), fonts = !from.sameFonts(to);
    if (!colours && !fonts)
        return;
    forEachElement(root, [&](pugi::xml_node n) {
        std::string_view qn = n.name();
        std::string_view local = localNameOf(n.name());
        if (colours && local == "schemeClr") {
            int slot = schemeSlot(n.attribute("val").value());
            if (slot < 0)
                return;
            std::string prefix(qn.substr(0, qn.size() - local.size()));
            n.set_name((prefix + "srgbClr").c_str());
            n.attribute("val").set_value(from.colors[static_cast<std::size_t>(slot)].c_str());
        } else if (fonts && (local == "latin")) {
            pugi::xml_attribute face = n.attribute("typeface");
            std::string_view v = face.value();
            if (v == "+mn-lt")
                face.set_value(from.minorFont.c_str());
            else if (v == "+mj-lt")
                face.set_value(from.majorFont.c_str());
        }
    });
}

void CopySession::processDrawing(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    drawingColours(root);
    forEachElement(root, [&](pugi::xml_node n) {
        if (pugi::xml_attribute link = n.attribute("textlink"))
            translateAttribute(link);
    });
}

void CopySession::processChart(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    drawingColours(root);
    std::vector<pugi::xml_node> pivotSources;
    forEachElement(root, [&](pugi::xml_node n) {
        std::string_view local = localNameOf(n.name());
        if (local == "f")
            translateText(n);
        else if (local == "pivotSource")
            pivotSources.push_back(n);
    });
    // A pivot chart names its pivot table by book and sheet; in another workbook it is a
    // chart of the values it shows.
    for (pugi::xml_node p : pivotSources) {
        if (same_) {
            pugi::xml_node nameNode;
            for (pugi::xml_node c = p.first_child(); c; c = c.next_sibling())
                if (localNameOf(c.name()) == "name")
                    nameNode = c;
            std::string text = nameNode.text().get();
            if (auto renamed = renameSheetInFormula(text, entry_.name, copyName_))
                nameNode.text().set(renamed->c_str());
        } else {
            p.parent().remove_child(p);
        }
    }
}

std::string CopySession::processVml(std::string text)
{
    if (!vmlBlocks_.empty()) {
        static const std::regex idmap(R"((idmap\b[^>]*\bdata\s*=\s*["'])([0-9, ]*)(["']))");
        std::string out;
        std::size_t last = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), idmap), end; it != end; ++it) {
            const auto& m = *it;
            out.append(text, last, static_cast<std::size_t>(m.position(0)) - last);
            std::string list = m[2], mapped;
            std::size_t i = 0;
            while (i < list.size()) {
                std::size_t j = list.find(',', i);
                if (j == std::string::npos)
                    j = list.size();
                std::string item = list.substr(i, j - i);
                item.erase(std::remove(item.begin(), item.end(), ' '), item.end());
                if (!item.empty()) {
                    long b = item.size() < 9 ? std::stol(item) : -1;
                    auto f = vmlBlocks_.find(b);
                    if (!mapped.empty())
                        mapped += ",";
                    mapped += f == vmlBlocks_.end() ? item : std::to_string(f->second);
                }
                i = j + 1;
            }
            out += m.str(1) + mapped + m.str(3);
            last = static_cast<std::size_t>(m.position(0) + m.length(0));
        }
        out.append(text, last, std::string::npos);
        text = std::move(out);
        static const std::regex spid(R"(_x0000_s([0-9]{1,9}))");
        out.clear();
        last = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), spid), end; it != end; ++it) {
            const auto& m = *it;
            out.append(text, last, static_cast<std::size_t>(m.position(0)) - last);
            out += "_x0000_s" + std::to_string(shapeId(std::stoul(m.str(1))));
            last = static_cast<std::size_t>(m.position(0) + m.length(0));
        }
        out.append(text, last, std::string::npos);
        text = std::move(out);
    }
    // Form controls drawn here read and write cells.
    static const std::regex fmla(R"((<x:Fmla(?:Link|Range)>)([^<]*)(</x:Fmla(?:Link|Range)>))");
    if (text.find("<x:Fmla") != std::string::npos) {
        std::string out;
        std::size_t last = 0;
        for (std::sregex_iterator it(text.begin(), text.end(), fmla), end; it != end; ++it) {
            const auto& m = *it;
            out.append(text, last, static_cast<std::size_t>(m.position(0)) - last);
            std::string t;
            appendEscapedText(t, translated(decodeXml(m.str(2))));
            out += m.str(1) + t + m.str(3);
            last = static_cast<std::size_t>(m.position(0) + m.length(0));
        }
        out.append(text, last, std::string::npos);
        text = std::move(out);
    }
    return text;
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

void CopySession::processThreaded(pugi::xml_document& doc)
{
    forEachElement(doc.document_element(), [&](pugi::xml_node n) {
        if (localNameOf(n.name()) != "threadedComment")
            return;
        for (const char* a : {"id", "parentId"})
            if (pugi::xml_attribute x = n.attribute(a))
                if (auto it = guids_.find(x.value()); it != guids_.end())
                    x.set_value(it->second.c_str());
        ensurePerson(n.attribute("personId").value());
        forEachElement(n, [&](pugi::xml_node m) {
            if (localNameOf(m.name()) == "mention")
                ensurePerson(m.attribute("mentionpersonId").value());
        });
    });
}

std::string CopySession::processComments(std::string text)
{
    // The legacy copy of a threaded comment names the thread by its id.
    for (const auto& [from, to] : guids_) {
        if (from == to)
            continue;
        std::size_t at = 0;
        while ((at = text.find(from, at)) != std::string::npos) {
            text.replace(at, from.size(), to);
            at += to.size();
        }
    }
    return text;
}

void CopySession::processControl(pugi::xml_document& doc)
{
    pugi::xml_node root = doc.document_element();
    for (const char* a : {"fmlaLink", "fmlaRange", "fmlaGroup", "fmlaTxbx"})
        translateAttribute(root.attribute(a));
}

// ---------------------------------------------------------------- commit

std::uint32_t CopySession::commit(StoredPart sheet, std::uint64_t stringCells, bool cellMetadata)
{
    Package& pkg = dst_.package();
    WorkbookPart& wb = dst_.workbookPart();
    Relationships& wbRels = pkg.relationships(dst_.workbookPartName());
    auto addRels = [&](const std::string& from, const std::vector<Relationship>& list) {
        if (list.empty())
            return;
        Relationships& own = pkg.relationships(from);
        for (const Relationship& r : list)
            own.addWithId(r.id, r.type, r.external ? r.target : own.relativeTarget(r.target), r.external);
    };

    // Sheet names and worksheet titles before the insertion, for the document properties.
    std::vector<std::string> kindBefore;
    std::size_t kindPosition = 0;
    for (std::size_t i = 0; i < wb.sheets().size(); ++i) {
        if (wb.sheets()[i].kind != entry_.kind)
            continue;
        if (i < position_)
            ++kindPosition;
        kindBefore.push_back(wb.sheets()[i].name);
    }

    std::string relId = wbRels.add(entry_.kind == SheetKind::Chartsheet ? rel_type::kChartsheet : rel_type::kWorksheet,
                                   wbRels.relativeTarget(sheetPart_));
    std::uint32_t handle = wb.insertSheet(position_, copyName_, relId, sheetPart_, entry_.kind, entry_.state);
    pkg.putStoredPart(sheetPart_, std::move(sheet));
    pkg.contentTypes().setOverride(sheetPart_, entry_.kind == SheetKind::Chartsheet ? content_type::kChartsheet
                                                                                    : content_type::kWorksheet);
    addRels(sheetPart_, sheetRels_);

    for (NewPart& p : parts_) {
        pkg.putPart(p.name, std::move(p.content));
        pkg.contentTypes().ensureType(p.name, p.type);
        addRels(p.name, p.rels);
    }
    for (auto& [identity, part] : sharedAfterCommit_)
        dst_.sharedCopies()[identity] = part;

    for (NewLink& l : newLinks_) {
        pkg.putPart(l.part, l.model->serialize());
        pkg.contentTypes().ensureType(l.part, content_type::kExternalLink);
        addRels(l.part, l.rels);
        std::string id = wbRels.add(rel_type::kExternalLink, wbRels.relativeTarget(l.part));
        wb.addExternalReference(id);
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

    for (const auto& [cacheId, part] : newCaches_) {
        std::string id = wbRels.add(rel_type::kPivotCacheDefinition, wbRels.relativeTarget(part));
        wb.addPivotCache(cacheId, id);
    }
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

    for (TableFacts& t : newTables_)
        dst_.addTable(std::move(t));
    if (!newThreadIds_.empty())
        dst_.threadedCommentIds().insert(newThreadIds_.begin(), newThreadIds_.end());

    if (stringCells > 0)
        dst_.sharedStrings().addReferences(stringCells);
    std::vector<std::string> titles;
    const bool hadNames = !wb.definedNames().empty();
    for (PendingName& n : names_) {
        std::optional<std::size_t> scope;
        if (n.scoped)
            scope = position_;
        wb.addName(n.source, n.sourcePrefix, scope, n.text);
        std::string name = n.source.attribute("name").value();
        bool hidden = n.source.attribute("hidden").as_bool(false);
        if (hidden || (name.rfind("_xlnm.", 0) == 0 && name != "_xlnm.Print_Area" && name != "_xlnm.Print_Titles"))
            continue;
        if (name.rfind("_xlnm.", 0) == 0)
            name = name.substr(6);
        titles.push_back(n.scoped ? quoteSheetName(copyName_) + "!" + name : name);
    }
    if (AppProperties* app = dst_.appProperties()) {
        app->addSheet(entry_.kind == SheetKind::Chartsheet ? "Charts" : "Worksheets", kindBefore, kindPosition,
                      copyName_);
        for (const std::string& t : titles)
            app->addNamedRange(t, !hadNames);
    }
    dst_.dropCalculationChain();
    return handle;
}

} // namespace tessaro::xlsx
