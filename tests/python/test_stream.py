"""carrack.Stream: after every feed it must say what carrack() says of the text
fed so far, however that text was cut into chunks."""

import array
import os
import random
import re
from pathlib import Path

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import carrack as carrack_module
from carrack import Stream
from carrack.carrack import carrack
from test_properties import documents

ROOT = Path(__file__).resolve().parents[2]
SUITE = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus")) / "jsontestsuite" / "test_parsing"
FILES = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []
MAX_DEPTH = 1_000_000
CHECKS_PER_TEXT = 500  # the deeply nested files: comparing after every one of 250,000 feeds would be quadratic
JSON_ALPHABET = '{}[],:"\\ \n0123456789-+.eEtrufalsn'
SURROGATES = ["\ud800", "\udbff", "\udc80", "\udfff"]
SURROGATE = re.compile("[\ud800-\udfff]")


# A stream raises its own subclasses of what carrack() raises for the same text.
STREAM_ERRORS = {carrack_module.RejectedTextError: RuntimeError, carrack_module.NestingTooDeepError: RecursionError}


def outcome(call):
    try:
        return ("value", call())
    except Exception as error:  # noqa: BLE001 - the type and message are what is compared
        return (STREAM_ERRORS.get(type(error), type(error)), str(error))


def check_stream(chunks):
    """Feeds the chunks, comparing the stream with carrack() on its text after
    every feed (after evenly spread feeds and every failing one, for very many
    chunks)."""
    stream = Stream()
    text = ""
    failure = None  # what carrack(text) raises, once it does
    stride = max(1, len(chunks) // CHECKS_PER_TEXT)
    for i, chunk in enumerate(chunks):
        fed = outcome(lambda: stream.feed(chunk))
        checked = i % stride == 0 or i == len(chunks) - 1
        if failure is not None:
            assert fed == failure, chunk  # a failed stream refuses every chunk
        elif SURROGATE.search(chunk):
            assert fed == outcome(lambda: chunk.encode("utf-8")), chunk  # refused whole
        else:
            text += chunk
            if checked or fed[0] != "value":
                expected = outcome(lambda: carrack(text))
                if expected[0] != "value":
                    failure = expected
                assert fed == (failure or ("value", None)), (text, chunk)
                checked = True
        if not checked:
            continue
        expected = outcome(lambda: carrack(text))
        assert stream.text == text
        assert outcome(stream.completion) == expected, text
        suffix = ("value", expected[1][len(text):]) if expected[0] == "value" else expected
        assert outcome(lambda: stream.suffix) == suffix, text


def split(text, cuts):
    cuts = [0, *sorted(cuts), len(text)]
    return [text[a:b] for a, b in zip(cuts, cuts[1:])]


@st.composite
def chunked(draw, texts):
    text = draw(texts)
    how = draw(st.sampled_from(["characters", "random", "whole"]))
    if how == "characters":
        return list(text)
    if how == "whole":
        return [text]
    return split(text, draw(st.lists(st.integers(0, len(text)), max_size=len(text) + 2)))  # repeats: empty chunks


texts = st.one_of(
    documents(),
    st.tuples(documents(), st.text(JSON_ALPHABET, max_size=4)).map("".join),  # a value, then more
    st.text(JSON_ALPHABET, max_size=60),
    st.text(st.sampled_from([*JSON_ALPHABET, "é", "€", "😀", *SURROGATES]), max_size=40),
    st.text(st.one_of(st.characters(), st.sampled_from(SURROGATES))),
)


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(chunked(texts))
def test_stream_agrees_with_carrack_after_every_feed(chunks):
    check_stream(chunks)


def chunkings(text, seed):
    rng = random.Random(seed)
    cuts, end = [], 0
    while end < len(text):
        end += rng.randint(1, 16)
        cuts.append(min(end, len(text)))
    return {"characters": list(text), "random": split(text, cuts), "whole": [text]}


@pytest.mark.parametrize("how", ["characters", "random", "whole"])
@pytest.mark.parametrize("path", [pytest.param(p, id=p.name) for p in FILES] or [pytest.param(None, id="no-corpus")])
def test_stream_agrees_with_carrack_on_jsontestsuite(path, how):
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"JSONTestSuite not found at {SUITE}")
        pytest.skip(f"JSONTestSuite not found at {SUITE}")
    # Bytes that are not UTF-8 become lone surrogates, which the stream refuses chunk by chunk.
    text = path.read_bytes().decode("utf-8", "surrogateescape")
    check_stream(chunkings(text, path.name)[how])


