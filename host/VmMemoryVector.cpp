// Vector datasets and recordsets: the base behaviour every engine inherits,
// and the in-memory engine's datasets and recordsets over their record
// stores (VmMemoryStore.h).
#include "VmEngine.h"
#include "VmGeometry.h"
#include "VmMemoryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <unordered_set>
#include <vector>

namespace VMK {

// ---------------------------------------------------------------------------
// Base recordset: a cursor over nothing.

VmRecordset::VmRecordset(VmDatasetVector* dataset, int queryType) : m_pDataset(dataset), m_nQueryType(queryType) {}

VmRecordset::~VmRecordset() {
    if (m_pDataset) m_pDataset->ForgetRecordset(this);
}

unsigned char VmRecordset::AddNew(VmGeometry*, int) { return 0; }
unsigned char VmRecordset::SetFieldValue(const PlxMBString&, const PlxMBString&) { return 0; }
unsigned char VmRecordset::SetGeometry(VmGeometry*) { return 0; }
unsigned char VmRecordset::Update() { return 0; }
int VmRecordset::GetRecordCount() const { return 0; }
unsigned char VmRecordset::MoveFirst() { return 0; }
unsigned char VmRecordset::MoveNext() { return 0; }
unsigned char VmRecordset::IsEOF() const { return 1; }
PlxMBString VmRecordset::GetFieldValue(const PlxMBString&) const { return PlxMBString(); }
int VmRecordset::GetID() const { return 0; }
VmGeometry* VmRecordset::GetGeometry() { return nullptr; }

// ---------------------------------------------------------------------------
// Base vector dataset: fields and counts kept in memory, no records.

VmDatasetVector::~VmDatasetVector() { DeleteRecordsets(); }

void VmDatasetVector::DeleteRecordsets() {
    PlxArray<VmRecordset*> held;
    held.Copy(m_Recordsets);
    m_Recordsets.RemoveAll();
    for (VmRecordset* rs : held) {
        rs->m_pDataset = nullptr;
        delete rs;
    }
}

void VmDatasetVector::ForgetRecordset(VmRecordset* rs) {
    for (int i = m_Recordsets.GetSize() - 1; i >= 0; --i)
        if (m_Recordsets[i] == rs) m_Recordsets.RemoveAt(i);
}

VmRecordset* VmDatasetVector::AdoptRecordset(VmRecordset* rs) {
    if (rs) m_Recordsets.Add(rs);
    return rs;
}

VmRecordset* VmDatasetVector::GetRecordsetAt(int index) const {
    if (index < 0 || index >= m_Recordsets.GetSize()) return nullptr;
    return m_Recordsets[index];
}

unsigned char VmDatasetVector::ReleaseRecordset(VmRecordset* rs) {
    if (!rs) return 0;
    for (int i = 0; i < m_Recordsets.GetSize(); ++i) {
        if (m_Recordsets[i] != rs) continue;
        m_Recordsets.RemoveAt(i);
        rs->m_pDataset = nullptr;
        delete rs;
        return 1;
    }
    return 0;
}

unsigned char VmDatasetVector::CreateFields(const PlxFieldInfos& fields) {
    m_Fields.Append(fields);
    return 1;
}

unsigned char VmDatasetVector::GetFieldInfos(PlxFieldInfos& list, int) {
    list.Copy(m_Fields);
    return 1;
}

unsigned char VmDatasetVector::SetFieldInfo(int index, const PlxFieldInfo& field) {
    if (index == m_Fields.GetSize()) {
        m_Fields.Add(field);
        return 1;
    }
    if (index < 0 || index > m_Fields.GetSize()) return 0;
    m_Fields[index] = field;
    return 1;
}

VmRecordset* VmDatasetVector::Query(const VmQueryDef&) { return nullptr; }

// ---------------------------------------------------------------------------
// The in-memory engine.

using namespace memvector;

struct VmDatasetVectorMemory::Store : RecordStore {
    VmDataSourceMemory* source = nullptr;
    std::string table;  // the name of its filter table
    bool indexWanted = false;
    // The source is closing: its database is about to go.
    bool leftDatabase = false;
    unsigned long long declared = ~0ULL;
    PlxFieldInfos fieldsAtBegin;

