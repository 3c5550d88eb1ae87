// Out of line so that the listener's table and type information live once,
// in the host library, for every plug-in that derives from it.
#include "VmDownloadListener.h"

namespace VMK {

void VmDownloadListener::OnDownloadProgress(int) {}

void VmDownloadListener::OnDownloadFinished(const PLX::PlxMBString&) {}

VmDownloadListener::~VmDownloadListener() = default;

} // namespace VMK
