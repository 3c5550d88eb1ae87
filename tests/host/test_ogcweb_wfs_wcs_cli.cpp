// The ogcweb command-line host against scripted feature and coverage
// services, run as a real process: what info lists for them, the GeoJSON
// that features writes (read back with OGR) and the GeoTIFF that coverage
// writes (read back with GDAL).
#include "ScriptedServer.h"

#include "CliRunner.h"

#include <gtest/gtest.h>

#include <cpl_conv.h>
#include <cpl_vsi.h>
#include <gdal.h>
#include <ogr_api.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

extern char** environ;

namespace fs = std::filesystem;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

using ogctest::Contains;
using ogctest::LineCount;

struct Folder : ogctest::ScratchFolder {
    Folder() : ogctest::ScratchFolder("ogcweb-wfswcs") {}
};

using RunResult = ogctest::CliResult;

// Runs ogcweb with `args` plus the engine under test, a log and a temporary
// folder of the test's own; standard output and error go to files.
RunResult RunCli(const Folder& folder, std::vector<std::string> args) {
    for (const std::string& extra : {std::string("--plugin"), std::string(OGCWEB_PLUGIN_PATH), std::string("--log"),
                                     folder.Path("ogcweb.log"), std::string("--temp"), folder.Path("temp")})
        args.push_back(extra);
    return ogctest::RunProgram(OGCWEB_CLI_PATH, args, folder.Path(""));
}

// The requests a server received for one operation.
std::vector<ScriptedRequest> RequestsFor(const ScriptedServer& server, const std::string& operation) {
    std::vector<ScriptedRequest> found;
    for (const ScriptedRequest& request : server.Requests())
        if (request.Param("REQUEST") == operation) found.push_back(request);
    return found;
}

// ---------------------------------------------------------------------------
// A scripted feature service: one feature type of towns.

std::string WfsCapabilities(const std::string& endpoint) {
    return "<WFS_Capabilities version=\"1.0.0\"><Service><Name>WFS</Name></Service><Capability><Request>"
           "<DescribeFeatureType><SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>"
           "<DCPType><HTTP><Get onlineResource=\"" + endpoint + "\"/></HTTP></DCPType></DescribeFeatureType>"
           "<GetFeature><ResultFormat><GML2/></ResultFormat>"
           "<DCPType><HTTP><Get onlineResource=\"" + endpoint + "\"/></HTTP></DCPType></GetFeature>"
           "</Request></Capability><FeatureTypeList><Operations><Query/></Operations>"
           "<FeatureType><Name>ns:towns</Name><Title>Towns</Title><SRS>EPSG:4326</SRS>"
           "<LatLongBoundingBox minx=\"0\" miny=\"40\" maxx=\"10\" maxy=\"50\"/></FeatureType>"
           "</FeatureTypeList></WFS_Capabilities>";
}

const char* const kTownSchema = R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema">
 <xsd:complexType name="townsType"><xsd:complexContent><xsd:extension base="gml:AbstractFeatureType"><xsd:sequence>
  <xsd:element name="the_geom" type="gml:PointPropertyType"/>
  <xsd:element name="NAME" type="xsd:string"/>
  <xsd:element name="POP" type="xsd:integer"/>
  <xsd:element name="RATIO" type="xsd:double"/>
 </xsd:sequence></xsd:extension></xsd:complexContent></xsd:complexType>
 <xsd:element name="towns" type="ns:townsType"/>
</xsd:schema>)";

// `name` goes into the XML as it is: escape it for XML.
std::string Town(int id, double x, double y, const std::string& name, int pop, const std::string& ratio) {
    std::ostringstream text;
    text << "<gml:featureMember><ns:towns fid=\"towns." << id << "\"><ns:the_geom><gml:Point><gml:coordinates>" << x
         << "," << y << "</gml:coordinates></gml:Point></ns:the_geom><ns:NAME>" << name << "</ns:NAME><ns:POP>" << pop
         << "</ns:POP><ns:RATIO>" << ratio << "</ns:RATIO></ns:towns></gml:featureMember>";
    return text.str();
}

