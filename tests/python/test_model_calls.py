"""carrack.ModelToolCalls on the model-output corpus: every case whole, a
character at a time and at random splits; the deltas legal for an OpenAI
client; the merged message the same under every chunking and equal to
parse(); and the calls, arguments and content the case's source expects,
except where the source's rule differs from ours (listed below, each with the
reason)."""

import json

import pytest

from carrack.model_calls import PROFILES, ModelToolCalls, Profile, merge_deltas
from conftest import IN_CI
from model_calls_support import CHUNKINGS, cases, differences, ids, run, splits

# Where a case's source expects something other than our rule, and why. Our
# rule: all text outside a call section is content, verbatim (reasoning too:
# a server strips it with its reasoning parser first); a call is sent once its
# name is final, and a call the text cuts off or that is not JSON ends as
# "cut_off" or "malformed", never as complete.
REASONING = "the source strips reasoning (<think>, START_THINKING, text before </think>) from content"
AFTER = "the source drops text after the call section; we keep it as content"
BETWEEN = "the source drops whitespace between two call sections; we keep it as content"
LENIENT = "llama.cpp's Hermes parser also reads bare JSON, code fences, <tools>, <response> and <function=...>"
INCOMPLETE = "the source sends no call; we send it, and end it as cut off or malformed"
REQUEST = "the source checks names against the request's tools (or infers one from them)"
OWN = "a rule of that one source"

DIFFERENT = {
    **dict.fromkeys(["command_r7b-1", "command_r7b-2", "command_r7b-3", "deepseek_v31-2", "deepseek_v31-4"], REASONING),
    **dict.fromkeys(["granite-3", "hermes-36", "hermes-38", "hermes-39", "kimi_k2-2", "kimi_k2-4"], REASONING),
    **dict.fromkeys(["kimi_k2-5", "kimi_k2-10", "kimi_k2-11", "kimi_k2-12", "nemotron_v2-3"], REASONING),
    **dict.fromkeys(["deepseek_v3-2", "deepseek_v31-8", "gpt_oss_harmony-7", "gpt_oss_harmony-8", "kimi_k2-19"], AFTER),
    **dict.fromkeys(["hermes-32", "hermes-44"], BETWEEN),
    **dict.fromkeys([f"hermes-{n}" for n in range(20, 32)] + ["hermes-33", "hermes-34"], LENIENT),
    **dict.fromkeys(["hermes-9", "json-1", "json-2", "qwen25_coder-7"], INCOMPLETE),
    **dict.fromkeys(["hermes-46", "json-27"], "the source also wants the closing tag; the JSON ended, so the call is complete"),
    **dict.fromkeys(["deepseek_v3-5"], INCOMPLETE),
    **dict.fromkeys(["internlm2-2", "kimi_k2-33", "kimi_k2-34"], REQUEST),
    "deepseek_r1-3": OWN + ": a section opened inside reasoning that the output cuts off is not content",
    "functionary_v3_2-1": OWN + ": the first message's recipient line (all) is not content",
    "functionary_v3_2-2": OWN + ": the first call needs no >>>",
    "functionary_v3_2-3": OWN + ": the first message's recipient line (all) is not content",
    "xlam-3": OWN + ": the newline before the code fence is not content",
    "deepseek_v31-9": OWN + ": a section without call markers is content",
    "firefunction_v2-1": OWN + ": leading space before functools dropped",
    "generic_json-3": OWN + ": a cut-off object that is not yet a call is not content (we flush it at close)",
    "generic_json-4": OWN + ': {"response": ...} is content',
    "gpt_oss_harmony-4": OWN + ": the same text as gpt_oss_harmony-2, expecting no call",
    "llama3_json-10": OWN + ": an object without arguments is no call (we send it with {})",
    "llama3_json-19": INCOMPLETE.replace("the source sends no call", "the source drops the broken first call")
    + "; the valid call after it is read again from where the first stopped being JSON",
    "mistral-6": OWN + ": a name cut off before its arguments is a call with {}",
    "mistral-18": OWN + ": junk between [TOOL_CALLS] and the array is skipped",
    "mistral-19": OWN + ": [TOOL_CALLS] followed by prose gives the prose as content",
    "mistral-34": OWN + ": the space before [TOOL_CALLS] is stripped",
}

CASES = cases()


def test_corpus_is_found():
    if not CASES and not IN_CI:
        pytest.skip("model-output corpus not found")
    formats = {case["format"] for _, case in CASES}
    assert {"hermes", "llama3_json", "mistral", "granite", "deepseek_v3", "deepseek_v31"} <= formats
    assert {"kimi_k2", "gpt_oss_harmony", "json"} <= formats
    assert set(DIFFERENT) <= {cid for cid, _ in CASES}


