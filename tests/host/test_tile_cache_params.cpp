// WMTS capabilities into layer parameters: tile matrix set, format, encoding,
// pixel space, tile addresses, and the document downloaded once then read
// offline. Handwritten documents pin the rules; real ones check nothing breaks.
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
using Strings = std::vector<std::string>;

namespace {

const double kHalfWorld = 20037508.342789244;
const PlxRect2D kWorld(-kHalfWorld, kHalfWorld, kHalfWorld, -kHalfWorld);

std::string Matrix(const std::string& id, double scale, const std::string& corner, int width, int height) {
    char denominator[64];
    std::snprintf(denominator, sizeof denominator, "%.4f", scale);
    return "<TileMatrix><ows:Identifier>" + id + "</ows:Identifier><ScaleDenominator>" + denominator +
           "</ScaleDenominator><TopLeftCorner>" + corner + "</TopLeftCorner><TileWidth>256</TileWidth><TileHeight>256"
           "</TileHeight><MatrixWidth>" + std::to_string(width) + "</MatrixWidth><MatrixHeight>" +
           std::to_string(height) + "</MatrixHeight></TileMatrix>";
}

std::string SetHead(const std::string& id, const std::string& crs) {
    return "<TileMatrixSet><ows:Identifier>" + id + "</ows:Identifier><ows:SupportedCRS>" + crs + "</ows:SupportedCRS>";
}

// The world in Web Mercator, one tile at level 0, halving per level.
std::string GoogleSet(const std::string& id, int levels, const std::string& crs = "urn:ogc:def:crs:EPSG::3857",
                      bool wellKnown = true) {
    std::string text = SetHead(id, crs);
    if (wellKnown) text += "<WellKnownScaleSet>urn:ogc:def:wkss:OGC:1.0:GoogleMapsCompatible</WellKnownScaleSet>";
    for (int z = 0; z < levels; ++z)
        text += Matrix(std::to_string(z), 559082264.0287178 / std::pow(2.0, z), "-20037508.3428 20037508.3428", 1 << z,
                       1 << z);
    return text + "</TileMatrixSet>";
}

// The usual EPSG:4326 set: 2 x 1 tiles at level 0, latitude first.
std::string GeoSet(const std::string& id, int levels, const std::string& corner = "90 -180",
                   const std::string& crs = "urn:ogc:def:crs:EPSG::4326") {
    std::string text = SetHead(id, crs);
    for (int z = 0; z < levels; ++z)
        text += Matrix(id + ":" + std::to_string(z), 279541132.0143589 / std::pow(2.0, z), corner, 2 << z, 1 << z);
    return text + "</TileMatrixSet>";
}

std::string UtmSet(const std::string& id) {
    return SetHead(id, "urn:ogc:def:crs:EPSG::25832") + Matrix("0", 7142857.142857143, "239323.44 9503675.0", 1, 10) +
           Matrix("1", 3571428.5714285714, "239323.44 9503675.0", 2, 20) + "</TileMatrixSet>";
}

std::string Operations(const std::string& kvpHref, const std::string& restHref) {
    std::string gets;
    for (const auto& [href, encoding] : {std::pair(kvpHref, "KVP"), std::pair(restHref, "RESTful")})
        if (!href.empty())
            gets += "<ows:Get xlink:href=\"" + href + "\"><ows:Constraint name=\"GetEncoding\"><ows:AllowedValues>"
                    "<ows:Value>" + encoding + "</ows:Value></ows:AllowedValues></ows:Constraint></ows:Get>";
    return "<ows:OperationsMetadata><ows:Operation name=\"GetTile\"><ows:DCP><ows:HTTP>" + gets +
           "</ows:HTTP></ows:DCP></ows:Operation></ows:OperationsMetadata>";
}
const std::string kKvp = Operations("http://example.com/wmts?", "");

std::string Layer(const std::string& id, const std::string& title, const Strings& formats, const Strings& sets,
                  const std::string& extra = std::string()) {
    std::string text = "<Layer>";
    if (!title.empty()) text += "<ows:Title>" + title + "</ows:Title>";
    text += "<ows:Identifier>" + id + "</ows:Identifier>"
            "<Style isDefault=\"true\"><ows:Identifier>default</ows:Identifier></Style>";
    for (const std::string& format : formats) text += "<Format>" + format + "</Format>";
    for (const std::string& set : sets) text += "<TileMatrixSetLink><TileMatrixSet>" + set + "</TileMatrixSet></TileMatrixSetLink>";
    return text + extra + "</Layer>";
}
std::string Png(const std::string& id, const Strings& sets) { return Layer(id, "", {"image/png"}, sets); }

std::string Capabilities(const std::string& operations, const std::string& contents) {
    return "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" xmlns:ows=\"http://www.opengis.net/ows/1.1\" "
           "version=\"1.0.0\">" + operations + "<Contents>" + contents + "</Contents></Capabilities>";
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

Strings Names(const PlxArray<PlxMBString>& array) {
    Strings out;
    for (const PlxMBString& item : array) out.push_back(item.str());
    return out;
}

Strings LayerNames(const VmWMTSParams& params) {
    PlxArray<PlxMBString> names;
    params.GetLayerNames(names);
    return Names(names);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

TEST(TileCacheParams, OnlyWmtsCapabilitiesLoad) {
    std::unique_ptr<VmMapServiceParams> made(VmMapServiceParamsManager::MakeParams(26));
    ASSERT_NE(made, nullptr);
    EXPECT_EQ(made->GetServiceKind(), 26);
    EXPECT_EQ(VmMapServiceParamsManager::MakeParams(25), nullptr);
    EXPECT_EQ(VmMapServiceStubManager::CreateMapServiceStub(27), nullptr);

    VmWMTSParams params;
    const char* refused[] = {
        "<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\" version=\"1.1.0\"><ows:Exception "
        "exceptionCode=\"InvalidParameterValue\"><ows:ExceptionText>bad</ows:ExceptionText></ows:Exception>"
        "</ows:ExceptionReport>",
        "<WMS_Capabilities version=\"1.3.0\"/>",
        "<Capabilities xmlns=\"http://www.opengis.net/wps/1.0.0\" version=\"1.0.0\"/>",
        "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"2.0.0\"><Contents/></Capabilities>",
        "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\"",
        "",
    };
    for (const char* text : refused) EXPECT_FALSE(params.LoadFromText(text)) << text;
    EXPECT_FALSE(params.IsReady());
    EXPECT_FALSE(params.LoadFromText(refused[0]));
    EXPECT_NE(params.GetLastError().Find("exception"), -1);
    // A valid document without layers loads; it simply has none.
    EXPECT_TRUE(params.LoadFromText(Capabilities("", "").c_str()));
    EXPECT_EQ(LayerNames(params), Strings{});
}

// Alias is the title (the one without a language), else the identifier; PNG
// is preferred; the layer object outlives the service object.
TEST(TileCacheParams, LayersTitlesFormatsAndStyles) {
    auto service = Parse(Capabilities(
        kKvp, Layer("roads", "Roads", {"image/jpeg", "image/png"}, {"google"}) +
                  Layer("bare", "", {"image/jpeg"}, {"google"}) +
                  Layer("eight", "", {"image/jpeg", "image/png; mode=8bit"}, {"google"}) +
                  Layer("water", "", {"image/png"}, {"google"},
                        "<ows:Title xml:lang=\"de\">Gewaesser</ows:Title><ows:Title>Water</ows:Title>"
                        "<ows:WGS84BoundingBox><ows:LowerCorner>5.5 47.25</ows:LowerCorner>"
                        "<ows:UpperCorner>15 55</ows:UpperCorner></ows:WGS84BoundingBox>") +
                  GoogleSet("google", 3)));
    ASSERT_TRUE(service->IsReady());
    EXPECT_EQ(LayerNames(*service), (Strings{"roads", "bare", "eight", "water"}));

    auto roads = LayerOf(*service, "roads");
    ASSERT_NE(roads, nullptr);
    EXPECT_EQ(roads->GetLayerAlias(), "Roads");
    EXPECT_EQ(Names(roads->GetFormats()), (Strings{"image/jpeg", "image/png"}));
    EXPECT_EQ(roads->GetFormat(), "image/png");
    EXPECT_EQ(roads->GetStyle(), "default");
    EXPECT_TRUE(roads->SetFormat("IMAGE/JPEG"));
    EXPECT_FALSE(roads->SetFormat("image/webp"));
    EXPECT_EQ(roads->GetFormat(), "image/jpeg");

    EXPECT_EQ(LayerOf(*service, "bare")->GetLayerAlias(), "bare");
    EXPECT_EQ(LayerOf(*service, "bare")->GetFormat(), "image/jpeg");
    EXPECT_EQ(LayerOf(*service, "eight")->GetFormat(), "image/png; mode=8bit");
    EXPECT_EQ(LayerOf(*service, "water")->GetLayerAlias(), "Water");
    // Longitude and latitude, lower then upper corner.
    EXPECT_EQ(LayerOf(*service, "water")->GetWGS84Bounds(), PlxRect2D(5.5, 55, 15, 47.25));
    EXPECT_TRUE(roads->GetWGS84Bounds().IsNull()) << "no box written";
    EXPECT_EQ(LayerOf(*service, "nope"), nullptr);
    EXPECT_EQ(LayerOf(*service, "roads", "undefined"), nullptr);

    service.reset();
    EXPECT_EQ(roads->GetTileScaleNames().GetCount(), 3);
    EXPECT_NE(roads->GetTileURL("2", 1, 1), "");
}

// Web Mercator and GoogleMapsCompatible first, then Web Mercator, then the
// first usable linked set; links to undefined or unusable sets are passed over.
TEST(TileCacheParams, TileMatrixSetChoice) {
    auto service = Parse(Capabilities(
        kKvp, Png("all", {"undefined", "geo", "merc", "google"}) + Png("mercFirst", {"geo", "merc"}) +
                  Png("alias", {"utm", "gwc900913"}) + Png("noMercator", {"utm", "geo"}) +
                  Png("onlyUndefined", {"undefined"}) + Png("empty", {"emptyset", "geo"}) +
                  GoogleSet("google", 4, "urn:ogc:def:crs:EPSG:6.18.3:3857") + GoogleSet("merc", 4, "EPSG:3857", false) +
                  GoogleSet("gwc900913", 4, "urn:ogc:def:crs:EPSG::900913", false) + GeoSet("geo", 3) + UtmSet("utm") +
                  SetHead("emptyset", "EPSG:3857") + "</TileMatrixSet>"));
    const std::pair<const char*, const char*> chosen[] = {
        {"all", "google"}, {"mercFirst", "merc"}, {"alias", "gwc900913"}, {"noMercator", "utm"}, {"empty", "geo"}};
    for (const auto& [layer, set] : chosen) {
        auto params = LayerOf(*service, layer);
        ASSERT_NE(params, nullptr) << layer;
        EXPECT_EQ(params->GetTileMatrixSet(), set) << layer;
    }
    EXPECT_EQ(LayerOf(*service, "alias")->GetPrjCoordSys().GetTypeID(), 3857);
    EXPECT_EQ(LayerOf(*service, "onlyUndefined"), nullptr);
    // Asking for a set overrides the rule, within the layer's links.
    EXPECT_EQ(LayerOf(*service, "all", "geo")->GetTileMatrixSet(), "geo");
    EXPECT_EQ(LayerOf(*service, "mercFirst", "google"), nullptr);
    PlxArray<PlxMBString> sets;
    service->GetLayerTileMatrixSets("all", sets);
    EXPECT_EQ(Names(sets), (Strings{"geo", "merc", "google"}));
}

TEST(TileCacheParams, WebMercatorPixelSpaceIsTheWorldExactly) {
    auto service = Parse(Capabilities(kKvp, Png("l", {"google"}) + GoogleSet("google", 19)));
    auto layer = LayerOf(*service, "l");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetZoomLevel(), 18);
    EXPECT_EQ(layer->GetTileSize(), 256);
    EXPECT_EQ(layer->GetBounds(), kWorld);
    EXPECT_EQ(layer->GetPrjCoordSys().GetTypeID(), 3857);
    EXPECT_EQ(layer->GetCoordRatio(), 1.0);
    // Pixel space and tiles line up to the last bit at every level.
    const VmTilePyramid& pyramid = layer->GetPyramid();
    for (int level : {0, 5, 18}) {
        const int64_t tilePixels = int64_t(256) << (18 - level);
        for (int k : {0, 1, (1 << level) - 1}) {
            const int a = static_cast<int>(k * tilePixels), b = static_cast<int>((k + 1) * tilePixels - 1);
            EXPECT_EQ(pyramid.TileBounds(level, k, k), pyramid.PixelToMap(a, a, b, b)) << level << " " << k;
        }
    }
    double scale = 0;
    ASSERT_TRUE(layer->GetTileScaleNames().Lookup("18", scale));
    EXPECT_NEAR(scale, 559082264.0287178 / 262144.0, 1e-3);
}

TEST(TileCacheParams, GeographicSetsAndAxisOrder) {
    auto service = Parse(Capabilities(
        kKvp, Png("latFirst", {"geo"}) + Png("lonFirstWritten", {"geoWrong"}) + Png("crs84", {"crs84"}) +
                  Png("quad", {"quad"}) + GeoSet("geo", 4) + GeoSet("geoWrong", 4, "-180 90") +
                  GeoSet("crs84", 4, "-180 90", "urn:ogc:def:crs:OGC:1.3:CRS84") +
                  SetHead("quad", "urn:ogc:def:crs:OGC:1.3:CRS84") + Matrix("0", 559082264.0287178, "-180 180", 1, 1) +
                  Matrix("1", 279541132.0143589, "-180 180", 2, 2) + "</TileMatrixSet>"));
    for (const char* name : {"latFirst", "lonFirstWritten", "crs84"}) {
        SCOPED_TRACE(name);
        auto layer = LayerOf(*service, name);
        ASSERT_NE(layer, nullptr);
        // 2 x 1 tiles at level 0: one level more than the deepest index, so
        // that the square covers all 360 degrees; its lower half is empty.
        EXPECT_EQ(layer->GetZoomLevel(), 4);
        EXPECT_EQ(layer->GetBounds(), PlxRect2D(-180, 90, 180, -270));
        EXPECT_EQ(layer->GetPrjCoordSys().GetGeoCoordSys().GetTypeID(), 4326);
        EXPECT_NEAR(layer->GetCoordRatio(), 111319.49079327357, 1e-6);
        EXPECT_EQ(layer->GetPyramid().TileBounds(3, 0, 15), PlxRect2D(157.5, 90, 180, 67.5));
        EXPECT_EQ(layer->GetPyramid().PixelToMap(0, 0, 4095, 2047), PlxRect2D(-180, 90, 180, -90));
    }
    auto quad = LayerOf(*service, "quad");
    EXPECT_EQ(quad->GetZoomLevel(), 1);
    EXPECT_EQ(quad->GetBounds(), PlxRect2D(-180, 180, 180, -180));
}

TEST(TileCacheParams, LimitsAndProjectedSets) {
    const std::string limits =
        "<TileMatrixSetLimits><TileMatrixLimits><TileMatrix>1</TileMatrix><MinTileRow>0</MinTileRow><MaxTileRow>1"
        "</MaxTileRow><MinTileCol>1</MinTileCol><MaxTileCol>1</MaxTileCol></TileMatrixLimits>"
        "<TileMatrixLimits><TileMatrix>2</TileMatrix><MinTileRow>1</MinTileRow><MaxTileRow>9</MaxTileRow>"
        "<MinTileCol>2</MinTileCol><MaxTileCol>3</MaxTileCol></TileMatrixLimits></TileMatrixSetLimits>";
    auto service = Parse(Capabilities(
        kKvp, "<Layer><ows:Identifier>limited</ows:Identifier><Format>image/png</Format><TileMatrixSetLink>"
              "<TileMatrixSet>google</TileMatrixSet>" + limits + "</TileMatrixSetLink></Layer>" +
                  Png("utm", {"utm"}) + Png("nzgd", {"nz"}) + GoogleSet("google", 4) + UtmSet("utm") +
                  // EPSG:2193 is northing first: the corner is written y x.
                  SetHead("nz", "urn:ogc:def:crs:EPSG::2193") + Matrix("0", 32000000, "10000000.0 -1000000.0", 2, 4) +
                  "</TileMatrixSet>"));
    auto limited = LayerOf(*service, "limited");
    ASSERT_NE(limited, nullptr);
    // Matrices the limits leave out are not the layer's.
    const VmTilePyramid& pyramid = limited->GetPyramid();
    ASSERT_EQ(pyramid.Matrices.size(), 2u);
    EXPECT_EQ(limited->GetTileScaleNames().GetCount(), 2);
    EXPECT_EQ(pyramid.Matrices[0].Identifier, "1");
    EXPECT_EQ(pyramid.Matrices[1].MinRow, 1);
    EXPECT_EQ(pyramid.Matrices[1].MaxRow, 3);  // clipped to the matrix
    EXPECT_EQ(pyramid.Matrices[1].MinCol, 2);
    EXPECT_EQ(limited->GetZoomLevel(), 2);  // the square still spans the set
    EXPECT_EQ(limited->GetBounds(), kWorld);

    auto utm = LayerOf(*service, "utm");
    ASSERT_NE(utm, nullptr);
    EXPECT_EQ(utm->GetPrjCoordSys().GetTypeID(), 25832);
    // 20 tiles high at the deepest level decide the side: 32 tiles.
    EXPECT_EQ(utm->GetZoomLevel(), 5);
    EXPECT_NEAR(utm->GetBounds().Width(), 32 * 256 * 3571428.5714285714 * 0.00028, 1e-3);  // 4 decimals printed
    EXPECT_NEAR(utm->GetBounds().left, 239323.44, 1e-9);
    EXPECT_NEAR(utm->GetBounds().top, 9503675.0, 1e-9);

    auto nz = LayerOf(*service, "nzgd");
    ASSERT_NE(nz, nullptr);
    EXPECT_EQ(nz->GetPrjCoordSys().GetTypeID(), 2193);
    EXPECT_EQ(nz->GetBounds().left, -1000000.0);
    EXPECT_EQ(nz->GetBounds().top, 10000000.0);
}

TEST(TileCacheParams, TileAddresses) {
    const std::string extra =
        "<ResourceURL format=\"image/jpeg\" resourceType=\"tile\" "
        "template=\"http://tiles.example.com/j/{TileMatrix}/{TileRow}/{TileCol}.jpg\"/>"
        "<ResourceURL format=\"image/png\" resourceType=\"tile\" "
        "template=\"http://tiles.example.com/{Style}/{tilematrixset}/{Time}/{TileMatrix}/{TILEROW}/{TileCol}.png\"/>"
        "<ResourceURL format=\"application/json\" resourceType=\"FeatureInfo\" template=\"http://x/{TileMatrix}.json\"/>"
        "<Dimension><ows:Identifier>Time</ows:Identifier><Default>2020-01-01</Default><Value>2019-01-01</Value>"
        "<Value>2020-01-01</Value></Dimension>";
    const std::string layers = Layer("demo:roads", "Roads", {"image/png", "image/jpeg"}, {"google"}, extra) +
                               Png("plain", {"google"}) + GoogleSet("google", 4);
    const std::string restPng = "http://tiles.example.com/default/google/2020-01-01/3/2/5.png";

    // KVP only: the document's address, with or without its own parameters.
    auto kvp = Parse(Capabilities(kKvp, layers));
    auto roads = LayerOf(*kvp, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingKVP);
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(),
              "http://example.com/wmts?SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=demo:roads&STYLE=default"
              "&TILEMATRIXSET=google&TILEMATRIX=3&TILEROW=2&TILECOL=5&FORMAT=image/png&Time=2020-01-01");
    EXPECT_EQ(roads->GetTileURL("9", 0, 0).str(), "") << "no such matrix";
    for (const std::string href : {"http://example.com/cgi?map=a.map", "http://example.com/wmts"}) {
        const std::string url = LayerOf(*Parse(Capabilities(Operations(href, ""), layers)), "plain")->GetTileURL("0", 0, 0).str();
        EXPECT_EQ(url.substr(0, href.size() + 13), href + (href.find('?') == std::string::npos ? "?" : "&") + "SERVICE=WMTS");
    }
    // No GetTile operation and no ResourceURL: the service address without
    // the capabilities parameters takes the requests.
    auto none = Parse(Capabilities("", Png("plain", {"google"}) + GoogleSet("google", 2)),
                      "http://example.com/svc?SERVICE=WMTS&REQUEST=GetCapabilities&key=1");
    EXPECT_EQ(LayerOf(*none, "plain")->GetTileURL("1", 1, 0).str(),
              "http://example.com/svc?key=1&SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=plain&STYLE=default"
              "&TILEMATRIXSET=google&TILEMATRIX=1&TILEROW=1&TILECOL=0&FORMAT=image/png");

    // REST only (or no operations at all): the template of the chosen format,
    // names in any case.
    auto restOnly = Parse(Capabilities(Operations("", "http://tiles.example.com/"), layers));
    roads = LayerOf(*restOnly, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingREST);
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(), restPng);
    EXPECT_TRUE(roads->SetFormat("image/jpeg"));
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(), "http://tiles.example.com/j/3/2/5.jpg");
    EXPECT_FALSE(roads->SetTileEncoding(VmWMTSParams::EncodingNone));
    EXPECT_EQ(LayerOf(*restOnly, "plain")->GetTileURL("0", 0, 0).str(), "") << "no ResourceURL";
    EXPECT_EQ(LayerOf(*Parse(Capabilities("", layers)), "demo:roads")->GetTileEncoding(), VmWMTSParams::EncodingREST);

    // Both: KVP, and REST on request where the layer has a template.
    auto both = Parse(Capabilities(Operations("http://example.com/wmts?", "http://tiles.example.com/"), layers));
    roads = LayerOf(*both, "demo:roads");
    EXPECT_EQ(roads->GetTileEncoding(), VmWMTSParams::EncodingKVP);
    ASSERT_TRUE(roads->SetTileEncoding(VmWMTSParams::EncodingREST));
    EXPECT_EQ(roads->GetTileURL("3", 2, 5).str(), restPng);
    EXPECT_FALSE(LayerOf(*both, "plain")->SetTileEncoding(VmWMTSParams::EncodingREST));
}

