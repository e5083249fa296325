"""Provider streams for the tool-call tests: built from a few calls in each
format's shape, and read from the shared corpus of recorded and synthetic
streams, with what each provider's SDK makes of them."""

from __future__ import annotations

import json
import os
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
        whole = "".join(fragments)
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
    events: list[dict] = [{"type": "message_start", "message": {"id": "msg_1", "type": "message", "role": "assistant", "content": []}}]
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
