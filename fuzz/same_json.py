"""What the atheris targets share: JSON values compared as json reads them."""

import math

import atheris


@atheris.instrument_func
def same(a, b):
    """Equal JSON values read the same way: types, NaN and key order included."""
    if type(a) is not type(b):
        return False
    if isinstance(a, float):
        return (math.isnan(a) and math.isnan(b)) or repr(a) == repr(b)
    if isinstance(a, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b))
    if isinstance(a, dict):
        return list(a) == list(b) and all(same(a[k], b[k]) for k in a)
    return a == b
