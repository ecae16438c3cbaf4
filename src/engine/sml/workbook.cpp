// SPDX-License-Identifier: MIT
#include "engine/sml/workbook.h"

#include "platform/engine_error.h"
#include "engine/sml/link_targets.h"
#include "engine/sml/object_ids.h"
#include "engine/sml/sheet_names.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <system_error>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

std::atomic<std::uint64_t> nextSerial{1};

bool isWorkbookType(std::string_view t)
{
    return t == content_type::kWorkbook || t == content_type::kMacroWorkbook || t == content_type::kTemplate ||
           t == content_type::kMacroTemplate || t == content_type::kAddIn;
}

} // namespace

Workbook::Workbook(const std::filesystem::path& file, std::string displayPath, std::shared_ptr<EngineContext> context)
    : serial_(nextSerial++), context_(context), package_(file, std::move(displayPath), std::move(context))
{
    origin_ = context_->originOf(file);
    linkBase_ = context_->linkBaseOf(file);
    const std::string& display = package_.displayPath();
    Relationships& root = package_.relationships("/");
    const Relationship* main = root.firstOfType(rel_type::kOfficeDocument);
    if (!main)
        throw EngineError(ErrorCode::NotSpreadsheetPackage, display, "it names no main document");
    workbookPartName_ = root.resolve(*main);
    std::string type = package_.contentTypes().typeOf(workbookPartName_).value_or("");
    if (type == content_type::kBinaryWorkbook)
        throw EngineError(ErrorCode::BinaryWorkbook, display);
    if (!isWorkbookType(type))
        throw EngineError(ErrorCode::NotSpreadsheetPackage, display,
                          type.empty() ? std::string("its main document has no type") : "its main document is " + type);
    if (!package_.hasPart(workbookPartName_))
        throw EngineError(ErrorCode::PartMissing, display, workbookPartName_.substr(1));
    Relationships& rels = package_.relationships(workbookPartName_);
    workbook_.load(package_.readPart(workbookPartName_), display, workbookPartName_.substr(1), rels,
                   [&](const std::string& p) { return package_.hasPart(p); });
    for (const SheetEntry& s : workbook_.sheets())
        if (!s.relId.empty() && !rels.byId(s.relId))
            rels.reserve(s.relId);
}

std::string Workbook::partBeside(std::string_view fileName) const
{
    return workbookPartName_.substr(0, workbookPartName_.rfind('/') + 1) + std::string(fileName);
}

Stylesheet& Workbook::styles()
{
    if (!styles_) {
        styles_.emplace();
        Relationships& rels = package_.relationships(workbookPartName_);
        const Relationship* r = rels.firstOfType(rel_type::kStyles);
        if (r && package_.hasPart(rels.resolve(*r))) {
            stylesPart_ = rels.resolve(*r);
            styles_->load(package_.readPart(stylesPart_), displayPath(), stylesPart_.substr(1));
        } else {
            styles_->loadDefault();
        }
    }
    return *styles_;
}

SharedStrings& Workbook::sharedStrings()
{
    if (!strings_) {
        strings_.emplace();
        Relationships& rels = package_.relationships(workbookPartName_);
        const Relationship* r = rels.firstOfType(rel_type::kSharedStrings);
        if (r && package_.hasPart(rels.resolve(*r))) {
            stringsPart_ = rels.resolve(*r);
            loadStrings();
        } else {
            strings_->loadEmpty();
        }
    }
    return *strings_;
}

// A full disk while a temporary file is written is said as such, not as a fault of the file.
template <class Work>
void Workbook::spooling(Work&& work)
{
    try {
        work();
    } catch (const std::system_error& e) {
        if (e.code().value() == ENOSPC || e.code().value() == EDQUOT)
            throw EngineError(ErrorCode::DiskFull, displayPath(),
                              fmt::format("{}: no room for its temporary file ({})", stringsPart_.substr(1), e.what()));
        throw;
    }
}

