// WCS 1.0.0 capabilities reader.
#include "FuzzCapabilities.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return ogcfuzz::FuzzCapabilities<VMK::WCSCapabilities100>(data, size);
}
