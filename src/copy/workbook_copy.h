// SPDX-License-Identifier: MIT
#pragma once

#include "platform/host.h"
#include "platform/spreadsheet_automation.h"

#include <cstdint>
#include <string>

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
// when none does.
std::string TempCopyName(const Workspace& ws, const std::string& sourcePath);

// Copies one copy row's sheet CopyCount times into every checked destination, at the
// place CopyPosition chooses, saving each destination as soon as its copies are made.
// Returns false when anything failed; it has then told the user why (a critical message
// naming the file), and LastTargetName names the destination that failed (empty when the
// failure came before any destination).
bool CopySheetToTargets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                        std::int32_t sourceIndex, const std::string& sheetName);

} // namespace tessaro
