"""Provider streams for the tool-call tests: built from a few calls in each
format's shape, and read from the shared corpus of recorded and synthetic
streams, with what each provider's SDK makes of them."""

from __future__ import annotations

import copy
import json
import os
import random
from pathlib import Path
from typing import Any

from conftest import ROOT

CORPUS = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus")) / "provider_streams"
STREAMS = sorted((CORPUS / "streams").glob("*.jsonl")) if (CORPUS / "streams").is_dir() else []

Call = tuple[str, list[str]]  # a tool's name and its argument fragments


def chat(calls: list[Call], end: str | None = "tool_calls", text: list[str] = (), interleave: bool = False) -> list[dict]:
    """Chat Completions chunks: each call's first fragment carries its id and name;
    end is the finish_reason, or None for a stream that stops. Interleaved calls
    all start first, then take turns."""
    events = [_chunk({"role": "assistant", "content": ""})]
    events += [_chunk({"content": piece}) for piece in text]
    turns = []
    for index, (name, fragments) in enumerate(calls):
        first = {"index": index, "id": f"call_{index}", "type": "function", "function": {"name": name, "arguments": ""}}
        rest = [_chunk({"tool_calls": [{"index": index, "function": {"arguments": f}}]}) for f in fragments]
        turns.append((_chunk({"tool_calls": [first]}), rest))
    if interleave:
        events += [start for start, _ in turns]
        longest = max((len(rest) for _, rest in turns), default=0)
        events += [rest[i] for i in range(longest) for _, rest in turns if i < len(rest)]
    else:
        events += [event for start, rest in turns for event in (start, *rest)]
    if end is not None:
        events.append(_chunk({}, end))
    return events


def _chunk(delta: dict, finish_reason: str | None = None) -> dict:
    return {
        "id": "chatcmpl-1",
        "object": "chat.completion.chunk",
        "created": 1,
        "model": "m",
        "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish_reason}],
    }


def responses(calls: list[Call], end: str | None = "completed", cut: bool = False, text: list[str] = ()) -> list[dict]:
    """Responses events; cut marks the last call's item incomplete, end is the
    final status ("completed", "incomplete") or None for a stream that stops."""
    events: list[dict] = [{"type": "response.created", "response": {"id": "resp_1", "status": "in_progress", "output": []}}]
    if text:
        events.append({"type": "response.output_item.added", "output_index": 0, "item": {"id": "msg_1", "type": "message"}})
        events += [{"type": "response.output_text.delta", "item_id": "msg_1", "output_index": 0, "content_index": 0, "delta": t} for t in text]
    for index, (name, fragments) in enumerate(calls, start=1 if text else 0):
        item = {"id": f"fc_{index}", "type": "function_call", "status": "in_progress", "arguments": "", "call_id": f"call_{index}", "name": name}
        events.append({"type": "response.output_item.added", "output_index": index, "item": item})
        events += [{"type": "response.function_call_arguments.delta", "item_id": f"fc_{index}", "output_index": index, "delta": f} for f in fragments]
        whole = "".join(f if isinstance(f, str) else f.decode("utf-8", "replace") for f in fragments)
        status = "incomplete" if cut and index == len(calls) - 1 + bool(text) else "completed"
        events.append({"type": "response.function_call_arguments.done", "item_id": f"fc_{index}", "output_index": index, "arguments": whole})
        events.append({"type": "response.output_item.done", "output_index": index, "item": {**item, "status": status, "arguments": whole}})
    if end is not None:
        details = {"reason": "max_output_tokens"} if end == "incomplete" else None
        events.append({"type": f"response.{end}", "response": {"id": "resp_1", "status": end, "incomplete_details": details}})
    return events


def messages(calls: list[Call], stop_reason: str | None = "tool_use", cut: bool = False, text: list[str] = ()) -> list[dict]:
    """Anthropic Messages events; cut leaves the last block without its
    content_block_stop, as a max_tokens cut-off does; stop_reason None ends the
    stream before message_delta."""
    message = {"id": "msg_1", "type": "message", "role": "assistant", "content": [], "usage": {"input_tokens": 9, "output_tokens": 1}}
    events: list[dict] = [{"type": "message_start", "message": message}]
    blocks = ([("text", text)] if text else []) + [("tool_use", call) for call in calls]
    for index, (kind, body) in enumerate(blocks):
        if kind == "text":
            events.append({"type": "content_block_start", "index": index, "content_block": {"type": "text", "text": ""}})
            events += [{"type": "content_block_delta", "index": index, "delta": {"type": "text_delta", "text": t}} for t in body]
        else:
            name, fragments = body
            block = {"type": "tool_use", "id": f"toolu_{index}", "name": name, "input": {}}
            events.append({"type": "content_block_start", "index": index, "content_block": block})
            events += [{"type": "content_block_delta", "index": index, "delta": {"type": "input_json_delta", "partial_json": f}} for f in ["", *fragments]]
        if not (cut and index == len(blocks) - 1):
            events.append({"type": "content_block_stop", "index": index})
    if stop_reason is not None:
        events.append({"type": "message_delta", "delta": {"stop_reason": stop_reason, "stop_sequence": None}, "usage": {"output_tokens": 9}})
        events.append({"type": "message_stop"})
    return events


