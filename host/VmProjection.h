// The host projection library: coordinate systems as the host's datasets carry
// them. A projected system is named by its type number: 1 is plain longitude /
// latitude on the datum of its geographic system, an EPSG number is that EPSG
// system, 0 is "no system" (planar, unknown). Built on GDAL/PROJ; axis order is
// always the traditional one (longitude or easting first).
#pragma once

#include "PlxTypes.h"

#include <memory>

class OGRCoordinateTransformation;

namespace VMK {

using PLX::PlxMBString;

// A geographic (datum) system, named by its EPSG code (4326 for WGS 84);
// type 0 is none.
class VmGeoCoordSys {
public:
    explicit VmGeoCoordSys(int type = 0) : m_nType(type) {}
    int GetTypeID() const { return m_nType; }
    bool operator==(const VmGeoCoordSys& other) const { return m_nType == other.m_nType; }

private:
    int m_nType;
};

class VmPrjCoordSys {
public:
    VmPrjCoordSys() = default;

    void SetTypeID(int type) { m_nType = type; }
    int GetTypeID() const { return m_nType; }
    void SetGeoCoordSys(const VmGeoCoordSys& geo) { m_geo = geo; }
    const VmGeoCoordSys& GetGeoCoordSys() const { return m_geo; }

    // The system as OGC WKT ("" for type 0, or a number PROJ does not know).
    PlxMBString ToWkt() const;
    // The system as a name other libraries accept ("EPSG:4326", "EPSG:3857";
    // "" for type 0).
    PlxMBString GetAuthorityName() const;
    // Whether PROJ knows the system this type (and geographic system) names.
    bool IsKnown() const;

    bool operator==(const VmPrjCoordSys& other) const { return m_nType == other.m_nType && m_geo == other.m_geo; }
    bool operator!=(const VmPrjCoordSys& other) const { return !(*this == other); }

private:
    int m_nType = 0;
    VmGeoCoordSys m_geo;
};

// Converts coordinates from a source system to a destination system (both
// longitude / easting first). The conversion is built on first use and kept,
// since features are converted one by one by the thousand; setting either
// system drops it. Copies share nothing.
class VmRefTranslator {
public:
    VmRefTranslator();
    ~VmRefTranslator();
    VmRefTranslator(const VmRefTranslator& other);
    VmRefTranslator& operator=(const VmRefTranslator& other);

    void SetPrjCoordSysSrc(const VmPrjCoordSys& system);
    void SetPrjCoordSysDes(const VmPrjCoordSys& system);
    const VmPrjCoordSys& GetPrjCoordSysSrc() const { return m_src; }
    const VmPrjCoordSys& GetPrjCoordSysDes() const { return m_des; }

    // Both systems are known to PROJ and a conversion between them exists.
    bool IsValid();
    // Both systems name the same EPSG system: converting changes nothing.
    bool IsIdentity();
    // Converts `count` points in place. False, with every point untouched,
    // when the translator is not valid or any point cannot be converted.
    bool Translate(double* x, double* y, int count);
    // The conversion (owned by the translator), or null when IsValid is false
    // or the systems are the same.
    OGRCoordinateTransformation* GetTransformation();

private:
    void Build();

    VmPrjCoordSys m_src;
    VmPrjCoordSys m_des;
    bool m_bBuilt = false;
    bool m_bValid = false;
    bool m_bIdentity = false;
    std::unique_ptr<OGRCoordinateTransformation> m_pTransform;
};

} // namespace VMK
