// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/cell_metadata.h"

#include "engine/sml/styles.h"
#include "engine/xml/xml_dom.h"

#include <string_view>
#include <vector>

namespace tessaro::xlsx {
namespace {

constexpr std::string_view kDynamicArray = "XLDAPR";

bool named(pugi::xml_node n, std::string_view name) { return std::string_view(n.attribute("name").value()) == name; }

std::vector<pugi::xml_node> children(const NsNames& ns, pugi::xml_node parent, std::string_view local)
{
    std::vector<pugi::xml_node> out;
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling())
        if (ns.names(c, local))
            out.push_back(c);
    return out;
}

// The destination side of a merge: its root, how it names elements, and the small edits
// every list of it needs.
class MetadataPart {
public:
    explicit MetadataPart(pugi::xml_node root)
        : root_(root), ns_(NsNames::of(root, ns::kMain).value_or(NsNames("")))
    {
    }

    const NsNames& ns() const { return ns_; }

    std::vector<pugi::xml_node> children(pugi::xml_node parent, std::string_view local) const
    {
        return tessaro::xlsx::children(ns_, parent, local);
    }

    // The list element `local`, made at its place in the schema order when missing.
    pugi::xml_node container(std::string_view local)
    {
        static constexpr std::string_view kOrder[] = {"metadataTypes", "metadataStrings", "mdxMetadata",
                                                      "futureMetadata", "cellMetadata", "valueMetadata", "extLst"};
        pugi::xml_node c = root_.child(ns_(local).c_str());
        return c ? c : insertInOrder(root_, ns_, local, kOrder);
    }

    void recount(pugi::xml_node list, std::string_view local) const
    {
        pugi::xml_attribute a = list.attribute("count");
        if (!a)
            a = list.append_attribute("count");
        a.set_value(static_cast<unsigned long long>(children(list, local).size()));
    }

    // The 1-based index of the dynamic-array type, added when missing.
    long typeIndex(const DynamicArrayRecord& record)
    {
        pugi::xml_node types = container("metadataTypes");
        auto list = children(types, "metadataType");
        long found = 0;
        for (std::size_t i = 0; i < list.size(); ++i)
            if (named(list[i], kDynamicArray))
                found = static_cast<long>(i + 1);
        if (found > 0)
            return found;
        copyElement(types, record.type, record.prefix, ns_.prefix());
        recount(types, "metadataType");
        return static_cast<long>(list.size() + 1);
    }

    // The 0-based index of the record's future block, added when no block says the same.
    long futureIndex(const DynamicArrayRecord& record)
    {
        pugi::xml_node future = futureList();
        std::string want = canonicalText(record.future, record.prefix);
        auto blocks = children(future, "bk");
        long found = -1;
        for (std::size_t i = 0; i < blocks.size(); ++i)
            if (canonicalText(blocks[i], ns_.prefix()) == want)
                found = static_cast<long>(i);
        if (found >= 0)
            return found;
        copyElement(future, record.future, record.prefix, ns_.prefix());
        recount(future, "bk");
        return static_cast<long>(blocks.size());
    }

    // The 1-based index of the cell block holding just (type, value), added when missing.
    std::size_t cellIndex(long type, long value)
    {
        pugi::xml_node cells = container("cellMetadata");
        auto blocks = children(cells, "bk");
        for (std::size_t i = 0; i < blocks.size(); ++i) {
            auto rcs = children(blocks[i], "rc");
            if (rcs.size() == 1 && rcs[0].attribute("t").as_int(0) == type &&
                rcs[0].attribute("v").as_int(-1) == value)
                return i + 1;
        }
        pugi::xml_node bk = cells.append_child(ns_("bk").c_str());
        pugi::xml_node rc = bk.append_child(ns_("rc").c_str());
        rc.append_attribute("t").set_value(type);
        rc.append_attribute("v").set_value(value);
        recount(cells, "bk");
        return blocks.size() + 1;
    }

private:
    // The futureMetadata list of dynamic arrays; another kind's list keeps its place.
    pugi::xml_node futureList()
    {
        pugi::xml_node found;
        for (pugi::xml_node f : children(root_, "futureMetadata"))
            if (named(f, kDynamicArray))
                found = f;
        if (found)
            return found;
        pugi::xml_node future = container("futureMetadata");
        if (future.attribute("name") && !named(future, kDynamicArray))
            future = root_.insert_child_after(ns_("futureMetadata").c_str(), future);
        if (!future.attribute("name"))
            future.append_attribute("name").set_value(std::string(kDynamicArray).c_str());
        return future;
    }

    pugi::xml_node root_;
    NsNames ns_;
};

} // namespace

std::optional<DynamicArrayRecord> dynamicArrayRecord(pugi::xml_node root, std::size_t cm)
{
    auto n = NsNames::of(root, ns::kMain);
    if (!root || !n)
        return std::nullopt;
    auto types = children(*n, root.child((*n)("metadataTypes").c_str()), "metadataType");
    auto blocks = children(*n, root.child((*n)("cellMetadata").c_str()), "bk");
    if (cm < 1 || cm > blocks.size())
        return std::nullopt;
    std::vector<pugi::xml_node> records = children(*n, blocks[cm - 1], "rc");
    if (records.size() != 1)
        return std::nullopt;
    long t = records[0].attribute("t").as_int(0), v = records[0].attribute("v").as_int(-1);
    if (t < 1 || static_cast<std::size_t>(t) > types.size() || v < 0)
        return std::nullopt;
    pugi::xml_node type = types[static_cast<std::size_t>(t - 1)];
    if (!named(type, kDynamicArray))
        return std::nullopt;
    pugi::xml_node future;
    for (pugi::xml_node f : children(*n, root, "futureMetadata"))
        if (named(f, kDynamicArray))
            future = f;
    auto futureBlocks = children(*n, future, "bk");
    if (static_cast<std::size_t>(v) >= futureBlocks.size())
        return std::nullopt;
    return DynamicArrayRecord{type, futureBlocks[static_cast<std::size_t>(v)], n->prefix()};
}

std::size_t mergeDynamicArrayRecord(pugi::xml_node root, const DynamicArrayRecord& record)
{
    MetadataPart part(root);
    const long type = part.typeIndex(record);
    const long future = part.futureIndex(record);
    return part.cellIndex(type, future);
}

} // namespace tessaro::xlsx
