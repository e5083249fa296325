"""What the value tests share: generated texts, a comparison that sees types,
and a plain model of what the withholding policies keep."""

import json
import math
import re

from hypothesis import strategies as st


def canon(value):
    """value with every scalar tagged by type, NaN made comparable and dict
    order kept, so that == means the same JSON value read the same way."""
    if isinstance(value, bool) or value is None:
        return value
    if isinstance(value, int):
        return ("int", value)
    if isinstance(value, float):
        return ("float", "nan" if math.isnan(value) else repr(value))
    if isinstance(value, str):
        return ("str", value)
    if isinstance(value, list):
        return ("list", [canon(v) for v in value])
    return ("dict", [(k, canon(v)) for k, v in value.items()])


def outcome(call):
    """("ok", canon(value)) or ("error", exception type)."""
    try:
        return ("ok", canon(call()))
    except ValueError as error:  # JSONDecodeError is one
        return ("error", type(error))
    except RuntimeError as error:
        return ("error", type(error))


# --- Generated documents --------------------------------------------------

spaces = st.text(alphabet=" \t\n\r", max_size=2)

numbers = st.one_of(
    st.integers().map(str),
    st.from_regex(r"-?(0|[1-9][0-9]{0,30})(\.[0-9]{1,20})?([eE][+-]?[0-9]{1,4})?", fullmatch=True),
    # around the interpreter's default limit of 4300 digits
    st.integers(4290, 4310).map(lambda n: "9" * n),
)
characters = st.characters(codec="utf-8")  # no lone surrogates: a str fed must encode


@st.composite
def string_texts(draw):
    """A JSON string literal: each character raw, escaped by letter, or as
    \\uXXXX (astral ones as surrogate pairs); lone surrogate escapes too."""
    out = ['"']
    for c in draw(st.lists(st.one_of(characters, st.sampled_from('"\\\x00\x1f\n/é😀')), max_size=8)):
        how = draw(st.integers(0, 3))
        if c in '"\\':
            out.append("\\" + c)
        elif how == 0 or (how == 1 and c not in "\b\f\n\r\t/"):
            out.append(c)
        elif how == 1:
            out.append(json.dumps(c)[1:-1] if c != "/" else "\\/")
        else:
            units = c.encode("utf-16-be")
            hex_case = str.upper if how == 3 else str.lower
            out.extend("\\u" + hex_case("%02x%02x" % (units[i], units[i + 1])) for i in range(0, len(units), 2))
    if draw(st.integers(0, 9)) == 0:
        out.append(draw(st.sampled_from(["\\ud800", "\\udc00", "\\uDBFF\\u0041", "\\ud800\\ud800\\udc00"])))
    out.append('"')
    return "".join(out)


scalars = st.one_of(numbers, string_texts(), st.sampled_from(["null", "true", "false"]))


def containers(children):
    gap = spaces

    def array(items):
        return "[" + ",".join(items) + "]"

    def obj(members):
        return "{" + ",".join(k + ":" + v for k, v in members) + "}"

    keys = st.one_of(string_texts(), st.sampled_from(['"a"', '"b"']))  # repeated keys among them
    spaced = st.builds(lambda a, v, b: a + v + b, gap, children, gap)
    return st.one_of(
        st.lists(spaced, max_size=5).map(array),
        st.lists(st.tuples(st.builds(lambda a, k, b: a + k + b, gap, keys, gap), spaced), max_size=5).map(obj),
    )


def nest(depth, text):
    return "[" * depth + text + "]" * depth


def spaced(values):
    return st.builds(lambda a, v, b: a + v + b, spaces, values, spaces)


shallow_documents = spaced(st.recursive(scalars, containers, max_leaves=20))
documents = st.one_of(shallow_documents, spaced(st.builds(nest, st.integers(30, 300), scalars)))

# Text that is mostly not JSON, from the characters and words that matter to it.
garbage = st.lists(
    st.one_of(
        st.sampled_from('[]{}",:.-+eE0123456789 \n\\uatrfnlsNIy'),
        st.sampled_from(["NaN", "NaN ", "Infinity", "-Infinity", "null", "true", '"a":', "[1,", "\\ud800"]),
        characters,
    ),
    max_size=20,
).map("".join)


@st.composite
def chunked(draw, texts):
    """A text and the chunks it is fed in."""
    text = draw(texts)
    cuts = sorted(draw(st.sets(st.integers(1, max(1, len(text) - 1)), max_size=12)))
    bounds = [0, *(c for c in cuts if c < len(text)), len(text)]
    return text, [text[a:b] for a, b in zip(bounds, bounds[1:])]


# --- A model of the withholding policies ---------------------------------

MISSING = object()
WORDS = {"null": None, "true": True, "false": False}


def string_so_far(body):
    """The characters of an open string's body (after its quote) that are
    whole: a cut escape, or a high surrogate that may yet be paired, left out."""
    whole, i = 0, 0
    while i < len(body):
        if body[i] != "\\":
            i += 1
        elif body[i + 1 : i + 2] == "u":
            if len(body) - i < 6:
                break
            i += 6
        elif len(body) - i < 2:
            break
        else:
            i += 2
        whole = i
    kept = body[:whole]
    if re.search(r"(?<!\\)(\\\\)*\\u[dD][89abAB][0-9a-fA-F]{2}$", kept):
        kept = kept[:-6]
    return json.loads('"' + kept + '"', strict=False)


def model(text, policy):
    """What value(partial=policy) keeps of text, a prefix of a JSON document."""
    at = 0

    def skip():
        nonlocal at
        while at < len(text) and text[at] in " \t\n\r":
            at += 1

    def string():
        # (decoded, closed)
        nonlocal at
        start = at + 1
        end = start
        while end < len(text) and text[end] != '"':
            end += 2 if text[end] == "\\" else 1
        if end >= len(text):
            at = len(text)
            return string_so_far(text[start:]), False
        at = end + 1
        return json.loads(text[start - 1 : at], strict=False), True

    def value():
        # (kept value or MISSING, closed)
        nonlocal at
        skip()
        if at == len(text):
            return MISSING, False
        if text[at] == '"':
            s, closed = string()
            return (s if closed or policy == "strings" else MISSING), closed
        if text[at] in "[{":
            is_object = text[at] == "{"
            at += 1
            kept = {} if is_object else []
            while True:
                skip()
                if at == len(text):
                    return kept, False
                if text[at] in "]}":
                    at += 1
                    return kept, True
                if text[at] == ",":
                    at += 1
                    continue
                if is_object:
                    key, closed = string()
                    skip()
                    if not closed or at == len(text):
                        return kept, False
                    at += 1  # the colon
                    v, closed = value()
                    if v is not MISSING:
                        kept[key] = v
                else:
                    v, closed = value()
                    if v is not MISSING:
                        kept.append(v)
                if not closed:
                    return kept, False
        token = re.match(r"[-+.eE0-9a-z]*", text[at:]).group()
        at += len(token)
        if token in WORDS:
            return WORDS[token], True
        if at == len(text):
            return MISSING, False
        return json.loads(token), True

    kept, _ = value()
    return None if kept is MISSING else kept
