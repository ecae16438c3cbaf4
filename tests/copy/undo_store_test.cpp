// SPDX-License-Identifier: MIT
// The way back from a copy job, on plain files replaced the way a save replaces them: what a
// killed job leaves can still be undone for what it recorded, and a program folder on
// another file system keeps copies that come back byte for byte.
#include "copy/undo_store.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempDir;
using test::writeFile;
using ::testing::ElementsAre;
using ::testing::StartsWith;

// What a save does to a destination: a new file, given the old one's mode, renamed over it.
void saveOver(const fs::path& file, const std::string& content)
{
    const fs::path fresh = file.string() + ".new";
    writeFile(fresh, content);
    fs::permissions(fresh, fs::status(file).permissions());
    fs::rename(fresh, file);
}

// One destination through the recorder as a job takes it; false when it cannot be undone.
bool copyInto(UndoRecorder& undo, const fs::path& file, const std::string& content)
{
    if (undo.keep(file.string()) || undo.confirmOpened(file.string()))
        return false;
    saveOver(file, content);
    return !undo.wrote(file.string());
}

TEST(UndoStore, AJobKilledMidWayIsUndoneForWhatItRecordedAndNamesWhatItLeftHalfDone)
{
    TempDir app, dst;
    writeFile(dst / "a.xlsx", "a before");
    writeFile(dst / "b.xlsx", "b before");
    writeFile(dst / "c.xlsx", "c before");

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        UndoRecorder undo(app.path());
        bool ok = copyInto(undo, dst / "a.xlsx", "a after");
        // b is saved, but the job dies before it records having written it; c is kept and
        // opened, but never saved.
        ok = ok && !undo.keep((dst / "b.xlsx").string()) && !undo.confirmOpened((dst / "b.xlsx").string());
        saveOver(dst / "b.xlsx", "b after");
        ok = ok && !undo.keep((dst / "c.xlsx").string()) && !undo.confirmOpened((dst / "c.xlsx").string());
        if (!ok)
            ::_exit(3);
        ::kill(::getpid(), SIGKILL);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFSIGNALED(status)) << "the job gave up before it was killed: " << WEXITSTATUS(status);

    const UndoOutcome outcome = UndoLastJob(app.path());

    ASSERT_EQ(outcome.entries.size(), 2u);
    EXPECT_EQ(outcome.entries[0].destination, (dst / "a.xlsx").string());
    EXPECT_EQ(outcome.entries[0].result, UndoResult::Restored);
    EXPECT_EQ(outcome.entries[1].destination, (dst / "b.xlsx").string());
    EXPECT_EQ(outcome.entries[1].result, UndoResult::Changed);
    EXPECT_FALSE(outcome.allRestored());
    EXPECT_EQ(readFile(dst / "a.xlsx"), "a before");
    EXPECT_EQ(readFile(dst / "b.xlsx"), "b after");
    EXPECT_EQ(readFile(dst / "c.xlsx"), "c before");
    EXPECT_TRUE(UndoLastJob(app.path()).nothingToUndo);
}

TEST(UndoStore, AFileAnotherProgramSavedBetweenTwoOfTheJobsSavesIsNotTakenBack)
{
    TempDir app, dst;
    const fs::path file = dst / "a.xlsx";
    writeFile(file, "before");
    {
        UndoRecorder undo(app.path());
        ASSERT_TRUE(copyInto(undo, file, "first row"));
        saveOver(file, "another program's");
        EXPECT_THAT(undo.keep(file.string()), ::testing::Optional(::testing::HasSubstr("another program saved it")));
        saveOver(file, "second row");
        undo.wrote(file.string());
    }
    EXPECT_TRUE(UndoLastJob(app.path()).nothingToUndo);
    EXPECT_EQ(readFile(file), "second row");
}

TEST(UndoStore, OnAnotherFileSystemTheOldFileIsKeptAsACopyAndComesBackWithItsMode)
{
    TempDir dst;
    const fs::path shm = "/dev/shm";
    struct stat a {}, b {};
    if (::stat(shm.c_str(), &a) != 0 || ::stat(dst.path().c_str(), &b) != 0 || a.st_dev == b.st_dev)
        GTEST_SKIP() << "no second file system at " << shm;
    char pattern[] = "/dev/shm/tessaro-undo-test-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    const fs::path app = pattern;
    std::string before(3 << 20, '\0');
    for (std::size_t i = 0; i < before.size(); ++i)
        before[i] = static_cast<char>(i * 7 + i / 4096);
    writeFile(dst / "book.xlsx", before);
    fs::permissions(dst / "book.xlsx", fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);

    {
        UndoRecorder undo(app);
        ASSERT_TRUE(copyInto(undo, dst / "book.xlsx", "after"));
        // Kept as a copy of its own, not as a second name of the destination's file.
        for (const auto& e : fs::directory_iterator(undo.folder())) {
            if (e.path().filename() != "manifest") {
                EXPECT_EQ(fs::hard_link_count(e.path()), 1u);
            }
        }
    }
    const UndoOutcome outcome = UndoLastJob(app);
    fs::remove_all(app);

    ASSERT_EQ(outcome.entries.size(), 1u);
    EXPECT_EQ(outcome.entries[0].result, UndoResult::Restored) << outcome.entries[0].why;
    EXPECT_TRUE(readFile(dst / "book.xlsx") == before);
    EXPECT_EQ(fs::status(dst / "book.xlsx").permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read);
    EXPECT_THAT(UndoDetails(outcome), ElementsAre(StartsWith("Restored: ")));
}

} // namespace
} // namespace tessaro
