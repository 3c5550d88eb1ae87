// The WMS layer tree and the layer records. Inheritance as the reader chains
// it through three levels is in test_capabilities_wms.cpp.
#include "OGCLayer.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace VMK;

namespace {

WMSLayer* Named(const char* name) {
    auto* layer = new WMSLayer();
    layer->Name = name;
    return layer;
}

// A (unnamed) -> B (named leaf), C (named) -> D, E (named leaves)
struct Tree {
    WMSLayer* a = new WMSLayer();
    WMSLayer* b = Named("B");
    WMSLayer* c = Named("C");
    WMSLayer* d = Named("D");
    WMSLayer* e = Named("E");
    Tree() {
        a->Growleaf(b);
        a->Growleaf(c);
        c->Growleaf(d);
        c->Growleaf(e);
    }
    ~Tree() { delete a; }
};

std::string Names(const PlxArray<WMSLayer*>& list) {
    std::string out;
    for (const WMSLayer* layer : list) out += layer->Name.str();
    return out;
}

std::vector<std::string> Strings(const PlxArray<PlxMBString>& list) {
    std::vector<std::string> out;
    for (const PlxMBString& s : list) out.push_back(s.str());
    return out;
}

} // namespace

TEST(WMSLayerTest, ParallelizeListsNamedLeavesOfARoot) {
    Tree t;
    PlxArray<WMSLayer*> list;
    list.Add(t.c);
    ASSERT_EQ(t.a->Parallelize(list), 1);
    EXPECT_EQ(Names(list), "BDE") << "group layers and unnamed leaves are left out";
    EXPECT_EQ(t.b->Parallelize(list), 0) << "only a root may be flattened";
    EXPECT_EQ(Names(list), "BDE");

    WMSLayer lone;
    lone.Name = "only";
    ASSERT_EQ(lone.Parallelize(list), 1);
    EXPECT_EQ(Names(list), "only");
    WMSLayer unnamed;
    unnamed.Parallelize(list);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(WMSLayerTest, LevelsAndParents) {
    Tree t;
    EXPECT_EQ(t.d->GetCurrentLevel(), 2);
    EXPECT_EQ(t.a->GetTotalLevel(), 2);
    EXPECT_EQ(t.c->GetTotalLevel(), 1);
    EXPECT_EQ(t.d->GetTotalLevel(), 0);
    EXPECT_EQ(t.d->GetParentalLayer(), t.c);
    EXPECT_TRUE(t.b->IsLeaf());
    EXPECT_FALSE(t.c->IsLeaf());
}

TEST(WMSLayerTest, InheritsCrsNamesBoxesAndBoundsButNotFlags) {
    WMSLayer parent;
    for (const char* name : {"EPSG:4326", "CRS:84", "epsg:4326", "EPSG:3857", "Epsg:4326"}) parent.SRSList.Add(name);
    parent.LatLonBox = PlxRect2D(-180, 90, 180, -90);
    parent.CRSBounds.Add(VmCRSBound("EPSG:3857", PlxRect2D(0, 10, 10, 0)));
    parent.CRSBounds.Add(VmCRSBound("EPSG:4326", PlxRect2D(0, 20, 20, 0)));
    parent.Queryable = 1;
    parent.Opaque = 1;

    WMSLayer child;
    for (const char* name : {"EPSG:4326", "EPSG:4326", "EPSG:25832"}) child.SRSList.Add(name);
    child.CRSBounds.Add(VmCRSBound("EPSG:3857", PlxRect2D(1, 2, 2, 1)));
    child.InheriFrom(&parent);
    // Each own name cancels the parent's last equal spelling (ignoring case).
    EXPECT_EQ(Strings(child.SRSList),
              (std::vector<std::string>{"EPSG:4326", "EPSG:4326", "EPSG:25832", "EPSG:4326", "CRS:84", "EPSG:3857"}));
    EXPECT_EQ(child.LatLonBox, parent.LatLonBox) << "an empty box is inherited";
    ASSERT_EQ(child.CRSBounds.GetSize(), 2);
    EXPECT_EQ(child.CRSBounds[0].Rect, PlxRect2D(1, 2, 2, 1)) << "own box for a CRS overrides the parent's";
    EXPECT_EQ(child.CRSBounds[1].Name, "EPSG:4326");
    EXPECT_EQ(child.Queryable + child.Opaque, 0) << "flags are the layer's own";

    WMSLayer own;
    own.SRSList.Add("EPSG:25832");
    own.LatLonBox = PlxRect2D(1, 2, 2, 1);
    own.InheriFrom(&parent, false);
    EXPECT_EQ(Strings(own.SRSList), std::vector<std::string>{"EPSG:25832"}) << "the names stay the layer's own";
    EXPECT_EQ(own.LatLonBox, PlxRect2D(1, 2, 2, 1)) << "an own box stays, however small";
    EXPECT_EQ(own.CRSBounds.GetSize(), 2) << "boxes are still inherited";
}

TEST(WMSLayerTest, CopyIsDeepAndDetached) {
    Tree t;
    WMSLayer copy(*t.a);
    ASSERT_EQ(copy.Children.GetSize(), 2);
    EXPECT_NE(copy.Children[1], t.c);
    EXPECT_EQ(copy.Children[1]->Parent, &copy);
    EXPECT_EQ(copy.Children[1]->Children[0]->Name, "D");

    WMSLayer sub(*t.c);
    EXPECT_EQ(sub.Parent, nullptr) << "a copied subtree is a root of its own";
    PlxArray<WMSLayer*> list;
    EXPECT_EQ(sub.Parallelize(list), 1);
    EXPECT_EQ(Names(list), "DE");

    // Assigning a layer's own child to it must not read freed memory.
    WMSLayer holder(*t.a);
    holder = *holder.Children[1];
    EXPECT_EQ(holder.Name, "C");
    EXPECT_EQ(holder.Children.GetSize(), 2);
    holder = holder;
    EXPECT_EQ(holder.Children.GetSize(), 2);
}

TEST(LayerRecordsTest, DefaultsAndCopies) {
    WFSFeatureType type;
    EXPECT_TRUE(type.LatLonBox.IsNull());
    type.Name = "demo:roads";
    type.Operations.Add("Query");
    WFSFeatureType copy;
    copy = type;
    type.Operations.Add("Insert");
    EXPECT_EQ(copy.Name, "demo:roads");
    EXPECT_EQ(copy.Operations.GetSize(), 1);

    // A record is destroyed through its base (the sanitizer build sees a leak otherwise).
    OGCLayer* coverage = new WCSCoverage();
    static_cast<WCSCoverage*>(coverage)->EnvelopeSRS = "urn:ogc:def:crs:OGC:1.3:CRS84";
    delete coverage;
}
