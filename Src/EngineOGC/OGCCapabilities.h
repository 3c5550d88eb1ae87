// Capabilities documents: what a service's GetCapabilities answer says, one
// class per service and protocol version. The data source creates the reader
// that matches the negotiated version, has it read the downloaded file and
// keeps it for the life of the connection; the datasets read their request
// endpoints from it. These classes are internal to the plug-in.
//
// Every reader walks the document forward only, asking for elements in the
// order of the OGC schemas, with the root's namespace prefix in front of every
// name: an element out of that order is not seen, an absent one leaves its
// field at the default. Numbers are read with atof/atoi, so malformed ones
// read as 0.
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

// A WMS request endpoint: the HTTP Get address (reserved keywords removed)
// and the offered formats in document order.
struct WMSOperation {
    PlxMBString URL;
    PlxArray<PlxMBString> Formats;
};

// A WFS or WCS request endpoint.
struct OGCOperation {
    PlxMBString GetURL;
    PlxMBString PostURL;
    PlxArray<PlxMBString> Formats;
};

struct WMSCapability {
    WMSOperation GetCapabilities;
    WMSOperation GetMap;
    WMSOperation GetFeatureInfo;
    WMSOperation DescribeLayer;
};

struct WFSCapability {
    OGCOperation GetCapabilities;
    OGCOperation DescribeFeatureType;
    OGCOperation GetFeature;
    OGCOperation GetFeatureWithLock;
    OGCOperation LockFeature;
    OGCOperation Transaction;
};

struct WCSCapability {
    OGCOperation GetCapabilities;
    OGCOperation DescribeCoverage;
    OGCOperation GetCoverage;
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
    // Loads the file and runs Parse; 0 for an empty path or a file that is not
    // well-formed XML. Called once per document.
    virtual unsigned char LoadFile(PlxMBString path) = 0;
    // A hook for the data source; no document needs it.
    virtual unsigned char AttachDataSource(VmDataSourceOGC* dataSource) = 0;

    // Equal when the tag without its first prefix matches the name without its
    // first prefix, or the whole name ("wms:Layer" and "Layer", "Layer" and
    // "x:Layer", "a:b:c" and "b:c"); case-sensitive.
    unsigned char CompareTagName(const PlxMBString& tag, const PlxMBString& name) const;
    // "wfs:" for "wfs:WFS_Capabilities"; "" without a colon.
    PlxMBString GetNamespacePrefix(const PlxMBString& tag) const;
    // The address without the query keys that the engine sets itself.
    PlxMBString StripReservedKeys(const PlxMBString& url) const;

    OGCServiceInfo Service;
    PlxMBString Version;
    PlxMBString ServiceType;
    PlxDict<PlxMBString, int> ReservedKeys;

protected:
    // The shared implementation of LoadFile for the version classes.
    unsigned char LoadAndParse(const PlxMBString& path);
    // The opening every parser shares: refuses an exception report, finds the
    // prefix of a root named `rootName` and checks its (prefixed) version
    // attribute against Version. On success the navigator stands on the root.
    unsigned char OpenRoot(VmMarkup& markup, const char* rootName, PlxMBString& prefix) const;
};

// ---------------------------------------------------------------------------
// WMS

// What differs between the WMS versions; each version class fixes one set.
struct WMSVersionRules {
    enum CRSMode { FirstSplit, EachSplit, EachWhole };
    const char* rootName;
    bool keywordsAsText;        // 1.0.0: one Keywords text split at spaces
    bool onlineResourceAsText;  // 1.0.0: OnlineResource text, not xlink:href
    bool shortRequestNames;     // 1.0.0: Capabilities, Map, FeatureInfo; formats as child names
    bool allLayerAttributes;    // after 1.0.0: cascaded, opaque, noSubsets, fixedWidth/Height
    CRSMode crsMode;
    const char* crsElement;     // "SRS" or "CRS"
    bool geographicBox;         // 1.3.0: EX_GeographicBoundingBox
    const char* boxCRSAttribute;
};

class WMSCapabilities : public OGCCapabilities {
public:
    // Layers nested deeper below the root layer than this are not read.
    static constexpr int kMaxLayerDepth = 64;
    // Inherited CRS names are copied into every layer: once the document's
    // layers hold this many names in all (16 million unless set), further
    // layers inherit none, so that a root listing thousands of names above
    // thousands of layers cannot exhaust memory. Returns the previous limit.
    static long SetMaxCRSNames(long names);
    static long MaxCRSNames();

    WMSCapabilities();
    // Destroys the layer tree.
    ~WMSCapabilities() override;

