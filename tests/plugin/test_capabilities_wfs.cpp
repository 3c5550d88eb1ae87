// WFS 1.0.0 capabilities reader. The documents every reader refuses are in test_capabilities_wms.cpp.
#include "OGCCapabilities.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <memory>

using namespace VMK;

namespace {

std::unique_ptr<WFSCapabilities100> Read(const std::string& xml, unsigned char* result = nullptr) {
    auto doc = std::make_unique<WFSCapabilities100>();
    VmMarkup markup;
    EXPECT_TRUE(markup.SetDoc(xml.c_str())) << markup.GetError().str();
    unsigned char r = doc->Parse(markup);
    if (result) *result = r;
    return doc;
}

std::string Join(const PlxArray<PlxMBString>& list) {
    std::string out;
    for (int i = 0; i < list.GetSize(); ++i) out += (i ? "|" : "") + list[i].str();
    return out;
}

// Shaped like the documents the common servers send.
const char* kDoc = R"(<?xml version="1.0"?>
<WFS_Capabilities version="1.0.0" xmlns="http://www.opengis.net/wfs">
 <Service><Name>demo WFS</Name><Title>Demo</Title><Abstract>About it</Abstract>
  <OnlineResource>http://demo/about</OnlineResource><Fees>none</Fees><AccessConstraints>open</AccessConstraints></Service>
 <Capability><Request>
  <GetCapabilities><DCPType><HTTP>
   <Get onlineResource="http://demo/wfs?REQUEST=GetCapabilities&amp;SERVICE=WFS&amp;map=x"/></HTTP></DCPType>
  </GetCapabilities>
  <DescribeFeatureType><SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
   <DCPType><HTTP><Post onlineResource="http://demo/describe"/></HTTP></DCPType></DescribeFeatureType>
  <GetFeature><ResultFormat><GML2/></ResultFormat>
   <DCPType><HTTP><Get onlineResource="http://demo/get?TYPENAME=a&amp;key=1"/></HTTP></DCPType>
   <DCPType><HTTP><Post onlineResource="http://demo/post"/></HTTP></DCPType></GetFeature>
 </Request></Capability>
 <FeatureTypeList>
  <Operations><Query/><Insert/></Operations>
  <FeatureType><Name>app:roads</Name><Title>Roads</Title><Abstract>All roads</Abstract><SRS>EPSG:4326</SRS>
   <Operations><query/><Delete/></Operations>
   <LatLongBoundingBox minx="1" miny="2" maxx="3" maxy="4"/><LatLongBoundingBox minx="-10" miny="40" maxx="20" maxy="60"/>
  </FeatureType>
  <FeatureType><Name>app:rivers</Name><SRS>EPSG:26912 EPSG:4326</SRS></FeatureType>
 </FeatureTypeList>
</WFS_Capabilities>)";

} // namespace

