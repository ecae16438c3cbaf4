// SPDX-License-Identifier: MIT
#include "engine/xml/conformance.h"
#include "engine/xml/xml_scanner.h"

#include <gtest/gtest.h>

using namespace tessaro::xlsx;

namespace {

std::vector<XmlToken> all(std::string_view xml)
{
    XmlScanner s;
    XmlToken t;
    std::size_t pos = 0;
    std::vector<XmlToken> out;
    while (s.next(xml, pos, true, t) == XmlScanner::Result::Token)
        out.push_back(t);
    return out;
}

} // namespace

TEST(XmlScanner, SplitsTagsTextAndAttributes)
{
    auto t = all("<?xml version=\"1.0\"?><x:c r='A1' s=\"3\">12&amp;<!-- note --></x:c><e/>");
    ASSERT_EQ(t.size(), 6u);
    EXPECT_EQ(t[0].kind, XmlToken::Kind::ProcessingInstruction);
    EXPECT_EQ(t[1].kind, XmlToken::Kind::StartTag);
    EXPECT_EQ(t[1].name, "x:c");
    EXPECT_EQ(t[1].localName(), "c");
    EXPECT_EQ(t[1].prefix(), "x");
    ASSERT_EQ(t[1].attributes.size(), 2u);
    EXPECT_EQ(t[1].attributes[0].value, "A1");
    EXPECT_EQ(t[1].attributes[0].quote, '\'');
    EXPECT_EQ(t[1].attribute("s")->value, "3");
    EXPECT_EQ(t[2].kind, XmlToken::Kind::Text);
    EXPECT_EQ(t[2].raw, "12&amp;");
    EXPECT_EQ(t[3].kind, XmlToken::Kind::Comment);
    EXPECT_EQ(t[4].kind, XmlToken::Kind::EndTag);
    EXPECT_TRUE(t[5].selfClosing);
}

TEST(XmlScanner, AGreaterThanInsideAValueDoesNotEndTheTag)
{
    auto t = all("<f a=\"x>y\" b='1'/>");
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].attribute("a")->value, "x>y");
    EXPECT_EQ(t[0].attribute("b")->value, "1");
}

TEST(XmlScanner, AsksForMoreWhenATokenIsCutAndResumesWhenItArrives)
{
    std::string doc = "<row r=\"1\"><c r=\"A1\" t=\"s\"><v>7</v></c></row>";
    for (std::size_t cut = 1; cut < doc.size(); ++cut) {
        XmlScanner s;
        XmlToken t;
        std::string buf = doc.substr(0, cut);
        std::size_t pos = 0;
        std::vector<std::string> seen;
        for (;;) {
            auto r = s.next(buf, pos, false, t);
            if (r != XmlScanner::Result::Token)
                break;
            seen.emplace_back(t.raw);
        }
        buf += doc.substr(cut);
        while (s.next(buf, pos, true, t) == XmlScanner::Result::Token)
            seen.emplace_back(t.raw);
        std::string joined;
        for (auto& x : seen)
            joined += x;
        EXPECT_EQ(joined, doc) << "cut at " << cut;
    }
}

TEST(XmlScanner, AByteOrderMarkWhereTheDocumentBeginsIsPassedOver)
{
    auto t = all("\xEF\xBB\xBF<a>\xEF\xBB\xBF</a>");
    ASSERT_EQ(t.size(), 3u);
    EXPECT_EQ(t[0].kind, XmlToken::Kind::StartTag);
    EXPECT_EQ(t[1].raw, "\xEF\xBB\xBF") << "inside the document the same bytes are text";

    // The mark may arrive a byte at a time.
    XmlScanner s;
    XmlToken tok;
    std::string buf = "\xEF";
    std::size_t pos = 0;
    EXPECT_EQ(s.next(buf, pos, false, tok), XmlScanner::Result::NeedMore);
    buf += "\xBB\xBF<a/>";
    ASSERT_EQ(s.next(buf, pos, false, tok), XmlScanner::Result::Token);
    EXPECT_EQ(tok.raw, "<a/>");
}

TEST(XmlScanner, ReportsTheDoctypeWithoutReadingIt)
{
    // The caller stops at this token; the declaration's insides are never looked at.
    std::string_view doc = "<!DOCTYPE x [<!ENTITY a \"aaaa\">]><x/>";
    XmlScanner s;
    XmlToken t;
    std::size_t pos = 0;
    ASSERT_EQ(s.next(doc, pos, true, t), XmlScanner::Result::Token);
    EXPECT_EQ(t.kind, XmlToken::Kind::Doctype);
}

