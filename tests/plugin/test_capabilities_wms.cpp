// WMS capabilities readers: the family rules and what differs per version.
#include "OGCCapabilities.h"
#include "TestSupport.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

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

const char* kDoc111 = R"(<?xml version="1.0"?>
<WMT_MS_Capabilities version="1.1.1">
 <Service>
  <Name>OGC:WMS</Name><Title>Demo</Title><Abstract>About</Abstract>
  <KeywordList><Keyword>roads</Keyword><Keyword>rivers and lakes</Keyword></KeywordList>
  <OnlineResource xlink:href="http://demo/about"/>
  <Fees>none</Fees><AccessConstraints>open</AccessConstraints>
 </Service>
 <Capability>
  <Request>
   <GetCapabilities><Format>application/vnd.ogc.wms_xml</Format>
    <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/wms?map=a&amp;SERVICE=WMS&amp;"/></Get></HTTP></DCPType>
   </GetCapabilities>
   <GetMap><Format>image/png</Format><Format>image/jpeg</Format>
    <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/map?map=a&amp;SERVICE=WMS&amp;layers=x"/></Get>
     <Post><OnlineResource xlink:href="http://demo/post"/></Post></HTTP></DCPType>
   </GetMap>
   <GetLegendGraphic><Format>image/gif</Format>
    <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/legend"/></Get></HTTP></DCPType>
   </GetLegendGraphic>
   <GetFeatureInfo><Format>text/plain</Format>
    <DCPType><HTTP><Post><OnlineResource xlink:href="http://demo/post-only"/></Post></HTTP></DCPType>
   </GetFeatureInfo>
  </Request>
  <Layer>
   <Title>Root</Title>
   <SRS>EPSG:4326 EPSG:3857</SRS>
   <LatLonBoundingBox minx="-10" miny="40" maxx="10" maxy="60"/>
   <BoundingBox SRS="EPSG:3857" minx="1" miny="2" maxx="3" maxy="4"/>
   <Layer queryable="1" cascaded="2" opaque="1" noSubsets="1" fixedWidth="256" fixedHeight="128">
    <Name>roads</Name><Title>Roads</Title>
    <SRS>EPSG:32632</SRS>
    <BoundingBox minx="5" miny="6" maxx="7" maxy="8"/>
    <Style><Name>thin</Name></Style><Style><Name>thick</Name></Style>
   </Layer>
   <Layer queryable="2"><Name>rivers</Name>
    <LatLonBoundingBox minx="0" miny="45" maxx="5" maxy="50"/>
   </Layer>
  </Layer>
 </Capability>
</WMT_MS_Capabilities>)";

} // namespace

TEST(WMSCapabilitiesTest, Reads111ServiceEndpointsAndTree) {
    unsigned char ok = 0;
    auto doc = Read<WMSCapabilities111>(kDoc111, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Name, "OGC:WMS");
    EXPECT_EQ(doc->Service.AccessConstraints, "open");
    EXPECT_EQ(Join(doc->Service.Keywords), "roads|rivers and lakes");
    EXPECT_EQ(doc->Service.OnlineResource, "http://demo/about");

    EXPECT_EQ(doc->Capability.GetMap.URL, "http://demo/map?map=a&") << "reserved keys are stripped";
    EXPECT_EQ(Join(doc->Capability.GetMap.Formats), "image/png|image/jpeg");
    EXPECT_EQ(doc->Capability.GetCapabilities.URL, "http://demo/wms?map=a&");
    // A request without a Get endpoint keeps the address of the one before it.
    EXPECT_EQ(doc->Capability.GetFeatureInfo.URL, "http://demo/legend?");
    EXPECT_EQ(Join(doc->Capability.GetFeatureInfo.Formats), "text/plain");

    WMSLayer* root = doc->RootLayer;
    ASSERT_NE(root, nullptr);
    EXPECT_EQ(Join(root->SRSList), "EPSG:4326 EPSG:3857") << "1.1.1 takes an SRS text whole";
    ASSERT_EQ(root->Children.GetSize(), 2);
    WMSLayer* roads = root->Children[0];
    EXPECT_EQ(roads->Queryable, 1);
    EXPECT_EQ(roads->Cascaded, 2);
    EXPECT_EQ(roads->Opaque, 1);
    EXPECT_EQ(roads->NoSubsets, 1);
    EXPECT_EQ(roads->FixedWidth, 256);
    EXPECT_EQ(roads->FixedHeight, 128);
    EXPECT_EQ(Join(roads->SRSList), "EPSG:32632|EPSG:4326 EPSG:3857");
    EXPECT_EQ(roads->LatLonBox, PlxRect2D(-10, 60, 10, 40)) << "inherited";
    ASSERT_EQ(roads->CRSBounds.GetSize(), 2);
    EXPECT_EQ(roads->CRSBounds[0].Name, "EPSG:32632") << "a box without SRS takes the layer's first CRS";
    EXPECT_EQ(roads->CRSBounds[0].Rect, PlxRect2D(5, 8, 7, 6));
    EXPECT_EQ(roads->CRSBounds[1].Name, "EPSG:3857");
    ASSERT_EQ(roads->StyleTable.GetCount(), 1);
    PlxMBString style;
    EXPECT_TRUE(roads->StyleTable.Lookup("ROADS", style));
    EXPECT_EQ(style, "thin") << "only the first style counts";

    WMSLayer* rivers = root->Children[1];
    EXPECT_EQ(rivers->Queryable, 0) << "queryable must read as 1";
    EXPECT_EQ(rivers->LatLonBox, PlxRect2D(0, 50, 5, 45));
    EXPECT_EQ(rivers->Parent, root);
}

