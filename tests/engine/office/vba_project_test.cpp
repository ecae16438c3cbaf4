// SPDX-License-Identifier: MIT
#include "engine/office/vba_project.h"
#include "engine/office/xls_cells.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

using namespace tessaro;

namespace {

std::string le(std::uint32_t v, int bytes)
{
    std::string s;
    for (int i = 0; i < bytes; ++i)
        s.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return s;
}

std::string record(std::uint16_t type, const std::string& body) { return le(type, 2) + le(static_cast<std::uint32_t>(body.size()), 2) + body; }

std::uint32_t u32At(const std::string& s, std::size_t at)
{
    std::uint32_t v = 0;
    for (int i = 3; i >= 0; --i)
        v = v << 8 | static_cast<std::uint8_t>(s[at + static_cast<std::size_t>(i)]);
    return v;
}

std::uint16_t typeAt(const std::string& s, std::size_t at)
{
    return static_cast<std::uint16_t>(static_cast<std::uint8_t>(s[at]) | static_cast<std::uint8_t>(s[at + 1]) << 8);
}

std::string bof() { return record(0x0809, std::string(16, '\0')); }
std::string eof() { return record(0x000A, ""); }
std::string boundSheet(std::uint32_t at, const std::string& name)
{
    return record(0x0085, le(at, 4) + std::string(2, '\0') + le(static_cast<std::uint32_t>(name.size()), 1) + '\0' + name);
}
std::string codeName(const std::string& name) { return record(0x01BA, le(static_cast<std::uint32_t>(name.size()), 2) + '\0' + name); }

// A workbook of two sheets as LibreOffice writes it without a project: the first sheet's
// INDEX points at its column defaults and its row block, EXTSST at the shared strings.
struct Saved {
    std::string bytes;
    std::size_t sheet1 = 0, sheet2 = 0, sst = 0, defColWidth = 0, dbCell = 0;
};

Saved savedBook()
{
    Saved s;
    const std::string head = bof() + record(0x013D, le(1, 2) + le(2, 2)) + record(0x003D, std::string(18, '\0'));
    const std::size_t sheetsAt = head.size();
    const std::string sst = record(0x00FC, le(1, 4) + le(1, 4) + le(1, 2) + '\0' + "x");
    const std::size_t globalsSize = sheetsAt + boundSheet(0, "Data").size() + boundSheet(0, "Units").size() + sst.size() +
                                    record(0x00FF, le(8, 2) + std::string(8, '\0')).size() + eof().size();
    s.sst = sheetsAt + boundSheet(0, "Data").size() + boundSheet(0, "Units").size();
    s.sheet1 = globalsSize;
    // Sheet 1: BOF, INDEX, DEFCOLWIDTH, ROW, DBCELL, SHEETEXT, EOF.
    const std::size_t indexSize = 4 + 20;
    s.defColWidth = s.sheet1 + bof().size() + indexSize;
    const std::string row = record(0x0208, std::string(16, '\0'));
    s.dbCell = s.defColWidth + record(0x0055, le(8, 2)).size() + row.size();
    const std::string sheet1 = bof() + record(0x020B, le(0, 4) + le(0, 4) + le(1, 4) + le(static_cast<std::uint32_t>(s.defColWidth), 4) +
                                                 le(static_cast<std::uint32_t>(s.dbCell), 4)) +
                               record(0x0055, le(8, 2)) + row + record(0x00D7, le(20, 4)) + record(0x0862, std::string(20, '\0')) +
                               eof();
    s.sheet2 = s.sheet1 + sheet1.size();
    s.bytes = head + boundSheet(static_cast<std::uint32_t>(s.sheet1), "Data") +
              boundSheet(static_cast<std::uint32_t>(s.sheet2), "Units") + sst +
              record(0x00FF, le(8, 2) + le(static_cast<std::uint32_t>(s.sst), 4) + le(12, 2) + le(0, 2)) + eof() + sheet1 +
              bof() + eof();
    return s;
}

} // namespace

