// GetFeatureInfo: the request object, its URL and grouping of query layers,
// the plain-text and XML readers on real and handwritten answers, and the
// WMS dataset's entry point against scripted and real servers.
#include "FeatureInfoAccess.h"
#include "OGCCapabilities.h"
#include "SampleServer.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMS.h"
#include "VmNetwork.h"
#include "VmWMSFeatureInfos.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace VMK;
using Access = VmWMSFeatureInfosTestAccess;
using Fields = PlxDict<PlxMBString, PlxMBString>;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

std::map<std::string, std::string> AsMap(const Fields& fields) {
    std::map<std::string, std::string> map;
    for (const auto& field : fields) map[field.first.str()] = field.second.str();
    return map;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const PlxMBString& path, const std::string& bytes) {
    std::ofstream out(path.str(), std::ios::binary);
    out << bytes;
}

bool Exists(const PlxMBString& path) { return std::filesystem::exists(path.str()); }

// The corpus's answers are served, never handed to the reader by their own
// path: a successful read deletes the file it read.
std::string Corpus(const std::string& relative) { return std::string(OGCWEB_CORPUS_DIR) + "/" + relative; }

// `bytes` as a real download: served on loopback and fetched into the
// temporary folder, as the engine gets its answers.
PlxMBString Download(const std::string& bytes, const std::string& contentType = "text/plain") {
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Ok(bytes, contentType));
    return VmHttpHelper::RequestFile(server.Url("/answer").c_str(), "", "", 0, 1);
}

struct TextReaderTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    int serial = 0;

    PlxMBString Handwritten(const std::string& text) {
        PlxMBString path = temp.Path(("answer" + std::to_string(++serial) + ".txt").c_str());
        WriteFile(path, text);
        return path;
    }
};

} // namespace

// ---------------------------------------------------------------------------
// The request object

TEST(FeatureInfoRequestTest, DefaultsAndCopiesCarryEveryField) {
    VmWMSFeatureInfos fresh;
    EXPECT_EQ(fresh.GetMainURL(), "");
    EXPECT_EQ(fresh.GetBox(), "");
    EXPECT_EQ(fresh.GetStyle(), "");
    EXPECT_EQ(fresh.GetFormat(), "jpeg");
    EXPECT_EQ(fresh.GetInfoFormat(), "text/plain");
    EXPECT_EQ(fresh.GetRequest(), "GetFeatureInfo");
    EXPECT_EQ(fresh.GetLayers(), "");
    EXPECT_EQ(fresh.GetQueryLayers(), "");
    EXPECT_EQ(fresh.GetWidth(), 0);
    EXPECT_EQ(fresh.GetHeight(), 0);
    EXPECT_EQ(fresh.GetPx(), 0);
    EXPECT_EQ(fresh.GetPy(), 0);
    EXPECT_EQ(fresh.GetCRSName(), "");

    VmWMSFeatureInfos set;
    set.SetMainURL("http://h/wms?");
    set.SetBox("1,2,3,4");
    set.SetStyle("s");
    set.SetFormat("image/png");
    set.SetInfoFormat("text/xml");
    set.SetRequest("feature_info");
    set.SetLayers("B,A");
    set.SetQueryLayers("ns:A");
    set.SetWidth(800);
    set.SetHeight(600);
    set.SetPx(7);
    set.SetPy(9);
    set.SetCRSName("EPSG:3857");
    VmWMSFeatureInfos copied(set);
    VmWMSFeatureInfos assigned;
    assigned = set;
    for (const VmWMSFeatureInfos* f : {&copied, &assigned}) {
        EXPECT_EQ(f->GetMainURL(), "http://h/wms?");
        EXPECT_EQ(f->GetBox(), "1,2,3,4");
        EXPECT_EQ(f->GetStyle(), "s");
        EXPECT_EQ(f->GetFormat(), "image/png");
        EXPECT_EQ(f->GetInfoFormat(), "text/xml");
        EXPECT_EQ(f->GetRequest(), "feature_info");
        EXPECT_EQ(f->GetLayers(), "B,A");
        EXPECT_EQ(f->GetQueryLayers(), "ns:A");
        EXPECT_EQ(f->GetWidth(), 800);
        EXPECT_EQ(f->GetHeight(), 600);
        EXPECT_EQ(f->GetPx(), 7);
        EXPECT_EQ(f->GetPy(), 9);
        EXPECT_EQ(f->GetCRSName(), "EPSG:3857");
    }
}

