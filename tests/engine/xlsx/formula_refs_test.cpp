// SPDX-License-Identifier: MIT
#include "engine/sml/formula_refs.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <map>
#include <vector>

using namespace tessaro::xlsx;
using ::testing::ElementsAre;

namespace {

// Rules that write what they were asked and answer from tables given by the test.
struct Rules final : FormulaRules {
    std::map<std::string, std::string> sheets;  // sheet -> new prefix text
    std::map<std::string, std::string> books;   // book number -> new number
    std::map<std::string, std::string> tables;  // table -> new name
    std::map<std::string, std::string> names;   // name -> new text
    std::vector<std::string> asked;
    std::vector<std::string> areas;  // references without a prefix

    std::optional<std::string> prefix(const PrefixedReference& r) override
    {
        asked.push_back("prefix " + (r.book ? "[" + *r.book + "]" : std::string()) + r.first +
                        (r.last.empty() ? "" : ":" + r.last) + " -> " + r.target);
        if (r.book) {
            auto it = books.find(*r.book);
            if (it == books.end())
                return std::nullopt;
            return externalPrefix(it->second, r.first, r.last);
        }
        auto it = sheets.find(r.first);
        return it == sheets.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    std::optional<std::string> table(std::string_view name, std::string_view spec) override
    {
        asked.push_back("table " + std::string(name) + std::string(spec));
        auto it = tables.find(std::string(name));
        return it == tables.end() ? std::nullopt : std::optional<std::string>(it->second + std::string(spec));
    }
    std::optional<std::string> name(std::string_view name) override
    {
        asked.push_back("name " + std::string(name));
        auto it = names.find(std::string(name));
        return it == names.end() ? std::nullopt : std::optional<std::string>(it->second);
    }
    void area(std::string_view a) override { areas.emplace_back(a); }
};

} // namespace

TEST(FormulaRefs, FindsEveryKindOfSheetPrefixAndItsTarget)
{
    Rules r;
    EXPECT_FALSE(translateFormula("SUM(Data!A1:B2)+'My ''Sheet'''!$C$3+Jan:Mar!B3+'Q 1:Q 4'!A:A", r));
    EXPECT_THAT(r.asked, ElementsAre("prefix Data -> A1:B2", "prefix My 'Sheet' -> $C$3", "prefix Jan:Mar -> B3",
                                     "prefix Q 1:Q 4 -> A:A"));
}

TEST(FormulaRefs, FindsBookPrefixesAndBookNames)
{
    Rules r;
    EXPECT_FALSE(translateFormula("[1]Rates!C4*'[2]Old data'!D5+[3]!Total+[0]!Local+'[4]A:B'!Z9", r));
    EXPECT_THAT(r.asked, ElementsAre("prefix [1]Rates -> C4", "prefix [2]Old data -> D5", "prefix [3] -> Total",
                                     "prefix [0] -> Local", "prefix [4]A:B -> Z9"));
}

TEST(FormulaRefs, RewritesOnlyWhatTheRulesChange)
{
    Rules r;
    r.sheets["Data"] = "'Data (2)'!";
    r.sheets["Other"] = "[1]Other!";
    r.books["3"] = "5";
    auto out = translateFormula("Data!A1+Other!B2:C3+Keep!D4+[3]Far!E5+\"Data!A1 in text\"", r);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "'Data (2)'!A1+[1]Other!B2:C3+Keep!D4+[5]Far!E5+\"Data!A1 in text\"");
}

TEST(FormulaRefs, RangesThatNameTheirSheetTwiceAreTwoPrefixes)
{
    Rules r;
    r.sheets["S"] = "T!";
    auto out = translateFormula("SUM(S!A1:S!B2)", r);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "SUM(T!A1:T!B2)");
}

TEST(FormulaRefs, TablesAndStructuredReferences)
{
    Rules r;
    r.tables["Sales"] = "Sales2";
    auto out = translateFormula("SUM(Sales[Amount])+Sales[[#This Row],[Col'[1']]]+[@Qty]+Other[#All]", r);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "SUM(Sales2[Amount])+Sales2[[#This Row],[Col'[1']]]+[@Qty]+Other[#All]");
    EXPECT_THAT(r.asked, ElementsAre("table Sales[Amount]", "table Sales[[#This Row],[Col'[1']]]", "table Other[#All]"));
}

