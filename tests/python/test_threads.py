"""Free-threaded builds: both modules declare that they do not need the GIL, so
importing carrack must leave it off."""

import sysconfig

import pytest


@pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"), reason="only a free-threaded build runs without the GIL")
def test_importing_carrack_leaves_the_gil_disabled(python):
    # An empty PYTHON_GIL counts as unset: what the modules declare decides alone.
    result = python(
        """
        import sys
        before = sys._is_gil_enabled()
        import carrack
        print(before, sys._is_gil_enabled(), "carrack.carrack" in sys.modules, "carrack._stream" in sys.modules)
        """,
        env={"PYTHON_GIL": ""},
    )
    assert (result.stdout, result.stderr) == ("False False True True\n", "")