BUILDERS = {"openai-chat": chat, "openai-responses": responses, "anthropic-messages": messages}


def corpus_stream(name: str) -> Path:
    """A stream of the corpus by name; the test skips where the corpus is not found."""
    import pytest

    path = CORPUS / "streams" / f"{name}.jsonl"
    if not path.exists():
        pytest.skip(f"provider streams not found at {CORPUS}")
    return path


def load(path: Path) -> list[dict]:
    """A corpus stream as its events, without the SSE sentinel line."""
    with path.open(encoding="utf-8") as lines:
        events = [json.loads(line) for line in lines if line.strip()]
    return [event for event in events if "_sse" not in event]


def expected(path: Path) -> dict[str, Any]:
    return json.loads((CORPUS / "expected" / (path.stem + ".json")).read_text(encoding="utf-8"))


def format_of(path: Path) -> str:
    return path.stem.removeprefix("synthetic-").split("__")[0]


def body(event: dict) -> dict:
    """The event as the provider sent it, without the corpus's SSE event name."""
    return {key: value for key, value in event.items() if not key.startswith("_")}


# --- what each SDK's accumulator makes the assistant's message ------------------------

# Fields the SDKs fill that no request takes back (named in the README).
SDK_ONLY = {"parsed", "parsed_arguments", "parsed_output", "index", "annotations", "audio"}
RAW = CORPUS / "raw"
RAW_FILES = sorted(RAW.glob("*.sse")) if RAW.is_dir() else []


def _request_form(data: Any, top: bool = True) -> Any:
    """An SDK's dump as the request takes it: its own fields dropped (Chat's
    message annotations and audio only at the top, where the request has none)."""
    if isinstance(data, list):
        return [_request_form(item, False) for item in data]
    if not isinstance(data, dict):
        return data
    drop = SDK_ONLY if top else SDK_ONLY - {"annotations", "audio"}
    return {key: _request_form(value, False) for key, value in data.items() if key not in drop}


def sdk_message(events: list[dict], format: str, choice: int = 0) -> dict[str, Any] | None:
    """The SDK accumulator's final message for a stream, in the request's form:
    ChatCompletionStreamState's completion, ResponseStreamState's final response,
    accumulate_event's Message."""
    if format == "openai-chat":
        from openai._models import construct_type
        from openai.lib.streaming.chat import ChatCompletionStreamState
        from openai.types.chat import ChatCompletionChunk

        state = ChatCompletionStreamState()
        for event in events:
            state.handle_chunk(construct_type(type_=ChatCompletionChunk, value=body(event)))
        picked = [c for c in state.current_completion_snapshot.choices if c.index == choice]
        if not picked:
            return None
        message = picked[0].message.model_dump(exclude_unset=True)
        for tool_call in message.get("tool_calls") or ():
            tool_call.pop("index", None)
        message = _request_form(message)
        return {key: value for key, value in message.items() if value is not None or key == "content"}
    if format == "openai-responses":
        from openai import omit
        from openai._models import construct_type
        from openai.lib.streaming.responses import ResponseStreamState
        from openai.types.responses import ResponseStreamEvent

        state = ResponseStreamState(input_tools=omit, text_format=omit)
        final = None
        for event in events:
            for out in state.handle_event(construct_type(type_=ResponseStreamEvent, value=body(event))):
                if out.type in ("response.completed", "response.incomplete", "response.failed"):
                    final = out.response
        assert final is not None
        return {"id": final.id, "output": [_request_form(item.model_dump(exclude_unset=True), False) for item in final.output]}
    from anthropic._models import construct_type
    from anthropic.lib.streaming._messages import accumulate_event
    from anthropic.types import RawMessageStreamEvent

    snapshot, buffers = None, {}
    for event in events:
        if event.get("type") != "ping":
            snapshot = accumulate_event(
                event=construct_type(type_=RawMessageStreamEvent, value=body(event)), current_snapshot=snapshot, json_bufs=buffers
            )
    assert snapshot is not None
    return {"role": snapshot.role, "content": [_request_form(block.model_dump(exclude_unset=True), False) for block in snapshot.content]}


