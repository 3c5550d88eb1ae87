// The tile cache file: tiles stored and read back, file checks, tile geometry,
// decoding, and views composed from tiles whose colours name them.
#include "TestImages.h"
#include "TestSupport.h"
#include "VmTileCache.h"

#include <cpl_vsi.h>
#include <gdal.h>

#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <cmath>
#include <fstream>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace VMK;

namespace {

using Rgba = std::array<int, 4>;

// The bytes of an in-memory dataset written in a GDAL format; closes `mem`.
std::vector<unsigned char> Encode(GDALDatasetH mem, const char* driver) {
    static std::atomic<int> counter{0};
    const std::string path = "/vsimem/test_tile_store_" + std::to_string(counter++);
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), mem, FALSE, nullptr, nullptr, nullptr);
    GDALClose(mem);
    EXPECT_NE(out, nullptr);
    if (out) GDALClose(out);
    vsi_l_offset length = 0;
    GByte* data = VSIGetMemFileBuffer(path.c_str(), &length, TRUE);
    std::vector<unsigned char> bytes(data, data + length);
    VSIFree(data);
    VSIUnlink((path + ".aux.xml").c_str());
    return bytes;
}

// A `size` x `size` image of one colour.
std::vector<unsigned char> SolidImage(const Rgba& colour, int size = 8, const char* driver = "PNG") {
    GDALAllRegister();
    const int bands = std::string(driver) == "JPEG" ? 3 : 4;
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", size, size, bands, GDT_Byte, nullptr);
    for (int b = 0; b < bands; ++b) GDALFillRaster(GDALGetRasterBand(mem, b + 1), colour[static_cast<size_t>(b)], 0);
    return Encode(mem, driver);
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

class TileCacheView : public ::testing::Test {
protected:
    void SetUp() override {
        pyramid = SmallPyramid();
        cache.SetPyramid(pyramid);
        ASSERT_TRUE(cache.Create(temp.Path("layer.cache"), 0));
    }
    void Fill(int level, std::pair<int, int> skip = {-1, -1}) {
        for (int row = 0; row < (1 << level); ++row)
            for (int col = 0; col < (1 << level); ++col)
                if (std::make_pair(row, col) != skip) Put(level, row, col, TileColour(level, row, col));
    }
    void Put(int level, int row, int col, const Rgba& colour, const char* driver = "PNG") {
        VmTile tile;
        tile.Scale = ScaleOf(pyramid, level);
        tile.Row = row;
        tile.Col = col;
        tile.Data = SolidImage(colour, 8, driver);
        ASSERT_TRUE(cache.PutTile(tile));
    }
    Rgba ViewPixel(int x, int y) {
        int width = 0, height = 0;
        EXPECT_TRUE(cache.GetViewImageSize(width, height));
        std::vector<unsigned char> buffer(static_cast<size_t>(cache.GetViewImageDataSize()));
        EXPECT_TRUE(cache.GetViewImageData(buffer.data(), static_cast<int64_t>(buffer.size())));
        const unsigned char* p = buffer.data() + (static_cast<size_t>(y) * VmImgToolkit::AlignWidth(32, width)) + x * 4;
        return {p[0], p[1], p[2], p[3]};
    }

    TempFolder temp;
    LogCapture log;
    VmTilePyramid pyramid;
    VmLocalCacheManager cache;
};

} // namespace

TEST(TileCacheImages, RowAlignmentAndRasterBlocks) {
    // {bits per pixel, width, row bytes}: rows are padded to four bytes.
    const std::array<int, 3> rows[] = {{32, 3, 12}, {24, 3, 12}, {24, 1, 4}, {24, 5, 16}, {8, 5, 8},
                                       {16, 3, 8},  {132, 2, 8}, {164, 1, 8}, {7, 10, 0}, {32, 0, 0}};
    for (const auto& row : rows) EXPECT_EQ(VmImgToolkit::AlignWidth(row[0], row[1]), row[2]) << row[0] << " " << row[1];

    PlxRasterBlock block;
    block.PixelWidth = 5;
    block.PixelHeight = 3;
    block.PixelFormat = 24;
    ASSERT_TRUE(block.Init());
    EXPECT_EQ(block.RowBytes, 16);
    EXPECT_EQ(block.GetByteSize(), 48);
    EXPECT_FALSE(PlxRasterBlock().Init());
    PlxRasterBlock huge;
    huge.PixelWidth = huge.PixelHeight = 1 << 20;
    huge.PixelFormat = 32;
    EXPECT_FALSE(huge.Init());
    EXPECT_EQ(huge.GetByteSize(), 0);
}