TEST(FeatureInfoRequestTest, URLFollowsTheTemplate) {
    VmWMSFeatureInfos f;
    f.SetMainURL("http://h/wms?");
    f.SetBox("0.000000,-10.000000,20.000000,10.000000");
    f.SetLayers("B,A");
    f.SetWidth(256);
    f.SetHeight(128);
    f.SetPx(10);
    f.SetPy(20);
    f.SetCRSName("EPSG:3857");  // kept, never sent
    EXPECT_EQ(Access::URL(f, "ns:A,ns:B"),
              "http://h/wms?bbox=0.000000,-10.000000,20.000000,10.000000&format=jpeg&info_format=text/plain"
              "&SRS=EPSG:4326&request=GetFeatureInfo&layers=B,A&query_layers=ns:A,ns:B&width=256&height=128&X=10&Y=20");

    f.SetStyle("dark,");
    f.SetFormat("image/png");
    f.SetInfoFormat("application/vnd.ogc.gml");
    PlxMBString styled = Access::URL(f, "ns:A");
    EXPECT_EQ(styled,
              "http://h/wms?bbox=0.000000,-10.000000,20.000000,10.000000&styles=dark,&format=image/png"
              "&info_format=application/vnd.ogc.gml&SRS=EPSG:4326&request=GetFeatureInfo&layers=B,A"
              "&query_layers=ns:A&width=256&height=128&X=10&Y=20");
    EXPECT_LT(styled.Find("VERSION"), 0) << "no version is sent";
    EXPECT_LT(styled.Find("SERVICE"), 0) << "no service is sent";

    // Only the low 32 bits of each number travel, as a signed number.
    f.SetWidth((1LL << 32) + 5);
    f.SetHeight(-2);
    f.SetPx(0xFFFFFFFFLL);
    f.SetPy((3LL << 32) | 0x80000000LL);
    EXPECT_NE(Access::URL(f, "ns:A").Find("&width=5&height=-2&X=-1&Y=-2147483648"), -1) << Access::URL(f, "ns:A").str();
}

TEST(FeatureInfoRequestTest, QueryLayersGroupByPrefix) {
    struct Case {
        std::vector<const char*> names;
        std::vector<std::string> prefixes;
        std::map<std::string, std::string> groups;
    } cases[] = {
        {{"ns1:states", "ns1:roads", "ns2:roads"}, {"ns1", "ns2"}, {{"ns1", "ns1:states,ns1:roads"}, {"ns2", "ns2:roads"}}},
        // Without a ":" or "@" a layer belongs to no request.
        {{"states", "roads"}, {}, {}},
        // Without a ":", the text before the first "@" is the prefix.
        {{"hydro@rivers", "hydro@lakes", "admin@towns"}, {"hydro", "admin"},
         {{"hydro", "hydro@rivers,hydro@lakes"}, {"admin", "admin@towns"}}},
        // The first ":" wins over an earlier "@".
        {{"a@b:c", "a@b:d"}, {"a@b"}, {{"a@b", "a@b:c,a@b:d"}}},
        // An empty prefix leaves the layer out too.
        {{":lonely", "@alone", "x:y:z"}, {"x"}, {{"x", "x:y:z"}}},
        // Prefixes go out in the order first met, whatever their spelling.
        {{"zz:1", "aa:1", "zz:2"}, {"zz", "aa"}, {{"aa", "aa:1"}, {"zz", "zz:1,zz:2"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.names.front());
        VmWMSFeatureInfos f;
        PlxArray<PlxMBString> prefixes;
        Fields groups;
        for (const char* name : c.names) Access::Store(f, name, prefixes, groups);
        std::vector<std::string> got;
        for (const PlxMBString& p : prefixes) got.push_back(p.str());
        EXPECT_EQ(got, c.prefixes);
        EXPECT_EQ(AsMap(groups), c.groups);
    }
}

TEST(FeatureInfoRequestTest, OneRequestPerPrefixWithoutCredentials) {
    TempFolder temp;
    LogCapture log;
    ScriptedServer server([](const ScriptedRequest& r) {
        if (r.Param("query_layers") == "ns1:states,ns1:roads")
            return ScriptedResponse::Ok("Results:\r\n------\r\nNAME = Elm\r\nLANES = 2\r\n", "text/plain");
        return ScriptedResponse::Ok("Results:\r\n------\r\nLANES = 4\r\nKIND = street\r\n", "text/plain");
    });
    VmWMSFeatureInfos f;
    f.SetMainURL((server.Url("/fi") + "?").c_str());
    f.SetBox("1.000000,2.000000,3.000000,4.000000");
    f.SetLayers("ns2:roads,ns1:roads,ns1:states");
    f.SetQueryLayers("ns1:states,ns1:roads,ns2:roads,plain");
    f.SetWidth(100);
    f.SetHeight(50);
    f.SetPx(3);
    f.SetPy(4);
    Fields result;
    result.SetAt("OLD", "kept");
    EXPECT_EQ(f.GetWMSFeatureInfos(result), 1);

    std::vector<ScriptedRequest> requests = server.Requests();
    ASSERT_EQ(requests.size(), 2u) << "one request per prefix; a layer without prefix is never asked for";
    const std::string common = "bbox=1.000000,2.000000,3.000000,4.000000&format=jpeg&info_format=text/plain"
                               "&SRS=EPSG:4326&request=GetFeatureInfo&layers=ns2:roads,ns1:roads,ns1:states";
    EXPECT_EQ(requests[0].target, "/fi?" + common + "&query_layers=ns1:states,ns1:roads&width=100&height=50&X=3&Y=4");
    EXPECT_EQ(requests[1].target, "/fi?" + common + "&query_layers=ns2:roads&width=100&height=50&X=3&Y=4");
    for (const ScriptedRequest& r : requests) EXPECT_FALSE(r.HasHeader("Authorization"));
    // All answers fill one dictionary; the later LANES replaces the earlier.
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{
                                 {"OLD", "kept"}, {"NAME", "Elm"}, {"LANES", "4"}, {"KIND", "street"}}));
    EXPECT_TRUE(temp.Files().empty()) << "answers read as text are deleted";
    EXPECT_EQ(log.Total(), 0);
}

