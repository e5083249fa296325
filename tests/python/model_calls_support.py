"""The model-output corpus for the emitter's tests: each case, the ways to cut
its text into chunks, and how a result compares with what the case's source
expects."""

import functools
import json
import random
from pathlib import Path

import carrack
from batch_support import CORPUS
from carrack.model_calls import PROFILES, ModelToolCalls, merge_deltas

CASES_FILE = Path(CORPUS) / "model_outputs" / "cases.jsonl"


@functools.cache
def cases() -> tuple[tuple[str, dict], ...]:
    """(id, case) for every corpus case whose format has a profile; the id is
    the format and the case's ordinal within it."""
    if not CASES_FILE.exists():
        return ()
    seen: dict[str, int] = {}
    out = []
    for line in CASES_FILE.read_text(encoding="utf-8").splitlines():
        case = json.loads(line)
        fmt = case["format"]
        seen[fmt] = seen.get(fmt, 0) + 1
        if fmt in PROFILES:
            out.append((f"{fmt}-{seen[fmt]}", case))
    return tuple(out)


def ids(i: int) -> str:
    return f"call_{i}"


def splits(text: str, how: str) -> list[str]:
    """The text cut as ``how`` says: whole, a character at a time, or at
    random points (``random-<seed>``, pieces of 1 to 8 characters)."""
    if how == "whole":
        return [text]
    if how == "chars":
        return list(text)
    rng = random.Random(f"{how}:{text}")
    out, i = [], 0
    while i < len(text):
        n = rng.randint(1, 8)
        out.append(text[i : i + n])
        i += n
    return out


CHUNKINGS = ["whole", "chars", "random-1", "random-2", "random-3"]


def run(fmt: str, chunks: list[str]) -> tuple[list[dict], ModelToolCalls]:
    emitter = ModelToolCalls(fmt, ids=ids)
    deltas = []
    for chunk in chunks:
        deltas += emitter.feed(chunk)
    deltas += emitter.close()
    return deltas, emitter


def loose(text: str):
    """The value of an argument text that may be cut off."""
    try:
        return json.loads(text)
    except ValueError:
        pass
    try:
        return carrack.loads(text) if text else None
    except (ValueError, RuntimeError):
        return ("not JSON", text)


def differences(case: dict, message: dict) -> list[str]:
    """How a merged message differs from what the case's source expects: the
    names and the parsed arguments always, the argument text where the source
    compares it, the content where the source gives it."""
    got = message["tool_calls"]
    want = case["tool_calls"]
    out = []
    if [c["function"]["name"] for c in got] != [c["name"] for c in want]:
        out.append(f"names {[c['function']['name'] for c in got]} != {[c['name'] for c in want]}")
        return out
    for g, w in zip(got, want):
        text = g["function"]["arguments"]
        if w.get("arguments") is not None:
            if loose(text) != w["arguments"]:
                out.append(f"arguments {text!r} != {w['arguments']!r}")
        elif loose(text) != loose(w.get("arguments_unparsed") or ""):
            out.append(f"cut arguments {text!r} != {w.get('arguments_unparsed')!r}")
        if w.get("arguments_text") is not None and w.get("arguments") is not None and text != w["arguments_text"]:
            out.append(f"argument text {text!r} != {w['arguments_text']!r}")
    if case.get("content") is not None and message["content"] != case["content"]:
        out.append(f"content {message['content']!r} != {case['content']!r}")
    return out


def result(fmt: str, chunks: list[str]) -> tuple[dict, list]:
    deltas, emitter = run(fmt, chunks)
    return merge_deltas(deltas), [(c.name, c.arguments, c.state) for c in emitter.calls]
