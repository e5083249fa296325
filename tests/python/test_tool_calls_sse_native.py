"""ToolCalls.feed_sse's native reader of the learned delta (carrack._stream.
_LearnedDelta) against the Python reader it stands in front of: the same
bodies, cut the same way, fed with the native reader on and off, must give the
same parts from every call, the same errors, and the same calls, texts, values,
states, reasons and message(); and, for bodies that are JSON throughout, what
their events give fed as dicts. Then the chunks it must take and those it must
leave, re-entry, and allocation failures inside it."""

import json
import random

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from carrack import ToolCalls
from carrack.tool_calls import _collector, _sse_reader
from conftest import run_python
from provider_events import BUILDERS, STREAMS, cut_at, sse_body

FORMATS = list(BUILDERS)


def outcome(collector):
    calls = [(c.index, c.id, c.name, c.type, c.text, c.state, c.executable, c.reason, json.dumps(c.parsed)) for c in collector]
    content = collector.content
    values = [_value(c.arguments) for c in collector]
    return (collector.finish_reason, collector.reason, collector.refusal, collector.id, calls, values,
            None if content is None else (content.text, content.state, content.reason), collector.skipped,
            repr(collector.message()) if collector.format is not None else None)


def _value(stream):
    try:
        # As JSON text, so that a NaN (which json.loads reads) equals itself.
        return ("ok", json.dumps(stream.value()))
    except Exception as error:
        return ("error", type(error).__name__)


def _part(part):
    return (type(part).__name__, getattr(part, "index", None), part.text)


def feed_all(chunks, native, monkeypatch):
    """Feeds the chunks and closes; what each call gave, the outcome, and
    whether the native reader took each chunk."""
    fallbacks = []
    general = _collector.ToolCalls._feed_sse

    def counted(self, chunk):
        fallbacks.append(chunk)
        return general(self, chunk)

    with monkeypatch.context() as patch:
        patch.setattr(_sse_reader, "NATIVE", native)
        patch.setattr(_collector.ToolCalls, "_feed_sse", counted)
        collector = ToolCalls()
        given_back = []
        taken = []
        for chunk in chunks:
            before = len(fallbacks)
            try:
                given_back.append(("ok", [_part(part) for part in collector.feed_sse(chunk)]))
            except Exception as error:
                given_back.append(("error", type(error), str(error)))
            # The value after every chunk, as callers read it.
            given_back.append([_value(call.arguments) for call in collector])
            # The first chunk goes to ToolCalls.feed_sse, which installs the native reader.
            taken.append(native and len(fallbacks) == before and collector._sse is not None and len(taken) > 0)
        try:
            collector.close()
        except Exception as error:
            given_back.append(("error", type(error), str(error)))
        return given_back, outcome(collector), taken


def same_both_ways(chunks, monkeypatch):
    native = feed_all(chunks, True, monkeypatch)
    python = feed_all(chunks, False, monkeypatch)
    assert native[:2] == python[:2]
    return native


# --- generated bodies ---------------------------------------------------------------------------

# Characters that need escapes, or bytes of every UTF-8 length, or json's surrogate escapes.
SPECIAL = '"\\/\b\f\n\r\t\x00\x01\x1f\x7f é€😀\u2028\ud800\udfff{}[],:'
fragments = st.lists(st.text(alphabet=st.sampled_from(SPECIAL) | st.characters(codec="utf-8"), max_size=6)
                     | st.sampled_from(['{"a": ', '"x\\"y"', "1", "}", '"\\ud83d', '\\ude00"', "\\ud800", ""]),
                     min_size=1, max_size=8)


