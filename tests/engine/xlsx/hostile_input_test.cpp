// SPDX-License-Identifier: MIT
// Hostile and broken workbook files through the automation interface, each made by the test
// itself: listed, copied from and copied into, every one must give an error that names the
// file and says what is wrong, and must leave every file exactly as it was. (Leaks are for
// the sanitizer build; hangs for the test's time limit.)
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"

#include "hostile_files.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <pugixml.hpp>


using namespace tessaro;
using namespace tessaro::xlsx;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;
using ::testing::AllOf;
using ::testing::AnyOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Not;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

const std::string kDecl = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n";
const std::string kMainNs = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
const std::string kRelNs = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
const std::string kSheetPart = "xl/worksheets/sheet1.xml";

t::BookSpec fineBook()
{
    t::BookSpec s;
    s.sheets = {{"Data", "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\" s=\"1\"><v>2.5</v></c></row>"
                         "<row r=\"2\"><c r=\"A2\" t=\"s\"><v>1</v></c><c r=\"B2\"><f>B1*2</f><v>5</v></c></row></sheetData>"},
                {"Other", "<sheetData><row r=\"1\"><c r=\"A1\"><v>7</v></c></row></sheetData>"}};
    s.fonts += "<font><b/><sz val=\"12\"/><name val=\"Calibri\"/></font>";
    s.cellXfs += "<xf numFmtId=\"2\" fontId=\"1\" fillId=\"0\" borderId=\"0\" xfId=\"0\" applyFont=\"1\"/>";
    s.dxfs = "<dxf><font><b/></font></dxf>";
    s.strings = {"<t>first</t>", "<t>second</t>"};
    return s;
}

// What a test does with the hostile file.
enum class Use {
    List,      // open it and list every sheet
    CopyFrom,  // copy each of its worksheets into a fine workbook, and save that
    CopyInto,  // copy a fine worksheet into it, before and after, and save it
};

class HostileInput : public ::testing::Test {
protected:
    TempDir dir;
    fs::path fine = dir / "fine.xlsx";

    void SetUp() override { t::writeWorkbook(fine, fineBook()); }

    fs::path write(const std::string& name, const std::string& bytes)
    {
        writeFile(dir / name, bytes);
        return dir / name;
    }

    fs::path crafted(const std::string& name, const std::vector<t::CraftedEntry>& entries)
    {
        return write(name, t::craftZip(entries));
    }

    // The fine workbook's entries, changed by `edit`.
    template <typename F>
    fs::path variant(const std::string& name, F&& edit, t::BookSpec spec = fineBook())
    {
        auto entries = t::craftedEntries(t::buildWorkbook(spec));
        edit(entries);
        return crafted(name, entries);
    }

    fs::path withPart(const std::string& name, const std::string& part, const std::string& content)
    {
        return variant(name, [&](auto& entries) { t::entryNamed(entries, part).content = content; });
    }

    // Runs `use` on `bad` and returns the error's text, after checking that there was one,
    // that it names the file, and that no file changed, appeared or vanished.
    std::string refusal(const fs::path& bad, Use use, const EngineOptions& options = {})
    {
        const auto before = t::snapshot(dir.path());
        std::string text;
        auto server = nativeAutomationFactory(options)();
        try {
            switch (use) {
            case Use::List: {
                WorkbookRef b = server->open(bad);
                int n = server->worksheetCount(b);
                for (int i = 1; i <= n; ++i)
                    server->worksheetName(b, i);
                for (int i = 1; i <= server->sheetCount(b); ++i)
                    server->sheet(b, i);
                break;
            }
            case Use::CopyFrom: {
                WorkbookRef src = server->open(bad);
                WorkbookRef dst = server->open(fine);
                int n = server->worksheetCount(src);
                for (int i = 1; i <= n; ++i) {
                    SheetRef s = server->worksheet(src, server->worksheetName(src, i));
                    server->copySheet(s, Placement::After, server->sheet(dst, server->sheetCount(dst)));
                }
                server->save(dst);
                break;
            }
            case Use::CopyInto: {
                WorkbookRef src = server->open(fine);
                WorkbookRef dst = server->open(bad);
                SheetRef s = server->worksheet(src, "Data");
                server->copySheet(s, Placement::Before, server->sheet(dst, 1));
                server->copySheet(s, Placement::After, server->sheet(dst, server->sheetCount(dst)));
                server->save(dst);
                break;
            }
            }
            ADD_FAILURE() << bad << " was accepted";
        } catch (const AutomationError& e) {
            EXPECT_NE(e.code(), ErrorCode::InternalFault);
            text = e.description();
            EXPECT_EQ(text.rfind(bad.string() + ": ", 0), 0u) << "the message names the file first: " << text;
        }
        server->quit();
        EXPECT_EQ(t::changes(before, t::snapshot(dir.path())), "");
        return text;
    }
};

