// SPDX-License-Identifier: MIT
#include "platform/atomic_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;

std::ptrdiff_t entriesIn(const fs::path& dir)
{
    return std::distance(fs::directory_iterator(dir), fs::directory_iterator());
}

struct stat statOf(const fs::path& p)
{
    struct stat st {};
    EXPECT_EQ(::stat(p.c_str(), &st), 0) << p;
    return st;
}

TEST(AtomicReplacement, KeepsTheOldFilesModeOwnerAndGroup)
{
    TempDir dir;
    const fs::path file = dir / "book.xlsx";
    writeFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0640), 0);
    // Only root can hand a file to someone else; anyone else checks that their own stays.
    const bool root = ::geteuid() == 0;
    const uid_t owner = root ? 65534 : ::geteuid();
    const gid_t group = root ? 65534 : ::getegid();
    if (root) {
        ASSERT_EQ(::chown(file.c_str(), owner, group), 0);
    }

    replaceFileContent(file, "new content");

    EXPECT_EQ(readFile(file), "new content");
    const struct stat st = statOf(file);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_uid, owner);
    EXPECT_EQ(st.st_gid, group);
    EXPECT_EQ(entriesIn(dir.path()), 1) << "no temporary file left";
}

TEST(AtomicReplacement, ANewFileGetsTheUsualModeUnderTheUmask)
{
    TempDir dir;
    const mode_t old = ::umask(027);
    replaceFileContent(dir / "fresh.txt", "x");
    ::umask(old);
    EXPECT_EQ(statOf(dir / "fresh.txt").st_mode & 07777, 0640u);
}

TEST(AtomicReplacement, ReplacesTheFileALinkPointsAtAndKeepsTheLink)
{
    TempDir dir;
    fs::create_directory(dir / "real");
    writeFile(dir / "real" / "book.xls", "old");
    fs::create_symlink(dir / "real" / "book.xls", dir / "link.xls");

    replaceFileContent(dir / "link.xls", "new");

    EXPECT_TRUE(fs::is_symlink(dir / "link.xls"));
    EXPECT_EQ(readFile(dir / "real" / "book.xls"), "new");
    EXPECT_EQ(entriesIn(dir / "real"), 1);
}

TEST(AtomicReplacement, AFailureBeforeTheCommitLeavesTheOldFileAndNoTemporary)
{
    TempDir dir;
    const fs::path file = dir / "book.xlsx";
    writeFile(file, "precious original");
    EXPECT_THROW(
        {
            AtomicReplacement out(file);
            writeFile(out.temporaryPath(), "half of the new");
            EXPECT_FALSE(out.replaced());
            throw std::runtime_error("the writer broke");
        },
        std::runtime_error);
    EXPECT_EQ(readFile(file), "precious original");
    EXPECT_EQ(entriesIn(dir.path()), 1);
}

TEST(AtomicReplacement, RefusesAFolderInTheWayBeforeWritingAnything)
{
    TempDir dir;
    fs::create_directory(dir / "book.xlsx");
    try {
        replaceFileContent(dir / "book.xlsx", "x");
        FAIL() << "a folder was replaced";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), EISDIR);
    }
    EXPECT_TRUE(fs::is_directory(dir / "book.xlsx"));
    EXPECT_EQ(entriesIn(dir.path()), 1);
}

TEST(AtomicReplacement, CommitsWhatAnotherWriterLeftAtTheTemporaryName)
{
    TempDir dir;
    const fs::path file = dir / "book.ods";
    writeFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    AtomicReplacement out(file);
    out.closeDescriptor();
    // Another program may write by replacing the file rather than writing into it.
    fs::remove(out.temporaryPath());
    writeFile(out.temporaryPath(), "written by name");
    out.commit();
    EXPECT_TRUE(out.replaced());
    EXPECT_EQ(readFile(file), "written by name");
    EXPECT_EQ(statOf(file).st_mode & 07777, 0600u);
}

} // namespace
} // namespace tessaro
