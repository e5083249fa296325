// carrack.carrack: the Python module around the completion engine.
#include "carrack/python/python_support.hpp"

#include <cstdio>
#include <cstring>
#include <string>

// ---------------------------------------------------------------------------
// Process-global state, written only during import (under the GIL) and while
// the interpreter that owns the module is finalised
// ---------------------------------------------------------------------------

namespace {

constexpr const char* qualified_name = "carrack.carrack";

int64_t owner_interpreter = -1;   // the interpreter that first created the module
PyObject* held_module = nullptr;  // the initialised module; the owner's interpreter dict holds the reference
PyObject* prefix_name = nullptr;  // interned "prefix"
bool type_is_stale = false;       // the function type was readied by a runtime that has since been finalised

// ---------------------------------------------------------------------------
// The completion itself
// ---------------------------------------------------------------------------

// prefix followed by the ASCII suffix, as a str of the same kind as prefix,
// so that the result is exactly what decoding the engine's output would give.
PyObject* concatenate(PyObject* prefix, const std::string& suffix) {
    if (suffix.empty()) return Py_NewRef(prefix);
    const Py_ssize_t length = PyUnicode_GET_LENGTH(prefix);
    const auto extra = static_cast<Py_ssize_t>(suffix.size());
    if (extra > PY_SSIZE_T_MAX - length) return PyErr_NoMemory();
    PyObject* result = PyUnicode_New(length + extra, PyUnicode_MAX_CHAR_VALUE(prefix));
    if (result == nullptr) return nullptr;
    const int kind = PyUnicode_KIND(result);
    void* data = PyUnicode_DATA(result);
    std::memcpy(data, PyUnicode_DATA(prefix), static_cast<size_t>(length) * kind);
    if (kind == PyUnicode_1BYTE_KIND) {
        std::memcpy(static_cast<char*>(data) + length, suffix.data(), suffix.size());
    } else {
        for (Py_ssize_t i = 0; i < extra; ++i) {
            PyUnicode_WRITE(kind, data, length + i, static_cast<Py_UCS4>(suffix[static_cast<size_t>(i)]));
        }
    }
    return result;
}

// Texts at least this long are walked with the GIL released, so that other
// threads run meanwhile. Giving the GIL up and taking it back costs about
// 0.1 us: from this length on, under 1% of the call even for the text that walks
// fastest, one long string (17 us); a tool call this long takes some 175 us.
// bench/gil.py measures both.
constexpr Py_ssize_t release_gil_from = 256 * 1024;

// The surrogate check and the walk read only the str's storage, which never
// changes, so they need no GIL. False when the text holds a lone surrogate.
bool walk(carrack::Walker& walker, PyObject* prefix) {
    if (carrack::python::holds_surrogate(prefix)) return false;
    carrack::python::feed_str(walker, prefix);
    return true;
}

// walk() with the GIL released; the GIL is taken back before anything leaves.
bool walk_without_gil(carrack::Walker& walker, PyObject* prefix) {
    PyThreadState* released = PyEval_SaveThread();
    try {
        const bool encodable = walk(walker, prefix);
        PyEval_RestoreThread(released);
        return encodable;
    } catch (...) {
        PyEval_RestoreThread(released);
        throw;
    }
}

PyObject* complete(PyObject* prefix) {
    try {
        carrack::Walker walker;
        const bool encodable = PyUnicode_GET_LENGTH(prefix) < release_gil_from ? walk(walker, prefix)
                                                                                : walk_without_gil(walker, prefix);
        if (!encodable) return carrack::python::raise_encode_error(prefix);
        return concatenate(prefix, walker.suffix());
    } catch (...) {
        carrack::python::raise_caught_exception();
        return nullptr;
    }
}

// ---------------------------------------------------------------------------
// The function object: function-like attributes, called through vectorcall
// ---------------------------------------------------------------------------

// A builtin function underneath, because profilers (cProfile and the other
// sys.monitoring and sys.setprofile tools) report only builtin function objects
// among C calls. Its own attributes are those of a Python function.
struct CompletionFunction {
    PyCFunctionObject base;  // m_self stays null; m_module holds the module's name
    PyObject* globals;
    PyObject* code;  // describes the one parameter, for inspect.signature
    PyObject* annotations;
};

PyObject* raise_argument_count(Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", "carrack", "exactly",
                 static_cast<Py_ssize_t>(1), "", given);
    return nullptr;
}

// Index of the keyword "prefix" in kwnames, or -1: identity first, then equality.
Py_ssize_t find_prefix_keyword(PyObject* kwnames) {
    const Py_ssize_t count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < count; ++i) {
        if (PyTuple_GET_ITEM(kwnames, i) == prefix_name) return i;
    }
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (PyUnicode_Check(name) && PyUnicode_Compare(name, prefix_name) == 0) return i;
    }
    return -1;
}

