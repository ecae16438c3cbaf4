// SPDX-License-Identifier: MIT
// The copy job over the server that routes each workbook to its engine: .xls and .ods
// sources into .xls, .ods and .xlsx destinations, an .xlsb source and destination, the
// temporary source copy, an office that dies in the middle of a job, and what is left behind
// (nothing). Results are read back by office_books.py; corpus workbooks are judged by the
// shared oracle when it is there.
#include "copy/copy_job.h"
#include "lists/folder_scan.h"
#include "lists/workspace.h"
#include "office_fixtures.h"
#include "engine/office/office.h"
#include "engine/router/workbook_automation.h"
#include "engine/office/workbook_format.h"
#include "support/fake_host.h"
#include "support/shared_dir.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <set>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using office::detectWorkbookFormat;
using office::WorkbookFormat;
using test::BookView;
using test::copyFixture;
using test::processesMentioning;
using test::readBook;
using test::readBooks;
using test::readFile;
using test::TempDir;
using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

// A host that can act when the progress reaches a value: the one moment inside a job a test
// can reach from outside.
class ProgressHookHost : public test::FakeHost {
public:
    std::function<void(std::int64_t)> onProgress;
    void setProgressValue(std::int64_t value) override
    {
        FakeHost::setProgressValue(value);
        if (onProgress)
            onProgress(value);
    }
};

// The failures the user is told of: the lines of the job's report, and any critical box.
std::vector<std::string> criticalMessages(const test::FakeHost& host)
{
    std::vector<std::string> out = host.details();
    for (const auto& m : host.messages())
        if (m.rfind("message(critical)", 0) == 0)
            out.push_back(m);
    return out;
}

// What a folder holds besides the job's way back (the files it replaced, kept for undo).
std::vector<fs::path> filesIn(const fs::path& dir)
{
    std::vector<fs::path> out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.path().filename() != "undo")
            out.push_back(e.path());
    return out;
}

class WorkbookJobTest : public ::testing::Test {
protected:
    TempDir app;
    TempDir src;
    TempDir dst;
    TempDir profiles;
    Workspace ws;
    ProgressHookHost host;
    std::shared_ptr<office::Office> office;
    SpreadsheetAutomationFactory servers;

    void SetUp() override
    {
        ws.appDir = app.path();
        office::OfficeOptions options;
        options.profileParent = profiles.path();
        office = std::make_shared<office::Office>(options);
        WorkbookAutomationOptions composite;
        composite.sharedOffice = office;
        servers = makeWorkbookAutomationFactory(app.path(), composite);
    }

    // The end of a job leaves no office, no profile and no file in AppDir.
    void TearDown() override
    {
        servers = nullptr;
        EXPECT_FALSE(office->running());
        EXPECT_THAT(processesMentioning(profiles.path().string()), IsEmpty());
        EXPECT_THAT(filesIn(profiles.path()), IsEmpty());
        EXPECT_THAT(filesIn(app.path()), IsEmpty());
    }

    void addRow(const fs::path& source, const std::string& sheet)
    {
        ++ws.copyRowCounter;
        const int r = ws.copySheetList.append("");
        ws.copySheetList.setChecked(r, true);
        ws.copySheetList.setSubItem(r, 1, std::to_string(ws.copyRowCounter));
        ws.copySheetList.setSubItem(r, 2, sheet);
        ws.sourcePathTable.set(ws.copyRowCounter, source.string());
    }

    // One job per destination entry, as tessaro-cli runs one per --dest, all on one factory.
    void runInto(const fs::path& entry)
    {
        ws.targetEntryList.clear();
        ws.targetEntryList.append(entry.string());
        ListTargetBooks(ws, entry.string());
        CopyJob(ws, host, servers);
    }
};

