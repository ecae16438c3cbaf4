// SPDX-License-Identifier: MIT
#include "engine/office/file_ops.h"
#include "engine/office/office_automation.h"
#include "engine/office/uno_office.h"
#include "engine/office/ods_numbers.h"
#include "engine/office/view_settings.h"
#include "engine/office/vba_project.h"
#include "engine/office/xls_cells.h"
#include "engine/office/xlsb_print_ranges.h"
#include "platform/copy_naming.h"
#include "platform/engine_error.h"
#include "platform/errors.h"
#include "engine/opc/save_guard.h"

#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/XLoadable.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/beans/XMultiPropertySet.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/document/XViewDataSupplier.hpp>
#include <com/sun/star/drawing/XDrawPagesSupplier.hpp>
#include <com/sun/star/lang/XServiceInfo.hpp>
#include <com/sun/star/lang/XMultiServiceFactory.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XPrintAreas.hpp>
#include <com/sun/star/table/XColumnRowRange.hpp>
#include <com/sun/star/table/XTableColumns.hpp>
#include <com/sun/star/table/XTableRows.hpp>
#include <com/sun/star/sheet/XNamedRange.hpp>
#include <com/sun/star/sheet/XNamedRanges.hpp>
#include <com/sun/star/sheet/XExternalDocLink.hpp>
#include <com/sun/star/sheet/XExternalDocLinks.hpp>
#include <com/sun/star/sheet/XExternalSheetCache.hpp>
#include <com/sun/star/sheet/XSheetCellRangeContainer.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XUniqueCellFormatRangesSupplier.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets2.hpp>
#include <com/sun/star/sheet/XCellRangeFormula.hpp>
#include <com/sun/star/sheet/XFormulaQuery.hpp>
#include <com/sun/star/sheet/FormulaLanguage.hpp>
#include <com/sun/star/sheet/FormulaMapGroup.hpp>
#include <com/sun/star/sheet/FormulaMapGroupSpecialOffset.hpp>
#include <com/sun/star/sheet/FormulaOpCodeMapEntry.hpp>
#include <com/sun/star/sheet/FormulaToken.hpp>
#include <com/sun/star/sheet/NameToken.hpp>
#include <com/sun/star/sheet/XFormulaOpCodeMapper.hpp>
#include <com/sun/star/sheet/XFormulaTokens.hpp>
#include <com/sun/star/text/XTextRange.hpp>
#include <com/sun/star/table/CellContentType.hpp>
#include <com/sun/star/sheet/XDataPilotTablesSupplier.hpp>
#include <com/sun/star/sheet/XConditionalFormat.hpp>
#include <com/sun/star/sheet/XConditionalFormats.hpp>
#include <com/sun/star/sheet/XSheetCondition.hpp>
#include <com/sun/star/table/XTableChart.hpp>
#include <com/sun/star/table/XTableCharts.hpp>
#include <com/sun/star/table/XTableChartsSupplier.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/FormulaResult.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/util/CloseVetoException.hpp>
#include <com/sun/star/util/Date.hpp>
#include <com/sun/star/util/NumberFormat.hpp>
#include <com/sun/star/util/XNumberFormatsSupplier.hpp>
#include <com/sun/star/util/XCloseable.hpp>
#include <com/sun/star/util/XProtectable.hpp>
#include <com/sun/star/text/XTextFieldsSupplier.hpp>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include <algorithm>
#include <functional>
#include <tuple>
#include <cctype>
#include <cmath>
#include <cstring>
#include <chrono>
#include <set>
#include <string_view>
#include <map>
#include <unordered_set>
#include <regex>
#include <mutex>
#include <system_error>
#include <utility>

namespace tessaro::office {

namespace fs = std::filesystem;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY;
using css::uno::UNO_QUERY_THROW;
using rtl::OUString;

namespace {

// How long a save waits for another program to let go of a workbook it locks.
constexpr std::chrono::milliseconds kLockWait{2000};

const char* filterFor(WorkbookFormat format)
{
    switch (format) {
    case WorkbookFormat::Xls:
        return "MS Excel 97";
    case WorkbookFormat::Ods:
        return "calc8";
    case WorkbookFormat::Xlsb:
        return "Calc MS Excel 2007 Binary";
    case WorkbookFormat::Ooxml:
        return "Calc MS Excel 2007 XML";
    case WorkbookFormat::Unknown:
        break;
    }
    return "";
}

// Formats LibreOffice writes for Tessaro. OOXML is left to the native engine (LibreOffice
// loses parts of a workbook it rewrites); .xlsb has no export filter.
bool writable(WorkbookFormat format) { return format == WorkbookFormat::Xls || format == WorkbookFormat::Ods; }

// An .xlsb is loaded for editing, though never written, so that its fonts can be mended
// (oneFontForEveryScript) before it is converted; an .xlsx is read by LibreOffice only as the
// source of a copy.
bool loadedForEditing(WorkbookFormat format) { return writable(format) || format == WorkbookFormat::Xlsb; }

Sequence<css::beans::PropertyValue> properties(std::initializer_list<std::pair<const char*, Any>> list)
{
    std::vector<css::beans::PropertyValue> v;
    for (const auto& [name, value] : list) {
        css::beans::PropertyValue p;
        p.Name = OUString::createFromAscii(name);
        p.Value = value;
        v.push_back(p);
    }
    return Sequence<css::beans::PropertyValue>(v.data(), static_cast<sal_Int32>(v.size()));
}

std::u16string toU16(const OUString& s)
{
    return std::u16string(reinterpret_cast<const char16_t*>(s.getStr()), static_cast<std::size_t>(s.getLength()));
}
OUString fromU16(const std::u16string& s)
{
    return OUString(reinterpret_cast<const sal_Unicode*>(s.data()), static_cast<sal_Int32>(s.size()));
}

// What a cell looks like, as far as it can come from the workbook's default cell style.
constexpr const char* kLookProperties[] = {"CharFontName", "CharHeight",  "CharWeight",   "CharPosture",   "CharUnderline",
                                           "CharColor",    "HoriJustify", "VertJustify", "IsTextWrapped"};

Reference<css::beans::XPropertySet> defaultCellStyle(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    const Reference<css::style::XStyleFamiliesSupplier> families(doc, UNO_QUERY_THROW);
    const Reference<css::container::XNameAccess> cellStyles(families->getStyleFamilies()->getByName("CellStyles"),
                                                            UNO_QUERY_THROW);
    return Reference<css::beans::XPropertySet>(cellStyles->getByName("Default"), UNO_QUERY_THROW);
}

Sequence<OUString> sortedNames(const std::vector<std::string>& names)
{
    std::vector<std::string> sorted(names);
    std::sort(sorted.begin(), sorted.end());
    Sequence<OUString> out(static_cast<sal_Int32>(sorted.size()));
    for (std::size_t i = 0; i < sorted.size(); ++i)
        out.getArray()[i] = OUString::createFromAscii(sorted[i].c_str());
    return out;
}

// An imported sheet's cells that use the default cell style take the destination's default
// font and alignment, so a copy between workbooks with different defaults looks different
// from its source. Where that happened, the source's look is set on the copy's cells. A
// protected sheet takes no formatting (LibreOffice ignores it without an error), so the
// look is read back: -> false when some cells still look otherwise than in the source.
bool keepTheSourceLook(const Reference<css::sheet::XSpreadsheetDocument>& from,
                       const Reference<css::sheet::XSpreadsheet>& source,
                       const Reference<css::sheet::XSpreadsheetDocument>& to, sal_Int16 copyIndex)
{
    const auto fromDefault = defaultCellStyle(from);
    const auto toDefault = defaultCellStyle(to);
    bool same = true;
    for (const char* p : kLookProperties)
        same = same && fromDefault->getPropertyValue(OUString::createFromAscii(p)) ==
                           toDefault->getPropertyValue(OUString::createFromAscii(p));
    if (same)
        return true;
    bool kept = true;
    const Reference<css::container::XIndexAccess> groups(
        Reference<css::sheet::XUniqueCellFormatRangesSupplier>(source, UNO_QUERY_THROW)->getUniqueCellFormatRanges(),
        UNO_QUERY_THROW);
    const Reference<css::lang::XMultiServiceFactory> factory(to, UNO_QUERY_THROW);
    for (sal_Int32 g = 0; g < groups->getCount(); ++g) {
        const Reference<css::sheet::XSheetCellRanges> group(groups->getByIndex(g), UNO_QUERY_THROW);
        const Reference<css::beans::XPropertySet> look(group, UNO_QUERY_THROW);
        Sequence<css::table::CellRangeAddress> addresses = group->getRangeAddresses();
        for (auto& a : addresses)
            a.Sheet = copyIndex;
        const Reference<css::sheet::XSheetCellRangeContainer> copied(
            factory->createInstance("com.sun.star.sheet.SheetCellRanges"), UNO_QUERY_THROW);
        copied->addRangeAddresses(addresses, false);
        // Every cell of a group had one format in the source, so it has one in the copy too.
        const Reference<css::beans::XPropertySet> copiedLook(copied, UNO_QUERY_THROW);
        for (const char* p : kLookProperties) {
            const OUString name = OUString::createFromAscii(p);
            const Any wanted = look->getPropertyValue(name);
            if (copiedLook->getPropertyValue(name) != wanted) {
                copiedLook->setPropertyValue(name, wanted);
                kept = kept && copiedLook->getPropertyValue(name) == wanted;
            }
        }
    }
    return kept;
}

// A font of an .xls, .xlsb or .xlsx workbook is one name for text of every script, and a
// spreadsheet application shows Chinese or Japanese text of a cell in the font the cell names.
// LibreOffice gives the name to its Asian and complex-script fonts only when a font installed
// here has such letters, and otherwise keeps its own default for them; it then writes that
// default (DejaVu Sans) as the font of every cell or run holding Asian text, so the copy and the
// rest of a saved workbook would change font. The other scripts take the named font again.
// -> whether the fonts differed.
bool oneFontForEveryScript(const Reference<css::beans::XPropertySet>& look)
{
    // One call to read and one to write (with the names in order): a sheet has many format
    // groups and runs. The size, weight and slant go with the name: a copy's cells take the
    // source's size for Latin text (keepTheSourceLook) and would keep the destination's for
    // Asian text.
    static const std::vector<std::string> kFont = {"CharFontCharSet", "CharFontFamily", "CharFontName",
                                                   "CharFontPitch",   "CharFontStyleName", "CharHeight",
                                                   "CharPosture",     "CharWeight"};
    static const std::vector<std::string> kCompared = {"CharFontName", "CharHeight", "CharPosture", "CharWeight"};
    std::vector<std::string> read(kFont);
    for (const std::string script : {"Asian", "Complex"})
        for (const auto& p : kCompared)
            read.push_back(p + script);
    const Reference<css::beans::XMultiPropertySet> many(look, UNO_QUERY_THROW);
    const Sequence<OUString> names = sortedNames(read);
    const Sequence<Any> values = many->getPropertyValues(names);
    std::map<std::string, Any> font;
    for (sal_Int32 i = 0; i < names.getLength(); ++i)
        font[toUtf8(names[i])] = values[i];
    std::vector<std::string> changed;
    std::map<std::string, Any> wanted;
    for (const std::string script : {"Asian", "Complex"}) {
        if (std::all_of(kCompared.begin(), kCompared.end(),
                        [&](const std::string& p) { return font[p + script] == font[p]; }))
            continue;
        for (const auto& p : kFont) {
            changed.push_back(p + script);
            wanted[p + script] = font[p];
        }
    }
    if (changed.empty())
        return false;
    const Sequence<OUString> changedNames = sortedNames(changed);
    Sequence<Any> changedValues(changedNames.getLength());
    for (sal_Int32 i = 0; i < changedNames.getLength(); ++i)
        changedValues.getArray()[i] = wanted[toUtf8(changedNames[i])];
    many->setPropertyValues(changedNames, changedValues);
    return true;
}

// Leaves the rows the heights the file gives them while one lives. LibreOffice measures a row
// of automatic height again when its fonts change or a formula is set in it, for what the cell
// then shows: mended fonts, or stand-ins for error constants, would be written as the rows'
// heights.
class HeightsKept {
public:
    explicit HeightsKept(const Reference<css::uno::XInterface>& doc)
        : settings_(doc, UNO_QUERY_THROW), adjusting_(settings_->getPropertyValue("IsAdjustHeightEnabled"))
    {
        settings_->setPropertyValue("IsAdjustHeightEnabled", Any(false));
    }
    ~HeightsKept()
    {
        try {
            settings_->setPropertyValue("IsAdjustHeightEnabled", adjusting_);
        } catch (...) {
            // A dead office has taken the document with it.
        }
    }
    HeightsKept(const HeightsKept&) = delete;
    HeightsKept& operator=(const HeightsKept&) = delete;

private:
    Reference<css::beans::XPropertySet> settings_;
    Any adjusting_;
};

// Whether the sheet shows Chinese, Japanese or Korean letters in a cell. Its text cells are
// read some thousand rows at a time, so that a large sheet does not come over at once.
bool holdsAsianText(const OUString& text)
{
    for (sal_Int32 i = 0; i < text.getLength(); ++i) {
        const sal_Unicode c = text[i];
        if ((c >= 0x1100 && c <= 0x11FF) || (c >= 0x2E80 && c <= 0x9FFF) || (c >= 0xAC00 && c <= 0xD7AF) ||
            (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFF00 && c <= 0xFFEF))
            return true;
    }
    return false;
}

// `a` in blocks of some thousand rows, so that a large range does not come over at once: the
// top row of each block, and the block; none when `a` is empty.
std::vector<std::pair<sal_Int32, Reference<css::table::XCellRange>>> blocksOf(const Reference<css::sheet::XSpreadsheet>& sheet,
                                                                            const css::table::CellRangeAddress& a)
{
    constexpr sal_Int32 kRows = 4096;
    std::vector<std::pair<sal_Int32, Reference<css::table::XCellRange>>> blocks;
    for (sal_Int32 top = a.StartRow; top <= a.EndRow && a.StartColumn <= a.EndColumn; top += kRows)
        blocks.emplace_back(top, sheet->getCellRangeByPosition(a.StartColumn, top, a.EndColumn,
                                                               std::min(a.EndRow, top + kRows - 1)));
    return blocks;
}

bool holdsAsianText(const Reference<css::sheet::XSpreadsheet>& sheet)
{
    const Reference<css::sheet::XSheetCellRanges> texts =
        Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)
            ->queryContentCells(css::sheet::CellFlags::STRING | css::sheet::CellFlags::FORMULA);
    for (const auto& a : texts->getRangeAddresses())
        for (const auto& [top, block] : blocksOf(sheet, a)) {
            const Sequence<Sequence<Any>> data = Reference<css::sheet::XCellRangeData>(block, UNO_QUERY_THROW)->getDataArray();
            for (const auto& row : data)
                for (const Any& value : row) {
                    OUString text;
                    if ((value >>= text) && holdsAsianText(text))
                        return true;
                }
        }
    return false;
}

// -> whether the sheet's Asian text keeps LibreOffice's font: a protected sheet takes no
// formats (LibreOffice ignores them without an error). Runs of formatted text without Asian
// letters are left alone: their Asian font shows nowhere.
bool oneFontForEveryScript(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                           const Reference<css::sheet::XSpreadsheet>& sheet)
{
    // Only Asian text shows the Asian font; most sheets hold none.
    if (!holdsAsianText(sheet))
        return false;
    bool differed = false;
    // Only cells with content show text; a group also holds the empty rest of the sheet, and
    // formatting ranges as wide as the sheet takes LibreOffice down. Asked of a group,
    // LibreOffice names content outside it, so the two are met here.
    constexpr sal_Int16 kContent = css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                                   css::sheet::CellFlags::STRING | css::sheet::CellFlags::FORMULA;
    const Sequence<css::table::CellRangeAddress> content =
        Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)->queryContentCells(kContent)->getRangeAddresses();
    const Reference<css::container::XIndexAccess> groups(
        Reference<css::sheet::XUniqueCellFormatRangesSupplier>(sheet, UNO_QUERY_THROW)->getUniqueCellFormatRanges(),
        UNO_QUERY_THROW);
    const Reference<css::lang::XMultiServiceFactory> factory(doc, UNO_QUERY_THROW);
    for (sal_Int32 g = 0; g < groups->getCount(); ++g) {
        std::vector<css::table::CellRangeAddress> filled;
        for (const auto& a : Reference<css::sheet::XSheetCellRanges>(groups->getByIndex(g), UNO_QUERY_THROW)->getRangeAddresses())
            for (const auto& c : content) {
                css::table::CellRangeAddress both = a;
                both.StartColumn = std::max(a.StartColumn, c.StartColumn);
                both.EndColumn = std::min(a.EndColumn, c.EndColumn);
                both.StartRow = std::max(a.StartRow, c.StartRow);
                both.EndRow = std::min(a.EndRow, c.EndRow);
                if (both.StartColumn <= both.EndColumn && both.StartRow <= both.EndRow)
                    filled.push_back(both);
            }
        if (filled.empty())
            continue;
        const Reference<css::sheet::XSheetCellRangeContainer> cells(
            factory->createInstance("com.sun.star.sheet.SheetCellRanges"), UNO_QUERY_THROW);
        cells->addRangeAddresses(Sequence<css::table::CellRangeAddress>(filled.data(), static_cast<sal_Int32>(filled.size())),
                                 false);
        differed = oneFontForEveryScript(Reference<css::beans::XPropertySet>(cells, UNO_QUERY_THROW)) || differed;
    }
    // Runs of formatted text carry fonts of their own; the cell's font, set above, took the
    // Asian ones away.
    const Reference<css::sheet::XSheetCellRanges> rich =
        Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)->queryContentCells(css::sheet::CellFlags::FORMATTED);
    for (const auto& a : rich->getRangeAddresses()) {
        const Sequence<Sequence<Any>> texts =
            Reference<css::sheet::XCellRangeData>(
                sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW)
                ->getDataArray();
        for (sal_Int32 r = a.StartRow; r <= a.EndRow; ++r)
            for (sal_Int32 c = a.StartColumn; c <= a.EndColumn; ++c) {
                OUString text;
                if (!(texts[r - a.StartRow][c - a.StartColumn] >>= text) || !holdsAsianText(text))
                    continue;
                const Reference<css::container::XEnumeration> paragraphs =
                    Reference<css::container::XEnumerationAccess>(sheet->getCellByPosition(c, r), UNO_QUERY_THROW)
                        ->createEnumeration();
                while (paragraphs->hasMoreElements()) {
                    const Reference<css::container::XEnumeration> runs =
                        Reference<css::container::XEnumerationAccess>(paragraphs->nextElement(), UNO_QUERY_THROW)
                            ->createEnumeration();
                    while (runs->hasMoreElements())
                        differed = oneFontForEveryScript(
                                       Reference<css::beans::XPropertySet>(runs->nextElement(), UNO_QUERY_THROW)) ||
                                   differed;
                }
            }
    }
    return differed && Reference<css::util::XProtectable>(sheet, UNO_QUERY_THROW)->isProtected();
}