TEST(FeatureInfoRequestTest, NothingAskedOrNothingReadStillSucceeds) {
    TempFolder temp;
    LogCapture log;
    ScriptedServer server;
    VmWMSFeatureInfos f;
    f.SetMainURL((server.Url("/fi") + "?").c_str());

    // Only layers without prefix: no request at all.
    f.SetQueryLayers("states,roads");
    Fields result;
    EXPECT_EQ(f.GetWMSFeatureInfos(result), 1);
    EXPECT_EQ(server.RequestCount(), 0u);
    EXPECT_TRUE(result.IsEmpty());

    // A failed download, an exception report and an answer the text reader
    // cannot take add nothing and report nothing.
    f.SetQueryLayers("a:1,b:1,c:1");
    server.Enqueue(ScriptedResponse::Status(500, "down"));
    server.Enqueue(ScriptedResponse::Ok("<ServiceExceptionReport><ServiceException>no</ServiceException>"
                                        "</ServiceExceptionReport>",
                                        "application/vnd.ogc.se_xml"));
    server.Enqueue(ScriptedResponse::Ok("Results:\r\nno features were found\r\n", "text/plain"));
    EXPECT_EQ(f.GetWMSFeatureInfos(result), 1);
    EXPECT_EQ(server.RequestCount(), 3u);
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_EQ(log.Total(), 0);
    // Only a successful text read deletes its download: the exception
    // report and the unread text stay.
    EXPECT_EQ(temp.Files().size(), 2u);
}

TEST(FeatureInfoRequestTest, XMLAnswersAreReadAsXML) {
    TempFolder temp;
    ScriptedServer server;
    server.Enqueue(ScriptedResponse::Ok("<WMS_FeatureInfo><FeatureInfo><fields><field>NAME</field></fields>"
                                        "<fieldvalues><fieldvalue>Elm = Oak</fieldvalue></fieldvalues>"
                                        "</FeatureInfo></WMS_FeatureInfo>",
                                        "text/plain"));
    VmWMSFeatureInfos f;
    f.SetMainURL((server.Url("/fi") + "?").c_str());
    f.SetQueryLayers("a:1");
    Fields result;
    EXPECT_EQ(f.GetWMSFeatureInfos(result), 1);
    // Read as text, the "=" inside the value would have made another name.
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"NAME", "Elm = Oak"}}));
    EXPECT_EQ(temp.Files().size(), 1u) << "XML answers are not deleted";
}

// ---------------------------------------------------------------------------
// The plain-text reader on handwritten answers

