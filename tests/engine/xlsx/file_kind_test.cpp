// SPDX-License-Identifier: MIT
#include "platform/engine_error.h"
#include "engine/zip/file_kind.h"

#include "support/shared_dir.h"
#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gtest/gtest.h>

#include <optional>

#include <cstring>

using namespace tessaro::xlsx;
using tessaro::test::TempDir;
using tessaro::test::writeFile;

namespace {

// A minimal compound document (512-byte sectors): header, one allocation-table sector, one
// directory sector holding a root entry and streams with the given names.
std::string compoundFile(const std::vector<std::u16string>& names)
{
    std::string f(512 * 3, '\0');
    const unsigned char magic[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::memcpy(f.data(), magic, 8);
    auto put16 = [&](std::size_t at, unsigned v) {
        f[at] = static_cast<char>(v & 0xFF);
        f[at + 1] = static_cast<char>(v >> 8);
    };
    auto put32 = [&](std::size_t at, unsigned long v) {
        for (int i = 0; i < 4; ++i)
            f[at + static_cast<std::size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    put16(0x18, 0x3E);
    put16(0x1A, 3);
    put16(0x1C, 0xFFFE);
    put16(0x1E, 9);
    put16(0x20, 6);
    put32(0x2C, 1);           // one allocation-table sector
    put32(0x30, 1);           // the directory starts in sector 1
    put32(0x44, 0xFFFFFFFE);  // no further DIFAT sectors
    put32(0x4C, 0);           // allocation table in sector 0
    for (std::size_t i = 1; i < 109; ++i)
        put32(0x4C + 4 * i, 0xFFFFFFFF);
    // Sector 0 (file offset 512): the allocation table; sector 1 ends its chain.
    put32(512 + 0, 0xFFFFFFFD);
    put32(512 + 4, 0xFFFFFFFE);
    for (std::size_t i = 2; i < 128; ++i)
        put32(512 + 4 * i, 0xFFFFFFFF);
    std::vector<std::u16string> all = {u"Root Entry"};
    all.insert(all.end(), names.begin(), names.end());
    for (std::size_t e = 0; e < all.size() && e < 4; ++e) {
        std::size_t at = 1024 + 128 * e;
        for (std::size_t i = 0; i < all[e].size(); ++i)
            put16(at + 2 * i, all[e][i]);
        put16(at + 0x40, static_cast<unsigned>((all[e].size() + 1) * 2));
        f[at + 0x42] = e == 0 ? 5 : 2;
    }
    return f;
}

std::optional<ErrorCode> kindError(const std::filesystem::path& p)
{
    try {
        requireZipArchive(p, p.string());
    } catch (const EngineError& e) {
        return e.code();
    }
    return std::nullopt;
}

} // namespace

TEST(FileKind, TellsLegacyWorkbooksFromEncryptedOnesAndOtherDocuments)
{
    TempDir dir;
    writeFile(dir / "old.xlsx", compoundFile({u"Workbook", u"\x05SummaryInformation"}));
    writeFile(dir / "locked.xlsx", compoundFile({u"EncryptionInfo", u"EncryptedPackage"}));
    writeFile(dir / "letter.xls", compoundFile({u"WordDocument"}));
    EXPECT_EQ(kindError(dir / "old.xlsx"), ErrorCode::LegacyWorkbook);
    EXPECT_EQ(kindError(dir / "locked.xlsx"), ErrorCode::EncryptedWorkbook);
    EXPECT_EQ(kindError(dir / "letter.xls"), ErrorCode::OtherCompoundFile);
}

TEST(FileKind, RecognisesTheCorpusLegacyWorkbooks)
{
    auto shared = tessaro::test::sharedDir();
    if (!shared)
        GTEST_SKIP() << "no shared corpus";
    EXPECT_EQ(kindError(*shared / "corpus" / "sheetjs_merged_cells.xls"), ErrorCode::LegacyWorkbook);
}

TEST(FileKind, NamesMissingEmptyFolderAndTextFiles)
{
    TempDir dir;
    writeFile(dir / "empty.xlsx", "");
    writeFile(dir / "notes.xlsx", "just some text, not a workbook");
    writeFile(dir / "2003.xml",
              "<?xml version=\"1.0\"?>\n<?mso-application progid=\"Excel.Sheet\"?>\n<Workbook "
              "xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\"/>");
    std::filesystem::create_directory(dir / "folder.xlsx");
    EXPECT_EQ(kindError(dir / "missing.xlsx"), ErrorCode::FileNotFound);
    EXPECT_EQ(kindError(dir / "empty.xlsx"), ErrorCode::EmptyFile);
    EXPECT_EQ(kindError(dir / "notes.xlsx"), ErrorCode::NotZip);
    EXPECT_EQ(kindError(dir / "2003.xml"), ErrorCode::XmlSpreadsheet2003);
    EXPECT_EQ(kindError(dir / "folder.xlsx"), ErrorCode::IsFolder);
}

TEST(FileKind, LetsZipArchivesThrough)
{
    TempDir dir;
    tessaro::xlsx::test::writeZip(dir / "a.xlsx", {{"x", "y"}});
    EXPECT_NO_THROW(requireZipArchive(dir / "a.xlsx", "a.xlsx"));
}

TEST(CompoundFile, GarbageIsUnreadableNotACrash)
{
    TempDir dir;
    std::string junk = compoundFile({u"Workbook"});
    for (std::size_t i = 0x2C; i < 0x50; ++i)
        junk[i] = static_cast<char>(0xEE);
    writeFile(dir / "junk.xls", junk);
    writeFile(dir / "cut.xls", junk.substr(0, 100));
    EXPECT_NO_FATAL_FAILURE(classifyCompoundFile(dir / "junk.xls"));
    EXPECT_EQ(classifyCompoundFile(dir / "cut.xls"), CompoundKind::Unreadable);
}