// A huge table is streamed to a temporary file rather than held. A strict package's parts
// are translated as they are read whole, so its table is always read whole.
void Workbook::loadStrings()
{
    if (package_.conformance() == Conformance::Transitional &&
        package_.partSize(stringsPart_) >= SharedStrings::streamingThreshold())
        spooling([&] { strings_->loadStreamed(*package_.openPart(stringsPart_), displayPath(), stringsPart_.substr(1)); });
    else
        strings_->load(package_.readPart(stringsPart_), displayPath(), stringsPart_.substr(1));
}

const ThemeInfo& Workbook::theme()
{
    if (!theme_) {
        Relationships& rels = package_.relationships(workbookPartName_);
        const Relationship* r = rels.firstOfType(rel_type::kTheme);
        if (r && package_.hasPart(rels.resolve(*r))) {
            std::string part = rels.resolve(*r);
            theme_ = parseTheme(package_.readPart(part), displayPath(), part.substr(1));
        } else {
            theme_ = defaultTheme();
        }
    }
    return *theme_;
}

AppProperties* Workbook::appProperties()
{
    if (!appLoaded_) {
        appLoaded_ = true;
        const Relationship* r = package_.relationships("/").firstOfType(rel_type::kExtendedProperties);
        if (r) {
            std::string part = package_.relationships("/").resolve(*r);
            if (package_.hasPart(part)) {
                app_.emplace();
                appPart_ = part;
                app_->load(package_.readPart(part), displayPath(), part.substr(1));
            }
        }
    }
    return app_ ? &*app_ : nullptr;
}

StyleMerger& Workbook::mergerFrom(Workbook& source)
{
    auto it = mergers_.find(source.serial());
    if (it != mergers_.end())
        return *it->second;
    Stylesheet& src = source.styles();
    Stylesheet& dst = styles();
    ColorTranslator colors(source.theme(), theme(), src.palette(), dst.palette());
    auto m = std::make_unique<StyleMerger>(src, dst, std::move(colors), source.displayPath());
    return *mergers_.emplace(source.serial(), std::move(m)).first->second;
}

void Workbook::forgetSource(std::uint64_t serial)
{
    mergers_.erase(serial);
}

Workbook::Marks Workbook::marks()
{
    return Marks{styles().mark(), sharedStrings().mark()};
}

void Workbook::rollback(const Marks& m)
{
    styles().rollback(m.styles);
    sharedStrings().rollback(m.strings);
    for (auto& [k, merger] : mergers_)
        merger->forget();
}

void Workbook::dropCalculationChain()
{
    Relationships& rels = package_.relationships(workbookPartName_);
    while (const Relationship* r = rels.firstOfType(rel_type::kCalcChain)) {
        std::string part = rels.resolve(*r);
        std::string id = r->id;
        package_.removePart(part);
        package_.contentTypes().removeOverride(part);
        rels.remove(id);
    }
}

void Workbook::forgetRemovedSheet(const std::string& sheetPart, const std::set<std::string>& parts)
{
    if (tables_)
        std::erase_if(*tables_, [&](const TableFacts& t) { return foldAscii(t.sheetPart) == foldAscii(sheetPart); });
    std::erase_if(sharedCopies_, [&](const auto& kept) { return parts.contains(foldAscii(kept.second)); });
}

std::string Workbook::newWorksheetPartName()
{
    return reservePartName(partBeside("worksheets/sheet1.xml"));
}

std::string Workbook::reservePartName(std::string_view model)
{
    std::size_t slash = model.rfind('/');
    std::string dir(model.substr(0, slash + 1));
    std::string file(model.substr(slash + 1));
    std::size_t dot = file.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : file.substr(dot);
    std::string stem = file.substr(0, dot == std::string::npos ? file.size() : dot);
    while (!stem.empty() && std::isdigit(static_cast<unsigned char>(stem.back())))
        stem.pop_back();
    if (stem.empty())
        stem = "part";
    std::string key = foldAscii(dir + stem + "#" + ext);
    unsigned& n = partCounters_[key];
    for (;;) {
        ++n;
        std::string candidate = dir + stem + std::to_string(n) + ext;
        // A stray relationships part of that name would attach itself to the new part.
        if (!package_.hasPart(candidate) && !package_.hasPart(Relationships(candidate).partName()) &&
            reservedParts_.insert(foldAscii(candidate)).second)
            return candidate;
    }
}

