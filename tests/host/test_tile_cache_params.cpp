// Reading WMTS 1.0.0 capabilities into layer parameters: which tile matrix
// set, format and encoding a layer gets, the geometry of its pixel space, tile
// addresses, and the download-once-then-offline handling of the document.
// Handwritten documents pin the rules; the corpus of real servers' documents
// checks that nothing real breaks them.
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmTileCache.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;
using namespace VMK;

namespace {

const double kHalfWorld = 20037508.342789244;

std::string Fmt(const char* format, double value) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, format, value);
    return buffer;
}

std::string Matrix(const std::string& id, double scale, const std::string& corner, int tile, int width, int height) {
    return "<TileMatrix><ows:Identifier>" + id + "</ows:Identifier><ScaleDenominator>" + Fmt("%.4f", scale) +
           "</ScaleDenominator><TopLeftCorner>" + corner + "</TopLeftCorner><TileWidth>" + std::to_string(tile) +
           "</TileWidth><TileHeight>" + std::to_string(tile) + "</TileHeight><MatrixWidth>" + std::to_string(width) +
           "</MatrixWidth><MatrixHeight>" + std::to_string(height) + "</MatrixHeight></TileMatrix>";
}

// The world in Web Mercator, one 256 pixel tile at level 0, halving per level.
std::string GoogleSet(const std::string& id, int levels, const std::string& crs = "urn:ogc:def:crs:EPSG::3857",
                      bool wellKnown = true) {
    std::string text = "<TileMatrixSet><ows:Identifier>" + id + "</ows:Identifier><ows:SupportedCRS>" + crs +
                       "</ows:SupportedCRS>";
    if (wellKnown) text += "<WellKnownScaleSet>urn:ogc:def:wkss:OGC:1.0:GoogleMapsCompatible</WellKnownScaleSet>";
    for (int z = 0; z < levels; ++z)
        text += Matrix(std::to_string(z), 559082264.0287178 / std::pow(2.0, z), "-20037508.3428 20037508.3428", 256,
                       1 << z, 1 << z);
    return text + "</TileMatrixSet>";
}

// The usual EPSG:4326 set: 2 x 1 tiles at level 0, latitude first.
std::string GeoSet(const std::string& id, int levels, const std::string& corner = "90 -180",
                   const std::string& crs = "urn:ogc:def:crs:EPSG::4326") {
    std::string text = "<TileMatrixSet><ows:Identifier>" + id + "</ows:Identifier><ows:SupportedCRS>" + crs +
                       "</ows:SupportedCRS>";
    for (int z = 0; z < levels; ++z)
        text += Matrix(id + ":" + std::to_string(z), 279541132.0143589 / std::pow(2.0, z), corner, 256, 2 << z, 1 << z);
    return text + "</TileMatrixSet>";
}

std::string UtmSet(const std::string& id) {
    return "<TileMatrixSet><ows:Identifier>" + id +
           "</ows:Identifier><ows:SupportedCRS>urn:ogc:def:crs:EPSG::25832</ows:SupportedCRS>" +
           Matrix("0", 7142857.142857143, "239323.44 9503675.0", 256, 1, 10) +
           Matrix("1", 3571428.5714285714, "239323.44 9503675.0", 256, 2, 20) + "</TileMatrixSet>";
}

std::string Operations(const std::string& kvpHref, const std::string& restHref) {
    std::string gets;
    if (!kvpHref.empty())
        gets += "<ows:Get xlink:href=\"" + kvpHref +
                "\"><ows:Constraint name=\"GetEncoding\"><ows:AllowedValues><ows:Value>KVP</ows:Value>"
                "</ows:AllowedValues></ows:Constraint></ows:Get>";
    if (!restHref.empty())
        gets += "<ows:Get xlink:href=\"" + restHref +
                "\"><ows:Constraint name=\"GetEncoding\"><ows:AllowedValues><ows:Value>RESTful</ows:Value>"
                "</ows:AllowedValues></ows:Constraint></ows:Get>";
    return "<ows:OperationsMetadata><ows:Operation name=\"GetCapabilities\"><ows:DCP><ows:HTTP>" + gets +
           "</ows:HTTP></ows:DCP></ows:Operation><ows:Operation name=\"GetTile\"><ows:DCP><ows:HTTP>" + gets +
           "</ows:HTTP></ows:DCP></ows:Operation></ows:OperationsMetadata>";
}

std::string Layer(const std::string& id, const std::string& title, const std::vector<std::string>& formats,
                  const std::vector<std::string>& sets, const std::string& extra = std::string()) {
    std::string text = "<Layer>";
    if (!title.empty()) text += "<ows:Title>" + title + "</ows:Title>";
    text += "<ows:WGS84BoundingBox><ows:LowerCorner>5 45</ows:LowerCorner><ows:UpperCorner>15 55</ows:UpperCorner>"
            "</ows:WGS84BoundingBox><ows:Identifier>" + id + "</ows:Identifier>"
            "<Style isDefault=\"true\"><ows:Identifier>default</ows:Identifier></Style>";
    for (const std::string& format : formats) text += "<Format>" + format + "</Format>";
    for (const std::string& set : sets) text += "<TileMatrixSetLink><TileMatrixSet>" + set + "</TileMatrixSet></TileMatrixSetLink>";
    return text + extra + "</Layer>";
}

