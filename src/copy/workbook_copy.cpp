// SPDX-License-Identifier: MIT
#include "copy/workbook_copy.h"

#include "copy/file_names.h"
#include "copy/undo_store.h"
#include "lists/path_kind.h"
#include "lists/workspace.h"
#include "platform/destination_lock.h"
#include "platform/file_identity.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <system_error>

namespace tessaro {

namespace {

// How long a destination another Tessaro job is writing is waited for: long enough for that
// job to save a workbook or two, short enough that a job never seems to hang.
constexpr std::chrono::milliseconds kBusyDestinationWait{5000};

// Why destination row r, listed earlier, no longer resolves to a workbook file.
std::string unresolvedTargetReason(const Workspace& ws, int r)
{
    std::string missing = ws.targetEntryList.selectedText();
    if (GetPathKind(missing) == PathKind::Folder && r >= 1 && r <= ws.targetBookList.count())
        missing = joinPath(missing, ws.targetBookList.row(r).text);
    if (GetPathKind(missing) == PathKind::Folder)
        return missing + ": this destination is a folder now, not a workbook file, so nothing was copied into it.";
    return missing + ": this destination workbook does not exist any more (it was moved or deleted), so nothing was "
                     "copied into it.";
}

// One server instance and the workbooks a call has open in it, so that a failure anywhere
// closes exactly what is still open and quits.
class Session {
public:
    Session(const SpreadsheetAutomationFactory& servers, SheetLinks links)
    {
        server_ = servers ? servers() : nullptr;
        if (!server_)
            throw AutomationError(ErrorCode::NoEngine, "No spreadsheet engine is available to copy workbooks.");
        if (links != SheetLinks::External)
            server_->setSheetLinks(links);
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

    // Closes a workbook without saving, whatever state an error left it in.
    void discard(WorkbookRef book) noexcept
    {
        if (std::erase(open_, book) == 0)
            return;
        try {
            server_->close(book);
        } catch (...) {
        }
    }

    // Closes what is open without saving, and quits; a failure here changes nothing of what
    // the user is told.
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

const char* copyResultName(CopyResult result)
{
    switch (result) {
    case CopyResult::Copied:
        return "copied";
    case CopyResult::Failed:
        return "failed";
    case CopyResult::WouldCopy:
        return "would copy";
    case CopyResult::WouldFail:
        return "would fail";
    }
    return "failed";
}

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
        if (StripExtension(row.text) == base && resolveTargetBookPath(ws, a) != sourcePath) {
            // A name that long still fits: the base is cut (at a character) to leave room.
            constexpr std::size_t kNameMax = 255;
            const std::size_t marks = std::string("()_myorvandels.").size() + ext.size();
            std::size_t keep = std::min(base.size(), kNameMax > marks ? kNameMax - marks : 0);
            while (keep > 0 && keep < base.size() && (static_cast<unsigned char>(base[keep]) & 0xC0) == 0x80)
                --keep;
            return "(" + base.substr(0, keep) + ")_myorvandels." + ext;
        }
    }
    return {};
}

namespace {

// The open source of one copy row: the workbook (its temporary copy when one is needed)
// and the sheet to copy.
struct RowSource {
    std::string path; // as the copy row stores it
    std::optional<std::filesystem::path> tempPath;
    WorkbookRef book;
    SheetRef sheet;
};

void openSource(Session& session, const Workspace& ws, JobFolder& jobFolder, RowSource& source,
                const std::string& sheetName)
{
    SpreadsheetAutomation& server = session.server();
    source.book = session.open(source.path);
    if (const std::string tempName = TempCopyName(ws, source.path); !tempName.empty()) {
        // Written before it is bound, so a failed save leaves a file for the cleanup to find.
        source.tempPath = jobFolder.path() / tempName;
        server.saveAs(source.book, *source.tempPath);
        session.close(source.book);
        source.book = session.open(source.tempPath->string());
    }
    source.sheet = server.worksheet(source.book, sheetName);
}

int errorNumberOf(const std::exception& e)
{
    const auto* automation = dynamic_cast<const AutomationError*>(&e);
    return automation ? automation->number() : 0;
}

// Where a copy went, for the job's journal.
struct MadeCopy {
    std::string name;
    int position = 0;
    bool replaced = false;
    std::vector<std::string> notes;
};

// The copies of one sheet into one destination. What the engine has to tell of each copy
// goes with it, so that a reference that fell back or a value that was not kept is never
// passed over in silence.
void makeCopies(SpreadsheetAutomation& server, Workspace& ws, Host& host, SheetRef sheet, WorkbookRef target,
                std::vector<MadeCopy>& made)
{
    int endPosition = server.sheetCount(target);
    int frontPosition = 1;
    for (std::int32_t k = 0; k < ws.copyCount; ++k) {
        MadeCopy copy;
        if (ws.copyPosition == kCopyReplace) {
            const Replacement r = server.replaceSheet(sheet, target);
            copy.position = r.position;
            copy.replaced = r.replaced;
        } else if (ws.copyPosition == kCopyAfter) {
            server.copySheet(sheet, Placement::After, server.sheet(target, endPosition));
            copy.position = ++endPosition;
        } else {
            server.copySheet(sheet, Placement::Before, server.sheet(target, frontPosition));
            copy.position = frontPosition++;
        }
        copy.name = server.sheetName(server.sheet(target, copy.position));
        copy.notes = server.takeCopyNotes();
        if (ws.copyPosition == kCopyReplace && !copy.replaced)
            copy.notes.push_back("it had no sheet named \"" + copy.name +
                                 "\" to replace, so the copy was added after its last sheet");
        made.push_back(std::move(copy));
        ++ws.copyProgressCount;
        host.setProgressValue(ws.copyProgressCount);
    }
}

// What one destination came to, for the report and the journal.
struct TargetResult {
    std::optional<std::string> error;
    int errorCode = 0;
    std::string notice;
    // Why the job cannot be undone for this destination, when it cannot.
    std::optional<std::string> undoNotice;
    std::vector<MadeCopy> made;
};

// One destination: opened, given its copies, saved and closed. On an error a workbook
// opened here is closed unsaved (saves replace the file whole, so it keeps its old content)
// and the error's text is returned; the progress still moves past this destination's share.
TargetResult copyToTarget(Session& session, Workspace& ws, Host& host, const RowSource& source,
                          const std::string& destPath, UndoRecorder* undo)
{
    TargetResult result;
    // The open source is the target only when it is the destination's own file; when the
    // source is worked on through its temporary copy, the real file is opened.
    const bool ownFile = destPath == source.path && !source.tempPath;
    const std::int64_t progressBefore = ws.copyProgressCount;
    std::optional<WorkbookRef> opened;
    try {
        // Held from before the destination is read until its copies are saved, so that
        // another Tessaro job copying into it reads it only after this save.
        const DestinationLock lock(destPath, kBusyDestinationWait);
        // The user's names for it: the one the job keeps the old file under is not theirs.
        const std::uint64_t names = linkCountOf(destPath) - (undo ? undo->namesHeld(destPath) : 0);
        // Kept before it is read, and checked to be what was read, so that undo puts back
        // exactly the file this save replaces.
        if (undo)
            result.undoNotice = undo->keep(destPath);
        if (!ownFile)
            opened = session.open(destPath);
        if (undo && !result.undoNotice)
            result.undoNotice = undo->confirmOpened(destPath);
        const WorkbookRef target = opened ? *opened : source.book;
        makeCopies(session.server(), ws, host, source.sheet, target, result.made);
        try {
            session.server().save(target);
        } catch (const AutomationError& e) {
            // Replaced, though not confirmed by the disk: the job did write it.
            if (undo && e.number() == static_cast<int>(ErrorCode::SavedButNotFlushed) && !result.undoNotice)
                result.undoNotice = undo->wrote(destPath);
            throw;
        }
        if (undo && !result.undoNotice)
            result.undoNotice = undo->wrote(destPath);
        // A save writes a new file in the old one's place: the file's other names, if it has
        // any, go on naming the old content.
        if (names > 1)
            result.notice = destPath + ": this file had " + std::to_string(names) +
                     " names (hard links); the copies were saved under this name only, and the other names keep "
                     "the old content.";
        if (opened)
            session.close(*opened);
        return result;
    } catch (const std::exception& e) {
        if (opened)
            session.discard(*opened);
        ws.copyProgressCount = progressBefore + ws.copyCount;
        host.setProgressValue(ws.copyProgressCount);
        result.error = e.what();
        result.errorCode = errorNumberOf(e);
        result.made.clear();
        if (result.errorCode != static_cast<int>(ErrorCode::SavedButNotFlushed))
            result.undoNotice.reset(); // nothing was written, so there is nothing to undo
        return result;
    }
}

// Every copy of the sheet meant for one destination, told to the journal.
void journalTarget(const CopyJobOptions& options, const Workspace& ws, const std::string& source,
                   const std::string& sheetName, const std::string& destPath, const TargetResult& result,
                   double seconds)
{
    if (!options.journal)
        return;
    for (std::int32_t k = 0; k < ws.copyCount; ++k) {
        CopyRecord copy;
        copy.destination = destPath;
        copy.source = source;
        copy.sheet = sheetName;
        copy.seconds = seconds;
        if (result.error) {
            copy.result = options.dryRun ? CopyResult::WouldFail : CopyResult::Failed;
            copy.errorCode = result.errorCode;
            copy.error = *result.error;
        } else {
            copy.result = options.dryRun ? CopyResult::WouldCopy : CopyResult::Copied;
            if (static_cast<std::size_t>(k) < result.made.size()) {
                copy.copyName = result.made[static_cast<std::size_t>(k)].name;
                copy.position = result.made[static_cast<std::size_t>(k)].position;
                copy.replaced = result.made[static_cast<std::size_t>(k)].replaced;
                copy.notes = result.made[static_cast<std::size_t>(k)].notes;
            }
        }
        options.journal->record(copy);
    }
}

// One destination's share of a row's outcome.
void countTarget(Workspace& ws, RowOutcome& outcome, const TargetResult& result, const std::string& destPath)
{
    if (result.undoNotice)
        outcome.notices.push_back({ws.lastTargetName, *result.undoNotice});
    if (result.error) {
        outcome.copiesFailed += ws.copyCount;
        outcome.failures.push_back({ws.lastTargetName, *result.error});
        return;
    }
    outcome.copiesMade += ws.copyCount;
    if (!result.notice.empty())
        outcome.notices.push_back({ws.lastTargetName, result.notice});
    for (const MadeCopy& copy : result.made)
        for (const std::string& note : copy.notes)
            outcome.notices.push_back({ws.lastTargetName, destPath + ": " + note});
}

// The path a checked destination row stands for, also when it no longer resolves.
std::string targetPathForReport(const Workspace& ws, int r)
{
    if (std::string path = resolveTargetBookPath(ws, r); !path.empty())
        return path;
    const std::string entry = ws.targetEntryList.selectedText();
    if (GetPathKind(entry) == PathKind::Folder && r >= 1 && r <= ws.targetBookList.count())
        return joinPath(entry, ws.targetBookList.row(r).text);
    return entry;
}

std::int64_t checkedTargetsFrom(const Workspace& ws, int from)
{
    std::int64_t count = 0;
    for (int r = from; r <= ws.targetBookList.count(); ++r)
        count += ws.targetBookList.row(r).checked ? 1 : 0;
    return count;
}

// The row cannot be done at all: every copy it was meant to make failed, for one reason.
void failWholeRow(Workspace& ws, Host& host, RowOutcome& outcome, const std::string& error, int errorCode,
                  const CopyJobOptions& options, const std::string& source, const std::string& sheetName)
{
    const std::int64_t copies = checkedTargetsFrom(ws, 1) * ws.copyCount;
    outcome.copiesFailed += copies;
    outcome.failures.push_back({std::string(), error});
    TargetResult failed;
    failed.error = error;
    failed.errorCode = errorCode;
    for (int r = 1; r <= ws.targetBookList.count(); ++r)
        if (ws.targetBookList.row(r).checked)
            journalTarget(options, ws, source, sheetName, targetPathForReport(ws, r), failed, 0);
    ws.copyProgressCount += copies;
    host.setProgressValue(ws.copyProgressCount);
}

// Every checked destination in order, each on its own: a failure is recorded and the next
// one is taken up. The user's cancel is honoured between destinations.
void copyToEveryTarget(Session& session, Workspace& ws, Host& host, const RowSource& source, const std::string& sheetName,
                       const CopyJobOptions& options, RowOutcome& outcome)
{
    const int n = ws.targetBookList.count();
    for (int r = 1; r <= n; ++r) {
        if (!ws.targetBookList.row(r).checked)
            continue;
        if (host.cancelRequested()) {
            outcome.copiesCancelled += checkedTargetsFrom(ws, r) * ws.copyCount;
            return;
        }
        const auto started = std::chrono::steady_clock::now();
        const std::string destPath = TargetBookPath(ws, r);
        TargetResult result;
        if (destPath.empty()) {
            // A destination that vanished since it was listed is a failure, not a success.
            result.error = unresolvedTargetReason(ws, r);
            result.errorCode = static_cast<int>(ErrorCode::WorkbookGone);
            ws.copyProgressCount += ws.copyCount;
            host.setProgressValue(ws.copyProgressCount);
        } else {
            result = copyToTarget(session, ws, host, source, destPath, options.dryRun ? nullptr : options.undo);
        }
        countTarget(ws, outcome, result, destPath);
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        journalTarget(options, ws, source.path, sheetName, destPath.empty() ? targetPathForReport(ws, r) : destPath,
                      result, took.count());
    }
}

} // namespace

RowOutcome CopySheetToTargets(Workspace& ws, Host& host, const SpreadsheetAutomationFactory& servers,
                              JobFolder& jobFolder, std::int32_t sourceIndex, const std::string& sheetName,
                              const CopyJobOptions& options)
{
    RowOutcome outcome;
    ws.lastTargetName.clear();
    if (ws.targetBookList.empty() || ws.copyCount <= 0)
        return outcome;

    RowSource source;
    source.path = ws.sourcePathTable.at(sourceIndex);
    if (GetPathKind(source.path) != PathKind::File) {
        failWholeRow(ws, host, outcome,
                     source.path.empty()
                         ? "The source workbook of the sheet \"" + sheetName + "\" is not known any more."
                         : source.path + ": the source workbook does not exist.",
                     static_cast<int>(ErrorCode::FileNotFound), options, source.path, sheetName);
        return outcome;
    }

    std::optional<Session> session;
    try {
        session.emplace(servers, options.links);
        openSource(*session, ws, jobFolder, source, sheetName);
    } catch (const std::exception& e) {
        if (session)
            session->abandon();
        failWholeRow(ws, host, outcome, e.what(), errorNumberOf(e), options, source.path, sheetName);
        session.reset();
    }
    if (session) {
        copyToEveryTarget(*session, ws, host, source, sheetName, options, outcome);
        // Every destination is saved or failed by now; an error closing the source or
        // ending the server changes none of them, so it is not a failure of the row.
        session->abandon();
    }

    if (source.tempPath) {
        std::error_code ec;
        std::filesystem::remove(*source.tempPath, ec);
    }
    for (const RowFailure& failure : outcome.failures) {
        if (!failure.target.empty()) {
            ws.lastTargetName = failure.target;
            break;
        }
    }
    return outcome;
}

} // namespace tessaro

namespace tessaro {

namespace {

// A copy row of a trial run, with its source opened once for every destination.
struct TrialRow {
    std::string sheetName;
    RowSource source;
    bool usable = false;
    RowOutcome outcome;
};

// Every usable row's copies in one destination, in the order a real run makes them, so that
// names and positions come out as its would; then what would keep the file from being saved.
// The destination is closed unsaved.
std::vector<TargetResult> tryTarget(Session& session, Workspace& ws, Host& host, std::vector<TrialRow>& rows,
                                    const std::string& destPath, std::vector<double>& seconds)
{
    std::vector<TargetResult> results(rows.size());
    seconds.assign(rows.size(), 0.0);
    std::optional<WorkbookRef> target;
    std::optional<std::string> whole;
    int wholeCode = 0;
    try {
        target = session.open(destPath);
    } catch (const std::exception& e) {
        whole = e.what();
        wholeCode = errorNumberOf(e);
    }
    for (std::size_t i = 0; i < rows.size() && target; ++i) {
        if (!rows[i].usable)
            continue;
        const auto started = std::chrono::steady_clock::now();
        const std::int64_t progressBefore = ws.copyProgressCount;
        try {
            makeCopies(session.server(), ws, host, rows[i].source.sheet, *target, results[i].made);
        } catch (const std::exception& e) {
            results[i].error = e.what();
            results[i].errorCode = errorNumberOf(e);
            results[i].made.clear();
            ws.copyProgressCount = progressBefore + ws.copyCount;
            host.setProgressValue(ws.copyProgressCount);
        }
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - started;
        seconds[i] = took.count();
    }
    if (target) {
        try {
            session.server().checkSavable(*target);
        } catch (const std::exception& e) {
            whole = e.what();
            wholeCode = errorNumberOf(e);
        }
        session.discard(*target);
    }
    if (whole) {
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!rows[i].usable || results[i].error)
                continue;
            if (!target) {
                ws.copyProgressCount += ws.copyCount;
                host.setProgressValue(ws.copyProgressCount);
            }
            results[i].error = *whole;
            results[i].errorCode = wholeCode;
            results[i].made.clear();
        }
    }
    return results;
}

} // namespace

