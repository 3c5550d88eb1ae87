// WFS 1.0.0 capabilities reader: service, request endpoints, feature types.
#include "OGCCapabilities.h"
#include "TestSupport.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <fstream>
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

// The keywords a service with this Keywords text gets.
PlxArray<PlxMBString> KeywordsOf(const std::string& text) {
    auto doc = Read("<WFS_Capabilities version=\"1.0.0\"><Service><Keywords>" + text +
                    "</Keywords></Service></WFS_Capabilities>");
    return doc->Service.Keywords;
}

// Shaped like the documents the common servers send.
const char* kDoc = R"(<?xml version="1.0"?>
<WFS_Capabilities version="1.0.0" xmlns="http://www.opengis.net/wfs">
 <Service>
  <Name>demo WFS</Name><Title>Demo</Title><Abstract>About it</Abstract>
  <Keywords>  roads, rivers ,lakes  </Keywords>
  <OnlineResource>http://demo/about</OnlineResource>
  <Fees>none</Fees><AccessConstraints>open</AccessConstraints>
 </Service>
 <Capability>
  <Request>
   <GetCapabilities>
    <DCPType><HTTP><Get onlineResource="http://demo/wfs?REQUEST=GetCapabilities&amp;SERVICE=WFS&amp;map=x"/></HTTP></DCPType>
   </GetCapabilities>
   <DescribeFeatureType>
    <SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
    <DCPType><HTTP><Post onlineResource="http://demo/describe"/></HTTP></DCPType>
   </DescribeFeatureType>
   <GetFeature>
    <ResultFormat><GML2/></ResultFormat>
    <DCPType><HTTP><Get onlineResource="http://demo/get?TYPENAME=a&amp;key=1"/></HTTP></DCPType>
    <DCPType><HTTP><Post onlineResource="http://demo/post"/></HTTP></DCPType>
   </GetFeature>
  </Request>
  <VendorExtras/>
 </Capability>
 <FeatureTypeList>
  <Operations><Query/><Insert/></Operations>
  <FeatureType>
   <Name>app:roads</Name><Title>Roads</Title><Abstract>All roads</Abstract>
   <SRS>EPSG:4326</SRS>
   <Operations><query/><Delete/></Operations>
   <LatLongBoundingBox minx="1" miny="2" maxx="3" maxy="4"/>
   <LatLongBoundingBox minx="-10" miny="40" maxx="20" maxy="60"/>
  </FeatureType>
  <FeatureType>
   <Name>app:rivers</Name>
   <SRS>EPSG:26912 EPSG:4326</SRS>
  </FeatureType>
 </FeatureTypeList>
</WFS_Capabilities>)";

} // namespace

TEST(WFSCapabilitiesTest, ReadsServiceAndSplitsKeywordsAtCommas) {
    unsigned char ok = 0;
    auto doc = Read(kDoc, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Name, "demo WFS");
    EXPECT_EQ(doc->Service.Title, "Demo");
    EXPECT_EQ(doc->Service.Abstract, "About it");
    EXPECT_EQ(doc->Service.OnlineResource, "http://demo/about") << "the element's text, not an attribute";
    EXPECT_EQ(doc->Service.Fees, "none");
    EXPECT_EQ(doc->Service.AccessConstraints, "open");
    EXPECT_EQ(Join(doc->Service.Keywords), "roads|rivers |lakes") << "blanks before a comma stay";

    PlxArray<PlxMBString> empty = KeywordsOf("");
    ASSERT_EQ(empty.GetSize(), 1);
    EXPECT_EQ(empty[0], "");
    EXPECT_EQ(Join(KeywordsOf("single")), "single");
    EXPECT_EQ(Join(KeywordsOf(",leading")), ",leading") << "a comma in first place does not split";
    EXPECT_EQ(Join(KeywordsOf("a,   b,")), "a|b|") << "a trailing comma leaves an empty last keyword";
    EXPECT_EQ(Join(KeywordsOf("\n ogc\n wfs\n")), "\n ogc\n wfs\n") << "only spaces are trimmed";
    EXPECT_EQ(Join(KeywordsOf("a,\tb ,\nc")), "a|\tb |\nc") << "only spaces are dropped after a comma";
}

