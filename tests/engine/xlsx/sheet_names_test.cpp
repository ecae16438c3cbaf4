// SPDX-License-Identifier: MIT
#include "engine/sml/sheet_names.h"

#include <gtest/gtest.h>

#include <set>

using namespace tessaro::xlsx;

TEST(SheetNames, CompareWithoutLetterCaseInEveryScript)
{
    EXPECT_TRUE(sameSheetName("Data", "DATA"));
    EXPECT_TRUE(sameSheetName("Übersicht", "übersicht"));
    EXPECT_TRUE(sameSheetName("ΑΒΓ", "αβγ"));
    EXPECT_TRUE(sameSheetName("Отчёт", "ОТЧЁТ"));
    EXPECT_FALSE(sameSheetName("Data", "Data2"));
    EXPECT_FALSE(sameSheetName("工作表1", "工作表2"));
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
