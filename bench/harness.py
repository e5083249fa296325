"""Side-by-side benchmark of carrack and the other ways to complete or parse
truncated JSON from Python. Writes docs/benchmarks.md, .png and .json.

Run it through bench/run, which installs the peers into a venv of its own.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import subprocess
import sys
import time
from pathlib import Path
from typing import Callable, Mapping

import documents
from carrack.carrack import carrack

ROOT = Path(__file__).resolve().parents[1]
DOCS = ROOT / "docs"


def _peers() -> dict[str, Callable[[str], object]]:
    """The other implementations, each wrapped to swallow its own refusals."""
    import jiter
    import json_repair
    import partial_json_parser
    import pydantic_core

    def tolerant(function):
        def call(text):
            try:
                return function(text)
            except ValueError:
                return None

        return call

    return {
        "partial_json_parser.ensure_json": tolerant(partial_json_parser.ensure_json),
        "json_repair.repair_json": tolerant(json_repair.repair_json),
        "pydantic_core.from_json(allow_partial=True)": tolerant(
            lambda s: pydantic_core.from_json(s, allow_partial=True)
        ),
        "jiter.from_json(partial_mode='trailing-strings')": tolerant(
            lambda s: jiter.from_json(s.encode(), partial_mode="trailing-strings")
        ),
    }


FLOORS = {
    "floor: s.encode()": str.encode,
    'floor: s + "]"': lambda s: s + "]",
}


RUNS = 5  # passes per implementation, the same for carrack and every peer


def best_times(ways: Mapping[str, tuple[Callable[[str], object], list[str]]], runs: int) -> dict[str, float]:
    """Each way's best time in seconds of one pass over its texts, out of `runs`
    passes. Every way gets the same number of passes, and the passes take turns,
    so that a busy spell of the shared machine falls on all of them alike."""
    best = dict.fromkeys(ways, float("inf"))
    gc.disable()
    try:
        for _ in range(runs):
            for name, (function, texts) in ways.items():
                start = time.perf_counter()
                for text in texts:
                    function(text)
                best[name] = min(best[name], time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def sample(items: list[str], most: int) -> list[str]:
    if len(items) <= most:
        return items
    return [items[i * (len(items) - 1) // (most - 1)] for i in range(most)]


def streaming(peers, quick: bool, runs: int = RUNS) -> list[dict]:
    rows = []
    for label, size, non_ascii in documents.STREAMING:
        prefixes = documents.token_prefixes(documents.tool_call(size, non_ascii))
        # The same prefixes for every implementation; the slow peers set the count.
        texts = sample(prefixes, 60 if quick else 400)
        total = sum(len(t.encode()) for t in texts)
        times = best_times({name: (function, texts) for name, function in
                            {"carrack": carrack, **peers, **FLOORS}.items()}, runs)
        rows.append({"document": label, "bytes": len(prefixes[-1].encode()), "prefixes": len(prefixes),
                     "measured": len(texts), "prefix_bytes": total,
                     "us_per_prefix": {k: v / len(texts) * 1e6 for k, v in times.items()}})
        print(f"streaming {label}: " + ", ".join(f"{k} {v / len(texts) * 1e6:.2f} us" for k, v in times.items()),
              flush=True)
    return rows


def large(peers, corpus: Path, runs: int = RUNS) -> list[dict]:
    rows = []
    for name in ("twitter.json", "citm_catalog.json", "canada.json"):
        path = corpus / name
        if not path.exists():
            continue
        whole = path.read_text(encoding="utf-8")
        ways = {"json.loads (whole document)": (json.loads, [whole])}
        for percent in (50, 90):
            cut = whole[: len(whole) * percent // 100]
            for way, function in {"carrack": carrack, **FLOORS, **peers}.items():
                ways[f"{way} {percent}%"] = (function, [cut])
        row = {"document": name, "bytes": len(whole.encode()),
               "ms": {way: t * 1e3 for way, t in best_times(ways, runs).items()}}
        rows.append(row)
        print(f"large {name}: " + ", ".join(f"{k} {v:.2f} ms" for k, v in row["ms"].items()), flush=True)
    return rows


MEMORY_CHILD = """
import itertools, json, sys
from carrack.carrack import carrack