TEST(VbaBinding, RecordsGoWhereTheyBelongAndEveryStreamPositionFollows)
{
    const Saved s = savedBook();
    VbaBinding binding;
    binding.objProj = record(0x00D3, "");
    binding.workbookCodeName = codeName("ThisWorkbook");
    binding.sheetCodeNames[u"Data"] = codeName("Sheet1");
    binding.sheetCodeNames[u"Gone"] = codeName("Sheet9");
    const std::string out = withVbaBinding(s.bytes, binding);
    const std::size_t globalsGrowth = binding.objProj.size() + binding.workbookCodeName.size();
    const std::size_t sheetGrowth = binding.sheetCodeNames[u"Data"].size();
    ASSERT_EQ(out.size(), s.bytes.size() + globalsGrowth + sheetGrowth);

    // After TABID: OBJPROJ, then the workbook's code name.
    const std::size_t afterTabId = 20 + 8;
    EXPECT_EQ(typeAt(out, afterTabId), 0x00D3);
    EXPECT_EQ(out.substr(afterTabId + 4, binding.workbookCodeName.size()), binding.workbookCodeName);
    // Each sheet entry points at its sheet; the sheet's own positions moved with it.
    const std::size_t entries = afterTabId + globalsGrowth + 4 + 18;
    const std::uint32_t sheet1 = u32At(out, entries + 4);
    const std::uint32_t sheet2 = u32At(out, entries + boundSheet(0, "Data").size() + 4);
    EXPECT_EQ(sheet1, s.sheet1 + globalsGrowth);
    EXPECT_EQ(sheet2, s.sheet2 + globalsGrowth + sheetGrowth);
    EXPECT_EQ(typeAt(out, sheet2), 0x0809);
    const std::size_t index = sheet1 + 20;
    ASSERT_EQ(typeAt(out, index), 0x020B);
    EXPECT_EQ(typeAt(out, u32At(out, index + 4 + 12)), 0x0055);
    EXPECT_EQ(typeAt(out, u32At(out, index + 4 + 16)), 0x00D7);
    // EXTSST finds the shared strings.
    const std::size_t extSst = s.sst + globalsGrowth + record(0x00FC, std::string(12, '\0')).size();
    ASSERT_EQ(typeAt(out, extSst), 0x00FF);
    EXPECT_EQ(typeAt(out, u32At(out, extSst + 6)), 0x00FC);
    // The sheet's code name comes before what a sheet may hold after it.
    const std::string sheetText = out.substr(sheet1, sheet2 - sheet1);
    EXPECT_EQ(sheetText.find(binding.sheetCodeNames[u"Data"]) + sheetGrowth, sheetText.size() - 4 - 24);

    // Read back, the binding is the one written; written twice, nothing changes.
    const VbaBinding again = readVbaBinding(out);
    EXPECT_EQ(again.objProj, binding.objProj);
    EXPECT_EQ(again.workbookCodeName, binding.workbookCodeName);
    ASSERT_EQ(again.sheetCodeNames.size(), 1u);
    EXPECT_EQ(again.sheetCodeNames.at(u"Data"), binding.sheetCodeNames[u"Data"]);
    EXPECT_EQ(withVbaBinding(out, binding), out);

    EXPECT_THROW(withVbaBinding(s.bytes.substr(0, s.bytes.size() - 3), binding), VbaProjectError);
}

