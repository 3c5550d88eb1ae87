// GeoJSON text of a geometry. Common geometry types are written here
// directly with the shortest digits that read back to the same double; OGR's
// own writer (through json-c) costs several times as much per coordinate,
// which shows when a whole feature type is written out. Other types go
// through OGR.
#include "VmGeometry.h"

#include <ogr_api.h>
#include <ogr_geometry.h>
#include <cpl_conv.h>

#include <charconv>
#include <cmath>
#include <string>

namespace VMK {

namespace {

void Number(std::string& out, double value) {
    // GeoJSON has no spelling for NaN or infinity.
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    char digits[32];
    const std::to_chars_result end = std::to_chars(digits, digits + sizeof(digits), value);
    out.append(digits, end.ptr);
}

void Position(std::string& out, double x, double y, bool hasZ, double z) {
    out += '[';
    Number(out, x);
    out += ',';
    Number(out, y);
    if (hasZ) {
        out += ',';
        Number(out, z);
    }
    out += ']';
}

void Positions(std::string& out, const OGRSimpleCurve& curve) {
    const bool hasZ = curve.Is3D();
    out += '[';
    for (int i = 0; i < curve.getNumPoints(); ++i) {
        if (i) out += ',';
        Position(out, curve.getX(i), curve.getY(i), hasZ, hasZ ? curve.getZ(i) : 0.0);
    }
    out += ']';
}

void Rings(std::string& out, const OGRPolygon& polygon) {
    out += '[';
    for (int i = 0; i < polygon.getNumInteriorRings() + 1; ++i) {
        const OGRLinearRing* ring = i == 0 ? polygon.getExteriorRing() : polygon.getInteriorRing(i - 1);
        if (!ring) break;
        if (i) out += ',';
        Positions(out, *ring);
    }
    out += ']';
}

bool Coordinates(std::string& out, const OGRGeometry& geometry);

bool Members(std::string& out, const OGRGeometryCollection& collection) {
    out += '[';
    for (int i = 0; i < collection.getNumGeometries(); ++i) {
        if (i) out += ',';
        if (!Coordinates(out, *collection.getGeometryRef(i))) return false;
    }
    out += ']';
    return true;
}

// The "coordinates" value of a geometry other than a collection of mixed
// types; false for types written by OGR instead.
bool Coordinates(std::string& out, const OGRGeometry& geometry) {
    switch (wkbFlatten(geometry.getGeometryType())) {
    case wkbPoint: {
        const OGRPoint& point = *geometry.toPoint();
        if (point.IsEmpty())
            out += "[]";
        else
            Position(out, point.getX(), point.getY(), point.Is3D(), point.getZ());
        return true;
    }
    case wkbLineString:
        Positions(out, *geometry.toLineString());
        return true;
    case wkbPolygon:
        Rings(out, *geometry.toPolygon());
        return true;
    case wkbMultiPoint:
    case wkbMultiLineString:
    case wkbMultiPolygon:
        return Members(out, *geometry.toGeometryCollection());
    default:
        return false;
    }
}

const char* TypeName(OGRwkbGeometryType type) {
    switch (wkbFlatten(type)) {
    case wkbPoint: return "Point";
    case wkbLineString: return "LineString";
    case wkbPolygon: return "Polygon";
    case wkbMultiPoint: return "MultiPoint";
    case wkbMultiLineString: return "MultiLineString";
    case wkbMultiPolygon: return "MultiPolygon";
    default: return nullptr;
    }
}

} // namespace

PlxMBString VmGeometry::ToGeoJSON() const {
    if (!m_pGeometry) return PlxMBString();
    const char* type = TypeName(m_pGeometry->getGeometryType());
    std::string text;
    if (type) {
        text = std::string("{\"type\":\"") + type + "\",\"coordinates\":";
        if (Coordinates(text, *m_pGeometry)) {
            text += '}';
            return PlxMBString(std::move(text));
        }
    }
    char* json = OGR_G_ExportToJson(OGRGeometry::ToHandle(m_pGeometry));
    PlxMBString result(json ? json : "");
    CPLFree(json);
    return result;
}

} // namespace VMK