// A document loaded read-only takes no cell formats (without an error) but does take style
// changes, which would then give its cells the style's font for Asian text: such a document
// is left as it is, and the copies taken from it are mended in their destination. So are the
// styles of a workbook with a protected sheet. -> the sheets whose Asian text keeps
// LibreOffice's font.
std::set<OUString> oneFontForEveryScript(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    std::set<OUString> left;
    // A file LibreOffice may not write (a read-only folder) is loaded read-only.
    if (Reference<css::frame::XStorable>(doc, UNO_QUERY_THROW)->isReadonly())
        return left;
    const HeightsKept heights(doc);
    const Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY_THROW);
    bool anyProtected = false;
    for (sal_Int32 i = 0; i < sheets->getCount(); ++i) {
        const Reference<css::sheet::XSpreadsheet> sheet(sheets->getByIndex(i), UNO_QUERY_THROW);
        anyProtected = anyProtected || Reference<css::util::XProtectable>(sheet, UNO_QUERY_THROW)->isProtected();
        if (oneFontForEveryScript(doc, sheet))
            left.insert(Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName());
    }
    if (anyProtected)
        return left;
    const Reference<css::container::XNameAccess> styles(
        Reference<css::style::XStyleFamiliesSupplier>(doc, UNO_QUERY_THROW)->getStyleFamilies()->getByName("CellStyles"),
        UNO_QUERY_THROW);
    for (const OUString& name : styles->getElementNames())
        oneFontForEveryScript(Reference<css::beans::XPropertySet>(styles->getByName(name), UNO_QUERY_THROW));
    return left;
}

// Print ranges read from the file (xlsb_print_ranges.h) go where LibreOffice has none; blocks
// past its last column or row are cut there. A read-only document takes none, as it takes no
// fonts.
void setPrintRanges(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                    const std::map<std::u16string, PrintRanges>& ranges)
{
    if (Reference<css::frame::XStorable>(doc, UNO_QUERY_THROW)->isReadonly())
        return;
    const Reference<css::container::XNameAccess> byName(doc->getSheets(), UNO_QUERY_THROW);
    for (const auto& [name, p] : ranges) {
        if (!byName->hasByName(fromU16(name)))
            continue;
        const Reference<css::sheet::XSpreadsheet> sheet(byName->getByName(fromU16(name)), UNO_QUERY_THROW);
        const Reference<css::sheet::XPrintAreas> print(sheet, UNO_QUERY_THROW);
        const Reference<css::table::XColumnRowRange> lines(sheet, UNO_QUERY_THROW);
        const auto columns = static_cast<std::uint32_t>(lines->getColumns()->getCount());
        const auto rows = static_cast<std::uint32_t>(lines->getRows()->getCount());
        const sal_Int16 index = Reference<css::sheet::XCellRangeAddressable>(sheet, UNO_QUERY_THROW)->getRangeAddress().Sheet;
        const auto address = [&](const CellBlock& b) -> std::optional<css::table::CellRangeAddress> {
            if (b.firstRow >= rows || b.firstColumn >= columns)
                return std::nullopt;
            return css::table::CellRangeAddress(index, static_cast<sal_Int32>(b.firstColumn), static_cast<sal_Int32>(b.firstRow),
                                                static_cast<sal_Int32>(std::min(b.lastColumn, columns - 1)),
                                                static_cast<sal_Int32>(std::min(b.lastRow, rows - 1)));
        };
        // LibreOffice holds the names it could not read as names of the sheet without a definition,
        // and would write them beside the ranges set here.
        const Reference<css::sheet::XNamedRanges> names(
            Reference<css::beans::XPropertySet>(sheet, UNO_QUERY_THROW)->getPropertyValue("NamedRanges"), UNO_QUERY_THROW);
        const auto dropEmpty = [&](const char* builtIn) {
            const OUString n = OUString::createFromAscii(builtIn);
            if (names->hasByName(n) &&
                Reference<css::sheet::XNamedRange>(names->getByName(n), UNO_QUERY_THROW)->getContent().isEmpty())
                names->removeByName(n);
        };
        if (!p.areas.empty() && !print->getPrintAreas().hasElements()) {
            dropEmpty("_xlnm.Print_Area");
            std::vector<css::table::CellRangeAddress> areas;
            for (const CellBlock& b : p.areas)
                if (const auto a = address(b))
                    areas.push_back(*a);
            if (!areas.empty())
                print->setPrintAreas(Sequence<css::table::CellRangeAddress>(areas.data(), static_cast<sal_Int32>(areas.size())));
        }
        if (p.titleRows || p.titleColumns)
            dropEmpty("_xlnm.Print_Titles");
        if (const auto a = p.titleRows ? address(*p.titleRows) : std::nullopt; a && !print->getPrintTitleRows()) {
            print->setTitleRows(*a);
            print->setPrintTitleRows(true);
        }
        if (const auto a = p.titleColumns ? address(*p.titleColumns) : std::nullopt; a && !print->getPrintTitleColumns()) {
            print->setTitleColumns(*a);
            print->setPrintTitleColumns(true);
        }
    }
}

// LibreOffice's import takes a sheet's cells, not what it prints: the copy gets the source's
// print areas and its rows and columns repeated on every page, where it has none.
void keepPrintRanges(const Reference<css::sheet::XSpreadsheet>& source, const Reference<css::sheet::XSpreadsheet>& copy)
{
    const Reference<css::sheet::XPrintAreas> from(source, UNO_QUERY_THROW);
    const Reference<css::sheet::XPrintAreas> to(copy, UNO_QUERY_THROW);
    const sal_Int16 index = Reference<css::sheet::XCellRangeAddressable>(copy, UNO_QUERY_THROW)->getRangeAddress().Sheet;
    const auto here = [&](css::table::CellRangeAddress a) {
        a.Sheet = index;
        return a;
    };
    Sequence<css::table::CellRangeAddress> areas = from->getPrintAreas();
    if (areas.hasElements() && !to->getPrintAreas().hasElements()) {
        for (sal_Int32 i = 0; i < areas.getLength(); ++i)
            areas.getArray()[i] = here(areas[i]);
        to->setPrintAreas(areas);
    }
    if (from->getPrintTitleRows() && !to->getPrintTitleRows()) {
        to->setTitleRows(here(from->getTitleRows()));
        to->setPrintTitleRows(true);
    }
    if (from->getPrintTitleColumns() && !to->getPrintTitleColumns()) {
        to->setTitleColumns(here(from->getTitleColumns()));
        to->setPrintTitleColumns(true);
    }
}

// "B27" for column 1, row 26, counted from 0.
std::string cellName(sal_Int32 column, sal_Int32 row)
{
    std::string letters;
    for (sal_Int32 c = column + 1; c > 0; c = (c - 1) / 26)
        letters.insert(letters.begin(), static_cast<char>('A' + (c - 1) % 26));
    return letters + std::to_string(row + 1);
}

std::int64_t dayNumber(const css::util::Date& d)
{
    using namespace std::chrono;
    return sys_days{year{d.Year} / month{d.Month} / day{d.Day}}.time_since_epoch().count();
}

// Calls `visit(column, row, value)` for every number of `sheet` shown as a date (formats of a
// time of day alone aside); the values a visit changes are written back.
template <class Visit>
void forEachDate(const Reference<css::sheet::XSpreadsheetDocument>& doc, const Reference<css::sheet::XSpreadsheet>& sheet,
                 Visit&& visit)
{
    const Reference<css::util::XNumberFormats> formats =
        Reference<css::util::XNumberFormatsSupplier>(doc, UNO_QUERY_THROW)->getNumberFormats();
    const Reference<css::container::XIndexAccess> groups(
        Reference<css::sheet::XUniqueCellFormatRangesSupplier>(sheet, UNO_QUERY_THROW)->getUniqueCellFormatRanges(),
        UNO_QUERY_THROW);
    for (sal_Int32 g = 0; g < groups->getCount(); ++g) {
        const Reference<css::beans::XPropertySet> group(groups->getByIndex(g), UNO_QUERY_THROW);
        const sal_Int32 key = group->getPropertyValue("NumberFormat").get<sal_Int32>();
        const Reference<css::beans::XPropertySet> kind = formats->getByKey(key);
        if (!kind.is() || (kind->getPropertyValue("Type").get<sal_Int16>() & css::util::NumberFormat::DATE) == 0)
            continue;
        const Reference<css::sheet::XSheetCellRanges> numbers =
            Reference<css::sheet::XCellRangesQuery>(group, UNO_QUERY_THROW)->queryContentCells(css::sheet::CellFlags::DATETIME);
        for (const auto& a : numbers->getRangeAddresses()) {
            const Reference<css::sheet::XCellRangeData> cells(
                sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW);
            Sequence<Sequence<Any>> data = cells->getDataArray();
            bool changed = false;
            for (sal_Int32 r = 0; r < data.getLength(); ++r) {
                Any* row = data.getArray()[r].getArray();
                for (sal_Int32 c = 0; c < data[r].getLength(); ++c) {
                    double v = 0;
                    if (!(row[c] >>= v))
                        continue;
                    const double before = v;
                    visit(a.StartColumn + c, a.StartRow + r, v);
                    if (v != before) {
                        row[c] <<= v;
                        changed = true;
                    }
                }
            }
            if (changed)
                cells->setDataArray(data);
        }
    }
}

// "A2 and 3 other cells" for the first of `count` cells; "holds" or "hold" to go with it.
std::pair<std::string, const char*> countedCells(std::uint64_t count, const std::string& first)
{
    if (count == 1)
        return {first, "holds"};
    return {fmt::format("{} and {} other {}", first, count - 1, count == 2 ? "cell" : "cells"), "hold"};
}

// The cells of formulas an .xls keeps as LibreOffice wrote them, as countedCells says them.
std::pair<std::string, const char*> cellsNotKept(const FormulasNotKept& lost)
{
    return countedCells(lost.cells,
                        cellName(static_cast<sal_Int32>(lost.first.second), static_cast<sal_Int32>(lost.first.first)));
}

// What the report says of a copy of `sheet`, a sheet of the .xls `file` whose formulas `unread`
// hold error constants that LibreOffice reads as nothing and that were not put back: the copy
// cannot hold them.
std::optional<std::string> readAsNothingNote(const fs::path& file, const std::vector<FormulasNotKept>& unread,
                                             const std::string& sheet, const std::string& copyName)
{
    const std::u16string name = toU16(fromUtf8(sheet));
    for (const auto& lost : unread)
        if (lost.sheet == name) {
            const auto [cells, verb] = cellsNotKept(lost);
            return fmt::format("\"{}\": {} {} a formula with an error constant other than #N/A, which LibreOffice, reading "
                               "{} for Tessaro, reads as nothing, and which could not be put back (an array formula, a "
                               "function of an add-in, or a constant before an operator): the copy's formula has nothing "
                               "in its place (=#VALUE!+1 becomes =+1)",
                               copyName, cells, verb, file.filename().string());
        }
    return std::nullopt;
}

// A workbook counts its dates from its own first day (1900 or 1904), and LibreOffice imports a
// sheet's numbers as they are: a sheet from a workbook of the other date system would show
// every date four years and a day off. The date cells of the copy are moved by the difference,
// as the native engine moves them. A date before a 1904 .xls workbook's first day cannot be
// shown there: it keeps its number, and the returned note says so.
std::optional<std::string> keepTheSourceDates(const Reference<css::sheet::XSpreadsheetDocument>& from,
                                              const Reference<css::sheet::XSpreadsheetDocument>& to,
                                              const Reference<css::sheet::XSpreadsheet>& copy, WorkbookFormat format,
                                              const std::string& copyName)
{
    const auto nullDate = [](const Reference<css::sheet::XSpreadsheetDocument>& doc) {
        return dayNumber(Reference<css::beans::XPropertySet>(doc, UNO_QUERY_THROW)
                             ->getPropertyValue("NullDate")
                             .get<css::util::Date>());
    };
    const double shift = static_cast<double>(nullDate(from) - nullDate(to));
    if (shift == 0)
        return std::nullopt;
    std::uint64_t kept = 0;
    std::string first;
    forEachDate(to, copy, [&](sal_Int32 column, sal_Int32 row, double& v) {
        if (format == WorkbookFormat::Xls && v + shift < 0) {
            if (kept++ == 0)
                first = cellName(column, row);
            return;
        }
        v += shift;
    });
    if (kept == 0)
        return std::nullopt;
    const auto [cells, verb] = countedCells(kept, first);
    return fmt::format("\"{}\": {} {} a date before the first day of this workbook's date system (1904), which it "
                       "cannot show, so {} {} number and {} another date",
                       copyName, cells, verb, kept == 1 ? "it keeps" : "they keep", kept == 1 ? "its" : "their",
                       kept == 1 ? "shows" : "show");
}

// LibreOffice writes a date with its time of day into an .ods to the hundredth of a second
// (a time of day alone, and a plain number, in full), so a finer time becomes another one.
std::optional<std::string> timesAnOdsCuts(const Reference<css::sheet::XSpreadsheetDocument>& to,
                                          const Reference<css::sheet::XSpreadsheet>& copy, const std::string& copyName)
{
    std::uint64_t cut = 0;
    std::string first;
    forEachDate(to, copy, [&](sal_Int32 column, sal_Int32 row, double& v) {
        const double hundredths = v * 86400.0 * 100.0;
        // A tenth of a millisecond: well above the rounding of a day number with its time.
        if (std::abs(hundredths - std::round(hundredths)) > 0.01 && cut++ == 0)
            first = cellName(column, row);
    });
    if (cut == 0)
        return std::nullopt;
    const auto [cells, verb] = countedCells(cut, first);
    return fmt::format("\"{}\": {} {} a date and time finer than a hundredth of a second, which an .ods written by "
                       "LibreOffice keeps only to the hundredth",
                       copyName, cells, verb);
}

// What ODF cannot say of a number format, outside quoted text, escaped characters and bracketed
// colours or conditions: a month shown by its first letter (MMMMM), and room left as wide as a
// character (_x) or a digit (?), which is how accounting formats line up their numbers.
struct OdsFormatLosses {
    bool monthLetters = false;
    bool widths = false;
};

