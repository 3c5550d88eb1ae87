// The ogcweb command-line host run as a real process against scripted
// loopback services: arguments, exit status, messages, output files, log;
// and the host's download progress hook it relies on.
#include "CliRunner.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmNetwork.h"
#include "VmStream.h"

#include <gtest/gtest.h>

#include <gdal.h>

#include <atomic>
#include <filesystem>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;
using ogctest::CliResult;
using ogctest::Contains;
using ogctest::LineCount;
using ogctest::RunOgcweb;
using ogctest::RunOgcwebBare;
using ogctest::ScratchFolder;
using ogctest::ScriptedRequest;
using ogctest::ScriptedMapService;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

const char* const kSingleLayer =
    "<Layer queryable=\"1\"><Name>roads</Name><Title>Main roads</Title><CRS>EPSG:4326</CRS>"
    "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/></Layer>";

const char* const kTwoLayers =
    "<Layer><Title>Everything</Title><CRS>EPSG:4326</CRS>"
    "<BoundingBox CRS=\"EPSG:4326\" minx=\"45\" miny=\"5\" maxx=\"55\" maxy=\"15\"/>"
    "<Layer queryable=\"1\"><Name>roads</Name><Title>Main roads</Title></Layer>"
    "<Layer><Name>rivers</Name><Title>Rivers</Title><Style><Name>fancy</Name><Title>Fancy</Title></Style></Layer>"
    "</Layer>";

void ExpectOneLineFailure(const CliResult& run, int status, const std::string& mentions) {
    EXPECT_EQ(run.status, status) << run.err;
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_EQ(run.err.rfind("ogcweb: ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, mentions)) << run.err;
    EXPECT_EQ(run.out, "");
}

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

} // namespace

TEST(OgcwebCli, HelpForTheProgramAndEachCommand) {
    ScratchFolder folder;
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> shows;
        const char* hides;
    };
    const Case cases[] = {
        {{"--help"}, {"info", "map", "featureinfo"}, nullptr},
        {{"-h"}, {"info", "map"}, nullptr},
        {{"map", "--help"}, {"--bbox", "--timeout"}, nullptr},  // the common options too
        {{"info", "--no-such-thing", "--help"}, {"usage: ogcweb info"}, "--bbox"},  // help wins over a mistake
        {{"featureinfo", "--help"}, {"--pixel X,Y"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args.back());
        const CliResult run = RunOgcwebBare(folder, c.args);
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.err, "");
        for (const char* text : c.shows) EXPECT_TRUE(Contains(run.out, text)) << run.out;
        EXPECT_FALSE(c.hides && Contains(run.out, c.hides)) << run.out;
    }
    EXPECT_EQ(RunOgcwebBare(folder, {"help", "map"}).out, RunOgcwebBare(folder, {"map", "--help"}).out);
}

