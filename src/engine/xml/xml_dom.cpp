// SPDX-License-Identifier: MIT
#include "engine/xml/xml_dom.h"

#include "platform/engine_error.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <fmt/format.h>

namespace tessaro::xlsx {
namespace {

constexpr unsigned kParseFlags = pugi::parse_cdata | pugi::parse_escapes | pugi::parse_comments |
                                 pugi::parse_pi | pugi::parse_declaration | pugi::parse_doctype |
                                 pugi::parse_ws_pcdata;

struct StringWriter final : pugi::xml_writer {
    std::string out;
    void write(const void* data, std::size_t size) override { out.append(static_cast<const char*>(data), size); }
};

} // namespace

void loadXml(pugi::xml_document& doc, std::string_view content, const std::string& file, const std::string& part)
{
    pugi::xml_parse_result r = doc.load_buffer(content.data(), content.size(), kParseFlags, pugi::encoding_auto);
    if (!r)
        throw EngineError(ErrorCode::PartDamaged, file,
                          fmt::format("{}: {} at byte {}", part, r.description(), r.offset));
    for (pugi::xml_node n = doc.first_child(); n; n = n.next_sibling())
        if (n.type() == pugi::node_doctype)
            throw EngineError(ErrorCode::XmlDoctype, file, part);
    if (!doc.document_element())
        throw EngineError(ErrorCode::PartDamaged, file, fmt::format("{}: it has no root element", part));
}

std::string saveXml(const pugi::xml_document& doc)
{
    pugi::xml_node decl = doc.first_child();
    if (decl.type() == pugi::node_declaration) {
        pugi::xml_attribute enc = decl.attribute("encoding");
        if (enc && std::strcmp(enc.value(), "UTF-8") != 0)
            enc.set_value("UTF-8");
    }
    StringWriter w;
    doc.save(w, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return std::move(w.out);
}

std::optional<std::string> namespaceOf(pugi::xml_node element, std::string_view prefix)
{
    std::string attr = prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(prefix);
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        if (pugi::xml_attribute a = n.attribute(attr.c_str()))
            return std::string(a.value());
    }
    return std::nullopt;
}

std::optional<NsNames> NsNames::of(pugi::xml_node element, std::string_view uri)
{
    // The element's own prefix first: that is how the document names its main namespace.
    std::string_view qn = element.name();
    std::size_t colon = qn.find(':');
    std::string_view own = colon == std::string_view::npos ? std::string_view{} : qn.substr(0, colon);
    if (auto u = namespaceOf(element, own); u && *u == uri)
        return NsNames(own.empty() ? std::string() : std::string(own) + ":");
    for (pugi::xml_node n = element; n && n.type() == pugi::node_element; n = n.parent()) {
        for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) {
            std::string_view an = a.name();
            if (a.value() != uri)
                continue;
            if (an == "xmlns")
                return NsNames(std::string());
            if (an.substr(0, 6) == "xmlns:")
                return NsNames(std::string(an.substr(6)) + ":");
        }
    }
    return std::nullopt;
}

bool NsNames::names(pugi::xml_node node, std::string_view local) const
{
    std::string_view qn = node.name();
    return qn.size() == prefix_.size() + local.size() && qn.substr(0, prefix_.size()) == prefix_ &&
           qn.substr(prefix_.size()) == local;
}

std::string_view localNameOf(const char* qualified)
{
    std::string_view qn = qualified;
    std::size_t colon = qn.find(':');
    return colon == std::string_view::npos ? qn : qn.substr(colon + 1);
}

