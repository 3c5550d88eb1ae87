#include "VmGdalDrivers.h"

#include <cpl_conv.h>
#include <gdal.h>
#include <gdal_frmts.h>

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

} // namespace VMK
