// SPDX-License-Identifier: MIT
#include "platform/file_identity.h"

#include <fmt/format.h>

#include <sys/stat.h>

namespace tessaro {

namespace {

FileIdentity identityOf(const struct stat& st)
{
    FileIdentity id;
    id.device = static_cast<std::uint64_t>(st.st_dev);
    id.inode = static_cast<std::uint64_t>(st.st_ino);
    id.size = static_cast<std::uintmax_t>(st.st_size);
    id.modifiedNs = static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    return id;
}

} // namespace

std::string FileIdentity::key() const
{
    return fmt::format("{}:{}:{}:{}", device, inode, size, modifiedNs);
}

std::optional<FileIdentity> identityOfFile(const std::filesystem::path& file)
{
    struct stat st {};
    if (::stat(file.c_str(), &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

std::optional<FileIdentity> identityOfDescriptor(int fd)
{
    struct stat st {};
    if (::fstat(fd, &st) != 0)
        return std::nullopt;
    return identityOf(st);
}

std::uint64_t linkCountOf(const std::filesystem::path& file)
{
    struct stat st {};
    return ::stat(file.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_nlink) : 0;
}

} // namespace tessaro
