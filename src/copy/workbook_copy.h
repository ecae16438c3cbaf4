// SPDX-License-Identifier: MIT
#pragma once

#include "copy/copy_record.h"
#include "platform/host.h"
#include "platform/own_temporaries.h"
#include "platform/spreadsheet_automation.h"

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tessaro {

struct Workspace;

// The full path of destination row r (from 1) of the workbook list: the selected entry
// itself when it is a file, else the entry folder joined with the row's name when that is
// a file; empty text otherwise. Sets LastTargetName to the row's name.
std::string TargetBookPath(Workspace& ws, int r);

// The same resolution without touching LastTargetName.
std::string resolveTargetBookPath(const Workspace& ws, int r);

// The name of the temporary copy a source workbook is worked on through, when a checked
// destination elsewhere shares its base name ("(Report)_myorvandels.xlsx"); empty text
// when none does. The copy lives in the job's own folder, so two jobs never share it.
std::string TempCopyName(const Workspace& ws, const std::string& sourcePath);

// One destination (or, with an empty target, the whole row) that did not get its copies,
// with the error in its own words.
struct RowFailure {
    std::string target; // the destination row's name; empty when the row failed as a whole
    std::string error;
};

// What one copy row did. Every single copy it was meant to make is either made (and saved),
// failed, or left undone because the user cancelled.
struct RowOutcome {
    std::int64_t copiesMade = 0;
    std::int64_t copiesFailed = 0;
    std::int64_t copiesCancelled = 0;
    std::vector<RowFailure> failures;
    // What the user should know of destinations that did get their copies.
    std::vector<RowFailure> notices;
    bool ok() const { return failures.empty(); }
};

// Copies one copy row's sheet CopyCount times into every checked destination, at the
// place CopyPosition chooses, saving each destination as soon as its copies are made.
// A destination that cannot be opened, written or saved keeps its old content and is
// recorded as failed; the others still get their copies. Only what makes the whole row
// impossible (the source cannot be opened or has no such sheet, no engine) ends it early.
// Nothing is shown to the user: the caller reports. Between destinations the Host is asked
// whether the user cancelled; the destination being written is always finished first.
// LastTargetName names the first destination that failed, else the last one resolved.
// A temporary copy of the source is made in `jobFolder`. Every copy is told to the options'
// journal as soon as its destination is done with; a trial run saves nothing.
RowOutcome CopySheetToTargets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                              JobFolder& jobFolder, std::int32_t sourceIndex, const std::string& sheetName,
                              const CopyJobOptions& options = {});

// A trial of a whole job that writes nothing: every checked destination is opened once and
// given, in memory, the copies of the listed copy rows (list row numbers, in the order a real
// run takes them), so names and positions come out as that run's would; then what would keep
// it from being saved is checked (read-only, locked, an unwritable folder, changed since it
// was opened) and it is closed unsaved. No temporary copy of a source is made. Returns each
// row's sheet name and outcome, in the order given; every copy goes to the options' journal.
std::vector<std::pair<std::string, RowOutcome>> TryCopyRows(Workspace& ws, Host& host,
                                                             const SpreadsheetAutomationFactory& servers,
                                                             const std::vector<int>& copyRows,
                                                             const CopyJobOptions& options);

} // namespace tessaro
