// SPDX-License-Identifier: MIT
#include "platform/atomic_file.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void fail(int error, const std::string& what)
{
    throw std::system_error(error, std::generic_category(), what);
}

// A link is followed to the file it names, so the link survives the replacement. A
// dangling link, or one whose chain cannot be resolved, is replaced itself.
fs::path resolveTarget(const fs::path& requested)
{
    std::error_code ec;
    if (fs::is_symlink(fs::symlink_status(requested, ec))) {
        fs::path resolved = fs::canonical(requested, ec);
        if (!ec)
            return resolved;
    }
    return requested;
}

fs::path folderOf(const fs::path& file)
{
    return file.has_parent_path() ? file.parent_path() : fs::path(".");
}

// Hidden, beside the target, and unique among every process of the machine.
std::pair<int, fs::path> createTemporary(const fs::path& target)
{
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    const fs::path dir = folderOf(target);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned long long salt = (static_cast<unsigned long long>(entropy()) << 20) ^
                                        (static_cast<unsigned long long>(::getpid()) << 8) ^ counter++;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%012llx", salt & 0xFFFFFFFFFFFFull);
        fs::path name = dir / ("." + target.filename().string() + ".tessaro-" + suffix);
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return {fd, name};
        if (errno != EEXIST)
            fail(errno, "create a temporary file in " + dir.string());
    }
    fail(EEXIST, "create a temporary file in " + dir.string());
}

// What the new file takes over from the one it replaces. Extended attributes and access
// control lists belong here too, when they are carried over.
void keepAttributesOf(const struct stat& old, int fd)
{
    if (::fchmod(fd, old.st_mode & 07777) != 0)
        fail(errno, "set permissions");
    if (old.st_uid == ::geteuid() && old.st_gid == ::getegid())
        return;
    // Only root may give a file away; anyone may pick one of their own groups. What cannot
    // be kept is left as the process created it.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && old.st_gid != ::getegid()) {
        [[maybe_unused]] const int groupOnly = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
    }
    // Changing the owner clears the set-user-id and set-group-id bits: give them back.
    if ((old.st_mode & 06000) != 0)
        ::fchmod(fd, old.st_mode & 07777);
}

void flushFolder(const fs::path& dir)
{
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == EACCES)
            return;
        throw ReplacedButNotFlushed(errno, std::generic_category(), "open the folder to flush it");
    }
    const int rc = ::fsync(fd);
    const int error = errno;
    ::close(fd);
    if (rc != 0 && error != EINVAL && error != ENOTSUP && error != EROFS && error != EBADF)
        throw ReplacedButNotFlushed(error, std::generic_category(), "flush the folder to disk");
}

} // namespace

AtomicReplacement::AtomicReplacement(const fs::path& requested) : target_(resolveTarget(requested))
{
    std::error_code ec;
    if (fs::is_directory(target_, ec))
        fail(EISDIR, "replace " + target_.string());
    std::tie(fd_, temp_) = createTemporary(target_);
}

AtomicReplacement::~AtomicReplacement()
{
    if (fd_ >= 0)
        ::close(fd_);
    if (!renamed_)
        ::unlink(temp_.c_str());
}

void AtomicReplacement::closeDescriptor()
{
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

void AtomicReplacement::commit()
{
    if (fd_ < 0) {
        fd_ = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            fail(errno, "open " + temp_.string());
    }
    if (::fsync(fd_) != 0)
        fail(errno, "flush to disk");
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0)
        keepAttributesOf(old, fd_);
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0)
        fail(errno, "close");
    if (::rename(temp_.c_str(), target_.c_str()) != 0)
        fail(errno, "rename over " + target_.string());
    renamed_ = true;
    flushFolder(folderOf(target_));
}

void replaceFileContent(const fs::path& target, std::string_view content)
{
    AtomicReplacement out(target);
    while (!content.empty()) {
        const ssize_t n = ::write(out.descriptor(), content.data(), content.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail(errno, "write");
        }
        content.remove_prefix(static_cast<std::size_t>(n));
    }
    out.commit();
}

} // namespace tessaro
