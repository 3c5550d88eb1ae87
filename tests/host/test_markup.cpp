#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include <unistd.h>

using VMK::VmMarkup;
namespace fs = std::filesystem;

namespace {

// Elements interleaved with a declaration, comments, loose text and a
// processing instruction, all of which navigation has to step over.
const char* const kDoc =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!-- leading comment -->\n"
    "<root>\n"
    "  <a id=\"1\"/>\n"
    "  loose text\n"
    "  <b id=\"2\"><x>x1</x><y>y1</y><!-- note --><x>x2</x></b>\n"
    "  <a id=\"3\"><z>z1</z><z>z2</z></a>\n"
    "  <?app instruction?>\n"
    "  <c id=\"4\"/>\n"
    "</root>\n";

// The byte offset named in an error message, or -1 when it names none.
long OffsetIn(const std::string& error) {
    const std::string key = "offset ";
    const size_t at = error.rfind(key);
    if (at == std::string::npos) return -1;
    const char* digits = error.c_str() + at + key.size();
    if (!std::isdigit(static_cast<unsigned char>(*digits))) return -1;
    return std::strtol(digits, nullptr, 10);
}

// Everything a caller could read or move to must be absent.
void ExpectNothingToNavigate(VmMarkup& m) {
    EXPECT_EQ(m.GetTagName(), "");
    EXPECT_EQ(m.GetChildTagName(), "");
    EXPECT_EQ(m.GetData(), "");
    EXPECT_EQ(m.GetSubDoc(), "");
    EXPECT_EQ(m.GetAttrib("id"), "");
    EXPECT_FALSE(m.FindChildElem(nullptr));
    EXPECT_FALSE(m.IntoElem());
    EXPECT_FALSE(m.IntoChildElem());
    EXPECT_FALSE(m.OutOfElem());
    EXPECT_FALSE(m.FindElem(nullptr));
    EXPECT_FALSE(m.FindElem("root"));
    EXPECT_EQ(m.GetTagName(), "");
}

// Every case runs twice: with the document parsed into one tree, and with
// it outlined (the form large documents take), which must navigate the same.
class MarkupForm : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override { m_saved = VmMarkup::SetOutlineThreshold(GetParam()); }
    void TearDown() override { VmMarkup::SetOutlineThreshold(m_saved); }

private:
    size_t m_saved = 0;
};

const size_t kWholeTree = size_t(1) << 40;
const size_t kOutlined = 0;

std::string FormName(const ::testing::TestParamInfo<size_t>& info) {
    return info.param == kOutlined ? "Outlined" : "WholeTree";
}

#define OGCTEST_BOTH_FORMS(suite) \
    INSTANTIATE_TEST_SUITE_P(Forms, suite, ::testing::Values(kWholeTree, kOutlined), FormName)

class MarkupContent : public MarkupForm {};
class MarkupNamespaces : public MarkupForm {};
class MarkupParsing : public MarkupForm {};

class MarkupNavigation : public MarkupForm {
protected:
    void SetUp() override {
        MarkupForm::SetUp();
        ASSERT_TRUE(m.SetDoc(kDoc)) << m.GetError().c_str();
    }

    bool EnterRoot() { return m.FindElem("root") && m.IntoElem(); }
    // "tag#id" of the current element, "#" when none is current.
    std::string Where() const { return m.GetTagName().str() + "#" + m.GetAttrib("id").str(); }
    // "tag:data" of the current child, ":" when none is current.
    std::string Child() const { return m.GetChildTagName().str() + ":" + m.GetChildData().str(); }

    std::vector<std::string> WalkLevel(const char* name) {
        std::vector<std::string> seen;
        while (seen.size() < 10 && m.FindElem(name)) seen.push_back(Where());
        return seen;
    }

    VmMarkup m;
};

TEST_P(MarkupNavigation, FindElemSearchesForwardAndKeepsPositionOnFailure) {
    ASSERT_TRUE(EnterRoot());
    EXPECT_EQ(Where(), "#");

    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#1");
    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#3");  // b in between is passed over

    EXPECT_FALSE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#3");
    EXPECT_FALSE(m.FindElem("b"));  // behind the current element
    EXPECT_EQ(Where(), "a#3");
    EXPECT_FALSE(m.FindElem("x"));  // exists, but one level down
    EXPECT_EQ(Where(), "a#3");

    ASSERT_TRUE(m.FindElem("c"));
    EXPECT_EQ(Where(), "c#4");
}