std::string Capabilities(const std::string& operations, const std::string& contents) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
           "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" xmlns:ows=\"http://www.opengis.net/ows/1.1\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" version=\"1.0.0\">" +
           operations + "<Contents>" + contents + "</Contents></Capabilities>";
}

std::unique_ptr<VmWMTSParams> Parse(const std::string& xml, const std::string& address = "http://example.com/wmts") {
    auto params = std::make_unique<VmWMTSParams>();
    params->SetServiceAddress(address.c_str());
    EXPECT_TRUE(params->LoadFromText(xml.c_str())) << params->GetLastError().str();
    return params;
}

std::unique_ptr<VmWMTSParams> LayerOf(const VmWMTSParams& service, const char* layer, const char* set = "") {
    return std::unique_ptr<VmWMTSParams>(service.GetLayerParams(layer, set));
}

std::vector<std::string> Names(const PlxArray<PlxMBString>& array) {
    std::vector<std::string> out;
    for (const PlxMBString& item : array) out.push_back(item.str());
    return out;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(TileCacheParams, FactoriesKnowOnlyWmts) {
    std::unique_ptr<VmMapServiceParams> params(VmMapServiceParamsManager::MakeParams(26));
    ASSERT_NE(params, nullptr);
    EXPECT_EQ(params->GetServiceKind(), 26);
    EXPECT_FALSE(params->IsReady());
    EXPECT_EQ(VmMapServiceParamsManager::MakeParams(25), nullptr);
    EXPECT_EQ(VmMapServiceParamsManager::MakeParams(0), nullptr);
    std::unique_ptr<VmMapServiceStub> stub(VmMapServiceStubManager::CreateMapServiceStub(26));
    EXPECT_NE(stub, nullptr);
    EXPECT_EQ(VmMapServiceStubManager::CreateMapServiceStub(27), nullptr);
}

TEST(TileCacheParams, LayersTitlesFormatsAndStyles) {
    const std::string xml = Capabilities(
        Operations("http://example.com/wmts?", ""),
        Layer("roads", "Roads", {"image/jpeg", "image/png"}, {"google"}) +
            Layer("bare", "", {"image/jpeg"}, {"google"}) +
            Layer("eight", "Eight", {"image/jpeg", "image/png; mode=8bit"}, {"google"}) +
            // Several titles: the one without a language is the document's own.
            "<Layer><ows:Title xml:lang=\"de\">Gewaesser</ows:Title><ows:Title>Water</ows:Title>"
            "<ows:Identifier>water</ows:Identifier><Format>image/png</Format>"
            "<TileMatrixSetLink><TileMatrixSet>google</TileMatrixSet></TileMatrixSetLink></Layer>" +
            GoogleSet("google", 3));
    auto service = Parse(xml);
    ASSERT_TRUE(service->IsReady());
    PlxArray<PlxMBString> names;
    service->GetLayerNames(names);
    EXPECT_EQ(Names(names), (std::vector<std::string>{"roads", "bare", "eight", "water"}));
    EXPECT_EQ(service->GetCacheFileName(), "");  // no layer on the service object

    auto roads = LayerOf(*service, "roads");
    ASSERT_NE(roads, nullptr);
    EXPECT_EQ(roads->GetLayerName(), "roads");
    EXPECT_EQ(roads->GetLayerAlias(), "Roads");
    EXPECT_EQ(Names(roads->GetFormats()), (std::vector<std::string>{"image/jpeg", "image/png"}));
    EXPECT_EQ(roads->GetFormat(), "image/png");
    EXPECT_EQ(roads->GetStyle(), "default");
    roads->GetLayerNames(names);
    EXPECT_EQ(Names(names), (std::vector<std::string>{"roads"}));
    EXPECT_TRUE(roads->SetFormat("IMAGE/JPEG"));
    EXPECT_EQ(roads->GetFormat(), "image/jpeg");
    EXPECT_FALSE(roads->SetFormat("image/webp"));
    EXPECT_EQ(roads->GetFormat(), "image/jpeg");

    EXPECT_EQ(LayerOf(*service, "bare")->GetLayerAlias(), "bare");
    EXPECT_EQ(LayerOf(*service, "bare")->GetFormat(), "image/jpeg");
    EXPECT_EQ(LayerOf(*service, "eight")->GetFormat(), "image/png; mode=8bit");
    EXPECT_EQ(LayerOf(*service, "water")->GetLayerAlias(), "Water");
    EXPECT_EQ(LayerOf(*service, "nope"), nullptr);
    EXPECT_EQ(LayerOf(*service, "roads", "undefined"), nullptr);

    // The layer object stands on its own once the service object is gone.
    service.reset();
    EXPECT_EQ(roads->GetTileScaleNames().GetCount(), 3);
    EXPECT_NE(roads->GetTileURL("2", 1, 1), "");
}

TEST(TileCacheParams, DocumentsThatAreNotWmtsCapabilitiesFail) {
    VmWMTSParams params;
    EXPECT_FALSE(params.LoadFromText("<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\" version=\"1.1.0\">"
                                     "<ows:Exception exceptionCode=\"InvalidParameterValue\"><ows:ExceptionText>bad"
                                     "</ows:ExceptionText></ows:Exception></ows:ExceptionReport>"));
    EXPECT_NE(params.GetLastError().Find("exception"), -1);
    EXPECT_FALSE(params.LoadFromText("<WMS_Capabilities version=\"1.3.0\"/>"));
    EXPECT_FALSE(params.LoadFromText("<Capabilities xmlns=\"http://www.opengis.net/wps/1.0.0\" version=\"1.0.0\"/>"));
    EXPECT_FALSE(params.LoadFromText("<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"2.0.0\"><Contents/></Capabilities>"));
    EXPECT_FALSE(params.LoadFromText("<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\""));
    EXPECT_FALSE(params.LoadFromText(""));
    EXPECT_FALSE(params.IsReady());
    // A valid document without layers loads; it simply has none.
    EXPECT_TRUE(params.LoadFromText(Capabilities("", "").c_str()));
    PlxArray<PlxMBString> names;
    params.GetLayerNames(names);
    EXPECT_EQ(names.GetSize(), 0);
}

// The rule: Web Mercator and GoogleMapsCompatible first, then Web Mercator,
// then the first usable linked set; links to undefined or unusable sets are
// passed over.
TEST(TileCacheParams, TileMatrixSetChoice) {
    const std::string xml = Capabilities(
        Operations("http://example.com/wmts?", ""),
        Layer("all", "", {"image/png"}, {"undefined", "geo", "merc", "google"}) +
            Layer("mercFirst", "", {"image/png"}, {"geo", "merc"}) +
            Layer("alias", "", {"image/png"}, {"utm", "gwc900913"}) +
            Layer("noMercator", "", {"image/png"}, {"utm", "geo"}) +
            Layer("onlyUndefined", "", {"image/png"}, {"undefined"}) +
            Layer("empty", "", {"image/png"}, {"emptyset", "geo"}) +
            GoogleSet("google", 4, "urn:ogc:def:crs:EPSG:6.18.3:3857") + GoogleSet("merc", 4, "EPSG:3857", false) +
            GoogleSet("gwc900913", 4, "urn:ogc:def:crs:EPSG::900913", false) + GeoSet("geo", 3) + UtmSet("utm") +
            "<TileMatrixSet><ows:Identifier>emptyset</ows:Identifier><ows:SupportedCRS>EPSG:3857</ows:SupportedCRS>"
            "</TileMatrixSet>");
    auto service = Parse(xml);
    EXPECT_EQ(LayerOf(*service, "all")->GetTileMatrixSet(), "google");
    EXPECT_EQ(LayerOf(*service, "mercFirst")->GetTileMatrixSet(), "merc");
    EXPECT_EQ(LayerOf(*service, "alias")->GetTileMatrixSet(), "gwc900913");
    EXPECT_EQ(LayerOf(*service, "alias")->GetPrjCoordSys().GetTypeID(), 3857);
    EXPECT_EQ(LayerOf(*service, "noMercator")->GetTileMatrixSet(), "utm");
    EXPECT_EQ(LayerOf(*service, "onlyUndefined"), nullptr);
    EXPECT_EQ(LayerOf(*service, "empty")->GetTileMatrixSet(), "geo");

    // Asking for a set overrides the rule, within the layer's links.
    EXPECT_EQ(LayerOf(*service, "all", "geo")->GetTileMatrixSet(), "geo");
    EXPECT_EQ(LayerOf(*service, "mercFirst", "google"), nullptr);
    PlxArray<PlxMBString> sets;
    service->GetLayerTileMatrixSets("all", sets);
    EXPECT_EQ(Names(sets), (std::vector<std::string>{"geo", "merc", "google"}));
}

TEST(TileCacheParams, WebMercatorPixelSpaceIsTheWorldExactly) {
    auto service = Parse(Capabilities(Operations("http://example.com/wmts?", ""),
                                      Layer("l", "", {"image/png"}, {"google"}) + GoogleSet("google", 19)));
    auto layer = LayerOf(*service, "l");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetZoomLevel(), 18);
    EXPECT_EQ(layer->GetTileSize(), 256);
    const PlxRect2D bounds = layer->GetBounds();
    EXPECT_EQ(bounds.left, -kHalfWorld);
    EXPECT_EQ(bounds.top, kHalfWorld);
    EXPECT_EQ(bounds.right, kHalfWorld);
    EXPECT_EQ(bounds.bottom, -kHalfWorld);
    EXPECT_EQ(layer->GetPrjCoordSys().GetTypeID(), 3857);
    EXPECT_EQ(layer->GetCoordRatio(), 1.0);

    // Pixel space and tiles line up to the last bit at every level.
    const VmTilePyramid& pyramid = layer->GetPyramid();
    for (int level : {0, 5, 18}) {
        const int shift = 18 - level;
        const int64_t tilePixels = int64_t(256) << shift;
        for (int k : {0, 1, (1 << level) - 1}) {
            const PlxRect2D tile = pyramid.TileBounds(level, k, k);
            const PlxRect2D pixels = pyramid.PixelToMap(static_cast<int>(k * tilePixels), static_cast<int>(k * tilePixels),
                                                        static_cast<int>((k + 1) * tilePixels - 1),
                                                        static_cast<int>((k + 1) * tilePixels - 1));
            EXPECT_EQ(tile, pixels) << "level " << level << " tile " << k;
        }
    }
    const PlxDict<PlxMBString, double> scales = layer->GetTileScaleNames();
    EXPECT_EQ(scales.GetCount(), 19);
    double scale = 0;
    ASSERT_TRUE(scales.Lookup("18", scale));
    EXPECT_NEAR(scale, 559082264.0287178 / 262144.0, 1e-3);
}

