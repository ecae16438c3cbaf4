// SPDX-License-Identifier: MIT
#pragma once

#include "engine/zip/compression.h"
#include "engine/zip/output_file.h"
#include "engine/zip/zip_reader.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// Writes a zip archive front to back: entries copied raw from another archive or given as
// stored parts, then the central directory. Sizes and CRCs are known before each entry is
// written, so local headers carry them and no data descriptors are needed; zip64 records
// appear only when a size or offset really needs them.
class ZipWriter {
public:
    explicit ZipWriter(OutputFile& out);

    // Copies an entry's stored bytes unchanged (no decompression, no recompression).
    void addRaw(const ZipReader& from, const ZipEntry& entry);
    // The same entry's bytes under another name.
    void addRaw(const ZipReader& from, const ZipEntry& entry, std::string_view name);
    void add(std::string_view name, const StoredPart& part);
    void finish();

private:
    struct Record {
        std::string name;
        std::uint16_t versionMadeBy;
        std::uint16_t flags;
        std::uint16_t method;
        std::uint16_t dosTime;
        std::uint16_t dosDate;
        std::uint32_t crc;
        std::uint64_t compressedSize;
        std::uint64_t size;
        std::uint32_t externalAttributes;
        std::uint64_t offset;
    };
    void writeLocalHeader(const Record& r);

    OutputFile& out_;
    std::vector<Record> records_;
    std::uint16_t nowTime_;
    std::uint16_t nowDate_;
    bool finished_ = false;
};

} // namespace tessaro::xlsx