TEST_F(TextReaderTest, HeadingDashesAndCRLFLines) {
    Fields result;
    PlxMBString path = Handwritten("Results for roads:\r\n----------------\r\nNAME = Elm\r\nLANES = 2\r\n");
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"NAME", "Elm"}, {"LANES", "2"}}));
    EXPECT_FALSE(Exists(path)) << "a file read is deleted";

    // A quoted name after the heading is passed over to the next ":".
    result.RemoveAll();
    path = Handwritten("Results:\r\nLayer 'roads'\r\nFeature 1:\r\nNAME = Elm Street\r\nLANES = 2\r\n");
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"NAME", "Elm Street"}, {"LANES", "2"}}));

    // Every dash goes, inside values too; earlier fields stay, the same name
    // is replaced.
    result.RemoveAll();
    result.SetAt("NAME", "old");
    result.SetAt("OTHER", "kept");
    path = Handwritten("Results:\r\n-----\r\nNAME = A-1\r\nCODE = x-y-z\r\n");
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result),
              (std::map<std::string, std::string>{{"NAME", "A1"}, {"CODE", "xyz"}, {"OTHER", "kept"}}));
}

TEST_F(TextReaderTest, LFLinesLoseTheLastCharacterOfEachValue) {
    // The character before the separator is dropped as the CR of a CR LF
    // end; with LF ends it is the value's own last character.
    Fields result;
    PlxMBString path = Handwritten("Results for roads:\n----------------\nNAME = Elm\nLANES = 24\n");
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"NAME", "El"}, {"LANES", "2"}}));
    EXPECT_FALSE(Exists(path));
}

TEST_F(TextReaderTest, NoFeaturesPhraseOnlyCountsAfterTheStart) {
    Fields result;
    // At position 0 the phrase is a heading like any other.
    PlxMBString first = Handwritten("no features were found:\r\n-----\r\nNAME = Elm\r\n");
    EXPECT_EQ(Access::Text(first, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"NAME", "Elm"}}));
    EXPECT_FALSE(Exists(first));

    for (const char* text : {"Results:\r\n-----\r\nno features were found\r\nNAME = Elm\r\n",
                             "Results:\nno features were found\n"}) {
        SCOPED_TRACE(text);
        Fields none;
        PlxMBString later = Handwritten(text);
        EXPECT_EQ(Access::Text(later, none), 0);
        EXPECT_TRUE(none.IsEmpty());
        EXPECT_TRUE(Exists(later)) << "an unread answer is left in place";
    }
}

TEST_F(TextReaderTest, UnreadableAnswersReturnZeroAndStay) {
    Fields result;
    EXPECT_EQ(Access::Text(temp.Path("missing.txt"), result), 0);
    for (const char* text : {"", "no colon = here\r\n", "Results:\r\nnothing to see\r\n",
                             "Results:\r\nLayer 'roads'\r\nNAME = Elm\r\n"}) {
        SCOPED_TRACE(text);
        PlxMBString path = Handwritten(text);
        EXPECT_EQ(Access::Text(path, result), 0);
        EXPECT_TRUE(Exists(path));
    }
    EXPECT_TRUE(result.IsEmpty());
}

TEST_F(TextReaderTest, ASeparatorThatIsAnEqualsSignEnds) {
    // The first name's first occurrence follows an "=", which becomes the
    // separator: the loop must end instead of finding the same "=" forever.
    Fields result;
    PlxMBString path = Handwritten("x=a: a = 1\r\n");
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"a", ""}, {"", ""}}));
}

TEST_F(TextReaderTest, LongAnswersAreReadWhole) {
    // Far beyond one 1024-byte piece: the field at the end is still found.
    std::string text = "Results:\r\n-----\r\n";
    for (int i = 0; i < 400; ++i) text += "F" + std::to_string(i) + " = v" + std::to_string(i) + "\r\n";
    ASSERT_GT(text.size(), 4096u);
    Fields result;
    EXPECT_EQ(Access::Text(Handwritten(text), result), 1);
    EXPECT_EQ(result.GetCount(), 400);
    PlxMBString last;
    EXPECT_TRUE(result.Lookup("F399", last));
    EXPECT_EQ(last, "v399");
}

// ---------------------------------------------------------------------------
// The plain-text reader on real servers' answers

