// WCS 1.0.0 capabilities reader: service, request endpoints, coverage briefs,
// and the position splitter the envelopes use.
#include "OGCCapabilities.h"
#include "TestSupport.h"
#include "VmToolkit.h"

#include <gtest/gtest.h>

#include <fstream>
#include <memory>

using namespace VMK;

namespace {

// Releases the coverage records, which the document itself never destroys.
struct CoverageGuard {
    WCSCapabilities* doc;
    ~CoverageGuard() { doc->ReleaseCoverages(); }
};

struct Parsed {
    WCSCapabilities100 doc;
    CoverageGuard guard{&doc};
    unsigned char result = 0;
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

// One coverage brief per envelope body, all with the given srsName.
std::string Briefs(std::initializer_list<std::string> envelopes, const std::string& srs = "WGS84(DD)") {
    std::string xml = "<WCS_Capabilities version=\"1.0.0\"><ContentMetadata>";
    for (const std::string& body : envelopes)
        xml += "<CoverageOfferingBrief><name>c</name><lonLatEnvelope srsName=\"" + srs + "\">" + body +
               "</lonLatEnvelope></CoverageOfferingBrief>";
    return xml + "</ContentMetadata></WCS_Capabilities>";
}

std::string Pos(const std::string& text) { return "<gml:pos>" + text + "</gml:pos>"; }

const char* kDoc = R"xml(<?xml version="1.0"?>
<WCS_Capabilities version="1.0.0" xmlns="http://www.opengis.net/wcs" xmlns:gml="http://www.opengis.net/gml"
    xmlns:xlink="http://www.w3.org/1999/xlink">
 <Service>
  <metadataLink xlink:href="http://demo/meta">http://demo/meta-text</metadataLink>
  <description>About it</description>
  <name>demo WCS</name>
  <label>Demo</label>
  <keywords><keyword>elevation</keyword><keyword>sea floor</keyword></keywords>
  <responsibleParty><individualName>someone</individualName></responsibleParty>
  <fees>none</fees>
  <accessConstraints>open</accessConstraints>
 </Service>
 <Capability>
  <Request>
   <GetCapabilities>
    <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/wcs?map=x"/></Get></HTTP></DCPType>
   </GetCapabilities>
   <DescribeCoverage>
    <DCPType><HTTP><Get><onlineResource xlink:href="http://demo/describe"/></Get></HTTP></DCPType>
   </DescribeCoverage>
   <GetCoverage>
    <DCPType><HTTP><Post><OnlineResource xlink:href="http://demo/post"/></Post></HTTP></DCPType>
    <DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/get"/></Get></HTTP></DCPType>
   </GetCoverage>
  </Request>
  <Exception><Format>application/vnd.ogc.se_xml</Format></Exception>
 </Capability>
 <ContentMetadata>
  <CoverageOfferingBrief>
   <description>Depths</description><name>depth</name><label>Depth</label>
   <lonLatEnvelope srsName="urn:ogc:def:crs:OGC:1.3:CRS84">
    <gml:pos>-180 -90</gml:pos>
    <gml:pos>180 90</gml:pos>
   </lonLatEnvelope>
  </CoverageOfferingBrief>
  <CoverageOfferingBrief>
   <name>slope</name>
   <lonLatEnvelope srsName="WGS84(DD)"><gml:pos>  -10   -20 </gml:pos><gml:pos>30 40</gml:pos></lonLatEnvelope>
  </CoverageOfferingBrief>
  <CoverageOfferingBrief><name>third</name></CoverageOfferingBrief>
 </ContentMetadata>
</WCS_Capabilities>)xml";

} // namespace

TEST(WCSCapabilitiesTest, ReadsService) {
    auto p = Read(kDoc);
    ASSERT_EQ(p->result, 1);
    const OGCServiceInfo& s = p->doc.Service;
    EXPECT_EQ(s.OnlineResource, "http://demo/meta-text") << "the metadata link's text, not its address";
    EXPECT_EQ(s.Abstract, "About it");
    EXPECT_EQ(s.Name, "demo WCS");
    EXPECT_EQ(s.Title, "Demo");
    EXPECT_EQ(Join(s.Keywords), "elevation|sea floor");
    EXPECT_EQ(s.Fees, "none");
    EXPECT_EQ(s.AccessConstraints, "open");
}

