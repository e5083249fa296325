"""Per-process behaviour, each case in a fresh interpreter: re-import, a second
interpreter, a restarted embedded interpreter, the version check, releasing the
function, pickling into worker processes, memory exhausted in the engine."""

import os
import shutil
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

import carrack
from conftest import ROOT

INTERPRETER_CHANGE = "Interpreter change detected - this module can only be loaded into one interpreter per process."


def test_reimport_after_deleting_from_sys_modules_gives_the_same_module(python):
    result = python(
        """
        import sys
        import carrack.carrack as first
        function = first.carrack
        del sys.modules["carrack.carrack"]
        import importlib
        second = importlib.import_module("carrack.carrack")
        assert second is first, (second, first)
        assert second.carrack is function
        assert second.carrack("[1") == "[1]"
        print("ok")
        """
    )
    assert result.stdout == "ok\n", result.stderr


def test_reload_keeps_the_module_and_its_function(python):
    result = python(
        """
        import importlib
        import carrack.carrack as module
        function = module.carrack
        assert importlib.reload(module) is module
        assert module.carrack is function and function("[") == "[]"
        print("ok")
        """
    )
    assert result.stdout == "ok\n", result.stderr


def test_executing_a_second_module_object_is_refused(python):
    result = python(
        """
        import importlib.util, pathlib, sysconfig
        # the package's __init__ would import the module; load the file alone
        (folder,) = importlib.util.find_spec("carrack").submodule_search_locations
        (path,) = pathlib.Path(folder).glob("carrack" + sysconfig.get_config_var("EXT_SUFFIX"))
        spec = importlib.util.spec_from_file_location("carrack.carrack", path)
        first, second = importlib.util.module_from_spec(spec), importlib.util.module_from_spec(spec)
        spec.loader.exec_module(first)
        try:
            spec.loader.exec_module(second)
        except RuntimeError as error:
            print(error)
        print(first.carrack("[1"), hasattr(second, "carrack"))
        """
    )
    assert result.stdout.splitlines() == [
        "Module 'carrack' has already been imported. Re-initialisation is not supported.",
        "[1] False",
    ], result.stderr


def test_deleting_the_function_releases_what_it_holds(python):
    result = python(
        """
        import sys, weakref
        import carrack, carrack.carrack as module
        function = module.carrack
        held = [function.__globals__, function.__code__, function.__annotations__]
        before = [sys.getrefcount(o) for o in held]
        gone = weakref.ref(function)
        del function, module.carrack, carrack.complete
        after = [sys.getrefcount(o) for o in held]
        print(gone() is None, [b - a for b, a in zip(before, after)])
        """
    )
    assert result.stdout == "True [1, 1, 1]\n", result.stderr


def test_a_spawned_worker_pool_maps_the_function(python):
    result = python(
        """
        import multiprocessing
        from carrack.carrack import carrack
        with multiprocessing.get_context("spawn").Pool(2) as pool:
            print(pool.map(carrack, ["[1", '{"a": tr', '"x']))
        """
    )
    assert result.stdout == str(["[1]", '{"a": true}', '"x"']) + "\n", result.stderr


@pytest.mark.skipif(bool(os.environ.get("CARRACK_SANITIZED")), reason="the sanitizer reserves terabytes of address space")
def test_engine_running_out_of_memory_raises_memory_error(python):
    # Address space for the text and a little more, not for the engine's
    # megabyte of nesting: the C++ allocation fails and maps to MemoryError.
    result = python(
        """
        import resource
        from carrack.carrack import carrack
        text = "[" * 1_000_000
        pages = int(open("/proc/self/statm").read().split()[0])
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + 256 * 1024, hard))
        try:
            carrack(text)
        except MemoryError as error:
            print(repr(error))
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(carrack(text) == text + "]" * 1_000_000)
        """
    )
    assert result.stdout.splitlines() == ["MemoryError('std::bad_alloc')", "True"], result.stderr


