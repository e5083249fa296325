from typing import Any

__test__: dict[str, Any]  # doctest's table of extra tests; empty

def carrack(prefix: str) -> str:
    """Return prefix with just enough appended to make one complete JSON value.

    Raises RuntimeError when bytes are left over after the value, and
    RecursionError (a RuntimeError) when arrays and objects nest deeper than
    1,000,000 levels.
    """
