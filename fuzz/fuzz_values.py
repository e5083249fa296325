"""Fuzz target for Stream.value(): text from the fuzzer, cut into chunks it
chooses. After each chunk value() must equal json.loads of the completion (or
both raise), the policies must not fail otherwise, and results already
returned must not change. close() must agree with json.loads of the text.

    bash fuzz/run-values 60       # atheris (coverage-guided) for 60 s
    python fuzz/fuzz_values.py -max_total_time=60   # the same, in a venv with atheris
"""

import copy
import json
import sys

import atheris

# The extension itself has no coverage counters; the target and json's Python
# side give the fuzzer what guidance there is, the token dictionary the rest.
with atheris.instrument_imports():
    import json.decoder  # noqa: F401

from carrack import Stream
from same_json import same
from carrack.carrack import carrack


def attempt(call):
    try:
        return True, call()
    except (ValueError, RuntimeError, RecursionError) as error:
        return False, error


@atheris.instrument_func
def test_one_input(data):
    # the first byte says how many of the next ones are chunk sizes; the rest is UTF-8 text
    count = data[0] % 9 if data else 0
    cuts = [1 + b % 16 for b in data[1 : 1 + count]]
    text = data[1 + count :].decode("utf-8", "replace")
    stream = Stream()
    held = []
    at = 0
    for step in [*cuts, len(text)]:
        chunk, at = text[at : at + step], at + step
        try:
            stream.feed(chunk)
        except RuntimeError:
            pass  # the completion refuses the text; it is kept all the same
        ok, mine = attempt(stream.value)
        completion = attempt(lambda: json.loads(carrack(stream.text), strict=False))
        if completion[0]:
            assert ok and same(mine, completion[1]), (stream.text, mine, completion[1])
        else:
            assert not ok or isinstance(completion[1], RuntimeError), (stream.text, mine)
        if not isinstance(completion[1], RecursionError):
            assert ok == completion[0] or isinstance(completion[1], RuntimeError)
        if ok:
            held.append((mine, copy.deepcopy(mine)))
        for policy in ("strings", "closed"):
            kept = attempt(lambda: stream.value(policy))
            if kept[0]:
                held.append((kept[1], copy.deepcopy(kept[1])))
        attempt(lambda: stream.path)
        attempt(lambda: stream.done)
        if at >= len(text):
            break
    for result, as_returned in held:
        assert same(result, as_returned)
    ok, closed = attempt(stream.close)
    expected = attempt(lambda: json.loads(stream.text, strict=False))
    assert ok == expected[0] and (not ok or same(closed, expected[1])), (stream.text, closed, expected)


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
