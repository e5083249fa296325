"""Typed streams: a pydantic type's value while its JSON streams, each part
validated once, when it closes.

::

    stream = TypedStream(Report)
    for chunk in chunks:
        stream.feed(chunk)               # a part that fails raises ValidationError here
        show(stream.partial())           # a Report holding what has arrived
        for step in stream.items(("steps",)):
            run(step)                    # each Step, validated, as it closes
    report = stream.close()              # TypeAdapter(Report).validate_json(text)

The reader walks the type's pydantic core schema alongside the open path of
the text: one schema node per open level, pushed when a container starts and
popped when it ends. A value that ends is validated there and then, once, by
a validator of its own node: a leaf by the node's whole schema, a model, list
or dict by its schema with the members' schemas taken out (they were
validated when they ended), so that pydantic itself still applies the
aliases, defaults, required fields, ``extra`` and model validators. Nothing
is validated again: ``close()`` returns the root validated when it ended.

Importing this module imports pydantic (``pip install carrack[pydantic]``);
``import carrack`` never does.
"""

from __future__ import annotations

import json
from json.encoder import encode_basestring_ascii
from typing import Any, Callable, Generic, Iterable, TypeVar, overload

import pydantic_core
from pydantic import TypeAdapter, ValidationError
from pydantic_core import PydanticCustomError, SchemaValidator

from carrack._stream import ANY, Stream

__all__ = ["TypedStream"]

T = TypeVar("T")

# What a schema node is to the reader.
WHOLE = 0  # validated whole when it ends: scalars, unions, custom validators
OBJECT = 1  # a model, dataclass or TypedDict: its fields are followed
LIST = 2  # list[X]: its elements are followed
DICT = 3  # dict[str, X]: its values are followed
TAGGED = 4  # a discriminated union: untyped until its tag ends
DEFERRED = 5  # validated only with its container (it needs the other fields)
IGNORED = 6  # a key that extra="ignore" drops
UNTYPED = 7  # inside an object whose union member is not known yet

# Leaves whose Python-mode validation of a decoded JSON value is the JSON
# mode's, so they skip re-encoding the value.
PYTHON_SAFE = frozenset({"str", "int", "float", "bool", "none", "any"})
WRAPPERS = frozenset({"default", "nullable", "function-after"})
# Patterns past this many make the selection "everything".
MAX_PATTERNS = 2000


# --- Schema nodes ------------------------------------------------------------------


class Field:
    """A member of an object node: its attribute name and its node."""

    __slots__ = ("name", "node")

    def __init__(self, name: str, node: Node) -> None:
        self.name = name
        self.node = node


class Node:
    """One node of the core schema, as the reader follows it: what kind of value
    it is, its members' nodes, and its validators, built on first use."""

    __slots__ = (
        "kind",
        "schema",
        "config",
        "plan",
        "shows_text",
        "python_mode",
        "cls",
        "build",
        "fields",
        "names",
        "extra",
        "extra_node",
        "item",
        "tag_key",
        "choices",
        "validate_members",
        "validate_whole",
    )

    def __init__(self, kind: int, schema: Any, config: Any, plan: Plan) -> None:
        self.kind = kind
        self.schema = schema
        self.config = config
        self.plan = plan
        self.shows_text = False
        self.python_mode = False
        self.cls: Any = None
        self.build = ""
        self.fields: dict[str, Field] = {}
        self.names: tuple[str, ...] = ()
        self.extra = "ignore"
        self.extra_node: Node | None = None
        self.item: Node | None = None
        self.tag_key = ""
        self.choices: dict[Any, Node] = {}
        # Validators, built on first use: each then calls pydantic-core directly.
        self.validate_members: Callable[[Any], Any] = self._first_members
        self.validate_whole: Callable[[Any], Any] = self._first_whole

    def child(self, key: Any) -> Node:
        """The node of the member at key: a field, an element, a value."""
        if self.kind == OBJECT:
            field = self.fields.get(key)
            if field is not None:
                return field.node
            return self.extra_node or self.plan.ignored
        if self.item is not None:
            return self.item
        return self.plan.untyped

    def _first_members(self, members: Any) -> Any:
        """Validates an object, list or dict whose members were validated when
        they ended: pydantic checks the container itself, once."""
        validator = self.plan.validator(self.plan.shallow(self.schema, self.config), self.config)
        self.validate_members = validator.validate_python
        return self.validate_members(members)

    def _first_whole(self, value: Any) -> Any:
        """Validates a decoded JSON value by this node's whole schema, as
        validate_json would: in JSON mode, or in Python mode where the two agree."""
        validator = self.plan.validator(self.schema, self.config)
        if self.python_mode:
            self.validate_whole = validator.validate_python
        else:
            from_json = validator.validate_json
            self.validate_whole = lambda value: from_json(to_json(value))
        return self.validate_whole(value)


