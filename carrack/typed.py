"""Typed streams: a pydantic type's value while its JSON streams, each
validator of the user's run exactly as ``TypeAdapter(T).validate_json(text)``
runs it.

::

    stream = TypedStream(Report)
    for chunk in chunks:
        stream.feed(chunk)               # text the schema rules out raises ValidationError here
        show(stream.partial())           # a Report holding what has arrived
        for step in stream.items(("steps",)):
            run(step)                    # each Step, validated, as it closes
    report = stream.close()              # TypeAdapter(Report).validate_json(text)

The reader walks the type's core schema alongside the open path of the text
(see ``carrack._typed_schema``). A part is shown as final, in ``partial()``
and ``items()``, once its value is the one the whole document's validation
gives it, and that value comes from pydantic validating that part once:

- a part whose schema runs none of the user's code is validated when it
  ends, on its own; nothing observes that it is validated again above;
- a model whose instances pydantic passes through is validated when it
  ends, and its instance is handed to its container, which is validated in
  Python mode from its members once it ends in turn;
- everything else is validated with the whole text, when the root ends.

Importing this module imports pydantic (``pip install carrack[pydantic]``);
``import carrack`` never does.
"""

from __future__ import annotations

from typing import Any, Callable, Generic, TypeVar, cast, overload

import pydantic_core
from pydantic import ValidationError
from pydantic_core import PydanticCustomError

from carrack._stream import ANY, NestingTooDeepError, RejectedTextError, Stream, StreamClosedError, StreamInUseError
from carrack._typed_schema import (
    DICT, FINAL, GIVEN, IGNORED, LIST, NOTHING, OBJECT, TAGGED, UNTYPED, WHOLE, Node, plan_of,
)  # fmt: skip

__all__ = ["TypedStream"]

T = TypeVar("T")

# Frame modes: how a frame reads its members.
SKIP, TYPED_OBJECT, TYPED_LIST, TYPED_DICT, RAW, STRING = range(6)
# What stands for a container or string that began where the schema wants
# another kind: the schema's error for it is the error for whatever follows.
STAND_INS: dict[str, Any] = {"object": {}, "array": [], "string": ""}
# Scalar kinds that no object or array can become.
SCALARS = frozenset(
    {"str", "int", "float", "bool", "none", "literal", "date", "datetime", "time", "timedelta", "uuid", "decimal"}
)
STARTS = {OBJECT: "object", DICT: "object", TAGGED: "object", LIST: "array"}


def about_the_text(error: Exception, call: str) -> Exception:
    """What a call of the Stream raised, if it is about the text: the text
    rejected after the value or nested too deep, a ValueError from events()
    or close() (not JSON, not complete, an integer too long to convert). Anything else
    is raised again: a chunk that is not text (TypeError, UnicodeError), a
    feed after close, the stream in use, memory running out, none of which
    says anything of the text. The one place that reads the Stream's errors."""
    if isinstance(error, (RejectedTextError, NestingTooDeepError)):
        return error
    if call in ("events", "close") and isinstance(error, ValueError) and not isinstance(error, StreamClosedError):
        return error  # a JSONDecodeError, or a number past int's digit limit, from either
    raise error