// JPEG tiles are decoded in the view tests.
TEST(TileCacheImages, DecodingPng) {
    // A palette with a transparent entry.
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
    const std::vector<unsigned char> palette = Encode(mem, "PNG");

    // The shared image maker: band 1 rises from 0 to 255 left to right, band b is 40 * b.
    struct Case { const char* what; std::vector<unsigned char> data; int x, y; Rgba expected; };
    const Case cases[] = {
        {"rgba", SolidImage({10, 20, 30, 128}, 4), 3, 3, {10, 20, 30, 128}},
        {"grey", Bytes(ogctest::MakeImage("PNG", 6, 2, 1)), 5, 1, {255, 255, 255, 255}},
        {"grey left", Bytes(ogctest::MakeImage("PNG", 6, 2, 1)), 0, 0, {0, 0, 0, 255}},
        {"grey alpha", Bytes(ogctest::MakeImage("PNG", 6, 2, 2)), 5, 0, {255, 255, 255, 80}},
        {"rgb", Bytes(ogctest::MakeImage("PNG", 6, 2, 3)), 5, 1, {255, 80, 120, 255}},
        {"palette", palette, 0, 0, {200, 10, 10, 255}},
        {"palette clear", palette, 1, 0, {0, 0, 0, 0}},
    };
    VmImageData image;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(VmImgToolkit::DecodeImage(c.data.data(), c.data.size(), image));
        EXPECT_EQ(PixelAt(image, c.x, c.y), c.expected);
    }
    EXPECT_EQ(VmImgToolkit::SniffImageFormat(cases[0].data.data(), cases[0].data.size()), "image/png");

    // What is not a PNG or JPEG, or is one cut short, is no tile.
    const std::vector<unsigned char> refused[] = {
        Bytes(ogctest::MakeImage("GIF", 4, 4, 1)), Bytes("<ows:ExceptionReport/>"),
        std::vector<unsigned char>(cases[0].data.begin(), cases[0].data.begin() + cases[0].data.size() / 2)};
    for (const auto& data : refused) EXPECT_FALSE(VmImgToolkit::DecodeImage(data.data(), data.size(), image));
    EXPECT_EQ(image.Width, 0);
    EXPECT_FALSE(VmImgToolkit::DecodeImage(nullptr, 0, image));
}

