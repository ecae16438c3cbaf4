// SPDX-License-Identifier: MIT
// tessaro-cli: the copy of the window's Copy command for terminals and scripts.
#include "copy/copy_job.h"
#include "copy/undo_store.h"
#include "lists/folder_scan.h"
#include "lists/path_kind.h"
#include "lists/sheet_selection.h"
#include "lists/workspace.h"
#include "engine/router/workbook_automation.h"
#include "state/app_dir.h"
#include "state/build_info.h"
#include "job_report.h"
#include "terminal_host.h"

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <system_error>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsage = R"usage(Usage:
  tessaro-cli --version
  tessaro-cli sheets WORKBOOK
  tessaro-cli copy --sheet SOURCE:SHEET [--sheet SOURCE:SHEET ...] --dest DEST [--dest DEST ...]
                   [--dest-list FILE] [--before | --replace] [--count N] [--links WHAT]
                   [--report FILE] [--dry-run] [--quiet]
  tessaro-cli undo

Copies worksheets from source workbooks into destination workbooks, as the Copy button of
the Tessaro window does, and saves each destination.

Commands:
  sheets WORKBOOK   print the names of the workbook's worksheets, one a line
  copy              copy each --sheet, in the order given, N times into every destination
  undo              put back every destination of the last copy run as it was before it

Options of copy:
  --sheet SOURCE:SHEET  a worksheet of a source workbook; splits at the last colon
  --dest DEST           a destination workbook file, or a folder whose workbooks
                        (.xls .xlsx .xlsm .xlsb .ods, sub-folders not searched) all receive
                        the copies; one copy job runs per --dest, in the order given
  --dest-list FILE      more destinations, one a line (files or folders; empty lines are
                        skipped), after those of --dest; - reads standard input
  --before              insert the copies in front of the first sheets, keeping the order
                        of the --sheet options (default: after the last sheet)
  --replace             put each copy in the place of the destination's sheet of the same
                        name (letter case ignored), under that sheet's name, removing the
                        old sheet with its drawings, comments, tables and pivot tables;
                        formulas, names, charts and links of the other sheets then read the
                        new sheet. A destination without that name gets the copy after its
                        last sheet ("replaced": false in the report). One copy only.
  --count N             copies of each sheet (default 1; 0 copies nothing)
  --links WHAT          what the copy's references to other sheets of its source read:
                        external     the source workbook, as a link to that file (default)
                        destination  the destination's sheet of the same name, as a
                                     reference inside the destination (=Data!B2 stays
                                     =Data!B2); where it has no such sheet, the source
                                     workbook, and the report notes it
                        values       nothing: each cell formula reading another sheet or
                                     workbook becomes the value it showed, and a chart's
                                     series the data it showed; conditional formats,
                                     validations and names keep reading the source
                                     workbook, and the report notes it
                        .xls and .ods destinations take only external
  --report FILE         write one JSON object a line for every copy tried: destination,
                        source, sheet, copy_name, position (the copy's tab, from 1), result
                        ("copied", "failed", "would copy", "would fail"), replaced (true
                        when the copy took the place of a sheet of the same name), error_code
                        and error (0 and "" when none), notes (what the copy could not keep
                        as it was, each naming the place), seconds (the destination's time for
                        that sheet, shared by its copies); then a last line {"totals": ...}
                        with the counts and the exit status. Lines are written as each
                        destination is done with: the report of a killed run lacks only the
                        totals and the destination it was working on.
  --dry-run             open every workbook and make the copies in memory only: print what
                        each destination would get (names and positions) and report every
                        failure that can be foreseen (unreadable, read-only, locked, changed,
                        a missing sheet, a sheet too big for the format); nothing is written
  --quiet               print only errors
  -h, --help            print this help and exit

Copies take the source sheet's name, or "Name (2)", "Name (3)"... when it is taken.
.xls, .xlsb and .ods workbooks are read and written through LibreOffice (.xlsb is read
only), which starts once per run; TESSARO_SOFFICE names another soffice to use.
Every destination is tried: one that cannot be opened, read or written keeps its old
content and is reported, and the others still get their copies. Each job ends with
"Copy Complete!" when every copy was made, else with an "error: Copy SHEET to
WORKBOOK failure: ..." line for each failure and a summary such as
"Copied 118 of 120 sheets; 2 failed.".
Messages go to stderr, with a progress bar when stderr is a terminal. The temporary copy
of a source that shares its name with a destination is kept in the program's folder (the
executable's folder, or ~/.local/share/tessaro; TESSARO_APP_DIR overrides it).

Undo: before a copy run first replaces a destination, the file it replaces is kept in the
program's folder (under undo/: a hard link, or a copy when that folder is on another file
system and the free space allows; a destination that cannot be kept is named in a note and
still gets its copies). "tessaro-cli undo" puts back every destination of the last run
(--dry-run runs do not count) that has not changed since that run wrote it, names each one
that changed or is gone and leaves it alone, and then drops the kept files; so does
Edit > Undo Last Copy in the window. The next copy run drops them too. It exits 0 when every
destination listed was put back, or with "Nothing to undo." when there is none, else 1.

