"""Truncated model outputs for the batch, Arrow and engine tests: whole JSON
texts from the shared corpus (tool-call arguments that models wrote, tweets,
events, map features) cut at random points, or, where the corpus is absent,
texts of the tests' own. In CI the corpus must be there."""

import functools
import json
import os
import random
from pathlib import Path

import pytest

from conftest import IN_CI, ROOT

CORPUS = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus"))

# Each kind of str storage (ASCII, Latin-1, UCS-2, UCS-4), every JSON value kind.
OWN_DOCUMENTS = [
    {"name": "search", "arguments": {"query": "café crème", "limit": 10, "exact": False, "tags": ["a", "b"]}},
    {"city": "Zürich", "temp": [-3.5, 1e-7, 12], "ok": True, "note": None},
    {"text": "東京の天気は晴れ", "emoji": "🌍🚀", "escaped": "tab\there \"quoted\" \\ \u0001"},
    [[1, [2, [3, {"deep": [4, 5, {"x": "y"}]}]]], {}, [], "", 0, -0.25],
    {"items": [{"id": i, "label": f"item {i}", "score": i / 7} for i in range(40)]},
    "a whole string at the root, with ünïcödé and 🎉",
]


def corpus_present() -> bool:
    if (CORPUS / "twitter.json").exists():
        return True
    if IN_CI:
        pytest.fail(f"corpus missing: {CORPUS}")
    return False


@functools.cache
def documents() -> tuple[str, ...]:
    """Whole JSON texts, as models and services write them."""
    values: list[object] = list(OWN_DOCUMENTS)
    if corpus_present():
        with open(CORPUS / "model_outputs" / "cases.jsonl", encoding="utf-8") as cases:
            for line in cases:
                for call in json.loads(line).get("tool_calls") or []:
                    if call.get("arguments") is not None:
                        values.append(call["arguments"])
        values += json.loads((CORPUS / "twitter.json").read_text(encoding="utf-8"))["statuses"]
        values += json.loads((CORPUS / "citm_catalog.json").read_text(encoding="utf-8"))["events"].values()
        values += json.loads((CORPUS / "canada.json").read_text(encoding="utf-8"))["features"][0]["geometry"]["coordinates"][:20]
    texts = []
    for i, value in enumerate(values):
        # Both of json.dumps's ways: ASCII escapes and raw text, compact and indented.
        texts.append(json.dumps(value, ensure_ascii=i % 2 == 0, indent=2 if i % 3 == 0 else None))
    return tuple(texts)


def cut_texts(rng: random.Random, count: int) -> list[str]:
    """count documents, each cut at a random point (whole ones included)."""
    docs = documents()
    texts = []
    for _ in range(count):
        doc = rng.choice(docs)
        texts.append(doc[: rng.randint(0, len(doc))])
    return texts


def cut_bytes(rng: random.Random, count: int) -> list[bytes]:
    """As cut_texts, cut in UTF-8 anywhere, inside a character too."""
    docs = documents()
    cuts = []
    for _ in range(count):
        doc = rng.choice(docs).encode("utf-8")
        cuts.append(doc[: rng.randint(0, len(doc))])
    return cuts


# Rows that carrack.complete refuses, one of each way, and the exception each raises.
class Text(str):
    """A str subclass, which carrack.complete refuses as it refuses any non-str."""


BAD_ROWS = [
    pytest.param("[1, 2]]", RuntimeError, id="left-over"),
    pytest.param('{"a": 1} {"b"', RuntimeError, id="second-value"),
    pytest.param("[NaN", RuntimeError, id="nan"),
    pytest.param("[" * 1_000_001, RecursionError, id="too-deep"),
    pytest.param('["\ud800', UnicodeEncodeError, id="surrogate"),
    pytest.param(b"[1", TypeError, id="bytes"),
    pytest.param(17, TypeError, id="int"),
    pytest.param(Text("[1"), TypeError, id="str-subclass"),
]
