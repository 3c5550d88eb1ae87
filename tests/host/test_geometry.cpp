// Feature geometries: GML input, axis order, types, bounds, WKB/WKT/GeoJSON,
// and conversion between coordinate systems.
#include "VmGeometry.h"
#include "VmProjection.h"

#include <gtest/gtest.h>

#include <ogr_api.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

using namespace VMK;
using PLX::PlxRect2D;

namespace {

std::unique_ptr<VmGeometry> FromGml(const char* gml, VmGeometry::GMLVersionType version = VmGeometry::GML212,
                                    int type = VmGeometry::Point) {
    std::unique_ptr<VmGeometry> g(VmGeometryFactory::CreateGeometry(type));
    EXPECT_TRUE(g != nullptr);
    if (g) {
        EXPECT_EQ(g->FromGML(gml, version), 1) << gml;
    }
    return g;
}

VmPrjCoordSys System(int type) {
    VmPrjCoordSys system;
    system.SetTypeID(type);
    if (type == 1) system.SetGeoCoordSys(VmGeoCoordSys(4326));
    return system;
}

void ExpectRect(const PlxRect2D& r, double left, double top, double right, double bottom) {
    EXPECT_DOUBLE_EQ(r.left, left);
    EXPECT_DOUBLE_EQ(r.top, top);
    EXPECT_DOUBLE_EQ(r.right, right);
    EXPECT_DOUBLE_EQ(r.bottom, bottom);
}

} // namespace

TEST(VmGeometryFactoryTest, KnowsTheHostTypesOnly) {
    for (int type : {1, 2, 3, 5, 7, 35}) {
        std::unique_ptr<VmGeometry> g(VmGeometryFactory::CreateGeometry(type));
        ASSERT_TRUE(g != nullptr) << type;
        EXPECT_EQ(g->GetType(), type) << "an empty geometry reports the type it was made as";
        EXPECT_TRUE(g->IsEmpty());
        EXPECT_TRUE(g->GetBounds().IsNull());
        EXPECT_EQ(g->ToWkt(), "");
        EXPECT_TRUE(g->ToWkb().empty());
    }
    for (int type : {0, 4, 6, 8, 36, -1})
        EXPECT_EQ(VmGeometryFactory::CreateGeometry(type), nullptr) << type;
}

TEST(VmGeometryTest, Gml2PointsAndLines) {
    auto point = FromGml("<gml:Point><gml:coordinates>10.5,45.2</gml:coordinates></gml:Point>");
    EXPECT_EQ(point->ToWkt(), "POINT (10.5 45.2)");
    EXPECT_EQ(point->GetType(), VmGeometry::Point);
    ExpectRect(point->GetBounds(), 10.5, 45.2, 10.5, 45.2);

    // Separators and decimal mark as the element declares them.
    auto declared = FromGml(
        "<gml:Point><gml:coordinates decimal=\",\" cs=\";\" ts=\" \">10,5;45,2</gml:coordinates></gml:Point>");
    EXPECT_EQ(declared->ToWkt(), "POINT (10.5 45.2)");

    auto line = FromGml("<gml:LineString><gml:coordinates>0,0 3,4 -2,7</gml:coordinates></gml:LineString>",
                        VmGeometry::GML212, VmGeometry::Line);
    EXPECT_EQ(line->ToWkt(), "LINESTRING (0 0,3 4,-2 7)");
    EXPECT_EQ(line->GetType(), VmGeometry::Line);
    ExpectRect(line->GetBounds(), -2, 7, 3, 0);

    auto points = FromGml("<gml:MultiPoint><gml:pointMember><gml:Point><gml:coordinates>1,2</gml:coordinates>"
                          "</gml:Point></gml:pointMember><gml:pointMember><gml:Point><gml:coordinates>3,4"
                          "</gml:coordinates></gml:Point></gml:pointMember></gml:MultiPoint>");
    EXPECT_EQ(points->GetType(), VmGeometry::MultiPoint) << "what is held decides the type";
    ExpectRect(points->GetBounds(), 1, 4, 3, 2);
}

