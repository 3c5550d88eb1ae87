// Vector datasets and recordsets: the base behaviour every engine inherits,
// and the in-memory engine's datasets, each a table of the data source's
// SQLite in-memory database.
//
// Table layout: "ZkID" INTEGER PRIMARY KEY (the record number), "ZkUserID",
// the geometry as WKB with its bounds ("zk$wkb", "zk$minx", ...), then one
// column per field, named as the field. Values always travel as bound
// parameters; names only ever enter SQL quoted.
#include "VmEngine.h"
#include "VmGeometry.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <string>
#include <string_view>
#include <unordered_map>
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

namespace memvector {

const char* const kGeometryColumns = "\"zk$wkb\", \"zk$minx\", \"zk$miny\", \"zk$maxx\", \"zk$maxy\"";

// A name as an SQL identifier: inside double quotes, inner quotes doubled.
std::string Quote(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// SQLite compares identifiers folding ASCII letters only; so do we.
std::string Fold(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

bool IsSystemName(const std::string& folded) { return folded == "zkid" || folded == "zkuserid"; }
bool IsReservedName(const std::string& folded) { return folded.compare(0, 3, "zk$") == 0; }
bool IsUsableName(const std::string& name) { return !name.empty() && name.find('\0') == std::string::npos; }

const char* SqlType(PlxFieldInfo::FieldType type) {
    switch (type) {
    case PlxFieldInfo::Boolean:
    case PlxFieldInfo::Byte:
    case PlxFieldInfo::Int16:
    case PlxFieldInfo::Int32:
    case PlxFieldInfo::Int64: return "INTEGER";
    case PlxFieldInfo::Single:
    case PlxFieldInfo::Double: return "REAL";
    case PlxFieldInfo::Binary: return "BLOB";
    default: return "TEXT";
    }
}

// One stored value, typed as SQLite types it.
struct Value {
    int kind = SQLITE_NULL;
    long long i = 0;
    double d = 0.0;
    std::string s;  // TEXT and BLOB bytes
};

std::string_view TrimSpace(std::string_view t) {
    const char* space = " \t\r\n\f\v";
    size_t first = t.find_first_not_of(space);
    if (first == std::string_view::npos) return std::string_view();
    size_t last = t.find_last_not_of(space);
    return t.substr(first, last - first + 1);
}

// Whole-text number parsing in the C locale whatever the process locale is:
// GML numbers are always written with a point.
bool ParseInteger(std::string_view t, long long& out) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty() || t[0] == '+') return false;
    auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

bool ParseReal(std::string_view t, double& out) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty() || t[0] == '+') return false;
    auto r = std::from_chars(t.data(), t.data() + t.size(), out, std::chars_format::general);
    return r.ec == std::errc() && r.ptr == t.data() + t.size() && std::isfinite(out);
}

bool IntegerInRange(long long v, PlxFieldInfo::FieldType type) {
    switch (type) {
    case PlxFieldInfo::Byte: return v >= 0 && v <= 255;
    case PlxFieldInfo::Int16: return v >= -32768 && v <= 32767;
    case PlxFieldInfo::Int32: return v >= -2147483648LL && v <= 2147483647LL;
    default: return true;
    }
}

// Converts text to the value a field of `type` stores; false (out = no value)
// when the text does not fit the type.
bool ConvertText(const std::string& text, PlxFieldInfo::FieldType type, Value& out) {
    out = Value();
    if (type == PlxFieldInfo::Text) {
        out.kind = SQLITE_TEXT;
        out.s = text;
        return true;
    }
    std::string_view t = TrimSpace(text);
    if (t.empty()) return true;
    switch (type) {
    case PlxFieldInfo::Boolean: {
        std::string folded = Fold(std::string(t));
        if (folded != "true" && folded != "1" && folded != "false" && folded != "0") return false;
        out.kind = SQLITE_INTEGER;
        out.i = (folded == "true" || folded == "1") ? 1 : 0;
        return true;
    }
    case PlxFieldInfo::Byte:
    case PlxFieldInfo::Int16:
    case PlxFieldInfo::Int32:
    case PlxFieldInfo::Int64: {
        long long v = 0;
        if (!ParseInteger(t, v)) {
            // "12.0" or "1e3" from a server that writes integers as reals.
            double d = 0.0;
            if (!ParseReal(t, d) || d != std::floor(d) || std::fabs(d) >= 9.2e18) return false;
            v = static_cast<long long>(d);
        }
        if (!IntegerInRange(v, type)) return false;
        out.kind = SQLITE_INTEGER;
        out.i = v;
        return true;
    }
    case PlxFieldInfo::Single:
    case PlxFieldInfo::Double: {
        double d = 0.0;
        if (!ParseReal(t, d)) return false;
        out.kind = SQLITE_FLOAT;
        out.d = d;
        return true;
    }
    case PlxFieldInfo::Binary:
        out.kind = SQLITE_BLOB;
        out.s = text;
        return true;
    default:  // dates and times: ISO text sorts and compares as written
        out.kind = SQLITE_TEXT;
        out.s = text;
        return true;
    }
}

std::string FormatValue(const Value& v) {
    switch (v.kind) {
    case SQLITE_INTEGER: return std::to_string(v.i);
    case SQLITE_FLOAT: {
        char buffer[64];
        auto r = std::to_chars(buffer, buffer + sizeof buffer, v.d);
        return std::string(buffer, r.ptr);
    }
    case SQLITE_TEXT:
    case SQLITE_BLOB: return v.s;
    default: return std::string();
    }
}

