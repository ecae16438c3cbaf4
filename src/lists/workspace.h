// SPDX-License-Identifier: MIT
#pragma once

#include "lists/list_model.h"

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tessaro {

// The source workbook of each copy row, by the row's CopyRowNumber. It grows as rows are
// added; a number that was never stored gives empty text.
class SourcePathTable {
public:
    const std::string& at(std::int32_t number) const;
    void set(std::int32_t number, std::string path);
    // Every entry back to empty text.
    void clear() { paths_.clear(); }

private:
    std::vector<std::string> paths_; // paths_[n] for CopyRowNumber n; index 0 unused
};

// What the main window owns for the whole run.
struct Workspace {
    ListModel sourceEntryList; // files and folders on the left
    ListModel sourceBookList;  // workbooks of the selected source entry
    ListModel sourceSheetList; // worksheets of the selected source workbook
    ListModel copySheetList;   // the sheets to copy: sub-item 1 CopyRowNumber, sub-item 2 sheet name
    ListModel targetEntryList; // files and folders on the right
    ListModel targetBookList;  // workbooks of the selected destination entry

    std::int32_t copyRowCounter = 0;
    SourcePathTable sourcePathTable;

    // The folder each side's choosers last chose in, for this run only; empty until then.
    std::string lastSourceFolder, lastTargetFolder;

    std::int32_t copyCount = 1;        // copies of each sheet; never negative
    int copyPosition = 0;              // kCopyAfter, kCopyBefore or kCopyReplace
    std::int64_t copyProgressCount = 0;
    std::string lastTargetName;        // the destination row resolved last

    std::filesystem::path appDir;      // where the program keeps its own files
};

inline constexpr int kCopyAfter = 0;
inline constexpr int kCopyBefore = 1;
// Each copy takes the place of the destination's sheet of the same name.
inline constexpr int kCopyReplace = 2;

// The CopyRowNumber of a copy row (sub-item 1 as a number), or 0 when it holds none.
std::int32_t CopyRowNumber(const ListRow& copyRow);

// The full path of the selected source workbook, or empty text when there is none.
std::string SelectedSourceBookPath(const Workspace& ws);

// Empties the copy list: its rows, CopyRowCounter and SourcePathTable together.
void emptyCopyList(Workspace& ws);

// The small image of an entry for what its path names now: file, folder or missing.
int EntryIconOfPath(const std::string& path);

// Appends the lines of a list file to an entry list, each with the small image of what its
// path names now. A missing or unreadable file appends nothing.
void LoadEntryList(const std::filesystem::path& file, ListModel& list);

// Rewrites a list file with the texts of the list's rows. Throws std::system_error naming
// the file when it cannot be written; the old file is then intact.
void SaveEntryList(const ListModel& list, const std::filesystem::path& file);

// Start-up: the counters, then the source and destination entry lists restored from their
// files whatever the settings say. The window adds its columns and choices itself.
void startUp(Workspace& ws);

// Shut-down: each entry list whose save setting is exactly "1" is written back. A list file
// that cannot be written keeps its old content; the other list is still saved. Returns the
// descriptions of the files that could not be written.
std::vector<std::string> shutDown(const Workspace& ws);

} // namespace tessaro
