// SPDX-License-Identifier: MIT
#include "engine/opc/open_document.h"

#include "platform/engine_error.h"
#include "engine/xml/xml_scanner.h"
#include "engine/zip/zip_reader.h"

#include <algorithm>
#include <charconv>
#include <utility>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

// The largest sheet LibreOffice opens as it is set up here: beyond it the office drops what the
// file repeats, so repeats count only up to here.
constexpr std::uint64_t kSheetRows = 1'048'576;
constexpr std::uint64_t kSheetColumns = 1'024;
constexpr std::size_t kReadChunk = 256 * 1024;
// A single tag or text longer than this is no spreadsheet content: the office says what it
// makes of such a file, this check just stops reading.
constexpr std::size_t kLongestToken = 64u << 20;

std::uint64_t repeatOf(const XmlToken& tok, std::string_view attribute)
{
    const XmlAttribute* a = tok.attribute(attribute);
    if (!a)
        return 1;
    std::uint64_t n = 0;
    auto [end, ec] = std::from_chars(a->value.data(), a->value.data() + a->value.size(), n);
    if (ec == std::errc::result_out_of_range)
        return UINT64_MAX;
    if (ec != std::errc() || end != a->value.data() + a->value.size() || n == 0)
        return 1;
    return n;
}

class RepeatCounter {
public:
    explicit RepeatCounter(std::uint64_t limit) : limit_(limit) {}

    // False once the limit is passed.
    bool take(const XmlToken& tok)
    {
        if (tok.kind == XmlToken::Kind::EndTag)
            pendingColumns_ = 0;
        if (tok.kind != XmlToken::Kind::StartTag)
            return true;
        // A cell written open and closed holds something only when an element comes inside.
        if (pendingColumns_ > 0 && !add(std::exchange(pendingColumns_, 0)))
            return false;
        const std::string_view name = tok.name;
        if (name == "table:table") {
            rowsUsed_ = 0;
        } else if (name == "table:table-row") {
            const std::uint64_t asked = repeatOf(tok, "table:number-rows-repeated");
            rowRepeat_ = std::min(asked, kSheetRows - rowsUsed_);
            rowsUsed_ += rowRepeat_;
            columnsUsed_ = 0;
        } else if (name == "table:table-cell" || name == "table:covered-table-cell") {
            const std::uint64_t asked = repeatOf(tok, "table:number-columns-repeated");
            const std::uint64_t columns = std::min(asked, kSheetColumns - columnsUsed_);
            columnsUsed_ += columns;
            if (tok.attribute("office:value-type") || tok.attribute("table:formula"))
                return add(columns);
            if (!tok.selfClosing)
                pendingColumns_ = columns;
        }
        return true;
    }

    std::uint64_t filled() const { return filled_; }

private:
    bool add(std::uint64_t columns)
    {
        filled_ += rowRepeat_ * columns;
        return filled_ <= limit_;
    }

    std::uint64_t limit_;
    std::uint64_t rowsUsed_ = 0;
    std::uint64_t rowRepeat_ = 1;
    std::uint64_t columnsUsed_ = 0;
    std::uint64_t pendingColumns_ = 0;
    std::uint64_t filled_ = 0;
};

} // namespace

void checkOpenDocumentRepeats(const ZipReader& zip, const std::string& displayPath, std::uint64_t maxFilledCells)
{
    const ZipEntry* content = zip.find("content.xml");
    if (!content)
        return;
    ZipReader::Stream in(zip, *content);
    RepeatCounter counter(maxFilledCells);
    XmlScanner scanner;
    XmlToken tok;
    std::string buf;
    std::size_t pos = 0;
    bool final = false;
    while (true) {
        if (!final) {
            buf.erase(0, pos);
            pos = 0;
            if (buf.size() > kLongestToken)
                return;
            const std::size_t old = buf.size();
            buf.resize(old + kReadChunk);
            const std::size_t n = in.read(buf.data() + old, kReadChunk);
            buf.resize(old + n);
            final = n == 0;
        }
        for (;;) {
            XmlScanner::Result r;
            try {
                r = scanner.next(buf, pos, final, tok);
            } catch (const XmlSyntaxError&) {
                // Damage is the office's to report, in its own words.
                return;
            }
            if (r == XmlScanner::Result::End)
                return;
            if (r == XmlScanner::Result::NeedMore)
                break;
            if (!counter.take(tok))
                throw EngineError(ErrorCode::PartExpandsTooMuch, displayPath,
                                  fmt::format("content.xml repeats its cells into {} filled cells or more, and "
                                              "Tessaro opens at most {}",
                                              fmt::group_digits(counter.filled()),
                                              fmt::group_digits(maxFilledCells)));
        }
    }
}

} // namespace tessaro::xlsx
