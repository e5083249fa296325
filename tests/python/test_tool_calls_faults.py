"""carrack.ToolCalls on the streams that compatible servers, refusals, custom
tools and the SDK helpers send: each case as dicts and as the SDK's own event
objects, against what the SDK's accumulator makes of it where it reads it, and
for its message for the next request. Also: an event is applied whole or not at
all, unknown event types are passed over and counted, and shapes that cannot be
from the provider raise."""

import copy
import re

import pytest

from carrack import ToolCalls
from provider_events import chat, messages, responses, sdk_message, sdk_objects

WEATHER = ("get_weather", ['{"city": "Par', 'is"}'])


def chunk(delta, finish_reason=None, index=0):
    return {
        "id": "chatcmpl-1",
        "object": "chat.completion.chunk",
        "created": 1,
        "model": "m",
        "choices": [{"index": index, "delta": delta, "logprobs": None, "finish_reason": finish_reason}],
    }


# Gemini's OpenAI endpoint, older Ollama, xinference, mistral.rs: no index.
NO_INDEX = [
    chunk({"role": "assistant", "content": None}),
    chunk({"tool_calls": [
        {"id": "call_a", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}},
        {"id": "call_b", "type": "function", "function": {"name": "get_time", "arguments": '{"tz": '}},
    ]}),
    chunk({"tool_calls": [{"function": {"arguments": '"CET"}'}}]}),
    chunk({}, "tool_calls"),
]


def custom_tool_stream(pieces=("ls -la ", "/tmp"), status="completed"):
    """A Responses stream with a custom (free-text) tool call, as the API sends it."""
    whole = "".join(pieces)
    item = {"id": "ctc_1", "type": "custom_tool_call", "status": "in_progress", "call_id": "call_1", "name": "shell", "input": ""}
    done = {**item, "status": "completed", "input": whole}
    response = {"id": "resp_1", "object": "response", "created_at": 1, "model": "gpt-5", "status": "in_progress", "output": []}
    return [
        {"type": "response.created", "sequence_number": 0, "response": response},
        {"type": "response.output_item.added", "sequence_number": 1, "output_index": 0, "item": item},
        *[
            {"type": "response.custom_tool_call_input.delta", "sequence_number": 2 + i, "item_id": "ctc_1", "output_index": 0, "delta": piece}
            for i, piece in enumerate(pieces)
        ],
        {"type": "response.custom_tool_call_input.done", "sequence_number": 9, "item_id": "ctc_1", "output_index": 0, "input": whole},
        {"type": "response.output_item.done", "sequence_number": 10, "output_index": 0, "item": done},
        {"type": f"response.{status}", "sequence_number": 11, "response": {**response, "status": status, "output": [done]}},
    ]


def responses_refusal():
    message = {"id": "msg_1", "type": "message", "status": "in_progress", "role": "assistant", "content": []}
    part = {"type": "refusal", "refusal": ""}
    done = {**message, "status": "completed", "content": [{"type": "refusal", "refusal": "I can't help with that."}]}
    response = {"id": "resp_1", "object": "response", "created_at": 1, "model": "gpt-5", "status": "in_progress", "output": []}
    at = {"item_id": "msg_1", "output_index": 0, "content_index": 0}
    return [
        {"type": "response.created", "sequence_number": 0, "response": response},
        {"type": "response.output_item.added", "sequence_number": 1, "output_index": 0, "item": message},
        {"type": "response.content_part.added", "sequence_number": 2, **at, "part": part},
        {"type": "response.refusal.delta", "sequence_number": 3, **at, "delta": "I can't "},
        {"type": "response.refusal.delta", "sequence_number": 4, **at, "delta": "help with that."},
        {"type": "response.refusal.done", "sequence_number": 5, **at, "refusal": "I can't help with that."},
        {"type": "response.content_part.done", "sequence_number": 6, **at, "part": done["content"][0]},
        {"type": "response.output_item.done", "sequence_number": 7, "output_index": 0, "item": done},
        {"type": "response.completed", "sequence_number": 8, "response": {**response, "status": "completed", "output": [done]}},
    ]


def whole_input():
    """Anthropic tool_use whose input comes whole in content_block_start."""
    events = messages([("get_weather", [])])
    events[1]["content_block"]["input"] = {"city": "Paris"}
    return [event for event in events if event["type"] != "content_block_delta"]


