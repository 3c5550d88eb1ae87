// The bundled sample service, reached through the host's own HTTP client: the
// end-to-end tests and the demo rely on what it answers, so what MapServer 8
// really says (versions, formats, feature info, its answer to a request
// without SERVICE) is pinned here, and so is the harness that starts it.
#include "CliRunner.h"
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmNetwork.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

using ogctest::SampleServer;
using PLX::PlxMBString;
using VMK::VmHttpHelper;

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
    Answer answer{!file.IsEmpty(), contentType.str(), ""};
    if (answer.ok) {
        answer.body = ogctest::ReadFile(file.str());
        std::remove(file.c_str());
    }
    return answer;
}

int Version(const std::string& url) { return VmHttpHelper::CheckOGCRequest(PlxMBString(url), "", ""); }

bool StartsWith(const std::string& text, const std::string& prefix) { return text.compare(0, prefix.size(), prefix) == 0; }

const char* const kOldMapRequest = "/wms?WMTVER=1.0.0&REQUEST=map&LAYERS=demo:landuse,demo:cities&STYLES=&SRS=EPSG:4326"
                                   "&BBOX=5,45,15,55&WIDTH=300&HEIGHT=300&FORMAT=PNG";
const char* const kRivertonInfo = "/wms?SERVICE=WMS&VERSION=1.1.1&REQUEST=GetFeatureInfo&LAYERS=demo:cities"
                                  "&QUERY_LAYERS=demo:cities&STYLES=&SRS=EPSG:4326&BBOX=5,45,15,55&WIDTH=600"
                                  "&HEIGHT=600&INFO_FORMAT=text/plain&X=";
// The engine's own feature-information request, which names neither service nor version.
const char* const kEnginesInfo = "/wms?bbox=5,45,15,55&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
                                 "&request=GetFeatureInfo&layers=demo:cities&query_layers=demo:cities"
                                 "&width=600&height=600&X=354&Y=354";

// A fresh temporary folder and no proxy for every test; the SampleService
// suite shares one server.
class SampleServiceBase : public ::testing::Test {
protected:
    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
    }

    VMK::TempFolder m_temp;
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

// The layers' names and order reach the engine: the plug-in's end-to-end
// tests check those; where the operations are and the rest of what the demo
// offers is pinned here.
TEST_F(SampleService, CapabilitiesPointBackAtTheFrontAndListStylesCrsAndFormats) {
    const std::string base = "http://127.0.0.1:" + std::to_string(s_server->Port());
    auto capabilities = [](const std::string& path, const std::string& version) {
        return Fetch(Url(path + "?SERVICE=WMS&REQUEST=GetCapabilities&VERSION=" + version));
    };
    const Answer v130 = capabilities("/wms", "1.3.0");
    EXPECT_TRUE(v130.Has("xlink:href=\"" + base + "/wms?\"")) << v130.body.substr(0, 2000);
    // The same service under its other path names that path.
    const Answer v111 = capabilities("/ows", "1.1.1");
    EXPECT_TRUE(StartsWith(v111.contentType, "application/vnd.ogc.wms_xml")) << v111.contentType;
    EXPECT_TRUE(v111.Has("xlink:href=\"" + base + "/ows?\""));
    EXPECT_FALSE(v111.Has("/wms?"));
    for (const char* text : {"<Name>demo:water</Name>", "<Name>coloured</Name>", "<Name>outline</Name>",
                             "<Name>labelled</Name>", "<Name>plain</Name>", "<SRS>EPSG:4326</SRS>", "<SRS>EPSG:3857</SRS>",
                             "<SRS>EPSG:32632</SRS>", "<Format>image/png</Format>", "<Format>image/jpeg</Format>",
                             "<Format>text/plain</Format>", "<Format>text/html</Format>"})
        EXPECT_TRUE(v111.Has(text)) << text;
    EXPECT_FALSE(v111.Has("<Name>cities</Name>")) << "only the WMS layers: the WFS twins stay hidden";
    // 1.0.0 names formats as elements; MapServer 8 always advertises these.
    const Answer v100 = capabilities("/wms", "1.0.0");
    EXPECT_TRUE(v100.Has("<OnlineResource>" + base + "/wms?</OnlineResource>")) << v100.body.substr(0, 2000);
    EXPECT_TRUE(v100.Has("<Get onlineResource=\"" + base + "/wms?\" />"));
    EXPECT_TRUE(v100.Has("<Format><PNG /><JPEG /><SVG /></Format>"));
    EXPECT_TRUE(v100.Has("<Format><MIME /><GML.1 /></Format>"));
}

