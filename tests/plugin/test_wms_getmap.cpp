// GetMap requests and image import against a scripted WMS on loopback: the
// URL each version sends, what each kind of answer gives, and what is logged
// and left behind.
#include "OGCCapabilities.h"
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDatasetRasterWMS.h"
#include "VmDataSourceOGC.h"
#include "VmOGCRequest.h"

#include <gtest/gtest.h>

#include <memory>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

// A WMS that speaks one version and answers map requests from a script.
struct ScriptedWMS {
    std::string version;
    std::vector<std::string> formats{"image/png", "image/jpeg"};
    ScriptedResponse mapAnswer = ScriptedResponse::Ok(ogctest::MakeImage("PNG", 256, 128), "image/png");
    ScriptedServer server;

    explicit ScriptedWMS(std::string v) : version(std::move(v)) {
        server.SetHandler([this](const ScriptedRequest& r) {
            if (!ogctest::IsRequest(r, "GetCapabilities")) return mapAnswer;
            return ScriptedResponse::Ok(ogctest::WmsCapabilities(
                version, server.Url("/map"), formats, ogctest::WmsLayer("A", true) + ogctest::WmsLayer("B", false)));
        });
    }
};

struct GetMapTest : ::testing::Test {
    TempFolder temp;
    LogCapture log;
    std::unique_ptr<VmDataSourceOGC> source{new VmDataSourceOGC()};

    VmDatasetRasterWMS* Open(ScriptedWMS& wms) {
        source->GetConnectionInfo().Server = wms.server.Url("/wms").c_str();
        source->GetConnectionInfo().ServiceKind = "wms";
        if (!source->Open()) return nullptr;
        return dynamic_cast<VmDatasetRasterWMS*>(source->GetDataset(0));
    }
};

} // namespace

TEST_F(GetMapTest, EachVersionSendsItsTemplate) {
    // What differs between versions; 1.3.0 keeps x before y, EPSG:4326 included.
    struct Case {
        const char* version;
        const char* head;
        const char* crs;
        const char* format;
    } cases[] = {
        {"1.0.0", "WMTVER=1.0.0&REQUEST=map", "SRS", "PNG"},
        {"1.1.0", "VERSION=1.1.0&REQUEST=GetMap", "SRS", "image/png"},
        {"1.1.1", "VERSION=1.1.1&REQUEST=GetMap", "SRS", "image/png"},
        {"1.3.0", "VERSION=1.3.0&REQUEST=GetMap", "CRS", "image/png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.version);
        ScriptedWMS wms(c.version);
        if (std::string(c.version) == "1.0.0") wms.formats = {"GIF", "PNG", "JPEG"};
        source.reset(new VmDataSourceOGC());
        VmDatasetRasterWMS* dataset = Open(wms);
        ASSERT_NE(dataset, nullptr);
        EXPECT_EQ(source->GetServiceVersion(), c.version);
        VmDatasetRaster* raster = dataset->GetDatasetRaster(PlxRect2D(0, 10, 20, -10), 256, 128, "image/tiff");
        ASSERT_NE(raster, nullptr);
        EXPECT_EQ(wms.server.LastRequest().target,
                  std::string("/map?") + c.head + "&" + c.crs + "=EPSG:4326&BBOX=0.000000,-10.000000,20.000000,"
                  "10.000000&WIDTH=256&HEIGHT=128&LAYERS=B,A&STYLES=&FORMAT=" + c.format + "&TRANSPARENT=FALSE&");
        EXPECT_EQ(raster->GetWidth(), 256);
        EXPECT_EQ(raster->GetHeight(), 128);
        EXPECT_EQ(raster->GetBandCount(), 3);
        EXPECT_EQ(raster->GetBounds(), PlxRect2D(0, 10, 20, -10)) << "georeferenced to the request";
        std::vector<double> band;
        ASSERT_TRUE(raster->ReadBand(1, band));
        EXPECT_LT(band.front(), band[255]) << "the pixels are the served image's";
        EXPECT_TRUE(temp.Files().empty()) << "an imported download is deleted";
        EXPECT_EQ(log.Total(), 0);
        source.reset();
    }
}

TEST_F(GetMapTest, AnswerFormatsAndFailures) {
    ScriptedWMS wms("1.1.1");
    VmDatasetRasterWMS* dataset = Open(wms);
    ASSERT_NE(dataset, nullptr);
    PlxRect2D rect(0, 10, 20, -10);

    // The server's content type wins over the format asked for.
    wms.mapAnswer = ScriptedResponse::Ok(ogctest::MakeImage("JPEG", 64, 32), "image/jpeg");
    VmDatasetRaster* jpeg = dataset->GetDatasetRaster(rect, 64, 32, "");
    ASSERT_NE(jpeg, nullptr);
    EXPECT_EQ(jpeg->GetBandCount(), 3);

    wms.mapAnswer = ScriptedResponse::Ok(ogctest::MakeImage("GIF", 64, 32, 1), "image/gif");
    VmDatasetRaster* gif = dataset->GetDatasetRaster(rect, 64, 32, "");
    ASSERT_NE(gif, nullptr) << "a GIF answer is read although PNG was expected";
    EXPECT_EQ(gif->GetWidth(), 64);
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());

    // An exception report: nothing imported, nothing logged, the answer stays.
    wms.mapAnswer = ScriptedResponse::Ok("<ServiceExceptionReport/>", "application/vnd.ogc.se_xml");
    EXPECT_EQ(dataset->GetDatasetRaster(rect, 64, 32, ""), nullptr);
    EXPECT_EQ(log.Total(), 0);
    EXPECT_EQ(temp.Files().size(), 1u);

    // Empty, failed and non-image answers are the fault matrix's; an image
    // cut in half arrives whole and fails on import.
    std::string png = ogctest::MakeImage("PNG", 64, 32);
    wms.mapAnswer = ScriptedResponse::Ok(png.substr(0, png.size() / 2), "image/png");
    EXPECT_EQ(dataset->GetDatasetRaster(rect, 64, 32, ""), nullptr);
    EXPECT_EQ(log.Count("ELg050"), 1);
    EXPECT_EQ(VmLogFile::GetInstance(false).Entries().back().level, 400);
}

