// SPDX-License-Identifier: MIT
#include "state/app_dir.h"
#include "state/build_info.h"
#include "state/saved_files.h"
#include "state/text_file.h"
#include "support/temp_dir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace tessaro {
namespace {

using test::readFile;
using test::TempDir;
using test::writeFile;
using Lines = std::vector<std::string>;

TEST(TextLines, SplitFollowsCrLfAndLoneCr)
{
    EXPECT_EQ(splitLines(""), Lines{});
    EXPECT_EQ(splitLines("a\r\nb\r\n"), (Lines{"a", "b"}));
    EXPECT_EQ(splitLines("a\r\nb"), (Lines{"a", "b"})) << "the last line may lack its terminator";
    EXPECT_EQ(splitLines("a\r\n\r\n"), (Lines{"a", ""})) << "a trailing empty line is a row";
    EXPECT_EQ(splitLines("a\rb\r"), (Lines{"a", "b"})) << "a lone CR ends a line";
    EXPECT_EQ(splitLines("a\nb\r\n"), (Lines{"a\nb"})) << "a lone LF belongs to the line";
    EXPECT_EQ(splitLines("\r\n"), (Lines{""}));
    EXPECT_EQ(splitLines("a\r\r\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(splitLines("x\n"), (Lines{"x\n"}));
}

TEST(TextLines, ReadOfMissingFileGivesNothing)
{
    TempDir dir;
    EXPECT_FALSE(readLines(dir / "absent.txt").has_value());
}

TEST(TextLines, WriteEndsEveryLineWithCrLf)
{
    TempDir dir;
    writeLinesAtomically(dir / "l.txt", {"C:\\Data\\a.xls", "C:\\Reports"});
    const auto bytes = readFile(dir / "l.txt");
    EXPECT_EQ(bytes, "C:\\Data\\a.xls\r\nC:\\Reports\r\n");
    EXPECT_EQ(bytes.size(), 27u) << "the two-row example is 27 bytes";

    writeLinesAtomically(dir / "empty.txt", {});
    EXPECT_EQ(readFile(dir / "empty.txt"), "") << "an empty list is a file of 0 bytes";
}

TEST(TextLines, WriteKeepsNonAsciiPathsAsUtf8)
{
    TempDir dir;
    const std::string path = "/home/jürgen/Übersicht 報告.xlsx";
    writeLinesAtomically(dir / "l.txt", {path});
    EXPECT_EQ(readLines(dir / "l.txt"), Lines{path});
}

TEST(TextLines, FailedWriteLeavesOldFileAndNoTemporary)
{
    if (::geteuid() == 0)
        GTEST_SKIP() << "root may write into a read-only folder";
    TempDir dir;
    const auto sub = dir / "ro";
    std::filesystem::create_directory(sub);
    writeFile(sub / "l.txt", "old\r\n");
    ::chmod(sub.c_str(), 0555);
    EXPECT_THROW(writeLinesAtomically(sub / "l.txt", {"new"}), std::system_error);
    ::chmod(sub.c_str(), 0755);
    EXPECT_EQ(readFile(sub / "l.txt"), "old\r\n");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(sub), {}), 1);
}

TEST(SaveSettings, OnlyExactlyOneCountsAsOn)
{
    TempDir dir;
    const auto file = settingsFile(dir.path());
    const auto read = [&](std::string_view bytes) {
        writeFile(file, bytes);
        return ReadSaveSettings(file);
    };
    auto s = read("1\r\n1\r\n");
    EXPECT_TRUE(s.autoSaveLeftList());
    EXPECT_TRUE(s.autoSaveRightList());

    s = read("0\r\n1\r\n");
    EXPECT_FALSE(s.autoSaveLeftList());
    EXPECT_TRUE(s.autoSaveRightList());

    for (const char* off : {"01\r\n01\r\n", " 1\r\n1 \r\n", "\r\n\r\n", "2\r\n+1\r\n"}) {
        s = read(off);
        EXPECT_FALSE(s.autoSaveLeftList()) << off;
        EXPECT_FALSE(s.autoSaveRightList()) << off;
    }

    s = read("1\r\n");
    EXPECT_TRUE(s.autoSaveLeftList());
    EXPECT_FALSE(s.line2.has_value()) << "one line: the second setting is absent";
    EXPECT_FALSE(s.autoSaveRightList());

    s = read("1\r\n1\r\n0\r\nextra\r\n");
    EXPECT_EQ(s.line1, "1");
    EXPECT_EQ(s.line2, "1");

    s = read("");
    EXPECT_FALSE(s.line1.has_value());
    EXPECT_FALSE(s.line2.has_value());
}

TEST(SaveSettings, MissingFileMeansBothOff)
{
    TempDir dir;
    const auto s = ReadSaveSettings(settingsFile(dir.path()));
    EXPECT_FALSE(s.line1.has_value());
    EXPECT_FALSE(s.autoSaveLeftList());
    EXPECT_FALSE(s.autoSaveRightList());
}

TEST(SaveSettings, WriteGivesExactlyTwoLines)
{
    TempDir dir;
    const auto file = settingsFile(dir.path());
    writeFile(file, "01\r\n1\r\n0\r\n0\r\n");
    WriteSaveSettings(file, 1, 0);
    EXPECT_EQ(readFile(file), "1\r\n0\r\n");
    WriteSaveSettings(file, 2, 1);
    EXPECT_EQ(readFile(file), "2\r\n1\r\n");
}

TEST(LinksChoice, OneWordInItsOwnFileAndAnythingElseIsExternal)
{
    TempDir dir;
    const auto file = linksFile(dir.path());
    EXPECT_EQ(file, dir.path() / "links.txt");
    EXPECT_EQ(ReadLinksChoice(file), SheetLinks::External);  // missing
    WriteLinksChoice(file, SheetLinks::Destination);
    EXPECT_EQ(readFile(file), "destination\r\n");
    EXPECT_EQ(ReadLinksChoice(file), SheetLinks::Destination);
    writeFile(file, " values\r\n");
    EXPECT_EQ(ReadLinksChoice(file), SheetLinks::Values);
    writeFile(file, "Values\r\n");
    EXPECT_EQ(ReadLinksChoice(file), SheetLinks::External);
}

TEST(SaveSettings, CheckStateOfLine)
{
    EXPECT_EQ(checkStateOfSettingsLine(std::nullopt), 0);
    EXPECT_EQ(checkStateOfSettingsLine("1"), 1);
    EXPECT_EQ(checkStateOfSettingsLine("01"), 1);
    EXPECT_EQ(checkStateOfSettingsLine(" 1 "), 1);
    EXPECT_EQ(checkStateOfSettingsLine("2"), 2);
    EXPECT_EQ(checkStateOfSettingsLine("0"), 0);
    EXPECT_EQ(checkStateOfSettingsLine(""), 0);
    EXPECT_EQ(checkStateOfSettingsLine("yes"), 0);
    EXPECT_EQ(checkStateOfSettingsLine("7"), 0);
    EXPECT_EQ(checkStateOfSettingsLine("-1"), 0);
}

TEST(SavedFiles, NamesInAppDir)
{
    const std::filesystem::path app = "/opt/t";
    EXPECT_EQ(sourceListFile(app), "/opt/t/EXCEL.txt");
    EXPECT_EQ(targetListFile(app), "/opt/t/CopyExcel.txt");
    EXPECT_EQ(settingsFile(app), "/opt/t/set.txt");
}

TEST(AppDir, IsTheExecutableFolderWhenWritable)
{
    // The test binary's own folder is writable during a build.
    EXPECT_EQ(resolveAppDir(), executableDir());
    EXPECT_TRUE(std::filesystem::exists(executableDir() / "state_tests"));
}

TEST(AppDir, AnInstalledProgramReadsItsGuideFromItsPrefixAndKeepsItsFilesInTheUserFolder)
{
    TempDir t;
    const auto bin = t / "prefix" / "bin";
    std::filesystem::create_directories(bin);
    EXPECT_FALSE(isInstalledProgram(bin));
    EXPECT_EQ(helpPage(bin), bin / "help.html") << "a build tree keeps its guide beside the programs";
    EXPECT_EQ(resolveAppDir(bin), bin);

    const auto guide = (bin / kDocDirFromBinDir / "help.html").lexically_normal();
    EXPECT_EQ(guide.string().rfind((t / "prefix").string() + "/", 0), 0u) << guide << " lies outside the prefix";
    std::filesystem::create_directories(guide.parent_path());
    writeFile(guide, "<html></html>");
    EXPECT_TRUE(isInstalledProgram(bin));
    EXPECT_EQ(helpPage(bin), guide);

    const char* old = std::getenv("XDG_DATA_HOME");
    const std::string saved = old ? old : "";
    ::setenv("XDG_DATA_HOME", (t / "data").c_str(), 1);
    const auto appDir = resolveAppDir(bin);
    old ? ::setenv("XDG_DATA_HOME", saved.c_str(), 1) : ::unsetenv("XDG_DATA_HOME");
    EXPECT_EQ(appDir, t / "data" / "tessaro") << "the bin folder is writable here, yet not the program's to fill";
    EXPECT_TRUE(std::filesystem::is_directory(t / "data" / "tessaro"));
}

} // namespace
} // namespace tessaro
