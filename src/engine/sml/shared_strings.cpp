// SPDX-License-Identifier: MIT
#include "engine/sml/shared_strings.h"

#include "platform/engine_error.h"
#include "engine/sml/theme.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <cstdlib>
#include <optional>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// Rewrites the element names of an XML fragment: names with prefix `from` (or unprefixed
// when `from` is empty) get prefix `to` instead.
std::string renamePrefix(std::string_view fragment, std::string_view from, std::string_view to)
{
    std::string out;
    out.reserve(fragment.size() + 16);
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = 0;
    while (scanner.next(fragment, pos, true, tok) == XmlScanner::Result::Token) {
        if (tok.kind != XmlToken::Kind::StartTag && tok.kind != XmlToken::Kind::EndTag) {
            out.append(tok.raw);
            continue;
        }
        std::string_view qn = tok.name;
        bool match = from.empty() ? qn.find(':') == std::string_view::npos : qn.substr(0, from.size()) == from;
        if (!match) {
            out.append(tok.raw);
            continue;
        }
        std::string name = std::string(to) + std::string(qn.substr(from.size()));
        if (tok.kind == XmlToken::Kind::EndTag) {
            out += "</";
            out += name;
            out += '>';
        } else {
            appendStartTag(out, name, tok.attributes, tok.selfClosing);
        }
    }
    return out;
}

} // namespace

// The root element: the table's namespace prefix, and where new items go.
void SharedStrings::takeRoot(const XmlToken& tok, std::size_t begin, std::size_t end, const std::string& file,
                             const std::string& part)
{
    if (tok.localName() != "sst")
        throw EngineError(ErrorCode::PartDamaged, file, part + ": it is not a shared-string table");
    prefix_ = tok.prefix().empty() ? std::string() : std::string(tok.prefix()) + ":";
    std::string decl = prefix_.empty() ? "xmlns" : "xmlns:" + prefix_.substr(0, prefix_.size() - 1);
    const XmlAttribute* a = tok.attribute(decl);
    if (!a || (a->value != ns::kMain && a->value != ns::kStrictMain))
        throw EngineError(ErrorCode::PartDamaged, file, part + ": it is not a shared-string table");
    rootName_ = std::string(tok.name);
    rootTagBegin_ = begin;
    rootTagEnd_ = end;
    insertAt_ = end;
    rootSelfClosing_ = tok.selfClosing;
}

void SharedStrings::load(std::string content, const std::string& file, const std::string& part)
{
    raw_ = std::move(content);
    spans_.clear();
    added_.clear();
    index_.clear();
    ownedKeys_.clear();
    indexed_ = false;
    extraRefs_ = 0;
    fresh_ = false;
    auto bad = [&](const std::string& why) {
        throw EngineError(ErrorCode::PartDamaged, file, fmt::format("{}: {}", part, why));
    };
    if (raw_.size() >= 2 && (static_cast<unsigned char>(raw_[0]) == 0xFF || static_cast<unsigned char>(raw_[0]) == 0xFE))
        throw EngineError(ErrorCode::PartUnsupported, file, part + ": it is written in UTF-16");
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = 0;
    std::vector<std::string_view> stack;
    bool rootSeen = false, rootClosed = false;
    std::size_t siStart = 0;
    try {
        for (;;) {
            auto r = scanner.next(raw_, pos, true, tok);
            if (r == XmlScanner::Result::End)
                break;
            // Where the token starts: a byte-order mark before the first one is passed over.
            const std::size_t before = static_cast<std::size_t>(tok.raw.data() - raw_.data());
            switch (tok.kind) {
            case XmlToken::Kind::Doctype:
                throw EngineError(ErrorCode::XmlDoctype, file, part);
            case XmlToken::Kind::StartTag:
                if (rootClosed)
                    bad(fmt::format("it has content after its end at byte {}", before));
                if (!rootSeen) {
                    rootSeen = true;
                    takeRoot(tok, before, pos, file, part);
                    if (tok.selfClosing)
                        rootClosed = true;
                    else
                        stack.push_back(tok.name);
                    break;
                }
                if (stack.size() == 1 && tok.name == prefix_ + "si") {
                    siStart = before;
                    if (tok.selfClosing) {
                        spans_.emplace_back(before, pos);
                        insertAt_ = pos;
                        break;
                    }
                }
                if (!tok.selfClosing)
                    stack.push_back(tok.name);
                break;
            case XmlToken::Kind::EndTag:
                if (stack.empty() || stack.back() != tok.name)
                    bad(fmt::format("the closing tag {} does not match at byte {}", tok.name, before));
                stack.pop_back();
                if (stack.size() == 1 && tok.name == prefix_ + "si") {
                    spans_.emplace_back(siStart, pos);
                    insertAt_ = pos;
                }
                if (stack.empty())
                    rootClosed = true;
                break;
            case XmlToken::Kind::Text:
                if (!rootSeen || rootClosed) {
                    if (tok.raw.find_first_not_of(" \t\r\n") != std::string_view::npos)
                        bad(fmt::format("it has text outside its root element at byte {}", before));
                }
                break;
            default:
                break;
            }
        }
    } catch (const XmlSyntaxError& e) {
        bad(fmt::format("{} at byte {}", e.what(), e.offset()));
    }
    if (!rootSeen || !rootClosed)
        bad("it ends before its table is complete");
}

void SharedStrings::loadEmpty()
{
    load("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"0\" uniqueCount=\"0\"></sst>",
         "", "sharedStrings.xml");
    fresh_ = true;
}