TEST(TileCacheParams, GeographicSetsAndAxisOrder) {
    const std::string xml = Capabilities(
        Operations("http://example.com/wmts?", ""),
        Layer("latFirst", "", {"image/png"}, {"geo"}) + Layer("lonFirstWritten", "", {"image/png"}, {"geoWrong"}) +
            Layer("crs84", "", {"image/png"}, {"crs84"}) + Layer("quad", "", {"image/png"}, {"quad"}) +
            GeoSet("geo", 4) + GeoSet("geoWrong", 4, "-180 90") +
            GeoSet("crs84", 4, "-180 90", "urn:ogc:def:crs:OGC:1.3:CRS84") +
            "<TileMatrixSet><ows:Identifier>quad</ows:Identifier><ows:SupportedCRS>urn:ogc:def:crs:OGC:1.3:CRS84"
            "</ows:SupportedCRS>" +
            Matrix("0", 559082264.0287178, "-180 180", 256, 1, 1) + Matrix("1", 279541132.0143589, "-180 180", 256, 2, 2) +
            "</TileMatrixSet>");
    auto service = Parse(xml);
    for (const char* name : {"latFirst", "lonFirstWritten", "crs84"}) {
        auto layer = LayerOf(*service, name);
        ASSERT_NE(layer, nullptr) << name;
        // 2 x 1 tiles at level 0: one level more than the deepest index, so
        // that the square covers all 360 degrees; its lower half is empty.
        EXPECT_EQ(layer->GetZoomLevel(), 4) << name;
        EXPECT_EQ(layer->GetBounds(), PlxRect2D(-180, 90, 180, -270)) << name;
        EXPECT_EQ(layer->GetPrjCoordSys().GetTypeID(), 1) << name;
        EXPECT_EQ(layer->GetPrjCoordSys().GetGeoCoordSys().GetTypeID(), 4326) << name;
        EXPECT_NEAR(layer->GetCoordRatio(), 111319.49079327357, 1e-6) << name;
        const VmTilePyramid& pyramid = layer->GetPyramid();
        EXPECT_EQ(pyramid.TileBounds(3, 0, 15), PlxRect2D(157.5, 90, 180, 67.5)) << name;
        EXPECT_EQ(pyramid.PixelToMap(0, 0, 4095, 2047), PlxRect2D(-180, 90, 180, -90)) << name;
    }
    auto quad = LayerOf(*service, "quad");
    EXPECT_EQ(quad->GetZoomLevel(), 1);
    EXPECT_EQ(quad->GetBounds(), PlxRect2D(-180, 180, 180, -180));
}

