// The metadata block as `open` reads it: UTF-8 check, JSON parse, "fps",
// "trimmed", and the properties of the parsed value that the rest of the
// system relies on (key order, repeated keys, kinds of numbers).
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "pulse_file_builder.hpp"
#include "pulse_reader/pulse_reader.hpp"
#include "test_helpers.hpp"

namespace kvt::testing {
namespace {

const std::string json_prefix = "Failed to parse metadata JSON: ";
const std::string utf8_prefix = "Failed to parse metadata as UTF-8: ";
const std::string fps_error = "Missing or invalid 'fps' field in metadata";

class MetadataBlock : public ::testing::Test {
protected:
    Result<PulseReader> open_with(const std::string& metadata) {
        PulseFilePlan plan;
        plan.metadata = metadata;
        plan.apertures = {aperture(0, {pulse(1, 2)})};
        return PulseReader::open(dir_.write("pulses.bin", plan));
    }

    /// The parse error's text after the prefix, or a failure of the test.
    std::string json_error(const std::string& metadata) {
        auto reader = open_with(metadata);
        if (reader.ok()) {
            ADD_FAILURE() << "opened with metadata " << metadata;
            return {};
        }
        const std::string& message = reader.error().message();
        EXPECT_EQ(message.rfind(json_prefix, 0), 0U) << message;
        return message.substr(std::min(json_prefix.size(), message.size()));
    }

    TempDir dir_;
};

struct FpsCase {
    const char* name;
    const char* metadata;
    float fps;  // NaN: open must fail with the fps error
};

class FpsField : public MetadataBlock, public ::testing::WithParamInterface<FpsCase> {};

TEST_P(FpsField, IsAnyJsonNumberRoundedToSingle) {
    auto reader = open_with(GetParam().metadata);
    if (std::isnan(GetParam().fps)) {
        EXPECT_EQ(error_of(reader), fps_error);
        return;
    }
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(bits(reader->fps()), bits(GetParam().fps)) << reader->fps();
}

constexpr float refused = std::numeric_limits<float>::quiet_NaN();

INSTANTIATE_TEST_SUITE_P(
    Cases, FpsField,
    ::testing::Values(
        FpsCase{"Unsigned", R"({"fps": 100})", 100.0F}, FpsCase{"Zero", R"({"fps": 0})", 0.0F},
        FpsCase{"Negative", R"({"fps": -5})", -5.0F}, FpsCase{"Fraction", R"({"fps": 99.5})", 99.5F},
        // Through a double, then the nearest single.
        FpsCase{"InexactFraction", R"({"fps": 29.97})", static_cast<float>(29.97)},
        FpsCase{"Exponent", R"({"fps": 1e2})", 100.0F},
        FpsCase{"LargestUnsigned", R"({"fps": 18446744073709551615})", static_cast<float>(18446744073709551615.0)},
        FpsCase{"SmallestInteger", R"({"fps": -9223372036854775808})", -9223372036854775808.0F},
        FpsCase{"BeyondSingleRange", R"({"fps": 1e300})", std::numeric_limits<float>::infinity()},
        FpsCase{"AmongOtherKeys", R"({"a": 1, "fps": 30, "z": {"fps": 5}})", 30.0F},
        FpsCase{"String", R"({"fps": "100"})", refused}, FpsCase{"Null", R"({"fps": null})", refused},
        FpsCase{"Boolean", R"({"fps": true})", refused}, FpsCase{"Array", R"({"fps": [100]})", refused},
        FpsCase{"Missing", R"({"duration": 10})", refused}, FpsCase{"WrongCase", R"({"FPS": 100})", refused},
        FpsCase{"OnlyNested", R"({"run": {"fps": 100}})", refused}, FpsCase{"TopLevelArray", "[1,2]", refused},
        FpsCase{"TopLevelNumber", "100", refused}, FpsCase{"TopLevelString", R"("fps")", refused}),
    [](const ::testing::TestParamInfo<FpsCase>& param_info) { return std::string(param_info.param.name); });

struct TrimCase {
    const char* name;
    const char* metadata;
    bool trimmed;
};

class TrimmedFlag : public MetadataBlock, public ::testing::WithParamInterface<TrimCase> {};

TEST_P(TrimmedFlag, NeedsTheExactOptionInPulseCallerOptions) {
    auto reader = open_with(GetParam().metadata);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->trimmed(), GetParam().trimmed);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TrimmedFlag,
    ::testing::Values(
        TrimCase{"NoPulseCaller", R"({"fps": 100})", false},
        TrimCase{"Listed", R"({"fps": 100, "pulseCaller": {"options": ["x", "trim_boundary_frames"]}})", true},
        TrimCase{"OnlyOption", R"({"fps": 100, "pulseCaller": {"options": ["trim_boundary_frames"]}})", true},
        TrimCase{"AmongOtherTypes",
                 R"({"fps": 100, "pulseCaller": {"options": [1, null, {"a": 2}, "trim_boundary_frames"]}})", true},
        TrimCase{"OtherOptionsOnly", R"({"fps": 100, "pulseCaller": {"options": ["x", "y"]}})", false},
        TrimCase{"EmptyOptions", R"({"fps": 100, "pulseCaller": {"options": []}})", false},
        TrimCase{"OptionsIsTheString", R"({"fps": 100, "pulseCaller": {"options": "trim_boundary_frames"}})",
                 false},
        TrimCase{"OptionsIsAnObject",
                 R"({"fps": 100, "pulseCaller": {"options": {"trim_boundary_frames": true}}})", false},
        TrimCase{"PulseCallerIsAnArray", R"({"fps": 100, "pulseCaller": [{"options": ["trim_boundary_frames"]}]})",
                 false},
        TrimCase{"OtherCase", R"({"fps": 100, "pulseCaller": {"options": ["Trim_Boundary_Frames"]}})", false},
        TrimCase{"Prefix", R"({"fps": 100, "pulseCaller": {"options": ["trim_boundary_frames "]}})", false},
        TrimCase{"NestedArray", R"({"fps": 100, "pulseCaller": {"options": [["trim_boundary_frames"]]}})", false},
        TrimCase{"TopLevelOptions", R"({"fps": 100, "options": ["trim_boundary_frames"]})", false}),
    [](const ::testing::TestParamInfo<TrimCase>& param_info) { return std::string(param_info.param.name); });

TEST_F(MetadataBlock, TextIsKeptExactlyAsStored) {
    const std::string text = " \r\n\t{ \"fps\" : 25 , \"name\": \"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80\" }\n ";
    auto reader = open_with(text);
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->metadata_text(), text);
    EXPECT_EQ(reader->metadata()["name"].get<std::string>(), "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80");
}

