// SPDX-License-Identifier: MIT
#include "lists/path_kind.h"

#include <sys/stat.h>

namespace tessaro {

PathKind GetPathKind(const std::string& path)
{
    if (path.empty())
        return PathKind::Missing;
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return PathKind::Missing;
    if (S_ISDIR(st.st_mode))
        return PathKind::Folder;
    // Sockets, pipes and devices are not files a workbook could be read from.
    return S_ISREG(st.st_mode) ? PathKind::File : PathKind::Missing;
}

std::string joinPath(const std::string& folder, const std::string& name)
{
    std::string result = folder;
    if (result.empty() || result.back() != kPathSeparator)
        result += kPathSeparator;
    result += name;
    return result;
}

} // namespace tessaro
