import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def run_python(code: str, *args: str, env: dict | None = None, **kwargs) -> subprocess.CompletedProcess:
    """Runs code in a fresh interpreter, outside the source tree so that the
    installed package is imported."""
    return subprocess.run(
        [sys.executable, *args, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        cwd=os.path.dirname(ROOT),
        env={**os.environ, **(env or {})},
        timeout=300,
        **kwargs,
    )


@pytest.fixture
def python():
    return run_python
