"""OpenAI Chat Completions chunks, and the assistant message they make.

Compatible servers (Gemini's OpenAI endpoint, older Ollama, xinference,
mistral.rs) send tool-call fragments without ``index``: a fragment without one
that carries an id or a name starts the next call, and one with neither goes on
with the last call started. The SDK's accumulator refuses them.
"""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from carrack.tool_calls._parts import ToolCall
from carrack.tool_calls._vocabulary import (
    ARGS,
    FINISH,
    PART,
    REFUSAL,
    START,
    TEXT,
    Get,
    Step,
    as_text,
    check_string,
    check_text,
    reader,
)

if TYPE_CHECKING:
    from carrack.tool_calls._collector import ToolCalls

FORMAT = "openai-chat"
# The key of the fragment in a delta event's JSON, for reading SSE bytes.
FRAGMENT_KEYS = {"call": '"arguments":', "content": '"content":'}
EXPECTED = "an OpenAI Chat Completions chunk (with 'choices')"
# How a choice says that it ended normally.
NORMAL_FINISH = frozenset({"tool_calls", "stop", "function_call"})
# What the SDK's stream helper (client.chat.completions.stream()) yields beside
# the chunks it wraps: repeats of what those carry.
HELPER_PREFIXES = ("content.", "refusal.", "tool_calls.", "logprobs.")
LEGACY = "function_call"


def claims(event: Any, get: Get) -> bool:
    kind = get(event, "type")
    return (
        get(event, "choices") is not None
        or get(event, "object") in ("chat.completion.chunk", "chat.completion")
        or kind == "chunk"
        # An error before any chunk, as compatible servers send it: no type.
        or (kind is None and isinstance(get(event, "error"), dict))
    )


