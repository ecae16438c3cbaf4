// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/structured_refs.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;

namespace {

// B2:D10 with a header row, a totals row and columns Name, Amount, Tax.
TableFacts sales(long headerRows = 1, long totalsRows = 1)
{
    TableFacts t;
    t.name = t.displayName = "Sales";
    t.ref = "B2:D10";
    t.columns = {"Name", "Amount", "Tax"};
    t.headerRows = headerRows;
    t.totalsRows = totalsRows;
    return t;
}

} // namespace

TEST(StructuredRefs, AreasOfTableItems)
{
    struct Case {
        const char* spec;
        const char* area;  // nullptr: no area
    };
    const Case cases[] = {
        {"[]", "$B$3:$D$9"},                         // the data rows
        {"[#All]", "$B$2:$D$10"},
        {"[#Headers]", "$B$2:$D$2"},
        {"[#Totals]", "$B$10:$D$10"},
        {"[#Data]", "$B$3:$D$9"},
        {"[[#Headers],[#Data]]", "$B$2:$D$9"},
        {"[[#Data],[#Totals]]", "$B$3:$D$10"},
        {"[Amount]", "$C$3:$C$9"},
        {"[amount]", "$C$3:$C$9"},                   // column names compare without case
        {"[[Amount]:[Tax]]", "$C$3:$D$9"},
        {"[[Tax]:[Name]]", "$B$3:$D$9"},
        {"[[#Headers],[Tax]]", "$D$2"},
        {"[[#Totals],[ Name ]]", "$B$10"},
        {"[[Name],[Tax]]", nullptr},                 // two columns without a range
        {"[Price]", nullptr},                        // no such column
        {"[@Amount]", nullptr},                      // the formula's own row
        {"[[#This Row],[Amount]]", nullptr},
        {"[#Bogus]", nullptr},
        {"[", nullptr},
    };
    const TableFacts t = sales();
    for (const Case& c : cases) {
        auto area = structuredReferenceArea(t, c.spec);
        if (c.area)
            EXPECT_EQ(area.value_or("(none)"), c.area) << c.spec;
        else
            EXPECT_FALSE(area) << c.spec << " gave " << *area;
    }
}

TEST(StructuredRefs, ItemsEscapedWithQuotes)
{
    TableFacts t = sales();
    t.columns = {"Name", "Price [EUR]", "Tax#"};
    EXPECT_EQ(structuredReferenceArea(t, "[[Price '[EUR']]]").value_or("(none)"), "$C$3:$C$9");
    EXPECT_EQ(structuredReferenceArea(t, "[[Price '[EUR']]:[Tax'#]]").value_or("(none)"), "$C$3:$D$9");
}

TEST(StructuredRefs, RowsTheTableLacks)
{
    const TableFacts bare = sales(0, 0);
    EXPECT_FALSE(structuredReferenceArea(bare, "[#Headers]"));
    EXPECT_FALSE(structuredReferenceArea(bare, "[#Totals]"));
    EXPECT_EQ(structuredReferenceArea(bare, "[]").value_or("(none)"), "$B$2:$D$10");
    TableFacts headerOnly = sales(1, 0);
    headerOnly.ref = "B2:D2";
    EXPECT_FALSE(structuredReferenceArea(headerOnly, "[Amount]"));
}
