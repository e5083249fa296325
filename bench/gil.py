"""What releasing the GIL costs carrack(), against the call it is released for.

carrack() walks a text of THRESHOLD characters or more without the GIL. The
cost of giving the GIL up and taking it back is measured on its own: a ctypes
call of the same C function through CDLL (which releases the GIL around the
call) and through PyDLL (which does not). Against it stand the times of
carrack() calls on texts of growing length; the threshold is right when the
cost is under 1% of the call there, even for the text that walks fastest, one
long string (skipped 16 bytes at a time).

    .venv/bin/python bench/gil.py    # the installed carrack (bash scripts/test installs it); seconds
"""

from __future__ import annotations

import ctypes
import time

import documents
from carrack.carrack import carrack

THRESHOLD = 256 * 1024  # release_gil_from in carrack/modules/carrack.cpp
LENGTHS = [2**k for k in range(12, 21)]
ROUNDS = 30

TOOL_CALL = documents.tool_call(max(LENGTHS) * 2, non_ascii=False)
WORLD_CALL = documents.tool_call(max(LENGTHS) * 4, non_ascii=True)
TEXTS = {
    "one long string": lambda n: '"' + "a" * (n - 1),
    "tool call, ASCII": lambda n: TOOL_CALL[:n],
    "tool call, non-ASCII": lambda n: WORLD_CALL[:n],
}


def fastest_ns(call, argument, repeat: int) -> float:
    """The fastest of ROUNDS runs of repeat calls, per call."""
    best = float("inf")
    for _ in range(ROUNDS):
        start = time.perf_counter_ns()
        for _ in range(repeat):
            call(argument)
        best = min(best, (time.perf_counter_ns() - start) / repeat)
    return best


def release_cost_ns() -> float:
    releasing, holding = ctypes.CDLL(None).labs, ctypes.PyDLL(None).labs
    for function in (releasing, holding):
        function.argtypes, function.restype = [ctypes.c_long], ctypes.c_long
    released = held = float("inf")
    for _ in range(10):  # alternating, so that the machine's drift hits both alike
        released = min(released, fastest_ns(releasing, -1, 2000))
        held = min(held, fastest_ns(holding, -1, 2000))
    return released - held


def main() -> None:
    cost = release_cost_ns()
    print(f"releasing and taking back the GIL: {cost:.0f} ns")
    print("length     " + "".join(f"{name:>34}" for name in TEXTS))
    for length in LENGTHS:
        cells = []
        for make in TEXTS.values():
            text = make(length)
            call = fastest_ns(carrack, text, max(3, 2**22 // length))
            cells.append(f"{call / 1000:12.1f} us, cost {100 * cost / call:5.2f}% of it")
        mark = "  <- threshold" if length == THRESHOLD else ""
        print(f"{length:>9,}  " + "".join(f"{cell:>34}" for cell in cells) + mark)


if __name__ == "__main__":
    main()
