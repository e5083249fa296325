"""Many texts at once: ``complete_many`` and ``loads_many``.

``complete_many`` walks its rows with the interpreter released, on the calling
thread and a few native helpers, and takes the interpreter back only to read
the rows and make the results; ``loads_many`` reads each row as ``loads`` does.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Any, Literal

from carrack import _batch

__all__ = ["complete_many", "default_threads", "loads_many"]

def default_threads() -> int:
    """The CPUs this process may run on: os.process_cpu_count() where there is one."""
    count = getattr(os, "process_cpu_count", None)
    if count is not None:
        return int(count() or 1)
    try:
        return len(os.sched_getaffinity(0)) or 1
    except AttributeError:  # not on every platform
        return os.cpu_count() or 1


def null_errors(errors: str) -> bool:
    """Whether errors asks for bad rows to become None (or null)."""
    if errors == "raise":
        return False
    if errors == "null":
        return True
    raise ValueError(f"errors must be 'raise' or 'null', not {errors!r}")


def rows_of(texts: Iterable[Any]) -> Iterable[Any]:
    """texts, refused when it is one text: iterating a str or bytes would
    complete each character, or each byte's number, as a row of its own."""
    if isinstance(texts, (str, bytes, bytearray, memoryview)):
        raise TypeError(f"texts must be an iterable of texts, not one {type(texts).__name__}")
    return texts


def thread_count(threads: int | None) -> int:
    """The threads to use: threads, or every CPU the process may run on, and
    never more than those CPUs."""
    if threads is None:
        return default_threads()
    if isinstance(threads, bool) or not isinstance(threads, int) or threads < 1:
        raise ValueError(f"threads must be a positive int or None, not {threads!r}")
    return min(threads, default_threads())


def complete_many(texts: Iterable[str | None], *, errors: Literal["raise", "null"] = "raise", threads: int | None = None) -> list[str | None]:
    """``complete`` of each row, as a list: ``[complete(t) for t in texts]``,
    walked across native threads without the interpreter.

    A row of None gives None. A row that cannot be completed (bytes left over
    after its value, nesting beyond 1,000,000 levels, a lone surrogate, not a
    str) raises what ``complete`` raises, with a note naming its index, when
    errors is "raise"; it gives None when errors is "null". threads is at most
    how many threads walk (default: every CPU the process may run on); a batch
    gets no more than its rows and their length are worth, nor more than the
    CPUs the process may run on.
    """
    return _batch.complete_many(rows_of(texts), null_errors(errors), thread_count(threads))


def loads_many(
    texts: Iterable[str | bytes | bytearray | memoryview | None],
    *,
    partial: Literal["all", "strings", "closed"] = "all",
    errors: Literal["raise", "null"] = "raise",
) -> list[Any]:
    """``loads`` of each row, as a list: ``[loads(t, partial) for t in texts]``.

    A row of None gives None. A row that raises raises with a note naming its
    index when errors is "raise", and gives None when errors is "null".
    """
    return _batch.loads_many(rows_of(texts), partial, null_errors(errors))
