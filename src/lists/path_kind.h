// SPDX-License-Identifier: MIT
#pragma once

#include <string>

namespace tessaro {

// What a path names: nothing (missing, empty or not testable), an existing folder, or an
// existing file. Symbolic links are followed.
enum class PathKind : int { Missing = 0, Folder = 1, File = 2 };

PathKind GetPathKind(const std::string& path);

// The platform's path separator, which the row texts use.
inline constexpr char kPathSeparator = '/';

// `folder` with a separator appended unless it already ends with one, then `name`.
std::string joinPath(const std::string& folder, const std::string& name);

} // namespace tessaro