OdsFormatLosses whatAnOdsLoses(const OUString& code)
{
    OdsFormatLosses lost;
    sal_Int32 run = 0;
    // An .ods keeps the room of a fraction's digits (# ??/??) and of decimals (0.0??): a ? counts
    // only before a section's decimal point, in a section without a /.
    bool digitWidth = false, fraction = false, decimals = false;
    for (sal_Int32 i = 0; i <= code.getLength(); ++i) {
        const sal_Unicode c = i < code.getLength() ? code[i] : ';';
        if (c == '"' || c == '[') {
            const sal_Int32 end = code.indexOf(c == '"' ? '"' : ']', i + 1);
            i = end < 0 ? code.getLength() : end;
        } else if (c == '\\' || c == '*') {
            ++i;
        } else if (c == '_') {
            lost.widths = true;
            ++i;
        } else if (c == '?' || c == '/' || c == '.' || c == ';') {
            digitWidth = digitWidth || (c == '?' && !decimals);
            fraction = fraction || c == '/';
            decimals = decimals || c == '.';
            if (c == ';') {
                lost.widths = lost.widths || (digitWidth && !fraction);
                digitWidth = fraction = decimals = false;
            }
        }
        run = (c == 'M' || c == 'm') ? run + 1 : 0;
        lost.monthLetters = lost.monthLetters || run == 5;
    }
    return lost;
}

// LibreOffice writes such a format into an .ods with the month's short name (the cells show
// "Jan" where the source shows "J"), and with a plain space or nothing for the width of a
// character, and # for that of a digit (which shows nothing for a zero), so that numbers and
// texts no longer line up as in the source.
std::vector<std::string> formatsAnOdsLoses(const Reference<css::sheet::XSpreadsheetDocument>& to,
                                           const Reference<css::sheet::XSpreadsheet>& copy, const std::string& copyName)
{
    const Reference<css::util::XNumberFormats> formats =
        Reference<css::util::XNumberFormatsSupplier>(to, UNO_QUERY_THROW)->getNumberFormats();
    const Reference<css::container::XIndexAccess> groups(
        Reference<css::sheet::XUniqueCellFormatRangesSupplier>(copy, UNO_QUERY_THROW)->getUniqueCellFormatRanges(),
        UNO_QUERY_THROW);
    struct Found {
        std::uint64_t count = 0;
        std::string first, code;
    } months, widths;
    for (sal_Int32 g = 0; g < groups->getCount(); ++g) {
        const Reference<css::beans::XPropertySet> group(groups->getByIndex(g), UNO_QUERY_THROW);
        const Reference<css::beans::XPropertySet> format =
            formats->getByKey(group->getPropertyValue("NumberFormat").get<sal_Int32>());
        const OUString formatCode = format.is() ? format->getPropertyValue("FormatString").get<OUString>() : OUString();
        const OdsFormatLosses lost = whatAnOdsLoses(formatCode);
        if (!lost.monthLetters && !lost.widths)
            continue;
        // A month's letter shows only on a number; room is left beside texts too.
        const Reference<css::sheet::XSheetCellRanges> shown =
            Reference<css::sheet::XCellRangesQuery>(group, UNO_QUERY_THROW)
                ->queryContentCells(css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                                    css::sheet::CellFlags::FORMULA |
                                    (lost.widths ? css::sheet::CellFlags::STRING : 0));
        for (const auto& a : shown->getRangeAddresses()) {
            const std::uint64_t cells =
                std::uint64_t(a.EndColumn - a.StartColumn + 1) * std::uint64_t(a.EndRow - a.StartRow + 1);
            for (Found* found : {lost.monthLetters ? &months : nullptr, lost.widths ? &widths : nullptr}) {
                if (!found)
                    continue;
                if (found->count == 0) {
                    found->first = cellName(a.StartColumn, a.StartRow);
                    found->code = toUtf8(formatCode);
                }
                found->count += cells;
            }
        }
    }
    std::vector<std::string> notes;
    if (months.count > 0) {
        const auto [cells, verb] = countedCells(months.count, months.first);
        notes.push_back(fmt::format("\"{}\": {} {} a number shown with a month's first letter (format {}), which an .ods "
                                    "cannot hold: LibreOffice writes the month's short name instead",
                                    copyName, cells, verb, months.code));
    }
    if (widths.count > 0) {
        const auto [cells, verb] = countedCells(widths.count, widths.first);
        notes.push_back(fmt::format("\"{}\": {} {} a number format that leaves room as wide as a character (_) or a "
                                    "digit (?) (format {}), which an .ods cannot hold: LibreOffice writes a plain space or "
                                    "nothing there, so the cells' contents may not line up as in the source",
                                    copyName, cells, verb, widths.code));
    }
    return notes;
}

// The code of the error value a formula is and nothing else (=#DIV/0!, or = alone, as
// LibreOffice shows an error value it read from an .xls: kErrorAsSaved).
std::optional<std::uint8_t> errorValueOf(std::string_view formula)
{
    while (!formula.empty() && (formula.front() == '=' || formula.front() == ' '))
        formula.remove_prefix(1);
    while (!formula.empty() && formula.back() == ' ')
        formula.remove_suffix(1);
    if (formula.empty())
        return kErrorAsSaved;
    for (const auto& e : kErrorConstants)
        if (formula == e.text)
            return e.code;
    return std::nullopt;
}

// What LibreOffice cannot write of a formula into an .xls, which it writes as =NA() instead: an
// error constant (=IFERROR(#REF!,5), =ISNA(#N/A)), or a call of a defined name as if it were a
// function. The formula with each error constant replaced by its stand-in is what it writes.
struct FormulaInAnXls {
    bool errorConstants = false;
    bool inArrayConstant = false; // one inside {1,#N/A}, where a stand-in would stay a number
    bool callsName = false;
    bool wholeRows = false;       // a reference to whole rows (5:6), written as an area
    std::string withStandIns;

    bool held() const { return (errorConstants || wholeRows) && !inArrayConstant && !callsName; }
};

// LibreOffice 7.4 writes a reference to whole rows (5:6, $Data.$1:$1) into an .xls as #REF!
// where the formula is a cell's own (not shared with the cells beside it); the same rows as an
// area of the 256 columns an .xls has ($A5:$IV6) it writes as a spreadsheet application writes
// whole rows. Text in quotes is not looked into.
std::string wholeRowsAsAreas(const std::string& formula, bool& changed)
{
    const auto inName = [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '$' || ch == '#' || ch == '\'';
    };
    // A row number, with its $, that an .xls can hold; where it ends.
    const auto row = [&](std::size_t at) -> std::optional<std::size_t> {
        std::size_t end = at + (at < formula.size() && formula[at] == '$' ? 1 : 0);
        const std::size_t digits = end;
        while (end < formula.size() && std::isdigit(static_cast<unsigned char>(formula[end])))
            ++end;
        if (end == digits || end - digits > 5 || formula[digits] == '0' ||
            std::stoul(formula.substr(digits, end - digits)) > 65536)
            return std::nullopt;
        return end;
    };
    std::string out;
    char quote = 0;
    for (std::size_t i = 0; i < formula.size(); ++i) {
        const char c = formula[i];
        if (quote) {
            quote = c == quote ? 0 : quote;
        } else if (c == '"' || c == '\'') {
            quote = c;
        } else if (i == 0 || formula[i - 1] == '.' || !inName(formula[i - 1])) {
            const auto first = row(i);
            if (first && *first < formula.size() && formula[*first] == ':') {
                const auto last = row(*first + 1);
                if (last && (*last == formula.size() || (!inName(formula[*last]) && formula[*last] != '.' &&
                                                         formula[*last] != '('))) {
                    out += "$A" + formula.substr(i, *first - i) + ":$IV" + formula.substr(*first + 1, *last - *first - 1);
                    changed = true;
                    i = *last - 1;
                    continue;
                }
            }
        }
        out.push_back(c);
    }
    return out;
}

// Of a formula as LibreOffice shows it; `names` are the defined names in upper case. Text in
// quotes is not looked into. A formula that is one error value and nothing else is written
// back as that value when the .xls is saved.
FormulaInAnXls inAnXls(const std::string& formula, const std::set<std::string>& names)
{
    FormulaInAnXls scan;
    if (errorValueOf(formula))
        return scan;
    // A reference that lost its cell or sheet reads C#REF!, #REF!.A1 or #REF!#REF!: no constant,
    // and LibreOffice writes it into an .xls as what it is.
    const auto inReference = [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '$' || ch == '.' || ch == '#' || ch == '!' ||
               ch == '_' || ch == '\'';
    };
    bool quoted = false;
    int braces = 0;
    std::string word;
    for (std::size_t i = 0; i < formula.size(); ++i) {
        const char c = formula[i];
        if (c == '"')
            quoted = !quoted;
        if (!quoted)
            braces += c == '{' ? 1 : c == '}' ? -1 : 0;
        if (!quoted && c == '#' && (i == 0 || !inReference(formula[i - 1]))) {
            const auto constant = std::find_if(std::begin(kErrorConstants), std::end(kErrorConstants), [&](const auto& e) {
                const std::size_t end = i + std::strlen(e.text);
                return formula.compare(i, end - i, e.text) == 0 && (end == formula.size() || !inReference(formula[end]));
            });
            if (constant != std::end(kErrorConstants)) {
                scan.errorConstants = true;
                scan.inArrayConstant |= braces > 0;
                scan.withStandIns += errorStandInText(constant->code);
                i += std::strlen(constant->text) - 1;
                word.clear();
                continue;
            }
        }
        scan.withStandIns.push_back(c);
        if (quoted)
            continue;
        if (std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.') {
            word.push_back(static_cast<char>(std::toupper(static_cast<unsigned char>(c))));
            continue;
        }
        scan.callsName |= c == '(' && names.count(word) > 0;
        word.clear();
    }
    scan.withStandIns = wholeRowsAsAreas(scan.withStandIns, scan.wholeRows);
    return scan;
}

// The defined names of a workbook, in upper case.
std::set<std::string> definedNamesOf(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    std::set<std::string> names;
    const Reference<css::container::XNameAccess> defined(
        Reference<css::beans::XPropertySet>(doc, UNO_QUERY_THROW)->getPropertyValue("NamedRanges"), UNO_QUERY_THROW);
    for (const OUString& name : defined->getElementNames()) {
        std::string n = toUtf8(name);
        for (char& ch : n)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        names.insert(std::move(n));
    }
    return names;
}

// The formulas of a sheet as LibreOffice shows them, a range of formula cells at a time (a
// sheet may hold very many): each range with its formulas by row.
void forEachFormulaRange(const Reference<css::sheet::XSpreadsheet>& sheet,
                         const std::function<void(const Reference<css::sheet::XCellRangeFormula>& range,
                                                  const css::table::CellRangeAddress& at,
                                                  const Sequence<Sequence<OUString>>& formulas)>& each)
{
    const Reference<css::sheet::XSheetCellRanges> formulas =
        Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)->queryContentCells(css::sheet::CellFlags::FORMULA);
    for (const auto& a : formulas->getRangeAddresses()) {
        const Reference<css::sheet::XCellRangeFormula> range(
            sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW);
        each(range, a, range->getFormulaArray());
    }
}

// An array formula reads {=...}: LibreOffice cannot set it a cell at a time.
bool isArrayFormula(const OUString& formula) { return formula.startsWith("{"); }

// What of a copy's formulas an .xls written by LibreOffice cannot hold, said in the returned
// note: calls of a defined name as a function, and error constants in array formulas, which it
// writes as =NA(). The error constants of the other formulas are put back when it is saved.
std::optional<std::string> formulasAnXlsLoses(const Reference<css::sheet::XSpreadsheetDocument>& from,
                                              const Reference<css::sheet::XSpreadsheet>& copy,
                                              const std::string& copyName)
{
    const std::set<std::string> names = definedNamesOf(from);
    std::uint64_t count = 0;
    std::string first;
    forEachFormulaRange(copy, [&](const auto&, const css::table::CellRangeAddress& a, const auto& texts) {
        for (sal_Int32 r = 0; r < texts.getLength(); ++r)
            for (sal_Int32 c = 0; c < texts[r].getLength(); ++c) {
                const std::string formula = toUtf8(texts[r][c]);
                const FormulaInAnXls scan = inAnXls(formula, names);
                if ((scan.callsName || scan.inArrayConstant || (scan.errorConstants && isArrayFormula(texts[r][c]))) &&
                    count++ == 0)
                    first = fmt::format("{} {}", cellName(a.StartColumn + c, a.StartRow + r), formula);
            }
    });
    if (count == 0)
        return std::nullopt;
    return fmt::format("\"{}\": {} {} an error constant in an array formula or an array constant, or a formula calling a "
                       "name as a function (the first is {}), which an .xls written by LibreOffice keeps as =NA(), "
                       "showing #N/A",
                       copyName, count == 1 ? "1 cell" : fmt::format("{} cells", count), count == 1 ? "holds" : "hold",
                       first);
}

// LibreOffice's number of an error (Err:532 is #DIV/0!) as BIFF8 writes it; an error of its
// own, which BIFF8 has not, keeps what LibreOffice saves for it.
std::uint8_t biffErrorCode(sal_Int32 error)
{
    switch (error) {
    case 521: return 0x00;   // #NULL!
    case 532: return 0x07;   // #DIV/0!
    case 519: return 0x0F;   // #VALUE!
    case 524: return 0x17;   // #REF!
    case 525: return 0x1D;   // #NAME?
    case 503: return 0x24;   // #NUM!
    case 32767: return 0x2A; // #N/A
    default: return kErrorAsSaved;
    }
}

// The cells of each sheet that hold an error value and nothing else, which LibreOffice
// writes into an .xls as formulas: they are put back as values in the file it saved.
// A copy made within the workbook (named in `copiedFrom`) takes the errors of the sheet it
// copies: LibreOffice's copy of an error value it read from an .xls holds #N/A.
CellsBySheet errorValueCells(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                             const std::map<OUString, OUString>& copiedFrom)
{
    CellsBySheet found;
    const Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY_THROW);
    for (sal_Int32 i = 0; i < sheets->getCount(); ++i) {
        const Reference<css::sheet::XSpreadsheet> sheet(sheets->getByIndex(i), UNO_QUERY_THROW);
        const auto from = copiedFrom.find(Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName());
        const Reference<css::sheet::XSpreadsheet> original(
            from != copiedFrom.end() && doc->getSheets()->hasByName(from->second) ? doc->getSheets()->getByName(from->second)
                                                                                   : Any(sheet),
            UNO_QUERY_THROW);
        const Reference<css::sheet::XSheetCellRanges> errors =
            Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)->queryFormulaCells(css::sheet::FormulaResult::ERROR);
        const Sequence<css::table::CellRangeAddress> ranges = errors->getRangeAddresses();
        if (!ranges.hasElements())
            continue;
        // The formulas are read in one call where the ranges lie close (each call is a round
        // trip to the office), a range at a time otherwise.
        css::table::CellRangeAddress box = ranges[0];
        for (const auto& a : ranges) {
            box.StartColumn = std::min(box.StartColumn, a.StartColumn);
            box.StartRow = std::min(box.StartRow, a.StartRow);
            box.EndColumn = std::max(box.EndColumn, a.EndColumn);
            box.EndRow = std::max(box.EndRow, a.EndRow);
        }
        const auto formulasOf = [&](const css::table::CellRangeAddress& a) {
            return Reference<css::sheet::XCellRangeFormula>(
                       sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW)
                ->getFormulaArray();
        };
        const bool together = std::int64_t(box.EndColumn - box.StartColumn + 1) * (box.EndRow - box.StartRow + 1) <= (1 << 20);
        const Sequence<Sequence<OUString>> all = together ? formulasOf(box) : Sequence<Sequence<OUString>>();
        auto& cells = found[toU16(Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName())];
        for (const auto& a : ranges) {
            const Sequence<Sequence<OUString>> part = together ? Sequence<Sequence<OUString>>() : formulasOf(a);
            const auto& texts = together ? all : part;
            const sal_Int32 top = together ? box.StartRow : a.StartRow, left = together ? box.StartColumn : a.StartColumn;
            for (sal_Int32 row = a.StartRow; row <= a.EndRow; ++row)
                for (sal_Int32 column = a.StartColumn; column <= a.EndColumn; ++column) {
                    auto code = errorValueOf(toUtf8(texts[row - top][column - left]));
                    if (!code)
                        continue;
                    // An error value read from an .xls shows as = alone, and LibreOffice's copy
                    // of it holds #N/A: the copy takes the error of the sheet it copies.
                    if (original != sheet) {
                        const Reference<css::table::XCell> cell = original->getCellByPosition(column, row);
                        if (const auto was = errorValueOf(toUtf8(cell->getFormula())))
                            code = *was == kErrorAsSaved ? biffErrorCode(cell->getError()) : *was;
                    }
                    cells.emplace(CellAt(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column)), *code);
                }
        }
    }
    return found;
}

// The formulas of a workbook holding error constants, with stand-ins in their place until
// the .xls is written (see xls_cells.h): the ranges set, with their formulas as they were.
struct ErrorConstantsHeld {
    Reference<css::beans::XPropertySet> doc;
    HeldFormulas held;
    std::vector<std::pair<Reference<css::sheet::XCellRangeFormula>, Sequence<Sequence<OUString>>>> ranges;
};

