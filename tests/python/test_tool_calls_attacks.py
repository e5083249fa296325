"""carrack.ToolCalls and carrack.sse attacked as a hostile caller and as real
servers would: generated streams of each provider against the SDKs' own
accumulators, a bad event put anywhere (it must change nothing), raw SSE bodies
against the SDK's decoder and httpx-sse, re-entry, async streams that fail
mid-way, and the message of a stream cut short."""

import asyncio
import copy
import json
import time

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from carrack import ToolCalls
from carrack.sse import Decoder
from provider_events import cut_at, sdk_message, sdk_objects

openai = pytest.importorskip("openai")
anthropic = pytest.importorskip("anthropic")

quick = settings(max_examples=40, deadline=None, suppress_health_check=[HealthCheck.too_slow])

# --- generated streams ----------------------------------------------------------------

keys = st.sampled_from(["city", "path", "n", "q", "é", 'a"b'])
leaves = st.one_of(st.none(), st.booleans(), st.integers(-10**6, 10**6), st.floats(allow_nan=False, allow_infinity=False, width=32),
                   st.text(alphabet=st.sampled_from('ab "\\\n/é😀\x01'), max_size=8))
values = st.recursive(leaves, lambda inner: st.lists(inner, max_size=3) | st.dictionaries(keys, inner, max_size=3), max_leaves=6)
objects = st.dictionaries(keys, values, max_size=4)


def split(draw, text, most=6):
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=most)))
    return [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]


def interleave(draw, queues):
    """The queues' items merged in a drawn order, each queue's own order kept and
    the queues started in order (as servers start parallel calls and choices)."""
    queues = [list(queue) for queue in queues if queue]
    out = []
    started = 0
    while queues:
        started = max(started, 1)
        queue = queues[draw(st.integers(0, min(started, len(queues)) - 1))]
        if queues.index(queue) == started - 1 and started < len(queues):
            started += 1
        out.append(queue.pop(0))
        if not queue:
            queues.remove(queue)
            started -= 1
    return out


def _chunk(choice, delta, finish=None):
    return {"id": "chatcmpl-1", "object": "chat.completion.chunk", "created": 1, "model": "m",
            "choices": [{"index": choice, "delta": delta, "logprobs": None, "finish_reason": finish}]}


@st.composite
def chat_streams(draw):
    """n > 1 choices interleaved, parallel calls interleaved, content and refusals
    mixed with calls, ids and names only on first fragments, usage chunks."""
    n = draw(st.integers(1, 2))
    queues = []
    for choice in range(n):
        first = {"role": "assistant", "content": draw(st.sampled_from([None, ""]))}
        if draw(st.booleans()):
            first["refusal"] = None
        head = [_chunk(choice, first)]
        head += [_chunk(choice, {"content": piece}) for piece in split(draw, draw(st.text(max_size=12)), 3) if draw(st.booleans())]
        calls = []
        for index in range(draw(st.integers(0, 3))):
            pieces = split(draw, json.dumps(draw(objects), ensure_ascii=draw(st.booleans())))
            start = {"index": index, "id": f"call_{choice}_{index}", "type": "function", "function": {"name": f"tool_{index}", "arguments": pieces[0]}}
            body = [{"index": index, "function": {"arguments": piece}} for piece in pieces[1:]]
            calls.append([_chunk(choice, {"tool_calls": [start]}), *(_chunk(choice, {"tool_calls": [f]}) for f in body)])
        tail = []
        if draw(st.booleans()):
            tail.append(_chunk(choice, {"refusal": draw(st.text(min_size=1, max_size=6))}))
        finish = draw(st.sampled_from(["tool_calls", "stop", "length", "content_filter", None]))
        if finish is not None:
            tail.append(_chunk(choice, {}, finish))
        queues.append(head + interleave(draw, calls) + tail)
    events = interleave(draw, queues)
    if draw(st.booleans()):
        events.append({"id": "chatcmpl-1", "object": "chat.completion.chunk", "created": 1, "model": "m", "choices": [],
                       "usage": {"prompt_tokens": 1, "completion_tokens": 2, "total_tokens": 3}})
    return n, events


def sdk_chat(events, choice):
    from openai._models import construct_type
    from openai.lib.streaming.chat import ChatCompletionStreamState
    from openai.types.chat import ChatCompletionChunk

    state = ChatCompletionStreamState()
    for event in events:
        state.handle_chunk(construct_type(type_=ChatCompletionChunk, value=event))
    return [c for c in state.current_completion_snapshot.choices if c.index == choice][0]


@quick
@given(stream=chat_streams(), as_objects=st.booleans())
def test_generated_chat_streams_collect_as_the_sdk_accumulates(stream, as_objects):
    n, events = stream
    for choice in range(n):
        fed = sdk_objects(events, "openai-chat") if as_objects else copy.deepcopy(events)
        collector = ToolCalls.collect(fed, choice=choice)
        snapshot = sdk_chat(events, choice)
        assert collector.finish_reason == snapshot.finish_reason
        assert [(c.id, c.name, c.text) for c in collector] == [
            (t.id, t.function.name, t.function.arguments) for t in snapshot.message.tool_calls or ()
        ]
        assert collector.message() == sdk_message(events, "openai-chat", choice)
        assert collector.refusal == (snapshot.message.refusal or None)


