// SPDX-License-Identifier: MIT
#include "copy/file_names.h"

#include <gtest/gtest.h>

namespace tessaro {
namespace {

TEST(FileNames, FileNameOf)
{
    EXPECT_EQ(FileNameOf("/a/b.xls"), "b.xls");
    EXPECT_EQ(FileNameOf("b.xls"), "b.xls");
    EXPECT_EQ(FileNameOf("/a/b/"), "");
    EXPECT_EQ(FileNameOf(""), "");
    EXPECT_EQ(FileNameOf("/données/Übersicht.xlsx"), "Übersicht.xlsx");
}

TEST(FileNames, StripExtension)
{
    EXPECT_EQ(StripExtension("a.b.xls"), "a.b");
    EXPECT_EQ(StripExtension("noext"), "noext");
    EXPECT_EQ(StripExtension(".xls"), "");
    EXPECT_EQ(StripExtension("Report.xlsx"), "Report");
}

TEST(FileNames, ExtensionOf)
{
    EXPECT_EQ(ExtensionOf("My Book.xls"), "xls");
    EXPECT_EQ(ExtensionOf("Book."), "");
    EXPECT_EQ(ExtensionOf("Book1"), "Book1");
    EXPECT_EQ(ExtensionOf("My Book"), "Book");
    EXPECT_EQ(ExtensionOf("a.tar.gz"), "gz");
}

} // namespace
} // namespace tessaro
