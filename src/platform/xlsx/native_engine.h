// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

namespace tessaro::xlsx {

// The factory of native engine instances: Office Open XML workbook packages (.xlsx, .xlsm,
// .xltx, .xltm), recognised by content. Instances made by one factory share its caches.
SpreadsheetAutomationFactory nativeAutomationFactory();

} // namespace tessaro::xlsx
