#include "TestSupport.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

using VMK::VmMarkup;
namespace fs = std::filesystem;

namespace {

// Elements among a declaration, comments, loose text and a processing instruction: navigation steps over those.
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
    const size_t at = error.rfind("offset ");
    if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(error[at + 7]))) return -1;
    return std::strtol(error.c_str() + at + 7, nullptr, 10);
}

// Everything a caller could read or move to must be absent.
void ExpectNothingToNavigate(VmMarkup& m) {
    EXPECT_EQ(m.GetTagName().str() + m.GetChildTagName().str() + m.GetData().str() + m.GetSubDoc().str() +
                  m.GetAttrib("id").str(), "");
    EXPECT_FALSE(m.FindChildElem(nullptr));
    EXPECT_FALSE(m.IntoElem());
    EXPECT_FALSE(m.IntoChildElem());
    EXPECT_FALSE(m.OutOfElem());
    EXPECT_FALSE(m.FindElem(nullptr));
}

// Every case runs twice: with the document parsed into one tree, and with
// it outlined (the form large documents take), which must navigate the same.
const size_t kWholeTree = size_t(1) << 40;
const size_t kOutlined = 0;

class Markup : public ::testing::TestWithParam<size_t> {
protected:
    void SetUp() override { m_saved = VmMarkup::SetOutlineThreshold(GetParam()); }
    void TearDown() override { VmMarkup::SetOutlineThreshold(m_saved); }

    bool Load(const char* text) {
        const bool ok = m.SetDoc(text);
        EXPECT_TRUE(ok) << m.GetError().c_str();
        return ok;
    }
    bool EnterRoot() { return m.FindElem("root") && m.IntoElem(); }
    // "tag#id" of the current element, "#" when none is current.
    std::string Where() const { return m.GetTagName().str() + "#" + m.GetAttrib("id").str(); }
    // "tag:data" of the current child, ":" when none is current.
    std::string Child() const { return m.GetChildTagName().str() + ":" + m.GetChildData().str(); }

    std::string Write(const char* name, const std::string& content) {
        std::ofstream(m_folder.Path(name).c_str(), std::ios::binary) << content;
        return m_folder.Path(name).str();
    }

    VmMarkup m;
    VMK::TempFolder m_folder;

private:
    size_t m_saved = 0;
};

INSTANTIATE_TEST_SUITE_P(Forms, Markup, ::testing::Values(kWholeTree, kOutlined),
                         [](const ::testing::TestParamInfo<size_t>& info) {
                             return std::string(info.param == kOutlined ? "Outlined" : "WholeTree");
                         });

TEST_P(Markup, FindElemSearchesForwardAndKeepsPositionOnFailure) {
    ASSERT_TRUE(Load(kDoc));
    // The top level holds only the root.
    EXPECT_FALSE(m.FindElem("a"));
    EXPECT_EQ(Where(), "#");
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#1");
    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Where(), "a#3");  // b in between is passed over
    for (const char* absent : {"a", "b", "x"}) {  // no more, behind, one level down
        EXPECT_FALSE(m.FindElem(absent)) << absent;
        EXPECT_EQ(Where(), "a#3") << absent;
    }
    ASSERT_TRUE(m.FindElem("c"));
    EXPECT_EQ(Where(), "c#4");

    // Any name (null or empty) walks every sibling.
    for (const char* any : {static_cast<const char*>(nullptr), ""}) {
        m.ResetPos();
        ASSERT_TRUE(EnterRoot());
        std::vector<std::string> seen;
        while (seen.size() < 10 && m.FindElem(any)) seen.push_back(Where());
        EXPECT_EQ(seen, (std::vector<std::string>{"a#1", "b#2", "a#3", "c#4"}));
    }
}

TEST_P(Markup, FindChildElemWalksTheCurrentElementsChildren) {
    ASSERT_TRUE(Load(kDoc));
    EXPECT_FALSE(m.FindChildElem(nullptr));  // no current element yet
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.FindElem("b"));
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.FindChildElem("x"));
    ASSERT_TRUE(m.FindChildElem("x"));
    EXPECT_EQ(Child(), "x:x2");
    EXPECT_FALSE(m.FindChildElem("y"));  // behind the current child
    EXPECT_FALSE(m.FindChildElem(nullptr));
    EXPECT_EQ(Child(), "x:x2");
    EXPECT_EQ(Where(), "b#2");

    // A new current element starts its children from the first one.
    ASSERT_TRUE(m.FindElem("a"));
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.FindChildElem(""));
    EXPECT_EQ(Child(), "z:z1");
}