    sqlite3* Database() { return leftDatabase || !source ? nullptr : source->GetDatabase(); }
};

namespace {

bool IsSystemName(const std::string& folded) { return folded == "zkid" || folded == "zkuserid"; }
// Names the engine kept for columns of its own.
bool IsReservedName(const std::string& folded) { return folded.compare(0, 3, "zk$") == 0; }
bool IsUsableName(const std::string& name) { return !name.empty() && name.find('\0') == std::string::npos; }

void SetInitial(Column& column, const PlxFieldInfo& field) {
    column.type = field.Type;
    ConvertText(field.DefaultValue.str(), field.Type, column.initial);
    if (field.DefaultValue.IsEmpty()) column.initial = Value();
}

} // namespace

class VmRecordsetMemory : public VmRecordset {
public:
    VmRecordsetMemory(VmDatasetVectorMemory* dataset, int queryType, std::vector<uint32_t> rows)
        : VmRecordset(dataset, queryType), m_pMemory(dataset), m_rows(std::move(rows)) {}

    unsigned char AddNew(VmGeometry* geometry, int) override {
        if (!Alive()) return 0;
        const RecordStore& s = S();
        // The buffer's memory serves record after record of a download.
        m_row.id = 0;
        m_row.values.clear();
        m_row.values.reserve(s.columns.size());
        for (const Column& c : s.columns) m_row.values.push_back(c.initial);
        SetRowGeometry(geometry);
        m_edit = New;
        return 1;
    }

    unsigned char SetFieldValue(const PlxMBString& name, const PlxMBString& text) override {
        if (!BeginEdit()) return 0;
        const int column = ColumnOf(name);
        if (column <= 0) return 0;  // unknown, or ZkID, which only the engine numbers
        Fit();
        Value value;
        const bool ok = ConvertText(text.str(), S().columns[static_cast<size_t>(column)].type, value);
        m_row.values[static_cast<size_t>(column)] = std::move(value);
        return ok ? 1 : 0;
    }

    unsigned char SetGeometry(VmGeometry* geometry) override {
        if (!BeginEdit()) return 0;
        SetRowGeometry(geometry);
        return 1;
    }

    unsigned char Update() override {
        if (!Alive() || m_edit == None) return 0;
        Fit();
        if (m_edit == New) {
            m_rows.push_back(static_cast<uint32_t>(S().Append(m_row)));
            m_pos = m_rows.size() - 1;
        } else {
            S().Rewrite(m_rows[m_pos], m_row);
        }
        m_edit = None;
        m_geometryRow = kNoRow;
        return 1;
    }

    int GetRecordCount() const override { return static_cast<int>(m_rows.size()); }

    unsigned char MoveFirst() override {
        Leave();
        m_pos = 0;
        return m_rows.empty() ? 0 : 1;
    }

    unsigned char MoveNext() override {
        Leave();
        if (m_pos < m_rows.size()) ++m_pos;
        return m_pos < m_rows.size() ? 1 : 0;
    }

    unsigned char IsEOF() const override { return m_edit == New ? 0 : (m_pos >= m_rows.size() ? 1 : 0); }

    PlxMBString GetFieldValue(const PlxMBString& name) const override {
        if (!Alive()) return PlxMBString();
        const int column = ColumnOf(name);
        if (column < 0) return PlxMBString();
        const size_t c = static_cast<size_t>(column);
        if (m_edit != None) {
            if (c == 0) return m_edit == New ? PlxMBString() : PlxMBString(std::to_string(m_row.id));
            return c < m_row.values.size() ? PlxMBString(FormatValue(m_row.values[c])) : PlxMBString();
        }
        if (m_pos >= m_rows.size()) return PlxMBString();
        const RecordStore& s = S();
        const size_t row = m_rows[m_pos];
        if (c == 0) return PlxMBString(std::to_string(s.Id(row)));
        return PlxMBString(FormatValue(s.Get(row, c)));
    }

