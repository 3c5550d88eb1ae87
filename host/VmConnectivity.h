// The host's data-connectivity interface: a simpler face of data sources and
// features through which other programs reach any engine without knowing the
// engine interface. The host implements it once, as bridges that wrap an
// engine data source (VmDataSourcePlx) and hold one feature (VmFeaturePlx);
// engines hand such bridges out from their factories.
#pragma once

#include "PlxTypes.h"
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmProjection.h"

namespace PLX {

// Where a data source is and who opens it.
struct PlxConnection {
    PlxMBString Server;    // file, database or service address
    PlxMBString Database;
    PlxMBString User;
    PlxMBString Password;
    PlxMBString Kind;      // what the engine calls the source's kind ("wms", "wfs", ...)
    PlxMBString Target;    // engine-specific; a tile service's cache folder
    PlxMBString Alias;
};

// Character sets a feature's texts may be in.
class PLXCharset {
public:
    enum Charset {
        Default = 0,
        ANSI = 1,
        UTF8 = 2,
        Unicode = 3,
        GB18030 = 4,
        Windows1252 = 5,
    };
};

class PlxDataSource {
public:
    virtual ~PlxDataSource() = default;

    virtual unsigned char Create(const PlxConnection& connection) = 0;
    virtual unsigned char Open(const PlxConnection& connection) = 0;
    virtual void Close() = 0;
    virtual unsigned char IsOpen() = 0;
    virtual int GetDatasetCount() = 0;
    virtual VMK::VmDataset* GetDataset(const PlxMBString& name) = 0;
    virtual VMK::VmDataset* GetDataset(int index) = 0;
    virtual unsigned char DeleteDataset(const PlxMBString& name) = 0;
    virtual VMK::VmDatasetVector* CreateDatasetVector(const VMK::VmDatasetVectorInfo& info) = 0;
    virtual VMK::VmDatasetRaster* CreateDatasetRaster(const VMK::VmDatasetRasterInfo& info) = 0;
    // A new dataset named `name` holding a copy of `source`.
    virtual VMK::VmDataset* CreateDatasetFrom(const PlxMBString& name, VMK::VmDataset* source) = 0;
    virtual VMK::VmDataset* CopyDataset(VMK::VmDataset* source, const PlxMBString& name) = 0;
    virtual unsigned char SaveInfo() = 0;
    virtual void SetCoordSys(const VMK::VmPrjCoordSys& system) = 0;
    virtual VMK::VmPrjCoordSys GetCoordSys() = 0;
    // Runs a statement in the engine's own language.
    virtual unsigned char Execute(const PlxMBString& statement) = 0;
    virtual unsigned char IsConnected() = 0;
    virtual unsigned char Connect() = 0;
    virtual PlxTime GetDateLastUpdated() = 0;
    virtual PlxTime GetDateCreated() = 0;
    virtual unsigned char ChangePassword(const PlxMBString& password) = 0;
    virtual PlxMBString GetEngineName() = 0;
    virtual PlxMBString GetUnoccupiedDatasetName(const PlxMBString& name) = 0;
    virtual unsigned char IsAvailableDatasetName(const PlxMBString& name) = 0;
    // The version of what the source speaks to (a service's protocol version).
    virtual PlxMBString GetVersion() = 0;
    virtual unsigned char BeginTrans() = 0;
    virtual void Commit() = 0;
    virtual void Rollback() = 0;
    virtual unsigned char IsTransStarted() = 0;
    virtual unsigned char IsTransacted() = 0;
    virtual PlxMBString GetPassword() = 0;
    virtual PlxMBString GetName() = 0;
    virtual int GetEngineType() = 0;
    virtual int GetEngineClass() = 0;
    virtual PlxMBString GetEnginePostfix() = 0;
    virtual unsigned char IsModified() = 0;
    virtual void SetModifiedFlag(unsigned char modified) = 0;
    virtual PlxMBString GetAlias() = 0;
    virtual void SetAlias(const PlxMBString& alias) = 0;
    virtual unsigned char IsValidFieldOrTableName(const PlxMBString& name) = 0;
    virtual void SetDescription(const PlxMBString& description) = 0;
    virtual PlxMBString GetDescription() = 0;
    // Removes the source's storage for good.
    virtual unsigned char DropDataSource() = 0;
    virtual unsigned char InitMetaDatabase() = 0;
    virtual VMK::VmDataset* GetMetaDatabase() = 0;
    virtual void SetMetaUUID(const PlxMBString& uuid) = 0;
    virtual PlxMBString GetMetaUUID() = 0;
    virtual VMK::VmDataset* FindDatasetByMetaData(const PlxMBString& uuid) = 0;
};

class PlxFeature {
public:
    virtual ~PlxFeature() = default;

    virtual int GetID() = 0;
    virtual void SetID(int id) = 0;
    // The feature's geometry, owned by the feature; null when it has none.
    virtual VMK::VmGeometry* GetElement() = 0;
    virtual void SetElement(const VMK::VmGeometry* element) = 0;
    virtual unsigned char GetValue(const PlxMBString& name, PlxMBString& value) = 0;
    virtual unsigned char GetValue(int index, PlxMBString& value) = 0;
    virtual unsigned char SetValue(const PlxMBString& name, const PlxMBString& value) = 0;
    virtual unsigned char SetValue(int index, const PlxMBString& value) = 0;
    virtual void SetFieldInfos(const VMK::PlxFieldInfos& fields) = 0;
    virtual PLXCharset::Charset GetCharset() = 0;
    virtual void SetCharset(PLXCharset::Charset charset) = 0;
};

} // namespace PLX

