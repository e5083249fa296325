"""carrack completes truncated JSON.

>>> from carrack.carrack import carrack
>>> carrack('{"a": [1, tr')
'{"a": [1, true]}'

The function lives in the extension module ``carrack.carrack``; ``complete`` is
the same function under a name that does not shadow that module.
"""

from carrack.carrack import carrack as complete

__all__ = ["complete"]
__version__ = "0.1.0"
