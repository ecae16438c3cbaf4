// SPDX-License-Identifier: MIT
// The list commands: folder scan, sheet selection and entries, over real folders and a
// fake spreadsheet server.
#include "lists/entry_commands.h"
#include "lists/folder_scan.h"
#include "lists/sheet_selection.h"
#include "lists/workspace.h"
#include "support/fake_automation.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

namespace tessaro {
namespace {

using test::FakeHost;
using test::FakeWorld;
using test::TempDir;
using test::writeFakeBook;
using test::writeFile;
using ::testing::ElementsAre;
using Names = std::vector<std::string>;

Names texts(const ListModel& list)
{
    Names out;
    for (int i = 1; i <= list.count(); ++i)
        out.push_back(list.row(i).text);
    return out;
}

TEST(FolderScan, ListsWorkbooksAPersonMeansInNaturalOrder)
{
    TempDir dir;
    for (const char* name : {"book10.xlsx", "book2.XLSX", "Book1.xls", "a.xlsm", "b.XLSB", "notes.txt", "c.csv",
                             "~$book2.xlsx", ".~lock.a.xlsm#", ".hidden.xlsx", "x.xlsxx", "y.xl", ".xlsx"})
        writeFile(dir / name, "x");
    std::filesystem::create_directory(dir / "folder.xlsx");
    std::filesystem::create_directory(dir / "sub");
    writeFile(dir / "sub" / "inner.xlsx", "x");
    EXPECT_EQ(listWorkbooksInFolder(dir.path().string()),
              (Names{"a.xlsm", "b.XLSB", "Book1.xls", "book2.XLSX", "book10.xlsx"}));
}

TEST(FolderScan, NaturalOrder)
{
    EXPECT_TRUE(naturalLess("b2", "b10"));
    EXPECT_FALSE(naturalLess("b10", "b2"));
    EXPECT_TRUE(naturalLess("apple", "Banana"));
    EXPECT_TRUE(naturalLess("x007", "x8"));
    EXPECT_TRUE(naturalLess("a", "a1"));
    EXPECT_FALSE(naturalLess("same", "same"));
    EXPECT_NE(naturalLess("A", "a"), naturalLess("a", "A")) << "a fixed order for names equal but for case";
}

TEST(FolderScan, FileEntryListsItsOwnNameWhateverTheExtension)
{
    TempDir dir;
    writeFile(dir / "data.bin", "x");
    Workspace ws;
    ListTargetBooks(ws, (dir / "data.bin").string());
    EXPECT_EQ(texts(ws.targetBookList), Names{"data.bin"});
    EXPECT_TRUE(ws.targetBookList.row(1).checked);
}

TEST(FolderScan, AnotherUsersLinkInAStickySharedFolderIsPassedOverAndSaid)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "making a link that belongs to another user needs root";
    TempDir dir;
    const auto shared = dir / "shared";
    std::filesystem::create_directory(shared);
    ASSERT_EQ(::chmod(shared.c_str(), 01777), 0);
    writeFile(dir / "victim.xlsx", "x");
    writeFile(shared / "plain.xlsx", "x");
    std::filesystem::create_symlink(dir / "victim.xlsx", shared / "planted.xlsx");
    ASSERT_EQ(::lchown((shared / "planted.xlsx").c_str(), 65534, 65534), 0);
    std::filesystem::create_symlink(dir / "victim.xlsx", shared / "mine.xlsx");

    Workspace ws;
    const auto passed = ListTargetBooks(ws, shared.string());

    EXPECT_EQ(texts(ws.targetBookList), (Names{"mine.xlsx", "plain.xlsx"}));
    ASSERT_EQ(passed.size(), 1u);
    EXPECT_THAT(passed[0], ::testing::StartsWith((shared / "planted.xlsx").string() + ": passed over"));
    // The same link in a folder that is not shared is the user's business.
    ASSERT_EQ(::chmod(shared.c_str(), 0755), 0);
    EXPECT_TRUE(ListTargetBooks(ws, shared.string()).empty());
    EXPECT_EQ(ws.targetBookList.count(), 3);
}

TEST(FolderScan, MissingOrEmptyFoldersListNothing)
{
    TempDir dir;
    Workspace ws;
    ws.sourceBookList.append("stale.xlsx");
    ListSourceBooks(ws, (dir / "gone").string());
    EXPECT_TRUE(ws.sourceBookList.empty());
    std::filesystem::create_directory(dir / "only-sub");
    std::filesystem::create_directory(dir / "only-sub" / "deeper");
    writeFile(dir / "only-sub" / "deeper" / "x.xlsx", "x");
    ListSourceBooks(ws, (dir / "only-sub").string());
    EXPECT_TRUE(ws.sourceBookList.empty()) << "sub-folders are not searched";
    writeFile(dir / "t.txt", "x");
    ListSourceBooks(ws, dir.path().string());
    EXPECT_TRUE(ws.sourceBookList.empty());
}

class Commands : public ::testing::Test {
protected:
    TempDir dir;
    Workspace ws;
    FakeHost host;
    FakeWorld world;