TEST_P(Markup, IntoElemEntersTheCurrentElementOrItsCurrentChild) {
    ASSERT_TRUE(Load(kDoc));
    EXPECT_FALSE(m.IntoElem());  // nothing current before the root
    ASSERT_TRUE(EnterRoot());
    // Without a current child the new level starts before its first element.
    EXPECT_EQ(Where(), "#");
    EXPECT_FALSE(m.IntoElem());
    ASSERT_TRUE(m.FindElem(nullptr));

    // An element without children can be entered and left.
    ASSERT_TRUE(m.IntoElem());
    EXPECT_FALSE(m.FindElem(nullptr));
    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "a#1");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_FALSE(m.IntoChildElem());  // needs a current child
    EXPECT_EQ(Where(), "b#2");

    // With a current child, that child is current on the new level.
    ASSERT_TRUE(m.FindChildElem("y"));
    ASSERT_TRUE(m.IntoChildElem());
    EXPECT_EQ(Where(), "y#");
    ASSERT_TRUE(m.OutOfElem());
    ASSERT_TRUE(m.IntoElem());
    EXPECT_EQ(Where(), "y#");
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetData(), "x2");
}

TEST_P(Markup, OutOfElemLeavesTheInnerElementAsCurrentChild) {
    ASSERT_TRUE(Load(kDoc));
    ASSERT_TRUE(EnterRoot());
    ASSERT_TRUE(m.OutOfElem());  // nothing current inside: no current child
    EXPECT_EQ(Child(), ":");
    ASSERT_TRUE(m.IntoElem());
    ASSERT_TRUE(m.FindElem("b"));
    ASSERT_TRUE(m.IntoElem());
    ASSERT_TRUE(m.FindElem("y"));

    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "b#2");
    EXPECT_EQ(Child(), "y:y1");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(Child(), "x:x2");

    ASSERT_TRUE(m.OutOfElem());
    EXPECT_EQ(Where(), "root#");
    EXPECT_EQ(m.GetChildTagName(), "b");
    ASSERT_TRUE(m.FindChildElem(nullptr));
    EXPECT_EQ(m.GetChildAttrib("id"), "3");
    EXPECT_FALSE(m.OutOfElem());
    EXPECT_EQ(m.GetChildAttrib("id"), "3");

    m.ResetPos();
    EXPECT_EQ(Where() + Child(), "#:");
    EXPECT_FALSE(m.OutOfElem());
}

TEST_P(Markup, DataIsTheOwnTextDecodedAndUntrimmed) {
    ASSERT_TRUE(Load("<r><t>a &amp; b &lt;c&gt; &#65;&#x42; <![CDATA[<raw> & &amp;]]> end</t>"
                     "<p>  before<q>inner</q>after \n</p><s> </s><e/></r>"));
    ASSERT_TRUE(m.FindElem("r"));
    ASSERT_TRUE(m.FindChildElem("t"));
    EXPECT_EQ(m.GetChildData(), "a & b <c> AB <raw> & &amp; end");
    ASSERT_TRUE(m.FindChildElem("p"));
    EXPECT_EQ(m.GetChildData(), "  beforeafter \n");
    ASSERT_TRUE(m.IntoChildElem());
    ASSERT_TRUE(m.FindElem("s"));
    EXPECT_EQ(m.GetData(), " ");
    ASSERT_TRUE(m.FindElem("e"));
    EXPECT_EQ(m.GetData(), "");

    // Text in another encoding comes out as UTF-8.
    ASSERT_TRUE(Load("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><r>caf\xE9</r>"));
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData(), "caf\xC3\xA9");
}

