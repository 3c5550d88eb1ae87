// WMS capabilities readers: the family rules and what differs per version.
#include "OGCCapabilities.h"
#include "TestSupport.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <vector>

using namespace VMK;

namespace {

template <class Doc>
std::unique_ptr<Doc> Read(const std::string& xml, unsigned char* result = nullptr) {
    auto doc = std::make_unique<Doc>();
    VmMarkup markup;
    EXPECT_TRUE(markup.SetDoc(xml.c_str())) << markup.GetError().str();
    unsigned char r = doc->Parse(markup);
    if (result) *result = r;
    return doc;
}

std::string Join(const PlxArray<PlxMBString>& list) {
    std::string out;
    for (const PlxMBString& s : list) out += (out.empty() ? "" : "|") + s.str();
    return out;
}

// Three levels deep, so that inheritance has to pass through a middle layer.
const char* kDoc111 = R"(<?xml version="1.0"?>
<WMT_MS_Capabilities version="1.1.1">
 <Service><Name>OGC:WMS</Name>
  <KeywordList><Keyword>roads</Keyword><Keyword>rivers and lakes</Keyword></KeywordList>
  <OnlineResource xlink:href="http://demo/about"/></Service>
 <Capability><Request>
  <GetMap><Format>image/png</Format><Format>image/jpeg</Format>
   <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/map?map=a&amp;SERVICE=WMS&amp;layers=x"/></Get>
    <Post><OnlineResource xlink:href="http://demo/post"/></Post></HTTP></DCPType></GetMap>
  <GetLegendGraphic><DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/legend"/></Get></HTTP></DCPType>
  </GetLegendGraphic>
  <GetFeatureInfo><DCPType><HTTP><Post><OnlineResource xlink:href="http://demo/post-only"/></Post></HTTP></DCPType>
  </GetFeatureInfo>
 </Request>
 <Layer><Title>Root</Title><SRS>EPSG:4326 EPSG:3857</SRS>
  <LatLonBoundingBox minx="-10" miny="40" maxx="10" maxy="60"/>
  <BoundingBox SRS="EPSG:3857" minx="1" miny="2" maxx="3" maxy="4"/>
  <Layer queryable="1" cascaded="2" opaque="1" noSubsets="1" fixedWidth="256" fixedHeight="128">
   <Name>roads</Name><SRS>EPSG:32632</SRS><BoundingBox minx="5" miny="6" maxx="7" maxy="8"/>
   <Style><Name>thin</Name></Style><Style><Name>thick</Name></Style>
   <Layer><Name>lanes</Name><SRS>EPSG:25832</SRS></Layer>
  </Layer>
  <Layer queryable="2"><Name>rivers</Name><LatLonBoundingBox minx="0" miny="45" maxx="5" maxy="50"/></Layer>
 </Layer></Capability></WMT_MS_Capabilities>)";

} // namespace

TEST(WMSCapabilitiesTest, Reads111ServiceEndpointsAndTree) {
    unsigned char ok = 0;
    auto doc = Read<WMSCapabilities111>(kDoc111, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Name, "OGC:WMS");
    EXPECT_EQ(Join(doc->Service.Keywords), "roads|rivers and lakes");
    EXPECT_EQ(doc->Service.OnlineResource, "http://demo/about");
    EXPECT_EQ(doc->Capability.GetMap.URL, "http://demo/map?map=a&") << "reserved keys are stripped";
    EXPECT_EQ(Join(doc->Capability.GetMap.Formats), "image/png|image/jpeg");
    // A request without a Get endpoint keeps the address of the one before it.
    EXPECT_EQ(doc->Capability.GetFeatureInfo.URL, "http://demo/legend?");

    WMSLayer* root = doc->RootLayer;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(Join(root->SRSList), "EPSG:4326 EPSG:3857") << "1.1.1 takes an SRS text whole";
    ASSERT_EQ(root->Children.GetSize(), 2);
    WMSLayer* roads = root->Children[0];
    EXPECT_EQ((std::vector<int>{roads->Queryable, roads->Cascaded, roads->Opaque, roads->NoSubsets, roads->FixedWidth,
                                roads->FixedHeight}),
              (std::vector<int>{1, 2, 1, 1, 256, 128}));
    EXPECT_EQ(Join(roads->SRSList), "EPSG:32632|EPSG:4326 EPSG:3857");
    ASSERT_EQ(roads->CRSBounds.GetSize(), 2);
    EXPECT_EQ(roads->CRSBounds[0].Name, "EPSG:32632") << "a box without SRS takes the layer's first CRS";
    EXPECT_EQ(roads->CRSBounds[0].Rect, PlxRect2D(5, 8, 7, 6));
    ASSERT_EQ(roads->StyleTable.GetCount(), 1);
    PlxMBString style;
    EXPECT_TRUE(roads->StyleTable.Lookup("ROADS", style));
    EXPECT_EQ(style, "thin") << "only the first style counts";

    ASSERT_EQ(roads->Children.GetSize(), 1);
    WMSLayer* lanes = roads->Children[0];
    EXPECT_EQ(Join(lanes->SRSList), "EPSG:25832|EPSG:32632|EPSG:4326 EPSG:3857") << "inherited through two levels";
    EXPECT_EQ(lanes->LatLonBox, PlxRect2D(-10, 60, 10, 40));
    EXPECT_EQ(lanes->CRSBounds.GetSize(), 2);
    EXPECT_EQ(lanes->Queryable, 0) << "flags are not inherited";

    WMSLayer* rivers = root->Children[1];
    EXPECT_EQ(rivers->Queryable, 0) << "queryable must read as 1";
    EXPECT_EQ(rivers->LatLonBox, PlxRect2D(0, 50, 5, 45));
    EXPECT_EQ(rivers->Parent, root);
}

