// SPDX-License-Identifier: MIT
#include "platform/destination_lock.h"

#include "platform/errors.h"
#include "platform/spreadsheet_automation.h"

#include <cerrno>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {

namespace {

using FileKey = std::pair<dev_t, ino_t>;

// The files this process's destination locks hold, as the system knows them: a record of
// the kernel's state, shared by every job of the process.
std::mutex heldMutex;
std::set<FileKey>& heldFiles()
{
    static std::set<FileKey> files;
    return files;
}

FileKey keyOf(const struct stat& st) { return {st.st_dev, st.st_ino}; }

} // namespace

DestinationLock::DestinationLock(const std::filesystem::path& file, std::chrono::milliseconds wait)
{
    const auto deadline = std::chrono::steady_clock::now() + wait;
    for (;;) {
        const int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
        if (fd < 0)
            return;
        struct stat locked {};
        if (::fstat(fd, &locked) != 0 || !S_ISREG(locked.st_mode)) {
            ::close(fd);
            return;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
            struct stat current {};
            if (::stat(file.c_str(), &current) == 0 && keyOf(current) == keyOf(locked)) {
                std::lock_guard guard(heldMutex);
                heldFiles().insert(keyOf(locked));
                fd_ = fd;
                return;
            }
            // The job whose lock this one waited for has saved: its file replaced the one
            // locked here, and that new file is the one to lock and read. A file replaced
            // again and again by a program that takes no such lock is left to the save's
            // check that it did not change.
            ::close(fd);
            if (std::chrono::steady_clock::now() >= deadline)
                return;
            continue;
        }
        const int error = errno;
        ::close(fd);
        if (error != EWOULDBLOCK && error != EINTR)
            return;  // a file system without such locks
        if (std::chrono::steady_clock::now() >= deadline)
            throw AutomationError(ErrorCode::DestinationBusy, describeError(ErrorCode::DestinationBusy, file.string()));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

DestinationLock::~DestinationLock()
{
    if (fd_ < 0)
        return;
    struct stat st {};
    if (::fstat(fd_, &st) == 0) {
        std::lock_guard guard(heldMutex);
        heldFiles().erase(keyOf(st));
    }
    ::close(fd_);
}

bool lockedAsDestination(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return false;
    std::lock_guard guard(heldMutex);
    return heldFiles().contains(keyOf(st));
}

} // namespace tessaro
