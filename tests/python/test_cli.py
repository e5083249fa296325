"""The command line: python -m carrack, and the installed carrack."""

import functools
import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

import carrack
from conftest import ROOT

MODULE = [sys.executable, "-m", "carrack"]
SCRIPT = Path(sys.executable).with_name("carrack")  # the installed command, beside the interpreter


def run(*args, stdin=None, command=MODULE):
    return subprocess.run(
        [*command, *args],
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


@functools.cache
def help_text():
    return run("--help").stdout.decode()


@pytest.mark.parametrize(
    ("args", "stdin", "status", "message"),
    [
        (["1 2"], None, 1, b"Given prefix is not from a valid JSON string!\n"),
        ([], b"{} {}", 1, b"Given prefix is not from a valid JSON string!\n"),
        ([], b"[" * 1_000_001, 1, b"JSON nesting is too deep: more than 1000000 levels of arrays and objects\n"),
        # not UTF-8: one line, whichever way the text comes
        ([], b'"\xff', 1, b"standard input is not UTF-8: byte 0xff at offset 1\n"),
        ([b'["a", "\xe9'], None, 1, b"TEXT is not UTF-8: byte 0xe9 at character 7\n"),
        # usage
        (["[1", "2"], None, 2, None),
        (["--unknown"], None, 2, None),
    ],
)
def test_failures_go_to_standard_error_with_the_status_listed(args, stdin, status, message):
    result = run(*args, stdin=stdin)
    assert (result.returncode, result.stdout) == (status, b"")
    if message is not None:
        assert result.stderr == message
    assert re.search(rf"^  {status}  ", help_text(), re.MULTILINE)


@pytest.mark.parametrize(
    ("command", "name"),
    [(MODULE, f"{os.path.basename(sys.executable)} -m carrack"), ([str(SCRIPT)], "carrack")],
    ids=["module", "script"],
)
def test_help_names_the_command_as_it_was_started(command, name):
    if not Path(command[0]).exists():
        pytest.skip("the installed command is not beside the interpreter")
    result = run("--help", command=command)
    assert result.returncode == 0
    assert result.stdout.startswith(f"usage: {name} ".encode())
    assert b"standard input" in result.stdout


def test_version_is_the_packages():
    result = run("--version")
    assert (result.returncode, result.stdout) == (0, f"carrack {carrack.__version__}\n".encode())
