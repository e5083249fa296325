// The nine node kinds: must_consume, matches and autocomplete, one table each.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "walk.hpp"

namespace carrack {
namespace {

using testing::walk;

Lit True("true");
Lit Null("null");
Lit Brace("{");
Lit Close("}");
Lit Minus("-");
Lit Zero("0");
Lit A("a");
Lit B("b");
Range Digit('0', '9');
Range Hex('a', 'f');
Range WithDefault('0', '9', 'x');
Any Space(" \n\r\t");
Any Escape("\"\\/bfnrt", 'q');
Except Plain("\"\\");
Opt OptTrue(&True);
Opt OptMinus(&Minus);
Rep Digits(&Digit);
Rep Spaces(&Space);
Or Choice({&Null, &True, &Digit});
Seq Object({&Brace, &Spaces, &OptTrue, &Close});

struct WalkCase {
    const char* name;
    const Parser* node;
    std::string prefix;
    size_t start;
    std::string text;
    size_t position;
};

TEST(Nodes, AutocompleteAtAndBeforeTheEnd) {
    const std::vector<WalkCase> cases = {
        // Lit: passes over what is present without comparing, appends the rest
        {"lit at end", &True, "", 0, "true", 4},
        {"lit after others", &True, "[", 1, "[true", 5},
        {"lit partial", &True, "tr", 0, "true", 4},
        {"lit partial unexamined", &True, "tx", 0, "txue", 4},
        {"lit whole", &True, "true", 0, "true", 4},
        {"lit stops after its length", &True, "abcdefg", 0, "abcdefg", 4},
        {"lit from the middle", &True, "[tr", 1, "[true", 5},
        // Range: default_char at the end, any byte passed over before it
        {"range at end", &Digit, "", 0, "0", 1},
        {"range letters at end", &Hex, "", 0, "a", 1},
        {"range explicit default", &WithDefault, "", 0, "x", 1},
        {"range takes a byte outside", &Digit, "z", 0, "z", 1},
        {"range takes a high byte", &Digit, "\xc3", 0, "\xc3", 1},
        // Any
        {"any default is first byte", &Space, "", 0, " ", 1},
        {"any explicit default", &Escape, "", 0, "q", 1},
        {"any takes a byte outside", &Space, "x", 0, "x", 1},
        // Except: appends nothing at the end
        {"except at end", &Plain, "", 0, "", 0},
        {"except takes a blacklisted byte", &Plain, "\"", 0, "\"", 1},
        {"except takes a byte", &Plain, "ab", 0, "ab", 1},
        // Opt
        {"opt at end appends nothing", &OptTrue, "", 0, "", 0},
        {"opt taken", &OptTrue, "tr", 0, "true", 4},
        {"opt skipped", &OptTrue, "x", 0, "x", 0},
        // Rep
        {"rep at end appends nothing", &Digits, "", 0, "", 0},
        {"rep stops before a rejected byte", &Digits, "123x4", 0, "123x4", 3},
        {"rep runs to the end", &Digits, "123", 0, "123", 3},
        {"rep rejects at once", &Digits, "x", 0, "x", 0},
        // Or
        {"or at end completes its first child", &Choice, "", 0, "null", 4},
        {"or picks the first match", &Choice, "t", 0, "true", 4},
        {"or picks a later child", &Choice, "7", 0, "7", 1},
        {"or falls back to its first child", &Choice, "x", 0, "xull", 4},
        // Seq
        {"seq at end completes every child", &Object, "", 0, "{}", 2},
        {"seq partway", &Object, "{  t", 0, "{  true}", 8},
        {"seq whole", &Object, "{}", 0, "{}", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto walked = walk(*c.node, c.prefix, c.start);
        EXPECT_EQ(walked.text, c.text);
        EXPECT_EQ(walked.position, c.position);
    }
}

struct MatchCase {
    const char* name;
    const Parser* node;
    std::string accepted;
};

// The exact set of bytes each node accepts, checked over all 256 bytes.
TEST(Nodes, MatchesExactlyTheseBytes) {
    static Seq MinusZero({&OptMinus, &Zero});
    static Seq AB({&A, &B});
    static Opt OptA(&A);
    static Opt OptB(&B);
    static Seq OnlyOpts({&OptA, &OptB});
    static Seq RepFirst({&Digits, &Close});
    static Or ReachesRep({&Null, &RepFirst});
    std::string all;
    for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
    std::string high;
    for (int b = 0x80; b < 256; ++b) high.push_back(static_cast<char>(b));

    const std::vector<MatchCase> cases = {
        {"lit: first byte only", &Null, "n"},
        {"range digits", &Digit, "0123456789"},
        {"range hex letters", &Hex, "abcdef"},
        {"any: its whitelist", &Space, " \n\r\t"},
        {"except: all but its blacklist", &Plain, [&] {
             std::string s;
             for (char c : all) if (c != '"' && c != '\\') s.push_back(c);
             return s;
         }()},
        {"opt: its child's", &OptTrue, "t"},
        {"rep: every byte", &Digits, all},
        {"or: any child's", &Choice, "nt0123456789"},
        {"seq: skips a child that need not consume", &MinusZero, "-0"},
        {"seq: stops at a child that must consume", &AB, "a"},
        {"seq: only optional children, none matching", &OnlyOpts, "ab"},
        {"seq beginning with a rep: every byte", &RepFirst, all},
        {"or reaching such a seq: every byte", &ReachesRep, all},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (char b : all) {
            const bool expected = c.accepted.find(b) != std::string::npos;
            EXPECT_EQ(c.node->matches(b), expected) << "byte " << (static_cast<int>(b) & 0xff);
        }
    }
    // Signed comparison: an ASCII range never matches a byte from 0x80 to 0xFF.
    static Range Ascii('\x01', '\x7f');
    for (char b : high) EXPECT_FALSE(Ascii.matches(b)) << (static_cast<int>(b) & 0xff);
}

TEST(Nodes, MustConsume) {
    static Reference RefTrue(&Digits, true);
    static Reference RefFalse(&Digit, false);
    static Or WithOpt({&True, &OptTrue});
    static Or WithRep({&Digits, &True});
    static Or AllConsume({&True, &Null});
    static Seq WithLit({&OptTrue, &Spaces, &True});
    static Seq NoneConsume({&OptTrue, &Spaces});
    const std::vector<std::pair<const char*, std::pair<const Parser*, bool>>> cases = {
        {"lit", {&True, true}},
        {"range", {&Digit, true}},
        {"any", {&Space, true}},
        {"except", {&Plain, true}},
        {"opt", {&OptTrue, false}},
        {"rep", {&Digits, false}},
        {"reference answers its flag, not its child (true)", {&RefTrue, true}},
        {"reference answers its flag, not its child (false)", {&RefFalse, false}},
        {"or with an opt", {&WithOpt, false}},
        {"or with a rep", {&WithRep, false}},
        {"or whose children all consume", {&AllConsume, true}},
        {"seq with a lit", {&WithLit, true}},
        {"seq with nothing that consumes", {&NoneConsume, false}},
    };
    for (const auto& [name, c] : cases) {
        SCOPED_TRACE(name);
        EXPECT_EQ(c.first->must_consume(), c.second);
    }
}

TEST(Nodes, ReferenceForwardsToItsChild) {
    Reference ref(nullptr, true);
    ref.child = &True;
    EXPECT_TRUE(ref.matches('t'));
    EXPECT_FALSE(ref.matches('n'));
    const auto walked = walk(ref, "t");
    EXPECT_EQ(walked.text, "true");
    EXPECT_EQ(walked.position, 4u);
}

template <typename F>
void expect_invalid(F make, const char* message) {
    try {
        make();
        ADD_FAILURE() << "no exception, expected: " << message;
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), message);
    }
}

TEST(Nodes, ConstructorsRejectWithExactMessages) {
    SCOPED_TRACE("constructor rejections");
    expect_invalid([] { Lit(""); }, "Literal cannot be empty");
    expect_invalid([] { Any(""); }, "Whitelist cannot be empty");
    expect_invalid([] { Any("", 'x'); }, "Whitelist cannot be empty");
    expect_invalid([] { Except(""); }, "Blacklist cannot be empty");
    expect_invalid([] { Seq({}); }, "Seq must have at least one child");
    expect_invalid([] { Or({}); }, "Or must have at least one child");
    expect_invalid([] { Range('9', '0'); }, "Range start must not exceed end");
    // Signed bounds: 0x80 lies below 'a'.
    expect_invalid([] { Range('a', '\x80'); }, "Range start must not exceed end");
}

TEST(Nodes, DefaultsAndFields) {
    const Range r('a', 'f');
    EXPECT_EQ(r.default_char, 'a');
    const Any any("xyz");
    EXPECT_EQ(any.default_char, 'x');
    const Any other("xyz", '!');  // need not occur in the whitelist
    EXPECT_EQ(other.default_char, '!');
    const Reference ref(nullptr, true);
    EXPECT_EQ(ref.child, nullptr);
    EXPECT_TRUE(ref.must_consume_value);
}

}  // namespace
}  // namespace carrack