# ---------------------------------------------------------------------------
# The API's own error cases
# ---------------------------------------------------------------------------


@pytest.mark.parametrize(("chunk", "name"), [(1, "int"), (None, "NoneType"), (array.array("b"), "array.array"),
                                             (["["], "list")])
def test_a_chunk_neither_text_nor_bytes_is_a_type_error_that_changes_nothing(chunk, name):
    stream = Stream()
    stream.feed("[1")
    with pytest.raises(TypeError) as info:
        stream.feed(chunk)
    expected = "str, bytes, bytearray or memoryview"
    assert str(info.value) == f"Argument 'chunk' has incorrect type (expected {expected}, got {name})"
    assert (stream.text, stream.suffix) == ("[1", "]")


@pytest.mark.parametrize("chunk", ["\ud800", ', "b\udfffc"', "2\udc80]", "😀\ud83d\ude00"])
def test_chunk_with_a_lone_surrogate_is_refused_whole(chunk):
    stream = Stream()
    stream.feed('["a"')
    with pytest.raises(UnicodeEncodeError) as info:
        stream.feed(chunk)
    with pytest.raises(UnicodeEncodeError) as direct:
        chunk.encode("utf-8")
    assert str(info.value) == str(direct.value)
    assert stream.text == '["a"'
    stream.feed(', "é"')
    assert stream.completion() == '["a", "é"]'


@pytest.mark.parametrize(
    ("chunks", "error"),
    [
        (["{}", " x"], RuntimeError),
        (["[1]", "]"], RuntimeError),
        (['"a', '" "b"'], RuntimeError),
        (["1", " ", "2"], RuntimeError),
        (["[" * MAX_DEPTH, "["], RecursionError),
        (["[" * (MAX_DEPTH - 1), "[[1]"], RecursionError),
    ],
    ids=["after-object", "extra-closer", "second-string", "second-number", "one-too-deep", "too-deep-mid-chunk"],
)
def test_failure_is_sticky(chunks, error):
    stream = Stream()
    for chunk in chunks[:-1]:
        stream.feed(chunk)
    text = "".join(chunks)
    with pytest.raises(error) as first:
        stream.feed(chunks[-1])
    with pytest.raises(error) as direct:
        carrack(text)
    # carrack() raises exactly the built-in type; the stream its own subclass of it.
    own = {RuntimeError: carrack_module.RejectedTextError, RecursionError: carrack_module.NestingTooDeepError}[error]
    assert type(direct.value) is error and type(first.value) is own
    assert str(first.value) == str(direct.value)
    for again in (lambda: stream.suffix, stream.completion, lambda: stream.feed(""), lambda: stream.feed("]"),
                  lambda: stream.feed("\ud800")):
        with pytest.raises(error) as info:
            again()
        assert type(info.value) is type(first.value) and str(info.value) == str(first.value)
    assert stream.text == text


@pytest.mark.parametrize(
    ("args", "kwargs", "message"),
    [
        # each interpreter's own wording
        ((), {"chunk": "["}, r"^(Stream\(\) got an unexpected keyword argument 'chunk'|"
                              r"'chunk' is an invalid keyword argument for Stream\(\))$"),
        (("[",), {}, r"^Stream\(\) takes no positional arguments$"),
        ((None,), {}, r"^Stream\(\) takes no positional arguments$"),
    ],
)
def test_stream_takes_only_a_selection(args, kwargs, message):
    with pytest.raises(TypeError, match=message):
        Stream(*args, **kwargs)


def test_feeds_after_a_long_text_walk_only_their_chunk():
    # Ten megabytes of a string, then thousands of one-character feeds. Each feed
    # walks its own character, so this is quick; a stream that walked its text
    # again on every feed would spend minutes here. The suffix must be what it
    # is after a one-character string body.
    head = '{"log": ["' + "x" * 10_000_000
    stream = Stream()
    stream.feed(head)
    tail = ""
    for i in range(4_000):
        character = 'ab\\"\\u00e9", "'[i % 14]
        stream.feed(character)
        tail += character
        assert stream.suffix == carrack('{"log": ["x' + tail)[len('{"log": ["x') + len(tail):]
    assert stream.completion() == head + tail + stream.suffix
