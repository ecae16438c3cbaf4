// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/sheet_rewriter.h"

#include "platform/engine_error.h"
#include "engine/opc/package.h"
#include "engine/sheet_copy/rewrite_edits.h"
#include "engine/sml/sheet_names.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <set>
#include <stdexcept>
#include <unordered_map>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

using rewrite::holds;
using rewrite::keepQuotable;
using rewrite::parseIndex;
using rewrite::same;
using rewrite::trimmed;

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kFlushAt = 256 * 1024;
// One token (a tag or a run of text) longer than this is not something a worksheet holds.
constexpr std::size_t kLongestToken = 64u << 20;
constexpr std::size_t kDenseStrings = 1u << 20;
constexpr std::string_view kSpreadsheetExtNs = "http://schemas.microsoft.com/office/excel/2006/main";

enum class Kind : unsigned char {
    Root, SheetData, Row, Cell, CellValue, CellFormula, InSheetData,
    SheetViews, Cols, ExtLst, CfRule, DataValidation, Other
};

enum class Capture : unsigned char { None, SharedString, Formula, DateValue };

struct Frame {
    std::size_t level = 0;
    std::string buf;
    bool dropped = false;
    bool dropOnAnyDrop = false;
    std::size_t children = 0;
};

class Rewriter {
public:
    Rewriter(const SheetRewritePlan& plan, SheetProfile* profile, const std::string& file, const std::string& part,
             int level)
        : plan_(plan), profile_(profile), file_(file), part_(part), compressor_(level),
          renaming_(!plan.copyName.empty() && plan.copyName != plan.sourceName)
    {
        styleMap_.assign(plan.sourceCellFormats, -1);
        // A sheet cites few of a huge table's items: a slot for each would weigh more than
        // the copy.
        if (plan.sourceStrings <= kDenseStrings)
            stringMap_.assign(plan.sourceStrings, -1);
        dxfMap_.assign(plan.sourceDifferentialFormats, -1);
        out_.reserve(kFlushAt + 64 * 1024);
    }

    void run(PartReader& in)
    {
        std::string buf;
        std::size_t pos = 0;
        std::size_t consumedBefore = 0;
        bool final = false;
        XmlToken tok;
        XmlScanner scanner;
        bool first = true;
        while (true) {
            if (!final) {
                if (pos > 0) {
                    buf.erase(0, pos);
                    consumedBefore += pos;
                    pos = 0;
                }
                if (buf.size() > kLongestToken)
                    damaged("a single piece of its XML is too long", consumedBefore);
                std::size_t old = buf.size();
                buf.resize(old + kReadChunk);
                std::size_t n = in.read(buf.data() + old, kReadChunk);
                buf.resize(old + n);
                if (n == 0)
                    final = true;
                if (first && buf.size() >= 2) {
                    auto b0 = static_cast<unsigned char>(buf[0]), b1 = static_cast<unsigned char>(buf[1]);
                    if ((b0 == 0xFF && b1 == 0xFE) || (b0 == 0xFE && b1 == 0xFF))
                        throw EngineError(ErrorCode::PartUnsupported, file_, part_ + ": it is written in UTF-16");
                    first = false;
                }
            }
            for (;;) {
                XmlScanner::Result r;
                try {
                    r = scanner.next(buf, pos, final, tok, consumedBefore);
                } catch (const XmlSyntaxError& e) {
                    damaged(e.what(), e.offset());
                }
                if (r == XmlScanner::Result::NeedMore)
                    break;
                if (r == XmlScanner::Result::End) {
                    finishDocument(consumedBefore + pos);
                    return;
                }
                handle(tok, consumedBefore + pos);
            }
        }
    }

    StoredPart finish()
    {
        flush(true);
        if (profile_) {
            profile_->cellFormats = std::move(styleOrder_);
            profile_->strings = std::move(stringOrder_);
            profile_->differentialFormats = std::move(dxfOrder_);
            profile_->stringCells = stringCells_;
            profile_->formulasNameSheets = formulasNameSheets_;
            profile_->cellMetadata = cellMetadata_;
            profile_->emptiedCells = std::move(emptiedCells_);
            profile_->datesKept = datesKept_;
            profile_->firstDateKept = std::move(firstDateKept_);
            profile_->undefinedFormats = undefinedFormats_;
            profile_->firstUndefinedFormat = std::move(firstUndefinedFormat_);
        }
        return compressor_.finish();
    }

private:
    [[noreturn]] void damaged(const std::string& what, std::size_t offset)
    {
        throw EngineError(ErrorCode::PartDamaged, file_, fmt::format("{}: {} (near byte {})", part_, what, offset));
    }