TEST(WMSCapabilitiesTest, Version100Rules) {
    const char* xml = R"(<WMT_MS_Capabilities version="1.0.0">
 <Service><Name>Map</Name><Title>T</Title><Keywords>  roads   rivers	tab  </Keywords>
  <OnlineResource>http://demo/</OnlineResource></Service>
 <Capability><Request>
  <Map><Format><PNG/><JPEG/></Format>
   <DCPType><HTTP><Get onlineResource="http://demo/wms?map=b&amp;REQUEST=Map&amp;"/></HTTP></DCPType></Map>
  <Capabilities><Format><WMS_XML/></Format>
   <DCPType><HTTP><Get onlineResource="http://demo/caps"/></HTTP></DCPType></Capabilities>
  <FeatureInfo><Format><MIME/></Format>
   <DCPType><HTTP><Get onlineResource="http://demo/info"/></HTTP></DCPType></FeatureInfo>
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

    auto empty = Read<WMSCapabilities100>(
        "<WMT_MS_Capabilities version=\"1.0.0\"><Service><Keywords/></Service></WMT_MS_Capabilities>");
    ASSERT_EQ(empty->Service.Keywords.GetSize(), 1);
    EXPECT_EQ(empty->Service.Keywords[0], "");
}

TEST(WMSCapabilitiesTest, Version110SplitsEverySRS) {
    const char* xml = R"(<WMT_MS_Capabilities version="1.1.0"><Capability><Layer><Name>a</Name>
  <SRS>EPSG:4326 EPSG:3857</SRS><SRS>EPSG:32632</SRS></Layer></Capability></WMT_MS_Capabilities>)";
    auto doc = Read<WMSCapabilities110>(xml);
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(Join(doc->RootLayer->SRSList), "EPSG:4326|EPSG:3857|EPSG:32632");
}

TEST(WMSCapabilitiesTest, Version130PrefixedRootGeographicBoxAndCRS) {
    const char* xml = R"(<wms:WMS_Capabilities wms:version="1.3.0" xmlns:wms="http://www.opengis.net/wms">
 <wms:Service><wms:Name>WMS</wms:Name><wms:Title>Prefixed</wms:Title></wms:Service>
 <wms:Capability><wms:Request><wms:GetMap><wms:Format>image/png</wms:Format>
  <wms:DCPType><wms:HTTP><wms:Get><wms:OnlineResource xlink:href="http://demo/ows?"/></wms:Get></wms:HTTP></wms:DCPType>
 </wms:GetMap></wms:Request>
 <wms:Layer><wms:Title>root</wms:Title>
  <wms:CRS>EPSG:4326</wms:CRS><wms:CRS>CRS:84</wms:CRS>
  <wms:EX_GeographicBoundingBox><wms:westBoundLongitude>-5</wms:westBoundLongitude>
   <wms:southBoundLatitude>40</wms:southBoundLatitude><wms:eastBoundLongitude>15</wms:eastBoundLongitude>
   <wms:northBoundLatitude>55</wms:northBoundLatitude></wms:EX_GeographicBoundingBox>
  <wms:BoundingBox wms:CRS="EPSG:4326" wms:minx="10" wms:miny="20" wms:maxx="30" wms:maxy="40" wms:resx="1"/>
  <wms:Layer><wms:Name>x</wms:Name></wms:Layer>
 </wms:Layer></wms:Capability></wms:WMS_Capabilities>)";
    unsigned char ok = 0;
    auto doc = Read<WMSCapabilities130>(xml, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Title, "Prefixed");
    EXPECT_EQ(doc->Capability.GetMap.URL, "http://demo/ows?");
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(doc->RootLayer->LatLonBox, PlxRect2D(-5, 55, 15, 40));
    ASSERT_EQ(doc->RootLayer->CRSBounds.GetSize(), 1);
    EXPECT_EQ(doc->RootLayer->CRSBounds[0].Rect, PlxRect2D(10, 40, 30, 20)) << "no axis swapping";
    WMSLayer* x = doc->RootLayer->Children[0];
    EXPECT_EQ(Join(x->SRSList), "EPSG:4326|CRS:84");
    EXPECT_EQ(x->LatLonBox, doc->RootLayer->LatLonBox);

    // The version attribute of a prefixed root must carry the prefix too.
    unsigned char plain = 1;
    Read<WMSCapabilities130>(R"(<wms:WMS_Capabilities version="1.3.0"><wms:Capability><wms:Layer>
      <wms:Name>x</wms:Name></wms:Layer></wms:Capability></wms:WMS_Capabilities>)", &plain);
    EXPECT_EQ(plain, 0);
}

