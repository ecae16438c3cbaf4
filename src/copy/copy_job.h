// SPDX-License-Identifier: MIT
#pragma once

#include "copy/copy_record.h"
#include "platform/host.h"
#include "platform/spreadsheet_automation.h"

#include <optional>
#include <string>
#include <vector>

namespace tessaro {

struct Workspace;

struct CopyJobOutcome {
    int rowsCopied = 0; // checked rows handed to the copy operation
    int rowsFailed = 0; // of those, rows in which any destination failed
    bool started = false; // false when the checks stopped the job before any work
    bool cancelled = false; // the user stopped the job before every copy was tried
    bool trial = false;     // a trial run: "made" and "failed" are what a real run would do
    std::int64_t copiesPlanned = 0; // checked destinations x checked rows x CopyCount
    std::int64_t copiesMade = 0;
    std::int64_t copiesFailed = 0;
    std::vector<std::string> failures; // the report's lines, in the order they happened
    std::vector<std::string> notices;  // what the user should know of copies that were made
};

// The Copy command: checks there is something to copy and somewhere to copy it to, sets
// up the progress display, hands every checked copy row over (last to first for
// "Copy Before"), and ends with one report: "Copy Complete!" when every copy was made
// and there is nothing else to tell, else one box that counts what was copied, failed and cancelled and lists every failure.
// Between destinations it stops when the Host says the user cancelled. Every copy is told to
// the options' journal as its destination is done with; a trial run writes nothing.
CopyJobOutcome CopyJob(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                       const CopyJobOptions& options = {});

// The summary line of a job's report, e.g. "Copied 118 of 120 sheets; 2 failed."
std::string CopyReportSummary(const CopyJobOutcome& outcome);

// The copy-number box lost the focus: its text becomes CopyCount when it reads as a number
// (blanks around it allowed, halves rounded to the even neighbour); a negative number gives
// 0. Returns the text the box must show instead, when it must change.
std::optional<std::string> CopyNumberLostFocus(Workspace& ws, const std::string& boxText);

} // namespace tessaro
