// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/external_links.h"

#include "platform/engine_error.h"
#include "engine/opc/package.h"
#include "engine/sml/workbook.h"
#include "engine/xml/xml_dom.h"
#include "engine/xml/xml_scanner.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <optional>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

constexpr std::size_t kReadChunk = 256 * 1024;
constexpr std::size_t kLongestToken = 64u << 20;

// The text of a shared-string item (its runs joined, phonetic guides left out).
std::string plainText(std::string_view item)
{
    std::string out;
    XmlScanner scanner;
    XmlToken tok;
    std::size_t pos = 0;
    int inT = 0, inPhonetic = 0;
    try {
        while (scanner.next(item, pos, true, tok) == XmlScanner::Result::Token) {
            if (tok.kind == XmlToken::Kind::StartTag && !tok.selfClosing) {
                if (tok.localName() == "rPh")
                    ++inPhonetic;
                else if (tok.localName() == "t")
                    ++inT;
            } else if (tok.kind == XmlToken::Kind::EndTag) {
                if (tok.localName() == "rPh")
                    --inPhonetic;
                else if (tok.localName() == "t")
                    --inT;
            } else if (tok.kind == XmlToken::Kind::Text && inT > 0 && inPhonetic == 0) {
                out += decodeXml(tok.raw);
            } else if (tok.kind == XmlToken::Kind::CData && inT > 0 && inPhonetic == 0) {
                out.append(tok.raw.substr(9, tok.raw.size() - 12));
            }
        }
    } catch (const XmlSyntaxError&) {
    }
    return out;
}

// Follows a sheet's cells as the scanner reads them and keeps the values of those inside
// the areas.
class CellCollector {
public:
    CellCollector(Workbook& book, const std::vector<CellArea>& areas, CachedCells& out)
        : book_(book), areas_(areas), out_(out)
    {
    }

    void onToken(const XmlToken& tok)
    {
        if (tok.kind == XmlToken::Kind::StartTag) {
            std::string_view local = tok.localName();
            if (local == "c")
                startCell(tok);
            else if (wanted_ && local == "v" && !tok.selfClosing)
                capture_ = 1;
            else if (wanted_ && local == "t" && type_ == "inlineStr" && !tok.selfClosing)
                capture_ = 2;
        } else if (tok.kind == XmlToken::Kind::Text && capture_) {
            value_ += decodeXml(tok.raw);
        } else if (tok.kind == XmlToken::Kind::EndTag) {
            std::string_view local = tok.localName();
            if (local == "v" || local == "t") {
                capture_ = 0;
            } else if (local == "c" && wanted_) {
                wanted_ = false;
                if (auto v = cachedValue())
                    out_.emplace(std::make_pair(row_, col_), std::move(*v));
            }
        }
    }

private:
    bool inAreas(long r, long c) const
    {
        for (const auto& a : areas_)
            if (a.contains(r, c))
                return true;
        return false;
    }

    void startCell(const XmlToken& tok)
    {
        const XmlAttribute* ref = tok.attribute("r");
        wanted_ = ref && parseCell(decodeXml(ref->value), row_, col_) && inAreas(row_, col_);
        const XmlAttribute* t = tok.attribute("t");
        type_ = t ? std::string(t->value) : std::string();
        value_.clear();
        capture_ = 0;
        if (tok.selfClosing)
            wanted_ = false;
    }

    // The value the cell shows, as a link caches it; nothing for an empty cell or a shared
    // string that is not there.
    std::optional<CachedValue> cachedValue()
    {
        CachedValue v;
        if (type_ == "s") {
            if (!strings_)
                strings_ = &book_.sharedStrings();
            char* end = nullptr;
            unsigned long i = std::strtoul(value_.c_str(), &end, 10);
            if (end == value_.c_str() || i >= strings_->size())
                return std::nullopt;
            v.type = "str";
            v.value = plainText(strings_->canonicalItem(i));
        } else if (type_ == "str" || type_ == "inlineStr") {
            v.type = "str";
            v.value = value_;
        } else if (type_ == "b" || type_ == "e" || type_ == "d") {
            // A date written as ISO 8601 text (as strict workbooks may) stays one: as a
            // number it would be no number at all.
            v.type = type_;
            v.value = value_;
        } else if (!value_.empty()) {
            v.value = value_;
        } else {
            return std::nullopt;
        }
        return v;
    }