TEST(TileCacheFile, CreateStoreReopen) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString path = temp.Path("a/b/layer.cache");
    const VmTilePyramid pyramid = SmallPyramid();
    const std::vector<unsigned char> png = SolidImage({1, 2, 3, 255});
    {
        VmLocalCacheManager cache;
        EXPECT_FALSE(cache.IsCacheFileExist(path));
        EXPECT_FALSE(cache.Open(path, 0));
        ASSERT_TRUE(cache.Create(path, 0));  // folders made on the way
        cache.SetPyramid(pyramid);
        ASSERT_TRUE(cache.PutTile("z2", 3, 1, png, "image/png", 1234));
        EXPECT_TRUE(cache.HasTile("z2", 3, 1));
        EXPECT_FALSE(cache.HasTile("z2", 1, 3));
        EXPECT_FALSE(cache.PutTile("z2", 0, 0, {}, "image/png", 0)) << "nothing to store";
    }
    VmLocalCacheManager cache;
    EXPECT_TRUE(cache.IsCacheFileExist(path));
    EXPECT_FALSE(cache.IsCacheFileExist(temp.Path("a"))) << "a folder is no cache file";
    ASSERT_TRUE(cache.Open(path, 0));
    cache.SetPyramid(pyramid);
    VmTile tile;
    tile.Scale = ScaleOf(pyramid, 2) * 1.01;  // nearest matrix
    tile.Row = 3;
    tile.Col = 1;
    ASSERT_TRUE(cache.GetTileData(tile));
    EXPECT_EQ(tile.Data, png);
    EXPECT_EQ(tile.Format, "image/png");
    EXPECT_EQ(tile.TimeStamp, 1234);
    EXPECT_EQ(tile.Bounds, PlxRect2D(1016, 1952, 1032, 1936));
    tile.Row = 0;
    EXPECT_FALSE(cache.GetTileData(tile));
    EXPECT_FALSE(cache.GetTileInfo(tile));
    EXPECT_EQ(tile.Bounds, PlxRect2D(1016, 2000, 1032, 1984)) << "bounds even when absent";

    // Stored by scale; the time is now when none is given.
    VmTile fresh;
    fresh.Scale = ScaleOf(pyramid, 0);
    fresh.Data = png;
    ASSERT_TRUE(cache.PutTile(fresh));
    fresh.Data.clear();
    ASSERT_TRUE(cache.GetTileData(fresh));
    EXPECT_GT(fresh.TimeStamp, 1600000000);

    std::unique_ptr<VmImageData> image(cache.LoadTileImageData(ScaleOf(pyramid, 2), 3, 1, false));
    ASSERT_NE(image, nullptr);
    EXPECT_EQ(PixelAt(*image, 7, 7), (Rgba{1, 2, 3, 255}));
    EXPECT_EQ(cache.LoadTileImageData(ScaleOf(pyramid, 2), 0, 0, false), nullptr);
    ASSERT_TRUE(cache.PutTile("z1", 0, 0, Bytes("not an image"), "image/png", 0));
    EXPECT_EQ(cache.LoadTileImageData(ScaleOf(pyramid, 1), 0, 0, false), nullptr);

    ASSERT_TRUE(cache.Create(path, 0));
    EXPECT_EQ(cache.GetTileCount(), 0) << "Create replaces what was there";
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
    cache.SetVersion(49);
    EXPECT_TRUE(cache.Open(path, 0));

    // Text, and an empty SQLite database, are no cache.
    const PlxMBString text = temp.Path("text.cache"), empty = temp.Path("empty.cache");
    std::ofstream(text.str()) << "this is not a database, but long enough to look like a header of one............";
    std::ofstream(empty.str()).close();
    VmLocalCacheManager other;
    EXPECT_FALSE(other.Open(text, 0));
    EXPECT_FALSE(other.Open(empty, 0));
    EXPECT_FALSE(other.IsOpen());
    EXPECT_FALSE(other.PutTile("z0", 0, 0, Bytes("x"), "", 0));
}

// The server moved its matrices: old tiles must not show in new places.
TEST_F(TileCacheView, ChangedPyramidEmptiesTheCache) {
    Put(0, 0, 0, {1, 1, 1, 255});
    cache.SetPyramid(SmallPyramid());  // the same again
    EXPECT_EQ(cache.GetTileCount(), 1);
    cache.Close();

    VmTilePyramid moved = SmallPyramid();
    moved.Matrices[0].TopLeftX += 8;
    ASSERT_TRUE(moved.Finish());
    VmLocalCacheManager reopened;
    reopened.SetPyramid(moved);
    ASSERT_TRUE(reopened.Open(temp.Path("layer.cache"), 0));
    EXPECT_EQ(reopened.GetTileCount(), 0);
    ASSERT_TRUE(reopened.PutTile("z0", 0, 0, SolidImage({1, 1, 1, 255}), "image/png", 0));
    reopened.SetPyramid(SmallPyramid());
    EXPECT_EQ(reopened.GetTileCount(), 0);
}