    unsigned char Parse(VmMarkup& markup) override;
    unsigned char LoadFile(PlxMBString path) override;
    unsigned char AttachDataSource(VmDataSourceOGC* dataSource) override;

    WMSCapability Capability;
    WMSLayer* RootLayer = nullptr;  // owned

protected:
    explicit WMSCapabilities(const WMSVersionRules* rules);
    unsigned char ParseDocument(VmMarkup& markup);

private:
    void LoadReservedKeys();
    void ParseService(VmMarkup& markup, const PlxMBString& prefix);
    unsigned char ParseRequest(VmMarkup& markup, PlxMBString prefix);
    // `depth` is 0 for the root layer.
    WMSLayer* ParseLayer(VmMarkup& markup, PlxMBString prefix, WMSLayer* parent, int depth);
    void ReadLayerCRSList(VmMarkup& markup, const PlxMBString& prefix, WMSLayer* layer) const;
    void ReadLayerGeographicBox(VmMarkup& markup, const PlxMBString& prefix, WMSLayer* layer) const;

    long m_crsNames = 0;  // CRS names held by the layers read so far
    const WMSVersionRules* m_pRules = nullptr;  // null for the family class, which reads nothing
};

class WMSCapabilities100 : public WMSCapabilities {
public:
    WMSCapabilities100();
};

class WMSCapabilities110 : public WMSCapabilities {
public:
    WMSCapabilities110();
};

class WMSCapabilities111 : public WMSCapabilities {
public:
    WMSCapabilities111();
};

class WMSCapabilities130 : public WMSCapabilities {
public:
    WMSCapabilities130();
};

// ---------------------------------------------------------------------------
// WFS

class WFSCapabilities : public OGCCapabilities {
public:
    WFSCapabilities();
    // Destroys the feature type records.
    ~WFSCapabilities() override;

    unsigned char Parse(VmMarkup& markup) override;
    unsigned char LoadFile(PlxMBString path) override;
    unsigned char AttachDataSource(VmDataSourceOGC* dataSource) override;

    WFSCapability Capability;
    PlxArray<PlxMBString> TypeListOperations;
    PlxArray<WFSFeatureType*> FeatureTypes;  // owned

private:
    void LoadReservedKeys();
};

class WFSCapabilities100 : public WFSCapabilities {
public:
    WFSCapabilities100();
    unsigned char Parse(VmMarkup& markup) override;

private:
    unsigned char ParseRequest(VmMarkup& markup, PlxMBString prefix);
    WFSFeatureType* ParseFeatureType(VmMarkup& markup, const PlxMBString& prefix) const;
};

// Negotiated but not read: loading always fails and the document stays empty.
class WFSCapabilities110 : public WFSCapabilities {
public:
    WFSCapabilities110();
};

// ---------------------------------------------------------------------------
// WCS

// The coverage records in Coverages are not destroyed by the document: each
// is handed to the WCS dataset made for it, and the data source that owns
// both releases them (see VmDataSourceOGC). A document that was never used to
// make datasets releases them itself, see ReleaseCoverages.
class WCSCapabilities : public OGCCapabilities {
public:
    WCSCapabilities();
    // Empties Coverages without destroying the records.
    ~WCSCapabilities() override;

    unsigned char Parse(VmMarkup& markup) override;
    unsigned char LoadFile(PlxMBString path) override;
    unsigned char AttachDataSource(VmDataSourceOGC* dataSource) override;

    // Destroys the coverage records and empties the list: for an owner that
    // took the records over (the data source) or never handed them out.
    void ReleaseCoverages();

    WCSCapability Capability;
    PlxArray<WCSCoverage*> Coverages;  // not owned by the document
};

class WCSCapabilities100 : public WCSCapabilities {
public:
    WCSCapabilities100();
    unsigned char Parse(VmMarkup& markup) override;

private:
    unsigned char ParseRequest(VmMarkup& markup, PlxMBString prefix);
    WCSCoverage* ParseCoverage(VmMarkup& markup, const PlxMBString& prefix) const;
};

// Negotiated but not read: loading always fails and the document stays empty.
class WCSCapabilities110 : public WCSCapabilities {
public:
    WCSCapabilities110();
};

// Splits a list at `delimiter` the way coverage documents write numbers:
// the text trimmed, runs of the delimiter count as one, and the last piece is
// appended even when empty (so an empty text gives one empty piece). `out` is
// not emptied first.
void SplitPositions(PlxMBString text, PlxArray<PlxMBString>& out, const PlxMBString& delimiter);

} // namespace VMK
