// GeoJSON text for `ogcweb features`: a feature collection written from a
// recordset, through one buffer that goes to the file in large writes.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "VmEngine.h"

namespace VMK {
class VmRecordset;
}

namespace ogcweb {

// Appends `text` as a JSON string. Bytes that are not UTF-8 become U+FFFD:
// services do send Latin-1 now and then, and one stray byte must not make
// the whole file unreadable.
void AppendJsonString(std::string& out, const char* text, size_t length);
// `text` as a JSON string, as AppendJsonString writes it.
std::string JsonString(const std::string& text);
// The texts as a JSON array of strings.
template <class Texts>
std::string JsonStrings(const Texts& texts) {
    std::string out = "[";
    for (const std::string& text : texts) {
        if (out.size() > 1) out += ',';
        AppendJsonString(out, text.data(), text.size());
    }
    return out + "]";
}

// Appends a numeric field's value: the engine's text when JSON reads it as
// it is, otherwise the shortest text of its value that reads back the same;
// null for no value or text that is no finite number.
void AppendJsonNumber(std::string& out, const std::string& text);

// One record of a recordset as a GeoJSON feature: its fields (as the
// recordset's dataset lists them), its number as "id" and its geometry.
class FeatureWriter {
public:
    explicit FeatureWriter(VMK::VmRecordset& records);
    // Appends the current record of the recordset.
    void Append(std::string& out) const;

private:
    VMK::VmRecordset& m_records;
    VMK::PlxFieldInfos m_fields;
    std::vector<std::string> m_keys;
};

// Appends the records as a feature collection to `out`, calling `afterEach`
// (when given) after each feature, which may take the text so far away; at
// most `limit` features when it is not negative. The number of features.
int AppendFeatureCollection(VMK::VmRecordset& records, std::string& out, const std::function<void()>& afterEach = {},
                            int limit = -1);

// Writes the records as a feature collection; the number of features, or
// -1 when the file could not be written (nothing is left behind then).
int WriteFeatureCollection(VMK::VmRecordset& records, const std::string& path);

} // namespace ogcweb
