"""The layers above Stream tell its failures apart: only a rejected or too
deep text is "not JSON"; a stream in use, or memory running out, says nothing
of the text and reaches the caller."""

import json

import pytest

import carrack
from carrack.tool_calls import _stream_errors


class Raising:
    """Stands for a Stream whose every call raises error."""

    def __init__(self, error: BaseException):
        self.error = error

    def close(self):
        raise self.error

    def value(self, partial="all"):
        raise self.error


DECODE = json.JSONDecodeError("Expecting value", "[", 1)


@pytest.mark.parametrize(
    ("error", "refusal", "verdict"),
    [
        (carrack.RejectedTextError("Given prefix is not from a valid JSON string!"), "not json", "no value"),
        (carrack.NestingTooDeepError("too deep"), "not json", "no value"),
        (carrack.StreamClosedError("feed() after close()"), "closed", "raises"),
        (DECODE, None, "no value"),
        (ValueError("Exceeds the limit for integer string conversion"), None, "no value"),
        (carrack.StreamInUseError("Stream is in use"), None, "raises"),
        (RuntimeError("something else"), None, "raises"),
        (MemoryError(), None, "raises"),
    ],
    ids=["rejected", "too deep", "closed", "decode", "digits", "in use", "other runtime", "memory"],
)
def test_tool_calls_read_each_failure(error, refusal, verdict):
    assert _stream_errors.refusal(error) == refusal
    stream = Raising(error)
    if verdict == "raises":
        with pytest.raises(type(error)):
            _stream_errors.close(stream)
        with pytest.raises(type(error)):
            _stream_errors.partial(stream)
    else:
        assert _stream_errors.close(stream) == (False, None)
        assert _stream_errors.partial(stream) is None


@pytest.mark.parametrize(
    ("error", "call", "about_the_text"),
    [
        (carrack.RejectedTextError("x"), "feed", True),
        (carrack.NestingTooDeepError("x"), "events", True),
        (DECODE, "events", True),
        (DECODE, "close", True),
        (ValueError("Exceeds the limit"), "events", True),
        (carrack.StreamClosedError("feed() after close()"), "events", False),
        (carrack.StreamInUseError("in use"), "feed", False),
        (RuntimeError("other"), "feed", False),
        (MemoryError(), "close", False),
        (TypeError("not text"), "feed", False),
    ],
)
def test_typed_streams_read_each_failure(error, call, about_the_text):
    typed = pytest.importorskip("carrack.typed")
    if about_the_text:
        assert typed.about_the_text(error, call) is error
    else:
        with pytest.raises(type(error)):
            typed.about_the_text(error, call)
