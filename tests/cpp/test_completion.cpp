// Completions through the entry point, held byte-identical to the node walk.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "text.hpp"
#include "walk.hpp"

namespace carrack {
namespace {

using testing::fast_complete;
using testing::literal_complete;
using testing::read_file;

const std::optional<std::string> rejected = std::nullopt;

struct Row {
    std::string prefix;
    std::optional<std::string> result;
};

const std::vector<Row> grammar_rows = {
    {"", "null"},
    {"  ", "  null"},
    {"n", "null"},
    {"fa", "false"},
    {"-", "-0"},
    {"-0.", "-0.0"},
    {"1e", "1e0"},
    {"1E-", "1E-0"},
    {"12.5", "12.5"},
    {"01", rejected},
    {"\"", "\"\""},
    {"\"ab", "\"ab\""},
    {"\"a\\", "\"a\\\"\""},
    {"\"\\\\", "\"\\\\\""},
    {"\"\\u", "\"\\u0000\""},
    {"\"\\u12a", "\"\\u12a0\""},
    {"\"\\uABCD5", "\"\\uABCD5\""},
    {"\"a\tb", "\"a\tb\""},
    {"{", "{}"},
    {"{ ", "{ }"},
    {"{\"", "{\"\":null}"},
    {"{\"a", "{\"a\":null}"},
    {"{\"a\" ", "{\"a\" :null}"},
    {"{\"a\":", "{\"a\":null}"},
    {"{\"a\":1 ", "{\"a\":1 }"},
    {"{\"a\":1,", "{\"a\":1,\"\":null}"},
    {"[", "[]"},
    {"[1,", "[1,null]"},
    {"[1, ", "[1, null]"},
    {"[t", "[true]"},
    {"{\"a\":[1,{\"b\":\"", "{\"a\":[1,{\"b\":\"\"}]}"},
    {"[[[", "[[[]]]"},
    {"true ", "true "},
    {"\"a\"b", rejected},
    {"[1]]", rejected},
    {"1 2", rejected},
    {"x", "xull"},
    {"[1}", "[1}"},
    {"[1,]", "[1,]ull]"},
    {"\"\\x", "\"\\x\""},
    // the entry point's own table
    {"true", "true"},
    {"tru", "true"},
    {"[1, 2", "[1, 2]"},
    {"{\"a\": [1, {\"b\": tr", "{\"a\": [1, {\"b\": true}]}"},
    {"  [ ", "  [ ]"},
    {"true x", rejected},
    {"{} {}", rejected},
    // further cuts: numbers, escapes, members and nesting
    {"{\"a\": [1, tr", "{\"a\": [1, true]}"},
    {"-12.", "-12.0"},
    {"3e+", "3e+0"},
    {"0.5E", "0.5E0"},
    {"-x", "-x"},
    {"1.x", "1.x"},
    {"\"\\u\"", "\"\\u\"000\""},
    {"\"\\n", "\"\\n\""},
    {"{\"a\":1,x", "{\"a\":1,x\":null}"},
    {"{1}", rejected},
    {"[}", "[}"},
    {"{\"k\": \"caf\xc3\xa9", "{\"k\": \"caf\xc3\xa9\"}"},
    {std::string("\"a\0b", 4), std::string("\"a\0b\"", 5)},
    {"[\"\xff\xfe", "[\"\xff\xfe\"]"},
    {"\xc3", "\xc3ull"},
    {"nullx", rejected},
    {"\f", "\full"},
};

TEST(Completion, EdgeCasesThroughBothWalks) {
    for (const auto& row : grammar_rows) {
        SCOPED_TRACE("prefix: " + row.prefix);
        EXPECT_EQ(literal_complete(row.prefix), row.result);
        EXPECT_EQ(fast_complete(row.prefix), row.result);
    }
}

TEST(Completion, SuffixIsWhatTheEntryPointAppends) {
    for (const auto& row : grammar_rows) {
        SCOPED_TRACE("prefix: " + row.prefix);
        if (row.result) {
            EXPECT_EQ(row.prefix + carrack_suffix_utf8(row.prefix), *row.result);
        } else {
            EXPECT_THROW(carrack_suffix_utf8(row.prefix), std::runtime_error);
        }
    }
}

TEST(Completion, RejectionMessageIsExact) {
    for (const char* prefix : {"1 2", "true x", "{} {}", "01", "[1]]"}) {
        SCOPED_TRACE(prefix);
        try {
            carrack_cpp(prefix);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Given prefix is not from a valid JSON string!");
        }
    }
}

TEST(Completion, RejectionLeavesNothingForTheNextCall) {
    for (const auto& row : grammar_rows) {
        SCOPED_TRACE("prefix: " + row.prefix);
        EXPECT_EQ(fast_complete("1 2"), rejected);
        EXPECT_EQ(fast_complete(row.prefix), row.result);
    }
}

// Every prefix of text completes identically in both walks.
void expect_same_for_every_prefix(const std::string& text) {
    for (size_t cut = 0; cut <= text.size(); ++cut) {
        const std::string prefix = text.substr(0, cut);
        ASSERT_EQ(fast_complete(prefix), literal_complete(prefix)) << "prefix: " << prefix;
    }
}

TEST(Completion, SameAsNodeWalkOnEveryPrefixOfSamples) {
    const std::vector<std::string> samples = {
        R"({"name": "get_weather", "arguments": {"city": "Z\u00fcrich", "days": [1, 2.5e-3, -0.0E+12], "ok": true, "none": null, "f": false}})",
        "[ {\"a\" : [ ] , \"b\" : { } } ,\t\"\\\"\\\\\\/\\b\\f\\n\\r\\t\" , 0 , -1.25 ]\r\n",
        "\"\xe2\x82\xac \xf0\x9f\x98\x80 \\ud83d\\ude00\"",
        "{\"a\":{\"b\":{\"c\":[[[{\"d\":\"e\"}]]]}}}",
        "[1,,2] {\"a\" 1} [\"\\q\"] tru nul -e 1.e5 .5 00 [}] {]",
        // nesting past the stack's first 64 levels, and back out
        [] {
            std::string s;
            for (int i = 0; i < 50; ++i) s += "[{\"k\":";
            s += "1";
            for (int i = 0; i < 50; ++i) s += "}, 2]";
            return s;
        }(),
        // runs longer than the 16 bytes the scanners take at a time
        "[" + std::string(40, ' ') + "\"" + std::string(40, 'a') + "\\n" + std::string(33, '\xe9') + "\"" +
            std::string(17, '\n') + ", 1234567890123456789012345.123456789012345678901e-12345678901234567\t\r\n ]",
    };
    for (const auto& s : samples) expect_same_for_every_prefix(s);
}

TEST(Completion, SameAsNodeWalkOnRandomInput) {
    // Fragments weighted toward JSON so that walks go deep into the grammar.
    const std::vector<std::string> pieces = {
        "{", "}", "[", "]", ",", ":", " ", "\n", "\"", "\\", "u", "0", "1", "9", "-", "+", ".", "e",
        "E", "t", "r", "n", "f", "a", "l", "s", "x", "\"k\"", "null", "true", "false", "12.5e3",
        "\\u00e9", "\xc3\xa9", "\x80", std::string(1, '\0'), "\t", "\\n", "/",
        std::string(15, ' '), std::string(16, '\n'), "12345678901234567", std::string(20, 'z'),
    };
    std::mt19937 rng(20261208);
    std::uniform_int_distribution<size_t> pick(0, pieces.size() - 1);
    std::uniform_int_distribution<int> length(0, 24);
    for (int i = 0; i < 20000; ++i) {
        std::string s;
        for (int n = length(rng); n > 0; --n) s += pieces[pick(rng)];
        ASSERT_EQ(fast_complete(s), literal_complete(s)) << "input: " << s;
    }
}

std::filesystem::path corpus_dir() {
    if (const char* env = std::getenv("CARRACK_CORPUS")) return env;
    return CARRACK_CORPUS_DIR;
}

// In CI the corpus cases must run: a missing corpus fails there and skips elsewhere.
bool in_ci() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view(ci) == "true";
}

TEST(Completion, SameAsNodeWalkOnCorpusDocumentsCut) {
    const auto dir = corpus_dir();
    if (!std::filesystem::exists(dir / "twitter.json")) {
        if (in_ci()) FAIL() << "no corpus at " << dir;
        GTEST_SKIP() << "no corpus at " << dir;
    }
    for (const char* name : {"twitter.json", "citm_catalog.json", "canada.json"}) {
        SCOPED_TRACE(name);
        const std::string doc = read_file(dir / name);
        // whole, and cut at 41 points spread over the document
        for (size_t i = 0; i <= 40; ++i) {
            const std::string prefix = doc.substr(0, doc.size() * i / 40 + (i % 3));
            ASSERT_EQ(fast_complete(prefix), literal_complete(prefix)) << "cut at " << prefix.size();
        }
    }
}

TEST(Completion, SameAsNodeWalkOnConformanceSuite) {
    const auto dir = corpus_dir() / "jsontestsuite" / "test_parsing";
    if (!std::filesystem::exists(dir)) {
        if (in_ci()) FAIL() << "no JSONTestSuite at " << dir;
        GTEST_SKIP() << "no JSONTestSuite at " << dir;
    }
    size_t files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string text = read_file(entry.path());
        SCOPED_TRACE(entry.path().filename().string());
        if (text.size() > 4096) {  // the deeply nested ones: a few cuts, within the node walk's stack
            for (size_t cut : {size_t{0}, size_t{1}, text.size() / 100, size_t{2000}}) {
                const std::string prefix = text.substr(0, cut);
                ASSERT_EQ(fast_complete(prefix), literal_complete(prefix));
            }
        } else {
            expect_same_for_every_prefix(text);
        }
        ++files;
    }
    EXPECT_GT(files, 300u);
}

}  // namespace
}  // namespace carrack
