#include "VmGdalDrivers.h"

#include <cpl_conv.h>
#include <gdal.h>
#include <gdal_frmts.h>

#include <cstdio>
#include <mutex>

namespace VMK {

void EnsureGdalDrivers() {
    static std::once_flag once;
    std::call_once(once, [] {
        // No ".aux.xml" beside downloaded files, and a truncated JPEG is an
        // error rather than a grey tail.
        CPLSetConfigOption("GDAL_PAM_ENABLED", "NO");
        CPLSetConfigOption("GDAL_ERROR_ON_LIBJPEG_WARNING", "TRUE");
        CPLSetConfigOption("GDAL_DISABLE_READDIR_ON_OPEN", "EMPTY_DIR");
        GDALRegister_PNG();
        GDALRegister_JPEG();
        GDALRegister_GIF();
        GDALRegister_BMP();
        GDALRegister_GTiff();
        GDALRegister_AAIGrid();
        GDALRegister_MEM();
    });
}

GDALDatasetH MemoryOver(unsigned char* data, int width, int height, int bands, GDALDataType type, GSpacing pixel,
                        GSpacing line, GSpacing bandSpacing) {
    GDALDatasetH memory = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, 0, type, nullptr);
    if (!memory) return nullptr;
    for (int band = 0; band < bands; ++band) {
        char pointer[64], pixelOffset[48], lineOffset[48];
        std::snprintf(pointer, sizeof pointer, "DATAPOINTER=%p", static_cast<void*>(data + band * bandSpacing));
        std::snprintf(pixelOffset, sizeof pixelOffset, "PIXELOFFSET=%lld", static_cast<long long>(pixel));
        std::snprintf(lineOffset, sizeof lineOffset, "LINEOFFSET=%lld", static_cast<long long>(line));
        const char* options[] = {pointer, pixelOffset, lineOffset, nullptr};
        if (GDALAddBand(memory, type, const_cast<char**>(options)) != CE_None) {
            GDALClose(memory);
            return nullptr;
        }
    }
    return memory;
}

} // namespace VMK
