// SPDX-License-Identifier: MIT
#include "engine/opc/relationships.h"

#include "platform/engine_error.h"
#include "engine/xml/xml_dom.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <vector>

#include <fmt/format.h>

namespace tessaro::xlsx {

std::string normalisePartName(std::string_view path)
{
    std::vector<std::string_view> segs;
    std::size_t i = 0;
    while (i <= path.size()) {
        std::size_t j = path.find('/', i);
        if (j == std::string_view::npos)
            j = path.size();
        std::string_view s = path.substr(i, j - i);
        if (s == "..") {
            if (!segs.empty())
                segs.pop_back();
        } else if (!s.empty() && s != ".") {
            segs.push_back(s);
        }
        i = j + 1;
    }
    std::string out;
    for (auto s : segs) {
        out.push_back('/');
        out.append(s);
    }
    return out.empty() ? "/" : out;
}

Relationships::Relationships(std::string sourcePart) : source_(std::move(sourcePart))
{
    doc_.load_string("<Relationships xmlns=\"http://schemas.openxmlformats.org/package/2006/relationships\"/>");
    pugi::xml_node decl = doc_.prepend_child(pugi::node_declaration);
    decl.append_attribute("version").set_value("1.0");
    decl.append_attribute("encoding").set_value("UTF-8");
    decl.append_attribute("standalone").set_value("yes");
}

std::string Relationships::partName() const
{
    if (source_ == "/")
        return "/_rels/.rels";
    std::size_t slash = source_.rfind('/');
    return source_.substr(0, slash + 1) + "_rels/" + source_.substr(slash + 1) + ".rels";
}

void Relationships::load(std::string_view xml, const std::string& file)
{
    std::string part = partName().substr(1);
    loadXml(doc_, xml, file, part);
    pugi::xml_node root = doc_.document_element();
    auto names = NsNames::of(root, ns::kPackageRels);
    if (!names || !names->names(root, "Relationships"))
        throw EngineError(ErrorCode::PartDamaged, file, part + ": it is not a list of relationships");
    prefix_ = names->prefix();
    rels_.clear();
    for (pugi::xml_node c = root.first_child(); c; c = c.next_sibling()) {
        if (!names->names(c, "Relationship"))
            continue;
        Relationship r;
        r.id = c.attribute("Id").value();
        r.type = c.attribute("Type").value();
        r.target = c.attribute("Target").value();
        r.external = std::string_view(c.attribute("TargetMode").value()) == "External";
        rels_.push_back(std::move(r));
    }
    modified_ = false;
}

const Relationship* Relationships::byId(std::string_view id) const
{
    for (const auto& r : rels_)
        if (r.id == id)
            return &r;
    return nullptr;
}

const Relationship* Relationships::firstOfType(std::string_view type) const
{
    for (const auto& r : rels_)
        if (r.type == type && !r.external)
            return &r;
    return nullptr;
}

std::string Relationships::resolve(const Relationship& r) const
{
    std::string target = r.target;
    // Targets are URIs: undo percent-escapes so "my%20sheet.xml" names the entry "my sheet.xml".
    std::string decoded;
    for (std::size_t i = 0; i < target.size(); ++i) {
        if (target[i] == '%' && i + 2 < target.size() && std::isxdigit(static_cast<unsigned char>(target[i + 1])) &&
            std::isxdigit(static_cast<unsigned char>(target[i + 2]))) {
            decoded.push_back(static_cast<char>(std::strtol(target.substr(i + 1, 2).c_str(), nullptr, 16)));
            i += 2;
        } else {
            decoded.push_back(target[i]);
        }
    }
    if (!decoded.empty() && decoded.front() == '/')
        return normalisePartName(decoded);
    std::string base = source_ == "/" ? "/" : source_.substr(0, source_.rfind('/') + 1);
    return normalisePartName(base + decoded);
}

std::string Relationships::relativeTarget(std::string_view partName) const
{
    std::string base = source_ == "/" ? "/" : source_.substr(0, source_.rfind('/') + 1);
    if (partName.substr(0, base.size()) == base)
        return std::string(partName.substr(base.size()));
    if (source_ == "/" || partName.empty() || partName.front() != '/')
        return std::string(partName);
    // Climb from the source's folder to the folder both share, then down to the part.
    std::size_t common = 0;
    for (std::size_t i = 0; i < base.size() && i < partName.size() && base[i] == partName[i]; ++i)
        if (base[i] == '/')
            common = i + 1;
    std::string out;
    for (std::size_t i = common; i < base.size(); ++i)
        if (base[i] == '/')
            out += "../";
    out.append(partName.substr(common));
    return out;
}

std::string Relationships::add(std::string_view type, std::string_view target)
{
    long next = 1;
    for (const auto& r : rels_) {
        if (r.id.size() > 3 && r.id.compare(0, 3, "rId") == 0) {
            char* end = nullptr;
            long v = std::strtol(r.id.c_str() + 3, &end, 10);
            if (end && *end == '\0' && v >= next)
                next = v + 1;
        }
    }
    std::string id = fmt::format("rId{}", next);
    while (byId(id) || std::find(reserved_.begin(), reserved_.end(), id) != reserved_.end())
        id = fmt::format("rId{}", ++next);
    pugi::xml_node n = doc_.document_element().append_child((prefix_ + "Relationship").c_str());
    n.append_attribute("Id").set_value(id.c_str());
    n.append_attribute("Type").set_value(std::string(type).c_str());
    n.append_attribute("Target").set_value(std::string(target).c_str());
    rels_.push_back(Relationship{id, std::string(type), std::string(target), false});
    modified_ = true;
    return id;
}

bool Relationships::addExternal(std::string_view id, std::string_view type, std::string_view target)
{
    if (byId(id))
        return false;
    pugi::xml_node n = doc_.document_element().append_child((prefix_ + "Relationship").c_str());
    n.append_attribute("Id").set_value(std::string(id).c_str());
    n.append_attribute("Type").set_value(std::string(type).c_str());
    n.append_attribute("Target").set_value(std::string(target).c_str());
    n.append_attribute("TargetMode").set_value("External");
    rels_.push_back(Relationship{std::string(id), std::string(type), std::string(target), true});
    modified_ = true;
    return true;
}

bool Relationships::addWithId(std::string_view id, std::string_view type, std::string_view target, bool external)
{
    if (byId(id))
        return false;
    pugi::xml_node n = doc_.document_element().append_child((prefix_ + "Relationship").c_str());
    n.append_attribute("Id").set_value(std::string(id).c_str());
    n.append_attribute("Type").set_value(std::string(type).c_str());
    n.append_attribute("Target").set_value(std::string(target).c_str());
    if (external)
        n.append_attribute("TargetMode").set_value("External");
    rels_.push_back(Relationship{std::string(id), std::string(type), std::string(target), external});
    modified_ = true;
    return true;
}

void Relationships::remove(std::string_view id)
{
    pugi::xml_node root = doc_.document_element();
    for (pugi::xml_node c = root.first_child(); c;) {
        pugi::xml_node next = c.next_sibling();
        if (c.type() == pugi::node_element && std::string_view(c.attribute("Id").value()) == id) {
            root.remove_child(c);
            modified_ = true;
        }
        c = next;
    }
    std::erase_if(rels_, [&](const Relationship& r) { return r.id == id; });
}

std::string Relationships::serialize() const
{
    return saveXml(doc_);
}

} // namespace tessaro::xlsx