TEST(WFSCapabilitiesTest, RequestEndpointsAndFormats) {
    auto doc = Read(kDoc);
    const WFSCapability& cap = doc->Capability;

    EXPECT_EQ(cap.GetCapabilities.GetURL, "http://demo/wfs?map=x&") << "reserved keys are stripped";
    EXPECT_TRUE(cap.GetCapabilities.PostURL.IsEmpty());
    EXPECT_TRUE(cap.GetCapabilities.Formats.IsEmpty());

    EXPECT_TRUE(cap.DescribeFeatureType.GetURL.IsEmpty());
    EXPECT_EQ(cap.DescribeFeatureType.PostURL, "http://demo/describe?");
    EXPECT_EQ(Join(cap.DescribeFeatureType.Formats), "XMLSCHEMA");

    EXPECT_EQ(cap.GetFeature.GetURL, "http://demo/get?key=1&");
    EXPECT_EQ(cap.GetFeature.PostURL, "http://demo/post?");
    EXPECT_EQ(Join(cap.GetFeature.Formats), "GML2|GML2") << "listed once per method";

    EXPECT_TRUE(cap.Transaction.GetURL.IsEmpty());
    EXPECT_TRUE(cap.LockFeature.GetURL.IsEmpty());
    EXPECT_TRUE(cap.GetFeatureWithLock.GetURL.IsEmpty());
}

TEST(WFSCapabilitiesTest, EveryRequestGoesToItsOwnEntry) {
    const char* xml = R"(<WFS_Capabilities version="1.0.0"><Capability><Request>
  <VendorPing><DCPType><HTTP><Get onlineResource="http://demo/ping"/></HTTP></DCPType></VendorPing>
  <Transaction><DCPType><HTTP><Post onlineResource="http://demo/tx"/></HTTP></DCPType></Transaction>
  <lockfeature><DCPType><HTTP><Get onlineResource="http://demo/lock"/></HTTP></DCPType></lockfeature>
  <GetFeatureWithLock>
   <ResultFormat><GML2/><GML3/></ResultFormat>
   <SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
   <DCPType><HTTP><Get onlineResource="http://demo/gfwl-get"/><Post onlineResource="http://demo/gfwl-post"/></HTTP></DCPType>
  </GetFeatureWithLock>
  <DescribeFeatureType>
   <SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>
   <DCPType><Email address="x@demo"/></DCPType>
   <DCPType><HTTP/></DCPType>
  </DescribeFeatureType>
  <GetFeature><DCPType><HTTP><Get onlineResource="http://demo/feature"/></HTTP></DCPType></GetFeature>
 </Request></Capability>
 <FeatureTypeList><FeatureType><Name>after</Name></FeatureType></FeatureTypeList>
</WFS_Capabilities>)";
    auto doc = Read(xml);
    const WFSCapability& cap = doc->Capability;

    EXPECT_EQ(cap.Transaction.PostURL, "http://demo/tx?");
    EXPECT_TRUE(cap.Transaction.GetURL.IsEmpty());
    EXPECT_EQ(cap.LockFeature.GetURL, "http://demo/lock?") << "request names match ignoring case";
    EXPECT_EQ(cap.GetFeatureWithLock.GetURL, "http://demo/gfwl-get?");
    EXPECT_TRUE(cap.GetFeatureWithLock.PostURL.IsEmpty()) << "one HTTP element yields its Get only";
    EXPECT_EQ(Join(cap.GetFeatureWithLock.Formats), "GML2|GML3") << "result formats win over schema languages";

    // Neither a DCPType without HTTP nor an empty HTTP stores anything.
    EXPECT_TRUE(cap.DescribeFeatureType.GetURL.IsEmpty());
    EXPECT_TRUE(cap.DescribeFeatureType.PostURL.IsEmpty());
    EXPECT_TRUE(cap.DescribeFeatureType.Formats.IsEmpty());

    // The requests after those, and the type list after the capability, are
    // still read at their own level.
    EXPECT_EQ(cap.GetFeature.GetURL, "http://demo/feature?");
    EXPECT_TRUE(cap.GetCapabilities.GetURL.IsEmpty()) << "an unknown request fills nothing";
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(doc->FeatureTypes[0]->Name, "after");
}

