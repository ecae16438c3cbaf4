// SPDX-License-Identifier: MIT
#include "engine/sml/link_targets.h"

#include <cctype>
#include <cstdlib>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

std::string percentDecoded(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size() && std::isxdigit(static_cast<unsigned char>(s[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(s[i + 2]))) {
            out.push_back(static_cast<char>(std::strtol(std::string(s.substr(i + 1, 2)).c_str(), nullptr, 16)));
            i += 2;
        } else {
            out.push_back(s[i]);
        }
    }
    return out;
}

bool hasScheme(std::string_view s)
{
    std::size_t colon = s.find(':');
    if (colon == std::string_view::npos || colon < 2)
        return false;  // "C:" is a drive, not a scheme
    for (std::size_t i = 0; i < colon; ++i)
        if (!std::isalpha(static_cast<unsigned char>(s[i])) && s[i] != '+' && s[i] != '-' && s[i] != '.')
            return false;
    return true;
}

} // namespace

std::string resolveExternalTarget(std::string_view target, const std::filesystem::path& baseFolder)
{
    std::string t(target);
    if (t.rfind("file:///", 0) == 0 || t.rfind("FILE:///", 0) == 0)
        return std::filesystem::path(percentDecoded(t.substr(7))).lexically_normal().string();
    if (t.rfind("file://", 0) == 0)
        return percentDecoded(t);
    if (hasScheme(t))
        return t;
    std::string decoded = percentDecoded(t);
    bool windows = (decoded.size() > 2 && decoded[1] == ':') || decoded.rfind("\\\\", 0) == 0 ||
                   decoded.find('\\') != std::string::npos;
    if (windows)
        return decoded;
    std::filesystem::path p(decoded);
    if (p.is_absolute())
        return p.lexically_normal().string();
    return (baseFolder / p).lexically_normal().string();
}

std::string fileUrl(const std::filesystem::path& absolutePath)
{
    std::string out = "file://";
    for (unsigned char c : absolutePath.string()) {
        if (std::isalnum(c) || c == '/' || c == '-' || c == '_' || c == '.' || c == '~')
            out.push_back(static_cast<char>(c));
        else
            out += fmt::format("%{:02X}", c);
    }
    return out;
}

} // namespace tessaro::xlsx
