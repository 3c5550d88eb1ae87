// Projections and CRS bounds on PROJ.
#include "VmGeometry.h"
#include "VmProjection.h"

#include <gtest/gtest.h>

using namespace VMK;

TEST(VmPrjCoordSysTest, TypeNumbersNameSystems) {
    VmPrjCoordSys lonlat;
    lonlat.SetTypeID(1);
    lonlat.SetGeoCoordSys(VmGeoCoordSys(4326));
    EXPECT_EQ(lonlat.GetAuthorityName(), "EPSG:4326");
    EXPECT_NE(lonlat.ToWkt().Find("WGS 84"), -1);

    VmPrjCoordSys mercator;
    mercator.SetTypeID(3857);
    EXPECT_NE(mercator.ToWkt().Find("Pseudo-Mercator"), -1);
    VmPrjCoordSys bogus;
    bogus.SetTypeID(999999);
    EXPECT_FALSE(bogus.IsKnown()) << "an unknown code yields no system, and no abort";
}

TEST(VmCRSBoundTest, TransformCoversTheArea) {
    VmCRSBound lonlat("EPSG:4326", PLX::PlxRect2D(-10, 60, 10, 40));
    PLX::PlxRect2D merc = lonlat.Transform("EPSG:3857");
    EXPECT_NEAR(merc.left, -1113194.9, 1.0);
    EXPECT_NEAR(merc.right, 1113194.9, 1.0);
    EXPECT_NEAR(merc.bottom, 4865942.3, 1.0);
    EXPECT_NEAR(merc.top, 8399737.9, 1.0);

    // Longitude first whatever the authority's axis order.
    PLX::PlxRect2D back = VmCRSBound("urn:ogc:def:crs:EPSG::3857", merc).Transform("CRS:84");
    EXPECT_NEAR(back.left, -10, 1e-6);
    EXPECT_NEAR(back.top, 60, 1e-6);

    // A UTM image of a lat/lon box has curved edges: densifying must cover them.
    PLX::PlxRect2D utm = VmCRSBound("EPSG:4326", PLX::PlxRect2D(6, 54, 12, 47)).Transform("EPSG:32632");
    PLX::PlxRect2D corners = VmCRSBound("EPSG:4326", PLX::PlxRect2D(6, 47, 6, 47)).Transform("EPSG:32632");
    EXPECT_LT(utm.bottom, corners.bottom - 1000) << "parallels bow towards the pole: the southern edge dips lowest mid-zone";
    EXPECT_GT(utm.Width(), 400000);
}

TEST(VmCRSBoundTest, SameUnknownAndEmpty) {
    PLX::PlxRect2D r(1, 2, 3, 0);
    EXPECT_EQ(VmCRSBound("EPSG:4326", r).Transform("epsg:4326"), r) << "the same CRS is not converted";
    EXPECT_TRUE(VmCRSBound("EPSG:4326", r).Transform("AUTO:42001").IsNull());
    EXPECT_TRUE(VmCRSBound("/etc/passwd", r).Transform("EPSG:3857").IsNull()) << "names are never read as files";
    EXPECT_TRUE(VmCRSBound("EPSG:4326", PLX::PlxRect2D()).Transform("EPSG:3857").IsNull());
}

TEST(VmCRSBoundsTest, LookupIgnoresCase) {
    VmCRSBounds bounds;
    bounds.Add(VmCRSBound("EPSG:3857", PLX::PlxRect2D(0, 1, 1, 0)));
    bounds.Add(VmCRSBound("EPSG:4326", PLX::PlxRect2D(0, 2, 2, 0)));
    EXPECT_EQ(bounds.GetIndexByName("epsg:4326"), 1);
    EXPECT_EQ(bounds.GetIndexByName("EPSG:32632"), -1);
    ASSERT_NE(bounds.GetObjByName("EPSG:3857"), nullptr);
    EXPECT_DOUBLE_EQ(bounds.GetObjByName("EPSG:3857")->Rect.top, 1);
}