TEST(WFSCapabilitiesTest, FeatureTypesMergeOperationsAndKeepTheLastBox) {
    auto doc = Read(kDoc);
    EXPECT_EQ(Join(doc->TypeListOperations), "Query|Insert");
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 2);

    const WFSFeatureType* roads = doc->FeatureTypes[0];
    EXPECT_EQ(roads->Name, "app:roads");
    EXPECT_EQ(roads->Title, "Roads");
    EXPECT_EQ(roads->Abstract, "All roads");
    EXPECT_EQ(roads->SRS, "EPSG:4326");
    EXPECT_EQ(Join(roads->Operations), "Query|Insert|Delete") << "own operations the list grants are dropped";
    EXPECT_EQ(roads->LatLonBox, PlxRect2D(-10, 60, 20, 40)) << "west, north, east, south of the last box";

    const WFSFeatureType* rivers = doc->FeatureTypes[1];
    EXPECT_EQ(rivers->SRS, "EPSG:26912 EPSG:4326") << "the SRS text is kept whole";
    EXPECT_TRUE(rivers->SRSList.IsEmpty());
    EXPECT_EQ(Join(rivers->Operations), "Query|Insert");
    EXPECT_TRUE(rivers->Title.IsEmpty());
    EXPECT_TRUE(rivers->LatLonBox.IsNull());

    // Without a list-wide Operations element a type has only its own.
    auto own = Read(R"(<WFS_Capabilities version="1.0.0"><FeatureTypeList>
  <FeatureType><Name>a</Name><Operations><Query/><Update/></Operations>
   <LatLongBoundingBox minx="x" miny="2" maxx="3" maxy="4"/></FeatureType>
 </FeatureTypeList></WFS_Capabilities>)");
    ASSERT_EQ(own->FeatureTypes.GetSize(), 1);
    EXPECT_TRUE(own->TypeListOperations.IsEmpty());
    EXPECT_EQ(Join(own->FeatureTypes[0]->Operations), "Query|Update");
    EXPECT_EQ(own->FeatureTypes[0]->LatLonBox, PlxRect2D(0, 4, 3, 2)) << "a malformed number reads as 0";
}

TEST(WFSCapabilitiesTest, PrefixedRootPrefixesElementsAndAttributes) {
    const char* xml = R"(<wfs:WFS_Capabilities wfs:version="1.0.0" xmlns:wfs="http://www.opengis.net/wfs">
 <wfs:Service><Name>unprefixed</Name><wfs:Name>prefixed</wfs:Name></wfs:Service>
 <wfs:Capability><wfs:Request>
  <wfs:GetFeature><wfs:ResultFormat><wfs:GML2/></wfs:ResultFormat>
   <wfs:DCPType><wfs:HTTP><wfs:Get onlineResource="http://demo/plain" wfs:onlineResource="http://demo/own"/></wfs:HTTP></wfs:DCPType>
  </wfs:GetFeature>
  <GetCapabilities><wfs:DCPType><wfs:HTTP><wfs:Get wfs:onlineResource="http://demo/caps"/></wfs:HTTP></wfs:DCPType></GetCapabilities>
 </wfs:Request></wfs:Capability>
 <wfs:FeatureTypeList>
  <wfs:Operations><wfs:Query/></wfs:Operations>
  <FeatureType><Name>ignored</Name></FeatureType>
  <wfs:FeatureType><wfs:Name>t</wfs:Name>
   <wfs:LatLongBoundingBox minx="9" miny="9" maxx="9" maxy="9" wfs:minx="1" wfs:miny="2" wfs:maxx="3" wfs:maxy="4"/>
  </wfs:FeatureType>
 </wfs:FeatureTypeList>
</wfs:WFS_Capabilities>)";
    unsigned char ok = 0;
    auto doc = Read(xml, &ok);
    ASSERT_EQ(ok, 1);
    EXPECT_EQ(doc->Service.Name, "prefixed");
    EXPECT_EQ(doc->Capability.GetFeature.GetURL, "http://demo/own?");
    EXPECT_EQ(Join(doc->Capability.GetFeature.Formats), "wfs:GML2") << "format names are tag names as written";
    EXPECT_TRUE(doc->Capability.GetCapabilities.GetURL.IsEmpty()) << "request names carry the prefix too";
    EXPECT_EQ(Join(doc->TypeListOperations), "wfs:Query");
    ASSERT_EQ(doc->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(doc->FeatureTypes[0]->Name, "t");
    EXPECT_EQ(doc->FeatureTypes[0]->LatLonBox, PlxRect2D(1, 4, 3, 2));

    unsigned char plain = 1;
    Read(R"(<wfs:WFS_Capabilities version="1.0.0"><wfs:Service><wfs:Name>n</wfs:Name></wfs:Service>
      </wfs:WFS_Capabilities>)", &plain);
    EXPECT_EQ(plain, 0) << "a prefixed root needs a prefixed version attribute";
}

