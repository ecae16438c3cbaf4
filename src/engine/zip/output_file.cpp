// SPDX-License-Identifier: MIT
#include "engine/zip/output_file.h"

#include "platform/atomic_file.h"

#include <algorithm>
#include <cerrno>
#include <system_error>
#include <utility>
#include <vector>

#include <unistd.h>

namespace tessaro::xlsx {
namespace {

constexpr std::size_t kBufferSize = 1u << 20;

[[noreturn]] void throwErrno(int err, const std::string& what)
{
    throw std::system_error(err, std::generic_category(), what);
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

void replaceFileAtomically(const std::filesystem::path& target,
                           const std::function<void(OutputFile&)>& writeContent,
                           const OutputFileWrapper& wrapper, const std::string& expectedIdentity)
{
    AtomicReplacement replacement(target);
    if (!expectedIdentity.empty())
        replacement.requireTargetStill(expectedIdentity);
    std::unique_ptr<OutputFile> out = std::make_unique<DescriptorOutputFile>(replacement.descriptor());
    if (wrapper)
        out = wrapper(std::move(out));
    writeContent(*out);
    // Through the wrapper, so that a test's failing disk fails the flush too.
    out->sync();
    replacement.commit(/*contentFlushed=*/true);
}

} // namespace tessaro::xlsx
