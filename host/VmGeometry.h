// The host geometry library: feature geometries (read from GML, kept as WKB by
// the vector engine, converted between coordinate systems) and rectangles named
// by their coordinate reference system (CRS bounds), as capabilities documents
// state them per layer, and their conversion between systems.
#pragma once

#include "PlxTypes.h"

#include <cstddef>
#include <vector>

class OGRGeometry;

namespace VMK {

using PLX::PlxArray;
using PLX::PlxMBString;
using PLX::PlxRect2D;

class VmRefTranslator;

// A feature geometry on OGR. Coordinates are always two-dimensional with the
// longitude / easting first: the host draws and indexes in that order, so
// whatever arrives (3D GML, lat-first srsNames) is brought to it on input.
class VmGeometry {
public:
    enum GMLVersionType { GML212 = 212, GML311 = 311 };
    // The host's geometry type numbers.
    enum Type { Point = 1, MultiPoint = 2, Line = 3, Region = 5, Text = 7, Route = 35 };

    // `type` is kept as the geometry's type while it holds nothing; use
    // VmGeometryFactory, which refuses numbers the host does not know.
    explicit VmGeometry(int type = Point);
    virtual ~VmGeometry();
    VmGeometry(const VmGeometry&) = delete;
    VmGeometry& operator=(const VmGeometry&) = delete;

    // The host type of what the geometry holds: point 1, multipoint 2, line or
    // multiline 3, polygon or multipolygon 5. A Text geometry holding a point
    // and a Route holding a line keep their own numbers, since those are
    // points and lines with extra meaning; an empty geometry (or a collection
    // mixing kinds) reports the type it was created with.
    int GetType() const;

    // Replaces the geometry by one GML geometry element (Point, LineString,
    // Polygon, Box/Envelope, the Multi* kinds, GML 3 curves and surfaces).
    // Curves are approximated by lines and Z is dropped. Axis order: GML212
    // coordinates are taken as written (GML 2 and WFS 1.0.0 write x first even
    // for EPSG:4326). GML311 coordinates are swapped when the element's own
    // srsName is a URN or http://www.opengis.net/def/crs URI of a system whose
    // EPSG axis order is latitude / northing first, because such names promise
    // that order; a short "EPSG:n" name keeps x first. 0 on failure, the
    // geometry then holds nothing.
    unsigned char FromGML(const PlxMBString& gmlText, GMLVersionType version);
    // Converts the coordinates from the translator's source system to its
    // destination. 0 (geometry untouched) when the translator cannot convert
    // or a point lies outside the destination's domain; 1 when converted, or
    // when both systems are the same. `flag` is accepted and ignored.
    unsigned char Convert(VmRefTranslator& translator, int flag);

    // (minx, maxy, maxx, miny) as left, top, right, bottom; the null rectangle
    // when empty.
    PlxRect2D GetBounds() const;
    bool IsEmpty() const;

    // ISO WKT / GeoJSON geometry object; "" when the geometry holds nothing.
    PlxMBString ToWkt() const;
    PlxMBString ToGeoJSON() const;
    // Replaces the geometry by WKT; false (geometry emptied) when unreadable.
    bool FromWkt(const PlxMBString& wkt);
    // Little-endian ISO WKB; empty when the geometry holds nothing.
    std::vector<unsigned char> ToWkb() const;
    // The same into `wkb`, whose memory is reused.
    void WriteWkb(std::vector<unsigned char>& wkb) const;
    // Replaces the geometry by WKB; false (geometry emptied) when unreadable.
    bool FromWkb(const unsigned char* data, size_t size);

    // A copy, owned by the caller.
    VmGeometry* Clone() const;

private:
    // Takes over `geometry` (may be null), making it 2D and linear.
    void Replace(OGRGeometry* geometry);
    // Makes the geometry the point (x, y), reusing a point it holds; false
    // for NaN coordinates, which are an empty point's.
    bool SetPoint(double x, double y);

    int m_nType;
    OGRGeometry* m_pGeometry = nullptr;  // owned; null when nothing is held
};

class VmGeometryFactory {
public:
    // A new empty geometry of a host type (1, 2, 3, 5, 7 or 35), owned by the
    // caller; null for any other number.
    static VmGeometry* CreateGeometry(int type);
};

// A CRS name ("EPSG:4326", "CRS:84", "urn:ogc:def:crs:EPSG::3857") with a
// rectangle in that system.
class VmCRSBound {
public:
    VmCRSBound() = default;
    VmCRSBound(const PlxMBString& name, const PlxRect2D& rect) : Name(name), Rect(rect) {}

    // The rectangle converted into `crsName`: the smallest rectangle holding the
    // converted area (edges are densified, so curved images of straight edges
    // are covered). The same name (ignoring case) returns the rectangle
    // unchanged; an unknown system on either side, or an empty rectangle, gives
    // the null rectangle. Longitude/easting always comes first.
    PlxRect2D Transform(const PlxMBString& crsName) const;

    PlxMBString Name;
    PlxRect2D Rect;
};

// A list of CRS bounds; names are compared ignoring case, since services spell
// the same system both ways.
class VmCRSBounds : public PlxArray<VmCRSBound> {
public:
    // The first bound named `name`, or null.
    VmCRSBound* GetObjByName(const PlxMBString& name);
    const VmCRSBound* GetObjByName(const PlxMBString& name) const;
    // Index of the first bound named `name`, or -1.
    int GetIndexByName(const PlxMBString& name) const;
};

} // namespace VMK
