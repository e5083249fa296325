"""carrack completes truncated JSON.

>>> import carrack
>>> carrack.complete('{"a": [1, tr')
'{"a": [1, true]}'

``complete`` is the function ``carrack`` of the extension module
``carrack.carrack``, under a name that does not shadow that module (``from
carrack import carrack`` gives the module). ``Stream`` completes a text fed in
chunks, walking each chunk once, and tells what changed as events;
``JsonPatch`` turns those into JSON Patch operations. ``ToolCalls`` collects a
model's streamed tool calls, each call's arguments a ``Stream``, and says which
calls are safe to run. A stream's own failures are ``RejectedTextError``,
``NestingTooDeepError``, ``StreamInUseError`` and ``StreamClosedError``,
subclasses of ``RuntimeError``, ``RecursionError`` and ``ValueError``.
``loads`` gives the Python value of a cut text in one call; ``complete_many``
and ``loads_many`` take many texts at once, and ``carrack.arrow`` completes
Arrow string columns.
"""

from carrack._batch import loads
from carrack._stream import (
    ANY,
    Event,
    NestingTooDeepError,
    RejectedTextError,
    Stream,
    StreamClosedError,
    StreamInUseError,
)
from carrack.batch import complete_many, loads_many
from carrack.carrack import carrack as complete
from carrack.patch import JsonPatch
from carrack.tool_calls import ToolCall, ToolCalls
from carrack.model_calls import ModelToolCalls

__all__ = [
    "ANY",
    "Event",
    "JsonPatch",
    "ModelToolCalls",
    "NestingTooDeepError",
    "RejectedTextError",
    "Stream",
    "StreamClosedError",
    "StreamInUseError",
    "ToolCall",
    "ToolCalls",
    "complete",
    "complete_many",
    "loads",
    "loads_many",
]
__version__ = "0.1.0"