    std::string& target() { return frames_.empty() ? out_ : frames_.back().buf; }

    void flush(bool all)
    {
        if (out_.size() >= kFlushAt || (all && !out_.empty())) {
            compressor_.feed(out_);
            out_.clear();
        }
    }

    std::optional<std::string_view> resolve(std::string_view prefix) const { return scopes_.resolve(prefix); }
    void pushBindings(const XmlToken& t, std::size_t level) { scopes_.push(t, level); }
    void popBindings(std::size_t level) { scopes_.pop(level); }
    bool isRelAttribute(std::string_view name) const { return scopes_.isRelationshipAttribute(name); }

    bool hasRelAttribute(const XmlToken& t) const
    {
        for (const auto& a : t.attributes)
            if (isRelAttribute(a.name))
                return true;
        return false;
    }

    bool keepsRelationships(const XmlToken& t) const
    {
        for (const auto& a : t.attributes) {
            if (!isRelAttribute(a.name))
                continue;
            std::string id = decodeXml(a.value);
            if (std::find(plan_.keptRelationships.begin(), plan_.keptRelationships.end(), id) ==
                plan_.keptRelationships.end())
                return false;
        }
        return true;
    }

    bool inNamespace(const XmlToken& t, std::string_view uri) const { return scopes_.inNamespace(t, uri); }

    std::size_t mapStyle(std::size_t src)
    {
        // A format the workbook lacks cannot be carried: such cells, rows and columns get the
        // default format rather than the whole sheet being refused, and the report says so.
        if (src >= styleMap_.size() && !styleMap_.empty()) {
            if (undefinedFormats_++ == 0)
                firstUndefinedFormat_ = where();
            return mapStyle(0);
        }
        if (src >= styleMap_.size())
            throw EngineError(ErrorCode::StyleIndexOutOfRange, file_,
                              fmt::format("{}: format {} is used at {}, but the workbook defines {}", part_, src,
                                          where(), styleMap_.size()));
        if (styleMap_[src] < 0) {
            styleMap_[src] = static_cast<std::int64_t>(plan_.cellFormat(src));
            styleOrder_.push_back(static_cast<std::uint32_t>(src));
        }
        return static_cast<std::size_t>(styleMap_[src]);
    }

    std::size_t mapString(std::size_t src)
    {
        if (src >= plan_.sourceStrings)
            throw EngineError(ErrorCode::StringIndexOutOfRange, file_,
                              fmt::format("{}: text {} is used at {}, but the workbook defines {}", part_, src,
                                          where(), plan_.sourceStrings));
        if (stringMap_.empty()) {
            auto [it, fresh] = sparseStrings_.try_emplace(src, 0);
            if (fresh) {
                it->second = plan_.string(src);
                stringOrder_.push_back(static_cast<std::uint32_t>(src));
            }
            return it->second;
        }
        if (stringMap_[src] < 0) {
            stringMap_[src] = static_cast<std::int64_t>(plan_.string(src));
            stringOrder_.push_back(static_cast<std::uint32_t>(src));
        }
        return static_cast<std::size_t>(stringMap_[src]);
    }

    std::size_t mapDxf(std::size_t src)
    {
        if (src >= dxfMap_.size())
            throw EngineError(ErrorCode::StyleIndexOutOfRange, file_,
                              fmt::format("{}: conditional format {} is used, but the workbook defines {}", part_, src,
                                          dxfMap_.size()));
        if (dxfMap_[src] < 0) {
            dxfMap_[src] = static_cast<std::int64_t>(plan_.differentialFormat(src));
            dxfOrder_.push_back(static_cast<std::uint32_t>(src));
        }
        return static_cast<std::size_t>(dxfMap_[src]);
    }

    std::string where() const { return cellRef_.empty() ? std::string("a row or column") : "cell " + cellRef_; }

