"""carrack.ToolCalls on the corpus of provider streams (recordings of the real
APIs and synthetic streams): the same calls, ids, names, arguments and finish
reasons as each provider's own SDK accumulator, whether the SDK is replayed now
or its results were recorded beside the corpus; the same outcome from the SDKs'
event objects and from any re-splitting of the fragments."""

import inspect
import json

import pytest

from carrack import Stream, ToolCalls
from conftest import IN_CI
from provider_events import CORPUS, STREAMS, body, chat, expected, format_of, load, messages, resplit

NORMAL = {"tool_calls", "stop", "tool_use", "end_turn", "completed"}
streams = pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS])


def test_provider_streams_are_found():
    if not STREAMS and not IN_CI:
        pytest.skip(f"provider streams not found at {CORPUS}")
    assert len(STREAMS) >= 50, f"provider streams not found at {CORPUS}"


def choices(path):
    """The Chat Completions choices a stream has (one for the other formats)."""
    return range(len(expected(path).get("choices") or [None]))


def outcome(events, **options):
    """Everything the collector makes of a stream, for comparing two ways of feeding it."""
    collector = ToolCalls.collect(events, **options)
    calls = [(c.index, c.id, c.name, c.text, c.state, c.executable, c.reason, c.parsed) for c in collector]
    content = collector.content
    text = None if content is None else (content.text, content.state, content.final, content.reason, content.parsed)
    return collector.finish_reason, calls, text


# --- against what the SDKs made of each stream, recorded beside the corpus ----------


@streams
def test_calls_text_and_finish_match_the_recorded_sdk_results(path):
    want = expected(path)
    for choice in choices(path):
        collector = ToolCalls.collect(load(path), choice=choice)
        sdk = want["choices"][choice] if format_of(path) == "openai-chat" else want
        finish = want.get("status") or sdk["finish_reason"]
        assert collector.finish_reason == finish
        assert [(c.index, c.id, c.name, c.text) for c in collector] == [
            (c["index"], c["id"], c["name"], c["arguments"]) for c in sdk["tool_calls"]
        ]
        for call, recorded in zip(collector, sdk["tool_calls"]):
            # An SDK parses any JSON text; only an object is a call's arguments.
            complete = recorded["arguments_parses"] and isinstance(recorded["arguments_parsed"], dict)
            assert (call.state == "complete", call.parsed) == (complete, recorded["arguments_parsed"] if complete else None)
            runs_here = finish in NORMAL and recorded.get("type", "function") in ("function", "tool_use")
            assert call.executable == (complete and runs_here)
        texts = want.get("output_text", []) + want.get("text_blocks", [])
        parts = [sdk["content"] or ""] if "content" in sdk else [part["text"] for part in texts]
        content = collector.content
        assert (content and content.text) == ("".join(parts) or None)
        if content is not None:
            try:
                assert (content.state, content.parsed) == ("complete", json.loads(content.text))
            except json.JSONDecodeError:
                assert content.state in ("truncated", "text")


def recorded_calls(path, keep):
    return [c for c in expected(path).get("tool_calls", []) if keep(c)]


def empty(call):
    return call["arguments"] == ""


def cut(call):
    return call["arguments"] != "" and not call["arguments_parses"]


@pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS if recorded_calls(p, empty)])
def test_empty_arguments_read_as_an_object_as_the_anthropic_sdk_reads_them(path):
    """By design, carrack leaves "" malformed unless asked; the Anthropic SDK makes it {}."""
    for call in ToolCalls.collect(load(path), empty_as_object=True):
        if call.text == "":
            assert (call.state, call.parsed, call.executable) == ("complete", {}, True)
    assert all(recorded.get("sdk_input", {}) == {} for recorded in recorded_calls(path, empty))


@pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS if recorded_calls(p, cut)])
def test_a_cut_call_never_runs_where_the_sdk_still_gives_its_partial_input(path):
    """By design, carrack marks truncated arguments and gives no parsed value; the
    Anthropic SDK's input holds what partial parsing found: what is closed."""
    calls = {call.index: call for call in ToolCalls.collect(load(path))}
    for recorded in recorded_calls(path, cut):
        call = calls[recorded["index"]]
        assert (call.state, call.executable, call.parsed) == ("truncated", False, None)
        assert call.arguments.value(partial="closed") == recorded.get("sdk_input", call.arguments.value(partial="closed"))


# --- against the SDKs themselves, replayed now ----------------------------------------


def replay_chat(events, choice):
    openai = pytest.importorskip("openai")
    from openai.lib.streaming.chat import ChatCompletionStreamState
    from openai.types.chat import ChatCompletionChunk

    state = ChatCompletionStreamState()
    objects = [ChatCompletionChunk.model_validate(body(event)) for event in events]
    for chunk in objects:
        state.handle_chunk(chunk)
    try:
        completion = state.get_final_completion()
    except (openai.LengthFinishReasonError, openai.ContentFilterFinishReasonError):
        completion = state.current_completion_snapshot
    picked = [c for c in completion.choices if c.index == choice]
    if not picked:
        return objects, None, [], None
    message = picked[0].message
    calls = [(c.index, c.id, c.function.name, c.function.arguments) for c in message.tool_calls or []]
    return objects, picked[0].finish_reason, calls, message.content or None


