// The capabilities document family.
#include "OGCCapabilities.h"

#define VM_LOG_SOURCE "Src/EngineOGC/OGCCapabilities"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

OGCCapabilities* OGCCapabilities::CreateReader(const PlxMBString& service, const PlxMBString& version) {
    // No document reader is built in yet: every service opens up to the
    // capabilities download and then stops cleanly.
    (void)service;
    (void)version;
    return nullptr;
}

} // namespace VMK
