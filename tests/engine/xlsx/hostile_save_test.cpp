// SPDX-License-Identifier: MIT
// Saving a workbook when its file cannot or must not be replaced: read-only, locked by
// another program, in a folder that cannot be written, changed or removed since it was
// opened, or on a disk that fills up. The file must then be exactly as it was, with nothing
// left beside it, and the error must say what stands in the way.
#include "engine/opc/engine_context.h"
#include "engine/xlsx/native_engine.h"
#include "engine/zip/output_file.h"

#include "hostile_files.h"
#include "support/other_process.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <optional>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace tessaro;
using namespace tessaro::xlsx;
using tessaro::test::LockHolder;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;
using ::testing::AllOf;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
namespace t = tessaro::xlsx::test;
namespace fs = std::filesystem;

namespace {

t::BookSpec book(const std::string& sheet, const std::string& value)
{
    t::BookSpec s;
    s.sheets = {{sheet, "<sheetData><row r=\"1\"><c r=\"A1\" t=\"s\"><v>0</v></c><c r=\"B1\"><v>1.5</v></c></row></sheetData>"}};
    s.strings = {"<t>" + value + "</t>"};
    return s;
}

std::vector<std::string> sheetsOf(const fs::path& file)
{
    auto server = nativeAutomationFactory()();
    WorkbookRef b = server->open(file);
    std::vector<std::string> names;
    for (int i = 1; i <= server->worksheetCount(b); ++i)
        names.push_back(server->worksheetName(b, i));
    server->quit();
    return names;
}

class SaveFaults : public ::testing::Test {
public:
    TempDir dir;
    fs::path source = dir / "source.xlsx";
    fs::path target = dir / "target.xlsx";
    EngineOptions options;
    int lockFd = -1;
    std::optional<LockHolder> holder;

    void SetUp() override
    {
        t::writeWorkbook(source, book("Data", "copied"));
        t::writeWorkbook(target, book("Own", "mine"));
        options.lockWait = std::chrono::milliseconds(100);
    }
    void TearDown() override
    {
        if (lockFd >= 0)
            ::close(lockFd);
    }

    // Copies Data behind the target's sheets and saves; the error's text, or "" on success.
    std::string copyAndSave(const EngineOptions& with)
    {
        auto server = nativeAutomationFactory(with)();
        try {
            WorkbookRef src = server->open(source);
            WorkbookRef dst = server->open(target);
            server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 1));
            server->save(dst);
        } catch (const AutomationError& e) {
            EXPECT_NE(e.code(), ErrorCode::InternalFault);
            EXPECT_EQ(e.description().rfind(target.string() + ": ", 0), 0u) << e.description();
            server->quit();
            return e.description();
        }
        server->quit();
        return {};
    }
    std::string copyAndSave() { return copyAndSave(options); }

    void expectCopied() { EXPECT_THAT(sheetsOf(target), ElementsAre("Own", "Data")); }
};

// What stands in the way of a save, made and taken away by a test.
struct WriteFault {
    const char* name;
    enum class Runs { AsThisUser, AsOrdinaryUser, OnlyWhenPrivileged } runs;
    std::function<void(SaveFaults&)> make;
    // Every piece the error must hold; "{pid}" stands for the lock holder's process.
    std::vector<std::string> says;
    // Takes the fault away, after which the same save goes through; none when the test
    // cannot undo it.
    std::function<void(SaveFaults&)> undo;
};

const fs::perms kReadOnly = fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read;

