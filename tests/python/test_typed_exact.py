"""TypedStream against pydantic's own validation of the whole text, on models
whose validators are not idempotent (a validator run twice, or on the wrong
input, changes the value), under random chunkings: the final value, every
part shown as final, and every call of every validator with its input."""

import datetime
import decimal
import enum
import itertools
import json
from collections import Counter
from typing import Annotated, Any, Callable, Generic, Literal, Optional, TypeVar, cast

from typing_extensions import TypedDict

import pytest

pydantic = pytest.importorskip("pydantic")
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from pydantic import (  # noqa: E402
    AfterValidator,
    BaseModel,
    ConfigDict,
    Field,
    Json,
    PlainValidator,
    RootModel,
    TypeAdapter,
    ValidationError,
    ValidationInfo,
    WrapValidator,
    create_model,
    field_validator,
    model_validator,
)
from pydantic import dataclasses as pydantic_dataclasses  # noqa: E402

from carrack._typed_schema import plan_of  # noqa: E402
from carrack.typed import TypedStream  # noqa: E402

CALLS: Counter[tuple[str, str]] = Counter()  # (validator, repr of its input)
GENERIC: Any = list, dict  # subscripted with types made at run time
Case = tuple[Any, str, list[str]]
Strategy = st.SearchStrategy[Any]


def counted(name: str, change: Callable[[Any], Any]) -> Callable[[Any], Any]:
    def run(value: Any) -> Any:
        CALLS[name, repr(value)] += 1
        return change(value)

    return run


def counted_wrap(name: str, change: Callable[[Any, Any], Any]) -> Callable[[Any, Any], Any]:
    def run(value: Any, handler: Any) -> Any:
        CALLS[name, repr(value)] += 1
        return change(value, handler)

    return run


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


names = itertools.count()

# A field: its annotation and JSON values for it; each validator changes what it is given.
LEAVES: list[Callable[[str], tuple[Any, Strategy]]] = [
    lambda n: (int, st.integers(-50, 50)),
    lambda n: (Annotated[float, AfterValidator(counted(n, lambda v: v * 3 + 1))], st.integers(-9, 9)),
    lambda n: (Annotated[str, AfterValidator(counted(n, lambda v: v + "!"))], st.text("ab", max_size=3)),
    lambda n: (Annotated[str, PlainValidator(counted(n, lambda v: f"<{v}>"))], st.text("ab", max_size=3)),
    lambda n: (Annotated[str, WrapValidator(counted_wrap(n, lambda v, h: h(v)[::-1]))], st.text("abc", max_size=4)),
    lambda n: (Json[dict[str, int]], st.dictionaries(st.sampled_from("xy"), st.integers(0, 3)).map(json.dumps)),
    lambda n: (
        Annotated[list[str], AfterValidator(counted(n, lambda v: [*v, "+"]))],
        st.lists(st.text("a", max_size=2), max_size=2),
    ),
    lambda n: (Literal["on", "off"], st.sampled_from(["on", "off"])),
    lambda n: (Optional[bool], st.none() | st.booleans()),
    lambda n: (Color, st.sampled_from(["red", "blue"])),
    lambda n: (dict[str, float], st.dictionaries(st.sampled_from("uv"), st.floats(allow_nan=False, allow_infinity=False))),
    lambda n: (Any, st.recursive(st.none() | st.integers() | st.text(max_size=2), lambda x: st.lists(x, max_size=2))),
]