class Frame:
    """An open container or string, with the node it is read by, what
    partial() shows of it and, where its container reuses instances, its
    members as pydantic will be given them."""

    __slots__ = (
        "node", "owner", "mode", "key", "name", "loc", "inner", "members", "shown", "attrs",
        "finished", "parts", "size", "placed", "keep", "early", "count", "seen", "pending",
    )  # fmt: skip

    def __init__(self, node: Node, mode: int, key: Any, loc: tuple[Any, ...]) -> None:
        self.node = node
        self.owner = node  # the node that validates it: a resolved union's, not its member's
        self.mode = mode
        self.key = key
        self.name: Any = key  # where partial() shows it in its parent
        self.loc = loc
        self.inner = loc  # the location of its members: a resolved union adds its tag
        self.members: Any = None  # given to pydantic in Python mode, as keep says
        self.shown: Any = None
        self.attrs: Any = None  # an open object's fields as shown: its __dict__, or the TypedDict
        self.finished: set[str] | None = None  # an open model's model_fields_set
        self.parts: list[str] = []  # an open string's pieces, joined when read: feeding stays linear
        self.size = 0  # and its length
        self.placed = False  # whether the parent shows it while it is open
        self.keep = NOTHING  # what its members hold, to validate it in Python mode
        self.early = False  # validated when it ends, its instance reused above
        self.count = 0  # members that arrived, for max_length
        self.seen: set[str] | None = None  # a dict's keys that arrived, for max_length
        self.pending = 0  # where its members not yet final begin in the stream's list

    @property
    def text(self) -> str:
        """An open string's text so far."""
        parts = self.parts
        if len(parts) != 1:
            self.parts = parts = ["".join(parts)]
        return parts[0]