TEST_P(MarkupNavigation, RepeatedFindElemWalksAllSiblings) {
    const std::vector<std::string> all = {"a#1", "b#2", "a#3", "c#4"};

    ASSERT_TRUE(EnterRoot());
    EXPECT_EQ(WalkLevel(nullptr), all);
    EXPECT_EQ(Where(), "c#4");  // the failing call at the end moved nothing

    m.ResetPos();
    ASSERT_TRUE(EnterRoot());
    EXPECT_EQ(WalkLevel(""), all);

    m.ResetPos();
    ASSERT_TRUE(EnterRoot());
    EXPECT_EQ(WalkLevel("a"), (std::vector<std::string>{"a#1", "a#3"}));
}

TEST_P(MarkupNavigation, TopLevelHoldsOnlyTheRoot) {
    EXPECT_EQ(Where(), "#");
    EXPECT_FALSE(m.FindElem("a"));
    EXPECT_EQ(Where(), "#");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "root");
    EXPECT_FALSE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "root");
    EXPECT_FALSE(m.OutOfElem());
    EXPECT_EQ(m.GetTagName(), "root");
}

TEST_P(MarkupNavigation, FindChildElemWalksTheCurrentElementsChildren) {
    EXPECT_FALSE(m.FindChildElem(nullptr));  // no current element yet

    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("b"));
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.FindChildElem("x"));
    EXPECT_EQ(Child(), "x:x1");
    ASSERT_TRUE(m.FindChildElem("x"));
    EXPECT_EQ(Child(), "x:x2");

    EXPECT_FALSE(m.FindChildElem("y"));  // behind the current child
    EXPECT_EQ(Child(), "x:x2");
    EXPECT_FALSE(m.FindChildElem(nullptr));
    EXPECT_EQ(Child(), "x:x2");
    EXPECT_EQ(Where(), "b#2");

    // A new current element starts its children from the first one.
    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#3");
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(Child(), "z:z1");
    ASSERT_TRUE(m.FindChildElem(""));
    EXPECT_EQ(Child(), "z:z2");
}

TEST_P(MarkupNavigation, IntoElemEntersTheCurrentElement) {
    EXPECT_FALSE(m.IntoElem());  // nothing current before the root
    ASSERT_TRUE(m.FindElem("root"));  // and the failure moved nothing
    ASSERT_TRUE(m.IntoElem());

    // Without a current child the new level starts before its first element.
    EXPECT_EQ(Where(), "#");
    EXPECT_FALSE(m.IntoElem());
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(Where(), "a#1");

    // An element without children can be entered and left.
    ASSERT_TRUE(m.IntoElem());
    EXPECT_FALSE(m.FindElem(nullptr));
    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "a#1");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(Where(), "b#2");

    // With a current child, that child is current on the new level.
    ASSERT_TRUE(m.FindChildElem("y"));
    ASSERT_TRUE(m.IntoElem());
    EXPECT_EQ(m.GetTagName(), "y");
    EXPECT_EQ(m.GetData(), "y1");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetData(), "x2");
}

TEST_P(MarkupNavigation, IntoChildElemNeedsACurrentChild) {
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("b"));
    EXPECT_FALSE(m.IntoChildElem());
    EXPECT_EQ(Where(), "b#2");

    ASSERT_TRUE(m.FindChildElem("y"));
    ASSERT_TRUE(m.IntoChildElem());
    EXPECT_EQ(m.GetTagName(), "y");
    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "b#2");
    EXPECT_EQ(Child(), "y:y1");
}

TEST_P(MarkupNavigation, OutOfElemLeavesTheInnerElementAsCurrentChild) {
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("b"));
    ASSERT_TRUE(m.IntoElem());
    ASSERT_TRUE(m.FindElem("y"));

    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "b#2");
    EXPECT_EQ(Child(), "y:y1");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(Child(), "x:x2");

    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(m.GetTagName(), "root");
    EXPECT_EQ(m.GetChildTagName(), "b");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(m.GetChildAttrib("id"), "3");

    EXPECT_FALSE(m.OutOfElem());
    EXPECT_EQ(m.GetTagName(), "root");
    EXPECT_EQ(m.GetChildAttrib("id"), "3");
}

