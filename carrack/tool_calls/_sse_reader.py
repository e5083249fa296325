"""The bytes of an HTTP body of server-sent events, fed to a collector.

Each event's data is JSON, parsed and fed as a dict; but once the format's fast
path has taken a delta, the text around its fragment is kept, and a later event
that is the same text around another fragment (a sequence number or OpenAI's
``obfuscation`` padding aside) is the same delta: its fragment is read with
json's own string scanner and fed, and the event is neither built nor parsed.
A chunk that is one whole such event is read before any of that, in one
native call (carrack._stream._LearnedDelta), which the collector's feed_sse is
on the instance; any other chunk comes here.
"""

from __future__ import annotations

import json
import json.decoder
import re
from typing import TYPE_CHECKING, Any, Callable

from carrack._stream import _LearnedDelta
from carrack.sse import Decoder
from carrack.tool_calls._parts import Content, ToolCall

if TYPE_CHECKING:
    from carrack.tool_calls._collector import ToolCalls

# Members that only number or pad an event (Responses' sequence_number, the
# obfuscation OpenAI adds to stream events): they tell the collector nothing.
# Only what json.loads reads: JSON's whitespace (no line breaks inside a data
# line), numbers without leading zeros or other digits than ASCII's, strings
# without control characters, ints of no more digits than it reads whatever
# the interpreter's int digit limit (which may be set no lower than 640).
PADDING = re.compile(
    r'(?:,[ \t]*"(?:sequence_number|obfuscation)"[ \t]*:[ \t]*(?:-?(?:0|[1-9][0-9]{0,639})|"[^"\\\x00-\x1f]*"))+[ \t]*}[ \t]*\Z'
)
MAX_DIGITS = 640
# json's own (C) reader of a string literal: (its value, the index after it).
scanstring: Callable[[str, int], tuple[str, int]] = getattr(json.decoder, "scanstring")
# The learned delta: the data before its fragment's literal (with the opening
# quote), after it, after it less its padding, the part it fed, and after it
# with the blank line that ends the event in a chunk.
Learned = tuple[str, str, "str | None", "ToolCall | Content", str]
# What an event changed when it changed nothing.
NOTHING: Any = object()
# Whether chunks go to the native reader first: off only to test it against this one.
NATIVE = True


