// ogcweb featureinfo: what a map service knows about one pixel of a map.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmEngine.h"
#include "VmStream.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

// The same limit as the map command: the pixel belongs to such a map.
const int kMaxImageSide = 16384;

struct Pixel {
    int x = 0;
    int y = 0;
};

int ParseCoordinate(const std::string& text, const std::string& whole) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos || text.size() > 9)
        throw UsageError("--pixel needs X,Y as two whole numbers, not \"" + whole + "\"");
    return std::atoi(text.c_str());
}

// "X,Y", column and row from the top left corner, inside a map of the size given.
Pixel ParsePixel(const std::string& text, int width, int height) {
    const size_t comma = text.find(',');
    if (comma == std::string::npos) throw UsageError("--pixel needs X,Y, not \"" + text + "\"");
    Pixel pixel;
    pixel.x = ParseCoordinate(text.substr(0, comma), text);
    pixel.y = ParseCoordinate(text.substr(comma + 1), text);
    if (pixel.x >= width || pixel.y >= height)
        throw UsageError("--pixel " + text + " lies outside the " + std::to_string(width) + "x" +
                         std::to_string(height) + " map");
    return pixel;
}


// Servers' texts may carry line ends and other control bytes inside names and
// values; shown escaped, every field stays on one line.
std::string Printable(const std::string& text) {
    std::string shown;
    for (unsigned char c : text) {
        if (c == '\n') shown += "\\n";
        else if (c == '\r') shown += "\\r";
        else if (c == '\t') shown += "\\t";
        else if (c < 0x20 || c == 0x7f) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", c);
            shown += code;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

int RunFeatureInfo(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    for (const char* required : {"bbox", "size", "pixel"})
        if (!args.Has(required)) throw UsageError(std::string("--") + required + " is required");
    const BoundingBox box = ParseBoundingBox(args.Value("bbox"));
    int width = 0, height = 0;
    ParseImageSize(args.Value("size"), kMaxImageSide, width, height);
    const Pixel pixel = ParsePixel(args.Value("pixel"), width, height);
    std::vector<std::string> layers;
    if (args.Has("layers")) layers = SplitList(args.Value("layers"), ',', "--layers");

    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetRaster* raster = FindRasterDataset(session, source, args.Value("dataset"));
    if (!layers.empty()) {
        const std::vector<std::string> known = LayerNames(*raster);
        PLX::PlxArray<PLX::PlxMBString> names;
        for (const std::string& layer : layers) {
            if (std::find(known.begin(), known.end(), layer) == known.end())
                throw session.Fail("no layer named \"" + layer + "\"", {});
            names.Add(layer.c_str());
        }
        if (!raster->SetVisibleLayers(names)) throw session.Fail("cannot show the layers given", session.TakeLogEntries());
    }

    DownloadFolder downloads("featureinfo");
    // The service is asked about a pixel of the map it drew last, so the map
    // is drawn first.
    session.TakeLogEntries();
    const PLX::PlxRect2D region(box.minx, box.maxy, box.maxx, box.miny);
    VMK::VmDatasetRaster* image = raster->GetDatasetRaster(region, width, height, PLX::PlxMBString());
    std::vector<VMK::VmLogEntry> entries = session.TakeLogEntries();
    if (!image) {
        session.EndProgressLine();
        throw session.Fail("the service returned no map", entries);
    }
    PLX::PlxDict<PLX::PlxMBString, PLX::PlxMBString> values;
    const unsigned char asked = raster->GetFeatureInfo(pixel.x, pixel.y, values);
    entries = session.TakeLogEntries();
    session.EndProgressLine();
    if (!asked)
        throw session.Fail("cannot ask dataset \"" + raster->GetName().str() + "\" what lies at a pixel", entries);

    std::printf("pixel %d,%d of a %dx%d map of %s\n", pixel.x, pixel.y, width, height, args.Value("bbox").c_str());
    if (values.IsEmpty()) {
        std::printf("no fields: the service's answers held none the engine could read\n");
        return kExitOk;
    }
    size_t nameWidth = 0;
    for (const auto& field : values) nameWidth = std::max(nameWidth, Printable(field.first.str()).size());
    std::printf("fields: %d\n", values.GetCount());
    for (const auto& field : values) {
        std::string name = Printable(field.first.str());
        name.resize(std::max(nameWidth, name.size()), ' ');
        std::printf("  %s = %s\n", name.c_str(), Printable(field.second.str()).c_str());
    }
    return kExitOk;
}

} // namespace

const Command& FeatureInfoCommand() {
    static const Command command = {
        "featureinfo",
        "show what a map service knows about one pixel of a map",
        "featureinfo URL --bbox MINX,MINY,MAXX,MAXY --size WxH --pixel X,Y [options]",
        "Opens the map service at URL, draws the region at the given size (as the\n"
        "map command does, without writing a file) and asks the service what lies\n"
        "at pixel X,Y of that map, counted from its top left corner. Every field the\n"
        "engine read from the answers is printed as NAME = VALUE, in name order;\n"
        "line ends and other control characters inside them are shown escaped.\n",
        {
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "the region of the map, in the dataset's coordinate system"},
            {"size", 0, "WxH", false, "the map's width and height in pixels"},
            {"pixel", 0, "X,Y", false, "the pixel asked about: column and row from the top left"},
            {"dataset", 0, "NAME", false, "the dataset to ask (default: the first raster)"},
            {"layers", 0, "A,B,...", false, "draw and ask these layers only"},
        },
        &RunFeatureInfo,
    };
    return command;
}

} // namespace ogcweb
