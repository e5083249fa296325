"""Benchmark of carrack.ModelToolCalls: a model writes one 64 KB tool call in
the Hermes format, one token (1 to 8 characters) at a time, and the server
turns each token into Chat Completions deltas.

Compared with what inference servers do today: after every token, parse the
whole buffer again with a partial-JSON parser, serialise the arguments with
json.dumps and send the part that is new (jiter's partial mode, and
partial-json-parser). The per-token cost is reported for the first tenth and
the last tenth of the tokens: carrack's must stay flat, the re-parsers' grows
with the buffer. partial-json-parser is pure Python and too slow to run after
every token of a 64 KB call, so it is timed on a sample of the tokens of each
tenth (every 25th), on the buffer as it stands at that token.

Run it through bench/run-model-output, which installs the peers into
.venv-bench.

    python bench/model_output.py            # 64 KB, the fastest of 3 runs
    python bench/model_output.py --quick    # 16 KB, one run
"""

from __future__ import annotations

import argparse
import gc
import json
import platform
import random
import time
from pathlib import Path
from typing import Callable

from carrack import ModelToolCalls
from values import structured

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
START = "<tool_call>\n"


def model_output(size: int) -> tuple[str, str]:
    call = json.loads(structured(size))
    arguments = json.dumps(call["arguments"])
    text = START + '{"name": ' + json.dumps(call["name"]) + ', "arguments": ' + arguments + "}\n</tool_call>"
    return text, arguments


def tokens_of(text: str, seed: int = 7) -> list[str]:
    rng, out, at = random.Random(seed), [], 0
    while at < len(text):
        n = rng.randint(1, 8)
        out.append(text[at : at + n])
        at += n
    return out


def carrack_way(tokens: list[str]) -> tuple[list[float], str]:
    emitter = ModelToolCalls("hermes", ids=lambda i: "call_0")
    times, sent = [], []
    clock = time.perf_counter
    for token in tokens:
        t0 = clock()
        deltas = emitter.feed(token)
        times.append(clock() - t0)
        for d in deltas:
            if "tool_calls" in d:
                sent.append(d["tool_calls"][0]["function"]["arguments"])
    emitter.close()
    return times, "".join(sent)


def reparse_way(loads: Callable[[str], object]) -> Callable[[list[str], int], tuple[list[float], str]]:
    """What servers do: after every token, parse the buffer from the call's
    start, serialise the arguments, and send what lies beyond the longest
    prefix the text shares with the last serialisation, short of the closing
    quote and brackets (they may still move on)."""

    def run(tokens: list[str], every: int) -> tuple[list[float], str]:
        buf, times, sent, last = "", [], 0, ""
        out: list[str] = []
        clock = time.perf_counter
        for i, token in enumerate(tokens):
            buf += token
            if every > 1 and i % every:
                times.append(float("nan"))
                continue
            t0 = clock()
            at = buf.find(START)
            if at != -1:
                try:
                    call = loads(buf[at + len(START) :])
                except ValueError:
                    call = None
                if isinstance(call, dict) and "arguments" in call:
                    now = json.dumps(call["arguments"])
                    # The closing quote and brackets may move on: never sent early.
                    # (What was sent already matched: compare from there on.)
                    common, limit = sent, min(len(now.rstrip('"]}')), len(last))
                    while common < limit and now[common] == last[common]:
                        common += 1
                    if common > sent:
                        out.append(now[sent:common])
                        sent = common
                    last = now
            times.append(clock() - t0)
        if len(last) > sent:
            out.append(last[sent:])
        return times, "".join(out)

    return run


def tenth(times: list[float], which: int) -> float:
    n = len(times)
    part = [t for t in times[which * n // 10 : (which + 1) * n // 10] if t == t]
    return sum(part) / len(part)


def per_token_by_size(sizes: list[int], runs: int) -> list[tuple[int, int, float]]:
    """carrack's mean cost a token over whole calls of each size, the clock
    read once a call: flat if a token costs its own length."""
    rows = []
    for size in sizes:
        tokens = tokens_of(model_output(size)[0])
        fastest = float("inf")
        for _ in range(runs):
            calls = ModelToolCalls("hermes")
            gc.collect()
            start = time.perf_counter()
            for token in tokens:
                calls.feed(token)
            calls.close()
            fastest = min(fastest, time.perf_counter() - start)
        rows.append((size, len(tokens), fastest / len(tokens)))
    return rows


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    size, runs = (16 * 1024, 1) if args.quick else (64 * 1024, 3)
    text, arguments = model_output(size)
    tokens = tokens_of(text)

    ways: dict[str, Callable[[list[str]], tuple[list[float], str]]] = {"carrack ModelToolCalls.feed": carrack_way}
    import jiter

    ways["jiter.from_json(partial) + json.dumps + diff"] = lambda t: reparse_way(
        lambda s: jiter.from_json(s.encode(), partial_mode="trailing-strings")
    )(t, 1)
    try:
        import partial_json_parser

        sample = lambda t: reparse_way(partial_json_parser.loads)(t, 25)  # noqa: E731
        ways["partial_json_parser.loads + json.dumps + diff (sampled)"] = sample
    except ImportError:
        pass

    best: dict[str, list[float]] = {}
    for _ in range(runs):
        for name, way in ways.items():
            gc.collect()
            times, sent = way(tokens)
            if "sampled" not in name:
                assert json.loads(sent) == json.loads(arguments), name
            if name.startswith("carrack"):
                assert sent == arguments, "the fragments must be the model's own text"
            if name not in best or sum(t for t in times if t == t) < sum(t for t in best[name] if t == t):
                best[name] = times

    ours = best["carrack ModelToolCalls.feed"]
    rows = []
    for name, times in best.items():
        first, last = tenth(times, 0), tenth(times, 9)
        whole = sum(t for t in times if t == t) / sum(1 for t in times if t == t)
        mean = sum(ours) / len(ours)
        rows.append((name, first, last, last / first, last / tenth(ours, 9), whole / mean))
    lines = [
        f"# One {len(text) // 1024} KB Hermes tool call, {len(tokens)} tokens of 1-8 characters",
        "",
        f"Python {platform.python_version()}, {platform.machine()}; fastest of {runs} run(s).",
        "",
        "| way | µs/token, first tenth | µs/token, last tenth | last/first | × carrack, last tenth | × carrack, all tokens |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    for name, first, last, growth, ratio_last, ratio_all in rows:
        lines.append(f"| {name} | {first * 1e6:.2f} | {last * 1e6:.2f} | {growth:.2f} | {ratio_last:.0f} | {ratio_all:.0f} |")
    sizes = [16 * 1024, 64 * 1024] if args.quick else [16 * 1024, 64 * 1024, 256 * 1024, 1024 * 1024]
    lines += [
        "",
        "carrack's mean cost a token over whole calls of each size (the clock read once a call, fastest of the runs):",
        "",
        "| call | tokens | µs/token |",
        "|---:|---:|---:|",
    ]
    for size, count, per_token in per_token_by_size(sizes, runs):
        lines.append(f"| {size // 1024} KB | {count} | {per_token * 1e6:.2f} |")
    report = "\n".join(lines) + "\n"
    print(report)
    if not args.quick:
        DOCS.mkdir(exist_ok=True)
        (DOCS / "model_output.md").write_text(report, encoding="utf-8")
        data = {r[0]: {"first_tenth_s": r[1], "last_tenth_s": r[2], "len_text": len(text), "tokens": len(tokens)} for r in rows}
        (DOCS / "model_output.json").write_text(json.dumps(data, indent=2) + "\n", encoding="utf-8")


if __name__ == "__main__":
    main()
