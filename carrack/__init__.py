"""carrack completes truncated JSON.

>>> import carrack
>>> carrack.complete('{"a": [1, tr')
'{"a": [1, true]}'

``complete`` is the function ``carrack`` of the extension module
``carrack.carrack``, under a name that does not shadow that module (``from
carrack import carrack`` gives the module). ``Stream`` completes a text fed in
chunks, walking each chunk once.
"""

from carrack._stream import Stream
from carrack.carrack import carrack as complete

__all__ = ["Stream", "complete"]
__version__ = "0.1.0"