    std::string_view number(std::size_t v, int slot)
    {
        char* b = numbers_[slot];
        auto r = std::to_chars(b, b + sizeof numbers_[slot], v);
        return std::string_view(b, static_cast<std::size_t>(r.ptr - b));
    }

    void writeTag(const XmlToken& t, bool changed)
    {
        if (!changed)
            target().append(t.raw);
        else if (!appendEditedStartTag(target(), t, attrs_))
            appendStartTag(target(), t.name, attrs_, t.selfClosing);
    }

    bool setAttr(std::string_view name, std::string_view value) { return rewrite::setAttribute(attrs_, name, value); }
    bool removeAttr(std::string_view name) { return rewrite::removeAttribute(attrs_, name); }

    void handle(XmlToken& t, std::size_t offset)
    {
        switch (t.kind) {
        case XmlToken::Kind::StartTag:
            onStart(t, offset);
            break;
        case XmlToken::Kind::EndTag:
            onEnd(t, offset);
            break;
        case XmlToken::Kind::Text:
            if (skip_)
                break;
            if (capture_ != Capture::None)
                captured_.append(t.raw);
            else if (open_ == 0 && !rootDone_ && trimmed(t.raw).size() > 0)
                damaged("text before the root element", offset);
            else
                target().append(t.raw);
            break;
        case XmlToken::Kind::CData:
            if (skip_)
                break;
            if (capture_ != Capture::None) {
                std::string_view inner = t.raw.substr(9, t.raw.size() - 12);
                appendEscapedText(captured_, inner);
            } else {
                target().append(t.raw);
            }
            break;
        case XmlToken::Kind::Doctype:
            throw EngineError(ErrorCode::XmlDoctype, file_, part_);
        case XmlToken::Kind::Comment:
        case XmlToken::Kind::ProcessingInstruction:
            if (!skip_)
                target().append(t.raw);
            break;
        }
        // A cell whose formula may yet give way to its value stays in the buffer until it ends.
        if (frames_.empty() && !holdingCell_)
            flush(false);
    }

    void pushElement(std::string_view name, Kind kind)
    {
        nameEnds_.push_back(names_.size());
        names_.append(name);
        kinds_.push_back(kind);
        ++open_;
    }

    void onStart(XmlToken& t, std::size_t offset)
    {
        if (skip_) {
            if (!t.selfClosing)
                ++skip_;
            return;
        }
        if (rootDone_)
            damaged("a second root element", offset);
        const std::size_t level = open_;
        Kind parent = kinds_.empty() ? Kind::Root : kinds_.back();
        if (parent == Kind::SheetData || parent == Kind::Row || parent == Kind::Cell || parent == Kind::CellValue ||
            parent == Kind::CellFormula || parent == Kind::InSheetData) {
            onSheetDataStart(t, parent, offset);
            return;
        }
        pushBindings(t, level);
        if (level == 0) {
            onRootStart(t, offset);
            return;
        }
        const bool main = inNamespace(t, ns::kMain) || inNamespace(t, ns::kStrictMain);
        const std::string_view local = t.localName();
        attrs_ = t.attributes;
        bool changed = false;
        if (hasRelAttribute(t) && !keepsRelationships(t)) {
            if (!(level == 1 && main && local == "pageSetup")) {
                dropElement(t, level);
                return;
            }
            // Printer settings that are not carried; the page setup itself is.
            std::erase_if(attrs_, [&](const XmlAttribute& a) { return isRelAttribute(a.name); });
            changed = true;
        }
        Kind kind = Kind::Other;
        if (level == 1) {
            if (main && local == "sheetData") {
                writeTag(t, false);
                if (t.selfClosing)
                    popBindings(level);
                else
                    pushElement(t.name, Kind::SheetData);
                return;
            }
            kind = onSectionStart(t, level, main, local, changed);
        } else if (!onNestedStart(t, level, parent, main, local, offset, kind, changed)) {
            return;
        }
        if (plan_.colors.active() && rewrite::isColorElement(local))
            changed |= rewrite::translateColor(attrs_, plan_.colors, colorText_);
        writeDeclaringTag(t, changed);
        if (!t.selfClosing)
            pushElement(t.name, kind);
        else
            popBindings(level);
    }

