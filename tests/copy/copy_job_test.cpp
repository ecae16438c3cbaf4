// SPDX-License-Identifier: MIT
// The copy job and the per-row copy operation, over a fake spreadsheet server whose
// workbooks are plain lists of sheet names: what lands where, in which order, what the
// user is told, and that every workbook opened is closed again.
#include "copy/copy_job.h"
#include "copy/workbook_copy.h"
#include "lists/folder_scan.h"
#include "lists/workspace.h"
#include "support/fake_automation.h"
#include "support/fake_host.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <unistd.h>

namespace tessaro {
namespace {

using test::FakeHost;
using test::FakeWorld;
using test::readFakeBook;
using test::TempDir;
using test::writeFakeBook;
using ::testing::ElementsAre;
using Names = std::vector<std::string>;

class CopyJobTest : public ::testing::Test {
protected:
    TempDir app;
    TempDir src;
    TempDir dst;
    Workspace ws;
    FakeHost host;
    FakeWorld world;

    void SetUp() override { ws.appDir = app.path(); }

    std::string srcBook(const std::string& name, const Names& sheets)
    {
        writeFakeBook(src / name, sheets);
        return (src / name).string();
    }
    std::string dstBook(const std::string& name, const Names& sheets)
    {
        writeFakeBook(dst / name, sheets);
        return (dst / name).string();
    }
    // A copy row as the sheet selection adds it.
    void addRow(const std::string& sourcePath, const std::string& sheet, bool checked = true)
    {
        ++ws.copyRowCounter;
        const int r = ws.copySheetList.append("");
        ws.copySheetList.setChecked(r, checked);
        ws.copySheetList.setSubItem(r, 1, std::to_string(ws.copyRowCounter));
        ws.copySheetList.setSubItem(r, 2, sheet);
        ws.sourcePathTable.set(ws.copyRowCounter, sourcePath);
    }
    void targetFolder(const std::string& folder)
    {
        ws.targetEntryList.append(folder);
        ListTargetBooks(ws, folder);
    }
    void uncheckTarget(const std::string& name)
    {
        for (int i = 1; i <= ws.targetBookList.count(); ++i)
            if (ws.targetBookList.row(i).text == name)
                ws.targetBookList.setChecked(i, false);
    }
    CopyJobOutcome run() { return CopyJob(ws, host, world.factory()); }
};

TEST_F(CopyJobTest, OneRowTwoDestinationsThreeCopiesCountsProgressToSix)
{
    addRow(srcBook("s.xlsx", {"Data", "Other"}), "Data");
    dstBook("a.xlsx", {"A1"});
    dstBook("b.xlsx", {"B1", "B2"});
    targetFolder(dst.path().string());
    ws.copyCount = 3;

    const auto outcome = run();

    EXPECT_EQ(host.progressMaximum, 6);
    EXPECT_THAT(host.progressValues(), ElementsAre(1, 2, 3, 4, 5, 6, 0));
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Copy Complete!"));
    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"A1", "Data", "Data (2)", "Data (3)"}));
    EXPECT_EQ(readFakeBook(dst / "b.xlsx"), (Names{"B1", "B2", "Data", "Data (2)", "Data (3)"}));
    EXPECT_EQ(readFakeBook(src / "s.xlsx"), (Names{"Data", "Other"})) << "the source is never saved";
    EXPECT_EQ(outcome.rowsCopied, 1);
    EXPECT_EQ(outcome.rowsFailed, 0);
    EXPECT_EQ(world.openNow, 0);
    EXPECT_EQ(world.instances, 1) << "one server instance per copy row";
    EXPECT_EQ(world.quits, 1);
    EXPECT_EQ(host.calls.front(), "status()") << "the status line is cleared first";
}

