// SPDX-License-Identifier: MIT
#include "engine/opc/content_types.h"

#include "platform/engine_error.h"
#include "engine/xml/xml_dom.h"
#include "engine/zip/zip_reader.h"

namespace tessaro::xlsx {
namespace {
const std::string kPart = "[Content_Types].xml";

std::string normalisedPartName(std::string_view name)
{
    std::string folded = foldAscii(name);
    if (folded.empty() || folded.front() != '/')
        folded.insert(folded.begin(), '/');
    return folded;
}
} // namespace

void ContentTypes::load(std::string_view xml, const std::string& file)
{
    loadXml(doc_, xml, file, kPart);
    pugi::xml_node root = doc_.document_element();
    auto names = NsNames::of(root, ns::kContentTypes);
    if (!names || !names->names(root, "Types"))
        throw EngineError(ErrorCode::PartDamaged, file, kPart + ": it is not a list of content types");
    prefix_ = names->prefix();
    for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
        if (names->names(c, "Override")) {
            std::string pn = normalisedPartName(c.attribute("PartName").value());
            // The first declaration wins; a duplicate is left in place for the reader to judge.
            overrides_.emplace(pn, c);
        } else if (names->names(c, "Default")) {
            defaults_.emplace(foldAscii(c.attribute("Extension").value()), c.attribute("ContentType").value());
        }
    }
    modified_ = false;
}

std::optional<std::string> ContentTypes::typeOf(std::string_view partName) const
{
    std::string pn = normalisedPartName(partName);
    if (auto it = overrides_.find(pn); it != overrides_.end())
        return std::string(it->second.attribute("ContentType").value());
    std::size_t slash = pn.rfind('/');
    std::size_t dot = pn.rfind('.');
    if (dot != std::string::npos && (slash == std::string::npos || dot > slash)) {
        if (auto it = defaults_.find(pn.substr(dot + 1)); it != defaults_.end())
            return it->second;
    }
    return std::nullopt;
}

void ContentTypes::setOverride(std::string_view partName, std::string_view type)
{
    std::string pn = normalisedPartName(partName);
    std::string written(partName);
    if (written.empty() || written.front() != '/')
        written.insert(written.begin(), '/');
    if (auto it = overrides_.find(pn); it != overrides_.end()) {
        it->second.attribute("ContentType").set_value(std::string(type).c_str());
    } else {
        pugi::xml_node o = doc_.document_element().append_child((prefix_ + "Override").c_str());
        o.append_attribute("PartName").set_value(written.c_str());
        o.append_attribute("ContentType").set_value(std::string(type).c_str());
        overrides_.emplace(pn, o);
    }
    modified_ = true;
}

void ContentTypes::ensureType(std::string_view partName, std::string_view type)
{
    if (auto now = typeOf(partName); now && *now == type)
        return;
    std::string pn = normalisedPartName(partName);
    std::size_t slash = pn.rfind('/');
    std::size_t dot = pn.rfind('.');
    bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash) && dot + 1 < pn.size();
    if (hasExtension && overrides_.count(pn) == 0) {
        std::string ext = pn.substr(dot + 1);
        if (defaults_.count(ext) == 0) {
            // Keep the extension as the part name writes it: readers compare it without case.
            std::string written(partName.substr(partName.size() - ext.size()));
            pugi::xml_node root = doc_.document_element();
            pugi::xml_node before;
            for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling())
                if (c.type() == pugi::node_element && c.name() == prefix_ + "Override") {
                    before = c;
                    break;
                }
            pugi::xml_node d = before ? root.insert_child_before((prefix_ + "Default").c_str(), before)
                                      : root.append_child((prefix_ + "Default").c_str());
            d.append_attribute("Extension").set_value(written.c_str());
            d.append_attribute("ContentType").set_value(std::string(type).c_str());
            defaults_.emplace(ext, std::string(type));
            modified_ = true;
            return;
        }
    }
    setOverride(partName, type);
}

void ContentTypes::removeOverride(std::string_view partName)
{
    std::string pn = normalisedPartName(partName);
    auto it = overrides_.find(pn);
    if (it == overrides_.end())
        return;
    // Every Override for the part goes, duplicates included.
    pugi::xml_node root = doc_.document_element();
    for (pugi::xml_node c = root.first_child(); c;) {
        pugi::xml_node next = c.next_sibling();
        if (c.type() == pugi::node_element && c.name() == prefix_ + "Override" &&
            normalisedPartName(c.attribute("PartName").value()) == pn)
            root.remove_child(c);
        c = next;
    }
    overrides_.erase(it);
    modified_ = true;
}

std::string ContentTypes::serialize() const
{
    return saveXml(doc_);
}

} // namespace tessaro::xlsx
