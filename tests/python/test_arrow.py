"""carrack.arrow.complete against a loop over carrack.complete: every string
layout (sliced arrays, string views inline and out of line), nulls, empty
arrays, chunked streams, structs of one column, bad rows under both errors
choices, and producers that release their arrays early or fail part way."""

import gc
import random

import pytest

import carrack
import carrack.arrow
from batch_support import BAD_ROWS, cut_texts

pa = pytest.importorskip("pyarrow")

TYPES = [pytest.param(t, id=str(t)) for t in (pa.string(), pa.large_string(), pa.string_view())]
# Rows the Arrow path can hold that complete refuses (no surrogates or non-str in Arrow).
ARROW_BAD = [p.values[0] for p in BAD_ROWS if isinstance(p.values[0], str) and type(p.values[0]) is str
             and not any(0xD800 <= ord(c) < 0xE000 for c in p.values[0][:3])]


def loop(rows, errors="raise"):
    """[complete(row) for row in rows], nulls passing through, as errors says."""
    results = []
    for i, row in enumerate(rows):
        if row is None:
            results.append(None)
            continue
        try:
            results.append(carrack.complete(row))
        except Exception as error:
            if errors == "raise":
                return (type(error), str(error), [f"in row {i}"])
            results.append(None)
    return results


def completed(array, **kwargs):
    """complete(array) read back through pyarrow, checked in full, or its exception."""
    try:
        result = carrack.arrow.complete(array, **kwargs)
    except Exception as error:
        return (type(error), str(error), getattr(error, "__notes__", None))
    if isinstance(result, carrack.arrow.Array):
        back = pa.array(result)
    else:
        back = pa.chunked_array(result)
    back.validate(full=True)
    assert len(result) == len(back) and result.null_count == back.null_count
    return back.to_pylist()