    // Outside the sheet data a tag may declare namespaces; they are written in the
    // destination's class.
    void writeDeclaringTag(const XmlToken& t, bool changed)
    {
        std::string& out = target();
        const std::size_t start = out.size();
        writeTag(t, changed);
        if (t.raw.find("://") == std::string_view::npos)
            return;
        if (auto translated = translateXml(std::string_view(out).substr(start), plan_.conformance)) {
            out.resize(start);
            out.append(*translated);
        }
    }

    // The hot path: rows and cells. Producers do not redeclare namespaces in here.
    [[gnu::always_inline]] void onSheetDataStart(const XmlToken& t, Kind parent, std::size_t offset)
    {
        Kind kind = Kind::InSheetData;
        bool changed = false;
        std::string_view qn = t.name;
        bool main = qn.size() > mainPrefix_.size() && same(qn.substr(0, mainPrefix_.size()), mainPrefix_) &&
                    !holds(qn.substr(mainPrefix_.size()), ':');
        std::string_view local = main ? qn.substr(mainPrefix_.size()) : std::string_view{};
        if (parent == Kind::Row && same(local, "c")) {
            kind = Kind::Cell;
            changed = onCell(t, offset);
            if (plan_.valueInstead) {
                holdingCell_ = !t.selfClosing;
                cellStart_ = target().size();
                valueCell_ = false;
                cellHasValue_ = false;
            }
        } else if (parent == Kind::SheetData && same(local, "row")) {
            kind = Kind::Row;
            changed = onRow(t, offset);
        } else if (parent == Kind::Cell && same(local, "v")) {
            kind = Kind::CellValue;
            if (cellShared_ && !t.selfClosing) {
                capture_ = Capture::SharedString;
                captured_.clear();
            } else if (cellDate_ && !t.selfClosing) {
                capture_ = Capture::DateValue;
                captured_.clear();
            }
        } else if (parent == Kind::Cell && same(local, "f")) {
            kind = Kind::CellFormula;
            // LibreOffice writes an error constant as an empty formula holding the error; a
            // formula of nothing is no formula, so the copy keeps the plain error value.
            emptyFormulaStart_ = std::string::npos;
            if (cellError_ && !t.attribute("t") && !t.attribute("si") && !t.attribute("ref")) {
                if (t.selfClosing)
                    return;
                emptyFormulaStart_ = target().size();
            }
            if (plan_.valueInstead && !onValueFormulaStart(t))
                return;
            if (!t.selfClosing) {
                capture_ = Capture::Formula;
                captured_.clear();
            }
        }
        writeTag(t, changed);
        if (kind == Kind::CellValue && plan_.valueInstead)
            valueStart_ = t.selfClosing ? std::string::npos : target().size();
        if (!t.selfClosing)
            pushElement(t.name, kind);
    }

    // A cell formula where formulas reading other sheets become values. Settles what can be
    // settled at its start: a shared formula's dependent goes with its master. False when the
    // tag is not to be written.
    bool onValueFormulaStart(const XmlToken& t)
    {
        formulaStart_ = target().size();
        const XmlAttribute* type = t.attribute("t");
        const XmlAttribute* si = t.attribute("si");
        formulaShared_ = type && type->value == "shared" && si;
        formulaMaster_ = formulaShared_ && t.attribute("ref");
        formulaGroup_.clear();
        if (formulaShared_)
            formulaGroup_.assign(si->value);
        if (!t.selfClosing || !formulaShared_ || !valuedGroups_.count(formulaGroup_))
            return true;
        becomeValue();
        return false;
    }

    // Leaves the cell with the value its formula showed: the formula written so far goes, and
    // so does the dynamic-array metadata that only a formula has.
    void becomeValue()
    {
        std::string& out = target();
        out.resize(formulaStart_);
        valueCell_ = true;
        const std::string_view tag = std::string_view(out).substr(cellStart_);
        for (std::string_view quote : {"\"", "'"}) {
            const std::string key = std::string(" cm=") + std::string(quote);
            const std::size_t at = tag.find(key);
            if (at == std::string_view::npos)
                continue;
            const std::size_t close = tag.find(quote, at + key.size());
            if (close == std::string_view::npos)
                continue;
            out.erase(cellStart_ + at, close + 1 - at);
            formulaStart_ -= close + 1 - at;
            break;
        }
    }

