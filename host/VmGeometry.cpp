#include "VmGeometry.h"
#include "VmGeometryGml.h"
#include "VmProjection.h"

#include <ogr_api.h>
#include <ogr_geometry.h>
#include <ogr_spatialref.h>
#include <cpl_conv.h>
#include <cpl_error.h>

#include <cctype>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>

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
        upper == "URN:OGC:DEF:CRS:OGC::CRS84" || upper == "HTTP://WWW.OPENGIS.NET/DEF/CRS/OGC/1.3/CRS84" ||
        upper == "WGS84(DD)")
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

// ---------------------------------------------------------------------------
// Feature geometries.

namespace {

// Silences GDAL for the lifetime of the guard: malformed GML and WKB come from
// servers and must not reach stderr.
struct QuietErrors {
    QuietErrors() { CPLPushErrorHandler(CPLQuietErrorHandler); }
    ~QuietErrors() { CPLPopErrorHandler(); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;
};

// Host type of an OGR geometry; 0 for kinds the host has no number for.
int HostTypeOf(const OGRGeometry* geometry) {
    switch (wkbFlatten(geometry->getGeometryType())) {
    case wkbPoint: return VmGeometry::Point;
    case wkbMultiPoint: return VmGeometry::MultiPoint;
    case wkbLineString:
    case wkbLinearRing:
    case wkbMultiLineString: return VmGeometry::Line;
    case wkbPolygon:
    case wkbMultiPolygon: return VmGeometry::Region;
    case wkbGeometryCollection: {
        // A GML MultiGeometry of one kind is that kind's multi geometry.
        const OGRGeometryCollection* collection = geometry->toGeometryCollection();
        int kind = 0;
        for (const OGRGeometry* member : *collection) {
            int t = HostTypeOf(member);
            if (t == VmGeometry::MultiPoint) t = VmGeometry::Point;
            if (t == 0 || (kind != 0 && t != kind)) return 0;
            kind = t;
        }
        return kind == VmGeometry::Point ? VmGeometry::MultiPoint : kind;
    }
    default: return 0;
    }
}

// The srsName attribute of the first start tag of `gml`, "" when absent.
std::string RootSrsName(const std::string& gml) {
    size_t open = gml.find('<');
    if (open == std::string::npos) return std::string();
    size_t close = gml.find('>', open);
    std::string tag = gml.substr(open, close == std::string::npos ? std::string::npos : close - open);
    size_t at = tag.find("srsName");
    while (at != std::string::npos) {
        size_t p = at + 7;
        while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p]))) ++p;
        if (p < tag.size() && tag[p] == '=') {
            ++p;
            while (p < tag.size() && std::isspace(static_cast<unsigned char>(tag[p]))) ++p;
            if (p < tag.size() && (tag[p] == '"' || tag[p] == '\'')) {
                size_t end = tag.find(tag[p], p + 1);
                if (end != std::string::npos) return tag.substr(p + 1, end - p - 1);
            }
        }
        at = tag.find("srsName", at + 7);
    }
    return std::string();
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t n = std::char_traits<char>::length(prefix);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != std::tolower(static_cast<unsigned char>(prefix[i])))
            return false;
    return true;
}

// Whether a srsName promises the EPSG axis order and that order puts
// latitude / northing first. Only URN and /def/crs URI forms make that
// promise; answers are remembered since every feature of a collection
// repeats the same name and an EPSG lookup is slow.
bool SrsNameIsNorthFirst(const std::string& name) {
    static const char* const promising[] = {"urn:ogc:def:crs:EPSG:", "urn:x-ogc:def:crs:EPSG:",
                                            "http://www.opengis.net/def/crs/EPSG/",
                                            "https://www.opengis.net/def/crs/EPSG/"};
    bool promises = false;
    for (const char* prefix : promising) promises = promises || StartsWithNoCase(name, prefix);
    if (!promises) return false;

    static std::mutex mutex;
    static std::map<std::string, bool> known;
    std::lock_guard<std::mutex> lock(mutex);
    auto it = known.find(name);
    if (it != known.end()) return it->second;
    size_t start = name.size();
    while (start > 0 && std::isdigit(static_cast<unsigned char>(name[start - 1]))) --start;
    bool north = false;
    if (start < name.size() && name.size() - start < 9) {
        OGRSpatialReference srs;
        QuietErrors quiet;
        if (srs.importFromEPSGA(std::stoi(name.substr(start))) == OGRERR_NONE)
            north = srs.EPSGTreatsAsLatLong() || srs.EPSGTreatsAsNorthingEasting();
    }
    if (known.size() < 256) known[name] = north;
    return north;
}

} // namespace

VmGeometry::VmGeometry(int type) : m_nType(type) {}

VmGeometry::~VmGeometry() { delete m_pGeometry; }

void VmGeometry::Replace(OGRGeometry* geometry) {
    delete m_pGeometry;
    m_pGeometry = nullptr;
    if (!geometry) return;
    // The host stores, indexes and draws straight segments in the plane.
    if (geometry->hasCurveGeometry(TRUE)) {
        OGRGeometry* linear = geometry->getLinearGeometry();
        delete geometry;
        geometry = linear;
        if (!geometry) return;
    }
    OGRwkbGeometryType flat = wkbFlatten(geometry->getGeometryType());
    if (flat == wkbTriangle || flat == wkbPolyhedralSurface || flat == wkbTIN) {
        geometry = OGRGeometryFactory::forceTo(geometry, wkbMultiPolygon);
        if (!geometry) return;
    }
    geometry->flattenTo2D();
    geometry->assignSpatialReference(nullptr);
    m_pGeometry = geometry;
}

