#include "ScriptedCapabilities.h"

#include <strings.h>

namespace ogctest {

bool IsRequest(const ScriptedRequest& r, const std::string& request) {
    for (const auto& p : r.params)
        if (strcasecmp(p.first.c_str(), "REQUEST") == 0) return strcasecmp(p.second.c_str(), request.c_str()) == 0;
    return false;
}

std::string WmsCapabilities(const std::string& version, const std::string& mapEndpoint,
                            const std::vector<std::string>& formats, const std::string& layers) {
    const bool v130 = version == "1.3.0";
    const std::string root = v130 ? "WMS_Capabilities" : "WMT_MS_Capabilities";
    std::string xml =
        "<" + root + " version=\"" + version + "\"><Service><Name>WMS</Name></Service><Capability><Request>";
    if (version == "1.0.0") {
        xml += "<Map><Format>";
        for (const auto& f : formats) xml += "<" + f + "/>";
        xml += "</Format><DCPType><HTTP><Get onlineResource=\"" + mapEndpoint + "\"/></HTTP></DCPType></Map>";
    } else {
        xml += "<GetMap>";
        for (const auto& f : formats) xml += "<Format>" + f + "</Format>";
        xml += "<DCPType><HTTP><Get><OnlineResource xlink:href=\"" + mapEndpoint +
               "\"/></Get></HTTP></DCPType></GetMap>";
    }
    xml += "</Request><Layer><Title>Scripted</Title>";
    xml += v130 ? "<CRS>EPSG:4326</CRS>" : "<SRS>EPSG:4326</SRS>";
    xml += v130 ? "<EX_GeographicBoundingBox><westBoundLongitude>0</westBoundLongitude><southBoundLatitude>-10"
                  "</southBoundLatitude><eastBoundLongitude>20</eastBoundLongitude><northBoundLatitude>10"
                  "</northBoundLatitude></EX_GeographicBoundingBox>"
                : "<LatLonBoundingBox minx=\"0\" miny=\"-10\" maxx=\"20\" maxy=\"10\"/>";
    return xml + layers + "</Layer></Capability></" + root + ">";
}

std::string WmsLayer(const std::string& name, bool queryable) {
    return std::string(queryable ? "<Layer queryable=\"1\">" : "<Layer>") + "<Name>" + name + "</Name></Layer>";
}

std::string WfsCapabilities(const std::string& schemaEndpoint, const std::string& featureEndpoint,
                            const std::string& featureTypes) {
    return "<WFS_Capabilities version=\"1.0.0\"><Service><Name>WFS</Name></Service><Capability><Request>"
           "<DescribeFeatureType><SchemaDescriptionLanguage><XMLSCHEMA/></SchemaDescriptionLanguage>"
           "<DCPType><HTTP><Get onlineResource=\"" + schemaEndpoint + "\"/></HTTP></DCPType></DescribeFeatureType>"
           "<GetFeature><ResultFormat><GML2/></ResultFormat>"
           "<DCPType><HTTP><Get onlineResource=\"" + featureEndpoint + "\"/></HTTP></DCPType></GetFeature>"
           "</Request></Capability><FeatureTypeList><Operations><Query/></Operations>" + featureTypes +
           "</FeatureTypeList></WFS_Capabilities>";
}

std::string WfsFeatureType(const std::string& name, const std::string& title, const std::string& srs) {
    return "<FeatureType><Name>" + name + "</Name><Title>" + title + "</Title><SRS>" + srs +
           "</SRS><LatLongBoundingBox minx=\"0\" miny=\"40\" maxx=\"10\" maxy=\"50\"/></FeatureType>";
}

std::string WcsCapabilities(const std::string& capabilitiesEndpoint, const std::string& coverageEndpoint,
                            const std::string& offerings) {
    auto operation = [](const char* name, const std::string& endpoint) {
        return std::string("<") + name + "><DCPType><HTTP><Get><OnlineResource xlink:href=\"" + endpoint +
               "\"/></Get></HTTP></DCPType></" + name + ">";
    };
    return "<WCS_Capabilities version=\"1.0.0\"><Service><name>WCS</name><label>Scripted</label></Service>"
           "<Capability><Request>" + operation("GetCapabilities", capabilitiesEndpoint) +
           operation("DescribeCoverage", "http://127.0.0.1:1/never") + operation("GetCoverage", coverageEndpoint) +
           "</Request></Capability><ContentMetadata>" + offerings + "</ContentMetadata></WCS_Capabilities>";
}

std::string WcsOffering(const std::string& name, const std::string& label) {
    return "<CoverageOfferingBrief><name>" + name + "</name>" + (label.empty() ? "" : "<label>" + label + "</label>") +
           "<lonLatEnvelope srsName=\"WGS84(DD)\"><gml:pos>0 40</gml:pos><gml:pos>10 50</gml:pos></lonLatEnvelope>"
           "</CoverageOfferingBrief>";
}

std::string WmtsCapabilities(const std::string& tileEndpoint, int levels, const std::string& layers) {
    std::string matrices;
    double scale = 559082264.0287178;
    for (int z = 0; z < levels; ++z, scale /= 2) {
        const std::string n = std::to_string(1 << z);
        matrices += "<TileMatrix><ows:Identifier>" + std::to_string(z) + "</ows:Identifier><ScaleDenominator>" +
                    std::to_string(scale) + "</ScaleDenominator><TopLeftCorner>-20037508.3427892 20037508.3427892"
                    "</TopLeftCorner><TileWidth>256</TileWidth><TileHeight>256</TileHeight><MatrixWidth>" + n +
                    "</MatrixWidth><MatrixHeight>" + n + "</MatrixHeight></TileMatrix>";
    }
    return "<Capabilities xmlns=\"http://www.opengis.net/wmts/1.0\" xmlns:ows=\"http://www.opengis.net/ows/1.1\" "
           "xmlns:xlink=\"http://www.w3.org/1999/xlink\" version=\"1.0.0\"><ows:OperationsMetadata>"
           "<ows:Operation name=\"GetTile\"><ows:DCP><ows:HTTP><ows:Get xlink:href=\"" + tileEndpoint +
           "?\"><ows:Constraint name=\"GetEncoding\"><ows:AllowedValues><ows:Value>KVP</ows:Value>"
           "</ows:AllowedValues></ows:Constraint></ows:Get></ows:HTTP></ows:DCP></ows:Operation>"
           "</ows:OperationsMetadata><Contents>" + layers + "<TileMatrixSet><ows:Identifier>merc</ows:Identifier>"
           "<ows:SupportedCRS>urn:ogc:def:crs:EPSG::3857</ows:SupportedCRS>" + matrices +
           "</TileMatrixSet></Contents></Capabilities>";
}

std::string WmtsLayer(const std::string& identifier, const std::string& title, const std::string& set) {
    return "<Layer><ows:Title>" + title + "</ows:Title><ows:Identifier>" + identifier +
           "</ows:Identifier><Style isDefault=\"true\"><ows:Identifier>default</ows:Identifier></Style>"
           "<Format>image/png</Format><TileMatrixSetLink><TileMatrixSet>" + set +
           "</TileMatrixSet></TileMatrixSetLink></Layer>";
}

} // namespace ogctest
