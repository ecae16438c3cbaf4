// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "engine/opc/package.h"
#include "engine/sheet_copy/sheet_rewriter.h"

#include <gtest/gtest.h>

#include <optional>
#include <zlib.h>

#include <cstring>

using namespace tessaro::xlsx;

namespace {

// Hands out the sheet a few bytes at a time, so every token is cut somewhere.
class ChunkReader final : public PartReader {
public:
    ChunkReader(std::string s, std::size_t step) : s_(std::move(s)), step_(step) {}
    std::size_t read(char* out, std::size_t capacity) override
    {
        std::size_t n = std::min({capacity, step_, s_.size() - pos_});
        std::memcpy(out, s_.data() + pos_, n);
        pos_ += n;
        return n;
    }

private:
    std::string s_;
    std::size_t step_;
    std::size_t pos_ = 0;
};

std::string inflated(const StoredPart& p)
{
    std::string in = p.bytes->joined();
    if (p.method == StoredPart::Method::Stored)
        return in;
    std::string out(p.size, '\0');
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = reinterpret_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    return out;
}

const std::string kHead = "<worksheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" "
                          "xmlns:r=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships\" "
                          "xmlns:mc=\"http://schemas.openxmlformats.org/markup-compatibility/2006\" "
                          "xmlns:x14=\"http://schemas.microsoft.com/office/spreadsheetml/2009/9/main\" "
                          "xmlns:xm=\"http://schemas.microsoft.com/office/excel/2006/main\">";
const std::string kTail = "</worksheet>";

// A plan that maps cell format i to i+10 (format 0 to 5), shared string i to i+100 and
// dxf i to i+20, recording what it was asked.
struct Recording {
    SheetRewritePlan plan;
    std::vector<std::size_t> styles, strings;
    Recording()
    {
        plan.sourceCellFormats = 8;
        plan.sourceStrings = 5;
        plan.sourceDifferentialFormats = 3;
        plan.cellFormat = [this](std::size_t i) {
            styles.push_back(i);
            return i == 0 ? std::size_t{5} : i + 10;
        };
        plan.string = [this](std::size_t i) {
            strings.push_back(i);
            return i + 100;
        };
        plan.differentialFormat = [](std::size_t i) { return i + 20; };
        plan.sourceName = "Data";
        plan.copyName = "Data (2)";
    }
};

std::string rewrite(const std::string& body, Recording& r, SheetProfile* profile = nullptr, std::size_t step = 3)
{
    ChunkReader in(kHead + body + kTail, step);
    StoredPart p = rewriteSheet(in, 0, r.plan, profile, "book.xlsx", "xl/worksheets/sheet1.xml");
    std::string out = inflated(p);
    EXPECT_EQ(p.crc, ::crc32(0, reinterpret_cast<const Bytef*>(out.data()), static_cast<uInt>(out.size())));
    EXPECT_EQ(out.substr(0, kHead.size()), kHead) << "the root and its namespaces are written as they were";
    return out.substr(kHead.size(), out.size() - kHead.size() - kTail.size());
}

std::optional<ErrorCode> failure(const std::string& body, Recording& r)
{
    try {
        rewrite(body, r);
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("book.xlsx"), std::string::npos);
        return e.code();
    }
    ADD_FAILURE() << "no error for " << body;
    return std::nullopt;
}

} // namespace

TEST(SheetRewriter, RenumbersCellFormatsAndGivesUnformattedCellsTheSourceDefault)
{
    Recording r;
    std::string out = rewrite("<sheetData><row r=\"1\"><c r=\"A1\" s=\"3\"><v>1</v></c><c r=\"B1\"><v>2</v></c>"
                              "<c r=\"C1\" s=\"0\"/></row></sheetData>", r);
    EXPECT_EQ(out, "<sheetData><row r=\"1\"><c r=\"A1\" s=\"13\"><v>1</v></c><c r=\"B1\" s=\"5\"><v>2</v></c>"
                   "<c r=\"C1\" s=\"5\"/></row></sheetData>");
}

TEST(SheetRewriter, ChangesOnlyTheValueInTagsWrittenInAnotherStyle)
{
    Recording r;
    std::string out = rewrite("<sheetData><row r='1'><c r='A1'  s='3' t='s'><v>2</v></c></row></sheetData>"
                              "<hyperlinks><hyperlink ref='A1' location='Data!B2'/></hyperlinks>", r);
    EXPECT_EQ(out, "<sheetData><row r='1'><c r='A1'  s='13' t='s'><v>102</v></c></row></sheetData>"
                   "<hyperlinks><hyperlink ref='A1' location=\"'Data (2)'!B2\"/></hyperlinks>")
        << "a renamed place holds an apostrophe, so it cannot stay between apostrophes";
}

