// The bundled sample service, reached through the host's own HTTP client: the
// end-to-end tests and the demo rely on what it answers, so what MapServer 8
// really says (versions, formats, feature info, its answer to a request
// without SERVICE) is pinned here, and so is the harness that starts it.
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmNetwork.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

using ogctest::SampleServer;
using PLX::PlxMBString;
using VMK::VmHttpHelper;
using VMK::VmHttpSettings;

namespace {

struct Answer {
    bool ok = false;  // a body arrived (status below 400)
    std::string contentType;
    std::string body;
};

std::string ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

Answer Fetch(const std::string& url) {
    PlxMBString contentType;
    const PlxMBString file = VmHttpHelper::RequestFile(PlxMBString(url), "", "", 0, 1, contentType);
    Answer answer;
    answer.contentType = contentType.str();
    if (!file.IsEmpty()) {
        answer.ok = true;
        answer.body = ReadAll(file.str());
        std::remove(file.c_str());
    }
    return answer;
}

int Version(const std::string& url) { return VmHttpHelper::CheckOGCRequest(PlxMBString(url), "", ""); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

int Count(const std::string& text, const std::string& what) {
    int count = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + what.size())) ++count;
    return count;
}

bool IsPng(const std::string& body) { return StartsWith(body, std::string("\x89PNG\r\n\x1a\n", 8)); }

// Width and height from the PNG header (IHDR follows the 8-byte signature).
std::pair<unsigned, unsigned> PngSize(const std::string& body) {
    if (body.size() < 24) return {0, 0};
    auto word = [&](size_t at) {
        return (static_cast<unsigned>(static_cast<unsigned char>(body[at])) << 24) |
               (static_cast<unsigned>(static_cast<unsigned char>(body[at + 1])) << 16) |
               (static_cast<unsigned>(static_cast<unsigned char>(body[at + 2])) << 8) |
               static_cast<unsigned>(static_cast<unsigned char>(body[at + 3]));
    };
    return {word(16), word(20)};
}

// How many <Layer> elements enclose each layer's <Name> (the root layer: 1).
std::map<std::string, int> LayerDepths(const std::string& xml) {
    std::map<std::string, int> depths;
    int depth = 0;
    for (size_t pos = xml.find('<'); pos != std::string::npos; pos = xml.find('<', pos + 1)) {
        if (xml.compare(pos, 7, "<Layer ") == 0 || xml.compare(pos, 7, "<Layer>") == 0) {
            ++depth;
        } else if (xml.compare(pos, 8, "</Layer>") == 0) {
            --depth;
        } else if (xml.compare(pos, 6, "<Name>") == 0 && depth > 0) {
            const size_t end = xml.find("</Name>", pos);
            if (end == std::string::npos) break;
            const std::string name = xml.substr(pos + 6, end - pos - 6);
            if (!depths.count(name)) depths[name] = depth;
        }
    }
    return depths;
}

bool AcceptsConnections(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
    ::close(fd);
    return connected;
}

// A small front stand-in for the harness's failure paths: written to a
// temporary file, run by the real interpreter.
class ScriptFile {
public:
    explicit ScriptFile(const std::string& code) {
        char name[] = "/tmp/ogcweb-fake-front-XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            m_path = name;
            const ssize_t written = ::write(fd, code.data(), code.size());
            (void)written;
            ::close(fd);
        }
    }
    ~ScriptFile() {
        if (!m_path.empty()) ::unlink(m_path.c_str());
    }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

const char* const kWholeExtent111 =
    "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&LAYERS=demo:landuse,demo:water,demo:roads,demo:cities"
    "&STYLES=&SRS=EPSG:4326&WIDTH=600&HEIGHT=600&FORMAT=image/png&BBOX=";
const char* const kOldMapRequest =
    "/wms?WMTVER=1.0.0&REQUEST=map&LAYERS=demo:landuse,demo:cities&STYLES=&SRS=EPSG:4326"
    "&BBOX=5,45,15,55&WIDTH=300&HEIGHT=300&FORMAT=PNG";

