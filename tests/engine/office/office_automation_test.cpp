// SPDX-License-Identifier: MIT
// The LibreOffice server on real .xls, .ods, .xlsb and .xlsx files: what it lists, where
// copies land and what they are called, what is written and in which format, and what
// becomes of the office process when it dies, hangs or is no longer needed. Results are read
// back by office_books.py, not by the code under test.
#include "office_fixtures.h"
#include "engine/office/office.h"
#include "engine/office/office_automation.h"
#include "engine/office/vba_project.h"
#include "support/shared_dir.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <gsf/gsf.h>

#include <csignal>
#include <thread>

namespace tessaro::office {
namespace {

namespace fs = std::filesystem;
using test::BookView;
using test::copyFixture;
using test::processesMentioning;
using test::readBook;
using test::readBooks;
using test::readFile;
using test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

const std::string kLong = "ABCDEFGHIJKLMNOPQRSTUVWXYZ01234";

class OfficeAutomationTest : public ::testing::Test {
protected:
    TempDir dir;
    TempDir profiles;
    std::shared_ptr<Office> office;
    std::unique_ptr<OfficeAutomation> server;

    void SetUp() override { start({}); }

    void start(OfficeOptions options)
    {
        options.profileParent = profiles.path();
        server.reset();
        office = std::make_shared<Office>(std::move(options));
        server = std::make_unique<OfficeAutomation>(office);
    }

    // Every test ends with no office process and no profile left.
    void TearDown() override
    {
        server.reset();
        office->stop();
        EXPECT_THAT(processesMentioning(profiles.path().string()), ::testing::IsEmpty());
        EXPECT_TRUE(fs::is_empty(profiles.path()));
    }

    std::vector<std::string> names(WorkbookRef book)
    {
        std::vector<std::string> out;
        for (int i = 1; i <= server->worksheetCount(book); ++i)
            out.push_back(server->worksheetName(book, i));
        return out;
    }

    // The copy operation's two moves: behind the last sheet, or in front of sheet `front`.
    void copyAfterLast(SheetRef sheet, WorkbookRef target)
    {
        server->copySheet(sheet, Placement::After, server->sheet(target, server->sheetCount(target)));
    }
    void copyBefore(SheetRef sheet, WorkbookRef target, int front)
    {
        server->copySheet(sheet, Placement::Before, server->sheet(target, front));
    }
};

TEST_F(OfficeAutomationTest, ListsTheWorksheetsOfEveryFormatInTabOrder)
{
    for (const char* name : {"src.xls", "src.ods", "src.xlsx"}) {
        const WorkbookRef book = server->open(copyFixture(name, dir.path()));
        EXPECT_THAT(names(book), ElementsAre("Data", "Other", kLong)) << name;
        EXPECT_EQ(server->sheetCount(book), 3) << name;
        server->close(book);
    }
    const WorkbookRef binary = server->open(copyFixture("src.xlsb", dir.path()));
    EXPECT_THAT(names(binary), ElementsAre("Binary", "More"));
    EXPECT_EQ(server->format(binary), WorkbookFormat::Xlsb);
}

TEST_F(OfficeAutomationTest, FindsAWorksheetWhateverTheLetterCaseAndNamesTheOneThatIsMissing)
{
    const fs::path file = copyFixture("src.xls", dir.path());
    const WorkbookRef book = server->open(file);
    EXPECT_EQ(server->sheetName(server->worksheet(book, "DATA")), "Data");
    try {
        server->worksheet(book, "Nowhere");
        FAIL() << "a missing sheet was found";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr(file.string()));
        EXPECT_THAT(e.description(), HasSubstr("\"Nowhere\""));
    }
    EXPECT_THROW(server->sheet(book, 4), AutomationError);
    EXPECT_THROW(server->sheet(book, 0), AutomationError);
}

TEST_F(OfficeAutomationTest, CopiesIntoAnXlsAfterAndBeforeAndSavesItAsXls)
{
    const fs::path source = copyFixture("src.ods", dir.path());
    const fs::path target = copyFixture("dst.xls", dir.path());
    const BookView before = readBook(target);

    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    const SheetRef data = server->worksheet(src, "Data");
    copyAfterLast(data, dst);
    copyAfterLast(data, dst);
    copyBefore(data, dst, 1);
    copyBefore(server->worksheet(src, kLong), dst, 2);
    copyBefore(server->worksheet(src, kLong), dst, 3);
    server->save(dst);
    server->close(dst);
    server->close(src);

    EXPECT_EQ(detectWorkbookFormat(target), WorkbookFormat::Xls);
    const auto books = readBooks({source, target});
    const BookView& out = books.at(target);
    const std::string longCopy = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)";
    EXPECT_THAT(out.sheets, ElementsAre("Data (4)", kLong, longCopy, "First", "data", "Last", "Data (2)", "Data (3)"));
    for (const char* copy : {"Data (2)", "Data (3)", "Data (4)"})
        EXPECT_EQ(out.sheet.at(copy), books.at(source).sheet.at("Data")) << copy;
    EXPECT_EQ(out.sheet.at(longCopy), books.at(source).sheet.at(kLong));
    for (const char* own : {"First", "data", "Last"})
        EXPECT_EQ(out.sheet.at(own), before.sheet.at(own)) << own;
    // The copied formats are there to compare: a bold header and two-decimal amounts.
    EXPECT_THAT(out.sheet.at("Data (2)").bold, ElementsAre("A1", "B1"));
    EXPECT_EQ(out.sheet.at("Data (2)").formats.at("B3"), "0.00");
    EXPECT_EQ(out.sheet.at("Data (2)").cells.at("B4"), "=B2+B3");
}

