// Every request the engine sends, against every way a server or the network
// can fail it: what the caller gets back, what is logged, which downloads stay
// behind, and that the call comes back at all. One scripted server plays a
// whole WMS / WFS / WCS / WMTS; in each cell one kind of request gets the fault
// and everything else is answered properly. The expected outcomes are kCells;
// with OGCWEB_RELIABILITY_TABLE naming a file they are also written there as a
// Markdown table (`make reliability` regenerates docs/reliability.md).
#include "ScriptedCapabilities.h"
#include "ScriptedServer.h"
#include "TestImages.h"
#include "TestSupport.h"
#include "VmDataSourceOGC.h"
#include "VmDatasetRasterWCS.h"
#include "VmDatasetRasterWMS.h"
#include "VmDatasetRasterWMTS.h"
#include "VmDatasetVectorWFS.h"
#include "VmNetwork.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

using namespace VMK;
using ogctest::ScriptedRequest;
using ogctest::ScriptedResponse;
using ogctest::ScriptedServer;

namespace {

enum class Req {
    WmsProbe, WmsCaps, WfsProbe, WfsCaps, WcsProbe, WcsCaps,
    GetMap, GetFeatureInfo, DescribeFeatureType, GetFeature, DescribeCoverage, GetCoverage,
    WmtsCaps, WmtsTile,
    Count
};

enum class Fault {
    Refused, Status500, Html404, Exception200, Exception400, Empty, CutShort, Stall, Oversize,
    NotImage, WrongType, Redirect,
    Count
};

// Each row's name in the table, and the REQUEST (lower case) and SERVICE of its requests.
struct RequestKind {
    const char* name;
    const char* request;
    const char* service;
};

const RequestKind& Kind(Req r) {
    static const RequestKind kinds[] = {
        {"WMS capabilities probe", "getcapabilities", "wms"}, {"WMS capabilities download", "getcapabilities", "wms"},
        {"WFS capabilities probe", "getcapabilities", "wfs"}, {"WFS capabilities download", "getcapabilities", "wfs"},
        {"WCS capabilities probe", "getcapabilities", "wcs"}, {"WCS capabilities download", "getcapabilities", "wcs"},
        {"GetMap", "getmap", "wms"}, {"GetFeatureInfo", "getfeatureinfo", "wms"},
        {"DescribeFeatureType", "describefeaturetype", "wfs"}, {"GetFeature (query)", "getfeature", "wfs"},
        {"DescribeCoverage", "describecoverage", "wcs"}, {"GetCoverage", "getcoverage", "wcs"},
        {"WMTS capabilities", "getcapabilities", "wmts"}, {"WMTS tile", "gettile", "wmts"}};
    return kinds[static_cast<int>(r)];
}
const char* Name(Req r) { return Kind(r).name; }
const char* RequestOf(Req r) { return Kind(r).request; }
const char* ServiceOf(Req r) { return Kind(r).service; }

const char* Name(Fault f) {
    static const char* names[] = {"refused", "500", "404 HTML", "exception, 200", "exception, 400", "empty",
                                  "cut short", "stall", "over cap", "not an image", "wrong type",
                                  "302 elsewhere"};
    return names[static_cast<int>(f)];
}

bool IsImageRequest(Req r) { return r == Req::GetMap || r == Req::GetCoverage || r == Req::WmtsTile; }
bool IsProbe(Req r) { return r == Req::WmsProbe || r == Req::WfsProbe || r == Req::WcsProbe; }

// `result` is the caller's view: "fail" an Open that returns false; "ok" the
// request served its purpose; "null" no raster / recordset; for
// GetFeatureInfo "1, no fields" (the call reports success whatever came
// back); for tiles "not cached (n)" with the status the download callback
// reported (1 failed, 2 not an image). `log` is the distinct codes logged, in
// order, joined with "+"; `kept` how many downloads stay behind.
struct Cell {
    Req request;
    Fault fault;
    const char* result;
    const char* log;
    int kept;
    const char* remark = "";
};

const Cell kCells[] = {
    // Every probe of the negotiation gets the fault, so no version is agreed.
    {Req::WmsProbe, Fault::Refused, "fail", "", 0},
    {Req::WmsProbe, Fault::Status500, "fail", "", 0},
    {Req::WmsProbe, Fault::Html404, "fail", "", 0},
    {Req::WmsProbe, Fault::Exception200, "fail", "", 0},
    {Req::WmsProbe, Fault::Exception400, "fail", "", 0},
    {Req::WmsProbe, Fault::Empty, "fail", "", 0},
    {Req::WmsProbe, Fault::CutShort, "ok", "", 0, "the version is read from the root's start tag, and no further"},
    {Req::WmsProbe, Fault::Stall, "fail", "", 0, "five probes, each waits for the time-out"},
    {Req::WmsProbe, Fault::Oversize, "ok", "", 0, "as cut short"},
    {Req::WmsProbe, Fault::WrongType, "ok", "", 0, "content type of documents is not looked at"},
    {Req::WmsProbe, Fault::Redirect, "ok", "", 0},

    {Req::WmsCaps, Fault::Refused, "fail", "", 0},
    {Req::WmsCaps, Fault::Status500, "fail", "", 0},
    {Req::WmsCaps, Fault::Html404, "fail", "", 0},
    {Req::WmsCaps, Fault::Exception200, "open, no layers", "EHa003", 0,
     "an unreadable document still opens, with an empty map dataset"},
    {Req::WmsCaps, Fault::Exception400, "fail", "", 0},
    {Req::WmsCaps, Fault::Empty, "open, no layers", "EHa003", 0, "as the exception report"},
    {Req::WmsCaps, Fault::CutShort, "fail", "", 0},
    {Req::WmsCaps, Fault::Stall, "fail", "", 0},
    {Req::WmsCaps, Fault::Oversize, "fail", "", 0},
    {Req::WmsCaps, Fault::WrongType, "ok", "", 0},
    {Req::WmsCaps, Fault::Redirect, "ok", "", 0},

    {Req::WfsProbe, Fault::Refused, "fail", "", 0},
    {Req::WfsProbe, Fault::Status500, "fail", "", 0},
    {Req::WfsProbe, Fault::Html404, "fail", "", 0},
    {Req::WfsProbe, Fault::Exception200, "fail", "", 0},
    {Req::WfsProbe, Fault::Exception400, "fail", "", 0},
    {Req::WfsProbe, Fault::Empty, "fail", "", 0},
    {Req::WfsProbe, Fault::CutShort, "ok", "", 0},
    {Req::WfsProbe, Fault::Stall, "fail", "", 0},
    {Req::WfsProbe, Fault::Oversize, "ok", "", 0},
    {Req::WfsProbe, Fault::WrongType, "ok", "", 0},
    {Req::WfsProbe, Fault::Redirect, "ok", "", 0},

    {Req::WfsCaps, Fault::Refused, "fail", "", 0},
    {Req::WfsCaps, Fault::Status500, "fail", "", 0},
    {Req::WfsCaps, Fault::Html404, "fail", "", 0},
    {Req::WfsCaps, Fault::Exception200, "open, 0 datasets", "", 0,
     "an unreadable document opens a source with no feature types"},
    {Req::WfsCaps, Fault::Exception400, "fail", "", 0},
    {Req::WfsCaps, Fault::Empty, "open, 0 datasets", "", 0, "as the exception report"},
    {Req::WfsCaps, Fault::CutShort, "fail", "", 0},
    {Req::WfsCaps, Fault::Stall, "fail", "", 0},
    {Req::WfsCaps, Fault::Oversize, "fail", "", 0},
    {Req::WfsCaps, Fault::WrongType, "ok", "", 0},
    {Req::WfsCaps, Fault::Redirect, "ok", "", 0},

    // Only coverage services log a negotiation that agreed on nothing.
    {Req::WcsProbe, Fault::Refused, "fail", "EAe006", 0, "only WCS logs a failed negotiation"},
    {Req::WcsProbe, Fault::Status500, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::Html404, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::Exception200, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::Exception400, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::Empty, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::CutShort, "ok", "", 0},
    {Req::WcsProbe, Fault::Stall, "fail", "EAe006", 0},
    {Req::WcsProbe, Fault::Oversize, "ok", "", 0},
    {Req::WcsProbe, Fault::WrongType, "ok", "", 0},
    {Req::WcsProbe, Fault::Redirect, "ok", "", 0},

    {Req::WcsCaps, Fault::Refused, "fail", "", 0},
    {Req::WcsCaps, Fault::Status500, "fail", "", 0},
    {Req::WcsCaps, Fault::Html404, "fail", "", 0},
    {Req::WcsCaps, Fault::Exception200, "open, 0 datasets", "", 0, "as for WFS"},
    {Req::WcsCaps, Fault::Exception400, "fail", "", 0},
    {Req::WcsCaps, Fault::Empty, "open, 0 datasets", "", 0},
    {Req::WcsCaps, Fault::CutShort, "fail", "", 0},
    {Req::WcsCaps, Fault::Stall, "fail", "", 0},
    {Req::WcsCaps, Fault::Oversize, "fail", "", 0},
    {Req::WcsCaps, Fault::WrongType, "ok", "", 0},
    {Req::WcsCaps, Fault::Redirect, "ok", "", 0},

    // A failed download reaches the size check with no file: "EIb003".
    {Req::GetMap, Fault::Refused, "null", "EIb003", 0},
    {Req::GetMap, Fault::Status500, "null", "EIb003", 0},
    {Req::GetMap, Fault::Html404, "null", "EIb003", 0},
    {Req::GetMap, Fault::Exception200, "null", "", 1, "an XML answer is not imported, not logged, and stays"},
    {Req::GetMap, Fault::Exception400, "null", "EIb003", 0},
    {Req::GetMap, Fault::Empty, "null", "EIb003", 0},
    {Req::GetMap, Fault::CutShort, "null", "EIb003", 0},
    {Req::GetMap, Fault::Stall, "null", "EIb003", 0},
    {Req::GetMap, Fault::Oversize, "null", "EIb003", 0},
    {Req::GetMap, Fault::NotImage, "null", "ELg050", 1, "a failed import leaves its download"},
    {Req::GetMap, Fault::WrongType, "ok", "", 0, "the image is recognised by its content"},
    {Req::GetMap, Fault::Redirect, "ok", "", 0},

    // The call returns 1 whatever the answers were; the reader decides what stays.
    {Req::GetFeatureInfo, Fault::Refused, "1, no fields", "", 0, "sent to the GetMap endpoint, no credentials"},
    {Req::GetFeatureInfo, Fault::Status500, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::Html404, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::Exception200, "1, no fields", "", 1, "XML answers are never deleted"},
    {Req::GetFeatureInfo, Fault::Exception400, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::Empty, "1, no fields", "", 1, "only a successful text read deletes its file"},
    {Req::GetFeatureInfo, Fault::CutShort, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::Stall, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::Oversize, "1, no fields", "", 0},
    {Req::GetFeatureInfo, Fault::WrongType, "ok", "", 0},
    {Req::GetFeatureInfo, Fault::Redirect, "ok", "", 0},

    // The schema is asked for at Open and again by the query.
    {Req::DescribeFeatureType, Fault::Refused, "ok", "EAf013", 0,
     "a query asks the GetFeature endpoint for the schema, so a dead DescribeFeatureType endpoint only costs "
     "the schema read at Open"},
    {Req::DescribeFeatureType, Fault::Status500, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::Html404, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::Exception200, "null", "ELj010+ELg049", 0},
    {Req::DescribeFeatureType, Fault::Exception400, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::Empty, "null", "EEh007", 0},
    {Req::DescribeFeatureType, Fault::CutShort, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::Stall, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::Oversize, "null", "EAf013+EEh007", 0},
    {Req::DescribeFeatureType, Fault::WrongType, "ok", "", 0},
    {Req::DescribeFeatureType, Fault::Redirect, "ok", "", 0},

    {Req::GetFeature, Fault::Refused, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Status500, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Html404, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Exception200, "null", "ELj010+ELg049", 0},
    {Req::GetFeature, Fault::Exception400, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Empty, "null", "EEh007", 0},
    {Req::GetFeature, Fault::CutShort, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Stall, "null", "EEh007", 0},
    {Req::GetFeature, Fault::Oversize, "null", "EEh007", 0},
    {Req::GetFeature, Fault::WrongType, "ok", "", 0},
    {Req::GetFeature, Fault::Redirect, "ok", "", 0},

    // The description is read at Open; without one the coverage has no
    // format and no CRS, and GetCoverage returns null.
    {Req::DescribeCoverage, Fault::Refused, "null", "", 0,
     "description read at Open; without it the coverage has no format or CRS and GetCoverage gives null"},
    {Req::DescribeCoverage, Fault::Status500, "null", "", 0},
    {Req::DescribeCoverage, Fault::Html404, "null", "", 0},
    {Req::DescribeCoverage, Fault::Exception200, "null", "", 1, "only a read description is deleted"},
    {Req::DescribeCoverage, Fault::Exception400, "null", "", 0},
    {Req::DescribeCoverage, Fault::Empty, "null", "", 1},
    {Req::DescribeCoverage, Fault::CutShort, "null", "", 0},
    {Req::DescribeCoverage, Fault::Stall, "null", "", 0},
    {Req::DescribeCoverage, Fault::Oversize, "null", "", 0},
    {Req::DescribeCoverage, Fault::WrongType, "ok", "", 0},
    {Req::DescribeCoverage, Fault::Redirect, "ok", "", 0},

    // A failed download goes on to an import of nothing: "EIe010".
    {Req::GetCoverage, Fault::Refused, "null", "EIe010", 0, "a failed download is reported as a failed import"},
    {Req::GetCoverage, Fault::Status500, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::Html404, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::Exception200, "null", "", 1, "an XML answer is not imported, not logged, and stays"},
    {Req::GetCoverage, Fault::Exception400, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::Empty, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::CutShort, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::Stall, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::Oversize, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::NotImage, "null", "EIe010", 0},
    {Req::GetCoverage, Fault::WrongType, "ok", "", 0, "the format comes from the request"},
    {Req::GetCoverage, Fault::Redirect, "ok", "", 0},

    {Req::WmtsCaps, Fault::Refused, "fail", "", 0, "the tile service logs nothing"},
    {Req::WmtsCaps, Fault::Status500, "fail", "", 0},
    {Req::WmtsCaps, Fault::Html404, "fail", "", 0},
    {Req::WmtsCaps, Fault::Exception200, "fail", "", 0},
    {Req::WmtsCaps, Fault::Exception400, "fail", "", 0},
    {Req::WmtsCaps, Fault::Empty, "fail", "", 0},
    {Req::WmtsCaps, Fault::CutShort, "fail", "", 0},
    {Req::WmtsCaps, Fault::Stall, "fail", "", 0},
    {Req::WmtsCaps, Fault::Oversize, "fail", "", 0},
    {Req::WmtsCaps, Fault::WrongType, "ok", "", 0},
    {Req::WmtsCaps, Fault::Redirect, "ok", "", 0},

    // The tile stub reports through its callback and logs nothing.
    {Req::WmtsTile, Fault::Refused, "not cached (1)", "", 0, "failures reach the download callback only"},
    {Req::WmtsTile, Fault::Status500, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::Html404, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::Exception200, "not cached (2)", "", 0},
    {Req::WmtsTile, Fault::Exception400, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::Empty, "not cached (2)", "", 0},
    {Req::WmtsTile, Fault::CutShort, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::Stall, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::Oversize, "not cached (1)", "", 0},
    {Req::WmtsTile, Fault::NotImage, "not cached (2)", "", 0},
    {Req::WmtsTile, Fault::WrongType, "ok", "", 0},
    {Req::WmtsTile, Fault::Redirect, "ok", "", 0},
};

// Short enough that a stalled request costs a second, long enough that a
// loaded machine still serves the healthy requests.
constexpr long kConnectTimeoutMs = 2000;
constexpr long kStallTimeoutSec = 1;
constexpr long kTotalTimeoutSec = 5;
constexpr long long kSizeCap = 1024LL * 1024;
constexpr int kStallMs = 8000;  // the server stays silent well past the time-outs

const char* kPassword = "pw-0f-alice";
const char* kCredentials = "YWxpY2U6cHctMGYtYWxpY2U=";  // base64 of "alice:pw-0f-alice"

std::string Lower(std::string text) {
    for (char& ch : text) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return text;
}

std::string Param(const ScriptedRequest& r, const char* key) {
    for (const auto& p : r.params)
        if (Lower(p.first) == Lower(key)) return p.second;
    return std::string();
}

const char* kSchema = R"(<xsd:schema xmlns:xsd="http://www.w3.org/2001/XMLSchema">
 <xsd:complexType name="townsType"><xsd:complexContent><xsd:extension base="gml:AbstractFeatureType"><xsd:sequence>
  <xsd:element name="the_geom" type="gml:PointPropertyType"/>
  <xsd:element name="NAME" type="xsd:string"/>
 </xsd:sequence></xsd:extension></xsd:complexContent></xsd:complexType>
 <xsd:element name="towns" type="ns:townsType"/>
</xsd:schema>)";

