// The OGC data source: identity, refusals, opening and closing, the request
// keyword table and URL normalising, version negotiation, capabilities
// retrieval and CRS lookup.
#include "VmDataSourceOGC.h"

#include "OGCCapabilities.h"
#include "VmDatasetRasterWCS.h"
#include "VmDatasetRasterWMS.h"
#include "VmDatasetRasterWMTS.h"
#include "VmDatasetVectorWFS.h"
#include "VmNetwork.h"
#include "VmOGCRequest.h"
#include "VmStream.h"
#include "VmTileCache.h"

#include <memory>
#include <mutex>

#include <new>

#define VM_LOG_SOURCE "Src/EngineOGC/VmDataSourceOGC"

VM_INSTALL_CRASH_DUMP();

namespace VMK {

namespace {

bool IsServiceWord(const PlxMBString& kind) {
    return kind.CompareNoCase("wms") == 0 || kind.CompareNoCase("wfs") == 0 || kind.CompareNoCase("wcs") == 0;
}

// The versions the engine speaks per service, in the order negotiation tries them.
PlxArray<OGCVersion> SupportedVersions(const PlxMBString& target) {
    PlxArray<OGCVersion> versions;
    if (target.CompareNoCase("wms") == 0) {
        versions.Add(OGCVersion(100, "1.0.0"));
        versions.Add(OGCVersion(110, "1.1.0"));
        versions.Add(OGCVersion(111, "1.1.1"));
        versions.Add(OGCVersion(130, "1.3.0"));
    } else if (target.CompareNoCase("wfs") == 0 || target.CompareNoCase("wcs") == 0) {
        versions.Add(OGCVersion(100, "1.0.0"));
        versions.Add(OGCVersion(110, "1.1.0"));
    }
    return versions;
}

} // namespace

// ---------------------------------------------------------------------------
// Construction and identity

VmDataSourceOGC::VmDataSourceOGC() {
    m_dsConnection.EngineType = EngineTypeOGC;
    m_dsConnection.Server.Empty();
    m_dsConnection.User.Empty();
    m_dsConnection.Password.Empty();
    m_dsConnection.Target.Empty();
    m_dsConnection.Database.Empty();
    m_dsConnection.OptionFlag1 = 0;
    m_dsConnection.OptionFlag2 = 0;
    m_dsConnection.OptionFlag3 = 0;
    m_dsConnection.OptionFlag4 = 1;
    m_dsConnection.ReadOnly = 1;
    m_nAccessMode = 3;
    m_strDescription.Empty();
    LoadOGCDict();
}

VmDataSourceOGC::VmDataSourceOGC(PlxDsConnection connection) {
    m_dsConnection = connection;
    LoadOGCDict();
}

VmDataSourceOGC::~VmDataSourceOGC() {
    // Coverage records belong to this source, not to the document: the WCS
    // datasets point at them until Close has deleted the datasets.
    PlxArray<WCSCoverage*> coverages;
    if (auto* wcs = dynamic_cast<WCSCapabilities*>(m_pCapabilities)) coverages.Copy(wcs->Coverages);
    delete m_pCapabilities;
    m_pCapabilities = nullptr;
    VmDataSourceOGC::Close();
    for (WCSCoverage* coverage : coverages) delete coverage;
}

PlxMBString VmDataSourceOGC::GetEngineName() { return PlxMBString("OGC Web Engine"); }
PlxTime VmDataSourceOGC::GetDateCreated() { return PlxTime(0.0); }
PlxTime VmDataSourceOGC::GetDateLastUpdated() { return PlxTime(0.0); }
unsigned char VmDataSourceOGC::SaveInfo() { return 1; }
unsigned char VmDataSourceOGC::HasAbility(VmEngAbility ability) { return ability == VmEngAbilityRead ? 1 : 0; }

unsigned char VmDataSourceOGC::IsSupport(VmDataset::DatasetType type) {
    return (type == VmDataset::WebMap || type == VmDataset::WebCoverage || type == VmDataset::WebFeature) ? 1 : 0;
}

unsigned char VmDataSourceOGC::IsOpen() { return m_bOpened; }
unsigned char VmDataSourceOGC::IsConnected() { return m_bOpened; }
unsigned char VmDataSourceOGC::Connect() { return Open(); }
PlxMBString VmDataSourceOGC::GetServiceVersion() { return m_bOpened ? m_strVersion : PlxMBString(); }

unsigned char VmDataSourceOGC::ChangePassword(const PlxMBString& password) {
    m_dsConnection.Password = password;
    return GetPassword().CompareNoCase(password) == 0 ? 1 : 0;
}

// ---------------------------------------------------------------------------
// Refusals: the engine never writes to a service.

unsigned char VmDataSourceOGC::Create() {
    VM_LOG(VmLogUnsupported, "ELg035");
    return 0;
}

VmDatasetRaster* VmDataSourceOGC::CreateDatasetRaster(const VmDatasetRasterInfo&, unsigned char) {
    VM_LOG(VmLogUnsupported, "ELg036");
    return nullptr;
}

VmDatasetTopo* VmDataSourceOGC::CreateDatasetTopo(const PlxMBString&) {
    VM_LOG(VmLogUnsupported, "ELg037");
    return nullptr;
}

VmDatasetVector* VmDataSourceOGC::CreateDatasetVector(const VmDatasetVectorInfo&) {
    VM_LOG(VmLogUnsupported, "ELg038");
    return nullptr;
}

void VmDataSourceOGC::Rollback() { VM_LOG(VmLogUnsupported, "ELg039"); }

void VmDataSourceOGC::Commit() { VM_LOG(VmLogUnsupported, "ELg040"); }

unsigned char VmDataSourceOGC::BeginTrans() {
    VM_LOG(VmLogUnsupported, "ELg041");
    return 0;
}

unsigned char VmDataSourceOGC::IsSupport(VmEngAction) {
    VM_LOG(VmLogUnsupported, "ELg041");
    return 0;
}

// ---------------------------------------------------------------------------
// Opening and closing

unsigned char VmDataSourceOGC::Open() {
    if (m_dsConnection.ServiceKind.CompareNoCase("wmts") == 0) return OpenDataSourceWMTS();
    if (IsServiceWord(m_dsConnection.ServiceKind)) m_dsConnection.Target = m_dsConnection.ServiceKind;
    m_dsConnection.OptionFlag1 = 0;
    AutoPatchURL();
    if (!VersionNegotiate()) return 0;
    if (!GetCapabilities()) return 0;
    m_bOpened = 1;
    return 1;
}

void VmDataSourceOGC::Close() {
    if (!IsConnected()) return;
    for (int i = m_Datasets.GetSize() - 1; i >= 0; --i) {
        // DeleteDataset removes from the end, so a shorter list is fine here.
        if (i >= m_Datasets.GetSize()) continue;
        VmDataset* dataset = m_Datasets[i];
        DeleteDataset(dataset->GetName());
    }
    m_Datasets.RemoveAll();
    m_Datasets.FreeExtra();
    m_bOpened = 0;
}

unsigned char VmDataSourceOGC::DeleteDataset(const PlxMBString& name) {
    for (int i = m_Datasets.GetSize() - 1; i >= 0; --i) {
        VmDataset* dataset = m_Datasets[i];
        if (dataset->GetName().CompareNoCase(name) != 0) continue;
        dataset->Close();
        delete dataset;
        m_Datasets.RemoveAt(i);
        return 1;
    }
    return 0;
}

unsigned char VmDataSourceOGC::OpenDataSourceWMTS() {
    std::lock_guard<VmMutex> lock(m_mutex);
    if (m_bOpened) return 1;
    std::unique_ptr<VmMapServiceParams> params(VmMapServiceParamsManager::MakeParams(VmMapServiceWMTS));
    auto* service = dynamic_cast<VmWMTSParams*>(params.get());
    if (!service) return 0;
    service->SetServiceAddress(m_dsConnection.Server);

    PlxMBString folder = m_dsConnection.Target;
    folder.Trim();
    if (folder.IsEmpty()) {
        folder = VmRegistry::Root()["WebCacheFilePath"];
        if (folder.Left(1) == ".") folder = VmFile::GetAbsolutePath(VmRegistry::XmlPath(), folder);
    }
    service->SetBufferPath(folder);
    // The description file name starts with "/", so the folder takes it as is.
    if (!service->IsReady() && !service->LoadFromPath(folder + service->GetDescriptionFileName())) return 0;

    PlxArray<PlxMBString> layers;
    service->GetLayerNames(layers);
    for (const PlxMBString& name : layers) {
        VmWMTSParams* layer = service->GetLayerParams(name);
        if (!layer) continue;
        VmMapServiceStub* stub = VmMapServiceStubManager::CreateMapServiceStub(VmMapServiceWMTS);
        if (!stub) {
            delete layer;
            return 0;
        }
        stub->SetScales(layer->GetTileScaleNames());
        auto* dataset = new (std::nothrow) VmDatasetRasterWMTS();
        if (!dataset) {
            delete layer;
            delete stub;
            return 0;
        }
        dataset->SetDataSource(this);
        dataset->SetMapServiceStub(stub);
        dataset->SetMapServiceParams(layer);
        dataset->SetBufferPath(folder);
        VmDatasetRasterInfo info;
        info.Name = layer->GetLayerAlias();
        info.TableName = info.Name;
        info.Type = VmDataset::WebTile;
        info.PixelFormat = VmPixelRGBA32;
        info.Width = info.Height = TiledPixelSize(layer->GetZoomLevel(), layer->GetTileSize());
        info.Bounds = layer->GetBounds();
        dataset->SetInfo(info);
        dataset->SetPrjCoordSys(layer->GetPrjCoordSys());
        m_Datasets.Add(dataset);
        m_bOpened = 1;
    }
    m_dsConnection.OptionFlag1 = 1;
    return m_bOpened;
}

// ---------------------------------------------------------------------------
// Request keywords and URL normalising

void VmDataSourceOGC::LoadOGCDict() {
    static const struct {
        int firstCode;
        const char* keys[16];
    } groups[] = {
        {1101, {"VERSION", "SERVICE", "REQUEST", "UPDATESEQUENCE"}},
        {1201, {"LAYERS", "STYLES", "SRS", "CRS", "BBOX", "WIDTH", "HEIGHT", "FORMAT", "TRANSPARENT", "BGCOLOR",
                "EXCEPTIONS", "TIME", "ELEVATION", "SLD", "WFS"}},
        {1301, {"QUERY_LAYERS", "INFO_FORMAT", "FEATURE_COUNT", "X", "Y"}},
        {2101, {"VERSION", "SERVICE", "REQUEST", "NAMESPACE"}},
        {2201, {"TYPENAME", "OUTPUTFORMAT"}},
        {2301, {"PROPERTYNAME", "FEATUREVERSION", "MAXFEATURES", "TYPENAME", "FEATUREID", "FILTER", "BBOX",
                "RESULTTYPE", "EXPIRY", "SRSNAME", "SORTBY", "TRAVERSEXLINKDEPTH", "TRAVERSEXLINKEXPIRY",
                "PORPTRAVXLINKDEPTH", "PORPTRAVXLINKEXPIRY"}},
        {2401, {"GMLOBJECTID"}},
        {2501, {"EXPIRY", "LOCKACTION"}},
        {2601, {"OPERATION", "RELEASEACTION"}},
        {3101, {"REQUEST", "VERSION", "SERVICE", "SECTION", "UPDATESEQUENCE"}},
        {3201, {"COVERAGE"}},
        {3301, {"CRS", "RESPONSE_CRS", "BBOX", "TIME", "WIDTH", "HEIGHT", "DEPTH", "RESX", "RESY", "RESZ", "FORMAT",
                "EXCEPTIONS"}},
    };
    m_dictOGCKeyWords.RemoveAll();
    for (const auto& group : groups)
        for (int i = 0; i < 16 && group.keys[i]; ++i) m_dictOGCKeyWords.SetAt(group.keys[i], group.firstCode + i);
}

PlxMBString VmDataSourceOGC::TrimKeyWord(const PlxMBString& url) { return RemoveQueryKeys(url, m_dictOGCKeyWords); }

void VmDataSourceOGC::AutoPatchURL() {
    m_strURL = TrimKeyWord(m_dsConnection.Server);
    PlxMBString base;
    VmKVPairs pairs;
    VmHttpHelper::URLtoKVPairs(m_strURL, base, pairs);

    PlxMBString version;
    if (!pairs.Lookup("VERSION", version) || version.IsEmpty()) {
        m_strVersion = "1.0.0";
        pairs.SetAt("VERSION", m_strVersion);
    } else {
        m_strVersion = version;
    }
    // A doubled "&" means the address was built by hand in a way we cannot
    // rebuild faithfully; it is sent as the user typed it, less the keywords.
    if (m_strURL.Find("&&") >= 0) return;

    PlxMBString value;
    if (!pairs.Lookup("REQUEST", value) || value.IsEmpty()) pairs.SetAt("REQUEST", "GetCapabilities");
    if (!pairs.Lookup("SERVICE", value) || value.IsEmpty()) {
        const PlxMBString& target = m_dsConnection.Target;
        if (target.CompareNoCase("wms") == 0) pairs.SetAt("SERVICE", "WMS");
        else if (target.CompareNoCase("wfs") == 0) pairs.SetAt("SERVICE", "WFS");
        else if (target.CompareNoCase("wcs") == 0) pairs.SetAt("SERVICE", "WCS");
    }
    VmHttpHelper::KVPairstoURL(base, pairs, m_strURL);
}

// ---------------------------------------------------------------------------
// Version negotiation and capabilities

int VmDataSourceOGC::CheckGetCapbility(PlxMBString url) {
    return VmHttpHelper::CheckOGCRequest(url, m_dsConnection.User, m_dsConnection.Password);
}

unsigned char VmDataSourceOGC::VersionNegotiate() {
    PlxArray<OGCVersion> versions = SupportedVersions(m_dsConnection.Target);
    PlxMBString base;
    VmKVPairs pairs;
    VmHttpHelper::URLtoKVPairs(m_strURL, base, pairs);

    PlxMBString digits = m_strVersion;
    digits.Remove('.');
    if (CheckGetCapbility(m_strURL) == digits.ToInt(10)) return 1;

    PlxMBString candidate;
    PlxMBString lastTried;
    for (const OGCVersion& version : versions) {
        pairs.SetAt("VERSION", version.strVersion);
        VmHttpHelper::KVPairstoURL(base, pairs, candidate);
        lastTried = version.strVersion;
        if (CheckGetCapbility(candidate) == version.nVersion) {
            m_strURL = candidate;
            m_strVersion = version.strVersion;
            return 1;
        }
    }
    if (m_dsConnection.Target.CompareNoCase("wcs") == 0 && candidate.Find("SERVICE=WCS") >= 0) {
        VmStringEx format;
        format.LoadResString("EAe006");
        PlxMBString message;
        message.Format(format.c_str(), lastTried.c_str());
        VmLogFile::GetInstance(false).RecordLog(VmLogFailure, "EAe006", message.c_str(), VM_LOG_SOURCE, __LINE__);
    }
    return 0;
}

unsigned char VmDataSourceOGC::GetCapabilities() {
    PlxMBString path = VmHttpHelper::RequestFile(m_strURL, m_dsConnection.User, m_dsConnection.Password, 0, 0);
    if (path.IsEmpty()) return 0;
    OGCCapabilities* document = OGCCapabilities::CreateReader(m_dsConnection.Target, m_strVersion);
    if (!document) {
        VmFile::Delete(path);
        return 0;
    }
    // A document that fails to read is still used in the state it reached:
    // the service then simply offers nothing.
    document->LoadFile(path);
    document->AttachDataSource(this);
    // The host closes before it opens again, so no dataset points into the
    // document being replaced any more.
    if (auto* old = dynamic_cast<WCSCapabilities*>(m_pCapabilities)) old->ReleaseCoverages();
    delete m_pCapabilities;
    m_pCapabilities = document;
    if (auto* wms = dynamic_cast<WMSCapabilities*>(document)) CreateMapDataset(*wms);
    if (auto* wcs = dynamic_cast<WCSCapabilities*>(document)) CreateCoverageDatasets(*wcs);
    if (auto* wfs = dynamic_cast<WFSCapabilities*>(document)) CreateFeatureDatasets(*wfs);
    VmFile::Delete(path);
    return 1;
}

void VmDataSourceOGC::CreateMapDataset(WMSCapabilities& document) {
    VmDatasetRasterInfo info;
    info.Type = VmDataset::WebMap;
    auto* dataset = new VmDatasetRasterWMS(info);
    dataset->initLayers(document.RootLayer);
    dataset->SetDataSource(this);
    m_Datasets.Add(dataset);
    VmPrjCoordSys projection;
    if (GetProjectionByName(projection, dataset->GetUsedCRSBound().Name)) dataset->SetPrjCoordSys(projection);
}

void VmDataSourceOGC::CreateFeatureDatasets(WFSCapabilities& document) {
    m_bCached = 0;
    VmDatasetVectorInfo info;
    info.Type = VmDataset::WebFeature;
    for (const WFSFeatureType* type : document.FeatureTypes) {
        info.Name = type->Title;
        auto* dataset = new (std::nothrow) VmDatasetVectorWFS(info);
        if (!dataset) continue;
        dataset->SetBounds(type->LatLonBox);
        dataset->SetFeatureTypeInfo(*type);
        dataset->SetDataSource(this);
        dataset->SetGranule(0.9);
        // A schema that cannot be read leaves the dataset without fields;
        // every download reads the schema again.
        dataset->ParseDatasetType();
        VmPrjCoordSys projection;
        if (GetProjectionByName(projection, "EPSG:4326")) dataset->SetPrjCoordSys(projection);
        m_Datasets.Add(dataset);
    }
}

void VmDataSourceOGC::CreateCoverageDatasets(WCSCapabilities& document) {
    VmDatasetRasterInfo info;
    info.Type = VmDataset::WebCoverage;
    for (WCSCoverage* coverage : document.Coverages) {
        auto* dataset = new VmDatasetRasterWCS(info);
        dataset->initCoverage(coverage);
        // A coverage the server does not describe stays, without a grid.
        dataset->ParseCoverage(&document);
        dataset->SetDataSource(this);
        VmPrjCoordSys projection;
        if (GetProjectionByName(projection, "EPSG:4326")) dataset->SetPrjCoordSys(projection);
        m_Datasets.Add(dataset);
    }
}

// ---------------------------------------------------------------------------
// CRS names

unsigned char VmDataSourceOGC::GetProjectionByName(VmPrjCoordSys& projection, const PlxMBString& name) {
    if (name.IsEmpty()) {
        VM_LOG(VmLogFailure, "EHa003");
        return 0;
    }
    VmPrjCoordSys system;
    if (name.Find("EPSG:4326") >= 0) {
        system.SetTypeID(1);
        system.SetGeoCoordSys(VmGeoCoordSys(4326));
    } else if (name.Find("EPSG") >= 0 && name.Find("EPSG:NONE") < 0 && name.Find("NONE") < 0) {
        PlxMBString code = name;
        code.TrimLeft("EPSG:");
        code.TrimLeft(" ");
        code.TrimRight(" ");
        system.SetTypeID(code.ToInt(10));
    } else {
        system.SetTypeID(0);
        system.SetGeoCoordSys(VmGeoCoordSys(0));
    }
    projection = system;
    return 1;
}

} // namespace VMK

extern "C" VM_OGC_API VMK::VmDataSource* CreateDataSource() {
    return new (std::nothrow) VMK::VmDataSourceOGC();
}