TEST_F(OfficeAutomationTest, CopiesFromXlsOoxmlAndXlsbIntoAnOdsAndSavesItAsOds)
{
    const fs::path xls = copyFixture("src.xls", dir.path());
    const fs::path xlsx = copyFixture("src.xlsx", dir.path());
    const fs::path xlsb = copyFixture("src.xlsb", dir.path());
    const fs::path target = copyFixture("dst.ods", dir.path());
    const std::string xlsxBytes = readFile(xlsx);
    const std::string xlsbBytes = readFile(xlsb);

    const WorkbookRef dst = server->open(target);
    for (const fs::path& source : {xls, xlsx, xlsb}) {
        const WorkbookRef src = server->open(source);
        const SheetRef first = server->sheet(src, 1);
        copyAfterLast(first, dst);
        server->close(src);
    }
    server->save(dst);

    EXPECT_EQ(detectWorkbookFormat(target), WorkbookFormat::Ods);
    const auto books = readBooks({xls, xlsb, target});
    const BookView& out = books.at(target);
    EXPECT_THAT(out.sheets, ElementsAre("First", "data", "Last", "Data (2)", "Data (3)", "Binary"));
    EXPECT_EQ(out.sheet.at("Data (2)"), books.at(xls).sheet.at("Data"));
    EXPECT_EQ(out.sheet.at("Data (3)"), books.at(xls).sheet.at("Data"));
    EXPECT_EQ(out.sheet.at("Binary"), books.at(xlsb).sheet.at("Binary"));
    // Sources are only read.
    EXPECT_EQ(readFile(xlsx), xlsxBytes);
    EXPECT_EQ(readFile(xlsb), xlsbBytes);
}

TEST_F(OfficeAutomationTest, CopiesLookLikeTheirSourceInAWorkbookWithAnotherDefaultFont)
{
    const fs::path source = copyFixture("src.xls", dir.path());
    const fs::path intoXls = copyFixture("serif.xls", dir.path());
    const fs::path intoOds = copyFixture("serif.ods", dir.path());
    const WorkbookRef src = server->open(source);
    for (const fs::path& target : {intoXls, intoOds}) {
        const WorkbookRef dst = server->open(target);
        copyAfterLast(server->worksheet(src, "Data"), dst);
        copyBefore(server->worksheet(src, "Other"), dst, 1);
        server->save(dst);
        server->close(dst);
    }
    EXPECT_THAT(server->takeCopyNotes(), IsEmpty());
    const auto books = readBooks({source, intoXls, intoOds});
    const BookView& from = books.at(source);
    ASSERT_EQ(from.sheet.at("Data").fonts.at("B2"), "Calibri 11");
    for (const fs::path& target : {intoXls, intoOds}) {
        const BookView& out = books.at(target);
        EXPECT_THAT(out.sheets, ElementsAre("Other", "First", "data", "Last", "Data (2)")) << target;
        EXPECT_EQ(out.sheet.at("Data (2)"), from.sheet.at("Data")) << target;
        EXPECT_EQ(out.sheet.at("Other"), from.sheet.at("Other")) << target;
    }
}