TEST(TileCacheParams, CapabilitiesAddressesAndFileNames) {
    const char* const standard = "SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0";
    const std::pair<const char*, std::string> addresses[] = {
        {"http://h/wmts", std::string("http://h/wmts?") + standard},
        {"http://h/wmts?", std::string("http://h/wmts?") + standard},
        {"http://h/cgi?map=x&", std::string("http://h/cgi?map=x&") + standard},
        {"http://h/cgi?map=x&service=wms&Version=1.3.0", std::string("http://h/cgi?map=x&") + standard},
        {"http://h/wmts?service=WMTS&request=getcapabilities", "http://h/wmts?service=WMTS&request=getcapabilities"},
        {" http://h/1.0.0/WMTSCapabilities.xml ", "http://h/1.0.0/WMTSCapabilities.xml"},
        {"", ""},
    };
    VmWMTSParams params;
    for (const auto& [address, expected] : addresses) {
        params.SetServiceAddress(address);
        EXPECT_EQ(params.GetCapabilitiesURL().str(), expected) << address;
    }

    params.SetServiceAddress("http://tiles.example.com:8080/wmts");
    const std::string description = params.GetDescriptionFileName().str();
    EXPECT_EQ(description.rfind("/tiles.example.com_", 0), 0u) << description;
    EXPECT_EQ(description.substr(description.size() - 21), "/WMTSCapabilities.xml");
    params.SetServiceAddress("http://tiles.example.com:8080/other");
    EXPECT_NE(params.GetDescriptionFileName().str(), description);
    params.SetServiceAddress("http://tiles.example.com:8080/wmts");

    ASSERT_TRUE(params.LoadFromText(
        Capabilities(kKvp, Png("demo:roads", {"EPSG:3857"}) + Png("roads", {"EPSG:3857"}) + GoogleSet("EPSG:3857", 2))
            .c_str()));
    const std::string folder = description.substr(1, description.size() - 22);
    const std::string prefixed = LayerOf(params, "demo:roads")->GetCacheFileName().str();
    const std::string plain = LayerOf(params, "roads")->GetCacheFileName().str();
    EXPECT_EQ(plain.rfind(folder + "/roads_EPSG_3857-", 0), 0u) << plain;
    EXPECT_EQ(prefixed.rfind(folder + "/demo_roads-", 0), 0u) << prefixed;
    EXPECT_EQ(prefixed.substr(prefixed.size() - 6), ".cache");
    EXPECT_EQ(prefixed.find(':'), std::string::npos);
}

