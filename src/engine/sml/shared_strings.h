// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
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
class SharedStrings {
public:
    // Takes the part's content. Throws EngineError naming `file` and `part` when it is not
    // a well-formed table.
    void load(std::string content, const std::string& file, const std::string& part);
    // An empty table, for a workbook that has none yet.
    void loadEmpty();

    std::size_t size() const { return spans_.size() + added_.size(); }
    // Item i as `<si>...</si>` with element names unprefixed: the form items are compared
    // and carried in between workbooks.
    std::string canonicalItem(std::size_t i) const;
    // The index of an item equal to `canonical`, appending it when the table has none.
    std::size_t intern(const std::string& canonical);
    // Cells that refer to the table were added (the table's `count`).
    void addReferences(std::uint64_t n) { extraRefs_ += n; }

    bool modified() const { return !added_.empty() || extraRefs_ != 0; }
    std::string serialize() const;

    struct Mark {
        std::size_t added;
        std::uint64_t refs;
    };
    Mark mark() const { return Mark{added_.size(), extraRefs_}; }
    void rollback(const Mark& m);

private:
    std::string withPrefix(std::string_view canonical) const;
    void buildIndex();
    void takeRoot(const XmlToken& tok, std::size_t begin, std::size_t end, const std::string& file,
                  const std::string& part);

    std::string raw_;
    std::string prefix_;  // "" or "x:" for the main namespace
    std::vector<std::pair<std::size_t, std::size_t>> spans_;
    std::size_t rootTagBegin_ = 0, rootTagEnd_ = 0;
    std::size_t insertAt_ = 0;
    bool rootSelfClosing_ = false;
    std::string rootName_;
    std::vector<std::string> added_;
    std::deque<std::string> ownedKeys_;
    std::unordered_map<std::string_view, std::size_t> index_;
    bool indexed_ = false;
    std::uint64_t extraRefs_ = 0;
    bool fresh_ = false;
};

// An item (in the canonical form above) as it must read in a workbook with another theme
// or palette: run colours given by theme or palette index become the RGB they showed, and
// when the theme fonts differ, runs keep their own font name instead of the theme's.
std::string translateItemFormatting(std::string_view item, const ColorTranslator& colors);

} // namespace tessaro::xlsx