TEST_F(GetMapTest, NoVisibleLayerAndNoUsableFormat) {
    ScriptedWMS wms("1.1.1");
    wms.formats = {"image/svg+xml", "application/pdf"};
    VmDatasetRasterWMS* dataset = Open(wms);
    ASSERT_NE(dataset, nullptr);
    PlxArray<int> none;
    dataset->SetVisibleLayers(none);
    VmLogFile::GetInstance(false).ClearEntries();

    dataset->GetDatasetRaster(PlxRect2D(0, 10, 20, -10), 300, 200, "");
    ScriptedRequest r = wms.server.LastRequest();
    EXPECT_EQ(r.Param("LAYERS"), "A") << "the first layer stands in";
    EXPECT_EQ(r.Param("WIDTH"), "1");
    EXPECT_EQ(r.Param("HEIGHT"), "1");
    EXPECT_EQ(r.Param("FORMAT"), "");
    EXPECT_EQ(dataset->GetMapWidth(), 300) << "the size asked for is kept";
    EXPECT_EQ(log.Count("EEb001"), 1);
    EXPECT_EQ(log.Count("EAf020"), 1);
    for (const VmLogEntry& e : VmLogFile::GetInstance(false).Entries()) {
        if (e.code == "EEb001" || e.code == "EAf020") {
            EXPECT_EQ(e.level, 100);
        }
    }
}

TEST_F(GetMapTest, UrlOverload) {
    ScriptedWMS wms("1.3.0");
    VmDatasetRasterWMS* dataset = Open(wms);
    ASSERT_NE(dataset, nullptr);
    size_t before = wms.server.RequestCount();
    EXPECT_EQ(dataset->GetDatasetRaster(PlxMBString(wms.server.Url("/map?FORMAT=image/png&").c_str())), nullptr);
    EXPECT_EQ(dataset->GetDatasetRaster(PlxMBString(wms.server.Url("/map?FORMAT=image/png&BBOX=1,2,3&").c_str())),
              nullptr);
    EXPECT_EQ(wms.server.RequestCount(), before) << "an incomplete map URL is not sent";

    VmDatasetRaster* raster =
        dataset->GetDatasetRaster(PlxMBString(wms.server.Url("/own?FORMAT=image/png&BBOX=1,2,3,4&LAYERS=A&").c_str()));
    ASSERT_NE(raster, nullptr);
    EXPECT_EQ(raster->GetBounds(), PlxRect2D(1, 4, 3, 2));
    EXPECT_EQ(wms.server.LastRequest().path, "/own");

    VmDatasetRasterWMS orphan;
    LogCapture local;
    EXPECT_EQ(orphan.GetDatasetRaster(PlxMBString("http://127.0.0.1:1/x?FORMAT=a&BBOX=1,2,3,4")), nullptr);
    EXPECT_EQ(local.Count("EEg001"), 1) << "a dataset without a data source";
    EXPECT_EQ(orphan.GetDatasetRaster(PlxRect2D(0, 1, 1, 0), 10, 10, ""), nullptr);
    EXPECT_EQ(local.Total(), 1) << "the first overload logs nothing for that";
}

TEST(RequestRulesTest, RequestBase) {
    EXPECT_EQ(RequestBase("http://h/wms", ""), "http://h/wms?");
    EXPECT_EQ(RequestBase("http://h/wms???", ""), "http://h/wms?");
    EXPECT_EQ(RequestBase("http://h/wms?map=x&", ""), "http://h/wms?map=x&") << "an own query is kept as it is";
    EXPECT_EQ(RequestBase("", "http://h/ows?REQUEST=GetCapabilities&SERVICE=WMS&"), "http://h/ows?");
    EXPECT_EQ(RequestBase("?x", ""), "?x?") << "a \"?\" in first place does not count";
}

TEST(RequestRulesTest, FormatToFileType) {
    struct Case {
        const char* format;
        bool coverage;
        int type;
    } cases[] = {
        {"image/png; mode=8bit", false, 123}, {"image/jpeg", false, 122}, {"JPG", false, 122},
        {"image/bmp", false, 121}, {"image/gif", false, 123},  // map services know no GIF type
        {"image/tiff", false, 123}, {"image/tiff", true, 103}, {"GeoTIFF", true, 103}, {"image/gif", true, 124},
        {"ArcGrid", true, 145}, {"image/png", true, 123}, {"application/x-netcdf", true, 123},
    };
    for (const Case& c : cases) EXPECT_EQ(ImportFileTypeOf(c.format, c.coverage), c.type) << c.format << " " << c.coverage;
}
