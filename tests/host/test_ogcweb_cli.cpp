// The ogcweb command-line host, run as a real process against scripted
// loopback services, and the host's download progress hook it relies on.
//
// The OgcwebMapCli tests (and OgcwebInfoCli.ListsTheLayerOfAMapService)
// need the engine's WMS map dataset: without it a service opens with no
// dataset, and they fail on that.
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmNetwork.h"
#include "VmStream.h"

#include "CliRunner.h"

#include <gtest/gtest.h>

#include <cpl_vsi.h>
#include <gdal.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

using ogctest::Contains;
using ogctest::LineCount;

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

using RunResult = ogctest::CliResult;

struct Folder : ogctest::ScratchFolder {
    Folder() : ogctest::ScratchFolder("ogcweb-cli") {}
};

// Runs the ogcweb binary with `args`, standard output and error going to
// files in `folder`.
RunResult RunCli(const Folder& folder, const std::vector<std::string>& args) {
    return ogctest::RunProgram(OGCWEB_CLI_PATH, args, folder.Path(""));
}

// The options every service test gives: the engine under test, a log and a
// temporary folder of the test's own.
std::vector<std::string> ServiceArgs(const Folder& folder, std::vector<std::string> args) {
    for (const char* extra : {"--plugin", OGCWEB_PLUGIN_PATH})
        args.push_back(extra);
    args.push_back("--log");
    args.push_back(folder.Path("ogcweb.log"));
    args.push_back("--temp");
    args.push_back(folder.Path("temp"));
    return args;
}

// ---------------------------------------------------------------------------
// A scripted map service

const char* const kSingleLayer =
    "<Layer queryable=\"1\"><Name>roads</Name><Title>Main roads</Title><CRS>EPSG:4326</CRS>"
    "<EX_GeographicBoundingBox><westBoundLongitude>5</westBoundLongitude>"
    "<eastBoundLongitude>15</eastBoundLongitude><southBoundLatitude>45</southBoundLatitude>"
    "<northBoundLatitude>55</northBoundLatitude></EX_GeographicBoundingBox>"
    "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/>"
    "</Layer>";

const char* const kTwoLayers =
    "<Layer><Title>Everything</Title><CRS>EPSG:4326</CRS>"
    "<EX_GeographicBoundingBox><westBoundLongitude>5</westBoundLongitude>"
    "<eastBoundLongitude>15</eastBoundLongitude><southBoundLatitude>45</southBoundLatitude>"
    "<northBoundLatitude>55</northBoundLatitude></EX_GeographicBoundingBox>"
    "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/>"
    "<Layer queryable=\"1\"><Name>roads</Name><Title>Main roads</Title></Layer>"
    "<Layer><Name>rivers</Name><Title>Rivers</Title>"
    "<Style><Name>fancy</Name><Title>Fancy</Title></Style></Layer>"
    "</Layer>";

std::string Capabilities130(const std::string& endpoint, const std::string& layers) {
    const std::string get = "<DCPType><HTTP><Get><OnlineResource xlink:type=\"simple\" xlink:href=\"" + endpoint +
                            "\"/></Get></HTTP></DCPType>";
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>"
           "<WMS_Capabilities version=\"1.3.0\" xmlns=\"http://www.opengis.net/wms\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\">"
           "<Service><Name>WMS</Name><Title>Scripted map service</Title>"
           "<OnlineResource xlink:type=\"simple\" xlink:href=\"" + endpoint + "\"/></Service>"
           "<Capability><Request>"
           "<GetCapabilities><Format>text/xml</Format>" + get + "</GetCapabilities>"
           "<GetMap><Format>image/png</Format>" + get + "</GetMap>"
           "</Request><Exception><Format>XML</Format></Exception>" + layers +
           "</Capability></WMS_Capabilities>";
}

// A 4x3 RGB PNG whose red band counts 0..11 row by row.
std::string SmallPng() {
    GDALAllRegister();
    GDALDatasetH memory = GDALCreate(GDALGetDriverByName("MEM"), "", 4, 3, 3, GDT_Byte, nullptr);
    if (!memory) return std::string();
    for (int band = 1; band <= 3; ++band) {
        unsigned char pixels[12];
        for (int i = 0; i < 12; ++i) pixels[i] = static_cast<unsigned char>(band == 1 ? i : 100 * (band - 1));
        if (GDALRasterIO(GDALGetRasterBand(memory, band), GF_Write, 0, 0, 4, 3, pixels, 4, 3, GDT_Byte, 0, 0) != CE_None) {
            GDALClose(memory);
            return std::string();
        }
    }
    const char* path = "/vsimem/ogcweb_cli_test.png";
    GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), path, memory, FALSE, nullptr, nullptr, nullptr);
    GDALClose(memory);
    if (!png) return std::string();
    GDALClose(png);
    vsi_l_offset length = 0;
    GByte* bytes = VSIGetMemFileBuffer(path, &length, TRUE);
    std::string data(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    VSIFree(bytes);
    return data;
}