// Short time-outs, a fresh temporary folder and no proxy for every test; the
// server itself is shared by the whole suite.
class SampleServiceBase : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
        m_savedSettings = VmHttpSettings::Get();
        VmHttpSettings quick;
        quick.connectTimeoutMs = 5000;
        quick.stallTimeoutSec = 20;
        quick.totalTimeoutSec = 40;
        quick.maxBytes = 16 * 1024 * 1024;
        VmHttpSettings::Set(quick);
    }
    void TearDown() override { VmHttpSettings::Set(m_savedSettings); }

    VMK::TempFolder m_temp;

private:
    VmHttpSettings m_savedSettings;
};

class SampleService : public SampleServiceBase {
protected:
    static void SetUpTestSuite() { s_server = new SampleServer(true); }
    static void TearDownTestSuite() {
        delete s_server;
        s_server = nullptr;
    }
    void SetUp() override {
        SampleServiceBase::SetUp();
        OGCTEST_REQUIRE_SAMPLE_SERVER(*s_server);
    }
    static std::string Url(const std::string& pathAndQuery) { return s_server->Url(pathAndQuery); }

    static SampleServer* s_server;
};

SampleServer* SampleService::s_server = nullptr;

class SampleServiceCompatibility : public SampleServiceBase {};
class SampleServerHarness : public SampleServiceBase {};

} // namespace

// ---------------------------------------------------------------------------
// Versions

