// SPDX-License-Identifier: MIT
#include "support/shared_dir.h"

#include <cstdlib>

namespace tessaro::test {

std::optional<std::filesystem::path> sharedDir()
{
    const char* dir = std::getenv("TESSARO_SHARED_DIR");
    if (!dir || !*dir)
        return std::nullopt;
    std::error_code ec;
    if (!std::filesystem::is_directory(std::filesystem::path(dir) / "corpus", ec))
        return std::nullopt;
    return std::filesystem::path(dir);
}

std::filesystem::path buildDir()
{
    if (const char* dir = std::getenv("TESSARO_BUILD_DIR"); dir && *dir)
        return dir;
    return std::filesystem::current_path();
}

} // namespace tessaro::test
