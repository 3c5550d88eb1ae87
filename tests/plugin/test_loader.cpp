// The plug-in as a host loads it: dlopen, look up the C factory, work through
// the host interface only.
#include "VmEngine.h"

#include <gtest/gtest.h>

#include <dlfcn.h>

namespace {

using Factory = VMK::VmDataSource* (*)();

TEST(PluginLoaderTest, FactoryIsReachableByItsCName) {
    void* library = dlopen(OGCWEB_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library, nullptr) << dlerror();
    auto factory = reinterpret_cast<Factory>(dlsym(library, "CreateDataSource"));
    ASSERT_NE(factory, nullptr) << "CreateDataSource must be exported with C linkage";
    EXPECT_EQ(dlsym(library, "_ZN3VMK15OGCCapabilities12CreateReaderERKN3PLX11PlxMBStringES4_"), nullptr)
        << "capabilities classes stay internal";

    VMK::VmDataSource* source = factory();
    ASSERT_NE(source, nullptr);
    EXPECT_EQ(source->GetEngineName(), "OGC Web Engine");
    EXPECT_EQ(source->GetEngineType(), 23);
    source->GetConnectionInfo().ServiceKind = "wms";
    source->GetConnectionInfo().Server = "http://127.0.0.1:1/wms";  // nothing listens on port 1
    EXPECT_FALSE(source->Open());
    EXPECT_FALSE(source->IsOpen());
    delete source;
    EXPECT_EQ(dlclose(library), 0);
}

} // namespace
