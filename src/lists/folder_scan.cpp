// SPDX-License-Identifier: MIT
#include "lists/folder_scan.h"

#include "lists/path_kind.h"
#include "lists/workspace.h"

#include <algorithm>
#include <cctype>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {

namespace {

char lower(char c) { return static_cast<char>(std::tolower(static_cast<unsigned char>(c))); }
bool digit(char c) { return c >= '0' && c <= '9'; }

bool endsWithNoCase(const std::string& s, const std::string& suffix)
{
    if (s.size() < suffix.size())
        return false;
    return std::equal(suffix.begin(), suffix.end(), s.end() - static_cast<std::ptrdiff_t>(suffix.size()),
                      [](char a, char b) { return lower(a) == lower(b); });
}

std::vector<std::string> fillBookList(ListModel& books, const std::string& entryPath)
{
    books.clear();
    std::vector<std::string> skipped;
    if (GetPathKind(entryPath) == PathKind::File) {
        const auto slash = entryPath.rfind(kPathSeparator);
        const int row = books.append(slash == std::string::npos ? entryPath : entryPath.substr(slash + 1));
        books.setChecked(row, true);
        return skipped;
    }
    for (const auto& name : listWorkbooksInFolder(entryPath, &skipped)) {
        const int row = books.append(name);
        books.setChecked(row, true);
    }
    return skipped;
}

// Whether a link in a folder of `folderStat` may be followed (see listWorkbooksInFolder).
bool mayFollowLink(const struct stat& folderStat, const struct stat& link)
{
    const bool shared = (folderStat.st_mode & S_ISVTX) != 0 && (folderStat.st_mode & S_IWOTH) != 0;
    return !shared || link.st_uid == ::geteuid() || link.st_uid == folderStat.st_uid;
}

} // namespace

bool isListedWorkbookName(const std::string& name)
{
    if (name.empty() || name.front() == '.' || name.rfind("~$", 0) == 0)
        return false;
    for (const char* ext : {".xls", ".xlsx", ".xlsm", ".xlsb", ".ods"})
        if (endsWithNoCase(name, ext))
            return name.size() > std::char_traits<char>::length(ext);
    return false;
}

bool naturalLess(const std::string& a, const std::string& b)
{
    std::size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (digit(a[i]) && digit(b[j])) {
            std::size_t ie = i, je = j;
            while (ie < a.size() && digit(a[ie]))
                ++ie;
            while (je < b.size() && digit(b[je]))
                ++je;
            // Compare the values: skip leading zeros, then the longer run is larger.
            std::size_t is = i, js = j;
            while (is + 1 < ie && a[is] == '0')
                ++is;
            while (js + 1 < je && b[js] == '0')
                ++js;
            if (ie - is != je - js)
                return ie - is < je - js;
            const int c = a.compare(is, ie - is, b, js, je - js);
            if (c != 0)
                return c < 0;
            i = ie;
            j = je;
            continue;
        }
        const char ca = lower(a[i]), cb = lower(b[j]);
        if (ca != cb)
            return static_cast<unsigned char>(ca) < static_cast<unsigned char>(cb);
        ++i;
        ++j;
    }
    if ((a.size() - i) != (b.size() - j))
        return a.size() - i < b.size() - j;
    return a < b; // equal but for case or zeros: keep a fixed order
}

std::vector<std::string> listWorkbooksInFolder(const std::string& folder, std::vector<std::string>* skipped)
{
    std::vector<std::string> names;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return names;
    struct stat folderStat {};
    ::fstat(::dirfd(dir), &folderStat);
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!isListedWorkbookName(name))
            continue;
        const std::string path = joinPath(folder, name);
        struct stat link {};
        if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode) && !mayFollowLink(folderStat, link)) {
            if (skipped)
                skipped->push_back(path + ": passed over: it is a symbolic link of another user in a folder that "
                                          "everyone may write to, so it may lead to a file that is not meant to "
                                          "be written.");
            continue;
        }
        // Only ordinary files (a link to one counts), never folders named like workbooks.
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
            continue;
        names.push_back(name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end(), naturalLess);
    return names;
}

std::vector<std::string> ListSourceBooks(Workspace& ws, const std::string& entryPath)
{
    return fillBookList(ws.sourceBookList, entryPath);
}

std::vector<std::string> ListTargetBooks(Workspace& ws, const std::string& entryPath)
{
    return fillBookList(ws.targetBookList, entryPath);
}

} // namespace tessaro