// The document is downloaded once, kept only when it is a good one, and read
// from its file from then on, with or without the server.
TEST(TileCacheParams, CapabilitiesDownloadedOnceThenOffline) {
    TempFolder temp;
    LogCapture log;
    const PlxMBString folder = temp.Path("cache/svc");
    const PlxMBString path = folder + "/WMTSCapabilities.xml";
    std::string address, answer;
    int status = 200;
    {
        ScriptedServer server([&](const ScriptedRequest& request) {
            if (request.Param("REQUEST") != "GetCapabilities") return ScriptedResponse::Status(400);
            return status == 200 ? ScriptedResponse::Ok(answer) : ScriptedResponse::Status(status);
        });
        address = server.Url("/wmts");
        VmWMTSParams params;
        params.SetServiceAddress(address.c_str());
        const std::pair<int, std::string> failures[] = {
            {200, "<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\">"
                  "<ows:Exception exceptionCode=\"x\"/></ows:ExceptionReport>"},
            {200, "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" version=\"1.0.0\"><Contents><Lay"},
            {404, ""},
        };
        for (const auto& failure : failures) {
            std::tie(status, answer) = failure;
            EXPECT_FALSE(params.LoadFromPath(path)) << status << " " << answer;
            EXPECT_TRUE(!fs::exists(folder.str()) || fs::is_empty(folder.str()));
        }
        EXPECT_FALSE(params.IsReady());

        status = 200;
        answer = Capabilities(kKvp, Layer("roads", "Roads", {"image/png"}, {"g"}) + GoogleSet("g", 3));
        ASSERT_TRUE(params.LoadFromPath(path)) << params.GetLastError().str();
        EXPECT_EQ(ReadFile(path.str()), answer);
        EXPECT_EQ(server.LastRequest().Param("SERVICE"), "WMTS");
        // The second load reads the file, not the network.
        VmWMTSParams again;
        again.SetServiceAddress(address.c_str());
        ASSERT_TRUE(again.LoadFromPath(path));
        EXPECT_EQ(server.RequestCount(), 4u);

        // A damaged file is replaced by a good download, in place.
        std::ofstream(path.str()) << "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\"><Con";
        EXPECT_TRUE(again.LoadFromPath(path));
        EXPECT_EQ(server.RequestCount(), 5u);
        EXPECT_EQ(ReadFile(path.str()), answer);
        EXPECT_EQ(std::distance(fs::directory_iterator(folder.str()), fs::directory_iterator()), 1);
    }
    // The server is gone.
    VmWMTSParams offline;
    offline.SetServiceAddress(address.c_str());
    ASSERT_TRUE(offline.LoadFromPath(path));
    auto layer = LayerOf(offline, "roads");
    ASSERT_NE(layer, nullptr);
    EXPECT_EQ(layer->GetLayerAlias(), "Roads");
    EXPECT_TRUE(layer->LoadFromPath(path));
    EXPECT_EQ(layer->GetLayerName(), "roads") << "a layer object reloads as the same layer";
    EXPECT_EQ(temp.Files(), (std::set<std::string>{"cache"}));

    VmWMTSParams noAddress;
    EXPECT_FALSE(noAddress.LoadFromPath(temp.Path("nothing/WMTSCapabilities.xml"))) << "no file, no address";
}

