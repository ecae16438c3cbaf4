// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace tessaro::xlsx {

// Where a package is written. Every byte of a save passes through one of these, so a test
// can stand in a file that fails the way a full disk does. Failures are thrown as
// std::system_error carrying the errno.
class OutputFile {
public:
    virtual ~OutputFile() = default;

    virtual void write(const void* data, std::size_t size) = 0;
    // Appends `size` bytes of the open file `fd` starting at `offset`.
    virtual void copyFrom(int fd, std::uint64_t offset, std::uint64_t size) = 0;
    // Flushes everything written so far to stable storage.
    virtual void sync() = 0;
    virtual std::uint64_t position() const = 0;
};

// Buffered writes to a file descriptor it does not own; copies run in the kernel where it
// can (copy_file_range).
class DescriptorOutputFile final : public OutputFile {
public:
    explicit DescriptorOutputFile(int fd);
    ~DescriptorOutputFile() override = default;

    void write(const void* data, std::size_t size) override;
    void copyFrom(int fd, std::uint64_t offset, std::uint64_t size) override;
    void sync() override;
    std::uint64_t position() const override { return position_; }

private:
    void flush();
    void writeAll(const char* data, std::size_t size);

    int fd_;
    std::string buffer_;
    std::uint64_t position_ = 0;
    bool kernelCopy_ = true;
};

// Passes writes through to another file until `limit` bytes have gone through, then fails
// every call with `error` (ENOSPC by default), as a disk that fills up does.
class FailingOutputFile final : public OutputFile {
public:
    FailingOutputFile(std::unique_ptr<OutputFile> inner, std::uint64_t limit, int error);

    void write(const void* data, std::size_t size) override;
    void copyFrom(int fd, std::uint64_t offset, std::uint64_t size) override;
    void sync() override;
    std::uint64_t position() const override { return inner_->position(); }

private:
    void check(std::uint64_t more);
    std::unique_ptr<OutputFile> inner_;
    std::uint64_t limit_;
    int error_;
};

// Wraps the plain file a save writes to. The default hands it back unchanged; tests wrap
// it in a FailingOutputFile.
using OutputFileWrapper = std::function<std::unique_ptr<OutputFile>(std::unique_ptr<OutputFile>)>;

// Writes a file through an AtomicReplacement (which says what is kept and what a failure
// leaves), with every byte passing through `wrapper`'s OutputFile. Throws std::system_error
// (with the failing step in its text), ReplacedButNotFlushed when the new content is in
// place but its folder could not be flushed. With `expectedIdentity` (the key of the file
// that was read), TargetChangedMeanwhile when the target is another file by the rename.
void replaceFileAtomically(const std::filesystem::path& target,
                           const std::function<void(OutputFile&)>& writeContent,
                           const OutputFileWrapper& wrapper = {}, const std::string& expectedIdentity = {});

} // namespace tessaro::xlsx
