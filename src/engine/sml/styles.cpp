// SPDX-License-Identifier: MIT
#include "engine/sml/styles.h"

#include "platform/engine_error.h"
#include "engine/zip/zip_reader.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

constexpr std::string_view kStylesheetOrder[] = {
    "numFmts", "fonts", "fills", "borders", "cellStyleXfs", "cellXfs", "cellStyles", "dxfs", "tableStyles", "colors",
    "extLst"};

const char* kDefaultStyles =
    "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
    "<styleSheet xmlns=\"http://schemas.openxmlformats.org/spreadsheetml/2006/main\">"
    "<fonts count=\"1\"><font><sz val=\"11\"/><color theme=\"1\"/><name val=\"Calibri\"/><family val=\"2\"/>"
    "<scheme val=\"minor\"/></font></fonts>"
    "<fills count=\"2\"><fill><patternFill patternType=\"none\"/></fill><fill><patternFill patternType=\"gray125\"/>"
    "</fill></fills>"
    "<borders count=\"1\"><border><left/><right/><top/><bottom/><diagonal/></border></borders>"
    "<cellStyleXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\"/></cellStyleXfs>"
    "<cellXfs count=\"1\"><xf numFmtId=\"0\" fontId=\"0\" fillId=\"0\" borderId=\"0\" xfId=\"0\"/></cellXfs>"
    "<cellStyles count=\"1\"><cellStyle name=\"Normal\" xfId=\"0\" builtinId=\"0\"/></cellStyles>"
    "<dxfs count=\"0\"/><tableStyles count=\"0\" defaultTableStyle=\"TableStyleMedium2\" "
    "defaultPivotStyle=\"PivotStyleLight16\"/></styleSheet>";

bool hasPrefix(std::string_view qn, std::string_view prefix)
{
    if (prefix.empty())
        return qn.find(':') == std::string_view::npos;
    return qn.substr(0, prefix.size()) == prefix;
}

// What the first two fills stand for in a spreadsheet application, whatever they hold.
constexpr std::string_view kReservedFills[] = {"none", "gray125"};

// The pattern a fill record spells out: a pattern fill without a type is "none"; a gradient has
// no pattern.
std::string_view patternOf(pugi::xml_node fill)
{
    for (pugi::xml_node c : fill.children()) {
        std::string_view name = localNameOf(c.name());
        if (name == "patternFill") {
            pugi::xml_attribute type = c.attribute("patternType");
            return type ? std::string_view(type.value()) : std::string_view("none");
        }
        if (name == "gradientFill")
            return {};
    }
    return "none";
}

// The code of a built-in number format that reads the same in every language; nothing for the
// others (dates, currencies and the Asian formats follow the reader's locale).
std::string_view invariantBuiltinFormat(long id)
{
    switch (id) {
    case 0: return "General";
    case 1: return "0";
    case 2: return "0.00";
    case 3: return "#,##0";
    case 4: return "#,##0.00";
    case 9: return "0%";
    case 10: return "0.00%";
    case 11: return "0.00E+00";
    case 12: return "# ?/?";
    case 13: return "# ?\?/?\?";  // escaped: "??/" would read as a trigraph
    case 45: return "mm:ss";
    case 46: return "[h]:mm:ss";
    case 47: return "mmss.0";
    case 48: return "##0.0E+0";
    case 49: return "@";
    default: return {};
    }
}

// Points a format record's index attribute at what `to` maps it to. Readers take a missing index
// for 0, which may stand for another record in the destination: it is written then.
template <typename Map>
void remapRecordIndex(pugi::xml_node record, const char* name, Map to)
{
    pugi::xml_attribute at = record.attribute(name);
    const long mapped = to(at ? toLong(at.value()) : 0L);
    if (!at && mapped == 0)
        return;
    if (!at)
        at = record.append_attribute(name);
    at.set_value(static_cast<long long>(mapped));
}

// Whether the source writes reserved fill `i` as what it stands for and the destination as
// another fill, which openpyxl shows though a spreadsheet application does not.
bool reservedFillWrittenOtherwise(const std::vector<pugi::xml_node>& src, const std::vector<pugi::xml_node>& dst,
                                  std::size_t i)
{
    return i < 2 && i < src.size() && i < dst.size() && patternOf(src[i]) == kReservedFills[i] &&
           patternOf(dst[i]) != kReservedFills[i];
}

// Format records are a few levels deep; anything far deeper is a crafted part, refused
// before it can exhaust the stack.
constexpr int kDeepestRecord = 64;

void tooDeep()
{
    throw std::runtime_error("a format record in the styles part is nested too deeply");
}

