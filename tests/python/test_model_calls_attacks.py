"""Hostile outputs for carrack.ModelToolCalls: work per character that must
not grow with the output, chunks that are not text, calls that write their
arguments twice."""

import pytest

from carrack.model_calls import PROFILES, ModelToolCalls, merge_deltas
from model_calls_support import ids


class CountingText(str):
    """A text that counts the characters its searches and slices pass over."""

    read = 0

    def find(self, sub, start=0, end=None):  # type: ignore[override]
        k = super().find(sub, start, end)
        CountingText.read += (len(self) if k == -1 else k) - start
        return k

    def __getitem__(self, key):  # type: ignore[override]
        part = super().__getitem__(key)
        CountingText.read += len(part)
        return part


# Prose full of one marker's first character, and free of another's.
@pytest.mark.parametrize("fmt", ["hermes", "llama3_json", "xlam", "kimi_k2", "gpt_oss", "deepseek_v3", "json"])
def test_a_whole_output_is_read_in_linear_work(fmt):
    n = 20_000
    text = CountingText("a<b " * (n // 4))
    CountingText.read = 0
    ModelToolCalls(fmt, ids=ids).parse(text)
    assert CountingText.read < 20 * n