TEST(SheetViews, AViewWrittenIntoOneSheetIsReadBackAndTheNextSheetIsStillFound)
{
    // Two sheets as LibreOffice writes a copy: a window with grid lines shown and one selection.
    const std::string window = record(0x023E, le(0x06B6, 2) + std::string(16, '\0'));
    const std::string selection = record(0x001D, std::string(15, '\0'));
    const std::string sheet = bof() + window + selection + eof();
    const std::size_t globals = bof().size() + boundSheet(0, "Data").size() + boundSheet(0, "Units").size() + eof().size();
    const std::string saved = bof() + boundSheet(static_cast<std::uint32_t>(globals), "Data") +
                              boundSheet(static_cast<std::uint32_t>(globals + sheet.size()), "Units") + eof() + sheet +
                              sheet;

    const SheetView view{1, 2, 3, 4, true, 80};
    const std::string out = withSheetViews(saved, {{u"Data", view}});
    const auto read = sheetViewsOf(out);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read.at(u"Data"), view);
    // The zoom, then the pane with a selection of its own, before the window's old selection.
    const std::size_t at = globals + bof().size() + window.size();
    EXPECT_EQ(typeAt(out, at), 0x00A0);
    EXPECT_EQ(typeAt(out, at + 8), 0x0041);
    EXPECT_EQ(typeAt(out, at + 22), 0x001D);
    EXPECT_EQ(typeAt(out, at + 22 + selection.size()), 0x001D);
    // The second sheet's entry moved with what was put before it.
    const std::uint32_t units = u32At(out, bof().size() + boundSheet(0, "Data").size() + 4);
    EXPECT_EQ(units, globals + sheet.size() + 8 + 14 + selection.size());
    EXPECT_EQ(typeAt(out, units), 0x0809);
    // Written again, the sheet keeps the pane and zoom it has.
    EXPECT_EQ(withSheetViews(out, {{u"Data", view}}), out);
    EXPECT_EQ(withSheetViews(saved, {}), saved);
    // A sheet entry whose name runs past its record is left alone; the others get their views.
    std::string cut = saved;
    cut[bof().size() + boundSheet(0, "Data").size() + 4 + 6] = '\x7F';
    EXPECT_EQ(sheetViewsOf(withSheetViews(cut, {{u"Data", view}})).at(u"Data"), view);
}

namespace {

std::string bof8() { return record(0x0809, le(0x0600, 2) + le(0x0010, 2) + std::string(12, '\0')); }
std::string errorResult(std::uint8_t code) { return std::string("\x02\x00", 2) + static_cast<char>(code) + std::string("\0\0\0\xFF\xFF", 5); }
std::string formula(std::uint32_t row, std::uint32_t col, const std::string& result, const std::string& tokens)
{
    return record(0x0006, le(row, 2) + le(col, 2) + le(15, 2) + result + le(0, 2) + le(0, 4) +
                              le(static_cast<std::uint32_t>(tokens.size()), 2) + tokens);
}
std::string row(std::uint32_t r) { return record(0x0208, le(r, 2) + std::string(14, '\0')); }
std::string name(const std::string& n)
{
    return record(0x0018, le(0, 2) + '\0' + static_cast<char>(n.size()) + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) + '\0' + n);
}

// A sheet's records with its INDEX and the DBCELL of its one row block filled in, as the
// writer of the stream does: rows, then their cells; `firstCells` are indexes into `cells`.
std::string sheetWithBlock(std::size_t at, const std::vector<std::string>& rows, const std::vector<std::string>& cells,
                           const std::vector<std::size_t>& firstCells)
{
    std::string s = bof8();
    const std::size_t index = at + s.size();
    s += record(0x020B, std::string(20, '\0'));
    const std::size_t firstRow = at + s.size();
    for (const auto& r : rows)
        s += r;
    std::vector<std::size_t> cellAt;
    for (const auto& c : cells) {
        cellAt.push_back(at + s.size());
        s += c;
    }
    const std::size_t dbCell = at + s.size();
    std::string offsets = le(static_cast<std::uint32_t>(dbCell - firstRow), 4);
    std::size_t from = firstRow + rows.front().size();
    for (const std::size_t k : firstCells) {
        offsets += le(static_cast<std::uint32_t>(cellAt[k] - from), 2);
        from = cellAt[k];
    }
    s += record(0x00D7, offsets) + eof();
    const std::string dbCellAt = le(static_cast<std::uint32_t>(dbCell), 4);
    s.replace(index - at + 4 + 16, 4, dbCellAt);
    return s;
}

// What a DBCELL points at: the type of its first ROW, then (type, row) of each first cell.
std::vector<std::pair<std::uint16_t, std::uint32_t>> blockOf(const std::string& s, std::size_t dbCell)
{
    const std::size_t firstRow = dbCell - u32At(s, dbCell + 4);
    std::vector<std::pair<std::uint16_t, std::uint32_t>> found{{typeAt(s, firstRow), 0}};
    std::size_t at = firstRow + 20;
    for (std::size_t k = dbCell + 8; k < dbCell + 4 + typeAt(s, dbCell + 2); k += 2) {
        at += typeAt(s, k);
        found.emplace_back(typeAt(s, at), typeAt(s, at + 4));
    }
    return found;
}

} // namespace

