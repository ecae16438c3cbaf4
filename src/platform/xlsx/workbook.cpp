// SPDX-License-Identifier: MIT
#include "platform/xlsx/workbook.h"

#include "platform/xlsx/engine_error.h"

#include <atomic>

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
    const std::string& display = package_.displayPath();
    Relationships& root = package_.relationships("/");
    const Relationship* main = root.firstOfType(rel_type::kOfficeDocument);
    if (!main) {
        if (root.firstOfType(rel_type::kStrictOfficeDocument))
            throw EngineError(ErrorCode::StrictOpenXml, display);
        throw EngineError(ErrorCode::NotSpreadsheetPackage, display, "it names no main document");
    }
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
            strings_->load(package_.readPart(stringsPart_), displayPath(), stringsPart_.substr(1));
        } else {
            strings_->loadEmpty();
        }
    }
    return *strings_;
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
    auto m = std::make_unique<StyleMerger>(src, dst, std::move(colors));
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

std::string Workbook::newWorksheetPartName()
{
    for (unsigned n = 1;; ++n) {
        std::string candidate = partBeside(fmt::format("worksheets/sheet{}.xml", n));
        // A stray relationships part of that name would attach itself to the new sheet.
        if (!package_.hasPart(candidate) && !package_.hasPart(Relationships(candidate).partName()))
            return candidate;
    }
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
        flushedStrings_ = strings_->serialize();
        package_.putPart(stringsPart_, flushedStrings_);
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
    bool samePlace = file == package_.path();
    if (samePlace && !modified())
        return;  // the file already holds exactly this workbook
    flushModels();
    package_.saveAs(file, std::move(displayPath));
    // The models now describe what is on disk.
    workbook_.markSaved();
    if (styles_)
        styles_->markSaved();
    if (strings_ && strings_->modified())
        strings_->load(std::move(flushedStrings_), package_.displayPath(), stringsPart_.substr(1));
    flushedStrings_.clear();
    if (app_)
        app_->markSaved();
}

} // namespace tessaro::xlsx