TEST(WCSCapabilitiesTest, RequestEndpoints) {
    auto p = Read(kDoc);
    const WCSCapability& cap = p->doc.Capability;
    EXPECT_EQ(cap.GetCapabilities.GetURL, "http://demo/wcs?map=x&");
    EXPECT_TRUE(cap.GetCapabilities.PostURL.IsEmpty());
    EXPECT_EQ(cap.DescribeCoverage.GetURL, "http://demo/describe?") << "the lower-case spelling is read too";
    EXPECT_TRUE(cap.DescribeCoverage.PostURL.IsEmpty());
    EXPECT_EQ(cap.GetCoverage.PostURL, "http://demo/post?");
    EXPECT_EQ(cap.GetCoverage.GetURL, "http://demo/get?");
    EXPECT_TRUE(cap.GetCoverage.Formats.IsEmpty());
}

TEST(WCSCapabilitiesTest, AMethodWithoutAddressKeepsTheLastOneRead) {
    const char* xml = R"(<WCS_Capabilities version="1.0.0"><Capability><Request>
  <VendorPing><DCPType><HTTP><Get><OnlineResource xlink:href="http://demo/ping"/></Get></HTTP></DCPType></VendorPing>
  <GetCapabilities><DCPType><HTTP><Get/></HTTP></DCPType></GetCapabilities>
  <describecoverage>
   <DCPType><Email/></DCPType>
   <DCPType><HTTP><Post><onlineResource xlink:href="http://demo/lower-post"/></Post></HTTP></DCPType>
  </describecoverage>
  <GetCoverage><DCPType><HTTP>
   <Get><OnlineResource xlink:href="http://demo/get"/></Get><Post><OnlineResource xlink:href="http://demo/post"/></Post>
  </HTTP></DCPType></GetCoverage>
 </Request></Capability>
 <ContentMetadata><CoverageOfferingBrief><name>after</name></CoverageOfferingBrief></ContentMetadata>
</WCS_Capabilities>)";
    auto p = Read(xml);
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

TEST(WCSCapabilitiesTest, CoverageBriefsInOrderWithTheirEnvelopes) {
    auto p = Read(kDoc);
    ASSERT_EQ(p->doc.Coverages.GetSize(), 3);

    const WCSCoverage* depth = p->doc.Coverages[0];
    EXPECT_EQ(depth->Name, "depth");
    EXPECT_EQ(depth->Title, "Depth");
    EXPECT_EQ(depth->Abstract, "Depths");
    EXPECT_EQ(depth->LatLonBox, PlxRect2D(-180, 90, 180, -90));
    EXPECT_EQ(Join(depth->SRSList), "urn:ogc:def:crs:OGC:1.3:CRS84");
    EXPECT_EQ(depth->EnvelopeSRS, "urn:ogc:def:crs:OGC:1.3:CRS84");

    const WCSCoverage* slope = p->doc.Coverages[1];
    EXPECT_EQ(slope->Name, "slope");
    EXPECT_EQ(slope->LatLonBox, PlxRect2D(-10, 40, 30, -20)) << "corners are lower-left then upper-right";
    EXPECT_EQ(Join(slope->SRSList), "WGS84(DD)");
    EXPECT_EQ(slope->EnvelopeSRS, "WGS84(DD)");

    const WCSCoverage* third = p->doc.Coverages[2];
    EXPECT_EQ(third->Name, "third");
    EXPECT_TRUE(third->SRSList.IsEmpty());
    EXPECT_TRUE(third->LatLonBox.IsNull());
}

TEST(WCSCapabilitiesTest, EnvelopesOfAnotherShapeGiveTheNullBox) {
    auto p = Read(Briefs({
        Pos("1 2") + Pos("3 4") + Pos("5 6"),  // three corners
        Pos("1 2 0") + Pos("3 4 0"),           // three numbers each
        Pos("1 2") + Pos("3"),                 // one number short
        Pos("1 2"),                            // a single corner
        "<pos>1 2</pos><pos>3 4</pos>",        // not GML
    }));
    ASSERT_EQ(p->doc.Coverages.GetSize(), 5);
    for (int i = 0; i < 5; ++i) {
        const WCSCoverage* c = p->doc.Coverages[i];
        EXPECT_TRUE(c->LatLonBox.IsNull()) << i;
        EXPECT_EQ(Join(c->SRSList), "WGS84(DD)") << i;
        EXPECT_EQ(c->EnvelopeSRS, "WGS84(DD)") << i;
    }
}

