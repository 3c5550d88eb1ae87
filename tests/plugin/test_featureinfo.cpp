// GetFeatureInfo: the URL and grouping of query layers, the plain-text and XML
// readers on real and handwritten answers, and the WMS dataset's entry point
// against scripted and real servers.
#include "FeatureInfoAccess.h"
#include "SampleServer.h"
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMS.h"
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
using Map = std::map<std::string, std::string>;
using ogctest::IsRequest;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

Map AsMap(const Fields& fields) {
    Map map;
    for (const auto& field : fields) map[field.first.str()] = field.second.str();
    return map;
}

bool Exists(const PlxMBString& path) { return std::filesystem::exists(path.str()); }

// The corpus's answers are copied, never read where they lie: a successful
// read deletes its file.
std::string Corpus(const std::string& relative) {
    std::ifstream in(std::string(OGCWEB_CORPUS_DIR) + "/" + relative, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct TextReaderTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    int serial = 0;

    PlxMBString Answer(const std::string& text) {
        PlxMBString path = temp.Path(("answer" + std::to_string(++serial) + ".txt").c_str());
        std::ofstream(path.str(), std::ios::binary) << text;
        return path;
    }
};

} // namespace

TEST(FeatureInfoRequestTest, URLFollowsTheTemplate) {
    VmWMSFeatureInfos f;
    f.SetMainURL("http://h/wms?");
    f.SetBox("0,-10,20,10");
    f.SetLayers("B,A");
    f.SetWidth(256);
    f.SetHeight(128);
    f.SetPx(10);
    f.SetPy(20);
    f.SetCRSName("EPSG:3857");  // kept, never sent
    // The defaults are pinned by the dataset's requests below.
    f.SetStyle("dark,");
    f.SetFormat("image/png");
    f.SetInfoFormat("application/vnd.ogc.gml");
    EXPECT_EQ(Access::URL(f, "ns:A"),
              "http://h/wms?bbox=0,-10,20,10&styles=dark,&format=image/png&info_format=application/vnd.ogc.gml"
              "&SRS=EPSG:4326&request=GetFeatureInfo&layers=B,A&query_layers=ns:A&width=256&height=128&X=10&Y=20");

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
        Map groups;
    } cases[] = {
        {{"ns1:states", "ns1:roads", "ns2:roads"}, {"ns1", "ns2"}, {{"ns1", "ns1:states,ns1:roads"}, {"ns2", "ns2:roads"}}},
        {{"states", "roads"}, {}, {}},  // no ":" or "@": no request
        {{"hydro@rivers", "hydro@lakes", "admin@towns"}, {"hydro", "admin"},
         {{"hydro", "hydro@rivers,hydro@lakes"}, {"admin", "admin@towns"}}},
        {{"a@b:c", "a@b:d"}, {"a@b"}, {{"a@b", "a@b:c,a@b:d"}}},  // the first ":" wins over an "@"
        {{":lonely", "@alone", "x:y:z"}, {"x"}, {{"x", "x:y:z"}}},  // an empty prefix is left out
        {{"zz:1", "aa:1", "zz:2"}, {"zz", "aa"}, {{"aa", "aa:1"}, {"zz", "zz:1,zz:2"}}},  // order first met
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

TEST(FeatureInfoRequestTest, XMLAnswersAreReadAsXMLWhateverTheirType) {
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
    EXPECT_EQ(AsMap(result), (Map{{"NAME", "Elm = Oak"}}));
    EXPECT_EQ(temp.Files().size(), 1u) << "XML answers are not deleted";
}

// Handwritten answers: what each layout gives, and whether the file goes.
TEST_F(TextReaderTest, HandwrittenLayouts) {
    struct Case {
        const char* text;
        int ret;
        Map expected;
    } cases[] = {
        {"Results for roads:\r\n----------------\r\nNAME = Elm\r\nLANES = 2\r\n", 1, {{"NAME", "Elm"}, {"LANES", "2"}}},
        // A quoted name after the heading is passed over to the next ":".
        {"Results:\r\nLayer 'roads'\r\nFeature 1:\r\nNAME = Elm Street\r\nLANES = 2\r\n", 1,
         {{"NAME", "Elm Street"}, {"LANES", "2"}}},
        {"Results:\r\n-----\r\nNAME = A-1\r\nCODE = x-y-z\r\n", 1, {{"NAME", "A1"}, {"CODE", "xyz"}}},  // every dash goes
        // The character before the separator is dropped as a CR: with LF ends
        // it is the value's own last character.
        {"Results for roads:\n----------------\nNAME = Elm\nLANES = 24\n", 1, {{"NAME", "El"}, {"LANES", "2"}}},
        // "no features were found" at position 0 is a heading like any other...
        {"no features were found:\r\n-----\r\nNAME = Elm\r\n", 1, {{"NAME", "Elm"}}},
        // ...and later it means nothing was found, CR LF or LF.
        {"Results:\r\n-----\r\nno features were found\r\nNAME = Elm\r\n", 0, {}},
        {"Results:\nno features were found\n", 0, {}},
        {"", 0, {}},
        {"no colon = here\r\n", 0, {}},
        {"Results:\r\nnothing to see\r\n", 0, {}},
        {"Results:\r\nLayer 'roads'\r\nNAME = Elm\r\n", 0, {}},
        // The first name follows an "=", which becomes the separator: the loop
        // must end instead of finding the same "=" forever.
        {"x=a: a = 1\r\n", 1, {{"a", ""}, {"", ""}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        PlxMBString path = Answer(c.text);
        Fields result;
        EXPECT_EQ(Access::Text(path, result), c.ret);
        EXPECT_EQ(AsMap(result), c.expected);
        EXPECT_EQ(Exists(path), c.ret == 0) << "only a file read is deleted";
    }
    Fields result;
    EXPECT_EQ(Access::Text(temp.Path("missing.txt"), result), 0);

    // Earlier fields stay, the same name is replaced.
    result.SetAt("NAME", "old");
    result.SetAt("OTHER", "kept");
    EXPECT_EQ(Access::Text(Answer("Results:\r\n-----\r\nNAME = new\r\n"), result), 1);
    EXPECT_EQ(AsMap(result), (Map{{"NAME", "new"}, {"OTHER", "kept"}}));

    // Far beyond one 1024-byte piece: the field at the end is still found.
    std::string text = "Results:\r\n-----\r\n";
    for (int i = 0; i < 400; ++i) text += "F" + std::to_string(i) + " = v" + std::to_string(i) + "\r\n";
    Fields many;
    EXPECT_EQ(Access::Text(Answer(text), many), 1);
    EXPECT_EQ(many.GetCount(), 400);
    PlxMBString last;
    EXPECT_TRUE(many.Lookup("F399", last));
    EXPECT_EQ(last, "v399");
}

TEST_F(TextReaderTest, RealServersLayoutsFromTheCorpus) {
    // MapServer indents its lines, so the character before the first name,
    // and with it the record separator, is a blank: the first name is found
    // with an empty value, and the rest turns into names made of a quoted
    // value and the next field's name, all with empty values. QGIS's layout
    // has no ":" and is not read.
    struct Case {
        const char* file;
        int count;
        const char* firstName;
        const char* laterName;
    } cases[] = {
        {"mapserver-wms-featureinfo-plain.txt", 34, "FNODE_", "'903'\n    TNODE_"},
        {"mapserver-wms-featureinfo-plain-raster.txt", 8, "x", "'49.4'\n    y"},
        // Dashes go first, so the dates lose theirs.
        {"mapserver-wms-featureinfo-plain-multilayer.txt", 66, "VALIDFROM", "'20100901 00:00:00'\n    VALIDTO"},
        {"qgis-wms-featureinfo-plain.txt", 0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const std::string bytes = Corpus(std::string("wms/featureinfo/") + c.file);
        ASSERT_FALSE(bytes.empty()) << "corpus file missing";
        PlxMBString path = Answer(bytes);
        Fields result;
        EXPECT_EQ(Access::Text(path, result), c.count > 0 ? 1 : 0);
        EXPECT_EQ(result.GetCount(), c.count);
        EXPECT_EQ(Exists(path), c.count == 0);
        if (c.count == 0) continue;
        PlxMBString value = "unset";
        EXPECT_TRUE(result.Lookup(c.firstName, value));
        EXPECT_TRUE(result.Lookup(c.laterName, value));
        for (const auto& field : result) EXPECT_EQ(field.second, "") << field.first.str();
    }
}

TEST(FeatureInfoXMLTest, FieldsAndValuesFormAndOtherForms) {
    struct Case {
        const char* xml;
        Map expected;
    } cases[] = {
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>NAME</field><field>LANES</field></fields>"
         "<fieldvalues><fieldvalue>Elm</fieldvalue><fieldvalue>2</fieldvalue></fieldvalues></FeatureInfo>"
         "<FeatureInfo><fields><field>SECOND</field></fields></FeatureInfo></WMS_FeatureInfo>",
         {{"NAME", "Elm"}, {"LANES", "2"}}},
        // Fewer values than names: the rest get empty values; extra values are dropped.
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>A</field><field>B</field></fields>"
         "<fieldvalues><fieldvalue>1</fieldvalue></fieldvalues></FeatureInfo></WMS_FeatureInfo>",
         {{"A", "1"}, {"B", ""}}},
        {"<WMS_FeatureInfo><FeatureInfo><fields><field>A</field></fields><fieldvalues><fieldvalue>1</fieldvalue>"
         "<fieldvalue>2</fieldvalue></fieldvalues></FeatureInfo></WMS_FeatureInfo>",
         {{"A", "1"}}},
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
    // Real documents: exception reports are refused and leave the result
    // alone; other servers' forms are read and give nothing.
    for (const char* file : {"exception/mapserver-wms-1.3.0-missing-parameter.xml",
                             "exception/mapserver-wms-1.1.1-request-disabled.xml", "featureinfo/qgis-wms-featureinfo-xml.xml",
                             "featureinfo/arcgis-wms-featureinfo-fields.xml"}) {
        SCOPED_TRACE(file);
        const bool exception = std::string(file).find("exception/") == 0;
        VmMarkup document;
        ASSERT_TRUE(document.SetDoc(Corpus(std::string("wms/") + file).c_str()));
        Fields result;
        result.SetAt("KEPT", "1");
        EXPECT_EQ(Access::Xml(document, result), exception ? 0 : 1);
        EXPECT_EQ(AsMap(result), (Map{{"KEPT", "1"}}));
    }
}

namespace {

// A 1.1.1 WMS whose GetMap endpoint is `endpoint`, with the queryable layers
// ns1:A, ns1:B, ns2:C and D and the plain ns1:E; feature information names
// the query layers it was asked for.
struct ScriptedWMS {
    std::string endpoint = "/map";
    bool withLayers = true;
    ScriptedServer server;
    ScriptedWMS() {
        server.SetHandler([this](const ScriptedRequest& r) {
            if (IsRequest(r, "GetCapabilities")) {
                std::string layers;
                for (const char* name : {"ns1:A", "ns1:B", "ns2:C", "D"}) layers += ogctest::WmsLayer(name, true);
                layers += ogctest::WmsLayer("ns1:E", false);
                return ScriptedResponse::Ok(
                    ogctest::WmsCapabilities("1.1.1", server.Url(endpoint), {"image/png"}, withLayers ? layers : ""));
            }
            if (IsRequest(r, "GetFeatureInfo"))
                return ScriptedResponse::Ok("Results:\r\n-----\r\nGROUP = " + r.Param("query_layers") + "\r\n",
                                            "text/plain");
            return ScriptedResponse::Ok(ogctest::MakeImage("PNG", 20, 10), "image/png");
        });
    }
    std::vector<ScriptedRequest> FeatureInfoRequests() const {
        std::vector<ScriptedRequest> found;
        for (const ScriptedRequest& r : server.Requests())
            if (IsRequest(r, "GetFeatureInfo")) found.push_back(r);
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
        return source->Open() ? dynamic_cast<VmDatasetRasterWMS*>(source->GetDataset(0)) : nullptr;
    }
};

} // namespace

TEST_F(DatasetFeatureInfoTest, AsksAboutThePixelOfTheLastMapOncePerPrefix) {
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
        EXPECT_EQ(r.HasHeader("Authorization"), !IsRequest(r, "GetFeatureInfo"));
    }
    // Both answers land in one dictionary; the second GROUP replaces the first.
    EXPECT_EQ(AsMap(result), (Map{{"GROUP", "ns2:C"}}));
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty()) << "answers read as text are deleted";

    // The host's generic query is the same request.
    Fields generic;
    EXPECT_EQ(static_cast<VmDatasetRaster&>(*map).GetFeatureInfo(17, 33, generic), 1);
    EXPECT_EQ(wms.FeatureInfoRequests().size(), 4u);
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
    // Nothing visible: logged, and the fallback layer is not queryable
    // either, so no request goes out.
    ASSERT_FALSE(map->SetVisibleLayers(PlxArray<PlxMBString>()));
    VmLogFile::GetInstance(false).ClearEntries();
    Fields result;
    EXPECT_EQ(map->GetWMSFeatureInfos(1, 1, result), 1);
    EXPECT_EQ(log.Count("EEb001"), 1);
    EXPECT_EQ(log.Total(), 1);
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

// Draws the sample WMS's whole region at 100x100 and asks for Riverton's
// pixel; all sample layers share the prefix "demo", so one request goes out.
TEST(SampleFeatureInfoTest, TheFrontsTextLayoutIsReadAndDeleted) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    VmDataSourceOGC source;
    source.GetConnectionInfo().Server = server.Url("/wms").c_str();
    source.GetConnectionInfo().ServiceKind = "wms";
    ASSERT_TRUE(source.Open()) << server.Log();
    auto* map = dynamic_cast<VmDatasetRasterWMS*>(source.GetDataset(0));
    ASSERT_NE(map, nullptr);
    ASSERT_NE(map->GetDatasetRaster(PlxRect2D(5, 55, 15, 45), 100, 100, ""), nullptr) << server.Log();
    Fields result;
    EXPECT_EQ(map->GetWMSFeatureInfos(59, 59, result), 1);
    EXPECT_NE(server.Log().find("&query_layers=demo:cities,demo:roads,demo:rivers,demo:lakes,demo:landuse"
                                "&width=100&height=100&X=59&Y=59"),
              std::string::npos)
        << server.Log();
    // As demo/data/cities.geojson and landuse.geojson hold them.
    EXPECT_EQ(AsMap(result)["cities.name"], "Riverton");
    EXPECT_EQ(AsMap(result)["cities.population"], "305000");
    EXPECT_EQ(AsMap(result)["landuse.kind"], "urban");
    EXPECT_TRUE(temp.Files().empty());
    EXPECT_EQ(log.Total(), 0);
}
