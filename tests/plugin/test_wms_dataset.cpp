// The WMS dataset on hand-built layer trees: visibility, CRS choice, bounds
// fallbacks, styles and the request values drawn from them.
#include "TestSupport.h"
#include "VmDatasetRasterWMS.h"

#include <gtest/gtest.h>

#include <memory>

using namespace VMK;

namespace {

WMSLayer* Leaf(const char* name, std::initializer_list<const char*> crs, PlxRect2D box = PlxRect2D()) {
    auto* layer = new WMSLayer();
    layer->Name = name;
    layer->Title = PlxMBString("Title of ") + name;
    for (const char* c : crs) layer->SRSList.Add(c);
    layer->LatLonBox = box;
    return layer;
}

struct Service {
    std::unique_ptr<WMSLayer> root{new WMSLayer()};
    VmDatasetRasterWMS dataset;
    WMSLayer* Add(WMSLayer* layer) {
        root->Growleaf(layer);
        return layer;
    }
    void Init() { ASSERT_TRUE(dataset.initLayers(root.get())); }
};

std::string Text(const PlxMBString& s) { return s.str(); }
std::string Text(int i) { return std::to_string(i); }

template <typename T>
std::string Join(const PlxArray<T>& list) {
    std::string out;
    for (const T& item : list) out += (out.empty() ? "" : ",") + Text(item);
    return out;
}

template <typename T>
PlxArray<T> List(std::initializer_list<T> items) {
    PlxArray<T> list;
    for (const T& item : items) list.Add(item);
    return list;
}

} // namespace

TEST(WMSDatasetTest, InitTakesNamedLeavesAllVisible) {
    Service s;
    s.root->Title = "Demo map";
    s.Add(Leaf("A", {"EPSG:4326"}, PlxRect2D(0, 10, 10, 0)));
    WMSLayer* group = s.Add(Leaf("group", {}));
    group->Growleaf(Leaf("B", {"EPSG:4326"}, PlxRect2D(5, 20, 20, 5)));
    s.Init();
    EXPECT_EQ(s.dataset.GetName(), "Demo map");
    PlxArray<PlxMBString> names;
    EXPECT_TRUE(s.dataset.GetAllLayerNames(names));
    EXPECT_EQ(Join(names), "A,B");
    EXPECT_TRUE(s.dataset.GetVisibleLayerNames(names));
    EXPECT_EQ(Join(names), "A,B");
    EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:4326");
    EXPECT_EQ(s.dataset.GetBounds(), PlxRect2D(0, 20, 20, 0)) << "bounds follow the visible layers";

    VmDatasetRasterWMS empty;
    EXPECT_FALSE(empty.initLayers(nullptr));

    Service lone;
    lone.root->Name = "only";
    lone.Init();
    EXPECT_TRUE(lone.dataset.GetAllLayerNames(names));
    EXPECT_EQ(Join(names), "only");
}

TEST(WMSDatasetTest, ServiceWithoutDrawableLayersRefusesVisibility) {
    Service s;
    WMSLayer* group = s.Add(Leaf("group", {"EPSG:4326"}));
    group->Growleaf(new WMSLayer());  // unnamed leaf
    s.Init();
    LogCapture log;
    PlxArray<PlxMBString> names = List<PlxMBString>({"group"});
    PlxArray<int> indexes = List({0});
    VmWebLayersInfos infos;
    EXPECT_FALSE(s.dataset.SetVisibleLayers(names));
    EXPECT_FALSE(s.dataset.SetVisibleLayers(indexes));
    EXPECT_FALSE(s.dataset.SetVisibleLayers(infos));
    EXPECT_FALSE(s.dataset.GetVisibleLayers(infos));
    EXPECT_FALSE(s.dataset.GetVisibleLayerIndexes(indexes));
    EXPECT_EQ(log.Count("EGg020"), 5);
    EXPECT_EQ(VmLogFile::GetInstance(false).Entries()[0].level, 400);
    EXPECT_EQ(VmLogFile::GetInstance(false).Entries()[0].file, "Src/EngineOGC/VmDatasetRasterWMS");
}