def blocks_apart():
    """Text, a server tool's use and result, and text again; then text split at a citation."""
    events = messages([], stop_reason="end_turn", text=["Let me search."])
    stop = events[-2:]
    events = events[:-2]
    events += [
        {"type": "content_block_start", "index": 1, "content_block": {"type": "server_tool_use", "id": "srvtoolu_1", "name": "web_search", "input": {}}},
        {"type": "content_block_delta", "index": 1, "delta": {"type": "input_json_delta", "partial_json": '{"query": "paris"}'}},
        {"type": "content_block_stop", "index": 1},
        {"type": "content_block_start", "index": 2, "content_block": {"type": "web_search_tool_result", "tool_use_id": "srvtoolu_1", "content": []}},
        {"type": "content_block_stop", "index": 2},
    ]
    for index, text in [(3, "It is "), (4, "sunny")]:
        events += [
            {"type": "content_block_start", "index": index, "content_block": {"type": "text", "text": ""}},
            {"type": "content_block_delta", "index": index, "delta": {"type": "text_delta", "text": text}},
            {"type": "content_block_stop", "index": index},
        ]
    return events + stop


def thinking_then_call():
    events = messages([WEATHER])
    thinking = [
        {"type": "content_block_start", "index": 0, "content_block": {"type": "thinking", "thinking": "", "signature": ""}},
        {"type": "content_block_delta", "index": 0, "delta": {"type": "thinking_delta", "thinking": "The user wants "}},
        {"type": "content_block_delta", "index": 0, "delta": {"type": "thinking_delta", "thinking": "the weather."}},
        {"type": "content_block_delta", "index": 0, "delta": {"type": "signature_delta", "signature": "EqQBCgIYAhIM"}},
        {"type": "content_block_stop", "index": 0},
        {"type": "content_block_start", "index": 1, "content_block": {"type": "redacted_thinking", "data": "EmwKAhgB"}},
        {"type": "content_block_stop", "index": 1},
    ]
    for event in events:
        if "index" in event:
            event["index"] += 2
    return events[:1] + thinking + events[1:]


def reasoning_text_and_call():
    """A Responses stream with a reasoning item, a message with an annotation, and a call."""
    response = {"id": "resp_9", "object": "response", "created_at": 1, "model": "o4", "status": "in_progress", "output": []}
    reasoning = {"id": "rs_1", "type": "reasoning", "summary": []}
    reasoning_done = {**reasoning, "summary": [{"type": "summary_text", "text": "Check the weather."}], "encrypted_content": "gAAAAB"}
    message = {"id": "msg_1", "type": "message", "status": "in_progress", "role": "assistant", "content": []}
    annotation = {"type": "url_citation", "url": "https://example.com", "title": "x", "start_index": 0, "end_index": 4}
    text = {"type": "output_text", "text": "Paris is cold.", "annotations": [annotation], "logprobs": []}
    message_done = {**message, "status": "completed", "content": [text]}
    call = {"id": "fc_1", "type": "function_call", "status": "in_progress", "arguments": "", "call_id": "call_1", "name": "get_weather"}
    call_done = {**call, "status": "completed", "arguments": '{"city": "Paris"}'}
    at = {"item_id": "msg_1", "output_index": 1, "content_index": 0}
    events = [
        {"type": "response.created", "response": response},
        {"type": "response.output_item.added", "output_index": 0, "item": reasoning},
        {"type": "response.reasoning_summary_part.added", "item_id": "rs_1", "output_index": 0, "summary_index": 0, "part": {"type": "summary_text", "text": ""}},
        {"type": "response.reasoning_summary_text.delta", "item_id": "rs_1", "output_index": 0, "summary_index": 0, "delta": "Check the weather."},
        {"type": "response.reasoning_summary_text.done", "item_id": "rs_1", "output_index": 0, "summary_index": 0, "text": "Check the weather."},
        {"type": "response.output_item.done", "output_index": 0, "item": reasoning_done},
        {"type": "response.output_item.added", "output_index": 1, "item": message},
        {"type": "response.content_part.added", **at, "part": {"type": "output_text", "text": "", "annotations": []}},
        {"type": "response.output_text.delta", **at, "delta": "Paris is ", "logprobs": []},
        {"type": "response.output_text.delta", **at, "delta": "cold.", "logprobs": []},
        {"type": "response.output_text.annotation.added", **at, "annotation_index": 0, "annotation": annotation},
        {"type": "response.output_text.done", **at, "text": "Paris is cold.", "logprobs": []},
        {"type": "response.content_part.done", **at, "part": text},
        {"type": "response.output_item.done", "output_index": 1, "item": message_done},
        {"type": "response.output_item.added", "output_index": 2, "item": call},
        {"type": "response.function_call_arguments.delta", "item_id": "fc_1", "output_index": 2, "delta": '{"city": "Paris"}'},
        {"type": "response.function_call_arguments.done", "item_id": "fc_1", "output_index": 2, "arguments": '{"city": "Paris"}'},
        {"type": "response.output_item.done", "output_index": 2, "item": call_done},
        {"type": "response.completed", "response": {**response, "status": "completed", "output": [reasoning_done, message_done, call_done]}},
    ]
    return [{**event, "sequence_number": number} for number, event in enumerate(events)]