Value ReadColumn(sqlite3_stmt* st, int column) {
    Value v;
    v.kind = sqlite3_column_type(st, column);
    switch (v.kind) {
    case SQLITE_INTEGER: v.i = sqlite3_column_int64(st, column); break;
    case SQLITE_FLOAT: v.d = sqlite3_column_double(st, column); break;
    case SQLITE_TEXT:
    case SQLITE_BLOB: {
        const void* data = v.kind == SQLITE_TEXT ? static_cast<const void*>(sqlite3_column_text(st, column))
                                                 : sqlite3_column_blob(st, column);
        int size = sqlite3_column_bytes(st, column);
        if (data && size > 0) v.s.assign(static_cast<const char*>(data), static_cast<size_t>(size));
        break;
    }
    default: v.kind = SQLITE_NULL; break;
    }
    return v;
}

// The bound value outlives the step: rows are bound and stepped at once.
void BindValue(sqlite3_stmt* st, int param, const Value& v) {
    switch (v.kind) {
    case SQLITE_INTEGER: sqlite3_bind_int64(st, param, v.i); break;
    case SQLITE_FLOAT: sqlite3_bind_double(st, param, v.d); break;
    case SQLITE_TEXT: sqlite3_bind_text(st, param, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC); break;
    case SQLITE_BLOB: sqlite3_bind_blob(st, param, v.s.data(), static_cast<int>(v.s.size()), SQLITE_STATIC); break;
    default: sqlite3_bind_null(st, param); break;
    }
}

// The value of an identifier field as an integer, when it is one.
bool IntegerOf(sqlite3_stmt* st, int column, long long& out) {
    switch (sqlite3_column_type(st, column)) {
    case SQLITE_INTEGER: out = sqlite3_column_int64(st, column); return true;
    case SQLITE_FLOAT: {
        double d = sqlite3_column_double(st, column);
        if (d != std::floor(d) || std::fabs(d) >= 9.2e18) return false;
        out = static_cast<long long>(d);
        return true;
    }
    case SQLITE_TEXT: {
        const char* text = reinterpret_cast<const char*>(sqlite3_column_text(st, column));
        return text && ParseInteger(TrimSpace(text), out);
    }
    default: return false;
    }
}

bool Exec(sqlite3* db, const std::string& sql) {
    return db && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Runs a prepared statement whose first column is a ZkID, appending the IDs.
bool CollectIds(sqlite3_stmt* st, std::vector<long long>& ids) {
    int rc;
    while ((rc = sqlite3_step(st)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(st, 0));
    return rc == SQLITE_DONE;
}

struct Statement {
    sqlite3_stmt* st = nullptr;
    Statement() = default;
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;
    ~Statement() { sqlite3_finalize(st); }
    bool Prepare(sqlite3* db, const std::string& sql) {
        return sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &st, nullptr) == SQLITE_OK && st;
    }
};

struct Column {
    std::string name;  // the SQL column name
    PlxFieldInfo::FieldType type = PlxFieldInfo::Text;
    Value initial;     // the field's default value, converted
};

// A record as a recordset holds it while reading or writing it.
struct Row {
    long long id = 0;
    std::vector<Value> values;  // per column; [0] (ZkID) unused, see id
    std::vector<unsigned char> wkb;  // empty: no geometry
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
};

// Only reads of the dataset's own table: the filter is a condition, not a
// way to reach other datasets, pragmas or the schema.
int FilterAuthorizer(void* table, int action, const char* what, const char*, const char*, const char*) {
    switch (action) {
    case SQLITE_SELECT:
    case SQLITE_FUNCTION:
    case SQLITE_RECURSIVE: return SQLITE_OK;
    case SQLITE_READ:
        return what && sqlite3_stricmp(what, static_cast<const std::string*>(table)->c_str()) == 0 ? SQLITE_OK
                                                                                                   : SQLITE_DENY;
    default: return SQLITE_DENY;
    }
}

bool OnlySpace(const char* tail) {
    if (!tail) return true;
    for (; *tail; ++tail)
        if (!std::isspace(static_cast<unsigned char>(*tail))) return false;
    return true;
}

} // namespace memvector

using namespace memvector;

struct VmDatasetVectorMemory::Store {
    sqlite3* db = nullptr;  // the source's; outlives the dataset
    std::string table;
    std::string rtree;
    bool hasRtree = false;
    // The index was asked for but is built only when a bounds query needs
    // it: filling an R*Tree costs more than loading the records, and the
    // first query after a download usually covers them all.
    bool rtreeWanted = false;
    // Changes whenever a record or the columns may have changed, so that a
    // reader's buffered rows are known to be stale.
    unsigned long long generation = 0;
    std::vector<Column> columns;  // [0] ZkID, [1] ZkUserID, then the fields' columns
    std::unordered_map<std::string, int> byName;  // folded name -> column
    sqlite3_stmt* insert = nullptr;
    sqlite3_stmt* update = nullptr;
    sqlite3_stmt* select = nullptr;
    sqlite3_stmt* rtreeInsert = nullptr;
    sqlite3_stmt* rtreeDelete = nullptr;
    sqlite3_stmt* renumber = nullptr;
    sqlite3_stmt* range = nullptr;

    Store() {
        columns.resize(2);
        columns[0].name = "ZkID";
        columns[0].type = PlxFieldInfo::Int64;
        columns[1].name = "ZkUserID";
        columns[1].type = PlxFieldInfo::Int64;
        Reindex();
    }
    ~Store() { Finalize(); }
    Store(const Store&) = delete;
    Store& operator=(const Store&) = delete;

    // Prepared statements name the columns: any schema change drops them.
    void Finalize() {
        ++generation;
        sqlite3_finalize(range);
        range = nullptr;
        for (sqlite3_stmt** st : {&insert, &update, &select, &rtreeInsert, &rtreeDelete, &renumber}) {
            sqlite3_finalize(*st);
            *st = nullptr;
        }
    }

