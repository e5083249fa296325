"""Allocation failures driven on purpose, at every step of every Stream call.

Two injectors: CPython's (_testcapi.set_nomemory, every Python allocation from
the n-th on fails) and the C++ one (tests/support/fail_allocations.cpp,
preloaded: the n-th operator new fails). For each, every call is swept over
n = 1, 2, ... until it no longer fails; after each failure the stream must
answer exactly as a stream that never saw the call, then take the rest of the
text and end with json.loads' value. Each sweep runs in a subprocess, so that
a crash fails the test instead of the run."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from conftest import IN_CI, ROOT, run_python

SOURCE = ROOT / "tests" / "support" / "fail_allocations.cpp"

SWEEP = r'''
import ctypes, json, os
from carrack import ANY, Stream

if injector == "cpp":
    library = ctypes.CDLL(os.environ["CARRACK_FAIL_ALLOCATIONS"])
    def arm(n): library.carrack_fail_allocation(n)
    def fired(): return bool(library.carrack_allocation_failed())
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n, 0)
    def fired(): _testcapi.remove_mem_hooks(); return None  # cannot tell

# One character of each storage width of a str: ASCII, Latin-1, UCS-2, UCS-4.
WIDTHS = {"ascii": "", "latin1": "\u00e9", "ucs2": "\u0100", "ucs4": "\U0001f600"}
ORDER = list(WIDTHS)

def document(before, chunk):
    prefix = '{"alpha": [1000, "x' + WIDTHS[before] + 'yz'
    middle = ('", {"beta": [2000, 3.5, true], "gamma": "y' + WIDTHS[chunk]
              + 'y\\u00e9", "alpha": {}, "delta": {}}, -4000')
    return prefix, middle, ', null, [5000]]}'

BYTES = ("bytes", "stop_bytes")

def fresh(mode, text):
    if mode == "selected":
        stream = Stream(select=[("alpha", ANY, ...)])
    elif mode == "raw":  # raw text of values nested in one another, and no other events
        stream = Stream(select=[], raw=[("alpha", ANY, ...)])
    elif mode == "multiple":  # a sequence, whose values' paths begin with their ordinal
        stream = Stream(multiple_values=True, select=[(ANY, "alpha", 1), (ANY,)], raw=[(0, "alpha", 2)])
    elif mode == "stop_events":  # events alone, without building values
        stream = Stream(select=[("alpha", ANY)], raw=[("alpha", 1), ("alpha", 1, ...)], stop_at_end=True, values=False)
    elif mode.startswith("stop"):  # one value inside other text
        stream = Stream(select=[("alpha", 1)], raw=[("alpha",), ("alpha", 2)], stop_at_end=True)
    else:
        stream = Stream()
    if mode in BYTES and not text.endswith("}"):
        stream.feed(text.encode()[:-1])  # the last character's last byte waits for the call's chunk
    else:
        stream.feed(text)
    if mode == "values": stream.value()
    if mode in ("selected", "events", "raw", "stop", "stop_bytes"): stream.events(); stream.items(("alpha",))
    if mode == "multiple": stream.events(); stream.items(()); stream.items((0, "alpha"))
    if mode == "stop_events": stream.events()
    return stream

def joined(events):
    """Events with raw text run together: raw text is cut where it is read, and
    values read again after a failure read what came since in one go."""
    out = []
    for e in events:
        if e[0] == "raw" and out and out[-1][0] == "raw" and out[-1][1] == e[1]:
            out[-1] = ("raw", e[1], out[-1][2] + e[2])
        else:
            out.append(tuple(e))
    return out

def answers(stream):
    out = []
    for call in [lambda: stream.text, stream.completion, lambda: stream.path, lambda: stream.done,
                 stream.value, lambda: stream.value("strings"), lambda: stream.value("closed"),
                 lambda: joined(stream.events()), lambda: stream.items(("alpha",)),
                 lambda: stream.items(("alpha", 1))]:
        try:
            out.append(("ok", call()))
        except Exception as error:
            out.append(("error", type(error), str(error)))
    return out

def sweep(name, mode, before, chunk, op):
    prefix, middle, rest = document(before, chunk)
    tail = None  # the held-back character's last byte, which the call's chunk brings
    if mode in BYTES:
        prefix, tail = prefix + "\u00e9", "\u00e9".encode()[-1:]
    whole = prefix + middle + rest
    if mode.startswith("stop"):
        rest += " \u0100 </call>"  # the caller's, after the value
    expected = None if mode == "stop_events" else json.loads(whole)
    if mode == "multiple":
        rest += '\n"\u0100" 12'  # two more values, the last ended by close()
        whole += '\n"\u0100" 12'
        expected = [expected, "\u0100", 12]
    start = whole if name == "close" else prefix
    n = 1
    while True:
        stream = fresh(mode, start)
        arm(n)
        try:
            op(stream, middle, tail)
            failed = False
        except MemoryError:
            failed = True
        hit = fired()
        if not failed and not hit:
            break  # the call made fewer than n allocations
        # A failed call changed nothing: the stream answers as one that never
        # saw it, now and once the rest of the text has come. (A failure the
        # call got past must leave what the call makes without one.)
        reference = fresh(mode, start)
        if not failed:
            op(reference, middle, tail)
        where = (name, mode, before, chunk, n)
        # Every other step asks nothing before the rest of the text comes, so
        # that the stream must also read on from a failure it has not yet
        # been asked about.
        if n % 2 == 0 or name == "close":
            assert answers(stream) == answers(reference), where
        if name != "close":
            pieces = [middle, rest] if failed or name != "feed" else [rest]
            for piece in pieces:
                data = tail + piece.encode() if tail is not None and piece is middle else piece
                assert stream.feed(data) == reference.feed(data), where
            assert answers(stream) == answers(reference), where
        assert stream.close() == expected, where
        assert stream.done, where
        n += 1
    return n - 1

def feed(stream, middle, tail):
    stream.feed(middle if tail is None else tail + middle.encode())

OPS = {
    "feed": feed,
    "value": lambda s, m, t: s.value(),
    "events": lambda s, m, t: s.events(),
    "items": lambda s, m, t: s.items(("alpha", 1)),
    "close": lambda s, m, t: s.close(),
}
total = 0
for name, op in OPS.items():
    per_call = 0
    for mode in ("plain", "values", "selected", "events", "bytes", "raw", "stop", "stop_bytes", "multiple", "stop_events"):
        if mode == "stop_events" and name in ("value", "items"):
            continue  # no values to build
        # A chunk of every width after text of every narrower width; the
        # other calls after the narrowest and the widest text.
        pairs = [(a, b) for a in ORDER for b in ORDER[ORDER.index(a):]]
        if name != "feed" or mode in BYTES:
            pairs = [("ascii", "ascii"), ("ascii", "ucs4"), ("ucs4", "ucs4")]
        for before, chunk in pairs:
            steps = sweep(name, mode, before, chunk, op)
            per_call += steps
            print(name, mode, before, chunk, steps)
    assert per_call > 0, name  # every call allocates somewhere, so some step failed
    total += per_call
print("steps", total)
'''


def fail_allocations_library(tmp_path_factory) -> Path | None:
    """Builds the C++ injector, or None where it cannot be preloaded."""
    compiler = shutil.which("g++") or shutil.which("c++")
    if not sys.platform.startswith("linux") or compiler is None:
        return None
    library = tmp_path_factory.mktemp("fail_allocations") / "libfail_allocations.so"
    subprocess.run([compiler, "-std=c++20", "-O1", "-shared", "-fPIC", "-o", str(library), str(SOURCE)], check=True)
    return library


@pytest.fixture(scope="module")
def cpp_injector(tmp_path_factory):
    library = fail_allocations_library(tmp_path_factory)
    if library is None:
        if IN_CI:
            pytest.fail("the C++ allocation-failure injector cannot be built here")
        pytest.skip("the C++ allocation-failure injector needs Linux and g++")
    preload = [str(library)]
    env = {"CARRACK_FAIL_ALLOCATIONS": str(library)}
    # Under the sanitizers the injector must come first, so that its operator
    # new is the one every library finds; it allocates through ASan's malloc.
    already = os.environ.get("LD_PRELOAD", "")
    if already:
        preload.append(already)
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    env["LD_PRELOAD"] = " ".join(preload)
    return env


def report(result: subprocess.CompletedProcess) -> int:
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-5000:]
    lines = result.stdout.splitlines()
    assert lines and lines[-1].startswith("steps "), result.stdout + result.stderr
    return int(lines[-1].split()[1])


def test_every_cpp_allocation_failure_leaves_the_stream_as_it_was(cpp_injector):
    steps = report(run_python('injector = "cpp"\n' + SWEEP, env=cpp_injector))
    assert steps > 100


def test_every_python_allocation_failure_leaves_the_stream_as_it_was():
    pytest.importorskip("_testcapi")
    steps = report(run_python('injector = "python"\n' + SWEEP))
    assert steps > 100


WAITING_EVENTS = r'''
import ctypes, json, os
from carrack import Stream
library = ctypes.CDLL(os.environ["CARRACK_FAIL_ALLOCATIONS"])
s = Stream(); s.events()
s.feed("[" + "1, " * 20000)  # events wait, untaken, so the queue must grow to take more
text = s.text
n = 1
while True:
    library.carrack_fail_allocation(n)
    try:
        s.feed(" 7, 8, 9,")
        failed = False
    except MemoryError:
        failed = True
    hit = library.carrack_allocation_failed()
    if not failed:
        break
    assert s.text == text, n
    n += 1
assert hit or n > 1
s.feed(" null]")
expected = json.loads(s.text)
assert s.value() == expected and expected[-4:] == [7, 8, 9, None], s.value()[-6:]
assert [e.value for e in s.events() if e.kind == "end"][-5:] == [7, 8, 9, None, expected]
print("steps", n)
'''


def test_a_chunk_fed_again_after_events_failed_to_queue_is_read_once(cpp_injector):
    steps = report(run_python(WAITING_EVENTS, env=cpp_injector))
    assert steps > 1


BATCH_SWEEP = r'''
import ctypes, os, random
import carrack

if injector == "cpp":
    library = ctypes.CDLL(os.environ["CARRACK_FAIL_ALLOCATIONS"])
    def arm(n): library.carrack_fail_allocation(n)
    def disarm(): return bool(library.carrack_allocation_failed())
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n, 0)
    def disarm(): _testcapi.remove_mem_hooks(); return True

# Rows of every width, deep and wide, enough text for several blocks on two
# threads, so that a failure can come on a helper's walk or the caller's
# allocation while the other thread goes on.
chars = ["a", "\u00e9", "\u0100", "\U0001f600"]
generate = random.Random(3)
rows = []
for i in range(360):
    width = chars[i % 4]
    rows.append(None if i % 41 == 0 else
                '{"k": [' * (i % 9) + '"' + (width + "x") * generate.randrange(200, 700))
expected = {"raise": [None if r is None else carrack.complete(r) for r in rows]}
# Two bad rows, the later one in a block a helper may walk first: the first
# one's error is raised, or MemoryError.
bad = list(rows)
bad[150], bad[330] = '{"k": 1}}', "1 2"
steps = 0
# threads=8 through the module itself: the function takes no more than the CPUs.
for threads in (1, 2, 8):
    for errors in ("raise", "null"):
        for batch in (rows, bad):
            n = 1
            while True:
                arm(n)
                try:
                    got = carrack._batch.complete_many(batch, errors == "null", threads)
                except MemoryError:
                    got = None
                except RuntimeError as error:
                    got = error
                hit = disarm()
                steps += 1
                if isinstance(got, RuntimeError):
                    # Checked once nothing fails: the interpreter itself loops on a failure here.
                    assert batch is bad and errors == "raise" and got.__notes__ == ["in row 150"], (threads, n, got)
                if type(got) is list:
                    for i, (value, wanted) in enumerate(zip(got, expected["raise"], strict=True)):
                        if batch is bad and i in (150, 330):
                            wanted = None
                        # errors="null" makes a row whose walk ran out of memory None
                        assert value == wanted or (errors == "null" and hit and value is None), (threads, errors, n, i)
                if got is not None and (not hit or injector == "python"):
                    break
                n += 1
# Nothing is left broken: the whole batch again, with nothing failing.
assert carrack.complete_many(rows, threads=2) == expected["raise"]
print("steps", steps)
'''


@pytest.mark.parametrize("injector", ["cpp", "python"])
def test_every_allocation_failure_in_a_batch_raises_or_gives_the_loops_rows(injector, request):
    if injector == "python":
        pytest.importorskip("_testcapi")
        env = None
    else:
        env = request.getfixturevalue("cpp_injector")
    steps = report(run_python(f"injector = {injector!r}\n" + BATCH_SWEEP, env=env))
    assert steps > 100
