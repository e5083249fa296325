"""What the text rules out before its value ends: each constraint fails at the
character that decides it, with the type and location pydantic gives the
whole document, and without running a validator of the user's. And text that
is only cut short: close() fails, partial() goes on."""

import enum
from collections import Counter
from typing import Annotated, Any, Literal, Optional

import pytest

pydantic = pytest.importorskip("pydantic")
from pydantic import AfterValidator, BaseModel, Field, TypeAdapter, ValidationError  # noqa: E402

from carrack.typed import TypedStream  # noqa: E402

CALLS: Counter[str] = Counter()


def counted(value: Any) -> Any:
    CALLS[repr(value)] += 1
    return value


class Color(enum.Enum):
    RED = "red"
    BLUE = "blue"


class Sub(BaseModel):
    x: int = 0


class Form(BaseModel):
    tags: Annotated[list[str], Field(max_length=2), AfterValidator(counted)] = []
    name: Annotated[str, Field(max_length=5), AfterValidator(counted)] = ""
    scores: Annotated[dict[str, str], Field(max_length=1)] = {}
    status: Annotated[Literal["draft", "final"], AfterValidator(counted)] = "draft"
    color: Optional[Color] = None
    code: str = Field(default="", pattern=r"^[0-9]+$")
    pin: str = Field(default="", pattern=r"^\d{4}$")
    slug: str = Field(default="", pattern=r"^[a-z]+(-[a-z]+)*$")
    sub: Optional[Sub] = None
    n: Annotated[int, AfterValidator(counted)] = 0


# ‸ follows the character at which the document can no longer be valid.
EARLY = [
    ('{"tags": ["a", "b", "‸c"]}', "too_long", ("tags",)),  # a list: the element too many starts
    ('{"tags": ["a", "b"], "name": "abcdef‸"}', "string_too_long", ("name",)),  # a string: the character too many
    ('{"scores": {"a": "x", "b": "‸y"}}', "too_long", ("scores",)),  # a dict: the value too many starts
    ('{"scores": {"a": "x", "a": "z", "b": "‸y"}}', "too_long", ("scores",)),  # a key written twice counts once
    ('{"status": "dx‸aft"}', "literal_error", ("status",)),  # no Literal begins so
    ('{"status": "dra"‸}', "literal_error", ("status",)),  # a prefix, but it ended
    ('{"color": "g‸reen"}', "enum", ("color",)),  # no enum value begins so
    ('{"tags": {‸}}', "list_type", ("tags",)),  # an object for a list
    ('{"tags": "‸ab"}', "list_type", ("tags",)),  # a string for a list
    ('{"sub": [‸]}', "model_type", ("sub",)),  # an array for a model
    ('{"n": [‸1]}', "int_type", ("n",)),  # an array for an int
    ('{"name": {‸}}', "string_type", ("name",)),  # an object for a string
    ('{"tags": 12}‸', "list_type", ("tags",)),  # a number for a list: once the number ends
    ('{"code": "12a‸4"}', "string_pattern_mismatch", ("code",)),  # a pattern of one character class
    ('{"pin": "12345‸"}', "string_pattern_mismatch", ("pin",)),  # and its count
    ('{"pin": "123"‸}', "string_pattern_mismatch", ("pin",)),  # too few: when the string ends
    ('{"slug": "ab--c"‸}', "string_pattern_mismatch", ("slug",)),  # any other pattern: when the string ends
]


@pytest.mark.parametrize(("marked", "kind", "loc"), EARLY)
def test_a_constraint_fails_at_the_character_that_decides_it(marked: str, kind: str, loc: tuple[str, ...]) -> None:
    text = marked.replace("‸", "")
    with pytest.raises(ValidationError) as whole:
        TypeAdapter(Form).validate_json(text)
    CALLS.clear()
    stream = TypedStream(Form)
    with pytest.raises(ValidationError) as early:
        for at, char in enumerate(text):
            stream.feed(char)
    assert at + 1 == marked.index("‸")
    assert [(e["type"], e["loc"]) for e in early.value.errors()] == [(kind, loc)]
    assert (kind, loc) in [(e["type"], e["loc"]) for e in whole.value.errors()]
    assert early.value.title == whole.value.title
    assert not CALLS  # no validator of the user's ran for it


def test_text_cut_short_fails_at_close_and_keeps_its_partial_value() -> None:
    text = '{"tags": ["a"], "name": "ab", "sub": {"x": 1}, "code": "12'
    stream = TypedStream(Form)
    stream.feed(text)
    before = stream.partial()
    with pytest.raises(ValidationError) as cut:
        stream.close()
    with pytest.raises(ValidationError) as whole:
        TypeAdapter(Form).validate_json(text)
    assert [(e["type"], e["msg"]) for e in cut.value.errors()] == [(e["type"], e["msg"]) for e in whole.value.errors()]
    assert cut.value.errors()[0]["type"] == "json_invalid" and "EOF" in cut.value.errors()[0]["msg"]
    after = stream.partial()
    assert after is not None and after is before and after.sub == Sub(x=1) and after.code == "12"
    assert stream.items(()) == [("sub", Sub(x=1))]
    with pytest.raises(ValidationError) as again:
        stream.close()
    assert again.value is cut.value
    with pytest.raises(ValueError, match="after close") as late:  # the text is over: nothing more is read
        stream.feed('"}')
    assert not isinstance(late.value, ValidationError)
    assert stream.partial() is before


def test_items_is_a_cursor() -> None:
    stream = TypedStream(list[Sub])
    stream.feed('[{"x": 1}, {"x": 2}, ')
    assert stream.items(()) == [Sub(x=1), Sub(x=2)]
    assert stream.items(()) == []  # each member once per path
    stream.feed('{"x": 3}]')
    assert stream.items(()) == [Sub(x=3)]


@pytest.mark.parametrize(("chunk", "error"), [(12, TypeError), ("\ud800", UnicodeEncodeError), (b"\xff", UnicodeDecodeError)])
def test_a_chunk_that_is_not_text_changes_nothing(chunk: Any, error: type[Exception]) -> None:
    stream = TypedStream(list[Sub])
    stream.feed('[{"x": 1}, ')
    with pytest.raises(error):
        stream.feed(chunk)
    stream.feed('{"x": 2}]')
    assert stream.close() == [Sub(x=1), Sub(x=2)]
