// The WMS raster dataset: layers, visibility, styles, CRS and bounds, and the
// GetMap request with its import.
#include "VmDatasetRasterWMS.h"

#include "OGCCapabilities.h"
#include "VmDataSourceOGC.h"
#include "VmNetwork.h"
#include "VmOGCRequest.h"
#include "VmStream.h"
#include "VmWMSFeatureInfos.h"

#include <cstdlib>

#define VM_LOG_SOURCE "Src/EngineOGC/VmDatasetRasterWMS"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

// Joins texts with "," and drops the trailing commas, so that empty entries
// at the end leave no trace.
PlxMBString JoinTrimmed(const PlxArray<PlxMBString>& items) {
    PlxMBString text;
    for (const PlxMBString& item : items) text += item + ",";
    if (!text.IsEmpty()) text.TrimRight(",");
    return text;
}

PlxMBString Upper(PlxMBString text) { return text.MakeUpper(); }

} // namespace

VmDatasetRasterWMS::VmDatasetRasterWMS() = default;

VmDatasetRasterWMS::VmDatasetRasterWMS(VmDatasetRasterInfo& info) : VmWebDatasetRaster(info) {}

VmDatasetRasterWMS::~VmDatasetRasterWMS() {
    m_AllLayers.RemoveAll();
    m_VisibleLayers.RemoveAll();
    m_StyleChoices.RemoveAll();
}

VmDataSourceOGC* VmDatasetRasterWMS::OGCSource() const { return dynamic_cast<VmDataSourceOGC*>(GetDataSource()); }

// ---------------------------------------------------------------------------
// Layers and visibility

unsigned char VmDatasetRasterWMS::initLayers(WMSLayer* root) {
    if (!root) return 0;
    m_pRootLayer = root;
    root->Parallelize(m_AllLayers);
    root->Parallelize(m_VisibleLayers);
    RefreshBounds();
    m_strName = root->Title;
    return 1;
}

unsigned char VmDatasetRasterWMS::SetAllLayers(const VmWebLayersInfos& layers) {
    if (&layers != &m_AllLayers) m_AllLayers.Copy(layers);
    return 1;
}

unsigned char VmDatasetRasterWMS::GetAllLayers(VmWebLayersInfos& layers) const {
    if (&layers != &m_AllLayers) layers.Copy(m_AllLayers);
    return 1;
}

unsigned char VmDatasetRasterWMS::GetVisibleLayers(VmWebLayersInfos& layers) const {
    if (m_AllLayers.IsEmpty()) {
        VM_LOG(VmLogFailure, "EGg020");
        return 0;
    }
    if (&layers != &m_VisibleLayers) layers.Copy(m_VisibleLayers);
    return 1;
}

