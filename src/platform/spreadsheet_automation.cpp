// SPDX-License-Identifier: MIT
#include "platform/spreadsheet_automation.h"

#include <utility>

namespace tessaro {

AutomationError::AutomationError(ErrorCode code, std::string description)
    : code_(code), description_(std::move(description))
{
}

OpenOutcome SpreadsheetAutomation::tryOpen(const std::filesystem::path& fullPath)
{
    try {
        return open(fullPath);
    } catch (const AutomationError& e) {
        return e;
    }
}

std::optional<SheetExtent> SpreadsheetAutomation::inspectSheet(SheetRef)
{
    return std::nullopt;
}

} // namespace tessaro
