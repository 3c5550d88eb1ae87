// GetFeatureInfo plain-text answer reader.
#include "FuzzFeatureInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "info.txt");
    VMK::PlxDict<VMK::PlxMBString, VMK::PlxMBString> fields;
    VMK::VmWMSFeatureInfosTestAccess::Text(input.Path(), fields);
    return 0;
}
