"""The value builder's fast paths against json.loads, the events of a stream
that builds no containers against the default ones, and the open string that
grows in place against callers that keep, hash, intern or take apart what
they were given."""

import copy
import json
import random
import sys
from pathlib import Path

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from carrack import Stream
from conftest import run_python
from test_failure_injection import cpp_injector  # noqa: F401  (a fixture)
from values_support import canon

CORPUS = Path("/work/shared/corpus")
if not CORPUS.exists():
    CORPUS = Path(__file__).resolve().parents[2] / "tests" / "data" / "corpus"
DOCUMENTS = [name for name in ("twitter.json", "citm_catalog.json", "canada.json") if (CORPUS / name).exists()]

# One character of each storage width of a str.
WIDTHS = {"ascii": "a", "latin1": "\u00e9", "ucs2": "\u0100", "ucs4": "\U0001f600"}


def chunks(text, rng, longest=64):
    at = 0
    while at < len(text):
        step = rng.randint(1, longest)
        yield text[at : at + step]
        at += step


def values_after_chunks(text, seed, longest=64, every=1):
    """value() after every chunk, each compared with json.loads(completion())."""
    rng = random.Random(seed)
    stream = Stream()
    for i, chunk in enumerate(chunks(text, rng, longest)):
        stream.feed(chunk)
        if i % every == 0:
            assert canon(stream.value()) == canon(json.loads(stream.completion(), strict=False)), stream.text[-80:]
    assert canon(stream.close()) == canon(json.loads(text, strict=False))


# --- Agreement with json.loads ----------------------------------------------


@pytest.mark.parametrize("name", DOCUMENTS)
@pytest.mark.parametrize("seed", [1, 2])
def test_corpus_documents_close_to_json_loads_under_random_chunking(name, seed):
    text = (CORPUS / name).read_text(encoding="utf-8")
    rng = random.Random(seed)
    stream = Stream()
    for chunk in chunks(text, rng, longest=70000):
        stream.feed(chunk)
    assert canon(stream.close()) == canon(json.loads(text))


@pytest.mark.parametrize("name", DOCUMENTS)
def test_corpus_document_values_along_the_way(name):
    text = (CORPUS / name).read_text(encoding="utf-8")[:40000]
    # Cut to a prefix: the values of the prefix, every few chunks.
    rng = random.Random(len(text))
    stream = Stream()
    for i, chunk in enumerate(chunks(text, rng, longest=400)):
        stream.feed(chunk)
        if i % 7 == 0:
            assert canon(stream.value()) == canon(json.loads(stream.completion(), strict=False))


def string_of(widths, length, rng):
    pool = [WIDTHS[w] for w in widths] + ["b", "\\n", "\\u00e9", "\\ud83d\\ude00", "\\\"", "\u00ff", "\uffff"]
    return "".join(rng.choice(pool) if rng.random() < 0.3 else WIDTHS[rng.choice(widths)] for _ in range(length))


@pytest.mark.parametrize("widths", [("ascii",), ("latin1",), ("ucs2",), ("ucs4",), ("ascii", "latin1"),
                                    ("ascii", "ucs4"), ("latin1", "ucs2"), ("ucs2", "ucs4")])
@pytest.mark.parametrize("longest", [1, 5, 64])
def test_strings_of_every_width_in_keys_and_values(widths, longest):
    rng = random.Random(hash(widths) ^ longest)
    members = []
    for i in range(30):
        key = json.dumps(json.loads('"' + string_of(widths, rng.randint(0, 6), rng) + '"'), ensure_ascii=False)
        value = '"' + string_of(widths, rng.randint(0, 40), rng) + '"'
        members.append(f"{key}: [{value}, {i}]")
    text = "{" + ", ".join(members) + "}"
    values_after_chunks(text, seed=longest, longest=longest)


def test_key_cache_keeps_keys_apart_that_share_their_bytes():
    # "ab" in one byte per character and "\u6261" in two share their storage bytes.
    keys = ["ab", "\u6261", "a", "\u0061", "\u00e9", "\u00e9\u00e9", "\u00e9\u00e9".encode().decode("latin-1"),
            "\U0001f600", "\u0000", "", "x" * 64, "x" * 65, "y" * 200]
    records = [{key: i for key in keys} for i in range(3)]
    text = json.dumps(records, ensure_ascii=False)
    for longest in (1, 3, 1000):
        values_after_chunks(text, seed=longest, longest=longest)
        stream = Stream()
        stream.feed(text)
        assert stream.close() == records


