// SPDX-License-Identifier: MIT
#include "lists/workspace.h"

#include "lists/path_kind.h"
#include "state/saved_files.h"
#include "state/text_file.h"

#include <charconv>
#include <system_error>

namespace tessaro {

const std::string& SourcePathTable::at(std::int32_t number) const
{
    static const std::string none;
    if (number < 1 || static_cast<std::size_t>(number) >= paths_.size())
        return none;
    return paths_[static_cast<std::size_t>(number)];
}

void SourcePathTable::set(std::int32_t number, std::string path)
{
    if (number < 1)
        return;
    if (static_cast<std::size_t>(number) >= paths_.size())
        paths_.resize(static_cast<std::size_t>(number) + 1);
    paths_[static_cast<std::size_t>(number)] = std::move(path);
}

std::int32_t CopyRowNumber(const ListRow& copyRow)
{
    const std::string& text = copyRow.subItem(1);
    std::int32_t value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size())
        return 0;
    return value;
}

std::string SelectedSourceBookPath(const Workspace& ws)
{
    const std::string entry = ws.sourceEntryList.selectedText();
    const std::string book = ws.sourceBookList.selectedText();
    switch (GetPathKind(entry)) {
    case PathKind::File:
        return entry;
    case PathKind::Folder: {
        std::string path = joinPath(entry, book);
        return GetPathKind(path) == PathKind::File ? path : std::string();
    }
    case PathKind::Missing:
        break;
    }
    return {};
}

void emptyCopyList(Workspace& ws)
{
    ws.copySheetList.clear();
    ws.copyRowCounter = 0;
    ws.sourcePathTable.clear();
}

int EntryIconOfPath(const std::string& path)
{
    switch (GetPathKind(path)) {
    case PathKind::File:
        return WorkbookFileIcon;
    case PathKind::Folder:
        return FolderIcon;
    case PathKind::Missing:
        break;
    }
    return MissingPathIcon;
}

void LoadEntryList(const std::filesystem::path& file, ListModel& list)
{
    const auto lines = readLines(file);
    if (!lines)
        return;
    for (const auto& line : *lines) {
        const int position = list.append(line);
        list.setSmallIcon(position, EntryIconOfPath(line));
    }
}

void SaveEntryList(const ListModel& list, const std::filesystem::path& file)
{
    std::vector<std::string> lines;
    lines.reserve(static_cast<std::size_t>(list.count()));
    for (int i = 1; i <= list.count(); ++i)
        lines.push_back(list.row(i).text);
    writeLinesAtomically(file, lines);
}

void startUp(Workspace& ws)
{
    ws.copyCount = 1;
    ws.copyRowCounter = 0;
    LoadEntryList(sourceListFile(ws.appDir), ws.sourceEntryList);
    LoadEntryList(targetListFile(ws.appDir), ws.targetEntryList);
    ws.copyPosition = kCopyAfter;
}

std::vector<std::string> shutDown(const Workspace& ws)
{
    std::vector<std::string> failures;
    const SaveSettings settings = ReadSaveSettings(settingsFile(ws.appDir));
    const auto save = [&](const ListModel& list, const std::filesystem::path& file) {
        try {
            SaveEntryList(list, file);
        } catch (const std::system_error& e) {
            failures.emplace_back(e.what());
        }
    };
    if (settings.autoSaveLeftList())
        save(ws.sourceEntryList, sourceListFile(ws.appDir));
    if (settings.autoSaveRightList())
        save(ws.targetEntryList, targetListFile(ws.appDir));
    return failures;
}

} // namespace tessaro
