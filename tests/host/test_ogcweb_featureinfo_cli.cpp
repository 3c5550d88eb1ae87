// "ogcweb featureinfo" and "ogcweb info --bridge", run as real processes
// against scripted loopback services and the sample service.
#include "SampleServer.h"
#include "ScriptedServer.h"
#include "TestImages.h"

#include "CliRunner.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

using ogctest::Contains;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A scratch folder whose "temp" subfolder is the engine's temporary folder.
class Folder : public ogctest::ScratchFolder {
public:
    Folder() : ogctest::ScratchFolder("ogcweb-finfo") { fs::create_directories(Path("temp")); }
    std::vector<std::string> TempFiles() const {
        std::vector<std::string> names;
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(Path("temp"), ec)) names.push_back(entry.path().filename());
        return names;
    }
};

using RunResult = ogctest::CliResult;


RunResult RunCli(const Folder& folder, std::vector<std::string> args, bool service = true) {
    if (service)
        for (const std::string& extra : {std::string("--plugin"), std::string(OGCWEB_PLUGIN_PATH), std::string("--log"),
                                         folder.Path("ogcweb.log"), std::string("--temp"), folder.Path("temp")})
            args.push_back(extra);
    return ogctest::RunProgram(OGCWEB_CLI_PATH, args, folder.Path(""));
}

// A 1.1.1 map service of three queryable layers, ns:roads, ns:rivers and
// plain, whose feature-information answers come from `answer`.
class MapService {
public:
    using Answer = std::function<ScriptedResponse(const ScriptedRequest&)>;

    explicit MapService(Answer answer)
        : m_answer(std::move(answer)), m_server([this](const ScriptedRequest& r) { return Respond(r); }) {}

    std::string Url() const { return m_server.Url("/wms"); }
    void FailMaps() { m_failMaps = true; }
    std::vector<ScriptedRequest> Requests(const std::string& operation) const {
        std::vector<ScriptedRequest> found;
        for (const ScriptedRequest& r : m_server.Requests())
            if (Upper(r.Param("REQUEST")) == Upper(operation) || Upper(r.Param("request")) == Upper(operation))
                found.push_back(r);
        return found;
    }
    std::vector<ScriptedRequest> All() const { return m_server.Requests(); }

private:
    ScriptedResponse Respond(const ScriptedRequest& r) {
        const std::string operation = Upper(r.Param("REQUEST").empty() ? r.Param("request") : r.Param("REQUEST"));
        if (operation == "GETCAPABILITIES")
            return ScriptedResponse::Ok(
                "<WMT_MS_Capabilities version=\"1.1.1\"><Service><Name>OGC:WMS</Name></Service><Capability><Request>"
                "<GetMap><Format>image/png</Format><DCPType><HTTP><Get><OnlineResource xlink:href=\"" +
                m_server.Url("/wms?") +
                "\"/></Get></HTTP></DCPType></GetMap></Request><Layer><Title>Scripted</Title><SRS>EPSG:4326</SRS>"
                "<LatLonBoundingBox minx=\"5\" miny=\"45\" maxx=\"15\" maxy=\"55\"/>"
                "<Layer queryable=\"1\"><Name>ns:roads</Name><Title>Roads</Title></Layer>"
                "<Layer queryable=\"1\"><Name>ns:rivers</Name><Title>Rivers</Title></Layer>"
                "<Layer queryable=\"1\"><Name>plain</Name><Title>Plain</Title></Layer>"
                "</Layer></Capability></WMT_MS_Capabilities>");
        if (operation == "GETMAP")
            return m_failMaps ? ScriptedResponse::Status(500, "broken")
                              : ScriptedResponse::Ok(ogctest::MakeImage("PNG", 100, 100), "image/png");
        if (operation == "GETFEATUREINFO") return m_answer(r);
        return ScriptedResponse::Status(400, "unexpected " + r.target);
    }

    Answer m_answer;
    bool m_failMaps = false;
    ScriptedServer m_server;  // last: its threads may call Respond until it is gone
};

ScriptedResponse ElmStreet(const ScriptedRequest&) {
    return ScriptedResponse::Ok("Results for roads:\r\n------------------\r\nNAME = Elm\r\nLANES = 2\r\n", "text/plain");
}