@st.composite
def model_of(draw: st.DrawFn, depth: int) -> tuple[type[BaseModel], Strategy]:
    """A model class with generated fields and validators, and a strategy for its documents."""
    name = f"X{next(names)}"
    annotations: dict[str, Any] = {}
    namespace: dict[str, Any] = {"__annotations__": annotations}
    members: list[tuple[str, Strategy]] = []
    annotation: Any
    for i in range(draw(st.integers(1, 3))):
        field = f"f{i}"
        choice = draw(st.integers(0, len(LEAVES) + (2 if depth < 2 else -1)))
        if choice < len(LEAVES):
            annotation, values = LEAVES[choice](f"{name}.{field}")
        else:
            inner, inner_docs = draw(model_of(depth + 1))
            shape = draw(st.sampled_from(["model", "list", "dict"]))
            if shape == "model":
                annotation, values = inner, inner_docs
            elif shape == "list":
                annotation, values = GENERIC[0][inner], st.lists(inner_docs, max_size=3)
            else:
                annotation = GENERIC[1][str, inner]
                values = st.dictionaries(st.sampled_from("pq"), inner_docs, max_size=2)
        annotations[field] = annotation
        members.append((field, values))
    if draw(st.booleans()):  # a field validator that reads the other fields
        first = members[0][0]

        def seen(cls: Any, value: Any, info: ValidationInfo, _name: str = f"{name}.seen") -> Any:
            CALLS[_name, repr(sorted(info.data))] += 1
            return value

        namespace["seen"] = field_validator(first)(classmethod(seen))
    if draw(st.booleans()):

        def before(cls: Any, data: Any, _name: str = f"{name}.before") -> Any:
            CALLS[_name, repr(data)] += 1
            return {**data, "extra": 1} if isinstance(data, dict) else data

        namespace["before"] = cast(Any, model_validator(mode="before"))(classmethod(before))
    if draw(st.booleans()):

        def after(self: Any, _name: str = f"{name}.after") -> Any:
            CALLS[_name, repr(self)] += 1
            self.__dict__["tally"] = self.__dict__.get("tally", 0) + 1  # not idempotent
            return self

        namespace["after"] = model_validator(mode="after")(after)
    model = type(name, (BaseModel,), namespace)

    @st.composite
    def documents(draw: st.DrawFn) -> dict[str, Any]:
        return {key: draw(values) for key, values in draw(st.permutations(members))}

    return model, documents()


@st.composite
def streamed(draw: st.DrawFn) -> Case:
    """A type, a valid document of it, and the chunks it is fed in."""
    model, docs = draw(model_of(0))
    root = draw(st.sampled_from([model, GENERIC[0][model], GENERIC[1][str, model]]))
    value: Any
    if root is model:
        value = draw(docs)
    elif root == GENERIC[0][model]:
        value = draw(st.lists(docs, max_size=3))
    else:
        value = draw(st.dictionaries(st.sampled_from("mn"), docs, max_size=2))
    text = json.dumps(value, indent=draw(st.sampled_from([None, 1])))
    cuts = sorted(draw(st.sets(st.integers(1, max(1, len(text) - 1)), max_size=12)))
    bounds = [0, *(c for c in cuts if c < len(text)), len(text)]
    return root, text, [text[a:b] for a, b in zip(bounds, bounds[1:])]


def same(shown: Any, final: Any) -> None:
    """Equal, and a model's after-validator tally equal too (== ignores it)."""
    assert shown == final
    if isinstance(final, BaseModel):
        assert shown.__dict__.get("tally") == final.__dict__.get("tally")


def check_shown(shown: Any, final: Any) -> None:
    """Every part that shown presents as final is final's part."""
    if isinstance(final, BaseModel) and isinstance(shown, BaseModel) and shown is not final:
        assert type(shown) is type(final)
        for name in type(final).model_fields:
            part = getattr(shown, name)
            if name in shown.model_fields_set:
                same(part, getattr(final, name))
            elif part is not None:
                check_shown(part, getattr(final, name))
    elif isinstance(final, list) and isinstance(shown, list):
        for part, whole in zip(shown, final):
            if part is not None:
                check_shown(part, whole)
    elif isinstance(final, dict) and isinstance(shown, dict):
        for key, part in shown.items():
            check_shown(part, final[key])


def check_items(got: list[Any], final: Any, text: str, complete: bool = True) -> None:
    """items(()) gave every member of the root once, as final holds it (in
    the order they became final)."""
    if isinstance(final, list):
        if complete:
            assert sorted(map(repr, got)) == sorted(map(repr, final))
        else:
            assert Counter(map(repr, got)) <= Counter(map(repr, final))
        return
    if not complete:
        for key, value in got:
            same(value, getattr(final, key) if isinstance(final, BaseModel) else final[key])
        return
    validators = type(final).__pydantic_decorators__.model_validators.values() if isinstance(final, BaseModel) else ()
    if any(v.info.mode == "before" for v in validators):
        assert got == []  # a model read whole: its members are not followed
        return
    assert sorted(key for key, _ in got) == sorted(json.loads(text))
    for key, value in got:
        same(value, getattr(final, key) if isinstance(final, BaseModel) else final[key])


