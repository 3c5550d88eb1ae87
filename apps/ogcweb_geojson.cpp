// GeoJSON text for `ogcweb features`.
#include "ogcweb_geojson.h"

#include "VmEngine.h"
#include "VmGeometry.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <future>
#include <memory>
#include <vector>

namespace ogcweb {

namespace {

// Characters a JSON string carries as they are: printable ASCII but the
// quote and the backslash.
bool Plain(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

void AppendEscapedAscii(std::string& out, unsigned char c) {
    switch (c) {
    case '"': out += "\\\""; break;
    case '\\': out += "\\\\"; break;
    case '\n': out += "\\n"; break;
    case '\r': out += "\\r"; break;
    case '\t': out += "\\t"; break;
    case '\b': out += "\\b"; break;
    case '\f': out += "\\f"; break;
    default: {
        char escaped[8];
        std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
        out += escaped;
    }
    }
}

// Length of the UTF-8 sequence at text[i], or 0 when it is not one (a
// shorter form of a small code point, a surrogate, past U+10FFFF, cut).
size_t Utf8Length(const char* text, size_t length, size_t i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    size_t count = 0;
    unsigned long code = 0, least = 0;
    if (c >= 0xC2 && c <= 0xDF) count = 2, code = c & 0x1F, least = 0x80;
    else if (c >= 0xE0 && c <= 0xEF) count = 3, code = c & 0x0F, least = 0x800;
    else if (c >= 0xF0 && c <= 0xF4) count = 4, code = c & 0x07, least = 0x10000;
    if (count == 0 || i + count > length) return 0;
    for (size_t k = 1; k < count; ++k) {
        const unsigned char next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return 0;
        code = (code << 6) | (next & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
    return count;
}

// JSON's number grammar: -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
bool IsJsonNumber(const std::string& text) {
    size_t i = 0;
    const size_t n = text.size();
    auto digits = [&]() {
        const size_t start = i;
        while (i < n && std::isdigit(static_cast<unsigned char>(text[i]))) ++i;
        return i > start;
    };
    if (i < n && text[i] == '-') ++i;
    if (i < n && text[i] == '0') ++i;
    else if (!digits()) return false;
    if (i < n && text[i] == '.') {
        ++i;
        if (!digits()) return false;
    }
    if (i < n && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < n && (text[i] == '+' || text[i] == '-')) ++i;
        if (!digits()) return false;
    }
    return i == n;
}

bool IsNumeric(int type) {
    switch (type) {
    case VMK::PlxFieldInfo::Byte:
    case VMK::PlxFieldInfo::Int16:
    case VMK::PlxFieldInfo::Int32:
    case VMK::PlxFieldInfo::Int64:
    case VMK::PlxFieldInfo::Single:
    case VMK::PlxFieldInfo::Double:
        return true;
    default:
        return false;
    }
}

void AppendJsonValue(std::string& out, const VMK::PlxFieldInfo& field, const std::string& text) {
    if (IsNumeric(field.Type)) {
        if (text.empty()) out += "null";
        else AppendJsonNumber(out, text);
    } else if (field.Type == VMK::PlxFieldInfo::Boolean) {
        out += text == "1" || text == "true" ? "true" : text == "0" || text == "false" ? "false" : "null";
    } else {
        AppendJsonString(out, text.data(), text.size());
    }
}

// The collection's text collects here and goes to the file a megabyte at a
// time: per-value stream insertions cost more than the formatting itself.
// Each megabyte is written on a thread of its own while the next one is
// formatted, since for a large download the writes are a tenth of the
// command's time. One write is under way at most, so chunks stay in order.
class BufferedFile {
public:
    explicit BufferedFile(const std::string& path) : m_file(std::fopen(path.c_str(), "wb")) {
        m_text.reserve(kFlushAt + 64 * 1024);
    }
    ~BufferedFile() {
        Wait();
        if (m_file) std::fclose(m_file);
    }
    BufferedFile(const BufferedFile&) = delete;
    BufferedFile& operator=(const BufferedFile&) = delete;

    bool IsOpen() const { return m_file != nullptr; }
    std::string& Text() { return m_text; }
    void FlushIfFull() {
        if (m_text.size() < kFlushAt || !m_file) return;
        Wait();
        m_writing.swap(m_text);
        m_text.clear();
        m_pending = std::async(std::launch::async, [this] { return Write(m_writing); });
    }
    // False when any write failed.
    bool Close() {
        Wait();
        if (m_file && !Write(m_text)) m_ok = false;
        m_text.clear();
        const bool closed = m_file && std::fclose(m_file) == 0;
        m_file = nullptr;
        return closed && m_ok;
    }

private:
    static constexpr size_t kFlushAt = 1 << 20;

    bool Write(const std::string& text) {
        return text.empty() || std::fwrite(text.data(), 1, text.size(), m_file) == text.size();
    }
    void Wait() {
        if (m_pending.valid() && !m_pending.get()) m_ok = false;
    }

    std::FILE* m_file;
    std::string m_text;
    std::string m_writing;
    std::future<bool> m_pending;
    bool m_ok = true;
};

} // namespace

void AppendJsonString(std::string& out, const char* text, size_t length) {
    out += '"';
    for (size_t i = 0; i < length;) {
        size_t run = i;
        while (run < length && Plain(static_cast<unsigned char>(text[run]))) ++run;
        out.append(text + i, run - i);
        i = run;
        if (i >= length) break;
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            AppendEscapedAscii(out, c);
            ++i;
        } else if (const size_t count = Utf8Length(text, length, i)) {
            out.append(text + i, count);
            i += count;
        } else {
            out += "\\ufffd";
            ++i;
        }
    }
    out += '"';
}

std::string JsonString(const std::string& text) {
    std::string out;
    AppendJsonString(out, text.data(), text.size());
    return out;
}

void AppendJsonNumber(std::string& out, const std::string& text) {
    // Only an exponent or some three hundred digits can leave the range of
    // a double ("1e400"): text without either needs no conversion.
    if (IsJsonNumber(text) && ((text.size() < 300 && text.find_first_of("eE") == std::string::npos) ||
                               std::isfinite(std::strtod(text.c_str(), nullptr)))) {
        out += text;
        return;
    }
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    while (end && std::isspace(static_cast<unsigned char>(*end))) ++end;
    if (text.empty() || !end || *end != '\0' || !std::isfinite(value)) {
        out += "null";
        return;
    }
    char buffer[40];
    for (int precision = 15; precision <= 17; ++precision) {
        std::snprintf(buffer, sizeof buffer, "%.*g", precision, value);
        if (std::strtod(buffer, nullptr) == value) break;
    }
    out += IsJsonNumber(buffer) ? buffer : "null";
}

FeatureWriter::FeatureWriter(VMK::VmRecordset& records) : m_records(records) {
    // The fields of the records as downloaded, which the recordset's own
    // dataset has; the feature dataset may show others.
    if (records.GetDataset()) records.GetDataset()->GetFieldInfos(m_fields);
    // Field names are the same for every feature: quoted once.
    for (int i = 0; i < m_fields.GetSize(); ++i) {
        std::string key = i ? "," : "";
        AppendJsonString(key, m_fields[i].Name.c_str(), m_fields[i].Name.GetLength());
        m_keys.push_back(key + ":");
    }
}

void FeatureWriter::Append(std::string& out) const {
    out += "{\"type\":\"Feature\"";
    const int id = m_records.GetID();
    if (id > 0) out.append(",\"id\":").append(std::to_string(id));
    out += ",\"properties\":{";
    for (int i = 0; i < m_fields.GetSize(); ++i) {
        out += m_keys[static_cast<size_t>(i)];
        AppendJsonValue(out, m_fields[i], m_records.GetFieldValue(m_fields[i].Name).str());
    }
    out += "},\"geometry\":";
    VMK::VmGeometry* geometry = m_records.GetGeometry();
    const PLX::PlxMBString json = geometry ? geometry->ToGeoJSON() : PLX::PlxMBString();
    if (json.IsEmpty()) out += "null";
    else out.append(json.c_str(), static_cast<size_t>(json.GetLength()));
    out += '}';
}

int AppendFeatureCollection(VMK::VmRecordset& records, std::string& out, const std::function<void()>& afterEach,
                            int limit) {
    const FeatureWriter writer(records);
    int count = 0;
    out += "{\"type\":\"FeatureCollection\",\"features\":[";
    for (records.MoveFirst(); !records.IsEOF() && (limit < 0 || count < limit); records.MoveNext()) {
        out += count ? ",\n" : "\n";
        writer.Append(out);
        ++count;
        if (afterEach) afterEach();
    }
    out += "\n]}\n";
    return count;
}

int WriteFeatureCollection(VMK::VmRecordset& records, const std::string& path) {
    bool written = false;
    int count = 0;
    {
        BufferedFile file(path);
        if (!file.IsOpen()) return -1;
        count = AppendFeatureCollection(records, file.Text(), [&file] { file.FlushIfFull(); });
        written = file.Close();
    }
    if (!written) {
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return -1;
    }
    return count;
}

} // namespace ogcweb
