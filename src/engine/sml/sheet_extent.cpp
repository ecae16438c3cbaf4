// SPDX-License-Identifier: MIT
#include "engine/sml/sheet_extent.h"

#include "engine/sml/formula_refs.h"
#include "engine/sml/shared_strings.h"
#include "engine/sml/workbook.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"
#include "platform/engine_error.h"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace tessaro::xlsx {

namespace {

std::uint64_t charactersIn(std::string_view utf8)
{
    std::uint64_t n = 0;
    for (char c : utf8)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    return n;
}

std::uint64_t number(std::string_view text)
{
    std::uint64_t v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    return v;
}

// Characters of a shared-string item's text, its runs' text joined.
std::uint64_t itemCharacters(const std::string& item)
{
    std::uint64_t n = 0;
    XmlScanner scanner;
    XmlToken token;
    std::size_t pos = 0;
    int inText = 0;
    while (scanner.next(item, pos, true, token) == XmlScanner::Result::Token) {
        if (token.kind == XmlToken::Kind::StartTag && token.localName() == "t" && !token.selfClosing)
            ++inText;
        else if (token.kind == XmlToken::Kind::EndTag && token.localName() == "t")
            inText = std::max(0, inText - 1);
        else if (inText > 0 && (token.kind == XmlToken::Kind::Text || token.kind == XmlToken::Kind::CData))
            n += charactersIn(token.kind == XmlToken::Kind::Text ? decodeXml(token.raw) : std::string(token.raw));
    }
    return n;
}

// What a formula reads that LibreOffice cannot carry into every format: another workbook
// (`[1]Rates!C4`, `[2]!Total`; `[0]` is the workbook itself), or cells an .xls cannot hold.
class FormulaReach final : public FormulaRules {
public:
    explicit FormulaReach(bool array) : array_(array) {}

    bool otherBook = false;
    bool beyondXls = false;

    std::optional<std::string> prefix(const PrefixedReference& ref) override
    {
        if (ref.book && *ref.book != "0")
            otherBook = true;
        else
            area(ref.target);
        return std::nullopt;
    }
    std::optional<std::string> table(std::string_view, std::string_view) override { return std::nullopt; }
    std::optional<std::string> name(std::string_view) override { return std::nullopt; }

    // LibreOffice writes a reference into an .xls as #REF! where it reaches past column IV or
    // row 65,536, unless it spans every row (a whole column) or every column (whole rows) and
    // not both; whole rows it writes as #REF! in an array formula too.
    void area(std::string_view text) override
    {
        const auto a = parseArea(text);
        if (!a)
            return;
        const bool allRows = a->firstRow == 1 && a->lastRow == 1048576;
        const bool allColumns = a->firstCol == 1 && a->lastCol == 16384;
        if (allRows && allColumns)
            beyondXls = true;
        else if (allRows)
            beyondXls = beyondXls || a->lastCol > 256;
        else if (allColumns)
            beyondXls = beyondXls || a->lastRow > 65536 || array_;
        else if (a->lastRow > 65536 || a->lastCol > 256)
            beyondXls = true;
        else
            keepCorners(text);
    }

    // The cells a reference's corners name, for a shared formula's other cells, which read them
    // moved by their distance from its first cell where they are relative.
    struct Corner {
        long row, column;
        bool rowFixed, columnFixed;
    };
    std::vector<Corner> corners;

    // Whether the formula, moved down by `rows` and right by `columns`, reads past an .xls sheet.
    bool beyondXlsMoved(long rows, long columns) const
    {
        for (const Corner& c : corners)
            if ((c.rowFixed ? c.row : c.row + rows) > 65536 || (c.columnFixed ? c.column : c.column + columns) > 256)
                return true;
        return false;
    }

private:
    void keepCorners(std::string_view text)
    {
        while (!text.empty()) {
            const std::size_t colon = text.find(':');
            const std::string_view end = text.substr(0, colon);
            long row = 0, column = 0;
            if (parseCell(end, row, column)) {
                const std::size_t digit = end.find_first_of("0123456789");
                corners.push_back({row, column, digit > 0 && end[digit - 1] == '$', end.front() == '$'});
            }
            text = colon == std::string_view::npos ? std::string_view() : text.substr(colon + 1);
        }
    }

