"""Stream.value(), path, done and close() on chosen texts."""

import json
import math
import sys

import pytest
from values_support import canon

from carrack import Stream


def fed(*chunks):
    stream = Stream()
    for chunk in chunks:
        stream.feed(chunk)
    return stream


# text -> value under "all", "strings", "closed"
@pytest.mark.parametrize(
    ("text", "everything", "strings", "closed"),
    [
        ("", None, None, None),
        ("  ", None, None, None),
        ("12", 12, None, None),
        ("12 ", 12, 12, 12),
        ("-", 0, None, None),
        ("1.", 1.0, None, None),
        ("1e-", 1.0, None, None),
        ("fal", False, None, None),
        ("true", True, True, True),
        ('"ab', "ab", "ab", None),
        ('"ab\\', 'ab"', "ab", None),
        ('"ab\\u00e', "ab\u00e0", "ab", None),
        ('"\\ud83d', "\ud83d", "", None),
        ('"\\ud83d\\ude', "\U0001f600", "", None),
        ('"\\ud83d\\ude00', "\U0001f600", "\U0001f600", None),
        ('"\\ud83dx', "\ud83dx", "\ud83dx", None),
        ("[", [], [], []),
        ("[1, tr", [1, True], [1], [1]),
        ("[1,", [1, None], [1], [1]),
        ('[1, "x', [1, "x"], [1, "x"], [1]),
        ("[[1], [2", [[1], [2]], [[1], []], [[1], []]),
        ("{", {}, {}, {}),
        ('{"a', {"a": None}, {}, {}),
        ('{"a"', {"a": None}, {}, {}),
        ('{"a": ', {"a": None}, {}, {}),
        ('{"a": 1,', {"a": 1, "": None}, {"a": 1}, {"a": 1}),
        ('{"a": "x', {"a": "x"}, {"a": "x"}, {}),
        ('{"a": {"b": [', {"a": {"b": []}}, {"a": {"b": []}}, {"a": {"b": []}}),
        ('{"a": 1, "b": 2, "a": "x', {"a": "x", "b": 2}, {"a": "x", "b": 2}, {"a": 1, "b": 2}),
        ('{"a": 1, "b": 2, "a": 3}', {"a": 3, "b": 2}, {"a": 3, "b": 2}, {"a": 3, "b": 2}),
    ],
)
def test_policies(text, everything, strings, closed):
    stream = fed(text)
    assert canon(stream.value()) == canon(everything)
    assert canon(stream.value(partial="strings")) == canon(strings)
    assert canon(stream.value("closed")) == canon(closed)


# Conversions as json.loads makes them.
@pytest.mark.parametrize(
    ("text", "expected"),
    [
        ("-0 ", 0),
        ("-0.0 ", -0.0),
        ("1e400 ", math.inf),
        ("-1e400 ", -math.inf),
        ("0.1 ", 0.1),
        ("123456789012345678901234567890 ", 123456789012345678901234567890),
        ("-9223372036854775809 ", -9223372036854775809),
        ("2.5E+3 ", 2500.0),
        ('"\\"\\\\\\/\\b\\f\\n\\r\\t"', '"\\/\b\f\n\r\t'),
        ('"\\uDBFF\\uDFFF"', "\U0010ffff"),
        ('"\\udc00\\ud800"', "\udc00\ud800"),
        ('"\\ud800\\ud800\\udc00"', "\ud800\U00010000"),
        ('"raw\ttab\x00"', "raw\ttab\x00"),
        ('"é😀"', "é😀"),
    ],
)
def test_conversions(text, expected):
    assert canon(fed(text).value()) == canon(expected) == canon(json.loads(text, strict=False))


@pytest.mark.parametrize(
    ("text", "expected"),
    [("NaN ", math.nan), ("[1,NaN ]", [1, math.nan]), ('{"a":NaN ', {"a": math.nan})],
)
def test_nan_the_completion_makes_readable(text, expected):
    # the engine completes these to text json.loads reads; policies refuse them
    stream = fed(text)
    assert canon(stream.value()) == canon(expected)
    with pytest.raises(json.JSONDecodeError):
        stream.value("strings")


# Text no JSON continues from: the position is that of the first such character.
@pytest.mark.parametrize(
    ("text", "pos"),
    [
        ("x", 0),
        ("[1}", 2),
        ("NaN", 0),
        ("[1, NaN", 4),
        ("[-Infinity", 2),
        ('{"a" 1', 5),
        ("{1", 1),
        ('{"a": 1,}', 8),
        ("[1,]", 3),
        ("01", 1),
        ("1.e", 2),
        ("1e+", None),  # a valid prefix, for contrast
        ('"\\x', 2),
        ('"\\u12g', 5),
        ("tru ", 3),
        ("[1] 2", 4),
        ("\ufeff1", 0),
    ],
)
def test_malformed(text, pos):
    stream = Stream()
    try:
        stream.feed(text)
    except RuntimeError:
        pass  # some are rejected by the completion too
    if pos is None:
        stream.value()
        return
    for policy in ("all", "strings", "closed"):
        with pytest.raises(json.JSONDecodeError) as raised:
            stream.value(policy)
        assert raised.value.pos == pos
        assert raised.value.doc == text


