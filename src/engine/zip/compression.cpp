// SPDX-License-Identifier: MIT
#include "engine/zip/compression.h"

#include "engine/zip/spool_file.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <thread>

#include <isa-l/crc.h>
#include <isa-l/igzip_lib.h>
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

} // namespace

std::uint32_t crc32Of(std::uint32_t crc, std::string_view data)
{
    // ISA-L's folding CRC is several times quicker than zlib's table walk, and the same
    // function: reflected CRC-32 with the usual pre- and post-inversion.
    return crc32_gzip_refl(crc, reinterpret_cast<const unsigned char*>(data.data()), data.size());
}

// ISA-L decodes deflate about twice as fast as zlib, and a big sheet is inflated on every
// copy from it.
struct Inflater::Impl {
    inflate_state state;
};

Inflater::Inflater() : impl_(std::make_unique<Impl>())
{
    isal_inflate_init(&impl_->state);
    impl_->state.crc_flag = ISAL_DEFLATE;
}

Inflater::~Inflater() = default;

bool Inflater::wantsInput() const
{
    return impl_->state.avail_in == 0;
}

void Inflater::give(const char* data, std::size_t size)
{
    impl_->state.next_in = reinterpret_cast<std::uint8_t*>(const_cast<char*>(data));
    impl_->state.avail_in = static_cast<std::uint32_t>(std::min<std::size_t>(size, 1u << 30));
}

Inflater::Status Inflater::run(char* out, std::size_t room, std::size_t& produced)
{
    inflate_state& st = impl_->state;
    if (st.block_state == ISAL_BLOCK_FINISH)
        return Status::End;
    room = std::min<std::size_t>(room, 1u << 30);
    st.next_out = reinterpret_cast<std::uint8_t*>(out);
    st.avail_out = static_cast<std::uint32_t>(room);
    std::uint32_t inputBefore = st.avail_in;
    int rc = isal_inflate(&st);
    std::size_t made = room - st.avail_out;
    produced += made;
    if (rc < 0 || rc == ISAL_NEED_DICT)
        return Status::Corrupt;
    if (st.block_state == ISAL_BLOCK_FINISH)
        return Status::End;
    // With input and room both offered, a decoder that takes nothing and gives nothing is
    // stuck on data it does not flag; treat it as the corruption it is rather than spin.
    if (made == 0 && room > 0 && inputBefore > 0 && st.avail_in == inputBefore)
        return Status::Corrupt;
    return Status::More;
}

std::shared_ptr<ByteChunks> ByteChunks::onDisk()
{
    auto chunks = std::make_shared<ByteChunks>();
    chunks->file_ = std::make_shared<SpoolFile>();
    return chunks;
}