TEST_F(CopyJobTest, CopyBeforePutsAllRowsAtTheFrontInListOrder)
{
    const auto s = srcBook("s.xlsx", {"One", "Two", "Three"});
    addRow(s, "One");
    addRow(s, "Two");
    addRow(s, "Three");
    dstBook("a.xlsx", {"X", "Y"});
    dstBook("b.xlsx", {"Z"});
    targetFolder(dst.path().string());
    ws.copyPosition = kCopyBefore;
    ws.copyCount = 2;

    run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"One", "One (2)", "Two", "Two (2)", "Three", "Three (2)", "X", "Y"}));
    EXPECT_EQ(readFakeBook(dst / "b.xlsx"), (Names{"One", "One (2)", "Two", "Two (2)", "Three", "Three (2)", "Z"}));
    // Rows are handed over last to first.
    std::vector<std::string> opens;
    for (const auto& l : world.log)
        if (l.rfind("open " + s, 0) == 0)
            opens.push_back(l);
    EXPECT_EQ(opens.size(), 3u);
}

TEST_F(CopyJobTest, CopyAfterAppendsAllRowsInListOrder)
{
    const auto s = srcBook("s.xlsx", {"One", "Two", "Three"});
    addRow(s, "One");
    addRow(s, "Two");
    addRow(s, "Three");
    dstBook("a.xlsx", {"X", "Y"});
    targetFolder(dst.path().string());

    run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"X", "Y", "One", "Two", "Three"}));
}

TEST_F(CopyJobTest, UncheckedRowsAndDestinationsAreSkippedInBothOrders)
{
    for (int position : {kCopyAfter, kCopyBefore}) {
        SCOPED_TRACE(position);
        ws = Workspace();
        ws.appDir = app.path();
        host = FakeHost();
        const auto s = srcBook("s.xlsx", {"One", "Two", "Three"});
        addRow(s, "One");
        addRow(s, "Two", /*checked=*/false);
        addRow(s, "Three");
        dstBook("a.xlsx", {"X"});
        dstBook("b.xlsx", {"Y"});
        targetFolder(dst.path().string());
        uncheckTarget("b.xlsx");
        ws.copyPosition = position;

        run();

        if (position == kCopyAfter)
            EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"X", "One", "Three"}));
        else
            EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"One", "Three", "X"}));
        EXPECT_EQ(readFakeBook(dst / "b.xlsx"), (Names{"Y"}));
        EXPECT_EQ(host.progressMaximum, 2);
        EXPECT_THAT(host.messages(), ElementsAre("message(info): Copy Complete!"));
    }
}

TEST_F(CopyJobTest, ErrorInSecondOfThreeDestinationsLeavesItAsItWasAndTheRowGoesOn)
{
    addRow(srcBook("s.xlsx", {"Data"}), "Data");
    dstBook("a.xlsx", {"A"});
    const auto b = dstBook("b.xlsx", {"B"});
    dstBook("c.xlsx", {"C"});
    targetFolder(dst.path().string());
    world.failSave.insert(b);
    ws.copyCount = 2;

    const auto outcome = run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"A", "Data", "Data (2)"}));
    EXPECT_EQ(readFakeBook(dst / "b.xlsx"), (Names{"B"}));
    EXPECT_EQ(readFakeBook(dst / "c.xlsx"), (Names{"C", "Data", "Data (2)"}));
    EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 4 of 6 sheets; 2 failed."));
    EXPECT_THAT(host.details(), ElementsAre("Copy Data to b.xlsx failure: " + b + ": cannot be saved (injected)"));
    EXPECT_THAT(host.progressValues(), ElementsAre(1, 2, 3, 4, 4, 5, 6, 0));
    EXPECT_EQ(outcome.rowsFailed, 1);
    EXPECT_EQ(ws.lastTargetName, "b.xlsx");
    EXPECT_EQ(world.openNow, 0) << "the failed destination is closed unsaved";
    EXPECT_EQ(world.quits, 1);
}

