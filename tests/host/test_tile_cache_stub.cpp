// The download stub against a scripted tile server: requests become cached
// tiles, failures stay out, and threads and Stop in mid-download are safe.
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmNetwork.h"
#include "VmTileCache.h"

#include <cpl_vsi.h>
#include <gdal.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <condition_variable>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;
using namespace VMK;

namespace {

using Rgba = std::array<int, 4>;

Rgba TileColour(int level, int row, int col) { return {10 + 15 * row, 10 + 15 * col, 40 * level, 255}; }

std::string SolidPng(const Rgba& colour, int size) {
    static std::atomic<int> counter{0};
    GDALAllRegister();
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", size, size, 4, GDT_Byte, nullptr);
    for (int b = 0; b < 4; ++b) GDALFillRaster(GDALGetRasterBand(mem, b + 1), colour[static_cast<size_t>(b)], 0);
    const std::string path = "/vsimem/test_tile_stub_" + std::to_string(counter++) + ".png";
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName("PNG"), path.c_str(), mem, FALSE, nullptr, nullptr, nullptr);
    GDALClose(mem);
    if (out) GDALClose(out);
    vsi_l_offset length = 0;
    GByte* data = VSIGetMemFileBuffer(path.c_str(), &length, TRUE);
    std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    VSIFree(data);
    return bytes;
}

std::string Key(int level, int row, int col) {
    return std::to_string(level) + "/" + std::to_string(row) + "/" + std::to_string(col);
}

// A WMTS (KVP) with one layer, "tiles", in one Web Mercator set, "small": 16
// pixel tiles, level z has 2^z x 2^z tiles at 16 / 2^z m per pixel from
// (0, 256). Every tile is a solid colour that names it.
class TileService {
public:
    enum Fault { None, Missing, Garbage, Exception, Stall };

    explicit TileService(int levels) : m_levels(levels) {
        for (int z = 0; z < levels; ++z)
            for (int row = 0; row < (1 << z); ++row)
                for (int col = 0; col < (1 << z); ++col) m_tiles[Key(z, row, col)] = SolidPng(TileColour(z, row, col), 16);
        m_server = std::make_unique<ScriptedServer>([this](const ScriptedRequest& request) { return Answer(request); });
    }
    ~TileService() { ReleaseTiles(); }

    std::string Address() const { return m_server->Url("/wmts"); }
    ScriptedServer& Server() { return *m_server; }
    void SetFault(int level, int row, int col, Fault fault) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_faults[Key(level, row, col)] = fault;
    }
    void SetStallMs(int ms) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stallMs = ms;
    }
    int TileRequests() const { return m_tileRequests.load(); }
    // While held, every tile answer waits at a gate: the number waiting is
    // the number of downloads the client runs at once.
    void HoldTiles() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hold = true;
    }
    void ReleaseTiles() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_hold = false;
        }
        m_gate.notify_all();
    }
    int WaitingAtGate() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_waiting;
    }
    // Tiles asked for more than once.
    int Repeats() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        int repeats = 0;
        for (const auto& entry : m_asked) repeats += entry.second > 1 ? 1 : 0;
        return repeats;
    }

