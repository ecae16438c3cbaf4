// SPDX-License-Identifier: MIT
#include "engine/office/ods_numbers.h"

#include "engine/office/file_ops.h"
#include "engine/xml/xml_scanner.h"
#include "engine/zip/zip_reader.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace tessaro::office {

namespace {

constexpr const char* kContent = "content.xml";
// The most a content.xml is read to be mended; a larger one keeps what LibreOffice wrote.
constexpr std::uint64_t kContentLimit = 2ull << 30;

std::uint32_t repeated(const xlsx::XmlToken& t, std::string_view attribute)
{
    const xlsx::XmlAttribute* a = t.attribute(attribute);
    std::uint32_t n = 1;
    if (a)
        std::from_chars(a->value.data(), a->value.data() + a->value.size(), n);
    return n == 0 ? 1 : n;
}

// A number LibreOffice wrote without an exponent and with at least five zeros after the
// point: where its 20 decimals can hold fewer than 15 significant digits.
bool mayBeCut(std::string_view v)
{
    if (!v.empty() && v.front() == '-')
        v.remove_prefix(1);
    return v.size() > 7 && v.substr(0, 7) == "0.00000" &&
           v.find_first_not_of("0123456789", 2) == std::string_view::npos;
}

double parsed(std::string_view v)
{
    return std::strtod(std::string(v).c_str(), nullptr);
}

// Whether `written` is `whole` cut at the 20th decimal, and so by more than LibreOffice's 15
// significant digits, which it writes every number with. A number that differs by more than
// that cut is another cell's, and stays as written.
bool cut(double written, double whole)
{
    if (!(std::abs(whole - written) <= 1e-20))
        return false;
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", whole);
    return std::strtod(buffer, nullptr) != written;
}

} // namespace

std::optional<std::string> withNumbersWhole(std::string_view content, const NumberAt& numberAt, std::uint64_t& mended)
{
    // Most workbooks hold no such number: they are not scanned.
    if (content.find("office:value=\"0.00000") == std::string_view::npos &&
        content.find("office:value=\"-0.00000") == std::string_view::npos)
        return std::nullopt;
    struct Edit {
        std::size_t at, length;
        std::string text;
    };
    std::vector<Edit> edits;
    xlsx::XmlScanner scanner;
    xlsx::XmlToken t;
    std::size_t pos = 0;
    int tables = 0;  // depth: a table inside a cell is not one of the workbook's sheets
    std::string sheet;
    std::uint32_t row = 0, rows = 1, column = 0;
    while (scanner.next(content, pos, true, t) == xlsx::XmlScanner::Result::Token) {
        if (t.kind != xlsx::XmlToken::Kind::StartTag && t.kind != xlsx::XmlToken::Kind::EndTag)
            continue;
        if (t.prefix() != "table")
            continue;
        const std::string_view name = t.localName();
        const bool start = t.kind == xlsx::XmlToken::Kind::StartTag;
        if (name == "table") {
            tables += start ? 1 : -1;
            if (start && tables == 1) {
                const xlsx::XmlAttribute* a = t.attribute("table:name");
                sheet = a ? xlsx::decodeXml(a->value) : std::string();
                row = 0;
            }
            if (start && t.selfClosing)
                --tables;
        } else if (tables != 1) {
            continue;
        } else if (name == "table-row") {
            if (start) {
                rows = repeated(t, "table:number-rows-repeated");
                column = 0;
            }
            if (!start || t.selfClosing)
                row += rows;
        } else if (start && (name == "table-cell" || name == "covered-table-cell")) {
            const xlsx::XmlAttribute* value = t.attribute("office:value");
            if (value && mayBeCut(value->value)) {
                const double written = parsed(value->value);
                // LibreOffice writes repeated cells and rows only where they hold the same.
                if (const auto whole = numberAt(sheet, row, column); whole && std::isfinite(*whole) && cut(written, *whole)) {
                    char buffer[32];
                    const auto r = std::to_chars(buffer, buffer + sizeof buffer, *whole);
                    edits.push_back({static_cast<std::size_t>(value->value.data() - content.data()), value->value.size(),
                                     std::string(buffer, r.ptr)});
                }
            }
            column += repeated(t, "table:number-columns-repeated");
        }
    }
    if (edits.empty())
        return std::nullopt;
    std::string out;
    out.reserve(content.size() + edits.size() * 8);
    std::size_t copied = 0;
    for (const Edit& e : edits) {
        out.append(content.substr(copied, e.at - copied));
        out.append(e.text);
        copied = e.at + e.length;
    }
    out.append(content.substr(copied));
    mended += edits.size();
    return out;
}

std::uint64_t keepNumbersWhole(const std::filesystem::path& written, const NumberAt& numberAt)
{
    // LibreOffice wrote the file just now: its repeated empty cells may pack tighter than a
    // hostile file's limits allow.
    xlsx::InflateLimits limits;
    limits.maxRatio = 1u << 20;
    limits.maxTotal = 2 * kContentLimit;
    const xlsx::ZipReader saved(written, written.string(), limits);
    const xlsx::ZipEntry* entry = saved.find(kContent);
    if (!entry || entry->size > kContentLimit)
        return 0;
    const std::string content = saved.read(*entry, kContentLimit);
    std::uint64_t mended = 0;
    if (auto whole = withNumbersWhole(content, numberAt, mended))
        rewriteArchive(saved, written, {{kContent, std::move(*whole)}});
    return mended;
}

} // namespace tessaro::office
