"""A Stream used as careless or hostile Python code uses it: results mutated,
calls made from code the stream runs, memory running out, failures, threads.
None of it may change what the stream answers, or crash."""

import json
import random
import re
import sys
import textwrap
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from values_support import canon, chunked, documents, model, outcome

import carrack as carrack_module
from carrack import Stream
from carrack.carrack import carrack

POLICIES = ("all", "strings", "closed")


def expected(text, policy):
    if policy == "all":
        return outcome(lambda: json.loads(carrack(text), strict=False))
    return outcome(lambda: model(text, policy))


def open_containers(result, path, depth):
    """The lists and dicts of a result that were open when it was returned:
    the root and each container down the stream's path, depth of them (past
    them the path's member may not have begun, and a closed value of a
    repeated key stand in its place)."""
    found, at = [], result
    for step in (None, *path)[:depth]:
        if step is not None:
            try:
                at = at[step]
            except (KeyError, IndexError, TypeError):
                break
        if not isinstance(at, (list, dict)):
            break
        found.append(at)
    return found


class Noisy:
    """A value a caller stores in a result. Its hooks use the stream; the
    stream itself must never call __eq__ or __hash__ on it."""

    def __init__(self, stream, log):
        self.stream, self.log = stream, log

    def poke(self, hook):
        try:
            self.stream.value()
            self.stream.path
        except ValueError:
            pass  # not JSON, or an integer beyond the digit limit
        except RuntimeError as error:
            self.log.append((hook, str(error)))

    def __hash__(self):
        self.poke("__hash__")
        return hash("a")  # collides with the documents' own keys

    def __eq__(self, other):
        self.poke("__eq__")
        return False

    def __del__(self):
        self.poke("__del__")


def reorder(members):
    for key in list(members)[::-1]:
        members[key] = members.pop(key)


def mutate(container, rng, make, noisy):
    """One of the things a caller may do to a list or dict it was given."""
    if isinstance(container, list):
        ops = [
            lambda c: c.append(make()),
            lambda c: c.insert(rng.randrange(len(c) + 1), make()),
            lambda c: c and c.pop(rng.randrange(len(c))),
            lambda c: c.clear(),
            lambda c: c.sort(key=repr),
            lambda c: c.reverse(),
            lambda c: c and c.__setitem__(rng.randrange(len(c)), make()),
            lambda c: c and c.__delitem__(0),
        ]
    else:
        ops = [
            lambda c: c.__setitem__(rng.choice(["a", "b", "injected"]), make()),
            lambda c: c.__setitem__(noisy(), 0),
            lambda c: c and c.pop(rng.choice(list(c))),
            lambda c: c.clear(),
            lambda c: c and c.popitem(),
            reorder,
        ]
    rng.choice(ops)(container)


