// SPDX-License-Identifier: MIT
#include "state/app_dir.h"

#include "state/build_info.h"

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

std::filesystem::path installedHelpPage(const std::filesystem::path& exeDir)
{
    return (exeDir / kDocDirFromBinDir / "help.html").lexically_normal();
}

} // namespace

bool isInstalledProgram(const std::filesystem::path& exeDir)
{
    std::error_code ec;
    return std::filesystem::is_regular_file(installedHelpPage(exeDir), ec);
}

std::filesystem::path helpPage(const std::filesystem::path& exeDir)
{
    if (isInstalledProgram(exeDir))
        return installedHelpPage(exeDir);
    return exeDir / "help.html";
}

std::filesystem::path resolveAppDir() { return resolveAppDir(executableDir()); }

std::filesystem::path resolveAppDir(const std::filesystem::path& exeDir)
{
    // An installed program keeps nothing beside itself, even when it runs as root and could:
    // its folder is the system's, shared by every user.
    if (!isInstalledProgram(exeDir) && writable(exeDir))
        return exeDir;
    auto dir = userDataDir();
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    return dir;
}

} // namespace tessaro