// --- Not a workbook package at all -------------------------------------------------------

TEST_F(HostileInput, TextFileIsNotAZip)
{
    auto p = write("notes.xlsx", "These are my notes, not a workbook.\n");
    EXPECT_THAT(refusal(p, Use::List), HasSubstr("it is not a zip archive"));
    EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("it is not a zip archive"));
}

TEST_F(HostileInput, EmptyFileAndFolder)
{
    auto p = write("empty.xlsx", "");
    EXPECT_THAT(refusal(p, Use::List), HasSubstr("the file is empty"));
    fs::create_directory(dir / "folder.xlsx");
    EXPECT_THAT(refusal(dir / "folder.xlsx", Use::CopyInto), HasSubstr("this is a folder"));
}

TEST_F(HostileInput, EncryptedWorkbook)
{
    auto p = write("secret.xlsx", t::compoundDocument({u"EncryptionInfo", u"EncryptedPackage"}));
    EXPECT_THAT(refusal(p, Use::List), HasSubstr("protected with a password"));
    EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("protected with a password"));
}

TEST_F(HostileInput, LegacyWorkbookNamedXlsx)
{
    auto p = write("old.xlsx", t::compoundDocument({u"Workbook", u"\x05SummaryInformation"}));
    EXPECT_THAT(refusal(p, Use::List), HasSubstr("legacy Excel 97-2003 workbook (.xls)"));
    EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("legacy Excel 97-2003 workbook (.xls)"));
}

TEST_F(HostileInput, OtherCompoundDocumentAndOpenDocument)
{
    auto doc = write("letter.xlsx", t::compoundDocument({u"WordDocument"}));
    EXPECT_THAT(refusal(doc, Use::List), HasSubstr("OLE compound document"));
    auto ods = crafted("sheet.xlsx", {t::craftedEntry("mimetype", "application/vnd.oasis.opendocument.spreadsheet", false),
                                      t::craftedEntry("content.xml", "<office:document-content/>")});
    EXPECT_THAT(refusal(ods, Use::List), HasSubstr("OpenDocument spreadsheet"));
}

TEST_F(HostileInput, OpenDocumentWhoseRepeatedCellsWouldFillBillions)
{
    const auto ods = [&](const std::string& rows) {
        return crafted("repeat.ods", {t::craftedEntry("mimetype", "application/vnd.oasis.opendocument.spreadsheet", false),
                                      t::craftedEntry("content.xml", "<office:document-content><office:body><office:spreadsheet>"
                                                                     "<table:table table:name=\"S\">" + rows +
                                                                     "</table:table></office:spreadsheet></office:body>"
                                                                     "</office:document-content>")});
    };
    const std::string filled = "<table:table-cell table:number-columns-repeated=\"999999999\" "
                               "office:value-type=\"string\"><text:p>X</text:p></table:table-cell>";
    EXPECT_THAT(refusal(ods("<table:table-row table:number-rows-repeated=\"999999999\">" + filled + "</table:table-row>"),
                        Use::List),
                AllOf(HasSubstr("repeat.ods"), HasSubstr("decompression bomb"), HasSubstr("1,073,741,824 filled cells")));
    // Empty styled cells repeated to the sheet's end are what real files hold, and a filled
    // row repeated a thousand times is ordinary: both go on to the office.
    EXPECT_THAT(refusal(ods("<table:table-row table:number-rows-repeated=\"1000\">" + filled +
                            "</table:table-row><table:table-row table:number-rows-repeated=\"1048000\">"
                            "<table:table-cell table:style-name=\"ce1\" table:number-columns-repeated=\"1024\">"
                            "</table:table-cell></table:table-row>"),
                        Use::List),
                HasSubstr("OpenDocument spreadsheet"));
}

// --- Broken zip structure ----------------------------------------------------------------

