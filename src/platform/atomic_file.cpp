// SPDX-License-Identifier: MIT
#include "platform/atomic_file.h"
#include "platform/file_identity.h"
#include "platform/own_temporaries.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/xattr.h>
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

// Hidden, beside the target, and unique among every process of the machine. What a killed
// run left in this folder goes first.
std::pair<int, fs::path> createTemporary(const fs::path& target)
{
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    const fs::path dir = folderOf(target);
    removeLeftoverTemporaries(dir);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const unsigned salt = (entropy() << 8) ^ counter++;
        char random[12];
        std::snprintf(random, sizeof random, "%08x", salt);
        fs::path name = dir / temporaryNameFor(target, random);
        // Private while it is written: the file it replaces may be readable by its owner only.
        const int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd >= 0)
            return {fd, name};
        if (errno != EEXIST)
            fail(errno, "create a temporary file in " + dir.string());
    }
    fail(EEXIST, "create a temporary file in " + dir.string());
}

// The old file's extended attributes, its access control lists among them
// (system.posix_acl_access), given to the new one after its mode: an ACL sets the group
// bits as its mask, so it must come last. What cannot be carried refuses the save, since a
// file without its ACL could be readable by people the ACL kept out.
void keepExtendedAttributes(const fs::path& old, int fd)
{
    ssize_t size = ::listxattr(old.c_str(), nullptr, 0);
    if (size < 0 && (errno == ENOTSUP || errno == ENOSYS))
        return; // a file system without them: there is nothing to carry
    std::vector<char> names;
    for (int attempt = 0; size > 0 && attempt < 5; ++attempt) {
        names.resize(static_cast<std::size_t>(size));
        size = ::listxattr(old.c_str(), names.data(), names.size());
        if (size >= 0 || errno != ERANGE)
            break;
        size = ::listxattr(old.c_str(), nullptr, 0);
    }
    if (size < 0)
        throw AttributesNotKept(errno, std::generic_category(), "read the extended attributes of " + old.string());
    names.resize(static_cast<std::size_t>(size));
    std::vector<char> value;
    for (std::size_t at = 0; at < names.size();) {
        const std::string name(names.data() + at);
        at += name.size() + 1;
        // The kernel labels a new file itself, as it labelled the old one.
        if (name.empty() || name == "security.selinux")
            continue;
        ssize_t length = ::getxattr(old.c_str(), name.c_str(), nullptr, 0);
        if (length >= 0) {
            value.resize(static_cast<std::size_t>(length));
            length = ::getxattr(old.c_str(), name.c_str(), value.data(), value.size());
        }
        if (length < 0)
            throw AttributesNotKept(errno, std::generic_category(), "read the attribute " + name + " of " + old.string());
        if (::fsetxattr(fd, name.c_str(), value.data(), static_cast<std::size_t>(length), 0) != 0)
            throw AttributesNotKept(errno, std::generic_category(), "give the attribute " + name + " to the new file");
    }
}

// What the new file takes over from the one it replaces: mode, owner and group, then the
// extended attributes and access control lists.
void keepAttributesOf(const fs::path& oldPath, const struct stat& old, int fd)
{
    if (::fchmod(fd, old.st_mode & 07777) != 0)
        fail(errno, "set permissions");
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
        // Only root may give a file away; anyone may pick one of their own groups. What
        // cannot be kept is left as the process created it.
        if (::fchown(fd, old.st_uid, old.st_gid) != 0 && old.st_gid != ::getegid()) {
            [[maybe_unused]] const int groupOnly = ::fchown(fd, static_cast<uid_t>(-1), old.st_gid);
        }
        // Changing the owner clears the set-user-id and set-group-id bits: give them back.
        if ((old.st_mode & 06000) != 0)
            ::fchmod(fd, old.st_mode & 07777);
    }
    keepExtendedAttributes(oldPath, fd);
}

// The process's file mode mask, read without changing it (umask() can only set it, and
// setting it twice would race with other threads creating files).
mode_t currentUmask()
{
    if (std::FILE* f = std::fopen("/proc/self/status", "re")) {
        char line[256];
        unsigned mask = 0;
        bool found = false;
        while (!found && std::fgets(line, sizeof line, f))
            found = std::sscanf(line, "Umask: %o", &mask) == 1;
        std::fclose(f);
        if (found)
            return static_cast<mode_t>(mask);
    }
    return 022;
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

void AtomicReplacement::commit(bool contentFlushed)
{
    if (fd_ < 0) {
        contentFlushed = false;
        fd_ = ::open(temp_.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0)
            fail(errno, "open " + temp_.string());
    }
    if (!contentFlushed && ::fsync(fd_) != 0)
        fail(errno, "flush to disk");
    struct stat old {};
    if (::stat(target_.c_str(), &old) == 0)
        keepAttributesOf(target_, old, fd_);
    else if (::fchmod(fd_, 0666 & ~currentUmask()) != 0)
        fail(errno, "set permissions");
    const int rc = ::close(fd_);
    fd_ = -1;
    if (rc != 0)
        fail(errno, "close");
    if (!expected_.empty()) {
        const auto now = identityOfFile(target_);
        if (!now || now->key() != expected_)
            throw TargetChangedMeanwhile(target_.string() + " was changed by another program while the new content "
                                                            "was being written");
    }
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
