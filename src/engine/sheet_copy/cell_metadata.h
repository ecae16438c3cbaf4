// SPDX-License-Identifier: MIT
#pragma once

#include <pugixml.hpp>

#include <cstddef>
#include <optional>
#include <string>

namespace tessaro::xlsx {

// The cell metadata of a dynamic-array formula, as one workbook's metadata part holds it.
// Only these travel with a copied cell: their record means the same in every workbook,
// where other kinds point at data of their own workbook.
struct DynamicArrayRecord {
    pugi::xml_node type;    // the metadataType
    pugi::xml_node future;  // its block in the futureMetadata
    std::string prefix;     // how the part names the spreadsheet namespace ("" or "x:")
};

// The record behind cell metadata index `cm` (1-based, as cells write it) of the metadata
// part whose root is `root`; nothing when the index is out of range or is not a dynamic
// array's.
std::optional<DynamicArrayRecord> dynamicArrayRecord(pugi::xml_node root, std::size_t cm);

// Makes the metadata part whose root is `root` hold `record`, reusing its type, its future
// block and its cell block when they are already there; returns the cell metadata index
// (1-based) that cells of the copy write.
std::size_t mergeDynamicArrayRecord(pugi::xml_node root, const DynamicArrayRecord& record);

} // namespace tessaro::xlsx
