// SPDX-License-Identifier: MIT
#include "engine/zip/zip_reader.h"

#include "engine/zip/compression.h"
#include "engine/zip/little_endian.h"
#include "platform/engine_error.h"
#include "platform/file_identity.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint32_t kEnd64Sig = 0x06064b50;
constexpr std::uint32_t kEnd64LocatorSig = 0x07064b50;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kLocalSize = 30;
// More entries than any workbook has; a directory that claims more is hostile or broken.
constexpr std::uint64_t kMaxEntries = 1u << 20;

// Sizes as a person reads them in a message.
std::string sizeText(std::uint64_t bytes)
{
    if (bytes < 10 * 1024)
        return fmt::format("{} bytes", bytes);
    if (bytes < 10 * 1024 * 1024)
        return fmt::format("{} KiB", bytes >> 10);
    if (bytes < 10ull * 1024 * 1024 * 1024)
        return fmt::format("{} MiB", bytes >> 20);
    return fmt::format("{} GiB", bytes >> 30);
}

bool unsafeName(std::string_view name)
{
    if (name.empty() || name.front() == '/' || name.find('\\') != std::string_view::npos ||
        name.find('\0') != std::string_view::npos)
        return true;
    if (name.size() >= 2 && name[1] == ':')
        return true;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find('/', start);
        if (end == std::string_view::npos)
            end = name.size();
        std::string_view seg = name.substr(start, end - start);
        if (seg == "..")
            return true;
        start = end + 1;
    }
    return false;
}

// Takes the sizes and local header offset an entry's zip64 extra field holds in place of
// the directory's 0xFFFFFFFF; false when the field lacks one that is needed.
bool readZip64Sizes(const unsigned char* x, std::size_t extraLen, ZipEntry& en, std::uint64_t& local)
{
    const unsigned char* xEnd = x + extraLen;
    while (x + 4 <= xEnd) {
        std::uint16_t id = le16(x), len = le16(x + 2);
        if (x + 4 + len > xEnd)
            break;
        if (id == 0x0001) {
            const unsigned char* f = x + 4;
            const unsigned char* fEnd = f + len;
            for (std::uint64_t* field : {&en.size, &en.compressedSize, &local}) {
                if (*field != 0xFFFFFFFFu)
                    continue;
                if (f + 8 > fEnd)
                    return false;
                *field = le64(f);
                f += 8;
            }
        }
        x += 4 + len;
    }
    return true;
}

} // namespace

std::string foldAscii(std::string_view s)
{
    std::string out(s);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

ZipReader::ZipReader(const std::filesystem::path& file, std::string displayPath, InflateLimits limits)
    : displayPath_(std::move(displayPath)), limits_(limits)
{
    fd_ = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
        int err = errno;
        throw EngineError(err == ENOENT ? ErrorCode::FileNotFound : ErrorCode::FileUnreadable, displayPath_,
                          std::strerror(err));
    }
    struct stat st {};
    if (::fstat(fd_, &st) != 0) {
        int err = errno;
        ::close(fd_);
        throw EngineError(ErrorCode::FileUnreadable, displayPath_, std::strerror(err));
    }
    fileSize_ = static_cast<std::uint64_t>(st.st_size);
    if (const auto id = identityOfDescriptor(fd_))
        identity_ = id->key();
    try {
        readDirectory();
        admitted_.assign(entries_.size(), false);
    } catch (...) {
        ::close(fd_);
        throw;
    }
}

ZipReader::~ZipReader()
{
    if (fd_ >= 0)
        ::close(fd_);
}

void ZipReader::damaged(const std::string& detail) const
{
    throw EngineError(ErrorCode::ZipDamaged, displayPath_, detail);
}

void ZipReader::readAt(std::uint64_t offset, void* out, std::size_t size) const
{
    if (offset > fileSize_ || size > fileSize_ - offset)
        damaged("the file ends before the data it announces");
    auto* p = static_cast<char*>(out);
    while (size > 0) {
        ssize_t n = ::pread(fd_, p, size, static_cast<off_t>(offset));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw EngineError(ErrorCode::FileUnreadable, displayPath_, std::strerror(errno));
        }
        if (n == 0)
            damaged("the file ends before the data it announces");
        p += n;
        offset += static_cast<std::uint64_t>(n);
        size -= static_cast<std::size_t>(n);
    }
}

void ZipReader::readDirectory()
{
    const DirectoryPlace place = findDirectory();
    const std::vector<std::uint64_t> localOffsets = readEntries(place);
    checkLocalHeaders(localOffsets, place.start);
    checkOverlaps(localOffsets);
}

