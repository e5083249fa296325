"""carrack.ToolCalls on streams built in each format: how a response ends
decides what may run, bad events get clear errors and corrupt nothing, and the
README's examples hold."""

import re

import pytest

from carrack import ToolCalls
from conftest import ROOT
from provider_events import BUILDERS, chat, messages, responses

WEATHER = ("get_weather", ['{"city": "Par', 'is", "days": ', "3}"])
TIME = ("get_time", ['{"tz": "Europe/', 'Paris"}'])
CUT = ("write_file", ['{"path": "a.py", "body": "import os\\n', "print(\\"])


def collect(events, **options):
    return ToolCalls.collect(events, **options)


def summary(collector):
    return [(call.name, call.state, call.executable) for call in collector]


# --- what may run, by how the response and each call ended ---------------------

ENDINGS = [
    # normal ends: every call with whole arguments runs
    (chat([WEATHER, TIME]), [("get_weather", "complete", True), ("get_time", "complete", True)], None),
    (chat([WEATHER], end="stop"), [("get_weather", "complete", True)], None),
    (responses([WEATHER, TIME]), [("get_weather", "complete", True), ("get_time", "complete", True)], None),
    (messages([WEATHER, TIME]), [("get_weather", "complete", True), ("get_time", "complete", True)], None),
    (messages([WEATHER], stop_reason="end_turn"), [("get_weather", "complete", True)], None),
    # the token limit: the whole call does not run either
    (chat([WEATHER, CUT], end="length"), [("get_weather", "complete", False), ("write_file", "truncated", False)], "finish_reason 'length'"),
    (chat([WEATHER], end="content_filter"), [("get_weather", "complete", False)], "finish_reason 'content_filter'"),
    (responses([WEATHER, CUT], end="incomplete", cut=True), [("get_weather", "complete", False), ("write_file", "truncated", False)], "status 'incomplete' (max_output_tokens)"),
    (messages([WEATHER, CUT], stop_reason="max_tokens", cut=True), [("get_weather", "complete", False), ("write_file", "truncated", False)], "stop_reason 'max_tokens'"),
    (messages([WEATHER], stop_reason="refusal"), [("get_weather", "complete", False)], "stop_reason 'refusal'"),
    (responses([WEATHER], end="failed"), [("get_weather", "complete", False)], "status 'failed'"),
    (messages([WEATHER], stop_reason=None) + [{"type": "error", "error": {"type": "overloaded_error"}}], [("get_weather", "complete", False)], "reported an error: overloaded_error"),
    # a stream that simply stops
    (chat([WEATHER], end=None), [("get_weather", "complete", False)], "the stream stopped"),
    (chat([CUT], end=None), [("write_file", "truncated", False)], "the stream stopped"),
    (responses([WEATHER], end=None), [("get_weather", "complete", False)], "the stream stopped"),
    (messages([WEATHER], stop_reason=None), [("get_weather", "complete", False)], "the stream stopped"),
    (messages([WEATHER])[:-1], [("get_weather", "complete", False)], "the stream stopped"),
]


@pytest.mark.parametrize(("events", "calls", "why"), ENDINGS)
def test_only_calls_ended_normally_in_a_response_ended_normally_run(events, calls, why):
    collector = collect(events)
    assert summary(collector) == calls
    for call in collector:
        assert call.executable == (call.reason is None)
        assert call.parsed == (None if call.state != "complete" else call.arguments.close())
    assert [call.name for call in collector.executable()] == [name for name, _, runs in calls if runs]
    assert collector.reason is None if why is None else why in collector.reason


ARGUMENTS = [
    # (fragments, state, reason)
    (["{", '"a": [1, 2]', "}"], "complete", None),
    ([' \n{"a"', ": 1} "], "complete", None),
    (['{"a": ', "nope}"], "malformed", "the arguments are not JSON: Expecting value"),
    (['{"a": 1}', ' {"b": 2}'], "malformed", "the arguments are not JSON: Extra data"),
    (["[1, ", "2]"], "malformed", "the arguments are an array, not an object"),
    (['"', 'x"'], "malformed", "the arguments are a string, not an object"),
    ([" x", "yz"], "malformed", "the arguments are not JSON: they start with 'x'"),
    (["", ""], "malformed", "the arguments are empty"),
    (['{"a": "\\u00', 'e9"}'], "complete", None),
    (['{"a": "b', "\ud800", '"}'], "malformed", "lone surrogate"),
    (['{"a": "b', b"\xff\xfe", '"}'], "malformed", "bytes in the arguments that are not UTF-8"),
]