def test_malformed_text_is_still_accepted():
    stream = fed("[1, x")
    stream.feed("y")
    assert stream.text == "[1, xy"
    with pytest.raises(json.JSONDecodeError):
        stream.value()


def test_integers_beyond_the_digit_limit_raise_value_error():
    digits = "9" * (sys.get_int_max_str_digits() + 1)
    for text in (digits, "[" + digits + ",", "[" + digits):
        with pytest.raises(ValueError, match="integer string conversion") as raised:
            fed(text).value()
        assert type(raised.value) is ValueError
    assert fed("[1, " + digits).value("closed") == [1]  # still open: not converted


# text -> path, done
@pytest.mark.parametrize(
    ("text", "path", "done"),
    [
        ("", (), False),
        ("1", (), False),
        ("1 ", (), True),
        ('"a', (), False),
        ('"a"', (), True),
        ("nul", (), False),
        ("null", (), True),
        ("[", (), False),
        ("[1", (0,), False),
        ("[1 ", (), False),
        ("[1,", (1,), False),
        ('[1, "x', (1,), False),
        ("[1, [", (1,), False),
        ("[1, [2, 3", (1, 1), False),
        ("[1, [2, 3]", (), False),
        ("[1, [2, 3]]", (), True),
        ("{", (), False),
        ('{"a', (), False),
        ('{"a"', ("a",), False),
        ('{"a":', ("a",), False),
        ('{"a": [1, {"b": "x', ("a", 1, "b"), False),
        ('{"a": [1, {"b": "x"', ("a", 1), False),
        ('{"a": 1,', (), False),
        ('{"a": 1, "b', (), False),
        ('{"a": 1}', (), True),
    ],
)
def test_path_and_done(text, path, done):
    stream = fed(*text)  # one character at a time
    assert stream.path == path
    assert stream.done is done


@pytest.mark.parametrize(
    "text",
    ["1", " -0.5e3 ", '"x"', "[1, 2]", '{"a": {"b": [null]}} ', "NaN", "Infinity", "-Infinity", '"\\ud800"'],
)
def test_close_returns_what_json_loads_returns(text):
    stream = Stream()
    try:
        stream.feed(text)
    except RuntimeError:
        pass  # the completion refuses the infinities, json.loads reads them
    assert canon(stream.close()) == canon(json.loads(text))


@pytest.mark.parametrize("text", ["", " ", "[", "[1,", '{"a"', '{"a":', '"ab', "1.", "-", "tru", "1 2", "[1}", "[1]]"])
def test_close_refuses_all_but_one_complete_value(text):
    stream = Stream()
    try:
        stream.feed(text)
    except RuntimeError:
        pass
    with pytest.raises(json.JSONDecodeError):
        stream.close()
    # A close() that fails changes nothing: the stream is still open.
    assert stream.text == text
    with pytest.raises(json.JSONDecodeError):
        stream.close()


def test_close_leaves_results_as_they_were():
    stream = fed("[1, 2")
    result = stream.value()
    with pytest.raises(json.JSONDecodeError):
        stream.close()
    assert result == [1, 2]


def test_closed_values_are_shared_and_open_ones_copied():
    stream = fed('{"done": [1, {"x": 2}], "open": [3')
    first = stream.value()
    stream.feed(", 4")
    second = stream.value()
    assert first == {"done": [1, {"x": 2}], "open": [3]}
    assert second == {"done": [1, {"x": 2}], "open": [3, 4]}
    assert first["done"] is second["done"]
    assert first["open"] is not second["open"]
    assert first is not second


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        (("some",), {}, ValueError),
        ((None,), {}, ValueError),
        (("all", "all"), {}, TypeError),
        ((), {"policy": "all"}, TypeError),
        (("all",), {"partial": "all"}, TypeError),
    ],
)
def test_bad_arguments(args, kwargs, error):
    with pytest.raises(error):
        fed("[1").value(*args, **kwargs)


@pytest.mark.parametrize(
    "chunks",
    [
        ['{"a": [1, "x', "é", '", 2.5], "b": tr'],
        ["[1, ", "\U0001f600", ', {"k": "\\u12'],
        ["[1] ", "x"],  # the second chunk is rejected, and kept in the text
    ],
)
def test_values_asked_for_late_read_the_whole_text(chunks):
    # The values are built from the first call that asks for them on.
    stream = Stream()
    for chunk in chunks:
        try:
            stream.feed(chunk)
        except RuntimeError:
            break
    text = stream.text
    try:
        expected = json.loads(stream.completion(), strict=False)
    except (RuntimeError, ValueError):
        with pytest.raises((RuntimeError, ValueError)):
            stream.value()
        return
    assert canon(stream.value()) == canon(expected)
    assert stream.text == text
