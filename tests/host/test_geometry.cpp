// Feature geometries: GML input, axis order, types, bounds, WKB/WKT/GeoJSON,
// and conversion between coordinate systems.
#include "VmGeometry.h"
#include "VmProjection.h"

#include <gtest/gtest.h>

#include <ogr_api.h>

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

VmRefTranslator Translator(int from, int to) {
    VmRefTranslator translator;
    translator.SetPrjCoordSysSrc(System(from));
    translator.SetPrjCoordSysDes(System(to));
    return translator;
}

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

TEST(VmGeometryFactoryTest, KnowsTheHostTypesOnly) {
    for (int type : {1, 2, 3, 5, 7, 35}) {
        std::unique_ptr<VmGeometry> g(VmGeometryFactory::CreateGeometry(type));
        ASSERT_TRUE(g != nullptr) << type;
        EXPECT_EQ(g->GetType(), type) << "an empty geometry reports the type it was made as";
        EXPECT_TRUE(g->IsEmpty());
        EXPECT_TRUE(g->GetBounds().IsNull());
    }
    for (int type : {0, 4, 6, 8, 36, -1})
        EXPECT_EQ(VmGeometryFactory::CreateGeometry(type), nullptr) << type;
}

// The type of what was read, the axis order and the dimensions: the rules
// OGR's reader does not decide for us (it reads a Box as 3D, for one).
TEST(VmGeometryTest, GmlTypesAxisOrderAndDimensions) {
    const auto v2 = VmGeometry::GML212, v3 = VmGeometry::GML311;
    struct Case {
        const char* gml;
        VmGeometry::GMLVersionType version;
        int madeAs;
        const char* wkt;
        int type;
    };
    const Case cases[] = {
        // Separators and decimal mark as the element declares them.
        {"<gml:Point><gml:coordinates decimal=\",\" cs=\";\" ts=\" \">10,5;45,2</gml:coordinates></gml:Point>", v2,
         VmGeometry::Point, "POINT (10.5 45.2)", VmGeometry::Point},
        {"<gml:Point><gml:pos srsDimension=\"3\">1 2 3</gml:pos></gml:Point>", v3, VmGeometry::Point, "POINT (1 2)",
         VmGeometry::Point},
        // Longitude first: GML 2 as written whatever the name promises; GML 3
        // swapped only for a URN or URI of a latitude-first system.
        {"<gml:Point srsName=\"urn:ogc:def:crs:EPSG::4326\"><gml:coordinates>10,45</gml:coordinates></gml:Point>", v2,
         VmGeometry::Point, "POINT (10 45)", VmGeometry::Point},
        {"<gml:Point srsName=\"urn:ogc:def:crs:EPSG::4326\"><gml:pos>45 10</gml:pos></gml:Point>", v3,
         VmGeometry::Point, "POINT (10 45)", VmGeometry::Point},
        {"<gml:LineString srsName='http://www.opengis.net/def/crs/EPSG/0/4326'><gml:posList>45 10 46 11</gml:posList>"
         "</gml:LineString>", v3, VmGeometry::Line, "LINESTRING (10 45,11 46)", VmGeometry::Line},
        {"<gml:Point srsName=\"EPSG:4326\"><gml:pos>10 45</gml:pos></gml:Point>", v3, VmGeometry::Point,
         "POINT (10 45)", VmGeometry::Point},
        {"<gml:Point srsName=\"urn:ogc:def:crs:EPSG::3857\"><gml:pos>1000 2000</gml:pos></gml:Point>", v3,
         VmGeometry::Point, "POINT (1000 2000)", VmGeometry::Point},
        // Text and route keep their numbers; otherwise what is held decides.
        {"<gml:Point><gml:coordinates>1,2</gml:coordinates></gml:Point>", v2, VmGeometry::Text, "POINT (1 2)",
         VmGeometry::Text},
        {"<gml:LineString><gml:coordinates>0,0 1,1</gml:coordinates></gml:LineString>", v2, VmGeometry::Route,
         "LINESTRING (0 0,1 1)", VmGeometry::Route},
        {"<gml:Box><gml:coordinates>0,0 1,1</gml:coordinates></gml:Box>", v2, VmGeometry::Point,
         "POLYGON ((0 0,1 0,1 1,0 1,0 0))", VmGeometry::Region},
        {"<gml:MultiPoint><gml:pointMember><gml:Point><gml:coordinates>1,2</gml:coordinates></gml:Point>"
         "</gml:pointMember></gml:MultiPoint>", v2, VmGeometry::Point, nullptr, VmGeometry::MultiPoint},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.gml);
        auto g = FromGml(c.gml, c.version, c.madeAs);
        if (c.wkt) {
            EXPECT_EQ(g->ToWkt(), c.wkt);
        }
        EXPECT_EQ(g->GetType(), c.type);
    }

    // Arcs become straight segments.
    auto arc = FromGml("<gml:Curve><gml:segments><gml:Arc><gml:posList>0 0 1 1 2 0</gml:posList></gml:Arc>"
                       "</gml:segments></gml:Curve>", v3, VmGeometry::Line);
    EXPECT_EQ(arc->ToWkt().Left(11), "LINESTRING ");
    EXPECT_NEAR(arc->GetBounds().top, 1.0, 1e-2);

    // Bounds reach over every part.
    const std::string member = "<gml:lineStringMember><gml:LineString><gml:coordinates>";
    const std::string end = "</gml:coordinates></gml:LineString></gml:lineStringMember>";
    const std::string lines = "<gml:MultiLineString>" + member + "0,0 3,4 -2,7" + end + member + "30,-5 1,1" + end +
                              "</gml:MultiLineString>";
    EXPECT_EQ(FromGml(lines.c_str(), v2, VmGeometry::Line)->GetBounds(), PlxRect2D(-2, 7, 30, -5));
}

