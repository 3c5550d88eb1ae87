#include "VmEngine.h"

namespace VMK {

namespace {
void DeleteSources(PlxArray<VmDataSource*>& sources) {
    for (VmDataSource* source : sources) delete source;
    sources.RemoveAll();
}
} // namespace

VmWebDatasetRaster::~VmWebDatasetRaster() { DeleteSources(m_TempDataSources); }

VmWebDatasetVector::~VmWebDatasetVector() { DeleteSources(m_TempDataSources); }

unsigned char VmDataSource::DeleteDataset(const PlxMBString& name) {
    for (int i = m_Datasets.GetSize() - 1; i >= 0; --i) {
        VmDataset* dataset = m_Datasets[i];
        if (dataset->GetName().CompareNoCase(name) != 0) continue;
        dataset->Close();
        delete dataset;
        m_Datasets.RemoveAt(i);
        return 1;
    }
    return 0;
}

VmDataset* VmDataSource::GetDataset(int index) const {
    if (index < 0 || index >= m_Datasets.GetSize()) return nullptr;
    return m_Datasets[index];
}

VmDataset* VmDataSource::GetDataset(const PlxMBString& name) const {
    for (VmDataset* dataset : m_Datasets)
        if (dataset->GetName().CompareNoCase(name) == 0) return dataset;
    return nullptr;
}

PlxMBString VmDataSource::GetUnoccupiedDatasetName(const PlxMBString& name, int start) const {
    if (!GetDataset(name)) return name;
    for (int n = start;; ++n) {
        PlxMBString candidate;
        candidate.Format("%s_%d", name.c_str(), n);
        if (!GetDataset(candidate)) return candidate;
    }
}

} // namespace VMK
