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

Replacement SpreadsheetAutomation::replaceSheet(SheetRef, WorkbookRef)
{
    throw AutomationError(ErrorCode::NotAvailableForFormat,
                          "This engine cannot replace a sheet of the same name; copy the sheet after or before.");
}

void SpreadsheetAutomation::setSheetLinks(SheetLinks links)
{
    if (links != SheetLinks::External)
        throw AutomationError(ErrorCode::NotAvailableForFormat,
                              "This engine keeps references to other sheets only as links to the source workbook.");
}

std::vector<std::string> SpreadsheetAutomation::takeCopyNotes()
{
    return {};
}

} // namespace tessaro