def cited_text():
    """Anthropic text with citations, as the API streams a reply grounded in a document."""
    citation = {"type": "char_location", "cited_text": "It is cold.", "document_index": 0, "document_title": "notes", "start_char_index": 0, "end_char_index": 11}
    events = messages([], stop_reason="end_turn", text=["Paris ", "is cold."])
    events.insert(3, {"type": "content_block_delta", "index": 0, "delta": {"type": "citations_delta", "citation": citation}})
    return events


def summary(collector):
    return [(call.index, call.id, call.name, call.text, call.state, call.executable) for call in collector]


# (id, format, events, calls, reason (None: a normal end), whether the SDK's accumulator reads the stream)
FAULTS = [
    pytest.param(
        "openai-chat", NO_INDEX,
        [(0, "call_a", "get_weather", '{"city": "Paris"}', "complete", True), (1, "call_b", "get_time", '{"tz": "CET"}', "complete", True)],
        None, False, id="chat fragments without index: each id starts a call, the rest go on with the last",
    ),
    pytest.param(
        "openai-responses", custom_tool_stream(),
        [(0, "call_1", "shell", "ls -la /tmp", "complete", True)], None, True,
        id="a responses custom tool call is collected, its input free text",
    ),
    pytest.param(
        "openai-responses", custom_tool_stream(status="incomplete"),
        [(0, "call_1", "shell", "ls -la /tmp", "complete", False)], "status 'incomplete'", True,
        id="a custom tool call in a response cut off does not run",
    ),
    pytest.param(
        "anthropic-messages", whole_input(),
        [(0, "toolu_0", "get_weather", '{"city": "Paris"}', "complete", True)], None, True,
        id="anthropic tool_use whose input is whole in content_block_start keeps that input",
    ),
    pytest.param(
        "openai-chat",
        [chunk({"role": "assistant", "content": None, "refusal": ""}), chunk({"refusal": "I can't "}), chunk({"refusal": "help with that."}), chunk({}, "stop")],
        [], "the model refused: I can't help with that.", True, id="a chat refusal is said and blocks the response",
    ),
    pytest.param(
        "openai-responses", responses_refusal(), [], "the model refused: I can't help with that.", True,
        id="a responses refusal is said and blocks the response",
    ),
    pytest.param(
        "openai-chat",
        [chunk({"role": "assistant", "content": None, "function_call": {"name": "get_weather", "arguments": ""}}),
         chunk({"function_call": {"arguments": '{"city": '}}), chunk({"function_call": {"arguments": '"Paris"}'}}), chunk({}, "function_call")],
        [(0, None, "get_weather", '{"city": "Paris"}', "complete", True)], None, True, id="the legacy delta.function_call is a call",
    ),
    pytest.param(
        "anthropic-messages", thinking_then_call(),
        [(2, "toolu_0", "get_weather", '{"city": "Paris"}', "complete", True)], None, True,
        id="thinking and redacted thinking are kept for the message",
    ),
    pytest.param(
        "openai-responses", reasoning_text_and_call(),
        [(2, "call_1", "get_weather", '{"city": "Paris"}', "complete", True)], None, True,
        id="responses reasoning items and messages with annotations are kept for the message",
    ),
    pytest.param(
        "anthropic-messages", cited_text(), [], None, True, id="anthropic text keeps its citations for the message",
    ),
    pytest.param(
        "anthropic-messages", blocks_apart(),
        [(1, "srvtoolu_1", "web_search", '{"query": "paris"}', "complete", False)], None, True,
        id="text blocks with a block between them are a paragraph apart",
    ),
]


