// GetFeatureInfo requests for a pixel of a WMS map and the readers of their
// answers.
#include "VmWMSFeatureInfos.h"

#include "VmNetwork.h"
#include "VmStream.h"
#include "VmToolkit.h"

#include <cstdint>

#define VM_LOG_SOURCE "Src/EngineOGC/VmWMSFeatureInfos"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

const int kReadPiece = 1024;

// Servers expect the 32-bit pixel numbers of the map request, so only the
// low 32 bits of each 64-bit value are sent.
int Low32(long long value) { return static_cast<int32_t>(static_cast<uint32_t>(value)); }

} // namespace

VmWMSFeatureInfos::VmWMSFeatureInfos()
    : m_strFormat("jpeg"), m_strInfoFormat("text/plain"), m_strRequest("GetFeatureInfo") {}

VmWMSFeatureInfos::VmWMSFeatureInfos(const VmWMSFeatureInfos& other) = default;

VmWMSFeatureInfos& VmWMSFeatureInfos::operator=(const VmWMSFeatureInfos& other) = default;

VmWMSFeatureInfos::~VmWMSFeatureInfos() = default;

unsigned char VmWMSFeatureInfos::GetWMSFeatureInfos(PlxDict<PlxMBString, PlxMBString>& result) {
    PlxArray<PlxMBString> names;
    m_strQueryLayers.Split(",", names);
    PlxArray<PlxMBString> prefixes;
    PlxDict<PlxMBString, PlxMBString> groups;
    for (const PlxMBString& name : names) StorageQueryLayers(name, prefixes, groups);

    for (const PlxMBString& prefix : prefixes) {
        PlxMBString layers;
        groups.Lookup(prefix, layers);
        PlxMBString contentType;
        // Feature information is asked without credentials, whatever the
        // connection carries.
        PlxMBString path = VmHttpHelper::RequestFile(GetFeatureInfoURL(layers), "", "", 0, 1, contentType);
        if (path.IsEmpty()) continue;
        VmMarkup document;
        if (document.Load(path))
            ReadXMLInfo(document, result);
        else
            ReadTextInfo(path, result);
    }
    return 1;
}

void VmWMSFeatureInfos::StorageQueryLayers(PlxMBString layerName, PlxArray<PlxMBString>& prefixes,
                                           PlxDict<PlxMBString, PlxMBString>& groups) {
    // A server takes the layers of one request from one namespace, so
    // layers are asked for per prefix.
    int separator = layerName.Find(':');
    if (separator < 0) separator = layerName.Find('@');
    if (separator < 0) return;
    PlxMBString prefix = layerName.Left(separator);
    if (prefix.IsEmpty()) return;
    PlxMBString members;
    if (groups.Lookup(prefix, members)) {
        groups.SetAt(prefix, members + "," + layerName);
    } else {
        groups.SetAt(prefix, layerName);
        prefixes.Add(prefix);
    }
}

PlxMBString VmWMSFeatureInfos::GetFeatureInfoURL(PlxMBString queryLayers) {
    PlxMBString url = m_strMainURL;
    url += "bbox=" + m_strBox + "&";
    if (!m_strStyle.IsEmpty()) url += "styles=" + m_strStyle + "&";
    url += "format=" + m_strFormat;
    url += "&info_format=" + m_strInfoFormat;
    url += "&SRS=EPSG:4326";
    url += "&request=" + m_strRequest;
    url += "&layers=" + m_strLayers;
    url += "&query_layers=" + queryLayers;
    PlxMBString size;
    size.Format("&width=%d&height=%d&X=%d&Y=%d", Low32(m_nWidth), Low32(m_nHeight), Low32(m_nPx), Low32(m_nPy));
    return url + size;
}

unsigned char VmWMSFeatureInfos::ReadTextInfo(PlxMBString filePath, PlxDict<PlxMBString, PlxMBString>& result) {
    VmFile64 file;
    if (!file.Open(filePath, 2, 0)) return 0;
    PlxMBString text;
    char piece[kReadPiece];
    for (int64_t got; (got = file.Read(piece, kReadPiece)) > 0;) text += PlxMBString(piece, static_cast<int>(got));

    // At the very start the phrase is taken for a heading of the answer;
    // anywhere later it is the server saying that nothing was hit.
    if (text.Find("no features were found") > 0) return 0;
    if (text.IsEmpty()) return 0;
    // Erases the separator line of dashes under the heading (and with it any
    // dash inside names and values).
    text.Remove('-');

    // The first field name stands between the heading's ":" and the first
    // "="; a quoted layer name after the heading is passed over.
    int colon = text.Find(':');
    if (colon < 0) return 0;
    int quote = text.Find('\'', colon);
    if (quote >= 0) {
        colon = text.Find(':', quote);
        if (colon < 0) return 0;
    }
    int equals = text.Find('=', colon);
    if (equals < 0) return 0;
    PlxMBString name = text.Mid(colon + 1, equals - colon - 1);
    name.Trim();

    // Whatever precedes the first name ends every record.
    int position = text.Find(name);
    char separator = position > 0 ? text[position - 1] : '\n';
    bool firstPass = true;
    while (position > 0) {
        int e = text.Find('=', position);
        if (e < 0) {
            if (firstPass) return 0;
            break;
        }
        firstPass = false;
        int n = text.Find(separator, position);
        // One character before the separator is dropped: the CR of a CR LF end.
        PlxMBString value = text.Mid(e + 1, n - e - 2);
        value.Trim();
        result.SetAt(name, value);
        int next = text.Find('=', n);
        // One blank is expected between a name and its "=".
        name = text.Mid(n + 1, next - n - 2);
        // A separator that is itself "=" would find the same "=" forever.
        if (next >= 0 && next <= position) break;
        position = next;
    }
    file.Close();
    VmFile::Delete(filePath);
    return 1;
}

unsigned char VmWMSFeatureInfos::ReadXMLInfo(VmMarkup& document, PlxDict<PlxMBString, PlxMBString>& result) {
    document.ResetPos();
    if (document.FindElem("ServiceExceptionReport")) return 0;
    document.ResetPos();

    PlxArray<PlxMBString> names, values;
    if (document.FindElem("WMS_FeatureInfo")) {
        document.IntoElem();
        if (document.FindElem("FeatureInfo")) {
            document.IntoElem();
            if (document.FindElem("fields"))
                while (document.FindChildElem("field")) names.Add(document.GetChildData());
            if (document.FindElem("fieldvalues"))
                while (document.FindChildElem("fieldvalue")) values.Add(document.GetChildData());
        }
    }
    // A name without its value is kept with an empty one rather than read
    // past the list.
    for (int i = 0; i < names.GetSize(); ++i) result.SetAt(names[i], i < values.GetSize() ? values[i] : PlxMBString());
    return 1;
}

} // namespace VMK
