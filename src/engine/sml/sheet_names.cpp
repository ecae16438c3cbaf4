// SPDX-License-Identifier: MIT
#include "engine/sml/sheet_names.h"

#include "engine/sml/formula_refs.h"
#include "engine/xml/xml_scanner.h"
#include "platform/copy_naming.h"

#include <fmt/format.h>
#include <utf8proc.h>

namespace tessaro::xlsx {
namespace {

// Decodes one UTF-8 sequence; invalid bytes come back as themselves so folding never
// loses them.
char32_t decodeOne(std::string_view s, std::size_t& i)
{
    auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    std::size_t extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    if (extra == 0 || i + extra >= s.size()) {
        ++i;
        return 0xDC00u + c;  // a lone byte, kept distinct from real characters
    }
    char32_t cp = c & (0x3Fu >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        auto cc = static_cast<unsigned char>(s[i + k]);
        if ((cc & 0xC0) != 0x80) {
            ++i;
            return 0xDC00u + c;
        }
        cp = (cp << 6) | (cc & 0x3Fu);
    }
    i += extra + 1;
    return cp;
}

// Simple case folding, one code point to one: what Unicode defines for comparing text
// without regard to case, in every script that has case. Full folding (German sharp s to
// "ss", ligatures to their letters) is left out on purpose: a name of one character must
// not equal a name of two, since applications compare names character by character.
// utf8proc offers only the full folding; where that yields more than one code point, the
// simple folding is the lowercase letter (capital sharp s to sharp s, Greek capitals with
// prosgegrammeni to their small forms), except for the capital I with dot above, which has
// no simple folding outside Turkic rules and so stays itself.
char32_t foldChar(char32_t c)
{
    if (c >= 0x110000 || (c >= 0xD800 && c < 0xE000))
        return c;  // not a character (a lone byte kept as itself): nothing to fold
    const auto cp = static_cast<utf8proc_int32_t>(c);
    utf8proc_int32_t folded[4];
    int boundary = 0;
    const utf8proc_ssize_t n = utf8proc_decompose_char(cp, folded, 4, UTF8PROC_CASEFOLD, &boundary);
    if (n == 1)
        return static_cast<char32_t>(folded[0]);
    if (c == 0x130)
        return c;
    return static_cast<char32_t>(utf8proc_tolower(cp));
}

bool isPlainFirst(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '_'; }
bool isPlainRest(char c) { return isPlainFirst(c) || (c >= '0' && c <= '9') || c == '.'; }

// Characters that end an unquoted sheet name in a formula.
bool endsUnquotedName(char c)
{
    switch (c) {
    case ' ': case '\t': case '\r': case '\n': case '!': case '(': case ')': case ',': case ':': case '=':
    case '+': case '-': case '*': case '/': case '^': case '&': case '<': case '>': case ';': case '{':
    case '}': case '"': case '\'': case '[': case ']': case '%':
        return true;
    default:
        return false;
    }
}

// A formula in R1C1 style would read R, C, R1, C1, RC, R1C1 and the like as cells.
bool looksLikeR1C1Reference(std::string_view s)
{
    std::size_t k = 0;
    auto digits = [&]() {
        while (k < s.size() && s[k] >= '0' && s[k] <= '9')
            ++k;
    };
    if (k < s.size() && (s[k] == 'R' || s[k] == 'r')) {
        ++k;
        digits();
    }
    if (k < s.size() && (s[k] == 'C' || s[k] == 'c')) {
        ++k;
        digits();
    }
    return k == s.size() && k > 0;
}

} // namespace

std::string foldSheetName(std::string_view utf8)
{
    std::string out;
    out.reserve(utf8.size());
    std::size_t i = 0;
    while (i < utf8.size()) {
        // Most names are ASCII: their bytes fold as they stand, without decoding.
        if (const auto b = static_cast<unsigned char>(utf8[i]); b < 0x80) {
            out.push_back(static_cast<char>(b >= 'A' && b <= 'Z' ? b + 32 : b));
            ++i;
            continue;
        }
        appendUtf8(out, foldChar(decodeOne(utf8, i)));
    }
    return out;
}

bool sameSheetName(std::string_view a, std::string_view b)
{
    return foldSheetName(a) == foldSheetName(b);
}

std::size_t sheetNameLength(std::string_view utf8)
{
    std::size_t n = 0, i = 0;
    while (i < utf8.size())
        n += decodeOne(utf8, i) >= 0x10000 ? 2 : 1;
    return n;
}

std::optional<std::string> sheetNameProblem(std::string_view name)
{
    if (name.empty())
        return std::string("a sheet has no name");
    if (std::size_t n = sheetNameLength(name); n > kMaxSheetNameLength)
        return fmt::format("the sheet name \"{}\" has {} characters, more than the {} a sheet name may have", name, n,
                           kMaxSheetNameLength);
    if (std::size_t at = name.find_first_of(":\\/?*[]"); at != std::string_view::npos)
        return fmt::format("the sheet name \"{}\" holds the character {}, which a sheet name may not", name, name[at]);
    if (name.front() == '\'' || name.back() == '\'')
        return fmt::format("the sheet name \"{}\" begins or ends with an apostrophe, which a sheet name may not", name);
    return std::nullopt;
}

std::size_t unquoteSheetName(std::string_view formula, std::size_t open, std::string& name)
{
    std::size_t j = open + 1;
    while (j < formula.size()) {
        if (formula[j] == '\'') {
            if (j + 1 < formula.size() && formula[j + 1] == '\'') {
                name.push_back('\'');
                j += 2;
                continue;
            }
            break;
        }
        name.push_back(formula[j]);
        ++j;
    }
    return j;
}

std::string quoteSheetName(std::string_view name)
{
    bool plain = !name.empty() && isPlainFirst(name[0]);
    for (char c : name)
        if (!isPlainRest(c))
            plain = false;
    if (plain) {
        std::string up = foldSheetName(name);
        if (up == "true" || up == "false" || isCellReference(name) || looksLikeR1C1Reference(name))
            plain = false;
    }
    if (plain)
        return std::string(name);
    std::string out = "'";
    for (char c : name) {
        if (c == '\'')
            out += "''";
        else
            out.push_back(c);
    }
    out += "'";
    return out;
}

namespace {

// Just past the string literal that starts at `open` ("" stands for a quote inside).
std::size_t endOfStringLiteral(std::string_view f, std::size_t open)
{
    std::size_t j = open + 1;
    while (j < f.size()) {
        if (f[j] == '"') {
            if (j + 1 < f.size() && f[j + 1] == '"') {
                j += 2;
                continue;
            }
            break;
        }
        ++j;
    }
    return std::min(j + 1, f.size());
}

// Just past the bracket that closes the one at `open`, nested brackets included.
std::size_t endOfBrackets(std::string_view f, std::size_t open)
{
    std::size_t depth = 0, j = open;
    for (; j < f.size(); ++j) {
        if (f[j] == '[')
            ++depth;
        else if (f[j] == ']' && --depth == 0)
            break;
    }
    return std::min(j + 1, f.size());
}

// Whether the unquoted name at `at` ends a span of sheets: "First:Last!A1" spans sheets,
// where "Sheet!A1:Sheet!B2" is a plain range.
bool endsSheetSpan(std::string_view f, std::size_t at)
{
    if (at == 0 || f[at - 1] != ':')
        return false;
    std::size_t k = at - 1;
    while (k > 0 && !endsUnquotedName(f[k - 1]))
        --k;
    return !(k > 0 && f[k - 1] == '!');
}

} // namespace

std::optional<std::string> renameSheetInFormula(std::string_view f, std::string_view from, std::string_view to)
{
    if (f.find('!') == std::string_view::npos)
        return std::nullopt;
    std::string folded = foldSheetName(from);
    std::string replacement = quoteSheetName(to) + "!";
    std::string out;
    out.reserve(f.size() + 16);
    bool changed = false;
    std::size_t i = 0;
    while (i < f.size()) {
        char c = f[i];
        if (c == '"') {
            std::size_t end = endOfStringLiteral(f, i);
            out.append(f.substr(i, end - i));
            i = end;
            continue;
        }
        if (c == '\'') {
            std::string name;
            const std::size_t j = unquoteSheetName(f, i, name);
            std::size_t end = std::min(j + 1, f.size());
            bool isRef = end < f.size() && f[end] == '!';
            bool external = !name.empty() && name[0] == '[';
            bool threeD = name.find(':') != std::string::npos;
            if (isRef && !external && !threeD && foldSheetName(name) == folded) {
                out += replacement;
                i = end + 1;
                changed = true;
            } else {
                out.append(f.substr(i, end - i));
                i = end;
            }
            continue;
        }
        if (c == '[') {
            // Structured references and external book numbers: copied as they are.
            std::size_t end = endOfBrackets(f, i);
            out.append(f.substr(i, end - i));
            i = end;
            // A name right after a book number is an external sheet: copy it too.
            if (end < f.size() && f[end - 1] == ']') {
                std::size_t k = i;
                while (k < f.size() && !endsUnquotedName(f[k]))
                    ++k;
                out.append(f.substr(i, k - i));
                i = k;
            }
            continue;
        }
        if (!endsUnquotedName(c)) {
            std::size_t j = i;
            while (j < f.size() && !endsUnquotedName(f[j]))
                ++j;
            std::string_view run = f.substr(i, j - i);
            bool isRef = j < f.size() && f[j] == '!';
            if (isRef && !endsSheetSpan(f, i) && foldSheetName(run) == folded) {
                out += replacement;
                i = j + 1;
                changed = true;
            } else {
                out.append(run);
                i = j;
            }
            continue;
        }
        out.push_back(c);
        ++i;
    }
    if (!changed)
        return std::nullopt;
    return out;
}

} // namespace tessaro::xlsx