// The results of the formula cells of `cells`, as an .xls holds them, into `results`. The
// values are read a range at a time, the code of each error a cell at a time.
void readResults(const Reference<css::sheet::XSpreadsheet>& sheet, const Reference<css::sheet::XSheetCellRanges>& cells,
                 std::map<CellAt, FormulaResult>& results)
{
    const auto at = [](sal_Int32 column, sal_Int32 row) {
        return CellAt(static_cast<std::uint32_t>(row), static_cast<std::uint32_t>(column));
    };
    const Reference<css::sheet::XCellRangesQuery> query(cells, UNO_QUERY_THROW);
    for (const auto& a : query->queryContentCells(css::sheet::CellFlags::FORMULA)->getRangeAddresses()) {
        const Sequence<Sequence<Any>> data =
            Reference<css::sheet::XCellRangeData>(
                sheet->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW)
                ->getDataArray();
        for (sal_Int32 r = 0; r < data.getLength(); ++r)
            for (sal_Int32 c = 0; c < data[r].getLength(); ++c) {
                FormulaResult result;
                if (OUString text; data[r][c] >>= text) {
                    result.kind = FormulaResult::Kind::Text;
                    result.text = toU16(text);
                } else if (!(data[r][c] >>= result.number)) {
                    continue; // an error
                }
                results[at(a.StartColumn + c, a.StartRow + r)] = result;
            }
    }
    for (const auto& a : query->queryFormulaCells(css::sheet::FormulaResult::ERROR)->getRangeAddresses())
        for (sal_Int32 row = a.StartRow; row <= a.EndRow; ++row)
            for (sal_Int32 column = a.StartColumn; column <= a.EndColumn; ++column) {
                const std::uint8_t code = biffErrorCode(sheet->getCellByPosition(column, row)->getError());
                if (code != kErrorAsSaved)
                    results[at(column, row)] = FormulaResult{FormulaResult::Kind::Error, 0, {}, code};
            }
}

// Sets the formulas of a range at once, or where LibreOffice refuses that (a protected sheet),
// a cell at a time.
void setFormulas(const Reference<css::sheet::XCellRangeFormula>& range, const Sequence<Sequence<OUString>>& formulas)
{
    try {
        range->setFormulaArray(formulas);
    } catch (const css::uno::RuntimeException&) {
        const Reference<css::table::XCellRange> cells(range, UNO_QUERY_THROW);
        for (sal_Int32 r = 0; r < formulas.getLength(); ++r)
            for (sal_Int32 c = 0; c < formulas[r].getLength(); ++c)
                cells->getCellByPosition(c, r)->setFormula(formulas[r][c]);
    }
}

// Sets the formulas of `cells` on `sheet` again with their error constants (see
// withErrorConstants), each column's run of such cells at once; returns the cells it did.
std::set<CellAt> putErrorConstantsBack(const Reference<css::sheet::XSpreadsheet>& sheet,
                                       const std::map<CellAt, std::optional<std::vector<FormulaOperand>>>& cells)
{
    std::map<std::uint32_t, std::vector<std::pair<std::uint32_t, const std::vector<FormulaOperand>*>>> columns;
    for (const auto& [at, operands] : cells)
        if (operands)
            columns[at.second].emplace_back(at.first, &*operands);
    const auto rangeOf = [&](std::uint32_t column, std::uint32_t first, std::size_t count) {
        const auto c = static_cast<sal_Int32>(column), r = static_cast<sal_Int32>(first);
        return Reference<css::sheet::XCellRangeFormula>(
            sheet->getCellRangeByPosition(c, r, c, r + static_cast<sal_Int32>(count) - 1), UNO_QUERY_THROW);
    };
    std::set<CellAt> back;
    for (const auto& [column, rows] : columns) {
        for (std::size_t from = 0; from < rows.size();) {
            std::size_t to = from + 1;
            while (to < rows.size() && rows[to].first == rows[to - 1].first + 1)
                ++to;
            const Sequence<Sequence<OUString>> before = rangeOf(column, rows[from].first, to - from)->getFormulaArray();
            for (std::size_t k = 0; k < to - from;) {
                std::vector<OUString> with;
                const std::size_t start = k;
                for (; k < to - from; ++k) {
                    const auto text = withErrorConstants(toUtf8(before[static_cast<sal_Int32>(k)][0]), *rows[from + k].second);
                    if (!text)
                        break;
                    with.push_back(fromUtf8(*text));
                }
                if (with.empty()) {
                    ++k;
                    continue;
                }
                const auto range = rangeOf(column, rows[from + start].first, with.size());
                const Reference<css::table::XCellRange> each(range, UNO_QUERY_THROW);
                Sequence<Sequence<OUString>> set(static_cast<sal_Int32>(with.size()));
                for (std::size_t j = 0; j < with.size(); ++j)
                    set.getArray()[j] = Sequence<OUString>(&with[j], 1);
                // A formula LibreOffice does not take as given stays as it read it.
                const auto restore = [&](std::size_t j) {
                    try {
                        each->getCellByPosition(0, static_cast<sal_Int32>(j))
                            ->setFormula(before[static_cast<sal_Int32>(start + j)][0]);
                    } catch (const css::uno::RuntimeException&) {
                        // It failed to take the new one too: it still holds what it read.
                    }
                };
                try {
                    setFormulas(range, set);
                } catch (const css::uno::RuntimeException&) {
                    for (std::size_t j = 0; j < with.size(); ++j)
                        restore(j);
                    continue;
                }
                const Sequence<Sequence<OUString>> now = range->getFormulaArray();
                for (std::size_t j = 0; j < with.size(); ++j) {
                    if (now[static_cast<sal_Int32>(j)][0] == with[j])
                        back.emplace(rows[from + start + j].first, column);
                    else
                        restore(j);
                }
            }
            from = to;
        }
    }
    return back;
}

// Sets the stand-ins, and whole rows as areas, a range of formula cells at a time, after
// reading the results of the formulas and of those reading them on their sheet (which
// calculate with the stand-ins while the file is written). Array formulas, those with an error
// constant in an array constant and those calling a name as a function keep their constants:
// LibreOffice writes them as =NA() anyway, which the copy's note says. `h` holds what is to be set back, also when this fails
// part way.
void holdErrorConstants(const Reference<css::sheet::XSpreadsheetDocument>& doc, const std::set<OUString>& copies,
                        const fs::path& target, ErrorConstantsHeld& h)
{
    const std::set<std::string> names = definedNamesOf(doc);
    const Reference<css::lang::XMultiServiceFactory> factory(doc, UNO_QUERY_THROW);
    const Reference<css::container::XIndexAccess> sheets(doc->getSheets(), UNO_QUERY_THROW);
    h.doc.set(doc, UNO_QUERY_THROW);
    const HeightsKept heights(h.doc);
    for (sal_Int32 i = 0; i < sheets->getCount(); ++i) {
        const Reference<css::sheet::XSpreadsheet> sheet(sheets->getByIndex(i), UNO_QUERY_THROW);
        // The workbook's own sheets are written back from its file (see keepCells); what of them
        // cannot be, the first copy's note names. LibreOffice shows no whole rows in them: it
        // reads those of an .xls as areas.
        if (!copies.count(Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName()))
            continue;
        struct Range {
            Reference<css::sheet::XCellRangeFormula> range;
            css::table::CellRangeAddress at;
            Sequence<Sequence<OUString>> before, with;
        };
        std::vector<Range> found;
        std::vector<css::table::CellRangeAddress> cells;
        forEachFormulaRange(sheet, [&](const auto&, const css::table::CellRangeAddress& a, const auto& texts) {
            // Each column's runs of formulas to hold are set at once, and nothing else: the
            // range may hold array formulas, which cannot be set a part at a time.
            const sal_Int32 width = texts.hasElements() ? texts[0].getLength() : 0;
            for (sal_Int32 c = 0; c < width; ++c) {
                std::vector<OUString> before, with;
                const auto flush = [&](sal_Int32 end) {
                    if (with.empty())
                        return;
                    const auto column = [](const std::vector<OUString>& run) {
                        Sequence<Sequence<OUString>> rows(static_cast<sal_Int32>(run.size()));
                        for (std::size_t k = 0; k < run.size(); ++k)
                            rows.getArray()[k] = Sequence<OUString>(&run[k], 1);
                        return rows;
                    };
                    const css::table::CellRangeAddress at(a.Sheet, a.StartColumn + c,
                                                          a.StartRow + end - static_cast<sal_Int32>(with.size()),
                                                          a.StartColumn + c, a.StartRow + end - 1);
                    found.push_back(Range{Reference<css::sheet::XCellRangeFormula>(
                                              sheet->getCellRangeByPosition(at.StartColumn, at.StartRow, at.EndColumn, at.EndRow),
                                              UNO_QUERY_THROW),
                                          at, column(before), column(with)});
                    cells.push_back(at);
                    before.clear();
                    with.clear();
                };
                for (sal_Int32 r = 0; r < texts.getLength(); ++r) {
                    const OUString& text = texts[r][c];
                    const std::string formula = toUtf8(text);
                    // A formula holding a stand-in's text already could not be told from one.
                    const FormulaInAnXls scan = isArrayFormula(text) || formula.find("E-300") != std::string::npos
                                                    ? FormulaInAnXls()
                                                    : inAnXls(formula, names);
                    if (!scan.held()) {
                        flush(r);
                        continue;
                    }
                    before.push_back(text);
                    with.push_back(fromUtf8(scan.withStandIns));
                }
                flush(texts.getLength());
            }
        });
        if (found.empty())
            continue;
        const std::u16string name = toU16(Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName());
        const Reference<css::sheet::XSheetCellRangeContainer> held(
            factory->createInstance("com.sun.star.sheet.SheetCellRanges"), UNO_QUERY_THROW);
        held->addRangeAddresses(Sequence<css::table::CellRangeAddress>(cells.data(), static_cast<sal_Int32>(cells.size())), false);
        const Reference<css::sheet::XSheetCellRangeContainer> read(
            factory->createInstance("com.sun.star.sheet.SheetCellRanges"), UNO_QUERY_THROW);
        read->addRangeAddresses(Reference<css::sheet::XFormulaQuery>(held, UNO_QUERY_THROW)->queryDependents(true)->getRangeAddresses(),
                                true);
        read->addRangeAddresses(held->getRangeAddresses(), true);
        readResults(sheet, Reference<css::sheet::XSheetCellRanges>(read, UNO_QUERY_THROW), h.held.results[name]);
        auto& standIns = h.held.standIns[name];
        for (auto& r : found) {
            h.ranges.emplace_back(r.range, r.before);
            setFormulas(r.range, r.with);
            // LibreOffice must hold every stand-in as the number it was given: one it read
            // otherwise would be written into the file as =NA(), without a word.
            // So must it hold whole rows as the areas it was given.
            const auto count = [](const OUString& formula, const char* what) {
                sal_Int32 n = 0;
                for (sal_Int32 at = formula.indexOf(OUString::createFromAscii(what)); at >= 0;
                     at = formula.indexOf(OUString::createFromAscii(what), at + 1))
                    ++n;
                return n;
            };
            const Sequence<Sequence<OUString>> now = r.range->getFormulaArray();
            for (sal_Int32 row = 0; row < now.getLength(); ++row) {
                const OUString& with = r.with[row][0];
                if (count(now[row][0], "E-300") != count(with, "E-300") || count(now[row][0], ":$IV") != count(with, ":$IV"))
                    throw AutomationError(ErrorCode::SaveFailed,
                                          fmt::format("{}: the workbook was not saved, because LibreOffice did not take "
                                                      "the formula of {} on the sheet \"{}\" ({}) in the form an .xls "
                                                      "can hold; the file is unchanged.",
                                                      target.string(), cellName(r.at.StartColumn, r.at.StartRow + row),
                                                      toUtf8(fromU16(name)), toUtf8(r.before[row][0])));
                if (count(with, "E-300") > 0)
                    standIns.emplace(static_cast<std::uint32_t>(r.at.StartRow + row),
                                     static_cast<std::uint32_t>(r.at.StartColumn));
            }
        }
    }
}

// The formulas as they were, once the file is written.
void releaseErrorConstants(const ErrorConstantsHeld& h)
{
    const HeightsKept heights(h.doc);
    for (const auto& [range, formulas] : h.ranges)
        setFormulas(range, formulas);
}

// Column letters ("AB") -> a column index.
sal_Int32 columnIndex(const std::string& letters)
{
    sal_Int32 n = 0;
    for (const char ch : letters)
        n = n * 26 + (ch - 'A' + 1);
    return n - 1;
}

// The ranges of `sheet` that the formulas name, by the sheet's name as LibreOffice writes it
// ($Data.A1, $Data.A1:B3, $'Q1 Data'.A:A, $Data.2:5). A name found inside another word
// ("NORM.S.DIST") is followed by no reference and names nothing; one inside a string of the
// formula costs a cell cached for nothing.
std::vector<css::table::CellRangeAddress> rangesRead(const std::vector<std::string>& formulas, const std::string& sheet)
{
    static const std::regex kCells(R"(^\$?([A-Z]{1,3})\$?([0-9]{1,7})(?::(?:\$?(?:'(?:[^']|'')*'|[^.'\s;:()]+)\.)?\$?([A-Z]{1,3})\$?([0-9]{1,7}))?)");
    static const std::regex kColumns(R"(^\$?([A-Z]{1,3}):\$?([A-Z]{1,3})(?![0-9A-Za-z_]))");
    static const std::regex kRows(R"(^\$?([0-9]{1,7}):\$?([0-9]{1,7}))");
    std::string quoted = "'";
    for (const char ch : sheet)
        quoted += ch == '\'' ? std::string("''") : std::string(1, ch);
    quoted += "'";
    std::vector<css::table::CellRangeAddress> out;
    const auto add = [&](sal_Int32 c1, sal_Int32 r1, sal_Int32 c2, sal_Int32 r2) {
        css::table::CellRangeAddress a;
        a.StartColumn = std::min(c1, c2);
        a.EndColumn = std::max(c1, c2);
        a.StartRow = std::min(r1, r2);
        a.EndRow = std::max(r1, r2);
        out.push_back(a);
    };
    for (const std::string& f : formulas)
        for (const std::string& prefix : {sheet + ".", quoted + "."})
            for (std::size_t at = f.find(prefix); at != std::string::npos; at = f.find(prefix, at + 1)) {
                // "$MyData.A1" names the sheet MyData, not Data.
                if (at > 0 && prefix[0] != '\'' &&
                    (std::isalnum(static_cast<unsigned char>(f[at - 1])) || f[at - 1] == '_' || f[at - 1] == '.' ||
                     static_cast<unsigned char>(f[at - 1]) >= 0x80))
                    continue;
                const auto rest = f.begin() + static_cast<std::ptrdiff_t>(at + prefix.size());
                std::smatch m;
                if (std::regex_search(rest, f.end(), m, kCells)) {
                    const sal_Int32 c1 = columnIndex(m[1]), r1 = std::stoi(m[2]) - 1;
                    add(c1, r1, m[3].matched ? columnIndex(m[3]) : c1, m[4].matched ? std::stoi(m[4]) - 1 : r1);
                } else if (std::regex_search(rest, f.end(), m, kColumns)) {
                    add(columnIndex(m[1]), 0, columnIndex(m[2]), (1 << 20) - 1);
                } else if (std::regex_search(rest, f.end(), m, kRows)) {
                    add(0, std::stoi(m[1]) - 1, (1 << 14) - 1, std::stoi(m[2]) - 1);
                }
            }
    return out;
}

// A copy's references to the source's other sheets become references to the source file, and
// LibreOffice, which reads no other file here, takes their values only from its cache of that
// file: without one such a formula shows Err:540, and an .xls keeps the reference without its
// sheet's name. So the cache gets, before the import, the cells the copied sheet's formulas
// read in those sheets (only those: the copies go to many workbooks, and the rest of a sheet
// they read is none of their business), as a spreadsheet application keeps a linked
// workbook's values.
std::string upperCase(std::string text)
{
    for (char& ch : text)
        ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    return text;
}

// The words of a formula that may be names, in upper case: names compare without regard to case.
void addWords(std::unordered_set<std::string>& words, const std::string& formula)
{
    const auto word = [](char ch) { return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '.' || ch < 0; };
    for (std::size_t i = 0; i < formula.size();) {
        std::size_t end = i;
        while (end < formula.size() && word(formula[end]))
            ++end;
        if (end > i)
            words.insert(upperCase(formula.substr(i, end - i)));
        i = end + 1;
    }
}

// The names of the workbook and of `sheet`, with what each names.
std::vector<std::pair<std::string, std::string>> namesIn(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                                                         const Reference<css::sheet::XSpreadsheet>& sheet)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& holder : {Reference<css::beans::XPropertySet>(doc, UNO_QUERY_THROW),
                               Reference<css::beans::XPropertySet>(sheet, UNO_QUERY_THROW)}) {
        const Reference<css::container::XNameAccess> names(holder->getPropertyValue("NamedRanges"), UNO_QUERY);
        if (names.is())
            for (const OUString& name : names->getElementNames())
                out.emplace_back(toUtf8(name),
                                 toUtf8(Reference<css::sheet::XNamedRange>(names->getByName(name), UNO_QUERY_THROW)->getContent()));
    }
    return out;
}

