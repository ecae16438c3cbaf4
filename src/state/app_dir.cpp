// SPDX-License-Identifier: MIT
#include "state/app_dir.h"

#include <cstdlib>
#include <system_error>
#include <fcntl.h>
#include <unistd.h>

namespace tessaro {

std::filesystem::path executableDir()
{
    std::error_code ec;
    const auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec)
        return std::filesystem::current_path(ec);
    return exe.parent_path();
}

namespace {

bool writable(const std::filesystem::path& dir)
{
    // access() alone says yes for root on a read-only mount, so try a real file.
    const auto probe = dir / (".tessaro-probe-" + std::to_string(::getpid()));
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    ::unlink(probe.c_str());
    return true;
}

std::filesystem::path userDataDir()
{
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "tessaro";
    if (const char* home = std::getenv("HOME"); home && *home)
        return std::filesystem::path(home) / ".local" / "share" / "tessaro";
    return std::filesystem::temp_directory_path() / ("tessaro-" + std::to_string(::getuid()));
}

} // namespace

std::filesystem::path resolveAppDir()
{
    const auto exeDir = executableDir();
    if (writable(exeDir))
        return exeDir;
    auto dir = userDataDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

} // namespace tessaro
