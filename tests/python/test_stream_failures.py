"""Stream calls that fail or run the caller's code part way: each commits whole
or changes nothing, and what the stream has told or decided survives reading
the text again. Each case runs in its own interpreter, so that a crash fails
the case instead of the run."""

import json
import textwrap

import pytest

import carrack
from carrack import ANY, Stream

CASES = {
    # MemoryError while a chunk wider than the text is fed: the text keeps its
    # width and its characters.
    "wider chunk, Python allocation fails": """
        import _testcapi
        s = Stream(); s.feed('["aaaaaaaa", '); s.value()
        _testcapi.set_nomemory(0, 1)
        try:
            s.feed('"\\u0100b", 1')
        except MemoryError:
            pass
        _testcapi.remove_mem_hooks()
        assert s.text == '["aaaaaaaa", ', repr(s.text)
        s.feed('"\\u0100b", 1]')
        assert s.value() == json.loads(s.text) == ["aaaaaaaa", "\\u0100b", 1]
    """,
    # Values read again from the text keep the events depth limit: no append
    # event with a path 2,000 steps long (made by recursion, it overflowed).
    "events depth limit after a re-read": """
        s = Stream(); s.events(); s.feed('[' * 2000 + '"ab')
        assert len(s.events()) == 1001  # the starts of the root and of 1,000 levels inside it
        try:
            s.events()
        except carrack.NestingTooDeepError:
            pass
        else:
            raise AssertionError("no NestingTooDeepError")
        s.items((0,)); s.feed('cd')
        try:
            s.events()
        except carrack.NestingTooDeepError:
            pass
        else:
            raise AssertionError("no NestingTooDeepError after the re-read")
        s.feed('"' + ']' * 2000)
        value = s.close()  # deeper than json.loads reads on every version
        for _ in range(2000):
            [value] = value
        assert value == "abcd"
    """,
    # Nothing the collector hands out is a table the stream reads back.
    "selection tables out of the collector's sight": """
        import gc
        s = Stream(select=[("a",), ("b", 0)])
        s.items(("c", ANY))
        for o in gc.get_referents(s):
            assert not isinstance(o, (dict, list)), o
        s.feed('{"a": 1, "b": [2], "c": {"d": {"e": 3}}}')
        assert [tuple(e) for e in s.events()] == [("end", ("a",), 1), ("end", ("b", 0), 2)]
        assert s.items(("c", ANY)) == [("e", 3)]
    """,
    # The members dict of an open object is hidden again before a value it
    # replaces (a key written twice) is freed and its finalizer runs.
    "finalizer of a replaced member": """
        import gc
        class Writer:
            def __del__(self):
                for o in gc.get_objects():
                    if type(o) is dict and o.get("a") == 2:
                        o["written"] = True
        s = Stream(); s.events(); s.feed('{"a": [1], ')
        ended = [e.value for e in s.events() if e.kind == "end" and e.path == ("a",)]
        ended[0].append(Writer())  # the caller's own doing, to a value shared with it
        del ended
        s.feed('"a": 2, "b": 3}')
        assert s.value() == s.close() == json.loads(s.text) == {"a": 2, "b": 3}
    """,
    # A byte held back that a rejected chunk completes goes into the text with it.
    "held-back byte in a rejected chunk": """
        s = Stream(); s.feed(b'["a"]\\xc3')
        try:
            s.feed(b'\\xa9')
        except carrack.RejectedTextError:
            pass
        assert s.text == '["a"]\\u00e9'
        try:
            s.close()
        except json.JSONDecodeError as error:
            assert error.msg == "Extra data", error
        else:
            raise AssertionError("close() of text that is not JSON")
    """,
    # close() closes only once its value is made.
    "close running out of memory": """
        import _testcapi
        s = Stream(); s.feed("123456789012")
        _testcapi.set_nomemory(0, 1)
        try:
            s.close()
        except MemoryError:
            pass
        _testcapi.remove_mem_hooks()
        s.feed("3")
        assert s.close() == 1234567890123 and s.done
    """,
    # The iterable select= takes runs before the stream exists, so its code
    # cannot find the stream half made.
    "select's iterable looking for the stream": """
        import gc
        found = []
        def paths():
            found.extend(o for o in gc.get_objects() if type(o) is Stream)
            yield ("a",)
        s = Stream(select=paths())
        assert found == [], found
        s.feed('{"a": 2}')
        assert [tuple(e) for e in s.events()] == [("end", ("a",), 2)]
    """,
    # Closed values stay the same objects when the text is read again; what a
    # new subscription is told from inside a container that had closed before
    # it is equal, but new.
    "sharing across re-reads": """
        s = Stream(); s.feed('{"rows": [[1], {"x": 2}, "s", '); a = s.value()
        rows = s.items(("rows",))
        assert all(x is y for x, y in zip(rows, a["rows"][:3]))
        b = s.value()
        assert all(x is y for x, y in zip(a["rows"][:3], b["rows"][:3]))
        ends = {e.path: e.value for e in s.events() if e.kind == "end"}
        c = s.value()
        assert all(ends[("rows", i)] is a["rows"][i] is c["rows"][i] for i in range(3))
        assert ends[("rows", 1, "x")] == c["rows"][1]["x"]
    """,
    # A key written twice: what each event carries is the value written there.
    "sharing across re-reads, a key written twice": """
        s = Stream(); s.feed('{"a": [1], "a": [2], "b": '); s.value()
        ends = [e.value for e in s.events() if e.kind == "end"]
        assert ends == [1, [1], 2, [2]], ends
    """,
}