    int GetID() const override {
        if (m_edit == New || !Alive()) return 0;
        if (m_edit == Existing) return static_cast<int>(m_row.id);
        return m_pos < m_rows.size() ? static_cast<int>(S().Id(m_rows[m_pos])) : 0;
    }

    VmGeometry* GetGeometry() override {
        if (!Alive()) return nullptr;
        const unsigned char* wkb = nullptr;
        size_t size = 0;
        size_t row = kEditRow;
        if (m_edit != None) {
            wkb = m_row.wkb.data();
            size = m_row.wkb.size();
        } else if (m_pos < m_rows.size()) {
            row = m_rows[m_pos];
            wkb = S().Wkb(row);
            size = S().WkbSize(row);
        }
        if (size == 0) return nullptr;
        // One geometry object, refilled as the cursor moves.
        if (row == m_geometryRow && row != kEditRow) return m_geometryValid ? m_geometry.get() : nullptr;
        if (!m_geometry) {
            const int type = m_pMemory->GetType();
            const bool geometric = type == VmDataset::Point || type == VmDataset::Line ||
                                   type == VmDataset::Region || type == VmDataset::Text;
            m_geometry.reset(new VmGeometry(geometric ? type : 0));
        }
        m_geometryValid = m_geometry->FromWkb(wkb, size);
        m_geometryRow = row;
        return m_geometryValid ? m_geometry.get() : nullptr;
    }

private:
    enum Edit { None, New, Existing };
    static constexpr size_t kNoRow = static_cast<size_t>(-1);
    static constexpr size_t kEditRow = static_cast<size_t>(-2);

    bool Alive() const { return m_pDataset && m_pMemory->m_pStore; }
    RecordStore& S() const { return *m_pMemory->m_pStore; }

    // A loader names the same few fields for every record: their columns
    // are remembered by the names' exact spelling until the columns change.
    int ColumnOf(const PlxMBString& name) const {
        const RecordStore& s = S();
        if (m_namesSchema != s.SchemaVersion()) {
            m_names.clear();
            m_namesSchema = s.SchemaVersion();
        }
        for (const auto& known : m_names)
            if (known.first == name.str()) return known.second;
        const int column = s.Find(name.str());
        if (m_names.size() < kNamesKept) m_names.emplace_back(name.str(), column);
        return column;
    }

    bool BeginEdit() {
        if (!Alive()) return false;
        if (m_edit != None) return true;
        if (m_pos >= m_rows.size()) return false;
        S().Read(m_rows[m_pos], m_row);
        m_edit = Existing;
        return true;
    }

    // Drops a change not stored.
    void Leave() {
        if (m_edit != None) {
            m_edit = None;
            m_geometryRow = kNoRow;
        }
    }

    // Fields created since the buffer was filled start at their defaults.
    void Fit() {
        const RecordStore& s = S();
        while (m_row.values.size() < s.columns.size()) m_row.values.push_back(s.columns[m_row.values.size()].initial);
    }

    void SetRowGeometry(VmGeometry* geometry) {
        m_row.wkb.clear();
        m_row.box = Box();
        if (geometry && !geometry->IsEmpty()) {
            geometry->WriteWkb(m_row.wkb);
            const PlxRect2D bounds = geometry->GetBounds();
            m_row.box.minx = bounds.left;
            m_row.box.maxx = bounds.right;
            m_row.box.miny = bounds.bottom;
            m_row.box.maxy = bounds.top;
        }
        m_geometryRow = kNoRow;
    }

