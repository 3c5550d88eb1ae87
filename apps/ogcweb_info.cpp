// ogcweb info: what the engine makes of a service.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmConnectivity.h"
#include "VmEngine.h"
#include "VmTileCache.h"
#include "VmToolkit.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace ogcweb {

// Defined with the view command, which shares the tile cache rule.
ParsedArgs WithTileCache(const ParsedArgs& args, const Command& command);

namespace {

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

// In the order --bbox takes, so that a region can be pasted back into map.
std::string BoundsText(const PLX::PlxRect2D& bounds) {
    if (bounds.IsNull()) return "none";
    return Number(bounds.left) + "," + Number(bounds.bottom) + "," + Number(bounds.right) + "," + Number(bounds.top) +
           "  (minx,miny,maxx,maxy)";
}

// The type's name as the host spells it; text fields with their size.
std::string FieldTypeText(const VMK::PlxFieldInfo& field) {
    switch (field.Type) {
    case VMK::PlxFieldInfo::Boolean: return "Boolean";
    case VMK::PlxFieldInfo::Byte: return "Byte";
    case VMK::PlxFieldInfo::Int16: return "Int16";
    case VMK::PlxFieldInfo::Int32: return "Int32";
    case VMK::PlxFieldInfo::Int64: return "Int64";
    case VMK::PlxFieldInfo::Single: return "Single";
    case VMK::PlxFieldInfo::Double: return "Double";
    case VMK::PlxFieldInfo::Date: return "Date";
    case VMK::PlxFieldInfo::Time: return "Time";
    case VMK::PlxFieldInfo::Text: return field.Size > 0 ? "Text(" + std::to_string(field.Size) + ")" : "Text";
    case VMK::PlxFieldInfo::Binary: return "Binary";
    }
    return "type " + std::to_string(static_cast<int>(field.Type));
}

std::string Padded(const std::string& text, size_t width) {
    return text.size() >= width ? text : text + std::string(width - text.size(), ' ');
}

void PrintLayers(VMK::VmDatasetRaster& raster) {
    const std::vector<std::string> names = LayerNames(raster);
    if (names.empty()) return;
    PLX::PlxArray<PLX::PlxMBString> titles;
    raster.GetAllLayerTitles(titles);
    PLX::PlxArray<int> allIndexes, visibleIndexes;
    raster.GetAllLayerIndexes(allIndexes);
    raster.GetVisibleLayerIndexes(visibleIndexes);
    // Visible layers are given by the indexes the all-layers list carries;
    // an engine that lists none numbers its layers by position.
    const bool ownIndexes = allIndexes.GetSize() == static_cast<int>(names.size());

    struct Row {
        std::string name, visible, queryable, style, title;
    };
    std::vector<Row> rows;
    rows.push_back({"name", "visible", "queryable", "style", "title"});
    for (int i = 0; i < static_cast<int>(names.size()); ++i) {
        const int index = ownIndexes ? allIndexes[i] : i;
        const bool visible = std::find(visibleIndexes.begin(), visibleIndexes.end(), index) != visibleIndexes.end();
        const std::string style = raster.GetLayerStyle(i).str();
        rows.push_back({names[static_cast<size_t>(i)].empty() ? "-" : names[static_cast<size_t>(i)],
                        visible ? "yes" : "no", raster.IsLayerQueryable(i) ? "yes" : "no",
                        style.empty() ? "default" : style, i < titles.GetSize() ? titles[i].str() : std::string()});
    }
    size_t nameWidth = 0, styleWidth = 0;
    for (const Row& row : rows) {
        nameWidth = std::max(nameWidth, row.name.size());
        styleWidth = std::max(styleWidth, row.style.size());
    }
    std::printf("    layers:  %zu\n", names.size());
    for (const Row& row : rows)
        std::printf("      %s  %s  %s  %s  %s\n", Padded(row.name, nameWidth).c_str(), Padded(row.visible, 7).c_str(),
                    Padded(row.queryable, 9).c_str(), Padded(row.style, styleWidth).c_str(), row.title.c_str());
}

void PrintFields(VMK::VmDatasetVector& vector) {
    VMK::PlxFieldInfos fields;
    vector.GetFieldInfos(fields);
    std::printf("    fields:  %d\n", fields.GetSize());
    size_t width = 0;
    for (const VMK::PlxFieldInfo& field : fields) width = std::max(width, field.Name.str().size());
    for (const VMK::PlxFieldInfo& field : fields)
        std::printf("      %s  %s\n", Padded(field.Name.str(), width).c_str(), FieldTypeText(field).c_str());
}

std::string Joined(const PLX::PlxArray<PLX::PlxMBString>& items) {
    std::string text;
    for (const PLX::PlxMBString& item : items) text += (text.empty() ? "" : ", ") + item.str();
    return text.empty() ? "none" : text;
}

// Services describe their coverages in detail; the engine hands that on
// through the description, which map datasets do not have.
bool PrintCoverage(VMK::VmDatasetRaster& raster) {
    VMK::VmRasterDescription description;
    if (!raster.GetRasterDescription(description)) return false;
    const char* const indent = "      ";
    std::printf("    coverage:\n");
    if (!description.Identifier.IsEmpty())
        std::printf("%s%-16s%s\n", indent, "identifier:", description.Identifier.c_str());
    std::printf("%s%-16s%d x %d cells\n", indent, "grid:", description.GridWidth, description.GridHeight);
    if (description.Axes.IsEmpty()) std::printf("%s%-16snone\n", indent, "axes:");
    for (int i = 0; i < description.Axes.GetSize(); ++i) {
        const VMK::VmRasterDescription::Axis& axis = description.Axes[i];
        const std::string values = axis.Min == axis.Max ? std::to_string(axis.Min)
                                                        : std::to_string(axis.Min) + ".." + std::to_string(axis.Max);
        std::printf("%s%-16s%s %s (no data: %d)\n", indent, i == 0 ? "axes:" : "",
                    axis.Name.IsEmpty() ? "(unnamed)" : axis.Name.c_str(), values.c_str(), axis.NullValue);
    }
    if (description.CRSNames.IsEmpty()) std::printf("%s%-16snone\n", indent, "crs:");
    for (int i = 0; i < description.CRSNames.GetSize(); ++i) {
        const PLX::PlxRect2D bounds = i < description.CRSBounds.GetSize() ? description.CRSBounds[i] : PLX::PlxRect2D();
        std::printf("%s%-16s%s  %s\n", indent, i == 0 ? "crs:" : "", description.CRSNames[i].c_str(),
                    BoundsText(bounds).c_str());
    }
    std::printf("%s%-16s%s\n", indent, "formats:", Joined(description.Formats).c_str());
    std::printf("%s%-16s%s\n", indent, "native format:",
                description.NativeFormat.IsEmpty() ? "none" : description.NativeFormat.c_str());
    std::printf("%s%-16s%s\n", indent, "interpolations:", Joined(description.Interpolations).c_str());
    return true;
}

void PrintLog(const std::vector<VMK::VmLogEntry>& entries) {
    if (entries.empty()) return;
    std::printf("log:\n");
    for (const VMK::VmLogEntry& entry : entries) {
        std::string text = entry.detail.IsEmpty() ? VMK::VmStringEx::ResText(entry.code.c_str()).str() : entry.detail.str();
        if (text == entry.code.str()) text.clear();
        std::printf("  %s%s%s\n", entry.code.c_str(), text.empty() ? "" : "  ", text.c_str());
    }
}

// The lines every description starts with, whichever interface gave them.
void PrintHeading(const std::string& engine, const std::string& url, const std::string& service,
                  const std::string& version) {
    std::printf("engine:   %s\n", engine.c_str());
    std::printf("address:  %s\n", url.c_str());
    std::printf("service:  %s\n", service.c_str());
    std::printf("version:  %s\n", version.empty() ? "unknown" : version.c_str());
}

// The same service reached as programs of the data-connectivity interface
// reach it: through the bridge the engine hands out, which must show the
// engine and datasets the engine interface shows.
int RunInfoThroughBridge(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    Session session(args);
    PLX::PlxDataSource& source = session.OpenBridge(url);
    session.EndProgressLine();

    PrintHeading(source.GetEngineName().str(), url, args.Value("kind", "wms"), source.GetVersion().str());
    std::printf("through:  data-connectivity bridge\n");
    std::printf("datasets: %d\n", source.GetDatasetCount());
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        VMK::VmDataset* dataset = source.GetDataset(i);
        const int type = static_cast<int>(dataset->GetType());
        std::printf("  %s\n", dataset->GetName().c_str());
        std::printf("    type:    %d (%s)\n", type, DatasetTypeWord(type));
        std::printf("    crs:     %s\n", CrsName(dataset->GetPrjCoordSys()).c_str());
        std::printf("    bounds:  %s\n", BoundsText(dataset->GetBounds()).c_str());
        if (auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(dataset)) PrintLayers(*raster);
    }
    PrintLog(session.TakeLogEntries());
    return kExitOk;
}

