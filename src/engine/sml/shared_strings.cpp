// SPDX-License-Identifier: MIT
#include "engine/sml/shared_strings.h"

#include "platform/engine_error.h"
#include "engine/sml/theme.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <stdexcept>
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

namespace {

// Items per remembered position in a streamed table: reading one item back reads at most
// this many from the file.
constexpr std::size_t kBlock = 64;
constexpr std::size_t kReadChunk = 1u << 18;
constexpr std::size_t kLongestToken = 64u << 20;

std::atomic<std::uint64_t> streamFrom{64ull << 20};

} // namespace

std::uint64_t SharedStrings::streamingThreshold()
{
    return streamFrom.load();
}

void SharedStrings::setStreamingThreshold(std::uint64_t bytes)
{
    streamFrom.store(bytes);
}

struct SharedStrings::ScanState {
    std::vector<std::string> stack;
    bool rootSeen = false, rootClosed = false;
    std::uint64_t siStart = 0;
    XmlScanner scanner;
    XmlToken tok;
};

// The root element: the table's namespace prefix, and where new items go.
void SharedStrings::takeRoot(const XmlToken& tok, std::uint64_t begin, std::uint64_t end)
{
    if (tok.localName() != "sst")
        throw EngineError(ErrorCode::PartDamaged, file_, part_ + ": it is not a shared-string table");
    prefix_ = tok.prefix().empty() ? std::string() : std::string(tok.prefix()) + ":";
    std::string decl = prefix_.empty() ? "xmlns" : "xmlns:" + prefix_.substr(0, prefix_.size() - 1);
    const XmlAttribute* a = tok.attribute(decl);
    if (!a || (a->value != ns::kMain && a->value != ns::kStrictMain))
        throw EngineError(ErrorCode::PartDamaged, file_, part_ + ": it is not a shared-string table");
    rootName_ = std::string(tok.name);
    rootTag_ = std::string(tok.raw);
    rootTagBegin_ = begin;
    rootTagEnd_ = end;
    insertAt_ = end;
    rootSelfClosing_ = tok.selfClosing;
}

void SharedStrings::reset()
{
    raw_.clear();
    spool_.reset();
    spans_.clear();
    blockStarts_.clear();
    loaded_ = 0;
    added_.clear();
    index_.clear();
    ownedKeys_.clear();
    indexed_ = false;
    extraRefs_ = 0;
}

void SharedStrings::foundItem(std::uint64_t begin, std::uint64_t end)
{
    if (spool_) {
        if (loaded_ % kBlock == 0)
            blockStarts_.push_back(begin);
    } else {
        spans_.emplace_back(static_cast<std::size_t>(begin), static_cast<std::size_t>(end));
    }
    ++loaded_;
    insertAt_ = end;
}

