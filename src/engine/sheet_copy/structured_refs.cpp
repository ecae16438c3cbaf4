// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/structured_refs.h"

#include "engine/sml/formula_refs.h"
#include "engine/sml/sheet_names.h"

#include <algorithm>
#include <cctype>
#include <vector>

namespace tessaro::xlsx {
namespace {

// Unescapes a structured reference item ("Col'[1']" -> "Col[1]").
std::string unescapeItem(std::string_view s)
{
    std::string out;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\'' && i + 1 < s.size())
            ++i;
        out.push_back(s[i]);
    }
    while (!out.empty() && out.front() == ' ')
        out.erase(out.begin());
    while (!out.empty() && out.back() == ' ')
        out.pop_back();
    return out;
}

std::string areaText(const CellArea& a)
{
    std::string first = "$" + columnLetters(a.firstCol) + "$" + std::to_string(a.firstRow);
    if (a.firstRow == a.lastRow && a.firstCol == a.lastCol)
        return first;
    return first + ":$" + columnLetters(a.lastCol) + "$" + std::to_string(a.lastRow);
}

// The items of a structured reference and whether a ':' joins any two of them.
struct SpecItems {
    std::vector<std::string> items;
    bool range = false;
};

SpecItems splitSpec(std::string_view spec)
{
    SpecItems out;
    std::string_view inner = spec.substr(1, spec.size() - 2);
    if (inner.find('[') == std::string_view::npos) {
        if (!inner.empty())
            out.items.push_back(unescapeItem(inner));
        return out;
    }
    std::size_t i = 0;
    while (i < inner.size()) {
        char c = inner[i];
        if (c == '[') {
            std::size_t j = i + 1;
            std::string raw;
            while (j < inner.size() && inner[j] != ']') {
                if (inner[j] == '\'' && j + 1 < inner.size())
                    raw.push_back(inner[j++]);
                raw.push_back(inner[j++]);
            }
            out.items.push_back(unescapeItem(raw));
            i = j + 1;
        } else {
            out.range = out.range || c == ':';
            ++i;
        }
    }
    return out;
}

// What the items ask for: special row sets and columns.
struct Selection {
    bool all = false, headers = false, data = false, totals = false;
    std::vector<std::string> columns;
};

std::optional<Selection> classify(const std::vector<std::string>& items)
{
    Selection sel;
    for (const std::string& it : items) {
        std::string up;
        for (char c : it)
            up.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
        if (it.empty() || it.front() == '@' || up == "#THIS ROW")
            return std::nullopt;
        if (up == "#ALL")
            sel.all = true;
        else if (up == "#HEADERS")
            sel.headers = true;
        else if (up == "#DATA")
            sel.data = true;
        else if (up == "#TOTALS")
            sel.totals = true;
        else if (it.front() == '#')
            return std::nullopt;
        else
            sel.columns.push_back(it);
    }
    return sel;
}

// The rows of `whole` the selection covers; false when the table has none of them.
bool selectRows(const TableFacts& t, const CellArea& whole, const Selection& sel, long& firstRow, long& lastRow)
{
    firstRow = whole.firstRow;
    lastRow = whole.lastRow;
    const long dataFirst = whole.firstRow + t.headerRows, dataLast = whole.lastRow - t.totalsRows;
    if (sel.all) {
        // the whole table
    } else if (sel.headers || sel.totals || sel.data) {
        if ((sel.headers && t.headerRows == 0) || (sel.totals && t.totalsRows == 0))
            return false;
        firstRow = sel.headers ? whole.firstRow : sel.data ? dataFirst : dataLast + 1;
        lastRow = sel.totals ? whole.lastRow : sel.data ? dataLast : whole.firstRow + t.headerRows - 1;
    } else {
        firstRow = dataFirst;
        lastRow = dataLast;
    }
    return lastRow >= firstRow;
}

// The columns of `whole` the selection covers; false when it names a column the table
// lacks, or more than one column without a range.
bool selectColumns(const TableFacts& t, const CellArea& whole, const Selection& sel, bool range, long& firstCol,
                   long& lastCol)
{
    firstCol = whole.firstCol;
    lastCol = whole.lastCol;
    if (sel.columns.empty())
        return true;
    auto indexOf = [&](const std::string& c) -> long {
        for (std::size_t i = 0; i < t.columns.size(); ++i)
            if (foldSheetName(t.columns[i]) == foldSheetName(c))
                return static_cast<long>(i);
        return -1;
    };
    long x = indexOf(sel.columns.front()), y = indexOf(sel.columns.back());
    if (x < 0 || y < 0 || sel.columns.size() > 2 || (sel.columns.size() == 2 && !range))
        return false;
    firstCol = whole.firstCol + std::min(x, y);
    lastCol = whole.firstCol + std::max(x, y);
    return true;
}

} // namespace

std::optional<std::string> structuredReferenceArea(const TableFacts& table, std::string_view spec)
{
    auto whole = parseArea(table.ref);
    if (!whole || spec.size() < 2)
        return std::nullopt;
    const SpecItems items = splitSpec(spec);
    const auto sel = classify(items.items);
    if (!sel)
        return std::nullopt;
    CellArea a{};
    if (!selectRows(table, *whole, *sel, a.firstRow, a.lastRow) ||
        !selectColumns(table, *whole, *sel, items.range, a.firstCol, a.lastCol))
        return std::nullopt;
    return areaText(a);
}

} // namespace tessaro::xlsx
