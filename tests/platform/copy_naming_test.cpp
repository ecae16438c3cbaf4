// SPDX-License-Identifier: MIT
#include "platform/copy_naming.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

namespace tessaro {
namespace {

std::u16string u(const char* s)
{
    std::u16string out;
    for (; *s; ++s)
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*s)));
    return out;
}

std::u16string lower(std::u16string s)
{
    for (auto& c : s)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

auto takenAmong(std::set<std::u16string> names)
{
    std::set<std::u16string> folded;
    for (const auto& n : names)
        folded.insert(lower(n));
    return [folded](const std::u16string& n) { return folded.count(lower(n)) > 0; };
}

TEST(CopyName, KeepsAFreeNameElseTakesTheFirstFreeNumberFromTwo)
{
    EXPECT_EQ(copyName(u"Data", takenAmong({u"Other"})), u"Data");
    EXPECT_EQ(copyName(u"Data", takenAmong({u"data"})), u"Data (2)");
    EXPECT_EQ(copyName(u"Data", takenAmong({u"DATA", u"data (2)", u"Data (3)"})), u"Data (4)");
    EXPECT_EQ(copyName(u"Data (2)", takenAmong({u"Data (2)"})), u"Data (2) (2)");
}

TEST(CopyName, CutsTheBaseToKeepThirtyOneCharacters)
{
    const std::u16string name = u("ABCDEFGHIJKLMNOPQRSTUVWXYZ01234");
    ASSERT_EQ(name.size(), kMaxSheetNameLength);
    EXPECT_EQ(copyName(name, takenAmong({name})), u("ABCDEFGHIJKLMNOPQRSTUVWXYZ0 (2)"));
    EXPECT_EQ(copyName(u("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"), takenAmong({})), name);
    std::set<std::u16string> many = {name};
    for (int k = 2; k <= 10; ++k)
        many.insert(copyName(name, takenAmong(many)));
    EXPECT_TRUE(many.count(u("ABCDEFGHIJKLMNOPQRSTUVWXYZ (10)")));
    for (const auto& n : many)
        EXPECT_LE(n.size(), kMaxSheetNameLength);
}

TEST(CopyName, NeverCutsACharacterInHalf)
{
    // 29 letters and then a character outside the BMP: the cut for " (2)" falls inside it.
    std::u16string name = u("ABCDEFGHIJKLMNOPQRSTUVWXYZABC") + u"\U0001F600";
    EXPECT_EQ(copyName(name, takenAmong({name})), u("ABCDEFGHIJKLMNOPQRSTUVWXYZA (2)"));
    const std::u16string at27 = u("ABCDEFGHIJKLMNOPQRSTUVWXYZ") + u"\U0001F600" + u("XYZ");
    EXPECT_EQ(copyName(at27, takenAmong({at27})), u("ABCDEFGHIJKLMNOPQRSTUVWXYZ (2)"));

    // The same rule over UTF-8: a character outside the BMP counts twice.
    std::string wide;
    for (int i = 0; i < 15; ++i)
        wide += "\xF0\x9F\x98\x80"; // U+1F600
    wide += "a";
    const std::string copy = copyName(wide, [&](std::string_view n) { return n == wide; });
    EXPECT_EQ(copy, wide.substr(0, 13 * 4) + " (2)") << "13 wide characters and the suffix make 30 units";
    const std::string plain(31, 'x');
    EXPECT_EQ(copyName(plain, [&](std::string_view n) { return n == plain; }), std::string(27, 'x') + " (2)");
}

TEST(CopyName, SaysSoWhenNoNumberIsFree)
{
    EXPECT_THROW(copyName(u"Data", [](const std::u16string&) { return true; }), std::runtime_error);
}

} // namespace
} // namespace tessaro