    Workbook& book_;
    const std::vector<CellArea>& areas_;
    CachedCells& out_;
    SharedStrings* strings_ = nullptr;
    long row_ = 0, col_ = 0;
    bool wanted_ = false;
    std::string type_;
    std::string value_;
    int capture_ = 0;  // 1: <v>, 2: <t> of an inline string
};

} // namespace

CachedCells readCachedCells(Workbook& book, const std::string& sheetPart, const std::vector<CellArea>& areas,
                            std::size_t limit)
{
    CachedCells out;
    if (areas.empty() || !book.package().hasPart(sheetPart))
        return out;
    auto reader = book.package().openPart(sheetPart);
    CellCollector cells(book, areas, out);
    std::string buf;
    std::size_t pos = 0;
    bool final = false;
    XmlScanner scanner;
    XmlToken tok;
    try {
        while (out.size() < limit) {
            if (!final) {
                buf.erase(0, pos);
                pos = 0;
                if (buf.size() > kLongestToken)
                    break;
                std::size_t old = buf.size();
                buf.resize(old + kReadChunk);
                std::size_t n = reader->read(buf.data() + old, kReadChunk);
                buf.resize(old + n);
                final = n == 0;
            }
            bool more = false;
            for (;;) {
                auto r = scanner.next(buf, pos, final, tok);
                if (r == XmlScanner::Result::NeedMore) {
                    more = true;
                    break;
                }
                if (r == XmlScanner::Result::End)
                    break;
                cells.onToken(tok);
                if (out.size() >= limit)
                    break;
            }
            if (!more || final)
                break;
        }
    } catch (const XmlSyntaxError&) {
        // The values read so far are what can be shown; the link is still right.
    }
    return out;
}

ExternalLinkModel::ExternalLinkModel(const std::string& relId)
{
    std::string xml = fmt::format(
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
        "<externalLink xmlns=\"{}\"><externalBook xmlns:r=\"{}\" r:id=\"{}\"/></externalLink>",
        ns::kMain, ns::kOfficeRels, relId);
    loadXml(doc_, xml, "", "externalLink");
    parse();
}

ExternalLinkModel::ExternalLinkModel(std::string_view xml, const std::string& file, const std::string& part)
{
    loadXml(doc_, xml, file, part);
    auto n = NsNames::of(doc_.document_element(), ns::kMain);
    if (!n || !n->names(doc_.document_element(), "externalLink"))
        throw EngineError(ErrorCode::PartDamaged, file, part + ": it is not an external link");
    parse();
}

void ExternalLinkModel::parse()
{
    pugi::xml_node root = doc_.document_element();
    NsNames n = NsNames::of(root, ns::kMain).value_or(NsNames(""));
    prefix_ = n.prefix();
    pugi::xml_node book = root.child(n("externalBook").c_str());
    for (pugi::xml_node s : book.child(n("sheetNames").c_str()).children())
        if (n.names(s, "sheetName"))
            sheets_.emplace_back(s.attribute("val").value());
    cells_.resize(sheets_.size());
    for (pugi::xml_node d : book.child(n("definedNames").c_str()).children())
        if (n.names(d, "definedName"))
            names_.push_back(Name{d.attribute("name").value(), d.attribute("refersTo").value(),
                                  d.attribute("sheetId") ? d.attribute("sheetId").as_int(-1) : -1});
    for (pugi::xml_node sd : book.child(n("sheetDataSet").c_str()).children()) {
        if (!n.names(sd, "sheetData"))
            continue;
        long id = sd.attribute("sheetId").as_int(-1);
        if (id < 0 || static_cast<std::size_t>(id) >= cells_.size())
            continue;
        for (pugi::xml_node r : sd.children()) {
            for (pugi::xml_node c : r.children()) {
                long row, col;
                if (!n.names(c, "cell") || !parseCell(c.attribute("r").value(), row, col))
                    continue;
                CachedValue v;
                v.type = c.attribute("t").value();
                if (v.type == "n")
                    v.type.clear();
                v.value = c.child(n("v").c_str()).text().get();
                cells_[static_cast<std::size_t>(id)].emplace(std::make_pair(row, col), std::move(v));
            }
        }
    }
}