@pytest.mark.parametrize("as_objects", [False, True], ids=["dicts", "sdk objects"])
@pytest.mark.parametrize(("format", "events", "calls", "why", "sdk_reads"), FAULTS)
def test_streams_of_compatible_servers_refusals_and_custom_tools(format, events, calls, why, sdk_reads, as_objects):
    if as_objects:
        pytest.importorskip("openai" if format.startswith("openai") else "anthropic")
    fed = sdk_objects(events, format) if as_objects else copy.deepcopy(events)
    collector = ToolCalls.collect(fed)
    assert summary(collector) == calls
    assert collector.skipped == {}  # every event here is known
    assert collector.reason is None if why is None else why in collector.reason
    if sdk_reads:
        pytest.importorskip("openai" if format.startswith("openai") else "anthropic")
        assert collector.message() == sdk_message(events, format)


def test_the_sdk_refuses_index_less_fragments_which_carrack_reads():
    pytest.importorskip("openai")
    with pytest.raises((RuntimeError, TypeError)):
        sdk_message(NO_INDEX, "openai-chat")
    with pytest.raises(ValueError, match="without index, id or name, and no call has started"):
        ToolCalls().feed(chunk({"tool_calls": [{"function": {"arguments": "{"}}]}))
    assert ToolCalls.collect(NO_INDEX).message()["tool_calls"] == [
        {"id": "call_a", "type": "function", "function": {"name": "get_weather", "arguments": '{"city": "Paris"}'}},
        {"id": "call_b", "type": "function", "function": {"name": "get_time", "arguments": '{"tz": "CET"}'}},
    ]


def test_index_less_fragments_that_repeat_the_id_go_on_with_their_call():
    events = [
        chunk({"tool_calls": [{"id": "call_a", "type": "function", "function": {"name": "f", "arguments": '{"a": '}}]}),
        chunk({"tool_calls": [{"id": "call_a", "type": "function", "function": {"arguments": "1}"}}]}),
        chunk({"tool_calls": [{"id": "call_b", "type": "function", "function": {"name": "g", "arguments": "{}"}}]}),
        chunk({}, "tool_calls"),
    ]
    assert [(call.index, call.id, call.text) for call in ToolCalls.collect(events)] == [(0, "call_a", '{"a": 1}'), (1, "call_b", "{}")]


def test_refusal_text_and_content():
    collector = ToolCalls.collect(responses_refusal())
    assert (collector.refusal, collector.content) == ("I can't help with that.", None)
    chat_refusal = ToolCalls.collect(FAULTS[4].values[1])
    assert chat_refusal.refusal == "I can't help with that."
    assert chat_refusal.message() == {"role": "assistant", "content": None, "refusal": "I can't help with that."}


def test_custom_tool_input_streams_as_a_string():
    collector = ToolCalls()
    seen = [part.arguments.value() for event in custom_tool_stream(("echo \"hi\"", "\n", "é")) if (part := collector.feed(event)) is not None]
    assert seen[:3] == ["", 'echo "hi"', 'echo "hi"\n']
    (call,) = collector.calls
    collector.close()
    assert (call.type, call.parsed, call.text, call.executable) == ("custom_tool_call", 'echo "hi"\né', 'echo "hi"\né', True)


def test_text_blocks_apart_and_together():
    collector = ToolCalls.collect(blocks_apart())
    assert (collector.content.text, collector.content.state) == ("Let me search.\n\nIt is sunny", "text")
    assert [block["type"] for block in collector.message()["content"]] == ["text", "server_tool_use", "web_search_tool_result", "text", "text"]


def test_whole_input_and_deltas_together_are_malformed():
    events = whole_input()
    events.insert(2, {"type": "content_block_delta", "index": 0, "delta": {"type": "input_json_delta", "partial_json": '{"city": "Rome"}'}})
    (call,) = ToolCalls.collect(events)
    assert (call.state, call.executable) == ("malformed", False)


# --- unknown event types, foreign shapes, whole completions ---------------------------

UNKNOWN = [
    (messages([WEATHER]), 2, {"type": "content_block_delta", "index": 0, "delta": {"type": "future_delta", "x": 1}}, "content_block_delta future_delta"),
    (messages([WEATHER]), 1, {"type": "message_annotations", "annotations": []}, "message_annotations"),
    (responses([WEATHER]), 1, {"type": "response.future_event.delta", "item_id": "x"}, "response.future_event.delta"),
    (responses([WEATHER]), 1, {"type": "keepalive"}, "keepalive"),
]


@pytest.mark.parametrize(("events", "at", "unknown", "kind"), UNKNOWN)
def test_unknown_event_types_of_a_known_provider_are_passed_over_and_counted(events, at, unknown, kind):
    events = events[:at] + [unknown, unknown] + events[at:]
    collector = ToolCalls.collect(events)
    assert collector.skipped == {kind: 2}
    assert [call.executable for call in collector] == [True]


