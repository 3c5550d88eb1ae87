// The host's listener interface for components that download on someone's
// behalf (image plug-ins of web services, the tile cache): they report how a
// download goes, and a listener that cares about only one of the two
// callbacks overrides just that one.
#pragma once

#include "PlxTypes.h"

namespace VMK {

class VmDownloadListener {
public:
    // `percent` of the current download has arrived (0 to 100).
    virtual void OnDownloadProgress(int percent);
    // The current download ended; `path` is the local file, "" on failure.
    virtual void OnDownloadFinished(const PLX::PlxMBString& path);
    // Declared after the callbacks so that they keep the first two slots
    // of the table, where the host's image plug-ins expect them.
    virtual ~VmDownloadListener();
};

} // namespace VMK