Exit status: 0 when every copy succeeded, 1 when any failed (the others are still done),
2 for a usage error. With --dry-run: 0 when every copy would be made, else 1.

Example:
  tessaro-cli copy --sheet reports/q3.xlsx:Summary --dest out/ --count 2
  tessaro-cli copy --sheet q3.xlsx:Summary --dest-list books.txt --dry-run --report plan.jsonl
  tessaro-cli copy --sheet q3.xlsx:Summary --dest q4.xlsx --links destination
  tessaro-cli copy --sheet rates/2026-12.xlsx:Rates --dest branches/ --replace
  tessaro-cli undo
)usage";

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsageError = 2;

int usageError(const std::string& message)
{
    std::fprintf(stderr, "tessaro-cli: %s\nTry 'tessaro-cli --help'.\n", message.c_str());
    return kUsageError;
}

std::string fullPath(const std::string& path)
{
    std::error_code ec;
    const auto absolute = std::filesystem::absolute(path, ec);
    return (ec ? std::filesystem::path(path) : absolute).lexically_normal().string();
}

std::filesystem::path appDir()
{
    if (const char* dir = std::getenv("TESSARO_APP_DIR"); dir && *dir)
        return dir;
    return tessaro::resolveAppDir();
}

// One server factory serves the whole run, so LibreOffice starts at most once.
tessaro::SpreadsheetAutomationFactory servers(const std::filesystem::path& appDir)
{
    tessaro::WorkbookAutomationOptions options;
    if (const char* soffice = std::getenv("TESSARO_SOFFICE"); soffice && *soffice)
        options.office.soffice = soffice;
    return tessaro::makeWorkbookAutomationFactory(appDir, std::move(options));
}

int listSheets(const std::string& workbook)
{
    using namespace tessaro;
    const std::string path = fullPath(workbook);
    switch (GetPathKind(path)) {
    case PathKind::File:
        break;
    case PathKind::Folder:
        std::fprintf(stderr, "error: %s: this is a folder, not a workbook file\n", path.c_str());
        return kFailed;
    case PathKind::Missing:
        std::fprintf(stderr, "error: %s: the workbook file does not exist\n", path.c_str());
        return kFailed;
    }
    Workspace ws;
    ws.appDir = appDir();
    cli::TerminalHost host(/*quiet=*/false);
    ws.sourceEntryList.append(path);
    ListSourceBooks(ws, path);
    LoadSourceSheets(ws, host, servers(ws.appDir));
    for (int i = 1; i <= ws.sourceSheetList.count(); ++i)
        std::printf("%s\n", ws.sourceSheetList.row(i).text.c_str());
    return host.criticalMessages() > 0 ? kFailed : kOk;
}

struct CopyArgs {
    std::vector<std::pair<std::string, std::string>> sheets; // source path, sheet name
    std::vector<std::string> dests;
    bool before = false;
    bool replace = false;
    std::int32_t count = 1;
    bool quiet = false;
    std::string report;
    bool dryRun = false;
    tessaro::SheetLinks links = tessaro::SheetLinks::External;
};

