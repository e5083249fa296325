// The JSON grammar and the completion entry points.
#include "carrack/engine/json.hpp"

namespace carrack {

// ---------------------------------------------------------------------------
// The JSON grammar (RFC 8259, with raw control bytes allowed in strings)
// ---------------------------------------------------------------------------

Parser* create_json_parser() {
    auto* SingleDigit = new Range('0', '9');
    auto* OptionalDigits = new Rep(SingleDigit);
    auto* Quote = new Lit("\"");
    auto* WS = new Rep(new Any(" \n\r\t"));
    auto* Digits = new Seq({SingleDigit, OptionalDigits});

    auto* Number = new Seq({
        new Opt(new Lit("-")),
        new Or({new Lit("0"), new Seq({new Range('1', '9'), OptionalDigits})}),
        new Opt(new Seq({new Lit("."), Digits})),
        new Opt(new Seq({
            new Or({new Lit("e"), new Lit("E")}),
            new Opt(new Or({new Lit("+"), new Lit("-")})),
            Digits,
        })),
    });

    auto* HexDigit = new Or({SingleDigit, new Range('a', 'f'), new Range('A', 'F')});
    auto* Unicode = new Seq({new Lit("u"), HexDigit, HexDigit, HexDigit, HexDigit});
    auto* String = new Seq({
        Quote,
        new Rep(new Or({
            new Except("\"\\"),
            new Seq({new Lit("\\"), new Or({new Any("\"\\/bfnrt"), Unicode})}),
        })),
        Quote,
    });

    // Forward references close the grammar's cycles.
    auto* Value = new Reference(nullptr, true);
    auto* Object = new Reference(nullptr, true);
    auto* Array = new Reference(nullptr, true);
    Value->child = new Seq({
        new Or({new Lit("null"), String, Number, Object, Array, new Lit("true"), new Lit("false")}),
        WS,
    });

    auto* KeyValue = new Seq({String, WS, new Lit(":"), WS, Value});
    auto* MemberList = new Seq({KeyValue, new Rep(new Seq({new Lit(","), WS, KeyValue}))});
    Object->child = new Seq({new Lit("{"), WS, new Opt(MemberList), new Lit("}")});

    auto* ValueList = new Seq({Value, new Rep(new Seq({new Lit(","), WS, Value}))});
    Array->child = new Seq({new Lit("["), WS, new Opt(ValueList), new Lit("]")});

    auto* WSValue = new Seq({WS, Value});
    return WSValue;
}

// ---------------------------------------------------------------------------
// Entry points
// ---------------------------------------------------------------------------

Parser* const json_parser = create_json_parser();

std::string carrack_cpp(std::string prefix) {
    Walker walker;
    walker.feed_utf8(prefix);
    walker.append_suffix(prefix);
    return prefix;
}

std::string carrack_suffix_utf8(std::string_view prefix) {
    Walker walker;
    walker.feed_utf8(prefix);
    return walker.suffix();
}

std::string carrack_suffix_latin1(std::span<const unsigned char> prefix) {
    Walker walker;
    walker.feed_latin1(prefix);
    return walker.suffix();
}

std::string carrack_suffix_ucs2(std::u16string_view prefix) {
    Walker walker;
    walker.feed_ucs2(prefix);
    return walker.suffix();
}

std::string carrack_suffix_ucs4(std::u32string_view prefix) {
    Walker walker;
    walker.feed_ucs4(prefix);
    return walker.suffix();
}

}  // namespace carrack