void canonicalInto(pugi::xml_node n, std::string_view prefix, std::string& out, int depth = 0)
{
    if (depth > kDeepestRecord)
        tooDeep();
    if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) {
        std::string_view t = n.value();
        if (t.find_first_not_of(" \t\r\n") != std::string_view::npos) {
            out += '"';
            out += t;
            out += '"';
        }
        return;
    }
    if (n.type() != pugi::node_element)
        return;
    std::string_view qn = n.name();
    if (!prefix.empty() && qn.substr(0, prefix.size()) == prefix)
        qn.remove_prefix(prefix.size());
    out += '<';
    out += qn;
    std::vector<std::pair<std::string_view, std::string_view>> attrs;
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
        std::string_view an = a.name();
        if (an == "xmlns" || an.substr(0, 6) == "xmlns:")
            continue;
        attrs.emplace_back(an, a.value());
    }
    std::sort(attrs.begin(), attrs.end());
    for (auto& [k, v] : attrs) {
        out += ' ';
        out += k;
        out += "=\"";
        out += v;
        out += '"';
    }
    out += '>';
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling())
        canonicalInto(c, prefix, out, depth + 1);
    out += "</>";
}

bool isColorElement(std::string_view local)
{
    return local == "color" || local == "fgColor" || local == "bgColor" || local == "tabColor";
}

std::optional<std::string_view> attr(pugi::xml_node n, const char* name)
{
    pugi::xml_attribute a = n.attribute(name);
    if (!a)
        return std::nullopt;
    return std::string_view(a.value());
}

} // namespace

// Whether a number format shows a date: it has a year, a day or (with no hour or second
// beside it) a month, outside quoted text, escapes and bracketed codes.
bool formatShowsDate(long id, std::string_view code)
{
    if ((id >= 14 && id <= 17) || id == 22 || (id >= 27 && id <= 36) || (id >= 50 && id <= 58))
        return true;
    if (id < 164 && code.empty())
        return false;
    bool day = false, month = false, timeOfDay = false;
    for (std::size_t i = 0; i < code.size(); ++i) {
        char c = code[i];
        if (c == '"') {
            std::size_t j = code.find('"', i + 1);
            i = j == std::string_view::npos ? code.size() : j;
        } else if (c == '\\' || c == '_' || c == '*') {
            ++i;
        } else if (c == '[') {
            std::size_t j = code.find(']', i + 1);
            std::string_view inner = code.substr(i + 1, j == std::string_view::npos ? 0 : j - i - 1);
            if (!inner.empty() && (inner[0] == 'h' || inner[0] == 'H' || inner[0] == 'm' || inner[0] == 'M' ||
                                   inner[0] == 's' || inner[0] == 'S'))
                timeOfDay = true;  // an elapsed-time duration
            i = j == std::string_view::npos ? code.size() : j;
        } else if (c == 'y' || c == 'Y' || c == 'd' || c == 'D') {
            day = true;
        } else if (c == 'm' || c == 'M') {
            month = true;
        } else if (c == 'h' || c == 'H' || c == 's' || c == 'S') {
            timeOfDay = true;
        }
    }
    return day || (month && !timeOfDay);
}

std::string canonicalText(pugi::xml_node element, std::string_view prefix)
{
    std::string out;
    canonicalInto(element, prefix, out);
    return out;
}

pugi::xml_node copyElement(pugi::xml_node parent, pugi::xml_node src, std::string_view srcPrefix,
                           std::string_view dstPrefix, pugi::xml_node before)
{
    int depth = 0;
    for (pugi::xml_node up = src.parent(); up && depth <= kDeepestRecord + 8; up = up.parent())
        ++depth;
    if (depth > kDeepestRecord + 8)
        tooDeep();
    std::string_view qn = src.name();
    std::string name;
    if (hasPrefix(qn, srcPrefix)) {
        name = std::string(dstPrefix) + std::string(qn.substr(srcPrefix.size()));
    } else {
        name = std::string(qn);
    }
    pugi::xml_node out = before ? parent.insert_child_before(name.c_str(), before) : parent.append_child(name.c_str());
    // A foreign prefix must mean the same namespace where the copy lands.
    auto declare = [&](std::string_view q) {
        std::size_t colon = q.find(':');
        if (colon == std::string_view::npos)
            return;
        std::string p(q.substr(0, colon));
        if (p == "xml" || p == "xmlns" || std::string_view(p + ":") == dstPrefix)
            return;
        auto uri = namespaceOf(src, p);
        if (!uri)
            return;
        auto here = namespaceOf(out, p);
        if (!here || *here != *uri) {
            std::string decl = "xmlns:" + p;
            if (!out.attribute(decl.c_str()))
                out.append_attribute(decl.c_str()).set_value(uri->c_str());
        }
    };
    if (!hasPrefix(qn, srcPrefix))
        declare(qn);
    for (pugi::xml_attribute a = src.first_attribute(); a; a = a.next_attribute()) {
        std::string_view an = a.name();
        if (an == "xmlns" || an.substr(0, 6) == "xmlns:")
            continue;
        out.append_attribute(a.name()).set_value(a.value());
        declare(an);
    }
    for (pugi::xml_node c = src.first_child(); c; c = c.next_sibling()) {
        if (c.type() == pugi::node_element)
            copyElement(out, c, srcPrefix, dstPrefix);
        else if (c.type() == pugi::node_pcdata || c.type() == pugi::node_cdata)
            out.append_child(c.type()).set_value(c.value());
    }
    return out;
}

