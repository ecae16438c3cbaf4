// SPDX-License-Identifier: MIT
#include "platform/own_temporaries.h"

#include <cerrno>
#include <cstdlib>
#include <mutex>
#include <set>
#include <string_view>
#include <system_error>
#include <vector>

#include <signal.h>
#include <unistd.h>

namespace tessaro {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kFileMark = ".tessaro-";
constexpr std::string_view kJobPrefix = ".tessaro-job-";
constexpr std::string_view kConversionPrefix = ".~tessaro-";

std::size_t nameLimit(const fs::path& folder)
{
    const long limit = ::pathconf(folder.empty() ? "." : folder.c_str(), _PC_NAME_MAX);
    return limit > 0 ? static_cast<std::size_t>(limit) : 255;
}

// Cuts `text` to at most `bytes` without splitting a UTF-8 sequence.
std::string_view cutAtCharacter(std::string_view text, std::size_t bytes)
{
    if (text.size() <= bytes)
        return text;
    std::size_t end = bytes;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return text.substr(0, end);
}

// The process id in "<pid>-<random>", or 0 when `rest` is not of that form.
pid_t processIdIn(std::string_view rest)
{
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash > 10 || dash + 1 == rest.size())
        return 0;
    long long pid = 0;
    for (char c : rest.substr(0, dash)) {
        if (c < '0' || c > '9')
            return 0;
        pid = pid * 10 + (c - '0');
    }
    for (char c : rest.substr(dash + 1))
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')))
            return 0;
    return pid > 0 && pid < (1LL << 22) ? static_cast<pid_t>(pid) : 0;
}

// The process id in a conversion's ".~tessaro-<stem>-<pid>-<n>-<hex>.xlsx", or 0.
pid_t ownerOfConversion(std::string_view name)
{
    if (!name.starts_with(kConversionPrefix) || !name.ends_with(".xlsx"))
        return 0;
    std::string_view rest = name.substr(0, name.size() - 5);
    const std::size_t hex = rest.rfind('-');
    const std::size_t n = hex == std::string_view::npos ? hex : rest.rfind('-', hex - 1);
    const std::size_t pid = n == std::string_view::npos || n == 0 ? std::string_view::npos : rest.rfind('-', n - 1);
    if (pid == std::string_view::npos || pid < kConversionPrefix.size() - 1)
        return 0;
    const std::string_view counter = rest.substr(n + 1, hex - n - 1);
    if (counter.empty() || counter.find_first_not_of("0123456789") != std::string_view::npos)
        return 0;
    // "<pid>-<hex>" is the form processIdIn reads.
    return processIdIn(std::string(rest.substr(pid + 1, n - pid - 1)) + "-" + std::string(rest.substr(hex + 1)));
}

// Which process made this entry, when it is one of ours; 0 otherwise.
pid_t ownerOfLeftover(std::string_view name, bool isFolder)
{
    if (isFolder)
        return name.starts_with(kJobPrefix) ? processIdIn(name.substr(kJobPrefix.size())) : 0;
    if (const pid_t converter = ownerOfConversion(name))
        return converter;
    if (!name.starts_with('.') || name.starts_with(kJobPrefix))
        return 0;
    const std::size_t mark = name.rfind(kFileMark);
    if (mark == std::string_view::npos || mark < 2)
        return 0;
    return processIdIn(name.substr(mark + kFileMark.size()));
}

bool processHasEnded(pid_t pid)
{
    return pid != ::getpid() && ::kill(pid, 0) != 0 && errno == ESRCH;
}

// Whether this process has looked through `folder` already; marks it looked through.
bool firstVisit(const fs::path& folder)
{
    // Called before every save: the key is the folder as named, without asking the file
    // system; a folder reached by two names is only looked through twice.
    static std::mutex mutex;
    static std::set<fs::path> visited;
    std::lock_guard lock(mutex);
    return visited.insert(folder.lexically_normal()).second;
}

} // namespace

std::string temporaryNameFor(const fs::path& target, const std::string& random)
{
    const std::string suffix = std::string(kFileMark) + std::to_string(::getpid()) + "-" + random;
    const std::string name = target.filename().string();
    const std::size_t limit = nameLimit(target.has_parent_path() ? target.parent_path() : fs::path("."));
    const std::size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
    return "." + std::string(cutAtCharacter(name, room)) + suffix;
}

void removeLeftoverTemporaries(const fs::path& folder) noexcept
{
    try {
        if (!firstVisit(folder))
            return;
        std::error_code ec;
        std::vector<fs::path> ended;
        for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
            const std::string name = it->path().filename().string();
            if (name.empty() || name[0] != '.')
                continue;
            std::error_code typeError;
            const fs::file_type type = it->symlink_status(typeError).type();
            const bool isFolder = type == fs::file_type::directory;
            if (!isFolder && type != fs::file_type::regular)
                continue;
            if (const pid_t pid = ownerOfLeftover(name, isFolder); pid != 0 && processHasEnded(pid))
                ended.push_back(it->path());
        }
        for (const fs::path& p : ended) {
            std::error_code removeError;
            fs::remove_all(p, removeError);
        }
    } catch (...) {
        // Tidying is a courtesy: what cannot be looked at or removed stays.
    }
}

JobFolder::JobFolder(fs::path appDir) : appDir_(std::move(appDir)) {}

JobFolder::~JobFolder()
{
    if (!path_.empty()) {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
}

const fs::path& JobFolder::path()
{
    if (!path_.empty())
        return path_;
    std::error_code ec;
    fs::create_directories(appDir_, ec);
    removeLeftoverTemporaries(appDir_);
    std::string pattern = (appDir_ / (std::string(kJobPrefix) + std::to_string(::getpid()) + "-XXXXXX")).string();
    if (::mkdtemp(pattern.data()) == nullptr)
        throw std::system_error(errno, std::generic_category(),
                                "make a folder for the job's temporary files in " + appDir_.string());
    path_ = pattern;
    return path_;
}

} // namespace tessaro
