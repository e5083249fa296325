"""What the build ships: extension modules that export only their entry points
and ask no newer glibc than manylinux2014's nor a newer C++ runtime than
manylinux_2_28's, one version, the licence, and test-only build settings that do
not outlive their build."""

import re
import shutil
import subprocess
import sys
from importlib import resources
from importlib.metadata import distribution
from pathlib import Path

import pytest

import carrack
from conftest import ROOT
from test_process import find_cmake

EXTENSIONS = sorted(
    Path(str(entry)) for entry in resources.files(carrack).iterdir() if entry.name.endswith((".so", ".pyd"))
)
ELF = sys.platform.startswith("linux")


def binutils(tool: str, *args: str) -> str:
    if not ELF or shutil.which(tool) is None:
        pytest.skip(f"{tool} reads the ELF modules of Linux builds")
    return subprocess.run([tool, *args], check=True, capture_output=True, text=True).stdout


def test_the_extension_modules_are_installed():
    assert sorted(path.name.split(".")[0] for path in EXTENSIONS) == ["_batch", "_stream", "carrack"]


@pytest.mark.parametrize("module", EXTENSIONS, ids=lambda path: path.name)
def test_module_exports_only_its_init_function(module):
    listing = binutils("nm", "-D", "--defined-only", str(module))
    exported = {line.split()[-1] for line in listing.splitlines() if line.strip()}
    assert exported == {f"PyInit_{module.name.split('.')[0]}"}


# The newest symbol version each system library may be asked for: glibc's as in
# manylinux2014, the C++ runtime's as in manylinux_2_28 (GCC 8), the wheel's floor.
NEWEST = {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}


@pytest.mark.parametrize("module", EXTENSIONS, ids=lambda path: path.name)
def test_module_needs_no_newer_system_library_than_the_floor(module):
    listing = binutils("objdump", "-T", str(module))
    versions = set(re.findall(r"\b(GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)\b", listing))
    newer = sorted(f"{lib}_{v}" for lib, v in versions if tuple(map(int, v.split("."))) > NEWEST[lib])
    assert not newer, [line for line in listing.splitlines() if any(f"({v})" in line for v in newer)]


def test_metadata_carries_the_package_version_and_licence():
    dist = distribution("carrack")
    assert dist.version == carrack.__version__
    assert dist.metadata["License-Expression"] == "MIT"
    (licence,) = [f for f in dist.files if f.name == "LICENSE"]
    assert "MIT License" in licence.read_text()


def test_test_only_settings_do_not_outlive_their_configure(tmp_path):
    cmake = find_cmake()
    if cmake is None:
        pytest.skip("cmake is needed to configure a build")
    configure = [cmake, "-S", str(ROOT), "-B", str(tmp_path), "-DCARRACK_PYTHON_MODULE=ON",
                 f"-DPython_EXECUTABLE={sys.executable}"]

    def build_files() -> str:
        return "\n".join(path.read_text(errors="replace") for path in tmp_path.rglob("*") if path.is_file())

    subprocess.run([*configure, "-DCARRACK_SANITIZE=ON", "-DCARRACK_BUILT_FOR=3.0"], check=True, capture_output=True)
    first = build_files()
    assert "fsanitize" in first and "CARRACK_BUILT_FOR_MAJOR=3" in first
    subprocess.run(configure, check=True, capture_output=True)
    second = build_files()
    assert "fsanitize" not in second and "CARRACK_BUILT_FOR" not in second
