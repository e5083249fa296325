"""What the benchmark reports share: how times and sizes are written, and the
chart of time per chunk against the length received."""

from __future__ import annotations

import statistics
from pathlib import Path


def seconds(t: float) -> str:
    if t < 1e-3:
        return f"{t * 1e6:.0f} µs"
    if t < 1:
        return f"{t * 1e3:.1f} ms"
    return f"{t:.2f} s"


def label(size: int) -> str:
    return f"{size // 1000} KB" if size < 1_000_000 else f"{size // 1_000_000} MB"


def per_chunk_chart(panels: dict[str, dict[str, dict]], path: Path, ylabel: str) -> None:
    """One panel per title, one line per way: each entry's "times" (ns per
    chunk) against its "lengths" (characters fed), as medians over buckets of
    chunks so that the lines stay readable; "sampled" entries are marked."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, len(panels), figsize=(6.5 * len(panels), 5), squeeze=False)
    for axis, (title, ways) in zip(axes[0], panels.items()):
        for name, entry in ways.items():
            lengths, times = entry["lengths"], entry["times"]
            step = max(1, len(times) // 300)
            xs = [lengths[i] for i in range(0, len(times), step)]
            ys = [statistics.median(times[i : i + step]) * 1e-3 for i in range(0, len(times), step)]
            axis.plot(xs, ys, label=name + (" (sampled)" if entry.get("sampled") else ""), linewidth=1.2)
        axis.set_yscale("log")
        axis.set_xlabel("characters fed so far")
        axis.set_ylabel(ylabel)
        axis.set_title(title)
        axis.grid(True, which="both", alpha=0.3)
        axis.legend(fontsize=7)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
