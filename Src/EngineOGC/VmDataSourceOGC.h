// The OGC data source: the object a host gets from CreateDataSource. It turns a
// typed service address into a capabilities request, negotiates the protocol
// version with the server and creates the service's datasets. It is read-only
// towards the service: every write operation of the host interface is refused
// with a logged code.
#pragma once

#include "VmEngine.h"
#include "VmOGCCommon.h"
#include "VmProjection.h"

namespace VMK {

class OGCCapabilities;
class WMSCapabilities;
class WCSCapabilities;
class WFSCapabilities;

// One protocol version as number (111) and text ("1.1.1").
struct OGCVersion {
    OGCVersion() = default;
    OGCVersion(int number, const PlxMBString& text) : nVersion(number), strVersion(text) {}
    int nVersion = 0;
    PlxMBString strVersion;
};

class VM_OGC_API VmDataSourceOGC : public VmDataSource {
public:
    // Engine type number of this engine in the host.
    static const int EngineTypeOGC = 23;

    // Resets the connection record to the engine's defaults.
    VmDataSourceOGC();
    // Takes the given record as it is.
    explicit VmDataSourceOGC(PlxDsConnection connection);
    // Deletes the capabilities document, then closes (deleting every dataset),
    // then deletes the coverage records of a WCS document.
    ~VmDataSourceOGC() override;

    unsigned char Create() override;
    unsigned char Open() override;
    unsigned char IsOpen() override;
    unsigned char Connect() override;
    void Close() override;
    PlxTime GetDateCreated() override;
    PlxTime GetDateLastUpdated() override;
    unsigned char SaveInfo() override;
    unsigned char ChangePassword(const PlxMBString& password) override;
    unsigned char DeleteDataset(const PlxMBString& name) override;
    VmDatasetVector* CreateDatasetVector(const VmDatasetVectorInfo& info) override;
    VmDatasetTopo* CreateDatasetTopo(const PlxMBString& name) override;
    VmDatasetRaster* CreateDatasetRaster(const VmDatasetRasterInfo& info, unsigned char flag) override;
    PlxMBString GetEngineName() override;
    unsigned char BeginTrans() override;
    void Commit() override;
    void Rollback() override;
    unsigned char HasAbility(VmEngAbility ability) override;
    unsigned char IsSupport(VmDataset::DatasetType type) override;
    unsigned char IsSupport(VmEngAction action) override;
    virtual unsigned char IsConnected();
    // The negotiated protocol version; "" while the source is not open.
    PlxMBString GetServiceVersion() override;

    void SetCached(const unsigned char& value) { m_bCached = value; }
    unsigned char IsCached() const { return m_bCached; }

    // m_strURL and m_strVersion from the connection's Server and Target.
    void AutoPatchURL();
    // Probes the server version by version; true when one was agreed.
    unsigned char VersionNegotiate();
    // Downloads and reads the capabilities document and creates the datasets.
    unsigned char GetCapabilities();
    // The version of the capabilities document the server answers `url` with
    // (111 for 1.1.1), anything else on failure.
    int CheckGetCapbility(PlxMBString url);
    // False only for an empty name (logged); otherwise `projection` becomes the
    // system the name stands for.
    unsigned char GetProjectionByName(VmPrjCoordSys& projection, const PlxMBString& name);

    const PlxMBString& GetURL() const { return m_strURL; }
    const PlxMBString& GetVersion() const { return m_strVersion; }
    OGCCapabilities* GetCapabilitiesDocument() const { return m_pCapabilities; }

protected:
    void LoadOGCDict();
    PlxMBString TrimKeyWord(const PlxMBString& url);
    unsigned char OpenDataSourceWMTS();


    PlxMBString m_strURL;
    PlxMBString m_strVersion;
    OGCCapabilities* m_pCapabilities = nullptr;  // owned
    unsigned char m_bCached = 0;
    PlxDict<PlxMBString, int> m_dictOGCKeyWords;

private:
    // The one raster dataset of a map service, fed with the document's layer tree.
    void CreateMapDataset(WMSCapabilities& document);
    // One raster dataset per coverage, each of which asks for its description.
    void CreateCoverageDatasets(WCSCapabilities& document);
    // One vector dataset per feature type, each of which reads its schema.
    void CreateFeatureDatasets(WFSCapabilities& document);
};

} // namespace VMK

// The plug-in's entry point: a new, closed OGC data source owned by the caller
// (null when it cannot be allocated).
extern "C" VM_OGC_API VMK::VmDataSource* CreateDataSource();

namespace PLX {
class PlxDataSource;
class PlxFeature;
} // namespace PLX

// The data-connectivity entry points: a host bridge around a new, closed OGC
// data source (which the bridge owns), and a new empty host bridge feature;
// both owned by the caller, null when they cannot be allocated.
extern "C" VM_OGC_API PLX::PlxDataSource* CreatePlxDataSource();
extern "C" VM_OGC_API PLX::PlxFeature* CreatePlxFeature();