TEST_F(MetadataBlock, ObjectMembersAreOrderedByKeyBytes) {
    // Byte order: 'B' (0x42) < '_' (0x5F) < 'a' < 'b' < 'fps' < 0xC3 ("é").
    auto reader = open_with(R"({"b": 1, "\u00e9": 2, "fps": 1, "a": 3, "_": 4, "B": 5, "ab": 6})");
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    std::vector<std::string> keys;
    for (const auto& member : reader->metadata().items()) keys.push_back(member.key());
    EXPECT_EQ(keys, (std::vector<std::string>{"B", "_", "a", "ab", "b", "fps", "\xC3\xA9"}));
}

TEST_F(MetadataBlock, RepeatedKeyKeepsItsLastValue) {
    auto reader = open_with(R"({"fps": 10, "x": {"k": 1, "k": [2]}, "fps": 20})");
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->fps(), 20.0F);
    EXPECT_EQ(reader->metadata().size(), 2U);
    EXPECT_EQ(reader->metadata()["x"].size(), 1U);
    EXPECT_TRUE(reader->metadata()["x"]["k"].is_array());

    // A repeated "fps" that ends as a string is no frame rate.
    EXPECT_EQ(error_of(open_with(R"({"fps": 10, "fps": "10"})")), fps_error);
}

TEST_F(MetadataBlock, NumbersStayUnsignedNegativeOrFraction) {
    auto reader = open_with(R"({"fps": 1, "u": 7, "big": 18446744073709551615, "n": -7, "min": -9223372036854775808,
                                "zero": 0, "negzero": -0, "f": 7.0, "e": 7e0, "over": 18446744073709551616})");
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    const auto& m = reader->metadata();
    EXPECT_TRUE(m["u"].is_number_unsigned());
    EXPECT_EQ(m["u"].get<std::uint64_t>(), 7U);
    EXPECT_TRUE(m["big"].is_number_unsigned());
    EXPECT_EQ(m["big"].get<std::uint64_t>(), 18446744073709551615ULL);
    EXPECT_TRUE(m["zero"].is_number_unsigned());

    EXPECT_TRUE(m["n"].is_number_integer());
    EXPECT_FALSE(m["n"].is_number_unsigned());
    EXPECT_EQ(m["n"].get<std::int64_t>(), -7);
    EXPECT_FALSE(m["min"].is_number_unsigned());
    EXPECT_EQ(m["min"].get<std::int64_t>(), INT64_MIN);
    EXPECT_FALSE(m["negzero"].is_number_unsigned());
    EXPECT_FALSE(m["negzero"].is_number_float());

    for (const char* key : {"f", "e", "over"}) {
        EXPECT_TRUE(m[key].is_number_float()) << key;
        EXPECT_FALSE(m[key].is_number_integer()) << key;
    }
    EXPECT_EQ(m["f"].get<double>(), 7.0);
    EXPECT_EQ(m["over"].get<double>(), 18446744073709551616.0);
}