const char* kFeatures =
    "<wfs:FeatureCollection xmlns:wfs=\"http://www.opengis.net/wfs\" xmlns:gml=\"http://www.opengis.net/gml\">"
    "<gml:boundedBy><gml:Box srsName=\"EPSG:4326\"><gml:coordinates>0,40 10,50</gml:coordinates></gml:Box>"
    "</gml:boundedBy><gml:featureMember><ns:towns fid=\"towns.1\"><ns:the_geom><gml:Point><gml:coordinates>"
    "5,45</gml:coordinates></gml:Point></ns:the_geom><ns:NAME>Alpha</ns:NAME></ns:towns></gml:featureMember>"
    "</wfs:FeatureCollection>";

const char* kDescription = R"(<CoverageDescription version="1.0.0"><CoverageOffering><name>dem</name>
 <domainSet><spatialDomain>
  <gml:Envelope srsName="EPSG:4326"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></gml:Envelope>
  <gml:RectifiedGrid dimension="2"><gml:limits><gml:GridEnvelope><gml:low>0 0</gml:low><gml:high>100 100</gml:high>
  </gml:GridEnvelope></gml:limits></gml:RectifiedGrid>
 </spatialDomain></domainSet>
 <supportedCRSs><requestResponseCRSs>EPSG:4326</requestResponseCRSs></supportedCRSs>
 <supportedFormats nativeFormat="GeoTIFF"><formats>GeoTIFF</formats><formats>image/tiff</formats></supportedFormats>