void Stylesheet::load(std::string_view xml, const std::string& file, const std::string& part)
{
    loadXml(doc_, xml, file, part);
    pugi::xml_node root = doc_.document_element();
    auto names = NsNames::of(root, ns::kMain);
    if (!names || !names->names(root, "styleSheet"))
        throw EngineError(ErrorCode::PartDamaged, file, part + ": it is not a styles part");
    n_ = *names;
    index();
    implicitDefault_ = false;
    if (xfs_.empty())
        supplyDefaults();
    modified_ = false;
}

void Stylesheet::loadDefault()
{
    doc_.load_string(kDefaultStyles, pugi::parse_default | pugi::parse_declaration);
    n_ = NsNames("");
    index();
    implicitDefault_ = true;
    modified_ = false;
}

// A styles part without cell formats (`<styleSheet/>`, an empty cellXfs) still has format 0:
// applications show it with their default font, fill and border. Those defaults are made
// records here, in every list that has none, so that format 0 can be copied and a part
// written back is complete.
void Stylesheet::supplyDefaults()
{
    pugi::xml_document defaults;
    defaults.load_string(kDefaultStyles);
    const std::pair<std::string_view, const std::vector<pugi::xml_node>*> lists[] = {
        {"fonts", &fonts_}, {"fills", &fills_}, {"borders", &borders_}, {"cellStyleXfs", &styleXfs_},
        {"cellXfs", &xfs_}, {"cellStyles", &cellStyles_}};
    for (const auto& [local, records] : lists) {
        if (!records->empty())
            continue;
        pugi::xml_node c = container(local);
        for (pugi::xml_node d : defaults.document_element().child(std::string(local).c_str()).children())
            copyElement(c, d, "", n_.prefix());
    }
    index();
    implicitDefault_ = true;
}

void Stylesheet::index()
{
    pugi::xml_node root = doc_.document_element();
    auto collect = [&](std::string_view cont, std::string_view item, std::vector<pugi::xml_node>& out) {
        out.clear();
        for (pugi::xml_node c = root.child(n_(cont).c_str()).first_child(); c; c = c.next_sibling()) {
            if (n_.names(c, item)) {
                out.push_back(c);
            } else if (isAlternateContent(c)) {
                // The records of the branch an application takes stand where the element stands.
                for (pugi::xml_node b = chosenAlternative(c).first_child(); b; b = b.next_sibling())
                    if (n_.names(b, item))
                        out.push_back(b);
            }
        }
    };
    collect("numFmts", "numFmt", numFmts_);
    collect("fonts", "font", fonts_);
    collect("fills", "fill", fills_);
    collect("borders", "border", borders_);
    collect("cellStyleXfs", "xf", styleXfs_);
    collect("cellXfs", "xf", xfs_);
    collect("cellStyles", "cellStyle", cellStyles_);
    collect("dxfs", "dxf", dxfs_);
    numFmtCodes_.clear();
    maxNumFmtId_ = 163;
    for (pugi::xml_node f : numFmts_) {
        long id = toLong(f.attribute("numFmtId").value(), -1);
        if (id < 0)
            continue;
        numFmtCodes_.emplace(id, f.attribute("formatCode").value());
        maxNumFmtId_ = std::max(maxNumFmtId_, id);
    }
    palette_.clear();
    pugi::xml_node colors = root.child(n_("colors").c_str()).child(n_("indexedColors").c_str());
    for (pugi::xml_node c = colors.first_child(); c; c = c.next_sibling()) {
        if (!n_.names(c, "rgbColor"))
            continue;
        std::string_view rgb = c.attribute("rgb").value();
        std::string six(rgb.size() > 6 ? rgb.substr(rgb.size() - 6) : rgb);
        for (char& ch : six)
            ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
        palette_.push_back(six);
    }
    keyed_ = false;
}

