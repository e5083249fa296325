// carrack._stream: the module holding Stream, its events and the ANY marker.
#include "carrack/modules/stream_module.hpp"

namespace {

using carrack::stream::ModuleState;

// carrack.Event: a tuple (kind, path, value) whose items are also attributes,
// made in C for each event at the cost of a plain tuple.
PyObject* event_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"kind", "path", "value", nullptr};
    PyObject *kind = nullptr, *path = nullptr, *value = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:Event", const_cast<char**>(keywords), &kind, &path, &value)) {
        return nullptr;
    }
    PyObject* event = type->tp_alloc(type, 3);
    if (event == nullptr) return nullptr;
    PyTuple_SET_ITEM(event, 0, Py_NewRef(kind));
    PyTuple_SET_ITEM(event, 1, Py_NewRef(path));
    PyTuple_SET_ITEM(event, 2, Py_NewRef(value));
    return event;
}

PyObject* event_item(PyObject* self, void* index) {
    return Py_NewRef(PyTuple_GET_ITEM(self, reinterpret_cast<Py_ssize_t>(index)));
}

PyObject* event_repr(PyObject* self) {
    return PyUnicode_FromFormat("carrack.Event(kind=%R, path=%R, value=%R)", PyTuple_GET_ITEM(self, 0),
                                PyTuple_GET_ITEM(self, 1), PyTuple_GET_ITEM(self, 2));
}

// Pickled and copied as Event(kind, path, value).
PyObject* event_getnewargs(PyObject* self, PyObject*) { return PyTuple_GetSlice(self, 0, 3); }

