// Opens nothing: creates the engine's data source through its factory and
// asks its name, which is all a platform needs to list the engine.
#include "VmDataSourceOGC.h"

#include <cstdio>
#include <memory>

int main() {
    std::unique_ptr<VMK::VmDataSource> source(CreateDataSource());
    if (!source) return 1;
    std::printf("%s\n", source->GetEngineName().c_str());
    return source->GetEngineName() == "OGC Web Engine" ? 0 : 1;
}
