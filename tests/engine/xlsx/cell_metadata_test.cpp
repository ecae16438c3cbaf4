// SPDX-License-Identifier: MIT
#include "engine/sheet_copy/cell_metadata.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>

using namespace tessaro::xlsx;

namespace {

constexpr const char* kDynamicArrays =
    R"(<metadata xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main" xmlns:xda="urn:xda">)"
    R"(<metadataTypes count="2"><metadataType name="OTHER" minSupportedVersion="1"/>)"
    R"(<metadataType name="XLDAPR" minSupportedVersion="120000"/></metadataTypes>)"
    R"(<futureMetadata name="XLDAPR" count="1"><bk><extLst><ext uri="{X}"><xda:dynamicArrayProperties fDynamic="1"/>)"
    R"(</ext></extLst></bk></futureMetadata>)"
    R"(<cellMetadata count="2"><bk><rc t="1" v="0"/></bk><bk><rc t="2" v="0"/></bk></cellMetadata></metadata>)";

std::string compact(const pugi::xml_document& doc)
{
    std::ostringstream out;
    doc.document_element().print(out, "", pugi::format_raw);
    return out.str();
}

} // namespace

TEST(CellMetadata, OnlyDynamicArrayRecordsAreFound)
{
    pugi::xml_document source;
    ASSERT_TRUE(source.load_string(kDynamicArrays));
    const pugi::xml_node root = source.document_element();
    EXPECT_FALSE(dynamicArrayRecord(root, 0));
    EXPECT_FALSE(dynamicArrayRecord(root, 1));  // the other kind
    EXPECT_FALSE(dynamicArrayRecord(root, 3));  // past the end
    auto record = dynamicArrayRecord(root, 2);
    ASSERT_TRUE(record);
    EXPECT_STREQ(record->type.attribute("name").value(), "XLDAPR");
    EXPECT_STREQ(record->future.name(), "bk");
    EXPECT_EQ(record->prefix, "");
}

TEST(CellMetadata, MergingReusesWhatTheDestinationHolds)
{
    pugi::xml_document source;
    ASSERT_TRUE(source.load_string(kDynamicArrays));
    auto record = dynamicArrayRecord(source.document_element(), 2);
    ASSERT_TRUE(record);

    struct Case {
        const char* name;
        const char* destination;
        std::size_t index;
        const char* merged;
    };
    const Case cases[] = {
        {"empty part", R"(<metadata xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"/>)", 1,
         R"(<metadata xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)"
         R"(<metadataTypes count="1"><metadataType name="XLDAPR" minSupportedVersion="120000"/></metadataTypes>)"
         R"(<futureMetadata name="XLDAPR" count="1"><bk><extLst><ext uri="{X}"><xda:dynamicArrayProperties )"
         R"(xmlns:xda="urn:xda" fDynamic="1"/></ext></extLst></bk></futureMetadata>)"
         R"(<cellMetadata count="1"><bk><rc t="1" v="0"/></bk></cellMetadata></metadata>)"},
        {"the same records", kDynamicArrays, 2, nullptr},
        {"prefixed, another future kind first",
         R"(<x:metadata xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)"
         R"(<x:metadataTypes count="1"><x:metadataType name="OTHER"/></x:metadataTypes>)"
         R"(<x:futureMetadata name="OTHER" count="0"/></x:metadata>)",
         1,
         R"(<x:metadata xmlns:x="http://schemas.openxmlformats.org/spreadsheetml/2006/main">)"
         R"(<x:metadataTypes count="2"><x:metadataType name="OTHER"/>)"
         R"(<x:metadataType name="XLDAPR" minSupportedVersion="120000"/></x:metadataTypes>)"
         R"(<x:futureMetadata name="OTHER" count="0"/>)"
         R"(<x:futureMetadata name="XLDAPR" count="1"><x:bk><x:extLst><x:ext uri="{X}"><xda:dynamicArrayProperties )"
         R"(xmlns:xda="urn:xda" fDynamic="1"/></x:ext></x:extLst></x:bk></x:futureMetadata>)"
         R"(<x:cellMetadata count="1"><x:bk><x:rc t="2" v="0"/></x:bk></x:cellMetadata></x:metadata>)"},
    };
    for (const Case& c : cases) {
        pugi::xml_document destination;
        ASSERT_TRUE(destination.load_string(c.destination)) << c.name;
        EXPECT_EQ(mergeDynamicArrayRecord(destination.document_element(), *record), c.index) << c.name;
        EXPECT_EQ(compact(destination), c.merged ? c.merged : c.destination) << c.name;
        // A second merge finds what the first one added.
        const std::string once = compact(destination);
        EXPECT_EQ(mergeDynamicArrayRecord(destination.document_element(), *record), c.index) << c.name;
        EXPECT_EQ(compact(destination), once) << c.name;
    }
}
