// SPDX-License-Identifier: MIT
#include "engine/office/xls_cells.h"

#include "engine/office/biff_stream.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>

namespace tessaro {
namespace {

using namespace biff;

constexpr std::uint16_t kFormula = 0x0006;
constexpr std::uint16_t kBoolErr = 0x0205;
constexpr std::uint16_t kShrFmla = 0x04BC;
constexpr std::uint16_t kArray = 0x0221;
constexpr std::uint16_t kTable = 0x0236;
constexpr std::uint16_t kString = 0x0207;
constexpr std::uint16_t kContinue = 0x003C;
constexpr std::uint8_t kErrToken = 0x1C;
// A FORMULA's fields: cached result, flags, token count, tokens.
constexpr std::size_t kResult = 6, kFlags = 14, kTokenCount = 20, kTokens = 22;
constexpr std::uint32_t kSharedFlag = 0x0008;

bool isBiff8(std::string_view s) { return s.size() >= 6 && u16(s, 0) == kBof && u16(s, 4) == 0x0600; }

std::string_view bodyOf(std::string_view s, const Record& r) { return s.substr(r.offset + 4, r.size); }

// What a formula's sheet references (by EXTERNSHEET entry) and names (by NAME record, from 1)
// stand for in a workbook: the first and last sheet of a reference into the workbook itself,
// and a name with the sheet it belongs to ("" for the workbook). A workbook writes its own.
struct Tables {
    using Key = std::pair<std::u16string, std::u16string>;
    std::vector<std::optional<Key>> sheets;
    std::vector<Key> names;
    // Where each is first, to find one again.
    std::map<Key, std::size_t> sheetAt, nameAt;
};

constexpr std::uint16_t kSupBook = 0x01AE;
constexpr std::uint16_t kExternSheet = 0x0017;
constexpr std::uint16_t kName = 0x0018;
constexpr std::uint16_t kCountry = 0x008C;
constexpr std::uint16_t kExternName = 0x0023;

// The name a NAME record's body gives.
std::u16string nameOf(std::string_view b)
{
    const std::size_t count = static_cast<std::uint8_t>(b[3]);
    const bool wide = (b[14] & 1) != 0;
    std::u16string name;
    for (std::size_t k = 0; k < count && 15 + (k + 1) * (wide ? 2 : 1) <= b.size(); ++k)
        name.push_back(static_cast<char16_t>(wide ? u16(b, 15 + 2 * k) : static_cast<std::uint8_t>(b[15 + k])));
    return name;
}

Tables tablesOf(std::string_view s, const Layout& l)
{
    std::vector<std::u16string> sheetNames;
    for (const auto& sheet : l.sheets)
        sheetNames.push_back(readableSheetName(s, l, sheet).value_or(std::u16string()));
    const auto sheetNamed = [&](std::uint32_t itab) {
        return itab < sheetNames.size() && !sheetNames[itab].empty() ? std::optional(sheetNames[itab]) : std::nullopt;
    };
    Tables t;
    std::vector<bool> self; // by SUPBOOK: whether it is the workbook itself
    for (std::size_t i = 1; i < l.globalsEnd; ++i) {
        const Record& r = l.records[i];
        const std::string_view b = bodyOf(s, r);
        if (r.type == kSupBook) {
            self.push_back(b.size() >= 4 && u16(b, 2) == 0x0401);
        } else if (r.type == kExternSheet && b.size() >= 2) {
            // An EXTERNSHEET longer than one record goes on in CONTINUE records: its entries
            // beyond this one stay unknown, and formulas using them are left as they are.
            for (std::size_t k = 0; k < u16(b, 0) && 2 + 6 * k + 6 <= b.size(); ++k) {
                const std::size_t at = 2 + 6 * k;
                const std::uint32_t book = u16(b, at);
                const auto first = sheetNamed(u16(b, at + 2)), last = sheetNamed(u16(b, at + 4));
                t.sheets.push_back(book < self.size() && self[book] && first && last ? std::optional(std::pair(*first, *last))
                                                                                    : std::nullopt);
            }
        } else if (r.type == kName && b.size() >= 15) {
            const std::uint32_t itab = u16(b, 8);
            t.names.emplace_back(nameOf(b), itab == 0 ? std::u16string() : sheetNamed(itab - 1).value_or(u"?"));
        }
    }
    for (std::size_t k = 0; k < t.sheets.size(); ++k)
        if (t.sheets[k])
            t.sheetAt.emplace(*t.sheets[k], k);
    for (std::size_t k = 0; k < t.names.size(); ++k)
        t.nameAt.emplace(t.names[k], k);
    return t;
}

// Where the sheet references and names of one workbook's formulas are in another's tables.
struct Remap {
    const Tables* from = nullptr;
    const Tables* to = nullptr;
    // Tokens written back into the stream they were read from keep every index.
    bool same = false;

