#include "TestImages.h"

#include <cpl_vsi.h>
#include <gdal.h>

#include <vector>

namespace ogctest {

std::string MakeImage(const char* driver, int width, int height, int bands) {
    GDALAllRegister();
    GDALDatasetH mem = GDALCreate(GDALGetDriverByName("MEM"), "", width, height, bands, GDT_Byte, nullptr);
    std::vector<unsigned char> row(static_cast<size_t>(width));
    for (int b = 1; b <= bands; ++b) {
        for (int x = 0; x < width; ++x)
            row[static_cast<size_t>(x)] = static_cast<unsigned char>(b == 1 ? (x * 255) / (width > 1 ? width - 1 : 1) : 40 * b);
        for (int y = 0; y < height; ++y)
            if (GDALRasterIO(GDALGetRasterBand(mem, b), GF_Write, 0, y, width, 1, row.data(), width, 1, GDT_Byte, 0, 0) != CE_None) break;
    }
    std::string path = std::string("/vsimem/ogctest_image_") + driver;
    GDALDatasetH out = GDALCreateCopy(GDALGetDriverByName(driver), path.c_str(), mem, FALSE, nullptr, nullptr, nullptr);
    GDALClose(mem);
    if (!out) return std::string();
    GDALClose(out);
    vsi_l_offset size = 0;
    GByte* data = VSIGetMemFileBuffer(path.c_str(), &size, TRUE);
    std::string bytes(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    VSIFree(data);
    VSIUnlink((path + ".aux.xml").c_str());
    return bytes;
}

} // namespace ogctest
