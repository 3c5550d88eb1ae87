// The OGC data source without a network: identity, refusals, closing,
// keyword trimming, the capabilities URL and CRS names.
#include "TestSupport.h"
#include "VmDataSourceOGC.h"

#include <gtest/gtest.h>

using namespace VMK;

namespace {

// Reaches the protected keyword helpers and lets a test attach datasets.
class OpenableOGC : public VmDataSourceOGC {
public:
    using VmDataSourceOGC::LoadOGCDict;
    using VmDataSourceOGC::TrimKeyWord;
    const PlxDict<PlxMBString, int>& Keywords() const { return m_dictOGCKeyWords; }
    void Attach(VmDataset* dataset) {
        dataset->SetDataSource(this);
        m_Datasets.Add(dataset);
        m_bOpened = 1;
    }
    int AccessMode() const { return m_nAccessMode; }
};

// Counts its own destruction so that ownership can be checked.
class CountedDataset : public VmDataset {
public:
    CountedDataset(const char* name, int* deleted) : m_deleted(deleted) { SetName(name); }
    ~CountedDataset() override { ++*m_deleted; }

private:
    int* m_deleted;
};

PlxMBString PatchedURL(const char* server, const char* target, PlxMBString* version = nullptr) {
    VmDataSourceOGC source;
    source.GetConnectionInfo().Server = server;
    source.GetConnectionInfo().Target = target;
    source.AutoPatchURL();
    if (version) *version = source.GetVersion();
    return source.GetURL();
}

} // namespace

TEST(VmDataSourceOGCTest, DefaultConstructionResetsTheConnection) {
    VmDataSourceOGC source;
    const PlxDsConnection& c = source.GetConnectionInfo();
    EXPECT_EQ(c.EngineType, 23);
    EXPECT_TRUE(c.Server.IsEmpty());
    EXPECT_EQ(c.OptionFlag1, 0);
    EXPECT_EQ(c.OptionFlag2, 0);
    EXPECT_EQ(c.OptionFlag3, 0);
    EXPECT_EQ(c.OptionFlag4, 1);
    EXPECT_TRUE(source.IsReadOnly());
    EXPECT_FALSE(source.IsOpen());
    EXPECT_EQ(source.GetCapabilitiesDocument(), nullptr);
    EXPECT_FALSE(source.IsCached());

    PlxDsConnection given;
    given.EngineType = 99;
    given.Server = "http://example.invalid/wms";
    VmDataSourceOGC copy(given);
    EXPECT_EQ(copy.GetConnectionInfo().EngineType, 99) << "a given record is taken as it is";
    EXPECT_EQ(copy.GetConnectionInfo().Server, given.Server);
}

TEST(VmDataSourceOGCTest, IdentityAndAbilities) {
    VmDataSourceOGC source;
    LogCapture log;
    EXPECT_EQ(source.GetEngineName(), "OGC Web Engine");
    EXPECT_EQ(source.GetDateCreated().value, 0.0);
    EXPECT_TRUE(source.SaveInfo());
    EXPECT_TRUE(source.HasAbility(static_cast<VmEngAbility>(1)));
    for (int a : {0, 2, 3, 4, 5, 6, 7, 100}) EXPECT_FALSE(source.HasAbility(static_cast<VmEngAbility>(a))) << a;
    for (int t : {86, 87, 151}) EXPECT_TRUE(source.IsSupport(static_cast<VmDataset::DatasetType>(t))) << t;
    for (int t : {81, 85, 88, 150, 0})
        EXPECT_FALSE(source.IsSupport(static_cast<VmDataset::DatasetType>(t))) << t;
    EXPECT_EQ(log.Total(), 0) << "identity and abilities log nothing";

    source.SetCached(1);
    EXPECT_TRUE(source.IsCached());
    EXPECT_TRUE(source.ChangePassword("Secret"));
    EXPECT_EQ(source.GetConnectionInfo().Password, "Secret");
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
        EXPECT_EQ(entries[i].code, expected[i]);
        EXPECT_EQ(entries[i].level, 300);
        EXPECT_EQ(entries[i].file, "Src/EngineOGC/VmDataSourceOGC");
        EXPECT_GT(entries[i].line, 0);
    }
    EXPECT_EQ(log.Count("ELg041"), 7) << "BeginTrans and each IsSupport(action) log one entry";
    EXPECT_FALSE(source.IsOpen());
}

