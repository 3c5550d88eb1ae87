// GML feature reader: a fuzzed GetFeature answer beside a fixed schema.
#include "FuzzWFS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile gml(data, size, "features.gml");
    ogcfuzz::ReadFeatures(gml.Path(), ogcfuzz::WriteCompanion("schema.xsd", ogcfuzz::FixedSchema()));
    return 0;
}