    bool array_;
};

// A data table as LibreOffice writes it, one formula per cell: TABLE(formula, input, value) for
// one input, with five arguments for two. With one input, the value's reference is fixed to
// its row when the values run along a row (`C$26`) and to its column when they run down one.
bool isRowInputTable(std::string_view text)
{
    while (!text.empty() && (text.front() == ' ' || text.front() == '='))
        text.remove_prefix(1);
    const auto startsWith = [&](std::string_view head) {
        return text.size() >= head.size() &&
               std::equal(head.begin(), head.end(), text.begin(), [](char a, char b) { return a == (b & ~0x20) || a == b; });
    };
    std::size_t open = 0;
    if (startsWith("TABLE("))
        open = 6;
    else if (startsWith("MULTIPLE.OPERATIONS("))
        open = 20;
    else
        return false;
    std::vector<std::string_view> args;
    int depth = 0;
    std::size_t from = open;
    for (std::size_t i = open; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '(') {
            ++depth;
        } else if (c == ')' && depth-- == 0) {
            args.push_back(text.substr(from, i - from));
            break;
        } else if ((c == ',' || c == ';') && depth == 0) {
            args.push_back(text.substr(from, i - from));
            from = i + 1;
        }
    }
    if (args.size() >= 5)
        return true;
    if (args.size() != 3)
        return false;
    const std::string_view value = args[2];
    for (std::size_t i = 0; i + 1 < value.size(); ++i)
        if (value[i] == '$' && value[i + 1] >= '0' && value[i + 1] <= '9')
            return true;
    return false;
}

bool isTrue(const XmlAttribute* a) { return a && (a->value == "1" || a->value == "true"); }

class Measure {
public:
    explicit Measure(Workbook& book) : book_(book) {}

    void onToken(const XmlToken& t)
    {
        if (t.kind == XmlToken::Kind::StartTag) {
            const std::string_view name = t.localName();
            if (name == "row")
                onRow(t);
            else if (name == "c")
                onCell(t);
            else if ((name == "v" && (cellType_ == "s" || cellType_ == "str" || cellType_ == "e")) ||
                     (name == "t" && cellType_ == "inlineStr"))
                collecting_ = !t.selfClosing;
            else if (name == "f")
                onFormula(t);
        } else if (t.kind == XmlToken::Kind::EndTag) {
            const std::string_view name = t.localName();
            if (name == "v" || name == "t")
                endValue();
            else if (name == "f")
                endFormula();
            else if (name == "c")
                endCell();
        } else if ((collecting_ || inFormula_) && t.kind == XmlToken::Kind::Text) {
            text_ += decodeXml(t.raw);
        } else if ((collecting_ || inFormula_) && t.kind == XmlToken::Kind::CData) {
            text_.append(t.raw.substr(9, t.raw.size() - 12));
        }
    }

    SheetExtent result() const
    {
        SheetExtent e = extent_;
        e.cellFormats = formats_.size();
        return e;
    }

private:
    void onRow(const XmlToken& t)
    {
        const XmlAttribute* r = t.attribute("r");
        row_ = r ? number(r->value) : row_ + 1;
        column_ = 0;
        extent_.rows = std::max<std::uint32_t>(extent_.rows, static_cast<std::uint32_t>(std::min<std::uint64_t>(row_, UINT32_MAX)));
    }

    void onCell(const XmlToken& t)
    {
        if (const XmlAttribute* r = t.attribute("r")) {
            long row = 0, col = 0;
            if (parseCell(r->value, row, col)) {
                column_ = static_cast<std::uint64_t>(col);
                row_ = static_cast<std::uint64_t>(row);
                extent_.rows = std::max<std::uint32_t>(extent_.rows, static_cast<std::uint32_t>(row));
            } else {
                ++column_;
            }
        } else {
            ++column_;
        }
        extent_.columns = std::max<std::uint32_t>(extent_.columns, static_cast<std::uint32_t>(std::min<std::uint64_t>(column_, UINT32_MAX)));
        const XmlAttribute* s = t.attribute("s");
        formats_.insert(s ? number(s->value) : 0);
        const XmlAttribute* type = t.attribute("t");
        cellType_ = type ? std::string(type->value) : std::string();
    }

    std::string cellName() const
    {
        return columnLetters(static_cast<long>(column_)) + std::to_string(row_);
    }

    void onFormula(const XmlToken& t)
    {
        const XmlAttribute* kind = t.attribute("t");
        const XmlAttribute* si = t.attribute("si");
        sharedIndex_ = kind && kind->value == "shared" && si ? std::optional<std::uint64_t>(number(si->value)) : std::nullopt;
        if (kind && kind->value == "dataTable" && (isTrue(t.attribute("dtr")) || isTrue(t.attribute("dt2D"))))
            countRowInputTable();
        array_ = kind && kind->value == "array";
        if (t.selfClosing) {
            // A cell of a shared formula reads what the formula's first cell reads.
            if (sharedIndex_ && externalShared_.count(*sharedIndex_))
                countExternal();
            if (sharedIndex_)
                if (const auto it = beyondXlsShared_.find(*sharedIndex_); it != beyondXlsShared_.end() &&
                    (it->second.beyond || it->second.reach.beyondXlsMoved(static_cast<long>(row_) - it->second.row,
                                                                          static_cast<long>(column_) - it->second.column)))
                    countBeyondXls();
            return;
        }
        inFormula_ = true;
        text_.clear();
    }

