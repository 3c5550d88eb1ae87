// WCS coverage description reader (DescribeCoverage answers).
#include "FuzzSupport.h"
#include "OGCLayer.h"
#include "VmDatasetRasterWCS.h"

#include <string>

using namespace VMK;

namespace {

// The reader only reads the offering named like its coverage; the first name
// element of the input is taken for it, so that offerings are reached.
PlxMBString FirstName(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    size_t start = text.find("name>");
    if (start == std::string::npos) return "coverage";
    start += 5;
    size_t end = text.find('<', start);
    return PlxMBString(text.substr(start, end == std::string::npos ? std::string::npos : end - start));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "describe.xml");
    WCSCoverage coverage;
    coverage.Name = FirstName(data, size);
    coverage.EnvelopeSRS = "WGS84(DD)";
    coverage.LatLonBox = PlxRect2D(0, 50, 10, 40);
    VmDatasetRasterWCS dataset;
    dataset.initCoverage(&coverage);
    if (dataset.ReadDescription(input.Path())) {
        VmRasterDescription description;
        dataset.GetRasterDescription(description);
    }
    return 0;
}