def to_json(value: Any) -> str:
    """The JSON text of a decoded value, for validating it in JSON mode."""
    kind = type(value)
    if kind is str:
        return encode_basestring_ascii(value)
    if kind is int:
        return int.__repr__(value)
    if value is None:
        return "null"
    if kind is bool:
        return "true" if value else "false"
    return json.dumps(value)


class Plan:
    """What a type's core schema tells the reader: its root node, the nodes
    below it, each compiled once, and the selection of paths to read."""

    def __init__(self, adapter: TypeAdapter[Any]) -> None:
        self.adapter = adapter
        self.title: str = getattr(adapter.validator, "title", "") or ""
        schema = adapter.core_schema
        self.definitions: list[Any] = []
        if schema["type"] == "definitions":
            self.definitions = list(schema["definitions"])
            schema = schema["schema"]
        self.refs = {d["ref"]: d for d in self.definitions}
        self._nodes: dict[tuple[int, int], Node] = {}
        self._keep: list[Any] = []  # the schemas whose ids key _nodes stay alive
        self.ignored = Node(IGNORED, None, None, self)
        self.deferred = Node(DEFERRED, None, None, self)
        self.untyped = Node(UNTYPED, None, None, self)
        self.forbids = False
        self.root = self.node(schema, None)
        self.selection = self._selection()

    # -- compiling nodes

    def resolve(self, schema: Any) -> Any:
        while schema["type"] == "definition-ref":
            schema = self.refs[schema["schema_ref"]]
        return schema

    def core(self, schema: Any) -> Any:
        """The schema under the wrappers that pass a value through to it:
        defaults, nullables, after-validators, definition references."""
        schema = self.resolve(schema)
        while schema["type"] in WRAPPERS:
            schema = self.resolve(schema["schema"])
        return schema

    def node(self, schema: Any, config: Any) -> Node:
        key = (id(schema), id(config))
        known = self._nodes.get(key)
        if known is not None:
            return known
        self._keep.append((schema, config))
        core = self.core(schema)
        kind = self._kind(core, config)
        node = Node(kind, schema, config, self)
        self._nodes[key] = node  # before the members, so that recursion finds it
        if kind == OBJECT:
            self._object(node, core)
        elif kind == LIST:
            node.item = self.node(core["items_schema"], config)
        elif kind == DICT:
            node.item = self.node(core.get("values_schema") or {"type": "any"}, config)
        elif kind == TAGGED:
            node.tag_key = core["discriminator"]
            node.choices = {tag: self.node(choice, config) for tag, choice in core["choices"].items()}
        else:
            bare = self.bare(schema)
            node.shows_text = core["type"] == "str"
            node.python_mode = bare["type"] in PYTHON_SAFE and not bare.get("strict") and not (config or {}).get("strict")
        return node

    def _kind(self, core: Any, config: Any) -> int:
        kind = core["type"]
        if kind == "model":
            inner = core["schema"]
            if core.get("root_model") or core.get("custom_init") or inner["type"] != "model-fields":
                return WHOLE
            return OBJECT if self._plain_fields(inner["fields"].values()) else WHOLE
        if kind == "dataclass":
            inner = core["schema"]
            merged = {**(config or {}), **(core.get("config") or {})}
            if merged.get("strict") or core.get("slots") or inner["type"] != "dataclass-args":
                return WHOLE  # a strict dataclass takes only its instances in Python mode
            fields = inner["fields"]
            if any(f.get("init_only") or f.get("init") is False for f in fields):
                return WHOLE
            return OBJECT if self._plain_fields(fields) else WHOLE
        if kind == "typed-dict":
            return OBJECT if self._plain_fields(core["fields"].values()) else WHOLE
        if kind == "list":
            return LIST
        if kind == "dict" and (core.get("keys_schema") or {"type": "str"})["type"] in ("str", "any"):
            if not core.get("keys_schema", {}).get("strict"):
                return DICT
        if kind == "tagged-union" and isinstance(core.get("discriminator"), str):
            return TAGGED
        return WHOLE

    def _plain_fields(self, fields: Iterable[Any]) -> bool:
        """Whether every field is found under keys of its own: an alias path
        into a nested value makes the object validated whole."""
        for field in fields:
            alias = field.get("validation_alias")
            if alias is not None and not all(len(path) == 1 and isinstance(path[0], str) for path in paths(alias)):
                return False
        return True

    def _object(self, node: Node, core: Any) -> None:
        config = core.get("config") or node.config
        settings = config or {}
        kind = core["type"]
        if kind == "model":
            node.cls, node.build = core["cls"], "model"
            inner = core["schema"]
            named = list(inner["fields"].items())
            extra = inner.get("extra_behavior") or settings.get("extra_fields_behavior") or "ignore"
        elif kind == "dataclass":
            node.cls, node.build = core["cls"], "dataclass"
            inner = core["schema"]
            named = [(f["name"], f) for f in inner["fields"]]
            extra = inner.get("extra_behavior") or settings.get("extra_fields_behavior") or "ignore"
        else:
            node.build = "typed-dict"
            named = list(core["fields"].items())
            extra = core.get("extra_behavior") or settings.get("extra_fields_behavior") or "ignore"
        by_alias = settings.get("validate_by_alias", True)
        by_name = settings.get("validate_by_name", False) or settings.get("populate_by_name", False)
        node.names = tuple(name for name, _ in named)
        node.extra = extra
        if extra == "forbid":
            self.forbids = True
        if extra == "allow":
            node.extra_node = self.deferred
        for name, field in named:
            child = self.deferred if self._needs_container(field["schema"]) else self.node(field["schema"], config)
            alias = field.get("validation_alias")
            keys = [path[0] for path in paths(alias)] if alias is not None and by_alias else []
            if alias is None or by_name:
                keys.append(name)
            for key in keys:
                node.fields.setdefault(key, Field(name, child))

    def _needs_container(self, schema: Any) -> bool:
        """Whether a field's value can only be validated with its container:
        a validator that reads the other fields (info.data), or a default that
        is validated when missing."""
        seen: set[int] = set()

        def walk(part: Any) -> bool:
            if isinstance(part, dict):
                if id(part) in seen:
                    return False
                seen.add(id(part))
                kind = part.get("type")
                if kind in ("model", "dataclass", "typed-dict", "definition-ref"):
                    return False  # a nested object's validators see its own fields
                if kind == "with-info" or (kind == "default" and part.get("validate_default")):
                    return True
                return any(walk(v) for v in part.values())
            if isinstance(part, (list, tuple)):
                return any(walk(v) for v in part)
            return False

        return walk(schema)

    def bare(self, schema: Any) -> Any:
        """The schema under its defaults and nullables, which change no value given."""
        schema = self.resolve(schema)
        while schema["type"] in ("default", "nullable"):
            schema = self.resolve(schema["schema"])
        return schema

    # -- validators

    def validator(self, schema: Any, config: Any) -> SchemaValidator:
        if self.definitions:
            schema = {"type": "definitions", "schema": schema, "definitions": self.definitions}
        return SchemaValidator(schema, config)

    def shallow(self, schema: Any, config: Any) -> Any:
        """The schema with the members of its object, list or dict taken out:
        each member passes as it is, keeping only its default. A discriminated
        union's members that are objects are taken out the same way."""
        schema = self.resolve(schema)
        kind = schema["type"]
        copy = {k: v for k, v in schema.items() if k != "ref"}
        if kind in WRAPPERS:
            copy["schema"] = self.shallow(schema["schema"], config)
        elif kind == "tagged-union":
            copy["choices"] = {
                tag: self.shallow(choice, config) if self._kind(self.core(choice), config) == OBJECT else choice
                for tag, choice in schema["choices"].items()
            }
        elif kind == "model":
            inner = schema["schema"]
            copy["schema"] = {**inner, "fields": {n: self._slot(f) for n, f in inner["fields"].items()}}
        elif kind == "dataclass":
            inner = schema["schema"]
            copy["schema"] = {k: v for k, v in inner.items() if k != "ref"}
            copy["schema"]["fields"] = [self._slot(f) for f in inner["fields"]]
        elif kind == "typed-dict":
            copy["fields"] = {n: self._slot(f) for n, f in schema["fields"].items()}
        elif kind == "list":
            copy["items_schema"] = {"type": "any"}
        elif kind == "dict":
            copy["values_schema"] = {"type": "any"}
        return copy

    def _slot(self, field: Any) -> Any:
        if self._needs_container(field["schema"]):
            return field
        return {**field, "schema": passing(field["schema"])}

    # -- selection

    def _selection(self) -> list[tuple[Any, ...]] | None:
        """The paths whose events the reader needs: every followed member, and
        no further inside what is validated whole, nor keys that are ignored."""
        out: list[tuple[Any, ...]] = []
        open_nodes: set[int] = set()

        def add(node: Node, prefix: tuple[Any, ...]) -> None:
            out.append(prefix)
            if len(out) > MAX_PATTERNS:
                raise OverflowError
            if id(node) in open_nodes or node.kind == TAGGED:
                out.append((*prefix, ...))
                return
            open_nodes.add(id(node))
            if node.kind == OBJECT:
                for key, field in node.fields.items():
                    add(field.node, (*prefix, key))
                if node.extra_node is not None:
                    out.append((*prefix, ANY))
            elif node.kind in (LIST, DICT):
                assert node.item is not None
                add(node.item, (*prefix, ANY))
            open_nodes.discard(id(node))

        try:
            add(self.root, ())
        except OverflowError:
            return None
        return out


