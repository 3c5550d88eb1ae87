// The GeoJSON text of `ogcweb features`: strings and numbers as JSON readers
// take them, whatever a service sent.
#include "ogcweb_geojson.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>

namespace {

using Rows = std::pair<std::string, std::string>[];

TEST(GeoJsonText, StringsEscapeWhatJsonRequiresKeepUtf8AndReplaceOtherBytes) {
    const Rows rows = {
        {"", "\"\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\tline\nreturn\r", "\"tab\\tline\\nreturn\\r\""},
        {std::string("nul\0bell\a", 9), "\"nul\\u0000bell\\u0007\""},
        {"/ and DEL \x7f stay", "\"/ and DEL \x7f stay\""},
        // Two-, three- and four-byte sequences pass unchanged.
        {"S\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8C\x8D", "\"S\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8C\x8D\""},
        {"caf\xE9", "\"caf\\ufffd\""},                                   // Latin-1
        {"\xC0\x80", "\"\\ufffd\\ufffd\""},                              // an overlong form of NUL
        {"\xED\xA0\x80", "\"\\ufffd\\ufffd\\ufffd\""},                   // a surrogate
        {"\xF4\x90\x80\x80", "\"\\ufffd\\ufffd\\ufffd\\ufffd\""},        // past U+10FFFF
        {"end \xE2\x82", "\"end \\ufffd\\ufffd\""},                      // a sequence cut at the end
        {"\xE2x\x82", "\"\\ufffdx\\ufffd\""},                            // a sequence broken in the middle
    };
    for (const auto& [text, expected] : rows) {
        SCOPED_TRACE(text);
        std::string out = "prefix:";
        ogcweb::AppendJsonString(out, text.data(), text.size());
        EXPECT_EQ(out, "prefix:" + expected) << "appended, keeping what was there";
    }
}

TEST(GeoJsonText, NumbersAreJsonNumbersOrNull) {
    const Rows rows = {
        {"0", "0"}, {"-12.5e-3", "-12.5e-3"}, {"007", "7"}, {" 42 ", "42"}, {"+3", "3"}, {"1.", "1"}, {".5", "0.5"},
        // Valid JSON is kept as the service wrote it, digits beyond a double's included.
        {"0.1000000000000000055511151231257827", "0.1000000000000000055511151231257827"}, {"1.10", "1.10"},
        {"2.675000000000000000001E+2", "2.675000000000000000001E+2"},
        {"1e400", "null"},  // no finite value
        {"nan", "null"}, {"inf", "null"}, {"12 apples", "null"}, {"", "null"},
    };
    for (const auto& [text, expected] : rows) {
        std::string out;
        ogcweb::AppendJsonNumber(out, text);
        EXPECT_EQ(out, expected) << "from \"" << text << "\"";
    }
}

} // namespace