TEST(SheetRewriter, LeavesCellsAloneWhenTheDefaultsAgree)
{
    Recording r;
    r.plan.cellFormat = [](std::size_t i) { return i; };
    std::string body = "<sheetData><row r=\"1\"><c r=\"A1\"><v>2</v></c></row></sheetData>";
    EXPECT_EQ(rewrite(body, r), body);
}

TEST(SheetRewriter, RenumbersRowAndColumnFormats)
{
    Recording r;
    std::string out = rewrite("<cols><col min=\"1\" max=\"2\" width=\"9\" style=\"2\" customWidth=\"1\"/>"
                              "<col min=\"3\" max=\"3\" width=\"4\"/></cols>"
                              "<sheetData><row r=\"1\" s=\"4\" customFormat=\"1\" ht=\"30\"/></sheetData>", r);
    EXPECT_EQ(out, "<cols><col min=\"1\" max=\"2\" width=\"9\" style=\"12\" customWidth=\"1\"/>"
                   "<col min=\"3\" max=\"3\" width=\"4\" style=\"5\"/></cols>"
                   "<sheetData><row r=\"1\" s=\"14\" customFormat=\"1\" ht=\"30\"/></sheetData>");
}

TEST(SheetRewriter, RenumbersSharedStringsOnlyInSharedStringCells)
{
    Recording r;
    std::string out = rewrite("<sheetData><row r=\"1\">"
                              "<c r=\"A1\" s=\"1\" t=\"s\"><v>4</v></c>"
                              "<c r=\"B1\" t=\"str\"><f>\"x\"</f><v>4</v></c>"
                              "<c r=\"C1\" t=\"inlineStr\"><is><t>4</t></is></c>"
                              "<c r=\"D1\" t=\"n\"><v>4</v></c>"
                              "<c r=\"E1\" t=\"b\"><v>1</v></c><c r=\"F1\" t=\"e\"><v>#N/A</v></c>"
                              "<c t=\"s\" r=\"G1\"><v> 2 </v></c></row></sheetData>", r);
    EXPECT_NE(out.find("<c r=\"A1\" s=\"11\" t=\"s\"><v>104</v></c>"), std::string::npos) << out;
    EXPECT_NE(out.find("<f>\"x\"</f><v>4</v>"), std::string::npos);
    EXPECT_NE(out.find("<is><t>4</t></is>"), std::string::npos);
    EXPECT_NE(out.find("<c r=\"D1\" t=\"n\" s=\"5\"><v>4</v></c>"), std::string::npos) << out;
    EXPECT_NE(out.find("<v>#N/A</v>"), std::string::npos);
    EXPECT_NE(out.find("<v>102</v>"), std::string::npos);
    EXPECT_EQ(r.strings, (std::vector<std::size_t>{4, 2}));
}

TEST(SheetRewriter, AnErrorCellsEmptyFormulaGoesAndItsErrorStays)
{
    Recording r;
    r.plan.cellFormat = [](std::size_t i) { return i; };
    const std::string kept = "<c r=\"C1\"><f></f><v>0</v></c><c r=\"D1\" t=\"e\"><f t=\"shared\" si=\"0\"/><v>#N/A</v></c>"
                             "<c r=\"E1\" t=\"e\"><f>1/0</f><v>#DIV/0!</v></c>";
    EXPECT_EQ(rewrite("<sheetData><row r=\"1\"><c r=\"A1\" t=\"e\"><f aca=\"false\"></f><v>#NULL!</v></c>"
                      "<c r=\"B1\" t=\"e\"><f/><v>#REF!</v></c>" + kept + "</row></sheetData>", r),
              "<sheetData><row r=\"1\"><c r=\"A1\" t=\"e\"><v>#NULL!</v></c><c r=\"B1\" t=\"e\"><v>#REF!</v></c>" + kept +
                  "</row></sheetData>");
}

