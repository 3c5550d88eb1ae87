// WCS 1.0.0 capabilities reader and the position splitter its envelopes use.
// The documents every reader refuses are in test_capabilities_wms.cpp.
#include "OGCCapabilities.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <memory>

using namespace VMK;

namespace {

// The document never destroys its coverage records; the test must.
struct Parsed {
    WCSCapabilities100 doc;
    unsigned char result = 0;
    ~Parsed() { doc.ReleaseCoverages(); }
};

std::unique_ptr<Parsed> Read(const std::string& xml) {
    auto parsed = std::make_unique<Parsed>();
    VmMarkup markup;
    EXPECT_TRUE(markup.SetDoc(xml.c_str())) << markup.GetError().str();
    parsed->result = parsed->doc.Parse(markup);
    return parsed;
}

std::string Join(const PlxArray<PlxMBString>& list) {
    std::string out;
    for (int i = 0; i < list.GetSize(); ++i) out += (i ? "|" : "") + list[i].str();
    return out;
}

const char* kDoc = R"xml(<?xml version="1.0"?>
<WCS_Capabilities version="1.0.0">
 <Service><metadataLink xlink:href="http://demo/meta">http://demo/meta-text</metadataLink>
  <description>About it</description><name>demo WCS</name><label>Demo</label>
  <keywords><keyword>elevation</keyword><keyword>sea floor</keyword></keywords>
  <fees>none</fees><accessConstraints>open</accessConstraints></Service>
 <Capability><Request>
  <GetCapabilities><DCPType><HTTP>
   <Get><OnlineResource xlink:href="http://demo/wcs?SERVICE=WCS&amp;map=x"/></Get></HTTP></DCPType></GetCapabilities>
  <DescribeCoverage>
   <DCPType><HTTP><Get><onlineResource xlink:href="http://demo/describe"/></Get></HTTP></DCPType></DescribeCoverage>
  <GetCoverage>
   <DCPType><HTTP><Post><OnlineResource xlink:href="http://demo/post"/></Post></HTTP></DCPType>
   <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/get"/></Get></HTTP></DCPType>
  </GetCoverage>
 </Request></Capability>
 <ContentMetadata>
  <CoverageOfferingBrief><description>Depths</description><name>depth</name><label>Depth</label>
   <lonLatEnvelope srsName="urn:ogc:def:crs:OGC:1.3:CRS84"><gml:pos>-180 -90</gml:pos><gml:pos>180 90</gml:pos>
   </lonLatEnvelope></CoverageOfferingBrief>
  <CoverageOfferingBrief><name>slope</name>
   <lonLatEnvelope srsName="WGS84(DD)"><gml:pos>  -10   -20 </gml:pos><gml:pos>30 40</gml:pos></lonLatEnvelope>
   </CoverageOfferingBrief>
  <CoverageOfferingBrief><name>third</name>
   <lonLatEnvelope srsName="EPSG:4326"><gml:pos>1 2</gml:pos><gml:pos>3 4</gml:pos></lonLatEnvelope>
   <lonLatEnvelope><gml:pos>5 6</gml:pos></lonLatEnvelope></CoverageOfferingBrief>
 </ContentMetadata>
</WCS_Capabilities>)xml";

} // namespace

TEST(WCSCapabilitiesTest, AMethodWithoutAddressKeepsTheLastOneRead) {
    auto p = Read(R"(<WCS_Capabilities version="1.0.0"><Capability><Request>
  <VendorPing><DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/ping"/></Get></HTTP></DCPType></VendorPing>
  <GetCapabilities><DCPType><HTTP><Get/></HTTP></DCPType></GetCapabilities>
  <describecoverage><DCPType><Email/></DCPType>
   <DCPType><HTTP><Post><onlineResource xlink:href="http://demo/lower-post"/></Post></HTTP></DCPType>
  </describecoverage>
  <GetCoverage><DCPType><HTTP>
   <Get><OnlineResource xlink:href="http://demo/get"/></Get><Post><OnlineResource xlink:href="http://demo/post"/></Post>
  </HTTP></DCPType></GetCoverage>
 </Request></Capability>
 <ContentMetadata><CoverageOfferingBrief><name>after</name></CoverageOfferingBrief></ContentMetadata>
</WCS_Capabilities>)");
    const WCSCapability& cap = p->doc.Capability;
    EXPECT_EQ(cap.GetCapabilities.GetURL, "http://demo/ping?") << "carried over from an unknown request";
    // Post reads only the capitalised element; request names match ignoring case.
    EXPECT_EQ(cap.DescribeCoverage.PostURL, "http://demo/ping?");
    EXPECT_TRUE(cap.DescribeCoverage.GetURL.IsEmpty());
    EXPECT_EQ(cap.GetCoverage.GetURL, "http://demo/get?");
    EXPECT_TRUE(cap.GetCoverage.PostURL.IsEmpty()) << "one HTTP element yields its Get only";
    ASSERT_EQ(p->doc.Coverages.GetSize(), 1) << "the content after the requests is still read";
    EXPECT_EQ(p->doc.Coverages[0]->Name, "after");
}