TEST(TileCacheParams, LimitsAndProjectedSets) {
    const std::string limits =
        "<TileMatrixSetLimits>"
        "<TileMatrixLimits><TileMatrix>1</TileMatrix><MinTileRow>0</MinTileRow><MaxTileRow>1</MaxTileRow>"
        "<MinTileCol>1</MinTileCol><MaxTileCol>1</MaxTileCol></TileMatrixLimits>"
        "<TileMatrixLimits><TileMatrix>2</TileMatrix><MinTileRow>1</MinTileRow><MaxTileRow>9</MaxTileRow>"
        "<MinTileCol>2</MinTileCol><MaxTileCol>3</MaxTileCol></TileMatrixLimits></TileMatrixSetLimits>";
    const std::string xml = Capabilities(
        Operations("http://example.com/wmts?", ""),
        "<Layer><ows:Identifier>limited</ows:Identifier><Format>image/png</Format><TileMatrixSetLink>"
        "<TileMatrixSet>google</TileMatrixSet>" + limits + "</TileMatrixSetLink></Layer>" +
            Layer("utm", "", {"image/png"}, {"utm"}) + Layer("nzgd", "", {"image/png"}, {"nz"}) + GoogleSet("google", 4) +
            UtmSet("utm") +
            // EPSG:2193 is northing first: the corner is written y x.
            "<TileMatrixSet><ows:Identifier>nz</ows:Identifier><ows:SupportedCRS>urn:ogc:def:crs:EPSG::2193"
            "</ows:SupportedCRS>" + Matrix("0", 32000000, "10000000.0 -1000000.0", 256, 2, 4) + "</TileMatrixSet>");
    auto service = Parse(xml);
    auto limited = LayerOf(*service, "limited");
    ASSERT_NE(limited, nullptr);
    // Matrices the limits leave out are not the layer's.
    EXPECT_EQ(limited->GetTileScaleNames().GetCount(), 2);
    const VmTilePyramid& pyramid = limited->GetPyramid();
    ASSERT_EQ(pyramid.Matrices.size(), 2u);
    EXPECT_EQ(pyramid.Matrices[0].Identifier, "1");
    EXPECT_EQ(pyramid.Matrices[1].MinRow, 1);
    EXPECT_EQ(pyramid.Matrices[1].MaxRow, 3);  // clipped to the matrix
    EXPECT_EQ(pyramid.Matrices[1].MinCol, 2);
    EXPECT_EQ(limited->GetZoomLevel(), 2);  // the square still spans the set
    EXPECT_EQ(limited->GetBounds(), PlxRect2D(-kHalfWorld, kHalfWorld, kHalfWorld, -kHalfWorld));

    auto utm = LayerOf(*service, "utm");
    ASSERT_NE(utm, nullptr);
    EXPECT_EQ(utm->GetPrjCoordSys().GetTypeID(), 25832);
    EXPECT_EQ(utm->GetCoordRatio(), 1.0);
    // 1 x 10 tiles of 512 m... at 0.28 mm pixels: the height decides the side.
    const double resolution = 3571428.5714285714 * 0.00028;
    EXPECT_EQ(utm->GetTileSize(), 256);
    EXPECT_EQ(utm->GetZoomLevel(), 5);  // 20 tiles high at the deepest level -> 32
    EXPECT_NEAR(utm->GetBounds().Width(), 32 * 256 * resolution, 1e-3);  // the document prints 4 decimals
    EXPECT_NEAR(utm->GetBounds().left, 239323.44, 1e-9);
    EXPECT_NEAR(utm->GetBounds().top, 9503675.0, 1e-9);

    auto nz = LayerOf(*service, "nzgd");
    ASSERT_NE(nz, nullptr);
    EXPECT_EQ(nz->GetPrjCoordSys().GetTypeID(), 2193);
    EXPECT_EQ(nz->GetBounds().left, -1000000.0);
    EXPECT_EQ(nz->GetBounds().top, 10000000.0);
}