struct ScriptedWfs {
    std::map<int, std::string> towns{
        {1, Town(1, 1, 41, "Alpha", 100, "0.25")},
        // A quote, a backslash, a tab, an ampersand and two non-ASCII letters.
        {2, Town(2, 5.5, 45.25, "Be&quot;ta\\ &amp;\tS\xC3\xBC\xC3\x9F", 2000, "1e3")},
        {3, Town(3, 9, 49, "Gamma", 30000, "")},
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
                                            "</ServiceExceptionReport>",
                                            "application/vnd.ogc.se_xml");
            std::string members;
            const std::string wanted = r.Param("FEATUREID");
            for (const auto& [id, town] : towns)
                if (wanted.empty() || Contains("," + wanted + ",", ",towns." + std::to_string(id) + ","))
                    members += town;
            return ScriptedResponse::Ok(
                "<wfs:FeatureCollection xmlns:wfs=\"http://www.opengis.net/wfs\" xmlns:gml=\"http://www.opengis.net/gml\">"
                "<gml:boundedBy><gml:Box srsName=\"EPSG:4326\"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box>"
                "</gml:boundedBy>" + members + "</wfs:FeatureCollection>");
        });
    }
    std::string Url() const { return server.Url("/wfs"); }
};

// A GeoJSON file as OGR reads it: its features' fields as text, their
// geometries as WKT and the fields' OGR types.
struct ReadBack {
    bool opened = false;
    std::vector<std::map<std::string, std::string>> features;
    std::vector<std::string> geometries;
    std::vector<long long> ids;
    std::map<std::string, OGRFieldType> types;
};

ReadBack ReadGeoJson(const std::string& path) {
    ReadBack back;
    OGRRegisterAll();
    OGRDataSourceH source = OGROpen(path.c_str(), FALSE, nullptr);
    if (!source) return back;
    back.opened = OGR_DS_GetLayerCount(source) == 1;
    OGRLayerH layer = back.opened ? OGR_DS_GetLayer(source, 0) : nullptr;
    if (layer) {
        OGRFeatureDefnH definition = OGR_L_GetLayerDefn(layer);
        for (int i = 0; i < OGR_FD_GetFieldCount(definition); ++i) {
            OGRFieldDefnH field = OGR_FD_GetFieldDefn(definition, i);
            back.types[OGR_Fld_GetNameRef(field)] = OGR_Fld_GetType(field);
        }
        OGR_L_ResetReading(layer);
        while (OGRFeatureH feature = OGR_L_GetNextFeature(layer)) {
            std::map<std::string, std::string> values;
            for (int i = 0; i < OGR_F_GetFieldCount(feature); ++i)
                values[OGR_Fld_GetNameRef(OGR_F_GetFieldDefnRef(feature, i))] =
                    OGR_F_IsFieldSetAndNotNull(feature, i) ? OGR_F_GetFieldAsString(feature, i) : "<null>";
            back.features.push_back(values);
            back.ids.push_back(OGR_F_GetFID(feature));
            std::string wkt = "<none>";
            if (OGRGeometryH geometry = OGR_F_GetGeometryRef(feature)) {
                char* text = nullptr;
                if (OGR_G_ExportToWkt(geometry, &text) == OGRERR_NONE && text) wkt = text;
                CPLFree(text);
            }
            back.geometries.push_back(wkt);
            OGR_F_Destroy(feature);
        }
    }
    OGR_DS_Destroy(source);
    return back;
}

// ---------------------------------------------------------------------------
// info and features against the feature service

