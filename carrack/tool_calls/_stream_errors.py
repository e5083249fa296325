"""What a carrack.Stream's refusals mean to the collector, in one place: the
stream names its own failures (the text rejected, nested too deep, closed),
and anything else it raises (the stream in use, memory) is no verdict on the
text and goes to the caller. This is the only module that reads them."""

from __future__ import annotations

import json

from typing import Any, Literal

from carrack._stream import NestingTooDeepError, RejectedTextError, Stream, StreamClosedError

Refusal = Literal["not json", "surrogate", "not utf-8", "closed", "not text"]


def refusal(error: BaseException) -> Refusal | None:
    """What a Stream.feed error says, or None for one the collector does not expect."""
    if isinstance(error, (RejectedTextError, NestingTooDeepError)):
        return "not json"  # bytes left over after the value, or too deep
    if isinstance(error, UnicodeEncodeError):
        return "surrogate"
    if isinstance(error, UnicodeDecodeError):
        return "not utf-8"
    if isinstance(error, StreamClosedError):
        return "closed"
    if isinstance(error, TypeError):
        return "not text"
    return None


def close(stream: Stream) -> tuple[bool, Any]:
    """Closes the stream: (True, its value) when the text is one complete JSON
    value, else (False, None), also when the stream refused a chunk before."""
    try:
        return True, stream.close()
    except (json.JSONDecodeError, RejectedTextError, NestingTooDeepError):
        return False, None
    except ValueError as error:  # an integer beyond the digit limit: not a value Python reads
        if type(error) is ValueError:
            return False, None
        raise


def partial(stream: Stream, policy: Literal["closed", "all"] = "closed") -> Any:
    """What of the text is closed (see Stream.value; or, with "all", its
    completion's value), or None when the text is not JSON."""
    try:
        return stream.value(partial=policy)
    except (json.JSONDecodeError, RejectedTextError, NestingTooDeepError):
        return None
    except ValueError as error:
        if type(error) is ValueError:  # an integer beyond the digit limit
            return None
        raise
