// SPDX-License-Identifier: MIT
// The copy job on real workbooks when destinations fail: read-only, a folder where a
// workbook was listed, deleted or replaced after listing or while the job works on them, on
// a disk that fills up. Why a save is refused is the engine's test; this one is about what
// the job does then. Afterwards every destination is either exactly as before or complete
// and valid, every failure is reported, and the job goes on: with the other destinations for
// a destination that is gone, with the next row after an error of the engine (which ends
// its row).
#include "copy/copy_job.h"
#include "lists/folder_scan.h"
#include "lists/workspace.h"
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"
#include "engine/zip/output_file.h"
#include "support/fake_host.h"
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

// A host that can act in the middle of a job, after a given number of single copies.
class ActingHost : public FakeHost {
public:
    std::map<std::int64_t, std::function<void()>> atProgress;
    void setProgressValue(std::int64_t value) override
    {
        FakeHost::setProgressValue(value);
        if (auto it = atProgress.find(value); it != atProgress.end())
            it->second();
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

    // Nothing but the destinations (and what the test put there) in their folder.
    void expectNoLeftovers(Names expected = {"a.xlsx", "b.xlsx", "c.xlsx"})
    {
        Names found;
        for (const auto& e : fs::directory_iterator(dst.path()))
            found.push_back(e.path().filename().string());
        std::sort(found.begin(), found.end());
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(found, expected);
        EXPECT_TRUE(fs::is_empty(app.path())) << "the program's folder keeps nothing";
    }
};

TEST_F(CopyFaults, ReadOnlyDestinationFailsEachRowThatReachesItAndTheJobGoesOn)
{
    addRow("Data");
    addRow("Extra");
    listDestinations();
    fs::permissions(dst / "b.xlsx", fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data", "Extra"});
    expectAsBefore("b.xlsx");
    // An engine error ends its row: c.xlsx is not reached in either row.
    expectAsBefore("c.xlsx");
    expectNoLeftovers();
    EXPECT_EQ(outcome.rowsCopied, 2);
    EXPECT_EQ(outcome.rowsFailed, 2);
    const auto messages = host.messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[0], "message(critical): " + path("b.xlsx") +
                               ": the file is read-only, so nothing was saved into it; the file was left as it was");
    EXPECT_EQ(messages[1], "message(critical): Copy Data to b.xlsx failure");
    EXPECT_EQ(messages[3], "message(critical): Copy Extra to b.xlsx failure");
    EXPECT_EQ(messages[4], "message(info): Copy Complete!");
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
    EXPECT_THAT(host.messages(),
                ElementsAre("message(critical): " + path("b.xlsx") +
                                ": this destination is a folder now, not a workbook file, so nothing was copied into it.",
                            "message(critical): Copy Data to b.xlsx failure", "message(info): Copy Complete!"));
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
    EXPECT_THAT(host.messages().at(0), StartsWith("message(critical): " + path("a.xlsx") +
                                                  ": this destination workbook does not exist any more"));
    expectNoLeftovers({"b.xlsx", "c.xlsx"});
}

TEST_F(CopyFaults, ReplacedAfterListingIsTakenAsItIsWhenTheJobReachesIt)
{
    addRow("Data");
    listDestinations();
    // Another workbook now has that name: it gets the copies. A file that is not a
    // workbook is refused and left alone, and its row ends there.
    t::writeWorkbook(dst / "a.xlsx", book({"Own"}, "a new a.xlsx"));
    test::writeFile(dst / "b.xlsx", "not a workbook any more");

    const auto outcome = run();

    expectComplete("a.xlsx", {"Data"});
    EXPECT_EQ(readFile(dst / "b.xlsx"), "not a workbook any more");
    expectAsBefore("c.xlsx");
    EXPECT_EQ(outcome.rowsFailed, 1);
    EXPECT_THAT(host.messages().at(0), HasSubstr(path("b.xlsx") + ": this file is not a workbook package"));
    expectNoLeftovers();
}

TEST_F(CopyFaults, ReplacedOrDeletedWhileTheJobWorksOnItKeepsWhatTheOtherProgramLeft)
{
    addRow("Data");
    addRow("Extra");
    listDestinations();
    // Progress counts single copies over the job: a, b (then c is not reached) in the first
    // row, a, b, c in the second. Between the copy into b.xlsx and its save in the first
    // row, another program saves its own b.xlsx; between the copy into c.xlsx and its save
    // in the second row, someone deletes c.xlsx.
    std::string theirs;
    host.atProgress[2] = [&] {
        t::writeWorkbook(dst / "theirs.tmp", book({"Theirs"}, "their work"));
        fs::rename(dst / "theirs.tmp", dst / "b.xlsx");
        theirs = readFile(dst / "b.xlsx");
    };
    host.atProgress[5] = [&] { fs::remove(dst / "c.xlsx"); };

    const auto outcome = run();

    EXPECT_EQ(outcome.rowsFailed, 2);
    const auto messages = host.messages();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_THAT(messages[0], HasSubstr(path("b.xlsx") + ": the file was changed, replaced or removed by another "
                                                         "program after it was opened"));
    EXPECT_EQ(messages[1], "message(critical): Copy Data to b.xlsx failure");
    EXPECT_THAT(messages[2], HasSubstr(path("c.xlsx") + ": the file was changed, replaced or removed"));
    EXPECT_EQ(messages[3], "message(critical): Copy Extra to c.xlsx failure");
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

TEST_F(CopyFaults, FullDiskDuringOneSaveFailsThatRowOnlyAndLeavesTheFileAsItWas)
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
        expectComplete("c.xlsx", {"Extra"});
        expectNoLeftovers();
        EXPECT_EQ(outcome.rowsFailed, 1);
        const auto messages = host.messages();
        ASSERT_EQ(messages.size(), 3u);
        EXPECT_THAT(messages[0], StartsWith("message(critical): " + path("b.xlsx") + ": the disk is full"));
        EXPECT_EQ(messages[1], "message(critical): Copy Data to b.xlsx failure");
    }
}

} // namespace
} // namespace tessaro
