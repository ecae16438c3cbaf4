// SPDX-License-Identifier: MIT
#include "platform/atomic_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <cstring>
#include <initializer_list>
#include <tuple>
#include <sys/stat.h>
#include <sys/xattr.h>
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

// An access control list as the kernel stores it: version 2, then (tag, permissions, id)
// entries in tag order.
std::string accessControlList(std::initializer_list<std::tuple<std::uint16_t, std::uint16_t, std::uint32_t>> entries)
{
    std::string acl("\x02\x00\x00\x00", 4);
    for (const auto& [tag, perm, id] : entries) {
        const std::uint16_t t = tag, p = perm;
        const std::uint32_t i = id;
        acl.append(reinterpret_cast<const char*>(&t), 2);
        acl.append(reinterpret_cast<const char*>(&p), 2);
        acl.append(reinterpret_cast<const char*>(&i), 4);
    }
    return acl;
}

std::string attributeOf(const fs::path& file, const char* name)
{
    std::string value(4096, '\0');
    const ssize_t n = ::getxattr(file.c_str(), name, value.data(), value.size());
    return n < 0 ? std::string("(none)") : value.substr(0, static_cast<std::size_t>(n));
}

TEST(AtomicReplacement, KeepsExtendedAttributesAndTheAccessControlListAndWritesPrivately)
{
    TempDir dir;
    const fs::path file = dir / "private.xlsx";
    writeFile(file, "old");
    ASSERT_EQ(::chmod(file.c_str(), 0600), 0);
    // Owner rw, user 1234 rw, group nothing, mask rw, others nothing.
    const std::string acl = accessControlList({{0x01, 6, 0xFFFFFFFF}, {0x02, 6, 1234}, {0x04, 0, 0xFFFFFFFF},
                                               {0x10, 6, 0xFFFFFFFF}, {0x20, 0, 0xFFFFFFFF}});
    if (::setxattr(file.c_str(), "user.tessaro-test", "kept", 4, 0) != 0 ||
        ::setxattr(file.c_str(), "system.posix_acl_access", acl.data(), acl.size(), 0) != 0)
        GTEST_SKIP() << "this file system keeps no extended attributes or ACLs: " << std::strerror(errno);

    AtomicReplacement out(file);
    EXPECT_EQ(statOf(out.temporaryPath()).st_mode & 077, 0u) << "nobody but the user reads it while it is written";
    ASSERT_EQ(::write(out.descriptor(), "new", 3), 3);
    out.commit();

    EXPECT_EQ(readFile(file), "new");
    EXPECT_EQ(attributeOf(file, "user.tessaro-test"), "kept");
    EXPECT_EQ(attributeOf(file, "system.posix_acl_access"), acl);
    EXPECT_EQ(statOf(file).st_mode & 0777, 0660u) << "the group bits show the ACL's mask, not a wider mode";
}

TEST(AtomicReplacement, ALongNameStillGetsATemporaryAndLeftoversOfEndedRunsGo)
{
    TempDir dir;
    // 250 bytes, a valid name that the temporary's marks would make too long.
    std::string name(245, 'n');
    name += ".xlsx";
    writeFile(dir / name, "old");
    // A leftover of a run that ended (no process has an id this high), and one of this run.
    const fs::path ended = dir / ".book.xlsx.tessaro-4194303-deadbeef";
    const fs::path mine = dir / (".book.xlsx.tessaro-" + std::to_string(::getpid()) + "-cafe0001");
    // A legacy source's conversion, of a run that ended and of this one.
    const fs::path converted = dir / ".~tessaro-old-book-4194303-2-0a1b2c3d.xlsx";
    const fs::path converting = dir / (".~tessaro-book-" + std::to_string(::getpid()) + "-1-0a1b2c3d.xlsx");
    for (const fs::path& f : {ended, mine, converted, converting})
        writeFile(f, "x");

    replaceFileContent(dir / name, "new");

    EXPECT_EQ(readFile(dir / name), "new");
    EXPECT_FALSE(fs::exists(ended));
    EXPECT_FALSE(fs::exists(converted));
    EXPECT_TRUE(fs::exists(mine)) << "a running process's file stays";
    EXPECT_TRUE(fs::exists(converting));
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