// Every command's mistakes: one line naming the culprit, status 2, and no
// request to the service.
TEST(OgcwebCli, MistakesEndWithOneLineAndUsageStatus) {
    ScratchFolder folder;
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Status(400); });
    const std::string url = server.Url("/svc"), png = folder.Path("a.png");
    for (const auto& [args, mentions] : std::vector<std::pair<std::vector<std::string>, std::string>>{
             {{}, "no command"}, {{"frobnicate", url}, "frobnicate"}, {{"--frobnicate"}, "--frobnicate"}})
        ExpectOneLineFailure(RunOgcwebBare(folder, args), 2, mentions);

    const std::vector<std::string> area = {"--bbox", "5,45,15,55", "--size", "100x100"};
    auto featureinfo = [&](const std::string& pixel) {
        std::vector<std::string> args = {"featureinfo", url, "--pixel=" + pixel};
        args.insert(args.end(), area.begin(), area.end());
        return args;
    };
    struct Case {
        std::vector<std::string> args;
        std::string mentions;
    };
    const Case cases[] = {
        {{"info"}, "URL"},
        {{"info", "--password", "-h"}, "URL"},  // a value that reads "-h" is a value
        {{"info", url, "--bogus"}, "--bogus"},
        {{"info", url, "--kind", "ftp"}, "--kind"},
        {{"info", url, "--timeout", "soon"}, "--timeout"},
        {{"info", "file:///etc/passwd"}, "file:///etc/passwd"},
        {{"info", "ftp://127.0.0.1/x", "--bridge"}, "ftp://127.0.0.1/x"},
        {{"map", url, "--size", "4x3", "-o", png}, "--bbox"},
        {{"map", url, "--bbox", "10,0,5,1", "--size", "4x3", "-o", png}, "--bbox"},  // minx above maxx
        {{"map", url, "--bbox", "0,0,1", "--size", "4x3", "-o", png}, "0,0,1"},
        {{"map", url, "--bbox", "0,0,1,nan", "--size", "4x3", "-o", png}, "nan"},
        {{"map", url, "--bbox", "0,0,1,1", "--size", "0x3", "-o", png}, "--size"},
        {{"map", url, "--bbox", "0,0,1,1", "--size", "4by3", "-o", png}, "4by3"},
        {{"map", url, "--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("a.gif")}, "a.gif"},
        {{"map", url, "--bbox", "0,0,1,1", "--size", "4x3", "-o", png, "--style", "roads"}, "--style"},
        {{"map", url, "--bbox", "0,0,1,1", "--size", "4x3", "-o", png, "--layers", "roads,,rivers"}, "roads,,rivers"},
        {{"features", url}, "--output"},
        {{"features", url, "-o", folder.Path("x.txt")}, "x.txt"},
        {{"features", url, "-o", folder.Path("x.json"), "--bbox", "0,0,1,1", "--ids", "2"}, "--ids"},
        {{"features", url, "-o", folder.Path("x.json"), "--ids", "2,x"}, "--ids"},
        {{"features", url, "-o", folder.Path("x.json"), "--ids", "0"}, "--ids"},
        {{"features", url, "-o", folder.Path("x.json"), "--where", " "}, "--where"},
        {{"features", url, "-o", folder.Path("x.json"), "--type", "a", "--dataset", "a"}, "--dataset"},
        {{"coverage", url, "-o", folder.Path("a.tif")}, "--size"},
        {{"coverage", url, "--size", "4x4", "-o", folder.Path("a.gif")}, "a.gif"},
        {{"featureinfo", url, "--bbox", "5,45,15,55", "--size", "100x100"}, "--pixel is required"},
        {featureinfo("100,5"), "outside the 100x100 map"},
        {featureinfo("5,100"), "outside the 100x100 map"},
        {featureinfo("-1,5"), "two whole numbers"},
        {featureinfo("1,2,3"), "two whole numbers"},
        {featureinfo("7"), "--pixel needs X,Y"},
        {{"view", url, "--layer", "roads", "--bbox", "0,0,1,1", "--size", "9x9", "-o", folder.Path("v.jpg")}, "v.jpg"},
        {{"view", url, "--layer", "roads", "--bbox", "0,0,1,1", "--size", "9x9", "-o", png, "--kind", "wms"}, "--kind"},
        {{"view", url, "--bbox", "0,0,1,1", "--size", "9x9", "-o", png}, "--layer"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.args));
        ExpectOneLineFailure(RunOgcweb(folder, c.args), 2, c.mentions);
    }
    // A folder that is not there is no usage mistake, but is found before any request too.
    ExpectOneLineFailure(
        RunOgcweb(folder, {"map", url, "--bbox", "0,0,1,1", "--size", "4x3", "-o", folder.Path("no/such/a.png")}), 1,
        "no/such");
    EXPECT_EQ(server.RequestCount(), 0u);
}

TEST(OgcwebCli, EngineThatCannotBeLoadedIsNamed) {
    ScratchFolder folder;
    const std::string missing = folder.Path("libNoEngine.so");
    ExpectOneLineFailure(RunOgcwebBare(folder, {"info", "http://127.0.0.1:1/wms", "--plugin", missing}), 1,
                         "cannot load the engine " + missing);
    // A library that loads but is no engine.
    ExpectOneLineFailure(RunOgcwebBare(folder, {"info", "http://127.0.0.1:1/wms", "--plugin", "libc.so.6"}), 1,
                         "CreateDataSource");
}

