// The data-connectivity bridges the engine's factories hand out, and the image
// plug-in base. The factories as a host finds them by name are in test_loader.cpp.
#include "ScriptedServer.h"
#include "TestSupport.h"
#include "VmConnectivity.h"
#include "VmDataSourceOGC.h"
#include "VmImagePlugin.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <tuple>
#include <vector>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

// An engine data source that counts what reaches it and its own deletion.
class CountingSource : public VmDataSource {
public:
    explicit CountingSource(int* deleted) : m_deleted(deleted) { m_dsConnection.EngineType = 77; }
    ~CountingSource() override { ++*m_deleted; }

    unsigned char Create() override { return ++calls, 1; }
    unsigned char Open() override {
        m_bOpened = 1;
        auto* dataset = new VmDataset();
        dataset->SetName("roads");
        m_Datasets.Add(dataset);
        return 1;
    }
    void Close() override {
        for (VmDataset* d : m_Datasets) delete d;
        m_Datasets.RemoveAll();
        m_bOpened = 0;
    }
    unsigned char SaveInfo() override { return ++calls, 1; }
    PlxMBString GetEngineName() override { return "Counting Engine"; }
    unsigned char BeginTrans() override { return ++calls, 1; }
    void Commit() override { ++calls; }
    void Rollback() override { ++calls; }
    unsigned char HasAbility(VmEngAbility ability) override { return ability == VmEngAbilityTransaction; }
    PlxMBString GetServiceVersion() override { return "9.9"; }

    int calls = 0;

private:
    int* m_deleted;
};

} // namespace

TEST(BridgeDataSourceTest, ForwardsToTheWrappedSource) {
    int deleted = 0;
    auto* fake = new CountingSource(&deleted);
    VmDataSourcePlx bridge;
    bridge.SetDataSource(fake);

    PlxConnection connection{"http://h/wms", "db", "alice", "s3cret", "wms", "/cache", "mine"};
    EXPECT_EQ(bridge.Open(connection), 1);
    const PlxDsConnection& r = fake->GetConnectionInfo();
    EXPECT_EQ(r.Server + "|" + r.Database + "|" + r.User + "|" + r.Password + "|" + r.ServiceKind + "|" + r.Target,
              "http://h/wms|db|alice|s3cret|wms|/cache");
    EXPECT_EQ(bridge.GetAlias() + "|" + bridge.GetEngineName() + "|" + bridge.GetVersion() + "|" + bridge.GetName(),
              "mine|Counting Engine|9.9|http://h/wms");
    EXPECT_EQ(bridge.IsOpen(), 1);
    EXPECT_EQ(bridge.GetEngineType(), 77);

    ASSERT_EQ(bridge.GetDatasetCount(), 1);
    EXPECT_EQ(bridge.GetDataset(0), bridge.GetDataset("ROADS"));
    EXPECT_EQ(bridge.GetDataset(1), nullptr);
    EXPECT_EQ(bridge.GetUnoccupiedDatasetName("roads"), "roads_1");
    EXPECT_EQ(bridge.IsAvailableDatasetName("roads"), 0);
    EXPECT_EQ(bridge.IsAvailableDatasetName("rivers"), 1);
    EXPECT_EQ(bridge.IsAvailableDatasetName("2rivers"), 0) << "not a valid name";

    // The bridge remembers a running transaction until it ends.
    EXPECT_EQ(bridge.IsTransacted(), 1);
    EXPECT_EQ(bridge.BeginTrans(), 1);
    EXPECT_EQ(bridge.IsTransStarted(), 1);
    bridge.Commit();
    EXPECT_EQ(bridge.IsTransStarted(), 0);
    bridge.BeginTrans();
    bridge.Rollback();
    EXPECT_EQ(bridge.IsTransStarted(), 0);

    // Deleting a dataset marks the source modified until it is saved.
    EXPECT_EQ(bridge.DeleteDataset("nothing"), 0);
    EXPECT_EQ(bridge.IsModified(), 0);
    EXPECT_EQ(bridge.DeleteDataset("roads"), 1);
    EXPECT_EQ(bridge.GetDatasetCount(), 0);
    EXPECT_EQ(bridge.IsModified(), 1);
    EXPECT_EQ(bridge.SaveInfo(), 1);
    EXPECT_EQ(bridge.IsModified(), 0);
    EXPECT_EQ(bridge.Create(connection), 1);
    EXPECT_EQ(fake->calls, 6) << "begin, commit, begin, rollback, save and create reached the engine";

    bridge.Close();
    EXPECT_EQ(bridge.IsOpen(), 0);
    EXPECT_EQ(deleted, 0) << "closing keeps the wrapped source";
}