ZipReader::DirectoryPlace ZipReader::findDirectory() const
{
    if (fileSize_ < kEndSize)
        damaged("too short to be a zip archive");
    std::size_t tailSize = static_cast<std::size_t>(std::min<std::uint64_t>(fileSize_, kEndSize + 0xFFFF));
    std::vector<unsigned char> tail(tailSize);
    readAt(fileSize_ - tailSize, tail.data(), tailSize);
    std::size_t endPos = std::string::npos;
    for (std::size_t i = tailSize - kEndSize + 1; i-- > 0;) {
        if (le32(&tail[i]) == kEndSig && i + kEndSize + le16(&tail[i + 20]) <= tailSize) {
            endPos = i;
            break;
        }
    }
    if (endPos == std::string::npos)
        damaged("the end of its central directory is missing; the file may be truncated");
    const unsigned char* e = &tail[endPos];
    std::uint64_t endOffset = fileSize_ - tailSize + endPos;
    std::uint64_t total = le16(e + 10);
    std::uint64_t cdSize = le32(e + 12);
    std::uint64_t cdOffset = le32(e + 16);
    if (le16(e + 4) != 0 || le16(e + 6) != 0)
        throw EngineError(ErrorCode::ZipUnsupported, displayPath_, "split over several files");

    bool zip64 = total == 0xFFFF || cdSize == 0xFFFFFFFFu || cdOffset == 0xFFFFFFFFu;
    std::uint64_t cdEnd = endOffset;
    if (endOffset >= 20) {
        unsigned char loc[20];
        readAt(endOffset - 20, loc, sizeof loc);
        if (le32(loc) == kEnd64LocatorSig) {
            std::uint64_t at = le64(loc + 8);
            unsigned char z[56];
            if (at + sizeof z > endOffset)
                damaged("its zip64 directory record is out of place");
            readAt(at, z, sizeof z);
            if (le32(z) != kEnd64Sig)
                damaged("its zip64 directory record is missing");
            total = le64(z + 32);
            cdSize = le64(z + 40);
            cdOffset = le64(z + 48);
            cdEnd = at;
            zip64 = true;
        } else if (zip64 && total != 0xFFFF) {
            damaged("its zip64 directory record is missing");
        }
    }
    if (cdSize > cdEnd || cdOffset > cdEnd)
        damaged("its central directory lies outside the file");
    DirectoryPlace place;
    // Bytes prepended to the archive (self-extractors) shift every offset alike.
    place.shift = zip64 ? 0 : cdEnd - cdSize - cdOffset;
    if (!zip64 && cdEnd - cdSize < cdOffset)
        damaged("its central directory lies outside the file");
    place.start = cdOffset + place.shift;
    place.size = cdSize;
    place.entries = total;
    if (place.start + cdSize != cdEnd)
        damaged("its central directory has the wrong size");
    if (total > kMaxEntries || total * kCentralSize > cdSize)
        damaged("its central directory announces more entries than it holds");
    return place;
}

std::vector<std::uint64_t> ZipReader::readEntries(const DirectoryPlace& place)
{
    std::vector<unsigned char> cd(static_cast<std::size_t>(place.size));
    readAt(place.start, cd.data(), cd.size());
    entries_.reserve(static_cast<std::size_t>(place.entries));
    std::size_t pos = 0;
    std::vector<std::uint64_t> localOffsets;
    for (std::uint64_t i = 0; i < place.entries; ++i) {
        if (pos + kCentralSize > cd.size() || le32(&cd[pos]) != kCentralSig)
            damaged("an entry of its central directory is broken");
        const unsigned char* h = &cd[pos];
        ZipEntry en;
        en.versionMadeBy = le16(h + 4);
        en.flags = le16(h + 8);
        en.method = le16(h + 10);
        en.dosTime = le16(h + 12);
        en.dosDate = le16(h + 14);
        en.crc = le32(h + 16);
        en.compressedSize = le32(h + 20);
        en.size = le32(h + 24);
        std::size_t nameLen = le16(h + 28), extraLen = le16(h + 30), commentLen = le16(h + 32);
        std::uint16_t diskStart = le16(h + 34);
        en.externalAttributes = le32(h + 38);
        std::uint64_t local = le32(h + 42);
        if (pos + kCentralSize + nameLen + extraLen + commentLen > cd.size())
            damaged("an entry of its central directory is broken");
        en.name.assign(reinterpret_cast<const char*>(h + kCentralSize), nameLen);
        if (!readZip64Sizes(h + kCentralSize + nameLen, extraLen, en, local))
            damaged("an entry's zip64 sizes are missing");
        pos += kCentralSize + nameLen + extraLen + commentLen;
        if (diskStart != 0 && diskStart != 0xFFFF)
            throw EngineError(ErrorCode::ZipUnsupported, displayPath_, "split over several files");
        if (en.flags & 0x0001)
            throw EngineError(ErrorCode::ZipUnsupported, displayPath_,
                              fmt::format("the entry {} is encrypted with a zip password", en.name));
        if (unsafeName(en.name))
            throw EngineError(ErrorCode::ZipUnsafeName, displayPath_, en.name);
        local += place.shift;
        if (local + kLocalSize > place.start)
            damaged(fmt::format("the entry {} points outside the file", en.name));
        localOffsets.push_back(local);
        entries_.push_back(std::move(en));
    }
    return localOffsets;
}

