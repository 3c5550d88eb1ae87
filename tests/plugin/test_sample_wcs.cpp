// End to end against the bundled sample service's coverages (MapServer on
// loopback): what the engine reads from MapServer's DescribeCoverage, and
// whether the grids it downloads hold the values of the rasters served.
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWCS.h"

#include <gtest/gtest.h>

#include <gdal.h>

#include <algorithm>
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

std::unique_ptr<VmDataSourceOGC> OpenCoverages(const ogctest::SampleServer& server) {
    auto source = std::make_unique<VmDataSourceOGC>();
    source->GetConnectionInfo().Server = server.Url("/ows").c_str();
    source->GetConnectionInfo().ServiceKind = "wcs";
    if (!source->Open()) return nullptr;
    return source;
}

VmDatasetRaster* Coverage(VmDataSourceOGC& source, const char* name) {
    return dynamic_cast<VmDatasetRaster*>(source.GetDataset(PlxMBString(name)));
}

// Compares a downloaded grid with the source at the centres of a 9 x 9 set of
// pixels away from its edges. The service resamples to the size asked for
// (nearest neighbour), so each pixel must hold, in every band at once, the
// values of the source cell under its centre or of one of that cell's
// neighbours; a grid turned into bytes, shifted by more than a cell, flipped
// or with its bands mixed up fails.
void ExpectSourceValues(VmDatasetRaster& grid, const SourceRaster& source) {
    const int width = grid.GetWidth(), height = grid.GetHeight();
    const PlxRect2D bounds = grid.GetBounds();
    std::vector<std::vector<double>> bands(source.bands.size());
    for (size_t b = 0; b < bands.size(); ++b) ASSERT_TRUE(grid.ReadBand(static_cast<int>(b) + 1, bands[b]));
    int checked = 0;
    for (int i = 0; i < 9; ++i) {
        for (int j = 0; j < 9; ++j) {
            const int column = 3 + i * (width - 7) / 8, row = 3 + j * (height - 7) / 8;
            const double lon = bounds.left + (column + 0.5) * bounds.Width() / width;
            const double lat = bounds.top - (row + 0.5) * bounds.Height() / height;
            const int sourceColumn = static_cast<int>(std::floor((lon - kWest) / source.cell));
            const int sourceRow = static_cast<int>(std::floor((kNorth - lat) / source.cell));
            bool found = false;
            for (int dr = -1; dr <= 1 && !found; ++dr) {
                for (int dc = -1; dc <= 1 && !found; ++dc) {
                    bool all = true;
                    for (size_t b = 0; b < bands.size(); ++b)
                        all = all && bands[b][static_cast<size_t>(row) * width + column] ==
                                         source.At(b, sourceColumn + dc, sourceRow + dr);
                    found = all;
                }
            }
            EXPECT_TRUE(found) << "pixel " << column << "," << row << " (lon " << lon << ", lat " << lat << ") holds "
                               << bands[0][static_cast<size_t>(row) * width + column] << "; the source has "
                               << source.At(0, sourceColumn, sourceRow) << " there";
            ++checked;
        }
    }
    EXPECT_EQ(checked, 81);
}

} // namespace

TEST(SampleWCSTest, DescribeCoverageAsTheEngineReadsIt) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    auto source = OpenCoverages(server);
    ASSERT_NE(source, nullptr) << server.Log();
    EXPECT_EQ(source->GetServiceVersion(), "1.0.0");
    ASSERT_EQ(source->GetDatasetCount(), 2);
    // Named by their labels; the identifiers are MapServer's layer names.
    VmDatasetRaster* elevation = Coverage(*source, "Elevation");
    VmDatasetRaster* relief = Coverage(*source, "Colour relief");
    ASSERT_NE(elevation, nullptr);
    ASSERT_NE(relief, nullptr);

    for (VmDatasetRaster* coverage : {elevation, relief}) {
        SCOPED_TRACE(coverage->GetName().str());
        EXPECT_EQ(coverage->GetType(), VmDataset::WebCoverage);
        EXPECT_EQ(coverage->GetBounds(), PlxRect2D(6, 54, 14, 46));
        EXPECT_EQ(coverage->GetPrjCoordSys().GetAuthorityName(), "EPSG:4326");
    }

    VmRasterDescription description;
    ASSERT_TRUE(elevation->GetRasterDescription(description));
    EXPECT_EQ(description.Identifier, "demo:elevation");
    // MapServer's limits run from 0 to 199 for 200 cells; the engine takes
    // the difference as the size.
    EXPECT_EQ(description.GridWidth, 199);
    EXPECT_EQ(description.GridHeight, 199);
    ASSERT_EQ(description.Axes.GetSize(), 1);
    EXPECT_EQ(description.Axes[0].Name, "bands");
    EXPECT_EQ(description.Axes[0].Min, 1);
    EXPECT_EQ(description.Axes[0].Max, 1);
    ASSERT_EQ(description.CRSNames.GetSize(), 1);
    EXPECT_EQ(description.CRSNames[0], "EPSG:4326");
    ASSERT_EQ(description.CRSBounds.GetSize(), 1);
    EXPECT_EQ(description.CRSBounds[0], PlxRect2D(6, 54, 14, 46));
    ASSERT_EQ(description.Formats.GetSize(), 1) << "TIFF only, so that the heights stay floats";
    EXPECT_EQ(description.Formats[0], "GEOTIFF_FLOAT");
    EXPECT_EQ(description.NativeFormat, "GTiff");
    // MapServer's default "nearest neighbor", split at its blank.
    ASSERT_EQ(description.Interpolations.GetSize(), 2);
    EXPECT_EQ(description.Interpolations[0], "nearest");
    EXPECT_EQ(description.Interpolations[1], "neighbor");
    auto* wcs = dynamic_cast<VmDatasetRasterWCS*>(elevation);
    ASSERT_NE(wcs, nullptr);
    EXPECT_EQ(wcs->GetEnvelope().Name, "EPSG:4326");
    EXPECT_EQ(wcs->GetEnvelope().Rect, PlxRect2D(6, 54, 14, 46));

    ASSERT_TRUE(relief->GetRasterDescription(description));
    EXPECT_EQ(description.Identifier, "demo:relief");
    EXPECT_EQ(description.GridWidth, 399);
    EXPECT_EQ(description.GridHeight, 399);
    // No axis named in the mapfile: the range set alone makes an axis
    // without name, which the service ignores in a request.
    ASSERT_EQ(description.Axes.GetSize(), 1);
    EXPECT_EQ(description.Axes[0].Name, "");
    ASSERT_EQ(description.Formats.GetSize(), 2);
    EXPECT_EQ(description.Formats[0], "PNG_BYTE");
    EXPECT_EQ(description.Formats[1], "GEOTIFF_BYTE");
    EXPECT_EQ(description.CRSNames.GetSize(), 1);

    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());
}