TEST(WMSCapabilitiesTest, RefusalsLeaveTheDocumentEmpty) {
    unsigned char ok = 1;
    auto report = Read<WMSCapabilities111>(R"(<ServiceExceptionReport version="1.1.1">
      <ServiceException code="x">boom</ServiceException></ServiceExceptionReport>)", &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(report->RootLayer, nullptr);
    EXPECT_TRUE(report->Service.Name.IsEmpty());

    auto wrong = Read<WMSCapabilities130>(kDoc111, &ok);
    EXPECT_EQ(ok, 0) << "a 1.1.1 document is not read as 1.3.0";
    EXPECT_EQ(wrong->RootLayer, nullptr);

    // A root of another name is read, without prefix, when the version fits.
    auto renamed = Read<WMSCapabilities111>(R"(<x:Caps version="1.1.1"><Capability><Layer><Name>n</Name>
      </Layer></Capability></x:Caps>)", &ok);
    EXPECT_EQ(ok, 1);
    ASSERT_NE(renamed->RootLayer, nullptr);
    EXPECT_EQ(renamed->RootLayer->Name, "n");

    auto noVersion = Read<WMSCapabilities111>("<WMT_MS_Capabilities><Capability/></WMT_MS_Capabilities>", &ok);
    EXPECT_EQ(ok, 0);

    WMSCapabilities family;
    VmMarkup markup;
    markup.SetDoc(kDoc111);
    EXPECT_EQ(family.Parse(markup), 0) << "the family class reads nothing";
}

TEST(WMSCapabilitiesTest, ForwardOnlyOrderAndSeveralRoots) {
    // Title before Name: Name is found, the later search for Title starts after it.
    const char* xml = R"(<WMT_MS_Capabilities version="1.1.1"><Capability>
  <Layer><Name>first</Name></Layer>
  <Layer><Title>late</Title><Name>second</Name><Title>seen</Title></Layer>
 </Capability></WMT_MS_Capabilities>)";
    auto doc = Read<WMSCapabilities111>(xml);
    ASSERT_NE(doc->RootLayer, nullptr);
    EXPECT_EQ(doc->RootLayer->Name, "second") << "the last top-level layer is the root";
    EXPECT_EQ(doc->RootLayer->Title, "seen");
}

TEST(WMSCapabilitiesTest, LoadFileAndReaderChoice) {
    TempFolder folder;
    PlxMBString path = folder.Path("caps.xml");
    std::ofstream(path.c_str()) << kDoc111;
    std::unique_ptr<OGCCapabilities> doc(OGCCapabilities::CreateReader("WMS", "1.1.1"));
    ASSERT_NE(doc, nullptr);
    EXPECT_EQ(doc->ServiceType, "WMS");
    EXPECT_EQ(doc->Version, "1.1.1");
    EXPECT_EQ(doc->LoadFile(path), 1);
    EXPECT_NE(static_cast<WMSCapabilities*>(doc.get())->RootLayer, nullptr);

    std::unique_ptr<OGCCapabilities> other(OGCCapabilities::CreateReader("wms", "1.3.0"));
    EXPECT_EQ(other->LoadFile(path), 0);
    EXPECT_EQ(other->LoadFile(""), 0);
    EXPECT_EQ(other->LoadFile(folder.Path("missing.xml")), 0);
    std::ofstream(folder.Path("broken.xml").c_str()) << "<WMS_Capabilities version=\"1.3.0\"><Capability>";
    EXPECT_EQ(other->LoadFile(folder.Path("broken.xml")), 0);

    EXPECT_EQ(OGCCapabilities::CreateReader("wms", "2.0.0"), nullptr);
    EXPECT_EQ(OGCCapabilities::CreateReader("wfs", "1.1.1"), nullptr);
    EXPECT_EQ(OGCCapabilities::CreateReader("wmts", "1.0.0"), nullptr);
}

TEST(OGCCapabilitiesTest, TagPrefixAndEndpointRules) {
    WMSCapabilities doc;
    EXPECT_TRUE(doc.CompareTagName("wms:Layer", "Layer"));
    EXPECT_TRUE(doc.CompareTagName("Layer", "x:Layer"));
    EXPECT_FALSE(doc.CompareTagName("layer", "Layer"));
    EXPECT_TRUE(doc.CompareTagName("a:b:c", "b:c"));
    EXPECT_EQ(doc.GetNamespacePrefix("wfs:WFS_Capabilities"), "wfs:");
    EXPECT_EQ(doc.GetNamespacePrefix("WFS_Capabilities"), "");
    EXPECT_EQ(doc.StripReservedKeys("http://h/ms?map=/x.map&REQUEST=GetMap&layers=a"), "http://h/ms?map=/x.map&");
    EXPECT_EQ(doc.ReservedKeys.GetCount(), 24);

    WCSCapabilities wcs;
    EXPECT_TRUE(wcs.ReservedKeys.IsEmpty());
    EXPECT_EQ(wcs.StripReservedKeys("http://h/wcs?SERVICE=WCS&map=a"), "http://h/wcs?SERVICE=WCS&map=a&");
}
