"""A tool call and the message text: text fed fragment by fragment into a
Stream, whose state is decided once, when it ends."""

from __future__ import annotations

import json
from typing import TYPE_CHECKING, Any, Literal

from carrack._stream import Stream
from carrack.tool_calls import _stream_errors
from carrack.tool_calls._vocabulary import FragmentError, as_text

if TYPE_CHECKING:
    from carrack.tool_calls._collector import ToolCalls

State = Literal["streaming", "complete", "truncated", "malformed", "text"]

WHITESPACE = " \t\n\r"
# What a JSON text that is not an object starts with, for saying what it is.
KINDS = {"[": "an array", '"': "a string", "t": "a boolean", "f": "a boolean", "n": "null"}
KINDS.update(dict.fromkeys("-0123456789", "a number"))


class _Part:
    """Text that should be one JSON value, fed fragment by fragment into a Stream;
    what it came to is decided once, when it ends."""

    __slots__ = ("_stream", "_feed", "_opened", "_rest", "_state", "_problem", "_parsed", "_ended", "_owner")
    _noun, _is = "text", "is"
    # The state of text that is not what the part expects.
    _bad: State = "malformed"

    def __init__(self, owner: ToolCalls) -> None:
        self._stream = Stream()
        self._feed = self._stream.feed
        # Whether the first character has been seen (arguments must open an object).
        self._opened = False
        # Fragments after the stream refused one: kept so that the text stays whole.
        self._rest: list[Any] | None = None
        self._state: State = "streaming"
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
        return self._state

    @property
    def text(self) -> str:
        """Everything received, even what came after the stream refused the text."""
        text = self._stream.text
        if self._rest:
            text += "".join(as_text(piece) for piece in self._rest)
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
        kind = _stream_errors.refusal(error)
        if kind == "not json":
            # json says where, once.
            self._rest = []
            problem: Exception = error
            try:
                json.loads(self._stream.text, strict=False)
            except (json.JSONDecodeError, RecursionError) as where:
                problem = where
            self._fail(f"the {self._noun} {self._is} not JSON: {problem}")
        elif kind == "surrogate":
            self._rest = [fragment]
            self._fail(f"a lone surrogate in the {self._noun}, which is not text")
        elif kind == "not utf-8":
            self._rest = [fragment]
            self._fail(f"bytes in the {self._noun} that are not UTF-8")
        elif kind == "closed":
            raise ValueError(f"a fragment of {self._noun} after the end") from None
        elif kind == "not text":
            raise FragmentError(
                f"a fragment of {self._noun} must be str (or UTF-8 bytes), not {type(fragment).__name__}"
            ) from None
        else:
            raise error

    def _fail(self, problem: str) -> None:
        if self._state != self._bad:
            self._state = self._bad
            self._problem = problem
            self._parsed = None

    def _reconcile(self, whole: Any, where: str) -> None:
        """Checks the whole text that an end event repeats against the fragments,
        taking in a tail that the fragments lacked."""
        if not isinstance(whole, str) or self._rest is not None:
            return
        have = self.text
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
        closed, value = _stream_errors.close(self._stream)
        if self._state == self._bad:
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

    __slots__ = ("index", "id", "name", "type", "item_id", "arguments", "_client", "_raw")
    _noun, _is = "arguments", "are"

    def __init__(
        self,
        owner: ToolCalls,
        index: int,
        id: str | None,
        name: str | None,
        type: str | None,
        item_id: str | None = None,
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
        #: ``"custom_tool_call"``, ``"tool_use"``, or a server tool's kind such as
        #: ``"server_tool_use"``.
        self.type = type
        #: The Responses output item's id (``fc_…``), which is not the call id.
        self.item_id = item_id
        #: The arguments as a :class:`carrack.Stream`: ``value()``, ``path`` and
        #: ``done`` work while they stream. The collector closes it when the call
        #: ends. (An attribute, not a property: it is read after every delta.)
        self.arguments: Stream = self._stream
        # Anthropic's server tools (server_tool_use, mcp_tool_use) are run by the provider.
        self._client = type is None or not type.endswith("tool_use") or type == "tool_use"
        # A custom tool's input as received: free text, which the arguments
        # stream holds as one JSON string.
        self._raw: list[str] | None = None
        if type == "custom_tool_call":
            self._raw = []
            self._opened = True
            self._stream.feed('"')
            self._feed = self._feed_raw

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

    @property
    def text(self) -> str:
        """Everything received, even what came after the stream refused the text;
        a custom tool's input as sent."""
        if self._raw is not None:
            text = "".join(self._raw)
            if self._rest:  # what came after the stream refused a fragment
                text += "".join(as_text(piece) for piece in self._rest)
            return text
        return super().text

    def _feed_raw(self, fragment: Any) -> None:
        """A custom tool's input: free text, kept as sent and streamed as a JSON string."""
        text = as_text(fragment)
        if self._ended:
            raise ValueError("closed")
        text.encode("utf-8")  # a lone surrogate raises here, before anything is kept
        assert self._raw is not None
        self._raw.append(text)
        self._stream.feed(json.dumps(text, ensure_ascii=False)[1:-1])

    def _end(self, own: bool, incomplete: bool = False) -> None:
        if self._raw is not None and not self._ended and self._rest is None:
            self._stream.feed('"')
        _Part._end(self, own, incomplete)

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
        if isinstance(value, dict) or (self._raw is not None and isinstance(value, str)):
            _Part._accept(self, value)
        else:
            self._fail(f"the arguments are {KINDS[self._stream.text.lstrip(WHITESPACE)[0]]}, not an object")

    def __repr__(self) -> str:
        return (
            f"ToolCall(index={self.index!r}, id={self.id!r}, name={self.name!r}, state={self._state!r}, "
            f"executable={self.executable!r})"
        )


class Content(_Part):
    """The message's text: one JSON value of any kind for JSON mode or a JSON
    schema response format, final only when the response ended normally; a
    reply in words is in state ``"text"``."""

    __slots__ = ()
    _bad: State = "text"

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
