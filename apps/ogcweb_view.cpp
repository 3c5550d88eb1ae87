// ogcweb view: a region of one layer of a tile service, composed from the
// host's tile cache after the missing tiles were downloaded into it, and
// written as a georeferenced PNG or GeoTIFF. Works offline from the cache.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmDataExchange.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmTileCache.h"
#include "VmToolkit.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace ogcweb {

// The tile cache folder a wmts command uses when --cache is not given: the
// host configuration's WebCacheFilePath when it names one (the engine reads
// it itself then), otherwise $XDG_CACHE_HOME/ogcweb, else ~/.cache/ogcweb.
// Returns the arguments with that folder as --cache and "--kind wmts" when
// no kind was given. `command` tells which options the line may hold.
ParsedArgs WithTileCache(const ParsedArgs& args, const Command& command);

namespace {

// Far above any screen; views are composed in memory in one piece.
const int kMaxViewSide = 16384;
// Most views are composed before a line would be readable.
const double kQuietSeconds = 1.0;
const long kDefaultWaitSeconds = 300;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const std::string& ending) {
    const std::string lower = Lower(text);
    return lower.size() >= ending.size() && lower.compare(lower.size() - ending.size(), ending.size(), ending) == 0;
}

// Before the service is contacted: a typing mistake in the file name should
// not cost a download.
void CheckOutput(const std::string& path) {
    if (!EndsWith(path, ".png") && !EndsWith(path, ".tif") && !EndsWith(path, ".tiff"))
        throw UsageError("-o must name a .png or .tif file, not \"" + path + "\"");
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        throw Failure("cannot write " + path + ": no folder " + folder.string());
}

bool ShowWaiting(const ParsedArgs& args) {
    if (args.Has("no-progress")) return false;
    if (args.Has("progress")) return true;
    return ::isatty(STDERR_FILENO) == 1;
}

std::string DefaultCacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg && *xdg == '/') return std::string(xdg) + "/ogcweb";
    const char* home = std::getenv("HOME");
    if (home && *home) return std::string(home) + "/.cache/ogcweb";
    throw Failure("no tile cache folder: give --cache DIR (neither XDG_CACHE_HOME nor HOME is set)");
}

// Counted on the stub's worker threads while the command waits.
struct Downloads {
    std::atomic<int> stored{0};
    std::atomic<int> failed{0};
    std::mutex mutex;
    std::condition_variable ranEmpty;
    bool emptied = false;

    static void OnResponse(uint64_t user, const VMK::VmTile*, int status) {
        auto* self = reinterpret_cast<Downloads*>(static_cast<uintptr_t>(user));
        (status == 0 ? self->stored : self->failed)++;
    }

    static void OnFinished(uint64_t user, const VMK::VmTile*, int) {
        auto* self = reinterpret_cast<Downloads*>(static_cast<uintptr_t>(user));
        std::lock_guard<std::mutex> lock(self->mutex);
        self->emptied = true;
        self->ranEmpty.notify_all();
    }

    // Sleeps for `most`, or less when the queue runs empty meanwhile: the
    // view is composed as soon as its last tile is in.
    void Pause(std::chrono::milliseconds most) {
        std::unique_lock<std::mutex> lock(mutex);
        ranEmpty.wait_for(lock, most, [this] { return emptied; });
        emptied = false;
    }
};

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

std::vector<std::string> LayerIdentifiers(VMK::VmDatasetRasterWeb& tiles) {
    PLX::PlxArray<PLX::PlxMBString> names;
    tiles.GetCurrentVisibleLayers(names);
    std::vector<std::string> result;
    for (const PLX::PlxMBString& name : names) result.push_back(name.str());
    return result;
}

// By alias (the dataset's name) first, then by the service's identifier,
// since both are what people copy from a capabilities document.
VMK::VmDatasetRasterWeb* FindLayer(Session& session, VMK::VmDataSource& source, const std::string& wanted) {
    std::vector<VMK::VmDatasetRasterWeb*> layers;
    for (int i = 0; i < source.GetDatasetCount(); ++i)
        if (auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(source.GetDataset(i))) layers.push_back(tiles);
    for (VMK::VmDatasetRasterWeb* tiles : layers)
        if (tiles->GetName().str() == wanted) return tiles;
    for (VMK::VmDatasetRasterWeb* tiles : layers) {
        const std::vector<std::string> ids = LayerIdentifiers(*tiles);
        if (std::find(ids.begin(), ids.end(), wanted) != ids.end()) return tiles;
    }
    std::string known;
    for (VMK::VmDatasetRasterWeb* tiles : layers) known += (known.empty() ? "" : ", ") + tiles->GetName().str();
    throw session.Fail("no tile layer named \"" + wanted + "\" at " + session.Url() +
                           (known.empty() ? std::string(" (it offers none)") : " (layers: " + known + ")"),
                       {});
}

