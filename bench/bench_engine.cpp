// The engine's cost per call as a platform pays it: the plug-in is loaded
// once with dlopen, a data source is opened once (where the row allows), and
// one operation is repeated RUNS times in the same process. bench_gdal does
// the same work through GDAL's library; bench/inprocess.sh runs both.
//
//   bench_engine ROW URL [RUNS]       (rows: see bench_inprocess.h)
//
// Only host interfaces are used, as in the command-line host.
#include "bench_inprocess.h"

#include "VmEngine.h"
#include "VmTileCache.h"
#include "VmToolkit.h"

#include <dlfcn.h>
#include <stdlib.h>

#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>

namespace fs = std::filesystem;
using namespace VMK;

namespace {

using Factory = VmDataSource* (*)();
Factory g_factory = nullptr;

bool LoadEngine() {
    const char* path = std::getenv("OGCWEB_PLUGIN");
    if (!path || !*path) path = OGCWEB_DEFAULT_PLUGIN;
    void* library = ::dlopen(path, RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        std::fprintf(stderr, "cannot load %s: %s\n", path, ::dlerror());
        return false;
    }
    g_factory = reinterpret_cast<Factory>(::dlsym(library, "CreateDataSource"));
    return g_factory != nullptr;
}

std::unique_ptr<VmDataSource> OpenSource(const std::string& url, const char* kind, const std::string& cache = "") {
    std::unique_ptr<VmDataSource> source(g_factory());
    PlxDsConnection& connection = source->GetConnectionInfo();
    connection.Server = url.c_str();
    connection.ServiceKind = kind;
    connection.Target = cache.empty() ? kind : cache.c_str();
    if (!source->Open()) {
        std::fprintf(stderr, "cannot open %s as %s\n", url.c_str(), kind);
        return nullptr;
    }
    return source;
}

int RowOpen(const bench::Arguments& args) {
    std::unique_ptr<VmDataSource> source;
    return bench::TimeRow(
        args.row, args.runs,
        [&](int) {
            source = OpenSource(args.url, "wms");
            PlxArray<PlxMBString> names;
            auto* map = source ? dynamic_cast<VmDatasetRaster*>(source->GetDataset(0)) : nullptr;
            return map && map->GetAllLayerNames(names) && names.GetSize() >= 10000;
        },
        [&](int) {
            source.reset();
            return true;
        });
}

int RowGetMap(const bench::Arguments& args) {
    std::unique_ptr<VmDataSource> source = OpenSource(args.url, "wms");
    auto* map = source ? dynamic_cast<VmDatasetRaster*>(source->GetDataset(0)) : nullptr;
    if (!map) return 1;
    return bench::TimeRow(args.row, args.runs, [&](int i) {
        const bench::MapWindow w = bench::MapAt(i);
        VmDatasetRaster* image = map->GetDatasetRaster(PlxRect2D(w.minx, w.maxy, w.maxx, w.miny), 512, 512, "");
        return image && image->GetWidth() == 512 && image->GetBandCount() == 4;
    });
}

VmDatasetVector* FirstVector(VmDataSource* source) {
    return source ? dynamic_cast<VmDatasetVector*>(source->GetDataset(0)) : nullptr;
}

// The whole extent of the type, as `ogcweb features` asks without a region.
VmRecordset* QueryEverything(VmDatasetVector& features) {
    VmQueryDef query;
    query.QueryType = VmQueryDef::QueryBounds;
    query.Bounds = features.GetBounds();
    return features.Query(query);
}

int RowFeatures(const bench::Arguments& args) {
    std::unique_ptr<VmDataSource> source;
    return bench::TimeRow(
        args.row, args.runs,
        [&](int) {
            VmRecordset* records = QueryEverything(*FirstVector(source.get()));
            return records && records->GetRecordCount() == 100000;
        },
        [&](int) {
            // A fresh source for every run: the engine would answer a second
            // query of the same region from the first download.
            source.reset();
            source = OpenSource(args.url, "wfs");
            return FirstVector(source.get()) != nullptr;
        });
}

int RowBounds(const bench::Arguments& args) {
    std::unique_ptr<VmDataSource> source = OpenSource(args.url, "wfs");
    VmDatasetVector* features = FirstVector(source.get());
    if (!features || !QueryEverything(*features)) return 1;
    return bench::TimeRow(args.row, args.runs, [&](int) {
        VmQueryDef query;
        query.QueryType = VmQueryDef::QueryBounds;
        query.Bounds = PlxRect2D(bench::kBoundsMinX, bench::kBoundsMaxY, bench::kBoundsMaxX, bench::kBoundsMinY);
        VmRecordset* records = features->Query(query);
        if (!records) return false;
        // Every record visited with its geometry, as a host draws them.
        int seen = 0;
        for (records->MoveFirst(); !records->IsEOF(); records->MoveNext())
            if (records->GetGeometry()) ++seen;
        features->ReleaseRecordset(records);
        return seen > 0;
    });
}

// Wakes the waiting thread when the stub's download queue runs empty.
struct QueueWatch {
    std::mutex mutex;
    std::condition_variable emptied;
    bool empty = false;
    static void OnFinished(uint64_t user, const VmTile*, int) {
        auto* self = reinterpret_cast<QueueWatch*>(static_cast<uintptr_t>(user));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->empty = true;
        self->emptied.notify_all();
    }
};

// Downloads what the cache lacks for `view` at the level nearest `width`
// pixels across, as `ogcweb view` does, then cuts the view block.
bool ComposeView(VmDatasetRasterWeb& tiles, const PlxRect2D& view, int width, int height) {
    const double scale = tiles.ScaleToNearFixScale(view.Width() / width * tiles.GetCoordRatio() / 0.00028);
    QueueWatch watch;
    tiles.SetRequestFinishedFunc(&QueueWatch::OnFinished, reinterpret_cast<uintptr_t>(&watch));
    if (!tiles.Request(scale, view, 0)) return false;
    while (!tiles.IsComplete()) {
        std::unique_lock<std::mutex> lock(watch.mutex);
        watch.emptied.wait_for(lock, std::chrono::milliseconds(50), [&] { return watch.empty; });
        watch.empty = false;
    }
    tiles.SetRequestFinishedFunc(nullptr, 0);
    unsigned char state = 0;
    std::unique_ptr<PlxRasterBlock> block(tiles.GetViewBlock(view, width, height, state));
    return block && state == 1;
}

// A tile cache folder of the process's own, removed when it ends.
struct CacheFolder {
    std::string path;
    CacheFolder() {
        char name[] = "/tmp/bench-engine-cache.XXXXXX";
        if (::mkdtemp(name)) path = name;
    }
    ~CacheFolder() {
        std::error_code ec;
        if (!path.empty()) fs::remove_all(path, ec);
    }
};

VmDatasetRasterWeb* OpenTiles(VmDataSource* source) {
    auto* tiles = source ? dynamic_cast<VmDatasetRasterWeb*>(source->GetDataset(0)) : nullptr;
    return tiles && tiles->Open() ? tiles : nullptr;
}

int RowView(const bench::Arguments& args) {
    CacheFolder cache;
    std::unique_ptr<VmDataSource> source = OpenSource(args.url, "wmts", cache.path);
    VmDatasetRasterWeb* tiles = OpenTiles(source.get());
    const PlxRect2D view(bench::kViewMinX, bench::kViewMaxY, bench::kViewMaxX, bench::kViewMinY);
    if (!tiles || !ComposeView(*tiles, view, 1024, 1024)) return 1;
    return bench::TimeRow(args.row, args.runs, [&](int) {
        unsigned char state = 0;
        std::unique_ptr<PlxRasterBlock> block(tiles->GetViewBlock(view, 1024, 1024, state));
        return block && state == 1;
    });
}

int RowCold(const bench::Arguments& args) {
    const char* connections = std::getenv("BENCH_CONNECTIONS");
    if (connections && *connections) VmMapServiceStub::SetDefaultWorkerCount(std::atoi(connections));
    std::unique_ptr<CacheFolder> cache;
    std::unique_ptr<VmDataSource> source;
    VmDatasetRasterWeb* tiles = nullptr;
    const PlxRect2D view(bench::kViewMinX, bench::ColdMaxY(), bench::ColdMaxX(), bench::kViewMinY);
    return bench::TimeRow(
        args.row, args.runs, [&](int) { return ComposeView(*tiles, view, 2048, 2048); },
        [&](int) {
            source.reset();
            cache.reset(new CacheFolder);
            source = OpenSource(args.url, "wmts", cache->path);
            tiles = OpenTiles(source.get());
            return tiles != nullptr;
        });
}

} // namespace

int main(int argc, char** argv) {
    bench::Arguments args;
    if (!bench::ParseArguments(argc, argv, 20, args)) return 2;
    // The engine's log is not what is measured.
    VmLogFile::GetInstance(false).SetPath("");
    if (!LoadEngine()) return 1;
    if (args.row == "open") return RowOpen(args);
    if (args.row == "getmap") return RowGetMap(args);
    if (args.row == "features") return RowFeatures(args);
    if (args.row == "bounds") return RowBounds(args);
    if (args.row == "view") return RowView(args);
    return RowCold(args);
}
