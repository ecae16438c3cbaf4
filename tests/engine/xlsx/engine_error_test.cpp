// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "platform/errors.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

using tessaro::ErrorCode;
using tessaro::errorMessage;
using tessaro::kFirstErrorCode;
using tessaro::kLastErrorCode;
using tessaro::xlsx::EngineError;

TEST(ErrorRegistry, EveryCodeHasOneMessageOfItsOwnAndNothingElseHasOne)
{
    std::set<std::string> seen;
    for (int c = kFirstErrorCode; c <= kLastErrorCode; ++c) {
        std::string_view m = errorMessage(static_cast<ErrorCode>(c));
        EXPECT_FALSE(m.empty()) << "code " << c << " has no message";
        EXPECT_TRUE(seen.insert(std::string(m)).second) << "code " << c << " repeats another code's message";
    }
    EXPECT_TRUE(errorMessage(static_cast<ErrorCode>(kFirstErrorCode - 1)).empty());
    EXPECT_TRUE(errorMessage(static_cast<ErrorCode>(kLastErrorCode + 1)).empty());
    // Numbers people have already seen keep their meaning.
    EXPECT_EQ(static_cast<int>(ErrorCode::FileNotFound), 1);
    EXPECT_EQ(static_cast<int>(ErrorCode::BinaryWorkbook), 9);
    EXPECT_EQ(static_cast<int>(ErrorCode::SheetNotFound), 23);
    EXPECT_EQ(static_cast<int>(ErrorCode::DiskFull), 38);
}

TEST(EngineError, TextNamesTheFileTheProblemAndTheDetail)
{
    EngineError e(ErrorCode::NotZip, "/data/dest.xlsx");
    EXPECT_EQ(std::string(e.what()), "/data/dest.xlsx: this file is not a workbook package (it is not a zip archive)");
    EngineError d(ErrorCode::PartMissing, "/data/a.xlsx", "xl/styles.xml");
    EXPECT_EQ(std::string(d.what()), "/data/a.xlsx: a part the workbook needs is missing from the file (xl/styles.xml)");
}

TEST(EngineError, BecomesAnAutomationErrorWithTheSameCodeAndText)
{
    for (int c = kFirstErrorCode; c <= kLastErrorCode; ++c) {
        EngineError e(static_cast<ErrorCode>(c), "/x/book.xlsx");
        tessaro::AutomationError a = e.toAutomationError();
        EXPECT_EQ(a.code(), e.code());
        EXPECT_EQ(a.number(), c);
        EXPECT_EQ(a.description(), e.what());
    }
}