// Whether `formula`, as LibreOffice shows it, may read a name that `known` (upper case) does
// not hold, or call a function `functions` (upper case) does not: a word outside quotes that is
// no number, boolean, error or reference. A word it lets through is only looked at more closely.
bool mayReadAnUnknownWord(const std::string& formula, const std::set<std::string>& known,
                          const std::set<std::string>& functions)
{
    const auto inWord = [](char ch) {
        return std::isalnum(static_cast<unsigned char>(ch)) || ch == '_' || ch == '.' || ch == '\\' || ch == '$' || ch < 0;
    };
    // A column's letters.
    const auto letters = [](std::string_view s) {
        return !s.empty() && s.size() <= 3 &&
               std::all_of(s.begin(), s.end(), [](char ch) { return std::isalpha(static_cast<unsigned char>(ch)); });
    };
    for (std::size_t i = 0; i < formula.size();) {
        const char ch = formula[i];
        if (ch == '"' || ch == '\'') { // a text or a quoted sheet's name; a quote doubled stays inside
            std::size_t end = i + 1;
            while (end < formula.size() && !(formula[end] == ch && (end + 1 == formula.size() || formula[end + 1] != ch)))
                end += formula[end] == ch ? 2 : 1;
            i = end + 1;
            continue;
        }
        if (ch == '[') { // a table's columns
            int depth = 0;
            for (; i < formula.size(); ++i) {
                depth += formula[i] == '[' ? 1 : formula[i] == ']' ? -1 : 0;
                if (depth == 0)
                    break;
            }
            ++i;
            continue;
        }
        if (!inWord(ch)) {
            ++i;
            continue;
        }
        std::size_t end = i;
        while (end < formula.size() && inWord(formula[end]))
            ++end;
        std::size_t next = end;
        while (next < formula.size() && formula[next] == ' ')
            ++next;
        const bool afterError = i > 0 && (formula[i - 1] == '#' || (i > 2 && formula.compare(i - 3, 3, "#N/") == 0));
        const bool call = next < formula.size() && (formula[next] == '(' || formula[next] == '[');
        const bool range = (next < formula.size() && formula[next] == ':') || (i > 0 && formula[i - 1] == ':');
        std::string word = formula.substr(i, end - i);
        i = end;
        if (afterError)
            continue;
        if (call) {
            // An add-in's function shows under its service's name (COM.SUN.STAR.SHEET.ADDIN....).
            const std::string function = upperCase(word);
            if (!functions.count(function) && function.rfind("COM.SUN.STAR.", 0) != 0 && formula[next] == '(')
                return true;
            continue;
        }
        if (const auto dot = word.rfind('.'); dot != std::string::npos)
            word.erase(0, dot + 1); // a reference on a sheet
        word.erase(std::remove(word.begin(), word.end(), '$'), word.end());
        if (word.empty() || std::isdigit(static_cast<unsigned char>(word[0])))
            continue;
        for (char& c : word)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        std::size_t digits = word.size();
        while (digits > 0 && std::isdigit(static_cast<unsigned char>(word[digits - 1])))
            --digits;
        const bool cell = digits < word.size() && letters(std::string_view(word).substr(0, digits));
        if (known.count(word) || word == "TRUE" || word == "FALSE" || cell || (range && letters(word)))
            continue;
        return true;
    }
    return false;
}

// The opcodes LibreOffice gives a defined name, a word it could not read, a call of a macro
// (how it reads a name of no definition from an .xls) and an opening parenthesis.
struct NameOpCodes {
    sal_Int32 name = -1, bad = -1, macro = -1, open = -1;
};

Reference<css::sheet::XFormulaOpCodeMapper> opCodeMapper(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    return Reference<css::sheet::XFormulaOpCodeMapper>(
        Reference<css::lang::XMultiServiceFactory>(doc, UNO_QUERY_THROW)
            ->createInstance("com.sun.star.sheet.FormulaOpCodeMapper"),
        UNO_QUERY_THROW);
}

NameOpCodes nameOpCodes(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    const Reference<css::sheet::XFormulaOpCodeMapper> mapper = opCodeMapper(doc);
    const Sequence<css::sheet::FormulaOpCodeMapEntry> special =
        mapper->getAvailableMappings(css::sheet::FormulaLanguage::ODFF, css::sheet::FormulaMapGroup::SPECIAL);
    const auto at = [&](sal_Int32 offset) { return offset < special.getLength() ? special[offset].Token.OpCode : -1; };
    const OUString parenthesis("(");
    const Sequence<css::sheet::FormulaToken> open =
        mapper->getMappings(Sequence<OUString>(&parenthesis, 1), css::sheet::FormulaLanguage::ODFF);
    return {at(css::sheet::FormulaMapGroupSpecialOffset::NAME), at(css::sheet::FormulaMapGroupSpecialOffset::BAD),
            at(css::sheet::FormulaMapGroupSpecialOffset::MACRO), open.hasElements() ? open[0].OpCode : -1};
}

// The functions LibreOffice knows, in upper case, as a formula shows them.
std::set<std::string> knownFunctions(const Reference<css::sheet::XSpreadsheetDocument>& doc)
{
    std::set<std::string> names;
    for (const auto& entry : opCodeMapper(doc)->getAvailableMappings(css::sheet::FormulaLanguage::API,
                                                                     css::sheet::FormulaMapGroup::FUNCTIONS))
        names.insert(upperCase(toUtf8(entry.Name)));
    return names;
}

// A formula may read a name its workbook does not define (one deleted, or one of the workbook
// it came from), or call a function LibreOffice does not know (a macro's, or one of a later
// version). LibreOffice holds the name as a word it could not read, or read from an .xls as a
// macro's name, and writes it into an .xls as a text ("total") or as #NAME?, where a spreadsheet
// application writes a name of no definition: the formula then no longer reads the name once it
// is defined, and a text shows #VALUE!. The call it writes as =NA(). The notes name those cells
// of `copy`, a sheet of `doc`.
std::vector<std::string> unknownWordsNotes(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                                           const Reference<css::sheet::XSpreadsheet>& copy, const std::string& copyName)
{
    std::set<std::string> names;
    for (const auto& [name, definition] : namesIn(doc, copy))
        names.insert(upperCase(name));
    std::optional<std::set<std::string>> functions;
    std::optional<NameOpCodes> ops;
    struct Found {
        std::uint64_t count = 0;
        std::string first;
    } reads, calls;
    forEachFormulaRange(copy, [&](const auto&, const css::table::CellRangeAddress& a, const auto& texts) {
        for (sal_Int32 r = 0; r < texts.getLength(); ++r)
            for (sal_Int32 c = 0; c < texts[r].getLength(); ++c) {
                if (!functions)
                    functions = knownFunctions(doc);
                if (!mayReadAnUnknownWord(toUtf8(texts[r][c]), names, *functions))
                    continue;
                if (!ops)
                    ops = nameOpCodes(doc);
                const Sequence<css::sheet::FormulaToken> tokens =
                    Reference<css::sheet::XFormulaTokens>(copy->getCellByPosition(a.StartColumn + c, a.StartRow + r),
                                                          UNO_QUERY_THROW)
                        ->getTokens();
                bool read = false, called = false;
                for (sal_Int32 k = 0; k < tokens.getLength(); ++k) {
                    if ((tokens[k].OpCode != ops->bad && tokens[k].OpCode != ops->macro) ||
                        tokens[k].Data.getValueTypeClass() != css::uno::TypeClass_STRING)
                        continue;
                    (k + 1 < tokens.getLength() && tokens[k + 1].OpCode == ops->open ? called : read) = true;
                }
                for (auto [found, is] : {std::pair(&reads, read), std::pair(&calls, called)})
                    if (is && found->count++ == 0)
                        found->first = fmt::format("{} {}", cellName(a.StartColumn + c, a.StartRow + r), toUtf8(texts[r][c]));
            }
    });
    std::vector<std::string> notes;
    if (reads.count > 0) {
        const std::string cells = countedCells(reads.count, reads.first).first;
        notes.push_back(fmt::format("\"{}\": {} {} names that no workbook defines, which LibreOffice writes into an .xls "
                                    "workbook as texts or as #NAME?, not as names: there {} not read them once they are "
                                    "defined, and a text shows #VALUE!",
                                    copyName, cells, reads.count == 1 ? "reads" : "read",
                                    reads.count == 1 ? "it does" : "they do"));
    }
    if (calls.count > 0) {
        const std::string cells = countedCells(calls.count, calls.first).first;
        notes.push_back(fmt::format("\"{}\": {} {} functions LibreOffice does not know (a macro's, or one of a later "
                                    "version), which an .xls written by LibreOffice keeps as =NA(), showing #N/A",
                                    copyName, cells, calls.count == 1 ? "calls" : "call"));
    }
    return notes;
}

// An .xls can hold a name of no definition that its formulas read through another
// sheet's reference; LibreOffice then lists no such name, shows those formulas with #NAME?,
// and its import gives the copy another name in its place (=SUM(#NAME?) became =SUM(col3_)).
// Those formulas of `copy` take the source's as LibreOffice shows them, where they read no other
// sheet (whose references the text would give the destination's sheets).
void keepNamesOfNoEntry(const Reference<css::sheet::XSpreadsheetDocument>& from,
                        const Reference<css::sheet::XSpreadsheet>& source, const Reference<css::sheet::XSpreadsheet>& copy)
{
    std::optional<NameOpCodes> ops;
    std::set<std::pair<sal_Int32, sal_Int32>> listed; // index, sheet (-1: the workbook's)
    forEachFormulaRange(source, [&](const auto&, const css::table::CellRangeAddress& a, const auto& texts) {
        for (sal_Int32 r = 0; r < texts.getLength(); ++r)
            for (sal_Int32 c = 0; c < texts[r].getLength(); ++c) {
                static const std::regex sheetReference(R"(\.\$?[A-Za-z'])");
                if (texts[r][c].indexOf("#NAME?") < 0 || isArrayFormula(texts[r][c]) ||
                    std::regex_search(toUtf8(texts[r][c]), sheetReference))
                    continue;
                if (!ops) {
                    ops = nameOpCodes(from);
                    const Reference<css::container::XIndexAccess> sheets(from->getSheets(), UNO_QUERY_THROW);
                    for (sal_Int32 s = -1; s < sheets->getCount(); ++s) {
                        const Reference<css::beans::XPropertySet> holder =
                            s < 0 ? Reference<css::beans::XPropertySet>(from, UNO_QUERY_THROW)
                                  : Reference<css::beans::XPropertySet>(sheets->getByIndex(s), UNO_QUERY_THROW);
                        const Reference<css::container::XNameAccess> names(holder->getPropertyValue("NamedRanges"), UNO_QUERY);
                        if (names.is())
                            for (const OUString& name : names->getElementNames()) {
                                sal_Int32 index = -1;
                                Reference<css::beans::XPropertySet>(names->getByName(name), UNO_QUERY_THROW)
                                        ->getPropertyValue("TokenIndex") >>= index;
                                listed.emplace(index, s);
                            }
                    }
                }
                const sal_Int32 column = a.StartColumn + c, row = a.StartRow + r;
                const Sequence<css::sheet::FormulaToken> tokens =
                    Reference<css::sheet::XFormulaTokens>(source->getCellByPosition(column, row), UNO_QUERY_THROW)->getTokens();
                for (const auto& token : tokens) {
                    css::sheet::NameToken name;
                    if (token.OpCode == ops->name && (token.Data >>= name) && !listed.count({name.Index, name.Sheet})) {
                        copy->getCellByPosition(column, row)->setFormula(texts[r][c]);
                        break;
                    }
                }
            }
    });
}

struct CachedReads {
    bool any = false;
    // The names the formulas use that read other sheets.
    std::vector<std::string> names;
};

CachedReads cacheTheCellsItReads(const Reference<css::sheet::XSpreadsheetDocument>& from,
                                              const Reference<css::sheet::XSpreadsheet>& source,
                                              const Reference<css::sheet::XSpreadsheetDocument>& to)
{
    std::vector<std::string> formulas;
    const Reference<css::sheet::XSheetCellRanges> withFormulas =
        Reference<css::sheet::XCellRangesQuery>(source, UNO_QUERY_THROW)->queryContentCells(css::sheet::CellFlags::FORMULA);
    for (const auto& a : withFormulas->getRangeAddresses())
        for (const auto& [top, block] : blocksOf(source, a))
            for (const auto& row : Reference<css::sheet::XCellRangeFormula>(block, UNO_QUERY_THROW)->getFormulaArray())
                for (const OUString& formula : row)
                    formulas.push_back(toUtf8(formula));
    if (formulas.empty())
        return {};
    // A name the formulas use reads what its content names ("Rate" for $Other.$A$1).
    std::vector<std::pair<std::string, std::string>> namesUsed;
    std::unordered_set<std::string> words;
    for (const std::string& f : formulas)
        addWords(words, f);
    for (const auto& [name, content] : namesIn(from, source))
        if (words.count(upperCase(name)))
            namesUsed.emplace_back(name, content);
    for (const auto& [name, content] : namesUsed)
        formulas.push_back(content);
    const OUString own = Reference<css::container::XNamed>(source, UNO_QUERY_THROW)->getName();
    Reference<css::sheet::XExternalDocLink> link;
    std::set<std::string> namesReading;
    for (const OUString& name : from->getSheets()->getElementNames()) {
        if (name == own)
            continue;
        const std::vector<css::table::CellRangeAddress> read = rangesRead(formulas, toUtf8(name));
        if (read.empty())
            continue;
        for (const auto& [used, content] : namesUsed)
            if (!rangesRead({content}, toUtf8(name)).empty())
                namesReading.insert(used);
        if (!link.is())
            link = Reference<css::sheet::XExternalDocLinks>(
                       Reference<css::beans::XPropertySet>(to, UNO_QUERY_THROW)->getPropertyValue("ExternalDocLinks"),
                       UNO_QUERY_THROW)
                       ->addDocLink(Reference<css::frame::XModel>(from, UNO_QUERY_THROW)->getURL());
        const Reference<css::sheet::XExternalSheetCache> cache = link->addSheetCache(name, false);
        const Reference<css::sheet::XSpreadsheet> sheet(from->getSheets()->getByName(name), UNO_QUERY_THROW);
        // Only cells with content: an empty cell is read as "", where a reference shows 0.
        const Sequence<css::table::CellRangeAddress> content =
            Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)
                ->queryContentCells(css::sheet::CellFlags::VALUE | css::sheet::CellFlags::DATETIME |
                                    css::sheet::CellFlags::STRING | css::sheet::CellFlags::FORMULA)
                ->getRangeAddresses();
        for (const auto& wanted : read)
            for (auto a : content) {
                a.StartColumn = std::max(a.StartColumn, wanted.StartColumn);
                a.EndColumn = std::min(a.EndColumn, wanted.EndColumn);
                a.StartRow = std::max(a.StartRow, wanted.StartRow);
                a.EndRow = std::min(a.EndRow, wanted.EndRow);
                for (const auto& [top, block] : blocksOf(sheet, a)) {
                    const Sequence<Sequence<Any>> values =
                        Reference<css::sheet::XCellRangeData>(block, UNO_QUERY_THROW)->getDataArray();
                    for (sal_Int32 r = 0; r < values.getLength(); ++r)
                        for (sal_Int32 c = 0; c < values[r].getLength(); ++c)
                            if (values[r][c].hasValue())
                                cache->setCellValue(a.StartColumn + c, top + r, values[r][c]);
                }
            }
    }
    return {link.is(), {namesReading.begin(), namesReading.end()}};
}

// The name of the first chart of `sheet` whose data is in another sheet. Imported into another
// workbook, such a chart keeps the values it showed as data of its own, which an .xls cannot
// hold: LibreOffice writes it there without any series.
std::optional<std::string> chartReadingOtherSheets(const Reference<css::sheet::XSpreadsheet>& sheet)
{
    const sal_Int16 own = Reference<css::sheet::XCellRangeAddressable>(sheet, UNO_QUERY_THROW)->getRangeAddress().Sheet;
    const Reference<css::table::XTableCharts> charts =
        Reference<css::table::XTableChartsSupplier>(sheet, UNO_QUERY_THROW)->getCharts();
    for (const OUString& name : charts->getElementNames())
        for (const auto& range : Reference<css::table::XTableChart>(charts->getByName(name), UNO_QUERY_THROW)->getRanges())
            if (range.Sheet != own)
                return toUtf8(name);
    return std::nullopt;
}

