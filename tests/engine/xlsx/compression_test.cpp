// SPDX-License-Identifier: MIT
#include "engine/zip/compression.h"
#include "engine/opc/engine_context.h"

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
    EXPECT_GT(p.bytes->size(), 0u);
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

namespace {

std::string deflatedByZlib(const std::string& in, int level)
{
    z_stream zs{};
    deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&zs, static_cast<uLong>(in.size())), '\0');
    zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    zs.avail_in = static_cast<uInt>(in.size());
    zs.next_out = reinterpret_cast<Bytef*>(out.data());
    zs.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&zs, Z_FINISH), Z_STREAM_END);
    out.resize(zs.total_out);
    deflateEnd(&zs);
    return out;
}

// Feeds `stored` in pieces of `in` bytes and takes output in pieces of `out` bytes.
Inflater::Status inflateInPieces(const std::string& stored, std::size_t in, std::size_t out, std::string& result)
{
    Inflater inf;
    std::size_t given = 0;
    std::string buf(out, '\0');
    for (int guard = 0; guard < 10'000'000; ++guard) {
        if (inf.wantsInput() && given < stored.size()) {
            std::size_t n = std::min(in, stored.size() - given);
            inf.give(stored.data() + given, n);
            given += n;
        }
        std::size_t got = 0;
        Inflater::Status s = inf.run(buf.data(), buf.size(), got);
        result.append(buf.data(), got);
        if (s != Inflater::Status::More)
            return s;
        if (got == 0 && inf.wantsInput() && given == stored.size())
            return Inflater::Status::More;  // ran out of input before the end
    }
    ADD_FAILURE() << "the inflater never finished";
    return Inflater::Status::Corrupt;
}

} // namespace

TEST(Inflater, DecodesWhatZlibWroteWhateverThePiecesAndReportsDamage)
{
    std::string xml = sampleXml(20000);
    std::string stored = deflatedByZlib(xml, 9);
    for (auto [in, out] : {std::pair<std::size_t, std::size_t>{1, 7}, {3, 65536}, {stored.size(), 1},
                           {4096, 1u << 20}}) {
        std::string result;
        EXPECT_EQ(inflateInPieces(stored, in, out, result), Inflater::Status::End) << in << " " << out;
        EXPECT_EQ(result, xml) << in << " " << out;
    }

    std::string result;
    EXPECT_EQ(inflateInPieces(stored.substr(0, stored.size() / 2), 1000, 4096, result), Inflater::Status::More)
        << "a cut stream is not complete";

    std::string garbled = stored;
    for (std::size_t i = 100; i < garbled.size(); i += 50)
        garbled[i] = static_cast<char>(garbled[i] ^ 0x5A);
    result.clear();
    EXPECT_NE(inflateInPieces(garbled, 4096, 4096, result), Inflater::Status::End);

    result.clear();
    EXPECT_EQ(inflateInPieces(std::string("\xff\xff\xff\xff", 4), 4, 64, result), Inflater::Status::Corrupt);
}

TEST(Crc32, AgreesWithZlibInAnyPieces)
{
    std::mt19937 rng(11);
    std::string data(100000, '\0');
    for (char& c : data)
        c = static_cast<char>(rng());
    auto zlibCrc = static_cast<std::uint32_t>(
        ::crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
    EXPECT_EQ(crc32Of(0, data), zlibCrc);
    std::uint32_t pieced = 0;
    for (std::size_t i = 0; i < data.size(); i += 999)
        pieced = crc32Of(pieced, std::string_view(data).substr(i, 999));
    EXPECT_EQ(pieced, zlibCrc);
    EXPECT_EQ(crc32Of(0, ""), 0u);
}

TEST(PartCompressor, BigIncompressiblePartsStillRoundTrip)
{
    std::mt19937 rng(5);
    std::string noise(3u << 20, '\0');
    for (char& c : noise)
        c = static_cast<char>(rng());
    PartCompressor c(deflateLevelFor(noise.size()));
    c.feed(noise);
    StoredPart p = c.finish();
    EXPECT_EQ(inflateRaw(p), noise);
    EXPECT_LT(p.bytes->size(), noise.size() + noise.size() / 100) << "stored blocks, not an expansion";
}