TEST(TileCacheParams, TileAddresses) {
    const std::string dimension =
        "<Dimension><ows:Identifier>Time</ows:Identifier><Default>2020-01-01</Default><Value>2019-01-01</Value>"
        "<Value>2020-01-01</Value></Dimension>";
    const std::string rest =
        "<ResourceURL format=\"image/jpeg\" resourceType=\"tile\" template=\"http://tiles.example.com/j/{TileMatrix}/{TileRow}/{TileCol}.jpg\"/>"
        "<ResourceURL format=\"image/png\" resourceType=\"tile\" "
        "template=\"http://tiles.example.com/{Style}/{tilematrixset}/{Time}/{TileMatrix}/{TILEROW}/{TileCol}.png\"/>"
        "<ResourceURL format=\"application/json\" resourceType=\"FeatureInfo\" template=\"http://x/{TileMatrix}.json\"/>";
    const std::string layers = Layer("demo:roads", "Roads", {"image/png", "image/jpeg"}, {"google"}, rest + dimension) +
                               Layer("plain", "", {"image/png"}, {"google"}) + GoogleSet("google", 4);

    // KVP only.
    auto kvp = Parse(Capabilities(Operations("http://example.com/wmts?", ""), layers));
    auto roads = LayerOf(*kvp, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingKVP);
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(),
              "http://example.com/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=demo:roads&STYLE=default"
              "&TILEMATRIXSET=google&TILEMATRIX=3&TILEROW=2&TILECOL=5&FORMAT=image/png&Time=2020-01-01");
    EXPECT_EQ(roads->GetTileURL("9", 0, 0).str(), "");  // no such matrix
    // The document's address with its own parameters, with and without "?".
    auto withMap = Parse(Capabilities(Operations("http://example.com/cgi?map=a.map", ""), layers));
    EXPECT_EQ(LayerOf(*withMap, "plain")->GetTileURL("0", 0, 0).Left(45).str(), "http://example.com/cgi?map=a.map&SERVICE=WMTS");
    auto bare = Parse(Capabilities(Operations("http://example.com/wmts", ""), layers));
    EXPECT_EQ(LayerOf(*bare, "plain")->GetTileURL("0", 0, 0).Left(36).str(), "http://example.com/wmts?SERVICE=WMTS");
    // No GetTile operation and no ResourceURL: the service address without
    // the capabilities parameters takes the requests.
    auto none = Parse(Capabilities("", Layer("plain", "", {"image/png"}, {"google"}) + GoogleSet("google", 2)),
                      "http://example.com/svc?SERVICE=WMTS&REQUEST=GetCapabilities&key=1");
    EXPECT_EQ(LayerOf(*none, "plain")->GetTileURL("1", 1, 0).str(),
              "http://example.com/svc?key=1&SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=plain&STYLE=default"
              "&TILEMATRIXSET=google&TILEMATRIX=1&TILEROW=1&TILECOL=0&FORMAT=image/png");

    // REST only: the template of the chosen format, names in any case.
    auto restOnly = Parse(Capabilities(Operations("", "http://tiles.example.com/"), layers));
    roads = LayerOf(*restOnly, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingREST);
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(), "http://tiles.example.com/default/google/2020-01-01/3/2/5.png");
    EXPECT_TRUE(roads->SetFormat("image/jpeg"));
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(), "http://tiles.example.com/j/3/2/5.jpg");
    EXPECT_FALSE(roads->SetTileEncoding(VmWMTSParams::EncodingNone));
    // A layer without ResourceURL in a REST-only document has no address.
    EXPECT_EQ(LayerOf(*restOnly, "plain")->GetTileURL("0", 0, 0).str(), "");
    // No OperationsMetadata at all, ResourceURL only: REST.
    auto noOps = Parse(Capabilities("", layers));
    EXPECT_EQ(LayerOf(*noOps, "demo:roads")->GetTileEncoding(), VmWMTSParams::EncodingREST);

    // Both: KVP, and REST on request.
    auto both = Parse(Capabilities(Operations("http://example.com/wmts?", "http://tiles.example.com/"), layers));
    roads = LayerOf(*both, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingKVP);
    ASSERT_TRUE(roads->SetTileEncoding(VmWMTSParams::EncodingREST));
    EXPECT_EQ(roads->GetTileURL("1", 0, 1).str(), "http://tiles.example.com/default/google/2020-01-01/1/0/1.png");
    EXPECT_FALSE(LayerOf(*both, "plain")->SetTileEncoding(VmWMTSParams::EncodingREST));
}

