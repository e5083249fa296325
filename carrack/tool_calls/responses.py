"""OpenAI Responses events, and the output items they make.

Function calls and custom tool calls are collected; a custom tool's input is
free text, which its call's arguments stream holds as one JSON string. The
output items for the next request are the items as each ``output_item.done``
gave them (as added, with the text received, for an item the stream cut off),
with each call's own argument text.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from carrack.tool_calls._parts import ToolCall
from carrack.tool_calls._vocabulary import (
    ARGS,
    END,
    FINISH,
    PART,
    REFUSAL,
    SKIP,
    START,
    TEXT,
    WHOLE,
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

FORMAT = "openai-responses"
# The key of the fragment in a delta event's JSON, for reading SSE bytes.
FRAGMENT_KEYS = {"call": '"delta":'}
EXPECTED = "an OpenAI Responses event (type 'response.…' or 'error')"
ENDS = frozenset({"response.completed", "response.incomplete", "response.failed"})
CALLS = {"function_call": "arguments", "custom_tool_call": "input"}
ARGUMENT_DELTAS = frozenset({"response.function_call_arguments.delta", "response.custom_tool_call_input.delta"})
ARGUMENT_DONES = {"response.function_call_arguments.done": "arguments", "response.custom_tool_call_input.done": "input"}
# Events that carry nothing for the collector, or repeat what it has: known,
# so passed over without being counted as unknown.
PASSED = (
    "response.created",
    "response.in_progress",
    "response.queued",
    "response.output_text.done",
    "response.output_text.annotation.added",
    "response.refusal.done",
    "response.reasoning",
    "response.web_search_call.",
    "response.file_search_call.",
    "response.code_interpreter_call",
    "response.image_generation_call.",
    "response.mcp_",
    "response.audio.",
)
# Another provider's events, which cannot be in a Responses stream.
FOREIGN = frozenset({"message_start", "content_block_start", "content_block_delta", "content_block_stop", "message_delta", "message_stop"})


def _name_call(change: tuple[ToolCall, str, str]) -> None:
    call, field, value = change
    setattr(call, field, value)


def claims(event: Any, get: Get) -> bool:
    kind = get(event, "type")
    # An error event before any other has its code and message at the top;
    # Anthropic's nests them in "error".
    return isinstance(kind, str) and (kind.startswith("response.") or (kind == "error" and get(event, "error") is None))


class _Item:
    """An output item as added, then as done, with the text of its parts."""

    __slots__ = ("added", "done", "parts", "finished", "pieces", "call")

    def __init__(self, added: dict[str, Any], call: ToolCall | None) -> None:
        self.added = added
        self.done: dict[str, Any] | None = None
        self.parts: dict[int, dict[str, Any]] = {}
        self.finished: dict[int, dict[str, Any]] = {}
        self.pieces: dict[int, list[str]] = {}
        self.call = call


class Reader:
    fragment_keys = FRAGMENT_KEYS

    def __init__(self, owner: ToolCalls, choice: int) -> None:
        self._owner = owner
        self._by_item: dict[Any, ToolCall] = {}
        self._by_index: dict[Any, ToolCall] = {}
        self._items: dict[Any, _Item] = {}
        self._last_text: Any = None

    def feed(self, event: Any) -> Any:
        # The commonest event, from a dict or an SDK object: an argument fragment
        # of an added call.
        call = piece = None
        try:
            if type(event) is dict:
                if event["type"] == "response.function_call_arguments.delta":
                    call = self._by_item[event["item_id"]]
                    piece = event["delta"]
            elif event.type == "response.function_call_arguments.delta":
                call = self._by_item[event.item_id]
                piece = event.delta
        except (AttributeError, KeyError, TypeError):
            call = None
        if call is not None and type(piece) is str and not call._ended:
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
        if kind in ARGUMENT_DELTAS:
            call = self._call(event, get)
            delta = get(event, "delta")
            check_text(delta, "arguments")
            if call._ended:
                raise ValueError("a fragment of arguments after the end")
            return [(ARGS, call, delta)] if delta else []
        if kind == "response.output_text.delta" or kind == "response.refusal.delta":
            self._open(event)
            delta = get(event, "delta")
            check_text(delta, "content")
            if not delta:
                return []
            where = (get(event, "output_index"), get(event, "content_index") or 0)
            text = as_text(delta)
            steps: list[Step] = [(PART, self._piece, (where, kind, text))]
            if kind == "response.refusal.delta":
                return [*steps, (REFUSAL, text)]
            if self._last_text is not None and self._last_text != where[0] and owner._content is not None:
                text = "\n\n" + text  # another message item: a paragraph apart, not run together
            return [*steps, (TEXT, text)]
        if not isinstance(kind, str) or not (kind.startswith("response.") or kind == "error"):
            owner._check_type(event)
            if not isinstance(kind, str) or kind in FOREIGN or get(event, "choices") is not None:
                raise owner._wrong(event)
            return [(SKIP, kind)]
        self._open(event)
        if kind == "response.output_item.added":
            return self._added(event, get)
        if kind in ARGUMENT_DONES:
            call = self._call(event, get)
            return [(WHOLE, call, get(event, ARGUMENT_DONES[kind]), kind)]
        if kind == "response.output_item.done":
            return self._done(event, get)
        if kind == "response.content_part.added" or kind == "response.content_part.done":
            part = get(event, "part")
            where = (get(event, "output_index"), get(event, "content_index") or 0)
            return [(PART, self._part, (where, kind, plain(part)))] if part is not None else []
        if kind in ENDS:
            return self._end(kind, get(event, "response"), get)
        if kind == "error":
            return [(FINISH, "error", False, f"the stream reported an error: {get(event, 'message') or get(event, 'code')}")]
        steps = []
        if kind in ("response.created", "response.in_progress", "response.queued") and not owner.id:
            id = get(get(event, "response"), "id") if get(event, "response") is not None else None
            if isinstance(id, str):
                steps.append((PART, owner._set_id, id))
        if not kind.startswith(PASSED):
            steps.append((SKIP, kind))
        return steps

    def _open(self, event: Any) -> None:
        if self._owner._ended:
            raise ValueError(f"a Responses event after the response ended: {self._owner._describe(event)}")

    def _call(self, event: Any, get: Get) -> ToolCall:
        self._open(event)
        item_id = get(event, "item_id")
        call = self._by_item.get(item_id)
        if call is None:
            call = self._by_index.get(get(event, "output_index"))
            if call is None or (item_id is not None and call.item_id is not None and call.item_id != item_id):
                raise ValueError(f"{get(event, 'type')} for item {item_id!r}, which no response.output_item.added opened")
        return call

    def _added(self, event: Any, get: Get) -> list[Step]:
        item = get(event, "item")
        index = get(event, "output_index")
        kind = get(item, "type")
        if index in self._items:
            raise ValueError(f"a second response.output_item.added for output index {index!r}")
        if kind not in CALLS:
            return [(PART, self._add_item, (index, _Item(plain(item), None)))]
        item_id = get(item, "id")
        if item_id is not None and item_id in self._by_item:
            raise ValueError(f"a second response.output_item.added for item {item_id!r}")
        if not isinstance(index, int) or isinstance(index, bool):
            raise ValueError(f"a tool call's index must be an int, not {index!r}")
        call_id, name = get(item, "call_id"), get(item, "name")
        for field, value in (("id", call_id), ("name", name), ("item id", item_id)):
            check_string(value, field)
        arguments = get(item, CALLS[kind])
        check_text(arguments, "arguments")
        call = ToolCall(self._owner, index, call_id or None, name or None, kind, item_id)
        steps: list[Step] = [(START, call, self._register), (PART, self._add_item, (index, _Item(plain(item), call)))]
        if arguments:
            steps.append((ARGS, call, arguments))
        return steps

    def _done(self, event: Any, get: Get) -> list[Step]:
        item = get(event, "item")
        index = get(event, "output_index")
        kind = get(item, "type")
        steps: list[Step] = [(PART, self._item_done, (index, plain(item)))]
        if kind not in CALLS:
            return steps
        call = self._by_item.get(get(item, "id")) or self._by_index.get(index)
        if call is None:
            raise ValueError(f"response.output_item.done for a {kind} that was never added")
        # A call_id or name that the added item lacked (compatible servers) comes here.
        for field, key in (("id", "call_id"), ("name", "name")):
            value = get(item, key)
            check_string(value, field)
            if value and getattr(call, field) is None:
                steps.append((PART, _name_call, (call, field, value)))
        return [*steps, (WHOLE, call, get(item, CALLS[kind]), "response.output_item.done"), (END, call, get(item, "status") == "incomplete")]

    def _end(self, kind: str, response: Any, get: Get) -> list[Step]:
        status = get(response, "status") if response is not None else None
        status = status or kind.removeprefix("response.")
        steps: list[Step] = []
        if not self._owner.id and response is not None and isinstance(get(response, "id"), str):
            steps.append((PART, self._owner._set_id, get(response, "id")))
        # The final response repeats every item: a call's arguments must match.
        output = (get(response, "output") if response is not None else None) or ()
        if output:
            steps.append((PART, self._final, plain(list(output))))
        for item in output:
            field = CALLS.get(get(item, "type"))
            call = self._by_item.get(get(item, "id")) if field else None
            if call is not None and field is not None:
                steps.append((WHOLE, call, get(item, field), kind))
        why = f"the response ended with status {status!r}"
        details = (get(response, "incomplete_details") or get(response, "error")) if response is not None else None
        detail = (get(details, "reason") or get(details, "message")) if details is not None else None
        if detail:
            why += f" ({detail})"
        steps.append((FINISH, status, kind == "response.completed" and status == "completed", why))
        return steps

    # --- applied when the whole event has been read -------------------------------

    def _register(self, call: ToolCall) -> None:
        self._by_index[call.index] = call
        if call.item_id is not None:
            self._by_item[call.item_id] = call

    def _add_item(self, added: tuple[Any, _Item]) -> None:
        index, item = added
        self._items[index] = item

    def _item_done(self, done: tuple[Any, dict[str, Any]]) -> None:
        index, item = done
        record = self._items.get(index)
        if record is None:
            record = self._items[index] = _Item(item, None)
        record.done = item

    def _part(self, part: tuple[tuple[Any, int], str, dict[str, Any]]) -> None:
        (index, content_index), kind, data = part
        record = self._items.get(index)
        if record is not None:
            (record.parts if kind == "response.content_part.added" else record.finished)[content_index] = data

    def _final(self, output: list[Any]) -> None:
        for index, item in enumerate(output):
            if index not in self._items:
                self._items[index] = _Item(item, None)

    def _piece(self, piece: tuple[tuple[Any, int], str, str]) -> None:
        (index, content_index), kind, text = piece
        if kind == "response.output_text.delta":
            self._last_text = index
        record = self._items.get(index)
        if record is None:  # text of an item never added: kept all the same
            record = self._items[index] = _Item({"type": "message", "role": "assistant", "content": []}, None)
        if content_index not in record.parts:
            record.parts[content_index] = (
                {"type": "refusal", "refusal": ""} if kind == "response.refusal.delta" else {"type": "output_text", "text": "", "annotations": []}
            )
        record.pieces.setdefault(content_index, []).append(text)

    # --- the output items for the next request --------------------------------------

    def message(self) -> dict[str, Any]:
        """The response's id (for ``previous_response_id``) and its output items,
        as the Responses API takes them in ``input``."""
        output = []
        for index in sorted(self._items, key=lambda key: (not isinstance(key, int), key if isinstance(key, int) else 0)):
            record = self._items[index]
            if record.done is not None:
                item = dict(record.done)
            else:
                item = dict(record.added)
                if record.parts or record.finished:
                    content = []
                    for content_index in sorted(record.parts.keys() | record.finished.keys()):
                        if content_index in record.finished:
                            content.append(record.finished[content_index])
                            continue
                        part = dict(record.parts[content_index])
                        field = "refusal" if part.get("type") == "refusal" else "text"
                        part[field] = part.get(field, "") + "".join(record.pieces.get(content_index, ()))
                        content.append(part)
                    item["content"] = content
            call = record.call
            if call is not None:
                item[CALLS[str(call.type)]] = call.text
            output.append(item)
        return {"id": self._owner.id, "output": output}
