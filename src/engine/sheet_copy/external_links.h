// SPDX-License-Identifier: MIT
#pragma once

#include "engine/sml/formula_refs.h"
#include "engine/sml/link_targets.h"

#include <pugixml.hpp>

#include <cstddef>
#include <filesystem>
#include <map>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tessaro::xlsx {

class Workbook;

// A value as an external link caches it.
struct CachedValue {
    std::string type;   // "" (number), "str", "b", "e", "d"
    std::string value;  // as written in <v>, entities decoded
};
using CachedCells = std::map<std::pair<long, long>, CachedValue>;  // (row, column)

// The values a worksheet of `book` shows in the given areas (a formula cell by its cached
// value), at most `limit` cells.
CachedCells readCachedCells(Workbook& book, const std::string& sheetPart, const std::vector<CellArea>& areas,
                            std::size_t limit);

// An external link part (xl/externalLinks/externalLinkN.xml): the linked book's sheet names,
// the names used from it and the values its references showed. Values and names already
// there are kept; new ones are added.
class ExternalLinkModel {
public:
    // A new link whose book relationship has id `relId`.
    explicit ExternalLinkModel(const std::string& relId);
    // An existing part; throws EngineError naming `file` and `part`.
    ExternalLinkModel(std::string_view xml, const std::string& file, const std::string& part);

    std::size_t ensureSheet(const std::string& name);
    void addCells(std::size_t sheet, const CachedCells& cells);
    void ensureName(const std::string& name, const std::string& refersTo, long sheet = -1);
    // Everything `other` knows about its book that this model does not know yet.
    void mergeFrom(const ExternalLinkModel& other);
    std::string serialize() const;

private:
    void parse();

    pugi::xml_document doc_;
    std::string prefix_;
    std::vector<std::string> sheets_;
    std::vector<CachedCells> cells_;
    struct Name {
        std::string name;
        std::string refersTo;
        long sheet;
    };
    std::vector<Name> names_;
};

} // namespace tessaro::xlsx