private:
    // No GetTile operation: tiles are asked for at the document's own address.
    std::string Capabilities() const {
        std::string xml = "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"1.0.0\"><Contents><Layer>"
                          "<Identifier>tiles</Identifier><Format>image/png</Format><TileMatrixSetLink>"
                          "<TileMatrixSet>small</TileMatrixSet></TileMatrixSetLink></Layer><TileMatrixSet>"
                          "<Identifier>small</Identifier><SupportedCRS>urn:ogc:def:crs:EPSG::3857</SupportedCRS>";
        for (int z = 0; z < m_levels; ++z) {
            char scale[64];
            std::snprintf(scale, sizeof scale, "%.10f", 16.0 / (1 << z) / 0.00028);
            xml += "<TileMatrix><Identifier>m" + std::to_string(z) + "</Identifier><ScaleDenominator>" + scale +
                   "</ScaleDenominator><TopLeftCorner>0 256</TopLeftCorner><TileWidth>16</TileWidth><TileHeight>16"
                   "</TileHeight><MatrixWidth>" + std::to_string(1 << z) + "</MatrixWidth><MatrixHeight>" +
                   std::to_string(1 << z) + "</MatrixHeight></TileMatrix>";
        }
        return xml + "</TileMatrixSet></Contents></Capabilities>";
    }

    ScriptedResponse Answer(const ScriptedRequest& request) {
        if (request.Param("REQUEST") == "GetCapabilities") return ScriptedResponse::Ok(Capabilities());
        if (request.Param("REQUEST") != "GetTile") return ScriptedResponse::Status(404);
        ++m_tileRequests;
        const std::string matrix = request.Param("TILEMATRIX");
        if (matrix.size() < 2 || matrix[0] != 'm') return ScriptedResponse::Status(400);
        const std::string key = matrix.substr(1) + "/" + request.Param("TILEROW") + "/" + request.Param("TILECOL");
        Fault fault = None;
        int stall = 0;
        {
            std::unique_lock<std::mutex> lock(m_mutex);
            if (m_hold) {
                ++m_waiting;
                m_gate.wait(lock, [this] { return !m_hold; });
                --m_waiting;
            }
            ++m_asked[key];
            auto it = m_faults.find(key);
            if (it != m_faults.end()) fault = it->second;
            stall = m_stallMs;
        }
        auto tile = m_tiles.find(key);
        if (tile == m_tiles.end()) return ScriptedResponse::Status(400);
        const ScriptedResponse png = ScriptedResponse::Ok(tile->second, "image/png");
        switch (fault) {
        case Missing: return ScriptedResponse::Status(404, "no such tile");
        case Garbage: return ScriptedResponse::Ok("\x89PNG\r\n\x1a\n but not really", "image/png");
        case Exception:
            return ScriptedResponse::Ok("<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\"/>", "text/xml");
        case Stall: return ScriptedResponse::Stall(60000, png);
        case None: break;
        }
        return stall > 0 ? ScriptedResponse::Stall(stall, png) : png;
    }

    int m_levels;
    std::map<std::string, std::string> m_tiles;  // written before the server starts, then only read
    mutable std::mutex m_mutex;
    std::map<std::string, Fault> m_faults;
    std::map<std::string, int> m_asked;
    int m_stallMs = 0;
    bool m_hold = false;
    int m_waiting = 0;
    std::condition_variable m_gate;
    std::atomic<int> m_tileRequests{0};
    std::unique_ptr<ScriptedServer> m_server;  // last: stops before the rest goes
};

struct Events {
    std::atomic<int> responses{0}, responseOk{0}, responseFailed{0}, responseNotImage{0};
    std::atomic<int> changed{0}, finished{0}, finishedWithFailures{0};
    std::atomic<int> badTiles{0};  // callbacks with a tile that does not fit the status
    std::atomic<int> incompleteAtFinish{0};
    VmMapDownloadQueue* queue = nullptr;
    int Callbacks() const { return responses.load() + changed.load() + finished.load(); }
};

void OnResponse(uint64_t user, const VmTile* tile, int status) {
    auto* events = reinterpret_cast<Events*>(user);
    ++events->responses;
    if (status == 0) ++events->responseOk;
    if (status == 1) ++events->responseFailed;
    if (status == 2) ++events->responseNotImage;
    if (!tile || (status == 0) == tile->Data.empty()) ++events->badTiles;
}

void OnChanged(uint64_t user, const VmTile* tile, int status) {
    auto* events = reinterpret_cast<Events*>(user);
    if (!tile || status != 0 || tile->Format != "image/png" || tile->TimeStamp == 0) ++events->badTiles;
    ++events->changed;
}

