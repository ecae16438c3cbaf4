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

namespace {

// One call of XmlScanner::next, in steps by the kind of token. Every step is inlined into
// next(): the scanner runs once per token of every sheet, and calls there cost time.
class TokenScan {
public:
    using Result = XmlScanner::Result;

    TokenScan(std::string_view data, bool final, XmlToken& token, std::size_t base)
        : data_(data), d_(data.data()), n_(data.size()), final_(final), token_(token), base_(base)
    {
    }

    [[gnu::always_inline]] Result text(std::size_t& pos)
    {
        // Cell values are short: look a few bytes ahead inline before calling out to memchr.
        const char* lt = nullptr;
        std::size_t near = std::min(n_, pos + 24);
        for (std::size_t k = pos; k < near; ++k)
            if (d_[k] == '<') {
                lt = d_ + k;
                break;
            }
        if (!lt && near < n_)
            lt = static_cast<const char*>(std::memchr(d_ + near, '<', n_ - near));
        std::size_t end = lt ? static_cast<std::size_t>(lt - d_) : n_;
        if (!lt && !final_)
            return Result::NeedMore;
        token_.kind = XmlToken::Kind::Text;
        token_.raw = data_.substr(pos, end - pos);
        token_.name = {};
        token_.attributes.clear();
        pos = end;
        return Result::Token;
    }

    [[gnu::always_inline]] Result processingInstruction(std::size_t& pos)
    {
        const std::size_t start = pos;
        std::size_t e = find(start + 2, "?>");
        if (e == std::string_view::npos)
            return more(start);
        token_.kind = XmlToken::Kind::ProcessingInstruction;
        token_.raw = data_.substr(start, e + 2 - start);
        token_.name = {};
        token_.attributes.clear();
        pos = e + 2;
        return Result::Token;
    }

    // Comments, CDATA sections and document type declarations.
    [[gnu::always_inline]] Result declaration(std::size_t& pos)
    {
        const std::size_t start = pos;
        if (n_ - start < 9 && !final_)
            return Result::NeedMore;
        std::string_view rest = data_.substr(start);
        if (rest.substr(0, 4) == "<!--") {
            std::size_t e = find(start + 4, "-->");
            if (e == std::string_view::npos)
                return more(start);
            token_.kind = XmlToken::Kind::Comment;
            token_.raw = data_.substr(start, e + 3 - start);
            pos = e + 3;
        } else if (rest.substr(0, 9) == "<![CDATA[") {
            std::size_t e = find(start + 9, "]]>");
            if (e == std::string_view::npos)
                return more(start);
            token_.kind = XmlToken::Kind::CData;
            token_.raw = data_.substr(start, e + 3 - start);
            pos = e + 3;
        } else if (rest.substr(0, 9) == "<!DOCTYPE") {
            // Reported, never interpreted: the caller refuses documents that carry one.
            token_.kind = XmlToken::Kind::Doctype;
            token_.raw = rest.substr(0, 9);
            pos = start + 9;
        } else {
            return fail("unknown markup after <!", start);
        }
        token_.name = {};
        token_.attributes.clear();
        return Result::Token;
    }