TEST(VmDataSourceOGCTest, CloseAndDeleteDatasetOwnTheDatasets) {
    int deleted = 0;
    {
        OpenableOGC source;
        source.Close();
        source.Close();  // closing a source never opened does nothing

        source.Attach(new CountedDataset("roads", &deleted));
        source.Attach(new CountedDataset("Rivers", &deleted));
        auto* later = new CountedDataset("rivers", &deleted);
        source.Attach(later);
        EXPECT_TRUE(source.DeleteDataset("RIVERS"));
        EXPECT_EQ(deleted, 1);
        ASSERT_EQ(source.GetDatasetCount(), 2);
        EXPECT_EQ(source.GetDataset(1)->GetName(), "Rivers") << "the match nearest the end goes first";
        EXPECT_FALSE(source.DeleteDataset("lakes"));
        EXPECT_EQ(source.GetDatasetCount(), 2);

        source.Close();
        EXPECT_EQ(deleted, 3);
        EXPECT_EQ(source.GetDatasetCount(), 0);
        EXPECT_FALSE(source.IsOpen());
        EXPECT_FALSE(source.IsConnected());

        source.Attach(new CountedDataset("again", &deleted));
    }
    EXPECT_EQ(deleted, 4) << "the destructor closes what is still attached";
}

TEST(VmDataSourceOGCTest, KeywordTable) {
    OpenableOGC source;
    const auto& keys = source.Keywords();
    EXPECT_EQ(keys.GetCount(), 51);
    auto code = [&](const char* key) {
        int value = 0;
        return keys.Lookup(key, value) ? value : -1;
    };
    EXPECT_EQ(code("VERSION"), 3102);
    EXPECT_EQ(code("SERVICE"), 3103);
    EXPECT_EQ(code("REQUEST"), 3101);
    EXPECT_EQ(code("UPDATESEQUENCE"), 3105);
    EXPECT_EQ(code("CRS"), 3301);
    EXPECT_EQ(code("TYPENAME"), 2304);
    EXPECT_EQ(code("EXPIRY"), 2501);
    EXPECT_EQ(code("QUERY_LAYERS"), 1301);
    EXPECT_EQ(code("WFS"), 1215);
    EXPECT_EQ(code("PORPTRAVXLINKEXPIRY"), 2315);
    EXPECT_EQ(code("RESZ"), 3310);
    EXPECT_EQ(code("MAP"), -1);
    source.LoadOGCDict();
    EXPECT_EQ(keys.GetCount(), 51) << "loading again does not duplicate";
}

TEST(VmDataSourceOGCTest, TrimKeyWordRemovesKeywordsInAnyCase) {
    OpenableOGC source;
    EXPECT_EQ(source.TrimKeyWord("http://h/wms?x=1&Y=2&Wfs=a&sld=b&section=c&map=/srv/a.map&key=k"),
              "http://h/wms?key=k&map=/srv/a.map&");
    EXPECT_EQ(source.TrimKeyWord("http://h/wms"), "http://h/wms?");
}

