// SPDX-License-Identifier: MIT
#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace tessaro::xlsx {
namespace {

// Character classes looked up by table: the scanner asks them of every byte of every tag.
enum : unsigned char { kSpace = 1, kEndsName = 2, kEndsValue = 4 };

constexpr auto kClasses = [] {
    std::array<unsigned char, 256> t{};
    for (char c : {' ', '\t', '\n', '\r'})
        t[static_cast<unsigned char>(c)] = kSpace | kEndsName;
    for (char c : {'>', '/', '=', '<'})
        t[static_cast<unsigned char>(c)] |= kEndsName;
    for (char c : {'"', '\'', '<'})
        t[static_cast<unsigned char>(c)] |= kEndsValue;
    return t;
}();

bool isSpace(char c) { return kClasses[static_cast<unsigned char>(c)] & kSpace; }
bool endsName(char c) { return kClasses[static_cast<unsigned char>(c)] & kEndsName; }
bool endsValue(char c) { return kClasses[static_cast<unsigned char>(c)] & kEndsValue; }

} // namespace

void appendUtf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

std::string_view XmlToken::localName() const
{
    std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? name : name.substr(colon + 1);
}

std::string_view XmlToken::prefix() const
{
    std::size_t colon = name.find(':');
    return colon == std::string_view::npos ? std::string_view{} : name.substr(0, colon);
}

const XmlAttribute* XmlToken::attribute(std::string_view qname) const
{
    for (const auto& a : attributes)
        if (a.name == qname)
            return &a;
    return nullptr;
}

