"""Fuzz target for Stream.events(): text from the fuzzer, fed in chunks it
chooses, once as str and once as UTF-8 bytes cut anywhere. The two must tell
the same events (consecutive appends to one string merged) and the same
error; and the events told so far, applied to an empty document, must give
value(partial="strings") after every chunk.

    bash fuzz/run-values 60       # atheris on values, then on events, 60 s each
"""

import sys

import atheris

with atheris.instrument_imports():
    import json.decoder  # noqa: F401

from carrack import Stream
from same_json import same

MISSING = object()


def put(document, path, value):
    if not path:
        return value
    parent = document
    for step in path[:-1]:
        parent = parent[step]
    if isinstance(parent, list) and path[-1] == len(parent):
        parent.append(value)
    else:
        parent[path[-1]] = value
    return document


def at(document, path):
    for step in path:
        document = document[step]
    return document


@atheris.instrument_func
def told(pieces, check):
    """The merged events of pieces fed in turn, ending with the error, if any;
    with check, the document they build is compared after every piece."""
    stream, out, document, started = Stream(), [], MISSING, set()
    for piece in [*pieces, b""]:
        try:
            stream.feed(piece)
        except RuntimeError:
            pass
        except (UnicodeDecodeError, ValueError) as error:
            return out + [("error", type(error).__name__)]
        try:
            events = stream.events()
        except (ValueError, RuntimeError) as error:
            return out + [("error", type(error).__name__)]
        for kind, path, value in events:
            if kind == "start":
                started.add(path)
                document = put(document, path, {"object": {}, "array": [], "string": ""}[value])
            elif kind == "append":
                document = put(document, path, at(document, path) + value)
            elif path in started:
                started.discard(path)
                assert same(at(document, path), value), path
            else:
                document = put(document, path, value)
            if kind == "append" and out and out[-1][0] == "append" and out[-1][1] == path:
                out[-1] = ("append", path, out[-1][2] + value)
            else:
                out.append((kind, path, value if kind != "end" else repr(value)))
        if check:
            try:
                expected = stream.value("strings")
            except (ValueError, RuntimeError):
                continue
            assert same(None if document is MISSING else document, expected), (stream.text, document, expected)
    return out


@atheris.instrument_func
def test_one_input(data):
    count = data[0] % 9 if data else 0
    cuts = [1 + b % 16 for b in data[1 : 1 + count]]
    raw = data[1 + count :]
    text = raw.decode("utf-8", "replace")
    if any(0xD800 <= ord(c) < 0xE000 for c in text):
        return
    chunks, at_ = [], 0
    for step in cuts:
        chunks.append(text[at_ : at_ + step])
        at_ += step
    chunks.append(text[at_:])
    encoded = text.encode()
    pieces, at_ = [], 0
    for step in reversed(cuts):  # other cuts, through characters
        pieces.append(encoded[at_ : at_ + step])
        at_ += step
    pieces.append(encoded[at_:])
    assert told(chunks, True) == told(pieces, False), text


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
