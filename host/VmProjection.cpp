#include "VmProjection.h"

#include <ogr_spatialref.h>
#include <cpl_conv.h>
#include <cpl_error.h>

#include <algorithm>
#include <vector>

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

// ---------------------------------------------------------------------------

namespace {

// The EPSG code a system stands for, 0 when none.
int EpsgCode(const VmPrjCoordSys& system) {
    int geo = system.GetGeoCoordSys().GetTypeID();
    if (system.GetTypeID() == 1) return geo > 0 ? geo : 4326;
    return system.GetTypeID() > 1 ? system.GetTypeID() : 0;
}

bool ImportEpsg(OGRSpatialReference& srs, int code) {
    srs.SetAxisMappingStrategy(OAMS_TRADITIONAL_GIS_ORDER);
    CPLPushErrorHandler(CPLQuietErrorHandler);
    OGRErr err = srs.importFromEPSG(code);
    CPLPopErrorHandler();
    return err == OGRERR_NONE;
}

} // namespace

VmRefTranslator::VmRefTranslator() = default;
VmRefTranslator::~VmRefTranslator() = default;

VmRefTranslator::VmRefTranslator(const VmRefTranslator& other) : m_src(other.m_src), m_des(other.m_des) {}

VmRefTranslator& VmRefTranslator::operator=(const VmRefTranslator& other) {
    if (this != &other) {
        SetPrjCoordSysSrc(other.m_src);
        SetPrjCoordSysDes(other.m_des);
    }
    return *this;
}

void VmRefTranslator::SetPrjCoordSysSrc(const VmPrjCoordSys& system) {
    m_src = system;
    m_bBuilt = false;
    m_pTransform.reset();
}

void VmRefTranslator::SetPrjCoordSysDes(const VmPrjCoordSys& system) {
    m_des = system;
    m_bBuilt = false;
    m_pTransform.reset();
}

void VmRefTranslator::Build() {
    if (m_bBuilt) return;
    // Marked built even when it fails: a feature loader asks once per
    // feature, and an unknown system must not cost a PROJ lookup each time.
    m_bBuilt = true;
    m_bValid = false;
    m_bIdentity = false;
    m_pTransform.reset();
    int from = EpsgCode(m_src), to = EpsgCode(m_des);
    if (from <= 0 || to <= 0) return;
    OGRSpatialReference source, target;
    if (!ImportEpsg(source, from) || !ImportEpsg(target, to)) return;
    if (from == to) {
        m_bValid = m_bIdentity = true;
        return;
    }
    CPLPushErrorHandler(CPLQuietErrorHandler);
    m_pTransform.reset(OGRCreateCoordinateTransformation(&source, &target));
    CPLPopErrorHandler();
    m_bValid = m_pTransform != nullptr;
}

bool VmRefTranslator::IsValid() {
    Build();
    return m_bValid;
}

bool VmRefTranslator::IsIdentity() {
    Build();
    return m_bValid && m_bIdentity;
}

OGRCoordinateTransformation* VmRefTranslator::GetTransformation() {
    Build();
    return m_pTransform.get();
}

bool VmRefTranslator::Translate(double* x, double* y, int count) {
    Build();
    if (!m_bValid || count < 0 || (count > 0 && (!x || !y))) return false;
    if (m_bIdentity || count == 0) return true;
    std::vector<double> tx(x, x + count), ty(y, y + count);
    std::vector<int> ok(static_cast<size_t>(count), 0);
    CPLPushErrorHandler(CPLQuietErrorHandler);
    bool done = m_pTransform->Transform(count, tx.data(), ty.data(), nullptr, ok.data()) != 0;
    CPLPopErrorHandler();
    if (!done) return false;
    for (int flag : ok)
        if (!flag) return false;
    std::copy(tx.begin(), tx.end(), x);
    std::copy(ty.begin(), ty.end(), y);
    return true;
}

} // namespace VMK