TEST(XlsCells, ErrorValuesAndErrorConstantFormulasComeBackAndEveryRowBlockStillFindsItsCells)
{
    const std::string divZero = "\x1C\x07", notAvailable = "\x1C\x2A";
    const std::string onePlusDivZero = std::string("\x1E\x01\x00", 3) + divZero + "\x03";
    // A function of an add-in, or a name of another workbook: =Rate()+#DIV/0!
    const std::string otherBook = std::string("\x39\x00\x00\x01\x00\x00\x00", 7) + divZero + "\x03";
    const std::string number = std::string(6, '\0') + "\xF0\x3F";

    // Before: A1 =1+#DIV/0!, B1 the value #DIV/0!, C1 =Rate()+#DIV/0!, D1 =High+#DIV/0! (the
    // second name; LibreOffice lists the names in another order).
    const std::string names = name("Low") + name("High");
    const std::string highPlusDivZero = std::string("\x23\x02\x00\x00\x00", 5) + divZero + "\x03";
    // E1 ="a"&#DIV/0!, whose text result follows in a STRING record.
    const std::string textResult = std::string(6, '\0') + "\xFF\xFF";
    const std::string e1Before = formula(0, 4, textResult, std::string("\x17\x01\x00" "a", 4) + divZero + "\x08");
    const std::string textOfE1 = record(0x0207, le(1, 2) + '\0' + "a");
    const std::size_t globalsBefore = bof8().size() + boundSheet(0, "Own").size() + names.size() + eof().size();
    const std::string before =
        bof8() + boundSheet(static_cast<std::uint32_t>(globalsBefore), "Own") + names + eof() +
        sheetWithBlock(globalsBefore, {row(0)},
                       {formula(0, 0, errorResult(7), onePlusDivZero),
                        record(0x0205, le(0, 2) + le(1, 2) + le(15, 2) + "\x07\x01"),
                        formula(0, 2, errorResult(7), otherBook), formula(0, 3, number, highPlusDivZero),
                        e1Before, textOfE1},
                       {0});
    const auto lost = formulasNotKept(before);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0].sheet, u"Own");
    EXPECT_EQ(lost[0].cells, 1u);
    EXPECT_EQ(lost[0].first, CellAt(0, 2));
    // Read by LibreOffice, all four formulas lose their #DIV/0!; B1 is a value. Their operands say
    // where it went (a name counts as one).
    const auto unread = formulasReadAsNothing(before);
    ASSERT_EQ(unread.size(), 1u);
    const auto& unreadOwn = unread.at(u"Own");
    const std::vector<FormulaOperand> thenDivZero{{}, {FormulaOperand::Kind::Error, 7}};
    EXPECT_EQ(unreadOwn.size(), 4u);
    for (const CellAt& at : {CellAt(0, 0), CellAt(0, 2), CellAt(0, 3), CellAt(0, 4)})
        EXPECT_EQ(unreadOwn.at(at), thenDivZero);

    // As LibreOffice saves it, with a copy whose three error values share one formula.
    const std::string savedNames = name("High") + name("Low");
    const std::size_t globals =
        bof8().size() + boundSheet(0, "Own").size() + boundSheet(0, "Copy").size() + savedNames.size() + eof().size();
    const std::string own = sheetWithBlock(globals, {row(0), row(1)},
                                           {formula(0, 0, number, notAvailable), formula(0, 1, errorResult(7), divZero),
                                            formula(0, 2, number, notAvailable), formula(0, 3, errorResult(0x2A), notAvailable),
                                            formula(0, 4, errorResult(0x2A), notAvailable), record(0x0203, le(1, 2) + std::string(12, '\0'))},
                                           {0, 5});
    const std::string exp = std::string("\x01\x00\x00\x00\x00", 5);
    const std::string copy = sheetWithBlock(
        globals + own.size(), {row(0), row(1), row(2)},
        {formula(0, 0, errorResult(0x2A), exp), record(0x04BC, std::string(8, '\0') + le(2, 2) + notAvailable),
         formula(1, 0, errorResult(7), exp), formula(2, 0, errorResult(7), exp)},
        {0, 2, 3});
    const std::string saved = bof8() + boundSheet(static_cast<std::uint32_t>(globals), "Own") +
                              boundSheet(static_cast<std::uint32_t>(globals + own.size()), "Copy") + savedNames + eof() +
                              own + copy;

    // B1 of Own keeps the error LibreOffice saved; the copy's A1 is #NAME?, which LibreOffice
    // saved as #N/A (its result for the formula it wrote), its others #DIV/0!.
    const CellsBySheet errors = {{u"Own", {{{0, 1}, kErrorAsSaved}}},
                                 {u"Copy", {{{0, 0}, 0x1D}, {{1, 0}, 0x07}, {{2, 0}, kErrorAsSaved}}}};
    const std::string out = withCellsKept(saved, before, errors);
    const std::size_t ownAt = u32At(out, bof8().size() + 4), copyAt = u32At(out, bof8().size() + boundSheet(0, "Own").size() + 4);
    ASSERT_EQ(typeAt(out, ownAt), 0x0809);
    ASSERT_EQ(typeAt(out, copyAt), 0x0809);
    // Own: A1, D1 and E1 have their formulas and results back, B1 its value; C1 stays as
    // LibreOffice wrote it.
    const std::size_t a1 = ownAt + bof8().size() + 24 + 2 * row(0).size();
    const std::string a1Before = formula(0, 0, errorResult(7), onePlusDivZero);
    const std::string b1Before = record(0x0205, le(0, 2) + le(1, 2) + le(15, 2) + "\x07\x01");
    const std::string c1Saved = formula(0, 2, number, notAvailable);
    const std::string d1Before = formula(0, 3, number, std::string("\x23\x01\x00\x00\x00", 5) + divZero + "\x03");
    const std::string ownRow = a1Before + b1Before + c1Saved + d1Before + e1Before + textOfE1;
    EXPECT_EQ(out.substr(a1, ownRow.size()), ownRow);
    // Copy: three error values, and the shared formula is gone.
    const std::size_t copyCells = copyAt + bof8().size() + 24 + 3 * row(0).size();
    for (std::uint32_t r = 0; r < 3; ++r)
        EXPECT_EQ(out.substr(copyCells + 12 * r, 12),
                  record(0x0205, le(r, 2) + le(0, 2) + le(15, 2) + (r == 0 ? "\x1D\x01" : "\x07\x01")));
    // Every INDEX finds its DBCELL, and every DBCELL its first row and each row's first cell.
    const std::size_t ownBlock = u32At(out, ownAt + bof8().size() + 4 + 16);
    const std::size_t copyBlock = u32At(out, copyAt + bof8().size() + 4 + 16);
    ASSERT_EQ(typeAt(out, ownBlock), 0x00D7);
    ASSERT_EQ(typeAt(out, copyBlock), 0x00D7);
    using Found = std::vector<std::pair<std::uint16_t, std::uint32_t>>;
    EXPECT_EQ(blockOf(out, ownBlock), (Found{{0x0208, 0}, {0x0006, 0}, {0x0203, 1}}));
    EXPECT_EQ(blockOf(out, copyBlock), (Found{{0x0208, 0}, {0x0205, 0}, {0x0205, 1}, {0x0205, 2}}));
    // Written again, nothing changes.
    EXPECT_EQ(withCellsKept(out, before, errors), out);
    // A workbook before that cannot be read leaves the formulas as they were saved.
    EXPECT_EQ(withCellsKept(saved, before.substr(0, 30), {}), saved);
    // A sheet entry whose name runs past its record (LibreOffice writes back such an entry as
    // it read it) leaves that sheet as it was saved.
    std::string cut = saved;
    cut[bof8().size() + boundSheet(0, "Own").size() + 4 + 6] = '\x7F';
    EXPECT_EQ(withCellsKept(cut, "", {{u"Copy", errors.at(u"Copy")}}), cut);
}