TEST(VmGeometryTest, Gml2PolygonsBoxesAndRings) {
    auto polygon = FromGml(
        "<gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>0,0 10,0 10,10 0,10 0,0"
        "</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs><gml:innerBoundaryIs><gml:LinearRing>"
        "<gml:coordinates>2,2 4,2 4,4 2,2</gml:coordinates></gml:LinearRing></gml:innerBoundaryIs></gml:Polygon>",
        VmGeometry::GML212, VmGeometry::Region);
    EXPECT_EQ(polygon->ToWkt(), "POLYGON ((0 0,10 0,10 10,0 10,0 0),(2 2,4 2,4 4,2 2))");
    EXPECT_EQ(polygon->GetType(), VmGeometry::Region);

    auto multi = FromGml(
        "<gml:MultiPolygon srsName=\"EPSG:4326\"><gml:polygonMember><gml:Polygon><gml:outerBoundaryIs>"
        "<gml:LinearRing><gml:coordinates>0,0 10,0 10,10 0,10 0,0</gml:coordinates></gml:LinearRing>"
        "</gml:outerBoundaryIs><gml:innerBoundaryIs><gml:LinearRing><gml:coordinates>2,2 3,2 3,3 2,2"
        "</gml:coordinates></gml:LinearRing></gml:innerBoundaryIs></gml:Polygon></gml:polygonMember>"
        "<gml:polygonMember><gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>20,-5 30,-5 30,5 "
        "20,-5</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon></gml:polygonMember>"
        "</gml:MultiPolygon>",
        VmGeometry::GML212, VmGeometry::Region);
    EXPECT_EQ(multi->ToWkt(),
              "MULTIPOLYGON (((0 0,10 0,10 10,0 10,0 0),(2 2,3 2,3 3,2 2)),((20 -5,30 -5,30 5,20 -5)))");
    EXPECT_EQ(multi->GetType(), VmGeometry::Region);
    ExpectRect(multi->GetBounds(), 0, 10, 30, -5);

    // A Box is an area; the reader gives it a third dimension we drop.
    auto box = FromGml("<gml:Box><gml:coordinates>0,0 10,5</gml:coordinates></gml:Box>", VmGeometry::GML212,
                       VmGeometry::Region);
    EXPECT_EQ(box->ToWkt(), "POLYGON ((0 0,10 0,10 5,0 5,0 0))");
    EXPECT_EQ(box->GetType(), VmGeometry::Region);
    ExpectRect(box->GetBounds(), 0, 5, 10, 0);
}

TEST(VmGeometryTest, Gml3ElementsAreLinearAndTwoDimensional) {
    auto arc = FromGml("<gml:Curve><gml:segments><gml:Arc><gml:posList>0 0 1 1 2 0</gml:posList></gml:Arc>"
                       "</gml:segments></gml:Curve>",
                       VmGeometry::GML311, VmGeometry::Line);
    EXPECT_EQ(arc->ToWkt().Left(11), "LINESTRING ") << "arcs become straight segments";
    EXPECT_EQ(arc->GetType(), VmGeometry::Line);
    EXPECT_NEAR(arc->GetBounds().top, 1.0, 1e-2);

    auto point3d = FromGml("<gml:Point><gml:pos srsDimension=\"3\">1 2 3</gml:pos></gml:Point>", VmGeometry::GML311);
    EXPECT_EQ(point3d->ToWkt(), "POINT (1 2)");

    auto polygon = FromGml("<gml:Polygon><gml:exterior><gml:LinearRing><gml:posList>0 0 4 0 4 3 0 0</gml:posList>"
                           "</gml:LinearRing></gml:exterior></gml:Polygon>",
                           VmGeometry::GML311, VmGeometry::Region);
    EXPECT_EQ(polygon->ToWkt(), "POLYGON ((0 0,4 0,4 3,0 0))");
}

TEST(VmGeometryTest, AxisOrderIsLongitudeFirst) {
    // GML 2: as written, whatever the name promises.
    auto gml2 = FromGml("<gml:Point srsName=\"urn:ogc:def:crs:EPSG::4326\"><gml:coordinates>10,45"
                        "</gml:coordinates></gml:Point>");
    EXPECT_EQ(gml2->ToWkt(), "POINT (10 45)");

    // GML 3 with a URN of a latitude-first system: swapped.
    auto urn = FromGml("<gml:Point srsName=\"urn:ogc:def:crs:EPSG::4326\"><gml:pos>45 10</gml:pos></gml:Point>",
                       VmGeometry::GML311);
    EXPECT_EQ(urn->ToWkt(), "POINT (10 45)");
    auto uri = FromGml("<gml:LineString srsName='http://www.opengis.net/def/crs/EPSG/0/4326'><gml:posList>45 10 46 11"
                       "</gml:posList></gml:LineString>",
                       VmGeometry::GML311, VmGeometry::Line);
    EXPECT_EQ(uri->ToWkt(), "LINESTRING (10 45,11 46)");

    // GML 3 with a short name, or a URN of an easting-first system: as written.
    auto shortName = FromGml("<gml:Point srsName=\"EPSG:4326\"><gml:pos>10 45</gml:pos></gml:Point>",
                             VmGeometry::GML311);
    EXPECT_EQ(shortName->ToWkt(), "POINT (10 45)");
    auto mercator = FromGml(
        "<gml:Point srsName=\"urn:ogc:def:crs:EPSG::3857\"><gml:pos>1000 2000</gml:pos></gml:Point>",
        VmGeometry::GML311);
    EXPECT_EQ(mercator->ToWkt(), "POINT (1000 2000)");
}