    [[gnu::always_inline]] Result endTag(std::size_t& pos)
    {
        const std::size_t start = pos;
        std::size_t i = start + 2;
        while (i < n_ && !endsName(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        std::size_t nameEnd = i;
        while (i < n_ && isSpace(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        if (d_[i] != '>' || nameEnd == start + 2)
            return fail("a closing tag is malformed", start);
        token_.kind = XmlToken::Kind::EndTag;
        token_.name = data_.substr(start + 2, nameEnd - start - 2);
        token_.raw = data_.substr(start, i + 1 - start);
        token_.selfClosing = false;
        token_.attributes.clear();
        pos = i + 1;
        return Result::Token;
    }

    [[gnu::always_inline]] Result startTag(std::size_t& pos)
    {
        const std::size_t start = pos;
        std::size_t i = start + 1;
        while (i < n_ && !endsName(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        if (i == start + 1)
            return fail("a tag has no name", start);
        token_.kind = XmlToken::Kind::StartTag;
        token_.name = data_.substr(start + 1, i - start - 1);
        token_.attributes.clear();
        for (;;) {
            while (i < n_ && isSpace(d_[i]))
                ++i;
            if (i >= n_)
                return more(start);
            if (d_[i] == '>') {
                token_.selfClosing = false;
                ++i;
                break;
            }
            if (d_[i] == '/') {
                if (i + 1 >= n_)
                    return more(start);
                if (d_[i + 1] != '>')
                    return fail("a tag is malformed", i);
                token_.selfClosing = true;
                i += 2;
                break;
            }
            if (Result r = attribute(start, i); r != Result::Token)
                return r;
        }
        token_.raw = data_.substr(start, i - start);
        pos = i;
        return Result::Token;
    }

private:
    // One attribute of the start tag at `start`, from `i` (its name) to past its value.
    [[gnu::always_inline]] Result attribute(std::size_t start, std::size_t& i)
    {
        std::size_t an = i;
        while (i < n_ && !endsName(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        if (i == an)
            return fail("an attribute has no name", i);
        std::size_t anEnd = i;
        while (i < n_ && isSpace(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        if (d_[i] != '=')
            return fail("an attribute has no value", i);
        ++i;
        while (i < n_ && isSpace(d_[i]))
            ++i;
        if (i >= n_)
            return more(start);
        char q = d_[i];
        if (q != '"' && q != '\'')
            return fail("an attribute value is not quoted", i);
        // Values are mostly a few characters: one inline pass finds the closing quote and
        // any stray '<' at once, where two library searches would cost more in calls.
        std::size_t ve = i + 1;
        for (;;) {
            while (ve < n_ && !endsValue(d_[ve]))
                ++ve;
            if (ve >= n_)
                return more(start);
            if (d_[ve] == q)
                break;
            if (d_[ve] == '<')
                return fail("an attribute value contains <", i);
            ++ve;  // the other quote character
        }
        token_.attributes.push_back(XmlAttribute{data_.substr(an, anEnd - an), data_.substr(i + 1, ve - i - 1), q});
        i = ve + 1;
        if (i < n_ && !isSpace(d_[i]) && d_[i] != '>' && d_[i] != '/')
            return fail("attributes are not separated", i);
        return Result::Token;
    }

    std::size_t find(std::size_t from, std::string_view seq) const
    {
        std::size_t f = data_.substr(from).find(seq);
        return f == std::string_view::npos ? std::string_view::npos : from + f;
    }

    [[noreturn]] Result fail(const char* what, std::size_t at) const { throw XmlSyntaxError(what, base_ + at); }

    Result more(std::size_t at) const
    {
        if (final_)
            fail("the document ends inside a tag", at);
        return Result::NeedMore;
    }

    std::string_view data_;
    const char* d_;
    std::size_t n_;
    bool final_;
    XmlToken& token_;
    std::size_t base_;
};

} // namespace

XmlScanner::Result XmlScanner::next(std::string_view data, std::size_t& pos, bool final, XmlToken& token,
                                    std::size_t base)
{
    if (!begun_) {
        // Some producers open every part with a byte-order mark; it must not read as text
        // before the root element.
        constexpr std::string_view kMark = "\xEF\xBB\xBF";
        std::string_view head = data.substr(std::min(pos, data.size()), kMark.size());
        if (head.size() < kMark.size() && !final && kMark.substr(0, head.size()) == head)
            return Result::NeedMore;
        if (head == kMark)
            pos += kMark.size();
        begun_ = true;
    }
    if (pos >= data.size())
        return final ? Result::End : Result::NeedMore;
    TokenScan scan(data, final, token, base);
    if (data[pos] != '<')
        return scan.text(pos);
    if (pos + 1 >= data.size()) {
        if (final)
            throw XmlSyntaxError("the document ends inside a tag", base + pos);
        return Result::NeedMore;
    }
    switch (data[pos + 1]) {
    case '?':
        return scan.processingInstruction(pos);
    case '!':
        return scan.declaration(pos);
    case '/':
        return scan.endTag(pos);
    default:
        return scan.startTag(pos);
    }
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
