// SPDX-License-Identifier: MIT
#include "copy/copy_job.h"

#include "copy/workbook_copy.h"
#include "lists/workspace.h"

#include <cerrno>
#include <cfenv>
#include <climits>
#include <cmath>
#include <cstdlib>

namespace tessaro {

CopyJobOutcome CopyJob(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    CopyJobOutcome outcome;
    host.setStatusText("");

    const int n = ws.copySheetList.count();
    std::int64_t sheetCount = 0;
    for (int i = 1; i <= n; ++i)
        sheetCount += ws.copySheetList.row(i).checked ? 1 : 0;
    std::int64_t targetCount = 0;
    for (int i = 1; i <= ws.targetBookList.count(); ++i)
        targetCount += ws.targetBookList.row(i).checked ? 1 : 0;

    if (sheetCount == 0) {
        host.showMessage("Please select some excel files to copy!", MessageIcon::Information);
        return outcome;
    }
    if (targetCount == 0) {
        host.showMessage("Please select destination excel files!", MessageIcon::Information);
        return outcome;
    }
    if (ws.copyCount <= 0) {
        // Opening and rewriting every destination for no copy at all would only risk them.
        host.showMessage("Nothing to copy: the number of copies is 0.", MessageIcon::Information);
        return outcome;
    }

    outcome.started = true;
    host.setProgressMaximum(targetCount * sheetCount * ws.copyCount);
    ws.copyProgressCount = 0;

    const bool after = ws.copyPosition == kCopyAfter;
    for (int k = 0; k < n; ++k) {
        const int i = after ? k + 1 : n - k;
        const ListRow& row = ws.copySheetList.row(i);
        if (!row.checked)
            continue;
        const std::string sheetName = row.subItem(2);
        ++outcome.rowsCopied;
        if (CopySheetToTargets(ws, host, servers, CopyRowNumber(row), sheetName))
            continue;
        ++outcome.rowsFailed;
        const std::string text = ws.lastTargetName.empty()
                                     ? "Copy " + sheetName + " failure"
                                     : "Copy " + sheetName + " to " + ws.lastTargetName + " failure";
        host.showMessage(text, after ? MessageIcon::Critical : MessageIcon::None);
    }

    host.showMessage("Copy Complete!", MessageIcon::Information);
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
