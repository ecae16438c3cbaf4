// SPDX-License-Identifier: MIT
#pragma once

#include "engine/zip/compression.h"
#include "engine/opc/content_types.h"
#include "engine/opc/engine_context.h"
#include "engine/opc/relationships.h"
#include "engine/zip/zip_reader.h"
#include "engine/xml/conformance.h"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// Reads a part piece by piece.
class PartReader {
public:
    virtual ~PartReader() = default;
    // Up to `capacity` bytes; 0 at the end.
    virtual std::size_t read(char* out, std::size_t capacity) = 0;
};

// An Open Packaging Conventions package (the zip of a workbook) opened for editing. Parts
// are named as in the package ("/xl/workbook.xml") and compare without regard to ASCII
// case. Edits stay in memory until save() or saveAs(), which write a whole new file
// atomically; parts nobody changed are copied raw. Dropping the object discards the edits.
class Package {
public:
    // Opens the zip and reads its content types. Throws EngineError.
    Package(const std::filesystem::path& file, std::string displayPath, std::shared_ptr<EngineContext> context);

    const std::string& displayPath() const { return display_; }
    const std::filesystem::path& path() const { return path_; }
    EngineContext& context() const { return *context_; }
    // The identity of the file as it was when read (FileIdentity::key()).
    const std::string& fileIdentity() const;

    // Strict when the package names its main document with a strict relationship. The
    // parts of a strict package are translated: readPart and relationships() give
    // transitional markup, and a save writes every part it changed (given transitional by
    // putPart) in strict form. Parts read as a stream, and stored parts, are as written.
    Conformance conformance() const { return conformance_; }

    bool hasPart(std::string_view name) const;
    // The whole part; EngineError when it is missing, damaged or too large.
    std::string readPart(std::string_view name) const;
    std::unique_ptr<PartReader> openPart(std::string_view name) const;
    // Reads every stored part to its end through the inflate limits and checks that no XML
    // part declares a document type: the checks a part meets when this engine reads it,
    // for a file another program is to read whole. EngineError naming the first offender.
    void vetEveryStoredPart() const;
    // As openPart, for a part that will be read again and again (a sheet copied into many
    // workbooks): a part of modest size is inflated once and then read from memory.
    std::unique_ptr<PartReader> openPartToReread(std::string_view name) const;
    // Bytes that openPartToReread keeps.
    std::uint64_t rereadBytes() const { return rereadBytes_; }
    // Uncompressed length of a part (0 when it is missing).
    std::uint64_t partSize(std::string_view name) const;
    // A key that changes whenever the part's bytes could have changed: the file's identity
    // and the entry's checksum for a part on disk, the content fingerprint for a new one.
    std::string partIdentity(std::string_view name) const;

    void putPart(std::string_view name, std::string content);
    void putStoredPart(std::string_view name, StoredPart part);
    // A part whose bytes are `otherName` of `other` as that package stores them: taken from
    // its file when this package is written, so a big picture is never held whole.
    void putPartFrom(std::string_view name, const Package& other, std::string_view otherName);
    void removePart(std::string_view name);
    // Every part name, in the order a save writes them.
    std::vector<std::string> partNames() const;

    ContentTypes& contentTypes() { return contentTypes_; }
    const ContentTypes& contentTypes() const { return contentTypes_; }
    // The relationships of a part ("/" for the package's own); empty when it has none.
    Relationships& relationships(std::string_view sourcePart);
    // Removes the relationships part of a part that is removed.
    void removeRelationships(std::string_view sourcePart);

    bool modified() const;
    void save();
    // Throws what save() would meet before it writes: the file is read-only or locked, its
    // folder cannot be written to, or it changed since it was read. Writes nothing.
    void checkCanSave() const;
    // Writes the package to another file and binds it to that file.
    void saveAs(const std::filesystem::path& file, std::string displayPath);

private:
    struct Change {
        std::string name;  // as it will be written, without the leading slash
        bool removed = false;
        bool stored = false;
        std::string content;
        StoredPart storedPart;
        // Set for a part written as another package's zip entry stands.
        std::shared_ptr<const ZipReader> rawZip;
        ZipEntry rawEntry;
    };
    const ZipEntry* entryFor(std::string_view name) const;
    const Change* changeFor(std::string_view name) const;
    void flushModels();
    void forgetReread(const std::string& key);
    void writeTo(const std::filesystem::path& target, const std::string& display);
    bool isXmlPart(std::string_view name) const;
    StoredPart storedFormOf(const Change& c) const;

    std::filesystem::path path_;
    std::string display_;
    std::shared_ptr<EngineContext> context_;
    std::shared_ptr<ZipReader> zip_;
    ContentTypes contentTypes_;
    Conformance conformance_ = Conformance::Transitional;
    std::map<std::string, Change> changes_;             // folded name (with slash)
    std::vector<std::string> added_;                    // folded names, in order of adding
    std::map<std::string, std::unique_ptr<Relationships>> rels_;  // folded source part
    // Inflated parts kept by openPartToReread, by folded name; dropped on any change.
    mutable std::map<std::string, std::shared_ptr<const std::string>> reread_;
    mutable std::uint64_t rereadBytes_ = 0;
};

// A part name without its leading slash, as a zip entry is named, and back.
std::string entryNameOf(std::string_view partName);
std::string partNameOf(std::string_view entryName);

} // namespace tessaro::xlsx