TEST_F(OfficeAutomationTest, AProtectedCopyThatCannotTakeTheSourceLookIsNoted)
{
    const fs::path source = copyFixture("locked.xls", dir.path());
    const fs::path target = copyFixture("serif.ods", dir.path());
    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    copyAfterLast(server->worksheet(src, "Other"), dst);
    EXPECT_THAT(server->takeCopyNotes(), IsEmpty());
    copyAfterLast(server->worksheet(src, "Data"), dst);
    EXPECT_THAT(server->takeCopyNotes(),
                ElementsAre("\"Data (2)\": the sheet is protected, so its cells in the default cell style keep the "
                            "default look of serif.ods (DejaVu Serif 14 pt) and not the source's (Calibri 11 pt)"));
    EXPECT_THAT(server->takeCopyNotes(), IsEmpty());
}

TEST_F(OfficeAutomationTest, CopiesWithinOneWorkbook)
{
    const fs::path file = copyFixture("dst.ods", dir.path());
    const WorkbookRef book = server->open(file);
    const SheetRef first = server->worksheet(book, "First");
    copyBefore(first, book, 1);
    copyAfterLast(first, book);
    server->save(book);
    const BookView out = readBook(file);
    EXPECT_THAT(out.sheets, ElementsAre("First (2)", "First", "data", "Last", "First (3)"));
    EXPECT_EQ(out.sheet.at("First (2)"), out.sheet.at("First"));
}

TEST_F(OfficeAutomationTest, RefusesToWriteXlsbAndOoxmlAndLeavesThemUntouched)
{
    const fs::path source = copyFixture("src.xls", dir.path());
    const fs::path xlsb = copyFixture("src.xlsb", dir.path());
    const fs::path xlsx = copyFixture("dst.xlsx", dir.path());
    const std::string xlsbBytes = readFile(xlsb);
    const std::string xlsxBytes = readFile(xlsx);

    const WorkbookRef src = server->open(source);
    const SheetRef data = server->worksheet(src, "Data");
    const WorkbookRef binary = server->open(xlsb);
    try {
        copyAfterLast(data, binary);
        FAIL() << "a copy into an .xlsb was made";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(xlsb.string()));
        EXPECT_THAT(e.description(), HasSubstr("cannot write Excel binary workbooks (.xlsb)"));
    }
    const WorkbookRef ooxml = server->open(xlsx);
    EXPECT_THROW(copyAfterLast(data, ooxml), AutomationError);
    server->save(binary);
    server->save(ooxml);
    EXPECT_THAT(names(binary), ElementsAre("Binary", "More"));
    EXPECT_EQ(readFile(xlsb), xlsbBytes);
    EXPECT_EQ(readFile(xlsx), xlsxBytes);
}

// Every stream of a compound file by its path, read with libgsf, not with Tessaro's reader.
void collectStreams(GsfInfile* storage, const std::string& prefix, std::map<std::string, std::string>& out)
{
    for (int i = 0; i < gsf_infile_num_children(storage); ++i) {
        GsfInput* child = gsf_infile_child_by_index(storage, i);
        const std::string name = prefix + gsf_infile_name_by_index(storage, i);
        if (gsf_infile_num_children(GSF_INFILE(child)) >= 0) {
            collectStreams(GSF_INFILE(child), name + "/", out);
        } else {
            std::string bytes(static_cast<std::size_t>(gsf_input_size(child)), '\0');
            gsf_input_read(child, bytes.size(), reinterpret_cast<guint8*>(bytes.data()));
            out[name] = bytes;
        }
        g_object_unref(child);
    }
}

std::map<std::string, std::string> compoundStreams(const fs::path& file)
{
    gsf_init();
    GsfInput* input = gsf_input_stdio_new(file.c_str(), nullptr);
    GsfInfile* ole = input ? gsf_infile_msole_new(input, nullptr) : nullptr;
    std::map<std::string, std::string> out;
    if (ole)
        collectStreams(ole, "", out);
    if (ole)
        g_object_unref(ole);
    if (input)
        g_object_unref(input);
    return out;
}

