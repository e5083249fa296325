"""Collects a model's streamed tool calls, and its JSON text, from OpenAI and
Anthropic streams, and says which calls are safe to run.

::

    calls = ToolCalls()
    for event in events:                 # dicts, or the SDKs' own event objects
        calls.feed(event)
    calls.close()                        # the stream is over
    for call in calls.executable():      # only these may run
        run(call.name, call.parsed)

Three formats are read, each as the JSON of a server-sent event's data (a dict)
or as the official SDK's event object, by attribute; no SDK is imported:

- ``"openai-chat"``: Chat Completions chunks;
- ``"openai-responses"``: Responses events;
- ``"anthropic-messages"``: Messages events.

Each call's arguments are a :class:`carrack.Stream` fed the fragments as they
come, so a delta costs its own length and a few dictionary look-ups; nothing
already received is parsed again. A call is executable only when its arguments
are exactly one JSON object and the provider ended the call and the response
normally.
"""

from __future__ import annotations

import json
from typing import Any, Callable, Iterable, Iterator, Literal

from carrack._stream import Stream

__all__ = ["Content", "Format", "State", "ToolCall", "ToolCalls"]

Format = Literal["openai-chat", "openai-responses", "anthropic-messages"]
State = Literal["streaming", "complete", "truncated", "malformed"]