TEST_P(MarkupNavigation, OutOfElemWithNothingCurrentInsideLeavesNoChild) {
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(m.GetTagName(), "root");
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(m.GetChildAttrib("id"), "1");
}

TEST_P(MarkupNavigation, ResetPosGoesBackBeforeTheRoot) {
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("b"));
    ASSERT_TRUE(m.IntoElem());
    ASSERT_TRUE(m.FindElem("y"));
    ASSERT_TRUE(m.OutOfElem());
    ASSERT_EQ(Child(), "y:y1");

    m.ResetPos();
    EXPECT_EQ(Where(), "#");
    EXPECT_EQ(Child(), ":");
    EXPECT_FALSE(m.OutOfElem());
    EXPECT_FALSE(m.FindChildElem(nullptr));
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "root");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(m.GetChildAttrib("id"), "1");
}

TEST_P(MarkupNamespaces, PrefixedTagsMatchOnlyWithTheirPrefix) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc(
        "<wms:WMS_Capabilities xmlns:wms=\"http://www.opengis.net/wms\""
        " xmlns:gml=\"http://www.opengis.net/gml\" xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
        "<gml:Envelope srsName=\"EPSG:4326\"/>"
        "<Envelope srsName=\"plain\"/>"
        "<OnlineResource xlink:href=\"http://example.com/wms?\"/>"
        "</wms:WMS_Capabilities>"));

    EXPECT_FALSE(m.FindElem("WMS_Capabilities"));
    ASSERT_TRUE(m.FindElem("wms:WMS_Capabilities"));
    EXPECT_EQ(m.GetTagName(), "wms:WMS_Capabilities");

    ASSERT_TRUE(m.FindChildElem("Envelope"));
    EXPECT_EQ(m.GetChildAttrib("srsName"), "plain");

    m.ResetPos();
    ASSERT_TRUE(m.FindElem("wms:WMS_Capabilities"));
    EXPECT_FALSE(m.FindChildElem("envelope"));
    EXPECT_FALSE(m.FindChildElem("ows:Envelope"));
    ASSERT_TRUE(m.FindChildElem("gml:Envelope"));
    EXPECT_EQ(m.GetChildTagName(), "gml:Envelope");
    EXPECT_EQ(m.GetChildAttrib("srsName"), "EPSG:4326");
    EXPECT_FALSE(m.FindChildElem("gml:Envelope"));

    ASSERT_TRUE(m.FindChildElem("OnlineResource"));
    EXPECT_EQ(m.GetChildAttrib("xlink:href"), "http://example.com/wms?");
    EXPECT_EQ(m.GetChildAttrib("href"), "");
}

TEST_P(MarkupContent, DataDecodesEntitiesAndJoinsCdata) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc(
        "<r><t>a &amp; b &lt;c&gt; &#65;&#x42; <![CDATA[<raw> & &amp;]]> end</t></r>"));
    ASSERT_TRUE(m.FindElem("r"));
    ASSERT_TRUE(m.FindChildElem("t"));
    EXPECT_EQ(m.GetChildData(), "a & b <c> AB <raw> & &amp; end");
    ASSERT_TRUE(m.IntoChildElem());
    EXPECT_EQ(m.GetData(), "a & b <c> AB <raw> & &amp; end");
}

TEST_P(MarkupContent, DataIsTheElementsOwnTextOnly) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc("<p>before<q>inner</q>after<e/></p>"));
    ASSERT_TRUE(m.FindElem("p"));
    EXPECT_EQ(m.GetData(), "beforeafter");
    ASSERT_TRUE(m.FindChildElem("q"));
    EXPECT_EQ(m.GetChildData(), "inner");
    ASSERT_TRUE(m.FindChildElem("e"));
    EXPECT_EQ(m.GetChildData(), "");
}