// Every real document loads with layers whose parameters hold together.
TEST(TileCacheParams, CorpusDocuments) {
    const fs::path folder = fs::path(OGCWEB_CORPUS_DIR) / "wmts" / "capabilities";
    ASSERT_TRUE(fs::is_directory(folder)) << folder;
    int documents = 0, usableLayers = 0;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().extension() != ".xml") continue;
        ++documents;
        const std::string name = entry.path().filename().string();
        VmWMTSParams service;
        if (!service.LoadFromPath(entry.path().string().c_str())) {
            ADD_FAILURE() << name << " did not load: " << service.GetLastError().str();
            continue;
        }
        const Strings names = LayerNames(service);
        EXPECT_GE(names.size(), 1u) << name;
        for (const std::string& layerName : names) {
            auto layer = LayerOf(service, layerName.c_str());
            if (!layer) continue;
            ++usableLayers;
            const VmTilePyramid& pyramid = layer->GetPyramid();
            const std::string where = name + " / " + layerName + " / " + layer->GetTileMatrixSet().str();
            ASSERT_FALSE(pyramid.Matrices.empty()) << where;
            EXPECT_GT(layer->GetTileSize(), 0) << where;
            const int64_t side = (int64_t(1) << layer->GetZoomLevel()) * layer->GetTileSize();
            EXPECT_LE(side, int64_t(1) << 30) << where;
            const PlxRect2D bounds = layer->GetBounds();
            EXPECT_DOUBLE_EQ(bounds.Width(), bounds.Height()) << where;
            EXPECT_NEAR(bounds.Width(), side * pyramid.Matrices.back().Resolution, 1e-9 * bounds.Width()) << where;
            // Matrices from coarse to fine, all inside the square.
            const double slack = 1e-9 * bounds.Width();
            double resolution = pyramid.Matrices.front().Resolution;
            for (const VmTileMatrix& m : pyramid.Matrices) {
                EXPECT_LE(m.Resolution, resolution) << where;
                resolution = m.Resolution;
                EXPECT_GE(m.TopLeftX, bounds.left - slack) << where;
                EXPECT_LE(m.TopLeftY, bounds.top + slack) << where;
                EXPECT_LE(m.TopLeftX + m.MatrixWidth * m.TileSpanX(), bounds.right + slack) << where;
                EXPECT_GE(m.TopLeftY - m.MatrixHeight * m.TileSpanY(), bounds.bottom - slack) << where;
            }
            EXPECT_TRUE(pyramid.EpsgCode == 0 || layer->GetPrjCoordSys().GetTypeID() != 0) << where;
            if (layer->GetTileEncoding() != VmWMTSParams::EncodingNone) {
                const std::string tile = layer->GetTileURL(pyramid.Matrices.back().Identifier, 0, 0).str();
                EXPECT_NE(tile.find("://"), std::string::npos) << where << ": " << tile;
                EXPECT_EQ(tile.find('{'), std::string::npos) << where << ": " << tile;
            }
        }
    }
    EXPECT_GE(documents, 20);
    EXPECT_GE(usableLayers, 500);
}

