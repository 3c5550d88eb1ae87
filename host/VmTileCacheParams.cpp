// WMTS 1.0.0 capabilities: reading, the per-layer parameters and tile addresses.
#include "VmTileCache.h"

#include "VmNetwork.h"
#include "VmStream.h"
#include "VmToolkit.h"

#include <ogr_spatialref.h>
#include <cpl_error.h>
#include <pugixml.hpp>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace VMK {

namespace {

const char* const kWmtsNamespace = "http://www.opengis.net/wmts/1.0";
// Degrees are turned into metres with the equatorial circumference of the
// WGS 84 ellipsoid, as every tile server does for its scale denominators.
constexpr double kMetersPerDegree = 6378137.0 * 2.0 * 3.14159265358979323846 / 360.0;
constexpr double kMercatorHalfWorld = 20037508.342789244;

std::string Lower(std::string text) {
    for (char& ch : text)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return text;
}

bool EqualNoCase(const std::string& a, const std::string& b) { return Lower(a) == Lower(b); }

std::string Trim(const std::string& text) {
    const char* space = " \t\r\n";
    const size_t first = text.find_first_not_of(space);
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(space) - first + 1);
}

bool EndsWithNoCase(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && EqualNoCase(text.substr(text.size() - tail.size()), tail);
}

// --- XML, by local name: documents use any prefix (or none) for both
// namespaces, so prefixes are ignored throughout.

const char* LocalName(const char* name) {
    const char* colon = std::strrchr(name, ':');
    return colon ? colon + 1 : name;
}

bool Is(const pugi::xml_node& node, const char* local) {
    return node.type() == pugi::node_element && std::strcmp(LocalName(node.name()), local) == 0;
}

pugi::xml_node Child(const pugi::xml_node& node, const char* local) {
    for (pugi::xml_node child : node.children())
        if (Is(child, local)) return child;
    return pugi::xml_node();
}

std::vector<pugi::xml_node> Children(const pugi::xml_node& node, const char* local) {
    std::vector<pugi::xml_node> found;
    for (pugi::xml_node child : node.children())
        if (Is(child, local)) found.push_back(child);
    return found;
}

std::string Text(const pugi::xml_node& node) {
    std::string text;
    for (pugi::xml_node part : node.children())
        if (part.type() == pugi::node_pcdata || part.type() == pugi::node_cdata) text += part.value();
    return Trim(text);
}

std::string ChildText(const pugi::xml_node& node, const char* local) { return Text(Child(node, local)); }

std::string Attribute(const pugi::xml_node& node, const char* local) {
    for (pugi::xml_attribute attribute : node.attributes())
        if (std::strcmp(LocalName(attribute.name()), local) == 0) return Trim(attribute.value());
    return std::string();
}

bool ParseDouble(const std::string& text, double& value) {
    const std::string trimmed = Trim(text);
    if (trimmed.empty()) return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtod(trimmed.c_str(), &end);
    return end && *end == '\0' && errno == 0 && std::isfinite(value);
}

bool ParseInt(const std::string& text, int& value) {
    double number = 0.0;
    // Some servers write "256.0".
    if (!ParseDouble(text, number) || number != std::floor(number) || std::fabs(number) > 2147483647.0) return false;
    value = static_cast<int>(number);
    return true;
}

bool ParsePair(const std::string& text, double& a, double& b) {
    std::string normalised = text;
    std::replace(normalised.begin(), normalised.end(), ',', ' ');
    const char* p = normalised.c_str();
    char* end = nullptr;
    errno = 0;
    a = std::strtod(p, &end);
    if (end == p || errno != 0) return false;
    p = end;
    b = std::strtod(p, &end);
    if (end == p || errno != 0) return false;
    return std::isfinite(a) && std::isfinite(b);
}

// --- Coordinate systems

struct CrsInfo {
    int epsg = 0;
    bool geographic = false;
    bool northingFirst = false;  // the system's own axis order puts y (or latitude) first
    double metersPerUnit = 1.0;
};

bool IsMercatorAlias(int code) {
    return code == 3857 || code == 900913 || code == 3785 || code == 102100 || code == 102113 || code == 41001;
}

int CodeOf(const std::string& lowered) {
    const size_t end = lowered.find_last_of("0123456789");
    if (end == std::string::npos) return 0;
    size_t begin = end;
    while (begin > 0 && lowered[begin - 1] >= '0' && lowered[begin - 1] <= '9') --begin;
    // The number must be the last item of the name ("...:3857", ".../3857").
    if (end + 1 != lowered.size()) return 0;
    if (begin == 0 || lowered[begin - 1] == ':' || lowered[begin - 1] == '/')
        return std::atoi(lowered.substr(begin, end - begin + 1).c_str());
    return 0;
}

