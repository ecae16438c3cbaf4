// SPDX-License-Identifier: MIT
#include "engine/zip/output_file.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <random>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro::xlsx {
namespace {

constexpr std::size_t kBufferSize = 1u << 20;

[[noreturn]] void throwErrno(int err, const std::string& what)
{
    throw std::system_error(err, std::generic_category(), what);
}

// Closes a descriptor once, on every path out of a scope.
class FdGuard {
public:
    explicit FdGuard(int fd) : fd_(fd) {}
    ~FdGuard()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FdGuard(const FdGuard&) = delete;
    FdGuard& operator=(const FdGuard&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

// Creates a new file with a random name beside the target. It is created with 0666 so
// the kernel applies the umask, which is the mode a brand-new workbook should get.
std::pair<int, std::string> createTemporary(const std::filesystem::path& dir, const std::string& base)
{
    static std::atomic<unsigned> counter{0};
    std::random_device entropy;
    for (int attempt = 0; attempt < 100; ++attempt) {
        unsigned long long salt = (static_cast<unsigned long long>(entropy()) << 20) ^
                                  (static_cast<unsigned long long>(::getpid()) << 8) ^ counter++;
        char suffix[24];
        std::snprintf(suffix, sizeof suffix, "%012llx", salt & 0xFFFFFFFFFFFFull);
        std::string name = (dir / ("." + base + ".tessaro-" + suffix)).string();
        int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0)
            return {fd, name};
        if (errno != EEXIST)
            throwErrno(errno, "create a temporary file");
    }
    throwErrno(EEXIST, "create a temporary file");
}

} // namespace

DescriptorOutputFile::DescriptorOutputFile(int fd) : fd_(fd)
{
    buffer_.reserve(kBufferSize);
}

void DescriptorOutputFile::writeAll(const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::write(fd_, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, "write");
        }
        if (n == 0)
            throwErrno(EIO, "write");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

void DescriptorOutputFile::flush()
{
    if (!buffer_.empty()) {
        writeAll(buffer_.data(), buffer_.size());
        buffer_.clear();
    }
}

void DescriptorOutputFile::write(const void* data, std::size_t size)
{
    const char* p = static_cast<const char*>(data);
    if (buffer_.size() + size > kBufferSize) {
        flush();
        if (size >= kBufferSize) {
            writeAll(p, size);
            position_ += size;
            return;
        }
    }
    buffer_.append(p, size);
    position_ += size;
}

void DescriptorOutputFile::copyFrom(int fd, std::uint64_t offset, std::uint64_t size)
{
    if (size == 0)
        return;
    flush();
    std::uint64_t done = 0;
    if (kernelCopy_) {
        auto in = static_cast<off_t>(offset);
        while (done < size) {
            ssize_t n = ::copy_file_range(fd, &in, fd_, nullptr, static_cast<std::size_t>(size - done), 0);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (done == 0 && (errno == EXDEV || errno == ENOSYS || errno == EINVAL || errno == EOPNOTSUPP)) {
                    kernelCopy_ = false;
                    break;
                }
                throwErrno(errno, "copy");
            }
            if (n == 0)
                throwErrno(EIO, "copy (source ended early)");
            done += static_cast<std::uint64_t>(n);
        }
    }
    std::vector<char> chunk;
    while (done < size) {
        std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, kBufferSize));
        chunk.resize(want);
        ssize_t n = ::pread(fd, chunk.data(), want, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwErrno(errno, "read");
        }
        if (n == 0)
            throwErrno(EIO, "read (source ended early)");
        writeAll(chunk.data(), static_cast<std::size_t>(n));
        done += static_cast<std::uint64_t>(n);
    }
    position_ += size;
}

void DescriptorOutputFile::sync()
{
    flush();
    if (::fsync(fd_) != 0)
        throwErrno(errno, "flush to disk");
}

FailingOutputFile::FailingOutputFile(std::unique_ptr<OutputFile> inner, std::uint64_t limit, int error)
    : inner_(std::move(inner)), limit_(limit), error_(error)
{
}

void FailingOutputFile::check(std::uint64_t more)
{
    if (inner_->position() + more > limit_)
        throwErrno(error_, "write");
}

void FailingOutputFile::write(const void* data, std::size_t size)
{
    // A real disk takes what fits before it refuses the rest.
    std::uint64_t room = limit_ > inner_->position() ? limit_ - inner_->position() : 0;
    if (size > room) {
        inner_->write(data, static_cast<std::size_t>(room));
        throwErrno(error_, "write");
    }
    inner_->write(data, size);
}

void FailingOutputFile::copyFrom(int fd, std::uint64_t offset, std::uint64_t size)
{
    check(size);
    inner_->copyFrom(fd, offset, size);
}

void FailingOutputFile::sync()
{
    if (inner_->position() >= limit_)
        throwErrno(error_, "flush to disk");
    inner_->sync();
}

void replaceFileAtomically(const std::filesystem::path& requested,
                           const std::function<void(OutputFile&)>& writeContent,
                           const OutputFileWrapper& wrapper)
{
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path target = requested;
    if (fs::is_symlink(fs::symlink_status(requested, ec))) {
        fs::path resolved = fs::canonical(requested, ec);
        if (!ec)
            target = resolved;
    }
    if (fs::is_directory(target, ec))
        throwErrno(EISDIR, "replace");

    struct stat old {};
    bool existed = ::stat(target.c_str(), &old) == 0;

    fs::path dir = target.parent_path();
    if (dir.empty())
        dir = ".";
    auto [raw, tempName] = createTemporary(dir, target.filename().string());
    FdGuard fd(raw);
    bool renamed = false;
    try {
        std::unique_ptr<OutputFile> out = std::make_unique<DescriptorOutputFile>(fd.get());
        if (wrapper)
            out = wrapper(std::move(out));
        writeContent(*out);
        out->sync();
        if (existed && ::fchmod(fd.get(), old.st_mode & 07777) != 0)
            throwErrno(errno, "set permissions");
        if (existed && (old.st_uid != ::geteuid() || old.st_gid != ::getegid())) {
            // Keeping the owner needs privileges we usually lack; the content matters more.
            [[maybe_unused]] int ignored = ::fchown(fd.get(), old.st_uid, old.st_gid);
        }
        if (::close(fd.release()) != 0)
            throwErrno(errno, "close");
        if (::rename(tempName.c_str(), target.c_str()) != 0)
            throwErrno(errno, "rename");
        renamed = true;
        int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dfd >= 0) {
            // The rename is done; a folder that cannot be flushed (some network file systems)
            // does not make the save a failure.
            ::fsync(dfd);
            ::close(dfd);
        }
    } catch (...) {
        if (!renamed)
            ::unlink(tempName.c_str());
        throw;
    }
}

} // namespace tessaro::xlsx