TEST(SheetRewriter, DropsCellMetadataIndexesUnlessTheCopyStaysInItsWorkbook)
{
    Recording r;
    r.plan.cellFormat = [](std::size_t i) { return i; };
    std::string body = "<sheetData><row r=\"1\"><c r=\"A1\" cm=\"1\"><f t=\"array\" ref=\"A1:A2\">SEQUENCE(2)</f><v>1</v></c>"
                       "<c r=\"B1\" t=\"e\" vm=\"2\"><v>#VALUE!</v></c></row></sheetData>";
    EXPECT_EQ(rewrite(body, r), "<sheetData><row r=\"1\"><c r=\"A1\"><f t=\"array\" ref=\"A1:A2\">SEQUENCE(2)</f><v>1</v></c>"
                                "<c r=\"B1\" t=\"e\"><v>#VALUE!</v></c></row></sheetData>");
    r.plan.keepCellMetadata = true;
    EXPECT_EQ(rewrite(body, r), body);
}

TEST(SheetRewriter, UnderstandsPrefixedElementNames)
{
    Recording r;
    ChunkReader in("<x:worksheet xmlns:x=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
                   "<x:sheetViews><x:sheetView tabSelected=\"1\" workbookViewId=\"0\"/></x:sheetViews>"
                   "<x:sheetData><x:row r=\"1\"><x:c r=\"A1\" t=\"s\"><x:v>0</x:v></x:c><x:c r=\"B1\" s=\"2\"/></x:row>"
                   "</x:sheetData></x:worksheet>",
                   5);
    std::string out = inflated(rewriteSheet(in, 0, r.plan, nullptr, "f", "p"));
    EXPECT_NE(out.find("<x:c r=\"A1\" t=\"s\" s=\"5\"><x:v>100</x:v></x:c><x:c r=\"B1\" s=\"12\"/>"), std::string::npos) << out;
    EXPECT_NE(out.find("<x:sheetView workbookViewId=\"0\"/>"), std::string::npos) << out;
}

TEST(SheetRewriter, FollowsTheSheetsOwnNameInFormulas)
{
    Recording r;
    std::string out = rewrite("<sheetData><row r=\"1\"><c r=\"A1\"><f>SUM(Data!B1:B9)+Other!A1&amp;\"Data!\"</f><v>3</v></c>"
                              "<c r=\"A2\"><f t=\"shared\" ref=\"A2:A4\" si=\"0\">'Data'!C1*2</f><v>1</v></c>"
                              "<c r=\"A3\"><f t=\"shared\" si=\"0\"/><v>1</v></c>"
                              "<c r=\"A5\"><f t=\"array\" ref=\"A5:A6\">Data!D1:D2</f><v>1</v></c></row></sheetData>"
                              "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"1\" priority=\"1\">"
                              "<formula>Data!$A$1&gt;0</formula></cfRule></conditionalFormatting>"
                              "<dataValidations count=\"1\"><dataValidation type=\"list\" sqref=\"B1\"><formula1>Data!$Z$1:$Z$3</formula1>"
                              "</dataValidation></dataValidations>", r);
    EXPECT_NE(out.find("<f>SUM('Data (2)'!B1:B9)+Other!A1&amp;\"Data!\"</f>"), std::string::npos) << out;
    EXPECT_NE(out.find("si=\"0\">'Data (2)'!C1*2</f>"), std::string::npos);
    EXPECT_NE(out.find("<f t=\"shared\" si=\"0\"/>"), std::string::npos);
    EXPECT_NE(out.find("ref=\"A5:A6\">'Data (2)'!D1:D2</f>"), std::string::npos);
    EXPECT_NE(out.find("dxfId=\"21\""), std::string::npos) << "conditional formats point at the merged dxf";
    EXPECT_NE(out.find("<formula>'Data (2)'!$A$1&gt;0</formula>"), std::string::npos) << out;
    EXPECT_NE(out.find("<formula1>'Data (2)'!$Z$1:$Z$3</formula1>"), std::string::npos);
}

TEST(SheetRewriter, NoticesFormulasThatNameSheetsEvenWhenTheNameStays)
{
    Recording r;
    r.plan.copyName = r.plan.sourceName;
    SheetProfile profile;
    std::string body = "<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"><f>Data!B1</f><v>1</v></c></row></sheetData>";
    std::string out = rewrite(body, r, &profile);
    EXPECT_NE(out.find("<f>Data!B1</f>"), std::string::npos);
    EXPECT_TRUE(profile.formulasNameSheets);
}

