// The plug-in as a host loads it: dlopen, look up the C factories, work through
// the host interfaces only.
#include "VmConnectivity.h"
#include "VmEngine.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

TEST(PluginLoaderTest, FactoriesAreReachableByTheirCNames) {
    void* library = dlopen(OGCWEB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto factory = reinterpret_cast<VMK::VmDataSource* (*)()>(dlsym(library, "CreateDataSource"));
    auto makeSource = reinterpret_cast<PLX::PlxDataSource* (*)()>(dlsym(library, "CreatePlxDataSource"));
    auto makeFeature = reinterpret_cast<PLX::PlxFeature* (*)()>(dlsym(library, "CreatePlxFeature"));
    ASSERT_TRUE(factory && makeSource && makeFeature) << "the factories must be exported with C linkage";
    EXPECT_EQ(dlsym(library, "_ZN3VMK15OGCCapabilities12CreateReaderERKN3PLX11PlxMBStringES4_"), nullptr)
        << "capabilities classes stay internal";
    // The image plug-in base and the feature-information class are exported.
    for (const char* symbol : {"_ZN13VmImagePluginC2Ev", "_ZN13VmImagePluginC2ERKS_", "_ZN13VmImagePluginaSERKS_",
                               "_ZTV13VmImagePlugin", "_ZN19VmImagePaletteEntryaSERKS_",
                               "_ZN3VMK17VmWMSFeatureInfosC2Ev",
                               "_ZN3VMK18VmDatasetRasterWMS18GetWMSFeatureInfosExxRN3PLX7PlxDictINS1_11PlxMBStringES3_EE"})
        EXPECT_NE(dlsym(library, symbol), nullptr) << symbol;

    VMK::VmDataSource* source = factory();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->GetEngineType(), 23);
    source->GetConnectionInfo().ServiceKind = "wms";
    source->GetConnectionInfo().Server = "http://127.0.0.1:1/wms";  // nothing listens on port 1
    EXPECT_FALSE(source->Open());
    EXPECT_FALSE(source->IsOpen());
    delete source;

    PLX::PlxDataSource* bridge = makeSource();
    ASSERT_NE(bridge, nullptr);
    EXPECT_EQ(bridge->GetEngineName(), "OGC Web Engine") << "the bridge wraps the engine's own source";
    delete bridge;
    PLX::PlxFeature* feature = makeFeature();
    ASSERT_NE(feature, nullptr);
    feature->SetID(7);
    EXPECT_EQ(feature->GetID(), 7);
    delete feature;
    EXPECT_EQ(dlclose(library), 0);
}

} // namespace
