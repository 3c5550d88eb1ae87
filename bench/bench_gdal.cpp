// The peer of bench_engine: the same rows through GDAL's own library, in one
// process, its driver opened once where the row allows, each operation
// repeated RUNS times.
//
//   bench_gdal ROW URL [RUNS]         (rows: see bench_inprocess.h)
//
// open      GDAL's WMS driver on the GetCapabilities address (subdatasets)
// getmap    one uncached 512 x 512 block of a GDAL_WMS description per map
// features  OGR's WFS driver, every feature copied into a Memory layer
// bounds    a spatial filter on that Memory layer, every feature visited
// view      GDAL's WMTS driver, RasterIO of the window at 1024 x 1024; the
//           dataset is reopened before each run (untimed) so that the tiles
//           come from its disk cache, not from the block cache of the last run
// cold      the same at 2048 x 2048 into an empty disk cache
#include "bench_inprocess.h"

#include <cpl_conv.h>
#include <cpl_string.h>
#include <gdal.h>
#include <ogr_api.h>

#include <stdlib.h>

#include <filesystem>
#include <vector>

namespace fs = std::filesystem;

namespace {

int RowOpen(const bench::Arguments& args) {
    const std::string name = "WMS:" + args.url + "?SERVICE=WMS&VERSION=1.3.0&REQUEST=GetCapabilities";
    GDALDatasetH dataset = nullptr;
    return bench::TimeRow(
        args.row, args.runs,
        [&](int) {
            dataset = GDALOpen(name.c_str(), GA_ReadOnly);
            // Two entries (name and description) per layer.
            return dataset && CSLCount(GDALGetMetadata(dataset, "SUBDATASETS")) >= 20000;
        },
        [&](int) {
            if (dataset) GDALClose(dataset);
            dataset = nullptr;
            return true;
        });
}

int RowGetMap(const bench::Arguments& args) {
    const std::string description =
        "<GDAL_WMS><Service name=\"WMS\"><Version>1.1.1</Version><ServerUrl>" + args.url +
        "?</ServerUrl><SRS>EPSG:4326</SRS><ImageFormat>image/png</ImageFormat><Layers>l1</Layers></Service>"
        "<DataWindow><UpperLeftX>-180</UpperLeftX><UpperLeftY>90</UpperLeftY><LowerRightX>180</LowerRightX>"
        "<LowerRightY>-90</LowerRightY><SizeX>5120</SizeX><SizeY>5120</SizeY></DataWindow>"
        "<BlockSizeX>512</BlockSizeX><BlockSizeY>512</BlockSizeY><BandsCount>4</BandsCount>"
        "<MaxConnections>1</MaxConnections></GDAL_WMS>";
    GDALDatasetH dataset = GDALOpen(description.c_str(), GA_ReadOnly);
    if (!dataset) return 1;
    std::vector<unsigned char> pixels(512 * 512 * 4);
    const int status = bench::TimeRow(args.row, args.runs, [&](int i) {
        const bench::MapWindow w = bench::MapAt(i);
        return GDALDatasetRasterIO(dataset, GF_Read, w.col * 512, w.row * 512, 512, 512, pixels.data(), 512, 512,
                                   GDT_Byte, 4, nullptr, 4, 512 * 4, 1) == CE_None;
    });
    GDALClose(dataset);
    return status;
}

GDALDatasetH OpenFeatures(const std::string& url) {
    return GDALOpenEx(("WFS:" + url + "?").c_str(), GDAL_OF_VECTOR | GDAL_OF_READONLY, nullptr, nullptr, nullptr);
}

// Every feature of the service's points layer copied into a new Memory layer
// of `memory`; the layer, or null.
OGRLayerH CopyIntoMemory(GDALDatasetH service, GDALDatasetH memory) {
    OGRLayerH source = GDALDatasetGetLayerByName(service, "bench:points");
    if (!source) return nullptr;
    OGRLayerH target = GDALDatasetCreateLayer(memory, "points", OGR_L_GetSpatialRef(source), wkbPoint, nullptr);
    OGRFeatureDefnH definition = OGR_L_GetLayerDefn(source);
    for (int i = 0; i < OGR_FD_GetFieldCount(definition); ++i)
        OGR_L_CreateField(target, OGR_FD_GetFieldDefn(definition, i), 1);
    OGR_L_ResetReading(source);
    int copied = 0;
    while (OGRFeatureH feature = OGR_L_GetNextFeature(source)) {
        OGRFeatureH copy = OGR_F_Create(OGR_L_GetLayerDefn(target));
        OGR_F_SetFrom(copy, feature, 1);
        if (OGR_L_CreateFeature(target, copy) == OGRERR_NONE) ++copied;
        OGR_F_Destroy(copy);
        OGR_F_Destroy(feature);
    }
    return copied == 100000 ? target : nullptr;
}

GDALDatasetH NewMemory() {
    return GDALCreate(GDALGetDriverByName("Memory"), "", 0, 0, 0, GDT_Unknown, nullptr);
}

int RowFeatures(const bench::Arguments& args) {
    GDALDatasetH service = nullptr, memory = nullptr;
    auto close = [&] {
        if (memory) GDALClose(memory);
        if (service) GDALClose(service);
        memory = service = nullptr;
    };
    const int status = bench::TimeRow(
        args.row, args.runs, [&](int) { return CopyIntoMemory(service, memory) != nullptr; },
        [&](int) {
            close();
            service = OpenFeatures(args.url);
            memory = NewMemory();
            return service && memory;
        });
    close();
    return status;
}

int RowBounds(const bench::Arguments& args) {
    GDALDatasetH service = OpenFeatures(args.url), memory = NewMemory();
    OGRLayerH points = service && memory ? CopyIntoMemory(service, memory) : nullptr;
    if (!points) return 1;
    const int status = bench::TimeRow(args.row, args.runs, [&](int) {
        OGR_L_SetSpatialFilterRect(points, bench::kBoundsMinX, bench::kBoundsMinY, bench::kBoundsMaxX,
                                   bench::kBoundsMaxY);
        OGR_L_ResetReading(points);
        int seen = 0;
        while (OGRFeatureH feature = OGR_L_GetNextFeature(points)) {
            if (OGR_F_GetGeometryRef(feature)) ++seen;
            OGR_F_Destroy(feature);
        }
        return seen > 0;
    });
    GDALClose(memory);
    GDALClose(service);
    return status;
}

// A disk cache folder of the process's own for GDAL's tiles, removed at the end.
struct CacheFolder {
    std::string path;
    CacheFolder() {
        char name[] = "/tmp/bench-gdal-cache.XXXXXX";
        if (::mkdtemp(name)) path = name;
    }
    ~CacheFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
    void Empty() {
        std::error_code ec;
        for (const auto& entry : fs::directory_iterator(path, ec)) fs::remove_all(entry.path(), ec);
    }
};

// RasterIO of the map window [minx, maxx] x [miny, maxy] into width x height
// RGBA pixels; GDAL picks the overview itself.
bool ReadWindow(GDALDatasetH dataset, double minx, double miny, double maxx, double maxy, int width, int height,
                std::vector<unsigned char>& pixels) {
    double t[6];
    if (!dataset || GDALGetGeoTransform(dataset, t) != CE_None) return false;
    const int x = static_cast<int>((minx - t[0]) / t[1] + 0.5), y = static_cast<int>((maxy - t[3]) / t[5] + 0.5);
    const int columns = static_cast<int>((maxx - minx) / t[1] + 0.5), rows = static_cast<int>((miny - maxy) / t[5] + 0.5);
    pixels.assign(static_cast<size_t>(width) * height * 4, 0);
    return GDALDatasetRasterIO(dataset, GF_Read, x, y, columns, rows, pixels.data(), width, height, GDT_Byte, 4,
                               nullptr, 4, width * 4, 1) == CE_None;
}

int RowTiles(const bench::Arguments& args, bool cold) {
    CacheFolder cache;
    CPLSetConfigOption("GDAL_DEFAULT_WMS_CACHE_PATH", cache.path.c_str());
    const std::string name = "WMTS:" + args.url + "?SERVICE=WMTS&REQUEST=GetCapabilities,layer=bench";
    const int side = cold ? 2048 : 1024;
    const double maxx = cold ? bench::ColdMaxX() : bench::kViewMaxX;
    const double maxy = cold ? bench::ColdMaxY() : bench::kViewMaxY;
    std::vector<unsigned char> pixels;
    GDALDatasetH dataset = nullptr;
    auto reopen = [&](int) {
        if (dataset) GDALClose(dataset);
        if (cold) cache.Empty();
        dataset = GDALOpen(name.c_str(), GA_ReadOnly);
        return dataset != nullptr;
    };
    // The warm view's tiles are in the disk cache before the first run.
    if (!cold && !(reopen(0) && ReadWindow(dataset, bench::kViewMinX, bench::kViewMinY, maxx, maxy, side, side, pixels)))
        return 1;
    const int status = bench::TimeRow(
        args.row, args.runs,
        [&](int) { return ReadWindow(dataset, bench::kViewMinX, bench::kViewMinY, maxx, maxy, side, side, pixels); },
        reopen);
    if (dataset) GDALClose(dataset);
    return status;
}

} // namespace

int main(int argc, char** argv) {
    bench::Arguments args;
    if (!bench::ParseArguments(argc, argv, 20, args)) return 2;
    GDALAllRegister();
    // As the engine: no retries, and no listing of what is not asked for.
    CPLSetConfigOption("GDAL_HTTP_MAX_RETRY", "0");
    CPLSetConfigOption("OGR_WFS_PAGING_ALLOWED", "OFF");
    CPLSetConfigOption("OGR_WFS_LOAD_MULTIPLE_LAYER_DEFN", "NO");
    if (args.row == "open") return RowOpen(args);
    if (args.row == "getmap") return RowGetMap(args);
    if (args.row == "features") return RowFeatures(args);
    if (args.row == "bounds") return RowBounds(args);
    if (args.row == "view") return RowTiles(args, false);
    // The peer's connections stay at 8 whatever the engine's side uses.
    CPLSetConfigOption("GDAL_MAX_CONNECTIONS", "8");
    return RowTiles(args, true);
}
