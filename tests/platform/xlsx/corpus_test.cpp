// SPDX-License-Identifier: MIT
// Every workbook of the shared corpus: opened and listed, or refused with a clear reason;
// every worksheet of every package copied into a small workbook, leaving no reference to
// a part that is not there.
#include "platform/xlsx/native_engine.h"

#include "support/shared_dir.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>

#include <regex>
#include <set>

using namespace tessaro;
using ::testing::HasSubstr;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

std::vector<fs::path> corpusFiles(const std::set<std::string>& extensions)
{
    std::vector<fs::path> out;
    auto shared = tessaro::test::sharedDir();
    if (!shared)
        return out;
    for (const auto& e : fs::directory_iterator(*shared / "corpus"))
        if (extensions.count(e.path().extension().string()))
            out.push_back(e.path());
    std::sort(out.begin(), out.end());
    return out;
}

} // namespace

TEST(Corpus, EveryWorkbookOpensOrIsRefusedWithItsKind)
{
    auto files = corpusFiles({".xlsx", ".xlsm", ".xls", ".ods"});
    if (files.empty())
        GTEST_SKIP() << "no shared corpus";
    auto factory = xlsx::nativeAutomationFactory();
    int opened = 0;
    for (const auto& f : files) {
        auto server = factory();
        std::string ext = f.extension().string();
        try {
            auto book = server->open(f);
            int n = server->worksheetCount(book);
            EXPECT_GE(server->sheetCount(book), n);
            for (int i = 1; i <= n; ++i)
                EXPECT_FALSE(server->worksheetName(book, i).empty());
            EXPECT_TRUE(ext == ".xlsx" || ext == ".xlsm") << f;
            ++opened;
        } catch (const AutomationError& e) {
            EXPECT_THAT(e.description(), HasSubstr(f.string()));
            if (ext == ".xls")
                EXPECT_THAT(e.description(), HasSubstr("legacy Excel 97-2003 workbook")) << f;
            else if (ext == ".ods")
                EXPECT_THAT(e.description(), HasSubstr("OpenDocument spreadsheet")) << f;
            else
                ADD_FAILURE() << e.description();
        }
        server->quit();
    }
    EXPECT_GE(opened, 50);
}

TEST(Corpus, EveryWorksheetCopiesAndNoReferenceDangles)
{
    auto files = corpusFiles({".xlsx", ".xlsm"});
    if (files.empty())
        GTEST_SKIP() << "no shared corpus";
    tessaro::test::TempDir dir;
    auto factory = xlsx::nativeAutomationFactory();
    int copies = 0;
    for (const auto& f : files) {
        fs::path dst = dir / ("into_" + f.filename().string());
        t::BookSpec d;
        d.sheets = {{"Target", "<sheetData/>"}};
        t::writeWorkbook(dst, d);
        auto server = factory();
        auto src = server->open(f);
        auto book = server->open(dst);
        int n = server->worksheetCount(src);
        for (int i = 1; i <= n; ++i) {
            std::string name = server->worksheetName(src, i);
            ASSERT_NO_THROW(server->copySheet(server->worksheet(src, name), Placement::After,
                                              server->sheet(book, server->sheetCount(book))))
                << f << " " << name;
            ++copies;
        }
        server->save(book);
        server->quit();

        // Reopen, and check every r:id of every copied sheet against its relationships.
        auto again = factory();
        auto reopened = again->open(dst);
        EXPECT_EQ(again->worksheetCount(reopened), n + 1);
        again->quit();
        auto parts = t::readZip(dst);
        for (const auto& [name, content] : parts) {
            if (name.rfind("xl/worksheets/sheet", 0) != 0 || name == "xl/worksheets/sheet1.xml")
                continue;
            std::string rels = "xl/worksheets/_rels/" + name.substr(std::string("xl/worksheets/").size()) + ".rels";
            std::set<std::string> ids;
            if (parts.count(rels)) {
                pugi::xml_document r;
                r.load_string(parts[rels].c_str());
                for (auto x : r.select_nodes("//*[local-name()='Relationship']")) {
                    ids.insert(x.node().attribute("Id").value());
                    EXPECT_STREQ(x.node().attribute("TargetMode").value(), "External") << "only outside links travel";
                }
            }
            pugi::xml_document s;
            ASSERT_TRUE(s.load_string(content.c_str())) << f << " " << name;
            for (auto a : s.select_nodes("//@*[starts-with(name(), 'r:')]"))
                EXPECT_TRUE(ids.count(a.attribute().value())) << f << " " << name << " keeps " << a.attribute().name();
        }
    }
    EXPECT_GT(copies, 150);
}
