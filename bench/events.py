"""Benchmark of Stream.events() and items(): what changed after every chunk,
against ijson's push parser (yajl2_c backend) and against taking value() after
every chunk and diffing it with the one before. Writes docs/events.md and
docs/events.png.

Run it through bench/run-events, which installs the peers into .venv-bench.

    python bench/events.py            # full run, a few minutes
    python bench/events.py --quick    # smaller streams, fewer repeats
"""

from __future__ import annotations

import argparse
import gc
import os
import platform
import statistics
import time
from pathlib import Path
from typing import Any, Callable

import ijson

from carrack import Stream
from report import label, per_chunk_chart, seconds
from values import chunks_of, structured, text_heavy

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
CORPUS = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus"))
YAJL = ijson.get_backend("yajl2_c")
SAMPLES = 400  # chunks timed for a quadratic peer, its total estimated from them
BLOCKS = 400  # runs of chunks timed for a linear peer
REPEATS = 5  # streams timed for every way alike; each counts its fastest whole stream
BLOCK = 65536


# --- After every chunk ---------------------------------------------------------


def timed(chunks: list, each: Callable[[Any], object], steps: list[int],
          between: Callable[[Any], object]) -> list[int]:
    """Nanoseconds of each(chunk) for the chunks at steps; the others go
    untimed through between."""
    wanted = set(steps)
    clock = time.perf_counter_ns
    times = []
    gc.collect()
    gc.disable()
    try:
        for i, chunk in enumerate(chunks):
            if i not in wanted:
                between(chunk)
                continue
            start = clock()
            each(chunk)
            times.append(clock() - start)
    finally:
        gc.enable()
    return times


def timed_blocks(chunks: list, block: Callable[[list], object]) -> tuple[list[float], list[int]]:
    """Mean nanoseconds per chunk over each of BLOCKS runs of consecutive chunks,
    and the chunk count at each run's end. A chunk costs about as much as reading
    the clock, so the clock is read per run, not per chunk."""
    n = len(chunks)
    bounds = sorted({round(i * n / BLOCKS) for i in range(BLOCKS + 1)})
    runs = [chunks[a:b] for a, b in zip(bounds, bounds[1:])]
    clock = time.perf_counter_ns
    times = []
    gc.collect()
    gc.disable()
    try:
        for run in runs:
            start = clock()
            block(run)
            times.append((clock() - start) / len(run))
    finally:
        gc.enable()
    return times, bounds[1:]


def carrack_events(select=None):
    def make():
        stream = Stream(select=select) if select is not None else Stream()
        feed, events = stream.feed, stream.events

        def block(chunks):
            for chunk in chunks:
                feed(chunk)
                events()

        return block

    return make


def ijson_events():
    events = ijson.sendable_list()
    send = YAJL.parse_coro(events).send

    def block(chunks):
        for chunk in chunks:
            send(chunk.encode())
            taken = events[:]
            del events[:]
        return taken

    return block


def diff(before, after, path=()):
    """What changed from before to after, as (path, new value) pairs, a grown
    string as its new characters: what a caller of value() must compute."""
    if type(before) is not type(after):
        return [(path, after)]
    if isinstance(after, dict):
        out = []
        for key, value in after.items():
            out += diff(before[key], value, (*path, key)) if key in before else [((*path, key), value)]
        return out
    if isinstance(after, list):
        out = []
        for i, value in enumerate(after):
            out += diff(before[i], value, (*path, i)) if i < len(before) else [((*path, i), value)]
        return out
    if isinstance(after, str) and after != before:
        return [(path, after[len(before):] if after.startswith(before) else after)]
    return [] if after == before else [(path, after)]


def diffed_snapshots(chunks, steps):
    stream = Stream()
    last = [None]

    def each(chunk):
        stream.feed(chunk)
        now = stream.value("strings")
        changes = diff(last[0], now)
        last[0] = now
        return changes

    # Between the chunks timed only feed: a diff with an older value costs the same.
    return timed(chunks, each, steps, between=stream.feed)


