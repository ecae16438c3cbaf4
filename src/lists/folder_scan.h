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
// In a folder everyone may write to whose sticky bit keeps them from each other's files
// (/tmp), a symbolic link is followed only when it belongs to the user or to the folder's
// owner, as the kernel's protected-symlinks rule has it: anyone else's link could send a
// copy into a file of the user's elsewhere. Each link passed over is told in `skipped`.
std::vector<std::string> listWorkbooksInFolder(const std::string& folder, std::vector<std::string>* skipped = nullptr);

// Refill the workbook list of a side with the workbooks of an entry: the entry's own file
// name when it is a file (whatever its extension), else the workbooks of the folder; every
// row checked. Returns what was passed over, and why, one sentence each.
std::vector<std::string> ListSourceBooks(Workspace& ws, const std::string& entryPath);
std::vector<std::string> ListTargetBooks(Workspace& ws, const std::string& entryPath);

} // namespace tessaro