TEST_F(CopyJobTest, RowThatCannotStartFailsAsAWholeWithoutBlamingADestination)
{
    const auto s = srcBook("s.xlsx", {"Data"});
    addRow(s, "Data");
    addRow(s, "Nope");
    dstBook("a.xlsx", {"A"});
    dstBook("b.xlsx", {"B"});
    targetFolder(dst.path().string());

    const auto outcome = run();

    EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 2 of 4 sheets; 2 failed."));
    ASSERT_EQ(host.details().size(), 1u);
    EXPECT_THAT(host.details()[0], ::testing::StartsWith("Copy Nope failure: "));
    EXPECT_THAT(host.details()[0], ::testing::HasSubstr("Nope"));
    EXPECT_EQ(outcome.rowsFailed, 1);
    EXPECT_EQ(world.openNow, 0);
}

TEST_F(CopyJobTest, MissingSourceIsAFailureNamingThePath)
{
    const auto s = srcBook("s.xlsx", {"Data"});
    addRow(s, "Data");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    std::filesystem::remove(s);

    const auto outcome = run();

    EXPECT_THAT(host.details(), ElementsAre("Copy Data failure: " + s +
                                            ": the source workbook does not exist."));
    EXPECT_EQ(outcome.rowsFailed, 1);
    EXPECT_EQ(world.instances, 0) << "nothing was opened";
    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"A"}));
}

TEST_F(CopyJobTest, CancelStopsBetweenRowsAndSaysWhatWasDone)
{
    const auto s = srcBook("s.xlsx", {"One", "Two"});
    addRow(s, "One");
    addRow(s, "Two");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    world.onCopy = [&] { host.cancel = true; };

    const auto outcome = run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"A", "One"}));
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.rowsCopied, 1);
    EXPECT_THAT(host.messages(), ElementsAre("report(info): Copied 1 of 2 sheets; the rest (1) was cancelled."));
    EXPECT_EQ(world.openNow, 0);
}

TEST_F(CopyJobTest, CopyAfterAppendsBehindATrailingChartsheet)
{
    addRow(srcBook("s.xlsx", {"Data"}), "Data");
    dstBook("a.xlsx", {"W1", "W2", "c:Chart"});
    targetFolder(dst.path().string());
    ws.copyCount = 2;

    run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"W1", "W2", "c:Chart", "Data", "Data (2)"}));
}

TEST_F(CopyJobTest, SheetsFromTwoSourceWorkbooks)
{
    addRow(srcBook("one.xlsx", {"Alpha"}), "Alpha");
    addRow(srcBook("two.xlsx", {"Beta"}), "Beta");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());

    run();

    EXPECT_EQ(readFakeBook(dst / "a.xlsx"), (Names{"A", "Alpha", "Beta"}));
    EXPECT_EQ(world.instances, 2);
}

TEST_F(CopyJobTest, DestinationEqualToSourceReceivesCopiesInTheOpenSource)
{
    const auto s = srcBook("s.xlsx", {"Data", "Other"});
    addRow(s, "Data");
    ws.targetEntryList.append(s);
    ListTargetBooks(ws, s);
    ws.copyCount = 2;

    run();

    EXPECT_EQ(readFakeBook(src / "s.xlsx"), (Names{"Data", "Other", "Data (2)", "Data (3)"}));
    EXPECT_EQ(std::count(world.log.begin(), world.log.end(), "open " + s), 1) << "not opened a second time";
    EXPECT_EQ(world.openNow, 0);
}