TEST_F(HostileInput, TruncatedZip)
{
    const std::string whole = readFile(fine);
    for (std::size_t keep : {std::size_t{30}, whole.size() / 3, whole.size() / 2, whole.size() - 10, whole.size() - 1}) {
        auto p = write("cut.xlsx", whole.substr(0, keep));
        EXPECT_THAT(refusal(p, Use::List), HasSubstr("damaged")) << keep;
        EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("damaged")) << keep;
    }
}

TEST_F(HostileInput, EntryClaimingMoreThanItHolds)
{
    auto longer = variant("longer.xlsx", [](auto& e) {
        auto& w = t::entryNamed(e, "xl/workbook.xml");
        w.statedSize = static_cast<std::uint32_t>(w.content.size() + 1000);
    });
    EXPECT_THAT(refusal(longer, Use::List), AllOf(HasSubstr("xl/workbook.xml"), HasSubstr("shorter than its stated length")));

    auto sheet = variant("sheet.xlsx", [](auto& e) {
        auto& s = t::entryNamed(e, kSheetPart);
        s.statedSize = static_cast<std::uint32_t>(s.content.size() + 5000);
    });
    EXPECT_THAT(refusal(sheet, Use::CopyFrom), AllOf(HasSubstr(kSheetPart), HasSubstr("shorter than its stated length")));
}

TEST_F(HostileInput, EntryClaimingLessThanItHolds)
{
    auto shorter = variant("shorter.xlsx", [](auto& e) {
        auto& w = t::entryNamed(e, "xl/workbook.xml");
        w.statedSize = static_cast<std::uint32_t>(w.content.size() / 2);
    });
    EXPECT_THAT(refusal(shorter, Use::List), HasSubstr("expands to more than its stated length"));

    auto sheet = variant("sheet.xlsx", [](auto& e) {
        auto& s = t::entryNamed(e, kSheetPart);
        s.statedSize = 10;
    });
    EXPECT_THAT(refusal(sheet, Use::CopyFrom), AllOf(HasSubstr(kSheetPart), HasSubstr("more than its stated length")));
}

TEST_F(HostileInput, EntryClaimingCompressedBytesBeyondTheFile)
{
    auto p = variant("beyond.xlsx", [](auto& e) { t::entryNamed(e, "xl/styles.xml").statedCompressedSize = 50'000'000; });
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("damaged"), HasSubstr("xl/styles.xml")));
}

TEST_F(HostileInput, StoredEntryWhoseTwoLengthsDisagree)
{
    auto p = variant("stored.xlsx", [](auto& e) {
        auto& s = t::entryNamed(e, "xl/sharedStrings.xml");
        s.deflate = false;
        s.compressed = s.content;
        s.statedSize = static_cast<std::uint32_t>(s.content.size() + 7);
    });
    EXPECT_THAT(refusal(p, Use::CopyFrom), HasSubstr("xl/sharedStrings.xml"));
}

TEST_F(HostileInput, WrongChecksumAndMisplacedEntry)
{
    auto crc = variant("crc.xlsx", [](auto& e) { t::entryNamed(e, "xl/sharedStrings.xml").statedCrc = 0x12345678; });
    EXPECT_THAT(refusal(crc, Use::CopyFrom), AllOf(HasSubstr("xl/sharedStrings.xml"), HasSubstr("checksum")));
    auto moved = variant("moved.xlsx", [](auto& e) { t::entryNamed(e, "xl/workbook.xml").statedOffset = 3; });
    EXPECT_THAT(refusal(moved, Use::List), AllOf(HasSubstr("damaged"), HasSubstr("xl/workbook.xml")));
}

TEST_F(HostileInput, CorruptDeflateData)
{
    auto p = variant("corrupt.xlsx", [](auto& e) {
        auto& s = t::entryNamed(e, kSheetPart);
        std::uint32_t crc = 0;
        std::string data = t::deflateWithFill(s.content, ' ', 0, "", crc);
        for (std::size_t i = 2; i < data.size(); i += 3)
            data[i] = static_cast<char>(data[i] ^ 0x5A);
        s.compressed = data;
    });
    EXPECT_THAT(refusal(p, Use::CopyFrom), HasSubstr(kSheetPart));
}

// --- Decompression bombs -----------------------------------------------------------------

// A part made of `head`, 64 MiB of blanks and `tail`: about a thousand times its stored size.
void makeBomb(t::CraftedEntry& e, const std::string& head, const std::string& tail)
{
    std::uint32_t crc = 0;
    e.compressed = t::deflateWithFill(head, ' ', 64u << 20, tail, crc);
    e.statedCrc = crc;
    e.statedSize = static_cast<std::uint32_t>(head.size() + (64u << 20) + tail.size());
}