</CoverageOffering></CoverageDescription>)";

// Images are made once: GDAL is not quick under the sanitizers.
const std::string& MapImage() { static const std::string image = ogctest::MakeImage("PNG", 64, 32); return image; }
const std::string& CoverageImage() {
    static const std::string image = ogctest::MakeImage("GTiff", 101, 101, 1);
    return image;
}
const std::string& TileImage() { static const std::string image = ogctest::MakeImage("PNG", 256, 256, 3); return image; }

std::string ExceptionReport(bool wmts) {
    if (wmts)
        return "<ows:ExceptionReport xmlns:ows=\"http://www.opengis.net/ows/1.1\" version=\"1.0.0\"><ows:Exception "
               "exceptionCode=\"TileOutOfRange\"/></ows:ExceptionReport>";
    return "<ServiceExceptionReport version=\"1.1.1\"><ServiceException code=\"InvalidParameterValue\">"
           "scripted failure</ServiceException></ServiceExceptionReport>";
}

// One cell's services: the main server answers everything properly except
// the faulted kind of request while the fault is armed; a second one, under
// another host name and port, is where redirects lead.
class Services {
public:
    explicit Services(const Cell& cell) : m_cell(cell), m_closedPort(ogctest::ClosedLoopbackPort()) {
        m_other = std::make_unique<ScriptedServer>([this](const ScriptedRequest& r) { return Normal(r); });
        m_main = std::make_unique<ScriptedServer>([this](const ScriptedRequest& r) { return Answer(r); });
        m_mainBase = m_main->Url("");
    }