// A tile service: each layer is a tiled dataset, and what matters about it is
// its pyramid, which only its opened cache knows.
int RunInfoTiles(const ParsedArgs& given) {
    const std::string url = SingleUrl(given);
    const ParsedArgs args = WithTileCache(given, InfoCommand());
    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    session.EndProgressLine();

    PrintHeading(source.GetEngineName().str(), url, "wmts", source.GetServiceVersion().str());
    std::printf("cache:    %s\n", args.Value("cache", "(WebCacheFilePath of the host configuration)").c_str());
    int count = 0;
    for (int i = 0; i < source.GetDatasetCount(); ++i) count += source.GetDataset(i)->GetType() == VMK::VmDataset::WebTile;
    std::printf("layers:   %d\n", count);
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        auto* tiles = dynamic_cast<VMK::VmDatasetRasterWeb*>(source.GetDataset(i));
        if (!tiles || tiles->GetType() != VMK::VmDataset::WebTile) continue;
        PLX::PlxArray<PLX::PlxMBString> ids;
        tiles->GetCurrentVisibleLayers(ids);
        std::printf("  %s\n", tiles->GetName().c_str());
        std::printf("    identifier: %s\n", ids.IsEmpty() ? "unknown" : ids[0].c_str());
        std::printf("    type:       %d (%s)\n", static_cast<int>(tiles->GetType()), DatasetTypeWord(tiles->GetType()));
        std::printf("    crs:        %s\n", CrsName(tiles->GetPrjCoordSys()).c_str());
        std::printf("    bounds:     %s\n", BoundsText(tiles->GetBounds()).c_str());
        if (!tiles->Open()) {
            std::printf("    levels:     unknown (the tile cache could not be opened)\n");
            continue;
        }
        const PLX::PlxArray<double> scales = tiles->GetScales();
        const VMK::VmSizeI tile = tiles->GetTileSize();
        std::printf("    levels:     %d\n", scales.GetSize());
        if (!scales.IsEmpty()) {
            const auto range = std::minmax_element(scales.begin(), scales.end());
            std::printf("    scales:     1:%s .. 1:%s\n", Number(*range.second).c_str(), Number(*range.first).c_str());
        }
        std::printf("    tile size:  %d x %d\n", tile.cx, tile.cy);
    }
    PrintLog(session.TakeLogEntries());
    return kExitOk;
}

