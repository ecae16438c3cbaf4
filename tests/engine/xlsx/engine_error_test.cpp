// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using namespace tessaro::xlsx;

TEST(EngineError, EveryCodeHasItsOwnMessage)
{
    std::set<std::string> seen;
    for (int c = kFirstErrorCode; c <= kLastErrorCode; ++c) {
        std::string_view m = errorMessage(static_cast<ErrorCode>(c));
        EXPECT_FALSE(m.empty()) << "code " << c << " has no message";
        EXPECT_TRUE(seen.insert(std::string(m)).second) << "code " << c << " repeats another code's message";
    }
}

TEST(EngineError, NumbersOutsideTheTableHaveNoMessage)
{
    EXPECT_TRUE(errorMessage(static_cast<ErrorCode>(kLastErrorCode + 1)).empty());
    EXPECT_TRUE(errorMessage(static_cast<ErrorCode>(0)).empty());
}

TEST(EngineError, TextNamesTheFileTheProblemAndTheDetail)
{
    EngineError e(ErrorCode::NotZip, "/data/dest.xlsx");
    EXPECT_EQ(std::string(e.what()), "/data/dest.xlsx: this file is not a workbook package (it is not a zip archive)");
    EngineError d(ErrorCode::PartMissing, "/data/a.xlsx", "xl/styles.xml");
    EXPECT_EQ(std::string(d.what()), "/data/a.xlsx: a part the workbook needs is missing from the file (xl/styles.xml)");
}

TEST(EngineError, BecomesAnAutomationErrorWithAPositiveNumberAndTheSameText)
{
    for (int c = kFirstErrorCode; c <= kLastErrorCode; ++c) {
        EngineError e(static_cast<ErrorCode>(c), "/x/book.xlsx");
        tessaro::AutomationError a = e.toAutomationError();
        EXPECT_GT(a.number(), 0);
        EXPECT_EQ(a.number(), c);
        EXPECT_EQ(a.description(), e.what());
    }
}