void ZipReader::checkLocalHeaders(const std::vector<std::uint64_t>& localOffsets, std::uint64_t directoryStart)
{
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        ZipEntry& en = entries_[i];
        std::vector<unsigned char> lh(kLocalSize + en.name.size());
        readAt(localOffsets[i], lh.data(), lh.size());
        if (le32(lh.data()) != kLocalSig)
            damaged(fmt::format("the entry {} is missing where the directory says it is", en.name));
        std::size_t nameLen = le16(&lh[26]), extraLen = le16(&lh[28]);
        if (nameLen != en.name.size() ||
            std::memcmp(&lh[kLocalSize], en.name.data(), nameLen) != 0)
            damaged(fmt::format("the entry {} has two different names", en.name));
        if (le16(&lh[8]) != en.method)
            damaged(fmt::format("the entry {} has two different compression methods", en.name));
        en.dataOffset = localOffsets[i] + kLocalSize + nameLen + extraLen;
        if (en.dataOffset > directoryStart || en.compressedSize > directoryStart - en.dataOffset)
            damaged(fmt::format("the entry {} claims more data than the file holds", en.name));
        std::string folded = foldAscii(en.name);
        if (!byFoldedName_.emplace(std::move(folded), i).second)
            throw EngineError(ErrorCode::ZipDuplicateName, displayPath_, en.name);
    }
}

// Entries whose data overlap are the mark of a crafted archive (one block expanded many
// times over).
void ZipReader::checkOverlaps(const std::vector<std::uint64_t>& localOffsets) const
{
    std::vector<std::size_t> order(entries_.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return entries_[a].dataOffset < entries_[b].dataOffset;
    });
    for (std::size_t k = 1; k < order.size(); ++k) {
        const ZipEntry& prev = entries_[order[k - 1]];
        if (prev.dataOffset + prev.compressedSize > localOffsets[order[k]] && prev.compressedSize > 0)
            damaged(fmt::format("the entries {} and {} overlap", prev.name, entries_[order[k]].name));
    }
}

void ZipReader::admit(const ZipEntry& entry) const
{
    // Checked on the sizes the directory states: reading never yields more than that.
    if (entry.method == 8 && entry.size > limits_.ratioAllowance &&
        entry.size / std::max<std::uint64_t>(entry.compressedSize, 1) >= limits_.maxRatio)
        throw EngineError(ErrorCode::PartExpandsTooMuch, displayPath_,
                          fmt::format("{}: {} stored would expand to {}", entry.name, sizeText(entry.compressedSize),
                                      sizeText(entry.size)));
    auto index = static_cast<std::size_t>(&entry - entries_.data());
    if (index >= entries_.size() || admitted_[index])
        return;
    if (entry.size > limits_.maxTotal || admittedTotal_ > limits_.maxTotal - entry.size)
        throw EngineError(ErrorCode::PartExpandsTooMuch, displayPath_,
                          fmt::format("{} would bring what the workbook expands to beyond {}", entry.name,
                                      sizeText(limits_.maxTotal)));
    admitted_[index] = true;
    admittedTotal_ += entry.size;
}

const ZipEntry* ZipReader::find(std::string_view name) const
{
    auto it = byFoldedName_.find(foldAscii(name));
    return it == byFoldedName_.end() ? nullptr : &entries_[it->second];
}

struct ZipReader::Stream::Impl {
    const ZipReader& zip;
    const ZipEntry& entry;
    std::unique_ptr<Inflater> inflater;
    std::vector<char> input;
    std::uint64_t consumed = 0;  // compressed bytes read from the file
    std::uint64_t produced = 0;  // uncompressed bytes handed out
    std::uint32_t crc = 0;
    bool ended = false;
    bool streamEnded = false;

