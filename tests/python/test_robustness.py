"""Deep nesting through the binding, threads and leaks: nothing may crash or grow.
The engine's own nesting cases, other threads and small stacks among them, are
in tests/cpp/test_nesting.cpp."""

import gc
import os
import sys
import threading
import time

import pytest

from carrack.carrack import carrack

MAX_DEPTH = 1_000_000


@pytest.mark.parametrize(("unit", "inner", "closer"), [("[", "", "]"), ('{"a":', "null", "}")])
def test_deepest_nesting_completes(unit, inner, closer):
    assert carrack(unit * MAX_DEPTH) == unit * MAX_DEPTH + inner + closer * MAX_DEPTH


@pytest.mark.parametrize("unit", ["[", '{"a":', '[{"":'])
def test_deeper_nesting_raises_recursion_error(unit):
    with pytest.raises(RecursionError, match="too deep") as info:
        carrack(unit * (MAX_DEPTH + 1))
    assert isinstance(info.value, RuntimeError)
    assert carrack("[[") == "[[]]"


def test_many_threads_at_once():
    """A smoke test. On a regular build short texts are completed under the
    GIL, so these calls never overlap and no data race can show; on a
    free-threaded build they run at once. What it can catch everywhere: state
    that one call leaves for the next (a rejection on one thread disturbing a
    completion on another), and per-thread state in the engine or the binding
    that goes wrong on threads other than the main one."""
    prefixes = [f'{{"id": {i}, "items": [{i}, "é{i}", {{"k": tr' for i in range(200)]
    expected = [p + "ue}]}" for p in prefixes]
    failures = []
    barrier = threading.Barrier(8)

    def work(offset):
        barrier.wait()
        for round in range(50):
            for i in range(offset, len(prefixes), 8):
                if carrack(prefixes[i]) != expected[i]:
                    failures.append(i)
            try:
                carrack("1 2")
            except RuntimeError:
                pass

    threads = [threading.Thread(target=work, args=(k,)) for k in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []


def test_other_threads_run_while_a_long_text_is_walked():
    """With a switch interval that never runs out, the counting thread gets the
    GIL only when this thread gives it up: in the calls, if they release it."""
    text = "[" + '{"k": [1, 2.5, "abc"]},' * 400_000  # 10 MB: milliseconds to walk
    count = 0
    stop = threading.Event()

    def counter():
        nonlocal count
        while not stop.is_set():
            count += 1
            time.sleep(0.0001)  # gives the GIL up

    thread = threading.Thread(target=counter)
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e6)
    thread.start()
    try:
        time.sleep(0.05)  # lets the counter start, and any wait begun under the old interval end
        for _ in range(100):  # a drop request left from before is served here
            pass
        before = count
        for _ in range(50):
            carrack(text)
            if count != before:
                break
        advanced = count - before
    finally:
        sys.setswitchinterval(interval)
        stop.set()
        thread.join()
    assert advanced > 0


def _rss_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4


def _every_path():
    """One call through every success and error path of the function."""
    carrack('{"a": [1, tr')
    carrack('["é", 1,')
    carrack('"😀')
    carrack(prefix="[1")
    carrack("true")
    for call in (
        lambda: carrack("1 2"),
        lambda: carrack(),
        lambda: carrack("a", "b"),
        lambda: carrack(b"["),
        lambda: carrack(other=1),
        lambda: carrack("[", prefix="["),
        lambda: carrack("\ud800"),
    ):
        try:
            call()
        except (TypeError, RuntimeError, UnicodeEncodeError):
            pass


def test_no_reference_or_memory_leaks():
    deep = "[" * (MAX_DEPTH + 1)
    for _ in range(2000):  # warm up caches and free lists
        _every_path()
    gc.collect()
    blocks, objects, rss = sys.getallocatedblocks(), len(gc.get_objects()), _rss_kib()
    for i in range(20_000):
        _every_path()
        if i % 1000 == 0:
            with pytest.raises(RecursionError):
                carrack(deep)
    gc.collect()
    assert sys.getallocatedblocks() - blocks < 100
    assert len(gc.get_objects()) - objects < 50
    if not os.environ.get("CARRACK_SANITIZED"):  # the sanitizer's quarantine holds freed memory
        assert _rss_kib() - rss < 4096


@pytest.mark.slow
def test_a_200_mb_string_completes_or_raises_memory_error():
    text = "".join(["[", '{"k": "v", "n": 1.5},' * 10_000_000])  # 210 MB
    try:
        result = carrack(text)
    except MemoryError:
        return
    assert len(result) == len(text) + len("null]")
    assert result.endswith(",null]")
    assert result[: 1000] == text[:1000]