PyGetSetDef event_getset[] = {
    {"kind", event_item, nullptr, "'start', 'append', 'end' or 'raw'", reinterpret_cast<void*>(0)},
    {"path", event_item, nullptr, "keys and indices from the root to the value, as a tuple", reinterpret_cast<void*>(1)},
    {"value", event_item, nullptr,
     "start: 'object', 'array' or 'string'; append: the characters added; end: the value; raw: source text",
     reinterpret_cast<void*>(2)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef event_methods[] = {
    {"__getnewargs__", event_getnewargs, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot event_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(event_new)},
    {Py_tp_repr, reinterpret_cast<void*>(event_repr)},
    {Py_tp_getset, event_getset},
    {Py_tp_methods, event_methods},
    {Py_tp_doc, const_cast<char*>("Event(kind, path, value)\n--\n\n"
                                  "What became of the value at path: it started, its string grew, or it ended.")},
    {0, nullptr},
};

PyType_Spec event_spec = {"carrack.Event", 0, 0, Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, event_slots};

// The event type, with __match_args__ so that events can be matched by position.
PyTypeObject* make_event_type(PyObject* module) {
    PyObject* type = PyType_FromModuleAndSpec(module, &event_spec, reinterpret_cast<PyObject*>(&PyTuple_Type));
    if (type == nullptr) return nullptr;
    PyObject* names = Py_BuildValue("(sss)", "kind", "path", "value");
    PyObject* dict = reinterpret_cast<PyTypeObject*>(type)->tp_dict;
    if (names == nullptr || PyDict_SetItemString(dict, "__match_args__", names) < 0) {
        Py_XDECREF(names);
        Py_DECREF(type);
        return nullptr;
    }
    Py_DECREF(names);
    PyType_Modified(reinterpret_cast<PyTypeObject*>(type));
    return reinterpret_cast<PyTypeObject*>(type);
}

PyObject* any_repr(PyObject*) { return PyUnicode_FromString("carrack.ANY"); }

// Pickled and copied as the one object it is.
PyObject* any_reduce(PyObject*, PyObject*) { return PyUnicode_FromString("ANY"); }

PyMethodDef any_methods[] = {
    {"__reduce__", any_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot any_slots[] = {
    {Py_tp_repr, reinterpret_cast<void*>(any_repr)},
    {Py_tp_methods, any_methods},
    {Py_tp_doc, const_cast<char*>("The type of carrack.ANY, which stands for any key or index in a path.")},
    {0, nullptr},
};

PyType_Spec any_spec = {"carrack.AnyStep", 0, 0,
                        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, any_slots};

ModuleState& state_of(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

int module_exec(PyObject* module) {
    ModuleState& state = state_of(module);
    PyObject* stream_type = PyType_FromModuleAndSpec(module, &carrack::stream::stream_spec, nullptr);
    if (stream_type == nullptr) return -1;
    int status = PyModule_AddObjectRef(module, "Stream", stream_type);
    Py_DECREF(stream_type);
    if (status < 0) return -1;

    PyObject* learned_delta_type = PyType_FromModuleAndSpec(module, &carrack::stream::learned_delta_spec, nullptr);
    if (learned_delta_type == nullptr) return -1;
    status = PyModule_AddObjectRef(module, "_LearnedDelta", learned_delta_type);
    Py_DECREF(learned_delta_type);
    if (status < 0) return -1;

    PyObject* any_type = PyType_FromModuleAndSpec(module, &any_spec, nullptr);
    if (any_type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "AnyStep", any_type) < 0) {
        Py_DECREF(any_type);
        return -1;
    }
    state.any = reinterpret_cast<PyTypeObject*>(any_type)->tp_alloc(reinterpret_cast<PyTypeObject*>(any_type), 0);
    Py_DECREF(any_type);
    if (state.any == nullptr || PyModule_AddObjectRef(module, "ANY", state.any) < 0) return -1;

    state.names.type = make_event_type(module);
    if (state.names.type == nullptr) return -1;
    if (PyModule_AddObjectRef(module, "Event", reinterpret_cast<PyObject*>(state.names.type)) < 0) return -1;
    PyObject** words[] = {&state.names.start,  &state.names.append, &state.names.end,   &state.names.raw,
                          &state.names.object, &state.names.array,  &state.names.string};
    const char* texts[] = {"start", "append", "end", "raw", "object", "array", "string"};
    for (size_t i = 0; i < 7; ++i) {
        *words[i] = PyUnicode_InternFromString(texts[i]);
        if (*words[i] == nullptr) return -1;
    }

    struct Error {
        PyObject** slot;
        const char* name;
        const char* doc;
        PyObject* base;
    };
    const Error errors[] = {
        {&state.errors.rejected, "carrack.RejectedTextError",
         "The text is not the beginning of any JSON value: bytes are left over after\n"
         "the value. A RuntimeError, as carrack() raises for the same text; the stream\n"
         "raises it again from then on.",
         PyExc_RuntimeError},
        {&state.errors.too_deep, "carrack.NestingTooDeepError",
         "Arrays and objects nest deeper than the stream serves (1,000,000 levels;\n"
         "1,000 for events). A RecursionError.",
         PyExc_RecursionError},
        {&state.errors.in_use, "carrack.StreamInUseError",
         "A call on a stream was made while another call on it was under way (from\n"
         "code that call ran, such as a finalizer, or from another thread). Nothing\n"
         "changed: the call may be made again. A RuntimeError.",
         PyExc_RuntimeError},
        {&state.errors.closed, "carrack.StreamClosedError", "feed() after close(). A ValueError.", PyExc_ValueError},
    };
    for (const Error& error : errors) {
        *error.slot = PyErr_NewExceptionWithDoc(error.name, error.doc, error.base, nullptr);
        if (*error.slot == nullptr) return -1;
        if (PyModule_AddObjectRef(module, error.name + sizeof("carrack.") - 1, *error.slot) < 0) return -1;
    }
    state.names.too_deep = state.errors.too_deep;
    return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& state = state_of(module);
    Py_VISIT(state.any);
    Py_VISIT(state.names.type);
    Py_VISIT(state.errors.rejected);
    Py_VISIT(state.errors.too_deep);
    Py_VISIT(state.errors.in_use);
    Py_VISIT(state.errors.closed);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& state = state_of(module);
    Py_CLEAR(state.any);
    Py_CLEAR(state.names.type);
    Py_CLEAR(state.names.start);
    Py_CLEAR(state.names.append);
    Py_CLEAR(state.names.end);
    Py_CLEAR(state.names.raw);
    Py_CLEAR(state.names.object);
    Py_CLEAR(state.names.array);
    Py_CLEAR(state.names.string);
    Py_CLEAR(state.errors.rejected);
    Py_CLEAR(state.errors.too_deep);
    Py_CLEAR(state.errors.in_use);
    Py_CLEAR(state.errors.closed);
    state.names.too_deep = nullptr;
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000  // the slot is new in 3.12; all state is the module's own
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // Each Stream guards its own state; the module's is written only while it is made.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "carrack._stream",                                         // m_name
    "carrack.Stream: completing a JSON text fed in chunks.",  // m_doc
    sizeof(ModuleState),                                       // m_size
    nullptr,                                                   // m_methods
    module_slots,                                              // m_slots
    module_traverse,                                           // m_traverse
    module_clear,                                              // m_clear
    module_free,                                               // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__stream() { return PyModuleDef_Init(&module_def); }