def legal(deltas):
    """The rules a client's accumulator holds a delta stream to: content or
    one tool call per delta; a call's first delta has its id, type and name
    and the next index; later ones only arguments, for the latest call."""
    seen = 0
    for d in deltas:
        assert set(d) in ({"content"}, {"tool_calls"}), d
        if "content" in d:
            assert isinstance(d["content"], str) and d["content"], d
            continue
        (tc,) = d["tool_calls"]
        if "id" in tc:
            assert tc["index"] == seen and tc["type"] == "function", d
            assert tc["function"]["name"] and tc["function"]["arguments"] == "", d
            seen += 1
        else:
            assert set(tc) == {"index", "function"} and set(tc["function"]) == {"arguments"}, d
            assert tc["index"] == seen - 1 and tc["function"]["arguments"], d


@pytest.mark.parametrize("how", CHUNKINGS)
@pytest.mark.parametrize(("cid", "case"), [pytest.param(cid, case, id=cid) for cid, case in CASES])
def test_corpus(cid, case, how):
    fmt, text = case["format"], case["model_output"]
    deltas, emitter = run(fmt, splits(text, how))
    legal(deltas)
    message = merge_deltas(deltas)
    parsed = ModelToolCalls(fmt, ids=ids).parse(text)
    assert message["content"] == parsed.content
    assert message["tool_calls"] == [c.message() for c in parsed.tool_calls]
    states = [c.state for c in emitter.calls]
    assert states == [c.state for c in parsed.tool_calls]
    assert "open" not in states
    for call in emitter.calls:
        if call.state == "complete":
            json.loads(call.arguments)
    if case.get("expected_error") or case.get("assertion"):
        return  # the source only asks that reading does not fail
    wrong = differences(case, message)
    if cid not in DIFFERENT:
        assert wrong == []
        return
    assert wrong, f"{cid} now agrees with its source: take it off the list"
    if DIFFERENT[cid] == INCOMPLETE:
        assert any(s != "complete" for s in states)


def test_the_argument_text_is_the_models_own():
    text = '<tool_call>{"name": "f", "arguments": {"b" :  [1,2 ],\n "a": "\\u00e9"}}</tool_call>'
    for how in CHUNKINGS:
        deltas, emitter = run("hermes", splits(text, how))
        assert emitter.calls[0].arguments == '{"b" :  [1,2 ],\n "a": "\\u00e9"}'


# --- markers: held back, never content -----------------------------------------------

# Markers that open a section or are dropped from text (a closing marker only
# counts inside a section: the corpus's random splits cut those).
MARKERS = sorted({(name, m) for name, p in PROFILES.items() for m in p.starts + p.drop if len(m) > 1})


@pytest.mark.parametrize(("fmt", "marker"), MARKERS)
def test_a_chunk_ending_in_a_markers_beginning_holds_it_back(fmt, marker):
    for cut in range(1, len(marker)):
        emitter = ModelToolCalls(fmt, ids=ids)
        assert emitter.feed("Sure. " + marker[:cut]) == [{"content": "Sure. "}]
        # Nothing follows: the held text was content after all.
        assert emitter.close() == [{"content": marker[:cut]}]


@pytest.mark.parametrize("fmt", ["hermes", "qwen25_coder", "granite", "deepseek_v3", "kimi_k2", "mistral", "gpt_oss"])
def test_a_marker_split_anywhere_never_reaches_content(fmt):
    p = PROFILES[fmt]
    marker = p.starts[0]
    for cut in range(1, len(marker)):
        emitter = ModelToolCalls(fmt, ids=ids)
        deltas = emitter.feed("x" + marker[:cut]) + emitter.feed(marker[cut:]) + emitter.close()
        content = merge_deltas(deltas)["content"]
        assert content == "x" or content.startswith("x") and marker not in content


# --- names, arguments before the name, states ------------------------------------------


def test_a_name_is_sent_once_final_and_arguments_written_first_wait_for_it():
    text = '[TOOL_CALLS] [{"arguments": {"city": "Paris"}, "name": "get_weather"}]'
    emitter = ModelToolCalls("mistral", ids=ids)
    deltas, start_at = [], None
    for i, c in enumerate(text):
        got = emitter.feed(c)
        if any("id" in d["tool_calls"][0] for d in got if "tool_calls" in d):
            start_at = i
        deltas += got
    assert start_at == text.index('"get_weather"') + len('"get_weather"') - 1
    legal(deltas)
    assert emitter.calls[0].arguments == '{"city": "Paris"}'


def test_a_partial_name_is_never_sent():
    emitter = ModelToolCalls("hermes", ids=ids)
    assert emitter.feed('<tool_call>{"name": "get_wea') == []
    assert emitter.feed('ther"') == [
        {"tool_calls": [{"index": 0, "id": "call_0", "type": "function", "function": {"name": "get_weather", "arguments": ""}}]}
    ]