void Stylesheet::ensureKeys()
{
    if (keyed_)
        return;
    auto keyAll = [&](const std::vector<pugi::xml_node>& list, std::unordered_map<std::string, std::size_t>& keys) {
        keys.clear();
        for (std::size_t i = 0; i < list.size(); ++i)
            keys.emplace(canonicalText(list[i], n_.prefix()), i);
    };
    keyAll(fonts_, fontKeys_);
    keyAll(fills_, fillKeys_);
    keyAll(borders_, borderKeys_);
    keyAll(styleXfs_, styleXfKeys_);
    keyAll(xfs_, xfKeys_);
    keyAll(dxfs_, dxfKeys_);
    numFmtByCode_.clear();
    for (const auto& [id, code] : numFmtCodes_)
        numFmtByCode_.emplace(code, id);
    cellStyleByName_.clear();
    for (pugi::xml_node s : cellStyles_) {
        std::string name = foldAscii(s.attribute("name").value());
        cellStyleByName_.emplace(name, static_cast<std::size_t>(toLong(s.attribute("xfId").value())));
    }
    keyed_ = true;
}

pugi::xml_node Stylesheet::container(std::string_view local)
{
    pugi::xml_node root = doc_.document_element();
    pugi::xml_node c = root.child(n_(local).c_str());
    if (!c)
        c = insertInOrder(root, n_, local, kStylesheetOrder);
    return c;
}

Stylesheet::Mark Stylesheet::mark() const
{
    return Mark{numFmts_.size(), fonts_.size(), fills_.size(), borders_.size(), styleXfs_.size(),
                xfs_.size(), cellStyles_.size(), dxfs_.size(), modified_};
}

void Stylesheet::rollback(const Mark& m)
{
    auto cut = [](std::vector<pugi::xml_node>& list, std::size_t keep) {
        while (list.size() > keep) {
            pugi::xml_node n = list.back();
            n.parent().remove_child(n);
            list.pop_back();
        }
    };
    cut(numFmts_, m.numFmts);
    cut(fonts_, m.fonts);
    cut(fills_, m.fills);
    cut(borders_, m.borders);
    cut(styleXfs_, m.styleXfs);
    cut(xfs_, m.xfs);
    cut(cellStyles_, m.cellStyles);
    cut(dxfs_, m.dxfs);
    modified_ = m.modified;
    index();
}

std::vector<bool> Stylesheet::dateFormats() const
{
    std::vector<bool> out;
    out.reserve(xfs_.size());
    for (pugi::xml_node x : xfs_) {
        long id = toLong(x.attribute("numFmtId").value(), 0);
        auto code = numFmtCodes_.find(id);
        out.push_back(formatShowsDate(id, code == numFmtCodes_.end() ? std::string_view() : std::string_view(code->second)));
    }
    return out;
}

std::string Stylesheet::serialize() const
{
    // Counts are advisory, but stale ones look like damage to some readers.
    pugi::xml_node root = doc_.document_element();
    auto count = [&](std::string_view cont, std::size_t n) {
        pugi::xml_node c = root.child(n_(cont).c_str());
        if (!c)
            return;
        pugi::xml_attribute a = c.attribute("count");
        if (!a)
            a = c.append_attribute("count");
        a.set_value(static_cast<unsigned long long>(n));
    };
    if (modified_) {
        count("numFmts", numFmts_.size());
        count("fonts", fonts_.size());
        count("fills", fills_.size());
        count("borders", borders_.size());
        count("cellStyleXfs", styleXfs_.size());
        count("cellXfs", xfs_.size());
        count("cellStyles", cellStyles_.size());
        count("dxfs", dxfs_.size());
    }
    return saveXml(doc_);
}

StyleMerger::StyleMerger(const Stylesheet& source, Stylesheet& destination, ColorTranslator colors,
                         std::string sourceFile)
    : src_(source), dst_(destination), colors_(std::move(colors)), sourceFile_(std::move(sourceFile))
{
    scratch_.append_child("scratch");
}

void StyleMerger::undefined(std::string_view what, std::size_t index, std::size_t defined) const
{
    throw EngineError(ErrorCode::StyleIndexOutOfRange, sourceFile_,
                      fmt::format("{} {} is used, but the workbook defines {}", what, index, defined));
}

void StyleMerger::forget()
{
    xfMap_.clear();
    dxfMap_.clear();
    fontMap_.clear();
    fillMap_.clear();
    borderMap_.clear();
    styleXfMap_.clear();
    numFmtMap_.clear();
    driftMap_.clear();
}

