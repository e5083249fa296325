"""Whole documents (twitter, citm, canada) fed in 64 KB chunks: building the
value, events with and without container values, items of the main array,
against json.loads, orjson.loads and ijson (yajl2_c). Every way is timed the
same: the fastest whole run of REPEATS, the collector off during a run.

    bash bench/run-documents [REPEATS]
"""

from __future__ import annotations

import gc
import json
import sys
import time
from pathlib import Path
from typing import Any, Callable

from carrack import Stream

CORPUS = Path(__file__).resolve().parents[2] / "shared" / "corpus"  # beside the repository
DOCUMENTS = {"twitter": ("twitter.json", ("statuses",), "statuses.item"),
             "citm": ("citm_catalog.json", ("performances",), "performances.item"),
             "canada": ("canada.json", ("features",), "features.item")}
BLOCK = 65536


def best(repeats: int, run: Callable[[], Any]) -> float:
    fastest = float("inf")
    for _ in range(repeats):
        gc.collect()
        gc.disable()
        start = time.perf_counter()
        run()
        fastest = min(fastest, time.perf_counter() - start)
        gc.enable()
    return fastest


def carrack_close(parts: list[str]) -> Any:
    stream = Stream()
    for part in parts:
        stream.feed(part)
    return stream.close()


def carrack_events(values: bool) -> Callable[[list[str]], int]:
    def run(parts: list[str]) -> int:
        stream, count = (Stream() if values else Stream(values=False)), 0
        for part in parts:
            stream.feed(part)
            count += len(stream.events())
        return count

    return run


def carrack_items(path: tuple) -> Callable[[list[str]], int]:
    def run(parts: list[str]) -> int:
        stream, count = Stream(), 0
        for part in parts:
            stream.feed(part)
            count += len(stream.items(path))
        return count

    return run


def ijson_run(start: Callable[[list], Any]) -> Callable[[list[bytes]], int]:
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


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print(f"best of {repeats} whole runs each, ms; ratios: the peer's time over carrack's")
    for name, (file, path, prefix) in DOCUMENTS.items():
        text = (CORPUS / file).read_text(encoding="utf-8")
        parts = [text[i : i + BLOCK] for i in range(0, len(text), BLOCK)]
        raw = text.encode()
        raw_parts = [raw[i : i + BLOCK] for i in range(0, len(raw), BLOCK)]
        times = {
            "close": best(repeats, lambda: carrack_close(parts)),
            "json.loads": best(repeats, lambda: json.loads(text)),
            "orjson.loads": best(repeats, lambda: orjson.loads(raw)),
            "events": best(repeats, lambda: carrack_events(True)(parts)),
            "events values=False": best(repeats, lambda: carrack_events(False)(parts)),
            "ijson parse": best(repeats, lambda: ijson_run(YAJL.parse_coro)(raw_parts)),
            "items": best(repeats, lambda: carrack_items(path)(parts)),
            "ijson items": best(repeats, lambda: ijson_run(lambda out: YAJL.items_coro(out, prefix))(raw_parts)),
        }
        print(name, {k: round(v * 1000, 2) for k, v in times.items()})
        print(
            f"  close/json.loads {times['close'] / times['json.loads']:.2f}"
            f"  ijson parse/events {times['ijson parse'] / times['events']:.2f}"
            f"  ijson parse/events values=False {times['ijson parse'] / times['events values=False']:.2f}"
            f"  ijson items/items {times['ijson items'] / times['items']:.2f}",
            flush=True,
        )


if __name__ == "__main__":
    import ijson
    import orjson

    YAJL = ijson.get_backend("yajl2_c")
    main()
