// SPDX-License-Identifier: MIT
#pragma once

#include "engine/zip/compression.h"
#include "engine/sheet_copy/sheet_copier.h"
#include "engine/sheet_copy/external_links.h"
#include "engine/sml/formula_refs.h"
#include "engine/sml/object_ids.h"
#include "engine/opc/relationships.h"
#include "engine/sml/workbook.h"
#include "engine/sml/workbook_part.h"

#include <pugixml.hpp>

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace tessaro::xlsx {

class StyleMerger;

// One copy of one sheet into one workbook, from the first look at the sheet's
// relationships to the commit into the destination. It decides what the copy's references
// become (the FormulaRules), carries every part the sheet points at under new names, and
// collects every change the destination needs; nothing in the destination's package changes
// before commit(), so a copy that fails leaves it as it was.
//
// The class is defined over one file per concern: copy_session.cpp (prepare and commit),
// link_planning.cpp, name_planning.cpp, workbook_parts.cpp (cell metadata, connections,
// persons), carry_parts.cpp (which parts travel, under what names) and the carriers of each
// kind of part, carry_tables.cpp, carry_drawings.cpp and carry_comments.cpp.
class CopySession final : public FormulaRules {
public:
    CopySession(Workbook& source, const SheetEntry& entry, std::size_t sourceIndex, Workbook& destination,
                std::string copyName, std::size_t position, const SheetCopyOptions& options = {});
    ~CopySession() override;
    CopySession(const CopySession&) = delete;
    CopySession& operator=(const CopySession&) = delete;

    // Reads the sheet's relationships and settles what the sheet's own part depends on:
    // which relationships travel, the names of copied tables, the shape-id blocks.
    void prepare();

    const std::vector<std::string>& carriedRelationships() const { return keptIds_; }
    // The source has workbook names or tables, so any formula may use them.
    bool formulasMayUseNames() const { return mayUseNames_; }
    long dateShift() const;
    bool movesShapes() const { return !vmlBlocks_.empty(); }
    std::size_t shapeId(std::size_t id) const;
    std::string shapeSignature() const;
    std::size_t cellMetadata(std::size_t cm);
    std::string metadataSignature() const;

    // FormulaRules: references to the sheet itself follow the copy's name; references to
    // other sheets of the source (in another workbook) become references to the source file;
    // tables copied with the sheet follow their new names; workbook names come along.
    std::optional<std::string> prefix(const PrefixedReference& ref) override;
    std::optional<std::string> table(std::string_view name, std::string_view spec) override;
    std::optional<std::string> name(std::string_view name) override;
    void at(std::string_view place) override { place_ = place; }

    SheetLinks links() const { return options_.links; }
    // Whether a formula of the sheet reads another sheet or another workbook, directly or
    // through the names it uses.
    bool readsOtherSheets(std::string_view formula);
    // Tells the user of cells whose formula gave way to a value they never showed.
    void noteEmptiedCells(const std::vector<std::string>& cells);
    void noteDatesKept(std::uint64_t count, const std::string& first);
    void noteUndefinedFormats(std::uint64_t count, const std::string& first);

    // Carries every part the sheet's relationships reach.
    void carryParts();
    // Settles the workbook names the copy's formulas use.
    void bringNames();
    // Fills the links to the source file with the values their references show.
    void finishLinks();
    // Writes everything into the destination; returns the new sheet's handle.
    std::uint32_t commit(StoredPart sheet, std::uint64_t stringCells, bool cellMetadata);

private:
    struct NewPart {
        std::string name;
        std::string content;
        // Set when no carrier edits the part: the source's part of this name, written as the
        // source stores it.
        std::string asStoredIn;
        std::string type;
        std::vector<Relationship> rels;  // internal targets as part names
    };
    struct NewLink {
        std::string part;
        std::string resolved;
        std::vector<Relationship> rels;
        std::unique_ptr<ExternalLinkModel> model;
    };
    struct PendingName {
        pugi::xml_node source;
        std::string sourcePrefix;
        bool scoped;
        std::string text;
    };
    struct LoadedPart {
        std::string part;
        pugi::xml_document doc;
        bool created = false;
        bool changed = false;
    };
    // What prepare() learns from the sheet's relationships.
    struct SheetRelationships {
        std::vector<std::string> vmlParts;
        std::vector<std::string> threadedParts;
        bool hasTables = false;
    };
    struct SheetsOfKind {
        std::vector<std::string> names;
        std::size_t position = 0;
    };

    // prepare(), step by step.
    SheetRelationships keepRelationships();
    void nameTables();
    void claimShapeBlocks(const std::vector<std::string>& vmlParts);
    void renewThreadIds(const std::vector<std::string>& threadedParts);

    // commit(), step by step.
    SheetsOfKind sheetsOfKind() const;
    void addRelationships(const std::string& from, const std::vector<Relationship>& list);
    std::uint32_t insertSheet(StoredPart sheet);
    void writeParts();
    void writeLinks();
    void writeWorkbookParts(bool cellMetadata);
    std::vector<std::string> addNames();

    // Carrying one part: what becomes of it, and the editing its kind needs.
    std::optional<std::string> reuseCarried(const std::string& part, const std::string& relType,
                                            const std::string& type, std::string& identity);
    void carryRelationships(const std::string& part, NewPart& np);
    std::optional<std::string> edited(const std::string& part, const std::string& relType, const std::string& type,
                                      NewPart& np);

    std::string carry(const std::string& part, const std::string& relType);
    std::string sourceType(const std::string& part) const;
    void processTable(pugi::xml_document& doc, const std::string& newPart);
    void processQueryTable(pugi::xml_document& doc);
    void processPivotTable(pugi::xml_document& doc, const std::vector<Relationship>& rels);
    void processPivotCache(pugi::xml_document& doc, const std::string& newPart, NewPart& part);
    void processDrawing(pugi::xml_document& doc);
    void processChart(pugi::xml_document& doc);
    std::string processVml(std::string text);
    void processThreaded(pugi::xml_document& doc);
    std::string processComments(std::string text);
    void processControl(pugi::xml_document& doc);
    bool sharesPivotCache(const std::string& part);
    void translateAttribute(pugi::xml_attribute a);
    void translateText(pugi::xml_node n);
    std::string translated(const std::string& formula);
    std::string definitionOf(const DefinedNameEntry& d);
    void drawingColours(pugi::xml_node root);
    void mapDifferentialFormats(pugi::xml_node root);
    StyleMerger& merger();

    friend class OutsideProbe;
    // The reference to `first` (to `last`) as the destination's own sheets read it, when the
    // copy's references read them there.
    std::optional<std::string> localPrefix(long first, long last);
    std::optional<std::string> destinationSheet(std::string_view name) const;
    // What a pivot table's cache reads when that is another sheet of the source (or a name or
    // table on one).
    std::optional<std::string> pivotSourceElsewhere(const std::string& pivotPart);
    // Tells the user, once per sheet and kind of place, that a reference still reads the source.
    void noteFallback(std::string_view sheet, std::string_view why);
    void note(std::string text);
    bool nameReadsOtherSheets(std::string_view name, int depth);

    std::size_t selfLink();
    std::size_t mapBook(long book);
    std::size_t findLink(const std::string& resolved);
    ExternalLinkModel& linkModel(std::size_t index);
    void noteArea(long sheet, const std::string& target);
    void useName(std::string_view name);
    std::string sheetNameAt(long index) const;
    std::string newTableName(const std::string& base);
    std::string dirOfWorkbook(const Workbook& w) const;

    LoadedPart& metadataPart();
    LoadedPart* destinationPart(std::string_view relType, std::string_view model, std::string_view rootXml);
    pugi::xml_node sourcePersons();
    void ensurePerson(const std::string& id);
    long copyConnection(long id);

    Workbook& src_;
    SheetCopyOptions options_;
    SheetEntry entry_;
    std::size_t srcIndex_;
    Workbook& dst_;
    std::string copyName_;
    std::size_t position_;
    bool same_;
    std::string sheetPart_;  // the copy's part in the destination

    bool mayUseNames_ = false;
    std::vector<std::string> keptIds_;
    std::vector<Relationship> sheetRels_;  // the copy's relationships (internal targets: source parts until carried)
    std::map<std::string, std::string> tableRenames_;  // folded source name -> the copy's table name
    std::set<std::string> takenTableNames_;
    long nextTableId_ = 0;
    std::vector<TableFacts> newTables_;
    ShapeBlockMap vmlBlocks_;
    std::map<std::string, std::string> guids_;  // threaded comment id -> the copy's
    std::vector<std::string> newThreadIds_;

    std::map<std::string, std::string> carried_;  // folded source part -> destination part
    std::vector<NewPart> parts_;
    std::map<std::string, std::string> sharedAfterCommit_;
    std::map<std::string, long> cacheIds_;  // new pivot cache part -> its cacheId
    std::vector<std::pair<long, std::string>> newCaches_;

    std::optional<std::size_t> selfLink_;
    std::map<long, std::size_t> books_;
    std::vector<NewLink> newLinks_;
    std::map<std::size_t, std::unique_ptr<ExternalLinkModel>> changedLinks_;
    std::map<long, std::vector<CellArea>> areas_;  // source sheet index -> areas its references use
    std::vector<std::pair<long, std::string>> externalNames_;  // source sheet, name

    std::map<std::string, std::size_t> globalNames_;  // folded -> index in srcNames_
    std::set<std::string> ownNames_;                  // folded names scoped to the copied sheet
    std::vector<DefinedNameEntry> srcNames_;
    std::vector<std::string> namesToBring_;
    std::set<std::string> namesSeen_;
    std::vector<PendingName> names_;
    pugi::xml_document namesDoc_;  // the sources of names made here

    std::unique_ptr<LoadedPart> persons_;
    std::unique_ptr<pugi::xml_document> sourcePersons_;
    std::unique_ptr<LoadedPart> connections_;
    std::unique_ptr<pugi::xml_document> sourceConnections_;
    std::unique_ptr<LoadedPart> metadata_;
    std::unique_ptr<pugi::xml_document> sourceMetadata_;
    std::map<std::size_t, std::size_t> cellMetadata_;

    std::string place_;  // where the formulas being translated sit
    std::set<std::string> noted_;
    std::map<std::string, bool> namesReadingOut_;  // folded name -> whether it reads other sheets
};

} // namespace tessaro::xlsx