TEST(XlsCells, NamesOfNoDefinitionLibreOfficeLeftOutGoBackWithTheFormulasReadingThem)
{
    // Before: A1 =Gone+1 and B1 =JIS(A1), a call of a function its writer did not know; both read
    // names of no definition, as a spreadsheet application writes them. LibreOffice saves Kept
    // alone, and the two formulas with #NAME? in their place.
    const std::string gonePlusOne = std::string("\x23\x01\x00\x00\x00\x1E\x01\x00\x03", 9);
    const std::string jisOfA1 = std::string("\x23\x03\x00\x00\x00\x24\x00\x00\x00\xC0\x42\x02\xFF\x00", 14);
    const std::string nameError = "\x1C\x1D";
    const std::string names = name("Gone") + name("Kept") + name("JIS");
    const std::size_t globalsBefore = bof8().size() + boundSheet(0, "Own").size() + names.size() + eof().size();
    const std::string before =
        bof8() + boundSheet(static_cast<std::uint32_t>(globalsBefore), "Own") + names + eof() +
        sheetWithBlock(globalsBefore, {row(0)},
                       {formula(0, 0, errorResult(0x1D), gonePlusOne), formula(0, 1, errorResult(0x1D), jisOfA1)}, {0});
    const std::size_t globals = bof8().size() + boundSheet(0, "Own").size() + name("Kept").size() + eof().size();
    const std::string saved =
        bof8() + boundSheet(static_cast<std::uint32_t>(globals), "Own") + name("Kept") + eof() +
        sheetWithBlock(globals, {row(0)},
                       {formula(0, 0, errorResult(0x1D), nameError + std::string("\x1E\x01\x00\x03", 4)),
                        formula(0, 1, errorResult(0x1D), nameError + jisOfA1.substr(5))},
                       {0});

    const std::string out = withCellsKept(saved, before, {});
    const std::size_t namesAt = bof8().size() + boundSheet(0, "Own").size();
    EXPECT_EQ(out.substr(namesAt, names.size()), name("Kept") + name("Gone") + name("JIS"));
    const std::size_t ownAt = u32At(out, bof8().size() + 4);
    ASSERT_EQ(typeAt(out, ownAt), 0x0809);
    const std::string cells = formula(0, 0, errorResult(0x1D), std::string("\x23\x02", 2) + gonePlusOne.substr(2)) +
                              formula(0, 1, errorResult(0x1D), jisOfA1);
    EXPECT_EQ(out.substr(ownAt + bof8().size() + 24 + row(0).size(), cells.size()), cells);
    EXPECT_EQ(blockOf(out, u32At(out, ownAt + bof8().size() + 4 + 16)),
              (std::vector<std::pair<std::uint16_t, std::uint32_t>>{{0x0208, 0}, {0x0006, 0}}));
    // Written again, nothing changes.
    EXPECT_EQ(withCellsKept(out, before, {}), out);
}