def second_interpreter(first: str) -> str:
    """Code that runs first, then imports the module in a second interpreter."""
    return textwrap.dedent(first) + textwrap.dedent(
        """
        import _interpreters
        interp = _interpreters.create("legacy")
        error = _interpreters.exec(interp, "import carrack.carrack")
        print(error.type.__name__ if error else None)
        print(error.msg if error else None)
        """
    )


@pytest.mark.skipif(sys.version_info < (3, 13), reason="_interpreters.create('legacy') is new in 3.13")
def test_second_interpreter_is_refused(python):
    result = python(second_interpreter("import carrack.carrack"))
    assert result.stdout.splitlines() == ["ImportError", INTERPRETER_CHANGE], result.stderr


@pytest.mark.skipif(sys.version_info < (3, 13), reason="an owner other than the main interpreter is forgotten from 3.13")
def test_a_finished_owner_hands_the_module_on(python):
    owner_finishes = """
        import _interpreters
        owner = _interpreters.create("legacy")
        print(_interpreters.exec(owner, "import carrack.carrack; assert carrack.carrack.carrack('[') == '[]'"))
        _interpreters.destroy(owner)
        import carrack.carrack
        print(carrack.carrack.carrack("[1"))
    """
    result = python(second_interpreter(owner_finishes))
    assert result.stdout.splitlines() == ["None", "[1]", "ImportError", INTERPRETER_CHANGE], result.stderr


@pytest.fixture(scope="session")
def embedding_program(tmp_path_factory):
    """tests/embed/cycles.c built against the running interpreter's libpython."""
    compiler = shutil.which("cc") or shutil.which("gcc") or shutil.which("g++")
    if compiler is None:
        pytest.skip("no C compiler to build an embedding program")
    version = sysconfig.get_config_var("LDVERSION")
    libdir = Path(sysconfig.get_config_var("LIBDIR"))
    archive = Path(sysconfig.get_config_var("LIBPL")) / f"libpython{version}.a"
    if (libdir / f"libpython{version}.so").exists():
        link = [f"-L{libdir}", f"-lpython{version}", f"-Wl,-rpath,{libdir}"]
    elif archive.exists():
        # Every object, as python itself is linked: extension modules resolve the
        # API in the program, also the parts that the program never calls.
        link = ["-Wl,--whole-archive", str(archive), "-Wl,--no-whole-archive", "-Wl,--export-dynamic"]
    else:
        pytest.skip(f"this interpreter provides no libpython{version} to embed")
    link += (sysconfig.get_config_var("LIBS") or "").split() + (sysconfig.get_config_var("SYSLIBS") or "").split()
    program = tmp_path_factory.mktemp("embed") / "cycles"
    source = ROOT / "tests" / "embed" / "cycles.c"
    build = [compiler, f"-I{sysconfig.get_paths()['include']}", str(source), "-o", str(program), *link]
    result = subprocess.run(build, capture_output=True, text=True)
    assert result.returncode == 0, result.stderr
    return program


def test_a_restarted_embedded_interpreter_gets_a_working_module(embedding_program, tmp_path):
    use = textwrap.dedent(
        """
        import carrack.carrack as module
        print(module.carrack('{"a": [1, tr'), module.carrack.__globals__ is vars(module))
        """
    )
    cycles = [use, use, use]
    expected = ['{"a": [1, true]} True'] * 3
    if sys.version_info >= (3, 13):  # the new owner still refuses a second interpreter
        cycles[1] += textwrap.dedent(
            """
            import _interpreters
            error = _interpreters.exec(_interpreters.create("legacy"), "import carrack.carrack")
            print(error.msg)
            """
        )
        expected.insert(2, INTERPRETER_CHANGE)
    result = subprocess.run(
        [str(embedding_program), *cycles],
        capture_output=True,
        text=True,
        cwd=tmp_path,
        env={**os.environ, "PYTHONPATH": str(Path(carrack.__file__).parents[1])},
        timeout=120,
    )
    assert result.stdout.splitlines() == expected, result.stderr
    assert result.returncode == 0, result.stderr


