"""JSON Patch (RFC 6902) operations from a stream's events, so that a server can
forward a growing value to a browser as it grows."""

from __future__ import annotations

from typing import Any, Iterable

__all__ = ["JsonPatch", "pointer"]


def pointer(path: tuple[str | int, ...]) -> str:
    """The JSON Pointer (RFC 6901) of a path: "" for the root, "/a/0" for ("a", 0)."""
    return "".join("/" + (str(step) if isinstance(step, int) else step.replace("~", "~0").replace("/", "~1"))
                   for step in path)


_EMPTY = {"object": dict, "array": list, "string": str}


class JsonPatch:
    """Turns the events of an unselected stream into patch operations.

    Applied in order to an empty document, the operations give, after each
    chunk, what ``value(partial="strings")`` gives: an object, array or string
    is added with its empty value when it starts, a number, ``true``,
    ``false`` or ``null`` when it ends, and a string's growth is a
    ``replace`` of the whole string so far.

    With ``append=True``, a string's growth is instead ``{"op": "append",
    "path": ..., "value": <the characters added>}``, which costs only the new
    characters but is not an RFC 6902 operation: the receiver must know it.
    """

    def __init__(self, *, append: bool = False) -> None:
        self._append = append
        self._open: set[tuple[str | int, ...]] = set()
        self._strings: dict[tuple[str | int, ...], list[str]] = {}

    def ops(self, events: Iterable[Any]) -> list[dict[str, Any]]:
        """The operations for events, in order; call it with each batch of
        events as they come (the writer remembers open strings)."""
        out: list[dict[str, Any]] = []
        for kind, path, value in events:
            if kind == "start":
                self._open.add(path)
                if value == "string" and not self._append:
                    self._strings[path] = []
                out.append({"op": "add", "path": pointer(path), "value": _EMPTY[value]()})
            elif kind == "append":
                if self._append:
                    out.append({"op": "append", "path": pointer(path), "value": value})
                else:
                    pieces = self._strings[path]
                    pieces.append(value)
                    whole = "".join(pieces)
                    self._strings[path] = [whole]
                    out.append({"op": "replace", "path": pointer(path), "value": whole})
            elif kind == "raw":
                continue  # source text, which the value's own events tell too
            elif path in self._open:
                # an object, array or string ends: it is already whole
                self._open.discard(path)
                self._strings.pop(path, None)
            else:
                out.append({"op": "add", "path": pointer(path), "value": value})
        return out