    // Whether the cell formula just captured gives way to its value.
    bool formulaGivesWay()
    {
        if (captured_.empty())
            return formulaShared_ && valuedGroups_.count(formulaGroup_);
        if (!(holds(captured_, '!') || holds(captured_, '[') || plan_.everyFormula))
            return false;
        if (!plan_.valueInstead(decodeXml(captured_)))
            return false;
        if (formulaMaster_)
            valuedGroups_.insert(formulaGroup_);
        return true;
    }

    void onRootStart(const XmlToken& t, std::size_t offset)
    {
        if (t.localName() != "worksheet" && t.localName() != "chartsheet")
            damaged("it is not a worksheet", offset);
        auto uri = resolve(t.prefix());
        if (!uri || (*uri != ns::kMain && *uri != ns::kStrictMain))
            damaged("it is not a worksheet", offset);
        mainPrefix_ = t.prefix().empty() ? std::string() : std::string(t.prefix()) + ":";
        writeDeclaringTag(t, false);
        if (t.selfClosing) {
            popBindings(0);
            rootDone_ = true;
        } else {
            pushElement(t.name, Kind::Root);
        }
    }

    // Leaves out an element that names a relationship the copy does not carry.
    void dropElement(const XmlToken& t, std::size_t level)
    {
        if (!frames_.empty())
            frames_.back().dropped = true;
        popBindings(level);
        if (!t.selfClosing)
            skip_ = 1;
    }

    // A child of the root other than the sheet data; returns its kind.
    Kind onSectionStart(const XmlToken& t, std::size_t level, bool main, std::string_view local, bool& changed)
    {
        Kind kind = Kind::Other;
        if (main && local == "sheetViews")
            kind = Kind::SheetViews;
        else if (main && local == "cols")
            kind = Kind::Cols;
        else if (main && local == "extLst")
            kind = Kind::ExtLst;
        if (main && local == "sheetPr") {
            // A code name ties the sheet to the source's macro project; the destination
            // gives the copy its own.
            changed |= removeAttr("codeName");
        }
        if (!t.selfClosing) {
            frames_.push_back(Frame{});
            frames_.back().level = level;
            frames_.back().dropOnAnyDrop = local == "AlternateContent" && inNamespace(t, ns::kMarkupCompatibility);
        }
        return kind;
    }

    // An element deeper in a section; false when it is dropped (and must not be written).
    bool onNestedStart(const XmlToken& t, std::size_t level, Kind parent, bool main, std::string_view local,
                       std::size_t offset, Kind& kind, bool& changed)
    {
        if (!frames_.empty() && frames_.back().level + 1 == level)
            ++frames_.back().children;
        bool alternate = local == "AlternateContent" && inNamespace(t, ns::kMarkupCompatibility);
        if (!t.selfClosing && (alternate || (parent == Kind::ExtLst && local == "ext"))) {
            frames_.push_back(Frame{});
            frames_.back().level = level;
            frames_.back().dropOnAnyDrop = true;
        }
        if (local == "conditionalFormatting" || local == "cfRule")
            place_ = "a conditional format";
        else if (local == "dataValidation")
            place_ = "a data validation";
        if (main && parent == Kind::SheetViews && local == "sheetView") {
            if (!keepView(changed)) {
                if (!frames_.empty() && frames_.back().level + 1 == level)
                    --frames_.back().children;
                popBindings(level);
                if (!t.selfClosing)
                    skip_ = 1;
                return false;
            }
        } else if (main && parent == Kind::Cols && local == "col") {
            changed |= onColumn(offset);
        } else if (main && local == "cfRule") {
            kind = Kind::CfRule;
            changed |= onConditionalFormat(offset);
        } else if (main && local == "dataValidation") {
            kind = Kind::DataValidation;
        } else if (main && local == "hyperlink") {
            changed |= onHyperlink();
        } else if (main && (local == "control" || local == "oleObject") && plan_.shapeId) {
            changed |= onShape();
        }
        if (!t.selfClosing &&
            ((main && ((parent == Kind::CfRule && local == "formula") ||
                       (parent == Kind::DataValidation && (local == "formula1" || local == "formula2")))) ||
             (local == "f" && inNamespace(t, kSpreadsheetExtNs)))) {
            capture_ = Capture::Formula;
            captured_.clear();
        }
        return true;
    }

