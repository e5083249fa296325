"""Instruction counts of the stream workloads the values and events benchmarks
time, for comparing two builds under callgrind, which counts the same on a
noisy machine as on a quiet one.

    valgrind --tool=callgrind --callgrind-out-file=/dev/null python bench/instructions.py WORKLOAD
    valgrind ... python bench/instructions.py WORKLOAD --setup-only

The difference of the two totals is the workload's own count (bench/run-instructions).
"""

from __future__ import annotations

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

from carrack import ANY, Stream  # noqa: E402
from values import chunks_of, structured, text_heavy  # noqa: E402

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
    "close-structured-64k-blocks": (lambda: [structured(SIZE * 8)], lambda c: whole([c[0][i:i + 65536] for i in range(0, len(c[0]), 65536)])(c)),
    # The walk alone, as completion pays for it.
    "walk-structured-64k-blocks": (lambda: [structured(SIZE * 8)], lambda c: walked([c[0][i:i + 65536] for i in range(0, len(c[0]), 65536)])(c)),
}

if __name__ == "__main__":
    name = sys.argv[1]
    make, run = WORKLOADS[name]
    chunks = make()
    if "--setup-only" not in sys.argv:
        run(chunks)