    std::optional<std::uint32_t> sheet(std::uint32_t ixti) const
    {
        if (same)
            return ixti;
        if (!from || ixti >= from->sheets.size() || !from->sheets[ixti])
            return std::nullopt;
        if (!to)
            return ixti;
        const auto at = to->sheetAt.find(*from->sheets[ixti]);
        return at == to->sheetAt.end() ? std::nullopt : std::optional(static_cast<std::uint32_t>(at->second));
    }
    std::optional<std::uint32_t> name(std::uint32_t index) const
    {
        if (same)
            return index;
        if (!from || index == 0 || index > from->names.size())
            return std::nullopt;
        if (!to)
            return index;
        const auto at = to->nameAt.find(from->names[index - 1]);
        return at == to->nameAt.end() ? std::nullopt : std::optional(static_cast<std::uint32_t>(at->second + 1));
    }
};

// A formula's tokens as a cell's own: those of a shared formula (relative to the cell `at`)
// made absolute, its sheet references and names as `remap` finds them. Nothing when a token
// names another workbook or a record beside the formula, or cannot be read: such a formula is
// left as it is.
// With `standIns`, the tokens are LibreOffice's, to go back into the stream they came from:
// each stand-in number becomes its error constant, and a formula of the cell's own keeps the
// tokens whose meaning lies beside it (arrays, other workbooks' names) as they are.
struct Tokens {
    bool error = false;
    bool errorButNA = false; // an error constant other than #N/A
    bool standIns = false;   // some were turned into errors
    std::optional<std::string> own;
};

std::optional<std::uint8_t> standInError(double value)
{
    for (const std::uint8_t code : {0x00, 0x07, 0x0F, 0x17, 0x1D, 0x24, 0x2A}) {
        const double s = errorStandIn(code);
        if (std::abs(value - s) <= s * 1e-9)
            return code;
    }
    return std::nullopt;
}

Tokens tokensOf(std::string_view rgce, CellAt at, bool shared, const Remap& remap, bool standIns = false)
{
    Tokens t;
    std::string out;
    // A relative row or column of a shared formula, made the cell's own.
    const auto rowOf = [&](std::uint32_t row, std::uint32_t colField) {
        return (colField & 0x8000) ? (at.first + static_cast<std::int16_t>(row)) & 0xFFFF : row;
    };
    const auto colOf = [&](std::uint32_t colField) {
        return (colField & 0x4000) ? ((at.second + static_cast<std::int8_t>(colField & 0xFF)) & 0xFF) | (colField & 0xC000)
                                   : colField;
    };
    // The rest is scanned for an error constant alone.
    const auto giveUp = [&](std::size_t from) {
        for (; from < rgce.size(); ++from)
            if (static_cast<std::uint8_t>(rgce[from]) == kErrToken) {
                t.error = true;
                t.errorButNA |= from + 1 < rgce.size() && rgce[from + 1] != 0x2A;
            }
        return t;
    };
    // Where each token starts in the tokens made, and the jumps of IF and CHOOSE and the
    // lengths of subexpressions (tMem*), which count bytes: a stand-in written back as its error
    // is shorter than the number it was.
    std::map<std::size_t, std::size_t> moved;
    std::vector<std::size_t> jumps;
    bool resized = false;
    std::size_t p = 0;
    while (p < rgce.size()) {
        moved[p] = out.size();
        const auto id = static_cast<std::uint8_t>(rgce[p]);
        const std::uint8_t kind = id < 0x20 ? id : static_cast<std::uint8_t>((id & 0x1F) | 0x20);
        std::size_t length = 0;
        if (kind >= 0x03 && kind <= 0x16) {
            length = 1;
        } else if (kind == 0x17) { // a string: its length, whether wide, its characters
            if (p + 3 > rgce.size())
                return giveUp(p);
            length = 3 + static_cast<std::uint8_t>(rgce[p + 1]) * ((rgce[p + 2] & 1) ? 2u : 1u);
        } else if (kind == 0x19) { // tAttr; a CHOOSE's carries its jump table
            if (p + 4 > rgce.size())
                return giveUp(p);
            length = 4 + ((rgce[p + 1] & 0x04) ? (u16(rgce, p + 2) + 1) * 2 : 0);
            if (rgce[p + 1] & 0x0E)
                jumps.push_back(p);
        } else if (kind == kErrToken || kind == 0x1D) {
            t.error |= kind == kErrToken;
            t.errorButNA |= kind == kErrToken && p + 1 < rgce.size() && rgce[p + 1] != 0x2A;
            length = 2;
        } else if (kind == 0x1E || kind == 0x21) {
            length = 3;
        } else if (kind == 0x22) {
            length = 4;
        } else if (kind == 0x1F && standIns && p + 9 <= rgce.size()) {
            double value;
            const std::string bytes(rgce.substr(p + 1, 8));
            std::memcpy(&value, bytes.data(), sizeof value);
            if (const auto code = standInError(value)) {
                out += static_cast<char>(kErrToken);
                out += static_cast<char>(*code);
                p += 9;
                resized = t.standIns = true;
                continue;
            }
            length = 9;
        } else if (kind == 0x1F || kind == 0x25 || kind == 0x2B) {
            length = 9;
        } else if (kind == 0x24 || kind == 0x2A) {
            length = 5;
        } else if (kind == 0x2C || kind == 0x2D) { // tRefN, tAreaN: only in shared formulas
            const std::size_t n = kind == 0x2C ? 5 : 9;
            if (p + n > rgce.size())
                return giveUp(p);
            std::string token(rgce.substr(p, n));
            token[0] = static_cast<char>(id - 8);
            if (kind == 0x2C) {
                const std::uint32_t col = u16(rgce, p + 3);
                put16(token, 1, rowOf(u16(rgce, p + 1), col));
                put16(token, 3, colOf(col));
            } else {
                const std::uint32_t first = u16(rgce, p + 5), last = u16(rgce, p + 7);
                put16(token, 1, rowOf(u16(rgce, p + 1), first));
                put16(token, 3, rowOf(u16(rgce, p + 3), last));
                put16(token, 5, colOf(first));
                put16(token, 7, colOf(last));
            }
            out += token;
            p += n;
            continue;
        } else if (kind == 0x23 || ((kind >= 0x3A && kind <= 0x3D) && !shared)) {
            // A name, or a reference to sheets (relative in a shared formula, so not moved).
            const std::size_t n = kind == 0x23 ? 5 : kind == 0x3A || kind == 0x3C ? 7 : 11;
            if (p + n > rgce.size())
                return giveUp(p);
            std::string token(rgce.substr(p, n));
            if (kind == 0x23) {
                const auto index = remap.name(u32(rgce, p + 1));
                if (!index)
                    return giveUp(p);
                put32(token, 1, *index);
            } else {
                const auto ixti = remap.sheet(u16(rgce, p + 1));
                if (!ixti || *ixti > 0xFFFF)
                    return giveUp(p);
                put16(token, 1, *ixti);
            }
            out += token;
            p += n;
            continue;
        } else if (standIns && !shared && (kind == 0x20 || (kind >= 0x26 && kind <= 0x29) || kind == 0x39)) {
            length = kind == 0x20 ? 8 : kind == 0x29 ? 3 : 7;
            if (kind != 0x20 && kind != 0x39)
                jumps.push_back(p);
        } else {
            // Other workbooks, arrays and the other tokens whose meaning lies outside the formula.
            return giveUp(p);
        }
        if (p + length > rgce.size())
            return giveUp(p);
        out.append(rgce.substr(p, length));
        p += length;
    }
    moved[rgce.size()] = out.size();
    if (resized) {
        // An IF's jump runs from its end to the start of the other branch, a jump past the
        // rest (tAttrGoto) to one byte before where it lands, a tMem* length over the
        // subexpression after it, and each of a CHOOSE's jumps from the start of its table to
        // the start of its choice (the last past them all).
        for (const std::size_t from : jumps) {
            const auto id = static_cast<std::uint8_t>(rgce[from]);
            const bool attr = id == 0x19;
            const auto flags = static_cast<std::uint8_t>(rgce[from + 1]);
            if (attr && (flags & 0x04)) {
                const std::size_t table = from + 4;
                for (std::size_t k = 0; k <= u16(rgce, from + 2); ++k) {
                    const auto target = moved.find(table + u16(rgce, table + 2 * k));
                    if (target == moved.end())
                        return giveUp(rgce.size());
                    put16(out, moved[from] + 4 + 2 * k, static_cast<std::uint32_t>(target->second - (moved[from] + 4)));
                }
                continue;
            }
            // Where the count is, and where it counts from.
            const std::size_t field = attr ? from + 2 : ((id & 0x1F) | 0x20) == 0x29 ? from + 1 : from + 5;
            const std::size_t end = field + 2, past = attr && (flags & 0x08) ? 1 : 0;
            const auto target = moved.find(end + u16(rgce, field) + past);
            if (target == moved.end())
                return giveUp(rgce.size());
            put16(out, moved[from] + (field - from), static_cast<std::uint32_t>(target->second - moved[end] - past));
        }
    }
    t.own = std::move(out);
    return t;
}

bool isOneError(std::string_view rgce) { return rgce.size() == 2 && static_cast<std::uint8_t>(rgce[0]) == kErrToken; }

// The formula cells of one sheet and the shared formulas and arrays they use.
struct SheetCells {
    struct Formula {
        std::size_t record;
        CellAt at;
        std::string_view tokens;      // its own: a reference to a shared formula or an array, or the formula
        std::optional<CellAt> shared; // the cell whose record the shared formula or array follows
    };
    std::vector<Formula> formulas;
    std::map<CellAt, std::size_t> byCell;
    // By the cell it follows: a shared formula's tokens, or nothing for an array or a table.
    std::map<CellAt, std::optional<std::string_view>> groups;
    std::map<CellAt, std::size_t> groupRecord;
    // An array formula's tokens, by its first cell.
    std::map<CellAt, std::string_view> arrays;
    // The boolean values (BOOLERR records that are no error), by cell.
    std::map<CellAt, char> booleans;