TEST(SheetRewriter, UnselectsTheTabAndKeepsOnlyWindowsTheDestinationHas)
{
    Recording r;
    r.plan.destinationWindows = 1;
    std::string out = rewrite("<sheetViews><sheetView tabSelected=\"1\" zoomScale=\"80\" workbookViewId=\"0\">"
                              "<pane ySplit=\"2\" topLeftCell=\"A3\" state=\"frozen\"/></sheetView>"
                              "<sheetView workbookViewId=\"1\"><selection activeCell=\"B2\"/></sheetView></sheetViews>"
                              "<sheetData/>", r);
    EXPECT_EQ(out, "<sheetViews><sheetView zoomScale=\"80\" workbookViewId=\"0\">"
                   "<pane ySplit=\"2\" topLeftCell=\"A3\" state=\"frozen\"/></sheetView></sheetViews><sheetData/>");
}

TEST(SheetRewriter, AViewOfAMissingWindowMovesToTheFirstWindow)
{
    Recording r;
    std::string out = rewrite("<sheetViews><sheetView workbookViewId=\"2\"/></sheetViews><sheetData/>", r);
    EXPECT_EQ(out, "<sheetViews><sheetView workbookViewId=\"0\"/></sheetViews><sheetData/>");
}

TEST(SheetRewriter, LeavesOutWhatPointsAtSourceRelationshipsAndTheContainersItEmpties)
{
    Recording r;
    std::string out = rewrite(
        "<sheetPr codeName=\"Sheet1\"><tabColor rgb=\"FFFF0000\"/></sheetPr><sheetData/>"
        "<hyperlinks><hyperlink ref=\"A1\" r:id=\"rId1\"/><hyperlink ref=\"A2\" location=\"Other!A1\"/></hyperlinks>"
        "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
        "<pageSetup paperSize=\"9\" orientation=\"landscape\" r:id=\"rId2\"/>"
        "<headerFooter><oddHeader>&amp;CTitle</oddHeader></headerFooter>"
        "<drawing r:id=\"rId3\"/><legacyDrawing r:id=\"rId4\"/>"
        "<mc:AlternateContent><mc:Choice Requires=\"x14\"><controls><control shapeId=\"1\" r:id=\"rId5\"/></controls></mc:Choice>"
        "<mc:Fallback><controls><control shapeId=\"1\" r:id=\"rId5\"/></controls></mc:Fallback></mc:AlternateContent>"
        "<tableParts count=\"1\"><tablePart r:id=\"rId6\"/></tableParts>"
        "<extLst><ext uri=\"{78C0D931-6437-407d-A8EE-F0AAD7539E65}\"><x14:conditionalFormattings/></ext>"
        "<ext uri=\"{3A4CF648-6AED-40f4-86FF-DC5316D8AED3}\"><x14:slicerList><x14:slicer r:id=\"rId7\"/></x14:slicerList></ext>"
        "</extLst>",
        r);
    EXPECT_EQ(out, "<sheetPr><tabColor rgb=\"FFFF0000\"/></sheetPr><sheetData/>"
                   "<hyperlinks><hyperlink ref=\"A2\" location=\"Other!A1\"/></hyperlinks>"
                   "<pageMargins left=\"0.7\" right=\"0.7\" top=\"0.75\" bottom=\"0.75\" header=\"0.3\" footer=\"0.3\"/>"
                   "<pageSetup paperSize=\"9\" orientation=\"landscape\"/>"
                   "<headerFooter><oddHeader>&amp;CTitle</oddHeader></headerFooter>"
                   "<extLst><ext uri=\"{78C0D931-6437-407d-A8EE-F0AAD7539E65}\"><x14:conditionalFormattings/></ext></extLst>");
}

TEST(SheetRewriter, KeepsElementsWhoseRelationshipsTravel)
{
    Recording r;
    r.plan.keptRelationships = {"rId1", "rId3"};
    std::string out = rewrite("<sheetData/><hyperlinks><hyperlink ref=\"A1\" r:id=\"rId1\"/><hyperlink ref=\"B1\" r:id=\"rId2\"/>"
                              "</hyperlinks><pageSetup orientation=\"portrait\" r:id=\"rId4\"/><drawing r:id=\"rId3\"/>"
                              "<legacyDrawing r:id=\"rId5\"/>", r);
    EXPECT_EQ(out, "<sheetData/><hyperlinks><hyperlink ref=\"A1\" r:id=\"rId1\"/></hyperlinks>"
                   "<pageSetup orientation=\"portrait\"/><drawing r:id=\"rId3\"/>");
}

