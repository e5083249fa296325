"""Anthropic Messages events, and the content blocks they make.

A ``tool_use`` block whose input arrives whole in ``content_block_start``
(Anthropic-compatible proxies send it so) has that input as its arguments, as
the SDK keeps it. Text blocks next to each other (a reply split at its
citations) make one text; text blocks with another block between them are a
paragraph apart in ``content``, where the SDK's ``get_final_text()`` runs them
together.
"""

from __future__ import annotations

import json
import re
from typing import TYPE_CHECKING, Any

from carrack.tool_calls import _stream_errors
from carrack.tool_calls._parts import ToolCall
from carrack.tool_calls._vocabulary import (
    ARGS,
    END,
    FINISH,
    PART,
    SKIP,
    START,
    TEXT,
    Get,
    Step,
    as_text,
    check_string,
    check_text,
    plain,
    reader,
)

if TYPE_CHECKING:
    from carrack.tool_calls._collector import ToolCalls

FORMAT = "anthropic-messages"
# The key of the fragment in a delta event's JSON, for reading SSE bytes.
FRAGMENT_KEYS = {"call": '"partial_json":'}
EXPECTED = "an Anthropic Messages event (type 'message_start', 'content_block_delta', …)"
EVENTS = frozenset(
    {
        "message_start",
        "content_block_start",
        "content_block_delta",
        "content_block_stop",
        "message_delta",
        "message_stop",
        "ping",
        "error",
    }
)
# What the SDKs' stream helpers (client.messages.stream(), client.beta.messages
# .stream()) yield beside the provider's events: they repeat what those carry.
HELPER_EVENTS = frozenset({"text", "citation", "thinking", "signature", "input_json", "compaction"})
NORMAL_STOP = frozenset({"tool_use", "end_turn"})
# What each delta adds to its block: appended text, or fields replaced.
APPENDED = {"text_delta": "text", "thinking_delta": "thinking"}
REPLACED = {"signature_delta": ("signature",), "compaction_delta": ("content", "encrypted_content")}


def claims(event: Any, get: Get) -> bool:
    kind = get(event, "type")
    return kind in EVENTS and (kind != "error" or get(event, "error") is not None)


class _Block:
    """A content block as it started, with what its deltas added."""

    __slots__ = ("start", "kind", "call", "pieces", "citations", "fields", "separate")

    def __init__(self, start: dict[str, Any], call: ToolCall | None, separate: bool) -> None:
        self.start = start
        self.kind = start.get("type")
        self.call = call
        self.pieces: list[str] = []
        self.citations: list[Any] = []
        self.fields: dict[str, Any] = {}
        # Whether the block's text is a paragraph apart from the text before it.
        self.separate = separate