TEST(FormulaRefs, NamesAreWhatIsNeitherAFunctionNorAReference)
{
    Rules r;
    r.names["Rate"] = "Rate2";
    auto out = translateFormula("IF(TRUE,Rate*A1,_xlfn.XLOOKUP(B$2,Codes,$C:$C))+1.5E+3+Total_2019+AB12+R1C1", r);
    ASSERT_TRUE(out);
    EXPECT_EQ(*out, "IF(TRUE,Rate2*A1,_xlfn.XLOOKUP(B$2,Codes,$C:$C))+1.5E+3+Total_2019+AB12+R1C1");
    EXPECT_THAT(r.asked, ElementsAre("name Rate", "name Codes", "name Total_2019", "name R1C1"));
    EXPECT_THAT(r.areas, ElementsAre("A1", "B$2", "$C:$C", "AB12"));
}

TEST(FormulaRefs, ReferencesWithoutAPrefixComeWholeWithTheirColon)
{
    Rules r;
    EXPECT_FALSE(translateFormula("SUM(A1:$B$2,$3:5,7:$9,C7:Total,XFD1048576)+Sheet2!F1:F2+ROUND(H1,2)*1.5E+3:1", r));
    EXPECT_THAT(r.areas, ElementsAre("A1:$B$2", "$3:5", "7:$9", "C7", "XFD1048576", "H1"));
}

TEST(FormulaRefs, ErrorsStringsAndArraysPassUntouched)
{
    Rules r;
    r.sheets["A"] = "B!";
    EXPECT_FALSE(translateFormula("#REF!+{\"A!x\",1;2,3}+\"it''s A!B\"+#N/A", r));
    EXPECT_TRUE(r.asked.empty());
}

TEST(FormulaRefs, ExternalPrefixesQuoteWhereTheSheetNameNeedsIt)
{
    EXPECT_EQ(externalPrefix("1", "Sheet2"), "[1]Sheet2!");
    EXPECT_EQ(externalPrefix("2", "My sheet"), "'[2]My sheet'!");
    EXPECT_EQ(externalPrefix("3", "Bob's"), "'[3]Bob''s'!");
    EXPECT_EQ(externalPrefix("4", "Jan", "Mar"), "[4]Jan:Mar!");
    EXPECT_EQ(externalPrefix("5", "A1"), "'[5]A1'!") << "a name that reads as a cell";
    EXPECT_EQ(externalPrefix("6", ""), "[6]!");
}

TEST(FormulaRefs, AreasAndCells)
{
    auto a = parseArea("$B$2:$D$10");
    ASSERT_TRUE(a);
    EXPECT_EQ(a->firstRow, 2);
    EXPECT_EQ(a->firstCol, 2);
    EXPECT_EQ(a->lastRow, 10);
    EXPECT_EQ(a->lastCol, 4);
    auto cols = parseArea("C:A");
    ASSERT_TRUE(cols);
    EXPECT_EQ(cols->firstCol, 1);
    EXPECT_EQ(cols->lastCol, 3);
    EXPECT_EQ(cols->lastRow, 1048576);
    auto rows = parseArea("$3:5");
    ASSERT_TRUE(rows);
    EXPECT_EQ(rows->firstRow, 3);
    EXPECT_EQ(rows->lastRow, 5);
    EXPECT_EQ(rows->lastCol, 16384);
    EXPECT_FALSE(parseArea("Total"));
    EXPECT_FALSE(parseArea("XFE1")) << "beyond the last column";
    long row, col;
    ASSERT_TRUE(parseCell("$AB$12", row, col));
    EXPECT_EQ(row, 12);
    EXPECT_EQ(col, 28);
    EXPECT_EQ(columnLetters(28), "AB");
    EXPECT_EQ(columnLetters(16384), "XFD");
    EXPECT_EQ(columnNumber("xfd"), 16384);
}
