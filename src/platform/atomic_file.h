// SPDX-License-Identifier: MIT
#pragma once

#include <filesystem>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>

namespace tessaro {

// The one way Tessaro replaces a file, whatever writes it (a workbook save, LibreOffice's
// export, the program's own lists), so that a reader sees the old content or the whole new
// one and never a mixture:
//
// - The new content goes to a hidden temporary file beside the file being replaced (in the
//   same folder, so the final rename never crosses file systems), readable by the user
//   only while it is written. A new file ends 0666 under the umask, the mode any new file
//   of the user's gets.
// - A symbolic link is followed: the file it points at is replaced and the link stays a
//   link. A dangling link has nothing to follow and is itself replaced by the file.
// - A folder at the target's place is refused with EISDIR before anything is written.
// - commit() flushes the content to disk, gives it the old file's mode, owner and group,
//   extended attributes and access control lists (AttributesNotKept when it cannot),
//   renames it over the old file and flushes the folder. The owner and group are kept
//   where the process may set them; a user who is not root can give a file only their own
//   owner (and a group they belong to), so a file of someone else's that such a user
//   rewrites becomes theirs, exactly as when they save it from any other program.
// - Until the rename, every failure removes the temporary file and leaves the old file as
//   it was; the error is a std::system_error carrying the errno and the failing step.
// - After the rename the new content is in place. The folder's flush makes the rename
//   survive a power cut; a file system that cannot flush a folder (EINVAL, ENOTSUP, EROFS,
//   EBADF from some network and FUSE file systems) or a folder the process may not open
//   for reading (EACCES) is not a failure: there is nothing more to do. Any other error
//   (EIO above all) is thrown as ReplacedButNotFlushed, so that the caller can say the
//   truth: the new content is there, but the disk did not confirm that it will stay.

class ReplacedButNotFlushed : public std::system_error {
public:
    using std::system_error::system_error;
};

// The old file's extended attributes or access control lists could not be given to the new
// one; nothing was replaced, rather than leave the file open to more people than before.
class AttributesNotKept : public std::system_error {
public:
    using std::system_error::system_error;
};

// The file to be replaced is not the one that was read any more: another program saved,
// replaced or removed it while the new content was being written. Nothing was replaced.
class TargetChangedMeanwhile : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class AtomicReplacement {
public:
    explicit AtomicReplacement(const std::filesystem::path& target);
    // Removes the temporary file unless commit() renamed it.
    ~AtomicReplacement();
    AtomicReplacement(const AtomicReplacement&) = delete;
    AtomicReplacement& operator=(const AtomicReplacement&) = delete;

    // The file that commit() replaces: the target with symbolic links followed.
    const std::filesystem::path& target() const { return target_; }
    // The temporary file; it exists, empty, from construction.
    const std::filesystem::path& temporaryPath() const { return temp_; }
    // The temporary file, open for writing, or -1 once closeDescriptor() gave it up.
    int descriptor() const { return fd_; }
    // Gives up the descriptor so that another program can write the temporary file by name
    // (it may even replace it); commit() opens whatever is there then.
    void closeDescriptor();

    // Makes commit() check, as its last step before the rename, that the target still has
    // this identity (FileIdentity::key() of the file that was read) and throw
    // TargetChangedMeanwhile if not. Another program's save that lands while the new content
    // is written is then kept, not overwritten.
    void requireTargetStill(std::string identityKey) { expected_ = std::move(identityKey); }

    // `contentFlushed`: the caller already flushed the content through descriptor(), and a
    // second flush would cost a real disk another wait for nothing.
    void commit(bool contentFlushed = false);
    // Whether commit() got as far as the rename: the target holds the new content.
    bool replaced() const { return renamed_; }

private:
    std::filesystem::path target_;
    std::filesystem::path temp_;
    int fd_ = -1;
    bool renamed_ = false;
    std::string expected_;
};

// Replaces `target` with `content` through an AtomicReplacement.
void replaceFileContent(const std::filesystem::path& target, std::string_view content);

} // namespace tessaro
