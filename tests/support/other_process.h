// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <functional>
#include <string>

namespace tessaro::test {

// Another process that holds a lock on a file until the object goes: a POSIX write lock
// (fcntl, as LibreOffice takes on a document it edits) or an exclusive flock.
class LockHolder {
public:
    enum class Kind { Posix, Flock };
    LockHolder(const std::filesystem::path& file, Kind kind);
    ~LockHolder();
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    int pid() const { return pid_; }

private:
    int pid_ = -1;
};

// Whether this process runs with the powers of root, which ignore file permissions.
bool privileged();

// Runs `work` as an ordinary user (in a child process that drops to "nobody" when this
// process is root, or right here when it is not) and returns what it returned. Files the
// work needs must be readable by everyone.
std::string asOrdinaryUser(const std::function<std::string()>& work);

} // namespace tessaro::test
