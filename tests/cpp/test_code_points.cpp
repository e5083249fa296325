// Completing code points (Latin-1, UCS-2, UCS-4) gives exactly what completing
// their UTF-8 encoding gives.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <type_traits>
#include <vector>

#include "text.hpp"
#include "walk.hpp"

namespace carrack {
namespace {

using testing::to_utf8;

// The suffix for text in the representation its type names; nullopt for a rejection.
template <typename Text>
std::optional<std::string> suffix(const Text& text) {
    try {
        if constexpr (std::is_same_v<Text, std::string_view>) return carrack_suffix_utf8(text);
        else if constexpr (std::is_same_v<Text, std::span<const unsigned char>>) return carrack_suffix_latin1(text);
        else if constexpr (std::is_same_v<Text, std::u16string_view>) return carrack_suffix_ucs2(text);
        else return carrack_suffix_ucs4(text);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

// Checks every representation that can hold text against its UTF-8 encoding.
void expect_same_as_utf8(const std::u32string& text) {
    const std::string bytes = to_utf8(text);
    ASSERT_EQ(testing::from_utf8(bytes), text);  // the helpers agree with each other
    const auto expected = suffix(std::string_view(bytes));
    ASSERT_EQ(suffix(std::u32string_view(text)), expected) << "UCS-4 of " << bytes;
    char32_t widest = 0;
    for (const char32_t c : text) widest = std::max(widest, c);
    if (widest <= 0xFFFF) {
        const std::u16string ucs2(text.begin(), text.end());
        ASSERT_EQ(suffix(std::u16string_view(ucs2)), expected) << "UCS-2 of " << bytes;
    }
    if (widest <= 0xFF) {
        const std::vector<unsigned char> latin1(text.begin(), text.end());
        ASSERT_EQ(suffix(std::span<const unsigned char>(latin1)), expected) << "Latin-1 of " << bytes;
    }
}

TEST(CodePoints, Utf8HelperEncodesEveryLength) {
    EXPECT_EQ(to_utf8(U"a\u00e9\u20ac\U0001F600"), "a\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
}

TEST(CodePoints, WhereLeavesTakeBytesOfACharacterUnexamined) {
    const std::vector<std::u32string> cases = {
        U"\u00e9",            // "null" takes both bytes of é: éll
        U"\u20ac",            // three bytes: €l
        U"\U0001F600",        // four bytes: the whole of "null"
        U"\U0001F600\u00e9",  // "null" ends inside é: left over
        U"[1,\u00e9",
        U"\"\\\u00e9",        // the escape letter takes é's first byte
        U"\"\\u\u00e9ab",     // two hex digits from é
        U"\"\\u\U0001F600",   // four hex digits from one character
        U"\"\\u\U0001F600x",
        U"[\u00e9",           // "]" takes é's first byte, its second is left over
        U"{\"a\":1,\u00e9",   // the key's opening quote takes a byte of é
        U"{\"a\"\u00e9",      // ":" takes the first byte of é
        U"1.\u00e9",          // the fraction's digit takes a byte of é
        U"-\u00e9",
        U"tr\u00e9",
        U"\"caf\u00e9",
        U"{\"\u65e5\u672c\": \"\u8a9e",
        U"[\"\U0001F600\", \"a\\ud83d\\ude00",
        U"\u00a0",            // no-break space is not whitespace
        U"[1 \u3000",         // nor the ideographic space
    };
    for (const auto& text : cases) {
        SCOPED_TRACE(to_utf8(text));
        expect_same_as_utf8(text);
    }
}

// Long string bodies are scanned sixteen units at a time: a quote or a backslash
// at every offset, among characters whose low byte looks like one.
TEST(CodePoints, StringBodiesOfEveryLengthAndStop) {
    const std::vector<char32_t> fillers = {U'a', U'\u00e9', U'\u0122', U'\u225c', U'\u8022', U'\uff5c',
                                           U'\U0001F600', U'\U00010022', U'\U0002005C'};
    for (const char32_t filler : fillers) {
        for (size_t length = 0; length <= 40; ++length) {
            for (const char32_t stop : {U'"', U'\\'}) {
                for (size_t at = 0; at <= length; ++at) {
                    std::u32string text = U"[\"" + std::u32string(length, filler);
                    if (at < length) text[2 + at] = stop;
                    SCOPED_TRACE(to_utf8(text));
                    expect_same_as_utf8(text);
                    expect_same_as_utf8(text + U"\", 1]");
                }
            }
        }
    }
}

TEST(CodePoints, SameAsUtf8OnEveryPrefixOfRandomText) {
    const std::vector<std::u32string> pieces = {
        U"{", U"}", U"[", U"]", U",", U":", U" ", U"\n", U"\"", U"\\", U"u", U"0", U"7", U"-", U".", U"e",
        U"t", U"n", U"f", U"null", U"true", U"\"k\"", U"\u00e9", U"\u00ff", U"\u0100", U"\u20ac",
        U"\uffff", U"\U0001F600", U"\U0010FFFF", std::u32string(20, U'\u00e9'), std::u32string(17, U' '),
        std::u32string(18, U'x'), U"12345678901234567890",
    };
    std::mt19937 rng(8);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 16);
    for (int i = 0; i < 3000; ++i) {
        std::u32string text;
        for (int n = length(rng); n > 0; --n) text += pieces[pick(rng)];
        for (size_t cut = 0; cut <= text.size(); ++cut) expect_same_as_utf8(text.substr(0, cut));
    }
}

}  // namespace
}  // namespace carrack
