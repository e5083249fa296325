"""Fuzz target for ModelToolCalls: a format and a model output from the
fuzzer, cut into chunks it chooses. Reading never fails; the deltas are legal
for an OpenAI client; the merged deltas are those of the whole text at once
and of parse(); no call is left open, and a complete call's arguments load.

    bash fuzz/run-model-calls 60       # atheris (coverage-guided) for 60 s
    python fuzz/fuzz_model_calls.py -max_total_time=60   # the same, in a venv with atheris
"""

import json
import sys

import atheris

with atheris.instrument_imports():
    from carrack.model_calls import _emitter, _profiles  # noqa: F401

from carrack.model_calls import PROFILES, ModelToolCalls, merge_deltas

FORMATS = sorted(PROFILES)


def ids(i):
    return f"call_{i}"


def read(fmt, chunks):
    emitter = ModelToolCalls(fmt, ids=ids)
    deltas = []
    for chunk in chunks:
        deltas += emitter.feed(chunk)
    return deltas + emitter.close(), emitter


def legal(deltas):
    seen = 0
    for d in deltas:
        if "content" in d:
            assert set(d) == {"content"} and d["content"], d
            continue
        (tc,) = d["tool_calls"]
        if "id" in tc:
            assert tc["index"] == seen and tc["function"]["name"], d
            seen += 1
        else:
            assert tc["index"] == seen - 1 and tc["function"]["arguments"], d


@atheris.instrument_func
def test_one_input(data):
    # byte 0: the format; byte 1: how many of the next bytes are chunk sizes; the rest is UTF-8 text
    if len(data) < 2:
        return
    fmt = FORMATS[data[0] % len(FORMATS)]
    count = data[1] % 9
    cuts = [1 + b % 16 for b in data[2 : 2 + count]]
    text = data[2 + count :].decode("utf-8", "replace")
    chunks, at = [], 0
    for step in cuts:
        chunks.append(text[at : at + step])
        at += step
    chunks.append(text[at:])
    deltas, emitter = read(fmt, chunks)
    legal(deltas)
    whole, _ = read(fmt, [text])
    merged = merge_deltas(deltas)
    assert merged == merge_deltas(whole), (fmt, text, chunks)
    parsed = ModelToolCalls(fmt, ids=ids).parse(text)
    assert parsed.content == merged["content"]
    assert [c.message() for c in parsed.tool_calls] == merged["tool_calls"]
    for call in emitter.calls:
        assert call.state != "open"
        if call.state == "complete":
            json.loads(call.arguments, strict=False)  # as the Stream reads JSON


def main():
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
