"""Raw SSE bytes and async streams: carrack.sse's decoder against the openai
SDK's decoder and httpx-sse on every raw file cut anywhere; ToolCalls.feed_sse;
acollect and aupdates with the real AsyncOpenAI and AsyncAnthropic clients over
a mock transport serving the corpus's bytes; and one property: dicts, SDK
objects, SSE bytes in random pieces and async iteration collect the same."""

import asyncio
import json

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from carrack import ToolCalls
from carrack.sse import Decoder, Event
from provider_events import RAW_FILES, STREAMS, corpus_stream, cut_at, expected, format_of, load, sdk_objects, sse_body, sse_events

raw_files = pytest.mark.parametrize("raw", [pytest.param(p, id=p.stem) for p in RAW_FILES])
streams = pytest.mark.parametrize("path", [pytest.param(p, id=p.stem) for p in STREAMS])
cuts = st.lists(st.integers(min_value=0), max_size=24)
few = settings(max_examples=6, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])


def decode(chunks):
    decoder = Decoder()
    return [tuple(event) for chunk in chunks for event in decoder.feed(chunk)] + [tuple(e) for e in decoder.close()]


def sdk_decode(chunks):
    from openai._streaming import SSEDecoder

    return [(s.event or "message", s.data, s.id or "", s.retry) for s in SSEDecoder().iter_bytes(iter(chunks))]


def httpx_sse_decode(chunks):
    httpx = pytest.importorskip("httpx")
    from httpx_sse import EventSource

    response = httpx.Response(200, headers={"content-type": "text/event-stream"}, content=iter(chunks))
    return [(s.event or "message", s.data, s.id, s.retry) for s in EventSource(response).iter_sse()]


# --- the decoder ------------------------------------------------------------------------------

RULES = [
    # (body, events): each also cut at every byte
    (b"data: a\n\n", [("message", "a", "", None)]),
    (b"data: a\r\n\r\ndata: b\r\rdata: c\n\n", [("message", "a", "", None), ("message", "b", "", None), ("message", "c", "", None)]),
    (b"data: one\ndata:two\ndata\n\n", [("message", "one\ntwo\n", "", None)]),
    (b": a comment\nevent: ping\ndata: {}\n\n", [("ping", "{}", "", None)]),
    (b"id: 7\ndata: a\n\ndata: b\n\n", [("message", "a", "7", None), ("message", "b", "7", None)]),
    (b"retry: 30\ndata: a\n\nretry: x\ndata: b\n\n", [("message", "a", "", 30), ("message", "b", "", None)]),
    ("data: Zürich — 🌍\n\n".encode(), [("message", "Zürich — 🌍", "", None)]),
    (b"\xef\xbb\xbfdata: a\n\n", [("message", "a", "", None)]),
    (b"data:  two spaces\nunknown: x\n\n", [("message", " two spaces", "", None)]),
    (b"data: a\n\ndata: never dispatched", [("message", "a", "", None)]),
    (b"data: a\n\ndata: [DONE]\n\n", [("message", "a", "", None), ("message", "[DONE]", "", None)]),
]


@pytest.mark.parametrize(("body", "events"), RULES)
def test_the_decoder_follows_the_sse_rules_wherever_the_body_is_cut(body, events):
    assert decode([body]) == events
    for at in range(len(body) + 1):
        assert decode([body[:at], body[at:]]) == events, at
    assert decode([body[i : i + 1] for i in range(len(body))]) == events


def test_where_the_decoder_differs_from_the_sdks():
    """An event with no data is not dispatched (the SSE rules); the SDKs' decoders
    dispatch it when it has an event name, id or retry."""
    pytest.importorskip("openai")
    body = b"event: ping\n\ndata: a\n\n"
    assert decode([body]) == [("message", "a", "", None)]
    assert sdk_decode([body]) == [("ping", "", "", None), ("message", "a", "", None)]


def test_a_last_cr_ends_its_line_at_the_end_of_the_body():
    assert decode([b"data: a\r\r"]) == [("message", "a", "", None)]
    assert Decoder().feed(b"data: a\r\r") == []  # the second CR may be half a CRLF