    void Arm(bool armed) { m_armed = armed; }
    // The closed port when the scenario's first request is the refused one.
    std::string Address(const char* path) const {
        const bool refusedFirst =
            m_cell.fault == Fault::Refused && (IsProbe(m_cell.request) || m_cell.request == Req::WmtsCaps);
        return (refusedFirst ? Closed() : m_mainBase) + path;
    }
    // The main server goes away, so that its port refuses what comes next.
    void CloseMain() { m_main.reset(); }
    int FaultsServed() const { return m_faultsServed.load(); }
    std::vector<ScriptedRequest> MainRequests() const { return m_main ? m_main->Requests() : std::vector<ScriptedRequest>(); }
    std::vector<ScriptedRequest> OtherRequests() const { return m_other->Requests(); }

private:
    std::string Closed() const { return "http://127.0.0.1:" + std::to_string(m_closedPort); }
    std::string Endpoint(Req r) const {
        return (m_cell.fault == Fault::Refused && m_cell.request == r ? Closed() : m_mainBase) + "/ows";
    }

    bool Targeted(const ScriptedRequest& r) const {
        return m_armed && Lower(Param(r, "REQUEST")) == RequestOf(m_cell.request) &&
               (RequestOf(m_cell.request) != std::string("getcapabilities") ||
                Lower(Param(r, "SERVICE")) == ServiceOf(m_cell.request));
    }

