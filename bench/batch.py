"""Benchmark of completing many truncated outputs at once: rows per second for
a Python loop over carrack.complete, complete_many on 1 and 2 threads, the
Arrow path, the same through Polars and DuckDB, and json.loads over the
untruncated texts as a floor; then the memory complete_many takes for a list
of outputs, against the list's own size. Writes docs/batch.md.

Run it through bench/run-batch, which installs the engines into .venv-bench.

    python bench/batch.py                  # one million rows
    python bench/batch.py --rows 200000    # fewer
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import random
import resource
import subprocess
import sys
import time
from pathlib import Path
from typing import Any, Callable

import carrack
import carrack.arrow

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"
CORPUS = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus"))
# Outputs are cut at a random point in their first CUT_WITHIN characters: about 1 KB on average.
CUT_WITHIN = 2_000


def documents() -> list[str]:
    """Whole JSON texts from the corpus (tool-call arguments models wrote,
    tweets, events) at least CUT_WITHIN characters long."""
    values: list[Any] = []
    with open(CORPUS / "model_outputs" / "cases.jsonl", encoding="utf-8") as cases:
        for line in cases:
            values += [c["arguments"] for c in json.loads(line).get("tool_calls") or [] if c.get("arguments") is not None]
    values += json.loads((CORPUS / "twitter.json").read_text(encoding="utf-8"))["statuses"]
    values += json.loads((CORPUS / "citm_catalog.json").read_text(encoding="utf-8"))["events"].values()
    texts = [json.dumps(v, ensure_ascii=i % 2 == 0, indent=2 if i % 3 == 0 else None) for i, v in enumerate(values)]
    return [t for t in texts if len(t) >= CUT_WITHIN]


def outputs(rows: int) -> tuple[list[str], list[str]]:
    """rows outputs cut at random points, and the whole texts they were cut from."""
    rng = random.Random(24)
    docs = documents()
    whole = [rng.choice(docs) for _ in range(rows)]
    return [doc[: rng.randint(0, CUT_WITHIN)] for doc in whole], whole


def best(run: Callable[[], object], repeat: int) -> tuple[float, float]:
    """The fastest of repeat runs: its wall-clock seconds, and the CPU seconds
    (user and system, every thread) the process spent in it."""
    timings = []
    for _ in range(repeat):
        gc.collect()
        before = resource.getrusage(resource.RUSAGE_SELF)
        start = time.perf_counter()
        result = run()
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_SELF)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        timings.append((wall, cpu))
        del result
    return min(timings)


def memory(rows: int) -> dict[str, float]:
    """In a fresh process: the resident memory complete_many adds at its peak,
    against the sizes of its input and output lists (str objects and lists)."""
    code = f"""
import gc, json, sys
sys.path.insert(0, {str(Path(__file__).parent)!r})
import batch, carrack
def status(field):  # from /proc/self/status, in bytes
    with open("/proc/self/status") as f:
        return next(int(line.split()[1]) * 1024 for line in f if line.startswith(field + ":"))
texts, whole = batch.outputs({rows})
del whole
gc.collect()
size = lambda items: sys.getsizeof(items) + sum(sys.getsizeof(t) for t in items)
before = status("VmRSS")
with open("/proc/self/clear_refs", "w") as f:  # the peak starts again from here
    f.write("5")