// Answers capabilities requests with `layers` and GetMap with `getMap`.
class MapService {
public:
    explicit MapService(std::string layers = kSingleLayer, ScriptedResponse getMap = ScriptedResponse::Ok(SmallPng(), "image/png"))
        : m_layers(std::move(layers)), m_getMap(std::move(getMap)),
          m_server([this](const ScriptedRequest& request) { return Answer(request); }) {}

    std::string Url() const { return m_server.Url("/wms"); }
    ScriptedServer& Server() { return m_server; }

    std::vector<ScriptedRequest> Requests(const std::string& operation) const {
        std::vector<ScriptedRequest> found;
        for (const ScriptedRequest& request : m_server.Requests())
            if (Upper(request.Param("REQUEST")) == Upper(operation)) found.push_back(request);
        return found;
    }

private:
    ScriptedResponse Answer(const ScriptedRequest& request) {
        const std::string operation = Upper(request.Param("REQUEST"));
        if (operation == "GETCAPABILITIES") return ScriptedResponse::Ok(Capabilities130(m_server.Url("/wms?"), m_layers));
        if (operation == "GETMAP") return m_getMap;
        return ScriptedResponse::Status(400, "unexpected request " + request.target);
    }

    std::string m_layers;
    ScriptedResponse m_getMap;
    ScriptedServer m_server;  // last: its threads may call Answer until it is gone
};

// ---------------------------------------------------------------------------
// Command line

TEST(OgcwebCli, TopLevelHelpListsTheCommandsAndSucceeds) {
    Folder folder;
    for (const char* flag : {"--help", "-h"}) {
        RunResult run = RunCli(folder, {flag});
        EXPECT_EQ(run.status, 0) << flag;
        EXPECT_TRUE(Contains(run.out, "info")) << run.out;
        EXPECT_TRUE(Contains(run.out, "map")) << run.out;
        EXPECT_EQ(run.err, "");
    }
}

TEST(OgcwebCli, EveryCommandHasItsOwnHelp) {
    Folder folder;
    RunResult map = RunCli(folder, {"map", "--help"});
    EXPECT_EQ(map.status, 0);
    EXPECT_TRUE(Contains(map.out, "--bbox")) << map.out;
    EXPECT_TRUE(Contains(map.out, "--timeout")) << "common options belong to every command's help";
    // Help wins over a line that could not run.
    RunResult info = RunCli(folder, {"info", "--no-such-thing", "--help"});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(Contains(info.out, "usage: ogcweb info")) << info.out;
    EXPECT_FALSE(Contains(info.out, "--bbox")) << "map's options are not info's";
    // ...but a value that happens to read "-h" is a value.
    RunResult password = RunCli(folder, {"info", "--password", "-h"});
    EXPECT_EQ(password.status, 2) << "no address given";
    EXPECT_EQ(password.out, "");
    RunResult viaHelp = RunCli(folder, {"help", "map"});
    EXPECT_EQ(viaHelp.status, 0);
    EXPECT_EQ(viaHelp.out, map.out);
}