TEST_F(HostileInput, StreamedWorksheetBomb)
{
    auto p = variant("bomb.xlsx", [](auto& e) {
        makeBomb(t::entryNamed(e, kSheetPart),
                 kDecl + "<worksheet xmlns=\"" + kMainNs + "\"><sheetData><row r=\"1\"><c r=\"A1\"><v>1</v></c></row>",
                 "</sheetData></worksheet>");
    });
    EXPECT_THAT(refusal(p, Use::CopyFrom), AllOf(HasSubstr("decompression bomb"), HasSubstr(kSheetPart)));
    // Listing reads no worksheet, so the workbook's sheets are still shown.
    auto server = nativeAutomationFactory()();
    WorkbookRef b = server->open(p);
    EXPECT_EQ(server->worksheetCount(b), 2);
    server->quit();
}

TEST_F(HostileInput, WholePartBombs)
{
    auto styles = variant("styles.xlsx", [](auto& e) {
        makeBomb(t::entryNamed(e, "xl/styles.xml"), kDecl + "<styleSheet xmlns=\"" + kMainNs + "\">", "</styleSheet>");
    });
    EXPECT_THAT(refusal(styles, Use::CopyFrom), AllOf(HasSubstr("decompression bomb"), HasSubstr("xl/styles.xml")));
    EXPECT_THAT(refusal(styles, Use::CopyInto), AllOf(HasSubstr("decompression bomb"), HasSubstr("xl/styles.xml")));
    auto book = variant("book.xlsx", [](auto& e) {
        makeBomb(t::entryNamed(e, "xl/workbook.xml"), kDecl + "<workbook xmlns=\"" + kMainNs + "\">", "</workbook>");
    });
    EXPECT_THAT(refusal(book, Use::List), AllOf(HasSubstr("decompression bomb"), HasSubstr("xl/workbook.xml")));
}

TEST_F(HostileInput, BombThatLiesAboutItsSizeIsRefusedBeforeAnythingIsInflated)
{
    auto p = variant("liar.xlsx", [](auto& e) { t::entryNamed(e, "xl/sharedStrings.xml").statedSize = 0xF0000000u; });
    // Beyond what any part may be held as a whole, so refused as too large before its ratio
    // is even looked at.
    EXPECT_THAT(refusal(p, Use::CopyFrom), AllOf(HasSubstr("xl/sharedStrings.xml"), HasSubstr("would expand to")));
    auto q = variant("liar2.xlsx", [](auto& e) { t::entryNamed(e, kSheetPart).statedSize = 0xF0000000u; });
    EXPECT_THAT(refusal(q, Use::CopyFrom), AllOf(HasSubstr("decompression bomb"), HasSubstr(kSheetPart)));
}

TEST_F(HostileInput, TotalInflatedSizeIsBounded)
{
    // Ordinary parts that together exceed the bound: each is fine, the sum is not.
    t::BookSpec spec = fineBook();
    std::string rows;
    for (int r = 1; r <= 3000; ++r)
        rows += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><v>" + std::to_string(r * 7) +
                "</v></c></row>";
    spec.sheets[0].body = "<sheetData>" + rows + "</sheetData>";
    t::writeWorkbook(dir / "large.xlsx", spec);
    EngineOptions options;
    options.inflateLimits.maxTotal = 64u << 10;
    EXPECT_THAT(refusal(dir / "large.xlsx", Use::CopyFrom, options),
                AllOf(HasSubstr("decompression bomb"), HasSubstr("beyond 64 KiB")));
    // With the ordinary bounds the same workbook copies.
    auto server = nativeAutomationFactory()();
    WorkbookRef src = server->open(dir / "large.xlsx");
    WorkbookRef dst = server->open(fine);
    EXPECT_NO_THROW(server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 2)));
    server->quit();
}

TEST_F(HostileInput, OverlappingEntries)
{
    // An entry whose data run on into the next entry: the classic way to make a small file
    // expand many times over.
    auto p = variant("overlap.xlsx", [](auto& e) {
        std::uint32_t crc = 0;
        e[0].statedCompressedSize = static_cast<std::uint32_t>(t::deflateWithFill(e[0].content, ' ', 0, "", crc).size() + 40);
    });
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("damaged"), HasSubstr("overlap")));
}

// --- Entry names -------------------------------------------------------------------------