    ScriptedResponse Answer(const ScriptedRequest& r) {
        ScriptedResponse normal = Normal(r);
        // Refused requests go to the closed port; one that still arrives
        // here was sent to another endpoint and is answered properly.
        if (!Targeted(r) || m_cell.fault == Fault::Refused) return normal;
        ++m_faultsServed;
        const bool wmts = ServiceOf(m_cell.request) == std::string("wmts");
        const char* exceptionType = wmts ? "text/xml" : "application/vnd.ogc.se_xml";
        switch (m_cell.fault) {
        case Fault::Status500: return ScriptedResponse::Status(500, "Internal Server Error");
        case Fault::Html404:
            return ScriptedResponse::Status(404, "<html><head><title>404 Not Found</title></head><body>"
                                                 "<h1>Not Found</h1></body></html>", "text/html");
        case Fault::Exception200: return ScriptedResponse::Ok(ExceptionReport(wmts), exceptionType);
        case Fault::Exception400: return ScriptedResponse::Status(400, ExceptionReport(wmts), exceptionType);
        case Fault::Empty: return ScriptedResponse::Ok("", normal.contentType);
        case Fault::CutShort:
            return ScriptedResponse::Truncated(normal.body.substr(0, normal.body.size() / 2),
                                               static_cast<long long>(normal.body.size()), normal.contentType);
        case Fault::Stall: return ScriptedResponse::Stall(kStallMs, normal);
        case Fault::Oversize:
            // Chunked without a length: the cap is enforced while the body
            // arrives, not read off a header.
            normal.body.append(static_cast<size_t>(kSizeCap) + 64 * 1024 - normal.body.size(), ' ');
            normal.framing = ScriptedResponse::Framing::Chunked;
            normal.sliceBytes = 64 * 1024;
            return normal;
        case Fault::NotImage: return ScriptedResponse::Ok("\x89PNG\r\n\x1a\n but not an image at all", normal.contentType);
        case Fault::WrongType:
            normal.contentType = IsImageRequest(m_cell.request) ? "text/html" : "image/png";
            return normal;
        case Fault::Redirect: {
            std::string location = m_other->Url(r.target);
            location.replace(0, std::string("http://127.0.0.1:").size(), "http://localhost:");
            return ScriptedResponse::Redirect(location);
        }
        default: return normal;
        }
    }

    ScriptedResponse Normal(const ScriptedRequest& r) const {
        const std::string request = Lower(Param(r, "REQUEST")), service = Lower(Param(r, "SERVICE"));
        if (request == "getcapabilities") {
            if (service == "wms")
                return ScriptedResponse::Ok(ogctest::WmsCapabilities(
                    "1.1.1", Endpoint(m_cell.request == Req::GetFeatureInfo ? Req::GetFeatureInfo : Req::GetMap),
                    {"image/png"}, ogctest::WmsLayer("ns1:A", true) + ogctest::WmsLayer("ns1:B", false)));
            if (service == "wfs")
                return ScriptedResponse::Ok(ogctest::WfsCapabilities(Endpoint(Req::DescribeFeatureType),
                    Endpoint(Req::GetFeature), ogctest::WfsFeatureType("ns:towns", "Towns", "EPSG:4326")));
            if (service == "wcs")
                return ScriptedResponse::Ok(ogctest::WcsCapabilities(Endpoint(Req::DescribeCoverage),
                    Endpoint(Req::GetCoverage), ogctest::WcsOffering("dem", "Elevation")));
            if (service == "wmts")
                return ScriptedResponse::Ok(
                    ogctest::WmtsCapabilities(Endpoint(Req::WmtsTile), 2, ogctest::WmtsLayer("roads", "Roads")));
        }
        if (request == "getmap") return ScriptedResponse::Ok(MapImage(), "image/png");
        if (request == "getfeatureinfo")
            return ScriptedResponse::Ok("Results:\r\n-----------\r\nNAME = Elm\r\nLANES = 2\r\n", "text/plain");
        if (request == "describefeaturetype") return ScriptedResponse::Ok(kSchema);
        if (request == "getfeature") return ScriptedResponse::Ok(kFeatures);
        if (request == "describecoverage") return ScriptedResponse::Ok(kDescription);
        if (request == "getcoverage") return ScriptedResponse::Ok(CoverageImage(), "image/tiff");
        if (request == "gettile") return ScriptedResponse::Ok(TileImage(), "image/png");
        return ScriptedResponse::Status(400, ExceptionReport(false), "application/vnd.ogc.se_xml");
    }