TEST(WFSCapabilitiesTest, ReadsServiceEndpointsAndFeatureTypes) {
    unsigned char ok = 0;
    auto doc = Read(kDoc, &ok);
    ASSERT_EQ(ok, 1);
    const OGCServiceInfo& s = doc->Service;
    EXPECT_EQ(s.Name + "/" + s.Title + "/" + s.Abstract + "/" + s.Fees + "/" + s.AccessConstraints,
              "demo WFS/Demo/About it/none/open");
    EXPECT_EQ(s.OnlineResource, "http://demo/about") << "the element's text, not an attribute";

    const WFSCapability& cap = doc->Capability;
    EXPECT_EQ(cap.GetCapabilities.GetURL, "http://demo/wfs?map=x&") << "reserved keys are stripped";
    EXPECT_TRUE(cap.DescribeFeatureType.GetURL.IsEmpty());
    EXPECT_EQ(cap.DescribeFeatureType.PostURL, "http://demo/describe?");
    EXPECT_EQ(Join(cap.DescribeFeatureType.Formats), "XMLSCHEMA");
    EXPECT_EQ(cap.GetFeature.GetURL, "http://demo/get?key=1&");
    EXPECT_EQ(cap.GetFeature.PostURL, "http://demo/post?");
    EXPECT_EQ(Join(cap.GetFeature.Formats), "GML2|GML2") << "listed once per method";

    EXPECT_EQ(Join(doc->TypeListOperations), "Query|Insert");
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 2);
    const WFSFeatureType* roads = doc->FeatureTypes[0];
    EXPECT_EQ(roads->Name + "/" + roads->Title + "/" + roads->Abstract + "/" + roads->SRS,
              "app:roads/Roads/All roads/EPSG:4326");
    EXPECT_EQ(Join(roads->Operations), "Query|Insert|Delete") << "own operations the list grants are dropped";
    EXPECT_EQ(roads->LatLonBox, PlxRect2D(-10, 60, 20, 40)) << "west, north, east, south of the last box";
    const WFSFeatureType* rivers = doc->FeatureTypes[1];
    EXPECT_EQ(rivers->SRS, "EPSG:26912 EPSG:4326") << "the SRS text is kept whole";
    EXPECT_TRUE(rivers->SRSList.IsEmpty());
    EXPECT_EQ(Join(rivers->Operations), "Query|Insert");
    EXPECT_TRUE(rivers->LatLonBox.IsNull());
}

TEST(WFSCapabilitiesTest, KeywordsSplitAtCommas) {
    const struct {
        const char* text;
        const char* expected;
    } rows[] = {
        {"  roads, rivers ,lakes  ", "roads|rivers |lakes"},  // blanks before a comma stay
        {",leading", ",leading"},              // a comma in first place does not split
        {"a,   b,", "a|b|"},                   // a trailing comma leaves an empty last keyword
        {"\n ogc\n wfs\n", "\n ogc\n wfs\n"},  // only spaces are trimmed
        {"a,\tb ,\nc", "a|\tb |\nc"},          // only spaces are dropped after a comma
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        auto doc = Read(std::string("<WFS_Capabilities version=\"1.0.0\"><Service><Keywords>") + row.text +
                        "</Keywords></Service></WFS_Capabilities>");
        EXPECT_EQ(Join(doc->Service.Keywords), row.expected);
    }
}

TEST(WFSCapabilitiesTest, EveryRequestGoesToItsOwnEntry) {
    auto doc = Read(R"(<WFS_Capabilities version="1.0.0"><Capability><Request>
  <VendorPing><DCPType><HTTP><Get onlineResource="http://demo/ping"/></HTTP></DCPType></VendorPing>
  <Transaction><DCPType><HTTP><Post onlineResource="http://demo/tx"/></HTTP></DCPType></Transaction>
  <lockfeature><DCPType><HTTP><Get onlineResource="http://demo/lock"/></HTTP></DCPType></lockfeature>
  <GetFeatureWithLock><ResultFormat><GML2/><GML3/></ResultFormat>
   <SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
   <DCPType><HTTP><Get onlineResource="http://demo/gfwl-get"/><Post onlineResource="http://demo/gfwl-post"/></HTTP></DCPType>
  </GetFeatureWithLock>
  <DescribeFeatureType><SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
   <DCPType><Email address="x@demo"/></DCPType><DCPType><HTTP/></DCPType></DescribeFeatureType>
  <GetFeature><DCPType><HTTP><Get onlineResource="http://demo/feature"/></HTTP></DCPType></GetFeature>
 </Request></Capability>
 <FeatureTypeList><FeatureType><Name>after</Name></FeatureType></FeatureTypeList>
</WFS_Capabilities>)");
    const WFSCapability& cap = doc->Capability;
    EXPECT_EQ(cap.Transaction.PostURL, "http://demo/tx?");
    EXPECT_EQ(cap.LockFeature.GetURL, "http://demo/lock?") << "request names match ignoring case";
    EXPECT_EQ(cap.GetFeatureWithLock.GetURL, "http://demo/gfwl-get?");
    EXPECT_TRUE(cap.GetFeatureWithLock.PostURL.IsEmpty()) << "one HTTP element yields its Get only";
    EXPECT_EQ(Join(cap.GetFeatureWithLock.Formats), "GML2|GML3") << "result formats win over schema languages";
    const auto& describe = cap.DescribeFeatureType;
    EXPECT_EQ(describe.GetURL.str() + describe.PostURL.str() + Join(describe.Formats), "")
        << "neither a DCPType without HTTP nor an empty HTTP stores anything";
    // What follows is still read at its own level.
    EXPECT_EQ(cap.GetFeature.GetURL, "http://demo/feature?");
    EXPECT_TRUE(cap.GetCapabilities.GetURL.IsEmpty()) << "an unknown request fills nothing";
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(doc->FeatureTypes[0]->Name, "after");
}