TEST(OgcwebFeatureServiceCli, InfoListsTheTypeAndTheFieldsWithTheirTypes) {
    ScriptedWfs wfs;
    Folder folder;
    RunResult run = RunCli(folder, {"info", wfs.Url(), "--kind", "wfs"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "service:  wfs\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, "  Towns\n    type:    1 (points)\n")) << run.out;
    // name, type: read word by word, so that the padding does not matter.
    std::map<std::string, std::string> fields;
    std::istringstream lines(run.out.substr(std::min(run.out.size(), run.out.find("    fields:"))));
    std::string line;
    std::getline(lines, line);
    EXPECT_TRUE(Contains(line, "fields:  ")) << run.out;
    while (std::getline(lines, line) && line.rfind("      ", 0) == 0) {
        std::istringstream words(line);
        std::string name, type;
        words >> name >> type;
        fields[name] = type;
    }
    EXPECT_EQ(fields["NAME"], "Text(256)") << run.out;
    EXPECT_EQ(fields["POP"], "Int32") << run.out;
    EXPECT_EQ(fields["RATIO"], "Double") << run.out;
    EXPECT_EQ(fields["ZKID"], "Int32") << "the engine's system fields are listed as the engine has them";
    EXPECT_FALSE(Contains(run.out, "log:")) << run.out;
}

TEST(OgcwebFeatureServiceCli, WritesEveryFeatureAsGeoJsonThatOgrReadsBack) {
    ScriptedWfs wfs;
    Folder folder;
    const std::string out = folder.Path("towns.geojson");
    // No --kind: this command opens feature services by default.
    RunResult run = RunCli(folder, {"features", wfs.Url(), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + out + " (3 features)\n");
    EXPECT_EQ(run.err, "");
    for (const ScriptedRequest& request : wfs.server.Requests())
        EXPECT_EQ(request.Param("SERVICE"), "WFS") << request.target;
    const auto downloads = RequestsFor(wfs.server, "GetFeature");
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].Param("BBOX"), "0.000000,40.000000,10.000000,50.000000") << "the dataset's bounds";

    const ReadBack back = ReadGeoJson(out);
    ASSERT_TRUE(back.opened) << ogctest::ReadFile(out);
    ASSERT_EQ(back.features.size(), 3u) << ogctest::ReadFile(out);
    EXPECT_EQ(back.features[0].at("NAME"), "Alpha");
    EXPECT_EQ(back.features[0].at("fid"), "towns.1");
    EXPECT_EQ(back.features[1].at("NAME"), "Be\"ta\\ &\tS\xC3\xBC\xC3\x9F") << "escaped and read back unchanged";
    EXPECT_EQ(back.features[2].at("POP"), "30000");
    EXPECT_EQ(back.features[1].at("RATIO"), "1000");
    EXPECT_EQ(back.features[2].at("RATIO"), "<null>") << "an empty number is null, not \"\"";
    EXPECT_EQ(back.types.at("POP"), OFTInteger) << "integers are written as numbers";
    EXPECT_EQ(back.types.at("RATIO"), OFTReal);
    EXPECT_EQ(back.types.at("NAME"), OFTString);
    EXPECT_EQ(back.types.size(), 4u) << "fid and the three attributes";
    EXPECT_EQ(back.ids, (std::vector<long long>{1, 2, 3}));
    EXPECT_EQ(back.geometries[0], "POINT (1 41)");
    EXPECT_EQ(back.geometries[1], "POINT (5.5 45.25)");
}

TEST(OgcwebFeatureServiceCli, SelectsByRegionIdentifiersOrCondition) {
    ScriptedWfs wfs;
    Folder folder;
    const std::string out = folder.Path("some.geojson");

    RunResult region = RunCli(folder, {"features", wfs.Url(), "--bbox", "4,44,6,46", "-o", out});
    ASSERT_EQ(region.status, 0) << region.err;
    EXPECT_EQ(RequestsFor(wfs.server, "GetFeature").back().Param("BBOX"), "4.000000,44.000000,6.000000,46.000000");
    ReadBack back = ReadGeoJson(out);
    ASSERT_EQ(back.features.size(), 1u) << ogctest::ReadFile(out);
    EXPECT_EQ(back.features[0].at("POP"), "2000");

    RunResult ids = RunCli(folder, {"features", wfs.Url(), "--dataset", "TOWNS", "--ids", "3,1", "-o", out});
    ASSERT_EQ(ids.status, 0) << ids.err;
    EXPECT_EQ(ids.out, "wrote " + out + " (2 features)\n");
    EXPECT_EQ(RequestsFor(wfs.server, "GetFeature").back().Param("FEATUREID"), "towns.3,towns.1");
    back = ReadGeoJson(out);
    ASSERT_EQ(back.features.size(), 2u);
    std::vector<std::string> names = {back.features[0].at("NAME"), back.features[1].at("NAME")};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"Alpha", "Gamma"}));

    RunResult condition = RunCli(folder, {"features", wfs.Url(), "--filter", "POP >= 2000 AND NAME <> 'Gamma'", "-o", out});
    ASSERT_EQ(condition.status, 0) << condition.err;
    back = ReadGeoJson(out);
    ASSERT_EQ(back.features.size(), 1u) << ogctest::ReadFile(out);
    EXPECT_EQ(back.features[0].at("POP"), "2000");
}

