// `ogcweb serve` run as a user runs it, against the sample service, the demo
// tile service and scripted faults, asked over HTTP as its page asks it.
#include "CliRunner.h"
#include "ListeningProcess.h"
#include "MapProxyServer.h"
#include "SampleServer.h"
#include "ScriptedServer.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <ogrsf_frmts.h>

#include <sys/wait.h>
#include <signal.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ogctest::Contains;

namespace {

// Demoland (longitude 5..15, latitude 45..55) in Web Mercator metres.
const char* const kDemoland = "556597.453966368,5621521.48619207,1669792.36189910,7361866.11305118";

class Viewer {
public:
    explicit Viewer(std::vector<std::string> services, std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {OGCWEB_CLI_PATH, "serve"};
        args.insert(args.end(), services.begin(), services.end());
        args.insert(args.end(), extra.begin(), extra.end());
        args.insert(args.end(), {"--port", "0", "--plugin", OGCWEB_PLUGIN_PATH, "--log", m_folder.Path("ogcweb.log"),
                                 "--temp", temp(), "--cache", m_folder.Path("cache")});
        const auto outcome = m_process.Start(args, m_folder.Path("serve.err"), 20000);
        m_port = outcome.port;
        if (m_port <= 0) m_error = "ogcweb serve did not start: " + outcome.line + " " + ogctest::ReadFile(m_folder.Path("serve.err"));
    }

    bool Running() const { return m_port > 0; }
    const std::string& Error() const { return m_error; }
    int Port() const { return m_port; }
    pid_t Pid() const { return m_process.Pid(); }
    std::string Temp() const { return m_folder.Path("temp"); }
    std::string Log() const { return ogctest::ReadFile(m_folder.Path("ogcweb.log")); }
    std::string Err() const { return ogctest::ReadFile(m_folder.Path("serve.err")); }

    httplib::Result Get(const std::string& path, const httplib::Headers& headers = {}) {
        return Client().Get(path.c_str(), headers);
    }
    httplib::Result Post(const std::string& path, const httplib::Params& params) {
        return Client().Post(path.c_str(), params);
    }

private:
    std::string temp() {
        fs::create_directories(m_folder.Path("temp"));
        return m_folder.Path("temp");
    }
    httplib::Client Client() {
        httplib::Client client("127.0.0.1", m_port);
        client.set_read_timeout(60, 0);
        return client;
    }

    ogctest::ScratchFolder m_folder{"ogcweb-serve"};
    ogctest::ListeningProcess m_process;
    int m_port = 0;
    std::string m_error;
};

#define REQUIRE_VIEWER(viewer) ASSERT_TRUE((viewer).Running()) << (viewer).Error()

// The width and height a PNG's header announces; 0 x 0 for no PNG.
std::pair<int, int> PngSize(const std::string& bytes) {
    if (bytes.size() < 24 || bytes.compare(1, 3, "PNG") != 0) return {0, 0};
    auto word = [&](size_t at) {
        return (static_cast<unsigned char>(bytes[at]) << 24) | (static_cast<unsigned char>(bytes[at + 1]) << 16) |
               (static_cast<unsigned char>(bytes[at + 2]) << 8) | static_cast<unsigned char>(bytes[at + 3]);
    };
    return {word(16), word(20)};
}

// Features of the sample data whose point lies inside the box.
int SourcePointsInside(const std::string& file, double minx, double miny, double maxx, double maxy) {
    GDALAllRegister();
    std::unique_ptr<GDALDataset> data(
        GDALDataset::Open((std::string(OGCWEB_SOURCE_DIR) + "/demo/data/" + file).c_str(), GDAL_OF_VECTOR));
    if (!data) return -1;
    int inside = 0;
    for (auto& feature : data->GetLayer(0)) {
        const OGRPoint* point = feature->GetGeometryRef()->toPoint();
        if (point->getX() >= minx && point->getX() <= maxx && point->getY() >= miny && point->getY() <= maxy) ++inside;
    }
    return inside;
}

std::string MapPath(int service, int dataset, const std::string& bbox, int width, int height) {
    return "/api/map?service=" + std::to_string(service) + "&dataset=" + std::to_string(dataset) +
           "&crs=EPSG:3857&bbox=" + bbox + "&width=" + std::to_string(width) + "&height=" + std::to_string(height);
}

} // namespace