TEST_F(TextReaderTest, MapServerLayoutsFromTheCorpus) {
    // MapServer indents its lines, so the character before the first name,
    // and with it the record separator, is a blank: the first name is found
    // with an empty value, and the rest of the answer turns into names made
    // of a quoted value and the next field's name, all with empty values.
    struct Case {
        const char* file;
        int count;
        const char* firstName;
        const char* laterName;
    } cases[] = {
        {"wms/featureinfo/mapserver-wms-featureinfo-plain.txt", 34, "FNODE_", "'903'\n    TNODE_"},
        {"wms/featureinfo/mapserver-wms-featureinfo-plain-raster.txt", 8, "x", "'49.4'\n    y"},
        // Dashes go first, so the dates lose theirs.
        {"wms/featureinfo/mapserver-wms-featureinfo-plain-multilayer.txt", 66, "VALIDFROM",
         "'20100901 00:00:00'\n    VALIDTO"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string bytes = ReadFile(Corpus(c.file));
        ASSERT_FALSE(bytes.empty()) << "corpus file missing";
        PlxMBString path = Download(bytes);
        ASSERT_FALSE(path.IsEmpty());
        Fields result;
        EXPECT_EQ(Access::Text(path, result), 1);
        EXPECT_EQ(result.GetCount(), c.count);
        PlxMBString value = "unset";
        EXPECT_TRUE(result.Lookup(c.firstName, value));
        EXPECT_EQ(value, "");
        EXPECT_TRUE(result.Lookup(c.laterName, value));
        for (const auto& field : result) EXPECT_EQ(field.second, "") << field.first.str();
        EXPECT_FALSE(Exists(path));
    }
}

TEST_F(TextReaderTest, QgisLayoutHasNoColonAndIsNotRead) {
    const std::string bytes = ReadFile(Corpus("wms/featureinfo/qgis-wms-featureinfo-plain.txt"));
    ASSERT_FALSE(bytes.empty()) << "corpus file missing";
    PlxMBString path = Download(bytes);
    Fields result;
    EXPECT_EQ(Access::Text(path, result), 0);
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_TRUE(Exists(path));
}

TEST_F(TextReaderTest, SampleMapServerAnswer) {
    // MapServer's own layout: the front passes the request on unchanged.
    ogctest::SampleServer::Options own;
    own.featureInfoCompat = false;
    ogctest::SampleServer server(own);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    // The engine's own request carries no VERSION, which MapServer refuses;
    // asked with one, it answers Riverton's record in its text layout.
    PlxMBString path = VmHttpHelper::RequestFile(
        server.Url("/wms?VERSION=1.1.1&bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                   "&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities&width=100&height=100&X=59&Y=59")
            .c_str(),
        "", "", 0, 1);
    ASSERT_FALSE(path.IsEmpty()) << server.Log();
    const std::string answer = ReadFile(path.str());
    ASSERT_NE(answer.find("Layer 'demo:cities'"), std::string::npos) << answer;
    ASSERT_NE(answer.find("name = 'Riverton'"), std::string::npos) << answer;

    // The layer name's own ":" is taken for the end of the heading, so the
    // first "name" is a piece of the heading, and no value is recovered.
    Fields result;
    EXPECT_EQ(Access::Text(path, result), 1);
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"cities'\n  Feature 5: \n    id", ""},
                                                                 {" \n    id", ""}}));
    EXPECT_FALSE(Exists(path));
}

// ---------------------------------------------------------------------------
// The XML reader

TEST(FeatureInfoXMLTest, FieldsAndValuesForm) {
    struct Case {
        const char* xml;
        std::map<std::string, std::string> expected;
    } cases[] = {
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>NAME</field><field>LANES</field></fields>"
         "<fieldvalues><fieldvalue>Elm</fieldvalue><fieldvalue>2</fieldvalue></fieldvalues></FeatureInfo>"
         "<FeatureInfo><fields><field>SECOND</field></fields></FeatureInfo></WMS_FeatureInfo>",
         {{"NAME", "Elm"}, {"LANES", "2"}}},
        // Fewer values than names: the rest get empty values.
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>A</field><field>B</field><field>C</field></fields>"
         "<fieldvalues><fieldvalue>1</fieldvalue></fieldvalues></FeatureInfo></WMS_FeatureInfo>",
         {{"A", "1"}, {"B", ""}, {"C", ""}}},
        // More values than names: the extra ones have nowhere to go.
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>A</field></fields>"
         "<fieldvalues><fieldvalue>1</fieldvalue><fieldvalue>2</fieldvalue></fieldvalues></FeatureInfo>"
         "</WMS_FeatureInfo>",
         {{"A", "1"}}},
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>A</field></fields></FeatureInfo></WMS_FeatureInfo>",
         {{"A", ""}}},
        // Values without names, and documents of other forms, add nothing.
        {"<WMS_FeatureInfo><FeatureInfo><fieldvalues><fieldvalue>1</fieldvalue></fieldvalues></FeatureInfo>"
         "</WMS_FeatureInfo>",
         {}},
        {"<FeatureInfoResponse><FIELDS NAME=\"Elm\"/></FeatureInfoResponse>", {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.xml);
        VmMarkup document;
        ASSERT_TRUE(document.SetDoc(c.xml));
        Fields result;
        EXPECT_EQ(Access::Xml(document, result), 1);
        EXPECT_EQ(AsMap(result), c.expected);
    }
}