TEST_F(HostileInput, UnsafeEntryNames)
{
    for (std::string bad : std::vector<std::string>{"/etc/cron.d/evil", "../outside.xml", "xl/../../outside.xml", "xl\\worksheets\\sheet9.xml",
                            "C:/Windows/evil.xml", std::string("xl/a\0b.xml", 10)}) {
        auto p = variant("names.xlsx", [&](auto& e) { e.push_back(t::craftedEntry(bad, "<x/>")); });
        EXPECT_THAT(refusal(p, Use::List), HasSubstr("unsafe name")) << bad;
        EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("unsafe name")) << bad;
    }
}

TEST_F(HostileInput, NamesThatDifferOnlyInCase)
{
    auto p = variant("case.xlsx", [](auto& e) { e.push_back(t::craftedEntry("XL/Workbook.XML", "<workbook/>")); });
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("two entries with the same name"), HasSubstr("XL/Workbook.XML")));
    EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("two entries with the same name"));
}

// --- XML that reaches for a DTD ----------------------------------------------------------

const std::string kLaughs = "<!DOCTYPE lolz [<!ENTITY lol \"lol\"><!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">"
                            "<!ENTITY lol2 \"&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;&lol1;\">"
                            "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>";
const std::string kExternal = "<!DOCTYPE x [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]>";

TEST_F(HostileInput, DocumentTypeInTheWorkbookPart)
{
    auto p = variant("dtd.xlsx", [](auto& e) {
        auto& w = t::entryNamed(e, "xl/workbook.xml");
        w.content.insert(w.content.find("<workbook"), "<!DOCTYPE workbook>");
    });
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("document type declaration"), HasSubstr("xl/workbook.xml")));
}

TEST_F(HostileInput, EntityExpansionInTheContentTypes)
{
    auto p = variant("laughs.xlsx", [](auto& e) {
        auto& c = t::entryNamed(e, "[Content_Types].xml");
        c.content.insert(c.content.find("<Types"), kLaughs);
        c.content.insert(c.content.find("</Types>"), "<Default Extension=\"lol\" ContentType=\"&lol3;\"/>");
    });
    EXPECT_THAT(refusal(p, Use::List), HasSubstr("document type declaration"));
    EXPECT_THAT(refusal(p, Use::CopyInto), HasSubstr("document type declaration"));
}

TEST_F(HostileInput, ExternalEntityInAStreamedSheet)
{
    auto p = withPart("xxe.xlsx", kSheetPart,
                      kDecl + kExternal + "<worksheet xmlns=\"" + kMainNs + "\"><sheetData><row r=\"1\"><c r=\"A1\" "
                                          "t=\"inlineStr\"><is><t>&xxe;</t></is></c></row></sheetData></worksheet>");
    EXPECT_THAT(refusal(p, Use::CopyFrom), AllOf(HasSubstr("document type declaration"), HasSubstr(kSheetPart)));
}

TEST_F(HostileInput, ExternalEntityInSharedStringsAndInADestinationsStyles)
{
    auto strings = withPart("sst.xlsx", "xl/sharedStrings.xml",
                            kDecl + kExternal + "<sst xmlns=\"" + kMainNs + "\"><si><t>&xxe;</t></si><si><t>b</t></si></sst>");
    EXPECT_THAT(refusal(strings, Use::CopyFrom), AllOf(HasSubstr("document type declaration"), HasSubstr("sharedStrings")));
    auto styles = variant("styles.xlsx", [](auto& e) {
        auto& s = t::entryNamed(e, "xl/styles.xml");
        s.content.insert(s.content.find("<styleSheet"), kLaughs);
    });
    EXPECT_THAT(refusal(styles, Use::CopyInto), AllOf(HasSubstr("document type declaration"), HasSubstr("xl/styles.xml")));
}

// --- Missing and broken parts and relationships -----------------------------------------

TEST_F(HostileInput, MissingWorkbookPart)
{
    auto p = variant("nobook.xlsx", [](auto& e) { std::erase_if(e, [](auto& x) { return x.name == "xl/workbook.xml"; }); });
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("missing"), HasSubstr("xl/workbook.xml")));
    EXPECT_THAT(refusal(p, Use::CopyInto), AllOf(HasSubstr("missing"), HasSubstr("xl/workbook.xml")));
}

