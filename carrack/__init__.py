"""carrack completes truncated JSON.

>>> from carrack.carrack import carrack
>>> carrack('{"a": [1, tr')
'{"a": [1, true]}'

The function lives in the extension module ``carrack.carrack``; ``complete`` is
the same function under a name that does not shadow that module. ``Stream``
completes a text fed in chunks, walking each chunk once; ``ToolCalls`` collects
a model's streamed tool calls, each call's arguments a ``Stream``, and says
which calls are safe to run.
"""

from carrack._stream import Stream
from carrack.carrack import carrack as complete
from carrack.tool_calls import ToolCall, ToolCalls

__all__ = ["Stream", "ToolCall", "ToolCalls", "complete"]
__version__ = "0.1.0"
