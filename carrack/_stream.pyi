from typing import Any, Literal, final

@final
class Stream:
    """A JSON text completed as it grows, walking each chunk once."""

    def __init__(self) -> None: ...
    def feed(self, chunk: str, /) -> None:
        """Append chunk to the text. Raises RuntimeError when bytes are left over
        after the value (RecursionError beyond 1,000,000 levels); from then on
        feed, suffix and completion() raise the same again. A chunk holding a
        lone surrogate raises UnicodeEncodeError and changes nothing."""
    @property
    def text(self) -> str:
        """Everything fed so far."""
    @property
    def suffix(self) -> str:
        """What carrack(text) appends to the text."""
    def completion(self) -> str:
        """carrack(text), without walking the text again."""
    def value(self, partial: Literal["all", "strings", "closed"] = "all") -> Any:
        """The Python value of the text so far, costing what was fed since the
        last call plus what is still open. "all" gives
        json.loads(completion(), strict=False); "strings" leaves out open numbers,
        literals and unfinished members, keeping an open string up to its last
        whole character; "closed" also leaves out open strings. The lists and
        dicts still open in a result belong to the caller; closed values are
        shared between results (copy them before changing them). Raises
        json.JSONDecodeError for text that is not JSON."""
    @property
    def path(self) -> tuple[str | int, ...]:
        """Keys and indices from the root to the value being written."""
    @property
    def done(self) -> bool:
        """Whether the root value has ended."""
    def close(self) -> Any:
        """End the stream: json.loads(text, strict=False), or json.JSONDecodeError
        unless the text is exactly one complete value."""