TEST(TileCacheGeometry, ScalesAndTileBounds) {
    VmLocalCacheManager cache;
    EXPECT_EQ(cache.ScaleToNearFixScale(1000), 0.0) << "no pyramid";
    EXPECT_TRUE(cache.ComputeTilesBounds(1000, PlxRect2D(0, 1, 1, 0), 0).IsNull());
    const VmTilePyramid pyramid = SmallPyramid();
    EXPECT_EQ(pyramid.ZoomLevel, 2);
    EXPECT_EQ(pyramid.Bounds, PlxRect2D(1000, 2000, 1064, 1936));
    cache.SetPyramid(pyramid);
    EXPECT_EQ(cache.GetTileSize(), 8);

    const PlxArray<double> scales = cache.GetScales();
    ASSERT_EQ(scales.GetSize(), 3);
    const double s0 = scales[0], s1 = scales[1], s2 = scales[2];
    EXPECT_GT(s0, s1);
    EXPECT_GT(s1, s2);
    const double between = std::sqrt(s0 * s1);  // the geometric middle decides
    const std::pair<double, double> nearest[] = {
        {between * 1.01, s0}, {between * 0.99, s1}, {s0 * 100, s0}, {s2 / 100, s2}, {-1, 0.0}};
    for (const auto& [asked, fixed] : nearest) EXPECT_EQ(cache.ScaleToNearFixScale(asked), fixed) << asked;
    EXPECT_EQ(cache.GetTileMPSize(s1).cx, 32.0);

    // Level 2: tiles of 16 m from (1000, 2000).
    struct { PlxRect2D bounds; int margin; PlxRect2D tiles; const char* why; } rows[] = {
        {{1017, 1990, 1020, 1985}, 0, {1016, 2000, 1032, 1984}, "one tile"},
        {{1016, 1984, 1048, 1952}, 0, {1016, 1984, 1048, 1952}, "edges on tile edges pull in no neighbour"},
        {{1017, 1990, 1020, 1985}, 1, {1000, 2000, 1048, 1968}, "a margin widens, the matrix clips"},
        {{900, 2100, 1100, 1900}, 0, {1000, 2000, 1064, 1936}, "clipped to the matrix"},
        {{1020, 1985, 1017, 1990}, 0, {1016, 2000, 1032, 1984}, "upside down, taken the right way up"},
        {{0, 10, 10, 0}, 0, {}, "outside"},
        {{1064, 2000, 1100, 1936}, 0, {}, "touching the right edge"},
    };
    for (const auto& row : rows) EXPECT_EQ(cache.ComputeTilesBounds(s2, row.bounds, row.margin), row.tiles) << row.why;

    const VmTileRange range = pyramid.CoveringTiles(2, PlxRect2D(1017, 1990, 1040, 1950), 0);
    EXPECT_EQ(std::make_tuple(range.MinRow, range.MaxRow, range.MinCol, range.MaxCol), std::make_tuple(0, 3, 1, 2));
}

TEST_F(TileCacheView, FullResolutionAndMissingTiles) {
    Fill(2, {1, 2});
    // The whole pixel space at one output pixel per pixel: level 2.
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 32, 32), ScaleOf(pyramid, 2));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    int width = 0, height = 0;
    ASSERT_TRUE(cache.GetViewImageSize(width, height));
    EXPECT_EQ(std::make_pair(width, height), std::make_pair(32, 32));
    EXPECT_EQ(cache.GetViewImageDataSize(), 32 * 32 * 4);
    EXPECT_EQ(cache.GetViewState(), 0) << "tile (1, 2) is missing";
    for (int row = 0; row < 4; ++row)
        for (int col = 0; col < 4; ++col) {
            const Rgba expected = row == 1 && col == 2 ? Rgba{0, 0, 0, 0} : TileColour(2, row, col);
            // Corners included: nothing bleeds across.
            for (int d : {0, 3, 7}) ASSERT_EQ(ViewPixel(col * 8 + d, row * 8 + 7 - d), expected) << row << "," << col;
        }
    Put(2, 1, 2, TileColour(2, 1, 2));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(20, 12), TileColour(2, 1, 2));

    // Copies are cut to the caller's buffer.
    std::vector<unsigned char> small(10, 0xAB);
    ASSERT_TRUE(cache.GetViewImageData(small.data(), 8));
    EXPECT_EQ(small[0], TileColour(2, 0, 0)[0]);
    EXPECT_EQ(small[8], 0xAB);

    // The reentrant form gives the same pixels without keeping them.
    VmImageData image;
    bool complete = false;
    ASSERT_TRUE(cache.ComposeView(16, 16, 23, 23, 8, 8, image, complete));
    EXPECT_TRUE(complete);
    EXPECT_EQ(PixelAt(image, 7, 7), TileColour(2, 2, 2));
    EXPECT_EQ(cache.GetViewBounds(16, 16, 23, 23), PlxRect2D(1032, 1968, 1048, 1952));
}

