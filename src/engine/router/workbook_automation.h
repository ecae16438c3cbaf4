// SPDX-License-Identifier: MIT
#pragma once

#include "engine/office/office.h"
#include "platform/spreadsheet_automation.h"

#include <filesystem>
#include <memory>

namespace tessaro {

struct WorkbookAutomationOptions {
    // How the LibreOffice process is started and how long its calls may take.
    office::OfficeOptions office;
    // The LibreOffice process to use instead of a new one (tests watch it through this).
    std::shared_ptr<office::Office> sharedOffice;
    // The engine of Office Open XML workbooks; empty means Tessaro's native engine.
    SpreadsheetAutomationFactory native;
};

// The server factory of one copy job (or one command, or one tessaro-cli run). Each instance
// opens a workbook with the engine its content needs: Office Open XML (.xlsx, .xlsm, .xltx,
// .xltm) with the native engine, which alone ever writes such a file; .xls, .xlsb and .ods
// with LibreOffice.
//
// Across formats: a legacy sheet copied into an OOXML workbook comes from an .xlsx that
// LibreOffice converts the legacy workbook to, in `appDir`, once per source file per job; an
// OOXML sheet copied into a legacy workbook is imported from the OOXML file loaded read-only
// in LibreOffice. A legacy destination is saved in its own format; an .xlsb destination is
// refused, since LibreOffice cannot write it.
//
// LibreOffice starts when the first legacy workbook is opened and serves every later
// instance: it ends, and the converted files are deleted, when the factory and every
// instance it made are gone, so a job should drop its factory when it ends. Quit ends an
// instance's native engine part at once. Without LibreOffice, a legacy workbook fails to
// open with a message that says how to install it.
SpreadsheetAutomationFactory makeWorkbookAutomationFactory(const std::filesystem::path& appDir,
                                                           WorkbookAutomationOptions options = {});

} // namespace tessaro
