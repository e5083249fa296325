"""Benchmark of carrack.ToolCalls: one 64 KB tool call streamed in argument
deltas of 1 to 16 characters, in each provider's format, collected with the
value of the arguments taken after every delta. Compared with a bare
Stream.feed + value() on the same text, which is the least any collector
built on Stream can cost, and with the official SDKs' stream accumulators; and
end to end, from the bytes of the HTTP body: ToolCalls.feed_sse against the
SDK's own pipeline (its SSE decoder, event models and accumulator). Every way
is run the same number of times, and each counts with its fastest whole run.
Writes docs/tool_calls.{md,json,png}.

Run it through bench/run-tool-calls, which installs the SDKs into .venv-bench.

    python bench/tool_calls.py            # the 64 KB call, some minutes
    python bench/tool_calls.py --quick    # a 16 KB call, one run of each
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import statistics
import time
from pathlib import Path
from typing import Any, Callable

from carrack import Stream, ToolCall, ToolCalls
from carrack.sse import Decoder
from report import seconds
from values import chunks_of, structured

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
RUNS = 5  # every way, carrack's and each SDK's, is run this often, interleaved; its fastest run counts
NAME = "insert_rows"
OURS = "ToolCalls.feed(dict) + value()"
OBJECTS = "ToolCalls.feed(SDK object) + value()"
COLLECT = "ToolCalls.feed(dict)"
BARE = "Stream.feed + value()"
BARE_FEED = "Stream.feed"
SSE_OURS = "ToolCalls.feed_sse(body bytes) + value()"
SSE_DECODER = "carrack.sse.Decoder alone"
SDK_DECODER = "the SDK's SSEDecoder alone"


# --- the stream in each format, as the JSON of each server-sent event --------


def chat_events(chunks: list[str]) -> list[dict]:
    head = {"id": "chatcmpl-1", "object": "chat.completion.chunk", "created": 1, "model": "gpt-4o", "system_fingerprint": "fp_1"}

    def chunk(delta: dict, finish: str | None = None) -> dict:
        return {**head, "choices": [{"index": 0, "delta": delta, "logprobs": None, "finish_reason": finish}]}

    first = {"index": 0, "id": "call_1", "type": "function", "function": {"name": NAME, "arguments": ""}}
    return (
        [chunk({"role": "assistant", "content": None}), chunk({"tool_calls": [first]})]
        + [chunk({"tool_calls": [{"index": 0, "function": {"arguments": piece}}]}) for piece in chunks]
        + [chunk({}, "tool_calls")]
    )


def responses_events(chunks: list[str]) -> list[dict]:
    response = {"id": "resp_1", "object": "response", "created_at": 1, "status": "in_progress", "model": "gpt-4.1", "output": [],
                "parallel_tool_calls": True, "tool_choice": "auto", "tools": []}
    item = {"id": "fc_1", "type": "function_call", "status": "in_progress", "arguments": "", "call_id": "call_1", "name": NAME}
    whole = "".join(chunks)
    done = {**item, "status": "completed", "arguments": whole}
    events = [
        {"type": "response.created", "sequence_number": 0, "response": response},
        {"type": "response.output_item.added", "output_index": 0, "item": item, "sequence_number": 1},
    ]
    events += [
        {"type": "response.function_call_arguments.delta", "item_id": "fc_1", "output_index": 0, "delta": piece, "sequence_number": i + 2}
        for i, piece in enumerate(chunks)
    ]
    n = len(events)
    return events + [
        {"type": "response.function_call_arguments.done", "item_id": "fc_1", "output_index": 0, "arguments": whole, "sequence_number": n},
        {"type": "response.output_item.done", "output_index": 0, "item": done, "sequence_number": n + 1},
        {"type": "response.completed", "sequence_number": n + 2, "response": {**response, "status": "completed", "output": [done]}},
    ]


def messages_events(chunks: list[str]) -> list[dict]:
    message = {"id": "msg_1", "type": "message", "role": "assistant", "model": "claude-sonnet-4", "content": [],
               "stop_reason": None, "stop_sequence": None, "usage": {"input_tokens": 10, "output_tokens": 1}}
    block = {"type": "tool_use", "id": "toolu_1", "name": NAME, "input": {}}
    return (
        [{"type": "message_start", "message": message}, {"type": "content_block_start", "index": 0, "content_block": block}]
        + [{"type": "content_block_delta", "index": 0, "delta": {"type": "input_json_delta", "partial_json": piece}} for piece in chunks]
        + [
            {"type": "content_block_stop", "index": 0},
            {"type": "message_delta", "delta": {"stop_reason": "tool_use", "stop_sequence": None}, "usage": {"output_tokens": 9}},
            {"type": "message_stop"},
        ]
    )


FORMATS = {"openai-chat": chat_events, "openai-responses": responses_events, "anthropic-messages": messages_events}
LABELS = {"openai-chat": "OpenAI Chat Completions", "openai-responses": "OpenAI Responses", "anthropic-messages": "Anthropic Messages"}


# --- the SDKs' accumulators and event objects -----------------------------------


def sdk_ways(format: str) -> tuple[Callable[[dict], Any], dict[str, Callable[[], Callable[[Any], Any]]]]:
    """How the SDK makes its event object from an event's JSON, and its accumulators,
    each a factory of a function taking one event object."""
    if format == "openai-chat":
        from openai.lib.streaming.chat import ChatCompletionStreamState
        from openai.types.chat import ChatCompletionChunk

        tool = {"type": "function", "function": {"name": NAME, "parameters": {"type": "object"}, "strict": True}}

        def chat(tools: Any) -> Callable[[Any], Any]:
            state = ChatCompletionStreamState(**tools)
            return lambda event: state.handle_chunk(event)

        return ChatCompletionChunk.model_validate, {
            "openai ChatCompletionStreamState": lambda: chat({}),
            "openai ChatCompletionStreamState, strict tool (parses every delta)": lambda: chat({"input_tools": [tool]}),
        }
    if format == "openai-responses":
        from openai import omit
        from openai._models import construct_type
        from openai.lib.streaming.responses import ResponseStreamState
        from openai.types.responses import ResponseStreamEvent

        def responses() -> Callable[[Any], Any]:
            state = ResponseStreamState(input_tools=omit, text_format=omit)
            return state.handle_event

        return lambda event: construct_type(type_=ResponseStreamEvent, value=event), {"openai ResponseStreamState": responses}
    import inspect

    from anthropic._models import construct_type
    from anthropic.lib.streaming._messages import accumulate_event
    from anthropic.types import RawMessageStreamEvent

    def messages() -> Callable[[Any], Any]:
        snapshot: list[Any] = [None]
        extra = {"json_bufs": {}} if "json_bufs" in inspect.signature(accumulate_event).parameters else {}

        def handle(event: Any) -> None:
            snapshot[0] = accumulate_event(event=event, current_snapshot=snapshot[0], **extra)

        return handle

    return lambda event: construct_type(type_=RawMessageStreamEvent, value=event), {"anthropic accumulate_event (MessageStream)": messages}


# --- timing -------------------------------------------------------------------------


def timer_overhead() -> int:
    clock = time.perf_counter_ns
    samples = []
    for _ in range(20_000):
        start = clock()
        samples.append(clock() - start)
    return int(statistics.median(samples))


def time_collector(lines: list[str], make: Callable[[dict], Any], with_value: bool, overhead: int) -> list[int]:
    """Per-delta times of ToolCalls: each event decoded (untimed, so that it is as
    fresh in memory as a client's), then fed, then the value taken."""
    collector = ToolCalls()
    clock = time.perf_counter_ns
    times = []
    for line in lines:
        event = make(json.loads(line))
        start = clock()
        part = collector.feed(event)
        if with_value and part is not None:
            part.arguments.value()
        times.append(clock() - start - overhead)
    collector.close()
    (call,) = collector.executable()
    assert call.parsed == json.loads(call.text)
    return times


def time_bare(lines: list[str], fragment: Callable[[dict], str], with_value: bool, overhead: int) -> list[int]:
    """Per-delta times of a bare Stream given the same fragments, each taken out of
    its decoded event before the time starts: the same work between deltas as
    ToolCalls has, so that only what ToolCalls adds differs."""
    stream = Stream()
    clock = time.perf_counter_ns
    times = []
    for line in lines:
        piece = fragment(json.loads(line))
        start = clock()
        stream.feed(piece)
        if with_value:
            stream.value()
        times.append(clock() - start - overhead)
    assert stream.close() == json.loads(stream.text)
    return times


# Where each format's argument delta carries its fragment.
FRAGMENT = {
    "openai-chat": lambda event: event["choices"][0]["delta"]["tool_calls"][0]["function"]["arguments"],
    "openai-responses": lambda event: event["delta"],
    "anthropic-messages": lambda event: event["delta"]["partial_json"],
}


def time_sdk(lines: list[str], make: Callable[[dict], Any], accumulator: Callable[[Any], Any], overhead: int) -> list[int]:
    clock = time.perf_counter_ns
    times = []
    for line in lines:
        event = make(json.loads(line))
        start = clock()
        accumulator(event)
        times.append(clock() - start - overhead)
    return times


def best_run(runs: list[list[int]]) -> list[int]:
    """The run with the least total time: one statistic for every way."""
    return min(runs, key=sum)


def measure(format: str, chunks: list[str], runs: int, overhead: int) -> tuple[dict[str, list[int]], dict[str, float]]:
    events = FORMATS[format](chunks)
    lines = [json.dumps(event) for event in events]
    n = len(chunks)

    def window(times: list[int]) -> list[int]:
        """The argument deltas' times, without the events around them."""
        return times[2 : 2 + n]

    try:
        make_object, accumulators = sdk_ways(format)
    except ImportError:
        make_object, accumulators = None, {}
    ways: dict[str, Callable[[], list[int]]] = {
        BARE: lambda: time_bare(lines[2 : 2 + n], FRAGMENT[format], True, overhead),
        OURS: lambda: window(time_collector(lines, lambda e: e, True, overhead)),
        BARE_FEED: lambda: time_bare(lines[2 : 2 + n], FRAGMENT[format], False, overhead),
        COLLECT: lambda: window(time_collector(lines, lambda e: e, False, overhead)),
    }
    if make_object is not None:
        maker = make_object
        ways[OBJECTS] = lambda: window(time_collector(lines, maker, True, overhead))
        for name, factory in accumulators.items():
            ways[name] = lambda factory=factory: window(time_sdk(lines, maker, factory(), overhead))
    body = sse_chunks(format, events)
    whole: dict[str, Callable[[], float]] = {SSE_OURS: lambda: end_to_end_carrack(body), SSE_DECODER: lambda: decoder_alone(body)}
    try:
        whole[sdk_pipeline_name(format)] = end_to_end_sdk(format, body)
        whole[SDK_DECODER] = sdk_decoder_alone(body)
    except ImportError:
        pass
    times: dict[str, list[list[int]]] = {name: [] for name in ways}
    totals: dict[str, list[float]] = {name: [] for name in whole}
    for _ in range(runs):
        for name, run in ways.items():
            gc.collect()
            gc.disable()
            try:
                times[name].append(run())
            finally:
                gc.enable()
        for name, timed in whole.items():
            gc.collect()
            totals[name].append(timed())
    return {name: best_run(runs_of) for name, runs_of in times.items()}, {name: min(t) for name, t in totals.items()}


# --- end to end, from the bytes of the HTTP body -------------------------------------

TOOL = {"type": "object", "properties": {"table": {"type": "string"}, "rows": {"type": "array", "items": {"type": "object"}}}}


def sse_chunks(format: str, events: list[dict]) -> list[bytes]:
    """The HTTP body as the API sends it, one network chunk per event (servers
    flush each), so that a value is taken after every delta on both sides."""
    out = []
    for event in events:
        name = "" if format == "openai-chat" else f"event: {event['type']}\n"
        out.append((name + "data: " + json.dumps(event, ensure_ascii=False, separators=(",", ":")) + "\n\n").encode())
    if format == "openai-chat":
        out.append(b"data: [DONE]\n\n")
    return out


def http_client(body: list[bytes]) -> Any:
    import httpx2

    def handler(request: Any) -> Any:
        return httpx2.Response(200, headers={"content-type": "text/event-stream"}, content=iter(body))

    return httpx2.Client(transport=httpx2.MockTransport(handler))


def end_to_end_carrack(body: list[bytes]) -> float:
    """The body through ToolCalls.feed_sse, read from the same mock HTTP client
    as the SDK's, with the value of the arguments after every delta."""
    client = http_client(body)
    start = time.perf_counter()
    calls = ToolCalls()
    with client.stream("POST", "http://mock.invalid/v1/x") as response:
        for chunk in response.iter_bytes():
            for part in calls.feed_sse(chunk):
                if type(part) is ToolCall:
                    part.arguments.value()
    calls.close()
    elapsed = time.perf_counter() - start
    (call,) = calls.executable()
    return elapsed


def decoder_alone(body: list[bytes]) -> float:
    """What a proxy that only forwards events pays: the decoder over the bytes."""
    decoder = Decoder()
    start = time.perf_counter()
    for chunk in body:
        decoder.feed(chunk)
    decoder.close()
    return time.perf_counter() - start


def sdk_decoder_alone(body: list[bytes]) -> Callable[[], float]:
    from openai._streaming import SSEDecoder

    def run() -> float:
        start = time.perf_counter()
        for _ in SSEDecoder().iter_bytes(iter(body)):
            pass
        return time.perf_counter() - start

    return run


def sdk_pipeline_name(format: str) -> str:
    return {
        "openai-chat": "openai client.chat.completions.stream(), strict tool: parsed_arguments",
        "openai-responses": "openai client.responses.stream() + jiter.from_json(snapshot, partial_mode=True)",
        "anthropic-messages": "anthropic client.messages.stream(): input_json snapshot",
    }[format]


def end_to_end_sdk(format: str, body: list[bytes]) -> Callable[[], float]:
    """The SDK's own pipeline over the same body: its client, SSE decoder, event
    models and accumulator, with the value after every delta (the SDK's own
    partial parse where it has one; for Responses, which has none, jiter's, as
    the SDK's Chat Completions helper parses)."""
    user = [{"role": "user", "content": "x"}]
    if format == "anthropic-messages":
        import anthropic

        def messages() -> float:
            client = anthropic.Anthropic(api_key="k", base_url="http://mock.invalid", http_client=http_client(body), max_retries=0)
            start = time.perf_counter()
            with client.messages.stream(model="m", max_tokens=9, messages=user) as stream:  # type: ignore[arg-type]
                for event in stream:
                    if event.type == "input_json":
                        event.snapshot
            return time.perf_counter() - start

        return messages
    import openai
    from jiter import from_json

    if format == "openai-chat":
        tool = {"type": "function", "function": {"name": NAME, "parameters": TOOL, "strict": True}}

        def chat() -> float:
            client = openai.OpenAI(api_key="k", base_url="http://mock.invalid/v1", http_client=http_client(body), max_retries=0)
            start = time.perf_counter()
            with client.chat.completions.stream(model="m", messages=user, tools=[tool]) as stream:  # type: ignore[arg-type,list-item]
                for event in stream:
                    if event.type == "tool_calls.function.arguments.delta":
                        event.parsed_arguments
            return time.perf_counter() - start

        return chat

    def responses() -> float:
        client = openai.OpenAI(api_key="k", base_url="http://mock.invalid/v1", http_client=http_client(body), max_retries=0)
        start = time.perf_counter()
        with client.responses.stream(model="m", input="x") as stream:
            for event in stream:
                if event.type == "response.function_call_arguments.delta":
                    from_json(event.snapshot.encode(), partial_mode=True)
        return time.perf_counter() - start

    return responses


# --- report ------------------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    size = 16_000 if args.quick else 64_000
    runs = 1 if args.quick else RUNS
    text = json.dumps(json.loads(structured(size))["arguments"], ensure_ascii=False)
    chunks = chunks_of(text, size)
    overhead = timer_overhead()
    results, wholes = {}, {}
    for format in FORMATS:
        results[format], wholes[format] = measure(format, chunks, runs, overhead)
        print(format, {name: seconds(sum(t) * 1e-9) for name, t in results[format].items()}, flush=True)
        print(format, {name: seconds(t) for name, t in wholes[format].items()}, flush=True)
    write_report(results, wholes, text, chunks, overhead, runs)


def write_report(results: dict, wholes: dict, text: str, chunks: list[str], overhead: int, runs: int) -> None:
    n = len(chunks)
    size = f"{len(text.encode()) / 1000:.0f} KB"
    totals = {f: {name: sum(times) * 1e-9 for name, times in ways.items()} for f, ways in results.items()}
    lines = [
        "# Tool calls",
        "",
        f"One tool call of {size} (`insert_rows`, an array of records: the structured",
        f"stream of [values.md](values.md)) arrives as {n:,} argument deltas of 1 to 16 characters, in",
        "each provider's format. After every delta the collector is fed the event and the",
        "call's arguments give their value, as a client showing the arguments while they",
        "grow does.",
        "",
        f"- **{OURS}**: `carrack.ToolCalls` fed each event as the JSON of its",
        "  server-sent event (a dict), then `call.arguments.value()`.",
        f"- **{OBJECTS}**: the same, fed the SDK's own event object (read by attribute).",
        f"- **{BARE}**: a bare `carrack.Stream` fed the same text in the same pieces, each",
        "  taken out of its decoded event before the time starts: the least that any",
        "  collector built on `Stream` can cost.",
        "- The SDKs' accumulators, fed their own event objects: openai's",
        "  `ChatCompletionStreamState`, without tools and with a strict tool, whose",
        "  arguments it parses again on every delta to give their value, `ResponseStreamState`,",
        "  and anthropic's `accumulate_event`, the accumulator of `MessageStream`, which parses",
        "  the whole input again on every delta. openai's without a strict tool give no value",
        "  while the arguments stream: their cost per delta is the same at every length, but",
        "  a hundred times carrack's; the two that parse again grow with the text received.",
        "",
        f"Machine: {platform.machine()}, Python {platform.python_version()}. Each event is decoded",
        "from its JSON line, and an SDK's object made from it, before its time starts, so",
        "that it is as fresh in memory as a client's; the clock's own cost",
        f"({overhead} ns) is taken off every delta. Every way, carrack's and each SDK's, is",
        f"run {runs} times, interleaved, and counts with its fastest run: the run whose",
        "deltas took the least time in all (the per-delta chart shows that run).",
        "",
        "## Whole stream",
        "",
        "| | " + " | ".join(LABELS[f] for f in results) + " |",
        "|---|" + "---:|" * len(results),
    ]
    names = []
    for ways in results.values():
        names += [name for name in ways if name not in names]
    for name in names:
        cells = [seconds(totals[f][name]) if name in totals[f] else "" for f in results]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += [
        "",
        "The SDK's time for the whole stream divided by carrack's, with the value taken after",
        "every delta (in brackets, collecting alone, without values: all that openai's",
        "accumulators do without a strict tool):",
        "",
    ]
    for format, total in totals.items():
        sdks = [(name, t) for name, t in total.items() if name not in (OURS, OBJECTS, COLLECT, BARE, BARE_FEED)]
        parts = [f"{name}: {t / total[OURS]:,.0f}× ({t / total[COLLECT]:,.0f}×)" for name, t in sdks]
        lines.append(f"- {LABELS[format]}: " + ("; ".join(parts) if parts else "SDK not installed") + ".")
    lines += [
        "",
        "## Per delta",
        "",
        "| | " + " | ".join(LABELS[f] for f in results) + " |",
        "|---|" + "---:|" * len(results),
    ]
    for name in (BARE, OURS, OBJECTS, BARE_FEED, COLLECT):
        cells = [f"{totals[f][name] / n * 1e9:,.0f} ns" if name in totals[f] else "" for f in results]
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    ratio = [f"{totals[f][OURS] / totals[f][BARE]:.2f}×" for f in results]
    added = [f"{(totals[f][COLLECT] - totals[f][BARE_FEED]) / n * 1e9:,.0f} ns" for f in results]
    lines += [
        "| ToolCalls + value() against Stream.feed + value() | " + " | ".join(ratio) + " |",
        "| what ToolCalls adds to a delta | " + " | ".join(added) + " |",
        "",
        "What ToolCalls adds is pure Python: finding the fragment in the event (Chat",
        "Completions nests it five containers deep), finding its call by index or item id,",
        "and the checks that keep a delta for a finished call, another choice or a new call",
        "off the fast path. It does not grow with the arguments: no delta reads the text",
        "received before it. On a machine shared with other work these ratios move by a",
        "quarter or so between runs. What would take the rest off is native code for the",
        "fast path alone: reading the fragment out of the event and finding its call in C,",
        "for instance a Stream method given the event and the keys that lead to its",
        "fragment, with Python left to the few events that start or end a call.",
        "",
        "![time per delta against the length received](tool_calls.png)",
        "",
        "## End to end, from the bytes of the HTTP body",
        "",
        "The same stream as the API sends it: the SSE body, one network chunk per event,",
        "served by a mock HTTP transport (`httpx2.MockTransport`, the SDKs' own HTTP",
        "library) and read with the value of the arguments after every delta. carrack:",
        "`response.iter_bytes()` into `ToolCalls.feed_sse`, then `value()` of each call",
        "it changed. The SDK: its own client and stream helper over the same transport,",
        "which decodes the SSE, builds its event models and runs its accumulator; the value",
        "is the SDK's own partial parse (`parsed_arguments` of a strict tool, the",
        "`input_json` event's snapshot), and for Responses, whose helper gives only the",
        "text, `jiter.from_json(snapshot, partial_mode=True)`, as the SDK's Chat helper",
        "parses. Whole stream, request to end, fastest of the runs. Each delta after the",
        "first of a call is one chunk that `feed_sse` reads in one native call (matched",
        "against the text of the delta it learned, its fragment decoded and fed); the",
        "events that start and end the calls take the Python path.",
        "",
        "| | " + " | ".join(LABELS[f] for f in wholes) + " |",
        "|---|" + "---:|" * len(wholes),
        f"| {SSE_OURS} | " + " | ".join(seconds(wholes[f][SSE_OURS]) for f in wholes) + " |",
        "| the SDK's pipeline | "
        + " | ".join(seconds(wholes[f][sdk_pipeline_name(f)]) if sdk_pipeline_name(f) in wholes[f] else "" for f in wholes)
        + " |",
        "| the SDK's time over carrack's | "
        + " | ".join(
            f"{wholes[f][sdk_pipeline_name(f)] / wholes[f][SSE_OURS]:,.0f}×" if sdk_pipeline_name(f) in wholes[f] else "" for f in wholes
        )
        + " |",
        f"| {SSE_DECODER} | " + " | ".join(rate(wholes[f][SSE_DECODER], sse_size(f, chunks)) for f in wholes) + " |",
        f"| {SDK_DECODER} | "
        + " | ".join(rate(wholes[f][SDK_DECODER], sse_size(f, chunks)) if SDK_DECODER in wholes[f] else "" for f in wholes)
        + " |",
        "",
        "The SDK pipelines: " + "; ".join(f"{LABELS[f]}: {sdk_pipeline_name(f)}" for f in wholes) + ".",
        "The decoders alone are what a proxy that only forwards the events pays.",
        "",
        "Reproduce with `bash bench/run-tool-calls` (or `--quick`).",
        "",
    ]
    (DOCS / "tool_calls.md").write_text("\n".join(lines))
    (DOCS / "tool_calls.json").write_text(
        json.dumps({"deltas": n, "bytes": len(text.encode()), "runs": runs, "totals_seconds": totals, "end_to_end_seconds": wholes}, indent=1)
        + "\n"
    )
    plot(results, chunks)


def sse_size(format: str, chunks: list[str]) -> int:
    return sum(len(chunk) for chunk in sse_chunks(format, FORMATS[format](chunks)))


def rate(elapsed: float, size: int) -> str:
    return f"{seconds(elapsed)} ({size / elapsed / 1e6:,.0f} MB/s)"


def plot(results: dict, chunks: list[str]) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    ends = []
    at = 0
    for chunk in chunks:
        at += len(chunk)
        ends.append(at)
    fig, axes = plt.subplots(1, len(results), figsize=(16, 5), sharey=True)
    for axis, (format, ways) in zip(axes, results.items()):
        for name, times in ways.items():
            if name in (BARE_FEED, COLLECT):
                continue
            step = max(1, len(times) // 200)  # medians over buckets keep the lines readable
            xs = [ends[i] for i in range(0, len(times), step)]
            ys = [statistics.median(times[i : i + step]) * 1e-3 for i in range(0, len(times), step)]
            axis.plot(xs, ys, label=name, linewidth=1.2)
        axis.set_yscale("log")
        axis.set_xlabel("argument characters received")
        axis.set_title(LABELS[format])
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7)
    axes[0].set_ylabel("µs per delta")
    fig.tight_layout()
    fig.savefig(DOCS / "tool_calls.png", dpi=100)


if __name__ == "__main__":
    main()
