// The sixteen-at-a-time scanners: the same index as a plain loop for every
// position of a stop within and across blocks, at every start, for UTF-8 and
// each code-point width; and the walk over such runs the same as the literal
// node walk. Buffers are exactly as long as their text, so that a sanitizer
// build sees any read past the end.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "carrack/engine/scan.hpp"
#include "scan_scalar.hpp"
#include "text.hpp"
#include "walk.hpp"

namespace carrack {
namespace {

template <typename Unit>
bool fits(char32_t c) {
    if constexpr (sizeof(Unit) == 4) return true;
    else return c < (char32_t{1} << (8 * sizeof(Unit)));
}

// Units as the scanners see them: ASCII decisions, any other unit "other".
template <typename Unit>
char32_t code(Unit u) {
    return static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(u));
}

template <typename Unit>
size_t first(const std::vector<Unit>& in, size_t pos, bool (*stops)(char32_t)) {
    while (pos < in.size() && !stops(code(in[pos]))) ++pos;
    return pos;
}

// Where a string body needs the grammar: a quote, or a backslash before "u" or
// at the end; any other escape takes the unit after it.
template <typename Unit>
size_t string_stop(const std::vector<Unit>& in, size_t pos) {
    for (; pos < in.size(); ++pos) {
        if (in[pos] == '"') return pos;
        if (in[pos] == '\\') {
            if (pos + 1 == in.size() || in[pos + 1] == 'u') return pos;
            ++pos;
        }
    }
    return in.size();
}

bool quote_or_backslash(char32_t c) { return c == '"' || c == '\\'; }
bool not_whitespace(char32_t c) { return !(c == ' ' || c == '\n' || c == '\r' || c == '\t'); }
bool not_digit(char32_t c) { return c < '0' || c > '9'; }

// Every scanner, vector and plain, from every start of a buffer.
template <typename Unit>
void expect_scans_agree(const std::vector<Unit>& buffer) {
    const Unit* in = buffer.data();
    const size_t end = buffer.size();
    for (size_t pos = 0; pos <= end; ++pos) {
        const size_t quote = first(buffer, pos, quote_or_backslash);
        const size_t space = first(buffer, pos, not_whitespace);
        const size_t digit = first(buffer, pos, not_digit);
        ASSERT_EQ(scan::find_quote_or_backslash(in, pos, end), quote) << "from " << pos;
        ASSERT_EQ(scan::find_quote_or_backslash_short(in, pos, end), quote) << "from " << pos;
        ASSERT_EQ(testing::scalar_scan::find_quote_or_backslash(in, pos, end), quote) << "from " << pos;
        ASSERT_EQ(testing::scalar_scan::find_quote_or_backslash_short(in, pos, end), quote) << "from " << pos;
        const size_t body = string_stop(buffer, pos);
        ASSERT_EQ(scan::find_string_stop(in, pos, end), body) << "from " << pos;
        ASSERT_EQ(testing::scalar_scan::find_string_stop(in, pos, end), body) << "from " << pos;
        for (const bool short_runs : {false, true}) {
            ASSERT_EQ(scan::skip_whitespace(in, pos, end, short_runs), space) << "from " << pos;
            ASSERT_EQ(testing::scalar_scan::skip_whitespace(in, pos, end, short_runs), space) << "from " << pos;
        }
        ASSERT_EQ(scan::skip_digits(in, pos, end), digit) << "from " << pos;
        ASSERT_EQ(testing::scalar_scan::skip_digits(in, pos, end), digit) << "from " << pos;
    }
}

// Runs of each filler, up to three blocks long, with a stop at every position
// and a second one a block later.
template <typename Unit>
void check_every_position() {
    // Fillers of each scanner's runs, with control characters, and wide units
    // whose low byte is a quote, backslash, space, line feed or digit.
    const std::vector<char32_t> fillers = {
        'a', ' ', '\t', '7', 0x00, 0x01, 0x1F, 0x7F, 0x80, 0xE9, 0xFF, 0x122, 0x15C, 0x120, 0x10A, 0x130,
        0x8022, 0xFF5C, 0xFFFF, 0x10022, 0x2005C, 0x10020, 0x10FFFF,
    };
    const std::vector<char32_t> stops = {'"', '\\', '\n', '\r', ' ', '0', '9', '/', ':', 0x0B, 0x00, 0x1F,
                                         0x80, 0xA0, 0x3000, 0x1F600};
    for (const char32_t filler : fillers) {
        if (!fits<Unit>(filler)) continue;
        for (const char32_t stop : stops) {
            if (!fits<Unit>(stop)) continue;
            for (size_t length = 0; length <= 50; ++length) {
                for (size_t at = 0; at <= length; ++at) {
                    std::vector<Unit> buffer(length, static_cast<Unit>(filler));
                    if (at < length) buffer[at] = static_cast<Unit>(stop);
                    if (at + 16 < length) buffer[at + 16] = static_cast<Unit>(stop);
                    SCOPED_TRACE("filler " + std::to_string(filler) + ", stop " + std::to_string(stop) + " at " +
                                 std::to_string(at) + " of " + std::to_string(length));
                    expect_scans_agree(buffer);
                    if (::testing::Test::HasFatalFailure()) return;
                }
            }
        }
    }
}

// Text dense with escapes: backslashes before quotes, backslashes, "u", line
// breaks and wide units, so that a block holds several and an escape's unit
// falls in the next block.
template <typename Unit>
void check_escapes() {
    std::vector<char32_t> alphabet = {'\\', '\\', '\\', '"', 'u', 'n', 'a', ' ', 0x00, 0xE9};
    if (fits<Unit>(0x5C5C)) alphabet.insert(alphabet.end(), {0x225C, 0x5C22});
    if (fits<Unit>(0x1F600)) alphabet.push_back(0x1F600);
    std::mt19937 rng(25);
    std::uniform_int_distribution<size_t> pick(0, alphabet.size() - 1);
    std::uniform_int_distribution<size_t> length(0, 70);
    for (int i = 0; i < 4000; ++i) {
        std::vector<Unit> buffer(length(rng));
        for (auto& unit : buffer) unit = static_cast<Unit>(alphabet[pick(rng)]);
        expect_scans_agree(buffer);
        if (::testing::Test::HasFatalFailure()) return;
    }
}

TEST(Scan, Utf8Escapes) { check_escapes<char>(); }
TEST(Scan, Latin1Escapes) { check_escapes<unsigned char>(); }
TEST(Scan, Ucs2Escapes) { check_escapes<char16_t>(); }
TEST(Scan, Ucs4Escapes) { check_escapes<char32_t>(); }

TEST(Scan, BuiltWithTheTargetsVectorUnit) {
#if defined(__x86_64__) || defined(_M_X64)
    EXPECT_STREQ(scan::kind, "sse2");
#elif defined(__aarch64__) || defined(_M_ARM64)
    EXPECT_STREQ(scan::kind, "neon");
#endif
}

TEST(Scan, Utf8EveryPosition) { check_every_position<char>(); }
TEST(Scan, Latin1EveryPosition) { check_every_position<unsigned char>(); }
TEST(Scan, Ucs2EveryPosition) { check_every_position<char16_t>(); }
TEST(Scan, Ucs4EveryPosition) { check_every_position<char32_t>(); }

// The walk over long string bodies and whitespace runs, with a control
// character, a non-ASCII character, a quote or a backslash at every position,
// against the literal node walk on the UTF-8 and each width that holds it.
std::optional<std::string> suffix_of(const std::u32string& text, int width) {
    try {
        if (width == 4) return carrack_suffix_ucs4(text);
        if (width == 2) return carrack_suffix_ucs2(std::u16string(text.begin(), text.end()));
        const std::vector<unsigned char> latin1(text.begin(), text.end());
        return carrack_suffix_latin1(latin1);
    } catch (const std::runtime_error&) {
        return std::nullopt;
    }
}

void expect_walks_agree(const std::u32string& text) {
    const std::string bytes = testing::to_utf8(text);
    const auto literal = testing::literal_complete(bytes);
    ASSERT_EQ(testing::fast_complete(bytes), literal) << "UTF-8 of " << bytes;
    const auto expected = literal ? std::optional<std::string>(literal->substr(bytes.size())) : std::nullopt;
    char32_t widest = 0;
    for (const char32_t c : text) widest = std::max(widest, c);
    for (const int width : {1, 2, 4}) {
        if (width == 1 && widest > 0xFF) continue;
        if (width == 2 && widest > 0xFFFF) continue;
        ASSERT_EQ(suffix_of(text, width), expected) << "width " << width << " of " << bytes;
    }
}

TEST(Scan, WalkOverStringBodiesWithAnyUnitAtEveryPosition) {
    const std::vector<char32_t> fillers = {'a', 0xE9, 0x122, 0x225C, 0x1F600};
    const std::vector<char32_t> units = {'"', '\\', 0x00, '\n', 0x1F, 0x7F, 0x80, 0xFF, 0x2028, 0x10FFFF};
    for (const char32_t filler : fillers) {
        for (const char32_t unit : units) {
            for (size_t length = 0; length <= 36; ++length) {
                for (size_t at = 0; at <= length; ++at) {
                    std::u32string body(length, filler);
                    if (at < length) body[at] = unit;
                    SCOPED_TRACE(testing::to_utf8(body));
                    // as a value, then as a key, each both open and closed
                    for (const std::u32string& text : {U"[\"" + body, U"[\"" + body + U"\",1]", U"{\"" + body,
                                                       U"{\"" + body + U"\": 2}"}) {
                        expect_walks_agree(text);
                        if (::testing::Test::HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

TEST(Scan, WalkOverEscapesAtEveryPosition) {
    const std::vector<std::u32string> escapes = {U"\\\"", U"\\\\", U"\\n", U"\\u", U"\\u00e9", U"\\\u00e9",
                                                 U"\\\U0001F600", U"\\\\\\\""};
    for (const char32_t filler : {U'a', U'\u00e9', U'\U0001F600'}) {
        for (const auto& escape : escapes) {
            for (size_t length = 0; length <= 36; ++length) {
                for (size_t at = 0; at <= length; ++at) {
                    std::u32string body(length, filler);
                    body.insert(at, escape);
                    SCOPED_TRACE(testing::to_utf8(body));
                    for (const std::u32string& text : {U"[\"" + body, U"[\"" + body + U"\",1]", U"{\"" + body + U"\": 2}"}) {
                        expect_walks_agree(text);
                        if (::testing::Test::HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

TEST(Scan, WalkOverWhitespaceRunsOfEveryLength) {
    const std::u32string spaces = U" \n\r\t";
    for (const char32_t space : spaces) {
        for (const char32_t other : {U'\x0b', U'\xa0', U'\x3000', U'x', U'"', U'1'}) {
            for (size_t length = 0; length <= 36; ++length) {
                for (size_t at = 0; at <= length; ++at) {
                    std::u32string run(length, space);
                    if (at < length) run[at] = other;
                    SCOPED_TRACE("run of " + std::to_string(length) + ", other at " + std::to_string(at));
                    for (const std::u32string& text : {U"[" + run, U"[1," + run + U"2" + run + U"]" + run,
                                                       U"{\"k\"" + run + U":" + run + U"12345678901234567890"}) {
                        expect_walks_agree(text);
                        if (::testing::Test::HasFatalFailure()) return;
                    }
                }
            }
        }
    }
}

}  // namespace
}  // namespace carrack
