// The common shapes of GML geometry read without OGR's GML reader: a feature
// download holds one geometry per feature, and going through a general XML
// tree and OGR's reader for each point costs more than everything else done
// with the feature. Not part of the installed interface.
#pragma once

#include <cstddef>

class OGRGeometry;

namespace VMK {
namespace gml {

// A Point, LineString, LinearRing or Polygon of GML 2 or 3 (coordinates,
// pos, posList) in the default separators; null for any other text, which
// the caller then gives to OGR. The geometry is the caller's.
OGRGeometry* ReadCommonGeometry(const char* text, size_t size);

// A Point in its plainest spelling (one coordinates tuple or pos, no
// srsDimension, entities or comments), read as text without a tree; false
// for anything else, which ReadCommonGeometry then reads to the same numbers.
bool ReadPlainPoint(const char* text, size_t size, double& x, double& y);

} // namespace gml
} // namespace VMK
