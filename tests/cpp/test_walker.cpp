// The resumable walker: its state at every kind of cut point, and the same
// state and suffix however the text is split into pieces.
#include <gtest/gtest.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "text.hpp"
#include "walk.hpp"

namespace carrack {
namespace {

using P = Walker::Point;

// The walker's suffix after feeding pieces, or nullopt for a rejection.
std::optional<std::string> fed(const std::vector<std::string>& pieces) {
    Walker walker;
    try {
        for (const auto& piece : pieces) walker.feed_utf8(piece);
        return walker.suffix();
    } catch (const nesting_too_deep&) {
        throw;
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

struct Cut {
    std::string text;
    P point;
    std::string suffix;
    size_t depth;
};

// One row for every point of the walk, reached inside an array or object so
// that the closers follow the innermost completion.
const std::vector<Cut> cuts = {
    {"", P::value, "null", 0},
    {"[1, ", P::value, "null]", 1},
    {"{\"a\": ", P::value, "null}", 1},
    {"[ ", P::array_first, "]", 1},
    {"{\"a\":{", P::object_first, "}}", 2},
    {"{\"a\":1, ", P::key_start, "\"\":null}", 1},
    {"[\"ab", P::string, "\"]", 1},
    {"{\"ke", P::string, "\":null}", 1},
    {"[\"a\\", P::escape, "\"\"]", 1},
    {"{\"a\\", P::escape, "\"\":null}", 1},
    {"[\"\\u1", P::unicode, "000\"]", 1},
    {"{\"\\u12a", P::unicode, "0\":null}", 1},
    {"[tr", P::literal, "ue]", 1},
    {"[f", P::literal, "alse]", 1},
    {"[1,x", P::literal, "ull]", 1},
    {"[-", P::number_sign, "0]", 1},
    {"[12", P::number_integer, "]", 1},
    {"[-0", P::number_zero, "]", 1},
    {"[1.", P::number_point, "0]", 1},
    {"[1.5", P::number_fraction, "]", 1},
    {"[1e", P::number_exponent, "0]", 1},
    {"[1E+", P::number_exp_sign, "0]", 1},
    {"[1e-7", P::number_exp_digits, "]", 1},
    {"{\"a\" ", P::after_key, ":null}", 1},
    {"[[1] ", P::after_value, "]", 1},
    {"true ", P::after_value, "", 0},
};

TEST(Walker, StateAtEveryKindOfCutPoint) {
    for (const auto& cut : cuts) {
        SCOPED_TRACE("text: " + cut.text);
        Walker walker;
        walker.feed_utf8(cut.text);
        EXPECT_EQ(walker.point(), cut.point);
        EXPECT_EQ(walker.suffix(), cut.suffix);
        EXPECT_EQ(walker.depth(), cut.depth);
        EXPECT_EQ(testing::literal_complete(cut.text), cut.text + cut.suffix);
    }
}

// Every split into two pieces, and one byte at a time, gives the suffix (or
// the rejection) of the whole text, which is the node walk's.
void expect_same_for_every_split(const std::string& text) {
    const auto whole = testing::literal_complete(text);
    const auto suffix = whole ? std::optional(whole->substr(text.size())) : std::nullopt;
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        ASSERT_EQ(fed({text.substr(0, cut), text.substr(cut)}), suffix) << "split at " << cut << " of " << text;
    }
    std::vector<std::string> bytes;
    for (const char c : text) bytes.emplace_back(1, c);
    ASSERT_EQ(fed(bytes), suffix) << "byte by byte: " << text;
}

TEST(Walker, SplitAnywhereInCutsAndSamples) {
    for (const auto& cut : cuts) expect_same_for_every_split(cut.text + "x]} 1");
    for (const char* sample : {
             R"({"name": "get_weather", "arguments": {"city": "Z\u00fcrich", "days": [1, 2.5e-3, -0.0E+12]}})",
             "[ {\"a\" : [ ] , \"b\" : { } } ,\t\"\\\"\\\\\\/\\b\\f\\n\\r\\t\" , 0 , -1.25 ]\r\n",
             "[1,,2] {\"a\" 1} [\"\\q\"] tru nul -e 1.e5 .5 00 [}] {]",
             "[\"caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80\", 12345678901234567890, \"\\uD83D\\uDE00\"]",
             "1 2",
             "{} {}",
         }) {
        expect_same_for_every_split(sample);
    }
}

TEST(Walker, RandomTextInRandomPieces) {
    const std::vector<std::string> pieces = {
        "{", "}", "[", "]", ",", ":", " ", "\n", "\"", "\\", "u", "0", "1", "9", "-", "+", ".", "e",
        "E", "t", "r", "n", "f", "x", "\"k\"", "null", "true", "12.5e3", "\\u00e9", "\xc3\xa9", "\x80",
        std::string(1, '\0'), std::string(17, ' '), "12345678901234567",
    };
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 20);
    for (int i = 0; i < 5000; ++i) {
        std::string text;
        for (int n = length(rng); n > 0; --n) text += pieces[pick(rng)];
        std::vector<std::string> split;
        for (size_t at = 0; at < text.size();) {
            const size_t size = std::uniform_int_distribution<size_t>(1, 5)(rng);
            split.push_back(text.substr(at, size));
            at += size;
        }
        const auto whole = testing::literal_complete(text);
        ASSERT_EQ(fed(split), whole ? std::optional(whole->substr(text.size())) : std::nullopt) << text;
    }
}

// Pieces of one text may come in different encodings, split between code points.
TEST(Walker, PiecesInMixedEncodings) {
    const std::u32string text = U"{\"caf\u00e9\": [\"\u20ac\\u12ab\", -1.5e3, \"\U0001F600\", tr";
    const std::string utf8 = testing::to_utf8(text);
    const auto expected = fed({utf8});
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::u32string head = text.substr(0, cut), tail = text.substr(cut);
        Walker walker;
        walker.feed_ucs4(head);
        bool bmp = true;
        for (const char32_t c : tail) bmp = bmp && c <= 0xFFFF;
        if (bmp) walker.feed_ucs2(std::u16string(tail.begin(), tail.end()));
        else walker.feed_utf8(testing::to_utf8(tail));
        EXPECT_EQ(walker.suffix(), expected);
    }
}

TEST(Walker, FailureIsDetectedWhereTheTextFailsAndStays) {
    Walker walker;
    walker.feed_utf8("[1] ");
    EXPECT_EQ(walker.suffix(), "");
    try {
        walker.feed_utf8(" x");
        ADD_FAILURE() << "accepted";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), rejection_message);
    }
    EXPECT_EQ(walker.failure(), Walker::Failure::rejected);
    EXPECT_THROW(walker.feed_utf8(""), std::runtime_error);
    EXPECT_THROW(walker.suffix(), std::runtime_error);

    Walker deep;
    deep.feed_utf8(std::string(max_nesting_depth, '['));
    EXPECT_THROW(deep.feed_utf8("["), nesting_too_deep);
    EXPECT_THROW(deep.feed_utf8("]"), nesting_too_deep);
    EXPECT_THROW(deep.suffix(), nesting_too_deep);
}

