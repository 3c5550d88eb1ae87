#include "VmConnectivity.h"

#include <cctype>

namespace VMK {

namespace {

// Longer names are refused by the engines with the shortest limit the host
// knows of.
const int kMaxNameBytes = 128;

bool IsNameStart(unsigned char c) { return std::isalpha(c) || c == '_' || c >= 0x80; }
bool IsNamePart(unsigned char c) { return IsNameStart(c) || std::isdigit(c); }

} // namespace

// ---------------------------------------------------------------------------
// VmDataSourcePlx

VmDataSourcePlx::~VmDataSourcePlx() { SetDataSource(nullptr); }

void VmDataSourcePlx::SetDataSource(VmDataSource* source) {
    if (source == m_pDataSource) return;
    delete m_pDataSource;
    m_pDataSource = source;
}

void VmDataSourcePlx::Fill(const PlxConnection& connection) {
    PlxDsConnection& record = m_pDataSource->GetConnectionInfo();
    record.Server = connection.Server;
    record.Database = connection.Database;
    record.User = connection.User;
    record.Password = connection.Password;
    record.ServiceKind = connection.Kind;
    record.Target = connection.Target;
    if (!connection.Alias.IsEmpty()) m_strAlias = connection.Alias;
}

unsigned char VmDataSourcePlx::Create(const PlxConnection& connection) {
    if (!m_pDataSource) return 0;
    Fill(connection);
    return m_pDataSource->Create();
}

unsigned char VmDataSourcePlx::Open(const PlxConnection& connection) {
    if (!m_pDataSource) return 0;
    Fill(connection);
    return m_pDataSource->Open();
}

void VmDataSourcePlx::Close() {
    if (m_pDataSource) m_pDataSource->Close();
    m_bTransStarted = 0;
}

unsigned char VmDataSourcePlx::IsOpen() { return m_pDataSource ? m_pDataSource->IsOpen() : 0; }

int VmDataSourcePlx::GetDatasetCount() { return m_pDataSource ? m_pDataSource->GetDatasetCount() : 0; }

VmDataset* VmDataSourcePlx::GetDataset(const PlxMBString& name) {
    return m_pDataSource ? m_pDataSource->GetDataset(name) : nullptr;
}

VmDataset* VmDataSourcePlx::GetDataset(int index) { return m_pDataSource ? m_pDataSource->GetDataset(index) : nullptr; }

unsigned char VmDataSourcePlx::DeleteDataset(const PlxMBString& name) {
    if (!m_pDataSource || !m_pDataSource->DeleteDataset(name)) return 0;
    m_bModified = 1;
    return 1;
}

VmDatasetVector* VmDataSourcePlx::CreateDatasetVector(const VmDatasetVectorInfo& info) {
    VmDatasetVector* dataset = m_pDataSource ? m_pDataSource->CreateDatasetVector(info) : nullptr;
    if (dataset) m_bModified = 1;
    return dataset;
}

VmDatasetRaster* VmDataSourcePlx::CreateDatasetRaster(const VmDatasetRasterInfo& info) {
    VmDatasetRaster* dataset = m_pDataSource ? m_pDataSource->CreateDatasetRaster(info, 0) : nullptr;
    if (dataset) m_bModified = 1;
    return dataset;
}

VmDataset* VmDataSourcePlx::CreateDatasetFrom(const PlxMBString&, VmDataset*) { return nullptr; }

VmDataset* VmDataSourcePlx::CopyDataset(VmDataset*, const PlxMBString&) { return nullptr; }

unsigned char VmDataSourcePlx::SaveInfo() {
    if (!m_pDataSource || !m_pDataSource->SaveInfo()) return 0;
    m_bModified = 0;
    return 1;
}

void VmDataSourcePlx::SetCoordSys(const VmPrjCoordSys& system) { m_CoordSys = system; }

VmPrjCoordSys VmDataSourcePlx::GetCoordSys() { return m_CoordSys; }

unsigned char VmDataSourcePlx::Execute(const PlxMBString&) { return 0; }

unsigned char VmDataSourcePlx::IsConnected() {
    // The engine interface has no connection test of its own: an open
    // source is a connected one.
    return m_pDataSource ? m_pDataSource->IsOpen() : 0;
}

unsigned char VmDataSourcePlx::Connect() { return m_pDataSource ? m_pDataSource->Connect() : 0; }

PlxTime VmDataSourcePlx::GetDateLastUpdated() { return m_pDataSource ? m_pDataSource->GetDateLastUpdated() : PlxTime(); }

PlxTime VmDataSourcePlx::GetDateCreated() { return m_pDataSource ? m_pDataSource->GetDateCreated() : PlxTime(); }

unsigned char VmDataSourcePlx::ChangePassword(const PlxMBString& password) {
    return m_pDataSource ? m_pDataSource->ChangePassword(password) : 0;
}

PlxMBString VmDataSourcePlx::GetEngineName() { return m_pDataSource ? m_pDataSource->GetEngineName() : PlxMBString(); }

PlxMBString VmDataSourcePlx::GetUnoccupiedDatasetName(const PlxMBString& name) {
    return m_pDataSource ? m_pDataSource->GetUnoccupiedDatasetName(name, 1) : PlxMBString();
}

unsigned char VmDataSourcePlx::IsAvailableDatasetName(const PlxMBString& name) {
    if (!m_pDataSource || !IsValidFieldOrTableName(name)) return 0;
    return m_pDataSource->GetDataset(name) ? 0 : 1;
}

PlxMBString VmDataSourcePlx::GetVersion() { return m_pDataSource ? m_pDataSource->GetServiceVersion() : PlxMBString(); }

unsigned char VmDataSourcePlx::BeginTrans() {
    if (!m_pDataSource || !m_pDataSource->BeginTrans()) return 0;
    m_bTransStarted = 1;
    return 1;
}

void VmDataSourcePlx::Commit() {
    if (m_pDataSource) m_pDataSource->Commit();
    m_bTransStarted = 0;
}

void VmDataSourcePlx::Rollback() {
    if (m_pDataSource) m_pDataSource->Rollback();
    m_bTransStarted = 0;
}

unsigned char VmDataSourcePlx::IsTransStarted() { return m_bTransStarted; }

unsigned char VmDataSourcePlx::IsTransacted() {
    return m_pDataSource ? m_pDataSource->HasAbility(VmEngAbilityTransaction) : 0;
}

PlxMBString VmDataSourcePlx::GetPassword() { return m_pDataSource ? m_pDataSource->GetPassword() : PlxMBString(); }

PlxMBString VmDataSourcePlx::GetName() {
    return m_pDataSource ? m_pDataSource->GetConnectionInfo().Server : PlxMBString();
}

int VmDataSourcePlx::GetEngineType() { return m_pDataSource ? m_pDataSource->GetEngineType() : 0; }

int VmDataSourcePlx::GetEngineClass() { return 0; }

PlxMBString VmDataSourcePlx::GetEnginePostfix() { return PlxMBString(); }

unsigned char VmDataSourcePlx::IsModified() { return m_bModified; }

void VmDataSourcePlx::SetModifiedFlag(unsigned char modified) { m_bModified = modified; }

PlxMBString VmDataSourcePlx::GetAlias() { return m_strAlias; }

void VmDataSourcePlx::SetAlias(const PlxMBString& alias) { m_strAlias = alias; }

unsigned char VmDataSourcePlx::IsValidFieldOrTableName(const PlxMBString& name) {
    if (name.IsEmpty() || name.GetLength() > kMaxNameBytes) return 0;
    if (!IsNameStart(static_cast<unsigned char>(name[0]))) return 0;
    for (int i = 1; i < name.GetLength(); ++i)
        if (!IsNamePart(static_cast<unsigned char>(name[i]))) return 0;
    return 1;
}

void VmDataSourcePlx::SetDescription(const PlxMBString& description) { m_strDescription = description; }

PlxMBString VmDataSourcePlx::GetDescription() { return m_strDescription; }

unsigned char VmDataSourcePlx::DropDataSource() { return 0; }

unsigned char VmDataSourcePlx::InitMetaDatabase() { return 0; }

VmDataset* VmDataSourcePlx::GetMetaDatabase() { return nullptr; }

void VmDataSourcePlx::SetMetaUUID(const PlxMBString& uuid) { m_strMetaUUID = uuid; }

PlxMBString VmDataSourcePlx::GetMetaUUID() { return m_strMetaUUID; }

VmDataset* VmDataSourcePlx::FindDatasetByMetaData(const PlxMBString&) { return nullptr; }

// ---------------------------------------------------------------------------
// VmFeaturePlx

VmFeaturePlx::~VmFeaturePlx() { delete m_pElement; }

int VmFeaturePlx::GetID() { return m_nID; }

void VmFeaturePlx::SetID(int id) { m_nID = id; }

VmGeometry* VmFeaturePlx::GetElement() { return m_pElement; }

void VmFeaturePlx::SetElement(const VmGeometry* element) {
    if (element == m_pElement) return;
    VmGeometry* copy = element ? element->Clone() : nullptr;
    delete m_pElement;
    m_pElement = copy;
}

int VmFeaturePlx::IndexOf(const PlxMBString& name) const {
    for (int i = 0; i < m_Fields.GetSize(); ++i)
        if (m_Fields[i].Name.CompareNoCase(name) == 0) return i;
    return -1;
}

unsigned char VmFeaturePlx::GetValue(const PlxMBString& name, PlxMBString& value) {
    return GetValue(IndexOf(name), value);
}

unsigned char VmFeaturePlx::GetValue(int index, PlxMBString& value) {
    if (index < 0 || index >= m_Values.GetSize()) {
        value.Empty();
        return 0;
    }
    value = m_Values[index];
    return 1;
}

unsigned char VmFeaturePlx::SetValue(const PlxMBString& name, const PlxMBString& value) {
    return SetValue(IndexOf(name), value);
}

unsigned char VmFeaturePlx::SetValue(int index, const PlxMBString& value) {
    if (index < 0 || index >= m_Values.GetSize()) return 0;
    m_Values[index] = value;
    return 1;
}

void VmFeaturePlx::SetFieldInfos(const PlxFieldInfos& fields) {
    m_Fields.Copy(fields);
    m_Values.RemoveAll();
    m_Values.SetSize(fields.GetSize());
}

PLXCharset::Charset VmFeaturePlx::GetCharset() { return m_nCharset; }

void VmFeaturePlx::SetCharset(PLXCharset::Charset charset) { m_nCharset = charset; }

} // namespace VMK
