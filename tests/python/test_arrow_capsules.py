"""carrack.arrow with no Arrow library: arrays and streams made and read with
ctypes (arrow_capsules.py), so these run wherever the tests run, under the
sanitizers too. Each producer counts its release callbacks: carrack must
release what it was handed exactly once, never before it is done reading, and
what it hands out must outlive the result object and one another."""

import gc
import random

import pytest

import carrack
import carrack.arrow
from arrow_capsules import ArrayProducer, StreamProducer, read_array, read_stream
from batch_support import cut_texts

LAYOUTS = ["u", "U", "vu"]


def loop(rows, errors="raise"):
    results = []
    for i, row in enumerate(rows):
        try:
            results.append(None if row is None else carrack.complete(row))
        except Exception as error:
            if errors == "raise":
                return (type(error), str(error), [f"in row {i}"])
            results.append(None)
    return results


def texts(seed, count):
    rng = random.Random(seed)
    rows = cut_texts(rng, count)
    for row in [None, None, None, "", '"' + "x" * 11, '"' + "y" * 12]:
        rows.insert(rng.randint(0, len(rows)), row)
    return rows


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("offset", [0, 1, 13])
@pytest.mark.parametrize("threads", [1, 3])
def test_arrays_against_a_loop_released_once(layout, offset, threads):
    rows = texts(offset, 300)
    producer = ArrayProducer(rows, layout, offset)
    result = carrack.arrow.complete(producer, threads=threads)
    gc.collect()
    assert producer.released.count == 2  # the schema and the array, once each
    assert len(result) == len(rows) and result.null_count == rows.count(None) and result.format == layout
    assert read_array(*result.__arrow_c_array__()) == loop(rows)
    assert read_stream(result.__arrow_c_stream__()) == (layout.encode(), [loop(rows)])


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("errors", ["raise", "null"])
def test_bad_rows_raise_with_their_index_or_become_null(layout, errors):
    rows = texts(1, 100)
    rows.insert(77, "[1]]")
    rows.insert(90, "[" * 1_000_001)
    producer = ArrayProducer(rows, layout)
    try:
        outcome = read_array(*carrack.arrow.complete(producer, errors=errors).__arrow_c_array__())
    except Exception as error:
        outcome = (type(error), str(error), error.__notes__)
    assert outcome == loop(rows, errors)
    gc.collect()
    assert producer.released.count == 2


@pytest.mark.parametrize("layout", LAYOUTS)
def test_streams_of_chunks_released_once(layout):
    rows = texts(2, 200)
    chunks = [rows[:50], [], rows[50:51], rows[51:]]
    producer = StreamProducer(chunks, layout)
    result = carrack.arrow.complete(producer)
    gc.collect()
    # the stream, its schema, and each chunk's array
    assert producer.released.count == 2 + len(chunks)
    assert not hasattr(result, "__arrow_c_array__")
    fmt, back = read_stream(result.__arrow_c_stream__())
    assert fmt == layout.encode() and back == [loop(c) for c in chunks]
    with pytest.raises(OSError, match="the producer lost its source"):
        carrack.arrow.complete(StreamProducer(chunks, layout, fail_after=2))


def test_what_is_handed_out_outlives_the_result():
    rows = texts(3, 50)
    result = carrack.arrow.complete(ArrayProducer(rows, "vu"))
    pair = result.__arrow_c_array__()
    stream = result.__arrow_c_stream__()
    del result
    gc.collect()
    assert read_array(*pair) == loop(rows)
    assert read_stream(stream)[1] == [loop(rows)]


@pytest.mark.parametrize("errors", ["raise", "null"])
def test_a_view_into_a_missing_buffer_is_refused_not_read(errors):
    rows = ['{"long enough": [1, 2', "[1"]
    producer = ArrayProducer(rows, "vu", broken_view=True)
    if errors == "raise":
        with pytest.raises(ValueError, match="malformed Arrow array"):
            carrack.arrow.complete(producer)
    else:
        result = carrack.arrow.complete(producer, errors="null")
        assert read_array(*result.__arrow_c_array__()) == [None, "[1]"]
