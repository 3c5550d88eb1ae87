// The tile cache file and what is made from it: tiles stored and read back
// across reopening, the file checks, tile geometry, decoding, and views
// composed from solid-colour tiles whose colours say where each pixel came
// from.
#include "TestImages.h"
#include "TestSupport.h"
#include "VmTileCache.h"

#include <cpl_vsi.h>
#include <gdal.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace VMK;

namespace {

using Rgba = std::array<int, 4>;

// A `size` x `size` image of one colour, in a GDAL format.
std::string SolidImage(const Rgba& colour, int size = 8, const char* driver = "PNG") {
    static std::atomic<int> counter{0};
    GDALAllRegister();
    const int bands = std::string(driver) == "JPEG" ? 3 : 4;
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", size, size, bands, GDT_Byte, nullptr);
    std::vector<unsigned char> plane(static_cast<size_t>(size) * size);
    for (int b = 0; b < bands; ++b) {
        std::fill(plane.begin(), plane.end(), static_cast<unsigned char>(colour[static_cast<size_t>(b)]));
        EXPECT_EQ(GDALRasterIO(GDALGetRasterBand(mem, b + 1), GF_Write, 0, 0, size, size, plane.data(), size, size,
                               GDT_Byte, 0, 0),
                  CE_None);
    }
    const std::string path = "/vsimem/test_tile_store_" + std::to_string(counter++);
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), mem, FALSE, nullptr, nullptr, nullptr);
    GDALClose(mem);
    EXPECT_NE(out, nullptr);
    if (out) GDALClose(out);
    vsi_l_offset length = 0;
    GByte* data = VSIGetMemFileBuffer(path.c_str(), &length, TRUE);
    std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(length));
    VSIFree(data);
    VSIUnlink((path + ".aux.xml").c_str());
    return bytes;
}

std::vector<unsigned char> Bytes(const std::string& text) { return std::vector<unsigned char>(text.begin(), text.end()); }

// Three levels of 8 pixel tiles over a 64 m square whose corner is (1000, 2000):
// 1 x 1 tiles at 8 m/pixel, 2 x 2 at 4, 4 x 4 at 2. Pixel space: 32 x 32 at 2 m.
VmTilePyramid SmallPyramid() {
    VmTilePyramid pyramid;
    pyramid.TileMatrixSet = "small";
    pyramid.EpsgCode = 3857;
    for (int z = 0; z < 3; ++z) {
        VmTileMatrix m;
        m.Identifier = ("z" + std::to_string(z)).c_str();
        m.Resolution = 8.0 / (1 << z);
        m.ScaleDenominator = m.Resolution / 0.00028;
        m.TopLeftX = 1000;
        m.TopLeftY = 2000;
        m.TileWidth = m.TileHeight = 8;
        m.MatrixWidth = m.MatrixHeight = 1 << z;
        m.MaxRow = m.MaxCol = (1 << z) - 1;
        pyramid.Matrices.push_back(m);
    }
    EXPECT_TRUE(pyramid.Finish());
    return pyramid;
}

double ScaleOf(const VmTilePyramid& pyramid, int level) { return pyramid.Matrices[static_cast<size_t>(level)].ScaleDenominator; }

// A colour that names its tile.
Rgba TileColour(int level, int row, int col) { return {40 + 60 * row, 40 + 60 * col, 50 * level, 255}; }

Rgba PixelAt(const VmImageData& image, int x, int y) {
    const unsigned char* p = image.Pixels.data() + static_cast<size_t>(y) * image.RowBytes + static_cast<size_t>(x) * 4;
    return {p[0], p[1], p[2], p[3]};
}

Rgba ViewPixel(const VmLocalCacheManager& cache, int x, int y) {
    int width = 0, height = 0;
    EXPECT_TRUE(cache.GetViewImageSize(width, height));
    std::vector<unsigned char> buffer(static_cast<size_t>(cache.GetViewImageDataSize()));
    EXPECT_TRUE(cache.GetViewImageData(buffer.data(), static_cast<int64_t>(buffer.size())));
    const unsigned char* p = buffer.data() + (static_cast<size_t>(y) * VmImgToolkit::AlignWidth(32, width)) + x * 4;
    return {p[0], p[1], p[2], p[3]};
}

