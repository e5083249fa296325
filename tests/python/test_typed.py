"""TypedStream: generated models streamed under random chunkings against
pydantic's validation of the whole document, invalid documents failing at the
chunk that closes the offending part, and what partial() shows."""

import dataclasses
import datetime
import enum
import itertools
import json
from collections import Counter
from typing import Annotated, Any, Literal, Optional, Union

import pytest

pydantic = pytest.importorskip("pydantic")
# pydantic reads a TypedDict's bases from typing_extensions' class before 3.12
from typing_extensions import TypedDict  # noqa: E402
from hypothesis import HealthCheck, given, settings  # noqa: E402
from hypothesis import strategies as st  # noqa: E402
from pydantic import (  # noqa: E402
    AfterValidator,
    AliasChoices,
    BaseModel,
    ConfigDict,
    Field,
    TypeAdapter,
    ValidationError,
    ValidationInfo,
    create_model,
    field_validator,
    model_validator,
)

from pydantic_core import PydanticCustomError  # noqa: E402

from carrack import ANY  # noqa: E402
from carrack.typed import TypedStream  # noqa: E402

CALLS: Counter[str] = Counter()
GENERIC: Any = list  # subscripted with types made at run time
Strategy = st.SearchStrategy[Any]


class Counted(BaseModel):
    """Counts every field validator and model validator call."""

    @field_validator("*")
    @classmethod
    def _field(cls, value: Any) -> Any:
        CALLS[cls.__name__ + ".field"] += 1
        return value

    @model_validator(mode="after")
    def _model(self) -> Any:
        CALLS[type(self).__name__] += 1
        return self


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


# --- Generated models and documents ------------------------------------------------

names = itertools.count()
SCALARS = [
    (int, st.integers(-(10**12), 10**12)),
    (float, st.floats(allow_nan=False, allow_infinity=False)),
    (str, st.text(max_size=6)),
    (bool, st.booleans()),
    (datetime.date, st.dates().map(datetime.date.isoformat)),
    (Color, st.sampled_from(["red", "blue"])),
    (Literal["x", "y"], st.sampled_from(["x", "y"])),
]


def model_of(draw: st.DrawFn, depth: int, tag: str | None = None) -> tuple[Any, Strategy]:
    """A model class with generated fields, and a strategy for its documents."""
    fields: dict[str, Any] = {}
    members: list[tuple[str, Any, bool]] = []  # key, value strategy, may be left out
    if tag is not None:
        fields["kind"] = (Literal[tag], ...)
        members.append(("kind", st.just(tag), False))
    for i in range(draw(st.integers(0 if tag else 1, 3))):
        annotation, values = draw(kinds(depth + 1))
        key = name = f"f{i}"
        how = draw(st.sampled_from(["required", "optional", "default", "alias"]))
        if how == "alias":
            key = f"F-{i}"
            fields[name] = (annotation, Field(alias=key))
        elif how == "optional":
            fields[name] = (Optional[annotation], None)
            values = st.none() | values
        elif how == "default":
            fields[name] = (annotation, Field(default_factory=lambda: None))
        else:
            fields[name] = (annotation, ...)
        members.append((key, values, how in ("optional", "default")))
    extra: Literal["ignore", "forbid", "allow"] = draw(st.sampled_from(["ignore", "forbid", "allow"]))
    model = create_model(f"M{next(names)}", __base__=Counted, __config__=None, **fields)
    model.model_config["extra"] = extra
    model.model_config["strict"] = draw(st.booleans())  # JSON's strict mode takes what Python's would not
    model.model_rebuild(force=True)

    @st.composite
    def documents(draw: st.DrawFn) -> dict[str, Any]:
        out = {}
        for key, values, optional in draw(st.permutations(members)):
            if not optional or draw(st.booleans()):
                out[key] = draw(values)
        return out

    return model, documents()


