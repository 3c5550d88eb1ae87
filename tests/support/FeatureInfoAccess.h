// Reaches the feature-information request object's private URL builder,
// layer grouping and answer readers: for the unit tests and the fuzz targets.
#pragma once

#include "VmToolkit.h"
#include "VmWMSFeatureInfos.h"

namespace VMK {

class VmWMSFeatureInfosTestAccess {
public:
    static PlxMBString URL(VmWMSFeatureInfos& f, const char* queryLayers) { return f.GetFeatureInfoURL(queryLayers); }
    static void Store(VmWMSFeatureInfos& f, const char* name, PlxArray<PlxMBString>& prefixes,
                      PlxDict<PlxMBString, PlxMBString>& groups) {
        f.StorageQueryLayers(name, prefixes, groups);
    }
    static unsigned char Text(const PlxMBString& path, PlxDict<PlxMBString, PlxMBString>& result) {
        VmWMSFeatureInfos f;
        return f.ReadTextInfo(path, result);
    }
    static unsigned char Xml(VmMarkup& document, PlxDict<PlxMBString, PlxMBString>& result) {
        VmWMSFeatureInfos f;
        return f.ReadXMLInfo(document, result);
    }
};

} // namespace VMK