void OnFinished(uint64_t user, const VmTile* tile, int status) {
    auto* events = reinterpret_cast<Events*>(user);
    if (tile) ++events->badTiles;
    // Called back into the stub from its own worker: must not deadlock, and
    // the queue is complete by now.
    if (events->queue && !events->queue->IsComplete()) ++events->incompleteAtFinish;
    if (status != 0) ++events->finishedWithFailures;
    ++events->finished;
}

// Waits for what the workers bring about; gives up after a minute so that a
// fault shows as a failure, not a hang.
bool WaitFor(const std::function<bool()>& condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

class TileCacheStub : public ::testing::Test {
protected:
    void SetUp() override {
        m_savedSettings = VmHttpSettings::Get();
        VmHttpSettings settings = m_savedSettings;
        settings.connectTimeoutMs = 5000;
        settings.stallTimeoutSec = 2;
        settings.totalTimeoutSec = 30;
        VmHttpSettings::Set(settings);
    }
    void TearDown() override {
        stub.reset();
        VmHttpSettings::Set(m_savedSettings);
    }

    std::unique_ptr<VmWMTSParams> LoadLayer(TileService& service) {
        VmWMTSParams params;
        params.SetServiceAddress(service.Address().c_str());
        params.SetBufferPath(temp.Path("cache"));
        EXPECT_TRUE(params.LoadFromPath(params.GetBufferPath() + params.GetDescriptionFileName()));
        return std::unique_ptr<VmWMTSParams>(params.GetLayerParams("tiles"));
    }

    // Capabilities, layer parameters, cache file and stub, the way the
    // plug-in's dataset wires them.
    void OpenLayer(TileService& service, bool withQueue = true, int workers = 4) {
        std::unique_ptr<VmWMTSParams> layer = LoadLayer(service);
        ASSERT_NE(layer, nullptr);
        pyramid = layer->GetPyramid();
        cache.SetServiceProvider(service.Address().c_str());
        const PlxMBString file = temp.Path("cache") + "/" + layer->GetCacheFileName();
        ASSERT_TRUE(cache.IsCacheFileExist(file) ? cache.Open(file, 0) : cache.Create(file, 0));
        stub.reset(VmMapServiceStubManager::CreateMapServiceStub(26));
        ASSERT_NE(stub, nullptr);
        if (workers > 0) stub->SetWorkerCount(workers);
        stub->SetLocalCacheManager(&cache);
        events.queue = stub->GetDownloadQueue();
        stub->SetDownloadResponseFunc(OnResponse, reinterpret_cast<uint64_t>(&events));
        stub->SetDataChangedFunc(OnChanged, reinterpret_cast<uint64_t>(&events));
        stub->GetDownloadQueue()->SetRequestFinishedFunc(OnFinished, reinterpret_cast<uint64_t>(&events));
        ASSERT_TRUE(stub->Open(layer.get(), withQueue));  // the parameters were only lent
    }

    double Scale(int level) const { return pyramid.Matrices[static_cast<size_t>(level)].ScaleDenominator; }
    PlxRect2D Everything() const { return pyramid.Bounds; }
    bool WaitForDownloads(int count) {
        return WaitFor([&] { return events.responses.load() >= count && stub->GetDownloadQueue()->IsComplete(); });
    }
    // Requests `scale` over `bounds` and returns how many tiles were queued.
    int Request(double scale, const PlxRect2D& bounds, int refresh = 0) {
        int queued = -1;
        EXPECT_TRUE(stub->Request(scale, bounds, refresh, queued));
        return queued;
    }

    TempFolder temp;
    LogCapture log;
    Events events;
    VmTilePyramid pyramid;
    VmLocalCacheManager cache;  // declared before the stub, so it outlives it
    std::unique_ptr<VmMapServiceStub> stub;

private:
    VmHttpSettings m_savedSettings;
};

Rgba ViewPixel(const VmImageData& image, int x, int y) {
    const unsigned char* p = image.Pixels.data() + static_cast<size_t>(y) * image.RowBytes + static_cast<size_t>(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

} // namespace

TEST_F(TileCacheStub, RequestedTilesArriveInTheCacheAndServeOffline) {
    TileService service(3);
    ASSERT_NO_FATAL_FAILURE(OpenLayer(service));
    EXPECT_EQ(stub->HasQueue(), 1);
    EXPECT_FALSE(stub->IsAllTilesExist(Everything(), Scale(2)));

    EXPECT_EQ(Request(Scale(2), Everything()), 16);
    ASSERT_TRUE(WaitForDownloads(16));
    ASSERT_TRUE(WaitFor([&] { return events.finished.load() >= 1; }));
    EXPECT_EQ(events.responseOk.load(), 16);
    EXPECT_EQ(events.changed.load(), 16);
    EXPECT_EQ(events.finishedWithFailures.load(), 0);
    EXPECT_EQ(events.badTiles.load(), 0);
    EXPECT_EQ(events.incompleteAtFinish.load(), 0);
    EXPECT_EQ(cache.GetTileCount(), 16);
    EXPECT_TRUE(stub->IsAllTilesExist(Everything(), Scale(2)));
    EXPECT_FALSE(stub->IsAllTilesExist(Everything(), Scale(1)));
    std::set<std::string> matrices;
    for (const ScriptedRequest& request : service.Server().Requests())
        if (request.Param("REQUEST") == "GetTile") matrices.insert(request.Param("TILEMATRIX"));
    EXPECT_EQ(matrices, std::set<std::string>{"m2"});

    // Only missing tiles are fetched, unless refreshed.
    EXPECT_EQ(Request(Scale(2), Everything()), 0);
    EXPECT_EQ(Request(Scale(2), PlxRect2D(1, 255, 100, 200), 1), 2);
    ASSERT_TRUE(WaitForDownloads(18));
    EXPECT_EQ(service.TileRequests(), 18);

    EXPECT_EQ(temp.Files(), (std::set<std::string>{"cache"})) << "downloads leave nothing beside the cache";

    // Reopened without a queue: capabilities and tiles come from the cache folder.
    stub.reset();
    cache.Close();
    const size_t before = service.Server().RequestCount();
    ASSERT_NO_FATAL_FAILURE(OpenLayer(service, false));
    EXPECT_EQ(stub->HasQueue(), 0);
    EXPECT_EQ(Request(Scale(1), Everything()), 0) << "missing, but nothing to fetch them with";
    EXPECT_TRUE(stub->IsAllTilesExist(Everything(), Scale(2)));
    EXPECT_EQ(service.Server().RequestCount(), before);

    // Level 2 tiles are 64 m across.
    std::unique_ptr<VmTiles> tiles(stub->QueryWithBounds(PlxRect2D(1, 255, 70, 190), Scale(2) * 1.1));
    ASSERT_NE(tiles, nullptr);
    std::set<std::pair<int, int>> cells;
    for (const VmTile& tile : *tiles) {
        cells.insert({tile.Row, tile.Col});
        EXPECT_EQ(tile.Bounds, pyramid.TileBounds(2, tile.Row, tile.Col));
    }
    EXPECT_EQ(cells, (std::set<std::pair<int, int>>{{0, 0}, {0, 1}, {1, 0}, {1, 1}}));
}

TEST_F(TileCacheStub, FailedTilesAreNotStored) {
    TileService service(3);
    service.SetFault(2, 0, 0, TileService::Missing);
    service.SetFault(2, 0, 1, TileService::Garbage);
    service.SetFault(2, 0, 2, TileService::Exception);
    ASSERT_NO_FATAL_FAILURE(OpenLayer(service));
    ASSERT_EQ(Request(Scale(2), Everything()), 16);
    ASSERT_TRUE(WaitForDownloads(16));
    ASSERT_TRUE(WaitFor([&] { return events.finished.load() >= 1; }));
    EXPECT_EQ(events.responseOk.load(), 13);
    EXPECT_EQ(events.responseFailed.load(), 1);
    EXPECT_EQ(events.responseNotImage.load(), 2);
    EXPECT_EQ(events.changed.load(), 13);
    EXPECT_GE(events.finishedWithFailures.load(), 1);
    EXPECT_EQ(events.badTiles.load(), 0);
    EXPECT_EQ(cache.GetTileCount(), 13);
    for (int col = 0; col < 4; ++col) EXPECT_EQ(cache.HasTile("m2", 0, col), col == 3) << col;
    EXPECT_TRUE(stub->IsAllTilesExist(PlxRect2D(1, 150, 250, 1), Scale(2))) << "rows 2 and 3";
    EXPECT_EQ(temp.Files(), (std::set<std::string>{"cache"}));

    // Failed tiles wait for the retry delay, unless refreshed.
    EXPECT_EQ(Request(Scale(2), Everything()), 0);
    service.SetFault(2, 0, 0, TileService::None);
    EXPECT_EQ(Request(Scale(2), PlxRect2D(1, 255, 60, 200), 1), 1);
    ASSERT_TRUE(WaitForDownloads(17));
    EXPECT_TRUE(cache.HasTile("m2", 0, 0));
    stub->SetRetryDelay(0);
    EXPECT_EQ(Request(Scale(2), Everything()), 2);
    ASSERT_TRUE(WaitForDownloads(19));
    EXPECT_EQ(cache.GetTileCount(), 14);
}

TEST_F(TileCacheStub, LifecycleAndBadCalls) {
    TileService service(2);
    std::unique_ptr<VmMapServiceStub> idle(VmMapServiceStubManager::CreateMapServiceStub(26));
    const PlxRect2D all(0, 256, 256, 0), beyond(1000, 2000, 1100, 1900);
    int queued = 7;
    EXPECT_FALSE(idle->Request(1000.0, all, 0, queued));
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(idle->QueryWithBounds(all, 1000.0), nullptr);
    EXPECT_FALSE(idle->IsAllTilesExist(all, 1000.0));
    EXPECT_TRUE(idle->GetDownloadQueue()->IsComplete());
    idle->Stop();

    VmWMTSParams params;
    params.SetServiceAddress(service.Address().c_str());
    ASSERT_TRUE(params.LoadFromPath(temp.Path("caps.xml")));
    std::unique_ptr<VmWMTSParams> layer(params.GetLayerParams("tiles"));
    EXPECT_FALSE(idle->Open(layer.get(), true)) << "no cache manager yet";
    EXPECT_FALSE(idle->Open(nullptr, true));
    VmLocalCacheManager localCache;
    ASSERT_TRUE(localCache.Create(temp.Path("c/tiles.cache"), 0));
    idle->SetLocalCacheManager(&localCache);
    EXPECT_FALSE(idle->Open(&params, true)) << "the service, not a layer";
    ASSERT_TRUE(idle->Open(layer.get(), true));
    EXPECT_EQ(localCache.GetTileSize(), 16) << "the stub handed over the pyramid";
    layer.reset();
    const double s0 = localCache.GetScales()[0], s1 = localCache.GetScales()[1];

    // Scales that give no matrix, and too many tiles, queue nothing.
    EXPECT_FALSE(idle->Request(-1.0, all, 0, queued));
    idle->SetMaxTilesPerRequest(3);
    EXPECT_FALSE(idle->Request(s1, all, 0, queued));
    EXPECT_EQ(queued, 0);
    EXPECT_EQ(idle->QueryWithBounds(all, s1), nullptr);
    // Bounds beyond the layer: nothing to do, and that is fine.
    EXPECT_TRUE(idle->Request(s1, beyond, 0, queued));
    EXPECT_EQ(queued, 0);
    EXPECT_TRUE(idle->IsAllTilesExist(beyond, s1));

    // Only the named matrices are used once SetScales names some.
    idle->SetMaxTilesPerRequest(100);
    PlxDict<PlxMBString, double> only;
    only.SetAt("m0", 0.0);
    idle->SetScales(only);
    std::unique_ptr<VmTiles> tiles(idle->QueryWithBounds(all, s1));
    ASSERT_NE(tiles, nullptr);
    ASSERT_EQ(tiles->GetSize(), 1);
    EXPECT_EQ((*tiles)[0].Scale, s0);

    idle->Stop();
    EXPECT_FALSE(idle->IsOpen());
    EXPECT_FALSE(idle->Request(s0, all, 0, queued));
    idle->Stop();
}

// Several threads draw views, read tiles and ask for more while the workers
// download, and go on while the stub is stopped under them; afterwards every
// cached tile is the right one and nothing was called back after Stop. Under
// ThreadSanitizer this is the stub's and the cache's data-race check.
TEST_F(TileCacheStub, ConcurrentUseWhileDownloadingAndStopping) {
    TileService service(5);
    service.SetStallMs(3);
    ASSERT_NO_FATAL_FAILURE(OpenLayer(service, true, 6));
    std::atomic<bool> stopping{false}, stopped{false}, done{false};
    std::atomic<int> failuresBeforeStop{0}, iterationsAfterStop{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            std::mt19937 random(static_cast<unsigned>(t + 1));
            while (!done) {
                const bool afterStop = stopped;
                const int level = static_cast<int>(random() % 5);
                const int row = static_cast<int>(random() % (1 << level)), col = static_cast<int>(random() % (1 << level));
                const PlxRect2D tileBounds = pyramid.TileBounds(level, row, col);
                int queued = 0;
                bool ok = stub->Request(Scale(level), PlxRect2D(tileBounds.left, tileBounds.top, tileBounds.right + 64,
                                                                tileBounds.bottom - 64),
                                        0, queued);
                const int x = static_cast<int>(random() % 128), y = static_cast<int>(random() % 128);
                VmImageData image;
                bool complete = false;
                ok = cache.ComposeView(x, y, x + 127, y + 127, 64, 64, image, complete) && ok;
                if (cache.SetViewPort(x, y, x + 127, y + 127, 32, 32)) {
                    std::vector<unsigned char> buffer(32 * 32 * 4);
                    cache.GetViewImageData(buffer.data(), static_cast<int64_t>(buffer.size()));
                    cache.GetViewState();
                }
                VmTile tile;
                tile.Scale = Scale(level);
                tile.Row = row;
                tile.Col = col;
                cache.GetTileData(tile);
                std::unique_ptr<VmTiles> tiles(stub->QueryWithBounds(tileBounds, Scale(level)));
                ok = tiles != nullptr && ok;
                stub->IsAllTilesExist(tileBounds, Scale(level));
                stub->GetDownloadQueue()->IsComplete();
                if (!stopping && !ok) ++failuresBeforeStop;
                if (afterStop) ++iterationsAfterStop;
            }
        });
    }
    // Stop once downloads are well under way, with the threads still at it.
    const bool started = WaitFor([&] { return events.changed.load() >= 40; });
    stopping = true;
    stub->Stop();
    stopped = true;
    const int callbacksAtStop = events.Callbacks();
    const bool drained = stub->GetDownloadQueue()->IsComplete();
    const bool ranOn = WaitFor([&] { return iterationsAfterStop.load() >= 20; });
    done = true;
    for (std::thread& thread : threads) thread.join();

    ASSERT_TRUE(started);
    EXPECT_TRUE(ranOn);
    EXPECT_TRUE(drained);
    EXPECT_EQ(failuresBeforeStop.load(), 0);
    EXPECT_EQ(events.Callbacks(), callbacksAtStop);
    EXPECT_EQ(events.badTiles.load(), 0);
    EXPECT_EQ(events.responseOk.load(), events.changed.load());
    // Tiles that arrived while Stop waited are stored without a callback.
    EXPECT_GE(cache.GetTileCount(), events.changed.load());
    EXPECT_EQ(service.Repeats(), 0) << "no tile was fetched twice";
    for (int level = 0; level < 5; ++level)
        for (int row = 0; row < (1 << level); ++row)
            for (int col = 0; col < (1 << level); ++col) {
                std::unique_ptr<VmImageData> image(cache.LoadTileImageData(Scale(level), row, col, false));
                if (image) {
                    EXPECT_EQ(ViewPixel(*image, 8, 8), TileColour(level, row, col)) << level << "/" << row << "/" << col;
                }
            }
}

