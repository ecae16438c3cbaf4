// SPDX-License-Identifier: MIT
#include "copy/undo_store.h"

#include "platform/atomic_file.h"
#include "platform/destination_lock.h"
#include "platform/errors.h"
#include "platform/own_temporaries.h"
#include "platform/spreadsheet_automation.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace tessaro {

namespace fs = std::filesystem;

namespace {

constexpr const char* kManifest = "manifest";
constexpr std::string_view kJobPrefix = "job-";
constexpr const char* kHeader = "tessaro-undo\t1";
// A copy is kept only while this much stays free besides it: the job's own saves need room.
constexpr std::uintmax_t kFreeSpaceReserve = 64ull << 20;
// The same patience a job has with another job's destination.
constexpr std::chrono::milliseconds kBusyDestinationWait{5000};

fs::path undoRoot(const fs::path& appDir)
{
    return appDir / "undo";
}

std::string errnoText(int error)
{
    return std::strerror(error);
}

// Tabs and line ends inside a path would break a line into fields; a backslash marks them.
std::string escapeField(const std::string& text)
{
    std::string out;
    out.reserve(text.size());
    for (char c : text) {
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            out += c;
        }
    }
    return out;
}

std::optional<std::vector<std::string>> splitLine(const std::string& line)
{
    std::vector<std::string> fields(1);
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '\t') {
            fields.emplace_back();
        } else if (c == '\\') {
            if (++i == line.size())
                return std::nullopt;
            switch (line[i]) {
            case '\\':
                fields.back() += '\\';
                break;
            case 't':
                fields.back() += '\t';
                break;
            case 'n':
                fields.back() += '\n';
                break;
            case 'r':
                fields.back() += '\r';
                break;
            default:
                return std::nullopt;
            }
        } else {
            fields.back() += c;
        }
    }
    return fields;
}

bool isJobFolder(const fs::directory_entry& entry)
{
    std::error_code ec;
    return entry.path().filename().string().starts_with(kJobPrefix) && entry.is_directory(ec);
}

std::vector<fs::path> jobFolders(const fs::path& root)
{
    std::vector<fs::path> folders;
    std::error_code ec;
    for (fs::directory_iterator it(root, ec), end; !ec && it != end; it.increment(ec))
        if (isJobFolder(*it))
            folders.push_back(it->path());
    // Named by their start time, zero-padded: the last one sorts last.
    std::sort(folders.begin(), folders.end());
    return folders;
}

// The job folder's manifest, locked for this process; -1 when its job still runs (or
// another process is undoing it). A folder with no manifest is a job that never got going.
int lockJob(const fs::path& folder, bool& noManifest)
{
    noManifest = false;
    const int fd = ::open((folder / kManifest).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        noManifest = errno == ENOENT;
        return -1;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Drops the folders of every job that has ended, except `keep`.
void dropEndedJobs(const fs::path& root, const fs::path& keep)
{
    for (const fs::path& folder : jobFolders(root)) {
        if (folder == keep)
            continue;
        bool noManifest = false;
        const int fd = lockJob(folder, noManifest);
        if (fd < 0 && !noManifest)
            continue;
        std::error_code ec;
        fs::remove_all(folder, ec);
        if (fd >= 0)
            ::close(fd);
    }
}

std::string randomToken()
{
    std::random_device entropy;
    char text[12];
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(entropy()));
    return text;
}

// Copies `from` (open) into a new file `to`; false with errno set when it cannot.
bool copyContent(int from, int to)
{
    std::vector<char> buffer(1 << 20);
    for (;;) {
        const ssize_t got = ::read(from, buffer.data(), buffer.size());
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        if (got == 0)
            return true;
        for (ssize_t done = 0; done < got;) {
            const ssize_t put = ::write(to, buffer.data() + done, static_cast<std::size_t>(got - done));
            if (put < 0) {
                if (errno == EINTR)
                    continue;
                return false;
            }
            done += put;
        }
    }
}

void flushFolderQuietly(const fs::path& folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::fsync(fd);
        ::close(fd);
    }
}

} // namespace