int copy(const CopyArgs& args)
{
    using namespace tessaro;
    Workspace ws;
    ws.appDir = appDir();
    ws.copyCount = args.count;
    ws.copyPosition = args.replace ? kCopyReplace : args.before ? kCopyBefore : kCopyAfter;
    for (const auto& [source, sheet] : args.sheets)
        AddCopyRow(ws, sheet, source);

    std::optional<cli::JobReport> report;
    try {
        report.emplace(args.report, args.dryRun ? stdout : nullptr);
    } catch (const std::system_error& e) {
        std::fprintf(stderr, "error: %s: the report file cannot be written (%s); nothing was copied\n",
                     args.report.c_str(), e.code().message().c_str());
        return kFailed;
    }
    CopyJobOptions options;
    options.dryRun = args.dryRun;
    options.links = args.links;
    if (args.dryRun || !args.report.empty())
        options.journal = &*report;

    cli::TerminalHost host(args.quiet);
    const auto factory = servers(ws.appDir);
    // The whole run is one job to undo, whatever number of --dest it has; it starts (and
    // drops the kept files of the run before) only when a first job does.
    std::optional<UndoRecorder> undo;
    bool failed = false;
    bool cancelled = false;
    for (const auto& dest : args.dests) {
        ws.targetEntryList.clear();
        ws.targetEntryList.append(dest);
        for (const std::string& passed : ListTargetBooks(ws, dest))
            std::fprintf(stderr, "warning: %s\n", passed.c_str());
        if (ws.targetBookList.empty()) {
            const std::string error = dest + ": there is no workbook to copy into here (not a workbook file, nor a "
                                             "folder holding .xls, .xlsx, .xlsm, .xlsb or .ods files)";
            host.showMessage(error, MessageIcon::Critical);
            for (const auto& [source, sheet] : args.sheets) {
                for (std::int32_t k = 0; k < args.count && options.journal; ++k) {
                    CopyRecord copy;
                    copy.destination = dest;
                    copy.source = source;
                    copy.sheet = sheet;
                    copy.result = args.dryRun ? CopyResult::WouldFail : CopyResult::Failed;
                    copy.errorCode = static_cast<int>(ErrorCode::FileNotFound);
                    copy.error = error;
                    options.journal->record(copy);
                }
            }
            failed = true;
            continue;
        }
        if (!args.dryRun && args.count > 0 && !undo)
            options.undo = &undo.emplace(ws.appDir);
        const CopyJobOutcome outcome = CopyJob(ws, host, factory, options);
        failed = failed || outcome.rowsFailed > 0;
        cancelled = cancelled || outcome.cancelled;
    }
    if (!report->intact()) {
        std::fprintf(stderr, "error: %s: the report could not be written to the end (%s)\n", report->path().c_str(),
                     report->failure().c_str());
        failed = true;
    }
    const int status = failed ? kFailed : kOk;
    report->finish(status, cancelled);
    return status;
}

int undoLastRun()
{
    using namespace tessaro;
    const UndoOutcome outcome = UndoLastJob(appDir());
    if (!outcome.refused.empty()) {
        std::fprintf(stderr, "error: %s\n", outcome.refused.c_str());
        return kFailed;
    }
    for (const std::string& line : UndoDetails(outcome))
        std::printf("%s\n", line.c_str());
    std::printf("%s\n", UndoSummary(outcome).c_str());
    return outcome.allRestored() ? kOk : kFailed;
}

// Destinations one a line; a line's end may be CRLF. False when the file cannot be read.
bool readDestinationList(const std::string& file, std::vector<std::string>& dests)
{
    std::FILE* in = file == "-" ? stdin : std::fopen(file.c_str(), "re");
    if (!in)
        return false;
    std::string line;
    bool ok = true;
    for (int c; ;) {
        c = std::fgetc(in);
        if (c == EOF || c == '\n') {
            while (!line.empty() && (line.back() == '\r'))
                line.pop_back();
            if (!line.empty())
                dests.push_back(fullPath(line));
            line.clear();
            if (c == EOF)
                break;
        } else {
            line.push_back(static_cast<char>(c));
        }
    }
    ok = !std::ferror(in);
    if (in != stdin)
        std::fclose(in);
    return ok;
}

