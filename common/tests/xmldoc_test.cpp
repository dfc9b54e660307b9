// Tests of the XML document tree: parsing, writing, escaping, files, builder and readers.
#include "common/xmldoc.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

std::string TempPath(const char* name) {
    return std::string(::testing::TempDir()) + "tessaly_xml_" + std::to_string(getpid()) + "_" + name;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

CXmlElement* RootElement(const CXmlDocument& doc) {
    for (CXmlNode* node : doc.GetRoot()->GetChildren())
        if (node->GetType() == XML_NODE_ELEMENT) return static_cast<CXmlElement*>(node);
    return nullptr;
}

TEST(CommonXmlDocumentTest, MixedContentKeepsTextBeforeFirstChildOnly) {
    CXmlDocument doc("UTF-8");
    doc.SetText("<a>\n  <b>x</b>\n</a>");
    ASSERT_TRUE(doc.Parse()) << doc.GetErrorText();
    CXmlElement* a = RootElement(doc);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->GetDepth(), 0);
    std::string text;
    ASSERT_TRUE(a->GetText(text));
    EXPECT_EQ(text, "\n  ");
    CXmlElement* b = nullptr;
    ASSERT_TRUE(a->FindChild("b", b));
    EXPECT_EQ(b->GetDepth(), 1);
    EXPECT_EQ(b->GetParent(), a);
    ASSERT_TRUE(b->GetText(text));
    EXPECT_EQ(text, "x");
    EXPECT_EQ(a->Write(), "<a>\n  <b>x</b></a>");
}

TEST(CommonXmlDocumentTest, ParseWriteParseRoundTrip) {
    const std::string source =
        "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
        "<!--settings--><tessaly ver=\"2\" name=\"a &amp; b &lt;c&gt; &quot;q&quot;\">"
        "<server host=\"10.0.0.1\" port=\"5060\"/><?app mode=1?>"
        "<note>fish &amp; chips &lt;hot&gt;</note><empty></empty></tessaly>";
    CXmlDocument first("UTF-8");
    first.SetText(source);
    ASSERT_TRUE(first.Parse()) << first.GetErrorText();
    std::string written = first.Write();

    CXmlDocument second("UTF-8");
    second.SetText(written);
    ASSERT_TRUE(second.Parse()) << second.GetErrorText() << "\n" << written;
    EXPECT_EQ(second.Write(), written);

    CXmlElement* root = RootElement(second);
    ASSERT_NE(root, nullptr);
    std::string value;
    ASSERT_TRUE(root->GetAttribute("name", value));
    EXPECT_EQ(value, "a & b <c> \"q\"");
    CXmlElement* note = nullptr;
    ASSERT_TRUE(root->FindChild("note", note));
    ASSERT_TRUE(note->GetText(value));
    EXPECT_EQ(value, "fish & chips <hot>");
    const CXmlDeclaration* decl = second.GetRoot()->GetDeclaration();
    ASSERT_NE(decl, nullptr);
    EXPECT_EQ(decl->version, "1.0");
    EXPECT_EQ(decl->encoding, "UTF-8");
    EXPECT_EQ(decl->standalone, 1);
    // Node kinds in document order, and the empty element written as one tag.
    ASSERT_EQ(second.GetRoot()->GetChildren().size(), 2u);
    EXPECT_EQ(second.GetRoot()->GetChildren()[0]->GetType(), XML_NODE_COMMENT);
    EXPECT_EQ(root->GetChildren()[1]->GetType(), XML_NODE_PI);
    EXPECT_NE(written.find("<empty/>"), std::string::npos);
    EXPECT_NE(written.find("<?app mode=1?>"), std::string::npos);
    EXPECT_NE(written.find("<!--settings-->"), std::string::npos);
}