UndoRecorder::UndoRecorder(const fs::path& appDir)
{
    const fs::path root = undoRoot(appDir);
    std::error_code ec;
    fs::create_directories(root, ec);
    if (ec) {
        setupError_ = "the folder " + root.string() + " for the kept files cannot be made (" + ec.message() + ")";
        return;
    }
    removeLeftoverTemporaries(root);
    dropEndedJobs(root, {});

    // Made and locked under a temporary name, so that no other process ever sees a job
    // folder whose job is running but not yet locked.
    std::string pattern = (root / (".tessaro-job-" + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (!::mkdtemp(pattern.data())) {
        setupError_ = "no folder for the kept files can be made in " + root.string() + " (" + errnoText(errno) + ")";
        return;
    }
    const fs::path staging = pattern;
    manifest_ = ::open((staging / kManifest).c_str(), O_CREAT | O_EXCL | O_WRONLY | O_APPEND | O_CLOEXEC, 0600);
    if (manifest_ < 0 || ::flock(manifest_, LOCK_EX) != 0 || !append({"tessaro-undo", "1"})) {
        setupError_ = "the list of kept files cannot be written in " + staging.string() + " (" + errnoText(errno) + ")";
        if (manifest_ >= 0)
            ::close(manifest_);
        manifest_ = -1;
        fs::remove_all(staging, ec);
        return;
    }
    const auto now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    char name[64];
    std::snprintf(name, sizeof name, "job-%020lld-%d", static_cast<long long>(now), static_cast<int>(::getpid()));
    folder_ = root / name;
    if (::rename(staging.c_str(), folder_.c_str()) != 0) {
        setupError_ = "the folder for the kept files cannot be named " + folder_.string() + " (" + errnoText(errno) + ")";
        ::close(manifest_);
        manifest_ = -1;
        fs::remove_all(staging, ec);
        folder_.clear();
    }
}

UndoRecorder::~UndoRecorder()
{
    // Kept files no destination needs (kept, then never opened) go now; the folder stays
    // for undo, and its lock goes with the descriptor.
    for (const auto& [destination, kept] : kept_) {
        std::error_code ec;
        if (!kept.usable || !kept.confirmed)
            fs::remove(kept.file, ec);
    }
    if (manifest_ >= 0)
        ::close(manifest_);
}

bool UndoRecorder::append(const std::vector<std::string>& fields)
{
    std::string line;
    for (std::size_t i = 0; i < fields.size(); ++i)
        line += (i == 0 ? "" : "\t") + escapeField(fields[i]);
    line += '\n';
    // One write per line: a job killed mid-way leaves whole lines and at most one cut last
    // line, which has no line end and is not read.
    const ssize_t put = ::write(manifest_, line.data(), line.size());
    if (put == static_cast<ssize_t>(line.size()))
        return true;
    if (put >= 0)
        errno = ENOSPC;
    return false;
}

std::optional<std::string> UndoRecorder::unusable(const std::string& destination, const std::string& why)
{
    Kept& kept = kept_[destination];
    kept.usable = false;
    if (!kept.file.empty()) {
        std::error_code ec;
        fs::remove(kept.file, ec);
    }
    return destination + ": this destination cannot be undone: " + why + ".";
}

std::optional<std::string> UndoRecorder::keep(const std::string& destination)
{
    if (const auto it = kept_.find(destination); it != kept_.end()) {
        // Saved by this job before: going back to the kept file would also take back what
        // another program saved in it since.
        const Kept& k = it->second;
        if (k.usable && k.written) {
            const std::optional<FileIdentity> now = identityOfFile(destination);
            if (now && !(*now == *k.written)) {
                append({"drop", destination});
                return unusable(destination,
                                "another program saved it between two of this job's saves, and going back would lose "
                                "that program's change");
            }
        }
        return std::nullopt;
    }
    if (!setupError_.empty())
        return unusable(destination, setupError_);
    const std::optional<FileIdentity> before = identityOfFile(destination);
    if (!before)
        return std::nullopt; // nothing there to replace; the open says why
    Kept kept;
    kept.file = folder_ / (std::to_string(++next_) + ".kept");
    if (::linkat(AT_FDCWD, destination.c_str(), AT_FDCWD, kept.file.c_str(), AT_SYMLINK_FOLLOW) == 0) {
        const std::optional<FileIdentity> own = identityOfFile(kept.file);
        if (!own)
            return unusable(destination, "its kept link cannot be looked at");
        kept.linked = true;
        kept.identity = *own;
        kept.before = *own; // the very file: the open is checked against it
        kept_[destination] = kept;
        return std::nullopt;
    }

    // Another file system, or one that has no hard links: a copy, while there is room.
    struct statvfs space {};
    if (::statvfs(folder_.c_str(), &space) == 0) {
        const std::uintmax_t free = static_cast<std::uintmax_t>(space.f_bavail) * space.f_frsize;
        if (free < before->size + kFreeSpaceReserve)
            return unusable(destination, "there is not enough free space in " + folder_.string() +
                                             " to keep a copy of it (" + std::to_string(before->size) +
                                             " bytes needed)");
    }
    const int from = ::open(destination.c_str(), O_RDONLY | O_CLOEXEC);
    if (from < 0)
        return unusable(destination, "it cannot be read to keep a copy (" + errnoText(errno) + ")");
    const int to = ::open(kept.file.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_CLOEXEC, 0600);
    const std::optional<FileIdentity> read = identityOfDescriptor(from);
    const bool copied = to >= 0 && copyContent(from, to);
    const int error = errno;
    const std::optional<FileIdentity> after = identityOfDescriptor(from);
    ::close(from);
    if (to >= 0 && ::close(to) != 0 && copied) {
        kept_[destination] = kept;
        return unusable(destination, "its copy could not be written in " + folder_.string() + " (" +
                                         errnoText(errno) + ")");
    }
    kept_[destination] = kept;
    if (!copied)
        return unusable(destination, "its copy could not be written in " + folder_.string() + " (" +
                                         errnoText(error) + ")");
    if (!read || !after || !(*read == *after))
        return unusable(destination, "it changed while a copy of it was being kept");
    const std::optional<FileIdentity> own = identityOfFile(kept.file);
    if (!own)
        return unusable(destination, "its kept copy cannot be looked at");
    kept_[destination].identity = *own;
    kept_[destination].before = *read;
    return std::nullopt;
}

std::uint64_t UndoRecorder::namesHeld(const std::string& destination) const
{
    const auto it = kept_.find(destination);
    if (it == kept_.end() || !it->second.linked || !it->second.usable)
        return 0;
    const std::optional<FileIdentity> now = identityOfFile(destination);
    return now && now->device == it->second.identity.device && now->inode == it->second.identity.inode ? 1 : 0;
}

std::optional<std::string> UndoRecorder::confirmOpened(const std::string& destination)
{
    const auto it = kept_.find(destination);
    if (it == kept_.end() || !it->second.usable || it->second.confirmed)
        return std::nullopt;
    Kept& kept = it->second;
    const std::optional<FileIdentity> now = identityOfFile(destination);
    if (!now || !(*now == kept.before))
        return unusable(destination, "another program replaced it between being kept and being opened");
    if (!append({"keep", destination, kept.file.filename().string(), kept.identity.key(), kept.before.key()})) {
        const std::string why = errnoText(errno);
        setupError_ = "the list of kept files in " + folder_.string() + " cannot be written (" + why + ")";
        return unusable(destination, setupError_);
    }
    kept.confirmed = true;
    return std::nullopt;
}

std::optional<std::string> UndoRecorder::wrote(const std::string& destination)
{
    const auto it = kept_.find(destination);
    if (it == kept_.end() || !it->second.usable || !it->second.confirmed)
        return std::nullopt;
    Kept& kept = it->second;
    const std::optional<FileIdentity> now = identityOfFile(destination);
    if (!now)
        return std::nullopt;
    if (kept.linked && now->device == kept.identity.device && now->inode == kept.identity.inode) {
        // Written in place, the kept name holds the new content too: nothing to go back to.
        append({"drop", destination});
        return unusable(destination, "it was written in place, so its old content was not kept");
    }
    if (!append({"wrote", destination, now->key()})) {
        const std::string why = errnoText(errno);
        setupError_ = "the list of kept files in " + folder_.string() + " cannot be written (" + why + ")";
        append({"drop", destination});
        return unusable(destination, setupError_);
    }
    kept.written = *now;
    return std::nullopt;
}

bool UndoOutcome::allRestored() const
{
    return refused.empty() && std::all_of(entries.begin(), entries.end(),
                                          [](const UndoEntry& e) { return e.result == UndoResult::Restored; });
}

namespace {

struct ManifestEntry {
    std::string destination;
    fs::path kept;
    std::string keptIdentity;
    std::string before;
    std::optional<std::string> wrote;
    bool dropped = false;
};

std::vector<ManifestEntry> readManifest(int fd, const fs::path& folder)
{
    std::string text;
    char buffer[65536];
    for (ssize_t got; (got = ::pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()))) != 0;) {
        if (got < 0) {
            if (errno == EINTR)
                continue;
            break;
        }
        text.append(buffer, static_cast<std::size_t>(got));
    }
    std::vector<ManifestEntry> entries;
    std::map<std::string, std::size_t> index;
    std::size_t start = 0;
    bool header = true;
    for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1) {
        const std::string line = text.substr(start, end - start);
        if (header) {
            if (line != kHeader)
                return {};
            header = false;
            continue;
        }
        const auto fields = splitLine(line);
        if (!fields || fields->size() < 2)
            continue;
        const std::string& kind = (*fields)[0];
        const std::string& destination = (*fields)[1];
        const auto at = index.find(destination);
        if (kind == "keep" && fields->size() == 5 && at == index.end()) {
            index[destination] = entries.size();
            entries.push_back({destination, folder / (*fields)[2], (*fields)[3], (*fields)[4], std::nullopt, false});
        } else if (kind == "wrote" && fields->size() == 3 && at != index.end()) {
            entries[at->second].wrote = (*fields)[2];
        } else if (kind == "drop" && at != index.end()) {
            entries[at->second].dropped = true;
        }
    }
    return entries;
}

