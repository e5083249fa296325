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

    __slots__ = ("_pending", "_held", "_data", "_event", "_id", "_retry", "_started", "_quiet")

    def __init__(self) -> None:
        self._reset()

    def _reset(self) -> None:
        # The bytes of a line not yet ended: what the last line end left, and the
        # chunks with no line end since, joined only when one comes, so that a long
        # line in small chunks costs its length, not its length times the chunks.
        self._pending = b""
        self._held: list[bytes] = []
        self._data: list[str] = []
        self._event = ""
        self._id = ""
        self._retry: int | None = None
        self._started = False
        # Whether the decoder is between events, with no bytes held: a chunk of
        # whole simple events can then be read at once.
        self._quiet = False

    def feed(self, chunk: bytes | bytearray | memoryview | str) -> list[Event]:
        """The events that the chunk completes, in order."""
        if isinstance(chunk, str):
            chunk = chunk.encode("utf-8", "surrogatepass")
        elif not isinstance(chunk, bytes):
            if not isinstance(chunk, (bytearray, memoryview)):
                raise TypeError(f"a chunk must be bytes or str, not {type(chunk).__name__}")
            chunk = bytes(chunk)
        if self._quiet and chunk.endswith(b"\n\n") and b"\r" not in chunk:
            events = self._simple(chunk.decode("utf-8", "replace"))
            if events is not None:
                return events
        if b"\n" not in chunk and b"\r" not in chunk and not self._pending.endswith(b"\r"):
            # No line ends here (and no CR before that this chunk could complete).
            if chunk:
                self._held.append(chunk)
                self._quiet = False
            return []
        if self._held:
            buffer = b"".join([self._pending, *self._held, chunk])
            self._held = []
        else:
            buffer = self._pending + chunk if self._pending else chunk
        if b"\r" in buffer:
            # A CR that ends the buffer may be the first half of a CRLF.
            held = buffer.endswith(b"\r")
            if held:
                buffer = buffer[:-1]
            buffer = buffer.replace(b"\r\n", b"\n").replace(b"\r", b"\n")
            cut = buffer.rfind(b"\n")
            self._pending = buffer[cut + 1 :] + (b"\r" if held else b"")
        else:
            cut = buffer.rfind(b"\n")
            self._pending = buffer[cut + 1 :]
        if cut < 0:
            self._quiet = False
            return []
        # Whole lines only: a line feed is never inside a UTF-8 character, so the
        # lines decode as one.
        events = self._lines(buffer[:cut].decode("utf-8", "replace").split("\n"))
        self._quiet = not self._pending and not self._data and not self._event and self._retry is None
        return events

    def data(self, chunk: bytes | bytearray | memoryview | str) -> list[str]:
        """The data of each event that the chunk completes: all that a reader of
        the events' JSON needs, without making the events."""
        if self._quiet and type(chunk) is bytes and chunk[-2:] == b"\n\n" and b"\r" not in chunk:
            text = chunk.decode("utf-8", "replace")
            found = []
            at = 0
            end = len(text)
            while at < end:
                if text.startswith("event:", at):
                    at = text.find("\n", at) + 1
                if not text.startswith("data:", at):
                    break
                line = text.find("\n", at)
                if text[line + 1 : line + 2] != "\n":
                    break
                found.append(text[at + 6 : line] if text[at + 5 : at + 6] == " " else text[at + 5 : line])
                at = line + 2
            else:
                return found
        return [event.data for event in self.feed(chunk)]

    def close(self) -> list[Event]:
        """Ends the body: a line that a last CR ended is read; an event that no
        blank line dispatched is dropped. The decoder can then start again."""
        events: list[Event] = []
        if self._pending.endswith(b"\r"):
            events = self.feed(b"\n")
        self._reset()
        return events

    def _simple(self, text: str) -> list[Event] | None:
        """The events of a chunk made of whole simple events only (an optional
        event line, one data line, a blank line), found with str.find; else None."""
        events: list[Event] = []
        at = 0
        end = len(text)
        id = self._id
        while at < end:
            name = "message"
            if text.startswith("event:", at):
                line = text.find("\n", at)
                name = text[at + 6 : line]
                if name[:1] == " ":
                    name = name[1:]
                name = name or "message"
                at = line + 1
            if not text.startswith("data:", at):
                return None
            line = text.find("\n", at)
            if text[line + 1 : line + 2] != "\n":
                return None
            data = text[at + 5 : line]
            events.append(Event(name, data[1:] if data[:1] == " " else data, id, None))
            at = line + 2
        return events

    def _lines(self, lines: list[str]) -> list[Event]:
        events: list[Event] = []
        data = self._data
        if not self._started:
            self._started = True
            if lines[0].startswith("\ufeff"):
                lines[0] = lines[0][1:]
        for line in lines:
            if not line:
                if data:
                    events.append(Event(self._event or "message", "\n".join(data), self._id, self._retry))
                    data.clear()
                self._event = ""
                self._retry = None
            elif line.startswith("data:"):
                data.append(line[6:] if line[5:6] == " " else line[5:])
            elif line[0] != ":":
                field, _, value = line.partition(":")
                if value[:1] == " ":
                    value = value[1:]
                if field == "event":
                    self._event = value
                elif field == "id":
                    if "\0" not in value:
                        self._id = value
                elif field == "retry":
                    if value.isascii() and value.isdigit():
                        self._retry = int(value)
                elif field == "data":
                    data.append(value)
        return events