    void Reindex() {
        byName.clear();
        for (size_t i = 0; i < columns.size(); ++i) byName[Fold(columns[i].name)] = static_cast<int>(i);
    }

    int Find(const PlxMBString& name) const {
        auto it = byName.find(Fold(name.str()));
        return it == byName.end() ? -1 : it->second;
    }

    std::string TableSql() const { return Quote(table); }

    // Records of a feature service carry their feature identifier ("roads.17")
    // in a "fid" field: the record takes that number as its ZkID when it is
    // free, so that identifier queries find features by the numbers the
    // service gave them. Returns the record's ZkID after the renumbering.
    long long NumberByFeatureId(const Row& row) {
        int column = Find("fid");
        if (column <= 0 || static_cast<size_t>(column) >= row.values.size()) return row.id;
        const Value& value = row.values[static_cast<size_t>(column)];
        if (value.kind != SQLITE_TEXT || value.s.empty()) return row.id;
        size_t digits = value.s.find_last_not_of("0123456789");
        std::string number = digits == std::string::npos ? value.s : value.s.substr(digits + 1);
        if (number.empty() || number.size() > 15 || (digits != std::string::npos && value.s[digits] != '.'))
            return row.id;
        long long wanted = std::stoll(number);
        if (wanted <= 0 || wanted == row.id) return row.id;
        sqlite3_stmt* st = nullptr;
        std::string sql = "UPDATE " + TableSql() + " SET \"ZkID\" = ?1 WHERE \"ZkID\" = ?2 AND NOT EXISTS "
                          "(SELECT 1 FROM " + TableSql() + " WHERE \"ZkID\" = ?1)";
        if (!Prepared(renumber, sql)) return row.id;
        st = renumber;
        sqlite3_bind_int64(st, 1, wanted);
        sqlite3_bind_int64(st, 2, row.id);
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        return (rc == SQLITE_DONE && sqlite3_changes(db) == 1) ? wanted : row.id;
    }

    std::string CreateTableSql() const {
        return "CREATE TABLE " + Quote(table) +
               " (\"ZkID\" INTEGER PRIMARY KEY, \"ZkUserID\" INTEGER, \"zk$wkb\" BLOB, \"zk$minx\" REAL, "
               "\"zk$miny\" REAL, \"zk$maxx\" REAL, \"zk$maxy\" REAL)";
    }

    sqlite3_stmt* Prepared(sqlite3_stmt*& slot, const std::string& sql) {
        if (!slot && sqlite3_prepare_v3(db, sql.c_str(), static_cast<int>(sql.size()), SQLITE_PREPARE_PERSISTENT,
                                        &slot, nullptr) != SQLITE_OK) {
            sqlite3_finalize(slot);
            slot = nullptr;
        }
        return slot;
    }

    sqlite3_stmt* Insert() {
        if (insert) return insert;
        std::string names = std::string("\"ZkUserID\", ") + kGeometryColumns, marks = "?, ?, ?, ?, ?, ?";
        for (size_t i = 2; i < columns.size(); ++i) {
            names += ", " + Quote(columns[i].name);
            marks += ", ?";
        }
        return Prepared(insert, "INSERT INTO " + TableSql() + " (" + names + ") VALUES (" + marks + ")");
    }

    sqlite3_stmt* Update() {
        if (update) return update;
        std::string sql = "UPDATE " + TableSql() +
                          " SET \"ZkUserID\" = ?1, \"zk$wkb\" = ?2, \"zk$minx\" = ?3, \"zk$miny\" = ?4, "
                          "\"zk$maxx\" = ?5, \"zk$maxy\" = ?6";
        int param = 7;
        for (size_t i = 2; i < columns.size(); ++i)
            sql += ", " + Quote(columns[i].name) + " = ?" + std::to_string(param++);
        sql += " WHERE \"ZkID\" = ?" + std::to_string(param);
        return Prepared(update, sql);
    }

    sqlite3_stmt* Select() {
        if (select) return select;
        std::string names = std::string("\"ZkUserID\", ") + kGeometryColumns;
        for (size_t i = 2; i < columns.size(); ++i) names += ", " + Quote(columns[i].name);
        return Prepared(select, "SELECT " + names + " FROM " + TableSql() + " WHERE \"ZkID\" = ?1");
    }

    sqlite3_stmt* RtreeInsert() {
        return rtreeInsert ? rtreeInsert
                           : Prepared(rtreeInsert, "INSERT OR REPLACE INTO " + Quote(rtree) +
                                                       " (id, minx, maxx, miny, maxy) VALUES (?1, ?2, ?3, ?4, ?5)");
    }

    sqlite3_stmt* RtreeDelete() {
        return rtreeDelete ? rtreeDelete : Prepared(rtreeDelete, "DELETE FROM " + Quote(rtree) + " WHERE id = ?1");
    }

    // Binds a row's values to the insert or update statement (parameters
    // 1..6 are ZkUserID and the geometry, then one per field column).
    void BindRow(sqlite3_stmt* st, const Row& row) const {
        BindValue(st, 1, row.values[1]);
        if (row.wkb.empty()) {
            for (int p = 2; p <= 6; ++p) sqlite3_bind_null(st, p);
        } else {
            sqlite3_bind_blob(st, 2, row.wkb.data(), static_cast<int>(row.wkb.size()), SQLITE_STATIC);
            sqlite3_bind_double(st, 3, row.minx);
            sqlite3_bind_double(st, 4, row.miny);
            sqlite3_bind_double(st, 5, row.maxx);
            sqlite3_bind_double(st, 6, row.maxy);
        }
        for (size_t i = 2; i < columns.size(); ++i) BindValue(st, static_cast<int>(i) + 5, row.values[i]);
    }