std::vector<std::pair<std::string, RowOutcome>> TryCopyRows(Workspace& ws, Host& host,
                                                             const SpreadsheetAutomationFactory& servers,
                                                             const std::vector<int>& copyRows, const CopyJobOptions& options)
{
    std::vector<TrialRow> rows;
    for (int listRow : copyRows) {
        const ListRow& row = ws.copySheetList.row(listRow);
        TrialRow trial;
        trial.sheetName = row.subItem(2);
        trial.source.path = ws.sourcePathTable.at(CopyRowNumber(row));
        rows.push_back(std::move(trial));
    }
    std::optional<Session> session;
    std::optional<std::string> noSession;
    try {
        session.emplace(servers, options.links);
    } catch (const std::exception& e) {
        noSession = e.what();
    }
    for (TrialRow& row : rows) {
        std::string error;
        int code = 0;
        if (noSession) {
            error = *noSession;
            code = static_cast<int>(ErrorCode::NoEngine);
        } else if (GetPathKind(row.source.path) != PathKind::File) {
            error = row.source.path.empty()
                        ? "The source workbook of the sheet \"" + row.sheetName + "\" is not known any more."
                        : row.source.path + ": the source workbook does not exist.";
            code = static_cast<int>(ErrorCode::FileNotFound);
        } else {
            try {
                row.source.book = session->open(row.source.path);
                row.source.sheet = session->server().worksheet(row.source.book, row.sheetName);
                row.usable = true;
                continue;
            } catch (const std::exception& e) {
                error = e.what();
                code = errorNumberOf(e);
            }
        }
        failWholeRow(ws, host, row.outcome, error, code, options, row.source.path, row.sheetName);
    }

    const int n = ws.targetBookList.count();
    for (int r = 1; r <= n && session; ++r) {
        if (!ws.targetBookList.row(r).checked)
            continue;
        if (host.cancelRequested()) {
            for (TrialRow& row : rows)
                if (row.usable)
                    row.outcome.copiesCancelled += checkedTargetsFrom(ws, r) * ws.copyCount;
            break;
        }
        const std::string destPath = TargetBookPath(ws, r);
        std::vector<TargetResult> results(rows.size());
        std::vector<double> seconds(rows.size(), 0.0);
        if (destPath.empty()) {
            for (std::size_t i = 0; i < rows.size(); ++i) {
                if (!rows[i].usable)
                    continue;
                results[i].error = unresolvedTargetReason(ws, r);
                results[i].errorCode = static_cast<int>(ErrorCode::WorkbookGone);
                ws.copyProgressCount += ws.copyCount;
                host.setProgressValue(ws.copyProgressCount);
            }
        } else {
            results = tryTarget(*session, ws, host, rows, destPath, seconds);
        }
        for (std::size_t i = 0; i < rows.size(); ++i) {
            if (!rows[i].usable)
                continue;
            countTarget(ws, rows[i].outcome, results[i], destPath);
            journalTarget(options, ws, rows[i].source.path, rows[i].sheetName,
                          destPath.empty() ? targetPathForReport(ws, r) : destPath, results[i], seconds[i]);
        }
    }
    if (session)
        session->abandon();

    std::vector<std::pair<std::string, RowOutcome>> outcomes;
    for (TrialRow& row : rows)
        outcomes.emplace_back(row.sheetName, std::move(row.outcome));
    return outcomes;
}

} // namespace tessaro