@st.composite
def bodies(draw):
    format = draw(st.sampled_from(FORMATS))
    calls = [(f"f{i}", draw(fragments)) for i in range(draw(st.integers(1, 2)))]
    text = draw(st.lists(st.text(alphabet=SPECIAL + "ab", max_size=4), max_size=3))
    events = BUILDERS[format](calls, text=text)
    ascii_only = draw(st.booleans())
    padding = draw(st.sampled_from(["none", "sequence", "obfuscation", "both", "spaced"]))
    chunks, datas, broken = [], [], False
    for number, event in enumerate(events):
        if padding in ("sequence", "both", "spaced") and "choices" not in event:
            event = {**event, "sequence_number": number}
        if padding in ("obfuscation", "both") or (padding == "spaced" and number % 2):
            event = {**event, "obfuscation": "xyz0"[: number % 5]}
        separators = (", ", ": ") if padding == "spaced" else (",", ":")
        data = json.dumps(event, ensure_ascii=ascii_only, separators=separators).encode("utf-8", "surrogatepass")
        change = draw(st.sampled_from(["none"] * 6 + ["control", "invalid utf-8", "crlf", "no space", "comment"]))
        if change == "control" and b"\\u0001" in data:
            data, broken = data.replace(b"\\u0001", b"\x01", 1), True
        elif change == "invalid utf-8" and "é".encode() in data:
            data = data.replace("é".encode(), b"\xc3", 1)
        datas.append(data)
        name = f"event: {event['type']}\n".encode() if "type" in event else b""
        chunk = name + (b"data:" if change == "no space" else b"data: ") + data + b"\n\n"
        if change == "crlf":
            chunk = chunk.replace(b"\n", b"\r\n")
        elif change == "comment":
            chunk = b": ping\n" + chunk
        chunks.append(chunk)
    # Mostly one event a chunk; some joined, some cut anywhere.
    body = b"".join(chunks)
    layout = draw(st.sampled_from(["events", "events", "joined", "cut"]))
    if layout == "joined":
        chunks = [b"".join(chunks[i : i + 2]) for i in range(0, len(chunks), 2)]
    elif layout == "cut":
        chunks = cut_at(body, draw(st.lists(st.integers(min_value=0), max_size=12)))
    return chunks, datas, broken


def as_dicts(datas):
    """What the general path gives: each event's data decoded as the decoder
    decodes it and fed as a dict."""
    collector = ToolCalls()
    for data in datas:
        collector.feed(json.loads(data.decode("utf-8", "replace")))
    collector.close()
    return outcome(collector)


@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(bodies())
def test_generated_bodies_give_the_same_with_the_native_reader_as_without(monkeypatch, body):
    chunks, datas, broken = body
    _, result, _ = same_both_ways(chunks, monkeypatch)
    if not broken:
        assert result == as_dicts(datas)


@pytest.mark.parametrize("format", FORMATS)
@pytest.mark.parametrize("ascii_only", [True, False], ids=["escaped", "utf-8"])
def test_the_native_reader_takes_the_deltas_of_plain_bodies(monkeypatch, format, ascii_only):
    fragments = ['{"path": "a\\"b\\\\', "\\u00e9\\ud83d", '\\ude00 \u00e9\u20ac\U0001f600", "u": "\\u0041', '", "n": [1, ',
                 "2]}"]
    events = BUILDERS[format]([("write", fragments), ("read", ['{"a"', ": 1}"])], text=['"t', "\u00e9x", '"'])
    chunks = [(f"event: {e['type']}\n" if "type" in e else "").encode()
              + b"data: " + json.dumps(e, ensure_ascii=ascii_only).encode("utf-8", "surrogatepass") + b"\n\n"
              for e in events]
    given_back, result, taken = same_both_ways(chunks, monkeypatch)
    assert result == as_dicts([c.split(b"data: ", 1)[1][:-2] for c in chunks])
    # The deltas of a call after the one that teaches the shape (and, where the
    # first was empty, the one that opens the arguments, which goes the general way).
    assert sum(taken) >= len(fragments) - 2 + 1


@pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS])
def test_corpus_bodies_event_by_event_and_cut_anywhere(monkeypatch, path):
    body = sse_body(path)
    events = [piece + b"\n\n" for piece in body.replace(b"\r\n", b"\n").split(b"\n\n") if piece]
    same_both_ways(events, monkeypatch)
    rng = random.Random(path.stem)
    for _ in range(3):
        same_both_ways(cut_at(body, [rng.randrange(len(body) + 1) for _ in range(rng.randrange(1, 40))]), monkeypatch)


# --- chunks one at a time -----------------------------------------------------------------------