int RunInfo(const ParsedArgs& args) {
    if (args.Has("bridge")) return RunInfoThroughBridge(args);
    if (args.Value("kind") == "wmts") return RunInfoTiles(args);
    const std::string url = SingleUrl(args);
    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    session.EndProgressLine();

    PrintHeading(source.GetEngineName().str(), url, source.GetConnectionInfo().Target.str(),
                 source.GetServiceVersion().str());
    std::printf("datasets: %d\n", source.GetDatasetCount());
    for (int i = 0; i < source.GetDatasetCount(); ++i) {
        VMK::VmDataset* dataset = source.GetDataset(i);
        const int type = static_cast<int>(dataset->GetType());
        std::printf("  %s\n", dataset->GetName().c_str());
        std::printf("    type:    %d (%s)\n", type, DatasetTypeWord(type));
        std::printf("    crs:     %s\n", CrsName(dataset->GetPrjCoordSys()).c_str());
        std::printf("    bounds:  %s\n", BoundsText(dataset->GetBounds()).c_str());
        if (auto* raster = dynamic_cast<VMK::VmDatasetRaster*>(dataset)) {
            // A coverage has no layers, and says so in the log when asked.
            if (!PrintCoverage(*raster)) PrintLayers(*raster);
        }
        if (auto* vector = dynamic_cast<VMK::VmDatasetVector*>(dataset)) PrintFields(*vector);
    }
    PrintLog(session.TakeLogEntries());
    return kExitOk;
}

} // namespace

const Command& InfoCommand() {
    static const Command command = {
        "info",
        "show the service's version, datasets and layers",
        "info URL [options]",
        "Opens the service at URL and prints the engine's name, the protocol version\n"
        "agreed with the server and every dataset with its type, coordinate system\n"
        "and bounds; for map datasets also the layers with their visibility,\n"
        "queryability and style; for feature datasets the fields with their types;\n"
        "for coverages the grid, range axes, coordinate systems, formats and\n"
        "interpolations the service described. What the engine logged meanwhile\n"
        "follows under \"log:\".\n",
        {
            {"bridge", 0, nullptr, false, "open the service through the engine's data-connectivity bridge"},
        },
        &RunInfo,
    };
    return command;
}

} // namespace ogcweb
