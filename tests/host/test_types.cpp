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

    EXPECT_EQ(PlxMBString("Layer").Compare("Layer"), 0);
    EXPECT_NE(PlxMBString("Layer").Compare("layer"), 0);
    EXPECT_EQ(PlxMBString("GetMap").CompareNoCase("GETMAP"), 0);
    EXPECT_LT(PlxMBString("abc").CompareNoCase("ABD"), 0);
    EXPECT_GT(PlxMBString("abcd").CompareNoCase("ABC"), 0);
}

TEST(PlxMBStringTest, SubstringsClampInsteadOfFailing) {
    PlxMBString s("GetMap");
    EXPECT_EQ(s.Left(3), "Get");
    EXPECT_EQ(s.Left(99), "GetMap");
    EXPECT_EQ(s.Left(-1), "");
    EXPECT_EQ(s.Right(3), "Map");
    EXPECT_EQ(s.Right(99), "GetMap");
    EXPECT_EQ(s.Mid(3), "Map");
    EXPECT_EQ(s.Mid(1, 2), "et");
    EXPECT_EQ(s.Mid(10, 2), "");
    EXPECT_EQ(s.Mid(-2, 3), "Get");
}

TEST(PlxMBStringTest, TrimWithAndWithoutSet) {
    PlxMBString s(" \t EPSG:4326 \r\n");
    s.TrimLeft();
    EXPECT_EQ(s, "EPSG:4326 \r\n");
    s.TrimRight();
    EXPECT_EQ(s, "EPSG:4326");

    // A set trims any of its characters, not the set as a word.
    PlxMBString code("EPSG:3857");
    code.TrimLeft("EPSG:");
    EXPECT_EQ(code, "3857");
    PlxMBString greedy("SPEG:EPSG:27700");
    greedy.TrimLeft("EPSG:");
    EXPECT_EQ(greedy, "27700");
    PlxMBString all("::::");
    all.TrimRight(":");
    EXPECT_EQ(all, "");
}

TEST(PlxMBStringTest, SplitDropsOrKeepsEmptyPieces) {
    PlxArray<PlxMBString> parts;
    EXPECT_EQ(PlxMBString("EPSG:4326  EPSG:3857 ").Split(" ", parts, 0), 2);
    ASSERT_EQ(parts.GetSize(), 2);
    EXPECT_EQ(parts[0], "EPSG:4326");
    EXPECT_EQ(parts[1], "EPSG:3857");

    // Split appends to what the array already holds.
    PlxMBString("a,,b,").Split(",", parts, 1);
    ASSERT_EQ(parts.GetSize(), 6);
    EXPECT_EQ(parts[2], "a");
    EXPECT_EQ(parts[3], "");
    EXPECT_EQ(parts[4], "b");
    EXPECT_EQ(parts[5], "");

    PlxArray<PlxMBString> none;
    EXPECT_EQ(PlxMBString("").Split(" ", none, 0), 0);
    EXPECT_EQ(PlxMBString("one").Split("::", none, 0), 1);
    EXPECT_EQ(none[0], "one");
}

TEST(PlxMBStringTest, NumbersReadLikeTheCLibrary) {
    EXPECT_EQ(PlxMBString(" 3857 ").ToInt(10), 3857);
    EXPECT_EQ(PlxMBString("12abc").ToInt(10), 12);
    EXPECT_EQ(PlxMBString("abc").ToInt(10), 0);
    EXPECT_EQ(PlxMBString("ff").ToInt(16), 255);
    EXPECT_DOUBLE_EQ(PlxMBString("-12.5e1,3").ToDouble(), -125.0);
    EXPECT_DOUBLE_EQ(PlxMBString("").ToDouble(), 0.0);
}

TEST(PlxMBStringTest, FormatCaseReplaceRemove) {
    PlxMBString s;
    s.Format("%sBBOX=%lf,%lf&WIDTH=%d&", "http://h/?", 1.5, -2.0, 800);
    EXPECT_EQ(s, "http://h/?BBOX=1.500000,-2.000000&WIDTH=800&");
    PlxMBString big;
    big.Format("%s", std::string(5000, 'x').c_str());
    EXPECT_EQ(big.GetLength(), 5000);

    PlxMBString name("demo:Cities");
    EXPECT_EQ(PlxMBString(name).MakeUpper(), "DEMO:CITIES");
    EXPECT_EQ(PlxMBString(name).MakeLower(), "demo:cities");

    PlxMBString v("1.3.0");
    EXPECT_EQ(v.Remove('.'), 2);
    EXPECT_EQ(v, "130");
    PlxMBString r("a&&b&&c");
    EXPECT_EQ(r.Replace("&&", "&"), 2);
    EXPECT_EQ(r, "a&b&c");
    PlxMBString grow("aa");
    EXPECT_EQ(grow.Replace("a", "aa"), 2) << "replacement text is not searched again";
    EXPECT_EQ(grow, "aaaa");
}

