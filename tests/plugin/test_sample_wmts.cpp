// End to end against the demo tile service: MapProxy on loopback cutting the
// sample WMS's maps into Web Mercator tiles, downloaded, composed, and
// composed again from the cache once MapProxy is gone.
#include "MapProxyServer.h"
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMTS.h"
#include "VmGeometry.h"
#include "VmTileCache.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace VMK;

namespace {

// The standardised pixel size scale denominators are based on, in metres.
const double kPixelMetres = 0.00028;

struct SampleWMTSTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;

    void SetUp() override {
        ::setenv("no_proxy", "127.0.0.1", 1);
        ::setenv("NO_PROXY", "127.0.0.1", 1);
    }

    std::unique_ptr<VmDataSourceOGC> Open(const std::string& address) {
        auto source = std::make_unique<VmDataSourceOGC>();
        source->GetConnectionInfo().Server = address.c_str();
        source->GetConnectionInfo().ServiceKind = "wmts";
        source->GetConnectionInfo().Target = temp.Path("tiles");
        if (!source->Open()) return nullptr;
        return source;
    }

    static VmDatasetRasterWMTS* Layer(VmDataSourceOGC& source, const char* identifier) {
        for (int i = 0; i < source.GetDatasetCount(); ++i) {
            auto* tiles = dynamic_cast<VmDatasetRasterWMTS*>(source.GetDataset(i));
            PlxArray<PlxMBString> names;
            if (tiles) tiles->GetCurrentVisibleLayers(names);
            if (names.GetSize() == 1 && names[0] == identifier) return tiles;
        }
        return nullptr;
    }

    // The level a map window of `width` pixels over `view` shows.
    static double ViewScale(VmDatasetRasterWMTS& tiles, const PlxRect2D& view, int width) {
        return tiles.ScaleToNearFixScale(view.Width() / width * tiles.GetCoordRatio() / kPixelMetres);
    }

    // Generous: MapProxy renders meta tiles through MapServer on first use.
    static bool WaitComplete(VmDatasetRasterWMTS& tiles) {
        for (int i = 0; i < 1200; ++i) {
            if (tiles.IsComplete()) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
};

PlxRect2D Mercator(double west, double south, double east, double north) {
    return VmCRSBound("EPSG:4326", PlxRect2D(west, north, east, south)).Transform("EPSG:3857");
}

struct PixelCounts {
    int opaque = 0;
    int transparent = 0;
    std::set<unsigned> colours;
};

PixelCounts Count(PlxRasterBlock& block) {
    PixelCounts counts;
    for (int y = 0; y < block.PixelHeight; ++y) {
        const unsigned char* row = block.GetData() + static_cast<size_t>(y) * block.RowBytes;
        for (int x = 0; x < block.PixelWidth; ++x) {
            const unsigned char* p = row + 4 * x;
            if (p[3] == 0) {
                ++counts.transparent;
                continue;
            }
            ++counts.opaque;
            counts.colours.insert(unsigned(p[0]) << 16 | unsigned(p[1]) << 8 | p[2]);
        }
    }
    return counts;
}

} // namespace

TEST_F(SampleWMTSTest, DemolandIsDownloadedComposedAndServedAgainFromTheCache) {
    ogctest::SampleServer wms;
    OGCTEST_REQUIRE_SAMPLE_SERVER(wms);
    ogctest::MapProxyServer mapproxy(wms.Url("/wms"));
    OGCTEST_REQUIRE_MAPPROXY(mapproxy);
    const std::string address = mapproxy.Url("/service");

    const PlxRect2D demoland = Mercator(5, 45, 15, 55);
    ASSERT_FALSE(demoland.IsEmpty());
    const int width = 256, height = 400;
    std::vector<unsigned char> online;
    {
        auto source = Open(address);
        ASSERT_NE(source, nullptr) << mapproxy.Log();
        EXPECT_EQ(source->GetDatasetCount(), 5) << "basemap, landuse, water, roads, cities";
        VmDatasetRasterWMTS* basemap = Layer(*source, "basemap");
        ASSERT_NE(basemap, nullptr);
        ASSERT_TRUE(basemap->Open());
        EXPECT_EQ(basemap->GetScales().GetSize(), 19) << "matrices 00 to 18";

        const double scale = ViewScale(*basemap, demoland, width);
        ASSERT_GT(scale, 0.0);
        ASSERT_TRUE(basemap->Request(scale, demoland, 0));
        ASSERT_TRUE(WaitComplete(*basemap)) << mapproxy.Log();
        EXPECT_TRUE(basemap->IsAllTilesExist(demoland, scale));
        unsigned char state = 0;
        std::unique_ptr<PlxRasterBlock> view(basemap->GetViewBlock(demoland, width, height, state));
        ASSERT_NE(view, nullptr);
        EXPECT_EQ(state, 1) << "every tile of the view arrived\n" << mapproxy.Log();
        EXPECT_EQ(view->PixelWidth, width);
        EXPECT_EQ(view->PixelHeight, height);
        const PixelCounts counts = Count(*view);
        // Demoland's land use covers most of the view (its ragged border
        // leaves the corners transparent), with water, roads and labels on top.
        EXPECT_GT(counts.opaque, width * height / 2);
        EXPECT_GT(counts.transparent, 0) << "transparency survives the composition";
        EXPECT_GT(counts.colours.size(), 4u);
        online = view->Data;
    }

    mapproxy.Stop();
    auto offline = Open(address);
    ASSERT_NE(offline, nullptr) << "the service description was kept in the cache";
    VmDatasetRasterWMTS* basemap = Layer(*offline, "basemap");
    ASSERT_NE(basemap, nullptr);
    ASSERT_TRUE(basemap->Open());
    unsigned char state = 0;
    std::unique_ptr<PlxRasterBlock> view(basemap->GetViewBlock(demoland, width, height, state));
    ASSERT_NE(view, nullptr);
    EXPECT_EQ(state, 1) << "every tile is in the cache";
    EXPECT_TRUE(view->Data == online) << "the same tiles make the same view";
}