def test_many_distinct_keys_and_keys_again():
    rng = random.Random(5)
    keys = [f"k{i}" + rng.choice(["", "\u00e9", "\u4e2d", "\U0001f600"]) for i in range(5000)]
    text = json.dumps([{k: len(k) for k in keys[i : i + 50]} for i in range(0, 5000, 25)] * 2, ensure_ascii=False)
    stream = Stream()
    for chunk in chunks(text, random.Random(1), longest=4000):
        stream.feed(chunk)
    result = stream.close()
    assert canon(result) == canon(json.loads(text))


INTS = ["0", "-0", "1", "-1", "-5", "-6", "256", "257", "-255", "9" * 18, "-" + "9" * 18, "9" * 19, "1" + "0" * 18,
        str(2**63 - 1), str(-(2**63)), str(2**63), str(2**64), str(-(2**64) - 1), "9" * 100, "9" * 4300]
FLOATS = ["0.0", "-0.0", "0.1", "0.30000000000000004", "1e23", "8.98846567431158e307", "1.7976931348623157e308",
          "1.7976931348623159e308", "1e400", "-1e400", "5e-324", "2.4703282292062327e-324", "2.4703282292062328e-324",
          "2.2250738585072011e-308", "2.2250738585072012e-308", "9007199254740993.0", "9007199254740993e0",
          "1.00000000000000011102230246251565404236316680908203125", "7.038531e-26", "123456789012345678901234567890e-10",
          "1E+2", "1e-2", "0e0", "-0E-0", "3." + "3" * 800, "0." + "0" * 400 + "1"]


@pytest.mark.parametrize("longest", [1, 3, 1000])
def test_numbers_at_the_edges_of_every_shortcut(longest):
    text = "[" + ", ".join(INTS + FLOATS) + "]"
    values_after_chunks(text, seed=longest, longest=longest)
    stream = Stream()
    stream.feed(text)
    result = stream.close()
    assert canon(result) == canon(json.loads(text))
    for number in ("-5", "0", "256"):
        assert Stream_value(number) is int(number)


def Stream_value(text):
    stream = Stream()
    stream.feed(text + " ")
    return stream.close()


def test_numbers_at_the_root_and_cut_everywhere():
    for text in INTS[:-1] + FLOATS:
        for cut in range(1, len(text)):
            stream = Stream()
            stream.feed(text[:cut])
            stream.feed(text[cut:])
            assert canon(stream.close()) == canon(json.loads(text)), text


# --- Events without container values -----------------------------------------


def stripped(event):
    kind, path, value = event
    if kind == "end" and isinstance(value, (list, dict)):
        value = None
    return (kind, path, canon(value))


def events_both_ways(text, seed, longest, select=None):
    rng = random.Random(seed)
    pieces = list(chunks(text, rng, longest))
    made = {}
    for values in (True, False):
        stream = Stream(values=values) if select is None else Stream(select=select, values=values)
        out = []
        for i, piece in enumerate(pieces):
            stream.feed(piece)
            if i % 3 == 0:
                out += stream.events()
        out += stream.events()
        closed = stream.close()
        out += stream.events()
        made[values] = (out, closed)
    assert [stripped(e) for e in made[True][0]] == [stripped(e) for e in made[False][0]]
    assert all(not isinstance(e[2], (list, dict)) for e in made[False][0])
    assert made[False][1] is None
    return made[False][0]


@pytest.mark.parametrize("name", DOCUMENTS)
def test_events_without_values_are_the_default_events_stripped(name):
    text = (CORPUS / name).read_text(encoding="utf-8")
    if name != "twitter.json":
        text = text[:200000]
        text = json.dumps(json.loads(text + Stream_suffix(text)))
    events = events_both_ways(text, seed=3, longest=70000)
    kinds = {kind for kind, _, _ in events}
    assert kinds <= {"start", "append", "end"} and "end" in kinds
    # Paths of one container's members share its path's steps; kinds are interned.
    starts = [e for e in events if e[0] == "start"]
    assert all(e[0] is starts[0][0] for e in starts)


def Stream_suffix(text):
    stream = Stream()
    stream.feed(text)
    return stream.suffix


documents = st.recursive(
    st.one_of(st.none(), st.booleans(), st.integers(), st.floats(allow_nan=False, allow_infinity=False), st.text(max_size=20)),
    lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(st.text(max_size=5), inner, max_size=4)),
    max_leaves=25,
).map(lambda v: json.dumps(v, ensure_ascii=False))


