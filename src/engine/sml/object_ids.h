// SPDX-License-Identifier: MIT
#pragma once

#include <cstddef>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::xlsx {

// Ids that must stay unique across a workbook and so are read out of parts as text: the
// shape-id blocks of VML drawings and the ids of comment threads. One reader serves both the
// workbook that receives a copy (which ids are taken) and the copy (which ids it brings).

// Shape ids of a VML drawing are handed out in blocks of this many; a drawing claims its
// blocks with <o:idmap data="1,2"/> and numbers its shapes _x0000_s1025 and up.
inline constexpr long kShapesPerBlock = 1024;

// Old block -> new block.
using ShapeBlockMap = std::map<long, long>;

// Adds to `blocks` every block `vml` claims or numbers a shape in. VML is not always
// well-formed XML, so this reads it as text.
void collectShapeBlocks(std::string_view vml, std::set<long>& blocks);

// `vml` with its claimed blocks and its shape ids moved as `moves` says.
std::string moveShapeBlocks(std::string_view vml, const ShapeBlockMap& moves);

// The id `id` becomes when its block moves.
std::size_t movedShapeId(std::size_t id, const ShapeBlockMap& moves);

// The ids of the threaded comments of a threaded-comments part, in document order. A part
// that is not well-formed yields the ids before the fault: whoever needs the whole part
// parses it and reports the fault.
std::vector<std::string> threadIds(std::string_view xml);

} // namespace tessaro::xlsx