TEST(OgcwebCli, MistakesEndWithOneLineAndUsageStatus) {
    Folder folder;
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    };
    for (const Case& bare : {Case{{}, "no command"}, Case{{"frobnicate", "http://127.0.0.1:1/"}, "frobnicate"},
                             Case{{"--frobnicate"}, "--frobnicate"}}) {
        RunResult run = RunCli(folder, bare.args);
        EXPECT_EQ(run.status, 2) << bare.mentions;
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
        EXPECT_EQ(run.err.rfind("ogcweb: ", 0), 0u) << run.err;
        EXPECT_TRUE(Contains(run.err, bare.mentions)) << run.err;
    }
    const Case cases[] = {
        {{"info"}, "URL"},
        {{"info", "http://127.0.0.1:1/", "--bogus"}, "--bogus"},
        {{"info", "http://127.0.0.1:1/", "--kind", "ftp"}, "--kind"},
        {{"info", "http://127.0.0.1:1/", "--timeout", "soon"}, "--timeout"},
        {{"info", "file:///etc/passwd"}, "file:///etc/passwd"},
        {{"map", "http://127.0.0.1:1/", "--size", "4x3", "-o", "x.png"}, "--bbox"},
        {{"map", "http://127.0.0.1:1/", "--bbox", "0,0,1,1", "-o", "x.png"}, "--size"},
    };
    for (const Case& c : cases) {
        RunResult run = RunCli(folder, ServiceArgs(folder, c.args));
        std::string shown;
        for (const std::string& a : c.args) shown += a + " ";
        EXPECT_EQ(run.status, 2) << shown << run.err;
        EXPECT_EQ(LineCount(run.err), 1) << shown << run.err;
        EXPECT_EQ(run.err.rfind("ogcweb: ", 0), 0u) << run.err;
        EXPECT_TRUE(Contains(run.err, c.mentions)) << shown << run.err;
        EXPECT_EQ(run.out, "") << shown;
    }
}

