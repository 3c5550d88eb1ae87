// One GetFeatureInfo question about a pixel of a WMS map: the parameters of
// the map the pixel belongs to, the queryable layers, and the readers of the
// two answer layouts the engine understands (plain text and a simple XML
// fields/values form). Belongs with the WMS dataset, which fills it from its
// last GetMap.
#pragma once

#include "VmOGCCommon.h"

#include "PlxTypes.h"

namespace VMK {

using PLX::PlxArray;
using PLX::PlxDict;
using PLX::PlxMBString;

class VmMarkup;

class VM_OGC_API VmWMSFeatureInfos {
public:
    VmWMSFeatureInfos();
    VmWMSFeatureInfos(const VmWMSFeatureInfos& other);
    VmWMSFeatureInfos& operator=(const VmWMSFeatureInfos& other);
    virtual ~VmWMSFeatureInfos();

    // Sends one request per group of query layers that share a name prefix
    // and adds every field found to `result` (a later value of a name
    // replaces an earlier one). Returns 1 whatever the requests gave: a
    // failed download or an answer without fields simply adds nothing.
    unsigned char GetWMSFeatureInfos(PlxDict<PlxMBString, PlxMBString>& result);

    PlxMBString GetMainURL() const { return m_strMainURL; }
    void SetMainURL(PlxMBString value) { m_strMainURL = value; }
    PlxMBString GetBox() const { return m_strBox; }
    void SetBox(PlxMBString value) { m_strBox = value; }
    PlxMBString GetStyle() const { return m_strStyle; }
    void SetStyle(PlxMBString value) { m_strStyle = value; }
    PlxMBString GetFormat() const { return m_strFormat; }
    void SetFormat(PlxMBString value) { m_strFormat = value; }
    PlxMBString GetInfoFormat() const { return m_strInfoFormat; }
    void SetInfoFormat(PlxMBString value) { m_strInfoFormat = value; }
    PlxMBString GetRequest() const { return m_strRequest; }
    void SetRequest(PlxMBString value) { m_strRequest = value; }
    PlxMBString GetLayers() const { return m_strLayers; }
    void SetLayers(PlxMBString value) { m_strLayers = value; }
    PlxMBString GetQueryLayers() const { return m_strQueryLayers; }
    void SetQueryLayers(PlxMBString value) { m_strQueryLayers = value; }
    long long GetWidth() const { return m_nWidth; }
    void SetWidth(long long value) { m_nWidth = value; }
    long long GetHeight() const { return m_nHeight; }
    void SetHeight(long long value) { m_nHeight = value; }
    long long GetPx() const { return m_nPx; }
    void SetPx(long long value) { m_nPx = value; }
    long long GetPy() const { return m_nPy; }
    void SetPy(long long value) { m_nPy = value; }
    // Kept with the map's parameters; the request itself always names
    // EPSG:4326.
    PlxMBString GetCRSName() const { return m_strCRSName; }
    void SetCRSName(PlxMBString value) { m_strCRSName = value; }

private:
    friend class VmWMSFeatureInfosTestAccess;

    PlxMBString GetFeatureInfoURL(PlxMBString queryLayers);
    // Files `layerName` under the prefix before its first ":" (or, without
    // one, its first "@"); a name without either, or with an empty prefix,
    // is never queried. New prefixes are appended to `prefixes` so requests
    // go out in the order the layers came.
    void StorageQueryLayers(PlxMBString layerName, PlxArray<PlxMBString>& prefixes,
                            PlxDict<PlxMBString, PlxMBString>& groups);
    // The plain-text reader. Deletes the file only when it read it.
    unsigned char ReadTextInfo(PlxMBString filePath, PlxDict<PlxMBString, PlxMBString>& result);
    unsigned char ReadXMLInfo(VmMarkup& document, PlxDict<PlxMBString, PlxMBString>& result);

    PlxMBString m_strMainURL;  // the request base, ending in "?" or "&"
    PlxMBString m_strBox;
    PlxMBString m_strStyle;
    PlxMBString m_strFormat;
    PlxMBString m_strInfoFormat;
    PlxMBString m_strRequest;
    PlxMBString m_strLayers;
    PlxMBString m_strQueryLayers;
    long long m_nWidth = 0;
    long long m_nHeight = 0;
    long long m_nPx = 0;
    long long m_nPy = 0;
    PlxMBString m_strCRSName;
};

} // namespace VMK
