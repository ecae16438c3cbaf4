// SPDX-License-Identifier: MIT
#include "copy/file_names.h"

#include "lists/path_kind.h"

namespace tessaro {

std::string FileNameOf(const std::string& path)
{
    const auto p = path.rfind(kPathSeparator);
    return p == std::string::npos ? path : path.substr(p + 1);
}

std::string StripExtension(const std::string& name)
{
    const auto p = name.rfind('.');
    return p == std::string::npos ? name : name.substr(0, p);
}

std::string ExtensionOf(const std::string& name)
{
    const auto p = name.find_last_of(". ");
    return p == std::string::npos ? name : name.substr(p + 1);
}

} // namespace tessaro
