// WMTS data sources and tiled datasets against a scripted tile service:
// opening, the cache folder rule, view blocks cut from the cache, threads, and
// opening again offline from the cache.
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMTS.h"
#include "VmTileCache.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

struct ScriptedWMTS {
    std::string tile = ogctest::MakeImage("PNG", 256, 256, 3);
    ScriptedServer server;
    ScriptedWMTS() {
        server.SetHandler([this](const ScriptedRequest& r) {
            // Three levels, 1, 2 and 4 tiles across; "broken" links to a set that does not exist.
            if (r.Param("REQUEST") == "GetCapabilities")
                return ScriptedResponse::Ok(ogctest::WmtsCapabilities(
                    server.Url("/wmts"), 3,
                    ogctest::WmtsLayer("roads", "Roads") + ogctest::WmtsLayer("water", "") +
                        ogctest::WmtsLayer("broken", "Broken", "missing")));
            if (r.Param("REQUEST") == "GetTile") return ScriptedResponse::Ok(tile, "image/png");
            return ScriptedResponse::Status(404);
        });
    }
    size_t Tiles() const {
        size_t n = 0;
        for (const auto& r : server.Requests()) n += r.Param("REQUEST") == "GetTile";
        return n;
    }
};

struct WMTSTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;

    std::unique_ptr<VmDataSourceOGC> Open(const std::string& address, const std::string& folder) {
        auto source = std::make_unique<VmDataSourceOGC>();
        source->GetConnectionInfo().Server = address.c_str();
        source->GetConnectionInfo().ServiceKind = "WMTS";
        source->GetConnectionInfo().Target = folder.c_str();
        if (!source->Open()) return nullptr;
        return source;
    }
    static bool WaitComplete(VmDatasetRasterWMTS* dataset) {
        for (int i = 0; i < 500; ++i) {
            if (dataset->IsComplete()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return false;
    }
};

const double kWorld = 20037508.3427892;

} // namespace

TEST_F(WMTSTest, OpensOneDatasetPerUsableLayer) {
    ScriptedWMTS wmts;
    auto source = Open(wmts.server.Url("/wmts"), temp.Path("cache").str());
    ASSERT_NE(source, nullptr);
    ASSERT_EQ(source->GetDatasetCount(), 2) << "a layer linked to an unknown set is skipped";
    auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
    ASSERT_NE(roads, nullptr);
    EXPECT_EQ(roads->GetName(), "Roads");
    EXPECT_EQ(source->GetDataset(1)->GetName(), "water") << "no title: named by its identifier";
    EXPECT_EQ(roads->GetWidth(), 1024);
    EXPECT_NEAR(roads->GetBounds().right, kWorld, 1.0);
    EXPECT_EQ(roads->GetPrjCoordSys().GetTypeID(), 3857);
    EXPECT_EQ(source->GetConnectionInfo().OptionFlag1, 1);
    EXPECT_FALSE(roads->IsOpen()) << "datasets open on first use";

    size_t requests = wmts.server.RequestCount();
    EXPECT_TRUE(source->Open()) << "a second open is a no-op";
    EXPECT_EQ(source->GetDatasetCount(), 2);
    EXPECT_EQ(wmts.server.RequestCount(), requests);
}

TEST_F(WMTSTest, NeverOpenedDatasetAnswersNothing) {
    VmDatasetRasterWMTS dataset;
    VmTile tile;
    unsigned char state = 7;
    EXPECT_FALSE(dataset.Open()) << "no parameters, no stub";
    EXPECT_EQ(dataset.GetViewBlock(PlxRect2D(0, 1, 1, 0), 10, 10, state), nullptr);
    EXPECT_FALSE(dataset.Request(1000.0, PlxRect2D(0, 1, 1, 0), 0));
    EXPECT_FALSE(dataset.GetTileData(tile));
    EXPECT_EQ(dataset.LoadTileImageData(tile), nullptr);
    EXPECT_FALSE(dataset.IsComplete());
}