// One viewer on the sample's map, feature and coverage services: what the
// page lists, draws and queries, and what it is refused.
TEST(OgcwebServe, SampleServiceAnswersThePage) {
    ogctest::SampleServer sample;
    OGCTEST_REQUIRE_SAMPLE_SERVER(sample);
    Viewer viewer({sample.Url("/wms"), "--service", "wfs=" + sample.Url("/ows"), "--service",
                   "wcs=" + sample.Url("/ows")});
    REQUIRE_VIEWER(viewer);

    auto catalog = viewer.Get("/api/services");
    ASSERT_TRUE(catalog);
    EXPECT_EQ(catalog->status, 200);
    for (const char* piece : {"\"mapCrs\":\"EPSG:3857\"", "\"kind\":\"wms\"", "\"name\":\"demo:cities\"",
                              "\"kind\":\"features\"", "\"name\":\"population\"", "\"kind\":\"coverage\"",
                              "\"engine\":\"OGC Web Engine\""})
        EXPECT_TRUE(Contains(ogctest::Upper(catalog->body), ogctest::Upper(piece))) << piece << " in " << catalog->body.substr(0, 400);

    // A map of the asked size; the page's static files.
    auto map = viewer.Get(MapPath(0, 0, kDemoland, 300, 200));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->status, 200) << map->body;
    EXPECT_EQ(map->get_header_value("Content-Type"), "image/png");
    EXPECT_EQ(PngSize(map->body), std::make_pair(300, 200));
    for (const char* file : {"/", "/viewer.js", "/viewer.css", "/leaflet/leaflet.js", "/leaflet/images/marker-icon.png"}) {
        auto got = viewer.Get(file);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, 200) << file;
    }

    // Feature information at Riverton (10.9, 49.1) of the map just drawn.
    auto info = viewer.Get("/api/featureinfo?service=0&dataset=0&crs=EPSG:3857&bbox=" + std::string(kDemoland) +
                      "&width=300&height=200&x=1213389.43&y=6293496.05");
    ASSERT_TRUE(info);
    EXPECT_EQ(info->status, 200) << info->body;
    EXPECT_TRUE(Contains(info->body, "Riverton")) << info->body;

    // Cities (dataset 4 of the feature service) in a bounds query: the
    // sample data's count; the same query again comes from that download.
    const std::string cities = "/api/features?service=1&dataset=4&bbox=8,48,12,52";
    auto first = viewer.Get(cities);
    ASSERT_TRUE(first);
    ASSERT_EQ(first->status, 200) << first->body;
    const int expected = SourcePointsInside("cities.geojson", 8, 48, 12, 52);
    ASSERT_GT(expected, 0);
    EXPECT_TRUE(Contains(first->body, "\"count\":" + std::to_string(expected) + ",")) << first->body.substr(0, 200);
    EXPECT_TRUE(Contains(first->body, "\"fromEarlierDownload\":false"));
    auto again = viewer.Get(cities);
    ASSERT_TRUE(again);
    EXPECT_TRUE(Contains(again->body, "\"fromEarlierDownload\":true"));

    // A coverage drawn stretched, then the value under a point of it.
    auto coverage = viewer.Get(MapPath(2, 0, kDemoland, 200, 200));
    ASSERT_TRUE(coverage);
    EXPECT_EQ(coverage->status, 200) << coverage->body;
    EXPECT_FALSE(coverage->get_header_value("X-Stretch-Max").empty());
    auto value = viewer.Get("/api/value?service=2&dataset=0&crs=EPSG:3857&x=1113194.9&y=6446275.8");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->status, 200);
    EXPECT_FALSE(Contains(value->body, "null")) << value->body;

    struct Refused {
        const char* path;
        int status;
        const char* says;
    };
    const Refused refused[] = {
        {"/api/features?service=1&dataset=4&where=population%20%3E%3E%3E%203", 400, "malformed attribute filter"},
        {"/api/map?service=0&dataset=0&crs=EPSG:3857&bbox=1,2,3&width=10&height=10", 400, "bbox"},
        {"/api/map?service=0&dataset=0&crs=EPSG:3857&bbox=3,2,1,4&width=10&height=10", 400, "bbox"},
        {"/api/map?service=0&dataset=0&crs=EPSG:3857&bbox=1,2,3,4&width=0&height=10", 400, "width"},
        {"/api/map?service=0&dataset=0&crs=EPSG:3857&bbox=1,2,3,4&width=10&height=99999", 400, "height"},
        {"/api/map?service=0&dataset=0&crs=EPSG:2056&bbox=1,2,3,4&width=10&height=10", 400, "crs"},
        {"/api/map?service=0&dataset=0&bbox=1,2,3,4&width=10&height=10", 400, "crs"},
        {"/api/map?service=9&dataset=0&crs=EPSG:3857&bbox=1,2,3,4&width=10&height=10", 404, "no service"},
        {"/api/map?service=0&dataset=99&crs=EPSG:3857&bbox=1,2,3,4&width=10&height=10", 404, "no dataset"},
        {"/api/features?service=0&dataset=0&bbox=1,2,3,4", 400, "no features"},
        {"/api/value?service=2&dataset=1&crs=EPSG:3857&x=1&y=2", 400, "drawn nothing"},
        {"/api/nothing", 404, "no such call"},
        {"/no-such-file.js", 404, "no such file"},
        {"/.hidden", 404, "no such file"},
        {"/%2e%2e/CMakeLists.txt", 404, "no such file"},
        {"/../CMakeLists.txt", 404, ""},
        {"/leaflet/../../../../etc/passwd", 404, ""},
    };
    for (const Refused& r : refused) {
        auto got = viewer.Get(r.path);
        ASSERT_TRUE(got) << r.path;
        EXPECT_EQ(got->status, r.status) << r.path << ": " << got->body;
        EXPECT_TRUE(Contains(got->body, r.says)) << r.path << ": " << got->body;
    }
    auto layer = viewer.Post("/api/layers", {{"service", "0"}, {"dataset", "0"}, {"layers", "demo:cities,demo:nope"}});
    ASSERT_TRUE(layer);
    EXPECT_EQ(layer->status, 404);
    auto style = viewer.Post("/api/style", {{"service", "0"}, {"dataset", "0"}, {"layer", "demo:cities"}, {"style", "plain"}});
    ASSERT_TRUE(style);
    EXPECT_EQ(style->status, 200) << style->body;

    // A page elsewhere, or a name rebound to this address, is refused.
    const std::string own = "127.0.0.1:" + std::to_string(viewer.Port());
    const httplib::Headers foreign[] = {{{"Origin", "http://evil.example"}}, {{"Host", "evil.example"}},
                                        {{"Origin", "http://localhost:1"}}};
    for (const auto& headers : foreign) {
        auto got = viewer.Get("/api/services", headers);
        ASSERT_TRUE(got);
        EXPECT_EQ(got->status, 403) << headers.begin()->second;
    }
    auto same = viewer.Get("/api/services", {{"Origin", "http://" + own}});
    ASSERT_TRUE(same);
    EXPECT_EQ(same->status, 200);
    // Credentials of the address never reach the page.
    EXPECT_FALSE(Contains(catalog->body, "@"));
}

