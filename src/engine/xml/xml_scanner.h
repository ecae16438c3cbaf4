// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// Appends code point `cp` to `out` as UTF-8.
void appendUtf8(std::string& out, char32_t cp);

// Malformed XML seen by the scanner; `offset` counts from the start of the scanned data.
class XmlSyntaxError : public std::runtime_error {
public:
    XmlSyntaxError(const std::string& what, std::size_t offset)
        : std::runtime_error(what), offset_(offset) {}
    std::size_t offset() const { return offset_; }

private:
    std::size_t offset_;
};

struct XmlAttribute {
    std::string_view name;   // qualified, e.g. "r:id"
    std::string_view value;  // as written, entities not decoded
    char quote = '"';
};

struct XmlToken {
    enum class Kind { StartTag, EndTag, Text, Comment, ProcessingInstruction, CData, Doctype };
    Kind kind = Kind::Text;
    std::string_view raw;    // the whole token as written
    std::string_view name;   // qualified tag name (tags only)
    bool selfClosing = false;
    std::vector<XmlAttribute> attributes;  // start tags only

    std::string_view localName() const;
    std::string_view prefix() const;  // empty when unprefixed
    const XmlAttribute* attribute(std::string_view qname) const;
};

// A pull scanner over XML that arrives in pieces. It never allocates per token (the
// attribute list keeps its capacity) and makes no recursion, so hostile input costs time
// linear in its size. Tokens point into the caller's buffer. One scanner reads one document:
// a UTF-8 byte-order mark where it begins is passed over, as it is no part of the XML.
class XmlScanner {
public:
    enum class Result { Token, NeedMore, End };

    // Scans one token of `data` at `pos` and advances `pos` past it. With `final` false an
    // unfinished token at the end yields NeedMore (pos unchanged) so the caller can append
    // more data; with `final` true it is a syntax error. `base` is added to offsets in
    // errors so they count from the start of the whole document.
    Result next(std::string_view data, std::size_t& pos, bool final, XmlToken& token, std::size_t base = 0);

private:
    bool begun_ = false;
};

// Entity handling for the five predefined entities and numeric character references.
std::string decodeXml(std::string_view raw);
void appendEscapedText(std::string& out, std::string_view text);
void appendEscapedAttribute(std::string& out, std::string_view value);

// Appends `<name a="v" ...>` (or `/>`) to `out` from a start tag, for callers that change
// some attributes and write the rest as they were.
void appendStartTag(std::string& out, std::string_view name, const std::vector<XmlAttribute>& attributes,
                    bool selfClosing);

// Appends `original` with the attribute values of `edited`, which holds the same attributes
// in the same order with some values replaced: everything else is copied as written. A
// replaced value whose quote differs from the original's brings its own quotes. Returns false,
// writing nothing, when `edited` adds, drops or reorders attributes.
bool appendEditedStartTag(std::string& out, const XmlToken& original, const std::vector<XmlAttribute>& edited);

} // namespace tessaro::xlsx