namespace {

// The namespaces a current spreadsheet application reads besides the standard's own: the
// extensions its files carry in markup-compatibility choices.
constexpr std::string_view kUnderstoodExtensions[] = {
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/main",
    "http://schemas.microsoft.com/office/spreadsheetml/2009/9/ac",
    "http://schemas.microsoft.com/office/spreadsheetml/2010/11/main",
    "http://schemas.microsoft.com/office/spreadsheetml/2010/11/ac",
    "http://schemas.microsoft.com/office/spreadsheetml/2014/revision",
    "http://schemas.microsoft.com/office/spreadsheetml/2015/revision2",
    "http://schemas.microsoft.com/office/spreadsheetml/2016/revision3",
    "http://schemas.microsoft.com/office/spreadsheetml/2015/02/main",
    "http://schemas.microsoft.com/office/drawing/2010/main",
    "http://schemas.microsoft.com/office/drawing/2012/main",
    "http://schemas.microsoft.com/office/drawing/2014/main",
    "http://schemas.microsoft.com/office/drawing/2007/8/2/chart",
    "http://schemas.microsoft.com/office/drawing/2012/chart",
    "http://schemas.microsoft.com/office/drawing/2014/chart",
};

bool understood(std::string_view uri)
{
    if (uri.starts_with("http://schemas.openxmlformats.org/"))
        return true;
    return std::find(std::begin(kUnderstoodExtensions), std::end(kUnderstoodExtensions), uri) !=
           std::end(kUnderstoodExtensions);
}

bool inMarkupCompatibility(pugi::xml_node element, std::string_view local)
{
    std::string_view qn = element.name();
    std::size_t colon = qn.find(':');
    std::string_view prefix = colon == std::string_view::npos ? std::string_view{} : qn.substr(0, colon);
    if (qn.substr(colon == std::string_view::npos ? 0 : colon + 1) != local)
        return false;
    auto uri = namespaceOf(element, prefix);
    return uri && *uri == ns::kMarkupCompatibility;
}

} // namespace

bool isAlternateContent(pugi::xml_node element)
{
    return element.type() == pugi::node_element && inMarkupCompatibility(element, "AlternateContent");
}

pugi::xml_node chosenAlternative(pugi::xml_node alternateContent)
{
    for (pugi::xml_node c = alternateContent.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        if (inMarkupCompatibility(c, "Fallback"))
            return c;
        if (!inMarkupCompatibility(c, "Choice"))
            continue;
        std::string_view needs = c.attribute("Requires").value();
        bool all = needs.find_first_not_of(" \t\r\n") != std::string_view::npos;
        for (std::size_t i = 0; all && i < needs.size();) {
            std::size_t end = needs.find_first_of(" \t\r\n", i);
            if (end == std::string_view::npos)
                end = needs.size();
            if (end > i) {
                auto uri = namespaceOf(c, needs.substr(i, end - i));
                all = uri && understood(*uri);
            }
            i = end + 1;
        }
        if (all)
            return c;
    }
    return {};
}

long toLong(const char* text, long fallback)
{
    if (!text || !*text)
        return fallback;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    return end && *end == '\0' ? v : fallback;
}

pugi::xml_node insertInOrder(pugi::xml_node parent, const NsNames& names, std::string_view local,
                             std::span<const std::string_view> order)
{
    std::vector<std::string_view> seq(order.begin(), order.end());
    auto rank = [&](std::string_view l) -> std::ptrdiff_t {
        auto it = std::find(seq.begin(), seq.end(), l);
        return it == seq.end() ? -1 : it - seq.begin();
    };
    std::ptrdiff_t mine = rank(local);
    pugi::xml_node after;
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        std::string_view qn = c.name();
        if (qn.substr(0, names.prefix().size()) != names.prefix())
            continue;
        std::ptrdiff_t r = rank(qn.substr(names.prefix().size()));
        if (r >= 0 && r < mine)
            after = c;
    }
    std::string qname = names(local);
    if (after)
        return parent.insert_child_after(qname.c_str(), after);
    // Nothing earlier: before the first child that comes later in the sequence (or any
    // foreign element such as mc:AlternateContent that precedes them), else at the end.
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element)
            continue;
        std::string_view qn = c.name();
        if (qn.substr(0, names.prefix().size()) == names.prefix() && rank(qn.substr(names.prefix().size())) > mine)
            return parent.insert_child_before(qname.c_str(), c);
    }
    return parent.append_child(qname.c_str());
}

} // namespace tessaro::xlsx
