// SPDX-License-Identifier: MIT
#include "engine/office/file_ops.h"

#include "engine/zip/compression.h"
#include "engine/zip/output_file.h"
#include "engine/zip/zip_reader.h"
#include "engine/zip/zip_writer.h"
#include "platform/own_temporaries.h"

#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <random>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

namespace tessaro::office {

namespace fs = std::filesystem;

std::string uniqueToken()
{
    static std::atomic<unsigned> counter{0};
    static thread_local std::mt19937_64 random{std::random_device{}()};
    return fmt::format("{}-{}-{:08x}", ::getpid(), ++counter, static_cast<std::uint32_t>(random()));
}

ReplacementFile::ReplacementFile(const fs::path& target) : replacement_(target)
{
    replacement_.closeDescriptor();
}

void ReplacementFile::commit()
{
    std::error_code ec;
    const auto size = fs::file_size(path(), ec);
    if (ec || size == 0)
        throw std::system_error(ec ? ec : std::make_error_code(std::errc::io_error),
                                "nothing was written to " + path().string());
    replacement_.commit();
}

void copyFileReplacing(const fs::path& from, const fs::path& to)
{
    ReplacementFile out(to);
    fs::copy_file(from, out.path(), fs::copy_options::overwrite_existing);
    out.commit();
}

void rewriteArchive(const xlsx::ZipReader& saved, const std::filesystem::path& written, const std::map<std::string, std::string>& changed)
{
    std::map<std::string, xlsx::StoredPart> parts;
    for (const auto& [name, content] : changed) {
        xlsx::PartCompressor compressor(6);
        compressor.feed(content);
        parts.emplace(name, compressor.finish());
    }
    // A name the leftover sweep knows: a run killed here leaves nothing for good.
    std::string random = uniqueToken();
    random.erase(std::remove(random.begin(), random.end(), '-'), random.end());
    const std::filesystem::path next = written.parent_path() / temporaryNameFor(written, random);
    const int fd = ::open(next.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw std::system_error(errno, std::generic_category(), "write " + next.string());
    bool open = true;
    try {
        xlsx::DescriptorOutputFile out(fd);
        xlsx::ZipWriter zip(out);
        for (const xlsx::ZipEntry& e : saved.entries()) {
            if (const auto it = parts.find(e.name); it != parts.end())
                zip.add(e.name, it->second);
            else
                zip.addRaw(saved, e);
        }
        zip.finish();
        out.sync();
        open = false;
        if (::close(fd) != 0)
            throw std::system_error(errno, std::generic_category(), "write " + next.string());
        std::filesystem::rename(next, written);
    } catch (...) {
        if (open)
            ::close(fd);
        std::error_code ec;
        std::filesystem::remove(next, ec);
        throw;
    }
}

} // namespace tessaro::office