// Puts the kept file back over the destination's file through a link beside it (the old
// file itself: its owner, mode and access lists come with it), or a copy where the link
// cannot be made; the destination must be what the job wrote until the rename.
UndoEntry restore(const ManifestEntry& entry)
{
    UndoEntry result{entry.destination, UndoResult::Failed, {}};
    try {
        const DestinationLock lock(entry.destination, kBusyDestinationWait);
        const std::optional<FileIdentity> now = identityOfFile(entry.destination);
        if (!now) {
            result.result = UndoResult::Gone;
            result.why = "it is not there any more, so it was left as it is";
            return result;
        }
        if (now->key() != *entry.wrote) {
            result.result = UndoResult::Changed;
            result.why = "it changed after the copy job wrote it, so it was left as it is";
            return result;
        }
        const std::optional<FileIdentity> kept = identityOfFile(entry.kept);
        if (!kept || kept->key() != entry.keptIdentity) {
            result.why = "its kept old content is missing or was changed, so it cannot be put back";
            return result;
        }
        std::error_code ec;
        const fs::path target = fs::canonical(entry.destination, ec);
        if (ec) {
            result.why = "its path cannot be resolved (" + ec.message() + ")";
            return result;
        }
        const fs::path folder = target.parent_path();
        const fs::path temporary = folder / temporaryNameFor(target, randomToken());
        if (::link(entry.kept.c_str(), temporary.c_str()) == 0) {
            const std::optional<FileIdentity> last = identityOfFile(target);
            if (!last || last->key() != *entry.wrote) {
                ::unlink(temporary.c_str());
                result.result = UndoResult::Changed;
                result.why = "it changed after the copy job wrote it, so it was left as it is";
                return result;
            }
            if (::rename(temporary.c_str(), target.c_str()) != 0) {
                result.why = "it cannot be replaced (" + errnoText(errno) + ")";
                ::unlink(temporary.c_str());
                return result;
            }
            flushFolderQuietly(folder);
            result.result = UndoResult::Restored;
            return result;
        }
        const int from = ::open(entry.kept.c_str(), O_RDONLY | O_CLOEXEC);
        if (from < 0) {
            result.why = "its kept old content cannot be read (" + errnoText(errno) + ")";
            return result;
        }
        try {
            AtomicReplacement replacement(target);
            replacement.requireTargetStill(*entry.wrote);
            if (!copyContent(from, replacement.descriptor()))
                throw std::system_error(errno, std::generic_category(), "write " + replacement.temporaryPath().string());
            ::close(from);
            try {
                replacement.commit();
            } catch (const ReplacedButNotFlushed&) {
                result.why = "it was put back, but the disk did not confirm it";
            }
            result.result = UndoResult::Restored;
        } catch (const TargetChangedMeanwhile&) {
            ::close(from);
            result.result = UndoResult::Changed;
            result.why = "it changed after the copy job wrote it, so it was left as it is";
        } catch (...) {
            ::close(from);
            throw;
        }
    } catch (const AutomationError& e) {
        result.why = e.description();
    } catch (const std::exception& e) {
        result.why = e.what();
    }
    return result;
}

} // namespace