TEST_F(MetadataBlock, ParseErrorsCarryLineAndColumnWithoutLibraryTag) {
    const struct {
        const char* text;
        const char* position;
    } cases[] = {
        {"", "line 1, column 1"},
        {"  \n ", "line 2, column 2"},
        {"{\n \"fps\": 100,\n oops\n}", "line 3, column 2"},
        {R"({"fps": 1} x)", "line 1, column 12"},
        {R"({"fps": 1}{})", "line 1, column 11"},
        {R"({"fps": 01})", "line 1, column 10"},
        {R"({"fps": 1,})", "line 1, column 11"},
        {"{\"fps\": 1, \"a\": \"\x01\"}", "line 1, column 18"},
        // Numbers beyond the range of a double.
        {R"({"fps": 1e400})", "line 1, column 13"},
        {"{\n  \"fps\": 1,\n  \"big\": -1e999\n}", "line 3, column 15"},
    };
    for (const auto& c : cases) {
        const std::string error = json_error(c.text);
        EXPECT_TRUE(contains(error, c.position)) << "metadata: " << c.text;
        EXPECT_EQ(error.find("json.exception"), std::string::npos) << error;
        EXPECT_NE(error.front(), '[') << error;
    }
}

TEST_F(MetadataBlock, EmptyMetadataFailsAtTheEndOfInput) {
    const std::string error = json_error("");
    EXPECT_TRUE(contains(error, "end of input"));
}

TEST_F(MetadataBlock, DeeplyNestedValueDoesNotExhaustTheStack) {
    constexpr std::size_t depth = 200000;
    const std::string nested = std::string(depth, '[') + std::string(depth, ']');
    auto reader = open_with(R"({"fps": 10, "deep": )" + nested + "}");
    ASSERT_TRUE(reader.ok()) << error_of(reader);
    EXPECT_EQ(reader->fps(), 10.0F);
    EXPECT_EQ(error_of(open_with(nested)), fps_error);
    EXPECT_FALSE(open_with(std::string(depth, '{')).ok());
}

TEST_F(MetadataBlock, InvalidUtf8IsReportedWithItsPosition) {
    const struct {
        std::string text;
        std::size_t position;
    } cases[] = {
        {"{\"fps\": 1, \"a\": \"\xFF\"}", 17},
        {"\x80{\"fps\": 1}", 0},
        {"{\"fps\": 1, \"a\": \"\xC0\x80\"}", 17},          // overlong form
        {"{\"fps\": 1, \"a\": \"\xE0\x80\x80\"}", 17},      // overlong form
        {"{\"fps\": 1, \"a\": \"\xED\xA0\x80\"}", 17},      // surrogate
        {"{\"fps\": 1, \"a\": \"\xF4\x90\x80\x80\"}", 17},  // beyond U+10FFFF
        {"{\"fps\": 1, \"a\": \"\xE2\x82\"}", 17},          // cut short by '"'
        {"{\"fps\": 1, \"\xC3\xA9\": \"\xF5\"}", 18},       // after a valid sequence
        {"{\"fps\": 1}\xE2\x82", 10},                       // cut short by the end
    };
    for (const auto& c : cases) {
        auto reader = open_with(c.text);
        ASSERT_FALSE(reader.ok()) << c.text;
        const std::string& message = reader.error().message();
        EXPECT_EQ(message.rfind(utf8_prefix, 0), 0U) << message;
        EXPECT_TRUE(contains(message, "index " + std::to_string(c.position)));
    }
}

TEST_F(MetadataBlock, Utf8IsCheckedBeforeJson) {
    // Neither valid UTF-8 nor JSON: the UTF-8 fault is the one reported.
    auto reader = open_with("not json \xFF");
    ASSERT_FALSE(reader.ok());
    EXPECT_EQ(reader.error().message().rfind(utf8_prefix, 0), 0U) << reader.error().message();
}

TEST_F(MetadataBlock, NulByteIsNoEndOfText) {
    using namespace std::string_literals;
    const struct {
        std::string text;
        const char* position;
    } cases[] = {
        {"{\"fps\": 1}\0"s, "line 1, column 11"},
        {"{\"fps\": 1}\0{\"fps\": 2}"s, "line 1, column 11"},
        {"{\"fps\": 1}\n \0 "s, "line 2, column 2"},
        {"{\"fps\": \0 1}"s, "line 1, column 9"},
        {"{\"fps\": 1, \"a\": \"\0\"}"s, "line 1, column 18"},
    };
    for (const auto& c : cases) {
        EXPECT_TRUE(contains(json_error(c.text), c.position)) << "NUL at " << c.text.find('\0');
    }
}

}  // namespace
}  // namespace kvt::testing