TEST_P(MarkupContent, DataIsNotTrimmed) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc("<r><w>  padded \n </w><s> </s><n></n></r>"));
    ASSERT_TRUE(m.FindElem("r"));
    ASSERT_TRUE(m.FindChildElem("w"));
    EXPECT_EQ(m.GetChildData(), "  padded \n ");
    ASSERT_TRUE(m.FindChildElem("s"));
    EXPECT_EQ(m.GetChildData(), " ");
    ASSERT_TRUE(m.FindChildElem("n"));
    EXPECT_EQ(m.GetChildData(), "");
}

TEST_P(MarkupContent, AttributesAreLookedUpByExactName) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc("<r id=\"7\" name=\"a &amp; b\" empty=\"\"><k v=\"1\"/></r>"));
    EXPECT_EQ(m.GetAttrib("id"), "");  // nothing current yet
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetAttrib("id"), "7");
    EXPECT_EQ(m.GetAttrib("name"), "a & b");
    EXPECT_EQ(m.GetAttrib("empty"), "");
    EXPECT_EQ(m.GetAttrib("missing"), "");
    EXPECT_EQ(m.GetAttrib("ID"), "");
    EXPECT_EQ(m.GetAttrib(nullptr), "");
    EXPECT_EQ(m.GetAttrib(""), "");

    EXPECT_EQ(m.GetChildAttrib("id"), "");  // no child yet, not the element's own
    ASSERT_TRUE(m.FindChildElem("k"));
    EXPECT_EQ(m.GetChildAttrib("v"), "1");
    EXPECT_EQ(m.GetChildAttrib("id"), "");
    EXPECT_EQ(m.GetChildAttrib(nullptr), "");
}

TEST_P(MarkupContent, SubDocRoundTrips) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc(
        "<?xml version=\"1.0\"?><root><before/>"
        "<item code=\"a&amp;b&lt;c\" note='say \"hi\"'>"
        "<name>Fish &amp; Chips</name><raw><![CDATA[1 < 2 && 3]]></raw><empty/>"
        "</item><after/></root>"));
    EXPECT_EQ(m.GetSubDoc(), "");
    ASSERT_TRUE(m.FindElem("root"));
    EXPECT_EQ(m.GetChildSubDoc(), "");
    ASSERT_TRUE(m.FindChildElem("item"));

    const std::string sub = m.GetChildSubDoc().str();
    EXPECT_EQ(sub.rfind("<item", 0), 0u) << sub;
    EXPECT_EQ(sub.find("<?xml"), std::string::npos) << sub;
    EXPECT_EQ(sub.find("before"), std::string::npos) << sub;
    EXPECT_EQ(sub.find("after"), std::string::npos) << sub;
    // Printed as is: no indentation or line breaks slipped in between tags.
    EXPECT_NE(sub.find("<name>Fish &amp; Chips</name><raw>"), std::string::npos) << sub;
    EXPECT_EQ(sub.find('\n'), std::string::npos) << sub;
    ASSERT_TRUE(m.IntoChildElem());
    EXPECT_EQ(m.GetSubDoc(), sub);

    VmMarkup copy;
    ASSERT_TRUE(copy.SetDoc(sub)) << copy.GetError().c_str();
    ASSERT_TRUE(copy.FindElem("item"));
    EXPECT_EQ(copy.GetAttrib("code"), "a&b<c");
    EXPECT_EQ(copy.GetAttrib("note"), "say \"hi\"");
    ASSERT_TRUE(copy.FindChildElem("name"));
    EXPECT_EQ(copy.GetChildData(), "Fish & Chips");
    ASSERT_TRUE(copy.FindChildElem("raw"));
    EXPECT_EQ(copy.GetChildData(), "1 < 2 && 3");
    ASSERT_TRUE(copy.FindChildElem("empty"));
    EXPECT_FALSE(copy.FindChildElem(nullptr));
    EXPECT_EQ(copy.GetSubDoc(), sub);
}

TEST_P(MarkupParsing, NothingLoadedIsSafe) {
    VmMarkup m;
    EXPECT_EQ(m.GetError(), "");
    ExpectNothingToNavigate(m);
    m.ResetPos();
    ExpectNothingToNavigate(m);
}

