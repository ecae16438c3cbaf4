// SPDX-License-Identifier: MIT
#pragma once

// Small helpers the parts of a copy session share; not for use outside this folder.

#include "engine/sml/sheet_names.h"

#include <pugixml.hpp>

#include <memory>
#include <string>
#include <string_view>

namespace tessaro::xlsx {

class Workbook;

namespace session {

// Sheet, table and defined names compare as the application compares them.
inline std::string fold(std::string_view s) { return foldSheetName(s); }

inline std::string folderOf(std::string_view part) { return std::string(part.substr(0, part.rfind('/') + 1)); }

// Every element under `root` (itself included), in document order, without recursion: a
// hostile part's depth must not reach the stack.
template <typename F>
void forEachElement(pugi::xml_node root, F&& f)
{
    pugi::xml_node n = root;
    while (n) {
        if (n.type() == pugi::node_element)
            f(n);
        if (n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n && n != root && !n.next_sibling())
            n = n.parent();
        if (!n || n == root)
            break;
        n = n.next_sibling();
    }
}

// A part the workbook points at (cell metadata, connections, persons), parsed; an empty
// document when the workbook has none.
std::unique_ptr<pugi::xml_document> workbookLevelPart(Workbook& book, std::string_view relType);

} // namespace session
} // namespace tessaro::xlsx