@st.composite
def anthropic_streams(draw):
    """Text, thinking and tool use blocks; a stream cut by max_tokens leaves its
    last block unstopped, its JSON cut anywhere."""
    events = [{"type": "message_start", "message": {"id": "msg_1", "type": "message", "role": "assistant", "content": [],
                                                     "model": "m", "stop_reason": None, "stop_sequence": None,
                                                     "usage": {"input_tokens": 1, "output_tokens": 1}}}]
    kinds = draw(st.lists(st.sampled_from(["text", "tool_use", "thinking"]), max_size=4))
    stop = draw(st.sampled_from(["tool_use", "end_turn", "max_tokens", None]))
    for index, kind in enumerate(kinds):
        last = index == len(kinds) - 1
        cut = last and stop == "max_tokens" and draw(st.booleans())
        if kind == "tool_use":
            text = json.dumps(draw(objects))
            if cut:
                text = text[: draw(st.integers(0, len(text)))]
            start = {"type": "tool_use", "id": f"toolu_{index}", "name": f"tool_{index}", "input": {}}
            deltas = [{"type": "input_json_delta", "partial_json": p} for p in ["", *split(draw, text)]]
        elif kind == "text":
            start = {"type": "text", "text": ""}
            deltas = [{"type": "text_delta", "text": p} for p in split(draw, draw(st.text(min_size=1, max_size=10)), 3)]
        else:
            start = {"type": "thinking", "thinking": "", "signature": ""}
            deltas = [{"type": "thinking_delta", "thinking": p} for p in split(draw, draw(st.text(min_size=1, max_size=10)), 3)]
            deltas.append({"type": "signature_delta", "signature": "Eq" + draw(st.text(alphabet="abc", max_size=4))})
        events.append({"type": "content_block_start", "index": index, "content_block": start})
        events += [{"type": "content_block_delta", "index": index, "delta": delta} for delta in deltas]
        if draw(st.booleans()):
            events.append({"type": "ping"})
        if not cut:
            events.append({"type": "content_block_stop", "index": index})
    if stop is not None:
        events.append({"type": "message_delta", "delta": {"stop_reason": stop, "stop_sequence": None}, "usage": {"output_tokens": 9}})
        events.append({"type": "message_stop"})
    return events


def anthropic_snapshot(events):
    from anthropic._models import construct_type
    from anthropic.lib.streaming._messages import accumulate_event
    from anthropic.types import RawMessageStreamEvent

    snapshot, buffers = None, {}
    for event in events:
        if event["type"] != "ping":
            snapshot = accumulate_event(event=construct_type(type_=RawMessageStreamEvent, value=event), current_snapshot=snapshot, json_bufs=buffers)
    return snapshot


@quick
@given(events=anthropic_streams(), as_objects=st.booleans())
def test_generated_anthropic_streams_and_their_message_as_the_sdk_accumulates(events, as_objects):
    try:
        snapshot = anthropic_snapshot(events)
    except ValueError:  # the SDK raises on a cut it cannot parse partially
        assume(False)
    plain = [event for event in events if event["type"] != "ping"]
    collector = ToolCalls.collect(sdk_objects(plain, "anthropic-messages") if as_objects else copy.deepcopy(events))
    assert collector.finish_reason == snapshot.stop_reason
    assert collector.message() == sdk_message(events, "anthropic-messages")
    for call in collector:
        if call.state == "complete":
            assert call.parsed == snapshot.content[call.index].input


