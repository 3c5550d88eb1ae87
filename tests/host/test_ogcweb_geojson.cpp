// The GeoJSON text of `ogcweb features`: strings and numbers as JSON readers
// take them, whatever a service sent.
#include "ogcweb_geojson.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string AsJsonString(const std::string& text) {
    std::string out = "prefix:";
    ogcweb::AppendJsonString(out, text.data(), text.size());
    EXPECT_EQ(out.compare(0, 7, "prefix:"), 0) << "appends, keeping what was there";
    return out.substr(7);
}

std::string AsJsonNumber(const std::string& text) {
    std::string out;
    ogcweb::AppendJsonNumber(out, text);
    return out;
}

TEST(GeoJsonText, StringsEscapeWhatJsonRequiresAndKeepUtf8) {
    EXPECT_EQ(AsJsonString(""), "\"\"");
    EXPECT_EQ(AsJsonString("plain text 123"), "\"plain text 123\"");
    EXPECT_EQ(AsJsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    EXPECT_EQ(AsJsonString("tab\tline\nreturn\r"), "\"tab\\tline\\nreturn\\r\"");
    EXPECT_EQ(AsJsonString(std::string("nul\0bell\a", 9)), "\"nul\\u0000bell\\u0007\"");
    EXPECT_EQ(AsJsonString("/ and DEL \x7f stay"), "\"/ and DEL \x7f stay\"");
    EXPECT_EQ(AsJsonString("S\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8C\x8D"), "\"S\xC3\xBC\xC3\x9F \xE2\x82\xAC \xF0\x9F\x8C\x8D\"")
        << "two-, three- and four-byte sequences pass unchanged";
}

TEST(GeoJsonText, BytesThatAreNotUtf8BecomeReplacementCharacters) {
    EXPECT_EQ(AsJsonString("caf\xE9"), "\"caf\\ufffd\"") << "Latin-1";
    EXPECT_EQ(AsJsonString("\xC0\x80"), "\"\\ufffd\\ufffd\"") << "an overlong form of NUL";
    EXPECT_EQ(AsJsonString("\xED\xA0\x80"), "\"\\ufffd\\ufffd\\ufffd\"") << "a surrogate";
    EXPECT_EQ(AsJsonString("\xF4\x90\x80\x80"), "\"\\ufffd\\ufffd\\ufffd\\ufffd\"") << "past U+10FFFF";
    EXPECT_EQ(AsJsonString("end \xE2\x82"), "\"end \\ufffd\\ufffd\"") << "a sequence cut at the end";
    EXPECT_EQ(AsJsonString("\xE2x\x82"), "\"\\ufffdx\\ufffd\"") << "a sequence broken in the middle";
}

TEST(GeoJsonText, NumbersAreJsonNumbersOrNull) {
    EXPECT_EQ(AsJsonNumber("0"), "0");
    EXPECT_EQ(AsJsonNumber("-12.5e-3"), "-12.5e-3") << "valid JSON is kept as the service wrote it";
    EXPECT_EQ(AsJsonNumber("007"), "7");
    EXPECT_EQ(AsJsonNumber(" 42 "), "42");
    EXPECT_EQ(AsJsonNumber("+3"), "3");
    EXPECT_EQ(AsJsonNumber("1."), "1");
    EXPECT_EQ(AsJsonNumber(".5"), "0.5");
    EXPECT_EQ(AsJsonNumber("0.1000000000000000055511151231257827"), "0.1000000000000000055511151231257827");
    EXPECT_EQ(AsJsonNumber("1.10"), "1.10");
    EXPECT_EQ(AsJsonNumber("2.675000000000000000001E+2"), "2.675000000000000000001E+2");
    EXPECT_EQ(AsJsonNumber("1e400"), "null") << "no finite value";
    EXPECT_EQ(AsJsonNumber("nan"), "null");
    EXPECT_EQ(AsJsonNumber("inf"), "null");
    EXPECT_EQ(AsJsonNumber("12 apples"), "null");
    EXPECT_EQ(AsJsonNumber(""), "null");
}

} // namespace
