// ogcweb against scripted feature and coverage services, run as a real
// process: what info lists for them, the GeoJSON that features writes (read
// back with OGR) and the GeoTIFF that coverage writes (read back with GDAL).
#include "CliRunner.h"
#include "ScriptedServer.h"
#include "TestImages.h"

#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_api.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <regex>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using ogctest::CliResult;
using ogctest::Contains;
using ogctest::LineCount;
using ogctest::RequestsFor;
using ogctest::RunOgcweb;
using ogctest::ScratchFolder;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

void ExpectOneLine(const CliResult& run, const std::string& mentions) {
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(LineCount(run.err), 1) << run.err;
    EXPECT_TRUE(Contains(run.err, mentions)) << run.err;
}

// A feature service of one type, towns.
std::string WfsCapabilities(const std::string& endpoint) {
    const std::string get = "<DCPType><HTTP><Get onlineResource=\"" + endpoint + "\"/></HTTP></DCPType>";
    return "<WFS_Capabilities version=\"1.0.0\"><Capability><Request>"
           "<DescribeFeatureType>" + get + "</DescribeFeatureType><GetFeature>" + get + "</GetFeature>"
           "</Request></Capability><FeatureTypeList><FeatureType><Name>ns:towns</Name><Title>Towns</Title>"
           "<SRS>EPSG:4326</SRS><LatLongBoundingBox minx=\"0\" miny=\"40\" maxx=\"10\" maxy=\"50\"/></FeatureType>"
           "</FeatureTypeList></WFS_Capabilities>";
}

const char* const kTownSchema = R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema">
 <xsd:complexType name="townsType"><xsd:complexContent><xsd:extension base="gml:AbstractFeatureType"><xsd:sequence>
  <xsd:element name="the_geom" type="gml:PointPropertyType"/><xsd:element name="NAME" type="xsd:string"/>
  <xsd:element name="POP" type="xsd:integer"/><xsd:element name="RATIO" type="xsd:double"/>
 </xsd:sequence></xsd:extension></xsd:complexContent></xsd:complexType><xsd:element name="towns" type="ns:townsType"/>
</xsd:schema>)";

// `name` goes into the XML as it is.
std::string Town(int id, const char* xy, const std::string& name, int pop, const std::string& ratio) {
    return "<gml:featureMember><ns:towns fid=\"towns." + std::to_string(id) + "\"><ns:the_geom><gml:Point>"
           "<gml:coordinates>" + xy + "</gml:coordinates></gml:Point></ns:the_geom><ns:NAME>" + name + "</ns:NAME>"
           "<ns:POP>" + std::to_string(pop) + "</ns:POP><ns:RATIO>" + ratio + "</ns:RATIO></ns:towns></gml:featureMember>";
}

struct ScriptedWfs {
    std::map<int, std::string> towns{
        {1, Town(1, "1,41", "Alpha", 100, "0.25")},
        // A quote, a backslash, a tab, an ampersand and two non-ASCII letters.
        {2, Town(2, "5.5,45.25", "Be&quot;ta\\ &amp;\tS\xC3\xBC\xC3\x9F", 2000, "1e3")},
        {3, Town(3, "9,49", "Gamma", 30000, "")},
    };
    bool failFeatures = false;
    ScriptedServer server;

    ScriptedWfs() {
        server.SetHandler([this](const ScriptedRequest& r) {
            const std::string request = r.Param("REQUEST");
            if (request == "GetCapabilities") return ScriptedResponse::Ok(WfsCapabilities(server.Url("/wfs")));
            if (request == "DescribeFeatureType") return ScriptedResponse::Ok(kTownSchema);
            if (failFeatures)
                return ScriptedResponse::Ok("<ServiceExceptionReport><ServiceException>broken</ServiceException>"
                                            "</ServiceExceptionReport>", "application/vnd.ogc.se_xml");
            std::string members;
            const std::string wanted = r.Param("FEATUREID");
            for (const auto& [id, town] : towns)
                if (wanted.empty() || Contains("," + wanted + ",", ",towns." + std::to_string(id) + ",")) members += town;
            return ScriptedResponse::Ok("<wfs:FeatureCollection xmlns:wfs=\"http://www.opengis.net/wfs\" "
                                        "xmlns:gml=\"http://www.opengis.net/gml\">" + members + "</wfs:FeatureCollection>");
        });
    }
    std::string Url() const { return server.Url("/wfs"); }
};