def high_water():  # peak resident memory of this process image, in bytes
    with open("/proc/self/status") as status:
        line = next(l for l in status if l.startswith("VmHWM:"))
    return int(line.split()[1]) * 1024

record = json.dumps({"id": "item-00001", "title": "Total Amount", "tags": ["a", "b"], "price": 12.5,
                     "ok": True, "note": "pending order for the customer at the street address"}) + ","
count = int(sys.argv[1]) // len(record)
text = "".join(itertools.chain("[", itertools.repeat(record, count)))  # one allocation of the whole text
before = high_water()
result = carrack(text)
assert result.endswith(",null]")
print(json.dumps({"input": len(text), "peak_before": before, "peak": high_water()}))
"""


def memory(size: int) -> dict:
    out = subprocess.run([sys.executable, "-c", MEMORY_CHILD, str(size)], capture_output=True, text=True,
                         check=True, cwd="/")
    figures = json.loads(out.stdout)
    figures["ratio"] = figures["peak"] / figures["input"]
    print(f"memory: {figures}", flush=True)
    return figures


def engine(bench_binary: str | None, inputs: list[Path]) -> list[dict]:
    if not bench_binary:
        return []
    out = subprocess.run([bench_binary, "--benchmark_format=json", "--benchmark_min_time=0.3",
                          "--benchmark_repetitions=3", "--benchmark_report_aggregates_only=true",
                          *map(str, inputs)], capture_output=True, text=True, check=True)
    medians = {}
    for b in json.loads(out.stdout)["benchmarks"]:
        if b.get("aggregate_name") == "median":
            walker, document = b["run_name"].split("/", 1)
            medians.setdefault(document, {})[walker] = b["bytes_per_second"] / 1e6
    rows = [{"input": doc, "mb_per_s": walkers} for doc, walkers in medians.items()]
    for row in rows:
        print(f"engine {row['input']}: {row['mb_per_s']}", flush=True)
    return rows


# ---------------------------------------------------------------------------
# Report
# ---------------------------------------------------------------------------

def _fmt(x: float) -> str:
    return f"{x:.3g}" if x < 100 else f"{x:,.0f}"


def report(results: dict) -> str:
    lines = ["# Benchmarks", "",
             f"Generated by `bash bench/run` on {results['machine']}, Python {results['python']}. "
             f"Every implementation is timed the same way: the best of {results.get('runs', RUNS)} passes over the same "
             "texts, the passes of all implementations taking turns. Ratios from one run are what count.", "",
             "![carrack against other JSON completers](benchmarks.png)", "",
             "## Streaming: every token-boundary prefix of a tool call", "",
             "Tool-call documents cut after every token of 1-6 characters; each implementation gets the same "
             "prefixes (evenly sampled where the slowest peers would take minutes). Mean microseconds per prefix; "
             "the ratio is the peer's time over carrack's.", ""]
    names = list(results["streaming"][0]["us_per_prefix"])
    lines.append("| implementation | " + " | ".join(r["document"] for r in results["streaming"]) + " |")
    lines.append("|---|" + "---|" * len(results["streaming"]))
    for name in names:
        cells = []
        for row in results["streaming"]:
            t = row["us_per_prefix"][name]
            ratio = t / row["us_per_prefix"]["carrack"]
            cells.append(f"{_fmt(t)} µs" + ("" if name == "carrack" else f" ({ratio:.3g}×)"))
        lines.append(f"| {name} | " + " | ".join(cells) + " |")
    lines += ["", "Prefixes measured per document: " + ", ".join(
        f"{r['document']}: {r['measured']} of {r['prefixes']}" for r in results["streaming"]) + ".", ""]

    if results["large"]:
        lines += ["## Large documents cut at 50% and 90%", "",
                  "Milliseconds for one call; `json.loads` parses the whole document.", ""]
        keys = list(results["large"][0]["ms"])
        lines.append("| | " + " | ".join(r["document"] for r in results["large"]) + " |")
        lines.append("|---|" + "---|" * len(results["large"]))
        for key in keys:
            lines.append(f"| {key} | " + " | ".join(_fmt(r["ms"][key]) for r in results["large"]) + " |")
        lines.append("")

    if results["engine"]:
        lines += ["## Engine (C++, Google Benchmark)", "",
                  "MB/s of UTF-8 input, median of three runs. `carrack_suffix` reads the UTF-8 bytes, `carrack_cpp` "
                  "also copies them into the result, the code-point column reads the same text as UCS-4 (as the "
                  "module does for a non-ASCII `str`), and the literal walk asks every node's rules down the grammar "
                  "at each decision, as the grammar is written. Reproduce with "
                  "`build/bench/bench/cpp/carrack_bench build/bench-inputs/*.json` after `bash bench/run`.", "",
                  "| input | carrack_suffix | carrack_cpp | code points (UCS-4) | literal walk | speed-up |",
                  "|---|---|---|---|---|---|"]
        for row in results["engine"]:
            m = row["mb_per_s"]
            lines.append(f"| {row['input']} | {_fmt(m['carrack_suffix'])} | {_fmt(m['carrack_cpp'])} | "
                         f"{_fmt(m['carrack_suffix_ucs4'])} | {_fmt(m['literal_walk'])} | "
                         f"{m['carrack_suffix'] / m['literal_walk']:.1f}× |")
        lines.append("")

    m = results["memory"]
    lines += ["## Memory", "",
              f"Completing a {m['input'] / 1e6:.0f} MB ASCII document in a fresh process: peak resident memory "
              f"{m['peak'] / 1e6:.0f} MB, {m['ratio']:.2f}× the input (the input and the result are both "
              "held at the end of the call; the engine copies nothing).", ""]
    lines += ["## Targets", "", "| target | result | met |", "|---|---|---|"]
    for target in results["targets"]:
        lines.append(f"| {target['target']} | {target['result']} | {'yes' if target['met'] else '**no**'} |")
    lines.append("")
    return "\n".join(lines)


def targets(results: dict) -> list[dict]:
    out = []
    ensure = "partial_json_parser.ensure_json"
    pyd = "pydantic_core.from_json(allow_partial=True)"
    worst = min(r["us_per_prefix"][ensure] / r["us_per_prefix"]["carrack"] for r in results["streaming"])
    out.append({"target": "streaming: ≥ 50× faster than ensure_json at every size",
                "result": f"{worst:.0f}× at the least", "met": worst >= 50})
    worst = min(r["us_per_prefix"][pyd] / r["us_per_prefix"]["carrack"] for r in results["streaming"])
    out.append({"target": "streaming: faster than pydantic_core's partial parse",
                "result": f"{worst:.1f}× at the least", "met": worst > 1})
    for row in results["large"]:
        ratio = row["ms"]["carrack 90%"] / row["ms"]["json.loads (whole document)"]
        out.append({"target": f"large: {row['document']} 90% cut ≤ 0.5× json.loads of the whole",
                    "result": f"{ratio:.3f}×", "met": ratio <= 0.5})
    for row in results["engine"]:
        if row["input"].endswith("/100%") and not row["input"].startswith("tool"):
            ratio = row["mb_per_s"]["carrack_suffix"] / row["mb_per_s"]["literal_walk"]
            out.append({"target": f"engine: {row['input'][:-5]} ≥ 10× the literal walk",
                        "result": f"{ratio:.1f}×", "met": ratio >= 10})
    ratio = results["memory"]["ratio"]
    out.append({"target": "memory: peak RSS for a 100 MB ASCII document < 3× the input",
                "result": f"{ratio:.2f}×", "met": ratio < 3})
    return out


def chart(results: dict, path: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, (left, right) = plt.subplots(1, 2, figsize=(15, 7.5), gridspec_kw={"width_ratios": [3, 2]})
    rows = results["streaming"]
    names = list(rows[0]["us_per_prefix"])
    width = 0.8 / len(names)
    for i, name in enumerate(names):
        left.bar([x + i * width for x in range(len(rows))], [r["us_per_prefix"][name] for r in rows], width,
                 label=name)
    left.set_xticks([x + 0.4 - width / 2 for x in range(len(rows))], [r["document"] for r in rows], fontsize=8)
    left.set_yscale("log")
    left.set_ylabel("µs per prefix (log scale, lower is better)")
    left.set_title("Streaming: every token-boundary prefix of a tool call")
    left.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.08), ncol=3)

    if results["large"]:
        docs = results["large"]
        keys = ["carrack 90%", "json.loads (whole document)", "pydantic_core.from_json(allow_partial=True) 90%",
                "jiter.from_json(partial_mode='trailing-strings') 90%", "json_repair.repair_json 90%",
                "partial_json_parser.ensure_json 90%", 'floor: s + "]" 90%']
        width = 0.8 / len(keys)
        for i, key in enumerate(keys):
            right.bar([x + i * width for x in range(len(docs))], [d["ms"][key] for d in docs], width, label=key)
        right.set_xticks([x + 0.4 - width / 2 for x in range(len(docs))], [d["document"] for d in docs])
        right.set_yscale("log")
        right.set_ylabel("ms per call (log scale)")
        right.set_title("Large documents cut at 90%")
        right.legend(fontsize=7, loc="upper center", bbox_to_anchor=(0.5, -0.08), ncol=2)
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--corpus", type=Path, default=Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared/corpus")))
    parser.add_argument("--engine-bench", help="path of the C++ benchmark binary")
    parser.add_argument("--memory-bytes", type=int, default=100_000_000)
    parser.add_argument("--quick", action="store_true", help="fewer prefixes, for a smoke test")
    parser.add_argument("--out", type=Path, default=DOCS)
    parser.add_argument("--replot", action="store_true", help="rewrite the report and chart from benchmarks.json")
    args = parser.parse_args()
    if args.replot:
        results = json.loads((args.out / "benchmarks.json").read_text())
        (args.out / "benchmarks.md").write_text(report(results))
        chart(results, args.out / "benchmarks.png")
        return 0

    peers = _peers()
    inputs_dir = ROOT / "build" / "bench-inputs"
    inputs_dir.mkdir(parents=True, exist_ok=True)
    inputs = []
    for label, size, non_ascii in documents.STREAMING:
        path = inputs_dir / f"tool_call_{size}_{'utf8' if non_ascii else 'ascii'}.json"
        path.write_text(documents.tool_call(size, non_ascii), encoding="utf-8")
        inputs.append(path)
    dense = inputs_dir / "dense_records_1mb.json"
    dense.write_text(documents.dense_records(1 << 20), encoding="utf-8")
    inputs.append(dense)

    results = {
        "machine": f"{platform.machine()}, {os.cpu_count()} cores",
        "python": platform.python_version(),
        "runs": RUNS,
        "streaming": streaming(peers, args.quick),
        "large": large(peers, args.corpus),
        "engine": engine(args.engine_bench, inputs),
        "memory": memory(args.memory_bytes),
    }
    results["targets"] = targets(results)
    args.out.mkdir(parents=True, exist_ok=True)
    (args.out / "benchmarks.json").write_text(json.dumps(results, indent=1, ensure_ascii=False) + "\n")
    (args.out / "benchmarks.md").write_text(report(results))
    chart(results, args.out / "benchmarks.png")
    for target in results["targets"]:
        print(f"{'met' if target['met'] else 'MISSED'}: {target['target']}: {target['result']}")
    print(f"wrote {args.out / 'benchmarks.md'} and {args.out / 'benchmarks.png'}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
