// SPDX-License-Identifier: MIT
// A legacy source whose formulas read its other sheets, copied into an .xlsx through the
// job's temporary copy of it and LibreOffice's conversion: the copy's link names the file the
// user chose, not a file the job made in AppDir.
#include "copy/copy_job.h"
#include "lists/folder_scan.h"
#include "lists/workspace.h"
#include "engine/office/office.h"
#include "engine/router/workbook_automation.h"
#include "support/fake_host.h"
#include "support/shared_dir.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <array>
#include <cstdio>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

const fs::path kSupport = fs::path(TESSARO_SOURCE_DIR) / "tests" / "support";

std::string run(const std::string& command)
{
    FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
    if (!pipe)
        return {};
    std::string out;
    std::array<char, 4096> buf;
    std::size_t n;
    while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0)
        out.append(buf.data(), n);
    EXPECT_EQ(::pclose(pipe), 0) << command << "\n" << out;
    return out;
}

// An .xls whose sheet "Data" computes from "Other", written by openpyxl and converted by
// LibreOffice's own converter.
fs::path crossSheetXls(const fs::path& dir)
{
    const fs::path xlsx = dir / "cross.xlsx";
    const std::string script =
        "import sys, openpyxl\n"
        "sys.path.insert(0, sys.argv[3])\n"
        "import office_books\n"
        "wb = openpyxl.Workbook()\n"
        "ws = wb.active\n"
        "ws.title = 'Data'\n"
        "ws['A1'] = 5\n"
        "ws['B1'] = '=Other!A1*2'\n"
        "wb.create_sheet('Other')['A1'] = 21\n"
        "wb.save(sys.argv[1])\n"
        "office_books.convert([sys.argv[1]], 'xls', sys.argv[2])\n";
    const fs::path py = dir / "make.py";
    FILE* f = std::fopen(py.c_str(), "w");
    std::fputs(script.c_str(), f);
    std::fclose(f);
    run(std::string(test::kSystemPython) + " '" + py.string() + "' '" + xlsx.string() + "' '" + dir.string() + "' '" +
        kSupport.string() + "'");
    fs::remove(xlsx);
    fs::remove(py);
    return dir / "cross.xls";
}

std::string partsMentioning(const fs::path& xlsx, const std::string& folder)
{
    return run(std::string(test::kSystemPython) +
               " -c \"import sys, zipfile\nz = zipfile.ZipFile(sys.argv[1])\n"
               "print('\\n'.join(z.read(n).decode() for n in z.namelist() if n.startswith(sys.argv[2])))\" '" +
               xlsx.string() + "' '" + folder + "'");
}

TEST(LegacyOrigin, ALegacySourceReadThroughItsTemporaryCopyIsLinkedByItsOwnPath)
{
    test::TempDir app, src, dst, profiles;
    const fs::path xls = crossSheetXls(src.path());
    ASSERT_TRUE(fs::exists(xls));
    // A destination with the source's base name: the job reads the source through a copy in AppDir.
    const std::string book = std::string(test::kSystemPython) +
                             " -c \"import sys, openpyxl\nwb = openpyxl.Workbook()\nwb.active.title = 'Main'\n"
                             "wb.save(sys.argv[1])\" '" + (dst.path() / "cross.xlsx").string() + "'";
    run(book);

    Workspace ws;
    ws.appDir = app.path();
    test::FakeHost host;
    office::OfficeOptions options;
    options.profileParent = profiles.path();
    auto office = std::make_shared<office::Office>(options);
    WorkbookAutomationOptions composite;
    composite.sharedOffice = office;
    {
        SpreadsheetAutomationFactory servers = makeWorkbookAutomationFactory(app.path(), composite);
        ++ws.copyRowCounter;
        const int r = ws.copySheetList.append("");
        ws.copySheetList.setChecked(r, true);
        ws.copySheetList.setSubItem(r, 1, std::to_string(ws.copyRowCounter));
        ws.copySheetList.setSubItem(r, 2, "Data");
        ws.sourcePathTable.set(ws.copyRowCounter, xls.string());
        ws.targetEntryList.append(dst.path().string());
        ListTargetBooks(ws, dst.path().string());
        CopyJob(ws, host, servers);
    }
    for (const auto& m : host.messages())
        EXPECT_THAT(m, Not(HasSubstr("critical"))) << m;

    const fs::path out = dst.path() / "cross.xlsx";
    EXPECT_THAT(partsMentioning(out, "xl/worksheets/"), HasSubstr("[1]Other!A1*2"));
    const std::string links = partsMentioning(out, "xl/externalLinks/");
    EXPECT_THAT(links, HasSubstr("file://" + xls.string()));
    EXPECT_THAT(links, Not(HasSubstr("myorvandels")));
    EXPECT_THAT(links, Not(HasSubstr(app.path().string())));
    EXPECT_THAT(links, HasSubstr("<sheetName val=\"Other\"/>"));
    std::vector<fs::path> left;
    for (const auto& e : fs::directory_iterator(app.path()))
        if (e.path().filename() != "undo") // what the job replaced, kept for undo
            left.push_back(e.path());
    EXPECT_THAT(left, IsEmpty());
}

} // namespace
} // namespace tessaro