    const Cell m_cell;
    const int m_closedPort;
    std::atomic<bool> m_armed{false};
    std::atomic<int> m_faultsServed{0};
    std::string m_mainBase;
    std::unique_ptr<ScriptedServer> m_other;  // before the main server, which refers to it
    std::unique_ptr<ScriptedServer> m_main;
};

std::unique_ptr<VmDataSourceOGC> NewSource(const std::string& address, const char* kind) {
    auto source = std::make_unique<VmDataSourceOGC>();
    source->GetConnectionInfo().Server = address.c_str();
    source->GetConnectionInfo().ServiceKind = kind;
    source->GetConnectionInfo().User = "alice";
    source->GetConnectionInfo().Password = kPassword;
    return source;
}

// Open's own steps, so that the fault can be armed for the negotiation only
// or for the document download only. They leave the source marked closed, and
// a closed source's destructor leaves its datasets alone: they go here.
std::string OpenInSteps(VmDataSourceOGC& source, Services& services, const Cell& cell) {
    struct DatasetsRemoved {
        VmDataSourceOGC& source;
        ~DatasetsRemoved() {
            while (source.GetDatasetCount() > 0 &&
                   source.DeleteDataset(source.GetDataset(source.GetDatasetCount() - 1)->GetName())) {
            }
        }
    } cleanup{source};
    const bool probe = IsProbe(cell.request);
    const std::string kind = ServiceOf(cell.request);
    source.GetConnectionInfo().Target = kind.c_str();
    source.AutoPatchURL();
    services.Arm(probe);
    if (!source.VersionNegotiate()) return "fail";
    services.Arm(!probe);
    if (!probe && cell.fault == Fault::Refused) services.CloseMain();
    if (!source.GetCapabilities()) return "fail";
    services.Arm(false);
    if (kind == "wms") {
        auto* map = dynamic_cast<VmDatasetRasterWMS*>(source.GetDataset(0));
        if (!map) return "open, no dataset";
        VmWebLayersInfos layers;
        map->GetAllLayers(layers);
        return layers.GetSize() == 2 ? "ok" : "open, no layers";
    }
    return source.GetDatasetCount() == 1 ? "ok" : "open, " + std::to_string(source.GetDatasetCount()) + " datasets";
}

struct TileEvents {
    std::atomic<int> responses{0};
    std::atomic<int> lastStatus{-1};
};

void OnTileResponse(uint64_t user, const VmTile*, int status) {
    auto* events = reinterpret_cast<TileEvents*>(user);
    events->lastStatus = status;
    ++events->responses;
}

