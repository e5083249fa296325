// The learned-delta reader over bytes: what it takes (and the characters it
// decodes, as json's strict string scanner decodes them) and what it leaves to
// the general path. Each chunk is copied into a buffer exactly its length, so
// that a sanitizer build sees any read past the end, and read again cut at
// every length, which it must leave without reading past the cut.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "carrack/sse/learned_delta.hpp"

namespace carrack::sse {
namespace {

constexpr std::string_view before = R"({"type":"d","delta":")";

std::optional<std::u32string> read(std::string_view chunk, const Shape& shape) {
    std::vector<char> exact(chunk.begin(), chunk.end());
    const std::string_view bytes(exact.data(), exact.size());
    auto fragment = match(bytes, shape);
    if (!fragment) return std::nullopt;
    std::u32string out(fragment->length, U'\0');
    if (fragment->max_char < 0x100) {
        std::vector<std::uint8_t> units(fragment->length);
        decode(bytes, *fragment, units.data(), 1);
        for (std::size_t i = 0; i < units.size(); ++i) out[i] = units[i];
    } else if (fragment->max_char < 0x10000) {
        std::vector<std::uint16_t> units(fragment->length);
        decode(bytes, *fragment, units.data(), 2);
        for (std::size_t i = 0; i < units.size(); ++i) out[i] = units[i];
    } else {
        decode(bytes, *fragment, out.data(), 4);
    }
    char32_t max = 0;
    for (char32_t c : out) max = c > max ? c : max;
    EXPECT_EQ(max, fragment->max_char);
    return out;
}

struct Case {
    const char* name;
    std::string literal;  // between the quotes
    std::optional<std::u32string> expected;
};

TEST(LearnedDelta, LiteralsTakenAndLeft) {
    const Shape shape{before, "}", std::nullopt};
    const std::vector<Case> cases = {
        {"plain", "abc", U"abc"},
        {"empty", "", U""},
        {"escapes", R"(\"\\\/\b\f\n\r\t)", U"\"\\/\b\f\n\r\t"},
        {"hex either case", R"(\u00E9\u00e9)", U"\u00e9\u00e9"},
        {"pair", R"(\ud83d\ude00)", U"\U0001f600"},
        {"lone high", R"(\ud800)", std::u32string{0xD800}},
        {"lone low", R"(\udc00x)", std::u32string{0xDC00, U'x'}},
        {"high then not low", R"(\ud800\u0041)", std::u32string{0xD800, U'A'}},
        {"two highs then low", R"(\ud800\udbff\udfff)", std::u32string{0xD800, 0x10FFFF}},
        {"UTF-8 of every length", "\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80", U"\u00e9\u20ac\U0001f600"},
        {"DEL", "\x7f", U"\x7f"},
        {"raw control", "\x01", std::nullopt},
        {"raw tab", "\t", std::nullopt},
        {"bad escape", R"(\x)", std::nullopt},
        {"short unicode escape", R"(\u12)", std::nullopt},
        {"non-hex unicode escape", R"(\u12G4)", std::nullopt},
        {"bad escape after high", R"(\ud800\uZZZZ)", std::nullopt},
        {"overlong", "\xc0\x80", std::nullopt},
        {"encoded surrogate", "\xed\xa0\x80", std::nullopt},
        {"beyond U+10FFFF", "\xf4\x90\x80\x80", std::nullopt},
        {"cut character", "\xe2\x82", std::nullopt},
        {"stray continuation", "\x80", std::nullopt},
    };
    for (const Case& c : cases) {
        const std::string chunk = "event: d\ndata: " + std::string(before) + c.literal + "\"}\n\n";
        EXPECT_EQ(read(chunk, shape), c.expected) << c.name;
        for (std::size_t cut = 0; cut < chunk.size(); ++cut) {
            EXPECT_EQ(read(std::string_view(chunk).substr(0, cut), shape), std::nullopt) << c.name << " cut at " << cut;
        }
    }
}

TEST(LearnedDelta, EventShapes) {
    const Shape shape{before, "}", std::nullopt};
    const std::string data = std::string(before) + "x\"}";
    const std::vector<std::pair<std::string, bool>> cases = {
        {"data: " + data + "\n\n", true},
        {"data:" + data + "\n\n", true},
        {"event: a\ndata: " + data + "\n\n", true},
        {"event:\ndata: " + data + "\n\n", true},
        {"data:  " + data + "\n\n", false},
        {"data: " + data + "\r\n\r\n", false},
        {"data: " + data + "\n\r", false},
        {"id: 1\ndata: " + data + "\n\n", false},
        {"data: " + data + "\n\ndata: " + data + "\n\n", false},
        {"data: " + data + "\n", false},
        {"data: " + data + " \n\n", false},
        {"\n\n", false},
        {"", false},
    };
    for (const auto& [chunk, taken] : cases) EXPECT_EQ(read(chunk, shape).has_value(), taken) << chunk;
}

TEST(LearnedDelta, Padding) {
    const Shape shape{before, R"(,"sequence_number":1})", std::string_view("")};
    const std::vector<std::pair<std::string, bool>> cases = {
        {R"(,"sequence_number":1})", true},
        {R"(,"sequence_number":42})", true},
        {R"(,"sequence_number":-3})", true},
        {",\t\"sequence_number\" :  7 } ", true},
        {R"(,"sequence_number":5,"obfuscation":"aZ9-_"})", true},
        {R"(,"obfuscation":"","sequence_number":5})", true},
        {R"( ,"sequence_number":5})", false},
        {R"(,"sequence_number":5,"obfuscation":"a\"b"})", false},
        {",\"sequence_number\":5,\"obfuscation\":\"\xc3\xa9\"}", false},
        {R"(,"sequence_number":5,"other":1})", false},
        {R"(,"sequence_number":})", false},
        {R"(,"sequence_number":5)", false},
        {R"(,"sequence_number":5}})", false},
        {"}", false},
        // As many digits as json reads whatever the int digit limit, and one more.
        {",\"sequence_number\":" + std::string(640, '7') + "}", true},
        {",\"sequence_number\":-" + std::string(641, '7') + "}", false},
    };
    for (const auto& [after, taken] : cases) {
        const std::string chunk = "data: " + std::string(before) + "x\"" + after + "\n\n";
        EXPECT_EQ(read(chunk, shape).has_value(), taken) << after;
    }
    // No padding learned: only the same text after the literal.
    const Shape fixed_only{before, R"(,"sequence_number":1})", std::nullopt};
    EXPECT_TRUE(read("data: " + std::string(before) + "x\",\"sequence_number\":1}\n\n", fixed_only));
    EXPECT_FALSE(read("data: " + std::string(before) + "x\",\"sequence_number\":2}\n\n", fixed_only));
}

}  // namespace
}  // namespace carrack::sse