TEST(VmGeometryTest, TextAndRouteKeepTheirNumbers) {
    auto text = FromGml("<gml:Point><gml:coordinates>1,2</gml:coordinates></gml:Point>", VmGeometry::GML212,
                        VmGeometry::Text);
    EXPECT_EQ(text->GetType(), VmGeometry::Text);
    auto route = FromGml("<gml:LineString><gml:coordinates>0,0 1,1</gml:coordinates></gml:LineString>",
                         VmGeometry::GML212, VmGeometry::Route);
    EXPECT_EQ(route->GetType(), VmGeometry::Route);
    // A point type that receives an area reports the area.
    auto changed = FromGml("<gml:Box><gml:coordinates>0,0 1,1</gml:coordinates></gml:Box>");
    EXPECT_EQ(changed->GetType(), VmGeometry::Region);
}

TEST(VmGeometryTest, MalformedGmlEmptiesTheGeometry) {
    const char* bad[] = {
        "<gml:Point><gml:coordinates>abc</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,2",
        "<gml:Point></gml:Point>",
        "<gml:Unknown><gml:coordinates>1,2</gml:coordinates></gml:Unknown>",
        "not xml at all",
        "",
    };
    for (const char* gml : bad) {
        auto g = FromGml("<gml:Point><gml:coordinates>5,6</gml:coordinates></gml:Point>");
        EXPECT_EQ(g->FromGML(gml, VmGeometry::GML212), 0) << gml;
        EXPECT_TRUE(g->IsEmpty()) << gml;
        EXPECT_EQ(g->ToWkt(), "") << gml;
        EXPECT_TRUE(g->GetBounds().IsNull()) << gml;
        EXPECT_EQ(g->GetType(), VmGeometry::Point) << "back to the type it was made as";
    }
}

TEST(VmGeometryTest, WkbWktGeoJsonAndClone) {
    auto polygon = FromGml("<gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>0,0 2.5,0 2.5,1 0,0"
                           "</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon>",
                           VmGeometry::GML212, VmGeometry::Region);
    std::vector<unsigned char> wkb = polygon->ToWkb();
    ASSERT_FALSE(wkb.empty());
    EXPECT_EQ(wkb[0], 1) << "little-endian";

    VmGeometry copy(VmGeometry::Region);
    ASSERT_TRUE(copy.FromWkb(wkb.data(), wkb.size()));
    EXPECT_EQ(copy.ToWkt(), polygon->ToWkt());

    std::vector<unsigned char> truncated(wkb.begin(), wkb.begin() + 12);
    EXPECT_FALSE(copy.FromWkb(truncated.data(), truncated.size()));
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_FALSE(copy.FromWkb(nullptr, 0));

    EXPECT_TRUE(copy.FromWkt("LINESTRING (1 1, 2 3)"));
    EXPECT_EQ(copy.GetType(), VmGeometry::Line);
    EXPECT_FALSE(copy.FromWkt("LINESTRING (1"));
    EXPECT_TRUE(copy.IsEmpty());

    PlxMBString json = polygon->ToGeoJSON();
    EXPECT_NE(json.Find("\"Polygon\""), -1) << json.c_str();
    EXPECT_NE(json.Find("2.5"), -1) << json.c_str();

    std::unique_ptr<VmGeometry> clone(polygon->Clone());
    polygon->FromGML("<gml:Point><gml:coordinates>9,9</gml:coordinates></gml:Point>", VmGeometry::GML212);
    // OGR writes a point with one fractional coordinate as "2.5 0.0".
    EXPECT_EQ(clone->ToWkt(), "POLYGON ((0 0,2.5 0.0,2.5 1.0,0 0))") << "a clone shares nothing";
    EXPECT_EQ(clone->GetType(), VmGeometry::Region);
}

