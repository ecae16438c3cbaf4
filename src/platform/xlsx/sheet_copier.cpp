// SPDX-License-Identifier: MIT
#include "platform/xlsx/sheet_copier.h"

#include "platform/xlsx/engine_error.h"
#include "platform/xlsx/sheet_names.h"
#include "platform/xlsx/sheet_rewriter.h"
#include "platform/xlsx/workbook.h"

#include <stdexcept>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// Bumped whenever the rewrite changes what it writes, so cached sheets are never mixed
// across versions.
constexpr std::string_view kRewriteVersion = "sheet-rewrite-1";

struct Prepared {
    SheetRewritePlan plan;
    std::string profileKey;
};

Fingerprint rewriteKey(const Prepared& p, const SheetProfile& profile)
{
    Fingerprinter f;
    f.add(kRewriteVersion).add(p.profileKey);
    // Names reach the bytes only through formulas that name sheets.
    if (profile.formulasNameSheets)
        f.add(p.plan.sourceName).add(p.plan.copyName);
    f.add(p.plan.colors.signature()).add(static_cast<std::uint64_t>(p.plan.destinationWindows));
    for (const auto& id : p.plan.keptRelationships)
        f.add(id);
    f.add(static_cast<std::uint64_t>(p.plan.keepCellMetadata));
    f.add(static_cast<std::uint64_t>(profile.cellFormats.size()));
    for (auto i : profile.cellFormats)
        f.add((static_cast<std::uint64_t>(i) << 32) | p.plan.cellFormat(i));
    f.add(static_cast<std::uint64_t>(profile.strings.size()));
    for (auto i : profile.strings)
        f.add((static_cast<std::uint64_t>(i) << 32) ^ p.plan.string(i));
    f.add(static_cast<std::uint64_t>(profile.differentialFormats.size()));
    for (auto i : profile.differentialFormats)
        f.add((static_cast<std::uint64_t>(i) << 32) | p.plan.differentialFormat(i));
    return f.result();
}

} // namespace