def rows(seed, count, nulls=True, bad=()):
    rng = random.Random(seed)
    texts = cut_texts(rng, count)
    for row in [None] * (count // 10 if nulls else 0) + list(bad):
        texts.insert(rng.randint(0, len(texts)), row)
    return texts


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize("type_", TYPES)
def test_every_layout_against_a_loop(type_, errors):
    texts = rows(1, 400, bad=ARROW_BAD if errors == "null" else ())
    array = pa.array(texts, type=type_)
    assert completed(array, errors=errors) == loop(texts, errors)
    result = carrack.arrow.complete(array, errors=errors)
    assert pa.array(result).type == type_ and result.format == {"string": "u", "large_string": "U"}.get(str(type_), "vu")


@pytest.mark.parametrize("type_", TYPES)
@pytest.mark.parametrize(("start", "stop"), [(0, 0), (7, 7), (5, 6), (13, 211), (1, 400), (399, 400)])
def test_sliced_arrays(type_, start, stop):
    texts = rows(2, 400)
    array = pa.array(texts, type=type_)[start:stop]
    assert completed(array) == loop(texts[start:stop])


@pytest.mark.parametrize("type_", TYPES)
def test_string_views_inline_and_out_of_line(type_):
    # Every length around the 12 bytes a view holds inline, before and after completing.
    doc = '{"ab": [1, "c\u00e9d", {"e": null}], "f": "ghijklmnop"}'
    texts = [doc[:n] for n in range(len(doc) + 1)] + ["", '"' + "x" * 10, '"' + "x" * 11, '"' + "x" * 12]
    array = pa.array(texts, type=type_)
    assert completed(array) == loop(texts)
    assert completed(array[9:30]) == loop(texts[9:30])


@pytest.mark.parametrize("type_", TYPES)
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_nulls_and_empty_arrays(type_, errors):
    for texts in ([], [None], [None] * 70, ["[1", None, ""], [None, "1 2", None]):
        assert completed(pa.array(texts, type=type_), errors=errors) == loop(texts, errors)


@pytest.mark.parametrize("type_", TYPES)
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_chunked_streams_number_rows_across_chunks(type_, errors):
    texts = rows(3, 300, bad=["[1]]"])
    chunks = [texts[:40], [], texts[40:41], texts[41:]]
    stream = pa.chunked_array([pa.array(c, type=type_) for c in chunks], type=type_)
    result = completed(stream, errors=errors)
    assert result == loop(texts, errors)
    if errors == "null":
        assert carrack.arrow.complete(stream, errors="null").__class__ is carrack.arrow.ChunkedArray
    assert completed(pa.chunked_array([], type=type_)) == []


def test_structs_of_one_string_column_and_their_nulls():
    texts = rows(4, 50)
    batch = pa.RecordBatch.from_pydict({"output": texts})
    assert completed(batch) == loop(texts)
    assert completed(pa.table({"output": texts}).to_reader(max_chunksize=7)) == loop(texts)
    mask = pa.array([i % 3 == 0 for i in range(len(texts))])
    struct = pa.StructArray.from_arrays([pa.array(texts)], names=["output"], mask=mask)[2:]
    expected = [None if i % 3 == 0 else t for i, t in enumerate(texts)][2:]
    assert completed(struct) == loop(expected)


@pytest.mark.parametrize(
    "array",
    [
        pytest.param(lambda: pa.array([1, 2]), id="int64"),
        pytest.param(lambda: pa.array(["a"]).dictionary_encode(), id="dictionary"),
        pytest.param(lambda: pa.array([b"[1"]), id="binary"),
        pytest.param(lambda: pa.RecordBatch.from_pydict({"a": ["[1"], "b": ["[2"]}), id="two-columns"),
        pytest.param(lambda: ["[1"], id="list"),
        pytest.param(lambda: "[1", id="str"),
    ],
)
def test_refuses_what_is_not_a_string_column(array):
    with pytest.raises(TypeError, match="carrack.arrow.complete takes"):
        carrack.arrow.complete(array())


class Replayed:
    """A producer that hands out the same capsules again: the first consumer
    has taken the array, so the second finds it released."""

    def __init__(self, source):
        self.capsules = source.__arrow_c_array__()
        pa.Array._import_from_c_capsule(*self.capsules)

    def __arrow_c_array__(self, requested_schema=None):
        return self.capsules


class ReplayedStream:
    def __init__(self, source):
        self.capsule = source.__arrow_c_stream__()
        pa.RecordBatchReader._import_from_c_capsule(self.capsule)

    def __arrow_c_stream__(self, requested_schema=None):
        return self.capsule


def test_a_released_array_or_stream_is_refused():
    with pytest.raises(ValueError, match="already released"):
        carrack.arrow.complete(Replayed(pa.array(["[1"])))
    with pytest.raises(ValueError, match="already released"):
        carrack.arrow.complete(ReplayedStream(pa.table({"output": ["[1"]})))


@pytest.mark.parametrize("type_", TYPES)
def test_the_result_outlives_its_input_and_every_export(type_):
    texts = rows(5, 100)
    array = pa.array(texts, type=type_)
    result = carrack.arrow.complete(array)
    del array
    gc.collect()  # the producer's buffers are gone: the result holds its own
    first = pa.array(result)
    second = pa.chunked_array(result)
    del result
    gc.collect()
    assert first.to_pylist() == second.to_pylist() == loop(texts)


def test_a_stream_that_fails_part_way_raises_its_error():
    schema = pa.schema([("output", pa.string())])

    def batches():
        yield pa.RecordBatch.from_pydict({"output": ["[1"]}, schema=schema)
        raise ValueError("the source went away")

    reader = pa.RecordBatchReader.from_batches(schema, batches())
    with pytest.raises(OSError, match="the source went away"):
        carrack.arrow.complete(reader)


@pytest.mark.parametrize("type_", TYPES)
def test_threads_give_the_same_buffers(type_):
    texts = rows(6, 5000)
    array = pa.array(texts, type=type_)
    one = pa.array(carrack.arrow.complete(array, threads=1))
    assert pa.array(carrack.arrow.complete(array, threads=2)).equals(one)
    assert pa.array(carrack.arrow.complete(array, threads=7)).equals(one)
    assert one.to_pylist() == loop(texts)
