// SPDX-License-Identifier: MIT
#pragma once

#include "engine/opc/engine_context.h"
#include "engine/opc/package.h"
#include "engine/sml/shared_strings.h"
#include "engine/sml/styles.h"
#include "engine/sml/theme.h"
#include "engine/sml/workbook_part.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaro::xlsx {

// A table (list object) of a sheet, as copies and formulas need it.
struct TableFacts {
    std::string part;
    std::string sheetPart;
    std::string name;
    std::string displayName;
    long id = 0;
    std::string ref;
    std::vector<std::string> columns;
    long headerRows = 1;
    long totalsRows = 0;
};

// A workbook another one links to, as its externalReferences list it.
struct ExternalBookFacts {
    std::string relId;     // in the workbook's relationships
    std::string part;      // the external link part
    std::string target;    // as its relationship writes it
    std::string resolved;  // the same file, comparable across workbooks
};

// An open workbook: its package and the parts the engine models. Opening reads only what
// listing sheets needs (content types, relationships, the workbook part); styles, shared
// strings, theme and document properties are read the first time a copy needs them, and
// worksheets are never parsed except the one being copied.
class Workbook {
public:
    // Throws EngineError when the file is not a workbook this engine can open.
    Workbook(const std::filesystem::path& file, std::string displayPath, std::shared_ptr<EngineContext> context);

    std::uint64_t serial() const { return serial_; }
    // The file this workbook stands for: its own path, or the file it is a temporary copy of.
    const std::filesystem::path& origin() const { return origin_; }
    // The folder its relative links to other files start from.
    const std::filesystem::path& linkBase() const { return linkBase_; }
    const std::string& displayPath() const { return package_.displayPath(); }
    Package& package() { return package_; }
    EngineContext& context() { return *context_; }
    WorkbookPart& workbookPart() { return workbook_; }
    const WorkbookPart& workbookPart() const { return workbook_; }
    const std::string& workbookPartName() const { return workbookPartName_; }

    Stylesheet& styles();
    SharedStrings& sharedStrings();
    const ThemeInfo& theme();
    // Null when the package has no extended properties part.
    AppProperties* appProperties();

    // Maps formats of `source` onto this workbook's, remembering what it has merged.
    StyleMerger& mergerFrom(Workbook& source);
    // Forgets mergers that read from a workbook about to be closed.
    void forgetSource(std::uint64_t serial);
    // Forgets every merger (the workbook is kept aside, closed, for a later open).
    void forgetAllSources() { mergers_.clear(); }
    // Takes back formats and strings appended since the marks (a copy that failed).
    struct Marks {
        Stylesheet::Mark styles;
        SharedStrings::Mark strings;
    };
    Marks marks();
    void rollback(const Marks& m);

    // Drops the calculation chain (part, relationship, content type): after sheets change
    // it would name cells wrongly, and applications rebuild it.
    void dropCalculationChain();
    // Forgets what it knew of the parts of a sheet that was removed (`parts`: folded part
    // names), so that their names and ids are free again.
    void forgetRemovedSheet(const std::string& sheetPart, const std::set<std::string>& parts);
    // A free part name for a new worksheet.
    std::string newWorksheetPartName();
    // A free part name like `model` ("/xl/drawings/drawing1.xml" -> ".../drawing7.xml"),
    // never given out twice.
    std::string reservePartName(std::string_view model);

    // Every table of every sheet, tables of copies included.
    const std::vector<TableFacts>& tables();
    const TableFacts* tableNamed(std::string_view name);
    // No table and no defined name is called that (letter case ignored).
    bool tableNameFree(std::string_view name);
    long nextTableId();
    void addTable(TableFacts table);

    // The shape-id blocks (of 1024) that the workbook's VML drawings use.
    std::set<long>& vmlBlocks();
    // The ids of the workbook's threaded comments.
    std::set<std::string>& threadedCommentIds();

    // The workbooks this one links to, in formula order ([1] first).
    const std::vector<ExternalBookFacts>& externalBooks();
    void addExternalBook(ExternalBookFacts book);

    // Where the workbook part lists pivot caches: the next free cacheId.
    long nextPivotCacheId();

    // Parts copied in from other workbooks that later copies may share (pictures): the
    // source part's identity -> the part here.
    std::map<std::string, std::string>& sharedCopies() { return sharedCopies_; }

    bool modified() const;
    // While `why` is not empty the workbook is refused any further copy and any save: it
    // is in the middle of a change that failed halfway, and only closing it unsaved is sound.
    void setUnfitToSave(std::string why) { unfit_ = std::move(why); }
    const std::string& unfitToSave() const { return unfit_; }
    void save();
    void saveAs(const std::filesystem::path& file, std::string displayPath);

private:
    void flushModels();
    void loadStrings();
    template <class Work>
    void spooling(Work&& work);
    std::string partBeside(std::string_view fileName) const;

    std::uint64_t serial_;
    std::filesystem::path origin_;
    std::filesystem::path linkBase_;
    std::optional<std::vector<TableFacts>> tables_;
    std::optional<std::set<long>> vmlBlocks_;
    std::optional<std::set<std::string>> threadIds_;
    std::optional<std::vector<ExternalBookFacts>> externalBooks_;
    std::set<std::string> reservedParts_;
    std::map<std::string, unsigned> partCounters_;
    long reservedCacheId_ = -1;
    std::map<std::string, std::string> sharedCopies_;
    std::string unfit_;
    std::shared_ptr<EngineContext> context_;
    Package package_;
    std::string workbookPartName_;
    WorkbookPart workbook_;
    std::optional<Stylesheet> styles_;
    std::string stylesPart_;
    std::optional<SharedStrings> strings_;
    std::string stringsPart_;
    std::string flushedStrings_;
    std::optional<ThemeInfo> theme_;
    std::optional<AppProperties> app_;
    std::string appPart_;
    bool appLoaded_ = false;
    std::map<std::uint64_t, std::unique_ptr<StyleMerger>> mergers_;
};

} // namespace tessaro::xlsx
