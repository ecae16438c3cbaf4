// SPDX-License-Identifier: MIT
#include "engine/sml/sheet_names.h"

#include <gtest/gtest.h>

#include <set>

using namespace tessaro::xlsx;

namespace {
auto takenBy(std::set<std::string> names)
{
    return [names = std::move(names)](std::string_view n) {
        for (const auto& x : names)
            if (sameSheetName(x, n))
                return true;
        return false;
    };
}
} // namespace

TEST(SheetNames, CompareWithoutLetterCaseInEveryScript)
{
    EXPECT_TRUE(sameSheetName("Data", "DATA"));
    EXPECT_TRUE(sameSheetName("Übersicht", "übersicht"));
    EXPECT_TRUE(sameSheetName("ΑΒΓ", "αβγ"));
    EXPECT_TRUE(sameSheetName("Отчёт", "ОТЧЁТ"));
    EXPECT_FALSE(sameSheetName("Data", "Data2"));
    EXPECT_FALSE(sameSheetName("工作表1", "工作表2"));
}

TEST(SheetNames, CopyKeepsAFreeNameElseCountsUp)
{
    EXPECT_EQ(nameForCopy("Data", takenBy({"Other"})), "Data");
    EXPECT_EQ(nameForCopy("Data", takenBy({"data"})), "Data (2)");
    EXPECT_EQ(nameForCopy("Data", takenBy({"Data", "DATA (2)"})), "Data (3)");
    EXPECT_EQ(nameForCopy("Data (2)", takenBy({"Data (2)"})), "Data (2) (2)");
}

TEST(SheetNames, LongNamesAreShortenedToStayWithin31Characters)
{
    std::string base(31, 'x');
    std::string n = nameForCopy(base, takenBy({base}));
    EXPECT_EQ(n, std::string(27, 'x') + " (2)");
    EXPECT_EQ(sheetNameLength(n), 31u);
    // Characters outside the basic plane count twice and are never split.
    std::string wide;
    for (int i = 0; i < 15; ++i)
        wide += "\xF0\x9F\x98\x80";  // U+1F600
    wide += "a";
    ASSERT_EQ(sheetNameLength(wide), 31u);
    std::string c = nameForCopy(wide, takenBy({wide}));
    EXPECT_LE(sheetNameLength(c), 31u);
    EXPECT_EQ(c.substr(c.size() - 4), " (2)");
    EXPECT_EQ((c.size() - 4) % 4, 0u) << "a character was cut in half";
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
