// SPDX-License-Identifier: MIT
#include "lists/path_kind.h"
#include "lists/workspace.h"
#include "state/saved_files.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

namespace tessaro {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;

TEST(PathKind, FilesFoldersAndNothing)
{
    TempDir dir;
    writeFile(dir / "book.txt", "x");
    EXPECT_EQ(GetPathKind(""), PathKind::Missing);
    EXPECT_EQ(GetPathKind(dir.path().string()), PathKind::Folder);
    EXPECT_EQ(GetPathKind((dir / "book.txt").string()), PathKind::File) << "whatever its extension";
    EXPECT_EQ(GetPathKind((dir / "gone.xlsx").string()), PathKind::Missing);
    EXPECT_EQ(GetPathKind((dir / "book.txt/inner").string()), PathKind::Missing);
    EXPECT_EQ(GetPathKind(std::string("bad\0name", 8)), PathKind::Missing);
}

TEST(PathKind, JoinAddsOneSeparator)
{
    EXPECT_EQ(joinPath("/data", "a.xlsx"), "/data/a.xlsx");
    EXPECT_EQ(joinPath("/data/", "a.xlsx"), "/data/a.xlsx");
    EXPECT_EQ(joinPath("/", "a.xlsx"), "/a.xlsx");
}

class SelectedSource : public ::testing::Test {
protected:
    TempDir dir;
    Workspace ws;
    std::string folder() const { return dir.path().string(); }
    std::string file(const char* name) const { return (dir / name).string(); }
};

TEST_F(SelectedSource, FileEntryIsTheBookWhateverTheBookListShows)
{
    writeFile(dir / "a.xlsx", "x");
    ws.sourceEntryList.append(file("a.xlsx"));
    ws.sourceBookList.append("other.xlsx");
    EXPECT_EQ(SelectedSourceBookPath(ws), file("a.xlsx"));
}

TEST_F(SelectedSource, FolderEntryJoinsTheSelectedBook)
{
    writeFile(dir / "a.xlsx", "x");
    writeFile(dir / "b.xlsx", "x");
    ws.sourceEntryList.append(folder());
    ws.sourceBookList.append("a.xlsx");
    ws.sourceBookList.append("b.xlsx");
    ws.sourceBookList.select(2);
    EXPECT_EQ(SelectedSourceBookPath(ws), file("b.xlsx"));
    ws.sourceEntryList.setText(1, folder() + "/");
    EXPECT_EQ(SelectedSourceBookPath(ws), file("b.xlsx")) << "a trailing separator is not doubled";
}

TEST_F(SelectedSource, EmptyWhenNothingResolvesToAFile)
{
    EXPECT_EQ(SelectedSourceBookPath(ws), "") << "no entry";
    ws.sourceEntryList.append(folder());
    EXPECT_EQ(SelectedSourceBookPath(ws), "") << "folder with an empty book list";
    ws.sourceBookList.append("deleted.xlsx");
    EXPECT_EQ(SelectedSourceBookPath(ws), "") << "book deleted since it was listed";
    ws.sourceEntryList.clear();
    ws.sourceEntryList.append(file("gone.xlsx"));
    EXPECT_EQ(SelectedSourceBookPath(ws), "") << "file entry deleted since it was added";
}

TEST(SourcePathTableTest, GrowsAndClears)
{
    SourcePathTable t;
    EXPECT_EQ(t.at(1), "");
    t.set(1, "/a");
    t.set(5000, "/b") ; // no limit of 1000 rows
    EXPECT_EQ(t.at(1), "/a");
    EXPECT_EQ(t.at(5000), "/b");
    EXPECT_EQ(t.at(4999), "");
    EXPECT_EQ(t.at(0), "");
    EXPECT_EQ(t.at(-3), "");
    t.clear();
    EXPECT_EQ(t.at(1), "");
}

TEST(CopyRowNumberTest, ReadsSubItemOne)
{
    ListRow r;
    EXPECT_EQ(CopyRowNumber(r), 0);
    r.subItems = {"12", "Sheet"};
    EXPECT_EQ(CopyRowNumber(r), 12);
    r.subItems = {"x"};
    EXPECT_EQ(CopyRowNumber(r), 0);
}

TEST(EmptyCopyList, ResetsRowsCounterAndTable)
{
    Workspace ws;
    ws.copySheetList.append("");
    ws.copyRowCounter = 3;
    ws.sourcePathTable.set(3, "/a");
    emptyCopyList(ws);
    EXPECT_TRUE(ws.copySheetList.empty());
    EXPECT_EQ(ws.copyRowCounter, 0);
    EXPECT_EQ(ws.sourcePathTable.at(3), "");
}

class StartAndStop : public ::testing::Test {
protected:
    TempDir app;
    TempDir data;
    Workspace ws;
    void SetUp() override { ws.appDir = app.path(); }
};

TEST_F(StartAndStop, StartUpRestoresBothListsWithIconsByPathKind)
{
    writeFile(data / "book.xlsx", "x");
    const std::string file = (data / "book.xlsx").string();
    const std::string folder = data.path().string();
    const std::string gone = (data / "gone.xlsx").string();
    writeFile(sourceListFile(app.path()), file + "\r\n" + folder + "\r\n" + gone + "\r\n\r\n");
    writeFile(targetListFile(app.path()), folder);
    writeFile(settingsFile(app.path()), "0\r\n0\r\n");
    ws.copyCount = 9;
    ws.copyRowCounter = 4;

    startUp(ws);

    EXPECT_EQ(ws.copyCount, 1);
    EXPECT_EQ(ws.copyRowCounter, 0);
    ASSERT_EQ(ws.sourceEntryList.count(), 4) << "restored whatever the settings say";
    EXPECT_EQ(ws.sourceEntryList.row(1).smallIcon, WorkbookFileIcon);
    EXPECT_EQ(ws.sourceEntryList.row(2).smallIcon, FolderIcon);
    EXPECT_EQ(ws.sourceEntryList.row(3).smallIcon, MissingPathIcon);
    EXPECT_EQ(ws.sourceEntryList.row(4).text, "") << "an empty line is a row";
    EXPECT_EQ(ws.sourceEntryList.row(4).smallIcon, MissingPathIcon);
    ASSERT_EQ(ws.targetEntryList.count(), 1);
    EXPECT_EQ(ws.targetEntryList.row(1).text, folder) << "last line without CR LF";
    EXPECT_TRUE(ws.sourceBookList.empty());
    EXPECT_TRUE(ws.targetBookList.empty());
}

TEST_F(StartAndStop, MissingFilesRestoreEmptyLists)
{
    startUp(ws);
    EXPECT_TRUE(ws.sourceEntryList.empty());
    EXPECT_TRUE(ws.targetEntryList.empty());
    EXPECT_TRUE(shutDown(ws).empty());
    EXPECT_FALSE(std::filesystem::exists(sourceListFile(app.path()))) << "missing settings: both off";
    EXPECT_FALSE(std::filesystem::exists(targetListFile(app.path())));
}

TEST_F(StartAndStop, ShutDownSavesExactlyTheListsWhoseSettingIsOne)
{
    writeFile(sourceListFile(app.path()), "old left\r\n");
    writeFile(targetListFile(app.path()), "old right\r\n");
    writeFile(settingsFile(app.path()), "0\r\n1\r\n");
    startUp(ws);
    ws.sourceEntryList.clear();
    ws.targetEntryList.append("/new/right");

    EXPECT_TRUE(shutDown(ws).empty());
    EXPECT_EQ(readFile(sourceListFile(app.path())), "old left\r\n");
    EXPECT_EQ(readFile(targetListFile(app.path())), "old right\r\n/new/right\r\n");
    EXPECT_EQ(readFile(settingsFile(app.path())), "0\r\n1\r\n") << "shut-down never writes the settings";
}

TEST_F(StartAndStop, RoundTripKeepsBytesOfRestoredRows)
{
    writeFile(sourceListFile(app.path()), "/x/gone.xlsx\r\nlast");
    writeFile(settingsFile(app.path()), "1\r\n");
    startUp(ws);
    shutDown(ws);
    EXPECT_EQ(readFile(sourceListFile(app.path())), "/x/gone.xlsx\r\nlast\r\n");
    EXPECT_FALSE(std::filesystem::exists(targetListFile(app.path())));
}

TEST_F(StartAndStop, NonAsciiPathsSurviveARun)
{
    const std::string path = "/srv/données/Übersicht – 2026.xlsx";
    writeFile(settingsFile(app.path()), "1\r\n1\r\n");
    ws.sourceEntryList.append(path);
    ws.targetEntryList.append("/tmp/目的地");
    shutDown(ws);
    Workspace again;
    again.appDir = app.path();
    startUp(again);
    ASSERT_EQ(again.sourceEntryList.count(), 1);
    EXPECT_EQ(again.sourceEntryList.row(1).text, path);
    EXPECT_EQ(again.targetEntryList.row(1).text, "/tmp/目的地");
}

TEST_F(StartAndStop, UnwritableListFileKeepsShutDownGoing)
{
    writeFile(settingsFile(app.path()), "1\r\n1\r\n");
    std::filesystem::create_directory(sourceListFile(app.path())); // cannot be replaced by a file
    ws.targetEntryList.append("/r");
    const auto failures = shutDown(ws);
    ASSERT_EQ(failures.size(), 1u);
    EXPECT_NE(failures[0].find("EXCEL.txt"), std::string::npos) << failures[0];
    EXPECT_EQ(readFile(targetListFile(app.path())), "/r\r\n") << "the other list is still saved";
}

TEST_F(StartAndStop, LargeListIsSavedWhole)
{
    writeFile(settingsFile(app.path()), "1\r\n0\r\n");
    for (int i = 0; i < 40000; ++i)
        ws.sourceEntryList.append("/p" + std::to_string(i));
    shutDown(ws);
    Workspace again;
    again.appDir = app.path();
    startUp(again);
    EXPECT_EQ(again.sourceEntryList.count(), 40000) << "no 32,767-row limit";
}

} // namespace
} // namespace tessaro
