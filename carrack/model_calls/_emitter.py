"""The emitter: a model's raw output text in, OpenAI Chat Completions deltas
out.

The text is read once. Outside calls a scan looks only for the first
characters of the profile's markers (``str.find``), so prose costs little; a
chunk that ends inside what may be a marker keeps those characters back until
the next chunk decides. Inside a call, the JSON goes to a :class:`Stream` that
stops at the value's end and hands out the arguments' own text (raw events) as
it arrives, so a token costs its own length, however long the call already is.
"""

from __future__ import annotations

import json
import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from typing import Any, Literal

from carrack._stream import ANY, Event, RejectedTextError, Stream
from carrack.model_calls._profiles import Profile, profile

__all__ = ["CallState", "ModelCall", "ModelToolCalls", "ParsedOutput", "merge_deltas"]

CallState = Literal["open", "complete", "cut_off", "malformed"]
Delta = dict[str, Any]

# Reader states.
_TEXT, _SECTION, _HEADER, _JSON, _SKIP = range(5)
_WHITESPACE = " \t\r\n"
_HEADER_LIMIT = 512  # characters: a call's header names a function, briefly
# What the stream refuses: text that is not JSON, and a lone surrogate (which
# no UTF-8 text, hence no JSON, holds).
_UNREADABLE = (RejectedTextError, UnicodeEncodeError)
_PIECE = 1 << 16  # characters of a long text given to the stream at once, at most


@dataclass(eq=False)
class ModelCall:
    """One tool call as sent: its ``index`` and ``id`` in the deltas, its
    ``name``, its ``arguments`` text (the fragments sent, joined) and its
    ``state``: ``"open"`` while its text runs, ``"complete"`` once its JSON
    ended, ``"cut_off"`` when the output ended inside it, ``"malformed"`` when
    its JSON was not JSON. Only a complete call may run."""

    index: int = -1
    id: str = ""
    name: str | None = None
    state: CallState = "open"
    _parts: list[str] = field(default_factory=list, repr=False)
    _held: list[str] | None = field(default=None, repr=False)
    _string: bool | None = field(default=None, repr=False)
    _ghost: bool = field(default=False, repr=False)

    @property
    def arguments(self) -> str:
        return "".join(self._parts)

    def message(self) -> dict[str, Any]:
        """The call as an assistant message's ``tool_calls`` entry."""
        return {
            "id": self.id,
            "type": "function",
            "function": {"name": self.name, "arguments": self.arguments},
        }


@dataclass(frozen=True)
class ParsedOutput:
    """A whole output read at once: its content, its calls, and the
    ``finish_reason`` they call for."""

    content: str
    tool_calls: list[ModelCall]
    finish_reason: str


def _random_id(index: int) -> str:
    # os.urandom, as secrets does: importing secrets imports hashlib, which
    # crashes CPython 3.12 when an embedding program restarts the interpreter.
    return "call_" + os.urandom(12).hex()


def _find_any(text: str, markers: Iterable[str], start: int) -> tuple[int, str] | None:
    best: tuple[int, str] | None = None
    for m in markers:
        k = text.find(m, start)
        if k != -1 and (best is None or k < best[0] or (k == best[0] and len(m) > len(best[1]))):
            best = (k, m)
    return best