STATES = [
    ("hermes", '<tool_call>{"name": "f", "arguments": {"a": 1}}</tool_call>', ["complete"], "tool_calls"),
    ("hermes", '<tool_call>{"name": "f", "arguments": {"a": 1', ["cut_off"], "length"),
    ("hermes", '<tool_call>{"name": "f", "arguments": {"a": 1 2}}</tool_call>', ["malformed"], "stop"),
    ("hermes", '<tool_call>{"name": 7, "arguments": {}}</tool_call>', [], "stop"),
    ("hermes", "no calls at all", [], "stop"),
    ("mistral", '[TOOL_CALLS]f[ARGS]{"a": 1}[TOOL_CALLS]g[ARGS]{"b": [', ["complete", "cut_off"], "length"),
    ("mistral", '[TOOL_CALLS] [{"name": "f", "arguments": {}}, {"name": "g", "arguments": {x', ["complete", "malformed"], "stop"),
    ("kimi_k2", '<|tool_calls_section_begin|><|tool_call_begin|>functions.f:0<|tool_call_argument_begin|>{"a"}', ["malformed"], "stop"),
    ("llama3_json", '{"name": "f", "parameters": {}}; {"name": "g", "parameters": {"q"', ["complete", "cut_off"], "length"),
    ("deepseek_v31", "<｜tool▁calls▁begin｜><｜tool▁call▁begin｜>f<｜tool▁sep｜>", ["cut_off"], "length"),
]


@pytest.mark.parametrize(("fmt", "text", "states", "finish"), STATES)
def test_every_call_ends_in_a_clear_state(fmt, text, states, finish):
    for how in CHUNKINGS:
        _, emitter = run(fmt, splits(text, how))
        assert [c.state for c in emitter.calls] == states
        assert emitter.finish_reason == finish


def test_after_malformed_json_the_text_goes_on_where_the_json_broke():
    # Where the JSON broke must not depend on the chunking.
    text = '{"name": "f", "parameters": {"a": 1}} x {"name": "g", "parameters": {"b": tru} and then {"name": "h", "parameters": {}}'
    results = {json.dumps(merge_deltas(run("llama3_json", splits(text, how))[0])) for how in CHUNKINGS}
    assert len(results) == 1
    message = json.loads(results.pop())
    assert [c["function"]["name"] for c in message["tool_calls"]] == ["f", "g", "h"]


def test_arguments_written_as_a_string():
    cases = [
        ('"{\\"a\\": [1, 2]}"', '{"a": [1, 2]}'),  # an encoded object: its text
        ('"hello"', '"hello"'),  # any other string stays a string
        ('"[1]"', '"[1]"'),
        ('"a\x01b"', '"a\x01b"'),  # a control character, as json reads with strict=False
    ]
    for args, sent in cases:
        text = '<tool_call>{"name": "f", "arguments": ' + args + "}</tool_call>"
        for how in CHUNKINGS:
            _, emitter = run("hermes", splits(text, how))
            assert emitter.calls[0].arguments == sent


def test_a_new_model_is_a_few_lines():
    mine = Profile("mine", starts=("<<call>>",), ends=("<</call>>",), name_keys=("tool",), arguments_keys=("args",))
    text = 'ok <<call>>{"tool": "f", "args": {"x": 1}}<</call>> done'
    message = merge_deltas(ModelToolCalls(mine, ids=ids).feed(text))
    assert message["content"] == "ok  done"
    assert message["tool_calls"] == [{"id": "call_0", "type": "function", "function": {"name": "f", "arguments": '{"x": 1}'}}]
    header = Profile("tagged", starts=("@@",), json_calls=False, header_first=True, name_ends=("(",), call_ends=(")",))
    message = merge_deltas(ModelToolCalls(header, ids=ids).feed('@@f({"x": 1}) @@g({})') + [])
    assert [c["function"]["name"] for c in message["tool_calls"]] == ["f", "g"]


def test_misuse():
    with pytest.raises(ValueError, match="unknown format"):
        ModelToolCalls("no-such-model")
    emitter = ModelToolCalls()
    emitter.close()
    assert emitter.close() == []
    with pytest.raises(ValueError):
        emitter.feed("x")


@pytest.mark.parametrize("fmt", ["mistral", "kimi_k2", "gpt_oss"])
def test_a_header_that_never_ends_is_given_up_the_same_under_every_chunking(fmt):
    start = PROFILES[fmt].starts[0]
    call = {"mistral": '[TOOL_CALLS]f[ARGS]{"a": 1}', "kimi_k2": "", "gpt_oss": '<|channel|>commentary to=functions.f<|message|>{"a": 1}<|call|>'}[fmt]
    text = "a " + start + "<|tool_call_begin|>" * (fmt == "kimi_k2") + "word " * 400 + call + " end"
    results = set()
    for how in CHUNKINGS:
        deltas, emitter = run(fmt, splits(text, how))
        legal(deltas)
        results.add(json.dumps(merge_deltas(deltas)))
    assert len(results) == 1
    message = json.loads(results.pop())
    if fmt != "kimi_k2":  # a closed section drops what it cannot read
        assert "word " * 90 in message["content"] and message["content"].endswith(" end")
        assert [c["function"]["name"] for c in message["tool_calls"]] == ["f"]
