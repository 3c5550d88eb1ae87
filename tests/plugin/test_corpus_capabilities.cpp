// Every capabilities document of the shared corpus, read in place with the reader of its declared service and
// version, without a crash or a leak (the sanitizer build runs this too). The outcome is the manifest's count, a
// clean 0 for versions negotiated but not read, no reader for versions the engine does not speak, and for the
// documents listed in tests/data/corpus_capabilities.tsv the outcome recorded there.
#include "OGCCapabilities.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <regex>
#include <sstream>

using namespace VMK;

namespace {

struct Expectation {
    int result = 1;
    int count = 0;
};

std::vector<std::string> Fields(const std::string& line) {
    std::vector<std::string> fields;
    std::stringstream ss(line);
    std::string field;
    while (std::getline(ss, field, '\t')) fields.push_back(field);
    return fields;
}

std::map<std::string, Expectation> Exceptions() {
    std::map<std::string, Expectation> table;
    std::ifstream in(std::string(OGCWEB_SOURCE_DIR) + "/tests/data/corpus_capabilities.tsv");
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        auto f = Fields(line);
        if (f.size() >= 3) table[f[0]] = Expectation{std::stoi(f[1]), std::stoi(f[2])};
    }
    return table;
}

// The count the manifest's computed facts state for the document.
int ManifestCount(const std::string& service, const std::string& feature) {
    static const std::regex wms("(\\d+) layers");
    static const std::regex wfs("(\\d+) FeatureType\\(s\\)");
    static const std::regex wcs("(\\d+) coverage\\(s\\)");
    std::smatch m;
    const std::regex& pattern = service == "WMS" ? wms : service == "WFS" ? wfs : wcs;
    // The computed facts follow the hand-written note.
    std::string facts = feature.substr(feature.find('|') == std::string::npos ? 0 : feature.find('|'));
    return std::regex_search(facts, m, pattern) ? std::stoi(m[1]) : -1;
}

int CountLayers(const WMSLayer* layer) {
    if (!layer) return 0;
    int n = 1;
    for (const WMSLayer* child : layer->Children) n += CountLayers(child);
    return n;
}

// Reads one document; returns the number of records it yielded.
int Read(OGCCapabilities& doc, const std::string& path, unsigned char& result) {
    result = doc.LoadFile(path.c_str());
    if (auto* wms = dynamic_cast<WMSCapabilities*>(&doc)) return CountLayers(wms->RootLayer);
    if (auto* wfs = dynamic_cast<WFSCapabilities*>(&doc)) return wfs->FeatureTypes.GetSize();
    auto* wcs = dynamic_cast<WCSCapabilities*>(&doc);
    int n = wcs->Coverages.GetSize();
    wcs->ReleaseCoverages();
    return n;
}

bool Speaks(const std::string& service, const std::string& version) {
    if (service == "WMS") return version == "1.0.0" || version == "1.1.0" || version == "1.1.1" || version == "1.3.0";
    return version == "1.0.0" || version == "1.1.0";
}

} // namespace

TEST(CorpusCapabilitiesTest, EveryDocumentGivesTheOutcomeOfTheRules) {
    std::string corpus = OGCWEB_CORPUS_DIR;
    std::ifstream manifest(corpus + "/MANIFEST.tsv");
    if (!manifest) {
        if (std::getenv("CI")) FAIL() << "the corpus is missing at " << corpus;
        GTEST_SKIP() << "no corpus beside the project";
    }
    auto exceptions = Exceptions();
    struct Tally {
        int documents = 0, read = 0, records = 0;
    };
    std::map<std::string, Tally> tally;
    std::string line;
    std::getline(manifest, line);  // column names
    while (std::getline(manifest, line)) {
        auto f = Fields(line);
        if (f.size() < 6 || f[3] != "capabilities" || f[1] == "WMTS") continue;
        const std::string& file = f[0];
        const std::string& service = f[1];
        const std::string& version = f[2];
        SCOPED_TRACE(file);
        Tally& t = tally[service];
        ++t.documents;

        std::string lower = service == "WMS" ? "wms" : service == "WFS" ? "wfs" : "wcs";
        std::unique_ptr<OGCCapabilities> doc(OGCCapabilities::CreateReader(lower.c_str(), version.c_str()));
        if (!Speaks(service, version)) {
            EXPECT_EQ(doc, nullptr) << "no reader for " << service << " " << version;
            continue;
        }
        ASSERT_NE(doc, nullptr);
        unsigned char result = 0;
        int count = Read(*doc, corpus + "/" + file, result);

        Expectation expected;
        if (exceptions.count(file)) {
            expected = exceptions[file];
        } else if (service != "WMS" && version == "1.1.0") {
            expected = Expectation{0, 0};  // negotiated, never read
        } else {
            expected.count = ManifestCount(service, f[5]);
            ASSERT_GE(expected.count, 0) << "the manifest states no count";
        }
        EXPECT_EQ(result, expected.result);
        EXPECT_EQ(count, expected.count);
        if (result) ++t.read;
        t.records += count;
    }
    for (const auto& [service, t] : tally)
        std::printf("[ corpus   ] %s: %d documents, %d read, %d %s\n", service.c_str(), t.documents, t.read, t.records,
                    service == "WMS" ? "layers" : service == "WFS" ? "feature types" : "coverages");
    EXPECT_GE(tally["WMS"].documents, 80);
}