TEST(VmGeometryTest, MalformedGmlEmptiesTheGeometry) {
    for (const char* gml : {"<gml:Point><gml:coordinates>abc</gml:coordinates></gml:Point>",
                            "<gml:Point><gml:coordinates>1,2", "<gml:Point></gml:Point>",
                            "<gml:Unknown><gml:coordinates>1,2</gml:coordinates></gml:Unknown>", "not xml at all", ""}) {
        SCOPED_TRACE(gml);
        auto g = FromGml("<gml:Box><gml:coordinates>0,0 1,1</gml:coordinates></gml:Box>");
        EXPECT_EQ(g->FromGML(gml, VmGeometry::GML212), 0);
        EXPECT_TRUE(g->IsEmpty());
        EXPECT_EQ(g->ToWkt(), "");
        EXPECT_TRUE(g->GetBounds().IsNull());
        EXPECT_EQ(g->GetType(), VmGeometry::Point) << "back to the type it was made as";
    }
}

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
        // Spellings the plain-text point reader takes or leaves to the tree.
        "<gml:Point gml:id='p.1' srsName='a>b'>\n <gml:pos> 7 8 </gml:pos>\n</gml:Point>",
        "<gml:Point><gml:coordinates>&#49;,2</gml:coordinates></gml:Point>",
        "<gml:Point><!-- c --><gml:coordinates>1,2</gml:coordinates></gml:Point>",
        "<gml:Point><gml:pos srsDimension=\"2\">7 8</gml:pos></gml:Point>",
        "<gml:Point><gml:coordinates>1,2</gml:coordinate></gml:Point>",
        "<gml:Point><gml:coordinates>1,2</gml:coordinates></gml:Point >",
        // Tuples the fast reader must refuse, so that OGR decides.
        "<gml:Point><gml:coordinates>1,,2</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,2,</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>,1,2</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates>1,2,3,4</gml:coordinates></gml:Point>",
        "<gml:Point><gml:coordinates> \n\t </gml:coordinates></gml:Point>",
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
        "<gml:MultiPolygon><gml:polygonMember><gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>"
        "0,0 1,0 1,1 0,0</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon></gml:polygonMember>"
        "<gml:polygonMember><gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>20,-5 30,-5 30,5 "
        "20,-5</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon></gml:polygonMember>"
        "</gml:MultiPolygon>",
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

TEST(VmGeometryTest, WkbWktAndCloneRoundTrip) {
    auto polygon = FromGml("<gml:Polygon><gml:outerBoundaryIs><gml:LinearRing><gml:coordinates>0,0 2.5,0 2.5,1 0,0"
                           "</gml:coordinates></gml:LinearRing></gml:outerBoundaryIs></gml:Polygon>",
                           VmGeometry::GML212, VmGeometry::Region);
    std::vector<unsigned char> wkb = polygon->ToWkb();
    ASSERT_FALSE(wkb.empty());
    EXPECT_EQ(wkb[0], 1) << "little-endian";

    VmGeometry copy(VmGeometry::Region);
    ASSERT_TRUE(copy.FromWkb(wkb.data(), wkb.size()));
    EXPECT_EQ(copy.ToWkt(), polygon->ToWkt());
    EXPECT_FALSE(copy.FromWkb(wkb.data(), 12));
    EXPECT_TRUE(copy.IsEmpty());
    EXPECT_FALSE(copy.FromWkb(nullptr, 0));
    EXPECT_TRUE(copy.FromWkt("LINESTRING (1 1, 2 3)"));
    EXPECT_EQ(copy.GetType(), VmGeometry::Line);
    EXPECT_FALSE(copy.FromWkt("LINESTRING (1"));
    EXPECT_TRUE(copy.IsEmpty());

    std::unique_ptr<VmGeometry> clone(polygon->Clone());
    polygon->FromGML("<gml:Point><gml:coordinates>9,9</gml:coordinates></gml:Point>", VmGeometry::GML212);
    EXPECT_EQ(clone->ToWkb(), wkb) << "a clone shares nothing";
    EXPECT_EQ(clone->GetType(), VmGeometry::Region);
}