std::string RunScenario(const Cell& cell, Services& services, TempFolder& temp) {
    const Req req = cell.request;
    if (req <= Req::WcsCaps) return OpenInSteps(*NewSource(services.Address("/ows"), ServiceOf(req)), services, cell);
    if (req == Req::WmtsCaps || req == Req::WmtsTile) {
        auto source = NewSource(services.Address("/wmts"), "wmts");
        source->GetConnectionInfo().Target = temp.Path("cache");
        services.Arm(req == Req::WmtsCaps);
        if (!source->Open()) return "fail";
        if (source->GetDatasetCount() != 1) return "open, " + std::to_string(source->GetDatasetCount()) + " datasets";
        if (req == Req::WmtsCaps) return "ok";
        auto* roads = dynamic_cast<VmDatasetRasterWMTS*>(source->GetDataset(0));
        if (!roads || !roads->Open()) return "dataset not opened";
        TileEvents events;
        roads->SetDownloadResponseFunc(OnTileResponse, reinterpret_cast<uint64_t>(&events));
        services.Arm(true);
        const double world = 20037508.3427892;
        if (!roads->Request(roads->GetScales()[0], PlxRect2D(-world, world, world, -world), 0)) return "not requested";
        // The time-outs end every download; this only keeps a broken queue
        // from holding the whole test program.
        for (int i = 0; i < 3000 && !(events.responses.load() >= 1 && roads->IsComplete()); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (events.responses.load() < 1) return "no answer";
        roads->Close();  // stops the workers before `events` goes
        const int status = events.lastStatus.load();
        return status == 0 ? "ok" : "not cached (" + std::to_string(status) + ")";
    }
    // The description requests are faulted from Open on; GetFeatureInfo goes
    // to the GetMap endpoint, so no map is drawn first.
    auto source = NewSource(services.Address("/ows"), ServiceOf(req));
    services.Arm(req == Req::DescribeFeatureType || req == Req::DescribeCoverage);
    if (!source->Open()) return "open failed";
    auto* map = dynamic_cast<VmDatasetRasterWMS*>(source->GetDataset(0));
    auto* towns = dynamic_cast<VmDatasetVectorWFS*>(source->GetDataset(0));
    auto* dem = dynamic_cast<VmDatasetRasterWCS*>(source->GetDataset(0));
    if (!map && !towns && !dem) return "no dataset";
    services.Arm(true);
    if (req == Req::GetMap) {
        VmDatasetRaster* raster = map->GetDatasetRaster(PlxRect2D(0, 10, 20, -10), 64, 32, "");
        if (!raster) return "null";
        return raster->GetWidth() == 64 && raster->GetHeight() == 32 ? "ok" : "wrong raster";
    }
    if (req == Req::GetFeatureInfo) {
        PlxDict<PlxMBString, PlxMBString> fields;
        const int answer = map->GetWMSFeatureInfos(5, 5, fields);
        PlxMBString name;
        if (answer == 1 && fields.Lookup("NAME", name) && name == "Elm") return "ok";
        return std::to_string(answer) + (fields.GetCount() == 0 ? ", no fields" : ", fields");
    }
    if (towns) {
        VmQueryDef def;
        def.QueryType = VmQueryDef::QueryBounds;
        def.Bounds = PlxRect2D(0, 50, 10, 40);
        VmRecordset* records = towns->Query(def);
        if (!records) return "null";
        return records->GetRecordCount() == 1 ? "ok" : std::to_string(records->GetRecordCount()) + " records";
    }
    return dem->GetDatasetRaster(PlxRect2D(2, 48, 8, 42), 64, 64, "") ? "ok" : "null";
}

struct Outcome {
    std::string result;
    std::string log;
    std::set<std::string> leftovers;
};

Outcome RunCell(const Cell& cell) {
    Outcome outcome;
    TempFolder temp;
    LogCapture log;
    {
        Services services(cell);
        outcome.result = RunScenario(cell, services, temp);
        // The fault was really served (a refused request cannot be counted).
        if (cell.fault != Fault::Refused) {
            EXPECT_GE(services.FaultsServed(), 1) << "the faulted request was never sent";
        }
        if (cell.fault == Fault::Redirect) {
            EXPECT_FALSE(services.OtherRequests().empty()) << "the redirect was not followed";
        }
        // Credentials stay with the host they were given for, and the
        // password goes nowhere else.
        std::vector<ScriptedRequest> everything = services.MainRequests();
        for (const ScriptedRequest& r : services.OtherRequests()) {
            EXPECT_FALSE(r.HasHeader("Authorization")) << "credentials followed a redirect to " << r.target;
            everything.push_back(r);
        }
        for (const ScriptedRequest& r : everything) {
            EXPECT_EQ(r.target.find(kPassword), std::string::npos) << r.target;
            for (const auto& header : r.headers) {
                if (Lower(header.first) != "authorization") {
                    EXPECT_EQ(header.second.find(kPassword), std::string::npos) << header.first;
                }
            }
        }
    }
    for (const VmLogEntry& entry : VmLogFile::GetInstance(false).Entries()) {
        for (const PlxMBString* text : {&entry.code, &entry.detail}) {
            EXPECT_EQ(text->Find(kPassword), -1) << "password in the log: " << text->str();
            EXPECT_EQ(text->Find(kCredentials), -1) << "credentials in the log: " << text->str();
        }
        const std::string code = entry.code.str();
        if (("+" + outcome.log + "+").find("+" + code + "+") == std::string::npos)
            outcome.log += (outcome.log.empty() ? "" : "+") + code;
    }
    for (const std::string& name : temp.Files()) {
        if (name != "cache") {
            outcome.leftovers.insert(name);
            continue;
        }
        // The tile cache keeps its description and cache file, and nothing half-written.
        for (const auto& entry : std::filesystem::directory_iterator(temp.Path("cache").str()))
            EXPECT_EQ(entry.path().filename().string().find(".part"), std::string::npos) << entry.path();
    }
    return outcome;
}

std::string CellText(const std::string& result, const std::string& log, int kept) {
    std::string text = result;
    if (!log.empty()) text += ", " + log;
    if (kept > 0) text += ", file kept";
    return text;
}

void WriteTable(const std::string& path, const std::map<std::pair<int, int>, std::string>& cells,
                const std::map<int, std::string>& remarks) {
    std::ofstream out(path);
    out << "# Reliability: every request against every fault\n\n"
           "Generated by the test `FaultMatrix.EveryRequestAgainstEveryFault` "
           "(`tests/plugin/test_fault_matrix.cpp`); regenerate with `make reliability`.\n\n"
           "A scripted loopback server plays a whole WMS 1.1.1, WFS 1.0.0, WCS 1.0.0 and WMTS. For each cell one "
           "kind of request is answered with the fault and every other request properly; the data source has a "
           "user name and a password. Each cell checks the result, the log codes written, which downloads stay in "
           "the temporary folder, that the call returns, that no credentials follow a redirect to another host, "
           "and that the password is in no log entry.\n\n"
           "- Capabilities rows: *probe* faults every request of the version negotiation, *download* only the "
           "document download that follows an agreed version. The result is that of `Open`.\n"
           "- DescribeFeatureType and DescribeCoverage are faulted from `Open` on (both are sent while the "
           "datasets are created); the result is that of the query or GetCoverage that follows.\n"
           "- WMTS tile: one tile is requested through the tiled dataset; the number is the status its "
           "download callback reported (1 failed, 2 not an image).\n\n"
           "Faults: *refused* a closed loopback port; *500* and *404 HTML* error pages; *exception* an OGC "
           "exception report with status 200 or 400; *empty* a 200 without body; *cut short* a Content-Length "
           "larger than what is sent, then the connection closes; *stall* no answer for "
        << kStallMs / 1000
        << " s; *over cap* a chunked answer 64 KiB over the size cap (the cap is set to "
        << kSizeCap / (1024 * 1024)
        << " MiB for the test, standing in for a 50 MB answer); *not an image* a PNG signature followed by text "
           "(image requests only); *wrong type* the right body with text/html for images and image/png for "
           "documents; *302 elsewhere* a redirect to the same path on another host name and port.\n\n"
           "Time-outs used: connect "
        << kConnectTimeoutMs << " ms, stall " << kStallTimeoutSec << " s, whole request " << kTotalTimeoutSec
        << " s (`VmHttpSettings`).\n\n"
           "Cells: the result, then the log codes, then \"file kept\" when a download stays in the temporary "
           "folder (only where the engine's rules keep it). \"ok\" means the request served its purpose.\n\n";
    out << "| Request |";
    for (int f = 0; f < static_cast<int>(Fault::Count); ++f) out << ' ' << Name(static_cast<Fault>(f)) << " |";
    out << " Remarks |\n|---|";
    for (int f = 0; f < static_cast<int>(Fault::Count); ++f) out << "---|";
    out << "---|\n";
    for (int r = 0; r < static_cast<int>(Req::Count); ++r) {
        out << "| " << Name(static_cast<Req>(r)) << " |";
        for (int f = 0; f < static_cast<int>(Fault::Count); ++f) {
            auto it = cells.find({r, f});
            out << ' ' << (it == cells.end() ? std::string("n/a") : it->second) << " |";
        }
        auto remark = remarks.find(r);
        out << ' ' << (remark == remarks.end() ? std::string() : remark->second) << " |\n";
    }
}

} // namespace

