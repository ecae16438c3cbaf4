// SPDX-License-Identifier: MIT
#pragma once

#include <pugixml.hpp>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

namespace ns {
inline constexpr std::string_view kMain = "http://schemas.openxmlformats.org/spreadsheetml/2006/main";
inline constexpr std::string_view kStrictMain = "http://purl.oclc.org/ooxml/spreadsheetml/main";
inline constexpr std::string_view kOfficeRels = "http://schemas.openxmlformats.org/officeDocument/2006/relationships";
inline constexpr std::string_view kStrictOfficeRels = "http://purl.oclc.org/ooxml/officeDocument/relationships";
inline constexpr std::string_view kPackageRels = "http://schemas.openxmlformats.org/package/2006/relationships";
inline constexpr std::string_view kContentTypes = "http://schemas.openxmlformats.org/package/2006/content-types";
inline constexpr std::string_view kExtendedProperties =
    "http://schemas.openxmlformats.org/officeDocument/2006/extended-properties";
inline constexpr std::string_view kDocPropsVTypes = "http://schemas.openxmlformats.org/officeDocument/2006/docPropsVTypes";
inline constexpr std::string_view kDrawingMain = "http://schemas.openxmlformats.org/drawingml/2006/main";
inline constexpr std::string_view kMarkupCompatibility = "http://schemas.openxmlformats.org/markup-compatibility/2006";
} // namespace ns

// Parses a part into `doc`, keeping everything a save must write back (declaration,
// comments, processing instructions, whitespace). Refuses a document type declaration.
// Throws EngineError naming `file` and `part`.
void loadXml(pugi::xml_document& doc, std::string_view content, const std::string& file, const std::string& part);

// The document as UTF-8 text, with its own declaration (declared as UTF-8).
std::string saveXml(const pugi::xml_document& doc);

// How elements of one namespace are named inside a document: "" when it is the default
// namespace at the root, "x:" when bound to prefix x. Elements are then found by qualified
// name, which is how producers that write prefixed names (x:worksheet) are read.
class NsNames {
public:
    NsNames() = default;
    explicit NsNames(std::string prefixWithColon) : prefix_(std::move(prefixWithColon)) {}
    // The names of `uri` as bound on `element` or its ancestors; nothing when unbound.
    static std::optional<NsNames> of(pugi::xml_node element, std::string_view uri);

    std::string operator()(std::string_view local) const { return prefix_ + std::string(local); }
    const std::string& prefix() const { return prefix_; }
    bool names(pugi::xml_node node, std::string_view local) const;

private:
    std::string prefix_;
};

// The namespace URI bound to `prefix` ("" for the default) at `element`.
std::optional<std::string> namespaceOf(pugi::xml_node element, std::string_view prefix);

std::string_view localNameOf(const char* qualified);

// An attribute's or element's text as a whole decimal number (as strtol reads it); `fallback`
// when it is missing, empty or holds anything more.
long toLong(const char* text, long fallback = 0);

// The branch of an mc:AlternateContent element an application takes: its first mc:Choice
// whose Requires names only namespaces this engine understands, else its mc:Fallback; null
// when there is neither.
pugi::xml_node chosenAlternative(pugi::xml_node alternateContent);
// Whether `element` is an mc:AlternateContent element.
bool isAlternateContent(pugi::xml_node element);

// Inserts `qname` into `parent` at its place in a schema sequence: after the last existing
// child whose local name comes earlier in `order`, before everything else.
pugi::xml_node insertInOrder(pugi::xml_node parent, const NsNames& names, std::string_view local,
                             std::span<const std::string_view> order);

} // namespace tessaro::xlsx