@pytest.mark.parametrize("format", BUILDERS)
@pytest.mark.parametrize(("fragments", "state", "reason"), ARGUMENTS)
def test_only_one_json_object_is_executable(format, fragments, state, reason):
    (call,) = collect(BUILDERS[format]([("f", fragments)]))
    assert (call.state, call.executable) == (state, state == "complete")
    assert call.text == "".join(f if isinstance(f, str) else f.decode("utf-8", "replace") for f in fragments)
    assert call.reason == reason if reason is None else reason in call.reason


CUT_OFF = {"openai-chat": {"end": "length"}, "openai-responses": {"end": "incomplete", "cut": True}, "anthropic-messages": {"stop_reason": "max_tokens", "cut": True}}


@pytest.mark.parametrize("format", BUILDERS)
def test_empty_arguments_are_an_empty_object_only_when_asked(format):
    (call,) = collect(BUILDERS[format]([("list_tickets", [])]), empty_as_object=True)
    assert (call.state, call.executable, call.parsed, call.text) == ("complete", True, {}, "")
    (cut,) = collect(BUILDERS[format]([("list_tickets", [])], **CUT_OFF[format]), empty_as_object=True)
    assert (cut.state, cut.executable) == ("truncated", False)


@pytest.mark.parametrize("format", BUILDERS)
def test_content_is_final_only_as_one_json_value_at_a_normal_end(format):
    text = ['{"city": "Zü', 'rich", "t": [-3', ".5]}"]
    stop = {"openai-chat": {"end": "stop"}, "openai-responses": {}, "anthropic-messages": {"stop_reason": "end_turn"}}[format]
    content = collect(BUILDERS[format]([], text=text, **stop)).content
    assert (content.state, content.final, content.parsed) == ("complete", True, {"city": "Zürich", "t": [-3.5]})
    cut = collect(BUILDERS[format]([], text=text[:2], **stop)).content
    assert (cut.state, cut.final, cut.stream.value()) == ("truncated", False, {"city": "Zürich", "t": [-3]})
    prose = collect(BUILDERS[format]([WEATHER], text=["Let me check ", "the weather."])).content
    assert (prose.state, prose.final, prose.text) == ("text", False, "Let me check the weather.")


def test_values_and_paths_work_while_interleaved_calls_stream():
    collector = ToolCalls()
    seen = []
    for event in chat([WEATHER, TIME, CUT], end="tool_calls", interleave=True):
        part = collector.feed(event)
        if part is not None and part.text and part.name == "get_weather":
            seen.append((part.arguments.value(), part.arguments.path, part.state))
    assert seen == [
        ({"city": "Par"}, ("city",), "streaming"),
        ({"city": "Paris", "days": None}, ("days",), "streaming"),
        ({"city": "Paris", "days": 3}, (), "streaming"),
    ]
    assert [call.parsed for call in collector.executable()] == [{"city": "Paris", "days": 3}, {"tz": "Europe/Paris"}]
    assert [call.state for call in collector] == ["complete", "complete", "truncated"]


@pytest.mark.parametrize(
    ("done", "state", "text"),
    [
        ('{"city": "Paris", "days": 3}', "complete", '{"city": "Paris", "days": 3}'),  # a tail the deltas lacked
        ('{"city": "Rome"}', "malformed", '{"city": "Par'),
    ],
)
def test_responses_done_events_are_checked_against_the_deltas(done, state, text):
    events = responses([("get_weather", ['{"city": "Par'])])
    for event in events:
        if event["type"] == "response.function_call_arguments.done":
            event["arguments"] = done
        elif event["type"] == "response.output_item.done":
            event["item"]["arguments"] = done
    (call,) = collect(events)
    assert (call.state, call.text) == (state, text)
    assert state == "complete" or "disagrees with the deltas" in call.reason


def test_the_events_sdk_stream_helpers_add_are_read_or_skipped():
    wrapped = [{"type": "chunk", "chunk": event, "snapshot": None} for event in chat([WEATHER])]
    wrapped.insert(3, {"type": "tool_calls.function.arguments.delta", "name": "get_weather", "index": 0, "arguments_delta": "{"})
    helped = [
        helper
        for event in messages([WEATHER], text=["Sure."])
        for helper in [event, {"type": "input_json", "partial_json": "x", "snapshot": {}}, {"type": "text", "text": "x", "snapshot": "x"}]
    ]
    for events in (wrapped, helped):
        collector = collect(events)
        assert summary(collector) == [("get_weather", "complete", True)]
        assert collector.calls[0].text == '{"city": "Paris", "days": 3}'


# --- bad input ------------------------------------------------------------------------


def _drop(events, kind):
    return [e for e in events if e.get("type") != kind]


