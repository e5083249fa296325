"""carrack.loads against Stream and json.loads(complete(text)); complete_many
and loads_many against a Python loop, for every errors choice and every kind
of bad row, on one thread and several."""

import json
import random

import pytest

import carrack
from batch_support import BAD_ROWS, cut_bytes, cut_texts

PARTIALS = ["all", "strings", "closed"]


def outcome(function, *args, **kwargs):
    """What a call gives: its value's repr (1, 1.0 and True differ), or its
    exception's type, message and notes."""
    try:
        return ("value", repr(function(*args, **kwargs)))
    except Exception as error:
        return (type(error), str(error), getattr(error, "__notes__", None))


def stream_value(text, partial="all"):
    stream = carrack.Stream()
    stream.feed(text)
    return stream.value(partial)


# --- loads ---------------------------------------------------------------------


def test_loads_equals_stream_and_json_loads_of_the_completion():
    rng = random.Random(24)
    completed = 0
    for text in cut_texts(rng, 400):
        for partial in PARTIALS:
            assert outcome(carrack.loads, text, partial) == outcome(stream_value, text, partial), (text, partial)
        try:
            expected = json.loads(carrack.complete(text))
        except ValueError:  # an integer beyond the digit limit: both raise
            continue
        assert repr(carrack.loads(text)) == repr(expected)
        completed += 1
    assert completed > 300


@pytest.mark.parametrize("kind", [bytes, bytearray, memoryview])
def test_loads_of_utf8_cut_anywhere_equals_stream(kind):
    rng = random.Random(7)
    for data in cut_bytes(rng, 150):
        for partial in PARTIALS:
            assert outcome(carrack.loads, kind(data), partial=partial) == outcome(stream_value, data, partial), data


@pytest.mark.parametrize(
    "text",
    [
        "1 2",
        "[1]]",
        "[NaN",
        '{"a": tru',
        "[" * 1_000_001,
        '["\ud800"',
        b'"\xff',
        b'["ok", "\xed\xa0\x80"',  # an encoded surrogate is not UTF-8
        "[" + "7" * 5000,  # beyond sys.get_int_max_str_digits()
        "{1",
        '{"a" 1',
        "-",
        "[1.5e",
        "",
        "   ",
    ],
)
@pytest.mark.parametrize("partial", PARTIALS)
def test_loads_raises_what_stream_raises(text, partial):
    assert outcome(carrack.loads, text, partial) == outcome(stream_value, text, partial)


@pytest.mark.parametrize(
    ("args", "kwargs", "error"),
    [
        ((17,), {}, TypeError),
        ((None,), {}, TypeError),
        (("[1",), {"partial": "some"}, ValueError),
        (("[1", None), {}, ValueError),
        (("[1",), {"strict": True}, TypeError),
        ((), {}, TypeError),
        (("[1", "all", "extra"), {}, TypeError),
    ],
)
def test_loads_refuses_wrong_arguments(args, kwargs, error):
    with pytest.raises(error):
        carrack.loads(*args, **kwargs)


# --- complete_many and loads_many against a loop --------------------------------


def loop(function, rows, errors):
    """What [function(row) for row in rows] gives under errors, None passing through."""
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
    return repr(results)


def many(function, rows, **kwargs):
    try:
        return repr(function(rows, **kwargs))
    except Exception as error:
        return (type(error), str(error), getattr(error, "__notes__", None))


def mixed_rows(seed, count, bad):
    """count corpus cuts with Nones, and the bad rows put in at random places."""
    rng = random.Random(seed)
    rows = cut_texts(rng, count)
    for row in [None, None, "", *bad]:
        rows.insert(rng.randint(0, len(rows)), row)
    return rows


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize("threads", [1, 2, 5])
@pytest.mark.parametrize(("row", "error"), BAD_ROWS)
def test_complete_many_equals_a_loop_with_a_bad_row(row, error, threads, errors):
    rows = mixed_rows(f"{threads} {errors}", 300, [row])
    result = many(carrack.complete_many, rows, errors=errors, threads=threads)
    assert result == loop(carrack.complete, rows, errors)
    if errors == "raise":
        assert result[0] is error


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize("threads", [1, 2])
def test_complete_many_across_blocks_and_threads(threads, errors):
    # Enough text for several threads and many blocks, every bad row in it.
    rows = mixed_rows(3, 3000, [param.values[0] for param in BAD_ROWS] if errors == "null" else [])
    assert many(carrack.complete_many, rows, errors=errors, threads=threads) == loop(carrack.complete, rows, errors)
    if errors == "raise":
        rows.insert(2900, "[1]]")
        rows.insert(2950, 5)
        assert many(carrack.complete_many, rows, threads=threads) == loop(carrack.complete, rows, "raise")