def learned_body(padded):
    """A Responses body whose argument deltas the reader learns from the second
    one; (its chunks before the variant, the variant's template, after)."""
    def event(number, data):
        if padded:
            data = {**data, "sequence_number": number}
        return f"event: {data['type']}\ndata: {json.dumps(data, separators=(',', ':'))}\n\n".encode()

    def delta(number, fragment):
        return {"type": "response.function_call_arguments.delta", "item_id": "fc_1", "output_index": 0,
                "delta": fragment}

    start = [
        event(0, {"type": "response.created", "response": {"id": "resp_1", "status": "in_progress", "output": []}}),
        event(1, {"type": "response.output_item.added", "output_index": 0,
                  "item": {"id": "fc_1", "type": "function_call", "call_id": "call_1", "name": "f", "arguments": ""}}),
        event(2, delta(2, '{"a": "')),
        event(3, delta(3, "x")),
    ]
    end = [
        event(5, delta(5, '"}')),
        event(6, {"type": "response.output_item.done", "output_index": 0, "item": {}}),
        event(7, {"type": "response.completed", "response": {"id": "resp_1", "status": "completed", "output": []}}),
    ]
    template = event(4, delta(4, "\x00FRAGMENT\x00")).decode().replace('"\\u0000FRAGMENT\\u0000"', "\x00")
    return start, template, end


# (name, the delta's literal as sent, whether the native reader takes it, padded)
CHUNKS = [
    ("plain", '"abc"', True, False),
    ("empty", '""', True, False),
    ("escapes", r'"\"\\\/\b\f\n\r\t"', True, False),
    ("upper-case hex", r'"\u00E9\u00e9"', True, False),
    ("surrogate pair", r'"\ud83d\ude00"', True, False),
    ("lone high surrogate", r'"\ud800"', True, False),
    ("lone low surrogate", r'"\udc00x"', True, False),
    ("high then not low", r'"\ud800\u0041"', True, False),
    ("two highs", r'"\ud800\udbff\udfff"', True, False),
    ("latin-1", '"é"', True, False),
    ("two-byte wide", '"€ \u0100"', True, False),
    ("four-byte", '"😀"', True, False),
    ("DEL", '"\x7f"', True, False),
    ("raw control character", '"\x01"', False, False),
    ("raw tab", '"\t"', False, False),
    ("bad escape", r'"\x"', False, False),
    ("short unicode escape", r'"\u12"', False, False),
    ("non-hex unicode escape", r'"\u12G4"', False, False),
    ("bad escape after a high surrogate", r'"\ud800\uZZZZ"', False, False),
    ("unterminated", '"abc', False, False),
    ("sequence number", '"a"', True, True),
]
BYTES = [
    ("overlong", b'"\xc0\x80"'),
    ("encoded surrogate", b'"\xed\xa0\x80"'),
    ("beyond U+10FFFF", b'"\xf4\x90\x80\x80"'),
    ("cut character", b'"\xe2\x82"'),
    ("stray continuation", b'"\x80"'),
    ("invalid lead", b'"\xff"'),
]
PADDING = [
    # (name, what follows the literal in place of '}', taken)
    ("next number", ',"sequence_number":42}', True),
    ("negative", ',"sequence_number":-1}', True),
    ("spaces", ' , "sequence_number" : 7 } ', False),  # space before the comma: not padding
    ("spaced", ', "sequence_number" : 7 } ', True),
    ("tabs", ',\t"sequence_number":\t7\t}', True),
    ("obfuscation", ',"sequence_number":5,"obfuscation":"aZ9-_"}', True),
    ("obfuscation first", ',"obfuscation":"","sequence_number":5}', True),
    ("escaped obfuscation", ',"sequence_number":5,"obfuscation":"a\\"b"}', False),
    ("non-ASCII obfuscation", ',"sequence_number":5,"obfuscation":"é"}', False),
    ("another member", ',"sequence_number":5,"other":1}', False),
    ("no digits", ',"sequence_number":}', False),
    ("Unicode digits", ',"sequence_number":\u0663}', False),
    ("missing brace", ',"sequence_number":5', False),
    ("zero", ',"sequence_number":0}', True),
    ("minus zero", ',"sequence_number":-0}', True),
    ("leading zero", ',"sequence_number":007}', False),
    ("no-break space", ',\u00a0"sequence_number":7}', False),
    ("control character in obfuscation", ',"sequence_number":5,"obfuscation":"a\x01b"}', False),
    # json.loads reads an int of up to 640 digits whatever sys.set_int_max_str_digits
    # says, and refuses one longer than the limit (4300 by default).
    ("640 digits", ',"sequence_number":' + "7" * 640 + "}", True),
    ("641 digits", ',"sequence_number":' + "7" * 641 + "}", False),
    ("beyond the int digits limit", ',"sequence_number":' + "7" * 4301 + "}", False),
    ("beyond the limit, negative", ',"obfuscation":"x","sequence_number":-' + "7" * 4301 + "}", False),
    ("no padding", '}', False),  # the learned shape had a sequence number: no longer the same text
]