class TileCacheView : public ::testing::Test {
protected:
    void SetUp() override {
        pyramid = SmallPyramid();
        cache.SetPyramid(pyramid);
        ASSERT_TRUE(cache.Create(temp.Path("layer.cache"), 0));
    }
    void Fill(int level, std::initializer_list<std::pair<int, int>> skip = {}) {
        const int n = 1 << level;
        for (int row = 0; row < n; ++row)
            for (int col = 0; col < n; ++col) {
                bool skipped = false;
                for (const auto& s : skip) skipped = skipped || (s.first == row && s.second == col);
                if (!skipped) Put(level, row, col, TileColour(level, row, col));
            }
    }
    void Put(int level, int row, int col, const Rgba& colour, const char* driver = "PNG") {
        VmTile tile;
        tile.Scale = ScaleOf(pyramid, level);
        tile.Row = row;
        tile.Col = col;
        tile.Data = Bytes(SolidImage(colour, 8, driver));
        ASSERT_TRUE(cache.PutTile(tile));
    }

    TempFolder temp;
    LogCapture log;
    VmTilePyramid pyramid;
    VmLocalCacheManager cache;
};

} // namespace

TEST(TileCacheImages, RowAlignmentAndRasterBlocks) {
    EXPECT_EQ(VmImgToolkit::AlignWidth(32, 3), 12);
    EXPECT_EQ(VmImgToolkit::AlignWidth(24, 3), 12);
    EXPECT_EQ(VmImgToolkit::AlignWidth(24, 1), 4);
    EXPECT_EQ(VmImgToolkit::AlignWidth(24, 5), 16);
    EXPECT_EQ(VmImgToolkit::AlignWidth(8, 5), 8);
    EXPECT_EQ(VmImgToolkit::AlignWidth(16, 3), 8);
    EXPECT_EQ(VmImgToolkit::AlignWidth(132, 2), 8);
    EXPECT_EQ(VmImgToolkit::AlignWidth(164, 1), 8);
    EXPECT_EQ(VmImgToolkit::AlignWidth(7, 10), 0);
    EXPECT_EQ(VmImgToolkit::AlignWidth(32, 0), 0);

    PlxRasterBlock block;
    block.PixelWidth = 5;
    block.PixelHeight = 3;
    block.PixelFormat = 24;
    ASSERT_TRUE(block.Init());
    EXPECT_EQ(block.RowBytes, 16);
    EXPECT_EQ(block.GetByteSize(), 48);
    ASSERT_NE(block.GetData(), nullptr);
    EXPECT_EQ(block.GetData()[47], 0);

    PlxRasterBlock empty;
    EXPECT_FALSE(empty.Init());
    EXPECT_EQ(empty.GetData(), nullptr);
    PlxRasterBlock huge;
    huge.PixelWidth = 1 << 20;
    huge.PixelHeight = 1 << 20;
    huge.PixelFormat = 32;
    EXPECT_FALSE(huge.Init());
    EXPECT_EQ(huge.GetByteSize(), 0);
}