// A GeoJSON file as OGR reads it: each feature's fields as text ("<null>"
// for null) plus "wkt" and "id"; the fields' OGR types.
struct ReadBack {
    bool opened = false;
    std::vector<std::map<std::string, std::string>> features;
    std::map<std::string, OGRFieldType> types;
};

ReadBack ReadGeoJson(const std::string& path) {
    ReadBack back;
    OGRRegisterAll();
    OGRDataSourceH source = OGROpen(path.c_str(), FALSE, nullptr);
    if (!source) return back;
    back.opened = OGR_DS_GetLayerCount(source) == 1;
    if (OGRLayerH layer = back.opened ? OGR_DS_GetLayer(source, 0) : nullptr) {
        while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
            std::map<std::string, std::string> values;
            for (int i = 0; i < OGR_F_GetFieldCount(feature); ++i) {
                OGRFieldDefnH field = OGR_F_GetFieldDefnRef(feature, i);
                back.types[OGR_Fld_GetNameRef(field)] = OGR_Fld_GetType(field);
                values[OGR_Fld_GetNameRef(field)] =
                    OGR_F_IsFieldSetAndNotNull(feature, i) ? OGR_F_GetFieldAsString(feature, i) : "<null>";
            }
            values["id"] = std::to_string(OGR_F_GetFID(feature));
            char* wkt = nullptr;
            if (OGRGeometryH geometry = OGR_F_GetGeometryRef(feature)) OGR_G_ExportToWkt(geometry, &wkt);
            values["wkt"] = wkt ? wkt : "<none>";
            CPLFree(wkt);
            back.features.push_back(values);
            OGR_F_Destroy(feature);
        }
    }
    OGR_DS_Destroy(source);
    return back;
}

} // namespace

TEST(OgcwebFeatureServiceCli, InfoListsTheTypeAndTheFieldsWithTheirTypes) {
    ScriptedWfs wfs;
    ScratchFolder folder;
    const CliResult run = RunOgcweb(folder, {"info", wfs.Url(), "--kind", "wfs"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "  Towns\n    type:    1 (points)\n")) << run.out;
    // Name and type, whatever the padding; the engine's system field ZKID is listed too.
    for (const char* field : {"NAME +Text\\(256\\)", "POP +Int32", "RATIO +Double", "ZKID +Int32"})
        EXPECT_TRUE(std::regex_search(run.out, std::regex(std::string("\n {6}") + field + "\n"))) << field << run.out;
}

TEST(OgcwebFeatureServiceCli, WritesEveryFeatureAsGeoJsonThatOgrReadsBack) {
    ScriptedWfs wfs;
    ScratchFolder folder;
    const std::string out = folder.Path("towns.geojson");
    const CliResult run = RunOgcweb(folder, {"features", wfs.Url(), "-o", out});  // a feature service by default
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "wrote " + out + " (3 features)\n") << "the count goes to standard error";
    for (const ScriptedRequest& request : wfs.server.Requests()) EXPECT_EQ(request.Param("SERVICE"), "WFS");

    const ReadBack back = ReadGeoJson(out);
    ASSERT_EQ(back.features.size(), 3u) << ogctest::ReadFile(out);
    const std::map<std::string, std::string> second = {
        {"fid", "towns.2"}, {"id", "2"}, {"wkt", "POINT (5.5 45.25)"}, {"POP", "2000"}, {"RATIO", "1000"},
        {"NAME", "Be\"ta\\ &\tS\xC3\xBC\xC3\x9F"}};  // escaped, and read back unchanged
    EXPECT_EQ(back.features[1], second);
    EXPECT_EQ(back.features[2].at("RATIO"), "<null>") << "an empty number is null, not \"\"";
    EXPECT_EQ(back.features[2].at("id"), "3");
    EXPECT_EQ(back.types, (std::map<std::string, OGRFieldType>{
                              {"fid", OFTString}, {"NAME", OFTString}, {"POP", OFTInteger}, {"RATIO", OFTReal}}));
}

