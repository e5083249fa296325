"""Hostile use of loads, complete_many, loads_many, carrack.arrow.complete and
carrack --lines: random and broken texts against their oracles (Stream, a
Python loop, json.loads), inputs that are not lists or change during the
call, and Arrow producers that break the C data interface's rules."""

import ctypes
import gc
import json
import random
import struct as packing
import subprocess
import sys
import threading
from collections import deque

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import carrack
import carrack.arrow
from arrow_capsules import (
    KEEP,
    POINTER,
    RELEASE_ARRAY,
    ArrowArray,
    ArrowSchema,
    Released,
    StreamProducer,
    _buffer,
    _capsule,
    _release_on_free,
    c_void_p,
    make_schema,
    read_array,
)
from batch_support import cut_texts
from carrack import _batch

PARTIALS = ["all", "strings", "closed"]


def outcome(function, *args, **kwargs):
    """A call's value (its repr: 1, 1.0 and True differ), or its exception's
    type, message and notes."""
    try:
        return ("value", repr(function(*args, **kwargs)))
    except Exception as error:
        return (type(error), str(error), getattr(error, "__notes__", None))


def stream_value(text, partial="all"):
    stream = carrack.Stream()
    stream.feed(text)
    return stream.value(partial)


def loop(function, rows, errors="raise"):
    """[function(row) for row in rows] under errors, None passing through."""
    results = []
    for i, row in enumerate(rows):
        if row is None:
            results.append(None)
            continue
        try:
            results.append(function(row))
        except Exception as error:
            if errors == "raise":
                return (type(error), str(error), [f"in row {i}"])
            results.append(None)
    return ("value", repr(results))


# --- loads against Stream and json.loads(complete(text)) ------------------------------

# Every str width (ASCII, Latin-1, UCS-2, astral), lone surrogates, and the
# grammar's own characters, so that random texts are often nearly JSON.
PIECES = list('[]{}",:0123456789-+.eE \n\t\\/u') + ["true", "false", "null", "\xe9", "\u20ac", "\U0001f600", "\ud800", "\x00"]
json_values = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats(allow_nan=False) | st.text(max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=5), inner, max_size=4),
    max_leaves=12,
)


@st.composite
def cut_json(draw):
    text = json.dumps(draw(json_values), ensure_ascii=draw(st.booleans()), indent=draw(st.sampled_from([None, 1])))
    return text[: draw(st.integers(0, len(text)))]


texts = cut_json() | st.lists(st.sampled_from(PIECES), max_size=30).map("".join) | st.text(max_size=30)
RANDOM = settings(max_examples=400, deadline=None, suppress_health_check=list(HealthCheck))


@RANDOM
@given(texts, st.sampled_from(PARTIALS))
def test_loads_equals_stream_on_random_texts(text, partial):
    assert outcome(carrack.loads, text, partial) == outcome(stream_value, text, partial)


@RANDOM
@given(texts)
def test_loads_equals_json_loads_of_the_completion(text):
    # strict=False: carrack takes raw control characters in strings, as JSON does not.
    try:
        expected = json.loads(carrack.complete(text), strict=False)
    except (RuntimeError, RecursionError, UnicodeEncodeError):
        # What complete refuses, loads refuses alike.
        with pytest.raises((RuntimeError, RecursionError, UnicodeEncodeError)):
            carrack.loads(text)
        return
    except ValueError:  # an integer beyond the digit limit
        return
    assert repr(carrack.loads(text)) == repr(expected)


@RANDOM
@given(texts, st.integers(0, 200), st.sampled_from([bytes, bytearray, memoryview]), st.sampled_from(PARTIALS))
def test_loads_of_bytes_cut_anywhere_equals_stream(text, cut, kind, partial):
    # Cut inside a character, and lone surrogates encoded (which is not UTF-8).
    data = text.encode("utf-8", "surrogatepass")[:cut]
    assert outcome(carrack.loads, kind(data), partial) == outcome(stream_value, data, partial)