PLX::PlxRect2D ViewRegion(Session& session, const BoundingBox& box, const std::string& bboxCrs,
                          const std::string& layerCrs) {
    const PLX::PlxRect2D given(box.minx, box.maxy, box.maxx, box.miny);
    if (bboxCrs.empty()) return given;
    const PLX::PlxRect2D region = VMK::VmCRSBound(bboxCrs.c_str(), given).Transform(layerCrs.c_str());
    if (region.IsNull() || region.IsEmpty())
        throw session.Fail("cannot convert the region from " + bboxCrs + " into the layer's " + layerCrs, {});
    return region;
}

// Until the queue is empty or `seconds` have passed; a line on standard
// error counts the tiles once that takes more than a moment.
bool WaitForTiles(VMK::VmDatasetRasterWeb& tiles, Downloads& downloads, long seconds, bool show,
                  int inView) {
    const auto start = std::chrono::steady_clock::now();
    bool lineOpen = false;
    bool complete = false;
    while (true) {
        complete = tiles.IsComplete() != 0;
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (show && (lineOpen || (!complete && elapsed >= kQuietSeconds))) {
            std::fprintf(stderr, "\r  downloading tiles ... %d of %d in view stored", downloads.stored.load(), inView);
            if (downloads.failed.load() > 0) std::fprintf(stderr, ", %d failed", downloads.failed.load());
            std::fflush(stderr);
            lineOpen = true;
        }
        if (complete || elapsed >= static_cast<double>(seconds)) break;
        downloads.Pause(std::chrono::milliseconds(50));
    }
    if (lineOpen) std::fprintf(stderr, complete ? ", done\n" : ", gave up waiting\n");
    return complete;
}

int RunView(const ParsedArgs& given) {
    const std::string url = SingleUrl(given);
    for (const char* required : {"layer", "bbox", "size", "output"})
        if (!given.Has(required)) throw UsageError(std::string("--") + required + " is required");
    if (given.Value("kind", "wmts") != "wmts") throw UsageError("view reads tile services only (--kind wmts)");
    const BoundingBox box = ParseBoundingBox(given.Value("bbox"));
    int width = 0, height = 0;
    ParseImageSize(given.Value("size"), kMaxViewSide, width, height);
    const long waitSeconds =
        given.Has("wait") ? ParseSeconds(given.Value("wait"), "--wait") : kDefaultWaitSeconds;
    const std::string output = given.Value("output");
    CheckOutput(output);
    const ParsedArgs args = WithTileCache(given, ViewCommand());

    // Outlives the session: the stub's workers report into it until the
    // data source is gone.
    Downloads downloads;
    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetRasterWeb* tiles = FindLayer(session, source, given.Value("layer"));
    if (!tiles->Open())
        throw session.Fail("cannot open the tile cache of layer \"" + tiles->GetName().str() + "\" in " +
                               args.Value("cache", "the configured folder"),
                           session.TakeLogEntries());
    const std::string crs = CrsName(tiles->GetPrjCoordSys());
    const PLX::PlxRect2D view = ViewRegion(session, box, given.Value("bbox-crs"), crs);

    // The level whose resolution is nearest the picture's, the way the
    // platform picks it for a map window of that size.
    const double scale = tiles->ViewScale(view, width);
    if (scale <= 0) throw session.Fail("the layer has no tile levels", session.TakeLogEntries());
    int inView = 0;
    if (std::unique_ptr<VMK::VmTiles> covering{tiles->QueryWithBounds(view, scale)}) inView = covering->GetSize();

    tiles->SetDownloadResponseFunc(&Downloads::OnResponse, reinterpret_cast<uintptr_t>(&downloads));
    tiles->SetRequestFinishedFunc(&Downloads::OnFinished, reinterpret_cast<uintptr_t>(&downloads));
    session.TakeLogEntries();
    if (!tiles->Request(scale, view, 0))
        throw session.Fail("no tiles to request for " + Number(view.left) + "," + Number(view.bottom) + "," +
                               Number(view.right) + "," + Number(view.top) + " in " + crs +
                               " (outside the layer, or too many tiles for one view)",
                           session.TakeLogEntries());
    const bool settled = WaitForTiles(*tiles, downloads, waitSeconds, ShowWaiting(args), inView);
    session.EndProgressLine();
    // Workers report no more once the view is composed and written.
    tiles->SetDownloadResponseFunc(nullptr, 0);
    tiles->SetRequestFinishedFunc(nullptr, 0);

    unsigned char state = 0;
    std::unique_ptr<VMK::PlxRasterBlock> block;
    block.reset(tiles->GetViewBlock(view, width, height, state));
    if (!block) throw session.Fail("the layer has no pixels in that region", session.TakeLogEntries());
    if (!VMK::VmDataExchange::ExportRasterBlock(*block, tiles->GetPrjCoordSys(), output.c_str()))
        throw session.Fail("cannot write " + output, session.TakeLogEntries());

    const int stored = downloads.stored.load(), failed = downloads.failed.load();
    std::printf("wrote %s (%dx%d RGBA, %s, 1:%s, %d tile%s in view, %d downloaded%s)\n", output.c_str(),
                block->PixelWidth, block->PixelHeight, crs.c_str(), Number(scale).c_str(), inView,
                inView == 1 ? "" : "s", stored, failed ? (", " + std::to_string(failed) + " failed").c_str() : "");
    std::printf("bounds: %s,%s,%s,%s  (minx,miny,maxx,maxy)\n", Number(block->Bounds.left).c_str(),
                Number(block->Bounds.bottom).c_str(), Number(block->Bounds.right).c_str(),
                Number(block->Bounds.top).c_str());
    if (state != 1) {
        const char* why = settled ? "tiles could not be downloaded" : "tiles were still downloading";
        throw session.Fail(std::string("the picture is incomplete: ") + why + " (transparent where tiles lack)",
                           session.TakeLogEntries());
    }
    return kExitOk;
}

} // namespace