namespace {

std::string standIn(std::uint8_t code)
{
    const double value = errorStandIn(code);
    std::string bytes(sizeof value, '\0');
    std::memcpy(bytes.data(), &value, sizeof value);
    return "\x1F" + bytes;
}

// The records of a sheet from its BOF to its EOF: type and body.
std::vector<std::pair<std::uint16_t, std::string>> recordsFrom(const std::string& s, std::size_t at)
{
    std::vector<std::pair<std::uint16_t, std::string>> found;
    for (std::uint16_t type = 0; type != 0x000A && at + 4 <= s.size(); at += 4 + typeAt(s, at + 2)) {
        type = typeAt(s, at);
        found.emplace_back(type, s.substr(at + 4, typeAt(s, at + 2)));
    }
    return found;
}

} // namespace

// LibreOffice reads those constants as nothing; where each went is told by the formula's
// operands in the order it is written.
TEST(XlsCells, OperandsOfAFormulaWithErrorConstantsAreInTheOrderItIsWritten)
{
    // A1 =IF(A2>0,#VALUE!,PI())+ROUND(#NUM!,)+SUM(B1:C2), with IF's jumps and SUM as tAttrSum.
    const std::string a1 = std::string("\x24\x01\x00\x00\xC0" "\x1E\x00\x00" "\x0D" "\x19\x02\x05\x00" "\x1C\x0F"
                                       "\x19\x08\x03\x00" "\x41\x13\x00" "\x19\x08\x03\x00" "\x42\x03\x01\x00"
                                       "\x1C\x24" "\x16" "\x41\x1B\x00" "\x03"
                                       "\x25\x00\x00\x01\x00\x01\xC0\x02\xC0" "\x19\x10\x00\x00" "\x03",
                                       51);
    // B1 =Rate(#DIV/0!), a function of an add-in, whose name its text shows as the function's.
    const std::string b1 = std::string("\x39\x00\x00\x01\x00\x00\x00" "\x1C\x07" "\x42\x02\xFF\x00", 13);
    const std::size_t globals = bof8().size() + boundSheet(0, "S").size() + eof().size();
    const std::string stream =
        bof8() + boundSheet(static_cast<std::uint32_t>(globals), "S") + eof() +
        sheetWithBlock(globals, {row(0)}, {formula(0, 0, errorResult(0x0F), a1), formula(0, 1, errorResult(7), b1)}, {0});
    using K = FormulaOperand::Kind;
    const FormulaOperand x{};
    const auto found = formulasReadAsNothing(stream).at(u"S");
    EXPECT_EQ(found.at(CellAt(0, 0)), (std::vector<FormulaOperand>{x, x, {K::Error, 0x0F}, {K::Call, 0}, {K::Error, 0x24},
                                                                   {K::Missing, 0}, x, x}));
    EXPECT_FALSE(found.at(CellAt(0, 1)).has_value());
}