TEST(TileCacheParams, CapabilitiesAddressesAndFileNames) {
    VmWMTSParams params;
    auto url = [&](const char* address) {
        params.SetServiceAddress(address);
        return params.GetCapabilitiesURL().str();
    };
    EXPECT_EQ(url("http://h/wmts"), "http://h/wmts?SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0");
    EXPECT_EQ(url("http://h/wmts?"), "http://h/wmts?SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0");
    EXPECT_EQ(url("http://h/cgi?map=x&"), "http://h/cgi?map=x&SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0");
    EXPECT_EQ(url("http://h/cgi?map=x&service=wms&Version=1.3.0"),
              "http://h/cgi?map=x&SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0");
    EXPECT_EQ(url("http://h/wmts?service=WMTS&request=getcapabilities"), "http://h/wmts?service=WMTS&request=getcapabilities");
    EXPECT_EQ(url(" http://h/1.0.0/WMTSCapabilities.xml "), "http://h/1.0.0/WMTSCapabilities.xml");
    EXPECT_EQ(url(""), "");

    params.SetServiceAddress("http://tiles.example.com:8080/wmts");
    const std::string description = params.GetDescriptionFileName().str();
    EXPECT_EQ(description.rfind("/tiles.example.com_", 0), 0u) << description;
    EXPECT_EQ(description.substr(description.size() - 21), "/WMTSCapabilities.xml");
    params.SetServiceAddress("http://tiles.example.com:8080/other");
    EXPECT_NE(params.GetDescriptionFileName().str(), description);
    params.SetServiceAddress("http://tiles.example.com:8080/wmts");
    EXPECT_EQ(params.GetDescriptionFileName().str(), description);

    ASSERT_TRUE(params.LoadFromText(Capabilities(Operations("http://x/wmts?", ""),
                                                 Layer("demo:roads", "", {"image/png"}, {"EPSG:3857"}) +
                                                     Layer("roads", "", {"image/png"}, {"EPSG:3857"}) +
                                                     GoogleSet("EPSG:3857", 2))
                                        .c_str()));
    const std::string folder = description.substr(1, description.size() - 22);
    const std::string prefixed = LayerOf(params, "demo:roads")->GetCacheFileName().str();
    const std::string plain = LayerOf(params, "roads")->GetCacheFileName().str();
    EXPECT_EQ(plain.rfind(folder + "/roads_EPSG_3857-", 0), 0u) << plain;
    EXPECT_EQ(prefixed.rfind(folder + "/demo_roads-", 0), 0u) << prefixed;
    EXPECT_EQ(prefixed.substr(prefixed.size() - 6), ".cache");
    EXPECT_EQ(prefixed.find(':'), std::string::npos);
    EXPECT_NE(prefixed, plain);
}

TEST(TileCacheParams, DownloadOnceThenOffline) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString buffer = temp.Path("cache");
    std::string address;
    PlxMBString path;
    {
        ScriptedServer server([&](const ScriptedRequest& request) {
            if (request.path == "/wmts" && request.Param("REQUEST") == "GetCapabilities")
                return ScriptedResponse::Ok(Capabilities(Operations(address + "?", ""),
                                                         Layer("roads", "Roads", {"image/png"}, {"g"}) + GoogleSet("g", 3)));
            return ScriptedResponse::Status(404);
        });
        address = server.Url("/wmts");
        VmWMTSParams online;
        online.SetServiceAddress(address.c_str());
        online.SetBufferPath(buffer);
        path = buffer + online.GetDescriptionFileName();
        ASSERT_TRUE(online.LoadFromPath(path)) << online.GetLastError().str();
        ASSERT_EQ(server.RequestCount(), 1u);
        const ScriptedRequest request = server.LastRequest();
        EXPECT_EQ(request.Param("SERVICE"), "WMTS");
        EXPECT_EQ(request.Param("VERSION"), "1.0.0");
        EXPECT_TRUE(fs::exists(path.str()));
        EXPECT_NE(ReadFile(path.str()).find("roads"), std::string::npos);
        // The second load reads the file, not the network.
        VmWMTSParams again;
        again.SetServiceAddress(address.c_str());
        ASSERT_TRUE(again.LoadFromPath(path));
        EXPECT_EQ(server.RequestCount(), 1u);
    }
    // The server is gone.
    VmWMTSParams offline;
    offline.SetServiceAddress(address.c_str());
    ASSERT_TRUE(offline.LoadFromPath(path));
    std::unique_ptr<VmWMTSParams> layer(offline.GetLayerParams("roads"));
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetLayerAlias(), "Roads");
    // A layer object reloads as the same layer.
    EXPECT_TRUE(layer->LoadFromPath(path));
    EXPECT_EQ(layer->GetLayerName(), "roads");
    // Nothing but the cache folder was left in the temporary folder.
    EXPECT_EQ(temp.Files(), (std::set<std::string>{"cache"}));
}

