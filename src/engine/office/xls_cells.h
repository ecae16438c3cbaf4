// SPDX-License-Identifier: MIT
#pragma once

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro {

// What LibreOffice 7.4 writes into an .xls otherwise than it holds it: a cell holding an error
// value becomes a formula of that error, which LibreOffice reads back as Err:520 (so formulas
// reading the cell change too), a formula holding an error constant anywhere becomes the
// formula #N/A, and some functions become calls of names. These put the cells back, in the
// file it saved, as a spreadsheet application writes them.

// A cell: row and column, from 0.
using CellAt = std::pair<std::uint32_t, std::uint32_t>;
// Cells holding an error value, with its code as BIFF8 writes it (#NULL! 0x00, #DIV/0! 0x07,
// #VALUE! 0x0F, #REF! 0x17, #NAME? 0x1D, #NUM! 0x24, #N/A 0x2A), or kErrorAsSaved: the one
// LibreOffice saved as the formula's result (not #N/A throughout: it writes a formula it
// turned into #N/A with that result).
constexpr std::uint8_t kErrorAsSaved = 0xFF;
using CellsBySheet = std::map<std::u16string, std::map<CellAt, std::uint8_t>>;

// A formula's result as a FORMULA record holds it: a number (a boolean is one the record
// already holds as a boolean), a text or an error (its BIFF8 code).
struct FormulaResult {
    enum class Kind { Number, Text, Error } kind = Kind::Number;
    double number = 0;
    std::u16string text;
    std::uint8_t error = 0;
};

// LibreOffice writes a formula that holds an error constant into an .xls as the formula #N/A.
// Such a formula is saved with each error constant replaced by its stand-in (a number no
// workbook's formula holds, written as that number's text in LibreOffice's formula language),
// and the stand-ins are turned back into the errors in the file saved. The cells whose
// formulas read it then calculated with the stand-in: their results, and the formula's own,
// are written back as they were.
double errorStandIn(std::uint8_t code);
std::string errorStandInText(std::uint8_t code);
struct HeldFormulas {
    std::map<std::u16string, std::set<CellAt>> standIns;                 // by sheet
    std::map<std::u16string, std::map<CellAt, FormulaResult>> results;   // by sheet
};

// `saved` with the cells of `errorValues` (by sheet name) that it holds as a formula of one
// error written as their error value, and, in each sheet that `original` (the stream before,
// or empty) has under the same name, each formula that reads nothing but the workbook's own
// cells and names written as `original` has it (its references to sheets and names found
// again by name in `saved`), with its result. Throws VbaProjectError when a stream cannot
// be read as BIFF8.
// A sheet named in `copiedFrom` is a copy of the sheet it names, made within the workbook: its
// formulas that read nothing but cells are written as that sheet had them.
// The formulas of `held` that are not written as `original` has them get their error constants
// back, and the cells of its results their results. Throws VbaProjectError when a formula
// saved with a stand-in cannot be put back: the file must not keep it.
std::string withCellsKept(std::string_view saved, std::string_view original, const CellsBySheet& errorValues,
                          const std::map<std::u16string, std::u16string>& copiedFrom = {},
                          const HeldFormulas& held = {});
// The same on files: `original` may be empty, or an .xls whose stream is not BIFF8.
void keepCells(const std::filesystem::path& original, const std::filesystem::path& saved, const CellsBySheet& errorValues,
               const std::map<std::u16string, std::u16string>& copiedFrom = {}, const HeldFormulas& held = {});

// The formulas holding an error constant that withCellsKept cannot put back, by sheet: those
// reading other workbooks or arrays, or references to sheets in a shared formula.
struct FormulasNotKept {
    std::u16string sheet;
    std::uint64_t cells = 0;
    CellAt first;
};
// `inCopies`: in copies of the sheets made within the workbook, where formulas reading other
// sheets or names are not put back either. The cells of `but` are not counted.
std::vector<FormulasNotKept> formulasNotKept(std::string_view original, bool inCopies = false,
                                             const std::map<std::u16string, std::set<CellAt>>& but = {});
// Of an .xls file; none for a stream that is not BIFF8 (LibreOffice writes those anew).
std::vector<FormulasNotKept> formulasNotKeptInFile(const std::filesystem::path& xls, bool inCopies = false,
                                                   const std::map<std::u16string, std::set<CellAt>>& but = {});

// The error constants a formula may hold, as LibreOffice's formula language and BIFF8 write them.
struct ErrorConstant {
    const char* text;
    std::uint8_t code;
};
inline constexpr ErrorConstant kErrorConstants[] = {{"#NULL!", 0x00}, {"#DIV/0!", 0x07}, {"#VALUE!", 0x0F},
                                                    {"#REF!", 0x17},  {"#NAME?", 0x1D},  {"#NUM!", 0x24},
                                                    {"#N/A", 0x2A}};

// LibreOffice 7.4 reads an error constant inside a formula of an .xls as nothing
// (=IF(A1>0,#VALUE!,2) as =IF(A1>0;;2)), any but #N/A, which it reads as NA(). The formula's
// operands, in the order the formula is written, tell where each went: an error constant, an
// argument left empty, a call of a function of no arguments (NA() for #N/A, TRUE() for a
// boolean), or anything else (a range's two corners count as two, as its text shows them).
struct FormulaOperand {
    enum class Kind { Error, Missing, Call, Other } kind = Kind::Other;
    std::uint8_t error = 0;
    bool operator==(const FormulaOperand&) const = default;
};
// The formulas holding such a constant, by sheet and cell, each with its operands, or with none
// where they cannot be told (an array formula, a call of an add-in function, a token not read).
using ReadAsNothing = std::map<std::u16string, std::map<CellAt, std::optional<std::vector<FormulaOperand>>>>;
ReadAsNothing formulasReadAsNothing(std::string_view stream);
ReadAsNothing formulasReadAsNothingInFile(const std::filesystem::path& xls);
// `formula` as LibreOffice shows it read from an .xls, with the error constants of `operands`
// back in their places, or nothing where its operands do not match them one for one.
std::optional<std::string> withErrorConstants(std::string_view formula, const std::vector<FormulaOperand>& operands);

} // namespace tessaro