void ByteChunks::append(const char* data, std::size_t size)
{
    if (file_) {
        file_->append(data, size);
        size_ += size;
        return;
    }
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

void ByteChunks::forEachPiece(const std::function<void(std::string_view)>& visit) const
{
    if (!file_) {
        for (const auto& p : pieces_)
            visit(p);
        return;
    }
    std::string buf(kPieceSize, '\0');
    for (std::uint64_t at = 0; at < size_;) {
        std::size_t n = file_->readAt(at, buf.data(), buf.size());
        if (n == 0)
            throw std::runtime_error("a temporary file ends too early");
        visit(std::string_view(buf.data(), n));
        at += n;
    }
}

std::size_t ByteChunks::readAt(std::uint64_t offset, char* out, std::size_t size) const
{
    if (file_)
        return file_->readAt(offset, out, size);
    std::size_t done = 0;
    std::size_t piece = static_cast<std::size_t>(offset / kPieceSize);
    std::size_t within = static_cast<std::size_t>(offset % kPieceSize);
    while (done < size && piece < pieces_.size()) {
        std::size_t n = std::min(size - done, pieces_[piece].size() - within);
        std::memcpy(out + done, pieces_[piece].data() + within, n);
        done += n;
        ++piece;
        within = 0;
    }
    return done;
}

int ByteChunks::descriptor() const
{
    return file_ ? file_->descriptor() : -1;
}

std::string ByteChunks::joined() const
{
    std::string all;
    all.reserve(static_cast<std::size_t>(size_));
    forEachPiece([&](std::string_view p) { all += p; });
    return all;
}

int deflateLevelFor(std::uint64_t size)
{
    return size <= kSmallPart ? 6 : 1;
}

// Large parts are cut into fixed blocks that worker threads deflate independently, each
// primed with the last 32 KiB of the block before it and ended with a sync flush, so their
// concatenation is one valid deflate stream (the way pigz works). Block boundaries depend
// only on the input, so the output is the same on every run on one machine (ISA-L picks its
// code for the processor, which may encode differently elsewhere).
namespace {

constexpr std::size_t kBlock = 1u << 20;
constexpr std::size_t kWindow = 32u * 1024u;

struct Block {
    std::string input;
    std::string dictionary;
    bool last = false;
    std::string output;
    std::uint32_t crc = 0;
    bool done = false;
    bool failed = false;
};

// zlib for the thorough levels of small parts; ISA-L for the fast level of big ones, where it
// is about three times quicker than zlib and compresses XML a little tighter.
void deflateBlockZlib(Block& b, int level)
{
    z_stream zs{};
    if (deflateInit2(&zs, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        b.failed = true;
        return;
    }
    if (!b.dictionary.empty())
        deflateSetDictionary(&zs, reinterpret_cast<const Bytef*>(b.dictionary.data()),
                             static_cast<uInt>(b.dictionary.size()));
    b.output.resize(deflateBound(&zs, static_cast<uLong>(b.input.size())) + 64);
    zs.next_in = reinterpret_cast<Bytef*>(b.input.data());
    zs.avail_in = static_cast<uInt>(b.input.size());
    zs.next_out = reinterpret_cast<Bytef*>(b.output.data());
    zs.avail_out = static_cast<uInt>(b.output.size());
    int rc = deflate(&zs, b.last ? Z_FINISH : Z_SYNC_FLUSH);
    if ((b.last && rc != Z_STREAM_END) || (!b.last && rc != Z_OK) || zs.avail_in != 0)
        b.failed = true;
    b.output.resize(zs.total_out);
    deflateEnd(&zs);
}

struct IsalDeflater {
    isal_zstream stream;
    std::vector<std::uint8_t> levelBuffer = std::vector<std::uint8_t>(ISAL_DEF_LVL1_DEFAULT);
};

void deflateBlockIsal(Block& b)
{
    // A few hundred KiB of state, kept per thread rather than made for every block.
    thread_local std::unique_ptr<IsalDeflater> mine;
    if (!mine)
        mine = std::make_unique<IsalDeflater>();
    isal_zstream& zs = mine->stream;
    isal_deflate_init(&zs);
    zs.level = 1;
    zs.level_buf = mine->levelBuffer.data();
    zs.level_buf_size = static_cast<std::uint32_t>(mine->levelBuffer.size());
    if (!b.dictionary.empty() &&
        isal_deflate_set_dict(&zs, reinterpret_cast<std::uint8_t*>(b.dictionary.data()),
                              static_cast<std::uint32_t>(b.dictionary.size())) != COMP_OK) {
        b.failed = true;
        return;
    }
    zs.flush = b.last ? NO_FLUSH : SYNC_FLUSH;
    zs.end_of_stream = b.last ? 1 : 0;
    zs.next_in = reinterpret_cast<std::uint8_t*>(b.input.data());
    zs.avail_in = static_cast<std::uint32_t>(b.input.size());
    b.output.resize(b.input.size() + b.input.size() / 8 + 1024);
    std::size_t written = 0;
    for (;;) {
        zs.next_out = reinterpret_cast<std::uint8_t*>(b.output.data() + written);
        zs.avail_out = static_cast<std::uint32_t>(b.output.size() - written);
        if (isal_deflate(&zs) != COMP_OK) {
            b.failed = true;
            return;
        }
        written = b.output.size() - zs.avail_out;
        bool finished = b.last ? zs.internal_state.state == ZSTATE_END
                               : zs.avail_in == 0 && zs.internal_state.state == ZSTATE_NEW_HDR;
        if (finished)
            break;
        if (zs.avail_out != 0) {
            b.failed = true;  // no progress with room to spare: the state is not what we expect
            return;
        }
        b.output.resize(b.output.size() * 2);
    }
    b.output.resize(written);
}

void deflateBlock(Block& b, int level)
{
    if (level <= 1)
        deflateBlockIsal(b);
    else
        deflateBlockZlib(b, level);
    b.crc = crc32Of(0, b.input);
}

} // namespace

struct PartCompressor::Impl {
    int level;
    std::uint32_t crc = 0;
    std::uint64_t size = 0;
    std::shared_ptr<ByteChunks> out = std::make_shared<ByteChunks>();
    std::string current;     // the block being filled
    std::string previousTail;
    bool anyBlockSent = false;

    std::mutex mutex;
    std::condition_variable workAvailable, blockDone;
    std::deque<std::shared_ptr<Block>> todo;
    std::deque<std::shared_ptr<Block>> inOrder;
    std::vector<std::thread> workers;
    bool stopping = false;

    Impl(int lvl, bool onDisk) : level(lvl)
    {
        if (onDisk)
            out = ByteChunks::onDisk();
    }
    ~Impl() { stop(); }

    void stop()
    {
        {
            std::lock_guard lock(mutex);
            stopping = true;
        }
        workAvailable.notify_all();
        for (auto& t : workers)
            t.join();
        workers.clear();
    }

    void work()
    {
        for (;;) {
            std::shared_ptr<Block> b;
            {
                std::unique_lock lock(mutex);
                workAvailable.wait(lock, [&] { return stopping || !todo.empty(); });
                if (todo.empty())
                    return;
                b = todo.front();
                todo.pop_front();
            }
            deflateBlock(*b, level);
            {
                std::lock_guard lock(mutex);
                b->done = true;
            }
            blockDone.notify_all();
        }
    }

    // Moves finished blocks at the front into the output, waiting while more than `keep`
    // blocks are in flight.
    void collect(std::size_t keep)
    {
        std::unique_lock lock(mutex);
        for (;;) {
            while (!inOrder.empty() && inOrder.front()->done) {
                auto b = inOrder.front();
                inOrder.pop_front();
                if (b->failed)
                    throw std::runtime_error("the compressor failed");
                out->append(b->output);
                crc = static_cast<std::uint32_t>(crc32_combine(crc, b->crc, static_cast<z_off_t>(b->input.size())));
            }
            if (inOrder.size() <= keep)
                return;
            blockDone.wait(lock);
        }
    }

    void send(bool last)
    {
        auto b = std::make_shared<Block>();
        b->input = std::move(current);
        current.clear();
        current.reserve(kBlock);
        b->dictionary = std::move(previousTail);
        b->last = last;
        if (!last)
            previousTail = b->input.substr(b->input.size() - std::min(b->input.size(), kWindow));
        if (last && !anyBlockSent) {
            // A part that fits one block is compressed right here, as one plain stream.
            deflateBlock(*b, level);
            if (b->failed)
                throw std::runtime_error("the compressor failed");
            out->append(b->output);
            crc = b->crc;
            return;
        }
        anyBlockSent = true;
        if (workers.empty()) {
            unsigned n = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
            for (unsigned i = 0; i < n; ++i)
                workers.emplace_back([this] { work(); });
        }
        {
            std::lock_guard lock(mutex);
            todo.push_back(b);
            inOrder.push_back(b);
        }
        workAvailable.notify_one();
        collect(last ? 0 : 2 * workers.size() + 2);
    }
};

PartCompressor::PartCompressor(int level, bool onDisk) : impl_(std::make_unique<Impl>(level, onDisk)) {}
PartCompressor::~PartCompressor() = default;

void PartCompressor::feed(std::string_view data)
{
    impl_->size += data.size();
    while (!data.empty()) {
        std::size_t room = kBlock - impl_->current.size();
        std::size_t take = std::min(room, data.size());
        impl_->current.append(data.data(), take);
        data.remove_prefix(take);
        if (impl_->current.size() == kBlock)
            impl_->send(false);
    }
}

StoredPart PartCompressor::finish()
{
    impl_->send(true);
    impl_->stop();
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
