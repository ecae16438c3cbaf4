// SPDX-License-Identifier: MIT
// Every workbook of the shared corpus: opened and listed, or refused with a clear reason;
// every worksheet of every package copied into a small workbook, leaving no reference to
// a part that is not there.
#include "engine/xlsx/native_engine.h"

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

// The part a relationship of `rels` (a ".rels" entry) points at, as an entry name.
std::string resolveTarget(const std::string& relsEntry, const std::string& target)
{
    if (!target.empty() && target.front() == '/')
        return fs::path(target.substr(1)).lexically_normal().generic_string();
    std::string dir = relsEntry.substr(0, relsEntry.rfind("_rels/"));
    return fs::path(dir + target).lexically_normal().generic_string();
}

TEST(Corpus, EverySheetCopiesAndNoReferenceDangles)
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
        int n = server->sheetCount(src);
        int carried = 0;
        for (int i = 1; i <= n; ++i) {
            try {
                server->copySheet(server->sheet(src, i), Placement::After, server->sheet(book, server->sheetCount(book)));
                ++copies;
                ++carried;
            } catch (const AutomationError& e) {
                // Dialog and macro sheets stay behind; every other sheet copies.
                EXPECT_THAT(e.description(), HasSubstr("cannot")) << f << " sheet " << i;
            }
        }
        server->save(book);
        server->quit();

        auto again = factory();
        auto reopened = again->open(dst);
        EXPECT_EQ(again->sheetCount(reopened), carried + 1) << f;
        again->quit();
        // Every relationship of every part points at a part that is there, and every
        // relationship id a sheet uses is one of its relationships.
        auto parts = t::readZip(dst);
        for (const auto& [name, content] : parts) {
            if (name.size() < 5 || name.substr(name.size() - 5) != ".rels")
                continue;
            pugi::xml_document r;
            ASSERT_TRUE(r.load_string(content.c_str())) << f << " " << name;
            std::set<std::string> ids;
            for (auto x : r.select_nodes("//*[local-name()='Relationship']")) {
                pugi::xml_node rel = x.node();
                EXPECT_TRUE(ids.insert(rel.attribute("Id").value()).second) << f << " " << name << " repeats an id";
                if (std::string_view(rel.attribute("TargetMode").value()) == "External")
                    continue;
                std::string target = resolveTarget(name, rel.attribute("Target").value());
                EXPECT_TRUE(parts.count(target)) << f << " " << name << " -> " << target;
            }
            std::string part = name.substr(0, name.rfind("_rels/")) + name.substr(name.rfind('/') + 1);
            part = part.substr(0, part.size() - 5);
            if (part.rfind("xl/worksheets/", 0) != 0 && part.rfind("xl/chartsheets/", 0) != 0)
                continue;
            pugi::xml_document s;
            ASSERT_TRUE(s.load_string(parts[part].c_str())) << f << " " << part;
            for (auto a : s.select_nodes("//@*[starts-with(name(), 'r:')]"))
                EXPECT_TRUE(ids.count(a.attribute().value())) << f << " " << part << " keeps " << a.attribute().name();
        }
    }
    EXPECT_GE(copies, 240);
}
