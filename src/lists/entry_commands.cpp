// SPDX-License-Identifier: MIT
#include "lists/entry_commands.h"

#include "lists/folder_scan.h"
#include "lists/sheet_selection.h"
#include "lists/workspace.h"

#include <cstdlib>
#include <filesystem>
#include <optional>

namespace tessaro {

namespace {

// Workbooks a folder scan passed over are named in the status line, so a missing row is
// not a mystery.
void tellPassedOver(Host& host, const std::vector<std::string>& passed)
{
    if (!passed.empty())
        host.setStatusText(passed.size() == 1 ? passed.front()
                                              : passed.front() + " (and " + std::to_string(passed.size() - 1) +
                                                    " more like it)");
}

int appendEntry(ListModel& entries, const std::string& path, bool asFolder)
{
    const int row = entries.append(path);
    entries.setSmallIcon(row, asFolder ? FolderIcon : WorkbookFileIcon);
    entries.select(row);
    entries.scrollTo(row);
    return row;
}

void moveEntry(ListModel& entries, int delta)
{
    if (entries.empty())
        return;
    const int p = entries.selectedPosition();
    const int q = p + delta;
    if (q < 1 || q > entries.count())
        return;
    const ListRow moved = entries.row(p);
    entries.remove(p);
    entries.insert(q, moved.text);
    entries.setSmallIcon(q, moved.smallIcon);
    entries.select(q);
    entries.scrollTo(q);
}

} // namespace

void AddSourceEntry(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers, const std::string& path,
                    bool asFolder)
{
    appendEntry(ws.sourceEntryList, path, asFolder);
    tellPassedOver(host, ListSourceBooks(ws, path));
    BusyPointer busy(host);
    LoadSourceSheets(ws, host, servers);
}

void AddTargetEntry(Workspace& ws, Host& host, const std::string& path, bool asFolder)
{
    if (asFolder) {
        BusyPointer busy(host);
        appendEntry(ws.targetEntryList, path, true);
        tellPassedOver(host, ListTargetBooks(ws, path));
        return;
    }
    appendEntry(ws.targetEntryList, path, false);
    tellPassedOver(host, ListTargetBooks(ws, path));
}

namespace {

// A chooser opens where that side's last one chose, else in the user's home folder.
std::string startFolder(const std::string& last)
{
    if (!last.empty())
        return last;
    const char* home = std::getenv("HOME");
    return home ? std::string(home) : std::string();
}

std::optional<std::string> chooseFileOn(Host& host, std::string& last)
{
    auto path = host.chooseFile("Select Excel file", startFolder(last));
    if (path && !path->empty())
        last = std::filesystem::path(*path).parent_path().string();
    return path;
}

std::optional<std::string> chooseFolderOn(Host& host, const std::string& title, std::string& last)
{
    auto path = host.chooseFolder(title, startFolder(last));
    if (path && !path->empty())
        last = *path;
    return path;
}

} // namespace

void AddSourceExcel(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    const auto path = chooseFileOn(host, ws.lastSourceFolder);
    if (!path)
        return;
    AddSourceEntry(ws, host, servers, *path, false);
}

void AddSourceFolder(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    const auto path = chooseFolderOn(host, "Add all source excel in folder", ws.lastSourceFolder);
    if (!path || path->empty())
        return;
    AddSourceEntry(ws, host, servers, *path, true);
}

void AddTargetExcel(Workspace& ws, Host& host)
{
    const auto path = chooseFileOn(host, ws.lastTargetFolder);
    if (!path)
        return;
    AddTargetEntry(ws, host, *path, false);
}

void AddTargetFolder(Workspace& ws, Host& host)
{
    const auto path = chooseFolderOn(host, "Add all Destination excel in folder", ws.lastTargetFolder);
    if (!path || path->empty())
        return;
    AddTargetEntry(ws, host, *path, true);
}

void RemoveSourceEntry(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    if (ws.sourceEntryList.empty())
        return;
    const int n = ws.sourceEntryList.count();
    const int p = ws.sourceEntryList.selectedPosition();
    ws.sourceEntryList.remove(p);
    if (n == 1) {
        ws.sourceBookList.clear();
        ws.sourceSheetList.clear();
        return;
    }
    ws.sourceEntryList.select(p > 1 ? p - 1 : 1);
    tellPassedOver(host, ListSourceBooks(ws, ws.sourceEntryList.selectedText()));
    BusyPointer busy(host);
    LoadSourceSheets(ws, host, servers);
}

void RemoveTargetEntry(Workspace& ws, Host& host)
{
    if (ws.targetEntryList.empty())
        return;
    const int n = ws.targetEntryList.count();
    const int p = ws.targetEntryList.selectedPosition();
    ws.targetEntryList.remove(p);
    if (n == 1) {
        ws.targetBookList.clear();
        return;
    }
    BusyPointer busy(host);
    ws.targetEntryList.select(p > 1 ? p - 1 : 1);
    tellPassedOver(host, ListTargetBooks(ws, ws.targetEntryList.selectedText()));
}

void MoveEntryUp(ListModel& entries) { moveEntry(entries, -1); }
void MoveEntryDown(ListModel& entries) { moveEntry(entries, +1); }

void RemoveAllLeft(Workspace& ws)
{
    ws.sourceEntryList.clear();
    ws.sourceBookList.clear();
    ws.sourceSheetList.clear();
    emptyCopyList(ws);
}

void RemoveAllRight(Workspace& ws)
{
    ws.targetEntryList.clear();
    ws.targetBookList.clear();
}

namespace {
// An entry restored with the missing-path image shows its real kind once the path is back.
void refreshMissingImage(ListModel& entries)
{
    const int position = entries.selectedPosition();
    if (position > 0 && entries.row(position).smallIcon == MissingPathIcon)
        entries.setSmallIcon(position, EntryIconOfPath(entries.row(position).text));
}
} // namespace

void SourceEntryClick(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    if (ws.sourceEntryList.empty())
        return;
    const std::string entry = ws.sourceEntryList.selectedText();
    refreshMissingImage(ws.sourceEntryList);
    ws.sourceBookList.clear();
    ws.sourceSheetList.clear();
    BusyPointer busy(host);
    tellPassedOver(host, ListSourceBooks(ws, entry));
    LoadSourceSheets(ws, host, servers);
}

void TargetEntryClick(Workspace& ws, Host& host)
{
    if (ws.targetEntryList.empty())
        return;
    const std::string entry = ws.targetEntryList.selectedText();
    refreshMissingImage(ws.targetEntryList);
    ws.targetBookList.clear();
    BusyPointer busy(host);
    tellPassedOver(host, ListTargetBooks(ws, entry));
}

} // namespace tessaro