@pytest.mark.parametrize(
    "text",
    [
        pytest.param("[" * 1_000_000, id="deepest-array"),
        pytest.param('{"a":' * 400_000, id="deep-objects"),
        pytest.param('[{"k": "' * 200_000, id="deep-mixed-open-strings"),
        pytest.param('{"a":' * 1_000_001, id="objects-too-deep"),
    ],
)
def test_loads_of_deep_nesting_equals_stream(text):
    # Compared by depth: repr of a million levels would itself overflow.
    def depth(function):
        try:
            value = function(text)
        except Exception as error:
            return type(error)
        levels = 0
        while isinstance(value, (list, dict)) and value:
            value = value[0] if isinstance(value, list) else next(iter(value.values()))
            levels += 1
        return levels

    assert depth(carrack.loads) == depth(stream_value)


# --- complete_many and loads_many against a loop ------------------------------------


def rows_of(seed, count):
    rows = cut_texts(random.Random(seed), count)
    rows[::17] = [None] * len(rows[::17])
    return rows


class Text(str):
    pass


SEQUENCES = [
    pytest.param(list, id="list"),
    pytest.param(tuple, id="tuple"),
    pytest.param(lambda rows: (row for row in rows), id="generator"),
    pytest.param(deque, id="deque"),
    pytest.param(type("Rows", (list,), {}), id="list-subclass"),
    pytest.param(lambda rows: dict.fromkeys(rows), id="dict"),
]


@pytest.mark.parametrize("make", SEQUENCES)
@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_many_of_any_iterable_equal_a_loop(make, threads, errors):
    rows = rows_of(threads, 2000)
    rows[1500:1500] = [17, Text("[1"), b"[1", "[1]]"] if errors == "null" else []
    expected = loop(carrack.complete, list(make(rows)), errors)
    assert outcome(carrack.complete_many, make(rows), errors=errors, threads=threads) == expected
    assert outcome(carrack.loads_many, make(rows), errors=errors) == loop(carrack.loads, list(make(rows)), errors)


def test_a_row_completed_with_nothing_appended_is_the_row_itself():
    rows = ['{"a": 1}', "[1", "2", '"' + "x" * 3000 + '"']
    for result, row, completed in zip(carrack.complete_many(rows), rows, map(carrack.complete, rows)):
        assert result == completed and (result is row) == (completed is row)


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize(
    "rows",
    [
        pytest.param(["", "[", " ", '"', "{"] * 40_000, id="many-tiny-rows"),
        pytest.param(['{"k": "' + "\u20ac" * 3_000_000, "[1", '"\U0001f600' * 1_000_000], id="huge-rows-every-width"),
        pytest.param(["[" * 999_999, "[" * 1_000_001, '{"a":' * 300_000], id="deep-rows"),
        pytest.param([None] * 5000 + ["[1"] + [None] * 5000, id="mostly-none"),
    ],
)
def test_extreme_batches_equal_a_loop(rows, threads):
    for errors in ("raise", "null"):
        assert outcome(carrack.complete_many, rows, errors=errors, threads=threads) == loop(carrack.complete, rows, errors)


@pytest.mark.parametrize("threads", [1, 2, 3, 8])
def test_the_first_bad_row_raises_whichever_window_it_falls_in(threads):
    # Rows in many windows and blocks of text: the index is the loop's, also
    # where a helper walks a later bad row's block before the first one's.
    base = rows_of(5, 6000)
    for at, later in ((0, 7), (15, 22), (2999, 5000), (5999, 6006), (40, 5990)):
        rows = list(base)
        rows.insert(at, "[1]]")
        rows.insert(later, 5)
        assert outcome(carrack.complete_many, rows, threads=threads) == loop(carrack.complete, rows)
        rows[at] = "[1]"
        assert outcome(carrack.complete_many, rows, threads=threads) == loop(carrack.complete, rows)
        assert outcome(carrack.complete_many, rows, threads=threads, errors="null") == loop(carrack.complete, rows, "null")


@pytest.mark.parametrize(
    ("threads", "expected"),
    [(0, ValueError), (-1, ValueError), (True, ValueError), (1.0, ValueError), ("2", ValueError), (10**30, None), (None, None)],
)
def test_threads_choices(threads, expected):
    rows = rows_of(6, 300)
    if expected is None:
        assert carrack.complete_many(rows, threads=threads) == [None if r is None else carrack.complete(r) for r in rows]
    else:
        with pytest.raises(expected):
            carrack.complete_many(rows, threads=threads)


@pytest.mark.parametrize("wanted", [-(2**62), -1, 0, 1, 2**31, 2**32 + 1, 2**62])
def test_the_native_call_takes_any_thread_count_that_fits_a_long(wanted):
    rows = rows_of(7, 400)
    assert _batch.complete_many(rows, True, wanted) == carrack.complete_many(rows, errors="null")


