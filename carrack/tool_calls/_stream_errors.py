"""What a carrack.Stream's refusals mean to the collector, in one place: the
stream says "not JSON", "closed" and "not text" with built-in exception types
today, and this is the only module that reads them."""

from __future__ import annotations

from typing import Any, Literal

from carrack._stream import Stream

Refusal = Literal["not json", "surrogate", "not utf-8", "closed", "not text"]


def refusal(error: BaseException) -> Refusal | None:
    """What a Stream.feed error says, or None for one the collector does not expect."""
    if isinstance(error, RuntimeError):
        return "not json"  # bytes left over after the value, or too deep
    if isinstance(error, UnicodeEncodeError):
        return "surrogate"
    if isinstance(error, UnicodeDecodeError):  # a ValueError, which is not "closed"
        return "not utf-8"
    if isinstance(error, ValueError):
        return "closed"
    if isinstance(error, TypeError):
        return "not text"
    return None


def close(stream: Stream) -> tuple[bool, Any]:
    """Closes the stream: (True, its value) when the text is one complete JSON
    value, else (False, None), also when the stream refused a chunk before."""
    try:
        return True, stream.close()
    except (ValueError, RuntimeError):
        return False, None


def partial(stream: Stream) -> Any:
    """What of the text is closed (see Stream.value), or None when the text is
    not JSON."""
    try:
        return stream.value(partial="closed")
    except ValueError:
        return None
