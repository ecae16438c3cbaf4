// SPDX-License-Identifier: MIT
#include "engine/office/xlsb_print_ranges.h"

#include "engine/zip/little_endian.h"
#include "engine/zip/zip_reader.h"

namespace tessaro::office {

namespace {

namespace fs = std::filesystem;

// Record kinds of an .xlsb workbook stream.
constexpr std::uint32_t kName = 39;
constexpr std::uint32_t kBundleSheet = 156;
constexpr std::uint32_t kSupBookSource = 355;
constexpr std::uint32_t kSupSelf = 357;
constexpr std::uint32_t kSupSame = 358;
constexpr std::uint32_t kSupAddIn = 667;
constexpr std::uint32_t kExternSheet = 362;

constexpr std::uint32_t kBuiltInName = 0x20;
constexpr std::uint32_t kLastRow = 0xFFFFF;
constexpr std::uint32_t kLastColumn = 0x3FFF;
// The stream of a workbook's names and sheet list; its cells are in the sheets' own streams.
constexpr std::uint64_t kStreamLimit = 64ull << 20;

class Reader {
public:
    explicit Reader(std::string_view bytes) : bytes_(bytes) {}
    bool more() const { return at_ < bytes_.size(); }
    bool has(std::size_t n) const { return bytes_.size() - at_ >= n; }
    const unsigned char* here() const { return reinterpret_cast<const unsigned char*>(bytes_.data()) + at_; }
    void skip(std::size_t n) { bytes(n); }
    std::uint8_t u8() { return has(1) ? static_cast<std::uint8_t>(bytes_[at_++]) : (fail(), std::uint8_t{0}); }
    std::uint16_t u16() { return has(2) ? take(xlsx::le16(here()), 2) : (fail(), std::uint16_t{0}); }
    std::uint32_t u32() { return has(4) ? take(xlsx::le32(here()), 4) : (fail(), 0u); }
    // A record's kind or length: seven bits a byte, the high bit saying another byte follows.
    std::uint32_t varint(int maxBytes)
    {
        std::uint32_t v = 0;
        for (int i = 0; i < maxBytes; ++i) {
            const std::uint8_t b = u8();
            v |= static_cast<std::uint32_t>(b & 0x7F) << (7 * i);
            if (!(b & 0x80))
                return v;
        }
        return v;
    }
    std::u16string wide()
    {
        const std::uint32_t n = u32();
        if (ok_ && bytes_.size() - at_ < 2ull * n)
            fail();
        std::u16string s;
        if (!ok_)
            return s;
        s.reserve(n);
        for (std::uint32_t i = 0; i < n; ++i)
            s.push_back(static_cast<char16_t>(u16()));
        return s;
    }
    std::string_view bytes(std::size_t n)
    {
        if (!has(n)) {
            fail();
            return {};
        }
        const std::string_view v = bytes_.substr(at_, n);
        at_ += n;
        return v;
    }
    bool ok() const { return ok_; }

private:
    template <typename T> T take(T v, std::size_t n)
    {
        at_ += n;
        return v;
    }
    void fail()
    {
        ok_ = false;
        at_ = bytes_.size();
    }
    std::string_view bytes_;
    std::size_t at_ = 0;
    bool ok_ = true;
};

struct SheetReference {
    std::uint32_t book = 0;
    std::uint32_t first = 0;
    std::uint32_t last = 0;
};

struct NameRead {
    std::u16string name;
    std::uint32_t sheet = 0;
    std::string_view formula;
};

// The blocks a built-in name's formula reads: areas and cells of other-sheet form, joined by
// unions, possibly inside a reference subexpression; nothing when it holds anything else or
// reads another sheet than `sheet`.
std::optional<std::vector<CellBlock>> blocksOf(std::string_view formula, std::uint32_t sheet,
                                               const std::vector<SheetReference>& sheets,
                                               const std::vector<std::uint32_t>& books)
{
    const auto ownSheet = [&](std::uint16_t ixti) {
        if (ixti >= sheets.size())
            return false;
        const SheetReference& r = sheets[ixti];
        return r.book < books.size() && books[r.book] == kSupSelf && r.first == sheet && r.last == sheet;
    };
    std::vector<CellBlock> blocks;
    Reader f(formula);
    while (f.ok() && f.more()) {
        const std::uint8_t ptg = f.u8();
        switch (ptg) {
        case 0x3B: case 0x5B: case 0x7B: { // an area of a sheet
            const std::uint16_t ixti = f.u16();
            CellBlock b;
            b.firstRow = f.u32();
            b.lastRow = f.u32();
            b.firstColumn = f.u16() & kLastColumn;
            b.lastColumn = f.u16() & kLastColumn;
            if (!f.ok() || !ownSheet(ixti) || b.firstRow > b.lastRow || b.lastRow > kLastRow ||
                b.firstColumn > b.lastColumn)
                return std::nullopt;
            blocks.push_back(b);
            break;
        }
        case 0x3A: case 0x5A: case 0x7A: { // a cell of a sheet
            const std::uint16_t ixti = f.u16();
            CellBlock b;
            b.firstRow = b.lastRow = f.u32();
            b.firstColumn = b.lastColumn = f.u16() & kLastColumn;
            if (!f.ok() || !ownSheet(ixti) || b.firstRow > kLastRow)
                return std::nullopt;
            blocks.push_back(b);
            break;
        }
        case 0x29: case 0x49: case 0x69: // the length of the subexpression that follows
            f.u16();
            break;
        case 0x10: // union
        case 0x15: // parentheses
            break;
        default:
            return std::nullopt;
        }
    }
    if (!f.ok() || blocks.empty())
        return std::nullopt;
    return blocks;
}

} // namespace

std::map<std::u16string, PrintRanges> printRangesOfWorkbookStream(std::string_view stream)
{
    std::vector<std::u16string> sheetNames;
    std::vector<std::uint32_t> books;
    std::vector<SheetReference> sheets;
    std::vector<NameRead> names;
    Reader in(stream);
    while (in.ok() && in.more()) {
        const std::uint32_t kind = in.varint(2);
        const std::uint32_t length = in.varint(4);
        Reader r(in.bytes(length));
        if (!in.ok())
            break;
        switch (kind) {
        case kBundleSheet: {
            r.skip(8); // state and tab id
            const std::uint32_t relationLength = r.u32();
            if (relationLength != 0xFFFFFFFF)
                r.bytes(2ull * relationLength);
            sheetNames.push_back(r.wide());
            break;
        }
        case kSupBookSource:
        case kSupSelf:
        case kSupSame:
        case kSupAddIn:
            books.push_back(kind);
            break;
        case kExternSheet: {
            const std::uint32_t count = r.u32();
            for (std::uint32_t i = 0; i < count && r.ok(); ++i) {
                SheetReference s;
                s.book = r.u32();
                s.first = r.u32();
                s.last = r.u32();
                if (r.ok())
                    sheets.push_back(s);
            }
            break;
        }
        case kName: {
            const std::uint32_t flags = r.u32();
            r.u8(); // shortcut key
            const std::uint32_t sheet = r.u32();
            NameRead n{r.wide(), sheet, {}};
            const std::uint32_t formulaLength = r.u32();
            n.formula = r.bytes(formulaLength);
            if (r.ok() && (flags & kBuiltInName) && sheet != 0xFFFFFFFF)
                names.push_back(n);
            break;
        }
        default:
            break;
        }
    }

    std::map<std::u16string, PrintRanges> ranges;
    for (const NameRead& n : names) {
        if (n.sheet >= sheetNames.size())
            continue;
        const bool area = n.name == u"Print_Area";
        if (!area && n.name != u"Print_Titles")
            continue;
        const auto blocks = blocksOf(n.formula, n.sheet, sheets, books);
        if (!blocks)
            continue;
        PrintRanges& p = ranges[sheetNames[n.sheet]];
        if (area) {
            p.areas = *blocks;
            continue;
        }
        for (const CellBlock& b : *blocks) {
            const bool allColumns = b.firstColumn == 0 && b.lastColumn == kLastColumn;
            const bool allRows = b.firstRow == 0 && b.lastRow == kLastRow;
            if (allColumns && !allRows)
                p.titleRows = b;
            else if (allRows && !allColumns)
                p.titleColumns = b;
        }
    }
    std::erase_if(ranges, [](const auto& r) { return r.second == PrintRanges{}; });
    return ranges;
}

std::map<std::u16string, PrintRanges> printRangesOfXlsb(const fs::path& file)
{
    const xlsx::ZipReader zip(file, file.string());
    const xlsx::ZipEntry* entry = zip.find("xl/workbook.bin");
    if (!entry)
        return {};
    return printRangesOfWorkbookStream(zip.read(*entry, kStreamLimit));
}

} // namespace tessaro::office