TEST(WMSCapabilitiesTest, Version100Rules) {
    const char* xml = R"(<WMT_MS_Capabilities version="1.0.0">
 <Service><Name>Map</Name><Keywords>  roads   rivers	tab  </Keywords>
  <OnlineResource>http://demo/</OnlineResource></Service>
 <Capability><Request>
  <Map><Format><PNG/><JPEG/></Format>
   <DCPType><HTTP><Get onlineResource="http://demo/wms?map=b&amp;REQUEST=Map&amp;"/></HTTP></DCPType></Map>
  <Capabilities><DCPType><HTTP><Get onlineResource="http://demo/caps"/></HTTP></DCPType></Capabilities>
  <FeatureInfo><DCPType><HTTP><Get onlineResource="http://demo/info"/></HTTP></DCPType></FeatureInfo>
 </Request>
 <Layer queryable="1" opaque="1" cascaded="3"><Name>all</Name>
  <SRS> EPSG:4326  EPSG:26915 </SRS><SRS>EPSG:3857</SRS>
  <BoundingBox minx="1" miny="2" maxx="3" maxy="4"/>
 </Layer></Capability></WMT_MS_Capabilities>)";
    unsigned char ok = 0;
    auto doc = Read<WMSCapabilities100>(xml, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(Join(doc->Service.Keywords), "roads|rivers\ttab") << "only spaces separate";
    EXPECT_EQ(doc->Service.OnlineResource, "http://demo/");
    EXPECT_EQ(Join(doc->Capability.GetMap.Formats), "PNG|JPEG");
    EXPECT_EQ(doc->Capability.GetMap.URL, "http://demo/wms?map=b&");
    EXPECT_EQ(doc->Capability.GetCapabilities.URL, "http://demo/caps?");
    EXPECT_EQ(doc->Capability.GetFeatureInfo.URL, "http://demo/info?");
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(Join(doc->RootLayer->SRSList), "EPSG:4326|EPSG:26915") << "first SRS only, split at spaces";
    EXPECT_EQ(doc->RootLayer->Queryable, 1);
    EXPECT_EQ(doc->RootLayer->Opaque, 0) << "1.0.0 reads only queryable";
    EXPECT_EQ(doc->RootLayer->Cascaded, 0);
    EXPECT_EQ(doc->RootLayer->CRSBounds[0].Name, "EPSG:4326");
}

TEST(WMSCapabilitiesTest, Version110SplitsEverySRS) {
    auto doc = Read<WMSCapabilities110>(R"(<WMT_MS_Capabilities version="1.1.0"><Capability><Layer><Name>a</Name>
  <SRS>EPSG:4326 EPSG:3857</SRS><SRS>EPSG:32632</SRS></Layer></Capability></WMT_MS_Capabilities>)");
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(Join(doc->RootLayer->SRSList), "EPSG:4326|EPSG:3857|EPSG:32632");
}

TEST(WMSCapabilitiesTest, Version130PrefixedRootGeographicBoxAndCRS) {
    const char* xml = R"(<wms:WMS_Capabilities wms:version="1.3.0" xmlns:wms="http://www.opengis.net/wms">
 <wms:Capability><wms:Request><wms:GetMap><wms:Format>image/png</wms:Format>
  <wms:DCPType><wms:HTTP><wms:Get><wms:OnlineResource xlink:href="http://demo/ows?"/></wms:Get></wms:HTTP></wms:DCPType>
 </wms:GetMap></wms:Request>
 <wms:Layer><wms:CRS>EPSG:4326</wms:CRS><wms:CRS>CRS:84</wms:CRS>
  <wms:EX_GeographicBoundingBox><wms:westBoundLongitude>-5</wms:westBoundLongitude>
   <wms:southBoundLatitude>40</wms:southBoundLatitude><wms:eastBoundLongitude>15</wms:eastBoundLongitude>
   <wms:northBoundLatitude>55</wms:northBoundLatitude></wms:EX_GeographicBoundingBox>
  <wms:BoundingBox wms:CRS="EPSG:4326" wms:minx="10" wms:miny="20" wms:maxx="30" wms:maxy="40"/>
  <wms:Layer><wms:Name>x</wms:Name></wms:Layer>
 </wms:Layer></wms:Capability></wms:WMS_Capabilities>)";
    unsigned char ok = 0;
    auto doc = Read<WMSCapabilities130>(xml, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Capability.GetMap.URL, "http://demo/ows?");
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(doc->RootLayer->LatLonBox, PlxRect2D(-5, 55, 15, 40));
    ASSERT_EQ(doc->RootLayer->CRSBounds.GetSize(), 1);
    EXPECT_EQ(doc->RootLayer->CRSBounds[0].Rect, PlxRect2D(10, 40, 30, 20)) << "no axis swapping";
    WMSLayer* x = doc->RootLayer->Children[0];
    EXPECT_EQ(Join(x->SRSList), "EPSG:4326|CRS:84");
    EXPECT_EQ(x->LatLonBox, doc->RootLayer->LatLonBox);
}