TEST_F(HostileInput, MissingPackageRelationshipsOrContentTypes)
{
    auto rels = variant("norels.xlsx", [](auto& e) { std::erase_if(e, [](auto& x) { return x.name == "_rels/.rels"; }); });
    EXPECT_THAT(refusal(rels, Use::List), HasSubstr("names no main document"));
    auto types = variant("notypes.xlsx",
                         [](auto& e) { std::erase_if(e, [](auto& x) { return x.name == "[Content_Types].xml"; }); });
    EXPECT_THAT(refusal(types, Use::List), HasSubstr("no list of content types"));
}

TEST_F(HostileInput, ASheetWithoutItsRelationshipIsUnusableAloneAndKeptAsItWas)
{
    t::BookSpec spec = fineBook();
    spec.sheets.emplace_back("Third", "<sheetData/>");
    // rId1-3 are the sheets, rId4 and rId5 styles and strings: rId6 is the id a new
    // relationship would take.
    auto p = variant("norel.xlsx", [](auto& e) {
        auto& w = t::entryNamed(e, "xl/workbook.xml");
        w.content.replace(w.content.find("r:id=\"rId2\""), 11, "r:id=\"rId6\"");
        w.content.replace(w.content.find("r:id=\"rId3\""), 11, "r:id=\"\"");
    }, spec);
    auto server = nativeAutomationFactory()();
    WorkbookRef book = server->open(p);
    EXPECT_EQ(server->worksheetCount(book), 1);
    EXPECT_EQ(server->worksheetName(book, 1), "Data");
    EXPECT_EQ(server->sheetCount(book), 3) << "still in their places";
    for (const auto& [name, why] : {std::pair<std::string, std::string>{"other", "relationship that does not exist"},
                                    {"Third", "names no relationship"}}) {
        try {
            server->worksheet(book, name);
            ADD_FAILURE() << name << " was found";
        } catch (const AutomationError& e) {
            EXPECT_THAT(e.description(), AllOf(HasSubstr(p.string()), HasSubstr(why))) << name;
        }
    }
    EXPECT_THROW(server->copySheet(server->sheet(book, 2), Placement::After, server->sheet(book, 1)), AutomationError);

    WorkbookRef other = server->open(fine);
    server->copySheet(server->worksheet(book, "Data"), Placement::After, server->sheet(other, 2));
    server->copySheet(server->worksheet(other, "Data"), Placement::After, server->sheet(book, 3));
    server->save(other);
    server->save(book);
    server->quit();

    auto parts = t::readZip(p);
    EXPECT_THAT(parts["xl/workbook.xml"], AllOf(HasSubstr("<sheet name=\"Other\" sheetId=\"2\" r:id=\"rId6\"/>"),
                                                HasSubstr("<sheet name=\"Third\" sheetId=\"3\" r:id=\"\"/>")));
    EXPECT_THAT(parts["xl/_rels/workbook.xml.rels"], Not(HasSubstr("\"rId6\""))) << "the dangling id still names nothing";
    auto again = nativeAutomationFactory()();
    WorkbookRef reread = again->open(p);
    EXPECT_EQ(again->sheetCount(reread), 4);
    EXPECT_EQ(again->worksheetName(reread, 2), "Data (2)");
    EXPECT_EQ(again->worksheetCount(again->open(fine)), 3);
}

TEST_F(HostileInput, BrokenRelationshipsPart)
{
    auto p = withPart("badrels.xlsx", "xl/_rels/workbook.xml.rels", kDecl + "<Relationships xmlns=\"oops\"><Relationship");
    EXPECT_THAT(refusal(p, Use::List), AllOf(HasSubstr("damaged"), HasSubstr("xl/_rels/workbook.xml.rels")));
}

TEST_F(HostileInput, ASheetWhosePartIsMissingOrOutsideThePackageIsUnusableAlone)
{
    auto gone = variant("gone.xlsx", [](auto& e) { std::erase_if(e, [](auto& x) { return x.name == kSheetPart; }); });
    auto outside = variant("outside.xlsx", [](auto& e) {
        auto& r = t::entryNamed(e, "xl/_rels/workbook.xml.rels");
        r.content.replace(r.content.find("worksheets/sheet1.xml"), 21, "../../../../etc/passwd");
    });
    for (const auto& [file, part] : {std::pair{gone, kSheetPart}, std::pair{outside, std::string("etc/passwd")}}) {
        auto server = nativeAutomationFactory()();
        WorkbookRef book = server->open(file);
        EXPECT_EQ(server->worksheetCount(book), 1);
        EXPECT_EQ(server->worksheetName(book, 1), "Other");
        try {
            server->worksheet(book, "Data");
            ADD_FAILURE() << file;
        } catch (const AutomationError& e) {
            EXPECT_THAT(e.description(), AllOf(HasSubstr("missing"), HasSubstr(part), HasSubstr("\"Data\"")));
        }
    }
}