@settings(max_examples=150, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(chunked(documents), st.randoms(use_true_random=False))
def test_mutating_results_changes_nothing_the_stream_answers(case, rng):
    text, chunks = case
    stream = Stream()
    log = []

    def noisy():
        return Noisy(stream, log)

    def make():
        return rng.choice([lambda: 0, lambda: "s", lambda: [1], lambda: {"a": 1}, noisy])()

    held = []
    fed = ""
    for chunk in chunks:
        stream.feed(chunk)
        fed += chunk
        for container in rng.sample(held, min(len(held), 3)):
            mutate(container, rng, make, noisy)
        if rng.random() < 0.5:
            held.clear()  # results dropped, for the stream to take back
        for policy in rng.sample(POLICIES, 3):
            want = expected(fed, policy)
            try:
                result = stream.value(policy)
            except ValueError as error:
                assert want == ("error", type(error)), (fed, policy)
                continue
            assert ("ok", canon(result)) == want, (fed, policy)
            if not stream.done:
                depth = int(re.search(r"(\d+) open", repr(stream)).group(1))
                held.extend(open_containers(result, stream.path, depth))
    assert outcome(stream.close) == outcome(lambda: json.loads(text, strict=False))
    assert [entry for entry in log if entry[0] != "__del__"] == []


@pytest.mark.parametrize(
    ("text", "errors"),
    [
        # value, value("strings"), value("closed"), path, done, close()
        ("1 2", [json.JSONDecodeError] * 3 + [carrack_module.RejectedTextError] * 2 + [json.JSONDecodeError]),
        ("[" * 1_000_001, [carrack_module.NestingTooDeepError] * 6),
        ("[1, " + "[" * 1_000_000, [carrack_module.NestingTooDeepError] * 6),
    ],
    ids=["rejected", "too deep", "too deep inside"],
)
def test_every_accessor_honours_a_failure(text, errors):
    stream = Stream()
    with pytest.raises(RuntimeError):
        stream.feed(text)
    calls = [
        stream.value,
        lambda: stream.value("strings"),
        lambda: stream.value("closed"),
        lambda: stream.path,
        lambda: stream.done,
        stream.close,
    ]
    for call, error in zip(calls, errors):
        with pytest.raises(error) as raised:
            call()
        assert raised.type is error


def test_values_deeper_than_json_loads_reads():
    depth = 200_000
    stream = Stream()
    stream.feed("[" * depth + "1")
    value = stream.value()
    stream.feed("]" * depth)
    closed = stream.close()
    for result in (value, closed):
        for _ in range(depth):
            (result,) = result
        assert result == 1
    with pytest.raises(RecursionError):
        json.loads(stream.text)


# Each case runs in its own interpreter, so that a crash fails the case. The
# scripts end by checking that the stream still answers as json.loads does.
REENTRY = {
    # a finalizer run by the collector inside feed() (collections run inside
    # allocations on 3.11, between bytecodes from 3.12)
    "finalizer": """
        s = Stream(); s.feed('[[1'); r = s.value()
        class Flusher:
            def __del__(self):
                try:
                    s.feed(', ' + '[' * 300 + ']' * 300)
                except RuntimeError as error:
                    assert "in use" in str(error), error
        gc.set_threshold(1)
        for c in [', 2', ', [3', ', "x"', ']', ', 4']:
            for call in (lambda: s.feed(c), s.value, lambda: s.value("strings")):
                x = Flusher(); x.self = x; del x  # garbage the next allocation collects
                call()
        gc.set_threshold(700); gc.collect()
        """,
    "gc callback": """
        s = Stream()
        def callback(phase, info):
            try:
                s.value(); s.events(); s.items(("a",)); s.feed(' ')
            except RuntimeError as error:
                assert "in use" in str(error), error
        gc.callbacks.append(callback); gc.set_threshold(1)
        for c in ['{"a": [', '1, {"b"', ': [2, 3]}', ', "x', 'y"]']:
            s.feed(c); s.value("closed"); s.path; s.events(); s.items(("a",)); s.feed(c.encode()[:0])
        gc.callbacks.clear(); gc.set_threshold(700)
        """,
    "__eq__ of a key put in a result": """
        s = Stream(); s.feed('{"b": [1')
        armed = False
        class Evil:
            def __hash__(self): return hash("b")
            def __eq__(self, other):
                assert not armed, "the stream compared a caller's key"
                return False
        r = s.value("strings"); r[Evil()] = 0; armed = True
        s.feed(', 2, "x'); s.value("strings"); del r; s.value()
        armed = False; s.feed('"], "c": {"b": 1'); r = s.value(); r[Evil()] = 1; del r; armed = True
        s.feed('}'); s.value(); s.value("closed")
        """,
    "signal handler": """
        import signal
        s = Stream()
        def handler(signum, frame):
            try:
                s.value()
            except RuntimeError as error:
                assert "in use" in str(error), error
        signal.signal(signal.SIGALRM, handler)
        signal.setitimer(signal.ITIMER_REAL, 0.0005, 0.0005)
        s.feed('[')
        for i in range(20000):
            s.feed('{"i": %d, "s": "%s"}, ' % (i, "x" * (i % 50))); s.value()
        signal.setitimer(signal.ITIMER_REAL, 0)
        """,
    "another thread while a finalizer lets go of the GIL": """
        import threading, time
        s = Stream(); s.feed('[')
        stop = False
        class Sleeper:
            def __del__(self): time.sleep(0.001)
        def other():
            while not stop:
                try:
                    s.value()
                except RuntimeError as error:
                    assert "in use" in str(error), error
        thread = threading.Thread(target=other); thread.start()
        gc.set_threshold(1)
        for i in range(300):
            x = Sleeper(); x.self = x; del x
            s.feed('[%d, "%s"], ' % (i, "y" * i))
        gc.set_threshold(700)
        stop = True; thread.join()
        """,
}


@pytest.mark.parametrize("script", REENTRY.values(), ids=REENTRY.keys())
def test_calls_from_code_the_stream_runs_are_refused_or_wait(python, script):
    result = python(
        "import gc, json\nfrom carrack import Stream\n"
        + textwrap.dedent(script)
        + """
try:
    s.feed(s.suffix)
except RuntimeError:
    pass
assert s.value() == json.loads(s.text, strict=False)
assert s.close() == json.loads(s.text, strict=False)
print("ok")
"""
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("ok\n"), result.stderr


MEMORY_SWEEP = """
import json, _testcapi
import carrack
from carrack import Stream

def answers(stream):
    out = []
    for call in [lambda: stream.text, lambda: stream.completion(), lambda: stream.path, lambda: stream.done,
                 lambda: stream.value(), lambda: stream.value("strings"), lambda: stream.value("closed"),
                 lambda: [tuple(e) for e in stream.events()], lambda: stream.items(("alpha",))]:
        try:
            out.append(("ok", call()))
        except Exception as error:
            out.append(("error", type(error)))
    return out

def fresh(text, mode):
    stream = Stream(); stream.feed(text)
    if mode == "values": stream.value()
    if mode == "events": stream.events(); stream.items(("alpha",))
    return stream

def run(n, op, stream):
    _testcapi.set_nomemory(n, 0)
    try:
        op(stream)
    finally:
        _testcapi.remove_mem_hooks()

PREFIX = '{"alpha": [1000, "xyz'
CHUNK = '", {"beta": [2000, 3.5, true], "gamma": "yy\\\\u00e9", "delta": {}}, -4000'
REST = ', null, [5000]]}'
WHOLE = PREFIX + CHUNK + REST
OPS = {  # the text before the call, and the call
    "feed": (PREFIX, lambda s: s.feed(CHUNK)),
    "value": (PREFIX, lambda s: s.value()),
    "strings": (PREFIX, lambda s: s.value("strings")),
    "path": (PREFIX, lambda s: s.path),
    "events": (PREFIX, lambda s: s.events()),
    "items": (PREFIX, lambda s: s.items(("alpha", 1))),
    "bytes": (PREFIX, lambda s: s.feed(CHUNK.encode())),
    "close": (WHOLE, lambda s: s.close()),
}
for name, (before, op) in OPS.items():
    for values in ("plain", "values", "events"):
        n = 0
        while True:
            stream = fresh(before, values)
            try:
                run(n, op, stream)
                failed = False
            except MemoryError:
                failed = True
            if not failed:
                break  # the call made fewer than n allocations
            # Unchanged: it answers as a stream that never saw the call, now and later.
            reference = fresh(before, values)
            assert answers(stream) == answers(reference), (name, values, n)
            if before != WHOLE:
                for chunk in (CHUNK, REST):
                    stream.feed(chunk)
                    reference.feed(chunk)
                assert answers(stream) == answers(reference), (name, values, n)
            assert stream.close() == json.loads(WHOLE)
            n += 1
        print(name, values, n)
print("ok")
"""


def test_memory_running_out_part_way_leaves_the_stream_as_it_was(python):
    pytest.importorskip("_testcapi")
    result = python(MEMORY_SWEEP)
    assert result.returncode == 0, result.stderr
    assert result.stdout.endswith("ok\n"), result.stdout + result.stderr
    # every operation was swept over allocations of its own
    counts = [int(line.split()[-1]) for line in result.stdout.splitlines()[:-1]]
    assert max(counts) > 5, result.stdout


def test_threads_on_their_own_streams_and_on_one_shared():
    shared = Stream()
    shared.feed("[")
    failures = []

    def retrying(call):
        # Another thread's call may be under way while code it runs waits.
        while True:
            try:
                return call()
            except RuntimeError as error:
                if "in use" not in str(error):
                    raise

    def worker(number):
        try:
            rng = random.Random(number)
            own, text = Stream(), "["
            own.feed(text)
            for i in range(250):
                item = json.dumps([number, i, rng.choice([1, "é" * rng.randrange(9), {"k": [2]}, None])])
                chunk = item + ", "
                cut = rng.randrange(len(chunk) + 1)
                for piece in (chunk[:cut], chunk[cut:]):
                    own.feed(piece)
                    text += piece
                    if i % 4 == 0:
                        policy = rng.choice(POLICIES)
                        assert ("ok", canon(own.value(policy))) == expected(text, policy)
                # whole items, so that threads never split one another's
                retrying(lambda: shared.feed(chunk))
                seen = retrying(lambda: shared.value(rng.choice(POLICIES)))
                if i % 10 == 0:  # every item fed so far, each thread's in its order
                    mine = [x[1] for x in seen if isinstance(x, list) and x[0] == number]
                    assert mine == list(range(i + 1))
                retrying(lambda: shared.path)
        except BaseException as error:  # reported by the main thread
            failures.append(error)

    threads = [threading.Thread(target=worker, args=(n,)) for n in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert failures == []
    shared.feed("null]")
    assert shared.close() == json.loads(shared.text)
    assert len(shared.close()) == 8 * 250 + 1


@pytest.mark.skipif(sys.implementation.name != "cpython", reason="reference counts are CPython's")
def test_a_dropped_result_is_taken_back_and_a_held_one_left_alone():
    stream = Stream()
    stream.feed('{"rows": [1, 2')
    first = stream.value()
    rows = first["rows"]
    stream.feed(", 3")
    second = stream.value()
    assert first == {"rows": [1, 2]} and rows is first["rows"]
    assert second == {"rows": [1, 2, 3]} and second["rows"] is not rows
    del first, rows
    ident = id(second["rows"])
    del second
    stream.feed(", 4")
    assert id(stream.value()["rows"]) == ident  # the same list, updated
