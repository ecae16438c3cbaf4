// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

class SpoolFile;

// Bytes kept as a list of pieces so that a large compressed part grows without the copy and
// the double-size peak of a reallocating string; or, for a part that would weigh on memory,
// in a temporary file.
class ByteChunks {
public:
    ByteChunks() = default;
    static std::shared_ptr<ByteChunks> onDisk();

    void append(const char* data, std::size_t size);
    void append(std::string_view data) { append(data.data(), data.size()); }
    std::uint64_t size() const { return size_; }
    // Calls `visit` with the bytes in order, a piece at a time.
    void forEachPiece(const std::function<void(std::string_view)>& visit) const;
    // Up to `size` bytes from `offset`; fewer only at the end.
    std::size_t readAt(std::uint64_t offset, char* out, std::size_t size) const;
    // The file holding the bytes, or -1 when they are in memory.
    int descriptor() const;
    std::string joined() const;

private:
    std::vector<std::string> pieces_;
    std::shared_ptr<SpoolFile> file_;
    std::uint64_t size_ = 0;
};

// A part as it is stored in a zip entry: the stored bytes (deflated, or as they are), the
// CRC-32 and length of the uncompressed content. Immutable and shared, so one compressed
// sheet can be written into any number of packages.
struct StoredPart {
    enum class Method : std::uint16_t { Stored = 0, Deflated = 8 };
    std::shared_ptr<const ByteChunks> bytes;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    Method method = Method::Deflated;
    // zip flag bits 1-2 that describe the deflate level used (informational only).
    std::uint16_t levelFlags = 0;
};

// The CRC-32 of zip entries, continued from `crc` over `data`.
std::uint32_t crc32Of(std::uint32_t crc, std::string_view data);

// Inflates one raw deflate stream that arrives in pieces. give() input whenever
// wantsInput(); run() until it reports End or Corrupt.
class Inflater {
public:
    enum class Status { More, End, Corrupt };
    Inflater();
    ~Inflater();
    Inflater(const Inflater&) = delete;
    Inflater& operator=(const Inflater&) = delete;

    bool wantsInput() const;
    // The bytes must stay in place until they are used up; at most 1 GiB is taken at a time.
    void give(const char* data, std::size_t size);
    // Writes at most `room` bytes to `out` and adds their number to `produced`.
    Status run(char* out, std::size_t room, std::size_t& produced);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The deflate level for a part of this many bytes: small parts get a thorough level that
// costs little, big ones a fast level, since they dominate the time of a save.
int deflateLevelFor(std::uint64_t size);

// Compresses a whole part at once.
StoredPart compressPart(std::string_view content, int level);

// Compresses a part that arrives in pieces (a sheet being rewritten), never holding the
// uncompressed whole. feed() any number of times, then finish() once.
class PartCompressor {
public:
    // `onDisk`: the compressed bytes go to a temporary file instead of memory.
    explicit PartCompressor(int level, bool onDisk = false);
    ~PartCompressor();
    PartCompressor(const PartCompressor&) = delete;
    PartCompressor& operator=(const PartCompressor&) = delete;

    void feed(std::string_view data);
    StoredPart finish();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// A 128-bit fingerprint of some bytes plus their length: the key of the caches that reuse
// compressed parts. Not cryptographic; the inputs are the engine's own parts.
struct Fingerprint {
    std::uint64_t a = 0;
    std::uint64_t b = 0;
    std::uint64_t size = 0;
    friend bool operator==(const Fingerprint&, const Fingerprint&) = default;
};

struct FingerprintHash {
    std::size_t operator()(const Fingerprint& f) const noexcept { return static_cast<std::size_t>(f.a ^ (f.b << 1)); }
};

// Incremental fingerprinting, for keys made of several fields.
class Fingerprinter {
public:
    Fingerprinter& add(std::string_view bytes);
    Fingerprinter& add(std::uint64_t value);
    Fingerprint result() const;

private:
    void mix(std::uint64_t word);
    std::uint64_t a_ = 0x243F6A8885A308D3ull;
    std::uint64_t b_ = 0x13198A2E03707344ull;
    std::uint64_t size_ = 0;
};

Fingerprint fingerprintOf(std::string_view bytes);

} // namespace tessaro::xlsx
