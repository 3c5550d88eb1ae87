// ogcweb coverage: the values of a coverage over a region, written as a
// georeferenced file with every band and the data type the service sent.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmDataExchange.h"
#include "VmEngine.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <string>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

// Far above any screen, far below what would exhaust memory on decoding.
const int kMaxImageSide = 16384;

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

bool EndsWith(const std::string& text, const std::string& ending) {
    const std::string lower = Lower(text);
    return lower.size() >= ending.size() && lower.compare(lower.size() - ending.size(), ending.size(), ending) == 0;
}

std::string BoundsText(const PLX::PlxRect2D& rect) {
    char text[160];
    std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g,%.15g", rect.left, rect.bottom, rect.right, rect.top);
    return text;
}

bool IsTiff(const std::string& path) { return EndsWith(path, ".tif") || EndsWith(path, ".tiff"); }

// Checked before the service is contacted: a typing mistake in the file
// name should not cost a download.
void CheckOutput(const std::string& path) {
    if (!IsTiff(path) && !EndsWith(path, ".png") && !EndsWith(path, ".jpg") && !EndsWith(path, ".jpeg"))
        throw UsageError("-o must name a .tif, .png or .jpg file, not \"" + path + "\"");
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        throw Failure("cannot write " + path + ": no folder " + folder.string());
}

// By the name info shows, or by the service's own name for the coverage.
VMK::VmDatasetRaster* FindCoverage(Session& session, VMK::VmDataSource& source, const std::string& name) {
    std::string known;
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(source.GetDataset(i));
        if (!raster) continue;
        if (name.empty() || raster->GetName().CompareNoCase(name.c_str()) == 0) return raster;
        VMK::VmRasterDescription description;
        if (raster->GetRasterDescription(description) && description.Identifier.CompareNoCase(name.c_str()) == 0)
            return raster;
        known += (known.empty() ? "" : ", ") + raster->GetName().str();
    }
    if (name.empty()) throw session.Fail("no coverage at " + session.Url(), session.TakeLogEntries());
    throw session.Fail("no coverage named \"" + name + "\" at " + session.Url() +
                           (known.empty() ? std::string(" (it offers none)") : " (coverages: " + known + ")"),
                       {});
}

int RunCoverage(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    for (const char* required : {"size", "output"})
        if (!args.Has(required)) throw UsageError(std::string("--") + required + " is required");
    BoundingBox box;
    if (args.Has("bbox")) box = ParseBoundingBox(args.Value("bbox"));
    int width = 0, height = 0;
    ParseImageSize(args.Value("size"), kMaxImageSide, width, height);
    const std::string output = args.Value("output");
    CheckOutput(output);

    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetRaster* coverage = FindCoverage(session, source, args.Value("dataset"));
    PLX::PlxRect2D region(box.minx, box.maxy, box.maxx, box.miny);
    if (!args.Has("bbox")) region = coverage->GetBounds();

    // The engine would still send a request, for a cell-sized box it makes
    // up; the answer would be a picture of somewhere else.
    const std::string name = coverage->GetName().str();
    PLX::PlxRect2D common;
    if (!common.IntersectRect(region, coverage->GetBounds()))
        throw session.Fail("the region lies outside \"" + name + "\" (bounds " + BoundsText(coverage->GetBounds()) + ")",
                           {});

    // Only what this request logs explains its failure.
    session.TakeLogEntries();
    VMK::VmDatasetRaster* grid = coverage->GetDatasetRaster(region, width, height, PLX::PlxMBString());
    const std::vector<VMK::VmLogEntry> entries = session.TakeLogEntries();
    session.EndProgressLine();
    if (!grid) throw session.Fail("the service returned no coverage of \"" + name + "\"", entries);

    const std::string type = grid->GetDataTypeName().str();
    // GDAL would squeeze other values into bytes without a word.
    if (!IsTiff(output) && type != "Byte" && !(type == "UInt16" && EndsWith(output, ".png")))
        throw session.Fail("cannot write " + output + ": the coverage sent " + type + " values; write a .tif file", {});
    grid->SetPrjCoordSys(coverage->GetPrjCoordSys());
    if (!VMK::VmDataExchange::ExportRaster(grid, output.c_str()))
        throw session.Fail("cannot write " + output, session.TakeLogEntries());

    const int bands = grid->GetBandCount();
    std::printf("wrote %s (%dx%d, %d band%s, %s)\n", output.c_str(), grid->GetWidth(), grid->GetHeight(), bands,
                bands == 1 ? "" : "s", type.c_str());
    return kExitOk;
}

} // namespace

const Command& CoverageCommand() {
    static const Command command = {
        "coverage",
        "download the values of a coverage over a region as a GeoTIFF",
        "coverage URL --size WxH -o FILE [--bbox MINX,MINY,MAXX,MAXY] [--dataset NAME]",
        "Opens the coverage service at URL (--kind wcs unless told otherwise), takes\n"
        "its first coverage (or the one given with --dataset, by the name info shows\n"
        "or by its identifier) and asks it for the region (default: the whole\n"
        "coverage) at about the given size; the engine decides the exact size and\n"
        "format it asks for. A .tif file keeps every band, the data type as sent\n"
        "(32-bit floats stay floats) and the georeference; .png and .jpg files take\n"
        "8-bit values only and get a world file beside them.\n",
        {
            {"size", 0, "WxH", false, "about this many columns and rows"},
            {"output", 'o', "FILE", false, "the file to write: .tif/.tiff (or .png, .jpg for 8-bit values)"},
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "the region, longitude/latitude (default: the coverage's bounds)"},
            {"dataset", 0, "NAME", false, "the coverage (default: the first)"},
        },
        &RunCoverage,
    };
    return command;
}

} // namespace ogcweb