// Real servers' corners: Web Mercator ones with a wrong sign or the wrong way
// round, a CRS84 set written latitude first, and GoogleCRS84Quad's square.
TEST(TileCacheParams, CorpusServerHabits) {
    auto load = [](const char* file) {
        auto params = std::make_unique<VmWMTSParams>();
        const std::string path = (fs::path(OGCWEB_CORPUS_DIR) / "wmts" / "capabilities" / file).string();
        EXPECT_TRUE(params->LoadFromPath(path.c_str())) << file;
        return params;
    };
    // The first layer linked to `set`.
    auto linked = [](const VmWMTSParams& service, const char* set) {
        std::unique_ptr<VmWMTSParams> layer;
        for (const std::string& name : LayerNames(service))
            if (!layer) layer.reset(service.GetLayerParams(name.c_str(), set));
        return layer;
    };
    for (const auto& [file, set] : {std::pair("caris-wmts-1.0.0.xml", "GoogleMapsCompatible"),
                                    std::pair("geoserver-wmts-1.0.0-scenario1.xml", "EPSG:900913")}) {
        auto layer = linked(*load(file), set);
        ASSERT_NE(layer, nullptr) << file;
        EXPECT_EQ(layer->GetBounds(), kWorld) << file;
    }

    auto erdas = load("erdas-wmts-1.0.0-iws13.xml");
    auto quad = linked(*erdas, "ogc:1.0:googlecrs84quad");
    ASSERT_NE(quad, nullptr);
    EXPECT_EQ(quad->GetBounds().left, -180.0);
    EXPECT_EQ(quad->GetBounds().top, 180.0);
    auto pixel = linked(*erdas, "ogc:1.0:globalcrs84pixel");
    ASSERT_NE(pixel, nullptr);
    EXPECT_EQ(pixel->GetPyramid().Matrices.front().TopLeftX, -180.0);
    EXPECT_EQ(pixel->GetPyramid().Matrices.front().TopLeftY, 90.0);
}