TEST(VmGeometryTest, GeoJSONReadsBackAsTheSameGeometry) {
    for (const char* wkt : {"POINT (6.394268 40.250108)", "POINT Z (1 2 3)",
                            "POINT (0.1 0.30000000000000004)",  // shortest digits that read back exactly
                            "POINT (-1e-300 1e+300)", "POLYGON ((0 0,10 0,10 10,0 10,0 0),(2 2,3 2,3 3,2 2))",
                            "MULTILINESTRING ((0 0,1 1),(2 2,3 3))",
                            "MULTIPOLYGON (((0 0,1 0,1 1,0 0)),((5 5,6 5,6 6,5 5)))",
                            "GEOMETRYCOLLECTION (POINT (1 2),LINESTRING (0 0,1 1))"}) {
        SCOPED_TRACE(wkt);
        VmGeometry geometry;
        ASSERT_TRUE(geometry.FromWkt(wkt));
        const std::string json = geometry.ToGeoJSON().str();
        OGRGeometryH back = OGR_G_CreateGeometryFromJson(json.c_str());
        ASSERT_NE(back, nullptr) << json;
        std::vector<unsigned char> wkb(static_cast<size_t>(OGR_G_WkbSize(back)));
        ASSERT_EQ(OGR_G_ExportToIsoWkb(back, wkbNDR, wkb.data()), OGRERR_NONE);
        OGR_G_DestroyGeometry(back);
        EXPECT_EQ(wkb, geometry.ToWkb()) << json;
    }
}

TEST(VmRefTranslatorTest, ConvertsMercatorAndLonLatBothWays) {
    VmRefTranslator toLonLat = Translator(3857, 1);
    ASSERT_TRUE(toLonLat.IsValid());
    EXPECT_FALSE(toLonLat.IsIdentity());
    // (10 E, 10 N) and (-20 E, 50 N) in Web Mercator.
    VmGeometry line(VmGeometry::Line);
    ASSERT_TRUE(line.FromWkt("LINESTRING (1113194.90793274 1118889.97485796, -2226389.81586547 6446275.84101716)"));
    ASSERT_EQ(line.Convert(toLonLat, 0), 1);
    const PlxRect2D r = line.GetBounds();
    EXPECT_NEAR(r.left, -20, 1e-7);
    EXPECT_NEAR(r.right, 10, 1e-7);
    EXPECT_NEAR(r.bottom, 10, 1e-7);
    EXPECT_NEAR(r.top, 50, 1e-7);

    VmRefTranslator copy(Translator(1, 3857));  // a copy must rebuild its own conversion
    double x[] = {10}, y[] = {10};
    ASSERT_TRUE(copy.Translate(x, y, 1));
    EXPECT_NEAR(x[0], 1113194.90793274, 1e-3);
    EXPECT_NEAR(y[0], 1118889.97485796, 1e-3);

    // A latitude beyond the pole has no Mercator image: nothing changes.
    ASSERT_TRUE(line.FromWkt("LINESTRING (10 20, 10 95)"));
    EXPECT_EQ(line.Convert(copy, 0), 0);
    EXPECT_EQ(line.ToWkt(), "LINESTRING (10 20,10 95)");
}

TEST(VmRefTranslatorTest, UnknownSystemsConvertNothingAndSameSystemsChangeNothing) {
    auto point = FromGml("<gml:Point><gml:coordinates>10,20</gml:coordinates></gml:Point>");
    VmRefTranslator unknown;
    EXPECT_EQ(point->Convert(unknown, 0), 0) << "no systems set";
    unknown.SetPrjCoordSysSrc(System(3857));
    unknown.SetPrjCoordSysDes(System(999999));
    EXPECT_FALSE(unknown.IsValid());
    EXPECT_EQ(point->Convert(unknown, 0), 0);
    EXPECT_EQ(point->ToWkt(), "POINT (10 20)");
    unknown.SetPrjCoordSysDes(System(1));
    EXPECT_TRUE(unknown.IsValid()) << "setting a system again rebuilds the conversion";

    VmRefTranslator same = Translator(1, 4326);
    EXPECT_TRUE(same.IsIdentity());
    EXPECT_EQ(point->Convert(same, 0), 1);
    EXPECT_EQ(point->ToWkt(), "POINT (10 20)");
}