@st.composite
def kinds(draw: st.DrawFn, depth: int = 0) -> tuple[Any, Strategy]:
    """A type and a strategy for JSON values of it."""
    choice = draw(st.integers(0, 9 if depth < 3 else 6))
    if choice <= 6:
        return SCALARS[choice]
    if choice == 7:
        annotation, values = draw(kinds(depth + 1))
        return GENERIC[annotation], st.lists(values, max_size=3)
    if choice == 8:
        return model_of(draw, depth)
    a, a_docs = model_of(draw, depth, tag="a")
    b, b_docs = model_of(draw, depth, tag="b")
    return Annotated[Union[a, b], Field(discriminator="kind")], a_docs | b_docs


@st.composite
def streamed(draw: st.DrawFn) -> tuple[Any, str, list[str]]:
    """A model, a valid document of it, and the chunks it is fed in."""
    model, docs = model_of(draw, 0)
    root = draw(st.sampled_from([model, GENERIC[model]]))
    value = draw(docs) if root is model else draw(st.lists(docs, max_size=3))
    text = json.dumps(value, ensure_ascii=draw(st.booleans()), indent=draw(st.sampled_from([None, 1])))
    cuts = sorted(draw(st.sets(st.integers(1, max(1, len(text) - 1)), max_size=15)))
    bounds = [0, *(c for c in cuts if c < len(text)), len(text)]
    return root, text, [text[a:b] for a, b in zip(bounds, bounds[1:])]


def check_final(shown: Any, final: Any) -> None:
    """Everything that shown presents as final (a model's model_fields_set)
    equals final; a field not shown is None."""
    if isinstance(shown, dict) and not isinstance(final, dict):
        return  # a union member not yet known: shown untyped
    if isinstance(final, BaseModel) and shown is not final:
        assert type(shown) is type(final)
        for name in type(final).model_fields:
            part = getattr(shown, name)
            if name in shown.model_fields_set:
                assert part == getattr(final, name), name
            elif part is not None:
                check_final(part, getattr(final, name))
    elif isinstance(final, list) and isinstance(shown, list):
        for part, whole in zip(shown, final):
            if part is not None:
                check_final(part, whole)


@settings(max_examples=120, deadline=None, suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large])
@given(streamed())
def test_streamed_documents_match_the_whole_validation(case: tuple[Any, str, list[str]]) -> None:
    root, text, chunks = case
    adapter = TypeAdapter(root)
    CALLS.clear()
    final = adapter.validate_json(text)
    whole_calls = Counter(CALLS)
    CALLS.clear()
    stream = TypedStream(root)
    for chunk in chunks:
        stream.feed(chunk)
        shown = stream.partial()
        if stream.done:
            assert shown == final
        elif shown is not None:
            check_final(shown, final)
    assert stream.close() == final
    assert CALLS == whole_calls  # each part validated once, as the whole document is


# --- Invalid documents ---------------------------------------------------------------


class Cat(BaseModel):
    kind: Literal["cat"]
    lives: int = 9


class Dog(BaseModel):
    model_config = ConfigDict(extra="forbid")
    kind: Literal["dog"]
    name: str


class Step(BaseModel):
    model_config = ConfigDict(extra="forbid")
    title: str
    minutes: int = 0
    pet: Annotated[Union[Cat, Dog], Field(discriminator="kind")] | None = None


class Report(BaseModel):
    name: str = Field(max_length=10)
    due: datetime.date | None = None
    steps: list[Step] = []


# ‸ follows the character that rules the document out: the error comes with it.
INVALID = [
    '{"name": "a very long‸ name", "steps": []}',  # a string too long: at the character too many
    '{"name": "x", "due": "2024-13-01"‸}',  # not a date
    '{"name": "x", "steps": [{"title": "t", "minutes": 1.5,‸ "pet": null}]}',  # a number ends at the next character
    '{"name": "x", "steps": [{"title": "t"}, {"minutes": 1}‸]}',  # a required field missing
    '{"name": "x", "steps": [{"title": "t", "bogus"‸: 1}]}',  # extra="forbid": at the key
    '{"name": "x", "steps": [{"title": "t", "pet": {"kind": "cow"‸, "x": 1}}]}',  # an unknown tag
    '{"name": "x", "steps": [{"title": "t", "pet": {"name": "Rex", "age": 3, "kind": "dog"‸}}]}',  # a key known bad once the tag is
    '{"name": "x", "steps": [{"title": "t", "pet": {"lives": "many", "kind": "cat"‸}}]}',  # known once the tag is
    '{"name": "x", "steps": [{"title": "t", "pet": {"lives": 1}‸}]}',  # no tag at all
    '{"name": "x", "steps": {‸}}',  # an object for a list: at its first character
    '{"name": "x", "steps": [1]‸}',  # a number for a model
]