@st.composite
def responses_streams(draw):
    """Reasoning, messages, function and custom tool calls, the calls' deltas
    interleaved; sequence numbers and obfuscation padding."""
    items = draw(st.lists(st.sampled_from(["message", "function_call", "custom_tool_call", "reasoning"]), max_size=4))
    response = {"id": "resp_1", "object": "response", "created_at": 1, "model": "m", "status": "in_progress", "output": []}
    events = [{"type": "response.created", "response": response}]
    done_items, queues = [], []
    for index, kind in enumerate(items):
        item_id = f"it_{index}"
        added_event = None
        if kind in ("function_call", "custom_tool_call"):
            field = "arguments" if kind == "function_call" else "input"
            whole = json.dumps(draw(objects)) if kind == "function_call" else draw(st.text(max_size=12))
            added = {"id": item_id, "type": kind, "status": "in_progress", field: "", "call_id": f"call_{index}", "name": f"tool_{index}"}
            delta_type = "response.function_call_arguments.delta" if kind == "function_call" else "response.custom_tool_call_input.delta"
            done_type = "response.function_call_arguments.done" if kind == "function_call" else "response.custom_tool_call_input.done"
            done = {**added, "status": "completed", field: whole}
            body = [{"type": delta_type, "item_id": item_id, "output_index": index, "delta": piece} for piece in split(draw, whole)]
            body.append({"type": done_type, "item_id": item_id, "output_index": index, field: whole})
        elif kind == "message":
            text = draw(st.text(max_size=12))
            added = {"id": item_id, "type": "message", "status": "in_progress", "role": "assistant", "content": []}
            part = {"type": "output_text", "text": text, "annotations": [], "logprobs": []}
            done = {**added, "status": "completed", "content": [part]}
            at = {"item_id": item_id, "output_index": index, "content_index": 0}
            body = [{"type": "response.content_part.added", **at, "part": {"type": "output_text", "text": "", "annotations": [], "logprobs": []}}]
            body += [{"type": "response.output_text.delta", **at, "delta": piece, "logprobs": []} for piece in split(draw, text, 3)]
            body += [{"type": "response.output_text.done", **at, "text": text, "logprobs": []},
                     {"type": "response.content_part.done", **at, "part": part}]
        else:
            added = {"id": item_id, "type": "reasoning", "summary": []}
            done = {**added, "summary": [{"type": "summary_text", "text": "think"}], "encrypted_content": "gAAA"}
            body = []
        added_event = {"type": "response.output_item.added", "output_index": index, "item": added}
        body.append({"type": "response.output_item.done", "output_index": index, "item": done})
        events.append(added_event)
        queues.append(body)
        done_items.append(done)
    # Items added in order; their events interleave (parallel calls stream so).
    events += interleave(draw, queues) if draw(st.booleans()) else [event for queue in queues for event in queue]
    end = draw(st.sampled_from(["completed", "incomplete"]))
    events.append({"type": f"response.{end}", "response": {**response, "status": end, "output": done_items}})
    padded = draw(st.booleans())
    return [{**event, "sequence_number": number, **({"obfuscation": "x" * (number % 3)} if padded else {})} for number, event in enumerate(events)], done_items


@quick
@given(stream=responses_streams(), as_objects=st.booleans())
def test_generated_responses_streams_and_their_output_as_the_sdk_gives_them(stream, as_objects):
    events, done = stream
    fed = sdk_objects(events, "openai-responses") if as_objects else copy.deepcopy(events)
    collector = ToolCalls.collect(fed)
    assert collector.message() == sdk_message(events, "openai-responses")
    calls = [item for item in done if item["type"] in ("function_call", "custom_tool_call")]
    assert [(c.id, c.name, c.type, c.text) for c in collector] == [
        (item["call_id"], item["name"], item["type"], item.get("arguments", item.get("input"))) for item in calls
    ]
    assert collector.skipped == {}


# --- one bad event, anywhere: it raises and changes nothing ----------------------------


def outcome(collector):
    calls = [(c.index, c.id, c.name, c.type, c.text, c.state, c.executable, c.reason, c.parsed) for c in collector]
    content = collector.content
    return (collector.finish_reason, collector.reason, collector.refusal, collector.id, calls,
            None if content is None else (content.text, content.state), collector.skipped, collector.message())


BAD = {
    "openai-chat": [
        (_chunk(0, {"content": "zz", "tool_calls": [{"index": "0", "id": "x", "function": {"name": "f"}}]}), ValueError),
        (_chunk(0, {"content": "zz", "tool_calls": [{"index": 0, "function": {"arguments": 5}}]}), TypeError),
        (_chunk(0, {"content": "zz", "tool_calls": [{"index": 9, "function": {"arguments": "{"}}]}), ValueError),
        # a choice that finishes, then more of it in the same chunk
        ({"id": "chatcmpl-1", "choices": [{"index": 0, "delta": {}, "finish_reason": "stop"},
                                          {"index": 0, "delta": {"content": "late"}, "finish_reason": None}]}, ValueError),
        ({"id": "chatcmpl-1", "choices": 7}, ValueError),
        ({"type": "message_start", "message": {}}, ValueError),
    ],
    "anthropic-messages": [
        ({"type": "content_block_delta", "index": 99, "delta": {"type": "input_json_delta", "partial_json": "{"}}, ValueError),
        ({"type": "content_block_delta", "index": 0, "delta": {"type": "text_delta", "text": 5}}, (TypeError, ValueError)),
        ({"type": "content_block_start", "index": 0, "content_block": {"type": "tool_use", "id": "t", "name": "f", "input": {}}}, ValueError),
        ({"type": "content_block_start", "index": 50, "content_block": {"type": "tool_use", "id": 5, "name": "f", "input": {}}}, ValueError),
        ({"type": "response.created", "response": {}}, ValueError),
    ],
    "openai-responses": [
        ({"type": "response.function_call_arguments.delta", "item_id": "nope", "output_index": 77, "delta": "{"}, ValueError),
        ({"type": "response.output_item.added", "output_index": 0, "item": {"id": "x", "type": "message"}}, ValueError),
        ({"type": "response.output_item.added", "output_index": 60, "item": {"id": "y", "type": "function_call", "call_id": 3, "name": "f"}}, ValueError),
        ({"type": "response.output_text.delta", "item_id": "it_0", "output_index": 0, "content_index": 0, "delta": 4}, TypeError),
        ({"type": "content_block_stop", "index": 0}, ValueError),
    ],
}


