"""What a pydantic type's core schema tells a typed stream: which values it
follows member by member, which it validates whole, which parts it may
validate before the whole document, and which it may reuse.

Two facts about pydantic carry the design, and both are public behaviour,
checked against every supported version by the tests:

- a schema that holds no function of the user's (no validator, default
  factory, ``__init__`` or ``model_post_init``) is a pure function of its
  input, so validating a part of it on its own, as often as is useful, shows
  the value that the whole document's validation gives that part, and nobody
  can tell how often it ran;
- a model instance given where its class is expected, under
  ``revalidate_instances="never"`` (the default) and with no validator around
  the class, is taken as it is: none of its validators runs again.

Everything else is validated exactly once, by pydantic, in one piece: the
whole document's text, or a part's own text, or (to reuse the instances above)
a container's members in Python mode, where the members are kinds whose
Python-mode validation of decoded JSON is their JSON-mode validation.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any, Callable, Iterable

from pydantic import TypeAdapter
from pydantic_core import SchemaValidator

from carrack._stream import ANY

# What a schema node is to the reader.
WHOLE = 0  # validated whole when it ends: scalars, unions, custom validators
OBJECT = 1  # a model, dataclass or TypedDict: its fields are followed
LIST = 2  # list[X]: its elements are followed
DICT = 3  # dict[str, X]: its values are followed
TAGGED = 4  # a discriminated union: untyped until its tag ends
IGNORED = 5  # a key that extra="ignore" drops
UNTYPED = 6  # inside an object whose union member is not known yet

# What a frame keeps of its members for pydantic: nothing; what its container
# is to be given in Python mode (decoded JSON and reused instances); their
# validated values.
NOTHING, GIVEN, FINAL = range(3)
# Wrappers that hand a value given to them on to the schema inside; an
# after-validator runs once the inside has succeeded, so it rescues nothing.
WRAPPERS = frozenset({"default", "nullable", "function-after"})
# Leaves whose Python-mode validation of a decoded JSON value, in lax mode, is
# the JSON mode's (a number's spelling aside: hence no Decimal).
PYTHON_SAFE = frozenset({"str", "int", "float", "bool", "none", "any", "literal", "enum"})
# Keys of a schema that hold no validation: serializers, JSON-schema hooks.
NOT_VALIDATION = frozenset({"serialization", "metadata", "ref", "cls", "generic_origin", "members", "sub_type"})
# Whether JSON mode reads an integer past a float's range as infinite, where
# Python mode refuses it (pydantic 2.12 on; 2.11 refuses it in both).
try:
    HUGE_IS_INFINITE = SchemaValidator({"type": "float"}).validate_json("1" * 400) == math.inf
except ValueError:
    HUGE_IS_INFINITE = False
# Patterns past this many make the selection "everything".
MAX_PATTERNS = 2000


class Field:
    """A member of an object node: its attribute name and its node."""

    __slots__ = ("name", "node")

    def __init__(self, name: str, node: Node) -> None:
        self.name = name
        self.node = node


class Node:
    """One node of the core schema, as the reader follows it: what kind of
    value it is, its members' nodes, what the text can rule out early, and its
    validators, built on first use."""

    __slots__ = (
        "kind",
        "schema",
        "config",
        "plan",
        "core",
        "chain",
        "pure",
        "shows_text",
        "text_choices",
        "text_run",
        "text_most",
        "text_least",
        "max_length",
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
        "checks_text",
        "floats",
        "_keeps",
        "_json",
        "_python",
        "_check",
    )

    def __init__(self, kind: int, schema: Any, config: Any, plan: Plan) -> None:
        self.kind = kind
        self.schema = schema
        self.config = config
        self.plan = plan
        self.core: Any = None
        self.chain: tuple[str, ...] = ()  # the wrapper kinds around the core
        self.pure = True
        self.shows_text = False  # an open string is shown as it grows
        self.text_choices: tuple[str, ...] | None = None  # the strings a Literal or enum allows
        self.text_run: re.Pattern[str] | None = None  # the characters a pattern of one class allows
        self.text_most: int | None = None  # and how many
        self.text_least = 0
        self.max_length: int | None = None  # of a str, list or dict, checked as it grows
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
        self.checks_text = False  # a string of it is checked as it grows
        self.floats = False  # a float: an integer past its range is infinite, as in JSON mode
        self._keeps: tuple[int, int, int, bool] | None = None
        self._json: Callable[[Any], Any] | None = None
        self._python: Callable[[Any], Any] | None = None
        self._check: Callable[[str], Any] | None = None

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

    def children(self) -> list[Node]:
        if self.kind == OBJECT:
            out = [field.node for field in self.fields.values()]
            return out + [self.extra_node] if self.extra_node is not None else out
        if self.kind in (LIST, DICT):
            assert self.item is not None
            return [self.item]
        if self.kind == TAGGED:
            return list(self.choices.values())
        return []

    @property
    def keeps(self) -> tuple[int, int, int, bool]:
        """What an object, list or dict of this node keeps of its members (see
        Plan.keeps), decided once."""
        keeps = self._keeps
        if keeps is None:
            keeps = self._keeps = self.plan.keeps(self)
        return keeps

    def widened(self, value: Any) -> Any:
        """A decoded integer as a float's JSON mode reads it: past the float
        range it is infinite, where Python mode refuses it."""
        if self.floats and type(value) is int:
            try:
                float(value)
            except OverflowError:
                return math.inf if value > 0 else -math.inf
        return value

    def validate(self, value: Any) -> Any:
        """A decoded JSON value validated by this node's whole schema as
        validate_json validates its text (Python mode where the two agree)."""
        value = self.widened(value)
        validate = self._json
        if validate is None:
            validator = self.plan.validator(self.schema, self.config)
            if self.python_mode:
                validate = validator.validate_python
            else:
                from_json = validator.validate_json
                validate = lambda value: from_json(to_json(value))  # noqa: E731
            self._json = validate
        return validate(value)

    def check(self, value: Any) -> None:
        """A decoded JSON value validated by the schema under the wrappers
        only, for its error: an after-validator around it runs no code of
        the user's on a value that passes (a prefix a python-re pattern
        takes, say), and fails alike on one that does not."""
        check = self._check
        if check is None:
            check = self._check = self.plan.validator(self.core, self.config).validate_json
        check(to_json(value))

    def assemble(self, members: Any) -> Any:
        """Members given in Python mode: decoded JSON and reused instances."""
        validate = self._python
        if validate is None:
            validate = self._python = self.plan.validator(self.schema, self.config).validate_python
        return validate(members)


def to_json(value: Any) -> str:
    """The JSON text of a decoded value, for validating it in JSON mode: the
    text as written but for the spelling of numbers (1.10 is written 1.1,
    which only a Decimal tells apart)."""
    return json.dumps(value)


# A pattern that is one character class repeated, anchored at both ends: any
# prefix holding a character outside the class, or too many, can never match.
ONE_CLASS = re.compile(r"\^(\[(?:\\.|[^\]\\\[])+\]|\\[dw])(?:(\+|\*)|\{(\d+)(?:(,)(\d*))?\})\$")


def one_class(pattern: Any) -> tuple[re.Pattern[str] | None, int, int | None]:
    """For a pattern like ^[0-9]+$ or ^[a-z_]{3,16}$: a regex of the runs of
    characters it may allow (Python's reading of the class, which pydantic's
    engine confirms per character), and the fewest and most it allows."""
    if not isinstance(pattern, str):
        pattern = getattr(pattern, "pattern", None)
    match = ONE_CLASS.fullmatch(pattern) if isinstance(pattern, str) else None
    if match is None or any(op in match[1] for op in ("&&", "--", "~~", "[:")):
        return None, 0, None  # set operations and named classes read otherwise in the two engines
    try:
        run = re.compile(f"{match[1]}*")
    except re.error:
        return None, 0, None
    least = 1 if match[2] == "+" else 0 if match[2] else int(match[3])
    most = None if match[2] or match[4] and not match[5] else int(match[5] or match[3])
    return run, least, most


def paths(alias: Any) -> list[list[Any]]:
    """A validation alias as pydantic's core schema has it, as a list of paths."""
    if isinstance(alias, str):
        return [[alias]]
    if alias and not isinstance(alias[0], list):
        return [alias]
    return list(alias)


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
        self._pure: dict[int, bool] = {}
        self._spelled: dict[int, bool] = {}
        self._memo: dict[tuple[str, int], bool] = {}
        self._open: set[tuple[str, int]] = set()  # properties being computed
        self._leaned: set[tuple[str, int]] = set()  # and assumed meanwhile
        self._made: list[tuple[str, int]] = []  # properties computed, in order
        self.ignored = Node(IGNORED, None, None, self)
        self.untyped = Node(UNTYPED, None, None, self)
        self.ignored.pure = self.untyped.pure = False  # never validated on their own
        self.forbids = False
        self.root = self.node(schema, None)
        self.selection = self._selection()
        # The root's members are given to it in Python mode, reusing the instances
        # validated as they ended, only where that reuse spares a user's validator.
        self.assembles = self.assembling(self.root)
        # Every node's keeping, decided now: streams of the type share the plan,
        # perhaps from several threads, and the fixpoints above are not for sharing.
        for node in list(self._nodes.values()):
            node._keeps = self.keeps(node)

    # -- compiling nodes

    def resolve(self, schema: Any) -> Any:
        while schema["type"] == "definition-ref":
            schema = self.refs[schema["schema_ref"]]
        return schema

    def unwrap(self, schema: Any) -> tuple[Any, tuple[str, ...]]:
        """The schema under the wrappers that pass a value through to it, and
        the wrappers' kinds. A default that swallows errors is no wrapper."""
        chain: list[str] = []
        schema = self.resolve(schema)
        while schema["type"] in WRAPPERS and schema.get("on_error", "raise") == "raise":
            chain.append(schema["type"])
            schema = self.resolve(schema["schema"])
        return schema, tuple(chain)

    def node(self, schema: Any, config: Any) -> Node:
        key = (id(schema), id(config))
        known = self._nodes.get(key)
        if known is not None:
            return known
        self._keep.append((schema, config))
        core, chain = self.unwrap(schema)
        kind = self._kind(core, config)
        node = Node(kind, schema, config, self)
        node.core, node.chain = core, chain
        node.pure = self.pure(schema)
        self._nodes[key] = node  # before the members, so that recursion finds it
        strict = bool(core.get("strict") or (config or {}).get("strict"))
        if kind == OBJECT:
            self._object(node, core)
        elif kind == LIST:
            node.item = self.node(core["items_schema"], config)
            node.max_length = core.get("max_length")
        elif kind == DICT:
            node.item = self.node(core.get("values_schema") or {"type": "any"}, config)
            # Keys that validate to other strings may merge ({"A", "a"} lowered):
            # only the whole dict tells its length then.
            keys = core.get("keys_schema") or {}
            if not any(keys.get(k) or (config or {}).get(f"str_{k}") for k in ("strip_whitespace", "to_lower", "to_upper")):
                node.max_length = core.get("max_length")
        elif kind == TAGGED:
            node.tag_key = core["discriminator"]
            node.choices = {tag: self.node(choice, config) for tag, choice in core["choices"].items()}
        else:
            bare = core if "function-after" not in chain else None
            node.shows_text = core["type"] == "str"
            node.python_mode = bare is not None and bare["type"] in PYTHON_SAFE and not strict and not bare.get("missing")
            settings = config or {}
            if core["type"] == "str" and not core.get("strip_whitespace") and not settings.get("str_strip_whitespace"):
                node.max_length = core.get("max_length")
                changes_case = core.get("to_lower") or core.get("to_upper") or settings.get("str_to_lower") or settings.get("str_to_upper")
                if core.get("pattern") and not changes_case:
                    node.text_run, node.text_least, node.text_most = one_class(core["pattern"])
            node.text_choices = self._text_choices(core)
            node.floats = HUGE_IS_INFINITE and core["type"] == "float"
            node.checks_text = node.max_length is not None or node.text_choices is not None or node.text_run is not None
        return node

    @staticmethod
    def _text_choices(core: Any) -> tuple[str, ...] | None:
        """The strings a Literal of strings, or an enum of str values, takes:
        a string that starts no one of them can fail at the character that
        says so."""
        if core["type"] == "literal":
            expected = core["expected"]
            if expected and all(type(e) is str for e in expected):
                return tuple(expected)
        elif core["type"] == "enum" and core.get("missing") is None:
            values = tuple(member.value for member in core["members"])
            if values and all(type(v) is str for v in values):
                return values
        return None

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
                return WHOLE
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
            extras = inner.get("extras_schema")
        elif kind == "dataclass":
            node.cls, node.build = core["cls"], "dataclass"
            inner = core["schema"]
            named = [(f["name"], f) for f in inner["fields"]]
            extra = inner.get("extra_behavior") or settings.get("extra_fields_behavior") or "ignore"
            extras = None
        else:
            node.build = "typed-dict"
            named = list(core["fields"].items())
            extra = core.get("extra_behavior") or settings.get("extra_fields_behavior") or "ignore"
            extras = core.get("extras_schema")
        by_alias = settings.get("validate_by_alias", True)
        by_name = settings.get("validate_by_name", False) or settings.get("populate_by_name", False)
        node.names = tuple(name for name, _ in named)
        node.extra = extra
        if extra == "forbid":
            self.forbids = True
        if extra == "allow":
            node.extra_node = self.node(extras or {"type": "any"}, config)
        # Aliases first: pydantic looks a field up by its alias before its name,
        # so a key that is one field's alias and another's name is the first's.
        by_name_keys: list[tuple[str, Field]] = []
        for name, field in named:
            member = Field(name, self.node(field["schema"], config))
            alias = field.get("validation_alias")
            if alias is not None and by_alias:
                for path in paths(alias):
                    node.fields.setdefault(path[0], member)
            if alias is None or by_name:
                by_name_keys.append((name, member))
        for key, member in by_name_keys:
            node.fields.setdefault(key, member)

    # -- what may be validated early, and what reused

    def pure(self, schema: Any) -> bool:
        """Whether validating by schema runs none of the user's code."""
        key = id(schema)
        known = self._pure.get(key)
        if known is not None:
            return known
        self._pure[key] = True  # a recursive reference is as pure as the rest
        result = self._pure_walk(schema)
        self._pure[key] = result
        return result

    def _pure_walk(self, part: Any) -> bool:
        if isinstance(part, dict):
            kind = part.get("type")
            if kind == "definition-ref":
                return self.pure(self.refs[part["schema_ref"]])
            if part.get("custom_init") or part.get("post_init") or (kind == "enum" and part.get("missing")):
                return False
            if kind in ("is-instance", "is-subclass", "call"):
                return False  # a metaclass's __instancecheck__, a function's arguments
            for key, value in part.items():
                if key in NOT_VALIDATION:
                    continue
                if callable(value) and not isinstance(value, type):
                    return False  # a validator, a default factory, a custom error's callable
                if isinstance(value, (dict, list, tuple)) and not self._pure_walk(value):
                    return False
            return True
        if isinstance(part, (list, tuple)):
            return all(self._pure_walk(v) for v in part)
        return True

    def spelled(self, schema: Any) -> bool:
        """Whether a value of the schema tells numbers apart by their spelling
        (a Decimal keeps 1.10's trailing zero), so that re-encoding its JSON
        would change it."""
        key = id(schema)
        known = self._spelled.get(key)
        if known is not None:
            return known
        self._spelled[key] = False
        result = self._spelled_walk(schema)
        self._spelled[key] = result
        return result

    def _spelled_walk(self, part: Any) -> bool:
        if isinstance(part, dict):
            if part.get("type") == "decimal":
                return True
            if part.get("type") == "definition-ref":
                return self.spelled(self.refs[part["schema_ref"]])
            return any(
                self._spelled_walk(value)
                for key, value in part.items()
                if key not in NOT_VALIDATION and isinstance(value, (dict, list, tuple))
            )
        if isinstance(part, (list, tuple)):
            return any(self._spelled_walk(v) for v in part)
        return False

    def _strict(self, node: Node) -> bool:
        config = node.core.get("config") or node.config or {}
        return bool(node.core.get("strict") or config.get("strict") or (node.config or {}).get("strict"))

    def reusable(self, node: Node) -> bool:
        """A model whose validated instance its container takes as it is: no
        validator around the class, instances not revalidated (and no Decimal
        inside, which its re-encoded JSON would spell otherwise)."""
        if node.core is None or node.core["type"] != "model" or "function-after" in node.chain:
            return False
        if self.spelled(node.schema):
            return False
        config = node.core.get("config") or {}
        revalidate = node.core.get("revalidate_instances") or config.get("revalidate_instances") or "never"
        return bool(revalidate == "never")

    def _level_safe(self, node: Node) -> bool:
        """Whether this level (the container, its wrappers), given its members
        in Python mode, validates as in JSON mode."""
        if node.kind == OBJECT:
            return node.build in ("model", "typed-dict") and not self._strict(node)
        return node.kind in (LIST, DICT) and not self._strict(node)

    def _memoized(self, name: str, node: Node, compute: Callable[[], bool], assume: bool = True) -> bool:
        """A property of a node, computed once. A recursive type reaches a node
        whose property is being computed: it is assumed (True for "every
        member is", False for "some member is"); if the node's property turns
        out otherwise, what was computed meanwhile leaned on a wrong assumption
        and is forgotten, to be computed again."""
        key = (name, id(node))
        known = self._memo.get(key)
        if known is not None:
            if key in self._open:
                self._leaned.add(key)
            return known
        self._memo[key] = assume
        self._open.add(key)
        mark = len(self._made)
        result = compute()
        self._open.discard(key)
        if result != assume and key in self._leaned:
            for made in self._made[mark:]:
                self._memo.pop(made, None)
            del self._made[mark:]
        self._memo[key] = result
        self._made.append(key)
        return result

    def python_safe(self, node: Node) -> bool:
        """Whether the decoded JSON of the node, validated in Python mode, gives
        what its text gives in JSON mode."""

        def compute() -> bool:
            if node.kind == WHOLE:
                return node.core["type"] in PYTHON_SAFE and not self._strict(node) and node.core.get("missing") is None
            if node.kind == TAGGED:
                return all(self.python_safe(choice) for choice in node.choices.values())
            return self._level_safe(node) and all(self.python_safe(child) for child in node.children())

        return self._memoized("safe", node, compute)

    def assemblable(self, node: Node) -> bool:
        """Whether the node can be given to its container in Python mode: a
        reusable instance, decoded JSON that validates alike, or members that do."""

        def compute() -> bool:
            if self.reusable(node) or self.python_safe(node):
                return True
            return self._level_safe(node) and all(self.assemblable(child) for child in node.children())

        return self._memoized("assemblable", node, compute)

    def gains(self, node: Node) -> bool:
        """Whether reusing instances below the node spares a validator of the user's."""

        def compute() -> bool:
            if self.reusable(node) and not node.pure:
                return True
            return self._level_safe(node) and any(self.gains(child) for child in node.children())

        return self._memoized("gains", node, compute, assume=False)

    def from_final(self, node: Node) -> bool:
        """Whether a part that runs none of the user's code can be validated
        in Python mode from its members' validated values: reused instances,
        and leaves whose validated value validates to itself."""

        def compute() -> bool:
            if not node.pure or not self._level_safe(node):
                return False
            return all(
                self.reusable(child) or (child.kind == WHOLE and self.python_safe(child)) or self.from_final(child)
                for child in node.children()
            )

        return self._memoized("final", node, compute)

    def assembling(self, node: Node) -> bool:
        """Whether the node's members are kept and given to it in Python mode,
        so that the instances validated below it are reused."""
        return (
            self._level_safe(node)
            and all(self.assemblable(child) for child in node.children())
            and any(self.gains(child) for child in node.children())
        )

    def keeps(self, node: Node) -> tuple[int, int, int, bool]:
        """What a frame of the node keeps of its members: under a container
        that keeps nothing or validated values; as a reusable model in a
        container given its members; as another member of one; and whether
        it is such a reusable model."""
        final = FINAL if self.from_final(node) else NOTHING
        reusable = self.reusable(node)
        given = GIVEN if self.gains(node) or not self.python_safe(node) else final
        return final, GIVEN if self.assembling(node) else final, given, reusable

    # -- validators

    def validator(self, schema: Any, config: Any) -> SchemaValidator:
        if self.definitions:
            schema = {"type": "definitions", "schema": schema, "definitions": self.definitions}
        return SchemaValidator(schema, config)

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
                    add(node.extra_node, (*prefix, ANY))
                elif node.extra == "forbid":
                    # An unknown key must give an event: a chunk may write
                    # the key and its whole value, past any check between feeds.
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