@pytest.mark.parametrize("script", CASES.values(), ids=CASES.keys())
def test_reproduction(python, script):
    if "_testcapi" in script:
        pytest.importorskip("_testcapi")
    result = python("import json\nimport carrack\nfrom carrack import ANY, Stream\n" + textwrap.dedent(script) + "\nprint('ok')")
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.endswith("ok\n"), result.stdout + result.stderr


def events(stream):
    return [tuple(event) for event in stream.events()]


@pytest.mark.parametrize(
    ("calls", "expected"),
    [
        # The root's end is told exactly once, however events, items and close() interleave.
        (["close", "events"], [("end", (), 12)]),
        (["events", "close", "events"], [("end", (), 12)]),
        (["events", "close", "items", "close", "events"], [("end", (), 12)]),
        (["close", "items", "events", "close", "events"], [("end", (), 12)]),
        (["value", "close", "events", "events"], [("end", (), 12)]),
    ],
)
def test_a_root_number_ends_once(calls, expected):
    stream = Stream()
    stream.feed("12")
    told = []
    for call in calls:
        if call == "events":
            told += events(stream)
        elif call == "items":
            stream.items(("x",))
        elif call == "value":
            stream.value()
        else:
            assert stream.close() == 12
    assert told == expected
    assert stream.done


@pytest.mark.parametrize(
    ("text", "done_before", "done_after"),
    [("12", False, True), ("12 ", True, True), ("[1]", True, True), ('"a"', True, True), ("-0.5e3", False, True)],
)
def test_done_after_close(text, done_before, done_after):
    stream = Stream()
    stream.feed(text)
    assert stream.done is done_before
    stream.close()
    assert stream.done is done_after


@pytest.mark.parametrize(
    ("make", "error", "base"),
    [
        (lambda s: s.feed("1 2"), carrack.RejectedTextError, RuntimeError),
        (lambda s: s.feed("[" * 1_000_001), carrack.NestingTooDeepError, RecursionError),
        (lambda s: (s.feed("1"), s.close(), s.feed("2")), carrack.StreamClosedError, ValueError),
    ],
    ids=["rejected", "too deep", "closed"],
)
def test_failures_have_names(make, error, base):
    with pytest.raises(error) as raised:
        make(Stream())
    assert raised.type is error and issubclass(error, base)
    assert error.__module__ == "carrack"


def test_in_use_has_a_name():
    stream = Stream()
    refused = []

    class Caller:
        def __del__(self):
            try:
                stream.value()
            except RuntimeError as error:
                refused.append(error)

    stream.events()
    stream.feed('{"a": [1], ')
    [shared] = [event.value for event in stream.events() if event.kind == "end" and event.path == ("a",)]
    shared.append(Caller())
    del shared
    stream.feed('"a": 2}')  # the member it replaces is released while the feed is under way
    assert [type(error) for error in refused] == [carrack.StreamInUseError]
    assert issubclass(carrack.StreamInUseError, RuntimeError)
    assert stream.close() == {"a": 2}


def test_a_stream_carrack_rejects_still_raises_carrack_exactly():
    with pytest.raises(RuntimeError) as raised:
        carrack.complete("1 2")
    assert type(raised.value) is RuntimeError