class Falsy:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "call",
    [
        pytest.param(lambda: _batch.complete_many(["[1"], Falsy(), 1), id="complete_many"),
        pytest.param(lambda: _batch.loads_many(["[1"], "all", Falsy()), id="loads_many"),
        pytest.param(lambda: _batch.arrow_complete_stream(object(), Falsy(), 1), id="arrow"),
    ],
)
def test_a_flag_whose_truth_raises_raises(call):
    with pytest.raises(ZeroDivisionError):
        call()


@pytest.mark.parametrize("texts", ["[1, 2", b"[1, 2", bytearray(b"[1"), memoryview(b"[1")])
def test_one_text_is_not_taken_for_many(texts):
    # Iterating it would complete each character (or byte value) as a row.
    with pytest.raises(TypeError, match="iterable of texts"):
        carrack.complete_many(texts)
    with pytest.raises(TypeError, match="iterable of texts"):
        carrack.loads_many(texts)


def test_a_generator_that_raises_part_way_raises_before_any_walk():
    def rows():
        yield "[1"
        raise KeyError("the source went away")

    for call in (carrack.complete_many, carrack.loads_many):
        with pytest.raises(KeyError, match="the source went away"):
            call(rows())


def test_a_list_changed_by_another_thread_during_the_call():
    # Rows are read as a loop reads them: each result is the completion of
    # what stood at its index at some moment, and nothing crashes.
    base = rows_of(8, 4000)
    variants = {i: {base[i], "[9"} for i in range(len(base))}
    rows = list(base)
    done = threading.Event()

    def meddle():
        rng = random.Random(1)
        while not done.is_set():
            i = rng.randrange(len(base))
            rows[i] = "[9" if rows[i] is base[i] else base[i]

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for _ in range(5):
            results = carrack.complete_many(rows, threads=2)
            assert len(results) == len(base)
            for i, result in enumerate(results):
                assert result in {None if v is None else carrack.complete(v) for v in variants[i]}
    finally:
        done.set()
        thread.join()


def test_a_list_emptied_by_a_finalizer_during_the_call():
    # A row's __del__ (run when another thread drops the last reference)
    # clears the list: the call stops where a loop would, and nothing crashes.
    for attempt in range(20):
        rows = ["[1"] * 20_000

        class Dropped(str):
            def __del__(self):
                rows.clear()

        rows.append(Dropped("x"))
        thread = threading.Thread(target=rows.__setitem__, args=(-1, "[2"))
        thread.start()
        results = carrack.complete_many(rows, errors="null", threads=2)
        thread.join()
        assert set(results) <= {"[1]", None, "[2]"} and len(results) <= 20_001


# --- Arrow: producers that break the rules ----------------------------------------


def raw_array(length, buffers, offset=0, null_count=0, released=None, no_buffers=False):
    pointers = [None if b is None else _buffer(b) for b in buffers]
    table = (c_void_p * max(len(pointers), 1))(*pointers)
    KEEP.append(table)
    array = ArrowArray()
    array.length, array.null_count, array.offset, array.n_buffers = length, null_count, offset, len(pointers)
    if not no_buffers:
        array.buffers = table

    @RELEASE_ARRAY
    def release(pointer):
        if released is not None:
            released.count += 1
        pointer.contents.release = RELEASE_ARRAY()

    KEEP.append(release)
    array.release = release
    return array


class Raw:
    """One array of the given buffers, as a producer that lies might hand it over."""

    def __init__(self, format_, length, buffers, offset=0, null_count=0, children=None, child_format=None, no_buffers=False):
        self.args = format_, length, buffers, offset, null_count, children, child_format, no_buffers
        self.released = Released()

    def __arrow_c_array__(self, requested_schema=None):
        format_, length, buffers, offset, null_count, children, child_format, no_buffers = self.args
        kids = [make_schema(child_format, self.released)] if child_format else []
        schema = make_schema(format_, self.released, kids)
        array = raw_array(length, buffers, offset, null_count, self.released, no_buffers)
        if children is not None:
            made = [ctypes.pointer(raw_array(*child, released=self.released)) for child in children]
            table = (POINTER(ArrowArray) * max(len(made), 1))(*made)
            KEEP.append(table)
            array.children, array.n_children = table, len(made)
        return (
            _capsule(schema, b"arrow_schema", _release_on_free(ArrowSchema, b"arrow_schema")),
            _capsule(array, b"arrow_array", _release_on_free(ArrowArray, b"arrow_array")),
        )


