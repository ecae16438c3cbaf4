// SPDX-License-Identifier: MIT
// What the fuzz targets share: turning fuzz bytes into a workbook file, the fixed workbooks
// the copy targets pair them with, and the engine options they run under.
#pragma once

#include "platform/spreadsheet_automation.h"

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::fuzz {

// Fuzz bytes as a workbook file. Bytes that begin like a zip archive are the file itself,
// so structural damage of real files is explored. Anything else is read as a list of
// parts, each introduced by a line "@@ name" (stored) or "@@! name" (deflated) and running
// to the next such line, and written as a well-formed zip: mutations then reach the XML
// instead of dying on checksums.
std::string workbookBytes(std::string_view input);

// The parts text of a workbook as workbookBytes() reads it, from (name, content) pairs.
std::string partsText(const std::vector<std::pair<std::string, std::string>>& parts, bool deflate = true);

// Small workbooks in parts text: starting points for the fuzzers, and the fixed partner
// of the copy targets (the first one, which uses most of what a copy touches).
std::vector<std::string> seedWorkbooks();

// A private scratch folder for this process (on a memory file system when there is one).
const std::filesystem::path& scratch();

// Writes bytes to a file in the scratch folder and returns its path; reads a file back.
std::filesystem::path writeScratch(const std::string& name, std::string_view bytes);
std::string readScratch(const std::filesystem::path& file);

// The native engine as the fuzzers run it: the usual checks, smaller limits so an input
// cannot spend seconds on one run.
SpreadsheetAutomationFactory fuzzEngine();

// Stops the process with a message when something that must hold does not: a finding.
[[noreturn]] void violated(const std::string& what);

} // namespace tessaro::fuzz

namespace tessaro::fuzz {

// The worksheet names of an open workbook, then the count of all its sheets, as one list.
std::vector<std::string> outline(SpreadsheetAutomation& server, WorkbookRef book);

// A workbook the engine saved must open again, in a new instance, as it was when saved.
void expectReopens(const std::filesystem::path& file, const std::vector<std::string>& expected);

// An error must carry a positive number and a description a person can act on.
void expectUsableError(const AutomationError& e);

} // namespace tessaro::fuzz
