// SPDX-License-Identifier: MIT
#pragma once

#include <string>
#include <vector>

namespace tessaro {

struct Workspace;

// Whether a file name is a workbook a person means when pointing at a folder: extension
// .xls, .xlsx, .xlsm, .xlsb or .ods in any letter case; not hidden (a leading dot), and not the
// owner or lock file of a workbook someone has open ("~$...", ".~lock....").
bool isListedWorkbookName(const std::string& name);

// Orders names as a person sorts them: letter case ignored, runs of digits by their value
// ("book2" before "book10").
bool naturalLess(const std::string& a, const std::string& b);

// The workbooks of a folder as ListSourceBooks lists them, in natural order. Sub-folders
// are not searched. A folder that cannot be read (or no folder) gives what was read so far.
std::vector<std::string> listWorkbooksInFolder(const std::string& folder);

// Refill the workbook list of a side with the workbooks of an entry: the entry's own file
// name when it is a file (whatever its extension), else the workbooks of the folder; every
// row checked.
void ListSourceBooks(Workspace& ws, const std::string& entryPath);
void ListTargetBooks(Workspace& ws, const std::string& entryPath);

} // namespace tessaro