TEST(PlxArrayTest, GrowRemoveCopy) {
    PlxArray<int> a;
    EXPECT_EQ(a.Add(5), 0);
    EXPECT_EQ(a.Add(6), 1);
    a.InsertAt(0, 4);
    PlxArray<int> b;
    b.Add(7);
    EXPECT_EQ(a.Append(b), 3);
    ASSERT_EQ(a.GetSize(), 4);
    EXPECT_EQ(a[0], 4);
    EXPECT_EQ(a[3], 7);
    a.RemoveAt(1, 2);
    ASSERT_EQ(a.GetSize(), 2);
    EXPECT_EQ(a[1], 7);
    PlxArray<int> c;
    c.Copy(a);
    c.SetAt(0, 9);
    EXPECT_EQ(a[0], 4) << "Copy is independent";
    c.SetSize(5);
    EXPECT_EQ(c.GetSize(), 5);
    EXPECT_EQ(c[4], 0);
    c.RemoveAll();
    c.FreeExtra();
    EXPECT_TRUE(c.IsEmpty());
}

TEST(PlxDictTest, IteratesInByteOrderAndReplaces) {
    PlxDict<PlxMBString, PlxMBString> d;
    d.SetAt("map", "/srv/demo.map");
    d.SetAt("VERSION", "1.0.0");
    d.SetAt("REQUEST", "GetCapabilities");
    d.SetAt("SERVICE", "WMS");
    d.SetAt("VERSION", "1.3.0");
    std::string order;
    for (const auto& kv : d) order += kv.first.str() + ";";
    EXPECT_EQ(order, "REQUEST;SERVICE;VERSION;map;");
    PlxMBString v;
    ASSERT_TRUE(d.Lookup("VERSION", v));
    EXPECT_EQ(v, "1.3.0");
    EXPECT_FALSE(d.Lookup("version", v)) << "keys are case-sensitive";
    EXPECT_TRUE(d.RemoveKey("map"));
    EXPECT_FALSE(d.RemoveKey("map"));
    EXPECT_EQ(d.GetCount(), 3);
}

TEST(PlxRect2DTest, NullEmptyAndValid) {
    PlxRect2D null;
    EXPECT_TRUE(null.IsNull());
    EXPECT_TRUE(null.IsEmpty());
    EXPECT_FALSE(null.IsValid());

    PlxRect2D point(3, 4, 3, 4);
    EXPECT_TRUE(point.IsEmpty());
    EXPECT_TRUE(point.IsValid()) << "a point is a real extent";

    PlxRect2D inverted(10, 0, 0, 10);
    EXPECT_TRUE(inverted.IsEmpty());
    EXPECT_FALSE(inverted.IsValid());
    inverted.Normalize();
    EXPECT_EQ(inverted, PlxRect2D(0, 10, 10, 0));
    EXPECT_DOUBLE_EQ(inverted.Width(), 10);
    EXPECT_DOUBLE_EQ(inverted.Height(), 10);
}

TEST(PlxRect2DTest, UnionIgnoresInvalidOperands) {
    PlxRect2D u;
    u.Union(PlxRect2D());
    EXPECT_TRUE(u.IsNull()) << "two null rectangles unite to null";
    u.Union(PlxRect2D(10, 50, 20, 40));
    EXPECT_EQ(u, PlxRect2D(10, 50, 20, 40)) << "uniting into a default rectangle starts the union";
    u.Union(PlxRect2D(-5, 45, 0, 30));
    EXPECT_EQ(u, PlxRect2D(-5, 50, 20, 30));
    u.Union(PlxRect2D(100, 0, 0, 100));
    EXPECT_EQ(u, PlxRect2D(-5, 50, 20, 30)) << "inverted rectangles are ignored";
    u.Union(PlxRect2D(30, 35, 30, 35));
    EXPECT_EQ(u, PlxRect2D(-5, 50, 30, 30)) << "a point widens the union";
}

TEST(PlxRect2DTest, IntersectAndWithins) {
    PlxRect2D r;
    EXPECT_TRUE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D(5, 20, 20, 5)));
    EXPECT_EQ(r, PlxRect2D(5, 10, 10, 5));
    EXPECT_TRUE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D(10, 20, 20, 10)));
    EXPECT_EQ(r, PlxRect2D(10, 10, 10, 10)) << "touching corners meet in a point";
    EXPECT_FALSE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D(11, 20, 20, 11)));
    EXPECT_TRUE(r.IsNull());
    EXPECT_FALSE(r.IntersectRect(PlxRect2D(0, 10, 10, 0), PlxRect2D()));
    PlxRect2D self(0, 10, 10, 0);
    EXPECT_TRUE(self.IntersectRect(self, PlxRect2D(2, 8, 4, 6))) << "the result may alias an operand";
    EXPECT_EQ(self, PlxRect2D(2, 8, 4, 6));

    PlxRect2D outer(0, 10, 10, 0);
    EXPECT_TRUE(PlxRect2D(0, 10, 10, 0).Withins(outer));
    EXPECT_TRUE(PlxRect2D(1, 9, 9, 1).Withins(outer));
    EXPECT_FALSE(PlxRect2D(1, 11, 9, 1).Withins(outer));
}