def variant_chunks(padded, literal: bytes, closing: str = None):
    start, template, end = learned_body(padded)
    before, after = template.encode().split(b"\x00")
    if closing is not None:
        after = after.replace(b',"sequence_number":4}', closing.encode(), 1)
    return start, before + literal + after, end


def check_variant(monkeypatch, padded, literal, taken, closing=None):
    start, chunk, end = variant_chunks(padded, literal, closing)
    native = same_both_ways(start + [chunk] + end, monkeypatch)
    assert native[2][len(start) - 1 :] == [True, taken, native[2][len(start) + 1], False, False]


@pytest.mark.parametrize(("name", "literal", "taken", "padded"), CHUNKS, ids=[c[0] for c in CHUNKS])
def test_literals_taken_or_left(monkeypatch, name, literal, taken, padded):
    check_variant(monkeypatch, padded, literal.encode("utf-8"), taken)


@pytest.mark.parametrize(("name", "literal"), BYTES, ids=[b[0] for b in BYTES])
def test_bytes_that_are_not_utf_8_are_left(monkeypatch, name, literal):
    check_variant(monkeypatch, False, literal, False)


@pytest.mark.parametrize(("name", "closing", "taken"), PADDING, ids=[p[0] for p in PADDING])
def test_padding_taken_or_left(monkeypatch, name, closing, taken):
    check_variant(monkeypatch, True, b'"a"', taken, closing)


@pytest.mark.parametrize(("name", "closing", "taken"), PADDING, ids=[p[0] for p in PADDING])
@pytest.mark.parametrize("native", [True, False])
def test_padding_that_json_refuses_is_refused_on_every_path(monkeypatch, name, closing, taken, native):
    # The event as sent: either path must read it as json.loads reads its data.
    start, chunk, end = variant_chunks(True, b'"a"', closing)
    data = chunk.split(b"data: ", 1)[1].rstrip(b"\n")
    try:
        json.loads(data)
        refused = False
    except ValueError:
        refused = True
    fed = feed_all(start + [chunk] + end, native, monkeypatch)[0]
    assert (fed[2 * len(start)][0] == "error") == refused


CHANGES = [
    ("CRLF", lambda c: c.replace(b"\n", b"\r\n")),
    ("CR", lambda c: c.replace(b"\n", b"\r")),
    ("LF then CR", lambda c: c[:-1] + b"\r"),
    ("no event line", lambda c: c.split(b"\n", 1)[1]),
    ("no space after data:", lambda c: c.replace(b"data: ", b"data:")),
    ("two spaces after data:", lambda c: c.replace(b"data: ", b"data:  ")),
    ("id line", lambda c: b"id: 1\n" + c),
    ("two data lines", lambda c: c.replace(b',"output_index"', b'\ndata: ,"output_index"')),
    ("two events", lambda c: c + c),
    ("no blank line", lambda c: c[:-1]),
    ("BOM", lambda c: b"\xef\xbb\xbf" + c),
    ("bytearray", bytearray),
    ("str", lambda c: c.decode()),
]


@pytest.mark.parametrize(("name", "change"), CHANGES, ids=[c[0] for c in CHANGES])
def test_chunks_of_another_shape_are_left(monkeypatch, name, change):
    start, chunk, end = variant_chunks(False, b'"abc"')
    chunks = start + [change(chunk)] + end
    native = same_both_ways(chunks, monkeypatch)
    # Without its event line, or the space, it is the same event, taken.
    assert native[2][len(start)] == (name in ("no event line", "no space after data:"))


def test_an_event_split_across_chunks_then_whole_ones(monkeypatch):
    start, chunk, end = variant_chunks(False, b'"abc"')
    for at in range(1, len(chunk)):
        same_both_ways(start + [chunk[:at], chunk[at:], chunk] + end, monkeypatch)


