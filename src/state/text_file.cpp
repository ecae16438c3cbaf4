// SPDX-License-Identifier: MIT
#include "state/text_file.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <fstream>
#include <iterator>
#include <system_error>
#include <unistd.h>

namespace tessaro {

std::vector<std::string> splitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::string current;
    bool pending = false; // bytes seen since the last terminator
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            lines.push_back(std::move(current));
            current.clear();
            pending = false;
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            current.push_back(c);
            pending = true;
        }
    }
    if (pending)
        lines.push_back(std::move(current));
    return lines;
}

std::optional<std::vector<std::string>> readLines(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return splitLines(bytes);
}

namespace {

[[noreturn]] void fail(const std::filesystem::path& file, const char* what, int error)
{
    throw std::system_error(error, std::generic_category(), file.string() + ": " + what);
}

bool writeAll(int fd, std::string_view data)
{
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

} // namespace

void writeLinesAtomically(const std::filesystem::path& file, const std::vector<std::string>& lines)
{
    std::string content;
    for (const auto& line : lines) {
        content += line;
        content += "\r\n";
    }

    std::string tmpl = file.string() + ".XXXXXX";
    const int fd = ::mkstemp(tmpl.data());
    if (fd < 0)
        fail(file, "cannot create a temporary file beside it", errno);
    // mkstemp creates the file 0600; a list file is an ordinary user file.
    ::fchmod(fd, 0644);
    if (!writeAll(fd, content) || ::fsync(fd) != 0) {
        const int error = errno;
        ::close(fd);
        ::unlink(tmpl.c_str());
        fail(file, "cannot write the file", error);
    }
    if (::close(fd) != 0) {
        const int error = errno;
        ::unlink(tmpl.c_str());
        fail(file, "cannot write the file", error);
    }
    if (::rename(tmpl.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(tmpl.c_str());
        fail(file, "cannot replace the file", error);
    }
    // The rename itself must reach the disk too, or a crash could bring the old file back.
    const auto dir = file.has_parent_path() ? file.parent_path() : std::filesystem::path(".");
    const int dirFd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
}

} // namespace tessaro
