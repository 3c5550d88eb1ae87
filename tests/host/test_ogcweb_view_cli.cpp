// "ogcweb view" and "ogcweb info --kind wmts" run as real processes against
// a scripted tile service: the picture and its georeference, the tile cache
// that answers once the service is gone, the layer listing, the failures.
#include "CliRunner.h"
#include "ScriptedServer.h"
#include "TestImages.h"

#include <gtest/gtest.h>

#include <gdal.h>

#include <cmath>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ogctest::CliResult;
using ogctest::Contains;
using ogctest::RunOgcweb;
using ogctest::ScratchFolder;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

const double kWorld = 20037508.3427892;
const std::string kWorldBox = "-" + std::to_string(kWorld) + ",-" + std::to_string(kWorld) + "," +
                              std::to_string(kWorld) + "," + std::to_string(kWorld);

// Three levels of a Web Mercator pyramid (1, 2 and 4 tiles across) and two
// usable layers; a third links to a matrix set the document lacks. No
// operations are listed, so tiles are asked of the address it came from.
std::string Capabilities() {
    std::string matrices;
    double scale = 559082264.0287178;
    for (int z = 0; z < 3; ++z, scale /= 2) {
        const std::string n = std::to_string(1 << z);
        matrices += "<TileMatrix><ows:Identifier>" + std::to_string(z) + "</ows:Identifier><ScaleDenominator>" +
                    std::to_string(scale) + "</ScaleDenominator><TopLeftCorner>-20037508.3427892 20037508.3427892"
                    "</TopLeftCorner><TileWidth>256</TileWidth><TileHeight>256</TileHeight><MatrixWidth>" + n +
                    "</MatrixWidth><MatrixHeight>" + n + "</MatrixHeight></TileMatrix>";
    }
    auto layer = [](const char* id, const char* title, const char* set) {
        return std::string("<Layer><ows:Title>") + title + "</ows:Title><ows:Identifier>" + id +
               "</ows:Identifier><Format>image/png</Format><TileMatrixSetLink><TileMatrixSet>" + set +
               "</TileMatrixSet></TileMatrixSetLink></Layer>";
    };
    return "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" xmlns:ows=\"http://www.opengis.net/ows/1.1\" "
           "version=\"1.0.0\"><Contents>" + layer("roads", "Main roads", "merc") + layer("water", "Water", "merc") +
           layer("broken", "Broken", "missing") + "<TileMatrixSet><ows:Identifier>merc</ows:Identifier>"
           "<ows:SupportedCRS>urn:ogc:def:crs:EPSG::3857</ows:SupportedCRS>" + matrices + "</TileMatrixSet></Contents>"
           "</Capabilities>";
}

// Every tile is the same picture: band 1 rises from left to right.
struct ScriptedWMTS {
    std::string tile = ogctest::MakeImage("PNG", 256, 256, 3);
    bool tilesMissing = false;
    std::unique_ptr<ScriptedServer> server = std::make_unique<ScriptedServer>();
    std::string address = server->Url("/wmts");
    ScriptedWMTS() {
        server->SetHandler([this](const ScriptedRequest& r) {
            if (r.Param("REQUEST") == "GetCapabilities") return ScriptedResponse::Ok(Capabilities());
            if (r.Param("REQUEST") == "GetTile" && !tilesMissing) return ScriptedResponse::Ok(tile, "image/png");
            return ScriptedResponse::Status(404);
        });
    }
    size_t Tiles() const { return ogctest::RequestsFor(*server, "GetTile").size(); }
};

struct Picture {
    int width = 0, height = 0, bands = 0;
    double transform[6] = {0, 0, 0, 0, 0, 0};
    bool georeferenced = false;
    std::vector<unsigned char> pixels;  // band-interleaved by pixel

    unsigned char At(int x, int y, int band) const { return pixels[(static_cast<size_t>(y) * width + x) * bands + band]; }
};

bool ReadPicture(const std::string& path, Picture& picture) {
    GDALAllRegister();
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (!data) return false;
    picture.width = GDALGetRasterXSize(data);
    picture.height = GDALGetRasterYSize(data);
    picture.bands = GDALGetRasterCount(data);
    picture.georeferenced = GDALGetGeoTransform(data, picture.transform) == CE_None;
    picture.pixels.resize(static_cast<size_t>(picture.width) * picture.height * picture.bands);
    const bool ok = GDALDatasetRasterIO(data, GF_Read, 0, 0, picture.width, picture.height, picture.pixels.data(),
                                        picture.width, picture.height, GDT_Byte, picture.bands, nullptr, picture.bands,
                                        picture.bands * picture.width, 1) == CE_None;
    GDALClose(data);
    return ok;
}

} // namespace