TEST(XmlScanner, RejectsBrokenMarkupWithAnOffset)
{
    for (const char* bad : {"<a b=c/>", "<a b=\"1\"c=\"2\"/>", "</>", "<a =\"1\"/>", "<!FOO>", "<a b=\"<\"/>"}) {
        try {
            all(bad);
            ADD_FAILURE() << bad << " was accepted";
        } catch (const XmlSyntaxError& e) {
            EXPECT_LE(e.offset(), std::string_view(bad).size());
        }
    }
    EXPECT_THROW(all("<a b=\"unfinished"), XmlSyntaxError);
}

TEST(XmlText, DecodesPredefinedAndNumericEntitiesOnly)
{
    EXPECT_EQ(decodeXml("a&lt;b&gt;&amp;&quot;&apos;"), "a<b>&\"'");
    EXPECT_EQ(decodeXml("&#65;&#x42;&#x1F61C;"), "AB\xF0\x9F\x98\x9C");
    EXPECT_EQ(decodeXml("&unknown; &#xZZ;"), "&unknown; &#xZZ;");
    EXPECT_EQ(decodeXml("&#x110000;"), "&#x110000;");
}

TEST(XmlText, EscapesForTextAndAttributes)
{
    std::string t, a;
    appendEscapedText(t, "a<b & 'c'");
    appendEscapedAttribute(a, "x\"y\n<");
    EXPECT_EQ(t, "a&lt;b &amp; 'c'");
    EXPECT_EQ(a, "x&quot;y&#10;&lt;");
}

TEST(XmlText, AnEditedTagKeepsEverythingButTheValuesThatChanged)
{
    std::string_view xml = "<c  r='A1'\ts=\"3\" t='s'/>";
    auto tokens = all(xml);
    ASSERT_EQ(tokens.size(), 1u);
    const XmlToken& t = tokens[0];

    std::vector<XmlAttribute> edited = t.attributes;
    edited[1].value = "13";
    std::string out;
    ASSERT_TRUE(appendEditedStartTag(out, t, edited));
    EXPECT_EQ(out, "<c  r='A1'\ts=\"13\" t='s'/>");

    // A value written for double quotes replaces a single-quoted one together with its quotes,
    // since it may hold an apostrophe.
    edited = t.attributes;
    edited[0].value = "'It''s'!A1";
    edited[0].quote = '"';
    out.clear();
    ASSERT_TRUE(appendEditedStartTag(out, t, edited));
    EXPECT_EQ(out, "<c  r=\"'It''s'!A1\"\ts=\"3\" t='s'/>");

    edited = t.attributes;
    edited.pop_back();
    out.clear();
    EXPECT_FALSE(appendEditedStartTag(out, t, edited));
    EXPECT_TRUE(out.empty());
}

// Namespaces and relationship types change class; the same URI as text, in a comment or as
// a hyperlink's target is the user's and stays.
TEST(Conformance, TranslatesNamesInMarkupAndLeavesTextAlone)
{
    const std::string strict =
        "<?xml version=\"1.0\"?><!-- http://purl.oclc.org/ooxml/spreadsheetml/main -->"
        "<x:sst xmlns:x='http://purl.oclc.org/ooxml/spreadsheetml/main' a=\"b>c\"><x:si><x:t>"
        "\"http://purl.oclc.org/ooxml/spreadsheetml/main\"</x:t></x:si>"
        "<R Type=\"http://purl.oclc.org/ooxml/officeDocument/relationships/extendedProperties\" "
        "Target=\"http://purl.oclc.org/ooxml/drawingml/chart\"/></x:sst>";
    const std::string transitional =
        "<?xml version=\"1.0\"?><!-- http://purl.oclc.org/ooxml/spreadsheetml/main -->"
        "<x:sst xmlns:x='http://schemas.openxmlformats.org/spreadsheetml/2006/main' a=\"b>c\"><x:si><x:t>"
        "\"http://purl.oclc.org/ooxml/spreadsheetml/main\"</x:t></x:si>"
        "<R Type=\"http://schemas.openxmlformats.org/officeDocument/2006/relationships/extended-properties\" "
        "Target=\"http://purl.oclc.org/ooxml/drawingml/chart\"/></x:sst>";
    auto toTransitional = translateXml(strict, Conformance::Transitional);
    ASSERT_TRUE(toTransitional);
    EXPECT_EQ(*toTransitional, transitional);
    EXPECT_FALSE(translateXml(*toTransitional, Conformance::Transitional));
    auto back = translateXml(*toTransitional, Conformance::Strict);
    ASSERT_TRUE(back);
    EXPECT_EQ(*back, strict);
    EXPECT_EQ(uriIn(Conformance::Strict, "http://schemas.openxmlformats.org/package/2006/relationships"),
              "http://schemas.openxmlformats.org/package/2006/relationships");
}
