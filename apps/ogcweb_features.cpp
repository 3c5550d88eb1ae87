// ogcweb features: the features of one feature dataset, selected by region,
// identifiers or condition, written as a GeoJSON feature collection.
#include "ogcweb_commands.h"
#include "ogcweb_geojson.h"
#include "ogcweb_session.h"

#include "VmEngine.h"
#include "VmGeometry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace ogcweb {

namespace {

std::string BoundsText(const PLX::PlxRect2D& rect) {
    char text[160];
    std::snprintf(text, sizeof text, "%.15g,%.15g,%.15g,%.15g", rect.left, rect.bottom, rect.right, rect.top);
    return text;
}

bool EndsWith(std::string text, const std::string& ending) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text.size() >= ending.size() && text.compare(text.size() - ending.size(), ending.size(), ending) == 0;
}

// Checked before the service is contacted: a typing mistake in the file
// name should not cost a download.
void CheckOutput(const std::string& path) {
    if (!EndsWith(path, ".geojson") && !EndsWith(path, ".json"))
        throw UsageError("-o must name a .geojson or .json file, not \"" + path + "\"");
    const fs::path folder = fs::path(path).parent_path();
    std::error_code ec;
    if (!folder.empty() && !fs::is_directory(folder, ec))
        throw Failure("cannot write " + path + ": no folder " + folder.string());
}

std::vector<int> ParseIds(const std::string& text) {
    std::vector<int> ids;
    for (const std::string& piece : SplitList(text, ',', "--ids")) {
        char* end = nullptr;
        errno = 0;
        const long value = std::strtol(piece.c_str(), &end, 10);
        if (errno != 0 || end == piece.c_str() || *end != '\0' || value < 1 || value > 2147483647L)
            throw UsageError("--ids: \"" + piece + "\" is not a feature number (1 or more)");
        ids.push_back(static_cast<int>(value));
    }
    return ids;
}

VMK::VmDatasetVector* FindVectorDataset(Session& session, VMK::VmDataSource& source, const std::string& name) {
    std::string known;
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        VMK::VmDataset* dataset = source.GetDataset(i);
        auto* vector = dynamic_cast<VMK::VmDatasetVector*>(dataset);
        if (!vector) continue;
        if (name.empty() || dataset->GetName().CompareNoCase(name.c_str()) == 0) return vector;
        known += (known.empty() ? "" : ", ") + dataset->GetName().str();
    }
    if (name.empty()) throw session.Fail("no feature dataset at " + session.Url(), session.TakeLogEntries());
    throw session.Fail("no feature dataset named \"" + name + "\" at " + session.Url() +
                           (known.empty() ? std::string(" (it offers none)") : " (datasets: " + known + ")"),
                       {});
}

// --type and --where are the feature service's own words; --dataset and
// --filter are what the other commands call the same things. Either is
// taken, not both.
bool HasEither(const ParsedArgs& args, const char* name, const char* synonym) {
    if (args.Has(name) && args.Has(synonym))
        throw UsageError(std::string("--") + name + " and --" + synonym + " are the same option; give one");
    return args.Has(name) || args.Has(synonym);
}

std::string EitherValue(const ParsedArgs& args, const char* name, const char* synonym) {
    return args.Has(name) ? args.Value(name) : args.Value(synonym);
}

int RunFeatures(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    if (!args.Has("output")) throw UsageError("--output (-o) is required");
    HasEither(args, "type", "dataset");
    const bool where = HasEither(args, "where", "filter");
    const int selections = (args.Has("bbox") ? 1 : 0) + (args.Has("ids") ? 1 : 0) + (where ? 1 : 0);
    if (selections > 1) throw UsageError("--bbox, --ids and --where exclude each other");
    VMK::VmQueryDef query;
    if (args.Has("bbox")) {
        const BoundingBox box = ParseBoundingBox(args.Value("bbox"));
        query.QueryType = VMK::VmQueryDef::QueryBounds;
        query.Bounds = PLX::PlxRect2D(box.minx, box.maxy, box.maxx, box.miny);
    } else if (args.Has("ids")) {
        query.QueryType = VMK::VmQueryDef::QueryIDs;
        for (int id : ParseIds(args.Value("ids"))) query.IDs.Add(id);
    } else if (where) {
        const std::string filter = EitherValue(args, "where", "filter");
        if (filter.find_first_not_of(" \t") == std::string::npos) throw UsageError("--where needs a condition");
        query.QueryType = VMK::VmQueryDef::General;
        query.Filter = filter.c_str();
    }
    const std::string output = args.Value("output");
    CheckOutput(output);

    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetVector* dataset = FindVectorDataset(session, source, EitherValue(args, "type", "dataset"));
    // Without a selection: everything the dataset says it covers.
    if (selections == 0) {
        query.QueryType = VMK::VmQueryDef::QueryBounds;
        query.Bounds = dataset->GetBounds();
    }

    // Only what the query logs explains its failure.
    session.TakeLogEntries();
    VMK::VmRecordset* records = dataset->Query(query);
    const std::vector<VMK::VmLogEntry> entries = session.TakeLogEntries();
    session.EndProgressLine();
    const std::string name = dataset->GetName().str();
    if (!records) {
        // The engine asks nothing for a region its dataset does not reach,
        // and answers that with no recordset too.
        PLX::PlxRect2D common;
        if (query.QueryType == VMK::VmQueryDef::QueryBounds && !common.IntersectRect(query.Bounds, dataset->GetBounds()))
            throw session.Fail("the region lies outside \"" + name + "\" (bounds " +
                                   BoundsText(dataset->GetBounds()) + ")",
                               entries);
        throw session.Fail("the service returned no features of \"" + name + "\"", entries);
    }

    const int count = WriteFeatureCollection(*records, output);
    if (count < 0) throw session.Fail("cannot write " + output, {});
    // The count goes to standard error, beside the progress line, so that
    // standard output stays free for what a script pipes on.
    std::fprintf(stderr, "wrote %s (%d feature%s)\n", output.c_str(), count, count == 1 ? "" : "s");
    return kExitOk;
}

} // namespace

const Command& FeaturesCommand() {
    static const Command command = {
        "features",
        "download the features of a feature dataset as GeoJSON",
        "features URL -o FILE [--type NAME] [--bbox MINX,MINY,MAXX,MAXY | --ids N,... | --where COND]",
        "Opens the feature service at URL (--kind wfs unless told otherwise), takes\n"
        "its first feature type (or the one given with --type) and writes the\n"
        "features selected to a GeoJSON feature collection: those meeting a region\n"
        "(default: the dataset's bounds), those with the given feature numbers, or\n"
        "those meeting a condition over the fields. Numeric fields are written as\n"
        "numbers; coordinates are longitude/latitude. The count of features written\n"
        "goes to standard error.\n",
        {
            {"output", 'o', "FILE", false, "the file to write: .geojson or .json"},
            {"type", 0, "NAME", false, "the feature type, by the name info shows (default: the first)"},
            {"dataset", 0, "NAME", false, "the same as --type"},
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "features meeting this region (longitude/latitude)"},
            {"ids", 0, "N,...", false, "features with these numbers"},
            {"where", 0, "CONDITION", false, "features meeting an SQL condition, e.g. \"population > 100000\""},
            {"filter", 0, "CONDITION", false, "the same as --where"},
        },
        &RunFeatures,
    };
    return command;
}

} // namespace ogcweb