UndoOutcome UndoLastJob(const fs::path& appDir)
{
    UndoOutcome outcome;
    const fs::path root = undoRoot(appDir);
    const std::vector<fs::path> folders = jobFolders(root);
    if (folders.empty()) {
        outcome.nothingToUndo = true;
        return outcome;
    }
    const fs::path& last = folders.back();
    bool noManifest = false;
    const int fd = lockJob(last, noManifest);
    if (fd < 0 && !noManifest) {
        outcome.refused = "The last copy job is still running (or another Tessaro is undoing it); undo it once it has "
                          "ended.";
        return outcome;
    }
    if (fd >= 0) {
        for (const ManifestEntry& entry : readManifest(fd, last)) {
            if (entry.dropped)
                continue;
            if (!entry.wrote) {
                // Kept, but the job never said it wrote it: a failed destination is as it
                // was; anything else is someone's content that undo must not guess about.
                const std::optional<FileIdentity> now = identityOfFile(entry.destination);
                if (!now || now->key() == entry.before)
                    continue;
                outcome.entries.push_back({entry.destination, UndoResult::Changed,
                                           "it changed after the copy job kept it and the job did not finish writing "
                                           "it (it may have been stopped), so it was left as it is"});
                continue;
            }
            outcome.entries.push_back(restore(entry));
        }
    }
    std::error_code ec;
    fs::remove_all(last, ec);
    if (fd >= 0)
        ::close(fd);
    dropEndedJobs(root, {});
    outcome.nothingToUndo = outcome.entries.empty();
    return outcome;
}