// The first formula of a data validation or conditional format of `sheet` that reads another
// sheet or a name. LibreOffice's import points such a formula at the destination's sheet in the
// same position (an .xls even at the copy itself), and carries no name over for it, so the copy
// would check or colour its cells by other data, or by none.
std::optional<std::string> ruleReadingOtherSheets(const Reference<css::sheet::XSpreadsheetDocument>& doc,
                                                  const Reference<css::sheet::XSpreadsheet>& sheet)
{
    std::vector<std::string> formulas;
    const auto take = [&](const Reference<css::beans::XPropertySet>& rule) {
        for (const char* p : {"Formula1", "Formula2"}) {
            const OUString name = OUString::createFromAscii(p);
            if (rule->getPropertySetInfo()->hasPropertyByName(name)) {
                const std::string f = toUtf8(rule->getPropertyValue(name).get<OUString>());
                if (!f.empty())
                    formulas.push_back(f);
            }
        }
    };
    const Reference<css::container::XIndexAccess> groups(
        Reference<css::sheet::XUniqueCellFormatRangesSupplier>(sheet, UNO_QUERY_THROW)->getUniqueCellFormatRanges(),
        UNO_QUERY_THROW);
    for (sal_Int32 g = 0; g < groups->getCount(); ++g) {
        const Reference<css::sheet::XSheetCondition> validation(
            Reference<css::beans::XPropertySet>(groups->getByIndex(g), UNO_QUERY_THROW)->getPropertyValue("Validation"),
            UNO_QUERY);
        if (validation.is())
            for (const OUString& f : {validation->getFormula1(), validation->getFormula2()})
                if (!f.isEmpty())
                    formulas.push_back(toUtf8(f));
    }
    const Reference<css::sheet::XConditionalFormats> conditional(
        Reference<css::beans::XPropertySet>(sheet, UNO_QUERY_THROW)->getPropertyValue("ConditionalFormats"), UNO_QUERY);
    if (conditional.is())
        for (const auto& format : conditional->getConditionalFormats())
            for (sal_Int32 i = 0; i < format->getCount(); ++i) {
                const Reference<css::beans::XPropertySet> entry(format->getByIndex(i), UNO_QUERY);
                if (entry.is())
                    take(entry);
            }
    if (formulas.empty())
        return std::nullopt;
    const OUString own = Reference<css::container::XNamed>(sheet, UNO_QUERY_THROW)->getName();
    for (const OUString& name : doc->getSheets()->getElementNames())
        if (name != own)
            for (const std::string& f : formulas)
                if (!rangesRead({f}, toUtf8(name)).empty())
                    return f;
    // The import carries no name into the destination for them: a list read from a name
    // would offer nothing.
    const auto names = namesIn(doc, sheet);
    for (const std::string& f : formulas) {
        std::unordered_set<std::string> words;
        addWords(words, f);
        for (const auto& [name, content] : names)
            if (words.count(upperCase(name)))
                return f;
    }
    return std::nullopt;
}

// LibreOffice shows an error value it read from an .xls as a formula of nothing, and its copy of
// such a cell in another workbook holds another error (#N/A in an .xls, #NAME? in an .ods); its
// copy of an error a pivot table showed is its own Err:520. The copy's cell gets the source's
// error as a formula of that error constant: what an .ods holds for an error value, and what the
// save of an .xls writes back as the value.
void keepErrorValues(const Reference<css::sheet::XSpreadsheetDocument>& to, const Reference<css::sheet::XSpreadsheet>& source,
                     const Reference<css::sheet::XSpreadsheet>& copy)
{
    const Sequence<css::table::CellRangeAddress> ranges =
        Reference<css::sheet::XCellRangesQuery>(copy, UNO_QUERY_THROW)
            ->queryFormulaCells(css::sheet::FormulaResult::ERROR)
            ->getRangeAddresses();
    if (!ranges.hasElements())
        return;
    const HeightsKept heights(to);
    for (const auto& a : ranges) {
        const Sequence<Sequence<OUString>> texts =
            Reference<css::sheet::XCellRangeFormula>(
                copy->getCellRangeByPosition(a.StartColumn, a.StartRow, a.EndColumn, a.EndRow), UNO_QUERY_THROW)
                ->getFormulaArray();
        for (sal_Int32 row = a.StartRow; row <= a.EndRow; ++row)
            for (sal_Int32 column = a.StartColumn; column <= a.EndColumn; ++column) {
                const OUString& text = texts[row - a.StartRow][column - a.StartColumn];
                if (!text.startsWith("Err:") && errorValueOf(toUtf8(text)) != kErrorAsSaved)
                    continue;
                const std::uint8_t code = biffErrorCode(source->getCellByPosition(column, row)->getError());
                const auto constant = std::find_if(std::begin(kErrorConstants), std::end(kErrorConstants),
                                                   [&](const ErrorConstant& e) { return e.code == code; });
                if (constant != std::end(kErrorConstants))
                    copy->getCellByPosition(column, row)
                        ->setFormula(OUString::createFromAscii("=") + OUString::createFromAscii(constant->text));
            }
    }
}

// LibreOffice reads a link of an .xlsx to a place in the workbook itself ("#Data!A1") as a link
// into the file, and its import carries that file's name over to the copy; an .xls written by
// it then names the place twice, which breaks the link. The copy's links into the source file
// stay links to a place in the workbook, as they are in the source and in the native engine's
// copies.
void linksInsideStayInside(const Reference<css::sheet::XSpreadsheet>& copy, const OUString& sourceUrl)
{
    const OUString prefix = sourceUrl + "#";
    const Reference<css::sheet::XSheetCellRanges> rich =
        Reference<css::sheet::XCellRangesQuery>(copy, UNO_QUERY_THROW)->queryContentCells(css::sheet::CellFlags::FORMATTED);
    for (const auto& a : rich->getRangeAddresses())
        for (sal_Int32 r = a.StartRow; r <= a.EndRow; ++r)
            for (sal_Int32 c = a.StartColumn; c <= a.EndColumn; ++c) {
                const Reference<css::container::XEnumeration> fields =
                    Reference<css::text::XTextFieldsSupplier>(copy->getCellByPosition(c, r), UNO_QUERY_THROW)
                        ->getTextFields()
                        ->createEnumeration();
                while (fields->hasMoreElements()) {
                    const Reference<css::beans::XPropertySet> field(fields->nextElement(), UNO_QUERY);
                    if (!field.is() || !field->getPropertySetInfo()->hasPropertyByName("URL"))
                        continue;
                    const OUString url = field->getPropertyValue("URL").get<OUString>();
                    if (url.startsWith(prefix))
                        field->setPropertyValue("URL", Any(OUString("#" + url.copy(prefix.getLength()))));
                }
            }
}

// The pivot tables of `sheet`, by name.
std::vector<std::string> pivotTables(const Reference<css::sheet::XSpreadsheet>& sheet)
{
    std::vector<std::string> names;
    for (const OUString& name : Reference<css::sheet::XDataPilotTablesSupplier>(sheet, UNO_QUERY_THROW)
                                    ->getDataPilotTables()
                                    ->getElementNames())
        names.push_back(toUtf8(name));
    return names;
}

constexpr const char* kAsianTextInOfficeFont =
    "LibreOffice writes its Chinese, Japanese or Korean text in its own default font and not in the fonts its cells name";

std::string protectedAsianTextNote(const std::string& sheetName)
{
    return fmt::format("\"{}\": the sheet is protected, so {}", sheetName, kAsianTextInOfficeFont);
}

// The protected sheets with Asian text of the files LibreOffice wrote in this process, by file
// identity. Such a file opened again (by the next sheet of a job, which copies from the
// destination it wrote, through a server of its own) gives a copy LibreOffice's font, which
// that copy's report must name too.
std::mutex writtenFontsLock;
std::map<std::string, std::set<OUString>> writtenFonts;

void rememberAsianTextInOfficeFont(const std::string& file, const std::set<OUString>& sheets)
{
    const std::lock_guard<std::mutex> hold(writtenFontsLock);
    writtenFonts[file] = sheets;
}

std::set<OUString> asianTextInOfficeFont(const std::string& file)
{
    const std::lock_guard<std::mutex> hold(writtenFontsLock);
    const auto it = writtenFonts.find(file);
    return it == writtenFonts.end() ? std::set<OUString>{} : it->second;
}

std::string describeFont(const Reference<css::beans::XPropertySet>& style)
{
    return fmt::format("{} {} pt", toUtf8(style->getPropertyValue("CharFontName").get<OUString>()),
                       style->getPropertyValue("CharHeight").get<float>());
}

AutomationError notOpenable(const fs::path& file)
{
    std::error_code ec;
    if (!fs::exists(file, ec))
        return AutomationError(ErrorCode::FileNotFound, fmt::format("{}: there is no such workbook file.", file.string()));
    if (fs::is_directory(file, ec))
        return AutomationError(ErrorCode::IsFolder, fmt::format("{}: this is a folder, not a workbook.", file.string()));
    return AutomationError(ErrorCode::UnknownFormat,
                           fmt::format("{}: this is not a workbook LibreOffice opens for Tessaro (.xls, .xlsb, .ods or "
                                       ".xlsx), or it is damaged or encrypted.",
                                       file.string()));
}

} // namespace

// What a sheet's view shows (see SheetView), as LibreOffice keeps it for a workbook other than an
// .xls (its view data): split mode 2 is a frozen split, whose position counts columns or rows.
std::optional<SheetView> sheetViewOf(const Reference<css::sheet::XSpreadsheetDocument>& doc, const OUString& sheet)
{
    const Reference<css::document::XViewDataSupplier> supplier(doc, UNO_QUERY);
    const Reference<css::container::XIndexAccess> views = supplier.is() ? supplier->getViewData() : nullptr;
    if (views.is() && views->getCount() > 0) {
        Sequence<css::beans::PropertyValue> view;
        views->getByIndex(0) >>= view;
        for (const auto& setting : view) {
            Reference<css::container::XNameAccess> tables;
            if (setting.Name != "Tables" || !(setting.Value >>= tables) || !tables.is() || !tables->hasByName(sheet))
                continue;
            Sequence<css::beans::PropertyValue> table;
            tables->getByName(sheet) >>= table;
            std::map<OUString, sal_Int32> v;
            SheetView shown;
            for (const auto& p : table) {
                sal_Int32 n = 0;
                bool yes = true;
                if (p.Value >>= n)
                    v[p.Name] = std::max<sal_Int32>(n, 0);
                else if (p.Name == "ShowGrid" && (p.Value >>= yes))
                    shown.gridHidden = !yes;
            }
            const auto position = [&](const char* name) {
                const auto it = v.find(OUString::createFromAscii(name));
                return static_cast<std::uint32_t>(it != v.end() ? it->second : v[OUString::createFromAscii(name) + "Twips"]);
            };
            if (v["HorizontalSplitMode"] == 2) {
                shown.columns = position("HorizontalSplitPosition");
                shown.firstColumn = std::max(shown.columns, static_cast<std::uint32_t>(v["PositionRight"]));
            }
            if (v["VerticalSplitMode"] == 2) {
                shown.rows = position("VerticalSplitPosition");
                shown.firstRow = std::max(shown.rows, static_cast<std::uint32_t>(v["PositionBottom"]));
            }
            // A zoom of 0 is a zoom to fit, which no other reader knows.
            if (v["ZoomType"] == 0 && v["ZoomValue"] > 0)
                shown.zoom = static_cast<std::uint32_t>(v["ZoomValue"]);
            return shown.any() ? std::optional(shown) : std::nullopt;
        }
    }
    return std::nullopt;
}

struct OfficeAutomation::Impl {
    struct Book {
        fs::path path;
        WorkbookFormat format = WorkbookFormat::Unknown;
        Reference<css::sheet::XSpreadsheetDocument> doc;
        int generation = 0;
        std::uint64_t revision = 0;
        bool dirty = false;
        bool macros = false;
        std::optional<FileIdentity> stamp;
        // Whether oneFontForEveryScript ran: on the first write, not on loading, since most
        // workbooks are loaded only to list their sheets.
        bool fontsMended = false;
        bool printRangesKept = false;
        // Protected sheets whose Asian text LibreOffice writes in its own font.
        std::set<OUString> asianTextInOfficeFont;
        // Those of them that had LibreOffice's font in the file already: this office wrote it.
        std::set<OUString> asianTextInOfficeFontBefore;
        bool ownSheetsReported = false;
        // The views of the copies made into it (frozen panes, grid lines, zoom), which
        // LibreOffice writes for none of them.
        std::map<OUString, SheetView> copiesViews;
        // The copies made within it, each with the sheet of the file it copies.
        std::map<OUString, OUString> copiedFrom;
        // Those of an .xls's sheets, which LibreOffice keeps to itself: read from the file once.
        std::optional<std::map<std::u16string, SheetView>> fileViews;
        // The sheets copied into it, by their names there.
        std::set<OUString> copies;
        // An .xls's formulas whose error constants LibreOffice read as nothing and that could
        // not be put back, by sheet, and the cells of those that were: put back once, before
        // the first copy out of it.
        std::optional<std::vector<FormulasNotKept>> readAsNothing;
        std::map<std::u16string, std::set<CellAt>> errorConstantsBack;
    };
    struct Sheet {
        std::uint32_t book = 0;
        Reference<css::sheet::XSpreadsheet> sheet;
    };

    explicit Impl(std::shared_ptr<Office> o) : office(std::move(o)), uno(office->impl()) {}

    std::shared_ptr<Office> office;
    Office::Impl& uno;
    std::map<std::uint32_t, Book> books;
    // What the copies made so far left otherwise than in their source.
    std::vector<std::string> notes;
    std::map<std::uint32_t, Sheet> sheets;
    std::uint32_t nextBook = 1;
    std::uint32_t nextSheet = 1;

    Book& book(WorkbookRef ref)
    {
        const auto it = books.find(ref.id);
        if (it == books.end())
            throw AutomationError(ErrorCode::WorkbookNotOpen, "A workbook handle that is not open in this LibreOffice instance was used.");
        return it->second;
    }

    // A workbook that was in an office which has died since is gone with it.
    Book& live(WorkbookRef ref)
    {
        Book& b = book(ref);
        if (!uno.current(b.generation))
            throw AutomationError(ErrorCode::WorkbookGone, fmt::format("{}: this workbook is no longer open, because LibreOffice "
                                                     "stopped since it was opened; open it again.",
                                                     b.path.string()));
        return b;
    }

    Sheet& sheet(SheetRef ref)
    {
        const auto it = sheets.find(ref.id);
        if (it == sheets.end() || it->second.book != ref.book.id)
            throw AutomationError(ErrorCode::SheetNotOpen, "A sheet handle that is not open in this LibreOffice instance was used.");
        return it->second;
    }

    Reference<css::container::XIndexAccess> sheetIndex(const Book& b)
    {
        return Reference<css::container::XIndexAccess>(b.doc->getSheets(), UNO_QUERY_THROW);
    }

    SheetRef remember(WorkbookRef b, Reference<css::sheet::XSpreadsheet> s)
    {
        const std::uint32_t id = nextSheet++;
        sheets[id] = Sheet{b.id, std::move(s)};
        return SheetRef{b, id};
    }

    // What keeps the native engine from writing a workbook keeps LibreOffice from it too:
    // read-only, locked by another program (the lock file of the office this process drives
    // is its own), an unwritable folder, or changed since it was loaded.
    void guardForSaving(std::optional<xlsx::SaveGuard>& guard, const Book& b, const fs::path& target,
                        std::chrono::milliseconds wait)
    {
        std::string ownProfile;
        {
            std::lock_guard lock(uno.mutex_);
            ownProfile = uno.profile_.filename().string();
        }
        try {
            guard.emplace(target, target.string(), std::string_view{}, wait, ownProfile);
            if (target == b.path && b.stamp && identityOfFile(target) != b.stamp)
                throw xlsx::EngineError(xlsx::ErrorCode::FileChangedSinceOpened, target.string());
        } catch (const xlsx::EngineError& e) {
            throw e.toAutomationError();
        }
    }

    // LibreOffice reads an error constant inside a formula of an .xls as nothing (see xls_cells.h):
    // each such formula is set again with its constants, from the file's own tokens, where the
    // formula LibreOffice shows matches them operand for operand.
    const std::vector<FormulasNotKept>& readAsNothing(Book& b)
    {
        if (b.readAsNothing)
            return *b.readAsNothing;
        b.readAsNothing.emplace();
        if (b.format != WorkbookFormat::Xls)
            return *b.readAsNothing;
        const ReadAsNothing found = formulasReadAsNothingInFile(b.path);
        if (found.empty())
            return *b.readAsNothing;
        // The constants come from the file as it was loaded, never from what another program
        // may have saved there since: those formulas are only named then.
        const bool asLoaded = b.stamp && identityOfFile(b.path) == b.stamp;
        uno.run(b.path, "putting its formulas' error constants back", [&] {
            const HeightsKept heights(b.doc);
            const Reference<css::container::XNameAccess> byName(b.doc->getSheets(), UNO_QUERY_THROW);
            for (const auto& [name, cells] : found) {
                std::set<CellAt> back;
                if (asLoaded && byName->hasByName(fromU16(name)))
                    back = putErrorConstantsBack(
                        Reference<css::sheet::XSpreadsheet>(byName->getByName(fromU16(name)), UNO_QUERY_THROW), cells);
                FormulasNotKept lost{name, 0, {}};
                for (const auto& cell : cells)
                    if (!back.count(cell.first) && lost.cells++ == 0)
                        lost.first = cell.first;
                if (lost.cells > 0)
                    b.readAsNothing->push_back(std::move(lost));
                if (!back.empty())
                    b.errorConstantsBack[name] = std::move(back);
            }
        });
        return *b.readAsNothing;
    }

