// The capabilities document family: reader choice, loading, the shared opening
// of every parse, tag and prefix rules, endpoint stripping, and the WFS and WCS
// family classes. The version parsers live in OGCCapabilitiesWMS.cpp,
// OGCCapabilitiesWFS.cpp and OGCCapabilitiesWCS.cpp.
#include "OGCCapabilities.h"

#include "VmOGCRequest.h"
#include "VmToolkit.h"

#define VM_LOG_SOURCE "Src/EngineOGC/OGCCapabilities"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

void AddKeys(PlxDict<PlxMBString, int>& keys, int firstCode, std::initializer_list<const char*> names) {
    int code = firstCode;
    for (const char* name : names) keys.SetAt(name, code++);
}

PlxMBString AfterFirstColon(const PlxMBString& text) {
    int colon = text.Find(':');
    return colon < 0 ? text : text.Mid(colon + 1);
}

} // namespace

OGCCapabilities* OGCCapabilities::CreateReader(const PlxMBString& service, const PlxMBString& version) {
    if (service.CompareNoCase("wms") == 0) {
        if (version.CompareNoCase("1.0.0") == 0) return new WMSCapabilities100();
        if (version.CompareNoCase("1.1.0") == 0) return new WMSCapabilities110();
        if (version.CompareNoCase("1.1.1") == 0) return new WMSCapabilities111();
        if (version.CompareNoCase("1.3.0") == 0) return new WMSCapabilities130();
    } else if (service.CompareNoCase("wfs") == 0) {
        if (version.CompareNoCase("1.0.0") == 0) return new WFSCapabilities100();
        if (version.CompareNoCase("1.1.0") == 0) return new WFSCapabilities110();
    } else if (service.CompareNoCase("wcs") == 0) {
        if (version.CompareNoCase("1.0.0") == 0) return new WCSCapabilities100();
        if (version.CompareNoCase("1.1.0") == 0) return new WCSCapabilities110();
    }
    return nullptr;
}

unsigned char OGCCapabilities::CompareTagName(const PlxMBString& tag, const PlxMBString& name) const {
    // Only the first prefix is dropped, so a name that itself carries a prefix
    // ("b:c") still matches a tag that puts one more in front ("a:b:c").
    PlxMBString rest = AfterFirstColon(tag);
    return (rest.Compare(AfterFirstColon(name)) == 0 || rest.Compare(name) == 0) ? 1 : 0;
}

PlxMBString OGCCapabilities::GetNamespacePrefix(const PlxMBString& tag) const {
    int colon = tag.Find(':');
    return colon < 0 ? PlxMBString() : tag.Left(colon + 1);
}

PlxMBString OGCCapabilities::StripReservedKeys(const PlxMBString& url) const {
    return RemoveQueryKeys(url, ReservedKeys);
}

unsigned char OGCCapabilities::LoadAndParse(const PlxMBString& path) {
    if (path.IsEmpty()) return 0;
    VmMarkup markup;
    if (!markup.Load(path)) return 0;
    return Parse(markup);
}

unsigned char OGCCapabilities::OpenRoot(VmMarkup& markup, const char* rootName, PlxMBString& prefix) const {
    markup.ResetPos();
    if (!markup.FindElem()) return 0;
    if (CompareTagName(markup.GetTagName(), "ServiceExceptionReport")) return 0;
    markup.ResetPos();
    markup.FindElem();
    PlxMBString tag = markup.GetTagName();
    // A root of another name is read anyway, without prefix: some servers
    // rename the root but keep the content.
    prefix = CompareTagName(tag, rootName) ? GetNamespacePrefix(tag) : PlxMBString();
    PlxMBString version = markup.GetAttrib((prefix + "version").c_str());
    return version.CompareNoCase(Version) == 0 && !version.IsEmpty() ? 1 : 0;
}

// ---------------------------------------------------------------------------
// WFS family

WFSCapabilities::WFSCapabilities() {
    ServiceType = "WFS";
    LoadReservedKeys();
}

WFSCapabilities::~WFSCapabilities() {
    for (WFSFeatureType* type : FeatureTypes) delete type;
    FeatureTypes.RemoveAll();
}

void WFSCapabilities::LoadReservedKeys() {
    AddKeys(ReservedKeys, 2101, {"VERSION", "SERVICE", "REQUEST", "NAMESPACE"});
    AddKeys(ReservedKeys, 2201, {"TYPENAME", "OUTPUTFORMAT"});
    AddKeys(ReservedKeys, 2301, {"PROPERTYNAME", "FEATUREVERSION", "MAXFEATURES", "TYPENAME", "FEATUREID", "FILTER",
                                 "BBOX", "RESULTTYPE", "EXPIRY", "SRSNAME", "SORTBY", "TRAVERSEXLINKDEPTH",
                                 "TRAVERSEXLINKEXPIRY", "PORPTRAVXLINKDEPTH", "PORPTRAVXLINKEXPIRY"});
    AddKeys(ReservedKeys, 2401, {"GMLOBJECTID"});
    AddKeys(ReservedKeys, 2501, {"EXPIRY", "LOCKACTION"});
    AddKeys(ReservedKeys, 2601, {"OPERATION", "RELEASEACTION"});
}

unsigned char WFSCapabilities::Parse(VmMarkup&) { return 0; }
unsigned char WFSCapabilities::LoadFile(PlxMBString path) { return Version.IsEmpty() ? 0 : LoadAndParse(path); }
unsigned char WFSCapabilities::AttachDataSource(VmDataSourceOGC*) { return 0; }

WFSCapabilities100::WFSCapabilities100() { Version = "1.0.0"; }
WFSCapabilities110::WFSCapabilities110() { Version = "1.1.0"; }

// ---------------------------------------------------------------------------
// WCS family

WCSCapabilities::WCSCapabilities() { ServiceType = "WCS"; }

WCSCapabilities::~WCSCapabilities() { Coverages.RemoveAll(); }

void WCSCapabilities::ReleaseCoverages() {
    for (WCSCoverage* coverage : Coverages) delete coverage;
    Coverages.RemoveAll();
}

unsigned char WCSCapabilities::Parse(VmMarkup&) { return 0; }
unsigned char WCSCapabilities::LoadFile(PlxMBString path) { return Version.IsEmpty() ? 0 : LoadAndParse(path); }
unsigned char WCSCapabilities::AttachDataSource(VmDataSourceOGC*) { return 0; }

WCSCapabilities100::WCSCapabilities100() { Version = "1.0.0"; }
WCSCapabilities110::WCSCapabilities110() { Version = "1.1.0"; }

void SplitPositions(PlxMBString text, PlxArray<PlxMBString>& out, const PlxMBString& delimiter) {
    text.Trim();
    if (!delimiter.IsEmpty()) {
        for (int at = text.Find(delimiter); at >= 0; at = text.Find(delimiter)) {
            out.Add(text.Left(at));
            text = text.Mid(at + 1);
            text.TrimLeft(delimiter.c_str());
        }
    }
    out.Add(text);
}

} // namespace VMK