def test_the_class_method_and_the_instance_attribute_share_one_decoder(monkeypatch):
    """Half an event fed through ToolCalls.feed_sse itself (not the instance's
    native reader) leaves the decoder holding bytes: the native reader must not
    read the next chunk as a whole event."""
    start, chunk, end = variant_chunks(False, b'"abc"')
    collector = ToolCalls()
    for piece in start:
        collector.feed_sse(piece)
    assert type(collector.feed_sse).__name__ == "_LearnedDelta"
    ToolCalls.feed_sse(collector, chunk[:10])
    assert collector.feed_sse(chunk[10:]) == collector.calls
    assert collector.feed_sse(chunk) == collector.calls
    for piece in end:
        collector.feed_sse(piece)
    collector.close()
    assert collector.calls[0].parsed == {"a": "xabcabc"}
    with pytest.raises(ValueError, match=r"feed\(\) after close\(\)"):
        collector.feed_sse(chunk)


def test_a_refused_fragment_is_handled_as_the_general_path_handles_it(monkeypatch):
    """The fragment closes the object, then more comes: the stream refuses it and
    the call is malformed, with json's message, on both paths."""
    start, chunk, end = variant_chunks(False, b'"\\"}"')
    more = chunk.replace(b'"\\"}"', b'"x"')
    native, *_ = same_both_ways(start + [chunk, more] + end, monkeypatch)
    collector = ToolCalls()
    for piece in start + [chunk, more]:
        collector.feed_sse(piece)
    assert collector.calls[0].state == "malformed" and collector.calls[0].text == '{"a": "x"}x'


# --- re-entry and allocation failures -----------------------------------------------------------

def test_a_feed_that_reenters_goes_the_general_way():
    """The part's feed re-enters feed_sse and replaces the shape; the outer call
    holds its own references and the inner one takes the Python path."""
    start, chunk, end = variant_chunks(False, b'"abc"')
    collector = ToolCalls()
    for piece in start:
        collector.feed_sse(piece)
    native = collector._sse.native
    shape = collector._sse._shape
    inner = []

    def feed(fragment):
        # The inner call feeds the part through this too: it re-enters once.
        shape[3]._feed = stream_feed
        native.learn(None)
        inner.append(collector.feed_sse(chunk.replace(b'"abc"', b'"IN"')))
        native.learn(shape)
        stream_feed(fragment)

    # The part's own feed, as the shape has it: a feed other than the part's is left.
    stream_feed = shape[3]._feed
    shape[3]._feed = feed
    native.learn(shape[:4] + (feed,) + shape[5:])
    assert collector.feed_sse(chunk) == collector.calls
    assert inner == [collector.calls]
    assert collector.calls[0].text == '{"a": "xINabc'


def test_learn_takes_none_or_a_shape():
    from carrack._stream import _LearnedDelta

    native = _LearnedDelta(lambda chunk: ["fallback", chunk])
    assert native(b"data: x\n\n") == ["fallback", b"data: x\n\n"]
    for bad in [(), (b"", b"", None, None, None), ("", b"", None, None, len, None), (b"", b"", "", None, len, None),
                (b"", b"", None, None, 5, None)]:
        with pytest.raises(TypeError):
            native.learn(bad)
    with pytest.raises(TypeError):
        _LearnedDelta(5)
    native.learn((b'{"d":"', b"}", None, None, len, None))
    # The guards read attributes the part and owner lack: the fallback takes it.
    assert native(b'data: {"d":"x"}\n\n') == ["fallback", b'data: {"d":"x"}\n\n']
    native.learn(None)