TEST(CommonXmlDocumentTest, WrittenValuesAreEscapedAndParseBack) {
    struct Case {
        const char* value;
        const char* asText;
        const char* asAttribute;
    };
    const Case cases[] = {
        {"a&b", "a&amp;b", "a&amp;b"},
        {"<script>", "&lt;script&gt;", "&lt;script&gt;"},
        {"say \"hi\"", "say &quot;hi&quot;", "say &quot;hi&quot;"},
        {"it's", "it's", "it's"},
        {"two\nlines\tand tab", "two\nlines\tand tab", "two&#10;lines&#9;and tab"},
        {"cr\r\nlf", "cr&#13;\nlf", "cr&#13;&#10;lf"},
        {"&amp;", "&amp;amp;", "&amp;amp;"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        CXmlDocument doc("UTF-8");
        doc.Reset();
        doc.OpenElement("r");
        doc.AddAttribute("v", c.value);
        doc.CloseElement(c.value);
        std::string written = doc.Write();
        EXPECT_EQ(written, std::string("<r v=\"") + c.asAttribute + "\">" + c.asText + "</r>");

        CXmlDocument back("UTF-8");
        back.SetText(written);
        ASSERT_TRUE(back.Parse()) << back.GetErrorText();
        CXmlElement* r = RootElement(back);
        std::string text, attribute;
        ASSERT_TRUE(r->GetText(text));
        ASSERT_TRUE(r->GetAttribute("v", attribute));
        EXPECT_EQ(text, c.value);
        EXPECT_EQ(attribute, c.value);
    }
}

TEST(CommonXmlDocumentTest, ControlCharactersAreDroppedSoTheDocumentStillParses) {
    CXmlDocument doc("UTF-8");
    doc.Reset();
    doc.OpenElement("r");
    doc.AddAttribute("v", "a\x01" "b");
    doc.CloseElement("x\x02y\x1f");
    CXmlDocument back("UTF-8");
    back.SetText(doc.Write());
    ASSERT_TRUE(back.Parse()) << back.GetErrorText();
    std::string text;
    ASSERT_TRUE(RootElement(back)->GetText(text));
    EXPECT_EQ(text, "xy");
}

TEST(CommonXmlDocumentTest, ChineseTextThroughUtf8AndFiles) {
    const std::string name = "\xE5\xBC\xA0\xE4\xB8\x89";               // 张三
    const std::string note = "\xE4\xBD\xA0\xE5\xA5\xBD\xEF\xBC\x8C\xE4\xB8\x96\xE7\x95\x8C";  // 你好，世界
    CXmlDocument doc("UTF-8");
    doc.Reset();
    doc.OpenElement("user");
    doc.AddAttribute("name", name.c_str());
    doc.OpenElement("note");
    doc.CloseElement(note.c_str());
    doc.LeaveElement();
    std::string path = TempPath("chinese.xml");
    ASSERT_TRUE(doc.SaveToFile(path.c_str()));
    EXPECT_NE(ReadAll(path).find(note), std::string::npos);  // raw UTF-8 bytes, no references

    CXmlDocument back("UTF-8");
    ASSERT_TRUE(back.LoadFile(path.c_str()));
    ASSERT_TRUE(back.Parse()) << back.GetErrorText();
    CXmlElement* user = RootElement(back);
    std::string value;
    ASSERT_TRUE(user->GetAttribute("name", value));
    EXPECT_EQ(value, name);
    CXmlElement* found = nullptr;
    ASSERT_TRUE(user->FindChild("note", found));
    ASSERT_TRUE(found->GetText(value));
    EXPECT_EQ(value, note);
    remove(path.c_str());
}

TEST(CommonXmlDocumentTest, CrLfOnLoadAndSave) {
    std::string path = TempPath("crlf.xml");
    WriteAll(path, "<?xml version=\"1.0\"?>\r\n<a>\r\n  <b>one\r\ntwo</b>\r\n</a>\r\n");
    CXmlDocument doc("UTF-8");
    ASSERT_TRUE(doc.LoadFile(path.c_str()));
    EXPECT_EQ(doc.GetSourceText(), "<?xml version=\"1.0\"?>\n<a>\n  <b>one\ntwo</b>\n</a>\n");
    ASSERT_TRUE(doc.Parse()) << doc.GetErrorText();
    CXmlElement* b = nullptr;
    ASSERT_TRUE(RootElement(doc)->FindChild("b", b));
    std::string text;
    ASSERT_TRUE(b->GetText(text));
    EXPECT_EQ(text, "one\ntwo");

    ASSERT_TRUE(doc.SaveToFile(path.c_str()));
    EXPECT_EQ(ReadAll(path), "<?xml version=\"1.0\"?><a>\r\n  <b>one\r\ntwo</b></a>");

    // A built text's line feed is saved as CRLF too.
    CXmlDocument built("UTF-8");
    built.Reset();
    built.OpenElement("t");
    built.CloseElement("x\ny");
    ASSERT_TRUE(built.SaveToFile(path.c_str()));
    EXPECT_EQ(ReadAll(path), "<t>x\r\ny</t>");
    remove(path.c_str());
}

TEST(CommonXmlDocumentTest, MalformedDocumentReportsExpatMessageAndLine) {
    CXmlDocument doc("UTF-8");
    doc.SetText("<a>\n<b>text</b>\n<c></d>\n</a>");
    EXPECT_FALSE(doc.Parse());
    EXPECT_EQ(doc.GetErrorText(), "mismatched tag");
    EXPECT_EQ(doc.GetErrorLine(), 3u);
    // The partial tree stays readable.
    CXmlElement* a = RootElement(doc);
    ASSERT_NE(a, nullptr);
    CXmlElement* b = nullptr;
    EXPECT_TRUE(a->FindChild("b", b));

    CXmlDocument missing("UTF-8");
    EXPECT_FALSE(missing.LoadFile(TempPath("absent.xml").c_str()));
    EXPECT_FALSE(missing.Parse());
    EXPECT_EQ(missing.GetErrorText(), "no element found");
}

TEST(CommonXmlDocumentTest, DeepNestingIsRejected) {
    auto nested = [](int depth) {
        std::string text;
        for (int i = 0; i < depth; ++i) text += "<e>";
        for (int i = 0; i < depth; ++i) text += "</e>";
        return text;
    };
    CXmlDocument ok("UTF-8");
    ok.SetText(nested(CXmlDocument::kMaxDepth));
    EXPECT_TRUE(ok.Parse()) << ok.GetErrorText();
    CXmlDocument deep("UTF-8");
    deep.SetText(nested(100000));
    EXPECT_FALSE(deep.Parse());
    EXPECT_EQ(deep.GetErrorText(), "elements nested too deeply");
}

TEST(CommonXmlDocumentTest, CharacterDataInPiecesBecomesOneTextNode) {
    CXmlDocument doc("UTF-8");
    doc.Reset();
    const std::string pieces[] = {"<msg to=\"x\">hel", "lo &am", "p; wor", "ld</m", "sg>"};
    for (size_t i = 0; i < std::size(pieces); ++i)
        ASSERT_TRUE(doc.ParseChunk(pieces[i].data(), static_cast<int>(pieces[i].size()), i + 1 == std::size(pieces)))
            << doc.GetErrorText();
    CXmlElement* msg = RootElement(doc);
    ASSERT_NE(msg, nullptr);
    ASSERT_EQ(msg->GetChildren().size(), 0u);
    std::string text;
    ASSERT_TRUE(msg->GetText(text));
    EXPECT_EQ(text, "hello & world");

    // The same document object takes a second document after Reset.
    doc.Reset();
    const std::string next = "<reply code=\"200\"/>";
    ASSERT_TRUE(doc.ParseChunk(next.data(), static_cast<int>(next.size()), true)) << doc.GetErrorText();
    EXPECT_EQ(RootElement(doc)->GetName(), "reply");
    doc.SetText("<again/>");
    ASSERT_TRUE(doc.Parse()) << doc.GetErrorText();
    EXPECT_EQ(RootElement(doc)->GetName(), "again");
}

TEST(CommonXmlDocumentTest, DeclarationWithVersionOnly) {
    CXmlDocument doc("UTF-8");
    doc.SetText("<?xml version=\"1.0\"?>\n<root a=\"1\"/>");
    ASSERT_TRUE(doc.Parse());
    EXPECT_EQ(doc.Write(), "<?xml version=\"1.0\"?><root a=\"1\"/>");
    doc.SetText("<?xml version=\"1.0\" standalone=\"no\"?><r/>");
    ASSERT_TRUE(doc.Parse());
    EXPECT_EQ(doc.Write(), "<?xml version=\"1.0\" standalone=\"no\"?><r/>");
}

TEST(CommonXmlDocumentTest, BuilderCursor) {
    CXmlDocument doc("UTF-8");
    doc.Reset();
    doc.LeaveElement();  // at the root: stays there
    EXPECT_EQ(doc.GetCursor(), doc.GetRoot());
    doc.OpenElement("req");
    doc.AddAttribute("cmd", "LGN");
    doc.AddAttribute("seq", "1");
    doc.OpenElement("user");
    doc.CloseElement("13800138000");
    doc.OpenElement("pwd");
    doc.CloseElement("");  // no text node
    doc.OpenElement("list");
    doc.OpenElement("item");
    doc.CloseElement("1");
    doc.LeaveElement();
    doc.LeaveElement();
    EXPECT_EQ(doc.GetCursor(), doc.GetRoot());
    EXPECT_EQ(doc.Write(),
              "<req cmd=\"LGN\" seq=\"1\"><user>13800138000</user><pwd/><list><item>1</item></list></req>");
    CXmlElement* pwd = nullptr;
    ASSERT_TRUE(RootElement(doc)->FindChild("pwd", pwd));
    EXPECT_EQ(pwd->GetTextNode(), nullptr);
    doc.Rewind();
    EXPECT_EQ(doc.GetCursor(), doc.GetRoot());

    // Builder use without Reset starts a tree.
    CXmlDocument fresh("UTF-8");
    fresh.OpenElement("x");
    fresh.CloseElement("y");
    EXPECT_EQ(fresh.Write(), "<x>y</x>");
}

TEST(CommonXmlDocumentTest, AttributeIntLikeAtoi) {
    CXmlDocument doc("UTF-8");
    doc.SetText("<r a=\"12\" b=\"abc\" c=\" 7x\" d=\"-40\" e=\"99999999999\" f=\"\"/>");
    ASSERT_TRUE(doc.Parse());
    CXmlElement* r = RootElement(doc);
    struct Case {
        const char* name;
        bool found;
        int value;
    };
    const Case cases[] = {{"a", true, 12}, {"b", true, 0}, {"c", true, 7}, {"d", true, -40},
                          {"e", true, 2147483647}, {"f", true, 0}, {"missing", false, -123}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int value = -123;
        EXPECT_EQ(r->GetAttributeInt(c.name, value), c.found);
        EXPECT_EQ(value, c.value);
    }
}

TEST(CommonXmlDocumentTest, ReadersFindElements) {
    CXmlDocument doc("UTF-8");
    doc.SetText(
        "<r><g><item id=\"deep\"/></g><item id=\"direct\"/><list><item id=\"l1\"/><item id=\"l2\"/></list>"
        "<other><item id=\"o1\"/></other></r>");
    ASSERT_TRUE(doc.Parse());
    CXmlElement* r = RootElement(doc);

    // FindDescendant prefers a direct child over an earlier deeper element.
    CXmlElement* found = nullptr;
    ASSERT_TRUE(r->FindDescendant("item", found));
    std::string id;
    found->GetAttribute("id", id);
    EXPECT_EQ(id, "direct");
    EXPECT_FALSE(r->FindDescendant("nothing", found));

    std::vector<CXmlElement*> items;
    CXmlElement* list = nullptr;
    ASSERT_TRUE(r->FindChild("list", list));
    EXPECT_TRUE(list->GetChildElements("item", items));
    EXPECT_EQ(items.size(), 2u);
    EXPECT_FALSE(list->GetChildElements("x", items));
    EXPECT_TRUE(items.empty());

    // FindElement: depth-first in document order, filtered by the parent's name.
    std::vector<std::string> seen;
    auto collect = [](CXmlElement* element, void* context) {
        std::string value;
        element->GetAttribute("id", value);
        static_cast<std::vector<std::string>*>(context)->push_back(value);
        return false;
    };
    EXPECT_FALSE(CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), nullptr, "item", collect, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"deep", "direct", "l1", "l2", "o1"}));
    seen.clear();
    EXPECT_FALSE(CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), "list", "item", collect, &seen));
    EXPECT_EQ(seen, (std::vector<std::string>{"l1", "l2"}));

    auto stopAtL2 = [](CXmlElement* element, void* context) {
        std::string value;
        element->GetAttribute("id", value);
        *static_cast<int*>(context) += 1;
        return value == "l2";
    };
    int visits = 0;
    EXPECT_TRUE(CXmlDocument::FindElement(doc.GetRoot()->GetChildren(), nullptr, "item", stopAtL2, &visits));
    EXPECT_EQ(visits, 4);
}

}  // namespace