def test_the_decoder_takes_bytes_likes_and_str_only():
    assert Decoder().feed(bytearray(b"data: a\n\n")) == [Event("message", "a", "", None)]
    assert Decoder().feed(memoryview(b"data: a\n\n")) == [Event("message", "a", "", None)]
    assert Decoder().feed("data: é\n\n") == [Event("message", "é", "", None)]
    with pytest.raises(TypeError, match="a chunk must be bytes or str, not int"):
        Decoder().feed(5)


@raw_files
@few
@given(points=cuts)
def test_the_decoder_reads_every_raw_file_as_the_sdk_and_httpx_sse_do(raw, points):
    pytest.importorskip("openai")
    pytest.importorskip("httpx_sse")
    chunks = cut_at(raw.read_bytes(), points)
    ours = decode(chunks)
    assert ours == sdk_decode(chunks)
    assert ours == httpx_sse_decode(chunks)


def test_three_raw_files_end_without_the_blank_line_that_dispatches_their_last_event():
    short = []
    for raw in RAW_FILES:
        events = [json.loads(data) for _, data, _, _ in decode([raw.read_bytes()]) if data != "[DONE]"]
        recorded = [event for event in load(raw.parent.parent / "streams" / (raw.stem + ".jsonl")) if True]
        recorded = [{k: v for k, v in event.items() if not k.startswith("_")} for event in recorded]
        if events != recorded:
            assert (events, recorded[-1]["type"]) == (recorded[:-1], "message_stop")
            short.append(raw.stem)
    assert len(short) == (3 if RAW_FILES else 0)


# --- one outcome, however the stream is fed ---------------------------------------------------


def outcome(collector):
    calls = [(c.index, c.id, c.name, c.type, c.text, c.state, c.executable, c.reason, c.parsed) for c in collector]
    content = collector.content
    text = None if content is None else (content.text, content.state, content.final, content.reason, content.parsed)
    return {
        "finish": collector.finish_reason,
        "reason": collector.reason,
        "refusal": collector.refusal,
        "id": collector.id,
        "calls": calls,
        "content": text,
        "message": collector.message(),
    }


def choices(path):
    return range(len(expected(path).get("choices") or [None]))


async def chunks_of(pieces):
    for piece in pieces:
        await asyncio.sleep(0)
        yield piece


class Body:
    """An HTTP body that arrives in the given pieces."""

    def __init__(self, pieces):
        self.pieces = pieces

    async def __aiter__(self):
        for piece in self.pieces:
            yield piece


def async_client(format, pieces):
    """The SDK's own async client, its HTTP served from the pieces by a mock transport."""
    sdk = pytest.importorskip("openai" if format.startswith("openai") else "anthropic")
    import httpx2

    def handler(request):
        return httpx2.Response(200, headers={"content-type": "text/event-stream"}, content=Body(pieces))

    http = httpx2.AsyncClient(transport=httpx2.MockTransport(handler))
    if format.startswith("openai"):
        return sdk.AsyncOpenAI(api_key="sk-test", base_url="http://mock.invalid/v1", http_client=http, max_retries=0)
    return sdk.AsyncAnthropic(api_key="sk-ant-test", base_url="http://mock.invalid", http_client=http, max_retries=0)


async def sdk_stream(format, pieces):
    client = async_client(format, pieces)
    user = [{"role": "user", "content": "x"}]
    if format == "openai-chat":
        return await client.chat.completions.create(model="m", messages=user, stream=True)
    if format == "openai-responses":
        return await client.responses.create(model="m", input="x", stream=True)
    return await client.messages.create(model="m", max_tokens=9, messages=user, stream=True)


def sent(path):
    """The events an SSE reader gets from the stream's body."""
    return sse_events(sse_body(path))


@streams
@few
@given(points=cuts)
def test_feed_sse_collects_as_the_decoded_events_do(path, points):
    pytest.importorskip("openai")
    body, events = sse_body(path), sent(path)
    for choice in choices(path):
        collector = ToolCalls(choice=choice)
        for piece in cut_at(body, points):
            collector.feed_sse(piece)
        collector.close()
        assert outcome(collector) == outcome(ToolCalls.collect(events, choice=choice))


@streams
@settings(max_examples=2, deadline=None)
@given(points=cuts)
def test_acollect_over_the_sdks_async_clients_collects_as_dicts_do(path, points):
    format = format_of(path)
    pieces = cut_at(sse_body(path), points)
    for choice in choices(path):
        collector = asyncio.run(_acollect(format, pieces, choice))
        assert outcome(collector) == outcome(ToolCalls.collect(sent(path), choice=choice))