int VmGeometry::GetType() const {
    if (IsEmpty()) return m_nType;
    int held = HostTypeOf(m_pGeometry);
    if (held == 0) return m_nType;
    if (m_nType == Text && held == Point) return Text;
    if (m_nType == Route && held == Line) return Route;
    return held;
}

unsigned char VmGeometry::FromGML(const PlxMBString& gmlText, GMLVersionType version) {
    double x = 0, y = 0;
    if (gml::ReadPlainPoint(gmlText.c_str(), gmlText.str().size(), x, y) && SetPoint(x, y)) {
        if (version == GML311 && SrsNameIsNorthFirst(RootSrsName(gmlText.str()))) m_pGeometry->swapXY();
        return 1;
    }
    Replace(nullptr);
    if (gmlText.IsEmpty()) return 0;
    OGRGeometry* geometry = gml::ReadCommonGeometry(gmlText.c_str(), gmlText.str().size());
    if (!geometry) {
        QuietErrors quiet;
        geometry = OGRGeometry::FromHandle(OGR_G_CreateFromGML(gmlText.c_str()));
    }
    if (!geometry) return 0;
    if (version == GML311 && SrsNameIsNorthFirst(RootSrsName(gmlText.str()))) geometry->swapXY();
    Replace(geometry);
    return m_pGeometry ? 1 : 0;
}

unsigned char VmGeometry::Convert(VmRefTranslator& translator, int) {
    if (!translator.IsValid()) return 0;
    if (translator.IsIdentity() || IsEmpty()) return 1;
    std::unique_ptr<OGRGeometry> converted(m_pGeometry->clone());
    OGRErr err;
    {
        QuietErrors quiet;
        err = converted->transform(translator.GetTransformation());
    }
    if (err != OGRERR_NONE) return 0;
    Replace(converted.release());
    return 1;
}

PlxRect2D VmGeometry::GetBounds() const {
    if (IsEmpty()) return PlxRect2D();
    OGREnvelope envelope;
    m_pGeometry->getEnvelope(&envelope);
    return PlxRect2D(envelope.MinX, envelope.MaxY, envelope.MaxX, envelope.MinY);
}

bool VmGeometry::IsEmpty() const { return !m_pGeometry || m_pGeometry->IsEmpty(); }

PlxMBString VmGeometry::ToWkt() const {
    if (!m_pGeometry) return PlxMBString();
    char* text = nullptr;
    if (m_pGeometry->exportToWkt(&text, wkbVariantIso) != OGRERR_NONE) {
        CPLFree(text);
        return PlxMBString();
    }
    PlxMBString result(text);
    CPLFree(text);
    return result;
}

bool VmGeometry::FromWkt(const PlxMBString& wkt) {
    OGRGeometry* geometry = nullptr;
    {
        QuietErrors quiet;
        if (OGRGeometryFactory::createFromWkt(wkt.c_str(), nullptr, &geometry) != OGRERR_NONE) {
            delete geometry;
            geometry = nullptr;
        }
    }
    Replace(geometry);
    return m_pGeometry != nullptr;
}

std::vector<unsigned char> VmGeometry::ToWkb() const {
    std::vector<unsigned char> wkb;
    WriteWkb(wkb);
    return wkb;
}

void VmGeometry::WriteWkb(std::vector<unsigned char>& wkb) const {
    wkb.clear();
    if (!m_pGeometry) return;
    wkb.resize(m_pGeometry->WkbSize());
    if (m_pGeometry->exportToWkb(wkbNDR, wkb.data(), wkbVariantIso) != OGRERR_NONE) wkb.clear();
}

bool VmGeometry::SetPoint(double x, double y) {
    if (std::isnan(x) || std::isnan(y)) return false;
    if (m_pGeometry && m_pGeometry->getGeometryType() == wkbPoint) {
        auto* point = static_cast<OGRPoint*>(m_pGeometry);
        point->setX(x);
        point->setY(y);
    } else {
        Replace(new OGRPoint(x, y));
    }
    return true;
}

bool VmGeometry::FromWkb(const unsigned char* data, size_t size) {
    // A recordset walk refills one geometry record after record, and most
    // records are plain points: those are written into the point held.
    if (size == 21 && data && data[0] == 1 && data[1] == 1 && data[2] == 0 && data[3] == 0 && data[4] == 0) {
        double x = 0, y = 0;
        std::memcpy(&x, data + 5, sizeof x);
        std::memcpy(&y, data + 13, sizeof y);
        if (SetPoint(x, y)) return true;
    }
    OGRGeometry* geometry = nullptr;
    if (data && size > 0) {
        QuietErrors quiet;
        if (OGRGeometryFactory::createFromWkb(data, nullptr, &geometry, size, wkbVariantIso) != OGRERR_NONE) {
            delete geometry;
            geometry = nullptr;
        }
    }
    Replace(geometry);
    return m_pGeometry != nullptr;
}

VmGeometry* VmGeometry::Clone() const {
    VmGeometry* copy = new VmGeometry(m_nType);
    if (m_pGeometry) copy->m_pGeometry = m_pGeometry->clone();
    return copy;
}

VmGeometry* VmGeometryFactory::CreateGeometry(int type) {
    switch (type) {
    case VmGeometry::Point:
    case VmGeometry::MultiPoint:
    case VmGeometry::Line:
    case VmGeometry::Region:
    case VmGeometry::Text:
    case VmGeometry::Route: return new VmGeometry(type);
    default: return nullptr;
    }
}

} // namespace VMK
