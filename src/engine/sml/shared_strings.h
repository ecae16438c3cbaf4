// SPDX-License-Identifier: MIT
#pragma once

#include "engine/opc/package.h"
#include "engine/zip/compression.h"
#include "engine/zip/spool_file.h"

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace tessaro::xlsx {

class ColorTranslator;
struct XmlToken;

// A workbook's shared-string table. It keeps the part's bytes and the position of every
// item instead of a tree: items are copied between workbooks as the XML they are (rich
// text, phonetic runs and escapes included), and new items are spliced in before the
// table's end, so nothing else in the part changes.
//
// A table too big to hold (millions of items) is read as a stream instead: its bytes go to
// a temporary file, memory keeps one position per block of items, an item is read back
// from the file when asked for, and a save writes the part from that file.
class SharedStrings {
public:
    // Parts of at least this many uncompressed bytes are read as a stream.
    static std::uint64_t streamingThreshold();
    static void setStreamingThreshold(std::uint64_t bytes);

    // Takes the part's content. Throws EngineError naming `file` and `part` when it is not
    // a well-formed table.
    void load(std::string content, const std::string& file, const std::string& part);
    // Reads the part from `in` as a stream, keeping its bytes in a temporary file. The same
    // errors as load().
    void loadStreamed(PartReader& in, const std::string& file, const std::string& part);
    // An empty table, for a workbook that has none yet.
    void loadEmpty();
    bool streamed() const { return spool_ != nullptr; }

    std::size_t size() const { return loaded_ + added_.size(); }
    // Item i as `<si>...</si>` with element names unprefixed: the form items are compared
    // and carried in between workbooks.
    std::string canonicalItem(std::size_t i) const;
    // The index of an item equal to `canonical`, appending it when the table has none. A
    // streamed table only looks among the items appended since it was read.
    std::size_t intern(const std::string& canonical);
    // Cells that refer to the table were added (the table's `count`).
    void addReferences(std::uint64_t n) { extraRefs_ += n; }

    bool modified() const { return !added_.empty() || extraRefs_ != 0; }
    // The part as it now stands: serialize() for a table held in memory, serializeStored()
    // (compressed, in a temporary file) for a streamed one.
    std::string serialize() const;
    StoredPart serializeStored() const;

    struct Mark {
        std::size_t added;
        std::uint64_t refs;
    };
    Mark mark() const { return Mark{added_.size(), extraRefs_}; }
    void rollback(const Mark& m);

private:
    struct ScanState;
    void reset();
    void scan(ScanState& st, std::string_view buf, std::uint64_t consumedBefore, std::size_t& pos, bool final);
    void finishScan(const ScanState& st);
    void foundItem(std::uint64_t begin, std::uint64_t end);
    std::string spooledItem(std::size_t i) const;
    std::string withPrefix(std::string_view canonical) const;
    void buildIndex();
    void takeRoot(const XmlToken& tok, std::uint64_t begin, std::uint64_t end);
    template <class Emit, class Copy>
    void write(Emit&& emit, Copy&& copy, std::uint64_t total) const;

    std::string raw_;
    std::shared_ptr<SpoolFile> spool_;
    std::string file_, part_;
    std::string prefix_;  // "" or "x:" for the main namespace
    std::vector<std::pair<std::size_t, std::size_t>> spans_;
    std::vector<std::uint64_t> blockStarts_;  // streamed: where every kBlock-th item begins
    std::size_t loaded_ = 0;
    std::string rootTag_;
    std::uint64_t rootTagBegin_ = 0, rootTagEnd_ = 0;
    std::uint64_t insertAt_ = 0;
    bool rootSelfClosing_ = false;
    std::string rootName_;
    std::vector<std::string> added_;
    std::deque<std::string> ownedKeys_;
    std::unordered_map<std::string_view, std::size_t> index_;
    bool indexed_ = false;
    std::uint64_t extraRefs_ = 0;
};

// An item (in the canonical form above) as it must read in a workbook with another theme
// or palette: run colours given by theme or palette index become the RGB they showed, and
// when the theme fonts differ, runs keep their own font name instead of the theme's.
std::string translateItemFormatting(std::string_view item, const ColorTranslator& colors);

} // namespace tessaro::xlsx
