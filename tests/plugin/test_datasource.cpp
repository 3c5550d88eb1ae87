// The OGC data source without a network: refusals, closing, the capabilities URL, CRS names.
#include "TestSupport.h"
#include "VmDataSourceOGC.h"

#include <gtest/gtest.h>

#include <string>

using namespace VMK;

namespace {

// Reaches the protected keyword trimming and lets a test attach datasets.
class OpenableOGC : public VmDataSourceOGC {
public:
    using VmDataSourceOGC::TrimKeyWord;
    void Attach(VmDataset* dataset) {
        dataset->SetDataSource(this);
        m_Datasets.Add(dataset);
        m_bOpened = 1;
    }
};

// Counts its own destruction so that ownership can be checked.
class CountedDataset : public VmDataset {
public:
    CountedDataset(const char* name, int* deleted) : m_deleted(deleted) { SetName(name); }
    ~CountedDataset() override { ++*m_deleted; }

private:
    int* m_deleted;
};

} // namespace

TEST(VmDataSourceOGCTest, DefaultsAndAbilities) {
    VmDataSourceOGC source;
    LogCapture log;
    EXPECT_EQ(source.GetConnectionInfo().OptionFlag4, 1);
    EXPECT_TRUE(source.IsReadOnly());
    EXPECT_FALSE(source.IsOpen());
    EXPECT_EQ(source.GetCapabilitiesDocument(), nullptr);
    EXPECT_TRUE(source.HasAbility(static_cast<VmEngAbility>(1)));
    for (int a : {0, 2, 3, 4, 5, 6, 7, 100}) EXPECT_FALSE(source.HasAbility(static_cast<VmEngAbility>(a))) << a;
    for (int t : {86, 87, 151}) EXPECT_TRUE(source.IsSupport(static_cast<VmDataset::DatasetType>(t))) << t;
    for (int t : {81, 85, 88, 150, 0})
        EXPECT_FALSE(source.IsSupport(static_cast<VmDataset::DatasetType>(t))) << t;
    EXPECT_EQ(log.Total(), 0) << "identity and abilities log nothing";

    PlxDsConnection given;
    given.EngineType = 99;
    EXPECT_EQ(VmDataSourceOGC(given).GetConnectionInfo().EngineType, 99) << "a given record is taken as it is";
}

TEST(VmDataSourceOGCTest, WriteOperationsAreRefusedWithTheirCodes) {
    VmDataSourceOGC source;
    VmDataSource& host = source;  // refusals must be reached through the host interface
    LogCapture log;
    EXPECT_FALSE(host.Create());
    EXPECT_EQ(host.CreateDatasetRaster(VmDatasetRasterInfo(), 0), nullptr);
    EXPECT_EQ(host.CreateDatasetTopo("topo"), nullptr);
    EXPECT_EQ(host.CreateDatasetVector(VmDatasetVectorInfo()), nullptr);
    host.Rollback();
    host.Commit();
    EXPECT_FALSE(host.BeginTrans());
    for (int action = 0; action < 6; ++action) EXPECT_FALSE(host.IsSupport(static_cast<VmEngAction>(action)));

    auto entries = VmLogFile::GetInstance(false).Entries();
    ASSERT_EQ(entries.size(), 13u);
    const char* expected[] = {"ELg035", "ELg036", "ELg037", "ELg038", "ELg039", "ELg040", "ELg041"};
    for (int i = 0; i < 7; ++i) {
        EXPECT_EQ(entries[i].code.str() + "@" + std::to_string(entries[i].level) + " " + entries[i].file.str(),
                  std::string(expected[i]) + "@300 Src/EngineOGC/VmDataSourceOGC");
        EXPECT_GT(entries[i].line, 0);
    }
    EXPECT_EQ(log.Count("ELg041"), 7) << "BeginTrans and each IsSupport(action) log one entry";
}

TEST(VmDataSourceOGCTest, CloseAndDeleteDatasetOwnTheDatasets) {
    int deleted = 0;
    {
        OpenableOGC source;
        source.Close();  // closing a source never opened does nothing
        source.Attach(new CountedDataset("roads", &deleted));
        source.Attach(new CountedDataset("Rivers", &deleted));
        source.Attach(new CountedDataset("rivers", &deleted));
        EXPECT_TRUE(source.DeleteDataset("RIVERS"));
        EXPECT_EQ(deleted, 1);
        ASSERT_EQ(source.GetDatasetCount(), 2);
        EXPECT_EQ(source.GetDataset(1)->GetName(), "Rivers") << "the match nearest the end goes first";
        EXPECT_FALSE(source.DeleteDataset("lakes"));

        source.Close();
        EXPECT_EQ(deleted, 3);
        EXPECT_EQ(source.GetDatasetCount(), 0);
        EXPECT_FALSE(source.IsOpen());
        EXPECT_FALSE(source.IsConnected());
        source.Attach(new CountedDataset("again", &deleted));
    }
    EXPECT_EQ(deleted, 4) << "the destructor closes what is still attached";
}

