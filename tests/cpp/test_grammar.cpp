// The JSON grammar: its shape, what its named nodes accept, and its completions.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <typeinfo>
#include <vector>

#include "walk.hpp"

namespace carrack {
namespace {

std::vector<Parser*> children_of(Parser* node) {
    if (auto* r = dynamic_cast<Reference*>(node)) return {r->child};
    if (auto* o = dynamic_cast<Opt*>(node)) return {o->child};
    if (auto* r = dynamic_cast<Rep*>(node)) return {r->child};
    if (auto* o = dynamic_cast<Or*>(node)) return o->children;
    if (auto* s = dynamic_cast<Seq*>(node)) return s->children;
    return {};
}

const char* kind_of(const Parser* node) {
    if (dynamic_cast<const Reference*>(node)) return "Reference";
    if (dynamic_cast<const Lit*>(node)) return "Lit";
    if (dynamic_cast<const Range*>(node)) return "Range";
    if (dynamic_cast<const Any*>(node)) return "Any";
    if (dynamic_cast<const Except*>(node)) return "Except";
    if (dynamic_cast<const Opt*>(node)) return "Opt";
    if (dynamic_cast<const Rep*>(node)) return "Rep";
    if (dynamic_cast<const Or*>(node)) return "Or";
    if (dynamic_cast<const Seq*>(node)) return "Seq";
    return "?";
}

std::set<Parser*> reachable(Parser* root) {
    std::set<Parser*> seen;
    std::vector<Parser*> todo{root};
    while (!todo.empty()) {
        Parser* n = todo.back();
        todo.pop_back();
        if (n == nullptr || !seen.insert(n).second) continue;
        for (Parser* c : children_of(n)) todo.push_back(c);
    }
    return seen;
}

Parser* nth(Parser* node, size_t i) { return children_of(node).at(i); }

// The named nodes, found along the grammar's structure.
struct Named {
    Parser* WSValue = json_parser;
    Parser* WS = nth(WSValue, 0);
    Parser* Value = nth(WSValue, 1);
    Parser* ValueBody = nth(Value, 0);
    Parser* ValueChoice = nth(ValueBody, 0);
    Parser* String = nth(ValueChoice, 1);
    Parser* Number = nth(ValueChoice, 2);
    Parser* Object = nth(ValueChoice, 3);
    Parser* Array = nth(ValueChoice, 4);
    Parser* Quote = nth(String, 0);
    Parser* Unicode = nth(nth(nth(nth(nth(String, 1), 0), 1), 1), 1);
    Parser* HexDigit = nth(Unicode, 1);
    Parser* SingleDigit = nth(HexDigit, 0);
    Parser* OptionalDigits = nth(nth(nth(Number, 1), 1), 1);
    Parser* Digits = nth(nth(nth(Number, 2), 0), 1);
    Parser* MemberList = nth(nth(nth(Object, 0), 2), 0);
    Parser* KeyValue = nth(MemberList, 0);
    Parser* ValueList = nth(nth(nth(Array, 0), 2), 0);
};

TEST(Grammar, HasSixtyFiveNodesOfTheseKinds) {
    const auto nodes = reachable(json_parser);
    std::map<std::string, int> kinds;
    for (Parser* n : nodes) ++kinds[kind_of(n)];
    EXPECT_EQ(nodes.size(), 65u);
    const std::map<std::string, int> expected = {
        {"Lit", 20}, {"Range", 4}, {"Any", 2}, {"Except", 1}, {"Opt", 6},
        {"Rep", 5},  {"Or", 7},    {"Seq", 17}, {"Reference", 3},
    };
    EXPECT_EQ(kinds, expected);
}

TEST(Grammar, EachCallBuildsANewGraph) {
    static Parser* const other = create_json_parser();  // kept reachable: nodes are never freed
    EXPECT_NE(other, json_parser);
    EXPECT_EQ(reachable(other).size(), 65u);
    const auto mine = reachable(json_parser);
    for (Parser* n : reachable(other)) EXPECT_EQ(mine.count(n), 0u);
}

TEST(Grammar, SharesNodesAndClosesCyclesThroughReferences) {
    const Named g;
    // Shared nodes are single objects.
    EXPECT_EQ(nth(g.String, 0), nth(g.String, 2));
    for (size_t i = 1; i <= 4; ++i) EXPECT_EQ(nth(g.Unicode, i), g.HexDigit);
    EXPECT_EQ(nth(g.Digits, 0), g.SingleDigit);
    EXPECT_EQ(nth(g.Digits, 1), g.OptionalDigits);
    EXPECT_EQ(nth(g.OptionalDigits, 0), g.SingleDigit);
    EXPECT_EQ(nth(nth(nth(g.Number, 3), 0), 2), g.Digits);
    EXPECT_EQ(nth(g.ValueBody, 1), g.WS);
    EXPECT_EQ(nth(g.KeyValue, 0), g.String);
    EXPECT_EQ(nth(g.KeyValue, 1), g.WS);
    EXPECT_EQ(nth(g.KeyValue, 3), g.WS);
    EXPECT_EQ(nth(g.KeyValue, 4), g.Value);
    EXPECT_EQ(nth(nth(nth(g.MemberList, 1), 0), 2), g.KeyValue);
    EXPECT_EQ(nth(g.ValueList, 0), g.Value);
    EXPECT_EQ(nth(nth(nth(g.ValueList, 1), 0), 2), g.Value);
    // Equal literals in different places are distinct nodes.
    EXPECT_NE(nth(nth(nth(g.MemberList, 1), 0), 0), nth(nth(nth(g.ValueList, 1), 0), 0));
    // The three references, all must_consume.
    for (Parser* r : {g.Value, g.Object, g.Array}) {
        ASSERT_STREQ(kind_of(r), "Reference");
        EXPECT_TRUE(static_cast<Reference*>(r)->must_consume_value);
    }
}

TEST(Grammar, NamedNodesReportTheseFirstBytes) {
    const Named g;
    const std::string digits = "0123456789";
    const std::string value = "n\"-{[tf" + digits;
    std::string every;
    for (int b = 0; b < 256; ++b) every.push_back(static_cast<char>(b));
    struct Row {
        const char* name;
        Parser* node;
        bool must_consume;
        std::string accepts;
    };
    const std::vector<Row> rows = {
        {"SingleDigit", g.SingleDigit, true, digits},
        {"OptionalDigits", g.OptionalDigits, false, every},
        {"Quote", g.Quote, true, "\""},
        {"WS", g.WS, false, every},
        {"Digits", g.Digits, true, digits},
        {"Number", g.Number, true, "-" + digits},
        {"HexDigit", g.HexDigit, true, digits + "abcdefABCDEF"},
        {"Unicode", g.Unicode, true, "u"},
        {"String", g.String, true, "\""},
        {"Value", g.Value, true, value},
        {"value body", g.ValueBody, true, value},
        {"value choice", g.ValueChoice, true, value},
        {"Object", g.Object, true, "{"},
        {"Array", g.Array, true, "["},
        {"KeyValue", g.KeyValue, true, "\""},
        {"MemberList", g.MemberList, true, "\""},
        {"ValueList", g.ValueList, true, value},
        {"WSValue", g.WSValue, true, every},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.node->must_consume(), row.must_consume);
        for (char b : every) {
            EXPECT_EQ(row.node->matches(b), row.accepts.find(b) != std::string::npos)
                << "byte " << (static_cast<int>(b) & 0xff);
        }
    }
}

}  // namespace
}  // namespace carrack