pugi::xml_node StyleMerger::scratchCopy(pugi::xml_node src)
{
    return copyElement(scratch_.document_element(), src, src_.n_.prefix(), "");
}

void StyleMerger::discard(pugi::xml_node n)
{
    scratch_.document_element().remove_child(n);
}

void StyleMerger::translateColors(pugi::xml_node n, int depth)
{
    if (!colors_.active())
        return;
    if (depth > kDeepestRecord)
        tooDeep();
    for (pugi::xml_node c = n; c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        if (isColorElement(localNameOf(c.name()))) {
            auto argb = colors_.translate(attr(c, "theme"), attr(c, "tint"), attr(c, "indexed"));
            if (argb) {
                c.remove_attribute("theme");
                c.remove_attribute("tint");
                c.remove_attribute("indexed");
                pugi::xml_attribute rgb = c.attribute("rgb");
                if (!rgb)
                    rgb = c.append_attribute("rgb");
                rgb.set_value(argb->c_str());
            }
        }
        translateColors(c.first_child(), depth + 1);
    }
}

std::size_t StyleMerger::findOrAppend(std::unordered_map<std::string, std::size_t>& keys,
                                      std::vector<pugi::xml_node>& list, std::string_view container,
                                      pugi::xml_node record, std::size_t firstReusable)
{
    std::string key = canonicalText(record, "");
    auto it = keys.find(key);
    if (it != keys.end() && it->second >= firstReusable)
        return it->second;
    if (firstReusable > 0) {
        for (std::size_t i = firstReusable; i < list.size(); ++i)
            if (canonicalText(list[i], dst_.n_.prefix()) == key)
                return i;
    }
    pugi::xml_node cont = dst_.container(container);
    pugi::xml_node added = copyElement(cont, record, "", dst_.n_.prefix());
    list.push_back(added);
    keys.emplace(std::move(key), list.size() - 1);
    dst_.modified_ = true;
    return list.size() - 1;
}

long StyleMerger::numberFormat(long id)
{
    if (auto it = numFmtMap_.find(id); it != numFmtMap_.end())
        return it->second;
    auto withCode = [this](const std::string& code) {
        if (auto byCode = dst_.numFmtByCode_.find(code); byCode != dst_.numFmtByCode_.end())
            return byCode->second;
        long added = ++dst_.maxNumFmtId_;
        pugi::xml_node f = dst_.container("numFmts").append_child(dst_.n_("numFmt").c_str());
        f.append_attribute("numFmtId").set_value(added);
        f.append_attribute("formatCode").set_value(code.c_str());
        dst_.numFmts_.push_back(f);
        dst_.numFmtCodes_.emplace(added, code);
        dst_.numFmtByCode_.emplace(code, added);
        dst_.modified_ = true;
        return added;
    };
    long mapped;
    auto def = src_.numFmtCodes_.find(id);
    const std::string_view builtin = invariantBuiltinFormat(id);
    const auto inDestination = dst_.numFmtCodes_.find(id);
    if (def == src_.numFmtCodes_.end() && !builtin.empty() && inDestination != dst_.numFmtCodes_.end() &&
        inDestination->second != builtin) {
        // The destination gives a built-in id a code of its own, which readers show; the copy
        // keeps the built-in's look under the code it stands for.
        mapped = withCode(std::string(builtin));
    } else if (def == src_.numFmtCodes_.end()) {
        // Built-in formats are the same everywhere; an undefined custom id would dangle.
        mapped = id < 164 ? id : 0;
    } else {
        const std::string& code = def->second;
        mapped = id < 164 && inDestination != dst_.numFmtCodes_.end() && inDestination->second == code ? id
                                                                                                   : withCode(code);
    }
    numFmtMap_.emplace(id, mapped);
    return mapped;
}

pugi::xml_node StyleMerger::preparedFont(std::size_t i)
{
    pugi::xml_node f = preparedRecord(src_.fonts_, i);
    if (colors_.fontsDiffer()) {
        // The destination's theme fonts are others: keep the font by its own name.
        while (pugi::xml_node s = f.child("scheme"))
            f.remove_child(s);
    }
    return f;
}

pugi::xml_node StyleMerger::preparedRecord(const std::vector<pugi::xml_node>& list, std::size_t i)
{
    pugi::xml_node r = scratchCopy(list[i]);
    translateColors(r.first_child());
    return r;
}