    // The tokens the cell's formula has, with the cell its shared formula is relative to.
    std::optional<std::string_view> effective(const Formula& f) const
    {
        if (!f.shared)
            return f.tokens;
        const auto g = groups.find(*f.shared);
        return g == groups.end() ? std::nullopt : g->second;
    }
};

SheetCells cellsOf(std::string_view s, const Layout& l, const Layout::Sheet& sheet)
{
    SheetCells cells;
    int depth = 0;
    for (std::size_t i = sheet.bof; i <= sheet.eof; ++i) {
        const Record& r = l.records[i];
        if (r.type == kBof)
            ++depth;
        else if (r.type == kEof)
            --depth;
        if (depth == 1 && r.type == kBoolErr && r.size >= 8 && s[r.offset + 4 + 7] == 0)
            cells.booleans[{u16(s, r.offset + 4), u16(s, r.offset + 6)}] = s[r.offset + 4 + 6];
        if (depth != 1 || r.type != kFormula || r.size < kTokens)
            continue;
        const std::string_view body = bodyOf(s, r);
        const std::size_t count = u16(body, kTokenCount);
        if (kTokens + count > body.size())
            continue;
        SheetCells::Formula f{i, {u16(body, 0), u16(body, 2)}, body.substr(kTokens, count), std::nullopt};
        if (count == 5 && body[kTokens] == 0x01)
            f.shared = CellAt{u16(body, kTokens + 1), u16(body, kTokens + 3)};
        cells.byCell[f.at] = cells.formulas.size();
        cells.formulas.push_back(f);
        // What follows a formula record is the shared formula, array or table it starts.
        if (i + 1 > sheet.eof)
            continue;
        const Record& next = l.records[i + 1];
        if (next.type == kShrFmla && next.size >= 10) {
            const std::string_view g = bodyOf(s, next);
            const std::size_t n = u16(g, 8);
            cells.groups[f.at] = 10 + n <= g.size() ? std::optional(g.substr(10, n)) : std::nullopt;
            cells.groupRecord[f.at] = i + 1;
        } else if (next.type == kArray || next.type == kTable) {
            cells.groups[f.at] = std::nullopt;
            if (next.type == kArray && next.size >= 14) {
                const std::string_view a = bodyOf(s, next);
                const std::size_t n = u16(a, 12);
                cells.arrays[f.at] = 14 + n <= a.size() ? a.substr(14, n) : std::string_view();
            }
        }
    }
    return cells;
}

std::string record(std::uint16_t type, const std::string& body) { return le16(type) + le16(static_cast<std::uint32_t>(body.size())) + body; }

bool isText(std::string_view formulaBody) { return formulaBody[kResult] == 0 && u16(formulaBody, kResult + 6) == 0xFFFF; }

// The records of a formula's text result (its STRING record and the CONTINUE records of a long
// one), from the first to past the last; they follow what the formula starts (a shared formula,
// array or table). An empty range where it has none.
std::pair<std::size_t, std::size_t> textRecordsOf(const Layout& l, std::size_t formula)
{
    std::size_t from = formula + 1;
    while (from < l.records.size() &&
           (l.records[from].type == kShrFmla || l.records[from].type == kArray || l.records[from].type == kTable))
        ++from;
    std::size_t end = from;
    if (end < l.records.size() && l.records[end].type == kString)
        for (++end; end < l.records.size() && l.records[end].type == kContinue; ++end) {
        }
    return {from, end};
}

// A result's eight bytes in a FORMULA record, and the records of a text (STRING, then CONTINUE
// where it runs past one record). `boolean`: the record holds a boolean, which 0 and 1 stay.
std::pair<std::string, std::string> resultBytes(const FormulaResult& r, bool boolean)
{
    std::string bytes(8, '\0'), text;
    const auto special = [&](char type, char value) {
        bytes[0] = type;
        bytes[2] = value;
        bytes[6] = bytes[7] = '\xFF';
    };
    switch (r.kind) {
    case FormulaResult::Kind::Number:
        if (boolean && (r.number == 0 || r.number == 1))
            special(1, r.number == 1 ? 1 : 0);
        else
            std::memcpy(bytes.data(), &r.number, sizeof r.number);
        break;
    case FormulaResult::Kind::Error:
        special(2, static_cast<char>(r.error));
        break;
    case FormulaResult::Kind::Text: {
        if (r.text.empty()) {
            special(3, 0);
            break;
        }
        special(0, 0);
        constexpr std::size_t kMaxBody = 8224;
        const std::size_t count = std::min<std::size_t>(r.text.size(), 32767);
        for (std::size_t at = 0; at < count;) {
            std::string body = at == 0 ? le16(static_cast<std::uint32_t>(count)) : std::string();
            body += '\x01'; // the characters as UTF-16
            const std::size_t n = std::min((kMaxBody - body.size()) / 2, count - at);
            for (std::size_t k = 0; k < n; ++k)
                body += le16(r.text[at + k]);
            text += record(at == 0 ? kString : kContinue, body);
            at += n;
        }
        break;
    }
    }
    return {bytes, text};
}

// Whether LibreOffice's tokens still hold a stand-in number anywhere.
bool holdsStandIn(std::string_view rgce)
{
    for (std::size_t p = 0; p + 8 <= rgce.size(); ++p) {
        double value;
        std::memcpy(&value, rgce.data() + p, sizeof value);
        if (standInError(value))
            return true;
    }
    return false;
}

// "B27" for column 1, row 26.
std::string cellName(CellAt at)
{
    std::string letters;
    for (std::uint32_t c = at.second + 1; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters + std::to_string(at.first + 1);
}

std::string utf8Of(std::u16string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        std::uint32_t c = s[i];
        if (c >= 0xD800 && c < 0xDC00 && i + 1 < s.size() && s[i + 1] >= 0xDC00 && s[i + 1] < 0xE000)
            c = 0x10000 + ((c - 0xD800) << 10) + (s[++i] - 0xDC00);
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

} // namespace

// 1.NN1E-300 for the error of code NN (#VALUE! 1.151E-300): far below any quantity a workbook
// holds, and written back by LibreOffice exactly as the text reads (no trailing zero to drop).
std::string errorStandInText(std::uint8_t code) { return fmt::format("1.{:02}1E-300", code); }

double errorStandIn(std::uint8_t code) { return std::strtod(errorStandInText(code).c_str(), nullptr); }

namespace {

// Each formula of each sheet, with its tokens (an array formula's those of its array).
void forEachFormula(std::string_view stream,
                    const std::function<void(const std::u16string& sheet, CellAt at, std::string_view tokens,
                                             bool shared, bool array)>& each)
{
    if (!isBiff8(stream))
        return;
    const Layout l = layoutOf(stream);
    for (const auto& sheet : l.sheets) {
        const auto name = readableSheetName(stream, l, sheet);
        if (!name)
            continue;
        const SheetCells cells = cellsOf(stream, l, sheet);
        for (const auto& f : cells.formulas) {
            std::optional<std::string_view> tokens = cells.effective(f);
            bool array = false;
            if (!tokens && f.shared) {
                const auto a = cells.arrays.find(*f.shared);
                if (a == cells.arrays.end())
                    continue;
                tokens = a->second;
                array = true;
            }
            if (tokens && !isOneError(*tokens))
                each(*name, f.at, *tokens, f.shared.has_value(), array);
        }
    }
}

// The functions of no arguments a tFunc token calls: NA, PI, TRUE, FALSE, RAND, NOW, TODAY.
bool takesNoArguments(std::uint32_t function)
{
    for (const std::uint32_t f : {10u, 19u, 34u, 35u, 63u, 74u, 221u})
        if (function == f)
            return true;
    return false;
}

// The operands of `rgce` in the order the formula is written, or none for a token not read here.
std::optional<std::vector<FormulaOperand>> operandsOf(std::string_view rgce)
{
    using Kind = FormulaOperand::Kind;
    std::vector<FormulaOperand> operands;
    const auto others = [&](std::size_t n) { operands.insert(operands.end(), n, FormulaOperand{}); };
    std::size_t p = 0;
    while (p < rgce.size()) {
        const auto id = static_cast<std::uint8_t>(rgce[p]);
        const std::uint8_t kind = id < 0x20 ? id : static_cast<std::uint8_t>((id & 0x1F) | 0x20);
        std::size_t length = 0;
        const auto has = [&](std::size_t n) { return p + n <= rgce.size(); };
        switch (kind) {
        case 0x16: // an argument left empty
            operands.push_back({Kind::Missing, 0});
            length = 1;
            break;
        case 0x17:
            if (!has(3))
                return std::nullopt;
            length = 3 + static_cast<std::uint8_t>(rgce[p + 1]) * ((rgce[p + 2] & 1) ? 2u : 1u);
            others(1);
            break;
        case 0x19:
            if (!has(4))
                return std::nullopt;
            length = 4 + ((rgce[p + 1] & 0x04) ? (u16(rgce, p + 2) + 1) * 2 : 0);
            break;
        case kErrToken:
            if (!has(2))
                return std::nullopt;
            operands.push_back({Kind::Error, static_cast<std::uint8_t>(rgce[p + 1])});
            length = 2;
            break;
        case 0x21:
            if (!has(3))
                return std::nullopt;
            if (takesNoArguments(u16(rgce, p + 1)))
                operands.push_back({Kind::Call, 0});
            length = 3;
            break;
        case 0x22:
            // A function of an add-in takes its name as its first argument, which its text
            // shows as the function's name.
            if (!has(4) || (u16(rgce, p + 2) & 0x7FFF) == 0xFF)
                return std::nullopt;
            if ((rgce[p + 1] & 0x7F) == 0)
                operands.push_back({Kind::Call, 0});
            length = 4;
            break;
        case 0x1D: case 0x1E: case 0x1F: case 0x20: case 0x23: case 0x24: case 0x2A: case 0x2C:
        case 0x39: case 0x3A: case 0x3C:
            length = kind == 0x1D ? 2 : kind == 0x1E ? 3 : kind == 0x1F ? 9 : kind == 0x20 ? 8 : kind >= 0x39 ? 7 : 5;
            others(1);
            break;
        case 0x25: case 0x2B: case 0x2D: case 0x3B: case 0x3D:
            length = kind >= 0x3B ? 11 : 9;
            others(2);
            break;
        case 0x26: case 0x27: case 0x28:
            length = 7;
            break;
        case 0x29: case 0x2E: case 0x2F:
            length = 3;
            break;
        default:
            if (kind < 0x03 || kind > 0x15)
                return std::nullopt;
            length = 1;
        }
        if (!has(length))
            return std::nullopt;
        p += length;
    }
    return operands;
}

} // namespace

std::vector<FormulasNotKept> formulasNotKept(std::string_view original, bool inCopies,
                                             const std::map<std::u16string, std::set<CellAt>>& but)
{
    std::vector<FormulasNotKept> found;
    if (!isBiff8(original))
        return found;
    const Tables tables = tablesOf(original, layoutOf(original));
    const Remap remap{inCopies ? nullptr : &tables, nullptr};
    forEachFormula(original, [&](const std::u16string& sheet, CellAt at, std::string_view tokens, bool shared, bool array) {
        const Tokens t = tokensOf(tokens, at, shared, remap);
        if (!t.error || (!array && t.own))
            return;
        if (const auto skipped = but.find(sheet); skipped != but.end() && skipped->second.count(at))
            return;
        if (found.empty() || found.back().sheet != sheet)
            found.push_back({sheet, 0, at});
        ++found.back().cells;
    });
    return found;
}

ReadAsNothing formulasReadAsNothing(std::string_view stream)
{
    ReadAsNothing found;
    forEachFormula(stream, [&](const std::u16string& sheet, CellAt at, std::string_view tokens, bool shared, bool array) {
        if (tokensOf(tokens, at, shared, Remap()).errorButNA)
            found[sheet][at] = array ? std::nullopt : operandsOf(tokens);
    });
    return found;
}

// A spreadsheet application writes a name that formulas read and the workbook does not define
// (or a function it does not know, =JIS(A1)) as a name of no definition. LibreOffice leaves such
// names out, and the workbook's own formulas reading them would keep what it wrote instead
// (#NAME?): the workbook-wide ones of `original` that `saved` lacks go back after the names it
// has, and into `savedTables`, so that those formulas are written back as they were.
void keepNamesOfNoDefinition(std::string_view original, const Layout& before, const Layout& l, Tables& savedTables,
                             Edits& edits)
{
    // The names go where a workbook has them: after its sheet entries, links and names.
    std::optional<std::size_t> after;
    for (std::size_t i = 1; i < l.globalsEnd; ++i) {
        const auto t = l.records[i].type;
        if (t == kBoundSheet || t == kCountry || t == kSupBook || t == kExternName || t == kExternSheet || t == kName ||
            (t == kContinue && after == i - 1))
            after = i;
    }
    if (!after)
        return;
    std::string back;
    for (std::size_t i = 1; i < before.globalsEnd; ++i) {
        const Record& r = before.records[i];
        const std::string_view b = bodyOf(original, r);
        // A built-in name (a print area, a filter's range) is the program's own, and is left to it.
        constexpr std::uint32_t builtIn = 0x0020;
        if (r.type != kName || b.size() < 15 || (u16(b, 0) & builtIn) != 0 || u16(b, 4) != 0 || u16(b, 8) != 0 ||
            (i + 1 < before.records.size() && before.records[i + 1].type == kContinue))
            continue;
        Tables::Key key(nameOf(b), std::u16string());
        if (savedTables.nameAt.count(key))
            continue;
        savedTables.nameAt.emplace(key, savedTables.names.size());
        savedTables.names.push_back(std::move(key));
        back.append(original.substr(r.offset, 4 + r.size));
    }
    if (!back.empty())
        edits.inserts.emplace_back(l.records[*after].end(), std::move(back));
}

std::string withCellsKept(std::string_view saved, std::string_view original, const CellsBySheet& errorValues,
                          const std::map<std::u16string, std::u16string>& copiedFrom, const HeldFormulas& held)
{
    const Layout l = layoutOf(saved);
    std::optional<Layout> before;
    std::map<std::u16string, std::size_t> beforeSheets;
    if (isBiff8(original)) {
        // A file LibreOffice could read but this cannot keeps what LibreOffice wrote of its formulas.
        try {
            before = layoutOf(original);
        } catch (const VbaProjectError&) {
        }
        for (std::size_t k = 0; before && k < before->sheets.size(); ++k)
            if (auto name = readableSheetName(original, *before, before->sheets[k]))
                beforeSheets.emplace(std::move(*name), k);
    }
    Tables savedTables = tablesOf(saved, l);
    const Tables beforeTables = before ? tablesOf(original, *before) : Tables();
    Edits edits;
    if (before)
        keepNamesOfNoDefinition(original, *before, l, savedTables, edits);
    const Remap remap{&beforeTables, &savedTables};
    static const CellsBySheet::mapped_type none;
    for (const auto& sheet : l.sheets) {
        const auto name = readableSheetName(saved, l, sheet);
        if (!name)
            continue;
        const auto values = errorValues.find(*name);
        const auto& errors = values == errorValues.end() ? none : values->second;
        // A copy made within the workbook has the formulas of the sheet it copies, but its
        // references to sheets and names may stand for its own: those are left as saved.
        const auto from = copiedFrom.find(*name);
        const bool copy = from != copiedFrom.end();
        const auto was = beforeSheets.find(copy ? from->second : *name);
        if (errors.empty() && was == beforeSheets.end() && !held.standIns.count(*name) && !held.results.count(*name))
            continue;
        const SheetCells cells = cellsOf(saved, l, sheet);
        std::optional<SheetCells> old;
        if (was != beforeSheets.end())
            old = cellsOf(original, *before, before->sheets[was->second]);

        const auto heldIns = held.standIns.find(*name);
        const auto heldResults = held.results.find(*name);
        const std::set<CellAt> noCells;
        const std::map<CellAt, FormulaResult> noResults;
        const auto& standIns = heldIns == held.standIns.end() ? noCells : heldIns->second;
        const auto& results = heldResults == held.results.end() ? noResults : heldResults->second;

        // The record each formula cell becomes, if it changes; those whose tokens stay and whose
        // result changes apart.
        std::map<std::size_t, std::string> put, reresulted;
        // By formula record: where its saved text result's records are, and the records of
        // the result it gets instead.
        std::map<std::size_t, std::pair<std::pair<std::size_t, std::size_t>, std::string>> texts;
        for (const auto& f : cells.formulas) {
            const auto tokens = cells.effective(f);
            if (!tokens)
                continue;
            const std::string_view body = bodyOf(saved, l.records[f.record]);
            const bool errorResult = u16(body, kResult + 6) == 0xFFFF && body[kResult] == 2;
            if (const auto error = errors.find(f.at); error != errors.end()) {
                if (errorResult && isOneError(*tokens))
                    put[f.record] = record(kBoolErr, std::string(body.substr(0, 6)) +
                                                         (error->second == kErrorAsSaved ? body[kResult + 2]
                                                                                         : static_cast<char>(error->second)) +
                                                         '\x01');
                continue;
            }
            // The saved cell's format with `own` tokens as the cell's own, and `rgcb`, what
            // the tokens keep beside them.
            const auto rebuilt = [&](const std::string& own, std::string_view rgcb) {
                std::string r(body.substr(0, kTokenCount));
                put16(r, kFlags, u16(r, kFlags) & ~kSharedFlag);
                put32(r, kFlags + 2, 0);
                return r + le16(static_cast<std::uint32_t>(own.size())) + own + std::string(rgcb);
            };
            // A formula of the workbook's own sheets is put back as it was, where it reads
            // nothing but the workbook's cells and names: LibreOffice reads an error constant
            // inside a formula as nothing and writes the formula as #N/A, writes some functions
            // (ERROR.TYPE) as calls of names, and drops names it cannot read from the formulas
            // using them; the cells such formulas read did not move.
            if (old) {
                // LibreOffice reads a boolean value as the formula =TRUE() and writes it so.
                const auto value = old->booleans.find(f.at);
                if (value != old->booleans.end() && *tokens == std::string("\x1D", 1) + value->second) {
                    put[f.record] = record(kBoolErr, std::string(body.substr(0, 6)) + value->second + '\0');
                    continue;
                }
                const auto it = old->byCell.find(f.at);
                const auto oldTokens = it == old->byCell.end() ? std::nullopt : old->effective(old->formulas[it->second]);
                const Tokens t = oldTokens ? tokensOf(*oldTokens, f.at, old->formulas[it->second].shared.has_value(),
                                                      copy ? Remap() : remap)
                                           : Tokens();
                if (t.own && (f.shared || *t.own != *tokens)) {
                    // Their result goes with them (LibreOffice writes that of what it wrote), a
                    // text followed by its STRING record.
                    std::string r = rebuilt(*t.own, {});
                    const std::size_t oldRecord = old->formulas[it->second].record;
                    const std::string_view oldBody = bodyOf(original, before->records[oldRecord]);
                    const auto [oldFrom, oldEnd] = textRecordsOf(*before, oldRecord);
                    std::string text;
                    if (!isText(body) && isText(oldBody) && oldFrom < oldEnd)
                        text = original.substr(before->records[oldFrom].offset,
                                               before->records[oldEnd - 1].offset + 4 + before->records[oldEnd - 1].size -
                                                   before->records[oldFrom].offset);
                    if (!isText(body) && (!isText(oldBody) || !text.empty()))
                        r.replace(kResult, 8, oldBody.substr(kResult, 8));
                    put[f.record] = record(kFormula, r) + text;
                    continue;
                }
            }
            const auto result = results.find(f.at);
            const auto withResult = [&](std::string r) {
                // A result the office could not say as an .xls has it (an error of its own) is
                // left as saved, unless it is a stand-in: then it is #N/A.
                if (result == results.end()) {
                    if (u16(body, kResult + 6) != 0xFFFF && holdsStandIn(body.substr(kResult, 8)))
                        r.replace(kResult, 8, resultBytes({FormulaResult::Kind::Error, 0, {}, 0x2A}, false).first);
                    return r;
                }
                const auto [bytes, text] = resultBytes(result->second, body[kResult] == 1 && u16(body, kResult + 6) == 0xFFFF);
                r.replace(kResult, 8, bytes);
                texts[f.record] = {textRecordsOf(l, f.record), text};
                return r;
            };
            if (standIns.count(f.at)) {
                const Tokens t = tokensOf(*tokens, f.at, f.shared.has_value(), Remap{nullptr, nullptr, true}, true);
                if (t.own && t.standIns)
                    put[f.record] = record(kFormula, withResult(rebuilt(*t.own, f.shared ? std::string_view()
                                                                                     : body.substr(kTokens + f.tokens.size()))));
            } else if (result != results.end()) {
                reresulted[f.record] = record(kFormula, withResult(std::string(body)));
            }
        }
        // A shared formula follows the record of its first cell: that cell changes only with
        // every cell using it, and the shared formula then goes. LibreOffice shares a formula
        // between cells of the same formula, which all change or none.
        std::map<CellAt, bool> allChange;
        for (const auto& f : cells.formulas)
            if (f.shared) {
                const auto [it, added] = allChange.emplace(*f.shared, true);
                it->second = it->second && put.count(f.record) > 0;
            }
        for (const auto& [first, recordIndex] : cells.groupRecord) {
            const auto base = cells.byCell.find(first);
            if (base == cells.byCell.end())
                continue;
            if (allChange[first])
                edits.replaced[recordIndex] = std::string();
            else
                put.erase(cells.formulas[base->second].record);
        }
        // A formula saved with a stand-in must not stay so, in its tokens or in what they keep
        // beside them (an array's values).
        for (const auto& at : standIns) {
            const auto f = cells.byCell.find(at);
            if (f == cells.byCell.end())
                continue;
            const std::size_t index = cells.formulas[f->second].record;
            const auto tokens = cells.effective(cells.formulas[f->second]);
            const auto kept = put.find(index);
            // What follows a record's result: its tokens and what they keep beside them.
            const auto afterResult = [](std::string_view record) { return record.substr(std::min(record.size(), 4 + kTokens)); };
            if (kept != put.end() ? holdsStandIn(afterResult(kept->second))
                                  : !tokens || holdsStandIn(afterResult(saved.substr(l.records[index].offset,
                                                                                    4 + l.records[index].size))) ||
                                        holdsStandIn(*tokens) || isOneError(*tokens))
                throw VbaProjectError(fmt::format("the formula of {} in the sheet \"{}\" holds an error constant that "
                                                  "could not be written back",
                                                  cellName(at), utf8Of(*name)));
        }
        for (auto& [index, bytes] : put)
            edits.replaced[index] = std::move(bytes);
        for (auto& [index, bytes] : reresulted)
            edits.replaced.emplace(index, std::move(bytes));
        // A new result's text follows the formula, or the shared formula, array or table it
        // starts where that stays; the saved result's text goes.
        for (const auto& [formula, text] : texts) {
            if (!edits.replaced.count(formula))
                continue;
            const auto [textFrom, textEnd] = text.first;
            for (std::size_t k = textFrom; k < textEnd; ++k)
                edits.replaced[k] = std::string();
            std::size_t after = textFrom - 1;
            while (after > formula && edits.replaced.count(after) && edits.replaced[after].empty())
                --after;
            if (!edits.replaced.count(after))
                edits.replaced[after] = std::string(saved.substr(l.records[after].offset, 4 + l.records[after].size));
            edits.replaced[after] += text.second;
        }
    }
    if (edits.replaced.empty())
        return std::string(saved);
    return withEdits(saved, l, std::move(edits), "the cells' values");
}

void keepCells(const std::filesystem::path& original, const std::filesystem::path& saved, const CellsBySheet& errorValues,
               const std::map<std::u16string, std::u16string>& copiedFrom, const HeldFormulas& held)
{
    std::string before;
    if (!original.empty()) {
        try {
            before = workbookStreamOf(original);
        } catch (const VbaProjectError&) {
            // An older .xls (BIFF5 and before): LibreOffice wrote its formulas anew.
        }
    }
    rewriteWorkbookStream(saved, [&](std::string stream) { return withCellsKept(stream, before, errorValues, copiedFrom, held); });
}

std::vector<FormulasNotKept> formulasNotKeptInFile(const std::filesystem::path& xls, bool inCopies,
                                                   const std::map<std::u16string, std::set<CellAt>>& but)
{
    try {
        return formulasNotKept(workbookStreamOf(xls), inCopies, but);
    } catch (const VbaProjectError&) {
        return {};
    }
}

ReadAsNothing formulasReadAsNothingInFile(const std::filesystem::path& xls)
{
    try {
        return formulasReadAsNothing(workbookStreamOf(xls));
    } catch (const VbaProjectError&) {
        return {};
    }
}


std::optional<std::string> withErrorConstants(std::string_view formula, const std::vector<FormulaOperand>& operands)
{
    // The operands of the text in order: an empty one (with where its constant goes), a call of
    // no arguments (its name, and where a constant goes: between its parentheses), or another.
    enum class Seen { Empty, Call, Other };
    struct Item {
        Seen seen;
        std::size_t at;
        std::string_view name;
    };
    std::vector<Item> items;
    const auto isOperator = [](char c) { return std::string_view("+-*/^&=<>%!~:;(){}\" ").find(c) != std::string_view::npos; };
    const auto errorAt = [&](std::size_t at) -> std::size_t {
        for (const auto& e : kErrorConstants)
            if (formula.substr(at, std::strlen(e.text)) == e.text)
                return std::strlen(e.text);
        return 0;
    };
    // Past a text or a name in quotes starting at `at`, whose quote is doubled inside.
    const auto pastQuoted = [&](std::size_t at) {
        const char quote = formula[at];
        for (++at; at < formula.size(); ++at) {
            if (formula[at] != quote)
                continue;
            if (at + 1 < formula.size() && formula[at + 1] == quote)
                ++at;
            else
                return at + 1;
        }
        return at;
    };
    const std::size_t start = !formula.empty() && formula[0] == '=' ? 1 : 0;
    bool expecting = true;
    std::size_t i = start;
    while (i < formula.size()) {
        const char c = formula[i];
        if (c == ' ' || c == '%') {
            ++i;
        } else if (c == '"' || c == '{') {
            // A text, or an array constant, which holds no operand of the formula's own.
            const std::size_t from = i;
            if (c == '"') {
                i = pastQuoted(i);
            } else {
                while (i < formula.size() && formula[i] != '}')
                    i = formula[i] == '"' ? pastQuoted(i) : i + 1;
                ++i;
            }
            items.push_back({Seen::Other, from, {}});
            expecting = false;
        } else if (c == '(') {
            expecting = true;
            ++i;
        } else if (c == ')' || c == ';') {
            if (expecting)
                items.push_back({Seen::Empty, i, {}});
            expecting = c == ';';
            ++i;
        } else if (c == '}') {
            return std::nullopt;
        } else if (isOperator(c)) {
            // A sign stands before an operand; any other operator after one.
            if (expecting && c != '+' && c != '-')
                items.push_back({Seen::Empty, i, {}});
            expecting = true;
            ++i;
        } else {
            // A reference, a name, a number, an error or a function's name.
            const std::size_t from = i;
            while (i < formula.size()) {
                const char d = formula[i];
                if (d == '\'') {
                    i = pastQuoted(i);
                } else if (d == '#' && errorAt(i) > 0) {
                    i += errorAt(i);
                } else if ((d == '+' || d == '-') && (formula[i - 1] == 'E' || formula[i - 1] == 'e') &&
                           std::isdigit(static_cast<unsigned char>(formula[from]))) {
                    ++i; // a number's exponent
                } else if (isOperator(d)) {
                    break;
                } else {
                    ++i;
                }
            }
            std::size_t open = i;
            while (open < formula.size() && formula[open] == ' ')
                ++open;
            if (open < formula.size() && formula[open] == '(') {
                std::size_t close = open + 1;
                while (close < formula.size() && formula[close] == ' ')
                    ++close;
                if (close < formula.size() && formula[close] == ')') {
                    items.push_back({Seen::Call, close, formula.substr(from, i - from)});
                    i = close + 1;
                    expecting = false;
                } else {
                    i = open + 1;
                    expecting = true;
                }
                continue;
            }
            items.push_back({Seen::Other, from, {}});
            expecting = false;
        }
    }
    if (expecting && formula.size() > start)
        items.push_back({Seen::Empty, formula.size(), {}});
    if (items.size() != operands.size())
        return std::nullopt;

    // Each operand of the text must be what the tokens say it was: a constant read as nothing
    // an empty operand or an empty call, #N/A a call of NA.
    using Kind = FormulaOperand::Kind;
    std::vector<std::pair<std::size_t, const char*>> constants;
    for (std::size_t k = 0; k < items.size(); ++k) {
        const Item& item = items[k];
        const FormulaOperand& o = operands[k];
        const bool lost = o.kind == Kind::Error && o.error != 0x2A;
        const bool fits = item.seen == Seen::Other   ? o.kind == Kind::Other
                          : item.seen == Seen::Empty ? lost || o.kind == Kind::Missing
                                                     : o.kind != Kind::Error || lost || item.name == "NA";
        if (!fits)
            return std::nullopt;
        if (!lost)
            continue;
        const auto text = std::find_if(std::begin(kErrorConstants), std::end(kErrorConstants),
                                       [&](const ErrorConstant& e) { return e.code == o.error; });
        if (text == std::end(kErrorConstants))
            return std::nullopt;
        constants.emplace_back(item.at, text->text);
    }
    if (constants.empty())
        return std::nullopt;
    std::string out;
    std::size_t from = 0;
    for (const auto& [at, text] : constants) {
        out.append(formula.substr(from, at - from));
        out += text;
        from = at;
    }
    out.append(formula.substr(from));
    return out;
}
} // namespace tessaro
