// The bounding box of a GetFeature answer.
#include "FuzzWFS.h"

#include "VmGeometry.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile gml(data, size, "features.gml");
    VMK::VmDatasetVectorWFS dataset;
    VMK::VmCRSBound bound;
    dataset.ParseFeatureBound(bound, gml.Path());
    return 0;
}