XmlScanner::Result XmlScanner::next(std::string_view data, std::size_t& pos, bool final, XmlToken& token,
                                    std::size_t base)
{
    const std::size_t n = data.size();
    if (pos >= n)
        return final ? Result::End : Result::NeedMore;
    const char* d = data.data();
    auto fail = [&](const char* what, std::size_t at) -> Result { throw XmlSyntaxError(what, base + at); };
    auto more = [&](std::size_t at) -> Result {
        if (final)
            return fail("the document ends inside a tag", at);
        return Result::NeedMore;
    };

    if (d[pos] != '<') {
        // Cell values are short: look a few bytes ahead inline before calling out to memchr.
        const char* lt = nullptr;
        std::size_t near = std::min(n, pos + 24);
        for (std::size_t k = pos; k < near; ++k)
            if (d[k] == '<') {
                lt = d + k;
                break;
            }
        if (!lt && near < n)
            lt = static_cast<const char*>(std::memchr(d + near, '<', n - near));
        std::size_t end = lt ? static_cast<std::size_t>(lt - d) : n;
        if (!lt && !final)
            return Result::NeedMore;
        token.kind = XmlToken::Kind::Text;
        token.raw = data.substr(pos, end - pos);
        token.name = {};
        token.attributes.clear();
        pos = end;
        return Result::Token;
    }

    std::size_t start = pos;
    if (start + 1 >= n)
        return more(start);
    char c1 = d[start + 1];
    auto findSeq = [&](std::size_t from, const char* seq, std::size_t len) -> std::size_t {
        std::string_view hay = data.substr(from);
        std::size_t f = hay.find(std::string_view(seq, len));
        return f == std::string_view::npos ? std::string_view::npos : from + f;
    };

    if (c1 == '?') {
        std::size_t e = findSeq(start + 2, "?>", 2);
        if (e == std::string_view::npos)
            return more(start);
        token.kind = XmlToken::Kind::ProcessingInstruction;
        token.raw = data.substr(start, e + 2 - start);
        token.name = {};
        token.attributes.clear();
        pos = e + 2;
        return Result::Token;
    }
    if (c1 == '!') {
        if (n - start < 9 && !final)
            return Result::NeedMore;
        std::string_view rest = data.substr(start);
        if (rest.substr(0, 4) == "<!--") {
            std::size_t e = findSeq(start + 4, "-->", 3);
            if (e == std::string_view::npos)
                return more(start);
            token.kind = XmlToken::Kind::Comment;
            token.raw = data.substr(start, e + 3 - start);
            pos = e + 3;
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            std::size_t e = findSeq(start + 9, "]]>", 3);
            if (e == std::string_view::npos)
                return more(start);
            token.kind = XmlToken::Kind::CData;
            token.raw = data.substr(start, e + 3 - start);
            pos = e + 3;
        } else if (rest.substr(0, 9) == "<!DOCTYPE") {
            // Reported, never interpreted: the caller refuses documents that carry one.
            token.kind = XmlToken::Kind::Doctype;
            token.raw = rest.substr(0, 9);
            pos = start + 9;
        } else {
            return fail("unknown markup after <!", start);
        }
        token.name = {};
        token.attributes.clear();
        return Result::Token;
    }
    if (c1 == '/') {
        std::size_t i = start + 2;
        while (i < n && !endsName(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        std::size_t nameEnd = i;
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        if (d[i] != '>' || nameEnd == start + 2)
            return fail("a closing tag is malformed", start);
        token.kind = XmlToken::Kind::EndTag;
        token.name = data.substr(start + 2, nameEnd - start - 2);
        token.raw = data.substr(start, i + 1 - start);
        token.selfClosing = false;
        token.attributes.clear();
        pos = i + 1;
        return Result::Token;
    }

    std::size_t i = start + 1;
    while (i < n && !endsName(d[i]))
        ++i;
    if (i >= n)
        return more(start);
    if (i == start + 1)
        return fail("a tag has no name", start);
    token.kind = XmlToken::Kind::StartTag;
    token.name = data.substr(start + 1, i - start - 1);
    token.attributes.clear();
    for (;;) {
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        if (d[i] == '>') {
            token.selfClosing = false;
            ++i;
            break;
        }
        if (d[i] == '/') {
            if (i + 1 >= n)
                return more(start);
            if (d[i + 1] != '>')
                return fail("a tag is malformed", i);
            token.selfClosing = true;
            i += 2;
            break;
        }
        std::size_t an = i;
        while (i < n && !endsName(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        if (i == an)
            return fail("an attribute has no name", i);
        std::size_t anEnd = i;
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        if (d[i] != '=')
            return fail("an attribute has no value", i);
        ++i;
        while (i < n && isSpace(d[i]))
            ++i;
        if (i >= n)
            return more(start);
        char q = d[i];
        if (q != '"' && q != '\'')
            return fail("an attribute value is not quoted", i);
        // Values are mostly a few characters: one inline pass finds the closing quote and
        // any stray '<' at once, where two library searches would cost more in calls.
        std::size_t ve = i + 1;
        for (;;) {
            while (ve < n && !endsValue(d[ve]))
                ++ve;
            if (ve >= n)
                return more(start);
            if (d[ve] == q)
                break;
            if (d[ve] == '<')
                return fail("an attribute value contains <", i);
            ++ve;  // the other quote character
        }
        token.attributes.push_back(XmlAttribute{data.substr(an, anEnd - an), data.substr(i + 1, ve - i - 1), q});
        i = ve + 1;
        if (i < n && !isSpace(d[i]) && d[i] != '>' && d[i] != '/')
            return fail("attributes are not separated", i);
    }
    token.raw = data.substr(start, i - start);
    pos = i;
    return Result::Token;
}

std::string decodeXml(std::string_view raw)
{
    std::string out;
    out.reserve(raw.size());
    std::size_t i = 0;
    while (i < raw.size()) {
        char c = raw[i];
        if (c != '&') {
            out.push_back(c);
            ++i;
            continue;
        }
        std::size_t semi = raw.find(';', i);
        if (semi == std::string_view::npos || semi - i > 12) {
            out.push_back(c);
            ++i;
            continue;
        }
        std::string_view ent = raw.substr(i + 1, semi - i - 1);
        if (ent == "lt")
            out.push_back('<');
        else if (ent == "gt")
            out.push_back('>');
        else if (ent == "amp")
            out.push_back('&');
        else if (ent == "quot")
            out.push_back('"');
        else if (ent == "apos")
            out.push_back('\'');
        else if (!ent.empty() && ent[0] == '#') {
            unsigned long cp = 0;
            bool hex = ent.size() > 1 && (ent[1] == 'x' || ent[1] == 'X');
            std::string_view digits = ent.substr(hex ? 2 : 1);
            bool ok = !digits.empty();
            for (char d : digits) {
                int v;
                if (d >= '0' && d <= '9')
                    v = d - '0';
                else if (hex && d >= 'a' && d <= 'f')
                    v = d - 'a' + 10;
                else if (hex && d >= 'A' && d <= 'F')
                    v = d - 'A' + 10;
                else {
                    ok = false;
                    break;
                }
                cp = cp * (hex ? 16 : 10) + static_cast<unsigned long>(v);
                if (cp > 0x10FFFF) {
                    ok = false;
                    break;
                }
            }
            if (!ok) {
                out.append(raw.substr(i, semi + 1 - i));
            } else {
                appendUtf8(out, static_cast<char32_t>(cp)); // at most 0x10FFFF, checked above
            }
        } else {
            // Unknown entities are kept as written: nothing is ever expanded from a DTD.
            out.append(raw.substr(i, semi + 1 - i));
        }
        i = semi + 1;
    }
    return out;
}

void appendEscapedText(std::string& out, std::string_view text)
{
    for (char c : text) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '>':
            out += "&gt;";
            break;
        case '&':
            out += "&amp;";
            break;
        default:
            out.push_back(c);
        }
    }
}

void appendEscapedAttribute(std::string& out, std::string_view value)
{
    for (char c : value) {
        switch (c) {
        case '<':
            out += "&lt;";
            break;
        case '&':
            out += "&amp;";
            break;
        case '"':
            out += "&quot;";
            break;
        case '\n':
            out += "&#10;";
            break;
        case '\r':
            out += "&#13;";
            break;
        case '\t':
            out += "&#9;";
            break;
        default:
            out.push_back(c);
        }
    }
}

void appendStartTag(std::string& out, std::string_view name, const std::vector<XmlAttribute>& attributes,
                    bool selfClosing)
{
    out.push_back('<');
    out.append(name);
    for (const auto& a : attributes) {
        out.push_back(' ');
        out.append(a.name);
        out.push_back('=');
        out.push_back(a.quote);
        out.append(a.value);
        out.push_back(a.quote);
    }
    out += selfClosing ? "/>" : ">";
}

bool appendEditedStartTag(std::string& out, const XmlToken& original, const std::vector<XmlAttribute>& edited)
{
    const auto& was = original.attributes;
    if (edited.size() != was.size())
        return false;
    for (std::size_t k = 0; k < was.size(); ++k)
        if (edited[k].name.data() != was[k].name.data() || edited[k].name.size() != was[k].name.size())
            return false;
    const char* raw = original.raw.data();
    const char* cursor = raw;
    for (std::size_t k = 0; k < was.size(); ++k) {
        const XmlAttribute& a = edited[k];
        const XmlAttribute& o = was[k];
        if (a.value.data() == o.value.data() && a.value.size() == o.value.size())
            continue;
        const char* from = o.value.data();
        const char* to = from + o.value.size();
        if (a.quote != o.quote) {
            --from;  // the quotes go with the value
            ++to;
        }
        out.append(cursor, static_cast<std::size_t>(from - cursor));
        if (a.quote != o.quote)
            out.push_back(a.quote);
        out.append(a.value);
        if (a.quote != o.quote)
            out.push_back(a.quote);
        cursor = to;
    }
    out.append(cursor, static_cast<std::size_t>(raw + original.raw.size() - cursor));
    return true;
}

} // namespace tessaro::xlsx
