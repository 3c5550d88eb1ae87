// The feature-information targets reach the request object's private answer
// readers the way the unit tests do.
#pragma once

#include "FuzzSupport.h"
#include "VmToolkit.h"
#include "VmWMSFeatureInfos.h"

namespace VMK {

class VmWMSFeatureInfosTestAccess {
public:
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
