"""Properties over generated documents and arbitrary text."""

import json
import math

import pytest
from hypothesis import HealthCheck, assume, given, settings
from hypothesis import strategies as st

from carrack.carrack import carrack

REJECTION = "Given prefix is not from a valid JSON string!"

# Numbers as JSON writes them, in every shape the grammar has: sign, zero,
# fraction, exponent with either mark and sign.
number_text = st.builds(
    lambda sign, integer, fraction, exponent: sign + integer + fraction + exponent,
    st.sampled_from(["", "-"]),
    st.one_of(st.just("0"), st.from_regex(r"[1-9][0-9]{0,20}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"\.[0-9]{1,20}", fullmatch=True)),
    st.one_of(st.just(""), st.from_regex(r"[eE][+-]?[0-9]{1,3}", fullmatch=True)),
)


class Raw:
    """A JSON fragment written as it is."""

    def __init__(self, text):
        self.text = text


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(),
    st.floats(allow_nan=False, allow_infinity=False),
    st.text(),
    number_text.map(Raw),
)
values = st.recursive(
    scalars,
    lambda children: st.one_of(st.lists(children, max_size=5), st.dictionaries(st.text(max_size=8), children, max_size=5)),
    max_leaves=25,
)
spaces = st.text(alphabet=" \t\n\r", max_size=3)


@st.composite
def documents(draw):
    """A JSON text with whitespace drawn between tokens and strings written with
    or without escapes (surrogate pairs among them)."""
    ascii_only = draw(st.booleans())

    def write(value):
        gap = lambda: draw(spaces)  # noqa: E731
        if isinstance(value, Raw):
            return value.text
        if isinstance(value, list):
            inner = ",".join(gap() + write(v) + gap() for v in value)
            return "[" + gap() + inner + "]"
        if isinstance(value, dict):
            inner = ",".join(gap() + json.dumps(k, ensure_ascii=ascii_only) + gap() + ":" + gap() + write(v) + gap()
                             for k, v in value.items())
            return "{" + gap() + inner + "}"
        return json.dumps(value, ensure_ascii=ascii_only)

    return draw(spaces) + write(draw(values)) + draw(spaces)


def is_json(text):
    try:
        json.loads(text)
    except ValueError:
        return False
    return True


@settings(suppress_health_check=[HealthCheck.too_slow])
@given(documents())
def test_every_prefix_of_a_document_completes_to_json(document):
    assume(is_json(document))  # surrogates in the generated text would not be
    assert carrack(document) == document
    for cut in range(len(document)):
        prefix = document[:cut]
        completed = carrack(prefix)
        assert completed.startswith(prefix)
        assert is_json(completed), (prefix, completed)


@given(st.text())
def test_arbitrary_text_fails_only_as_documented(text):
    try:
        completed = carrack(text)
    except RuntimeError as error:  # RecursionError included
        assert str(error) == REJECTION or isinstance(error, RecursionError)
    except UnicodeEncodeError:
        assert any(0xD800 <= ord(c) <= 0xDFFF for c in text)
    else:
        assert completed.startswith(text)
        assert completed[len(text):].isascii()


@given(st.text(alphabet='{}[],:"\\ \n0123456789-+.eEtrufalsnxu\u00e9', max_size=60))
def test_a_completion_is_complete(text):
    # What is appended finishes every open construct, so completing the
    # result again appends nothing, also where the text was not JSON.
    try:
        completed = carrack(text)
    except RuntimeError as error:
        assert str(error) == REJECTION
        return
    assert carrack(completed) == completed


@pytest.mark.parametrize("number", ["-", "-0.", "1e", "1E-", "12.5", "-0.0e+0"])
def test_numbers_complete_to_finite_json_numbers(number):
    assert math.isfinite(json.loads(carrack(number)))