def i32(*values):
    return b"".join(packing.pack("<i", v) for v in values)


def i64(*values):
    return b"".join(packing.pack("<q", v) for v in values)


def view(size, data=b"", index=0, offset=0):
    if size <= 12:
        return packing.pack("<i", size) + data.ljust(12, b"\0")
    return packing.pack("<i4sii", size, data[:4], index, offset)


LONG = b"[1,2,3,4,5,6,7,8,9,10]"  # 22 bytes: out of line in a view
MALFORMED = "malformed Arrow array"
# (producer, what errors="raise" gives, what errors="null" gives): a row's own
# fault raises naming it or becomes null; a fault of the whole array raises.
HOSTILE = [
    pytest.param(Raw(b"u", 2, [None, i32(0, 5, 2), b"[1,2,3"]), "offsets that run backwards", ["[1,2,null]", None], id="offsets-backwards"),
    pytest.param(Raw(b"u", 1, [None, i32(-4, 2), b"[1,2"]), "offsets that run backwards", [None], id="offset-negative"),
    pytest.param(Raw(b"U", 1, [None, i64(5, 0), b"[1,2,3"]), "offsets that run backwards", [None], id="large-offsets-backwards"),
    pytest.param(Raw(b"u", 1, [None, i32(0, 5), None]), "without its data", [None], id="data-buffer-null"),
    pytest.param(Raw(b"u", 2, [None, i32(0, 0, 0), None]), None, ["null", "null"], id="data-null-all-empty"),
    pytest.param(Raw(b"u", 1, [None, None, b"[1"]), "without offsets", "without offsets", id="offsets-null"),
    pytest.param(Raw(b"u", 1, [None, i32(0, 2), b"[1"], no_buffers=True), "number of buffers", "number of buffers", id="buffers-null"),
    pytest.param(Raw(b"u", 1, [None, i32(0, 2), b"[1", None]), "number of buffers", "number of buffers", id="four-buffers"),
    pytest.param(Raw(b"vu", 1, [None, view(2, b"[1")]), "number of buffers", "number of buffers", id="view-two-buffers"),
    pytest.param(Raw(b"u", -1, [None, i32(0, 2), b"[1"]), "negative length", "negative length", id="negative-length"),
    pytest.param(Raw(b"u", 2, [None, i32(0, 2, 2), b"[1"], offset=2**63 - 1), "beyond any buffer", "beyond any buffer", id="offset-overflows"),
    pytest.param(Raw(b"vu", 1, [None, packing.pack("<i", -5) + bytes(12), i64()]), "negative length", [None], id="view-negative-size"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG, 3), LONG, i64(22)]), "missing buffer", [None], id="view-index-out"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG, -1), LONG, i64(22)]), "missing buffer", [None], id="view-index-negative"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG, 0, 10**6), LONG, i64(22)]), "past the end", [None], id="view-offset-out"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG, 0, -100), LONG, i64(22)]), "past the end", [None], id="view-offset-negative"),
    pytest.param(Raw(b"vu", 1, [None, view(200, LONG), LONG, i64(22)]), "past the end", [None], id="view-size-past-buffer"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG), None, i64(22)]), "past the end", [None], id="view-data-null"),
    pytest.param(Raw(b"vu", 1, [None, view(22, LONG), LONG, None]), "past the end", [None], id="view-sizes-null"),
    pytest.param(Raw(b"vu", 2, [None, view(22, LONG) + view(2, b"[1"), LONG, i64(22)]), None, ["[1,2,3,4,5,6,7,8,9,10]", "[1]"], id="view-exact-fit"),
    pytest.param(Raw(b"+s", 5, [None], child_format=b"u", children=[(1, [None, i32(0, 2), b"[1"])]), "run past its child", "run past its child", id="struct-longer-than-child"),
    pytest.param(Raw(b"+s", 1, [None], offset=3, child_format=b"u", children=[(1, [None, i32(0, 2), b"[1"])]), "run past its child", "run past its child", id="struct-offset-past-child"),
    pytest.param(Raw(b"+s", 1, [None], offset=1, child_format=b"u", children=[(2, [None, i32(0, 2, 4), b"[1[2"])]), None, ["[2]"], id="struct-offset-in-child"),
    pytest.param(Raw(b"+s", 1, [None], child_format=b"u", children=[]), "without its one child", "without its one child", id="struct-no-child"),
    pytest.param(Raw(b"+s", 1, [None], child_format=b"u", children=[(1, [None, i32(0, 2), b"[1"])] * 2), "without its one child", "without its one child", id="struct-two-children"),
]