TEST_F(TileCacheView, ViewPicksTheNearestLevelAndResamples) {
    Fill(2);
    Fill(1, {1, 1});
    Fill(0);
    // Half the pixels: level 1 (4 m per pixel) fits exactly.
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 16, 16), ScaleOf(pyramid, 1));
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 16, 16));
    EXPECT_EQ(cache.GetViewState(), 0) << "level 1 lacks tile (1, 1)";
    EXPECT_EQ(ViewPixel(13, 2), TileColour(1, 0, 1));
    EXPECT_EQ(ViewPixel(2, 13), TileColour(1, 1, 0));
    EXPECT_EQ(ViewPixel(13, 13)[3], 0);
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 4, 4));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(3, 3), TileColour(0, 0, 0)) << "an eighth: level 0";
    EXPECT_EQ(cache.GetViewScale(0, 0, 31, 31, 24, 24), ScaleOf(pyramid, 2)) << "between 2 and 1, nearer 2";
    // Far finer than the deepest level: still level 2, magnified.
    cache.SetResampling(0);
    ASSERT_TRUE(cache.SetViewPort(4, 4, 11, 11, 32, 32));
    EXPECT_EQ(ViewPixel(15, 15), TileColour(2, 0, 0));
    EXPECT_EQ(ViewPixel(16, 16), TileColour(2, 1, 1));
    EXPECT_EQ(ViewPixel(31, 0), TileColour(2, 0, 1));
    // Bilinear blends across the tile edge and nowhere else.
    cache.SetResampling(1);
    ASSERT_TRUE(cache.SetViewPort(4, 4, 11, 11, 32, 32));
    EXPECT_EQ(ViewPixel(0, 0), TileColour(2, 0, 0));
    const Rgba edge = ViewPixel(16, 0);
    EXPECT_GT(edge[1], TileColour(2, 0, 0)[1]);
    EXPECT_LT(edge[1], TileColour(2, 0, 1)[1]);
}

TEST_F(TileCacheView, ViewEdgesLimitsJpegAndBadInput) {
    Fill(2);
    // Half the view lies left of the layer: transparent there, yet complete.
    ASSERT_TRUE(cache.SetViewPort(-8, 0, 7, 7, 16, 8));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(3, 3)[3], 0);
    EXPECT_EQ(ViewPixel(12, 3), TileColour(2, 0, 0));

    // Where the layer's limits say there are no tiles, none are missing.
    VmTilePyramid limited = SmallPyramid();
    limited.Matrices[2].MinCol = 1;
    cache.SetPyramid(limited);
    Fill(2);
    ASSERT_TRUE(cache.SetViewPort(0, 0, 31, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 1);
    EXPECT_EQ(ViewPixel(3, 3)[3], 0);

    Put(2, 0, 1, {200, 100, 50, 255}, "JPEG");
    ASSERT_TRUE(cache.SetViewPort(8, 0, 15, 7, 8, 8));
    const Rgba jpeg = ViewPixel(4, 4), colour = {200, 100, 50, 255};
    for (size_t k = 0; k < 3; ++k) EXPECT_NEAR(jpeg[k], colour[k], 4) << "band " << k;
    EXPECT_EQ(jpeg[3], 255);
    ASSERT_TRUE(cache.PutTile("z2", 0, 1, Bytes("<html>proxy error</html>"), "image/png", 0));
    ASSERT_TRUE(cache.SetViewPort(8, 0, 15, 7, 8, 8));
    EXPECT_EQ(cache.GetViewState(), 0) << "an undecodable tile counts as missing";

    EXPECT_FALSE(cache.SetViewPort(0, 0, 31, 31, 0, 32));
    EXPECT_FALSE(cache.SetViewPort(5, 0, 4, 31, 32, 32));
    EXPECT_EQ(cache.GetViewState(), 0);
    int width = -1, height = -1;
    EXPECT_FALSE(cache.GetViewImageSize(width, height));
    EXPECT_EQ(cache.GetViewImageDataSize(), 0);
    VmLocalCacheManager noPyramid;
    EXPECT_FALSE(noPyramid.SetViewPort(0, 0, 7, 7, 8, 8));
    EXPECT_EQ(noPyramid.GetViewScale(0, 0, 7, 7, 8, 8), 0.0);
}