TEST_F(WMTSTest, ViewBlocksFromTheCache) {
    ScriptedWMTS wmts;
    auto source = Open(wmts.server.Url("/wmts"), temp.Path("cache/").str());  // a trailing "/" is the same folder
    ASSERT_NE(source, nullptr);
    auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
    ASSERT_TRUE(roads->Open()) << "the cache file is created";
    EXPECT_TRUE(VmFile::IsExist(roads->GetCacheFilePath()));
    EXPECT_EQ(roads->GetCacheFilePath().Find("//"), -1);

    const PlxRect2D world(-kWorld, kWorld, kWorld, -kWorld);
    unsigned char state = 1;
    std::unique_ptr<PlxRasterBlock> empty(roads->GetViewBlock(world, 512, 512, state));
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(state, 0) << "no tile cached yet";
    ASSERT_TRUE(roads->Request(roads->GetScales()[1], world, 0));
    ASSERT_TRUE(WaitComplete(roads));
    EXPECT_EQ(wmts.Tiles(), 4u);
    std::unique_ptr<PlxRasterBlock> view(roads->GetViewBlock(world, 512, 512, state));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(state, 1);
    EXPECT_EQ(view->PixelWidth, 512);
    EXPECT_EQ(view->PixelFormat, 32);
    // Band 1 of every tile rises from left to right.
    const unsigned char* row = view->GetData() + 100 * view->RowBytes;
    EXPECT_LT(row[4 * 10], row[4 * 240]);
    EXPECT_EQ(row[4 * 10 + 3], 255) << "opaque where a tile lies";

    const double pixel = 2 * kWorld / 1024;
    EXPECT_EQ(roads->GetViewBlock(PlxRect2D(3 * kWorld, kWorld, 4 * kWorld, 0), 100, 100, state), nullptr)
        << "outside the layer";
    EXPECT_EQ(roads->GetViewBlock(PlxRect2D(0, pixel, pixel, 0), 100, 100, state), nullptr) << "one pixel";
    // 300 x 200 layer pixels asked for at 1000 x 1000: no more than there is.
    std::unique_ptr<PlxRasterBlock> capped(
        roads->GetViewBlock(PlxRect2D(0, 200 * pixel, 300 * pixel, 0), 1000, 1000, state));
    ASSERT_NE(capped, nullptr);
    EXPECT_LE(capped->PixelWidth, 300);
    EXPECT_LE(capped->PixelHeight, 200);
    // A view that sticks out is clipped to the layer, and the size with it.
    std::unique_ptr<PlxRasterBlock> half(roads->GetViewBlock(PlxRect2D(0, kWorld, 2 * kWorld, 0), 400, 200, state));
    ASSERT_NE(half, nullptr);
    EXPECT_EQ(half->PixelWidth, 200);
    EXPECT_NEAR(half->Bounds.right, kWorld, 1.0);
}

TEST_F(WMTSTest, CacheFolderFromTheHostConfiguration) {
    ScriptedWMTS wmts;
    PlxMBString config = temp.Path("etc/ogcweb.xml");
    VmFile::MkDirEx(temp.Path("etc"));
    std::ofstream(config.c_str()) << "<Configuration><WebCacheFilePath>./tiles</WebCacheFilePath></Configuration>";
    VmRegistry::Reload(config);
    auto source = Open(wmts.server.Url("/wmts"), "  ");
    VmRegistry::Reload("");
    ASSERT_NE(source, nullptr);
    auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
    EXPECT_EQ(roads->GetBufferPath(), temp.Path("etc/tiles")) << "relative to the configuration file's folder";
    ASSERT_TRUE(roads->Open());
    EXPECT_EQ(roads->GetCacheFilePath().Find(temp.Path("etc/tiles/").c_str()), 0);
}

TEST_F(WMTSTest, ManyThreadsOnOneDatasetWhileTilesDownload) {
    ScriptedWMTS wmts;
    auto source = Open(wmts.server.Url("/wmts"), temp.Path("cache").str());
    ASSERT_NE(source, nullptr);
    auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
    ASSERT_TRUE(roads->Open());
    const PlxRect2D world(-kWorld, kWorld, kWorld, -kWorld);
    const PlxArray<double> scales = roads->GetScales();
    ASSERT_EQ(scales.GetSize(), 3);
    std::vector<std::thread> threads;
    std::atomic<int> blocks{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 20; ++i) {
                roads->Request(scales[(t + i) % 3], world, 0);
                unsigned char state = 0;
                std::unique_ptr<PlxRasterBlock> block(roads->GetViewBlock(world, 128 + t, 128, state));
                if (block) ++blocks;
                VmTile tile;
                tile.Scale = scales[1];
                roads->GetTileData(tile);
                roads->IsComplete();
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(blocks.load(), 80) << "every view is answered, complete or not";
    // Closing while downloads may still run stops them cleanly.
    roads->Request(scales[2], world, 0);
    roads->Close();
    EXPECT_FALSE(roads->IsOpen());
    EXPECT_TRUE(roads->Open()) << "and the cache opens again";
}

TEST_F(WMTSTest, ConcurrentSourcesOnOneServiceAndCacheFolder) {
    // Two map windows on the same layer: each thread opens its own data
    // source (the description is downloaded into the shared cache folder or
    // read from it), and asks for tiles and views at once with the other.
    ScriptedWMTS wmts;
    const std::string address = wmts.server.Url("/wmts");
    const std::string folder = temp.Path("cache").str();
    const PlxRect2D world(-kWorld, kWorld, kWorld, -kWorld);
    std::atomic<int> opened{0}, views{0}, complete{0};
    auto window = [&](int t) {
        auto source = Open(address, folder);
        if (!source) return;
        auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
        if (!roads || !roads->Open()) return;
        ++opened;
        const PlxArray<double> scales = roads->GetScales();
        for (int i = 0; i < 10; ++i) {
            roads->Request(scales[(t + i) % scales.GetSize()], world, 0);
            unsigned char state = 0;
            std::unique_ptr<PlxRasterBlock> block(roads->GetViewBlock(world, 200 + t, 200, state));
            if (block) ++views;
        }
        roads->Request(scales[1], world, 0);
        if (WaitComplete(roads)) {
            unsigned char state = 0;
            std::unique_ptr<PlxRasterBlock> block(roads->GetViewBlock(world, 256, 256, state));
            if (block && state == 1) ++complete;
        }
        roads->Close();
    };
    std::thread other(window, 1);
    window(0);
    other.join();
    EXPECT_EQ(opened.load(), 2);
    EXPECT_EQ(views.load(), 20);
    EXPECT_EQ(complete.load(), 2) << "both windows see every tile of the level they waited for";
}