TEST(WCSCapabilitiesTest, ReadsServiceEndpointsAndCoverageBriefs) {
    PlxArray<WCSCoverage*> kept;
    {
        WCSCapabilities100 doc;
        VmMarkup markup;
        ASSERT_TRUE(markup.SetDoc(kDoc));
        ASSERT_EQ(doc.Parse(markup), 1);
        const OGCServiceInfo& s = doc.Service;
        EXPECT_EQ(s.OnlineResource, "http://demo/meta-text") << "the metadata link's text, not its address";
        EXPECT_EQ(s.Abstract + "/" + s.Name + "/" + s.Title + "/" + s.Fees + "/" + s.AccessConstraints,
                  "About it/demo WCS/Demo/none/open");
        EXPECT_EQ(Join(s.Keywords), "elevation|sea floor");

        const WCSCapability& cap = doc.Capability;
        EXPECT_EQ(cap.GetCapabilities.GetURL, "http://demo/wcs?SERVICE=WCS&map=x&") << "no reserved keys";
        EXPECT_EQ(cap.DescribeCoverage.GetURL, "http://demo/describe?") << "the lower-case spelling is read too";
        EXPECT_EQ(cap.GetCoverage.PostURL, "http://demo/post?");
        EXPECT_EQ(cap.GetCoverage.GetURL, "http://demo/get?");
        // The coverage records outlive the document (the sanitizer build sees one freed with it).
        kept = doc.Coverages;
    }
    ASSERT_EQ(kept.GetSize(), 3);
    const WCSCoverage* depth = kept[0];
    EXPECT_EQ(depth->Name + "/" + depth->Title + "/" + depth->Abstract, "depth/Depth/Depths");
    EXPECT_EQ(depth->LatLonBox, PlxRect2D(-180, 90, 180, -90));
    EXPECT_EQ(Join(depth->SRSList), "urn:ogc:def:crs:OGC:1.3:CRS84");
    EXPECT_EQ(depth->EnvelopeSRS, "urn:ogc:def:crs:OGC:1.3:CRS84");

    const WCSCoverage* slope = kept[1];
    EXPECT_EQ(slope->LatLonBox, PlxRect2D(-10, 40, 30, -20)) << "corners are lower-left then upper-right";
    EXPECT_EQ(slope->EnvelopeSRS, "WGS84(DD)");

    // Every envelope adds its name, even an empty one, and the last sets the box.
    const WCSCoverage* third = kept[2];
    ASSERT_EQ(third->SRSList.GetSize(), 2);
    EXPECT_EQ(third->SRSList[0] + "|" + third->SRSList[1], "EPSG:4326|");
    EXPECT_TRUE(third->LatLonBox.IsNull());
    for (WCSCoverage* c : kept) delete c;
}

