// Inputs the fuzz targets (fuzz/) once crashed a reader with, kept under
// tests/data/fuzz-regressions/<target>/ and fed through the same entry point.
#include "OGCCapabilities.h"
#include "TestSupport.h"
#include "VmDatasetRasterWCS.h"

#include <gtest/gtest.h>

#include <string>

using namespace VMK;

namespace {

PlxMBString Regression(const char* target, const char* name) {
    return PlxMBString(std::string(OGCWEB_SOURCE_DIR) + "/tests/data/fuzz-regressions/" + target + "/" + name);
}

} // namespace

// Eight thousand nested layers overflowed the stack of the recursive layer
// reader; the tree now stops at a fixed depth and the rest of it is usable.
TEST(FuzzRegressionTest, DeepLayerNestingStopsAtTheDepthLimit) {
    LogCapture log;
    WMSCapabilities111 doc;
    ASSERT_EQ(doc.LoadFile(Regression("fuzz_caps_wms111", "deep-layer-nesting.xml")), 1);
    ASSERT_NE(doc.RootLayer, nullptr);
    EXPECT_EQ(doc.RootLayer->GetTotalLevel(), WMSCapabilities::kMaxLayerDepth);
    const WMSLayer* deepest = doc.RootLayer;
    while (!deepest->Children.IsEmpty()) deepest = deepest->Children[0];
    EXPECT_EQ(deepest->GetCurrentLevel(), WMSCapabilities::kMaxLayerDepth);
    WMSLayer copy(*doc.RootLayer);
    EXPECT_EQ(copy.GetTotalLevel(), WMSCapabilities::kMaxLayerDepth);
}

// Grid limits of INT_MIN and INT_MAX made the width an overflowing int
// subtraction; such a grid is now read as having no width, which the
// coverage request refuses, and the other axis is still read.
TEST(FuzzRegressionTest, GridLimitsTooFarApartGiveNoGrid) {
    LogCapture log;
    WCSCoverage coverage;
    coverage.Name = "coverage";
    VmDatasetRasterWCS dataset;
    dataset.initCoverage(&coverage);
    ASSERT_EQ(dataset.ReadDescription(Regression("fuzz_wcs_describe", "grid-limits-overflow.xml")), 1);
    EXPECT_EQ(dataset.GetGridWidth(), 0);
    EXPECT_EQ(dataset.GetGridHeight(), 5);
}

// Twenty thousand CRS names on the root above seventy thousand layers: each
// layer copied the root's names (over a billion strings). Layers now stop
// inheriting names once the document's layers hold the limit, which is
// lowered here as the fuzz targets lower it.
TEST(FuzzRegressionTest, CRSInheritanceStopsAtTheDocumentsLimit) {
    LogCapture log;
    const long saved = WMSCapabilities::SetMaxCRSNames(200 * 1000);
    WMSCapabilities111 doc;
    const unsigned char loaded = doc.LoadFile(Regression("fuzz_caps_wms111", "crs-inheritance.xml"));
    WMSCapabilities::SetMaxCRSNames(saved);
    ASSERT_EQ(loaded, 1);
    ASSERT_NE(doc.RootLayer, nullptr);
    ASSERT_EQ(doc.RootLayer->Children.GetSize(), 70000);
    EXPECT_EQ(doc.RootLayer->SRSList.GetSize(), 20000);
    // The root's own 20,000 and 9 layers of 20,000 fit; the 10th would pass
    // the limit.
    EXPECT_EQ(doc.RootLayer->Children[0]->SRSList.GetSize(), 20000);
    EXPECT_EQ(doc.RootLayer->Children[8]->SRSList.GetSize(), 20000);
    EXPECT_EQ(doc.RootLayer->Children[9]->SRSList.GetSize(), 0);
    EXPECT_EQ(doc.RootLayer->Children[69999]->SRSList.GetSize(), 0);
    EXPECT_EQ(log.Count("CRS names not inherited any further"), 1);
}