@pytest.mark.parametrize("marked", INVALID)
def test_an_invalid_part_fails_at_the_chunk_that_closes_it(marked: str) -> None:
    text = marked.replace("‸", "")
    with pytest.raises(ValidationError) as whole:
        TypeAdapter(Report).validate_json(text)
    stream = TypedStream(Report)
    with pytest.raises(ValidationError) as streamed:
        for at, char in enumerate(text):
            stream.feed(char)
    assert at + 1 == marked.index("‸")
    assert [(e["type"], e["loc"]) for e in streamed.value.errors()] == [
        (e["type"], e["loc"]) for e in whole.value.errors()
    ]
    assert streamed.value.title == whole.value.title
    for call in (lambda: stream.feed(" "), stream.partial, stream.close):  # failed for good
        with pytest.raises(ValidationError) as again:
            call()
        assert again.value is streamed.value


@pytest.mark.parametrize(
    "text",
    [
        '{"name": "x"',  # cut short
        '{"name": "x"} {}',  # a second value
        '{"name": "x\u0001"}',  # a raw control character, which json reads and pydantic does not
        '{"name": nul}',
    ],
)
def test_text_that_is_not_one_json_value_fails_as_pydantic_says(text: str) -> None:
    with pytest.raises(ValidationError) as whole:
        TypeAdapter(Report).validate_json(text)
    stream = TypedStream(Report)
    with pytest.raises(ValidationError) as streamed:
        for char in text:
            stream.feed(char)
        stream.close()
    assert [e["type"] for e in streamed.value.errors()] == [e["type"] for e in whole.value.errors()] == ["json_invalid"]


# --- What partial() and items() show ----------------------------------------------------


def fed(stream: TypedStream[Any], text: str) -> Any:
    for char in text:
        stream.feed(char)
    return stream.partial()


@dataclasses.dataclass
class Point:
    x: int
    label: str = ""


class Box(TypedDict):
    size: int
    label: str


def partial_model(cls: type[BaseModel], finished: set[str], **shown: Any) -> Any:
    """An open model as partial() shows it: finished fields set, the rest None."""
    return cls.model_construct(_fields_set=finished, **(dict.fromkeys(cls.model_fields) | shown))


@pytest.mark.parametrize(
    ("type_", "text", "shown"),
    [
        # fields not yet finished are None, not their defaults: a default would flicker
        (Report, '{"name": "We', partial_model(Report, set(), name="We")),
        (Report, '{"name": "Weekly", "due": "2024-0', partial_model(Report, {"name"}, name="Weekly")),
        (Report, '{"steps": [{"title": "a"}, {"ti',
         partial_model(Report, set(), steps=[Step(title="a"), partial_model(Step, set())])),
        (Step, '{"title": "a", "minutes": 12', partial_model(Step, {"title"}, title="a")),  # 12 may go on
        # a union member shows untyped until its tag ends, typed from then on
        (Step, '{"title": "a", "pet": {"name": "Rex"', partial_model(Step, {"title"}, title="a", pet={"name": "Rex"})),
        (Step, '{"title": "a", "pet": {"name": "Rex", "kind": "dog"',
         partial_model(Step, {"title"}, title="a", pet=partial_model(Dog, {"kind", "name"}, kind="dog", name="Rex"))),
        (list[Point], '[{"x": 1}, {"x": 2, "label": "p', [Point(1), Point(2, "p")]),
        (list[Box], '[{"size": 1, "label": "a"}, {"label": "b', [{"size": 1, "label": "a"}, {"label": "b"}]),
        (dict[str, list[int]], '{"a": [1, 2], "b": [3', {"a": [1, 2], "b": []}),
        (Union[Point, Box], '{"x": 1', None),  # a union without a tag: only once complete
        (list[datetime.date], '["2024-01-01", "2024-', [datetime.date(2024, 1, 1)]),
        (str, '"ab', "ab"),
    ],
)
def test_partial_shows_finished_parts_and_open_strings_lists_and_objects(type_: Any, text: str, shown: Any) -> None:
    partial = fed(TypedStream(type_), text)
    assert partial == shown
    for got, expected in [(partial, shown), (getattr(partial, "pet", None), getattr(shown, "pet", None))]:
        if isinstance(expected, BaseModel):
            assert got.model_fields_set == expected.model_fields_set