@pytest.mark.parametrize(("producer", "raised", "nulled"), HOSTILE)
def test_hostile_arrays_are_refused_not_read(producer, raised, nulled):
    for errors, expected in (("raise", raised), ("null", nulled)):
        try:
            got = read_array(*carrack.arrow.complete(producer, errors=errors).__arrow_c_array__())
        except ValueError as error:
            got = str(error)
            assert got.startswith(MALFORMED) and isinstance(expected, str) and expected in got, (errors, got)
            continue
        if isinstance(expected, list):
            assert got == expected, errors
        else:
            assert expected is None and got == nulled, (errors, got)


class BrokenStream:
    """A stream producer (arrow_capsules.StreamProducer) with one fault put in."""

    def __init__(self, fault):
        self.inner = StreamProducer([["[1", None], ["{"]], "u", fail_after=1 if fault == "fails-dirty" else None)
        self.fault = fault

    def __arrow_c_stream__(self, requested_schema=None):
        capsule = self.inner.__arrow_c_stream__()
        from arrow_capsules import ArrowArrayStream, api

        stream = ArrowArrayStream.from_address(api.PyCapsule_GetPointer(capsule, b"arrow_array_stream"))
        if self.fault == "no-get-next":
            stream.get_next = type(stream.get_next)()
        elif self.fault == "no-get-schema":
            stream.get_schema = type(stream.get_schema)()
        elif self.fault == "no-last-error":
            stream.get_last_error = type(stream.get_last_error)()
            self.inner.fail_after = 1
        elif self.fault == "fails-dirty":
            # get_next fails after writing an array, release and all, into out:
            # what a failed call leaves is not the consumer's to release.
            from arrow_capsules import GET_NEXT

            # A field read shares the struct's memory: copy the pointer, or the
            # assignment below makes get_next call dirty itself.
            get_next = GET_NEXT(ctypes.cast(stream.get_next, ctypes.c_void_p).value)

            @GET_NEXT
            def dirty(pointer, out):
                code = get_next(pointer, out)
                if code:
                    out.contents.release = RELEASE_ARRAY(lambda _: pytest.fail("released a failed call's array"))
                    KEEP.append(out.contents.release)
                return code

            KEEP.append(dirty)
            stream.get_next = dirty
        return capsule


@pytest.mark.parametrize(
    ("fault", "error", "message"),
    [
        ("no-get-next", ValueError, "without its callbacks"),
        ("no-get-schema", ValueError, "without its callbacks"),
        ("no-last-error", OSError, "no message"),
        ("fails-dirty", OSError, "the producer lost its source"),
    ],
)
def test_hostile_streams_raise(fault, error, message):
    with pytest.raises(error, match=message):
        carrack.arrow.complete(BrokenStream(fault))


def test_a_producer_whose_buffers_change_during_the_walk():
    # Another thread rewrites the offsets while carrack reads them: the rows
    # come out wrong or refused, but what carrack writes stays in its buffers.
    rows = 20_000
    texts = [b"[1, 2, 3, 4]" * 3] * rows
    offsets = (ctypes.c_int32 * (rows + 1))(*range(0, 36 * (rows + 1), 36))
    data = ctypes.create_string_buffer(b"".join(texts), 36 * rows)
    KEEP.extend([offsets, data])
    released = Released()

    class Producer:
        def __arrow_c_array__(self, requested_schema=None):
            array = raw_array(rows, [None, b"", b""], released=released)
            array.buffers[1] = ctypes.addressof(offsets)
            array.buffers[2] = ctypes.addressof(data)
            return (
                _capsule(make_schema(b"u", released), b"arrow_schema", _release_on_free(ArrowSchema, b"arrow_schema")),
                _capsule(array, b"arrow_array", _release_on_free(ArrowArray, b"arrow_array")),
            )

    done = threading.Event()

    def meddle():
        rng = random.Random(2)
        while not done.is_set():
            i = rng.randrange(1, rows)
            offsets[i] = rng.choice([offsets[i - 1], 36 * i, offsets[i + 1]])

    thread = threading.Thread(target=meddle)
    thread.start()
    try:
        for _ in range(10):
            try:
                result = carrack.arrow.complete(Producer(), errors="null", threads=2)
            except ValueError:
                continue
            assert len(read_array(*result.__arrow_c_array__())) == rows
    finally:
        done.set()
        thread.join()


