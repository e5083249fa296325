"""ToolCalls.message(), the assistant's message for the next request, equals
what each SDK's accumulator makes of every corpus stream (in the request's
form: the SDK's own fields dropped), fed event by event, as SDK objects and
with the fragments cut again."""

import pytest

from carrack import ToolCalls
from provider_events import STREAMS, corpus_stream, expected, format_of, load, resplit, sdk_message, sdk_objects

streams = pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS])


def choices(path):
    return range(len(expected(path).get("choices") or [None]))


@streams
@pytest.mark.parametrize("seed", [None, 0, 1], ids=["as sent", "resplit 0", "resplit 1"])
def test_the_message_equals_the_sdks_final_message(path, seed):
    pytest.importorskip("openai")
    pytest.importorskip("anthropic")
    events, format = load(path), format_of(path)
    fed = events if seed is None else resplit(events, format, seed)
    for choice in choices(path):
        collector = ToolCalls.collect(fed, choice=choice)
        assert collector.message() == sdk_message(events, format, choice)
        assert collector.skipped == {}  # every event type of the corpus is known


@streams
def test_the_message_from_sdk_objects_equals_the_one_from_dicts(path):
    pytest.importorskip("openai")
    pytest.importorskip("anthropic")
    events, format = load(path), format_of(path)
    plain = [event for event in events if event.get("type") != "ping"]
    for choice in choices(path):
        assert ToolCalls.collect(sdk_objects(plain, format), choice=choice).message() == ToolCalls.collect(events, choice=choice).message()


def test_the_message_does_not_parse_the_arguments_again(monkeypatch):
    """The message takes each call's text and value as collected: json is not called."""
    import json

    path = corpus_stream("anthropic-messages__tool-maxtokens-truncated")
    collector = ToolCalls.collect(load(path))

    def refuse(*args, **kwargs):
        raise AssertionError("parsed again")

    monkeypatch.setattr(json, "loads", refuse)
    monkeypatch.setattr(json.JSONDecoder, "decode", refuse)
    message = collector.message()
    assert [block["type"] for block in message["content"]] == ["text", "tool_use"]


def test_a_message_before_any_event_is_refused():
    with pytest.raises(ValueError, match="no event yet"):
        ToolCalls().message()
