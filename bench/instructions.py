"""Instruction counts of the stream workloads the values and events benchmarks
time, for comparing two builds under callgrind, which counts the same on a
noisy machine as on a quiet one.

    valgrind --tool=callgrind --callgrind-out-file=/dev/null python bench/instructions.py WORKLOAD
    valgrind ... python bench/instructions.py WORKLOAD --setup-only

The difference of the two totals is the workload's own count (bench/run-instructions).
"""

from __future__ import annotations

import json
import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from carrack import ANY, Stream  # noqa: E402
from values import chunks_of, structured, text_heavy  # noqa: E402
import documents  # noqa: E402
from carrack.carrack import carrack  # noqa: E402

SIZE = 64_000


def values_dropped(chunks):
    stream = Stream()
    for chunk in chunks:
        stream.feed(chunk)
        stream.value()


def values_held(chunks):
    stream, held = Stream(), None
    for chunk in chunks:
        stream.feed(chunk)
        held = stream.value()
    del held


def events(select=None):
    def run(chunks):
        stream = Stream(select=select) if select is not None else Stream()
        for chunk in chunks:
            stream.feed(chunk)
            stream.events()

    return run


def items(path):
    def run(chunks):
        stream = Stream()
        for chunk in chunks:
            stream.feed(chunk)
            stream.items(path)

    return run


def whole(parts_of):
    def run(chunks):
        stream = Stream()
        for part in parts_of:
            stream.feed(part)
        stream.close()

    return run


CORPUS = Path(__file__).resolve().parent.parent.parent / "shared" / "corpus"


def corpus_blocks(name):
    """A corpus document (../shared/corpus beside the repository) in 64 KB chunks."""

    def make():
        text = (CORPUS / name).read_text(encoding="utf-8")
        return [text[i : i + 65536] for i in range(0, len(text), 65536)]

    return make


def feed_close(chunks):
    stream = Stream()
    for chunk in chunks:
        stream.feed(chunk)
    stream.close()


def events_bare(chunks):
    stream = Stream(values=False)
    for chunk in chunks:
        stream.feed(chunk)
        stream.events()


def pretty(text: str) -> str:
    return json.dumps(json.loads(text), indent=2, ensure_ascii=False)


def completions(prefixes: list[str]) -> None:
    for prefix in prefixes:
        carrack(prefix)


def walked(parts_of):
    def run(chunks):
        stream = Stream()
        for part in parts_of:
            stream.feed(part)
        stream.suffix

    return run


WORKLOADS = {
    "values-structured": (lambda: chunks_of(structured(SIZE), 1), values_dropped),
    "values-structured-held": (lambda: chunks_of(structured(SIZE), 1), values_held),
    "values-text-heavy": (lambda: chunks_of(text_heavy(SIZE), 2), values_dropped),
    "events-structured": (lambda: chunks_of(structured(SIZE), 1), events()),
    "events-text-heavy-selected": (lambda: chunks_of(text_heavy(SIZE), 2), events([("arguments", ANY)])),
    "items-structured": (lambda: chunks_of(structured(SIZE), 1), items(("arguments", "rows"))),
    "close-twitter": (corpus_blocks("twitter.json"), feed_close),
    "close-citm": (corpus_blocks("citm_catalog.json"), feed_close),
    "close-canada": (corpus_blocks("canada.json"), feed_close),
    "events-twitter": (corpus_blocks("twitter.json"), events()),
    "events-twitter-no-values": (corpus_blocks("twitter.json"), events_bare),
    "close-structured-64k-blocks": (lambda: [structured(SIZE * 8)], lambda c: whole([c[0][i:i + 65536] for i in range(0, len(c[0]), 65536)])(c)),
    # the one-shot walk, each input made cheaply so that its making does not drown the count: every token prefix of
    # a non-ASCII tool call (read as UCS-4), pretty-printed records, the same non-ASCII, and a long text field that
    # escapes a line break or quote every few words
    "complete-prefixes-non-ascii": (lambda: documents.token_prefixes(documents.tool_call(4096, True)), completions),
    "complete-dense-records": (lambda: [documents.dense_records(1 << 18)] * 16, completions),
    "complete-pretty-non-ascii": (lambda: [pretty(documents.tool_call(1 << 18, True))] * 8, completions),
    "complete-text-heavy": (lambda: [text_heavy(1 << 18)] * 16, completions),
    # The walk alone, as completion pays for it.
    "walk-structured-64k-blocks": (lambda: [structured(SIZE * 8)], lambda c: walked([c[0][i:i + 65536] for i in range(0, len(c[0]), 65536)])(c)),
}

if __name__ == "__main__":
    name = sys.argv[1]
    make, run = WORKLOADS[name]
    chunks = make()
    if "--setup-only" not in sys.argv:
        run(chunks)