namespace VMK {

using PLX::PlxConnection;
using PLX::PLXCharset;
using PLX::PlxDataSource;
using PLX::PlxFeature;

// The bridge data source: every operation goes to the wrapped engine data
// source, which the bridge owns and deletes. Operations the engine interface
// has no counterpart for keep their state in the bridge (alias, description,
// coordinate system, modified flag, meta UUID) or fail. Without a wrapped
// source every operation fails.
class VmDataSourcePlx : public PlxDataSource {
public:
    VmDataSourcePlx() = default;
    ~VmDataSourcePlx() override;
    VmDataSourcePlx(const VmDataSourcePlx&) = delete;
    VmDataSourcePlx& operator=(const VmDataSourcePlx&) = delete;

    // Takes over `source` (may be null), deleting the one wrapped before.
    void SetDataSource(VmDataSource* source);
    VmDataSource* GetDataSource() const { return m_pDataSource; }

    // Both fill the engine's connection record from `connection` first.
    unsigned char Create(const PlxConnection& connection) override;
    unsigned char Open(const PlxConnection& connection) override;
    void Close() override;
    unsigned char IsOpen() override;
    int GetDatasetCount() override;
    VmDataset* GetDataset(const PlxMBString& name) override;
    VmDataset* GetDataset(int index) override;
    unsigned char DeleteDataset(const PlxMBString& name) override;
    VmDatasetVector* CreateDatasetVector(const VmDatasetVectorInfo& info) override;
    VmDatasetRaster* CreateDatasetRaster(const VmDatasetRasterInfo& info) override;
    // The engine interface copies no datasets: null.
    VmDataset* CreateDatasetFrom(const PlxMBString& name, VmDataset* source) override;
    VmDataset* CopyDataset(VmDataset* source, const PlxMBString& name) override;
    unsigned char SaveInfo() override;
    void SetCoordSys(const VmPrjCoordSys& system) override;
    VmPrjCoordSys GetCoordSys() override;
    // The engine interface runs no statements: 0.
    unsigned char Execute(const PlxMBString& statement) override;
    unsigned char IsConnected() override;
    unsigned char Connect() override;
    PlxTime GetDateLastUpdated() override;
    PlxTime GetDateCreated() override;
    unsigned char ChangePassword(const PlxMBString& password) override;
    PlxMBString GetEngineName() override;
    PlxMBString GetUnoccupiedDatasetName(const PlxMBString& name) override;
    unsigned char IsAvailableDatasetName(const PlxMBString& name) override;
    PlxMBString GetVersion() override;
    unsigned char BeginTrans() override;
    void Commit() override;
    void Rollback() override;
    unsigned char IsTransStarted() override;
    unsigned char IsTransacted() override;
    PlxMBString GetPassword() override;
    // The connection's Server.
    PlxMBString GetName() override;
    int GetEngineType() override;
    // 0: the bridge does not classify engines.
    int GetEngineClass() override;
    PlxMBString GetEnginePostfix() override;
    unsigned char IsModified() override;
    void SetModifiedFlag(unsigned char modified) override;
    PlxMBString GetAlias() override;
    void SetAlias(const PlxMBString& alias) override;
    // A letter or "_" first, then letters, digits and "_", at most 128 bytes.
    unsigned char IsValidFieldOrTableName(const PlxMBString& name) override;
    void SetDescription(const PlxMBString& description) override;
    PlxMBString GetDescription() override;
    // Never drops anything through a bridge: 0.
    unsigned char DropDataSource() override;
    unsigned char InitMetaDatabase() override;
    VmDataset* GetMetaDatabase() override;
    void SetMetaUUID(const PlxMBString& uuid) override;
    PlxMBString GetMetaUUID() override;
    VmDataset* FindDatasetByMetaData(const PlxMBString& uuid) override;

private:
    void Fill(const PlxConnection& connection);

    VmDataSource* m_pDataSource = nullptr;  // owned
    VmPrjCoordSys m_CoordSys;
    PlxMBString m_strAlias;
    PlxMBString m_strDescription;
    PlxMBString m_strMetaUUID;
    unsigned char m_bModified = 0;
    unsigned char m_bTransStarted = 0;
};

// The bridge feature: an identifier, a geometry of its own, one text value per
// field of its field list (values by name ignore case), and the character
// set its texts are in (UTF-8 unless told).
class VmFeaturePlx : public PlxFeature {
public:
    VmFeaturePlx() = default;
    ~VmFeaturePlx() override;
    VmFeaturePlx(const VmFeaturePlx&) = delete;
    VmFeaturePlx& operator=(const VmFeaturePlx&) = delete;

    int GetID() override;
    void SetID(int id) override;
    VmGeometry* GetElement() override;
    // Keeps a copy; null removes the geometry.
    void SetElement(const VmGeometry* element) override;
    // 0 (value emptied) for a field not in the list.
    unsigned char GetValue(const PlxMBString& name, PlxMBString& value) override;
    unsigned char GetValue(int index, PlxMBString& value) override;
    unsigned char SetValue(const PlxMBString& name, const PlxMBString& value) override;
    unsigned char SetValue(int index, const PlxMBString& value) override;
    // Replaces the field list; every value starts empty again.
    void SetFieldInfos(const PlxFieldInfos& fields) override;
    PLXCharset::Charset GetCharset() override;
    void SetCharset(PLXCharset::Charset charset) override;

    const PlxFieldInfos& GetFieldInfos() const { return m_Fields; }

private:
    int IndexOf(const PlxMBString& name) const;

    int m_nID = 0;
    VmGeometry* m_pElement = nullptr;  // owned
    PlxFieldInfos m_Fields;
    PlxArray<PlxMBString> m_Values;
    PLXCharset::Charset m_nCharset = PLXCharset::UTF8;
};

} // namespace VMK