TEST_F(WorkbookJobTest, XlsAndOdsSourcesLandInXlsOdsAndXlsxDestinationsInTheRightPlaces)
{
    const fs::path xls = copyFixture("src.xls", src.path());
    const fs::path ods = copyFixture("src.ods", src.path());
    const fs::path toXls = copyFixture("dst.xls", dst.path());
    const fs::path toOds = copyFixture("dst.ods", dst.path());
    const fs::path toXlsx = copyFixture("dst.xlsx", dst.path());
    const std::string xlsBytes = readFile(xls), odsBytes = readFile(ods);
    const BookView before = readBook(toXls);
    addRow(xls, "Data");
    addRow(ods, "Other");
    ws.copyCount = 2;

    for (const fs::path& d : {toXls, toOds, toXlsx})
        runInto(d);

    EXPECT_THAT(criticalMessages(host), IsEmpty());
    EXPECT_EQ(detectWorkbookFormat(toXls), WorkbookFormat::Xls);
    EXPECT_EQ(detectWorkbookFormat(toOds), WorkbookFormat::Ods);
    EXPECT_EQ(detectWorkbookFormat(toXlsx), WorkbookFormat::Ooxml);
    EXPECT_EQ(readFile(xls), xlsBytes);
    EXPECT_EQ(readFile(ods), odsBytes);
    const auto books = readBooks({xls, ods, toXls, toOds, toXlsx});
    for (const fs::path& d : {toXls, toOds, toXlsx}) {
        const BookView& out = books.at(d);
        EXPECT_THAT(out.sheets, ElementsAre("First", "data", "Last", "Data (2)", "Data (3)", "Other", "Other (2)"))
            << d;
        for (const char* copy : {"Data (2)", "Data (3)"})
            EXPECT_EQ(out.sheet.at(copy), books.at(xls).sheet.at("Data")) << d << " " << copy;
        for (const char* copy : {"Other", "Other (2)"})
            EXPECT_EQ(out.sheet.at(copy), books.at(ods).sheet.at("Other")) << d << " " << copy;
        for (const char* own : {"First", "data", "Last"})
            EXPECT_EQ(out.sheet.at(own), before.sheet.at(own)) << d << " " << own;
    }
}

TEST_F(WorkbookJobTest, BeforeModeKeepsTheListOrderAtTheFrontOfEveryFormat)
{
    const fs::path ods = copyFixture("src.ods", src.path());
    const fs::path xlsx = copyFixture("src.xlsx", src.path());
    copyFixture("dst.xls", dst.path());
    copyFixture("dst.xlsx", dst.path());
    addRow(ods, "Data");
    addRow(xlsx, "Other");
    ws.copyPosition = kCopyBefore;

    runInto(dst.path());

    EXPECT_THAT(criticalMessages(host), IsEmpty());
    const auto books = readBooks({ods, dst / "dst.xls", dst / "dst.xlsx"});
    for (const char* name : {"dst.xls", "dst.xlsx"}) {
        const BookView& out = books.at(dst / name);
        EXPECT_THAT(out.sheets, ElementsAre("Data (2)", "Other", "First", "data", "Last")) << name;
        EXPECT_EQ(out.sheet.at("Data (2)"), books.at(ods).sheet.at("Data")) << name;
    }
    EXPECT_EQ(books.at(dst / "dst.xls").sheet.at("Other"), books.at(dst / "dst.xlsx").sheet.at("Other"));
}

TEST_F(WorkbookJobTest, AnXlsbSourceIsReadAndAnXlsbDestinationIsRefusedClearly)
{
    const fs::path xlsb = copyFixture("src.xlsb", src.path());
    const fs::path toXlsx = copyFixture("dst.xlsx", dst.path());
    addRow(xlsb, "Binary");
    runInto(toXlsx);
    EXPECT_THAT(criticalMessages(host), IsEmpty());
    const auto books = readBooks({xlsb, toXlsx});
    EXPECT_THAT(books.at(toXlsx).sheets, ElementsAre("First", "data", "Last", "Binary"));
    // The .xlsb has no styles of its own; LibreOffice gives it Liberation Sans, which its .xlsx
    // conversion names Arial.
    EXPECT_EQ(books.at(toXlsx).sheet.at("Binary"), test::withMicrosoftFontNames(books.at(xlsb).sheet.at("Binary")));

    const fs::path source = copyFixture("src.xls", src.path());
    const fs::path binaryTarget = copyFixture("src.xlsb", dst.path(), "target.xlsb");
    const std::string original = readFile(binaryTarget);
    ws.copySheetList.clear();
    ws.copyRowCounter = 0;
    addRow(source, "Data");
    runInto(binaryTarget);
    const auto critical = criticalMessages(host);
    ASSERT_EQ(critical.size(), 1u);
    EXPECT_THAT(critical[0], HasSubstr("Copy Data to target.xlsb failure: " + binaryTarget.string()));
    EXPECT_THAT(critical[0], HasSubstr("cannot write Excel binary workbooks (.xlsb)"));
    EXPECT_EQ(readFile(binaryTarget), original);
}