TEST_F(OfficeAutomationTest, AnXlsWithMacrosTakesCopiesAndKeepsItsProjectByteForByte)
{
    const auto shared = test::sharedDir();
    if (!shared || !fs::exists(*shared / "corpus" / "sheetjs_comments_vba.xls"))
        GTEST_SKIP() << "no shared corpus beside the project";
    const fs::path macros = dir / "macros.xls";
    fs::copy_file(*shared / "corpus" / "sheetjs_comments_vba.xls", macros);
    fs::permissions(macros, fs::perms::owner_write, fs::perm_options::add);
    std::map<std::string, std::string> project;
    for (const auto& [name, bytes] : compoundStreams(macros))
        if (name.rfind("_VBA_PROJECT_CUR/", 0) == 0)
            project[name] = bytes;
    ASSERT_GE(project.size(), 5u);
    const fs::path target = copyFixture("dst.xls", dir.path());

    const WorkbookRef withMacros = server->open(macros);
    const WorkbookRef plain = server->open(target);
    copyAfterLast(server->worksheet(withMacros, "Sheet1"), plain);
    server->save(plain);
    copyBefore(server->worksheet(plain, "First"), withMacros, 1);
    server->save(withMacros);
    EXPECT_EQ(office->starts(), 1);

    auto after = compoundStreams(macros);
    for (const auto& [name, bytes] : project)
        EXPECT_EQ(after[name], bytes) << name;
    // Bound to the workbook as before: the sheets keep their code names (the sheet named
    // "Sheet2" is the project's Sheet1), and the new sheet has none.
    const VbaBinding binding = readVbaBinding(after["Workbook"]);
    EXPECT_FALSE(binding.objProj.empty());
    EXPECT_NE(binding.workbookCodeName.find("ThisWorkbook"), std::string::npos);
    ASSERT_EQ(binding.sheetCodeNames.size(), 3u);
    EXPECT_NE(binding.sheetCodeNames.at(u"Sheet2").find("Sheet1"), std::string::npos);
    EXPECT_THAT(readBook(macros).sheets, ElementsAre("First", "Sheet2", "Sheet1", "Sheet3", "Sheet4", "Sheet7"));
    EXPECT_THAT(readBook(target).sheets, ElementsAre("First", "data", "Last", "Sheet1"));
}

TEST_F(OfficeAutomationTest, SaveAsOfAnUnchangedWorkbookCopiesItsBytesAndBindsTheNewPath)
{
    TempDir app;
    for (const char* name : {"src.xls", "src.xlsb"}) {
        const fs::path source = copyFixture(name, dir.path());
        const fs::path temp = app / ("(src)_myorvandels" + fs::path(name).extension().string());
        const WorkbookRef book = server->open(source);
        server->saveAs(book, temp);
        EXPECT_EQ(readFile(temp), readFile(source)) << name;
        EXPECT_EQ(server->path(book), temp);
        server->close(book);
    }
}

TEST_F(OfficeAutomationTest, SaveAsOfAChangedWorkbookWritesItsOwnFormatThereOnly)
{
    const fs::path source = copyFixture("src.xls", dir.path());
    const fs::path target = copyFixture("dst.ods", dir.path());
    const std::string original = readFile(target);
    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    copyAfterLast(server->worksheet(src, "Other"), dst);
    const fs::path elsewhere = dir / "elsewhere.ods";
    server->saveAs(dst, elsewhere);
    EXPECT_EQ(readFile(target), original);
    EXPECT_EQ(detectWorkbookFormat(elsewhere), WorkbookFormat::Ods);
    EXPECT_THAT(readBook(elsewhere).sheets, ElementsAre("First", "data", "Last", "Other"));
    // Bound to the new file: the next save goes there.
    copyAfterLast(server->worksheet(src, "Other"), dst);
    server->save(dst);
    EXPECT_EQ(readFile(target), original);
    EXPECT_THAT(readBook(elsewhere).sheets, ElementsAre("First", "data", "Last", "Other", "Other (2)"));
}

TEST_F(OfficeAutomationTest, CloseDropsUnsavedCopiesAndLeavesNoLockFiles)
{
    const fs::path source = copyFixture("src.xls", dir.path());
    const fs::path target = copyFixture("dst.xls", dir.path());
    const std::string original = readFile(target);
    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    copyAfterLast(server->worksheet(src, "Data"), dst);
    for (const auto& entry : fs::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".~lock", 0), std::string::npos) << entry.path();
    server->close(dst);
    server->quit();
    EXPECT_EQ(readFile(target), original);
}

TEST_F(OfficeAutomationTest, WorkbookPathsMayHoldAnyCharacters)
{
    fs::create_directory(dir / "naïve folder");
    const fs::path source = copyFixture("src.xls", dir / "naïve folder", "Übersicht ä #1.xls");
    const fs::path target = copyFixture("dst.ods", dir / "naïve folder", "Ziel; 100%.ods");
    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    copyAfterLast(server->worksheet(src, "Other"), dst);
    server->save(dst);
    EXPECT_THAT(readBook(target).sheets, ElementsAre("First", "data", "Last", "Other"));
}