TEST(VmDataSourceOGCTest, TrimKeyWordRemovesKeywordsInAnyCase) {
    OpenableOGC source;
    EXPECT_EQ(source.TrimKeyWord("http://h/wms?x=1&Y=2&Wfs=a&sld=b&section=c&map=/srv/a.map&key=k"),
              "http://h/wms?key=k&map=/srv/a.map&");
    EXPECT_EQ(source.TrimKeyWord("http://h/wms"), "http://h/wms?");
}

TEST(VmDataSourceOGCTest, AutoPatchURLOnAddressesAsTyped) {
    const struct {
        const char* server;
        const char* target;
        const char* expected;
    } rows[] = {
        {"http://h/cgi-bin/wms", "wms", "http://h/cgi-bin/wms?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&"},
        {"http://h/cgi-bin/wfs?", "WFS", "http://h/cgi-bin/wfs?REQUEST=GetCapabilities&SERVICE=WFS&VERSION=1.0.0&"},
        {"http://h/wcs", "wcs", "http://h/wcs?REQUEST=GetCapabilities&SERVICE=WCS&VERSION=1.0.0&"},
        // A GetMap request copied from a browser: a typed version is dropped, negotiation finds the real one.
        {"http://h/mapserv?map=/srv/demo.map&SERVICE=WMS&request=GetMap&LAYERS=roads&VERSION=1.3.0"
         "&bbox=0,0,1,1&width=800&height=600&crs=EPSG:4326&format=image/png&styles=",
         "wms", "http://h/mapserv?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&map=/srv/demo.map&"},
        // An unknown target gets no SERVICE.
        {"http://h/ows?VERSION=1.1.1", "something", "http://h/ows?REQUEST=GetCapabilities&VERSION=1.0.0&"},
        // A doubled "&" in the query is only an empty piece and does not survive the split...
        {"http://h/wms?q=a&&b&SERVICE=WMS", "wms", "http://h/wms?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&b=&q=a&"},
        // ...one that survives trimming (here in the path) keeps the trimmed form as it is.
        {"http://h/a&&b/wms?SERVICE=WMS&map=x&VERSION=1.3.0", "wms", "http://h/a&&b/wms?map=x&"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.server);
        VmDataSourceOGC source;
        source.GetConnectionInfo().Server = row.server;
        source.GetConnectionInfo().Target = row.target;
        source.AutoPatchURL();
        EXPECT_EQ(source.GetURL(), row.expected);
        EXPECT_EQ(source.GetVersion(), "1.0.0");
    }
}

TEST(VmDataSourceOGCTest, ProjectionByName) {
    VmDataSourceOGC source;
    LogCapture log;
    const struct {
        const char* name;
        int type, geo;
    } rows[] = {
        {"EPSG:4326", 1, 4326},
        {"urn:x-ogc:def:crs:EPSG:4326", 1, 4326},
        {"urn:ogc:def:crs:EPSG::4326", 0, 0},  // "EPSG" without "EPSG:4326", and no code after the trim
        {"EPSG:3857", 3857, 0},
        {"EPSG: 31467 ", 31467, 0},
        {"CRS:84", 0, 0},
        {"EPSG:NONE", 0, 0},
        {"epsg:4326", 0, 0},
        {"EPSG:abc", 0, 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        VmPrjCoordSys q;
        q.SetTypeID(-7);
        ASSERT_TRUE(source.GetProjectionByName(q, row.name));
        EXPECT_EQ(q.GetTypeID(), row.type);
        EXPECT_EQ(q.GetGeoCoordSys().GetTypeID(), row.geo);
    }
    EXPECT_EQ(log.Total(), 0);

    VmPrjCoordSys p;
    p.SetTypeID(3857);
    EXPECT_FALSE(source.GetProjectionByName(p, ""));
    EXPECT_EQ(p.GetTypeID(), 3857) << "a failed lookup leaves the projection alone";
    EXPECT_EQ(log.Count("EHa003"), 1);
    EXPECT_EQ(VmLogFile::GetInstance(false).Entries().back().level, 400);
}