    void endFormula()
    {
        if (!inFormula_)
            return;
        inFormula_ = false;
        FormulaReach reach(array_);
        translateFormula(text_, reach);
        if (reach.otherBook) {
            countExternal();
            if (sharedIndex_)
                externalShared_.insert(*sharedIndex_);
        } else if (isRowInputTable(text_)) {
            countRowInputTable();
        }
        if (reach.beyondXls)
            countBeyondXls();
        if (sharedIndex_)
            beyondXlsShared_.insert_or_assign(
                *sharedIndex_, SharedReach{static_cast<long>(row_), static_cast<long>(column_), reach.beyondXls, std::move(reach)});
        text_.clear();
    }

    void endCell()
    {
        cellType_.clear();
    }

    void countExternal()
    {
        if (extent_.externalFormulas++ == 0)
            extent_.firstExternalFormula = cellName();
    }

    void countBeyondXls()
    {
        if (extent_.beyondXlsFormulas++ == 0)
            extent_.firstBeyondXlsFormula = cellName();
    }

    void countRowInputTable()
    {
        if (extent_.rowInputTables++ == 0)
            extent_.firstRowInputTable = cellName();
    }

    void endValue()
    {
        if (!collecting_)
            return;
        collecting_ = false;
        std::uint64_t length = 0;
        if (cellType_ == "e") {
            text_.clear();
            return;
        }
        if (cellType_ == "s") {
            const std::uint64_t index = number(text_);
            SharedStrings& strings = book_.sharedStrings();
            if (index < strings.size())
                length = itemCharacters(strings.canonicalItem(index));
        } else {
            length = charactersIn(text_);
        }
        extent_.longestText = std::max(extent_.longestText, length);
        text_.clear();
    }

    Workbook& book_;
    SheetExtent extent_;
    std::unordered_set<std::uint64_t> formats_;
    std::uint64_t row_ = 0;
    std::uint64_t column_ = 0;
    std::string cellType_;
    bool collecting_ = false;
    bool inFormula_ = false;
    std::optional<std::uint64_t> sharedIndex_;
    bool array_ = false;
    std::unordered_set<std::uint64_t> externalShared_;
    // A shared formula's first cell and what it reads, by the formula's index.
    struct SharedReach {
        long row, column;
        bool beyond;
        FormulaReach reach;
    };
    std::unordered_map<std::uint64_t, SharedReach> beyondXlsShared_;
    std::string text_;
};

// The objects anchored in the sheet's drawing; comments are not among them. A drawing that
// cannot be read counts none: it is the workbook's own affair, not a reason to refuse a copy.
std::uint64_t countDrawingObjects(Workbook& book, std::string_view sheetPart)
{
    std::uint64_t n = 0;
    try {
        Relationships& rels = book.package().relationships(sheetPart);
        const Relationship* r = rels.firstOfType(rel_type::kDrawing);
        if (!r || r->external)
            return 0;
        const std::string part = rels.resolve(*r);
        if (!book.package().hasPart(part))
            return 0;
        pugi::xml_document doc;
        loadXml(doc, book.package().readPart(part), book.displayPath(), part.substr(1));
        for (const pugi::xml_node node : doc.document_element().children()) {
            const std::string_view name = localNameOf(node.name());
            if (name == "twoCellAnchor" || name == "oneCellAnchor" || name == "absoluteAnchor" || name == "AlternateContent")
                ++n;
        }
    } catch (const EngineError&) {
        return 0;
    }
    return n;
}

} // namespace

SheetExtent measureWorksheet(Workbook& book, std::string_view sheetPart)
{
    std::unique_ptr<PartReader> in = book.package().openPart(sheetPart);
    Measure measure(book);
    XmlScanner scanner;
    XmlToken token;
    std::string buffer;
    std::vector<char> chunk(1 << 16);
    std::size_t consumed = 0; // bytes of the part before buffer's start, for error offsets
    bool final = false;
    while (!final) {
        const std::size_t n = in->read(chunk.data(), chunk.size());
        final = n == 0;
        buffer.append(chunk.data(), n);
        std::size_t pos = 0;
        try {
            for (XmlScanner::Result r; (r = scanner.next(buffer, pos, final, token, consumed)) == XmlScanner::Result::Token;) {
                if (token.kind == XmlToken::Kind::Doctype)
                    throw EngineError(ErrorCode::XmlDoctype, book.displayPath(), std::string(sheetPart.substr(1)));
                measure.onToken(token);
            }
        } catch (const XmlSyntaxError& e) {
            throw EngineError(ErrorCode::PartDamaged, book.displayPath(),
                              fmt::format("{} at byte {}: {}", sheetPart.substr(1), e.offset(), e.what()));
        }
        buffer.erase(0, pos);
        consumed += pos;
    }
    SheetExtent extent = measure.result();
    extent.drawingObjects = countDrawingObjects(book, sheetPart);
    return extent;
}

} // namespace tessaro::xlsx