    std::string book(const std::string& name, const Names& sheets)
    {
        writeFakeBook(dir / name, sheets);
        return (dir / name).string();
    }
    void selectSource(const std::string& entry)
    {
        ws.sourceEntryList.append(entry);
        ws.sourceEntryList.select(ws.sourceEntryList.count());
        ListSourceBooks(ws, entry);
        LoadSourceSheets(ws, host, world.factory());
    }
};

TEST_F(Commands, LoadSourceSheetsListsWorksheetsOnlyInOrderAndQuits)
{
    selectSource(book("a.xlsx", {"One", "c:Chart", "Two"}));
    EXPECT_EQ(texts(ws.sourceSheetList), (Names{"One", "Two"}));
    EXPECT_TRUE(ws.sourceSheetList.row(1).checked);
    EXPECT_EQ(world.openNow, 0);
    EXPECT_EQ(world.quits, 1);
    EXPECT_TRUE(host.messages().empty());
}

TEST_F(Commands, LoadSourceSheetsReportsAWorkbookThatCannotBeOpened)
{
    writeFile(dir / "bad.xlsx", "not a workbook");
    selectSource((dir / "bad.xlsx").string());
    EXPECT_TRUE(ws.sourceSheetList.empty());
    ASSERT_EQ(host.messages().size(), 2u);
    EXPECT_THAT(host.messages()[0], ::testing::StartsWith("message(critical): " + (dir / "bad.xlsx").string()));
    EXPECT_EQ(host.messages()[1], "message(critical): Open excel file failed!");
    EXPECT_EQ(world.quits, 1) << "the server is quit";
}

TEST_F(Commands, SourceBookClickShowsTheBusyPointer)
{
    selectSource(dir.path().string());
    book("a.xlsx", {"One"});
    ListSourceBooks(ws, dir.path().string());
    host.calls.clear();
    SourceBookClick(ws, host, world.factory());
    EXPECT_EQ(host.calls.front(), "busy(on)");
    EXPECT_EQ(host.calls.back(), "busy(off)");
    EXPECT_EQ(texts(ws.sourceSheetList), Names{"One"});
}

TEST_F(Commands, CopyRowsAreNumberedAndNumbersAreNotReusedUntilEmptied)
{
    const auto a = book("a.xlsx", {"One", "Two", "Three"});
    selectSource(a);
    AddAllSheets(ws, host);
    ASSERT_EQ(ws.copySheetList.count(), 3);
    for (int i = 1; i <= 3; ++i) {
        EXPECT_EQ(ws.copySheetList.row(i).text, "");
        EXPECT_TRUE(ws.copySheetList.row(i).checked);
        EXPECT_EQ(ws.copySheetList.row(i).subItem(1), std::to_string(i));
        EXPECT_EQ(ws.sourcePathTable.at(i), a);
    }
    EXPECT_EQ(ws.copySheetList.row(2).subItem(2), "Two");

    ws.copySheetList.select(2);
    RemoveSelectedCopyRow(ws);
    EXPECT_EQ(ws.copySheetList.selectedPosition(), 1) << "the row above becomes selected";
    ws.sourceSheetList.select(1);
    AddSelectedSheet(ws, host);
    EXPECT_EQ(ws.copySheetList.row(3).subItem(1), "4") << "numbers are not reused";

    RemoveAllCopyRows(ws);
    EXPECT_TRUE(ws.copySheetList.empty());
    AddSelectedSheet(ws, host);
    EXPECT_EQ(ws.copySheetList.row(1).subItem(1), "1") << "after emptying the numbering starts again";
    EXPECT_EQ(ws.sourcePathTable.at(1), a);
    EXPECT_EQ(ws.sourcePathTable.at(2), "");

    RemoveSelectedCopyRow(ws);
    EXPECT_EQ(ws.copyRowCounter, 0) << "removing the only row empties the copy list";
}

TEST_F(Commands, RemovingTheFirstOfSeveralSelectsTheNewFirst)
{
    selectSource(book("a.xlsx", {"One", "Two", "Three"}));
    AddAllSheets(ws, host);
    ws.copySheetList.select(1);
    RemoveSelectedCopyRow(ws);
    EXPECT_EQ(ws.copySheetList.selectedPosition(), 1);
    EXPECT_EQ(ws.copySheetList.row(1).subItem(2), "Two");
}

TEST_F(Commands, AddingWithoutASourceWorkbookFails)
{
    AddSelectedSheet(ws, host);
    EXPECT_THAT(host.messages(), ElementsAre("message(critical): copy is failed!"));

    const auto a = book("a.xlsx", {"One", "Two"});
    selectSource(dir.path().string());
    ws.sourceBookList.select(1);
    LoadSourceSheets(ws, host, world.factory());
    std::filesystem::remove(a); // deleted after it was listed
    host.calls.clear();
    AddSelectedSheet(ws, host);
    AddAllSheets(ws, host);
    EXPECT_THAT(host.messages(), ElementsAre("message(critical): copy is failed!", "message(critical): Copy is failed!"));
    EXPECT_TRUE(ws.copySheetList.empty());
}

TEST_F(Commands, SameSheetTwiceAndSheetsOfTwoWorkbooks)
{
    const auto a = book("a.xlsx", {"One"});
    const auto b = book("b.xlsx", {"Other"});
    selectSource(a);
    AddSelectedSheet(ws, host);
    AddSelectedSheet(ws, host);
    selectSource(b);
    AddAllSheets(ws, host);
    ASSERT_EQ(ws.copySheetList.count(), 3);
    EXPECT_EQ(ws.copySheetList.row(2).subItem(1), "2");
    CopyRowClick(ws, host, 1);
    EXPECT_EQ(host.statusText, a);
    CopyRowClick(ws, host, 3);
    EXPECT_EQ(host.statusText, b);
}

TEST_F(Commands, AddExcelAndAddFolderUseTheChoosersAndTheirTitles)
{
    const auto a = book("a.xlsx", {"S1", "S2"});
    host.fileAnswers = {a, std::nullopt};
    host.folderAnswers = {dir.path().string(), std::string()};
    AddSourceExcel(ws, host, world.factory());
    AddSourceExcel(ws, host, world.factory()); // cancelled
    AddSourceFolder(ws, host, world.factory());
    AddSourceFolder(ws, host, world.factory()); // empty path
    EXPECT_THAT(host.calls, ::testing::IsSupersetOf({"chooseFile(Select Excel file)",
                                                     "chooseFolder(Add all source excel in folder)"}));
    EXPECT_EQ(texts(ws.sourceEntryList), (Names{a, dir.path().string()}));
    EXPECT_EQ(ws.sourceEntryList.row(1).smallIcon, WorkbookFileIcon);
    EXPECT_EQ(ws.sourceEntryList.row(2).smallIcon, FolderIcon);
    EXPECT_EQ(ws.sourceEntryList.selectedPosition(), 2);
    EXPECT_EQ(texts(ws.sourceBookList), Names{"a.xlsx"});
    EXPECT_EQ(texts(ws.sourceSheetList), (Names{"S1", "S2"}));

    host.folderAnswers = {dir.path().string()};
    host.fileAnswers = {a};
    AddTargetFolder(ws, host);
    AddTargetExcel(ws, host);
    EXPECT_THAT(host.calls, ::testing::Contains("chooseFolder(Add all Destination excel in folder)"));
    EXPECT_EQ(texts(ws.targetEntryList), (Names{dir.path().string(), a}));
    EXPECT_EQ(ws.targetEntryList.row(2).smallIcon, WorkbookFileIcon);
    EXPECT_EQ(texts(ws.targetBookList), Names{"a.xlsx"});

    // Each side's choosers open where that side last chose, at first in the home folder.
    const char* homeVar = std::getenv("HOME");
    const std::string home = homeVar ? homeVar : "";
    const std::string aFolder = std::filesystem::path(a).parent_path().string();
    EXPECT_EQ(host.chooserStarts,
              (Names{home, aFolder, aFolder, dir.path().string(), home, dir.path().string()}));
}

TEST_F(Commands, RemoveEntrySelectsTheRowAboveAndRelistsIt)
{
    TempDir one, two;
    writeFakeBook(one / "x.xlsx", {"X"});
    writeFakeBook(two / "y.xlsx", {"Y"});
    for (const auto& p : {one.path().string(), two.path().string(), (one / "x.xlsx").string()})
        ws.sourceEntryList.append(p);
    ws.sourceEntryList.select(2);
    RemoveSourceEntry(ws, host, world.factory());
    EXPECT_EQ(ws.sourceEntryList.selectedText(), one.path().string());
    EXPECT_EQ(texts(ws.sourceBookList), Names{"x.xlsx"});
    EXPECT_EQ(texts(ws.sourceSheetList), Names{"X"});

    ws.sourceEntryList.select(1);
    RemoveSourceEntry(ws, host, world.factory());
    EXPECT_EQ(ws.sourceEntryList.selectedPosition(), 1) << "removing the first selects the new first";

    // The last source entry goes: the copy rows keep their source paths.
    AddAllSheets(ws, host);
    RemoveSourceEntry(ws, host, world.factory());
    EXPECT_TRUE(ws.sourceEntryList.empty());
    EXPECT_TRUE(ws.sourceBookList.empty());
    EXPECT_TRUE(ws.sourceSheetList.empty());
    EXPECT_EQ(ws.copySheetList.count(), 1);
    EXPECT_EQ(ws.sourcePathTable.at(1), (one / "x.xlsx").string());

    ws.targetEntryList.append(one.path().string());
    ListTargetBooks(ws, one.path().string());
    RemoveTargetEntry(ws, host);
    EXPECT_TRUE(ws.targetBookList.empty());
}

TEST_F(Commands, MovesKeepIconsAndDoNothingAtTheEnds)
{
    ListModel entries;
    for (const char* p : {"/a", "/b", "/c"})
        entries.append(p);
    entries.setSmallIcon(3, MissingPathIcon);
    entries.select(1);
    MoveEntryUp(entries);
    EXPECT_EQ(texts(entries), (Names{"/a", "/b", "/c"}));
    entries.select(3);
    MoveEntryDown(entries);
    EXPECT_EQ(texts(entries), (Names{"/a", "/b", "/c"}));
    MoveEntryUp(entries);
    EXPECT_EQ(texts(entries), (Names{"/a", "/c", "/b"}));
    EXPECT_EQ(entries.row(2).smallIcon, MissingPathIcon);
    EXPECT_EQ(entries.selectedPosition(), 2);
    MoveEntryUp(entries);
    MoveEntryDown(entries);
    EXPECT_EQ(texts(entries), (Names{"/a", "/c", "/b"}));
}

TEST_F(Commands, EntryClicksRelistAndDeletedEntriesListNothingSilently)
{
    const auto a = book("a.xlsx", {"S"});
    ws.sourceEntryList.append(a);
    SourceEntryClick(ws, host, world.factory());
    EXPECT_EQ(texts(ws.sourceSheetList), Names{"S"});
    std::filesystem::remove(a);
    SourceEntryClick(ws, host, world.factory());
    EXPECT_TRUE(ws.sourceBookList.empty());
    EXPECT_TRUE(ws.sourceSheetList.empty());
    EXPECT_TRUE(host.messages().empty());

    ws.targetEntryList.append(dir.path().string());
    book("t.xlsx", {"T"});
    TargetEntryClick(ws, host);
    EXPECT_EQ(texts(ws.targetBookList), Names{"t.xlsx"});
}

TEST_F(Commands, RemoveAllLeftAndRight)
{
    selectSource(book("a.xlsx", {"S"}));
    AddAllSheets(ws, host);
    ws.targetEntryList.append(dir.path().string());
    ListTargetBooks(ws, dir.path().string());
    RemoveAllLeft(ws);
    EXPECT_TRUE(ws.sourceEntryList.empty() && ws.sourceBookList.empty() && ws.sourceSheetList.empty());
    EXPECT_TRUE(ws.copySheetList.empty());
    EXPECT_EQ(ws.copyRowCounter, 0);
    EXPECT_EQ(ws.sourcePathTable.at(1), "");
    EXPECT_FALSE(ws.targetBookList.empty());
    RemoveAllRight(ws);
    EXPECT_TRUE(ws.targetEntryList.empty() && ws.targetBookList.empty());
}

} // namespace
} // namespace tessaro