TEST(XlsCells, StandInsBecomeErrorConstantsWithTheirJumpsAndTheResultsOfWhatReadsThem)
{
    const std::string a2 = "\x44" + le(1, 2) + le(0xC000, 2), zero = "\x1E" + le(0, 2), two = "\x1E" + le(2, 2);
    const auto attr = [](char kind, std::uint32_t offset) { return std::string("\x19", 1) + kind + le(offset, 2); };
    const std::string ifCall = std::string("\x42\x03\x01\x00", 4), text = std::string("\x17\x01\x00", 3) + "t";
    // CHOOSE's jump table of two choices: from its start to each choice and past them.
    const auto choose = [](std::uint32_t first, std::uint32_t second, std::uint32_t past) {
        return std::string("\x19\x04", 2) + le(2, 2) + le(first, 2) + le(second, 2) + le(past, 2);
    };
    // A1 =IF(A2>0,#VALUE!,2) and C1 =IF(A2>0,"t",#N/A), as LibreOffice writes them with their
    // stand-ins; B1 =ISERROR(A1), which calculated with A1's stand-in; E1 a formula of #NUM! with the
    // stand-in as its result; A2:A3 =#NAME?+1 shared.
    const auto a1 = [&](const std::string& value, std::uint32_t skip) {
        return a2 + zero + "\x0D" + attr('\x02', skip) + value + attr('\x08', 10) + two + attr('\x08', 3) + ifCall;
    };
    const auto c1 = [&](const std::string& value, std::uint32_t skip) {
        return a2 + zero + "\x0D" + attr('\x02', 8) + text + attr('\x08', skip) + value + attr('\x08', 3) + ifCall;
    };
    const std::string number = std::string(8, '\0'), boolFalse = std::string("\x01\0\0\0\0\0\xFF\xFF", 8);
    const std::string one = "\x1E" + le(1, 2), nameError = std::string("\x1C\x1D", 2) + one + "\x03";
    const std::string exp = std::string("\x01\x01\x00\x00\x00", 5);
    const std::size_t globals = bof8().size() + boundSheet(0, "Copy").size() + eof().size();
    const std::string sheet =
        sheetWithBlock(globals, {row(0), row(1), row(2)},
                       {formula(0, 0, number, a1(standIn(0x0F), 13)), formula(0, 1, boolFalse, "\x44" + le(0, 2) + le(0xC000, 2) + "\x41\x03\x00"),
                        formula(0, 2, number, c1(standIn(0x2A), 16)), formula(0, 3, errorResult(0x2A), "\x1C\x2A"),
                        formula(0, 4, standIn(0x24).substr(1), standIn(0x24)),
                        formula(0, 5, number, "\x29" + le(12, 2) + standIn(0x07) + one + "\x03"),
                        formula(0, 6, number, a2 + choose(6, 19, 26) + standIn(0x0F) + attr('\x08', 10) + two +
                                                  attr('\x08', 3) + std::string("\x42\x03\x64\x00", 4)),
                        formula(1, 0, number, exp),
                        record(0x04BC, std::string(8, '\0') + le(13, 2) + standIn(0x1D) + "\x1E" + le(1, 2) + "\x03"),
                        formula(2, 0, number, exp)},
                       {0, 4, 6});
    const std::string saved = bof8() + boundSheet(static_cast<std::uint32_t>(globals), "Copy") + eof() + sheet;
    FormulaResult value{FormulaResult::Kind::Error, 0, u"", 0x0F}, yes{FormulaResult::Kind::Number, 1, u"", 0},
        t{FormulaResult::Kind::Text, 0, u"t", 0}, name{FormulaResult::Kind::Error, 0, u"", 0x1D};
    HeldFormulas held{{{u"Copy", {{0, 0}, {0, 2}, {0, 4}, {0, 5}, {0, 6}, {1, 0}, {2, 0}}}},
                      {{u"Copy", {{{0, 0}, value}, {{0, 1}, yes}, {{0, 2}, t}, {{1, 0}, name}, {{2, 0}, name}}}}};

    const std::string out = withCellsKept(saved, "", {}, {}, held);
    const auto records = recordsFrom(out, u32At(out, bof8().size() + 4));
    std::vector<std::pair<std::uint16_t, std::string>> cells;
    for (const auto& r : records)
        if (r.first == 0x0006 || r.first == 0x0207 || r.first == 0x04BC)
            cells.push_back(r);
    const auto body = [](const std::string& record) { return record.substr(4); };
    // The IF's jumps past the error are as long as the error is; the shared formula is gone.
    ASSERT_EQ(cells.size(), 10u);
    EXPECT_EQ(cells[0].second, body(formula(0, 0, errorResult(0x0F), a1("\x1C\x0F", 6))));
    EXPECT_EQ(cells[1].second, body(formula(0, 1, std::string("\x01\0\x01\0\0\0\xFF\xFF", 8), "\x44" + le(0, 2) + le(0xC000, 2) + "\x41\x03\x00")));
    EXPECT_EQ(cells[2].second, body(formula(0, 2, std::string(6, '\0') + "\xFF\xFF", c1("\x1C\x2A", 9))));
    EXPECT_EQ(cells[3], std::make_pair(std::uint16_t(0x0207), le(1, 2) + "\x01" + le('t', 2)));
    // E1, whose result the office could not say, shows #N/A rather than its stand-in.
    EXPECT_EQ(cells[5].second, body(formula(0, 4, errorResult(0x2A), "\x1C\x24")));
    // F1, a subexpression (tMemFunc) holding #DIV/0!: its length is the error's.
    EXPECT_EQ(cells[6].second, body(formula(0, 5, number, "\x29" + le(5, 2) + "\x1C\x07" + one + "\x03")));
    // G1 =CHOOSE(A2,#VALUE!,2): the second choice and the end are 7 bytes nearer.
    EXPECT_EQ(cells[7].second, body(formula(0, 6, number, a2 + choose(6, 12, 19) + "\x1C\x0F" + attr('\x08', 10) + two +
                                                           attr('\x08', 3) + std::string("\x42\x03\x64\x00", 4))));
    for (std::uint32_t r = 1; r <= 2; ++r)
        EXPECT_EQ(cells[7 + r].second, body(formula(r, 0, errorResult(0x1D), nameError)));
    // A formula LibreOffice wrote as #N/A although it was given stand-ins is not kept silently.
    held.standIns[u"Copy"].emplace(0, 3);
    EXPECT_THROW(withCellsKept(saved, "", {}, {}, held), VbaProjectError);
}