    bool IndexRow(long long id, const Row& row, bool replacing) {
        if (!hasRtree) return true;
        if (replacing) {
            sqlite3_stmt* del = RtreeDelete();
            if (!del) return false;
            sqlite3_bind_int64(del, 1, id);
            int rc = sqlite3_step(del);
            sqlite3_reset(del);
            if (rc != SQLITE_DONE) return false;
        }
        if (row.wkb.empty() || !std::isfinite(row.minx) || !std::isfinite(row.miny) || !std::isfinite(row.maxx) ||
            !std::isfinite(row.maxy))
            return true;
        sqlite3_stmt* ins = RtreeInsert();
        if (!ins) return false;
        sqlite3_bind_int64(ins, 1, id);
        sqlite3_bind_double(ins, 2, row.minx);
        sqlite3_bind_double(ins, 3, row.maxx);
        sqlite3_bind_double(ins, 4, row.miny);
        sqlite3_bind_double(ins, 5, row.maxy);
        int rc = sqlite3_step(ins);
        sqlite3_reset(ins);
        return rc == SQLITE_DONE;
    }

    // The columns of a row that `st` stands on, from column `first` on
    // (ZkUserID, the geometry, then the fields).
    void ReadColumns(sqlite3_stmt* st, int first, Row& row) const {
        row.values.resize(columns.size());
        row.values[1] = ReadColumn(st, first);
        const void* blob = sqlite3_column_blob(st, first + 1);
        int size = sqlite3_column_bytes(st, first + 1);
        if (blob && size > 0) {
            const unsigned char* bytes = static_cast<const unsigned char*>(blob);
            row.wkb.assign(bytes, bytes + size);
            row.minx = sqlite3_column_double(st, first + 2);
            row.miny = sqlite3_column_double(st, first + 3);
            row.maxx = sqlite3_column_double(st, first + 4);
            row.maxy = sqlite3_column_double(st, first + 5);
        }
        for (size_t i = 2; i < columns.size(); ++i) row.values[i] = ReadColumn(st, static_cast<int>(i) + first + 4);
    }

    // Loads record `id` into `row`; false (row without values) when absent.
    bool ReadRow(long long id, Row& row) {
        row = Row();
        row.id = id;
        row.values.resize(columns.size());
        sqlite3_stmt* st = Select();
        if (!st) return false;
        sqlite3_bind_int64(st, 1, id);
        bool found = sqlite3_step(st) == SQLITE_ROW;
        if (found) ReadColumns(st, 0, row);
        sqlite3_reset(st);
        return found;
    }

    // The records numbered first..last that exist, in number order: one
    // statement for a run of records instead of one per record.
    bool ReadRange(long long first, long long last, std::vector<Row>& rows) {
        rows.clear();
        if (!range) {
            std::string names = std::string("\"ZkID\", \"ZkUserID\", ") + kGeometryColumns;
            for (size_t i = 2; i < columns.size(); ++i) names += ", " + Quote(columns[i].name);
            if (!Prepared(range, "SELECT " + names + " FROM " + TableSql() +
                                     " WHERE \"ZkID\" BETWEEN ?1 AND ?2 ORDER BY \"ZkID\""))
                return false;
        }
        sqlite3_bind_int64(range, 1, first);
        sqlite3_bind_int64(range, 2, last);
        int rc;
        while ((rc = sqlite3_step(range)) == SQLITE_ROW) {
            rows.emplace_back();
            rows.back().id = sqlite3_column_int64(range, 0);
            ReadColumns(range, 1, rows.back());
        }
        sqlite3_reset(range);
        return rc == SQLITE_DONE;
    }

    bool SelectAll(std::vector<long long>& ids) {
        Statement q;
        return q.Prepare(db, "SELECT \"ZkID\" FROM " + TableSql() + " ORDER BY \"ZkID\"") && CollectIds(q.st, ids);
    }