TEST_F(OfficeAutomationTest, ADeadOfficeFailsTheCallThatMeetsItAndTheNextOpenStartsAnother)
{
    const fs::path source = copyFixture("src.xls", dir.path());
    const fs::path target = copyFixture("dst.xls", dir.path());
    const WorkbookRef src = server->open(source);
    const WorkbookRef dst = server->open(target);
    copyAfterLast(server->worksheet(src, "Data"), dst);
    const auto group = office->processGroup();
    ASSERT_TRUE(group);
    ASSERT_EQ(::kill(-*group, SIGKILL), 0);

    try {
        server->save(dst);
        FAIL() << "a save reached a dead office";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr(target.string()));
        EXPECT_THAT(e.description(), ::testing::AnyOf(HasSubstr("stopped unexpectedly"), HasSubstr("no longer open")));
    }
    EXPECT_NO_THROW(server->close(dst));
    EXPECT_NO_THROW(server->close(src));
    EXPECT_THAT(readBook(target).sheets, ElementsAre("First", "data", "Last"));

    const WorkbookRef again = server->open(target);
    copyAfterLast(server->worksheet(server->open(source), "Data"), again);
    server->save(again);
    EXPECT_EQ(office->starts(), 2);
    EXPECT_THAT(readBook(target).sheets, ElementsAre("First", "data", "Last", "Data (2)"));
}

TEST_F(OfficeAutomationTest, AHungOfficeIsStoppedWhenACallOutlivesItsTimeAndTheNextOpenWorks)
{
    OfficeOptions options;
    options.callTimeout = std::chrono::seconds(2);
    start(options);
    const fs::path target = copyFixture("dst.xls", dir.path());
    const WorkbookRef dst = server->open(target);
    const auto group = office->processGroup();
    ASSERT_TRUE(group);
    const std::string profile = office->profileDir()->string();
    ASSERT_EQ(::kill(-*group, SIGSTOP), 0);

    const auto began = std::chrono::steady_clock::now();
    try {
        server->worksheetCount(dst);
        FAIL() << "a stopped office answered";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(target.string()));
        EXPECT_THAT(e.description(), HasSubstr("did not finish"));
        EXPECT_THAT(e.description(), HasSubstr("within 2 seconds"));
    }
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(30));
    EXPECT_THAT(processesMentioning(profile), ::testing::IsEmpty());
    EXPECT_FALSE(fs::exists(profile));

    const WorkbookRef again = server->open(target);
    EXPECT_EQ(server->worksheetCount(again), 3);
}

TEST_F(OfficeAutomationTest, WithoutLibreOfficeALegacyWorkbookSaysHowToInstallIt)
{
    OfficeOptions options;
    options.soffice = dir / "no-libreoffice" / "soffice";
    start(options);
    const fs::path file = copyFixture("src.xls", dir.path());
    try {
        server->open(file);
        FAIL() << "opened without an office";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr(file.string()));
        EXPECT_THAT(e.description(), HasSubstr("(.xls)"));
        EXPECT_THAT(e.description(), HasSubstr("LibreOffice is not installed"));
        EXPECT_THAT(e.description(), HasSubstr("apt-get install libreoffice-calc-nogui"));
    }
    EXPECT_FALSE(office->running());
}

TEST_F(OfficeAutomationTest, StopEndsTheProcessAndRemovesItsProfile)
{
    const WorkbookRef book = server->open(copyFixture("src.ods", dir.path()));
    EXPECT_EQ(server->worksheetCount(book), 3);
    const auto profile = office->profileDir();
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->parent_path(), profiles.path());
    EXPECT_FALSE(processesMentioning(profile->string()).empty());
    EXPECT_TRUE(office->running());
    office->stop();
    EXPECT_FALSE(office->running());
    EXPECT_THAT(processesMentioning(profile->string()), ::testing::IsEmpty());
    EXPECT_FALSE(fs::exists(*profile));
    // Its workbooks went with it, and saying so is the call's error.
    EXPECT_THROW(server->worksheetCount(book), AutomationError);
}

TEST_F(OfficeAutomationTest, NotAWorkbookIsAnErrorNamingTheFile)
{
    test::writeFile(dir / "notes.xls", "just some text\n");
    try {
        server->open(dir / "notes.xls");
        FAIL();
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr((dir / "notes.xls").string()));
    }
    EXPECT_THROW(server->open(dir / "missing.xls"), AutomationError);
    EXPECT_EQ(office->starts(), 0);
}

} // namespace
} // namespace tessaro::office
