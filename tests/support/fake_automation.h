// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tessaro::test {

// A spreadsheet server over a trivial workbook format, for testing the commands' logic:
// a text file whose first line is "FAKEBOOK" and whose further lines are "w:Name" for a
// worksheet and "c:Name" for a chartsheet. Copies are named "Name (2)", "Name (3)", ...
// Every instance made by one world records its calls there, and the world can make chosen
// files fail to open or to save.
struct FakeWorld {
    std::vector<std::string> log;          // "open /p", "save /p", "saveAs /a -> /b", "close /p", "quit"
    std::set<std::string> failOpen;        // full paths
    std::set<std::string> failSave;        // full paths
    int instances = 0;
    int quits = 0;
    int openNow = 0; // workbooks open in all instances right now
    // Called at every sheet copy, on the thread that copies.
    std::function<void()> onCopy;

    SpreadsheetAutomationFactory factory();
};

// Writes a fake workbook: each name is a worksheet unless it starts with "c:".
void writeFakeBook(const std::filesystem::path& file, const std::vector<std::string>& sheets);
// The sheet names of a fake workbook file, "c:" marking chartsheets.
std::vector<std::string> readFakeBook(const std::filesystem::path& file);

} // namespace tessaro::test
