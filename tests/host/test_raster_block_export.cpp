// A view block written to PNG or GeoTIFF: its pixels (rows padded or not),
// its place on the map and its alpha, read back.
#include "TestSupport.h"
#include "VmDataExchange.h"
#include "VmProjection.h"
#include "VmTileCache.h"

#include <gdal.h>
#include <gtest/gtest.h>

#include <array>
#include <algorithm>
#include <fstream>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace VMK;

std::array<int, 4> Expected(int x, int y) { return {x * 7 % 256, y * 11 % 256, x + y, (x + y) % 3 == 0 ? 0 : 255}; }

PlxRasterBlock PatternBlock(int width, int height, int rowBytes) {
    PlxRasterBlock block;
    block.PixelWidth = block.ValidWidth = width;
    block.PixelHeight = block.ValidHeight = height;
    block.PixelFormat = 32;
    block.RowBytes = rowBytes;
    block.Bounds = PlxRect2D(1000.0, 2000.0, 1000.0 + width * 10.0, 2000.0 - height * 10.0);
    EXPECT_TRUE(block.Init());
    for (int y = 0; y < height; ++y) {
        unsigned char* row = block.GetData() + static_cast<size_t>(y) * rowBytes;
        std::fill(row + width * 4, row + rowBytes, 0xEE);  // padding is never written out
        for (int x = 0; x < width; ++x) {
            const std::array<int, 4> p = Expected(x, y);
            std::copy(p.begin(), p.end(), row + x * 4);
        }
    }
    return block;
}

std::array<int, 4> PixelOf(GDALDatasetH file, int x, int y) {
    std::array<int, 4> pixel{};
    for (int band = 1; band <= 4; ++band) {
        unsigned char value = 0;
        EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(file, band), GF_Read, x, y, 1, 1, &value, 1, 1, GDT_Byte, 0, 0),
                  CE_None);
        pixel[static_cast<size_t>(band - 1)] = value;
    }
    return pixel;
}

TEST(RasterBlockExport, WritesThePixelsInPlaceForBothFileTypes) {
    TempFolder folder;
    VmPrjCoordSys mercator;
    mercator.SetTypeID(3857);
    for (const char* name : {"view.tif", "view.png"}) {
        for (int rowBytes : {4 * 37, 4 * 37 + 12}) {
            SCOPED_TRACE(std::string(name) + ", row bytes " + std::to_string(rowBytes));
            const PlxRasterBlock block = PatternBlock(37, 23, rowBytes);
            const PlxMBString path = folder.Path(name);
            ASSERT_TRUE(VmDataExchange::ExportRasterBlock(block, mercator, path));
            GDALDatasetH file = GDALOpen(path.c_str(), GA_ReadOnly);
            ASSERT_NE(file, nullptr);
            ASSERT_EQ(GDALGetRasterCount(file), 4);
            EXPECT_EQ(GDALGetRasterXSize(file), 37);
            EXPECT_EQ(GDALGetRasterYSize(file), 23);
            EXPECT_EQ(GDALGetRasterColorInterpretation(GDALGetRasterBand(file, 4)), GCI_AlphaBand);
            for (int y : {0, 1, 22})
                for (int x : {0, 1, 36})
                    EXPECT_EQ(PixelOf(file, x, y), Expected(x, y)) << x << "," << y;
            double transform[6] = {};
            if (std::string(name) == "view.tif") {
                ASSERT_EQ(GDALGetGeoTransform(file, transform), CE_None);
            } else {
                // A world file names the centre of the top left pixel.
                std::ifstream world(folder.Path("view.pgw").str());
                double x = 0, rx = 0, ry = 0, y = 0;
                world >> transform[1] >> rx >> ry >> transform[5] >> x >> y;
                ASSERT_TRUE(world) << "view.pgw";
                transform[0] = x - transform[1] / 2;
                transform[3] = y - transform[5] / 2;
            }
            const double expected[] = {1000.0, 10.0, 0, 2000.0, 0, -10.0};
            for (int k : {0, 1, 3, 5}) EXPECT_DOUBLE_EQ(transform[k], expected[k]) << k;
            GDALClose(file);
        }
    }
    EXPECT_EQ(folder.Files(), (std::set<std::string>{"view.pgw", "view.png", "view.tif"})) << "nothing else beside them";
}

TEST(RasterBlockExport, RefusesWhatItCannotWrite) {
    TempFolder folder;
    VmPrjCoordSys none;
    PlxRasterBlock block = PatternBlock(4, 4, 16);
    EXPECT_FALSE(VmDataExchange::ExportRasterBlock(block, none, folder.Path("view.jpg"))) << "no such file type";
    PlxRasterBlock grey = block, cut = block;
    grey.PixelFormat = 8;
    EXPECT_FALSE(VmDataExchange::ExportRasterBlock(grey, none, folder.Path("grey.png")));
    cut.Data.resize(cut.Data.size() - 1);
    EXPECT_FALSE(VmDataExchange::ExportRasterBlock(cut, none, folder.Path("cut.png"))) << "fewer bytes than rows";
    EXPECT_FALSE(VmDataExchange::ExportRasterBlock(block, none, folder.Path("missing/view.png")));
    EXPECT_TRUE(folder.Files().empty());
}

} // namespace