async def _acollect(format, pieces, choice):
    return await ToolCalls.acollect(await sdk_stream(format, pieces), choice=choice)


@given(data=st.data())
@settings(max_examples=25, deadline=None)
def test_dicts_sdk_objects_sse_bytes_and_async_iteration_collect_the_same(data):
    pytest.importorskip("openai")
    pytest.importorskip("anthropic")
    if not STREAMS:
        pytest.skip("provider streams not found")
    path = data.draw(st.sampled_from(STREAMS))
    choice = data.draw(st.sampled_from(list(choices(path))))
    format, events, body = format_of(path), sent(path), sse_body(path)
    pieces = cut_at(body, data.draw(cuts))
    want = outcome(ToolCalls.collect(events, choice=choice))
    plain = [event for event in events if event.get("type") != "ping"]
    assert outcome(ToolCalls.collect(sdk_objects(plain, format), choice=choice)) == want
    assert outcome(ToolCalls.collect(pieces, choice=choice)) == want  # bytes go to feed_sse
    assert outcome(asyncio.run(ToolCalls.acollect(chunks_of(pieces), choice=choice))) == want
    assert outcome(asyncio.run(ToolCalls.acollect(chunks_of(events), choice=choice))) == want
    assert outcome(asyncio.run(_acollect(format, pieces, choice))) == want


# --- the async patterns -------------------------------------------------------------------------


def test_aupdates_yields_each_call_as_it_changes_from_the_anthropic_helper():
    pytest.importorskip("anthropic")
    path = corpus_stream("anthropic-messages__tool-runner-haiku45-a")

    async def follow():
        client = async_client("anthropic-messages", [sse_body(path)])
        calls, seen = ToolCalls(), []
        async with client.messages.stream(model="m", max_tokens=9, messages=[{"role": "user", "content": "x"}]) as stream:
            async for call in calls.aupdates(stream):
                seen.append((call.name, call.arguments.value(), call.state))
        return calls, seen

    calls, seen = asyncio.run(follow())
    assert seen[0] == ("get_weather", None, "streaming")
    assert seen[-1] == ("get_weather", {"location": "San Francisco, CA", "units": "f"}, "complete")
    assert all(later[1] != earlier[1] or later[2] != earlier[2] for earlier, later in zip(seen[1:], seen[2:]))
    assert [call.executable for call in calls] == [True] and calls.ended


def test_acollect_reads_an_http_body_as_it_arrives():
    httpx2 = pytest.importorskip("httpx2")
    path = corpus_stream("openai-chat__tool-parallel-2-r1")
    body = sse_body(path)

    async def read():
        transport = httpx2.MockTransport(lambda request: httpx2.Response(200, content=Body(cut_at(body, [7, 100, 101, 900]))))
        async with httpx2.AsyncClient(transport=transport) as client, client.stream("POST", "http://mock.invalid/") as response:
            return await ToolCalls.acollect(response.aiter_bytes())

    assert [call.name for call in asyncio.run(read()).executable()] == ["GetWeatherArgs", "get_stock_price"]


def test_collect_says_to_await_acollect_for_an_async_stream():
    with pytest.raises(TypeError, match=r"await ToolCalls.acollect"):
        ToolCalls.collect(chunks_of([]))


BAD_BODIES = [
    (b"data: {not json}\n\n", "whose data is not JSON"),
    (b"data: [1, 2]\n\n", "whose data is not a JSON object"),
]


@pytest.mark.parametrize(("body", "message"), BAD_BODIES)
def test_feed_sse_says_what_is_wrong_with_an_event(body, message):
    with pytest.raises(ValueError, match=message):
        ToolCalls().feed_sse(body)


# --- deltas read from bytes without parsing the whole event ---------------------------------------
#
# feed_sse keeps the text around the fragment of the last delta the reader's fast
# path took; an event that is that same text around another fragment (padding
# such as sequence_number aside) is fed without json.loads. These drive it, and
# the events that must leave it.


def sse_of(events, padded=False):
    out = []
    for number, event in enumerate(events):
        if padded and "choices" not in event:
            event = {**event, "sequence_number": number, "obfuscation": "x" * (number % 5)}
        elif padded:
            event = {**event, "obfuscation": "y" * (number % 3)}
        name = f"event: {event['type']}\n" if "type" in event else ""
        out.append((name + "data: " + json.dumps(event, separators=(",", ":")) + "\n\n").encode())
    return out


