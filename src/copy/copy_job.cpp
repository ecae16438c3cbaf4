// SPDX-License-Identifier: MIT
#include "copy/copy_job.h"

#include "copy/undo_store.h"
#include "copy/workbook_copy.h"
#include "lists/workspace.h"

#include <cerrno>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace tessaro {

namespace {

std::int64_t checkedRows(const ListModel& list)
{
    std::int64_t count = 0;
    for (int i = 1; i <= list.count(); ++i)
        count += list.row(i).checked ? 1 : 0;
    return count;
}

// The reasons not to start at all, each told in its own box.
bool readyToCopy(const Workspace& ws, Host& host)
{
    if (checkedRows(ws.copySheetList) == 0) {
        host.showMessage("Please select some excel files to copy!", MessageIcon::Information);
        return false;
    }
    if (checkedRows(ws.targetBookList) == 0) {
        host.showMessage("Please select destination excel files!", MessageIcon::Information);
        return false;
    }
    if (ws.copyCount <= 0) {
        // Opening and rewriting every destination for no copy at all would only risk them.
        host.showMessage("Nothing to copy: the number of copies is 0.", MessageIcon::Information);
        return false;
    }
    if (ws.copyPosition == kCopyReplace && ws.copyCount != 1) {
        // A sheet has one place to take; a second copy would replace the first.
        host.showMessage("Replace Same Name makes one copy of each sheet: set the number of copies to 1.",
                         MessageIcon::Information);
        return false;
    }
    return true;
}

void addRowOutcome(CopyJobOutcome& job, const RowOutcome& row, const std::string& sheetName)
{
    job.copiesMade += row.copiesMade;
    job.copiesFailed += row.copiesFailed;
    if (row.copiesCancelled > 0)
        job.cancelled = true;
    if (!row.ok())
        ++job.rowsFailed;
    for (const RowFailure& notice : row.notices)
        job.notices.push_back("Note: " + notice.error);
    for (const RowFailure& failure : row.failures) {
        const std::string failed = job.trial ? " would fail" : " failure";
        const std::string what = failure.target.empty() ? "Copy " + sheetName + failed
                                                        : "Copy " + sheetName + " to " + failure.target + failed;
        job.failures.push_back(what + ": " + failure.error);
    }
}

void report(const CopyJobOutcome& job, Host& host)
{
    if (job.failures.empty() && !job.cancelled && job.notices.empty() && !job.trial) {
        host.showMessage("Copy Complete!", MessageIcon::Information);
        return;
    }
    std::vector<std::string> details = job.failures;
    details.insert(details.end(), job.notices.begin(), job.notices.end());
    if (job.cancelled)
        details.push_back("Cancelled: " + std::to_string(job.copiesPlanned - job.copiesMade - job.copiesFailed) +
                          " copies were not made; the destinations they were meant for were left as they were.");
    host.showReport(CopyReportSummary(job), details,
                    job.failures.empty() ? MessageIcon::Information : MessageIcon::Critical);
}

} // namespace

std::string CopyReportSummary(const CopyJobOutcome& outcome)
{
    const bool trial = outcome.trial;
    const std::string made = std::to_string(outcome.copiesMade) + " of " + std::to_string(outcome.copiesPlanned);
    std::string text = trial ? "Trial run: " + made + " sheets would be copied" : "Copied " + made + " sheets";
    if (outcome.copiesFailed > 0)
        text += "; " + std::to_string(outcome.copiesFailed) + (trial ? " would fail" : " failed");
    if (outcome.cancelled)
        text += "; the rest (" +
                std::to_string(outcome.copiesPlanned - outcome.copiesMade - outcome.copiesFailed) +
                (trial ? ") was not tried" : ") was cancelled");
    return text + (trial ? ". Nothing was written." : ".");
}

CopyJobOutcome CopyJob(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                       const CopyJobOptions& options)
{
    CopyJobOutcome outcome;
    outcome.trial = options.dryRun;
    host.setStatusText("");
    if (!readyToCopy(ws, host))
        return outcome;

    outcome.started = true;
    outcome.copiesPlanned = checkedRows(ws.targetBookList) * checkedRows(ws.copySheetList) * ws.copyCount;
    host.setProgressMaximum(outcome.copiesPlanned);
    ws.copyProgressCount = 0;

    const int n = ws.copySheetList.count();
    const bool after = ws.copyPosition != kCopyBefore;
    if (options.dryRun) {
        std::vector<int> rows;
        for (int k = 0; k < n; ++k) {
            const int i = after ? k + 1 : n - k;
            if (ws.copySheetList.row(i).checked)
                rows.push_back(i);
        }
        outcome.rowsCopied = static_cast<int>(rows.size());
        for (const auto& [sheetName, row] : TryCopyRows(ws, host, servers, rows, options))
            addRowOutcome(outcome, row, sheetName);
        report(outcome, host);
        host.setProgressValue(0);
        return outcome;
    }

    JobFolder jobFolder(ws.appDir);
    // Started only once the job really starts: a job that refused to start leaves the last
    // one's way back as it was.
    std::optional<UndoRecorder> ownUndo;
    CopyJobOptions jobOptions = options;
    if (!jobOptions.undo)
        jobOptions.undo = &ownUndo.emplace(ws.appDir);
    for (int k = 0; k < n && !outcome.cancelled; ++k) {
        const int i = after ? k + 1 : n - k;
        const ListRow& row = ws.copySheetList.row(i);
        if (!row.checked)
            continue;
        if (host.cancelRequested()) {
            outcome.cancelled = true;
            break;
        }
        const std::string sheetName = row.subItem(2);
        ++outcome.rowsCopied;
        addRowOutcome(outcome, CopySheetToTargets(ws, host, servers, jobFolder, CopyRowNumber(row), sheetName, jobOptions),
                      sheetName);
    }

    report(outcome, host);
    host.setProgressValue(0);
    return outcome;
}

std::optional<std::string> CopyNumberLostFocus(Workspace& ws, const std::string& boxText)
{
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    std::size_t b = 0, e = boxText.size();
    while (b < e && blank(boxText[b]))
        ++b;
    while (e > b && blank(boxText[e - 1]))
        --e;
    const std::string text = boxText.substr(b, e - b);

    // Plain decimal numbers only: digits with an optional sign, point and exponent.
    bool readable = !text.empty();
    for (char c : text)
        if (!((c >= '0' && c <= '9') || c == '.' || c == '+' || c == '-' || c == 'e' || c == 'E'))
            readable = false;
    if (readable) {
        errno = 0;
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        readable = end == text.c_str() + text.size() && errno == 0 && std::isfinite(value);
        if (readable) {
            std::fesetround(FE_TONEAREST); // halves go to the even neighbour
            const double rounded = std::nearbyint(value);
            if (rounded >= INT32_MIN && rounded <= INT32_MAX)
                ws.copyCount = static_cast<std::int32_t>(rounded);
            else
                readable = false;
        }
    }

    if (ws.copyCount < 0) {
        ws.copyCount = 0;
        return std::string("0");
    }
    return std::nullopt;
}

} // namespace tessaro