TEST(FaultMatrix, EveryRequestAgainstEveryFault) {
    VmHttpSettings saved = VmHttpSettings::Get();
    VmHttpSettings quick = saved;
    quick.connectTimeoutMs = kConnectTimeoutMs;
    quick.stallTimeoutSec = kStallTimeoutSec;
    quick.totalTimeoutSec = kTotalTimeoutSec;
    quick.maxBytes = kSizeCap;
    VmHttpSettings::Set(quick);

    // Every (request, fault) pair that makes sense appears exactly once.
    std::set<std::pair<int, int>> seen;
    for (const Cell& cell : kCells)
        EXPECT_TRUE(seen.insert({static_cast<int>(cell.request), static_cast<int>(cell.fault)}).second)
            << Name(cell.request) << " / " << Name(cell.fault) << " twice";
    for (int r = 0; r < static_cast<int>(Req::Count); ++r)
        for (int f = 0; f < static_cast<int>(Fault::Count); ++f) {
            const bool applies = static_cast<Fault>(f) != Fault::NotImage || IsImageRequest(static_cast<Req>(r));
            EXPECT_EQ(seen.count({r, f}), applies ? 1u : 0u)
                << Name(static_cast<Req>(r)) << " / " << Name(static_cast<Fault>(f));
        }

    std::map<std::pair<int, int>, std::string> table;
    std::map<int, std::string> remarks;
    for (const Cell& cell : kCells) {
        SCOPED_TRACE(std::string(Name(cell.request)) + " / " + Name(cell.fault));
        const Outcome outcome = RunCell(cell);
        EXPECT_EQ(outcome.result, cell.result);
        EXPECT_EQ(outcome.log, cell.log);
        const int kept = static_cast<int>(outcome.leftovers.size());
        EXPECT_EQ(kept, cell.kept) << "left behind: " << ::testing::PrintToString(outcome.leftovers);
        table[{static_cast<int>(cell.request), static_cast<int>(cell.fault)}] = CellText(outcome.result, outcome.log, kept);
        if (*cell.remark) {
            std::string& text = remarks[static_cast<int>(cell.request)];
            text += (text.empty() ? "" : "; ") + std::string(Name(cell.fault)) + ": " + cell.remark;
        }
    }
    VmHttpSettings::Set(saved);

    if (const char* path = std::getenv("OGCWEB_RELIABILITY_TABLE"); path && *path) WriteTable(path, table, remarks);
}