// Ctrl-C: the viewer stops, closes its services and leaves no temporary file.
TEST(OgcwebServe, InterruptStopsCleanly) {
    ogctest::SampleServer sample;
    OGCTEST_REQUIRE_SAMPLE_SERVER(sample);
    Viewer viewer({sample.Url("/wms")});
    REQUIRE_VIEWER(viewer);
    auto map = viewer.Get(MapPath(0, 0, kDemoland, 64, 64));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->status, 200);
    ASSERT_EQ(::kill(viewer.Pid(), SIGINT), 0);
    int status = 0;
    ASSERT_EQ(::waitpid(viewer.Pid(), &status, 0), viewer.Pid());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << ogctest::DescribeExit(status) << ": " << viewer.Err();
    EXPECT_TRUE(fs::is_empty(viewer.Temp())) << "temporary files left behind";
}

// The service failing: 502 with the engine's codes (an exception report
// to GetMap gets none), and the viewer goes on answering.
TEST(OgcwebServe, EngineFailureIsABadGateway) {
    ogctest::ScriptedMapService service(
        "<Layer><Name>roads</Name><Title>Main roads</Title><CRS>EPSG:4326</CRS>"
        "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/></Layer>");
    service.getMap = ogctest::ScriptedResponse::Ok(
        "<?xml version=\"1.0\"?><ServiceExceptionReport version=\"1.3.0\"><ServiceException code=\"LayerNotDefined\">"
        "no such layer</ServiceException></ServiceExceptionReport>",
        "application/vnd.ogc.se_xml");
    Viewer viewer({service.Url()});
    REQUIRE_VIEWER(viewer);
    auto map = viewer.Get(MapPath(0, 0, kDemoland, 64, 64));
    ASSERT_TRUE(map);
    EXPECT_EQ(map->status, 502) << map->body;
    EXPECT_EQ(service.Requests("GetMap").size(), 1u);
    EXPECT_TRUE(Contains(map->body, "\"error\":\"the service returned no picture\",\"codes\":[")) << map->body;
    auto status = viewer.Get("/api/status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->status, 200);
    EXPECT_TRUE(Contains(status->body, "\"lastOperation\":\"map\"")) << status->body;
}

// Tiles come through the engine's tile cache: once cached, they are served
// with the tile service stopped.
TEST(OgcwebServe, CachedTilesWithTheServiceStopped) {
    ogctest::SampleServer sample;
    OGCTEST_REQUIRE_SAMPLE_SERVER(sample);
    ogctest::MapProxyServer tiles(sample.Url("/wms"));
    OGCTEST_REQUIRE_MAPPROXY(tiles);
    Viewer viewer({tiles.Url("/service"), "--kind", "wmts"});
    REQUIRE_VIEWER(viewer);
    // One tile of zoom level 6 over Demoland.
    const std::string tile = MapPath(0, 0, "626172.135712,5635549.221409,1252344.271424,6261721.357122", 256, 256);
    auto online = viewer.Get(tile);
    ASSERT_TRUE(online);
    ASSERT_EQ(online->status, 200) << online->body;
    EXPECT_EQ(PngSize(online->body), std::make_pair(256, 256));
    tiles.Stop();
    auto offline = viewer.Get(tile);
    ASSERT_TRUE(offline);
    EXPECT_EQ(offline->status, 200) << offline->body;
    EXPECT_EQ(offline->body, online->body) << "the cached tile, drawn the same";
}
