"""Fuzz target for ToolCalls.feed_sse: after a body's first delta has taught
the collector its shape, the fuzzer writes the bytes of the events that follow
(a fragment and what closes its event, chunks it cuts). The native reader and
the Python path must give the same parts, errors, values and outcome, and the
events' data, parsed with json.loads and fed as dicts, the same outcome.

    bash fuzz/run-sse 60               # atheris for 60 s
"""

import json
import sys

import atheris

with atheris.instrument_imports():
    from carrack.tool_calls import _collector, _sse_reader  # noqa: F401

from carrack import ToolCalls

# Per provider: the events that open a call, a delta event around a fragment's
# literal (FRAGMENT stands for it), and the events that end the response.
OPENERS = {
    "chat": [
        {"id": "c", "object": "chat.completion.chunk", "choices": [{"index": 0, "delta": {"role": "assistant", "content": None}, "finish_reason": None}]},
        {"id": "c", "object": "chat.completion.chunk", "choices": [{"index": 0, "delta": {"tool_calls": [{"index": 0, "id": "call_1", "type": "function", "function": {"name": "f", "arguments": ""}}]}, "finish_reason": None}]},
    ],
    "responses": [
        {"type": "response.created", "sequence_number": 0, "response": {"id": "resp_1", "status": "in_progress", "output": []}},
        {"type": "response.output_item.added", "output_index": 0, "sequence_number": 1,
         "item": {"id": "fc_1", "type": "function_call", "status": "in_progress", "arguments": "", "call_id": "call_1", "name": "f"}},
    ],
    "messages": [
        {"type": "message_start", "message": {"id": "msg_1", "type": "message", "role": "assistant", "content": []}},
        {"type": "content_block_start", "index": 0, "content_block": {"type": "tool_use", "id": "toolu_1", "name": "f", "input": {}}},
    ],
}
DELTAS = {
    "chat": b'data: {"id":"c","object":"chat.completion.chunk","choices":[{"index":0,"delta":{"tool_calls":[{"index":0,"function":{"arguments":FRAGMENT}}]},"finish_reason":null}]}',
    "responses": b'event: response.function_call_arguments.delta\ndata: {"type":"response.function_call_arguments.delta","item_id":"fc_1","output_index":0,"delta":FRAGMENT,"sequence_number":2}',
    "messages": b'event: content_block_delta\ndata: {"type":"content_block_delta","index":0,"delta":{"type":"input_json_delta","partial_json":FRAGMENT}}',
}
ENDS = {
    "chat": [{"id": "c", "object": "chat.completion.chunk", "choices": [{"index": 0, "delta": {}, "finish_reason": "tool_calls"}]}],
    "responses": [{"type": "response.completed", "sequence_number": 99, "response": {"id": "resp_1", "status": "completed", "output": []}}],
    "messages": [{"type": "content_block_stop", "index": 0}, {"type": "message_delta", "delta": {"stop_reason": "tool_use"}}, {"type": "message_stop"}],
}
FORMATS = sorted(DELTAS)


def sse(event):
    name = f"event: {event['type']}\n".encode() if "type" in event else b""
    return name + b"data: " + json.dumps(event, separators=(",", ":")).encode() + b"\n\n"


def outcome(calls):
    def value(call):
        try:
            return json.dumps(call.arguments.value())
        except Exception as error:
            return type(error).__name__
    return ([(c.text, c.state, c.reason, value(c)) for c in calls], calls.reason, calls.finish_reason, calls.skipped)


def run(chunks, native):
    _sse_reader.NATIVE = native
    calls = ToolCalls()
    seen = []
    for chunk in chunks:
        try:
            seen.append([(type(p).__name__, p.text) for p in calls.feed_sse(chunk)])
        except Exception as error:
            seen.append(type(error).__name__)
    try:
        calls.close()
    except Exception as error:
        seen.append(type(error).__name__)
    return seen, outcome(calls)


@atheris.instrument_func
def test_one_input(data):
    # byte 0: the provider; byte 1: how many cuts of the events' bytes follow;
    # the rest, split at 0xff: a fragment literal's bytes, then what closes its
    # event in place of the template's own text, alternately (the template's
    # where the fuzzer wrote none). The events follow a first delta of the shape.
    if len(data) < 2:
        return
    fmt = FORMATS[data[0] % len(FORMATS)]
    count = data[1] % 6
    cuts = sorted(data[2 : 2 + count])
    parts = data[2 + count :].split(b"\xff")
    head, tail = DELTAS[fmt].split(b"FRAGMENT")
    first = head + b'"{\\"a\\": "' + tail + b"\n\n"
    events = b""
    for i in range(0, len(parts), 2):
        closing = parts[i + 1] if i + 1 < len(parts) else tail
        events += head + b'"' + parts[i] + b'"' + closing + b"\n\n"
    pieces, at = [], 0
    for cut in cuts:
        cut = min(cut * 4, len(events))
        pieces.append(events[at:cut])
        at = cut
    pieces.append(events[at:])
    body = [sse(e) for e in OPENERS[fmt]] + [first] + [p for p in pieces if p] + [sse(e) for e in ENDS[fmt]]
    native = run(body, True)
    python = run(body, False)
    assert native == python, (fmt, body, native, python)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