class Reader:
    """Reads the chunks of one choice."""

    fragment_keys = FRAGMENT_KEYS

    def __init__(self, owner: ToolCalls, choice: int) -> None:
        self._owner = owner
        self._choice = choice
        self._by_index: dict[int, ToolCall] = {}
        self._last: ToolCall | None = None
        self._legacy: ToolCall | None = None
        # Whether a delta carried content or refusal at all, "" included: the
        # SDK's message then has "" where it would have None.
        self._content_seen = False
        self._refusal_seen = False

    def feed(self, chunk: Any) -> Any:
        # The commonest chunks, from a dict or an SDK object: one argument fragment
        # of a started call, or a piece of text. Subscripts and attributes cost
        # less than the general path's look-ups; any other shape takes that path.
        owner = self._owner
        call = piece = None
        try:
            if type(chunk) is dict:
                (choice,) = chunk["choices"]
                if choice["finish_reason"] is None and choice["index"] == self._choice:
                    delta = choice["delta"]
                    if "tool_calls" not in delta:
                        if delta.get("refusal") is None and delta.get("function_call") is None:
                            piece = delta["content"]
                    else:
                        (fragment,) = delta["tool_calls"]
                        function = fragment["function"]
                        if (
                            ("id" not in fragment or fragment["id"] is None)
                            and ("name" not in function or function["name"] is None)
                            and ("content" not in delta or delta["content"] is None)
                            and ("refusal" not in delta or delta["refusal"] is None)
                        ):
                            index = fragment["index"]
                            if type(index) is int:  # True and 1.0 find call 1 in a dict: the general path refuses them
                                piece = function["arguments"]
                                call = self._by_index[index]
            else:
                (choice,) = chunk.choices
                if choice.finish_reason is None and choice.index == self._choice:
                    delta = choice.delta
                    fragments = delta.tool_calls
                    if fragments is None:
                        if getattr(delta, "refusal", None) is None and getattr(delta, "function_call", None) is None:
                            piece = delta.content
                    else:
                        (fragment,) = fragments
                        function = fragment.function
                        if fragment.id is None and function.name is None and delta.content is None and getattr(delta, "refusal", None) is None:
                            index = fragment.index
                            if type(index) is int:
                                piece = function.arguments
                                call = self._by_index[index]
        except (AttributeError, KeyError, IndexError, TypeError, ValueError):
            call = piece = None
        if piece and type(piece) is str and not owner._ended:
            if call is None:
                return owner._text(piece)
            if call._opened and call._rest is None:  # _add, inlined on the fast path
                try:
                    call._feed(piece)
                except Exception as error:
                    call._refused(piece, error)
            else:
                call._add(piece)
            return call
        return owner._slowly(chunk)

    def read(self, chunk: Any) -> list[Step]:
        owner = self._owner
        get = reader(chunk)
        choices = get(chunk, "choices")
        kind = get(chunk, "type")
        if get(chunk, "object") == "chat.completion" or (
            choices and all(get(choice, "message") is not None and get(choice, "delta") is None for choice in choices)
        ):
            raise ValueError(
                "a whole ChatCompletion (object 'chat.completion'), not a streamed chunk: its tool calls are in "
                "choices[i].message.tool_calls, whole; a ToolCalls collects a stream (stream=True)"
            )
        if choices is None:
            if kind == "chunk":  # the stream helper's wrapper of a chunk
                return self.read(get(chunk, "chunk"))
            error = get(chunk, "error")
            if error is not None and kind is None:  # an error sent in the middle of the stream
                message = get(error, "message") or get(error, "code") or get(error, "type")
                return [] if owner._ended else [(FINISH, owner.finish_reason, False, f"the stream reported an error: {message}")]
            if get(chunk, "object") == "chat.completion.chunk" or (isinstance(kind, str) and kind.startswith(HELPER_PREFIXES)):
                return []
            raise owner._wrong(chunk)
        if not isinstance(choices, (list, tuple)):
            raise owner._wrong(chunk)
        steps: list[Step] = []
        ended = owner._ended
        if not owner.id:
            id = get(chunk, "id")
            if isinstance(id, str):
                steps.append((PART, owner._set_id, id))
        for choice in choices:
            if (get(choice, "index") or 0) != self._choice:
                continue
            delta = get(choice, "delta")
            if delta is not None:
                self._read_delta(delta, steps, ended)
            finish_reason = get(choice, "finish_reason")
            if finish_reason is not None and not ended:
                # The choice ends here: what a later entry for it in this chunk
                # sends is after the end.
                ended = True
                normal = finish_reason in NORMAL_FINISH
                steps.append((FINISH, finish_reason, normal, f"the response ended with finish_reason {finish_reason!r}"))
        return steps

    def _read_delta(self, delta: Any, steps: list[Step], ended: bool) -> None:
        get = reader(delta)
        fragments = get(delta, "tool_calls")
        text = get(delta, "content")
        refusal = get(delta, "refusal")
        legacy = get(delta, "function_call")
        if (fragments or text or refusal or legacy) and ended:
            raise ValueError("a Chat Completions delta after the choice's finish_reason")
        check_text(text, "content")
        check_text(refusal, "refusal")
        if fragments:
            if not isinstance(fragments, (list, tuple)):
                raise ValueError(f"a delta's tool_calls must be a list, not {type(fragments).__name__}")
            started: dict[int, ToolCall] = {}
            last = self._last
            for fragment in fragments:
                last = self._read_fragment(fragment, started, last, steps)
        if legacy is not None:
            self._read_legacy(legacy, steps)
        if text is not None:
            if not self._content_seen:
                steps.append((PART, self._see, "content"))
            if text:
                steps.append((TEXT, text))
        if refusal is not None:
            if not self._refusal_seen:
                steps.append((PART, self._see, "refusal"))
            if refusal:
                steps.append((REFUSAL, as_text(refusal)))

    def _read_fragment(self, fragment: Any, started: dict[int, ToolCall], last: ToolCall | None, steps: list[Step]) -> ToolCall:
        get = reader(fragment)
        index = get(fragment, "index")
        id = get(fragment, "id")
        function = get(fragment, "function")
        name = get(function, "name") if function is not None else None
        arguments = get(function, "arguments") if function is not None else None
        kind = get(fragment, "type")
        check_string(id, "id")
        check_string(name, "name")
        check_string(kind, "type")
        check_text(arguments, "arguments")
        if index is not None and (not isinstance(index, int) or isinstance(index, bool)):
            raise ValueError(f"a tool call's index must be an int, not {index!r}")
        if index is None:
            # A compatible server's fragment without index: a new call when it
            # names one (unless it repeats the last call's id), else more of the
            # last call.
            call = last if (not (id or name) or (id and last is not None and last.id == id)) else None
            if call is None and not (id or name):
                raise ValueError("a tool call fragment without index, id or name, and no call has started")
            index = len(self._by_index) + len(started) if call is None else call.index
        else:
            call = started.get(index) or self._by_index.get(index)
            if call is not None and id and call.id and id != call.id:
                # A new id at a used index is a new call: some providers number
                # every parallel call 0.
                call = None
            if call is None and not (id or name):
                raise ValueError(
                    f"a tool call fragment for index {index!r} carries no id or name, and no call with that index has started"
                )
        if call is None:
            call = ToolCall(self._owner, index, id or None, name or None, kind or None)
            started[index] = call
            steps.append((START, call, self._register))
        else:
            if call.id is None and id:
                steps.append((PART, self._name_call, (call, "id", id)))
            if call.name is None and name:
                steps.append((PART, self._name_call, (call, "name", name)))
        if arguments:
            steps.append((ARGS, call, arguments))
        return call

    def _read_legacy(self, legacy: Any, steps: list[Step]) -> None:
        """The deprecated delta.function_call: one call per message, no id."""
        get = reader(legacy)
        name = get(legacy, "name")
        arguments = get(legacy, "arguments")
        check_string(name, "name")
        check_text(arguments, "arguments")
        call = self._legacy
        if call is None:
            call = ToolCall(self._owner, 0, None, name or None, LEGACY)
            steps.append((START, call, self._register_legacy))
        elif call.name is None and name:
            steps.append((PART, self._name_call, (call, "name", name)))
        if arguments:
            steps.append((ARGS, call, arguments))

    # --- applied when the whole chunk has been read -------------------------------

    def _register(self, call: ToolCall) -> None:
        self._by_index[call.index] = call
        self._last = call

    def _register_legacy(self, call: ToolCall) -> None:
        self._legacy = call

    def _see(self, field: str) -> None:
        if field == "content":
            self._content_seen = True
        else:
            self._refusal_seen = True

    @staticmethod
    def _name_call(change: tuple[ToolCall, str, str]) -> None:
        call, field, value = change
        setattr(call, field, value)

    # --- the message for the next request -------------------------------------------

    def message(self) -> dict[str, Any]:
        """The assistant message, as Chat Completions takes it in ``messages``."""
        owner = self._owner
        content = owner._content
        message: dict[str, Any] = {
            "role": "assistant",
            "content": content.text if content is not None else ("" if self._content_seen else None),
        }
        if owner._refusal or self._refusal_seen:
            message["refusal"] = "".join(owner._refusal)
        calls = [call for call in owner._calls if call is not self._legacy]
        if calls:
            message["tool_calls"] = [
                {"id": call.id, "type": call.type or "function", "function": {"name": call.name, "arguments": call.text}}
                for call in calls
            ]
        if self._legacy is not None:
            message["function_call"] = {"name": self._legacy.name, "arguments": self._legacy.text}
        return message