const WriteFault kWriteFaults[] = {
    {"ReadOnlyFile", WriteFault::Runs::AsThisUser, [](SaveFaults& f) { fs::permissions(f.target, kReadOnly); },
     {"the file is read-only"},
     [](SaveFaults& f) {
         EXPECT_EQ(fs::status(f.target).permissions(), kReadOnly) << "the refusal changed the mode";
         fs::permissions(f.target, fs::perms::owner_write, fs::perm_options::add);
     }},
    {"FileThisUserMayNotWrite", WriteFault::Runs::OnlyWhenPrivileged,
     // Owned by root and writable only by it; the copy runs as an ordinary user.
     [](SaveFaults& f) {
         fs::permissions(f.dir.path(), fs::perms::all);
         fs::permissions(f.source, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
         fs::permissions(f.target, fs::perms::owner_read | fs::perms::owner_write | fs::perms::others_read);
     },
     {"the file is read-only", "this user may not write it"}, nullptr},
    {"FolderThatCannotBeWritten", WriteFault::Runs::AsOrdinaryUser,
     [](SaveFaults& f) {
         fs::permissions(f.source, fs::perms::all);
         fs::permissions(f.target, fs::perms::all);
         fs::permissions(f.dir.path(), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                           fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
     },
     {"the folder of the file cannot be written to"}, nullptr},
    {"LockedWithFlockByAnotherProgram", WriteFault::Runs::AsThisUser,
     [](SaveFaults& f) {
         f.lockFd = ::open(f.target.c_str(), O_RDONLY | O_CLOEXEC);
         ASSERT_GE(f.lockFd, 0);
         ASSERT_EQ(::flock(f.lockFd, LOCK_EX), 0);
     },
     {"it is locked"}, [](SaveFaults& f) { ::close(std::exchange(f.lockFd, -1)); }},
    {"LockedWithAPosixLockByAnotherProcess", WriteFault::Runs::AsThisUser,
     [](SaveFaults& f) { f.holder.emplace(f.target, LockHolder::Kind::Posix); }, {"it is locked", "process {pid}"},
     [](SaveFaults& f) { f.holder.reset(); }},
    {"OpenInLibreOfficeByItsLockFile", WriteFault::Runs::AsThisUser,
     [](SaveFaults& f) {
         writeFile(f.dir / ".~lock.target.xlsx#",
                   "Jane Doe,jane,host1,07.12.2026 10:00,file:///home/jane/.config/libreoffice/4;");
     },
     {"it is locked", "open in LibreOffice by Jane Doe on host1", ".~lock.target.xlsx#"},
     [](SaveFaults& f) { fs::remove(f.dir / ".~lock.target.xlsx#"); }},
};

class WriteFaults : public SaveFaults, public ::testing::WithParamInterface<WriteFault> {};

TEST_P(WriteFaults, LeaveTheFileAsItWasAndSayWhatStandsInTheWay)
{
    const WriteFault& fault = GetParam();
    if (fault.runs == WriteFault::Runs::OnlyWhenPrivileged && !tessaro::test::privileged())
        GTEST_SKIP() << "needs a file owned by another user";
    fault.make(*this);
    auto before = t::snapshot(dir.path());
    const std::string text = fault.runs == WriteFault::Runs::AsThisUser
                                 ? copyAndSave()
                                 : tessaro::test::asOrdinaryUser([&] { return copyAndSave(); });
    ASSERT_FALSE(text.empty()) << "the save went through";
    EXPECT_EQ(text.rfind(target.string() + ": ", 0), 0u) << text;
    for (std::string piece : fault.says) {
        if (const auto at = piece.find("{pid}"); at != std::string::npos)
            piece.replace(at, 5, std::to_string(holder ? holder->pid() : -1));
        EXPECT_THAT(text, HasSubstr(piece));
    }
    EXPECT_EQ(t::changes(before, t::snapshot(dir.path())), "");
    if (fault.undo) {
        fault.undo(*this);
        EXPECT_EQ(copyAndSave(), "");
        expectCopied();
    }
}

INSTANTIATE_TEST_SUITE_P(Save, WriteFaults, ::testing::ValuesIn(kWriteFaults),
                         [](const ::testing::TestParamInfo<WriteFault>& row) { return row.param.name; });

TEST_F(SaveFaults, ALockLetGoWhileTheSaveWaitsIsNoObstacle)
{
    int fd = ::open(target.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    std::thread release([fd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        ::close(fd);
    });
    EngineOptions patient = options;
    patient.lockWait = std::chrono::seconds(20);
    EXPECT_EQ(copyAndSave(patient), "");
    release.join();
    expectCopied();
}

TEST_F(SaveFaults, ChangedByAnotherProgramSinceItWasOpened)
{
    auto server = nativeAutomationFactory(options)();
    WorkbookRef src = server->open(source);
    WorkbookRef dst = server->open(target);
    server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 1));
    // Another program saves its own version meanwhile, the way programs do: a new file
    // renamed over the old one.
    t::writeWorkbook(dir / "theirs.tmp", book("Theirs", "their work"));
    fs::rename(dir / "theirs.tmp", target);
    const std::string theirs = readFile(target);
    try {
        server->save(dst);
        ADD_FAILURE() << "saved over another program's version";
    } catch (const AutomationError& e) {
        EXPECT_THAT(e.description(), HasSubstr("changed, replaced or removed by another program after it was opened"));
    }
    server->quit();
    EXPECT_EQ(readFile(target), theirs);
    EXPECT_THAT(sheetsOf(target), ElementsAre("Theirs"));
}

TEST_F(SaveFaults, RemovedSinceItWasOpenedIsNotMadeAgain)
{
    auto server = nativeAutomationFactory(options)();
    WorkbookRef src = server->open(source);
    WorkbookRef dst = server->open(target);
    server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 1));
    fs::remove(target);
    EXPECT_THROW(server->save(dst), AutomationError);
    server->quit();
    EXPECT_FALSE(fs::exists(target));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1) << "only the source";
}

