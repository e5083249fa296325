"""The function's argument rules, their order, its attributes and the module's."""

import copy
import cProfile
import ctypes
import inspect
import pickle
import pstats
import sys

import pytest

import carrack.carrack as module
from carrack.carrack import carrack

COUNT_1 = "carrack() takes exactly 1 positional argument (1 given)"
COUNT_2 = "carrack() takes exactly 1 positional argument (2 given)"
COUNT_0 = "carrack() takes exactly 1 positional argument (0 given)"
COUNT_3 = "carrack() takes exactly 1 positional argument (3 given)"
MULTIPLE = "carrack() got multiple values for keyword argument 'prefix'"


def unexpected(name):
    return f"carrack() got an unexpected keyword argument '{name}'"


def wrong_type(name):
    return f"Argument 'prefix' has incorrect type (expected str, got {name})"


class Text(str):
    pass


CALLS = [
    # count of positional arguments
    ((), {}, COUNT_0),
    (("[", "["), {}, COUNT_2),
    (("[", "[", "["), {}, COUNT_3),
    # the prefix keyword: missing, or given twice
    ((), {"text": "["}, COUNT_0),
    (("[",), {"prefix": "["}, MULTIPLE),
    # remaining keywords, the first offending one decides
    (("[",), {"other": 1}, unexpected("other")),
    ((), {"prefix": "[", "other": 1}, unexpected("other")),
    ((), {"other": 1, "prefix": "["}, unexpected("other")),
    ((), {"prefix": "[", "b": 1, "a": 2}, unexpected("b")),
    # type: exactly str
    ((b"[",), {}, wrong_type("bytes")),
    ((bytearray(b"["),), {}, wrong_type("bytearray")),
    ((None,), {}, wrong_type("NoneType")),
    ((Text("["),), {}, wrong_type("Text")),
    ((1,), {}, wrong_type("int")),
    ((), {"prefix": None}, wrong_type("NoneType")),
    # the order of the rules
    (("[", "["), {"other": 1}, COUNT_2),  # positional count before an unknown keyword
    (("[", "["), {"prefix": "["}, COUNT_2),  # positional count before a duplicate
    ((), {"other": 1}, COUNT_0),  # the missing prefix before an unknown keyword
    (("[",), {"other": 1, "prefix": "["}, MULTIPLE),  # a duplicate before an unknown keyword
    ((None,), {"other": 1}, unexpected("other")),  # an unknown keyword before a wrong type
    ((b"[", b"["), {}, COUNT_2),  # count before type
]


