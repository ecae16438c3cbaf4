// SPDX-License-Identifier: MIT
// The copy job on real workbooks when destinations fail: read-only, a folder where a
// workbook was listed, corrupt, deleted or replaced after listing or while the job works on
// them, in a folder that cannot be written, on a disk that fills up, and a job cancelled half
// way. Why a save is refused is the engine's test; this one is about what the job does then.
// Afterwards every destination is either exactly as before or complete and valid, every
// failure is in the one report at the end, and the others got their copies.
#include "copy/copy_job.h"
#include "lists/folder_scan.h"
#include "lists/workspace.h"
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"
#include "engine/zip/output_file.h"
#include "support/fake_host.h"
#include "support/other_process.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <algorithm>
#include <map>

namespace tessaro {
namespace {

using test::FakeHost;
using test::readFile;
using test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::StartsWith;
using Names = std::vector<std::string>;
namespace fs = std::filesystem;
namespace t = xlsx::test;

t::BookSpec book(const std::vector<std::string>& sheets, const std::string& text)
{
    t::BookSpec s;
    for (const auto& name : sheets)
        s.sheets.emplace_back(name, "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>42</v></c>"
                                    "</row></sheetData>");
    s.strings = {"<t>" + text + "</t>"};
    return s;
}

// A host that can act in the middle of a job, once, when the progress first reaches a
// given number of single copies.
class ActingHost : public FakeHost {
public:
    std::map<std::int64_t, std::function<void()>> atProgress;
    void setProgressValue(std::int64_t value) override
    {
        FakeHost::setProgressValue(value);
        if (auto it = atProgress.find(value); it != atProgress.end()) {
            auto action = std::move(it->second);
            atProgress.erase(it);
            action();
        }
    }
};

class CopyFaults : public ::testing::Test {
protected:
    TempDir app, src, dst;
    Workspace ws;
    ActingHost host;
    xlsx::EngineOptions options;
    std::map<std::string, std::string> original;
    std::string ownSheet;  // the destinations' own sheet part, the same in all of them

    void SetUp() override
    {
        ws.appDir = app.path();
        options.lockWait = std::chrono::milliseconds(100);
        t::writeWorkbook(src / "source.xlsx", book({"Data", "Extra"}, "from the source"));
        for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"}) {
            t::writeWorkbook(dst / name, book({"Own"}, std::string("own of ") + name));
            original[name] = readFile(dst / name);
        }
        ownSheet = t::readZip(dst / "a.xlsx").at("xl/worksheets/sheet1.xml");
    }

    void addRow(const std::string& sheet)
    {
        ++ws.copyRowCounter;
        const int r = ws.copySheetList.append("");
        ws.copySheetList.setChecked(r, true);
        ws.copySheetList.setSubItem(r, 1, std::to_string(ws.copyRowCounter));
        ws.copySheetList.setSubItem(r, 2, sheet);
        ws.sourcePathTable.set(ws.copyRowCounter, (src / "source.xlsx").string());
    }

    void listDestinations()
    {
        ws.targetEntryList.append(dst.path().string());
        ListTargetBooks(ws, dst.path().string());
    }

    CopyJobOutcome run() { return CopyJob(ws, host, xlsx::nativeAutomationFactory(options)); }

    std::string path(const std::string& name) const { return (dst / name).string(); }

    // The workbook opens, its own sheet is intact and the copies stand behind it.
    void expectComplete(const std::string& name, const Names& copies)
    {
        SCOPED_TRACE(name);
        auto parts = t::readZip(dst / name);  // every entry decompresses and passes its checksum
        EXPECT_EQ(parts.at("xl/worksheets/sheet1.xml"), ownSheet) << "the destination's own sheet is byte for byte as it was";
        auto server = xlsx::nativeAutomationFactory()();
        WorkbookRef b = server->open(dst / name);
        Names sheets;
        for (int i = 1; i <= server->worksheetCount(b); ++i)
            sheets.push_back(server->worksheetName(b, i));
        server->quit();
        Names expected{"Own"};
        expected.insert(expected.end(), copies.begin(), copies.end());
        EXPECT_EQ(sheets, expected);
    }

    void expectAsBefore(const std::string& name) { EXPECT_EQ(readFile(dst / name), original.at(name)) << name; }