std::size_t ExternalLinkModel::ensureSheet(const std::string& name)
{
    for (std::size_t i = 0; i < sheets_.size(); ++i)
        if (sheets_[i] == name)
            return i;
    sheets_.push_back(name);
    cells_.emplace_back();
    return sheets_.size() - 1;
}

void ExternalLinkModel::addCells(std::size_t sheet, const CachedCells& cells)
{
    if (sheet >= cells_.size())
        return;
    for (const auto& [k, v] : cells)
        cells_[sheet].emplace(k, v);
}

void ExternalLinkModel::ensureName(const std::string& name, const std::string& refersTo, long sheet)
{
    for (const Name& n : names_)
        if (n.name == name && n.sheet == sheet)
            return;
    names_.push_back(Name{name, refersTo, sheet});
}

void ExternalLinkModel::mergeFrom(const ExternalLinkModel& other)
{
    std::vector<std::size_t> map;
    for (std::size_t i = 0; i < other.sheets_.size(); ++i) {
        map.push_back(ensureSheet(other.sheets_[i]));
        addCells(map.back(), other.cells_[i]);
    }
    for (const Name& n : other.names_) {
        long sheet = n.sheet >= 0 && static_cast<std::size_t>(n.sheet) < map.size()
                         ? static_cast<long>(map[static_cast<std::size_t>(n.sheet)])
                         : -1;
        ensureName(n.name, n.refersTo, sheet);
    }
}

std::string ExternalLinkModel::serialize() const
{
    // The book element is rebuilt from the model; its relationship and anything it holds
    // besides sheets, names and values (refresh settings) stay.
    pugi::xml_document doc;
    doc.reset(doc_);
    pugi::xml_node root = doc.document_element();
    NsNames n(prefix_);
    pugi::xml_node book = root.child(n("externalBook").c_str());
    for (const char* local : {"sheetNames", "definedNames", "sheetDataSet"})
        while (pugi::xml_node c = book.child(n(local).c_str()))
            book.remove_child(c);
    pugi::xml_node first = book.first_child();
    auto add = [&](const char* local) {
        return first ? book.insert_child_before(n(local).c_str(), first) : book.append_child(n(local).c_str());
    };
    if (!sheets_.empty()) {
        pugi::xml_node list = add("sheetNames");
        for (const auto& s : sheets_)
            list.append_child(n("sheetName").c_str()).append_attribute("val").set_value(s.c_str());
    }
    if (!names_.empty()) {
        pugi::xml_node list = add("definedNames");
        for (const auto& x : names_) {
            pugi::xml_node d = list.append_child(n("definedName").c_str());
            d.append_attribute("name").set_value(x.name.c_str());
            if (!x.refersTo.empty())
                d.append_attribute("refersTo").set_value(x.refersTo.c_str());
            if (x.sheet >= 0)
                d.append_attribute("sheetId").set_value(x.sheet);
        }
    }
    if (!sheets_.empty()) {
        pugi::xml_node set = add("sheetDataSet");
        for (std::size_t i = 0; i < cells_.size(); ++i) {
            pugi::xml_node sd = set.append_child(n("sheetData").c_str());
            sd.append_attribute("sheetId").set_value(static_cast<unsigned long long>(i));
            pugi::xml_node row;
            long current = -1;
            for (const auto& [k, v] : cells_[i]) {
                if (k.first != current) {
                    row = sd.append_child(n("row").c_str());
                    row.append_attribute("r").set_value(k.first);
                    current = k.first;
                }
                pugi::xml_node c = row.append_child(n("cell").c_str());
                c.append_attribute("r").set_value((columnLetters(k.second) + std::to_string(k.first)).c_str());
                if (!v.type.empty())
                    c.append_attribute("t").set_value(v.type.c_str());
                c.append_child(n("v").c_str()).append_child(pugi::node_pcdata).set_value(v.value.c_str());
            }
        }
    }
    return saveXml(doc);
}

} // namespace tessaro::xlsx
