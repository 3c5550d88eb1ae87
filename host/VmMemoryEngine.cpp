// The in-memory engine: a data source that holds its datasets in memory,
// rasters as GDAL in-memory datasets, vector datasets as record stores
// (VmMemoryVector.cpp, VmMemoryStore.h).
#include "VmEngine.h"

#include <gdal.h>
#include <sqlite3.h>

namespace VMK {

namespace {
GDALDatasetH Handle(void* p) { return static_cast<GDALDatasetH>(p); }
} // namespace

VmDatasetRasterMemory::VmDatasetRasterMemory(const PlxMBString& name, void* pixels,
                                             std::shared_ptr<unsigned char> memory)
    : m_pPixels(pixels), m_pMemory(std::move(memory)) {
    m_strName = name;
    m_nType = Image;
    m_Info.Name = name;
    m_Info.Type = Image;
    m_Info.Width = GetWidth();
    m_Info.Height = GetHeight();
    m_Info.PixelFormat = GetPixelFormat();
    m_rcBounds = PlxRect2D(0, GetHeight(), GetWidth(), 0);
}

VmDatasetRasterMemory::~VmDatasetRasterMemory() {
    if (m_pPixels) GDALClose(Handle(m_pPixels));
}

int VmDatasetRasterMemory::GetWidth() { return m_pPixels ? GDALGetRasterXSize(Handle(m_pPixels)) : 0; }
int VmDatasetRasterMemory::GetHeight() { return m_pPixels ? GDALGetRasterYSize(Handle(m_pPixels)) : 0; }
int VmDatasetRasterMemory::GetBandCount() { return m_pPixels ? GDALGetRasterCount(Handle(m_pPixels)) : 0; }

PlxMBString VmDatasetRasterMemory::GetDataTypeName() {
    if (GetBandCount() == 0) return PlxMBString();
    return PlxMBString(GDALGetDataTypeName(GDALGetRasterDataType(GDALGetRasterBand(Handle(m_pPixels), 1))));
}

int VmDatasetRasterMemory::GetPixelFormat() {
    int bands = GetBandCount();
    if (bands == 0) return VmPixelUnknown;
    GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(Handle(m_pPixels), 1));
    if (type == GDT_Byte) {
        if (bands == 1) return VmPixelGray8;
        if (bands == 3) return VmPixelRGB24;
        if (bands == 4) return VmPixelRGBA32;
    }
    if (bands == 1 && (type == GDT_UInt16 || type == GDT_Int16)) return VmPixelGray16;
    if (bands == 1 && type == GDT_Float32) return VmPixelFloat32;
    if (bands == 1 && type == GDT_Float64) return VmPixelFloat64;
    return VmPixelMulti;
}

bool VmDatasetRasterMemory::ReadBand(int band, std::vector<double>& values) {
    values.clear();
    if (band < 1 || band > GetBandCount()) return false;
    int w = GetWidth(), h = GetHeight();
    values.resize(static_cast<size_t>(w) * static_cast<size_t>(h));
    GDALRasterBandH b = GDALGetRasterBand(Handle(m_pPixels), band);
    return GDALRasterIO(b, GF_Read, 0, 0, w, h, values.data(), w, h, GDT_Float64, 0, 0) == CE_None;
}

void VmDatasetRasterMemory::SetGeoReference(const PlxRect2D& rect) {
    VmDatasetRaster::SetGeoReference(rect);
    int w = GetWidth(), h = GetHeight();
    if (!m_pPixels || w <= 0 || h <= 0) return;
    double transform[6] = {rect.left, rect.Width() / w, 0.0, rect.top, 0.0, -rect.Height() / h};
    GDALSetGeoTransform(Handle(m_pPixels), transform);
}

// ---------------------------------------------------------------------------

VmDataSourceMemory::VmDataSourceMemory() { m_dsConnection.EngineType = VmDataSourceManager::EngineMemory; }

VmDataSourceMemory::~VmDataSourceMemory() { VmDataSourceMemory::Close(); }

unsigned char VmDataSourceMemory::Create() {
    if (m_dsConnection.Server != ":memory:") return 0;
    m_bOpened = 1;
    return 1;
}

unsigned char VmDataSourceMemory::Open() { return Create(); }

void VmDataSourceMemory::Close() {
    // Vector datasets drop their filter tables on deletion, unless told
    // first that the database goes with them.
    for (VmDataset* dataset : m_Datasets) {
        if (auto* vector = dynamic_cast<VmDatasetVectorMemory*>(dataset)) vector->LeaveDatabase();
        delete dataset;
    }
    m_Datasets.RemoveAll();
    if (m_pDatabase) {
        sqlite3_close_v2(m_pDatabase);
        m_pDatabase = nullptr;
    }
    m_bOpened = 0;
}

void VmDataSourceMemory::AddDataset(VmDataset* dataset) {
    dataset->SetDataSource(this);
    m_Datasets.Add(dataset);
}

VmDataSource* VmDataSourceManager::CreateDataSource(int engineType) {
    if (engineType == EngineMemory) return new VmDataSourceMemory();
    return nullptr;
}

} // namespace VMK