def test_finished_fields_are_the_model_fields_set() -> None:
    partial = fed(TypedStream(Report), '{"name": "x", "due": null, "steps": [')
    assert partial.model_fields_set == {"name", "due"} and partial.steps == []


def test_items_give_validated_members_as_they_close() -> None:
    stream = TypedStream(Report)
    got = []
    for char in '{"name": "x", "steps": [{"title": "a", "pet": {"kind": "cat"}}, {"title": "b"}]}':
        stream.feed(char)
        got += stream.items(("steps",))
    assert got == [Step(title="a", pet=Cat(kind="cat")), Step(title="b")]
    assert stream.items(("steps", ANY)) == [
        ("title", "a"), ("pet", Cat(kind="cat")), ("title", "b")
    ]
    assert stream.items(("steps",)) == []


# --- Validators that need more than the part ------------------------------------------


class Order(BaseModel):
    model_config = ConfigDict(validate_by_name=True)
    quantity: int = Field(validation_alias=AliasChoices("qty", "count"))
    total: float

    @field_validator("total")
    @classmethod
    def at_least_one_each(cls, total: float, info: ValidationInfo) -> float:
        if total < info.data["quantity"]:
            raise ValueError("total below quantity")
        return total

    @field_validator("total")
    @classmethod
    def not_huge(cls, total: float) -> float:
        if total > 1000:
            raise PydanticCustomError("too_much", "{total} is over {limit}", {"total": total, "limit": 1000})
        return total



class Renamed(Order):
    """Read whole: its before-validator may change what the fields are."""

    @model_validator(mode="before")
    @classmethod
    def renamed(cls, data: Any) -> Any:
        if isinstance(data, dict) and "n" in data:
            data = {**data, "qty": data.pop("n")}
        return data


class Basket(BaseModel):
    orders: list[Order]
    note: Annotated[str, AfterValidator(str.upper)] = ""


@pytest.mark.parametrize(
    ("type_", "text"),
    [
        (list[Order], '[{"qty": 2, "total": 3.5}]'),
        (list[Order], '[{"count": 2, "total": 1.0}]'),  # the validator that reads info.data refuses it
        (list[Order], '[{"quantity": 1, "total": 2000}]'),  # an error type of the user's own
        (list[Renamed], '[{"total": 3, "n": 1}]'),  # renamed by the model's before-validator
        (list[Renamed], '[{"total": 3, "n": 4}]'),
    ],
)
def test_validators_that_read_other_fields_or_the_raw_input(type_: Any, text: str) -> None:
    adapter = TypeAdapter(type_)
    try:
        expected: Any = adapter.validate_json(text)
    except ValidationError as error:
        expected = [(e["type"], e["loc"], e["msg"]) for e in error.errors()]
    stream = TypedStream(type_)
    try:
        fed(stream, text)
        got: Any = stream.close()
    except ValidationError as error:
        got = [(e["type"], e["loc"], e["msg"]) for e in error.errors()]
    assert got == expected


def test_a_string_with_a_validator_streams_and_is_final_with_its_object() -> None:
    stream = TypedStream(Basket)
    assert fed(stream, '{"note": "abc').note == "abc"
    shown = fed(stream, '", "orders": [')
    assert shown.note == "abc" and "note" not in shown.model_fields_set  # its validator runs once, with Basket's
    assert fed(stream, "]}").note == "ABC"


def test_a_root_that_is_a_number_ends_at_close() -> None:
    stream = TypedStream(int)
    stream.feed("12")
    assert stream.partial() is None and not stream.done
    assert stream.close() == 12 and stream.done
