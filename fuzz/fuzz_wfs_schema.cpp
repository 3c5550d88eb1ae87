// WFS schema reader (DescribeFeatureType answers), followed by what the
// dataset builds from the schema once it has read it.
#include "FuzzWFS.h"

using namespace VMK;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    ogcfuzz::Round round;
    ogcfuzz::InputFile input(data, size, "schema.xsd");
    VmDatasetVectorWFS dataset;
    PlxFieldInfos fields;
    PlxMBString typeName;
    VmDataset::DatasetType type = VmDataset::WebFeature;
    if (!VmDatasetVectorWFSTestAccess::Schema(dataset, fields, typeName, type, input.Path())) return 0;
    PlxFieldInfos system;
    VmDatasetVectorWFSTestAccess::SystemFields(dataset, type, system);
    for (PlxFieldInfo& field : fields) field.Name.MakeUpper();
    dataset.SetType(type);
    return 0;
}