unsigned char VmDatasetRasterWMS::SetVisibleLayers(const VmWebLayersInfos& wanted) {
    if (m_AllLayers.IsEmpty()) {
        VM_LOG(VmLogFailure, "EGg020");
        return 0;
    }
    VmWebLayersInfos copy;
    copy.Copy(wanted);  // `wanted` may be the visible list itself
    m_VisibleLayers.RemoveAll();
    for (WMSLayer* layer : m_AllLayers)
        for (WMSLayer* w : copy)
            if (layer == w) m_VisibleLayers.Add(layer);
    RefreshBounds();
    return m_VisibleLayers.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::SetVisibleLayers(const PlxArray<int>& indexes) {
    if (m_AllLayers.IsEmpty()) {
        VM_LOG(VmLogFailure, "EGg020");
        return 0;
    }
    VmWebLayersInfos wanted;
    for (int index : indexes)
        if (index >= 0 && index < m_AllLayers.GetSize()) wanted.Add(m_AllLayers[index]);
    return SetVisibleLayers(wanted);
}

unsigned char VmDatasetRasterWMS::SetVisibleLayers(const PlxArray<PlxMBString>& names) {
    if (m_AllLayers.IsEmpty()) {
        VM_LOG(VmLogFailure, "EGg020");
        return 0;
    }
    VmWebLayersInfos wanted;
    for (const PlxMBString& name : names)
        for (WMSLayer* layer : m_AllLayers)
            if (layer->Name == name) wanted.Add(layer);
    return SetVisibleLayers(wanted);
}

unsigned char VmDatasetRasterWMS::GetAllLayerNames(PlxArray<PlxMBString>& names) {
    names.RemoveAll();
    for (const WMSLayer* layer : m_AllLayers) names.Add(layer->Name);
    return names.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::GetAllLayerTitles(PlxArray<PlxMBString>& titles) {
    titles.RemoveAll();
    for (const WMSLayer* layer : m_AllLayers) titles.Add(layer->Title);
    return titles.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::GetAllLayerIndexes(PlxArray<int>& indexes) {
    indexes.RemoveAll();
    for (int i = 0; i < m_AllLayers.GetSize(); ++i) indexes.Add(i);
    return indexes.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::GetVisibleLayerNames(PlxArray<PlxMBString>& names) {
    names.RemoveAll();
    for (const WMSLayer* layer : m_VisibleLayers) names.Add(layer->Name);
    return names.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::GetVisibleLayerTitles(PlxArray<PlxMBString>& titles) {
    return GetAllLayerTitles(titles);
}

unsigned char VmDatasetRasterWMS::GetVisibleLayerIndexes(PlxArray<int>& indexes) {
    if (m_AllLayers.IsEmpty()) {
        VM_LOG(VmLogFailure, "EGg020");
        return 0;
    }
    indexes.RemoveAll();
    for (const WMSLayer* visible : m_VisibleLayers)
        for (int i = 0; i < m_AllLayers.GetSize(); ++i)
            if (m_AllLayers[i] == visible) indexes.Add(i);
    return indexes.IsEmpty() ? 0 : 1;
}

unsigned char VmDatasetRasterWMS::SetTransparent(unsigned char transparent) {
    m_bTransparent = transparent;
    return 1;
}

unsigned char VmDatasetRasterWMS::GetTransparent() { return m_bTransparent; }

unsigned char VmDatasetRasterWMS::IsLayerQueryable(int index) {
    return (index >= 0 && index < m_AllLayers.GetSize()) ? m_AllLayers[index]->Queryable : 0;
}

PlxMBString VmDatasetRasterWMS::GetLayerStyle(int index) {
    return (index >= 0 && index < m_AllLayers.GetSize()) ? StyleOf(m_AllLayers[index]) : PlxMBString();
}

unsigned char VmDatasetRasterWMS::SetLayerStyle(const PlxMBString& layerName, const PlxMBString& style) {
    PlxMBString name = layerName, chosen = style;
    return SetStyle(name, chosen);
}

// ---------------------------------------------------------------------------
// Styles and request values

PlxArray<PlxMBString> VmDatasetRasterWMS::GetAllStyles() {
    m_AllStyles.RemoveAll();
    for (const WMSLayer* layer : m_AllLayers) {
        if (layer->Name.IsEmpty() || layer->StyleTable.IsEmpty()) continue;
        PlxMBString style;
        if (!layer->StyleTable.Lookup(Upper(layer->Name), style) || style.IsEmpty()) continue;
        bool known = false;
        for (const PlxMBString& s : m_AllStyles)
            if (s.CompareNoCase(style) == 0) known = true;
        if (!known) m_AllStyles.Add(style);
    }
    return m_AllStyles;
}

unsigned char VmDatasetRasterWMS::SetStyle(PlxMBString& layerName, PlxMBString& style) {
    m_StyleChoices.RemoveAll();
    if (layerName.IsEmpty() || style.IsEmpty()) return 0;
    layerName.MakeUpper();
    m_StyleChoices.SetAt(layerName, style);
    return 1;
}

PlxMBString VmDatasetRasterWMS::StyleOf(const WMSLayer* layer) const {
    // A layer that declares no style is drawn with the server's default,
    // whatever was chosen for it.
    if (layer->StyleTable.IsEmpty()) return PlxMBString();
    PlxMBString key = Upper(layer->Name), style;
    if (!m_StyleChoices.Lookup(key, style)) layer->StyleTable.Lookup(key, style);
    return style;
}

PlxMBString VmDatasetRasterWMS::GetLayersURLValue() {
    PlxArray<PlxMBString> names;
    for (int i = m_VisibleLayers.GetSize() - 1; i >= 0; --i)
        if (!m_VisibleLayers[i]->Name.IsEmpty()) names.Add(m_VisibleLayers[i]->Name);
    return JoinTrimmed(names);
}

PlxMBString VmDatasetRasterWMS::GetStylesURLValue() {
    PlxArray<PlxMBString> styles;
    for (int i = m_VisibleLayers.GetSize() - 1; i >= 0; --i)
        if (!m_VisibleLayers[i]->Name.IsEmpty()) styles.Add(StyleOf(m_VisibleLayers[i]));
    return JoinTrimmed(styles);
}

PlxMBString VmDatasetRasterWMS::GetQueryableLayers() {
    PlxArray<PlxMBString> names;
    for (const WMSLayer* layer : m_VisibleLayers)
        if (layer->Queryable) names.Add(layer->Name);
    return JoinTrimmed(names);
}

// ---------------------------------------------------------------------------
// CRS and bounds

void VmDatasetRasterWMS::RefreshBounds() {
    GetUsedCRSBounds();
    SetBounds(m_UsedCRSBound.Rect);
}

unsigned char VmDatasetRasterWMS::GetUsedCRSBounds() {
    // Every CRS name with the number of mentions among the visible layers,
    // in first-seen order; a name every visible layer lists is common.
    PlxArray<PlxMBString> names;
    PlxArray<int> counts;
    for (const WMSLayer* layer : m_VisibleLayers)
        for (const PlxMBString& name : layer->SRSList) {
            int found = -1;
            for (int i = 0; i < names.GetSize() && found < 0; ++i)
                if (names[i] == name) found = i;
            if (found < 0) {
                names.Add(name);
                counts.Add(1);
            } else {
                ++counts[found];
            }
        }
    bool tookEPSG = false;
    for (int i = 0; i < names.GetSize(); ++i) {
        if (counts[i] != m_VisibleLayers.GetSize()) continue;
        const PlxMBString& name = names[i];
        if (name.CompareNoCase("NONE") == 0 || name.CompareNoCase("EPSG:NONE") == 0 ||
            name.CompareNoCase("EPSG:NONEs") == 0) {
            m_UsedCRSBound.Name = name;
            break;
        }
        if (name.CompareNoCase("EPSG:4326") == 0) {
            m_UsedCRSBound.Name = "EPSG:4326";
            m_UsedCRSBound.Rect = GetLatLonBoxUnion();
            return 1;
        }
        if (name.Find("EPSG") >= 0 && !tookEPSG) {
            m_UsedCRSBound.Name = name;
            tookEPSG = true;
        }
    }
    m_UsedCRSBound.Rect = GetBoundingBoxUnion(m_UsedCRSBound.Name);
    if (m_UsedCRSBound.Rect.IsEmpty()) {
        VmCRSBound lonlat("EPSG:4326", GetLatLonBoxUnion());
        if (!lonlat.Rect.IsEmpty()) m_UsedCRSBound.Rect = lonlat.Transform(m_UsedCRSBound.Name);
    }
    return 1;
}

PlxRect2D VmDatasetRasterWMS::GetLatLonBoxUnion() {
    PlxRect2D result;
    bool started = false;
    for (const WMSLayer* layer : m_VisibleLayers) {
        if (!layer->LatLonBox.IsEmpty()) {
            if (!started) {
                result = layer->LatLonBox;
                started = true;
            }
            result.Union(layer->LatLonBox);
            continue;
        }
        // Without a lat/lon box a layer's own EPSG:4326 boxes stand in, and
        // the union starts over from them.
        started = false;
        for (const VmCRSBound& bound : layer->CRSBounds) {
            if (bound.Name.CompareNoCase("EPSG:4326") != 0) continue;
            if (!started) {
                result = layer->LatLonBox;
                started = true;
            }
            result.Union(bound.Rect);
        }
    }
    if (!result.IsNull() && !result.IsEmpty()) return result;
    PlxRect2D clipped;
    clipped.IntersectRect(result, PlxRect2D(-180, 90, 180, -90));
    return clipped;
}

PlxRect2D VmDatasetRasterWMS::GetBoundingBoxUnion(PlxMBString& crsName) {
    PlxRect2D result;
    for (const WMSLayer* layer : m_VisibleLayers)
        if (const VmCRSBound* bound = layer->CRSBounds.GetObjByName(crsName)) result.Union(bound->Rect);
    return result;
}

// ---------------------------------------------------------------------------
// GetMap

PlxMBString VmDatasetRasterWMS::BuildMapURL(VmDataSourceOGC& source, const PlxRect2D& rect, int width, int height,
                                            const PlxMBString& layers, const PlxMBString& format) {
    auto* caps = dynamic_cast<WMSCapabilities*>(source.GetCapabilitiesDocument());
    PlxMBString base = RequestBase(caps ? caps->Capability.GetMap.URL : PlxMBString(), source.GetURL());
    PlxMBString styles = GetStylesURLValue();
    const char* transparent = m_bTransparent ? "TRUE" : "FALSE";
    const PlxMBString& version = source.GetVersion();
    const char* crs = m_UsedCRSBound.Name.c_str();
    PlxMBString url;
    // The box is always minimum x, minimum y, maximum x, maximum y, in every
    // version and for every CRS, EPSG:4326 under 1.3.0 included.
    if (version.CompareNoCase("1.1.0") == 0 || version.CompareNoCase("1.1.1") == 0) {
        url.Format("%sVERSION=%s&REQUEST=GetMap&SRS=%s&BBOX=%lf,%lf,%lf,%lf&WIDTH=%d&HEIGHT=%d&LAYERS=%s&STYLES=%s"
                   "&FORMAT=%s&TRANSPARENT=%s&",
                   base.c_str(), version.c_str(), crs, rect.left, rect.bottom, rect.right, rect.top, width, height,
                   layers.c_str(), styles.c_str(), format.c_str(), transparent);
    } else if (version.CompareNoCase("1.3.0") == 0) {
        url.Format("%sVERSION=1.3.0&REQUEST=GetMap&CRS=%s&BBOX=%lf,%lf,%lf,%lf&WIDTH=%d&HEIGHT=%d&LAYERS=%s&STYLES=%s"
                   "&FORMAT=%s&TRANSPARENT=%s&",
                   base.c_str(), crs, rect.left, rect.bottom, rect.right, rect.top, width, height, layers.c_str(),
                   styles.c_str(), format.c_str(), transparent);
    } else {
        url.Format("%sWMTVER=1.0.0&REQUEST=map&SRS=%s&BBOX=%lf,%lf,%lf,%lf&WIDTH=%d&HEIGHT=%d&LAYERS=%s&STYLES=%s"
                   "&FORMAT=%s&TRANSPARENT=%s&",
                   base.c_str(), crs, rect.left, rect.bottom, rect.right, rect.top, width, height, layers.c_str(),
                   styles.c_str(), format.c_str(), transparent);
    }
    return url;
}

VmDatasetRaster* VmDatasetRasterWMS::GetDatasetRaster(PlxRect2D rect, int width, int height, PlxMBString) {
    if (!IsOpen()) Open();
    m_nMapWidth = width;
    m_nMapHeight = height;
    m_rcRequest = rect;
    VmDataSourceOGC* source = OGCSource();
    if (!source) return nullptr;
    GetAllStyles();

    PlxMBString layers = GetLayersURLValue();
    if (layers.IsEmpty()) {
        VM_LOG(VmLogMapFailure, "EEb001");
        if (m_AllLayers.IsEmpty()) return nullptr;  // nothing to fall back on: no request
        layers = m_AllLayers[0]->Name;
        width = 1;
        height = 1;
    }
    auto* caps = dynamic_cast<WMSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString format = GetFixedRequestImageType(caps ? caps->Capability.GetMap.Formats : PlxArray<PlxMBString>());
    if (format.IsEmpty()) VM_LOG(VmLogMapFailure, "EAf020");
    return GetDatasetRaster(BuildMapURL(*source, rect, width, height, layers, format));
}

VmDatasetRaster* VmDatasetRasterWMS::GetDatasetRaster(PlxMBString url) {
    if (!IsOpen()) Open();
    if (!IsOpen()) {
        VM_LOG(VmLogFailure, "ELc008");
        return nullptr;
    }
    VmDataSourceOGC* source = OGCSource();
    if (!source) {
        VM_LOG(VmLogFailure, "EEg001");
        return nullptr;
    }
    PlxMBString base, format, box;
    VmKVPairs pairs;
    VmHttpHelper::URLtoKVPairs(url, base, pairs);
    // A URL without the values a map request carries is not sent at all.
    if (!pairs.Lookup("FORMAT", format) || !pairs.Lookup("BBOX", box)) return nullptr;
    PlxArray<PlxMBString> parts;
    box.Split(",", parts, 1);
    if (parts.GetSize() < 4) return nullptr;
    PlxRect2D georef(std::atof(parts[0].c_str()), std::atof(parts[3].c_str()), std::atof(parts[2].c_str()),
                     std::atof(parts[1].c_str()));

    const PlxDsConnection& connection = source->GetConnectionInfo();
    PlxMBString contentType;
    PlxMBString path = VmHttpHelper::RequestFile(url, connection.User, connection.Password, 0, 1, contentType);
    if (!contentType.IsEmpty()) format = contentType;
    // An XML answer is the server's exception report: nothing to import.
    if (format.Find("xml") >= 0 || format.Find("XML") >= 0) return nullptr;

    VmFileStatus status;
    if (!VmFile::GetStatus(path, status) || status.size == 0) {
        VmFile::Delete(path);
        VM_LOG(VmLogFailure, "EIb003");
        return nullptr;
    }
    VmImportFailure failure = VmImportNoFailure;
    VmDataSource* memory = ImportIntoMemory(path, ImportFileTypeOf(format, false), m_strName, georef, failure);
    if (!memory) {
        VM_LOG(VmLogFailure, failure == VmImportNoDataSource ? "EEg001" : "ELg050");
        return nullptr;
    }
    m_TempDataSources.Add(memory);
    VmFile::Delete(path);
    auto* raster = dynamic_cast<VmDatasetRaster*>(memory->GetDataset(0));
    if (raster) raster->SetPrjCoordSys(GetPrjCoordSys());
    return raster;
}

// ---------------------------------------------------------------------------
// GetFeatureInfo

unsigned char VmDatasetRasterWMS::GetWMSFeatureInfos(long long px, long long py,
                                                     PlxDict<PlxMBString, PlxMBString>& result) {
    if (!IsOpen()) Open();
    VmDataSourceOGC* source = OGCSource();
    if (!source) return 0;
    // The pixel belongs to the map of the last GetMap: its size, box and layers.
    long long width = m_nMapWidth, height = m_nMapHeight;
    PlxMBString layers = GetLayersURLValue();
    if (layers.IsEmpty()) {
        VM_LOG(VmLogMapFailure, "EEb001");
        if (m_AllLayers.IsEmpty()) return 0;  // nothing to fall back on: no request
        layers = m_AllLayers[0]->Name;
        width = 1;
        height = 1;
    }
    auto* caps = dynamic_cast<WMSCapabilities*>(source->GetCapabilitiesDocument());
    PlxMBString box;
    box.Format("%lf,%lf,%lf,%lf", m_rcRequest.left, m_rcRequest.bottom, m_rcRequest.right, m_rcRequest.top);

    VmWMSFeatureInfos request;
    request.SetMainURL(RequestBase(caps ? caps->Capability.GetMap.URL : PlxMBString(), source->GetURL()));
    request.SetLayers(layers);
    request.SetQueryLayers(GetQueryableLayers());
    request.SetWidth(width);
    request.SetHeight(height);
    request.SetBox(box);
    request.SetPx(px);
    request.SetPy(py);
    return request.GetWMSFeatureInfos(result);
}

unsigned char VmDatasetRasterWMS::GetFeatureInfo(int x, int y, PlxDict<PlxMBString, PlxMBString>& values) {
    return GetWMSFeatureInfos(x, y, values);
}

} // namespace VMK
