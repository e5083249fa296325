"""Stream.events(), items(), JsonPatch and bytes: what the stream tells as the
text grows, against the values it gives and against other chunkings."""

import json
import os
from pathlib import Path

import jsonpatch
import pytest
from conftest import IN_CI, ROOT
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from values_support import canon, chunked, documents, shallow_documents

from carrack import ANY, JsonPatch, Stream

relaxed = settings(suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
CORPUS = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus"))
MISSING = object()


def told(event):
    return (event.kind, event.path, canon(event.value) if event.kind == "end" else event.value)


def merged(events):
    """Events with consecutive appends to one string joined: what no chunking changes."""
    out = []
    for kind, path, value in events:
        if kind == "append" and out and out[-1][0] == "append" and out[-1][1] == path:
            out[-1] = ("append", path, out[-1][2] + value)
        else:
            out.append((kind, path, value))
    return out


def events_of(chunks, **options):
    """The merged events of a text fed in chunks, and the error that ends them."""
    stream = Stream(**options)
    out = []
    try:
        for chunk in [*chunks, ""]:  # the last call only tells an error that waits
            stream.feed(chunk)
            out += [told(e) for e in stream.events()]
    except ValueError as error:
        out.append(("error", (), type(error)))
    return merged(out)


class Rebuilt:
    """A document made from events alone."""

    def __init__(self):
        self.root = MISSING
        self.started = set()

    def at(self, path):
        node = self.root
        for step in path:
            node = node[step]
        return node

    def put(self, path, value):
        if not path:
            self.root = value
            return
        parent = self.at(path[:-1])
        if isinstance(parent, list) and path[-1] == len(parent):
            parent.append(value)
        else:
            parent[path[-1]] = value

    def apply(self, event):
        kind, path, value = event
        if kind == "start":
            self.started.add(path)
            self.put(path, {"object": {}, "array": [], "string": ""}[value])
        elif kind == "append":
            self.put(path, self.at(path) + value)
        elif path in self.started:
            self.started.discard(path)
            assert self.at(path) == value, path
        else:
            self.put(path, value)

    def value(self):
        return None if self.root is MISSING else self.root


def check_rebuilt_after_every_chunk(chunks, same=lambda a, b: canon(a) == canon(b)):
    stream, rebuilt = Stream(), Rebuilt()
    ends = {}
    for chunk in chunks:
        stream.feed(chunk)
        try:
            events = stream.events()
            expected = stream.value("strings")
        except ValueError:  # an integer beyond the digit limit
            return None
        for event in events:
            rebuilt.apply(event)
            if event.kind == "end":
                ends[event.path] = event.value
        assert same(rebuilt.value(), expected)
    return stream, ends


@relaxed
@given(chunked(documents))
def test_events_rebuild_the_value_after_every_chunk(case):
    text, chunks = case
    checked = check_rebuilt_after_every_chunk(chunks)
    if checked is None:
        return
    # The last end at each path is the final value there.
    try:
        final = json.loads(text)
    except ValueError:  # an integer beyond the digit limit, at the root
        return
    for path, value in checked[1].items():
        node = final
        try:
            for step in path:
                if not isinstance(node, (dict, list)):
                    raise TypeError(step)  # a string is no container, though it takes an index
                node = node[step]
        except (KeyError, IndexError, TypeError):
            continue  # a member a later duplicate key replaced
        assert canon(value) == canon(node), path


@st.composite
def utf8_pieces(draw, text):
    """text as UTF-8, cut at any bytes, characters included."""
    data = text.encode()
    cuts = sorted(draw(st.sets(st.integers(1, max(1, len(data) - 1)), max_size=12)))
    bounds = [0, *(c for c in cuts if c < len(data)), len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


@settings(relaxed, max_examples=100)
@given(chunked(documents), st.data())
def test_chunking_changes_no_event(case, data):
    text, chunks = case
    assert events_of(chunks) == events_of([text])
    pieces = data.draw(utf8_pieces(text))
    kinds = data.draw(st.sampled_from([bytes, bytearray, memoryview]))
    assert events_of([kinds(piece) for piece in pieces]) == events_of([text])


def matches(path, pattern):
    if pattern and pattern[-1] is Ellipsis:
        pattern = pattern[:-1]
        path = path[: len(pattern)]
    return len(path) == len(pattern) and all(p is ANY or p == s for s, p in zip(path, pattern))


@st.composite
def selections(draw, text):
    """Patterns made from paths the document has, with ANY and ... in them."""
    paths = sorted({e[1] for e in events_of([text])} | {()}, key=repr)
    patterns = []
    for path in draw(st.lists(st.sampled_from(paths), min_size=1, max_size=3)):
        pattern = tuple(ANY if draw(st.integers(0, 3)) == 0 else step for step in path)
        if draw(st.booleans()):
            pattern += (...,)
        patterns.append(pattern)
    return patterns


@relaxed
@given(chunked(shallow_documents), st.data())
def test_a_selection_only_filters(case, data):
    text, chunks = case
    patterns = data.draw(selections(text))
    everything = events_of(chunks)
    wanted = [e for e in everything if e[0] == "error" or any(matches(e[1], p) for p in patterns)]
    assert events_of(chunks, select=patterns) == merged(wanted)


@relaxed
@given(chunked(shallow_documents), st.data())
def test_items_are_the_members_that_end(case, data):
    text, chunks = case
    everything = events_of(chunks)
    containers = {path: value for kind, path, value in everything if kind == "start" and value != "string"}
    if not containers or everything[-1][0] == "error":
        return
    path = data.draw(st.sampled_from(sorted(containers, key=repr)))
    pattern = tuple(ANY if data.draw(st.integers(0, 3)) == 0 else step for step in path)
    stream, got = Stream(), []
    for chunk in chunks:
        stream.feed(chunk)
        got += stream.items(pattern)
    expected, open_kinds = [], {}
    for kind, at, value in everything:
        if kind == "start":
            open_kinds[at] = value
        elif kind == "end" and at and matches(at[:-1], pattern):
            expected.append(value if open_kinds[at[:-1]] == "array" else (at[-1], value))
    assert [canon(item) if not isinstance(item, tuple) else (item[0], canon(item[1])) for item in got] == expected


@relaxed
@given(chunked(documents))
def test_json_patch_builds_the_value_after_every_chunk(case):
    _, chunks = case
    stream, writer, document = Stream(), JsonPatch(), None
    appending, pieces = JsonPatch(append=True), []
    for chunk in chunks:
        stream.feed(chunk)
        try:
            events = stream.events()
            expected = stream.value("strings")
        except ValueError:  # an integer beyond the digit limit
            return
        document = jsonpatch.apply_patch(document, writer.ops(events), in_place=True)
        pieces += appending.ops(events)
        assert canon(document) == canon(expected)
    assert all(op["op"] in ("add", "append") for op in pieces)


@pytest.mark.parametrize("raw", [[(...,)], [()], [("a",)], [("a", ANY)]])
def test_json_patch_passes_over_raw_text(raw):
    # A stream that also hands out raw text gives the same patch.
    text = '{"a": [1, {"b": "x"}, 2.5], "c": "y"}'
    plain, both = Stream(), Stream(raw=raw)
    writer, raw_writer = JsonPatch(), JsonPatch()
    ops, with_raw = [], []
    for i in range(0, len(text), 3):
        plain.feed(text[i : i + 3])
        both.feed(text[i : i + 3])
        ops += writer.ops(plain.events())
        with_raw += raw_writer.ops(both.events())
    assert with_raw == ops
    assert jsonpatch.apply_patch(None, with_raw) == json.loads(text)


# --- Chosen cases ----------------------------------------------------------


def test_a_tool_call_told_piece_by_piece():
    stream = Stream(select=[("content",), ("steps", ANY)])
    told_so_far = []
    for chunk in ['{"content": "a\\u00e9\\ud83d', '\\ude00 b", "steps": [{"n"', ": 1}, 2", ", [3]]}"]:
        stream.feed(chunk)
        told_so_far.append([tuple(e) for e in stream.events()])
    assert told_so_far == [
        [("start", ("content",), "string"), ("append", ("content",), "aé")],
        [("append", ("content",), "😀 b"), ("end", ("content",), "aé😀 b"), ("start", ("steps", 0), "object")],
        [("end", ("steps", 0), {"n": 1})],
        [("end", ("steps", 1), 2), ("start", ("steps", 2), "array"), ("end", ("steps", 2), [3])],
    ]


@pytest.mark.parametrize(
    ("text", "events"),
    [
        ("12", []),  # a top-level number needs what follows it
        ("12 ", [("end", (), 12)]),
        ('{"ke', [("start", (), "object")]),  # keys give no events
        ('["", "ab\\', [("start", (), "array"), ("start", (0,), "string"), ("end", (0,), ""),
                        ("start", (1,), "string"), ("append", (1,), "ab")]),  # a cut escape waits
        ('[tr', [("start", (), "array")]),
    ],
)
def test_what_is_told_at_a_cut(text, events):
    stream = Stream()
    stream.feed(text)
    assert [tuple(e) for e in stream.events()] == events


def test_close_ends_a_top_level_number():
    stream = Stream()
    stream.feed("-1.5")
    assert stream.events() == []
    assert stream.close() == -1.5
    assert [tuple(e) for e in stream.events()] == [("end", (), -1.5)]


@pytest.mark.parametrize(
    ("chunks", "first", "error"),
    [
        (["[1, x"], [("start", (), "array"), ("end", (0,), 1)], json.JSONDecodeError),
        (["[1, NaN, 2]"], [("start", (), "array"), ("end", (0,), 1)], json.JSONDecodeError),
        (["1 ", "2"], [("end", (), 1)], json.JSONDecodeError),
        (["[", "[" * 1_000_000], None, RecursionError),
    ],
    ids=["malformed", "NaN", "rejected", "too deep"],
)
def test_what_is_told_before_an_error_then_the_error(chunks, first, error):
    stream = Stream()
    for chunk in chunks:
        try:
            stream.feed(chunk)
        except RuntimeError:
            pass
    got = stream.events()
    if first is not None:
        assert [tuple(e) for e in got] == first
    with pytest.raises(error):
        stream.events()
    try:
        stream.items(())  # the members that ended before the error
    except error:
        pass
    with pytest.raises(error):
        stream.items(())


def test_asking_later_tells_everything_once():
    stream = Stream()
    stream.feed('{"a": [1, 2], "b": "x')
    assert stream.value() == {"a": [1, 2], "b": "x"}
    assert stream.items(("a",)) == [1, 2]
    first = [tuple(e) for e in stream.events()]
    assert first[-1] == ("append", ("b",), "x")
    assert stream.items(("a",)) == []
    assert stream.items(()) == [("a", [1, 2])]
    assert stream.items((ANY,)) == [1, 2]  # the members of every member of the root
    stream.feed('y", "c": [3]}')
    assert [tuple(e) for e in stream.events()][0] == ("append", ("b",), "y")
    assert stream.items(("a",)) == []
    assert stream.items(()) == [("b", "xy"), ("c", [3])]
    assert stream.items((ANY,)) == [3]


@pytest.mark.parametrize(
    ("select", "error"),
    [
        ([["a"]], TypeError),
        ([("a", 1.5)], TypeError),
        ([("a", -1)], ValueError),
        (5, TypeError),
    ],
)
def test_bad_selections(select, error):
    with pytest.raises(error):
        Stream(select=select)


@pytest.mark.parametrize(
    ("pieces", "text"),
    [
        ([b'["caf\xc3', b'\xa9", "\xf0\x9f', b'\x98\x80"]'], '["café", "😀"]'),
        ([bytearray(b'{"a": 1'), memoryview(b"}")], '{"a": 1}'),
    ],
)
def test_bytes_split_inside_characters(pieces, text):
    stream = Stream()
    for piece in pieces[:-1]:
        stream.feed(piece)
        assert text.startswith(stream.text)
    stream.feed(pieces[-1])
    assert stream.text == text
    assert stream.close() == json.loads(text)


@pytest.mark.parametrize("bad", [b"\xff", b"\xed\xa0\x80", b"\xc3\x28"])
def test_invalid_utf8_changes_nothing(bad):
    stream = Stream()
    stream.feed(b'["a", "\xc3')
    with pytest.raises(UnicodeDecodeError):
        stream.feed(bad)
    assert stream.text == '["a", "'
    stream.feed(b'\xa9"]')
    assert stream.close() == ["a", "é"]


def test_bytes_ending_inside_a_character_do_not_close():
    stream = Stream()
    stream.feed(b'"caf\xc3')
    with pytest.raises(UnicodeDecodeError):
        stream.close()
    with pytest.raises(ValueError, match="bytes"):
        stream.feed("x")


# --- Real documents --------------------------------------------------------


def corpus(*names):
    files = [CORPUS / name for name in names]
    if not all(f.exists() for f in files):
        if IN_CI:
            pytest.fail(f"corpus missing: {CORPUS}")
        pytest.skip("corpus not present")
    return files


@pytest.mark.parametrize("name", ["twitter.json", "citm_catalog.json", "canada.json"])
def test_corpus_documents_in_64_kb_chunks(name):
    (path,) = corpus(name)
    text = path.read_text()
    chunks = [text[i : i + 65536] for i in range(0, len(text), 65536)]
    stream, ends = check_rebuilt_after_every_chunk(chunks, same=lambda a, b: a == b)
    assert ends[()] == json.loads(text)


def test_jsontestsuite_documents_one_character_at_a_time():
    (suite,) = corpus("jsontestsuite/test_parsing")
    for path in sorted(suite.glob("y_*.json")):
        try:
            text = path.read_bytes().decode()
        except UnicodeDecodeError:
            continue
        if "NaN" in text or "Infinity" in text:
            continue
        check_rebuilt_after_every_chunk(list(text))
        pieces = [bytes([b]) for b in text.encode()]
        assert events_of(pieces) == events_of([text]), path.name
