// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"
#include "platform/spreadsheet_automation.h"

#include <string>

namespace tessaro {

struct Workspace;

// Refills the sheet list with the worksheet names of the selected source workbook, read
// through a new server instance that is quit before returning. A workbook that cannot be
// read shows the error's own description, then "Open excel file failed!".
void LoadSourceSheets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);

// A click on a source workbook row: LoadSourceSheets under the busy pointer.
void SourceBookClick(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers);

// Appends the selected sheet to the copy list with the next CopyRowNumber, recording its
// source workbook. Without a source workbook: "copy is failed!".
void AddSelectedSheet(Workspace& ws, Host& host);

// Appends every row of the sheet list, in order. Without a source workbook:
// "Copy is failed!".
void AddAllSheets(Workspace& ws, Host& host);

// Appends a checked copy row for a sheet of a source workbook, numbered with the next
// CopyRowNumber, and records the workbook's path under that number.
void AddCopyRow(Workspace& ws, const std::string& sheetName, const std::string& sourcePath);

// Removes the selected copy row; removing the last one empties the copy list.
void RemoveSelectedCopyRow(Workspace& ws);

// The "Remove All" button: empties the copy list.
void RemoveAllCopyRows(Workspace& ws);

// A click on a copy row: its source workbook's path in the status line.
void CopyRowClick(Workspace& ws, Host& host, int position);

} // namespace tessaro