TRICKY = ['{"path": "a\\"b', '\\u00e9\\ud83d', '\\ude00", "n": [1, ', "2]}"]


@pytest.mark.parametrize("padded", [False, True], ids=["plain", "padded"])
@pytest.mark.parametrize("format", ["openai-chat", "openai-responses", "anthropic-messages"])
def test_deltas_fed_from_bytes_without_a_parse_collect_as_dicts_do(format, padded):
    from provider_events import BUILDERS

    events = BUILDERS[format]([("write", TRICKY), ("read", ['{"a"', ": 1}"])])
    collector = ToolCalls()
    for piece in sse_of(events, padded):
        collector.feed_sse(piece)
    assert collector._sse._learned is not None  # the learned path was taken
    collector.close()
    assert outcome(collector) == outcome(ToolCalls.collect(events))
    assert collector.calls[0].parsed == {"path": 'a"bé😀', "n": [1, 2]}


def test_a_learned_delta_for_a_call_that_ended_raises_as_its_dict_does():
    from provider_events import responses

    events = responses([("f", ['{"a"', ": 1", "}"])])
    body = sse_of(events)
    delta = body[2]  # an argument delta, fed again after the item is done
    collector = ToolCalls()
    for piece in body[:-1]:
        collector.feed_sse(piece)
    with pytest.raises(ValueError, match="a fragment of arguments after the end"):
        collector.feed_sse(delta)
    assert [call.text for call in collector] == ['{"a": 1}']
    collector.feed_sse(body[-1])
    collector.close()
    with pytest.raises(ValueError, match=r"feed\(\) after close\(\)"):
        collector.feed_sse(delta)


def test_an_event_that_only_looks_like_the_learned_delta_takes_the_general_path():
    from provider_events import messages

    events = messages([("f", ['{"a": ', "1}"])])
    body = sse_of(events)
    collector = ToolCalls()
    for piece in body[:4]:
        collector.feed_sse(piece)
    empty = body[2].decode()  # the learned delta's text, around an empty fragment
    assert empty.endswith('"partial_json":""}}\n\n')
    for bad, error in [
        (empty.replace('""}}', '""},"x":1}'), None),  # another member after the fragment: read whole, passed over
        (empty.replace('""}}', '""}'), ValueError),  # not JSON
        (empty.replace('""}}', '"\x01"}}'), ValueError),  # a raw control character
    ]:
        if error is None:
            collector.feed_sse(bad.encode())
        else:
            with pytest.raises(error):
                collector.feed_sse(bad.encode())
    for piece in body[4:]:
        collector.feed_sse(piece)
    collector.close()
    assert [call.parsed for call in collector] == [{"a": 1}]


VARIANTS = [
    ("no space after the colons", lambda piece: piece.replace(b"data: ", b"data:").replace(b"event: ", b"event:")),
    ("CRLF line ends", lambda piece: piece.replace(b"\n", b"\r\n")),
    ("an id line", lambda piece: b"id: 7\n" + piece),
    ("a comment line", lambda piece: b": keep-alive\n" + piece),
    ("two events in a chunk", None),
]


@pytest.mark.parametrize(("name", "change"), VARIANTS, ids=[name for name, _ in VARIANTS])
@pytest.mark.parametrize("format", ["openai-chat", "openai-responses", "anthropic-messages"])
def test_chunks_that_are_not_one_plain_event_collect_as_dicts_do(format, name, change):
    from provider_events import BUILDERS

    events = BUILDERS[format]([("write", TRICKY)])
    body = sse_of(events, padded=True)
    if change is None:
        body = [b"".join(body[i : i + 2]) for i in range(0, len(body), 2)]
    else:
        body = body[:3] + [change(piece) for piece in body[3:]]
    collector = ToolCalls()
    for piece in body:
        collector.feed_sse(piece)
    collector.close()
    assert outcome(collector) == outcome(ToolCalls.collect(events))