std::size_t StyleMerger::font(std::size_t i)
{
    if (auto it = fontMap_.find(i); it != fontMap_.end())
        return it->second;
    std::size_t mapped = 0;
    if (i < src_.fonts_.size()) {
        pugi::xml_node f = preparedFont(i);
        mapped = findOrAppend(dst_.fontKeys_, dst_.fonts_, "fonts", f);
        discard(f);
    }
    fontMap_.emplace(i, mapped);
    return mapped;
}

std::size_t StyleMerger::fill(std::size_t i)
{
    if (auto it = fillMap_.find(i); it != fillMap_.end())
        return it->second;
    std::size_t mapped = 0;
    if (i == 0 || i == 1) {
        // A spreadsheet application takes the first two fills as "none" and "gray125" whatever
        // they say, but openpyxl shows what they say: where the destination's is written as
        // another fill and the source's as the reserved one, the copy gets that fill past them,
        // which every reader shows the same.
        mapped = i;
        if (reservedFillWrittenOtherwise(src_.fills_, dst_.fills_, i)) {
            pugi::xml_node f = preparedRecord(src_.fills_, i);
            mapped = findOrAppend(dst_.fillKeys_, dst_.fills_, "fills", f, 2);
            discard(f);
        }
    } else if (i < src_.fills_.size()) {
        pugi::xml_node f = preparedRecord(src_.fills_, i);
        mapped = findOrAppend(dst_.fillKeys_, dst_.fills_, "fills", f, 2);
        discard(f);
    }
    fillMap_.emplace(i, mapped);
    return mapped;
}

std::size_t StyleMerger::border(std::size_t i)
{
    if (auto it = borderMap_.find(i); it != borderMap_.end())
        return it->second;
    std::size_t mapped = 0;
    if (i < src_.borders_.size()) {
        pugi::xml_node b = preparedRecord(src_.borders_, i);
        mapped = findOrAppend(dst_.borderKeys_, dst_.borders_, "borders", b);
        discard(b);
    }
    borderMap_.emplace(i, mapped);
    return mapped;
}

void StyleMerger::remapParts(pugi::xml_node x)
{
    remapRecordIndex(x, "numFmtId", [&](long v) { return numberFormat(v); });
    remapRecordIndex(x, "fontId", [&](long v) { return static_cast<long>(font(static_cast<std::size_t>(std::max(0L, v)))); });
    remapRecordIndex(x, "fillId", [&](long v) { return static_cast<long>(fill(static_cast<std::size_t>(std::max(0L, v)))); });
    remapRecordIndex(x, "borderId",
                     [&](long v) { return static_cast<long>(border(static_cast<std::size_t>(std::max(0L, v)))); });
}

std::size_t StyleMerger::styleRecord(std::size_t i)
{
    if (auto it = styleXfMap_.find(i); it != styleXfMap_.end())
        return it->second;
    if (i >= src_.styleXfs_.size()) {
        styleXfMap_.emplace(i, 0);
        return 0;
    }
    pugi::xml_node named;
    for (pugi::xml_node s : src_.cellStyles_)
        if (static_cast<std::size_t>(toLong(s.attribute("xfId").value(), -1)) == i) {
            named = s;
            break;
        }
    if (named) {
        // A named style of the same name in the destination is that style (as applications
        // do when a sheet moves between workbooks).
        auto it = dst_.cellStyleByName_.find(foldAscii(named.attribute("name").value()));
        if (it != dst_.cellStyleByName_.end() && it->second < dst_.styleXfs_.size()) {
            styleXfMap_.emplace(i, it->second);
            return it->second;
        }
    }
    pugi::xml_node x = scratchCopy(src_.styleXfs_[i]);
    remapParts(x);
    std::size_t mapped;
    if (named) {
        // Each named style owns its record: append, never share.
        pugi::xml_node cont = dst_.container("cellStyleXfs");
        dst_.styleXfs_.push_back(copyElement(cont, x, "", dst_.n_.prefix()));
        mapped = dst_.styleXfs_.size() - 1;
        pugi::xml_node styles = dst_.container("cellStyles");
        pugi::xml_node s = copyElement(styles, named, src_.n_.prefix(), dst_.n_.prefix());
        s.attribute("xfId").set_value(static_cast<unsigned long long>(mapped));
        dst_.cellStyles_.push_back(s);
        dst_.cellStyleByName_.emplace(foldAscii(named.attribute("name").value()), mapped);
        dst_.modified_ = true;
    } else {
        mapped = findOrAppend(dst_.styleXfKeys_, dst_.styleXfs_, "cellStyleXfs", x);
    }
    discard(x);
    styleXfMap_.emplace(i, mapped);
    return mapped;
}

