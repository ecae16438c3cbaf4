// SPDX-License-Identifier: MIT
#include "state/saved_files.h"

#include "state/text_file.h"

#include <charconv>
#include <string_view>
#include <utility>

namespace tessaro {

std::filesystem::path sourceListFile(const std::filesystem::path& appDir) { return appDir / "EXCEL.txt"; }
std::filesystem::path targetListFile(const std::filesystem::path& appDir) { return appDir / "CopyExcel.txt"; }
std::filesystem::path settingsFile(const std::filesystem::path& appDir) { return appDir / "set.txt"; }
std::filesystem::path linksFile(const std::filesystem::path& appDir) { return appDir / "links.txt"; }

namespace {

constexpr std::pair<SheetLinks, std::string_view> kLinkWords[] = {
    {SheetLinks::External, "external"}, {SheetLinks::Destination, "destination"}, {SheetLinks::Values, "values"}};

} // namespace

SheetLinks ReadLinksChoice(const std::filesystem::path& file)
{
    const auto lines = readLines(file);
    if (!lines || lines->empty())
        return SheetLinks::External;
    std::string_view word = (*lines)[0];
    while (!word.empty() && (word.back() == ' ' || word.back() == '\t'))
        word.remove_suffix(1);
    while (!word.empty() && (word.front() == ' ' || word.front() == '\t'))
        word.remove_prefix(1);
    for (const auto& [links, w] : kLinkWords)
        if (word == w)
            return links;
    return SheetLinks::External;
}

void WriteLinksChoice(const std::filesystem::path& file, SheetLinks links)
{
    for (const auto& [l, w] : kLinkWords)
        if (l == links)
            writeLinesAtomically(file, {std::string(w)});
}

SaveSettings ReadSaveSettings(const std::filesystem::path& file)
{
    SaveSettings settings;
    const auto lines = readLines(file);
    if (!lines)
        return settings;
    if (lines->size() > 0)
        settings.line1 = (*lines)[0];
    if (lines->size() > 1)
        settings.line2 = (*lines)[1];
    return settings;
}

void WriteSaveSettings(const std::filesystem::path& file, std::int16_t left, std::int16_t right)
{
    writeLinesAtomically(file, {std::to_string(left), std::to_string(right)});
}

int checkStateOfSettingsLine(const std::optional<std::string>& line)
{
    if (!line)
        return 0;
    std::string_view text = *line;
    const auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && blank(text.back()))
        text.remove_suffix(1);
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return 0;
    return value >= 0 && value <= 2 ? value : 0;
}

} // namespace tessaro