TEST_P(MarkupParsing, MalformedTextFailsWithReasonAndOffset) {
    const std::vector<std::string> malformed = {
        "",
        "   \n",
        "just text",
        "<!-- only a comment -->",
        "<root>",
        "<root><a></b></root>",
        "<root attr=></root>",
        "<root><1a/></root>",
        "<a/><b/>",
        "junk<root/>",
        "<root/>junk",
        "<root/><![CDATA[x]]>",
        "<root><a><!-- open</a></root>",
        "<root><a><![CDATA[open</a></root>",
        "<root><a b=\"1\" c></a></root>",
        "<root><a b=1></a></root>",
        "<root><a></a>",
        "<root></root><!-- open",
        "<root><!bogus></root>",
    };
    for (const std::string& text : malformed) {
        SCOPED_TRACE("text: " + text);
        VmMarkup m;
        EXPECT_FALSE(m.SetDoc(text));
        const std::string error = m.GetError().str();
        EXPECT_FALSE(error.empty());
        const long offset = OffsetIn(error);
        EXPECT_GE(offset, 0) << error;
        EXPECT_LE(offset, static_cast<long>(text.size())) << error;
        ExpectNothingToNavigate(m);
    }
}

TEST_P(MarkupParsing, ErrorOffsetPointsPastTheWellFormedPart) {
    std::string text = "<root>";
    for (int i = 0; i < 20; ++i) text += "<ok>fine</ok>";
    const size_t bad = text.size();
    text += "<bad></wrong></root>";
    VmMarkup m;
    ASSERT_FALSE(m.SetDoc(text));
    const long offset = OffsetIn(m.GetError().str());
    EXPECT_GE(offset, static_cast<long>(bad)) << m.GetError().c_str();
    EXPECT_LE(offset, static_cast<long>(text.size())) << m.GetError().c_str();

    const std::string twoRoots = "<first/>\n  <second/>";
    ASSERT_FALSE(m.SetDoc(twoRoots));
    EXPECT_EQ(OffsetIn(m.GetError().str()), static_cast<long>(twoRoots.find("<second")))
        << m.GetError().c_str();
}

TEST_P(MarkupParsing, FailedLoadDiscardsThePreviousDocument) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc(kDoc));
    ASSERT_TRUE(m.FindElem("root"));
    ASSERT_TRUE(m.IntoElem());
    ASSERT_TRUE(m.FindElem("b"));

    // pugixml keeps what it parsed before the error; none of it may show.
    EXPECT_FALSE(m.SetDoc("<root><b id=\"2\"><x>partial"));
    EXPECT_FALSE(m.GetError().IsEmpty());
    ExpectNothingToNavigate(m);

    ASSERT_TRUE(m.SetDoc("<other/>"));
    EXPECT_EQ(m.GetError(), "");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "other");
}

TEST_P(MarkupParsing, NewDocumentStartsBeforeItsRoot) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc(kDoc));
    ASSERT_TRUE(m.FindElem("root"));
    ASSERT_TRUE(m.FindChildElem("b"));
    ASSERT_TRUE(m.IntoChildElem());

    ASSERT_TRUE(m.SetDoc("<next><n/></next>"));
    EXPECT_EQ(m.GetTagName(), "");
    EXPECT_EQ(m.GetChildTagName(), "");
    EXPECT_FALSE(m.OutOfElem());
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "next");
}

TEST_P(MarkupParsing, DoctypeIsAcceptedButNothingInItIsApplied) {
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc("<!DOCTYPE r SYSTEM \"http://example.invalid/r.dtd\"><r>x</r>")) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData(), "x");

    ASSERT_TRUE(m.SetDoc(
        "<!DOCTYPE r [<!ENTITY e \"EXPANDED\"><!ATTLIST r injected CDATA \"yes\">]>"
        "<r a=\"&e;\">&e;</r>")) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData().Find("EXPANDED"), -1) << m.GetData().c_str();
    EXPECT_EQ(m.GetAttrib("a").Find("EXPANDED"), -1) << m.GetAttrib("a").c_str();
    EXPECT_EQ(m.GetAttrib("injected"), "");

    ASSERT_TRUE(m.SetDoc("<!DOCTYPE r [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><r>&x;</r>"))
        << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData().Find("root:"), -1) << m.GetData().c_str();
    EXPECT_EQ(m.GetSubDoc().Find("root:"), -1) << m.GetSubDoc().c_str();
}