def paths(alias: Any) -> list[list[Any]]:
    """A validation alias as pydantic's core schema has it, as a list of paths."""
    if isinstance(alias, str):
        return [[alias]]
    if alias and not isinstance(alias[0], list):
        return [alias]
    return list(alias)


def passing(schema: Any) -> Any:
    """A field's schema reduced to its defaults around a schema that takes anything."""
    if schema["type"] == "default":
        return {k: v for k, v in schema.items() if k != "ref"} | {"schema": passing(schema["schema"])}
    return {"type": "any"}


PLANS: dict[Any, Plan] = {}
MAX_PLANS = 256  # types made on the fly (create_model per request) must not pile up


def plan_of(type_: Any) -> Plan:
    """The plan of a type, made once per type (its validators are built once too)."""
    try:
        known = PLANS.get(type_)
    except TypeError:  # an unhashable type form
        return Plan(TypeAdapter(type_))
    if known is None:
        if len(PLANS) >= MAX_PLANS:
            PLANS.pop(next(iter(PLANS)))  # the oldest
        known = PLANS[type_] = Plan(TypeAdapter(type_))
    return known


# --- Reading ---------------------------------------------------------------------


class Frame:
    """An open container or string, with the node it is read by, the members
    validated so far, and what partial() shows of it."""

    __slots__ = ("node", "owner", "mode", "key", "name", "loc", "inner", "members", "shown", "attrs", "finished", "text", "placed")

    def __init__(self, node: Node, mode: int, key: Any, loc: tuple[Any, ...]) -> None:
        self.node = node
        self.owner = node  # the node that validates it: a resolved union's, not its member's
        self.mode = mode
        self.key = key
        self.name: Any = key  # where partial() shows it in its parent
        self.loc = loc
        self.inner = loc  # the location of its members: a resolved union adds its tag
        self.members: Any = None
        self.shown: Any = None
        self.attrs: Any = None  # an open object's fields as shown: its __dict__, or the TypedDict
        self.finished: set[str] | None = None  # an open model's model_fields_set
        self.text = ""
        self.placed = False  # whether the parent shows it while it is open


