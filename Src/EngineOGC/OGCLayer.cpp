// The WMS layer tree: copying, levels, flattening and inheritance.
#include "OGCLayer.h"

#include <string>
#include <unordered_map>
#include <vector>

#define VM_LOG_SOURCE "Src/EngineOGC/OGCLayer"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

WMSLayer::WMSLayer(const WMSLayer& other) : OGCLayer(other) { CopyFrom(other); }

WMSLayer& WMSLayer::operator=(const WMSLayer& other) {
    if (this == &other) return *this;
    // Copy first: `other` may live inside the subtree this assignment frees.
    WMSLayer copy(other);
    DeleteChildren();
    OGCLayer::operator=(copy);
    CopyFrom(copy);
    return *this;
}

WMSLayer::~WMSLayer() { DeleteChildren(); }

void WMSLayer::CopyFrom(const WMSLayer& other) {
    CRSBounds = other.CRSBounds;
    Queryable = other.Queryable;
    Cascaded = other.Cascaded;
    Opaque = other.Opaque;
    NoSubsets = other.NoSubsets;
    FixedWidth = other.FixedWidth;
    FixedHeight = other.FixedHeight;
    Parent = nullptr;
    Children.RemoveAll();
    for (const WMSLayer* child : other.Children) Growleaf(new WMSLayer(*child));
}

void WMSLayer::DeleteChildren() {
    for (WMSLayer* child : Children) delete child;
    Children.RemoveAll();
}

int WMSLayer::GetCurrentLevel() const {
    int level = 0;
    for (const WMSLayer* layer = ParentalLayer(this); layer; layer = ParentalLayer(layer)) ++level;
    return level;
}

int WMSLayer::TotalLevel(const WMSLayer* layer) {
    if (layer->Children.IsEmpty()) return 0;
    int deepest = 0;
    for (const WMSLayer* child : layer->Children) {
        int level = TotalLevel(child);
        if (level > deepest) deepest = level;
    }
    return deepest + 1;
}

void WMSLayer::Growleaf(WMSLayer* child) {
    Children.Add(child);
    child->Parent = this;
}

unsigned char WMSLayer::ParallelizeLayer(WMSLayer* layer, PlxArray<WMSLayer*>& list) {
    if (!layer->Name.IsEmpty() && layer->IsLeaf()) list.Add(layer);
    for (WMSLayer* child : layer->Children) ParallelizeLayer(child, list);
    return 1;
}

unsigned char WMSLayer::Parallelize(PlxArray<WMSLayer*>& list) {
    if (Parent) return 0;
    list.RemoveAll();
    return ParallelizeLayer(this, list);
}

void WMSLayer::InheriFrom(WMSLayer* parent, bool withCRSNames) {
    // CRS names: each own name cancels one case-insensitive equal of the
    // parent's (the last), the parent's remaining names follow the own ones.
    // Roots list thousands of names, so the equals are found by lookup
    // rather than by comparing every pair.
    if (withCRSNames && !parent->SRSList.IsEmpty()) {
        std::unordered_map<std::string, std::vector<int>> where;  // upper-case name -> indexes, ascending
        for (int i = 0; i < parent->SRSList.GetSize(); ++i) {
            PlxMBString key = parent->SRSList[i];
            where[key.MakeUpper().str()].push_back(i);
        }
        std::vector<bool> cancelled(static_cast<size_t>(parent->SRSList.GetSize()), false);
        for (const PlxMBString& own : SRSList) {
            PlxMBString key = own;
            auto found = where.find(key.MakeUpper().str());
            if (found == where.end() || found->second.empty()) continue;
            cancelled[static_cast<size_t>(found->second.back())] = true;
            found->second.pop_back();
        }
        for (int i = 0; i < parent->SRSList.GetSize(); ++i)
            if (!cancelled[static_cast<size_t>(i)]) SRSList.Add(parent->SRSList[i]);
    }

    if (LatLonBox.IsEmpty()) LatLonBox = parent->LatLonBox;

    // A box the layer gives for a CRS overrides the parent's for that CRS.
    VmCRSBounds bounds;
    bounds.Copy(parent->CRSBounds);
    for (const VmCRSBound& own : CRSBounds) {
        int index = bounds.GetIndexByName(own.Name);
        if (index >= 0) bounds.RemoveAt(index);
    }
    CRSBounds.Append(bounds);
}

} // namespace VMK