TEST(FeatureInfoXMLTest, ExceptionReportsAndOtherServersForms) {
    // Real exception reports, loaded where they lie (loading only reads).
    for (const char* file : {"wms/exception/mapserver-wms-1.3.0-missing-parameter.xml",
                             "wms/exception/mapserver-wms-1.1.1-request-disabled.xml"}) {
        SCOPED_TRACE(file);
        VmMarkup document;
        ASSERT_TRUE(document.Load(Corpus(file).c_str()));
        Fields result;
        result.SetAt("KEPT", "1");
        EXPECT_EQ(Access::Xml(document, result), 0);
        EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"KEPT", "1"}}));
    }
    // Other servers' XML answers are not the fields/values form: read, nothing found.
    for (const char* file : {"wms/featureinfo/qgis-wms-featureinfo-xml.xml",
                             "wms/featureinfo/arcgis-wms-featureinfo-fields.xml",
                             "wms/featureinfo/mapserver-wms-1.1.1-featureinfo-gml.xml"}) {
        SCOPED_TRACE(file);
        VmMarkup document;
        ASSERT_TRUE(document.Load(Corpus(file).c_str()));
        Fields result;
        EXPECT_EQ(Access::Xml(document, result), 1);
        EXPECT_TRUE(result.IsEmpty());
    }
}

// ---------------------------------------------------------------------------
// The WMS dataset's entry point

namespace {

// A 1.1.1 capabilities document with the GetMap endpoint `endpoint` and the
// layers ns1:A, ns1:B, ns2:C and D (queryable) and ns1:E (not queryable).
std::string Capabilities(const std::string& endpoint, bool withLayers = true) {
    std::string xml =
        "<WMT_MS_Capabilities version=\"1.1.1\"><Service><Name>OGC:WMS</Name></Service><Capability><Request>"
        "<GetMap><Format>image/png</Format><DCPType><HTTP><Get><OnlineResource xlink:href=\"" +
        endpoint +
        "\"/></Get></HTTP></DCPType></GetMap></Request><Layer><Title>Scripted</Title><SRS>EPSG:4326</SRS>"
        "<LatLonBoundingBox minx=\"0\" miny=\"-10\" maxx=\"20\" maxy=\"10\"/>";
    if (withLayers)
        for (const char* name : {"ns1:A", "ns1:B", "ns2:C", "D"})
            xml += std::string("<Layer queryable=\"1\"><Name>") + name + "</Name></Layer>";
    if (withLayers) xml += "<Layer><Name>ns1:E</Name></Layer>";
    return xml + "</Layer></Capability></WMT_MS_Capabilities>";
}

bool Is(const ScriptedRequest& r, const char* request) {
    for (const auto& p : r.params)
        if (PlxMBString(p.first.c_str()).CompareNoCase("REQUEST") == 0)
            return PlxMBString(p.second.c_str()).CompareNoCase(request) == 0;
    return false;
}

struct ScriptedWMS {
    std::string endpoint = "/map";
    bool withLayers = true;
    ScriptedServer server;
    ScriptedWMS() {
        server.SetHandler([this](const ScriptedRequest& r) {
            if (Is(r, "GetCapabilities")) return ScriptedResponse::Ok(Capabilities(server.Url(endpoint), withLayers));
            if (Is(r, "GetFeatureInfo"))
                return ScriptedResponse::Ok("Results:\r\n-----\r\nGROUP = " + r.Param("query_layers") + "\r\n",
                                            "text/plain");
            return ScriptedResponse::Ok(ogctest::MakeImage("PNG", 20, 10), "image/png");
        });
    }
    std::vector<ScriptedRequest> FeatureInfoRequests() const {
        std::vector<ScriptedRequest> found;
        for (const ScriptedRequest& r : server.Requests())
            if (Is(r, "GetFeatureInfo")) found.push_back(r);
        return found;
    }
};

struct DatasetFeatureInfoTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    std::unique_ptr<VmDataSourceOGC> source{new VmDataSourceOGC()};

