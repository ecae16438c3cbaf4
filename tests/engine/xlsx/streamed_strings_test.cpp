// SPDX-License-Identifier: MIT
// Copies from and into workbooks whose shared-string table is big enough to be streamed
// rather than held (the size from which that happens is lowered here).
#include "platform/engine_error.h"
#include "engine/sml/shared_strings.h"
#include "engine/xlsx/native_engine.h"

#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tessaro;
using namespace tessaro::xlsx;
using tessaro::test::TempDir;
using ::testing::HasSubstr;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

const std::string kRich = "<r><rPr><b/><sz val=\"11\"/><color rgb=\"FF0000FF\"/><rFont val=\"Calibri\"/></rPr><t>rich</t></r>"
                          "<r><t xml:space=\"preserve\"> &amp; plain</t></r><rPh sb=\"0\" eb=\"4\"><t>riku</t></rPh>"
                          "<phoneticPr fontId=\"0\" type=\"noConversion\"/>";

struct StreamedStrings : ::testing::Test {
    TempDir dir;
    fs::path src = dir / "source.xlsx";
    fs::path dst = dir / "dest.xlsx";
    std::uint64_t before = SharedStrings::streamingThreshold();

    void SetUp() override { SharedStrings::setStreamingThreshold(4096); }
    void TearDown() override { SharedStrings::setStreamingThreshold(before); }

    // A table of `n` items "<prefix> i", item 7 rich; a sheet citing `cited` in column A.
    static t::BookSpec book(const std::string& prefix, int n, const std::vector<int>& cited)
    {
        t::BookSpec s;
        for (int i = 0; i < n; ++i)
            s.strings.push_back(i == 7 ? kRich : "<t>" + prefix + " " + std::to_string(i) + "</t>");
        std::string rows;
        for (std::size_t r = 0; r < cited.size(); ++r) {
            std::string at = std::to_string(r + 1);
            rows += "<row r=\"" + at + "\"><c r=\"A" + at + "\" t=\"s\"><v>" + std::to_string(cited[r]) + "</v></c></row>";
        }
        s.sheets.emplace_back(prefix, "<sheetData>" + rows + "</sheetData>");
        return s;
    }

    void copyInto(const fs::path& into, int times)
    {
        auto server = nativeAutomationFactory()();
        auto s = server->open(src);
        auto d = server->open(into);
        server->setDisplayAlerts(false);
        for (int i = 0; i < times; ++i)
            server->copySheet(server->worksheet(s, "Src"), Placement::After, server->sheet(d, server->sheetCount(d)));
        server->save(d);
        server->quit();
    }
};

const char* kColumnA = R"PY(
import sys, warnings
warnings.simplefilter("ignore")
import openpyxl
ws = openpyxl.load_workbook(sys.argv[1])[sys.argv[2]]
print("|".join(str(c.value) for c in ws["A"]))
)PY";

const char* kTable = R"PY(
import sys, zipfile, xml.etree.ElementTree as ET
root = ET.fromstring(zipfile.ZipFile(sys.argv[1]).read("xl/sharedStrings.xml"))
print(len(root), root.get("uniqueCount"), root.get("count"))
)PY";

} // namespace

TEST_F(StreamedStrings, CopiesReadTheSameBothWaysAndNewItemsAreSharedAmongCopies)
{
    // A big source citing the rich item and items far apart; a big destination whose last
    // item, "Src 1", is one of them.
    t::writeWorkbook(src, book("Src", 3000, {7, 2999, 0, 1500, 7, 1}));
    t::BookSpec d = book("Dst", 2000, {5});
    d.strings.back() = "<t>Src 1</t>";
    t::writeWorkbook(dst, d);
    copyInto(dst, 2);
    std::string expected = "rich & plain|Src 2999|Src 0|Src 1500|rich & plain|Src 1";
    EXPECT_EQ(t::python(kColumnA, {dst.string(), "Src"}), expected + "\n");
    EXPECT_EQ(t::python(kColumnA, {dst.string(), "Src (2)"}), expected + "\n");
    EXPECT_EQ(t::python(kColumnA, {dst.string(), "Dst"}), "Dst 5\n") << "the destination's own cells are untouched";
    // Five distinct items came in, once for both copies; a streamed table is not searched,
    // so "Src 1" is appended although the destination has it.
    EXPECT_EQ(t::python(kTable, {dst.string()}), "2005 2005 2012\n");
    std::string sst = t::readZip(dst).at("xl/sharedStrings.xml");
    EXPECT_THAT(sst, HasSubstr("<si>" + kRich + "</si>")) << "rich text and phonetic runs travel byte for byte";
    EXPECT_THAT(sst, HasSubstr("<si><t>Dst 1998</t></si><si><t>Src 1</t></si><si>" + kRich + "</si>"));

    // The saved destination, streamed again, copies on the other way round and takes more.
    fs::path small = dir / "small.xlsx";
    t::BookSpec held = book("Small", 3, {0});
    held.strings[1] = "<t>Src 0</t>";
    t::writeWorkbook(small, held);
    std::swap(src, dst);
    copyInto(small, 1);
    EXPECT_EQ(t::python(kColumnA, {small.string(), "Src"}), expected + "\n");
    EXPECT_EQ(t::python(kTable, {small.string()}), "7 7 9\n") << "a table held whole still finds its own items";
}

TEST_F(StreamedStrings, ADamagedTableNamesFileAndPart)
{
    t::writeWorkbook(src, book("Src", 3000, {1}));
    auto parts = t::readZip(src);
    std::string& sst = parts.at("xl/sharedStrings.xml");
    const std::string item = "<si><t>Src 2000</t></si>";
    sst.replace(sst.find(item), item.size(), "<si><t>Src 2000</si>");
    t::writeZip(src, t::Parts(parts.begin(), parts.end()));
    t::writeWorkbook(dst, book("Small", 3, {0}));
    try {
        copyInto(dst, 1);
        FAIL() << "the damaged table was not noticed";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr(src.string()));
        EXPECT_THAT(e.description(), HasSubstr("xl/sharedStrings.xml"));
    }
}
