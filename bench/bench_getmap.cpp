// 100 GetMap requests of 512x512 pixels against one WMS, each decoded into
// memory: through this engine (one data source, GetDatasetRaster per map),
// or through GDAL's WMS driver (one dataset, one uncached 512x512 block read
// per map). Prints the wall time of the loop in milliseconds; bench/report.sh
// runs it for both and compares.
//
//   bench_getmap ours|gdal URL [MAPS]
//
// URL is the service's address; the layer is "l1" in EPSG:4326. The maps
// tile the world in a 10 x 10 grid, so no two ask for the same area.
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWMS.h"
#include "VmStream.h"
#include "VmToolkit.h"

#include <gdal.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

using namespace VMK;

namespace {

const int kSide = 512;
const int kGrid = 10;

// Longitude and latitude span of one map of the grid.
const double kSpanX = 360.0 / kGrid;
const double kSpanY = 180.0 / kGrid;

int RunOurs(const std::string& url, int maps) {
    VmDataSourceOGC source;
    source.GetConnectionInfo().Server = url.c_str();
    source.GetConnectionInfo().ServiceKind = "wms";
    if (!source.Open()) {
        std::fprintf(stderr, "cannot open %s\n", url.c_str());
        return -1;
    }
    auto* map = dynamic_cast<VmDatasetRasterWMS*>(source.GetDataset(0));
    if (!map) return -1;
    int drawn = 0;
    for (int i = 0; i < maps; ++i) {
        const int col = i % kGrid, row = (i / kGrid) % kGrid;
        const PlxRect2D box(-180 + col * kSpanX, 90 - row * kSpanY, -180 + (col + 1) * kSpanX, 90 - (row + 1) * kSpanY);
        if (map->GetDatasetRaster(box, kSide, kSide, "")) ++drawn;
    }
    return drawn;
}

int RunGdal(const std::string& url, int maps) {
    GDALAllRegister();
    const std::string description =
        "<GDAL_WMS><Service name=\"WMS\"><Version>1.1.1</Version><ServerUrl>" + url +
        "?</ServerUrl><SRS>EPSG:4326</SRS><ImageFormat>image/png</ImageFormat><Layers>l1</Layers></Service>"
        "<DataWindow><UpperLeftX>-180</UpperLeftX><UpperLeftY>90</UpperLeftY><LowerRightX>180</LowerRightX>"
        "<LowerRightY>-90</LowerRightY><SizeX>" + std::to_string(kSide * kGrid) + "</SizeX><SizeY>" +
        std::to_string(kSide * kGrid) + "</SizeY></DataWindow><BlockSizeX>512</BlockSizeX>"
        "<BlockSizeY>512</BlockSizeY><BandsCount>4</BandsCount><MaxConnections>1</MaxConnections></GDAL_WMS>";
    GDALDatasetH dataset = GDALOpen(description.c_str(), GA_ReadOnly);
    if (!dataset) return -1;
    std::vector<unsigned char> pixels(static_cast<size_t>(kSide) * kSide * 4);
    int drawn = 0;
    for (int i = 0; i < maps; ++i) {
        const int col = i % kGrid, row = (i / kGrid) % kGrid;
        if (GDALDatasetRasterIO(dataset, GF_Read, col * kSide, row * kSide, kSide, kSide, pixels.data(), kSide, kSide,
                                GDT_Byte, 4, nullptr, 4, kSide * 4, 1) == CE_None)
            ++drawn;
    }
    GDALClose(dataset);
    return drawn;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3 || (std::strcmp(argv[1], "ours") != 0 && std::strcmp(argv[1], "gdal") != 0)) {
        std::fprintf(stderr, "usage: bench_getmap ours|gdal URL [MAPS]\n");
        return 2;
    }
    const int maps = argc > 3 ? std::atoi(argv[3]) : 100;
    const auto start = std::chrono::steady_clock::now();
    const int drawn = std::strcmp(argv[1], "ours") == 0 ? RunOurs(argv[2], maps) : RunGdal(argv[2], maps);
    const auto end = std::chrono::steady_clock::now();
    if (drawn != maps) {
        std::fprintf(stderr, "%d of %d maps drawn\n", drawn < 0 ? 0 : drawn, maps);
        return 1;
    }
    std::printf("%lld\n", static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(end - start).count()));
    return 0;
}
