import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import settings

ROOT = Path(__file__).resolve().parents[2]
# In CI, cases that need the shared corpus fail when it is missing rather than skip.
IN_CI = os.environ.get("CI") == "true"

# Hypothesis: 300 examples a property by default; under valgrind everything
# runs some thirty times slower.
settings.register_profile("default", max_examples=300, deadline=None)
settings.register_profile("valgrind", max_examples=5, deadline=None)
settings.load_profile("default")


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
