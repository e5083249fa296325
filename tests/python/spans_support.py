"""What the raw-span, stop-at-end and multiple-value tests share: JSON texts
written with every spacing, escaping and character width, random chunkings of
them as str or as bytes, and an oracle of where each value lies in a text."""

import json
import json.decoder
import re

from hypothesis import strategies as st

# One character of each storage width of a str: ASCII, Latin-1, UCS-2, astral.
WIDTHS = ["a", "\u00e9", "\u0100", "\U0001f600"]

keys = st.text(alphabet=st.sampled_from(["k", '"', "\\", "\u00e9", "\u0100", "\U0001f600", "\n"]), max_size=3)
strings = st.text(alphabet=st.one_of(st.sampled_from(WIDTHS + ['"', "\\", "\n", "\x01", "/"]), st.characters(codec="utf-8")),
                  max_size=8)
numbers = st.one_of(st.integers(-(10**20), 10**20), st.floats(allow_nan=False, allow_infinity=False))
scalars = st.one_of(st.none(), st.booleans(), numbers, strings)
values = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4), st.dictionaries(keys, inner, max_size=4)),
                      max_leaves=12)
containers = st.one_of(st.lists(values, max_size=4), st.dictionaries(keys, values, max_size=4))


@st.composite
def written(draw, value=values):
    """A value and its JSON text, with whitespace inside and escapes."""
    v = draw(value)
    indent = draw(st.sampled_from([None, None, 0, 2, "\t"]))
    separators = draw(st.sampled_from([(",", ":"), (", ", ": "), (" ,\r\n", " :\t")]))
    text = json.dumps(v, indent=indent, separators=separators, ensure_ascii=draw(st.booleans()))
    return v, text


def cuts_of(size):
    return st.lists(st.integers(0, size), max_size=6).map(sorted)


def pieces(data, cuts):
    bounds = [0, *cuts, len(data)]
    return [data[a:b] for a, b in zip(bounds, bounds[1:])]


@st.composite
def chunked(draw, text):
    """(pieces, as_bytes): text split at random places, as str or as UTF-8
    split anywhere (inside characters too)."""
    as_bytes = draw(st.booleans())
    data = text.encode() if as_bytes else text
    return pieces(data, draw(cuts_of(len(data)))), as_bytes


# --- Where each value lies -------------------------------------------------

WHITESPACE = re.compile(r"[ \t\n\r]*")
NUMBER = re.compile(r"-?(?:0|[1-9]\d*)(?:\.\d+)?(?:[eE][-+]?\d+)?")


def spans(text, pos=0, path=(), out=None):
    """Fills out with path -> (start, end) of every value of the JSON text at
    pos (whitespace before it skipped); returns the end."""
    out = {} if out is None else out
    pos = WHITESPACE.match(text, pos).end()
    start, c = pos, text[pos]
    if c in "[{":
        close, index = "]" if c == "[" else "}", 0
        pos = WHITESPACE.match(text, pos + 1).end()
        if text[pos] == close:
            pos += 1
        else:
            while True:
                if c == "{":
                    key, pos = json.decoder.scanstring(text, pos + 1)
                    pos = WHITESPACE.match(text, pos).end() + 1  # the ":"
                    pos = spans(text, pos, (*path, key), out)
                else:
                    pos = spans(text, pos, (*path, index), out)
                    index += 1
                pos = WHITESPACE.match(text, pos).end()
                if text[pos] == close:
                    pos += 1
                    break
                pos = WHITESPACE.match(text, pos + 1).end()
    elif c == '"':
        pos = json.decoder.scanstring(text, pos + 1)[1]
    elif match := NUMBER.match(text, pos):
        pos = match.end()
    else:
        pos += next(len(w) for w in ("true", "false", "null") if text.startswith(w, pos))
    out[path] = (start, pos)
    return pos


def matches(pattern, path, any_step):
    """Whether a select/raw pattern (ANY, ending in ... for everything inside) matches path."""
    if pattern and pattern[-1] is Ellipsis:
        steps = pattern[:-1]
        return len(path) >= len(steps) and all(s is any_step or s == p for s, p in zip(steps, path))
    return len(path) == len(pattern) and all(s is any_step or s == p for s, p in zip(pattern, path))