@settings(max_examples=150, deadline=None)
@given(documents, st.integers(0, 2**16), st.sampled_from([None, [("x", ...)], [(0,), ("a", 0)]]))
def test_generated_events_without_values_are_the_default_events_stripped(text, seed, select):
    events_both_ways(text, seed=seed, longest=6, select=select)


def test_a_stream_without_values_refuses_values_and_items():
    stream = Stream(values=False)
    stream.feed('{"a": [1, {"b": 2}]')
    for call in (stream.value, lambda: stream.value("strings"), lambda: stream.items(("a",))):
        with pytest.raises(TypeError):
            call()
    stream.feed("}")
    assert stream.path == () and stream.done
    assert stream.close() is None
    with pytest.raises(TypeError):
        stream.value()
    broken = Stream(values=False)
    broken.feed('{"a": ]')
    assert [kind for kind, _, _ in broken.events()] == ["start"]
    with pytest.raises(json.JSONDecodeError):
        broken.events()


# --- The open string grown in place ---------------------------------------------


def long_string_document(rng, width):
    body = "".join(rng.choice(["x", "y ", WIDTHS[width], "\\n", "\\u00e9"]) for _ in range(rng.randint(50, 400)))
    return '{"rows": [{"a": 1}, [2, "' + body + '"]], "text": "' + body + '", "last": ["' + body + '"]}'


class Adversary:
    """What a caller does with a result: keeps it, keeps a piece of it,
    hashes or interns its string, takes it apart, or drops it."""

    def __init__(self, rng):
        self.rng = rng
        self.kept = []  # (object, its deep copy when it was handed out)
        self.hashed = set()

    def open_string(self, value):
        """The innermost str of value along its last members, if any."""
        while isinstance(value, (list, dict)) and value:
            value = value[-1] if isinstance(value, list) else list(value.values())[-1]
        return value if isinstance(value, str) else None

    def take(self, value, open_at_root=True):
        move = self.rng.randrange(7)
        text = self.open_string(value)
        if move == 1:
            self.kept.append((value, copy.deepcopy(value)))
        elif move == 2 and text is not None:
            self.kept.append((text, "".join(text)))
        elif move == 3 and text is not None:
            self.hashed.add(text)
        elif move == 4 and text is not None:
            self.kept.append((sys.intern(text), "".join(text)))
        elif move == 5 and isinstance(value, dict) and value and open_at_root:
            # Takes the innermost open piece out of the result, then drops the
            # result (the open containers of a result are the caller's).
            inner = value.popitem()[1]
            self.kept.append((inner, copy.deepcopy(inner)))
        elif move == 6 and text is not None:
            assert sys.getrefcount(text) >= 2

    def check(self):
        for held, then in self.kept:
            assert held == then and type(held) is type(then)
        for text in self.hashed:
            assert hash(text) == hash("".join(text))


@pytest.mark.parametrize("width", list(WIDTHS))
@pytest.mark.parametrize("policy", ["all", "strings"])
def test_results_held_by_the_caller_never_change(width, policy):
    rng = random.Random(width + policy)
    for _ in range(6):
        text = long_string_document(rng, width)
        stream = Stream()
        adversary = Adversary(rng)
        for piece in chunks(text, rng, longest=8):
            stream.feed(piece)
            value = stream.value(policy)
            if policy == "all":
                assert canon(value) == canon(json.loads(stream.completion(), strict=False))
            adversary.take(value, not stream.done)
            del value
            adversary.check()
        assert canon(stream.close()) == canon(json.loads(text))
        adversary.check()


@settings(max_examples=120, deadline=None)
@given(st.text(min_size=1, max_size=60), st.lists(st.booleans(), min_size=1, max_size=60), st.integers(0, 3),
       st.integers(1, 9))
def test_a_held_result_keeps_its_string_whatever_comes_after(body, holds, depth, longest):
    text = "[" * depth + json.dumps(body * 3, ensure_ascii=False) + "]" * depth
    stream = Stream()
    held = []
    rng = random.Random(len(body))
    for piece, hold in zip(chunks(text, rng, longest), holds * 100):
        stream.feed(piece)
        value = stream.value()
        if hold:
            held.append((value, json.dumps(value)))
        del value
    for value, then in held:
        assert json.dumps(value) == then


