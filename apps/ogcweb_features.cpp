// ogcweb features: the features of one feature dataset, selected by region,
// identifiers or condition, written as a GeoJSON feature collection.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmEngine.h"
#include "VmGeometry.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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

// The string as JSON text. Bytes that are not UTF-8 become U+FFFD: services
// do send Latin-1 now and then, and one stray byte must not make the whole
// file unreadable.
std::string JsonString(const std::string& text) {
    std::string out = "\"";
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            default:
                if (c < 0x20) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
            }
            ++i;
            continue;
        }
        // Length of the sequence and the smallest code point it may encode
        // (shorter forms of small code points are not UTF-8).
        size_t length = 0;
        unsigned long code = 0, least = 0;
        if (c >= 0xC2 && c <= 0xDF) length = 2, code = c & 0x1F, least = 0x80;
        else if (c >= 0xE0 && c <= 0xEF) length = 3, code = c & 0x0F, least = 0x800;
        else if (c >= 0xF0 && c <= 0xF4) length = 4, code = c & 0x07, least = 0x10000;
        bool valid = length > 0 && i + length <= n;
        for (size_t k = 1; valid && k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            valid = (next & 0xC0) == 0x80;
            code = (code << 6) | (next & 0x3F);
        }
        valid = valid && code >= least && code <= 0x10FFFF && !(code >= 0xD800 && code <= 0xDFFF);
        if (valid) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    return out + "\"";
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    auto digits = [&]() {
        const size_t start = i;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i > start;
    };
    if (i < n && text[i] == '-') ++i;
    if (i < n && text[i] == '0') ++i;
    else if (!digits()) return false;
    if (i < n && text[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == n;
}

// A numeric field's value: the engine's text when JSON reads it as it is,
// otherwise the shortest text of its value that reads back the same; null
// for no value or text that is no finite number.
std::string JsonNumber(const std::string& text) {
    if (IsJsonNumber(text)) return text;
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    while (end && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (text.empty() || !end || *end != '\0' || !std::isfinite(value)) return "null";
    char buffer[40];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    return IsJsonNumber(buffer) ? buffer : "null";
}

std::string JsonValue(const VMK::PlxFieldInfo& field, const std::string& text) {
    switch (field.Type) {
    case VMK::PlxFieldInfo::Byte:
    case VMK::PlxFieldInfo::Int16:
    case VMK::PlxFieldInfo::Int32:
    case VMK::PlxFieldInfo::Int64:
    case VMK::PlxFieldInfo::Single:
    case VMK::PlxFieldInfo::Double:
        return text.empty() ? "null" : JsonNumber(text);
    case VMK::PlxFieldInfo::Boolean:
        if (text == "1" || text == "true") return "true";
        if (text == "0" || text == "false") return "false";
        return "null";
    default:
        return JsonString(text);
    }
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

// Writes the collection; the number of features, or -1 when the file could
// not be written (nothing is left behind then).
int WriteCollection(VMK::VmRecordset& records, const std::string& path) {
    // The fields of the records as downloaded, which the recordset's own
    // dataset has; the feature dataset may show others.
    VMK::PlxFieldInfos fields;
    if (records.GetDataset()) records.GetDataset()->GetFieldInfos(fields);

    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    if (!out) return -1;
    out << "{\"type\":\"FeatureCollection\",\"features\":[";
    int count = 0;
    for (records.MoveFirst(); !records.IsEOF(); records.MoveNext()) {
        out << (count ? ",\n" : "\n") << "{\"type\":\"Feature\"";
        const int id = records.GetID();
        if (id > 0) out << ",\"id\":" << id;
        out << ",\"properties\":{";
        for (int i = 0; i < fields.GetSize(); ++i)
            out << (i ? "," : "") << JsonString(fields[i].Name.str()) << ":"
                << JsonValue(fields[i], records.GetFieldValue(fields[i].Name).str());
        out << "},\"geometry\":";
        VMK::VmGeometry* geometry = records.GetGeometry();
        const std::string json = geometry ? geometry->ToGeoJSON().str() : std::string();
        out << (json.empty() ? "null" : json) << "}";
        ++count;
    }
    out << "\n]}\n";
    out.close();
    if (!out) {
        std::error_code ec;
        fs::remove(path, ec);
        return -1;
    }
    return count;
}

int RunFeatures(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    if (!args.Has("output")) throw UsageError("--output (-o) is required");
    const int selections = (args.Has("bbox") ? 1 : 0) + (args.Has("ids") ? 1 : 0) + (args.Has("filter") ? 1 : 0);
    if (selections > 1) throw UsageError("--bbox, --ids and --filter exclude each other");
    VMK::VmQueryDef query;
    if (args.Has("bbox")) {
        const BoundingBox box = ParseBoundingBox(args.Value("bbox"));
        query.QueryType = VMK::VmQueryDef::QueryBounds;
        query.Bounds = PLX::PlxRect2D(box.minx, box.maxy, box.maxx, box.miny);
    } else if (args.Has("ids")) {
        query.QueryType = VMK::VmQueryDef::QueryIDs;
        for (int id : ParseIds(args.Value("ids"))) query.IDs.Add(id);
    } else if (args.Has("filter")) {
        const std::string filter = args.Value("filter");
        if (filter.find_first_not_of(" \t") == std::string::npos) throw UsageError("--filter needs a condition");
        query.QueryType = VMK::VmQueryDef::General;
        query.Filter = filter.c_str();
    }
    const std::string output = args.Value("output");
    CheckOutput(output);

    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    VMK::VmDatasetVector* dataset = FindVectorDataset(session, source, args.Value("dataset"));
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

    const int count = WriteCollection(*records, output);
    if (count < 0) throw session.Fail("cannot write " + output, {});
    std::printf("wrote %s (%d feature%s)\n", output.c_str(), count, count == 1 ? "" : "s");
    return kExitOk;
}

} // namespace

const Command& FeaturesCommand() {
    static const Command command = {
        "features",
        "download the features of a feature dataset as GeoJSON",
        "features URL -o FILE [--dataset NAME] [--bbox MINX,MINY,MAXX,MAXY | --ids N,... | --filter COND]",
        "Opens the feature service at URL (--kind wfs unless told otherwise), takes\n"
        "its first feature dataset (or the one given with --dataset) and writes the\n"
        "features selected to a GeoJSON feature collection: those meeting a region\n"
        "(default: the dataset's bounds), those with the given feature numbers, or\n"
        "those meeting a condition over the fields. Numeric fields are written as\n"
        "numbers; coordinates are longitude/latitude.\n",
        {
            {"output", 'o', "FILE", false, "the file to write: .geojson or .json"},
            {"dataset", 0, "NAME", false, "the dataset, by the name info shows (default: the first)"},
            {"bbox", 0, "MINX,MINY,MAXX,MAXY", false, "features meeting this region (longitude/latitude)"},
            {"ids", 0, "N,...", false, "features with these numbers"},
            {"filter", 0, "CONDITION", false, "features meeting an SQL condition, e.g. \"population > 100000\""},
        },
        &RunFeatures,
    };
    return command;
}

} // namespace ogcweb