TEST_P(Markup, NamesAreMatchedExactlyWithTheirPrefix) {
    ASSERT_TRUE(Load("<wms:Caps xmlns:wms=\"w\" xmlns:gml=\"g\" xmlns:xlink=\"x\" id=\"7\" name=\"a &amp; b\" empty=\"\">"
                     "<gml:Envelope srs=\"EPSG:4326\"/><Envelope srs=\"plain\"/><Link xlink:href=\"http://h/wms?\"/>"
                     "</wms:Caps>"));
    EXPECT_EQ(m.GetAttrib("id"), "");  // nothing current yet
    EXPECT_FALSE(m.FindElem("Caps"));
    ASSERT_TRUE(m.FindElem("wms:Caps"));
    EXPECT_EQ(m.GetAttrib("id"), "7");
    EXPECT_EQ(m.GetAttrib("name"), "a & b");
    for (const char* absent : {"empty", "missing", "ID", "", static_cast<const char*>(nullptr)})
        EXPECT_EQ(m.GetAttrib(absent), "") << (absent ? absent : "null");
    EXPECT_EQ(m.GetChildAttrib("id"), "");  // no child yet, not the element's own

    ASSERT_TRUE(m.FindChildElem("Envelope"));
    EXPECT_EQ(m.GetChildAttrib("srs"), "plain");
    m.ResetChildPos();
    EXPECT_FALSE(m.FindChildElem("ows:Envelope"));
    ASSERT_TRUE(m.FindChildElem("gml:Envelope"));
    EXPECT_EQ(m.GetChildAttrib("srs"), "EPSG:4326");
    ASSERT_TRUE(m.FindChildElem("Link"));
    EXPECT_EQ(m.GetChildAttrib("xlink:href"), "http://h/wms?");
    EXPECT_EQ(m.GetChildAttrib("href"), "");
}

TEST_P(Markup, SubDocRoundTrips) {
    ASSERT_TRUE(Load("<?xml version=\"1.0\"?><root><before/><item code=\"a&amp;b&lt;c\" note='say \"hi\"'>"
                     "<name>Fish &amp; Chips</name><raw><![CDATA[1 < 2 && 3]]></raw></item><after/></root>"));
    ASSERT_TRUE(m.FindElem("root"));
    ASSERT_TRUE(m.FindChildElem("item"));
    const std::string sub = m.GetChildSubDoc().str();
    // Only the item, printed as is: no indentation or line breaks slipped in between tags.
    EXPECT_EQ(sub.rfind("<item", 0), 0u) << sub;
    EXPECT_EQ(sub.substr(sub.size() - 7), "</item>") << sub;
    EXPECT_NE(sub.find("<name>Fish &amp; Chips</name><raw>"), std::string::npos) << sub;

    VmMarkup copy;
    ASSERT_TRUE(copy.SetDoc(sub)) << copy.GetError().c_str();
    ASSERT_TRUE(copy.FindElem("item"));
    EXPECT_EQ(copy.GetAttrib("code") + "|" + copy.GetAttrib("note"), "a&b<c|say \"hi\"");
    ASSERT_TRUE(copy.FindChildElem("raw"));
    EXPECT_EQ(copy.GetChildData(), "1 < 2 && 3");
    EXPECT_EQ(copy.GetSubDoc(), sub);
}

TEST_P(Markup, MalformedTextFailsWithReasonAndOffset) {
    ExpectNothingToNavigate(m);  // nothing loaded yet
    const std::string malformed[] = {
        "", "   \n", "just text", "<!-- only a comment -->", "<root>", "<root><a></b></root>",
        "<root attr=></root>", "<root><1a/></root>", "<a/><b/>", "junk<root/>", "<root/>junk",
        "<root/><![CDATA[x]]>", "<root><a><!-- open</a></root>", "<root><a><![CDATA[open</a></root>",
        "<root><a b=\"1\" c></a></root>", "<root><a b=1></a></root>", "<root><a></a>", "<root></root><!-- open",
        "<root><!bogus></root>",
    };
    for (const std::string& text : malformed) {
        SCOPED_TRACE("text: " + text);
        EXPECT_FALSE(m.SetDoc(text));
        const std::string error = m.GetError().str();
        const long offset = OffsetIn(error);
        EXPECT_GE(offset, 0) << error;
        EXPECT_LE(offset, static_cast<long>(text.size())) << error;
        ExpectNothingToNavigate(m);
    }
    // The offset points past the well-formed part.
    const std::string twoRoots = "<first/>\n  <second/>";
    ASSERT_FALSE(m.SetDoc(twoRoots));
    EXPECT_EQ(OffsetIn(m.GetError().str()), static_cast<long>(twoRoots.find("<second"))) << m.GetError().c_str();
}

