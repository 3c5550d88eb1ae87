// A raster's pixels handed to another runtime (the Python module's numpy
// arrays) as one block of rows x columns x bands, without a copy where the
// import left them so.
#include "VmDataExchange.h"
#include "VmGdalDrivers.h"
#include "VmPixelBuffer.h"

#include <gdal.h>

#include <cstring>

namespace VMK {

namespace {

const char* NumpyType(GDALDataType type) {
    switch (type) {
    case GDT_Byte: return "u1";
    case GDT_Int16: return "i2";
    case GDT_UInt16: return "u2";
    case GDT_Int32: return "i4";
    case GDT_UInt32: return "u4";
    case GDT_Float32: return "f4";
    case GDT_Float64: return "f8";
    default: return nullptr;
    }
}

} // namespace

bool VmDataExchange::PixelArrayOf(VmDatasetRaster* raster, PixelArray& out) {
    out = PixelArray();
    auto* memory = dynamic_cast<VmDatasetRasterMemory*>(raster);
    auto pixels = memory ? static_cast<GDALDatasetH>(memory->GetPixels()) : nullptr;
    if (!pixels || GDALGetRasterCount(pixels) == 0) return false;
    const int bands = GDALGetRasterCount(pixels);
    const GDALDataType type = GDALGetRasterDataType(GDALGetRasterBand(pixels, 1));
    for (int b = 2; b <= bands; ++b)
        if (GDALGetRasterDataType(GDALGetRasterBand(pixels, b)) != type) return false;
    const char* letters = NumpyType(type);
    if (!letters) return false;
    out.Width = GDALGetRasterXSize(pixels);
    out.Height = GDALGetRasterYSize(pixels);
    out.Bands = bands;
    out.Type = letters;
    out.ItemBytes = GDALGetDataTypeSizeBytes(type);
    if (GDALGetGeoTransform(pixels, out.Transform) != CE_None) {
        const double identity[6] = {0, 1, 0, 0, 0, -1};
        std::memcpy(out.Transform, identity, sizeof identity);
    }
    int has = 0;
    out.NoData = GDALGetRasterNoDataValue(GDALGetRasterBand(pixels, 1), &has);
    out.HasNoData = has != 0;
    if (memory->GetMemory()) {
        // The import's own layout (see CopyPixels): band after band within a
        // pixel, pixel after pixel within a row.
        out.Memory = memory->GetMemory();
        out.Data = out.Memory.get();
        return true;
    }
    const GSpacing item = out.ItemBytes, pixel = item * bands, line = pixel * out.Width;
    out.Memory = MapPixels(static_cast<size_t>(line) * static_cast<size_t>(out.Height));
    if (!out.Memory) return false;
    out.Data = out.Memory.get();
    out.Copied = true;
    return GDALDatasetRasterIOEx(pixels, GF_Read, 0, 0, out.Width, out.Height, out.Data, out.Width, out.Height, type,
                                 bands, nullptr, pixel, line, item, nullptr) == CE_None;
}

} // namespace VMK
