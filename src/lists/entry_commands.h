// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"
#include "platform/spreadsheet_automation.h"

namespace tessaro {

class ListModel;
struct Workspace;

// Add Excel and Add Folder on each side: ask the chooser, append the entry with its small
// image, select it and list its workbooks (and, on the source side, the sheets of its
// selected workbook). A cancelled chooser changes nothing.
void AddSourceExcel(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);
void AddSourceFolder(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);
void AddTargetExcel(Workspace& ws, Host& host);
void AddTargetFolder(Workspace& ws, Host& host);

// The same additions for a path that is already known (dropped from a file manager):
// `asFolder` chooses the folder image and listing.
void AddSourceEntry(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                    const std::string& path, bool asFolder);
void AddTargetEntry(Workspace& ws, Host& host, const std::string& path, bool asFolder);

// Remove the selected entry; the row above (or the new first row) becomes selected and its
// workbooks are listed. Removing the last source entry keeps the copy rows' source paths.
void RemoveSourceEntry(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);
void RemoveTargetEntry(Workspace& ws, Host& host);

// Move the selected entry one place; it keeps its small image and stays selected.
void MoveEntryUp(ListModel& entries);
void MoveEntryDown(ListModel& entries);

// The Edit menu's remove-all entries.
void RemoveAllLeft(Workspace& ws);
void RemoveAllRight(Workspace& ws);

// A click on an entry row: list that entry's workbooks (and on the left its sheets).
void SourceEntryClick(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);
void TargetEntryClick(Workspace& ws, Host& host);

} // namespace tessaro