@st.composite
def any_stream(draw):
    format = draw(st.sampled_from(sorted(BAD)))
    if format == "openai-chat":
        events = draw(chat_streams())[1]
    elif format == "anthropic-messages":
        events = draw(anthropic_streams())
    else:
        events = draw(responses_streams())[0]
    return format, events


@quick
@given(stream=any_stream(), data=st.data())
def test_a_bad_event_anywhere_raises_and_changes_nothing(stream, data):
    format, events = stream
    at = data.draw(st.integers(1, len(events)))
    bad, error = data.draw(st.sampled_from(BAD[format]))
    clean = ToolCalls.collect(copy.deepcopy(events), format)
    collector = ToolCalls(format)
    for event in copy.deepcopy(events[:at]):
        collector.feed(event)
    before = outcome(collector)
    for _ in range(2):  # and again: a second try must not corrupt anything either
        try:
            collector.feed(copy.deepcopy(bad))
        except error:
            pass
        except (TypeError, ValueError):  # after the end, every event is out of place
            assert collector.ended
        else:  # a few are good where they land (the block or the item is open): no test then
            assume(False)
        assert outcome(collector) == before
    for event in copy.deepcopy(events[at:]):
        collector.feed(event)
    collector.close()
    assert outcome(collector) == outcome(clean)


# --- faults found, each fixed ---------------------------------------------------------------


def chat_content_seen_on_the_fast_path():
    return [_chunk(0, {"role": "assistant", "content": None}),
            _chunk(0, {"tool_calls": [{"index": 0, "id": "a", "type": "function", "function": {"name": "f", "arguments": ""}}]}),
            _chunk(0, {"content": "", "tool_calls": [{"index": 0, "function": {"arguments": "{}"}}]}),
            _chunk(0, {}, "tool_calls")]


@pytest.mark.parametrize("as_objects", [False, True], ids=["dicts", "sdk objects"])
def test_a_fragment_beside_empty_content_makes_the_sdks_message(as_objects):
    """A compatible server's "content": "" beside each fragment: the SDK's message
    has content "" then, and the fast path once lost it."""
    events = chat_content_seen_on_the_fast_path()
    fed = sdk_objects(events, "openai-chat") if as_objects else copy.deepcopy(events)
    assert ToolCalls.collect(fed).message() == sdk_message(events, "openai-chat") == {
        "role": "assistant", "content": "", "tool_calls": [{"id": "a", "type": "function", "function": {"name": "f", "arguments": "{}"}}]}


ERRORS_FIRST = [
    ({"type": "error", "error": {"type": "overloaded_error", "message": "Overloaded"}}, "anthropic-messages", "overloaded_error"),
    ({"type": "error", "code": "server_error", "message": "boom", "param": None, "sequence_number": 0}, "openai-responses", "boom"),
    ({"error": {"message": "rate limited", "type": "rate_limit", "code": 429}}, "openai-chat", "rate limited"),
]


@pytest.mark.parametrize(("event", "format", "said"), ERRORS_FIRST)
def test_an_error_as_the_first_event_ends_the_response_with_it(event, format, said):
    """A stream that fails before any other event: once a ValueError that
    no format claims it."""
    collector = ToolCalls()
    collector.feed(event)
    assert (collector.format, collector.ended, collector.finish_reason in (None, "error")) == (format, True, True)
    assert said in collector.reason
    assert collector.executable() == []


def test_events_after_a_bad_one_in_the_same_sse_chunk_are_not_lost():
    from provider_events import messages

    events = messages([("f", ['{"a":', " 1}"])])
    body = [b"data: " + json.dumps(event).encode() + b"\n\n" for event in events]
    collector = ToolCalls()
    with pytest.raises(ValueError, match="not JSON"):
        collector.feed_sse(body[0] + b"data: {bad}\n\n" + b"".join(body[1:4]))
    assert collector.calls == []  # the events after the bad one wait for the next call
    collector.feed_sse(b"".join(body[4:]))
    collector.close()
    assert [(call.text, call.executable) for call in collector] == [('{"a": 1}', True)]
    again = ToolCalls()
    with pytest.raises(ValueError):
        again.feed_sse(b"".join(body[:2]) + b"data: [1]\n\n" + b"".join(body[2:]))
    again.close()  # close() feeds them too
    assert [(call.text, call.executable) for call in again] == [('{"a": 1}', True)]


