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
#include <cstdio>
#include <cstdlib>
#include <fstream>
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
    bool Has(const std::string& text) const { return body.find(text) != std::string::npos; }
};

Answer Fetch(const std::string& url) {
    PlxMBString contentType;
    const PlxMBString file = VmHttpHelper::RequestFile(PlxMBString(url), "", "", 0, 1, contentType);
    Answer answer;
    answer.contentType = contentType.str();
    if (!file.IsEmpty()) {
        answer.ok = true;
        std::ifstream in(file.str(), std::ios::binary);
        std::ostringstream text;
        text << in.rdbuf();
        answer.body = text.str();
        std::remove(file.c_str());
    }
    return answer;
}

int Version(const std::string& url) { return VmHttpHelper::CheckOGCRequest(PlxMBString(url), "", ""); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

// Width and height from a PNG's header (IHDR follows the 8-byte signature);
// 0 x 0 for anything else.
std::pair<unsigned, unsigned> PngSize(const std::string& body) {
    if (body.size() < 24 || !StartsWith(body, std::string("\x89PNG\r\n\x1a\n", 8))) return {0, 0};
    auto word = [&](size_t at) {
        unsigned value = 0;
        for (size_t i = at; i < at + 4; ++i) value = value << 8 | static_cast<unsigned char>(body[i]);
        return value;
    };
    return {word(16), word(20)};
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

// A stand-in front for the harness's failure paths, run by the real
// interpreter; `error` is what the harness said.
void StartFakeFront(const std::string& code, int startTimeoutMs, std::string& error, pid_t& pid) {
    char name[] = "/tmp/ogcweb-fake-front-XXXXXX";
    const int fd = ::mkstemp(name);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, code.data(), code.size()), static_cast<ssize_t>(code.size()));
    ::close(fd);
    SampleServer::Options options;
    options.script = name;
    options.mapserv = "/bin/true";  // any executable: this front never runs it
    options.startTimeoutMs = startTimeoutMs;
    {
        SampleServer server(options);
        EXPECT_FALSE(server.IsRunning());
        error = server.Error();
        pid = server.Pid();
    }
    ::unlink(name);
    if (error.find("python3 not found") == 0) {
        if (SampleServer::Required()) FAIL() << error;
        GTEST_SKIP() << error;
    }
}

const char* const kOldMapRequest = "/wms?WMTVER=1.0.0&REQUEST=map&LAYERS=demo:landuse,demo:cities&STYLES=&SRS=EPSG:4326"
                                   "&BBOX=5,45,15,55&WIDTH=300&HEIGHT=300&FORMAT=PNG";
const char* const kRivertonInfo = "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetFeatureInfo&LAYERS=demo:cities"
                                  "&QUERY_LAYERS=demo:cities&STYLES=&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=600"
                                  "&HEIGHT=600&INFO_FORMAT=text/plain&X=";
// The engine's own feature-information request, which names neither service nor version.
const char* const kEnginesInfo = "/wms?bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                                 "&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities"
                                 "&width=600&height=600&X=354&Y=354";

// Short time-outs, a fresh temporary folder and no proxy for every test; the
// SampleService suite shares one server.
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

// MapServer answers the version asked for when it has it, else the highest
// it has below, the lowest when asked for less, and 1.3.0 when asked nothing.
TEST_F(SampleService, NegotiatesWmsVersionsLikeMapServer8) {
    const std::pair<const char*, int> cases[] = {
        {"SERVICE=WMS&REQUEST=GetCapabilities&WMTVER=1.0.0", 100},
        {"WMTVER=1.0.0&REQUEST=capabilities", 100},  // SERVICE added by the front
        {"VERSION=1.0.0", 100}, {"VERSION=1.1.0", 110}, {"VERSION=1.1.1", 111}, {"VERSION=1.3.0", 130},
        {"VERSION=1.2.0", 111}, {"VERSION=1.1.2", 111}, {"VERSION=2.0.0", 130}, {"VERSION=1.3.1", 130},
        {"VERSION=0.9.0", 100}, {"VERSION=1.0.7", 107}, {"VERSION=1.0.8", 107}, {"", 130},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        const std::string query = c.first;
        const bool plain = query.empty() || query.rfind("VERSION=", 0) == 0;
        EXPECT_EQ(Version(Url("/wms?" + (plain ? "SERVICE=WMS&REQUEST=GetCapabilities&" + query : query))), c.second);
    }
}