TEST_F(SaveFaults, TwoInstancesSavingOneWorkbookNeverLoseTheFirstOnesCopies)
{
    auto first = nativeAutomationFactory(options)();
    auto second = nativeAutomationFactory(options)();
    WorkbookRef s1 = first->open(source), d1 = first->open(target);
    WorkbookRef s2 = second->open(source), d2 = second->open(target);
    first->copySheet(first->worksheet(s1, "Data"), Placement::After, first->sheet(d1, 1));
    second->copySheet(second->worksheet(s2, "Data"), Placement::Before, second->sheet(d2, 1));
    first->save(d1);
    EXPECT_THROW(second->save(d2), AutomationError);
    first->quit();
    second->quit();
    expectCopied();
}

TEST_F(SaveFaults, FullDiskAtAnyMomentOfTheSaveLeavesTheFileAsItWas)
{
    // How long the saved file is, to fail at every stage up to its last byte and its flush.
    t::writeWorkbook(dir / "probe.xlsx", book("Own", "mine"));
    {
        auto server = nativeAutomationFactory()();
        WorkbookRef src = server->open(source);
        WorkbookRef dst = server->open(dir / "probe.xlsx");
        server->copySheet(server->worksheet(src, "Data"), Placement::After, server->sheet(dst, 1));
        server->save(dst);
        server->quit();
    }
    const std::uint64_t full = fs::file_size(dir / "probe.xlsx");
    fs::remove(dir / "probe.xlsx");
    for (std::uint64_t limit : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{30}, std::uint64_t{100}, full / 3,
                                full / 2, full - 22, full - 1, full}) {
        EngineOptions failing = options;
        failing.outputWrapper = [limit](std::unique_ptr<OutputFile> inner) -> std::unique_ptr<OutputFile> {
            return std::make_unique<FailingOutputFile>(std::move(inner), limit, ENOSPC);
        };
        auto before = t::snapshot(dir.path());
        EXPECT_THAT(copyAndSave(failing), HasSubstr("the disk is full")) << "failing after " << limit << " of " << full;
        EXPECT_EQ(t::changes(before, t::snapshot(dir.path())), "") << limit;
    }
    EngineOptions broken = options;
    broken.outputWrapper = [](std::unique_ptr<OutputFile> inner) -> std::unique_ptr<OutputFile> {
        return std::make_unique<FailingOutputFile>(std::move(inner), 500, EIO);
    };
    EXPECT_THAT(copyAndSave(broken), HasSubstr("could not be saved"));
    EXPECT_EQ(copyAndSave(), "");
    expectCopied();
}

} // namespace