TEST(OgcwebViewCli, WritesAGeoreferencedPictureAndAnswersFromTheCacheOnceTheServiceIsGone) {
    ScratchFolder folder;
    auto wmts = std::make_unique<ScriptedWMTS>();
    const std::string address = wmts->address, cache = folder.Path("cache");
    auto view = [&](const char* layer, const char* size, const std::string& out) {
        return RunOgcweb(folder, {"view", address, "--layer", layer, "--bbox", kWorldBox, "--size", size, "--cache", cache,
                                  "-o", folder.Path(out)});
    };
    CliResult run = view("Main roads", "512x512", "world.png");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(wmts->Tiles(), 4u) << "512 pixels across the world: the level of 2 x 2 tiles";
    EXPECT_TRUE(Contains(run.out, "4 downloaded")) << run.out;
    EXPECT_TRUE(fs::exists(folder.Path("world.pgw"))) << "a world file beside the PNG";
    Picture picture;
    ASSERT_TRUE(ReadPicture(folder.Path("world.png"), picture));
    ASSERT_EQ(std::vector<int>({picture.width, picture.height, picture.bands}), std::vector<int>({512, 512, 4}))
        << "RGBA";
    ASSERT_TRUE(picture.georeferenced);
    EXPECT_NEAR(picture.transform[0], -kWorld, 1.0);
    EXPECT_NEAR(picture.transform[3], kWorld, 1.0);
    EXPECT_NEAR(picture.transform[1], 2 * kWorld / 512, 1e-3);
    EXPECT_NEAR(picture.transform[5], -2 * kWorld / 512, 1e-3);
    // Each tile fills a quarter; band 1 rises across every one of them.
    EXPECT_EQ(picture.At(300, 100, 3), 255) << "opaque where tiles lie";
    EXPECT_LT(picture.At(260, 100, 0), picture.At(500, 100, 0));
    EXPECT_LT(picture.At(4, 400, 0), picture.At(250, 400, 0));

    // The same view by identifier without the service: description and tiles come from the cache.
    wmts.reset();
    run = view("roads", "512x512", "offline.tif");
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "0 downloaded")) << run.out;
    Picture offline;
    ASSERT_TRUE(ReadPicture(folder.Path("offline.tif"), offline));
    EXPECT_TRUE(offline.georeferenced) << "a GeoTIFF carries its own georeference";
    EXPECT_NEAR(offline.transform[0], -kWorld, 1.0);
    EXPECT_TRUE(offline.pixels == picture.pixels) << "the same tiles make the same picture";
}

TEST(OgcwebViewCli, RegionInLongitudeAndLatitudeAndTheDefaultCacheFolder) {
    ScratchFolder folder;
    ScriptedWMTS wmts;
    // No --cache: the user's cache folder.
    const CliResult run = RunOgcweb(folder, {"view", wmts.address, "--layer", "Water", "--bbox", "0,0,90,60", "--bbox-crs",
                                             "EPSG:4326", "--size", "100x100", "-o", folder.Path("corner.png")},
                                    {"XDG_CACHE_HOME=" + folder.Path("xdg")});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(fs::is_empty(folder.Path("xdg/ogcweb")));
    Picture picture;
    ASSERT_TRUE(ReadPicture(folder.Path("corner.png"), picture));
    ASSERT_TRUE(picture.georeferenced);
    // Longitude 0 and 90 degrees and latitude 0 in Web Mercator metres, to two pixels.
    const double dx = 2 * std::fabs(picture.transform[1]), dy = 2 * std::fabs(picture.transform[5]);
    EXPECT_NEAR(picture.transform[0], 0.0, dx);
    EXPECT_NEAR(picture.transform[0] + picture.width * picture.transform[1], kWorld / 2, dx);
    EXPECT_NEAR(picture.transform[3] + picture.height * picture.transform[5], 0.0, dy);
    EXPECT_GT(picture.transform[3], 8000000.0) << "latitude 60 lies at about 8.4 million metres";
}

TEST(OgcwebViewCli, FailuresNameTheLayersOrTheMissingTiles) {
    ScratchFolder folder;
    ScriptedWMTS wmts;
    auto view = [&](const char* layer, const std::string& bbox, const char* size) {
        return RunOgcweb(folder, {"view", wmts.address, "--layer", layer, "--bbox", bbox, "--size", size, "--cache",
                                  folder.Path("cache"), "-o", folder.Path("view.png")});
    };
    CliResult run = view("Broken", "0,0,1000,1000", "10x10");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "no tile layer named \"Broken\"")) << run.err;
    EXPECT_TRUE(Contains(run.err, "Main roads, Water")) << "names the layers there are: " << run.err;

    run = view("roads", std::to_string(3 * kWorld) + ",0," + std::to_string(4 * kWorld) + "," + std::to_string(kWorld), "10x10");
    EXPECT_EQ(run.status, 1) << "outside the layer";
    EXPECT_FALSE(fs::exists(folder.Path("view.png")));

    wmts.tilesMissing = true;
    run = view("roads", kWorldBox, "256x256");
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "incomplete")) << run.err;
    EXPECT_TRUE(Contains(run.out, "1 failed")) << run.out;
    EXPECT_TRUE(fs::exists(folder.Path("view.png"))) << "an incomplete view is written all the same";
}

TEST(OgcwebViewCli, InfoListsTheTileLayers) {
    ScratchFolder folder;
    ScriptedWMTS wmts;
    const CliResult run = RunOgcweb(folder, {"info", wmts.address, "--kind", "wmts", "--cache", folder.Path("cache")});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const std::string& text : {"cache:    " + folder.Path("cache"),
                                    std::string("layers:   2\n"),  // not the one without a matrix set
                                    std::string("  Main roads\n    identifier: roads\n    type:       81 (tiles)\n"
                                                "    crs:        EPSG:3857\n"),
                                    std::string("  Water\n    identifier: water\n"), std::string("    levels:     3\n"),
                                    std::string("    tile size:  256 x 256\n"),
                                    std::string("20037508.3427892,20037508.3427892")})  // bounds
        EXPECT_TRUE(Contains(run.out, text)) << text << "\n" << run.out;
    EXPECT_FALSE(Contains(run.out, "Broken")) << run.out;
    EXPECT_EQ(wmts.Tiles(), 0u) << "listing downloads no tile";
}