TEST_F(CopyJobTest, SameBaseNameElsewhereGoesThroughATemporaryCopyThatIsGoneAfter)
{
    const auto s = srcBook("Report.xlsx", {"Data"});
    addRow(s, "Data");
    dstBook("Report.xls", {"R"}); // same base name, other extension, other folder
    targetFolder(dst.path().string());

    run();

    // The copy lives in a folder of the job's own inside the program's folder, gone after.
    const std::string jobFolder = (app / ".tessaro-job-").string() + std::to_string(::getpid()) + "-";
    const auto saved = std::find_if(world.log.begin(), world.log.end(), [&](const std::string& line) {
        return line.starts_with("saveAs " + s + " -> " + jobFolder) && line.ends_with("/(Report)_myorvandels.xlsx");
    });
    ASSERT_NE(saved, world.log.end());
    const std::string temp = saved->substr(saved->find(" -> ") + 4);
    EXPECT_THAT(world.log, ::testing::Contains("open " + temp));
    for (const auto& e : std::filesystem::directory_iterator(app.path()))
        EXPECT_EQ(e.path().filename(), "undo") << "the job's folder exists only during the job";
    EXPECT_EQ(readFakeBook(dst / "Report.xls"), (Names{"R", "Data"}));
    EXPECT_EQ(readFakeBook(src / "Report.xlsx"), (Names{"Data"}));
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Copy Complete!"));
}

TEST_F(CopyJobTest, SourceAsDestinationBesideASameNamedOneGetsItsOwnCopies)
{
    // One folder holds the source Report.xlsx and another Report.xls, and both are ticked
    // destinations: the source is worked on through its temporary copy, and the source file
    // itself must still receive its copies, not the temporary copy deleted afterwards.
    const auto s = srcBook("Report.xlsx", {"Data"});
    writeFakeBook(src / "Report.xls", {"Other"});
    addRow(s, "Data");
    targetFolder(src.path().string());
    ASSERT_EQ(TempCopyName(ws, s), "(Report)_myorvandels.xlsx");

    run();

    EXPECT_EQ(readFakeBook(src / "Report.xlsx"), (Names{"Data", "Data (2)"})) << "the source got its copy";
    EXPECT_EQ(readFakeBook(src / "Report.xls"), (Names{"Other", "Data"}));
    EXPECT_FALSE(std::filesystem::exists(app / "(Report)_myorvandels.xlsx"));
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Copy Complete!"));
    EXPECT_EQ(world.openNow, 0);
}

TEST_F(CopyJobTest, ChecksComeBeforeAnyWork)
{
    run();
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Please select some excel files to copy!"));

    host = FakeHost();
    addRow(srcBook("s.xlsx", {"Data"}), "Data", false);
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    run();
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Please select some excel files to copy!"));

    host = FakeHost();
    ws.copySheetList.setChecked(1, true);
    uncheckTarget("a.xlsx");
    run();
    EXPECT_THAT(host.messages(), ElementsAre("message(info): Please select destination excel files!"));
    EXPECT_EQ(world.instances, 0);
}

TEST_F(CopyJobTest, CountZeroOpensNothingAndSaysSo)
{
    addRow(srcBook("s.xlsx", {"Data"}), "Data");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    ws.copyCount = 0;

    const auto outcome = run();

    EXPECT_THAT(host.messages(), ElementsAre("message(info): Nothing to copy: the number of copies is 0."));
    EXPECT_EQ(world.instances, 0);
    EXPECT_FALSE(outcome.started);
}

TEST_F(CopyJobTest, ReplaceWithMoreThanOneCopyOpensNothingAndSaysSo)
{
    addRow(srcBook("s.xlsx", {"Data"}), "Data");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    ws.copyPosition = kCopyReplace;
    ws.copyCount = 2;

    const auto outcome = run();

    EXPECT_THAT(host.messages(),
                ElementsAre("message(info): Replace Same Name makes one copy of each sheet: set the number of "
                            "copies to 1."));
    EXPECT_EQ(world.instances, 0);
    EXPECT_FALSE(outcome.started);
}

TEST_F(CopyJobTest, ProgressMaximumIsComputedIn64Bits)
{
    const auto s = srcBook("s.xlsx", {"Data"});
    for (int i = 0; i < 3; ++i)
        addRow(s, "Data");
    dstBook("a.xlsx", {"A"});
    targetFolder(dst.path().string());
    ws.copyCount = 2000000000;
    world.failOpen.insert(s); // stop before any copy is made
    run();
    EXPECT_EQ(host.progressMaximum, 6000000000LL);
}

