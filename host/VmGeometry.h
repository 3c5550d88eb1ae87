// The host geometry library, as far as the engine uses it so far: rectangles
// named by their coordinate reference system (CRS bounds), as capabilities
// documents state them per layer, and their conversion between systems.
#pragma once

#include "PlxTypes.h"

namespace VMK {

using PLX::PlxArray;
using PLX::PlxMBString;
using PLX::PlxRect2D;

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