TEST(WCSCapabilitiesTest, EnvelopesOfAnotherShapeGiveTheNullBox) {
    const char* bodies[] = {
        "<gml:pos>1 2</gml:pos><gml:pos>3 4</gml:pos><gml:pos>5 6</gml:pos>",  // three corners
        "<gml:pos>1 2 0</gml:pos><gml:pos>3 4 0</gml:pos>",                    // three numbers each
        "<gml:pos>1 2</gml:pos><gml:pos>3</gml:pos>",                          // one number short
        "<pos>1 2</pos><pos>3 4</pos>",                                        // not GML
    };
    for (const char* body : bodies) {
        SCOPED_TRACE(body);
        auto p = Read(std::string("<WCS_Capabilities version=\"1.0.0\"><ContentMetadata><CoverageOfferingBrief>"
                                  "<name>c</name><lonLatEnvelope srsName=\"WGS84(DD)\">") +
                      body + "</lonLatEnvelope></CoverageOfferingBrief></ContentMetadata></WCS_Capabilities>");
        ASSERT_EQ(p->doc.Coverages.GetSize(), 1);
        EXPECT_TRUE(p->doc.Coverages[0]->LatLonBox.IsNull());
        EXPECT_EQ(Join(p->doc.Coverages[0]->SRSList), "WGS84(DD)");
    }
}

TEST(WCSCapabilitiesTest, PrefixedRoot) {
    auto p = Read(R"(<wcs:WCS_Capabilities wcs:version="1.0.0" xmlns:wcs="http://www.opengis.net/wcs">
 <wcs:Service><name>unprefixed</name><wcs:name>prefixed</wcs:name>
  <wcs:keywords><keyword>no</keyword><wcs:keyword>yes</wcs:keyword></wcs:keywords></wcs:Service>
 <wcs:Capability><wcs:Request>
  <wcs:GetCoverage><wcs:DCPType><wcs:HTTP><wcs:Get>
   <OnlineResource xlink:href="http://demo/plain"/><wcs:OnlineResource xlink:href="http://demo/own" wcs:xlink:href="x"/>
  </wcs:Get></wcs:HTTP></wcs:DCPType></wcs:GetCoverage>
  <DescribeCoverage><wcs:DCPType><wcs:HTTP><wcs:Get><wcs:OnlineResource xlink:href="http://demo/d"/></wcs:Get>
  </wcs:HTTP></wcs:DCPType></DescribeCoverage>
 </wcs:Request></wcs:Capability>
 <wcs:ContentMetadata><CoverageOfferingBrief><name>ignored</name></CoverageOfferingBrief>
  <wcs:CoverageOfferingBrief><wcs:name>c</wcs:name>
   <wcs:lonLatEnvelope srsName="plain" wcs:srsName="own"><gml:pos>1 2</gml:pos><wcs:pos>7 7</wcs:pos>
    <gml:pos>3 4</gml:pos></wcs:lonLatEnvelope>
  </wcs:CoverageOfferingBrief></wcs:ContentMetadata>
</wcs:WCS_Capabilities>)");
    ASSERT_EQ(p->result, 1);
    EXPECT_EQ(p->doc.Service.Name, "prefixed");
    EXPECT_EQ(Join(p->doc.Service.Keywords), "yes");
    EXPECT_EQ(p->doc.Capability.GetCoverage.GetURL, "http://demo/own?") << "xlink:href is never prefixed";
    EXPECT_TRUE(p->doc.Capability.DescribeCoverage.GetURL.IsEmpty()) << "request names carry the prefix too";
    ASSERT_EQ(p->doc.Coverages.GetSize(), 1);
    EXPECT_EQ(p->doc.Coverages[0]->Name, "c");
    EXPECT_EQ(p->doc.Coverages[0]->EnvelopeSRS, "own");
    EXPECT_EQ(p->doc.Coverages[0]->LatLonBox, PlxRect2D(1, 4, 3, 2)) << "positions are GML whatever the prefix";
}

TEST(SplitPositionsTest, CollapsesRunsAndKeepsTheLastPiece) {
    const struct {
        const char* text;
        const char* delimiter;
        const char* expected;  // after "kept", which the list holds first
    } rows[] = {
        {"1  2", " ", "kept|1|2"},                // runs count as one; the list is not emptied first
        {"  -180.5   90 ", " ", "kept|-180.5|90"},  // trimmed first
        {"", " ", "kept|"},                       // an empty text gives one empty piece
        {"7 8", "", "kept|7 8"},                  // no delimiter, no split
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text);
        PlxArray<PlxMBString> out;
        out.Add("kept");
        SplitPositions(row.text, out, row.delimiter);
        EXPECT_EQ(Join(out), row.expected);
    }
}