TEST(TileCacheImages, DecodingPngAndJpeg) {
    VmImageData image;
    const std::string rgba = SolidImage({10, 20, 30, 128}, 4);
    ASSERT_TRUE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(rgba.data()), rgba.size(), image));
    EXPECT_EQ(image.Width, 4);
    EXPECT_EQ(image.RowBytes, 16);
    EXPECT_EQ(PixelAt(image, 3, 3), (Rgba{10, 20, 30, 128}));
    EXPECT_EQ(VmImgToolkit::SniffImageFormat(reinterpret_cast<const unsigned char*>(rgba.data()), rgba.size()), "image/png");

    // Grey, grey + alpha and RGB from the shared image maker: band 1 rises
    // from 0 to 255 left to right, band b is 40 * b.
    const std::string grey = ogctest::MakeImage("PNG", 6, 2, 1);
    ASSERT_TRUE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(grey.data()), grey.size(), image));
    EXPECT_EQ(PixelAt(image, 5, 1), (Rgba{255, 255, 255, 255}));
    EXPECT_EQ(PixelAt(image, 0, 0), (Rgba{0, 0, 0, 255}));
    const std::string greyAlpha = ogctest::MakeImage("PNG", 6, 2, 2);
    ASSERT_TRUE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(greyAlpha.data()), greyAlpha.size(), image));
    EXPECT_EQ(PixelAt(image, 5, 0), (Rgba{255, 255, 255, 80}));
    const std::string rgb = ogctest::MakeImage("PNG", 6, 2, 3);
    ASSERT_TRUE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(rgb.data()), rgb.size(), image));
    EXPECT_EQ(PixelAt(image, 5, 1), (Rgba{255, 80, 120, 255}));

    // A palette with a transparent entry.
    {
        GDALAllRegister();
        GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", 2, 1, 1, GDT_Byte, nullptr);
        GDALColorTableH table = GDALCreateColorTable(GPI_RGB);
        const GDALColorEntry red{200, 10, 10, 255}, clear{0, 0, 0, 0};
        GDALSetColorEntry(table, 0, &red);
        GDALSetColorEntry(table, 1, &clear);
        GDALSetRasterColorTable(GDALGetRasterBand(mem, 1), table);
        GDALDestroyColorTable(table);
        unsigned char indexes[2] = {0, 1};
        ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(mem, 1), GF_Write, 0, 0, 2, 1, indexes, 2, 1, GDT_Byte, 0, 0), CE_None);
        GDALDatasetH png = GDALCreateCopy(GDALGetDriverByName("PNG"), "/vsimem/test_tile_palette.png", mem, FALSE,
                                          nullptr, nullptr, nullptr);
        GDALClose(mem);
        ASSERT_NE(png, nullptr);
        GDALClose(png);
        vsi_l_offset length = 0;
        GByte* data = VSIGetMemFileBuffer("/vsimem/test_tile_palette.png", &length, TRUE);
        std::vector<unsigned char> bytes(data, data + length);
        VSIFree(data);
        ASSERT_TRUE(VmImgToolkit::DecodeImage(bytes.data(), bytes.size(), image));
        EXPECT_EQ(PixelAt(image, 0, 0), (Rgba{200, 10, 10, 255}));
        EXPECT_EQ(PixelAt(image, 1, 0)[3], 0);
    }

    const std::string jpeg = SolidImage({200, 100, 50, 255}, 16, "JPEG");
    ASSERT_TRUE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(jpeg.data()), jpeg.size(), image));
    const Rgba pixel = PixelAt(image, 8, 8);
    EXPECT_NEAR(pixel[0], 200, 4);
    EXPECT_NEAR(pixel[1], 100, 4);
    EXPECT_NEAR(pixel[2], 50, 4);
    EXPECT_EQ(pixel[3], 255);

    // What is not a PNG or JPEG, or is one cut short, is no tile.
    const std::string gif = ogctest::MakeImage("GIF", 4, 4, 1);
    EXPECT_FALSE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(gif.data()), gif.size(), image));
    const std::string xml = "<ows:ExceptionReport/>";
    EXPECT_FALSE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(xml.data()), xml.size(), image));
    const std::string cut = rgba.substr(0, rgba.size() / 2);
    EXPECT_FALSE(VmImgToolkit::DecodeImage(reinterpret_cast<const unsigned char*>(cut.data()), cut.size(), image));
    EXPECT_EQ(image.Width, 0);
    EXPECT_FALSE(VmImgToolkit::DecodeImage(nullptr, 0, image));
}