@pytest.mark.parametrize(
    ("select", "text", "paths"),
    [
        # A trailing ... takes the path itself and everything inside it; (...,) the root.
        ([("a", ...)], '{"a": [1], "b": 2}', [("a",), ("a", 0), ("a",)]),
        ([(...,)], "[1]", [(), (0,), ()]),
        # An index never matches a key that looks like it, nor a key an index; ANY both.
        ([(0,)], '{"0": 1}', []),
        ([("0",)], "[1]", []),
        ([(ANY,)], '[{"0": 1}]', [(0,), (0,)]),
        ([(ANY, ANY)], '[{"0": 1}]', [(0, "0")]),
        # An empty selection selects nothing.
        ([], '{"a": [1]}', []),
    ],
)
def test_selection_rules(select, text, paths):
    stream = Stream(select=select)
    stream.feed(text)
    assert [event.path for event in stream.events()] == paths


@pytest.mark.parametrize(
    ("text", "path", "items"),
    [
        # items() names a container; a string, a scalar or a path the text never reaches has no members.
        ('{"a": "text"}', ("a",), []),
        ('{"a": 1}', ("a",), []),
        ('{"a": [1]}', ("b",), []),
        # Under ANY, arrays give elements and objects (key, value) pairs, each as it comes.
        ('{"a": [1], "b": {"c": 2}}', (ANY,), [1, ("c", 2)]),
    ],
)
def test_items_rules(text, path, items):
    stream = Stream()
    stream.feed(text)
    assert stream.items(path) == items
    assert stream.close() == json.loads(text)


def test_a_str_chunk_while_a_character_fed_as_bytes_waits():
    stream = Stream()
    stream.feed(b'["\xc3')
    with pytest.raises(ValueError, match="incomplete"):
        stream.feed("x")
    assert stream.text == '["'  # changed nothing
    stream.feed(b'\xa9"]')
    assert stream.close() == ["\u00e9"]


GC_VIEW = r"""
import gc, json
from carrack import ANY, Stream, complete

TEXT = '{"a": [1, {"b": "x"}, [2, 3]], "c": {"d": [4], "e": "y'
REST = 'z", "f": null}, "g": [5, {"h": 6}]}'

def equal_except(actual, expected, mutated):
    # What the caller changed is the caller's; everything else must be exact.
    if id(actual) in mutated:
        return True
    if type(actual) is not type(expected):
        return False
    if isinstance(actual, dict):
        return actual.keys() == expected.keys() and all(
            equal_except(actual[k], expected[k], mutated) for k in actual)
    if isinstance(actual, list):
        return len(actual) == len(expected) and all(
            equal_except(x, y, mutated) for x, y in zip(actual, expected))
    return actual == expected

def reachable(stream, results):
    seen, todo, out = set(), [stream, *results], []
    while todo:
        o = todo.pop()
        for r in gc.get_referents(o):
            if id(r) in seen or isinstance(r, type):
                continue
            seen.add(id(r)); out.append(r); todo.append(r)
    return out

def hostile(o, how):
    if isinstance(o, list):
        [lambda: o.append("hostile"), o.clear, lambda: o.insert(0, o), o.reverse,
         lambda: o.__setitem__(slice(None), [None] * 3)][how % 5]()
        return True
    if isinstance(o, dict):
        [lambda: o.__setitem__("hostile", o), o.clear, o.popitem if o else o.clear,
         lambda: o.update({k: None for k in list(o)}), lambda: o.setdefault("a", [])][how % 5]()
        return True
    return False

def state(kind):
    if kind == "select":
        s = Stream(select=[("a", ANY, ...), ("c",)])
    else:
        s = Stream()
    s.feed(TEXT)
    results = []
    if kind in ("values", "reread", "select"):
        results.append(s.value())
    if kind in ("events", "reread", "select"):
        results.append(s.events())
        results.append(s.items(("a",)))
    if kind == "reread":
        results.append(s.items(("c", "d")))
    return s, results

for kind in ("plain", "values", "events", "reread", "select"):
    for how in range(5):
        s, results = state(kind)
        mutated = set()
        for o in reachable(s, results):
            if hostile(o, how):
                mutated.add(id(o))
        del results
        answers = []
        for call in (lambda: s.value(), lambda: s.events(), lambda: s.items(("a",)), lambda: s.path):
            try:
                answers.append(call())
            except RuntimeError as error:
                answers.append(error)
        s.feed(REST)
        text = TEXT + REST
        assert s.text == text and s.completion() == complete(text)
        assert equal_except(s.value(), json.loads(text), mutated), (kind, how, s.value())
        assert equal_except(s.close(), json.loads(text), mutated), (kind, how)
        for event in s.events():
            assert event.kind in ("start", "append", "end")
print("ok")
"""


def test_what_the_collector_shows_can_be_changed_without_harm(python):
    result = python(GC_VIEW)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout == "ok\n", result.stdout + result.stderr
