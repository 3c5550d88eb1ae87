// "ogcweb featureinfo" and "ogcweb info --bridge" run as real processes
// against scripted loopback services and the sample service.
#include "CliRunner.h"
#include "SampleServer.h"
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ogctest::CliResult;
using ogctest::Contains;
using ogctest::RunOgcweb;
using ogctest::ScratchFolder;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Three queryable layers, ns:roads, ns:rivers and plain, over 5,45,15,55.
const char* const kLayers =
    "<Layer><Title>Scripted</Title><CRS>EPSG:4326</CRS>"
    "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/>"
    "<Layer queryable=\"1\"><Name>ns:roads</Name><Title>Roads</Title></Layer>"
    "<Layer queryable=\"1\"><Name>ns:rivers</Name><Title>Rivers</Title></Layer>"
    "<Layer queryable=\"1\"><Name>plain</Name><Title>Plain</Title></Layer></Layer>";

// A map service of those layers whose feature-information answers come from `answer`.
struct MapService : ogctest::ScriptedMapService {
    explicit MapService(std::function<ScriptedResponse(const ScriptedRequest&)> answer) : ScriptedMapService(kLayers) {
        getMap = ScriptedResponse::Ok(ogctest::MakeImage("PNG", 100, 100), "image/png");
        featureInfo = std::move(answer);
    }
};

ScriptedResponse ElmStreet(const ScriptedRequest&) {
    return ScriptedResponse::Ok("Results for roads:\r\n------------------\r\nNAME = Elm\r\nLANES = 2\r\n", "text/plain");
}

// Pixel 59,59 of a 100x100 map of 5,45,15,55: Riverton on the sample service.
std::vector<std::string> FeatureInfo(const std::string& url, std::vector<std::string> more = {}) {
    std::vector<std::string> args = {"featureinfo", url, "--bbox", "5,45,15,55", "--size", "100x100", "--pixel=59,59"};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

} // namespace

TEST(OgcwebFeatureInfoCli, DrawsTheMapThenPrintsTheFieldsOfTheLayersGiven) {
    ScratchFolder folder;
    MapService service(ElmStreet);
    const CliResult run = RunOgcweb(folder, FeatureInfo(service.Url()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"pixel 59,59 of a 100x100 map of 5,45,15,55", "fields: 2",
                                                         "  LANES = 2", "  NAME  = Elm"}))
        << run.out;
    ASSERT_EQ(service.Requests("GetMap").size(), 1u);
    ASSERT_EQ(service.Requests("GetFeatureInfo").size(), 1u);
    EXPECT_TRUE(ogctest::IsRequest(service.Server().LastRequest(), "GetFeatureInfo"))
        << "the map is drawn before the pixel is asked about";
    EXPECT_TRUE(fs::is_empty(folder.Path("temp")));

    ASSERT_EQ(RunOgcweb(folder, FeatureInfo(service.Url(), {"--layers", "ns:rivers"})).status, 0);
    const ScriptedRequest asked = service.Server().LastRequest();
    EXPECT_EQ(asked.Param("layers") + " " + asked.Param("query_layers"), "ns:rivers ns:rivers");
    const CliResult unknown = RunOgcweb(folder, FeatureInfo(service.Url(), {"--layers", "ns:lakes"}));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no layer named \"ns:lakes\"")) << unknown.err;
}

TEST(OgcwebFeatureInfoCli, AnswersWithoutFieldsAndOddNames) {
    ScratchFolder folder;
    // An exception report: nothing read, nothing left behind.
    MapService service([](const ScriptedRequest&) {
        return ScriptedResponse::Ok("<ServiceExceptionReport><ServiceException>no</ServiceException>"
                                    "</ServiceExceptionReport>", "application/vnd.ogc.se_xml");
    });
    CliResult run = RunOgcweb(folder, FeatureInfo(service.Url()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "no fields")) << run.out;
    EXPECT_EQ(service.Requests("GetFeatureInfo").size(), 1u);
    EXPECT_TRUE(fs::is_empty(folder.Path("temp"))) << "the unread answer goes with the command's own folder";

    // MapServer's indented layout makes names of several lines: each field
    // still prints on one line of its own.
    service.featureInfo = [](const ScriptedRequest&) {
        return ScriptedResponse::Ok("GetFeatureInfo results:\n\nLayer 'roads'\n  Feature 5: \n    id = '5'\n"
                                    "    name = 'Elm'\n", "text/plain");
    };
    run = RunOgcweb(folder, FeatureInfo(service.Url()));
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 5u) << run.out;
    EXPECT_EQ(lines[1], "fields: 3");
    EXPECT_TRUE(Contains(run.out, "'5'\\n    name")) << run.out;
}

TEST(OgcwebFeatureInfoCli, AMapThatFailsEndsTheCommand) {
    ScratchFolder folder;
    MapService service(ElmStreet);
    service.getMap = ScriptedResponse::Status(500, "broken");
    const CliResult run = RunOgcweb(folder, FeatureInfo(service.Url()));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "the service returned no map")) << run.err;
    EXPECT_TRUE(service.Requests("GetFeatureInfo").empty());
}

TEST(OgcwebFeatureInfoCli, PrintsTheSampleServicesFieldsUnderThePixel) {
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    ScratchFolder folder;
    // Riverton lies at 10.9, 49.1, inside the urban area of the same name.
    const CliResult run = RunOgcweb(folder, FeatureInfo(server.Url("/wms")));
    ASSERT_EQ(run.status, 0) << run.err << server.Log();
    for (const char* text : {"\nfields: ", "  cities.name ", " = Riverton\n", " = urban\n"})
        EXPECT_TRUE(Contains(run.out, text)) << run.out;
}

TEST(OgcwebInfoBridgeCli, ShowsWhatTheEngineInterfaceShows) {
    ScratchFolder folder;
    MapService service(ElmStreet);
    const CliResult direct = RunOgcweb(folder, {"info", service.Url()});
    const CliResult bridged = RunOgcweb(folder, {"info", service.Url(), "--bridge"});
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(bridged.status, 0) << bridged.err;
    EXPECT_TRUE(Contains(bridged.out, "through:  data-connectivity bridge")) << bridged.out;
    EXPECT_FALSE(Contains(direct.out, "through:")) << direct.out;
    // Engine, version and every dataset's name, type, system, bounds and
    // layers read the same both ways.
    auto shared = [](const std::string& out) {
        std::vector<std::string> kept;
        for (const std::string& line : Lines(out))
            for (const char* start : {"engine:", "version:", "datasets:", "  Scripted", "    type:", "    crs:",
                                      "    bounds:", "      ns:", "      plain"})
                if (line.rfind(start, 0) == 0) kept.push_back(line);
        return kept;
    };
    const std::vector<std::string> expected = shared(direct.out);
    ASSERT_GE(expected.size(), 10u) << direct.out;
    EXPECT_EQ(shared(bridged.out), expected) << bridged.out;
}
