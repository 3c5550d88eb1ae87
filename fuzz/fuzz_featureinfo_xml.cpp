// GetFeatureInfo XML answer reader, on a document loaded from the downloaded
// file as the request object loads it.
#include "FuzzFeatureInfo.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "info.xml");
    VMK::VmMarkup document;
    if (!document.Load(input.Path())) return 0;
    VMK::PlxDict<VMK::PlxMBString, VMK::PlxMBString> fields;
    VMK::VmWMSFeatureInfosTestAccess::Xml(document, fields);
    return 0;
}