def test_a_long_line_in_small_chunks_costs_its_length():
    """A response.completed of megabytes (images, long outputs) arrives in
    network chunks: the decoder once joined everything held on each one."""
    line = b'data: {"x": "' + b"a" * 4_000_000 + b'"}\n\n'
    pieces = [line[i : i + 4096] for i in range(0, len(line), 4096)]
    timings = []
    for body in (pieces[: len(pieces) // 4] + [b"\n\n"], pieces):
        decoder = Decoder()
        start = time.perf_counter()
        events = [event for piece in body for event in decoder.feed(piece)]
        timings.append(time.perf_counter() - start)
        assert len(events) == 1
    # Four times the bytes: linear is ~4x; held-and-joined was ~16x.
    assert timings[1] < 10 * timings[0] + 0.05


# --- re-entry ---------------------------------------------------------------------------------


class Hostile:
    """An SDK-like event object whose field, when read, feeds the same collector."""

    def __init__(self, collector, inner, trigger, **fields):
        self._collector, self._inner, self._trigger, self._fields = collector, inner, trigger, fields

    def __getattr__(self, name):
        if name.startswith("_"):
            raise AttributeError(name)
        if self._inner is not None and name == self._trigger:
            inner, self._inner = self._inner, None
            try:
                self._collector.feed(inner)
            except RuntimeError as error:
                self.refused = error
        return self._fields.get(name)


def test_feed_from_code_that_reading_an_event_runs_is_refused():
    start = {"type": "tool_use", "id": "toolu_1", "name": "f", "input": {}}
    collector = ToolCalls("anthropic-messages")
    collector.feed({"type": "message_start", "message": {"id": "msg_1", "role": "assistant"}})
    inner = {"type": "content_block_start", "index": 0, "content_block": start}
    outer = Hostile(collector, inner, "content_block", type="content_block_start", index=0, content_block=start)
    collector.feed(outer)
    assert "in use" in str(outer.refused)
    assert [(call.index, call.id) for call in collector] == [(0, "toolu_1")]  # once, not twice
    collector.feed({"type": "content_block_delta", "index": 0, "delta": {"type": "input_json_delta", "partial_json": "{}"}})
    collector.feed({"type": "content_block_stop", "index": 0})
    assert [call.state for call in collector] == ["complete"]


# --- async streams that fail --------------------------------------------------------------------


class Boom(Exception):
    pass


async def failing(events, at):
    for number, event in enumerate(events):
        if number == at:
            raise Boom
        await asyncio.sleep(0)
        yield event


@pytest.mark.parametrize("at", [0, 3, 6])
def test_an_async_stream_that_raises_mid_way_leaves_what_it_fed(at):
    from provider_events import chat

    events = chat([("f", ['{"a"', ": 1}"]), ("g", ["{}"])])
    collector = ToolCalls()

    async def follow():
        seen = []
        async for part in collector.aupdates(failing(events, at)):
            seen.append(part)
        return seen

    with pytest.raises(Boom):
        asyncio.run(follow())
    assert not collector.ended and collector.executable() == []
    partial = ToolCalls.collect(events[:at])
    assert [c.text for c in collector] == [c.text for c in partial]
    collector.close()  # the caller ends it: nothing runs
    assert collector.reason == "the stream stopped before the response ended"
    with pytest.raises(Boom):
        asyncio.run(ToolCalls.acollect(failing(events, at)))


def test_breaking_out_of_aupdates_runs_nothing_and_the_rest_can_be_fed():
    from provider_events import messages

    events = messages([("f", ['{"a": 1}'])])

    async def first(collector):
        async for part in collector.aupdates(failing(events, None)):
            return part

    collector = ToolCalls()
    asyncio.run(first(collector))
    assert not collector.ended
    for event in events[3:]:
        collector.feed(event)
    collector.close()
    assert [call.executable for call in collector] == [True]


# --- the message of a stream cut short -----------------------------------------------------------

CUT = ['{"a": tr', '{"a": 1', '{"a": 1.', '{"a": -', '{"a": "x', '{"a": "x\\', '{"a": "\\ud83d', '{"a', '{"a":', '{"a": [1, {"b"', '{"a": {}, ']


@pytest.mark.parametrize("text", CUT + ['{"a": 1.5e3', '{"a": [1, -20', '{"a": "x12', '{"a": 1, "b12', '{"a": 1, "b": 0'])
def test_the_message_of_a_call_cut_by_max_tokens_is_the_sdks(text):
    """The SDK's partial parse keeps a number the text ends on when it reads
    whole: {"a": 1 gives {"a": 1}, where what is closed is {}."""
    from provider_events import messages

    events = messages([("f", [text])], stop_reason="max_tokens", cut=True)
    try:
        want = sdk_message(events, "anthropic-messages")
    except ValueError:
        pytest.skip("the SDK cannot parse this cut")
    collector = ToolCalls.collect(events)
    assert collector.message() == want
    assert [call.state for call in collector] == ["truncated"]


# --- raw SSE bodies against the SDK's decoder and httpx-sse ----------------------------------------


def decode(chunks):
    decoder = Decoder()
    return [tuple(event) for chunk in chunks for event in decoder.feed(chunk)] + [tuple(e) for e in decoder.close()]


def sdk_decode(chunks):
    from openai._streaming import SSEDecoder

    return [(s.event or "message", s.data, s.id or "", s.retry) for s in SSEDecoder().iter_bytes(iter(chunks))]


def httpx_sse_decode(chunks):
    httpx = pytest.importorskip("httpx")
    from httpx_sse import EventSource

    response = httpx.Response(200, headers={"content-type": "text/event-stream"}, content=iter(chunks))
    return [(s.event or "message", s.data, s.id, s.retry) for s in EventSource(response).iter_sse()]


line_end = st.sampled_from(["\n", "\r", "\r\n"])
fields = st.one_of(
    st.tuples(st.just("data"), st.text(alphabet=st.sampled_from('{}":ab é😀 '), max_size=8)),
    st.tuples(st.just("event"), st.sampled_from(["ping", "message_start", ""])),
    st.tuples(st.just("id"), st.sampled_from(["7", "", "a b"])),
    st.tuples(st.just("retry"), st.sampled_from(["30", "1000"])),
    st.tuples(st.just(":"), st.text(alphabet="ab ", max_size=4)),
)
sse_events = st.lists(st.tuples(st.lists(fields, min_size=1, max_size=4), line_end, st.booleans()), max_size=5)


@st.composite
def sse_bodies(draw):
    out = [draw(st.sampled_from(["", "\ufeff"]))]
    for lines, end, spaced in draw(sse_events):
        for name, value in lines:
            out.append(f":{value}{end}" if name == ":" else f"{name}:{' ' if spaced else ''}{value}{end}")
        out.append(end)  # the blank line
    if draw(st.booleans()):
        out.append("data: [DONE]" + draw(line_end) * draw(st.integers(0, 2)))  # with or without its blank line
    return "".join(out).encode()


@settings(max_examples=120, deadline=None)
@given(body=sse_bodies(), points=st.lists(st.integers(min_value=0), max_size=12))
def test_raw_bodies_with_every_line_end_bom_comment_id_and_retry_decode_as_the_sdks(body, points):
    pytest.importorskip("httpx_sse")
    chunks = cut_at(body, points)
    ours = decode(chunks)
    assert ours == decode([body[i : i + 1] for i in range(len(body))])
    # The SDKs' decoders read a byte-order mark as part of the first field's name
    # (see the next test): they are given the body without it.
    theirs = cut_at(body.removeprefix(b"\xef\xbb\xbf"), points)
    assert [e for e in ours if e[1]] == [e for e in sdk_decode(theirs) if e[1]]
    assert [e for e in ours if e[1]] == [e for e in httpx_sse_decode(theirs) if e[1]]


def test_a_byte_order_mark_is_skipped_where_the_sdks_lose_the_first_event():
    """The SSE rules skip one BOM at the start of the body; the openai SDK's
    decoder and httpx-sse read "\ufeffdata" as an unknown field and drop the event."""
    body = b"\xef\xbb\xbfdata: a\n\ndata: b\n\n"
    assert decode([body[:2], body[2:]]) == [("message", "a", "", None), ("message", "b", "", None)]
    assert sdk_decode([body]) == httpx_sse_decode([body]) == [("message", "b", "", None)]


INVALID_UTF8 = [b"data: \xff\xfe\n\n", b"data: caf\xc3\n\ndata: x\n\n", b"data: \xed\xa0\x80\n\n", b"data: \xf0\x9f\x98\n\n"]


@pytest.mark.parametrize("body", INVALID_UTF8)
def test_invalid_utf8_is_replaced_wherever_the_body_is_cut(body):
    want = [("message", body[6 : body.index(b"\n")].decode("utf-8", "replace"), "", None)] + (
        [("message", "x", "", None)] if b"x" in body else [])
    for at in range(len(body) + 1):
        assert decode([body[:at], body[at:]]) == want, at
    assert httpx_sse_decode([body]) == want


# --- more ways in: prefixes, index-less servers, one event a chunk ------------------------------


@quick
@given(stream=any_stream(), data=st.data())
def test_the_message_of_any_prefix_is_the_sdks_snapshot_then(stream, data):
    """A stream cut anywhere (the connection dropped): message() is what the
    SDK's accumulator holds at that point, before and after close()."""
    format, events = stream
    assume(format != "openai-responses")  # its SDK gives a message only at the response's end
    at = data.draw(st.integers(1, len(events)))
    prefix = events[:at]
    if format == "anthropic-messages":
        try:
            want = sdk_message(prefix, format)
        except ValueError:
            assume(False)
    else:
        assume(any(choice["index"] == 0 for event in prefix for choice in event["choices"]))
        want = sdk_message(prefix, format)
    collector = ToolCalls(format)
    for event in copy.deepcopy(prefix):
        collector.feed(event)
    assert collector.message() == want
    collector.close()
    assert collector.message() == want
    assert collector.executable() == [] or collector.ended and collector.reason is None


@quick
@given(stream=chat_streams())
def test_index_less_fragments_collect_as_the_sdk_reads_them_with_index(stream):
    """Gemini's endpoint, older Ollama: no index on fragments. Calls one after
    another (as those servers send them) collect as the SDK collects the same
    stream with the index."""
    n, events = stream
    assume(n == 1)
    fragments = lambda events: [f for e in events for c in e["choices"] for f in c["delta"].get("tool_calls") or ()]  # noqa: E731
    order = [fragment["index"] for fragment in fragments(events)]
    assume(order == sorted(order))
    bare = copy.deepcopy(events)
    for fragment in fragments(bare):
        del fragment["index"]
    assert ToolCalls.collect(bare).message() == sdk_message(events, "openai-chat")


def sse(events, compact):
    separators = (",", ":") if compact else (", ", ": ")
    return [("data: " + json.dumps(event, separators=separators) + "\n\n").encode() for event in events]


@quick
@given(stream=any_stream(), compact=st.booleans(), choice=st.integers(0, 1))
def test_any_stream_one_event_a_chunk_collects_from_bytes_as_from_dicts(stream, compact, choice):
    """One event per network chunk: the path that reads a delta without parsing
    its event, on n > 1 choices, content mixed with calls, refusals, padding."""
    format, events = stream
    if format != "openai-chat":
        choice = 0
    collector = ToolCalls(choice=choice)
    for piece in sse(events, compact) + [b"data: [DONE]\n\n"] * (format == "openai-chat"):
        collector.feed_sse(piece)
    collector.close()
    assert outcome(collector) == outcome(ToolCalls.collect(copy.deepcopy(events), choice=choice))


@pytest.mark.parametrize("index", [True, 1.0, "1"])
def test_an_index_that_is_not_an_int_is_refused_on_every_path(index):
    """A dict finds call 1 under True and 1.0: the fast path once took them. (The
    SDK's event objects make each of these the int 1 themselves.)"""
    start = _chunk(0, {"tool_calls": [{"index": 1, "id": "a", "type": "function", "function": {"name": "f", "arguments": "{"}}]})
    bad = _chunk(0, {"tool_calls": [{"index": index, "function": {"arguments": "}"}}]})
    collector = ToolCalls()
    collector.feed(start)
    with pytest.raises(ValueError, match="index must be an int"):
        collector.feed(bad)
    assert [call.text for call in collector] == ["{"]


RETRY = [b"retry: +5\ndata: a\n\n", b"retry:  5\ndata: a\n\n", "retry: \u0661\ndata: a\n\n".encode()]


@pytest.mark.parametrize("body", RETRY)
def test_a_retry_of_anything_but_ascii_digits_is_ignored_where_the_sdks_read_it(body):
    """The SSE rules take retry only as ASCII digits; the openai SDK's decoder and
    httpx-sse take whatever int() reads."""
    assert decode([body]) == [("message", "a", "", None)]
    assert sdk_decode([body])[0][3] == httpx_sse_decode([body])[0][3] != None  # noqa: E711


def _deface(thing):
    """Changes every dict and list inside thing, in place."""
    if isinstance(thing, dict):
        for value in list(thing.values()):
            _deface(value)
        thing["defaced"] = True
    elif isinstance(thing, list):
        for value in thing:
            _deface(value)
        thing.append("defaced")


def _streams_with_nested_parts():
    from test_tool_calls_faults import blocks_apart, cited_text, reasoning_text_and_call, thinking_then_call, whole_input

    return [blocks_apart, reasoning_text_and_call, cited_text, thinking_then_call, whole_input]


@pytest.mark.parametrize("make", _streams_with_nested_parts(), ids=lambda make: make.__name__)
def test_the_message_shares_nothing_with_the_events_fed_or_the_last_message(make):
    """A caller edits the message it appends to its history, and may reuse the
    event dicts it fed: the next message() must not change with either."""
    events = make()
    collector = ToolCalls.collect(events)
    want = copy.deepcopy(collector.message())
    _deface(collector.message())
    for event in events:
        _deface(event)
    assert collector.message() == want
    for call in collector:
        assert "defaced" not in (call.parsed or {})


def test_azures_prompt_filter_chunk_first_leaves_the_real_id():
    """Azure OpenAI's first chunk has no choices and id "": the response's id is
    the first one that says something (the SDK's snapshot keeps "")."""
    azure = {"choices": [], "created": 0, "id": "", "model": "", "object": "",
             "prompt_filter_results": [{"prompt_index": 0, "content_filter_results": {}}]}
    events = [azure, _chunk(0, {"role": "assistant", "content": None}),
              _chunk(0, {"tool_calls": [{"index": 0, "id": "call_1", "type": "function", "function": {"name": "f", "arguments": "{}"}}]}),
              _chunk(0, {}, "tool_calls")]
    collector = ToolCalls.collect(copy.deepcopy(events))
    assert (collector.format, collector.id, [call.executable for call in collector]) == ("openai-chat", "chatcmpl-1", [True])
    assert collector.message() == sdk_message(events, "openai-chat")


@pytest.mark.parametrize("as_objects", [False, True], ids=["dicts", "sdk objects"])
def test_a_call_id_and_name_that_only_the_done_item_carries_are_taken(as_objects):
    """A Responses-compatible server that adds the item bare: the call must still
    be answerable by its call_id."""
    from provider_events import responses

    events = responses([("get_weather", ['{"city": ', '"Paris"}'])])
    del events[1]["item"]["call_id"], events[1]["item"]["name"]
    collector = ToolCalls.collect(sdk_objects(events, "openai-responses") if as_objects else events)
    assert [(call.id, call.name, call.executable) for call in collector] == [("call_0", "get_weather", True)]


def test_the_message_of_a_call_nested_deeper_than_python_recurses():
    """The arguments stream nests to a million levels; message() copies what it
    hands out, and must not recurse to do it."""
    from provider_events import messages

    depth = 50_000
    text = '{"a": ' + "[" * depth + "]" * depth + "}"
    collector = ToolCalls.collect(messages([("f", [text])]))
    (call,) = collector.calls
    assert call.executable
    block = collector.message()["content"][0]
    assert block["input"] is not call.parsed and list(block["input"]) == ["a"]


def test_sse_data_nested_deeper_than_json_reads_is_a_bad_event():
    collector = ToolCalls()
    with pytest.raises(ValueError, match="nests deeper than json reads"):
        collector.feed_sse(b"data: " + b"[" * 100_000 + b"\n\n")


def test_aupdates_and_acollect_say_to_use_collect_for_a_plain_iterable():
    with pytest.raises(TypeError, match=r"ToolCalls.collect"):
        asyncio.run(ToolCalls.acollect([_chunk(0, {"content": "x"})]))


def test_a_custom_tool_input_keeps_its_text_after_a_fragment_it_refused():
    from test_tool_calls_faults import custom_tool_stream

    (call,) = ToolCalls.collect(custom_tool_stream(("ls ", "\ud800", " /tmp")))
    assert (call.text, call.state, call.executable) == ("ls \ud800 /tmp", "malformed", False)


@quick
@given(stream=any_stream(), data=st.data())
def test_a_bad_event_inside_an_sse_chunk_loses_none_of_the_others(stream, data):
    """The body cut anywhere, a bad event put anywhere: feed_sse raises once,
    and a caller who goes on collects what the clean body collects."""
    format, events = stream
    at = data.draw(st.integers(0, len(events)))
    bad = data.draw(st.sampled_from([b"data: {bad}\n\n", b"data: [1]\n\n", b"data: " + b"[" * 5000 + b"\n\n"]))
    pieces = sse(events, compact=True)
    body = b"".join(pieces[:at]) + bad + b"".join(pieces[at:])
    collector = ToolCalls(format)
    raised = 0
    for piece in cut_at(body, data.draw(st.lists(st.integers(min_value=0), max_size=8))):
        try:
            collector.feed_sse(piece)
        except ValueError:
            raised += 1
    collector.close()
    assert raised == 1
    assert outcome(collector) == outcome(ToolCalls.collect(copy.deepcopy(events), format))


byte_atoms = st.sampled_from([b"data:", b"data: ", b"event:", b"id:", b"\n", b"\r", b"\r\n", b"\xff", b"\xc3", b"\xa9",
                              b"\xf0\x9f", b"\x98\x80", b"x", b" ", b":", b"\xef\xbb\xbf", b"\x00"])


@settings(max_examples=150, deadline=None)
@given(parts=st.lists(byte_atoms, max_size=30), points=st.lists(st.integers(min_value=0), max_size=10))
def test_any_bytes_invalid_utf8_split_anywhere_decode_as_httpx_sse_does(parts, points):
    pytest.importorskip("httpx_sse")
    body = b"".join(parts)
    ours = decode(cut_at(body, points))
    assert ours == decode([body])
    theirs = cut_at(body.removeprefix(b"\xef\xbb\xbf"), points)  # see the BOM test above
    assert [e for e in ours if e[1]] == [e for e in httpx_sse_decode(theirs) if e[1]]


UNKNOWN = {
    "openai-chat": [],  # chunks have no type: there is nothing unknown to pass over
    "anthropic-messages": [({"type": "message_annotations", "x": [1]}, "message_annotations")],
    "openai-responses": [({"type": "response.future.delta", "item_id": "it_0", "delta": "{"}, "response.future.delta"),
                         ({"type": "keepalive"}, "keepalive")],
}


@quick
@given(stream=any_stream(), data=st.data())
def test_unknown_event_types_anywhere_are_counted_and_change_nothing_else(stream, data):
    format, events = stream
    assume(UNKNOWN[format] and len(events) > 1)
    unknown, kind = data.draw(st.sampled_from(UNKNOWN[format]))
    places = sorted(data.draw(st.lists(st.integers(1, len(events) - 1), min_size=1, max_size=3)))
    mixed = list(events)
    for place in reversed(places):
        mixed.insert(place, unknown)
    collector = ToolCalls.collect(copy.deepcopy(mixed), format)
    assert collector.skipped == {kind: len(places)}
    clean = outcome(ToolCalls.collect(copy.deepcopy(events), format))
    mine = outcome(collector)
    assert mine[:6] + mine[7:] == clean[:6] + clean[7:]  # all but skipped