TEST(WMSCapabilitiesTest, ForwardOnlyOrderAndSeveralRoots) {
    // Title before Name: Name is found, the later search for Title starts after it.
    auto doc = Read<WMSCapabilities111>(R"(<WMT_MS_Capabilities version="1.1.1"><Capability>
  <Layer><Name>first</Name></Layer>
  <Layer><Title>late</Title><Name>second</Name><Title>seen</Title></Layer>
 </Capability></WMT_MS_Capabilities>)");
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(doc->RootLayer->Name, "second") << "the last top-level layer is the root";
    EXPECT_EQ(doc->RootLayer->Title, "seen");
}

// LoadFile is shared by all services; the reader choice for every service and
// version the corpus holds is in test_corpus_capabilities.cpp.
TEST(WMSCapabilitiesTest, LoadFile) {
    TempFolder folder;
    PlxMBString path = folder.Path("caps.xml");
    std::ofstream(path.c_str()) << kDoc111;
    std::unique_ptr<OGCCapabilities> doc(OGCCapabilities::CreateReader("WMS", "1.1.1"));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->LoadFile(path), 1);
    EXPECT_NE(static_cast<WMSCapabilities*>(doc.get())->RootLayer, nullptr);
    EXPECT_EQ(doc->LoadFile(folder.Path("missing.xml")), 0);
    std::ofstream(folder.Path("broken.xml").c_str()) << "<WMT_MS_Capabilities version=\"1.1.1\"><Capability>";
    EXPECT_EQ(doc->LoadFile(folder.Path("broken.xml")), 0);
    EXPECT_EQ(OGCCapabilities::CreateReader("wmts", "1.0.0"), nullptr) << "tiles have a reader of their own";
}

// Every reader opens the root the same way: an exception report, a version other than the reader's, a missing
// version and a prefixed root whose version attribute lacks the prefix are refused before anything is read.
TEST(OGCCapabilitiesTest, RefusedDocumentsStayEmpty) {
    const struct {
        const char* service;
        const char* version;  // of the reader
        const char* root;
        const char* attributes;
        int result;
    } rows[] = {
        {"WMS", "1.1.1", "WMT_MS_Capabilities", "version=\"1.1.1\"", 1},
        {"WMS", "1.1.1", "x:Caps", "version=\"1.1.1\"", 1},  // any root name, read without prefix
        {"WMS", "1.1.1", "ServiceExceptionReport", "version=\"1.1.1\"", 0},
        {"WMS", "1.3.0", "WMT_MS_Capabilities", "version=\"1.1.1\"", 0},
        {"WMS", "1.1.1", "WMT_MS_Capabilities", "", 0},
        {"WMS", "1.3.0", "wms:WMS_Capabilities", "version=\"1.3.0\"", 0},
        {"WFS", "1.0.0", "WFS_Capabilities", "version=\"1.0.0\"", 1},
        {"WFS", "1.0.0", "ServiceExceptionReport", "version=\"1.0.0\"", 0},
        {"WFS", "1.0.0", "WFS_Capabilities", "version=\"1.1.0\"", 0},
        {"WFS", "1.0.0", "wfs:WFS_Capabilities", "version=\"1.0.0\"", 0},
        {"WCS", "1.0.0", "WCS_Capabilities", "version=\"1.0.0\"", 1},
        {"WCS", "1.0.0", "ServiceExceptionReport", "version=\"1.0.0\"", 0},
        {"WCS", "1.0.0", "WCS_Capabilities", "version=\"1.1.1\"", 0},
        {"WCS", "1.0.0", "wcs:WCS_Capabilities", "version=\"1.0.0\"", 0},
    };
    for (const auto& row : rows) {
        // The WCS service element spells its name in lower case.
        std::string name = std::string(row.service) == "WCS" ? "name" : "Name";
        std::string service = "<Service><" + name + ">n</" + name + "></Service>";
        std::string xml = std::string("<") + row.root + " " + row.attributes + ">" + service + "</" + row.root + ">";
        SCOPED_TRACE(std::string(row.service) + " " + row.version + ": " + xml);
        std::unique_ptr<OGCCapabilities> doc(OGCCapabilities::CreateReader(row.service, row.version));
        ASSERT_NE(doc, nullptr);
        VmMarkup markup;
        ASSERT_TRUE(markup.SetDoc(xml.c_str()));
        EXPECT_EQ(doc->Parse(markup), row.result);
        EXPECT_EQ(doc->Service.Name, row.result ? "n" : "") << "a refused document is not read at all";
    }
}
