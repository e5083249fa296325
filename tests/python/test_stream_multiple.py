"""Stream(multiple_values=True): a sequence of JSON values (JSON Lines, or
values separated by whitespace) fed in chunks of every size, as str or as
UTF-8 bytes split anywhere, against json.loads of each value."""

import json

import pytest
from hypothesis import given
from hypothesis import strategies as st

from carrack import ANY, Stream
from spans_support import chunked, matches, pieces, spans, written


def is_number(value):
    return isinstance(value, (int, float)) and not isinstance(value, bool)


@st.composite
def sequences(draw):
    """(values, text): values written one after another, each with whitespace
    around it, none where the grammar can tell them apart."""
    items = draw(st.lists(written(), max_size=5))
    text, values = draw(st.sampled_from(["", " ", "\n"])), []
    for i, (value, written_value) in enumerate(items):
        if i > 0:
            needs = is_number(values[-1]) or items[i - 1][1][-1].isalpha()
            text += draw(st.sampled_from([" ", "\n", "\r\n", "\t "] if needs else ["", " ", "\n"]))
        text += written_value
        values.append(value)
    return values, text + draw(st.sampled_from(["", "\n", " \n"]))


def canon(values):
    return json.dumps(values)


def ends(text, count):
    """Where each of the first count values of text ends."""
    out, at = [], 0
    for _ in range(count):
        at = spans(text, at, (), {})
        out.append(at)
    return out


@given(sequences(), st.booleans(), st.data())
def test_values_and_items_are_each_value_as_json_loads_reads_it(sequence, ask_every_chunk, data):
    values, text = sequence
    chunks, as_bytes = data.draw(chunked(text))
    stream = Stream(multiple_values=True)
    items = stream.items(()) if ask_every_chunk else []
    fed = b"" if as_bytes else ""
    for chunk in chunks:
        assert stream.feed(chunk) is None
        fed += chunk
        if ask_every_chunk:
            items += stream.items(())
            # Each value as soon as it has ended: a number once a character follows it.
            read = len(fed.decode("utf-8", "ignore")) if as_bytes else len(fed)
            ended = [v for v, end in zip(values, ends(text, len(values))) if end < read or (end == read and not is_number(v))]
            assert canon(items) == canon(ended)
            so_far = stream.value("closed")
            assert canon(so_far[: len(items)]) == canon(values[: len(items)])
    assert canon(stream.close()) == canon(values)
    assert canon(items + stream.items(())) == canon(values)
    assert stream.done and stream.text == text


@given(sequences(), st.data())
def test_events_paths_begin_with_the_ordinal(sequence, data):
    values, text = sequence
    chunks, _ = data.draw(chunked(text))
    stream = Stream(multiple_values=True, select=[(ANY,)], raw=[(ANY, ...)])
    events = stream.events()
    for chunk in chunks:
        stream.feed(chunk)
        events += stream.events()
    stream.close()
    events += stream.events()
    ends = [e for e in events if e.kind == "end"]
    assert [e.path for e in ends] == [(i,) for i in range(len(values))]
    assert canon([e.value for e in ends]) == canon(values)
    where = {}
    at = 0
    for i in range(len(values)):
        inner = {}
        at = spans(text, at, (), inner)
        where.update({(i, *path): span for path, span in inner.items()})
    raw = {}
    for e in events:
        if e.kind == "raw":
            raw[e.path] = raw.get(e.path, "") + e.value
    assert raw == {path: text[a:b] for path, (a, b) in where.items()}


def test_json_lines_one_line_at_a_time():
    lines = ['{"id": 1, "tags": ["a", "\u00e9"]}', "[1, 2.5, null]", '"\U0001f600"', "17", "true"]
    stream = Stream(multiple_values=True)
    got = []
    for line in lines:
        for half in pieces(line + "\n", [len(line) // 2]):
            stream.feed(half)
        got += stream.items(())
    assert got == [json.loads(line) for line in lines]
    assert stream.value() == got and stream.done and stream.path == ()


@pytest.mark.parametrize(
    ("chunks", "value", "closed", "done", "path", "suffix"),
    [
        ([], [], [], True, (), ""),
        (["  "], [], [], True, (), ""),
        (["{}{}", '[1]"a'], [{}, {}, [1], "a"], [{}, {}, [1]], False, (3,), '"'),
        (["1 2"], [1, 2], [1], False, (1,), ""),
        (['[1] {"k": [tr'], [[1], {"k": [True]}], [[1], {"k": []}], False, (1, "k", 0), "ue]}"),
    ],
)
def test_a_sequence_so_far(chunks, value, closed, done, path, suffix):
    stream = Stream(multiple_values=True)
    for chunk in chunks:
        stream.feed(chunk)
    assert stream.value() == value and stream.value("closed") == closed
    assert stream.done is done and stream.path == path and stream.suffix == suffix
    assert stream.completion() == "".join(chunks) + suffix


@pytest.mark.parametrize("text", ['[1] {"a"', "1 2 [", '"x', "{} ]", "1 x"])
def test_close_raises_for_an_unfinished_or_broken_last_value(text):
    stream = Stream(multiple_values=True)
    try:
        stream.feed(text)
    except RuntimeError:
        pass  # refused outright: bytes that no value begins with
    with pytest.raises(json.JSONDecodeError):
        stream.close()


def test_a_number_ended_by_close_is_told_once_even_when_read_again():
    stream = Stream(multiple_values=True)
    stream.events()
    stream.feed("1 22")
    assert stream.close() == [1, 22]
    assert [e.value for e in stream.events() if e.kind == "end"] == [1, 22]
    assert stream.items(()) == [1, 22]  # a new subscription reads the text again
    assert stream.events() == [] and stream.close() == [1, 22] and stream.events() == []