@pytest.mark.parametrize("as_objects", [False, True], ids=["dicts", "sdk objects"])
def test_the_sdk_helpers_events_are_passed_over_uncounted(as_objects):
    """client.beta.messages.stream() yields a compaction event beside the others."""
    events = messages([WEATHER])
    helpers = [{"type": "compaction", "content": "summary", "encrypted_content": None}, {"type": "input_json", "partial_json": "{", "snapshot": {}}]
    if as_objects:
        pytest.importorskip("anthropic")
        from anthropic.lib.streaming import InputJsonEvent
        from anthropic.lib.streaming._beta_types import BetaCompactionEvent

        events = sdk_objects(events, "anthropic-messages")
        helpers = [BetaCompactionEvent.construct(**helpers[0]), InputJsonEvent.construct(**helpers[1])]
    collector = ToolCalls.collect(events[:3] + helpers + events[3:])
    assert (collector.skipped, [call.executable for call in collector]) == ({}, [True])


def test_a_whole_chat_completion_object_is_refused():
    pytest.importorskip("openai")
    from openai.types.chat import ChatCompletion

    completion = ChatCompletion.construct(
        id="chatcmpl-1", object="chat.completion", created=1, model="m",
        choices=[{"index": 0, "message": {"role": "assistant", "content": "hi"}, "finish_reason": "stop"}],
    )
    with pytest.raises(ValueError, match="a whole ChatCompletion"):
        ToolCalls().feed(completion)


FOREIGN = [
    (messages([WEATHER])[:2], responses([WEATHER])[1], "expected an Anthropic Messages event"),
    (messages([WEATHER])[:2], chat([WEATHER])[1], "expected an Anthropic Messages event"),
    (responses([WEATHER])[:2], messages([WEATHER])[1], "expected an OpenAI Responses event"),
    (responses([WEATHER])[:2], chat([WEATHER])[1], "expected an OpenAI Responses event"),
    (responses([WEATHER])[:2], {"type": 3}, "expected an OpenAI Responses event"),
    (chat([WEATHER])[:2], messages([WEATHER])[1], "expected an OpenAI Chat Completions chunk"),
    ([], {"id": "chatcmpl-1", "object": "chat.completion", "choices": [{"index": 0, "message": {"role": "assistant", "content": "hi"}, "finish_reason": "stop"}]},
     "a whole ChatCompletion (object 'chat.completion'), not a streamed chunk"),
]


@pytest.mark.parametrize(("before", "event", "message"), FOREIGN)
def test_shapes_that_cannot_be_from_the_provider_raise(before, event, message):
    collector = ToolCalls()
    for earlier in before:
        collector.feed(earlier)
    with pytest.raises(ValueError, match=re.escape(message)):
        collector.feed(event)


# --- one event, applied whole or not at all ---------------------------------------------

GOOD_THEN_BAD = [
    ({"index": 0, "function": {"arguments": "5}"}}, {"index": 7, "function": {"arguments": "{"}}, ValueError, "carries no id or name"),
    ({"index": 0, "function": {"arguments": "5}"}}, {"index": 0, "function": {"arguments": 5}}, TypeError, "must be str"),
    ({"index": 0, "function": {"arguments": "5}"}}, {"index": "1", "id": "c", "function": {"name": "f"}}, ValueError, "index must be an int"),
    ({"index": 0, "function": {"arguments": "5}"}}, {"index": 1, "id": 9, "function": {}}, ValueError, "id must be a string"),
]


@pytest.mark.parametrize(("good", "bad", "error", "message"), GOOD_THEN_BAD)
def test_a_chunk_with_a_good_fragment_then_a_bad_one_changes_nothing(good, bad, error, message):
    events = [chunk({"tool_calls": [{"index": 0, "id": "call_1", "type": "function", "function": {"name": "f", "arguments": '{"a": '}}]})]
    collector = ToolCalls()
    collector.feed(events[0])
    mixed = chunk({"content": "hello", "tool_calls": [good, bad]})
    for _ in range(2):  # fed again, it must not corrupt the arguments either
        with pytest.raises(error, match=re.escape(message)):
            collector.feed(mixed)
        assert [(call.text, call.state) for call in collector] == [('{"a": ', "streaming")]
        assert collector.content is None
    collector.feed(chunk({"tool_calls": [good]}))
    collector.feed(chunk({}, "tool_calls"))
    collector.close()
    assert [call.parsed for call in collector] == [{"a": 5}]