    VmDatasetRasterWMS* Open(ScriptedWMS& wms) {
        source->GetConnectionInfo().Server = wms.server.Url("/wms").c_str();
        source->GetConnectionInfo().ServiceKind = "wms";
        source->GetConnectionInfo().User = "alice";
        source->GetConnectionInfo().Password = "s3cret";
        if (!source->Open()) return nullptr;
        return dynamic_cast<VmDatasetRasterWMS*>(source->GetDataset(0));
    }
};

} // namespace

TEST_F(DatasetFeatureInfoTest, AsksAboutThePixelOfTheLastMap) {
    ScriptedWMS wms;
    VmDatasetRasterWMS* map = Open(wms);
    ASSERT_NE(map, nullptr);
    ASSERT_NE(map->GetDatasetRaster(PlxRect2D(0, 10, 20, -10), 256, 128, ""), nullptr);
    Fields result;
    EXPECT_EQ(map->GetWMSFeatureInfos(17, 33, result), 1);

    std::vector<ScriptedRequest> asked = wms.FeatureInfoRequests();
    ASSERT_EQ(asked.size(), 2u) << "ns1 and ns2; D has no prefix and ns1:E is not queryable";
    const std::string common = "/map?bbox=0.000000,-10.000000,20.000000,10.000000&format=jpeg&info_format=text/plain"
                               "&SRS=EPSG:4326&request=GetFeatureInfo&layers=ns1:E,D,ns2:C,ns1:B,ns1:A";
    EXPECT_EQ(asked[0].target, common + "&query_layers=ns1:A,ns1:B&width=256&height=128&X=17&Y=33");
    EXPECT_EQ(asked[1].target, common + "&query_layers=ns2:C&width=256&height=128&X=17&Y=33");
    // The map goes with the connection's credentials, feature information never.
    for (const ScriptedRequest& r : wms.server.Requests()) {
        SCOPED_TRACE(r.target);
        EXPECT_EQ(r.HasHeader("Authorization"), !Is(r, "GetFeatureInfo"));
    }
    // Both answers land in one dictionary; the second GROUP replaces the first.
    EXPECT_EQ(AsMap(result), (std::map<std::string, std::string>{{"GROUP", "ns2:C"}}));
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());

    // The host's generic query is the same request.
    Fields generic;
    VmDatasetRaster& raster = *map;
    EXPECT_EQ(raster.GetFeatureInfo(17, 33, generic), 1);
    asked = wms.FeatureInfoRequests();
    ASSERT_EQ(asked.size(), 4u);
    EXPECT_EQ(asked[2].target, common + "&query_layers=ns1:A,ns1:B&width=256&height=128&X=17&Y=33");
    EXPECT_EQ(AsMap(generic), AsMap(result));
}

TEST_F(DatasetFeatureInfoTest, BeforeAnyMapAndWithAnEndpointQuery) {
    ScriptedWMS wms;
    wms.endpoint = "/map?map=demo&";
    VmDatasetRasterWMS* map = Open(wms);
    ASSERT_NE(map, nullptr);
    PlxArray<PlxMBString> names;
    names.Add("ns2:C");
    ASSERT_TRUE(map->SetVisibleLayers(names));
    Fields result;
    EXPECT_EQ(map->GetWMSFeatureInfos(0, 0, result), 1);
    std::vector<ScriptedRequest> asked = wms.FeatureInfoRequests();
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].target,
              "/map?map=demo&bbox=0.000000,0.000000,0.000000,0.000000&format=jpeg&info_format=text/plain"
              "&SRS=EPSG:4326&request=GetFeatureInfo&layers=ns2:C&query_layers=ns2:C&width=0&height=0&X=0&Y=0");
}

