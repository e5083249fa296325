// carrack._batch: the module holding loads, loads_many, complete_many and the
// Arrow path. carrack/__init__.py and carrack/arrow.py give them their public
// names and arguments.
#include "carrack/modules/batch_module.hpp"

namespace carrack::batch {

ModuleState& module_state(PyObject* module) { return *static_cast<ModuleState*>(PyModule_GetState(module)); }

PyObject* note_row(Py_ssize_t row) {
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) return nullptr;
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr) PyException_SetTraceback(value, traceback);
    PyObject* note = PyUnicode_FromFormat("in row %zd", row);
    PyObject* added = note == nullptr ? nullptr : PyObject_CallMethod(value, "add_note", "O", note);
    Py_XDECREF(note);
    if (added == nullptr) {
        // The note is lost; the row's own exception is what matters.
        PyErr_Clear();
    }
    Py_XDECREF(added);
    PyErr_Restore(type, value, traceback);
    return nullptr;
}

}  // namespace carrack::batch

namespace {

using carrack::batch::ModuleState;
using carrack::batch::module_state;

PyMethodDef module_methods[] = {
    {"loads", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carrack::batch::loads)),
     METH_FASTCALL | METH_KEYWORDS,
     "loads(text, /, partial='all')\n--\n\n"
     "The Python value of a JSON text that may be cut anywhere: what Stream()\n"
     "fed text gives as value(partial), read in one pass without a Stream. text is\n"
     "a str, or UTF-8 bytes, bytearray or memoryview (a character cut at the end is\n"
     "left out). Raises what Stream's feed and value raise."},
    {"loads_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carrack::batch::loads_many)),
     METH_FASTCALL, "loads_many(texts, partial, null_errors, /)\n--\n\nloads of each row; carrack.loads_many."},
    {"complete_many", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carrack::batch::complete_many)),
     METH_FASTCALL, "complete_many(texts, null_errors, threads, /)\n--\n\nThe completion of each row; carrack.complete_many."},
    {"arrow_complete_array",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carrack::batch::arrow_complete_array)), METH_FASTCALL,
     "arrow_complete_array(schema, array, null_errors, threads, /)\n--\n\n"
     "Completes the string array in an Arrow schema and array capsule pair."},
    {"arrow_complete_stream",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(carrack::batch::arrow_complete_stream)), METH_FASTCALL,
     "arrow_complete_stream(stream, null_errors, threads, /)\n--\n\n"
     "Completes every chunk of the string arrays in an Arrow stream capsule."},
    {nullptr, nullptr, 0, nullptr},
};

int module_exec(PyObject* module) {
    ModuleState& state = module_state(module);
    PyObject* stream = PyImport_ImportModule("carrack._stream");
    if (stream == nullptr) return -1;
    state.rejected = PyObject_GetAttrString(stream, "RejectedTextError");
    state.too_deep = state.rejected == nullptr ? nullptr : PyObject_GetAttrString(stream, "NestingTooDeepError");
    Py_DECREF(stream);
    if (state.too_deep == nullptr) return -1;
    PyObject* strings = PyType_FromModuleAndSpec(module, &carrack::batch::strings_spec, nullptr);
    if (strings == nullptr) return -1;
    state.strings = reinterpret_cast<PyTypeObject*>(strings);
    return PyModule_AddObjectRef(module, "Strings", strings);
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    Py_VISIT(module_state(module).strings);
    Py_VISIT(module_state(module).rejected);
    Py_VISIT(module_state(module).too_deep);
    return 0;
}

int module_clear(PyObject* module) {
    Py_CLEAR(module_state(module).strings);
    Py_CLEAR(module_state(module).rejected);
    Py_CLEAR(module_state(module).too_deep);
    return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
#if PY_VERSION_HEX >= 0x030C0000
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_GIL_DISABLED
    // Calls share nothing mutable; completed strings never change once made.
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "carrack._batch",                                                     // m_name
    "carrack's one-shot values, batches of texts and Arrow string columns.",  // m_doc
    sizeof(ModuleState),                                                  // m_size
    module_methods,                                                       // m_methods
    module_slots,                                                         // m_slots
    module_traverse,                                                      // m_traverse
    module_clear,                                                         // m_clear
    module_free,                                                          // m_free
};

}  // namespace

PyMODINIT_FUNC PyInit__batch() { return PyModuleDef_Init(&module_def); }