def sse_events(raw: bytes) -> list[dict]:
    """The events a raw SSE file carries, as the openai SDK's decoder reads them."""
    from openai._streaming import SSEDecoder

    events = []
    for sse in SSEDecoder().iter_bytes(iter([raw])):
        if sse.data.startswith("[DONE]"):
            continue
        events.append(json.loads(sse.data))
    return events


def sdk_objects(events: list[dict], format: str) -> list[Any]:
    """The events as the SDK's client makes them from the JSON it receives
    (construct_type, which does not validate)."""
    if format == "openai-chat":
        from openai._models import construct_type
        from openai.types.chat import ChatCompletionChunk

        return [construct_type(type_=ChatCompletionChunk, value=body(event)) for event in events]
    if format == "openai-responses":
        from openai._models import construct_type
        from openai.types.responses import ResponseStreamEvent

        return [construct_type(type_=ResponseStreamEvent, value=body(event)) for event in events]
    from anthropic._models import construct_type
    from anthropic.types import RawMessageStreamEvent

    return [construct_type(type_=RawMessageStreamEvent, value=body(event)) for event in events]


# --- the fragments of a stream cut again ---------------------------------------------------


def slots(event, format):
    """The fragments an event carries: (part key, the dict holding it, its field)."""
    found = []
    if format == "openai-chat":
        for choice in event.get("choices") or []:
            delta = choice.get("delta") or {}
            for fragment in delta.get("tool_calls") or []:
                if (fragment.get("function") or {}).get("arguments") is not None:
                    found.append(((choice["index"], fragment["index"]), fragment["function"], "arguments"))
            if delta.get("content") is not None:
                found.append(((choice["index"], "text"), delta, "content"))
    elif format == "openai-responses":
        if event["type"] == "response.function_call_arguments.delta":
            found.append((event["item_id"], event, "delta"))
        elif event["type"] == "response.output_text.delta":
            found.append(("text", event, "delta"))
    elif event["type"] == "content_block_delta":
        delta = event["delta"]
        field = {"input_json_delta": "partial_json", "text_delta": "text"}.get(delta["type"])
        if field:
            found.append((event["index"] if field == "partial_json" else "text", delta, field))
    return found


def resplit(events, format, seed, as_bytes=False):
    """The events with each part's text cut again at random points, one piece per
    original fragment (some empty), as str or as UTF-8 bytes cut anywhere."""
    events = copy.deepcopy(events)
    rng = random.Random(seed)
    parts = {}
    for event in events:
        for key, holder, field in slots(event, format):
            parts.setdefault(key, []).append((holder, field))
    for places in parts.values():
        whole = "".join(holder[field] for holder, field in places)
        whole = whole.encode("utf-8") if as_bytes else whole
        cuts = sorted(rng.randint(0, len(whole)) for _ in range(len(places) - 1))
        for (holder, field), start, end in zip(places, [0, *cuts], [*cuts, len(whole)]):
            holder[field] = whole[start:end]
    return events


# --- the bytes of the HTTP body -----------------------------------------------------------


def sse_body(path: Path) -> bytes:
    """The stream's HTTP body: its raw SSE file, byte for byte, where the corpus
    has one (the recordings), else written from its events as the API writes them."""
    raw = RAW / (path.stem + ".sse")
    if raw.exists():
        return raw.read_bytes()
    out = []
    with path.open(encoding="utf-8") as lines:
        for line in lines:
            if not line.strip():
                continue
            event = json.loads(line)
            if "_sse" in event:
                out.append(f"data: {event['_sse']}\n\n")
                continue
            name = f"event: {event['_event']}\n" if "_event" in event else ""
            out.append(name + "data: " + json.dumps(body(event), ensure_ascii=False, separators=(",", ":")) + "\n\n")
    return "".join(out).encode("utf-8")


def cut_at(data: bytes, cuts: list[int]) -> list[bytes]:
    """data in pieces at the given points (any byte: inside a line, a CRLF, a
    UTF-8 character)."""
    points = sorted({0, len(data), *(cut % (len(data) + 1) for cut in cuts)})
    return [data[start:end] for start, end in zip(points, points[1:])]
