// SPDX-License-Identifier: MIT
#include "engine/zip/output_file.h"

#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

using namespace tessaro::xlsx;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;
namespace fs = std::filesystem;

namespace {

std::size_t filesIn(const fs::path& dir)
{
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : fs::directory_iterator(dir))
        ++n;
    return n;
}

void writeText(OutputFile& out, const std::string& s)
{
    out.write(s.data(), s.size());
}

} // namespace

TEST(ReplaceFileAtomically, WritesTheNewContentAndLeavesNoTemporaryFile)
{
    TempDir dir;
    writeFile(dir / "book.xlsx", "old");
    replaceFileAtomically(dir / "book.xlsx", [](OutputFile& out) { writeText(out, "new content"); });
    EXPECT_EQ(readFile(dir / "book.xlsx"), "new content");
    EXPECT_EQ(filesIn(dir.path()), 1u);
}

TEST(ReplaceFileAtomically, FailureWhileWritingLeavesTheOriginalAndRemovesTheTemporary)
{
    TempDir dir;
    writeFile(dir / "book.xlsx", "precious original");
    OutputFileWrapper fullDisk = [](std::unique_ptr<OutputFile> inner) {
        return std::make_unique<FailingOutputFile>(std::move(inner), 5, ENOSPC);
    };
    try {
        replaceFileAtomically(dir / "book.xlsx", [](OutputFile& out) { writeText(out, "a much longer new content"); },
                              fullDisk);
        FAIL() << "the full disk went unnoticed";
    } catch (const std::system_error& e) {
        EXPECT_EQ(e.code().value(), ENOSPC);
    }
    EXPECT_EQ(readFile(dir / "book.xlsx"), "precious original");
    EXPECT_EQ(filesIn(dir.path()), 1u);
}

TEST(DescriptorOutputFile, CopiesARangeOfAnotherFile)
{
    TempDir dir;
    writeFile(dir / "source", "0123456789abcdef");
    int in = ::open((dir / "source").c_str(), O_RDONLY);
    replaceFileAtomically(dir / "out", [&](OutputFile& out) {
        writeText(out, "<");
        out.copyFrom(in, 4, 6);
        writeText(out, ">");
        EXPECT_EQ(out.position(), 8u);
    });
    ::close(in);
    EXPECT_EQ(readFile(dir / "out"), "<456789>");
}

TEST(FailingOutputFile, TakesWhatFitsThenRefusesEverything)
{
    TempDir dir;
    replaceFileAtomically(dir / "seen", [](OutputFile& real) {
        // Wrap the real file by hand to watch the inner position.
        struct Borrowed final : OutputFile {
            OutputFile& r;
            explicit Borrowed(OutputFile& x) : r(x) {}
            void write(const void* d, std::size_t n) override { r.write(d, n); }
            void copyFrom(int fd, std::uint64_t o, std::uint64_t n) override { r.copyFrom(fd, o, n); }
            void sync() override { r.sync(); }
            std::uint64_t position() const override { return r.position(); }
        };
        FailingOutputFile f(std::make_unique<Borrowed>(real), 3, EIO);
        EXPECT_THROW(f.write("abcdef", 6), std::system_error);
        EXPECT_EQ(real.position(), 3u);
        EXPECT_THROW(f.write("g", 1), std::system_error);
        EXPECT_THROW(f.sync(), std::system_error);
    });
    EXPECT_EQ(readFile(dir / "seen"), "abc");
}
