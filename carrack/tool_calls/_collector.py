"""The collector: takes events (dicts, SDK objects, SSE bytes; from a loop or
an async loop), has the format's reader read each into steps, and applies them."""

from __future__ import annotations

from collections.abc import AsyncIterable, AsyncIterator, Iterable, Iterator
from types import ModuleType
from typing import Any, Literal, cast

from carrack._stream import StreamInUseError
from carrack.tool_calls import chat, messages, responses
from carrack.tool_calls._parts import Content, ToolCall
from carrack.tool_calls._sse_reader import SSEReader
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
    FragmentError,
    Step,
    copy_json,
    describe,
    reader,
)

Format = Literal["openai-chat", "openai-responses", "anthropic-messages"]

# One module per format: its claims(), EXPECTED and Reader. A new format is a new
# module added here.
READERS: dict[str, ModuleType] = {module.FORMAT: module for module in (chat, responses, messages)}
FORMATS: tuple[str, ...] = tuple(READERS)
SHAPES = (
    "an OpenAI Chat Completions chunk (with 'choices'), an OpenAI Responses event "
    "(type 'response.…') or an Anthropic Messages event (type 'message_start', "
    "'content_block_delta', …)"
)
BYTES = (bytes, bytearray, memoryview)

class ToolCalls:
    """Collects the tool calls of one streamed response, event by event.

    ``format`` is one of ``"openai-chat"``, ``"openai-responses"`` and
    ``"anthropic-messages"``, or None to take it from the first event.
    ``choice`` picks the Chat Completions choice to collect when ``n`` > 1.
    ``empty_as_object`` reads arguments that are empty (``""``) as ``{}``; by
    default they are malformed.
    """

    def __init__(self, format: Format | None = None, *, choice: int = 0, empty_as_object: bool = False) -> None:
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
        self._content: Content | None = None
        self._refusal: list[str] = []
        self._reader: Any = None
        self._sse: SSEReader | None = None
        # Whether the last feed took the general path: SSE reading learns only
        # from deltas that the fast path took.
        self._slow = False
        # Whether an event is being read (off the fast path): feed() refuses re-entry then.
        self._reading = False
        #: The provider's word for how the response ended: the ``finish_reason``,
        #: the Responses status or the ``stop_reason``; None before the end.
        self.finish_reason: str | None = None
        #: The response's id (``chatcmpl-…``, ``resp_…``, ``msg_…``): the
        #: Responses id is what ``previous_response_id`` takes.
        self.id: str | None = None
        #: Event types the provider sent that the collector does not know, with
        #: how often: passed over, since providers add event types often.
        self.skipped: dict[str, int] = {}
        self._ended = False
        self._why: str | None = "the response has not ended"
        self._closed = False
        if format is not None:
            self._bind(format)

    @classmethod
    def collect(cls, events: Iterable[Any], format: Format | None = None, **options: Any) -> ToolCalls:
        """Feeds every event (or every chunk of SSE bytes), then closes: the
        collector of a whole stream."""
        if not hasattr(events, "__iter__") and hasattr(events, "__aiter__"):
            raise TypeError("an async iterable: use await ToolCalls.acollect(events)")
        collector = cls(format, **options)
        for _ in collector.updates(events):
            pass
        return collector

    @classmethod
    async def acollect(cls, events: AsyncIterable[Any], format: Format | None = None, **options: Any) -> ToolCalls:
        """:meth:`collect` for an async iterable: an ``AsyncOpenAI`` or
        ``AsyncAnthropic`` stream, or an HTTP body's ``aiter_bytes()``."""
        collector = cls(format, **options)
        async for _ in collector.aupdates(events):
            pass
        return collector

    def updates(self, events: Iterable[Any]) -> Iterator[ToolCall | Content]:
        """Feeds every event (chunks of bytes go to :meth:`feed_sse`) and yields
        the call or content each one changed; closes when the events end."""
        for event in events:
            if isinstance(event, BYTES):
                yield from self.feed_sse(event)
            else:
                part = self.feed(event)
                if part is not None:
                    yield part
        self.close()

    async def aupdates(self, events: AsyncIterable[Any]) -> AsyncIterator[ToolCall | Content]:
        """:meth:`updates` for an async iterable: ``async for call in
        calls.aupdates(stream)``."""
        if not hasattr(events, "__aiter__") and hasattr(events, "__iter__"):
            raise TypeError("a plain iterable: use ToolCalls.collect(events) or calls.updates(events)")
        async for event in events:
            if isinstance(event, BYTES):
                for part in self.feed_sse(event):
                    yield part
            else:
                changed = self.feed(event)
                if changed is not None:
                    yield changed
        self.close()

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
    def refusal(self) -> str | None:
        """The model's refusal (Chat Completions ``refusal``, Responses refusal
        parts), or None: a response with one runs nothing."""
        return "".join(self._refusal) if self._refusal else None

    @property
    def ended(self) -> bool:
        """Whether the response has ended, normally or not, or the stream was closed."""
        return self._ended

    @property
    def reason(self) -> str | None:
        """Why the response allows nothing to run: it has not ended, or it ended
        otherwise than normally. None after a normal end."""
        return self._why

    def message(self) -> dict[str, Any]:
        """What the application sends back for its next request, in the
        provider's own request format: for Chat Completions, the assistant
        message (``role``, ``content``, ``refusal``, ``tool_calls``); for
        Responses, ``{"id": ..., "output": [items]}``, the response id and the
        output items; for Messages, the assistant message with its content
        blocks. Built from what was collected, nothing parsed again."""
        if self._reader is None:
            raise ValueError("no event yet: the format is not known")
        # Its own copy: the caller edits its history, and a call's parsed value is shared.
        message: dict[str, Any] = copy_json(self._reader.message())
        return message

    def __iter__(self) -> Iterator[ToolCall]:
        return iter(list(self._calls))

    def __len__(self) -> int:
        return len(self._calls)

    def __repr__(self) -> str:
        return f"ToolCalls(format={self.format!r}, calls={len(self._calls)}, finish_reason={self.finish_reason!r})"

    # --- feeding ---------------------------------------------------------------

    def feed(self, event: Any) -> ToolCall | Content | None:
        """Takes one event and returns the call or content it changed (None for
        other events). A malformed or out-of-order event raises ValueError (a
        wrong type, TypeError) and changes nothing that was collected."""
        # Reached only until the format is known: then the format's reader takes
        # this name on the instance, which saves a call on every delta; but not
        # where a subclass has its own feed, which must see every event.
        if self._closed:
            raise ValueError("feed() after close()")
        if self._reader is None:
            self._bind(self._detect(event))
        return cast("ToolCall | Content | None", self._reader.feed(event))

    def feed_sse(self, chunk: bytes | bytearray | memoryview | str) -> list[ToolCall | Content]:
        """Takes a piece of an HTTP response body of server-sent events, split
        anywhere (inside a line, inside a UTF-8 character), and feeds each event
        it completes; returns the calls and content those changed. ``data:
        [DONE]`` and events without data are passed over. Each event is fed
        atomically; an event that raises leaves those before it applied, and
        those after it in the chunk are fed first by the next call (or close())."""
        if self._closed:
            raise ValueError("feed() after close()")
        reader = self._sse
        if reader is None:
            reader = self._sse = SSEReader(self)
            if reader.native is not None and type(self).feed_sse is not ToolCalls.feed_sse:
                # A subclass's own feed_sse must see every chunk: the name stays its.
                reader.native = None
            elif reader.native is not None:
                # The native reader of the learned delta takes this name on the
                # instance, as the format's reader takes feed's; it falls back to
                # _feed_sse, this method.
                self.feed_sse = reader.native  # type: ignore[method-assign]
        return reader.feed(chunk)

    _feed_sse = feed_sse

    def close(self) -> None:
        """Ends the stream. Calls still open when the response did not end are
        decided now, and none of them runs: the stream stopped."""
        if self._closed:
            return
        if self._sse is not None:
            self._sse.close()
        self._closed = True
        # feed is rebound on purpose, to skip a dispatch on every event.
        if type(self).feed is ToolCalls.feed:
            self.feed = self._refuse  # type: ignore[method-assign]
        if not self._ended:
            self._finish(self.finish_reason, normal=False, why="the stream stopped before the response ended")

    def _refuse(self, event: Any) -> None:
        raise ValueError("feed() after close()")

    def _detect(self, event: Any) -> str:
        self._check_type(event)
        get = reader(event)
        for format, module in READERS.items():
            if module.claims(event, get):
                return format
        raise ValueError(f"expected {SHAPES}; got {describe(event)}")

    def _bind(self, format: str) -> None:
        if self._choice and format != "openai-chat":
            raise ValueError(f"choice applies to openai-chat only, not {format}")
        self.format = cast(Format, format)
        self._reader = READERS[format].Reader(self, self._choice)
        if type(self).feed is ToolCalls.feed:
            self.feed = self._reader.feed  # type: ignore[method-assign]  # rebound as above

    def _slowly(self, event: Any) -> ToolCall | Content | None:
        """Reads an event off the fast path, whole, then applies it."""
        self._slow = True
        if self._reading:
            # Code that reading the event ran (an SDK object's property, a __del__)
            # fed this collector: the steps read so far would be applied on top of
            # what that feed changed.
            raise StreamInUseError("ToolCalls is in use: feed() called while an event is being read")
        self._reading = True
        try:
            steps = self._reader.read(event)
        except FragmentError:
            raise
        except (AttributeError, KeyError, IndexError, TypeError) as error:
            # A field of the wrong shape, deep in the event.
            self._check_type(event)
            raise ValueError(f"expected {self._expected()}, got {describe(event)}: {error}") from None
        finally:
            self._reading = False
        return self._apply(steps)

    def _apply(self, steps: list[Step]) -> ToolCall | Content | None:
        part: ToolCall | Content | None = None
        for step in steps:
            code = step[0]
            if code == ARGS:
                part = step[1]
                step[1]._add(step[2])
            elif code == TEXT:
                part = self._text(step[1])
            elif code == PART:
                step[1](step[2])
            elif code == START:
                part = call = step[1]
                self._calls.append(call)
                if self._sse is not None:
                    # The call may take the index that a learned delta names.
                    self._sse.forget()
                if step[2] is not None:
                    step[2](call)
            elif code == END:
                part = step[1]
                step[1]._end(own=True, incomplete=step[2])
            elif code == WHOLE:
                part = step[1]
                step[1]._reconcile(step[2], step[3])
            elif code == REFUSAL:
                self._refusal.append(step[1])
            elif code == FINISH:
                self._finish(step[1], step[2], step[3])
            elif code == SKIP:
                self.skipped[step[1]] = self.skipped.get(step[1], 0) + 1
        return part

    @staticmethod
    def _check_type(event: Any) -> None:
        if event is None or isinstance(event, (str, bytes, bytearray, int, float, list, tuple)):
            hint = ": the bytes of an SSE body go to feed_sse()" if isinstance(event, (str, bytes, bytearray)) else ""
            raise TypeError(f"an event must be a dict or an SDK event object, not {type(event).__name__}{hint}")

    @staticmethod
    def _describe(event: Any) -> str:
        return describe(event)

    def _expected(self) -> str:
        return str(READERS[str(self.format)].EXPECTED)

    def _wrong(self, event: Any) -> ValueError:
        return ValueError(f"expected {self._expected()}, got {describe(event)}")

    # --- the response's end ------------------------------------------------------

    def _blocker(self) -> str | None:
        return self._why

    def _set_id(self, id: str) -> None:
        if not self.id:  # the first id that says something: Azure's first chunk has id ""
            self.id = id

    def _finish(self, finish_reason: Any, normal: bool, why: str | None) -> None:
        """Ends the response: every part still open ends with it."""
        self.finish_reason = finish_reason
        self._ended = True
        if self._refusal and normal:
            normal, why = False, f"the model refused: {''.join(self._refusal)}"
        self._why = None if normal else why
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
