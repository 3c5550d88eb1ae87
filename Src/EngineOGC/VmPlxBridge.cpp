// The data-connectivity factories: the host's bridges, handed out by the
// engine so that programs speaking the simpler interface reach OGC services.
#include "VmConnectivity.h"
#include "VmDataSourceOGC.h"

#include <new>

#define VM_LOG_SOURCE "Src/EngineOGC/VmPlxBridge"

VM_INSTALL_CRASH_DUMP();

extern "C" VM_OGC_API PLX::PlxDataSource* CreatePlxDataSource() {
    // The bridge first: without it there is nobody to own the data source.
    auto* bridge = new (std::nothrow) VMK::VmDataSourcePlx();
    if (!bridge) return nullptr;
    bridge->SetDataSource(new (std::nothrow) VMK::VmDataSourceOGC());
    return bridge;
}

extern "C" VM_OGC_API PLX::PlxFeature* CreatePlxFeature() { return new (std::nothrow) VMK::VmFeaturePlx(); }
