// The basic types: what the engine's parsers and URL builders rely on.
#include "PlxTypes.h"

#include <gtest/gtest.h>

using namespace PLX;

TEST(PlxMBStringTest, SearchAndCompare) {
    PlxMBString s("urn:ogc:def:crs:EPSG::4326");
    EXPECT_EQ(s.Find("EPSG"), 16);
    EXPECT_EQ(s.Find("epsg"), -1) << "Find is case-sensitive";
    EXPECT_EQ(s.Find(":", 4), 7) << "search starts at the given position";
    EXPECT_EQ(s.Find(":", 100), -1);
    EXPECT_EQ(s.Find(':', -1), -1);
    EXPECT_EQ(s.ReverseFind(':'), 21);
    EXPECT_NE(PlxMBString("Layer").Compare("layer"), 0);
    EXPECT_EQ(PlxMBString("GetMap").CompareNoCase("GETMAP"), 0);
    EXPECT_LT(PlxMBString("abc").CompareNoCase("ABD"), 0);
    EXPECT_GT(PlxMBString("abcd").CompareNoCase("ABC"), 0);
}

TEST(PlxMBStringTest, SubstringsClampAndTrimTakesACharacterSet) {
    PlxMBString s("GetMap");
    EXPECT_EQ(s.Left(99), "GetMap");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Right(3), "Map");
    EXPECT_EQ(s.Mid(1, 2), "et");
    EXPECT_EQ(s.Mid(10, 2), "");
    EXPECT_EQ(s.Mid(-2, 3), "Get");

    PlxMBString blank(" \t EPSG:4326 \r\n");
    blank.TrimLeft();
    blank.TrimRight();
    EXPECT_EQ(blank, "EPSG:4326");
    // Any of the set's characters, not the set as a word.
    PlxMBString greedy("SPEG:EPSG:27700");
    greedy.TrimLeft("EPSG:");
    EXPECT_EQ(greedy, "27700");
    PlxMBString all("::::");
    all.TrimRight(":");
    EXPECT_EQ(all, "");
}

TEST(PlxMBStringTest, SplitDropsOrKeepsEmptyPiecesAndAppends) {
    PlxArray<PlxMBString> parts;
    EXPECT_EQ(PlxMBString("EPSG:4326  EPSG:3857 ").Split(" ", parts, 0), 2);
    PlxMBString("a,,b,").Split(",", parts, 1);
    std::string joined;
    for (int i = 0; i < parts.GetSize(); ++i) joined += "[" + parts[i].str() + "]";
    EXPECT_EQ(joined, "[EPSG:4326][EPSG:3857][a][][b][]");
    PlxArray<PlxMBString> none;
    EXPECT_EQ(PlxMBString("").Split(" ", none, 0), 0);
}

TEST(PlxMBStringTest, NumbersFormatAndReplace) {
    EXPECT_EQ(PlxMBString(" 3857 ").ToInt(10), 3857);
    EXPECT_EQ(PlxMBString("12abc").ToInt(10), 12);
    EXPECT_EQ(PlxMBString("ff").ToInt(16), 255);
    EXPECT_DOUBLE_EQ(PlxMBString("-12.5e1,3").ToDouble(), -125.0);

    PlxMBString s;
    s.Format("%sBBOX=%lf,%lf&WIDTH=%d&", "http://h/?", 1.5, -2.0, 800);
    EXPECT_EQ(s, "http://h/?BBOX=1.500000,-2.000000&WIDTH=800&");
    s.Format("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(s.GetLength(), 5000) << "no fixed buffer";

    PlxMBString v("1.3.0");
    EXPECT_EQ(v.Remove('.'), 2);
    EXPECT_EQ(v, "130");
    PlxMBString grow("aa");
    EXPECT_EQ(grow.Replace("a", "aa"), 2) << "replacement text is not searched again";
    EXPECT_EQ(grow, "aaaa");
}

TEST(PlxRect2DTest, NullEmptyValidAndUnion) {
    EXPECT_TRUE(PlxRect2D().IsNull());
    EXPECT_FALSE(PlxRect2D().IsValid());
    EXPECT_TRUE(PlxRect2D(3, 4, 3, 4).IsValid()) << "a point is a real extent";
    PlxRect2D inverted(10, 0, 0, 10);
    EXPECT_FALSE(inverted.IsValid());
    inverted.Normalize();
    EXPECT_EQ(inverted, PlxRect2D(0, 10, 10, 0));

    PlxRect2D u;
    u.Union(PlxRect2D());
    EXPECT_TRUE(u.IsNull()) << "two null rectangles unite to null";
    u.Union(PlxRect2D(10, 50, 20, 40));
    EXPECT_EQ(u, PlxRect2D(10, 50, 20, 40)) << "uniting into a default rectangle starts the union";
    u.Union(PlxRect2D(100, 0, 0, 100));
    EXPECT_EQ(u, PlxRect2D(10, 50, 20, 40)) << "inverted rectangles are ignored";
    u.Union(PlxRect2D(30, 35, 30, 35));
    EXPECT_EQ(u, PlxRect2D(10, 50, 30, 35)) << "a point widens the union";
}

TEST(PlxRect2DTest, IntersectAndWithins) {
    PlxRect2D r;
    EXPECT_TRUE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D(10, 20, 20, 10)));
    EXPECT_EQ(r, PlxRect2D(10, 10, 10, 10)) << "touching corners meet in a point";
    EXPECT_FALSE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D(11, 20, 20, 11)));
    EXPECT_TRUE(r.IsNull());
    EXPECT_FALSE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D()));
    PlxRect2D self(0, 10, 10, 0);
    EXPECT_TRUE(self.IntersectRect(self, PlxRect2D(2, 8, 4, 6))) << "the result may alias an operand";
    EXPECT_EQ(self, PlxRect2D(2, 8, 4, 6));
    EXPECT_TRUE(PlxRect2D(0, 10, 10, 0).Withins(PlxRect2D(0, 10, 10, 0)));
    EXPECT_FALSE(PlxRect2D(1, 11, 9, 1).Withins(PlxRect2D(0, 10, 10, 0)));
}