    bool SelectByFilter(const PlxMBString& filter, std::vector<long long>& ids) {
        if (TrimSpace(filter.str()).empty()) return SelectAll(ids);
        std::string problem;
        Statement q;
        if (filter.str().find('\0') != std::string::npos) {
            problem = "the filter holds a NUL byte";
        } else {
            std::string sql = "SELECT \"ZkID\" FROM " + TableSql() + " WHERE (" + filter.str() + ")";
            const char* tail = nullptr;
            sqlite3_set_authorizer(db, FilterAuthorizer, &table);
            int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &q.st, &tail);
            sqlite3_set_authorizer(db, nullptr, nullptr);
            // Only the first statement is compiled: anything after it would
            // be silently ignored, so a tail means the filter was not one
            // condition (e.g. "1); DROP TABLE t; --").
            if (rc != SQLITE_OK || !q.st)
                problem = sqlite3_errmsg(db);
            else if (!OnlySpace(tail))
                problem = "the filter is more than one condition";
            else if (!sqlite3_stmt_readonly(q.st))
                problem = "the filter writes";
            else if (!CollectIds(q.st, ids))
                problem = sqlite3_errmsg(db);
        }
        if (!problem.empty()) {
            std::string detail = problem + ": " + filter.str().substr(0, 200);
            VmLogFile::GetInstance(false).RecordLog(400, "malformed attribute filter", detail.c_str(), __FILE__,
                                                    __LINE__);
            ids.clear();
            return false;
        }
        // The condition may be anything (a UNION, a LIMIT): keep each
        // record once, in record order.
        std::sort(ids.begin(), ids.end());
        ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
        return true;
    }

    // The box of every record with finite bounds; false when there is none.
    bool Extent(double& minx, double& miny, double& maxx, double& maxy) {
        Statement q;
        if (!q.Prepare(db, "SELECT MIN(\"zk$minx\"), MIN(\"zk$miny\"), MAX(\"zk$maxx\"), MAX(\"zk$maxy\"), "
                           "COUNT(\"zk$minx\") FROM " + TableSql()) ||
            sqlite3_step(q.st) != SQLITE_ROW || sqlite3_column_int64(q.st, 4) == 0)
            return false;
        minx = sqlite3_column_double(q.st, 0);
        miny = sqlite3_column_double(q.st, 1);
        maxx = sqlite3_column_double(q.st, 2);
        maxy = sqlite3_column_double(q.st, 3);
        return true;
    }

    // A query that takes in every record is a plain scan; any other builds
    // the wanted index first.
    void PrepareBoundsQuery(const PlxRect2D& bounds) {
        if (hasRtree || !rtreeWanted) return;
        double minx, miny, maxx, maxy;
        if (Extent(minx, miny, maxx, maxy) && bounds.left <= minx && bounds.right >= maxx &&
            bounds.bottom <= miny && bounds.top >= maxy)
            return;
        BuildRtree();
    }

    bool BuildRtree() {
        if (hasRtree) return true;
        Finalize();
        if (!Exec(db, "SAVEPOINT vm_rtree")) return false;
        bool ok = Exec(db, "CREATE VIRTUAL TABLE " + Quote(rtree) + " USING rtree(id, minx, maxx, miny, maxy)") &&
                  Exec(db, "INSERT INTO " + Quote(rtree) +
                               " (id, minx, maxx, miny, maxy) SELECT \"ZkID\", \"zk$minx\", \"zk$maxx\", "
                               "\"zk$miny\", \"zk$maxy\" FROM " + TableSql() +
                               " WHERE \"zk$wkb\" IS NOT NULL AND \"zk$minx\" IS NOT NULL AND \"zk$miny\" IS NOT "
                               "NULL AND \"zk$maxx\" IS NOT NULL AND \"zk$maxy\" IS NOT NULL");
        if (!ok) Exec(db, "ROLLBACK TO vm_rtree");
        Exec(db, "RELEASE vm_rtree");
        hasRtree = ok;
        return ok;
    }

    bool SelectByBounds(const PlxRect2D& bounds, std::vector<long long>& ids) {
        if (!bounds.IsValid()) return true;
        PrepareBoundsQuery(bounds);
        Statement q;
        // The R*Tree holds 32-bit boxes rounded outwards: it finds
        // candidates, the exact bounds decide. CROSS JOIN keeps the tree as
        // the outer loop; the order is restored afterwards.
        std::string exact =
            "t.\"zk$minx\" <= ?1 AND t.\"zk$maxx\" >= ?2 AND t.\"zk$miny\" <= ?3 AND t.\"zk$maxy\" >= ?4";
        std::string sql = hasRtree ? "SELECT t.\"ZkID\" FROM " + Quote(rtree) + " AS r CROSS JOIN " + TableSql() +
                                         " AS t ON t.\"ZkID\" = r.id WHERE r.minx <= ?1 AND r.maxx >= ?2 AND "
                                         "r.miny <= ?3 AND r.maxy >= ?4 AND " + exact
                                   : "SELECT t.\"ZkID\" FROM " + TableSql() + " AS t WHERE " + exact;
        if (!q.Prepare(db, sql)) return false;
        sqlite3_bind_double(q.st, 1, bounds.right);
        sqlite3_bind_double(q.st, 2, bounds.left);
        sqlite3_bind_double(q.st, 3, bounds.top);
        sqlite3_bind_double(q.st, 4, bounds.bottom);
        if (!CollectIds(q.st, ids)) return false;
        std::sort(ids.begin(), ids.end());
        return true;
    }

    bool SelectByIds(const PlxMBString& fieldName, const PlxArray<int>& wanted, std::vector<long long>& ids) {
        int column = fieldName.IsEmpty() ? 0 : Find(fieldName);
        if (column < 0) return false;
        std::vector<long long> keys(wanted.begin(), wanted.end());
        std::sort(keys.begin(), keys.end());
        keys.erase(std::unique(keys.begin(), keys.end()), keys.end());
        Statement q;
        if (column == 0) {
            if (!q.Prepare(db, "SELECT \"ZkID\" FROM " + TableSql() + " WHERE \"ZkID\" = ?1")) return false;
            for (long long key : keys) {
                sqlite3_bind_int64(q.st, 1, key);
                bool ok = CollectIds(q.st, ids);
                sqlite3_reset(q.st);
                if (!ok) return false;
            }
            return true;
        }
        // Any other field: one pass over the table, matching the values that
        // are whole numbers.
        std::unordered_set<long long> lookup(keys.begin(), keys.end());
        if (!q.Prepare(db, "SELECT \"ZkID\", " + Quote(columns[static_cast<size_t>(column)].name) + " FROM " +
                               TableSql() + " ORDER BY \"ZkID\""))
            return false;
        int rc;
        while ((rc = sqlite3_step(q.st)) == SQLITE_ROW) {
            long long value = 0;
            if (IntegerOf(q.st, 1, value) && lookup.count(value)) ids.push_back(sqlite3_column_int64(q.st, 0));
        }
        return rc == SQLITE_DONE;
    }
};

// ---------------------------------------------------------------------------

class VmRecordsetMemory : public VmRecordset {
public:
    VmRecordsetMemory(VmDatasetVectorMemory* dataset, int queryType, std::vector<long long> ids)
        : VmRecordset(dataset, queryType), m_pMemory(dataset), m_ids(std::move(ids)) {}