TEST_F(HostileInput, MalformedXmlInEveryPartARowOfCopiesReads)
{
    for (const std::string& part : std::vector<std::string>{"xl/styles.xml", "xl/sharedStrings.xml", kSheetPart}) {
        auto p = variant("malformed.xlsx", [&](auto& e) {
            auto& x = t::entryNamed(e, part);
            x.content = x.content.substr(0, x.content.size() - 7) + "<<>>";
        });
        EXPECT_THAT(refusal(p, Use::CopyFrom), AllOf(HasSubstr("damaged"), HasSubstr(part))) << part;
    }
    auto dst = variant("malformed-dst.xlsx", [](auto& e) {
        auto& x = t::entryNamed(e, "xl/sharedStrings.xml");
        x.content = "<sst xmlns=\"" + kMainNs + "\"><si><t>unclosed</si>";
    });
    EXPECT_THAT(refusal(dst, Use::CopyInto), AllOf(HasSubstr("damaged"), HasSubstr("sharedStrings")));
}

// --- Indexes out of range ---------------------------------------------------------------

t::BookSpec withSheet(const std::string& body)
{
    t::BookSpec s = fineBook();
    s.sheets[0].body = body;
    return s;
}

TEST_F(HostileInput, CellFormatIndexOutOfRangeTakesTheDefaultFormatAndIsNoted)
{
    // The cells keep their values; only a format that is not there cannot come along.
    for (const std::string body :
         {"<sheetData><row r=\"1\"><c r=\"C7\" s=\"42\"><v>1</v></c></row></sheetData>",
          "<sheetData><row r=\"1\" s=\"9\" customFormat=\"1\"><c r=\"A1\"><v>1</v></c></row></sheetData>",
          "<cols><col min=\"1\" max=\"2\" width=\"9\" style=\"1000000\"/></cols><sheetData/>"}) {
        t::writeWorkbook(dir / "styles.xlsx", withSheet(body));
        t::writeWorkbook(fine, fineBook());
        auto server = nativeAutomationFactory()();
        WorkbookRef dst = server->open(fine);
        server->copySheet(server->worksheet(server->open(dir / "styles.xlsx"), "Data"), Placement::After,
                          server->sheet(dst, 2));
        EXPECT_THAT(server->takeCopyNotes(), ElementsAre(HasSubstr("a cell format the source workbook does not define")))
            << body;
        server->save(dst);
        server->quit();
        for (const auto& [name, bytes] : t::readZip(fine)) {
            if (name.rfind("xl/worksheets/", 0) == 0) {
                EXPECT_THAT(bytes, Not(AnyOf(HasSubstr("s=\"42\""), HasSubstr("s=\"9\""), HasSubstr("style=\"1000000\""))))
                    << body;
            }
        }
    }
    t::writeWorkbook(dir / "styles.xlsx",
                     withSheet("<sheetData><row r=\"1\"><c r=\"A1\" s=\"99999999999999999999999\"><v>1</v></c></row></sheetData>"));
    EXPECT_THAT(refusal(dir / "styles.xlsx", Use::CopyFrom), AllOf(HasSubstr(kSheetPart), HasSubstr("format")));
}

TEST_F(HostileInput, RecordsInsideTheStylesOutOfRangeFallBackToTheDefaults)
{
    // A cell format that points at fonts, fills and borders the workbook lacks is taken with
    // the destination's defaults for those: the copy never carries an index that dangles.
    t::BookSpec s = fineBook();
    s.cellXfs = "<xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/>"
                "<xf numFmtId=\"2\" fontId=\"57\" fillId=\"31\" borderId=\"8\" xfId=\"4\"/>";
    t::writeWorkbook(dir / "xf.xlsx", s);
    auto server = nativeAutomationFactory()();
    WorkbookRef src = server->open(dir / "xf.xlsx");
    WorkbookRef dst = server->open(fine);
    server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 2));
    server->save(dst);
    server->quit();
    pugi::xml_document styles;
    ASSERT_TRUE(styles.load_string(t::readZip(fine).at("xl/styles.xml").c_str()));
    pugi::xml_node sheet = styles.child("styleSheet");
    auto count = [&](const char* list) {
        return static_cast<long>(std::distance(sheet.child(list).children().begin(), sheet.child(list).children().end()));
    };
    for (pugi::xml_node xf : sheet.child("cellXfs").children("xf")) {
        EXPECT_LT(xf.attribute("fontId").as_int(), count("fonts"));
        EXPECT_LT(xf.attribute("fillId").as_int(), count("fills"));
        EXPECT_LT(xf.attribute("borderId").as_int(), count("borders"));
        EXPECT_LT(xf.attribute("xfId").as_int(), count("cellStyleXfs"));
    }
}

