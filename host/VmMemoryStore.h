// The records of one in-memory vector dataset: typed values in columns,
// geometries as WKB with their boxes, record numbers, and the journal that
// lets a transaction be rolled back. Loading a feature download appends
// here without any SQL; SQLite is reached only to evaluate attribute
// filters (VmMemoryFilter.cpp), over a virtual table that reads these
// columns in place. Not part of the installed interface.
#pragma once

#include "VmEngine.h"
#include "VmGrowingArray.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct sqlite3;

namespace VMK {
namespace memvector {

enum class Kind : uint8_t { Null, Integer, Real, Text, Blob };

// A value on its way in or out: what a field's text converts to.
struct Value {
    Kind kind = Kind::Null;
    long long i = 0;
    double d = 0.0;
    std::string s;  // text and blob bytes
};

// Converts text to the value a field of `type` stores; false (out = no value)
// when the text does not fit the type. Numbers are read in the C locale.
bool ConvertText(const std::string& text, PlxFieldInfo::FieldType type, Value& out);
// Integers as decimal digits, reals as the shortest text that reads back to
// the same double, text and blobs as they are; "" for no value.
std::string FormatValue(const Value& value);
bool ParseInteger(std::string_view text, long long& out);
std::string_view TrimSpace(std::string_view text);

// SQLite compares identifiers folding ASCII letters only; so do we.
std::string Fold(const std::string& name);
// A name as an SQL identifier: inside double quotes, inner quotes doubled.
std::string Quote(const std::string& name);

// One stored value; text and blob bytes live in the column's arena, which
// only grows, so that an old cell kept by the journal stays readable.
struct Cell {
    union {
        long long i;
        double d;
        uint64_t offset;
    };
    uint32_t length = 0;
    Kind kind = Kind::Null;
    Cell() : i(0) {}
};

struct Column {
    std::string name;
    PlxFieldInfo::FieldType type = PlxFieldInfo::Text;
    Value initial;  // the field's default value, converted
    GrowingArray<Cell> cells;
    GrowingArray<char> bytes;

    Cell Store(const Value& value);
    Value Load(const Cell& cell) const;
    std::string_view Bytes(const Cell& cell) const { return std::string_view(bytes.data() + cell.offset, cell.length); }
};

struct Box {
    double minx = 0, miny = 0, maxx = 0, maxy = 0;
};

// A record as a recordset holds it while writing it.
struct PendingRow {
    long long id = 0;
    std::vector<Value> values;  // per column; [0] (ZkID) unused, see id
    std::vector<unsigned char> wkb;  // empty: no geometry
    Box box;
};

class RecordStore {
public:
    RecordStore();

    // [0] ZkID (its values are `Id`), [1] ZkUserID, then the fields.
    std::vector<Column> columns;

    size_t RowCount() const { return m_ids.size(); }
    long long Id(size_t row) const { return m_ids[row]; }
    bool HasGeometry(size_t row) const { return m_geometryLength[row] != 0; }
    const unsigned char* Wkb(size_t row) const {
        return reinterpret_cast<const unsigned char*>(m_geometryBytes.data()) + m_geometryOffset[row];
    }
    size_t WkbSize(size_t row) const { return m_geometryLength[row]; }
    Value Get(size_t row, size_t column) const { return columns[column].Load(columns[column].cells[row]); }

    // The column of a name, ignoring ASCII case; -1 when unknown.
    int Find(const std::string& name) const;
    void Reindex();

    // Appends a record and returns its row. Its number is one past the
    // largest so far, or the number at the end of its "fid" text
    // ("roads.17") when that number is free, so that identifier queries find
    // features by the numbers the service gave them.
    size_t Append(const PendingRow& row);
    // Rewrites the record at `row` (its number stays).
    void Rewrite(size_t row, const PendingRow& values);
    // The record's current values, for editing.
    void Read(size_t row, PendingRow& out) const;

    // Rows in record-number order: every one, those whose box meets
    // `bounds` (edges included; none for an invalid rectangle), those
    // numbered or carrying one of `keys` in `column` (0: the number itself).
    std::vector<uint32_t> All() const;
    std::vector<uint32_t> Meeting(const PlxRect2D& bounds) const;
    bool WithKeys(int column, const PlxArray<int>& keys, std::vector<uint32_t>& rows) const;
    // Rows of the given record numbers, in number order, each once.
    std::vector<uint32_t> RowsOfIds(std::vector<long long> ids) const;
    // The union of the boxes; false when no record has geometry.
    bool Extent(Box& box) const;

    // Columns and fields change through the dataset; this counts the changes
    // so that the filter table is declared again before it is next used.
    unsigned long long SchemaVersion() const { return m_schemaVersion; }
    void SchemaChanged() { ++m_schemaVersion; }

    // Transactions: Begin notes where the records and columns stand, Undo
    // goes back there, Forget keeps what was done. `createdInside`: the
    // dataset did not exist when the transaction began, so undoing empties it.
    void Begin(bool createdInside);
    void Forget();
    void Undo();
    bool InTransaction() const { return m_journal.active; }
    bool CreatedInside() const { return m_journal.createdInside; }
    size_t ColumnsAtBegin() const { return m_journal.columns.size(); }

private:
    struct SavedRow {
        std::vector<Cell> cells;
        uint64_t geometryOffset = 0;
        uint32_t geometryLength = 0;
        Box box;
    };
    struct ColumnShape {
        std::string name;
        PlxFieldInfo::FieldType type;
        Value initial;
    };
    struct Journal {
        bool active = false;
        bool createdInside = false;
        size_t rows = 0;
        long long largest = 0;
        bool ascending = true;
        std::vector<ColumnShape> columns;
        std::unordered_map<size_t, SavedRow> saved;
    };

    void Save(size_t row);
    void SetGeometry(size_t row, const PendingRow& values);
    long long NumberFromFid(const PendingRow& row) const;
    bool RowOf(long long id, size_t& row) const;
    void IndexIds();

    GrowingArray<long long> m_ids;
    GrowingArray<uint64_t> m_geometryOffset;
    GrowingArray<uint32_t> m_geometryLength;
    GrowingArray<char> m_geometryBytes;
    GrowingArray<Box> m_boxes;
    std::unordered_map<std::string, int> m_byName;  // folded name -> column
    int m_fidColumn = -1;  // the feature identifiers' column, -1 when none
    long long m_largest = 0;
    // Numbers usually grow with the rows and are 1, 2, 3...: then a number
    // is its own row index and results need no sorting. The map is built
    // only once they are not.
    bool m_ascending = true;
    bool m_dense = true;
    std::unordered_map<long long, uint32_t> m_rowOf;
    unsigned long long m_schemaVersion = 0;
    Journal m_journal;
};

// The filter half of the engine (VmMemoryFilter.cpp): the rows whose values
// meet an SQL condition over the dataset's fields, in number order; false
// (logged) when the condition is not one well-formed read-only condition
// over this dataset.
// `declared` is the schema version the dataset's table was last declared
// for (~0 for none); it is declared again when the columns changed since.
bool SelectByFilter(sqlite3* db, const std::string& table, RecordStore& store, unsigned long long& declared,
                    const PlxMBString& filter, std::vector<uint32_t>& rows);
// The virtual table module filters read through, registered on a database
// once; and the table of one dataset, dropped when the dataset goes.
bool RegisterFilterModule(sqlite3* db);
void DropFilterTable(sqlite3* db, const std::string& table);

} // namespace memvector
} // namespace VMK