TEST(OgcwebFeatureServiceCli, SelectsByRegionIdentifiersOrCondition) {
    ScriptedWfs wfs;
    ScratchFolder folder;
    const std::string out = folder.Path("some.geojson");
    struct Case {
        std::vector<std::string> options;
        std::vector<std::string> names;
    };
    const Case cases[] = {
        {{"--bbox", "4,44,6,46"}, {"Be\"ta\\ &\tS\xC3\xBC\xC3\x9F"}},
        {{"--bbox", "6,46,8,48"}, {}},  // nothing there: an empty collection
        {{"--type", "TOWNS", "--ids", "3,1"}, {"Alpha", "Gamma"}},
        {{"--where", "POP >= 2000 AND NAME <> 'Gamma'"}, {"Be\"ta\\ &\tS\xC3\xBC\xC3\x9F"}},
        {{"--dataset", "towns", "--filter", "POP < 2000"}, {"Alpha"}},  // the other commands' words
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options.back());
        std::vector<std::string> args = {"features", wfs.Url(), "-o", out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const CliResult run = RunOgcweb(folder, args);
        ASSERT_EQ(run.status, 0) << run.err;
        const size_t n = c.names.size();
        EXPECT_EQ(run.err, "wrote " + out + " (" + std::to_string(n) + (n == 1 ? " feature)\n" : " features)\n"));
        const ReadBack back = ReadGeoJson(out);
        ASSERT_TRUE(back.opened) << ogctest::ReadFile(out);
        std::vector<std::string> names;
        for (const auto& feature : back.features) names.push_back(feature.at("NAME"));
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, c.names);
    }
    const auto downloads = RequestsFor(wfs.server, "GetFeature");
    ASSERT_EQ(downloads.size(), 5u);
    EXPECT_EQ(downloads[0].Param("BBOX"), "4.000000,44.000000,6.000000,46.000000");
    EXPECT_EQ(downloads[2].Param("FEATUREID"), "towns.3,towns.1");
}

TEST(OgcwebFeatureServiceCli, FailuresEndWithOneLineAndNoFile) {
    ScriptedWfs wfs;
    ScratchFolder folder;
    const std::string out = folder.Path("x.geojson");
    CliResult run = RunOgcweb(folder, {"features", wfs.Url(), "--dataset", "Villages", "-o", out});
    ExpectOneLine(run, "no feature dataset named \"Villages\"");
    EXPECT_TRUE(Contains(run.err, "Towns")) << "the known datasets are named: " << run.err;
    ExpectOneLine(RunOgcweb(folder, {"features", wfs.Url(), "--bbox", "20,20,30,30", "-o", out}), "outside \"Towns\"");
    ExpectOneLine(RunOgcweb(folder, {"features", wfs.Url(), "--filter", "NOSUCH > 1", "-o", out}), "");

    wfs.failFeatures = true;
    run = RunOgcweb(folder, {"features", wfs.Url(), "-o", out});
    ExpectOneLine(run, folder.Path("ogcweb.log"));
    EXPECT_EQ(run.err.rfind("ogcweb: the service returned no features of \"Towns\" (log: ", 0), 0u)
        << "the line names the engine's log codes: " << run.err;
    EXPECT_FALSE(fs::exists(out));
}

// ---------------------------------------------------------------------------
// A coverage service: "dem" (described) and "ortho" (not).

std::string WcsCapabilities(const std::string& endpoint) {
    const std::string get = "<DCPType><HTTP><Get><OnlineResource xlink:href=\"" + endpoint + "\"/></Get></HTTP></DCPType>";
    const std::string box = "<lonLatEnvelope srsName=\"WGS84(DD)\"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></lonLatEnvelope>";
    return "<WCS_Capabilities version=\"1.0.0\"><Capability><Request><GetCapabilities>" + get +
           "</GetCapabilities><GetCoverage>" + get + "</GetCoverage></Request></Capability><ContentMetadata>"
           "<CoverageOfferingBrief><name>dem</name><label>Elevation</label>" + box + "</CoverageOfferingBrief>"
           "<CoverageOfferingBrief><name>ortho</name>" + box + "</CoverageOfferingBrief></ContentMetadata></WCS_Capabilities>";
}