    Impl(const ZipReader& z, const ZipEntry& e) : zip(z), entry(e)
    {
        zip.admit(entry);
        if (entry.method == 8) {
            inflater = std::make_unique<Inflater>();
            input.resize(256 * 1024);
        } else if (entry.method != 0) {
            throw EngineError(ErrorCode::PartUnsupported, zip.displayPath_,
                              fmt::format("{} uses compression method {}", entry.name, entry.method));
        }
    }

    [[noreturn]] void broken(const char* what) const
    {
        throw EngineError(ErrorCode::PartDamaged, zip.displayPath_, fmt::format("{}: {}", entry.name, what));
    }

    void finishCheck()
    {
        if (produced != entry.size)
            broken("shorter than its stated length");
        if (crc != entry.crc)
            broken("its checksum does not match");
        ended = true;
    }

    std::size_t read(char* out, std::size_t capacity)
    {
        if (ended || capacity == 0)
            return 0;
        if (!inflater) {
            std::uint64_t left = entry.size - produced;
            if (entry.compressedSize != entry.size)
                broken("its stored length is inconsistent");
            std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(left, capacity));
            if (n == 0) {
                finishCheck();
                return 0;
            }
            zip.readAt(entry.dataOffset + produced, out, n);
            produced += n;
            crc = crc32Of(crc, std::string_view(out, n));
            return n;
        }
        if (streamEnded) {
            finishCheck();
            return 0;
        }
        std::size_t room = std::min<std::size_t>(capacity, 1u << 30);
        std::size_t got = 0;
        for (;;) {
            if (inflater->wantsInput() && consumed < entry.compressedSize) {
                std::size_t n = static_cast<std::size_t>(
                    std::min<std::uint64_t>(input.size(), entry.compressedSize - consumed));
                zip.readAt(entry.dataOffset + consumed, input.data(), n);
                consumed += n;
                inflater->give(input.data(), n);
            }
            Inflater::Status status = inflater->run(out + got, room - got, got);
            if (status == Inflater::Status::Corrupt)
                broken("its compressed data are corrupt");
            if (produced + got > entry.size)
                broken("it expands to more than its stated length");
            if (status == Inflater::Status::End) {
                streamEnded = true;
                break;
            }
            if (got > 0)
                break;
            if (inflater->wantsInput() && consumed >= entry.compressedSize)
                broken("its compressed data end too early");
        }
        crc = crc32Of(crc, std::string_view(out, got));
        produced += got;
        if (got == 0) {
            finishCheck();
            return 0;
        }
        return got;
    }
};

ZipReader::Stream::Stream(const ZipReader& zip, const ZipEntry& entry)
    : impl_(std::make_unique<Impl>(zip, entry))
{
}

ZipReader::Stream::~Stream() = default;

std::size_t ZipReader::Stream::read(char* out, std::size_t capacity)
{
    return impl_->read(out, capacity);
}

std::string ZipReader::read(const ZipEntry& entry, std::uint64_t limit) const
{
    if (entry.size > limit)
        throw EngineError(ErrorCode::PartTooLarge, displayPath_,
                          fmt::format("{} would expand to {} bytes", entry.name, entry.size));
    Stream s(*this, entry);
    // The stated length is only a claim: memory grows with what really arrives, starting
    // from what the stored bytes can plausibly expand to.
    std::string out;
    out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, entry.compressedSize * 16 + (64u << 10))));
    std::size_t have = 0;
    for (;;) {
        if (have == out.size()) {
            if (have < entry.size) {
                out.resize(static_cast<std::size_t>(std::min<std::uint64_t>(entry.size, std::uint64_t{have} * 2)));
                continue;
            }
            // One more read must report the end (and checks length and CRC); a byte beyond
            // the stated length is an error raised inside.
            char extra;
            if (s.read(&extra, 1) != 0)
                throw EngineError(ErrorCode::PartDamaged, displayPath_,
                                  fmt::format("{}: it expands to more than its stated length", entry.name));
            break;
        }
        std::size_t n = s.read(out.data() + have, out.size() - have);
        if (n == 0)
            break;
        have += n;
    }
    if (have != entry.size)
        throw EngineError(ErrorCode::PartDamaged, displayPath_,
                          fmt::format("{}: shorter than its stated length", entry.name));
    return out;
}

} // namespace tessaro::xlsx
