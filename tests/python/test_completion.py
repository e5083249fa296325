"""Completions through the Python function, byte for byte."""

import pytest

from carrack.carrack import carrack

REJECTED = None

CASES = [
    # the empty prefix and whitespace
    ("", "null"),
    ("  ", "  null"),
    ("  [ ", "  [ ]"),
    # literals
    ("n", "null"),
    ("fa", "false"),
    ("tru", "true"),
    ("true", "true"),
    ("true ", "true "),
    ("x", "xull"),
    # numbers
    ("-", "-0"),
    ("-0.", "-0.0"),
    ("1e", "1e0"),
    ("1E-", "1E-0"),
    ("12.5", "12.5"),
    # strings and escapes
    ('"', '""'),
    ('"ab', '"ab"'),
    ('"a\\', '"a\\""'),
    ('"\\\\', '"\\\\"'),
    ('"\\u', '"\\u0000"'),
    ('"\\u12a', '"\\u12a0"'),
    ('"\\uABCD5', '"\\uABCD5"'),
    ('"a\tb', '"a\tb"'),
    ('"\\x', '"\\x"'),
    # objects
    ("{", "{}"),
    ("{ ", "{ }"),
    ('{"', '{"":null}'),
    ('{"a', '{"a":null}'),
    ('{"a" ', '{"a" :null}'),
    ('{"a":', '{"a":null}'),
    ('{"a":1 ', '{"a":1 }'),
    ('{"a":1,', '{"a":1,"":null}'),
    # arrays and nesting
    ("[", "[]"),
    ("[1,", "[1,null]"),
    ("[1, ", "[1, null]"),
    ("[t", "[true]"),
    ("[1, 2", "[1, 2]"),
    ("[[[", "[[[]]]"),
    ('{"a":[1,{"b":"', '{"a":[1,{"b":""}]}'),
    ('{"a": [1, {"b": tr', '{"a": [1, {"b": true}]}'),
    ('{"a": [1, tr', '{"a": [1, true]}'),
    ("[1}", "[1}"),
    ("[1,]", "[1,]ull]"),
    # rejected: bytes left over after the value
    ("01", REJECTED),
    ('"a"b', REJECTED),
    ("[1]]", REJECTED),
    ("1 2", REJECTED),
    ("true x", REJECTED),
    ("{} {}", REJECTED),
]

UNICODE_CASES = [
    # 2-byte UTF-8, latin-1 str
    ('{"k": "café', '{"k": "café"}'),
    ("é", "éll"),  # "null" takes the two bytes of é as its first two letters
    # 3-byte UTF-8, UCS-2 str
    ('["€ ', '["€ "]'),
    ('{"日本": "語', '{"日本": "語"}'),
    # 4-byte UTF-8, UCS-4 str
    ('{"emoji": "😀', '{"emoji": "😀"}'),
    ('["😀", "a\\ud83d\\ude00', '["😀", "a\\ud83d\\ude00"]'),
    # NUL characters pass through whole
    ('"a\0b', '"a\0b"'),
    ("\0", "\0ull"),
    ('[1, "\0\0', '[1, "\0\0"]'),
    # non-ASCII where the grammar takes bytes unexamined
    ('"\\é', '"\\é"'),
    ("[1,é", "[1,éll]"),
    ("1é", REJECTED),
]


@pytest.mark.parametrize(("prefix", "expected"), CASES + UNICODE_CASES)
def test_completion(prefix, expected):
    if expected is REJECTED:
        with pytest.raises(RuntimeError) as info:
            carrack(prefix)
        assert str(info.value) == "Given prefix is not from a valid JSON string!"
        assert type(info.value) is RuntimeError
    else:
        # equality with the literal also holds the result to the narrowest
        # storage kind, as decoding the engine's UTF-8 output would give
        result = carrack(prefix)
        assert type(result) is str and result == expected
        assert carrack(prefix=prefix) == expected


@pytest.mark.parametrize(
    "prefix",
    ["\ud800", '"\udfff', '{"a": "x\ud83d', "😀\udc00", "é\ud800", '"' + "€" * 300_000 + "\udfff"],
    ids=["alone", "string", "object", "ucs4", "latin1", "long, walked without the GIL"],
)
def test_lone_surrogates_raise_the_interpreters_encode_error(prefix):
    with pytest.raises(UnicodeEncodeError) as info:
        carrack(prefix)
    with pytest.raises(UnicodeEncodeError) as expected:
        prefix.encode("utf-8")
    assert str(info.value) == str(expected.value)


def test_complete_prefix_comes_back_equal():
    text = '{"a": [1, 2.5, "x"], "b": null}'
    assert carrack(text) == text


def test_package_reexport_does_not_shadow_the_module():
    import carrack as package
    import carrack.carrack as module

    assert package.carrack is module
    assert package.complete is module.carrack