TEST(BridgeDataSourceTest, RefusesWhatTheEngineInterfaceLacks) {
    int deleted = 0;
    VmDataSourcePlx bridge;
    bridge.SetDataSource(new CountingSource(&deleted));
    VmDataset dataset;
    EXPECT_EQ(bridge.CreateDatasetFrom("copy", &dataset), nullptr);
    EXPECT_EQ(bridge.CopyDataset(&dataset, "copy"), nullptr);
    EXPECT_EQ(bridge.Execute("DROP TABLE roads"), 0);
    EXPECT_EQ(bridge.DropDataSource(), 0);
    EXPECT_EQ(bridge.InitMetaDatabase(), 0);
    EXPECT_EQ(bridge.FindDatasetByMetaData("u"), nullptr);

    for (const char* good : {"roads", "_x1", "Stra\xc3\x9f" "e"}) EXPECT_EQ(bridge.IsValidFieldOrTableName(good), 1) << good;
    for (const char* bad : {"", "1roads", "two words", "a-b", "semi;colon"})
        EXPECT_EQ(bridge.IsValidFieldOrTableName(bad), 0) << bad;
    EXPECT_EQ(bridge.IsValidFieldOrTableName(PlxMBString(std::string(129, 'a'))), 0);
}

TEST(BridgeDataSourceTest, OwnsAndDeletesTheWrappedSource) {
    int first = 0, second = 0;
    auto* bridge = new VmDataSourcePlx();
    auto* a = new CountingSource(&first);
    bridge->SetDataSource(a);
    bridge->SetDataSource(a);
    EXPECT_EQ(first, 0) << "installing the same source again keeps it";
    bridge->SetDataSource(new CountingSource(&second));
    EXPECT_EQ(first, 1) << "a replaced source is deleted";
    PlxDataSource* asInterface = bridge;
    delete asInterface;
    EXPECT_EQ(second, 1) << "deleting the bridge through its interface deletes the wrapped source once";

    // Without a wrapped source every operation fails quietly.
    VmDataSourcePlx empty;
    empty.SetDataSource(nullptr);
    EXPECT_EQ(empty.Open(PlxConnection()), 0);
    EXPECT_EQ(empty.GetDataset("x"), nullptr);
    EXPECT_EQ(empty.BeginTrans(), 0);
    EXPECT_EQ(empty.IsAvailableDatasetName("roads"), 0);
    empty.Close();
}

TEST(BridgeFactoryTest, DataSourceBridgeWrapsANewOGCSource) {
    TempFolder temp;
    LogCapture log;
    std::unique_ptr<PlxDataSource> bridge(CreatePlxDataSource());
    auto* concrete = dynamic_cast<VmDataSourcePlx*>(bridge.get());
    ASSERT_NE(concrete, nullptr);
    EXPECT_NE(dynamic_cast<VmDataSourceOGC*>(concrete->GetDataSource()), nullptr);
    EXPECT_EQ(bridge->IsOpen(), 0);
    // The engine's refusals still reach the engine's log through the bridge.
    EXPECT_EQ(bridge->BeginTrans(), 0);
    EXPECT_EQ(log.Count("ELg041"), 1);

    ScriptedServer server([](const ScriptedRequest&) {
        return ScriptedResponse::Ok("<WMT_MS_Capabilities version=\"1.1.1\"><Capability><Layer><Title>Bridged</Title>"
                                    "<Layer><Name>a</Name></Layer></Layer></Capability></WMT_MS_Capabilities>");
    });
    PlxConnection connection;
    connection.Server = server.Url("/wms").c_str();
    connection.Kind = "wms";
    ASSERT_EQ(bridge->Open(connection), 1);
    EXPECT_EQ(bridge->GetVersion(), "1.1.1");
    ASSERT_EQ(bridge->GetDatasetCount(), 1);
    EXPECT_EQ(bridge->GetDataset(0)->GetName(), "Bridged");
    EXPECT_EQ(bridge->GetDataset(0)->GetType(), VmDataset::WebMap);
}

TEST(BridgeFactoryTest, FeatureBridgeHoldsOneFeature) {
    std::unique_ptr<PlxFeature> feature(CreatePlxFeature());
    ASSERT_NE(dynamic_cast<VmFeaturePlx*>(feature.get()), nullptr);
    EXPECT_EQ(feature->GetCharset(), PLXCharset::UTF8);
    PlxMBString value = "stale";
    EXPECT_EQ(feature->SetValue("NAME", "x"), 0) << "no field list yet";
    EXPECT_EQ(feature->GetValue("NAME", value), 0);
    EXPECT_EQ(value, "") << "a failed read empties the value";

    PlxFieldInfos fields;
    for (const char* field : {"NAME", "Lanes"}) {
        PlxFieldInfo info;
        info.Name = field;
        fields.Add(info);
    }
    feature->SetFieldInfos(fields);
    EXPECT_EQ(feature->SetValue("name", "Elm"), 1) << "names ignore case";
    EXPECT_EQ(feature->SetValue(1, "2"), 1);
    for (int outside : {2, -1}) EXPECT_EQ(feature->SetValue(outside, "x"), 0) << outside;
    PlxMBString lanes;
    EXPECT_EQ(feature->GetValue(0, value) + feature->GetValue("LANES", lanes), 2);
    EXPECT_EQ(value + "|" + lanes, "Elm|2");
    EXPECT_EQ(feature->GetValue(5, value), 0);
    feature->SetFieldInfos(fields);
    EXPECT_EQ(feature->GetValue("NAME", value), 1);
    EXPECT_EQ(value, "") << "a new field list starts without values";

    // The feature keeps a geometry of its own.
    std::unique_ptr<VmGeometry> point(VmGeometryFactory::CreateGeometry(VmGeometry::Point));
    ASSERT_TRUE(point->FromWkt("POINT (1 2)"));
    feature->SetElement(point.get());
    point.reset();
    ASSERT_NE(feature->GetElement(), nullptr);
    feature->SetElement(feature->GetElement());
    EXPECT_EQ(feature->GetElement()->ToWkt(), "POINT (1 2)") << "setting its own geometry keeps it";
    feature->SetElement(nullptr);
    EXPECT_EQ(feature->GetElement(), nullptr);
}