std::string UndoSummary(const UndoOutcome& outcome)
{
    if (!outcome.refused.empty())
        return outcome.refused;
    if (outcome.nothingToUndo)
        return "Nothing to undo.";
    std::size_t restored = 0, leftAlone = 0, failed = 0;
    for (const UndoEntry& e : outcome.entries) {
        restored += e.result == UndoResult::Restored ? 1 : 0;
        leftAlone += e.result == UndoResult::Changed || e.result == UndoResult::Gone ? 1 : 0;
        failed += e.result == UndoResult::Failed ? 1 : 0;
    }
    std::string text = "Restored " + std::to_string(restored) + " of " + std::to_string(outcome.entries.size()) +
                       (outcome.entries.size() == 1 ? " destination" : " destinations") + " of the last copy job";
    if (leftAlone > 0)
        text += "; " + std::to_string(leftAlone) + " left alone";
    if (failed > 0)
        text += "; " + std::to_string(failed) + " could not be restored";
    return text + ".";
}

std::vector<std::string> UndoDetails(const UndoOutcome& outcome)
{
    std::vector<std::string> lines;
    for (const UndoEntry& e : outcome.entries) {
        switch (e.result) {
        case UndoResult::Restored:
            lines.push_back("Restored: " + e.destination + (e.why.empty() ? "" : " (" + e.why + ")"));
            break;
        case UndoResult::Changed:
        case UndoResult::Gone:
            lines.push_back("Left alone: " + e.destination + ": " + e.why + ".");
            break;
        case UndoResult::Failed:
            lines.push_back("Not restored: " + e.destination + ": " + e.why + "; its kept old content was dropped.");
            break;
        }
    }
    return lines;
}

UndoOutcome UndoLastCopy(const fs::path& appDir, Host& host)
{
    const UndoOutcome outcome = UndoLastJob(appDir);
    if (outcome.nothingToUndo || !outcome.refused.empty()) {
        host.showMessage(UndoSummary(outcome), MessageIcon::Information);
        return outcome;
    }
    host.showReport(UndoSummary(outcome), UndoDetails(outcome),
                    outcome.allRestored() ? MessageIcon::Information : MessageIcon::Critical);
    return outcome;
}

} // namespace tessaro
