// SPDX-License-Identifier: MIT
#include "platform/xlsx/compression.h"
#include "platform/xlsx/engine_context.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>

using namespace tessaro::xlsx;

namespace {

std::string inflateRaw(const StoredPart& p)
{
    std::string in = p.bytes->joined();
    if (p.method == StoredPart::Method::Stored)
        return in;
    z_stream zs{};
    inflateInit2(&zs, -15);
    std::string out(p.size, '\0');
    zs.next_in = reinterpret_cast<Bytef*>(in.data());
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    int rc = inflate(&zs, Z_FINISH);
    inflateEnd(&zs);
    EXPECT_EQ(rc, Z_STREAM_END);
    out.resize(zs.total_out);
    return out;
}

std::string sampleXml(std::size_t rows)
{
    std::string s = "<sheetData>";
    for (std::size_t r = 1; r <= rows; ++r)
        s += "<row r=\"" + std::to_string(r) + "\"><c r=\"A" + std::to_string(r) + "\"><v>" + std::to_string(r * 7) +
             "</v></c></row>";
    return s + "</sheetData>";
}

} // namespace

TEST(CompressPart, RoundTripsThroughInflateWithTheRightChecksum)
{
    std::string xml = sampleXml(2000);
    StoredPart p = compressPart(xml, 6);
    EXPECT_EQ(p.method, StoredPart::Method::Deflated);
    EXPECT_LT(p.bytes->size(), xml.size());
    EXPECT_EQ(p.size, xml.size());
    EXPECT_EQ(p.crc, ::crc32(0, reinterpret_cast<const Bytef*>(xml.data()), static_cast<uInt>(xml.size())));
    EXPECT_EQ(inflateRaw(p), xml);
}

TEST(CompressPart, StoresWhatDeflateCannotShrink)
{
    std::mt19937 rng(7);
    std::string noise(300, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng());
    StoredPart p = compressPart(noise, 6);
    EXPECT_EQ(p.method, StoredPart::Method::Stored);
    EXPECT_EQ(p.bytes->joined(), noise);
}

TEST(PartCompressor, PiecesGiveTheSameContentAsTheWhole)
{
    std::string xml = sampleXml(50000);
    PartCompressor c(1);
    for (std::size_t i = 0; i < xml.size(); i += 777)
        c.feed(std::string_view(xml).substr(i, 777));
    StoredPart p = c.finish();
    EXPECT_EQ(p.size, xml.size());
    EXPECT_GT(p.bytes->pieces().size(), 0u);
    EXPECT_EQ(inflateRaw(p), xml);
}

TEST(Fingerprint, EqualBytesAgreeAndAnyChangeDiffers)
{
    std::string a = sampleXml(100), b = a;
    EXPECT_EQ(fingerprintOf(a), fingerprintOf(b));
    b[b.size() / 2] ^= 1;
    EXPECT_NE(fingerprintOf(a), fingerprintOf(b));
    EXPECT_NE(fingerprintOf("ab"), fingerprintOf(std::string_view("ab\0", 3)));
    EXPECT_NE(Fingerprinter().add("a").add("bc").result(), Fingerprinter().add("ab").add("c").result());
}

TEST(EngineContext, CompressesEachDistinctContentOnce)
{
    EngineContext ctx(EngineOptions{});
    std::string xml = sampleXml(500);
    StoredPart first = ctx.storedForm(xml);
    StoredPart again = ctx.storedForm(std::string(xml));
    EXPECT_EQ(first.bytes.get(), again.bytes.get()) << "the second request should reuse the first result";
    StoredPart other = ctx.storedForm(sampleXml(501));
    EXPECT_NE(first.bytes.get(), other.bytes.get());
    auto s = ctx.stats();
    EXPECT_EQ(s.compressions, 2u);
    EXPECT_EQ(s.reusedCompressions, 1u);
}

TEST(EngineContext, ForgetsOldPartsBeyondItsBudget)
{
    EngineOptions o;
    o.cacheBudget = 40 * 1024;
    EngineContext ctx(o);
    std::mt19937 rng(3);
    auto noise = [&] {
        std::string s(12 * 1024, '\0');
        for (char& c : s)
            c = static_cast<char>('a' + rng() % 26);
        return s;
    };
    std::string first = noise();
    StoredPart a = ctx.storedForm(first);
    for (int i = 0; i < 10; ++i)
        ctx.storedForm(noise());
    StoredPart b = ctx.storedForm(first);
    EXPECT_NE(a.bytes.get(), b.bytes.get()) << "the oldest part should have been dropped";
    EXPECT_EQ(inflateRaw(b), first);
}

TEST(PartCompressor, BigPartsComeOutTheSameEveryTime)
{
    std::string xml = sampleXml(200000);  // several blocks, compressed in parallel
    ASSERT_GT(xml.size(), 5u << 20);
    auto run = [&] {
        PartCompressor c(1);
        for (std::size_t i = 0; i < xml.size(); i += 300000)
            c.feed(std::string_view(xml).substr(i, 300000));
        return c.finish();
    };
    StoredPart a = run(), b = run();
    EXPECT_EQ(a.bytes->joined(), b.bytes->joined());
    EXPECT_EQ(a.crc, ::crc32(0, reinterpret_cast<const Bytef*>(xml.data()), static_cast<uInt>(xml.size())));
    EXPECT_EQ(inflateRaw(a), xml);
}