PyObject* function_call(PyObject*, PyObject* const* args, Py_ssize_t positional, PyObject* kwnames) {
    if (positional > 1) return raise_argument_count(positional);

    PyObject* prefix = positional == 1 ? args[0] : nullptr;
    const Py_ssize_t keyword = find_prefix_keyword(kwnames);
    if (keyword >= 0) {
        if (prefix != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", "carrack",
                         PyTuple_GET_ITEM(kwnames, keyword));
            return nullptr;
        }
        prefix = args[positional + keyword];
    } else if (prefix == nullptr) {
        return raise_argument_count(0);
    }

    const Py_ssize_t keywords = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
        if (i == keyword) continue;
        PyObject* name = PyTuple_GET_ITEM(kwnames, i);
        if (!PyUnicode_Check(name)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", "carrack");
        } else {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", "carrack", name);
        }
        return nullptr;
    }

    if (!Py_IS_TYPE(prefix, &PyUnicode_Type)) {
        PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", "prefix",
                     "str", Py_TYPE(prefix)->tp_name);
        return nullptr;
    }
    return complete(prefix);
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf, PyObject* kwnames) {
    return function_call(self, args, PyVectorcall_NARGS(nargsf), kwnames);
}

// What a builtin function's machinery sees: its name, for profilers, pickling
// by reference (builtin __reduce__ returns it) and interpreter messages; and an
// entry point that takes the same arguments as the function.
PyMethodDef function_method = {
    "carrack",
    reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function_call)),
    METH_FASTCALL | METH_KEYWORDS,
    nullptr,
};

CompletionFunction* as_function(PyObject* self) { return reinterpret_cast<CompletionFunction*>(self); }

PyObject* function_repr(PyObject*) { return PyUnicode_FromString("<function carrack.carrack.carrack>"); }

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    CompletionFunction* function = as_function(self);
    Py_VISIT(function->base.m_module);
    Py_VISIT(function->globals);
    Py_VISIT(function->code);
    Py_VISIT(function->annotations);
    return 0;
}

void function_dealloc(PyObject* self) {
    CompletionFunction* function = as_function(self);
    PyObject_GC_UnTrack(self);
    if (function->base.m_weakreflist != nullptr) PyObject_ClearWeakRefs(self);
    Py_XDECREF(function->base.m_module);
    Py_XDECREF(function->globals);
    Py_XDECREF(function->code);
    Py_XDECREF(function->annotations);
    Py_TYPE(self)->tp_free(self);
}

PyObject* get_name(PyObject*, void*) { return PyUnicode_FromString("carrack"); }
PyObject* get_module(PyObject*, void*) { return PyUnicode_FromString(qualified_name); }
PyObject* get_none(PyObject*, void*) { Py_RETURN_NONE; }
PyObject* get_globals(PyObject* self, void*) { return Py_NewRef(as_function(self)->globals); }
PyObject* get_code(PyObject* self, void*) { return Py_NewRef(as_function(self)->code); }
PyObject* get_annotations(PyObject* self, void*) { return Py_NewRef(as_function(self)->annotations); }

// The builtin's __self__ and __text_signature__ are hidden: getting and setting
// them fail as they do on an object that never had them.
PyObject* get_hidden(PyObject* self, void* name) {
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                 static_cast<const char*>(name));
    return nullptr;
}
int set_hidden(PyObject* self, PyObject*, void* name) {
#if PY_VERSION_HEX >= 0x030D0000
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s' and no __dict__ for setting new attributes",
                 Py_TYPE(self)->tp_name, static_cast<const char*>(name));
#else
    PyErr_Format(PyExc_AttributeError, "'%.100s' object has no attribute '%s'", Py_TYPE(self)->tp_name,
                 static_cast<const char*>(name));
#endif
    return -1;
}

char self_name[] = "__self__";
char text_signature_name[] = "__text_signature__";