SWEEP = r'''
import json
from carrack import ToolCalls

if injector == "cpp":
    import ctypes, os
    library = ctypes.CDLL(os.environ["CARRACK_FAIL_ALLOCATIONS"])
    def arm(n): library.carrack_fail_allocation(n)
    def disarm(): return bool(library.carrack_allocation_failed())
else:
    import _testcapi
    def arm(n): _testcapi.set_nomemory(n, 0)
    def disarm(): _testcapi.remove_mem_hooks(); return None

def delta(literal):
    """A delta whose fragment is the JSON string literal's contents, as sent."""
    return ('event: content_block_delta\ndata: {"type":"content_block_delta","index":0,'
            '"delta":{"type":"input_json_delta","partial_json":"' + literal + '"}}\n\n').encode()

start = [
    b'event: message_start\ndata: {"type":"message_start","message":{"id":"msg_1","content":[]}}\n\n',
    b'event: content_block_start\ndata: {"type":"content_block_start","index":0,"content_block":{"type":"tool_use","id":"t","name":"f","input":{}}}\n\n',
    delta('{\\"a\\": \\"'), delta("x"),
]
end = [delta('\\"}'), b'event: content_block_stop\ndata: {"type":"content_block_stop","index":0}\n\n',
       b'event: message_delta\ndata: {"type":"message_delta","delta":{"stop_reason":"tool_use"}}\n\n']

def outcome(c):
    return [(x.text, x.state, x.parsed, x.arguments.value() if x.state == "streaming" else None) for x in c], c.reason

def collector():
    c = ToolCalls()
    for piece in start:
        c.feed_sse(piece)
    assert type(c.feed_sse).__name__ == "_LearnedDelta"
    return c

total = 0
for fragment in ["abc", "\u00e9\\n", "\u0100\\\\", "\U0001f600\\ud83d\\ude00"]:
    chunk = delta(fragment)
    reference = collector()
    reference.feed_sse(chunk)
    for piece in end: reference.feed_sse(piece)
    reference.close()
    n = 0 if injector == "python" else 1  # set_nomemory(n) fails the allocations after the n-th
    while True:
        c = collector()
        before = outcome(c)
        arm(n)
        try:
            c.feed_sse(chunk)
            failed = False
        except MemoryError:
            failed = True
        hit = disarm()
        if not failed and not hit:
            break
        if failed:
            assert outcome(c) == before, (fragment, n)  # nothing changed
            c.feed_sse(chunk)
        for piece in end: c.feed_sse(piece)
        c.close()
        assert outcome(c) == outcome(reference), (fragment, n)
        n += 1
    total += n - (1 if injector == "cpp" else 0)
print("steps", total)
'''


def test_every_python_allocation_failure_in_the_native_reader_changes_nothing():
    pytest.importorskip("_testcapi")
    result = run_python('injector = "python"\n' + SWEEP)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-5000:]
    assert int(result.stdout.split()[-1]) >= 8


def test_every_cpp_allocation_failure_in_the_native_reader_changes_nothing(tmp_path_factory):
    from test_failure_injection import fail_allocations_library

    library = fail_allocations_library(tmp_path_factory)
    if library is None:
        pytest.skip("the C++ allocation-failure injector needs Linux and g++")
    import os

    preload = " ".join(filter(None, [str(library), os.environ.get("LD_PRELOAD", "")]))
    env = {"CARRACK_FAIL_ALLOCATIONS": str(library), "LD_PRELOAD": preload}
    if os.environ.get("LD_PRELOAD"):
        env["ASAN_OPTIONS"] = os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
    result = run_python('injector = "cpp"\n' + SWEEP, env=env)
    assert result.returncode == 0, result.stdout[-3000:] + result.stderr[-5000:]


def test_the_instance_feed_sse_shows_the_method_signature():
    import inspect

    collector = ToolCalls()
    collector.feed_sse(b'data: {"type":"message_start","message":{"id":"m","content":[]}}\n\n')
    assert type(collector.feed_sse).__name__ == "_LearnedDelta"
    assert inspect.signature(collector.feed_sse) == inspect.signature(ToolCalls.feed_sse.__get__(collector))


def test_a_changed_part_class_is_read_through_getattr(monkeypatch):
    """The guards read the part's slots directly only while its class is as it
    was when the shape was learned; a class changed since (here, its _ended
    made a property that says True) is read through getattr."""
    from carrack.tool_calls import _parts

    start, chunk, end = variant_chunks(False, b'"abc"')
    collector = ToolCalls()
    for piece in start:
        collector.feed_sse(piece)
    assert collector.feed_sse(chunk) == collector.calls
    monkeypatch.setattr(_parts.ToolCall, "_ended", property(lambda self: True), raising=False)
    # The native reader sees the call as ended and leaves the chunk; so does the
    # Python one, and the general path raises, as for a call that ended.
    with pytest.raises(ValueError, match="after the end"):
        collector.feed_sse(chunk)
    monkeypatch.undo()
    assert collector.feed_sse(chunk) == collector.calls
    assert collector.calls[0].text == '{"a": "xabcabc'


# --- hostile changes after the shape is learned ---------------------------------------------------