TEST(TileCacheParams, FailedDownloadsLeaveNoFile) {
    TempFolder temp;
    LogCapture log;
    std::string answer;
    int status = 200;
    ScriptedServer server([&](const ScriptedRequest&) {
        return status == 200 ? ScriptedResponse::Ok(answer) : ScriptedResponse::Status(status);
    });
    const PlxMBString folder = temp.Path("cache/svc");
    const PlxMBString path = folder + "/WMTSCapabilities.xml";
    VmWMTSParams params;
    params.SetServiceAddress(server.Url("/wmts").c_str());

    answer = "<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\"><ows:Exception exceptionCode=\"x\"/>"
             "</ows:ExceptionReport>";
    EXPECT_FALSE(params.LoadFromPath(path));
    answer = "<WMT_MS_Capabilities version=\"1.1.1\"/>";
    EXPECT_FALSE(params.LoadFromPath(path));
    answer = "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"1.0.0\"><Contents><Lay";
    EXPECT_FALSE(params.LoadFromPath(path));
    status = 404;
    EXPECT_FALSE(params.LoadFromPath(path));
    EXPECT_FALSE(params.IsReady());
    EXPECT_FALSE(fs::exists(path.str()));
    if (fs::exists(folder.str())) {
        EXPECT_TRUE(fs::is_empty(folder.str()));
    }
    EXPECT_EQ(server.RequestCount(), 4u);

    // A damaged file is replaced by a good download, in place.
    fs::create_directories(folder.str());
    std::ofstream(path.str()) << "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\"><Con";
    status = 200;
    answer = Capabilities(Operations("http://x/wmts?", ""), Layer("a", "", {"image/png"}, {"g"}) + GoogleSet("g", 1));
    EXPECT_TRUE(params.LoadFromPath(path));
    EXPECT_EQ(ReadFile(path.str()), answer);
    EXPECT_EQ(std::distance(fs::directory_iterator(folder.str()), fs::directory_iterator()), 1);

    // Without an address a missing file is simply a failure.
    VmWMTSParams noAddress;
    EXPECT_FALSE(noAddress.LoadFromPath(temp.Path("nothing/WMTSCapabilities.xml")));
}

// Every real document either loads with layers whose parameters hold
// together, or fails with a reason.
TEST(TileCacheParams, CorpusDocuments) {
    const fs::path folder = fs::path(OGCWEB_CORPUS_DIR) / "wmts" / "capabilities";
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    int documents = 0, loaded = 0, usableLayers = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".xml") continue;
        ++documents;
        const std::string name = entry.path().filename().string();
        VmWMTSParams service;
        if (!service.LoadFromPath(entry.path().string().c_str())) {
            EXPECT_FALSE(service.GetLastError().IsEmpty()) << name;
            ADD_FAILURE() << name << " did not load: " << service.GetLastError().str();
            continue;
        }
        ++loaded;
        PlxArray<PlxMBString> names;
        service.GetLayerNames(names);
        EXPECT_GE(names.GetSize(), 1) << name;
        for (const PlxMBString& layerName : names) {
            std::unique_ptr<VmWMTSParams> layer(service.GetLayerParams(layerName));
            if (!layer) continue;
            ++usableLayers;
            const VmTilePyramid& pyramid = layer->GetPyramid();
            const std::string where = name + " / " + layerName.str() + " / " + layer->GetTileMatrixSet().str();
            ASSERT_FALSE(pyramid.Matrices.empty()) << where;
            EXPECT_GT(layer->GetTileSize(), 0) << where;
            const int64_t side = (int64_t(1) << layer->GetZoomLevel()) * layer->GetTileSize();
            EXPECT_LE(side, int64_t(1) << 30) << where;
            const PlxRect2D bounds = layer->GetBounds();
            EXPECT_DOUBLE_EQ(bounds.Width(), bounds.Height()) << where;
            EXPECT_NEAR(bounds.Width(), side * pyramid.Matrices.back().Resolution, 1e-9 * bounds.Width()) << where;
            EXPECT_EQ(layer->GetTileScaleNames().GetCount(), static_cast<int>(pyramid.Matrices.size())) << where;
            const double slack = 1e-9 * bounds.Width();
            for (size_t i = 0; i < pyramid.Matrices.size(); ++i) {
                const VmTileMatrix& m = pyramid.Matrices[i];
                if (i > 0) {
                    EXPECT_LE(m.Resolution, pyramid.Matrices[i - 1].Resolution) << where;
                }
                EXPECT_GE(m.TopLeftX, bounds.left - slack) << where;
                EXPECT_LE(m.TopLeftY, bounds.top + slack) << where;
                EXPECT_LE(m.TopLeftX + m.MatrixWidth * m.TileSpanX(), bounds.right + slack) << where << " " << m.Identifier.str();
                EXPECT_GE(m.TopLeftY - m.MatrixHeight * m.TileSpanY(), bounds.bottom - slack) << where;
            }
            if (pyramid.EpsgCode != 0) {
                EXPECT_NE(layer->GetPrjCoordSys().GetTypeID(), 0) << where;
            }
            if (layer->GetTileEncoding() != VmWMTSParams::EncodingNone) {
                const std::string tile = layer->GetTileURL(pyramid.Matrices.back().Identifier, 0, 0).str();
                EXPECT_NE(tile.find("://"), std::string::npos) << where << ": " << tile;
                EXPECT_EQ(tile.find('{'), std::string::npos) << where << ": " << tile;
            }
        }
    }
    EXPECT_GE(documents, 20);
    EXPECT_EQ(loaded, documents);
    EXPECT_GE(usableLayers, 500);

    VmWMTSParams exception;
    EXPECT_FALSE(exception.LoadFromPath(
        (fs::path(OGCWEB_CORPUS_DIR) / "wmts" / "exception" / "geowebcache-wmts-1.0.0-tile-out-of-range.xml").string().c_str()));
}

