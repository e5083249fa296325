from collections.abc import Callable, Iterable
from types import EllipsisType
from typing import Any, Final, Literal, TypeAlias, final

@final
class AnyStep:
    """The type of ANY."""

ANY: Final[AnyStep]
"""Stands for any key or index in a path."""

_Step: TypeAlias = str | int | AnyStep
_Path: TypeAlias = tuple[_Step, ...]

@final
class Event(tuple[str, tuple[str | int, ...], Any]):
    """What became of the value at path: it started, its string grew, it ended,
    or (raw) more of its source text was read."""

    __match_args__ = ("kind", "path", "value")
    def __new__(cls, kind: str, path: tuple[str | int, ...], value: Any) -> Event: ...
    @property
    def kind(self) -> Literal["start", "append", "end", "raw"]: ...
    @property
    def path(self) -> tuple[str | int, ...]: ...
    @property
    def value(self) -> Any: ...

class RejectedTextError(RuntimeError):
    """The text is not the beginning of any JSON value."""

class NestingTooDeepError(RecursionError):
    """Arrays and objects nest deeper than the stream serves."""

class StreamInUseError(RuntimeError):
    """A call on a stream was made while another call on it was under way."""

class StreamClosedError(ValueError):
    """feed() after close()."""

@final
class Stream:
    """A JSON text completed as it grows, walking each chunk once.

    multiple_values=True reads a sequence of values (paths begin with the
    value's ordinal; value() and close() give a list); stop_at_end=True holds
    one value within other text, and feed() then says how much of each chunk
    it took; raw chooses paths whose values' source text events() hands out.
    values=False reads arrays and objects without building them, for a
    caller that wants only events: their 'end' events carry None, close()
    returns None, and value() and items() raise TypeError."""

    def __new__(
        cls,
        *,
        select: Iterable[tuple[_Step | EllipsisType, ...]] | None = None,
        multiple_values: bool = False,
        stop_at_end: bool = False,
        raw: Iterable[tuple[_Step | EllipsisType, ...]] | None = None,
        values: bool = True,
    ) -> Stream: ...
    def feed(self, chunk: str | bytes | bytearray | memoryview, /) -> int | None:
        """Append chunk to the text: a str, or UTF-8 bytes split anywhere (a
        character cut at the end waits for the next chunk). Raises
        RejectedTextError when bytes are left over after the value
        (NestingTooDeepError beyond 1,000,000 levels); from then on feed,
        suffix and completion() raise the same again. A chunk holding a lone
        surrogate raises UnicodeEncodeError, invalid UTF-8
        UnicodeDecodeError, a shortage of memory MemoryError; each changes
        nothing, so the chunk may be fed again. With stop_at_end, returns how
        many of the chunk's characters (str) or bytes (bytes-like, counting
        the start of a character cut at the end when it is taken) belong to
        the value; chunk[n:] is the caller's. Otherwise returns None. The
        end is where the completer finds it, and it reads more than JSON
        ('[x' ends after its 'x'): check value() or close(), which raise
        json.JSONDecodeError for a value that is not JSON."""
    @property
    def text(self) -> str:
        """Everything fed so far."""
    @property
    def suffix(self) -> str:
        """What carrack(text) appends to the text."""
    def completion(self) -> str:
        """carrack(text), without walking the text again."""
    def value(self, partial: Literal["all", "strings", "closed"] = "all") -> Any:
        """The Python value of the text so far, costing what was fed since the
        last call plus what is still open. "all" gives
        json.loads(completion(), strict=False); "strings" leaves out open numbers,
        literals and unfinished members, keeping an open string up to its last
        whole character; "closed" also leaves out open strings. The lists and
        dicts still open in a result belong to the caller; closed values are
        shared between results (copy them before changing them). Raises
        json.JSONDecodeError for text that is not JSON."""
    @property
    def path(self) -> tuple[str | int, ...]:
        """Keys and indices from the root to the value being written."""
    @property
    def done(self) -> bool:
        """Whether the root value has ended (a number at the root: once
        whitespace follows it, or close() returned it); with multiple_values,
        whether no value is open."""
    def events(self) -> list[Event]:
        """The events since the last call, in the order of the text: 'start'
        when an object, array or string begins, 'append' when a string grew,
        'end' when a value is final. Only selected paths give events. Paths
        matched by raw also give 'raw' events: the value's source text as it
        is read, from its first character to its last, whitespace inside kept."""
    def items(self, path: _Path, /) -> list[Any]:
        """The members of the array (its elements) or object ((key, value)
        pairs) at path that became final since the last call with path. A
        string, a scalar or a path the text never reaches has none."""
    def close(self) -> Any:
        """End the stream: json.loads(text, strict=False), after which feed
        raises StreamClosedError. Raises json.JSONDecodeError unless the text
        is exactly one complete value, and then changes nothing."""

@final
class _LearnedDelta:
    """Reads a chunk of SSE bytes that is one event of the learned shape; gives
    any other to the fallback. The collector's SSE reader's, private."""

    def __new__(cls, fallback: Callable[[Any], list[Any]], /) -> _LearnedDelta: ...
    def __call__(self, chunk: Any) -> list[Any]: ...
    def learn(self, shape: tuple[bytes, bytes, bytes | None, Any, Any, Any] | None, /) -> None: ...
    @property
    def __wrapped__(self) -> Callable[[Any], list[Any]]: ...
