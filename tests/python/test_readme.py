"""The README's examples run as written: every >>> example as one doctest, as
`python -m doctest README.md` would run it, and every $ line of its Command line
section as a shell command, each against the output shown under it."""

import doctest
import os
import re
import subprocess
import sys

import pytest

from conftest import ROOT

README = (ROOT / "README.md").read_text(encoding="utf-8")
try:
    import pydantic  # noqa: F401
except ImportError:  # carrack.typed's extra is not installed: its section cannot run
    head, rest = README.split("\n## Typed streams\n", 1)
    README = head + "\n## " + rest.split("\n## ", 1)[1]


def shell_examples():
    """(command, expected output lines) for each $ line of the Command line section."""
    section = README.split("\n## Command line\n", 1)[1].split("\n## ", 1)[0]
    examples = []
    for block in re.findall(r"^```sh\n(.*?)^```", section, re.MULTILINE | re.DOTALL):
        for line in block.splitlines():
            if line.startswith("$ "):
                examples.append((line[2:], []))
            else:
                examples[-1][1].append(line)
    return examples


SHELL_EXAMPLES = shell_examples()


def test_python_examples():
    test = doctest.DocTestParser().get_doctest(README, {}, "README.md", str(ROOT / "README.md"), 0)
    runner = doctest.DocTestRunner(optionflags=doctest.REPORT_NDIFF)
    report = []
    runner.run(test, out=report.append)
    assert runner.failures == 0, "".join(report)
    assert runner.tries > 20 and len(SHELL_EXAMPLES) > 3  # the parsers still find the examples


@pytest.mark.parametrize(("command", "expected"), SHELL_EXAMPLES, ids=[c for c, _ in SHELL_EXAMPLES])
def test_command_line_examples(command, expected, tmp_path):
    # "python" and "carrack" are the interpreter running the tests and the command installed beside it.
    path = os.path.dirname(sys.executable) + os.pathsep + os.environ.get("PATH", "")
    result = subprocess.run(
        ["bash", "-c", command],
        stdout=subprocess.PIPE,
        stderr=subprocess.STDOUT,
        cwd=tmp_path,
        env={**os.environ, "PATH": path},
        timeout=60,
    )
    assert result.stdout.decode().splitlines() == expected