TEST_P(Markup, EachLoadReplacesThePreviousDocumentAndPosition) {
    ASSERT_TRUE(Load(kDoc));
    ASSERT_TRUE(m.FindElem("root"));
    ASSERT_TRUE(m.FindChildElem("b"));
    ASSERT_TRUE(m.IntoChildElem());
    ASSERT_TRUE(Load("<next><n/></next>"));
    EXPECT_EQ(m.GetError(), "");
    EXPECT_EQ(Where() + Child(), "#:");
    EXPECT_FALSE(m.OutOfElem());
    ASSERT_TRUE(m.FindElem(nullptr));
    EXPECT_EQ(m.GetTagName(), "next");
}

TEST_P(Markup, LoadReadsFilesAfreshAndFailsWithTheReason) {
    // A byte order mark must not end up in the first tag name.
    ASSERT_TRUE(m.Load(Write("bom.xml", "\xEF\xBB\xBF<r>caf\xC3\xA9</r>"))) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_EQ(m.GetData(), "caf\xC3\xA9");

    // Rewritten in place: same size, same inode and, most likely, the same time.
    const std::string path = Write("same.xml", "<r><aa/><b/></r>");
    ASSERT_TRUE(m.Load(path));
    Write("same.xml", "<r><a/><bb/></r>");
    ASSERT_TRUE(m.Load(path)) << m.GetError().c_str();
    ASSERT_TRUE(m.FindElem("r"));
    EXPECT_FALSE(m.FindChildElem("aa"));
    EXPECT_TRUE(m.FindChildElem("bb"));

    // A failed load gives its reason and leaves nothing of the document before.
    ASSERT_TRUE(fs::create_directory(m_folder.Path("a-directory").str()));
    const std::pair<std::string, std::string> failures[] = {
        {m_folder.Path("absent.xml").str(), "absent.xml"},
        {m_folder.Path("a-directory").str(), "a-directory"},
        {Write("broken.xml", "<root><a></root>"), "offset "},
    };
    for (const auto& failure : failures) {
        ASSERT_TRUE(m.Load(path));
        ASSERT_TRUE(m.FindElem("r"));
        EXPECT_FALSE(m.Load(failure.first));
        EXPECT_NE(m.GetError().Find(failure.second.c_str()), -1) << m.GetError().c_str();
        ExpectNothingToNavigate(m);
    }
}

TEST_P(Markup, DoctypeIsAcceptedButNoEntityIsEverRead) {
    const std::string marker = "SECRET-CONTENT-4f1c";
    const std::string secret = Write("secret.txt", marker);
    const std::string text = "<!DOCTYPE r SYSTEM \"http://example.invalid/r.dtd\" [<!ENTITY rel SYSTEM \"secret.txt\">"
                             "<!ENTITY abs SYSTEM \"file://" + secret + "\"><!ENTITY e \"EXPANDED\">"
                             "<!ATTLIST r injected CDATA \"yes\">]><r a=\"&rel;&e;\">&rel;&abs;&e;<c>&abs;</c></r>";
    VmMarkup fromFile;
    ASSERT_TRUE(fromFile.Load(Write("doc.xml", text))) << fromFile.GetError().c_str();
    ASSERT_TRUE(Load(text.c_str()));
    for (VmMarkup* doc : {&fromFile, &m}) {
        ASSERT_TRUE(doc->FindElem("r"));
        ASSERT_TRUE(doc->FindChildElem("c"));
        EXPECT_EQ(doc->GetAttrib("injected"), "");
        for (const PLX::PlxMBString& seen : {doc->GetData(), doc->GetAttrib("a"), doc->GetChildData(), doc->GetSubDoc()}) {
            EXPECT_EQ(seen.Find(marker.c_str()), -1) << seen.c_str();
            EXPECT_EQ(seen.Find("EXPANDED"), -1) << seen.c_str();
        }
    }
}

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

// What is seen of the file in one form; "!" when it does not load.
std::string ReadInForm(const std::string& path, size_t threshold) {
    const size_t saved = VmMarkup::SetOutlineThreshold(threshold);
    std::string seen;
    VmMarkup m;
    if (m.Load(path)) Walk(m, 0, seen);
    else seen = "!";
    VmMarkup::SetOutlineThreshold(saved);
    return seen;
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
        const std::string tree = ReadInForm(corpus + "/" + file, kWholeTree);
        ++documents;
        loaded += tree != "!" ? 1 : 0;
        // Compared as a whole but not printed: the texts run to megabytes.
        EXPECT_TRUE(ReadInForm(corpus + "/" + file, kOutlined) == tree) << "the outlined form reads differently";
    }
    EXPECT_GT(documents, 200);
    EXPECT_GT(loaded, 200);
}

} // namespace