class SSEReader:
    __slots__ = ("_owner", "_decoder", "_learned", "_backlog", "native", "_shape")

    def __init__(self, owner: ToolCalls) -> None:
        self._owner = owner
        self._decoder = Decoder()
        self._learned: Learned | None = None
        # The data of events that a chunk completed after one that raised: fed
        # first by the next call, so that a caller who goes on loses none.
        self._backlog: list[str] = []
        #: The native reader of the learned delta, whose fallback is the owner's
        #: feed_sse (this reader's feed); None when it is switched off.
        self.native = _LearnedDelta(owner._feed_sse) if NATIVE else None
        # The learned delta as the native reader takes it: (before, after, fixed)
        # as UTF-8, the part, its feed and the owner.
        self._shape: tuple[bytes, bytes, bytes | None, ToolCall | Content, Any, ToolCalls] | None = None

    def feed(self, chunk: bytes | bytearray | memoryview | str) -> list[ToolCall | Content]:
        """Feeds each event the chunk completes; the parts they changed. The
        native reader reads only while the decoder holds nothing between events
        and no backlog waits: it is told so after every chunk read here."""
        native = self.native
        if native is None:
            return self._read(chunk)
        native.learn(None)
        try:
            return self._read(chunk)
        finally:
            if self._shape is not None and self._decoder._quiet and not self._backlog:
                native.learn(self._shape)

    def _read(self, chunk: bytes | bytearray | memoryview | str) -> list[ToolCall | Content]:
        learned = self._learned
        decoder = self._decoder
        if self._backlog:
            backlog, self._backlog = self._backlog, []
            return self._feed_data(backlog + decoder.data(chunk))
        if learned is not None and decoder._quiet and type(chunk) is bytes and b"\r" not in chunk:
            # The commonest chunk: one whole event, the learned delta around another
            # fragment. Read here, with no event made and no JSON parsed.
            text = chunk.decode("utf-8", "replace")
            at = text.find("\n") + 1 if text.startswith("event:") else 0
            if text.startswith("data:", at) and text.find("\n", at) == len(text) - 2 and text.endswith("\n\n"):
                at += 6 if text.startswith(" ", at + 5) else 5
                if text.startswith(learned[0], at):
                    part = self._delta(text, at, learned, 2)
                    if part is not None:
                        return [] if part is NOTHING else [part]
        return self._feed_data(decoder.data(chunk))

    def forget(self) -> None:
        """Forgets the learned delta: its part may no longer be the one its
        text names (a call started at the same index)."""
        self._learned = None
        self._shape = None
        if self.native is not None:
            self.native.learn(None)

    def close(self) -> None:
        """The body ended: a line that its last CR ended is read, and an event
        it completes fed."""
        if self.native is not None:
            self.native.learn(None)
        backlog, self._backlog = self._backlog, []
        self._feed_data(backlog + [event.data for event in self._decoder.close()])

    def _feed_data(self, datas: list[str]) -> list[ToolCall | Content]:
        changed: list[ToolCall | Content] = []
        for at, data in enumerate(datas):
            try:
                part = self._feed_one(data)
            except BaseException:
                self._backlog = datas[at + 1 :]
                raise
            if part is not None and part is not NOTHING and (not changed or changed[-1] is not part) and part not in changed:
                changed.append(part)
        return changed

    def _feed_one(self, data: str) -> Any:
        """Feeds one event's data: the part it changed, NOTHING or None."""
        owner = self._owner
        learned = self._learned
        part = self._delta(data, 0, learned, 0) if learned is not None and data.startswith(learned[0]) else None
        if part is None:
            if not data or data.startswith("[DONE]"):
                return None
            try:
                value = json.loads(data)
            except ValueError as error:  # JSONDecodeError, or an int beyond the interpreter's digit limit
                raise ValueError(f"a server-sent event whose data is not JSON ({error}): {data[:80]!r}") from None
            except RecursionError:
                raise ValueError(f"a server-sent event whose data nests deeper than json reads: {data[:80]!r}") from None
            if type(value) is not dict:
                raise ValueError(f"a server-sent event whose data is not a JSON object: {data[:80]!r}")
            owner._slow = False
            part = owner.feed(value)
            if part is not None and not owner._slow:
                self._learn(data, part)
        return part

    def _learn(self, data: str, part: ToolCall | Content) -> None:
        """Keeps the text around the fragment of an event that the reader's fast
        path took."""
        key = self._owner._reader.fragment_keys.get("content" if type(part) is Content else "call")
        at = data.find(key) if key is not None else -1
        if at < 0 or data.find(key, at + 1) >= 0:  # the key must say where the fragment is
            return
        quote = at + len(key)
        while data[quote : quote + 1] in (" ", "\t", "\n", "\r") and quote < len(data):
            quote += 1
        if data[quote : quote + 1] != '"':
            return
        try:
            end = scanstring(data, quote + 1)[1]
        except ValueError:
            return
        after = data[end:]
        padding = PADDING.search(after)
        fixed = after[: padding.start()] if padding else None
        self._learned = (data[: quote + 1], after, fixed, part, after + "\n\n")
        if self.native is not None:
            utf8 = [text.encode("utf-8", "surrogatepass") for text in (data[: quote + 1], after)]
            self._shape = (utf8[0], utf8[1], None if fixed is None else fixed.encode("utf-8", "surrogatepass"), part, part._feed, self._owner)

    def _delta(self, text: str, start: int, learned: Learned, trail: int) -> Any:
        """The part that the event whose data starts at ``start`` of the text fed,
        NOTHING for an empty fragment, or None: the event takes the general path.
        The text ends with the data and ``trail`` characters (a chunk's blank line)."""
        before, after, fixed, part, after_chunk = learned
        try:
            fragment, end = scanstring(text, start + len(before))
        except ValueError:
            return None
        tail = after_chunk if trail else after
        if len(text) - end != len(tail) or not text.endswith(tail):
            if fixed is None or not text.startswith(fixed, end):
                return None
            rest = end + len(fixed)
            close = len(text) - trail - 1
            # The commonest padding, a sequence number alone, without the regex.
            digits = text[rest + 19 : close]
            if not (
                text.startswith(',"sequence_number":', rest)
                and digits.isascii()
                and digits.isdigit()
                and len(digits) <= MAX_DIGITS
                and (digits[0] != "0" or digits == "0")
                and text[close] == "}"
            ):
                if PADDING.match(text, rest, close + 1) is None:
                    return None
        if self._owner._ended or part._ended:
            return None
        if fragment:
            # The part's _add, inlined on the fast path (the content's too: it is
            # the part that the owner's _text feeds).
            if part._opened and part._rest is None:
                try:
                    part._feed(fragment)
                except Exception as error:
                    part._refused(fragment, error)
            else:
                part._add(fragment)
        return part if fragment else NOTHING
