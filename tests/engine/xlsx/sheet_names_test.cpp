// SPDX-License-Identifier: MIT
#include "engine/sml/sheet_names.h"

#include <gtest/gtest.h>

#include <set>

using namespace tessaro::xlsx;

TEST(SheetNames, CompareWithoutLetterCaseInEveryScript)
{
    struct Pair {
        const char* a;
        const char* b;
    };
    const Pair same[] = {
        {"Data", "DATA"},
        {"Übersicht", "übersicht"},
        {"ΑΒΓ", "αβγ"},
        {"Отчёт", "ОТЧЁТ"},
        {"\u1EA0p", "\u1EA1P"},                          // Vietnamese A with dot below
        {"\u0386\u03A1\u03A7", "\u03AC\u03C1\u03C7"},  // Greek capitals with tonos
        {"\u0531\u0532", "\u0561\u0562"},              // Armenian
        {"\u1C90\u1C91", "\u10D0\u10D1"},              // Georgian Mtavruli and Mkhedruli
        {"\u13A0\u13A1", "\uAB70\uAB71"},              // Cherokee capitals and small letters
        {"\u13F0", "\u13F8"},                            // Cherokee letters of the first block
        {"\U00010400", "\U00010428"},                    // Deseret, outside the first plane
        {"\u1E9E", "\u00DF"},                            // capital and small sharp s
        {"\u03A3\u03C2", "\u03C3\u03C3"},              // final sigma
        {"\uFF21", "\uFF41"},                            // fullwidth A
    };
    for (const Pair& p : same)
        EXPECT_TRUE(sameSheetName(p.a, p.b)) << p.a << " / " << p.b;

    // Only one character to one: a name never equals one of a different length.
    const Pair different[] = {
        {"Data", "Data2"},
        {"工作表1", "工作表2"},
        {"Stra\u00DFe", "STRASSE"},
        {"\uFB01le", "file"},         // the ligature fi
        {"\u0130", "i"},              // Turkish capital I with dot above
        {"\u1EA0", "A"},              // a letter and its base letter
    };
    for (const Pair& p : different)
        EXPECT_FALSE(sameSheetName(p.a, p.b)) << p.a << " / " << p.b;
}

TEST(SheetNames, QuotesNamesThatCouldBeMisread)
{
    EXPECT_EQ(quoteSheetName("Data"), "Data");
    EXPECT_EQ(quoteSheetName("Data_2.v"), "Data_2.v");
    EXPECT_EQ(quoteSheetName("My Sheet"), "'My Sheet'");
    EXPECT_EQ(quoteSheetName("Bob's"), "'Bob''s'");
    EXPECT_EQ(quoteSheetName("A1"), "'A1'");
    EXPECT_EQ(quoteSheetName("R1C1"), "'R1C1'");
    EXPECT_EQ(quoteSheetName("RC"), "'RC'");
    EXPECT_EQ(quoteSheetName("2019"), "'2019'");
    EXPECT_EQ(quoteSheetName("TRUE"), "'TRUE'");
    EXPECT_EQ(quoteSheetName("Data (2)"), "'Data (2)'");
}

TEST(FormulaSheetNames, RenamesReferencesToTheSheetOnly)
{
    EXPECT_EQ(renameSheetInFormula("Data!A1+data!B2", "Data", "Data (2)").value(), "'Data (2)'!A1+'Data (2)'!B2");
    EXPECT_EQ(renameSheetInFormula("SUM('My Data'!A1:B2)", "My Data", "New").value(), "SUM(New!A1:B2)");
    EXPECT_EQ(renameSheetInFormula("Data!A1:Data!B2", "Data", "X").value(), "X!A1:X!B2");
    EXPECT_FALSE(renameSheetInFormula("Other!A1+A2", "Data", "X").has_value());
    EXPECT_FALSE(renameSheetInFormula("A1+B2", "Data", "X").has_value());
}

TEST(FormulaSheetNames, LeavesLiteralsExternalAnd3DReferencesAlone)
{
    EXPECT_FALSE(renameSheetInFormula("\"Data!A1\"&B1", "Data", "X").has_value());
    EXPECT_FALSE(renameSheetInFormula("[1]Data!A1", "Data", "X").has_value());
    EXPECT_FALSE(renameSheetInFormula("'[1]Data'!A1", "Data", "X").has_value());
    EXPECT_FALSE(renameSheetInFormula("SUM(Jan:Data!A1)", "Data", "X").has_value());
    EXPECT_FALSE(renameSheetInFormula("SUM('Jan:Data'!A1)", "Data", "X").has_value());
    EXPECT_EQ(renameSheetInFormula("\"x\"\"Data!\"&Data!A1", "Data", "X").value(), "\"x\"\"Data!\"&X!A1");
    EXPECT_EQ(renameSheetInFormula("Table1[[#This Row],[Col]]+Data!A1", "Data", "X").value(),
              "Table1[[#This Row],[Col]]+X!A1");
}