const char* const kDemDescription = R"(<CoverageDescription version="1.0.0"><CoverageOffering><name>dem</name>
 <domainSet><spatialDomain><gml:Envelope srsName="EPSG:4326"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></gml:Envelope>
  <gml:RectifiedGrid dimension="2"><gml:limits><gml:GridEnvelope><gml:low>0 0</gml:low><gml:high>100 50</gml:high>
  </gml:GridEnvelope></gml:limits></gml:RectifiedGrid></spatialDomain></domainSet>
 <rangeSet><RangeSet><name>height</name><axisDescription><AxisDescription><name>Band</name>
  <values><singleValue>1</singleValue></values></AxisDescription></axisDescription>
  <nullValues><singleValue>-9999</singleValue></nullValues></RangeSet></rangeSet>
 <supportedCRSs><requestResponseCRSs>EPSG:4326 EPSG:3857</requestResponseCRSs></supportedCRSs>
 <supportedFormats nativeFormat="GeoTIFF"><formats>GeoTIFF</formats><formats>image/tiff</formats></supportedFormats>
 <supportedInterpolations default="bilinear"><interpolationMethod>bilinear</interpolationMethod></supportedInterpolations>
</CoverageOffering></CoverageDescription>)";

// A 6x3 Float32 GeoTIFF whose pixel i holds 1000.25 + 1.5 * i.
std::string FloatTiff() {
    GDALAllRegister();
    const char* path = "/vsimem/ogcweb_wfs_wcs_cli.tif";
    GDALDatasetH tiff = GDALCreate(GDALGetDriverByName("GTiff"), path, 6, 3, 1, GDT_Float32, nullptr);
    double values[18];
    for (int i = 0; i < 18; ++i) values[i] = 1000.25 + 1.5 * i;
    if (GDALRasterIO(GDALGetRasterBand(tiff, 1), GF_Write, 0, 0, 6, 3, values, 6, 3, GDT_Float64, 0, 0) != CE_None) return "";
    GDALClose(tiff);
    vsi_l_offset length = 0;
    GByte* bytes = VSIGetMemFileBuffer(path, &length, TRUE);
    std::string data(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    VSIFree(bytes);
    return data;
}

struct ScriptedWcs {
    ScriptedResponse coverage = ScriptedResponse::Ok(FloatTiff(), "image/tiff");
    ScriptedServer server;
    ScriptedWcs() {
        server.SetHandler([this](const ScriptedRequest& r) {
            const std::string request = r.Param("REQUEST");
            if (request == "GetCapabilities") return ScriptedResponse::Ok(WcsCapabilities(server.Url("/wcs")));
            if (request == "DescribeCoverage")
                return ScriptedResponse::Ok(r.Param("Coverage") == "dem" ? kDemDescription : "<ServiceExceptionReport/>");
            return coverage;
        });
    }
    std::string Url() const { return server.Url("/wcs"); }
};

TEST(OgcwebCoverageServiceCli, InfoShowsWhatTheServiceDescribed) {
    ScriptedWcs wcs;
    ScratchFolder folder;
    const CliResult run = RunOgcweb(folder, {"info", wcs.Url(), "--kind", "wcs"});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* line : {"  Elevation\n    type:    87 (coverage)\n", "      identifier:     dem\n",
                             "      grid:           100 x 50 cells\n", "      axes:           Band 1 (no data: -9999)\n",
                             "      crs:            EPSG:4326  0,40,10,50  (minx,miny,maxx,maxy)\n",
                             "\n                      EPSG:3857  0,4865942.27",  // every CRS on a line of its own
                             "      formats:        image/tiff\n", "      native format:  GeoTIFF\n",
                             "      interpolations: bilinear\n"})
        EXPECT_TRUE(Contains(run.out, line)) << line << "\n" << run.out;
    // An offering the service would not describe (dem has a grid and formats).
    EXPECT_TRUE(Contains(run.out, "  ortho\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "      grid:           0 x 0 cells\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "      formats:        none\n")) << run.out;
    EXPECT_FALSE(Contains(run.out, "layers:")) << "coverages have no layers";
}