TEST_F(DatasetFeatureInfoTest, WithoutVisibleLayersOrAnyLayerOrSource) {
    ScriptedWMS wms;
    VmDatasetRasterWMS* map = Open(wms);
    ASSERT_NE(map, nullptr);
    ASSERT_NE(map->GetDatasetRaster(PlxRect2D(0, 10, 20, -10), 256, 128, ""), nullptr);
    // Nothing visible: logged, and the fallback layer goes with a 1 by 1 map,
    // but nothing visible is queryable either, so no request goes out.
    ASSERT_FALSE(map->SetVisibleLayers(PlxArray<PlxMBString>()));
    VmLogFile::GetInstance(false).ClearEntries();
    Fields result;
    EXPECT_EQ(map->GetWMSFeatureInfos(1, 1, result), 1);
    EXPECT_EQ(log.Count("EEb001"), 1);
    std::vector<VmLogEntry> entries = VmLogFile::GetInstance(false).Entries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].level, 100);
    EXPECT_EQ(entries[0].file, "Src/EngineOGC/VmDatasetRasterWMS");
    EXPECT_TRUE(wms.FeatureInfoRequests().empty());
    EXPECT_TRUE(result.IsEmpty());

    // A service without any drawable layer has nothing to fall back on.
    ScriptedWMS empty;
    empty.withLayers = false;
    source.reset(new VmDataSourceOGC());
    VmDatasetRasterWMS* bare = Open(empty);
    ASSERT_NE(bare, nullptr);
    VmLogFile::GetInstance(false).ClearEntries();
    EXPECT_EQ(bare->GetWMSFeatureInfos(1, 1, result), 0);
    EXPECT_EQ(log.Count("EEb001"), 1);
    EXPECT_TRUE(empty.FeatureInfoRequests().empty());

    // A dataset of no data source asks nobody and logs nothing.
    VmLogFile::GetInstance(false).ClearEntries();
    VmDatasetRasterWMS orphan;
    EXPECT_EQ(orphan.GetWMSFeatureInfos(1, 1, result), 0);
    EXPECT_EQ(log.Total(), 0);
}

namespace {

// Opens the sample WMS, draws the whole region at 100x100 and asks for
// Riverton's pixel (10.9, 49.1). All sample layers share the prefix "demo",
// so one request goes out.
Fields SampleFeatureInfo(ogctest::SampleServer& server) {
    VmDataSourceOGC source;
    source.GetConnectionInfo().Server = server.Url("/wms").c_str();
    source.GetConnectionInfo().ServiceKind = "wms";
    Fields result;
    EXPECT_TRUE(source.Open()) << server.Log();
    auto* map = dynamic_cast<VmDatasetRasterWMS*>(source.GetDataset(0));
    if (!map) return result;
    EXPECT_NE(map->GetDatasetRaster(PlxRect2D(5, 55, 15, 45), 100, 100, ""), nullptr) << server.Log();
    EXPECT_EQ(map->GetWMSFeatureInfos(59, 59, result), 1);
    EXPECT_NE(server.Log().find("request=GetFeatureInfo&layers=demo:landuse,demo:lakes,demo:rivers,demo:roads,"
                                "demo:cities&query_layers=demo:cities,demo:roads,demo:rivers,demo:lakes,demo:landuse"
                                "&width=100&height=100&X=59&Y=59"),
              std::string::npos)
        << server.Log();
    return result;
}

} // namespace

TEST(SampleFeatureInfoTest, TheFrontsTextLayoutIsReadAndDeleted) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    const Fields result = SampleFeatureInfo(server);
    // The values under the pixel, as the service holds them in
    // demo/data/cities.geojson and landuse.geojson.
    PlxMBString value;
    EXPECT_TRUE(result.Lookup("cities.name", value));
    EXPECT_EQ(value, "Riverton");
    EXPECT_TRUE(result.Lookup("cities.population", value));
    EXPECT_EQ(value, "305000");
    EXPECT_TRUE(result.Lookup("landuse.kind", value));
    EXPECT_EQ(value, "urban");
    // A text read to its end is deleted.
    EXPECT_TRUE(temp.Files().empty());
    EXPECT_EQ(log.Total(), 0);
}

TEST(SampleFeatureInfoTest, MapServerRefusesTheRequestWithoutVersion) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer::Options plain;
    plain.featureInfoCompat = false;
    ogctest::SampleServer server(plain);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    const Fields result = SampleFeatureInfo(server);
    EXPECT_NE(server.Log().find("VERSION parameter missing"), std::string::npos) << server.Log();
    // The exception report is read as XML, adds nothing and stays behind.
    EXPECT_TRUE(result.IsEmpty());
    EXPECT_EQ(temp.Files().size(), 1u);
    EXPECT_EQ(log.Total(), 0);
}
