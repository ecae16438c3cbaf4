// SPDX-License-Identifier: MIT
#include "state/text_file.h"

#include "platform/atomic_file.h"

#include <fstream>
#include <iterator>
#include <system_error>

namespace tessaro {

std::vector<std::string> splitLines(std::string_view bytes)
{
    std::vector<std::string> lines;
    std::string current;
    bool pending = false; // bytes seen since the last terminator
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const char c = bytes[i];
        if (c == '\r') {
            lines.push_back(std::move(current));
            current.clear();
            pending = false;
            if (i + 1 < bytes.size() && bytes[i + 1] == '\n')
                ++i;
        } else {
            current.push_back(c);
            pending = true;
        }
    }
    if (pending)
        lines.push_back(std::move(current));
    return lines;
}

std::optional<std::vector<std::string>> readLines(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return splitLines(bytes);
}

void writeLinesAtomically(const std::filesystem::path& file, const std::vector<std::string>& lines)
{
    std::string content;
    for (const auto& line : lines) {
        content += line;
        content += "\r\n";
    }
    try {
        replaceFileContent(file, content);
    } catch (const std::system_error& e) {
        throw std::system_error(e.code(), file.string() + ": could not be written");
    }
}

} // namespace tessaro
