// What every source file of the plug-in shares: the export marker for the
// classes a host may use, and the one way a failure is logged.
#pragma once

#include "VmToolkit.h"

// The plug-in is built with hidden visibility; only what carries this marker
// is exported to the host.
#define VM_OGC_API __attribute__((visibility("default")))

// Writes one log entry whose message is the code itself, naming the calling
// source (each .cpp defines VM_LOG_SOURCE) and line.
#define VM_LOG(level, code) \
    ::VMK::VmLogFile::GetInstance(false).RecordLog((level), (code), VM_LOG_SOURCE, __LINE__)

namespace VMK {

// Log levels of the plug-in.
enum VmLogLevel {
    VmLogMapFailure = 100,    // a WMS map or feature-information request failed
    VmLogUnsupported = 300,   // an operation the plug-in does not support
    VmLogFailure = 400,       // a failed request, import or parse
};

} // namespace VMK
