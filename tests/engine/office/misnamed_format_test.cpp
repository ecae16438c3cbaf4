// SPDX-License-Identifier: MIT
// Workbooks whose name says one format while their content is another: the native engine
// says clearly what the file is; the server that routes by content opens it as what it
// really is, and writes it back in that same format.
#include "office_fixtures.h"
#include "engine/office/office.h"
#include "engine/router/workbook_automation.h"
#include "engine/office/workbook_format.h"
#include "engine/xlsx/native_engine.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using office::detectWorkbookFormat;
using office::WorkbookFormat;
using test::copyFixture;
using test::readBook;
using test::TempDir;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

// The independent reader goes by the extension: give it a copy named after the content.
test::BookView readAs(const fs::path& file, const std::string& extension)
{
    const fs::path named = file.parent_path() / ("read-back." + extension);
    fs::copy_file(file, named, fs::copy_options::overwrite_existing);
    test::BookView view = readBook(named);
    fs::remove(named);
    return view;
}

std::vector<std::string> worksheets(SpreadsheetAutomation& server, WorkbookRef book)
{
    std::vector<std::string> names;
    for (int i = 1; i <= server.worksheetCount(book); ++i)
        names.push_back(server.worksheetName(book, i));
    return names;
}

class MisnamedFormat : public ::testing::Test {
protected:
    TempDir app, dir, profiles;
    std::shared_ptr<office::Office> office;
    SpreadsheetAutomationFactory servers;

    void SetUp() override
    {
        office::OfficeOptions options;
        options.profileParent = profiles.path();
        office = std::make_shared<office::Office>(options);
        WorkbookAutomationOptions composite;
        composite.sharedOffice = office;
        servers = makeWorkbookAutomationFactory(app.path(), composite);
    }

    void TearDown() override
    {
        servers = nullptr;
        EXPECT_FALSE(office->running());
    }
};

TEST_F(MisnamedFormat, AnXlsNamedXlsxIsALegacyWorkbookToTheNativeEngine)
{
    const fs::path file = copyFixture("src.xls", dir.path(), "report.xlsx");
    const std::string before = test::readFile(file);
    auto server = xlsx::nativeAutomationFactory()();
    try {
        server->open(file);
        ADD_FAILURE() << "the native engine opened an .xls";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr(file.string() + ": this is a legacy Excel 97-2003 workbook (.xls)"));
    }
    server->quit();
    EXPECT_EQ(test::readFile(file), before);
}

TEST_F(MisnamedFormat, AnXlsNamedXlsxIsReadAndWrittenAsAnXls)
{
    const fs::path legacy = copyFixture("src.xls", dir.path(), "report.xlsx");
    const fs::path modern = copyFixture("dst.xlsx", dir.path(), "target.xlsx");
    const auto expected = readBook(copyFixture("src.xls", dir.path())).sheets;
    fs::remove(dir / "src.xls");
    {
        auto server = servers();
        WorkbookRef src = server->open(legacy);
        EXPECT_EQ(worksheets(*server, src), expected);
        // From it into a real .xlsx, and from that .xlsx into it.
        WorkbookRef dst = server->open(modern);
        server->copySheet(server->worksheet(src, "Other"), Placement::After,
                          server->sheet(dst, server->sheetCount(dst)));
        server->save(dst);
        server->copySheet(server->worksheet(dst, "First"), Placement::Before, server->sheet(src, 1));
        server->save(src);
        server->quit();
    }
    EXPECT_EQ(detectWorkbookFormat(legacy), WorkbookFormat::Xls) << "written back in its own format";
    EXPECT_EQ(detectWorkbookFormat(modern), WorkbookFormat::Ooxml);
    const auto back = readAs(legacy, "xls");
    ASSERT_EQ(back.sheets.size(), expected.size() + 1);
    EXPECT_EQ(back.sheets.front(), "First");
    EXPECT_EQ(readBook(modern).sheets.back(), "Other");
    EXPECT_EQ(readBook(modern).sheet.at("Other"), readBook(copyFixture("src.xlsx", dir.path())).sheet.at("Other"));
}

TEST_F(MisnamedFormat, AnXlsxNamedXlsStaysAnXlsxWrittenByTheNativeEngine)
{
    const fs::path file = copyFixture("dst.xlsx", dir.path(), "old-name.xls");
    const fs::path source = copyFixture("src.xlsx", dir.path());
    {
        auto server = servers();
        WorkbookRef src = server->open(source);
        WorkbookRef dst = server->open(file);
        server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, server->sheetCount(dst)));
        server->save(dst);
        server->quit();
    }
    EXPECT_FALSE(office->running()) << "no office was needed";
    EXPECT_EQ(detectWorkbookFormat(file), WorkbookFormat::Ooxml);
    EXPECT_THAT(readAs(file, "xlsx").sheets, ElementsAre("First", "data", "Last", "Data (2)"));
}

TEST_F(MisnamedFormat, EncryptedWorkbookThroughTheRoutingServerSaysSo)
{
    // An encrypted workbook is a compound document like an .xls, but no engine here opens it.
    const fs::path legacy = copyFixture("src.xls", dir.path(), "secret.xlsx");
    std::string bytes = test::readFile(legacy);
    // Renaming the "Workbook" stream to "EncryptedPackage" makes the directory say what an
    // encrypted package says; names are UTF-16 in 64-byte slots with their length after.
    const std::u16string from = u"Workbook";
    std::string needle;
    for (char16_t c : from) {
        needle.push_back(static_cast<char>(c & 0xFF));
        needle.push_back(static_cast<char>(c >> 8));
    }
    std::size_t at = bytes.find(needle);
    ASSERT_NE(at, std::string::npos);
    const std::u16string to = u"EncryptedPackage";
    for (std::size_t i = 0; i < to.size(); ++i) {
        bytes[at + 2 * i] = static_cast<char>(to[i] & 0xFF);
        bytes[at + 2 * i + 1] = static_cast<char>(to[i] >> 8);
    }
    bytes[at + 2 * to.size()] = 0;
    bytes[at + 2 * to.size() + 1] = 0;
    bytes[at + 0x40] = static_cast<char>((to.size() + 1) * 2);
    test::writeFile(legacy, bytes);
    auto server = servers();
    try {
        server->open(legacy);
        ADD_FAILURE() << "opened an encrypted workbook";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr(legacy.string() + ": this workbook is protected with a password"));
    }
    server->quit();
    EXPECT_EQ(test::readFile(legacy), bytes);
}

} // namespace
} // namespace tessaro