    void mendFonts(Book& b)
    {
        if (b.fontsMended)
            return;
        if (loadedForEditing(b.format) && b.format != WorkbookFormat::Ods)
            b.asianTextInOfficeFont.merge(
                uno.run(b.path, "setting the fonts of its Asian text", [&] { return oneFontForEveryScript(b.doc); }));
        b.fontsMended = true;
    }

    // Before an .xlsb's sheets are converted or copied: LibreOffice read none of its print ranges.
    void keepPrintRanges(Book& b)
    {
        if (b.printRangesKept || b.format != WorkbookFormat::Xlsb)
            return;
        b.printRangesKept = true;
        std::map<std::u16string, PrintRanges> ranges;
        try {
            ranges = printRangesOfXlsb(b.path);
        } catch (const std::exception&) {
            return; // the sheets print whole, as LibreOffice read them
        }
        if (!ranges.empty())
            uno.run(b.path, "setting the print ranges of its sheets", [&] { setPrintRanges(b.doc, ranges); });
    }

    std::optional<SheetView> viewOf(Book& b, const OUString& sheet)
    {
        if (const auto it = b.copiesViews.find(sheet); it != b.copiesViews.end())
            return it->second;
        if (b.format != WorkbookFormat::Xls)
            return sheetViewOf(b.doc, sheet);
        if (!b.fileViews) {
            try {
                b.fileViews = sheetViewsOfFile(b.path);
            } catch (const VbaProjectError&) {
                b.fileViews.emplace(); // LibreOffice read the file; its views are not worth a copy
            }
        }
        const auto it = b.fileViews->find(toU16(sheet));
        return it != b.fileViews->end() ? std::optional(it->second) : std::nullopt;
    }

    void store(Book& b, const fs::path& target, WorkbookFormat as, const std::string& doing = "saving it")
    {
        std::optional<xlsx::SaveGuard> guard;
        guardForSaving(guard, b, target, kLockWait);
        std::optional<ReplacementFile> out;
        try {
            out.emplace(target);
        } catch (const std::system_error& e) {
            throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook cannot be written there ({}).",
                                                            target.string(), e.code().message()));
        }
        if (target == b.path && b.stamp)
            out->requireTargetStill(b.stamp->key());
        const OUString url = fileUrl(out->path());
        mendFonts(b);
        // An .xls is written with stand-ins for its formulas' error constants (see xls_cells.h);
        // the workbook gets its formulas back whatever happens.
        ErrorConstantsHeld held;
        const auto release = [&] {
            if (!held.ranges.empty())
                uno.run(target, "setting its formulas back", [&] { releaseErrorConstants(held); });
        };
        try {
            if (as == WorkbookFormat::Xls)
                uno.run(target, "setting its formulas' error constants aside", [&] { holdErrorConstants(b.doc, b.copies, target, held); });
            uno.run(target, doing, [&] {
                Reference<css::frame::XStorable>(b.doc, UNO_QUERY_THROW)
                    ->storeToURL(url, properties({{"FilterName", Any(OUString::createFromAscii(filterFor(as)))},
                                                  {"Overwrite", Any(true)}}));
            });
        } catch (...) {
            try {
                release();
            } catch (const std::exception&) {
                // The office failed already; the save's own error is the one to report.
            }
            throw;
        }
        release();
        // The views of the copies still in the workbook, by name as `key` makes it.
        const auto copiesViews = [&](auto key) {
            std::map<decltype(key(OUString())), SheetView> still;
            for (const auto& [name, view] : b.copiesViews)
                if (b.doc->getSheets()->hasByName(name))
                    still.emplace(key(name), view);
            return still;
        };
        if (as == WorkbookFormat::Ods && b.format == WorkbookFormat::Ods) {
            try {
                keepViewSettings(b.path, out->path(), copiesViews([](const OUString& n) { return toUtf8(n); }));
            } catch (const std::exception& e) {
                throw AutomationError(ErrorCode::SaveFailed,
                                      fmt::format("{}: the workbook was not saved, because the view of its sheets "
                                                  "(frozen panes, zoom) could not be kept: {}; the file is unchanged.",
                                                  target.string(), e.what()));
            }
        }
        if (as == WorkbookFormat::Ods) {
            const Reference<css::container::XNameAccess> tables(b.doc->getSheets(), UNO_QUERY_THROW);
            const NumberAt numberAt = [&](const std::string& name, std::uint32_t row, std::uint32_t column) {
                return uno.run(target, "reading its numbers", [&]() -> std::optional<double> {
                    const OUString sheetName = OUString::fromUtf8(name.c_str());
                    if (!tables->hasByName(sheetName) || row > SAL_MAX_INT32 || column > SAL_MAX_INT32)
                        return std::nullopt;
                    const Reference<css::table::XCell> cell =
                        Reference<css::sheet::XSpreadsheet>(tables->getByName(sheetName), UNO_QUERY_THROW)
                            ->getCellByPosition(static_cast<sal_Int32>(column), static_cast<sal_Int32>(row));
                    const auto type = cell->getType();
                    if (type != css::table::CellContentType_VALUE &&
                        !(type == css::table::CellContentType_FORMULA && cell->getError() == 0))
                        return std::nullopt;
                    return cell->getValue();
                });
            };
            try {
                keepNumbersWhole(out->path(), numberAt);
            } catch (const AutomationError&) {
                throw;
            } catch (const std::exception& e) {
                throw AutomationError(ErrorCode::SaveFailed,
                                      fmt::format("{}: the workbook was not saved, because the numbers LibreOffice "
                                                  "writes with fewer digits could not be written whole: {}; the file "
                                                  "is unchanged.",
                                                  target.string(), e.what()));
            }
        }
        // A legacy source's .xlsx: LibreOffice writes the view of an .xls's sheets only.
        if (as == WorkbookFormat::Ooxml && b.format != WorkbookFormat::Xls) {
            std::map<std::string, SheetView> views;
            for (const OUString& name : b.doc->getSheets()->getElementNames())
                if (const auto view = viewOf(b, name))
                    views.emplace(toUtf8(name), *view);
            try {
                keepSheetViews(out->path(), views);
            } catch (const std::exception& e) {
                throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook was not saved, because the view "
                                                                "of its sheets (frozen panes, zoom) could not be "
                                                                "written: {}.",
                                                                target.string(), e.what()));
            }
        }
        if (as == WorkbookFormat::Xls && b.format == WorkbookFormat::Xls && !b.copiesViews.empty()) {
            try {
                writeSheetViews(out->path(), copiesViews([](const OUString& n) { return toU16(n); }));
            } catch (const VbaProjectError& e) {
                throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook was not saved, because the view "
                                                                "of the sheets copied into it (frozen panes, zoom) "
                                                                "could not be written: {}; the file is unchanged.",
                                                                target.string(), e.what()));
            }
        }
        if (as == WorkbookFormat::Xls) {
            try {
                const CellsBySheet errorValues =
                    uno.run(target, "reading its error values", [&] { return errorValueCells(b.doc, b.copiedFrom); });
                std::map<std::u16string, std::u16string> copiedFrom;
                for (const auto& [copy, sheet] : b.copiedFrom)
                    copiedFrom.emplace(toU16(copy), toU16(sheet));
                // The formulas are put back from the file as it was loaded, never from what
                // another program may have saved there since.
                const bool asLoaded = b.format == WorkbookFormat::Xls && b.stamp && identityOfFile(b.path) == b.stamp;
                keepCells(asLoaded ? b.path : fs::path(), out->path(), errorValues, copiedFrom, held.held);
            } catch (const VbaProjectError& e) {
                throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook was not saved, because its error "
                                                                "values and formulas could not be written back as they "
                                                                "were: {}; the file is unchanged.",
                                                                target.string(), e.what()));
            }
        }
        if (b.macros && as == WorkbookFormat::Xls) {
            try {
                keepVbaProject(b.path, out->path());
            } catch (const VbaProjectError& e) {
                throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook was not saved, because its macros (VBA "
                                                                "project) could not be kept: {}; the file is unchanged.",
                                                                target.string(), e.what()));
            }
        }
        try {
            out->commit();
        } catch (const TargetChangedMeanwhile&) {
            throw xlsx::EngineError(xlsx::ErrorCode::FileChangedSinceOpened, target.string()).toAutomationError();
        } catch (const AttributesNotKept& e) {
            throw xlsx::EngineError(xlsx::ErrorCode::AttributesNotKept, target.string(), e.what()).toAutomationError();
        } catch (const ReplacedButNotFlushed& e) {
            throw AutomationError(ErrorCode::SavedButNotFlushed, fmt::format("{}: the workbook was saved, but the disk did not confirm "
                                                            "it ({}); the new content may be lost if the computer "
                                                            "stops now.",
                                                            target.string(), e.what()));
        } catch (const std::system_error& e) {
            throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook could not be saved ({}); the file is "
                                                            "unchanged.",
                                                            target.string(), e.what()));
        }
        if (!b.asianTextInOfficeFont.empty())
            if (const auto written = identityOfFile(target))
                rememberAsianTextInOfficeFont(written->key(), b.asianTextInOfficeFont);
    }

    void closeQuietly(Book& b) noexcept
    {
        if (!uno.current(b.generation) || !b.doc.is())
            return;
        try {
            uno.run(b.path, "closing it", [&] {
                const Reference<css::util::XCloseable> closeable(b.doc, UNO_QUERY);
                try {
                    if (closeable.is())
                        closeable->close(true);
                    else
                        Reference<css::lang::XComponent>(b.doc, UNO_QUERY_THROW)->dispose();
                } catch (const css::util::CloseVetoException&) {
                    Reference<css::lang::XComponent>(b.doc, UNO_QUERY_THROW)->dispose();
                }
            });
        } catch (...) {
            // Closing drops the workbook either way; a dead office has dropped it already.
        }
    }

    void forget(std::uint32_t bookId)
    {
        for (auto it = sheets.begin(); it != sheets.end();)
            it = it->second.book == bookId ? sheets.erase(it) : std::next(it);
        books.erase(bookId);
    }
};

OfficeAutomation::OfficeAutomation(std::shared_ptr<Office> office) : impl_(std::make_unique<Impl>(std::move(office))) {}

OfficeAutomation::~OfficeAutomation() { quit(); }

WorkbookRef OfficeAutomation::open(const fs::path& fullPath) { return open(fullPath, fullPath); }

WorkbookRef OfficeAutomation::open(const fs::path& fullPath, const fs::path& origin)
{
    const WorkbookFormat format = detectWorkbookFormat(fullPath);
    if (format == WorkbookFormat::Unknown)
        throw notOpenable(fullPath);
    try {
        impl_->uno.ensureRunning(fullPath);
    } catch (const OfficeUnavailable& e) {
        throw AutomationError(ErrorCode::OfficeUnavailable, fmt::format("{}: this is {}, which Tessaro opens through LibreOffice, but "
                                                         "{}",
                                                         fullPath.string(), describeFormat(format), e.what()));
    }
    Impl::Book b;
    b.path = fullPath;
    b.format = format;
    b.generation = impl_->uno.generation();
    b.stamp = identityOfFile(fullPath);
    b.macros = format == WorkbookFormat::Xls && holdsVbaProject(fullPath);
    const OUString url = fileUrl(fullPath);
    // LibreOffice names the file a document was loaded from in the references to it that a
    // copy of its sheets gets; a document "salvaged" from another file takes that file's name.
    const bool standsFor = origin != fullPath;
    b.doc = impl_->uno.run(
        fullPath, "loading it",
        [&] {
            Reference<css::frame::XLoadable> loadable(impl_->uno.services()->createInstanceWithContext(
                                                          "com.sun.star.sheet.SpreadsheetDocument", impl_->uno.context()),
                                                      UNO_QUERY_THROW);
            // No frame and no view: importSheet at the front of a document with a view
            // crashes the office.
            auto args = properties({{"URL", Any(url)},
                                    {"FilterName", Any(OUString::createFromAscii(filterFor(format)))},
                                    {"ReadOnly", Any(!loadedForEditing(format))},
                                    {"MacroExecutionMode", Any(sal_Int16(0))},
                                    {"UpdateDocMode", Any(sal_Int16(0))}});
            if (standsFor) {
                args.realloc(args.getLength() + 1);
                args.getArray()[args.getLength() - 1].Name = "SalvagedFile";
                args.getArray()[args.getLength() - 1].Value <<= fileUrl(origin);
            }
            loadable->load(args);
            return Reference<css::sheet::XSpreadsheetDocument>(loadable, UNO_QUERY_THROW);
        },
        fmt::format("LibreOffice could not read it as {}; it may be damaged or protected by a password.",
                    describeFormat(format)));
    if (b.stamp)
        b.asianTextInOfficeFont = b.asianTextInOfficeFontBefore = asianTextInOfficeFont(b.stamp->key());
    const std::uint32_t id = impl_->nextBook++;
    impl_->books[id] = std::move(b);
    return WorkbookRef{id};
}

void OfficeAutomation::setDisplayAlerts(bool)
{
    // Documents are loaded without an interaction handler: LibreOffice never asks.
}

int OfficeAutomation::worksheetCount(WorkbookRef book) { return sheetCount(book); }

std::string OfficeAutomation::worksheetName(WorkbookRef book, int index)
{
    const SheetRef s = sheet(book, index);
    const std::string name = sheetName(s);
    impl_->sheets.erase(s.id);
    return name;
}

SheetRef OfficeAutomation::worksheet(WorkbookRef book, const std::string& name)
{
    Impl::Book& b = impl_->live(book);
    const OUString wanted = fromUtf8(name);
    // LibreOffice compares sheet names without regard to letter case, as Excel does.
    auto found = impl_->uno.run(b.path, "looking for a sheet", [&]() -> Reference<css::sheet::XSpreadsheet> {
        const Reference<css::container::XNameAccess> names(b.doc->getSheets(), UNO_QUERY_THROW);
        if (!names->hasByName(wanted))
            return {};
        return Reference<css::sheet::XSpreadsheet>(names->getByName(wanted), UNO_QUERY_THROW);
    });
    if (!found.is())
        throw AutomationError(ErrorCode::SheetNotFound,
                              fmt::format("{}: it has no worksheet named \"{}\".", b.path.string(), name));
    return impl_->remember(book, std::move(found));
}

int OfficeAutomation::sheetCount(WorkbookRef book)
{
    Impl::Book& b = impl_->live(book);
    return impl_->uno.run(b.path, "reading its sheets", [&] { return int(impl_->sheetIndex(b)->getCount()); });
}

SheetRef OfficeAutomation::sheet(WorkbookRef book, int index)
{
    Impl::Book& b = impl_->live(book);
    auto found = impl_->uno.run(b.path, "reading its sheets", [&]() -> Reference<css::sheet::XSpreadsheet> {
        const auto all = impl_->sheetIndex(b);
        if (index < 1 || index > all->getCount())
            return {};
        return Reference<css::sheet::XSpreadsheet>(all->getByIndex(index - 1), UNO_QUERY_THROW);
    });
    if (!found.is())
        throw AutomationError(ErrorCode::SheetIndexOutOfRange, fmt::format("{}: it has no sheet number {}.", b.path.string(), index));
    return impl_->remember(book, std::move(found));
}

std::string OfficeAutomation::sheetName(SheetRef ref)
{
    Impl::Sheet& s = impl_->sheet(ref);
    Impl::Book& b = impl_->live(ref.book);
    return impl_->uno.run(b.path, "reading a sheet name",
                          [&] { return toUtf8(Reference<css::container::XNamed>(s.sheet, UNO_QUERY_THROW)->getName()); });
}

std::optional<std::string> OfficeAutomation::readAsNothingNote(SheetRef ref)
{
    Impl::Book& b = impl_->live(ref.book);
    if (b.format != WorkbookFormat::Xls)
        return std::nullopt;
    const std::string name = sheetName(ref);
    return office::readAsNothingNote(b.path, impl_->readAsNothing(b), name, name);
}

std::optional<std::string> OfficeAutomation::asianTextNote(SheetRef ref)
{
    Impl::Sheet& s = impl_->sheet(ref);
    Impl::Book& b = impl_->live(ref.book);
    impl_->mendFonts(b);
    const OUString name = impl_->uno.run(b.path, "reading a sheet's name", [&] {
        return Reference<css::container::XNamed>(s.sheet, UNO_QUERY_THROW)->getName();
    });
    if (!b.asianTextInOfficeFont.count(name))
        return std::nullopt;
    return protectedAsianTextNote(toUtf8(name));
}

