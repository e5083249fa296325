"""Stream(stop_at_end=True) and Stream(raw=[...]): a value inside other text,
fed in chunks of every size as str or as UTF-8 bytes split anywhere, against
json.JSONDecoder().raw_decode and the value's own slice of the text."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from carrack import ANY, Stream
from spans_support import WIDTHS, chunked, containers, matches, pieces, spans, written

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
        # What follows the value is the caller's, even when it is not UTF-8 or holds a lone surrogate.
        ([b"[1]\xff\xfe"], [3], True),
        ([b"12\xff"], [2], True),
        ([b"12", b"\xff"], [2, 0], True),
        (["[1] \ud800"], [3], True),
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


@pytest.mark.parametrize("chunks", [[b'"a\xff'], [b'"\xc3', b"\xff"], ['"\ud800"'], ["[1, ", "\ud800]"]])
def test_stop_at_end_refuses_what_the_value_goes_on_into_and_changes_nothing(chunks):
    stream = Stream(stop_at_end=True)
    for chunk in chunks[:-1]:
        stream.feed(chunk)
    text = stream.text
    with pytest.raises(UnicodeError):
        stream.feed(chunks[-1])
    assert stream.text == text and not stream.done


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


# --- raw ------------------------------------------------------------------

RAW = [[()], [(ANY,)], [(ANY, ...)], [(...,)], [(ANY, ANY)], [(), (ANY,), (ANY, ANY, ...)], [("k",), (0,), (ANY, 1)]]
SELECT = [None, [], [(ANY,)], [(ANY, ...)]]


def raw_texts(events):
    joined = {}
    for event in events:
        if event.kind == "raw":
            assert isinstance(event.value, str) and event.value, event
            joined[event.path] = joined.get(event.path, "") + event.value
    return joined


def slices(text, raw):
    where = {}
    spans(text, 0, (), where)
    return {path: text[a:b] for path, (a, b) in where.items() if any(matches(p, path, ANY) for p in raw)}


def events_of(stream, chunks, every_chunk):
    events = []
    if every_chunk:
        stream.events()  # subscribe before anything is fed
    for chunk in chunks:
        stream.feed(chunk)
        if every_chunk:
            events += stream.events()
    stream.close()  # a number at the root ends there
    return events + stream.events()


@given(written(), st.sampled_from(["", " \n"]), st.sampled_from(RAW), st.sampled_from(SELECT), st.booleans(), st.data())
def test_raw_fragments_join_to_each_values_slice(value_text, before, raw, select, every_chunk, data):
    text = before + value_text[1] + " "
    chunks, _ = data.draw(chunked(text))
    events = events_of(Stream(raw=raw, select=select), chunks, every_chunk)
    assert raw_texts(events) == slices(text, raw)
    # The other events are those of a stream without raw, and raw text lies
    # between a value's start and its end.
    plain = events_of(Stream(select=select), chunks, every_chunk)
    assert [e for e in events if e.kind != "raw"] == plain
    for path in raw_texts(events):
        at = [i for i, e in enumerate(events) if e.path == path]
        kinds = [events[i].kind for i in at]
        if "start" in kinds:
            assert kinds[0] == "start"
        if "end" in kinds:
            assert kinds[-1] == "end"


@given(written(containers), st.sampled_from(AFTER), st.data())
def test_raw_with_stop_at_end_as_a_tool_call_parser_uses_it(value_text, after, data):
    value, arguments = value_text
    text = '{"name": "f\u00e9", "arguments": ' + arguments + "}" + after
    end = DECODER.raw_decode(text)[1]
    chunks, as_bytes = data.draw(chunked(text))
    stream = Stream(select=[("name",)], raw=[("arguments",)], stop_at_end=True)
    stream.events()
    taken, events = 0, []
    for chunk in chunks:
        taken += stream.feed(chunk)
        events += stream.events()
    assert stream.done and taken == (len(text[:end].encode()) if as_bytes else end)
    assert raw_texts(events) == {("arguments",): arguments}
    name_end = next(i for i, e in enumerate(events) if e.kind == "end")
    assert events[name_end].value == "f\u00e9"
    assert all(e.kind == "raw" for e in events[name_end + 1 :])
    assert json.loads(raw_texts(events)[("arguments",)]) == value


@pytest.mark.parametrize(
    ("raw", "text", "expected"),
    [
        ([()], "-12.5e+3", {(): "-12.5e+3"}),
        ([(0,)], "[ 7 , 8 ]", {(0,): "7"}),
        ([("a",)], '{"a" :\t"x\\"\\u00e9\\ud83d\\ude00" }', {("a",): '"x\\"\\u00e9\\ud83d\\ude00"'}),
        ([("a",)], '{"a": {"b" : [ true , null ] } }', {("a",): '{"b" : [ true , null ] }'}),
        ([(ANY, ...)], '{"a": [1, {"b": false}]}',
         {("a",): '[1, {"b": false}]', ("a", 0): "1", ("a", 1): '{"b": false}', ("a", 1, "b"): "false"}),
    ],
)
def test_raw_cases(raw, text, expected):
    for size in (1, 2, len(text)):
        chunks = pieces(text, list(range(size, len(text), size)))
        assert raw_texts(events_of(Stream(raw=raw, select=[]), chunks, True)) == expected
        assert raw_texts(events_of(Stream(raw=raw, select=[]), chunks, False)) == expected


def test_raw_goes_out_as_it_is_fed_and_a_late_subscriber_is_told_once():
    stream = Stream(raw=[("a",)], select=[])
    stream.feed('{"a": [12')
    assert [tuple(e) for e in stream.events()] == [("raw", ("a",), "[12")]
    stream.feed("3, ")
    stream.feed('"x')
    assert [e.value for e in stream.events()] == ["3, ", '"x']
    stream.feed('y"]}')
    assert [e.value for e in stream.events()] == ['y"]']
    assert stream.events() == []