    unsigned char AddNew(VmGeometry* geometry, int) override {
        if (!Alive()) return 0;
        const VmDatasetVectorMemory::Store& s = S();
        m_row = Row();
        m_row.values.reserve(s.columns.size());
        for (const Column& c : s.columns) m_row.values.push_back(c.initial);
        SetRowGeometry(geometry);
        m_edit = New;
        return 1;
    }

    unsigned char SetFieldValue(const PlxMBString& name, const PlxMBString& text) override {
        if (!BeginEdit()) return 0;
        const VmDatasetVectorMemory::Store& s = S();
        int column = s.Find(name);
        if (column <= 0) return 0;  // unknown, or ZkID, which only the engine numbers
        Fit();
        Value value;
        bool ok = ConvertText(text.str(), s.columns[static_cast<size_t>(column)].type, value);
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
        VmDatasetVectorMemory::Store& s = S();
        Fit();
        bool inserting = m_edit == New;
        sqlite3_stmt* st = inserting ? s.Insert() : s.Update();
        if (!st) return 0;
        s.BindRow(st, m_row);
        if (!inserting) sqlite3_bind_int64(st, static_cast<int>(s.columns.size()) + 5, m_row.id);
        int rc = sqlite3_step(st);
        sqlite3_reset(st);
        ++s.generation;
        if (rc != SQLITE_DONE) return 0;
        if (inserting) {
            m_row.id = sqlite3_last_insert_rowid(s.db);
            m_row.id = s.NumberByFeatureId(m_row);
        }
        if (!s.IndexRow(m_row.id, m_row, !inserting)) return 0;
        if (inserting) {
            m_ids.push_back(m_row.id);
            m_pos = m_ids.size() - 1;
        }
        m_loaded = true;
        m_edit = None;
        return 1;
    }

    int GetRecordCount() const override { return static_cast<int>(m_ids.size()); }

    unsigned char MoveFirst() override {
        Leave();
        m_pos = 0;
        return m_ids.empty() ? 0 : 1;
    }

    unsigned char MoveNext() override {
        Leave();
        if (m_pos < m_ids.size()) ++m_pos;
        return m_pos < m_ids.size() ? 1 : 0;
    }

    unsigned char IsEOF() const override { return m_edit == New ? 0 : (m_pos >= m_ids.size() ? 1 : 0); }

    PlxMBString GetFieldValue(const PlxMBString& name) const override {
        if (!Alive() || !EnsureRow()) return PlxMBString();
        int column = S().Find(name);
        if (column < 0) return PlxMBString();
        if (column == 0) return m_edit == New ? PlxMBString() : PlxMBString(std::to_string(m_row.id));
        size_t c = static_cast<size_t>(column);
        return c < m_row.values.size() ? PlxMBString(FormatValue(m_row.values[c])) : PlxMBString();
    }

    int GetID() const override {
        if (m_edit == New || !Alive() || !EnsureRow()) return 0;
        return static_cast<int>(m_row.id);
    }

    VmGeometry* GetGeometry() override {
        if (!Alive() || !EnsureRow() || m_row.wkb.empty()) return nullptr;
        if (!m_geometryReady) {
            int type = m_pMemory->GetType();
            bool geometric = type == VmDataset::Point || type == VmDataset::Line || type == VmDataset::Region ||
                             type == VmDataset::Text;
            m_geometry.reset(new VmGeometry(geometric ? type : 0));
            if (!m_geometry->FromWkb(m_row.wkb.data(), m_row.wkb.size())) m_geometry.reset();
            m_geometryReady = true;
        }
        return m_geometry.get();
    }

private:
    enum Edit { None, New, Existing };

    bool Alive() const { return m_pDataset && m_pMemory->m_pStore; }
    VmDatasetVectorMemory::Store& S() const { return *m_pMemory->m_pStore; }

    // Makes the row buffer current for the record the cursor stands on (or
    // the record being written); false when there is none.
    bool EnsureRow() const {
        if (m_edit != None) return true;
        if (m_pos >= m_ids.size()) return false;
        if (m_loaded && m_row.id == m_ids[m_pos]) return true;
        if (!TakeBuffered(m_ids[m_pos])) S().ReadRow(m_ids[m_pos], m_row);
        m_loaded = true;
        m_geometryReady = false;
        m_geometry.reset();
        return true;
    }

    // A cursor walking a recordset in order reads the records ahead in runs:
    // the next rows of the recordset when their numbers lie close together.
    bool TakeBuffered(long long id) const {
        VmDatasetVectorMemory::Store& s = S();
        const bool current = m_bufferGeneration == s.generation;
        if (current)
            while (m_buffered < m_buffer.size() && m_buffer[m_buffered].id < id) ++m_buffered;
        if (!current || m_buffered >= m_buffer.size() || m_buffer[m_buffered].id > id) {
            const size_t last = std::min(m_ids.size(), m_pos + kReadAhead) - 1;
            // Sparse numbers would read mostly records the recordset skips.
            if (last == m_pos || m_ids[last] - id > static_cast<long long>(2 * kReadAhead)) return false;
            m_bufferGeneration = ~0ULL;
            if (!s.ReadRange(id, m_ids[last], m_buffer)) return false;
            m_bufferGeneration = s.generation;
            m_buffered = 0;
        }
        if (m_buffered >= m_buffer.size() || m_buffer[m_buffered].id != id) return false;
        m_row = std::move(m_buffer[m_buffered++]);
        return true;
    }

    bool BeginEdit() {
        if (!Alive()) return false;
        if (m_edit != None) return true;
        if (!EnsureRow()) return false;
        m_edit = Existing;
        return true;
    }

    // Drops a change not stored: the buffer no longer matches any record.
    void Leave() {
        if (m_edit != None) {
            m_edit = None;
            m_loaded = false;
        }
    }