    bool keepsOnlyUndo() const
    {
        for (const auto& e : fs::directory_iterator(app.path()))
            if (e.path().filename() != "undo")
                return false;
        return true;
    }

    // Nothing but the destinations (and what the test put there) in their folder.
    void expectNoLeftovers(Names expected = {"a.xlsx", "b.xlsx", "c.xlsx"})
    {
        Names found;
        for (const auto& e : fs::directory_iterator(dst.path()))
            found.push_back(e.path().filename().string());
        std::sort(found.begin(), found.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected);
        EXPECT_TRUE(keepsOnlyUndo()) << "the program's folder keeps nothing but the way back";
    }
};

TEST_F(CopyFaults, CorruptSecondOfThreeLeavesTheOthersCopiedAndItselfUntouched)
{
    addRow("Data");
    listDestinations();
    test::writeFile(dst / "b.xlsx", "PK\x03\x04 this is no longer a workbook");
    original["b.xlsx"] = readFile(dst / "b.xlsx");

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data"});
    expectAsBefore("b.xlsx");
    expectComplete("c.xlsx", {"Data"});
    expectNoLeftovers();
    EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 2 of 3 sheets; 1 failed."));
    ASSERT_EQ(host.details().size(), 1u);
    EXPECT_THAT(host.details()[0], StartsWith("Copy Data to b.xlsx failure: " + path("b.xlsx") + ": "));
    EXPECT_EQ(ws.lastTargetName, "b.xlsx") << "the failed destination, as before";
    EXPECT_EQ(host.progressValues(), (std::vector<std::int64_t>{1, 2, 3, 0})) << "every attempted copy counts";
    EXPECT_EQ(outcome.copiesMade, 2);
    EXPECT_EQ(outcome.copiesFailed, 1);
}

TEST_F(CopyFaults, ReadOnlyDestinationAcrossThreeRowsGivesThreeLinesInOneReport)
{
    addRow("Data");
    addRow("Extra");
    addRow("Data");
    listDestinations();
    fs::permissions(dst / "b.xlsx", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data", "Extra", "Data (2)"});
    expectAsBefore("b.xlsx");
    expectComplete("c.xlsx", {"Data", "Extra", "Data (2)"});
    expectNoLeftovers();
    EXPECT_EQ(outcome.rowsFailed, 3);
    EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 6 of 9 sheets; 3 failed."));
    const std::string why = path("b.xlsx") + ": the file is read-only, so nothing was saved into it; the file was "
                                             "left as it was";
    EXPECT_THAT(host.details(), ElementsAre("Copy Data to b.xlsx failure: " + why,
                                            "Copy Extra to b.xlsx failure: " + why,
                                            "Copy Data to b.xlsx failure: " + why));
}

TEST_F(CopyFaults, CancelAfterTheFirstOfFiftyDestinationsLeavesTheRestUntouched)
{
    for (int i = 4; i <= 50; ++i) {
        const std::string name = "d" + std::to_string(i) + ".xlsx";
        t::writeWorkbook(dst / name, book({"Own"}, "own of " + name));
        original[name] = readFile(dst / name);
    }
    addRow("Data");
    addRow("Extra");
    listDestinations();
    ws.copyCount = 2;
    // The user cancels while the first destination is being written.
    host.atProgress[1] = [&] { host.cancel = true; };

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data", "Data (2)"});
    for (const auto& [name, content] : original)
        if (name != "a.xlsx")
            expectAsBefore(name);
    EXPECT_TRUE(outcome.cancelled);
    EXPECT_EQ(outcome.copiesMade, 2);
    EXPECT_THAT(host.messages(), ElementsAre("report(info): Copied 2 of 200 sheets; the rest (198) was cancelled."));
    EXPECT_TRUE(keepsOnlyUndo());
}

TEST_F(CopyFaults, AFolderWhereAWorkbookWasListedIsReportedAndTheOthersAreCopied)
{
    addRow("Data");
    listDestinations();
    fs::remove(dst / "b.xlsx");
    fs::create_directory(dst / "b.xlsx");

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data"});
    expectComplete("c.xlsx", {"Data"});
    EXPECT_TRUE(fs::is_directory(dst / "b.xlsx"));
    EXPECT_TRUE(fs::is_empty(dst / "b.xlsx"));
    EXPECT_THAT(host.details(),
                ElementsAre("Copy Data to b.xlsx failure: " + path("b.xlsx") +
                            ": this destination is a folder now, not a workbook file, so nothing was copied into it."));
    EXPECT_EQ(outcome.rowsFailed, 1);
}

TEST_F(CopyFaults, DeletedAfterListingIsReportedAndTheOthersAreCopied)
{
    addRow("Data");
    addRow("Extra");
    listDestinations();
    fs::remove(dst / "a.xlsx");

    const auto outcome = run();

    EXPECT_FALSE(fs::exists(dst / "a.xlsx")) << "a deleted destination is not made again";
    expectComplete("b.xlsx", {"Data", "Extra"});
    expectComplete("c.xlsx", {"Data", "Extra"});
    EXPECT_EQ(outcome.rowsFailed, 2);
    ASSERT_EQ(host.details().size(), 2u);
    EXPECT_THAT(host.details().at(0), StartsWith("Copy Data to a.xlsx failure: " + path("a.xlsx") +
                                                 ": this destination workbook does not exist any more"));
    expectNoLeftovers({"b.xlsx", "c.xlsx"});
}

TEST_F(CopyFaults, ReplacedAfterListingIsTakenAsItIsWhenTheJobReachesIt)
{
    addRow("Data");
    listDestinations();
    // Another workbook now has that name: it gets the copies. A file that is not a
    // workbook is refused and left alone.
    t::writeWorkbook(dst / "a.xlsx", book({"Own"}, "a new a.xlsx"));
    test::writeFile(dst / "b.xlsx", "not a workbook any more");

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data"});
    EXPECT_EQ(readFile(dst / "b.xlsx"), "not a workbook any more");
    expectComplete("c.xlsx", {"Data"});
    EXPECT_EQ(outcome.rowsFailed, 1);
    ASSERT_EQ(host.details().size(), 1u);
    EXPECT_THAT(host.details().at(0), HasSubstr(path("b.xlsx") + ": this file is not a workbook package"));
    expectNoLeftovers();
}

TEST_F(CopyFaults, ReplacedOrDeletedWhileTheJobWorksOnItKeepsWhatTheOtherProgramLeft)
{
    addRow("Data");
    addRow("Extra");
    listDestinations();
    // Progress counts single copies over the job: a, b, c in each row. Between the copy
    // into b.xlsx and its save in the first row, another program saves its own b.xlsx;
    // between the copy into c.xlsx and its save in the second row, someone deletes c.xlsx.
    host.atProgress[2] = [&] {
        t::writeWorkbook(dst / "theirs.tmp", book({"Theirs"}, "their work"));
        fs::rename(dst / "theirs.tmp", dst / "b.xlsx");
    };
    host.atProgress[6] = [&] { fs::remove(dst / "c.xlsx"); };

    const auto outcome = run();

    EXPECT_EQ(outcome.rowsFailed, 2);
    const auto details = host.details();
    ASSERT_EQ(details.size(), 2u);
    EXPECT_THAT(details[0], StartsWith("Copy Data to b.xlsx failure: " + path("b.xlsx") +
                                       ": the file was changed, replaced or removed by another program after it was "
                                       "opened"));
    EXPECT_THAT(details[1], StartsWith("Copy Extra to c.xlsx failure: " + path("c.xlsx") +
                                       ": the file was changed, replaced or removed"));
    expectComplete("a.xlsx", {"Data", "Extra"});
    // The other program's b.xlsx lost nothing: the second row's copy went into it.
    auto server = xlsx::nativeAutomationFactory()();
    WorkbookRef b = server->open(dst / "b.xlsx");
    EXPECT_EQ(server->worksheetCount(b), 2);
    EXPECT_EQ(server->worksheetName(b, 1), "Theirs");
    EXPECT_EQ(server->worksheetName(b, 2), "Extra");
    server->quit();
    EXPECT_FALSE(fs::exists(dst / "c.xlsx")) << "a deleted destination is not made again";
    expectNoLeftovers({"a.xlsx", "b.xlsx"});
}

// Runs `action` when the save has written everything and flushes it, just before the new
// file takes the old one's place: the moment a slow save is most exposed.
class ActingOutputFile final : public xlsx::OutputFile {
public:
    ActingOutputFile(std::unique_ptr<xlsx::OutputFile> inner, std::function<void()> action)
        : inner_(std::move(inner)), action_(std::move(action)) {}
    void write(const void* data, std::size_t size) override { inner_->write(data, size); }
    void copyFrom(int fd, std::uint64_t offset, std::uint64_t size) override { inner_->copyFrom(fd, offset, size); }
    void sync() override
    {
        inner_->sync();
        action_();
    }
    std::uint64_t position() const override { return inner_->position(); }

private:
    std::unique_ptr<xlsx::OutputFile> inner_;
    std::function<void()> action_;
};

TEST_F(CopyFaults, AnotherProgramsSaveDuringTheWritingIsKeptAndReported)
{
    addRow("Data");
    listDestinations();
    t::writeWorkbook(dst / "theirs.tmp", book({"Theirs"}, "their work"));
    const std::string theirs = readFile(dst / "theirs.tmp");
    auto saves = std::make_shared<int>(0);
    options.outputWrapper = [&, saves](std::unique_ptr<xlsx::OutputFile> inner) -> std::unique_ptr<xlsx::OutputFile> {
        if (++*saves != 2)
            return inner;
        return std::make_unique<ActingOutputFile>(std::move(inner),
                                                  [&] { fs::rename(dst / "theirs.tmp", dst / "b.xlsx"); });
    };

    const auto outcome = run();

    EXPECT_EQ(readFile(dst / "b.xlsx"), theirs);
    ASSERT_EQ(host.details().size(), 1u);
    EXPECT_THAT(host.details()[0], StartsWith("Copy Data to b.xlsx failure: " + path("b.xlsx") +
                                              ": the file was changed, replaced or removed by another program"));
    EXPECT_EQ(outcome.copiesMade, 2);
    expectComplete("a.xlsx", {"Data"});
    expectComplete("c.xlsx", {"Data"});
    expectNoLeftovers();
}

TEST_F(CopyFaults, FullDiskDuringOneSaveFailsThatDestinationOnlyAndLeavesTheFileAsItWas)
{
    addRow("Data");
    addRow("Extra");
    listDestinations();
    // The disk is full during the second save of the job (b.xlsx in the first row) and has
    // room again afterwards.
    auto saves = std::make_shared<int>(0);
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{700}}) {
        *saves = 0;
        options.outputWrapper = [saves, limit](std::unique_ptr<xlsx::OutputFile> inner) -> std::unique_ptr<xlsx::OutputFile> {
            if (++*saves != 2)
                return inner;
            return std::make_unique<xlsx::FailingOutputFile>(std::move(inner), limit, ENOSPC);
        };
        for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"})
            test::writeFile(dst / name, original[name]);
        host.calls.clear();

        const auto outcome = run();

        SCOPED_TRACE(limit);
        expectComplete("a.xlsx", {"Data", "Extra"});
        expectComplete("b.xlsx", {"Extra"});
        expectComplete("c.xlsx", {"Data", "Extra"});
        expectNoLeftovers();
        EXPECT_EQ(outcome.rowsFailed, 1);
        EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 5 of 6 sheets; 1 failed."));
        ASSERT_EQ(host.details().size(), 1u);
        EXPECT_THAT(host.details()[0], StartsWith("Copy Data to b.xlsx failure: " + path("b.xlsx") + ": the disk is full"));
    }
}

TEST_F(CopyFaults, DestinationsInAFolderThatCannotBeWritten)
{
    addRow("Data");
    listDestinations();
    for (const auto& d : {app.path(), src.path()})
        fs::permissions(d, fs::perms::all);
    fs::permissions(src / "source.xlsx", fs::perms::all);
    for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"})
        fs::permissions(dst / name, fs::perms::all);
    fs::permissions(dst.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    const std::string result = test::asOrdinaryUser([&] {
        CopyJobOutcome outcome = run();
        std::string text = std::to_string(outcome.copiesFailed);
        for (const auto& m : host.details())
            text += "\n" + m;
        return text;
    });

    EXPECT_THAT(result, StartsWith("3\nCopy Data to a.xlsx failure: " + path("a.xlsx") +
                                   ": the folder of the file cannot be written to"));
    for (const char* name : {"a.xlsx", "b.xlsx", "c.xlsx"})
        expectAsBefore(name);
    expectNoLeftovers();
}

} // namespace
} // namespace tessaro