namespace {

// A cell format's attribute groups, each with the flag that says the format's own value
// holds rather than its cell style's.
struct AttributeGroup {
    unsigned bit;
    const char* flag;
};
constexpr AttributeGroup kGroups[] = {{1u, "applyNumberFormat"}, {2u, "applyFont"},      {4u, "applyFill"},
                                      {8u, "applyBorder"},        {16u, "applyAlignment"}, {32u, "applyProtection"}};
constexpr unsigned kEveryGroup = 63u;

std::size_t recordIndex(pugi::xml_node xf, const char* name)
{
    return static_cast<std::size_t>(std::max(0L, toLong(xf.attribute(name).value(), 0)));
}

bool isTrue(pugi::xml_attribute a)
{
    std::string_view v = a.value();
    return v == "1" || v == "true";
}

} // namespace

// Which attribute groups a cell style gives otherwise in the destination than in the source.
// Compared as the copy would write them, without adding anything to the destination.
unsigned StyleMerger::styleDrift(std::size_t sourceStyle, std::size_t destinationStyle)
{
    auto memo = driftMap_.find({sourceStyle, destinationStyle});
    if (memo != driftMap_.end())
        return memo->second;
    unsigned drift = 0;
    if (sourceStyle >= src_.styleXfs_.size() || destinationStyle >= dst_.styleXfs_.size()) {
        drift = kEveryGroup;
    } else {
        pugi::xml_node s = src_.styleXfs_[sourceStyle];
        pugi::xml_node d = dst_.styleXfs_[destinationStyle];
        const std::string_view sp = src_.n_.prefix(), dp = dst_.n_.prefix();
        auto formatKey = [](const Stylesheet& sheet, long id) {
            auto code = sheet.numFmtCodes_.find(id);
            return code == sheet.numFmtCodes_.end() ? fmt::format("b{}", id) : "c" + code->second;
        };
        auto differs = [&](const std::vector<pugi::xml_node>& dstList, std::size_t di, pugi::xml_node prepared) {
            std::string mine = prepared ? canonicalText(prepared, "") : std::string();
            if (prepared)
                discard(prepared);
            std::string theirs = di < dstList.size() ? canonicalText(dstList[di], dp) : std::string();
            return mine != theirs;
        };
        const long sf = std::max(0L, toLong(s.attribute("numFmtId").value(), 0));
        const long df = std::max(0L, toLong(d.attribute("numFmtId").value(), 0));
        if (formatKey(src_, sf) != formatKey(dst_, df))
            drift |= 1u;
        std::size_t si = recordIndex(s, "fontId"), di = recordIndex(d, "fontId");
        if (differs(dst_.fonts_, di, si < src_.fonts_.size() ? preparedFont(si) : pugi::xml_node()))
            drift |= 2u;
        si = recordIndex(s, "fillId");
        di = recordIndex(d, "fillId");
        // Readers take the first two fills for "none" and "gray125" whatever they hold.
        if (si < 2 || di < 2) {
            if (si != di || reservedFillWrittenOtherwise(src_.fills_, dst_.fills_, si))
                drift |= 4u;
        } else if (differs(dst_.fills_, di, si < src_.fills_.size() ? preparedRecord(src_.fills_, si) : pugi::xml_node())) {
            drift |= 4u;
        }
        si = recordIndex(s, "borderId");
        di = recordIndex(d, "borderId");
        if (differs(dst_.borders_, di, si < src_.borders_.size() ? preparedRecord(src_.borders_, si) : pugi::xml_node()))
            drift |= 8u;
        auto childKey = [](pugi::xml_node xf, const NsNames& n, std::string_view prefix, std::string_view local) {
            pugi::xml_node c = xf.child(n(local).c_str());
            return c ? canonicalText(c, prefix) : std::string();
        };
        if (childKey(s, src_.n_, sp, "alignment") != childKey(d, dst_.n_, dp, "alignment"))
            drift |= 16u;
        if (childKey(s, src_.n_, sp, "protection") != childKey(d, dst_.n_, dp, "protection"))
            drift |= 32u;
    }
    driftMap_.emplace(std::make_pair(sourceStyle, destinationStyle), drift);
    return drift;
}

// A cell format without an apply flag shows its cell style's attribute in some readers and
// its own in others; in the source both agree only as long as the style stays the same. Where
// the style the copy lands on gives something else, the copy says that its own value holds,
// which is what the source showed.
void StyleMerger::pinAttributes(pugi::xml_node xf, std::size_t sourceStyle, std::size_t destinationStyle)
{
    const unsigned drift = styleDrift(sourceStyle, destinationStyle);
    if (drift == 0)
        return;
    for (const AttributeGroup& g : kGroups) {
        if (!(drift & g.bit))
            continue;
        pugi::xml_attribute a = xf.attribute(g.flag);
        if (a && isTrue(a))
            continue;
        if (!a)
            a = xf.append_attribute(g.flag);
        a.set_value("1");
    }
}