// Riverton's pixel on the sample service's whole region.
std::vector<std::string> FeatureInfoArgs(const std::string& url, std::vector<std::string> more = {},
                                         const std::string& pixel = "59,59") {
    std::vector<std::string> args = {"featureinfo", url, "--bbox", "5,45,15,55", "--size", "100x100", "--pixel=" + pixel};
    args.insert(args.end(), more.begin(), more.end());
    return args;
}

} // namespace

TEST(OgcwebFeatureInfoCli, HelpAndUsageMistakes) {
    Folder folder;
    RunResult overview = RunCli(folder, {"--help"}, false);
    EXPECT_EQ(overview.status, 0);
    EXPECT_TRUE(Contains(overview.out, "featureinfo")) << overview.out;
    RunResult help = RunCli(folder, {"featureinfo", "--help"}, false);
    EXPECT_EQ(help.status, 0);
    EXPECT_TRUE(Contains(help.out, "--pixel X,Y")) << help.out;

    MapService service(ElmStreet);
    struct Case {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"featureinfo", service.Url(), "--bbox", "5,45,15,55", "--size", "100x100"}, "--pixel is required"},
        {FeatureInfoArgs(service.Url(), {}, "100,5"), "outside the 100x100 map"},
        {FeatureInfoArgs(service.Url(), {}, "5,100"), "outside the 100x100 map"},
        {FeatureInfoArgs(service.Url(), {}, "-1,5"), "two whole numbers"},
        {FeatureInfoArgs(service.Url(), {}, "1,2,3"), "two whole numbers"},
        {FeatureInfoArgs(service.Url(), {}, "7"), "--pixel needs X,Y"},
        {{"featureinfo", service.Url(), "--bbox", "5,45,15,55", "--size", "0x5", "--pixel", "0,0"}, "--size"},
    };
    for (const Case& c : cases) {
        RunResult run = RunCli(folder, c.args);
        EXPECT_EQ(run.status, 2) << c.message << "\n" << run.err;
        EXPECT_TRUE(Contains(run.err, c.message)) << run.err;
    }
    EXPECT_TRUE(service.All().empty()) << "a command line that cannot run contacts nobody";
}

TEST(OgcwebFeatureInfoCli, DrawsTheMapThenPrintsTheFields) {
    Folder folder;
    MapService service(ElmStreet);
    RunResult run = RunCli(folder, FeatureInfoArgs(service.Url()));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out), (std::vector<std::string>{"pixel 59,59 of a 100x100 map of 5,45,15,55", "fields: 2",
                                                         "  LANES = 2", "  NAME  = Elm"}))
        << run.out;

    std::vector<ScriptedRequest> maps = service.Requests("GetMap");
    std::vector<ScriptedRequest> infos = service.Requests("GetFeatureInfo");
    ASSERT_EQ(maps.size(), 1u);
    ASSERT_EQ(infos.size(), 1u) << "one prefix, one request; 'plain' is never asked about";
    EXPECT_EQ(service.All().back().target, infos[0].target) << "the map is drawn before the pixel is asked about";
    EXPECT_EQ(infos[0].target,
              "/wms?bbox=5.000000,45.000000,15.000000,55.000000&format=jpeg&info_format=text/plain&SRS=EPSG:4326"
              "&request=GetFeatureInfo&layers=plain,ns:rivers,ns:roads&query_layers=ns:roads,ns:rivers"
              "&width=100&height=100&X=59&Y=59");
    EXPECT_TRUE(folder.TempFiles().empty());
}

TEST(OgcwebFeatureInfoCli, LayersChooseWhatIsAsked) {
    Folder folder;
    MapService service(ElmStreet);
    RunResult run = RunCli(folder, FeatureInfoArgs(service.Url(), {"--layers", "ns:rivers"}));
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<ScriptedRequest> infos = service.Requests("GetFeatureInfo");
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0].Param("layers"), "ns:rivers");
    EXPECT_EQ(infos[0].Param("query_layers"), "ns:rivers");

    RunResult unknown = RunCli(folder, FeatureInfoArgs(service.Url(), {"--layers", "ns:lakes"}));
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no layer named \"ns:lakes\"")) << unknown.err;
}

