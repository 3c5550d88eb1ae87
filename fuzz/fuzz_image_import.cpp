// Import of a downloaded map or coverage file into an in-memory raster, the
// way GetMap and GetCoverage answers are imported.
#include "FuzzSupport.h"
#include "VmDataExchange.h"
#include "VmEngine.h"
#include "VmOGCRequest.h"

#include <memory>

using namespace VMK;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "answer.dat");
    VmImportFailure failure = VmImportNoFailure;
    std::unique_ptr<VmDataSource> memory(
        ImportIntoMemory(input.Path(), VmFilePNG, "map", PlxRect2D(0, 50, 10, 40), failure));
    if (!memory) return 0;
    for (int i = 0; i < memory->GetDatasetCount(); ++i) {
        auto* raster = dynamic_cast<VmDatasetRaster*>(memory->GetDataset(i));
        if (raster) raster->GetPrjCoordSys();
    }
    memory->Close();
    return 0;
}
