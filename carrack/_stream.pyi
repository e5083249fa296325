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