TEST(WMSDatasetTest, VisibilityFollowsTheServiceOrder) {
    Service s;
    s.Add(Leaf("A", {"EPSG:4326"}, PlxRect2D(0, 10, 10, 0)));
    s.Add(Leaf("B", {"EPSG:4326"}, PlxRect2D(20, 30, 30, 20)));
    s.Add(Leaf("C", {"EPSG:4326"}, PlxRect2D(40, 50, 50, 40)));
    s.Init();
    EXPECT_TRUE(s.dataset.SetVisibleLayers(List<PlxMBString>({"C", "A", "a"})));  // names are case-sensitive
    PlxArray<PlxMBString> visible;
    s.dataset.GetVisibleLayerNames(visible);
    EXPECT_EQ(Join(visible), "A,C");
    EXPECT_EQ(s.dataset.GetLayersURLValue(), "C,A") << "drawn last to first";
    PlxArray<int> indexes;
    EXPECT_TRUE(s.dataset.GetVisibleLayerIndexes(indexes));
    EXPECT_EQ(Join(indexes), "0,2");
    EXPECT_EQ(s.dataset.GetBounds(), PlxRect2D(0, 50, 50, 0));
    PlxArray<PlxMBString> titles;
    s.dataset.GetVisibleLayerTitles(titles);
    EXPECT_EQ(titles.GetSize(), 3) << "titles of all layers, visible or not";

    EXPECT_TRUE(s.dataset.SetVisibleLayers(List({1, 1})));
    s.dataset.GetVisibleLayerNames(visible);
    EXPECT_EQ(Join(visible), "B,B") << "a layer asked for twice is drawn twice";
    EXPECT_EQ(s.dataset.GetBounds(), PlxRect2D(20, 30, 30, 20));

    EXPECT_FALSE(s.dataset.SetVisibleLayers(List({5, -1})));
    EXPECT_FALSE(s.dataset.GetVisibleLayerNames(visible));
    EXPECT_TRUE(s.dataset.GetBounds().IsNull()) << "bounds recomputed for no layer";
    EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:4326") << "the CRS name stays";
}

TEST(WMSDatasetTest, CRSChoiceAmongCommonNames) {
    {
        Service s;
        s.Add(Leaf("A", {"EPSG:3857", "EPSG:4326"}, PlxRect2D(0, 10, 10, 0)));
        s.Add(Leaf("B", {"EPSG:4326", "EPSG:3857"}, PlxRect2D(5, 20, 20, 5)));
        s.Init();
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:4326") << "EPSG:4326 wins when common";
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Rect, PlxRect2D(0, 20, 20, 0));
    }
    {
        Service s;
        WMSLayer* a = s.Add(Leaf("A", {"EPSG:32632", "EPSG:3857", "EPSG:31467"}));
        WMSLayer* b = s.Add(Leaf("B", {"EPSG:3857", "EPSG:32632"}));
        a->CRSBounds.Add(VmCRSBound("EPSG:32632", PlxRect2D(100, 200, 200, 100)));
        b->CRSBounds.Add(VmCRSBound("EPSG:32632", PlxRect2D(150, 300, 300, 150)));
        s.Init();
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:32632") << "the first common EPSG name met";
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Rect, PlxRect2D(100, 300, 300, 100)) << "union of the boxes";
    }
    {
        // A common CRS without boxes: the lat/lon union converted into it.
        Service s;
        s.Add(Leaf("A", {"EPSG:3857"}, PlxRect2D(-10, 10, 10, -10)));
        s.Init();
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:3857");
        EXPECT_NEAR(s.dataset.GetUsedCRSBound().Rect.right, 1113194.9, 1.0);
    }
    {
        // Only CRS:84 in common: the name of the earlier choice stays.
        Service s;
        s.Add(Leaf("A", {"CRS:84", "EPSG:4326"}, PlxRect2D(0, 10, 10, 0)));
        s.Add(Leaf("B", {"CRS:84"}, PlxRect2D(0, 10, 10, 0)));
        s.Init();
        s.dataset.SetVisibleLayers(List({0}));
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:4326");
        s.dataset.SetVisibleLayers(List({0, 1}));
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "EPSG:4326");
    }
    {
        Service s;
        s.Add(Leaf("A", {"EPSG:3857", "NONE"}));
        s.Init();
        EXPECT_EQ(s.dataset.GetUsedCRSBound().Name, "NONE") << "NONE replaces an EPSG name met before";
    }
}