TEST(SampleWCSTest, ElevationComesAsFloat32WithTheServedValues) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    SourceRaster heights;
    ASSERT_TRUE(ReadSource("elevation.tif", heights)) << "the front makes the rasters before it listens: "
                                                      << server.Log();
    ASSERT_EQ(heights.type, GDT_Float32);
    ASSERT_EQ(heights.bands.size(), 1u);
    auto source = OpenCoverages(server);
    ASSERT_NE(source, nullptr) << server.Log();
    VmDatasetRaster* elevation = Coverage(*source, "Elevation");
    ASSERT_NE(elevation, nullptr);

    // Part of the coverage, at a size that does not divide its cells evenly.
    VmDatasetRaster* grid = elevation->GetDatasetRaster(PlxRect2D(7, 53, 13, 47.5), 130, 110, "");
    ASSERT_NE(grid, nullptr) << server.Log();
    EXPECT_EQ(grid->GetDataTypeName(), "Float32");
    EXPECT_EQ(grid->GetBandCount(), 1);
    EXPECT_EQ(grid->GetBounds(), PlxRect2D(7, 53, 13, 47.5));
    // The engine asks for one more column and row than it is given.
    EXPECT_EQ(grid->GetWidth(), 131);
    EXPECT_EQ(grid->GetHeight(), 111);
    ExpectSourceValues(*grid, heights);
    std::vector<double> values;
    ASSERT_TRUE(grid->ReadBand(1, values));
    double highest = 0;
    for (double value : values) highest = std::max(highest, value);
    EXPECT_GT(highest, 1000.0) << "the hills are there, above any 8-bit value";
    const auto fractional = std::count_if(values.begin(), values.end(), [](double v) { return v != std::floor(v); });
    EXPECT_GT(fractional, static_cast<long>(values.size() / 2)) << "fractions of a metre survive";

    EXPECT_NE(server.Log().find("FORMAT=GEOTIFF_FLOAT&"), std::string::npos) << server.Log();
    EXPECT_NE(server.Log().find("&bands=1&"), std::string::npos) << server.Log();
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());
}

TEST(SampleWCSTest, ReliefComesWithItsThreeBands) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    SourceRaster colours;
    ASSERT_TRUE(ReadSource("relief.tif", colours)) << server.Log();
    ASSERT_EQ(colours.type, GDT_Byte);
    ASSERT_EQ(colours.bands.size(), 3u);
    auto source = OpenCoverages(server);
    ASSERT_NE(source, nullptr) << server.Log();
    VmDatasetRaster* relief = Coverage(*source, "Colour relief");
    ASSERT_NE(relief, nullptr);

    VmDatasetRaster* picture = relief->GetDatasetRaster(PlxRect2D(6, 54, 14, 46), 300, 300, "");
    ASSERT_NE(picture, nullptr) << server.Log();
    EXPECT_EQ(picture->GetDataTypeName(), "Byte");
    ASSERT_EQ(picture->GetBandCount(), 3);
    EXPECT_EQ(picture->GetWidth(), 301);
    ExpectSourceValues(*picture, colours);
    // PNG is the engine's first choice among the formats offered.
    EXPECT_NE(server.Log().find("FORMAT=PNG_BYTE&"), std::string::npos) << server.Log();
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());
}
