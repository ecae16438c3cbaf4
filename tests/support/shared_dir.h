// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <optional>

namespace tessaro::test {

// The shared folder beside the project (corpus, oracle, bench), or nothing when this
// clone has none. Tests that need it skip themselves then.
std::optional<std::filesystem::path> sharedDir();

// The build folder, where tessaro-cli and the other executables are.
std::filesystem::path buildDir();

// The distribution's Python, which has openpyxl.
inline constexpr const char* kSystemPython = "/usr/bin/python3";

} // namespace tessaro::test
