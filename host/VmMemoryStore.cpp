#include "VmMemoryStore.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <numeric>
#include <unordered_set>

namespace VMK {
namespace memvector {

// ---------------------------------------------------------------------------
// Values

std::string_view TrimSpace(std::string_view t) {
    const char* space = " \t\r\n\f\v";
    size_t first = t.find_first_not_of(space);
    if (first == std::string_view::npos) return std::string_view();
    size_t last = t.find_last_not_of(space);
    return t.substr(first, last - first + 1);
}

std::string Fold(const std::string& name) {
    std::string folded = name;
    for (char& c : folded)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return folded;
}

std::string Quote(const std::string& name) {
    std::string quoted = "\"";
    for (char c : name) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// Whole-text number parsing in the C locale whatever the process locale is:
// GML numbers are always written with a point.
bool ParseInteger(std::string_view t, long long& out) {
    if (!t.empty() && t[0] == '+') t.remove_prefix(1);
    if (t.empty() || t[0] == '+') return false;
    auto r = std::from_chars(t.data(), t.data() + t.size(), out);
    return r.ec == std::errc() && r.ptr == t.data() + t.size();
}

namespace {

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

// The value of an identifier field as an integer, when it is one.
bool IntegerOf(const Column& column, const Cell& cell, long long& out) {
    switch (cell.kind) {
    case Kind::Integer: out = cell.i; return true;
    case Kind::Real:
        if (cell.d != std::floor(cell.d) || std::fabs(cell.d) >= 9.2e18) return false;
        out = static_cast<long long>(cell.d);
        return true;
    case Kind::Text: return ParseInteger(TrimSpace(column.Bytes(cell)), out);
    default: return false;
    }
}

} // namespace

bool ConvertText(const std::string& text, PlxFieldInfo::FieldType type, Value& out) {
    out = Value();
    if (type == PlxFieldInfo::Text) {
        out.kind = Kind::Text;
        out.s = text;
        return true;
    }
    std::string_view t = TrimSpace(text);
    if (t.empty()) return true;
    switch (type) {
    case PlxFieldInfo::Boolean: {
        std::string folded = Fold(std::string(t));
        if (folded != "true" && folded != "1" && folded != "false" && folded != "0") return false;
        out.kind = Kind::Integer;
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
        out.kind = Kind::Integer;
        out.i = v;
        return true;
    }
    case PlxFieldInfo::Single:
    case PlxFieldInfo::Double: {
        double d = 0.0;
        if (!ParseReal(t, d)) return false;
        out.kind = Kind::Real;
        out.d = d;
        return true;
    }
    case PlxFieldInfo::Binary:
        out.kind = Kind::Blob;
        out.s = text;
        return true;
    default:  // dates and times: ISO text sorts and compares as written
        out.kind = Kind::Text;
        out.s = text;
        return true;
    }
}

std::string FormatValue(const Value& v) {
    switch (v.kind) {
    case Kind::Integer: return std::to_string(v.i);
    case Kind::Real: {
        char buffer[64];
        auto r = std::to_chars(buffer, buffer + sizeof buffer, v.d);
        return std::string(buffer, r.ptr);
    }
    case Kind::Text:
    case Kind::Blob: return v.s;
    default: return std::string();
    }
}

Cell Column::Store(const Value& value) {
    Cell cell;
    cell.kind = value.kind;
    switch (value.kind) {
    case Kind::Integer: cell.i = value.i; break;
    case Kind::Real: cell.d = value.d; break;
    case Kind::Text:
    case Kind::Blob:
        cell.offset = bytes.size();
        cell.length = static_cast<uint32_t>(value.s.size());
        bytes.append(value.s.data(), value.s.size());
        break;
    default: break;
    }
    return cell;
}

Value Column::Load(const Cell& cell) const {
    Value value;
    value.kind = cell.kind;
    switch (cell.kind) {
    case Kind::Integer: value.i = cell.i; break;
    case Kind::Real: value.d = cell.d; break;
    case Kind::Text:
    case Kind::Blob: value.s.assign(Bytes(cell)); break;
    default: break;
    }
    return value;
}

// ---------------------------------------------------------------------------
// Records

RecordStore::RecordStore() {
    columns.resize(2);
    columns[0].name = "ZkID";
    columns[0].type = PlxFieldInfo::Int64;
    columns[1].name = "ZkUserID";
    columns[1].type = PlxFieldInfo::Int64;
    Reindex();
}

int RecordStore::Find(const std::string& name) const {
    auto it = m_byName.find(Fold(name));
    return it == m_byName.end() ? -1 : it->second;
}

void RecordStore::Reindex() {
    m_byName.clear();
    for (size_t i = 0; i < columns.size(); ++i) m_byName[Fold(columns[i].name)] = static_cast<int>(i);
    m_fidColumn = Find("fid");
}

long long RecordStore::NumberFromFid(const PendingRow& row) const {
    const int column = m_fidColumn;
    if (column <= 0 || static_cast<size_t>(column) >= row.values.size()) return 0;
    const Value& value = row.values[static_cast<size_t>(column)];
    if (value.kind != Kind::Text || value.s.empty()) return 0;
    // The digits at the end, after a '.' or making up the whole text.
    const std::string& text = value.s;
    size_t start = text.size();
    while (start > 0 && text[start - 1] >= '0' && text[start - 1] <= '9') --start;
    const size_t digits = text.size() - start;
    if (digits == 0 || digits > 15 || (start > 0 && text[start - 1] != '.')) return 0;
    long long number = 0;
    for (size_t i = start; i < text.size(); ++i) number = number * 10 + (text[i] - '0');
    return number;
}

bool RecordStore::RowOf(long long id, size_t& row) const {
    if (m_dense) {
        if (id < 1 || static_cast<size_t>(id) > m_ids.size()) return false;
        row = static_cast<size_t>(id - 1);
        return true;
    }
    auto it = m_rowOf.find(id);
    if (it == m_rowOf.end()) return false;
    row = it->second;
    return true;
}

void RecordStore::IndexIds() {
    m_dense = true;
    for (size_t r = 0; r < m_ids.size() && m_dense; ++r) m_dense = m_ids[r] == static_cast<long long>(r + 1);
    m_rowOf.clear();
    if (m_dense) return;
    m_rowOf.reserve(m_ids.size());
    for (size_t r = 0; r < m_ids.size(); ++r) m_rowOf[m_ids[r]] = static_cast<uint32_t>(r);
}

void RecordStore::SetGeometry(size_t row, const PendingRow& values) {
    m_geometryOffset[row] = m_geometryBytes.size();
    m_geometryLength[row] = static_cast<uint32_t>(values.wkb.size());
    m_geometryBytes.append(reinterpret_cast<const char*>(values.wkb.data()), values.wkb.size());
    m_boxes[row] = values.box;
}

size_t RecordStore::Append(const PendingRow& values) {
    const size_t row = m_ids.size();
    long long id = m_largest + 1;
    const long long wanted = NumberFromFid(values);
    size_t taken = 0;
    if (wanted > 0 && wanted != id && !RowOf(wanted, taken)) id = wanted;
    for (size_t c = 1; c < columns.size(); ++c)
        columns[c].cells.push_back(c < values.values.size() ? columns[c].Store(values.values[c]) : Cell());
    m_ids.push_back(id);
    m_geometryOffset.push_back(0);
    m_geometryLength.push_back(0);
    m_boxes.push_back(Box());
    SetGeometry(row, values);
    if (row > 0 && id <= m_ids[row - 1]) m_ascending = false;
    m_largest = std::max(m_largest, id);
    if (m_dense && id != static_cast<long long>(row + 1))
        IndexIds();
    else if (!m_dense)
        m_rowOf[id] = static_cast<uint32_t>(row);
    return row;
}

void RecordStore::Save(size_t row) {
    if (!m_journal.active || row >= m_journal.rows || m_journal.saved.count(row)) return;
    SavedRow& saved = m_journal.saved[row];
    for (const Column& column : columns) saved.cells.push_back(column.cells.empty() ? Cell() : column.cells[row]);
    saved.geometryOffset = m_geometryOffset[row];
    saved.geometryLength = m_geometryLength[row];
    saved.box = m_boxes[row];
}

void RecordStore::Rewrite(size_t row, const PendingRow& values) {
    Save(row);
    for (size_t c = 1; c < columns.size(); ++c)
        columns[c].cells[row] = c < values.values.size() ? columns[c].Store(values.values[c]) : Cell();
    SetGeometry(row, values);
}

void RecordStore::Read(size_t row, PendingRow& out) const {
    out = PendingRow();
    out.id = m_ids[row];
    out.values.resize(columns.size());
    for (size_t c = 1; c < columns.size(); ++c) out.values[c] = Get(row, c);
    out.wkb.assign(Wkb(row), Wkb(row) + WkbSize(row));
    out.box = m_boxes[row];
}

std::vector<uint32_t> RecordStore::All() const {
    std::vector<uint32_t> rows(m_ids.size());
    std::iota(rows.begin(), rows.end(), 0u);
    if (!m_ascending)
        std::sort(rows.begin(), rows.end(), [this](uint32_t a, uint32_t b) { return m_ids[a] < m_ids[b]; });
    return rows;
}

std::vector<uint32_t> RecordStore::Meeting(const PlxRect2D& bounds) const {
    std::vector<uint32_t> rows;
    if (!bounds.IsValid()) return rows;
    // The boxes lie side by side: a scan of them outruns an index's
    // bookkeeping up to millions of records, and its answer comes in row
    // order without sorting.
    const double left = bounds.left, right = bounds.right, bottom = bounds.bottom, top = bounds.top;
    for (size_t r = 0; r < m_boxes.size(); ++r) {
        const Box& b = m_boxes[r];
        if (m_geometryLength[r] != 0 && b.minx <= right && b.maxx >= left && b.miny <= top && b.maxy >= bottom)
            rows.push_back(static_cast<uint32_t>(r));
    }
    if (!m_ascending)
        std::sort(rows.begin(), rows.end(), [this](uint32_t a, uint32_t b) { return m_ids[a] < m_ids[b]; });
    return rows;
}

std::vector<uint32_t> RecordStore::RowsOfIds(std::vector<long long> ids) const {
    std::sort(ids.begin(), ids.end());
    ids.erase(std::unique(ids.begin(), ids.end()), ids.end());
    std::vector<uint32_t> rows;
    rows.reserve(ids.size());
    size_t row = 0;
    for (long long id : ids)
        if (RowOf(id, row)) rows.push_back(static_cast<uint32_t>(row));
    return rows;
}

bool RecordStore::WithKeys(int column, const PlxArray<int>& keys, std::vector<uint32_t>& rows) const {
    if (column < 0 || static_cast<size_t>(column) >= columns.size()) return false;
    if (column == 0) {
        rows = RowsOfIds(std::vector<long long>(keys.begin(), keys.end()));
        return true;
    }
    // Any other field: one pass over the records, matching the values that
    // are whole numbers.
    const std::unordered_set<long long> lookup(keys.begin(), keys.end());
    const Column& values = columns[static_cast<size_t>(column)];
    rows.clear();
    for (uint32_t row : All()) {
        long long value = 0;
        if (IntegerOf(values, values.cells[row], value) && lookup.count(value)) rows.push_back(row);
    }
    return true;
}

bool RecordStore::Extent(Box& box) const {
    bool any = false;
    for (size_t r = 0; r < m_boxes.size(); ++r) {
        if (m_geometryLength[r] == 0) continue;
        const Box& b = m_boxes[r];
        if (!any) {
            box = b;
            any = true;
            continue;
        }
        box.minx = std::min(box.minx, b.minx);
        box.miny = std::min(box.miny, b.miny);
        box.maxx = std::max(box.maxx, b.maxx);
        box.maxy = std::max(box.maxy, b.maxy);
    }
    return any;
}

// ---------------------------------------------------------------------------
// Transactions

void RecordStore::Begin(bool createdInside) {
    if (m_journal.active) return;
    m_journal = Journal();
    m_journal.active = true;
    m_journal.createdInside = createdInside;
    m_journal.rows = m_ids.size();
    m_journal.largest = m_largest;
    m_journal.ascending = m_ascending;
    for (const Column& column : columns) m_journal.columns.push_back({column.name, column.type, column.initial});
}

void RecordStore::Forget() { m_journal = Journal(); }

void RecordStore::Undo() {
    if (!m_journal.active) return;
    Journal journal = std::move(m_journal);
    m_journal = Journal();
    if (journal.createdInside) {
        const unsigned long long version = m_schemaVersion;
        *this = RecordStore();
        m_schemaVersion = version + 1;
        return;
    }
    const size_t rows = journal.rows;
    m_ids.resize(rows);
    m_geometryOffset.resize(rows);
    m_geometryLength.resize(rows);
    m_boxes.resize(rows);
    columns.resize(journal.columns.size());
    for (size_t c = 0; c < columns.size(); ++c) {
        columns[c].name = journal.columns[c].name;
        columns[c].type = journal.columns[c].type;
        columns[c].initial = journal.columns[c].initial;
        if (c > 0) columns[c].cells.resize(rows);
    }
    // The arenas only grew, so the saved cells still point at their bytes.
    for (const auto& entry : journal.saved) {
        const size_t row = entry.first;
        const SavedRow& saved = entry.second;
        for (size_t c = 1; c < columns.size() && c < saved.cells.size(); ++c) columns[c].cells[row] = saved.cells[c];
        m_geometryOffset[row] = saved.geometryOffset;
        m_geometryLength[row] = saved.geometryLength;
        m_boxes[row] = saved.box;
    }
    m_largest = journal.largest;
    m_ascending = journal.ascending;
    IndexIds();
    Reindex();
    SchemaChanged();
}

} // namespace memvector
} // namespace VMK
