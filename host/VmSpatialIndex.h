// Spatial indexes of vector datasets: they make bounds queries look at the
// records near the queried rectangle instead of every record.
#pragma once

namespace VMK {

class VmDatasetVector;

struct VmSpatialIndexInfo {
    enum { RTree = 2 };
    // Any positive type asks for an index; the engine decides its kind, and
    // the in-memory engine keeps its records' boxes side by side and scans
    // them. 0 and below ask for none.
    explicit VmSpatialIndexInfo(int type = RTree) : Type(type) {}
    int Type;
};

class VmSpatialIndex {
public:
    // `dataset` is not owned and must outlive the index object.
    explicit VmSpatialIndex(VmDatasetVector* dataset) : m_pDataset(dataset) {}

    // Builds the index over the records' bounds; records added later are
    // indexed as they are stored. 1 when the dataset has the index (also when
    // it had it already); 0 for datasets of engines without indexes or a
    // type that asks for none.
    unsigned char BuildSpatialIndex(const VmSpatialIndexInfo& info);

private:
    VmDatasetVector* m_pDataset;
};

} // namespace VMK