TEST(SheetRewriter, PassesThroughWhatItDoesNotModel)
{
    Recording r;
    std::string body = "<sheetPr filterMode=\"1\"><outlinePr summaryBelow=\"0\"/></sheetPr><dimension ref=\"A1:C3\"/>"
                       "<sheetFormatPr defaultRowHeight=\"15\" x14ac:dyDescent=\"0.25\" xmlns:x14ac=\"urn:x14ac\"/>"
                       "<sheetData/><sheetProtection sheet=\"1\" objects=\"1\"/><autoFilter ref=\"A1:C3\"><filterColumn colId=\"0\">"
                       "<filters><filter val=\"x\"/></filters></filterColumn></autoFilter>"
                       "<mergeCells count=\"1\"><mergeCell ref=\"A1:B1\"/></mergeCells><!-- kept -->"
                       "<printOptions gridLines=\"1\"/><rowBreaks count=\"1\"><brk id=\"5\" max=\"16383\" man=\"1\"/></rowBreaks>"
                       "<ignoredErrors><ignoredError sqref=\"A1\" numberStoredAsText=\"1\"/></ignoredErrors>"
                       "<extLst><ext uri=\"{unknown}\"><foo:bar xmlns:foo=\"urn:foo\" a=\"1\">text</foo:bar></ext></extLst>";
    EXPECT_EQ(rewrite(body, r), body);
}

TEST(SheetRewriter, TranslatesColoursOutsideTheCellsWhenThemesDiffer)
{
    Recording r;
    ThemeInfo dst = defaultTheme();
    dst.colors[4] = "000001";
    r.plan.colors = ColorTranslator(defaultTheme(), dst, {}, {});
    std::string out = rewrite("<sheetPr><tabColor theme=\"4\" tint=\"0.5\"/></sheetPr><sheetData/>"
                              "<conditionalFormatting sqref=\"A1:A9\"><cfRule type=\"colorScale\" priority=\"1\"><colorScale>"
                              "<cfvo type=\"min\"/><cfvo type=\"max\"/><color theme=\"4\"/><color rgb=\"FF00FF00\"/></colorScale>"
                              "</cfRule></conditionalFormatting>", r);
    EXPECT_NE(out.find("<tabColor rgb=\"FF" + applyTint("4472C4", 0.5) + "\"/>"), std::string::npos) << out;
    EXPECT_NE(out.find("<color rgb=\"FF4472C4\"/><color rgb=\"FF00FF00\"/>"), std::string::npos) << out;
}

TEST(SheetRewriter, LearnsWhatTheSheetUsesInTheOrderItUsesIt)
{
    Recording r;
    SheetProfile profile;
    rewrite("<cols><col min=\"1\" max=\"1\" style=\"6\"/></cols><sheetData><row r=\"1\"><c r=\"A1\" s=\"3\" t=\"s\"><v>2</v></c>"
            "<c r=\"B1\" t=\"s\"><v>1</v></c><c r=\"C1\" s=\"3\" t=\"s\"><v>2</v></c></row></sheetData>"
            "<conditionalFormatting sqref=\"A1\"><cfRule type=\"expression\" dxfId=\"2\" priority=\"1\"><formula>1</formula>"
            "</cfRule></conditionalFormatting>", r, &profile);
    EXPECT_EQ(profile.cellFormats, (std::vector<std::uint32_t>{6, 3, 0}));
    EXPECT_EQ(profile.strings, (std::vector<std::uint32_t>{2, 1}));
    EXPECT_EQ(profile.differentialFormats, (std::vector<std::uint32_t>{2}));
    EXPECT_EQ(profile.stringCells, 3u);
    EXPECT_FALSE(profile.formulasNameSheets) << "its only formula names no sheet";
    EXPECT_EQ(r.styles, (std::vector<std::size_t>{6, 3, 0})) << "each index is mapped once";
}

TEST(SheetRewriter, AnUndefinedFormatIsTheDefaultOneAndCountedAndAnUndefinedTextNamesTheCell)
{
    Recording r;
    SheetProfile profile;
    EXPECT_EQ(rewrite("<sheetData><row r=\"1\" s=\"9\" customFormat=\"1\"><c r=\"B7\" s=\"8\"/><c r=\"C7\" s=\"1\"/></row></sheetData>", r,
                      &profile),
              "<sheetData><row r=\"1\" s=\"5\" customFormat=\"1\"><c r=\"B7\" s=\"5\"/><c r=\"C7\" s=\"11\"/></row></sheetData>");
    EXPECT_EQ(profile.undefinedFormats, 2u);
    EXPECT_EQ(profile.firstUndefinedFormat, "a row or column");
    EXPECT_EQ(failure("<sheetData><row r=\"1\"><c r=\"B7\" t=\"s\"><v>5</v></c></row></sheetData>", r),
              ErrorCode::StringIndexOutOfRange);
    try {
        rewrite("<sheetData><row r=\"1\"><c r=\"C9\" t=\"s\"><v>77</v></c></row></sheetData>", r);
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find("C9"), std::string::npos) << e.what();
    }
}

