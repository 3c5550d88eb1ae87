#include "VmGeometry.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>
#include <cpl_error.h>

#include <cctype>
#include <memory>

namespace VMK {

namespace {

// The EPSG code a CRS name stands for, or 0. Only the spellings services use
// are accepted: a name is never handed to PROJ as free text, since PROJ would
// also read a file path or a network address given that way.
int EpsgCodeOf(PlxMBString name) {
    name.Trim();
    PlxMBString upper = name;
    upper.MakeUpper();
    if (upper == "CRS:84" || upper == "CRS84" || upper == "OGC:CRS84" || upper == "URN:OGC:DEF:CRS:OGC:1.3:CRS84" ||
        upper == "URN:OGC:DEF:CRS:OGC::CRS84" || upper == "HTTP://WWW.OPENGIS.NET/DEF/CRS/OGC/1.3/CRS84")
        return 4326;
    int at = upper.Find("EPSG");
    if (at < 0) return 0;
    // The code is the digits at the end: "EPSG:3857", "urn:ogc:def:crs:EPSG::3857",
    // "urn:ogc:def:crs:EPSG:6.6:4326", ".../crs/EPSG/0/3857".
    int end = upper.GetLength();
    int start = end;
    while (start > at && std::isdigit(static_cast<unsigned char>(upper.GetAt(start - 1)))) --start;
    if (start == end) return 0;
    int code = upper.Mid(start).ToInt(10);
    if (code == 900913) code = 3857;
    return code;
}

std::unique_ptr<OGRSpatialReference> MakeSrs(const PlxMBString& name) {
    int code = EpsgCodeOf(name);
    if (code <= 0) return nullptr;
    auto srs = std::make_unique<OGRSpatialReference>();
    srs->SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    CPLPushErrorHandler(CPLQuietErrorHandler);
    OGRErr err = srs->importFromEPSG(code);
    CPLPopErrorHandler();
    if (err != OGRERR_NONE) return nullptr;
    return srs;
}

} // namespace

PlxRect2D VmCRSBound::Transform(const PlxMBString& crsName) const {
    if (Name.CompareNoCase(crsName) == 0) return Rect;
    if (!Rect.IsValid()) return PlxRect2D();
    auto source = MakeSrs(Name);
    auto target = MakeSrs(crsName);
    if (!source || !target) return PlxRect2D();
    if (source->IsSame(target.get())) return Rect;
    CPLPushErrorHandler(CPLQuietErrorHandler);
    std::unique_ptr<OGRCoordinateTransformation> ct(OGRCreateCoordinateTransformation(source.get(), target.get()));
    PlxRect2D result;
    if (ct) {
        double minX = 0, minY = 0, maxX = 0, maxY = 0;
        // 21 points per edge: enough for a lat/lon box in Web Mercator or UTM.
        if (ct->TransformBounds(Rect.left, Rect.bottom, Rect.right, Rect.top, &minX, &minY, &maxX, &maxY, 21))
            result = PlxRect2D(minX, maxY, maxX, minY);
    }
    CPLPopErrorHandler();
    return result;
}

VmCRSBound* VmCRSBounds::GetObjByName(const PlxMBString& name) {
    int index = GetIndexByName(name);
    return index < 0 ? nullptr : &GetAt(index);
}

const VmCRSBound* VmCRSBounds::GetObjByName(const PlxMBString& name) const {
    int index = GetIndexByName(name);
    return index < 0 ? nullptr : &GetAt(index);
}

int VmCRSBounds::GetIndexByName(const PlxMBString& name) const {
    for (int i = 0; i < GetSize(); ++i)
        if (GetAt(i).Name.CompareNoCase(name) == 0) return i;
    return -1;
}

} // namespace VMK
