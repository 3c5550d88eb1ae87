// Reads and flattens a large WMS 1.3.0 capabilities document: 10,000 layers
// in groups of groups, each with several CRS names and bounding boxes, as big
// national services publish them. Reports bytes/s and layers/s.
//
//   build/bench/bench_capabilities [--benchmark_repetitions=5]
#include "OGCCapabilities.h"
#include "VmStream.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>

using namespace VMK;

namespace {

const int kGroups = 20;       // top-level groups under the root
const int kSubgroups = 10;    // groups in each group
const int kLeaves = 50;       // named layers in each subgroup: 20 * 10 * 50 = 10,000

void AppendLayer(std::string& xml, const std::string& name, bool leaf, int n) {
    char box[512];
    std::snprintf(box, sizeof box,
                  "<EX_GeographicBoundingBox><westBoundLongitude>%d</westBoundLongitude>"
                  "<eastBoundLongitude>%d</eastBoundLongitude><southBoundLatitude>%d</southBoundLatitude>"
                  "<northBoundLatitude>%d</northBoundLatitude></EX_GeographicBoundingBox>"
                  "<BoundingBox CRS=\"EPSG:4326\" minx=\"%d\" miny=\"%d\" maxx=\"%d\" maxy=\"%d\"/>"
                  "<BoundingBox CRS=\"EPSG:3857\" minx=\"%d00000\" miny=\"%d00000\" maxx=\"%d00000\" maxy=\"%d00000\"/>",
                  n % 170 - 85, n % 170 - 84, n % 80 - 40, n % 80 - 39, n % 80 - 40, n % 170 - 85, n % 80 - 39,
                  n % 170 - 84, n % 170 - 85, n % 80 - 40, n % 170 - 84, n % 80 - 39);
    xml += leaf ? "<Layer queryable=\"1\" opaque=\"0\">" : "<Layer>";
    xml += "<Name>" + name + "</Name><Title>Layer " + name + "</Title><Abstract>Generated layer</Abstract>";
    xml += "<CRS>EPSG:4326</CRS><CRS>EPSG:3857</CRS><CRS>EPSG:25832</CRS>";
    xml += box;
    if (leaf) xml += "<Style><Name>default</Name><Title>Default</Title></Style>";
}

std::string GenerateDocument() {
    std::string xml =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><WMS_Capabilities version=\"1.3.0\">"
        "<Service><Name>WMS</Name><Title>Generated</Title></Service><Capability><Request><GetMap>"
        "<Format>image/png</Format><Format>image/jpeg</Format><DCPType><HTTP><Get>"
        "<OnlineResource xlink:href=\"http://localhost/wms?map=big&amp;\"/></Get></HTTP></DCPType></GetMap>"
        "</Request><Layer><Title>Root</Title><CRS>EPSG:4326</CRS><CRS>CRS:84</CRS>"
        "<EX_GeographicBoundingBox><westBoundLongitude>-180</westBoundLongitude><eastBoundLongitude>180"
        "</eastBoundLongitude><southBoundLatitude>-90</southBoundLatitude><northBoundLatitude>90"
        "</northBoundLatitude></EX_GeographicBoundingBox>";
    int n = 0;
    for (int g = 0; g < kGroups; ++g) {
        AppendLayer(xml, "group" + std::to_string(g), false, n++);
        for (int s = 0; s < kSubgroups; ++s) {
            AppendLayer(xml, "sub" + std::to_string(g) + "_" + std::to_string(s), false, n++);
            for (int l = 0; l < kLeaves; ++l) {
                AppendLayer(xml, "l" + std::to_string(n), true, n);
                ++n;
                xml += "</Layer>";
            }
            xml += "</Layer>";
        }
        xml += "</Layer>";
    }
    xml += "</Layer></Capability></WMS_Capabilities>";
    return xml;
}

void BM_ReadAndFlattenWMS130(benchmark::State& state) {
    std::string xml = GenerateDocument();
    PlxMBString path = VmFile::CreateTempFile("bench", ".xml");
    std::ofstream(path.c_str(), std::ios::binary) << xml;
    int64_t leaves = 0;
    for (auto _ : state) {
        WMSCapabilities130 doc;
        if (!doc.LoadFile(path)) {
            state.SkipWithError("the generated document was not read");
            break;
        }
        PlxArray<WMSLayer*> drawable;
        doc.RootLayer->Parallelize(drawable);
        leaves = drawable.GetSize();
        benchmark::DoNotOptimize(drawable);
    }
    VmFile::Delete(path);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(xml.size()));
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * leaves);
    state.counters["layers"] = static_cast<double>(leaves);
    state.counters["MB"] = static_cast<double>(xml.size()) / 1e6;
}
BENCHMARK(BM_ReadAndFlattenWMS130)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