const std::vector<TableFacts>& Workbook::tables()
{
    if (tables_)
        return *tables_;
    tables_.emplace();
    for (const SheetEntry& s : workbook_.sheets()) {
        if (s.kind != SheetKind::Worksheet)
            continue;
        Relationships& rels = package_.relationships(s.part);
        for (const Relationship& r : rels.all()) {
            if (r.external || r.type != rel_type::kTable)
                continue;
            std::string part = rels.resolve(r);
            if (!package_.hasPart(part))
                continue;
            pugi::xml_document doc;
            try {
                loadXml(doc, package_.readPart(part), displayPath(), part.substr(1));
            } catch (const EngineError&) {
                continue;  // a damaged table is the workbook's own affair; it names nothing
            }
            pugi::xml_node t = doc.document_element();
            TableFacts f;
            f.part = part;
            f.sheetPart = s.part;
            f.name = t.attribute("name").value();
            f.displayName = t.attribute("displayName").value();
            if (f.displayName.empty())
                f.displayName = f.name;
            f.id = t.attribute("id").as_llong(0);
            f.ref = t.attribute("ref").value();
            f.headerRows = t.attribute("headerRowCount") ? t.attribute("headerRowCount").as_int(1) : 1;
            f.totalsRows = t.attribute("totalsRowCount").as_int(0);
            for (pugi::xml_node c : t.children())
                if (localNameOf(c.name()) == "tableColumns")
                    for (pugi::xml_node col : c.children())
                        if (localNameOf(col.name()) == "tableColumn")
                            f.columns.emplace_back(col.attribute("name").value());
            tables_->push_back(std::move(f));
        }
    }
    return *tables_;
}

const TableFacts* Workbook::tableNamed(std::string_view name)
{
    std::string folded = foldSheetName(name);
    for (const TableFacts& t : tables())
        if (foldSheetName(t.displayName) == folded || foldSheetName(t.name) == folded)
            return &t;
    return nullptr;
}

bool Workbook::tableNameFree(std::string_view name)
{
    if (tableNamed(name))
        return false;
    std::string folded = foldSheetName(name);
    for (const DefinedNameEntry& d : workbook_.definedNames())
        if (foldSheetName(d.name) == folded)
            return false;
    return true;
}

long Workbook::nextTableId()
{
    long id = 0;
    for (const TableFacts& t : tables())
        id = std::max(id, t.id);
    return id + 1;
}

void Workbook::addTable(TableFacts table)
{
    tables();
    tables_->push_back(std::move(table));
}

std::set<long>& Workbook::vmlBlocks()
{
    if (vmlBlocks_)
        return *vmlBlocks_;
    vmlBlocks_.emplace();
    for (const std::string& name : package_.partNames()) {
        std::string type = package_.contentTypes().typeOf(name).value_or("");
        bool vml = type == content_type::kVmlDrawing ||
                   (name.size() > 4 && foldAscii(name.substr(name.size() - 4)) == ".vml");
        if (vml)
            collectShapeBlocks(package_.readPart(name), *vmlBlocks_);
    }
    return *vmlBlocks_;
}

std::set<std::string>& Workbook::threadedCommentIds()
{
    if (threadIds_)
        return *threadIds_;
    threadIds_.emplace();
    for (const std::string& name : package_.partNames()) {
        std::string type = package_.contentTypes().typeOf(name).value_or("");
        if (type != "application/vnd.ms-excel.threadedcomments+xml")
            continue;
        for (std::string& id : threadIds(package_.readPart(name)))
            threadIds_->insert(std::move(id));
    }
    return *threadIds_;
}