class Reader:
    fragment_keys = FRAGMENT_KEYS

    def __init__(self, owner: ToolCalls, choice: int) -> None:
        self._owner = owner
        # The open blocks by index, the stopped ones, and every block in order.
        self._open: dict[Any, _Block] = {}
        self._stopped: set[Any] = set()
        self._blocks: list[_Block] = []
        self._role = "assistant"
        self._stop_reason: Any = None

    def feed(self, event: Any) -> Any:
        # The commonest event, from a dict or an SDK object: an argument fragment of
        # an open tool use block.
        call = piece = None
        try:
            if type(event) is dict:
                if event["type"] == "content_block_delta":
                    delta = event["delta"]
                    if delta["type"] == "input_json_delta":
                        call = self._open[event["index"]].call
                        piece = delta["partial_json"]
            elif event.type == "content_block_delta":
                delta = event.delta
                if delta.type == "input_json_delta":
                    call = self._open[event.index].call
                    piece = delta.partial_json
        except (AttributeError, KeyError, TypeError):
            call = None
        if call is not None and type(piece) is str and not self._owner._ended:
            if call._opened and call._rest is None:  # _add, inlined on the fast path
                try:
                    call._feed(piece)
                except Exception as error:
                    call._refused(piece, error)
            else:
                call._add(piece)
            return call
        return self._owner._slowly(event)

    def read(self, event: Any) -> list[Step]:
        owner = self._owner
        get = reader(event)
        kind = get(event, "type")
        if kind == "content_block_delta":
            return self._delta(get(event, "index"), get(event, "delta"))
        if kind not in EVENTS:
            if kind in HELPER_EVENTS:
                return []
            owner._check_type(event)
            if not isinstance(kind, str) or kind.startswith("response.") or get(event, "choices") is not None:
                raise owner._wrong(event)
            return [(SKIP, kind)]
        if owner._ended and kind != "ping":
            raise ValueError(f"an Anthropic event after message_stop: {owner._describe(event)}")
        if kind == "content_block_start":
            return self._start(get(event, "index"), get(event, "content_block"), get)
        if kind == "content_block_stop":
            index = get(event, "index")
            block = self._open.get(index)
            if block is None:
                self._unknown_block(kind, index)
            steps: list[Step] = [(PART, self._stop, index)]
            if block is not None and block.call is not None:
                steps.append((END, block.call, False))
            return steps
        if kind == "message_start":
            message = get(event, "message")
            steps = []
            if message is not None:
                id, role = get(message, "id"), get(message, "role")
                if isinstance(id, str) and not owner.id:
                    steps.append((PART, owner._set_id, id))
                if isinstance(role, str):
                    steps.append((PART, self._set_role, role))
            return steps
        if kind == "message_delta":
            delta = get(event, "delta")
            stop_reason = get(delta, "stop_reason") if delta is not None else None
            return [(PART, self._set_stop_reason, stop_reason)] if stop_reason is not None else []
        if kind == "message_stop":
            stop_reason = self._stop_reason
            why = (
                "the response ended without a stop_reason"
                if stop_reason is None
                else f"the response ended with stop_reason {stop_reason!r}"
            )
            return [(FINISH, stop_reason, stop_reason in NORMAL_STOP, why)]
        if kind == "error":
            error = get(event, "error")
            detail = (get(error, "type") or get(error, "message")) if error is not None else None
            return [(FINISH, self._stop_reason, False, f"the stream reported an error: {detail}")]
        return []  # ping

    def _delta(self, index: Any, delta: Any) -> list[Step]:
        block = self._open.get(index)
        if block is None or self._owner._ended:
            self._unknown_block("content_block_delta", index)
        assert block is not None
        get = reader(delta)
        kind = get(delta, "type")
        if kind == "input_json_delta":
            if block.call is None:
                raise ValueError(f"input_json_delta for content block {index!r}, which is not a tool use")
            fragment = get(delta, "partial_json")
            check_text(fragment, "arguments")
            return [(ARGS, block.call, fragment)] if fragment else []
        if kind in APPENDED:
            field = APPENDED[kind]
            if block.kind != field:
                raise ValueError(f"{kind} for content block {index!r}, which is not {field}")
            fragment = get(delta, field)
            check_text(fragment, field)
            if not fragment:
                return []
            text = as_text(fragment)
            steps: list[Step] = [(PART, block.pieces.append, text)]
            if kind == "text_delta":
                if block.separate:
                    steps.append((PART, self._joined, block))
                    if self._owner._content is not None:
                        text = "\n\n" + text
                steps.append((TEXT, text))
            return steps
        if kind == "citations_delta":
            return [(PART, block.citations.append, plain(get(delta, "citation")))]
        if kind in REPLACED:
            return [(PART, block.fields.update, {field: get(delta, field) for field in REPLACED[kind]})]
        return [(SKIP, f"content_block_delta {kind}")]

    def _start(self, index: Any, block: Any, get: Get) -> list[Step]:
        if index in self._open or index in self._stopped:
            raise ValueError(f"a second content_block_start for index {index!r}")
        kind = get(block, "type")
        start = plain(block)
        if not isinstance(start, dict):
            raise ValueError(f"a content_block_start whose content_block is {type(block).__name__}")
        call = None
        steps: list[Step] = []
        if isinstance(kind, str) and kind.endswith("tool_use"):
            if not isinstance(index, int) or isinstance(index, bool):
                raise ValueError(f"a tool call's index must be an int, not {index!r}")
            id, name = get(block, "id"), get(block, "name")
            check_string(id, "id")
            check_string(name, "name")
            call = ToolCall(self._owner, index, id or None, name or None, kind)
            steps.append((START, call, None))
            whole = start.get("input")
            if whole:
                # The input, whole, in the start (as compatible proxies send it):
                # the arguments' text is its JSON.
                steps.append((ARGS, call, json.dumps(whole, ensure_ascii=False)))
        # Text after a block that is not text is a paragraph apart.
        previous = self._blocks[-1] if self._blocks else None
        separate = kind == "text" and previous is not None and previous.kind != "text"
        record = _Block(start, call, separate)
        steps.insert(0, (PART, self._add_block, (index, record)))
        if kind == "text":
            text = start.get("text")
            check_text(text, "text")
            if text:
                steps.append((TEXT, ("\n\n" if separate and self._owner._content is not None else "") + as_text(text)))
                record.separate = False
        return steps

    def _unknown_block(self, kind: str, index: Any) -> None:
        if self._owner._ended:
            raise ValueError(f"{kind} after message_stop")
        if index in self._stopped:
            raise ValueError(f"{kind} for content block {index!r}, which has stopped")
        raise ValueError(f"{kind} for content block {index!r}, which no content_block_start opened")

    # --- applied when the whole event has been read -------------------------------

    def _add_block(self, added: tuple[Any, _Block]) -> None:
        index, block = added
        self._open[index] = block
        self._blocks.append(block)

    def _stop(self, index: Any) -> None:
        self._open.pop(index, None)
        self._stopped.add(index)

    def _set_role(self, role: str) -> None:
        self._role = role

    def _set_stop_reason(self, stop_reason: Any) -> None:
        self._stop_reason = stop_reason
        self._owner.finish_reason = stop_reason

    @staticmethod
    def _joined(block: _Block) -> None:
        block.separate = False

    # --- the content blocks for the next request ----------------------------------

    def message(self) -> dict[str, Any]:
        """The assistant message, as the Messages API takes it in ``messages``."""
        return {"role": self._role, "content": [self._content_block(block) for block in self._blocks]}

    @staticmethod
    def _content_block(block: _Block) -> dict[str, Any]:
        data = dict(block.start)
        call = block.call
        if call is not None:
            data["input"] = _input(call, data.get("input"))
        field = APPENDED.get(f"{block.kind}_delta")
        if field is not None and block.pieces:
            data[field] = (data.get(field) or "") + "".join(block.pieces)
        if block.citations:
            data["citations"] = [*(data.get("citations") or ()), *block.citations]
        data.update(block.fields)
        return data


# A number that the text ends with, whole as it stands ("12", "1.5e3"; not "1.", "-").
WHOLE_NUMBER_END = re.compile(r"-?(?:0|[1-9][0-9]*)(?:\.[0-9]+)?(?:[eE][+-]?[0-9]+)?\Z")


def _input(call: ToolCall, start: Any) -> Any:
    """A tool use block's input as the SDK has it: the arguments' object once
    complete; of a call cut short, what of it is closed (the SDK's partial
    parse), with a number the text ends on when it reads as a whole number, as
    the SDK's parser keeps it; the start's input when no argument text came."""
    if call.state == "complete":
        return call.parsed
    value = _stream_errors.partial(call.arguments) if call.text.strip() else None
    if value is None:
        return start if start is not None else {}
    arguments = call.arguments
    if call._rest is None and WHOLE_NUMBER_END.search(arguments.text) is not None:
        # Outside any string (only closers are missing), the last token is that number.
        if arguments.suffix.strip("]}") == "":
            return _stream_errors.partial(arguments, "all")
    return value