namespace {

// The smallest image plug-in: the pure operations, and a look at the fields.
class TestImagePlugin : public VmImagePlugin {
public:
    const char* GetPluginName() const override { return "test"; }
    const char* GetExtName(int) const override { return "tst"; }
    bool Open(const char*) override { return true; }
    void Close() override {}
    bool IsOpened() const override { return false; }
    int GetWidth() const override { return 1; }
    int GetHeight() const override { return 1; }
    int GetPixelFormat() const override { return 24; }
    bool GetBounds(double&, double&, double&, double&) const override { return false; }
    bool SetViewPort(double, double, double, double, int, int) override { return false; }
    bool GetViewImageSize(int&, int&) const override { return false; }
    int GetViewImageDataSize() const override { return 0; }
    bool GetViewImageData(unsigned char*, int) override { return false; }

    double NoValue() const { return m_dNoValue; }
    VmImagePaletteEntry& Palette(int i) { return m_Palette[i]; }
    void SetClass(PluginClass c) { m_nPluginClass = c; }
    void SetNoValue(double v) { m_dNoValue = v; }
};

} // namespace

TEST(ImagePluginTest, Defaults) {
    TestImagePlugin plugin;
    EXPECT_EQ(std::make_tuple(plugin.GetCurBandIndex(), static_cast<int>(plugin.GetPluginClass()), plugin.NoValue(),
                              plugin.GetDataStreamingProgress()),
              std::make_tuple(-1, 0, -9999.0, -1.0f));
    PlxArray<PlxMBString> names;
    EXPECT_EQ(std::vector<bool>({plugin.IsTransparentBack(), plugin.IsFinished(), plugin.BuildPyramid(true),
                                 plugin.GetWebSubLayersName(names), plugin.IsOGCServerMap()}),
              std::vector<bool>({false, true, false, false, false}));
    int* parts = nullptr;
    double* xs = nullptr;
    double* ys = nullptr;
    int count = -7;
    EXPECT_FALSE(plugin.GetClipRgn(xs, ys, parts, count));
    EXPECT_EQ(count, -7) << "nothing is written";

    // The operations without effect leave the settings as they are.
    int bands[3] = {3, 2, 1};
    VmImagePlugin::ImageColorSpace space = VmImagePlugin::ICS_CMYK;
    plugin.SetBandCombineMode(bands, VmImagePlugin::ICS_RGB);
    plugin.GetBandCombineMode(bands, space);
    EXPECT_EQ(space, VmImagePlugin::ICS_CMYK);
    EXPECT_EQ(bands[0], 3);
    plugin.ConfigureMap(nullptr, [](void*, double*) { FAIL() << "the default never calls back"; });
    plugin.SetVersion(5);
    plugin.SetPrjCoordSys("EPSG:3857");
    EXPECT_EQ(plugin.GetVersion(), 0);
    EXPECT_EQ(plugin.GetPrjCoordSys(), nullptr);
}

TEST(ImagePluginTest, CopiesCarryEverySetting) {
    TestImagePlugin plugin;
    plugin.SetCurBandIndex(3);
    plugin.SetBackTransparent(2);  // any non-zero flag is a transparent background
    plugin.SetClass(VmImagePlugin::PluginClassService);
    plugin.SetNoValue(0.5);
    plugin.Palette(0).peRed = 10;
    plugin.Palette(255).peFlags = 7;

    TestImagePlugin copied(plugin);
    TestImagePlugin assigned;
    assigned = plugin;
    for (TestImagePlugin* p : {&copied, &assigned}) {
        EXPECT_EQ(std::make_tuple(p->GetCurBandIndex(), p->IsTransparentBack(), p->GetPluginClass(), p->NoValue(),
                                  p->Palette(0).peRed + 0, p->Palette(255).peFlags + 0),
                  std::make_tuple(3, true, VmImagePlugin::PluginClassService, 0.5, 10, 7));
    }
}