std::uint32_t copyWorksheet(Workbook& source, std::uint32_t handle, Workbook& destination, std::size_t position)
{
    long srcIndex = source.workbookPart().indexOf(handle);
    if (srcIndex < 0)
        throw EngineError(ErrorCode::SheetIndexOutOfRange, source.displayPath(), "the sheet is no longer there");
    const SheetEntry entry = source.workbookPart().sheets()[static_cast<std::size_t>(srcIndex)];
    if (entry.kind != SheetKind::Worksheet)
        throw EngineError(ErrorCode::SheetKindNotCopyable, source.displayPath(), fmt::format("\"{}\"", entry.name));
    const bool same = &source == &destination;
    const std::string& file = source.displayPath();

    const auto& destSheets = destination.workbookPart().sheets();
    std::string name = nameForCopy(entry.name, [&](std::string_view candidate) {
        for (const auto& s : destSheets)
            if (sameSheetName(s.name, candidate))
                return true;
        return false;
    });

    Prepared p;
    p.profileKey = source.package().partIdentity(entry.part);
    p.plan.sourceName = entry.name;
    p.plan.copyName = name;
    p.plan.destinationWindows = destination.workbookPart().windowCount();
    p.plan.keepCellMetadata = same;
    // Links to web pages and files outside the package need no part: they travel now.
    // Everything else a sheet points at is carried in a later stage.
    std::vector<Relationship> external;
    for (const Relationship& r : source.package().relationships(entry.part).all()) {
        if (r.external && r.type == rel_type::kHyperlink) {
            external.push_back(r);
            p.plan.keptRelationships.push_back(r.id);
        }
    }
    Stylesheet& srcStyles = source.styles();
    p.plan.sourceCellFormats = srcStyles.cellFormatCount();
    p.plan.sourceDifferentialFormats = srcStyles.differentialFormatCount();
    SharedStrings& srcStrings = source.sharedStrings();
    p.plan.sourceStrings = srcStrings.size();
    auto marks = destination.marks();
    if (same) {
        p.plan.cellFormat = [](std::size_t i) { return i; };
        p.plan.string = [](std::size_t i) { return i; };
        p.plan.differentialFormat = [](std::size_t i) { return i; };
    } else {
        StyleMerger& merger = destination.mergerFrom(source);
        SharedStrings& dstStrings = destination.sharedStrings();
        p.plan.colors = ColorTranslator(source.theme(), destination.theme(), srcStyles.palette(),
                                        destination.styles().palette());
        p.plan.cellFormat = [&merger](std::size_t i) { return merger.cellFormat(i); };
        p.plan.differentialFormat = [&merger](std::size_t i) { return merger.differentialFormat(i); };
        p.plan.string = [&srcStrings, &dstStrings, &colors = p.plan.colors](std::size_t i) {
            return dstStrings.intern(translateItemFormatting(srcStrings.canonicalItem(i), colors));
        };
    }

    EngineContext& ctx = destination.context();
    StoredPart stored;
    std::shared_ptr<const SheetProfile> profile;
    try {
        profile = ctx.findProfile(p.profileKey);
        std::optional<StoredPart> reused;
        Fingerprint key;
        if (profile) {
            key = rewriteKey(p, *profile);
            reused = ctx.findRewrite(key);
        }
        if (reused) {
            stored = *reused;
        } else {
            auto learnt = std::make_shared<SheetProfile>();
            auto reader = source.package().openPart(entry.part);
            stored = rewriteSheet(*reader, source.package().partSize(entry.part), p.plan, learnt.get(), file, entry.part.substr(1));
            ctx.countRewrite();
            if (!profile) {
                profile = learnt;
                ctx.keepProfile(p.profileKey, profile);
                key = rewriteKey(p, *profile);
            }
            ctx.keepRewrite(key, stored);
        }
    } catch (const std::out_of_range&) {
        destination.rollback(marks);
        throw EngineError(ErrorCode::StyleIndexOutOfRange, file, entry.part.substr(1));
    } catch (...) {
        destination.rollback(marks);
        throw;
    }

    // From here on nothing reads the source, so a copy into its own workbook sees the
    // source's names and positions as they were.
    std::vector<pugi::xml_node> scoped = source.workbookPart().namesScopedTo(static_cast<std::size_t>(srcIndex));
    std::string srcPrefix = source.workbookPart().names().prefix();
    std::vector<std::string> worksheetsBefore;
    std::size_t worksheetPosition = 0;
    for (std::size_t i = 0; i < destSheets.size(); ++i) {
        if (destSheets[i].kind != SheetKind::Worksheet)
            continue;
        if (i < position)
            ++worksheetPosition;
        worksheetsBefore.push_back(destSheets[i].name);
    }
    std::vector<std::pair<pugi::xml_node, std::string>> names;
    for (pugi::xml_node n : scoped) {
        std::string text = n.text().get();
        names.emplace_back(n, renameSheetInFormula(text, entry.name, name).value_or(text));
    }

    std::string part = destination.newWorksheetPartName();
    Package& pkg = destination.package();
    Relationships& rels = pkg.relationships(destination.workbookPartName());
    std::uint32_t newHandle;
    try {
        std::string relId = rels.add(rel_type::kWorksheet, rels.relativeTarget(part));
        newHandle = destination.workbookPart().insertSheet(position, name, relId, part, SheetKind::Worksheet,
                                                           entry.state);
    } catch (const std::length_error&) {
        destination.rollback(marks);
        throw EngineError(ErrorCode::TooManySheets, destination.displayPath());
    }
    pkg.putStoredPart(part, stored);
    if (!external.empty()) {
        Relationships& own = pkg.relationships(part);
        for (const Relationship& r : external)
            own.addExternal(r.id, r.type, r.target);
    }
    pkg.contentTypes().setOverride(part, content_type::kWorksheet);
    if (profile->stringCells > 0)
        destination.sharedStrings().addReferences(profile->stringCells);
    for (auto& [node, text] : names)
        destination.workbookPart().addScopedName(node, srcPrefix, position, text);
    if (AppProperties* app = destination.appProperties())
        app->addWorksheet(worksheetsBefore, worksheetPosition, name);
    destination.dropCalculationChain();
    return newHandle;
}

} // namespace tessaro::xlsx