TEST(OgcwebInfoCli, DeadAddressFailsWithOneLineAndWritesTheLog) {
    ScratchFolder folder;
    const int port = ogctest::ClosedLoopbackPort();
    ASSERT_NE(port, 0);
    const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/wms", log = folder.Path("ogcweb.log");
    const CliResult run = RunOgcweb(folder, {"info", url});
    ExpectOneLineFailure(run, 1, log);  // the line points at the log
    EXPECT_EQ(run.err.rfind("ogcweb: cannot open " + url + ": ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(ogctest::ReadFile(log), url)) << ogctest::ReadFile(log);
    EXPECT_TRUE(fs::is_empty(folder.Path("temp"))) << "the downloads left nothing behind";
}

TEST(OgcwebInfoCli, ListsTheLayersOfAMapServiceWithTheCredentialsGiven) {
    ScriptedMapService service(kSingleLayer);
    ScratchFolder folder;
    const CliResult run = RunOgcweb(folder, {"info", service.Url(), "--user", "alice", "--password", "s3cret"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    for (const char* line : {"engine:   OGC Web Engine\n", "version:  1.3.0\n", "service:  wms\n", "    type:    86 (map)\n",
                             "    crs:     EPSG:4326\n"})
        EXPECT_TRUE(Contains(run.out, line)) << run.out;
    // name, visible, queryable, style, title, whatever the padding.
    EXPECT_TRUE(std::regex_search(run.out, std::regex("\n +roads +(yes|no) +yes +default +Main roads\n"))) << run.out;
    EXPECT_EQ(service.Server().LastRequest().Header("Authorization"), "Basic YWxpY2U6czNjcmV0");  // alice:s3cret
}

TEST(OgcwebInfoCli, TimeoutAbandonsASilentServer) {
    // Silent for longer than the time-out given, far shorter than the default one.
    ScriptedServer server([](const ScriptedRequest&) { return ScriptedResponse::Stall(4000); });
    ScratchFolder folder;
    const CliResult run = RunOgcweb(folder, {"info", server.Url("/wms"), "--timeout", "1"});
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
}

TEST(OgcwebInfoCli, ProgressLineForADownloadThatTakesAWhile) {
    std::atomic<int> served{0};
    const std::string body = ogctest::MapCapabilities("http://127.0.0.1:1/", kSingleLayer);
    ScriptedServer server([&](const ScriptedRequest&) {
        // Only the first answer is slow, so the run stays short.
        return served++ == 0 ? ScriptedResponse::PauseInBody(body, 40, 2000) : ScriptedResponse::Ok(body);
    });
    ScratchFolder folder;
    const CliResult shown = RunOgcweb(folder, {"info", server.Url("/wms"), "--progress"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    EXPECT_TRUE(Contains(shown.err, "\r  downloading 127.0.0.1:" + std::to_string(server.Port()) + " ... ")) << shown.err;
    // Blanks after the last text erase what a longer earlier text left; then the line ends.
    const size_t done = shown.err.rfind(", done");
    ASSERT_NE(done, std::string::npos) << shown.err;
    EXPECT_EQ(shown.err.find_first_not_of(' ', done + 6), shown.err.size() - 1) << shown.err;
    EXPECT_EQ(shown.err.back(), '\n');
    EXPECT_EQ(LineCount(shown.err), 1) << "only the slow download shows: " << shown.err;

    served = 0;
    const CliResult quiet = RunOgcweb(folder, {"info", server.Url("/wms"), "--no-progress"});
    ASSERT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_EQ(quiet.err, "");
}

TEST(OgcwebMapCli, WritesPngWithWorldFileAndGeoTiffWithGeoreference) {
    ScriptedMapService service(kSingleLayer);
    ScratchFolder folder;
    GDALAllRegister();
    for (const char* name : {"out.png", "out.tif"}) {
        SCOPED_TRACE(name);
        const std::string out = folder.Path(name);
        const CliResult run = RunOgcweb(folder, {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3", "-o", out});
        ASSERT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.out, "wrote " + out + " (4x3, 3 bands, Byte)\n");

        GDALDatasetH image = GDALOpen(out.c_str(), GA_ReadOnly);
        ASSERT_NE(image, nullptr);
        // 4 units over 4 columns, 3 over 3 rows, from the top left corner 8,49.
        double transform[6] = {0, 0, 0, 0, 0, 0};
        ASSERT_EQ(GDALGetGeoTransform(image, transform), CE_None);
        const double expected[6] = {8.0, 1.0, 0.0, 49.0, 0.0, -1.0};
        for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(transform[i], expected[i]) << i;
        EXPECT_TRUE(Contains(name, "png") || Contains(GDALGetProjectionRef(image), "4326")) << GDALGetProjectionRef(image);
        unsigned char red[12] = {};
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(image, 1), GF_Read, 0, 0, 4, 3, red, 4, 3, GDT_Byte, 0, 0), CE_None);
        for (int i = 0; i < 12; ++i) EXPECT_EQ(red[i], (i % 4) * 85) << "pixel " << i;
        GDALClose(image);
    }
    EXPECT_TRUE(fs::exists(folder.Path("out.pgw"))) << "the PNG's georeference, read back above, is its world file";
}

TEST(OgcwebMapCli, AsksForTheLayersGivenOrFailsWithOneLineAndNoFile) {
    ScriptedMapService service(kTwoLayers);
    ScratchFolder folder;
    const std::string out = folder.Path("out.png");
    auto map = [&](std::vector<std::string> more) {
        more.insert(more.begin(), {"map", service.Url(), "--bbox", "8,46,12,49", "--size", "4x3", "-o", out});
        return RunOgcweb(folder, more);
    };
    ASSERT_EQ(map({"--layers", "rivers", "--style", "rivers=fancy", "--transparent"}).status, 0);
    ASSERT_EQ(service.Requests("GetMap").size(), 1u);
    const ScriptedRequest asked = service.Requests("GetMap")[0];
    EXPECT_EQ(asked.Param("LAYERS") + " " + asked.Param("STYLES"), "rivers fancy");
    EXPECT_EQ(ogctest::Upper(asked.Param("TRANSPARENT")), "TRUE");
    fs::remove(out);

    CliResult run = map({"--layers", "roads,lakes"});
    ExpectOneLineFailure(run, 1, "no layer named \"lakes\"");
    EXPECT_TRUE(Contains(run.err, "rivers")) << "the known layers are listed: " << run.err;
    EXPECT_EQ(service.Requests("GetMap").size(), 1u) << "nothing asked of the service";

    service.getMap = ScriptedResponse::Status(500, "broken");
    run = map({});
    ExpectOneLineFailure(run, 1, "");
    EXPECT_EQ(run.err.rfind("ogcweb: the service returned no image", 0), 0u) << run.err;
    EXPECT_EQ(service.Requests("GetMap").size(), 2u);
    EXPECT_FALSE(fs::exists(out));
}

TEST_F(ProgressHook, LastReportOfATransferCarriesItsSizeAndOutcome) {
    const std::string body(5000, 'x');
    ScriptedServer server([&](const ScriptedRequest& r) {
        return r.path == "/gone" ? ScriptedResponse::Status(404, "gone") : ScriptedResponse::Ok(body, "text/plain");
    });
    const std::string url = server.Url("/data");
    ASSERT_EQ(Download(url), body) << "the hook must not change what is downloaded";
    const auto reports = Reports();
    ASSERT_FALSE(reports.empty());
    const VMK::VmHttpProgress last = reports.back().progress;
    EXPECT_EQ(std::make_tuple(last.finished, last.succeeded, last.received, last.total, last.url.str()),
              std::make_tuple(true, true, 5000, 5000, url));
    EXPECT_NE(last.transfer, 0u);
    for (const Report& report : reports) {
        EXPECT_EQ(report.progress.transfer, last.transfer);
        EXPECT_EQ(report.progress.finished, &report == &reports.back()) << "one final report, the last";
        EXPECT_EQ(report.thread, std::this_thread::get_id()) << "reports come on the downloading thread";
    }

    ASSERT_EQ(Download(server.Url("/gone")), "<failed>");
    EXPECT_TRUE(Reports().back().progress.finished);
    EXPECT_FALSE(Reports().back().progress.succeeded);
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