TEST(OgcwebCli, MapRejectsBadArgumentsBeforeContactingTheService) {
    MapService service;
    Folder folder;
    const std::vector<std::vector<std::string>> lines = {
        {"--bbox", "10,0,5,1", "--size", "4x3", "-o", folder.Path("a.png")},      // minx above maxx
        {"--bbox", "0,0,1", "--size", "4x3", "-o", folder.Path("a.png")},         // three numbers
        {"--bbox", "0,0,1,nan", "--size", "4x3", "-o", folder.Path("a.png")},     // not a number
        {"--bbox", "0,0,1,1", "--size", "0x3", "-o", folder.Path("a.png")},       // empty picture
        {"--bbox", "0,0,1,1", "--size", "4by3", "-o", folder.Path("a.png")},
        {"--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("a.gif")},       // no writer for it
        {"--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("a.png"), "--style", "roads"},
        {"--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("a.png"), "--layers", "roads,,rivers"},
        {"--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("no/such/folder/a.png")},
    };
    for (const auto& options : lines) {
        std::vector<std::string> args = {"map", service.Url()};
        args.insert(args.end(), options.begin(), options.end());
        RunResult run = RunCli(folder, ServiceArgs(folder, args));
        EXPECT_NE(run.status, 0) << options[1] << " " << options[3] << " " << options[5];
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
    }
    EXPECT_EQ(service.Server().RequestCount(), 0u);
}

TEST(OgcwebCli, EngineThatCannotBeLoadedIsNamed) {
    Folder folder;
    const std::string missing = folder.Path("libNoEngine.so");
    RunResult run = RunCli(folder, {"info", "http://127.0.0.1:1/wms", "--plugin", missing, "--log", folder.Path("l.log")});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_TRUE(Contains(run.err, "cannot load the engine " + missing)) << run.err;

    // A library that loads but is no engine.
    RunResult wrong = RunCli(folder, {"info", "http://127.0.0.1:1/wms", "--plugin", "libc.so.6"});
    EXPECT_EQ(wrong.status, 1);
    EXPECT_TRUE(Contains(wrong.err, "CreateDataSource")) << wrong.err;
}

// ---------------------------------------------------------------------------
// info

TEST(OgcwebInfoCli, DeadAddressFailsWithOneLineAndWritesTheLog) {
    Folder folder;
    const int port = ogctest::ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/wms";
    const std::string log = folder.Path("ogcweb.log");
    RunResult run = RunCli(folder, ServiceArgs(folder, {"info", url}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("ogcweb: cannot open " + url + ": ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, log)) << "the line points at the log: " << run.err;
    ASSERT_TRUE(fs::exists(log));
    EXPECT_TRUE(Contains(ogctest::ReadFile(log), url)) << ogctest::ReadFile(log);
    // The downloads left nothing behind.
    std::error_code ec;
    EXPECT_TRUE(fs::is_empty(folder.Path("temp"), ec)) << ec.message();
}

TEST(OgcwebInfoCli, PrintsTheEngineAndTheNegotiatedVersion) {
    MapService service;
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"info", service.Url()}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "engine:   OGC Web Engine\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "version:  1.3.0\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "service:  wms\n")) << run.out;
    EXPECT_EQ(run.err, "");
    ASSERT_FALSE(service.Requests("GetCapabilities").empty());
    EXPECT_EQ(service.Requests("GetCapabilities").back().Param("VERSION"), "1.3.0");
}

TEST(OgcwebInfoCli, SendsTheCredentialsGiven) {
    MapService service;
    Folder folder;
    RunResult run =
        RunCli(folder, ServiceArgs(folder, {"info", service.Url(), "--user", "alice", "--password", "s3cret"}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(service.Server().LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");
}

TEST(OgcwebInfoCli, KindChoosesTheServiceAskedFor) {
    MapService service;
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"info", service.Url(), "--kind", "wfs"}));
    EXPECT_EQ(run.status, 1) << "a map service is no feature service";
    ASSERT_GT(service.Server().RequestCount(), 0u);
    for (const ScriptedRequest& request : service.Server().Requests())
        EXPECT_EQ(request.Param("SERVICE"), "WFS") << request.target;
}

TEST(OgcwebInfoCli, TimeoutAbandonsASilentServer) {
    ScriptedServer server([](const ScriptedRequest&) {
        // Longer than the time-out given, far shorter than the default one.
        return ScriptedResponse::Stall(4000, ScriptedResponse::Ok(Capabilities130("http://127.0.0.1:1/", kSingleLayer)));
    });
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"info", server.Url("/wms"), "--timeout", "1"}));
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
}

TEST(OgcwebInfoCli, ProgressLineForADownloadThatTakesAWhile) {
    std::atomic<int> served{0};
    const std::string body = Capabilities130("http://127.0.0.1:1/", kSingleLayer);
    ScriptedServer server([&](const ScriptedRequest&) {
        // Only the first answer is slow, so the run stays short.
        if (served++ == 0) return ScriptedResponse::PauseInBody(body, 40, 2000);
        return ScriptedResponse::Ok(body);
    });
    Folder folder;
    RunResult shown = RunCli(folder, ServiceArgs(folder, {"info", server.Url("/wms"), "--progress"}));
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::string host = "127.0.0.1:" + std::to_string(server.Port());
    EXPECT_TRUE(Contains(shown.err, "\r  downloading " + host + " ... ")) << shown.err;
    // Blanks after the last text erase what a longer earlier text left.
    const size_t done = shown.err.rfind(", done");
    ASSERT_NE(done, std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.find_first_not_of(' ', done + 6), shown.err.size() - 1) << "the line is ended: " << shown.err;
    EXPECT_EQ(shown.err.back(), '\n');
    EXPECT_EQ(LineCount(shown.err), 1) << "only the slow download shows: " << shown.err;

    served = 0;
    RunResult quiet = RunCli(folder, ServiceArgs(folder, {"info", server.Url("/wms"), "--no-progress"}));
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
}

TEST(OgcwebInfoCli, ListsTheLayerOfAMapService) {
    MapService service;
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"info", service.Url()}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "    type:    86 (map)\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "    crs:     EPSG:4326\n")) << run.out;
    // name, visible, queryable, style, title
    std::istringstream lines(run.out);
    std::string line;
    bool found = false;
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string name, visible, queryable, style;
        words >> name >> visible >> queryable >> style;
        if (name != "roads") continue;
        found = true;
        EXPECT_EQ(queryable, "yes") << line;
        EXPECT_EQ(style, "default") << line;
        EXPECT_TRUE(Contains(line, "Main roads")) << line;
    }
    EXPECT_TRUE(found) << run.out;
}

// ---------------------------------------------------------------------------
// map: these need the engine's WMS map dataset.

// The world file's six numbers.
std::vector<double> WorldFile(const std::string& path) {
    std::istringstream in(ogctest::ReadFile(path));
    std::vector<double> values;
    double value = 0;
    while (in >> value) values.push_back(value);
    return values;
}

