// The WMS layer tree and the layer records.
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

} // namespace

TEST(WMSLayerTest, ParallelizeListsNamedLeavesOfARoot) {
    Tree t;
    PlxArray<WMSLayer*> list;
    list.Add(t.c);
    ASSERT_EQ(t.a->Parallelize(list), 1);
    EXPECT_EQ(Names(list), "BDE") << "group layers and unnamed leaves are left out";

    PlxArray<WMSLayer*> untouched;
    untouched.Add(t.d);
    EXPECT_EQ(t.b->Parallelize(untouched), 0) << "only a root may be flattened";
    EXPECT_EQ(Names(untouched), "D");

    WMSLayer lone;
    lone.Name = "only";
    ASSERT_EQ(lone.Parallelize(list), 1);
    ASSERT_EQ(list.GetSize(), 1);
    EXPECT_EQ(list[0], &lone);

    WMSLayer unnamed;
    unnamed.Parallelize(list);
    EXPECT_TRUE(list.IsEmpty());
}

TEST(WMSLayerTest, Levels) {
    Tree t;
    EXPECT_EQ(t.d->GetCurrentLevel(), 2);
    EXPECT_EQ(t.a->GetCurrentLevel(), 0);
    EXPECT_EQ(t.a->GetTotalLevel(), 2);
    EXPECT_EQ(t.c->GetTotalLevel(), 1);
    EXPECT_EQ(t.d->GetTotalLevel(), 0);
    EXPECT_EQ(t.d->GetParentalLayer(), t.c);
    EXPECT_TRUE(t.b->IsLeaf());
    EXPECT_FALSE(t.c->IsLeaf());
}

TEST(WMSLayerTest, InheritsCrsNamesBoxesAndBoundsButNotFlags) {
    WMSLayer parent;
    parent.SRSList.Add("EPSG:4326");
    parent.SRSList.Add("EPSG:3857");
    parent.LatLonBox = PlxRect2D(-180, 90, 180, -90);
    parent.CRSBounds.Add(VmCRSBound("EPSG:3857", PlxRect2D(0, 10, 10, 0)));
    parent.CRSBounds.Add(VmCRSBound("EPSG:4326", PlxRect2D(0, 20, 20, 0)));
    parent.Queryable = 1;
    parent.Opaque = 1;

    WMSLayer child;
    child.SRSList.Add("epsg:4326");
    child.CRSBounds.Add(VmCRSBound("EPSG:3857", PlxRect2D(1, 2, 2, 1)));
    child.InheriFrom(&parent);

    ASSERT_EQ(child.SRSList.GetSize(), 2);
    EXPECT_EQ(child.SRSList[0], "epsg:4326");
    EXPECT_EQ(child.SRSList[1], "EPSG:3857");
    EXPECT_EQ(child.LatLonBox, parent.LatLonBox) << "an empty box is inherited";
    ASSERT_EQ(child.CRSBounds.GetSize(), 2);
    EXPECT_EQ(child.CRSBounds[0].Rect, PlxRect2D(1, 2, 2, 1)) << "own box for a CRS overrides the parent's";
    EXPECT_EQ(child.CRSBounds[1].Name, "EPSG:4326");
    EXPECT_EQ(child.Queryable, 0);
    EXPECT_EQ(child.Opaque, 0);

    WMSLayer small;
    small.LatLonBox = PlxRect2D(1, 2, 2, 1);
    small.InheriFrom(&parent);
    EXPECT_EQ(small.LatLonBox, PlxRect2D(1, 2, 2, 1)) << "an own box stays, however small";
    EXPECT_EQ(small.SRSList.GetSize(), 2);
}

TEST(WMSLayerTest, EachOwnNameCancelsTheLastEqualOfTheParent) {
    WMSLayer parent;
    for (const char* name : {"EPSG:4326", "CRS:84", "epsg:4326", "EPSG:3857", "Epsg:4326"}) parent.SRSList.Add(name);
    parent.CRSBounds.Add(VmCRSBound("EPSG:3857", PlxRect2D(0, 10, 10, 0)));
    WMSLayer child;
    for (const char* name : {"EPSG:4326", "EPSG:4326", "EPSG:25832"}) child.SRSList.Add(name);
    child.InheriFrom(&parent);
    std::vector<std::string> names;
    for (const PlxMBString& name : child.SRSList) names.push_back(name.str());
    // Two own EPSG:4326 cancel the parent's last two spellings of it.
    EXPECT_EQ(names, (std::vector<std::string>{"EPSG:4326", "EPSG:4326", "EPSG:25832", "EPSG:4326", "CRS:84",
                                               "EPSG:3857"}));

    WMSLayer without;
    without.SRSList.Add("EPSG:25832");
    without.InheriFrom(&parent, false);
    ASSERT_EQ(without.SRSList.GetSize(), 1) << "the names stay the layer's own";
    EXPECT_EQ(without.LatLonBox, parent.LatLonBox);
    EXPECT_EQ(without.CRSBounds.GetSize(), 1) << "boxes are still inherited";
}

TEST(WMSLayerTest, InheritanceFlowsThroughThreeLevels) {
    WMSLayer* root = new WMSLayer();
    root->SRSList.Add("EPSG:4326");
    root->LatLonBox = PlxRect2D(-10, 10, 10, -10);
    WMSLayer* mid = new WMSLayer();
    mid->SRSList.Add("EPSG:3857");
    mid->InheriFrom(root);
    root->Growleaf(mid);
    WMSLayer* leaf = Named("leaf");
    leaf->SRSList.Add("EPSG:32632");
    leaf->InheriFrom(mid);
    mid->Growleaf(leaf);

    ASSERT_EQ(leaf->SRSList.GetSize(), 3);
    EXPECT_EQ(leaf->SRSList[2], "EPSG:4326");
    EXPECT_EQ(leaf->LatLonBox, root->LatLonBox);
    delete root;
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

    // A record is destroyed through its base.
    OGCLayer* coverage = new WCSCoverage();
    static_cast<WCSCoverage*>(coverage)->EnvelopeSRS = "urn:ogc:def:crs:OGC:1.3:CRS84";
    delete coverage;
}