@pytest.mark.parametrize(("args", "kwargs", "message"), CALLS)
def test_bad_calls(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        carrack(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize(("args", "kwargs", "message"), CALLS)
def test_bad_calls_through_a_keyword_dict(args, kwargs, message):
    # the tp_call path, with an argument tuple and a dict, behaves the same
    with pytest.raises(TypeError) as info:
        type(carrack).__call__(carrack, *args, **kwargs)
    assert str(info.value) == message


def test_keyword_dict_with_a_non_string_key():
    # unreachable from Python syntax; a C caller can pass such a dict
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object] * 3
    for args, kwargs in [(("[",), {1: 2}), ((), {"prefix": "[", 1: 2})]:
        with pytest.raises(TypeError, match="keywords must be strings$"):
            call(carrack, args, kwargs)


def test_keyword_matched_by_equality_not_only_identity():
    name = "".join(["pre", "fix"])  # a distinct, non-interned str
    assert carrack(**{name: "[1"}) == "[1]"


def test_good_calls_agree():
    assert carrack("[1") == carrack(prefix="[1") == type(carrack).__call__(carrack, prefix="[1") == "[1]"


def test_failed_call_leaves_the_function_usable():
    for bad in (lambda: carrack(), lambda: carrack(b"x"), lambda: carrack("1 2")):
        with pytest.raises((TypeError, RuntimeError)):
            bad()
        assert carrack("[") == "[]"


def test_function_attributes():
    assert carrack.__name__ == "carrack"
    assert carrack.__qualname__ == "carrack"
    assert carrack.__module__ == "carrack.carrack"
    assert carrack.__doc__ is None
    assert carrack.__annotations__ == {"prefix": "str", "return": "str"}
    assert carrack.__defaults__ is None
    assert carrack.__kwdefaults__ is None
    assert carrack.__globals__ is module.__dict__


def attribute_error(action):
    with pytest.raises(AttributeError) as info:
        action()
    return str(info.value)


@pytest.mark.parametrize("name", ["__self__", "__text_signature__"])
@pytest.mark.parametrize("action", [getattr, lambda obj, name: setattr(obj, name, None)], ids=["get", "set"])
def test_builtin_attributes_stay_hidden(name, action):
    # the builtin function type underneath must not show through: these fail
    # as an attribute the function never had does
    absent = attribute_error(lambda: action(carrack, "absent"))
    assert attribute_error(lambda: action(carrack, name)) == absent.replace("'absent'", f"'{name}'")


def test_compares_and_hashes_by_identity():
    assert carrack == carrack and carrack != len and hash(carrack) == object.__hash__(carrack)
    with pytest.raises(TypeError):
        carrack < carrack  # noqa: B015


@pytest.mark.parametrize(
    "duplicate",
    [
        *(pytest.param(lambda f, p=p: pickle.loads(pickle.dumps(f, protocol=p)), id=f"pickle-{p}")
          for p in range(pickle.HIGHEST_PROTOCOL + 1)),
        pytest.param(copy.copy, id="copy"),
        pytest.param(copy.deepcopy, id="deepcopy"),
    ],
)
def test_pickles_and_copies_by_reference(duplicate):
    assert duplicate(carrack) is carrack


@pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11's profiling hooks see exact builtin functions only")
def test_cprofile_reports_the_calls():
    profiler = cProfile.Profile()
    for prefix in ("[1", "{"):
        profiler.runcall(carrack, prefix)
    calls = {name: row[1] for (_, _, name), row in pstats.Stats(profiler).stats.items()}
    assert calls["<carrack.carrack.carrack>"] == 2


@pytest.mark.skipif(sys.version_info < (3, 12), reason="3.11's profiling hooks see exact builtin functions only")
def test_setprofile_sees_a_c_call():
    events = []
    sys.setprofile(lambda frame, event, arg: events.append((event, arg)))
    try:
        carrack("[")
        with pytest.raises(RuntimeError):
            carrack("1 2")
    finally:
        sys.setprofile(None)
    ours = [event for event, arg in events if arg is carrack]
    assert ours == ["c_call", "c_return", "c_call", "c_exception"]


def test_entry_in_the_builtin_method_table_takes_the_same_arguments():
    # what a C caller that goes through the builtin function's table reaches
    fastcall = ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.c_void_p, ctypes.POINTER(ctypes.py_object), ctypes.c_ssize_t,
                                ctypes.c_void_p)
    get_function = ctypes.pythonapi.PyCFunction_GetFunction
    get_function.restype = ctypes.c_void_p
    get_function.argtypes = [ctypes.py_object]
    entry = fastcall(get_function(carrack))
    args = (ctypes.py_object * 2)("[1, tr", "extra")
    assert entry(None, args, 1, None) == "[1, true]"
    with pytest.raises(TypeError, match=r"^carrack\(\) takes exactly 1 positional argument \(2 given\)$"):
        entry(None, args, 2, None)


def test_signature():
    signature = inspect.signature(carrack)
    assert str(signature) == "(prefix: 'str') -> 'str'"
    (parameter,) = signature.parameters.values()
    assert parameter.name == "prefix"
    assert parameter.kind is inspect.Parameter.POSITIONAL_OR_KEYWORD
    assert parameter.default is inspect.Parameter.empty
    assert parameter.annotation == "str"
    assert signature.return_annotation == "str"


def test_module_attributes():
    assert module.__name__ == "carrack.carrack"
    assert module.__package__ == "carrack"
    assert module.__file__ == module.__spec__.origin
    assert module.__loader__ is module.__spec__.loader
    assert module.__doc__ is None
    assert not hasattr(module, "__path__")
    assert module.__builtins__ is __import__("builtins")
    assert module.__test__ == {}
    assert sys.modules["carrack.carrack"] is module
    public = {name for name in vars(module) if not name.startswith("__")}
    assert public == {"carrack"}


def test_does_not_bind_as_a_method():
    class Holder:
        complete = carrack

    assert Holder().complete("[") == "[]"
