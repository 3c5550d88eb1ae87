// The WCS dataset against a scripted coverage service: the description it
// reads, the GetCoverage requests it builds, and what it imports.
#include "OGCCapabilities.h"
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWCS.h"

#include <gtest/gtest.h>

#include <memory>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

const char* kDescription = R"(<CoverageDescription version="1.0.0">
 <CoverageOffering><name>other</name><supportedFormats nativeFormat="X"><formats>ignored</formats></supportedFormats>
 </CoverageOffering>
 <CoverageOffering><name>DEM</name><label>Elevation</label>
  <domainSet><spatialDomain>
   <gml:Envelope srsName="EPSG:4326"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></gml:Envelope>
   <gml:RectifiedGrid dimension="2"><gml:limits><gml:GridEnvelope><gml:low>0 0</gml:low><gml:high>100 100</gml:high>
   </gml:GridEnvelope></gml:limits></gml:RectifiedGrid>
  </spatialDomain></domainSet>
  <rangeSet>
   <RangeSet><name>bands</name><axisDescription><AxisDescription><name>Band</name>
    <values><interval><min>1</min><max>3</max></interval></values></AxisDescription></axisDescription>
    <nullValues><singleValue>-9999</singleValue></nullValues></RangeSet>
   <RangeSet><axisDescription><AxisDescription><name>Time</name>
    <values><interval><min>1</min><max>3</max></interval><singleValue>5</singleValue></values>
   </AxisDescription></axisDescription></RangeSet>
  </rangeSet>
  <supportedCRSs><requestResponseCRSs>EPSG:4326 EPSG:3857</requestResponseCRSs>
   <requestResponseCRSs> EPSG:32632 </requestResponseCRSs></supportedCRSs>
  <supportedFormats nativeFormat="GeoTIFF"><formats>GeoTIFF</formats><formats> image/tiff </formats></supportedFormats>
  <supportedInterpolations default="nearest neighbor"><interpolationMethod>bilinear</interpolationMethod>
  </supportedInterpolations>
 </CoverageOffering>
 <CoverageOffering><supportedInterpolations default=" bilinear "/></CoverageOffering>
</CoverageDescription>)";

struct ScriptedWCS {
    std::string description = kDescription;
    ScriptedResponse coverage = ScriptedResponse::Ok(ogctest::MakeImage("GTiff", 101, 101, 1), "image/tiff");
    ScriptedServer server;
    ScriptedWCS() {
        server.SetHandler([this](const ScriptedRequest& r) {
            std::string request = r.Param("REQUEST");
            if (request == "GetCapabilities")
                return ScriptedResponse::Ok(ogctest::WcsCapabilities(
                    server.Url("/wcs"), server.Url("/wcs"),
                    ogctest::WcsOffering("dem", "Elevation") + ogctest::WcsOffering("ortho", "")));
            if (request == "DescribeCoverage")
                return r.Param("Coverage") == "dem" ? ScriptedResponse::Ok(description)
                                                     : ScriptedResponse::Ok("<ServiceExceptionReport/>");
            return coverage;
        });
    }
};

struct WCSTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    VmDataSourceOGC source;
    VmDatasetRasterWCS* dem = nullptr;

    void Open(ScriptedWCS& wcs) {
        source.GetConnectionInfo().Server = wcs.server.Url("/wcs").c_str();
        source.GetConnectionInfo().ServiceKind = "wcs";
        source.GetConnectionInfo().User = "u";
        source.GetConnectionInfo().Password = "p";
        ASSERT_TRUE(source.Open());
        ASSERT_EQ(source.GetDatasetCount(), 2);
        dem = dynamic_cast<VmDatasetRasterWCS*>(source.GetDataset(0));
        ASSERT_NE(dem, nullptr);
    }
};

} // namespace

TEST_F(WCSTest, DescriptionOfTheNamedOfferingsIsRead) {
    ScriptedWCS wcs;
    Open(wcs);
    EXPECT_EQ(dem->GetName(), "Elevation");
    EXPECT_EQ(dem->GetBounds(), PlxRect2D(0, 50, 10, 40));
    EXPECT_EQ(dem->GetEnvelope().Name, "EPSG:4326");
    EXPECT_EQ(dem->GetEnvelope().Rect, PlxRect2D(0, 50, 10, 40));
    EXPECT_EQ(dem->GetGridWidth(), 100);
    EXPECT_EQ(dem->GetGridHeight(), 100);

    const auto& axes = dem->GetAxisDescriptions();
    ASSERT_EQ(axes.GetSize(), 2);
    EXPECT_EQ(axes[0].name, "Band");
    EXPECT_EQ(axes[0].min, 1);
    EXPECT_EQ(axes[0].max, 3);
    EXPECT_EQ(axes[0].nullValue, -9999);
    EXPECT_EQ(axes[1].min, 5) << "a single value after an interval wins";
    EXPECT_EQ(axes[1].nullValue, 0);

    const VmCRSBounds& crs = dem->GetCRSBounds();
    ASSERT_EQ(crs.GetSize(), 3);
    EXPECT_EQ(crs[0].Name, "EPSG:4326");
    EXPECT_EQ(crs[0].Rect, PlxRect2D(0, 50, 10, 40)) << "WGS84(DD) is longitude/latitude";
    EXPECT_EQ(crs[1].Name, "EPSG:3857");
    EXPECT_NEAR(crs[1].Rect.right, 1113194.9, 1.0);
    EXPECT_EQ(crs[2].Name, "EPSG:32632");

    EXPECT_EQ(dem->GetNativeFormat(), "GeoTIFF");
    ASSERT_EQ(dem->GetFormats().GetSize(), 1);
    EXPECT_EQ(dem->GetFormats()[0], "image/tiff");
    const auto& methods = dem->GetInterpolations();
    ASSERT_EQ(methods.GetSize(), 3) << "an unnamed offering after a read one is read too";
    EXPECT_EQ(methods[0], "nearest");
    EXPECT_EQ(methods[1], "neighbor");
    EXPECT_EQ(methods[2], "bilinear");

    // Descriptions go to the capabilities address, without credentials.
    ScriptedRequest describe = wcs.server.Requests()[2];
    EXPECT_EQ(describe.target, "/wcs?SERVICE=WCS&VERSION=1.0.0&REQUEST=DescribeCoverage&Coverage=dem");
    EXPECT_FALSE(describe.HasHeader("Authorization"));

    auto* ortho = dynamic_cast<VmDatasetRasterWCS*>(source.GetDataset(1));
    EXPECT_EQ(ortho->GetName(), "ortho") << "no title: named by its name";
    EXPECT_EQ(ortho->GetGridWidth(), 0) << "an exception report describes nothing";
    EXPECT_EQ(log.Total(), 0);
    EXPECT_EQ(temp.Files().size(), 1u) << "only a description that failed to read stays behind";
}

