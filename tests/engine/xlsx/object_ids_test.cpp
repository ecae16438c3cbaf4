// SPDX-License-Identifier: MIT
#include "engine/sml/object_ids.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace tessaro::xlsx;
using ::testing::ElementsAre;

TEST(ShapeIds, BlocksADrawingClaimsAndUses)
{
    struct Case {
        const char* vml;
        std::set<long> blocks;
    };
    const Case cases[] = {
        {R"(<o:shapelayout v:ext="edit"><o:idmap v:ext="edit" data="1"/></o:shapelayout>)", {1}},
        {R"(<o:idmap v:ext="edit" data="2, 5,,7"/>)", {2, 5, 7}},
        {R"(<o:idmap data='3'/>)", {3}},
        {R"(<v:shape id="_x0000_s1025" o:spid="_x0000_s4097"/>)", {1, 4}},
        {R"(<o:idmapx data="9"/>)", {}},                        // another element
        {R"(<o:idmap v:ext="edit" data="a1"/>)", {}},           // not a list of numbers
        {R"(<v:shape id="_x0000_s99999999999"/>)", {}},         // no 32-bit id
        {R"(<v:shape id="_x0000_s4294967295"/>)", {4194303}},  // the largest id
        {R"(<v:shape id="_x0000_t202"/>)", {}},                 // a shape type, not a shape
    };
    for (const Case& c : cases) {
        std::set<long> blocks;
        collectShapeBlocks(c.vml, blocks);
        EXPECT_EQ(blocks, c.blocks) << c.vml;
    }
}

TEST(ShapeIds, MovingBlocksRewritesClaimsAndIds)
{
    // Block 100097 holds the id made of the first nine digits of 1025000000.
    const ShapeBlockMap moves{{1, 3}, {2, 4}, {100097, 5}};
    struct Case {
        const char* vml;
        const char* moved;
    };
    const Case cases[] = {
        {R"(<o:idmap v:ext="edit" data="1, 2"/>)", R"(<o:idmap v:ext="edit" data="3,4"/>)"},
        {R"(<o:idmap v:ext="edit" data="1,9"/>)", R"(<o:idmap v:ext="edit" data="3,9"/>)"},
        {R"(<v:shape id="_x0000_s1025" o:spid="_x0000_s2049"><x:Row>1</x:Row></v:shape>)",
         R"(<v:shape id="_x0000_s3073" o:spid="_x0000_s4097"><x:Row>1</x:Row></v:shape>)"},
        {R"(<v:shape id="_x0000_s9217"/>)", R"(<v:shape id="_x0000_s9217"/>)"},  // block 9 stays
        // Ten digits are one id: never its first nine.
        {R"(<v:shape id="_x0000_s1025000000"/>)", R"(<v:shape id="_x0000_s1025000000"/>)"},
        {R"(<v:shape id="_x0000_s12345678901"/>)", R"(<v:shape id="_x0000_s12345678901"/>)"},
        {"no shapes at all", "no shapes at all"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(moveShapeBlocks(c.vml, moves), c.moved) << c.vml;
    EXPECT_EQ(movedShapeId(1025, moves), 3073u);
    EXPECT_EQ(movedShapeId(2047, moves), 4095u);
    EXPECT_EQ(movedShapeId(5000, moves), 5000u);
}

TEST(ThreadIds, IdsInDocumentOrder)
{
    const char* xml = R"(<?xml version="1.0"?>
<ThreadedComments xmlns="http://schemas.microsoft.com/office/spreadsheetml/2018/threadedcomments">
  <threadedComment ref="A1" id="{A}" personId="{P}"><text>x</text></threadedComment>
  <tc:threadedComment xmlns:tc="urn:x" ref="A2" id='{B}' parentId="{A}"/>
  <threadedComment ref="A3"/>
</ThreadedComments>)";
    EXPECT_THAT(threadIds(xml), ElementsAre("{A}", "{B}"));
    // A broken part gives the ids before the fault.
    EXPECT_THAT(threadIds(R"(<a><threadedComment id="{C}"/><threadedComment id="{D})"), ElementsAre("{C}"));
}