@pytest.mark.parametrize("container", ["[1, ", '{"k": 1, "t": '])
def test_a_string_dropped_then_kept_then_widened(container):
    stream = Stream()
    stream.feed(container + '"x')
    last = lambda v: v[-1] if isinstance(v, list) else v["t"]  # noqa: E731
    expected = "x"
    for piece in ["yz", "ab" * 100, "\u00e9", "\u00e9", "\u0100", "q", "\U0001f600", "r" * 50]:
        stream.feed(piece)
        expected += piece
        value = stream.value()
        assert last(value) == expected
        kept = last(value) if piece in ("\u00e9", "q") else None
        del value
        stream.feed("s")
        expected += "s"
        assert last(stream.value()) == expected
        assert kept is None or kept == expected[: len(kept)] and len(kept) == len(expected) - 1
    stream.feed('"' + ("]" if container[0] == "[" else "}"))
    assert last(stream.close()) == expected


def test_strings_at_the_root_grow_and_stay_apart():
    stream = Stream()
    stream.feed('"abc')
    kept = stream.value()
    stream.feed("def")
    assert kept == "abc" and stream.value() == "abcdef"
    hashed = {stream.value(): 1}
    stream.feed("g")
    assert list(hashed) == ["abcdef"] and stream.value() == "abcdefg"
    stream.feed('h"')
    assert stream.value() == "abcdefgh" and stream.close() == "abcdefgh"


# --- Allocation failures on the new paths -----------------------------------------

FAST_PATH_SWEEP = r'''
import ctypes, json, os, sys
from carrack import Stream

if injector == "cpp":
    library = ctypes.CDLL(os.environ["CARRACK_FAIL_ALLOCATIONS"])
    def arm(n): library.carrack_fail_allocation(n)
    def disarm(): library.carrack_fail_allocation(0)
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n - 1, 0)  # the first allocation past n - 1 fails
    def disarm(): _testcapi.remove_mem_hooks()

WIDTHS = ["", "\u00e9", "\u0100", "\U0001f600"]

def cases():
    for width in WIDTHS:
        for container in ('[1, "', '{"k": [2], "t": "', '"'):
            head = container + "ab" * 40 + width
            more = "cd" * 40 + width + "e"
            end = '"' + {"[": "]", "{": "}", '"': ""}[container[0]]
            yield head, more, end
            # Cut inside an escape: the completion adds a tail to the string.
            yield head, more + "\\u00", "e9" + end
            yield head + "\\", '"' + more + "\\", "n" + end
    # Whole strings, numbers and keys in one piece, wide and narrow.
    for width in WIDTHS:
        yield "[", '"x' + width + '", 12, -3.5e2, 123456789012345678901, {"k' + width + '": "v"}, ', "0]"

def made(head, more, bare):
    stream = Stream(values=not bare)
    stream.feed(head)
    stream.events() if bare else stream.value()
    stream.feed(more)
    return stream

def sweep(head, more, end, policy, hold, bare):
    steps = 0
    for n in range(1, 10000):
        stream = Stream(values=not bare)
        stream.feed(head)
        kept = then = None
        if bare:
            stream.events()
        else:
            kept = stream.value(policy)
            then = json.dumps(kept)
            if not hold:
                kept = None
        stream.feed(more)
        arm(n)
        try:
            got = stream.events() if bare else stream.value(policy)
            failed = False
        except MemoryError:
            failed = True
        disarm()
        if kept is not None:
            assert json.dumps(kept) == then, (head, n)
        # A failed call changed nothing: the stream answers as one that never saw it.
        reference = made(head, more, bare)
        expect = [tuple(e) for e in reference.events()] if bare else reference.value(policy)
        if failed:
            got = stream.events() if bare else stream.value(policy)
        assert ([tuple(e) for e in got] if bare else got) == expect, (head, n, policy)
        stream.feed(end)
        closed = stream.close()
        assert closed == (None if bare else json.loads(head + more + end)), (head, n)
        if not failed:
            break
        steps += 1
    return steps

total = 0
for head, more, end in cases():
    for policy in ("all", "strings"):
        for hold in (False, True):
            total += sweep(head, more, end, policy, hold, False)
    total += sweep(head, more, end, "all", False, True)
print("steps", total)
'''


def test_every_cpp_allocation_failure_on_the_fast_paths(cpp_injector):
    from test_failure_injection import report
    assert report(run_python('injector = "cpp"\n' + FAST_PATH_SWEEP, env=cpp_injector)) > 50


def test_every_python_allocation_failure_on_the_fast_paths():
    pytest.importorskip("_testcapi")
    from test_failure_injection import report
    assert report(run_python('injector = "python"\n' + FAST_PATH_SWEEP)) > 20