TEST(TileCacheFile, CreateStoreReopen) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString path = temp.Path("a/b/layer.cache");
    const VmTilePyramid pyramid = SmallPyramid();
    const std::string png = SolidImage({1, 2, 3, 255});
    {
        VmLocalCacheManager cache;
        EXPECT_FALSE(cache.IsCacheFileExist(path));
        EXPECT_FALSE(cache.Open(path, 0));
        cache.SetServiceProvider("http://example.com/wmts");
        ASSERT_TRUE(cache.Create(path, 0));  // folders made on the way
        EXPECT_TRUE(cache.IsOpen());
        EXPECT_EQ(cache.GetPath(), path);
        cache.SetPyramid(pyramid);
        ASSERT_TRUE(cache.PutTile("z2", 3, 1, Bytes(png), "image/png", 1234));
        EXPECT_TRUE(cache.HasTile("z2", 3, 1));
        EXPECT_FALSE(cache.HasTile("z2", 1, 3));
        EXPECT_EQ(cache.GetTileCount(), 1);
        EXPECT_FALSE(cache.PutTile("z2", 0, 0, {}, "image/png", 0));  // nothing to store
    }
    VmLocalCacheManager cache;
    EXPECT_TRUE(cache.IsCacheFileExist(path));
    EXPECT_FALSE(cache.IsCacheFileExist(temp.Path("a")));  // a folder is no cache file
    ASSERT_TRUE(cache.Open(path, 0));
    cache.SetPyramid(pyramid);
    VmTile tile;
    tile.Scale = ScaleOf(pyramid, 2) * 1.01;  // nearest matrix
    tile.Row = 3;
    tile.Col = 1;
    ASSERT_TRUE(cache.GetTileData(tile));
    EXPECT_EQ(tile.Data, Bytes(png));
    EXPECT_EQ(tile.Format, "image/png");
    EXPECT_EQ(tile.TimeStamp, 1234);
    EXPECT_EQ(tile.Bounds, PlxRect2D(1016, 1952, 1032, 1936));
    tile.Row = 0;
    EXPECT_FALSE(cache.GetTileData(tile));
    EXPECT_FALSE(cache.GetTileInfo(tile));
    EXPECT_EQ(tile.Bounds, PlxRect2D(1016, 2000, 1032, 1984));  // bounds even when absent

    // Stored by scale; the time is now when none is given.
    VmTile fresh;
    fresh.Scale = ScaleOf(pyramid, 0);
    fresh.Data = Bytes(png);
    ASSERT_TRUE(cache.PutTile(fresh));
    fresh.Data.clear();
    ASSERT_TRUE(cache.GetTileData(fresh));
    EXPECT_GT(fresh.TimeStamp, 1600000000);
    EXPECT_EQ(fresh.Format, "image/png");
    EXPECT_TRUE(cache.GetTileInfo(fresh));

    std::unique_ptr<VmImageData> image(cache.LoadTileImageData(ScaleOf(pyramid, 2), 3, 1, false));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(image->Width, 8);
    EXPECT_EQ(PixelAt(*image, 7, 7), (Rgba{1, 2, 3, 255}));
    EXPECT_EQ(cache.LoadTileImageData(ScaleOf(pyramid, 2), 0, 0, false), nullptr);
    ASSERT_TRUE(cache.PutTile("z1", 0, 0, Bytes("not an image"), "image/png", 0));
    EXPECT_EQ(cache.LoadTileImageData(ScaleOf(pyramid, 1), 0, 0, false), nullptr);

    // Create replaces what was there.
    ASSERT_TRUE(cache.Create(path, 0));
    EXPECT_EQ(cache.GetTileCount(), 0);
}

TEST(TileCacheFile, OnlyCachesOfThisVersionOpen) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString path = temp.Path("layer.cache");
    {
        VmLocalCacheManager old;
        old.SetVersion(49);
        ASSERT_TRUE(old.Create(path, 0));
    }
    VmLocalCacheManager cache;
    EXPECT_EQ(cache.GetVersion(), 50);
    EXPECT_FALSE(cache.Open(path, 0));
    EXPECT_FALSE(cache.IsOpen());
    cache.SetVersion(49);
    EXPECT_TRUE(cache.Open(path, 0));

    const PlxMBString text = temp.Path("text.cache");
    std::ofstream(text.str()) << "this is not a database, but long enough to look like a header of one............";
    VmLocalCacheManager other;
    EXPECT_FALSE(other.Open(text, 0));
    // An empty SQLite database is no cache either.
    const PlxMBString empty = temp.Path("empty.cache");
    std::ofstream(empty.str()).close();
    EXPECT_FALSE(other.Open(empty, 0));
    EXPECT_FALSE(other.IsOpen());
    EXPECT_FALSE(other.PutTile("z0", 0, 0, Bytes("x"), "", 0));
}

