#include "VmProjection.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>

namespace VMK {

PlxMBString VmPrjCoordSys::GetAuthorityName() const {
    if (m_nType == 1) {
        int geo = m_geo.GetTypeID() > 0 ? m_geo.GetTypeID() : 4326;
        return PlxMBString("EPSG:") + PlxMBString(std::to_string(geo));
    }
    if (m_nType > 1) return PlxMBString("EPSG:") + PlxMBString(std::to_string(m_nType));
    return PlxMBString();
}

PlxMBString VmPrjCoordSys::ToWkt() const {
    int code = m_nType == 1 ? (m_geo.GetTypeID() > 0 ? m_geo.GetTypeID() : 4326) : m_nType;
    if (code <= 1) return PlxMBString();
    OGRSpatialReference srs;
    srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    // Codes come from service documents: an unknown one must not make PROJ
    // print to stderr or abort, only yield an empty answer.
    CPLPushErrorHandler(CPLQuietErrorHandler);
    OGRErr err = srs.importFromEPSG(code);
    CPLPopErrorHandler();
    if (err != OGRERR_NONE) return PlxMBString();
    char* wkt = nullptr;
    if (srs.exportToWkt(&wkt) != OGRERR_NONE) {
        CPLFree(wkt);
        return PlxMBString();
    }
    PlxMBString result(wkt);
    CPLFree(wkt);
    return result;
}

bool VmPrjCoordSys::IsKnown() const { return !ToWkt().IsEmpty(); }

} // namespace VMK