CrsInfo LookupCrs(const std::string& name) {
    const std::string lowered = Lower(Trim(name));
    CrsInfo info;
    if (lowered.find("crs84") != std::string::npos || lowered == "crs:84") {
        info.epsg = 4326;
        info.geographic = true;
        info.northingFirst = false;  // CRS84 is longitude first by definition
        info.metersPerUnit = kMetersPerDegree;
        return info;
    }
    const int code = CodeOf(lowered);
    if (code <= 0) return info;
    if (IsMercatorAlias(code)) {
        info.epsg = 3857;
        return info;
    }
    static std::mutex s_mutex;
    static std::map<int, CrsInfo> s_known;
    {
        std::lock_guard<std::mutex> lock(s_mutex);
        auto it = s_known.find(code);
        if (it != s_known.end()) return it->second;
    }
    info.epsg = code;
    OGRSpatialReference srs;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    const bool known = srs.importFromEPSG(code) == OGRERR_NONE;
    CPLPopErrorHandler();
    if (known) {
        info.geographic = srs.IsGeographic() != 0;
        info.northingFirst = srs.EPSGTreatsAsLatLong() != 0 || srs.EPSGTreatsAsNorthingEasting() != 0;
        if (info.geographic) {
            info.metersPerUnit = kMetersPerDegree;
        } else {
            const double units = srs.GetLinearUnits();
            info.metersPerUnit = units > 0.0 && std::isfinite(units) ? units : 1.0;
        }
    }
    std::lock_guard<std::mutex> lock(s_mutex);
    s_known[code] = info;
    return info;
}

bool Near(double value, double target, double relative) {
    return std::fabs(value - target) <= relative * std::fabs(target);
}

// Resolutions computed from scale denominators carry the rounding of the
// printed denominators; for world-wide pyramids the exact value is known
// (world width / (tile width * 2^z)) and taking it makes tile edges and the
// pixel space line up exactly.
double SnapResolution(double resolution, int tileWidth, double worldWidth) {
    if (worldWidth <= 0.0 || tileWidth <= 0 || !(resolution > 0.0)) return resolution;
    const double ratio = worldWidth / (tileWidth * resolution);
    const double z = std::round(std::log2(ratio));
    if (z < -4 || z > 40) return resolution;
    const double exact = std::ldexp(worldWidth / tileWidth, -static_cast<int>(z));
    return Near(resolution, exact, 1e-6) ? exact : resolution;
}

double SnapCoordinate(double value, std::initializer_list<double> targets) {
    for (double target : targets)
        if (std::fabs(value - target) <= 1e-7) return target;
    return value;
}

double Overlap(double left, double top, double right, double bottom) {
    const double w = std::min(right, 180.0) - std::max(left, -180.0);
    const double h = std::min(top, 90.0) - std::max(bottom, -90.0);
    return w > 0 && h > 0 ? w * h : 0.0;
}

// --- Strings for URLs and file names

std::string Escape(const std::string& value) {
    static const char* hex = "0123456789ABCDEF";
    std::string out;
    for (unsigned char ch : value) {
        if ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
            std::strchr("-_.~:/,", ch) != nullptr) {
            out += static_cast<char>(ch);
        } else {
            out += '%';
            out += hex[ch >> 4];
            out += hex[ch & 15];
        }
    }
    return out;
}

std::string AppendQuery(const std::string& base, const std::string& query) {
    if (base.find('?') == std::string::npos) return base + "?" + query;
    const char last = base.empty() ? '?' : base.back();
    if (last == '?' || last == '&') return base + query;
    return base + "&" + query;
}

std::string Hex8(const std::string& text) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, "%08x", VmStringEx(PlxMBString(text)).HashVal());
    return buffer;
}