class TypedStream(Generic[T]):
    """A JSON text read as a value of a pydantic type while it streams.

    ``T`` is anything ``pydantic.TypeAdapter`` accepts. ``partial()`` gives the
    value so far, ``items(path)`` the members that became final since the
    last call with that path (a cursor: each member once), ``close()`` the
    final value, ``TypeAdapter(T).validate_json(text)``. Every validator of
    the user's runs as often, and on the same input, as in that call. Text
    that the schema rules out raises ``pydantic.ValidationError`` from the
    ``feed()`` that wrote it, located as pydantic locates it in the whole
    document, and the stream fails for good; text that is merely cut short
    fails only at ``close()``, and ``partial()`` still gives what arrived.
    """

    @overload
    def __init__(self: TypedStream[T], type_: type[T]) -> None: ...
    @overload
    def __init__(self: TypedStream[Any], type_: Any) -> None: ...

    def __init__(self, type_: Any) -> None:
        self._plan = plan = plan_of(type_)
        self.stream = Stream(select=plan.selection)
        self._frames: list[Frame] = []
        self._root: Any = None
        self._ended = False
        self._closed = False
        self._error: Exception | None = None  # a ValidationError, or what a validator of the user's raised
        self._cut: ValidationError | None = None  # close() on text cut short
        self._log: list[tuple[tuple[Any, ...], Any, bool]] = []
        # Members that ended before their value was final: path, whether an
        # element, and the names that find it in the value of the part that validates it.
        self._pending: list[tuple[tuple[Any, ...], bool, tuple[Any, ...]]] = []
        self._cursors: dict[tuple[Any, ...], int] = {}
        self._reading = False  # a validator of the user's is perhaps running

    # -- the stream

    @property
    def text(self) -> str:
        """Everything fed so far."""
        return self.stream.text

    @property
    def path(self) -> tuple[str | int, ...]:
        """Keys and indices from the root to the value being written."""
        return self.stream.path

    @property
    def done(self) -> bool:
        """Whether the root value has ended (and was validated)."""
        return self._ended

    def feed(self, chunk: str | bytes | bytearray | memoryview) -> None:
        """Reads a chunk. Raises ValidationError where the text so far rules
        the document out, or is not JSON; from then on every call raises it
        again. A chunk that is not text (TypeError, UnicodeError) changes nothing.
        A validator that the stream runs may not feed or close it (RuntimeError)."""
        self._refuse_reentry("feed")
        if self._error is not None:
            raise self._error
        if self._cut is not None or self._closed:
            # The text is over once close() has judged it, cut short or whole.
            raise StreamClosedError("feed() after close()")
        stream = self.stream
        call = "feed"
        try:
            stream.feed(chunk)
            call = "events"
            events = stream.events()
        except Exception as error:
            failed = about_the_text(error, call)
            raise self._not_json(failed) from failed
        if events:
            self._read(events)
        if self._plan.forbids and self._frames:
            self._check_key()

    def partial(self) -> T | None:
        """The value so far, as an instance of the declared types: final parts
        validated, open objects built without validation from their final
        fields (the others None; a model's model_fields_set names the final
        ones), open strings and lists as far as they go. None before the value
        starts. Open containers are the stream's and grow as it is fed."""
        if self._error is not None:
            raise self._error
        frames = self._frames
        if not frames:
            return cast("T | None", self._root)
        top = frames[-1]
        if top.mode == STRING and top.shown is not None:
            if len(frames) == 1:
                return cast("T", top.text)  # the root is a string type
            if top.placed:
                self._show(frames[-2], top, top.text)
        return cast("T | None", frames[0].shown)

    def items(self, path: tuple[Any, ...]) -> list[Any]:
        """The members of the container(s) at path (which may hold
        carrack.ANY) that became final since the last call with path: an
        array's elements, an object's (key, value) pairs, in the order they
        became final (a member validated with its container, when that
        container is). A cursor: each member is given once per path; the
        first call gives all so far, a second call at once gives []."""
        if self._error is not None:
            raise self._error
        path = tuple(path)
        start = self._cursors.get(path, 0)
        log = self._log
        self._cursors[path] = len(log)
        size = len(path)
        out = []
        for at, value, element in log[start:]:
            if len(at) - 1 == size and all(p is ANY or p == s for p, s in zip(path, at)):
                out.append(value if element else (at[-1], value))
        return out

    def close(self) -> T:
        """Ends the stream: what TypeAdapter(T).validate_json(text) gives, its
        value or its ValidationError. On text that is only cut short the error
        is pydantic's json_invalid (end of input), and partial() and items()
        go on giving what arrived."""
        self._refuse_reentry("close")
        if self._error is not None:
            raise self._error
        if self._cut is not None:
            raise self._cut
        if self._closed:
            return cast("T", self._root)
        stream = self.stream
        cut, call = None, "close"
        try:
            stream.close()
            call = "events"
            events = stream.events()
        except Exception as error:
            cut = about_the_text(error, call)
        if cut is not None:  # every chunk was JSON so far: the text stops short
            try:
                self._cut = self._not_json(cut, keep=False)
                self._plan.adapter.validate_json(stream.text)
            except ValidationError as error:
                self._cut = error
            raise self._cut
        if events:
            self._read(events)
        self._closed = True
        return cast("T", self._root)

    # -- events

    def _read(self, events: list[Any]) -> None:
        self._reading = True
        try:
            for kind, path, value in events:
                if kind == "append":
                    frame = self._frames[-1]
                    frame.parts.append(value)
                    frame.size += len(value)
                    if frame.mode == STRING and frame.node.checks_text:
                        self._check_text(frame, value)
                elif kind == "start":
                    self._open(path, value)
                else:
                    self._end(path, value)
        except Exception as error:  # an exception of a validator's own, too: as validate_json would
            self._error = error
            raise
        finally:
            self._reading = False

    def _refuse_reentry(self, call: str) -> None:
        if self._reading:
            # A validator feeding or closing its own stream would write text
            # into the middle of the events being read.
            raise StreamInUseError(f"{call}() from inside a validator that the stream is running")

    def _open(self, path: tuple[Any, ...], what: str) -> None:
        frames = self._frames
        if not frames:
            frame = self._frame(self._plan.root, what, None, ())
            if self._plan.assembles and TYPED_OBJECT <= frame.mode <= TYPED_DICT:
                frame.keep = GIVEN
            frames.append(frame)
            return
        parent = frames[-1]
        key = path[-1]
        node = self._child(parent, key)
        if parent.node.max_length is not None:
            self._arrived(parent, key)
        frame = self._frame(node, what, key, (*parent.inner, key))
        self._keep(parent, frame)
        frame.pending = len(self._pending)
        frames.append(frame)
        if parent.mode == TYPED_OBJECT:
            field = parent.node.fields.get(key)
            if field is None:  # an extra field: partial() shows declared fields only
                return
            frame.name = field.name
        if frame.shown is not None and parent.mode != SKIP:
            frame.placed = True
            self._show(parent, frame, frame.shown)

    def _keep(self, parent: Frame, frame: Frame) -> None:
        """What an object, list or dict that starts keeps of its members. In a
        container given its members in Python mode, a reusable model is
        validated when it ends, from the members it is given where that
        spares a validator, and a member that is not given as decoded JSON
        keeps what it is to be given. A part without the user's code keeps
        its members' validated values where they validate to themselves."""
        node = frame.node
        typed = TYPED_OBJECT <= frame.mode <= TYPED_DICT
        if parent.keep != GIVEN:
            if typed:
                frame.keep = node.keeps[0]
            return
        frame.early = node.keeps[3]
        if typed:
            frame.keep = node.keeps[1] if frame.early else node.keeps[2]

    def _frame(self, node: Node, what: str, key: Any, loc: tuple[Any, ...]) -> Frame:
        kind = node.kind
        if kind in STARTS and what != STARTS[kind]:
            self._wrong_kind(node, what, loc)
            return Frame(node, SKIP, key, loc)
        if kind == OBJECT:
            frame = Frame(node, TYPED_OBJECT, key, loc)
            frame.members = {}
            self._blank(frame, node)
        elif kind == LIST:
            frame = Frame(node, TYPED_LIST, key, loc)
            frame.members, frame.shown = [], []
        elif kind == DICT:
            frame = Frame(node, TYPED_DICT, key, loc)
            frame.members, frame.shown = {}, {}
        elif kind == TAGGED or kind == UNTYPED:
            frame = Frame(node, RAW, key, loc)
            frame.members = frame.shown = {} if what == "object" else [] if what == "array" else None
            if what == "string":
                frame.mode = STRING
                frame.shown = ""
        elif what == "string" and (node.shows_text or node.text_choices is not None or node.max_length is not None):
            frame = Frame(node, STRING, key, loc)
            frame.shown = "" if node.shows_text else None
        else:
            if kind == WHOLE and what != "string":
                self._wrong_kind(node, what, loc)
            frame = Frame(node, SKIP, key, loc)
        return frame

    @staticmethod
    def _blank(frame: Frame, node: Node) -> None:
        """An open object as partial() shows it: the declared class, every field
        None until it is shown (a TypedDict: only the fields shown)."""
        if node.build == "typed-dict":
            frame.shown = frame.attrs = {}
            return
        cls = node.cls
        if node.build == "model":
            if cls.__private_attributes__:
                blank = cls.model_construct()  # private attributes as pydantic sets them up
            else:
                blank = cls.__new__(cls)
                object.__setattr__(blank, "__pydantic_extra__", {} if node.extra == "allow" else None)
                object.__setattr__(blank, "__pydantic_private__", None)
            frame.attrs = dict.fromkeys(node.names)
            frame.finished = set()
            object.__setattr__(blank, "__dict__", frame.attrs)
            object.__setattr__(blank, "__pydantic_fields_set__", frame.finished)
        else:
            blank = cls.__new__(cls)
            for name in node.names:
                object.__setattr__(blank, name, None)
            frame.attrs = blank.__dict__
        frame.shown = blank

    def _child(self, parent: Frame, key: Any) -> Node:
        mode = parent.mode
        if mode == SKIP:
            return self._plan.ignored
        if mode == RAW:
            return self._plan.untyped
        node = parent.node.child(key)
        if node.kind == IGNORED and parent.node.extra == "forbid":
            raise self._extra_forbidden(parent, key, None)
        return node

    def _end(self, path: tuple[Any, ...], value: Any) -> None:
        frames = self._frames
        if len(frames) > len(path):  # a container or string: its frame ends
            frame: Frame | None = frames.pop()
            assert frame is not None
            node = frame.owner
            if frame.mode == STRING and frame.node.checks_text:
                frame.parts, frame.size = [value], len(value)
                self._check_text(frame, value, ended=True)
            if not frames:
                self._finish(frame, value)
                return
            parent = frames[-1]
        elif frames:  # a number, true, false or null in a container
            frame = None
            parent = frames[-1]
            node = self._child(parent, path[-1])
            if node.floats:
                value = node.widened(value)
            if parent.node.max_length is not None:
                self._arrived(parent, path[-1])
            if node.kind in STARTS and parent.mode != SKIP and not (value is None and "nullable" in node.chain):
                self._wrong_kind(node, "scalar", (*parent.inner, path[-1]), value)
        else:  # the root, a scalar
            self._finish(None, value)
            return
        if parent.mode == SKIP or node.kind == IGNORED:
            return
        keep = frame.keep if frame is not None else NOTHING
        early = frame.early if frame is not None else parent.keep == GIVEN and node.keeps[3]
        final = early or node.pure
        result = value
        if final:
            try:
                # Members are kept only in a frame: keep is NOTHING without one.
                result = node.assemble(cast(Frame, frame).members) if keep != NOTHING else node.validate(value)
            except ValidationError as error:
                raise self._located(error, frame.loc if frame is not None else (*parent.inner, path[-1])) from None
            if frame is not None and frame.pending < len(self._pending):
                self._resolve_pending(frame.pending, len(frames), result)
        into = parent.keep
        if into:  # the container keeps what it is to be given, or its members' values
            if into == FINAL or early:
                given = result
            else:
                # Members kept are what the container is given (validated values
                # validate to themselves); the decoded text may not be (an integer
                # past a float's range).
                given = frame.members if frame is not None and keep != NOTHING else value
            members = parent.members
            key = path[-1]
            if type(members) is dict:
                members[key] = given
            elif len(members) > key:
                members[key] = given
            else:
                members.append(given)
        if not final and parent.mode != RAW:
            name = frame.name if frame is not None else self._name(parent, path[-1])
            self._pending.append((path, parent.mode == TYPED_LIST, (*[f.name for f in frames[1:]], name)))
        self._put(parent, path, result, final)

    @staticmethod
    def _name(parent: Frame, key: Any) -> Any:
        """Where a member is found in its container's value: a field's name, or its key."""
        if parent.mode == TYPED_OBJECT:
            field = parent.node.fields.get(key)
            if field is not None:
                return field.name
        return key

    def _resolve_pending(self, start: int, depth: int, value: Any) -> None:
        """A part was validated: the members inside it that were not final
        until then are, as its value holds them, and items() gives them."""
        pending = self._pending
        for path, element, names in pending[start:]:
            part = value
            try:
                for name in names[depth:]:
                    part = part[name] if type(part) in (list, dict) else getattr(part, name)
            except (AttributeError, KeyError, IndexError, TypeError):
                continue
            self._log.append((path, part, element))
        del pending[start:]

    def _finish(self, frame: Frame | None, value: Any) -> None:
        """The root ended: its value, validated once, as validate_json gives it."""
        plan = self._plan
        given = frame is not None and frame.keep == GIVEN
        try:
            if given:
                pydantic_core.from_json(self.stream.text)  # text json reads and pydantic does not
                self._root = plan.root.assemble(cast(Frame, frame).members)  # given: there is a frame
            else:
                self._root = plan.adapter.validate_json(self.stream.text)
        except ValidationError as error:
            raise (self._located(error, ()) if given else error) from None
        except ValueError as error:
            raise self._not_json(error) from None
        self._ended = True
        if self._pending:
            self._resolve_pending(0, 0, self._root)

    @staticmethod
    def _give(parent: Frame, key: Any, given: Any) -> None:
        """A member as pydantic is to be given it in Python mode."""
        members = parent.members
        if type(members) is list:
            if len(members) > key:
                members[key] = given
            else:
                members.append(given)
        else:
            members[key] = given

    def _put(self, parent: Frame, path: tuple[Any, ...], result: Any, final: bool) -> None:
        """Shows a member that ended in its container: final, or (for a part
        that is validated with its container) as it stands, not final."""
        mode = parent.mode
        key = path[-1]
        if mode == TYPED_OBJECT:
            if final:
                self._log.append((path, result, False))
                name = parent.node.fields[key].name if key in parent.node.fields else None
                if name is None:  # an extra field, under extra="allow"
                    return
                parent.attrs[name] = result
                if parent.finished is not None:
                    parent.finished.add(name)
            return
        if mode == RAW:
            self._give(parent, key, result)
            if key == parent.node.tag_key and parent.node.kind == TAGGED:
                self._resolve(parent, path[:-1], result)
            return
        target = parent.shown
        if final:
            self._log.append((path, result, mode == TYPED_LIST))
            if type(target) is list:
                if len(target) > key:
                    target[key] = result
                else:
                    target.append(result)
            else:
                target[key] = result
        elif type(target) is list and len(target) == key:
            target.append(None)  # a scalar validated with its container: its place, kept

    def _resolve(self, frame: Frame, path: tuple[Any, ...], tag: Any) -> None:
        """The tag of a discriminated union ended: the object is read as the
        member it names from now on; the members it had are shown if final."""
        node = frame.node
        try:
            choice = node.choices.get(tag)
        except TypeError:  # an unhashable tag: the union reports it at the end
            return
        if choice is None:  # no member has this tag: the union fails before any validator runs
            try:
                node.check({node.tag_key: tag})
            except ValidationError as error:
                raise self._located(error, frame.loc) from None
            return
        if choice.kind != OBJECT:
            return
        raw = frame.members
        frame.node = choice
        frame.mode = TYPED_OBJECT
        frame.inner = (*frame.loc, tag)
        frame.members = {}
        self._blank(frame, choice)
        for key, value in raw.items():
            member = self._child(frame, key)
            if member.kind == IGNORED:
                continue
            final = member.pure
            result = value
            if final:
                try:
                    result = member.validate(value)
                except ValidationError as error:
                    raise self._located(error, (*frame.inner, key)) from None
            self._put(frame, (*path, key), result, final)
        frames = self._frames
        depth = frames.index(frame)
        if depth:
            self._show(frames[depth - 1], frame, frame.shown)
        frame.placed = True

    @staticmethod
    def _show(parent: Frame, frame: Frame, shown: Any) -> None:
        """Shows an open member in its parent's partial value."""
        mode = parent.mode
        target = parent.shown
        if mode == TYPED_OBJECT:
            parent.attrs[frame.name] = shown
        elif type(target) is list:
            key = frame.key
            if len(target) > key:
                target[key] = shown
            else:
                target.append(shown)
        elif target is not None:
            target[frame.key] = shown

    # -- what the text rules out before it ends

    def _arrived(self, parent: Frame, key: Any) -> None:
        """A member arrived: a list or dict over its max_length fails now."""
        limit = parent.node.max_length
        if limit is None or not (TYPED_LIST <= parent.mode <= TYPED_DICT):
            return
        if parent.mode == TYPED_LIST:
            parent.count = key + 1
        else:  # a key written twice counts once, as in the dict pydantic builds
            if parent.seen is None:
                parent.seen = set()
            parent.seen.add(key)
            parent.count = len(parent.seen)
        if parent.count > limit:
            field_type = "List" if parent.mode == TYPED_LIST else "Dictionary"
            raise self._error_of(
                "too_long", parent.loc, parent.shown,
                {"field_type": field_type, "max_length": limit, "actual_length": parent.count},
            )  # fmt: skip

    def _check_text(self, frame: Frame, piece: str, ended: bool = False) -> None:
        """An open string too long for its max_length, that no Literal or
        enum value it may take begins with, or that no string matching its
        pattern begins with (for a pattern of one character class), fails now;
        piece is what was appended."""
        node = frame.node
        limit = node.max_length
        if limit is not None and frame.size > limit:
            raise self._error_of("string_too_long", frame.loc, frame.text, {"max_length": limit})
        choices = node.text_choices
        if choices is not None:
            if frame.size > max(map(len, choices)):
                self._fail_text(frame)
            text = frame.text  # no longer than a choice
            if text not in choices if ended else not any(c.startswith(text) for c in choices):
                self._fail_text(frame)
        run = node.text_run
        if run is None:
            return
        if node.text_most is not None and frame.size > node.text_most:
            self._fail_text(frame)
        stray = run.match(piece)
        at = stray.end() if stray is not None else 0
        if at < len(piece):
            # Python's re and pydantic's engine may read a class otherwise (\w and
            # combining marks): the character is outside only if pydantic says so
            # of a string of nothing else, long enough for the pattern.
            try:
                node.check(piece[at] * max(node.text_least, 1))
            except ValidationError:
                self._fail_text(frame)

    def _fail_text(self, frame: Frame) -> None:
        """Raises the error of an open string that no continuation can make valid."""
        try:
            frame.node.check(frame.text)  # fails in the core schema, before any validator of the user's
        except ValidationError as error:
            raise self._located(error, frame.loc) from None

    def _wrong_kind(self, node: Node, what: str, loc: tuple[Any, ...], value: Any = None) -> None:
        """A value of a JSON kind the node never takes began: its error is the
        schema's error for any value of that kind."""
        core = node.core
        if core is None or node.build == "dataclass":
            return
        container = node.kind in STARTS
        if not container and (core["type"] not in SCALARS or what == "string"):
            return
        stand_in = value if what == "scalar" else STAND_INS[what]
        try:
            node.check(stand_in)  # fails in the core schema, before any validator of the user's
        except ValidationError as error:
            if container and not any(line["type"].endswith("_type") for line in error.errors()):
                return
            raise self._located(error, loc) from None

    def _check_key(self) -> None:
        """Under extra="forbid", an unknown key fails as soon as it is written,
        before its value: keys give no events, so the path tells it."""
        top = self._frames[-1]
        if top.mode != TYPED_OBJECT or top.node.extra != "forbid":
            return
        path = self.stream.path
        if len(path) == len(self._frames) and path[-1] not in top.node.fields:
            self._error = self._extra_forbidden(top, path[-1], None)
            raise self._error

    # -- errors

    def _located(self, error: ValidationError, loc: tuple[Any, ...]) -> ValidationError:
        """A part's error as the whole document's: its location below loc, the
        whole type's title."""
        details: list[Any] = []
        for line in error.errors(include_url=False):
            detail: Any = {"type": line["type"], "loc": (*loc, *line["loc"]), "input": line["input"]}
            if "ctx" in line:
                detail["ctx"] = line["ctx"]
            try:
                ValidationError.from_exception_data("", [detail])
            except KeyError:  # a type of the user's own (PydanticCustomError): kept as its message says
                detail = {**detail, "type": PydanticCustomError(line["type"], line["msg"].replace("{", "{{").replace("}", "}}"))}
                detail.pop("ctx", None)
            details.append(detail)
        return ValidationError.from_exception_data(self._plan.title, details)

    def _error_of(self, kind: str, loc: tuple[Any, ...], value: Any, ctx: dict[str, Any]) -> ValidationError:
        return ValidationError.from_exception_data(self._plan.title, [{"type": kind, "loc": loc, "input": value, "ctx": ctx}])

    def _extra_forbidden(self, frame: Frame, key: Any, value: Any) -> ValidationError:
        # A dataclass reports an unknown key as an argument its __init__ does not take.
        kind = "unexpected_keyword_argument" if frame.node.build == "dataclass" else "extra_forbidden"
        return ValidationError.from_exception_data(
            self._plan.title, [{"type": kind, "loc": (*frame.inner, key), "input": value}]
        )

    def _not_json(self, error: Exception, keep: bool = True) -> ValidationError:
        invalid = ValidationError.from_exception_data(
            self._plan.title, [{"type": "json_invalid", "loc": (), "input": self.stream.text, "ctx": {"error": str(error)}}]
        )
        if keep:
            self._error = invalid
        return invalid
