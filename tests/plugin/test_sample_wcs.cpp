// End to end against the bundled sample service's coverages (MapServer on
// loopback): what the engine reads from MapServer's DescribeCoverage, and
// whether the grids it downloads hold the values of the rasters served.
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWCS.h"

#include <gtest/gtest.h>

#include <gdal.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace VMK;

namespace {

// The rasters the sample service serves, as demo/data/make-rasters.sh made
// them: both cover longitude 6..14, latitude 46..54.
const double kWest = 6.0, kNorth = 54.0;

struct SourceRaster {
    int width = 0, height = 0;
    double cell = 0;
    GDALDataType type = GDT_Unknown;
    std::vector<std::vector<double>> bands;

    // Band `band` (0-based) at cell (column, row); NaN outside.
    double At(size_t band, int column, int row) const {
        if (column < 0 || row < 0 || column >= width || row >= height) return std::nan("");
        return bands[band][static_cast<size_t>(row) * width + column];
    }
};

// Reads the raster the front generated (it makes them before it listens).
bool ReadSource(const std::string& name, SourceRaster& source) {
    const std::string path = std::string(OGCWEB_SOURCE_DIR) + "/demo/data/generated/" + name;
    GDALAllRegister();
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (!data) return false;
    double transform[6] = {0, 0, 0, 0, 0, 0};
    GDALGetGeoTransform(data, transform);
    source.width = GDALGetRasterXSize(data);
    source.height = GDALGetRasterYSize(data);
    source.cell = transform[1];
    source.type = GDALGetRasterDataType(GDALGetRasterBand(data, 1));
    bool ok = transform[0] == kWest && transform[3] == kNorth && transform[5] == -transform[1];
    for (int band = 1; ok && band <= GDALGetRasterCount(data); ++band) {
        std::vector<double> values(static_cast<size_t>(source.width) * source.height);
        ok = GDALRasterIO(GDALGetRasterBand(data, band), GF_Read, 0, 0, source.width, source.height, values.data(),
                          source.width, source.height, GDT_Float64, 0, 0) == CE_None;
        source.bands.push_back(values);
    }
    GDALClose(data);
    return ok;
}

// Compares a downloaded grid with the source at the centres of a 5 x 5 set of
// pixels away from its edges. The service resamples nearest neighbour, so
// each pixel must hold, in every band at once, the values of the source cell
// under its centre or of one of its neighbours: a grid turned into bytes,
// shifted by more than a cell, flipped or with its bands mixed up fails.
void ExpectSourceValues(VmDatasetRaster& grid, const SourceRaster& source) {
    const int width = grid.GetWidth(), height = grid.GetHeight();
    const PlxRect2D bounds = grid.GetBounds();
    std::vector<std::vector<double>> bands(source.bands.size());
    for (size_t b = 0; b < bands.size(); ++b) ASSERT_TRUE(grid.ReadBand(static_cast<int>(b) + 1, bands[b]));
    for (int i = 0; i < 5; ++i) {
        for (int j = 0; j < 5; ++j) {
            const int column = 3 + i * (width - 7) / 4, row = 3 + j * (height - 7) / 4;
            const size_t at = static_cast<size_t>(row) * width + column;
            const double lon = bounds.left + (column + 0.5) * bounds.Width() / width;
            const double lat = bounds.top - (row + 0.5) * bounds.Height() / height;
            const int sourceColumn = static_cast<int>(std::floor((lon - kWest) / source.cell));
            const int sourceRow = static_cast<int>(std::floor((kNorth - lat) / source.cell));
            bool found = false;
            for (int d = 0; d < 9 && !found; ++d) {
                found = true;
                for (size_t b = 0; b < bands.size(); ++b)
                    found = found && bands[b][at] == source.At(b, sourceColumn + d % 3 - 1, sourceRow + d / 3 - 1);
            }
            EXPECT_TRUE(found) << "pixel " << column << "," << row << " holds " << bands[0][at] << "; the source has "
                               << source.At(0, sourceColumn, sourceRow);
        }
    }
}

struct SampleWCSTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    std::unique_ptr<VmDataSourceOGC> source;
    VmDatasetRaster* elevation = nullptr;
    VmDatasetRaster* relief = nullptr;