@pytest.mark.parametrize("type_", ["string", "large_string", "string_view"])
def test_slices_of_chunked_arrays_with_empty_chunks(type_):
    pa = pytest.importorskip("pyarrow")
    type_ = getattr(pa, type_)()
    texts = rows_of(9, 500)
    chunked = pa.chunked_array([pa.array(c, type=type_) for c in (texts[:100], [], texts[100:101], [], texts[101:])], type=type_)
    for start, stop in ((0, 0), (99, 102), (50, 450), (499, 500), (100, 101)):
        got = pa.chunked_array(carrack.arrow.complete(chunked[start:stop], errors="null")).to_pylist()
        assert got == [None if t is None else carrack.complete(t) for t in texts[start:stop]]


# --- carrack --lines ----------------------------------------------------------------


def run_lines(stdin, **kwargs):
    return subprocess.run([sys.executable, "-P", "-m", "carrack", "--lines"], input=stdin, capture_output=True, timeout=120, **kwargs)


@pytest.mark.parametrize(
    ("stdin", "stdout"),
    [
        pytest.param(b'{"k": "' + b"\xc3\xa9" * 3_000_000 + b"\n[1", b'{"k": "' + b"\xc3\xa9" * 3_000_000 + b'"}\n[1]\n', id="a-line-across-many-reads"),
        # One CR is the line end's; another is whitespace before the value.
        pytest.param(b"\n\r\n\r\r\n", b"null\nnull\n\rnull\n", id="blank-lines"),
        pytest.param(b'["a\x00b\n"\xe2\x80\xa8\x1c', b'["a\x00b"]\n"\xe2\x80\xa8\x1c"\n', id="nul-and-separators"),
        pytest.param(b'["ok"\n"\xc3\n[1', b'["ok"]\nnull\n[1]\n', id="a-character-cut-in-a-line"),
    ],
)
def test_lines_of_every_shape(stdin, stdout):
    result = run_lines(stdin)
    assert result.stdout == stdout
    assert result.stderr.decode().endswith(" rejected\n")


def test_lines_stop_quietly_when_the_reader_goes_away():
    data = b"\n".join([b'{"a": [1, 2'] * 400_000) + b"\n"
    process = subprocess.Popen(
        [sys.executable, "-P", "-m", "carrack", "--lines"], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE
    )

    def feed():
        try:
            process.stdin.write(data)
            process.stdin.close()
        except OSError:  # the command has stopped reading
            pass

    feeder = threading.Thread(target=feed, daemon=True)
    feeder.start()
    assert process.stdout.readline() == b'{"a": [1, 2]}\n'
    process.stdout.close()
    _, stderr = process.communicate(timeout=120)
    assert b"Traceback" not in stderr and process.returncode == 1


def test_release_callbacks_that_raise_are_reported_not_fatal():
    # A producer's release written in Python that raises: the exception goes
    # to sys.unraisablehook, each struct is still released once, and the
    # result stands.
    released = Released()

    @RELEASE_ARRAY
    def failing_release(pointer):
        released.count += 1
        pointer.contents.release = RELEASE_ARRAY()
        raise RuntimeError("the producer's release failed")

    KEEP.append(failing_release)

    class Producer:
        def __arrow_c_array__(self, requested_schema=None):
            array = raw_array(2, [None, i32(0, 2, 4), b"[1[2"])
            array.release = failing_release
            return (
                _capsule(make_schema(b"u", released), b"arrow_schema", _release_on_free(ArrowSchema, b"arrow_schema")),
                _capsule(array, b"arrow_array", _release_on_free(ArrowArray, b"arrow_array")),
            )

    reported = []
    hook, sys.unraisablehook = sys.unraisablehook, reported.append
    try:
        result = carrack.arrow.complete(Producer())
        gc.collect()
    finally:
        sys.unraisablehook = hook
    assert read_array(*result.__arrow_c_array__()) == ["[1]", "[2]"]
    assert released.count == 2 and [str(r.exc_value) for r in reported] == ["the producer's release failed"]
