// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>

namespace tessaro {

// The folder of the running executable, when the program may write there; otherwise the
// per-user data folder ($XDG_DATA_HOME/tessaro, or ~/.local/share/tessaro), created if
// needed. The same folder on every run.
std::filesystem::path resolveAppDir();

// The folder of the running executable.
std::filesystem::path executableDir();

} // namespace tessaro