TEST(Walker, DeepNestingFedOneLevelAtATime) {
    Walker walker;
    for (int i = 0; i < 100000; ++i) walker.feed_utf8(i % 2 ? "[" : "{\"k\":");
    EXPECT_EQ(walker.depth(), 100000u);
    EXPECT_EQ(walker.point(), P::array_first);
    std::string expected;
    for (int i = 100000; i-- > 0;) expected += i % 2 ? "]" : "}";
    EXPECT_TRUE(walker.suffix() == expected);  // not printed: 100,000 bytes
}


// A walk that stops at the root value's end takes exactly the value and
// whitespace before it, under every split, and a copy walks on independently.
TEST(Walker, StopsAtTheRootValuesEndUnderEverySplit) {
    struct Row {
        std::string text;
        size_t end;  // bytes of the value and the whitespace before it; npos: not ended
    };
    const std::vector<Row> rows = {
        {" {\"a\": [1, \"x]\"]}  tail", 17}, {"\"s\\\"\" x", 5}, {"true,", 4}, {"null ", 4},
        {"[] []", 2}, {"12<", 2}, {"-0.5e+3 ", 7}, {"0}", 1}, {"12", std::string::npos},
        {"\t\n [", std::string::npos}, {"\"\xc3\xa9\"\xc3\xa9", 4},
    };
    for (const Row& row : rows) {
        for (size_t cut = 0; cut <= row.text.size(); ++cut) {
            Walker walker;
            walker.set_stop_at_end(true);
            size_t taken = 0;
            for (const std::string& piece : {row.text.substr(0, cut), row.text.substr(cut)}) {
                if (walker.ended()) break;
                Walker copy(walker);
                copy.feed_utf8(piece);
                walker = std::move(copy);
                taken += walker.ended() ? walker.ended_at() : piece.size();
            }
            EXPECT_EQ(walker.ended() ? taken : std::string::npos, row.end) << row.text << " cut " << cut;
        }
    }
    Walker number;
    number.set_stop_at_end(true);
    number.feed_utf8("12");
    EXPECT_TRUE(number.end_before_non_ascii());
    EXPECT_TRUE(number.ended());
    Walker open;
    open.set_stop_at_end(true);
    open.feed_utf8("[12");
    EXPECT_FALSE(open.end_before_non_ascii());

    Walker deep;  // a copy of a stack grown onto the heap keeps its own
    deep.set_stop_at_end(true);
    deep.feed_utf8(std::string(200, '['));
    Walker copy(deep);
    copy.feed_utf8(std::string(200, ']') + " ");
    EXPECT_TRUE(copy.ended());
    EXPECT_EQ(copy.ended_at(), 200u);
    EXPECT_EQ(deep.depth(), 200u);
    EXPECT_EQ(deep.suffix(), std::string(200, ']'));
}

}  // namespace
}  // namespace carrack
