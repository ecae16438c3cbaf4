// SPDX-License-Identifier: MIT
#include "engine/opc/save_guard.h"

#include "platform/destination_lock.h"
#include "platform/engine_error.h"
#include "platform/file_identity.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

namespace fs = std::filesystem;

std::string lockFileText(const fs::path& lockFile)
{
    std::ifstream in(lockFile, std::ios::binary);
    std::string text(4096, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<std::size_t>(in.gcount()));
    return text;
}

// Who LibreOffice's lock file says has the document open: its fields are the user's full
// name, the system user name, the host, the time and the profile, separated by commas.
std::string lockFileOwner(const std::string& text)
{
    std::vector<std::string> fields;
    std::size_t start = 0;
    while (start <= text.size() && fields.size() < 4) {
        std::size_t end = text.find_first_of(",;\n", start);
        if (end == std::string::npos)
            end = text.size();
        fields.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    auto printable = [](const std::string& s) {
        for (char c : s)
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
        return !s.empty() && s.size() <= 100;
    };
    std::string who;
    if (!fields.empty() && printable(fields[0]))
        who = fields[0];
    else if (fields.size() > 1 && printable(fields[1]))
        who = fields[1];
    if (!who.empty() && fields.size() > 2 && printable(fields[2]))
        who += " on " + fields[2];
    return who;
}

// Another process's write lock on the file, as the process id that holds it; 0 when there
// is none (locks of this process never count).
long writeLockHolder(int fd)
{
    struct flock probe {};
    probe.l_type = F_RDLCK;
    probe.l_whence = SEEK_SET;
    probe.l_start = 0;
    probe.l_len = 0;
    if (::fcntl(fd, F_GETLK, &probe) != 0 || probe.l_type == F_UNLCK)
        return 0;
    return probe.l_pid > 0 ? probe.l_pid : -1;
}

bool sameFile(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

bool isStill(int fd, std::string_view identity)
{
    const auto now = identityOfDescriptor(fd);
    return now && now->key() == identity;
}

// The file a save replaces: the target of a symbolic link, not the link.
fs::path replacedFile(const fs::path& requested)
{
    std::error_code ec;
    fs::path target = requested;
    if (fs::is_symlink(fs::symlink_status(requested, ec))) {
        fs::path resolved = fs::canonical(requested, ec);
        if (!ec)
            target = resolved;
    }
    return target;
}

// Refuses a target the save could not or must not replace. False when there is no file at
// the path yet (and a new one may be made).
bool checkWritable(const fs::path& target, const fs::path& dir, const std::string& display,
                   std::string_view openedIdentity)
{
    struct stat st {};
    if (::stat(target.c_str(), &st) != 0) {
        int err = errno;
        if (err == ENOENT && !openedIdentity.empty())
            throw EngineError(ErrorCode::FileChangedSinceOpened, display, "it is no longer there");
        if (err == ENOENT && ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0 &&
            (errno == EACCES || errno == EPERM || errno == EROFS))
            throw EngineError(ErrorCode::FolderNotWritable, display, std::strerror(errno));
        return false;  // anything else is met, and reported, by the save itself
    }
    if (S_ISDIR(st.st_mode))
        throw EngineError(ErrorCode::TargetIsFolder, display);

    // Permissions are judged by their bits as well as by what this process may do: a file
    // nobody may write was made read-only on purpose, and a privileged process that could
    // replace it anyway must not.
    if ((st.st_mode & 0222) == 0)
        throw EngineError(ErrorCode::FileReadOnly, display);
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0) {
        int err = errno;
        if (err == EROFS)
            throw EngineError(ErrorCode::FileReadOnly, display, "the disk it is on is mounted read-only");
        if (err == EACCES || err == EPERM)
            throw EngineError(ErrorCode::FileReadOnly, display, "this user may not write it");
    }
    if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0 &&
        (errno == EACCES || errno == EPERM || errno == EROFS))
        throw EngineError(ErrorCode::FolderNotWritable, display, std::strerror(errno));
    return true;
}

// Refuses a file LibreOffice has open, unless the lock is this program's own office.
void checkOfficeLock(const fs::path& target, const fs::path& dir, const std::string& display,
                     std::string_view ownOfficeProfile)
{
    std::error_code ec;
    fs::path lockFile = dir / (".~lock." + target.filename().string() + "#");
    if (!fs::exists(fs::symlink_status(lockFile, ec)))
        return;
    const std::string text = lockFileText(lockFile);
    if (!ownOfficeProfile.empty() && text.find(ownOfficeProfile) != std::string::npos)
        return;
    std::string who = lockFileOwner(text);
    throw EngineError(ErrorCode::FileLocked, display,
                      fmt::format("it is open in LibreOffice{}; if it is not, delete the lock file {}",
                                  who.empty() ? std::string() : " by " + who, lockFile.string()));
}

// Takes the file's lock, waiting up to `wait` for another program to let its own go.
void lockOrWait(int fd, const std::string& display, std::chrono::milliseconds wait)
{
    auto deadline = std::chrono::steady_clock::now() + wait;
    // The job that saves holds the file's flock already, from before it read the file.
    bool flocked = lockedAsDestination(fd);
    for (;;) {
        std::string holder;
        if (!flocked) {
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0 || (errno != EWOULDBLOCK && errno != EINTR))
                flocked = true;  // taken, or a file system without such locks
            else
                holder = "another program holds a lock on it";
        }
        if (holder.empty()) {
            if (long pid = writeLockHolder(fd); pid != 0)
                holder = pid > 0 ? fmt::format("process {} holds a lock on it", pid)
                                 : std::string("another program holds a lock on it");
        }
        if (holder.empty())
            return;
        if (std::chrono::steady_clock::now() >= deadline)
            throw EngineError(ErrorCode::FileLocked, display, holder);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// The file at the path must still be the one that was read, and the one just locked.
void checkUnchanged(int fd, const fs::path& target, const std::string& display, std::string_view openedIdentity)
{
    struct stat now {}, locked {};
    if (::stat(target.c_str(), &now) != 0)
        throw EngineError(ErrorCode::FileChangedSinceOpened, display, "it is no longer there");
    if (::fstat(fd, &locked) != 0 || !sameFile(now, locked) ||
        (!openedIdentity.empty() && !isStill(fd, openedIdentity)))
        throw EngineError(ErrorCode::FileChangedSinceOpened, display);
}

} // namespace

SaveGuard::SaveGuard(const fs::path& requested, const std::string& display, std::string_view openedIdentity,
                     std::chrono::milliseconds wait, std::string_view ownOfficeProfile)
{
    const fs::path target = replacedFile(requested);
    fs::path dir = target.parent_path();
    if (dir.empty())
        dir = ".";
    if (!checkWritable(target, dir, display, openedIdentity))
        return;
    checkOfficeLock(target, dir, display, ownOfficeProfile);

    fd_ = ::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd_ < 0)
        return;  // not readable now: the save meets the reason itself
    try {
        lockOrWait(fd_, display, wait);
        checkUnchanged(fd_, target, display, openedIdentity);
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }
}

SaveGuard::~SaveGuard()
{
    if (fd_ >= 0)
        ::close(fd_);  // lets the flock go
}

} // namespace tessaro::xlsx