TEST(OgcwebFeatureServiceCli, NothingSelectedIsAnEmptyCollection) {
    ScriptedWfs wfs;
    wfs.towns.clear();
    Folder folder;
    const std::string out = folder.Path("none.geojson");
    RunResult run = RunCli(folder, {"features", wfs.Url(), "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + out + " (0 features)\n");
    const ReadBack back = ReadGeoJson(out);
    EXPECT_TRUE(back.opened) << ogctest::ReadFile(out);
    EXPECT_TRUE(back.features.empty());
}

TEST(OgcwebFeatureServiceCli, MistakesAndFailuresEndWithOneLine) {
    ScriptedWfs wfs;
    Folder folder;
    const std::string out = folder.Path("x.geojson");
    // Lines that cannot be run: nothing is asked of the service.
    const std::vector<std::vector<std::string>> usage = {
        {"features", wfs.Url()},                                              // no -o
        {"features", wfs.Url(), "-o", folder.Path("x.txt")},                  // not GeoJSON
        {"features", wfs.Url(), "-o", out, "--bbox", "0,0,1,1", "--ids", "2"},
        {"features", wfs.Url(), "-o", out, "--ids", "2,x"},
        {"features", wfs.Url(), "-o", out, "--ids", "0"},
        {"features", wfs.Url(), "-o", out, "--filter", " "},
    };
    for (const auto& args : usage) {
        RunResult run = RunCli(folder, args);
        EXPECT_EQ(run.status, 2) << args.back() << ": " << run.err;
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
    }
    EXPECT_EQ(wfs.server.RequestCount(), 0u);

    RunResult unknown = RunCli(folder, {"features", wfs.Url(), "--dataset", "Villages", "-o", out});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(LineCount(unknown.err), 1) << unknown.err;
    EXPECT_TRUE(Contains(unknown.err, "no feature dataset named \"Villages\"")) << unknown.err;
    EXPECT_TRUE(Contains(unknown.err, "Towns")) << "the known datasets are named: " << unknown.err;

    RunResult outside = RunCli(folder, {"features", wfs.Url(), "--bbox", "20,20,30,30", "-o", out});
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(Contains(outside.err, "outside \"Towns\"")) << outside.err;

    RunResult badFilter = RunCli(folder, {"features", wfs.Url(), "--filter", "NOSUCH > 1", "-o", out});
    EXPECT_EQ(badFilter.status, 1);
    EXPECT_EQ(LineCount(badFilter.err), 1) << badFilter.err;

    wfs.failFeatures = true;
    RunResult broken = RunCli(folder, {"features", wfs.Url(), "-o", out});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(LineCount(broken.err), 1) << broken.err;
    EXPECT_EQ(broken.err.rfind("ogcweb: the service returned no features of \"Towns\" (log: ", 0), 0u)
        << "the line names the engine's log codes: " << broken.err;
    EXPECT_TRUE(Contains(broken.err, folder.Path("ogcweb.log"))) << broken.err;
    EXPECT_FALSE(fs::exists(out)) << "no file from a failed run";

    // The default kind is only a default.
    RunResult asMap = RunCli(folder, {"features", wfs.Url(), "--kind", "wms", "-o", out});
    EXPECT_EQ(asMap.status, 1);
    EXPECT_EQ(wfs.server.LastRequest().Param("SERVICE"), "WMS");
}

// ---------------------------------------------------------------------------
// A scripted coverage service: "dem" (described) and "ortho" (not).

std::string WcsCapabilities(const std::string& endpoint) {
    return R"xml(<WCS_Capabilities version="1.0.0"><Service><name>WCS</name><label>Scripted</label></Service>
<Capability><Request>
 <GetCapabilities><DCPType><HTTP><Get><OnlineResource xlink:href=")xml" + endpoint + R"xml("/></Get></HTTP></DCPType></GetCapabilities>
 <GetCoverage><DCPType><HTTP><Get><OnlineResource xlink:href=")xml" + endpoint + R"xml("/></Get></HTTP></DCPType></GetCoverage>
</Request></Capability>
<ContentMetadata>
 <CoverageOfferingBrief><name>dem</name><label>Elevation</label>
  <lonLatEnvelope srsName="WGS84(DD)"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></lonLatEnvelope>
 </CoverageOfferingBrief>
 <CoverageOfferingBrief><name>ortho</name>
  <lonLatEnvelope srsName="WGS84(DD)"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></lonLatEnvelope>
 </CoverageOfferingBrief>
</ContentMetadata></WCS_Capabilities>)xml";
}

const char* const kDemDescription = R"(<CoverageDescription version="1.0.0">
 <CoverageOffering><name>dem</name><label>Elevation</label>
  <domainSet><spatialDomain>
   <gml:Envelope srsName="EPSG:4326"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></gml:Envelope>
   <gml:RectifiedGrid dimension="2"><gml:limits><gml:GridEnvelope><gml:low>0 0</gml:low><gml:high>100 50</gml:high>
   </gml:GridEnvelope></gml:limits></gml:RectifiedGrid>
  </spatialDomain></domainSet>
  <rangeSet><RangeSet><name>height</name><axisDescription><AxisDescription><name>Band</name>
   <values><singleValue>1</singleValue></values></AxisDescription></axisDescription>
   <nullValues><singleValue>-9999</singleValue></nullValues></RangeSet></rangeSet>
  <supportedCRSs><requestResponseCRSs>EPSG:4326 EPSG:3857</requestResponseCRSs></supportedCRSs>
  <supportedFormats nativeFormat="GeoTIFF"><formats>GeoTIFF</formats><formats>image/tiff</formats></supportedFormats>
  <supportedInterpolations default="bilinear"><interpolationMethod>bilinear</interpolationMethod>
  </supportedInterpolations>
 </CoverageOffering>
</CoverageDescription>)";