TEST(WMSDatasetTest, LatLonUnionFallbacks) {
    {
        Service s;
        WMSLayer* a = s.Add(Leaf("A", {"EPSG:4326"}));
        a->CRSBounds.Add(VmCRSBound("epsg:4326", PlxRect2D(1, 4, 3, 2)));
        s.Init();
        EXPECT_EQ(s.dataset.GetBounds(), PlxRect2D(1, 4, 3, 2)) << "an EPSG:4326 box stands in for the lat/lon box";
    }
    {
        Service s;
        s.Add(Leaf("A", {"EPSG:4326"}));
        s.Init();
        EXPECT_TRUE(s.dataset.GetBounds().IsNull()) << "no box at all gives the null rectangle";
    }
}

TEST(WMSDatasetTest, StylesAndRequestValues) {
    Service s;
    WMSLayer* roads = s.Add(Leaf("roads", {"EPSG:4326"}));
    WMSLayer* rivers = s.Add(Leaf("rivers", {"EPSG:4326"}));
    WMSLayer* plain = s.Add(Leaf("plain", {"EPSG:4326"}));
    roads->StyleTable.SetAt("ROADS", "a");
    rivers->StyleTable.SetAt("RIVERS", "A");
    roads->Queryable = 1;
    plain->Queryable = 1;
    s.Init();

    PlxArray<PlxMBString> styles = s.dataset.GetAllStyles();
    EXPECT_EQ(Join(styles), "a") << "styles are distinct ignoring case";
    EXPECT_EQ(s.dataset.GetStylesURLValue(), ",A,a") << "plain has no style; drawn last to first";

    PlxMBString layer("roads"), style("thick");
    EXPECT_TRUE(s.dataset.SetStyle(layer, style));
    EXPECT_EQ(layer, "ROADS") << "the caller's name is upper-cased";
    PlxMBString other("rivers"), wide("wide");
    s.dataset.SetStyle(other, wide);
    EXPECT_EQ(s.dataset.GetStylesURLValue(), ",wide,a") << "only the latest choice is kept";
    EXPECT_EQ(s.dataset.GetLayerStyle(1), "wide");
    EXPECT_EQ(s.dataset.GetLayerStyle(0), "a");

    PlxMBString none;
    EXPECT_FALSE(s.dataset.SetStyle(none, wide));
    EXPECT_EQ(s.dataset.GetStylesURLValue(), ",A,a") << "a refused choice still clears the earlier one";

    PlxMBString name("plain"), s2("x");
    s.dataset.SetStyle(name, s2);
    EXPECT_EQ(s.dataset.GetStylesURLValue(), ",A,a") << "a layer without styles ignores a choice";

    s.dataset.SetVisibleLayers(List<PlxMBString>({"roads", "rivers"}));
    EXPECT_EQ(s.dataset.GetStylesURLValue(), "A,a");
    EXPECT_EQ(s.dataset.GetQueryableLayers(), "roads");
    EXPECT_TRUE(s.dataset.IsLayerQueryable(2));
    EXPECT_FALSE(s.dataset.IsLayerQueryable(7));
}
