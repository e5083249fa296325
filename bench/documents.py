"""Benchmark inputs: realistic tool-call documents and their streamed prefixes."""

from __future__ import annotations

import json
import random

ASCII_WORDS = (
    "search weather forecast order invoice customer address street city total amount "
    "status pending shipped delivered note reply summary meeting calendar agenda "
    "temperature humidity wind report query filter limit offset sort page result"
).split()

WORLD_WORDS = (
    "café naïve Zürich São Paulo Ærøskøbing Kraków Straße déjà vu façade "
    "東京 大阪 天気 予報 注文 請求書 "  # Japanese
    "Москва погода заказ счёт "  # Russian
    "القاهرة طقس "  # Arabic
    "서울 날씨 "  # Korean
    "🙂 🚀 ✅ 📦 🌦️"
).split()


def _text(rng: random.Random, words: list[str], count: int) -> str:
    return " ".join(rng.choice(words) for _ in range(count))


def _record(rng: random.Random, words: list[str], i: int) -> dict:
    return {
        "id": f"item-{i:05d}",
        "title": _text(rng, words, rng.randint(2, 6)).title(),
        "description": _text(rng, words, rng.randint(6, 24)) + rng.choice(["", "\n", ' "quoted"', "\\path", "\t"]),
        "price": round(rng.uniform(0.5, 5000), 2),
        "quantity": rng.randint(0, 500),
        "ratio": rng.choice([0.0, -1.5e-7, 3.25e12, 1e100]),
        "tags": [rng.choice(words) for _ in range(rng.randint(0, 4))],
        "available": rng.choice([True, False]),
        "discount": rng.choice([None, 0.1, 0.25]),
        "location": {"lat": round(rng.uniform(-90, 90), 6), "lon": round(rng.uniform(-180, 180), 6)},
    }


def tool_call(size: int, non_ascii: bool, seed: int = 7) -> str:
    """A tool call as a language model writes it, about `size` bytes of UTF-8."""
    rng = random.Random(seed * 1000 + size + non_ascii)
    words = ASCII_WORDS + (WORLD_WORDS * 2 if non_ascii else [])
    call = {
        "id": f"call_{rng.getrandbits(64):016x}",
        "type": "function",
        "function": {
            "name": "create_order",
            "arguments": {"customer": _text(rng, words, 3), "note": _text(rng, words, 8), "items": []},
        },
    }
    items = call["function"]["arguments"]["items"]
    # The length grows by each record and its ", ": encoding the whole call
    # again per record would take minutes at a megabyte.
    length = len(json.dumps(call, ensure_ascii=False).encode())
    while length < size * 0.95:
        items.append(_record(rng, words, len(items)))
        length += len(json.dumps(items[-1], ensure_ascii=False).encode()) + (2 if len(items) > 1 else 0)
    return json.dumps(call, ensure_ascii=False)


def dense_records(size: int, seed: int = 5) -> str:
    """Structure-dense, pretty-printed (indent=1) tool-call arguments: records of
    short strings, numbers and booleans, about `size` bytes."""
    rng = random.Random(seed)
    items = []
    call = {"tool": "create_order", "arguments": {"items": items}}
    while True:
        for _ in range(64):
            items.append({"id": len(items), "name": rng.choice(ASCII_WORDS), "sku": f"A-{rng.randint(0, 999)}",
                          "qty": rng.randint(0, 50), "price": round(rng.uniform(0, 100), 2),
                          "ok": rng.choice([True, False]), "tag": rng.choice(ASCII_WORDS)})
        text = json.dumps(call, indent=1)
        if len(text) >= size:
            return text


def token_prefixes(text: str, seed: int = 11) -> list[str]:
    """Every prefix that ends on a token boundary, tokens being 1 to 6 characters."""
    rng = random.Random(seed)
    prefixes, end = [], 0
    while end < len(text):
        end = min(len(text), end + rng.randint(1, 6))
        prefixes.append(text[:end])
    return prefixes


STREAMING = [
    (f"{label} {'non-ASCII' if non_ascii else 'ASCII'}", size, non_ascii)
    for label, size in (("500 B", 500), ("4 KB", 4096), ("64 KB", 65536))
    for non_ascii in (False, True)
]