def stream_run(make: Callable, chunks: list[str], quadratic: bool = False) -> dict:
    """Total seconds (estimated from evenly spaced chunks for a quadratic peer)
    and per-chunk times with the length fed at each. A linear peer is timed on
    every chunk, in runs; make() gives the function that takes a run of chunks.
    A quadratic one is make(chunks, steps), timing the chunks at steps."""
    n = len(chunks)
    ends, at = [], 0
    for chunk in chunks:
        at += len(chunk)
        ends.append(at)
    # Every way, carrack's and ijson's alike, is timed on REPEATS streams and
    # counts the one with the least total: the machine is shared, and one
    # statistic serves every way.
    if quadratic:
        steps = sorted({int(i * (n - 1) / (SAMPLES - 1)) for i in range(SAMPLES)})
        times = min(([float(t) for t in make(chunks, steps)] for _ in range(REPEATS)), key=sum)
        lengths = [ends[i] for i in steps]
        total = statistics.mean(times) * 1e-9 * n
        weights = [1] * len(times)
    else:
        runs = [timed_blocks(chunks, make()) for _ in range(REPEATS)]
        counts = runs[0][1]
        weights = [c - b for c, b in zip(counts, [0, *counts])]  # the chunks of each run
        times = min((t for t, _ in runs), key=lambda t: sum(x * w for x, w in zip(t, weights)))
        total = sum(t * w for t, w in zip(times, weights)) * 1e-9
        lengths = [ends[c - 1] for c in counts]
    tenth = max(1, len(times) // 10)

    def mean(part: slice) -> float:
        return sum(t * w for t, w in zip(times[part], weights[part])) / sum(weights[part]) * 1e-3

    return {
        "total": total,
        "sampled": quadratic,
        "lengths": lengths,
        "times": times,
        "first": mean(slice(None, tenth)),
        "last": mean(slice(-tenth, None)),
    }


# --- Whole documents in 64 KB chunks -----------------------------------------------


def blocks(text: str) -> list[str]:
    return [text[i : i + BLOCK] for i in range(0, len(text), BLOCK)]


def whole_carrack_events(parts: list[str], values: bool = True) -> int:
    stream, count = Stream(values=values), 0
    for part in parts:
        stream.feed(part)
        count += len(stream.events())
    return count


def whole_carrack_bare_events(parts: list[str]) -> int:
    """Events without container values, as ijson's parse gives them."""
    return whole_carrack_events(parts, values=False)


def whole_carrack_items(path: tuple) -> Callable[[list[str]], int]:
    def run(parts: list[str]) -> int:
        stream, count = Stream(), 0
        for part in parts:
            stream.feed(part)
            count += len(stream.items(path))
        return count

    return run


def whole_ijson(start: Callable[[list], Any]) -> Callable[[list[bytes]], int]:
    """ijson's push parser that start(target) makes, its output counted and dropped."""

    def run(parts: list[bytes]) -> int:
        out = ijson.sendable_list()
        parser, count = start(out), 0
        for part in parts:
            parser.send(part)
            count += len(out)
            del out[:]
        parser.close()
        return count + len(out)

    return run


whole_ijson_events = whole_ijson(YAJL.parse_coro)


def whole_ijson_items(prefix: str) -> Callable[[list[bytes]], int]:
    return whole_ijson(lambda out: YAJL.items_coro(out, prefix))


def best_of(repeats: int, run: Callable, parts: list) -> float:
    """The fastest of several runs, in seconds; the machine is shared."""
    best = float("inf")
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        run(parts)
        best = min(best, time.perf_counter() - start)
        gc.enable()
    return best


def documents(quick: bool) -> dict[str, tuple[str, tuple, str]]:
    """name -> (text, main array path, ijson prefix of its items)."""
    docs = {"tool call": (structured(1_000_000 if not quick else 200_000), ("arguments", "rows"), "arguments.rows.item")}
    for name, path, prefix in [
        ("twitter.json", ("statuses",), "statuses.item"),
        ("citm_catalog.json", ("performances",), "performances.item"),
        ("canada.json", ("features",), "features.item"),
    ]:
        file = CORPUS / name
        if file.exists():
            docs[name] = (file.read_text(), path, prefix)
    return docs


# --- Main and report ---------------------------------------------------------------


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()
    size = 200_000 if args.quick else 1_000_000
    repeats = 3 if args.quick else 7

    streams = {}
    heavy = chunks_of(text_heavy(size), size)
    streams["text-heavy"] = {
        "carrack events(), the long string selected": stream_run(carrack_events([("arguments", "content")]), heavy),
        "value('strings') + diff": stream_run(diffed_snapshots, heavy, quadratic=True),
        # ijson tells no part of a string, and with one open to the end it takes
        # quadratic time (minutes at 1 MB), so it is left out here.
    }
    rows = chunks_of(structured(size), size + 1)
    streams["structured"] = {
        "carrack events(), every event": stream_run(carrack_events(), rows),
        "value('strings') + diff": stream_run(diffed_snapshots, rows, quadratic=True),
        "ijson, every event": stream_run(ijson_events, rows),
    }
    for kind, row in streams.items():
        print(kind, {name: round(entry["total"], 4) for name, entry in row.items()}, flush=True)

    whole = {}
    for name, (text, path, prefix) in documents(args.quick).items():
        parts, raw = blocks(text), [b.encode() for b in blocks(text)]
        assert whole_carrack_items(path)(parts) == whole_ijson_items(prefix)(raw)
        whole[name] = {
            "size": len(text.encode()),
            "events": best_of(repeats, whole_carrack_events, parts),
            "bare events": best_of(repeats, whole_carrack_bare_events, parts),
            "ijson events": best_of(repeats, whole_ijson_events, raw),
            "items": best_of(repeats, whole_carrack_items(path), parts),
            "ijson items": best_of(repeats, whole_ijson_items(prefix), raw),
            "path": path,
        }
        print(name, {k: round(v, 4) for k, v in whole[name].items() if isinstance(v, float)}, flush=True)
    write_report(size, streams, whole)


def write_report(size: int, streams: dict, whole: dict) -> None:
    label_ = label(size)
    lines = [
        "# Events of a streamed text",
        "",
        "What changed after every chunk: `Stream.events()` tells it as the text is read,",
        "at the cost of the chunk. The other ways are ijson's push parser with its C",
        "backend (`yajl2_c`), which tells whole tokens only, never part of a string, and",
        "taking `value(partial='strings')` after every chunk and diffing it with the one",
        "before, which costs the whole value every time.",
        "",
        f"Machine: {platform.machine()}, Python {platform.python_version()}, ijson {ijson.__version__}.",
        "",
        f"## After every chunk of a {label_} stream",
        "",
        "Chunks of 1 to 16 characters (seeded); the time is for the whole stream, every chunk",
        "fed and what changed taken. A chunk costs about as much as reading the clock, so the",
        "clock is read once per run of consecutive chunks (a 400th of the stream). Every way",
        f"is timed on {REPEATS} streams and counts its fastest whole stream, since the machine",
        "is shared. Per chunk: the mean over the first and the last tenth of the stream. An",
        "entry marked * was timed on evenly spaced chunks and its total estimated from their",
        "mean.",
        "",
    ]
    for kind, row in streams.items():
        lines += [
            f"### {kind.capitalize()}",
            "",
            "| | whole stream | per chunk, first tenth → last tenth |",
            "|---|---:|---:|",
        ]
        for name, entry in row.items():
            star = "*" if entry["sampled"] else ""
            lines.append(f"| {name} | {seconds(entry['total'])}{star} | {entry['first']:.2f} → {entry['last']:.2f} µs |")
        lines.append("")
    lines += [
        "## Whole documents in 64 KB chunks",
        "",
        "Each document fed in 64 KB chunks, taking after each one every event (carrack's",
        "`events()`, ijson's `parse`) or the finished elements of the main array (carrack's",
        "`items(path)`, ijson's `items`). `values=False` is `Stream(values=False)`, whose",
        "container `end` events carry no built value, as ijson's `parse` builds none. The",
        "fastest of several whole runs, for every way alike.",
        "",
        "| document | size | `events()` | ratio | `values=False` | ratio | ijson `parse` | `items()` | ijson `items` | ratio |",
        "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for name, entry in whole.items():
        lines.append(
            f"| {name} (`items{entry['path']}`) | {entry['size'] / 1e6:.2f} MB | {seconds(entry['events'])} | "
            f"{entry['ijson events'] / entry['events']:.1f}× | {seconds(entry['bare events'])} | "
            f"{entry['ijson events'] / entry['bare events']:.1f}× | {seconds(entry['ijson events'])} | "
            f"{seconds(entry['items'])} | {seconds(entry['ijson items'])} | "
            f"{entry['ijson items'] / entry['items']:.1f}× |"
        )
    lines += [
        "",
        "## Time per chunk",
        "",
        "![time per chunk against the length received](events.png)",
        "",
        "Reproduce with `bash bench/run-events` (or `--quick`).",
        "",
    ]
    (DOCS / "events.md").write_text("\n".join(lines))
    plot(streams)


def plot(streams: dict) -> None:
    per_chunk_chart(streams, DOCS / "events.png", "µs per chunk")


if __name__ == "__main__":
    main()