TEST_F(HostileInput, SharedStringIndexOutOfRange)
{
    for (const std::string v : {"2", "-1", "abc", "4294967296"}) {
        t::writeWorkbook(dir / "sst.xlsx",
                         withSheet("<sheetData><row r=\"1\"><c r=\"B4\" t=\"s\"><v>" + v + "</v></c></row></sheetData>"));
        EXPECT_THAT(refusal(dir / "sst.xlsx", Use::CopyFrom), AllOf(HasSubstr(kSheetPart), HasSubstr("B4"))) << v;
    }
    EXPECT_THAT(refusal(dir / "sst.xlsx", Use::CopyFrom), HasSubstr("shared text"));
}

TEST_F(HostileInput, DifferentialFormatIndexOutOfRange)
{
    t::writeWorkbook(dir / "dxf.xlsx",
                     withSheet("<sheetData/><conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"12\" "
                               "priority=\"1\"><formula>TRUE</formula></cfRule></conditionalFormatting>"));
    EXPECT_THAT(refusal(dir / "dxf.xlsx", Use::CopyFrom), AllOf(HasSubstr("conditional format 12"), HasSubstr(kSheetPart)));
}

// --- Sheet names ------------------------------------------------------------------------

TEST_F(HostileInput, InvalidSheetNames)
{
    for (const std::string name : {"Sales/2024", "A[1]", "What?", "x*y", "a:b", "back\\slash", "'Quoted'",
                                   "ThisNameIsMuchLongerThanThirtyOneChars"}) {
        t::BookSpec s = fineBook();
        s.sheets[1].name = name;
        t::writeWorkbook(dir / "names.xlsx", s);
        EXPECT_THAT(refusal(dir / "names.xlsx", Use::List), AllOf(HasSubstr("\"" + name + "\""), HasSubstr("sheet name")))
            << name;
        EXPECT_THAT(refusal(dir / "names.xlsx", Use::CopyInto), HasSubstr("sheet name")) << name;
    }
    t::BookSpec s = fineBook();
    s.sheets[1].name = "";
    t::writeWorkbook(dir / "empty-name.xlsx", s);
    EXPECT_THAT(refusal(dir / "empty-name.xlsx", Use::List), HasSubstr("a sheet has no name"));
}

TEST_F(HostileInput, DuplicatedSheetNames)
{
    t::BookSpec s = fineBook();
    s.sheets[1].name = "DATA";
    t::writeWorkbook(dir / "dup.xlsx", s);
    EXPECT_THAT(refusal(dir / "dup.xlsx", Use::List), HasSubstr("two sheets are named \"DATA\""));
    EXPECT_THAT(refusal(dir / "dup.xlsx", Use::CopyInto), HasSubstr("two sheets are named"));
}

// --- Structures that cost time or depth -------------------------------------------------

TEST_F(HostileInput, DeeplyNestedXmlIsHandledWithoutRecursion)
{
    std::string deep;
    for (int i = 0; i < 200000; ++i)
        deep += "<x>";
    auto sheet = withPart("deep.xlsx", kSheetPart,
                          kDecl + "<worksheet xmlns=\"" + kMainNs + "\"><extLst><ext uri=\"u\">" + deep + "</ext></extLst></worksheet>");
    EXPECT_THAT(refusal(sheet, Use::CopyFrom), HasSubstr("damaged"));
    auto styles = withPart("deep-styles.xlsx", "xl/styles.xml",
                           kDecl + "<styleSheet xmlns=\"" + kMainNs + "\"><cellXfs count=\"1\"><xf>" + deep + "</xf></cellXfs></styleSheet>");
    EXPECT_THAT(refusal(styles, Use::CopyFrom), HasSubstr("xl/styles.xml"));
}

} // namespace
