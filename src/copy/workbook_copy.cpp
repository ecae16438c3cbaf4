// SPDX-License-Identifier: MIT
#include "copy/workbook_copy.h"

#include "copy/file_names.h"
#include "lists/path_kind.h"
#include "lists/workspace.h"

#include <memory>
#include <optional>
#include <system_error>

namespace tessaro {

namespace {

// What stands at destination row r before it is resolved: the missing path a message
// names when the row no longer resolves to a file.
std::string unresolvedTargetPath(const Workspace& ws, int r)
{
    const std::string entry = ws.targetEntryList.selectedText();
    if (GetPathKind(entry) == PathKind::Folder && r >= 1 && r <= ws.targetBookList.count())
        return joinPath(entry, ws.targetBookList.row(r).text);
    return entry;
}

// One server instance and the workbooks a call has open in it, so that a failure anywhere
// closes exactly what is still open and quits.
class Session {
public:
    explicit Session(const SpreadsheetAutomationFactory& servers)
    {
        server_ = servers ? servers() : nullptr;
        if (!server_)
            throw AutomationError(ErrorCode::NoEngine, "No spreadsheet engine is available to copy workbooks.");
    }

    SpreadsheetAutomation& server() { return *server_; }

    WorkbookRef open(const std::string& path)
    {
        const WorkbookRef book = server_->open(path);
        open_.push_back(book);
        server_->setDisplayAlerts(false);
        return book;
    }

    void close(WorkbookRef book)
    {
        std::erase(open_, book);
        server_->close(book);
    }

    void quit()
    {
        server_->quit();
        quit_ = true;
    }

    // Recovery: close what is open without saving, and quit; a failure here changes nothing
    // of what the user is told.
    void abandon() noexcept
    {
        for (auto it = open_.rbegin(); it != open_.rend(); ++it) {
            try {
                server_->close(*it);
            } catch (...) {
            }
        }
        open_.clear();
        if (!quit_) {
            try {
                server_->quit();
            } catch (...) {
            }
            quit_ = true;
        }
    }

private:
    std::unique_ptr<SpreadsheetAutomation> server_;
    std::vector<WorkbookRef> open_;
    bool quit_ = false;
};

} // namespace

std::string resolveTargetBookPath(const Workspace& ws, int r)
{
    const std::string entry = ws.targetEntryList.selectedText();
    std::string name;
    if (!ws.targetBookList.empty() && r >= 1 && r <= ws.targetBookList.count())
        name = ws.targetBookList.row(r).text;
    switch (GetPathKind(entry)) {
    case PathKind::File:
        return entry;
    case PathKind::Folder: {
        std::string path = joinPath(entry, name);
        return GetPathKind(path) == PathKind::File ? path : std::string();
    }
    case PathKind::Missing:
        break;
    }
    return {};
}

std::string TargetBookPath(Workspace& ws, int r)
{
    if (!ws.targetBookList.empty() && r >= 1 && r <= ws.targetBookList.count())
        ws.lastTargetName = ws.targetBookList.row(r).text;
    return resolveTargetBookPath(ws, r);
}

std::string TempCopyName(const Workspace& ws, const std::string& sourcePath)
{
    const std::string file = FileNameOf(sourcePath);
    const std::string base = StripExtension(file);
    const std::string ext = ExtensionOf(file);
    for (int a = 1; a <= ws.targetBookList.count(); ++a) {
        const ListRow& row = ws.targetBookList.row(a);
        if (!row.checked)
            continue;
        if (StripExtension(row.text) == base && resolveTargetBookPath(ws, a) != sourcePath)
            return "(" + base + ")_myorvandels." + ext;
    }
    return {};
}

bool CopySheetToTargets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                        std::int32_t sourceIndex, const std::string& sheetName)
{
    bool result = true;
    ws.lastTargetName.clear();
    std::string firstFailedTarget;
    std::string tempName;
    std::optional<std::filesystem::path> tempPath;

    const std::string sourcePath = ws.sourcePathTable.at(sourceIndex);
    if (GetPathKind(sourcePath) != PathKind::File) {
        host.showMessage(sourcePath.empty()
                             ? "The source workbook of the sheet \"" + sheetName + "\" is not known any more."
                             : sourcePath + ": the source workbook does not exist any more (it was moved or deleted).",
                         MessageIcon::Critical);
        return false;
    }
    const int n = ws.targetBookList.count();
    if (n == 0 || ws.copyCount <= 0)
        return true;

    std::optional<Session> session;
    try {
        session.emplace(servers);
        SpreadsheetAutomation& server = session->server();
        WorkbookRef source = session->open(sourcePath);

        tempName = TempCopyName(ws, sourcePath);
        if (!tempName.empty()) {
            tempPath = ws.appDir / tempName;
            server.saveAs(source, *tempPath);
            session->close(source);
            source = session->open(tempPath->string());
        }
        const SheetRef sheet = server.worksheet(source, sheetName);

        for (int r = 1; r <= n; ++r) {
            if (!ws.targetBookList.row(r).checked)
                continue;
            const std::string destPath = TargetBookPath(ws, r);
            if (destPath.empty()) {
                // A destination that vanished since it was listed is a failure, not a success.
                const std::string missing = unresolvedTargetPath(ws, r);
                host.showMessage(GetPathKind(missing) == PathKind::Folder
                                     ? missing + ": this destination is a folder now, not a workbook file, so nothing "
                                                 "was copied into it."
                                     : missing + ": this destination workbook does not exist any more (it was moved or "
                                                 "deleted), so nothing was copied into it.",
                                 MessageIcon::Critical);
                if (firstFailedTarget.empty())
                    firstFailedTarget = ws.lastTargetName;
                result = false;
                continue;
            }

            // The open source is the target only when it is the destination's own file; when
            // the source is worked on through its temporary copy, the real file is opened.
            const bool ownFile = destPath == sourcePath && !tempPath;
            const WorkbookRef target = ownFile ? source : session->open(destPath);

            int endPosition = server.sheetCount(target);
            int frontPosition = 1;
            for (std::int32_t k = 0; k < ws.copyCount; ++k) {
                if (ws.copyPosition == kCopyAfter) {
                    server.copySheet(sheet, Placement::After, server.sheet(target, endPosition));
                    ++endPosition;
                } else {
                    server.copySheet(sheet, Placement::Before, server.sheet(target, frontPosition));
                    ++frontPosition;
                }
                ++ws.copyProgressCount;
                host.setProgressValue(ws.copyProgressCount);
            }
            server.save(target);
            if (!ownFile)
                session->close(target);
        }
        session->close(source);
        session->quit();
    } catch (const std::exception& e) {
        // Every error ends the row: nothing is left open, the user is told in the engine's
        // own words, and the job reports the row as failed.
        result = false;
        if (session)
            session->abandon();
        host.showMessage(e.what(), MessageIcon::Critical);
        firstFailedTarget.clear();
    }

    if (tempPath) {
        std::error_code ec;
        std::filesystem::remove(*tempPath, ec);
    }
    if (!result && !firstFailedTarget.empty())
        ws.lastTargetName = firstFailedTarget;
    return result;
}

} // namespace tessaro
