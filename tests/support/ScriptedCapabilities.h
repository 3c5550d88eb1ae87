// Capabilities documents for the scripted servers of the plug-in tests: the
// least each reader accepts, with the endpoints and contents a test varies.
#pragma once

#include "ScriptedServer.h"

#include <string>
#include <vector>

namespace ogctest {

// Whether the request's REQUEST parameter names `request`, both without case.
bool IsRequest(const ScriptedRequest& r, const std::string& request);

// A WMS of `version` (1.0.0 in its own words) whose maps come from
// `mapEndpoint` in `formats`; `layers` (WmsLayer) lie under one root layer in
// EPSG:4326 over longitude 0..20, latitude -10..10.
std::string WmsCapabilities(const std::string& version, const std::string& mapEndpoint,
                            const std::vector<std::string>& formats, const std::string& layers);
std::string WmsLayer(const std::string& name, bool queryable);

// A WFS 1.0.0 whose schemas and features come from the two endpoints.
std::string WfsCapabilities(const std::string& schemaEndpoint, const std::string& featureEndpoint,
                            const std::string& featureTypes);
// A feature type over longitude 0..10, latitude 40..50.
std::string WfsFeatureType(const std::string& name, const std::string& title, const std::string& srs);

// A WCS 1.0.0: descriptions go to the capabilities address, `capabilitiesEndpoint`;
// its DescribeCoverage endpoint is a closed port that must never be used.
std::string WcsCapabilities(const std::string& capabilitiesEndpoint, const std::string& coverageEndpoint,
                            const std::string& offerings);
// An offering over longitude 0..10, latitude 40..50; no label when `label` is empty.
std::string WcsOffering(const std::string& name, const std::string& label);

// A WMTS with one Web Mercator set "merc" of `levels` levels (1, 2, 4... tiles
// of 256 pixels across), tiles from `tileEndpoint` by key-value pairs.
std::string WmtsCapabilities(const std::string& tileEndpoint, int levels, const std::string& layers);
// A PNG layer; no title when `title` is empty.
std::string WmtsLayer(const std::string& identifier, const std::string& title, const std::string& set = "merc");

} // namespace ogctest