std::string SharedStrings::canonicalItem(std::size_t i) const
{
    std::string_view item;
    if (i < spans_.size())
        item = std::string_view(raw_).substr(spans_[i].first, spans_[i].second - spans_[i].first);
    else
        return added_.at(i - spans_.size());
    if (prefix_.empty())
        return std::string(item);
    return renamePrefix(item, prefix_, "");
}

std::string SharedStrings::withPrefix(std::string_view canonical) const
{
    if (prefix_.empty())
        return std::string(canonical);
    return renamePrefix(canonical, "", prefix_);
}

void SharedStrings::buildIndex()
{
    if (indexed_)
        return;
    index_.reserve(size() * 2);
    for (std::size_t i = 0; i < spans_.size(); ++i) {
        std::string_view key;
        if (prefix_.empty()) {
            key = std::string_view(raw_).substr(spans_[i].first, spans_[i].second - spans_[i].first);
        } else {
            ownedKeys_.push_back(canonicalItem(i));
            key = ownedKeys_.back();
        }
        // Tables may hold duplicates; the first one is the one to reuse.
        index_.emplace(key, i);
    }
    for (std::size_t i = 0; i < added_.size(); ++i) {
        ownedKeys_.push_back(added_[i]);
        index_.emplace(ownedKeys_.back(), spans_.size() + i);
    }
    indexed_ = true;
}

std::size_t SharedStrings::intern(const std::string& canonical)
{
    buildIndex();
    if (auto it = index_.find(canonical); it != index_.end())
        return it->second;
    ownedKeys_.push_back(canonical);
    added_.push_back(canonical);
    std::size_t idx = size() - 1;
    index_.emplace(ownedKeys_.back(), idx);
    return idx;
}

void SharedStrings::rollback(const Mark& m)
{
    while (added_.size() > m.added) {
        index_.erase(added_.back());
        added_.pop_back();
    }
    extraRefs_ = m.refs;
}

std::string SharedStrings::serialize() const
{
    if (!modified())
        return raw_;
    std::string out;
    out.reserve(raw_.size() + added_.size() * 32 + 64);
    out.append(raw_, 0, rootTagBegin_);
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = rootTagBegin_;
    scanner.next(raw_, pos, true, tok);
    std::vector<XmlAttribute> attrs = tok.attributes;
    std::uint64_t oldCount = 0;
    bool hasCount = false, hasUnique = false;
    std::string countText, uniqueText = std::to_string(size());
    for (auto& a : attrs) {
        if (a.name == "count") {
            hasCount = true;
            oldCount = std::strtoull(std::string(a.value).c_str(), nullptr, 10);
        } else if (a.name == "uniqueCount") {
            hasUnique = true;
        }
    }
    countText = std::to_string(oldCount + extraRefs_);
    for (auto& a : attrs) {
        if (a.name == "count")
            a.value = countText;
        else if (a.name == "uniqueCount")
            a.value = uniqueText;
    }
    if (hasCount && !hasUnique)
        attrs.push_back(XmlAttribute{"uniqueCount", uniqueText, '"'});
    if (hasUnique && !hasCount)
        attrs.push_back(XmlAttribute{"count", countText, '"'});
    appendStartTag(out, rootName_, attrs, false);
    if (rootSelfClosing_) {
        for (const auto& item : added_)
            out += withPrefix(item);
        out += "</";
        out += rootName_;
        out += '>';
        out.append(raw_, rootTagEnd_, std::string::npos);
        return out;
    }
    out.append(raw_, rootTagEnd_, insertAt_ - rootTagEnd_);
    for (const auto& item : added_)
        out += withPrefix(item);
    out.append(raw_, insertAt_, std::string::npos);
    return out;
}

} // namespace tessaro::xlsx

namespace tessaro::xlsx {

std::string translateItemFormatting(std::string_view item, const ColorTranslator& colors)
{
    bool colorsMayChange = colors.active() && (item.find("theme=") != std::string_view::npos ||
                                               item.find("indexed=") != std::string_view::npos);
    bool schemeMayGo = colors.fontsDiffer() && item.find("<scheme") != std::string_view::npos;
    if (!colorsMayChange && !schemeMayGo)
        return std::string(item);
    std::string out;
    out.reserve(item.size() + 16);
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = 0;
    std::size_t skip = 0;
    while (scanner.next(item, pos, true, tok) == XmlScanner::Result::Token) {
        if (skip) {
            if (tok.kind == XmlToken::Kind::StartTag && !tok.selfClosing)
                ++skip;
            else if (tok.kind == XmlToken::Kind::EndTag)
                --skip;
            continue;
        }
        if (tok.kind != XmlToken::Kind::StartTag) {
            out.append(tok.raw);
            continue;
        }
        if (schemeMayGo && tok.name == "scheme") {
            if (!tok.selfClosing)
                skip = 1;
            continue;
        }
        if (colorsMayChange && tok.name == "color") {
            std::optional<std::string_view> theme, tint, indexed;
            for (const auto& a : tok.attributes) {
                if (a.name == "theme")
                    theme = a.value;
                else if (a.name == "tint")
                    tint = a.value;
                else if (a.name == "indexed")
                    indexed = a.value;
            }
            if (auto argb = colors.translate(theme, tint, indexed)) {
                std::vector<XmlAttribute> attrs;
                for (const auto& a : tok.attributes)
                    if (a.name != "theme" && a.name != "tint" && a.name != "indexed" && a.name != "rgb")
                        attrs.push_back(a);
                attrs.push_back(XmlAttribute{"rgb", *argb, '"'});
                appendStartTag(out, tok.name, attrs, tok.selfClosing);
                continue;
            }
        }
        out.append(tok.raw);
    }
    return out;
}

} // namespace tessaro::xlsx