TEST_F(WorkbookJobTest, ALegacySourceIsConvertedOncePerJobAndTheConversionGoesWithTheJob)
{
    const fs::path xls = copyFixture("src.xls", src.path());
    copyFixture("dst.xlsx", dst.path(), "a.xlsx");
    copyFixture("dst.xlsx", dst.path(), "b.xlsx");
    addRow(xls, "Data");
    addRow(xls, "Other");
    addRow(xls, "data");
    runInto(dst.path());
    EXPECT_THAT(criticalMessages(host), IsEmpty());
    // Three rows, each opening the source afresh, two destinations: one conversion.
    const auto conversions = filesIn(app.path());
    ASSERT_EQ(conversions.size(), 1u);
    EXPECT_EQ(conversions[0].extension(), ".xlsx");
    const auto books = readBooks({xls, dst / "a.xlsx", dst / "b.xlsx"});
    for (const char* name : {"a.xlsx", "b.xlsx"}) {
        const BookView& out = books.at(dst / name);
        EXPECT_THAT(out.sheets, ElementsAre("First", "data", "Last", "Data (2)", "Other", "Data (3)")) << name;
        EXPECT_EQ(out.sheet.at("Data (3)"), books.at(xls).sheet.at("Data")) << name;
    }
    // TearDown: the conversion is gone once the factory is.
}

