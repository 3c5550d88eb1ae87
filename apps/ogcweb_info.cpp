// ogcweb info: what the engine makes of a service.
#include "ogcweb_commands.h"
#include "ogcweb_session.h"

#include "VmEngine.h"
#include "VmToolkit.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace ogcweb {

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

void PrintLog(const std::vector<VMK::VmLogEntry>& entries) {
    if (entries.empty()) return;
    std::printf("log:\n");
    for (const VMK::VmLogEntry& entry : entries) {
        std::string text = entry.detail.IsEmpty() ? VMK::VmStringEx::ResText(entry.code.c_str()).str() : entry.detail.str();
        if (text == entry.code.str()) text.clear();
        std::printf("  %s%s%s\n", entry.code.c_str(), text.empty() ? "" : "  ", text.c_str());
    }
}

int RunInfo(const ParsedArgs& args) {
    const std::string url = SingleUrl(args);
    Session session(args);
    VMK::VmDataSource& source = session.Open(url);
    session.EndProgressLine();

    const std::string version = source.GetServiceVersion().str();
    std::printf("engine:   %s\n", source.GetEngineName().c_str());
    std::printf("address:  %s\n", url.c_str());
    std::printf("service:  %s\n", source.GetConnectionInfo().Target.c_str());
    std::printf("version:  %s\n", version.empty() ? "unknown" : version.c_str());
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

} // namespace

const Command& InfoCommand() {
    static const Command command = {
        "info",
        "show the service's version, datasets and layers",
        "info URL [options]",
        "Opens the service at URL and prints the engine's name, the protocol version\n"
        "agreed with the server and every dataset with its type, coordinate system\n"
        "and bounds; for map datasets also the layers with their visibility,\n"
        "queryability and style. What the engine logged meanwhile follows under \"log:\".\n",
        {},
        &RunInfo,
    };
    return command;
}

} // namespace ogcweb
