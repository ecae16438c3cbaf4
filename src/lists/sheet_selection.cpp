// SPDX-License-Identifier: MIT
#include "lists/sheet_selection.h"

#include "lists/workspace.h"

#include <memory>
#include <string>

namespace tessaro {

namespace {

std::unique_ptr<SpreadsheetAutomation> startServer(const SpreadsheetAutomationFactory& servers)
{
    auto server = servers ? servers() : nullptr;
    if (!server)
        throw AutomationError(ErrorCode::NoEngine, "No spreadsheet engine is available to read workbooks.");
    return server;
}

} // namespace

void AddCopyRow(Workspace& ws, const std::string& sheetName, const std::string& sourcePath)
{
    ++ws.copyRowCounter;
    const int r = ws.copySheetList.append(std::string());
    ws.copySheetList.setChecked(r, true);
    ws.copySheetList.setSubItem(r, 1, std::to_string(ws.copyRowCounter));
    ws.copySheetList.setSubItem(r, 2, sheetName);
    ws.copySheetList.scrollTo(r);
    ws.sourcePathTable.set(ws.copyRowCounter, sourcePath);
}

void LoadSourceSheets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    ws.sourceSheetList.clear();
    const std::string path = SelectedSourceBookPath(ws);
    if (path.empty())
        return;

    std::unique_ptr<SpreadsheetAutomation> server;
    WorkbookRef book;
    bool open = false;
    try {
        server = startServer(servers);
        book = server->open(path);
        open = true;
        server->setDisplayAlerts(false);
        const int n = server->worksheetCount(book);
        for (int i = 1; i <= n; ++i) {
            const int row = ws.sourceSheetList.append(server->worksheetName(book, i));
            ws.sourceSheetList.setChecked(row, true);
        }
        open = false;
        server->close(book);
        server->quit();
    } catch (const std::exception& e) {
        // Whatever went wrong, nothing stays open and the user hears why.
        if (server) {
            try {
                if (open)
                    server->close(book);
            } catch (const std::exception&) {
            }
            try {
                server->quit();
            } catch (const std::exception&) {
            }
        }
        host.showMessage(e.what(), MessageIcon::Critical);
        host.showMessage("Open excel file failed!", MessageIcon::Critical);
    }
}

void SourceBookClick(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers)
{
    BusyPointer busy(host);
    LoadSourceSheets(ws, host, servers);
}

void AddSelectedSheet(Workspace& ws, Host& host)
{
    const std::string path = SelectedSourceBookPath(ws);
    if (path.empty()) {
        host.showMessage("copy is failed!", MessageIcon::Critical);
        return;
    }
    if (ws.sourceSheetList.empty())
        return;
    AddCopyRow(ws, ws.sourceSheetList.selectedText(), path);
}

void AddAllSheets(Workspace& ws, Host& host)
{
    const int n = ws.sourceSheetList.count();
    for (int i = 1; i <= n; ++i) {
        const std::string path = SelectedSourceBookPath(ws);
        if (path.empty()) {
            host.showMessage("Copy is failed!", MessageIcon::Critical);
            return;
        }
        AddCopyRow(ws, ws.sourceSheetList.row(i).text, path);
    }
}

void RemoveSelectedCopyRow(Workspace& ws)
{
    if (ws.copySheetList.empty())
        return;
    const int n = ws.copySheetList.count();
    const int p = ws.copySheetList.selectedPosition();
    ws.copySheetList.remove(p);
    if (n == 1)
        emptyCopyList(ws);
    else
        ws.copySheetList.select(p > 1 ? p - 1 : 1);
}

void RemoveAllCopyRows(Workspace& ws) { emptyCopyList(ws); }

void CopyRowClick(Workspace& ws, Host& host, int position)
{
    if (position < 1 || position > ws.copySheetList.count())
        return;
    host.setStatusText(ws.sourcePathTable.at(CopyRowNumber(ws.copySheetList.row(position))));
}

} // namespace tessaro