int parseCopy(int argc, char** argv)
{
    CopyArgs args;
    for (int i = 2; i < argc; ++i) {
        std::string arg = argv[i];
        std::string value;
        bool hasValue = false;
        if (const auto eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasValue = true;
        }
        const auto takeValue = [&]() -> bool {
            if (hasValue)
                return true;
            if (i + 1 >= argc)
                return false;
            value = argv[++i];
            return true;
        };
        if (arg == "--sheet") {
            if (!takeValue())
                return usageError("--sheet needs SOURCE:SHEET");
            const auto colon = value.rfind(':');
            if (colon == std::string::npos || colon == 0 || colon + 1 == value.size())
                return usageError("--sheet " + value + ": expected SOURCE:SHEET");
            args.sheets.emplace_back(fullPath(value.substr(0, colon)), value.substr(colon + 1));
        } else if (arg == "--dest") {
            if (!takeValue() || value.empty())
                return usageError("--dest needs a workbook or a folder");
            args.dests.push_back(fullPath(value));
        } else if (arg == "--dest-list") {
            if (!takeValue() || value.empty())
                return usageError("--dest-list needs a file (or - for standard input)");
            if (!readDestinationList(value, args.dests))
                return usageError("--dest-list " + value + ": the file cannot be read (" + std::strerror(errno) + ")");
        } else if (arg == "--count") {
            if (!takeValue())
                return usageError("--count needs a number");
            const auto [end, error] = std::from_chars(value.data(), value.data() + value.size(), args.count);
            if (error != std::errc() || end != value.data() + value.size() || args.count < 0)
                return usageError("--count " + value + ": expected a whole number from 0");
        } else if (arg == "--before" && !hasValue) {
            args.before = true;
        } else if (arg == "--replace" && !hasValue) {
            args.replace = true;
        } else if (arg == "--quiet" && !hasValue) {
            args.quiet = true;
        } else if (arg == "--dry-run" && !hasValue) {
            args.dryRun = true;
        } else if (arg == "--links") {
            if (!takeValue())
                return usageError("--links needs external, destination or values");
            if (value == "external")
                args.links = tessaro::SheetLinks::External;
            else if (value == "destination")
                args.links = tessaro::SheetLinks::Destination;
            else if (value == "values")
                args.links = tessaro::SheetLinks::Values;
            else
                return usageError("--links " + value + ": expected external, destination or values");
        } else if (arg == "--report") {
            if (!takeValue() || value.empty())
                return usageError("--report needs a file");
            args.report = value;
        } else if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return kOk;
        } else {
            return usageError("unknown option " + std::string(argv[i]));
        }
    }
    if (args.sheets.empty())
        return usageError("copy needs at least one --sheet SOURCE:SHEET");
    if (args.replace && args.before)
        return usageError("--replace puts each copy in its old sheet's place; it cannot be used with --before");
    if (args.replace && args.count != 1)
        return usageError("--replace makes one copy of each sheet; --count must be 1");
    if (args.dests.empty())
        return usageError("copy needs at least one --dest (or a --dest-list that names one)");
    return copy(args);
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
        return usageError("a command is needed: sheets, copy or undo");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kOk;
    }
    if (command == "--version" || command == "-V") {
        std::printf("tessaro-cli %s\n", tessaro::kVersion);
        return kOk;
    }
    if (command == "sheets") {
        if (argc == 3 && std::strcmp(argv[2], "--help") != 0)
            return listSheets(argv[2]);
        if (argc == 3) {
            std::fputs(kUsage, stdout);
            return kOk;
        }
        return usageError("sheets takes exactly one WORKBOOK");
    }
    if (command == "copy")
        return parseCopy(argc, argv);
    if (command == "undo") {
        if (argc == 3 && (std::strcmp(argv[2], "--help") == 0 || std::strcmp(argv[2], "-h") == 0)) {
            std::fputs(kUsage, stdout);
            return kOk;
        }
        if (argc != 2)
            return usageError("undo takes no arguments");
        return undoLastRun();
    }
    return usageError("unknown command " + command);
}