TEST(SheetRewriter, RefusesBrokenAndHostileXml)
{
    Recording r;
    EXPECT_EQ(failure("<sheetData><row></sheetData>", r), ErrorCode::PartDamaged);
    EXPECT_EQ(failure("<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>x</v></c></row></sheetData>", r), ErrorCode::PartDamaged);
    EXPECT_EQ(failure("<sheetData><row r=\"1\"><c r=\"A1\" s=\"-1\"/></row></sheetData>", r), ErrorCode::PartDamaged);
    ChunkReader doctype("<!DOCTYPE w [<!ENTITY a \"b\">]>" + kHead + "<sheetData/>" + kTail, 4);
    EXPECT_THROW(rewriteSheet(doctype, 0, r.plan, nullptr, "f", "p"), EngineError);
    ChunkReader cut(kHead + "<sheetData><row r=\"1\">", 4);
    EXPECT_THROW(rewriteSheet(cut, 0, r.plan, nullptr, "f", "p"), EngineError);
    ChunkReader notSheet("<workbook xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\"/>", 4);
    EXPECT_THROW(rewriteSheet(notSheet, 0, r.plan, nullptr, "f", "p"), EngineError);
}

TEST(SheetRewriter, AnEmptyFormatIndexIsTheFirstFormat)
{
    Recording r;
    std::string out = rewrite("<cols><col min=\"1\" max=\"1\" style=\"\"/></cols><sheetData>"
                              "<row r=\"1\" s=\"\" customFormat=\"1\"><c r=\"A1\" s=\"\"><v>1</v></c></row></sheetData>",
                              r);
    EXPECT_NE(out.find("style=\"5\""), std::string::npos) << out;
    EXPECT_NE(out.find("<row r=\"1\" s=\"5\""), std::string::npos) << out;
    EXPECT_NE(out.find("<c r=\"A1\" s=\"5\""), std::string::npos) << out;
}

TEST(SheetRewriter, ADamagedFormatIndexIsPlacedAtItsOwnTag)
{
    const std::string cols = "<cols><col min=\"1\" max=\"1\" style=\"x\"/></cols>";
    const std::string row = "<row r=\"2\" s=\"x\">";
    const std::string cell = "<c r=\"D4\" s=\"-1\"/>";
    const std::string sheet = "<sheetData><row r=\"1\"><c r=\"A1\" s=\"1\"/></row>";
    for (const auto& [body, tag] : {std::pair{cols + "<sheetData/>", cols.substr(6, cols.size() - 13)},
                                    std::pair{sheet + row + "</row></sheetData>", row},
                                    std::pair{sheet + "<row r=\"4\">" + cell + "</row></sheetData>", cell}}) {
        Recording r;
        const std::size_t after = kHead.size() + body.find(tag) + tag.size();
        try {
            rewrite(body, r);
            ADD_FAILURE() << "no error for " << body;
        } catch (const EngineError& e) {
            EXPECT_EQ(e.code(), ErrorCode::PartDamaged);
            EXPECT_NE(std::string(e.what()).find("(near byte " + std::to_string(after) + ")"), std::string::npos)
                << e.what();
        }
    }
}

TEST(SheetRewriter, AGreatManyRowsPassInPieces)
{
    Recording r;
    std::string body = "<sheetData>";
    for (int i = 1; i <= 30000; ++i)
        body += "<row r=\"" + std::to_string(i) + "\"><c r=\"A" + std::to_string(i) + "\" s=\"1\" t=\"s\"><v>3</v></c></row>";
    body += "</sheetData>";
    std::string out = rewrite(body, r, nullptr, 100000);
    std::size_t n = 0, pos = 0;
    while ((pos = out.find("s=\"11\" t=\"s\"><v>103</v>", pos)) != std::string::npos) {
        ++n;
        ++pos;
    }
    EXPECT_EQ(n, 30000u);
}