BAD = [
    # (events fed before, the bad event, error, message)
    ([], None, TypeError, "an event must be a dict or an SDK event object, not NoneType"),
    ([], '{"type": "message_start"}', TypeError, "not str"),
    ([], [1], TypeError, "not list"),
    ([], b"data: {}\n\n", TypeError, "not bytes: the bytes of an SSE body go to feed_sse()"),
    ([], {"hello": 1}, ValueError, "expected an OpenAI Chat Completions chunk"),
    ([], {"type": "content_block_delta", "index": 0, "delta": {"type": "input_json_delta", "partial_json": "{"}}, ValueError, "no content_block_start opened"),
    (messages([WEATHER])[:2], messages([WEATHER])[1], ValueError, "a second content_block_start for index 0"),
    (messages([WEATHER])[:7], {"type": "content_block_delta", "index": 0, "delta": {"type": "input_json_delta", "partial_json": "{"}}, ValueError, "which has stopped"),
    (messages([WEATHER]), messages([WEATHER])[2], ValueError, "after message_stop"),
    (messages([WEATHER])[:2], {"type": "content_block_delta", "index": 0, "delta": {"type": "text_delta", "text": "hi"}}, ValueError, "which is not text"),
    (messages([WEATHER])[:2], {"type": "response.created"}, ValueError, "expected an Anthropic Messages event"),
    (chat([WEATHER], end=None)[:2], {"choices": [{"index": 0, "delta": {"tool_calls": [{"index": 3, "function": {"arguments": "{"}}]}}]}, ValueError, "carries no id or name"),
    (chat([WEATHER], end=None)[:2], {"choices": [{"index": 0, "delta": {"tool_calls": [{"index": "0", "id": "x", "function": {"name": "f"}}]}}]}, ValueError, "index must be an int"),
    (chat([WEATHER]), chat([WEATHER])[2], ValueError, "after the choice's finish_reason"),
    (chat([WEATHER], end=None)[:2], {"choices": 7}, ValueError, "expected an OpenAI Chat Completions chunk"),
    (chat([WEATHER], end=None)[:2], {"choices": [{"index": 0, "delta": {"tool_calls": [{"index": 0, "function": {"arguments": 5}}]}}]}, TypeError, "a fragment of arguments must be str"),
    (responses([WEATHER])[:1], responses([WEATHER])[2], ValueError, "which no response.output_item.added opened"),
    (responses([WEATHER])[:2], responses([WEATHER])[1], ValueError, "a second response.output_item.added"),
    (responses([WEATHER])[:-1], responses([WEATHER])[2], ValueError, "a fragment of arguments after the end"),
    (responses([WEATHER]), responses([WEATHER])[2], ValueError, "after the response ended"),
]


@pytest.mark.parametrize(("before", "event", "error", "message"), BAD)
def test_bad_events_raise_clearly_and_change_nothing(before, event, error, message):
    collector = ToolCalls()
    for earlier in before:
        collector.feed(earlier)
    texts = [call.text for call in collector]
    with pytest.raises(error, match=re.escape(message)):
        collector.feed(event)
    assert [call.text for call in collector] == texts
    assert all(call.state != "malformed" for call in collector)


def test_options_and_closing_are_checked():
    with pytest.raises(ValueError, match="format must be one of openai-chat, openai-responses, anthropic-messages or None"):
        ToolCalls("openai")
    with pytest.raises(ValueError, match="choice applies to openai-chat only"):
        collect(messages([WEATHER]), choice=1)
    with pytest.raises(ValueError, match="expected an OpenAI Responses event"):
        ToolCalls("openai-responses").feed(chat([WEATHER])[0])
    collector = collect(messages([WEATHER]))
    with pytest.raises(ValueError, match=re.escape("feed() after close()")):
        collector.feed(messages([WEATHER])[0])


def test_importing_carrack_imports_no_sdk(python):
    result = python("""
        import sys
        import carrack
        print(sorted({name.split(".")[0] for name in sys.modules} & {"openai", "anthropic", "pydantic", "httpx", "jiter"}))
    """)
    assert result.stdout.strip() == "[]", result.stderr


# --- the README's examples -------------------------------------------------------------


def test_readme_tool_call_examples():
    import doctest

    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    section = readme.split("\n## Tool calls\n", 1)[1].split("\n## ", 1)[0]
    blocks = re.findall(r"```python\n(>>> .*?)```", section, flags=re.S)
    assert len(blocks) >= 3
    parser, runner = doctest.DocTestParser(), doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    globs: dict = {}
    for number, block in enumerate(blocks):  # one after another, as a reader runs them
        test = parser.get_doctest(block, globs, f"README Tool calls example {number + 1}", "README.md", 0)
        runner.run(test, clear_globs=False)
        globs = test.globs
    assert runner.summarize(verbose=False).failed == 0
