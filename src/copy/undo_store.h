// SPDX-License-Identifier: MIT
#pragma once

#include "platform/file_identity.h"
#include "platform/host.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace tessaro {

// The way back from the last copy job. Before a job first replaces a destination, the file
// it replaces is kept in a folder of the job under AppDir/undo: a hard link to it where the
// folder is on the same file system (no space, no time), else a copy while the free space
// allows. Undo puts every kept file back whose destination is still exactly what the job
// wrote, and drops the kept files.
//
// Each job has its own folder, "job-<start time>-<pid>", whose manifest the job holds an
// exclusive flock on while it runs, so the latest-started folder is "the last job", a job
// still running is never undone or dropped under it, and a killed job's lock goes with its
// process. The manifest is appended one whole line per write() and records, per
// destination, the kept file (before the job opens the destination) and the identity after
// each save; a job killed at any moment leaves a manifest that is true for what it lists.

// Keeps the files one job replaces. Starting one drops the kept files of every earlier job
// that has ended.
class UndoRecorder {
public:
    explicit UndoRecorder(const std::filesystem::path& appDir);
    ~UndoRecorder();
    UndoRecorder(const UndoRecorder&) = delete;
    UndoRecorder& operator=(const UndoRecorder&) = delete;

    // Keeps `destination` as it is now, unless this job kept it already. Called under the
    // destination's lock, before it is opened. Returns, when the destination cannot be
    // undone, the sentence that says so and why (once per destination).
    std::optional<std::string> keep(const std::string& destination);
    // After the destination was opened: the file the job read must be the one kept.
    // Returns the sentence to tell when it is not (the kept file is dropped).
    std::optional<std::string> confirmOpened(const std::string& destination);
    // After a save replaced the destination. Returns the sentence to tell when the kept
    // file cannot serve (the save wrote the kept file itself in place).
    std::optional<std::string> wrote(const std::string& destination);

    // 1 when a name the recorder keeps is a hard link to the file now at `destination`
    // (it does not count among the user's names for it), else 0.
    std::uint64_t namesHeld(const std::string& destination) const;

    const std::filesystem::path& folder() const { return folder_; }

private:
    struct Kept {
        std::filesystem::path file;
        FileIdentity identity; // the kept file's own
        FileIdentity before;   // the destination's when it was kept
        bool linked = false;
        bool usable = true;
        bool confirmed = false; // listed in the manifest
        std::optional<FileIdentity> written; // the destination's after this job's last save
    };
    std::optional<std::string> unusable(const std::string& destination, const std::string& why);
    bool append(const std::vector<std::string>& fields);

    std::filesystem::path folder_;
    std::string setupError_; // why nothing can be kept, when the folder could not be made
    int manifest_ = -1;
    int next_ = 0;
    std::map<std::string, Kept> kept_;
};

// What undo did with one destination of the last job.
enum class UndoResult {
    Restored, // holds again what it held before the job
    Changed,  // another program changed it after the job wrote it: left alone
    Gone,     // it is not there any more: left alone
    Failed,   // it could not be put back, for the reason given
};

struct UndoEntry {
    std::string destination;
    UndoResult result = UndoResult::Failed;
    std::string why; // empty for Restored
};

struct UndoOutcome {
    bool nothingToUndo = false;
    std::string refused; // why nothing was tried (the last job is still running, ...)
    std::vector<UndoEntry> entries;
    bool allRestored() const;
};

// Restores every destination of the last job that is still as that job left it, one at a
// time under its DestinationLock, and drops the kept files of every job that has ended.
UndoOutcome UndoLastJob(const std::filesystem::path& appDir);

// "Restored 19 of 20 destinations of the last copy job; 1 was left alone."
std::string UndoSummary(const UndoOutcome& outcome);
// One line per destination: "Restored: PATH" or "Left alone: PATH: why".
std::vector<std::string> UndoDetails(const UndoOutcome& outcome);

// The Undo Last Copy command: undoes the last job and tells the user what became of each
// of its destinations, or that there was nothing to undo.
UndoOutcome UndoLastCopy(const std::filesystem::path& appDir, Host& host);

} // namespace tessaro