    VmDatasetVectorMemory* m_pMemory;
    std::vector<uint32_t> m_rows;
    size_t m_pos = 0;
    Edit m_edit = None;
    PendingRow m_row;
    static constexpr size_t kNamesKept = 16;
    mutable std::vector<std::pair<std::string, int>> m_names;
    mutable unsigned long long m_namesSchema = ~0ULL;
    size_t m_geometryRow = kNoRow;
    bool m_geometryValid = false;
    std::unique_ptr<VmGeometry> m_geometry;
};

// ---------------------------------------------------------------------------

VmDatasetVectorMemory::VmDatasetVectorMemory(const VmDatasetVectorInfo& info)
    : VmDatasetVector(info), m_pStore(new Store()) {
    m_bOpened = 1;
}

VmDatasetVectorMemory::~VmDatasetVectorMemory() {
    DeleteRecordsets();
    if (m_pStore->declared != ~0ULL)
        if (sqlite3* db = m_pStore->Database()) DropFilterTable(db, m_pStore->table);
}

void VmDatasetVectorMemory::LeaveDatabase() {
    DeleteRecordsets();
    m_pStore->leftDatabase = true;
}

int VmDatasetVectorMemory::GetObjectCount() { return static_cast<int>(m_pStore->RowCount()); }

unsigned char VmDatasetVectorMemory::CreateFields(const PlxFieldInfos& fields) {
    Store& s = *m_pStore;
    enum Action { Skip, System, Add };
    std::vector<Action> actions;
    std::unordered_set<std::string> taken;
    for (const Column& column : s.columns) taken.insert(Fold(column.name));
    std::unordered_set<std::string> systemsKnown;
    for (const PlxFieldInfo& f : m_Fields) systemsKnown.insert(Fold(f.Name.str()));
    for (const PlxFieldInfo& field : fields) {
        const std::string& name = field.Name.str();
        if (!IsUsableName(name)) return 0;
        const std::string folded = Fold(name);
        if (IsSystemName(folded)) {
            // The records have these already; the field is only described.
            actions.push_back(systemsKnown.insert(folded).second ? System : Skip);
            continue;
        }
        if (IsReservedName(folded) || !taken.insert(folded).second) return 0;
        actions.push_back(Add);
    }

    for (size_t i = 0; i < actions.size(); ++i) {
        const PlxFieldInfo& field = fields[static_cast<int>(i)];
        if (actions[i] == Skip) continue;
        m_Fields.Add(field);
        if (actions[i] == System) {
            if (Fold(field.Name.str()) == "zkuserid") SetInitial(s.columns[1], field);  // ZkID stays the number
            continue;
        }
        s.columns.emplace_back();
        Column& column = s.columns.back();
        column.name = field.Name.str();
        SetInitial(column, field);
        // Records stored before have no value in a new field.
        column.cells.resize(s.RowCount());
    }
    s.SchemaChanged();
    s.Reindex();
    return 1;
}

unsigned char VmDatasetVectorMemory::SetFieldInfo(int index, const PlxFieldInfo& field) {
    Store& s = *m_pStore;
    if (index == m_Fields.GetSize()) {
        PlxFieldInfos one;
        one.Add(field);
        return CreateFields(one);
    }
    if (index < 0 || index > m_Fields.GetSize() || !IsUsableName(field.Name.str())) return 0;
    const std::string oldName = m_Fields[index].Name.str(), newName = field.Name.str();
    const std::string oldFolded = Fold(oldName), newFolded = Fold(newName);
    const int column = s.Find(oldName);
    if (column < 0) return 0;
    if (oldName != newName) {
        if (IsSystemName(oldFolded) || IsSystemName(newFolded)) {
            if (oldFolded != newFolded) return 0;  // a system field keeps its meaning
        } else {
            if (IsReservedName(newFolded) || (newFolded != oldFolded && s.Find(newName) >= 0)) return 0;
            s.columns[static_cast<size_t>(column)].name = newName;
        }
    }
    m_Fields[index] = field;
    if (column > 0) SetInitial(s.columns[static_cast<size_t>(column)], field);
    s.SchemaChanged();
    s.Reindex();
    return 1;
}

VmRecordset* VmDatasetVectorMemory::Query(const VmQueryDef& def) {
    Store& s = *m_pStore;
    if (s.leftDatabase) return nullptr;
    std::vector<uint32_t> rows;
    bool ok = false;
    switch (def.QueryType) {
    case VmQueryDef::General:
        ok = TrimSpace(def.Filter.str()).empty()
                 ? (rows = s.All(), true)
                 : SelectByFilter(s.Database(), s.table, s, s.declared, def.Filter, rows);
        break;
    case VmQueryDef::QueryBounds:
        rows = s.Meeting(def.Bounds);
        ok = true;
        break;
    case VmQueryDef::QueryIDs:
        ok = s.WithKeys(def.IDFieldName.IsEmpty() ? 0 : s.Find(def.IDFieldName.str()), def.IDs, rows);
        break;
    default: break;
    }
    if (!ok) return nullptr;
    return AdoptRecordset(new VmRecordsetMemory(this, def.QueryType, std::move(rows)));
}

unsigned char VmDatasetVectorMemory::BuildSpatialIndex() {
    if (m_pStore->leftDatabase) return 0;
    m_pStore->indexWanted = true;
    return 1;
}

bool VmDatasetVectorMemory::HasSpatialIndex() const { return m_pStore->indexWanted; }

PlxRect2D VmDatasetVectorMemory::ComputeBounds() {
    Box box;
    if (!m_pStore->Extent(box)) return PlxRect2D();
    return PlxRect2D(box.minx, box.maxy, box.maxx, box.miny);
}

void VmDatasetVectorMemory::BeginTransaction(bool createdInside) {
    m_pStore->Begin(createdInside);
    m_pStore->fieldsAtBegin.Copy(m_Fields);
}

void VmDatasetVectorMemory::EndTransaction(bool keep) {
    Store& s = *m_pStore;
    if (keep) {
        s.Forget();
    } else {
        // A dataset made inside the transaction stays, empty and without
        // fields, as if it had just been created.
        s.Undo();
        m_Fields.Copy(s.fieldsAtBegin);
    }
    s.fieldsAtBegin.RemoveAll();
}

// ---------------------------------------------------------------------------

sqlite3* VmDataSourceMemory::GetDatabase() {
    if (m_pDatabase) return m_pDatabase;
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK || !RegisterFilterModule(db)) {
        sqlite3_close(db);
        return nullptr;
    }
    // Filters are user text: a double-quoted word must name a column (not
    // fall back to a string), and SQL must not reach extensions or the schema.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DDL, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_ENABLE_LOAD_EXTENSION, 0, nullptr);
    sqlite3_db_config(db, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
    m_pDatabase = db;
    return db;
}

VmDatasetVector* VmDataSourceMemory::CreateDatasetVector(const VmDatasetVectorInfo& info) {
    if (!m_bOpened || info.Name.IsEmpty() || GetDataset(info.Name)) return nullptr;
    switch (info.Type) {
    case VmDataset::WebTile:
    case VmDataset::Image:
    case VmDataset::Grid:
    case VmDataset::WebMap:
    case VmDataset::WebCoverage: return nullptr;
    default: break;
    }
    std::unique_ptr<VmDatasetVectorMemory> dataset(new VmDatasetVectorMemory(info));
    dataset->m_pStore->source = this;
    dataset->m_pStore->table = "vm$" + std::to_string(++m_nTableSerial);
    if (m_bInTransaction) dataset->BeginTransaction(true);
    dataset->SetDataSource(this);
    m_Datasets.Add(dataset.get());
    return dataset.release();
}

unsigned char VmDataSourceMemory::BeginTrans() {
    if (m_bInTransaction) return 1;
    m_bInTransaction = true;
    for (VmDataset* dataset : m_Datasets)
        if (auto* vector = dynamic_cast<VmDatasetVectorMemory*>(dataset)) vector->BeginTransaction(false);
    return 1;
}

void VmDataSourceMemory::EndTransaction(bool keep) {
    if (!m_bInTransaction) return;
    m_bInTransaction = false;
    for (VmDataset* dataset : m_Datasets)
        if (auto* vector = dynamic_cast<VmDatasetVectorMemory*>(dataset)) vector->EndTransaction(keep);
}

void VmDataSourceMemory::Commit() { EndTransaction(true); }

void VmDataSourceMemory::Rollback() { EndTransaction(false); }

} // namespace VMK