std::string SafeName(const std::string& text) {
    std::string out;
    bool changed = text.empty();
    for (char ch : text) {
        const bool plain = (ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') ||
                           ch == '_' || ch == '-' || (ch == '.' && !out.empty());
        out += plain ? ch : '_';
        changed = changed || !plain;
    }
    if (out.size() > 64) {
        out.resize(64);
        changed = true;
    }
    // Distinct names that clean up to the same text keep distinct files.
    if (changed) out += "-" + Hex8(text);
    return out;
}

// Splits a query into its pieces, keeping order and spelling.
std::vector<std::string> QueryPieces(const std::string& query) {
    std::vector<std::string> pieces;
    size_t start = 0;
    while (start <= query.size()) {
        size_t amp = query.find('&', start);
        if (amp == std::string::npos) amp = query.size();
        if (amp > start) pieces.push_back(query.substr(start, amp - start));
        start = amp + 1;
    }
    return pieces;
}

std::string PieceKey(const std::string& piece) { return Lower(piece.substr(0, piece.find('='))); }

// The address without the capabilities request's own parameters: what KVP
// requests are sent to when the document names no GetTile address.
std::string StripServiceParameters(const std::string& address) {
    const size_t question = address.find('?');
    if (question == std::string::npos) return address;
    std::string kept;
    for (const std::string& piece : QueryPieces(address.substr(question + 1))) {
        const std::string key = PieceKey(piece);
        if (key == "service" || key == "request" || key == "version") continue;
        kept += piece + "&";
    }
    return address.substr(0, question + 1) + kept;
}

std::string ReplaceNoCase(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    const std::string lowerFrom = Lower(from);
    size_t pos = 0;
    while ((pos = Lower(text).find(lowerFrom, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

} // namespace

// ---------------------------------------------------------------------------
// The parsed document: immutable once built, shared by every object made from it.

namespace {

struct MatrixDef {
    std::string id;
    double scale = 0.0;
    double a = 0.0, b = 0.0;  // TopLeftCorner as written
    bool corner = false;
    int tileWidth = 0, tileHeight = 0, matrixWidth = 0, matrixHeight = 0;
};

struct SetDef {
    std::string id;
    std::string crs;
    std::string wellKnown;
    std::vector<MatrixDef> matrices;
};

struct LimitDef {
    std::string matrix;
    int minRow = 0, maxRow = -1, minCol = 0, maxCol = -1;
};

struct LinkDef {
    std::string set;
    std::vector<LimitDef> limits;
};

struct ResourceDef {
    std::string format;
    std::string type;
    std::string tmpl;
};

struct DimensionDef {
    std::string id;
    std::string value;
};

struct LayerDef {
    std::string id;
    std::string title;
    std::vector<std::string> formats;
    std::string style;
    std::vector<LinkDef> links;
    std::vector<ResourceDef> resources;
    std::vector<DimensionDef> dimensions;
    PlxRect2D wgs84;
};

} // namespace

struct VmWMTSParams::Document {
    std::vector<LayerDef> layers;
    std::vector<SetDef> sets;
    std::string kvpAddress;     // a GetTile Get address that says it takes KVP
    std::string unconstrainedAddress;  // one that does not say which encoding it takes
    bool hasOperations = false; // the document describes its GetTile operation
    std::string sourceAddress;  // the service address the document was loaded for

    const SetDef* FindSet(const std::string& id) const {
        for (const SetDef& set : sets)
            if (set.id == id) return &set;
        return nullptr;
    }
};

namespace {

using Document = VmWMTSParams::Document;

bool ParseDocument(const pugi::xml_document& xml, Document& doc, std::string& error) {
    const pugi::xml_node root = xml.document_element();
    if (!root) {
        error = "empty document";
        return false;
    }
    const std::string local = LocalName(root.name());
    if (local == "ExceptionReport" || local == "ServiceExceptionReport") {
        pugi::xml_node exception = Child(root, "Exception");
        error = "exception report: " + Attribute(exception, "exceptionCode") + " " + ChildText(exception, "ExceptionText");
        return false;
    }
    if (local != "Capabilities") {
        error = "not WMTS capabilities: root element " + std::string(root.name());
        return false;
    }
    const std::string name = root.name();
    const size_t colon = name.find(':');
    const std::string nsAttribute = colon == std::string::npos ? "xmlns" : "xmlns:" + name.substr(0, colon);
    const std::string ns = Trim(root.attribute(nsAttribute.c_str()).value());
    if (!ns.empty() && ns != kWmtsNamespace) {
        error = "not WMTS capabilities: namespace " + ns;
        return false;
    }
    const pugi::xml_node contents = Child(root, "Contents");
    if (ns.empty() && !contents) {
        error = "not WMTS capabilities: no namespace and no Contents";
        return false;
    }
    const std::string version = Trim(root.attribute("version").value());
    if (!version.empty() && version != "1.0.0") {
        error = "WMTS version " + version + " is not 1.0.0";
        return false;
    }

    // GetTile addresses.
    const pugi::xml_node operations = Child(root, "OperationsMetadata");
    for (pugi::xml_node operation : Children(operations, "Operation")) {
        if (!EqualNoCase(Attribute(operation, "name"), "GetTile")) continue;
        doc.hasOperations = true;
        for (pugi::xml_node dcp : Children(operation, "DCP"))
            for (pugi::xml_node http : Children(dcp, "HTTP"))
                for (pugi::xml_node get : Children(http, "Get")) {
                    const std::string href = Attribute(get, "href");
                    if (href.empty()) continue;
                    bool constrained = false, kvp = false;
                    for (pugi::xml_node constraint : Children(get, "Constraint")) {
                        if (!EqualNoCase(Attribute(constraint, "name"), "GetEncoding")) continue;
                        constrained = true;
                        pugi::xml_node allowed = Child(constraint, "AllowedValues");
                        for (pugi::xml_node value : Children(allowed ? allowed : constraint, "Value"))
                            if (EqualNoCase(Text(value), "KVP")) kvp = true;
                    }
                    if (kvp && doc.kvpAddress.empty()) doc.kvpAddress = href;
                    if (!constrained && doc.unconstrainedAddress.empty()) doc.unconstrainedAddress = href;
                }
    }

    for (pugi::xml_node node : Children(contents, "TileMatrixSet")) {
        SetDef set;
        set.id = ChildText(node, "Identifier");
        set.crs = ChildText(node, "SupportedCRS");
        set.wellKnown = ChildText(node, "WellKnownScaleSet");
        if (set.id.empty()) continue;
        for (pugi::xml_node matrixNode : Children(node, "TileMatrix")) {
            MatrixDef matrix;
            matrix.id = ChildText(matrixNode, "Identifier");
            const bool ok = !matrix.id.empty() && ParseDouble(ChildText(matrixNode, "ScaleDenominator"), matrix.scale) &&
                            ParseInt(ChildText(matrixNode, "TileWidth"), matrix.tileWidth) &&
                            ParseInt(ChildText(matrixNode, "TileHeight"), matrix.tileHeight) &&
                            ParseInt(ChildText(matrixNode, "MatrixWidth"), matrix.matrixWidth) &&
                            ParseInt(ChildText(matrixNode, "MatrixHeight"), matrix.matrixHeight);
            matrix.corner = ParsePair(ChildText(matrixNode, "TopLeftCorner"), matrix.a, matrix.b);
            if (ok && matrix.corner && matrix.scale > 0.0) set.matrices.push_back(matrix);
        }
        if (!doc.FindSet(set.id)) doc.sets.push_back(std::move(set));
    }

    for (pugi::xml_node node : Children(contents, "Layer")) {
        LayerDef layer;
        layer.id = ChildText(node, "Identifier");
        if (layer.id.empty()) continue;
        bool duplicate = false;
        for (const LayerDef& other : doc.layers) duplicate = duplicate || other.id == layer.id;
        if (duplicate) continue;
        // Several titles in several languages: the one without a language
        // is the document's own, else the first.
        for (pugi::xml_node title : Children(node, "Title")) {
            const bool plain = Attribute(title, "lang").empty();
            if (layer.title.empty() || plain) layer.title = Text(title);
            if (plain && !layer.title.empty()) break;
        }
        pugi::xml_node box = Child(node, "WGS84BoundingBox");
        double x0 = 0, y0 = 0, x1 = 0, y1 = 0;
        if (box && ParsePair(ChildText(box, "LowerCorner"), x0, y0) && ParsePair(ChildText(box, "UpperCorner"), x1, y1))
            layer.wgs84 = PlxRect2D(x0, y1, x1, y0);
        std::string firstStyle;
        for (pugi::xml_node style : Children(node, "Style")) {
            const std::string id = ChildText(style, "Identifier");
            if (firstStyle.empty()) firstStyle = id;
            if (EqualNoCase(Attribute(style, "isDefault"), "true") && layer.style.empty()) layer.style = id;
        }
        if (layer.style.empty()) layer.style = firstStyle;
        for (pugi::xml_node format : Children(node, "Format")) {
            const std::string text = Text(format);
            if (!text.empty()) layer.formats.push_back(text);
        }
        for (pugi::xml_node linkNode : Children(node, "TileMatrixSetLink")) {
            LinkDef link;
            for (pugi::xml_node limits : Children(linkNode, "TileMatrixSetLimits"))
                for (pugi::xml_node limitNode : Children(limits, "TileMatrixLimits")) {
                    LimitDef limit;
                    limit.matrix = ChildText(limitNode, "TileMatrix");
                    if (ParseInt(ChildText(limitNode, "MinTileRow"), limit.minRow) &&
                        ParseInt(ChildText(limitNode, "MaxTileRow"), limit.maxRow) &&
                        ParseInt(ChildText(limitNode, "MinTileCol"), limit.minCol) &&
                        ParseInt(ChildText(limitNode, "MaxTileCol"), limit.maxCol) && !limit.matrix.empty())
                        link.limits.push_back(limit);
                }
            // Some servers list several sets in one link; each is a link of its own.
            for (pugi::xml_node setNode : Children(linkNode, "TileMatrixSet")) {
                link.set = Text(setNode);
                if (!link.set.empty()) layer.links.push_back(link);
            }
        }
        for (pugi::xml_node resource : Children(node, "ResourceURL")) {
            ResourceDef def;
            def.format = Attribute(resource, "format");
            def.type = Attribute(resource, "resourceType");
            def.tmpl = Attribute(resource, "template");
            if (!def.tmpl.empty()) layer.resources.push_back(def);
        }
        for (pugi::xml_node dimension : Children(node, "Dimension")) {
            DimensionDef def;
            def.id = ChildText(dimension, "Identifier");
            def.value = ChildText(dimension, "Default");
            if (def.value.empty()) def.value = ChildText(dimension, "Value");
            if (!def.id.empty()) layer.dimensions.push_back(def);
        }
        doc.layers.push_back(std::move(layer));
    }
    return true;
}

std::shared_ptr<const Document> ParseFile(const PlxMBString& path, const std::string& address, std::string& error) {
    pugi::xml_document xml;
    const pugi::xml_parse_result result = xml.load_file(path.c_str(), pugi::parse_default);
    if (!result) {
        error = std::string("not XML: ") + result.description();
        return nullptr;
    }
    auto doc = std::make_shared<Document>();
    doc->sourceAddress = address;
    if (!ParseDocument(xml, *doc, error)) return nullptr;
    return doc;
}

bool IsTileResource(const ResourceDef& resource) { return EqualNoCase(resource.type, "tile"); }

bool LayerHasRest(const LayerDef& layer) {
    for (const ResourceDef& resource : layer.resources)
        if (IsTileResource(resource)) return true;
    return false;
}

bool IsWebMercator(const SetDef& set) { return LookupCrs(set.crs).epsg == 3857; }

bool IsGoogleMapsCompatible(const SetDef& set) {
    return Lower(set.wellKnown).find("googlemapscompatible") != std::string::npos ||
           Lower(set.id).find("googlemapscompatible") != std::string::npos;
}

// The layer's pyramid in one set; false when nothing usable is left.
bool BuildPyramid(const LayerDef& layer, const LinkDef& link, const SetDef& set, VmTilePyramid& pyramid) {
    (void)layer;
    const CrsInfo crs = LookupCrs(set.crs);
    pyramid = VmTilePyramid();
    pyramid.TileMatrixSet = set.id;
    pyramid.SupportedCRS = set.crs;
    pyramid.EpsgCode = crs.epsg;
    pyramid.Geographic = crs.geographic;
    pyramid.MetersPerUnit = crs.metersPerUnit;
    if (set.matrices.empty()) return false;

    // Axis order. The system's own order first; for geographic systems the
    // corner is read the other way round when only that places the first
    // matrix over the world, because servers often write longitude first
    // where the system says latitude first (and the reverse).
    bool swap = crs.northingFirst;
    if (crs.geographic) {
        const MatrixDef& first = set.matrices.front();
        const double width = first.matrixWidth * first.tileWidth * first.scale * 0.00028 / crs.metersPerUnit;
        const double height = first.matrixHeight * first.tileHeight * first.scale * 0.00028 / crs.metersPerUnit;
        auto overlapOf = [&](bool swapped) {
            const double x = swapped ? first.b : first.a;
            const double y = swapped ? first.a : first.b;
            return Overlap(x, y, x + width, y - height);
        };
        if (overlapOf(!swap) > overlapOf(swap) * (1.0 + 1e-9)) swap = !swap;
    }
    const double worldWidth = crs.epsg == 3857 ? 2.0 * kMercatorHalfWorld : crs.geographic ? 360.0 : 0.0;

    std::map<std::string, const LimitDef*> limits;
    for (const LimitDef& limit : link.limits) limits[limit.matrix] = &limit;
    bool limited = false;
    for (const MatrixDef& def : set.matrices) limited = limited || limits.count(def.id) != 0;

    for (const MatrixDef& def : set.matrices) {
        VmTileMatrix m;
        m.Identifier = def.id;
        m.ScaleDenominator = def.scale;
        m.Resolution = SnapResolution(def.scale * 0.00028 / crs.metersPerUnit, def.tileWidth, worldWidth);
        m.TopLeftX = swap ? def.b : def.a;
        m.TopLeftY = swap ? def.a : def.b;
        if (crs.epsg == 3857 && Near(std::fabs(m.TopLeftX), kMercatorHalfWorld, 5e-3) &&
            Near(std::fabs(m.TopLeftY), kMercatorHalfWorld, 5e-3)) {
            // Every world-wide Web Mercator set starts at the north-west
            // corner of the world; some servers print it rounded, with a
            // wrong sign or the wrong way round.
            m.TopLeftX = -kMercatorHalfWorld;
            m.TopLeftY = kMercatorHalfWorld;
        }
        if (crs.geographic) {
            m.TopLeftX = SnapCoordinate(m.TopLeftX, {-180.0, 180.0});
            m.TopLeftY = SnapCoordinate(m.TopLeftY, {90.0, -90.0, 180.0});
        }
        m.TileWidth = def.tileWidth;
        m.TileHeight = def.tileHeight;
        m.MatrixWidth = def.matrixWidth;
        m.MatrixHeight = def.matrixHeight;
        m.MinRow = 0;
        m.MaxRow = def.matrixHeight - 1;
        m.MinCol = 0;
        m.MaxCol = def.matrixWidth - 1;
        if (limited) {
            // With limits, a matrix they leave out is one the layer has no tiles in.
            auto it = limits.find(def.id);
            if (it == limits.end()) continue;
            m.MinRow = std::max(m.MinRow, it->second->minRow);
            m.MaxRow = std::min(m.MaxRow, it->second->maxRow);
            m.MinCol = std::max(m.MinCol, it->second->minCol);
            m.MaxCol = std::min(m.MaxCol, it->second->maxCol);
        }
        pyramid.Matrices.push_back(m);
    }
    return pyramid.Finish();
}

int FormatRank(const std::string& format) {
    const std::string lowered = Lower(format);
    if (lowered == "image/png") return 0;
    if (lowered.find("png") != std::string::npos) return 1;
    if (lowered.find("jpeg") != std::string::npos || lowered.find("jpg") != std::string::npos) return 2;
    return 3;
}

// The formats tiles can be asked for in with `encoding`.
std::vector<std::string> FormatsFor(const LayerDef& layer, int encoding) {
    std::vector<std::string> formats;
    if (encoding == VmWMTSParams::EncodingREST) {
        for (const ResourceDef& resource : layer.resources)
            if (IsTileResource(resource) &&
                std::find(formats.begin(), formats.end(), resource.format) == formats.end())
                formats.push_back(resource.format);
    } else {
        formats = layer.formats;
    }
    return formats;
}

std::string PreferredFormat(const std::vector<std::string>& formats) {
    std::string best;
    int bestRank = 99;
    for (const std::string& format : formats) {
        const int rank = FormatRank(format);
        if (rank < bestRank) {
            best = format;
            bestRank = rank;
        }
    }
    return best;
}

std::string SchemeAndHost(const std::string& address) {
    const size_t scheme = address.find("://");
    if (scheme == std::string::npos) return std::string();
    const size_t slash = address.find_first_of("/?", scheme + 3);
    return slash == std::string::npos ? address : address.substr(0, slash);
}

} // namespace

// ---------------------------------------------------------------------------
// VmMapServiceParams

VmMapServiceParams::~VmMapServiceParams() = default;

void VmMapServiceParams::SetServiceAddress(const PlxMBString& address) {
    m_address = PlxMBString(Trim(address.str()));
}

// ---------------------------------------------------------------------------
// VmWMTSParams

VmWMTSParams::VmWMTSParams() = default;
VmWMTSParams::VmWMTSParams(const VmWMTSParams& other) = default;
VmWMTSParams& VmWMTSParams::operator=(const VmWMTSParams& other) = default;
VmWMTSParams::~VmWMTSParams() = default;

bool VmWMTSParams::IsReady() const { return m_doc != nullptr; }

PlxMBString VmWMTSParams::ServiceFolderName() const {
    PlxMBString scheme, host, object, extra;
    int port = 0;
    std::string safeHost = "local";
    if (VmHttpHelper::VmParseURL2(m_address, scheme, host, object, extra, port)) {
        safeHost.clear();
        for (char ch : host.str())
            safeHost += ((ch >= 'A' && ch <= 'Z') || (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '.' ||
                         ch == '-')
                            ? ch
                            : '_';
        if (safeHost.empty() || safeHost[0] == '.') safeHost = "_" + safeHost;
    }
    return PlxMBString(safeHost + "_" + Hex8(m_address.str()));
}

PlxMBString VmWMTSParams::GetDescriptionFileName() const {
    return "/" + ServiceFolderName() + "/WMTSCapabilities.xml";
}

PlxMBString VmWMTSParams::GetCapabilitiesURL() const {
    const std::string address = m_address.str();
    if (address.empty()) return PlxMBString();
    const size_t question = address.find('?');
    const std::string path = address.substr(0, question);
    const std::string query = question == std::string::npos ? std::string() : address.substr(question + 1);
    if (EndsWithNoCase(path, ".xml")) return m_address;
    std::string kept;
    for (const std::string& piece : QueryPieces(query)) {
        const std::string key = PieceKey(piece);
        const size_t eq = piece.find('=');
        const std::string value = eq == std::string::npos ? std::string() : piece.substr(eq + 1);
        if (key == "request" && EqualNoCase(value, "GetCapabilities")) return m_address;
        if (key == "service" || key == "request" || key == "version") continue;
        kept += piece + "&";
    }
    return PlxMBString(path + "?" + kept + "SERVICE=WMTS&REQUEST=GetCapabilities&VERSION=1.0.0");
}

bool VmWMTSParams::AdoptDocument(std::shared_ptr<const Document> doc) {
    if (m_layer < 0) {
        m_doc = std::move(doc);
        return true;
    }
    // A layer object keeps being the same layer in the same set.
    const PlxMBString layer = GetLayerName();
    const PlxMBString set = m_pyramid.TileMatrixSet;
    const PlxMBString format = m_format;
    m_doc = std::move(doc);
    if (!SelectLayer(layer, set)) {
        m_error = "layer " + layer + " in " + set + " is not in the new document";
        return false;
    }
    SetFormat(format);
    return true;
}

bool VmWMTSParams::LoadFromText(const PlxMBString& xml) {
    m_error.Empty();
    pugi::xml_document parsed;
    const pugi::xml_parse_result result = parsed.load_buffer(xml.c_str(), static_cast<size_t>(xml.GetLength()));
    if (!result) {
        m_error = PlxMBString(std::string("not XML: ") + result.description());
        return false;
    }
    auto doc = std::make_shared<Document>();
    doc->sourceAddress = m_address.str();
    std::string error;
    if (!ParseDocument(parsed, *doc, error)) {
        m_error = PlxMBString(error);
        return false;
    }
    return AdoptDocument(doc);
}

bool VmWMTSParams::LoadFromPath(const PlxMBString& path) {
    m_error.Empty();
    std::string error;
    if (path.IsEmpty()) {
        m_error = "no path";
        return false;
    }
    if (VmFile::IsExist(path)) {
        if (auto doc = ParseFile(path, m_address.str(), error)) return AdoptDocument(doc);
    }
    if (m_address.IsEmpty()) {
        m_error = PlxMBString(error.empty() ? std::string("no capabilities file and no service address") : error);
        return false;
    }
    const PlxMBString url = GetCapabilitiesURL();
    const PlxMBString downloaded = VmHttpHelper::RequestFile(url, m_user, m_password, 0, 0);
    if (downloaded.IsEmpty()) {
        m_error = "download failed: " + url;
        return false;
    }
    auto doc = ParseFile(downloaded, m_address.str(), error);
    if (!doc) {
        VmFile::Delete(downloaded);
        m_error = PlxMBString(error);
        return false;
    }
    // Into place by rename within the target folder, so that readers never
    // see a half-written file.
    static std::atomic<unsigned> s_counter{0};
    const PlxMBString partial = path + PlxMBString(".part" + std::to_string(::getpid()) + "_" +
                                                   std::to_string(s_counter.fetch_add(1)));
    std::error_code ec;
    const PlxMBString folder = VmFile::GetDir(path);
    bool placed = folder.IsEmpty() || VmFile::MkDirEx(folder);
    if (placed) placed = fs::copy_file(downloaded.str(), partial.str(), fs::copy_options::overwrite_existing, ec);
    if (placed) {
        fs::rename(partial.str(), path.str(), ec);
        placed = !ec;
    }
    VmFile::Delete(downloaded);
    if (!placed) {
        VmFile::Delete(partial);
        m_error = "cannot write " + path;
        return false;
    }
    return AdoptDocument(doc);
}

std::string VmWMTSParams::KvpBase() const {
    if (!m_doc) return std::string();
    if (!m_doc->kvpAddress.empty()) return m_doc->kvpAddress;
    if (!m_doc->unconstrainedAddress.empty()) return m_doc->unconstrainedAddress;
    // A document that describes its GetTile operation but gives it no
    // usable address has no KVP.
    if (m_doc->hasOperations) return std::string();
    return StripServiceParameters(m_doc->sourceAddress);
}

int VmWMTSParams::LayerIndex(const PlxMBString& layerName) const {
    if (!m_doc) return -1;
    for (size_t i = 0; i < m_doc->layers.size(); ++i)
        if (m_doc->layers[i].id == layerName.str()) return static_cast<int>(i);
    return -1;
}

void VmWMTSParams::GetLayerNames(PlxArray<PlxMBString>& names) const {
    names.RemoveAll();
    if (!m_doc) return;
    if (m_layer >= 0) {
        names.Add(PlxMBString(m_doc->layers[static_cast<size_t>(m_layer)].id));
        return;
    }
    for (const LayerDef& layer : m_doc->layers) names.Add(PlxMBString(layer.id));
}

void VmWMTSParams::GetLayerTileMatrixSets(const PlxMBString& layerName, PlxArray<PlxMBString>& sets) const {
    sets.RemoveAll();
    const int index = LayerIndex(layerName);
    if (index < 0) return;
    for (const LinkDef& link : m_doc->layers[static_cast<size_t>(index)].links)
        if (m_doc->FindSet(link.set)) sets.Add(PlxMBString(link.set));
}

bool VmWMTSParams::SelectLayer(const PlxMBString& layerName, const PlxMBString& tileMatrixSet) {
    const int index = LayerIndex(layerName);
    if (index < 0) return false;
    const LayerDef& layer = m_doc->layers[static_cast<size_t>(index)];

    // Candidates in link order; the best rank wins, the first of a rank on ties.
    int bestRank = 99;
    VmTilePyramid best;
    for (const LinkDef& link : layer.links) {
        if (!tileMatrixSet.IsEmpty() && link.set != tileMatrixSet.str()) continue;
        const SetDef* set = m_doc->FindSet(link.set);
        if (!set) continue;
        VmTilePyramid pyramid;
        if (!BuildPyramid(layer, link, *set, pyramid)) continue;
        const int rank = IsWebMercator(*set) ? (IsGoogleMapsCompatible(*set) ? 0 : 1) : 2;
        if (rank < bestRank) {
            bestRank = rank;
            best = std::move(pyramid);
        }
    }
    if (bestRank == 99) return false;

    m_layer = index;
    m_pyramid = std::move(best);
    m_encoding = EncodingNone;
    // A Get address declared for KVP is the document's own word; a tile
    // template is next; a Get address that declares nothing (or, lacking
    // even that, the service address) is only a guess at KVP.
    const bool rest = LayerHasRest(layer);
    if (!m_doc->kvpAddress.empty())
        m_encoding = EncodingKVP;
    else if (rest)
        m_encoding = EncodingREST;
    else if (!KvpBase().empty())
        m_encoding = EncodingKVP;
    m_format = PlxMBString(PreferredFormat(FormatsFor(layer, m_encoding == EncodingNone ? EncodingKVP : m_encoding)));
    return true;
}

VmWMTSParams* VmWMTSParams::GetLayerParams(const PlxMBString& layerName) const {
    return GetLayerParams(layerName, PlxMBString());
}

VmWMTSParams* VmWMTSParams::GetLayerParams(const PlxMBString& layerName, const PlxMBString& tileMatrixSet) const {
    if (!m_doc) return nullptr;
    auto* params = new VmWMTSParams(*this);
    params->m_layer = -1;
    if (!params->SelectLayer(layerName, tileMatrixSet)) {
        delete params;
        return nullptr;
    }
    return params;
}

PlxMBString VmWMTSParams::GetLayerName() const {
    if (!m_doc || m_layer < 0) return PlxMBString();
    return PlxMBString(m_doc->layers[static_cast<size_t>(m_layer)].id);
}

PlxMBString VmWMTSParams::GetLayerAlias() const {
    if (!m_doc || m_layer < 0) return PlxMBString();
    const LayerDef& layer = m_doc->layers[static_cast<size_t>(m_layer)];
    return PlxMBString(layer.title.empty() ? layer.id : layer.title);
}

int VmWMTSParams::GetZoomLevel() const { return m_layer >= 0 ? m_pyramid.ZoomLevel : 0; }
int VmWMTSParams::GetTileSize() const { return m_layer >= 0 ? m_pyramid.TileSize : 0; }
PlxRect2D VmWMTSParams::GetBounds() const { return m_layer >= 0 ? m_pyramid.Bounds : PlxRect2D(); }

VmPrjCoordSys VmWMTSParams::GetPrjCoordSys() const {
    VmPrjCoordSys system;
    if (m_layer < 0 || m_pyramid.EpsgCode <= 0) return system;
    if (m_pyramid.Geographic) {
        system.SetTypeID(1);
        system.SetGeoCoordSys(VmGeoCoordSys(m_pyramid.EpsgCode));
    } else {
        system.SetTypeID(m_pyramid.EpsgCode);
    }
    return system;
}

double VmWMTSParams::GetCoordRatio() const { return m_layer >= 0 ? m_pyramid.MetersPerUnit : 1.0; }

PlxArray<PlxMBString> VmWMTSParams::GetFormats() const {
    PlxArray<PlxMBString> formats;
    if (!m_doc || m_layer < 0) return formats;
    for (const std::string& format : m_doc->layers[static_cast<size_t>(m_layer)].formats)
        formats.Add(PlxMBString(format));
    return formats;
}

PlxMBString VmWMTSParams::GetFormat() const { return m_format; }

bool VmWMTSParams::SetFormat(const PlxMBString& format) {
    if (!m_doc || m_layer < 0) return false;
    for (const std::string& offered : FormatsFor(m_doc->layers[static_cast<size_t>(m_layer)], m_encoding))
        if (EqualNoCase(offered, format.str())) {
            m_format = PlxMBString(offered);
            return true;
        }
    return false;
}

PlxMBString VmWMTSParams::GetStyle() const {
    if (!m_doc || m_layer < 0) return PlxMBString();
    return PlxMBString(m_doc->layers[static_cast<size_t>(m_layer)].style);
}

PlxDict<PlxMBString, double> VmWMTSParams::GetTileScaleNames() const {
    PlxDict<PlxMBString, double> scales;
    if (m_layer < 0) return scales;
    for (const VmTileMatrix& m : m_pyramid.Matrices) scales.SetAt(m.Identifier, m.ScaleDenominator);
    return scales;
}

PlxMBString VmWMTSParams::GetTileMatrixSet() const { return m_layer >= 0 ? m_pyramid.TileMatrixSet : PlxMBString(); }

PlxRect2D VmWMTSParams::GetWGS84Bounds() const {
    if (!m_doc || m_layer < 0) return PlxRect2D();
    return m_doc->layers[static_cast<size_t>(m_layer)].wgs84;
}

bool VmWMTSParams::SetTileEncoding(int encoding) {
    if (!m_doc || m_layer < 0) return false;
    const LayerDef& layer = m_doc->layers[static_cast<size_t>(m_layer)];
    if (encoding == EncodingREST) {
        if (!LayerHasRest(layer)) return false;
    } else if (encoding == EncodingKVP) {
        if (KvpBase().empty()) return false;
    } else {
        return false;
    }
    m_encoding = encoding;
    const std::vector<std::string> formats = FormatsFor(layer, encoding);
    bool offered = false;
    for (const std::string& format : formats) offered = offered || EqualNoCase(format, m_format.str());
    if (!offered) m_format = PlxMBString(PreferredFormat(formats));
    return true;
}

PlxMBString VmWMTSParams::GetTileURL(const PlxMBString& matrix, int row, int col) const {
    if (!m_doc || m_layer < 0 || m_pyramid.FindMatrix(matrix) < 0) return PlxMBString();
    const LayerDef& layer = m_doc->layers[static_cast<size_t>(m_layer)];
    if (m_encoding == EncodingKVP) {
        const std::string base = KvpBase();
        if (base.empty()) return PlxMBString();
        std::string query = "SERVICE=WMTS&REQUEST=GetTile&VERSION=1.0.0&LAYER=" + Escape(layer.id) +
                            "&STYLE=" + Escape(layer.style) + "&TILEMATRIXSET=" + Escape(m_pyramid.TileMatrixSet.str()) +
                            "&TILEMATRIX=" + Escape(matrix.str()) + "&TILEROW=" + std::to_string(row) +
                            "&TILECOL=" + std::to_string(col) + "&FORMAT=" + Escape(m_format.str());
        for (const DimensionDef& dimension : layer.dimensions)
            query += "&" + Escape(dimension.id) + "=" + Escape(dimension.value);
        return PlxMBString(AppendQuery(base, query));
    }
    if (m_encoding == EncodingREST) {
        const ResourceDef* chosen = nullptr;
        for (const ResourceDef& resource : layer.resources) {
            if (!IsTileResource(resource)) continue;
            if (!chosen) chosen = &resource;
            if (EqualNoCase(resource.format, m_format.str())) {
                chosen = &resource;
                break;
            }
        }
        if (!chosen) return PlxMBString();
        std::string url = chosen->tmpl;
        url = ReplaceNoCase(url, "{TileMatrixSet}", Escape(m_pyramid.TileMatrixSet.str()));
        url = ReplaceNoCase(url, "{TileMatrix}", Escape(matrix.str()));
        url = ReplaceNoCase(url, "{TileRow}", std::to_string(row));
        url = ReplaceNoCase(url, "{TileCol}", std::to_string(col));
        url = ReplaceNoCase(url, "{Style}", Escape(layer.style));
        for (const DimensionDef& dimension : layer.dimensions)
            url = ReplaceNoCase(url, "{" + dimension.id + "}", Escape(dimension.value));
        if (url.find("://") == std::string::npos) {
            const std::string origin = SchemeAndHost(m_doc->sourceAddress);
            if (origin.empty()) return PlxMBString();
            url = origin + (url.empty() || url[0] != '/' ? "/" : "") + url;
        }
        return PlxMBString(url);
    }
    return PlxMBString();
}

PlxMBString VmWMTSParams::GetCacheFileName() const {
    if (!m_doc || m_layer < 0) return PlxMBString();
    return ServiceFolderName() + "/" + PlxMBString(SafeName(GetLayerName().str())) + "_" +
           PlxMBString(SafeName(m_pyramid.TileMatrixSet.str())) + ".cache";
}

VmMapServiceParams* VmMapServiceParamsManager::MakeParams(int kind) {
    if (kind == VmMapServiceWMTS) return new VmWMTSParams();
    return nullptr;
}

} // namespace VMK
