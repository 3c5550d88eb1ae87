#include "VmSpatialIndex.h"
#include "VmEngine.h"

namespace VMK {

unsigned char VmSpatialIndex::BuildSpatialIndex(const VmSpatialIndexInfo& info) {
    if (info.Type <= 0) return 0;
    auto* memory = dynamic_cast<VmDatasetVectorMemory*>(m_pDataset);
    return memory ? memory->BuildSpatialIndex() : 0;
}

} // namespace VMK