TEST(OgcwebCoverageServiceCli, WritesTheGridAsSentWithItsGeoreference) {
    ScriptedWcs wcs;
    ScratchFolder folder;
    GDALAllRegister();
    // By identifier, and a coverage service by default.
    const std::string dem = folder.Path("dem.tif");
    CliResult run = RunOgcweb(folder, {"coverage", wcs.Url(), "--dataset", "dem", "--bbox", "2,42,8,48", "--size", "5x2", "-o", dem});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + dem + " (6x3, 1 band, Float32)\n");
    ASSERT_EQ(RequestsFor(wcs.server, "GetCoverage").size(), 1u);
    const ScriptedRequest asked = RequestsFor(wcs.server, "GetCoverage")[0];
    EXPECT_EQ(asked.Param("COVERAGE") + " " + asked.Param("BBOX"), "dem 2.000000,42.000000,8.000000,48.000000");
    GDALDatasetH grid = GDALOpen(dem.c_str(), GA_ReadOnly);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(GDALGetRasterDataType(GDALGetRasterBand(grid, 1)), GDT_Float32) << "32-bit floats stay floats";
    double values[18] = {};
    ASSERT_EQ(GDALRasterIO(GDALGetRasterBand(grid, 1), GF_Read, 0, 0, 6, 3, values, 6, 3, GDT_Float64, 0, 0), CE_None);
    for (int i = 0; i < 18; ++i) EXPECT_DOUBLE_EQ(values[i], 1000.25 + 1.5 * i) << "pixel " << i;
    // The requested box over the pixels the service sent.
    double transform[6] = {};
    ASSERT_EQ(GDALGetGeoTransform(grid, transform), CE_None);
    const double expected[6] = {2.0, 1.0, 0.0, 48.0, 0.0, -2.0};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(transform[i], expected[i]) << i;
    EXPECT_TRUE(Contains(GDALGetProjectionRef(grid), "4326")) << GDALGetProjectionRef(grid);
    GDALClose(grid);

    // By title in any case, the whole coverage when no region is given, every band kept.
    wcs.coverage = ScriptedResponse::Ok(ogctest::MakeImage("GTiff", 4, 4, 3), "image/tiff");
    const std::string rgb = folder.Path("rgb.tif");
    run = RunOgcweb(folder, {"coverage", wcs.Url(), "--dataset", "ELEVATION", "--size", "3x3", "-o", rgb});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + rgb + " (4x4, 3 bands, Byte)\n");
    EXPECT_EQ(wcs.server.LastRequest().Param("BBOX"), "0.000000,40.000000,10.000000,50.000000");
    grid = GDALOpen(rgb.c_str(), GA_ReadOnly);
    ASSERT_NE(grid, nullptr);
    EXPECT_EQ(GDALGetRasterCount(grid), 3);
    GDALClose(grid);
}

TEST(OgcwebCoverageServiceCli, FailuresEndWithOneLineAndNoFile) {
    ScriptedWcs wcs;
    ScratchFolder folder;
    const std::string tif = folder.Path("a.tif"), png = folder.Path("dem.png");
    // Floats do not fit a PNG: refused rather than squeezed into bytes.
    ExpectOneLine(RunOgcweb(folder, {"coverage", wcs.Url(), "--size", "4x4", "-o", png}), "Float32");
    EXPECT_FALSE(fs::exists(png));

    ExpectOneLine(RunOgcweb(folder, {"coverage", wcs.Url(), "--size", "4x4", "--bbox", "20,20,30,30", "-o", tif}),
                  "outside \"Elevation\"");
    EXPECT_EQ(RequestsFor(wcs.server, "GetCoverage").size(), 1u) << "no request for somewhere else";
    const CliResult unknown = RunOgcweb(folder, {"coverage", wcs.Url(), "--size", "4x4", "--dataset", "dtm", "-o", tif});
    ExpectOneLine(unknown, "no coverage named \"dtm\"");
    EXPECT_TRUE(Contains(unknown.err, "Elevation, ortho")) << unknown.err;

    wcs.coverage = ScriptedResponse::Ok("not a raster", "image/tiff");
    const CliResult broken = RunOgcweb(folder, {"coverage", wcs.Url(), "--size", "4x4", "-o", tif});
    ExpectOneLine(broken, "");
    EXPECT_EQ(broken.err.rfind("ogcweb: the service returned no coverage of \"Elevation\" (log: EIe010", 0), 0u) << broken.err;
    EXPECT_FALSE(fs::exists(tif));
}