def test_a_delta_whose_blank_line_has_a_space_is_not_dispatched():
    from provider_events import messages

    events = messages([("f", ['{"a": ', "1", "}"])])
    body = sse_of(events)
    collector = ToolCalls()
    for piece in body[:4]:
        collector.feed_sse(piece)
    assert collector.feed_sse(body[4].replace(b"\n\n", b"\n \n")) == []  # " " is a line, not the blank line
    assert collector.calls[0].text == '{"a": '


def test_a_body_that_ends_with_cr_ends_its_last_event_at_close():
    from provider_events import messages

    body = b"".join(sse_of(messages([("f", ['{"a": 1}'])]))).replace(b"\n", b"\r")
    collector = ToolCalls()
    collector.feed_sse(body)
    assert not collector.ended  # the last CR may be half a CRLF
    collector.close()
    assert [call.executable for call in collector] == [True]


HELPED = ["openai-chat__tool-parallel-2-r1", "openai-chat__structured-pydantic-n3-r1", "synthetic-openai-responses__parallel-interleaved-3", "anthropic-messages__tool-runner-sonnet35-a"]


@pytest.mark.parametrize("name", HELPED)
def test_the_sdks_async_stream_helpers_collect_as_dicts_do(name):
    """client.chat.completions.stream(), client.responses.stream() and
    client.messages.stream() yield their own events beside the provider's."""
    path = corpus_stream(name)
    format = format_of(path)

    async def collect():
        client = async_client(format, cut_at(sse_body(path), [50, 5000]))
        user = [{"role": "user", "content": "x"}]
        if format == "openai-chat":
            helper = client.chat.completions.stream(model="m", messages=user)
        elif format == "openai-responses":
            helper = client.responses.stream(model="m", input="x")
        else:
            helper = client.messages.stream(model="m", max_tokens=9, messages=user)
        async with helper as stream:
            return await ToolCalls.acollect(stream)

    assert outcome(asyncio.run(collect())) == outcome(ToolCalls.collect(sent(path)))


fragments = st.lists(st.text(alphabet=st.sampled_from('{}[]":, a\\\n\té😀\x7f0'), max_size=6), min_size=1, max_size=8)


@given(
    format=st.sampled_from(["openai-chat", "openai-responses", "anthropic-messages"]),
    calls=st.lists(fragments, min_size=1, max_size=3),
    padded=st.booleans(),
    points=st.none() | cuts,
)
@settings(max_examples=40, deadline=None)
def test_any_fragments_from_sse_bytes_collect_as_their_dicts(format, calls, padded, points):
    """Arbitrary argument text (JSON or not, escapes, astral characters), one
    event a chunk (the learned path) or cut anywhere."""
    from provider_events import BUILDERS

    events = BUILDERS[format]([(f"tool_{i}", pieces) for i, pieces in enumerate(calls)])
    body = sse_of(events, padded)
    pieces = body if points is None else cut_at(b"".join(body), points)
    collector = ToolCalls()
    for piece in pieces:
        collector.feed_sse(piece)
    collector.close()
    assert outcome(collector) == outcome(ToolCalls.collect(events))


sse_text = st.lists(
    st.sampled_from(["data", "event", "id", "retry", ":", " ", "x", "7", "é", "\r", "\n", "\r\n", "\n\n", "\ufeff", "\0"]), max_size=40
).map("".join)


@given(body=sse_text, points=cuts)
@settings(max_examples=150, deadline=None)
def test_the_decoder_gives_the_same_events_however_the_body_is_cut(body, points):
    data = body.encode()
    assert decode(cut_at(data, points)) == decode([data])
    assert decode([data[i : i + 1] for i in range(len(data))]) == decode([data])


sse_fields = st.lists(
    st.sampled_from(["data", "data:", "data: ", "event", "event:", "id:", "retry:", ":", " ", "x", "7", "é", "\r", "\n", "\r\n", "\n\n", "\0"]),
    max_size=40,
).map("".join)


@given(body=sse_fields, points=cuts)
@settings(max_examples=100, deadline=None)
def test_the_decoder_reads_any_body_as_the_sdk_and_httpx_sse_do_but_events_without_data(body, points):
    pytest.importorskip("openai")
    pytest.importorskip("httpx_sse")
    chunks = cut_at(body.encode(), points)
    ours = [event for event in decode(chunks) if event[1]]
    assert ours == [event for event in sdk_decode(chunks) if event[1]]
    assert ours == [event for event in httpx_sse_decode(chunks) if event[1]]
