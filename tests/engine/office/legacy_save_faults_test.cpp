// SPDX-License-Identifier: MIT
// Saving a legacy workbook through LibreOffice when its file must not be replaced: the same
// refusals as the native engine's (read-only, locked by another program, changed since it
// was loaded), while the lock file of the office Tessaro drives itself is no obstacle.
#include "office_fixtures.h"
#include "engine/office/office.h"
#include "engine/router/workbook_automation.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using test::copyFixture;
using test::readFile;
using test::TempDir;
using ::testing::HasSubstr;

class LegacySaveFaults : public ::testing::Test {
protected:
    TempDir app, dir, profiles;
    std::shared_ptr<office::Office> office;
    SpreadsheetAutomationFactory servers;
    fs::path source, target;

    void SetUp() override
    {
        office::OfficeOptions options;
        options.profileParent = profiles.path();
        office = std::make_shared<office::Office>(options);
        WorkbookAutomationOptions composite;
        composite.sharedOffice = office;
        servers = makeWorkbookAutomationFactory(app.path(), composite);
        source = copyFixture("src.xlsx", dir.path());
        target = copyFixture("dst.xls", dir.path());
    }

    void TearDown() override
    {
        servers = nullptr;
        EXPECT_FALSE(office->running());
    }

    // Copies a sheet into the .xls, runs `meanwhile`, saves; the error's text or "".
    std::string copyAndSave(const std::function<void()>& meanwhile = {})
    {
        auto server = servers();
        std::string text;
        try {
            WorkbookRef src = server->open(source);
            WorkbookRef dst = server->open(target);
            server->copySheet(server->worksheet(src, "Other"), Placement::After,
                              server->sheet(dst, server->sheetCount(dst)));
            if (meanwhile)
                meanwhile();
            server->save(dst);
        } catch (const AutomationError& e) {
            EXPECT_NE(e.code(), ErrorCode::InternalFault);
            EXPECT_EQ(e.description().rfind(target.string() + ": ", 0), 0u) << e.description();
            text = e.description();
        }
        server->quit();
        return text;
    }
};

TEST_F(LegacySaveFaults, ALockFileOfItsOwnOfficeIsNoObstacle)
{
    // LibreOffice may lock a workbook it loads for writing; a lock file that names the profile
    // of the office Tessaro drives is Tessaro's own.
    const fs::path lock = dir / ".~lock.dst.xls#";
    EXPECT_EQ(copyAndSave([&] {
                  ASSERT_TRUE(office->profileDir());
                  test::writeFile(lock, ",tessaro,host1,07.12.2026 10:00,file://" + office->profileDir()->string() + ";");
              }),
              "");
    EXPECT_EQ(test::readBook(target).sheets.back(), "Other");
}

TEST_F(LegacySaveFaults, ReadOnlyXlsIsLeftAlone)
{
    fs::permissions(target, fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    const std::string before = readFile(target);
    EXPECT_THAT(copyAndSave(), HasSubstr("the file is read-only"));
    EXPECT_EQ(readFile(target), before);
}

TEST_F(LegacySaveFaults, XlsOpenInAnotherLibreOffice)
{
    const std::string before = readFile(target);
    // Another user's office takes the lock file after this one loaded the workbook.
    EXPECT_THAT(copyAndSave([&] {
                    test::writeFile(dir / ".~lock.dst.xls#",
                                    "Jane Doe,jane,host1,07.12.2026 10:00,file:///home/jane/.config/libreoffice/4;");
                }),
                HasSubstr("open in LibreOffice by Jane Doe on host1"));
    EXPECT_EQ(readFile(target), before);
}

TEST_F(LegacySaveFaults, XlsChangedSinceItWasLoaded)
{
    std::string theirs;
    EXPECT_THAT(copyAndSave([&] {
                    const fs::path other = copyFixture("serif.xls", dir.path(), "theirs.tmp");
                    fs::rename(other, target);
                    theirs = readFile(target);
                }),
                HasSubstr("changed, replaced or removed by another program"));
    EXPECT_EQ(readFile(target), theirs);
}

} // namespace
} // namespace tessaro