// Particular servers' habits, each checked where it shows.
TEST(TileCacheParams, CorpusServerHabits) {
    auto load = [](const char* file) {
        auto params = std::make_unique<VmWMTSParams>();
        const std::string path = (fs::path(OGCWEB_CORPUS_DIR) / "wmts" / "capabilities" / file).string();
        EXPECT_TRUE(params->LoadFromPath(path.c_str())) << file;
        return params;
    };
    auto first = [](const VmWMTSParams& service, const char* set = "") {
        PlxArray<PlxMBString> names;
        service.GetLayerNames(names);
        return std::unique_ptr<VmWMTSParams>(names.IsEmpty() ? nullptr : service.GetLayerParams(names[0], set));
    };
    const PlxRect2D world(-kHalfWorld, kHalfWorld, kHalfWorld, -kHalfWorld);

    // Web Mercator corners written rounded, with a wrong sign, or the wrong
    // way round all become the world's north-west corner.
    auto caris = load("caris-wmts-1.0.0.xml");
    auto layer = first(*caris, "GoogleMapsCompatible");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetBounds(), world);
    EXPECT_EQ(layer->GetTileEncoding(), VmWMTSParams::EncodingREST);
    auto scenario = load("geoserver-wmts-1.0.0-scenario1.xml");
    layer = first(*scenario, "EPSG:900913");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetBounds(), world);

    // A CRS84 set written latitude first, and GoogleCRS84Quad's square.
    auto erdas = load("erdas-wmts-1.0.0-iws13.xml");
    PlxArray<PlxMBString> names;
    erdas->GetLayerNames(names);
    std::unique_ptr<VmWMTSParams> quad, scale;
    for (const PlxMBString& name : names) {
        if (!quad) quad.reset(erdas->GetLayerParams(name, "ogc:1.0:googlecrs84quad"));
        if (!scale) scale.reset(erdas->GetLayerParams(name, "ogc:1.0:globalcrs84pixel"));
    }
    ASSERT_NE(quad, nullptr);
    EXPECT_EQ(quad->GetBounds().left, -180.0);
    EXPECT_EQ(quad->GetBounds().top, 180.0);
    ASSERT_NE(scale, nullptr);
    EXPECT_EQ(scale->GetPyramid().Matrices.front().TopLeftX, -180.0);
    EXPECT_EQ(scale->GetPyramid().Matrices.front().TopLeftY, 90.0);

    // ArcGIS offers both; the GoogleMapsCompatible set wins over default028mm.
    auto arcgis = load("arcgis-wmts-1.0.0.xml");
    layer = first(*arcgis);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetTileMatrixSet(), "GoogleMapsCompatible");
    EXPECT_EQ(layer->GetTileEncoding(), VmWMTSParams::EncodingKVP);

    // The usual EPSG:4326 set, latitude first.
    auto wgs84 = load("unknown-wmts-1.0.0-wgs84.xml");
    layer = first(*wgs84);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetPrjCoordSys().GetTypeID(), 1);
    EXPECT_EQ(layer->GetBounds().left, -180.0);
    EXPECT_EQ(layer->GetBounds().top, 90.0);
    EXPECT_EQ(layer->GetBounds().right, 180.0);

    // Limits that leave a layer three matrices of a regional set.
    auto limits = load("unknown-wmts-1.0.0-tilematrixsetlimits.xml");
    layer = first(*limits);
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetTileScaleNames().GetCount(), 3);
    EXPECT_EQ(layer->GetPyramid().Matrices[2].MinRow, 8);
    EXPECT_EQ(layer->GetTileURL("2", 9, 10).str(), "https://example.com/wmts/wide_at_low_zoom/subset/2/10/9.png");

    // Links to an undefined set give no layer parameters, the others do.
    auto undefined = load("geoserver-wmts-1.0.0-undefined-tilematrixset.xml");
    undefined->GetLayerNames(names);
    int usable = 0;
    for (const PlxMBString& name : names) usable += std::unique_ptr<VmWMTSParams>(undefined->GetLayerParams(name)) ? 1 : 0;
    EXPECT_GE(usable, 1);
    EXPECT_LT(usable, names.GetSize());
}
