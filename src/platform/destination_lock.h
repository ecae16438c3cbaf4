// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <filesystem>

namespace tessaro {

// Keeps other Tessaro jobs off one destination workbook from before it is read until after
// its new content has replaced it, so that two jobs copying into the same file take turns
// and each reads what the other saved.
//
// The lock is an exclusive flock on the file itself (a symbolic link's target). Like an
// open-file-description lock it goes with the descriptor, never with a thread or with
// another descriptor of this process, and the system drops it when the process ends, so a
// job that is killed leaves nothing behind. It is not an fcntl lock of any kind because
// LibreOffice takes a classic fcntl write lock on a document it loads for writing and
// refuses the document when any fcntl lock is in the way: the lock must not keep this
// job's own LibreOffice from a legacy destination.
//
// A save replaces the file by a rename, which leaves the lock on the old file; so once the
// lock is taken, the file at the path must still be the locked one, and when another job
// has replaced it meanwhile the new file is locked instead. Another job's lock is waited
// for up to `wait`, never longer.
//
// Nothing is locked where no lock can be taken (no file, a folder, a file system without
// such locks): the open and the save meet those. Throws AutomationError (DestinationBusy)
// naming the file when another job still holds the lock after the wait.
class DestinationLock {
public:
    DestinationLock(const std::filesystem::path& file, std::chrono::milliseconds wait);
    ~DestinationLock();
    DestinationLock(const DestinationLock&) = delete;
    DestinationLock& operator=(const DestinationLock&) = delete;

    bool held() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Whether a DestinationLock of this process holds the file open at `fd`: a save that takes
// its own flock on the file must not wait for its own job.
bool lockedAsDestination(int fd);

} // namespace tessaro