# Frame modes: how a frame reads its members.
SKIP, TYPED_OBJECT, TYPED_LIST, TYPED_DICT, RAW, STRING = range(6)


class TypedStream(Generic[T]):
    """A JSON text read as a value of a pydantic type while it streams: fed
    in chunks, each part validated once, when it closes.

    ``T`` is anything ``pydantic.TypeAdapter`` accepts. ``partial()`` gives the
    value so far, ``items(path)`` the members that closed, ``close()`` the
    final value, ``TypeAdapter(T).validate_json(text)``. A part that fails
    validation raises ``pydantic.ValidationError`` from the ``feed()`` that
    closed it, located as pydantic locates it in the whole document, and the
    stream fails for good.
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
        self._error: ValidationError | None = None
        self._log: list[tuple[tuple[Any, ...], Any, bool]] = []
        self._cursors: dict[tuple[Any, ...], int] = {}

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
        """Reads a chunk, validating every part that it closes. Raises
        ValidationError for a part that fails, or for text that is not JSON;
        from then on every call raises it again. A chunk that is not text
        (TypeError, UnicodeError) changes nothing."""
        if self._error is not None:
            raise self._error
        stream = self.stream
        try:
            stream.feed(chunk)  # TypeError, UnicodeError, after close(): nothing changed
        except RuntimeError as error:  # text left over after the value, or too deep
            raise self._not_json(error) from error
        try:
            events = stream.events()
        except (ValueError, RuntimeError) as error:  # not JSON, or nested too deep
            raise self._not_json(error) from error
        if events:
            self._read(events)
        if self._plan.forbids and self._frames:
            self._check_key()

    def partial(self) -> T | None:
        """The value so far, as an instance of the declared types: closed parts
        validated, open objects built without validation from their finished
        fields (the others None; a model's model_fields_set names the finished
        ones), open strings and lists as far as they go. None before the value
        starts. Open containers are the stream's and grow as it is fed."""
        if self._error is not None:
            raise self._error
        frames = self._frames
        if not frames:
            return self._root  # type: ignore[no-any-return]
        top = frames[-1]
        if top.mode == STRING:
            if len(frames) == 1:
                return top.text  # type: ignore[return-value]
            if top.placed:
                self._show(frames[-2], top, top.text)
        return frames[0].shown  # type: ignore[no-any-return]

    def items(self, path: tuple[Any, ...]) -> list[Any]:
        """The validated members of the container(s) at path (which may hold
        carrack.ANY) that closed since the last call with path: an array's
        elements, an object's (key, value) pairs."""
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
        """Ends the stream: exactly TypeAdapter(T).validate_json(text), raising
        its ValidationError, from the parts validated as they closed."""
        if self._error is not None:
            raise self._error
        if self._closed:
            return self._root  # type: ignore[no-any-return]
        stream = self.stream
        try:
            stream.close()
            events = stream.events()
            pydantic_core.from_json(stream.text)  # text json accepts and pydantic does not
        except ValueError as error:
            try:
                value = self._plan.adapter.validate_json(stream.text)
            except ValidationError as invalid:
                self._error = invalid
                raise
            return value  # type: ignore[no-any-return]
        if events:
            self._read(events)
        self._closed = True
        return self._root  # type: ignore[no-any-return]

    # -- events

    def _read(self, events: list[Any]) -> None:
        try:
            for kind, path, value in events:
                if kind == "append":
                    self._frames[-1].text += value
                elif kind == "start":
                    self._open(path, value)
                else:
                    self._end(path, value)
        except ValidationError as error:
            self._error = error
            raise

    def _open(self, path: tuple[Any, ...], what: str) -> None:
        frames = self._frames
        if not frames:
            frames.append(self._frame(self._plan.root, what, None, ()))
            return
        parent = frames[-1]
        key = path[-1]
        node = self._child(parent, key)
        frame = self._frame(node, what, key, (*parent.inner, key))
        frames.append(frame)
        if frame.shown is not None and parent.mode != SKIP:
            if parent.mode == TYPED_OBJECT:
                frame.name = parent.node.fields[key].name
            frame.placed = True
            self._show(parent, frame, frame.shown)

    def _frame(self, node: Node, what: str, key: Any, loc: tuple[Any, ...]) -> Frame:
        kind = node.kind
        if kind == OBJECT and what == "object":
            frame = Frame(node, TYPED_OBJECT, key, loc)
            frame.members = {}
            self._blank(frame, node)
        elif kind == LIST and what == "array":
            frame = Frame(node, TYPED_LIST, key, loc)
            frame.members = frame.shown = []
        elif kind == DICT and what == "object":
            frame = Frame(node, TYPED_DICT, key, loc)
            frame.members = frame.shown = {}
        elif (kind == TAGGED and what == "object") or kind == UNTYPED:
            frame = Frame(node, RAW, key, loc)
            frame.members = frame.shown = {} if what == "object" else [] if what == "array" else None
            if what == "string":
                frame.mode = STRING
                frame.shown = ""
        elif what == "string" and node.shows_text:
            frame = Frame(node, STRING, key, loc)
            frame.shown = ""
        else:
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
            frame = frames.pop()
            node = frame.node
            mode = frame.mode
            try:
                if TYPED_OBJECT <= mode <= TYPED_DICT:
                    result = frame.owner.validate_members(frame.members)
                elif node.kind >= DEFERRED:
                    result = value
                else:
                    result = node.validate_whole(value)
            except ValidationError as error:
                raise self._located(error, frame.loc) from None
            if not frames:
                self._root = result
                self._ended = True
                return
            parent = frames[-1]
        elif frames:  # a number, true, false or null in a container
            parent = frames[-1]
            node = self._child(parent, path[-1])
            if node.kind >= DEFERRED:
                result = value
            else:
                try:
                    result = node.validate_whole(value)
                except ValidationError as error:
                    raise self._located(error, (*parent.inner, path[-1])) from None
        else:  # the root, a scalar
            try:
                self._root = self._plan.root.validate_whole(value)
            except ValidationError as error:
                raise self._located(error, ()) from None
            self._ended = True
            return
        self._put(parent, path, node, result)

    def _put(self, parent: Frame, path: tuple[Any, ...], node: Node, result: Any) -> None:
        """Gives a member that ended to its container."""
        mode = parent.mode
        if mode == SKIP or node.kind == IGNORED:
            return
        key = path[-1]
        if mode == TYPED_OBJECT:
            parent.members[key] = result
            if node.kind != DEFERRED:
                self._log.append((path, result, False))
                name = parent.node.fields[key].name
                parent.attrs[name] = result
                if parent.finished is not None:
                    parent.finished.add(name)
            return
        members = parent.members
        if mode == TYPED_LIST:
            self._log.append((path, result, True))
        elif mode == TYPED_DICT:
            self._log.append((path, result, False))
        if type(members) is list:
            if len(members) > key:
                members[key] = result
            else:
                members.append(result)
        else:
            members[key] = result
            if mode == RAW and key == parent.node.tag_key and parent.node.kind == TAGGED:
                self._resolve(parent, path[:-1], result)

    def _resolve(self, frame: Frame, path: tuple[Any, ...], tag: Any) -> None:
        """The tag of a discriminated union ended: the object is read as the
        member it names from now on, and the members it had are validated."""
        try:
            choice = frame.node.choices.get(tag)
        except TypeError:  # an unhashable tag: the union reports it at the end
            return
        if choice is None:  # no member has this tag: pydantic says so now
            self._validate(frame.node.validate_whole, frame.members, frame.loc)
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
            node = self._child(frame, key)
            if node.kind == DEFERRED or node.kind == IGNORED:
                self._put(frame, (*path, key), node, value)
            else:
                self._put(frame, (*path, key), node, self._validate(node.validate_whole, value, (*frame.inner, key)))
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

    def _validate(self, validate: Any, value: Any, loc: tuple[Any, ...]) -> Any:
        try:
            return validate(value)
        except ValidationError as error:
            raise self._located(error, loc) from None

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

    def _extra_forbidden(self, frame: Frame, key: Any, value: Any) -> ValidationError:
        return ValidationError.from_exception_data(
            self._plan.title, [{"type": "extra_forbidden", "loc": (*frame.inner, key), "input": value}]
        )

    def _not_json(self, error: Exception) -> ValidationError:
        self._error = ValidationError.from_exception_data(
            self._plan.title, [{"type": "json_invalid", "loc": (), "input": self.stream.text, "ctx": {"error": str(error)}}]
        )
        return self._error
