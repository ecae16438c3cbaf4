// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/rewrite_edits.h"

#include "engine/sml/theme.h"
#include "engine/xml/xml_dom.h"

#include <cmath>

namespace tessaro::xlsx::rewrite {

bool isColorElement(std::string_view local)
{
    if (local == "color" || local == "tabColor")
        return true;
    if (local.size() > 5 && local.substr(local.size() - 5) == "Color")
        return true;
    return local.size() > 5 && local.substr(0, 5) == "color";
}

bool translateColor(std::vector<XmlAttribute>& attrs, const ColorTranslator& colors, std::string& text)
{
    std::optional<std::string_view> theme, tint, indexed;
    for (const auto& a : attrs) {
        if (a.name == "theme")
            theme = a.value;
        else if (a.name == "tint")
            tint = a.value;
        else if (a.name == "indexed")
            indexed = a.value;
    }
    if (!theme && !indexed)
        return false;
    auto argb = colors.translate(theme, tint, indexed);
    if (!argb)
        return false;
    text = *argb;
    removeAttribute(attrs, "theme");
    removeAttribute(attrs, "tint");
    removeAttribute(attrs, "indexed");
    setAttribute(attrs, "rgb", text);
    return true;
}

bool appendShiftedDate(std::string& out, std::string_view raw, long shift)
{
    std::string text = decodeXml(raw);
    std::string_view v = trimmed(text);
    double d = 0;
    auto r = std::from_chars(v.data(), v.data() + v.size(), d);
    double shifted = d + static_cast<double>(shift);
    if (r.ec != std::errc() || r.ptr != v.data() + v.size() || !std::isfinite(d)) {
        out.append(raw);
        return true;
    }
    if (shifted < 0) {
        out.append(raw);
        return false;
    }
    char buf[40];
    auto w = std::to_chars(buf, buf + sizeof buf, shifted);
    out.append(buf, static_cast<std::size_t>(w.ptr - buf));
    return true;
}

std::optional<std::string_view> NamespaceScopes::resolve(std::string_view prefix) const
{
    for (auto it = bindings_.rbegin(); it != bindings_.rend(); ++it)
        if (it->prefix == prefix)
            return std::string_view(it->uri);
    return std::nullopt;
}

void NamespaceScopes::push(const XmlToken& t, std::size_t level)
{
    for (const auto& a : t.attributes) {
        if (a.name == "xmlns")
            bindings_.push_back(Binding{level, std::string(), decodeXml(a.value)});
        else if (a.name.size() > 6 && a.name.substr(0, 6) == "xmlns:")
            bindings_.push_back(Binding{level, std::string(a.name.substr(6)), decodeXml(a.value)});
    }
}

void NamespaceScopes::pop(std::size_t level)
{
    while (!bindings_.empty() && bindings_.back().level >= level)
        bindings_.pop_back();
}

bool NamespaceScopes::inNamespace(const XmlToken& t, std::string_view uri) const
{
    auto u = resolve(t.prefix());
    return u && *u == uri;
}

bool NamespaceScopes::isRelationshipAttribute(std::string_view name) const
{
    std::size_t colon = name.find(':');
    if (colon == std::string_view::npos)
        return false;
    std::string_view p = name.substr(0, colon);
    if (p == "xmlns" || p == "xml")
        return false;
    auto uri = resolve(p);
    return uri && (*uri == ns::kOfficeRels || *uri == ns::kStrictOfficeRels);
}

} // namespace tessaro::xlsx::rewrite