// Queued tiles are dropped, running ones end (here by the stall time-out,
// since the server never answers), nothing is called back afterwards, and the
// stub opens again.
TEST_F(TileCacheStub, StopInTheMiddleOfDownloads) {
    TileService service(4);
    ASSERT_NO_FATAL_FAILURE(OpenLayer(service, true, 2));
    for (int row = 0; row < 8; ++row)
        for (int col = 0; col < 8; ++col) service.SetFault(3, row, col, TileService::Stall);
    ASSERT_EQ(Request(Scale(3), Everything()), 64);
    ASSERT_TRUE(WaitFor([&] { return service.TileRequests() >= 2; }));
    EXPECT_FALSE(stub->GetDownloadQueue()->IsComplete());
    stub->Stop();
    EXPECT_TRUE(stub->GetDownloadQueue()->IsComplete());
    EXPECT_EQ(stub->GetDownloadQueue()->GetPendingCount(), 0);
    EXPECT_FALSE(stub->IsOpen());
    const int requests = service.TileRequests();
    EXPECT_LT(requests, 64) << "the queue was dropped, not worked off";
    EXPECT_EQ(events.Callbacks(), 0);
    EXPECT_EQ(cache.GetTileCount(), 0);
    stub->Stop();

    std::unique_ptr<VmWMTSParams> layer = LoadLayer(service);
    ASSERT_NE(layer, nullptr);
    ASSERT_TRUE(stub->Open(layer.get(), true));
    EXPECT_EQ(Request(Scale(2), Everything()), 16);
    ASSERT_TRUE(WaitForDownloads(16));
    EXPECT_EQ(cache.GetTileCount(), 16);

    // The destructor stops it just as well in the middle of stalls.
    EXPECT_EQ(Request(Scale(3), Everything()), 64);
    ASSERT_TRUE(WaitFor([&] { return service.TileRequests() >= requests + 16 + 1; }));
    stub.reset();
    EXPECT_EQ(cache.GetTileCount(), 16);
}

TEST_F(TileCacheStub, DownloadsRunEightAtATimeUnlessConfigured) {
    TileService service(4);
    for (int configured : {0, 3}) {
        SCOPED_TRACE(configured);
        const int saved = VmMapServiceStub::DefaultWorkerCount();
        if (configured) VmMapServiceStub::SetDefaultWorkerCount(configured);
        service.HoldTiles();
        ASSERT_NO_FATAL_FAILURE(OpenLayer(service, true, 0));
        VmMapServiceStub::SetDefaultWorkerCount(saved);
        const int expected = configured ? configured : 8;
        ASSERT_EQ(Request(Scale(3), Everything(), 1), 64);
        EXPECT_TRUE(WaitFor([&] { return service.WaitingAtGate() >= expected; }));
        // Give one more download every chance to start before looking.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(service.WaitingAtGate(), expected);
        service.ReleaseTiles();
        EXPECT_TRUE(WaitFor([&] { return stub->GetDownloadQueue()->IsComplete(); }));
        stub.reset();
    }
}