TEST(WFSCapabilitiesTest, WithoutAListWideOperationsATypeHasOnlyItsOwn) {
    auto own = Read(R"(<WFS_Capabilities version="1.0.0"><FeatureTypeList><FeatureType><Name>a</Name>
   <Operations><Query/><Update/></Operations><LatLongBoundingBox minx="x" miny="2" maxx="3" maxy="4"/>
 </FeatureType></FeatureTypeList></WFS_Capabilities>)");
    ASSERT_EQ(own->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(Join(own->FeatureTypes[0]->Operations), "Query|Update");
    EXPECT_EQ(own->FeatureTypes[0]->LatLonBox, PlxRect2D(0, 4, 3, 2)) << "a malformed number reads as 0";
}

TEST(WFSCapabilitiesTest, PrefixedRootPrefixesElementsAndAttributes) {
    unsigned char ok = 0;
    auto doc = Read(R"(<wfs:WFS_Capabilities wfs:version="1.0.0" xmlns:wfs="http://www.opengis.net/wfs">
 <wfs:Service><Name>unprefixed</Name><wfs:Name>prefixed</wfs:Name></wfs:Service>
 <wfs:Capability><wfs:Request>
  <wfs:GetFeature><wfs:ResultFormat><wfs:GML2/></wfs:ResultFormat>
   <wfs:DCPType><wfs:HTTP><wfs:Get onlineResource="http://demo/plain" wfs:onlineResource="http://demo/own"/></wfs:HTTP></wfs:DCPType>
  </wfs:GetFeature>
  <GetCapabilities><wfs:DCPType><wfs:HTTP><wfs:Get wfs:onlineResource="http://demo/caps"/></wfs:HTTP></wfs:DCPType></GetCapabilities>
 </wfs:Request></wfs:Capability>
 <wfs:FeatureTypeList><wfs:Operations><wfs:Query/></wfs:Operations>
  <FeatureType><Name>ignored</Name></FeatureType>
  <wfs:FeatureType><wfs:Name>t</wfs:Name>
   <wfs:LatLongBoundingBox minx="9" miny="9" maxx="9" maxy="9" wfs:minx="1" wfs:miny="2" wfs:maxx="3" wfs:maxy="4"/>
  </wfs:FeatureType></wfs:FeatureTypeList>
</wfs:WFS_Capabilities>)", &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Name, "prefixed");
    EXPECT_EQ(doc->Capability.GetFeature.GetURL, "http://demo/own?");
    EXPECT_EQ(Join(doc->Capability.GetFeature.Formats), "wfs:GML2") << "format names are tag names as written";
    EXPECT_TRUE(doc->Capability.GetCapabilities.GetURL.IsEmpty()) << "request names carry the prefix too";
    EXPECT_EQ(Join(doc->TypeListOperations), "wfs:Query");
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(doc->FeatureTypes[0]->Name, "t");
    EXPECT_EQ(doc->FeatureTypes[0]->LatLonBox, PlxRect2D(1, 4, 3, 2));
}