    bool onConditionalFormat(std::size_t offset)
    {
        bool changed = false;
        for (auto& a : attrs_) {
            if (a.name != "dxfId")
                continue;
            std::size_t v;
            if (!parseIndex(a.value, v))
                damaged("a conditional format has a format id that is not a number", offset);
            std::size_t m = mapDxf(v);
            if (m != v) {
                a.value = number(m, 1);
                changed = true;
            }
        }
        return changed;
    }

    // A link to a place in the workbook follows the sheet's new name when it names the sheet.
    bool onHyperlink()
    {
        for (auto& a : attrs_) {
            if (a.name != "location" || a.value.find('!') == std::string_view::npos)
                continue;
            formulasNameSheets_ = true;
            if (!renaming_)
                return false;
            auto renamed = renameSheetInFormula(decodeXml(a.value), plan_.sourceName, plan_.copyName);
            if (!renamed)
                return false;
            locationText_.clear();
            appendEscapedAttribute(locationText_, *renamed);
            a.value = locationText_;
            keepQuotable(a);
            return true;
        }
        return false;
    }

    bool onShape()
    {
        for (auto& a : attrs_) {
            if (a.name != "shapeId")
                continue;
            std::size_t v;
            if (!parseIndex(a.value, v))
                return false;
            std::size_t m = plan_.shapeId(v);
            if (m == v)
                return false;
            a.value = number(m, 1);
            return true;
        }
        return false;
    }

    bool keepView(bool& changed)
    {
        changed |= removeAttr("tabSelected");
        std::size_t id = 0;
        for (auto& a : attrs_)
            if (a.name == "workbookViewId")
                parseIndex(a.value, id);
        if (plan_.selected && id == 0 && keptViews_.empty()) {
            setAttr("tabSelected", "1");
            changed = true;
        }
        id = 0;
        for (auto& a : attrs_)
            if (a.name == "workbookViewId")
                parseIndex(a.value, id);
        std::size_t windows = std::max<std::size_t>(plan_.destinationWindows, 1);
        if (id >= windows) {
            if (keptViews_.empty()) {
                id = 0;
                changed |= setAttr("workbookViewId", "0");
            } else {
                return false;
            }
        }
        if (std::find(keptViews_.begin(), keptViews_.end(), id) != keptViews_.end())
            return false;
        keptViews_.push_back(id);
        return true;
    }

    bool onRow(const XmlToken& t, std::size_t offset)
    {
        cellRef_.clear();
        const XmlAttribute* s = t.attribute("s");
        std::size_t v = 0;
        if (!s) {
            // A row formatted without an index has the source's first format, which the
            // destination's first format need not be.
            const XmlAttribute* custom = t.attribute("customFormat");
            if (!custom || (custom->value != "1" && custom->value != "true"))
                return false;
        } else if (!s->value.empty() && !parseIndex(s->value, v)) {
            damaged("a row has a format index that is not a number", offset);
        }
        std::size_t m = mapStyle(v);
        if (m == v)
            return false;
        attrs_ = t.attributes;
        setAttr("s", number(m, 0));
        return true;
    }

    bool onColumn(std::size_t offset)
    {
        std::size_t v = 0;
        for (auto& a : attrs_)
            if (a.name == "style") {
                if (!a.value.empty() && !parseIndex(a.value, v))
                    damaged("a column has a format index that is not a number", offset);
            }
        cellRef_.clear();
        std::size_t m = mapStyle(v);
        if (m == v)
            return false;
        setAttr("style", number(m, 0));
        return true;
    }