std::size_t StyleMerger::cellFormat(std::size_t sourceIndex)
{
    if (auto it = xfMap_.find(sourceIndex); it != xfMap_.end())
        return it->second;
    if (sourceIndex >= src_.xfs_.size())
        undefined("cell format", sourceIndex, src_.xfs_.size());
    dst_.ensureKeys();
    // Cells that come to point at a default the part only implied need it written out.
    if (dst_.implicitDefault_)
        dst_.modified_ = true;
    pugi::xml_node x = scratchCopy(src_.xfs_[sourceIndex]);
    remapParts(x);
    if (!dst_.styleXfs_.empty() || !src_.styleXfs_.empty()) {
        if (dst_.styleXfs_.empty()) {
            // The destination has no style records at all: give it the default one first.
            pugi::xml_node cont = dst_.container("cellStyleXfs");
            pugi::xml_node d = cont.append_child(dst_.n_("xf").c_str());
            for (const char* a : {"numFmtId", "fontId", "fillId", "borderId"})
                d.append_attribute(a).set_value(0);
            dst_.styleXfs_.push_back(d);
            dst_.styleXfKeys_.emplace(canonicalText(d, dst_.n_.prefix()), 0);
            dst_.modified_ = true;
        }
        const std::size_t sourceStyle = recordIndex(x, "xfId");
        remapRecordIndex(x, "xfId",
                         [&](long v) { return static_cast<long>(styleRecord(static_cast<std::size_t>(std::max(0L, v)))); });
        pinAttributes(x, sourceStyle, recordIndex(x, "xfId"));
    }
    std::size_t mapped = findOrAppend(dst_.xfKeys_, dst_.xfs_, "cellXfs", x);
    discard(x);
    xfMap_.emplace(sourceIndex, mapped);
    return mapped;
}

long StyleMerger::numberFormatId(long sourceId)
{
    dst_.ensureKeys();
    return numberFormat(sourceId);
}

void StyleMerger::tableStyle(const std::string& name)
{
    if (name.empty())
        return;
    auto find = [](const Stylesheet& sheet, const std::string& wanted) -> pugi::xml_node {
        pugi::xml_node styles = sheet.doc_.document_element().child(sheet.n_("tableStyles").c_str());
        for (pugi::xml_node t = styles.first_child(); t; t = t.next_sibling())
            if (sheet.n_.names(t, "tableStyle") && wanted == t.attribute("name").value())
                return t;
        return {};
    };
    pugi::xml_node src = find(src_, name);
    if (!src || find(dst_, name))
        return;
    dst_.ensureKeys();
    pugi::xml_node styles = dst_.container("tableStyles");
    pugi::xml_node copy = copyElement(styles, src, src_.n_.prefix(), dst_.n_.prefix());
    for (pugi::xml_node e = copy.first_child(); e; e = e.next_sibling()) {
        pugi::xml_attribute d = e.attribute("dxfId");
        if (!d)
            continue;
        long v = toLong(d.value(), -1);
        if (v >= 0 && static_cast<std::size_t>(v) < src_.dxfs_.size())
            d.set_value(static_cast<unsigned long long>(differentialFormat(static_cast<std::size_t>(v))));
        else
            e.remove_attribute(d);
    }
    std::size_t n = 0;
    for (pugi::xml_node t = styles.first_child(); t; t = t.next_sibling())
        if (dst_.n_.names(t, "tableStyle"))
            ++n;
    pugi::xml_attribute count = styles.attribute("count");
    if (!count)
        count = styles.append_attribute("count");
    count.set_value(static_cast<unsigned long long>(n));
    dst_.modified_ = true;
}

std::size_t StyleMerger::differentialFormat(std::size_t sourceIndex)
{
    if (auto it = dxfMap_.find(sourceIndex); it != dxfMap_.end())
        return it->second;
    if (sourceIndex >= src_.dxfs_.size())
        undefined("conditional format", sourceIndex, src_.dxfs_.size());
    dst_.ensureKeys();
    pugi::xml_node d = scratchCopy(src_.dxfs_[sourceIndex]);
    translateColors(d.first_child());
    std::size_t mapped = findOrAppend(dst_.dxfKeys_, dst_.dxfs_, "dxfs", d);
    discard(d);
    dxfMap_.emplace(sourceIndex, mapped);
    return mapped;
}

} // namespace tessaro::xlsx