TEST(WFSCapabilitiesTest, RefusedDocumentsStayEmpty) {
    unsigned char ok = 1;
    auto report = Read(R"(<ServiceExceptionReport version="1.0.0"><Service><Name>n</Name></Service>
      <FeatureTypeList><FeatureType><Name>t</Name></FeatureType></FeatureTypeList></ServiceExceptionReport>)", &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_TRUE(report->Service.Name.IsEmpty());
    EXPECT_TRUE(report->FeatureTypes.IsEmpty());

    std::string newer = kDoc;
    newer.replace(newer.find("version=\"1.0.0\" xmlns"), 15, "version=\"1.1.0\"");
    auto wrong = Read(newer, &ok);
    EXPECT_EQ(ok, 0);
    EXPECT_TRUE(wrong->Service.Name.IsEmpty());
    EXPECT_TRUE(wrong->FeatureTypes.IsEmpty());
    EXPECT_TRUE(wrong->Capability.GetFeature.GetURL.IsEmpty());

    Read("<WFS_Capabilities><Service><Name>n</Name></Service></WFS_Capabilities>", &ok);
    EXPECT_EQ(ok, 0) << "no version attribute";
}

TEST(WFSCapabilitiesTest, ReadsForwardOnly) {
    const char* xml = R"(<WFS_Capabilities version="1.0.0">
 <Service><Title>early</Title><Name>n</Name><Abstract>a</Abstract></Service>
 <FeatureTypeList><FeatureType><Name>missed</Name></FeatureType></FeatureTypeList>
 <Capability><Request>
  <GetFeature><DCPType><HTTP><Get onlineResource="http://demo/gf"/></HTTP></DCPType>
   <ResultFormat><GML2/></ResultFormat></GetFeature>
 </Request></Capability>
</WFS_Capabilities>)";
    auto doc = Read(xml);
    EXPECT_EQ(doc->Service.Name, "n");
    EXPECT_TRUE(doc->Service.Title.IsEmpty()) << "the search for Title starts after Name";
    EXPECT_EQ(doc->Service.Abstract, "a");
    EXPECT_TRUE(doc->FeatureTypes.IsEmpty()) << "a type list before the capability is not seen";
    // Formats after the endpoints: found, but the endpoint search then starts after them.
    EXPECT_TRUE(doc->Capability.GetFeature.GetURL.IsEmpty());
    EXPECT_TRUE(doc->Capability.GetFeature.Formats.IsEmpty());

    // A type whose Operations follow its box loses the box.
    auto late = Read(R"(<WFS_Capabilities version="1.0.0"><FeatureTypeList><FeatureType><Name>t</Name>
  <LatLongBoundingBox minx="1" miny="2" maxx="3" maxy="4"/><Operations><Query/></Operations>
 </FeatureType></FeatureTypeList></WFS_Capabilities>)");
    ASSERT_EQ(late->FeatureTypes.GetSize(), 1);
    EXPECT_EQ(Join(late->FeatureTypes[0]->Operations), "Query");
    EXPECT_TRUE(late->FeatureTypes[0]->LatLonBox.IsNull());
}

TEST(WFSCapabilitiesTest, LoadFile) {
    TempFolder folder;
    PlxMBString path = folder.Path("wfs.xml");
    std::ofstream(path.c_str()) << kDoc;

    std::unique_ptr<OGCCapabilities> reader(OGCCapabilities::CreateReader("WFS", "1.0.0"));
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(reader->ServiceType, "WFS");
    ASSERT_EQ(reader->LoadFile(path), 1);
    auto* doc = static_cast<WFSCapabilities*>(reader.get());
    EXPECT_EQ(doc->Service.Name, "demo WFS");
    EXPECT_EQ(doc->FeatureTypes.GetSize(), 2);

    WFSCapabilities100 other;
    EXPECT_EQ(other.LoadFile(""), 0);
    EXPECT_EQ(other.LoadFile(folder.Path("missing.xml")), 0);

    // 1.1.0 is negotiated but never read, whatever the file holds.
    std::ofstream(folder.Path("wfs110.xml").c_str())
        << "<WFS_Capabilities version=\"1.1.0\"><FeatureTypeList><FeatureType><Name>t</Name>"
           "</FeatureType></FeatureTypeList></WFS_Capabilities>";
    WFSCapabilities110 newer;
    EXPECT_EQ(newer.LoadFile(folder.Path("wfs110.xml")), 0);
    EXPECT_EQ(newer.LoadFile(path), 0);
    EXPECT_TRUE(newer.FeatureTypes.IsEmpty());
    EXPECT_TRUE(newer.Service.Name.IsEmpty());
}
