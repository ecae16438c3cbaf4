// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"
#include "platform/spreadsheet_automation.h"

#include <optional>
#include <string>

namespace tessaro {

struct Workspace;

struct CopyJobOutcome {
    int rowsCopied = 0; // checked rows handed to the copy operation
    int rowsFailed = 0;
    bool started = false; // false when the checks stopped the job before any work
};

// The Copy command: checks there is something to copy and somewhere to copy it to, sets
// up the progress display, hands every checked copy row over (last to first for
// "Copy Before"), reports each failed row and then completion.
CopyJobOutcome CopyJob(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);

// The copy-number box lost the focus: its text becomes CopyCount when it reads as a number
// (blanks around it allowed, halves rounded to the even neighbour); a negative number gives
// 0. Returns the text the box must show instead, when it must change.
std::optional<std::string> CopyNumberLostFocus(Workspace& ws, const std::string& boxText);

} // namespace tessaro