    bool onCell(const XmlToken& t, std::size_t offset)
    {
        const XmlAttribute* s = nullptr;
        const XmlAttribute* type = nullptr;
        const XmlAttribute* cm = nullptr;
        bool vm = false;
        cellShared_ = false;
        cellRef_.clear();
        for (const auto& a : t.attributes) {
            if (a.name.size() == 1) {
                if (a.name[0] == 's')
                    s = &a;
                else if (a.name[0] == 't')
                    type = &a;
                else if (a.name[0] == 'r')
                    cellRef_.assign(a.value);
            } else if (a.name.size() == 2 && a.name[1] == 'm') {
                if (a.name[0] == 'c')
                    cm = &a;
                else if (a.name[0] == 'v')
                    vm = true;
            }
        }
        cellShared_ = type && type->value == "s";
        cellError_ = type && type->value == "e";
        if (cellShared_)
            ++stringCells_;
        // Some writers leave the index empty (s=""); readers take that for the first format.
        std::size_t v = 0;
        if (s && !s->value.empty() && !parseIndex(s->value, v))
            damaged(fmt::format("cell {} has a format index that is not a number", cellRef_), offset);
        std::size_t m = mapStyle(v);
        cellDate_ = plan_.dateShift != 0 && (!type || type->value == "n") && v < plan_.dateFormats.size() &&
                    plan_.dateFormats[v];
        if (cm)
            cellMetadata_ = true;
        bool metadata = !plan_.keepCellMetadata && (cm || vm);
        if (m == v && !metadata)
            return false;
        std::size_t mappedCm = 0;
        if (metadata && cm && plan_.cellMetadata && parseIndex(cm->value, mappedCm))
            mappedCm = plan_.cellMetadata(mappedCm);
        else
            mappedCm = 0;
        attrs_ = t.attributes;
        if (metadata) {
            if (mappedCm > 0)
                setAttr("cm", number(mappedCm, 1));
            else
                removeAttr("cm");
            removeAttr("vm");
        }
        if (m != v)
            setAttr("s", number(m, 0));
        return true;
    }

    void onEnd(const XmlToken& t, std::size_t offset)
    {
        if (skip_) {
            --skip_;
            return;
        }
        if (open_ == 0)
            damaged("a closing tag without an opening one", offset);
        std::size_t start = nameEnds_.back();
        if (!same(std::string_view(names_).substr(start), t.name))
            damaged(fmt::format("the closing tag {} does not match", t.name), offset);
        names_.resize(start);
        nameEnds_.pop_back();
        Kind kind = kinds_.back();
        kinds_.pop_back();
        --open_;
        const std::size_t level = open_;

        if (kind == Kind::CellFormula && plan_.valueInstead && capture_ == Capture::Formula && formulaGivesWay()) {
            capture_ = Capture::None;
            captured_.clear();
            becomeValue();
            return;
        }
        if (kind == Kind::CellFormula && capture_ == Capture::Formula && captured_.empty() &&
            emptyFormulaStart_ != std::string::npos) {
            capture_ = Capture::None;
            target().resize(emptyFormulaStart_);
            return;
        }
        if (capture_ != Capture::None && (kind == Kind::CellValue || kind == Kind::CellFormula || kind == Kind::Other)) {
            Capture c = capture_;
            capture_ = Capture::None;
            if (c == Capture::SharedString) {
                std::size_t v;
                bool plain = !holds(captured_, '&');
                if (!(plain ? parseIndex(captured_, v) : parseIndex(decodeXml(captured_), v)))
                    damaged(fmt::format("cell {} refers to shared text that is not a number", cellRef_), offset);
                target().append(number(mapString(v), 0));
            } else if (c == Capture::DateValue) {
                // The serial number counts from the destination's first day.
                if (!rewrite::appendShiftedDate(target(), captured_, plan_.dateShift) && datesKept_++ == 0)
                    firstDateKept_ = cellRef_;
            } else {
                bool namesSheet = holds(captured_, '!');
                if (namesSheet)
                    formulasNameSheets_ = true;
                std::optional<std::string> rewritten;
                if (plan_.formulas) {
                    if (namesSheet || plan_.everyFormula || holds(captured_, '[')) {
                        plan_.formulas->at(kind == Kind::CellFormula ? std::string_view(cellRef_) : place_);
                        rewritten = translateFormula(decodeXml(captured_), *plan_.formulas);
                    }
                } else if (namesSheet && renaming_) {
                    rewritten = renameSheetInFormula(decodeXml(captured_), plan_.sourceName, plan_.copyName);
                }
                if (rewritten)
                    appendEscapedText(target(), *rewritten);
                else
                    target().append(captured_);
            }
            captured_.clear();
        }
        if (kind == Kind::CellValue && plan_.valueInstead && valueStart_ != std::string::npos &&
            target().size() > valueStart_)
            cellHasValue_ = true;
        target().append(t.raw);
        if (kind == Kind::Cell) {
            cellShared_ = false;
            cellError_ = false;
            cellDate_ = false;
            if (holdingCell_) {
                holdingCell_ = false;
                if (valueCell_ && !cellHasValue_)
                    emptiedCells_.push_back(cellRef_);
            }
        }
        if (kind == Kind::Root)
            rootDone_ = true;
        if (!frames_.empty() && frames_.back().level == level) {
            Frame f = std::move(frames_.back());
            frames_.pop_back();
            bool discard = f.dropped && (f.dropOnAnyDrop || f.children == 0);
            if (discard) {
                if (!frames_.empty()) {
                    frames_.back().dropped = true;
                    if (frames_.back().level + 1 == level && frames_.back().children > 0)
                        --frames_.back().children;
                }
            } else {
                target().append(f.buf);
            }
        }
        if (kind != Kind::InSheetData && kind != Kind::Row && kind != Kind::Cell && kind != Kind::CellValue &&
            kind != Kind::CellFormula)
            popBindings(level);
    }