TEST(VmDataSourceOGCTest, AutoPatchURLOnAddressesAsTyped) {
    PlxMBString version;
    EXPECT_EQ(PatchedURL("http://h/cgi-bin/wms", "wms", &version),
              "http://h/cgi-bin/wms?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&");
    EXPECT_EQ(version, "1.0.0");
    EXPECT_EQ(PatchedURL("http://h/cgi-bin/wfs?", "WFS"),
              "http://h/cgi-bin/wfs?REQUEST=GetCapabilities&SERVICE=WFS&VERSION=1.0.0&");
    EXPECT_EQ(PatchedURL("http://h/wcs", "wcs"), "http://h/wcs?REQUEST=GetCapabilities&SERVICE=WCS&VERSION=1.0.0&");

    // A GetMap request copied from a browser, with the server's own map parameter.
    EXPECT_EQ(PatchedURL("http://h/mapserv?map=/srv/demo.map&SERVICE=WMS&request=GetMap&LAYERS=roads&VERSION=1.3.0"
                         "&bbox=0,0,1,1&width=800&height=600&crs=EPSG:4326&format=image/png&styles=",
                         "wms", &version),
              "http://h/mapserv?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&map=/srv/demo.map&");
    EXPECT_EQ(version, "1.0.0") << "a typed version is dropped; negotiation finds the real one";

    EXPECT_EQ(PatchedURL("http://h/ows?VERSION=1.1.1", "something"),
              "http://h/ows?REQUEST=GetCapabilities&VERSION=1.0.0&")
        << "an unknown target gets no SERVICE";
}

TEST(VmDataSourceOGCTest, AutoPatchURLAndDoubledAmpersands) {
    PlxMBString version;
    // A doubled "&" in the query is only an empty piece: it does not survive the
    // split and the address is completed as usual.
    EXPECT_EQ(PatchedURL("http://h/wms?q=a&&b&SERVICE=WMS", "wms", &version),
              "http://h/wms?REQUEST=GetCapabilities&SERVICE=WMS&VERSION=1.0.0&b=&q=a&");
    // One that survives trimming (here in the path) keeps the trimmed form as it is.
    EXPECT_EQ(PatchedURL("http://h/a&&b/wms?SERVICE=WMS&map=x&VERSION=1.3.0", "wms", &version),
              "http://h/a&&b/wms?map=x&");
    EXPECT_EQ(version, "1.0.0");
}

TEST(VmDataSourceOGCTest, ProjectionByName) {
    VmDataSourceOGC source;
    LogCapture log;
    VmPrjCoordSys p;
    auto check = [&](const char* name, int type, int geo) {
        VmPrjCoordSys q;
        q.SetTypeID(-7);
        ASSERT_TRUE(source.GetProjectionByName(q, name)) << name;
        EXPECT_EQ(q.GetTypeID(), type) << name;
        EXPECT_EQ(q.GetGeoCoordSys().GetTypeID(), geo) << name;
    };
    check("EPSG:4326", 1, 4326);
    check("urn:x-ogc:def:crs:EPSG:4326", 1, 4326);
    check("urn:ogc:def:crs:EPSG::4326", 0, 0);  // "EPSG" without "EPSG:4326", and no code after the trim
    check("EPSG:43260", 1, 4326);
    check("EPSG:3857", 3857, 0);
    check("EPSG: 31467 ", 31467, 0);
    check("CRS:84", 0, 0);
    check("EPSG:NONE", 0, 0);
    check("NONE", 0, 0);
    check("epsg:4326", 0, 0);
    check("EPSG:abc", 0, 0);
    EXPECT_EQ(log.Total(), 0);

    p.SetTypeID(3857);
    EXPECT_FALSE(source.GetProjectionByName(p, ""));
    EXPECT_EQ(p.GetTypeID(), 3857) << "a failed lookup leaves the projection alone";
    EXPECT_EQ(log.Count("EHa003"), 1);
    EXPECT_EQ(VmLogFile::GetInstance(false).Entries().back().level, 400);
}

TEST(VmDataSourceOGCTest, FactoryMakesAClosedSource) {
    VmDataSource* source = CreateDataSource();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->GetEngineName(), "OGC Web Engine");
    EXPECT_FALSE(source->IsOpen());
    delete source;
}