TEST(VmRefTranslatorTest, ConvertsMercatorToLonLat) {
    VmRefTranslator translator;
    translator.SetPrjCoordSysSrc(System(3857));
    translator.SetPrjCoordSysDes(System(1));
    ASSERT_TRUE(translator.IsValid());
    EXPECT_FALSE(translator.IsIdentity());

    // (10 E, 10 N) and (-20 E, 50 N) in Web Mercator.
    VmGeometry line(VmGeometry::Line);
    ASSERT_TRUE(line.FromWkt("LINESTRING (1113194.90793274 1118889.97485796, -2226389.81586547 6446275.84101716)"));
    ASSERT_EQ(line.Convert(translator, 0), 1);
    PlxRect2D r = line.GetBounds();
    EXPECT_NEAR(r.left, -20, 1e-7);
    EXPECT_NEAR(r.right, 10, 1e-7);
    EXPECT_NEAR(r.bottom, 10, 1e-7);
    EXPECT_NEAR(r.top, 50, 1e-7);

    // Back again through a copy of a reversed translator.
    VmRefTranslator reverse;
    reverse.SetPrjCoordSysSrc(System(1));
    reverse.SetPrjCoordSysDes(System(3857));
    VmRefTranslator copy(reverse);
    double x[] = {10}, y[] = {10};
    ASSERT_TRUE(copy.Translate(x, y, 1));
    EXPECT_NEAR(x[0], 1113194.90793274, 1e-3);
    EXPECT_NEAR(y[0], 1118889.97485796, 1e-3);
}

TEST(VmRefTranslatorTest, UnknownSameAndOutOfDomain) {
    auto point = FromGml("<gml:Point><gml:coordinates>10,20</gml:coordinates></gml:Point>");

    VmRefTranslator unknown;
    EXPECT_EQ(point->Convert(unknown, 0), 0) << "no systems set";
    unknown.SetPrjCoordSysSrc(System(3857));
    unknown.SetPrjCoordSysDes(System(999999));
    EXPECT_FALSE(unknown.IsValid());
    EXPECT_EQ(point->Convert(unknown, 0), 0);
    EXPECT_EQ(point->ToWkt(), "POINT (10 20)");

    // Setting a system again rebuilds the conversion.
    unknown.SetPrjCoordSysDes(System(1));
    EXPECT_TRUE(unknown.IsValid());

    VmRefTranslator same;
    same.SetPrjCoordSysSrc(System(1));
    same.SetPrjCoordSysDes(System(4326));
    EXPECT_TRUE(same.IsIdentity());
    EXPECT_EQ(point->Convert(same, 0), 1);
    EXPECT_EQ(point->ToWkt(), "POINT (10 20)");

    // A latitude beyond the pole has no Mercator image: nothing changes.
    VmRefTranslator toMercator;
    toMercator.SetPrjCoordSysSrc(System(1));
    toMercator.SetPrjCoordSysDes(System(3857));
    VmGeometry line(VmGeometry::Line);
    ASSERT_TRUE(line.FromWkt("LINESTRING (10 20, 10 95)"));
    EXPECT_EQ(line.Convert(toMercator, 0), 0);
    EXPECT_EQ(line.ToWkt(), "LINESTRING (10 20,10 95)");
}

TEST(VmGeometryTest, GeoJSONReadsBackAsTheSameGeometry) {
    const char* const wkts[] = {
        "POINT (6.394268 40.250108)",
        "POINT Z (1 2 3)",
        "POINT (0.1 0.30000000000000004)",  // shortest digits that read back exactly
        "POINT (-1e-300 1e+300)",
        "LINESTRING (0 0,1 1,2 0.5)",
        "POLYGON ((0 0,10 0,10 10,0 10,0 0),(2 2,3 2,3 3,2 2))",
        "MULTIPOINT ((1 2),(3 4))",
        "MULTILINESTRING ((0 0,1 1),(2 2,3 3))",
        "MULTIPOLYGON (((0 0,1 0,1 1,0 0)),((5 5,6 5,6 6,5 5)))",
        "GEOMETRYCOLLECTION (POINT (1 2),LINESTRING (0 0,1 1))",
    };
    for (const char* wkt : wkts) {
        SCOPED_TRACE(wkt);
        VmGeometry geometry;
        ASSERT_TRUE(geometry.FromWkt(wkt));
        const std::string json = geometry.ToGeoJSON().str();
        OGRGeometryH back = OGR_G_CreateGeometryFromJson(json.c_str());
        ASSERT_NE(back, nullptr) << json;
        std::vector<unsigned char> wkb(static_cast<size_t>(OGR_G_WkbSize(back)));
        ASSERT_EQ(OGR_G_ExportToIsoWkb(back, wkbNDR, wkb.data()), OGRERR_NONE);
        VmGeometry expected;
        ASSERT_TRUE(expected.FromWkt(wkt));
        EXPECT_EQ(wkb, expected.ToWkb()) << json;
        OGR_G_DestroyGeometry(back);
    }
    VmGeometry point;
    ASSERT_TRUE(point.FromWkt("POINT (1.5 -2)"));
    EXPECT_EQ(point.ToGeoJSON(), "{\"type\":\"Point\",\"coordinates\":[1.5,-2]}");
}