    void finishDocument(std::size_t offset)
    {
        if (!rootDone_ || open_ != 0 || skip_ != 0)
            damaged("the sheet ends before its XML is complete", offset);
    }

    const SheetRewritePlan& plan_;
    SheetProfile* profile_;
    const std::string& file_;
    const std::string& part_;
    PartCompressor compressor_;
    bool renaming_;

    std::string out_;
    std::vector<Frame> frames_;
    rewrite::NamespaceScopes scopes_;
    std::string names_;
    std::vector<std::size_t> nameEnds_;
    std::vector<Kind> kinds_;
    std::size_t open_ = 0;
    std::size_t skip_ = 0;
    bool rootDone_ = false;
    std::string mainPrefix_;

    std::vector<XmlAttribute> attrs_;
    char numbers_[2][24] = {};
    std::string colorText_;
    std::string locationText_;
    std::string cellRef_;
    bool cellShared_ = false;
    bool cellDate_ = false;
    bool cellError_ = false;
    std::size_t emptyFormulaStart_ = std::string::npos;
    Capture capture_ = Capture::None;
    std::string captured_;
    std::vector<std::size_t> keptViews_;

    std::vector<std::int64_t> styleMap_, stringMap_, dxfMap_;
    std::unordered_map<std::size_t, std::size_t> sparseStrings_;  // when stringMap_ is not used
    // Indexes in the order the sheet first uses them: mapping them again in this order
    // appends to a destination exactly what this rewrite appended.
    std::vector<std::uint32_t> styleOrder_, stringOrder_, dxfOrder_;
    std::uint64_t stringCells_ = 0;
    bool formulasNameSheets_ = false;
    bool cellMetadata_ = false;

    // Where a formula outside the cells sits, for what the rules say about it.
    std::string_view place_ = "the sheet";
    // Formulas giving way to values: the cell being written and where its pieces start.
    bool holdingCell_ = false;
    bool valueCell_ = false;
    bool cellHasValue_ = false;
    std::size_t cellStart_ = 0;
    std::size_t formulaStart_ = 0;
    std::size_t valueStart_ = std::string::npos;
    bool formulaShared_ = false;
    bool formulaMaster_ = false;
    std::string formulaGroup_;
    std::set<std::string> valuedGroups_;  // shared formulas whose master became a value
    std::vector<std::string> emptiedCells_;
    std::uint64_t datesKept_ = 0;
    std::string firstDateKept_;
    std::uint64_t undefinedFormats_ = 0;
    std::string firstUndefinedFormat_;
};

} // namespace

StoredPart rewriteSheet(PartReader& input, std::uint64_t sizeHint, const SheetRewritePlan& plan, SheetProfile* profile,
                        const std::string& file, const std::string& part)
{
    Rewriter r(plan, profile, file, part, deflateLevelFor(sizeHint));
    r.run(input);
    return r.finish();
}

} // namespace tessaro::xlsx