TEST(TileCacheFile, ChangedPyramidEmptiesTheCache) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString path = temp.Path("layer.cache");
    VmTilePyramid pyramid = SmallPyramid();
    VmLocalCacheManager cache;
    ASSERT_TRUE(cache.Create(path, 0));
    cache.SetPyramid(pyramid);
    ASSERT_TRUE(cache.PutTile("z0", 0, 0, Bytes(SolidImage({1, 1, 1, 255})), "image/png", 0));
    cache.SetPyramid(SmallPyramid());  // the same again
    EXPECT_EQ(cache.GetTileCount(), 1);
    cache.Close();

    // The server moved its matrices; opening the old file with the new pyramid
    // must not show old tiles in new places.
    pyramid.Matrices[0].TopLeftX += 8;
    ASSERT_TRUE(pyramid.Finish());
    VmLocalCacheManager reopened;
    reopened.SetPyramid(pyramid);
    ASSERT_TRUE(reopened.Open(path, 0));
    EXPECT_EQ(reopened.GetTileCount(), 0);
    ASSERT_TRUE(reopened.PutTile("z0", 0, 0, Bytes(SolidImage({1, 1, 1, 255})), "image/png", 0));
    reopened.SetPyramid(SmallPyramid());
    EXPECT_EQ(reopened.GetTileCount(), 0);
}

TEST(TileCacheGeometry, ScalesAndTileBounds) {
    VmLocalCacheManager cache;
    EXPECT_EQ(cache.GetTileSize(), 0);
    EXPECT_EQ(cache.ScaleToNearFixScale(1000), 0.0);
    EXPECT_TRUE(cache.ComputeTilesBounds(1000, PlxRect2D(0, 1, 1, 0), 0).IsNull());
    const VmTilePyramid pyramid = SmallPyramid();
    EXPECT_EQ(pyramid.ZoomLevel, 2);
    EXPECT_EQ(pyramid.TileSize, 8);
    EXPECT_EQ(pyramid.Bounds, PlxRect2D(1000, 2000, 1064, 1936));
    cache.SetPyramid(pyramid);

    EXPECT_EQ(cache.GetTileSize(), 8);
    const PlxArray<double> scales = cache.GetScales();
    ASSERT_EQ(scales.GetSize(), 3);
    EXPECT_GT(scales[0], scales[1]);
    EXPECT_GT(scales[1], scales[2]);
    const double s0 = scales[0], s1 = scales[1], s2 = scales[2];
    const double between = std::sqrt(s0 * s1);  // the geometric middle
    EXPECT_EQ(cache.ScaleToNearFixScale(between * 1.01), s0);
    EXPECT_EQ(cache.ScaleToNearFixScale(between * 0.99), s1);
    EXPECT_EQ(cache.ScaleToNearFixScale(s0 * 100), s0);
    EXPECT_EQ(cache.ScaleToNearFixScale(s2 / 100), s2);
    EXPECT_EQ(cache.ScaleToNearFixScale(-1), 0.0);

    const VmSize2D size = cache.GetTileMPSize(s1);
    EXPECT_EQ(size.cx, 32.0);
    EXPECT_EQ(size.cy, 32.0);

    // Level 2: tiles of 16 m from (1000, 2000).
    EXPECT_EQ(cache.ComputeTilesBounds(s2, PlxRect2D(1017, 1990, 1020, 1985), 0), PlxRect2D(1016, 2000, 1032, 1984));
    // Edges on tile edges pull in no neighbour.
    EXPECT_EQ(cache.ComputeTilesBounds(s2, PlxRect2D(1016, 1984, 1048, 1952), 0), PlxRect2D(1016, 1984, 1048, 1952));
    // A margin widens, the matrix clips.
    EXPECT_EQ(cache.ComputeTilesBounds(s2, PlxRect2D(1017, 1990, 1020, 1985), 1), PlxRect2D(1000, 2000, 1048, 1968));
    EXPECT_EQ(cache.ComputeTilesBounds(s2, PlxRect2D(900, 2100, 1100, 1900), 0), PlxRect2D(1000, 2000, 1064, 1936));
    // Upside-down bounds are taken the right way up; outside is nothing.
    EXPECT_EQ(cache.ComputeTilesBounds(s2, PlxRect2D(1020, 1985, 1017, 1990), 0), PlxRect2D(1016, 2000, 1032, 1984));
    EXPECT_TRUE(cache.ComputeTilesBounds(s2, PlxRect2D(0, 10, 10, 0), 0).IsNull());
    EXPECT_TRUE(cache.ComputeTilesBounds(s2, PlxRect2D(1064, 2000, 1100, 1936), 0).IsNull());

    const VmTileRange range = pyramid.CoveringTiles(2, PlxRect2D(1017, 1990, 1040, 1950), 0);
    EXPECT_EQ(range.MinRow, 0);
    EXPECT_EQ(range.MaxRow, 3);
    EXPECT_EQ(range.MinCol, 1);
    EXPECT_EQ(range.MaxCol, 2);
    EXPECT_EQ(range.Count(), 8);
}

