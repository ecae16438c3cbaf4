// SPDX-License-Identifier: MIT
#pragma once

#include "platform/errors.h"
#include "platform/workbook_format.h"

#include <cstdint>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace tessaro {

// A failure of a spreadsheet server call. The code says what went wrong; the description
// names the file and the problem in words a person can act on, and is shown to the user
// as it stands.
class AutomationError : public std::exception {
public:
    AutomationError(ErrorCode code, std::string description);

    ErrorCode code() const noexcept { return code_; }
    // The code's released number, always above 0.
    int number() const noexcept { return static_cast<int>(code_); }
    const std::string& description() const noexcept { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

private:
    ErrorCode code_;
    std::string description_;
};

// Handles of an instance's open workbooks and of their sheets. A sheet handle keeps naming
// the same sheet while copies are inserted around it. Handles are valid only in the
// instance that gave them out, until its workbook is closed.
struct WorkbookRef {
    std::uint32_t id = 0;
    friend bool operator==(WorkbookRef, WorkbookRef) = default;
};

struct SheetRef {
    WorkbookRef book;
    std::uint32_t id = 0;
    friend bool operator==(SheetRef, SheetRef) = default;
};

enum class Placement { Before, After };

// What a copied sheet's references to other sheets of its own workbook read in the copy:
// the source file (as an external reference, with the values it showed), the destination's
// sheet of the same name, or nothing at all (a formula that reads another sheet becomes the
// value it showed).
enum class SheetLinks { External, Destination, Values };

// Where a replacing copy went: in the place of the destination's sheet of the same name, or,
// when it had none, after its last sheet.
struct Replacement {
    SheetRef copy;
    int position = 0; // the copy's tab position, from 1
    bool replaced = false;
};

// A file an engine leaves to another one: a workbook of a kind it does not read.
struct OtherEngine {
    WorkbookFormat format;
};

// How far a worksheet reaches: what decides whether it fits in a format with smaller sheets.
struct SheetExtent {
    std::uint32_t rows = 0;           // the last row with a cell or row record, from 1
    std::uint32_t columns = 0;        // the last column with a cell, from 1
    std::uint64_t longestText = 0;    // characters of the longest text in a cell
    std::uint64_t cellFormats = 0;    // distinct cell formats its cells use
    std::uint64_t externalFormulas = 0;  // cell formulas that read other workbooks
    std::string firstExternalFormula;    // the cell of the first of them, e.g. "B121"
    std::uint64_t beyondXlsFormulas = 0; // cell formulas LibreOffice would write into an .xls as #REF!
    std::string firstBeyondXlsFormula;
    std::uint64_t rowInputTables = 0;    // data tables with a row input cell (one along a row, or two inputs)
    std::string firstRowInputTable;
    std::uint64_t drawingObjects = 0;    // pictures, shapes, charts and controls of its drawing
};

// What opening a file came to: the open workbook, a file for another engine (nothing was
// opened), or the failure.
using OpenOutcome = std::variant<WorkbookRef, OtherEngine, AutomationError>;

// One spreadsheet server instance. Every use creates one through a factory, opens what it
// needs, and ends with close of each workbook it opened and quit. Any member may throw
// AutomationError. Indexes count from 1.
class SpreadsheetAutomation {
public:
    virtual ~SpreadsheetAutomation() = default;

    // Opens the workbook at a full path and returns its handle.
    virtual WorkbookRef open(const std::filesystem::path& fullPath) = 0;

    // Opening for a caller that has another engine at hand: an engine that knows a file to
    // be of a kind another engine reads says so instead of failing. Never throws
    // AutomationError. An engine that leaves nothing to others opens.
    virtual OpenOutcome tryOpen(const std::filesystem::path& fullPath);

    // Alerts off means no later call asks the user anything.
    virtual void setDisplayAlerts(bool on) = 0;

    // Worksheets only, in the workbook's tab order.
    virtual int worksheetCount(WorkbookRef book) = 0;
    virtual std::string worksheetName(WorkbookRef book, int index) = 0;

    // The worksheet with that name, compared without regard to letter case.
    virtual SheetRef worksheet(WorkbookRef book, const std::string& name) = 0;

    // All sheets (worksheets, chartsheets, dialog sheets) in tab order.
    virtual int sheetCount(WorkbookRef book) = 0;
    virtual SheetRef sheet(WorkbookRef book, int index) = 0;
    // The sheet's name as its tab shows it.
    virtual std::string sheetName(SheetRef sheet) = 0;

    // Inserts a copy of `sheet` directly before or after `anchor`, which may be in any
    // workbook open in this instance, the sheet's own included.
    virtual void copySheet(SheetRef sheet, Placement where, SheetRef anchor) = 0;

    // Puts a copy of `sheet` in the place of `into`'s sheet of the same name (compared
    // without regard to letter case), under that sheet's name, and removes that sheet with
    // everything only it used; whatever else read it reads the copy. A workbook without such
    // a sheet gets the copy after its last sheet. The sheet never replaces itself
    // (ReplaceItself), nor a sheet of the other kind (ReplaceOtherKind). An engine that
    // cannot replace throws NotAvailableForFormat.
    virtual Replacement replaceSheet(SheetRef sheet, WorkbookRef into);

    // What the copies made from now on do with references to other sheets of their source.
    // An engine that has only External throws NotAvailableForFormat for the others.
    virtual void setSheetLinks(SheetLinks links);

    // What the copies made since the last call did that the user should know of (a reference
    // that fell back to the source file, a formula that had no value to keep, a table
    // reference that no longer resolves), each a sentence that names the place; then
    // forgets them.
    virtual std::vector<std::string> takeCopyNotes();

    // Reads all of the sheet's workbook through this engine's checks of hostile content,
    // and measures the sheet: what another engine that is to read the workbook itself needs
    // first. Nothing when this engine cannot tell.
    virtual std::optional<SheetExtent> inspectSheet(SheetRef sheet);

    // Writes the workbook back to its file.
    virtual void save(WorkbookRef book) = 0;
    // Throws what save() would meet that can be told without writing anything: the file is
    // read-only, its folder cannot be written to, another program holds it locked, or it was
    // changed since it was opened.
    virtual void checkSavable(WorkbookRef book) = 0;

    // Writes the workbook to a full path, replacing any file there; the workbook is bound
    // to that path afterwards.
    virtual void saveAs(WorkbookRef book, const std::filesystem::path& fullPath) = 0;

    // Closes the workbook without a question; unsaved changes are dropped.
    virtual void close(WorkbookRef book) = 0;

    // Ends the instance; workbooks still open are closed unsaved.
    virtual void quit() = 0;
};

// Creates a new server instance for one use.
using SpreadsheetAutomationFactory = std::function<std::unique_ptr<SpreadsheetAutomation>()>;

} // namespace tessaro