result = carrack.complete_many(texts, threads=2)
print(json.dumps({{"input": size(texts), "output": size(result), "added": status("VmHWM") - before}}))
"""
    # From outside the source tree, so that the installed package is imported.
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True, cwd="/")
    return json.loads(result.stdout)


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=1_000_000)
    args = parser.parse_args()
    rows = args.rows
    repeat = 3 if rows <= 200_000 else 2

    texts, whole = outputs(rows)
    text_bytes = sum(len(t.encode()) for t in texts)
    print(f"{rows:,} outputs, {text_bytes / rows:.0f} bytes on average", flush=True)

    ways: dict[str, float] = {}
    cpu: dict[str, float] = {}
    load_before = os.getloadavg()[0]

    def measure(name: str, run: Callable[[], object]) -> None:
        ways[name], cpu[name] = best(run, repeat)
        print(f"  {name}: {rows / ways[name]:,.0f} rows/s, {rows / cpu[name]:,.0f} rows per CPU second", flush=True)

    complete = carrack.complete
    measure("Python loop over carrack.complete", lambda: [complete(t) for t in texts])
    measure("complete_many, 1 thread", lambda: carrack.complete_many(texts, threads=1))
    measure("complete_many, 2 threads", lambda: carrack.complete_many(texts, threads=2))

    import pyarrow as pa

    column = pa.array(texts, type=pa.string())
    measure("carrack.arrow.complete, 1 thread", lambda: carrack.arrow.complete(column, threads=1))
    measure("carrack.arrow.complete, 2 threads", lambda: carrack.arrow.complete(column, threads=2))

    import polars as pl

    sys.path.insert(0, str(DOCS / "recipes"))
    import duckdb_sql
    import polars_column

    frame = pl.DataFrame({"output": texts})
    measure("Polars map_batches (docs/recipes)", lambda: polars_column.repair(frame, "output"))

    con = duckdb_sql.connect()
    con.register("outputs", pa.table({"output": column}))
    measure(
        "DuckDB Arrow function from SQL (docs/recipes)",
        lambda: con.sql("SELECT complete_json(output) FROM outputs").to_arrow_table(),
    )
    del column, frame, con

    def parse_all() -> None:
        # Each value let go at once: a million parsed documents would not fit.
        loads = json.loads
        for text in whole:
            loads(text)

    measure("floor: json.loads over the untruncated texts", parse_all)
    del whole

    print("memory...", flush=True)
    mem = memory(rows)

    loop = ways["Python loop over carrack.complete"]
    speedup = ways["complete_many, 1 thread"] / ways["complete_many, 2 threads"]
    arrow_speedup = loop / ways["carrack.arrow.complete, 2 threads"]
    arrow_speedup_1 = loop / ways["carrack.arrow.complete, 1 thread"]
    lines = [
        "# Batches: many truncated outputs at once",
        "",
        f"{rows:,} model outputs cut at random points (from the corpus's tool-call arguments, tweets and events;",
        f"{text_bytes / rows:.0f} bytes on average), completed every way, best of {repeat}; "
        f"`bash bench/run-batch` (`--rows N` for fewer).",
        f"{platform.python_implementation()} {platform.python_version()}, {os.cpu_count()} CPUs, {platform.machine()}.",
        "",
        f"The machine's load average was {load_before:.1f} at the start and {os.getloadavg()[0]:.1f} at the end: on a "
        "shared machine the wall-clock figures, and the second thread's above all, move with everything else "
        "running; the CPU figures (rows per second of CPU time, all threads together) much less.",
        "",
        "| way | rows/s | vs the loop | rows per CPU second | vs the loop |",
        "|---|---:|---:|---:|---:|",
    ]
    loop_cpu = cpu["Python loop over carrack.complete"]
    for name, t in ways.items():
        lines.append(
            f"| {name} | {rows / t:,.0f} | {loop / t:.1f}x | {rows / cpu[name]:,.0f} | {loop_cpu / cpu[name]:.1f}x |"
        )
    lines += [
        "",
        f"- The second thread: complete_many {speedup:.2f}x (goal 1.8x); "
        f"the Arrow path {ways['carrack.arrow.complete, 1 thread'] / ways['carrack.arrow.complete, 2 threads']:.2f}x.",
        f"- The Arrow path against the Python loop: {arrow_speedup_1:.1f}x on 1 thread, {arrow_speedup:.1f}x on 2 (goal 5x).",
        f"- Memory (a fresh process, `complete_many` on 2 threads): the call's peak resident memory above what the "
        f"process held before it was {mem['added'] / 2**20:,.0f} MiB, for {mem['input'] / 2**20:,.0f} MiB of input and "
        f"{mem['output'] / 2**20:,.0f} MiB of output (str objects and lists); with the input, "
        f"{(mem['added'] + mem['input']) / (mem['input'] + mem['output']):.2f}x input and output together "
        f"(goal: at most about 2x).",
    ]
    (DOCS / "batch.md").write_text("\n".join(lines) + "\n", encoding="utf-8")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
