"""Properties of ModelToolCalls over generated outputs of every supported
format: calls with arbitrary JSON arguments written with arbitrary spacing,
prose around them that holds pieces of the format's markers, cut at random
points. The joined fragments of a call equal the arguments text the model
wrote; the merged deltas do not depend on the cuts; no marker reaches content;
parse() gives the merged deltas."""

import json

from hypothesis import assume, given, settings
from hypothesis import strategies as st

from carrack.model_calls import PROFILES, ModelToolCalls, merge_deltas
from model_calls_support import ids
from test_model_calls import legal

NAMES = st.from_regex(r"[A-Za-z_][A-Za-z0-9_-]{0,15}", fullmatch=True)
SCALARS = st.none() | st.booleans() | st.integers(-(10**20), 10**20) | st.floats(allow_nan=False, allow_infinity=False) | st.text(max_size=12)
VALUES = st.recursive(
    SCALARS,
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=6), inner, max_size=4),
    max_leaves=12,
)
SPACING = st.sampled_from([(None, (", ", ": ")), (None, (",", ":")), (2, (",", ": ")), (None, (" , ", " :  "))])


@st.composite
def arguments(draw):
    obj = draw(st.dictionaries(st.text(max_size=8), VALUES, max_size=5))
    indent, separators = draw(SPACING)
    return json.dumps(obj, indent=indent, separators=separators, ensure_ascii=draw(st.booleans()))


def call_object(name, args, key="arguments"):
    return '{"name": ' + json.dumps(name) + ', "' + key + '": ' + args + "}"


# How each format writes its calls, and where prose may stand around them:
# (text before, [calls], text after) -> output.
def hermes(calls, prose):
    return prose[0] + "".join(f"<tool_call>\n{call_object(n, a)}\n</tool_call>{p}" for (n, a), p in zip(calls, prose[1:]))


def llama3(calls, prose):
    return prose[0] + "<|python_tag|>" + "; ".join(call_object(n, a, "parameters") for n, a in calls) + prose[-1]


def mistral_named(calls, prose):
    return prose[0] + "".join(f"[TOOL_CALLS]{n}[ARGS]{a}{p}" for (n, a), p in zip(calls, prose[1:]))


def mistral_array(calls, prose):
    return prose[0] + "[TOOL_CALLS] [" + ", ".join(call_object(n, a) for n, a in calls) + "]" + prose[-1]


def granite(calls, prose):
    return prose[0] + "<|tool_call|>[" + ",\n".join(call_object(n, a) for n, a in calls) + "]" + prose[-1]


def deepseek_v3(calls, prose):
    body = "\n".join(
        f"<｜tool▁call▁begin｜>function<｜tool▁sep｜>{n}\n```json\n{a}\n```<｜tool▁call▁end｜>" for n, a in calls
    )
    return prose[0] + "<｜tool▁calls▁begin｜>" + body + "<｜tool▁calls▁end｜>" + prose[-1]


def deepseek_v31(calls, prose):
    body = "".join(f"<｜tool▁call▁begin｜>{n}<｜tool▁sep｜>{a}<｜tool▁call▁end｜>" for n, a in calls)
    return prose[0] + "<｜tool▁calls▁begin｜>" + body + "<｜tool▁calls▁end｜>" + prose[-1]


def kimi(calls, prose):
    body = "".join(
        f"<|tool_call_begin|>functions.{n}:{i}<|tool_call_argument_begin|>{a}<|tool_call_end|>" for i, (n, a) in enumerate(calls)
    )
    return prose[0] + "<|tool_calls_section_begin|>" + body + "<|tool_calls_section_end|>" + prose[-1]


def gpt_oss(calls, prose):
    return prose[0] + "".join(
        f"<|start|>assistant<|channel|>commentary to=functions.{n} <|constrain|>json<|message|>{a}<|call|>{p}"
        for (n, a), p in zip(calls, prose[1:])
    )


def bare_json(calls, prose):
    return prose[0] + " ".join(call_object(n, a) for n, a in calls) + prose[-1]


WRITERS = {
    "hermes": hermes,
    "llama3_json": llama3,
    "mistral": mistral_named,
    "mistral ": mistral_array,
    "granite": granite,
    "deepseek_v3": deepseek_v3,
    "deepseek_v31": deepseek_v31,
    "kimi_k2": kimi,
    "gpt_oss": gpt_oss,
    "json": bare_json,
}


# The writers that put prose between calls too.
BETWEEN = {"hermes", "mistral", "gpt_oss"}


def marker_pieces(fmt):
    p = PROFILES[fmt]
    return sorted({m[:k] for m in p.starts + p.drop for k in range(1, len(m))} - {"{", "["})


@st.composite
def outputs(draw):
    key = draw(st.sampled_from(sorted(WRITERS)))
    fmt = key.strip()
    calls = draw(st.lists(st.tuples(NAMES, arguments()), min_size=1, max_size=3))
    # Prose: words, and pieces of the format's markers that never complete
    # (no character that would complete one follows them).
    pieces = st.sampled_from(["Sure", " ", "\n", "ok.", "x"] + marker_pieces(fmt))
    prose = draw(st.lists(st.lists(pieces, max_size=4).map("".join), min_size=len(calls) + 1, max_size=len(calls) + 1))
    if key not in BETWEEN:
        prose = [prose[0]] + [""] * (len(calls) - 1) + [prose[-1]]
    text = WRITERS[key](calls, prose)
    cuts = sorted(draw(st.lists(st.integers(0, len(text)), max_size=12)))
    chunks = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]
    return fmt, calls, prose, text, chunks


def feed(fmt, chunks):
    emitter = ModelToolCalls(fmt, ids=ids)
    deltas = []
    for chunk in chunks:
        deltas += emitter.feed(chunk)
    return deltas + emitter.close(), emitter


@settings(max_examples=400, deadline=None)
@given(outputs())
def test_generated_outputs(case):
    fmt, calls, prose, text, chunks = case
    markers = [m for m in PROFILES[fmt].starts + PROFILES[fmt].drop if len(m) > 1]
    assume(not any(m in "".join(prose) for m in markers))
    deltas, emitter = feed(fmt, chunks)
    legal(deltas)
    message = merge_deltas(deltas)
    # The model's own argument text, fragment by fragment.
    assert [(c["function"]["name"], c["function"]["arguments"]) for c in message["tool_calls"]] == calls
    assert all(c.state == "complete" for c in emitter.calls)
    # Cut anywhere, the same message.
    whole, _ = feed(fmt, [text])
    assert merge_deltas(whole) == message
    # No marker in content; prose whitespace between calls may go.
    content = message["content"]
    assert not any(m in content for m in markers)
    assert content.split() == "".join(prose).split() or "".join(content.split()) == "".join("".join(prose).split())
    parsed = ModelToolCalls(fmt, ids=ids).parse(text)
    assert parsed.content == content
    assert [c.message() for c in parsed.tool_calls] == message["tool_calls"]


@settings(max_examples=300, deadline=None)
@given(st.sampled_from(sorted(PROFILES)), st.text(max_size=60), st.lists(st.integers(0, 60), max_size=8))
def test_any_text_in_any_format(fmt, text, cuts):
    # Whatever the text, reading it never fails, and the cuts change nothing.
    cuts = sorted(min(c, len(text)) for c in cuts)
    chunks = [text[a:b] for a, b in zip([0, *cuts], [*cuts, len(text)])]
    deltas, emitter = feed(fmt, chunks)
    legal(deltas)
    whole, _ = feed(fmt, [text])
    assert merge_deltas(deltas) == merge_deltas(whole)
    assert "open" not in {c.state for c in emitter.calls}