// A GeoTIFF of `bands` bands of `type`: band b, pixel i holds
// 1000.25 + 1.5 * i + 100 * (b - 1) (truncated to bytes for Byte).
std::string CoverageTiff(int width, int height, int bands, GDALDataType type) {
    GDALAllRegister();
    const char* path = "/vsimem/ogcweb_wfs_wcs_cli.tif";
    GDALDatasetH tiff = GDALCreate(GDALGetDriverByName("GTiff"), path, width, height, bands, type, nullptr);
    if (!tiff) return std::string();
    for (int band = 1; band <= bands; ++band) {
        std::vector<double> values(static_cast<size_t>(width) * height);
        for (size_t i = 0; i < values.size(); ++i)
            values[i] = type == GDT_Byte ? static_cast<double>((i * 7 + 50 * band) % 256) : 1000.25 + 1.5 * i + 100 * (band - 1);
        if (GDALRasterIO(GDALGetRasterBand(tiff, band), GF_Write, 0, 0, width, height, values.data(), width, height,
                         GDT_Float64, 0, 0) != CE_None) {
            GDALClose(tiff);
            return std::string();
        }
    }
    GDALClose(tiff);
    vsi_l_offset length = 0;
    GByte* bytes = VSIGetMemFileBuffer(path, &length, TRUE);
    std::string data(reinterpret_cast<const char*>(bytes), static_cast<size_t>(length));
    VSIFree(bytes);
    return data;
}

struct ScriptedWcs {
    ScriptedResponse coverage = ScriptedResponse::Ok(CoverageTiff(6, 3, 1, GDT_Float32), "image/tiff");
    ScriptedServer server;
    ScriptedWcs() {
        server.SetHandler([this](const ScriptedRequest& r) {
            const std::string request = r.Param("REQUEST");
            if (request == "GetCapabilities") return ScriptedResponse::Ok(WcsCapabilities(server.Url("/wcs")));
            if (request == "DescribeCoverage")
                return r.Param("Coverage") == "dem" ? ScriptedResponse::Ok(kDemDescription)
                                                     : ScriptedResponse::Ok("<ServiceExceptionReport/>");
            return coverage;
        });
    }
    std::string Url() const { return server.Url("/wcs"); }
};

// A GeoTIFF as GDAL reads it.
struct Grid {
    bool opened = false;
    int width = 0, height = 0, bands = 0;
    GDALDataType type = GDT_Unknown;
    double transform[6] = {0, 0, 0, 0, 0, 0};
    std::string projection;
    std::vector<std::vector<double>> values;  // per band
};