PyGetSetDef function_getset[] = {
    {"__name__", get_name, nullptr, nullptr, nullptr},
    {"__qualname__", get_name, nullptr, nullptr, nullptr},
    {"__module__", get_module, nullptr, nullptr, nullptr},
    {"__doc__", get_none, nullptr, nullptr, nullptr},
    {"__defaults__", get_none, nullptr, nullptr, nullptr},
    {"__kwdefaults__", get_none, nullptr, nullptr, nullptr},
    {"__annotations__", get_annotations, nullptr, nullptr, nullptr},
    {"__globals__", get_globals, nullptr, nullptr, nullptr},
    {"__code__", get_code, nullptr, nullptr, nullptr},
    {self_name, get_hidden, set_hidden, nullptr, self_name},
    {text_signature_name, get_hidden, set_hidden, nullptr, text_signature_name},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// A fresh, not yet readied type. Readying fills it with objects of the running
// interpreter, so a runtime started after the owner's finalisation readies a new copy.
PyTypeObject new_function_type() {
    PyTypeObject type{};
    type.ob_base = PyVarObject{PyObject_HEAD_INIT(nullptr) 0};
    type.tp_name = "carrack.carrack.function";
    type.tp_basicsize = sizeof(CompletionFunction);
    type.tp_base = &PyCFunction_Type;
    type.tp_dealloc = function_dealloc;
    type.tp_vectorcall_offset = offsetof(PyCFunctionObject, vectorcall);
    type.tp_repr = function_repr;
    // Identity, as for any function; a builtin compares its C function and self.
    type.tp_hash = PyBaseObject_Type.tp_hash;
    type.tp_call = PyVectorcall_Call;
    type.tp_flags =
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL | Py_TPFLAGS_DISALLOW_INSTANTIATION;
    type.tp_traverse = function_traverse;
    type.tp_richcompare = PyBaseObject_Type.tp_richcompare;
    type.tp_getset = function_getset;
    return type;
}

PyTypeObject CompletionFunctionType = new_function_type();

// A code object with one positional-or-keyword parameter, "prefix".
PyObject* make_code() {
    PyCodeObject* empty = PyCode_NewEmpty(qualified_name, "carrack", 0);
    if (empty == nullptr) return nullptr;
    PyObject* replace = PyObject_GetAttrString(reinterpret_cast<PyObject*>(empty), "replace");
    Py_DECREF(empty);
    if (replace == nullptr) return nullptr;
    PyObject* code = nullptr;
    PyObject* kwargs = Py_BuildValue("{s:i,s:i,s:(s)}", "co_argcount", 1, "co_nlocals", 1, "co_varnames", "prefix");
    if (kwargs != nullptr) {
        PyObject* no_args = PyTuple_New(0);
        if (no_args != nullptr) code = PyObject_Call(replace, no_args, kwargs);
        Py_XDECREF(no_args);
        Py_DECREF(kwargs);
    }
    Py_DECREF(replace);
    return code;
}

PyObject* make_function(PyObject* globals) {
    if (type_is_stale) {
        CompletionFunctionType = new_function_type();
        type_is_stale = false;
    }
    if (PyType_Ready(&CompletionFunctionType) < 0) return nullptr;
    auto* function = PyObject_GC_New(CompletionFunction, &CompletionFunctionType);
    if (function == nullptr) return nullptr;
    function->base.m_ml = &function_method;
    function->base.m_self = nullptr;
    function->base.m_module = nullptr;
    function->base.m_weakreflist = nullptr;
    function->base.vectorcall = function_vectorcall;
    function->globals = Py_NewRef(globals);
    function->code = nullptr;
    function->annotations = nullptr;
    auto* self = reinterpret_cast<PyObject*>(function);
    PyObject_GC_Track(self);
    function->base.m_module = PyUnicode_FromString(qualified_name);
    function->code = make_code();
    function->annotations = Py_BuildValue("{s:s,s:s}", "prefix", "str", "return", "str");
    if (function->base.m_module == nullptr || function->code == nullptr || function->annotations == nullptr) {
        Py_DECREF(self);
        return nullptr;
    }
    return self;
}

// ---------------------------------------------------------------------------
// Module creation and execution
// ---------------------------------------------------------------------------

// Copies an attribute of the import spec onto the module; skips None when skip_none is set.
int copy_spec_attribute(PyObject* spec, PyObject* module, const char* from, const char* to, bool skip_none) {
    PyObject* value = PyObject_GetAttrString(spec, from);
    if (value == nullptr) return -1;
    int status = 0;
    if (!(skip_none && value == Py_None)) status = PyObject_SetAttrString(module, to, value);
    Py_DECREF(value);
    return status;
}

// Runs while the owning interpreter is finalised. The interpreter releases the
// module itself; this only forgets what belonged to it, so that an interpreter
// created later (Py_Initialize after Py_Finalize, say) owns a new, working module.
// No C API may be called here.
void forget_owner(void*) {
    owner_interpreter = -1;
    held_module = nullptr;
    prefix_name = nullptr;  // may go with the interpreter's interned strings
    type_is_stale = true;
}

PyObject* module_create(PyObject* spec, PyModuleDef*) {
    PyInterpreterState* interpreter = PyInterpreterState_Get();
    const int64_t current = PyInterpreterState_GetID(interpreter);
    if (owner_interpreter == -1) {
#if PY_VERSION_HEX >= 0x030D0000
        const int registered = PyUnstable_AtExit(interpreter, forget_owner, nullptr);
#else
        // Only Py_Finalize is seen here: a subinterpreter that owned the module keeps it refused.
        const int registered = Py_AtExit([] { forget_owner(nullptr); });
#endif
        if (registered < 0) {
            if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init carrack.carrack");
            return nullptr;
        }
        owner_interpreter = current;
    } else if (owner_interpreter != current) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only be loaded into one interpreter per process.");
        return nullptr;
    }
    if (held_module != nullptr) return Py_NewRef(held_module);

    PyObject* name = PyObject_GetAttrString(spec, "name");
    if (name == nullptr) return nullptr;
    PyObject* module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == nullptr) return nullptr;
    if (copy_spec_attribute(spec, module, "loader", "__loader__", false) < 0 ||
        copy_spec_attribute(spec, module, "origin", "__file__", false) < 0 ||
        copy_spec_attribute(spec, module, "parent", "__package__", false) < 0 ||
        copy_spec_attribute(spec, module, "submodule_search_locations", "__path__", true) < 0) {
        Py_DECREF(module);
        return nullptr;
    }
    return module;
}