TEST(TargetBookPathTest, ResolvesFileAndFolderEntriesAndSetsLastTargetName)
{
    TempDir dir;
    writeFakeBook(dir / "a.xlsx", {"A"});
    Workspace ws;
    ws.targetEntryList.append(dir.path().string());
    ListTargetBooks(ws, dir.path().string());
    ws.targetBookList.append("gone.xlsx");
    EXPECT_EQ(TargetBookPath(ws, 1), (dir / "a.xlsx").string());
    EXPECT_EQ(ws.lastTargetName, "a.xlsx");
    ws.targetEntryList.setText(1, dir.path().string() + "/");
    EXPECT_EQ(TargetBookPath(ws, 1), (dir / "a.xlsx").string()) << "trailing separator or not, the same path";
    EXPECT_EQ(TargetBookPath(ws, 2), "");
    EXPECT_EQ(ws.lastTargetName, "gone.xlsx");

    ws.targetEntryList.setText(1, (dir / "a.xlsx").string());
    EXPECT_EQ(TargetBookPath(ws, 2), (dir / "a.xlsx").string()) << "a file entry is every row's path";
    ws.targetEntryList.setText(1, "/nowhere");
    EXPECT_EQ(TargetBookPath(ws, 1), "");
}

TEST(TempCopyNameTest, MatchesCheckedRowsWithTheSameBaseElsewhere)
{
    TempDir dir;
    writeFakeBook(dir / "Report.xls", {"A"});
    writeFakeBook(dir / "report.xlsx", {"A"});
    Workspace ws;
    ws.targetEntryList.append(dir.path().string());
    ListTargetBooks(ws, dir.path().string());
    EXPECT_EQ(TempCopyName(ws, "/data/Report.xls"), "(Report)_myorvandels.xls");
    EXPECT_EQ(TempCopyName(ws, "/data/Other.xls"), "");
    EXPECT_EQ(TempCopyName(ws, (dir / "Report.xls").string()), "") << "the source itself does not count";
    ws.targetBookList.setChecked(1, false);
    EXPECT_EQ(TempCopyName(ws, "/data/Report.xls"), "") << "only checked rows count; case matters";
    ws.lastTargetName = "kept";
    TempCopyName(ws, "/data/report.xls");
    EXPECT_EQ(ws.lastTargetName, "kept") << "the scan does not move LastTargetName";
}

TEST(CopyNumberBox, LostFocusRule)
{
    Workspace ws;
    EXPECT_EQ(CopyNumberLostFocus(ws, "2"), std::nullopt);
    EXPECT_EQ(ws.copyCount, 2);
    CopyNumberLostFocus(ws, "  7 ");
    EXPECT_EQ(ws.copyCount, 7) << "blanks allowed";
    CopyNumberLostFocus(ws, "2.5");
    EXPECT_EQ(ws.copyCount, 2) << "halves to even";
    CopyNumberLostFocus(ws, "3.5");
    EXPECT_EQ(ws.copyCount, 4);
    EXPECT_EQ(CopyNumberLostFocus(ws, "-4"), std::optional<std::string>("0"));
    EXPECT_EQ(ws.copyCount, 0);
    ws.copyCount = 5;
    EXPECT_EQ(CopyNumberLostFocus(ws, "abc"), std::nullopt) << "the box keeps the text";
    EXPECT_EQ(ws.copyCount, 5);
    CopyNumberLostFocus(ws, "");
    EXPECT_EQ(ws.copyCount, 5);
    CopyNumberLostFocus(ws, "99999999999");
    EXPECT_EQ(ws.copyCount, 5) << "outside 32 bits";
    CopyNumberLostFocus(ws, "1e2");
    EXPECT_EQ(ws.copyCount, 100);
    CopyNumberLostFocus(ws, "-0.4");
    EXPECT_EQ(ws.copyCount, 0);
}

} // namespace
} // namespace tessaro