TEST_F(SampleService, CapabilitiesPointBackAtTheFront) {
    const std::string base = "http://127.0.0.1:" + std::to_string(s_server->Port());
    const Answer v130 = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.3.0"));
    EXPECT_TRUE(v130.Has("xlink:href=\"" + base + "/wms?\"")) << v130.body.substr(0, 2000);
    const Answer v100 = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.0.0"));
    EXPECT_TRUE(v100.Has("<OnlineResource>" + base + "/wms?</OnlineResource>")) << v100.body.substr(0, 2000);
    EXPECT_TRUE(v100.Has("<Get onlineResource=\"" + base + "/wms?\" />"));
    // The same service under its other path names that path.
    const Answer ows = Fetch(Url("/ows?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1"));
    EXPECT_TRUE(ows.Has("xlink:href=\"" + base + "/ows?\""));
    EXPECT_FALSE(ows.Has("/wms?"));
}

// The layers' names and order reach the engine: the plug-in's end-to-end
// tests check those; the rest of what the demo offers is pinned here.
TEST_F(SampleService, CapabilitiesListTheStylesCrsAndFormats) {
    const Answer caps = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.1.1"));
    EXPECT_TRUE(StartsWith(caps.contentType, "application/vnd.ogc.wms_xml")) << caps.contentType;
    for (const char* text : {"<Name>demo:water</Name>", "<Name>coloured</Name>", "<Name>outline</Name>",
                             "<Name>labelled</Name>", "<Name>plain</Name>", "<SRS>EPSG:4326</SRS>", "<SRS>EPSG:3857</SRS>",
                             "<SRS>EPSG:32632</SRS>", "<Format>image/png</Format>", "<Format>image/jpeg</Format>",
                             "<Format>text/plain</Format>", "<Format>text/html</Format>"})
        EXPECT_TRUE(caps.Has(text)) << text;
    EXPECT_FALSE(caps.Has("<Name>cities</Name>")) << "only the WMS layers: the WFS twins stay hidden";
}

// WMS 1.0.0 names formats as elements; MapServer 8 always advertises these
// three and resolves a FORMAT by output format name, which the mapfile
// provides for each.
TEST_F(SampleService, VersionOneZeroFormatsAreAdvertisedAndServed) {
    const Answer caps = Fetch(Url("/wms?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=1.0.0"));
    EXPECT_TRUE(caps.Has("<Format><PNG /><JPEG /><SVG /></Format>"));
    EXPECT_TRUE(caps.Has("<Format><MIME /><GML.1 /></Format>"));
    for (const auto& [format, type] : {std::pair<const char*, const char*>{"PNG", "image/png"},
                                       {"JPEG", "image/jpeg"}, {"SVG", "image/svg+xml"}}) {
        SCOPED_TRACE(format);
        const Answer map = Fetch(Url(std::string("/wms?SERVICE=WMS&WMTVER=1.0.0&REQUEST=map&LAYERS=demo:cities&STYLES="
                                                 "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=200&HEIGHT=200&FORMAT=") + format));
        ASSERT_TRUE(map.ok);
        EXPECT_EQ(map.contentType, type);
    }
}

// Whether maps are real pictures the plug-in's end-to-end tests tell.
TEST_F(SampleService, JpegInWebMercatorAndAnUnknownLayerIsAServiceException) {
    // 1.3.0 with no STYLES at all, which the mapfile allows.
    const Answer jpeg = Fetch(Url("/wms?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetMap&LAYERS=demo&CRS=EPSG:3857"
                                  "&BBOX=556597,5621521,1669792,7361866&WIDTH=300&HEIGHT=470&FORMAT=image/jpeg"));
    EXPECT_EQ(jpeg.contentType, "image/jpeg");
    EXPECT_TRUE(StartsWith(jpeg.body, "\xFF\xD8\xFF")) << jpeg.body.substr(0, 500);
    EXPECT_GT(jpeg.body.size(), 5000u);

    const Answer unknown = Fetch(Url("/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetMap&LAYERS=demo:nowhere&STYLES="
                                     "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=100&HEIGHT=100&FORMAT=image/png"));
    ASSERT_TRUE(unknown.ok);  // MapServer reports it with status 200
    EXPECT_EQ(unknown.contentType, "application/vnd.ogc.se_xml; charset=UTF-8");
    EXPECT_TRUE(unknown.Has("<ServiceException code=\"LayerNotDefined\">")) << unknown.body;
}

