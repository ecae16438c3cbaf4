// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>

namespace tessaro {

// The folder of the running executable, when the program may write there and is not an
// installed one; otherwise the per-user data folder ($XDG_DATA_HOME/tessaro, or
// ~/.local/share/tessaro), created if needed. The same folder on every run.
std::filesystem::path resolveAppDir();
std::filesystem::path resolveAppDir(const std::filesystem::path& exeDir);

// The folder of the running executable.
std::filesystem::path executableDir();

// True when the executables of exeDir were installed (the guide lies in the installed
// documentation folder), rather than run from a build tree.
bool isInstalledProgram(const std::filesystem::path& exeDir);

// The user guide: the installed one for an installed program, else the copy the build keeps
// beside the executables.
std::filesystem::path helpPage(const std::filesystem::path& exeDir);

} // namespace tessaro
