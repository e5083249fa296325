"""JSONTestSuite's parsing cases, read from the shared corpus when present."""

import json
import os
from pathlib import Path

import pytest

from carrack.carrack import carrack
from conftest import IN_CI, ROOT

SUITE = Path(os.environ.get("CARRACK_CORPUS", ROOT.parent / "shared" / "corpus")) / "jsontestsuite" / "test_parsing"
FILES = sorted(SUITE.glob("*.json")) if SUITE.is_dir() else []
REJECTION = "Given prefix is not from a valid JSON string!"
EVERY_PREFIX_UP_TO = 16_384  # longer files (the deeply nested ones) get 2,000 evenly spread prefixes

needs_suite = pytest.mark.skipif(not FILES, reason=f"JSONTestSuite not found at {SUITE}")


def test_suite_is_found():
    if not FILES and not IN_CI:
        pytest.skip(f"JSONTestSuite not found at {SUITE}")
    assert len(FILES) > 300, f"JSONTestSuite not found at {SUITE}"


def text_of(path):
    try:
        return path.read_bytes().decode("utf-8")
    except UnicodeDecodeError:
        return None


def prefixes(text):
    if len(text) <= EVERY_PREFIX_UP_TO:
        return (text[:cut] for cut in range(len(text) + 1))
    return (text[: len(text) * i // 2000] for i in range(2001))


def files(prefix):
    return [pytest.param(p, id=p.name) for p in FILES if p.name.startswith(prefix)]


@needs_suite
@pytest.mark.parametrize("path", files("y_"))
def test_every_prefix_of_valid_json_completes_to_json(path):
    text = text_of(path)
    if text is None:
        pytest.skip("not UTF-8")
    assert carrack(text) == text
    for prefix in prefixes(text):
        completed = carrack(prefix)
        assert completed.startswith(prefix)
        json.loads(completed)


@needs_suite
@pytest.mark.parametrize("path", files("n_") + files("i_"))
def test_invalid_or_ambiguous_json_completes_or_is_rejected(path):
    text = text_of(path)
    if text is None:
        pytest.skip("not UTF-8, so not a str a caller could pass")
    for prefix in prefixes(text):
        try:
            completed = carrack(prefix)
        except RuntimeError as error:
            assert str(error) == REJECTION
        else:
            assert completed.startswith(prefix)
