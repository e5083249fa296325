"""Server-sent events from the bytes of an HTTP response body, split anywhere.

>>> from carrack.sse import Decoder
>>> decoder = Decoder()
>>> decoder.feed(b'event: ping\\r\\ndata: {"a"')
[]
>>> decoder.feed(b': 1}\\r\\n\\r\\ndata: [DONE]\\n\\n')
[Event(event='ping', data='{"a": 1}', id='', retry=None), Event(event='message', data='[DONE]', id='', retry=None)]

The event stream format's rules: lines end with CR, LF or CRLF (a CR at the end
of a chunk waits for the next one, which may start with its LF); ``data:``
lines are joined with LF; lines starting with ``:`` are comments; one space
after the colon is dropped; a blank line dispatches the event, unless it has
no data; the last event id stays until another replaces it; a byte-order mark
at the start is skipped; text is UTF-8, invalid bytes replaced. At the end of
the body an event that no blank line dispatched is dropped, as the rules and
the SDKs' decoders drop it.
"""

from __future__ import annotations

from typing import NamedTuple

__all__ = ["Decoder", "Event"]


class Event(NamedTuple):
    """One server-sent event: its type (``"message"`` when no ``event:`` line
    named it), its data, the last event id, and its ``retry`` time."""

    event: str
    data: str
    id: str
    retry: int | None


class Decoder:
    """Turns chunks of an event stream's bytes into events."""

    __slots__ = ("_pending", "_data", "_event", "_id", "_retry", "_started")

    def __init__(self) -> None:
        # The bytes of a line not yet ended.
        self._pending = b""
        self._data: list[str] = []
        self._event = ""
        self._id = ""
        self._retry: int | None = None
        self._started = False

    def feed(self, chunk: bytes | bytearray | memoryview | str) -> list[Event]:
        """The events that the chunk completes, in order."""
        if isinstance(chunk, str):
            chunk = chunk.encode("utf-8", "surrogatepass")
        elif not isinstance(chunk, bytes):
            if not isinstance(chunk, (bytearray, memoryview)):
                raise TypeError(f"a chunk must be bytes or str, not {type(chunk).__name__}")
            chunk = bytes(chunk)
        buffer = self._pending + chunk if self._pending else chunk
        if b"\r" in buffer:
            # A CR that ends the buffer may be the first half of a CRLF.
            held = buffer.endswith(b"\r")
            if held:
                buffer = buffer[:-1]
            buffer = buffer.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
            lines = buffer.split(b"\n")
            self._pending = lines.pop() + (b"\r" if held else b"")
        else:
            lines = buffer.split(b"\n")
            self._pending = lines.pop()
        return self._lines(lines) if lines else []

    def close(self) -> list[Event]:
        """Ends the body: a line that a last CR ended is read; an event that no
        blank line dispatched is dropped. The decoder can then start again."""
        events: list[Event] = []
        if self._pending.endswith(b"\r"):
            events = self._lines(self._pending[:-1].replace(b"\r\n", b"\n").replace(b"\r", b"\n").split(b"\n"))
        self.__init__()  # type: ignore[misc]
        return events

    def _lines(self, lines: list[bytes]) -> list[Event]:
        events: list[Event] = []
        data = self._data
        for raw in lines:
            if not raw:
                if data:
                    events.append(Event(self._event or "message", "\n".join(data), self._id, self._retry))
                    data.clear()
                self._event = ""
                self._retry = None
                continue
            line = raw.decode("utf-8", "replace")
            if not self._started:
                self._started = True
                if line.startswith("\ufeff"):
                    line = line[1:]
                    if not line:
                        continue
            if line[0] == ":":
                continue
            field, _, value = line.partition(":")
            if value[:1] == " ":
                value = value[1:]
            if field == "data":
                data.append(value)
            elif field == "event":
                self._event = value
            elif field == "id":
                if "\0" not in value:
                    self._id = value
            elif field == "retry":
                if value.isascii() and value.isdigit():
                    self._retry = int(value)
        return events