TEST(WCSCapabilitiesTest, EveryEnvelopeAddsItsNameAndTheLastSetsTheBox) {
    const char* xml = R"(<WCS_Capabilities version="1.0.0"><ContentMetadata><CoverageOfferingBrief>
  <lonLatEnvelope srsName="EPSG:4326"><gml:pos>1 2</gml:pos><gml:pos>3 4</gml:pos></lonLatEnvelope>
  <lonLatEnvelope srsName="CRS:84"><gml:pos>5 6</gml:pos></lonLatEnvelope>
 </CoverageOfferingBrief><CoverageOfferingBrief>
  <lonLatEnvelope><gml:pos>1 2</gml:pos><gml:pos>3 4</gml:pos></lonLatEnvelope>
 </CoverageOfferingBrief></ContentMetadata></WCS_Capabilities>)";
    auto p = Read(xml);
    ASSERT_EQ(p->doc.Coverages.GetSize(), 2);
    EXPECT_EQ(Join(p->doc.Coverages[0]->SRSList), "EPSG:4326|CRS:84");
    EXPECT_EQ(p->doc.Coverages[0]->EnvelopeSRS, "CRS:84");
    EXPECT_TRUE(p->doc.Coverages[0]->LatLonBox.IsNull());

    ASSERT_EQ(p->doc.Coverages[1]->SRSList.GetSize(), 1) << "an envelope without a name still adds one";
    EXPECT_EQ(p->doc.Coverages[1]->SRSList[0], "");
    EXPECT_EQ(p->doc.Coverages[1]->LatLonBox, PlxRect2D(1, 4, 3, 2));
}

TEST(WCSCapabilitiesTest, PrefixedRoot) {
    const char* xml = R"(<wcs:WCS_Capabilities wcs:version="1.0.0" xmlns:wcs="http://www.opengis.net/wcs">
 <wcs:Service><name>unprefixed</name><wcs:name>prefixed</wcs:name>
  <wcs:keywords><keyword>no</keyword><wcs:keyword>yes</wcs:keyword></wcs:keywords></wcs:Service>
 <wcs:Capability><wcs:Request>
  <wcs:GetCoverage><wcs:DCPType><wcs:HTTP><wcs:Get>
   <OnlineResource xlink:href="http://demo/plain"/><wcs:OnlineResource xlink:href="http://demo/own" wcs:xlink:href="x"/>
  </wcs:Get></wcs:HTTP></wcs:DCPType></wcs:GetCoverage>
  <DescribeCoverage><wcs:DCPType><wcs:HTTP><wcs:Get><wcs:OnlineResource xlink:href="http://demo/d"/></wcs:Get>
  </wcs:HTTP></wcs:DCPType></DescribeCoverage>
 </wcs:Request></wcs:Capability>
 <wcs:ContentMetadata>
  <CoverageOfferingBrief><name>ignored</name></CoverageOfferingBrief>
  <wcs:CoverageOfferingBrief><wcs:name>c</wcs:name>
   <wcs:lonLatEnvelope srsName="plain" wcs:srsName="own"><gml:pos>1 2</gml:pos><wcs:pos>7 7</wcs:pos>
    <gml:pos>3 4</gml:pos></wcs:lonLatEnvelope>
  </wcs:CoverageOfferingBrief>
 </wcs:ContentMetadata>
</wcs:WCS_Capabilities>)";
    auto p = Read(xml);
    ASSERT_EQ(p->result, 1);
    EXPECT_EQ(p->doc.Service.Name, "prefixed");
    EXPECT_EQ(Join(p->doc.Service.Keywords), "yes");
    EXPECT_EQ(p->doc.Capability.GetCoverage.GetURL, "http://demo/own?") << "xlink:href is never prefixed";
    EXPECT_TRUE(p->doc.Capability.DescribeCoverage.GetURL.IsEmpty()) << "request names carry the prefix too";
    ASSERT_EQ(p->doc.Coverages.GetSize(), 1);
    EXPECT_EQ(p->doc.Coverages[0]->Name, "c");
    EXPECT_EQ(p->doc.Coverages[0]->EnvelopeSRS, "own");
    EXPECT_EQ(p->doc.Coverages[0]->LatLonBox, PlxRect2D(1, 4, 3, 2)) << "positions are GML whatever the prefix";

    // The version attribute of a prefixed root must carry the prefix too.
    auto plain = Read(R"(<wcs:WCS_Capabilities version="1.0.0"><wcs:ContentMetadata>
      <wcs:CoverageOfferingBrief><wcs:name>c</wcs:name></wcs:CoverageOfferingBrief>
      </wcs:ContentMetadata></wcs:WCS_Capabilities>)");
    EXPECT_EQ(plain->result, 0);
    EXPECT_TRUE(plain->doc.Coverages.IsEmpty());
}

