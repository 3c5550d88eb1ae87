// Attribute filters of the in-memory engine: a condition is SQL, evaluated
// by SQLite over a virtual table whose rows are a dataset's records, read in
// place from its columns. The records are never copied into SQLite, so a
// dataset that is never filtered never touches it.
#include "VmMemoryStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <cctype>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

namespace VMK {
namespace memvector {

namespace {

const char* const kModule = "vm_records";

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

struct Table {
    sqlite3_vtab base;
    RecordStore* store;
};

struct Cursor {
    sqlite3_vtab_cursor base;
    size_t row;
};

RecordStore& StoreOf(sqlite3_vtab_cursor* cursor) { return *reinterpret_cast<Table*>(cursor->pVtab)->store; }

// The table's one argument is the address of its store. Only the engine
// writes the statement that creates a table: a filter may neither create
// nor name one of another dataset (FilterAuthorizer).
int Connect(sqlite3* db, void*, int argc, const char* const* argv, sqlite3_vtab** out, char** error) {
    if (argc < 4) return SQLITE_ERROR;
    auto* store = reinterpret_cast<RecordStore*>(static_cast<uintptr_t>(std::strtoull(argv[3], nullptr, 10)));
    if (!store) return SQLITE_ERROR;
    std::string sql = "CREATE TABLE x(";
    for (size_t c = 0; c < store->columns.size(); ++c)
        sql += (c ? ", " : "") + Quote(store->columns[c].name) + " " +
               (c < 2 ? "INTEGER" : SqlType(store->columns[c].type));
    sql += ")";
    const int rc = sqlite3_declare_vtab(db, sql.c_str());
    if (rc != SQLITE_OK) {
        *error = sqlite3_mprintf("%s", sqlite3_errmsg(db));
        return rc;
    }
    auto* table = static_cast<Table*>(sqlite3_malloc(sizeof(Table)));
    if (!table) return SQLITE_NOMEM;
    *table = Table();
    table->store = store;
    *out = &table->base;
    return SQLITE_OK;
}

int Disconnect(sqlite3_vtab* table) {
    sqlite3_free(table);
    return SQLITE_OK;
}

int BestIndex(sqlite3_vtab* table, sqlite3_index_info* info) {
    info->estimatedCost = static_cast<double>(reinterpret_cast<Table*>(table)->store->RowCount()) + 1;
    return SQLITE_OK;
}

int Open(sqlite3_vtab*, sqlite3_vtab_cursor** out) {
    auto* cursor = static_cast<Cursor*>(sqlite3_malloc(sizeof(Cursor)));
    if (!cursor) return SQLITE_NOMEM;
    *cursor = Cursor();
    *out = &cursor->base;
    return SQLITE_OK;
}

int Close(sqlite3_vtab_cursor* cursor) {
    sqlite3_free(cursor);
    return SQLITE_OK;
}

int Filter(sqlite3_vtab_cursor* cursor, int, const char*, int, sqlite3_value**) {
    reinterpret_cast<Cursor*>(cursor)->row = 0;
    return SQLITE_OK;
}

int Next(sqlite3_vtab_cursor* cursor) {
    ++reinterpret_cast<Cursor*>(cursor)->row;
    return SQLITE_OK;
}

int Eof(sqlite3_vtab_cursor* cursor) {
    return reinterpret_cast<Cursor*>(cursor)->row >= StoreOf(cursor).RowCount();
}

int ColumnValue(sqlite3_vtab_cursor* cursor, sqlite3_context* context, int index) {
    const RecordStore& store = StoreOf(cursor);
    const size_t row = reinterpret_cast<Cursor*>(cursor)->row;
    if (index == 0) {
        sqlite3_result_int64(context, store.Id(row));
        return SQLITE_OK;
    }
    const Column& column = store.columns[static_cast<size_t>(index)];
    const Cell& cell = column.cells[row];
    switch (cell.kind) {
    case Kind::Integer: sqlite3_result_int64(context, cell.i); break;
    case Kind::Real: sqlite3_result_double(context, cell.d); break;
    case Kind::Text:
        sqlite3_result_text(context, column.bytes.data() + cell.offset, static_cast<int>(cell.length), SQLITE_TRANSIENT);
        break;
    case Kind::Blob:
        sqlite3_result_blob(context, column.bytes.data() + cell.offset, static_cast<int>(cell.length), SQLITE_TRANSIENT);
        break;
    default: sqlite3_result_null(context); break;
    }
    return SQLITE_OK;
}

int Rowid(sqlite3_vtab_cursor* cursor, sqlite3_int64* out) {
    *out = StoreOf(cursor).Id(reinterpret_cast<Cursor*>(cursor)->row);
    return SQLITE_OK;
}

sqlite3_module MakeModule() {
    sqlite3_module module = {};
    module.xCreate = Connect;
    module.xConnect = Connect;
    module.xBestIndex = BestIndex;
    module.xDisconnect = Disconnect;
    module.xDestroy = Disconnect;
    module.xOpen = Open;
    module.xClose = Close;
    module.xFilter = Filter;
    module.xNext = Next;
    module.xEof = Eof;
    module.xColumn = ColumnValue;
    module.xRowid = Rowid;
    return module;
}
const sqlite3_module kRecords = MakeModule();

bool Exec(sqlite3* db, const std::string& sql) {
    return db && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool Declare(sqlite3* db, const std::string& table, RecordStore& store) {
    DropFilterTable(db, table);
    char address[32];
    std::snprintf(address, sizeof address, "%" PRIuPTR, reinterpret_cast<uintptr_t>(&store));
    return Exec(db, "CREATE VIRTUAL TABLE " + Quote(table) + " USING " + kModule + "(" + address + ")");
}

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

struct Statement {
    sqlite3_stmt* st = nullptr;
    ~Statement() { sqlite3_finalize(st); }
};

// Why `filter` was refused; "" when it ran, with the numbers it selected.
std::string Run(sqlite3* db, const std::string& table, const std::string& filter, std::vector<long long>& ids) {
    if (filter.find('\0') != std::string::npos) return "the filter holds a NUL byte";
    const std::string sql = "SELECT \"ZkID\" FROM " + Quote(table) + " WHERE (" + filter + ")";
    Statement q;
    const char* tail = nullptr;
    std::string name = table;
    sqlite3_set_authorizer(db, FilterAuthorizer, &name);
    const int rc = sqlite3_prepare_v2(db, sql.c_str(), -1, &q.st, &tail);
    sqlite3_set_authorizer(db, nullptr, nullptr);
    if (rc != SQLITE_OK || !q.st) return sqlite3_errmsg(db);
    // Only the first statement is compiled: anything after it would be
    // silently ignored, so a tail means the filter was not one condition
    // (e.g. "1); DROP TABLE t; --").
    if (!OnlySpace(tail)) return "the filter is more than one condition";
    if (!sqlite3_stmt_readonly(q.st)) return "the filter writes";
    int step;
    while ((step = sqlite3_step(q.st)) == SQLITE_ROW) ids.push_back(sqlite3_column_int64(q.st, 0));
    return step == SQLITE_DONE ? std::string() : std::string(sqlite3_errmsg(db));
}

} // namespace

bool RegisterFilterModule(sqlite3* db) {
    return sqlite3_create_module_v2(db, kModule, &kRecords, nullptr, nullptr) == SQLITE_OK;
}

void DropFilterTable(sqlite3* db, const std::string& table) { Exec(db, "DROP TABLE IF EXISTS " + Quote(table)); }

bool SelectByFilter(sqlite3* db, const std::string& table, RecordStore& store, unsigned long long& declared,
                    const PlxMBString& filter, std::vector<uint32_t>& rows) {
    rows.clear();
    if (TrimSpace(filter.str()).empty()) {
        rows = store.All();
        return true;
    }
    std::string problem;
    std::vector<long long> ids;
    if (!db) {
        problem = "no database for conditions";
    } else if (declared != store.SchemaVersion()) {
        if (Declare(db, table, store))
            declared = store.SchemaVersion();
        else
            problem = sqlite3_errmsg(db);
    }
    if (problem.empty()) problem = Run(db, table, filter.str(), ids);
    if (!problem.empty()) {
        const std::string detail = problem + ": " + filter.str().substr(0, 200);
        VmLogFile::GetInstance(false).RecordLog(400, "malformed attribute filter", detail.c_str(), __FILE__, __LINE__);
        return false;
    }
    // The condition may be anything (a UNION, a LIMIT): each record once, in
    // record order.
    rows = store.RowsOfIds(std::move(ids));
    return true;
}

} // namespace memvector
} // namespace VMK