// Checks the tokens of `buf` (which starts `consumedBefore` bytes into the part) from `pos`
// on, noting the root and the items, until the buffer needs more or the part ends.
void SharedStrings::scan(ScanState& st, std::string_view buf, std::uint64_t consumedBefore, std::size_t& pos,
                         bool final)
{
    auto bad = [&](const std::string& why) {
        throw EngineError(ErrorCode::PartDamaged, file_, fmt::format("{}: {}", part_, why));
    };
    XmlToken& tok = st.tok;
    try {
        for (;;) {
            auto r = st.scanner.next(buf, pos, final, tok, static_cast<std::size_t>(consumedBefore));
            if (r != XmlScanner::Result::Token)
                return;
            // Where the token starts: a byte-order mark before the first one is passed over.
            const std::uint64_t before = consumedBefore + static_cast<std::uint64_t>(tok.raw.data() - buf.data());
            const std::uint64_t after = consumedBefore + pos;
            switch (tok.kind) {
            case XmlToken::Kind::Doctype:
                throw EngineError(ErrorCode::XmlDoctype, file_, part_);
            case XmlToken::Kind::StartTag:
                if (st.rootClosed)
                    bad(fmt::format("it has content after its end at byte {}", before));
                if (!st.rootSeen) {
                    st.rootSeen = true;
                    takeRoot(tok, before, after);
                    if (tok.selfClosing)
                        st.rootClosed = true;
                    else
                        st.stack.emplace_back(tok.name);
                    break;
                }
                if (st.stack.size() == 1 && tok.name == prefix_ + "si") {
                    st.siStart = before;
                    if (tok.selfClosing) {
                        foundItem(before, after);
                        break;
                    }
                }
                if (!tok.selfClosing)
                    st.stack.emplace_back(tok.name);
                break;
            case XmlToken::Kind::EndTag:
                if (st.stack.empty() || st.stack.back() != tok.name)
                    bad(fmt::format("the closing tag {} does not match at byte {}", tok.name, before));
                st.stack.pop_back();
                if (st.stack.size() == 1 && tok.name == prefix_ + "si")
                    foundItem(st.siStart, after);
                if (st.stack.empty())
                    st.rootClosed = true;
                break;
            case XmlToken::Kind::Text:
                if (!st.rootSeen || st.rootClosed) {
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
}

void SharedStrings::finishScan(const ScanState& st)
{
    if (!st.rootSeen || !st.rootClosed)
        throw EngineError(ErrorCode::PartDamaged, file_, part_ + ": it ends before its table is complete");
}

void SharedStrings::load(std::string content, const std::string& file, const std::string& part)
{
    reset();
    file_ = file;
    part_ = part;
    raw_ = std::move(content);
    if (raw_.size() >= 2 && (static_cast<unsigned char>(raw_[0]) == 0xFF || static_cast<unsigned char>(raw_[0]) == 0xFE))
        throw EngineError(ErrorCode::PartUnsupported, file, part + ": it is written in UTF-16");
    ScanState st;
    std::size_t pos = 0;
    scan(st, raw_, 0, pos, true);
    finishScan(st);
}

void SharedStrings::loadStreamed(PartReader& in, const std::string& file, const std::string& part)
{
    reset();
    file_ = file;
    part_ = part;
    spool_ = std::make_shared<SpoolFile>();
    ScanState st;
    std::string buf;
    std::size_t pos = 0;
    std::uint64_t consumedBefore = 0;
    bool first = true;
    for (bool final = false; !final;) {
        if (pos > 0) {
            buf.erase(0, pos);
            consumedBefore += pos;
            pos = 0;
        }
        if (buf.size() > kLongestToken)
            throw EngineError(ErrorCode::PartDamaged, file_,
                              fmt::format("{}: a single piece of its XML is too long (near byte {})", part_, consumedBefore));
        std::size_t old = buf.size();
        buf.resize(old + kReadChunk);
        std::size_t n = in.read(buf.data() + old, kReadChunk);
        buf.resize(old + n);
        final = n == 0;
        spool_->append(buf.data() + old, n);
        if (first && buf.size() >= 2) {
            auto b0 = static_cast<unsigned char>(buf[0]);
            if (b0 == 0xFF || b0 == 0xFE)
                throw EngineError(ErrorCode::PartUnsupported, file, part + ": it is written in UTF-16");
            first = false;
        }
        scan(st, buf, consumedBefore, pos, final);
    }
    finishScan(st);
}

void SharedStrings::loadEmpty()
{
    load("<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<sst xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\" count=\"0\" uniqueCount=\"0\"></sst>",
         "", "sharedStrings.xml");
}

// Item i of a streamed table: read from the start of its block, passing over the items
// before it. The table was checked when it was read, so only depth is followed here.
std::string SharedStrings::spooledItem(std::size_t i) const
{
    std::uint64_t from = blockStarts_.at(i / kBlock);
    std::size_t skip = i % kBlock;
    std::string buf;
    std::size_t pos = 0;
    bool final = false;
    XmlScanner scanner;
    XmlToken tok;
    std::size_t depth = 0, seen = 0, itemStart = 0;
    const std::string siName = prefix_ + "si";
    for (;;) {
        auto r = final ? XmlScanner::Result::End : XmlScanner::Result::NeedMore;
        try {
            r = scanner.next(buf, pos, final, tok);
        } catch (const XmlSyntaxError& e) {
            throw EngineError(ErrorCode::PartDamaged, file_, fmt::format("{}: {}", part_, e.what()));
        }
        if (r == XmlScanner::Result::End)
            break;
        if (r == XmlScanner::Result::NeedMore) {
            std::size_t old = buf.size();
            buf.resize(old + 16384);
            std::size_t n = spool_->readAt(from + old, buf.data() + old, 16384);
            buf.resize(old + n);
            final = n == 0;
            continue;
        }
        const std::size_t before = static_cast<std::size_t>(tok.raw.data() - buf.data());
        bool ended = false;
        if (tok.kind == XmlToken::Kind::StartTag) {
            if (depth == 0 && tok.name == siName)
                itemStart = before;
            if (tok.selfClosing)
                ended = depth == 0 && tok.name == siName;
            else
                ++depth;
        } else if (tok.kind == XmlToken::Kind::EndTag) {
            if (depth == 0)
                break;
            --depth;
            ended = depth == 0 && tok.name == siName;
        }
        if (ended && seen++ == skip) {
            std::string_view item = std::string_view(buf).substr(itemStart, pos - itemStart);
            return prefix_.empty() ? std::string(item) : renamePrefix(item, prefix_, "");
        }
    }
    throw EngineError(ErrorCode::PartDamaged, file_, fmt::format("{}: item {} cannot be read back", part_, i));
}

std::string SharedStrings::canonicalItem(std::size_t i) const
{
    if (i >= loaded_)
        return added_.at(i - loaded_);
    if (spool_)
        return spooledItem(i);
    std::string_view item = std::string_view(raw_).substr(spans_[i].first, spans_[i].second - spans_[i].first);
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
        index_.emplace(ownedKeys_.back(), loaded_ + i);
    }
    indexed_ = true;
}

std::size_t SharedStrings::intern(const std::string& canonical)
{
    // A streamed table is not searched: its items are not in memory, and an index over
    // millions of them would cost what streaming saves. A new item equal to an old one is
    // then appended again; a table may hold the same item twice, each cell shows the text
    // of the index it names, so the copy reads the same.
    if (!spool_)
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

// Writes the part with the root's counts brought up to date and the new items before the
// table's end: emit(text) for new bytes, copy(begin, end) for a range of the part as read.
template <class Emit, class Copy>
void SharedStrings::write(Emit&& emit, Copy&& copy, std::uint64_t total) const
{
    copy(0, rootTagBegin_);
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = 0;
    scanner.next(rootTag_, pos, true, tok);
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
    std::string text;
    appendStartTag(text, rootName_, attrs, false);
    emit(text);
    if (rootSelfClosing_) {
        for (const auto& item : added_)
            emit(withPrefix(item));
        emit("</" + rootName_ + ">");
        copy(rootTagEnd_, total);
        return;
    }
    copy(rootTagEnd_, insertAt_);
    for (const auto& item : added_)
        emit(withPrefix(item));
    copy(insertAt_, total);
}

std::string SharedStrings::serialize() const
{
    if (spool_)
        throw std::logic_error("a streamed shared-string table is written by serializeStored()");
    if (!modified())
        return raw_;
    std::string out;
    out.reserve(raw_.size() + added_.size() * 32 + 64);
    write([&](std::string_view text) { out += text; },
          [&](std::uint64_t begin, std::uint64_t end) {
              out.append(raw_, static_cast<std::size_t>(begin), static_cast<std::size_t>(end - begin));
          },
          raw_.size());
    return out;
}

StoredPart SharedStrings::serializeStored() const
{
    if (!spool_)
        throw std::logic_error("only a streamed shared-string table is written by serializeStored()");
    const std::uint64_t total = spool_->size();
    PartCompressor compressor(deflateLevelFor(total), true);
    std::string buf(kReadChunk, '\0');
    write([&](std::string_view text) { compressor.feed(text); },
          [&](std::uint64_t begin, std::uint64_t end) {
              while (begin < end) {
                  std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(end - begin, buf.size()));
                  std::size_t n = spool_->readAt(begin, buf.data(), want);
                  if (n == 0)
                      throw std::runtime_error("a temporary file ends too early");
                  compressor.feed(std::string_view(buf.data(), n));
                  begin += n;
              }
          },
          total);
    return compressor.finish();
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