namespace {

// What OGR's own GML reader makes of a text, in the host's 2D form; empty
// when it reads nothing.
std::vector<unsigned char> ReadByOgr(const char* gml) {
    OGRGeometryH geometry = OGR_G_CreateFromGML(gml);
    if (!geometry) return {};
    OGR_G_FlattenTo2D(geometry);
    std::vector<unsigned char> wkb(static_cast<size_t>(OGR_G_WkbSize(geometry)));
    OGR_G_ExportToIsoWkb(geometry, wkbNDR, wkb.data());
    OGR_G_DestroyGeometry(geometry);
    return wkb;
}

} // namespace

TEST(VmGeometryTest, GMLReadsAsOGRReadsIt) {
    const char* const texts[] = {
        "<gml:Point srsName=\"EPSG:4326\"><gml:coordinates>6.394268,40.250108</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>\n  1e3,-2E-2 \t</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,2,3</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>+1.5,2</gml:coordinates></gml:Point>",
        "<gml:Point><gml:pos>7 8</gml:pos></gml:Point>",
        "<gml:Point srsDimension=\"3\"><gml:pos>7 8 9</gml:pos></gml:Point>",
        "<gml:Point><gml:pos>7 8 9</gml:pos></gml:Point>",
        "<Point><coordinates>1,2</coordinates></Point>",
        "<gml:Point><gml:coordinates cs=\";\" ts=\" \">1;2</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,abc</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,2 3,4</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coord><gml:X>1</gml:X><gml:Y>2</gml:Y></gml:coord></gml:Point>",
        "<gml:Point/>",
        "<gml:LineString><gml:coordinates>0,0 1,1\n 2,0.5</gml:coordinates></gml:LineString>",
        "<gml:LineString><gml:posList>0 0 1 1 2 0.5</gml:posList></gml:LineString>",
        "<gml:LineString><gml:posList srsDimension=\"3\">0 0 9 1 1 9</gml:posList></gml:LineString>",
        "<gml:LineString><gml:pos>0 0</gml:pos><gml:pos>1 1</gml:pos></gml:LineString>",
        "<gml:LineString><gml:posList>0 0 1</gml:posList></gml:LineString>",
        "<gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>0,0 10,0 10,10 0,10 0,0"
        "</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs><gml:innerBoundaryIs><gml:LinearRing>"
        "<gml:coordinates>2,2 3,2 3,3 2,2</gml:coordinates></gml:LinearRing></gml:innerBoundaryIs></gml:Polygon>",
        "<gml:Polygon srsName=\"EPSG:3857\"><gml:exterior><gml:LinearRing><gml:posList>0 0 10 0 10 10 0 0"
        "</gml:posList></gml:LinearRing></gml:exterior><gml:interior><gml:LinearRing><gml:pos>2 2</gml:pos>"
        "<gml:pos>3 2</gml:pos><gml:pos>3 3</gml:pos><gml:pos>2 2</gml:pos></gml:LinearRing></gml:interior>"
        "</gml:Polygon>",
        "<gml:Polygon><gml:exterior><gml:Ring><gml:curveMember><gml:LineString><gml:posList>0 0 1 0 1 1 0 0"
        "</gml:posList></gml:LineString></gml:curveMember></gml:Ring></gml:exterior></gml:Polygon>",
        "<gml:MultiPoint><gml:pointMember><gml:Point><gml:coordinates>1,2</gml:coordinates></gml:Point>"
        "</gml:pointMember></gml:MultiPoint>",
        "<gml:Box><gml:coordinates>0,0 1,1</gml:coordinates></gml:Box>",
    };
    for (const char* text : texts) {
        SCOPED_TRACE(text);
        VmGeometry geometry;
        const bool read = geometry.FromGML(text, VmGeometry::GML212) != 0;
        const std::vector<unsigned char> expected = ReadByOgr(text);
        EXPECT_EQ(read, !expected.empty());
        if (read) {
            EXPECT_EQ(geometry.ToWkb(), expected) << geometry.ToWkt().c_str();
        }
    }
}