@settings(max_examples=80, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(streamed())
def test_validators_run_as_pydantic_runs_them_and_shown_parts_are_final(case: Case) -> None:
    root, text, chunks = case
    CALLS.clear()
    final = TypeAdapter(root).validate_json(text)
    whole_calls = Counter(CALLS)
    CALLS.clear()
    stream = TypedStream(root)
    got = []
    for chunk in chunks:
        stream.feed(chunk)
        got += stream.items(())
        shown = stream.partial()
        if shown is not None and not stream.done:
            check_shown(shown, final)
    result = stream.close()
    check_items(got + stream.items(()), final, text)
    same(result, final)
    assert CALLS == whole_calls


# --- The reproductions ---------------------------------------------------------------


class Product(BaseModel):
    price: Annotated[float, AfterValidator(lambda cents: cents / 100)]
    tags: list[str]

    @field_validator("tags")
    @classmethod
    def add_default_tag(cls, v: list[str]) -> list[str]:
        return v + ["catalog"]


class Shout(BaseModel):
    word: Annotated[str, PlainValidator(lambda v: v + "!")]
    back: Annotated[str, WrapValidator(lambda v, h: h(v)[::-1])]
    counts: Json[dict[str, int]]


@pytest.mark.parametrize(
    ("type_", "text"),
    [
        (Product, '{"price": 1250, "tags": ["kitchen"]}'),
        (list[Product], '[{"price": 1250, "tags": ["kitchen"]}, {"price": 5, "tags": []}]'),
        (dict[str, list[Product]], '{"a": [{"price": 1250, "tags": ["kitchen"]}]}'),
        (Shout, '{"word": "hi", "back": "abc", "counts": "{\\"a\\": 1}"}'),
        (list[Shout], '[{"word": "hi", "back": "abc", "counts": "{\\"a\\": 1}"}]'),
    ],
)
def test_the_reproductions_give_pydantics_values(type_: Any, text: str) -> None:
    expected = TypeAdapter(type_).validate_json(text)
    for size in (1, 7, len(text)):
        stream = TypedStream(type_)
        seen: list[Any] = []
        for at in range(0, len(text), size):
            stream.feed(text[at : at + size])
            seen += stream.items(())
        assert stream.partial() == expected
        assert stream.close() == expected
        if isinstance(expected, list):
            assert seen == expected  # each element once, validated once, as it closed


def test_a_reused_element_is_the_instance_close_returns() -> None:
    stream = TypedStream(list[Product])
    stream.feed('[{"price": 1250, "tags": ["kitchen"]}, ')
    (first,) = stream.items(())
    assert first.price == 12.5
    stream.feed('{"price": 5, "tags": []}]')
    assert stream.close()[0] is first


# --- Every kind of validator and container pydantic has ------------------------------


def tally(name: str) -> AfterValidator:
    return AfterValidator(counted(name, lambda v: v * 2 if isinstance(v, (int, float)) else v))


class WithFactory(BaseModel):
    a: Annotated[int, tally("factory.a")]
    b: int = Field(default_factory=lambda data: data["a"] + 1)
    c: Annotated[int, tally("factory.c")] = Field(default=3, validate_default=True)


class Strict(BaseModel):
    model_config = ConfigDict(strict=True)
    when: Annotated[datetime.date, AfterValidator(counted("strict.when", lambda v: v.replace(day=1)))]
    n: Annotated[int, tally("strict.n")]


class Frozen(BaseModel):
    model_config = ConfigDict(frozen=True)
    n: Annotated[int, tally("frozen.n")]


class PostInit(BaseModel):
    n: Annotated[int, tally("post.n")]

    def model_post_init(self, context: Any) -> None:
        CALLS["post_init", repr(self.n)] += 1


Root: Any = RootModel[Annotated[list[Annotated[int, tally("root.item")]], tally("root.list")]]


@pydantic_dataclasses.dataclass
class Point:
    x: Annotated[int, tally("point.x")]
    y: int = 0

    def __post_init__(self) -> None:
        CALLS["point.post", repr(self.x)] += 1


class Typed(TypedDict):
    n: Annotated[int, tally("typed.n")]
    s: str


T = TypeVar("T")


class Box(BaseModel, Generic[T]):
    item: T
    label: Annotated[str, AfterValidator(counted("box.label", lambda v: v + "?"))]


class Tree(BaseModel):
    value: Annotated[int, tally("tree.value")]
    children: list["Tree"] = []


class Wrapped(BaseModel):
    n: int

    @model_validator(mode="wrap")
    @classmethod
    def around(cls, data: Any, handler: Any) -> Any:
        CALLS["wrapped", repr(data)] += 1
        return handler(data)


class Cat(BaseModel):
    kind: Literal["cat"]
    lives: Annotated[int, tally("cat.lives")]


class Dog(BaseModel):
    kind: Literal["dog"]
    name: Annotated[str, AfterValidator(counted("dog.name", str.upper))]


class Extra(BaseModel):
    model_config = ConfigDict(extra="allow")
    n: Annotated[int, tally("extra.n"), Field(alias="N")]


class Priced(BaseModel):
    amount: decimal.Decimal
    n: Annotated[int, tally("priced.n")]


class Always(BaseModel):
    model_config = ConfigDict(revalidate_instances="always")
    n: Annotated[int, tally("always.n")]


class After(BaseModel):
    n: int

    @model_validator(mode="after")
    def check(self) -> "After":
        CALLS["after", repr(self)] += 1
        return self


class Dated(BaseModel):
    when: datetime.date
    product: Product


KINDS = [
    (list[Always], '[{"n": 1}, {"n": 2}]'),
    (list[Priced], '[{"amount": 1.10, "n": 1}, {"amount": 2.500, "n": 2}]'),  # validated as written: 1.10
    (list[WithFactory], '[{"a": 1}, {"a": 2, "b": 7, "c": 5}]'),
    (list[Strict], '[{"when": "2024-05-06", "n": 1}]'),
    (dict[str, Frozen], '{"a": {"n": 1}, "b": {"n": 2}}'),
    (list[PostInit], '[{"n": 1}, {"n": 2}]'),
    (Root, "[1, 2, 3]"),
    (list[Root], "[[1], [2, 3]]"),
    (list[Point], '[{"x": 1}, {"x": 2, "y": 3}]'),
    (list[Typed], '[{"n": 1, "s": "a"}]'),
    (list[Box[Product]], '[{"item": {"price": 100, "tags": []}, "label": "x"}]'),
    (Box[list[Frozen]], '{"label": "l", "item": [{"n": 1}, {"n": 2}]}'),
    (Tree, '{"value": 1, "children": [{"value": 2, "children": [{"value": 3}]}, {"value": 4}]}'),
    (list[Wrapped], '[{"n": 1}, {"n": 2}]'),
    (list[Annotated[Cat | Dog, Field(discriminator="kind")]], '[{"kind": "cat", "lives": 3}, {"name": "rex", "kind": "dog"}]'),
    (list[Cat | Dog], '[{"kind": "cat", "lives": 3}, {"name": "rex", "kind": "dog"}]'),
    (list[Extra], '[{"N": 1, "more": [1, 2]}]'),
]


@pytest.mark.parametrize(("type_", "text"), KINDS)
def test_every_kind_runs_its_validators_as_pydantic_does(type_: Any, text: str) -> None:
    CALLS.clear()
    final = TypeAdapter(type_).validate_json(text)
    whole_calls = Counter(CALLS)
    for size in (1, 5, len(text)):
        CALLS.clear()
        stream = TypedStream(type_)
        got = []
        for at in range(0, len(text), size):
            stream.feed(text[at : at + size])
            got += stream.items(())
            if not stream.done:
                check_shown(stream.partial(), final)
        result = stream.close()
        check_items(got + stream.items(()), final, text, complete=False)
        same(result, final)
        assert repr(result) == repr(final)
        assert CALLS == whole_calls


# The part each member is validated with: on its own when it ends (a part
# without validators, or a model pydantic passes through), or with the whole text.
@pytest.mark.parametrize(
    ("type_", "text", "end", "early", "late"),
    [
        (list[Product], '[{"price": 1, "tags": []}, {"price": 2, "tags": []}', "]", 2, 0),  # passed through
        (list[Box[int]], '[{"item": 1, "label": "a"}, {"item": 2, "label": "b"}', "]", 2, 0),
        (list[Frozen], '[{"n": 1}, {"n": 2}', "]", 2, 0),
        (list[Always], '[{"n": 1}, {"n": 2}', "]", 0, 2),  # revalidated: validated with the whole
        (list[After], '[{"n": 1}, {"n": 2}', "]", 0, 2),  # its after-validator would run on the instance again
        (list[Annotated[Product, AfterValidator(lambda p: p)]], '[{"price": 1, "tags": []}', "]", 0, 1),
        (list[Dated], '[{"when": "2024-01-01", "product": {"price": 1, "tags": []}}', "]", 1, 0),
        (Dated, '{"when": "2024-01-01", "product": {"price": 1, "tags": []}', "}", 1, 1),  # a date next to it
        (Tree, '{"value": 1, "children": [{"value": 2}]', "}", 0, 2),  # fields with validators: with the root
    ],
)
def test_which_parts_are_final_before_the_root_ends(type_: Any, text: str, end: str, early: int, late: int) -> None:
    stream = TypedStream(type_)
    stream.feed(text)
    assert len(stream.items(())) == early
    stream.feed(end)
    assert len(stream.items(())) == late


class Order(BaseModel):
    items: list[Product]
    note: Annotated[str, AfterValidator(counted("order.note", lambda v: v if v != "bad" else 1 / 0))] = ""
    count: int = 0


class Picky(BaseModel):
    n: int

    @model_validator(mode="after")
    def positive(self) -> "Picky":
        if self.n < 0:
            raise ValueError("negative")
        return self


# Documents that fail in a part validated on its own, in a container given its
# members in Python mode, or in the whole text: pydantic's errors, from the chunk
# that ends the failing part.
@pytest.mark.parametrize(
    ("type_", "marked"),
    [
        (list[Product], '[{"price": 1, "tags": []}, {"price": "x", "tags": []}‸]'),  # a reused model
        (list[Product], '[{"price": 1, "tags": [1]‸}]'),  # a part without validators, at its end
        (Order, '{"items": [{"price": 1, "tags": []}], "count": "many"‸}'),
        (Order, '{"items": [{"price": 1, "tags": []}], "note": "bad"}‸'),  # the root, from its members
        (list[Order], '[{"items": [], "note": "x"}, {"note": "bad"}‸]'),  # an exception of the user's
        (list[Picky], '[{"n": 1}, {"n": -1}]‸'),  # with the whole text
        (dict[str, Order], '{"a": {"items": [{"tags": []}‸]}}'),  # a required field
    ],
)
def test_a_failing_part_fails_as_in_the_whole_text(type_: Any, marked: str) -> None:
    text = marked.replace("‸", "")
    with pytest.raises((ValidationError, ZeroDivisionError)) as whole:
        TypeAdapter(type_).validate_json(text)
    stream = TypedStream(type_)
    with pytest.raises((ValidationError, ZeroDivisionError)) as streamed:
        for at, char in enumerate(text):
            stream.feed(char)
    assert at + 1 == marked.index("‸")
    if isinstance(whole.value, ValidationError):
        assert isinstance(streamed.value, ValidationError)
        got = [(e["type"], e["loc"]) for e in streamed.value.errors()]
        assert got == [(e["type"], e["loc"]) for e in whole.value.errors()][: len(got)]
    else:
        assert type(streamed.value) is type(whole.value)
    with pytest.raises(type(streamed.value)) as again:  # failed for good
        stream.partial()
    assert again.value is streamed.value


def test_a_type_with_more_paths_than_the_stream_selects_reads_everything() -> None:
    make: Any = create_model
    inner = make("Inner", v=(Annotated[int, tally("inner.v")], 0), **{f"i{n}": (int, 0) for n in range(40)})
    mid = make("Mid", **{f"f{n}": (Optional[inner], None) for n in range(60)})
    type_ = GENERIC[0][mid]
    assert plan_of(type_).selection is None  # every event: ignored keys too
    text = '[{"zzz": {"q": [1, "a"]}, "f0": {"v": 2, "xx": {}}, "f1": null}, {"f2": {"v": 3}}]'
    CALLS.clear()
    final = TypeAdapter(type_).validate_json(text)
    whole_calls = Counter(CALLS)
    CALLS.clear()
    stream = TypedStream(type_)
    got = []
    for char in text:
        stream.feed(char)
        got += stream.items(())
    assert stream.close() == final and got == final and CALLS == whole_calls


class Knot(BaseModel):
    n: int
    kids: list["Knot"] = []

    @model_validator(mode="after")
    def seen(self, info: ValidationInfo) -> "Knot":
        CALLS["knot", info.mode] += 1  # "python" would say it was given its members in Python mode
        return self


def test_a_recursive_model_with_nothing_to_reuse_is_validated_from_its_text() -> None:
    text = '[{"n": 1, "kids": [{"n": 2}]}, {"n": 3}]'
    CALLS.clear()
    final = TypeAdapter(list[Knot]).validate_json(text)
    whole_calls = Counter(CALLS)
    CALLS.clear()
    stream = TypedStream(list[Knot])
    stream.feed(text)
    assert stream.close() == final and CALLS == whole_calls