std::uint64_t OfficeAutomation::drawingObjects(SheetRef ref)
{
    Impl::Sheet& s = impl_->sheet(ref);
    Impl::Book& b = impl_->live(ref.book);
    return impl_->uno.run(b.path, "reading a sheet's drawing objects", [&] {
        const sal_Int16 index =
            Reference<css::sheet::XCellRangeAddressable>(s.sheet, UNO_QUERY_THROW)->getRangeAddress().Sheet;
        const Reference<css::container::XIndexAccess> page(
            Reference<css::drawing::XDrawPagesSupplier>(b.doc, UNO_QUERY_THROW)->getDrawPages()->getByIndex(index),
            UNO_QUERY_THROW);
        std::uint64_t n = 0;
        // A comment shown on the sheet is a caption on its draw page.
        for (sal_Int32 i = 0; i < page->getCount(); ++i)
            n += !Reference<css::lang::XServiceInfo>(page->getByIndex(i), UNO_QUERY_THROW)
                      ->supportsService("com.sun.star.drawing.CaptionShape");
        return n;
    });
}

void OfficeAutomation::copySheet(SheetRef sheetRef, Placement where, SheetRef anchor)
{
    Impl::Sheet& source = impl_->sheet(sheetRef);
    Impl::Sheet& at = impl_->sheet(anchor);
    Impl::Book& from = impl_->live(sheetRef.book);
    Impl::Book& to = impl_->live(anchor.book);
    if (to.format == WorkbookFormat::Xlsb)
        throw AutomationError(ErrorCode::FormatNotWritable, cannotWriteXlsb(to.path));
    if (!writable(to.format))
        throw AutomationError(ErrorCode::FormatNotWritable, fmt::format("{}: {} is written only by Tessaro's own engine, not through "
                                                        "LibreOffice.",
                                                        to.path.string(), describeFormat(to.format)));
    const std::string sourceName = sheetName(sheetRef);
    const bool sameBook = sheetRef.book == anchor.book;
    // A note belongs to a copy that was made.
    std::vector<std::string> made;
    // LibreOffice writes the .xls whole: its own protected sheets lose the fonts of their Asian
    // text too, and its formulas with an error constant that cannot be written back are lost,
    // which the first copy into it reports.
    if (to.format == WorkbookFormat::Xls && !to.ownSheetsReported) {
        impl_->mendFonts(to);
        for (const OUString& own : to.asianTextInOfficeFont)
            if (!to.asianTextInOfficeFontBefore.count(own))
                made.push_back(fmt::format("its own sheet \"{}\" is protected, so {}", toUtf8(own), kAsianTextInOfficeFont));
        for (const auto& lost : formulasNotKeptInFile(to.path)) {
            // LibreOffice shows such a formula without its error constant: the cell is named alone.
            const auto [cells, verb] = cellsNotKept(lost);
            made.push_back(fmt::format("its own sheet \"{}\": {} {} a formula with an error constant that reads other "
                                       "workbooks, add-in functions or arrays, which an .xls written by LibreOffice keeps "
                                       "as =NA(), showing #N/A",
                                       toUtf8(fromU16(lost.sheet)), cells, verb));
        }
    }
    impl_->readAsNothing(from);
    impl_->keepPrintRanges(from);
    impl_->uno.run(to.path, fmt::format("copying the sheet \"{}\" into it", sourceName), [&] {
        const OUString name = Reference<css::container::XNamed>(source.sheet, UNO_QUERY_THROW)->getName();
        const sal_Int16 anchorIndex =
            Reference<css::sheet::XCellRangeAddressable>(at.sheet, UNO_QUERY_THROW)->getRangeAddress().Sheet;
        const sal_Int16 position = static_cast<sal_Int16>(where == Placement::Before ? anchorIndex : anchorIndex + 1);
        const Reference<css::sheet::XSpreadsheets2> targetSheets(to.doc->getSheets(), UNO_QUERY_THROW);
        const OUString nameOfCopy = fromU16(
            copyName(toU16(name), [&](const std::u16string& n) { return bool(targetSheets->hasByName(fromU16(n))); }));
        // LibreOffice makes every copy visible; a hidden sheet's copy is hidden, as it is in
        // a spreadsheet application, and as the native engine makes it.
        const Any visible = Reference<css::beans::XPropertySet>(source.sheet, UNO_QUERY_THROW)->getPropertyValue("IsVisible");
        const auto viewOfSource = [&] { return impl_->viewOf(from, name); };
        if (sameBook) {
            targetSheets->copyByName(name, nameOfCopy, position);
            Reference<css::beans::XPropertySet>(targetSheets->getByName(nameOfCopy), UNO_QUERY_THROW)
                ->setPropertyValue("IsVisible", visible);
            if (to.format == WorkbookFormat::Xls) {
                const auto earlier = to.copiedFrom.find(name);
                const OUString original = earlier != to.copiedFrom.end() ? earlier->second : name;
                to.copiedFrom[nameOfCopy] = original;
                // Those whose error constants were put back are held at the save as the copy's own.
                const auto lost = formulasNotKeptInFile(to.path, true, to.errorConstantsBack);
                const auto it = std::find_if(lost.begin(), lost.end(),
                                             [&](const FormulasNotKept& l) { return l.sheet == toU16(original); });
                if (it != lost.end()) {
                    const auto [cells, verb] = cellsNotKept(*it);
                    made.push_back(fmt::format("\"{}\": {} {} a formula with an error constant that reads other sheets, "
                                               "names, other workbooks or arrays, which an .xls written by LibreOffice "
                                               "keeps as =NA(), showing #N/A",
                                               toUtf8(nameOfCopy), cells, verb));
                }
            }
            if (const auto view = viewOfSource())
                to.copiesViews[nameOfCopy] = *view;
            to.copies.insert(nameOfCopy);
            if (to.asianTextInOfficeFont.count(name)) {
                to.asianTextInOfficeFont.insert(nameOfCopy);
                made.push_back(protectedAsianTextNote(toUtf8(nameOfCopy)));
            }
            return;
        }
        if (const auto rule = ruleReadingOtherSheets(from.doc, source.sheet))
            throw AutomationError(
                ErrorCode::NotAvailableForFormat,
                describeError(ErrorCode::NotAvailableForFormat, to.path.string(),
                              fmt::format("{} has a data validation or conditional format that reads other sheets "
                                          "or names of its workbook (={}), which LibreOffice does not carry into "
                                          "another workbook: it would read other cells or nothing",
                                          sourceName, *rule)));
        if (const auto chart = chartReadingOtherSheets(source.sheet)) {
            if (to.format == WorkbookFormat::Xls)
                throw AutomationError(
                    ErrorCode::NotAvailableForFormat,
                    describeError(ErrorCode::NotAvailableForFormat, to.path.string(),
                                  fmt::format("{} has a chart (\"{}\") that reads other sheets, and LibreOffice writes such "
                                              "a chart into an .xls workbook without its data",
                                              sourceName, *chart)));
            made.push_back(fmt::format("\"{}\": the chart \"{}\" reads other sheets of the source; in an .ods it keeps "
                                       "the values it showed as data of its own",
                                       toUtf8(nameOfCopy), *chart));
        }
        const CachedReads reads = cacheTheCellsItReads(from.doc, source.sheet, to.doc);
        // The copy's rows keep the source's heights: the import would otherwise measure its rows
        // of automatic height again for the destination's default font, before the source's look
        // is set on their cells, and that look must not size them again either.
        const HeightsKept heights(to.doc);
        const sal_Int32 index = targetSheets->importSheet(from.doc, name, position);
        const Reference<css::container::XNamed> copy(
            Reference<css::container::XIndexAccess>(targetSheets, UNO_QUERY_THROW)->getByIndex(index), UNO_QUERY_THROW);
        Reference<css::beans::XPropertySet>(copy, UNO_QUERY_THROW)->setPropertyValue("IsVisible", visible);
        // LibreOffice names a clashing import "Name_2"; the copy takes Tessaro's name. A
        // rename that clashes is ignored without an error, hence the check.
        if (copy->getName() != nameOfCopy)
            copy->setName(nameOfCopy);
        if (copy->getName() != nameOfCopy)
            throw AutomationError(ErrorCode::OfficeFailed, fmt::format("{}: the copy of the sheet \"{}\" could not be named \"{}\".",
                                                            to.path.string(), toUtf8(name), toUtf8(nameOfCopy)));
        if (const auto view = viewOfSource())
            to.copiesViews[nameOfCopy] = *view;
        to.copies.insert(nameOfCopy);
        const Reference<css::sheet::XSpreadsheet> copied(copy, UNO_QUERY_THROW);
        linksInsideStayInside(copied, Reference<css::frame::XModel>(from.doc, UNO_QUERY_THROW)->getURL());
        if (from.format == WorkbookFormat::Xls)
            keepNamesOfNoEntry(from.doc, source.sheet, copied);
        keepErrorValues(to.doc, source.sheet, copied);
        keepPrintRanges(source.sheet, copied);
        // LibreOffice's import copies a pivot table's cells as values and leaves the table behind.
        if (const auto pivots = pivotTables(source.sheet); pivots.size() > pivotTables(copied).size())
            made.push_back(fmt::format("\"{}\": {} \"{}\" became the values {} showed: LibreOffice copies no pivot "
                                       "table into another workbook",
                                       toUtf8(nameOfCopy), pivots.size() == 1 ? "the pivot table" : "the pivot tables",
                                       fmt::join(pivots, "\", \""), pivots.size() == 1 ? "it" : "they"));
        // LibreOffice writes a cached sheet of another file only when a formula has read it.
        if (reads.any)
            for (const auto& a : Reference<css::sheet::XCellRangesQuery>(copied, UNO_QUERY_THROW)
                                     ->queryContentCells(css::sheet::CellFlags::FORMULA)
                                     ->getRangeAddresses())
                for (const auto& [top, block] : blocksOf(copied, a))
                    Reference<css::sheet::XCellRangeData>(block, UNO_QUERY_THROW)->getDataArray();
        if (auto note = keepTheSourceDates(from.doc, to.doc, copied, to.format, toUtf8(nameOfCopy)))
            made.push_back(std::move(*note));
        if (from.format == WorkbookFormat::Xls && !sameBook)
            if (auto note = office::readAsNothingNote(from.path, impl_->readAsNothing(from), toUtf8(name),
                                                      toUtf8(nameOfCopy)))
                made.push_back(std::move(*note));
        if (to.format == WorkbookFormat::Xls) {
            if (auto note = formulasAnXlsLoses(from.doc, copied, toUtf8(nameOfCopy)))
                made.push_back(std::move(*note));
            for (auto& note : unknownWordsNotes(to.doc, copied, toUtf8(nameOfCopy)))
                made.push_back(std::move(note));
            // LibreOffice keeps in an .xls the values its cells' references to another file read,
            // not those its names read.
            if (!reads.names.empty())
                made.push_back(fmt::format("\"{}\": {} {} other sheets of the source, and an .xls written by LibreOffice "
                                           "keeps no values for {}: formulas using {} read empty cells there until the "
                                           "workbook's links are updated",
                                           toUtf8(nameOfCopy),
                                           reads.names.size() == 1 ? "the name " + reads.names[0]
                                                                   : "the names " + fmt::format("{}", fmt::join(reads.names, ", ")),
                                           reads.names.size() == 1 ? "reads" : "read",
                                           reads.names.size() == 1 ? "it" : "them", reads.names.size() == 1 ? "it" : "them"));
        }
        if (to.format == WorkbookFormat::Ods) {
            if (auto note = timesAnOdsCuts(to.doc, copied, toUtf8(nameOfCopy)))
                made.push_back(std::move(*note));
            for (auto& note : formatsAnOdsLoses(to.doc, copied, toUtf8(nameOfCopy)))
                made.push_back(std::move(note));
        }
        if (!keepTheSourceLook(from.doc, source.sheet, to.doc, static_cast<sal_Int16>(index))) {
            const bool locked =
                Reference<css::util::XProtectable>(copy, UNO_QUERY_THROW)->isProtected();
            made.push_back(fmt::format(
                "\"{}\": {}its cells in the default cell style keep the default look of {} ({}) and not the "
                "source's ({})",
                toUtf8(nameOfCopy), locked ? "the sheet is protected, so " : "", to.path.filename().string(),
                describeFont(defaultCellStyle(to.doc)), describeFont(defaultCellStyle(from.doc))));
        }
        // A sheet of an .ods names its Asian fonts itself.
        if ((from.format != WorkbookFormat::Ods && oneFontForEveryScript(to.doc, copied)) ||
            from.asianTextInOfficeFont.count(name)) {
            to.asianTextInOfficeFont.insert(nameOfCopy);
            made.push_back(protectedAsianTextNote(toUtf8(nameOfCopy)));
        }
    });
    ++to.revision;
    to.dirty = true;
    to.ownSheetsReported = true;
    impl_->notes.insert(impl_->notes.end(), std::make_move_iterator(made.begin()), std::make_move_iterator(made.end()));
}

void OfficeAutomation::save(WorkbookRef book)
{
    Impl::Book& b = impl_->live(book);
    // Unchanged, the file already holds exactly this workbook; rewriting it through the
    // office could only lose what LibreOffice does not keep.
    if (!b.dirty)
        return;
    if (!writable(b.format))
        throw AutomationError(ErrorCode::FormatNotWritable, fmt::format("{}: LibreOffice cannot save {}.", b.path.string(),
                                                        describeFormat(b.format)));
    impl_->store(b, b.path, b.format);
    b.dirty = false;
    b.stamp = identityOfFile(b.path);
}

void OfficeAutomation::checkSavable(WorkbookRef book)
{
    Impl::Book& b = impl_->live(book);
    if (!writable(b.format))
        throw AutomationError(ErrorCode::FormatNotWritable, fmt::format("{}: LibreOffice cannot save {}.", b.path.string(),
                                                        describeFormat(b.format)));
    std::optional<xlsx::SaveGuard> guard;
    impl_->guardForSaving(guard, b, b.path, std::chrono::milliseconds(0));
}

void OfficeAutomation::saveAs(WorkbookRef book, const fs::path& fullPath)
{
    Impl::Book& b = impl_->live(book);
    std::error_code ec;
    if (fs::exists(fullPath, ec) && fs::equivalent(fullPath, b.path, ec)) {
        save(book);
        return;
    }
    if (!b.dirty && b.stamp && identityOfFile(b.path) == b.stamp) {
        // An unchanged workbook saved elsewhere is its file's bytes: faithful, and possible
        // for formats LibreOffice cannot write.
        try {
            copyFileReplacing(b.path, fullPath);
        } catch (const std::exception& e) {
            throw AutomationError(ErrorCode::SaveFailed, fmt::format("{}: the workbook {} could not be saved there ({}).",
                                                            fullPath.string(), b.path.string(), e.what()));
        }
    } else {
        if (!writable(b.format))
            throw AutomationError(ErrorCode::FormatNotWritable, fmt::format("{}: LibreOffice cannot save {}.", b.path.string(),
                                                            describeFormat(b.format)));
        impl_->store(b, fullPath, b.format);
    }
    b.path = fullPath;
    b.dirty = false;
    b.stamp = identityOfFile(fullPath);
}

void OfficeAutomation::close(WorkbookRef book)
{
    Impl::Book& b = impl_->book(book);
    impl_->closeQuietly(b);
    impl_->forget(book.id);
}

std::vector<std::string> OfficeAutomation::takeCopyNotes()
{
    return std::exchange(impl_->notes, {});
}

void OfficeAutomation::quit()
{
    for (auto& [id, b] : impl_->books)
        impl_->closeQuietly(b);
    impl_->books.clear();
    impl_->sheets.clear();
}

WorkbookFormat OfficeAutomation::format(WorkbookRef book) const { return impl_->book(book).format; }
const fs::path& OfficeAutomation::path(WorkbookRef book) const { return impl_->book(book).path; }
std::uint64_t OfficeAutomation::revision(WorkbookRef book) const { return impl_->book(book).revision; }
std::optional<FileIdentity> OfficeAutomation::loadedStamp(WorkbookRef book) const { return impl_->book(book).stamp; }

void OfficeAutomation::exportXlsx(WorkbookRef book, const fs::path& target)
{
    Impl::Book& b = impl_->live(book);
    impl_->readAsNothing(b);
    impl_->keepPrintRanges(b);
    impl_->store(b, target, WorkbookFormat::Ooxml, "converting " + b.path.string() + " to it");
}

SpreadsheetAutomationFactory officeAutomationFactory(std::shared_ptr<Office> office)
{
    return [office] { return std::make_unique<OfficeAutomation>(office); };
}

} // namespace tessaro::office