    void SetUp() override {
        OGCTEST_REQUIRE_SAMPLE_SERVER(server);
        source = std::make_unique<VmDataSourceOGC>();
        source->GetConnectionInfo().Server = server.Url("/ows").c_str();
        source->GetConnectionInfo().ServiceKind = "wcs";
        ASSERT_TRUE(source->Open()) << server.Log();
        // Named by their labels; the identifiers are MapServer's layer names.
        elevation = dynamic_cast<VmDatasetRaster*>(source->GetDataset(PlxMBString("Elevation")));
        relief = dynamic_cast<VmDatasetRaster*>(source->GetDataset(PlxMBString("Colour relief")));
        ASSERT_NE(elevation, nullptr);
        ASSERT_NE(relief, nullptr);
    }
    void TearDown() override {
        EXPECT_EQ(log.Total(), 0);
        EXPECT_TRUE(temp.Files().empty());
    }
};

} // namespace

TEST_F(SampleWCSTest, DescribeCoverageAsTheEngineReadsIt) {
    EXPECT_EQ(source->GetServiceVersion(), "1.0.0");
    EXPECT_EQ(relief->GetBounds(), PlxRect2D(6, 54, 14, 46));
    EXPECT_EQ(relief->GetPrjCoordSys().GetAuthorityName(), "EPSG:4326");

    VmRasterDescription description;
    ASSERT_TRUE(elevation->GetRasterDescription(description));
    EXPECT_EQ(description.Identifier, "demo:elevation");
    // MapServer's limits run from 0 to 199; the engine takes the difference.
    EXPECT_EQ(description.GridWidth, 199);
    EXPECT_EQ(description.GridHeight, 199);
    ASSERT_EQ(description.Axes.GetSize(), 1);
    EXPECT_EQ(description.Axes[0].Name, "bands");
    EXPECT_EQ(description.Axes[0].Max, 1);
    ASSERT_EQ(description.CRSBounds.GetSize(), 1);
    EXPECT_EQ(description.CRSBounds[0], PlxRect2D(6, 54, 14, 46));
    ASSERT_EQ(description.Formats.GetSize(), 1) << "TIFF only, so that the heights stay floats";
    EXPECT_EQ(description.Formats[0], "GEOTIFF_FLOAT");

    ASSERT_TRUE(relief->GetRasterDescription(description));
    EXPECT_EQ(description.Identifier, "demo:relief");
    // No axis named in the mapfile: the range set alone makes an unnamed
    // axis, which a request leaves out.
    ASSERT_EQ(description.Axes.GetSize(), 1);
    EXPECT_EQ(description.Axes[0].Name, "");
    EXPECT_EQ(description.Formats[0], "PNG_BYTE");
}

TEST_F(SampleWCSTest, GridsHoldTheServedValues) {
    SourceRaster heights, colours;
    ASSERT_TRUE(ReadSource("elevation.tif", heights)) << "the front makes the rasters before it listens";
    ASSERT_TRUE(ReadSource("relief.tif", colours));
    ASSERT_EQ(heights.type, GDT_Float32);
    ASSERT_EQ(colours.bands.size(), 3u);

    // Part of the coverage, at a size that does not divide its cells evenly;
    // the engine asks for one more column and row than it is given.
    VmDatasetRaster* grid = elevation->GetDatasetRaster(PlxRect2D(7, 53, 13, 47.5), 130, 110, "");
    ASSERT_NE(grid, nullptr) << server.Log();
    EXPECT_EQ(grid->GetDataTypeName(), "Float32");
    EXPECT_EQ(grid->GetBounds(), PlxRect2D(7, 53, 13, 47.5));
    EXPECT_EQ(grid->GetWidth(), 131);
    EXPECT_EQ(grid->GetHeight(), 111);
    ExpectSourceValues(*grid, heights);

    VmDatasetRaster* picture = relief->GetDatasetRaster(PlxRect2D(6, 54, 14, 46), 300, 300, "");
    ASSERT_NE(picture, nullptr) << server.Log();
    EXPECT_EQ(picture->GetDataTypeName(), "Byte");
    ASSERT_EQ(picture->GetBandCount(), 3);
    ExpectSourceValues(*picture, colours);
    // PNG is the engine's first choice among the formats offered.
    EXPECT_NE(server.Log().find("FORMAT=PNG_BYTE&"), std::string::npos) << server.Log();
}
