// Capabilities documents: what a service's GetCapabilities answer says, one
// class per service and protocol version. The data source creates the reader
// that matches the negotiated version, has it read the downloaded file and
// keeps it for the life of the connection; the datasets read their request
// endpoints from it. These classes are internal to the plug-in.
#pragma once

#include "OGCLayer.h"
#include "VmOGCCommon.h"

namespace VMK {

class VmDataSourceOGC;
class VmMarkup;

struct OGCServiceInfo {
    PlxMBString Name;
    PlxMBString Title;
    PlxMBString Abstract;
    PlxArray<PlxMBString> Keywords;
    PlxMBString OnlineResource;
    PlxMBString Fees;
    PlxMBString AccessConstraints;
};

class OGCCapabilities {
public:
    OGCCapabilities() = default;
    OGCCapabilities(const OGCCapabilities&) = delete;
    OGCCapabilities& operator=(const OGCCapabilities&) = delete;
    virtual ~OGCCapabilities() = default;

    // The reader for a service type ("wms", "wfs", "wcs") and version text,
    // both compared ignoring case; null when the engine has none.
    static OGCCapabilities* CreateReader(const PlxMBString& service, const PlxMBString& version);

    virtual unsigned char Parse(VmMarkup& markup) = 0;
    virtual unsigned char LoadFile(PlxMBString path) = 0;
    virtual unsigned char AttachDataSource(VmDataSourceOGC* dataSource) = 0;

    OGCServiceInfo Service;
    PlxMBString Version;
    PlxMBString ServiceType;
    PlxDict<PlxMBString, int> ReservedKeys;
};

} // namespace VMK
