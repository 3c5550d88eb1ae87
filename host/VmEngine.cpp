#include "VmEngine.h"

#include <cmath>

namespace VMK {

namespace {
void DeleteSources(PlxArray<VmDataSource*>& sources) {
    for (VmDataSource* source : sources) delete source;
    sources.RemoveAll();
}
} // namespace

VmWebDatasetRaster::~VmWebDatasetRaster() { DeleteSources(m_TempDataSources); }

VmWebDatasetVector::~VmWebDatasetVector() { DeleteSources(m_TempDataSources); }

unsigned char VmWebDatasetVector::SetFieldInfo(int index, const PlxFieldInfo& field) {
    if (index < 0 || index > m_DownloadedFields.GetSize()) return 0;
    if (index == m_DownloadedFields.GetSize()) m_DownloadedFields.Add(field);
    else m_DownloadedFields[index] = field;
    return 1;
}

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

namespace VMK {

// Rasters that are not drawn from web layers answer every layer question
// with "nothing".
VmDatasetRaster* VmDatasetRaster::GetDatasetRaster(PlxRect2D, int, int, PlxMBString) { return nullptr; }
VmDatasetRaster* VmDatasetRaster::GetDatasetRaster(PlxMBString) { return nullptr; }
unsigned char VmDatasetRaster::GetAllLayerNames(PlxArray<PlxMBString>& names) { names.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::GetAllLayerTitles(PlxArray<PlxMBString>& titles) { titles.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::GetAllLayerIndexes(PlxArray<int>& indexes) { indexes.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::GetVisibleLayerNames(PlxArray<PlxMBString>& names) { names.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::GetVisibleLayerTitles(PlxArray<PlxMBString>& titles) { titles.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::GetVisibleLayerIndexes(PlxArray<int>& indexes) { indexes.RemoveAll(); return 0; }
unsigned char VmDatasetRaster::SetVisibleLayers(const PlxArray<PlxMBString>&) { return 0; }
unsigned char VmDatasetRaster::SetVisibleLayers(const PlxArray<int>&) { return 0; }
unsigned char VmDatasetRaster::SetTransparent(unsigned char) { return 0; }
unsigned char VmDatasetRaster::GetTransparent() { return 0; }
unsigned char VmDatasetRaster::IsLayerQueryable(int) { return 0; }
PlxMBString VmDatasetRaster::GetLayerStyle(int) { return PlxMBString(); }
unsigned char VmDatasetRaster::SetLayerStyle(const PlxMBString&, const PlxMBString&) { return 0; }
bool VmDatasetRaster::ReadBand(int, std::vector<double>& values) { values.clear(); return false; }
unsigned char VmDatasetRaster::GetRasterDescription(VmRasterDescription& out) {
    out = VmRasterDescription();
    return 0;
}

void VmDatasetRaster::SetGeoReference(const PlxRect2D& rect) { m_rcBounds = rect; }

void VmDatasetRaster::XYToImg(const PlxRect2D& rect, PlxRect2D& imageRect) {
    double w = m_rcBounds.Width(), h = m_rcBounds.Height();
    if (w <= 0 || h <= 0 || GetWidth() <= 0 || GetHeight() <= 0) {
        imageRect = PlxRect2D();
        return;
    }
    double sx = GetWidth() / w, sy = GetHeight() / h;
    // Whole pixels covering the rectangle; a hair of tolerance keeps an edge
    // that lies on a pixel boundary from taking in the next pixel.
    const double eps = 1e-6;
    imageRect = PlxRect2D(std::floor((rect.left - m_rcBounds.left) * sx + eps),
                          std::floor((m_rcBounds.top - rect.top) * sy + eps),
                          std::ceil((rect.right - m_rcBounds.left) * sx - eps),
                          std::ceil((m_rcBounds.top - rect.bottom) * sy - eps));
}

void VmDatasetRaster::ImgToXY(const PlxRect2D& imageRect, PlxRect2D& rect) {
    if (GetWidth() <= 0 || GetHeight() <= 0) {
        rect = PlxRect2D();
        return;
    }
    double sx = m_rcBounds.Width() / GetWidth(), sy = m_rcBounds.Height() / GetHeight();
    rect = PlxRect2D(m_rcBounds.left + imageRect.left * sx, m_rcBounds.top - imageRect.top * sy,
                     m_rcBounds.left + imageRect.right * sx, m_rcBounds.top - imageRect.bottom * sy);
}

namespace {
bool Contains(PlxMBString text, const char* word) { return text.MakeUpper().Find(word) >= 0; }
} // namespace

PlxMBString VmWebDatasetRaster::GetFixedRequestImageType(const PlxArray<PlxMBString>& formats) {
    // Exact MIME types first: a service may list "image/png; mode=8bit" or
    // vendor variants next to the plain one.
    for (const PlxMBString& f : formats)
        if (f.CompareNoCase("image/png") == 0) return f;
    for (const PlxMBString& f : formats)
        if (Contains(f, "PNG")) return f;
    for (const PlxMBString& f : formats)
        if (f.CompareNoCase("image/jpeg") == 0) return f;
    static const char* const others[] = {"JPEG", "JPG", "GIF", "BMP", "TIFF"};
    for (const char* word : others)
        for (const PlxMBString& f : formats)
            if (Contains(f, word) && !Contains(f, "SVG") && !Contains(f, "KML")) return f;
    return PlxMBString();
}

} // namespace VMK
