// SPDX-License-Identifier: MIT
// The zip reader and writer, against archives made by other code (zlib by hand, libzip)
// and against damaged and hostile ones.
#include "platform/engine_error.h"
#include "engine/zip/zip_reader.h"
#include "engine/zip/zip_writer.h"

#include "support/temp_dir.h"
#include "xlsx_fixtures.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;
using tessaro::test::readFile;
using tessaro::test::TempDir;
using tessaro::test::writeFile;
namespace t = tessaro::xlsx::test;

namespace {

ErrorCode openError(const std::filesystem::path& p)
{
    try {
        ZipReader z(p, p.string());
    } catch (const EngineError& e) {
        EXPECT_NE(std::string(e.what()).find(p.string()), std::string::npos) << "the message names the file";
        return e.code();
    }
    ADD_FAILURE() << p << " opened although it should not";
    return ErrorCode::FileNotFound;
}

std::string bigText()
{
    std::string s;
    for (int i = 0; i < 20000; ++i)
        s += "<row r=\"" + std::to_string(i) + "\"/>";
    return s;
}

// Patches bytes of a file at an offset.
void patch(const std::filesystem::path& p, std::size_t at, const std::string& bytes)
{
    std::string all = readFile(p);
    all.replace(at, bytes.size(), bytes);
    writeFile(p, all);
}

} // namespace

TEST(ZipReader, ReadsDeflatedAndStoredEntries)
{
    TempDir dir;
    t::writeZip(dir / "d.zip", {{"a.xml", "<a/>"}, {"big.xml", bigText()}});
    t::writeZip(dir / "s.zip", {{"a.xml", "<a/>"}}, t::Storage::Stored);
    ZipReader d(dir / "d.zip", "d.zip");
    ASSERT_EQ(d.entries().size(), 2u);
    EXPECT_EQ(d.read(*d.find("big.xml"), 1 << 30), bigText());
    ZipReader s(dir / "s.zip", "s.zip");
    EXPECT_EQ(s.read(*s.find("a.xml"), 100), "<a/>");
}

TEST(ZipReader, FindsEntriesWithoutRegardToCase)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"xl/Workbook.xml", "w"}});
    ZipReader z(dir / "a.zip", "a.zip");
    ASSERT_NE(z.find("XL/workbook.XML"), nullptr);
    EXPECT_EQ(z.find("xl/other.xml"), nullptr);
}

TEST(ZipReader, StreamsAnEntryInSmallPieces)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"big.xml", bigText()}});
    ZipReader z(dir / "a.zip", "a.zip");
    ZipReader::Stream s(z, *z.find("big.xml"));
    std::string got;
    char buf[13];
    while (std::size_t n = s.read(buf, sizeof buf))
        got.append(buf, n);
    EXPECT_EQ(got, bigText());
}

TEST(ZipReader, RefusesAnEntryLargerThanTheLimit)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"big.xml", bigText()}});
    ZipReader z(dir / "a.zip", "a.zip");
    try {
        z.read(*z.find("big.xml"), 1000);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::PartTooLarge);
    }
}

TEST(ZipReader, RejectsUnsafeAndDuplicateNames)
{
    TempDir dir;
    for (const char* bad : {"../evil.xml", "/abs.xml", "xl\\win.xml", "xl/../../x.xml"}) {
        t::writeZip(dir / "bad.zip", {{"ok.xml", "x"}, {bad, "y"}});
        EXPECT_EQ(openError(dir / "bad.zip"), ErrorCode::ZipUnsafeName) << bad;
    }
    t::writeZip(dir / "dup.zip", {{"xl/workbook.xml", "1"}, {"XL/Workbook.xml", "2"}});
    EXPECT_EQ(openError(dir / "dup.zip"), ErrorCode::ZipDuplicateName);
}

TEST(ZipReader, RejectsTruncatedAndGarbledArchives)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"a.xml", bigText()}, {"b.xml", "bbb"}});
    std::string whole = readFile(dir / "a.zip");
    writeFile(dir / "cut.zip", whole.substr(0, whole.size() / 2));
    EXPECT_EQ(openError(dir / "cut.zip"), ErrorCode::ZipDamaged);
    writeFile(dir / "tail.zip", whole.substr(0, whole.size() - 10));
    EXPECT_EQ(openError(dir / "tail.zip"), ErrorCode::ZipDamaged);
    writeFile(dir / "tiny.zip", "PK\x05\x06");
    EXPECT_EQ(openError(dir / "tiny.zip"), ErrorCode::ZipDamaged);
}

TEST(ZipReader, RejectsALocalHeaderThatDisagreesWithTheDirectory)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"abc.xml", "x"}});
    patch(dir / "a.zip", 30, "abd");  // the local header's copy of the name
    EXPECT_EQ(openError(dir / "a.zip"), ErrorCode::ZipDamaged);
}

TEST(ZipReader, ReportsDataThatDoNotMatchTheirChecksumOrLength)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"a.xml", "hello world"}}, t::Storage::Stored);
    patch(dir / "a.zip", 30 + 5, "J");  // one byte of the stored data
    ZipReader z(dir / "a.zip", "a.zip");
    try {
        z.read(*z.find("a.xml"), 100);
        FAIL();
    } catch (const EngineError& e) {
        EXPECT_EQ(e.code(), ErrorCode::PartDamaged);
        EXPECT_NE(std::string(e.what()).find("checksum"), std::string::npos);
    }
}

TEST(ZipReader, ReportsCorruptCompressedData)
{
    TempDir dir;
    t::writeZip(dir / "a.zip", {{"a.xml", bigText()}});
    std::string whole = readFile(dir / "a.zip");
    for (std::size_t i = 40; i < 140; ++i)
        whole[i] = static_cast<char>(0xFF);
    writeFile(dir / "a.zip", whole);
    ZipReader z(dir / "a.zip", "a.zip");
    EXPECT_THROW(z.read(*z.find("a.xml"), 1 << 30), EngineError);
}

TEST(ZipWriter, CopiesUntouchedEntriesByteForByteAndWritesNewOnes)
{
    TempDir dir;
    t::writeZip(dir / "in.zip", {{"keep.xml", bigText()}, {"old.xml", "old"}});
    ZipReader in(dir / "in.zip", "in.zip");
    replaceFileAtomically(dir / "out.zip", [&](OutputFile& out) {
        ZipWriter w(out);
        w.addRaw(in, *in.find("keep.xml"));
        w.add("new.xml", compressPart("<brand new/>", 6));
        w.finish();
    });
    auto before = t::readZipRaw(dir / "in.zip");
    auto after = t::readZipRaw(dir / "out.zip");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after["keep.xml"].bytes, before["keep.xml"].bytes);
    EXPECT_EQ(after["keep.xml"].crc, before["keep.xml"].crc);
    EXPECT_EQ(t::readZip(dir / "out.zip")["new.xml"], "<brand new/>");
    // And the engine's own reader agrees with libzip.
    ZipReader back(dir / "out.zip", "out.zip");
    EXPECT_EQ(back.read(*back.find("keep.xml"), 1 << 30), bigText());
}

TEST(ZipWriter, KeepsNonAsciiNames)
{
    TempDir dir;
    replaceFileAtomically(dir / "out.zip", [&](OutputFile& out) {
        ZipWriter w(out);
        w.add("xl/worksheets/Übersicht.xml", compressPart("<x/>", 6));
        w.finish();
    });
    auto all = t::readZip(dir / "out.zip");
    EXPECT_EQ(all.count("xl/worksheets/Übersicht.xml"), 1u);
}