    // Fields created since the buffer was filled start without value.
    void Fit() {
        const VmDatasetVectorMemory::Store& s = S();
        while (m_row.values.size() < s.columns.size()) m_row.values.push_back(s.columns[m_row.values.size()].initial);
    }

    void SetRowGeometry(VmGeometry* geometry) {
        m_row.wkb.clear();
        m_row.minx = m_row.miny = m_row.maxx = m_row.maxy = 0;
        if (geometry && !geometry->IsEmpty()) {
            m_row.wkb = geometry->ToWkb();
            PlxRect2D bounds = geometry->GetBounds();
            m_row.minx = bounds.left;
            m_row.maxx = bounds.right;
            m_row.miny = bounds.bottom;
            m_row.maxy = bounds.top;
        }
        m_geometryReady = false;
        m_geometry.reset();
    }

    VmDatasetVectorMemory* m_pMemory;
    std::vector<long long> m_ids;
    size_t m_pos = 0;
    Edit m_edit = None;
    mutable Row m_row;
    static constexpr size_t kReadAhead = 256;
    mutable std::vector<Row> m_buffer;
    mutable size_t m_buffered = 0;
    mutable unsigned long long m_bufferGeneration = ~0ULL;
    mutable bool m_loaded = false;
    mutable bool m_geometryReady = false;
    mutable std::unique_ptr<VmGeometry> m_geometry;
};

// ---------------------------------------------------------------------------

VmDatasetVectorMemory::VmDatasetVectorMemory(const VmDatasetVectorInfo& info)
    : VmDatasetVector(info), m_pStore(new Store()) {
    m_bOpened = 1;
}

VmDatasetVectorMemory::~VmDatasetVectorMemory() {
    DeleteRecordsets();
    m_pStore->Finalize();
    if (m_pStore->db) {
        Exec(m_pStore->db, "DROP TABLE IF EXISTS " + Quote(m_pStore->rtree));
        Exec(m_pStore->db, "DROP TABLE IF EXISTS " + Quote(m_pStore->table));
    }
}

void VmDatasetVectorMemory::LeaveDatabase() {
    DeleteRecordsets();
    m_pStore->Finalize();
    m_pStore->db = nullptr;
}

int VmDatasetVectorMemory::GetObjectCount() {
    Statement q;
    if (!m_pStore->db || !q.Prepare(m_pStore->db, "SELECT COUNT(*) FROM " + m_pStore->TableSql())) return 0;
    return sqlite3_step(q.st) == SQLITE_ROW ? sqlite3_column_int(q.st, 0) : 0;
}

unsigned char VmDatasetVectorMemory::CreateFields(const PlxFieldInfos& fields) {
    Store& s = *m_pStore;
    if (!s.db) return 0;
    enum Action { Skip, System, Add };
    std::vector<Action> actions;
    std::unordered_set<std::string> taken;
    for (const auto& entry : s.byName) taken.insert(entry.first);
    std::unordered_set<std::string> systemsKnown;
    for (const PlxFieldInfo& f : m_Fields) systemsKnown.insert(Fold(f.Name.str()));
    for (const PlxFieldInfo& field : fields) {
        const std::string& name = field.Name.str();
        if (!IsUsableName(name)) return 0;
        std::string folded = Fold(name);
        if (IsSystemName(folded)) {
            // The table has these columns already; the field is only described.
            actions.push_back(systemsKnown.insert(folded).second ? System : Skip);
            continue;
        }
        if (IsReservedName(folded) || !taken.insert(folded).second) return 0;
        actions.push_back(Add);
    }

    bool adding = std::find(actions.begin(), actions.end(), Add) != actions.end();
    if (adding) {
        s.Finalize();
        if (!Exec(s.db, "SAVEPOINT vm_fields")) return 0;
        for (size_t i = 0; i < actions.size(); ++i) {
            if (actions[i] != Add) continue;
            const PlxFieldInfo& field = fields[static_cast<int>(i)];
            if (!Exec(s.db, "ALTER TABLE " + s.TableSql() + " ADD COLUMN " + Quote(field.Name.str()) + " " +
                                SqlType(field.Type))) {
                Exec(s.db, "ROLLBACK TO vm_fields");
                Exec(s.db, "RELEASE vm_fields");
                return 0;
            }
        }
        if (!Exec(s.db, "RELEASE vm_fields")) return 0;
    }

    for (size_t i = 0; i < actions.size(); ++i) {
        const PlxFieldInfo& field = fields[static_cast<int>(i)];
        if (actions[i] == Skip) continue;
        m_Fields.Add(field);
        Column* column = nullptr;
        if (actions[i] == System) {
            if (Fold(field.Name.str()) != "zkuserid") continue;  // ZkID stays the record number
            column = &s.columns[1];
        } else {
            s.columns.emplace_back();
            column = &s.columns.back();
            column->name = field.Name.str();
        }
        column->type = field.Type;
        ConvertText(field.DefaultValue.str(), field.Type, column->initial);
        if (field.DefaultValue.IsEmpty()) column->initial = Value();
    }
    s.Finalize();
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
    if (index < 0 || index > m_Fields.GetSize() || !s.db || !IsUsableName(field.Name.str())) return 0;
    std::string oldName = m_Fields[index].Name.str(), newName = field.Name.str();
    std::string oldFolded = Fold(oldName), newFolded = Fold(newName);
    int column = s.Find(PlxMBString(oldName));
    if (column < 0) return 0;
    if (oldName != newName) {
        if (IsSystemName(oldFolded) || IsSystemName(newFolded)) {
            if (oldFolded != newFolded) return 0;  // a system field keeps its meaning
        } else {
            if (IsReservedName(newFolded) || (newFolded != oldFolded && s.byName.count(newFolded))) return 0;
            s.Finalize();
            if (!Exec(s.db,
                      "ALTER TABLE " + s.TableSql() + " RENAME COLUMN " + Quote(oldName) + " TO " + Quote(newName)))
                return 0;
            s.columns[static_cast<size_t>(column)].name = newName;
        }
    }
    m_Fields[index] = field;
    if (column > 0) {
        Column& c = s.columns[static_cast<size_t>(column)];
        c.type = field.Type;
        ConvertText(field.DefaultValue.str(), field.Type, c.initial);
        if (field.DefaultValue.IsEmpty()) c.initial = Value();
    }
    s.Finalize();
    s.Reindex();
    return 1;
}

