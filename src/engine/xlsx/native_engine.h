// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <memory>

namespace tessaro::xlsx {

class EngineContext;
struct EngineOptions;

// The factory of native engine instances: Office Open XML workbook packages (.xlsx, .xlsm,
// .xltx, .xltm), recognised by content. Instances made by one factory share its caches.
SpreadsheetAutomationFactory nativeAutomationFactory();

// The same, with chosen options (tests inject write failures through them).
SpreadsheetAutomationFactory nativeAutomationFactory(const EngineOptions& options);

// Instances sharing an existing context, whose cache statistics the caller can read.
SpreadsheetAutomationFactory nativeAutomationFactory(std::shared_ptr<EngineContext> context);

} // namespace tessaro::xlsx