const std::vector<ExternalBookFacts>& Workbook::externalBooks()
{
    if (externalBooks_)
        return *externalBooks_;
    externalBooks_.emplace();
    Relationships& rels = package_.relationships(workbookPartName_);
    for (const std::string& id : workbook_.externalReferences()) {
        ExternalBookFacts f;
        f.relId = id;
        if (const Relationship* r = rels.byId(id); r && !r->external) {
            f.part = rels.resolve(*r);
            if (package_.hasPart(f.part)) {
                Relationships& own = package_.relationships(f.part);
                for (const Relationship& x : own.all())
                    if (x.external && x.type == rel_type::kExternalLinkPath) {
                        f.target = x.target;
                        break;
                    }
            }
        }
        f.resolved = f.target.empty() ? std::string() : resolveExternalTarget(f.target, linkBase_);
        externalBooks_->push_back(std::move(f));
    }
    return *externalBooks_;
}

void Workbook::addExternalBook(ExternalBookFacts book)
{
    externalBooks();
    externalBooks_->push_back(std::move(book));
}

long Workbook::nextPivotCacheId()
{
    long id = reservedCacheId_;
    for (const auto& [cacheId, rel] : workbook_.pivotCaches())
        id = std::max(id, cacheId);
    reservedCacheId_ = id + 1;
    return reservedCacheId_;
}

bool Workbook::modified() const
{
    return package_.modified() || workbook_.modified() || (styles_ && styles_->modified()) ||
           (strings_ && strings_->modified()) || (app_ && app_->modified());
}

void Workbook::flushModels()
{
    Relationships& rels = package_.relationships(workbookPartName_);
    if (workbook_.modified())
        package_.putPart(workbookPartName_, workbook_.serialize());
    if (styles_ && styles_->modified()) {
        if (stylesPart_.empty()) {
            stylesPart_ = partBeside("styles.xml");
            rels.add(rel_type::kStyles, rels.relativeTarget(stylesPart_));
            package_.contentTypes().setOverride(stylesPart_,
                                                "application/vnd.openxmlformats-officedocument.spreadsheetml.styles+xml");
        }
        package_.putPart(stylesPart_, styles_->serialize());
    }
    if (strings_ && strings_->modified()) {
        if (stringsPart_.empty()) {
            stringsPart_ = partBeside("sharedStrings.xml");
            rels.add(rel_type::kSharedStrings, rels.relativeTarget(stringsPart_));
            package_.contentTypes().setOverride(stringsPart_, content_type::kSharedStrings);
        }
        if (strings_->streamed()) {
            spooling([&] { package_.putStoredPart(stringsPart_, strings_->serializeStored()); });
        } else {
            flushedStrings_ = strings_->serialize();
            package_.putPart(stringsPart_, flushedStrings_);
        }
    }
    if (app_ && app_->modified())
        package_.putPart(appPart_, app_->serialize());
}

void Workbook::save()
{
    saveAs(package_.path(), package_.displayPath());
}

void Workbook::saveAs(const std::filesystem::path& file, std::string displayPath)
{
    if (!unfit_.empty())
        throw EngineError(ErrorCode::SaveFailed, package_.displayPath(), unfit_ + ", so it was not saved");
    bool samePlace = file == package_.path();
    if (samePlace && !modified())
        return;  // the file already holds exactly this workbook
    flushModels();
    package_.saveAs(file, std::move(displayPath));
    // The file written there stands for what this workbook stood for.
    if (origin_ != context_->originOf(file))
        context_->setOrigin(file, origin_);
    // The models now describe what is on disk.
    workbook_.markSaved();
    if (styles_)
        styles_->markSaved();
    if (strings_ && strings_->modified()) {
        if (strings_->streamed())
            loadStrings();
        else
            strings_->load(std::move(flushedStrings_), package_.displayPath(), stringsPart_.substr(1));
    }
    flushedStrings_.clear();
    if (app_)
        app_->markSaved();
}

} // namespace tessaro::xlsx