ParsedArgs WithTileCache(const ParsedArgs& args, const Command& command) {
    std::vector<OptionDef> defs = command.options;
    defs.insert(defs.end(), CommonOptions().begin(), CommonOptions().end());
    std::vector<std::string> line;
    for (const OptionDef& def : defs)
        for (const std::string& value : args.Values(def.name))
            line.push_back(std::string("--") + def.name + (def.valueName ? "=" + value : std::string()));
    if (!args.Has("kind")) line.push_back("--kind=wmts");
    if (!args.Has("cache") && VMK::VmRegistry::Root()["WebCacheFilePath"].IsEmpty()) {
        const std::string folder = DefaultCacheFolder();
        std::error_code ec;
        fs::create_directories(folder, ec);
        if (!fs::is_directory(folder, ec)) throw Failure("cannot create the tile cache folder " + folder);
        line.push_back("--cache=" + folder);
    }
    line.push_back("--");
    line.insert(line.end(), args.Positionals().begin(), args.Positionals().end());
    return ParseArgs(line, defs);
}

const Command& ViewCommand() {
    static const Command command = {
        "view",
        "compose a region of a tile layer (wmts) from its cache as a georeferenced PNG or GeoTIFF",
        "view URL --layer NAME --bbox MINX,MINY,MAXX,MAXY --size WxH -o FILE [options]",
        "Opens the tile service at URL (--kind wmts is implied), takes the layer\n"
        "named NAME (its title as 'info --kind wmts' lists it, or its identifier),\n"
        "picks the tile level nearest the picture's resolution (region width / W),\n"
        "downloads the tiles of the region the cache lacks and composes the picture\n"
        "from the cache. The region is in the layer's coordinate system (EPSG:3857\n"
        "metres for GoogleMapsCompatible) unless --bbox-crs names another. The\n"
        "picture is clipped to the layer and never finer than its finest level, so\n"
        "it can come out smaller than WxH; its pixels are square only when WxH has\n"
        "the region's aspect. A .tif file carries its georeference and coordinate\n"
        "system; a .png file gets a world file (.pgw) beside it.\n\n"
        "The cache folder is --cache, else the host configuration's WebCacheFilePath,\n"
        "else $XDG_CACHE_HOME/ogcweb (~/.cache/ogcweb). With the tiles cached the\n"
        "service need not be reachable: the service description is kept there too.\n"
        "Exit status 1 when tiles are missing from the picture (it is written all\n"
        "the same, transparent where they lack).\n",
        {
            {"layer", 0, "NAME", false, "the layer: its title or identifier"},
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "the region, in the layer's coordinate system (or --bbox-crs)"},
            {"bbox-crs", 0, "CRS", false, "the region's coordinate system, e.g. EPSG:4326 (longitude first)"},
            {"size", 0, "WxH", false, "the picture's width and height in pixels"},
            {"output", 'o', "FILE", false, "the file to write: .png or .tif/.tiff"},
            {"wait", 0, "SEC", false, "stop waiting for tile downloads after SEC seconds (default 300)"},
        },
        &RunView,
    };
    return command;
}

} // namespace ogcweb