VmRecordset* VmDatasetVectorMemory::Query(const VmQueryDef& def) {
    Store& s = *m_pStore;
    if (!s.db) return nullptr;
    std::vector<long long> ids;
    bool ok = false;
    switch (def.QueryType) {
    case VmQueryDef::General: ok = s.SelectByFilter(def.Filter, ids); break;
    case VmQueryDef::QueryBounds: ok = s.SelectByBounds(def.Bounds, ids); break;
    case VmQueryDef::QueryIDs: ok = s.SelectByIds(def.IDFieldName, def.IDs, ids); break;
    default: break;
    }
    if (!ok) return nullptr;
    return AdoptRecordset(new VmRecordsetMemory(this, def.QueryType, std::move(ids)));
}

unsigned char VmDatasetVectorMemory::BuildSpatialIndex() {
    if (!m_pStore->db) return 0;
    m_pStore->rtreeWanted = true;
    return 1;
}

bool VmDatasetVectorMemory::HasSpatialIndex() const { return m_pStore->hasRtree || m_pStore->rtreeWanted; }

PlxRect2D VmDatasetVectorMemory::ComputeBounds() {
    Statement q;
    if (!m_pStore->db ||
        !q.Prepare(m_pStore->db, "SELECT MIN(\"zk$minx\"), MAX(\"zk$maxy\"), MAX(\"zk$maxx\"), MIN(\"zk$miny\"), "
                                 "COUNT(\"zk$minx\") FROM " + m_pStore->TableSql()) ||
        sqlite3_step(q.st) != SQLITE_ROW || sqlite3_column_int64(q.st, 4) == 0)
        return PlxRect2D();
    return PlxRect2D(sqlite3_column_double(q.st, 0), sqlite3_column_double(q.st, 1), sqlite3_column_double(q.st, 2),
                     sqlite3_column_double(q.st, 3));
}

void VmDatasetVectorMemory::Resync() {
    Store& s = *m_pStore;
    s.Finalize();
    if (!s.db) return;
    auto exists = [&](const std::string& name) {
        Statement q;
        if (!q.Prepare(s.db, "SELECT 1 FROM sqlite_master WHERE name = ?1")) return false;
        sqlite3_bind_text(q.st, 1, name.c_str(), -1, SQLITE_TRANSIENT);
        return sqlite3_step(q.st) == SQLITE_ROW;
    };
    s.hasRtree = exists(s.rtree);
    if (!exists(s.table)) {
        // Created inside the rolled-back transaction: start again empty.
        Exec(s.db, s.CreateTableSql());
        s.columns.resize(2);
        m_Fields.RemoveAll();
        s.Reindex();
        return;
    }
    std::unordered_set<std::string> present;
    Statement q;
    if (q.Prepare(s.db, "PRAGMA table_info(" + s.TableSql() + ")"))
        while (sqlite3_step(q.st) == SQLITE_ROW)
            present.insert(Fold(reinterpret_cast<const char*>(sqlite3_column_text(q.st, 1))));
    for (size_t i = s.columns.size(); i-- > 2;)
        if (!present.count(Fold(s.columns[i].name))) s.columns.erase(s.columns.begin() + static_cast<long>(i));
    for (int i = m_Fields.GetSize() - 1; i >= 0; --i) {
        std::string folded = Fold(m_Fields[i].Name.str());
        if (!IsSystemName(folded) && !present.count(folded)) m_Fields.RemoveAt(i);
    }
    s.Reindex();
}

// ---------------------------------------------------------------------------

sqlite3* VmDataSourceMemory::GetDatabase() {
    if (m_pDatabase) return m_pDatabase;
    sqlite3* db = nullptr;
    if (sqlite3_open(":memory:", &db) != SQLITE_OK) {
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
    sqlite3* db = GetDatabase();
    if (!db) return nullptr;
    std::unique_ptr<VmDatasetVectorMemory> dataset(new VmDatasetVectorMemory(info));
    VmDatasetVectorMemory::Store& s = *dataset->m_pStore;
    s.table = "vm$" + std::to_string(++m_nTableSerial);
    s.rtree = s.table + "$rtree";
    if (!Exec(db, s.CreateTableSql())) return nullptr;
    s.db = db;
    dataset->SetDataSource(this);
    m_Datasets.Add(dataset.get());
    return dataset.release();
}

unsigned char VmDataSourceMemory::BeginTrans() {
    sqlite3* db = GetDatabase();
    if (!db) return 0;
    if (!sqlite3_get_autocommit(db)) return 1;
    return Exec(db, "BEGIN") ? 1 : 0;
}

void VmDataSourceMemory::Commit() {
    if (m_pDatabase && !sqlite3_get_autocommit(m_pDatabase)) Exec(m_pDatabase, "COMMIT");
}

void VmDataSourceMemory::Rollback() {
    if (!m_pDatabase || sqlite3_get_autocommit(m_pDatabase)) return;
    Exec(m_pDatabase, "ROLLBACK");
    for (VmDataset* dataset : m_Datasets)
        if (auto* vector = dynamic_cast<VmDatasetVectorMemory*>(dataset)) vector->Resync();
}

} // namespace VMK
