// SPDX-License-Identifier: MIT
#include "engine/office/file_ops.h"

#include <fmt/format.h>

#include <atomic>
#include <random>
#include <system_error>

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

} // namespace tessaro::office