def find_cmake() -> str | None:
    beside = Path(sys.executable).parent / "cmake"
    return str(beside) if beside.exists() else shutil.which("cmake")


@pytest.fixture(scope="session")
def mismatched_build(tmp_path_factory):
    """The module built as if for another Python version, in a package of its own."""
    cmake = find_cmake()
    if cmake is None:
        pytest.skip("cmake is needed to build the module for a version check")
    claimed = f"{sys.version_info.major}.{sys.version_info.minor - 1}"
    build = tmp_path_factory.mktemp("mismatched-build")
    configure = [
        cmake, "-S", str(ROOT), "-B", str(build), "-DCMAKE_BUILD_TYPE=Release",
        "-DCARRACK_PYTHON_MODULE=ON", f"-DCARRACK_BUILT_FOR={claimed}", f"-DPython_EXECUTABLE={sys.executable}",
    ]
    if shutil.which("ninja") or (Path(sys.executable).parent / "ninja").exists():
        configure += ["-G", "Ninja", f"-DCMAKE_MAKE_PROGRAM={shutil.which('ninja') or Path(sys.executable).parent / 'ninja'}"]
    subprocess.run(configure, check=True, capture_output=True)
    subprocess.run([cmake, "--build", str(build), "--target", "carrack_module"], check=True, capture_output=True)
    package = tmp_path_factory.mktemp("mismatched") / "carrack"
    package.mkdir()
    (package / "__init__.py").write_text("")
    (library,) = (build / "carrack").rglob("carrack" + sysconfig.get_config_var("EXT_SUFFIX"))
    shutil.copy(library, package)
    running = f"{sys.version_info.major}.{sys.version_info.minor}"
    message = (
        f"compile time Python version {claimed} of module 'carrack.carrack' does not match runtime version {running}"
    )
    return {"PYTHONPATH": str(package.parent)}, message


def test_version_mismatch_warns_and_imports(python, mismatched_build):
    env, message = mismatched_build
    result = python(
        """
        import warnings
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            import carrack.carrack
        print([(w.category.__name__, str(w.message)) for w in caught])
        print(carrack.carrack.carrack("[1"))
        """,
        env=env,
    )
    assert result.stdout.splitlines() == [str([("RuntimeWarning", message)]), "[1]"], result.stderr


def test_version_mismatch_as_error_fails_the_import_and_a_retry_starts_over(python, mismatched_build):
    env, message = mismatched_build
    result = python(
        """
        import sys, warnings
        warnings.simplefilter("error")
        try:
            import carrack.carrack
        except RuntimeWarning as error:
            print("failed:", error)
        print("carrack.carrack" in sys.modules)
        warnings.simplefilter("ignore")
        import carrack.carrack
        print(carrack.carrack.carrack("["))
        """,
        env=env,
    )
    assert result.stdout.splitlines() == [f"failed: {message}", "False", "[]"], result.stderr


@pytest.mark.skipif(sys.version_info < (3, 13), reason="_interpreters.create('legacy') is new in 3.13")
def test_second_interpreter_is_refused_after_a_failed_import(python, mismatched_build):
    env, _ = mismatched_build
    first = """
        import warnings
        warnings.simplefilter("error")
        try:
            import carrack.carrack
        except RuntimeWarning:
            print("first import failed")
    """
    result = python(second_interpreter(first), env=env)
    assert result.stdout.splitlines() == ["first import failed", "ImportError", INTERPRETER_CHANGE], result.stderr


def test_matching_version_does_not_warn(python):
    result = python("import carrack.carrack; print('ok')", "-W", "error")
    assert result.stdout == "ok\n", result.stderr
