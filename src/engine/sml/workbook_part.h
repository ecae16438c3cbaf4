// SPDX-License-Identifier: MIT
#pragma once

#include "platform/errors.h"
#include "engine/opc/relationships.h"
#include "engine/xml/xml_dom.h"

#include <pugixml.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

enum class SheetKind { Worksheet, Chartsheet, Dialogsheet, Macrosheet, Other };

struct SheetEntry {
    std::uint32_t handle = 0;  // stable while sheets are inserted around it
    pugi::xml_node node;
    std::string name;
    std::string relId;
    std::string part;          // resolved part name
    SheetKind kind = SheetKind::Other;
    std::string state;         // "visible", "hidden" or "veryHidden"
    // Why the sheet cannot be read, when it cannot (no relationship, no part behind it). It
    // keeps its place, so the other sheets are used as usual and a save writes it unchanged.
    std::string fault;
    ErrorCode faultCode = ErrorCode::WorkbookInvalid;
    bool usable() const { return fault.empty(); }
};

struct DefinedNameEntry {
    pugi::xml_node node;
    std::string name;
    long localSheetId = -1;  // -1: the workbook's own name
    std::string text;
};

// The workbook part: the sheets in tab order, the defined names, the windows. Edits are
// made in the document itself, so everything else it holds is written back unchanged.
class WorkbookPart {
public:
    // `partExists` tells whether a sheet's part is in the package.
    void load(std::string_view xml, const std::string& file, const std::string& part, const Relationships& rels,
              const std::function<bool(const std::string&)>& partExists);

    const std::vector<SheetEntry>& sheets() const { return sheets_; }
    // Position of a sheet handle in tab order; -1 when the handle is unknown.
    long indexOf(std::uint32_t handle) const;
    std::size_t windowCount() const;
    bool date1904() const;
    const NsNames& names() const { return n_; }

    // Whether a sheet id is left for one more sheet.
    bool canTakeAnotherSheet() const { return freeSheetId().has_value(); }

    // Inserts a sheet at `position` (0-based, tab order) with a fresh sheetId, and keeps
    // every other sheet's scoped names, the active tab and the first visible tab on the
    // sheets they named. Returns the new sheet's handle.
    std::uint32_t insertSheet(std::size_t position, const std::string& name, const std::string& relId,
                              const std::string& part, SheetKind kind, std::string_view state);
    // Takes the sheet at `position` out of the tab order with its scoped names; every other
    // sheet's scoped names, the active tab and the first shown tab stay on the sheets they
    // named (an active tab that was this sheet moves to the sheet that takes its position).
    void removeSheet(std::size_t position);
    // Whether the first window shows the sheet at `position` as its active tab.
    bool isActiveTab(std::size_t position) const;
    // The first window shows the sheet at `position` as its active tab.
    void setActiveTab(std::size_t position);
    void removePivotCache(const std::string& relId);
    // Gives a defined name (a node from definedNames()) new formula text.
    void setNameText(pugi::xml_node name, const std::string& text);
    // Asks applications to calculate every formula when they next open the workbook: some
    // cached values no longer follow from the formulas.
    void calculateOnLoad();
    // Adds a copy of a defined name (from any workbook part) scoped to `localSheetId` with
    // formula text `text`, at its sorted place.
    void addScopedName(pugi::xml_node source, std::string_view sourcePrefix, std::size_t localSheetId,
                       const std::string& text);
    // The same for a name of the whole workbook when `localSheetId` is nothing.
    void addName(pugi::xml_node source, std::string_view sourcePrefix, std::optional<std::size_t> localSheetId,
                 const std::string& text);
    std::vector<DefinedNameEntry> definedNames() const;
    // Position of the sheet with that name (letter case ignored); -1 when there is none.
    long indexOfName(std::string_view name) const;

    // The relationship ids of the external workbooks, in the order formulas number them
    // ([1] is the first).
    std::vector<std::string> externalReferences() const;
    // Appends one; returns its number in formulas.
    std::size_t addExternalReference(const std::string& relId);
    // cacheId and relationship id of every pivot cache.
    std::vector<std::pair<long, std::string>> pivotCaches() const;
    void addPivotCache(long cacheId, const std::string& relId);

    bool modified() const { return modified_; }
    void markSaved() { modified_ = false; }
    std::string serialize() const;

private:
    static constexpr long kMostSheetIds = 65534;

    void ensureRelPrefix();
    // The id a new sheet takes: one past the largest, else the smallest unused one.
    std::optional<long> freeSheetId() const;

    pugi::xml_document doc_;
    NsNames n_;
    std::string relPrefix_;
    pugi::xml_node sheetsNode_;
    std::vector<SheetEntry> sheets_;
    std::uint32_t nextHandle_ = 1;
    bool modified_ = false;
};

// docProps/app.xml: the document statistics, of which a sheet copy touches the list of
// worksheet titles (HeadingPairs and TitlesOfParts), keeping the two consistent.
class AppProperties {
public:
    void load(std::string_view xml, const std::string& file, const std::string& part);
    // Adds `name` as the sheet at `position` among the sheets of its kind listed under
    // `group` ("Worksheets", "Charts"), given their names before the insertion. Leaves the
    // part alone (returns false) when its lists do not describe those sheets.
    bool addSheet(std::string_view group, const std::vector<std::string>& before, std::size_t position,
                  const std::string& name);
    // Lists a name ("Sheet1!Print_Area", "Rates") under "Named Ranges"; the group is made
    // only with `createGroup` (a workbook that had no names, so none are missing from it).
    bool addNamedRange(const std::string& title, bool createGroup);
    bool modified() const { return modified_; }
    void markSaved() { modified_ = false; }
    std::string serialize() const;

private:
    struct Lists;
    bool lists(Lists& out);
    bool insertTitle(Lists& l, std::size_t group, std::size_t offsetInGroup, const std::string& title);
    bool addGroup(Lists& l, std::size_t beforeGroup, std::string_view name, const std::string& title);

    pugi::xml_document doc_;
    bool modified_ = false;
};

} // namespace tessaro::xlsx
