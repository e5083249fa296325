"""Hostile outputs for carrack.ModelToolCalls: work per character that must
not grow with the output, chunks that are not text, calls that write their
arguments twice."""

import pytest

from carrack.model_calls import PROFILES, ModelToolCalls, Profile, merge_deltas
from model_calls_support import ids


class CountingText(str):
    """A text that counts the characters its searches and slices pass over."""

    read = 0

    def find(self, sub, start=0, end=None):  # type: ignore[override]
        k = super().find(sub, start, end)
        CountingText.read += (len(self) if k == -1 else k) - start
        return k

    def __getitem__(self, key):  # type: ignore[override]
        part = super().__getitem__(key)
        CountingText.read += len(part)
        return part


# Prose full of one marker's first character, and free of another's.
@pytest.mark.parametrize("fmt", ["hermes", "llama3_json", "xlam", "kimi_k2", "gpt_oss", "deepseek_v3", "json"])
def test_a_whole_output_is_read_in_linear_work(fmt):
    n = 20_000
    text = CountingText("a<b " * (n // 4))
    CountingText.read = 0
    ModelToolCalls(fmt, ids=ids).parse(text)
    assert CountingText.read < 20 * n


@pytest.mark.parametrize("chunk", [b"<tool_call>", bytearray(b"x"), None, 5, ["a"]])
def test_a_chunk_that_is_not_text_is_refused(chunk):
    reader = ModelToolCalls("hermes", ids=ids)
    with pytest.raises(TypeError, match="chunk must be str"):
        reader.feed(chunk)
    assert reader.feed("hi") + reader.close() == [{"content": "hi"}]


# A call object that writes its arguments twice: both texts went out, so the
# call must not be reported complete (and reading it must not raise).
@pytest.mark.parametrize(
    "body",
    [
        '{"name": "f", "arguments": {}, "arguments": {"b": 2}}',
        '{"name": "f", "arguments": {"a": 1}, "parameters": {"a": 1}}',
        '{"name": "f", "arguments": "a", "arguments": "b"}',
        '{"name": "f", "arguments": "{\\"a\\": 1}", "parameters": {}}',
        '{"arguments": [1], "name": "f", "arguments": 2}',
    ],
)
@pytest.mark.parametrize("step", [1, 3, 1000])
def test_arguments_written_twice_make_a_malformed_call(body, step):
    text = "<tool_call>" + body + "</tool_call>"
    reader = ModelToolCalls("hermes", ids=ids)
    deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
    assert [c.state for c in reader.calls] == ["malformed"]
    assert reader.finish_reason == "stop"
    assert merge_deltas(deltas)["tool_calls"][0]["function"]["name"] == "f"


# A lone surrogate inside a call's JSON cannot be UTF-8, so not JSON: the call
# is malformed, and the text after it is read as after any malformed call.
@pytest.mark.parametrize("step", [1, 2, 5, 1000])
@pytest.mark.parametrize(
    "text, content, names",
    [
        ('<tool_call>{"name": "f", "arguments": {"a": "\ud800"}}</tool_call>ok', "ok", ["f"]),
        ('<tool_call>{"name": "\udc00f", "arguments": {}}</tool_call>ok', "ok", []),
        ('{"name": "f", "arguments": {"\ud83d": 1}} ok', None, ["f"]),
    ],
)
def test_a_lone_surrogate_in_a_call_makes_it_malformed(text, content, names, step):
    fmt = "hermes" if text.startswith("<") else "json"
    reader = ModelToolCalls(fmt, ids=ids)
    deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
    message = merge_deltas(deltas)
    assert [c["function"]["name"] for c in message["tool_calls"]] == names
    assert all(c.state == "malformed" for c in reader.calls)
    if content is not None:
        assert message["content"] == content
    whole = ModelToolCalls(fmt, ids=ids)
    assert message == merge_deltas(whole.feed(text) + whole.close())


@pytest.mark.parametrize("inner", [lambda r: r.feed("<tool_call>"), lambda r: r.close()])
def test_feed_or_close_from_the_ids_function_is_refused(inner):
    reader = None

    def reentering(index):
        inner(reader)
        return "call"

    reader = ModelToolCalls("hermes", ids=reentering)
    with pytest.raises(RuntimeError, match="in use"):
        reader.feed('<tool_call>{"name": "f", "arguments": {}}</tool_call>')


# Functionary v3.2 addresses each message: ">>>all" to the user, ">>>name" to
# a function.
@pytest.mark.parametrize(
    "text, content, calls",
    [
        (">>>all\nHello there", "Hello there", []),
        ('>>>get_weather\n{"city": "Paris"}>>>all\nDone', "Done", [("get_weather", '{"city": "Paris"}')]),
        ('>>>all\nLooking.>>>f\n{"a": 1}', "Looking.", [("f", '{"a": 1}')]),
    ],
)
@pytest.mark.parametrize("step", [1, 4, 1000])
def test_functionary_all_is_content(text, content, calls, step):
    reader = ModelToolCalls("functionary_v3_2", ids=ids)
    deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
    message = merge_deltas(deltas)
    assert message["content"] == content
    assert [(c["function"]["name"], c["function"]["arguments"]) for c in message["tool_calls"]] == calls
    assert all(c.state == "complete" for c in reader.calls)


# A profile whose markers begin one another: the longest one that stands in
# the text wins, wherever the chunks end.
NESTED = [
    Profile("nested", starts=("<a", "<ab"), ends=("</a", "</ab")),
    Profile("nested_longest_first", starts=("<ab", "<a"), ends=("</ab", "</a")),
    Profile("nested_unclosed", starts=("<ab", "<a")),
]


@pytest.mark.parametrize("profile", NESTED, ids=lambda p: p.name)
@pytest.mark.parametrize(
    "text",
    ["<a[</<</ab tail", "x<ab{\"name\": \"f\", \"arguments\": {}}</ab y", "<a{\"name\": \"f\", \"arguments\": {}}</a</ab z", "<a</ab"],
)
def test_markers_that_begin_one_another_read_alike_under_every_chunking(profile, text):
    def read(step):
        reader = ModelToolCalls(profile, ids=ids)
        deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
        return merge_deltas(deltas), [c.state for c in reader.calls]

    whole = read(len(text))
    assert all(read(step) == whole for step in (1, 2, 3))


# gpt-oss: " to=" names a recipient only in a message's header; inside the
# text of a message for the user it is text.
@pytest.mark.parametrize("step", [1, 3, 7, 1000])
def test_gpt_oss_to_inside_a_final_message_is_text(step):
    text = (
        "<|channel|>final<|message|>Set x to=5 now.<|end|>"
        "<|start|>assistant<|channel|>commentary to=functions.f <|constrain|>json<|message|>"
        '{"a": 1}<|call|>'
    )
    reader = ModelToolCalls("gpt_oss", ids=ids)
    deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
    message = merge_deltas(deltas)
    assert message["content"] == "Set x to=5 now."
    assert [(c["function"]["name"], c["function"]["arguments"]) for c in message["tool_calls"]] == [("f", '{"a": 1}')]
    assert reader.finish_reason == "tool_calls"


# An output cut inside a call before its name was final sends no call, but the
# turn was cut: finish_reason says so.
@pytest.mark.parametrize(
    "fmt, text, sent",
    [
        ("hermes", '<tool_call>{"name": "get_wea', 0),
        ("hermes", '<tool_call>{"arguments": {"a": 1}, "na', 0),
        ("hermes", '<tool_call>{"name": "f", "arguments": {}}</tool_call><tool_call>{"name": "g', 1),
        ("mistral", "[TOOL_CALLS]get_wea", 0),
        ("kimi_k2", "<|tool_calls_section_begin|><|tool_call_begin|>functions.get_w", 0),
        ("deepseek_v31", "<｜tool▁calls▁begin｜><｜tool▁call▁begin｜>get_w", 0),
        ("gpt_oss", "<|channel|>commentary to=functions.get_w", 0),
    ],
)
@pytest.mark.parametrize("step", [1, 1000])
def test_a_call_cut_before_its_name_ends_the_turn_as_length(fmt, text, sent, step):
    reader = ModelToolCalls(fmt, ids=ids)
    for i in range(0, len(text), step):
        reader.feed(text[i : i + step])
    reader.close()
    assert len(reader.calls) == sent
    assert reader.finish_reason == "length"


@pytest.mark.parametrize("fmt, text", [("gpt_oss", "<|channel|>fin"), ("hermes", "hello <tool_"), ("hermes", '<tool_call>{"name": 5, "argu')])
def test_text_that_holds_no_cut_call_ends_the_turn_as_stop(fmt, text):
    assert ModelToolCalls(fmt, ids=ids).parse(text).finish_reason == "stop"


# A call short of a closing bracket: the stream takes any character for the
# bracket, here the first ones of the closing marker. What follows the place
# where the call stopped being JSON is read again: the marker closes the
# section, and the text and calls after it are not lost.
@pytest.mark.parametrize("step", [1, 2, 3, 5, 1000])
@pytest.mark.parametrize(
    "fmt, text, content, calls",
    [
        (
            "hermes",
            '<tool_call>{"name": "f", "arguments": {"a": 1}</tool_call>After.<tool_call>{"name": "g", "arguments": {}}</tool_call>',
            "After.",
            [("f", "malformed"), ("g", "complete")],
        ),
        ("hermes", '<tool_call>{"name": "f", "arguments": {"a": {"b": 1}</tool_call>After', "After", [("f", "malformed")]),
        ("json", '{"name": "f", "arguments": {"a": 1}<b>hi</b>', "<b>hi</b>", [("f", "malformed")]),
        (
            "llama3_json",
            '{"name": "f", "parameters": {{"name": "g", "parameters": {}}',
            "",
            [("f", "malformed"), ("g", "complete")],
        ),
    ],
)
def test_text_after_a_call_short_of_a_bracket_is_read(fmt, text, content, calls, step):
    reader = ModelToolCalls(fmt, ids=ids)
    deltas = [d for i in range(0, len(text), step) for d in reader.feed(text[i : i + step])] + reader.close()
    assert merge_deltas(deltas)["content"] == content
    assert [(c.name, c.state) for c in reader.calls] == calls


MANY_CALLS = {
    "hermes": '<tool_call>{"name": "f", "arguments": {"a": 1}}</tool_call> ',
    "json": '{"name": "f", "arguments": {"a": 1]} ',
    "kimi_k2": "<|tool_call_begin|>functions.f:0<|tool_call_argument_begin|>{}<|tool_call_end|>",
    "mistral": '[TOOL_CALLS]f[ARGS]{"a": 1}',
}


@pytest.mark.parametrize("fmt", sorted(MANY_CALLS))
def test_an_output_of_many_calls_is_read_in_linear_work(fmt):
    text = MANY_CALLS[fmt] * 1000
    if fmt == "kimi_k2":
        text = "<|tool_calls_section_begin|>" + text + "<|tool_calls_section_end|>"
    CountingText.read = 0
    parsed = ModelToolCalls(fmt, ids=ids).parse(CountingText(text))
    assert len(parsed.tool_calls) == 1000
    assert CountingText.read < 20 * len(text)


def test_many_headers_that_name_nothing_are_read_without_recursion():
    # Each "[TOOL_CALLS]" is followed by more than a header holds: the text
    # after the limit is read again, a header at a time, in one loop.
    text = ("[TOOL_CALLS]" + "x" * 600) * 1500
    assert ModelToolCalls("mistral", ids=ids).parse(text).content == "x" * 600 * 1500