TEST(WCSCapabilitiesTest, RefusedDocumentsStayEmpty) {
    auto report = Read(R"(<ServiceExceptionReport version="1.0.0"><Service><name>n</name></Service>
      <ContentMetadata><CoverageOfferingBrief><name>c</name></CoverageOfferingBrief></ContentMetadata>
      </ServiceExceptionReport>)");
    EXPECT_EQ(report->result, 0);
    EXPECT_TRUE(report->doc.Service.Name.IsEmpty());
    EXPECT_TRUE(report->doc.Coverages.IsEmpty());

    std::string newer = kDoc;
    newer.replace(newer.find("version=\"1.0.0\" xmlns"), 15, "version=\"1.1.1\"");
    auto wrong = Read(newer);
    EXPECT_EQ(wrong->result, 0);
    EXPECT_TRUE(wrong->doc.Service.Name.IsEmpty());
    EXPECT_TRUE(wrong->doc.Coverages.IsEmpty());
    EXPECT_TRUE(wrong->doc.Capability.GetCoverage.GetURL.IsEmpty());
}

TEST(WCSCapabilitiesTest, ReadsForwardOnly) {
    // Name and label before description, as some servers write them.
    const char* xml = R"(<WCS_Capabilities version="1.0.0">
 <Service><name>n</name><label>l</label><description>d</description><fees>f</fees></Service>
 <ContentMetadata><CoverageOfferingBrief><name>missed</name></CoverageOfferingBrief></ContentMetadata>
 <Capability/>
</WCS_Capabilities>)";
    auto p = Read(xml);
    ASSERT_EQ(p->result, 1);
    EXPECT_EQ(p->doc.Service.Abstract, "d");
    EXPECT_TRUE(p->doc.Service.Name.IsEmpty()) << "the search for name starts after description";
    EXPECT_TRUE(p->doc.Service.Title.IsEmpty());
    EXPECT_EQ(p->doc.Service.Fees, "f");
    EXPECT_TRUE(p->doc.Coverages.IsEmpty()) << "content before the capability is not seen";
}

TEST(WCSCapabilitiesTest, CoverageRecordsOutliveTheDocument) {
    WCSCoverage* kept = nullptr;
    {
        WCSCapabilities100 doc;
        VmMarkup markup;
        ASSERT_TRUE(markup.SetDoc(kDoc));
        ASSERT_EQ(doc.Parse(markup), 1);
        ASSERT_EQ(doc.Coverages.GetSize(), 3);
        kept = doc.Coverages[0];
        delete doc.Coverages[1];
        delete doc.Coverages[2];
    }
    EXPECT_EQ(kept->Name, "depth");
    delete kept;

    WCSCapabilities100 doc;
    VmMarkup markup;
    ASSERT_TRUE(markup.SetDoc(kDoc));
    doc.Parse(markup);
    doc.ReleaseCoverages();
    EXPECT_TRUE(doc.Coverages.IsEmpty());
}

TEST(WCSCapabilitiesTest, LoadFile) {
    TempFolder folder;
    PlxMBString path = folder.Path("wcs.xml");
    std::ofstream(path.c_str()) << kDoc;

    std::unique_ptr<OGCCapabilities> reader(OGCCapabilities::CreateReader("wcs", "1.0.0"));
    ASSERT_NE(reader, nullptr);
    auto* doc = static_cast<WCSCapabilities*>(reader.get());
    CoverageGuard guard{doc};
    EXPECT_EQ(reader->ServiceType, "WCS");
    ASSERT_EQ(reader->LoadFile(path), 1);
    EXPECT_EQ(doc->Service.Name, "demo WCS");
    EXPECT_EQ(doc->Coverages.GetSize(), 3);

    WCSCapabilities110 newer;
    EXPECT_EQ(newer.LoadFile(path), 0);
    EXPECT_TRUE(newer.Coverages.IsEmpty());
}

TEST(SplitPositionsTest, CollapsesRunsAndKeepsTheLastPiece) {
    PlxArray<PlxMBString> out;
    SplitPositions("1  2", out, " ");
    EXPECT_EQ(Join(out), "1|2");

    out.RemoveAll();
    SplitPositions("  -180.5   90 ", out, " ");
    EXPECT_EQ(Join(out), "-180.5|90") << "trimmed first";

    out.RemoveAll();
    SplitPositions("", out, " ");
    ASSERT_EQ(out.GetSize(), 1);
    EXPECT_EQ(out[0], "");

    out.RemoveAll();
    out.Add("kept");
    SplitPositions("3 4 5", out, " ");
    EXPECT_EQ(Join(out), "kept|3|4|5") << "the list is not emptied first";

    out.RemoveAll();
    SplitPositions("7 8", out, "");
    EXPECT_EQ(Join(out), "7 8") << "no delimiter, no split";
}
