"""python -m carrack."""

import subprocess
import sys

import pytest

from conftest import ROOT


def run(*args, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "carrack", *args],
        input=stdin,
        capture_output=True,
        cwd=ROOT.parent,
        timeout=60,
    )


@pytest.mark.parametrize(
    ("args", "stdin", "stdout"),
    [
        (['{"a": [1, tr'], None, b'{"a": [1, true]}\n'),
        (["[1, 2"], None, b"[1, 2]\n"),
        ([], b'{"k": "caf\xc3\xa9', b'{"k": "caf\xc3\xa9"}\n'),
        ([], b"", b"null\n"),
        ([], b"[1,\n", b"[1,\nnull]\n"),
    ],
)
def test_completes_argument_or_standard_input(args, stdin, stdout):
    result = run(*args, stdin=stdin)
    assert (result.returncode, result.stdout, result.stderr) == (0, stdout, b"")


@pytest.mark.parametrize(
    ("args", "stdin", "message"),
    [
        (["1 2"], None, b"Given prefix is not from a valid JSON string!\n"),
        ([], b"{} {}", b"Given prefix is not from a valid JSON string!\n"),
        ([], b'"\xff', None),  # not UTF-8
    ],
)
def test_rejection_goes_to_standard_error_with_status_1(args, stdin, message):
    result = run(*args, stdin=stdin)
    assert result.returncode == 1
    assert result.stdout == b""
    if message is not None:
        assert result.stderr == message
    else:
        assert b"utf-8" in result.stderr


def test_help():
    result = run("--help")
    assert result.returncode == 0
    assert b"Complete a truncated JSON text" in result.stdout
    assert b"standard input" in result.stdout