TEST_F(WorkbookJobTest, ASourceSharingItsNameWithADestinationIsReadThroughItsTemporaryCopy)
{
    const fs::path source = copyFixture("src.xls", src.path());
    const fs::path sameName = copyFixture("dst.xls", dst.path(), "src.xls");
    const fs::path other = copyFixture("dst.ods", dst.path());
    addRow(source, "Data");
    runInto(sameName);
    runInto(other);
    EXPECT_THAT(criticalMessages(host), IsEmpty());
    EXPECT_THAT(readBook(sameName).sheets, ElementsAre("First", "data", "Last", "Data (2)"));
    EXPECT_THAT(readBook(other).sheets, ElementsAre("First", "data", "Last", "Data (2)"));
    EXPECT_THAT(readBook(source).sheets, ElementsAre("Data", "Other", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"));
}

TEST_F(WorkbookJobTest, ALegacySourceThatIsItsOwnDestinationGetsItsCopiesAndKeepsItsFormat)
{
    const fs::path ods = copyFixture("src.ods", src.path());
    addRow(ods, "Other");
    ws.copyCount = 2;
    ws.copyPosition = kCopyBefore;
    runInto(ods);
    EXPECT_THAT(criticalMessages(host), IsEmpty());
    EXPECT_EQ(detectWorkbookFormat(ods), WorkbookFormat::Ods);
    const BookView out = readBook(ods);
    EXPECT_THAT(out.sheets, ElementsAre("Other (2)", "Other (3)", "Data", "Other", "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234"));
    EXPECT_EQ(out.sheet.at("Other (2)"), out.sheet.at("Other"));
}

TEST_F(WorkbookJobTest, AnOfficeThatDiesMidJobFailsThatRowAndTheNextRowIsCopied)
{
    const fs::path xls = copyFixture("src.xls", src.path());
    copyFixture("dst.xls", dst.path(), "a.xls");
    copyFixture("dst.xls", dst.path(), "b.xls");
    addRow(xls, "Data");
    addRow(xls, "Other");
    // After the first copy into a.xls, before it is saved.
    bool killed = false;
    host.onProgress = [&](std::int64_t value) {
        if (value == 1 && !killed) {
            killed = true;
            const auto group = office->processGroup();
            ASSERT_TRUE(group);
            ::kill(-*group, SIGKILL);
        }
    };
    runInto(dst.path());

    const auto critical = criticalMessages(host);
    ASSERT_EQ(critical.size(), 2u) << ::testing::PrintToString(host.messages());
    EXPECT_THAT(critical[0], HasSubstr("Copy Data to a.xls failure: "));
    EXPECT_THAT(critical[0], HasSubstr("LibreOffice stopped unexpectedly"));
    // The source went down with the office, so b.xls is tried and fails too, in its own words.
    EXPECT_THAT(critical[1], HasSubstr("Copy Data to b.xls failure: "));
    EXPECT_THAT(critical[1], HasSubstr("LibreOffice stopped"));
    EXPECT_THAT(host.messages(), ElementsAre("report(critical): Copied 2 of 4 sheets; 2 failed."));
    EXPECT_EQ(office->starts(), 2);
    // The failed row left both destinations as they were; the next row reached both.
    for (const char* name : {"a.xls", "b.xls"})
        EXPECT_THAT(readBook(dst / name).sheets, ElementsAre("First", "data", "Last", "Other")) << name;
}

TEST_F(WorkbookJobTest, WithoutLibreOfficeOoxmlStillCopiesAndLegacyWorkbooksSayHowToInstallIt)
{
    office::OfficeOptions missing;
    missing.soffice = app / "no-libreoffice" / "soffice";
    missing.profileParent = profiles.path();
    office = std::make_shared<office::Office>(missing);
    WorkbookAutomationOptions composite;
    composite.sharedOffice = office;
    servers = makeWorkbookAutomationFactory(app.path(), composite);

    const fs::path xlsx = copyFixture("src.xlsx", src.path());
    const fs::path xls = copyFixture("src.xls", src.path());
    const fs::path toXlsx = copyFixture("dst.xlsx", dst.path());
    addRow(xlsx, "Other");
    addRow(xls, "Data");
    runInto(toXlsx);
    const auto critical = criticalMessages(host);
    ASSERT_EQ(critical.size(), 1u);
    EXPECT_THAT(critical[0], HasSubstr("Copy Data failure: " + xls.string()));
    EXPECT_THAT(critical[0], HasSubstr("LibreOffice is not installed"));
    EXPECT_THAT(critical[0], HasSubstr("sudo apt-get install libreoffice-calc-nogui"));
    EXPECT_THAT(readBook(toXlsx).sheets, ElementsAre("First", "data", "Last", "Other"));
}

// Corpus workbooks as sources: the legacy destinations are judged by the shared LibreOffice
// oracle (cells, formats, merged ranges, sizes, objects), the .xlsx one cell by cell. Two
// findings are LibreOffice's and allowed by name: an .ods recomputes rows sized to their
// content with its own font metrics when it is loaded, and the .xls export writes
// Liberation Sans as its metric twin Arial.
TEST_F(WorkbookJobTest, CorpusLegacySheetsIntoEveryFormat)
{
    const auto shared = test::sharedDir();
    if (!shared)
        GTEST_SKIP() << "no shared corpus beside the project";
    const fs::path oracle = *shared / "oracle" / "check_copy_uno.py";
    struct Case {
        fs::path file;
        std::string sheet;
        std::set<std::string> allowedInXls, allowedInOds;
    };
    const std::vector<Case> cases = {
        {*shared / "corpus" / "sheetjs_merged_cells.xls", "Merge", {}, {"copy[1:Merge].rows"}},
        {*shared / "corpus" / "calamine_annotations.ods", "table1", {"copy[1:table1].styles"}, {}},
    };
    for (const auto& c : cases)
        if (!fs::exists(c.file) || !fs::exists(oracle))
            GTEST_SKIP() << "corpus file or oracle missing: " << c.file;

    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        const fs::path source = src / c.file.filename().string();
        fs::copy_file(c.file, source, fs::copy_options::overwrite_existing);
        TempDir out;
        TempDir was;
        const std::vector<fs::path> targets = {copyFixture("dst.xls", out.path()), copyFixture("dst.ods", out.path()),
                                               copyFixture("dst.xlsx", out.path())};
        for (const auto& t : targets)
            fs::copy_file(t, was / t.filename().string());
        ws.copySheetList.clear();
        ws.copyRowCounter = 0;
        addRow(source, c.sheet);
        for (const auto& t : targets)
            runInto(t);
        EXPECT_THAT(criticalMessages(host), IsEmpty());

        for (int i = 0; i < 2; ++i) {
            const fs::path& t = targets[static_cast<std::size_t>(i)];
            const std::set<std::string>& allowed = i == 0 ? c.allowedInXls : c.allowedInOds;
            const std::string command = std::string(test::kSystemPython) + " '" + oracle.string() + "' '" +
                                        source.string() + "' '" + c.sheet + "' '" + (was / t.filename()).string() +
                                        "' '" + t.string() + "' 2>&1";
            FILE* pipe = ::popen(command.c_str(), "r");
            ASSERT_NE(pipe, nullptr);
            std::string report;
            std::vector<std::string> failed;
            char buffer[4096];
            while (std::fgets(buffer, sizeof buffer, pipe)) {
                const std::string line = buffer;
                report += line;
                if (line.rfind("FAIL  ", 0) == 0)
                    failed.push_back(line.substr(6, line.find(": ") - 6));
            }
            ::pclose(pipe);
            EXPECT_THAT(report, HasSubstr("passed,")) << t << "\n" << report;
            for (const auto& check : failed)
                EXPECT_TRUE(allowed.count(check)) << t << ": " << check << "\n" << report;
        }
        const auto books = readBooks({source, targets[2]});
        EXPECT_THAT(books.at(targets[2]).sheets, ElementsAre("First", "data", "Last", c.sheet));
        EXPECT_EQ(books.at(targets[2]).sheet.at(c.sheet).cells, books.at(source).sheet.at(c.sheet).cells);
    }
}

} // namespace
} // namespace tessaro