TEST_F(SampleService, CapabilitiesAnswerEachWmsVersionAsked) {
    const std::pair<const char*, int> cases[] = {
        {"SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.0.0", 100},
        {"SERVICE=WMS&REQUEST=GetCapabilities&WMTVER=1.0.0", 100},
        {"WMTVER=1.0.0&REQUEST=capabilities", 100},  // SERVICE added by the front
        {"SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.0", 110},
        {"SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1", 111},
        {"SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.3.0", 130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(Version(Url(std::string("/wms?") + c.first)), c.second) << s_server->Log();
    }
}

// MapServer answers the highest version it has that is not above the one
// asked for, the lowest when asked for less, and 1.3.0 when asked nothing.
TEST_F(SampleService, NegotiatesOtherVersionsLikeMapServer8) {
    const std::pair<const char*, int> cases[] = {
        {"VERSION=1.2.0", 111}, {"VERSION=1.1.2", 111}, {"VERSION=2.0.0", 130}, {"VERSION=1.3.1", 130},
        {"VERSION=0.9.0", 100}, {"VERSION=1.0.7", 107}, {"VERSION=1.0.8", 107}, {"", 130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        EXPECT_EQ(Version(Url(std::string("/wms?SERVICE=WMS&REQUEST=GetCapabilities&") + c.first)), c.second);
    }
}

// ---------------------------------------------------------------------------
// Capabilities content

TEST_F(SampleService, CapabilitiesPointBackAtTheFront) {
    const std::string port = std::to_string(s_server->Port());
    const std::string wms = "http://127.0.0.1:" + port + "/wms?";
    const Answer v130 = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.3.0"));
    ASSERT_TRUE(v130.ok);
    EXPECT_NE(v130.body.find("xlink:href=\"" + wms + "\""), std::string::npos) << v130.body.substr(0, 2000);
    const Answer v100 = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.0.0"));
    ASSERT_TRUE(v100.ok);
    EXPECT_NE(v100.body.find("<OnlineResource>" + wms + "</OnlineResource>"), std::string::npos);
    EXPECT_NE(v100.body.find("<Get onlineResource=\"" + wms + "\" />"), std::string::npos);
    // The same service under its other path names that path.
    const Answer ows = Fetch(Url("/ows?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1"));
    ASSERT_TRUE(ows.ok);
    EXPECT_NE(ows.body.find("xlink:href=\"http://127.0.0.1:" + port + "/ows?\""), std::string::npos);
    EXPECT_EQ(ows.body.find("/wms?"), std::string::npos);
}

TEST_F(SampleService, CapabilitiesListTheNestedLayersTheirStylesAndCrs) {
    const Answer caps = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1"));
    ASSERT_TRUE(caps.ok);
    EXPECT_TRUE(StartsWith(caps.contentType, "application/vnd.ogc.wms_xml")) << caps.contentType;
    const std::string& body = caps.body;
    // Each layer at its depth: the root holds everything,
    // and the water group holds lakes and rivers.
    const std::map<std::string, int> depth = LayerDepths(body);
    // Top first: a client that draws the list last to first puts land use
    // at the bottom.
    const std::pair<const char*, int> layers[] = {{"demo", 1},         {"demo:cities", 2}, {"demo:roads", 2},
                                                   {"demo:water", 2},   {"demo:rivers", 3}, {"demo:lakes", 3},
                                                   {"demo:landuse", 2}};
    size_t last = 0;
    for (const auto& layer : layers) {
        SCOPED_TRACE(layer.first);
        const size_t at = body.find(std::string("<Name>") + layer.first + "</Name>");
        ASSERT_NE(at, std::string::npos);
        EXPECT_GT(at, last);
        last = at;
        EXPECT_EQ(depth.count(layer.first) ? depth.at(layer.first) : 0, layer.second);
    }
    for (const char* style : {"coloured", "outline", "labelled", "plain"})
        EXPECT_NE(body.find(std::string("<Name>") + style + "</Name>"), std::string::npos) << style;
    for (const char* crs : {"EPSG:4326", "EPSG:3857", "EPSG:32632"})
        EXPECT_NE(body.find(std::string("<SRS>") + crs + "</SRS>"), std::string::npos) << crs;
    // Only the WMS layers: the WFS twins stay hidden.
    EXPECT_EQ(body.find("<Name>cities</Name>"), std::string::npos);
    for (const char* format : {"image/png", "image/jpeg", "text/plain", "text/html"})
        EXPECT_NE(body.find(std::string("<Format>") + format + "</Format>"), std::string::npos) << format;
}

// WMS 1.0.0 names formats as elements; MapServer 8 always advertises these
// three and resolves a FORMAT by output format name, which the mapfile
// provides for each.
TEST_F(SampleService, VersionOneZeroFormatsAreAdvertisedAndServed) {
    const Answer caps = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.0.0"));
    ASSERT_TRUE(caps.ok);
    EXPECT_NE(caps.body.find("<Format><PNG /><JPEG /><SVG /></Format>"), std::string::npos);
    EXPECT_NE(caps.body.find("<Format><MIME /><GML.1 /></Format>"), std::string::npos);
    const std::pair<const char*, const char*> formats[] = {
        {"PNG", "image/png"}, {"JPEG", "image/jpeg"}, {"SVG", "image/svg+xml"}};
    for (const auto& f : formats) {
        SCOPED_TRACE(f.first);
        const Answer map = Fetch(Url(std::string("/wms?SERVICE=WMS&WMTVER=1.0.0&REQUEST=map&LAYERS=demo:cities"
                                                 "&STYLES=&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=200&HEIGHT=200&FORMAT=") +
                                     f.first));
        ASSERT_TRUE(map.ok);
        EXPECT_EQ(map.contentType, f.second);
    }
}

// ---------------------------------------------------------------------------
// Maps

TEST_F(SampleService, GetMapOfTheWholeExtentIsARealPicture) {
    const Answer map = Fetch(Url(std::string(kWholeExtent111) + "5,45,15,55"));
    ASSERT_TRUE(map.ok) << s_server->Log();
    EXPECT_EQ(map.contentType, "image/png");
    ASSERT_TRUE(IsPng(map.body)) << map.body.substr(0, 500);
    EXPECT_EQ(PngSize(map.body), std::make_pair(600u, 600u));
    // An area with no data gives the same-sized picture in one flat colour,
    // which compresses to a few kilobytes: the size tells the two apart.
    const Answer empty = Fetch(Url(std::string(kWholeExtent111) + "-60,-10,-50,0"));
    ASSERT_TRUE(empty.ok);
    ASSERT_TRUE(IsPng(empty.body));
    EXPECT_LT(empty.body.size(), 5000u);
    EXPECT_GT(map.body.size(), 20000u);
    EXPECT_GT(map.body.size(), 5 * empty.body.size());
}

TEST_F(SampleService, GetMapJpegInWebMercatorWithoutStyles) {
    // 1.3.0 with no STYLES at all, which the mapfile allows.
    const Answer map = Fetch(Url("/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=demo&CRS=EPSG:3857"
                                 "&BBOX=556597,5621521,1669792,7361866&WIDTH=300&HEIGHT=470&FORMAT=image/jpeg"));
    ASSERT_TRUE(map.ok);
    EXPECT_EQ(map.contentType, "image/jpeg");
    EXPECT_TRUE(StartsWith(map.body, "\xFF\xD8\xFF")) << map.body.substr(0, 500);
    EXPECT_GT(map.body.size(), 5000u);
}

TEST_F(SampleService, UnknownLayerIsAServiceException) {
    const Answer map = Fetch(Url("/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&LAYERS=demo:nowhere&STYLES="
                                 "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=100&HEIGHT=100&FORMAT=image/png"));
    ASSERT_TRUE(map.ok);  // MapServer reports it with status 200
    EXPECT_EQ(map.contentType, "application/vnd.ogc.se_xml; charset=UTF-8");
    EXPECT_NE(map.body.find("<ServiceException code=\"LayerNotDefined\">"), std::string::npos) << map.body;
}

// ---------------------------------------------------------------------------
// Feature info and WFS

const char* const kRivertonInfo =
    "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetFeatureInfo&LAYERS=demo:cities&QUERY_LAYERS=demo:cities&STYLES="
    "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=600&HEIGHT=600&INFO_FORMAT=text/plain&X=";

TEST_F(SampleService, FeatureInfoAsPlainTextInTheEnginesLayout) {
    // Riverton (10.9, 49.1) sits at pixel (354, 354) of a 600 x 600 map of the extent.
    const Answer info = Fetch(Url(std::string(kRivertonInfo) + "354&Y=354"));
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.contentType, "text/plain");
    EXPECT_EQ(info.body, "Feature information:\r\n--------------------\r\ncities.id = 5\r\ncities.name = Riverton\r\n"
                         "cities.population = 305000\r\ncities.capital = no\r\n");
    // Far from every city only the heading comes back.
    const Answer none = Fetch(Url(std::string(kRivertonInfo) + "5&Y=5"));
    ASSERT_TRUE(none.ok);
    EXPECT_EQ(none.body, "Feature information:\r\n--------------------\r\n");
}

TEST_F(SampleService, WfsServesTheSameFeaturesUnderThePrefixedName) {
    EXPECT_EQ(Version(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetCapabilities")), 100);
    const Answer features = Fetch(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetFeature&TYPENAME=demo:cities"));
    ASSERT_TRUE(features.ok);
    EXPECT_EQ(Count(features.body, "<gml:featureMember>"), 8) << features.body.substr(0, 2000);
    EXPECT_NE(features.body.find("<demo:name>Nordhaven</demo:name>"), std::string::npos);
    EXPECT_NE(features.body.find("fid=\"cities.1\""), std::string::npos);
}

// ---------------------------------------------------------------------------
// The compatibility setting

TEST_F(SampleServiceCompatibility, WithoutItARequestWithoutServiceGetsMapServersHtmlPage) {
    SampleServer server(false);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    const Answer map = Fetch(server.Url(kOldMapRequest));
    ASSERT_TRUE(map.ok);
    EXPECT_EQ(map.contentType, "text/html");
    EXPECT_NE(map.body.find("Traditional BROWSE mode"), std::string::npos) << map.body;
    // Capabilities without SERVICE go the same way, whatever the version...
    EXPECT_EQ(Version(server.Url("/wms?WMTVER=1.0.0&REQUEST=capabilities")), -1);
    EXPECT_EQ(Version(server.Url("/wms?VERSION=1.1.1&REQUEST=GetCapabilities")), -1);
    EXPECT_EQ(Version(server.Url("/wms?VERSION=1.3.0&REQUEST=GetCapabilities")), -1);
    // ...while a newer GetMap without SERVICE is still served.
    const Answer newer = Fetch(server.Url("/wms?VERSION=1.1.1&REQUEST=GetMap&LAYERS=demo:cities&STYLES="
                                          "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=100&HEIGHT=100&FORMAT=image/png"));
    ASSERT_TRUE(newer.ok);
    EXPECT_EQ(newer.contentType, "image/png");
}

TEST_F(SampleServiceCompatibility, WithItTheSameRequestGetsAMap) {
    SampleServer server(true);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    const Answer map = Fetch(server.Url(kOldMapRequest));
    ASSERT_TRUE(map.ok);
    EXPECT_EQ(map.contentType, "image/png");
    ASSERT_TRUE(IsPng(map.body)) << map.body.substr(0, 500);
    EXPECT_EQ(PngSize(map.body), std::make_pair(300u, 300u));
    EXPECT_NE(server.Log().find("compatibility: added SERVICE=WMS to /wms?WMTVER=1.0.0&REQUEST=map&"),
              std::string::npos)
        << server.Log();
    EXPECT_EQ(Version(server.Url("/wms?VERSION=1.1.1&REQUEST=GetCapabilities")), 111);
}

TEST_F(SampleServiceCompatibility, WithoutItFeatureInfoIsMapServersOwn) {
    SampleServer::Options options;
    options.featureInfoCompat = false;
    SampleServer server(options);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    const Answer info = Fetch(server.Url(std::string(kRivertonInfo) + "354&Y=354"));
    ASSERT_TRUE(info.ok);
    EXPECT_EQ(info.contentType, "text/plain; charset=UTF-8");
    EXPECT_EQ(info.body, "GetFeatureInfo results:\n\nLayer 'demo:cities'\n  Feature 5: \n    id = '5'\n"
                         "    name = 'Riverton'\n    population = '305000'\n    capital = 'no'\n");
    // And the engine's request, which names no version, is refused.
    const Answer bare = Fetch(server.Url("/wms?bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                                         "&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities"
                                         "&width=600&height=600&X=354&Y=354"));
    EXPECT_NE(bare.body.find("VERSION parameter missing"), std::string::npos) << bare.body;
    EXPECT_EQ(server.Log().find("compatibility: GetFeatureInfo"), std::string::npos) << server.Log();
}

TEST_F(SampleServiceCompatibility, WithItTheEnginesFeatureInfoRequestIsAnswered) {
    SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    // 1.0.0's spelling of the request is adapted too; a request naming its
    // version keeps it.
    const Answer old = Fetch(server.Url("/wms?bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                                        "&request=feature_info&layers=demo:cities&query_layers=demo:cities"
                                        "&width=600&height=600&X=354&Y=354&WMTVER=1.0.0"));
    EXPECT_NE(old.body.find("cities.name = Riverton\r\n"), std::string::npos) << old.body;
    const Answer bare = Fetch(server.Url("/wms?bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                                         "&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities"
                                         "&width=600&height=600&X=354&Y=354"));
    EXPECT_NE(bare.body.find("cities.name = Riverton\r\n"), std::string::npos) << bare.body;
    const std::string log = server.Log();
    EXPECT_NE(log.find("compatibility: GetFeatureInfo sent on as /wms?bbox=5,45,15,55&format=jpeg&info_format=plaintext"
                       "&SRS=EPSG:4326&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities&width=600"
                       "&height=600&X=354&Y=354&SERVICE=WMS&VERSION=1.1.1"),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("request=feature_info&layers=demo:cities&query_layers=demo:cities&width=600&height=600"
                       "&X=354&Y=354&WMTVER=1.0.0"),
              std::string::npos)
        << log;
    EXPECT_EQ(log.find("WMTVER=1.0.0&VERSION=1.1.1"), std::string::npos) << log;
}

TEST_F(SampleServiceCompatibility, ARequestNamingItsServiceIsLeftAlone) {
    SampleServer server(true);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    // In any case: a second SERVICE=WMS would turn these into WMS requests.
    for (const char* service : {"SERVICE=WFS", "service=WFS", "Service=WFS"}) {
        SCOPED_TRACE(service);
        const Answer caps = Fetch(server.Url(std::string("/ows?") + service + "&VERSION=1.0.0&REQUEST=GetCapabilities"));
        ASSERT_TRUE(caps.ok);
        EXPECT_NE(caps.body.find("<WFS_Capabilities"), std::string::npos) << caps.body.substr(0, 800);
    }
    // MapServer heeds the first SERVICE it sees, so an extra one appended
    // would change nothing above: the front's log tells.
    EXPECT_EQ(server.Log().find("added SERVICE=WMS"), std::string::npos) << server.Log();
}

// ---------------------------------------------------------------------------
// The harness

TEST_F(SampleServerHarness, NamesAMissingMapServerAndItsPackage) {
    SampleServer::Options options;
    options.mapserv = "/nonexistent/cgi-bin/mapserv";
    SampleServer server(options);
    EXPECT_FALSE(server.IsRunning());
    EXPECT_EQ(server.Port(), 0);
    EXPECT_NE(server.Error().find("/nonexistent/cgi-bin/mapserv"), std::string::npos) << server.Error();
    EXPECT_NE(server.Error().find("cgi-mapserver"), std::string::npos) << server.Error();
}

TEST_F(SampleServerHarness, NamesAMissingPython) {
    SampleServer::Options options;
    options.python = "/nonexistent/bin/python3";
    SampleServer server(options);
    EXPECT_FALSE(server.IsRunning());
    EXPECT_NE(server.Error().find("python3 not found at /nonexistent/bin/python3"), std::string::npos)
        << server.Error();
}

TEST_F(SampleServerHarness, ReportsHowAFrontDiedAndWhatItSaid) {
    ScriptFile script("import sys\nsys.stderr.write('front broke: no mapfile here\\n')\nsys.exit(3)\n");
    SampleServer::Options options;
    options.script = script.Path();
    options.mapserv = "/bin/true";  // any executable: this front never runs it
    SampleServer server(options);
    EXPECT_FALSE(server.IsRunning());
    if (server.Error().find("python3 not found") == 0) {
        if (SampleServer::Required()) FAIL() << server.Error();
        GTEST_SKIP() << server.Error();
    }
    EXPECT_NE(server.Error().find("exited with status 3 before it listened"), std::string::npos) << server.Error();
    EXPECT_NE(server.Error().find("front broke: no mapfile here"), std::string::npos) << server.Error();
}

TEST_F(SampleServerHarness, GivesUpOnAFrontThatNeverListens) {
    ScriptFile script("import time\ntime.sleep(60)\n");
    SampleServer::Options options;
    options.script = script.Path();
    options.mapserv = "/bin/true";
    options.startTimeoutMs = 300;
    const auto start = std::chrono::steady_clock::now();
    SampleServer server(options);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_FALSE(server.IsRunning());
    if (server.Error().find("python3 not found") == 0) {
        if (SampleServer::Required()) FAIL() << server.Error();
        GTEST_SKIP() << server.Error();
    }
    EXPECT_NE(server.Error().find("did not report listening within 300 ms"), std::string::npos) << server.Error();
    // The silent front is stopped (SIGTERM ends a sleeping Python at once).
    EXPECT_LT(took, std::chrono::seconds(3));
    EXPECT_EQ(server.Pid(), -1);
}

TEST_F(SampleServerHarness, DestructorStopsTheFront) {
    pid_t pid = -1;
    int port = 0;
    {
        SampleServer server;
        OGCTEST_REQUIRE_SAMPLE_SERVER(server);
        EXPECT_TRUE(server.Error().empty());
        pid = server.Pid();
        port = server.Port();
        ASSERT_GT(pid, 0);
        EXPECT_TRUE(AcceptsConnections(port));
    }
    // Reaped by the destructor, so the process is gone entirely.
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_FALSE(AcceptsConnections(port));
}

TEST(SampleServerRequired, FollowsTheCiVariable) {
    const char* saved = std::getenv("CI");
    const std::string savedValue = saved ? saved : "";
    ::unsetenv("CI");
    EXPECT_FALSE(SampleServer::Required());
    for (const char* off : {"", "0", "false"}) {
        ::setenv("CI", off, 1);
        EXPECT_FALSE(SampleServer::Required()) << "CI=" << off;
    }
    for (const char* on : {"true", "1", "yes"}) {
        ::setenv("CI", on, 1);
        EXPECT_TRUE(SampleServer::Required()) << "CI=" << on;
    }
    if (saved)
        ::setenv("CI", savedValue.c_str(), 1);
    else
        ::unsetenv("CI");
}