// The version the module is built for; a test build overrides it to exercise the check.
#ifndef CARRACK_BUILT_FOR_MAJOR
#define CARRACK_BUILT_FOR_MAJOR PY_MAJOR_VERSION
#endif
#ifndef CARRACK_BUILT_FOR_MINOR
#define CARRACK_BUILT_FOR_MINOR PY_MINOR_VERSION
#endif

// Warns when the running interpreter's major.minor differs from the build's.
int check_version() {
    const int major = static_cast<int>((Py_Version >> 24) & 0xff);
    const int minor = static_cast<int>((Py_Version >> 16) & 0xff);
    if (major == CARRACK_BUILT_FOR_MAJOR && minor == CARRACK_BUILT_FOR_MINOR) return 0;
    char message[200];
    std::snprintf(message, sizeof message, "compile time Python version %d.%d of module '%.100s' %s runtime version %d.%d",
                  CARRACK_BUILT_FOR_MAJOR, CARRACK_BUILT_FOR_MINOR, qualified_name, "does not match", major, minor);
    return PyErr_WarnEx(nullptr, message, 1);
}

// Adds value to module under name, consuming the reference.
int add_new(PyObject* module, const char* name, PyObject* value) {
    if (value == nullptr) return -1;
    const int status = PyModule_AddObjectRef(module, name, value);
    Py_DECREF(value);
    return status;
}

// Registers module in sys.modules under its qualified name, unless one is there.
int register_module(PyObject* module) {
    PyObject* key = PyUnicode_FromString(qualified_name);
    if (key == nullptr) return -1;
    PyObject* modules = PyImport_GetModuleDict();
    int status = PySequence_Contains(modules, key);
    if (status == 0) status = PyObject_SetItem(modules, key, module);
    Py_DECREF(key);
    return status < 0 ? -1 : 0;
}

int initialise(PyObject* module) {
    PyObject* builtins = PyImport_ImportModule("builtins");
    if (builtins == nullptr) return -1;
    const int status = PyObject_SetAttrString(module, "__builtins__", builtins);
    Py_DECREF(builtins);
    if (status < 0 || check_version() < 0 || register_module(module) < 0) return -1;
    PyObject* globals = PyModule_GetDict(module);
    if (globals == nullptr || add_new(module, "carrack", make_function(globals)) < 0) return -1;
    return add_new(module, "__test__", PyDict_New());
}

int module_exec(PyObject* module) {
    if (held_module != nullptr) {
        if (held_module == module) return 0;
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'carrack' has already been imported. Re-initialisation is not supported.");
        return -1;
    }
    held_module = module;  // from here, an import nested in the initialisation gets this module
    if (prefix_name == nullptr) prefix_name = PyUnicode_InternFromString("prefix");
    // The interpreter's own dict holds the module, so that it lives exactly as
    // long as the interpreter that owns it.
    PyObject* interpreter_dict = PyInterpreterState_GetDict(PyInterpreterState_Get());
    if (prefix_name == nullptr || interpreter_dict == nullptr || initialise(module) < 0 ||
        PyDict_SetItemString(interpreter_dict, qualified_name, module) < 0) {
        held_module = nullptr;
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ImportError, "init carrack.carrack");
        return -1;
    }
    return 0;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, reinterpret_cast<void*>(module_create)},
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#ifdef Py_GIL_DISABLED
    // Calls share no mutable state; the globals are written only during import.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "carrack",     // m_name
    nullptr,       // m_doc
    0,             // m_size
    nullptr,       // m_methods
    module_slots,  // m_slots
    nullptr,       // m_traverse
    nullptr,       // m_clear
    nullptr,       // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit_carrack() { return PyModuleDef_Init(&module_def); }