class MarkupFile : public MarkupForm {
protected:
    void SetUp() override {
        MarkupForm::SetUp();
        static int serial = 0;
        dir = fs::temp_directory_path() /
              ("vmmarkup-test-" + std::to_string(::getpid()) + "-" + std::to_string(++serial));
        fs::remove_all(dir);
        ASSERT_TRUE(fs::create_directories(dir));
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir, ec);
        MarkupForm::TearDown();
    }
    std::string Write(const std::string& name, const std::string& content) {
        const fs::path path = dir / name;
        std::ofstream out(path, std::ios::binary);
        out << content;
        return path.string();
    }
    fs::path dir;
};

TEST_P(MarkupFile, LoadReadsAFile) {
    VmMarkup m;
    ASSERT_TRUE(m.Load(Write("doc.xml", kDoc))) << m.GetError().c_str();
    EXPECT_EQ(m.GetError(), "");
    EXPECT_EQ(m.GetTagName(), "");
    ASSERT_TRUE(m.FindElem("root"));
    ASSERT_TRUE(m.FindChildElem("c"));
    EXPECT_EQ(m.GetChildAttrib("id"), "4");

    // A byte order mark must not end up in the first tag name.
    ASSERT_TRUE(m.Load(Write("bom.xml", "\xEF\xBB\xBF<r>caf\xC3\xA9</r>"))) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData(), "caf\xC3\xA9");
}

TEST_P(MarkupFile, AFileRewrittenInPlaceIsReadAfresh) {
    // Same size, same inode and, most likely, the same modification time.
    const std::string path = Write("doc.xml", "<r><aa/><b/></r>");
    VmMarkup m;
    ASSERT_TRUE(m.Load(path)) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    ASSERT_TRUE(m.FindChildElem("aa"));
    Write("doc.xml", "<r><a/><bb/></r>");
    ASSERT_TRUE(m.Load(path)) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_FALSE(m.FindChildElem("aa"));
    ASSERT_TRUE(m.FindChildElem("bb"));
    ASSERT_TRUE(m.IntoChildElem());
    EXPECT_EQ(m.GetTagName(), "bb");
}

TEST_P(MarkupFile, LoadFailsOnWhatIsNotAWellFormedFile) {
    VmMarkup m;
    const std::string good = Write("good.xml", kDoc);
    const std::string missing = (dir / "absent.xml").string();

    ASSERT_TRUE(m.Load(good));
    EXPECT_FALSE(m.Load(missing));
    EXPECT_NE(m.GetError().Find("absent.xml"), -1) << m.GetError().c_str();
    ExpectNothingToNavigate(m);

    ASSERT_TRUE(m.Load(good));
    EXPECT_FALSE(m.Load(dir.string()));
    EXPECT_NE(m.GetError().Find(dir.filename().string().c_str()), -1) << m.GetError().c_str();
    ExpectNothingToNavigate(m);

    ASSERT_TRUE(m.Load(good));
    const std::string broken = "<root><a></root>";
    EXPECT_FALSE(m.Load(Write("broken.xml", broken)));
    const long offset = OffsetIn(m.GetError().str());
    EXPECT_GE(offset, 0) << m.GetError().c_str();
    EXPECT_LE(offset, static_cast<long>(broken.size())) << m.GetError().c_str();
    ExpectNothingToNavigate(m);

    EXPECT_FALSE(m.Load(""));
    EXPECT_FALSE(m.GetError().IsEmpty());
}

