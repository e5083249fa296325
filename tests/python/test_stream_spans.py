"""Stream(stop_at_end=True) and Stream(raw=[...]): a value inside other text,
fed in chunks of every size as str or as UTF-8 bytes split anywhere, against
json.JSONDecoder().raw_decode and the value's own slice of the text."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from carrack import ANY, Stream
from spans_support import WIDTHS, chunked, pieces, written

# Text a caller may have after the value: never a character that could go on a number.
AFTER = ["", " ", "\n</tool_call>", "x", ",", "]", "{}", *WIDTHS[1:], " \U0001f600 tail"]
DECODER = json.JSONDecoder()


def feed_counting(stream, chunks):
    """Feeds every chunk; checks each count is a prefix of its chunk and that
    nothing is taken once a chunk was left part way. Returns the total."""
    total, over = 0, False
    for chunk in chunks:
        n = stream.feed(chunk)
        assert isinstance(n, int) and 0 <= n <= len(chunk)
        if over:
            assert n == 0
        total += n
        over = over or n < len(chunk)
    return total


@given(written(), st.sampled_from(["", " ", "\n\t "]), st.sampled_from(AFTER), st.data())
def test_stop_at_end_takes_exactly_the_value(value_text, before, after, data):
    value, text = value_text
    whole = before + text + after
    end = DECODER.raw_decode(whole, len(before))[1]
    chunks, as_bytes = data.draw(chunked(whole))
    stream = Stream(stop_at_end=True)
    taken = feed_counting(stream, chunks)
    number_cut_by_the_end = after == "" and isinstance(value, (int, float)) and not isinstance(value, bool)
    if number_cut_by_the_end:
        assert not stream.done
        end = len(whole)
    else:
        assert stream.done
        assert stream.feed(b"1" if as_bytes else "1") == 0
    assert taken == (len(whole[:end].encode()) if as_bytes else end)
    assert stream.text == whole[:end]
    assert json.dumps(stream.value()) == json.dumps(value)
    assert json.dumps(stream.close()) == json.dumps(value)


@pytest.mark.parametrize(
    ("chunks", "counts", "done"),
    [
        (["12", "3<"], [2, 1], True),
        (["12", "3"], [2, 1], False),
        (["-0.5e", "+3", " x"], [5, 2, 0], True),
        (["0", "1"], [1, 0], True),  # "0" takes no more digits
        ([b"12", b"3\xc3", b"\xa9"], [2, 1, 0], True),  # a cut character ends a number...
        ([b'"\xc3', b'\xa9"\xc3', b"\xa9"], [2, 2, 0], True),  # ...and is taken inside a string
        ([b"[1", b"]\xe2\x82", b"\xac"], [2, 1, 0], True),
        (["  ", "\n", "true", " "], [2, 1, 4, 0], True),
        ([" nul"], [4], False),
    ],
)
def test_stop_at_end_counts(chunks, counts, done):
    stream = Stream(stop_at_end=True)
    assert [stream.feed(chunk) for chunk in chunks] == counts
    assert stream.done is done


def test_stop_at_end_events_end_a_root_number_once():
    stream = Stream(stop_at_end=True)
    stream.events()
    stream.feed("12")
    assert stream.events() == []
    stream.feed("3 ")
    assert [tuple(e) for e in stream.events()] == [("end", (), 123)]
    late = Stream(stop_at_end=True)
    late.feed("45")
    late.feed("6}")
    assert [tuple(e) for e in late.events()] == [("end", (), 456)]
    assert late.events() == [] and late.close() == 456 and late.events() == []


@pytest.mark.parametrize("text", ['{"a" 1}', "[1 2] x", "nul\U0001f600 x", '"\\x"'])
def test_stop_at_end_text_that_is_not_json_ends_and_value_raises(text):
    stream = Stream(stop_at_end=True)
    stream.feed(text)
    with pytest.raises(json.JSONDecodeError):
        stream.value()
    with pytest.raises(json.JSONDecodeError):
        stream.close()


def test_stop_at_end_and_multiple_values_exclude_each_other():
    with pytest.raises(ValueError):
        Stream(stop_at_end=True, multiple_values=True)


def test_without_stop_at_end_feed_returns_none():
    assert Stream().feed("[1") is None