Grid ReadGrid(const std::string& path) {
    Grid grid;
    GDALAllRegister();
    GDALDatasetH data = GDALOpen(path.c_str(), GA_ReadOnly);
    if (!data) return grid;
    grid.opened = true;
    grid.width = GDALGetRasterXSize(data);
    grid.height = GDALGetRasterYSize(data);
    grid.bands = GDALGetRasterCount(data);
    if (grid.bands > 0) grid.type = GDALGetRasterDataType(GDALGetRasterBand(data, 1));
    GDALGetGeoTransform(data, grid.transform);
    grid.projection = GDALGetProjectionRef(data);
    for (int band = 1; band <= grid.bands; ++band) {
        std::vector<double> values(static_cast<size_t>(grid.width) * grid.height);
        if (GDALRasterIO(GDALGetRasterBand(data, band), GF_Read, 0, 0, grid.width, grid.height, values.data(),
                         grid.width, grid.height, GDT_Float64, 0, 0) != CE_None)
            values.clear();
        grid.values.push_back(values);
    }
    GDALClose(data);
    return grid;
}

TEST(OgcwebCoverageServiceCli, InfoShowsWhatTheServiceDescribed) {
    ScriptedWcs wcs;
    Folder folder;
    RunResult run = RunCli(folder, {"info", wcs.Url(), "--kind", "wcs"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string dem = run.out.substr(0, run.out.find("  ortho\n"));
    EXPECT_TRUE(Contains(dem, "  Elevation\n    type:    87 (coverage)\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "      identifier:     dem\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "      grid:           100 x 50 cells\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "      axes:           Band 1 (no data: -9999)\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "      crs:            EPSG:4326  0,40,10,50  (minx,miny,maxx,maxy)\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "\n                      EPSG:3857  0,4865942.27")) << "every CRS on a line: " << run.out;
    EXPECT_TRUE(Contains(dem, "      formats:        image/tiff\n")) << "the native format is apart: " << run.out;
    EXPECT_TRUE(Contains(dem, "      native format:  GeoTIFF\n")) << run.out;
    EXPECT_TRUE(Contains(dem, "      interpolations: bilinear\n")) << run.out;
    // An offering the service would not describe.
    const std::string ortho = run.out.substr(std::min(run.out.size(), run.out.find("  ortho\n")));
    EXPECT_TRUE(Contains(ortho, "      grid:           0 x 0 cells\n")) << run.out;
    EXPECT_TRUE(Contains(ortho, "      formats:        none\n")) << run.out;
    EXPECT_FALSE(Contains(run.out, "layers:")) << "coverages have no layers";
    EXPECT_FALSE(Contains(run.out, "log:")) << "nor are they asked for any: " << run.out;
}

TEST(OgcwebCoverageServiceCli, WritesTheGridAsSentWithItsGeoreference) {
    ScriptedWcs wcs;
    Folder folder;
    const std::string out = folder.Path("dem.tif");
    // By identifier, and without --kind: this command opens coverage services.
    RunResult run = RunCli(folder, {"coverage", wcs.Url(), "--dataset", "dem", "--bbox", "2,42,8,48", "--size", "5x2",
                                    "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + out + " (6x3, 1 band, Float32)\n");
    const auto downloads = RequestsFor(wcs.server, "GetCoverage");
    ASSERT_EQ(downloads.size(), 1u);
    EXPECT_EQ(downloads[0].Param("SERVICE"), "WCS");
    EXPECT_EQ(downloads[0].Param("COVERAGE"), "dem");
    EXPECT_EQ(downloads[0].Param("BBOX"), "2.000000,42.000000,8.000000,48.000000");
    EXPECT_EQ(downloads[0].Param("FORMAT"), "image/tiff");

    const Grid grid = ReadGrid(out);
    ASSERT_TRUE(grid.opened);
    ASSERT_EQ(grid.bands, 1);
    EXPECT_EQ(grid.type, GDT_Float32) << "32-bit floats stay floats";
    ASSERT_EQ(grid.values[0].size(), 18u);
    for (size_t i = 0; i < 18; ++i) EXPECT_DOUBLE_EQ(grid.values[0][i], 1000.25 + 1.5 * i) << "pixel " << i;
    // The requested box over the pixels the service sent.
    const double expected[6] = {2.0, 1.0, 0.0, 48.0, 0.0, -2.0};
    for (int i = 0; i < 6; ++i) EXPECT_DOUBLE_EQ(grid.transform[i], expected[i]) << i;
    EXPECT_TRUE(Contains(grid.projection, "4326")) << grid.projection;
}

TEST(OgcwebCoverageServiceCli, KeepsEveryBandAndFindsTheCoverageByItsName) {
    ScriptedWcs wcs;
    wcs.coverage = ScriptedResponse::Ok(CoverageTiff(4, 4, 3, GDT_Byte), "image/tiff");
    Folder folder;
    const std::string out = folder.Path("rgb.tif");
    // The whole coverage when no region is given.
    RunResult run = RunCli(folder, {"coverage", wcs.Url(), "--dataset", "ELEVATION", "--size", "3x3", "-o", out});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "wrote " + out + " (4x4, 3 bands, Byte)\n");
    EXPECT_EQ(wcs.server.LastRequest().Param("BBOX"), "0.000000,40.000000,10.000000,50.000000");
    const Grid grid = ReadGrid(out);
    ASSERT_EQ(grid.bands, 3);
    EXPECT_EQ(grid.type, GDT_Byte);
    for (int band = 0; band < 3; ++band)
        for (size_t i = 0; i < 16; ++i)
            EXPECT_EQ(grid.values[static_cast<size_t>(band)][i], static_cast<double>((i * 7 + 50 * (band + 1)) % 256))
                << "band " << band + 1 << " pixel " << i;
}

TEST(OgcwebCoverageServiceCli, MistakesAndFailuresEndWithOneLine) {
    ScriptedWcs wcs;
    Folder folder;
    const std::vector<std::vector<std::string>> usage = {
        {"coverage", wcs.Url(), "-o", folder.Path("a.tif")},                           // no --size
        {"coverage", wcs.Url(), "--size", "4x4"},                                      // no -o
        {"coverage", wcs.Url(), "--size", "4x4", "-o", folder.Path("a.gif")},
        {"coverage", wcs.Url(), "--size", "4x4", "-o", folder.Path("a.tif"), "--bbox", "3,3,1,1"},
    };
    for (const auto& args : usage) {
        RunResult run = RunCli(folder, args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(LineCount(run.err), 1) << run.err;
    }
    EXPECT_EQ(wcs.server.RequestCount(), 0u);

    // Floats do not fit a PNG: refused rather than squeezed into bytes.
    const std::string png = folder.Path("dem.png");
    RunResult floats = RunCli(folder, {"coverage", wcs.Url(), "--size", "4x4", "-o", png});
    EXPECT_EQ(floats.status, 1);
    EXPECT_TRUE(Contains(floats.err, "Float32")) << floats.err;
    EXPECT_FALSE(fs::exists(png));

    RunResult outside = RunCli(folder, {"coverage", wcs.Url(), "--size", "4x4", "--bbox", "20,20,30,30", "-o",
                                        folder.Path("a.tif")});
    EXPECT_EQ(outside.status, 1);
    EXPECT_TRUE(Contains(outside.err, "outside \"Elevation\"")) << outside.err;
    EXPECT_EQ(RequestsFor(wcs.server, "GetCoverage").size(), 1u) << "no request for somewhere else";

    RunResult unknown = RunCli(folder, {"coverage", wcs.Url(), "--size", "4x4", "--dataset", "dtm", "-o", folder.Path("a.tif")});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_TRUE(Contains(unknown.err, "no coverage named \"dtm\"")) << unknown.err;
    EXPECT_TRUE(Contains(unknown.err, "Elevation, ortho")) << unknown.err;

    wcs.coverage = ScriptedResponse::Ok("not a raster", "image/tiff");
    RunResult broken = RunCli(folder, {"coverage", wcs.Url(), "--size", "4x4", "-o", folder.Path("a.tif")});
    EXPECT_EQ(broken.status, 1);
    EXPECT_EQ(LineCount(broken.err), 1) << broken.err;
    EXPECT_EQ(broken.err.rfind("ogcweb: the service returned no coverage of \"Elevation\" (log: EIe010", 0), 0u)
        << broken.err;
    EXPECT_FALSE(fs::exists(folder.Path("a.tif")));
}

} // namespace
