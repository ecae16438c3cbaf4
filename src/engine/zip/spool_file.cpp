// SPDX-License-Identifier: MIT
#include "engine/zip/spool_file.h"

#include <cerrno>
#include <filesystem>
#include <string>
#include <system_error>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro::xlsx {
namespace {

[[noreturn]] void fail(const char* what)
{
    throw std::system_error(errno, std::generic_category(), what);
}

} // namespace

SpoolFile::SpoolFile()
{
    std::error_code ec;
    std::filesystem::path dir = std::filesystem::temp_directory_path(ec);
    if (ec)
        dir = "/tmp";
    fd_ = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, S_IRUSR | S_IWUSR);
    if (fd_ < 0) {
        // File systems without unnamed files: a named one, unlinked at once.
        std::string pattern = (dir / "tessaro-spool-XXXXXX").string();
        fd_ = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd_ < 0)
            fail("cannot make a temporary file");
        ::unlink(pattern.c_str());
    }
}

SpoolFile::~SpoolFile()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void SpoolFile::append(const char* data, std::size_t size)
{
    while (size > 0) {
        ssize_t n = ::pwrite(fd_, data, size, static_cast<off_t>(size_));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot write a temporary file");
        }
        data += n;
        size -= static_cast<std::size_t>(n);
        size_ += static_cast<std::uint64_t>(n);
    }
}

std::size_t SpoolFile::readAt(std::uint64_t offset, char* out, std::size_t size) const
{
    std::size_t done = 0;
    while (done < size && offset + done < size_) {
        ssize_t n = ::pread(fd_, out + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            fail("cannot read a temporary file");
        }
        if (n == 0)
            break;
        done += static_cast<std::size_t>(n);
    }
    return done;
}

} // namespace tessaro::xlsx
