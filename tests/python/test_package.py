"""What the installed package holds."""

import sysconfig
from importlib import resources
from importlib.metadata import distribution

import carrack


def test_package_holds_module_stub_and_marker_but_no_sources():
    names = {entry.name for entry in resources.files(carrack).iterdir()}
    suffix = sysconfig.get_config_var("EXT_SUFFIX")
    assert {"__init__.py", "__main__.py", "carrack.pyi", "_stream.pyi", "_batch.pyi", "py.typed"} <= names
    assert {"carrack" + suffix, "_stream" + suffix, "_batch" + suffix} <= names
    assert not [name for name in names if name.endswith((".cpp", ".hpp", ".txt"))]


def test_installed_files_match():
    files = {str(path) for path in distribution("carrack").files}
    assert not [f for f in files if f.endswith((".cpp", ".hpp")) or f.endswith("CMakeLists.txt")]
    assert "carrack/py.typed" in files


def test_stub_declares_the_signature():
    stub = resources.files(carrack).joinpath("carrack.pyi").read_text()
    assert "def carrack(prefix: str) -> str:" in stub
