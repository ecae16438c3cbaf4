// SPDX-License-Identifier: MIT
#include "engine/sml/formula_refs.h"

#include "engine/sml/sheet_names.h"

#include <algorithm>
#include <cctype>

namespace tessaro::xlsx {
namespace {

constexpr long kMaxRow = 1048576;
constexpr long kMaxCol = 16384;

bool isDelimiter(char c)
{
    switch (c) {
    case ' ': case '\t': case '\r': case '\n': case '(': case ')': case ',': case ';': case ':': case '=':
    case '+': case '-': case '*': case '/': case '^': case '&': case '<': case '>': case '{': case '}':
    case '"': case '\'': case '[': case ']': case '!': case '%': case '@': case '#':
        return true;
    default:
        return false;
    }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isLetter(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

std::size_t skipString(std::string_view f, std::size_t i)
{
    std::size_t j = i + 1;
    while (j < f.size()) {
        if (f[j] == '"') {
            if (j + 1 < f.size() && f[j + 1] == '"') {
                j += 2;
                continue;
            }
            return j + 1;
        }
        ++j;
    }
    return f.size();
}

// Past the bracket that closes the one at `i`; an apostrophe escapes the character after it,
// as structured references write "[", "]", "#" and "'" inside column names.
std::size_t skipBrackets(std::string_view f, std::size_t i)
{
    std::size_t depth = 0;
    for (std::size_t j = i; j < f.size(); ++j) {
        char c = f[j];
        if (c == '\'') {
            ++j;
            continue;
        }
        if (c == '[')
            ++depth;
        else if (c == ']' && --depth == 0)
            return j + 1;
    }
    return f.size();
}

std::size_t skipRun(std::string_view f, std::size_t i)
{
    while (i < f.size() && !isDelimiter(f[i]))
        ++i;
    return i;
}

std::size_t skipError(std::string_view f, std::size_t i)
{
    std::size_t j = i + 1;
    while (j < f.size() && (std::isalnum(static_cast<unsigned char>(f[j])) || f[j] == '/' || f[j] == '_'))
        ++j;
    if (j < f.size() && (f[j] == '!' || f[j] == '?'))
        ++j;
    return j;
}

// The end of what follows "!": an error, an area (`A1`, `A1:B2`, `A:B`, `1:2`), a name,
// or a name with a structured reference.
std::size_t skipTarget(std::string_view f, std::size_t i)
{
    if (i >= f.size())
        return i;
    if (f[i] == '#')
        return skipError(f, i);
    std::size_t e = skipRun(f, i);
    if (e < f.size() && f[e] == '[')
        return skipBrackets(f, e);
    if (e < f.size() && f[e] == ':' && e + 1 < f.size() && !isDelimiter(f[e + 1])) {
        std::size_t e2 = skipRun(f, e + 1);
        if (e2 >= f.size() || f[e2] != '!')
            e = e2;
    }
    return e;
}

bool isColumnReference(std::string_view w)
{
    std::size_t i = 0;
    if (i < w.size() && w[i] == '$')
        ++i;
    std::size_t letters = 0;
    while (i < w.size() && isLetter(w[i])) {
        ++i;
        ++letters;
    }
    return letters > 0 && letters <= 3 && i == w.size();
}

bool isNumberStart(char c) { return isDigit(c) || c == '.'; }

// The end of a number at `i`, exponent included (the "+" of 1E+5 is a delimiter).
std::size_t skipNumber(std::string_view f, std::size_t i)
{
    std::size_t j = skipRun(f, i);
    if (j > i && (f[j - 1] == 'E' || f[j - 1] == 'e') && j + 1 < f.size() && (f[j] == '+' || f[j] == '-') &&
        isDigit(f[j + 1]))
        j = skipRun(f, j + 1);
    return j;
}

std::string upper(std::string_view s)
{
    std::string o(s);
    for (char& c : o)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return o;
}

class Translator {
public:
    Translator(std::string_view f, FormulaRules& rules) : f_(f), rules_(rules) {}

    std::optional<std::string> run()
    {
        std::size_t i = 0;
        const std::size_t n = f_.size();
        while (i < n) {
            char c = f_[i];
            if (c == '"') {
                i = skipString(f_, i);
            } else if (c == '{') {
                std::size_t j = i + 1;
                while (j < n && f_[j] != '}')
                    j = f_[j] == '"' ? skipString(f_, j) : j + 1;
                i = std::min(n, j + 1);
            } else if (c == '#') {
                i = skipError(f_, i);
            } else if (c == '\'') {
                i = quoted(i);
            } else if (c == '[') {
                i = bracket(i);
            } else if (!isDelimiter(c)) {
                i = word(i);
            } else {
                ++i;
            }
        }
        if (!changed_)
            return std::nullopt;
        out_.append(f_.substr(copied_));
        return std::move(out_);
    }

private:
    void replace(std::size_t from, std::size_t to, std::string_view text)
    {
        out_.append(f_.substr(copied_, from - copied_));
        out_.append(text);
        copied_ = to;
        changed_ = true;
    }

    // Offers a prefix spanning [from, bang] ("!" included) and skips its target.
    std::size_t offer(std::size_t from, std::size_t bang, PrefixedReference& ref)
    {
        std::size_t end = skipTarget(f_, bang + 1);
        ref.target.assign(f_.substr(bang + 1, end - bang - 1));
        if (auto r = rules_.prefix(ref))
            replace(from, bang + 1, *r);
        return end;
    }

    static void splitSheets(std::string_view sheets, PrefixedReference& ref)
    {
        std::size_t colon = sheets.find(':');
        if (colon == std::string_view::npos) {
            ref.first.assign(sheets);
        } else {
            ref.first.assign(sheets.substr(0, colon));
            ref.last.assign(sheets.substr(colon + 1));
        }
    }

    std::size_t quoted(std::size_t i)
    {
        std::string inner;
        const std::size_t close = unquoteSheetName(f_, i, inner);  // the closing apostrophe
        if (close + 1 >= f_.size() || f_[close + 1] != '!')
            return std::min(f_.size(), close + 1);
        PrefixedReference ref;
        std::string_view rest = inner;
        if (!rest.empty() && rest.front() == '[') {
            std::size_t b = rest.find(']');
            if (b != std::string_view::npos) {
                ref.book.emplace(rest.substr(1, b - 1));
                rest.remove_prefix(b + 1);
            }
        }
        splitSheets(rest, ref);
        return offer(i, close + 1, ref);
    }

    std::size_t bracket(std::size_t i)
    {
        std::size_t j = i + 1;
        while (j < f_.size() && isDigit(f_[j]))
            ++j;
        if (j > i + 1 && j < f_.size() && f_[j] == ']') {
            PrefixedReference ref;
            ref.book.emplace(f_.substr(i + 1, j - i - 1));
            std::size_t k = j + 1;
            if (k < f_.size() && f_[k] == '!')
                return offer(i, k, ref);
            if (k < f_.size() && !isDelimiter(f_[k])) {
                std::size_t e = skipRun(f_, k);
                std::size_t bang = e;
                std::string_view sheets = f_.substr(k, e - k);
                if (e < f_.size() && f_[e] == ':' && e + 1 < f_.size() && !isDelimiter(f_[e + 1])) {
                    std::size_t e2 = skipRun(f_, e + 1);
                    if (e2 < f_.size() && f_[e2] == '!') {
                        sheets = f_.substr(k, e2 - k);
                        bang = e2;
                    }
                }
                if (bang < f_.size() && f_[bang] == '!') {
                    splitSheets(sheets, ref);
                    return offer(i, bang, ref);
                }
                return e;
            }
            return k;
        }
        // A structured reference without a table name ([@Amount] inside a table).
        return skipBrackets(f_, i);
    }

    // The end of a reference without a prefix whose first run is [i, j): a cell, or two cells,
    // columns or rows joined by a colon.
    std::optional<std::size_t> areaEnd(std::size_t i, std::size_t j) const
    {
        const auto isRow = [](std::string_view s) {
            if (!s.empty() && s.front() == '$')
                s.remove_prefix(1);
            return !s.empty() && s.size() <= 7 && std::all_of(s.begin(), s.end(), isDigit);
        };
        const std::string_view w = f_.substr(i, j - i);
        const bool cell = isCellReference(w);
        if (!cell && !isColumnReference(w) && !isRow(w))
            return std::nullopt;
        if (j + 1 < f_.size() && f_[j] == ':' && !isDelimiter(f_[j + 1])) {
            const std::size_t e = skipRun(f_, j + 1);
            const std::string_view v = f_.substr(j + 1, e - j - 1);
            if (cell ? isCellReference(v) : isRow(w) ? isRow(v) : isColumnReference(v))
                return e;
        }
        return cell ? std::optional<std::size_t>(j) : std::nullopt;
    }

    std::size_t word(std::size_t i)
    {
        if (isNumberStart(f_[i]) && !(i > 0 && f_[i - 1] == '$')) {
            const std::size_t j = skipNumber(f_, i);
            if (const auto end = areaEnd(i, j); end && *end > j) {
                rules_.area(f_.substr(i, *end - i));
                return *end;
            }
            return j;
        }
        std::size_t j = skipRun(f_, i);
        std::string_view w = f_.substr(i, j - i);
        if (j < f_.size() && f_[j] == '!') {
            PrefixedReference ref;
            ref.first.assign(w);
            return offer(i, j, ref);
        }
        if (j < f_.size() && f_[j] == ':' && j + 1 < f_.size() && !isDelimiter(f_[j + 1]) && !isNumberStart(f_[j + 1])) {
            std::size_t e2 = skipRun(f_, j + 1);
            if (e2 < f_.size() && f_[e2] == '!') {
                PrefixedReference ref;
                ref.first.assign(w);
                ref.last.assign(f_.substr(j + 1, e2 - j - 1));
                return offer(i, e2, ref);
            }
        }
        if (j < f_.size() && f_[j] == '[') {
            std::size_t end = skipBrackets(f_, j);
            if (auto r = rules_.table(w, f_.substr(j, end - j)))
                replace(i, end, *r);
            return end;
        }
        if (j < f_.size() && f_[j] == '(')
            return j;
        if (const auto end = areaEnd(i, j)) {
            rules_.area(f_.substr(i, *end - i));
            return *end;
        }
        bool nextToColon = (j < f_.size() && f_[j] == ':') || (i > 0 && f_[i - 1] == ':');
        if (nextToColon && isColumnReference(w))
            return j;
        std::string up = upper(w);
        if (up == "TRUE" || up == "FALSE")
            return j;
        if (auto r = rules_.name(w))
            replace(i, j, *r);
        return j;
    }

    std::string_view f_;
    FormulaRules& rules_;
    std::string out_;
    std::size_t copied_ = 0;
    bool changed_ = false;
};

} // namespace

std::optional<std::string> translateFormula(std::string_view formula, FormulaRules& rules)
{
    return Translator(formula, rules).run();
}

std::string externalPrefix(std::string_view book, std::string_view first, std::string_view last)
{
    std::string b = "[" + std::string(book) + "]";
    if (first.empty())
        return b + "!";
    bool quote = quoteSheetName(first) != first || (!last.empty() && quoteSheetName(last) != last);
    std::string sheets(first);
    if (!last.empty())
        sheets += ":" + std::string(last);
    if (!quote)
        return b + sheets + "!";
    std::string out = "'" + b;
    for (char c : sheets) {
        if (c == '\'')
            out += "''";
        else
            out.push_back(c);
    }
    return out + "'!";
}

long columnNumber(std::string_view letters)
{
    long n = 0;
    for (char c : letters) {
        if (!isLetter(c))
            return 0;
        n = n * 26 + (std::toupper(static_cast<unsigned char>(c)) - 'A' + 1);
        if (n > kMaxCol)
            return 0;
    }
    return n;
}

std::string columnLetters(long column)
{
    std::string out;
    while (column > 0) {
        long r = (column - 1) % 26;
        out.insert(out.begin(), static_cast<char>('A' + r));
        column = (column - 1) / 26;
    }
    return out;
}

bool parseCell(std::string_view text, long& row, long& col)
{
    std::size_t i = 0;
    if (i < text.size() && text[i] == '$')
        ++i;
    std::size_t start = i;
    while (i < text.size() && isLetter(text[i]))
        ++i;
    col = columnNumber(text.substr(start, i - start));
    if (col == 0)
        return false;
    if (i < text.size() && text[i] == '$')
        ++i;
    if (i >= text.size())
        return false;
    row = 0;
    for (; i < text.size(); ++i) {
        if (!isDigit(text[i]))
            return false;
        row = row * 10 + (text[i] - '0');
        if (row > kMaxRow)
            return false;
    }
    return row >= 1;
}

std::optional<CellArea> parseArea(std::string_view text)
{
    auto strip = [](std::string_view s) {
        std::string o;
        for (char c : s)
            if (c != '$')
                o.push_back(c);
        return o;
    };
    std::size_t colon = text.find(':');
    std::string a = strip(text.substr(0, colon));
    std::string b = colon == std::string_view::npos ? a : strip(text.substr(colon + 1));
    CellArea out;
    long r1, c1, r2, c2;
    if (parseCell(a, r1, c1) && parseCell(b, r2, c2)) {
        out = {std::min(r1, r2), std::min(c1, c2), std::max(r1, r2), std::max(c1, c2)};
        return out;
    }
    if (colon == std::string_view::npos)
        return std::nullopt;
    if (long x = columnNumber(a), y = columnNumber(b); x > 0 && y > 0) {
        out = {1, std::min(x, y), kMaxRow, std::max(x, y)};
        return out;
    }
    auto rowOf = [](const std::string& s) -> long {
        if (s.empty() || s.size() > 7)
            return 0;
        long v = 0;
        for (char c : s) {
            if (!isDigit(c))
                return 0;
            v = v * 10 + (c - '0');
        }
        return v <= kMaxRow ? v : 0;
    };
    if (long x = rowOf(a), y = rowOf(b); x > 0 && y > 0) {
        out = {std::min(x, y), 1, std::max(x, y), kMaxCol};
        return out;
    }
    return std::nullopt;
}

bool isCellReference(std::string_view w)
{
    std::size_t i = 0;
    if (i < w.size() && w[i] == '$')
        ++i;
    std::size_t letters = 0;
    while (i < w.size() && isLetter(w[i])) {
        ++i;
        ++letters;
    }
    if (letters == 0 || letters > 3)
        return false;
    if (i < w.size() && w[i] == '$')
        ++i;
    std::size_t digits = 0;
    while (i < w.size() && isDigit(w[i])) {
        ++i;
        ++digits;
    }
    return digits > 0 && i == w.size();
}

} // namespace tessaro::xlsx
