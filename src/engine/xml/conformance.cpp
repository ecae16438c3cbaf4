// SPDX-License-Identifier: MIT
#include "engine/xml/conformance.h"

#include <array>
#include <utility>

namespace tessaro::xlsx {
namespace {

constexpr std::string_view kTransitionalBase = "http://schemas.openxmlformats.org/";
constexpr std::string_view kStrictBase = "http://purl.oclc.org/ooxml/";
// The markup languages whose names differ between the classes; the package's own
// namespaces (content types, relationships, core properties) and markup compatibility are
// shared, so they are not listed.
constexpr std::array<std::string_view, 6> kFamilies = {"spreadsheetml", "drawingml", "officeDocument",
                                                       "schemaLibrary", "wordprocessingml", "presentationml"};
// Under officeDocument the strict class also dropped the hyphens of a few names.
constexpr std::array<std::pair<std::string_view, std::string_view>, 4> kRenamed = {{
    {"extended-properties", "extendedProperties"},
    {"custom-properties", "customProperties"},
    {"relationships/extended-properties", "relationships/extendedProperties"},
    {"relationships/custom-properties", "relationships/customProperties"},
}};

struct Split {
    Conformance cls;
    std::string_view family;
    std::string_view rest;  // after "family/2006/" or "family/"
};

std::optional<Split> split(std::string_view uri)
{
    Conformance cls;
    if (uri.starts_with(kTransitionalBase)) {
        cls = Conformance::Transitional;
        uri.remove_prefix(kTransitionalBase.size());
    } else if (uri.starts_with(kStrictBase)) {
        cls = Conformance::Strict;
        uri.remove_prefix(kStrictBase.size());
    } else {
        return std::nullopt;
    }
    for (std::string_view family : kFamilies) {
        if (!uri.starts_with(family) || uri.size() <= family.size() || uri[family.size()] != '/')
            continue;
        std::string_view rest = uri.substr(family.size() + 1);
        if (cls == Conformance::Transitional) {
            if (!rest.starts_with("2006/"))
                return std::nullopt;
            rest.remove_prefix(5);
        } else if (rest.starts_with("2006/")) {
            return std::nullopt;
        }
        if (rest.empty())
            return std::nullopt;
        return Split{cls, family, rest};
    }
    return std::nullopt;
}

std::string_view renamed(std::string_view rest, Conformance to)
{
    for (const auto& [transitional, strict] : kRenamed) {
        if (to == Conformance::Strict && rest == transitional)
            return strict;
        if (to == Conformance::Transitional && rest == strict)
            return transitional;
    }
    return rest;
}

bool startsValueOfInterest(std::string_view v)
{
    return v.size() > 7 && v.substr(0, 7) == "http://";
}

// The attributes that name a namespace or a kind of relationship or graphic; any other
// value (a hyperlink's target, say) is data, even when it looks like one of those names.
bool namesMarkup(std::string_view attribute)
{
    return attribute == "xmlns" || attribute.starts_with("xmlns:") || attribute == "Type" || attribute == "uri";
}

// The name of the attribute whose value opens with the quote at `quote`.
std::string_view attributeBefore(std::string_view xml, std::size_t quote)
{
    std::size_t i = quote;
    auto space = [](char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; };
    while (i > 0 && space(xml[i - 1]))
        --i;
    if (i == 0 || xml[i - 1] != '=')
        return {};
    --i;
    while (i > 0 && space(xml[i - 1]))
        --i;
    std::size_t end = i;
    while (i > 0 && !space(xml[i - 1]) && xml[i - 1] != '<' && xml[i - 1] != '"' && xml[i - 1] != '\'')
        --i;
    return xml.substr(i, end - i);
}

} // namespace

std::optional<Conformance> classOfUri(std::string_view uri)
{
    auto s = split(uri);
    if (!s)
        return std::nullopt;
    return s->cls;
}

std::string uriIn(Conformance to, std::string_view uri)
{
    auto s = split(uri);
    if (!s || s->cls == to)
        return std::string(uri);
    std::string rest(s->family == "officeDocument" ? renamed(s->rest, to) : s->rest);
    std::string out(to == Conformance::Strict ? kStrictBase : kTransitionalBase);
    out.append(s->family);
    out.append(to == Conformance::Strict ? "/" : "/2006/");
    out.append(rest);
    return out;
}

std::optional<std::string> translateXml(std::string_view xml, Conformance to)
{
    const std::string_view other = to == Conformance::Strict ? kTransitionalBase : kStrictBase;
    if (xml.find(other) == std::string_view::npos)
        return std::nullopt;
    std::string out;
    std::size_t copied = 0;  // xml[0, copied) is already in out
    const std::size_t n = xml.size();
    std::size_t i = 0;
    auto skipPast = [&](std::string_view end) {
        std::size_t e = xml.find(end, i);
        i = e == std::string_view::npos ? n : e + end.size();
    };
    while (i < n) {
        std::size_t lt = xml.find('<', i);
        if (lt == std::string_view::npos)
            break;
        i = lt;
        std::string_view head = xml.substr(i, 9);
        if (head.starts_with("<!--")) {
            skipPast("-->");
            continue;
        }
        if (head.starts_with("<![CDATA[")) {
            skipPast("]]>");
            continue;
        }
        if (head.starts_with("<?")) {
            skipPast("?>");
            continue;
        }
        if (head.starts_with("<!")) {
            skipPast(">");
            continue;
        }
        // A tag: attribute values are quoted and may hold '>', so walk them one by one.
        ++i;
        while (i < n && xml[i] != '>') {
            char q = xml[i];
            if (q != '"' && q != '\'') {
                ++i;
                continue;
            }
            std::size_t close = xml.find(q, i + 1);
            if (close == std::string_view::npos) {
                i = n;
                break;
            }
            std::string_view value = xml.substr(i + 1, close - i - 1);
            if (startsValueOfInterest(value) && namesMarkup(attributeBefore(xml, i))) {
                if (auto s = split(value); s && s->cls != to) {
                    out.append(xml.substr(copied, i + 1 - copied));
                    out.append(uriIn(to, value));
                    copied = close;
                }
            }
            i = close + 1;
        }
        if (i < n)
            ++i;
    }
    if (copied == 0)
        return std::nullopt;
    out.append(xml.substr(copied));
    return out;
}

} // namespace tessaro::xlsx
