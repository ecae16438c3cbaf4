// SPDX-License-Identifier: MIT
#include "engine/sml/object_ids.h"

#include "engine/xml/xml_scanner.h"

#include <cstdint>
#include <optional>

namespace tessaro::xlsx {
namespace {

constexpr std::string_view kShapePrefix = "_x0000_s";

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isWordChar(char c)
{
    return isDigit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
bool isSpace(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Shape ids are 32-bit; a longer run of digits is no id of ours and is left as written
// (reading only its first digits would move a different shape).
std::optional<long> shapeNumber(std::string_view digits)
{
    if (digits.empty() || digits.size() > 10)
        return std::nullopt;
    std::uint64_t v = 0;
    for (char c : digits)
        v = v * 10 + static_cast<std::uint64_t>(c - '0');
    if (v > 0xFFFFFFFFull)
        return std::nullopt;
    return static_cast<long>(v);
}

// The list of an idmap's data attribute: where it starts and ends in the text.
struct BlockList {
    std::size_t begin = 0;
    std::size_t end = 0;
};

// The data attribute of the idmap element named at `at` (just past "idmap"), if it holds a
// plain list of numbers. Of several, the last before the tag ends counts.
std::optional<BlockList> idmapData(std::string_view text, std::size_t at)
{
    std::size_t tagEnd = text.find('>', at);
    if (tagEnd == std::string_view::npos)
        tagEnd = text.size();
    std::optional<BlockList> found;
    for (std::size_t d = text.find("data", at); d != std::string_view::npos && d < tagEnd;
         d = text.find("data", d + 1)) {
        if (d > 0 && isWordChar(text[d - 1]))
            continue;
        std::size_t i = d + 4;
        while (i < tagEnd && isSpace(text[i]))
            ++i;
        if (i >= tagEnd || text[i] != '=')
            continue;
        ++i;
        while (i < tagEnd && isSpace(text[i]))
            ++i;
        if (i >= tagEnd || (text[i] != '"' && text[i] != '\''))
            continue;
        std::size_t begin = ++i;
        while (i < tagEnd && (isDigit(text[i]) || text[i] == ',' || text[i] == ' '))
            ++i;
        if (i < tagEnd && (text[i] == '"' || text[i] == '\''))
            found = BlockList{begin, i};
    }
    return found;
}

// Calls f(list) for each idmap list and g(digitsBegin, digitsEnd) for each shape id, in
// text order.
template <typename OnList, typename OnShape>
void scanVml(std::string_view text, OnList&& onList, OnShape&& onShape)
{
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t idmap = text.find("idmap", i);
        std::size_t shape = text.find(kShapePrefix, i);
        if (idmap == std::string_view::npos && shape == std::string_view::npos)
            return;
        if (shape < idmap) {
            std::size_t b = shape + kShapePrefix.size(), e = b;
            while (e < text.size() && isDigit(text[e]))
                ++e;
            if (e > b)
                onShape(b, e);
            i = e;
            continue;
        }
        std::size_t after = idmap + 5;
        if (after < text.size() && isWordChar(text[after])) {
            i = after;
            continue;
        }
        if (auto list = idmapData(text, after)) {
            onList(*list);
            i = list->end;
        } else {
            i = after;
        }
    }
}

// Each item of a block list, spaces dropped, empty items skipped.
template <typename F>
void forEachBlock(std::string_view list, F&& f)
{
    std::size_t i = 0;
    while (i <= list.size()) {
        std::size_t j = list.find(',', i);
        if (j == std::string_view::npos)
            j = list.size();
        std::string item;
        for (char c : list.substr(i, j - i))
            if (c != ' ')
                item.push_back(c);
        if (!item.empty())
            f(item);
        i = j + 1;
    }
}

} // namespace

void collectShapeBlocks(std::string_view vml, std::set<long>& blocks)
{
    scanVml(
        vml,
        [&](BlockList l) {
            forEachBlock(vml.substr(l.begin, l.end - l.begin), [&](const std::string& item) {
                if (auto b = shapeNumber(item))
                    blocks.insert(*b);
            });
        },
        [&](std::size_t b, std::size_t e) {
            if (auto id = shapeNumber(vml.substr(b, e - b)))
                blocks.insert(*id / kShapesPerBlock);
        });
}

std::string moveShapeBlocks(std::string_view vml, const ShapeBlockMap& moves)
{
    std::string out;
    out.reserve(vml.size());
    std::size_t last = 0;
    auto upTo = [&](std::size_t at) {
        out.append(vml.substr(last, at - last));
    };
    scanVml(
        vml,
        [&](BlockList l) {
            upTo(l.begin);
            std::string mapped;
            forEachBlock(vml.substr(l.begin, l.end - l.begin), [&](const std::string& item) {
                auto b = shapeNumber(item);
                auto to = b ? moves.find(*b) : moves.end();
                if (!mapped.empty())
                    mapped += ",";
                mapped += to == moves.end() ? item : std::to_string(to->second);
            });
            out += mapped;
            last = l.end;
        },
        [&](std::size_t b, std::size_t e) {
            auto id = shapeNumber(vml.substr(b, e - b));
            if (!id)
                return;
            upTo(b);
            out += std::to_string(movedShapeId(static_cast<std::size_t>(*id), moves));
            last = e;
        });
    upTo(vml.size());
    return out;
}

std::size_t movedShapeId(std::size_t id, const ShapeBlockMap& moves)
{
    long block = static_cast<long>(id) / kShapesPerBlock;
    auto it = moves.find(block);
    if (it == moves.end())
        return id;
    return static_cast<std::size_t>(static_cast<long>(id) + (it->second - block) * kShapesPerBlock);
}

std::vector<std::string> threadIds(std::string_view xml)
{
    std::vector<std::string> ids;
    XmlScanner scanner;
    XmlToken token;
    std::size_t pos = 0;
    try {
        while (scanner.next(xml, pos, true, token) == XmlScanner::Result::Token) {
            if (token.kind != XmlToken::Kind::StartTag || token.localName() != "threadedComment")
                continue;
            if (const XmlAttribute* id = token.attribute("id"); id && !id->value.empty())
                ids.push_back(decodeXml(id->value));
        }
    } catch (const XmlSyntaxError&) {
        // the ids so far; see the header
    }
    return ids;
}

} // namespace tessaro::xlsx
