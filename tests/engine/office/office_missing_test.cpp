// SPDX-License-Identifier: MIT
// A build without the LibreOffice SDK: legacy workbooks are refused with a message that says
// what to install, and nothing else changes.
#include "engine/office/office.h"
#include "engine/router/workbook_automation.h"
#include "support/temp_dir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace tessaro {
namespace {

using ::testing::HasSubstr;

TEST(WithoutLibreOfficeSupport, ALegacyWorkbookIsRefusedWithWhatToInstall)
{
    EXPECT_FALSE(office::Office::supported());
    test::TempDir dir;
    // An .xls by its content: a compound file whose directory holds a "Workbook" stream.
    std::string bytes(1536, '\0');
    const unsigned char header[] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    std::copy(std::begin(header), std::end(header), bytes.begin());
    bytes[0x1E] = 9;                           // 512-byte sectors
    bytes[0x2C] = 1;                           // one FAT sector...
    bytes[0x4C] = 0;                           // ...sector 0
    for (int i = 1; i < 109; ++i)              // no other FAT sectors
        for (int k = 0; k < 4; ++k)
            bytes[static_cast<std::size_t>(0x4C + 4 * i + k)] = '\xFF';
    bytes[0x30] = 1;                           // the directory in sector 1
    bytes[0x44] = '\xFE';                      // no DIFAT chain
    bytes[0x45] = bytes[0x46] = bytes[0x47] = '\xFF';
    const std::size_t fat = 512, dirSector = 1024;
    for (int k = 0; k < 4; ++k) {
        bytes[fat + static_cast<std::size_t>(k)] = k == 0 ? '\xFD' : '\xFF';     // sector 0: FAT
        bytes[fat + 4 + static_cast<std::size_t>(k)] = k == 0 ? '\xFE' : '\xFF'; // sector 1: end
    }
    const std::u16string name = u"Workbook";
    for (std::size_t i = 0; i < name.size(); ++i)
        bytes[dirSector + 128 + 2 * i] = static_cast<char>(name[i]);
    bytes[dirSector + 128 + 0x40] = static_cast<char>((name.size() + 1) * 2);
    bytes[dirSector + 128 + 0x42] = 2;
    test::writeFile(dir / "old.xls", bytes);

    const auto servers = makeWorkbookAutomationFactory(dir.path());
    const auto server = servers();
    try {
        server->open(dir / "old.xls");
        FAIL() << "a legacy workbook opened without LibreOffice";
    } catch (const AutomationError& e) {
        EXPECT_NE(e.code(), ErrorCode::InternalFault);
        EXPECT_THAT(e.description(), HasSubstr((dir / "old.xls").string()));
        EXPECT_THAT(e.description(), HasSubstr("(.xls)"));
        EXPECT_THAT(e.description(), HasSubstr("apt-get install libreoffice-calc-nogui"));
    }
}

} // namespace
} // namespace tessaro
