// GML feature reader: a fixed GetFeature answer beside a fuzzed schema, which
// decides the fields and the geometry kind the features are read into.
#include "FuzzWFS.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile schema(data, size, "schema.xsd");
    ogcfuzz::ReadFeatures(ogcfuzz::WriteCompanion("features.gml", ogcfuzz::FixedCollection()), schema.Path());
    return 0;
}
