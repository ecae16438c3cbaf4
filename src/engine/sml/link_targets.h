// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// An external workbook target as a comparable text: a path for files (relative targets
// resolved against `baseFolder`, file URLs decoded), the target itself for anything else.
std::string resolveExternalTarget(std::string_view target, const std::filesystem::path& baseFolder);

// The file URL of an absolute path, percent-encoded as a relationship target must be.
std::string fileUrl(const std::filesystem::path& absolutePath);

} // namespace tessaro::xlsx
