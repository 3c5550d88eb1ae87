// ogcweb map: one picture of a region from a map or coverage service,
// written as a georeferenced file.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmDataExchange.h"
#include "VmEngine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

// Far above any screen, far below what would exhaust memory on decoding.
const int kMaxImageSide = 16384;

bool EndsWith(std::string text, const std::string& ending) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Checked before the service is contacted: a typing mistake in the file
// name should not cost a download.
void CheckOutput(const std::string& path) {
    if (!EndsWith(path, ".png") && !EndsWith(path, ".tif") && !EndsWith(path, ".tiff") && !EndsWith(path, ".jpg") &&
        !EndsWith(path, ".jpeg"))
        throw UsageError("-o must name a .png, .tif or .jpg file, not \"" + path + "\"");
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        throw Failure("cannot write " + path + ": no folder " + folder.string());
}

std::pair<std::string, std::string> ParseStyle(const std::string& text) {
    const size_t equals = text.find('=');
    if (equals == std::string::npos || equals == 0)
        throw UsageError("--style needs LAYER=STYLE, not \"" + text + "\"");
    return {text.substr(0, equals), text.substr(equals + 1)};
}

std::string Joined(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items)
        if (!item.empty()) text += (text.empty() ? "" : ", ") + item;
    return text;
}

void RequireLayer(Session& session, const std::vector<std::string>& known, const std::string& name) {
    if (std::find(known.begin(), known.end(), name) != known.end()) return;
    throw session.Fail("no layer named \"" + name + "\"" +
                           (known.empty() ? std::string(": the dataset has no layers") : " (layers: " + Joined(known) + ")"),
                       {});
}

int RunMap(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    for (const char* required : {"bbox", "size", "output"})
        if (!args.Has(required)) throw UsageError(std::string("--") + required + " is required");
    const BoundingBox box = ParseBoundingBox(args.Value("bbox"));
    int width = 0, height = 0;
    ParseImageSize(args.Value("size"), kMaxImageSide, width, height);
    const std::string output = args.Value("output");
    std::vector<std::string> layers;
    if (args.Has("layers")) layers = SplitList(args.Value("layers"), ',', "--layers");
    std::vector<std::pair<std::string, std::string>> styles;
    for (const std::string& style : args.Values("style")) styles.push_back(ParseStyle(style));
    CheckOutput(output);

    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetRaster* raster = FindRasterDataset(session, source, args.Value("dataset"));

    if (!layers.empty() || !styles.empty()) {
        const std::vector<std::string> known = LayerNames(*raster);
        for (const std::string& layer : layers) RequireLayer(session, known, layer);
        for (const auto& style : styles) RequireLayer(session, known, style.first);
    }
    if (!layers.empty()) {
        PLX::PlxArray<PLX::PlxMBString> names;
        for (const std::string& layer : layers) names.Add(layer.c_str());
        if (!raster->SetVisibleLayers(names))
            throw session.Fail("cannot show layers " + Joined(layers), session.TakeLogEntries());
    }
    for (const auto& style : styles)
        if (!raster->SetLayerStyle(style.first.c_str(), style.second.c_str()))
            throw session.Fail("cannot draw layer \"" + style.first + "\" with style \"" + style.second + "\"",
                               session.TakeLogEntries());
    if (args.Has("transparent")) raster->SetTransparent(1);

    // Only what this request logs explains its failure.
    session.TakeLogEntries();
    const PLX::PlxRect2D region(box.minx, box.maxy, box.maxx, box.miny);
    VMK::VmDatasetRaster* image = raster->GetDatasetRaster(region, width, height, PLX::PlxMBString());
    const std::vector<VMK::VmLogEntry> entries = session.TakeLogEntries();
    session.EndProgressLine();
    if (!image) throw session.Fail("the service returned no image", entries);

    // The raster carries the georeference the engine gave it; the file shows
    // exactly that.
    image->SetPrjCoordSys(raster->GetPrjCoordSys());
    if (!VMK::VmDataExchange::ExportRaster(image, output.c_str()))
        throw session.Fail("cannot write " + output, session.TakeLogEntries());

    const int bands = image->GetBandCount();
    std::printf("wrote %s (%dx%d, %d band%s, %s)\n", output.c_str(), image->GetWidth(), image->GetHeight(), bands,
                bands == 1 ? "" : "s", image->GetDataTypeName().c_str());
    return kExitOk;
}

} // namespace

const Command& MapCommand() {
    static const Command command = {
        "map",
        "download a picture of a region as a georeferenced PNG, GeoTIFF or JPEG",
        "map URL --bbox MINX,MINY,MAXX,MAXY --size WxH -o FILE [options]",
        "Opens the service at URL, takes its first raster dataset (or the one given\n"
        "with --dataset) and asks it for the region in the dataset's coordinate\n"
        "system at the given size. A .tif file carries its georeference and\n"
        "coordinate system; a .png or .jpg file gets a world file beside it.\n",
        {
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "the region, in the dataset's coordinate system"},
            {"size", 0, "WxH", false, "the picture's width and height in pixels"},
            {"output", 'o', "FILE", false, "the file to write: .png, .tif/.tiff or .jpg"},
            {"dataset", 0, "NAME", false, "the dataset to draw (default: the first raster)"},
            {"layers", 0, "A,B,...", false, "draw these layers, in this order"},
            {"style", 0, "LAYER=STYLE", true, "draw LAYER with STYLE (repeatable)"},
            {"transparent", 0, nullptr, false, "ask for a transparent background"},
        },
        &RunMap,
    };
    return command;
}

} // namespace ogcweb