TEST_F(SampleService, FeatureInfoAsPlainTextInTheEnginesLayout) {
    // Riverton (10.9, 49.1) sits at pixel (354, 354) of a 600 x 600 map of the extent.
    const Answer info = Fetch(Url(std::string(kRivertonInfo) + "354&Y=354"));
    EXPECT_EQ(info.contentType, "text/plain");
    EXPECT_EQ(info.body, "Feature information:\r\n--------------------\r\ncities.id = 5\r\ncities.name = Riverton\r\n"
                         "cities.population = 305000\r\ncities.capital = no\r\n");
    // Far from every city only the heading comes back.
    EXPECT_EQ(Fetch(Url(std::string(kRivertonInfo) + "5&Y=5")).body, "Feature information:\r\n--------------------\r\n");
}

// The WFS types keep the WMS's prefixed names. Their geometry is "the_geom",
// which the engine recognises, except the lakes', which keep MapServer's own
// name "msGeometry": the plug-in tests show the lakes give no records.
TEST_F(SampleService, WfsServesTheSameFeaturesUnderThePrefixedName) {
    EXPECT_EQ(Version(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetCapabilities")), 100);
    const Answer cities = Fetch(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetFeature&TYPENAME=demo:cities"));
    size_t members = 0;
    for (size_t at = cities.body.find("<gml:featureMember>"); at != std::string::npos;
         at = cities.body.find("<gml:featureMember>", at + 1))
        ++members;
    EXPECT_EQ(members, 8u) << cities.body.substr(0, 2000);
    EXPECT_TRUE(cities.Has("<demo:name>Nordhaven</demo:name>"));
    EXPECT_TRUE(cities.Has("fid=\"cities.1\""));
    EXPECT_TRUE(cities.Has("<demo:the_geom>"));
    const Answer lakes = Fetch(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetFeature&TYPENAME=demo:lakes"));
    EXPECT_TRUE(lakes.Has("<demo:msGeometry>")) << lakes.body.substr(0, 2000);
    EXPECT_FALSE(lakes.Has("the_geom"));
}

// ---------------------------------------------------------------------------
// The front's compatibility settings

TEST_F(SampleServiceCompatibility, WithoutThemMapServerAnswersAsItself) {
    SampleServer::Options options;
    options.addServiceWms = false;
    options.featureInfoCompat = false;
    SampleServer server(options);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    // A request without SERVICE gets MapServer's HTML page...
    const Answer map = Fetch(server.Url(kOldMapRequest));
    EXPECT_EQ(map.contentType, "text/html");
    EXPECT_TRUE(map.Has("Traditional BROWSE mode")) << map.body;
    for (const char* query : {"WMTVER=1.0.0&REQUEST=capabilities", "VERSION=1.1.1&REQUEST=GetCapabilities",
                              "VERSION=1.3.0&REQUEST=GetCapabilities"})
        EXPECT_EQ(Version(server.Url(std::string("/wms?") + query)), -1) << query;
    // ...except a newer GetMap, which is still served.
    const Answer newer = Fetch(server.Url("/wms?VERSION=1.1.1&REQUEST=GetMap&LAYERS=demo:cities&STYLES="
                                          "&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=100&HEIGHT=100&FORMAT=image/png"));
    EXPECT_EQ(newer.contentType, "image/png");

    // Feature information comes in MapServer's own layout, and the engine's request is not answered.
    const Answer info = Fetch(server.Url(std::string(kRivertonInfo) + "354&Y=354"));
    EXPECT_EQ(info.contentType, "text/plain; charset=UTF-8");
    EXPECT_EQ(info.body, "GetFeatureInfo results:\n\nLayer 'demo:cities'\n  Feature 5: \n    id = '5'\n"
                         "    name = 'Riverton'\n    population = '305000'\n    capital = 'no'\n");
    const Answer engines = Fetch(server.Url(kEnginesInfo));
    EXPECT_FALSE(engines.Has("Riverton")) << engines.body;
    EXPECT_EQ(server.Log().find("compatibility:"), std::string::npos) << server.Log();
}

TEST_F(SampleServiceCompatibility, WithThemOldAndEngineRequestsAreAnswered) {
    SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    // A request naming its service, in any case, is left alone: a second
    // SERVICE=WMS would change nothing (MapServer heeds the first), so the
    // front's log tells.
    for (const char* service : {"SERVICE=WFS", "service=WFS", "Service=WFS"}) {
        const Answer caps = Fetch(server.Url(std::string("/ows?") + service + "&VERSION=1.0.0&REQUEST=GetCapabilities"));
        EXPECT_TRUE(caps.Has("<WFS_Capabilities")) << service << caps.body.substr(0, 800);
    }
    EXPECT_EQ(server.Log().find("added SERVICE=WMS"), std::string::npos) << server.Log();

    const Answer map = Fetch(server.Url(kOldMapRequest));
    EXPECT_EQ(map.contentType, "image/png");
    EXPECT_EQ(PngSize(map.body), std::make_pair(300u, 300u)) << map.body.substr(0, 500);
    EXPECT_TRUE(server.Log().find("compatibility: added SERVICE=WMS to /wms?WMTVER=1.0.0&REQUEST=map&") != std::string::npos)
        << server.Log();
    EXPECT_EQ(Version(server.Url("/wms?VERSION=1.1.1&REQUEST=GetCapabilities")), 111);

    // The engine's feature-information request gets a version and the text
    // layout it reads; 1.0.0's spelling is adapted too, keeping its version.
    EXPECT_TRUE(Fetch(server.Url(kEnginesInfo)).Has("cities.name = Riverton\r\n"));
    std::string old = std::string(kEnginesInfo) + "&WMTVER=1.0.0";
    old.replace(old.find("GetFeatureInfo"), 14, "feature_info");
    EXPECT_TRUE(Fetch(server.Url(old)).Has("cities.name = Riverton\r\n"));
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

// ---------------------------------------------------------------------------
// The harness

TEST_F(SampleServerHarness, NamesAMissingProgramAndItsPackage) {
    SampleServer::Options noMapServer;
    noMapServer.mapserv = "/nonexistent/cgi-bin/mapserv";
    SampleServer::Options noPython;
    noPython.python = "/nonexistent/bin/python3";
    for (const auto& [options, named] : {std::pair<SampleServer::Options, const char*>{noMapServer, "cgi-mapserver"},
                                         {noPython, "python3 not found at /nonexistent/bin/python3"}}) {
        SampleServer server(options);
        EXPECT_FALSE(server.IsRunning());
        EXPECT_EQ(server.Port(), 0);
        EXPECT_NE(server.Error().find(named), std::string::npos) << server.Error();
    }
}

TEST_F(SampleServerHarness, ReportsHowAFrontDiedAndWhatItSaid) {
    std::string error;
    pid_t pid = 0;
    StartFakeFront("import sys\nsys.stderr.write('front broke: no mapfile here\\n')\nsys.exit(3)\n", 10000, error, pid);
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_NE(error.find("exited with status 3 before it listened"), std::string::npos) << error;
    EXPECT_NE(error.find("front broke: no mapfile here"), std::string::npos) << error;
}

TEST_F(SampleServerHarness, GivesUpOnAFrontThatNeverListensAndStopsIt) {
    std::string error;
    pid_t pid = 0;
    StartFakeFront("import time\ntime.sleep(60)\n", 300, error, pid);
    if (HasFatalFailure() || IsSkipped()) return;
    EXPECT_NE(error.find("did not report listening within 300 ms"), std::string::npos) << error;
    EXPECT_EQ(pid, -1) << "the silent front is stopped";
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
    for (const auto& [value, required] : {std::pair<const char*, bool>{"", false}, {"0", false}, {"false", false},
                                          {"true", true}, {"1", true}, {"yes", true}}) {
        ::setenv("CI", value, 1);
        EXPECT_EQ(SampleServer::Required(), required) << "CI=" << value;
    }
    if (saved)
        ::setenv("CI", savedValue.c_str(), 1);
    else
        ::unsetenv("CI");
}
