// SPDX-License-Identifier: MIT
#pragma once

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

// Decides whether a workbook file may be replaced now, and keeps others from replacing it
// until the guard goes. A file is not replaced when:
// - it is read-only (no write permission for anyone, or none for this process);
// - its folder cannot be written to (the new file is made beside the old one);
// - it is locked: another process holds a lock on it (flock, or a POSIX write lock, which
//   is how LibreOffice and many other programs guard a document they have open), or
//   LibreOffice's lock file ".~lock.<name>#" lies beside it;
// - it is no longer the file that was opened (`openedIdentity`, when not empty, is the
//   identity the file had when it was read): another program changed, replaced or removed
//   it meanwhile, and writing would throw that program's work away.
// While the guard lives it holds an exclusive flock on the file (a copy job holds it already,
// through its DestinationLock), so two Tessaro processes saving the same workbook take
// turns, and the second one finds the file changed instead of silently dropping the first
// one's copies. A lock held by someone else is waited for
// up to `wait` before the file is reported as locked. A lock file that names
// `ownOfficeProfile` (the profile URL of the LibreOffice this process drives, which locks the
// workbooks it loads for writing) is this process's own and no obstacle.
// Throws EngineError naming `displayPath`.
class SaveGuard {
public:
    SaveGuard(const std::filesystem::path& target, const std::string& displayPath, std::string_view openedIdentity,
              std::chrono::milliseconds wait, std::string_view ownOfficeProfile = {});
    ~SaveGuard();
    SaveGuard(const SaveGuard&) = delete;
    SaveGuard& operator=(const SaveGuard&) = delete;

private:
    int fd_ = -1;
};

} // namespace tessaro::xlsx
