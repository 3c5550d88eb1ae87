// Layer records: what a capabilities document says about each WMS layer, WFS
// feature type and WCS coverage. Plain data with public fields; the only
// behaviour is the WMS layer tree (inheritance while parsing, flattening into
// the drawable layers).
#pragma once

#include "VmGeometry.h"
#include "VmOGCCommon.h"

namespace VMK {

class VM_OGC_API OGCLayer {
public:
    OGCLayer() = default;
    OGCLayer(const OGCLayer&) = default;
    OGCLayer& operator=(const OGCLayer&) = default;
    virtual ~OGCLayer() = default;

    PlxMBString Name;
    PlxMBString Title;
    PlxMBString Abstract;
    PlxArray<PlxMBString> SRSList;  // CRS names in document order
    PlxRect2D LatLonBox;            // degrees: left west, top north, right east, bottom south
    // Upper-cased layer name to the name of the layer's first style (WMS only).
    PlxDict<PlxMBString, PlxMBString> StyleTable;
};

// A WMS layer and its subtree.
//
// Copy rule: a copy is a detached, deep copy. The copy gets its own copies of
// the children (whose Parent points at the copy) and no parent of its own, so
// each tree owns exactly its own nodes and no destructor can free a node twice.
class VM_OGC_API WMSLayer : public OGCLayer {
public:
    WMSLayer() = default;
    WMSLayer(const WMSLayer& other);
    WMSLayer& operator=(const WMSLayer& other);
    // Destroys the children, recursively.
    ~WMSLayer() override;

    WMSLayer* GetParentalLayer() const { return Parent; }
    // Number of ancestors: 0 for the root.
    int GetCurrentLevel() const;
    unsigned char IsLeaf() const { return Children.IsEmpty() ? 1 : 0; }
    // Depth of the subtree below: 0 for a lone layer.
    int GetTotalLevel() const { return TotalLevel(this); }
    // Appends `child` (taking ownership) and makes this layer its parent.
    void Growleaf(WMSLayer* child);
    // Only a root may be flattened: fills `list` with the named leaves in
    // document order and returns 1; on a layer with a parent returns 0 and
    // leaves `list` as it was.
    unsigned char Parallelize(PlxArray<WMSLayer*>& list);
    // Completes the CRS list, the lat/lon box and the CRS bounds from `parent`:
    // the layer's own entries first, then the parent's ones it lacks. Without
    // `withCRSNames` the CRS list stays as it is.
    void InheriFrom(WMSLayer* parent, bool withCRSNames = true);

    VmCRSBounds CRSBounds;
    unsigned char Queryable = 0;
    int Cascaded = 0;
    unsigned char Opaque = 0;
    unsigned char NoSubsets = 0;
    int FixedWidth = 0;
    int FixedHeight = 0;
    WMSLayer* Parent = nullptr;        // not owned
    PlxArray<WMSLayer*> Children;      // owned

private:
    static WMSLayer* ParentalLayer(const WMSLayer* layer) { return layer->Parent; }
    static int TotalLevel(const WMSLayer* layer);
    static unsigned char ParallelizeLayer(WMSLayer* layer, PlxArray<WMSLayer*>& list);
    void CopyFrom(const WMSLayer& other);
    void DeleteChildren();
};

class VM_OGC_API WFSFeatureType : public OGCLayer {
public:
    WFSFeatureType() = default;
    WFSFeatureType(const WFSFeatureType&) = default;
    WFSFeatureType& operator=(const WFSFeatureType&) = default;
    ~WFSFeatureType() override = default;

    PlxMBString SRS;
    PlxArray<PlxMBString> Operations;
};

class VM_OGC_API WCSCoverage : public OGCLayer {
public:
    WCSCoverage() = default;
    WCSCoverage(const WCSCoverage&) = default;
    WCSCoverage& operator=(const WCSCoverage&) = default;
    ~WCSCoverage() override = default;

    PlxMBString EnvelopeSRS;  // srsName of the lonLatEnvelope
};

} // namespace VMK
