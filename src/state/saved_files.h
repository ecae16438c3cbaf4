// SPDX-License-Identifier: MIT
#pragma once

#include "platform/spreadsheet_automation.h"

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace tessaro {

// The files the program keeps in its own folder.
std::filesystem::path sourceListFile(const std::filesystem::path& appDir); // EXCEL.txt
std::filesystem::path targetListFile(const std::filesystem::path& appDir); // CopyExcel.txt
std::filesystem::path settingsFile(const std::filesystem::path& appDir);   // set.txt
std::filesystem::path linksFile(const std::filesystem::path& appDir);      // links.txt

// The first two lines of the settings file, each absent when the file is shorter (or
// missing, or unreadable).
struct SaveSettings {
    std::optional<std::string> line1;
    std::optional<std::string> line2;

    // A setting is on only when its line is exactly "1".
    bool autoSaveLeftList() const { return line1 && *line1 == "1"; }
    bool autoSaveRightList() const { return line2 && *line2 == "1"; }
};

SaveSettings ReadSaveSettings(const std::filesystem::path& settingsFile);

// Rewrites the settings file with exactly two lines, each a check-box state in decimal.
// Throws std::system_error naming the file when it cannot be written; the old file is then
// intact.
void WriteSaveSettings(const std::filesystem::path& settingsFile, std::int16_t left, std::int16_t right);

// The check-box state a settings line gives the settings dialog: the line read as a whole
// number with blanks around it allowed ("01" and " 1" give 1); 0 unchecked, 1 checked,
// 2 greyed. A missing line, or one that is not a number from 0 to 2, gives 0.
int checkStateOfSettingsLine(const std::optional<std::string>& line);

// What copies' references to other sheets read, kept as one word in its own file:
// "external", "destination" or "values". A missing or unreadable file, or any other word,
// reads as External.
SheetLinks ReadLinksChoice(const std::filesystem::path& linksFile);
// Throws std::system_error naming the file when it cannot be written; the old file is then
// intact.
void WriteLinksChoice(const std::filesystem::path& linksFile, SheetLinks links);

} // namespace tessaro
