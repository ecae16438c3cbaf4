// SPDX-License-Identifier: MIT
#include "engine/office/file_ops.h"

#include <fmt/format.h>

#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro::office {

namespace fs = std::filesystem;

namespace {

[[noreturn]] void throwErrno(const std::string& what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

void syncPath(const fs::path& p, bool directory)
{
    const int fd = ::open(p.c_str(), (directory ? O_RDONLY | O_DIRECTORY : O_RDWR) | O_CLOEXEC);
    if (fd < 0)
        throwErrno("cannot open " + p.string() + " to flush it");
    const int rc = ::fsync(fd);
    const int saved = errno;
    ::close(fd);
    // Some file systems cannot flush a folder; the rename is done all the same.
    if (rc != 0 && !(directory && (saved == EINVAL || saved == ENOTSUP))) {
        errno = saved;
        throwErrno("cannot flush " + p.string() + " to disk");
    }
}

} // namespace

std::optional<FileStamp> stampOf(const fs::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    FileStamp s;
    s.size = static_cast<std::uintmax_t>(st.st_size);
    s.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    s.device = static_cast<std::uint64_t>(st.st_dev);
    s.inode = static_cast<std::uint64_t>(st.st_ino);
    return s;
}

std::string uniqueToken()
{
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return fmt::format("{}-{}-{:08x}", ::getpid(), ++counter, static_cast<std::uint32_t>(random()));
}

ReplacementFile::ReplacementFile(const fs::path& target)
{
    std::error_code ec;
    final_ = fs::is_symlink(target, ec) ? fs::canonical(target) : target;
    const fs::path dir = final_.has_parent_path() ? final_.parent_path() : fs::path(".");
    for (int attempt = 0; attempt < 20; ++attempt) {
        temp_ = dir / fmt::format(".~{}.tessaro-{}", final_.filename().string(), uniqueToken());
        // Created with the usual permissions for a new file (the umask applies); commit()
        // gives an existing target's permissions back.
        const int fd = ::open(temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            struct stat st {};
            ::fstat(fd, &st);
            createdMode_ = st.st_mode & 07777;
            ::close(fd);
            return;
        }
        if (errno != EEXIST)
            throwErrno("cannot create a file in " + dir.string());
    }
    throwErrno("cannot create a file in " + dir.string());
}

ReplacementFile::~ReplacementFile()
{
    if (!done_) {
        std::error_code ec;
        fs::remove(temp_, ec);
    }
}

void ReplacementFile::commit()
{
    std::error_code ec;
    const auto size = fs::file_size(temp_, ec);
    if (ec || size == 0)
        throw std::system_error(ec ? ec : std::make_error_code(std::errc::io_error),
                                "nothing was written to " + temp_.string());
    struct stat st {};
    const unsigned mode = ::stat(final_.c_str(), &st) == 0 ? (st.st_mode & 07777) : createdMode_;
    if (::chmod(temp_.c_str(), mode) != 0)
        throwErrno("cannot set the permissions of " + temp_.string());
    syncPath(temp_, false);
    if (::rename(temp_.c_str(), final_.c_str()) != 0)
        throwErrno("cannot replace " + final_.string());
    done_ = true;
    syncPath(final_.has_parent_path() ? final_.parent_path() : fs::path("."), true);
}

void copyFileReplacing(const fs::path& from, const fs::path& to)
{
    ReplacementFile out(to);
    fs::copy_file(from, out.path(), fs::copy_options::overwrite_existing);
    out.commit();
}

} // namespace tessaro::office