FORMATS: tuple[str, ...] = ("openai-chat", "openai-responses", "anthropic-messages")
# How each format says that a response ended normally.
NORMAL_FINISH = frozenset({"tool_calls", "stop"})
NORMAL_STOP = frozenset({"tool_use", "end_turn"})
ANTHROPIC_EVENTS = frozenset(
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
# What the SDKs' stream helpers (client.messages.stream(), client.chat.completions
# .stream()) yield beside the provider's events: they repeat what those carry.
ANTHROPIC_HELPER_EVENTS = frozenset({"text", "citation", "thinking", "signature", "input_json"})
RESPONSES_ENDS = frozenset({"response.completed", "response.incomplete", "response.failed"})
WHITESPACE = " \t\n\r"
# What a JSON text that is not an object starts with, for saying what it is.
KINDS = {"[": "an array", '"': "a string", "t": "a boolean", "f": "a boolean", "n": "null"}
KINDS.update(dict.fromkeys("-0123456789", "a number"))
SHAPES = (
    "an OpenAI Chat Completions chunk (with 'choices'), an OpenAI Responses event "
    "(type 'response.…') or an Anthropic Messages event (type 'message_start', "
    "'content_block_delta', …)"
)
EXPECTED = {
    "openai-chat": "an OpenAI Chat Completions chunk (with 'choices')",
    "openai-responses": "an OpenAI Responses event (type 'response.…' or 'error')",
    "anthropic-messages": "an Anthropic Messages event (type 'message_start', 'content_block_delta', …)",
}


def _attribute(thing: Any, key: str) -> Any:
    """Reads a field of an SDK event object, or of a dict found inside one."""
    if type(thing) is dict:
        return thing.get(key)
    return getattr(thing, key, None)


def _reader(event: Any) -> Callable[[Any, str], Any]:
    """The field reader for an event: dict look-ups for the JSON of an event,
    attributes for an SDK's object."""
    return dict.get if type(event) is dict else _attribute


def _describe(event: Any) -> str:
    if isinstance(event, dict):
        keys = ", ".join(repr(key) for key in list(event)[:6])
        kind = event.get("type")
        return f"a dict with type {kind!r}" if kind is not None else f"a dict with keys {keys or 'none'}"
    kind = getattr(event, "type", None)
    name = type(event).__name__
    return f"a {name} with type {kind!r}" if kind is not None else f"a {name}"


class _FragmentError(TypeError):
    """A fragment of text that is not a str: said as it is, not as a bad event."""


class _Part:
    """Text that should be one JSON value, fed fragment by fragment into a Stream;
    what it came to is decided once, when it ends."""

    __slots__ = ("_stream", "_feed", "_opened", "_rest", "_state", "_problem", "_parsed", "_ended", "_owner")
    _noun, _is = "text", "is"

    def __init__(self, owner: ToolCalls) -> None:
        self._stream = Stream()
        self._feed = self._stream.feed
        # Whether the first character has been seen (arguments must open an object).
        self._opened = False
        # Fragments after the stream refused one: kept so that the text stays whole.
        self._rest: list[Any] | None = None
        self._state: str = "streaming"
        self._problem: str | None = None
        self._parsed: Any = None
        self._ended = False
        self._owner = owner

    @property
    def state(self) -> State:
        """``"streaming"`` until the part ends; then ``"complete"`` (the text is
        one JSON value of the kind expected), ``"truncated"`` (it stops before its
        value ends) or ``"malformed"`` (it cannot be such a value; a part can be
        found malformed while it streams)."""
        return self._state  # type: ignore[return-value]

    @property
    def text(self) -> str:
        """Everything received, even what came after the stream refused the text."""
        text = self._stream.text
        if self._rest:
            text += "".join(
                piece if isinstance(piece, str) else bytes(piece).decode("utf-8", "replace") for piece in self._rest
            )
        return text

    @property
    def parsed(self) -> Any:
        """The value the text closes to, once the part is complete; None before."""
        return self._parsed

    def _add(self, fragment: Any) -> None:
        """Feeds one fragment: its own length, never the text so far."""
        if self._opened and self._rest is None:
            try:
                self._feed(fragment)
            except Exception as error:
                self._refused(fragment, error)
        else:
            self._add_first(fragment)

    def _add_first(self, fragment: Any) -> None:
        """Feeds a fragment before the first character or after a refusal."""
        if self._rest is not None:
            self._rest.append(fragment)
            return
        self._check_start(fragment)
        try:
            self._feed(fragment)
        except Exception as error:
            self._refused(fragment, error)

    def _check_start(self, fragment: Any) -> None:
        self._opened = True

    def _refused(self, fragment: Any, error: Exception) -> None:
        """Takes the stream's refusal of a fragment: the text is not JSON, or the
        fragment is not text."""
        if isinstance(error, RuntimeError):
            # Bytes left over after the value (the stream keeps that chunk), or too
            # deep; json says where, once.
            self._rest = []
            try:
                json.loads(self._stream.text, strict=False)
            except (json.JSONDecodeError, RecursionError) as where:
                error = where
            self._fail(f"the {self._noun} {self._is} not JSON: {error}")
        elif isinstance(error, UnicodeEncodeError):
            self._rest = [fragment]
            self._fail(f"a lone surrogate in the {self._noun}, which is not text")
        elif isinstance(error, ValueError):
            # The stream is closed: the part has ended.
            raise ValueError(f"a fragment of {self._noun} after the end") from None
        elif isinstance(error, TypeError):
            raise _FragmentError(
                f"a fragment of {self._noun} must be str (or UTF-8 bytes), not {type(fragment).__name__}"
            ) from None
        else:
            raise error

    def _fail(self, problem: str) -> None:
        if self._state != "malformed":
            self._state = "malformed"
            self._problem = problem
            self._parsed = None

    def _reconcile(self, whole: Any, where: str) -> None:
        """Checks the whole text that an end event repeats against the fragments,
        taking in a tail that the fragments lacked."""
        if not isinstance(whole, str) or self._rest is not None:
            return
        have = self._stream.text
        if whole == have:
            return
        if whole.startswith(have) and not self._ended:
            self._add(whole[len(have) :])
        else:
            self._fail(f"{where} disagrees with the deltas on the {self._noun}")

    def _end(self, own: bool, incomplete: bool = False) -> None:
        """Decides the state, once, and closes the stream: own is whether the
        provider ended this part normally (its own end, or the normal end of the
        response)."""
        if self._ended:
            return
        self._ended = True
        try:
            value = self._stream.close()
        except (ValueError, RuntimeError):  # not one complete value, or refused before
            closed = False
        else:
            closed = True
        if self._state == "malformed":
            return
        if self._stream.text.strip(WHITESPACE) == "":
            self._end_empty(own and not incomplete)
        elif not closed:
            try:
                self._stream.value()
            except json.JSONDecodeError as error:
                self._fail(f"the {self._noun} {self._is} not JSON: {error}")
            else:
                self._cut(f"the {self._noun} {self._is} cut off before the JSON ends")
        elif incomplete:
            self._cut("the provider marked the call incomplete")
        else:
            self._accept(value)

    def _end_empty(self, normal: bool) -> None:
        if normal:
            self._fail(f"the {self._noun} {self._is} empty")
        else:
            self._cut(f"the {self._noun} {self._is} cut off before the JSON begins")

    def _cut(self, problem: str) -> None:
        self._state = "truncated"
        self._problem = problem

    def _accept(self, value: Any) -> None:
        self._state = "complete"
        self._parsed = value

    def _blocker(self) -> str | None:
        """Why the part may not be used yet, or None."""
        if self._problem is not None:
            return self._problem
        return self._owner._blocker()


class ToolCall(_Part):
    """One tool call: who it calls, its arguments as they stream, and whether it
    may run."""

    __slots__ = ("index", "id", "name", "type", "item_id", "arguments", "_client")
    _noun, _is = "arguments", "are"

    def __init__(
        self, owner: ToolCalls, index: int, id: str | None, name: str | None, type: str | None, item_id: str | None
    ) -> None:
        super().__init__(owner)
        #: The provider's position of the call: the tool call's index (Chat
        #: Completions), the output index (Responses) or the content block index
        #: (Messages).
        self.index = index
        #: The call's id, to answer it with: ``id`` (Chat Completions, Messages) or
        #: ``call_id`` (Responses). Fixed by the first fragment that carries one.
        self.id = id
        #: The tool's name, fixed by the first fragment that carries one.
        self.name = name
        #: The provider's kind of call: ``"function"``, ``"function_call"``,
        #: ``"tool_use"``, or a server tool's kind such as ``"server_tool_use"``.
        self.type = type
        #: The Responses output item's id (``fc_…``), which is not the call id.
        self.item_id = item_id
        #: The arguments as a :class:`carrack.Stream`: ``value()``, ``path`` and
        #: ``done`` work while they stream. The collector closes it when the call
        #: ends. (An attribute, not a property: it is read after every delta.)
        self.arguments: Stream = self._stream
        # Anthropic's server tools (server_tool_use, mcp_tool_use) are run by the provider.
        self._client = type is None or not type.endswith("tool_use") or type == "tool_use"

    @property
    def executable(self) -> bool:
        """Whether the call may run: its arguments are exactly one JSON object and
        the provider ended the call and the response normally."""
        return self._state == "complete" and self._client and self._owner._blocker() is None

    @property
    def reason(self) -> str | None:
        """Why the call is not executable; None when it is."""
        blocker = self._blocker()
        if blocker is None and not self._client:
            return f"the provider runs this call itself ({self.type})"
        return blocker

    def _check_start(self, fragment: Any) -> None:
        """Arguments must be an object: the first character tells, while they stream."""
        if isinstance(fragment, str):
            first = fragment.lstrip(WHITESPACE)[:1]
        elif isinstance(fragment, (bytes, bytearray, memoryview)):
            first = bytes(fragment).lstrip(WHITESPACE.encode())[:1].decode("latin-1")
        else:
            return
        if first:
            self._opened = True
            if first not in KINDS and first != "{":
                self._fail(f"the arguments are not JSON: they start with {first!r}")
            elif first != "{":
                self._fail(f"the arguments are {KINDS[first]}, not an object")

    def _end_empty(self, normal: bool) -> None:
        if normal and self._owner._empty_as_object:
            self._accept({})
        elif normal:
            self._fail("the arguments are empty (ToolCalls(empty_as_object=True) reads them as {})")
        else:
            _Part._end_empty(self, normal)

    def _accept(self, value: Any) -> None:
        if isinstance(value, dict):
            _Part._accept(self, value)
        else:
            self._fail(f"the arguments are {KINDS[self._stream.text.lstrip(WHITESPACE)[0]]}, not an object")

    def __repr__(self) -> str:
        return (
            f"ToolCall(index={self.index!r}, id={self.id!r}, name={self.name!r}, state={self._state!r}, "
            f"executable={self.executable!r})"
        )


class Content(_Part):
    """The message's text, for JSON mode or a JSON-schema response format: one JSON
    value of any kind, final only when the response ended normally."""

    __slots__ = ()

    @property
    def stream(self) -> Stream:
        """The text as a :class:`carrack.Stream`, closed by the collector when the
        response ends."""
        return self._stream

    @property
    def final(self) -> bool:
        """Whether the text is one complete JSON value and the provider ended the
        response normally."""
        return self._state == "complete" and self._owner._blocker() is None

    @property
    def reason(self) -> str | None:
        """Why the text is not final; None when it is."""
        return self._blocker()

    def __repr__(self) -> str:
        return f"Content(state={self._state!r}, final={self.final!r})"


class ToolCalls:
    """Collects the tool calls of one streamed response, event by event.

    ``format`` is one of ``"openai-chat"``, ``"openai-responses"`` and
    ``"anthropic-messages"``, or None to take it from the first event.
    ``choice`` picks the Chat Completions choice to collect when ``n`` > 1.
    ``empty_as_object`` reads arguments that are empty (``""``) as ``{}``; by
    default they are malformed.
    """

    def __init__(
        self, format: Format | None = None, *, choice: int = 0, empty_as_object: bool = False
    ) -> None:
        if format is not None and format not in FORMATS:
            raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, not {format!r}")
        if type(choice) is not int:
            raise TypeError(f"choice must be an int, not {type(choice).__name__}")
        if choice < 0:
            raise ValueError(f"choice must be 0 or more, not {choice}")
        self.format: Format | None = format
        self._choice = choice
        self._empty_as_object = bool(empty_as_object)
        self._calls: list[ToolCall] = []
        # Where each format's deltas find their call: the open tool call per index
        # (Chat Completions), per item id and output index (Responses), the open
        # content block per index (Messages).
        self._by_index: dict[Any, Any] = {}
        self._by_item: dict[Any, ToolCall] = {}
        self._stopped: set[Any] = set()
        self._content: Content | None = None
        self.finish_reason: str | None = None
        self._ended = False
        self._why: str | None = "the response has not ended"
        self._closed = False
        if format is not None:
            self._bind(format)

    @classmethod
    def collect(cls, events: Iterable[Any], format: Format | None = None, **options: Any) -> ToolCalls:
        """Feeds every event, then closes: the collector of a whole stream."""
        collector = cls(format, **options)
        for event in events:
            collector.feed(event)
        collector.close()
        return collector

    # --- what the caller reads -------------------------------------------------

    @property
    def calls(self) -> list[ToolCall]:
        """The calls in the order they started (a new list)."""
        return list(self._calls)

    def executable(self) -> list[ToolCall]:
        """The calls that may run: see :attr:`ToolCall.executable`."""
        return [call for call in self._calls if call.executable]

    @property
    def content(self) -> Content | None:
        """The message's text as JSON, or None while no text has come."""
        return self._content

    @property
    def ended(self) -> bool:
        """Whether the response has ended, normally or not, or the stream was closed."""
        return self._ended

    @property
    def reason(self) -> str | None:
        """Why the response allows nothing to run: it has not ended, or it ended
        otherwise than normally. None after a normal end."""
        return self._why

    def __iter__(self) -> Iterator[ToolCall]:
        return iter(list(self._calls))

    def __len__(self) -> int:
        return len(self._calls)

    def __repr__(self) -> str:
        return f"ToolCalls(format={self.format!r}, calls={len(self._calls)}, finish_reason={self.finish_reason!r})"

    # --- feeding ---------------------------------------------------------------

    def feed(self, event: Any) -> ToolCall | Content | None:
        """Takes one event and returns the call or content it added to (None for
        other events). A malformed or out-of-order event raises ValueError (a
        wrong type, TypeError) and changes nothing that was collected."""
        # Reached only until the format is known: then the format's reader takes
        # this name on the instance, which saves a call on every delta.
        self._bind(self._detect(event))
        return self.feed(event)

    def close(self) -> None:
        """Ends the stream. Calls still open when the response did not end are
        decided now, and none of them runs: the stream stopped."""
        if self._closed:
            return
        self._closed = True
        self.feed = self._refuse  # type: ignore[method-assign]
        if not self._ended:
            self._finish(self.finish_reason, normal=False, why="the stream stopped before the response ended")

    def _refuse(self, event: Any) -> None:
        raise ValueError("feed() after close()")

    def _detect(self, event: Any) -> str:
        self._check_type(event)
        get = _reader(event)
        kind = get(event, "type")
        if get(event, "choices") is not None or get(event, "object") == "chat.completion.chunk" or kind == "chunk":
            return "openai-chat"
        if isinstance(kind, str) and kind.startswith("response."):
            return "openai-responses"
        if kind in ANTHROPIC_EVENTS and kind != "error":
            return "anthropic-messages"
        raise ValueError(f"expected {SHAPES}; got {_describe(event)}")

    def _bind(self, format: str) -> None:
        if self._choice and format != "openai-chat":
            raise ValueError(f"choice applies to openai-chat only, not {format}")
        self.format = format  # type: ignore[assignment]
        self.feed = {  # type: ignore[method-assign,assignment]
            "openai-chat": self._chat,
            "openai-responses": self._responses,
            "anthropic-messages": self._messages,
        }[format]

    def _slowly(self, read: Callable[[Any], Any], event: Any) -> ToolCall | Content | None:
        """Reads an event off the fast path, saying what was wrong with its shape."""
        try:
            return read(event)
        except _FragmentError:
            raise
        except (AttributeError, KeyError, IndexError, TypeError) as error:
            # A field of the wrong shape, deep in the event.
            raise ValueError(f"expected {EXPECTED[str(self.format)]}, got {_describe(event)}: {error}") from None

    @staticmethod
    def _check_type(event: Any) -> None:
        if event is None or isinstance(event, (str, bytes, bytearray, int, float, list, tuple)):
            raise TypeError(f"an event must be a dict or an SDK event object, not {type(event).__name__}")

    def _wrong(self, event: Any) -> ValueError:
        return ValueError(f"expected {EXPECTED[str(self.format)]}, got {_describe(event)}")

    # --- the response's end ------------------------------------------------------

    def _blocker(self) -> str | None:
        return self._why

    def _finish(self, finish_reason: Any, normal: bool, why: str | None) -> None:
        """Ends the response: every part still open ends with it."""
        self.finish_reason = finish_reason
        self._ended = True
        self._why = None if normal else why
        # No call takes a delta now: the fast paths find none, and the general
        # path says why.
        self._by_index.clear()
        self._by_item.clear()
        for call in self._calls:
            call._end(own=normal)
        if self._content is not None:
            self._content._end(own=normal)

    def _text(self, fragment: Any) -> Content:
        content = self._content
        if content is None:
            content = self._content = Content(self)
        content._add(fragment)
        return content

    def _new_call(self, index: Any, id: Any, name: Any, type: Any, item_id: Any = None) -> ToolCall:
        for field, value in (("id", id), ("name", name), ("type", type), ("item id", item_id)):
            if value is not None and not isinstance(value, str):
                raise ValueError(f"a tool call's {field} must be a string, not {value!r}")
        if not isinstance(index, int) or isinstance(index, bool):
            raise ValueError(f"a tool call's index must be an int, not {index!r}")
        call = ToolCall(self, index, id or None, name or None, type or None, item_id)
        self._calls.append(call)
        return call

    # --- OpenAI Chat Completions -------------------------------------------------

    def _chat(self, chunk: Any) -> ToolCall | Content | None:
        # The commonest chunks, from a dict or an SDK object: one argument fragment
        # of a started call, or a piece of text. Subscripts and attributes cost
        # less than the general path's look-ups; any other shape takes that path.
        call = piece = None
        try:
            if type(chunk) is dict:
                (choice,) = chunk["choices"]
                if choice["finish_reason"] is None and choice["index"] == self._choice:
                    delta = choice["delta"]
                    if "tool_calls" not in delta:
                        piece = delta["content"]
                    else:
                        (fragment,) = delta["tool_calls"]
                        function = fragment["function"]
                        if (
                            ("id" not in fragment or fragment["id"] is None)
                            and ("name" not in function or function["name"] is None)
                            and ("content" not in delta or not delta["content"])
                        ):
                            piece = function["arguments"]
                            call = self._by_index[fragment["index"]]
            else:
                (choice,) = chunk.choices
                if choice.finish_reason is None and choice.index == self._choice:
                    delta = choice.delta
                    fragments = delta.tool_calls
                    if fragments is None:
                        piece = delta.content
                    else:
                        (fragment,) = fragments
                        function = fragment.function
                        if fragment.id is None and function.name is None and not delta.content:
                            piece = function.arguments
                            call = self._by_index[fragment.index]
        except (AttributeError, KeyError, IndexError, TypeError, ValueError):
            call = piece = None
        if piece:
            if call is None:
                if not self._ended:
                    return self._text(piece)
                return self._slowly(self._chat_event, chunk)
            if call._opened and call._rest is None:  # _add, inlined on the fast path
                try:
                    call._feed(piece)
                except Exception as error:
                    call._refused(piece, error)
            else:
                call._add(piece)
            return call
        return self._slowly(self._chat_event, chunk)

    def _chat_event(self, chunk: Any) -> ToolCall | Content | None:
        get = _reader(chunk)
        choices = get(chunk, "choices")
        if choices is None:
            self._check_type(chunk)
            kind = get(chunk, "type")
            if kind == "chunk":  # the stream helper's wrapper of a chunk
                return self._chat(get(chunk, "chunk"))
            if get(chunk, "object") != "chat.completion.chunk" and not (
                isinstance(kind, str) and kind.startswith(("content.", "refusal.", "tool_calls.", "logprobs."))
            ):
                raise self._wrong(chunk)
            return None
        part: ToolCall | Content | None = None
        for choice in choices:
            if (get(choice, "index") or 0) != self._choice:
                continue
            delta = get(choice, "delta")
            if delta is not None:
                calls = get(delta, "tool_calls")
                text = get(delta, "content")
                if (calls or text) and self._ended:
                    raise ValueError("a Chat Completions delta after the choice's finish_reason")
                if calls:
                    for fragment in calls:
                        part = self._chat_call(fragment, get)
                if text:
                    part = self._text(text)
            finish_reason = get(choice, "finish_reason")
            if finish_reason is not None and not self._ended:
                normal = finish_reason in NORMAL_FINISH
                self._finish(finish_reason, normal, f"the response ended with finish_reason {finish_reason!r}")
        return part

    def _chat_call(self, fragment: Any, get: Callable[[Any, str], Any]) -> ToolCall:
        index = get(fragment, "index")
        id = get(fragment, "id")
        function = get(fragment, "function")
        call = self._by_index.get(index)
        if call is None or (id and call.id and id != call.id):
            # A new id at a used index is a new call: some providers number every
            # parallel call 0.
            name = get(function, "name") if function is not None else None
            if not id and not name:
                raise ValueError(
                    f"a tool call fragment for index {index!r} carries no id or name, and no call with that index has started"
                )
            call = self._new_call(index, id, name, get(fragment, "type"))
            self._by_index[index] = call
        elif call.id is None and id:
            call.id = id
        if function is not None:
            if call.name is None:
                name = get(function, "name")
                if name:
                    call.name = name
            arguments = get(function, "arguments")
            if arguments:
                call._add(arguments)
        return call

    # --- OpenAI Responses ----------------------------------------------------------

    def _responses(self, event: Any) -> ToolCall | Content | None:
        # The commonest event, from a dict or an SDK object: an argument fragment of
        # an added call.
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
        if call is not None and piece is not None:
            if call._opened and call._rest is None:  # _add, inlined on the fast path
                try:
                    call._feed(piece)
                except Exception as error:
                    call._refused(piece, error)
            else:
                call._add(piece)
            return call
        return self._slowly(self._responses_event, event)

    def _responses_event(self, event: Any) -> ToolCall | Content | None:
        get = _reader(event)
        kind = get(event, "type")
        if kind == "response.function_call_arguments.delta":
            call = self._response_call(event, get)
            delta = get(event, "delta")
            if delta:
                call._add(delta)
            return call
        if kind == "response.output_text.delta":
            self._open(event)
            delta = get(event, "delta")
            return self._text(delta) if delta else self._content
        if not isinstance(kind, str) or not (kind.startswith("response.") or kind == "error"):
            self._check_type(event)
            raise self._wrong(event)
        self._open(event)
        if kind == "response.output_item.added":
            item = get(event, "item")
            if get(item, "type") != "function_call":
                return None
            index = get(event, "output_index")
            item_id = get(item, "id")
            if item_id in self._by_item or index in self._by_index:
                raise ValueError(f"a second response.output_item.added for output index {index!r}")
            call = self._new_call(index, get(item, "call_id"), get(item, "name"), "function_call", item_id)
            self._by_index[index] = call
            if item_id is not None:
                self._by_item[item_id] = call
            arguments = get(item, "arguments")
            if arguments:
                call._add(arguments)
            return call
        if kind == "response.function_call_arguments.done":
            call = self._response_call(event, get)
            call._reconcile(get(event, "arguments"), kind)
            return call
        if kind == "response.output_item.done":
            item = get(event, "item")
            if get(item, "type") != "function_call":
                return None
            done = self._by_item.get(get(item, "id")) or self._by_index.get(get(event, "output_index"))
            if done is None:
                raise ValueError("response.output_item.done for a function call that was never added")
            call = done
            call._reconcile(get(item, "arguments"), kind)
            call._end(own=True, incomplete=get(item, "status") == "incomplete")
            return call
        if kind in RESPONSES_ENDS:
            self._response_end(kind, get(event, "response"), get)
        elif kind == "error":
            self._finish("error", False, f"the stream reported an error: {get(event, 'message') or get(event, 'code')}")
        return None

    def _open(self, event: Any) -> None:
        if self._ended:
            raise ValueError(f"a Responses event after the response ended: {_describe(event)}")

    def _response_call(self, event: Any, get: Callable[[Any, str], Any]) -> ToolCall:
        if self._ended:
            raise ValueError(f"a Responses event after the response ended: {_describe(event)}")
        item_id = get(event, "item_id")
        call = self._by_item.get(item_id)
        if call is None:
            call = self._by_index.get(get(event, "output_index"))
            if call is None or (item_id is not None and call.item_id is not None and call.item_id != item_id):
                raise ValueError(f"{get(event, 'type')} for item {item_id!r}, which no response.output_item.added opened")
        return call

    def _response_end(self, kind: str, response: Any, get: Callable[[Any, str], Any]) -> None:
        status = get(response, "status") if response is not None else None
        status = status or kind.removeprefix("response.")
        # The final response repeats every item: a call's arguments must match.
        texts = []
        for item in (get(response, "output") if response is not None else None) or ():
            kind_of_item = get(item, "type")
            if kind_of_item == "function_call":
                call = self._by_item.get(get(item, "id"))
                if call is not None:
                    call._reconcile(get(item, "arguments"), kind)
            elif kind_of_item == "message":
                for piece in get(item, "content") or ():
                    if get(piece, "type") == "output_text":
                        texts.append(get(piece, "text") or "")
        if texts and self._content is not None:
            self._content._reconcile("".join(texts), kind)
        why = f"the response ended with status {status!r}"
        details = get(response, "incomplete_details") or get(response, "error") if response is not None else None
        detail = (get(details, "reason") or get(details, "message")) if details is not None else None
        if detail:
            why += f" ({detail})"
        self._finish(status, kind == "response.completed" and status == "completed", why)

    # --- Anthropic Messages ----------------------------------------------------------

    def _messages(self, event: Any) -> ToolCall | Content | None:
        # The commonest event, from a dict or an SDK object: an argument fragment of
        # an open tool use block.
        call = piece = None
        try:
            if type(event) is dict:
                if event["type"] == "content_block_delta":
                    delta = event["delta"]
                    if delta["type"] == "input_json_delta":
                        call = self._by_index[event["index"]]
                        piece = delta["partial_json"]
            elif event.type == "content_block_delta":
                delta = event.delta
                if delta.type == "input_json_delta":
                    call = self._by_index[event.index]
                    piece = delta.partial_json
        except (AttributeError, KeyError, TypeError):
            call = None
        if type(call) is ToolCall and piece is not None:
            if call._opened and call._rest is None:  # _add, inlined on the fast path
                try:
                    call._feed(piece)
                except Exception as error:
                    call._refused(piece, error)
            else:
                call._add(piece)
            return call
        return self._slowly(self._messages_event, event)

    def _messages_event(self, event: Any) -> ToolCall | Content | None:
        get = _reader(event)
        kind = get(event, "type")
        if kind == "content_block_delta":
            index = get(event, "index")
            part = self._by_index.get(index)
            delta = get(event, "delta")
            delta_kind = get(delta, "type")
            if part is None or self._ended:
                self._unknown_block(kind, index)
            if delta_kind == "input_json_delta":
                if type(part) is not ToolCall:
                    raise ValueError(f"input_json_delta for content block {index!r}, which is not a tool use")
                fragment = get(delta, "partial_json")
                if fragment:
                    part._add(fragment)
                return part
            if delta_kind == "text_delta":
                if part is not _TEXT:
                    raise ValueError(f"text_delta for content block {index!r}, which is not text")
                fragment = get(delta, "text")
                return self._text(fragment) if fragment else self._content
            return None  # thinking, signatures, citations
        if kind not in ANTHROPIC_EVENTS:
            if kind in ANTHROPIC_HELPER_EVENTS:
                return None
            self._check_type(event)
            raise self._wrong(event)
        if self._ended and kind != "ping":
            raise ValueError(f"an Anthropic event after message_stop: {_describe(event)}")
        if kind == "content_block_start":
            return self._block_start(get(event, "index"), get(event, "content_block"), get)
        if kind == "content_block_stop":
            index = get(event, "index")
            part = self._by_index.pop(index, None)
            if part is None:
                self._unknown_block(kind, index)
            self._stopped.add(index)
            if type(part) is ToolCall:
                part._end(own=True)
            return None
        if kind == "message_delta":
            stop_reason = get(get(event, "delta"), "stop_reason")
            if stop_reason is not None:
                self.finish_reason = stop_reason
        elif kind == "message_stop":
            stop_reason = self.finish_reason
            why = (
                "the response ended without a stop_reason"
                if stop_reason is None
                else f"the response ended with stop_reason {stop_reason!r}"
            )
            self._finish(stop_reason, stop_reason in NORMAL_STOP, why)
        elif kind == "error":
            error = get(event, "error")
            detail = (get(error, "type") or get(error, "message")) if error is not None else None
            self._finish(self.finish_reason, False, f"the stream reported an error: {detail}")
        return None

    def _block_start(self, index: Any, block: Any, get: Callable[[Any, str], Any]) -> ToolCall | Content | None:
        if index in self._by_index or index in self._stopped:
            raise ValueError(f"a second content_block_start for index {index!r}")
        block_kind = get(block, "type")
        if isinstance(block_kind, str) and block_kind.endswith("tool_use"):
            call = self._new_call(index, get(block, "id"), get(block, "name"), block_kind)
            self._by_index[index] = call
            return call
        if block_kind == "text":
            self._by_index[index] = _TEXT
            text = get(block, "text")
            return self._text(text) if text else None
        # A block that carries no JSON for us (thinking, a server tool's result):
        # its deltas are ignored.
        self._by_index[index] = _IGNORED
        return None

    def _unknown_block(self, kind: str, index: Any) -> None:
        if self._ended:
            raise ValueError(f"{kind} after message_stop")
        if index in self._stopped:
            raise ValueError(f"{kind} for content block {index!r}, which has stopped")
        raise ValueError(f"{kind} for content block {index!r}, which no content_block_start opened")


# Stand for a text block (its text goes to the content) and for a block whose
# deltas are skipped.
_TEXT = object()
_IGNORED = object()
