// SPDX-License-Identifier: MIT
#include "platform/xlsx/compression.h"

#include <cstring>
#include <stdexcept>

#include <zlib.h>

namespace tessaro::xlsx {
namespace {

constexpr std::size_t kPieceSize = 1u << 20;
constexpr std::uint64_t kSmallPart = 256u * 1024u;

std::uint16_t flagsForLevel(int level)
{
    // Bits 1-2 of the zip flags: 0 normal, 1 maximum, 2 fast, 3 super fast.
    if (level >= 8)
        return 1u << 1;
    if (level == 2)
        return 2u << 1;
    if (level <= 1)
        return 3u << 1;
    return 0;
}

std::uint32_t crcOf(std::uint32_t crc, std::string_view data)
{
    while (!data.empty()) {
        auto n = static_cast<uInt>(std::min<std::size_t>(data.size(), 1u << 30));
        crc = static_cast<std::uint32_t>(::crc32(crc, reinterpret_cast<const Bytef*>(data.data()), n));
        data.remove_prefix(n);
    }
    return crc;
}

} // namespace

void ByteChunks::append(const char* data, std::size_t size)
{
    size_ += size;
    while (size > 0) {
        if (pieces_.empty() || pieces_.back().size() >= kPieceSize) {
            pieces_.emplace_back();
            pieces_.back().reserve(kPieceSize);
        }
        std::string& last = pieces_.back();
        std::size_t take = std::min(size, kPieceSize - last.size());
        last.append(data, take);
        data += take;
        size -= take;
    }
}

std::string ByteChunks::joined() const
{
    std::string all;
    all.reserve(static_cast<std::size_t>(size_));
    for (const auto& p : pieces_)
        all += p;
    return all;
}

int deflateLevelFor(std::uint64_t size)
{
    return size <= kSmallPart ? 6 : 1;
}

struct PartCompressor::Impl {
    z_stream zs{};
    int level;
    bool open = false;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::shared_ptr<ByteChunks> out = std::make_shared<ByteChunks>();
    std::string scratch;

    explicit Impl(int lvl) : level(lvl)
    {
        // Raw deflate (negative window bits): zip entries carry no zlib header.
        if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
            throw std::runtime_error("cannot start the compressor");
        open = true;
        scratch.resize(256 * 1024);
    }
    ~Impl()
    {
        if (open)
            deflateEnd(&zs);
    }

    void run(std::string_view data, int flush)
    {
        zs.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
        zs.avail_in = static_cast<uInt>(data.size());
        for (;;) {
            zs.next_out = reinterpret_cast<Bytef*>(scratch.data());
            zs.avail_out = static_cast<uInt>(scratch.size());
            int rc = deflate(&zs, flush);
            if (rc == Z_STREAM_ERROR)
                throw std::runtime_error("the compressor failed");
            std::size_t produced = scratch.size() - zs.avail_out;
            out->append(scratch.data(), produced);
            if (flush == Z_FINISH) {
                if (rc == Z_STREAM_END)
                    break;
            } else if (zs.avail_in == 0 && zs.avail_out != 0) {
                break;
            }
        }
    }
};

PartCompressor::PartCompressor(int level) : impl_(std::make_unique<Impl>(level)) {}
PartCompressor::~PartCompressor() = default;

void PartCompressor::feed(std::string_view data)
{
    impl_->crc = crcOf(impl_->crc, data);
    impl_->size += data.size();
    while (!data.empty()) {
        std::size_t n = std::min<std::size_t>(data.size(), 1u << 30);
        impl_->run(data.substr(0, n), Z_NO_FLUSH);
        data.remove_prefix(n);
    }
}

StoredPart PartCompressor::finish()
{
    impl_->run({}, Z_FINISH);
    StoredPart part;
    part.crc = impl_->crc;
    part.size = impl_->size;
    part.method = StoredPart::Method::Deflated;
    part.levelFlags = flagsForLevel(impl_->level);
    part.bytes = std::move(impl_->out);
    return part;
}

StoredPart compressPart(std::string_view content, int level)
{
    PartCompressor c(level);
    c.feed(content);
    StoredPart part = c.finish();
    if (part.bytes->size() >= content.size()) {
        // Tiny or incompressible parts are smaller stored as they are.
        auto raw = std::make_shared<ByteChunks>();
        raw->append(content);
        part.bytes = std::move(raw);
        part.method = StoredPart::Method::Stored;
        part.levelFlags = 0;
    }
    return part;
}

// Two independent multiply-rotate lanes over 8-byte words, finished with a strong mixer;
// ample for telling apart parts in one process.
void Fingerprinter::mix(std::uint64_t w)
{
    a_ = (a_ ^ w) * 0x9E3779B97F4A7C15ull;
    a_ = (a_ << 31) | (a_ >> 33);
    b_ = (b_ + w) * 0xC2B2AE3D27D4EB4Full;
    b_ = (b_ << 27) | (b_ >> 37);
    b_ ^= a_;
}

Fingerprinter& Fingerprinter::add(std::string_view bytes)
{
    size_ += bytes.size();
    const char* p = bytes.data();
    std::size_t n = bytes.size();
    while (n >= 8) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        mix(w);
        p += 8;
        n -= 8;
    }
    std::uint64_t tail = 0;
    std::memcpy(&tail, p, n);
    mix(tail ^ (static_cast<std::uint64_t>(n) << 56) ^ 0xA5A5A5A5u);
    return *this;
}

Fingerprinter& Fingerprinter::add(std::uint64_t value)
{
    size_ += 8;
    mix(value);
    mix(0x5851F42D4C957F2Dull);
    return *this;
}

namespace {
std::uint64_t finalMix(std::uint64_t z)
{
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}
} // namespace

Fingerprint Fingerprinter::result() const
{
    Fingerprint f;
    f.a = finalMix(a_ ^ size_);
    f.b = finalMix(b_ + 0x632BE59BD9B4E019ull * (size_ + 1));
    f.size = size_;
    return f;
}

Fingerprint fingerprintOf(std::string_view bytes)
{
    return Fingerprinter().add(bytes).result();
}

} // namespace tessaro::xlsx