TEST(OgcwebMapCli, WritesPngWithWorldFile) {
    MapService service;
    Folder folder;
    const std::string out = folder.Path("out.png");
    RunResult run =
        RunCli(folder, ServiceArgs(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3", "-o", out}));
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + out + " (4x3, 3 bands, Byte)\n");

    const auto maps = service.Requests("GetMap");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].Param("WIDTH"), "4");
    EXPECT_EQ(maps[0].Param("HEIGHT"), "3");
    EXPECT_EQ(maps[0].Param("LAYERS"), "roads");

    GDALAllRegister();
    GDALDatasetH png = GDALOpen(out.c_str(), GA_ReadOnly);
    ASSERT_NE(png, nullptr);
    EXPECT_EQ(GDALGetRasterXSize(png), 4);
    EXPECT_EQ(GDALGetRasterYSize(png), 3);
    GDALClose(png);
    // 1 unit over 4 columns, 1 over 3 rows; the world file names pixel centres.
    const std::vector<double> world = WorldFile(folder.Path("out.pgw"));
    ASSERT_EQ(world.size(), 6u) << ogctest::ReadFile(folder.Path("out.pgw"));
    EXPECT_DOUBLE_EQ(world[0], 1.0);
    EXPECT_DOUBLE_EQ(world[1], 0.0);
    EXPECT_DOUBLE_EQ(world[2], 0.0);
    EXPECT_DOUBLE_EQ(world[3], -1.0);
    EXPECT_DOUBLE_EQ(world[4], 8.5);
    EXPECT_DOUBLE_EQ(world[5], 48.5);
}

TEST(OgcwebMapCli, WritesGeoTiffWithGeoreferenceAndPixels) {
    MapService service;
    Folder folder;
    const std::string out = folder.Path("out.tif");
    RunResult run =
        RunCli(folder, ServiceArgs(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3", "-o", out}));
    ASSERT_EQ(run.status, 0) << run.err;

    GDALAllRegister();
    GDALDatasetH tif = GDALOpen(out.c_str(), GA_ReadOnly);
    ASSERT_NE(tif, nullptr);
    double transform[6] = {0, 0, 0, 0, 0, 0};
    ASSERT_EQ(GDALGetGeoTransform(tif, transform), CE_None);
    const double expected[6] = {8.0, 1.0, 0.0, 49.0, 0.0, -1.0};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(transform[i], expected[i]) << i;
    EXPECT_TRUE(Contains(GDALGetProjectionRef(tif), "4326")) << GDALGetProjectionRef(tif);
    ASSERT_EQ(GDALGetRasterCount(tif), 3);
    unsigned char red[12] = {};
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(tif, 1), GF_Read, 0, 0, 4, 3, red, 4, 3, GDT_Byte, 0, 0), CE_None);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(red[i], i) << "pixel " << i;
    GDALClose(tif);
}

TEST(OgcwebMapCli, AsksForTheLayersStylesAndTransparencyGiven) {
    MapService service(kTwoLayers);
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3",
                                                        "-o", folder.Path("out.png"), "--layers", "rivers",
                                                        "--style", "rivers=fancy", "--transparent"}));
    ASSERT_EQ(run.status, 0) << run.err;
    const auto maps = service.Requests("GetMap");
    ASSERT_EQ(maps.size(), 1u);
    EXPECT_EQ(maps[0].Param("LAYERS"), "rivers");
    EXPECT_EQ(maps[0].Param("STYLES"), "fancy");
    EXPECT_EQ(Upper(maps[0].Param("TRANSPARENT")), "TRUE");
}

TEST(OgcwebMapCli, UnknownLayerFailsWithoutAskingForAMap) {
    MapService service(kTwoLayers);
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3",
                                                        "-o", folder.Path("out.png"), "--layers", "roads,lakes"}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_TRUE(Contains(run.err, "no layer named \"lakes\"")) << run.err;
    EXPECT_TRUE(Contains(run.err, "rivers")) << "the known layers are listed: " << run.err;
    EXPECT_TRUE(service.Requests("GetMap").empty());
    EXPECT_FALSE(fs::exists(folder.Path("out.png")));
}

TEST(OgcwebMapCli, ServiceWithoutAnImageFailsWithOneLine) {
    MapService service(kSingleLayer, ScriptedResponse::Status(500, "broken"));
    Folder folder;
    RunResult run = RunCli(folder, ServiceArgs(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3",
                                                        "-o", folder.Path("out.png")}));
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("ogcweb: the service returned no image", 0), 0u) << run.err;
    EXPECT_EQ(service.Requests("GetMap").size(), 1u);
    EXPECT_FALSE(fs::exists(folder.Path("out.png")));
}

// ---------------------------------------------------------------------------
// The progress hook itself, in this process.

