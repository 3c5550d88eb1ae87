// End to end against the bundled sample service (MapServer on loopback): what
// a user of the engine gets from a real server, per WMS version and for WFS.
#include "SampleServer.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMS.h"
#include "VmDatasetVectorWFS.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

using namespace VMK;

namespace {

std::unique_ptr<VmDataSourceOGC> OpenService(const std::string& url, const char* kind) {
    auto source = std::make_unique<VmDataSourceOGC>();
    source->GetConnectionInfo().Server = url.c_str();
    source->GetConnectionInfo().ServiceKind = kind;
    if (!source->Open()) return nullptr;
    return source;
}

// Distinct colours in a band: a blank or one-colour answer has one.
size_t DistinctValues(const std::vector<double>& band) {
    std::vector<double> sorted(band);
    std::sort(sorted.begin(), sorted.end());
    return static_cast<size_t>(std::unique(sorted.begin(), sorted.end()) - sorted.begin());
}

class SampleWMSVersions : public ::testing::TestWithParam<const char*> {};

} // namespace

TEST_P(SampleWMSVersions, OpenListDrawEachVersion) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer::Options options;
    options.wmsVersion = GetParam();
    ogctest::SampleServer server(options);
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);

    auto source = OpenService(server.Url("/wms"), "wms");
    ASSERT_NE(source, nullptr) << server.Log();
    EXPECT_EQ(source->GetServiceVersion(), GetParam());
    auto* map = dynamic_cast<VmDatasetRasterWMS*>(source->GetDataset(0));
    ASSERT_NE(map, nullptr);
    PlxArray<PlxMBString> names;
    ASSERT_TRUE(map->GetAllLayerNames(names));
    EXPECT_EQ(names.GetSize(), 5);

    // A 1.3.0 server reads an EPSG:4326 box latitude first and the engine
    // sends x first: only the rectangle given with swapped axes is on the data.
    const bool latitudeFirst = std::string(GetParam()) == "1.3.0";
    if (latitudeFirst) {
        VmDatasetRaster* off = map->GetDatasetRaster(PlxRect2D(5, 55, 15, 45), 100, 100, "");
        ASSERT_NE(off, nullptr);
        std::vector<double> band;
        off->ReadBand(1, band);
        EXPECT_EQ(DistinctValues(band), 1u) << "nothing drawn: the box was read as latitude 5..15";
    }
    PlxRect2D rect = latitudeFirst ? PlxRect2D(45, 15, 55, 5) : PlxRect2D(5, 55, 15, 45);
    VmDatasetRaster* image = map->GetDatasetRaster(rect, 400, 300, "");
    ASSERT_NE(image, nullptr) << server.Log();
    EXPECT_EQ(image->GetWidth(), 400);
    EXPECT_EQ(image->GetHeight(), 300);
    std::vector<double> red;
    ASSERT_TRUE(image->ReadBand(1, red));
    EXPECT_GT(DistinctValues(red), 5u) << "a real map, not a blank one";
    EXPECT_EQ(log.Total(), 0);
    EXPECT_TRUE(temp.Files().empty());
}

INSTANTIATE_TEST_SUITE_P(Versions, SampleWMSVersions, ::testing::Values("1.0.0", "1.1.0", "1.1.1", "1.3.0"));

TEST(SampleWFSTest, FeatureTypesFieldsAndQueries) {
    TempFolder temp;
    LogCapture log;
    ogctest::SampleServer server;
    OGCTEST_REQUIRE_SAMPLE_SERVER(server);
    auto source = OpenService(server.Url("/ows"), "wfs");
    ASSERT_NE(source, nullptr) << server.Log();
    ASSERT_EQ(source->GetDatasetCount(), 5);

    VmDatasetVectorWFS* cities = nullptr;
    VmDatasetVectorWFS* lakes = nullptr;
    for (int i = 0; i < source->GetDatasetCount(); ++i) {
        auto* d = dynamic_cast<VmDatasetVectorWFS*>(source->GetDataset(i));
        ASSERT_NE(d, nullptr);
        if (d->GetName() == "Cities") cities = d;
        if (d->GetName() == "Lakes") lakes = d;
    }
    ASSERT_NE(cities, nullptr);
    EXPECT_EQ(cities->GetType(), VmDataset::Point);
    PlxFieldInfos fields;
    cities->GetFieldInfos(fields, 0);
    ASSERT_GE(fields.GetSize(), 8);
    EXPECT_EQ(fields[7].Type, PlxFieldInfo::Int32) << "population, typed by MapServer's schema";

    VmQueryDef bounds;
    bounds.QueryType = VmQueryDef::QueryBounds;
    bounds.Bounds = PlxRect2D(5, 55, 15, 45);
    VmRecordset* all = cities->Query(bounds);
    ASSERT_NE(all, nullptr) << server.Log();
    EXPECT_EQ(all->GetRecordCount(), 8) << "the sample data holds eight cities";
    all->MoveFirst();
    EXPECT_EQ(all->GetFieldValue("name"), "Nordhaven");
    EXPECT_EQ(all->GetFieldValue("fid"), "cities.1");
    ASSERT_NE(all->GetGeometry(), nullptr);
    EXPECT_NEAR(all->GetGeometry()->GetBounds().left, 9.2, 1e-9);

    VmQueryDef ids;
    ids.QueryType = VmQueryDef::QueryIDs;
    ids.IDs.Add(5);
    VmRecordset* five = cities->Query(ids);
    ASSERT_NE(five, nullptr);
    five->MoveFirst();
    EXPECT_EQ(five->GetFieldValue("name"), "Riverton");

    VmQueryDef big;
    big.Filter = "population > 300000";
    VmRecordset* large = cities->Query(big);
    ASSERT_NE(large, nullptr);
    EXPECT_GE(large->GetRecordCount(), 1);
    for (large->MoveFirst(); !large->IsEOF(); large->MoveNext())
        EXPECT_GT(large->GetFieldValue("population").ToInt(10), 300000);

    // MapServer's default geometry name is not a geometry property to the
    // engine: such a feature type yields no records.
    ASSERT_NE(lakes, nullptr);
    VmRecordset* none = lakes->Query(bounds);
    ASSERT_NE(none, nullptr);
    EXPECT_EQ(none->GetRecordCount(), 0);
    EXPECT_TRUE(temp.Files().empty());
}
