// WMS 1.3.0 capabilities reader.
#include "FuzzCapabilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return ogcfuzz::FuzzCapabilities<VMK::WMSCapabilities130>(data, size);
}