TEST_P(MarkupFile, ExternalEntitiesAreNeverRead) {
    const std::string marker = "SECRET-CONTENT-4f1c";
    const std::string secret = Write("secret.txt", marker);
    const std::string text =
        "<!DOCTYPE r [<!ENTITY rel SYSTEM \"secret.txt\">"
        "<!ENTITY abs SYSTEM \"file://" + secret + "\">]>"
        "<r a=\"&rel;\">&rel;&abs;<c>&abs;</c></r>";

    VmMarkup fromFile;
    ASSERT_TRUE(fromFile.Load(Write("doc.xml", text))) << fromFile.GetError().c_str();
    VmMarkup fromText;
    ASSERT_TRUE(fromText.SetDoc(text)) << fromText.GetError().c_str();

    for (VmMarkup* m : {&fromFile, &fromText}) {
        ASSERT_TRUE(m->FindElem("r"));
        ASSERT_TRUE(m->FindChildElem("c"));
        EXPECT_EQ(m->GetData().Find(marker.c_str()), -1) << m->GetData().c_str();
        EXPECT_EQ(m->GetAttrib("a").Find(marker.c_str()), -1) << m->GetAttrib("a").c_str();
        EXPECT_EQ(m->GetChildData().Find(marker.c_str()), -1) << m->GetChildData().c_str();
        EXPECT_EQ(m->GetSubDoc().Find(marker.c_str()), -1) << m->GetSubDoc().c_str();
    }
}

OGCTEST_BOTH_FORMS(MarkupContent);
OGCTEST_BOTH_FORMS(MarkupFile);
OGCTEST_BOTH_FORMS(MarkupNamespaces);
OGCTEST_BOTH_FORMS(MarkupNavigation);
OGCTEST_BOTH_FORMS(MarkupParsing);


// ---------------------------------------------------------------------------
// The outlined form against the whole tree on real documents

// What a reader can see of a document: every element's tag and own text in
// document order, the children each one lists, and the sub-documents of the
// root and its children (which carry their attributes).
void Walk(VmMarkup& m, int depth, std::string& out) {
    while (m.FindElem()) {
        out += std::string(static_cast<size_t>(depth), ' ') + m.GetTagName().str() + " [" + m.GetData().str() + "]\n";
        if (depth <= 1) out += m.GetSubDoc().str() + "\n";
        while (m.FindChildElem()) out += "  > " + m.GetChildTagName().str() + "\n";
        m.ResetChildPos();
        if (m.IntoElem()) {
            Walk(m, depth + 1, out);
            EXPECT_TRUE(m.OutOfElem());
        }
    }
}

struct Reading {
    bool loaded = false;
    std::string seen;
};

Reading ReadInForm(const std::string& path, size_t threshold) {
    const size_t saved = VmMarkup::SetOutlineThreshold(threshold);
    Reading reading;
    VmMarkup m;
    reading.loaded = m.Load(path) != 0;
    if (reading.loaded) Walk(m, 0, reading.seen);
    VmMarkup::SetOutlineThreshold(saved);
    return reading;
}

TEST(MarkupForms, CorpusDocumentsReadTheSameInBothForms) {
    const std::string corpus = OGCWEB_CORPUS_DIR;
    std::ifstream manifest(corpus + "/MANIFEST.tsv");
    if (!manifest) {
        if (std::getenv("CI")) FAIL() << "the corpus is missing at " << corpus;
        GTEST_SKIP() << "no corpus beside the project";
    }
    std::string line;
    std::getline(manifest, line);  // column names
    int documents = 0, loaded = 0;
    while (std::getline(manifest, line)) {
        const std::string file = line.substr(0, line.find('\t'));
        if (file.empty()) continue;
        SCOPED_TRACE(file);
        const Reading tree = ReadInForm(corpus + "/" + file, kWholeTree);
        const Reading outlined = ReadInForm(corpus + "/" + file, kOutlined);
        ++documents;
        loaded += tree.loaded ? 1 : 0;
        EXPECT_EQ(outlined.loaded, tree.loaded);
        // Compared as a whole but not printed: the texts run to megabytes.
        EXPECT_TRUE(outlined.seen == tree.seen) << "the outlined form reads differently";
    }
    EXPECT_GT(documents, 200);
    EXPECT_GT(loaded, 200);
}

TEST(MarkupForms, LargeDocumentsInOtherEncodingsAreStillDecoded) {
    const size_t saved = VmMarkup::SetOutlineThreshold(kOutlined);
    VmMarkup m;
    ASSERT_TRUE(m.SetDoc("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r><n>caf\xE9</n></r>"))
        << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    ASSERT_TRUE(m.FindChildElem("n"));
    EXPECT_EQ(m.GetChildData(), "caf\xC3\xA9");
    VmMarkup::SetOutlineThreshold(saved);
}

} // namespace
