// SPDX-License-Identifier: MIT
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// A reference with a sheet or book prefix, as a formula stores it: `Sheet2!A1`,
// `'My sheet'!$A$1:$B$2`, `Jan:Mar!B3`, `[1]Rates!C4`, `'[2]Old data'!D5`, `[1]!Total`.
struct PrefixedReference {
    std::optional<std::string> book;  // the text inside the book brackets ("1", "0"), when there is one
    std::string first;                // sheet name, unquoted; empty for a book-level name ([1]!Total)
    std::string last;                 // the last sheet of a 3-D range, else empty
    std::string target;               // what follows "!" as written: an area, a cell, a name, an error
};

// Decides what a formula's references become. Every method answers "keep" by returning
// nothing.
class FormulaRules {
public:
    virtual ~FormulaRules() = default;
    // The text to write instead of the prefix and its "!" (the target after it stays).
    virtual std::optional<std::string> prefix(const PrefixedReference& ref) = 0;
    // The text to write instead of a whole structured reference `name[spec]`; `spec`
    // includes its outer brackets.
    virtual std::optional<std::string> table(std::string_view name, std::string_view spec) = 0;
    // A bare name the formula uses (neither a function nor a reference), e.g. a defined name.
    virtual std::optional<std::string> name(std::string_view name) = 0;
    // A reference written without a prefix, whole: `B7`, `$A$1:$C$9`, `A:C`, `$3:$5`.
    virtual void area(std::string_view area) { (void)area; }
    // Where the formulas asked about next sit: a cell ("B4") or a phrase ("a data validation").
    virtual void at(std::string_view place) { (void)place; }
};

// The formula (as stored, without "=") with its references rewritten by `rules`; nothing when
// no reference changed. String literals, array constants, functions and errors pass as they
// are.
std::optional<std::string> translateFormula(std::string_view formula, FormulaRules& rules);

// A sheet prefix with a book index, quoted when the sheet's name needs it:
// `[3]Sheet2!`, `'[3]My sheet'!`, `'[3]Jan:Mar'!`, `[3]!` for a book-level name.
std::string externalPrefix(std::string_view book, std::string_view first, std::string_view last = {});

// An area as row and column numbers (1-based, inclusive), parsed from `A1`, `$A$1:$C$9`,
// `A:C` or `3:5`; whole columns and rows are bounded by the sheet's size.
struct CellArea {
    long firstRow = 0, firstCol = 0, lastRow = 0, lastCol = 0;
    bool contains(long row, long col) const
    {
        return row >= firstRow && row <= lastRow && col >= firstCol && col <= lastCol;
    }
};
std::optional<CellArea> parseArea(std::string_view text);

// Whether `text` reads as an A1-style cell reference: one to three letters, then digits, each
// part optionally after a "$" ("B7", "$AB$12"). A name that does must be written otherwise.
bool isCellReference(std::string_view text);

// "AB" -> 28; 0 when it is not a column.
long columnNumber(std::string_view letters);
std::string columnLetters(long column);
// "$C$7" -> row 7, column 3.
bool parseCell(std::string_view text, long& row, long& col);

} // namespace tessaro::xlsx