def chat_chunk(delta, finish_reason=None):
    event = {"id": "c", "object": "chat.completion.chunk", "created": 1, "model": "m",
             "choices": [{"index": 0, "delta": delta, "finish_reason": finish_reason}]}
    return f"data: {json.dumps(event, separators=(',', ':'))}\n\n".encode()


def chat_start(id):
    return chat_chunk({"tool_calls": [{"index": 0, "id": id, "type": "function", "function": {"name": "f", "arguments": ""}}]})


def chat_args(fragment):
    return chat_chunk({"tool_calls": [{"index": 0, "function": {"arguments": fragment}}]})


def test_a_second_call_at_a_learned_index_takes_the_later_deltas(monkeypatch):
    """Servers that number every call 0 start a second call at the index the
    shape was learned on: its deltas are the second call's, as fed as dicts."""
    chunks = [chat_start("a"), chat_args('{"x"'), chat_args(":1"), chat_start("b"), chat_args('{"y"'),
              chat_args(":2}"), chat_chunk({}, "tool_calls")]
    native = same_both_ways(chunks, monkeypatch)
    assert native[1] == as_dicts([chunk[6:-2] for chunk in chunks])
    # And after a call has started through feed() between chunks.
    collector = ToolCalls()
    for chunk in chunks[:3]:
        collector.feed_sse(chunk)
    collector.feed(json.loads(chunks[3][6:-2]))
    for chunk in chunks[4:]:
        collector.feed_sse(chunk)
    assert [call.text for call in collector] == ['{"x":1', '{"y":2}']


def _reclass(call):
    from carrack.tool_calls._parts import ToolCall

    call.__class__ = type("Sub", (ToolCall,), {"__slots__": ()})


def _refeed(call):
    feed = call._feed
    call._feed = lambda fragment: feed(fragment.upper())


# (name, what is done to the learned call between chunks)
CHANGES_AFTER_LEARNING = [
    ("class made a subclass", _reclass),
    ("feed replaced", _refeed),
]


@pytest.mark.parametrize(("name", "change"), CHANGES_AFTER_LEARNING, ids=[c[0] for c in CHANGES_AFTER_LEARNING])
def test_a_call_changed_after_learning_is_fed_as_changed(monkeypatch, name, change):
    texts = []
    for native in (True, False):
        monkeypatch.setattr(_sse_reader, "NATIVE", native)
        collector = ToolCalls()
        for chunk in [chat_start("a"), chat_args('{"x"'), chat_args(':"a')]:
            collector.feed_sse(chunk)
        change(collector.calls[0])
        assert collector.feed_sse(chat_args("b")) == collector.calls
        texts.append((collector.calls[0].text, collector.content))
    expected = '{"x":"aB' if name == "feed replaced" else '{"x":"ab'
    assert texts == [(expected, None)] * 2


def test_a_subclass_feed_sse_sees_every_chunk():
    seen = []

    class Logged(ToolCalls):
        def feed_sse(self, chunk):
            seen.append(chunk)
            return super().feed_sse(chunk)

    chunks = [chat_start("a"), chat_args('{"x"'), chat_args(":1"), chat_args("}")]
    collector = Logged()
    for chunk in chunks:
        collector.feed_sse(chunk)
    assert seen == chunks and collector.calls[0].text == '{"x":1}'


@pytest.mark.parametrize("way", ["feed", "feed_sse"])
def test_a_subclass_feed_sees_every_event_and_is_refused_after_close(way):
    seen = []

    class Logged(ToolCalls):
        def feed(self, event):
            seen.append(event)
            return super().feed(event)

    chunks = [chat_start("a"), chat_args('{"x"'), chat_args(":1"), chat_args("}")]
    events = [json.loads(chunk.split(b"data: ", 1)[1]) for chunk in chunks]
    collector, plain = Logged(), ToolCalls()
    for chunk, event in zip(chunks, events):
        if way == "feed":
            assert _part(collector.feed(event)) == _part(plain.feed(event))
        else:
            collector.feed_sse(chunk)
    if way == "feed":
        assert seen == events
    else:  # the events the Python path parses; the learned deltas after them are read without an event
        assert seen == events[: len(seen)] and seen
    assert collector.calls[0].text == '{"x":1}' and outcome(collector)[1:] == outcome(plain if way == "feed" else collector)[1:]
    collector.close()
    with pytest.raises(ValueError, match="after close"):
        collector.feed(events[-1])