// MapServer 8 resolves a 1.0.0 FORMAT by output format name, which the
// mapfile provides for each format it advertises.
TEST_F(SampleService, VersionOneZeroFormatsAreServed) {
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
// name "msGeometry": the plug-in tests show the lakes give no records and
// what the cities hold.
TEST_F(SampleService, WfsServesTheSameFeaturesUnderThePrefixedName) {
    EXPECT_EQ(Version(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetCapabilities")), 100);
    const Answer cities = Fetch(Url("/ows?SERVICE=WFS&VERSION=1.0.0&REQUEST=GetFeature&TYPENAME=demo:cities"));
    EXPECT_TRUE(cities.Has("<demo:the_geom>")) << cities.body.substr(0, 2000);
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
    EXPECT_TRUE(StartsWith(map.body, "\x89PNG\r\n")) << map.body.substr(0, 500);
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
    for (const char* sentOn :
         {"compatibility: GetFeatureInfo sent on as /wms?bbox=5,45,15,55&format=jpeg&info_format=plaintext&",
          "&height=600&X=354&Y=354&SERVICE=WMS&VERSION=1.1.1", "&request=feature_info&layers=demo:cities&",
          "&height=600&X=354&Y=354&WMTVER=1.0.0"})
        EXPECT_NE(log.find(sentOn), std::string::npos) << sentOn << "\n" << log;
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

// Stand-in fronts for the harness's failure paths, run by the real interpreter.
TEST_F(SampleServerHarness, ReportsHowAFrontDiedOrGivesUpOnASilentOne) {
    struct Case {
        std::string code;
        int startTimeoutMs;
        std::vector<std::string> said;
    };
    const Case cases[] = {
        {"import sys\nsys.stderr.write('front broke: no mapfile here\\n')\nsys.exit(3)\n", 10000,
         {"exited with status 3 before it listened", "front broke: no mapfile here"}},
        {"import time\ntime.sleep(60)\n", 300, {"did not report listening within 300 ms"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        char name[] = "/tmp/ogcweb-fake-front-XXXXXX";
        const int fd = ::mkstemp(name);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::write(fd, c.code.data(), c.code.size()), static_cast<ssize_t>(c.code.size()));
        ::close(fd);
        SampleServer::Options options;
        options.script = name;
        options.mapserv = "/bin/true";  // any executable: these fronts never run it
        options.startTimeoutMs = c.startTimeoutMs;
        std::string error;
        {
            SampleServer server(options);
            EXPECT_FALSE(server.IsRunning());
            EXPECT_EQ(server.Pid(), -1) << "the front is gone, stopped if it was silent";
            error = server.Error();
        }
        ::unlink(name);
        if (error.rfind("python3 not found", 0) == 0) {
            if (SampleServer::Required()) FAIL() << error;
            GTEST_SKIP() << error;
        }
        for (const std::string& text : c.said) EXPECT_NE(error.find(text), std::string::npos) << error;
    }
}

TEST_F(SampleServerHarness, DestructorStopsTheFront) {
    pid_t pid = -1;
    {
        SampleServer server;
        OGCTEST_REQUIRE_SAMPLE_SERVER(server);
        EXPECT_TRUE(server.Error().empty());
        pid = server.Pid();
        ASSERT_GT(pid, 0);
    }
    // Reaped by the destructor, so the process is gone entirely.
    errno = 0;
    EXPECT_EQ(::kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
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
