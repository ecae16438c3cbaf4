// SPDX-License-Identifier: MIT
#pragma once

// The small reading and editing steps the sheet rewriter applies to tags and values. The
// ones used for every cell are inline: they run hundreds of millions of times on a big
// sheet and a call costs more than they do.

#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

class ColorTranslator;

namespace rewrite {

inline std::string_view trimmed(std::string_view s)
{
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

// Searches and comparisons for the names and values of cells, which are a few bytes long:
// inline loops there beat calls into the library, which pay off only on longer text.
[[gnu::always_inline]] inline bool holds(std::string_view s, char c)
{
    if (s.size() > 64)
        return s.find(c) != std::string_view::npos;
    for (char x : s)
        if (x == c)
            return true;
    return false;
}

[[gnu::always_inline]] inline bool same(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    if (a.size() > 64)
        return a == b;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (a[i] != b[i])
            return false;
    return true;
}

inline bool parseIndex(std::string_view s, std::size_t& out)
{
    s = trimmed(s);
    if (s.empty())
        return false;
    auto r = std::from_chars(s.data(), s.data() + s.size(), out);
    return r.ec == std::errc() && r.ptr == s.data() + s.size();
}

// What this code writes into a value is escaped for double quotes only: one that holds an
// apostrophe can no longer stand between apostrophes.
inline void keepQuotable(XmlAttribute& a)
{
    if (a.quote == '\'' && holds(a.value, '\''))
        a.quote = '"';
}

// Replaces the value of attribute `name` (or appends it); true if anything changed.
inline bool setAttribute(std::vector<XmlAttribute>& attrs, std::string_view name, std::string_view value)
{
    for (auto& a : attrs) {
        if (a.name == name) {
            if (a.value == value)
                return false;
            a.value = value;
            keepQuotable(a);
            return true;
        }
    }
    attrs.push_back(XmlAttribute{name, value, '"'});
    return true;
}

inline bool removeAttribute(std::vector<XmlAttribute>& attrs, std::string_view name)
{
    auto before = attrs.size();
    std::erase_if(attrs, [&](const XmlAttribute& a) { return a.name == name; });
    return attrs.size() != before;
}

// Elements whose theme or indexed colour attributes name a colour of the workbook.
bool isColorElement(std::string_view local);

// Replaces a theme or indexed colour by the colour it shows in the source; `text` keeps the
// new value alive as long as the attributes point at it. True if anything changed.
bool translateColor(std::vector<XmlAttribute>& attrs, const ColorTranslator& colors, std::string& text);

// Appends the date serial number `raw` (as written) moved by `shift` days. A value that is
// not a number, or a date the destination cannot show (before its first day), is appended
// as it was; false for the latter, which then shows another day.
bool appendShiftedDate(std::string& out, std::string_view raw, long shift);

// The namespace prefixes in scope at each level of the document.
class NamespaceScopes {
public:
    std::optional<std::string_view> resolve(std::string_view prefix) const;
    // Declarations made on the start tag `t`, open at `level`.
    void push(const XmlToken& t, std::size_t level);
    // Ends every declaration made at `level` or deeper.
    void pop(std::size_t level);
    bool inNamespace(const XmlToken& t, std::string_view uri) const;
    // An attribute in the relationships namespace, which names a relationship of the part.
    bool isRelationshipAttribute(std::string_view name) const;

private:
    struct Binding {
        std::size_t level;
        std::string prefix;
        std::string uri;
    };
    std::vector<Binding> bindings_;
};

} // namespace rewrite
} // namespace tessaro::xlsx