TEST(OgcwebFeatureInfoCli, AnswersWithoutFieldsAndOddNames) {
    Folder folder;
    {
        // An exception report: nothing read, nothing left behind.
        MapService service([](const ScriptedRequest&) {
            return ScriptedResponse::Ok("<ServiceExceptionReport><ServiceException>no</ServiceException>"
                                        "</ServiceExceptionReport>",
                                        "application/vnd.ogc.se_xml");
        });
        RunResult run = RunCli(folder, FeatureInfoArgs(service.Url()));
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "no fields")) << run.out;
        EXPECT_EQ(service.Requests("GetFeatureInfo").size(), 1u);
        EXPECT_TRUE(folder.TempFiles().empty()) << "the unread answer goes with the command's own folder";
    }
    {
        // MapServer's indented layout makes names of several lines: each
        // field still prints on one line of its own.
        MapService service([](const ScriptedRequest&) {
            return ScriptedResponse::Ok("GetFeatureInfo results:\n\nLayer 'roads'\n  Feature 5: \n    id = '5'\n"
                                        "    name = 'Elm'\n",
                                        "text/plain");
        });
        RunResult run = RunCli(folder, FeatureInfoArgs(service.Url()));
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_EQ(lines.size(), 5u) << run.out;
        EXPECT_EQ(lines[1], "fields: 3");
        EXPECT_TRUE(Contains(run.out, "'5'\\n    name")) << run.out;
    }
}

TEST(OgcwebFeatureInfoCli, AMapThatFailsEndsTheCommand) {
    Folder folder;
    MapService service(ElmStreet);
    service.FailMaps();
    RunResult run = RunCli(folder, FeatureInfoArgs(service.Url()));
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "the service returned no map")) << run.err;
    EXPECT_TRUE(service.Requests("GetFeatureInfo").empty());
}

TEST(OgcwebFeatureInfoCli, PrintsTheSampleServicesFieldsUnderThePixel) {
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    Folder folder;
    // Riverton lies at 10.9, 49.1: pixel 59,59 of this map, inside the
    // urban area of the same name.
    RunResult run = RunCli(folder, FeatureInfoArgs(server.Url("/wms")));
    ASSERT_EQ(run.status, 0) << run.err << server.Log();
    EXPECT_TRUE(Contains(run.out, "\nfields: ")) << run.out;
    EXPECT_TRUE(Contains(run.out, "  cities.name ")) << run.out;
    EXPECT_TRUE(Contains(run.out, " = Riverton\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, " = urban\n")) << run.out;
}

TEST(OgcwebInfoBridgeCli, ShowsWhatTheEngineInterfaceShows) {
    Folder folder;
    MapService service(ElmStreet);
    RunResult direct = RunCli(folder, {"info", service.Url()});
    RunResult bridged = RunCli(folder, {"info", service.Url(), "--bridge"});
    ASSERT_EQ(direct.status, 0) << direct.err;
    ASSERT_EQ(bridged.status, 0) << bridged.err;
    EXPECT_TRUE(Contains(bridged.out, "through:  data-connectivity bridge")) << bridged.out;
    EXPECT_FALSE(Contains(direct.out, "through:")) << direct.out;

    // Engine, version and every dataset's name, type, system, bounds and
    // layers read the same both ways.
    auto shared = [](const std::string& out) {
        std::vector<std::string> kept;
        for (const std::string& line : Lines(out))
            if (line.rfind("engine:", 0) == 0 || line.rfind("version:", 0) == 0 || line.rfind("datasets:", 0) == 0 ||
                line.rfind("  Scripted", 0) == 0 || line.rfind("    type:", 0) == 0 || line.rfind("    crs:", 0) == 0 ||
                line.rfind("    bounds:", 0) == 0 || line.rfind("      ns:", 0) == 0 || line.rfind("      plain", 0) == 0)
                kept.push_back(line);
        return kept;
    };
    const std::vector<std::string> expected = shared(direct.out);
    ASSERT_GE(expected.size(), 10u) << direct.out;
    EXPECT_EQ(expected[0], "engine:   OGC Web Engine");
    EXPECT_EQ(shared(bridged.out), expected) << bridged.out;

    RunResult refused = RunCli(folder, {"info", "ftp://127.0.0.1/x", "--bridge"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_TRUE(Contains(refused.err, "not an http or https address")) << refused.err;
}
