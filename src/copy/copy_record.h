// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tessaro {

// What became of one copy of one sheet in one destination.
enum class CopyResult {
    Copied,    // made and saved
    Failed,    // not made; the destination keeps its old content
    WouldCopy, // a trial run: it would be made
    WouldFail, // a trial run: it would fail, for the reason given
};

struct CopyRecord {
    std::string destination; // the destination workbook's full path
    std::string source;      // the source workbook's full path
    std::string sheet;       // the source sheet's name
    std::string copyName;    // the copy's name in the destination; empty when it was not made
    int position = 0;        // the copy's tab position in the destination, from 1; 0 when not made
    CopyResult result = CopyResult::Failed;
    int errorCode = 0; // the error's number; 0 when there is none or it has no number
    std::string error;
    // The copy took the place of the destination's sheet of the same name.
    bool replaced = false;
    // What the user should know of this copy: references that fell back, values not kept.
    std::vector<std::string> notes;
    // The destination's time for this sheet (opening, copying, saving), which its copies of
    // the sheet share.
    double seconds = 0;
};

// Hears of every copy as soon as its destination is done with, so that what it keeps of a
// job that is stopped halfway is still true.
class CopyJournal {
public:
    virtual ~CopyJournal() = default;
    virtual void record(const CopyRecord& copy) = 0;
};

class UndoRecorder;

// How a job runs besides what the workspace says.
struct CopyJobOptions {
    CopyJournal* journal = nullptr;
    // Opens every workbook and makes the copies in memory, to tell what a real run would
    // make and what would fail, and writes nothing.
    bool dryRun = false;
    // What the copies' references to other sheets of their source read.
    SheetLinks links = SheetLinks::External;
    // Keeps what each destination held before the job first replaced it, so that the job
    // can be undone. A real run without one keeps its own, one job's worth; a caller that
    // runs several jobs as one passes the same recorder to each.
    UndoRecorder* undo = nullptr;
};

const char* copyResultName(CopyResult result);

} // namespace tessaro