def replay_responses(events, choice):
    pytest.importorskip("openai")
    from openai import omit
    from openai._models import construct_type
    from openai.lib.streaming.responses import ResponseStreamState
    from openai.types.responses import ResponseStreamEvent

    state = ResponseStreamState(input_tools=omit, text_format=omit)
    objects = [construct_type(type_=ResponseStreamEvent, value=body(event)) for event in events]
    snapshots, final = {}, None
    for event in objects:
        for out in state.handle_event(event):
            if out.type == "response.function_call_arguments.delta":
                snapshots[out.item_id] = out.snapshot
            if out.type in ("response.completed", "response.incomplete", "response.failed"):
                final = out.response
    items = list(enumerate(final.output))
    calls = [(i, it.call_id, it.name, it.arguments) for i, it in items if it.type == "function_call"]
    # The accumulator's own text of each call, from its delta events, is the final one.
    assert all(snapshots.get(it.id, it.arguments) == it.arguments for _, it in items if it.type == "function_call")
    texts = [p.text for _, it in items if it.type == "message" for p in it.content if p.type == "output_text"]
    return objects, final.status, calls, "".join(texts) or None


def replay_messages(events, choice):
    pytest.importorskip("anthropic")
    from anthropic._models import construct_type
    from anthropic.lib.streaming._messages import accumulate_event
    from anthropic.types import RawMessageStreamEvent

    takes_buffers = "json_bufs" in inspect.signature(accumulate_event).parameters
    objects = [construct_type(type_=RawMessageStreamEvent, value=body(e)) for e in events if e.get("type") != "ping"]
    snapshot, buffers = None, {}
    for event in objects:
        extra = {"json_bufs": buffers} if takes_buffers else {}
        snapshot = accumulate_event(event=event, current_snapshot=snapshot, **extra)
    calls, texts = [], []
    for index, block in enumerate(snapshot.content):
        if block.type.endswith("tool_use"):
            raw = buffers.get(index, getattr(block, "__json_buf", b""))
            calls.append((index, block.id, block.name, raw.decode("utf-8")))
        elif block.type == "text":
            texts.append(block.text)
    return objects, snapshot.stop_reason, calls, "".join(texts) or None


REPLAY = {"openai-chat": replay_chat, "openai-responses": replay_responses, "anthropic-messages": replay_messages}


@streams
def test_calls_match_the_sdk_accumulators(path):
    events = load(path)
    for choice in choices(path):
        _, finish, calls, text = REPLAY[format_of(path)](events, choice)
        collector = ToolCalls.collect(events, choice=choice)
        assert collector.finish_reason == finish
        assert [(c.index, c.id, c.name, c.text) for c in collector] == calls
        assert (collector.content and collector.content.text) == text
        for call in collector:
            if call.state == "complete":
                assert call.parsed == json.loads(call.text)


@streams
def test_sdk_event_objects_collect_as_their_dicts(path):
    events = load(path)
    for choice in choices(path):
        objects = REPLAY[format_of(path)](events, choice)[0]
        plain = [e for e in events if e.get("type") != "ping"]
        assert outcome(objects, choice=choice) == outcome(plain, choice=choice)


def _one_index(events):
    for event in events:
        for fragment in event["choices"][0]["delta"].get("tool_calls", []):
            fragment["index"] = 0
    return events


def _names_repeated(events):
    for event in events:
        for fragment in event["choices"][0]["delta"].get("tool_calls", []):
            fragment.update(id="call_0", function={**fragment["function"], "name": "get_weather"})
    return events


WEATHER = ("get_weather", ['{"city": ', '"Paris"}'])
TIME = ("get_time", ['{"tz": "CET"}'])


@pytest.mark.parametrize(
    ("events", "sdk_calls", "our_calls"),
    [
        pytest.param(
            _one_index(chat([WEATHER, TIME])),
            [(0, "call_0call_1", "get_weatherget_time", '{"city": "Paris"}{"tz": "CET"}')],
            [(0, "call_0", "get_weather", '{"city": "Paris"}'), (0, "call_1", "get_time", '{"tz": "CET"}')],
            id="a new id at a used chat index: the sdk joins the calls, carrack starts a new one",
        ),
        pytest.param(
            _names_repeated(chat([WEATHER])),
            [(0, "call_0call_0call_0", "get_weatherget_weatherget_weather", '{"city": "Paris"}')],
            [(0, "call_0", "get_weather", '{"city": "Paris"}')],
            id="an id and name on every fragment: the sdk appends them, carrack keeps the first",
        ),
    ],
)
def test_where_the_openai_sdk_differs_by_design(events, sdk_calls, our_calls):
    assert replay_chat(events, 0)[2] == sdk_calls
    assert [(c.index, c.id, c.name, c.text) for c in ToolCalls.collect(events)] == our_calls


def test_malformed_arguments_end_the_anthropic_sdk_stream_but_are_reported_by_carrack():
    events = messages([("get_weather", ['{"city": ', "Paris}"])])
    with pytest.raises(ValueError, match="Unable to parse tool parameter JSON"):
        replay_messages(events, 0)
    (call,) = ToolCalls.collect(events)
    assert (call.state, call.executable, call.text) == ("malformed", False, '{"city": Paris}')
    assert call.reason.startswith("the arguments are not JSON: Expecting value")


# --- re-splitting the fragments ----------------------------------------------------------


@streams
@pytest.mark.parametrize("seed", range(4))
def test_resplit_fragments_collect_the_same(path, seed):
    events = load(path)
    for choice in choices(path):
        assert outcome(resplit(events, format_of(path), seed), choice=choice) == outcome(events, choice=choice)


def _stream_takes_bytes():
    try:
        Stream().feed(b"")
    except TypeError:
        return False
    return True


@pytest.mark.skipif(not _stream_takes_bytes(), reason="Stream.feed does not take bytes yet (TypeError for b'')")
def test_fragments_resplit_as_bytes_collect_the_same():
    for path in STREAMS:
        events = load(path)
        for seed, choice in [(seed, choice) for seed in range(2) for choice in choices(path)]:
            resplit_events = resplit(events, format_of(path), seed, as_bytes=True)
            assert outcome(resplit_events, choice=choice) == outcome(events, choice=choice), (path.name, seed)