class ProgressHook : public ::testing::Test {
protected:
    struct Report {
        VMK::VmHttpProgress progress;
        std::thread::id thread;
    };

    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
        VMK::VmHttpSettings::SetProgressHandler([this](const VMK::VmHttpProgress& progress) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_reports.push_back({progress, std::this_thread::get_id()});
        });
    }
    void TearDown() override { VMK::VmHttpSettings::SetProgressHandler(VMK::VmHttpProgressHandler()); }

    std::vector<Report> Reports() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_reports;
    }

    std::string Download(const std::string& url) {
        const PLX::PlxMBString path = VMK::VmHttpHelper::RequestFile(url.c_str(), "", "", 0, 1);
        if (path.IsEmpty()) return "<failed>";
        const std::string data = ogctest::ReadFile(path.str());
        VMK::VmFile::Delete(path);
        return data;
    }

    VMK::TempFolder m_temp;
    std::mutex m_mutex;
    std::vector<Report> m_reports;
};

TEST_F(ProgressHook, LastReportOfATransferCarriesItsSizeAndSuccess) {
    const std::string body(5000, 'x');
    ScriptedServer server([&](const ScriptedRequest&) { return ScriptedResponse::Ok(body, "text/plain"); });
    const std::string url = server.Url("/data");
    ASSERT_EQ(Download(url), body) << "the hook must not change what is downloaded";
    const auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    const VMK::VmHttpProgress& last = reports.back().progress;
    EXPECT_TRUE(last.finished);
    EXPECT_TRUE(last.succeeded);
    EXPECT_EQ(last.received, 5000);
    EXPECT_EQ(last.total, 5000);
    EXPECT_EQ(last.url.str(), url);
    EXPECT_NE(last.transfer, 0u);
    int finished = 0;
    for (const Report& report : reports) {
        EXPECT_EQ(report.progress.transfer, last.transfer);
        finished += report.progress.finished ? 1 : 0;
        EXPECT_EQ(report.thread, std::this_thread::get_id()) << "reports come on the downloading thread";
    }
    EXPECT_EQ(finished, 1);
}

TEST_F(ProgressHook, FailedTransferIsReportedAsFailed) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Status(404, "gone"); });
    ASSERT_EQ(Download(server.Url("/gone")), "<failed>");
    const auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    EXPECT_TRUE(reports.back().progress.finished);
    EXPECT_FALSE(reports.back().progress.succeeded);
}

TEST_F(ProgressHook, ReportsWhileWaitingAreSpacedAndGrowing) {
    const std::string body(20000, 'y');
    ScriptedServer server([&](const ScriptedRequest&) {
        ScriptedResponse slow = ScriptedResponse::Ok(body, "text/plain");
        slow.sliceBytes = 500;  // 40 pieces over about 1.6 s
        slow.sliceDelayMs = 40;
        return slow;
    });
    ASSERT_EQ(Download(server.Url("/slow")), body);
    const auto reports = Reports();
    std::vector<VMK::VmHttpProgress> running;
    for (const Report& report : reports)
        if (!report.progress.finished) running.push_back(report.progress);
    ASSERT_GE(running.size(), 2u) << "a transfer of over a second is reported while it runs";
    ASSERT_LT(running.size(), 40u) << "not once per piece";
    for (size_t i = 1; i < running.size(); ++i) {
        EXPECT_GE(running[i].received, running[i - 1].received);
        // What the hook itself measured: reports at least a quarter second apart.
        EXPECT_GE(running[i].elapsedSec - running[i - 1].elapsedSec, 0.25 - 1e-9) << i;
    }
    EXPECT_EQ(reports.back().progress.received, 20000);
}

TEST_F(ProgressHook, ParallelTransfersAreToldApart) {
    const std::string body(3000, 'z');
    ScriptedServer server([&](const ScriptedRequest&) { return ScriptedResponse::Ok(body, "text/plain"); });
    std::string first, second;
    std::thread a([&] { first = Download(server.Url("/a")); });
    std::thread b([&] { second = Download(server.Url("/b")); });
    a.join();
    b.join();
    ASSERT_EQ(first, body);
    ASSERT_EQ(second, body);
    std::vector<unsigned long long> finishedTransfers;
    for (const Report& report : Reports())
        if (report.progress.finished) finishedTransfers.push_back(report.progress.transfer);
    ASSERT_EQ(finishedTransfers.size(), 2u);
    EXPECT_NE(finishedTransfers[0], finishedTransfers[1]);
}

TEST_F(ProgressHook, RemovedHandlerHearsNothingMore) {
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Ok("<a/>"); });
    VMK::VmHttpSettings::SetProgressHandler(VMK::VmHttpProgressHandler());
    ASSERT_EQ(Download(server.Url("/x")), "<a/>");
    EXPECT_TRUE(Reports().empty());
}

} // namespace
