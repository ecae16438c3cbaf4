// SPDX-License-Identifier: MIT
#pragma once

#include "engine/zip/compression.h"
#include "engine/sml/formula_refs.h"
#include "engine/sml/theme.h"
#include "engine/xml/conformance.h"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tessaro::xlsx {

class PartReader;

// One question a rewrite asked about a formula's references. Asking the same questions
// of another copy's rules tells whether it would write the same bytes.
struct FormulaCall {
    enum class Kind : unsigned char { Prefix, Table, Name };
    Kind kind = Kind::Prefix;
    PrefixedReference ref;  // Prefix
    std::string name;       // Table, Name
    std::string spec;       // Table
    std::string place;      // where the question was first asked
};

// What a worksheet uses from its workbook, learnt while it is rewritten. With it the next
// copy of the same sheet can settle every mapping first and then find out whether an
// earlier copy already produced the same bytes.
// Indexes are listed in the order the sheet first uses them.
struct SheetProfile {
    std::vector<std::uint32_t> cellFormats;          // cell, row and column formats (0 for unformatted)
    std::vector<std::uint32_t> strings;              // shared-string indexes
    std::vector<std::uint32_t> differentialFormats;  // conditional-format dxfIds
    std::uint64_t stringCells = 0;                   // cells of type "s"
    // Some formula (in a cell, a conditional format or a validation) names a sheet: only
    // then does the copy's name change what a rewrite writes.
    bool formulasNameSheets = false;
    // Every distinct question asked of the formula rules, in the order first asked.
    std::vector<FormulaCall> formulaCalls;
    // Some cell carries cell metadata (a dynamic array formula).
    bool cellMetadata = false;
    // Cells whose formula gave way to a value they never showed: they are left empty.
    std::vector<std::string> emptiedCells;
    // Date cells the destination's date system has no day for: they keep their number.
    std::uint64_t datesKept = 0;
    std::string firstDateKept;
    // Cells, rows and columns citing a format the source does not define: they take format 0.
    std::uint64_t undefinedFormats = 0;
    std::string firstUndefinedFormat;
};

// Everything a rewrite of one sheet depends on. The maps are called at most once per index
// and may append formats or strings to the destination as they go.
struct SheetRewritePlan {
    std::size_t sourceCellFormats = 0;
    std::size_t sourceStrings = 0;
    std::size_t sourceDifferentialFormats = 0;
    std::function<std::size_t(std::size_t)> cellFormat;
    std::function<std::size_t(std::size_t)> string;
    std::function<std::size_t(std::size_t)> differentialFormat;
    // References to the sheet by its own name follow it to the copy's name.
    std::string sourceName;
    std::string copyName;
    ColorTranslator colors;
    // The copy's tab is the selected one (it takes the place of the active tab); else no tab
    // of the copy is selected.
    bool selected = false;
    // Views of windows the destination does not have are left out.
    std::size_t destinationWindows = 1;
    // Relationship ids the copy keeps (links to targets outside the package, which the
    // copy's own relationships part repeats); elements using any other id are left out.
    std::vector<std::string> keptRelationships;
    // Cell metadata indexes (dynamic arrays, rich values) point into the source workbook's
    // metadata part; they stay only when the copy lands in that same workbook, else cell
    // metadata goes through `cellMetadata` (0: left out) and value metadata is left out.
    bool keepCellMetadata = false;
    std::function<std::size_t(std::size_t)> cellMetadata;
    // What formulas' references become (another sheet of the source, a table, a name); null
    // for a plain rename of the sheet's references to itself. With `everyFormula` false, only
    // formulas that name a sheet, a book or a table are asked about.
    FormulaRules* formulas = nullptr;
    bool everyFormula = false;
    // Cell formulas for which this answers true are left out and their cells keep the value
    // they showed (a shared formula's dependents go with their master); null keeps every one.
    std::function<bool(std::string_view formula)> valueInstead;
    // Days added to date-formatted numbers (the two workbooks count dates from different
    // days), and which source cell formats show dates.
    long dateShift = 0;
    std::vector<bool> dateFormats;
    // The shape ids (of form controls and embedded objects) the copy's drawings give them.
    std::function<std::size_t(std::size_t)> shapeId;
    // The class the destination's markup is in: the copy declares its namespaces that way,
    // whichever way the source did.
    Conformance conformance = Conformance::Transitional;
};

// Rewrites a worksheet (or chartsheet) part for its place in another workbook, as one pass over the XML
// that never holds the sheet's cells: cell, row and column formats and shared-string
// indexes are renumbered through the plan (a cell without a format gets one when the
// destination's default differs), self-references are renamed, the tab is unselected, and
// every element that points at a relationship of the source is left out (so no reference
// dangles), together with containers that this leaves empty. Everything else is written as
// it was, byte for byte. Throws EngineError naming `file` and `part` for malformed XML or
// an index the source does not define.
StoredPart rewriteSheet(PartReader& input, std::uint64_t sizeHint, const SheetRewritePlan& plan,
                        SheetProfile* profile, const std::string& file, const std::string& part);

} // namespace tessaro::xlsx