class ModelToolCalls:
    """Reads a model's output text, in chunks of any size, as OpenAI Chat
    Completions deltas.

    ``feed(chunk)`` returns the deltas the chunk completes: ``{"content": ...}``
    for text outside calls; a call's start ``{"tool_calls": [{"index", "id",
    "type", "function": {"name", "arguments": ""}}]}``, once its name is final;
    then ``{"tool_calls": [{"index", "function": {"arguments": fragment}}]}``
    with the model's own argument text. ``close()`` returns the last deltas
    (held-back text) and ends every call that is still open as cut off.

    ``format``: a name in :data:`PROFILES` or a :class:`Profile`. ``ids``:
    makes a call's id from its index (default: ``call_`` and 24 random hex
    digits).
    """

    def __init__(self, format: str | Profile = "hermes", *, ids: Callable[[int], str] | None = None) -> None:
        self.profile: Profile = profile(format)
        self._ids = ids if ids is not None else _random_id
        p = self.profile
        # First character of every marker met in text -> (marker, what it does).
        marks: dict[str, list[tuple[str, int]]] = {}
        for m in p.starts:
            marks.setdefault(m[0], []).append((m, 0))
        for m in p.drop:
            marks.setdefault(m[0], []).append((m, 1))
        if p.bare:
            for c in "{[":
                marks.setdefault(c, [])
        # The longest marker first, so that one marker that begins another
        # (<a and <ab) never wins only because the chunk ended after it.
        for group in marks.values():
            group.sort(key=lambda mark: -len(mark[0]))
        self._marks = marks
        self._firsts = tuple(marks)
        keys = set(p.name_keys) | set(p.arguments_keys)
        if p.wrapper:
            keys = {p.wrapper[0]}
        self._bare_keys = tuple(keys)
        self._state = _TEXT
        self._buf = ""
        self._content: list[str] = []
        self._out: list[Delta] = []
        self.calls: list[ModelCall] = []
        """The calls sent so far, in index order."""
        # The section being read.
        self._section_ends: tuple[str, ...] = ()
        self._fresh = False
        self._pending = ""
        self._header = ""
        # The JSON value being read.
        self._stream: Stream | None = None
        self._kind = ""  # "object", "array" or "args"
        self._bare_json = False
        self._broken = False
        self._calls_before = 0
        self._elems: dict[int, ModelCall] = {}
        self._fed: list[str] = []
        self._skip_to: tuple[str, ...] = ()
        self._after_skip = _SECTION
        self._closed = False
        self._next_text: str | None = None
        self._busy = False
        # Inside a message for the user, whose text ends at a marker.
        self._in_message = False
        self._cut_short = False
        self._given_back = ""  # text a malformed call took that is not its own
        self._piece = 64
        self._header_call = False
        self._next: dict[str, int] = {}

    # -- public ---------------------------------------------------------------

    def feed(self, chunk: str) -> list[Delta]:
        """The deltas that ``chunk``, appended to the output so far, makes
        final."""
        if not isinstance(chunk, str):
            raise TypeError(f"chunk must be str, not {type(chunk).__name__}")
        if self._closed:
            raise ValueError("feed() after close()")
        return self._guarded(self._feed, chunk)

    def _guarded(self, call: Callable[[str], list[Delta]], chunk: str) -> list[Delta]:
        # The ids function runs in the middle of a chunk: text it fed or a
        # close() it made would land inside the one being read.
        if self._busy:
            raise RuntimeError("ModelToolCalls is in use: feed() or close() from inside its own call")
        self._busy = True
        try:
            return call(chunk)
        finally:
            self._busy = False

    def _feed(self, chunk: str) -> list[Delta]:
        out: list[Delta] = []
        self._out = out
        if not chunk:
            return out
        if self._state == _JSON:
            n = self._feed_json(chunk)
            back, self._given_back = self._given_back, ""
            if n == len(chunk) and not back:
                if self._content:
                    self._flush()
                return out
            chunk = back + chunk[n:]
        text = self._buf + chunk if self._buf else chunk
        self._buf = ""
        self._run(text, False)
        if self._content:
            self._flush()
        return out

    def close(self) -> list[Delta]:
        """Ends the output: held-back text goes out as content, and a call
        still open is cut off."""
        return self._guarded(self._close, "")

    def _close(self, _: str) -> list[Delta]:
        out: list[Delta] = []
        self._out = out
        if self._closed:
            return out
        self._closed = True
        text, self._buf = self._buf, ""
        if self._state == _HEADER and self._header:
            # The output ended inside a call's header: no name is final, so
            # no call went out, but the turn was cut all the same.
            kind = self.profile.read_header(self._header)
            self._cut_short = self._header_call or (kind is not None and kind[0] == "call")
        if text or self._state == _SECTION:
            self._run(text, True)
        cut: CallState = "cut_off"
        if self._stream is not None:
            self._unclaimed("".join(self._fed))
            # Cut off, or not JSON already: the text so far must complete.
            try:
                json.loads(self._stream.completion(), strict=False)
            except (ValueError, RuntimeError):
                cut = "malformed"
            if self._broken:
                cut = "malformed"
        if cut == "cut_off" and any(c.name is None and not c._ghost for c in self._elems.values()):
            self._cut_short = True  # a call cut off before its name was final
        for call in self._elems.values():
            self._end_call(call, cut)
        self._elems = {}
        self._stream = None
        if self._content:
            self._flush()
        return out

    @property
    def finish_reason(self) -> str:
        """``"tool_calls"`` when calls were sent and all are complete;
        ``"length"`` when the output cut one off (even before its name was
        final, when no call went out for it); ``"stop"`` otherwise (no
        call, or a malformed one)."""
        states = {c.state for c in self.calls}
        if self._cut_short:
            return "length"
        if not states:
            return "stop"
        if states == {"complete"}:
            return "tool_calls"
        if "cut_off" in states or "open" in states:
            return "length"
        return "stop"

    def parse(self, text: str) -> ParsedOutput:
        """Reads a whole output at once with this emitter's format and ids
        (on a fresh reader; this one is left as it is)."""
        reader = ModelToolCalls(self.profile, ids=self._ids)
        deltas = reader.feed(text) + reader.close()
        content = "".join(d["content"] for d in deltas if "content" in d)
        return ParsedOutput(content, reader.calls, reader.finish_reason)

    # -- output ---------------------------------------------------------------

    def _flush(self) -> None:
        self._out.append({"content": "".join(self._content)})
        self._content = []

    def _start(self, call: ModelCall, name: Any) -> None:
        if call.name is not None or call._ghost:
            return
        if not isinstance(name, str) or not name:
            call._ghost = True
            call.state = "malformed"
            return
        if self._content:
            self._flush()
        call.name = name
        call.index = len(self.calls)
        call.id = self._ids(call.index)
        self.calls.append(call)
        self._out.append(
            {
                "tool_calls": [
                    {
                        "index": call.index,
                        "id": call.id,
                        "type": "function",
                        "function": {"name": name, "arguments": ""},
                    }
                ]
            }
        )
        held = call._held
        if held:
            call._held = None
            if not call._string:
                self._send(call, "".join(held))
            else:
                call._parts = held

    def _send(self, call: ModelCall, fragment: str) -> None:
        call._parts.append(fragment)
        self._out.append({"tool_calls": [{"index": call.index, "function": {"arguments": fragment}}]})

    def _fragment(self, call: ModelCall, fragment: str) -> None:
        if call._string is None:
            # Arguments written as a JSON string hold JSON text: that text
            # is sent, once the string has ended.
            call._string = fragment[0] == '"'
        if call.name is None:
            if call._held is None:
                call._held = []
            call._held.append(fragment)
        elif call._string:
            call._parts.append(fragment)
        elif not call._ghost:
            if self._content:
                self._flush()
            self._send(call, fragment)

    def _end_call(self, call: ModelCall, state: CallState) -> None:
        if call.state != "open":
            return
        call.state = state
        if call.name is None:
            return
        if call._string:
            # Arguments written as a JSON string: when the string holds a
            # JSON object, that object's text is the arguments (a model that
            # encodes twice); any other string stays the string's own text.
            text = "".join(call._parts)
            call._parts = []
            if state == "complete":
                # The stream takes control characters in strings, as json
                # does with strict=False.
                try:
                    value = json.loads(text, strict=False)
                except ValueError:
                    # Arguments written twice in one call object.
                    call.state = "malformed"
                    return
                try:
                    inner = json.loads(value, strict=False)
                except ValueError:
                    inner = None
                if self._content:
                    self._flush()
                self._send(call, value if isinstance(inner, dict) else text)
        elif state == "complete" and call._parts:
            # An object that writes its arguments twice sent both texts: they
            # are not one JSON value, and the call cannot run. (Read once, at
            # the call's end.)
            try:
                json.loads(call.arguments, strict=False)
            except ValueError:
                call.state = "malformed"
        elif state == "complete" and call._string is None:
            # A call written without arguments takes none.
            if self._content:
                self._flush()
            self._send(call, "{}")

    # -- the reader -----------------------------------------------------------

    def _run(self, text: str, final: bool) -> None:
        self._next_text = None  # the same text may be fed again
        i = 0
        n = len(text)
        while i < n or (final and self._state == _SECTION and self._pending):
            state = self._state
            start = i
            if state == _TEXT:
                i = self._text(text, i, final)
            elif state == _SECTION:
                i = self._section(text, i, final)
            elif state == _JSON:
                # A piece at a time, twice as long each time: the stream
                # reads (and the slice copies) all it is given, though its
                # value may end in the first characters, and a text may hold
                # many calls.
                piece = self._piece
                self._piece = min(2 * piece, _PIECE)
                i += self._feed_json(text[i : i + piece])
            elif state == _HEADER:
                i = self._header_text(text, i, final)
            else:
                i = self._skip(text, i)
            if i < 0:
                return
            back = self._given_back
            if back:
                # Text taken that is read again: from this text, or partly
                # from what an earlier chunk left held.
                self._given_back = ""
                if len(back) <= i - start:
                    i -= len(back)
                else:
                    text, i, n = back + text[i:], 0, len(back) + n - i
                    self._next_text = None

    def _hold(self, text: str, i: int) -> int:
        self._buf = text[i:]
        return -1

    def _text(self, text: str, i: int, final: bool) -> int:
        # Where each marker's first character next stands in this text, kept
        # while the scan has not passed it (the scan of one text only moves
        # forward): prose full of one first character and free of another
        # is not searched to its end again at each of them.
        if text is not self._next_text:
            self._next_text = text
            self._next = {}
        nxt = self._next
        j = -1
        for c in self._firsts:
            k = nxt.get(c, -2)
            if k == -2 or -1 < k < i:
                k = nxt[c] = text.find(c, i)
            if k != -1 and (j == -1 or k < j):
                j = k
        if j == -1:
            self._content.append(text[i:] if i else text)
            return len(text)
        if j > i:
            self._content.append(text[i:j])
        c = text[j]
        wait = False
        for m, action in self._marks[c]:
            if self._in_message and m in self.profile.between_messages:
                continue  # the message's own text
            if text.startswith(m, j):
                if wait:
                    break  # a longer marker may still come
                self._in_message = False
                if action == 1:
                    return j + len(m)
                return self._open_section(m, j + len(m))
            if not final and len(text) - j < len(m) and m.startswith(text[j:]):
                wait = True
        if c in "{[" and self.profile.bare:
            verdict = self._bare(text, j)
            if verdict:
                self._state = _SECTION
                self._section_ends = ()
                self._fresh = False
                self._pending = ""
                self._open_json(text[j])
                return j
            if verdict is None and not final:
                wait = True
        if wait:
            return self._hold(text, j)
        self._content.append(c)
        return j + 1

    def _bare(self, text: str, j: int) -> bool | None:
        # A JSON call standing in text: an object (or an array of objects)
        # whose first key is one of the call's keys. None: undecided yet.
        n = len(text)
        k = j
        if text[k] == "[":
            k += 1
            while k < n and text[k] in _WHITESPACE:
                k += 1
            if k == n:
                return None
            if text[k] != "{":
                return False
        k += 1
        while k < n and text[k] in _WHITESPACE:
            k += 1
        if k == n:
            return None
        if text[k] != '"':
            return False
        e = text.find('"', k + 1)
        if e == -1:
            part = text[k + 1 :]
            return None if any(key.startswith(part) for key in self._bare_keys) else False
        return text[k + 1 : e] in self._bare_keys

    def _open_section(self, marker: str, i: int) -> int:
        p = self.profile
        self._section_ends = p.ends_for(marker)
        self._fresh = True
        self._pending = ""
        if p.header_first and callable(p.header):
            # A header function reads the marker that opened it too
            # (gpt-oss: " to=functions.f" opens a header).
            self._state = _HEADER
            self._header = marker
            self._header_call = False
        else:
            self._state = _SECTION
        return i

    def _section(self, text: str, i: int, final: bool) -> int:
        p = self.profile
        n = len(text)
        j = i
        skip = _WHITESPACE + p.separators
        while j < n and text[j] in skip:
            j += 1
        if j > i:
            self._pending += text[i:j]
        if j == n:
            if final:
                self._leave_section()
            return n
        wait = False
        # Ends first, then call starts, then starts, and the longest first
        # in each: a marker wins only when none before it may still come.
        for group, what in ((self._section_ends, 0), (p.call_starts, 1), (p.starts, 2)):
            for m in sorted(group, key=len, reverse=True):
                if text.startswith(m, j):
                    if wait:
                        return self._hold(text, j)
                    if what == 0:
                        self._pending = ""
                        self._state = _TEXT
                    elif what == 1:
                        self._start_header("")
                        self._header_call = True
                    else:
                        # Another section begins: this one is over.
                        self._leave_section()
                        return j
                    return j + len(m)
                if not final and n - j < len(m) and m.startswith(text[j:]):
                    wait = True
        if wait:
            return self._hold(text, j)
        c = text[j]
        fresh = self._fresh
        self._fresh = False
        # After a call, another JSON value continues the section only where
        # separators or a closing marker say that calls follow one another.
        if p.json_calls and c in "{[" and (fresh or p.separators or self._section_ends or p.bare):
            self._pending = ""
            self._open_json(c)
            return j
        if fresh and p.header_first:
            self._start_header("")
            return j
        if self._section_ends:
            # Noise inside a closed section is not content.
            self._pending = ""
            return j + 1
        self._leave_section()
        return j

    def _leave_section(self) -> None:
        # Whitespace between calls is content only where no marker closes
        # the section.
        if self._pending and not self._section_ends:
            self._content.append(self._pending)
            self._pending = ""
        self._state = _TEXT

    def _start_header(self, text: str) -> None:
        self._header_call = False  # a call-start marker says it is a call
        self._pending = ""
        self._state = _HEADER
        self._header = text

    def _header_text(self, text: str, i: int, final: bool) -> int:
        p = self.profile
        old = len(self._header)
        longest = max((len(m) for m in p.name_ends), default=1)
        # No more than a header can hold, and first what a name usually
        # takes: a text may hold many headers.
        for width in (64, _HEADER_LIMIT + longest + 1):
            h = self._header + text[i : i + width]
            found = _find_any(h, p.name_ends, max(0, old - longest + 1))
            if found is not None or i + width >= len(text):
                break
        if found is None or found[0] > _HEADER_LIMIT:
            if len(h) > _HEADER_LIMIT + longest or found is not None:
                # No header runs this long: it was not one. Its text is read
                # again from the limit on, so the place does not depend on
                # the chunking.
                self._header = ""
                if self._section_ends:
                    self._begin_skip(self._section_ends, _TEXT)
                else:
                    self._content.append(h[:_HEADER_LIMIT])
                    self._state = _TEXT
                if old <= _HEADER_LIMIT:
                    return i + _HEADER_LIMIT - old
                self._given_back = h[_HEADER_LIMIT:old]  # held from the last chunk
                return i
            elif final:
                self._header = ""  # the output ended before the name did
            else:
                self._header = h
            return len(text)
        k, m = found
        self._header = ""
        end = k if m in ("{", "[") else k + len(m)
        kind = p.read_header(h[:k])
        if kind is not None and kind[0] == "content":
            self._state = _TEXT
            self._in_message = True
        elif kind is not None and kind[0] == "drop":
            self._begin_skip(p.drop_until, _TEXT)
        else:
            call = ModelCall()
            self._kind = "args"
            self._elems = {0: call}
            self._new_stream(self._fresh_stream())
            if kind is None:
                call._ghost = True
                call.state = "malformed"
            else:
                self._start(call, kind[1])
        return i + end - old

    def _begin_skip(self, markers: tuple[str, ...], after: int) -> None:
        self._skip_to = markers
        self._after_skip = after
        self._header = ""
        self._state = _SKIP if markers else after

    def _skip(self, text: str, i: int) -> int:
        old = len(self._header)
        longest = max(len(m) for m in self._skip_to)
        if old:  # the end of the last chunk may begin a marker
            h, off, start = self._header + text[i:], i - old, max(0, old - longest + 1)
        else:  # searched in place: a text may hold many calls
            h, off, start = text, 0, i
        found = _find_any(h, self._skip_to, start)
        if found is None:
            self._header = h[max(start, len(h) - longest + 1) :] if longest > 1 else ""
            return len(text)
        k, m = found
        if any(len(x) > len(h) - k and x.startswith(h[k:]) for x in self._skip_to):
            self._header = h[k:]  # a longer marker may still come
            return len(text)
        self._header = ""
        self._state = self._after_skip
        if self._state == _SECTION:
            self._fresh = False
            self._pending = ""
        return off + k + len(m)

    # -- JSON -----------------------------------------------------------------

    def _open_json(self, first: str) -> None:
        self._kind = "array" if first == "[" else "object"
        self._new_stream(self._fresh_stream())
        self._elems = {} if first == "[" else {0: ModelCall()}

    def _new_stream(self, stream: Stream) -> None:
        self._stream = stream
        self._piece = 64
        self._fed = []
        self._state = _JSON
        self._broken = False
        # Where no marker closes the section, JSON that starts no call is text.
        self._bare_json = not self._section_ends
        self._calls_before = len(self.calls)

    def _unclaimed(self, text: str) -> None:
        # JSON that turned out to start no call is text.
        if text and self._bare_json and len(self.calls) == self._calls_before:
            self._content.append(text)

    def _feed_json(self, chunk: str) -> int:
        stream = self._stream
        assert stream is not None
        try:
            n = stream.feed(chunk)
        except _UNREADABLE:
            return self._rejected(chunk)
        if n is None:  # pragma: no cover - stop_at_end always counts
            n = len(chunk)
        taken = chunk if n == len(chunk) else chunk[:n]
        if not self._broken:
            try:
                events = stream.events()
            except ValueError:
                events = self._events_before_break(taken)
            self._events(events)
        self._fed.append(taken)
        if stream.done:
            self._ended()
        return n

    def _ended(self) -> None:
        # A stream that stops at its value's end also stops where the text
        # stops being JSON: only a value that loads has ended well.
        stream = self._stream
        assert stream is not None
        try:
            stream.close()
        except ValueError as error:
            # The stream took any character for a closing bracket, so it may
            # have taken the first characters of what follows (the "</" of
            # "</tool_call>" after a call short of a "}"): the text from the
            # first character that is not JSON is read again after the call.
            fed = "".join(self._fed)
            pos = getattr(error, "pos", None)
            back = fed[pos:] if isinstance(pos, int) and 0 < pos < len(fed) else ""
            self._unclaimed(fed[: len(fed) - len(back)])
            self._abandon()
            self._given_back = back
        else:
            self._json_done()

    def _events_before_break(self, taken: str) -> list[Event]:
        # The text was taken but its events cannot be told (the stream read
        # something it could not make a path of). The events up to that
        # character must not depend on the chunking: the chunk is read again
        # a character at a time; after the break no more events are sent.
        stream = self._fresh_stream()
        before = "".join(self._fed)
        if before:
            stream.feed(before)
            stream.events()  # sent already
        self._stream = stream
        out: list[Event] = []
        for k, c in enumerate(taken):
            stream.feed(c)
            try:
                out += stream.events()
            except ValueError:
                self._broken = True
                if k + 1 < len(taken):
                    stream.feed(taken[k + 1 :])
                break
        return out

    def _events(self, events: list[Event]) -> None:
        kind = self._kind
        elems = self._elems
        for ev, path, value in events:
            if kind == "array":
                key = path[0]
                assert isinstance(key, int)
                call = elems.get(key)
                if call is None:
                    call = elems[key] = ModelCall()
                if len(path) == 1:
                    if ev == "end":
                        self._end_call(call, "complete" if call.name is not None else "malformed")
                        del elems[key]
                    continue
            else:
                call = elems[0]
            if ev == "raw":
                self._fragment(call, value)
            elif ev == "end":
                self._start(call, value)

    def _json_done(self) -> None:
        if self._bare_json:
            self._unclaimed("".join(self._fed))
        for call in self._elems.values():
            self._end_call(call, "complete" if call.name is not None or call._ghost else "malformed")
        self._elems = {}
        self._stream = None
        self._fed = []
        p = self.profile
        if self._kind == "args" and p.call_ends:
            self._begin_skip(p.call_ends, _SECTION)
        else:
            self._state = _SECTION
            self._fresh = False
            self._pending = ""

    def _rejected(self, chunk: str) -> int:
        # The stream refused a character of this chunk. Which one must not
        # depend on the chunking, so the text is read again on a fresh stream
        # with the same paths, this chunk a character at a time; the refused
        # character is read again after the value.
        stream = self._fresh_stream()
        before = "".join(self._fed)
        if before:
            stream.feed(before)
            if not self._broken:
                stream.events()  # sent already
        self._stream = stream
        for k, c in enumerate(chunk):
            try:
                n = stream.feed(c)
            except _UNREADABLE:
                self._unclaimed(before + chunk[:k])
                self._abandon()
                return k
            if not self._broken:
                try:
                    self._events(stream.events())
                except ValueError:
                    self._broken = True
            self._fed.append(c)
            if stream.done:
                self._ended()
                return k + (n or 0)
        return len(chunk)  # pragma: no cover - the chunk failed as a whole

    def _fresh_stream(self) -> Stream:
        p = self.profile
        w = p.wrapper
        if self._kind == "array":
            return Stream(
                select=[(ANY,)] + [(ANY, *w, k) for k in p.name_keys],
                raw=[(ANY, *w, k) for k in p.arguments_keys],
                stop_at_end=True,
            )
        if self._kind == "object":
            return Stream(
                select=[(*w, k) for k in p.name_keys],
                raw=[(*w, k) for k in p.arguments_keys],
                stop_at_end=True,
            )
        return Stream(select=[], raw=[()], stop_at_end=True)

    def _abandon(self) -> None:
        # The value is not JSON: its calls are malformed, and what follows
        # is read as after a call (named calls), up to the section's end, or
        # as text.
        p = self.profile
        for call in self._elems.values():
            self._end_call(call, "malformed")
        self._elems = {}
        self._stream = None
        self._fed = []
        if self._kind == "args" and p.call_ends:
            self._begin_skip(p.call_ends, _SECTION)
        elif self._section_ends:
            self._begin_skip(self._section_ends, _TEXT)
        else:
            self._state = _TEXT


def merge_deltas(deltas: Iterable[Delta]) -> dict[str, Any]:
    """The assistant message that ``deltas`` build, as an OpenAI client
    merges them: content joined, each call's arguments joined by index."""
    content: list[str] = []
    calls: dict[int, dict[str, Any]] = {}
    for d in deltas:
        if "content" in d:
            content.append(d["content"])
        for tc in d.get("tool_calls", ()):
            call = calls.get(tc["index"])
            if call is None:
                call = calls[tc["index"]] = {
                    "id": tc.get("id"),
                    "type": "function",
                    "function": {"name": tc["function"].get("name"), "arguments": ""},
                }
            call["function"]["arguments"] += tc["function"].get("arguments") or ""
    return {"content": "".join(content), "tool_calls": [calls[i] for i in sorted(calls)]}