@pytest.mark.parametrize("errors", ["raise", "null"])
@pytest.mark.parametrize(("row", "error"), [*BAD_ROWS, pytest.param(b'"\xff', UnicodeDecodeError, id="not-utf8")])
@pytest.mark.parametrize("partial", PARTIALS)
def test_loads_many_equals_a_loop_with_a_bad_row(row, error, partial, errors):
    # loads takes bytes and str subclasses, which complete refuses: the loop says what each gives.
    rows = mixed_rows(11, 60, [row, b'{"k": "caf\xc3', bytearray(b"[1, 2"), memoryview(b"[true")])
    result = many(carrack.loads_many, rows, partial=partial, errors=errors)
    assert result == loop(lambda text: carrack.loads(text, partial), rows, errors)


def test_many_take_any_iterable_and_return_lists():
    texts = ['{"a": [1', "[tr", None]
    assert carrack.complete_many(iter(texts)) == ['{"a": [1]}', "[true]", None]
    assert carrack.complete_many(tuple(texts), threads=3) == ['{"a": [1]}', "[true]", None]
    assert carrack.loads_many(t for t in texts) == [{"a": [1]}, [True], None]
    assert carrack.complete_many([]) == [] and carrack.loads_many([]) == []


@pytest.mark.parametrize(
    ("call", "error"),
    [
        (lambda: carrack.complete_many(["[1"], errors="ignore"), ValueError),
        (lambda: carrack.complete_many(["[1"], threads=0), ValueError),
        (lambda: carrack.complete_many(["[1"], threads=True), ValueError),
        (lambda: carrack.complete_many(["[1"], threads=1.5), ValueError),
        (lambda: carrack.complete_many(17), TypeError),
        (lambda: carrack.loads_many(["[1"], partial="most"), ValueError),
        (lambda: carrack.loads_many(["[1"], errors=None), ValueError),
    ],
)
def test_many_refuse_wrong_arguments(call, error):
    with pytest.raises(error):
        call()


def test_complete_many_reads_a_list_that_a_row_iterator_changes():
    # The rows are taken before any walk; a list changed afterwards changes nothing.
    rows = ["[1", "[2"]

    def grow():
        for row in rows:
            yield row
        rows.append("[3")

    assert carrack.complete_many(grow()) == ["[1]", "[2]"]


# --- carrack --lines ----------------------------------------------------------------


def run_lines(stdin, *args):
    import subprocess
    import sys

    from conftest import ROOT

    return subprocess.run(
        [sys.executable, "-m", "carrack", "--lines", *args], input=stdin, capture_output=True, cwd=ROOT.parent, timeout=120
    )


@pytest.mark.parametrize(
    ("stdin", "stdout", "rejected"),
    [
        (b"", b"", 0),
        (b'{"a": [1, tr\n[1]]\n"caf', b'{"a": [1, true]}\nnull\n"caf"\n', 1),  # no newline at the end
        (b'[1\r\n{"b": "\xc3\xa9\r\n', b'[1]\n{"b": "\xc3\xa9"}\n', 0),  # CRLF
        (b'"\xff\n\n[\n', b"null\nnull\n[]\n", 1),  # not UTF-8; an empty line completes to null
        (b"[" * 1_000_001 + b"\n[2\n", b"null\n[2]\n", 1),
    ],
)
def test_lines_one_output_line_per_input_line(stdin, stdout, rejected):
    result = run_lines(stdin)
    assert result.stdout == stdout
    lines = stdout.count(b"\n")
    assert result.stderr.decode() == f"{lines:,} lines, {rejected:,} rejected\n"  # no progress off a terminal
    assert result.returncode == (1 if rejected else 0)


def test_lines_across_many_reads_equal_complete_many():
    rows = [t.replace("\n", " ").replace("\r", " ") for t in cut_texts(random.Random(9), 3000)]
    data = "\n".join(rows).encode() + b"\n"
    assert len(data) > 1 << 20  # more than one read of 1 MiB
    result = run_lines(data)
    expected = [b"null" if r is None else r.encode() for r in carrack.complete_many(rows, errors="null")]
    assert result.stdout.split(b"\n")[:-1] == expected


def test_lines_takes_no_text():
    assert run_lines(b"", "[1").returncode == 2


def test_lines_shows_progress_on_a_terminal():
    import os
    import pty
    import subprocess
    import sys

    from conftest import ROOT

    master, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-m", "carrack", "--lines"],
            input=b"[1\n[2]]\n",
            stdout=subprocess.PIPE,
            stderr=terminal,
            cwd=ROOT.parent,
            timeout=60,
        )
    finally:
        os.close(terminal)
    shown = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the terminal's other end is closed
            break
        if not chunk:
            break
        shown += chunk
    os.close(master)
    assert result.stdout == b"[1]\nnull\n"
    # Redrawn in place, cleared, then the count for good.
    assert b"\r2 lines, 1 rejected" in shown and shown.endswith(b"\r\x1b[K2 lines, 1 rejected\r\n")
