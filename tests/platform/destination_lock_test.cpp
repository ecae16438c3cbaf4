// SPDX-License-Identifier: MIT
#include "platform/destination_lock.h"

#include "platform/atomic_file.h"
#include "platform/spreadsheet_automation.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <future>
#include <optional>
#include <thread>

namespace tessaro {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using test::readFile;
using test::TempDir;
using test::writeFile;

// Two locks of one process conflict as two processes' do: each has its own descriptor.
TEST(DestinationLock, AnotherJobsLockIsWaitedForThenReportedNamingTheFile)
{
    TempDir dir;
    const fs::path file = dir / "book.xlsx";
    writeFile(file, "content");
    const DestinationLock first(file, 0ms);
    ASSERT_TRUE(first.held());
    try {
        const DestinationLock second(file, 100ms);
        FAIL() << "a destination another job holds was locked twice";
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.code(), ErrorCode::DestinationBusy);
        EXPECT_NE(e.description().find(file.string()), std::string::npos) << e.description();
        EXPECT_NE(e.description().find("another Tessaro job"), std::string::npos) << e.description();
    }
    EXPECT_EQ(readFile(file), "content");
}

TEST(DestinationLock, AWaiterLocksTheFileTheHolderSavedNotTheOneItReplaced)
{
    TempDir dir;
    const fs::path file = dir / "book.xlsx";
    writeFile(file, "old");
    std::promise<void> holding;
    std::thread holder([&] {
        std::optional<DestinationLock> lock(std::in_place, file, 0ms);
        holding.set_value();
        std::this_thread::sleep_for(100ms);
        replaceFileContent(file, "saved");
        lock.reset();
    });
    holding.get_future().wait();
    const DestinationLock waiter(file, 10s);
    holder.join();
    EXPECT_TRUE(waiter.held());
    EXPECT_EQ(readFile(file), "saved");
    EXPECT_THROW(DestinationLock(file, 0ms), AutomationError) << "the lock is on the file now at the path";
}

TEST(DestinationLock, AFileThisProcessMayNotWriteIsLeftToTheSavesChecks)
{
    TempDir dir;
    EXPECT_FALSE(DestinationLock(dir / "missing.xlsx", 0ms).held());
    EXPECT_FALSE(DestinationLock(dir.path(), 0ms).held());
}

} // namespace
} // namespace tessaro
