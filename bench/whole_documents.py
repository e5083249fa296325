"""Whole documents (twitter, citm, canada) fed in 64 KB chunks: building the
value, events with and without container values, items of the main array,
against json.loads, orjson.loads and ijson (yajl2_c). Every way is timed the
same, as in the events benchmark whose ways it reuses: the fastest whole run
of REPEATS, the collector off during a run.

    bash bench/run-documents [REPEATS]
"""

from __future__ import annotations

import json
import sys
from typing import Any

import orjson

from carrack import Stream
from events import (
    CORPUS,
    best_of,
    blocks,
    whole_carrack_bare_events,
    whole_carrack_events,
    whole_carrack_items,
    whole_ijson_events,
    whole_ijson_items,
)

DOCUMENTS = {"twitter": ("twitter.json", ("statuses",), "statuses.item"),
             "citm": ("citm_catalog.json", ("performances",), "performances.item"),
             "canada": ("canada.json", ("features",), "features.item")}


def carrack_close(parts: list[str]) -> Any:
    stream = Stream()
    for part in parts:
        stream.feed(part)
    return stream.close()


def main() -> None:
    repeats = int(sys.argv[1]) if len(sys.argv) > 1 else 7
    print(f"best of {repeats} whole runs each, ms; ratios: the peer's time over carrack's")
    for name, (file, path, prefix) in DOCUMENTS.items():
        text = (CORPUS / file).read_text(encoding="utf-8")
        parts, raw = blocks(text), text.encode()
        raw_parts = [part.encode() for part in parts]
        times = {
            "close": best_of(repeats, carrack_close, parts),
            "json.loads": best_of(repeats, json.loads, text),
            "orjson.loads": best_of(repeats, orjson.loads, raw),
            "events": best_of(repeats, whole_carrack_events, parts),
            "events values=False": best_of(repeats, whole_carrack_bare_events, parts),
            "ijson parse": best_of(repeats, whole_ijson_events, raw_parts),
            "items": best_of(repeats, whole_carrack_items(path), parts),
            "ijson items": best_of(repeats, whole_ijson_items(prefix), raw_parts),
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
    main()
