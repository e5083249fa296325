"""Arrow string columns completed without a Python str per row.

``complete`` takes anything exporting the Arrow PyCapsule interface (pyarrow,
Polars, DuckDB results, nanoarrow...) holding ``string``, ``large_string`` or
``string_view``, or a struct of one such field (a one-column table). It reads
the producer's buffers in place and writes the completions into buffers of
its own, with the interpreter released, and needs no Arrow library itself.
"""

from __future__ import annotations

from typing import Any, Literal

from carrack import _batch
from carrack.batch import null_errors, thread_count

__all__ = ["Array", "ChunkedArray", "complete"]


class ChunkedArray:
    """Completed strings in one or more chunks, exported as an Arrow stream
    (``__arrow_c_stream__``): pass it to ``pyarrow.chunked_array``,
    ``polars.Series`` and the like. Immutable."""

    __slots__ = ("_strings",)

    def __init__(self, strings: _batch.Strings) -> None:
        self._strings = strings

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        """A stream capsule of the chunks; a requested schema is not followed."""
        return self._strings.export_stream()

    def __len__(self) -> int:
        return self._strings.length

    @property
    def null_count(self) -> int:
        """The null rows: nulls given, and rows rejected under errors="null"."""
        return self._strings.null_count

    @property
    def format(self) -> str:
        """The Arrow format: "u" (string), "U" (large_string) or "vu" (string_view)."""
        return self._strings.format

    def __repr__(self) -> str:
        return f"<carrack.arrow.{type(self).__name__}: {len(self)} rows, {self.null_count} null, format {self.format!r}>"


class Array(ChunkedArray):
    """A completed string array, exported as one Arrow array
    (``__arrow_c_array__``, for ``pyarrow.array`` and the like) or as a stream
    of it. Immutable."""

    __slots__ = ()

    def __arrow_c_array__(self, requested_schema: object | None = None) -> tuple[object, object]:
        """(schema, array) capsules; a requested schema is not followed."""
        return self._strings.export_array()


def complete(
    array: Any, *, errors: Literal["raise", "null"] = "raise", threads: int | None = None
) -> Array | ChunkedArray:
    """Every row of an Arrow string column completed: an ``Array`` for an
    object exporting ``__arrow_c_array__``, else a ``ChunkedArray`` for one
    exporting ``__arrow_c_stream__``, of the input's string layout ("u" turns
    to "U" only when the completions outgrow 32-bit offsets).

    Nulls stay null. A row that cannot be completed raises what
    ``carrack.complete`` raises, with a note naming its index (counted across
    chunks), when errors is "raise", and becomes null when errors is "null".
    threads is at most how many native threads walk the rows (default: every
    CPU the process may run on).
    """
    null = null_errors(errors)
    count = thread_count(threads)
    kind = type(array)
    # The capsules are let go of here, not while an exception is pending: their
    # destructors run the producer's release, which may be Python code.
    if hasattr(kind, "__arrow_c_array__"):
        schema, data = array.__arrow_c_array__()
        try:
            return Array(_batch.arrow_complete_array(schema, data, null, count))
        finally:
            del schema, data
    if hasattr(kind, "__arrow_c_stream__"):
        stream = array.__arrow_c_stream__()
        try:
            return ChunkedArray(_batch.arrow_complete_stream(stream, null, count))
        finally:
            del stream
    raise TypeError(
        f"carrack.arrow.complete takes an object exporting __arrow_c_array__ or __arrow_c_stream__, not {kind.__name__}"
    )