TEST_F(TileCacheView, ViewFromTilesAtFullResolution) {
    Fill(2, {{1, 2}});
    // The whole pixel space at one output pixel per pixel: level 2.
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 32, 32), ScaleOf(pyramid, 2));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    int width = 0, height = 0;
    ASSERT_TRUE(cache.GetViewImageSize(width, height));
    EXPECT_EQ(width, 32);
    EXPECT_EQ(height, 32);
    EXPECT_EQ(cache.GetViewImageDataSize(), 32 * 32 * 4);
    EXPECT_EQ(cache.GetPixelFormat(), 32);
    EXPECT_EQ(cache.GetViewState(), 0);  // tile (1, 2) is missing
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) {
            const Rgba expected = row == 1 && col == 2 ? Rgba{0, 0, 0, 0} : TileColour(2, row, col);
            // Every pixel of the tile, corners included: nothing bleeds across.
            for (int dy : {0, 3, 7})
                for (int dx : {0, 4, 7})
                    ASSERT_EQ(ViewPixel(cache, col * 8 + dx, row * 8 + dy), expected) << row << "," << col;
        }

    Put(2, 1, 2, TileColour(2, 1, 2));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(cache, 20, 12), TileColour(2, 1, 2));

    // One tile's pixels exactly, anywhere in the space.
    ASSERT_TRUE(cache.SetViewPort(8, 16, 15, 23, 8, 8));
    EXPECT_EQ(cache.GetViewState(), 1);
    for (int y = 0; y < 8; ++y)
        for (int x = 0; x < 8; ++x) ASSERT_EQ(ViewPixel(cache, x, y), TileColour(2, 2, 1));

    // Copies are cut to the caller's buffer.
    std::vector<unsigned char> small(10, 0xAB);
    ASSERT_TRUE(cache.GetViewImageData(small.data(), 8));
    EXPECT_EQ(small[0], TileColour(2, 2, 1)[0]);
    EXPECT_EQ(small[8], 0xAB);
}