TEST_F(WCSTest, GetCoverageRequestAndImport) {
    ScriptedWCS wcs;
    Open(wcs);
    VmDatasetRaster* raster = dem->GetDatasetRaster(PlxRect2D(2, 48, 8, 42), 100, 100, "image/png");
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(wcs.server.LastRequest().target,
              "/wcs?SERVICE=WCS&VERSION=1.0.0&REQUEST=GetCoverage&COVERAGE=dem&Band=1/3&Time=5&CRS=EPSG:4326"
              "&BBOX=2.000000,42.000000,8.000000,48.000000&FORMAT=image/tiff&INTERPOLATION=nearest+neighbor+bilinear&"
              "WIDTH=101&HEIGHT=101&");
    EXPECT_EQ(wcs.server.LastRequest().Header("Authorization"), "Basic dTpw");
    EXPECT_EQ(raster->GetWidth(), 101);
    EXPECT_EQ(raster->GetBounds(), PlxRect2D(2, 48, 8, 42));
    EXPECT_EQ(temp.Files().size(), 1u) << "only the unread description of the other offering";

    // Outside parts are clipped; a box smaller than a cell becomes one cell.
    dem->GetDatasetRaster(PlxRect2D(-20, 60, 1, 49), 10, 10, "");
    EXPECT_EQ(wcs.server.LastRequest().Param("BBOX"), "0.000000,49.000000,1.000000,50.000000");
    dem->GetDatasetRaster(PlxRect2D(5.01, 45.02, 5.02, 45.01), 10, 10, "");
    EXPECT_EQ(wcs.server.LastRequest().Param("BBOX"), "4.965000,44.965000,5.065000,45.065000");

    VmDatasetRaster* own = dem->GetDatasetRaster(PlxMBString(wcs.server.Url("/wcs?FORMAT=image/tiff&BBOX=1,1,2,2&").c_str()));
    ASSERT_NE(own, nullptr);
    EXPECT_EQ(own->GetBounds(), PlxRect2D(0, 50, 10, 40)) << "a caller's URL is placed on the first CRS bound";
}

TEST_F(WCSTest, RefusalsWithoutADescriptionOrLayers) {
    ScriptedWCS wcs;
    Open(wcs);
    auto* ortho = dynamic_cast<VmDatasetRasterWCS*>(source.GetDataset(1));
    const size_t before = wcs.server.RequestCount();
    EXPECT_EQ(ortho->GetDatasetRaster(PlxRect2D(2, 48, 8, 42), 10, 10, ""), nullptr);
    EXPECT_EQ(wcs.server.RequestCount(), before) << "no request without a description";

    // A coverage has no layers: each layer call logs its own code.
    VmLogFile::GetInstance(false).ClearEntries();
    PlxArray<PlxMBString> names;
    PlxArray<int> indexes;
    EXPECT_FALSE(dem->GetAllLayerNames(names));
    EXPECT_FALSE(dem->GetAllLayerTitles(names));
    EXPECT_FALSE(dem->GetAllLayerIndexes(indexes));
    EXPECT_FALSE(dem->GetVisibleLayerNames(names));
    EXPECT_FALSE(dem->GetVisibleLayerTitles(names));
    EXPECT_FALSE(dem->GetVisibleLayerIndexes(indexes));
    EXPECT_FALSE(dem->SetVisibleLayers(names));
    EXPECT_FALSE(dem->SetVisibleLayers(indexes));
    const char* codes[] = {"ELg048", "ELg047", "ELg046", "ELg045", "ELg044", "ELg043", "ELg042", "ELg042"};
    auto entries = VmLogFile::GetInstance(false).Entries();
    ASSERT_EQ(entries.size(), 8u);
    for (size_t i = 0; i < 8; ++i) {
        EXPECT_EQ(entries[i].code, codes[i]);
        EXPECT_EQ(entries[i].level, 300);
    }
    EXPECT_FALSE(VmDatasetRasterWCS().initCoverage(nullptr));
}