TEST_F(TileCacheView, ViewPicksTheNearestLevel) {
    Fill(2);
    Fill(1, {{1, 1}});
    Fill(0);
    // Half the pixels: level 1 (4 m per pixel) fits exactly.
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 16, 16), ScaleOf(pyramid, 1));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 16, 16));
    EXPECT_EQ(cache.GetViewState(), 0);  // level 1 lacks tile (1, 1)
    EXPECT_EQ(ViewPixel(cache, 2, 2), TileColour(1, 0, 0));
    EXPECT_EQ(ViewPixel(cache, 13, 2), TileColour(1, 0, 1));
    EXPECT_EQ(ViewPixel(cache, 2, 13), TileColour(1, 1, 0));
    EXPECT_EQ(ViewPixel(cache, 13, 13)[3], 0);
    // An eighth: level 0.
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 4, 4));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(cache, 3, 3), TileColour(0, 0, 0));
    // Between levels 2 and 1 but nearer 2 (24 output pixels for 32).
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 24, 24), ScaleOf(pyramid, 2));
    // Far finer than the deepest level: still level 2, magnified.
    cache.SetResampling(0);
    ASSERT_TRUE(cache.SetViewPort(4, 4, 11, 11, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(cache, 0, 0), TileColour(2, 0, 0));
    EXPECT_EQ(ViewPixel(cache, 15, 15), TileColour(2, 0, 0));
    EXPECT_EQ(ViewPixel(cache, 16, 16), TileColour(2, 1, 1));
    EXPECT_EQ(ViewPixel(cache, 31, 0), TileColour(2, 0, 1));
    // Bilinear blends across the tile edge and nowhere else.
    cache.SetResampling(1);
    ASSERT_TRUE(cache.SetViewPort(4, 4, 11, 11, 32, 32));
    EXPECT_EQ(ViewPixel(cache, 0, 0), TileColour(2, 0, 0));
    const Rgba edge = ViewPixel(cache, 16, 0);
    EXPECT_GT(edge[1], TileColour(2, 0, 0)[1]);
    EXPECT_LT(edge[1], TileColour(2, 0, 1)[1]);
}

TEST_F(TileCacheView, ViewEdgesLimitsAndBadInput) {
    Fill(2);
    // Half the view lies left of the layer: transparent there, yet complete.
    ASSERT_TRUE(cache.SetViewPort(-8, 0, 7, 7, 16, 8));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(cache, 3, 3)[3], 0);
    EXPECT_EQ(ViewPixel(cache, 12, 3), TileColour(2, 0, 0));

    // Where the layer's limits say there are no tiles, none are missing.
    VmTilePyramid limited = SmallPyramid();
    limited.Matrices[2].MinCol = 1;
    cache.SetPyramid(limited);
    Fill(2);
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(cache, 3, 3)[3], 0);
    EXPECT_EQ(ViewPixel(cache, 11, 3), TileColour(2, 0, 1));

    // A JPEG tile composes too.
    Put(2, 0, 1, {200, 100, 50, 255}, "JPEG");
    ASSERT_TRUE(cache.SetViewPort(8, 0, 15, 7, 8, 8));
    const Rgba jpeg = ViewPixel(cache, 4, 4);
    EXPECT_NEAR(jpeg[0], 200, 4);
    EXPECT_NEAR(jpeg[2], 50, 4);
    EXPECT_EQ(jpeg[3], 255);

    // An undecodable tile counts as missing.
    ASSERT_TRUE(cache.PutTile("z2", 0, 1, Bytes("<html>proxy error</html>"), "image/png", 0));
    ASSERT_TRUE(cache.SetViewPort(8, 0, 15, 7, 8, 8));
    EXPECT_EQ(cache.GetViewState(), 0);

    EXPECT_FALSE(cache.SetViewPort(0, 0, 31, 31, 0, 32));
    EXPECT_FALSE(cache.SetViewPort(5, 0, 4, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 0);
    int width = -1, height = -1;
    EXPECT_FALSE(cache.GetViewImageSize(width, height));
    EXPECT_EQ(cache.GetViewImageDataSize(), 0);
    unsigned char byte = 0;
    EXPECT_FALSE(cache.GetViewImageData(&byte, 1));

    VmLocalCacheManager noPyramid;
    EXPECT_FALSE(noPyramid.SetViewPort(0, 0, 7, 7, 8, 8));
    EXPECT_EQ(noPyramid.GetViewScale(0, 0, 7, 7, 8, 8), 0.0);

    // The reentrant form gives the same pixels without keeping them.
    VmImageData image;
    bool complete = false;
    Fill(2);
    ASSERT_TRUE(cache.ComposeView(16, 16, 23, 23, 8, 8, image, complete));
    EXPECT_TRUE(complete);
    EXPECT_EQ(PixelAt(image, 7, 7), TileColour(2, 2, 2));
    EXPECT_EQ(cache.GetViewBounds(16, 16, 23, 23), PlxRect2D(1032, 1968, 1048, 1952));
}
